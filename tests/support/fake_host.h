// A fake of the world around the plug-in: the host's socket service, the
// host's scanner callback, the tick count, the trace output and the spool
// file layer, all installed and removed by one RAII harness.
//
// The tests drive the plug-in only through its exported functions. Every
// double here is process-wide (the plug-in's settings are globals), so only
// one CHostHarness may exist at a time; it is created and destroyed on the
// test's thread. The keep-alive function may be called from a scanner thread,
// so the socket service and the trace capture lock what they record.
#ifndef DIVIVEZ_TESTS_SUPPORT_FAKE_HOST_H_
#define DIVIVEZ_TESTS_SUPPORT_FAKE_HOST_H_

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/plugin_settings.h"
#include "session/scan_request.h"
#include "support/printable.h"
#include "support/temp_directory.h"
#include "session/spool_store.h"
#include "transport/host_socket.h"

// How a scripted socket operation fails.
enum class EFault { kNone, kThrow, kFail };

// The host's ISocket: scripted inbound chunks per SOCKET handle, and a record
// of every byte sent to each handle.
class CFakeSocketService : public ISocket {
 public:
  void Reserved() override;
  // Pops at most size bytes of the oldest chunk; the rest stays queued.
  int Receive(SOCKET socket, char* buffer, int size) override;
  BOOL Send(SOCKET socket, const char* data, int length) override;

  void Push(SOCKET socket, const std::string& chunk);
  size_t Pending(SOCKET socket);
  size_t Consumed(SOCKET socket);  // bytes handed out by Receive so far
  std::string Sent(SOCKET socket);
  // The nth (1-based) Receive/Send on the handle from now on fails as given.
  void FailReceive(SOCKET socket, int nth, EFault fault);
  void FailSend(SOCKET socket, int nth, EFault fault);
  void Reset();

 private:
  struct SEndpoint {
    std::deque<std::string> inbound;
    std::string sent;
    size_t consumed = 0;
    int receives = 0, sends = 0;
    int failReceiveAt = 0, failSendAt = 0;
    EFault receiveFault = EFault::kNone, sendFault = EFault::kNone;
  };
  std::mutex m_mutex;
  std::map<SOCKET, SEndpoint> m_endpoints;
};

// What the scanner does with the next scan request.
struct SVerdict {
  int32_t nResult = 0;
  std::string strText;            // copied into szInsertText (at most 263 chars)
  bool bThrow = false;            // the callback throws instead of returning
  int nKeepAlives = 0;            // pfnTimeoutProtection calls during the scan
  bool bKeepAliveThread = false;  // ... made from another thread
};

struct SScanRecord {
  ScanRequest request;      // as the plug-in handed it over
  std::string strFile;      // pszDataFileName
  std::string strSpool;     // the file's bytes at the time of the call
  bool bReadable = false;   // the file could be read
  bool bStillOpen = false;  // the plug-in still held a stream on it
};

struct SProgressRecord {
  uint32_t dwDone, dwTotal;
  ScanRequest request;
};

// The host callback. Verdicts are consumed in order; without one a scan is
// clean with no text.
class CFakeScanner {
 public:
  static void DIVIVEZ_CDECL Callback(int code, ScanRequest* request);
  void Queue(const SVerdict& verdict) { m_verdicts.push_back(verdict); }
  void Reset();

  std::vector<SScanRecord> m_scans;
  std::vector<SProgressRecord> m_progress;
  std::vector<int> m_otherCodes;

 private:
  void Scan(ScanRequest* request);
  std::deque<SVerdict> m_verdicts;
};

// The tick source.
struct CFakeClock {
  static DWORD Now();
  static void Set(DWORD now);
  static void Advance(DWORD ms);
};

// Trace lines written through the capture hook.
class CTraceCapture {
 public:
  static std::vector<std::string> Lines();
  static std::string All();  // every line, concatenated
  static void Clear();
};

// Wraps the default spool store; records every file created and every stream
// open, and fails on demand.
class CFaultySpoolStore : public ISpoolStore {
 public:
  explicit CFaultySpoolStore(ISpoolStore& inner) : m_inner(inner) {}
  FILE* Create(const char* path, bool* pExists) override;
  size_t Write(const void* data, size_t size, FILE* file) override;
  FILE* OpenRead(const char* path) override;
  size_t Read(void* buffer, size_t size, FILE* file) override;
  long long Length(FILE* file) override;
  int Close(FILE* file) override;
  bool Delete(const char* path) override;

  bool IsOpen(const std::string& path);
  void Reset();

  // Faults, for the current connection.
  bool m_bFailCreate = false;
  int m_nFailWriteAt = 0;   // 1-based Write call that stores nothing
  int m_nShortWriteAt = 0;  // 1-based Write call that stores one byte less
  bool m_bFailOpenRead = false;
  bool m_bFailDelete = false;

  std::vector<std::string> m_created;  // paths created, in order
  int m_nNameTaken = 0;                // Create calls that found the name taken
  int m_nWrites = 0;

 private:
  ISpoolStore& m_inner;
  std::mutex m_mutex;
  std::map<FILE*, std::string> m_open;
};

// Installs every fake and restores the plug-in's globals when destroyed.
// Connections opened through it are ended by Finish() or the destructor.
class CHostHarness {
 public:
  CHostHarness();
  ~CHostHarness();
  CHostHarness(const CHostHarness&) = delete;
  CHostHarness& operator=(const CHostHarness&) = delete;

  static CHostHarness& Current();

  void Open(CHostSocket* client, int hostContext);
  void End(CHostSocket* client);
  // Ends every open connection, then reports leftover spool files and
  // streams through gtest. Resets the fakes for the next connection.
  void Finish();

  CFakeSocketService m_sockets;
  CFakeScanner m_scanner;
  CFaultySpoolStore* m_pStore;
  CTempDirectory m_temp;

 private:
  std::vector<CHostSocket*> m_open;
  CFaultySpoolStore m_store;
};

// The plug-in's own replies, byte for byte.
extern const char kReply354[];
extern const char kReplyAccepted[];
extern const char kReplyNoStorage[];
extern const char kReplyNotDelivered[];
extern const char kReplyNotAvailable[];
extern const char kReplyNoSpool[];
extern const char kReplyBareLineBreak[];
extern const char kReplyLeadingSpace[];
extern const char kReplyOutOfStep[];
extern const char kReplyTooBig[];
extern const char kReplyServerLost[];

#endif  // DIVIVEZ_TESTS_SUPPORT_FAKE_HOST_H_
