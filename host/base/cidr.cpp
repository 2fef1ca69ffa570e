// Address ranges; see cidr.h.
#include "host/base/cidr.h"

#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four decimal parts without leading zeros (which some readers take for
// octal), as inet_pton takes them.
bool ParseV4(const std::string& text, uint8_t* out) {
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const size_t start = at;
    int value = 0;
    while (at < text.size() && IsDigit(text[at]) && at - start < 3) {
      value = value * 10 + (text[at] - '0');
      ++at;
    }
    if (at == start || value > 255 || (at - start > 1 && text[start] == '0')) return false;
    out[part] = static_cast<uint8_t>(value);
  }
  return at == text.size();
}

bool ParseV6(const std::string& text, uint8_t* out) {
  uint8_t groups[16] = {};
  int used = 0;  // bytes filled
  int gap = -1;  // where "::" stands, in bytes
  size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    gap = 0;
    at = 2;
  }
  while (at < text.size()) {
    // An IPv4 tail takes the last four bytes.
    const size_t nextColon = text.find(':', at);
    if (nextColon == std::string::npos && text.find('.', at) != std::string::npos) {
      if (used > 12 || !ParseV4(text.substr(at), groups + used)) return false;
      used += 4;
      at = text.size();
      break;
    }
    int value = 0;
    const size_t start = at;
    while (at < text.size() && at - start < 4 && HexValue(text[at]) >= 0) {
      value = value * 16 + HexValue(text[at]);
      ++at;
    }
    if (at == start || used > 14) return false;
    groups[used++] = static_cast<uint8_t>(value >> 8);
    groups[used++] = static_cast<uint8_t>(value & 0xff);
    if (at == text.size()) break;
    if (text[at] != ':') return false;
    ++at;
    if (at < text.size() && text[at] == ':') {
      if (gap >= 0) return false;
      gap = used;
      ++at;
    } else if (at == text.size()) {
      return false;  // a trailing single colon
    }
  }
  if (gap < 0) {
    if (used != 16) return false;
    std::memcpy(out, groups, 16);
    return true;
  }
  if (used > 14) return false;  // "::" stands for at least one group
  std::memset(out, 0, 16);
  std::memcpy(out, groups, static_cast<size_t>(gap));
  const int tail = used - gap;
  std::memcpy(out + 16 - tail, groups + gap, static_cast<size_t>(tail));
  return true;
}

// "::ffff:a.b.c.d" is a.b.c.d; *prefix (when given) moves with it.
void Unmap(IpAddress* address, int* prefix) {
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!address->v6 || std::memcmp(address->bytes, kMapped, 12) != 0) return;
  if (prefix != nullptr) {
    if (*prefix < 96) return;
    *prefix -= 96;
  }
  address->v6 = false;
  std::memmove(address->bytes, address->bytes + 12, 4);
  std::memset(address->bytes + 4, 0, 12);
}

bool PrefixMatches(const uint8_t* a, const uint8_t* b, int bits) {
  const int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

// Without the blanks around it.
std::string Unpadded(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

bool ParseIpAddress(const std::string& text, IpAddress* address) {
  IpAddress parsed;
  parsed.v6 = text.find(':') != std::string::npos;
  if (!(parsed.v6 ? ParseV6(text, parsed.bytes) : ParseV4(text, parsed.bytes))) return false;
  *address = parsed;
  return true;
}

bool CidrSet::Add(const std::string& list, std::string* error) {
  size_t at = 0;
  for (;;) {
    const size_t comma = list.find(',', at);
    const std::string item =
        Unpadded(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    const size_t slash = item.find('/');
    Range range;
    bool ok = !item.empty() && ParseIpAddress(item.substr(0, slash), &range.network);
    const int width = range.network.v6 ? 128 : 32;
    range.prefix = width;
    if (ok && slash != std::string::npos) {
      const std::string bits = item.substr(slash + 1);
      ok = !bits.empty() && bits.size() <= 3;
      int value = 0;
      for (char c : bits) {
        ok = ok && IsDigit(c);
        if (ok) value = value * 10 + (c - '0');  // at most three digits
      }
      ok = ok && value <= width && (bits.size() == 1 || bits[0] != '0');
      range.prefix = value;
    }
    if (!ok) {
      *error = "'" + item + "' is not an address or a network in CIDR notation";
      return false;
    }
    IpAddress host = range.network;
    // The bits past the prefix must be zero: "10.0.0.1/8" is refused, not
    // read as 10.0.0.0/8.
    for (int bit = range.prefix; bit < width; ++bit) {
      host.bytes[bit / 8] = static_cast<uint8_t>(host.bytes[bit / 8] & ~(0x80 >> (bit % 8)));
    }
    if (std::memcmp(host.bytes, range.network.bytes, 16) != 0) {
      *error = "'" + item + "' has bits set past its prefix length";
      return false;
    }
    Unmap(&range.network, &range.prefix);
    m_ranges.push_back(range);
    m_text += (m_text.empty() ? "" : ",") + item;
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

bool CidrSet::Contains(const std::string& text) const {
  IpAddress address;
  if (!ParseIpAddress(text, &address)) return false;
  Unmap(&address, nullptr);
  for (const Range& range : m_ranges) {
    if (range.network.v6 == address.v6 &&
        PrefixMatches(range.network.bytes, address.bytes, range.prefix)) {
      return true;
    }
  }
  return false;
}
