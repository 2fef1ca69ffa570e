// The connection pump. See pump.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/pump.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/proxy/client_origin.h"
#include "host/proxy/client_starttls.h"
#include "host/proxy/upstream_tls.h"

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
// How often a server that does not offer XCLIENT is named in the log.
constexpr auto kXclientWarnEvery = std::chrono::minutes(1);
// Destinations remembered as not offering XCLIENT, at most; then forgotten
// together (each costs one more attempt).
constexpr size_t kMaxXclientOff = 4096;

// "; TLS client TLSv1.3 TLS_AES_256_GCM_SHA384, server TLSv1.2 ..." for the
// legs that speak TLS; empty when neither does.
std::string TlsLegs(const TlsSession* client, const TlsSession* server) {
  std::string text;
  const TlsSession* legs[] = {client, server};
  const char* names[] = {"client", "server"};
  for (int i = 0; i < 2; ++i) {
    if (legs[i] == nullptr || !legs[i]->HandshakeDone()) continue;
    text += text.empty() ? "; TLS " : ", ";
    text += std::string(names[i]) + " " + legs[i]->Version() + " " + legs[i]->Cipher();
    if (legs[i]->Resumed()) text += " resumed";
  }
  return text;
}
}  // namespace

void Pump::Serve(Connection* c) {
  BindConnectionThread(c);
  if ((!c->header.awaiting || m_admission->AwaitHeader(c)) && ImplicitTls(c, true) &&
      m_admission->HandshakeDone(c) && SetUp(c, true) == Opening::kGoing) {
    Relay(c);
  }
  Retire(c);
}

Pump::Opening Pump::Open(Connection* c) {
  // The PROXY header is read as it arrives: until it is whole the loop
  // watches the client, and the next round comes back here.
  if (c->header.awaiting) {
    const Admission::HeaderStep step = m_admission->HeaderRound(c);
    if (step == Admission::HeaderStep::kMore) return Opening::kWaiting;
    if (step == Admission::HeaderStep::kEnded) return Opening::kEnded;
  }
  // TLS before the greeting: the handshake, as its bytes come, before the
  // upstream is set up (and after the PROXY header, which is plain text).
  if (!ImplicitTls(c, false)) return Opening::kEnded;
  if (c->clientTls.handshake.awaiting) return Opening::kWaiting;
  if (!m_admission->HandshakeDone(c)) return Opening::kEnded;
  return SetUp(c, false);
}

bool Pump::ImplicitTls(Connection* c, bool wait) {
  if (!c->clientTls.implicit) return true;
  if (c->clientStream.Tls() == nullptr && !StartClientTls(c)) {
    c->clientStream.Close();
    return false;
  }
  // No SMTP reply is possible when it fails: the client hears no plain
  // text on a TLS port.
  if (ClientHandshake(c, wait) != TlsStep::kEnded) return true;
  c->clientStream.Close();
  return false;
}

const char* Pump::StartTlsRound(Connection* c) {
  if (c->clientTls.handshake.awaiting) {
    const TlsStep step = ClientHandshake(c, false);
    if (step == TlsStep::kMore) return nullptr;
    if (step == TlsStep::kEnded) {
      // A client in the middle of a handshake can be told nothing.
      c->dialogue.MarkToldClosing();
      return "TLS handshake with the client failed";
    }
    GateHandshakeDone(c);
    c->state.client = PumpState::ClientSide::kReading;
    return nullptr;
  }
  ClientTlsGate* const gate = c->clientTls.startTls.gate.get();
  if (gate == nullptr || !gate->WantsHandshake() || c->clientStream.Tls() != nullptr) {
    return nullptr;
  }
  // What the client sent after STARTTLS is never executed: it was sent
  // before the handshake (RFC 3207 section 4).
  GateDropHeld(c);
  if (!StartClientTls(c)) return "TLS not started";
  c->state.client = PumpState::ClientSide::kReading;
  return StartTlsRound(c);
}

bool Pump::StartClientTls(Connection* c) {
  const std::shared_ptr<const TlsContext> context = c->route->serverTls.Current();
  std::string error = "no certificate";
  std::unique_ptr<TlsSession> session = context ? TlsSession::Server(context, &error) : nullptr;
  if (!session) {
    m_context->log->Line("%s from %s: TLS not started (%s)", c->Label().c_str(), c->peer.c_str(),
                         error.c_str());
    ++m_context->counters.tlsFailures[kTlsClientSide][static_cast<int>(TlsFailure::kInternal)];
    return false;
  }
  c->clientStream.StartTls(std::move(session));
  c->clientTls.handshake.awaiting = true;
  c->clientTls.handshake.due =
      Clock::now() + std::chrono::milliseconds(m_context->settings.tlsHandshakeTimeoutMs);
  return true;
}

Pump::TlsStep Pump::ClientHandshake(Connection* c, bool wait) {
  if (!c->clientTls.handshake.awaiting) return TlsStep::kDone;
  Stream::HandshakeResult result = Stream::HandshakeResult::kMore;
  if (wait) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        c->clientTls.handshake.due - Clock::now());
    result = c->clientStream.Handshake(static_cast<int>(std::max<long long>(0, left.count())),
                                       &m_context->abort);
  } else {
    result = c->clientStream.HandshakeStep();
  }
  if (result == Stream::HandshakeResult::kMore && Clock::now() < c->clientTls.handshake.due &&
      !m_context->abort.load()) {
    return TlsStep::kMore;
  }
  c->clientTls.handshake.awaiting = false;
  if (result == Stream::HandshakeResult::kDone) {
    ++m_context->counters.tlsHandshakes[kTlsClientSide];
    return TlsStep::kDone;
  }
  HandshakeFailed(c, kTlsClientSide, c->clientStream.Tls(),
                  result == Stream::HandshakeResult::kMore);
  return TlsStep::kEnded;
}

void Pump::HandshakeFailed(Connection* c, int side, const TlsSession* session, bool timedOut) {
  const TlsFailure failure = session != nullptr ? session->Failure() : TlsFailure::kNone;
  std::string why;
  if (timedOut) {
    ++m_context->counters.tlsTimeouts[side];
    why = "no handshake within " + std::to_string(m_context->settings.tlsHandshakeTimeoutMs) +
          " ms (--tls-handshake-timeout)";
  } else {
    ++m_context->counters.tlsFailures[side][static_cast<int>(failure)];
    why = failure == TlsFailure::kNone ? std::string("the peer closed the connection")
                                       : session->FailureText();
  }
  m_context->log->Line("%s from %s: TLS handshake with the %s failed: %s", c->Label().c_str(),
                       c->peer.c_str(), side == kTlsClientSide ? "client" : "server",
                       LogSafe(why).c_str());
}

Pump::Opening Pump::SetUp(Connection* c, bool wait) {
  std::string error;
  if (c->upstreamSetUp == nullptr) {
    const RouteSettings& route = c->route->settings;
    if (route.originalDestination) {
      if (!m_admission->AdmitRedirected(c)) return Opening::kEnded;
    } else {
      c->destination.upstream = route.upstream;
    }
    ++m_context->counters.connections;
    ++c->route->counters.connections;
    c->serverStream.Attach(NetConnect(c->destination.upstream.host, c->destination.upstream.port,
                                      m_context->settings.connectTimeoutMs, &error));
    if (c->serverStream.Socket() != kNetInvalidSocket && route.upstreamTls != UpstreamTls::kNone) {
      // The server's greeting, EHLO, STARTTLS and the handshake, as the
      // server's bytes come: on an event loop no thread waits for them.
      c->upstreamSetUp = std::make_unique<UpstreamTlsSetUp>(
          &c->serverStream, route.upstreamTls, c->route->upstreamTls,
          route.upstreamTlsName.empty() ? c->destination.upstream.host : route.upstreamTlsName,
          m_context->settings.connectTimeoutMs, m_context->settings.tlsHandshakeTimeoutMs);
    }
  }
  if (c->upstreamSetUp != nullptr) {
    UpstreamTlsSetUp* const setUp = c->upstreamSetUp.get();
    if (wait) {
      setUp->Run(&m_context->abort);
    } else if (!setUp->Step(&m_context->abort)) {
      return Opening::kWaiting;
    }
    const UpstreamTlsOutcome outcome = setUp->Outcome();
    c->upstreamSetUp.reset();
    if (!UpstreamSecured(c, outcome, &error)) return Opening::kEnded;
  }
  if (c->serverStream.Socket() != kNetInvalidSocket && m_context->settings.upstreamXclient) {
    LoopGroup::LeaveBeforeWaiting();  // for the server's answers
    if (!IntroduceClient(c, &error)) return Opening::kEnded;
  }
  if (c->serverStream.Socket() == kNetInvalidSocket) {
    ++m_context->counters.upstreamFailed;
    m_context->log->Line("%s from %s: upstream %s unreachable (%s); answered 421",
                         c->Label().c_str(), c->peer.c_str(),
                         EndpointText(c->destination.upstream).c_str(), error.c_str());
    static const char kUnavailable[] =
        "421 4.4.0 Upstream mail server unavailable, try again later\r\n";
    c->clientStream.SendAll(kUnavailable, sizeof kUnavailable - 1, 5000, &m_context->abort);
    c->clientStream.LingeringClose(kLingerMs);
    return Opening::kEnded;
  }
  Begin(c);
  return Opening::kGoing;
}

bool Pump::SecureUpstream(Connection* c, std::string* error) {
  const RouteSettings& route = c->route->settings;
  const std::string name =
      route.upstreamTlsName.empty() ? c->destination.upstream.host : route.upstreamTlsName;
  LoopGroup::LeaveBeforeWaiting();  // for the server's answers and the handshake
  return UpstreamSecured(
      c,
      StartUpstreamTls(&c->serverStream, route.upstreamTls, c->route->upstreamTls, name,
                       m_context->settings.connectTimeoutMs,
                       m_context->settings.tlsHandshakeTimeoutMs, &m_context->abort),
      error);
}

bool Pump::UpstreamSecured(Connection* c, const UpstreamTlsOutcome& outcome, std::string* error) {
  const RouteSettings& route = c->route->settings;
  if (outcome.result == UpstreamTlsOutcome::kTls) {
    ++m_context->counters.tlsHandshakes[kTlsServerSide];
    return true;
  }
  if (outcome.result == UpstreamTlsOutcome::kPlain) return true;
  if (outcome.handshake) {
    if (outcome.timedOut) {
      ++m_context->counters.tlsTimeouts[kTlsServerSide];
    } else {
      ++m_context->counters.tlsFailures[kTlsServerSide][static_cast<int>(outcome.failure)];
    }
  }
  const std::string upstream = EndpointText(c->destination.upstream);
  // The server's socket is closed below, perhaps while a loop watches it.
  c->ServerSocketClosing();
  if (outcome.result == UpstreamTlsOutcome::kRetryPlain) {
    // Opportunistic TLS (RFC 7435): a server whose TLS fails still gets
    // the mail, in plain text, once.
    m_context->log->Line(
        "%s from %s: upstream %s: %s; connecting again without TLS (--upstream-tls may)",
        c->Label().c_str(), c->peer.c_str(), upstream.c_str(), LogSafe(outcome.reason).c_str());
    c->serverStream.Close();
    c->serverStream.Attach(NetConnect(c->destination.upstream.host, c->destination.upstream.port,
                                      m_context->settings.connectTimeoutMs, error));
    return true;
  }
  // TLS required and not to be had: never plain text instead, and never
  // silence.
  ++m_context->counters.upstreamFailed;
  m_context->log->Line("%s from %s: upstream %s: %s; answered 421 (--upstream-tls %s)",
                       c->Label().c_str(), c->peer.c_str(), upstream.c_str(),
                       LogSafe(outcome.reason).c_str(), UpstreamTlsName(route.upstreamTls));
  c->serverStream.ShutdownBoth();
  c->serverStream.Close();
  c->serverStream.Attach(kNetInvalidSocket);
  c->clientStream.SendAll(outcome.reply.data(), outcome.reply.size(), 5000, &m_context->abort);
  c->clientStream.LingeringClose(kLingerMs);
  return false;
}

void Pump::Retire(Connection* c) {
  --m_context->counters.open;
  --c->route->counters.open;
  BindConnectionThread(nullptr);
  m_admission->DestinationEnded(c);
  const std::string address = c->address;
  const bool awaitingHeader = c->header.awaiting;
  const bool awaitingHandshake = c->clientTls.budgeted;
  delete c;
  m_admission->Release(address, awaitingHeader, awaitingHandshake);
}

void Pump::CloseSpentSession(Connection* c) {
  static const char kQuit[] = "QUIT\r\n";
  c->serverStream.Send(kQuit, sizeof kQuit - 1);
  c->serverStream.ShutdownSend();
  c->serverStream.Close();
  c->serverStream.Attach(kNetInvalidSocket);
}

bool Pump::IntroduceClient(Connection* c, std::string* error) {
  const ProxySettings& settings = m_context->settings;
  Logger* const log = m_context->log;
  // Intercepted connections go to servers on the Internet, which offer
  // XCLIENT to nobody and give the gateway no standing of its own: those
  // go on without it.
  const bool anyServer = c->route->settings.originalDestination;
  if (anyServer && XclientOff(c)) return true;
  std::string detail;
  // Over TLS (--upstream-tls) the introduction runs inside the session.
  // When --upstream-tls may ended in plain text the host has read the
  // greeting already and keeps it in the stream: read there too, never
  // waited for again on the socket.
  const XclientResult result =
      c->serverStream.Tls() != nullptr || c->serverStream.Buffered()
          ? SendXclient(&c->serverStream, kXclientHelo, c->clientIp, "[UNAVAILABLE]",
                        settings.connectTimeoutMs, &m_context->abort, &detail)
          : SendXclient(c->serverStream.Socket(), kXclientHelo, c->clientIp, "[UNAVAILABLE]",
                        settings.connectTimeoutMs, &m_context->abort, &detail);
  if (result == XclientResult::kSent || result == XclientResult::kNoGreeting) return true;
  if (anyServer && result == XclientResult::kNotOffered) {
    if (MarkXclientOff(c)) {
      log->Line(
          "upstream %s does not offer XCLIENT; its clients go on without it "
          "(--upstream-xclient)",
          EndpointText(c->destination.upstream).c_str());
    }
    CloseSpentSession(c);
    c->serverStream.Attach(NetConnect(c->destination.upstream.host, c->destination.upstream.port,
                                      settings.connectTimeoutMs, error));
    // The new session takes TLS as the first did.
    if (c->serverStream.Socket() != kNetInvalidSocket &&
        c->route->settings.upstreamTls != UpstreamTls::kNone) {
      return SecureUpstream(c, error);
    }
    return true;
  }
  // The operator asked for XCLIENT: without it the server would take this
  // client for the proxy, with whatever trust the proxy's address has. The
  // client is turned away; the next one tries again.
  if (result == XclientResult::kNotOffered) {
    // The server's setup, not this client's: said once a minute, not per
    // client.
    int refused = 0;
    bool say = false;
    {
      std::lock_guard<std::mutex> lock(m_xclientMutex);
      ++m_xclientRefused;
      const Clock::time_point now = Clock::now();
      if (m_xclientWarned == Clock::time_point() || now - m_xclientWarned >= kXclientWarnEvery) {
        m_xclientWarned = now;
        refused = m_xclientRefused;
        m_xclientRefused = 0;
        say = true;
      }
    }
    if (say) {
      log->Line(
          "upstream %s does not advertise XCLIENT; %d client(s) answered 421 since the "
          "last notice: enable XCLIENT for this host there, or drop "
          "--upstream-xclient",
          EndpointText(c->destination.upstream).c_str(), refused);
    }
  } else {
    log->Line("%s from %s: XCLIENT to upstream %s %s: %s; answered 421 (--upstream-xclient)",
              c->Label().c_str(), c->peer.c_str(), EndpointText(c->destination.upstream).c_str(),
              result == XclientResult::kRefused ? "refused" : "failed", LogSafe(detail).c_str());
  }
  CloseSpentSession(c);
  ++m_context->counters.upstreamFailed;
  const std::string reply = XclientRefusalReply(result, detail);
  c->clientStream.SendAll(reply.data(), reply.size(), 5000, &m_context->abort);
  c->clientStream.LingeringClose(kLingerMs);
  return false;
}

// Intercepted connections go to many servers, most of which offer XCLIENT
// to nobody, and each answers for itself.
bool Pump::XclientOff(const Connection* c) const {
  std::lock_guard<std::mutex> lock(m_xclientMutex);
  return m_xclientOffAt.count(EndpointText(c->destination.upstream)) > 0;
}

bool Pump::MarkXclientOff(const Connection* c) {
  std::lock_guard<std::mutex> lock(m_xclientMutex);
  if (m_xclientOffAt.size() >= kMaxXclientOff) m_xclientOffAt.clear();
  return m_xclientOffAt.insert(EndpointText(c->destination.upstream)).second;
}

const char* Pump::TimeLimitReached(Connection* c, bool clientOpen) {
  const Clock::time_point now = Clock::now();
  if (now - c->start >= std::chrono::milliseconds(m_context->settings.sessionTimeoutMs)) {
    return "session time-out (--session-timeout)";
  }
  const auto quiet = now - c->dialogue.Progress();
  if (!clientOpen) return nullptr;  // the close grace applies
  if (c->dialogue.InData()) {
    if (quiet >= std::chrono::milliseconds(m_context->settings.dataTimeoutMs)) {
      return "data time-out: nothing from the client while its message arrived "
             "(--data-timeout)";
    }
  } else if (c->dialogue.Awaiting()) {
    if (quiet >= std::chrono::milliseconds(m_context->settings.idleTimeoutMs)) {
      return "server time-out: an answer owed for too long (--idle-timeout)";
    }
  } else if (quiet >= std::chrono::milliseconds(m_context->settings.commandTimeoutMs)) {
    return "command time-out: no complete command from the client (--command-timeout)";
  }
  return nullptr;
}

void Pump::Begin(Connection* c) {
  c->client.m_nHostWord0 = c->id;
  c->client.m_hSocket = static_cast<SOCKET>(c->clientStream.Socket());
  c->server.m_nHostWord0 = c->id;
  c->server.m_hSocket = static_cast<SOCKET>(c->serverStream.Socket());
  m_context->plugin.OnNewConnection(c->id, &c->client);
  PumpState& pump = c->state;
  pump.grace = std::chrono::milliseconds(m_context->settings.closeGraceMs);
  pump.peek = m_context->settings.socketService == SocketService::kPlugin;
  pump.peekBuffer.resize(pump.peek ? kPeekBytes : 0);
  c->dialogue.SetRepliesUnseen(pump.peek);
  // A route with a certificate: the host offers STARTTLS and takes it (the
  // options keep TLS from the plug-in's own socket road).
  if (!pump.peek && c->route->serverTls.Current() != nullptr) {
    c->clientTls.startTls.gate = std::make_unique<ClientTlsGate>(GateSettings(*c));
  }
}

Clock::time_point Pump::Wants(const Connection* c, Clock::time_point now, bool* client,
                              bool* server) const {
  const PumpState& pump = c->state;
  *client = pump.client == PumpState::ClientSide::kReading;
  *server = pump.server == PumpState::ServerSide::kReading;
  Clock::time_point wake = now + kPollSlice;
  // Plaintext waiting inside a TLS engine, or client bytes the STARTTLS
  // gate holds for the plug-in: no socket will say so.
  if ((*client && (c->clientStream.Buffered() || GateHolds(*c))) ||
      (*server && c->serverStream.Buffered())) {
    wake = now;
  }
  // The client's STARTTLS handshake: its socket, and its time-out.
  if (c->clientTls.handshake.awaiting) {
    *client = true;
    wake = std::min(wake, c->clientTls.handshake.due);
  }
  if (pump.client == PumpState::ClientSide::kHeld)
    wake = std::min(wake, pump.clientHeldAt + kHoldRetry);
  if (pump.server == PumpState::ServerSide::kHeld)
    wake = std::min(wake, pump.serverHeldAt + kHoldRetry);
  if (pump.client == PumpState::ClientSide::kDrained) wake = std::min(wake, pump.graceEnd);
  return wake;
}

const char* Pump::Step(Connection* c, bool clientReadable, bool serverReadable) {
  if (m_context->abort.load()) return "cut at shutdown";
  PumpState& pump = c->state;
  const Clock::time_point now = Clock::now();
  // The client's STARTTLS handshake runs here, the plug-in not called for
  // the client meanwhile.
  const char* reason = StartTlsRound(c);
  if (reason != nullptr) return reason;
  // Plaintext already decrypted is readable whatever the socket says.
  clientReadable = clientReadable || c->clientStream.Buffered() || GateHolds(*c);
  serverReadable = serverReadable || c->serverStream.Buffered();
  const bool serverDue =
      (serverReadable && pump.server == PumpState::ServerSide::kReading) ||
      (pump.server == PumpState::ServerSide::kHeld && now >= pump.serverHeldAt + kHoldRetry);
  const bool clientDue =
      (clientReadable && pump.client == PumpState::ClientSide::kReading) ||
      (pump.client == PumpState::ClientSide::kHeld && now >= pump.clientHeldAt + kHoldRetry);
  if (serverDue) {
    reason = ServerTurn(c, &pump, now);
    if (reason == nullptr) reason = StartTlsRound(c);
    if (reason != nullptr) return reason;
  }
  if (clientDue && pump.client != PumpState::ClientSide::kDrained &&
      !c->clientTls.handshake.awaiting) {
    reason = ClientTurn(c, &pump);
    if (reason == nullptr) reason = StartTlsRound(c);
    if (reason != nullptr) return reason;
  }
  // Between rounds an idle TLS session holds no record buffer: taken and
  // given back at most once a round, never per record or per send.
  c->clientStream.ReleaseIdleBuffers();
  c->serverStream.ReleaseIdleBuffers();
  // Likewise the room the STARTTLS gate reads into, once it holds nothing.
  std::string& held = c->clientTls.startTls.held;
  if (held.empty() && held.capacity() > std::string().capacity()) std::string().swap(held);
  return LimitReached(c, pump, &pump.timedOut);
}

void Pump::Relay(Connection* c) {
  const char* reason = nullptr;
  while (reason == nullptr) {
    NetPollItem items[2];
    size_t count = 0;
    int clientItem = -1;
    int serverItem = -1;
    bool client = false;
    bool server = false;
    const Clock::time_point now = Clock::now();
    const Clock::time_point wake = Wants(c, now, &client, &server);
    if (client) {
      clientItem = static_cast<int>(count);
      items[count++] = NetPollItem{c->clientStream.Socket(), kNetIn, 0};
    }
    if (server) {
      serverItem = static_cast<int>(count);
      items[count++] = NetPollItem{c->serverStream.Socket(), kNetIn, 0};
    }
    // Rounded up, not to poll again with no wait until the wake is due.
    const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    if (!m_context->abort.load() &&
        NetPoll(items, count, timeout > 0 ? static_cast<int>(timeout) : 0) < 0) {
      reason = "poll failed";
      break;
    }
    reason = Step(c, clientItem >= 0 && items[clientItem].revents != 0,
                  serverItem >= 0 && items[serverItem].revents != 0);
  }
  End(c, reason, true);
}

void Pump::AnswerOwedReply(Connection* c) {
  if (c->dialogue.ToldClosing()) return;
  // A client still there that was not told of the end (221, 421) is owed
  // an answer to whatever it sends next: a server that closed right after
  // its greeting must not leave it to find a closed connection.
  const bool clientOpen = c->state.client != PumpState::ClientSide::kDrained;
  if (!c->dialogue.Owed() && !clientOpen) return;
  const char* reply = m_context->abort.load() ? kShutdownReply : kServerClosedReply;
  c->clientStream.SendAll(reply, std::strlen(reply), 5000, nullptr);
  c->dialogue.MarkToldClosing();
}

void Pump::End(Connection* c, const char* reason, bool lingerHere) {
  m_context->plugin.OnEndConnection(&c->client);
  // Each leg's TLS, read before the sessions go with the sockets.
  const std::string tls = TlsLegs(c->clientStream.Tls(), c->serverStream.Tls());
  AnswerOwedReply(c);
  c->message.Check("connection ended before delivery");
  // Server first: a server that did not close yet learns that we are done.
  c->serverStream.ShutdownSend();
  c->serverStream.Close();
  // The client has everything the server said; it sees the end of stream
  // after it instead of a reset.
  if (lingerHere) {
    c->clientStream.LingeringClose(kLingerMs);
  } else {
    c->clientStream.ShutdownSend();
  }
  m_context->log->Line(
      "%s from %s%s: %s%s after %.3f s; client->server %llu bytes, server->client %llu bytes, "
      "%d message(s)%s",
      c->Label().c_str(), c->peer.c_str(), c->destination.to.c_str(),
      c->state.timedOut ? "cut, " : "", reason,
      static_cast<double>(MillisecondsSince(c->start)) / 1000.0,
      static_cast<unsigned long long>(c->clientStream.Taken()),
      static_cast<unsigned long long>(c->serverStream.Taken()), c->messages, tls.c_str());
}

const char* Pump::ServerTurn(Connection* c, PumpState* pump, Clock::time_point now) {
  int peeked = 0;
  if (pump->peek) {
    peeked = std::max(0, c->serverStream.PeekData(pump->peekBuffer.data(), kPeekBytes));
  }
  c->clientStream.NewCall();
  c->serverStream.NewCall();
  const int n = m_context->plugin.OnRequestFromServer(&c->client, &c->server);
  c->serverStream.ReleaseSegments();
  if (pump->peek && n > 0) {
    c->dialogue.FromServer(pump->peekBuffer.data(), static_cast<size_t>(std::min(n, peeked)),
                           Clock::now(), &c->message);
    if (n > peeked) c->message.MarkUnseen();
  }
  c->message.Check(nullptr);
  WarnUnscanned(c);
  if (n > 0) {
    c->serverStream.CountTaken(static_cast<uint64_t>(n));
    m_context->counters.bytesFromServers += static_cast<uint64_t>(n);
  }
  if (!c->cut.empty()) return c->cut.c_str();
  // A server-side call is what the plug-in waits for before it takes client
  // input again.
  if (pump->client == PumpState::ClientSide::kHeld) pump->client = PumpState::ClientSide::kReading;
  pump->server = PumpState::ServerSide::kReading;
  if (n > 0) {
    if (pump->client == PumpState::ClientSide::kDrained)
      pump->graceEnd = Clock::now() + pump->grace;
    return nullptr;
  }
  // Nothing read although the socket was readable: end of stream, failure,
  // or input the plug-in chose to leave.
  const int peekResult = c->serverStream.Peek();
  if (peekResult == 0) return "server closed";
  if (peekResult == kNetError) return "server connection failed";
  if (peekResult > 0) {
    pump->server = PumpState::ServerSide::kHeld;
    pump->serverHeldAt = now;
  }
  return nullptr;
}

const char* Pump::ClientTurn(Connection* c, PumpState* pump) {
  int peeked = 0;
  if (pump->peek) {
    peeked = std::max(0, c->clientStream.PeekData(pump->peekBuffer.data(), kPeekBytes));
  }
  c->clientStream.NewCall();
  c->serverStream.NewCall();
  const int n = m_context->plugin.OnRequestFromApplication(&c->client, &c->server);
  c->serverStream.ReleaseSegments();
  if (pump->peek && n > 0) {
    c->dialogue.FromClient(pump->peekBuffer.data(), static_cast<size_t>(std::min(n, peeked)),
                           Clock::now());
    // The plug-in read past what the peek saw (bytes that arrived in
    // between). Unseen bytes of a message still count as a read; unseen
    // bytes of a command most likely end the line begun, which is then
    // dropped rather than glued to the next one.
    if (n > peeked) c->dialogue.LostSight(Clock::now());
  }
  WarnUnscanned(c);
  if (n > 0) {
    c->clientStream.CountTaken(static_cast<uint64_t>(n));
    m_context->counters.bytesFromClients += static_cast<uint64_t>(n);
  }
  if (!c->cut.empty()) return c->cut.c_str();
  if (n > 0) {
    pump->client = PumpState::ClientSide::kReading;
    return nullptr;
  }
  // The gate holds the client's next bytes until the plug-in has answered.
  if (GateHolds(*c)) {
    pump->client = PumpState::ClientSide::kHeld;
    pump->clientHeldAt = Clock::now();
    return nullptr;
  }
  const int peekResult = c->clientStream.Peek();
  if (peekResult == 0 || peekResult == kNetError) {
    // The plug-in has taken all the client sent. The server may still answer
    // what was relayed last (the "221" to QUIT): it gets the grace time,
    // renewed while it talks, or until it closes.
    pump->client = PumpState::ClientSide::kDrained;
    pump->clientEnd = peekResult == 0 ? "client closed" : "client connection failed";
    pump->graceEnd = Clock::now() + pump->grace;
  } else if (peekResult > 0) {
    pump->client = PumpState::ClientSide::kHeld;
    pump->clientHeldAt = Clock::now();
  } else {
    pump->client = PumpState::ClientSide::kReading;
  }
  return nullptr;
}

const char* Pump::LimitReached(Connection* c, const PumpState& pump, bool* timedOut) {
  const bool clientOpen = pump.client != PumpState::ClientSide::kDrained;
  // A message growing past the cap is cut before it fills the disk.
  if (clientOpen && c->dialogue.InData() && m_context->settings.maxMessageSize > 0 &&
      c->dialogue.DataBytes() > m_context->settings.maxMessageSize + kOversizeSlack) {
    ++m_context->counters.oversize;
    m_context->log->Line(
        "%s from %s: message over %llu bytes while it arrived (--max-message-size); "
        "answered 552",
        c->Label().c_str(), c->peer.c_str(),
        static_cast<unsigned long long>(m_context->settings.maxMessageSize));
    c->clientStream.SendAll(kOversizeReply, sizeof kOversizeReply - 1, 5000, &m_context->abort);
    c->dialogue.MarkToldClosing();
    return "message over --max-message-size";
  }
  if (!clientOpen && Clock::now() >= pump.graceEnd) return pump.clientEnd;
  const char* reason = TimeLimitReached(c, clientOpen);
  if (reason != nullptr) {
    *timedOut = true;
    ++m_context->counters.timedOut;
    static const char kTimeout[] = "421 4.4.2 Time limit exceeded, closing connection\r\n";
    c->clientStream.SendAll(kTimeout, sizeof kTimeout - 1, 5000, &m_context->abort);
    c->dialogue.MarkToldClosing();
  }
  return reason;
}

void Pump::WarnUnscanned(Connection* c) {
  // With pass the plug-in relays a message it cannot spool without a scan;
  // the host knows it by a message that ended with no scan of it.
  if (m_context->settings.onScanError != ScanErrorPolicy::kPass) return;
  const int pending = c->dialogue.MessagesEnded() - c->messages - c->unscannedWarned;
  for (int i = 0; i < pending; ++i) {
    ++m_context->counters.unscanned;
    m_context->log->Line(
        "WARNING: %s from %s: a message went to the server UNSCANNED: the plug-in could "
        "not spool it (--on-scan-error pass)",
        c->Label().c_str(), c->peer.c_str());
  }
  if (pending > 0) c->unscannedWarned += pending;
}
