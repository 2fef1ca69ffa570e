// The world around the plug-in for the dialogue fuzzer: the shared fake world
// (tests/support/fake_world.h) with its socket service strict, every spool
// file kept in a private directory, and a scanner callback that checks each
// record it is handed.
//
// Everything the plug-in does to this world that decides what it must do
// next (bytes it read, spool files it created, scans, reopened spool files) is
// appended to one event log; the reference model (dialogue_model.h) replays
// that log. Everything it sends is recorded per side.
//
// Single-threaded: the fuzzer drives one connection at a time on its own
// thread; the scanner calls the keep-alive function on that thread too. Any
// misuse of the world by the plug-in (a socket it was never given, a write to
// a stream it does not hold, slot 0 of ISocket) ends the run through Fail().
// A send that throws leaves a broken connection whose further course the
// model cannot follow (Uncertain()).
#ifndef DIVIVEZ_TESTS_FUZZ_FUZZ_WORLD_H_
#define DIVIVEZ_TESTS_FUZZ_FUZZ_WORLD_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "support/fake_world.h"
#include "support/printable.h"

// Reports a violated invariant with the dialogue so far and aborts, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* format, ...);

enum class ESide { kClient, kServer };

enum class ELogKind {
  kClientCallBegin,  // OnRequestFromApplication entered
  kClientCallEnd,
  kServerCallBegin,  // OnRequestFromServer entered
  kServerCallEnd,
  kRecv,      // bytes the plug-in read from one side
  kCreate,    // an attempt to create a spool file
  kScan,      // a scan request (host callback code 2)
  kOpenRead,  // a spool file reopened for delivery
};

struct SLogEntry {
  explicit SLogEntry(ELogKind what) : kind(what) {}
  ELogKind kind;
  ESide side = ESide::kClient;  // kRecv
  std::string bytes;            // kRecv: the bytes; kScan: the spool file's content
  bool ok = false;              // kCreate, kOpenRead: succeeded
  bool exists = false;          // kCreate: the name was taken
  int spoolId = -1;             // kCreate (ok), kScan, kOpenRead: which spool file
  size_t serverSentBefore = 0;  // kRecv: bytes offered to the server before this read
  // kScan: what the scanner did.
  bool threw = false;
  int32_t result = 0;
  std::string text;    // as written into szInsertText, up to its NUL
  int keepAlives = 0;  // keep-alive calls the scanner made
};

// The whole fake host. One instance, reached through World().
class CWorld {
 public:
  void Init();  // once per process
  // relayUnspooled: the plug-in's setting for a message that cannot be
  // spooled (relayed unscanned, or refused), read at the new connection.
  void StartConnection(int timeoutSeconds, bool callback, int debugLevel, bool relayUnspooled,
                       int callbackVersion, bool trusted);
  void EndConnection();

  // Host calls, logged.
  int CallClient();
  int CallServer();
  void CheckAsked() const;

  void Log(const SLogEntry& entry) { m_log.push_back(entry); }
  SFakeEndpoint& Client() { return m_sockets.Endpoint(m_hClient); }
  SFakeEndpoint& Server() { return m_sockets.Endpoint(m_hServer); }
  // A send raised: the model cannot follow this connection.
  bool Uncertain() { return Client().thrownSends + Server().thrownSends > 0; }

  // Spool-like files in the private directory that a failed deletion did not
  // leave there on purpose.
  std::vector<std::string> SpoolFiles() { return m_store.FilesIn(m_strDirectory); }

  static void DIVIVEZ_CDECL ScanCallback(int code, ScanRequest* request);
  void Scan(ScanRequest* request);
  void Progress(const ScanRequest* request);

  std::string m_strDirectory;  // ends in '/'
  CFakeSocketService m_sockets;
  CFaultySpoolStore m_store;
  CFakeScanner m_scanner;  // verdicts: the next scan's is m_scanner.Next()
  SOCKET m_hClient = 0, m_hServer = 0;
  CHostSocket* m_pClient = nullptr;
  CHostSocket* m_pServer = nullptr;
  int m_nConnection = 0;
  int m_nHostContext = 0;
  int m_nTimeoutSeconds = 0;
  uint32_t m_dwInterval =
      5000;  // the keep-alive interval: the last one set, as the plug-in keeps it
  bool m_bCallback = true;
  bool m_bRelayUnspooled = false;
  int m_nCallbackVersion = 1;
  bool m_bTrusted = false;  // the answer to the connection question (code 4)
  int m_nQuestions = 0;     // connection questions this connection
  std::vector<SLogEntry> m_log;
  bool m_bInScan = false;
  uint32_t m_dwLastProgressDone = 0;
  bool m_bInProgress = false;
  // Tokens found in messages the scanner called infected.
  std::set<std::string> m_infectedTokens;
};

CWorld& World();

#endif  // DIVIVEZ_TESTS_FUZZ_FUZZ_WORLD_H_
