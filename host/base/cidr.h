// Sets of address ranges in CIDR notation ("10.0.0.0/8", "2001:db8::/32"; a
// bare address is one host), for options that trust some peers and no
// others. Pure: the addresses are parsed here, no resolver and no socket.
//
// A peer that a dual-stack socket reports as an IPv4-mapped IPv6 address
// ("::ffff:192.0.2.1") is the IPv4 address it maps: it matches IPv4 ranges,
// and an IPv4-mapped range is taken as the IPv4 range it maps.
#ifndef DIVIVEZ_HOST_BASE_CIDR_H_
#define DIVIVEZ_HOST_BASE_CIDR_H_

#include <cstdint>
#include <string>
#include <vector>

struct IpAddress {
  bool v6 = false;
  uint8_t bytes[16] = {};  // IPv4 in the first four
};

// "192.0.2.1", "2001:db8::1", "::ffff:192.0.2.1" (a zone or brackets are not
// taken). False when the text is not an address.
bool ParseIpAddress(const std::string& text, IpAddress* address);

class CidrSet {
 public:
  // Adds "CIDR[,CIDR...]". False with *error naming the range at fault:
  // not an address, a prefix out of range, or bits set past the prefix
  // (most likely a typing error, so not guessed at).
  bool Add(const std::string& list, std::string* error);
  // Whether the address (text as ParseIpAddress takes it) is in a range;
  // false for text that is no address.
  bool Contains(const std::string& address) const;
  bool Empty() const { return m_ranges.empty(); }
  // The ranges as given, comma-separated, for a log line.
  const std::string& Text() const { return m_text; }

 private:
  struct Range {
    IpAddress network;
    int prefix = 0;
  };
  std::vector<Range> m_ranges;
  std::string m_text;
};

#endif  // DIVIVEZ_HOST_BASE_CIDR_H_
