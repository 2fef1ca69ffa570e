// --upstream original-destination: a gateway whose firewall redirects the
// LAN's outgoing SMTP to the proxy. Each connection goes on to the address
// and port its client was going to; the loop guard and --max-per-destination
// decide first whether it may.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <cstring>

#include "host/proxy/connection.h"

namespace {

// Destinations remembered as not taking XCLIENT, at most; then forgotten
// together (each costs one more attempt).
constexpr size_t kMaxXclientOff = 4096;

void Refuse(NetSocket socket, const char* reply, const std::atomic<bool>* abort) {
  NetSendAll(socket, reply, std::strlen(reply), 5000, abort);
  NetLingeringClose(socket, kLingerMs);
}

}  // namespace

bool Proxy::AdmitRedirected(Connection* c) {
  std::string error;
  Endpoint destination;
  if (!NetOriginalDestination(c->clientSocket, &destination, &error)) {
    m_log->Line("%s from %s: original destination unknown (%s); answered 421", c->Label().c_str(),
                c->peer.c_str(), error.c_str());
    Refuse(c->clientSocket, "421 4.3.0 Temporary failure, try again later\r\n", &m_abort);
    return false;
  }
  c->upstream = destination;
  const std::string where = EndpointText(destination);
  c->to = " to " + where;
  // A client that came straight to the proxy (nothing was rewritten), or a
  // rule that sent a connection for one of the proxy's own addresses here:
  // connecting on would reach the proxy again, and again.
  if (destination.port == m_listenPort && NetIsLocalAddress(destination.host)) {
    ++m_counters.mailLoops;
    m_log->Line("%s from %s%s: that is this proxy; answered 421 mail loop", c->Label().c_str(),
                c->peer.c_str(), c->to.c_str());
    Refuse(c->clientSocket, "421 4.4.6 Mail loop detected\r\n", &m_abort);
    return false;
  }
  bool over = false;
  {
    std::lock_guard<std::mutex> lock(m_destinationMutex);
    int& open = m_perDestination[where];
    over = m_settings.maxPerDestination > 0 && open >= m_settings.maxPerDestination;
    if (!over) ++open;
  }
  if (over) {
    ++m_counters.perDestination;
    m_log->Line("refused %s%s: %d connections open to that server (--max-per-destination)",
                c->peer.c_str(), c->to.c_str(), m_settings.maxPerDestination);
    Refuse(c->clientSocket, "421 4.4.5 Too many connections to that server\r\n", &m_abort);
    return false;
  }
  c->destinationCounted = true;
  return true;
}

void Proxy::DestinationEnded(Connection* c) {
  if (!c->destinationCounted) return;
  std::lock_guard<std::mutex> lock(m_destinationMutex);
  auto it = m_perDestination.find(EndpointText(c->upstream));
  if (it != m_perDestination.end() && --it->second <= 0) m_perDestination.erase(it);
}

std::vector<std::pair<std::string, int>> Proxy::OpenByDestination() const {
  std::lock_guard<std::mutex> lock(m_destinationMutex);
  return {m_perDestination.begin(), m_perDestination.end()};
}

// With one --upstream the answer holds for every connection; intercepted
// connections go to many servers, and each answers for itself.
bool Proxy::XclientOff(const Connection* c) const {
  if (!m_settings.originalDestination) return m_xclientOff.load();
  std::lock_guard<std::mutex> lock(m_destinationMutex);
  return m_xclientOffAt.count(EndpointText(c->upstream)) > 0;
}

bool Proxy::MarkXclientOff(const Connection* c) {
  if (!m_settings.originalDestination) return !m_xclientOff.exchange(true);
  std::lock_guard<std::mutex> lock(m_destinationMutex);
  if (m_xclientOffAt.size() >= kMaxXclientOff) m_xclientOffAt.clear();
  return m_xclientOffAt.insert(EndpointText(c->upstream)).second;
}
