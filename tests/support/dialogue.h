// SMTP dialogues kept as data, and the runner that plays them through the
// plug-in's exports against the fake host.
//
// A dialogue table is plain text, one step per line ('#' starts a comment):
//
//   == Name               starts a dialogue (letters, digits, underscores)
//   keepalive: 5          SetTimeoutProtection(5) before the connection
//   nocallback            no host callback registered
//   loose                 compare the transcripts at the end only
//   relay-unspooled       a message that cannot be spooled is relayed unscanned
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
// {354} {250A} {452} {451} {502}, {451S} (DATA refused without a spool), {500LF}
// and {500SP} (command line refused), {421X} (server out of step), {421L}
// (server lost) and {552} (message over the server's SIZE). Unless the dialogue is loose,
// everything each side received, the scans and the progress reports are compared with the
// expectations before every chunk and at the end, so nothing may arrive early,
// late or twice.
#ifndef DIVIVEZ_TESTS_SUPPORT_DIALOGUE_H_
#define DIVIVEZ_TESTS_SUPPORT_DIALOGUE_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/fake_host.h"

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
};

struct SStep {
  EStep kind;
  std::string bytes;
  SVerdict verdict;
  uint32_t a = 0, b = 0;  // tick value, or progress done and total
  int line = 0;
};

struct SDialogue {
  std::string strName;
  std::string strError;  // a syntax error in the table
  std::vector<SStep> steps;
  int nKeepAliveSeconds = 0;
  bool bNoCallback = false;
  bool bLoose = false;
  bool bRelayUnspooled = false;
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

// How the chunks of a dialogue reach the plug-in.
enum class ESplit {
  kScripted,       // each chunk in one read
  kSplitOneCall,   // each chunk in turn split at every offset: two reads, one call
  kSplitTwoCalls,  // ... two reads, each in its own handler call
  kBytePerRead,    // every chunk one byte per read, one handler call per byte
};

std::vector<SDialogue> ParseDialogues(const char* table);

// Plays the dialogue in every variant of the mode, each on a fresh connection
// ended at the end, and reports the first failing variant through gtest.
void RunDialogue(CHostHarness& host, const SDialogue& dialogue, ESplit mode);

// What is wrong with a scan record as the scanner received it ("" if nothing):
// fixed fields, zero areas, the connection's context and client, the keep-alive
// flag and interval, and a complete, closed spool file.
std::string ScanRecordProblems(const SScanRecord& scan, const CHostSocket* client, int context,
                               uint32_t keepAlive, uint32_t interval);

// gtest prints parameters with this.
void PrintTo(const SDialogue& dialogue, std::ostream* os);

#endif  // DIVIVEZ_TESTS_SUPPORT_DIALOGUE_H_
