// Whole SMTP dialogues through the plug-in's exports, each registered as its
// own test per delivery mode (as scripted, split at every offset within one
// and across two handler calls, one byte per read).
//
// While they play, every phase change the session traces is checked against
// the moves a session may make (kAllowedMoves), and against the phase it was
// in: a move that starts from another phase than the last one entered means
// a change that went untraced.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/debug_output.h"
#include "session/smtp_connection.h"
#include "support/dialogue.h"
#include "support/plugin_settings.h"

namespace {

#include "session_dialogues.inc"

// The moves of the message phase, each with what makes it.
const ESessionState kAllowedMoves[][2] = {
    // DATA, and the spool file was created.
    {ESessionState::kCommandRelay, ESessionState::kSpooling},
    // DATA without a spool file, relayed because the host allows unscanned mail.
    {ESessionState::kCommandRelay, ESessionState::kAwaitingRelayedDataReply},
    // The end-of-data marker.
    {ESessionState::kSpooling, ESessionState::kScanning},
    // Infected, over the server's SIZE, a spool fault, or the server lost.
    {ESessionState::kScanning, ESessionState::kCommandRelay},
    // Clean (or no scanner): our DATA goes out.
    {ESessionState::kScanning, ESessionState::kAwaitingDataReply},
    // The server's 354 to our DATA.
    {ESessionState::kAwaitingDataReply, ESessionState::kDelivering},
    // Our DATA refused, or the server lost.
    {ESessionState::kAwaitingDataReply, ESessionState::kCommandRelay},
    // Delivered, or delivery broke off.
    {ESessionState::kDelivering, ESessionState::kCommandRelay},
    // The server's 354 to the relayed DATA.
    {ESessionState::kAwaitingRelayedDataReply, ESessionState::kPassThrough},
    // The relayed DATA refused, or the server lost.
    {ESessionState::kAwaitingRelayedDataReply, ESessionState::kCommandRelay},
    // The end-of-data marker relayed.
    {ESessionState::kPassThrough, ESessionState::kCommandRelay},
};

const ESessionState kAllStates[] = {ESessionState::kCommandRelay,
                                    ESessionState::kSpooling,
                                    ESessionState::kScanning,
                                    ESessionState::kAwaitingDataReply,
                                    ESessionState::kDelivering,
                                    ESessionState::kPassThrough,
                                    ESessionState::kAwaitingRelayedDataReply};

// Follows the transition trace of the connections opened while it lives: the
// message phase and the server link (connected -> lost, once) separately.
class CTransitionCheck {
 public:
  CTransitionCheck() {
    std::lock_guard<std::mutex> guard(s_lock);
    s_moves.clear();
    s_problems.clear();
    s_strPhase = StateName(ESessionState::kCommandRelay);
    s_bServerLost = false;
    // The state traces are written above level 1.
    SetTraceLevel(2);
    SetDebugOutputHook(&Follow);
    SetDebugOutputHookExclusive(true);
  }
  ~CTransitionCheck() {
    SetDebugOutputHook(nullptr);
    SetDebugOutputHookExclusive(false);
    SetTraceLevel(0);
  }
  CTransitionCheck(const CTransitionCheck&) = delete;
  CTransitionCheck& operator=(const CTransitionCheck&) = delete;

  static std::vector<std::string> Moves() {
    std::lock_guard<std::mutex> guard(s_lock);
    return s_moves;
  }
  static std::vector<std::string> Problems() {
    std::lock_guard<std::mutex> guard(s_lock);
    return s_problems;
  }

 private:
  static bool Allowed(const std::string& from, const std::string& to) {
    for (const auto& move : kAllowedMoves) {
      if (from == StateName(move[0]) && to == StateName(move[1])) return true;
    }
    return false;
  }
  static bool IsPhase(const std::string& name) {
    for (ESessionState state : kAllStates) {
      if (name == StateName(state)) return true;
    }
    return false;
  }

  static void Follow(const char* line) {
    static const char kPrefix[] = "DIVIVEZ: ";
    if (std::strncmp(line, kPrefix, sizeof kPrefix - 1) != 0) return;
    const std::string text(line + sizeof kPrefix - 1);
    std::lock_guard<std::mutex> guard(s_lock);
    if (text.compare(0, 14, "NewConnection ") == 0) {
      s_strPhase = StateName(ESessionState::kCommandRelay);
      s_bServerLost = false;
      return;
    }
    const size_t arrow = text.find(" -> ");
    if (arrow == std::string::npos) return;
    const std::string from = text.substr(0, arrow);
    std::string to = text.substr(arrow + 4);
    if (!to.empty() && to.back() == '\n') to.pop_back();
    s_moves.push_back(from + " -> " + to);
    if (from == kServerUpName && to == kServerLostName) {
      if (s_bServerLost) s_problems.push_back("server lost twice");
      s_bServerLost = true;
    } else if (!IsPhase(from) || !IsPhase(to) || !Allowed(from, to)) {
      s_problems.push_back("not an allowed move: " + from + " -> " + to);
    } else if (from != s_strPhase) {
      s_problems.push_back("move from " + from + " while in " + s_strPhase);
    }
    if (IsPhase(to)) s_strPhase = to;
  }

  static std::mutex s_lock;  // guards what follows
  static std::vector<std::string> s_moves;
  static std::vector<std::string> s_problems;
  static std::string s_strPhase;
  static bool s_bServerLost;
};

std::mutex CTransitionCheck::s_lock;
std::vector<std::string> CTransitionCheck::s_moves;
std::vector<std::string> CTransitionCheck::s_problems;
std::string CTransitionCheck::s_strPhase;
bool CTransitionCheck::s_bServerLost = false;

using DialogueCase = std::tuple<SDialogue, ESplit>;

class SessionDialogueTest : public ::testing::TestWithParam<DialogueCase> {
 protected:
  CHostHarness m_host;
  CTransitionCheck m_transitions;
};

TEST_P(SessionDialogueTest, Plays) {
  RunDialogue(m_host, std::get<0>(GetParam()), std::get<1>(GetParam()));
  EXPECT_EQ(CTransitionCheck::Problems(), std::vector<std::string>());
}

// The check above sees the moves: one dialogue of each road, move by move.
TEST(SessionTransitionTrace, NamesEveryMoveOfEachRoad) {
  const char kRoads[] = R"DLG(
== Delivered
loose
S: 220 mx\r\n
C: DATA\r\nA: 1\r\n\r\nb\r\n.\r\n
>F: A: 1\r\n\r\nb\r\n.\r\n
S: 354 go\r\n
S: 250 ok\r\n
>C: 220 mx\r\n{354}250 ok\r\n
>S: DATA\r\nA: 1\r\n\r\nb\r\n.\r\n

== NotReopened
loose
fault: openread
S: 220 mx\r\n
C: DATA\r\nA: 1\r\n\r\nb\r\n.\r\n
>F: A: 1\r\n\r\nb\r\n.\r\n
S: 354 go\r\n
>C: 220 mx\r\n{354}{451}
>S: DATA\r\n

== RelayedUnscanned
loose
relay-unspooled
fault: create
S: 220 mx\r\n
C: DATA\r\n
S: 354 go\r\n
C: A: 1\r\n.\r\n
>C: 220 mx\r\n354 go\r\n
>S: DATA\r\nA: 1\r\n.\r\n
)DLG";
  const char* const kExpected[][5] = {
      {"command relay -> spooling", "spooling -> scanning", "scanning -> awaiting the DATA answer",
       "awaiting the DATA answer -> delivering", "delivering -> command relay"},
      {"command relay -> spooling", "spooling -> scanning", "scanning -> awaiting the DATA answer",
       "server connected -> server lost", "awaiting the DATA answer -> command relay"},
      {"command relay -> awaiting the relayed DATA answer",
       "awaiting the relayed DATA answer -> unscanned pass-through",
       "unscanned pass-through -> command relay", nullptr, nullptr},
  };
  const std::vector<SDialogue> roads = ParseDialogues(kRoads);
  ASSERT_EQ(roads.size(), 3u);
  for (size_t i = 0; i < roads.size(); ++i) {
    CHostHarness host;
    CTransitionCheck transitions;
    RunDialogue(host, roads[i], ESplit::kScripted);
    std::vector<std::string> expected;
    for (const char* move : kExpected[i]) {
      if (move != nullptr) expected.push_back(move);
    }
    EXPECT_EQ(CTransitionCheck::Moves(), expected) << roads[i].strName;
    EXPECT_EQ(CTransitionCheck::Problems(), std::vector<std::string>()) << roads[i].strName;
  }
}

std::string CaseName(const ::testing::TestParamInfo<DialogueCase>& info) {
  static const char* const kModes[] = {"Scripted", "SplitOneCall", "SplitTwoCalls", "BytePerRead"};
  return std::get<0>(info.param).strName + "_" + kModes[static_cast<int>(std::get<1>(info.param))];
}

auto Cases(const char* table) {
  return ::testing::Combine(::testing::ValuesIn(ParseDialogues(table)),
                            ::testing::Values(ESplit::kScripted, ESplit::kSplitOneCall,
                                              ESplit::kSplitTwoCalls, ESplit::kBytePerRead));
}

INSTANTIATE_TEST_SUITE_P(Relay, SessionDialogueTest, Cases(kRelayDialogues), CaseName);
INSTANTIATE_TEST_SUITE_P(Ehlo, SessionDialogueTest, Cases(kEhloDialogues), CaseName);
INSTANTIATE_TEST_SUITE_P(Refused, SessionDialogueTest, Cases(kRefusedDialogues), CaseName);
INSTANTIATE_TEST_SUITE_P(Message, SessionDialogueTest, Cases(kMessageDialogues), CaseName);
INSTANTIATE_TEST_SUITE_P(Insertion, SessionDialogueTest, Cases(kInsertionDialogues), CaseName);
INSTANTIATE_TEST_SUITE_P(KeepAlive, SessionDialogueTest, Cases(kKeepAliveDialogues), CaseName);
INSTANTIATE_TEST_SUITE_P(SpoolFault, SessionDialogueTest, Cases(kSpoolFaultDialogues), CaseName);

}  // namespace
