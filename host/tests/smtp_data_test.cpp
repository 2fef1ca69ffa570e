// Undoing dot-stuffing and finding the end of data, whole and split at
// every offset.
#include <gtest/gtest.h>

#include <string>

#include "host/smtp/smtp_data.h"

namespace {

// A small deterministic generator for the random streams.
struct XorShift {
  uint64_t seed;
  uint64_t operator()() {
    seed ^= seed >> 12;
    seed ^= seed << 25;
    seed ^= seed >> 27;
    return seed * 2685821657736338717ull;
  }
};

struct Unstuffed {
  std::string content;
  size_t consumed = 0;
  bool done = false;
};

// Feeds the stream in pieces of at most `piece` bytes (0: all at once).
Unstuffed Unstuff(const std::string& stream, size_t piece) {
  DotUnstuffer unstuffer;
  Unstuffed result;
  size_t at = 0;
  while (at < stream.size() && !unstuffer.Done()) {
    const size_t n = piece == 0 ? stream.size() - at : std::min(piece, stream.size() - at);
    std::string out(n + DotUnstuffer::kMaxExtraOutput, '\0');
    size_t produced = 0;
    const size_t used = unstuffer.Feed(stream.data() + at, n, &out[0], &produced);
    EXPECT_LE(used, n);
    result.content.append(out.data(), produced);
    at += used;
    if (used < n) {
      EXPECT_TRUE(unstuffer.Done());
    }
  }
  result.consumed = at;
  result.done = unstuffer.Done();
  return result;
}

struct Case {
  const char* name;
  std::string stream;
  std::string content;
  size_t consumed;  // bytes up to and including the end line
  bool done;
};

const Case kCases[] = {
    {"plain", "Subject: a\r\n\r\nbody\r\n.\r\nQUIT\r\n", "Subject: a\r\n\r\nbody\r\n", 23, true},
    {"stuffed dots", "..leading\r\n...\r\n.x\r\n.\r\n", ".leading\r\n..\r\nx\r\n", 23, true},
    {"empty message", ".\r\nNOOP\r\n", "", 3, true},
    {"dot and space is no end", ". \r\n.\r\n", " \r\n", 7, true},
    {"dot CR without LF is content", ".\rx\r\n.\r\n", "\rx\r\n", 8, true},
    {"dot CR CR", ".\r\r\n.\r\n", "\r\r\n", 7, true},
    {"dot mid-line stays", "a.b\r\n a .\r\n.\r\n", "a.b\r\n a .\r\n", 14, true},
    {"bare LF does not start a line", "a\n.\r\n.\r\n", "a\n.\r\n", 8, true},
    {"no end yet", "line\r\n..more", "line\r\n.more", 12, false},
};

TEST(DotUnstufferTest, WholeStream) {
  for (const Case& c : kCases) {
    const Unstuffed r = Unstuff(c.stream, 0);
    EXPECT_EQ(r.content, c.content) << c.name;
    EXPECT_EQ(r.consumed, c.consumed) << c.name;
    EXPECT_EQ(r.done, c.done) << c.name;
  }
}

TEST(DotUnstufferTest, EverySplitGivesTheSameResult) {
  for (const Case& c : kCases) {
    const Unstuffed whole = Unstuff(c.stream, 0);
    for (size_t piece = 1; piece < c.stream.size(); ++piece) {
      const Unstuffed split = Unstuff(c.stream, piece);
      EXPECT_EQ(split.content, whole.content) << c.name << " piece " << piece;
      EXPECT_EQ(split.consumed, whole.consumed) << c.name << " piece " << piece;
      EXPECT_EQ(split.done, whole.done) << c.name << " piece " << piece;
    }
  }
}

// The byte-at-a-time state machine the unstuffer had before it copied lines
// whole: the reference the span version must agree with.
struct ReferenceUnstuffer {
  enum State { kLineStart, kDot, kDotCr, kInLine, kCr, kDone } state = kLineStart;
  std::string Run(const std::string& data, size_t* consumed) {
    std::string out;
    size_t i = 0;
    for (; i < data.size() && state != kDone; ++i) {
      const char c = data[i];
      switch (state) {
        case kLineStart:
          if (c == '.') {
            state = kDot;
            break;
          }
          out += c;
          state = c == '\r' ? kCr : kInLine;
          break;
        case kInLine:
          out += c;
          if (c == '\r') state = kCr;
          break;
        case kCr:
          out += c;
          state = c == '\n' ? kLineStart : c == '\r' ? kCr : kInLine;
          break;
        case kDot:
          if (c == '\r') {
            state = kDotCr;
            break;
          }
          out += c;
          state = kInLine;
          break;
        case kDotCr:
          if (c == '\n') {
            state = kDone;
            break;
          }
          out += '\r';
          out += c;
          state = c == '\r' ? kCr : kInLine;
          break;
        case kDone:
          break;
      }
    }
    *consumed = i;
    return out;
  }
};

TEST(DotUnstufferTest, AgreesWithTheByteAtATimeMachineOnRandomStreams) {
  XorShift next{0x2545f4914f6cdd1dull};
  // Dense dots, and long stretches without one.
  for (int round = 0; round < 6000; ++round) {
    const std::string alphabet = round % 2 == 0 ? ".\r\nab" : "\r\nabcdefghijklmnopqrstuvwxyz.";
    std::string stream(static_cast<size_t>(next() % (round % 2 == 0 ? 60 : 200)), '\0');
    for (char& c : stream) c = alphabet[static_cast<size_t>(next() % alphabet.size())];
    ReferenceUnstuffer reference;
    size_t consumed = 0;
    const std::string expected = reference.Run(stream, &consumed);
    const size_t piece = 1 + static_cast<size_t>(next() % 9);
    const Unstuffed split = Unstuff(stream, piece);
    ASSERT_EQ(split.content, expected) << "round " << round << " piece " << piece;
    ASSERT_EQ(split.consumed, consumed) << "round " << round;
    ASSERT_EQ(split.done, reference.state == ReferenceUnstuffer::kDone) << "round " << round;
  }
}

// Feeds the stream to a DataEndFinder in pieces of at most `piece` bytes;
// the bytes up to and including the end, or npos when it does not end.
size_t FindEnd(const std::string& stream, size_t piece) {
  DataEndFinder finder;
  finder.Begin();
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min(piece, stream.size() - at);
    bool ended = false;
    const size_t taken = finder.Feed(stream.data() + at, n, &ended);
    at += taken;
    if (ended) return at;
    EXPECT_EQ(taken, n);
  }
  return std::string::npos;
}

TEST(DataEndFinderTest, FindsTheEndLineAsTheUnstufferDoesAtEverySplit) {
  for (const Case& c : kCases) {
    for (size_t piece = 1; piece <= c.stream.size(); ++piece) {
      EXPECT_EQ(FindEnd(c.stream, piece), c.done ? c.consumed : std::string::npos)
          << c.name << " piece " << piece;
    }
  }
}

TEST(DataEndFinderTest, AgreesWithTheByteAtATimeMatchOnRandomStreams) {
  XorShift next{0x9e3779b97f4a7c15ull};
  // Dense dots, and long stretches without one.
  for (const std::string alphabet : {".\r\nab", "\r\nabcdefghijklmnopqrstuvwxyz."}) {
    for (int round = 0; round < 3000; ++round) {
      std::string stream(static_cast<size_t>(next() % 120), '\0');
      for (char& c : stream) c = alphabet[static_cast<size_t>(next() % alphabet.size())];
      if (round % 2 == 1) stream += "\r\n.\r\n";
      // The reference: the end is the first CR LF . CR LF, the DATA line's
      // CR LF counted before the stream.
      const size_t found = ("\r\n" + stream).find("\r\n.\r\n");
      const size_t expected = found == std::string::npos ? found : found + 5 - 2;
      const size_t piece = 1 + static_cast<size_t>(next() % 40);
      ASSERT_EQ(FindEnd(stream, piece), expected) << "round " << round << " piece " << piece;
    }
  }
}

TEST(DataEndFinderTest, BeginStartsTheNextMessage) {
  DataEndFinder finder;
  finder.Begin();
  bool ended = false;
  const std::string two = "a\r\n.\r\nMAIL FROM:<b>\r\n";
  EXPECT_EQ(finder.Feed(two.data(), two.size(), &ended), 6u);
  EXPECT_TRUE(ended);
  // After the end the stream is commands: a dot line there ends nothing.
  EXPECT_EQ(finder.Feed(".\r\n", 3, &ended), 3u);
  EXPECT_FALSE(ended);
  finder.Begin();
  EXPECT_EQ(finder.Feed(".\r\n", 3, &ended), 3u);
  EXPECT_TRUE(ended);
}

TEST(DotUnstufferTest, ResetStartsANewMessage) {
  DotUnstuffer unstuffer;
  char out[16];
  size_t produced = 0;
  EXPECT_EQ(unstuffer.Feed(".\r\n", 3, out, &produced), 3u);
  EXPECT_TRUE(unstuffer.Done());
  EXPECT_EQ(unstuffer.Feed("x", 1, out, &produced), 0u);
  unstuffer.Reset();
  EXPECT_FALSE(unstuffer.Done());
  EXPECT_EQ(unstuffer.Feed("..\r\n", 4, out, &produced), 4u);
  EXPECT_EQ(std::string(out, produced), ".\r\n");
}

}  // namespace
