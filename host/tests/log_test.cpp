// Fields from peers in log lines: control bytes escaped, length bounded.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "host/base/log.h"
#include "tests/support/scratch_directory.h"

namespace {

TEST(LogSafeTest, ControlBytesAndDeleteAreEscaped) {
  EXPECT_EQ(LogSafe("<a@example.org>"), "<a@example.org>");
  EXPECT_EQ(LogSafe("fake\r\n2026-01-01 divivez-proxy: delivered"),
            "fake\\x0D\\x0A2026-01-01 divivez-proxy: delivered");
  EXPECT_EQ(LogSafe(std::string("a\0b\x1b[31m\x7f", 9)), "a\\x00b\\x1B[31m\\x7F");
  // Bytes from 0x80 up are left as they are (UTF-8 addresses).
  EXPECT_EQ(LogSafe("J\xc3\xbcrgen"), "J\xc3\xbcrgen");
  EXPECT_EQ(LogSafe(""), "");
}

TEST(LogSafeTest, AtMost256BytesPerField) {
  const std::string exact(kMaxLogField, 'x');
  EXPECT_EQ(LogSafe(exact), exact);
  const std::string longer(kMaxLogField + 1, 'x');
  const std::string cut = LogSafe(longer);
  EXPECT_EQ(cut.size(), kMaxLogField);
  EXPECT_EQ(cut.substr(cut.size() - 3), "...");
  const std::string controls(1000, '\n');
  const std::string escaped = LogSafe(controls);
  EXPECT_LE(escaped.size(), kMaxLogField);
  EXPECT_EQ(escaped.substr(0, 8), "\\x0A\\x0A");
  EXPECT_EQ(escaped.substr(escaped.size() - 3), "...");
}

TEST(LoggerTest, TimestampedLinesAndMessagesCutAt1023Bytes) {
  CScratchDirectory scratch("divivez-host-log-");
  const std::string path = scratch.File("proxy.log");
  {
    Logger log;
    std::string error;
    ASSERT_TRUE(log.OpenFile(path, &error)) << error;
    log.Line("conn %d from %s: %llu bytes", 7, "[192.0.2.1]:25", 1234567890123ULL);
    log.Line("%s", std::string(1500, 'x').c_str());
    log.Line("last");
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  const std::string stamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} divivez-proxy: ";
  const std::regex expected(stamp + "conn 7 from \\[192\\.0\\.2\\.1\\]:25: 1234567890123 bytes\n" +
                            stamp + "x{1023}\n" + stamp + "last\n");
  EXPECT_TRUE(std::regex_match(content.str(), expected)) << content.str().substr(0, 200);
}

}  // namespace
