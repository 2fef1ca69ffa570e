// --upstream original-destination: a gateway whose firewall redirects the
// LAN's outgoing SMTP to the proxy. Each connection goes on to the address
// and port its client was going to; the loop guard and --max-per-destination
// decide first whether it may.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/admission.h"

#include <algorithm>
#include <cstring>

namespace {

// Through the client's stream: on an implicit-TLS listener the handshake
// is done by now, and the reply goes inside TLS.
void Refuse(Stream* client, const char* reply, const std::atomic<bool>* abort) {
  client->SendAll(reply, std::strlen(reply), 5000, abort);
  client->LingeringClose(kLingerMs);
}

}  // namespace

bool Admission::AdmitRedirected(Connection* c) {
  std::string error;
  Endpoint destination;
  if (!NetOriginalDestination(c->clientStream.Socket(), &destination, &error)) {
    m_context->log->Line("%s from %s: original destination unknown (%s); answered 421",
                         c->Label().c_str(), c->peer.c_str(), error.c_str());
    Refuse(&c->clientStream, "421 4.3.0 Temporary failure, try again later\r\n", &m_context->abort);
    return false;
  }
  c->destination.upstream = destination;
  const std::string where = EndpointText(destination);
  c->destination.to = " to " + where;
  // A client that came straight to the proxy (nothing was rewritten), or a
  // rule that sent a connection for one of the proxy's own addresses here:
  // connecting on would reach the proxy again, and again.
  // Any listener's port counts: another route's listener is the proxy too.
  const bool proxyPort = std::find(m_listenPorts.begin(), m_listenPorts.end(), destination.port) !=
                         m_listenPorts.end();
  if (proxyPort && NetIsLocalAddress(destination.host)) {
    ++m_context->counters.mailLoops;
    m_context->log->Line("%s from %s%s: that is this proxy; answered 421 mail loop",
                         c->Label().c_str(), c->peer.c_str(), c->destination.to.c_str());
    Refuse(&c->clientStream, "421 4.4.6 Mail loop detected\r\n", &m_context->abort);
    return false;
  }
  bool over = false;
  {
    std::lock_guard<std::mutex> lock(m_destinationMutex);
    int& open = m_perDestination[where];
    over =
        m_context->settings.maxPerDestination > 0 && open >= m_context->settings.maxPerDestination;
    if (!over) ++open;
  }
  if (over) {
    ++m_context->counters.perDestination;
    m_context->log->Line("refused %s%s: %d connections open to that server (--max-per-destination)",
                         c->peer.c_str(), c->destination.to.c_str(),
                         m_context->settings.maxPerDestination);
    Refuse(&c->clientStream, "421 4.4.5 Too many connections to that server\r\n",
           &m_context->abort);
    return false;
  }
  c->destination.counted = true;
  return true;
}

void Admission::DestinationEnded(Connection* c) {
  if (!c->destination.counted) return;
  std::lock_guard<std::mutex> lock(m_destinationMutex);
  auto it = m_perDestination.find(EndpointText(c->destination.upstream));
  if (it != m_perDestination.end() && --it->second <= 0) m_perDestination.erase(it);
}

std::vector<std::pair<std::string, int>> Admission::OpenByDestination() const {
  std::lock_guard<std::mutex> lock(m_destinationMutex);
  return {m_perDestination.begin(), m_perDestination.end()};
}
