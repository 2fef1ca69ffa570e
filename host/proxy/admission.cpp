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

// "192.0.2.1:4321" -> "192.0.2.1", "[2001:db8::1]:25" -> "[2001:db8::1]".
std::string AddressOf(const std::string& peer) {
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

}  // namespace

void Admission::TurnAway(NetSocket socket, const char* reply) {
  NetSend(socket, reply, static_cast<int>(std::strlen(reply)));
  NetShutdownSend(socket);
  NetClose(socket);
}

bool Admission::Admit(NetSocket socket, const std::string& rawPeer, Client* client) {
  const ProxySettings& settings = m_context->settings;
  // Behind a balancer the peer is the balancer: the client's address is
  // counted once its PROXY header has been read (AdmitFromBalancer).
  const std::string address = settings.proxyProtocol ? "" : AddressOf(rawPeer);
  bool admitted = false;
  bool overAddress = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int& fromAddress = m_perAddress[address];
    if (m_active >= settings.maxConnections) {
      // refused below
    } else if (!address.empty() && fromAddress >= settings.maxPerAddress) {
      overAddress = true;
    } else {
      ++m_active;
      if (!address.empty()) ++fromAddress;
      admitted = true;
    }
    if (fromAddress == 0) m_perAddress.erase(address);
  }
  if (overAddress) {
    ++m_context->counters.perAddress;
    m_context->log->Line("refused %s: %d connections open from its address (--max-per-address)",
                         LogSafe(rawPeer).c_str(), settings.maxPerAddress);
    TurnAway(socket, "421 4.7.0 Too many connections from your address\r\n");
    return false;
  }
  if (!admitted) {
    ++m_context->counters.rejected;
    m_context->log->Line("refused %s: %d connections open (--max-connections)",
                         LogSafe(rawPeer).c_str(), settings.maxConnections);
    TurnAway(socket, "421 4.3.2 Too many connections, try again later\r\n");
    return false;
  }
  client->address = address;
  client->ip = AddressOf(rawPeer);
  if (client->ip.size() > 1 && client->ip.front() == '[') {
    client->ip = client->ip.substr(1, client->ip.size() - 2);
  }
  return true;
}

void Admission::Release(const std::string& address) {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_active;
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

bool Admission::AdmitFromBalancer(Connection* c) {
  ProxyHeader header;
  std::string error;
  if (!ReadProxyHeader(c->clientStream.Socket(), kProxyHeaderTimeoutMs, &m_context->abort, &header,
                       &error)) {
    ++m_context->counters.badProxyHeader;
    m_context->log->Line("%s from %s: closed: %s (--proxy-protocol)", c->Label().c_str(),
                         c->peer.c_str(), LogSafe(error).c_str());
    c->clientStream.Close();
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
    m_context->log->Line("refused %s: %d connections open from its address (--max-per-address)",
                         c->peer.c_str(), m_context->settings.maxPerAddress);
    TurnAway(c->clientStream.Socket(), "421 4.7.0 Too many connections from your address\r\n");
    return false;
  }
  c->address = address;
  return true;
}
