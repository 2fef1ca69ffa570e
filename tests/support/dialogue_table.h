// SMTP dialogues kept as data: the one notation that the unit tests
// (dialogue.h runs them) and the dialogue fuzzer (tests/fuzz/dialogue_corpus
// turns them into inputs) both read, through this parser. Free of any test
// framework.
//
// A dialogue table is plain text, one step per line ('#' starts a comment):
//
//   == Name               starts a dialogue (letters, digits, underscores)
//   keepalive: 5          SetTimeoutProtection(5) before the connection
//   nocallback            no host callback registered
//   loose                 compare the transcripts at the end only
//   relay-unspooled       a message that cannot be spooled is relayed unscanned
//   callback: 2           the host speaks callback version 2 (a verdict of 2
//                         rejects with 554, the text naming the signature)
//   trusted               ... and trusts the client with XCLIENT and XFORWARD
//   fault: create | openread | write N | short N   spool store faults
//   S: bytes              the server sends a chunk; OnRequestFromServer
//   C: bytes              the client sends a chunk; OnRequestFromApplication
//   V: 1 noop=2 thread | text   verdict for the next scan: result (or
//                         "throw"), keep-alive calls during the scan (from
//                         another thread), text to insert
//   T: +ms | =ms          advance / set the tick count
//   >S: bytes             the server receives these bytes next
//   >C: bytes             the client receives these bytes next
//   >F: bytes             the next scan sees this spool file content
//   >P: done total        the next progress report
//   ~                     no transcript check before the next chunk
//   nospool               no spool file exists at this point
//
// Bytes take the escapes \r \n \t \0 \\ \{ \xHH and the plug-in's own replies
// {354} {250A} {452} {451} {502}, {451S} (DATA refused without a spool), {500LF},
// {500SP} and {500BAD} (command line refused), {421X} (server out of step), {421L}
// (server lost) and {552} (message over the server's SIZE). Unless the dialogue is loose,
// everything each side received, the scans and the progress reports are compared with the
// expectations before every chunk and at the end, so nothing may arrive early,
// late or twice.
//
// Steps only the fuzzer plays (its events, see tests/fuzz/dialogue_fuzzer.cpp;
// numbers decimal or 0x hex); the unit tests refuse a dialogue holding one:
//   A: b                  the server auto-answers (AUTO)
//   M: b                  a whole transaction with a token (MESSAGE)
//   R: b                  reconnect with settings b (RECONNECT)
//   F: b                  socket fault (SOCKFAULT)
//   SF: b                 spool fault (SPOOLFAULT)
//   P: b                  poll (POLL)
//   K: n                  keep-alive calls in the next scan (KEEPALIVE)
//   X: n bytes            the client sends bytes repeated to 2n bytes (REPEAT)
//   Y: n bytes            the server likewise (SERVERREPEAT)
//   TOKEN                 the client sends a fresh token
#ifndef DIVIVEZ_TESTS_SUPPORT_DIALOGUE_TABLE_H_
#define DIVIVEZ_TESTS_SUPPORT_DIALOGUE_TABLE_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/fake_world.h"

enum class EStep {
  kServer,
  kClient,
  kVerdict,
  kTickAdvance,
  kTickSet,
  kExpectServer,
  kExpectClient,
  kExpectSpool,
  kExpectProgress,
  kNoCheck,
  kNoSpool,
  kFuzzEvent,  // a step only the fuzzer plays: strFuzzKey, a (its number), bytes (X, Y)
};

struct SStep {
  EStep kind;
  std::string bytes;
  SVerdict verdict;
  uint32_t a = 0, b = 0;  // tick value, or progress done and total
  int line = 0;
  std::string strFuzzKey;  // kFuzzEvent: "A", "M", ..., "TOKEN"
};

struct SDialogue {
  std::string strName;
  std::string strError;  // a syntax error in the table
  std::vector<SStep> steps;
  int nKeepAliveSeconds = 0;
  bool bNoCallback = false;
  bool bLoose = false;
  bool bRelayUnspooled = false;
  int nCallbackVersion = 1;
  bool bTrustForwarding = false;
  bool bFailCreate = false;
  bool bFailOpenRead = false;
  int nFailWriteAt = 0;
  int nShortWriteAt = 0;

  // Builders for dialogues made in code.
  SDialogue& Add(EStep kind, const std::string& bytes = "", uint32_t a = 0, uint32_t b = 0);
  SDialogue& Server(const std::string& bytes) { return Add(EStep::kServer, bytes); }
  SDialogue& Client(const std::string& bytes) { return Add(EStep::kClient, bytes); }
  SDialogue& ToServer(const std::string& bytes) { return Add(EStep::kExpectServer, bytes); }
  SDialogue& ToClient(const std::string& bytes) { return Add(EStep::kExpectClient, bytes); }
  SDialogue& Spool(const std::string& bytes) { return Add(EStep::kExpectSpool, bytes); }
  SDialogue& Progress(uint32_t done, uint32_t total) {
    return Add(EStep::kExpectProgress, "", done, total);
  }
  SDialogue& NoSpool() { return Add(EStep::kNoSpool); }
  SDialogue& Verdict(const SVerdict& verdict);
};

std::vector<SDialogue> ParseDialogues(const std::string& table);

// The tables inside C++ source (each a raw string R"DLG( ... )DLG"), joined.
std::string TablesInSource(const std::string& source);

// gtest prints parameters with this.
void PrintTo(const SDialogue& dialogue, std::ostream* os);

#endif  // DIVIVEZ_TESTS_SUPPORT_DIALOGUE_TABLE_H_
