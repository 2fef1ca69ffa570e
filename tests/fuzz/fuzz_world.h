// The world around the plug-in for the dialogue fuzzer: the host's socket
// service, the scanner callback, the tick count and a spool store that fails
// on demand.
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
#ifndef DIVIVEZ_TESTS_FUZZ_FUZZ_WORLD_H_
#define DIVIVEZ_TESTS_FUZZ_FUZZ_WORLD_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "session/scan_request.h"
#include "session/spool_store.h"
#include "transport/host_socket.h"

// Reports a violated invariant with the dialogue so far and aborts, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* format, ...);

// "\r\n" as "\\r\\n", other control bytes as \xHH; at most limit bytes shown.
std::string Printable(const std::string& bytes, size_t limit = 400);

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

// What happens to the nth next operation of one kind (0 = the next one).
struct SArmed {
  int countdown = -1;  // -1: nothing armed
  bool throws = false;
  // True when this operation is the one that fails; counts down otherwise.
  bool Hit() {
    if (countdown < 0) return false;
    if (countdown-- == 0) return true;
    return false;
  }
};

// One side of the connection as the host's socket service sees it.
struct SEndpoint {
  SOCKET handle = 0;
  std::deque<std::string> inbound;  // chunks waiting to be read, one chunk per read at most
  std::string offered;              // every byte the plug-in sent, failed sends included
  std::string delivered;            // what the peer actually received
  SArmed receiveFault;
  SArmed sendFault;
  size_t Pending() const;
};

// The host's ISocket over the two endpoints of the current connection.
class CFakeSocketService : public ISocket {
 public:
  void Reserved() override;
  int Receive(SOCKET socket, char* buffer, int size) override;
  BOOL Send(SOCKET socket, const char* data, int length) override;
};

// Per spool file created through the store: the faults it suffered.
struct SSpoolRecord {
  explicit SSpoolRecord(const std::string& name) : path(name) {}
  std::string path;
  bool writeFailed = false;   // a write stored nothing or less than given
  bool closeFailed = false;   // closing the written stream reported an error
  bool readFailed = false;    // a read during delivery ended early
  bool deleteFailed = false;  // left on disk by a failed deletion
};

// Wraps the plug-in's own spool store and fails on demand.
class CFaultySpoolStore : public ISpoolStore {
 public:
  FILE* Create(const char* path, bool* pExists) override;
  size_t Write(const void* data, size_t size, FILE* file) override;
  FILE* OpenRead(const char* path) override;
  size_t Read(void* buffer, size_t size, FILE* file) override;
  long long Length(FILE* file) override;
  int Close(FILE* file) override;
  bool Delete(const char* path) override;

  void Install();  // takes the current store as the inner one
  void ResetConnection();
  bool IsWriteStreamOpen(const std::string& path) const;
  size_t OpenStreams() const { return m_streams.size(); }

  ISpoolStore* m_pInner = nullptr;
  bool m_bFailCreate = false;
  SArmed m_failWrite;  // throws: a short write (one byte less) instead of none
  bool m_bFailClose = false;
  bool m_bFailOpenRead = false;
  SArmed m_failRead;
  bool m_bFailDelete = false;
  // An accepted fault (SAccept::spoolsIntoReadStream): a write to the stream
  // opened for delivery stores nothing, as fwrite would, instead of failing.
  bool m_bAcceptWriteToReadStream = false;

  std::vector<SSpoolRecord> m_records;  // indexed by spool id
  std::set<std::string> m_leftBehind;   // paths a failed deletion left on disk

 private:
  struct SStream {
    int id;
    bool write;
  };
  std::map<FILE*, SStream> m_streams;
  int IdOfPath(const char* path) const;
  friend class CWorld;
};

// What the scanner does at the next scan.
struct SScanPlan {
  int32_t result = 0;
  std::string text;
  int keepAlives = 0;
  bool throws = false;
};

// The whole fake host. One instance, reached through World().
class CWorld {
 public:
  void Init();  // once per process
  // relayUnspooled: the plug-in's setting for a message that cannot be
  // spooled (relayed unscanned, or refused), read at the new connection.
  void StartConnection(int timeoutSeconds, bool callback, int debugLevel, bool relayUnspooled);
  void EndConnection();

  // Host calls, logged.
  int CallClient();
  int CallServer();

  void Log(const SLogEntry& entry) { m_log.push_back(entry); }
  SEndpoint& Endpoint(SOCKET socket);
  SEndpoint& Side(ESide side) { return side == ESide::kClient ? m_client : m_server; }

  // Spool-like files in the private directory that a failed deletion did not
  // leave there on purpose.
  std::vector<std::string> SpoolFiles() const;
  void RemoveLeftBehind();

  static void DIVIVEZ_CDECL ScanCallback(int code, ScanRequest* request);
  void Scan(ScanRequest* request);
  void Progress(const ScanRequest* request);

  std::string m_strDirectory;  // ends in '/'
  CFakeSocketService m_sockets;
  CFaultySpoolStore m_store;
  SEndpoint m_client, m_server;
  CHostSocket* m_pClient = nullptr;
  CHostSocket* m_pServer = nullptr;
  int m_nConnection = 0;
  int m_nHostContext = 0;
  int m_nTimeoutSeconds = 0;
  bool m_bCallback = true;
  bool m_bRelayUnspooled = false;
  SScanPlan m_plan;
  std::vector<SLogEntry> m_log;
  bool m_bUncertain = false;  // a send raised: the model cannot follow this connection
  bool m_bInScan = false;
  uint32_t m_dwLastProgressDone = 0;
  bool m_bInProgress = false;
  // Tokens found in messages the scanner called infected.
  std::set<std::string> m_infectedTokens;
};

CWorld& World();

// The fake tick count.
extern DWORD g_dwFakeTick;

#endif  // DIVIVEZ_TESTS_FUZZ_FUZZ_WORLD_H_
