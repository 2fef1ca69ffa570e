// The proxy's wiring: its parts, the listener and the accept loop, and the
// shutdown that waits for the open connections. See proxy.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/proxy.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

namespace {

constexpr int kMaxAcceptBackoffMs = 1000;

}  // namespace

Proxy::Proxy(const ProxySettings& settings, const PluginApi& plugin, IScanner* scanner, Logger* log)
    : m_context(settings, plugin, scanner, log),
      m_routes(settings.routes),
      m_admission(&m_context),
      m_pump(&m_context, &m_admission),
      m_bridge(&m_context),
      m_threads(&m_pump),
      m_loops(log, kConnectionStack) {
  if (m_routes.empty()) {
    m_defaultRoute = std::make_unique<Route>();
    m_defaultRoute->settings.hasUpstream = true;
    m_defaultRoute->settings.upstream = settings.upstream;
    m_defaultRoute->settings.originalDestination = settings.originalDestination;
    m_routes.push_back(m_defaultRoute.get());
  }
}

Proxy::~Proxy() { CloseListeners(); }

void Proxy::CloseListeners() {
  for (const Listener& listener : m_listeners) NetClose(listener.socket);
  m_listeners.clear();
}

bool Proxy::Listen(const Endpoint& where, uint16_t* boundPort, bool* badAddress, std::string* error,
                   bool implicitTls, const Route* route) {
  const NetSocket socket = NetListen(where.host, where.port, boundPort, badAddress, error);
  if (socket == kNetInvalidSocket) return false;
  m_listeners.push_back(Listener{route != nullptr ? route : m_routes.front(), implicitTls, socket});
  m_admission.AddListenPort(*boundPort);
  m_listening = true;
  return true;
}

bool Proxy::ListenAll(std::vector<Bound>* bound, bool* badAddress, std::string* error) {
  for (const Route* route : m_routes) {
    for (const bool implicitTls : {false, true}) {
      for (const Endpoint& where :
           implicitTls ? route->settings.listenTls : route->settings.listen) {
        uint16_t port = 0;
        if (!Listen(where, &port, badAddress, error, implicitTls, route)) {
          if (!route->name.empty()) *error = "route '" + route->name + "': " + *error;
          return false;
        }
        bound->push_back(Bound{route, implicitTls, where, port});
      }
    }
  }
  return true;
}

void Proxy::Run(const std::atomic<int>& stopRequests, int shutdownGraceMs) {
  // With the host's socket service on a system with a readiness set, a loop
  // per processor runs the connections' rounds once they are set up;
  // otherwise (no loop started) each connection keeps its thread.
  if (m_context.settings.socketService == SocketService::kHost) {
    // The socket layer's waits (a connect, a send, a lingering close) leave
    // the loop first; a no-op on any other thread.
    NetSetBeforeWait(LoopGroup::LeaveBeforeWaiting);
    m_loops.Start(std::max(1u, std::min(std::thread::hardware_concurrency(), 16u)));
  }
  std::vector<NetPollItem> items;
  for (const Listener& listener : m_listeners)
    items.push_back(NetPollItem{listener.socket, kNetIn, 0});
  while (stopRequests.load() == 0) {
    for (NetPollItem& item : items) item.revents = 0;
    NetPoll(items.data(), items.size(), static_cast<int>(kPollSlice.count()));
    // A listener that stays readable while accept fails (out of descriptors)
    // must not make this loop spin: the pause doubles up to a second while
    // the failures last.
    bool ready = false;
    int accepted = 0;
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].revents & (kNetIn | kNetErr)) {
        ready = true;
        accepted += Accept(m_listeners[i]);
      }
    }
    if (ready && accepted == 0) {
      const int pause = m_acceptBackoffMs > 0 ? m_acceptBackoffMs : 50;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
  }
  m_listening = false;
  CloseListeners();

  Logger* const log = m_context.log;
  int open = m_admission.Open();
  if (open > 0) {
    log->Line("shutting down: %d connection(s) open, waiting up to %d ms for them", open,
              shutdownGraceMs);
  }
  open = m_admission.WaitForNone(Clock::now() + std::chrono::milliseconds(shutdownGraceMs),
                                 [&stopRequests] { return stopRequests.load() >= 2; });
  if (open > 0) {
    log->Line("shutting down: cutting %d connection(s)", open);
    m_context.abort = true;
    m_loops.DueAll();
    open = m_admission.WaitForNone(Clock::now() + std::chrono::seconds(5), [] { return false; });
    if (open > 0) {
      log->Line("shutting down: %d connection(s) still inside the plug-in; exiting anyway", open);
      return;
    }
  }
  // The threads that wait for connections end now; those between their
  // connection's end and their wait take moments. None may outlive the proxy.
  const auto threadsEnd = Clock::now() + std::chrono::seconds(5);
  m_threads.Stop(threadsEnd);
  m_loops.Stop(threadsEnd);
}

int Proxy::Accept(const Listener& listener) {
  for (int accepted = 0;; ++accepted) {
    std::string rawPeer;
    bool failed = false;
    const NetSocket socket = NetAccept(listener.socket, &rawPeer, &failed);
    if (socket == kNetInvalidSocket) {
      if (failed) {
        m_acceptBackoffMs = std::min(std::max(m_acceptBackoffMs * 2, 50), kMaxAcceptBackoffMs);
        const auto now = Clock::now();
        if (now - m_acceptWarned >= std::chrono::seconds(10)) {
          m_acceptWarned = now;
          m_context.log->Line("accept failed: %s; pausing up to %d ms between attempts",
                              NetLastErrorText().c_str(), m_acceptBackoffMs);
        }
      }
      return accepted;
    }
    m_acceptBackoffMs = 0;
    Admission::Client client;
    if (!m_admission.Admit(socket, rawPeer, listener.route, listener.implicitTls, &client)) {
      continue;
    }
    auto* connection = new Connection(&m_pump, &m_context);
    connection->id = ++m_nextId;
    connection->peer = LogSafe(rawPeer);
    connection->address = client.address;
    connection->clientIp = client.ip;
    connection->route = listener.route;
    connection->clientTls.implicit = listener.implicitTls;
    connection->clientStream.Attach(socket);
    connection->header.awaiting = client.awaitingHeader;
    connection->header.due = client.headerDue;
    connection->clientTls.budgeted = client.awaitingHandshake;
    ++m_context.counters.open;
    ++listener.route->counters.open;
    if (!m_loops.Empty()) {
      m_loops.Adopt(connection);
      continue;
    }
    std::string error;
    if (!m_threads.Serve(connection, &error)) {
      m_context.log->Line("refused %s: cannot start a thread: %s", connection->peer.c_str(),
                          error.c_str());
      Admission::TurnAway(socket, "421 4.3.0 Temporary failure, try again later\r\n",
                          listener.implicitTls);
      ++m_context.counters.rejected;
      m_pump.Retire(connection);
    }
  }
}

void Proxy::LogCounters() {
  const ProxyCounters& k = m_context.counters;
  auto v = [](const std::atomic<uint64_t>& counter) {
    return static_cast<unsigned long long>(counter.load());
  };
  m_context.log->Line(
      "counters: connections %llu (refused %llu, over per-address limit %llu, upstream "
      "unreachable %llu, timed out %llu); messages %llu (clean %llu, infected %llu: rejected "
      "%llu; scan errors %llu: answered 451 %llu, passed unscanned %llu, dropped unscanned %llu; "
      "dropped %llu, over size %llu, delivered %llu, refused by the server %llu, delivery failed "
      "%llu, answer not seen %llu); bytes from clients %llu, from servers %llu",
      v(k.connections), v(k.rejected), v(k.perAddress), v(k.upstreamFailed), v(k.timedOut),
      v(k.messages), v(k.clean), v(k.infected) + v(k.infectedRejected), v(k.infectedRejected),
      v(k.scanErrors), v(k.tempfailed), v(k.unscanned), v(k.errorDropped), v(k.dropped),
      v(k.oversize), v(k.delivered), v(k.refused), v(k.deliveryFailed), v(k.unconfirmed),
      static_cast<unsigned long long>(k.bytesFromClients.load()),
      static_cast<unsigned long long>(k.bytesFromServers.load()));
}

// Written under a temporary name and renamed, so a test that polls for the
// file never reads it half-written.
bool WritePortFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      *error = "cannot write " + temporary;
      return false;
    }
  }
  std::error_code fsError;
  std::filesystem::rename(temporary, path, fsError);
  if (fsError) {
    *error = "cannot rename " + temporary + " to " + path + ": " + fsError.message();
    return false;
  }
  return true;
}

// --port-file: the first listener's port on the first line, as with one
// listener; with several, then a line per listener, "NAME KIND PORT" (NAME
// "-" for the default route, KIND listen or listen-tls), in the order of
// the start-up log.
std::string PortFileText(const std::vector<Proxy::Bound>& bound) {
  std::string text = std::to_string(bound.front().port) + "\n";
  if (bound.size() == 1) return text;
  for (const Proxy::Bound& listener : bound) {
    text += (listener.route->name.empty() ? "-" : listener.route->name) + " " +
            (listener.implicitTls ? "listen-tls " : "listen ") + std::to_string(listener.port) +
            "\n";
  }
  return text;
}
