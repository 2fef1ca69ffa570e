// CIDR blocks. See cidr.h.
#include "host/base/cidr.h"

#include <cstdio>
#include <cstring>

namespace {

// A decimal number of at most maxDigits digits, no sign, no leading zero
// (an octal reading would be ambiguous).
bool ParseDecimal(const std::string& text, size_t maxDigits, long* value) {
  if (text.empty() || text.size() > maxDigits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  long result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  return true;
}

bool ParseIpv4(const std::string& text, uint8_t* bytes) {
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = part < 3 ? text.find('.', start) : text.size();
    if (dot == std::string::npos) return false;
    long value = 0;
    if (!ParseDecimal(text.substr(start, dot - start), 3, &value) || value > 255) return false;
    bytes[part] = static_cast<uint8_t>(value);
    start = dot + 1;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// RFC 4291 section 2.2: eight groups of up to four hex digits, one "::" for
// a run of zero groups, the last 32 bits possibly as an IPv4 address.
bool ParseIpv6(const std::string& text, uint8_t* bytes) {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // the group index where "::" stands
  size_t i = 0;
  if (text.compare(0, 2, "::") == 0) {
    gap = 0;
    i = 2;
  } else if (!text.empty() && text[0] == ':') {
    return false;
  }
  while (i < text.size()) {
    size_t end = i;
    while (end < text.size() && text[end] != ':') ++end;
    const std::string group = text.substr(i, end - i);
    if (group.find('.') != std::string::npos) {
      // The IPv4 tail ends the address and fills two groups.
      uint8_t v4[4];
      if (end != text.size() || count > 6 || !ParseIpv4(group, v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      i = end;
      break;
    }
    if (group.empty() || group.size() > 4 || count == 8) return false;
    unsigned value = 0;
    for (char c : group) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    groups[count++] = static_cast<uint16_t>(value);
    i = end;
    if (i == text.size()) break;
    // At a colon: "::" marks the gap (once), a colon at the end is an error.
    if (text.compare(i, 2, "::") == 0) {
      if (gap >= 0) return false;
      gap = count;
      i += 2;
    } else {
      ++i;
      if (i == text.size()) return false;
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  uint16_t full[8] = {};
  if (gap < 0) {
    std::memcpy(full, groups, sizeof full);
  } else {
    for (int g = 0; g < gap; ++g) full[g] = groups[g];
    const int tail = count - gap;
    for (int g = 0; g < tail; ++g) full[8 - tail + g] = groups[gap + g];
  }
  for (int g = 0; g < 8; ++g) {
    bytes[2 * g] = static_cast<uint8_t>(full[g] >> 8);
    bytes[2 * g + 1] = static_cast<uint8_t>(full[g] & 0xFF);
  }
  return true;
}

// An address, IPv4 or IPv6; an IPv4-mapped one (::ffff:a.b.c.d) as IPv4.
bool ParseAddress(const std::string& text, bool* v6, uint8_t* bytes) {
  if (text.find(':') == std::string::npos) {
    *v6 = false;
    return ParseIpv4(text, bytes);
  }
  if (!ParseIpv6(text, bytes)) return false;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  *v6 = std::memcmp(bytes, kMapped, sizeof kMapped) != 0;
  if (!*v6) std::memmove(bytes, bytes + 12, 4);
  return true;
}

bool PrefixMatches(const uint8_t* network, const uint8_t* address, int prefix) {
  const int whole = prefix / 8;
  if (std::memcmp(network, address, static_cast<size_t>(whole)) != 0) return false;
  const int rest = prefix % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (network[whole] & mask) == (address[whole] & mask);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool ParseCidrList(const std::string& text, std::vector<Cidr>* out, std::string* error) {
  std::vector<Cidr> list;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const size_t end = comma == std::string::npos ? text.size() : comma;
    size_t first = start;
    size_t last = end;
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    const std::string item = text.substr(first, last - first);
    if (item.empty()) {
      *error = "an empty network in '" + text + "'";
      return false;
    }
    const size_t slash = item.find('/');
    const std::string address = item.substr(0, slash);
    Cidr cidr;
    if (!ParseAddress(address, &cidr.v6, cidr.bytes)) {
      *error = "'" + item + "' is not an IPv4 or IPv6 network";
      return false;
    }
    if (!cidr.v6 && address.find(':') != std::string::npos) {
      // Mapped clients are matched against the IPv4 networks.
      *error = "'" + item + "': write an IPv4-mapped network as the IPv4 network";
      return false;
    }
    const int bits = cidr.v6 ? 128 : 32;
    long prefix = bits;
    if (slash != std::string::npos &&
        (!ParseDecimal(item.substr(slash + 1), 3, &prefix) || prefix > bits)) {
      *error = "'" + item + "': the prefix length must be 0 to " + std::to_string(bits);
      return false;
    }
    cidr.prefix = static_cast<int>(prefix);
    Cidr network = cidr;
    std::memset(network.bytes, 0, sizeof network.bytes);
    for (int bit = 0; bit < cidr.prefix; ++bit) {
      const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
      network.bytes[bit / 8] =
          static_cast<uint8_t>(network.bytes[bit / 8] | (cidr.bytes[bit / 8] & mask));
    }
    if (std::memcmp(network.bytes, cidr.bytes, sizeof cidr.bytes) != 0) {
      *error = "'" + item + "' has bits set past its prefix; the network is " + CidrText(network);
      return false;
    }
    list.push_back(cidr);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *out = std::move(list);
  return true;
}

bool CidrListMatches(const std::vector<Cidr>& list, const std::string& address) {
  // A zone ("fe80::1%eth0") does not change which network the address is in.
  const std::string bare = address.substr(0, address.find('%'));
  bool v6 = false;
  uint8_t bytes[16] = {};
  if (!ParseAddress(bare, &v6, bytes)) return false;
  for (const Cidr& cidr : list) {
    if (cidr.v6 == v6 && PrefixMatches(cidr.bytes, bytes, cidr.prefix)) return true;
  }
  return false;
}

std::string CidrText(const Cidr& cidr) {
  char text[64];
  if (!cidr.v6) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u/%d", cidr.bytes[0], cidr.bytes[1], cidr.bytes[2],
                  cidr.bytes[3], cidr.prefix);
    return text;
  }
  std::string result;
  for (int g = 0; g < 8; ++g) {
    std::snprintf(text, sizeof text, g == 0 ? "%x" : ":%x",
                  static_cast<unsigned>(cidr.bytes[2 * g] << 8 | cidr.bytes[2 * g + 1]));
    result += text;
  }
  return result + "/" + std::to_string(cidr.prefix);
}
