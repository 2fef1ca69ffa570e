// COwedReplies: scripts of commands sent, replies of our own, server replies
// and a lost server, each step checked against the counts and the order in
// which the client hears its own replies.
#include <gtest/gtest.h>

#include <string>

#include "session/owed_replies.h"

namespace {

// One step: 'c' client command, 'e' client EHLO, 'n' our NOOP, 'r' our RSET,
// 'g' a client command inside a group (MAIL), 'l' a local reply (its text
// is the step's index, below 10), 'a' a server reply, 'f' flush, 'x' the server lost.
struct SOwedCase {
  const char* name;
  const char* steps;
  const char* answers;  // kinds answered by the 'a' steps, one letter each
  const char* flushed;  // local replies sent by 'f' and 'x', as step indexes
  size_t client, noops, local, server, groupEnds;  // at the end
};

const SOwedCase kCases[] = {
    {"GreetingThenCommand", "caca", "cc", "", 0, 0, 0, 0, 0},
    {"PipelinedGroupOwesNoGroupEnd", "ggc", "", "", 3, 0, 0, 3, 1},
    {"LocalWaitsForTheClientReplyBeforeIt", "clfaf", "c", "1", 0, 0, 0, 0, 0},
    {"OurNoopDoesNotHoldALocalBack", "nlf", "", "1", 0, 1, 0, 1, 1},
    {"NoopAnsweredFirst", "ncaa", "nc", "", 0, 0, 0, 0, 0},
    {"NothingOwedIsUnasked", "a", "u", "", 0, 0, 0, 0, 0},
    {"LostServerAnswersTheClientInPlace", "nclerx", "", "x2x", 0, 0, 0, 0, 0},
    {"LostServerKeepsLaterLocals", "clclx", "", "x1x3", 0, 0, 0, 0, 0},
};

char Letter(EOwed kind) {
  switch (kind) {
    case EOwed::kClient:
      return 'c';
    case EOwed::kClientEhlo:
      return 'e';
    case EOwed::kClientData:
      return 'd';
    case EOwed::kNoop:
      return 'n';
    case EOwed::kData:
      return 'D';
    case EOwed::kRset:
      return 'r';
    case EOwed::kLocal:
      return 'l';
    case EOwed::kUnasked:
      return 'u';
  }
  return '?';
}

TEST(OwedRepliesTest, ScriptsKeepCountsAndOrder) {
  static const char kLost[] = "x";
  for (const SOwedCase& c : kCases) {
    COwedReplies owed;
    static const char* const kIndex[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    std::string answers, flushed;
    auto send = [&flushed](const char* text) { flushed += text; };
    for (size_t i = 0; c.steps[i] != '\0'; ++i) {
      switch (c.steps[i]) {
        case 'c':
          owed.Expect(EOwed::kClient, true);
          break;
        case 'e':
          owed.Expect(EOwed::kClientEhlo, true);
          break;
        case 'g':
          owed.Expect(EOwed::kClient, false);
          break;
        case 'n':
          owed.Expect(EOwed::kNoop, true);
          break;
        case 'r':
          owed.Expect(EOwed::kRset, true);
          break;
        case 'l':
          owed.QueueLocal(kIndex[i]);
          break;
        case 'a':
          answers += Letter(owed.AnswerNext());
          break;
        case 'f':
          owed.FlushLocal(send);
          break;
        case 'x':
          owed.ForgetServer(kLost);
          owed.FlushLocal(send);
          break;
      }
    }
    EXPECT_EQ(answers, c.answers) << c.name;
    EXPECT_EQ(flushed, c.flushed) << c.name;
    EXPECT_EQ(owed.Client(), c.client) << c.name;
    EXPECT_EQ(owed.Noops(), c.noops) << c.name;
    EXPECT_EQ(owed.Local(), c.local) << c.name;
    EXPECT_EQ(owed.Server(), c.server) << c.name;
    EXPECT_EQ(owed.GroupEnds(), c.groupEnds) << c.name;
    size_t entries = 0;
    for (const COwed& entry : owed) entries += entry.m_eKind == EOwed::kLocal ? 0 : 1;
    EXPECT_EQ(entries, owed.Server()) << c.name << ": entries the server will answer";
  }
}

// A send that throws has already taken its reply out: it is not sent again.
TEST(OwedRepliesTest, ThrowingSendTakesItsReplyOut) {
  COwedReplies owed;
  owed.QueueLocal("1");
  owed.QueueLocal("2");
  EXPECT_THROW(owed.FlushLocal([](const char*) { throw 1; }), int);
  std::string sent;
  owed.FlushLocal([&sent](const char* text) { sent += text; });
  EXPECT_EQ(sent, "2");
  EXPECT_EQ(owed.Local(), 0u);
  EXPECT_TRUE(owed.Empty());
}

}  // namespace
