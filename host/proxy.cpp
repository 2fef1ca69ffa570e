// The proxy proper. See proxy.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "host/os.h"
#include "host/quarantine.h"

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
// With --socket-service plugin the host peeks at this much of what waits.
constexpr int kPeekBytes = 65536;
// Client bytes while a message arrives beyond --max-message-size before the
// connection is cut without waiting for the end of the message (the spool
// file must not fill the disk).
constexpr uint64_t kOversizeSlack = 65536;
// The longest command or reply line kept for the log.
constexpr size_t kMaxKeptLine = 1024;
constexpr int kMaxAcceptBackoffMs = 1000;

Proxy* g_proxy = nullptr;
thread_local Proxy::Connection* t_connection = nullptr;
const std::atomic<bool>* g_abort = nullptr;
int g_sendTimeoutMs = 600000;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void CountSentToServer(NetSocket socket, int length);
void SawReceived(NetSocket socket, const char* data, int length);
bool ConnectionCut();

// The socket service the host gives the plug-in (--socket-service host).
// Sockets are non-blocking: Receive never waits; Send waits for the peer as
// long as needed, up to the idle time-out, then shuts the socket down so the
// connection's thread sees it fail and ends the connection.
class HostSocketService final : public ISocket {
 public:
  void Reserved() override {}
  int Receive(SOCKET socket, char* buffer, int size) override {
    const int n = NetRecv(static_cast<NetSocket>(socket), buffer, size);
    if (n > 0) SawReceived(static_cast<NetSocket>(socket), buffer, n);
    return n > 0 ? n : 0;
  }
  BOOL Send(SOCKET socket, const char* data, int length) override {
    if (length <= 0) return TRUE;
    if (NetSendAll(static_cast<NetSocket>(socket), data, static_cast<size_t>(length),
                   g_sendTimeoutMs, g_abort)) {
      CountSentToServer(static_cast<NetSocket>(socket), length);
      return TRUE;
    }
    // A connection the host has cut keeps its read side: the client's last
    // bytes are drained when it is closed, so that no reset overtakes the
    // host's reply.
    if (!ConnectionCut()) NetShutdownBoth(static_cast<NetSocket>(socket));
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
  std::string peer;     // escaped for the log
  std::string address;  // the client's address without the port
  // Set when the host ends the connection itself (from the scan callback);
  // the relay loop stops after the current call.
  std::string cut;
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

  // The dialogue as the host follows it (time limits, envelope, replies).
  bool inData = false;    // between DATA and the end of the message
  bool awaiting = false;  // a complete command or message awaits an answer
  uint64_t dataBytes = 0;
  int messagesEnded = 0;    // ends of data seen; messages is the scans
  int unscannedWarned = 0;  // messages relayed without a scan, logged
  unsigned marker = 0;      // how much of CR LF . CR LF the data ends in
  std::string line;         // the client's current command line (its head)
  std::string sender;       // of the current transaction
  std::string firstRecipient;
  int recipients = 0;
  Clock::time_point progress = Clock::now();  // the last event a limit counts from
  std::string replyLine;                      // the server's current line (its head)
  bool replyLineCr = false;

  // The message between its scan and the server's answer to it.
  struct Message {
    bool active = false;
    int number = 0;
    uint64_t size = 0;
    std::filesystem::path spool;  // built once: checked after every server call
    std::string label;            // "conn N msg M"
    std::string envelope;         // "from <a> to <b> (+n)"
    std::string verdict;
    bool sawDataReply = false;  // the server's 354 to our DATA has come
    bool unseen = false;        // server bytes got past the host (plug-in sockets)
    std::string dataRefusal;    // a failure reply before any 354
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

// What the plug-in read through the host's socket service.
void SawReceived(NetSocket socket, const char* data, int length) {
  Proxy::Connection* c = t_connection;
  if (c == nullptr || g_proxy == nullptr) return;
  if (socket == c->clientSocket) {
    g_proxy->FromClient(c, data, static_cast<size_t>(length));
  } else if (socket == c->serverSocket) {
    g_proxy->FromServer(c, data, static_cast<size_t>(length));
  }
}

bool ConnectionCut() {
  const Proxy::Connection* c = t_connection;
  return c != nullptr && !c->cut.empty();
}

// "192.0.2.1:4321" -> "192.0.2.1", "[2001:db8::1]:25" -> "[2001:db8::1]".
std::string AddressOf(const std::string& peer) {
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool StartsNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The path of "MAIL FROM:<a> ..." / "RCPT TO:<a> ...", after the prefix.
std::string PathOf(const std::string& line, size_t prefix) {
  size_t begin = prefix;
  while (begin < line.size() && line[begin] == ' ') ++begin;
  size_t end = begin;
  if (end < line.size() && line[end] == '<') {
    const size_t close = line.find('>', end);
    end = close == std::string::npos ? line.size() : close + 1;
  } else {
    while (end < line.size() && line[end] != ' ' && line[end] != '\r') ++end;
  }
  return line.substr(begin, end - begin);
}

// The short reason a client hears for a scan error.
const char* ScanErrorReply(const std::string& error) {
  if (error.find("did not answer") != std::string::npos) {
    return "451 4.7.0 Virus scan timed out, try again later\r\n";
  }
  if (error.find("cannot reach") != std::string::npos) {
    return "451 4.7.0 Virus scanner unavailable, try again later\r\n";
  }
  return "451 4.7.0 Virus scan failed, try again later\r\n";
}

const char kOversizeReply[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";

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
    // must not make this loop spin: the pause doubles up to a second while
    // the failures last.
    if ((item.revents & (kNetIn | kNetErr)) && Accept() == 0) {
      const int pause = m_acceptBackoffMs > 0 ? m_acceptBackoffMs : 50;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
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

namespace {

// Sends a reply to a client that is being turned away, then closes.
void TurnAway(NetSocket socket, const char* reply) {
  NetSend(socket, reply, static_cast<int>(std::strlen(reply)));
  NetShutdownSend(socket);
  NetClose(socket);
}

}  // namespace

int Proxy::Accept() {
  for (int accepted = 0;; ++accepted) {
    std::string rawPeer;
    bool failed = false;
    const NetSocket socket = NetAccept(m_listener, &rawPeer, &failed);
    if (socket == kNetInvalidSocket) {
      if (failed) {
        m_acceptBackoffMs = std::min(std::max(m_acceptBackoffMs * 2, 50), kMaxAcceptBackoffMs);
        const auto now = Clock::now();
        if (now - m_acceptWarned >= std::chrono::seconds(10)) {
          m_acceptWarned = now;
          m_log->Line("accept failed: %s; pausing up to %d ms between attempts",
                      NetLastErrorText().c_str(), m_acceptBackoffMs);
        }
      }
      return accepted;
    }
    m_acceptBackoffMs = 0;
    const std::string peer = LogSafe(rawPeer);
    const std::string address = AddressOf(rawPeer);
    bool admitted = false;
    bool overAddress = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      int& fromAddress = m_perAddress[address];
      if (m_active >= m_settings.maxConnections) {
        // refused below
      } else if (fromAddress >= m_settings.maxPerAddress) {
        overAddress = true;
      } else {
        ++m_active;
        ++fromAddress;
        admitted = true;
      }
      if (fromAddress == 0) m_perAddress.erase(address);
    }
    if (overAddress) {
      ++m_counters.perAddress;
      m_log->Line("refused %s: %d connections open from its address (--max-per-address)",
                  peer.c_str(), m_settings.maxPerAddress);
      TurnAway(socket, "421 4.7.0 Too many connections from your address\r\n");
      continue;
    }
    if (!admitted) {
      ++m_counters.rejected;
      m_log->Line("refused %s: %d connections open (--max-connections)", peer.c_str(),
                  m_settings.maxConnections);
      TurnAway(socket, "421 4.3.2 Too many connections, try again later\r\n");
      continue;
    }
    auto* connection = new Connection();
    connection->id = ++m_nextId;
    connection->peer = peer;
    connection->address = address;
    connection->clientSocket = socket;
    std::string error;
    if (!OsStartThread(ConnectionThread, connection, kConnectionStack, &error)) {
      m_log->Line("refused %s: cannot start a thread: %s", peer.c_str(), error.c_str());
      TurnAway(socket, "421 4.3.0 Temporary failure, try again later\r\n");
      delete connection;
      ++m_counters.rejected;
      ConnectionEnded(address);
    }
  }
}

void Proxy::ConnectionEnded(const std::string& address) {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_active;
  auto it = m_perAddress.find(address);
  if (it != m_perAddress.end() && --it->second <= 0) m_perAddress.erase(it);
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
  const std::string address = c->address;
  delete c;
  ConnectionEnded(address);
}

void Proxy::FromClient(Connection* c, const char* data, size_t length) {
  const Clock::time_point now = Clock::now();
  static const char kMarker[] = "\r\n.\r\n";
  size_t i = 0;
  while (i < length) {
    if (c->inData) {
      // Every read counts while a message arrives; its end is CR LF . CR LF.
      c->progress = now;
      for (; i < length; ++i) {
        if (c->marker == 0) {
          // Nothing of the marker yet: only a CR can begin it.
          const void* cr = std::memchr(data + i, '\r', length - i);
          const size_t next =
              cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - data) : length;
          c->dataBytes += next - i;
          i = next;
          if (i == length) break;
        }
        const char b = data[i];
        c->dataBytes += 1;
        if (b == kMarker[c->marker]) {
          if (++c->marker == 5) break;
        } else {
          c->marker = b == '\r' ? 1 : 0;
        }
      }
      if (i < length) {  // the end of the message
        ++i;
        ++c->messagesEnded;
        c->inData = false;
        c->awaiting = true;
        c->marker = 0;
        c->line.clear();
      }
      continue;
    }
    // A command line ends in CR LF; only a complete one counts.
    const char b = data[i++];
    const bool wasCr = !c->line.empty() && c->line.back() == '\r';
    if (c->line.size() < kMaxKeptLine) {
      c->line.push_back(b);
    } else {
      // Past the kept head only a line end matters.
      c->line.back() = b == '\r' || b == '\n' ? b : ' ';
    }
    if (b != '\n' || !wasCr) continue;
    c->progress = now;
    c->awaiting = true;
    const std::string& line = c->line;
    if (StartsNoCase(line, "DATA")) {
      // The plug-in takes any line beginning with DATA as DATA.
      c->inData = true;
      c->dataBytes = 0;
      c->marker = 2;  // the CR LF that ended the DATA line starts the marker
    } else if (StartsNoCase(line, "MAIL FROM:")) {
      c->sender = PathOf(line, 10);
      c->firstRecipient.clear();
      c->recipients = 0;
    } else if (StartsNoCase(line, "RCPT TO:")) {
      if (c->recipients++ == 0) c->firstRecipient = PathOf(line, 8);
    }
    c->line.clear();
  }
}

void Proxy::FromServer(Connection* c, const char* data, size_t length) {
  if (length == 0) return;
  c->progress = Clock::now();
  c->awaiting = false;
  for (size_t i = 0; i < length; ++i) {
    const char b = data[i];
    if (b == '\n' && c->replyLineCr) {
      std::string& line = c->replyLine;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const bool last = line.size() < 4 || line[3] != '-';
      if (last && line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
          std::isdigit(static_cast<unsigned char>(line[1])) &&
          std::isdigit(static_cast<unsigned char>(line[2]))) {
        const int code = std::atoi(line.substr(0, 3).c_str());
        // A DATA the server refused (relayed when the plug-in could not
        // spool) leaves the client in the command phase.
        if (c->inData && c->dataBytes == 0 && code >= 400) c->inData = false;
        ServerReply(c, code, line);
      }
      line.clear();
      c->replyLineCr = false;
      continue;
    }
    c->replyLineCr = b == '\r';
    if (c->replyLine.size() < kMaxKeptLine) c->replyLine.push_back(b);
  }
}

void Proxy::WarnUnscanned(Connection* c) {
  // With pass the plug-in relays a message it cannot spool without a scan;
  // the host knows it by a message that ended with no scan of it.
  if (m_settings.onScanError != ScanErrorPolicy::kPass) return;
  const int pending = c->messagesEnded - c->messages - c->unscannedWarned;
  for (int i = 0; i < pending; ++i) {
    ++m_counters.unscanned;
    m_log->Line(
        "WARNING: %s from %s: a message went to the server UNSCANNED: the plug-in could "
        "not spool it (--on-scan-error pass)",
        c->Label().c_str(), c->peer.c_str());
  }
  if (pending > 0) c->unscannedWarned += pending;
}

const char* Proxy::TimeLimitReached(Connection* c, bool clientOpen) {
  const Clock::time_point now = Clock::now();
  if (now - c->start >= std::chrono::milliseconds(m_settings.sessionTimeoutMs)) {
    return "session time-out (--session-timeout)";
  }
  const auto quiet = now - c->progress;
  if (!clientOpen) return nullptr;  // the close grace applies
  if (c->inData) {
    if (quiet >= std::chrono::milliseconds(m_settings.dataTimeoutMs)) {
      return "data time-out: nothing from the client while its message arrived "
             "(--data-timeout)";
    }
  } else if (c->awaiting) {
    if (quiet >= std::chrono::milliseconds(m_settings.idleTimeoutMs)) {
      return "server time-out: an answer owed for too long (--idle-timeout)";
    }
  } else if (quiet >= std::chrono::milliseconds(m_settings.commandTimeoutMs)) {
    return "command time-out: no complete command from the client (--command-timeout)";
  }
  return nullptr;
}

void Proxy::Relay(Connection* c) {
  c->client.m_nHostWord0 = c->id;
  c->client.m_hSocket = static_cast<SOCKET>(c->clientSocket);
  c->server.m_nHostWord0 = c->id;
  c->server.m_hSocket = static_cast<SOCKET>(c->serverSocket);
  m_plugin.OnNewConnection(c->id, &c->client);

  const auto grace = std::chrono::milliseconds(m_settings.closeGraceMs);
  // With the plug-in's own socket road the host learns what it reads by
  // peeking first.
  const bool peek = m_settings.socketService == SocketService::kPlugin;
  std::vector<char> peekBuffer(peek ? kPeekBytes : 0);
  bool clientOpen = true;
  bool clientHeld = false;
  bool serverHeld = false;
  Clock::time_point clientHeldAt;
  Clock::time_point serverHeldAt;
  Clock::time_point graceEnd;
  const char* clientEnd = "";
  const char* reason = nullptr;
  bool timedOut = false;

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
      int peeked = 0;
      if (peek) {
        peeked = std::max(0, NetPeekData(c->serverSocket, peekBuffer.data(), kPeekBytes));
      }
      const int n = m_plugin.OnRequestFromServer(&c->client, &c->server);
      if (peek && n > 0) {
        FromServer(c, peekBuffer.data(), static_cast<size_t>(std::min(n, peeked)));
        if (n > peeked) c->message.unseen = true;
      }
      CheckDelivery(c, nullptr);
      WarnUnscanned(c);
      if (n > 0) {
        c->fromServer += static_cast<uint64_t>(n);
        m_counters.bytesFromServers += static_cast<uint64_t>(n);
      }
      if (!c->cut.empty()) break;
      // A server-side call is what the plug-in waits for before it takes
      // client input again.
      clientHeld = false;
      serverHeld = false;
      if (n > 0) {
        if (!clientOpen) graceEnd = Clock::now() + grace;
      } else {
        // Nothing read although the socket was readable: end of stream,
        // failure, or input the plug-in chose to leave.
        const int peekResult = NetPeek(c->serverSocket);
        if (peekResult == 0) {
          reason = "server closed";
        } else if (peekResult == kNetError) {
          reason = "server connection failed";
        } else if (peekResult > 0) {
          serverHeld = true;
          serverHeldAt = now;
        }
        if (reason != nullptr) break;
      }
    }

    if (clientDue && clientOpen) {
      int peeked = 0;
      if (peek) {
        peeked = std::max(0, NetPeekData(c->clientSocket, peekBuffer.data(), kPeekBytes));
      }
      const int n = m_plugin.OnRequestFromApplication(&c->client, &c->server);
      if (peek && n > 0) {
        FromClient(c, peekBuffer.data(), static_cast<size_t>(std::min(n, peeked)));
        // Unseen bytes of a message still count as a read.
        if (n > peeked && c->inData) c->progress = Clock::now();
      }
      WarnUnscanned(c);
      if (n > 0) {
        c->fromClient += static_cast<uint64_t>(n);
        m_counters.bytesFromClients += static_cast<uint64_t>(n);
      }
      if (!c->cut.empty()) break;
      if (n > 0) {
        clientHeld = false;
      } else {
        const int peekResult = NetPeek(c->clientSocket);
        if (peekResult == 0 || peekResult == kNetError) {
          // The plug-in has taken all the client sent. The server may still
          // answer what was relayed last (the "221" to QUIT): it gets the
          // grace time, renewed while it talks, or until it closes.
          clientOpen = false;
          clientHeld = false;
          clientEnd = peekResult == 0 ? "client closed" : "client connection failed";
          graceEnd = Clock::now() + grace;
        } else if (peekResult > 0) {
          clientHeld = true;
          clientHeldAt = Clock::now();
        } else {
          clientHeld = false;
        }
      }
    }

    // A message growing past the cap is cut before it fills the disk.
    if (clientOpen && c->inData && m_settings.maxMessageSize > 0 &&
        c->dataBytes > m_settings.maxMessageSize + kOversizeSlack) {
      ++m_counters.oversize;
      m_log->Line(
          "%s from %s: message over %llu bytes while it arrived (--max-message-size); "
          "answered 552",
          c->Label().c_str(), c->peer.c_str(),
          static_cast<unsigned long long>(m_settings.maxMessageSize));
      NetSendAll(c->clientSocket, kOversizeReply, sizeof kOversizeReply - 1, 5000, &m_abort);
      reason = "message over --max-message-size";
      break;
    }

    now = Clock::now();
    if (!clientOpen && now >= graceEnd) reason = clientEnd;
    if (reason == nullptr) {
      reason = TimeLimitReached(c, clientOpen);
      if (reason != nullptr) {
        timedOut = true;
        ++m_counters.timedOut;
        static const char kTimeout[] = "421 4.4.2 Time limit exceeded, closing connection\r\n";
        NetSendAll(c->clientSocket, kTimeout, sizeof kTimeout - 1, 5000, &m_abort);
      }
    }
  }
  if (reason == nullptr) reason = c->cut.c_str();

  m_plugin.OnEndConnection(&c->client);
  CheckDelivery(c, "connection ended before delivery");
  // Server first: a server that did not close yet learns that we are done.
  NetShutdownSend(c->serverSocket);
  NetClose(c->serverSocket);
  // The client has everything the server said; it sees the end of stream
  // after it instead of a reset.
  NetLingeringClose(c->clientSocket, kLingerMs);
  m_log->Line(
      "%s from %s: %s%s after %.3f s; client->server %llu bytes, server->client %llu bytes, %d "
      "message(s)",
      c->Label().c_str(), c->peer.c_str(), timedOut ? "cut, " : "", reason,
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

void Proxy::CutFromCallback(Connection* c, const char* reply, const std::string& why) {
  // The client waits for the answer to its end of data; it hears ours, then
  // the end of the stream. The server, which has not been sent DATA, sees
  // the connection end and drops the open transaction. Both handles stay
  // open: the plug-in may still use them until OnEndConnection, and what it
  // sends now fails.
  NetSendAll(c->clientSocket, reply, std::strlen(reply), 5000, &m_abort);
  NetShutdownSend(c->clientSocket);
  NetShutdownBoth(c->serverSocket);
  c->cut = why;
}

void Proxy::HandleScan(Connection* c, ScanRequest* request) {
  const std::string path = request->pszDataFileName != nullptr ? request->pszDataFileName : "";
  if (c != nullptr) CheckDelivery(c, "a later message was scanned first");
  ++m_counters.messages;
  const int number = c != nullptr ? ++c->messages : 0;
  std::string label =
      (c != nullptr ? c->Label() : std::string("conn ?")) + " msg " + std::to_string(number);
  std::string envelope;
  if (c != nullptr) {
    // The message has ended, whatever the host's view of the stream was.
    c->inData = false;
    c->awaiting = true;
    c->marker = 0;
    envelope = " from " + LogSafe(c->sender) + " to " + LogSafe(c->firstRecipient);
    if (c->recipients > 1) envelope += " (+" + std::to_string(c->recipients - 1) + ")";
  }
  std::error_code fsError;
  const uint64_t size = path.empty() ? 0 : std::filesystem::file_size(path, fsError);
  request->szInsertText[0] = '\0';

  // The spool file holds the message as sent, with its final ".\r\n".
  const uint64_t messageSize = size >= 3 ? size - 3 : size;
  if (m_settings.maxMessageSize > 0 && messageSize > m_settings.maxMessageSize) {
    ++m_counters.oversize;
    request->nScanResult = 1;
    if (c != nullptr) {
      CutFromCallback(c, kOversizeReply, "message over --max-message-size, answered 552");
      c->progress = Clock::now();
    }
    m_log->Line(
        "%s%s: %llu bytes, over --max-message-size %llu: answered 552 5.3.4, not "
        "delivered",
        label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size),
        static_cast<unsigned long long>(m_settings.maxMessageSize));
    return;
  }

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
  if (c != nullptr) c->progress = Clock::now();
  const std::string keepAlives =
      pacer.Sent() > 0 ? ", " + std::to_string(pacer.Sent()) + " keep-alive(s)" : "";

  std::string verdict;
  switch (result.verdict) {
    case Verdict::kInfected:
      request->nScanResult = 1;
      ++m_counters.infected;
      ++m_counters.dropped;
      m_log->Line("%s%s: %llu bytes, INFECTED (%s), dropped; scan %ld ms%s", label.c_str(),
                  envelope.c_str(), static_cast<unsigned long long>(size),
                  LogSafe(result.signature).c_str(), scanMs, keepAlives.c_str());
      if (m_settings.quarantine != nullptr) {
        QuarantineRecord kept;
        kept.message = number;
        kept.signature = result.signature;
        if (c != nullptr) {
          kept.connection = c->id;
          kept.client = c->peer;
          kept.sender = c->sender;
          kept.firstRecipient = c->firstRecipient;
          kept.recipients = c->recipients;
        }
        m_settings.quarantine->Keep(path, kept, label);
      }
      return;
    case Verdict::kError: {
      ++m_counters.scanErrors;
      const std::string error = LogSafe(result.error);
      if (m_settings.onScanError == ScanErrorPolicy::kTempfail && c != nullptr) {
        request->nScanResult = 1;  // keeps DATA from going out
        ++m_counters.tempfailed;
        const char* reply = ScanErrorReply(result.error);
        CutFromCallback(c, reply, "scan failed, answered 451");
        m_log->Line(
            "%s%s: %llu bytes, scan failed (%s): answered %.9s and closed, not delivered "
            "(--on-scan-error tempfail); scan %ld ms%s",
            label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str(),
            reply, scanMs, keepAlives.c_str());
        return;
      }
      if (m_settings.onScanError != ScanErrorPolicy::kPass) {
        // drop, or tempfail for a record the host cannot tie to a connection.
        request->nScanResult = 1;
        ++m_counters.dropped;
        m_log->Line(
            "%s%s: %llu bytes, scan failed (%s), dropped (--on-scan-error %s); scan %ld ms%s",
            label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str(),
            ScanErrorPolicyName(m_settings.onScanError), scanMs, keepAlives.c_str());
        return;
      }
      // Passed unscanned: no "scanned" header on it.
      request->nScanResult = 0;
      ++m_counters.unscanned;
      m_log->Line(
          "WARNING: %s%s: %llu bytes, scan failed (%s); passing it UNSCANNED "
          "(--on-scan-error pass)",
          label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str());
      verdict = "UNSCANNED (scan failed: " + error + ")";
      break;
    }
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
    m_log->Line("%s: %llu bytes, %s; scan %ld ms", label.c_str(),
                static_cast<unsigned long long>(size), verdict.c_str(), scanMs);
    return;
  }
  Connection::Message& message = c->message;
  message = Connection::Message();
  message.active = true;
  message.number = number;
  message.size = size;
  message.spool = path;
  message.label = std::move(label);
  message.envelope = std::move(envelope);
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

void Proxy::ServerReply(Connection* c, int code, const std::string& text) {
  Connection::Message& message = c->message;
  if (!message.active) return;
  if (!message.sawDataReply) {
    // Before the 354 to our DATA come the answers to keep-alives.
    if (code == 354) {
      message.sawDataReply = true;
    } else if (code >= 400) {
      message.dataRefusal = LogSafe(text);
    }
    return;
  }
  // The first reply after the 354 is the server's answer to the message.
  const std::string reply = LogSafe(text);
  if (code >= 200 && code < 300) {
    ++m_counters.delivered;
    LogFinal(
        c, "delivered in " + std::to_string(MillisecondsSince(message.scanEnd)) + " ms: " + reply);
  } else {
    ++m_counters.refused;
    LogFinal(c, "REFUSED by the server after " +
                    std::to_string(MillisecondsSince(message.scanEnd)) + " ms: " + reply);
  }
}

void Proxy::LogFinal(Connection* c, const std::string& outcome) {
  Connection::Message& message = c->message;
  m_log->Progress(message.label, 100);
  m_log->Line("%s%s: %llu bytes, %s; scan %ld ms, %s", message.label.c_str(),
              message.envelope.c_str(), static_cast<unsigned long long>(message.size),
              message.verdict.c_str(), message.scanMs, outcome.c_str());
  message.active = false;
}

void Proxy::CheckDelivery(Connection* c, const char* finalReason) {
  Connection::Message& message = c->message;
  if (!message.active) return;
  // The plug-in deletes the spool file when the message leaves its hands:
  // sent to the server (whose answer is logged when it comes), or given up.
  // Through the host's socket service the host sees whether the whole file
  // went to the server; when the plug-in sends by itself, the 354 and the
  // file's removal are all there is to go by.
  std::error_code fsError;
  const bool spooled = std::filesystem::exists(message.spool, fsError);
  if (spooled && finalReason == nullptr) return;
  const uint64_t sent = c->sentToServer - message.sentToServerAtScan;
  const bool seen = m_settings.socketService == SocketService::kHost;
  if (!spooled && !message.sawDataReply && !message.dataRefusal.empty()) {
    ++m_counters.refused;
    LogFinal(c, "REFUSED by the server before the message: " + message.dataRefusal);
    return;
  }
  if (!spooled && seen && sent < message.size) {
    ++m_counters.deliveryFailed;
    LogFinal(c,
             "delivery failed after " + std::to_string(sent) + " bytes (the client was told 451)");
    return;
  }
  if (!spooled && !message.sawDataReply && !message.unseen) {
    ++m_counters.deliveryFailed;
    LogFinal(c, "not delivered (the plug-in gave it up)");
    return;
  }
  if (!spooled && message.unseen) {
    ++m_counters.unconfirmed;
    LogFinal(c,
             "sent to the server; its answer was read by the plug-in unseen "
             "(--socket-service plugin)");
    return;
  }
  if (!spooled && finalReason == nullptr) return;  // the answer is still to come
  if (spooled) {
    ++m_counters.deliveryFailed;
    LogFinal(c, std::string("not delivered (") + finalReason + ")");
  } else {
    ++m_counters.unconfirmed;
    LogFinal(c, std::string("sent to the server, which gave no answer (") + finalReason + ")");
  }
}

void Proxy::LogCounters() {
  const ProxyCounters& k = m_counters;
  auto v = [](const std::atomic<uint64_t>& counter) {
    return static_cast<unsigned long long>(counter.load());
  };
  m_log->Line(
      "counters: connections %llu (refused %llu, over per-address limit %llu, upstream "
      "unreachable %llu, timed out %llu); messages %llu (clean %llu, infected %llu, scan errors "
      "%llu: answered 451 %llu, passed unscanned %llu; dropped %llu, over size %llu, delivered "
      "%llu, refused by the server %llu, delivery failed %llu, answer not seen %llu); bytes from "
      "clients %llu, from servers %llu",
      v(k.connections), v(k.rejected), v(k.perAddress), v(k.upstreamFailed), v(k.timedOut),
      v(k.messages), v(k.clean), v(k.infected), v(k.scanErrors), v(k.tempfailed), v(k.unscanned),
      v(k.dropped), v(k.oversize), v(k.delivered), v(k.refused), v(k.deliveryFailed),
      v(k.unconfirmed), static_cast<unsigned long long>(k.bytesFromClients.load()),
      static_cast<unsigned long long>(k.bytesFromServers.load()));
}
