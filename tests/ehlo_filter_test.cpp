// CEhloFilter: EHLO replies line by line, every over-long line also in two
// fragments split at every offset past the kept-line limit (as the reply
// framing cuts them), with the same bytes for the client each time.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "session/ehlo_filter.h"

namespace {

const size_t kMaxKept = 24;       // lines longer than this come in fragments
const uint64_t kSizeBefore = 77;  // what the session knew before the reply

struct SEhloCase {
  const char* name;
  std::vector<std::string> lines;
  std::string client;
  uint64_t size;
  int32_t pipelining;
};

const SEhloCase kCases[] = {
    {"WithheldFirstAndMiddle",
     {"250-mx\r\n", "250-STARTTLS\r\n", "250-SIZE 1000\r\n", "250-chunking\r\n",
      "250 PIPELINING\r\n"},
     "250-mx\r\n250-SIZE 1000\r\n250 PIPELINING\r\n",
     1000,
     1},
    {"WithheldLastClosedByTheKeptLine",
     {"250-mx\r\n", "250-8BITMIME\r\n", "250 XCLIENT ADDR NAME\r\n"},
     "250-mx\r\n250 8BITMIME\r\n",
     kSizeBefore,
     0},
    {"WithheldLastAfterAnOverlongLine",
     {"250-mx\r\n", "250-X-AN-OVERLONG-KEYWORD-LINE\r\n", "250 BINARYMIME\r\n"},
     "250-mx\r\n250-X-AN-OVERLONG-KEYWORD-LINE\r\n250\r\n",
     kSizeBefore,
     0},
    {"OverlongLineWithheld",
     {"250-mx\r\n", "250-XFORWARD NAME ADDR PROTO HELO\r\n", "250 HELP\r\n"},
     "250-mx\r\n250 HELP\r\n",
     kSizeBefore,
     0},
    {"GreetingLineNeverWithheld",
     {"250-STARTTLS\r\n", "250 SIZE 5\r\n"},
     "250-STARTTLS\r\n250 SIZE 5\r\n",
     5,
     0},
    {"OnlyTheKeywordItselfCounts",
     {"250-mx\r\n", "250-SIZEX 9\r\n", "250-PIPELINING-NOT\r\n", "250 SIZE\r\n"},
     "250-mx\r\n250-SIZEX 9\r\n250-PIPELINING-NOT\r\n250 SIZE\r\n",
     kSizeBefore,
     0},
    {"RefusedReplyTeachesNothing",
     {"550-mx\r\n", "550-SIZE 9\r\n", "550 PIPELINING\r\n"},
     "550-mx\r\n550-SIZE 9\r\n550 PIPELINING\r\n",
     kSizeBefore,
     0},
};

// Plays the lines; `split` is where the over-long line `splitLine` is cut,
// 0 for none.
std::string Play(const SEhloCase& c, size_t splitLine, size_t split, uint64_t* size,
                 int32_t* pipelining) {
  CEhloFilter filter(kMaxKept);
  filter.Reset();
  std::string client;
  auto send = [&client](const char* data, size_t n) { client.append(data, n); };
  int code = (c.lines[0][0] - '0') * 100 + (c.lines[0][1] - '0') * 10 + (c.lines[0][2] - '0');
  for (size_t i = 0; i < c.lines.size(); ++i) {
    const std::string& line = c.lines[i];
    CReplyPiece piece{true, true, i + 1 == c.lines.size(), static_cast<int32_t>(i + 1), code};
    if (i == splitLine && split > 0) {
      piece.m_bComplete = false;
      filter.Relay(line.data(), split, piece, size, pipelining, send);
      piece.m_bFirst = false;
      piece.m_bComplete = true;
      filter.Relay(line.data() + split, line.size() - split, piece, size, pipelining, send);
    } else {
      filter.Relay(line.data(), line.size(), piece, size, pipelining, send);
    }
  }
  filter.Flush(send);
  return client;
}

TEST(EhloFilterTest, SameOutcomeWhereverAnOverlongLineIsCut) {
  for (const SEhloCase& c : kCases) {
    for (size_t lineIndex = 0; lineIndex < c.lines.size(); ++lineIndex) {
      const size_t length = c.lines[lineIndex].size();
      // The framing cuts a line only once more than the limit has come.
      for (size_t split = length > kMaxKept ? kMaxKept + 1 : length; split <= length; ++split) {
        const size_t cut = split < length ? split : 0;
        uint64_t size = kSizeBefore;
        int32_t pipelining = 0;
        EXPECT_EQ(Play(c, lineIndex, cut, &size, &pipelining), c.client)
            << c.name << ", line " << lineIndex << " cut at " << cut;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(pipelining, c.pipelining) << c.name;
      }
    }
  }
}

TEST(EhloFilterTest, KeywordsInAnyLetterCase) {
  const std::string withheld[] = {"250-starttls\r\n", "250-Chunking\r\n", "250 BinaryMime\r\n",
                                  "250-xclient ADDR\r\n", "250 XForward NAME"};
  for (const std::string& line : withheld) {
    EXPECT_NE(EhloWithheldKeyword(line.data(), line.size()), nullptr) << line;
    // For a client trusted to forward only the two forwarding keywords pass.
    const bool forwarding = line.compare(4, 2, "xc") == 0 || line.compare(4, 2, "XF") == 0;
    EXPECT_EQ(EhloWithheldKeyword(line.data(), line.size(), true) == nullptr, forwarding) << line;
  }
  const std::string size = "250-size 123456\r\n";
  EXPECT_EQ(EhloSizeLimit(size.data(), size.size()), 123456u);
  const std::string huge = "250-SIZE 99999999999999999999999\r\n";
  EXPECT_EQ(EhloSizeLimit(huge.data(), huge.size()), 0u) << "no real limit is this large";
}

}  // namespace
