// Fields from peers in log lines: control bytes escaped, length bounded.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
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

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Rotation: the file is moved aside while open (Windows included), the
// reload reopens it by its name; a name that can no longer be opened leaves
// the lines going to the file open before.
TEST(LoggerTest, ReopenFileAfterTheFileWasMovedAside) {
  CScratchDirectory scratch("divivez-host-log-");
  const std::string path = scratch.File("proxy.log");
  const std::string moved = scratch.File("proxy.log.1");
  Logger log;
  std::string error;
  EXPECT_TRUE(log.ReopenFile(&error)) << "no file open: nothing to reopen";
  ASSERT_TRUE(log.OpenFile(path, &error)) << error;
  log.Line("before");
  ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0) << "an open log file must be movable";
  log.Line("moved");
  ASSERT_TRUE(log.ReopenFile(&error)) << error;
  log.Line("after");
  EXPECT_TRUE(std::regex_search(FileText(moved), std::regex("before\n.*moved\n$")))
      << FileText(moved);
  EXPECT_TRUE(std::regex_match(FileText(path), std::regex("[^\n]* after\n"))) << FileText(path);

  const std::filesystem::path gone = scratch.File("gone");
  std::filesystem::create_directory(gone);
  const std::string inside = (gone / "proxy.log").string();
  const std::string outside = scratch.File("outside.log");
  ASSERT_TRUE(log.OpenFile(inside, &error)) << error;
  ASSERT_EQ(std::rename(inside.c_str(), outside.c_str()), 0);
  ASSERT_TRUE(std::filesystem::remove(gone));
  EXPECT_FALSE(log.ReopenFile(&error));
  EXPECT_NE(error.find("cannot open log file " + inside), std::string::npos) << error;
  log.Line("kept");
  EXPECT_NE(FileText(outside).find("kept"), std::string::npos) << FileText(outside);
}

}  // namespace
