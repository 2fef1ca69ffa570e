// The accept loop and the connection limits: who is served (by an event loop,
// or on a connection thread), who is turned away with a 421, and the shutdown
// that waits for the open connections.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <algorithm>
#include <cstring>
#include <thread>

#include "host/base/os.h"
#include "host/proxy/client_origin.h"
#include "host/proxy/connection.h"

namespace {

constexpr int kMaxAcceptBackoffMs = 1000;
// A balancer sends its PROXY header at once, before any client byte.
constexpr int kProxyHeaderTimeoutMs = 5000;

// Threads that wait for another connection after theirs ends, at most this
// many and this long: a thread is not started and torn down per connection.
constexpr int kMaxWaitingThreads = 64;
constexpr auto kThreadWait = std::chrono::seconds(10);

void ConnectionThread(void* arg) {
  auto* connection = static_cast<Proxy::Connection*>(arg);
  Proxy* const proxy = connection->owner;
  while (connection != nullptr) {
    proxy->Serve(connection);
    connection = proxy->NextConnection();
  }
}

// "192.0.2.1:4321" -> "192.0.2.1", "[2001:db8::1]:25" -> "[2001:db8::1]".
std::string AddressOf(const std::string& peer) {
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

// Sends a reply to a client that is being turned away, then closes.
void TurnAway(NetSocket socket, const char* reply) {
  NetSend(socket, reply, static_cast<int>(std::strlen(reply)));
  NetShutdownSend(socket);
  NetClose(socket);
}

}  // namespace

bool Proxy::Listen(const Endpoint& where, uint16_t* boundPort, bool* badAddress,
                   std::string* error) {
  m_listener = NetListen(where.host, where.port, boundPort, badAddress, error);
  m_listening = m_listener != kNetInvalidSocket;
  m_listenPort = *boundPort;
  return m_listening;
}

void Proxy::Run(const std::atomic<int>& stopRequests, int shutdownGraceMs) {
  StartLoops();
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
  m_listening = false;
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
    WakeLoops();
    const auto cutEnd = Clock::now() + std::chrono::seconds(5);
    while (m_active > 0 && Clock::now() < cutEnd) {
      m_ended.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (m_active > 0) {
      m_log->Line("shutting down: %d connection(s) still inside the plug-in; exiting anyway",
                  m_active);
      return;
    }
  }
  // The threads that wait for connections end now; those between their
  // connection's end and their wait take moments. None may outlive the proxy.
  m_threadsEnd = true;
  m_handOver.notify_all();
  StopLoops();
  const auto threadsEnd = Clock::now() + std::chrono::seconds(5);
  while (m_threads > 0 && Clock::now() < threadsEnd) {
    m_ended.wait_for(lock, std::chrono::milliseconds(100));
  }
}

bool Proxy::HandToWaitingThread(Connection* connection) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waitingThreads <= static_cast<int>(m_handedOver.size())) return false;
    m_handedOver.push_back(connection);
  }
  // Woken after the unlock, the thread finds the mutex free instead of
  // sleeping again at once until this one lets it go.
  m_handOver.notify_one();
  return true;
}

Proxy::Connection* Proxy::NextConnection() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_threadsEnd && OsMayReuseConnectionThreads() && m_waitingThreads < kMaxWaitingThreads) {
    ++m_waitingThreads;
    m_handOver.wait_for(lock, kThreadWait,
                        [this] { return m_threadsEnd || !m_handedOver.empty(); });
    --m_waitingThreads;
    if (!m_handedOver.empty()) {
      Connection* next = m_handedOver.back();
      m_handedOver.pop_back();
      return next;
    }
  }
  --m_threads;
  m_ended.notify_all();
  return nullptr;
}

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
    // Behind a balancer the peer is the balancer: the client's address is
    // counted once its PROXY header has been read (AdmitFromBalancer).
    const std::string address = m_settings.proxyProtocol ? "" : AddressOf(rawPeer);
    bool admitted = false;
    bool overAddress = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      int& fromAddress = m_perAddress[address];
      if (m_active >= m_settings.maxConnections) {
        // refused below
      } else if (!address.empty() && fromAddress >= m_settings.maxPerAddress) {
        overAddress = true;
      } else {
        ++m_active;
        if (!address.empty()) ++fromAddress;
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
    connection->owner = this;
    connection->id = ++m_nextId;
    connection->peer = peer;
    connection->address = address;
    connection->upstream = m_settings.upstream;
    connection->clientIp = AddressOf(rawPeer);
    if (connection->clientIp.size() > 1 && connection->clientIp.front() == '[') {
      connection->clientIp = connection->clientIp.substr(1, connection->clientIp.size() - 2);
    }
    connection->clientSocket = socket;
    if (!m_loops.empty()) {
      Adopt(connection);
      continue;
    }
    if (HandToWaitingThread(connection)) continue;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_threads;
    }
    std::string error;
    if (!OsStartThread(ConnectionThread, connection, kConnectionStack, &error)) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_threads;
      }
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

bool Proxy::AdmitFromBalancer(Connection* c) {
  ProxyHeader header;
  std::string error;
  if (!ReadProxyHeader(c->clientSocket, kProxyHeaderTimeoutMs, &m_abort, &header, &error)) {
    ++m_counters.badProxyHeader;
    m_log->Line("%s from %s: closed: %s (--proxy-protocol)", c->Label().c_str(), c->peer.c_str(),
                LogSafe(error).c_str());
    NetClose(c->clientSocket);
    return false;
  }
  // LOCAL (the balancer's own check) and UNKNOWN name no client: the
  // connection's own peer stands, and is not counted per address.
  if (!header.hasAddress) return true;
  const std::string source = header.SourceText();
  const std::string address = AddressOf(source);
  c->peer = LogSafe(source);
  c->clientIp = header.sourceAddress;
  bool over = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int& fromAddress = m_perAddress[address];
    over = fromAddress >= m_settings.maxPerAddress;
    if (!over) ++fromAddress;
    if (fromAddress == 0) m_perAddress.erase(address);
  }
  if (over) {
    ++m_counters.perAddress;
    m_log->Line("refused %s: %d connections open from its address (--max-per-address)",
                c->peer.c_str(), m_settings.maxPerAddress);
    TurnAway(c->clientSocket, "421 4.7.0 Too many connections from your address\r\n");
    return false;
  }
  c->address = address;
  return true;
}
