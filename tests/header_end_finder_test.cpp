// CHeaderEndFinder: each stream found whole, split in two at every offset,
// and one byte at a time, with the same answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "session/header_end_finder.h"

namespace {

struct SHeaderEndCase {
  const char* name;
  std::string stream;
  int64_t expected;  // stream offset of the empty line, or -1
};

const SHeaderEndCase kCases[] = {
    {"EmptyLineAfterHeaders", std::string("A: 1\r\nB: 2\r\n\r\nbody\r\n"), 12},
    {"MessageStartsWithEmptyLine", std::string("\r\nbody\r\n"), 0},
    {"HeadersOnly", std::string("A: 1\r\nB: 2\r\n"), -1},
    {"FirstEmptyLineCounts", std::string("A: 1\r\n\r\n\r\nb\r\n"), 6},
    {"CrInsideALineIsNoLineEnd", std::string("A: x\ry\r\n\r\n"), 8},
    {"CrRunBeforeLf", std::string("A\r\r\n\r\n"), 4},
    {"LineStartingWithCrIsNotEmpty", std::string("\r\r\n\r\n"), 3},
    {"BareLfEndsNoLine", std::string("A: 1\n\nB\r\n"), -1},
    {"EmptyLineRightAfterCrLine", std::string("A\r\n\rB\r\n\r\n"), 7},
    {"NulBytesAreLineBytes", std::string("A\0B\r\n\r\n", 7), 5},
    {"EmptyStream", std::string(), -1},
};

// Feeds the pieces in order; the first answer found is the result.
int64_t FindInPieces(const std::string& stream, const std::vector<size_t>& cuts) {
  CHeaderEndFinder finder;
  finder.Reset();
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t to = i < cuts.size() ? cuts[i] : stream.size();
    int64_t found = finder.Find(stream.data() + from, static_cast<int>(to - from), from);
    if (found >= 0) return found;
    from = to;
  }
  return -1;
}

TEST(HeaderEndFinderTest, SameAnswerWhereverTheStreamIsSplit) {
  for (const SHeaderEndCase& c : kCases) {
    EXPECT_EQ(FindInPieces(c.stream, {}), c.expected) << c.name << " whole";
    for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
      EXPECT_EQ(FindInPieces(c.stream, {cut}), c.expected) << c.name << " split at " << cut;
    }
    std::vector<size_t> bytes;
    for (size_t cut = 1; cut < c.stream.size(); ++cut) bytes.push_back(cut);
    EXPECT_EQ(FindInPieces(c.stream, bytes), c.expected) << c.name << " byte by byte";
  }
}

TEST(HeaderEndFinderTest, ResetStartsANewMessageAtALineStart) {
  CHeaderEndFinder finder;
  EXPECT_EQ(finder.Find("A: 1\r", 5, 0), -1);  // left inside a line
  finder.Reset();
  EXPECT_EQ(finder.Find("\r\nb", 3, 100), 100);
  // After an answer the search starts over at a line start.
  EXPECT_EQ(finder.Find("\r\n", 2, 200), 200);
}

}  // namespace
