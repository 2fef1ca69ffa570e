// Fault injection: the plug-in driven through its exports by a host whose
// spool store and socket service (the ISocket road) fail on demand.
//
// Spool faults: the file cannot be created (DATA relayed, message passed
// through unscanned), a write stores nothing or one byte less, or closing the
// written file fails, at the start, middle or end of a message (452 to the
// client, RSET to the server, no scan), the file cannot be reopened for
// delivery (451, no message byte to the server), a read fails during delivery
// (451, the server never sees the end of the message), the file cannot be
// deleted (a trace line, nothing else), the scanner throws (the message is
// delivered). Socket faults: every receive and every send of a reference
// dialogue fails in turn, by an exception or by a failure result.
//
// After every connection: no spool file in the private temporary directory
// and no spool stream open. Where the connection survives the fault, the rest
// of the dialogue, its second message included, must go exactly as without
// the fault.
//
// Everything here is single-threaded. The plug-in's settings are process-wide:
// the fixture installs its fakes in SetUp and restores the defaults in
// TearDown, so that it coexists with the other suites in the binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "boundary/plugin_exports.h"
#include "boundary/settings.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/platform.h"
#include "session/scan_request.h"
#include "session/spool_store.h"
#include "support/plugin_settings.h"
#include "support/printable.h"
#include "support/temp_directory.h"
#include "transport/host_socket.h"

namespace {

namespace fs = std::filesystem;

const char k354[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
const char k452[] = "452 4.3.1 Insufficient system storage\r\n";
const char k451[] = "451 4.3.0 Message could not be delivered; try again later\r\n";

// ---------------------------------------------------------------- fakes

enum class EFault { kNone, kThrow, kFail };

// The host's socket service: scripted chunks in, every byte out recorded.
// "offered" holds what the plug-in handed over, failed sends included (the
// plug-in acts alike either way); a send that throws hands over nothing.
class CFaultSockets : public ISocket {
 public:
  struct SSide {
    std::deque<std::string> inbound;
    std::string offered;
    int receives = 0;
    int sends = 0;
    int failReceiveAt = 0;  // 1-based call to fail; 0: none
    int failSendAt = 0;
    EFault fault = EFault::kNone;
  };

  void Reserved() override { ADD_FAILURE() << "ISocket slot 0 was called"; }

  int Receive(SOCKET socket, char* buffer, int size) override {
    SSide& side = Side(socket);
    if (++side.receives == side.failReceiveAt) {
      m_bFired = true;
      if (side.fault == EFault::kThrow) throw CWinSockException{WSAECONNRESET, 0};
      return SOCKET_ERROR;
    }
    if (side.inbound.empty() || size <= 0) return 0;
    std::string& chunk = side.inbound.front();
    size_t n = std::min(chunk.size(), static_cast<size_t>(size));
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) side.inbound.pop_front();
    return static_cast<int>(n);
  }

  BOOL Send(SOCKET socket, const char* data, int length) override {
    SSide& side = Side(socket);
    if (++side.sends == side.failSendAt) {
      m_bFired = true;
      if (side.fault == EFault::kThrow) throw CWinSockException{WSAECONNRESET, 0};
      side.offered.append(data, static_cast<size_t>(length));
      return FALSE;
    }
    side.offered.append(data, static_cast<size_t>(length));
    return TRUE;
  }

  SSide& Side(SOCKET socket) {
    auto it = m_sides.find(socket);
    if (it == m_sides.end()) throw std::logic_error("the plug-in used a socket it was never given");
    return it->second;
  }
  void Reset(SOCKET client, SOCKET server) {
    m_sides.clear();
    m_sides[client];
    m_sides[server];
    m_bFired = false;
  }
  size_t Pending(SOCKET socket) {
    size_t total = 0;
    for (const std::string& chunk : Side(socket).inbound) total += chunk.size();
    return total;
  }
  bool m_bFired = false;

 private:
  std::map<SOCKET, SSide> m_sides;
};

// Wraps the plug-in's own spool store; each fault fires once.
class CFaultStore : public ISpoolStore {
 public:
  explicit CFaultStore(ISpoolStore& inner) : m_inner(inner) {}

  FILE* Create(const char* path, bool* pExists) override {
    if (m_bFailCreate) {
      *pExists = false;
      return nullptr;
    }
    FILE* file = m_inner.Create(path, pExists);
    if (file != nullptr) {
      m_open[file] = path;
      m_writing.insert(file);
      m_created.push_back(path);
    }
    return file;
  }
  size_t Write(const void* data, size_t size, FILE* file) override {
    if (++m_nWrites == m_nFailWriteAt) {
      m_bFired = true;
      if (m_bShortWrite && size > 0) return m_inner.Write(data, size - 1, file);
      return 0;
    }
    return m_inner.Write(data, size, file);
  }
  FILE* OpenRead(const char* path) override {
    if (m_bFailOpenRead) {
      m_bFailOpenRead = false;
      m_bFired = true;
      return nullptr;
    }
    FILE* file = m_inner.OpenRead(path);
    if (file != nullptr) m_open[file] = path;
    return file;
  }
  size_t Read(void* buffer, size_t size, FILE* file) override {
    if (++m_nReads == m_nFailReadAt) {
      m_bFired = true;
      return 0;
    }
    return m_inner.Read(buffer, size, file);
  }
  long long Length(FILE* file) override { return m_inner.Length(file); }
  int Close(FILE* file) override {
    bool writing = m_writing.erase(file) > 0;
    m_open.erase(file);
    int result = m_inner.Close(file);
    if (writing && m_bFailClose) {
      m_bFailClose = false;
      m_bFired = true;
      return EOF;
    }
    return result;
  }
  bool Delete(const char* path) override {
    if (m_bFailDelete) {
      m_bFailDelete = false;
      m_bFired = true;
      m_undeleted.push_back(path);
      return false;
    }
    return m_inner.Delete(path);
  }

  // Faults; write and read positions count from the last ResetCounts().
  void ResetCounts() {
    m_nWrites = 0;
    m_nReads = 0;
  }
  bool m_bFailCreate = false;
  int m_nFailWriteAt = 0;
  bool m_bShortWrite = false;
  bool m_bFailClose = false;
  bool m_bFailOpenRead = false;
  int m_nFailReadAt = 0;
  bool m_bFailDelete = false;
  bool m_bFired = false;

  std::map<FILE*, std::string> m_open;
  std::vector<std::string> m_created;
  std::vector<std::string> m_undeleted;

 private:
  ISpoolStore& m_inner;
  std::set<FILE*> m_writing;
  int m_nWrites = 0;
  int m_nReads = 0;
};

struct SVerdict {
  int32_t result = 0;
  std::string text;
  int keepAlives = 0;
  bool throws = false;
};

struct SScan {
  std::string file;
  std::string content;
};

// The host callback's state (the callback is a plain function).
struct SScanner {
  std::deque<SVerdict> verdicts;
  std::vector<SScan> scans;
};
SScanner* g_pScanner = nullptr;

void DIVIVEZ_CDECL ScanCallback(int code, ScanRequest* request) {
  if (code != kScanCodeScan) return;  // progress reports
  SScan scan;
  scan.file = request->pszDataFileName != nullptr ? request->pszDataFileName : "";
  if (FILE* file = std::fopen(scan.file.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) scan.content.append(buffer, n);
    std::fclose(file);
  }
  g_pScanner->scans.push_back(scan);
  SVerdict verdict;
  if (!g_pScanner->verdicts.empty()) {
    verdict = g_pScanner->verdicts.front();
    g_pScanner->verdicts.pop_front();
  }
  for (int i = 0; i < verdict.keepAlives; ++i) {
    request->pfnTimeoutProtection(request->pTimeoutProtectionArg);
  }
  if (verdict.throws) throw std::runtime_error("scanner failure");
  request->nScanResult = verdict.result;
  size_t length = std::min(verdict.text.size(), sizeof request->szInsertText - 1);
  std::memcpy(request->szInsertText, verdict.text.data(), length);
  request->szInsertText[length] = '\0';
}

std::vector<std::string> g_traces;
void CaptureTrace(const char* line) { g_traces.emplace_back(line); }
DWORD g_dwTick = 100000;
DWORD Tick() { return g_dwTick; }

// ---------------------------------------------------------------- fixture

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_temp.Path().empty());

    SetSpoolStoreForTesting(nullptr);
    m_pStore = new CFaultStore(SpoolStore());
    SetSpoolStoreForTesting(m_pStore);
    SetISocket(&m_sockets);
    g_pScanner = &m_scanner;
    RegisterCallback(&ScanCallback);
    SetTimeoutProtection(0);
    g_dwTimeoutProtection = 5000;
    SetRelayUnspooled(false);
    SetTickSourceForTesting(&Tick);
    g_traces.clear();
    SetDebugOutputHook(&CaptureTrace);
    SetDebugOutputHookExclusive(true);
  }

  void TearDown() override {
    if (m_bOpen) End();
    SetISocket(nullptr);
    RegisterCallback(nullptr);
    g_pScanner = nullptr;
    SetRelayUnspooled(false);
    SetTickSourceForTesting(nullptr);
    SetDebugOutputHookExclusive(false);
    SetDebugOutputHook(nullptr);
    SetSpoolStoreForTesting(nullptr);
    delete m_pStore;
    g_nDebugLevel = 0;
  }

  void Open() {
    ++m_nConnection;
    m_client.m_nHostWord0 = 1;
    m_client.m_hSocket = static_cast<SOCKET>(100000 + 2 * m_nConnection);
    m_server.m_nHostWord0 = 2;
    m_server.m_hSocket = static_cast<SOCKET>(100001 + 2 * m_nConnection);
    m_sockets.Reset(m_client.m_hSocket, m_server.m_hSocket);
    m_scanner = SScanner();
    m_nServerMark = m_nClientMark = 0;
    m_steps.clear();
    OnNewConnection(4242, &m_client);
    m_bOpen = true;
  }

  // Ends the connection; afterwards no spool file or stream may be left.
  void End() {
    OnEndConnection(&m_client);
    m_bOpen = false;
    EXPECT_TRUE(m_pStore->m_open.empty()) << "a spool stream is still open";
    std::error_code error;
    for (const std::string& path : m_pStore->m_undeleted) fs::remove(path, error);
    m_pStore->m_undeleted.clear();
    for (const std::string& name : SpoolFiles()) ADD_FAILURE() << "spool file left: " << name;
  }

  std::vector<std::string> SpoolFiles() {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(m_temp.Path(), error), end; !error && it != end;
         it.increment(error)) {
      std::string name = it->path().filename().string();
      if (std::find(m_pStore->m_undeleted.begin(), m_pStore->m_undeleted.end(),
                    it->path().string()) != m_pStore->m_undeleted.end()) {
        continue;
      }
      names.push_back(name);
    }
    return names;
  }

  // The host: a chunk arrives, the side's handler runs, then both handlers
  // run while bytes wait (a held-back client is read after server calls).
  void C(const std::string& bytes) {
    m_sockets.Side(m_client.m_hSocket).inbound.push_back(bytes);
    OnRequestFromApplication(&m_client, &m_server);
    Pump();
  }
  void S(const std::string& bytes) {
    m_sockets.Side(m_server.m_hSocket).inbound.push_back(bytes);
    OnRequestFromServer(&m_client, &m_server);
    Pump();
  }
  // How much each side had been offered after every step so far.
  void Step() { m_steps.emplace_back(AllToServer().size(), AllToClient().size()); }
  void Pump() {
    for (int round = 0; round < 4; ++round) {
      bool any = false;
      if (m_sockets.Pending(m_server.m_hSocket) > 0) {
        OnRequestFromServer(&m_client, &m_server);
        any = true;
      }
      if (m_sockets.Pending(m_client.m_hSocket) > 0) {
        OnRequestFromApplication(&m_client, &m_server);
        any = true;
      }
      if (!any) break;
    }
  }

  // What each side was offered since the last call.
  std::string ToServer() { return Since(m_server, &m_nServerMark); }
  std::string ToClient() { return Since(m_client, &m_nClientMark); }
  std::string Since(const CHostSocket& socket, size_t* mark) {
    const std::string& offered = m_sockets.Side(socket.m_hSocket).offered;
    std::string fresh = offered.substr(std::min(*mark, offered.size()));
    *mark = offered.size();
    return fresh;
  }
  const std::string& AllToServer() { return m_sockets.Side(m_server.m_hSocket).offered; }
  const std::string& AllToClient() { return m_sockets.Side(m_client.m_hSocket).offered; }

  // Greeting and envelope, replies drained.
  void Envelope() {
    S("220 mx.example ESMTP\r\n");
    C("MAIL FROM:<a@example.org>\r\n");
    S("250 2.1.0 ok\r\n");
    C("RCPT TO:<b@example.net>\r\n");
    S("250 2.1.5 ok\r\n");
    ToServer();
    ToClient();
  }

  // A whole transaction that must go through: scanned once more, delivered
  // byte for byte, the server's answer relayed.
  void NextMessageGoesThrough(const std::string& body) {
    size_t scans = m_scanner.scans.size();
    C("MAIL FROM:<a@example.org>\r\n");
    S("250 ok\r\n");
    C("RCPT TO:<b@example.net>\r\n");
    S("250 ok\r\n");
    EXPECT_EQ(ToServer(), "MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n");
    EXPECT_EQ(ToClient(), "250 ok\r\n250 ok\r\n");
    C("DATA\r\n");
    EXPECT_EQ(ToClient(), k354);
    C(body);
    ASSERT_EQ(m_scanner.scans.size(), scans + 1);
    EXPECT_EQ(m_scanner.scans.back().content, body);
    EXPECT_EQ(ToServer(), "DATA\r\n");
    S("354 go ahead\r\n");
    EXPECT_EQ(ToServer(), body);
    S("250 2.0.0 queued\r\n");
    EXPECT_EQ(ToClient(), "250 2.0.0 queued\r\n");
    EXPECT_TRUE(SpoolFiles().empty());
  }

  CTempDirectory m_temp{"divivez-faults-"};
  CFaultSockets m_sockets;
  CFaultStore* m_pStore = nullptr;
  SScanner m_scanner;
  CHostSocket m_client{};
  CHostSocket m_server{};
  int m_nConnection = 0;
  bool m_bOpen = false;
  size_t m_nServerMark = 0;
  size_t m_nClientMark = 0;
  std::vector<std::pair<size_t, size_t>> m_steps;
};

// ---------------------------------------------------------------- spool faults

TEST_F(FaultInjectionTest, SpoolCannotBeCreatedDataRelayedAndMessagePassesUnscanned) {
  SetRelayUnspooled(true);
  Open();
  Envelope();
  m_pStore->m_bFailCreate = true;
  C("DATA\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\n");
  EXPECT_EQ(ToClient(), "") << "the 354 must be the server's own";
  S("354 send it\r\n");
  EXPECT_EQ(ToClient(), "354 send it\r\n");
  const std::string message = "Subject: raw\r\n\r\nunscanned body\r\n.\r\n";
  C(message);
  EXPECT_EQ(ToServer(), message);
  EXPECT_TRUE(m_scanner.scans.empty());
  EXPECT_TRUE(SpoolFiles().empty());
  S("250 2.0.0 queued\r\n");
  EXPECT_EQ(ToClient(), "250 2.0.0 queued\r\n");

  m_pStore->m_bFailCreate = false;
  NextMessageGoesThrough("Subject: scanned\r\n\r\nsecond\r\n.\r\n");
  End();
}

TEST_F(FaultInjectionTest, SpoolCannotBeCreatedServerRefusesData) {
  SetRelayUnspooled(true);
  Open();
  Envelope();
  m_pStore->m_bFailCreate = true;
  C("DATA\r\n");
  S("554 5.5.1 no valid recipients\r\n");
  EXPECT_EQ(ToClient(), "554 5.5.1 no valid recipients\r\n");
  // Back in command relay: the next line is a command again.
  C("RSET\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\nRSET\r\n");
  S("250 reset\r\n");
  EXPECT_EQ(ToClient(), "250 reset\r\n");
  m_pStore->m_bFailCreate = false;
  NextMessageGoesThrough("Subject: after\r\n\r\nbody\r\n.\r\n");
  End();
}

enum class EWriteFault { kStoresNothing, kStoresOneByteLess, kCloseFails };

struct SWriteFaultCase {
  const char* name;
  EWriteFault fault;
  int write;  // 1: the start of the message, 2: the middle, 3: the end
};

// gtest prints parameters with this (not as raw bytes, padding included).
void PrintTo(const SWriteFaultCase& fault, std::ostream* out) { *out << fault.name; }

class SpoolWriteFault : public FaultInjectionTest,
                        public ::testing::WithParamInterface<SWriteFaultCase> {};

TEST_P(SpoolWriteFault, ClientHears452ServerGetsRsetNothingScannedOrLeft) {
  const SWriteFaultCase& fault = GetParam();
  Open();
  Envelope();
  C("DATA\r\n");
  EXPECT_EQ(ToClient(), k354);
  m_pStore->ResetCounts();
  if (fault.fault == EWriteFault::kCloseFails) {
    m_pStore->m_bFailClose = true;
  } else {
    m_pStore->m_nFailWriteAt = fault.write;
    m_pStore->m_bShortWrite = fault.fault == EWriteFault::kStoresOneByteLess;
  }
  // One read, one write: the message in three chunks.
  C("Subject: faulty\r\n\r\n");
  C("the middle of the body\r\n");
  EXPECT_EQ(ToServer(), "");
  C("the end of the body\r\n.\r\n");
  EXPECT_TRUE(m_pStore->m_bFired) << "the fault never fired";
  EXPECT_EQ(ToClient(), k452);
  EXPECT_EQ(ToServer(), "RSET\r\n");
  EXPECT_TRUE(m_scanner.scans.empty()) << "a message with a hole was scanned";
  EXPECT_TRUE(SpoolFiles().empty());
  // The answer to the plug-in's RSET is not the client's.
  S("250 2.0.0 reset\r\n");
  EXPECT_EQ(ToClient(), "");

  m_pStore->m_nFailWriteAt = 0;
  NextMessageGoesThrough("Subject: next\r\n\r\nwhole this time\r\n.\r\n");
  End();
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, SpoolWriteFault,
    ::testing::Values(SWriteFaultCase{"NothingStoredAtStart", EWriteFault::kStoresNothing, 1},
                      SWriteFaultCase{"NothingStoredInMiddle", EWriteFault::kStoresNothing, 2},
                      SWriteFaultCase{"NothingStoredAtEnd", EWriteFault::kStoresNothing, 3},
                      SWriteFaultCase{"ShortWriteAtStart", EWriteFault::kStoresOneByteLess, 1},
                      SWriteFaultCase{"ShortWriteInMiddle", EWriteFault::kStoresOneByteLess, 2},
                      SWriteFaultCase{"ShortWriteAtEnd", EWriteFault::kStoresOneByteLess, 3},
                      SWriteFaultCase{"CloseReportsError", EWriteFault::kCloseFails, 3}),
    [](const ::testing::TestParamInfo<SWriteFaultCase>& test) {
      return std::string(test.param.name);
    });

TEST_F(FaultInjectionTest, SpoolCannotBeReopenedClientHears451ServerNoMessageByte) {
  Open();
  Envelope();
  C("DATA\r\n");
  C("Subject: lost\r\n\r\nnever delivered\r\n.\r\n");
  ASSERT_EQ(m_scanner.scans.size(), 1u);
  EXPECT_EQ(ToServer(), "DATA\r\n");
  m_pStore->m_bFailOpenRead = true;
  S("354 go ahead\r\n");
  EXPECT_TRUE(m_pStore->m_bFired);
  EXPECT_EQ(ToServer(), "") << "no message byte may follow the 354";
  EXPECT_EQ(ToClient(), std::string(k354) + k451);
  EXPECT_TRUE(SpoolFiles().empty());
  // The server's side is closed: later commands do not reach it.
  C("NOOP\r\n");
  EXPECT_EQ(ToServer(), "");
  EXPECT_EQ(ToClient().compare(0, 4, "421 "), 0);
  End();
}

TEST_F(FaultInjectionTest, ReadFailsDuringDeliveryServerNeverSeesTheEnd) {
  Open();
  Envelope();
  std::string message = "Subject: big\r\n\r\n";
  while (message.size() < 20000) message += "a line of the body that is long enough\r\n";
  message += ".\r\n";
  C("DATA\r\n");
  C(message);
  EXPECT_EQ(ToServer(), "DATA\r\n");
  m_pStore->ResetCounts();
  m_pStore->m_nFailReadAt = 2;
  S("354 go ahead\r\n");
  EXPECT_TRUE(m_pStore->m_bFired);
  std::string delivered = ToServer();
  EXPECT_LT(delivered.size(), message.size());
  EXPECT_EQ(message.compare(0, delivered.size(), delivered), 0) << "not a prefix of the message";
  EXPECT_EQ(delivered.find("\r\n.\r\n"), std::string::npos) << "the server saw an end of data";
  EXPECT_EQ(ToClient(), std::string(k354) + k451);
  EXPECT_TRUE(SpoolFiles().empty());
  End();
}

TEST_F(FaultInjectionTest, DeletionFailsTraceLineAndTheNextMessageStillGoesThrough) {
  Open();
  g_nDebugLevel = 1;
  Envelope();
  m_pStore->m_bFailDelete = true;
  const std::string message = "Subject: kept\r\n\r\nbody\r\n.\r\n";
  C("DATA\r\n");
  C(message);
  S("354 go ahead\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\n" + message);
  S("250 2.0.0 queued\r\n");
  EXPECT_EQ(ToClient(), std::string(k354) + "250 2.0.0 queued\r\n");
  ASSERT_TRUE(m_pStore->m_bFired);
  ASSERT_EQ(m_pStore->m_undeleted.size(), 1u);
  std::string path = m_pStore->m_undeleted[0];
  bool traced = false;
  for (const std::string& line : g_traces) {
    traced = traced || (line.find("Could not delete") != std::string::npos &&
                        line.find(path) != std::string::npos);
  }
  EXPECT_TRUE(traced) << "no trace line names the spool file that could not be deleted";
  std::error_code error;
  EXPECT_TRUE(fs::exists(path, error));
  // The name may be taken now: the next spool must not reuse the file.
  NextMessageGoesThrough("Subject: after\r\n\r\nanother body\r\n.\r\n");
  ASSERT_GE(m_pStore->m_created.size(), 2u);
  EXPECT_NE(m_pStore->m_created.back(), path);
  End();
}

TEST_F(FaultInjectionTest, ScannerThrowsMessageDeliveredWithoutItsText) {
  Open();
  Envelope();
  SVerdict verdict;
  verdict.result = 1;  // never read: the scanner throws first
  verdict.text = "X-Never: inserted";
  verdict.keepAlives = 1;
  verdict.throws = true;
  m_scanner.verdicts.push_back(verdict);
  const std::string message = "Subject: scanner down\r\n\r\nbody\r\n.\r\n";
  C("DATA\r\n");
  C(message);
  ASSERT_EQ(m_scanner.scans.size(), 1u);
  EXPECT_EQ(ToServer(), "NOOP\r\n");  // DATA waits for its answer
  S("250 2.0.0 noop\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\n");
  S("354 go ahead\r\n");
  EXPECT_EQ(ToServer(), message);
  S("250 2.0.0 queued\r\n");
  EXPECT_EQ(ToClient(), std::string(k354) + "250 2.0.0 queued\r\n");
  EXPECT_TRUE(SpoolFiles().empty());
  NextMessageGoesThrough("Subject: scanner back\r\n\r\nbody\r\n.\r\n");
  End();
}

// ---------------------------------------------------------------- socket faults

enum class ESide { kClient, kServer };
enum class EOperation { kReceive, kSend };

struct SSocketFaultCase {
  const char* name;
  ESide side;
  EOperation operation;
  EFault fault;
  bool withoutSpool;  // the spool cannot be created: the message passes through
};

void PrintTo(const SSocketFaultCase& fault, std::ostream* out) { *out << fault.name; }

class SocketFaultAtEveryPosition : public FaultInjectionTest,
                                   public ::testing::WithParamInterface<SSocketFaultCase> {
 protected:
  // Scanned: two messages, one step after the other, with a keep-alive and
  // an inserted text in the first; the QUIT that follows the second message
  // in its chunk is held until the message has been delivered.
  // Without spool: DATA goes to the server and the message passes through
  // unscanned; then a line of binary junk and QUIT.
  void Dialogue(bool withoutSpool) {
    static const char* const kScanned[] = {
        "S220 mx.example ESMTP\r\n",
        "CEHLO client.example\r\n",
        "S250-mx.example\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 SIZE 1000000\r\n",
        "CMAIL FROM:<a@example.org>\r\n",
        "S250 2.1.0 ok\r\n",
        "CRCPT TO:<b@example.net>\r\n",
        "S250 2.1.5 ok\r\n",
        "CDATA\r\n",
        "CSubject: first\r\n\r\nline one\r\n",
        "Cline two\r\n.\r\n",
        "S250 2.0.0 noop\r\n354 go ahead\r\n",
        "S250 2.0.0 queued as 1\r\n",
        "CMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n",
        "S250 ok\r\n250 ok\r\n",
        "CDATA\r\n",
        "CSubject: second\r\n\r\nbody two\r\n.\r\nQUIT\r\n",
        "S354 go ahead\r\n",
        "S250 2.0.0 queued as 2\r\n",
        "S221 2.0.0 bye\r\n",
        nullptr,
    };
    static const char* const kWithoutSpool[] = {
        "S220 mx.example ESMTP\r\n",
        "CEHLO client.example\r\n",
        "S250-mx.example\r\n250 SIZE 1000000\r\n",
        "CMAIL FROM:<a@example.org>\r\n",
        "S250 2.1.0 ok\r\n",
        "CRCPT TO:<b@example.net>\r\n",
        "S250 2.1.5 ok\r\n",
        "CDATA\r\n",
        "S354 go ahead\r\n",
        "CSubject: raw\r\n\r\nline one\r\n",
        "Cline two\r\n.\r\n",
        "S250 2.0.0 queued as 1\r\n",
        "C",  // binary junk, below
        "S500 5.5.2 what\r\n",
        "CQUIT\r\n",
        "S221 2.0.0 bye\r\n",
        nullptr,
    };
    if (withoutSpool) {
      m_pStore->m_bFailCreate = true;
      SetRelayUnspooled(true);
    } else {
      SVerdict first;
      first.text = "X-Scanned: first";
      first.keepAlives = 1;
      m_scanner.verdicts.push_back(first);
      m_scanner.verdicts.push_back(SVerdict());
    }
    for (const char* const* step = withoutSpool ? kWithoutSpool : kScanned; *step != nullptr;
         ++step) {
      std::string bytes = *step + 1;
      if (bytes.empty()) bytes = std::string("\0\0junk\r\n", 8);
      if ((*step)[0] == 'C') {
        C(bytes);
      } else {
        S(bytes);
      }
      Step();
    }
    m_pStore->m_bFailCreate = false;
  }
};

TEST_P(SocketFaultAtEveryPosition, NothingLeftAndTheDialogueGoesOnWhereItSurvives) {
  const SSocketFaultCase& fault = GetParam();

  // The dialogue without faults, checked in full.
  Open();
  Dialogue(fault.withoutSpool);
  const std::string server = AllToServer();
  const std::string client = AllToClient();
  if (fault.withoutSpool) {
    ASSERT_EQ(server, std::string("EHLO client.example\r\nMAIL FROM:<a@example.org>\r\n") +
                          "RCPT TO:<b@example.net>\r\nDATA\r\nSubject: raw\r\n\r\nline one\r\n" +
                          "line two\r\n.\r\n" + std::string("\0\0junk\r\n", 8) + "QUIT\r\n");
    ASSERT_EQ(client, std::string("220 mx.example ESMTP\r\n250-mx.example\r\n") +
                          "250 SIZE 1000000\r\n250 2.1.0 ok\r\n250 2.1.5 ok\r\n354 go ahead\r\n" +
                          "250 2.0.0 queued as 1\r\n500 5.5.2 what\r\n221 2.0.0 bye\r\n");
  } else {
    const std::string message1 =
        "Subject: first\r\nX-Scanned: first\r\n\r\nline one\r\nline two\r\n.\r\n";
    const std::string message2 = "Subject: second\r\n\r\nbody two\r\n.\r\n";
    ASSERT_EQ(server,
              "EHLO client.example\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n"
              "NOOP\r\nDATA\r\n" +
                  message1 + "MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\nDATA\r\n" +
                  message2 + "QUIT\r\n");
    ASSERT_EQ(client, std::string("220 mx.example ESMTP\r\n250-mx.example\r\n250-PIPELINING\r\n") +
                          "250 SIZE 1000000\r\n250 2.1.0 ok\r\n250 2.1.5 ok\r\n" + k354 +
                          "250 2.0.0 queued as 1\r\n250 ok\r\n250 ok\r\n" + k354 +
                          "250 2.0.0 queued as 2\r\n221 2.0.0 bye\r\n");
  }
  const std::vector<SScan> scans = m_scanner.scans;
  const std::vector<std::pair<size_t, size_t>> steps = m_steps;
  ASSERT_EQ(scans.size(), fault.withoutSpool ? 0u : 2u);
  const SOCKET handle = fault.side == ESide::kClient ? m_client.m_hSocket : m_server.m_hSocket;
  const int positions = fault.operation == EOperation::kReceive ? m_sockets.Side(handle).receives
                                                                : m_sockets.Side(handle).sends;
  End();
  ASSERT_GT(positions, 5);

  // A receive that fails leaves the bytes waiting, and a send that reports
  // failure is not acted upon: the connection survives both, and everything
  // must go exactly as before. A send that throws breaks the connection.
  const bool survives = !(fault.operation == EOperation::kSend && fault.fault == EFault::kThrow);
  for (int position = 1; position <= positions; ++position) {
    SCOPED_TRACE(std::string(fault.name) + " at call " + std::to_string(position) + " of " +
                 std::to_string(positions));
    Open();
    CFaultSockets::SSide& side =
        m_sockets.Side(fault.side == ESide::kClient ? m_client.m_hSocket : m_server.m_hSocket);
    side.fault = fault.fault;
    if (fault.operation == EOperation::kReceive) {
      side.failReceiveAt = position;
    } else {
      side.failSendAt = position;
    }
    Dialogue(fault.withoutSpool);
    EXPECT_TRUE(m_sockets.m_bFired);
    if (survives) {
      // Step by step, not only in the end.
      EXPECT_EQ(m_steps, steps);
      EXPECT_EQ(Printable(AllToServer()), Printable(server));
      EXPECT_EQ(Printable(AllToClient()), Printable(client));
      ASSERT_EQ(m_scanner.scans.size(), scans.size());
      for (size_t i = 0; i < scans.size(); ++i) {
        EXPECT_EQ(m_scanner.scans[i].content, scans[i].content);
      }
    }
    End();
    if (HasFatalFailure() || (survives && HasFailure())) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, SocketFaultAtEveryPosition,
    ::testing::Values(SSocketFaultCase{"ClientReceiveThrows", ESide::kClient, EOperation::kReceive,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ClientReceiveFails", ESide::kClient, EOperation::kReceive,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ServerReceiveThrows", ESide::kServer, EOperation::kReceive,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ServerReceiveFails", ESide::kServer, EOperation::kReceive,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ClientSendThrows", ESide::kClient, EOperation::kSend,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ClientSendFails", ESide::kClient, EOperation::kSend,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ServerSendThrows", ESide::kServer, EOperation::kSend,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ServerSendFails", ESide::kServer, EOperation::kSend,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ClientReceiveThrowsWithoutSpool", ESide::kClient,
                                       EOperation::kReceive, EFault::kThrow, true},
                      SSocketFaultCase{"ClientReceiveFailsWithoutSpool", ESide::kClient,
                                       EOperation::kReceive, EFault::kFail, true},
                      SSocketFaultCase{"ServerReceiveThrowsWithoutSpool", ESide::kServer,
                                       EOperation::kReceive, EFault::kThrow, true},
                      SSocketFaultCase{"ServerReceiveFailsWithoutSpool", ESide::kServer,
                                       EOperation::kReceive, EFault::kFail, true},
                      SSocketFaultCase{"ClientSendThrowsWithoutSpool", ESide::kClient,
                                       EOperation::kSend, EFault::kThrow, true},
                      SSocketFaultCase{"ClientSendFailsWithoutSpool", ESide::kClient,
                                       EOperation::kSend, EFault::kFail, true},
                      SSocketFaultCase{"ServerSendThrowsWithoutSpool", ESide::kServer,
                                       EOperation::kSend, EFault::kThrow, true},
                      SSocketFaultCase{"ServerSendFailsWithoutSpool", ESide::kServer,
                                       EOperation::kSend, EFault::kFail, true}),
    [](const ::testing::TestParamInfo<SSocketFaultCase>& test) {
      return std::string(test.param.name);
    });

}  // namespace
