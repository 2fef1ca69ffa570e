// Admission. See admission.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/admission.h"

#include <cstring>

#include "host/proxy/client_origin.h"

namespace {

// A balancer sends its PROXY header at once, before any client byte.
constexpr int kProxyHeaderTimeoutMs = 5000;
// Connections waiting for their header may be this many times
// --max-connections: they cost a descriptor and a small record each (and,
// without an event loop, a thread), and end within the header's time-out.
constexpr int kHeaderBudgetFactor = 4;
// Connections in an implicit-TLS handshake may likewise be this many times
// --max-connections: each holds a TLS session that has taken no buffer yet
// (a few KB) and ends within --tls-handshake-timeout.
constexpr int kHandshakeBudgetFactor = 4;

// "192.0.2.1:4321" -> "192.0.2.1", "[2001:db8::1]:25" -> "[2001:db8::1]".
std::string AddressOf(const std::string& peer) {
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

// "192.0.2.1:4321" -> "192.0.2.1", "[2001:db8::1]:25" -> "2001:db8::1".
std::string BareAddress(const std::string& peer) {
  std::string address = AddressOf(peer);
  if (address.size() > 1 && address.front() == '[') address = address.substr(1, address.size() - 2);
  return address;
}

}  // namespace

void Admission::TurnAway(NetSocket socket, const char* reply, bool implicitTls) {
  // A TLS client would take the reply for a broken record: it gets the
  // close alone (a handshake first would cost what the refusal saves).
  if (!implicitTls) NetSend(socket, reply, static_cast<int>(std::strlen(reply)));
  NetShutdownSend(socket);
  NetClose(socket);
}

bool Admission::Admit(NetSocket socket, const std::string& rawPeer, const Route* route,
                      bool implicitTls, Client* client) {
  const ProxySettings& settings = m_context->settings;
  Logger* const log = m_context->log;
  const std::string peer = LogSafe(rawPeer) + RouteTag(route);
  if (settings.proxyProtocol && !settings.proxyProtocolFrom.Empty() &&
      !settings.proxyProtocolFrom.Contains(BareAddress(rawPeer))) {
    // Its header would name whatever client it likes: not read at all.
    ++m_context->counters.badProxyHeader;
    log->Line("refused %s: not a balancer named by --proxy-protocol-from", peer.c_str());
    NetClose(socket);
    return false;
  }
  // Behind a balancer the peer is the balancer: the client's address is
  // counted once its PROXY header has been read (AdmitFromBalancer), and
  // until then the connection takes no slot under --max-connections, so
  // that idle connections without a header hold up no client.
  const bool header = settings.proxyProtocol;
  const std::string address = header ? "" : AddressOf(rawPeer);
  // Likewise a TLS client's slot is taken when its handshake is done.
  const bool handshake = implicitTls && !header;
  enum class Refusal {
    kNone,
    kConnections,
    kHeaders,
    kHandshakes,
    kAddress
  } refusal = Refusal::kNone;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int& fromAddress = m_perAddress[address];
    if (!handshake &&
        m_active - m_awaitingHeader - m_awaitingHandshake >= settings.maxConnections) {
      refusal = Refusal::kConnections;
    } else if (header && m_awaitingHeader >= HeaderBudget()) {
      refusal = Refusal::kHeaders;
    } else if (handshake && m_awaitingHandshake >= HandshakeBudget()) {
      refusal = Refusal::kHandshakes;
    } else if (!address.empty() && fromAddress >= settings.maxPerAddress) {
      refusal = Refusal::kAddress;
    } else {
      ++m_active;
      if (header) ++m_awaitingHeader;
      if (handshake) ++m_awaitingHandshake;
      if (!address.empty()) ++fromAddress;
    }
    if (fromAddress == 0) m_perAddress.erase(address);
  }
  if (refusal == Refusal::kAddress) {
    ++m_context->counters.perAddress;
    ++route->counters.perAddress;
    log->Line("refused %s: %d connections open from its address (--max-per-address)", peer.c_str(),
              settings.maxPerAddress);
    TurnAway(socket, "421 4.7.0 Too many connections from your address\r\n", implicitTls);
    return false;
  }
  if (refusal != Refusal::kNone) {
    ++m_context->counters.rejected;
    ++route->counters.maxConnections;
    if (refusal == Refusal::kHeaders) {
      log->Line(
          "refused %s: %d connections waiting for their PROXY header (%d x "
          "--max-connections)",
          peer.c_str(), HeaderBudget(), kHeaderBudgetFactor);
    } else if (refusal == Refusal::kHandshakes) {
      log->Line("refused %s: %d connections in their TLS handshake (%d x --max-connections)",
                peer.c_str(), HandshakeBudget(), kHandshakeBudgetFactor);
    } else {
      log->Line("refused %s: %d connections open (--max-connections)", peer.c_str(),
                settings.maxConnections);
    }
    TurnAway(socket, "421 4.3.2 Too many connections, try again later\r\n", implicitTls);
    return false;
  }
  client->address = address;
  client->ip = BareAddress(rawPeer);
  client->awaitingHeader = header;
  client->awaitingHandshake = handshake;
  client->headerDue =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kProxyHeaderTimeoutMs);
  return true;
}

int Admission::HeaderBudget() const {
  return kHeaderBudgetFactor * m_context->settings.maxConnections;
}

int Admission::HandshakeBudget() const {
  return kHandshakeBudgetFactor * m_context->settings.maxConnections;
}

bool Admission::HandshakeDone(Connection* c) {
  if (!c->clientTls.budgeted) return true;
  bool full = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_awaitingHandshake;
    c->clientTls.budgeted = false;
    full = m_active - m_awaitingHeader - m_awaitingHandshake > m_context->settings.maxConnections;
  }
  if (!full) return true;
  ++m_context->counters.rejected;
  ++c->route->counters.maxConnections;
  m_context->log->Line("refused %s%s: %d connections open (--max-connections)", c->peer.c_str(),
                       RouteTag(c->route).c_str(), m_context->settings.maxConnections);
  // The handshake is done: the client can be told, in TLS.
  static const char kFull[] = "421 4.3.2 Too many connections, try again later\r\n";
  c->clientStream.SendAll(kFull, sizeof kFull - 1, 5000, &m_context->abort);
  c->clientStream.LingeringClose(kLingerMs);
  return false;
}

void Admission::Release(const std::string& address, bool awaitingHeader, bool awaitingHandshake) {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_active;
  if (awaitingHeader) --m_awaitingHeader;
  if (awaitingHandshake) --m_awaitingHandshake;
  auto it = m_perAddress.find(address);
  if (it != m_perAddress.end() && --it->second <= 0) m_perAddress.erase(it);
  m_ended.notify_all();
}

int Admission::WaitForNone(std::chrono::steady_clock::time_point deadline,
                           const std::function<bool()>& stop) {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (m_active > 0 && std::chrono::steady_clock::now() < deadline && !stop()) {
    m_ended.wait_for(lock, std::chrono::milliseconds(100));
  }
  return m_active;
}

int Admission::Open() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_active;
}

void Admission::RefuseHeader(Connection* c, const std::string& why) {
  ++m_context->counters.badProxyHeader;
  m_context->log->Line("%s from %s: closed: %s (--proxy-protocol)", c->Label().c_str(),
                       c->peer.c_str(), LogSafe(why).c_str());
  c->clientStream.Close();
}

bool Admission::AwaitHeader(Connection* c) {
  ProxyHeader header;
  std::string error;
  if (!ReadProxyHeader(c->clientStream.Socket(), kProxyHeaderTimeoutMs, &m_context->abort, &header,
                       &error)) {
    RefuseHeader(c, error);
    return false;
  }
  return AdmitFromBalancer(c, header);
}

Admission::HeaderStep Admission::HeaderRound(Connection* c) {
  std::string error = "shutting down";
  const HeaderRead read = m_context->abort.load() ? HeaderRead::kFailed
                                                  : ReadProxyHeaderNow(c->clientStream.Socket(),
                                                                       &c->header.parser, &error);
  if (read == HeaderRead::kDone) {
    return AdmitFromBalancer(c, c->header.parser.Header()) ? HeaderStep::kAdmitted
                                                           : HeaderStep::kEnded;
  }
  if (read == HeaderRead::kMore) {
    if (std::chrono::steady_clock::now() < c->header.due) return HeaderStep::kMore;
    error = "no PROXY protocol header within " + std::to_string(kProxyHeaderTimeoutMs) + " ms";
  }
  RefuseHeader(c, error);
  return HeaderStep::kEnded;
}

bool Admission::AdmitFromBalancer(Connection* c, const ProxyHeader& header) {
  // The connection now takes its slot under --max-connections; others may
  // have taken the last one while its header arrived.
  // An implicit-TLS connection goes on to the handshakes' budget instead.
  const bool implicitTls = c->clientTls.implicit;
  bool full = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_awaitingHeader;
    c->header.awaiting = false;
    if (implicitTls) {
      full = m_awaitingHandshake >= HandshakeBudget();
      if (!full) ++m_awaitingHandshake;
      c->clientTls.budgeted = !full;
    } else {
      full = m_active - m_awaitingHeader - m_awaitingHandshake > m_context->settings.maxConnections;
    }
  }
  if (full) {
    ++m_context->counters.rejected;
    ++c->route->counters.maxConnections;
    if (implicitTls) {
      m_context->log->Line(
          "refused %s%s: %d connections in their TLS handshake (%d x --max-connections)",
          c->peer.c_str(), RouteTag(c->route).c_str(), HandshakeBudget(), kHandshakeBudgetFactor);
    } else {
      m_context->log->Line("refused %s%s: %d connections open (--max-connections)", c->peer.c_str(),
                           RouteTag(c->route).c_str(), m_context->settings.maxConnections);
    }
    TurnAway(c->clientStream.Socket(), "421 4.3.2 Too many connections, try again later\r\n",
             implicitTls);
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
    over = fromAddress >= m_context->settings.maxPerAddress;
    if (!over) ++fromAddress;
    if (fromAddress == 0) m_perAddress.erase(address);
  }
  if (over) {
    ++m_context->counters.perAddress;
    ++c->route->counters.perAddress;
    m_context->log->Line("refused %s%s: %d connections open from its address (--max-per-address)",
                         c->peer.c_str(), RouteTag(c->route).c_str(),
                         m_context->settings.maxPerAddress);
    TurnAway(c->clientStream.Socket(), "421 4.7.0 Too many connections from your address\r\n",
             implicitTls);
    return false;
  }
  c->address = address;
  return true;
}
