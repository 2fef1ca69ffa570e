// The networks of --trust-forwarding: what parses, and which addresses match.
#include "host/base/cidr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<Cidr> List(const std::string& text) {
  std::vector<Cidr> list;
  std::string error;
  EXPECT_TRUE(ParseCidrList(text, &list, &error)) << text << ": " << error;
  return list;
}

TEST(CidrTest, AddressesInAndOutOfTheBlocks) {
  struct Row {
    const char* list;
    const char* address;
    bool matches;
  };
  const Row rows[] = {
      {"127.0.0.1/32", "127.0.0.1", true},
      {"127.0.0.1/32", "127.0.0.2", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"10.0.0.0/8, 192.0.2.0/24", "192.0.2.200", true},
      {"10.0.0.0/8,192.0.2.0/24", "192.0.3.1", false},
      {"192.0.2.128/25", "192.0.2.127", false},
      {"192.0.2.128/25", "192.0.2.255", true},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "::1", false},
      // A v4-mapped client is its IPv4 address.
      {"127.0.0.0/8", "::ffff:127.0.0.1", true},
      {"127.0.0.0/8", "::FFFF:7f00:1", true},
      {"::1", "::1", true},
      {"::1/128", "127.0.0.1", false},
      {"::/0", "::ffff:127.0.0.1", false},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::1", false},
      {"2001:db8:0:0:0:0:0:0/33", "2001:db8:7fff::", true},
      {"2001:db8::/33", "2001:db8:8000::", false},
      {"fe80::/10", "fe80::1%eth0", true},
      {"64:ff9b::/96", "64:ff9b::192.0.2.1", true},
      // Not addresses: nothing matches.
      {"0.0.0.0/0", "", false},
      {"0.0.0.0/0", "1.2.3", false},
      {"0.0.0.0/0", "1.2.3.256", false},
      {"::/0", "1::2::3", false},
      {"::/0", "1:2:3:4:5:6:7:8:9", false},
      {"::/0", "unknown", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CidrListMatches(List(row.list), row.address), row.matches)
        << row.list << " / " << row.address;
  }
}

TEST(CidrTest, BadListsAreRefusedNamingTheItem) {
  struct Row {
    const char* text;
    const char* error;  // a part of the message
  };
  const Row rows[] = {
      {"", "empty network"},
      {"127.0.0.1/32,", "empty network"},
      {"127.0.0.1/33", "0 to 32"},
      {"::1/129", "0 to 128"},
      {"127.0.0.1/-1", "0 to 32"},
      {"127.0.0.1/", "0 to 32"},
      {"127.0.0.1/8", "the network is 127.0.0.0/8"},
      {"2001:db8::1/32", "the network is 2001:db8:0:0:0:0:0:0/32"},
      {"localhost", "'localhost' is not an IPv4 or IPv6 network"},
      {"127.0.0.01", "not an IPv4"},
      {"127.0.0", "not an IPv4"},
      {"1:2:3:4:5:6:7", "not an IPv4"},
      {"1:2:3:4:5:6:7:8:9", "not an IPv4"},
      {":1", "not an IPv4"},
      {"1:", "not an IPv4"},
      {"::ffff:127.0.0.0/104", "IPv4-mapped"},
  };
  for (const Row& row : rows) {
    std::vector<Cidr> list;
    std::string error;
    EXPECT_FALSE(ParseCidrList(row.text, &list, &error)) << row.text;
    EXPECT_NE(error.find(row.error), std::string::npos) << row.text << ": " << error;
  }
}

}  // namespace
