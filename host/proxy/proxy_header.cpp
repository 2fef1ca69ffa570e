// The PROXY protocol header. See proxy_header.h.
#include "host/proxy/proxy_header.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/base/cidr.h"

namespace {

const char kV1Prefix[] = "PROXY ";
const unsigned char kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                        0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

// Version 2 address blocks: two addresses and two ports.
constexpr size_t kV2Inet = 12;
constexpr size_t kV2Inet6 = 36;
constexpr size_t kV2Unix = 216;

std::string Ipv4Text(const unsigned char* b) {
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

// RFC 5952: lower case, no leading zeros, the longest run of two or more
// zero groups (the first of equals) as "::".
std::string Ipv6Text(const unsigned char* b) {
  // IPv4-mapped addresses in the dotted form (RFC 5952 5), as the system's
  // own formatting of accepted peers writes them.
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(b, kMapped, sizeof kMapped) == 0) return "::ffff:" + Ipv4Text(b + 12);
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
  int bestStart = -1, bestLength = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength && j - i >= 2) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = groups[i] >> shift & 0xF;
      if (digit != 0 || started || shift == 0) {
        text += kHex[digit];
        started = true;
      }
    }
  }
  return text;
}

// The family the header names, and nothing else.
bool ParseIp(const std::string& text, bool v6, unsigned char* out) {
  IpAddress address;
  if (!ParseIpAddress(text, &address) || address.v6 != v6) return false;
  std::memcpy(out, address.bytes, v6 ? 16 : 4);
  return true;
}

// 0..65535 in decimal, without a sign or leading zeros.
bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

std::string ProxyHeader::SourceText() const {
  if (sourceAddress.find(':') != std::string::npos) {
    return "[" + sourceAddress + "]:" + std::to_string(sourcePort);
  }
  return sourceAddress + ":" + std::to_string(sourcePort);
}

size_t ProxyHeaderParser::Fail(const std::string& why, size_t taken) {
  m_state = State::kError;
  m_error = why;
  return taken;
}

size_t ProxyHeaderParser::MaxWanted() const {
  switch (m_phase) {
    case Phase::kStart:
      return kV2Fixed;  // the shorter of what the two versions need to be told apart
    case Phase::kV1:
      return kMaxV1 - m_used;
    case Phase::kV2Fixed:
      return kV2Fixed - m_used;
    case Phase::kV2Addresses:
      return m_addressLength - m_used + m_toSkip;
    case Phase::kV2Skip:
      return m_toSkip;
  }
  return 0;
}

size_t ProxyHeaderParser::Feed(const char* data, size_t length) {
  size_t i = 0;
  while (i < length && m_state == State::kMore) {
    switch (m_phase) {
      case Phase::kStart:
        if (data[i] == 'P') {
          m_phase = Phase::kV1;
          m_header.version = 1;
        } else if (static_cast<unsigned char>(data[i]) == kV2Signature[0]) {
          m_phase = Phase::kV2Fixed;
          m_header.version = 2;
        } else {
          return Fail("no PROXY protocol header", i);
        }
        break;
      case Phase::kV1: {
        const char b = data[i++];
        m_buffer[m_used++] = b;
        if (m_used <= sizeof kV1Prefix - 1 && b != kV1Prefix[m_used - 1]) {
          return Fail("no PROXY protocol header", i);
        }
        if (b == '\n') {
          if (m_used < 2 || m_buffer[m_used - 2] != '\r') {
            return Fail("PROXY line ends in a bare LF", i);
          }
          FinishV1();
          return i;
        }
        if (m_used == kMaxV1) return Fail("PROXY line longer than 107 bytes", i);
        break;
      }
      case Phase::kV2Fixed: {
        const unsigned char b = static_cast<unsigned char>(data[i++]);
        if (m_used < sizeof kV2Signature && b != kV2Signature[m_used]) {
          return Fail("no PROXY protocol header (bad version 2 signature)", i);
        }
        m_buffer[m_used++] = static_cast<char>(b);
        if (m_used == kV2Fixed) {
          FinishV2Fixed();
          if (m_state == State::kMore && MaxWanted() == 0) FinishV2Addresses();
        }
        break;
      }
      case Phase::kV2Addresses: {
        const size_t n = std::min(length - i, m_addressLength - m_used);
        std::memcpy(m_buffer + m_used, data + i, n);
        m_used += n;
        i += n;
        if (m_used == m_addressLength) {
          m_phase = Phase::kV2Skip;
          if (m_toSkip == 0) FinishV2Addresses();
        }
        break;
      }
      case Phase::kV2Skip: {
        // TLVs (ALPN, authority, TLS details...): nothing the proxy uses.
        const size_t n = std::min(length - i, m_toSkip);
        m_toSkip -= n;
        i += n;
        if (m_toSkip == 0) FinishV2Addresses();
        break;
      }
    }
  }
  return i;
}

void ProxyHeaderParser::FinishV1() {
  // "PROXY TCP4 src dst sport dport\r\n", "PROXY TCP6 ...", or
  // "PROXY UNKNOWN" with anything up to the CR LF (ignored).
  const std::string line(m_buffer + sizeof kV1Prefix - 1, m_used - (sizeof kV1Prefix - 1) - 2);
  if (line.compare(0, 7, "UNKNOWN") == 0 && (line.size() == 7 || line[7] == ' ')) {
    m_state = State::kDone;
    return;
  }
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t space = line.find(' ', at);
    fields.push_back(line.substr(at, space == std::string::npos ? space : space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  if (fields.size() != 5) {
    Fail("PROXY line malformed", 0);
    return;
  }
  unsigned char source[16], destination[16];
  bool addressesValid;
  if (fields[0] == "TCP4") {
    addressesValid = ParseIp(fields[1], false, source) && ParseIp(fields[2], false, destination);
    if (addressesValid) {
      m_header.sourceAddress = Ipv4Text(source);
      m_header.destinationAddress = Ipv4Text(destination);
    }
  } else if (fields[0] == "TCP6") {
    addressesValid = ParseIp(fields[1], true, source) && ParseIp(fields[2], true, destination);
    if (addressesValid) {
      m_header.sourceAddress = Ipv6Text(source);
      m_header.destinationAddress = Ipv6Text(destination);
    }
  } else {
    Fail("PROXY line names an unknown protocol", 0);
    return;
  }
  if (!addressesValid) {
    Fail("PROXY line holds an invalid address", 0);
    return;
  }
  if (!ParsePort(fields[3], &m_header.sourcePort) ||
      !ParsePort(fields[4], &m_header.destinationPort)) {
    Fail("PROXY line holds an invalid port", 0);
    return;
  }
  m_header.hasAddress = true;
  m_state = State::kDone;
}

void ProxyHeaderParser::FinishV2Fixed() {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(m_buffer);
  const unsigned version = b[12] >> 4;
  const unsigned command = b[12] & 0xF;
  m_family = b[13];
  m_blockLength = static_cast<size_t>(b[14]) << 8 | b[15];
  if (version != 2) {
    Fail("PROXY version 2 header with version " + std::to_string(version), 0);
    return;
  }
  if (command > 1) {
    Fail("PROXY version 2 header with unknown command " + std::to_string(command), 0);
    return;
  }
  m_local = command == 0;
  // The defined values: UNSPEC, TCP and UDP over IPv4, IPv6 and Unix sockets.
  // UDP has no place on a TCP listener.
  size_t needed = 0;
  switch (m_family) {
    case 0x00:
      break;
    case 0x11:
      needed = kV2Inet;
      break;
    case 0x21:
      needed = kV2Inet6;
      break;
    case 0x31:
      needed = kV2Unix;
      break;
    default:
      if (!m_local) {
        Fail("PROXY version 2 header with unsupported family/protocol " + std::to_string(m_family),
             0);
        return;
      }
  }
  if (m_local) needed = 0;  // LOCAL: the block is discarded whatever it holds
  if (m_blockLength < needed) {
    Fail("PROXY version 2 header shorter than its addresses", 0);
    return;
  }
  // Only the addresses that are used are kept; Unix paths are skipped.
  m_addressLength = (m_family == 0x11 || m_family == 0x21) && !m_local ? needed : 0;
  m_toSkip = m_blockLength - m_addressLength;
  m_used = 0;
  m_phase = m_addressLength > 0 ? Phase::kV2Addresses : Phase::kV2Skip;
}

void ProxyHeaderParser::FinishV2Addresses() {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(m_buffer);
  if (m_addressLength == kV2Inet) {
    m_header.sourceAddress = Ipv4Text(b);
    m_header.destinationAddress = Ipv4Text(b + 4);
    m_header.sourcePort = static_cast<uint16_t>(b[8] << 8 | b[9]);
    m_header.destinationPort = static_cast<uint16_t>(b[10] << 8 | b[11]);
    m_header.hasAddress = true;
  } else if (m_addressLength == kV2Inet6) {
    m_header.sourceAddress = Ipv6Text(b);
    m_header.destinationAddress = Ipv6Text(b + 16);
    m_header.sourcePort = static_cast<uint16_t>(b[32] << 8 | b[33]);
    m_header.destinationPort = static_cast<uint16_t>(b[34] << 8 | b[35]);
    m_header.hasAddress = true;
  }
  m_state = State::kDone;
}
