// The PROXY protocol header parser: both versions whole and one byte at a
// time, the bytes after the header left alone, and malformed headers refused.
#include <gtest/gtest.h>

#include <string>

#include "host/proxy/proxy_header.h"

namespace {

std::string V2(unsigned char command, unsigned char family, const std::string& block) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(family);
  h += static_cast<char>(block.size() >> 8);
  h += static_cast<char>(block.size() & 0xFF);
  return h + block;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

const std::string kV2Inet =  // 203.0.113.7:51234 -> 192.0.2.1:25
    Bytes({203, 0, 113, 7, 192, 0, 2, 1, 0xC8, 0x22, 0, 25});
const std::string kV2Inet6 =  // [2001:db8::7]:1024 -> [::1]:25
    Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7,  //
           0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x04, 0x00, 0, 25});

struct Case {
  const char* name;
  std::string header;
  bool ok;
  std::string source;  // SourceText(), or "" for no address
};

const Case kCases[] = {
    {"v1_tcp4", "PROXY TCP4 198.51.100.22 203.0.113.7 35646 25\r\n", true, "198.51.100.22:35646"},
    {"v1_tcp6_canonical", "PROXY TCP6 2001:DB8:0:0:0:0:0:7 ::1 65535 25\r\n", true,
     "[2001:db8::7]:65535"},
    {"v1_tcp6_mapped_v4", "PROXY TCP6 ::ffff:192.0.2.9 ::1 1 25\r\n", true, "[::ffff:192.0.2.9]:1"},
    {"v1_unknown", "PROXY UNKNOWN\r\n", true, ""},
    {"v1_unknown_with_rest", "PROXY UNKNOWN ffff::1 ::1 1 2\r\n", true, ""},
    {"v1_longest",
     "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
     "65535 65535\r\n",
     true, "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535"},
    {"v2_tcp4", V2(1, 0x11, kV2Inet), true, "203.0.113.7:51234"},
    {"v2_tcp6", V2(1, 0x21, kV2Inet6), true, "[2001:db8::7]:1024"},
    {"v2_tlvs_skipped", V2(1, 0x11, kV2Inet + Bytes({0x04, 0, 3, 'a', 'b', 'c'})), true,
     "203.0.113.7:51234"},
    {"v2_local_discards_block", V2(0, 0x11, kV2Inet), true, ""},
    {"v2_local_empty", V2(0, 0x00, ""), true, ""},
    {"v2_unspec", V2(1, 0x00, "xyz"), true, ""},
    {"v2_unix_skipped", V2(1, 0x31, std::string(216, 'u')), true, ""},

    {"not_proxy", "EHLO client.example\r\n", false, ""},
    {"v1_lowercase", "proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n", false, ""},
    {"v1_bare_lf", "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", false, ""},
    {"v1_unknown_protocol", "PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n", false, ""},
    {"v1_v6_in_tcp4", "PROXY TCP4 ::1 5.6.7.8 1 2\r\n", false, ""},
    {"v1_octet_too_big", "PROXY TCP4 1.2.3.256 5.6.7.8 1 2\r\n", false, ""},
    {"v1_three_octets", "PROXY TCP4 1.2.3 5.6.7.8 1 2\r\n", false, ""},
    {"v1_two_gaps", "PROXY TCP6 1::2::3 ::1 1 2\r\n", false, ""},
    {"v1_v6_nine_groups", "PROXY TCP6 1:2:3:4:5:6:7:8:9 ::1 1 2\r\n", false, ""},
    {"v1_port_too_big", "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", false, ""},
    {"v1_port_leading_zero", "PROXY TCP4 1.2.3.4 5.6.7.8 025 2\r\n", false, ""},
    {"v1_missing_port", "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", false, ""},
    {"v1_extra_field", "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", false, ""},
    {"v1_double_space", "PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n", false, ""},
    {"v1_too_long", "PROXY UNKNOWN " + std::string(100, 'x') + "\r\n", false, ""},
    {"v2_bad_signature", "\r\n\r\nX", false, ""},
    {"v2_version_1", V2(1, 0x11, kV2Inet).replace(12, 1, 1, '\x11'), false, ""},
    {"v2_unknown_command", V2(2, 0x11, kV2Inet), false, ""},
    {"v2_udp", V2(1, 0x12, kV2Inet), false, ""},
    {"v2_undefined_family", V2(1, 0x41, kV2Inet), false, ""},
    {"v2_short_block", V2(1, 0x21, kV2Inet), false, ""},
};

struct Outcome {
  ProxyHeaderParser::State state;
  size_t consumed;
  std::string source;
};

// Feeds header + what follows it, piece bytes at a time (0: all at once),
// honouring MaxWanted the way the proxy's reader does.
Outcome Parse(const std::string& input, size_t piece) {
  ProxyHeaderParser parser;
  size_t at = 0;
  while (at < input.size() && parser.Current() == ProxyHeaderParser::State::kMore) {
    size_t n = std::min(input.size() - at, parser.MaxWanted());
    if (piece > 0) n = std::min(n, piece);
    EXPECT_GT(n, 0u);
    if (n == 0) break;
    const size_t taken = parser.Feed(input.data() + at, n);
    EXPECT_LE(taken, n);
    at += taken;
    if (taken < n) {
      EXPECT_NE(parser.Current(), ProxyHeaderParser::State::kMore);
    }
  }
  Outcome outcome{parser.Current(), at, ""};
  if (parser.Current() == ProxyHeaderParser::State::kDone && parser.Header().hasAddress) {
    outcome.source = parser.Header().SourceText();
  }
  if (parser.Current() == ProxyHeaderParser::State::kError) {
    EXPECT_FALSE(parser.Error().empty());
  }
  return outcome;
}

class ProxyHeaderCase : public ::testing::TestWithParam<Case> {};

TEST_P(ProxyHeaderCase, WholeAndByteByByte) {
  const Case& c = GetParam();
  const std::string session = "220 follows\r\n";
  for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
    SCOPED_TRACE("piece " + std::to_string(piece));
    const Outcome outcome = Parse(c.header + session, piece);
    if (c.ok) {
      EXPECT_EQ(outcome.state, ProxyHeaderParser::State::kDone);
      // Exactly the header is taken; the session's bytes stay.
      EXPECT_EQ(outcome.consumed, c.header.size());
      EXPECT_EQ(outcome.source, c.source);
    } else {
      EXPECT_EQ(outcome.state, ProxyHeaderParser::State::kError);
      EXPECT_LE(outcome.consumed, c.header.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Headers, ProxyHeaderCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& row) {
                           return std::string(row.param.name);
                         });

TEST(ProxyHeader, IncompleteHeaderWantsMoreWithinTheBound) {
  ProxyHeaderParser v1;
  const std::string partial = "PROXY TCP4 1.2.3.4";
  EXPECT_EQ(v1.Feed(partial.data(), partial.size()), partial.size());
  EXPECT_EQ(v1.Current(), ProxyHeaderParser::State::kMore);
  EXPECT_EQ(v1.MaxWanted(), ProxyHeaderParser::kMaxV1 - partial.size());

  ProxyHeaderParser v2;
  const std::string header = V2(1, 0x11, kV2Inet + "tlv");
  EXPECT_EQ(v2.Feed(header.data(), 20), 20u);
  EXPECT_EQ(v2.MaxWanted(), header.size() - 20);
}

TEST(ProxyHeader, DestinationIsKept) {
  ProxyHeaderParser parser;
  const std::string header = V2(1, 0x21, kV2Inet6);
  parser.Feed(header.data(), header.size());
  ASSERT_EQ(parser.Current(), ProxyHeaderParser::State::kDone);
  EXPECT_EQ(parser.Header().version, 2);
  EXPECT_EQ(parser.Header().destinationAddress, "::1");
  EXPECT_EQ(parser.Header().destinationPort, 25);
}

}  // namespace
