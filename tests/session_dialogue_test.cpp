// Whole SMTP dialogues through the plug-in's exports, each registered as its
// own test per delivery mode (as scripted, split at every offset within one
// and across two handler calls, one byte per read).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/dialogue.h"

namespace {

#include "session_dialogues.inc"

using DialogueCase = std::tuple<SDialogue, ESplit>;

class SessionDialogueTest : public ::testing::TestWithParam<DialogueCase> {
 protected:
  CHostHarness m_host;
};

TEST_P(SessionDialogueTest, Plays) {
  RunDialogue(m_host, std::get<0>(GetParam()), std::get<1>(GetParam()));
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
