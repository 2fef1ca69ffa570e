// CReplyFramer: server byte streams framed whole, split in two at every
// offset and one byte at a time; the lines, their places in their replies
// and the replies' ends come out the same, and the partial line never
// outgrows its limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/reply_framer.h"

namespace {

const size_t kMaxLine = 16;

struct SFramerCase {
  const char* name;
  std::string stream;
  // "[code" where a reply begins, "n:" or "nL:" (the closing line) before
  // each line, "]" where a reply ends.
  std::string expected;
  std::string partial;  // left at the end
};

const std::string kLong(30, 'x');

const SFramerCase kCases[] = {
    {"OneLine", "220 mx\r\n", "[220 1L:220 mx\r\n]", ""},
    {"MultiLine", "250-a\r\n250-b\r\n250 c\r\n", "[250 1:250-a\r\n2:250-b\r\n3L:250 c\r\n]", ""},
    {"TwoReplies", "250 a\r\n354 go\r\n", "[250 1L:250 a\r\n][354 1L:354 go\r\n]", ""},
    {"BareCode", "250\r\n", "[250 1L:250\r\n]", ""},
    {"NoCode", "hello\r\n", "[-1 1L:hello\r\n]", ""},
    {"LfOnly", "250-a\n250 b\n", "[250 1:250-a\n2L:250 b\n]", ""},
    {"OverlongContinuation", "250-" + kLong + "\r\n250 end\r\n",
     "[250 1:250-" + kLong + "\r\n2L:250 end\r\n]", ""},
    {"OverlongClosingLine", "250 " + kLong + "\n", "[250 1L:250 " + kLong + "\n]", ""},
    {"UnfinishedTail", "250 ok\r\n25", "[250 1L:250 ok\r\n]", "25"},
};

struct SPlay {
  std::string log;
  std::string line;       // the line being assembled from fragments
  bool oversize = false;  // the partial line or a fragment broke the limit
};

void FeedPiece(CReplyFramer& framer, SPlay& play, const std::string& piece) {
  framer.Feed(piece.data(), piece.size(), [&](const char* data, size_t n, bool complete) {
    if (framer.AtLineStart() && framer.BeginLine(data, n)) {
      play.log += "[" + std::to_string(framer.Code()) + " ";
    }
    if (!complete && n <= kMaxLine) play.oversize = true;  // cut before it had to be
    if (play.line.empty()) {
      CReplyPiece place = framer.Piece(complete);
      play.log += std::to_string(place.m_nLines) + (place.m_bLastLine ? "L:" : ":");
    }
    play.line.append(data, n);
    if (complete) {
      play.log += play.line;
      play.line.clear();
    }
    if (framer.EndPiece(complete)) play.log += "]";
    return true;
  });
  if (framer.PartialLine().size() > kMaxLine) play.oversize = true;
}

SPlay Play(const std::string& stream, const std::vector<size_t>& cuts) {
  CReplyFramer framer(kMaxLine);
  SPlay play;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t to = i < cuts.size() ? cuts[i] : stream.size();
    FeedPiece(framer, play, stream.substr(from, to - from));
    from = to;
  }
  // What is left: fragments handed on of a line not yet ended, then the
  // partial line the framer keeps.
  play.line += framer.PartialLine();
  return play;
}

TEST(ReplyFramerTest, SameRepliesWhereverTheStreamIsSplit) {
  for (const SFramerCase& c : kCases) {
    std::vector<std::vector<size_t>> splits = {{}};
    for (size_t cut = 0; cut <= c.stream.size(); ++cut) splits.push_back({cut});
    std::vector<size_t> bytes;
    for (size_t cut = 1; cut < c.stream.size(); ++cut) bytes.push_back(cut);
    splits.push_back(bytes);
    for (const std::vector<size_t>& cuts : splits) {
      SPlay play = Play(c.stream, cuts);
      const std::string where = std::string(c.name) + " in " + std::to_string(cuts.size() + 1) +
                                " pieces" +
                                (cuts.size() == 1 ? ", cut at " + std::to_string(cuts[0]) : "");
      EXPECT_EQ(play.log, c.expected) << where;
      EXPECT_FALSE(play.oversize) << where;
      EXPECT_EQ(play.line, c.partial) << where;
    }
  }
}

// After a line whose handler says stop, the rest of the read is not framed.
TEST(ReplyFramerTest, StopsAfterTheLineItIsToldTo) {
  CReplyFramer framer(kMaxLine);
  const std::string stream = "421 bye\r\n250 ok\r\n2";
  std::vector<std::string> lines;
  framer.Feed(stream.data(), stream.size(), [&](const char* data, size_t n, bool) {
    lines.emplace_back(data, n);
    return false;
  });
  EXPECT_EQ(lines, std::vector<std::string>{"421 bye\r\n"});
  EXPECT_EQ(framer.PartialLine(), "");
}

}  // namespace
