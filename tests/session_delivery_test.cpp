// Delivery of large spooled messages: where the scanner's text goes when the
// headers end near or beyond a delivery read, and the progress reports.
// The messages are generated, so these dialogues are built in code.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/dialogue.h"

namespace {

// A line of exactly `length` bytes (at least 7), CRLF included; the prefix
// has five characters.
std::string Line(const char* prefix, size_t length) {
  return prefix + std::string(length - 7, 'h') + "\r\n";
}

// Lines of exactly `size` bytes in total (0 or at least 7).
std::string Lines(const char* prefix, size_t size) {
  std::string out;
  while (size - out.size() >= 160) out += Line(prefix, 80);
  size_t left = size - out.size();
  if (left >= 14) {
    out += Line(prefix, left / 2);
    out += Line(prefix, left - left / 2);
  } else if (left > 0) {
    out += Line(prefix, left);
  }
  return out;
}

// Headers of `headerSize` bytes, the empty line, a body with a later empty
// line, and the end marker: `total` bytes in all.
std::string Message(size_t headerSize, size_t total) {
  std::string body = "first\r\n\r\n";
  body += Lines("Body ", total - headerSize - 2 - body.size() - 3);
  return Lines("X-F: ", headerSize) + "\r\n" + body + ".\r\n";
}

using Reports = std::vector<std::pair<uint32_t, uint32_t>>;

// Before the first 8192-byte read and after each, for files above 20480 bytes.
Reports ProgressFor(size_t size) {
  Reports reports;
  if (size <= 20480) return reports;
  uint32_t total = static_cast<uint32_t>(size / 1024);
  reports.emplace_back(0, total);
  for (size_t sent = 8192; sent < size + 8192; sent += 8192) {
    reports.emplace_back(static_cast<uint32_t>(std::min(sent, size) >> 10), total);
  }
  return reports;
}

SDialogue Delivery(const std::string& message, const SVerdict& verdict,
                   const std::string& delivered, const Reports& progress) {
  SDialogue dialogue;
  dialogue.strName = "Generated";
  dialogue.Server("220 mx\r\n").ToClient("220 mx\r\n").Client("DATA\r\n").ToClient(kReply354);
  dialogue.Verdict(verdict).Client(message).Spool(message).ToServer("DATA\r\n");
  dialogue.Server("354 go\r\n").ToServer(delivered).NoSpool();
  for (const auto& report : progress) dialogue.Progress(report.first, report.second);
  dialogue.Server("250 ok\r\n").ToClient("250 ok\r\n");
  return dialogue;
}

SVerdict Clean(const std::string& text) {
  SVerdict verdict;
  verdict.strText = text;
  return verdict;
}

class SessionDeliveryTest : public ::testing::Test {
 protected:
  CHostHarness m_host;
};

// The empty line starts at spool offset `h`; its CRLF CRLF straddles the
// 8192-byte delivery reads for h in 8191..8193, and the headers outgrow a
// read beyond that.
TEST_F(SessionDeliveryTest, TextGoesBeforeTheFirstEmptyLineWhereverTheReadsSplitIt) {
  std::vector<size_t> offsets;
  for (size_t h = 8192 - 6; h <= 8192 + 6; ++h) offsets.push_back(h);
  for (size_t h : {size_t{10000}, size_t{16383}, size_t{16384}, size_t{16385}, size_t{30000}}) {
    offsets.push_back(h);
  }
  for (size_t h : offsets) {
    SCOPED_TRACE("empty line at spool offset " + std::to_string(h));
    std::string message = Message(h, h + 3000);
    std::string delivered = message.substr(0, h) + "X-Scan: ok\r\n" + message.substr(h);
    RunDialogue(m_host,
                Delivery(message, Clean("X-Scan: ok"), delivered, ProgressFor(message.size())),
                ESplit::kScripted);
    if (HasFailure()) return;
  }
}

TEST_F(SessionDeliveryTest, LongestTextIsInsertedWhole) {
  std::string text = "X-Long: " + std::string(255, 'a');
  ASSERT_EQ(text.size(), 263u);
  std::string message = "Subject: t\r\n\r\nbody\r\n.\r\n";
  RunDialogue(m_host,
              Delivery(message, Clean(text), "Subject: t\r\n" + text + "\r\n\r\nbody\r\n.\r\n", {}),
              ESplit::kScripted);
}

TEST_F(SessionDeliveryTest, HeadersOnlyMessageLongerThanAReadGetsTextBeforeTheEnd) {
  std::string headers = Lines("X-F: ", 20000);
  RunDialogue(m_host,
              Delivery(headers + ".\r\n", Clean("X-Scan: ok"), headers + "X-Scan: ok\r\n.\r\n",
                       ProgressFor(headers.size() + 3)),
              ESplit::kScripted);
}

// Reports before the first read and after each, in KB of spool file only.
TEST_F(SessionDeliveryTest, ProgressIsReportedForFilesAbove20480Bytes) {
  struct SCase {
    size_t size;
    std::string text;
    Reports reports;
  } cases[] = {
      {20480, "", {}},
      {20481, "", {{0, 20}, {8, 20}, {16, 20}, {20, 20}}},
      {20481, "X-Scan: this text is not counted", {{0, 20}, {8, 20}, {16, 20}, {20, 20}}},
      {40000, "", {{0, 39}, {8, 39}, {16, 39}, {24, 39}, {32, 39}, {39, 39}}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE("spool file of " + std::to_string(c.size) + " bytes, text '" + c.text + "'");
    std::string message = Message(100, c.size);
    ASSERT_EQ(message.size(), c.size);
    std::string delivered =
        c.text.empty() ? message : message.substr(0, 100) + c.text + "\r\n" + message.substr(100);
    RunDialogue(m_host, Delivery(message, Clean(c.text), delivered, c.reports), ESplit::kScripted);
    if (HasFailure()) return;
  }
}

}  // namespace
