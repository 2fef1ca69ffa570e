// The connection pump: SetUp connects to the server; then the plug-in is
// called for whichever side is readable until a side ends, a time limit
// bites, the host cuts the connection or the proxy shuts down.
// PumpStep is one such round. Relay runs the rounds on the connection's own
// thread, waiting in poll; an event loop (event_loop.cpp) runs them for many
// connections on a few threads.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <algorithm>
#include <vector>

#include "host/proxy/client_origin.h"
#include "host/proxy/connection.h"

namespace {

// After the plug-in leaves readable input unread (it holds the client back
// until the server has answered), the side is not polled for readability
// until the other side's next call or this long, so the thread does not spin.
constexpr auto kHoldRetry = std::chrono::milliseconds(200);
// With --socket-service plugin the host peeks at this much of what waits.
constexpr int kPeekBytes = 65536;
// Client bytes while a message arrives beyond --max-message-size before the
// connection is cut without waiting for the end of the message (the spool
// file must not fill the disk).
constexpr uint64_t kOversizeSlack = 65536;
// The name the proxy gives in its own EHLO before XCLIENT.
const char kXclientHelo[] = "localhost";
}  // namespace

void Proxy::Serve(Connection* c) {
  BindConnectionThread(c);
  if (SetUp(c)) Relay(c);
  Retire(c);
}

bool Proxy::SetUp(Connection* c) {
  ++m_counters.open;
  if (m_settings.proxyProtocol) {
    LeaveLoopBeforeWaiting();  // for the header
    if (!AdmitFromBalancer(c)) return false;
  }
  if (m_settings.originalDestination && !AdmitRedirected(c)) return false;
  ++m_counters.connections;
  std::string error;
  c->serverSocket =
      NetConnect(c->upstream.host, c->upstream.port, m_settings.connectTimeoutMs, &error);
  if (c->serverSocket != kNetInvalidSocket && m_settings.upstreamXclient) {
    LeaveLoopBeforeWaiting();  // for the server's answers
    IntroduceClient(c, &error);
  }
  if (c->serverSocket == kNetInvalidSocket) {
    ++m_counters.upstreamFailed;
    m_log->Line("%s from %s: upstream %s unreachable (%s); answered 421", c->Label().c_str(),
                c->peer.c_str(), EndpointText(c->upstream).c_str(), error.c_str());
    static const char kUnavailable[] =
        "421 4.4.0 Upstream mail server unavailable, try again later\r\n";
    NetSendAll(c->clientSocket, kUnavailable, sizeof kUnavailable - 1, 5000, &m_abort);
    NetLingeringClose(c->clientSocket, kLingerMs);
    return false;
  }
  StartPump(c);
  return true;
}

void Proxy::Retire(Connection* c) {
  --m_counters.open;
  BindConnectionThread(nullptr);
  DestinationEnded(c);
  const std::string address = c->address;
  delete c;
  ConnectionEnded(address);
}

void Proxy::IntroduceClient(Connection* c, std::string* error) {
  if (XclientOff(c)) return;
  std::string detail;
  const XclientResult result =
      SendXclient(c->serverSocket, kXclientHelo, c->clientIp, "[UNAVAILABLE]",
                  m_settings.connectTimeoutMs, &m_abort, &detail);
  switch (result) {
    case XclientResult::kSent:
    case XclientResult::kNoGreeting:
      return;
    case XclientResult::kNotOffered:
    case XclientResult::kRefused:
      // The server's configuration, not this client's: said once, then no
      // longer tried.
      if (MarkXclientOff(c)) {
        m_log->Line("upstream %s: %s%s; going on without XCLIENT (--upstream-xclient)",
                    EndpointText(c->upstream).c_str(),
                    result == XclientResult::kRefused ? "XCLIENT refused: " : "",
                    LogSafe(detail).c_str());
      }
      break;
    case XclientResult::kFailed:
      m_log->Line("%s from %s: XCLIENT to the server failed (%s); connecting again without it",
                  c->Label().c_str(), c->peer.c_str(), LogSafe(detail).c_str());
      break;
  }
  // The session the introduction spent is ended; the client gets a fresh
  // one with its own greeting.
  static const char kQuit[] = "QUIT\r\n";
  NetSend(c->serverSocket, kQuit, sizeof kQuit - 1);
  NetShutdownSend(c->serverSocket);
  NetClose(c->serverSocket);
  c->serverSocket =
      NetConnect(c->upstream.host, c->upstream.port, m_settings.connectTimeoutMs, error);
}

void Proxy::ReleaseHeldSegments(Connection* c) {
  // A delivery ends within the plug-in's call: its last piece goes out now,
  // not when the kernel's hold expires.
  if (!c->holdingSegments) return;
  NetHoldPartialSegments(c->serverSocket, false);
  c->holdingSegments = false;
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

void Proxy::StartPump(Connection* c) {
  c->client.m_nHostWord0 = c->id;
  c->client.m_hSocket = static_cast<SOCKET>(c->clientSocket);
  c->server.m_nHostWord0 = c->id;
  c->server.m_hSocket = static_cast<SOCKET>(c->serverSocket);
  m_plugin.OnNewConnection(c->id, &c->client);
  Pump& pump = c->pump;
  pump.grace = std::chrono::milliseconds(m_settings.closeGraceMs);
  pump.peek = m_settings.socketService == SocketService::kPlugin;
  pump.peekBuffer.resize(pump.peek ? kPeekBytes : 0);
}

Clock::time_point Proxy::PumpWants(const Connection* c, Clock::time_point now, bool* client,
                                   bool* server) const {
  const Pump& pump = c->pump;
  *client = pump.client == Pump::ClientSide::kReading;
  *server = pump.server == Pump::ServerSide::kReading;
  Clock::time_point wake = now + kPollSlice;
  if (pump.client == Pump::ClientSide::kHeld) wake = std::min(wake, pump.clientHeldAt + kHoldRetry);
  if (pump.server == Pump::ServerSide::kHeld) wake = std::min(wake, pump.serverHeldAt + kHoldRetry);
  if (pump.client == Pump::ClientSide::kDrained) wake = std::min(wake, pump.graceEnd);
  return wake;
}

const char* Proxy::PumpStep(Connection* c, bool clientReadable, bool serverReadable) {
  if (m_abort.load()) return "cut at shutdown";
  Pump& pump = c->pump;
  const Clock::time_point now = Clock::now();
  const bool serverDue =
      (serverReadable && pump.server == Pump::ServerSide::kReading) ||
      (pump.server == Pump::ServerSide::kHeld && now >= pump.serverHeldAt + kHoldRetry);
  const bool clientDue =
      (clientReadable && pump.client == Pump::ClientSide::kReading) ||
      (pump.client == Pump::ClientSide::kHeld && now >= pump.clientHeldAt + kHoldRetry);
  const char* reason = nullptr;
  if (serverDue) {
    reason = ServerTurn(c, &pump, now);
    if (reason != nullptr) return reason;
  }
  if (clientDue && pump.client != Pump::ClientSide::kDrained) {
    reason = ClientTurn(c, &pump);
    if (reason != nullptr) return reason;
  }
  return LimitReached(c, pump, &pump.timedOut);
}

void Proxy::Relay(Connection* c) {
  const char* reason = nullptr;
  while (reason == nullptr) {
    NetPollItem items[2];
    size_t count = 0;
    int clientItem = -1;
    int serverItem = -1;
    bool client = false;
    bool server = false;
    const Clock::time_point now = Clock::now();
    const Clock::time_point wake = PumpWants(c, now, &client, &server);
    if (client) {
      clientItem = static_cast<int>(count);
      items[count++] = NetPollItem{c->clientSocket, kNetIn, 0};
    }
    if (server) {
      serverItem = static_cast<int>(count);
      items[count++] = NetPollItem{c->serverSocket, kNetIn, 0};
    }
    const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    if (!m_abort.load() && NetPoll(items, count, timeout > 0 ? static_cast<int>(timeout) : 0) < 0) {
      reason = "poll failed";
      break;
    }
    reason = PumpStep(c, clientItem >= 0 && items[clientItem].revents != 0,
                      serverItem >= 0 && items[serverItem].revents != 0);
  }
  EndPump(c, reason, true);
}

void Proxy::EndPump(Connection* c, const char* reason, bool lingerHere) {
  m_plugin.OnEndConnection(&c->client);
  CheckDelivery(c, "connection ended before delivery");
  // Server first: a server that did not close yet learns that we are done.
  NetShutdownSend(c->serverSocket);
  NetClose(c->serverSocket);
  // The client has everything the server said; it sees the end of stream
  // after it instead of a reset.
  if (lingerHere) {
    NetLingeringClose(c->clientSocket, kLingerMs);
  } else {
    NetShutdownSend(c->clientSocket);
  }
  m_log->Line(
      "%s from %s%s: %s%s after %.3f s; client->server %llu bytes, server->client %llu bytes, "
      "%d message(s)",
      c->Label().c_str(), c->peer.c_str(), c->to.c_str(), c->pump.timedOut ? "cut, " : "", reason,
      static_cast<double>(MillisecondsSince(c->start)) / 1000.0,
      static_cast<unsigned long long>(c->fromClient),
      static_cast<unsigned long long>(c->fromServer), c->messages);
}

const char* Proxy::ServerTurn(Connection* c, Pump* pump, Clock::time_point now) {
  int peeked = 0;
  if (pump->peek) {
    peeked = std::max(0, NetPeekData(c->serverSocket, pump->peekBuffer.data(), kPeekBytes));
  }
  c->clientDrained = c->serverDrained = false;
  const int n = m_plugin.OnRequestFromServer(&c->client, &c->server);
  ReleaseHeldSegments(c);
  if (pump->peek && n > 0) {
    FromServer(c, pump->peekBuffer.data(), static_cast<size_t>(std::min(n, peeked)));
    if (n > peeked) c->message.unseen = true;
  }
  CheckDelivery(c, nullptr);
  WarnUnscanned(c);
  if (n > 0) {
    c->fromServer += static_cast<uint64_t>(n);
    m_counters.bytesFromServers += static_cast<uint64_t>(n);
  }
  if (!c->cut.empty()) return c->cut.c_str();
  // A server-side call is what the plug-in waits for before it takes client
  // input again.
  if (pump->client == Pump::ClientSide::kHeld) pump->client = Pump::ClientSide::kReading;
  pump->server = Pump::ServerSide::kReading;
  if (n > 0) {
    if (pump->client == Pump::ClientSide::kDrained) pump->graceEnd = Clock::now() + pump->grace;
    return nullptr;
  }
  // Nothing read although the socket was readable: end of stream, failure,
  // or input the plug-in chose to leave.
  const int peekResult = NetPeek(c->serverSocket);
  if (peekResult == 0) return "server closed";
  if (peekResult == kNetError) return "server connection failed";
  if (peekResult > 0) {
    pump->server = Pump::ServerSide::kHeld;
    pump->serverHeldAt = now;
  }
  return nullptr;
}

const char* Proxy::ClientTurn(Connection* c, Pump* pump) {
  int peeked = 0;
  if (pump->peek) {
    peeked = std::max(0, NetPeekData(c->clientSocket, pump->peekBuffer.data(), kPeekBytes));
  }
  c->clientDrained = c->serverDrained = false;
  const int n = m_plugin.OnRequestFromApplication(&c->client, &c->server);
  ReleaseHeldSegments(c);
  if (pump->peek && n > 0) {
    FromClient(c, pump->peekBuffer.data(), static_cast<size_t>(std::min(n, peeked)));
    // Unseen bytes of a message still count as a read.
    if (n > peeked && c->inData) c->progress = Clock::now();
  }
  WarnUnscanned(c);
  if (n > 0) {
    c->fromClient += static_cast<uint64_t>(n);
    m_counters.bytesFromClients += static_cast<uint64_t>(n);
  }
  if (!c->cut.empty()) return c->cut.c_str();
  if (n > 0) {
    pump->client = Pump::ClientSide::kReading;
    return nullptr;
  }
  const int peekResult = NetPeek(c->clientSocket);
  if (peekResult == 0 || peekResult == kNetError) {
    // The plug-in has taken all the client sent. The server may still answer
    // what was relayed last (the "221" to QUIT): it gets the grace time,
    // renewed while it talks, or until it closes.
    pump->client = Pump::ClientSide::kDrained;
    pump->clientEnd = peekResult == 0 ? "client closed" : "client connection failed";
    pump->graceEnd = Clock::now() + pump->grace;
  } else if (peekResult > 0) {
    pump->client = Pump::ClientSide::kHeld;
    pump->clientHeldAt = Clock::now();
  } else {
    pump->client = Pump::ClientSide::kReading;
  }
  return nullptr;
}

const char* Proxy::LimitReached(Connection* c, const Pump& pump, bool* timedOut) {
  const bool clientOpen = pump.client != Pump::ClientSide::kDrained;
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
    return "message over --max-message-size";
  }
  if (!clientOpen && Clock::now() >= pump.graceEnd) return pump.clientEnd;
  const char* reason = TimeLimitReached(c, clientOpen);
  if (reason != nullptr) {
    *timedOut = true;
    ++m_counters.timedOut;
    static const char kTimeout[] = "421 4.4.2 Time limit exceeded, closing connection\r\n";
    NetSendAll(c->clientSocket, kTimeout, sizeof kTimeout - 1, 5000, &m_abort);
  }
  return reason;
}
