// libFuzzer target: CIDR lists and addresses (host/base/cidr.cpp), as
// --proxy-protocol-from and --trust-forwarding give them and as peers'
// addresses arrive.
//
// Input: an address, a newline, a list. Checked against the C library's
// inet_pton as the reference reader: an address parses to the same bytes
// or is refused by both; the list is taken exactly when each of its ranges
// is an address, a prefix in range without a leading zero and no bit set
// past it; and Contains() answers for the address, and for each range's
// lowest and highest address, as the ranges read by the reference do (an
// IPv4-mapped address is the IPv4 address it maps, and an IPv4-mapped range
// of /96 or longer the IPv4 range it maps).
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/base/cidr.h"
#include "reader_fuzz.h"

namespace {

struct Address {
  bool v6 = false;
  uint8_t bytes[16] = {};
};

bool Reference(const std::string& text, Address* out) {
  Address address;
  address.v6 = text.find(':') != std::string::npos;
  if (text.find('\0') != std::string::npos) return false;
  if (inet_pton(address.v6 ? AF_INET6 : AF_INET, text.c_str(), address.bytes) != 1) return false;
  *out = address;
  return true;
}

const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

void Unmap(Address* address, int* prefix) {
  if (!address->v6 || std::memcmp(address->bytes, kMapped, 12) != 0) return;
  if (prefix != nullptr) {
    if (*prefix < 96) return;
    *prefix -= 96;
  }
  address->v6 = false;
  std::memmove(address->bytes, address->bytes + 12, 4);
  std::memset(address->bytes + 4, 0, 12);
}

bool Bit(const uint8_t* bytes, int bit) { return (bytes[bit / 8] >> (7 - bit % 8) & 1) != 0; }

struct Range {
  Address network;
  Address last;  // the highest address inside
  int prefix = 0;
  std::string networkText, lastText;
};

std::string Text(const Address& address) {
  char text[INET6_ADDRSTRLEN];
  inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes, text, sizeof text);
  return text;
}

// One range of the list as the reference reads it.
bool ReferenceRange(std::string item, Range* range) {
  const size_t begin = item.find_first_not_of(" \t");
  if (begin == std::string::npos) return false;
  item = item.substr(begin, item.find_last_not_of(" \t") - begin + 1);
  const size_t slash = item.find('/');
  if (!Reference(item.substr(0, slash), &range->network)) return false;
  const int width = range->network.v6 ? 128 : 32;
  range->prefix = width;
  if (slash != std::string::npos) {
    const std::string bits = item.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || (bits.size() > 1 && bits[0] == '0')) return false;
    int value = 0;
    for (char c : bits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > width) return false;
    range->prefix = value;
  }
  range->last = range->network;
  for (int bit = range->prefix; bit < width; ++bit) {
    if (Bit(range->network.bytes, bit)) return false;
    range->last.bytes[bit / 8] = static_cast<uint8_t>(range->last.bytes[bit / 8] | 0x80 >> bit % 8);
  }
  range->networkText = Text(range->network);
  range->lastText = Text(range->last);
  Unmap(&range->network, &range->prefix);
  return true;
}

bool Inside(const Range& range, Address address) {
  Unmap(&address, nullptr);
  if (address.v6 != range.network.v6) return false;
  for (int bit = 0; bit < range.prefix; ++bit) {
    if (Bit(address.bytes, bit) != Bit(range.network.bytes, bit)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t newline = bytes.find('\n');
  const std::string peer = bytes.substr(0, newline);
  const std::string list = newline == std::string::npos ? "" : bytes.substr(newline + 1);

  IpAddress parsed;
  Address reference;
  const bool ours = ParseIpAddress(peer, &parsed);
  const bool theirs = Reference(peer, &reference);
  FUZZ_CHECK(ours == theirs, "ParseIpAddress and inet_pton disagree on " + FuzzShow(peer));
  if (ours) {
    FUZZ_CHECK(parsed.v6 == reference.v6 &&
                   std::memcmp(parsed.bytes, reference.bytes, parsed.v6 ? 16 : 4) == 0,
               "ParseIpAddress reads other bytes than inet_pton from " + FuzzShow(peer));
  }

  std::vector<Range> ranges;
  bool referenceTakes = true;
  for (size_t at = 0;;) {
    const size_t comma = list.find(',', at);
    Range range;
    const std::string item = list.substr(at, comma == std::string::npos ? comma : comma - at);
    referenceTakes = referenceTakes && ReferenceRange(item, &range);
    if (!referenceTakes) break;
    ranges.push_back(range);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  CidrSet set;
  std::string error;
  const bool taken = set.Add(list, &error);
  FUZZ_CHECK(taken == referenceTakes, "Add() " + std::string(taken ? "takes" : "refuses") + " " +
                                          FuzzShow(list) + " (" + error + ")");
  if (!taken) {
    FUZZ_CHECK(!error.empty(), "a refusal without its reason");
    return 0;
  }
  FUZZ_CHECK(!set.Empty(), "a list taken without a range");
  // The peer, and each range's first and last address.
  std::vector<std::string> probes = {peer};
  for (const Range& range : ranges) {
    probes.push_back(range.networkText);
    probes.push_back(range.lastText);
  }
  for (const std::string& probe : probes) {
    Address address;
    bool inside = false;
    if (Reference(probe, &address)) {
      for (const Range& range : ranges) inside = inside || Inside(range, address);
    }
    FUZZ_CHECK(set.Contains(probe) == inside,
               FuzzShow(probe) + (inside ? " is" : " is not") + " in " + FuzzShow(list));
  }
  return 0;
}
