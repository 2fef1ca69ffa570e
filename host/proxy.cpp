// The proxy proper. See proxy.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>

#include "host/os.h"

namespace {

using Clock = std::chrono::steady_clock;

// Stacks of connection threads: the plug-in's frames hold 8 KiB buffers and
// the scanners keep their blocks on the heap, so a small stack suffices and a
// thousand connections stay cheap. Sanitizers enlarge frames.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kConnectionStack = 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kConnectionStack = 1024 * 1024;
#else
constexpr size_t kConnectionStack = 256 * 1024;
#endif
#else
constexpr size_t kConnectionStack = 256 * 1024;
#endif

// After the plug-in leaves readable input unread (it holds the client back
// until the server has answered), the side is not polled for readability
// until the other side's next call or this long, so the thread does not spin.
constexpr auto kHoldRetry = std::chrono::milliseconds(200);
// The longest poll: shutdown and time-outs are checked at least this often.
constexpr auto kPollSlice = std::chrono::milliseconds(250);
constexpr int kLingerMs = 1000;

Proxy* g_proxy = nullptr;
thread_local Proxy::Connection* t_connection = nullptr;
const std::atomic<bool>* g_abort = nullptr;
int g_sendTimeoutMs = 600000;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void CountSentToServer(NetSocket socket, int length);

// The socket service the host gives the plug-in (--socket-service host).
// Sockets are non-blocking: Receive never waits; Send waits for the peer as
// long as needed, up to the idle time-out, then shuts the socket down so the
// connection's thread sees it fail and ends the connection.
class HostSocketService final : public ISocket {
 public:
  void Reserved() override {}
  int Receive(SOCKET socket, char* buffer, int size) override {
    const int n = NetRecv(static_cast<NetSocket>(socket), buffer, size);
    return n > 0 ? n : 0;
  }
  BOOL Send(SOCKET socket, const char* data, int length) override {
    if (length <= 0) return TRUE;
    if (NetSendAll(static_cast<NetSocket>(socket), data, static_cast<size_t>(length),
                   g_sendTimeoutMs, g_abort)) {
      CountSentToServer(static_cast<NetSocket>(socket), length);
      return TRUE;
    }
    NetShutdownBoth(static_cast<NetSocket>(socket));
    return FALSE;
  }
};

HostSocketService g_socketService;

void DIVIVEZ_CDECL HostCallbackEntry(int code, ScanRequest* request) {
  if (request == nullptr || g_proxy == nullptr) return;
  // No exception may cross into the plug-in.
  try {
    g_proxy->HandleCallback(code, request);
  } catch (...) {
  }
}

void ConnectionThread(void* arg) { g_proxy->Serve(static_cast<Proxy::Connection*>(arg)); }

}  // namespace

struct Proxy::Connection {
  int id = 0;
  std::string peer;
  NetSocket clientSocket = kNetInvalidSocket;
  NetSocket serverSocket = kNetInvalidSocket;
  CHostSocket client{};
  CHostSocket server{};
  Clock::time_point start = Clock::now();
  uint64_t fromClient = 0;
  uint64_t fromServer = 0;
  int messages = 0;
  // Bytes the plug-in sent to the server through the host's socket service;
  // with it the host tells a delivered message from an aborted delivery.
  uint64_t sentToServer = 0;

  // The message between its scan and its delivery.
  struct Message {
    bool active = false;
    int number = 0;
    uint64_t size = 0;
    std::filesystem::path spool;  // built once: checked after every server call
    std::string label;            // "conn N msg M"
    std::string verdict;
    long scanMs = 0;
    Clock::time_point scanEnd;
    uint64_t sentToServerAtScan = 0;
    unsigned reportedQuarter = 0;
    unsigned shownPercent = 0;
  } message;

  std::string Label() const { return "conn " + std::to_string(id); }
};

namespace {

// The plug-in's sends run on the connection's thread (keep-alives included:
// the host sends them from the scanning thread).
void CountSentToServer(NetSocket socket, int length) {
  Proxy::Connection* c = t_connection;
  if (c != nullptr && socket == c->serverSocket) c->sentToServer += static_cast<uint64_t>(length);
}

}  // namespace

Proxy::Proxy(const ProxySettings& settings, const PluginApi& plugin, IScanner* scanner, Logger* log)
    : m_settings(settings), m_plugin(plugin), m_scanner(scanner), m_log(log) {
  g_proxy = this;
  g_abort = &m_abort;
  g_sendTimeoutMs = settings.idleTimeoutMs;
}

Proxy::~Proxy() {
  NetClose(m_listener);
  g_proxy = nullptr;
}

void Proxy::ConfigurePlugin() {
  m_plugin.RegisterCallback(HostCallbackEntry);
  m_plugin.SetISocket(m_settings.socketService == SocketService::kHost ? &g_socketService
                                                                       : nullptr);
  if (m_settings.keepaliveSeconds > 0) m_plugin.SetTimeoutProtection(m_settings.keepaliveSeconds);
}

bool Proxy::Listen(const Endpoint& where, uint16_t* boundPort, bool* badAddress,
                   std::string* error) {
  m_listener = NetListen(where.host, where.port, boundPort, badAddress, error);
  return m_listener != kNetInvalidSocket;
}

void Proxy::Run(const std::atomic<int>& stopRequests, int shutdownGraceMs) {
  while (stopRequests.load() == 0) {
    NetPollItem item{m_listener, kNetIn, 0};
    NetPoll(&item, 1, static_cast<int>(kPollSlice.count()));
    // A listener that stays readable while accept fails (out of descriptors)
    // must not make this loop spin.
    if ((item.revents & (kNetIn | kNetErr)) && Accept() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  NetClose(m_listener);
  m_listener = kNetInvalidSocket;

  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_active > 0) {
    m_log->Line("shutting down: %d connection(s) open, waiting up to %d ms for them", m_active,
                shutdownGraceMs);
  }
  const auto graceEnd = Clock::now() + std::chrono::milliseconds(shutdownGraceMs);
  while (m_active > 0 && Clock::now() < graceEnd && stopRequests.load() < 2) {
    m_ended.wait_for(lock, std::chrono::milliseconds(100));
  }
  if (m_active > 0) {
    m_log->Line("shutting down: cutting %d connection(s)", m_active);
    m_abort = true;
    const auto cutEnd = Clock::now() + std::chrono::seconds(5);
    while (m_active > 0 && Clock::now() < cutEnd) {
      m_ended.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (m_active > 0) {
      m_log->Line("shutting down: %d connection(s) still inside the plug-in; exiting anyway",
                  m_active);
    }
  }
}

int Proxy::Accept() {
  for (int accepted = 0;; ++accepted) {
    std::string peer;
    const NetSocket socket = NetAccept(m_listener, &peer);
    if (socket == kNetInvalidSocket) return accepted;
    bool admitted = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_active < m_settings.maxConnections) {
        ++m_active;
        admitted = true;
      }
    }
    if (!admitted) {
      ++m_counters.rejected;
      m_log->Line("refused %s: %d connections open (--max-connections)", peer.c_str(),
                  m_settings.maxConnections);
      static const char kBusy[] = "421 4.3.2 Too many connections, try again later\r\n";
      NetSend(socket, kBusy, static_cast<int>(sizeof kBusy - 1));
      NetShutdownSend(socket);
      NetClose(socket);
      continue;
    }
    auto* connection = new Connection();
    connection->id = ++m_nextId;
    connection->peer = peer;
    connection->clientSocket = socket;
    std::string error;
    if (!OsStartThread(ConnectionThread, connection, kConnectionStack, &error)) {
      m_log->Line("refused %s: cannot start a thread: %s", peer.c_str(), error.c_str());
      static const char kNoThread[] = "421 4.3.0 Temporary failure, try again later\r\n";
      NetSend(socket, kNoThread, static_cast<int>(sizeof kNoThread - 1));
      NetShutdownSend(socket);
      NetClose(socket);
      delete connection;
      ++m_counters.rejected;
      ConnectionEnded();
    }
  }
}

void Proxy::ConnectionEnded() {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_active;
  m_ended.notify_all();
}

void Proxy::Serve(Connection* c) {
  t_connection = c;
  ++m_counters.connections;
  std::string error;
  c->serverSocket = NetConnect(m_settings.upstream.host, m_settings.upstream.port,
                               m_settings.connectTimeoutMs, &error);
  if (c->serverSocket == kNetInvalidSocket) {
    ++m_counters.upstreamFailed;
    m_log->Line("%s from %s: upstream %s unreachable (%s); answered 421", c->Label().c_str(),
                c->peer.c_str(), EndpointText(m_settings.upstream).c_str(), error.c_str());
    static const char kUnavailable[] =
        "421 4.4.0 Upstream mail server unavailable, try again later\r\n";
    NetSendAll(c->clientSocket, kUnavailable, sizeof kUnavailable - 1, 5000, &m_abort);
    NetLingeringClose(c->clientSocket, kLingerMs);
  } else {
    Relay(c);
  }
  t_connection = nullptr;
  delete c;
  ConnectionEnded();
}

void Proxy::Relay(Connection* c) {
  c->client.m_nHostWord0 = c->id;
  c->client.m_hSocket = static_cast<SOCKET>(c->clientSocket);
  c->server.m_nHostWord0 = c->id;
  c->server.m_hSocket = static_cast<SOCKET>(c->serverSocket);
  m_plugin.OnNewConnection(c->id, &c->client);

  const auto grace = std::chrono::milliseconds(m_settings.closeGraceMs);
  const auto idle = std::chrono::milliseconds(m_settings.idleTimeoutMs);
  bool clientOpen = true;
  bool clientHeld = false;
  bool serverHeld = false;
  Clock::time_point clientHeldAt;
  Clock::time_point serverHeldAt;
  Clock::time_point graceEnd;
  Clock::time_point lastActivity = Clock::now();
  const char* clientEnd = "";
  const char* reason = nullptr;

  while (reason == nullptr) {
    if (m_abort.load()) {
      reason = "cut at shutdown";
      break;
    }
    NetPollItem items[2];
    size_t count = 0;
    int clientItem = -1;
    int serverItem = -1;
    if (clientOpen && !clientHeld) {
      clientItem = static_cast<int>(count);
      items[count++] = NetPollItem{c->clientSocket, kNetIn, 0};
    }
    if (!serverHeld) {
      serverItem = static_cast<int>(count);
      items[count++] = NetPollItem{c->serverSocket, kNetIn, 0};
    }
    Clock::time_point now = Clock::now();
    Clock::time_point wake = now + kPollSlice;
    if (clientHeld) wake = std::min(wake, clientHeldAt + kHoldRetry);
    if (serverHeld) wake = std::min(wake, serverHeldAt + kHoldRetry);
    if (!clientOpen) wake = std::min(wake, graceEnd);
    const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    if (NetPoll(items, count, timeout > 0 ? static_cast<int>(timeout) : 0) < 0) {
      reason = "poll failed";
      break;
    }
    now = Clock::now();
    const bool serverDue = (serverItem >= 0 && items[serverItem].revents != 0) ||
                           (serverHeld && now >= serverHeldAt + kHoldRetry);
    const bool clientDue = (clientItem >= 0 && items[clientItem].revents != 0) ||
                           (clientHeld && now >= clientHeldAt + kHoldRetry);

    if (serverDue) {
      const int n = m_plugin.OnRequestFromServer(&c->client, &c->server);
      CheckDelivery(c, nullptr);
      // A server-side call is what the plug-in waits for before it takes
      // client input again.
      clientHeld = false;
      serverHeld = false;
      if (n > 0) {
        c->fromServer += static_cast<uint64_t>(n);
        m_counters.bytesFromServers += static_cast<uint64_t>(n);
        lastActivity = Clock::now();
        if (!clientOpen) graceEnd = lastActivity + grace;
      } else {
        // Nothing read although the socket was readable: end of stream,
        // failure, or input the plug-in chose to leave.
        const int peek = NetPeek(c->serverSocket);
        if (peek == 0) {
          reason = "server closed";
        } else if (peek == kNetError) {
          reason = "server connection failed";
        } else if (peek > 0) {
          serverHeld = true;
          serverHeldAt = now;
        }
        if (reason != nullptr) break;
      }
    }

    if (clientDue && clientOpen) {
      const int n = m_plugin.OnRequestFromApplication(&c->client, &c->server);
      if (n > 0) {
        c->fromClient += static_cast<uint64_t>(n);
        m_counters.bytesFromClients += static_cast<uint64_t>(n);
        lastActivity = Clock::now();
        clientHeld = false;
      } else {
        const int peek = NetPeek(c->clientSocket);
        if (peek == 0 || peek == kNetError) {
          // The plug-in has taken all the client sent. The server may still
          // answer what was relayed last (the "221" to QUIT): it gets the
          // grace time, renewed while it talks, or until it closes.
          clientOpen = false;
          clientHeld = false;
          clientEnd = peek == 0 ? "client closed" : "client connection failed";
          graceEnd = Clock::now() + grace;
        } else if (peek > 0) {
          clientHeld = true;
          clientHeldAt = Clock::now();
        } else {
          clientHeld = false;
        }
      }
    }

    now = Clock::now();
    if (!clientOpen && now >= graceEnd) reason = clientEnd;
    if (reason == nullptr && now - lastActivity >= idle) reason = "idle time-out";
  }

  m_plugin.OnEndConnection(&c->client);
  CheckDelivery(c, "connection ended before delivery");
  // Server first: a server that did not close yet learns that we are done.
  NetShutdownSend(c->serverSocket);
  NetClose(c->serverSocket);
  // The client has everything the server said; it sees the end of stream
  // after it instead of a reset.
  NetLingeringClose(c->clientSocket, kLingerMs);
  m_log->Line(
      "%s from %s: %s after %.3f s; client->server %llu bytes, server->client %llu bytes, %d "
      "message(s)",
      c->Label().c_str(), c->peer.c_str(), reason,
      static_cast<double>(MillisecondsSince(c->start)) / 1000.0,
      static_cast<unsigned long long>(c->fromClient),
      static_cast<unsigned long long>(c->fromServer), c->messages);
}

void Proxy::HandleCallback(int code, ScanRequest* request) {
  Connection* c = t_connection;
  // The callback runs inside a request call of this thread's connection; a
  // record naming another client object would be a plug-in fault.
  if (c != nullptr && request->pSockApplication != &c->client) c = nullptr;
  if (code == kScanCodeScan) {
    HandleScan(c, request);
  } else if (code == kScanCodeProgress) {
    HandleProgress(c, request);
  }
}

void Proxy::HandleScan(Connection* c, ScanRequest* request) {
  const std::string path = request->pszDataFileName != nullptr ? request->pszDataFileName : "";
  if (c != nullptr) CheckDelivery(c, "a later message was scanned first");
  ++m_counters.messages;
  const int number = c != nullptr ? ++c->messages : 0;
  const std::string label =
      (c != nullptr ? c->Label() : std::string("conn ?")) + " msg " + std::to_string(number);
  std::error_code fsError;
  const uint64_t size = path.empty() ? 0 : std::filesystem::file_size(path, fsError);

  std::function<void()> keepAlive;
  int intervalMs = 0;
  if (request->bTimeoutProtection != 0 && request->pfnTimeoutProtection != nullptr) {
    const TimeoutProtectionFunc function = request->pfnTimeoutProtection;
    void* argument = request->pTimeoutProtectionArg;
    keepAlive = [function, argument] { function(argument); };
    intervalMs = static_cast<int>(request->dwTimeoutProtection);
  }
  ScanPacer pacer(keepAlive, intervalMs);
  const Clock::time_point scanStart = Clock::now();
  ScanResult result;
  if (path.empty()) {
    result.error = "the plug-in named no spool file";
  } else {
    result = m_scanner->Scan(path, pacer);
  }
  const long scanMs = MillisecondsSince(scanStart);
  const std::string keepAlives =
      pacer.Sent() > 0 ? ", " + std::to_string(pacer.Sent()) + " keep-alive(s)" : "";

  request->szInsertText[0] = '\0';
  std::string verdict;
  switch (result.verdict) {
    case Verdict::kInfected:
      request->nScanResult = 1;
      ++m_counters.infected;
      ++m_counters.dropped;
      m_log->Line("%s: %llu bytes, INFECTED (%s), dropped; scan %ld ms%s", label.c_str(),
                  static_cast<unsigned long long>(size), result.signature.c_str(), scanMs,
                  keepAlives.c_str());
      return;
    case Verdict::kError:
      ++m_counters.scanErrors;
      if (m_settings.onScanError == ScanErrorPolicy::kDrop) {
        request->nScanResult = 1;
        ++m_counters.dropped;
        m_log->Line(
            "%s: %llu bytes, scan failed (%s), dropped (--on-scan-error drop); scan %ld ms%s",
            label.c_str(), static_cast<unsigned long long>(size), result.error.c_str(), scanMs,
            keepAlives.c_str());
        return;
      }
      // Passed unscanned: no "scanned" header on it.
      request->nScanResult = 0;
      verdict = "scan failed (" + result.error + "), passed unscanned";
      break;
    case Verdict::kClean: {
      request->nScanResult = 0;
      ++m_counters.clean;
      const size_t n = std::min(m_settings.insertText.size(), sizeof request->szInsertText - 1);
      std::memcpy(request->szInsertText, m_settings.insertText.data(), n);
      request->szInsertText[n] = '\0';
      verdict = "clean";
      break;
    }
  }
  if (c == nullptr) {
    m_log->Line("%s: %llu bytes, %s; scan %ld ms%s", label.c_str(),
                static_cast<unsigned long long>(size), verdict.c_str(), scanMs, keepAlives.c_str());
    return;
  }
  Connection::Message& message = c->message;
  message = Connection::Message();
  message.active = true;
  message.number = number;
  message.size = size;
  message.spool = path;
  message.label = label;
  message.verdict = verdict + keepAlives;
  message.scanMs = scanMs;
  message.scanEnd = Clock::now();
  message.sentToServerAtScan = c->sentToServer;
}

void Proxy::HandleProgress(Connection* c, const ScanRequest* request) {
  if (c == nullptr || !c->message.active) return;
  Connection::Message& message = c->message;
  const uint32_t total = request->dwKBytesTotal;
  const uint32_t done = std::min(request->dwKBytesDone, total);
  const unsigned percent =
      total == 0 ? 100u : static_cast<unsigned>(static_cast<uint64_t>(done) * 100 / total);
  // Called after every 8 KiB the plug-in delivers: nothing is built or
  // written unless the bar or a quarter mark moves.
  if (m_log->Terminal()) {
    if (percent != message.shownPercent && percent < 100) {
      message.shownPercent = percent;
      m_log->Progress(message.label + " delivering", percent);
    }
    return;
  }
  const unsigned quarter = percent / 25;
  if (quarter > message.reportedQuarter && quarter < 4) {
    message.reportedQuarter = quarter;
    m_log->Line("%s: delivering, %u%% (%u of %u KiB)", message.label.c_str(), quarter * 25, done,
                total);
  }
}

void Proxy::CheckDelivery(Connection* c, const char* finalReason) {
  Connection::Message& message = c->message;
  if (!message.active) return;
  // The plug-in deletes the spool file when the message leaves its hands:
  // delivered, or given up. Through the host's socket service the host sees
  // whether the whole file went to the server; when the plug-in sends by
  // itself, the file's removal is all there is to go by.
  std::error_code fsError;
  const bool spooled = std::filesystem::exists(message.spool, fsError);
  if (spooled && finalReason == nullptr) return;
  const std::string& label = message.label;
  m_log->Progress(label, 100);
  const uint64_t sent = c->sentToServer - message.sentToServerAtScan;
  const bool seen = m_settings.socketService == SocketService::kHost;
  if (!spooled && (!seen || sent >= message.size)) {
    ++m_counters.delivered;
    m_log->Line("%s: %llu bytes, %s; scan %ld ms, delivered in %ld ms", label.c_str(),
                static_cast<unsigned long long>(message.size), message.verdict.c_str(),
                message.scanMs, MillisecondsSince(message.scanEnd));
  } else if (!spooled) {
    ++m_counters.deliveryFailed;
    m_log->Line("%s: %llu bytes, %s; scan %ld ms, delivery failed after %llu bytes", label.c_str(),
                static_cast<unsigned long long>(message.size), message.verdict.c_str(),
                message.scanMs, static_cast<unsigned long long>(sent));
  } else {
    m_log->Line("%s: %llu bytes, %s; scan %ld ms, not delivered (%s)", label.c_str(),
                static_cast<unsigned long long>(message.size), message.verdict.c_str(),
                message.scanMs, finalReason);
  }
  message.active = false;
}

void Proxy::LogCounters() {
  const ProxyCounters& k = m_counters;
  m_log->Line(
      "counters: connections %llu (refused %llu, upstream unreachable %llu); messages %llu "
      "(clean %llu, infected %llu, scan errors %llu, dropped %llu, delivered %llu, delivery "
      "failed %llu); bytes from clients %llu, from servers %llu",
      static_cast<unsigned long long>(k.connections.load()),
      static_cast<unsigned long long>(k.rejected.load()),
      static_cast<unsigned long long>(k.upstreamFailed.load()),
      static_cast<unsigned long long>(k.messages.load()),
      static_cast<unsigned long long>(k.clean.load()),
      static_cast<unsigned long long>(k.infected.load()),
      static_cast<unsigned long long>(k.scanErrors.load()),
      static_cast<unsigned long long>(k.dropped.load()),
      static_cast<unsigned long long>(k.delivered.load()),
      static_cast<unsigned long long>(k.deliveryFailed.load()),
      static_cast<unsigned long long>(k.bytesFromClients.load()),
      static_cast<unsigned long long>(k.bytesFromServers.load()));
}
