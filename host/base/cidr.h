// Networks given on the command line (--trust-forwarding): IPv4 and IPv6
// CIDR blocks, and whether a client's address falls in one of them.
//
// Parsed by hand, so that Linux and Windows accept exactly the same text. A
// value: no I/O.
#ifndef DIVIVEZ_HOST_BASE_CIDR_H_
#define DIVIVEZ_HOST_BASE_CIDR_H_

#include <cstdint>
#include <string>
#include <vector>

struct Cidr {
  bool v6 = false;
  uint8_t bytes[16] = {};  // the network; IPv4 in the first four
  int prefix = 0;          // bits that must match
};

// "ADDR/BITS[,ADDR/BITS...]", blanks around the commas allowed; an address
// without /BITS is the host alone (/32, /128). A block with bits set past
// its prefix (127.0.0.1/8) is refused: it is a typing error more often than
// not. False with a one-line *error naming the item.
bool ParseCidrList(const std::string& text, std::vector<Cidr>* out, std::string* error);

// Whether address (as the log and the PROXY header write it: "192.0.2.7",
// "2001:db8::7", "::ffff:192.0.2.7", without brackets or port) is in one of
// the blocks. An IPv4-mapped IPv6 address matches the IPv4 blocks. Text that
// is no address matches nothing.
bool CidrListMatches(const std::vector<Cidr>& list, const std::string& address);

// "192.0.2.0/24", "2001:db8::/32" as given (canonical form not promised).
std::string CidrText(const Cidr& cidr);

#endif  // DIVIVEZ_HOST_BASE_CIDR_H_
