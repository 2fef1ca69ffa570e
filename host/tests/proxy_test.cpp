// The proxy's driving of a plug-in, on loopback sockets: the calling order,
// no overlapping calls of one connection, the server's last words reaching the
// client before the close, 421 when the upstream refuses, and no busy loop
// while the plug-in holds the client back.
//
// The plug-in here is a fake given to the proxy as function pointers: a plain
// relay through the host's socket service that records every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no rpcndr.h, whose byte a test's name shadows
#endif
#include <winsock2.h>  // before windows.h, which would bring the old one
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#endif

#include "host/base/log.h"
#include "host/base/net.h"
#include "host/base/os.h"
#include "host/proxy/proxy.h"
#include "host/proxy/proxy_metrics.h"
#include "host/scan/signature_scanner.h"
#include "host/tls/tls.h"
#include "posix_shell.h"
#if !defined(_WIN32)
#include <openssl/err.h>
#include <openssl/ssl.h>
#endif
#include "support/scratch_directory.h"

namespace {

struct FakePlugin {
  std::mutex mutex;
  std::vector<std::string> events;
  ISocket* socketService = nullptr;
  std::atomic<int> inCall{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> clientCalls{0};
  std::atomic<bool> holdClient{false};
  HostCallback callback = nullptr;
  std::string spoolFile;  // a line "SCAN" from the client has it scanned
  std::atomic<int> scanResult{-1};
  std::atomic<int> sendsAfterScan{0};  // of them, how many the service took
  std::string fromClient;              // what the relay read from the client

  void Record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
};

FakePlugin* g_fake = nullptr;

int Relay(CHostSocket* from, CHostSocket* to, std::string* seen = nullptr) {
  char buffer[4096];
  int total = 0;
  for (;;) {
    const int n = g_fake->socketService->Receive(from->m_hSocket, buffer, sizeof buffer);
    if (n < 1) break;
    if (seen != nullptr) seen->append(buffer, static_cast<size_t>(n));
    g_fake->socketService->Send(to->m_hSocket, buffer, n);
    total += n;
  }
  return total;
}

struct CallGuard {
  CallGuard() {
    if (g_fake->inCall.fetch_add(1) != 0) ++g_fake->overlaps;
  }
  ~CallGuard() { g_fake->inCall.fetch_sub(1); }
};

void FakeRegisterCallback(HostCallback callback) {
  g_fake->callback = callback;
  g_fake->Record("RegisterCallback");
}
void FakeSetISocket(ISocket* service) {
  g_fake->socketService = service;
  g_fake->Record(service != nullptr ? "SetISocket" : "SetISocket(null)");
}
void FakeSetTimeoutProtection(int) { g_fake->Record("SetTimeoutProtection"); }
void FakeOnNewConnection(int, CHostSocket*) {
  CallGuard guard;
  g_fake->Record("New");
}
void FakeOnEndConnection(CHostSocket*) {
  CallGuard guard;
  g_fake->Record("End");
}
int FakeOnRequestFromApplication(CHostSocket* client, CHostSocket* server) {
  CallGuard guard;
  ++g_fake->clientCalls;
  if (g_fake->holdClient) return 0;
  if (!g_fake->spoolFile.empty()) {
    // Takes the client's "SCAN\r\n" as the end of a message, scans it, and
    // then does what the plug-in does with a verdict of 1: a reply to the
    // client and RSET to the server.
    char buffer[64];
    const int n = g_fake->socketService->Receive(client->m_hSocket, buffer, sizeof buffer);
    if (n < 1) return 0;
    if (n < 4 || std::string(buffer, 4) != "SCAN") {  // relayed
      g_fake->socketService->Send(server->m_hSocket, buffer, n);
      return n;
    }
    ScanRequest request{};
    request.dwSize = sizeof request;
    request.pszDataFileName = g_fake->spoolFile.c_str();
    request.pSockApplication = client;
    g_fake->callback(kScanCodeScan, &request);
    g_fake->scanResult = request.nScanResult;
    g_fake->sendsAfterScan =
        (g_fake->socketService->Send(client->m_hSocket, "250 Mail accepted\r\n", 19) ? 1 : 0) +
        (g_fake->socketService->Send(server->m_hSocket, "RSET\r\n", 6) ? 1 : 0);
    return n;
  }
  std::string seen;
  const int n = Relay(client, server, &seen);
  g_fake->Record("App " + std::to_string(n));
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  g_fake->fromClient += seen;
  return n;
}
int FakeOnRequestFromServer(CHostSocket* client, CHostSocket* server) {
  CallGuard guard;
  const int n = Relay(server, client);
  g_fake->Record("Srv " + std::to_string(n));
  return n;
}

// A server that greets, answers QUIT with 221 and closes: one session at a
// time, each after the last, or (concurrent) each on a thread of its own. A
// session whose input starts with 'x' stops reading, like a server that no
// longer takes what it is sent. A hanging-up server closes right after its
// greeting, which may be empty.
class TinyServer {
 public:
  explicit TinyServer(bool concurrent = false) : m_concurrent(concurrent) { Listen(); }
  TinyServer(const std::string& greeting, bool hangUp)
      : m_concurrent(false), m_greeting(greeting), m_hangUp(hangUp) {
    Listen();
  }
  // One that answers every command line: EHLO with a list, XTWO twice (as a
  // server out of step would, or someone on its path), others 250.
  struct Answering {};
  explicit TinyServer(Answering) : m_concurrent(false), m_answers(true) { Listen(); }
  ~TinyServer() {
    m_stop = true;
    m_thread.join();
    for (std::thread& session : m_sessions) session.join();
    NetClose(m_listener);
  }
  uint16_t Port() const { return m_port; }

 private:
  void Listen() {
    std::string error;
    bool bad = false;
    m_listener = NetListen("127.0.0.1", 0, &m_port, &bad, &error);
    m_thread = std::thread([this] { Serve(); });
  }

  void Serve() {
    while (!m_stop) {
      NetSocket s = kNetInvalidSocket;
      while (s == kNetInvalidSocket && !m_stop) {
        NetPollItem item{m_listener, kNetIn, 0};
        NetPoll(&item, 1, 50);
        std::string peer;
        s = NetAccept(m_listener, &peer);
      }
      if (s == kNetInvalidSocket) return;
      if (m_concurrent) {
        m_sessions.emplace_back([this, s] { Session(s); });
      } else {
        Session(s);
      }
    }
  }

  void Session(NetSocket s) {
    NetSendAll(s, m_greeting.data(), m_greeting.size(), 2000, nullptr);
    std::string input;
    while (!m_stop && !m_hangUp) {
      char buffer[256];
      const int n = NetRecv(s, buffer, sizeof buffer);
      if (n > 0) {
        input.append(buffer, static_cast<size_t>(n));
        if (m_answers && Answer(s, &input)) break;
        while (input[0] == 'x' && !m_stop)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (input.find("QUIT\r\n") != std::string::npos) {
          NetSendAll(s, "221 bye\r\n", 9, 2000, nullptr);
          break;
        }
      } else if (n == kNetWouldBlock) {
        NetPollItem item{s, kNetIn, 0};
        NetPoll(&item, 1, 50);
      } else {
        break;
      }
    }
    NetClose(s);
  }

  // Answers the whole lines in *input and drops them; true after QUIT.
  static bool Answer(NetSocket s, std::string* input) {
    for (size_t end = input->find("\r\n"); end != std::string::npos; end = input->find("\r\n")) {
      const std::string verb = input->substr(0, 4);
      input->erase(0, end + 2);
      const std::string reply = verb == "QUIT"   ? "221 bye\r\n"
                                : verb == "EHLO" ? "250-tiny\r\n250 PIPELINING\r\n"
                                : verb == "XTWO" ? "250 ok\r\n250 twice\r\n"
                                                 : "250 ok\r\n";
      NetSendAll(s, reply.data(), reply.size(), 2000, nullptr);
      if (verb == "QUIT") return true;
    }
    return false;
  }

  NetSocket m_listener = kNetInvalidSocket;
  uint16_t m_port = 0;
  const bool m_concurrent;
  const std::string m_greeting = "220 tiny\r\n";
  const bool m_hangUp = false;
  const bool m_answers = false;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::vector<std::thread> m_sessions;
};

class ProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(NetStartup(&error)) << error;
  }
  void SetUp() override { g_fake = &m_fake; }
  void TearDown() override {
    Stop();
    g_fake = nullptr;
  }

  void Start(uint16_t upstreamPort, IScanner* scanner = nullptr,
             const std::function<void(ProxySettings*)>& adjust = nullptr,
             bool implicitTls = false) {
    PluginApi api;
    api.RegisterCallback = FakeRegisterCallback;
    api.SetISocket = FakeSetISocket;
    api.SetTimeoutProtection = FakeSetTimeoutProtection;
    api.OnNewConnection = FakeOnNewConnection;
    api.OnEndConnection = FakeOnEndConnection;
    api.OnRequestFromApplication = FakeOnRequestFromApplication;
    api.OnRequestFromServer = FakeOnRequestFromServer;
    ProxySettings settings;
    settings.upstream = Endpoint{"127.0.0.1", upstreamPort};
    settings.closeGraceMs = 300;
    settings.keepaliveSeconds = 5;
    if (adjust) adjust(&settings);
    m_proxy.reset(new Proxy(settings, api, scanner != nullptr ? scanner : &m_scanner, &m_log));
    m_proxy->ConfigurePlugin();
    bool bad = false;
    std::string error;
    ASSERT_TRUE(m_proxy->Listen(Endpoint{"127.0.0.1", 0}, &m_port, &bad, &error, implicitTls))
        << error;
    // The routes' own listeners, when a test's routes name any.
    ASSERT_TRUE(m_proxy->ListenAll(&m_bound, &bad, &error)) << error;
    m_stopRequests = 0;
    m_thread = std::thread([this] { m_proxy->Run(m_stopRequests, 2000); });
  }
  void Stop() {
    if (!m_thread.joinable()) return;
    m_stopRequests = 1;
    m_thread.join();
    m_proxy.reset();
  }

  // A new connection's whole session (greeting, QUIT, goodbye), while other
  // connections wait.
  void ExpectWholeSessionMeanwhile() {
    std::string error;
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(s, kNetInvalidSocket) << error;
    EXPECT_EQ(ReadSome(s, 10), "220 tiny\r\n");
    EXPECT_TRUE(NetSendAll(s, "QUIT\r\n", 6, 2000, nullptr));
    EXPECT_EQ(ReadToEnd(s), "221 bye\r\n");
    NetClose(s);
  }

  // Reads until the peer closes (or 5 s pass).
  static std::string ReadToEnd(NetSocket s) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      char buffer[512];
      const int n = NetRecv(s, buffer, sizeof buffer);
      if (n > 0) {
        data.append(buffer, static_cast<size_t>(n));
      } else if (n == kNetWouldBlock) {
        NetPollItem item{s, kNetIn, 0};
        NetPoll(&item, 1, 50);
      } else {
        return data;
      }
    }
    return data + "<no end>";
  }

  // Reads exactly n bytes (or what came within 5 s).
  static std::string ReadSome(NetSocket s, size_t n) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (data.size() < n && std::chrono::steady_clock::now() < deadline) {
      char buffer[512];
      const int got =
          NetRecv(s, buffer, static_cast<int>(std::min(sizeof buffer, n - data.size())));
      if (got > 0) {
        data.append(buffer, static_cast<size_t>(got));
      } else if (got == kNetWouldBlock) {
        NetPollItem item{s, kNetIn, 0};
        NetPoll(&item, 1, 50);
      } else {
        break;
      }
    }
    return data;
  }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(m_fake.mutex);
    return m_fake.events;
  }

  FakePlugin m_fake;
  Logger m_log;
  BuiltinScanner m_scanner{{}};
  std::unique_ptr<Proxy> m_proxy;
  std::atomic<int> m_stopRequests{0};
  std::thread m_thread;
  uint16_t m_port = 0;
  std::vector<Proxy::Bound> m_bound;
};

TEST_F(ProxyTest, CallingOrderAndServerLastWordsBeforeTheClose) {
  TinyServer server;
  Start(server.Port());
  std::string error;
  NetSocket client = NetConnect("127.0.0.1", m_port, 2000, &error);
  ASSERT_NE(client, kNetInvalidSocket) << error;
  EXPECT_EQ(ReadSome(client, 10), "220 tiny\r\n");
  // Two commands in two calls with no answer between them: each call of the
  // plug-in reads the client afresh, whatever the last one read.
  ASSERT_TRUE(NetSendAll(client, "NOOP\r\n", 6, 2000, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(NetSendAll(client, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(client), "221 bye\r\n");
  NetClose(client);
  Stop();

  const std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events[0], "RegisterCallback");
  EXPECT_EQ(events[1], "SetISocket");
  EXPECT_EQ(events[2], "SetTimeoutProtection");
  EXPECT_EQ(events[3], "New");
  EXPECT_EQ(events.back(), "End");
  std::string relayed;
  for (const std::string& e : events) relayed += e + ";";
  const size_t firstCommand = relayed.find("App 6;");
  ASSERT_NE(firstCommand, std::string::npos) << relayed;
  EXPECT_NE(relayed.find("App 6;", firstCommand + 1), std::string::npos) << relayed;
  EXPECT_NE(relayed.find("Srv 10;"), std::string::npos) << relayed;
  EXPECT_NE(relayed.find("Srv 9;"), std::string::npos) << relayed;
  EXPECT_EQ(m_fake.overlaps.load(), 0);
}

TEST_F(ProxyTest, RefusedUpstreamGets421AndTheProxyGoesOn) {
  uint16_t closedPort = 0;
  {
    TinyServer gone;
    closedPort = gone.Port();
  }
  Start(closedPort);
  std::string error;
  for (int i = 0; i < 2; ++i) {
    NetSocket client = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(client, kNetInvalidSocket) << error;
    EXPECT_EQ(ReadToEnd(client).substr(0, 10), "421 4.4.0 ");
    NetClose(client);
  }
  Stop();
  for (const std::string& e : Events()) EXPECT_NE(e, "New");  // no session without a server
}

TEST_F(ProxyTest, AServerThatHangsUpLeavesNoClientInSilence) {
  struct Case {
    const char* greeting;
    const char* client;  // sent after the greeting
    const char* heard;
  } cases[] = {
      // Closed before its greeting: the greeting was owed from the connect.
      {"", "", "421 4.4.2 Mail server closed the connection; try again later\r\n"},
      // Closed right after it: the client was not told of the end.
      {"220 tiny\r\n", "EHLO x\r\n",
       "220 tiny\r\n421 4.4.2 Mail server closed the connection; try again later\r\n"},
      // Its own 421 is the client's last word; nothing follows it.
      {"421 busy\r\n", "", "421 busy\r\n"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.greeting);
    TinyServer server(row.greeting, true);
    Start(server.Port());
    std::string error;
    NetSocket client = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(client, kNetInvalidSocket) << error;
    NetSendAll(client, row.client, std::strlen(row.client), 2000, nullptr);
    EXPECT_EQ(ReadToEnd(client), row.heard);
    NetClose(client);
    Stop();
  }
}

TEST_F(ProxyTest, HeldBackClientIsNotPolledInATightLoop) {
  TinyServer server;
  m_fake.holdClient = true;
  Start(server.Port());
  std::string error;
  NetSocket client = NetConnect("127.0.0.1", m_port, 2000, &error);
  ASSERT_NE(client, kNetInvalidSocket) << error;
  ASSERT_TRUE(NetSendAll(client, "NOOP\r\n", 6, 2000, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  // The proxy retries a held-back client every 200 ms (or after a server
  // call), not on every poll.
  EXPECT_GE(m_fake.clientCalls.load(), 2);
  EXPECT_LE(m_fake.clientCalls.load(), 12);
  m_fake.holdClient = false;
  ASSERT_TRUE(NetSendAll(client, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(client), "220 tiny\r\n221 bye\r\n");
  NetClose(client);
  Stop();
  EXPECT_EQ(Events().back(), "End");
}

TEST_F(ProxyTest, BehindABalancerTheHeaderNamesTheClientThatLimitsCount) {
  TinyServer server;
  Start(server.Port(), nullptr, [](ProxySettings* settings) {
    settings->proxyProtocol = true;
    settings->maxPerAddress = 1;
  });
  const HealthCheck health = ProxyHealthCheck(*m_proxy, m_scanner);
  std::string detail;
  EXPECT_TRUE(health(&detail)) << detail;
  std::string error;
  auto connect = [&](const std::string& header) {
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    EXPECT_NE(s, kNetInvalidSocket) << error;
    EXPECT_TRUE(NetSendAll(s, header.data(), header.size(), 2000, nullptr));
    return s;
  };
  // No header: closed without a word, and the plug-in never sees it.
  NetSocket bare = connect("EHLO x\r\n");
  EXPECT_EQ(ReadToEnd(bare), "");
  NetClose(bare);
  EXPECT_EQ(m_proxy->Counters().badProxyHeader.load(), 1u);

  // All connections come from the balancer's address; the limit counts the
  // clients the headers name.
  NetSocket first = connect("PROXY TCP4 203.0.113.9 127.0.0.1 1000 25\r\n");
  EXPECT_EQ(ReadSome(first, 10), "220 tiny\r\n");
  NetSocket again = connect("PROXY TCP4 203.0.113.9 127.0.0.1 1001 25\r\n");
  EXPECT_EQ(ReadToEnd(again).substr(0, 10), "421 4.7.0 ");
  NetClose(again);
  NetSocket other = connect("PROXY TCP6 2001:db8::9 ::1 1002 25\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // admitted while first is open
  ASSERT_TRUE(NetSendAll(first, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(first), "221 bye\r\n");
  NetClose(first);
  EXPECT_EQ(ReadSome(other, 10), "220 tiny\r\n");
  ASSERT_TRUE(NetSendAll(other, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(other), "221 bye\r\n");
  NetClose(other);
  EXPECT_EQ(m_proxy->Counters().perAddress.load(), 1u);
  EXPECT_EQ(m_proxy->Counters().connections.load(), 2u);

  // A proxy that stopped accepting is unhealthy for the balancer.
  m_stopRequests = 1;
  m_thread.join();
  EXPECT_FALSE(health(&detail));
  EXPECT_NE(detail.find("not listening"), std::string::npos) << detail;
}

TEST_F(ProxyTest, OnlyTheNamedBalancersMayNameAClient) {
  TinyServer server(true);
  for (const char* from : {"192.0.2.0/24,2001:db8::/32", "127.0.0.0/8"}) {
    SCOPED_TRACE(from);
    const bool named = std::string(from) == "127.0.0.0/8";
    Start(server.Port(), nullptr, [from](ProxySettings* settings) {
      settings->proxyProtocol = true;
      std::string error;
      EXPECT_TRUE(settings->proxyProtocolFrom.Add(from, &error)) << error;
    });
    std::string error;
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(s, kNetInvalidSocket) << error;
    EXPECT_TRUE(
        NetSendAll(s, "PROXY TCP4 203.0.113.9 127.0.0.1 1000 25\r\nQUIT\r\n", 49, 2000, nullptr));
    EXPECT_EQ(ReadToEnd(s), named ? "220 tiny\r\n221 bye\r\n" : "");
    NetClose(s);
    EXPECT_EQ(m_proxy->Counters().badProxyHeader.load(), named ? 0u : 1u);
    EXPECT_EQ(m_proxy->Counters().connections.load(), named ? 1u : 0u);
    Stop();
  }
}

// Threads of this process (/proc on Linux, a Toolhelp snapshot on Windows);
// -1 elsewhere.
int ThreadCount() {
#ifdef _WIN32
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count == 0 ? -1 : count;
#else
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return error || count == 0 ? -1 : count;
#endif
}

TEST_F(ProxyTest, ConnectionsWaitingForTheirHeaderHoldUpNoClientAndNoThread) {
  TinyServer server;
  Start(server.Port(), nullptr, [](ProxySettings* settings) {
    settings->proxyProtocol = true;
    settings->maxConnections = 5;
  });
  std::string error;
  const auto connected = [&] {
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    EXPECT_NE(s, kNetInvalidSocket) << error;
    return s;
  };
  // Let the loops' threads start before counting.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int threadsBefore = ThreadCount();
  // Twice --max-connections, none of them sending its header.
  std::vector<NetSocket> idle;
  for (int i = 0; i < 10; ++i) idle.push_back(connected());
  for (int i = 0; i < 100 && m_proxy->Counters().open.load() < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(m_proxy->Counters().open.load(), 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (threadsBefore > 0) {
    EXPECT_LE(ThreadCount(), threadsBefore);
  }
  // A client whose header comes in two pieces is served meanwhile.
  NetSocket client = connected();
  const std::string header = "PROXY TCP4 203.0.113.9 127.0.0.1 1000 25\r\n";
  ASSERT_TRUE(NetSendAll(client, header.data(), 10, 2000, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(NetSendAll(client, header.data() + 10, header.size() - 10, 2000, nullptr));
  EXPECT_EQ(ReadSome(client, 10), "220 tiny\r\n");
  ASSERT_TRUE(NetSendAll(client, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(client), "221 bye\r\n");
  NetClose(client);
  EXPECT_EQ(m_proxy->Counters().rejected.load(), 0u);
  for (NetSocket s : idle) NetClose(s);
}

class FailingScanner final : public IScanner {
 public:
  ScanResult Scan(const std::string&, ScanPacer&) override {
    ScanResult result;
    result.verdict = Verdict::kError;
    result.error = "cannot reach clamd at tcp 127.0.0.1:1: Connection refused";
    return result;
  }
  std::string Describe() const override { return "failing"; }
};

TEST_F(ProxyTest, ScanErrorIsAnswered451FromTheCallbackAndNothingElseReachesTheClient) {
  CScratchDirectory scratch("divivez-host-proxy-");
  const std::string spool = (std::filesystem::path(scratch.Path()) / "divivez1.tmp").string();
  {
    std::ofstream out(spool, std::ios::binary);
    out << "Subject: x\r\n\r\nbody\r\n.\r\n";
  }
  FailingScanner failing;
  TinyServer server;
  Start(server.Port(), &failing);
  std::string error;
  NetSocket client = NetConnect("127.0.0.1", m_port, 2000, &error);
  ASSERT_NE(client, kNetInvalidSocket) << error;
  EXPECT_EQ(ReadSome(client, 10), "220 tiny\r\n");
  m_fake.spoolFile = spool;  // set before the client sends: read by the next client call
  ASSERT_TRUE(NetSendAll(client, "SCAN\r\n", 6, 2000, nullptr));
  // The host's 451, then the end of the stream: the plug-in's own reply
  // after the verdict never gets through.
  EXPECT_EQ(ReadToEnd(client), "451 4.7.0 Virus scanner unavailable, try again later\r\n");
  NetClose(client);
  Stop();
  EXPECT_EQ(m_fake.scanResult.load(), 1);  // keeps DATA from going out
  EXPECT_EQ(m_fake.sendsAfterScan.load(), 0);
  EXPECT_EQ(Events().back(), "End");  // the handles were closed after OnEndConnection only
}

TEST_F(ProxyTest, ScanErrorDroppedIsCountedOnItsOwnAndNeverRunsBackwards) {
  CScratchDirectory scratch("divivez-host-proxy-");
  const std::string spool = (std::filesystem::path(scratch.Path()) / "divivez1.tmp").string();
  std::ofstream(spool, std::ios::binary) << "Subject: x\r\n\r\nbody\r\n.\r\n";
  FailingScanner failing;
  TinyServer server;
  m_fake.spoolFile = spool;
  Start(server.Port(), &failing,
        [](ProxySettings* settings) { settings->onScanError = ScanErrorPolicy::kDrop; });
  std::string error;
  NetSocket client = NetConnect("127.0.0.1", m_port, 2000, &error);
  ASSERT_NE(client, kNetInvalidSocket) << error;
  EXPECT_EQ(ReadSome(client, 10), "220 tiny\r\n");
  ASSERT_TRUE(NetSendAll(client, "SCAN\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadSome(client, 19), "250 Mail accepted\r\n");
  NetClose(client);

  MetricsRegistry registry;
  RegisterProxyMetrics(*m_proxy, failing, &registry);
  const std::string dropped = "divivez_messages_total{outcome=\"dropped_unscanned\"} ";
  EXPECT_NE(registry.Render().find(dropped + "1\n"), std::string::npos) << registry.Render();
  // A scrape while an infected message is counted (infected already, among
  // the dropped not yet) sees the same count, not one that went backwards.
  ++const_cast<ProxyCounters&>(m_proxy->Counters()).infected;
  EXPECT_NE(registry.Render().find(dropped + "1\n"), std::string::npos) << registry.Render();
}

// The README's metrics table lists every series a running proxy serves,
// each with the labels its samples carry, and nothing it does not serve.
TEST_F(ProxyTest, TheReadmesMetricsTableIsWhatTheProxyServes) {
  TinyServer server;
  Start(server.Port());
  MetricsRegistry registry;
  RegisterProxyMetrics(*m_proxy, m_scanner, &registry);
  const std::string text = registry.Render();
  Stop();
  // "name{label,label}" from the samples (histograms by their family's name,
  // without le), "name" for a family that has none yet.
  std::set<std::string> served;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 7, "# TYPE ") == 0) {
      served.insert(line.substr(7, line.find(' ', 7) - 7));
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    std::string name = line.substr(0, line.find_first_of("{ "));
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string family =
          name.substr(0, name.size() - std::min(name.size(), strlen(suffix)));
      if (name.size() > strlen(suffix) &&
          name.compare(family.size(), std::string::npos, suffix) == 0 &&
          served.count(family) != 0) {
        name = family;
      }
    }
    std::string labels;
    const size_t open = line.find('{');
    for (size_t at = open; at != std::string::npos && line[at] != '}';) {
      const size_t equals = line.find('=', at + 1);
      const std::string label = line.substr(at + 1, equals - at - 1);
      if (label != "le") labels += (labels.empty() ? "" : ",") + label;
      at = line.find_first_of(",}", line.find('"', line.find('"', equals) + 1));
    }
    served.erase(name);
    served.insert(labels.empty() ? name : name + "{" + labels + "}");
  }
  std::ifstream in(std::string(DIVIVEZ_SOURCE_DIR) + "/README.md");
  std::set<std::string> listed;
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 11, "| `divivez_") != 0) continue;
    std::string series = line.substr(3, line.find('`', 3) - 3);
    // A family with no sample yet shows no labels: its name is all there is
    // to compare.
    const std::string name = series.substr(0, series.find('{'));
    listed.insert(served.count(name) != 0 ? name : series);
  }
  for (const std::string& series : served) {
    EXPECT_EQ(listed.count(series), 1u) << series << " is served but not in the README's table";
  }
  for (const std::string& series : listed) {
    EXPECT_EQ(served.count(series), 1u) << series << " is in the README's table but not served";
  }
}

// Holds every scan until released.
class WaitingScanner final : public IScanner {
 public:
  ScanResult Scan(const std::string&, ScanPacer&) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_waiting;
    m_changed.notify_all();
    m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_released; });
    ScanResult clean;
    clean.verdict = Verdict::kClean;
    return clean;
  }
  std::string Describe() const override { return "waiting"; }
  int WaitForScans(int n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_waiting >= n; });
    return m_waiting;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_waiting = 0;
  bool m_released = false;
};

TEST_F(ProxyTest, ScansThatWaitHoldUpNoOtherConnection) {
  CScratchDirectory scratch("divivez-host-proxy-");
  const std::string spool = (std::filesystem::path(scratch.Path()) / "divivez1.tmp").string();
  std::ofstream(spool, std::ios::binary) << "Subject: x\r\n\r\nbody\r\n.\r\n";
  WaitingScanner waiting;
  TinyServer server(true);
  m_fake.spoolFile = spool;
  Start(server.Port(), &waiting);
  // Twice as many waiting scans as there are processors (and so event
  // loops): each loop has connections that wait and others to serve.
  const unsigned cpus = std::min(16u, std::max(1u, std::thread::hardware_concurrency()));
  const int scans = 2 * static_cast<int>(cpus);
  std::string error;
  std::vector<NetSocket> scanning;
  for (int i = 0; i < scans; ++i) {
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(s, kNetInvalidSocket) << error;
    scanning.push_back(s);
    EXPECT_EQ(ReadSome(s, 10), "220 tiny\r\n");
    ASSERT_TRUE(NetSendAll(s, "SCAN\r\n", 6, 2000, nullptr));
  }
  EXPECT_EQ(waiting.WaitForScans(scans), scans);
  ExpectWholeSessionMeanwhile();
  waiting.Release();
  for (NetSocket s : scanning) {
    EXPECT_EQ(ReadSome(s, 19), "250 Mail accepted\r\n");
    NetClose(s);
  }
}

TEST_F(ProxyTest, AServerThatStopsReadingHoldsUpNoOtherConnection) {
  TinyServer server(true);
  Start(server.Port());
  // As above, twice as many as there are loops; each flood is more than the
  // sockets between client and server can hold, so the proxy's sends wait.
  const unsigned cpus = std::min(16u, std::max(1u, std::thread::hardware_concurrency()));
  const std::string flood(32 << 20, 'x');
  std::string error;
  std::vector<NetSocket> flooding;
  std::vector<std::thread> senders;
  for (unsigned i = 0; i < 2 * cpus; ++i) {
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    if (s == kNetInvalidSocket) {
      ADD_FAILURE() << error;  // the senders started so far are still joined
      break;
    }
    flooding.push_back(s);
    EXPECT_EQ(ReadSome(s, 10), "220 tiny\r\n");
    senders.emplace_back([s, &flood] { NetSendAll(s, flood.data(), flood.size(), 3000, nullptr); });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ExpectWholeSessionMeanwhile();
  for (std::thread& sender : senders) sender.join();
  for (NetSocket s : flooding) NetClose(s);
}

}  // namespace

namespace {

// A self-signed certificate for localhost, made once with the openssl
// command (no key is kept in the tree).
struct TestCertificate {
  TestCertificate() : dir("divivez-proxy-tls-") {
    std::string output;
    const int status =
        ShellRun(dir.Path(),
                 "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
                 "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout key.pem -out cert.pem",
                 120000, &output);
    EXPECT_EQ(status, 0) << output;
    std::string error;
    server = TlsLoadServerContext(dir.File("cert.pem"), dir.File("key.pem"), "", &error);
    EXPECT_TRUE(server) << error;
    TlsClientSettings settings;
    settings.caFile = dir.File("cert.pem");
    client = TlsMakeClientContext(settings, &error);
    EXPECT_TRUE(client) << error;
  }
  CScratchDirectory dir;
  std::shared_ptr<const TlsContext> server;
  std::shared_ptr<const TlsContext> client;
};

const TestCertificate& Certificate() {
  static const TestCertificate certificate;
  return certificate;
}

// Empty where the platform's TLS library serves the server side; otherwise
// what it answered to a client's hello (Wine's SChannel: "AcceptSecurityContext
// returned SEC_E_UNSUPPORTED_FUNCTION (0x80090302)"). These tests play a TLS
// server (the proxy toward its clients, or the test's upstream), so they
// cannot run there; they run wherever the call is served.
const std::string& ServerSideUnserved() {
  static const std::string why = [] {
    std::string error;
    if (!Certificate().server || !Certificate().client) return std::string();
    std::unique_ptr<TlsSession> server = TlsSession::Server(Certificate().server, &error);
    std::unique_ptr<TlsSession> client =
        TlsSession::Client(Certificate().client, "localhost", &error);
    if (!server || !client) return std::string();
    client->Handshake();
    size_t size = 0;
    const char* hello = client->Outgoing(&size);
    server->Feed(hello, std::min(size, server->FeedRoom()));
    if (server->Handshake() == TlsSession::kFailed &&
        server->FailureText().find("SEC_E_UNSUPPORTED_FUNCTION") != std::string::npos) {
      return server->FailureText();
    }
    return std::string();
  }();
  return why;
}

#define SKIP_UNLESS_SERVER_SIDE_SERVED() \
  if (!ServerSideUnserved().empty())     \
  GTEST_SKIP() << "the server side cannot run here: " << ServerSideUnserved()

// Reads plaintext from a TLS stream until it holds n bytes, the peer ends
// or 5 s pass.
std::string ReadTls(Stream* stream, size_t n) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (data.size() < n && std::chrono::steady_clock::now() < deadline) {
    char buffer[512];
    stream->NewCall();
    const int got = stream->ReceiveForPlugin(buffer, sizeof buffer);
    if (got > 0) {
      data.append(buffer, static_cast<size_t>(got));
    } else if (stream->Peek() == 0) {
      break;
    } else {
      NetPollItem item{stream->Socket(), kNetIn, 0};
      NetPoll(&item, 1, 50);
    }
  }
  return data;
}

// A route to the server on port with the test's certificate; the log
// written to logFile too.
bool TlsRoute(uint16_t port, Route* route, const std::string& logFile, Logger* log) {
  std::string error;
  route->settings.hasUpstream = true;
  route->settings.upstream = Endpoint{"127.0.0.1", port};
  const bool loaded = Certificate().client &&
                      route->serverTls.Load(Certificate().dir.File("cert.pem"),
                                            Certificate().dir.File("key.pem"), "", &error) &&
                      log->OpenFile(logFile, &error);
  EXPECT_TRUE(loaded) << error;
  return loaded;
}

}  // namespace

// Each route's listener relays to its own server; the limit per address
// counts every route's connections, and its refusals, the per-route
// counters and the connections' log lines name the route.
TEST_F(ProxyTest, EachRouteRelaysToItsOwnServerAndItsCountsAndLinesNameIt) {
  CScratchDirectory logs("divivez-proxy-routes-log-");
  std::string error;
  ASSERT_TRUE(m_log.OpenFile(logs.File("log"), &error)) << error;
  TinyServer home;
  TinyServer work("220 work\r\n", false);
  Route homeRoute;
  homeRoute.settings.hasUpstream = true;
  homeRoute.settings.upstream = Endpoint{"127.0.0.1", home.Port()};
  Route workRoute;
  workRoute.name = "work";
  workRoute.settings = homeRoute.settings;
  workRoute.settings.upstream.port = work.Port();
  workRoute.settings.listen.push_back(Endpoint{"127.0.0.1", 0});
  Start(home.Port(), nullptr, [&](ProxySettings* settings) {
    settings->routes = {&homeRoute, &workRoute};
    settings->maxPerAddress = 1;
  });
  ASSERT_EQ(m_bound.size(), 1u);
  EXPECT_EQ(m_bound[0].route, &workRoute);
  EXPECT_FALSE(m_bound[0].implicitTls);
  auto connect = [&](uint16_t port) {
    NetSocket s = NetConnect("127.0.0.1", port, 2000, &error);
    EXPECT_NE(s, kNetInvalidSocket) << error;
    return s;
  };
  NetSocket toWork = connect(m_bound[0].port);
  EXPECT_EQ(ReadSome(toWork, 10), "220 work\r\n");
  ASSERT_TRUE(NetSendAll(toWork, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(toWork), "221 bye\r\n");
  NetClose(toWork);
  // Its slot is free once the proxy has seen the close.
  for (int i = 0; i < 200 && workRoute.counters.open.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(workRoute.counters.open.load(), 0);
  NetSocket toHome = connect(m_port);
  EXPECT_EQ(ReadSome(toHome, 10), "220 tiny\r\n");
  EXPECT_EQ(homeRoute.counters.open.load(), 1);
  NetSocket refused = connect(m_bound[0].port);
  EXPECT_EQ(ReadToEnd(refused).substr(0, 10), "421 4.7.0 ");
  NetClose(refused);
  ASSERT_TRUE(NetSendAll(toHome, "QUIT\r\n", 6, 2000, nullptr));
  EXPECT_EQ(ReadToEnd(toHome), "221 bye\r\n");
  NetClose(toHome);
  Stop();
  EXPECT_EQ(homeRoute.counters.connections.load(), 1u);
  EXPECT_EQ(workRoute.counters.connections.load(), 1u);
  EXPECT_EQ(workRoute.counters.perAddress.load(), 1u);
  EXPECT_EQ(homeRoute.counters.perAddress.load(), 0u);
  EXPECT_EQ(homeRoute.counters.open.load() + workRoute.counters.open.load(), 0);
  std::ifstream in(logs.File("log"));
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("conn 1 [route work] from 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("conn 2 from 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find(" [route work]: 1 connections open from its address (--max-per-address)"),
            std::string::npos)
      << log;
}

// On an implicit-TLS listener the client's handshake comes first, on the
// event loop, and the session then runs over TLS with the plug-in reading
// plaintext; a handshake that fails or never ends is closed and counted by
// reason, however slowly its bytes come.
TEST_F(ProxyTest, ImplicitTlsClientsHandshakeFirstAndFailuresAreCountedByReason) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  CScratchDirectory logs("divivez-proxy-tls-log-");
  TinyServer server;
  Route route;
  ASSERT_TRUE(TlsRoute(server.Port(), &route, logs.File("log"), &m_log));
  std::string error;
  Start(
      server.Port(), nullptr,
      [&route](ProxySettings* settings) {
        settings->routes.push_back(&route);
        settings->tlsHandshakeTimeoutMs = 600;
      },
      true);

  {
    Stream client(NetConnect("127.0.0.1", m_port, 2000, &error));
    ASSERT_NE(client.Socket(), kNetInvalidSocket) << error;
    client.StartTls(TlsSession::Client(Certificate().client, "localhost", &error));
    ASSERT_EQ(client.Handshake(5000, nullptr), Stream::HandshakeResult::kDone)
        << client.Tls()->FailureText();
    EXPECT_EQ(ReadTls(&client, 10), "220 tiny\r\n");
    // Two commands in one record.
    ASSERT_TRUE(client.SendAll("NOOP\r\nQUIT\r\n", 12, 2000, nullptr));
    EXPECT_EQ(ReadTls(&client, 100), "221 bye\r\n");
    EXPECT_EQ(client.Peek(), 0) << "no close_notify";
    client.Close();
  }

  struct Failing {
    const char* name;
    const char* sent;  // then silence; nullptr: trickles a byte every 100 ms
    int counted;       // the reason's index; -1: the time-out
  };
  const Failing failing[] = {
      {"plain text on the TLS port", "EHLO x\r\n", static_cast<int>(TlsFailure::kHandshake)},
      {"silence", "", -1},
      {"a hello a byte at a time", nullptr, -1},
  };
  for (const Failing& f : failing) {
    SCOPED_TRACE(f.name);
    const auto& k = m_proxy->Counters();
    const uint64_t before = f.counted < 0 ? k.tlsTimeouts[kTlsClientSide].load()
                                          : k.tlsFailures[kTlsClientSide][f.counted].load();
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(s, kNetInvalidSocket) << error;
    if (f.sent != nullptr) {
      NetSendAll(s, f.sent, std::strlen(f.sent), 2000, nullptr);
    } else {
      // A client hello that never completes, its bytes each within the
      // time-out of the last.
      static const char kHello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\x00";
      for (int i = 0; i < 12 && NetSend(s, kHello + i, 1) == 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    // Closed with no SMTP reply: nothing in plain text reaches the client.
    const std::string heard = ReadToEnd(s);
    EXPECT_EQ(heard.find("220"), std::string::npos) << heard;
    EXPECT_EQ(heard.find("<no end>"), std::string::npos);
    NetClose(s);
    const uint64_t after = f.counted < 0 ? k.tlsTimeouts[kTlsClientSide].load()
                                         : k.tlsFailures[kTlsClientSide][f.counted].load();
    EXPECT_EQ(after, before + 1);
  }
  Stop();
  std::ifstream in(logs.File("log"));
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("; TLS client TLSv1."), std::string::npos) << log;
  EXPECT_NE(log.find("(--tls-handshake-timeout)"), std::string::npos) << log;
  EXPECT_NE(log.find("TLS handshake with the client failed"), std::string::npos) << log;
}

// On an implicit-TLS listener connections in their handshake have a budget
// of their own (4 x --max-connections): stalled ones hold up no client that
// completes its handshake. And nothing there is ever sent in plain text:
// refused before the handshake it is the close alone, after it a 421 inside
// TLS.
TEST_F(ProxyTest, StalledTlsHandshakesHoldUpNoClientAndRefusalsAreNeverPlainText) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  struct Case {
    const char* name;
    int maxConnections;
    int maxPerAddress;
    bool originalDestination;  // a client that came straight to the proxy: the loop guard
    int stalled;               // connections that send nothing, opened first
    int served;                // clients served and left open, next
    const char* heard;         // by the last one inside TLS; "": closed before its handshake
  };
  const Case cases[] = {
      {"stalled handshakes take no slot", 1, 50, false, 3, 0, "220 tiny\r\n"},
      {"the handshakes' budget full", 1, 50, false, 4, 0, ""},
      {"--max-per-address", 10, 1, false, 1, 0, ""},
      {"--max-connections, after the handshake", 1, 50, false, 2, 1, "421 4.3.2 "},
      {"the loop guard", 10, 50, true, 0, 0, "421 4.4.6 "},
  };
  TinyServer server(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CScratchDirectory logs("divivez-proxy-tls-log-");
    Route route;
    ASSERT_TRUE(TlsRoute(server.Port(), &route, logs.File("log"), &m_log));
    route.settings.originalDestination = c.originalDestination;
    Start(
        server.Port(), nullptr,
        [&route, &c](ProxySettings* settings) {
          settings->routes.push_back(&route);
          settings->maxConnections = c.maxConnections;
          settings->maxPerAddress = c.maxPerAddress;
          settings->tlsHandshakeTimeoutMs = 30000;
        },
        true);
    std::string error;
    std::vector<NetSocket> stalled;
    for (int i = 0; i < c.stalled; ++i) {
      stalled.push_back(NetConnect("127.0.0.1", m_port, 2000, &error));
      ASSERT_NE(stalled.back(), kNetInvalidSocket) << error;
    }
    for (int i = 0; i < 200 && m_proxy->Counters().open.load() < c.stalled; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<std::unique_ptr<Stream>> clients;
    for (int i = 0; i <= c.served; ++i) {
      clients.push_back(std::make_unique<Stream>(NetConnect("127.0.0.1", m_port, 2000, &error)));
      Stream& client = *clients.back();
      ASSERT_NE(client.Socket(), kNetInvalidSocket) << error;
      client.StartTls(TlsSession::Client(Certificate().client, "localhost", &error));
      const bool last = i == c.served;
      if (last && *c.heard == '\0') {
        // Closed with not one byte, let alone a plain-text 421.
        EXPECT_EQ(ReadToEnd(client.Socket()), "");
        break;
      }
      if (client.Handshake(5000, nullptr) != Stream::HandshakeResult::kDone) {
        ADD_FAILURE() << "no handshake: " << client.Tls()->FailureText();
        break;
      }
      const std::string expected = last ? c.heard : "220 tiny\r\n";
      EXPECT_EQ(ReadTls(&client, expected.size()).substr(0, expected.size()), expected);
    }
    // The stalled ones heard nothing either.
    for (NetSocket s : stalled) {
      char byte = 0;
      EXPECT_LE(NetRecv(s, &byte, 1), 0);
      NetClose(s);
    }
    for (auto& client : clients) client->Close();
    Stop();
  }
}

// STARTTLS toward the client: the host offers it in the EHLO reply and takes
// the command itself, the plug-in reading plain text before and after; a
// command pipelined behind STARTTLS is never executed, nor one hidden in a
// BDAT chunk, and STARTTLS is not offered again over TLS. The client's first
// reply inside TLS answers its EHLO: a reply to plain text that comes after
// the 220 ends the connection instead.
TEST_F(ProxyTest, StartTlsIsTheHostsAndWhatFollowsItBeforeTheHandshakeIsDropped) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  CScratchDirectory logs("divivez-proxy-tls-log-");
  TinyServer server(TinyServer::Answering{});
  Route route;
  ASSERT_TRUE(TlsRoute(server.Port(), &route, logs.File("log"), &m_log));
  std::string error;
  Start(server.Port(), nullptr,
        [&route](ProxySettings* settings) { settings->routes.push_back(&route); });

  struct Injection {
    const char* sent;        // in one packet after EHLO
    const char* answered;    // what the plug-in answers before the 220
    const char* pluginRead;  // of it, what the plug-in reads
    bool closed;             // the connection ends after the 220
  };
  const Injection injections[] = {
      {"STARTTLS\r\nMAIL FROM:<x>\r\n", "", "", false},
      // The 220 waits for the reply to NOOP: the command after STARTTLS is
      // still the host's to drop when the handshake begins.
      {"NOOP\r\nSTARTTLS\r\nMAIL FROM:<x>\r\n", "250 ok\r\n", "NOOP\r\n", false},
      // BDAT is the host's to answer, and its chunk no command for anyone.
      {"BDAT 6\r\nNOOP\r\nSTARTTLS\r\n", "502 5.5.1 Command not available\r\n", "", false},
      // The server's second reply comes when all were had.
      {"XTWO\r\nSTARTTLS\r\n", "250 ok\r\n", "XTWO\r\n", true},
  };
  for (const Injection& injection : injections) {
    SCOPED_TRACE(injection.sent);
    {
      std::lock_guard<std::mutex> lock(m_fake.mutex);
      m_fake.fromClient.clear();
    }
    Stream client(NetConnect("127.0.0.1", m_port, 2000, &error));
    ASSERT_NE(client.Socket(), kNetInvalidSocket) << error;
    EXPECT_EQ(ReadSome(client.Socket(), 10), "220 tiny\r\n");
    ASSERT_TRUE(client.SendAll("EHLO a\r\n", 8, 2000, nullptr));
    EXPECT_EQ(ReadSome(client.Socket(), 40), "250-tiny\r\n250-PIPELINING\r\n250 STARTTLS\r\n");
    ASSERT_TRUE(client.SendAll(injection.sent, std::strlen(injection.sent), 2000, nullptr));
    EXPECT_EQ(ReadSome(client.Socket(), std::strlen(injection.answered)), injection.answered);
    std::string ready;
    while (ready.find('\n') == std::string::npos) {
      const std::string more = ReadSome(client.Socket(), 1);
      if (more.empty()) break;
      ready += more;
    }
    ASSERT_EQ(ready.substr(0, 4), "220 ");
    if (injection.closed) {
      EXPECT_EQ(ReadToEnd(client.Socket()), "");
      client.Close();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::lock_guard<std::mutex> lock(m_fake.mutex);
      EXPECT_EQ(m_fake.fromClient, "EHLO a\r\n" + std::string(injection.pluginRead));
      continue;
    }
    client.StartTls(TlsSession::Client(Certificate().client, "localhost", &error));
    ASSERT_EQ(client.Handshake(5000, nullptr), Stream::HandshakeResult::kDone)
        << client.Tls()->FailureText();
    ASSERT_TRUE(client.SendAll("EHLO b\r\n", 8, 2000, nullptr));
    EXPECT_EQ(ReadTls(&client, 26), "250-tiny\r\n250 PIPELINING\r\n");
    ASSERT_TRUE(client.SendAll("QUIT\r\n", 6, 2000, nullptr));
    EXPECT_EQ(ReadTls(&client, 100), "221 bye\r\n");
    client.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(m_fake.mutex);
    EXPECT_EQ(m_fake.fromClient,
              "EHLO a\r\n" + std::string(injection.pluginRead) + "EHLO b\r\nQUIT\r\n");
  }
  Stop();
  std::ifstream in(logs.File("log"));
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("; TLS client TLSv1."), std::string::npos) << log;
  EXPECT_NE(
      log.find(": the plug-in answered plain text past the 220 to STARTTLS (11 bytes dropped"),
      std::string::npos)
      << log;
}

namespace {

// Both ends of a loopback connection.
void ConnectedPair(NetSocket* client, NetSocket* server) {
  std::string error;
  uint16_t port = 0;
  bool bad = false;
  const NetSocket listener = NetListen("127.0.0.1", 0, &port, &bad, &error);
  ASSERT_NE(listener, kNetInvalidSocket) << error;
  *client = NetConnect("127.0.0.1", port, 2000, &error);
  ASSERT_NE(*client, kNetInvalidSocket) << error;
  NetPollItem item{listener, kNetIn, 0};
  NetPoll(&item, 1, 2000);
  std::string peer;
  *server = NetAccept(listener, &peer);
  NetClose(listener);
  ASSERT_NE(*server, kNetInvalidSocket);
}

// Whether the socket becomes readable within ms.
bool ReadableWithin(NetSocket s, int ms) {
  NetPollItem item{s, kNetIn, 0};
  return NetPoll(&item, 1, ms) > 0;
}

}  // namespace

// What the pump asks of a TLS stream between rounds: part of a record is
// no input (the side is watched, not held), the end of the socket after it
// is the end at once.
TEST_F(ProxyTest, PartOfATlsRecordIsNoInputAndAnEndAfterItIsSeenAtOnce) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  NetSocket clientSocket = kNetInvalidSocket;
  NetSocket serverSocket = kNetInvalidSocket;
  ASSERT_NO_FATAL_FAILURE(ConnectedPair(&clientSocket, &serverSocket));
  std::string error;
  Stream client(clientSocket);
  Stream server(serverSocket);
  client.StartTls(TlsSession::Client(Certificate().client, "localhost", &error));
  server.StartTls(TlsSession::Server(Certificate().server, &error));
  Stream::HandshakeResult clientStep = Stream::HandshakeResult::kMore;
  Stream::HandshakeResult serverStep = Stream::HandshakeResult::kMore;
  for (int i = 0; i < 500 && (clientStep == Stream::HandshakeResult::kMore ||
                              serverStep == Stream::HandshakeResult::kMore);
       ++i) {
    if (clientStep == Stream::HandshakeResult::kMore) clientStep = client.HandshakeStep();
    if (serverStep == Stream::HandshakeResult::kMore) serverStep = server.HandshakeStep();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(serverStep, Stream::HandshakeResult::kDone) << server.Tls()->FailureText();
  ASSERT_EQ(clientStep, Stream::HandshakeResult::kDone);
  // A record in two pieces, the second one later.
  ASSERT_TRUE(client.SendAll("NOOP\r\n", 6, 2000, nullptr));
  std::string record(64, '\0');
  ASSERT_TRUE(ReadableWithin(serverSocket, 2000));
  record.resize(static_cast<size_t>(std::max(0, NetRecv(serverSocket, &record[0], 64))));
  ASSERT_GT(record.size(), 8u);
  char buffer[64];
  for (const size_t end : {size_t{3}, record.size()}) {
    SCOPED_TRACE(end);
    const size_t from = end == 3 ? 0 : 3;
    ASSERT_TRUE(NetSendAll(clientSocket, record.data() + from, end - from, 2000, nullptr));
    ASSERT_TRUE(ReadableWithin(serverSocket, 2000));
    server.NewCall();
    const int n = server.ReceiveForPlugin(buffer, sizeof buffer);
    if (end == 3) {
      EXPECT_EQ(n, 0);
      EXPECT_FALSE(server.Buffered());
      EXPECT_EQ(server.Peek(), kNetWouldBlock) << "the side would be held, its socket unwatched";
    } else {
      EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max(n, 0))), "NOOP\r\n");
    }
  }
  // Three bytes of the next record, then the end of the socket.
  ASSERT_TRUE(NetSendAll(clientSocket, record.data(), 3, 2000, nullptr));
  NetShutdownSend(clientSocket);
  for (int i = 0; i < 100 && server.Peek() != 0; ++i) {
    ASSERT_TRUE(ReadableWithin(serverSocket, 2000));
    server.NewCall();
    EXPECT_EQ(server.ReceiveForPlugin(buffer, sizeof buffer), 0);
  }
  EXPECT_EQ(server.Peek(), 0) << "the end unseen: the connection waits for its time-out";
  client.Close();
  server.Close();
}

#if !defined(_WIN32)
// A TLS 1.2 client that asks to renegotiate is refused at once with the
// warning alert no_renegotiation (RFC 5746 section 4.2 leaves the choice to
// the server), and the session stays up on the proxy's side. The client
// is OpenSSL's own (the engine makes no TLS 1.2-only client); the alert is
// what makes it give up (its library ends a refused renegotiation).
TEST_F(ProxyTest, ARenegotiationIsRefusedAtOnceAndTheSessionStays) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  NetSocket clientSocket = kNetInvalidSocket;
  NetSocket serverSocket = kNetInvalidSocket;
  ASSERT_NO_FATAL_FAILURE(ConnectedPair(&clientSocket, &serverSocket));
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL* ssl = SSL_new(ctx);
  ASSERT_NE(ssl, nullptr);
  SSL_set_fd(ssl, static_cast<int>(clientSocket));
  SSL_set_connect_state(ssl);
  std::string error;
  Stream server(serverSocket);
  server.StartTls(TlsSession::Server(Certificate().server, &error));
  bool clientDone = false;
  Stream::HandshakeResult serverStep = Stream::HandshakeResult::kMore;
  for (int i = 0; i < 500 && (!clientDone || serverStep == Stream::HandshakeResult::kMore); ++i) {
    if (!clientDone) clientDone = SSL_do_handshake(ssl) == 1;
    if (serverStep == Stream::HandshakeResult::kMore) serverStep = server.HandshakeStep();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(clientDone);
  ASSERT_EQ(serverStep, Stream::HandshakeResult::kDone) << server.Tls()->FailureText();
  EXPECT_EQ(server.Tls()->Version(), "TLSv1.2");
  ASSERT_EQ(SSL_renegotiate(ssl), 1);
  EXPECT_EQ(SSL_get_error(ssl, SSL_do_handshake(ssl)), SSL_ERROR_WANT_READ);  // its hello sent
  ASSERT_TRUE(ReadableWithin(serverSocket, 2000));
  char buffer[64];
  server.NewCall();
  EXPECT_EQ(server.ReceiveForPlugin(buffer, sizeof buffer), 0);
  EXPECT_EQ(server.Tls()->Failure(), TlsFailure::kNone) << server.Tls()->FailureText();
  EXPECT_LT(server.Peek(), 0);  // neither ended nor anything to read
  // The alert is on its way without anything more from the client.
  ASSERT_TRUE(ReadableWithin(clientSocket, 2000)) << "no answer to the renegotiation";
  ERR_clear_error();
  EXPECT_NE(SSL_do_handshake(ssl), 1);
  EXPECT_EQ(ERR_GET_REASON(ERR_peek_error()), SSL_R_NO_RENEGOTIATION);
  ERR_clear_error();
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  NetClose(clientSocket);
  server.Close();
}
#endif

namespace {

// A server that may offer STARTTLS (and may answer it with 220 and one more
// reply in the same packet), speaking through a Stream: what it heard, and
// how many EHLO came over TLS.
class StartTlsServer {
 public:
  // How it takes TLS: offered with STARTTLS, answered with 220 and one more
  // reply in the same packet, STARTTLS answered and the connection closed
  // (the first time only), or TLS from the connect.
  // kXclient: as kOffer, and XCLIENT offered over TLS. kPlainXclient:
  // XCLIENT offered and no STARTTLS. kBadGreeting: as kOffer, but the
  // greeting is "250 x" (someone on the path hoping to skip STARTTLS).
  // kCloseNotify: as kImplicit, and QUIT answered with 221 and close_notify
  // in one read, the socket left open until the proxy ends it.
  enum Mode {
    kOffer,
    kInject,
    kBreak,
    kImplicit,
    kPlain,
    kXclient,
    kPlainXclient,
    kBadGreeting,
    kCloseNotify
  };
  explicit StartTlsServer(Mode mode) : m_mode(mode) {
    std::string error;
    bool bad = false;
    m_listener = NetListen("127.0.0.1", 0, &m_port, &bad, &error);
    m_thread = std::thread([this] { Serve(); });
  }
  ~StartTlsServer() {
    m_stop = true;
    m_thread.join();
    NetClose(m_listener);
  }
  uint16_t Port() const { return m_port; }
  int EhloOverTls() const { return m_ehloOverTls; }
  int XclientOverTls() const { return m_xclientOverTls; }
  // Every byte the first session heard, once it has ended (or 5 s passed).
  std::string Heard() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_sessions == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heard;
  }

 private:
  void Serve() {
    while (!m_stop) {
      NetPollItem item{m_listener, kNetIn, 0};
      NetPoll(&item, 1, 50);
      std::string peer;
      const NetSocket s = NetAccept(m_listener, &peer);
      if (s == kNetInvalidSocket) continue;
      Stream stream(s);
      Session(&stream);
      stream.Close();
      ++m_sessions;
    }
  }

  void Session(Stream* stream) {
    const bool implicit = m_mode == kImplicit || m_mode == kCloseNotify;
    if (implicit) {
      std::string error;
      stream->StartTls(TlsSession::Server(Certificate().server, &error));
      if (stream->Handshake(2000, nullptr) != Stream::HandshakeResult::kDone) return;
    }
    const std::string greeting = m_mode == kBadGreeting ? "250 x\r\n" : "220 tiny\r\n";
    stream->SendAll(greeting.data(), greeting.size(), 2000, nullptr);
    std::string input;
    while (!m_stop) {
      char buffer[256];
      stream->NewCall();
      const int n = stream->ReceiveForPlugin(buffer, sizeof buffer);
      if (n <= 0) {
        if (stream->Peek() == 0 || stream->Peek() == kNetError) return;
        NetPollItem item{stream->Socket(), kNetIn, 0};
        NetPoll(&item, 1, 50);
        continue;
      }
      input.append(buffer, static_cast<size_t>(n));
      if (m_sessions == 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heard.append(buffer, static_cast<size_t>(n));
      }
      for (size_t end = input.find("\r\n"); end != std::string::npos; end = input.find("\r\n")) {
        const std::string verb = input.substr(0, 4);
        input.erase(0, end + 2);
        const bool tls = stream->Tls() != nullptr;
        if (verb == "EHLO") {
          m_ehloOverTls += tls ? 1 : 0;
          const bool offer = !implicit && m_mode != kPlain && m_mode != kPlainXclient && !tls;
          const bool xclient = (m_mode == kXclient && tls) || m_mode == kPlainXclient;
          const std::string reply = offer     ? "250-tiny\r\n250 STARTTLS\r\n"
                                    : xclient ? "250-tiny\r\n250 XCLIENT ADDR\r\n"
                                              : "250 tiny\r\n";
          stream->SendAll(reply.data(), reply.size(), 2000, nullptr);
        } else if (verb == "STAR") {
          const std::string reply = m_mode == kInject ? "220 go\r\n250 injected\r\n" : "220 go\r\n";
          stream->SendAll(reply.data(), reply.size(), 2000, nullptr);
          if (m_mode == kBreak && !m_broken.exchange(true)) return;
          std::string error;
          stream->StartTls(TlsSession::Server(Certificate().server, &error));
          if (stream->Handshake(2000, nullptr) != Stream::HandshakeResult::kDone) return;
        } else if (verb == "XCLI") {
          m_xclientOverTls += tls ? 1 : 0;
          stream->SendAll("220 tiny\r\n", 10, 2000, nullptr);
        } else if (verb == "QUIT") {
          if (m_mode == kCloseNotify) return ByeAndCloseNotify(stream);
          stream->SendAll("221 bye\r\n", 9, 2000, nullptr);
          return;
        } else {
          stream->SendAll("250 ok\r\n", 8, 2000, nullptr);
        }
      }
    }
  }

  // 221 and close_notify, then the socket read until the proxy ends it (as
  // a server that waits for the peer's close_notify does).
  void ByeAndCloseNotify(Stream* stream) {
    // The server's own session: nothing of the Stream's sending ends the
    // socket as well.
    auto* tls = const_cast<TlsSession*>(stream->Tls());
    size_t taken = 0;
    tls->Write("221 bye\r\n", 9, &taken);
    tls->Close();
    size_t size = 0;
    const char* data = tls->Outgoing(&size);
    NetSendAll(stream->Socket(), data, size, 2000, nullptr);
    tls->Consume(size);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_stop && std::chrono::steady_clock::now() < deadline) {
      char buffer[256];
      const int n = NetRecv(stream->Socket(), buffer, sizeof buffer);
      if (n == 0 || n == kNetError) return;
      NetPollItem item{stream->Socket(), kNetIn, 0};
      if (n == kNetWouldBlock) NetPoll(&item, 1, 50);
    }
  }

  const Mode m_mode;
  std::atomic<bool> m_broken{false};
  NetSocket m_listener = kNetInvalidSocket;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_ehloOverTls{0};
  std::atomic<int> m_xclientOverTls{0};
  std::atomic<int> m_sessions{0};
  std::mutex m_mutex;
  std::string m_heard;  // by the first session
  std::thread m_thread;
};

}  // namespace

// --upstream-tls: the client hears one greeting and the server hears its
// EHLO again over TLS; a server that greets with other than 220, offers no
// STARTTLS, has a certificate that does not verify, or says more after its
// 220 to STARTTLS gets the client a 421 4.7.0 in place of the greeting,
// never plain text (may goes on in plain text where the server offers no
// STARTTLS, and introduces the client there with XCLIENT).
TEST_F(ProxyTest, UpstreamStartTlsOrA421NeverPlainTextWhenRequired) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  ASSERT_TRUE(Certificate().server && Certificate().client);
  using Server = StartTlsServer;
  struct Case {
    const char* name;
    UpstreamTls mode;
    Server::Mode server;
    bool trusted;                 // the server's certificate verifies
    const char* greeting;         // what the client hears first
    const char* ehloReply;        // to its EHLO, or "" (ended)
    int ehloOverTls;              // the server's count
    int failure;                  // counted against the server: a reason, -1 none
    const char* heard = nullptr;  // all the server heard, where checked
  };
  const Case cases[] = {
      {"starttls", UpstreamTls::kStarttls, Server::kOffer, true, "220 tiny\r\n", "250 tiny\r\n", 1,
       -1},
      {"implicit", UpstreamTls::kImplicit, Server::kImplicit, true, "220 tiny\r\n", "250 tiny\r\n",
       1, -1},
      // The server's end is its close_notify, read with the 221: the client
      // sees the end at once, not when a time limit runs out.
      {"implicit, close_notify without the socket's end", UpstreamTls::kImplicit,
       Server::kCloseNotify, true, "220 tiny\r\n", "250 tiny\r\n", 1, -1},
      {"not offered", UpstreamTls::kStarttls, Server::kPlain, true,
       "421 4.7.0 Upstream server does not offer STARTTLS\r\n", "", 0, -1},
      {"injected after 220", UpstreamTls::kStarttls, Server::kInject, true,
       "421 4.7.0 Upstream server broke STARTTLS\r\n", "", 0, -1},
      {"not trusted", UpstreamTls::kStarttls, Server::kOffer, false,
       "421 4.7.0 Upstream server certificate not trusted\r\n", "", 0,
       static_cast<int>(TlsFailure::kUnknownCa)},
      {"may, not offered", UpstreamTls::kMay, Server::kPlain, true, "220 tiny\r\n", "250 tiny\r\n",
       0, -1},
      // After TLS: EHLO and XCLIENT, the server's new 220 for the client.
      {"starttls, XCLIENT", UpstreamTls::kStarttls, Server::kXclient, true, "220 tiny\r\n",
       "250-tiny\r\n250 XCLIENT ADDR\r\n", 2, -1},
      // The handshake fails: connected again, plain text from the start.
      {"may, handshake fails", UpstreamTls::kMay, Server::kBreak, true, "220 tiny\r\n",
       "250-tiny\r\n250 STARTTLS\r\n", 0, static_cast<int>(TlsFailure::kNone)},
      // A greeting other than 220 under starttls: the session closes with
      // nothing said to the server (no QUIT either).
      {"starttls, greeting 250", UpstreamTls::kStarttls, Server::kBadGreeting, true,
       "421 4.7.0 Upstream server did not greet with 220\r\n", "", 0, -1, ""},
      // may ends in plain text with the greeting read already: XCLIENT
      // starts from that greeting, not from a second one never sent.
      {"may, not offered, XCLIENT", UpstreamTls::kMay, Server::kPlainXclient, true, "220 tiny\r\n",
       "250-tiny\r\n250 XCLIENT ADDR\r\n", 0, -1,
       "EHLO localhost\r\nEHLO localhost\r\nXCLIENT ADDR=127.0.0.1\r\nEHLO a\r\nQUIT\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartTlsServer server(c.server);
    Route route;
    route.settings.hasUpstream = true;
    route.settings.upstream = Endpoint{"127.0.0.1", server.Port()};
    route.settings.upstreamTls = c.mode;
    TlsClientSettings client;
    client.verify = c.mode != UpstreamTls::kMay;
    // Without the test's root the system's store knows nothing of it.
    client.caFile = c.trusted ? Certificate().dir.File("cert.pem") : "";
    std::string error;
    route.upstreamTls = TlsMakeClientContext(client, &error);
    ASSERT_TRUE(route.upstreamTls) << error;
    const bool xclient = c.server == Server::kXclient || c.server == Server::kPlainXclient;
    Start(server.Port(), nullptr, [&route, xclient](ProxySettings* settings) {
      settings->routes.push_back(&route);
      settings->upstreamXclient = xclient;
    });
    NetSocket s = NetConnect("127.0.0.1", m_port, 2000, &error);
    ASSERT_NE(s, kNetInvalidSocket) << error;
    EXPECT_EQ(ReadSome(s, std::strlen(c.greeting)), c.greeting);
    // Turned away or not, the client goes on: nothing of it may reach the
    // server then.
    const bool sent = NetSendAll(s, "EHLO a\r\nQUIT\r\n", 14, 2000, nullptr);
    if (*c.ehloReply != '\0') {
      EXPECT_TRUE(sent);
      EXPECT_EQ(ReadToEnd(s), std::string(c.ehloReply) + "221 bye\r\n");
    } else {
      EXPECT_EQ(ReadToEnd(s), "");
    }
    NetClose(s);
    const auto& k = m_proxy->Counters();
    EXPECT_EQ(k.tlsHandshakes[kTlsServerSide].load(), c.ehloOverTls > 0 ? 1u : 0u);
    if (c.failure >= 0) {
      EXPECT_EQ(k.tlsFailures[kTlsServerSide][c.failure].load(), 1u);
    }
    Stop();
    EXPECT_EQ(server.EhloOverTls(), c.ehloOverTls);
    EXPECT_EQ(server.XclientOverTls(), c.server == Server::kXclient ? 1 : 0);
    if (c.heard != nullptr) {
      EXPECT_EQ(server.Heard(), c.heard);
    }
  }
}

// A server that takes every connection on one thread, greets it (or says
// nothing) and holds it open until the end of the test.
class HoldingServer {
 public:
  explicit HoldingServer(const std::string& greeting) : m_greeting(greeting) {
    std::string error;
    bool bad = false;
    m_listener = NetListen("127.0.0.1", 0, &m_port, &bad, &error);
    EXPECT_NE(m_listener, kNetInvalidSocket) << error;
    m_thread = std::thread([this] {
      while (!m_stop) {
        NetPollItem item{m_listener, kNetIn, 0};
        NetPoll(&item, 1, 20);
        std::string peer;
        for (NetSocket s = NetAccept(m_listener, &peer); s != kNetInvalidSocket;
             s = NetAccept(m_listener, &peer)) {
          if (!m_greeting.empty()) {
            NetSendAll(s, m_greeting.data(), m_greeting.size(), 2000, nullptr);
          }
          std::lock_guard<std::mutex> lock(m_mutex);
          m_held.push_back(s);
        }
      }
    });
  }
  ~HoldingServer() {
    m_stop = true;
    m_thread.join();
    for (NetSocket s : m_held) NetClose(s);
    NetClose(m_listener);
  }
  uint16_t Port() const { return m_port; }
  size_t Held() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.size();
  }
  // Says text on every connection held.
  void SayToAll(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (NetSocket s : m_held) NetSendAll(s, text.data(), text.size(), 2000, nullptr);
  }

 private:
  const std::string m_greeting;
  NetSocket m_listener = kNetInvalidSocket;
  uint16_t m_port = 0;
  std::mutex m_mutex;
  std::vector<NetSocket> m_held;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// Five hundred idle sessions (greeted, then silent) take no thread each:
// with the host's socket service they wait on the loops, on Windows too.
TEST_F(ProxyTest, IdleSessionsHoldNoThreadEach) {
  constexpr int kConnections = 500;
#ifndef _WIN32
  // Four sockets a session in this process: the client's, the proxy's two
  // and the server's.
  if (OsRaiseFileLimit() < 4 * kConnections + 100) GTEST_SKIP() << "too few descriptors";
#endif
  std::string error;
  HoldingServer server("220 held\r\n");
  Start(server.Port(), nullptr, [](ProxySettings* settings) {
    settings->maxConnections = kConnections + 10;
    settings->maxPerAddress = kConnections + 10;
  });
  // Counted first with a few sessions open, once the loops' threads and
  // any spare that a set-up's wait started are there.
  constexpr int kFirst = 20;
  std::vector<NetSocket> clients;
  int greeted = 0;
  int threadsEarly = -1;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(NetConnect("127.0.0.1", m_port, 2000, &error));
    ASSERT_NE(clients.back(), kNetInvalidSocket) << error;
    greeted += ReadSome(clients.back(), 10) == "220 held\r\n" ? 1 : 0;
    if (i + 1 == kFirst) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      threadsEarly = ThreadCount();
      ASSERT_GT(threadsEarly, 0);
    }
  }
  EXPECT_EQ(greeted, kConnections);
  EXPECT_EQ(m_proxy->Counters().open.load(), kConnections);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int threadsLate = ThreadCount();
  EXPECT_LE(threadsLate, threadsEarly);
  for (NetSocket s : clients) NetClose(s);
  Stop();
}

// --upstream-tls starttls toward a server that takes connections and says
// nothing for a while: each connection's set-up waits on the event loop,
// not on a thread of its own, and goes on when the server speaks (here a
// greeting that is not 220: every client hears 421 4.7.0).
TEST_F(ProxyTest, SlowUpstreamTlsSetUpsHoldNoThread) {
  constexpr int kConnections = 200;
  std::string error;
  HoldingServer server("");
  Route route;
  route.settings.hasUpstream = true;
  route.settings.upstream = Endpoint{"127.0.0.1", server.Port()};
  route.settings.upstreamTls = UpstreamTls::kStarttls;
  route.upstreamTls = TlsMakeClientContext(TlsClientSettings(), &error);
  ASSERT_TRUE(route.upstreamTls) << error;
  Start(server.Port(), nullptr, [&route](ProxySettings* settings) {
    settings->routes.push_back(&route);
    settings->maxPerAddress = kConnections + 10;
  });
  // Let the loops' threads start before counting.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int threadsBefore = ThreadCount();
  std::vector<NetSocket> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(NetConnect("127.0.0.1", m_port, 2000, &error));
    ASSERT_NE(clients.back(), kNetInvalidSocket) << error;
  }
  for (int i = 0; i < 500 && server.Held() < kConnections; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(server.Held(), static_cast<size_t>(kConnections));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (threadsBefore > 0) {
    EXPECT_LE(ThreadCount(), threadsBefore);
  }
  server.SayToAll("554 busy\r\n");
  const std::string refusal = "421 4.7.0 Upstream server did not greet with 220\r\n";
  int refused = 0;
  for (NetSocket s : clients) {
    refused += ReadSome(s, refusal.size()) == refusal ? 1 : 0;
    NetClose(s);
  }
  EXPECT_EQ(refused, kConnections);
  Stop();
}
