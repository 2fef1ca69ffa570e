// Address ranges: which peers a set trusts, the IPv4-mapped form of a
// dual-stack socket, and the lists refused at start-up.
#include <gtest/gtest.h>

#include <string>

#include "host/base/cidr.h"

namespace {

TEST(CidrSet, MatchesByFamilyAndPrefix) {
  CidrSet set;
  std::string error;
  ASSERT_TRUE(set.Add("10.0.0.0/8, 192.0.2.7,2001:db8:a::/48,fe80::1/128", &error)) << error;
  ASSERT_TRUE(set.Add("172.16.0.0/12", &error)) << error;  // a second list adds to the first
  const struct {
    const char* address;
    bool in;
  } kRows[] = {
      {"10.0.0.1", true},
      {"10.255.255.255", true},
      {"11.0.0.0", false},
      {"192.0.2.7", true},  // a bare address is one host
      {"192.0.2.8", false},
      {"172.31.255.255", true},
      {"172.32.0.0", false},
      {"::ffff:10.1.2.3", true},  // a dual-stack listener's IPv4 peer
      {"::ffff:11.1.2.3", false},
      {"::10.1.2.3", false},  // IPv4-compatible is not IPv4-mapped
      {"2001:db8:a:ffff::1", true},
      {"2001:db8:b::1", false},
      {"2001:DB8:A::", true},
      {"fe80::1", true},
      {"fe80::2", false},
      {"0a00::", false},  // the same leading bits as 10/8, another family
      {"", false},
      {"10.0.0", false},
      {"localhost", false},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(set.Contains(row.address), row.in) << row.address;
  }
  EXPECT_EQ(set.Text(), "10.0.0.0/8,192.0.2.7,2001:db8:a::/48,fe80::1/128,172.16.0.0/12");
}

TEST(CidrSet, MappedRangesAndTheWholeSpace) {
  CidrSet set;
  std::string error;
  ASSERT_TRUE(set.Add("::ffff:192.0.2.0/120,0.0.0.0/0", &error)) << error;
  EXPECT_TRUE(set.Contains("192.0.2.200"));
  EXPECT_TRUE(set.Contains("203.0.113.1"));  // 0.0.0.0/0: every IPv4 peer
  EXPECT_FALSE(set.Contains("::1"));
  CidrSet v6;
  ASSERT_TRUE(v6.Add("::/0", &error)) << error;
  EXPECT_TRUE(v6.Contains("::1"));
  EXPECT_FALSE(v6.Contains("127.0.0.1"));
  EXPECT_TRUE(CidrSet().Empty());
}

TEST(CidrSet, BadListsNameTheRangeAtFault) {
  const struct {
    const char* list;
    const char* named;
  } kRows[] = {
      {"10.0.0.1/8", "'10.0.0.1/8' has bits set past"},
      {"2001:db8::1/32", "'2001:db8::1/32' has bits"},
      {"10.0.0.0/33", "'10.0.0.0/33' is not"},
      {"::/129", "'::/129' is not"},
      {"10.0.0.0/", "'10.0.0.0/' is not"},
      {"10.0.0.0/08", "'10.0.0.0/08' is not"},
      {"10.0.0.0/-1", "'10.0.0.0/-1' is not"},
      {"::/12345678901234567890", "'::/12345678901234567890' is not"},  // no int overflow
      {"010.0.0.0/8", "'010.0.0.0/8' is not"},
      {"256.0.0.0/8", "'256.0.0.0/8' is not"},
      {"1.2.3.4.5", "'1.2.3.4.5' is not"},
      {"10.0.0.0/8,", "'' is not"},
      {"10.0.0.0/8,,::1", "'' is not"},
      {"host.example/24", "'host.example/24' is not"},
      {"2001:db8::1::2", "'2001:db8::1::2' is not"},
      {"1:2:3:4:5:6:7:8:9", "'1:2:3:4:5:6:7:8:9' is not"},
      {"1:2:3:4:5:6:7:8::", "'1:2:3:4:5:6:7:8::' is not"},
      {"12345::", "'12345::' is not"},
      {"1:", "'1:' is not"},
      {"[::1]", "'[::1]' is not"},
  };
  for (const auto& row : kRows) {
    CidrSet set;
    std::string error;
    EXPECT_FALSE(set.Add(row.list, &error)) << row.list;
    EXPECT_EQ(error.find(row.named), 0u) << row.list << ": " << error;
  }
  IpAddress address;
  EXPECT_TRUE(ParseIpAddress("1:2:3:4:5:6:1.2.3.4", &address));
  EXPECT_TRUE(ParseIpAddress("1:2:3:4:5:6:7::", &address));
  EXPECT_TRUE(ParseIpAddress("::", &address));
}

}  // namespace
