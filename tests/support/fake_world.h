// The one fake of the world around the plug-in, shared by the unit tests and
// the dialogue fuzzer: the host's socket service, the host's scanner callback,
// the tick count and the spool file layer, each of which fails on demand.
//
// Nothing here depends on a test framework. Misuse of the world by the
// plug-in (a socket it was never given, a spool stream it does not hold, a
// send with a negative length) goes to the failure handler: the unit tests
// turn it into a test failure, the fuzzer into an abort that keeps the input.
// The plug-in may call the keep-alive function, and through it the socket
// service, from a scanner thread: the socket service and the spool store lock
// what they record.
#ifndef DIVIVEZ_TESTS_SUPPORT_FAKE_WORLD_H_
#define DIVIVEZ_TESTS_SUPPORT_FAKE_WORLD_H_

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "session/scan_request.h"
#include "session/spool_store.h"
#include "transport/host_socket.h"

// Reports the plug-in's misuse of the world. The handler may return (the
// fake then goes on as harmlessly as it can) or not; without one the message
// goes to standard error and the process aborts.
using WorldFailureHandler = void (*)(const std::string& what);
void SetWorldFailureHandler(WorldFailureHandler handler);
void WorldFailure(const std::string& what);

// How an operation fails: a socket call throws CWinSockException or reports
// failure; a spool write stores nothing (kFail) or one byte less (kShort).
enum class EFault { kNone, kThrow, kFail, kShort };

// When one kind of operation fails: the nth call from the time it is armed
// (once), or every call until cleared.
class CFaultTrigger {
 public:
  void Once(int nth, EFault how = EFault::kFail) { Arm(nth, false, how); }
  void Always(EFault how = EFault::kFail) { Arm(0, true, how); }
  void Clear() { Arm(0, false, EFault::kNone); }
  bool Armed() const { return m_nCountdown > 0 || m_bAlways; }
  int Fired() const { return m_nFired; }
  // Counts one call; says how it fails (kNone: it does not).
  EFault Hit();

 private:
  void Arm(int nth, bool always, EFault how);
  int m_nCountdown = 0;
  bool m_bAlways = false;
  EFault m_how = EFault::kNone;
  int m_nFired = 0;
};

// One socket as the host's socket service sees it.
struct SFakeEndpoint {
  std::deque<std::string> inbound;  // chunks waiting; a read takes from one chunk at most
  std::string offered;              // every byte the plug-in sent, failed sends included
  std::string delivered;            // what the peer received: failed and thrown sends excluded
  size_t consumed = 0;              // bytes handed out by Receive
  int receives = 0, sends = 0;      // calls so far
  int thrownSends = 0;              // sends that threw: the connection is broken
  bool closed = false;              // the host is done with it (strict: no more calls)
  CFaultTrigger receiveFault, sendFault;
  size_t Pending() const;
};

// The host's ISocket: scripted inbound chunks per SOCKET handle, and a record
// of every byte sent to each. A lenient service creates an endpoint for any
// handle it is asked about; a strict one knows only the handles opened, and
// reports any other as misuse.
class CFakeSocketService : public ISocket {
 public:
  void Reserved() override;
  // Pops at most size bytes of the oldest chunk; the rest stays queued.
  int Receive(SOCKET socket, char* buffer, int size) override;
  BOOL Send(SOCKET socket, const char* data, int length) override;

  void Open(SOCKET socket);
  void Close(SOCKET socket);  // what was recorded stays readable
  void SetStrict(bool strict) { m_bStrict = strict; }
  void Push(SOCKET socket, const std::string& chunk);
  size_t Pending(SOCKET socket);
  size_t Consumed(SOCKET socket);
  std::string Sent(SOCKET socket);     // delivered
  std::string Offered(SOCKET socket);  // failed sends included
  // The nth (1-based) Receive/Send on the handle from now on fails as given.
  void FailReceive(SOCKET socket, int nth, EFault fault);
  void FailSend(SOCKET socket, int nth, EFault fault);
  int FaultsFired();  // on every handle
  // The endpoint itself, for callers that run on one thread.
  SFakeEndpoint& Endpoint(SOCKET socket);
  void Reset();

  // Called with every chunk of bytes the plug-in reads, before it gets them.
  std::function<void(SOCKET, const std::string&)> m_onReceive;

 private:
  SFakeEndpoint* Find(SOCKET socket);  // with m_mutex held
  std::recursive_mutex m_mutex;
  std::map<SOCKET, SFakeEndpoint> m_endpoints;
  bool m_bStrict = false;
};

// What became of one spool file created through the store.
struct SSpoolRecord {
  std::string path;
  bool writeFailed = false;   // a write stored nothing or less than given
  bool closeFailed = false;   // closing the written stream reported an error
  bool readFailed = false;    // a read during delivery ended early
  bool deleteFailed = false;  // left on disk by a failed deletion
};

// Wraps the plug-in's own spool store, checks that only streams it holds are
// used, records every file and stream, and fails on demand: creating, writing
// (counted per write), closing a written stream, reopening, reading (a read
// that would return bytes; one at the end of the file is no different from the
// end), deleting (the file is left on disk and listed in m_leftBehind).
class CFaultySpoolStore : public ISpoolStore {
 public:
  // The store wrapped is the plug-in's default one.
  CFaultySpoolStore();
  FILE* Create(const char* path, bool* pExists) override;
  size_t Write(const void* data, size_t size, FILE* file) override;
  FILE* OpenRead(const char* path) override;
  size_t Read(void* buffer, size_t size, FILE* file) override;
  long long Length(FILE* file) override;
  int Close(FILE* file) override;
  bool Delete(const char* path) override;

  bool IsOpen(const std::string& path);
  size_t OpenStreams();
  int IdOfPath(const std::string& path);  // -1: not created here
  std::vector<std::string> Created();     // paths, in order
  int FaultsFired() const;
  // Files in the directory that no failed deletion left there on purpose.
  std::vector<std::string> FilesIn(const std::string& directory);
  // Removes what failed deletions left behind.
  void RemoveLeftBehind();
  // Clears the faults and records of a connection.
  void Reset();

  CFaultTrigger m_create, m_write, m_close, m_openRead, m_read, m_delete;
  std::string m_strDirectory;  // when set, spool files must be created in it
  // A write to the stream opened for delivery stores nothing, as fwrite
  // would, instead of being reported (a fault the fuzzer may accept).
  bool m_bAcceptWriteToReadStream = false;

  // Called with the outcome of every Create (the spool id when it made a
  // file, else -1; whether the name was taken) and every OpenRead.
  std::function<void(int id, bool exists)> m_onCreate;
  std::function<void(int id, bool ok)> m_onOpenRead;

  std::vector<SSpoolRecord> m_records;  // indexed by spool id
  std::set<std::string> m_leftBehind;   // paths a failed deletion left on disk
  int m_nNameTaken = 0;                 // Create calls that found the name taken

 private:
  struct SStream {
    int id;
    bool write;
  };
  int IdOf(const char* path) const;  // with m_mutex held
  ISpoolStore& m_inner;
  std::recursive_mutex m_mutex;
  std::map<FILE*, SStream> m_streams;
};

// What the scanner does with the next scan request.
struct SVerdict {
  int32_t nResult = 0;
  std::string strText;            // copied into szInsertText (at most 263 chars and a NUL)
  bool bThrow = false;            // the callback throws instead of returning
  int nKeepAlives = 0;            // pfnTimeoutProtection calls during the scan
  bool bKeepAliveThread = false;  // ... made from another thread
  bool bFillField = false;        // a text of 264 chars or more fills the field without a NUL
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

// The host callback. Verdicts are used in order; without one a scan is clean
// with no text. Callback() reaches the scanner installed last.
class CFakeScanner {
 public:
  static void DIVIVEZ_CDECL Callback(int code, ScanRequest* request);
  void Install(CFaultySpoolStore* store);
  void Uninstall();
  void Queue(const SVerdict& verdict) { m_verdicts.push_back(verdict); }
  SVerdict& Next();  // the verdict of the next scan, made if none is queued
  // A scan in two halves: the record of the request and its spool file, then
  // the verdict (keep-alive calls, then the result or a throw).
  const SScanRecord& Record(ScanRequest* request);
  void Answer(ScanRequest* request);
  void Reset();

  std::vector<SScanRecord> m_scans;
  std::vector<SProgressRecord> m_progress;
  std::vector<ScanRequest> m_connections;  // code 4: the questions about the connection
  std::vector<int> m_otherCodes;
  int32_t m_nConnectionAnswer = 0;  // the answer to each: kConnectionTrustForwarding trusts

 private:
  std::deque<SVerdict> m_verdicts;
  CFaultySpoolStore* m_pStore = nullptr;
};

// What is wrong with a record the plug-in handed to the host callback ("" if
// nothing): the fixed fields, zero reserved areas, the connection's context
// and client.
std::string RecordProblems(const ScanRequest& request, const CHostSocket* client, int context);
// ... and with a scan record besides: no verdict, text or progress yet, the
// keep-alive flag, interval and function, a complete spool file that no
// stream holds open.
std::string ScanRecordProblems(const SScanRecord& scan, const CHostSocket* client, int context,
                               uint32_t keepAlive, uint32_t interval);

// The tick source.
struct CFakeClock {
  static DWORD Now();
  static void Set(DWORD now);
  static void Advance(DWORD ms);
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
extern const char kReplyMalformed[];
extern const char kReplyOutOfStep[];
extern const char kReplyTooBig[];
extern const char kReplyServerLost[];

#endif  // DIVIVEZ_TESTS_SUPPORT_FAKE_WORLD_H_
