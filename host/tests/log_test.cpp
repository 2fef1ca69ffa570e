// Fields from peers in log lines: control bytes escaped, length bounded.
#include <gtest/gtest.h>

#include <string>

#include "host/base/log.h"

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

}  // namespace
