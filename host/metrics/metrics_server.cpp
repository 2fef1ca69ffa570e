// The metrics and health endpoint. See metrics_server.h.
#include "host/metrics/metrics_server.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendTimeoutMs = 2000;
constexpr int kPollSliceMs = 250;

std::string Response(const char* status, const char* contentType, const std::string& body,
                     bool withBody, const char* extraHeader = nullptr) {
  std::string out = std::string("HTTP/1.1 ") + status + "\r\n";
  out += std::string("Content-Type: ") + contentType + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (extraHeader != nullptr) out += std::string(extraHeader) + "\r\n";
  out += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  if (withBody) out += body;
  return out;
}

const char kText[] = "text/plain; charset=utf-8";

// Where the request head ends (past its empty line), or npos. RFC 9112 2.2
// lets a recipient take a bare LF as a line end.
size_t HeadEnd(const std::string& data) {
  const size_t crlf = data.find("\r\n\r\n");
  const size_t lf = data.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf + 2 < lf)) return crlf + 4;
  return lf + 2;
}

void Answer(NetSocket socket, const std::string& response, const std::atomic<bool>* stop) {
  NetSendAll(socket, response.data(), response.size(), kSendTimeoutMs, stop);
  NetShutdownSend(socket);
  NetClose(socket);
}

}  // namespace

std::string MetricsHttpResponse(const std::string& head, const MetricsRegistry& registry,
                                const HealthCheck& health) {
  // Request line (RFC 9112 3): method SP target SP version.
  const size_t lineEnd = head.find('\n');
  std::string line = head.substr(0, lineEnd);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t space1 = line.find(' ');
  const size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos) {
    return Response("400 Bad Request", kText, "bad request\n", true);
  }
  const std::string method = line.substr(0, space1);
  std::string target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string version = line.substr(space2 + 1);
  if (version != "HTTP/1.0" && version != "HTTP/1.1") {
    return Response("505 HTTP Version Not Supported", kText, "HTTP/1.0 or HTTP/1.1 only\n", true);
  }
  const bool headOnly = method == "HEAD";
  if (method != "GET" && !headOnly) {
    return Response("405 Method Not Allowed", kText, "GET or HEAD only\n", true,
                    "Allow: GET, HEAD");
  }
  target = target.substr(0, target.find('?'));
  if (target == "/metrics") {
    return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", registry.Render(),
                    !headOnly);
  }
  if (target == "/healthz") {
    std::string detail;
    const bool healthy = health && health(&detail);
    return Response(healthy ? "200 OK" : "503 Service Unavailable", kText, detail + "\n",
                    !headOnly);
  }
  return Response("404 Not Found", kText, "not found\n", !headOnly);
}

MetricsServer::MetricsServer(const MetricsRegistry* registry, HealthCheck health)
    : m_registry(registry), m_health(std::move(health)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const Endpoint& where, uint16_t* boundPort, std::string* error) {
  bool badAddress = false;
  m_listener = NetListen(where.host, where.port, boundPort, &badAddress, error);
  if (m_listener == kNetInvalidSocket) return false;
  m_stop = false;
  m_thread = std::thread([this] { Run(); });
  return true;
}

void MetricsServer::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  NetClose(m_listener);
  m_listener = kNetInvalidSocket;
}

// Reads what the client has sent. True when the client is done with: its
// head answered, too large, or the connection gone.
bool MetricsServer::Serve(Client* client, char* buffer, size_t bufferSize) {
  for (;;) {
    const size_t room = kMaxRequest - client->data.size();
    const int n =
        NetRecv(client->socket, buffer, static_cast<int>(room < bufferSize ? room : bufferSize));
    if (n == kNetWouldBlock) return false;
    if (n <= 0) {
      NetClose(client->socket);
      return true;
    }
    const std::string response =
        TakeRequestBytes(&client->data, buffer, static_cast<size_t>(n), *m_registry, m_health);
    if (!response.empty()) {
      Answer(client->socket, response, &m_stop);
      return true;
    }
  }
}

std::string MetricsServer::TakeRequestBytes(std::string* head, const char* data, size_t length,
                                            const MetricsRegistry& registry,
                                            const HealthCheck& health) {
  head->append(data, length);
  const size_t end = HeadEnd(*head);
  if (end != std::string::npos) return MetricsHttpResponse(head->substr(0, end), registry, health);
  if (head->size() >= kMaxRequest) {
    return Response("431 Request Header Fields Too Large", kText, "request too large\n", true);
  }
  return "";
}

void MetricsServer::Run() {
  // Oldest first: a full server makes room by dropping the front.
  std::deque<Client> clients;
  std::vector<NetPollItem> items;
  char buffer[2048];
  while (!m_stop.load()) {
    items.clear();
    items.push_back({m_listener, kNetIn, 0});
    for (const Client& client : clients) items.push_back({client.socket, kNetIn, 0});
    // Woken in time for the first head deadline, so that a slow client is cut
    // when its second is up, not a slice later.
    int waitMs = kPollSliceMs;
    if (!clients.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            clients.front().deadline - Clock::now())
                            .count();
      waitMs = left < 0 ? 0 : left < waitMs ? static_cast<int>(left) : waitMs;
    }
    NetPoll(items.data(), items.size(), waitMs);

    const Clock::time_point now = Clock::now();
    // Reads first, before new connections can push anyone out: a client
    // accepted in the last round has its head read now. items[i + 1] is
    // clients[i] until the deque changes.
    for (size_t i = clients.size(); i-- > 0;) {
      Client& client = clients[i];
      bool done = items[i + 1].revents != 0 && Serve(&client, buffer, sizeof buffer);
      if (!done && now >= client.deadline) {
        Answer(client.socket, Response("408 Request Timeout", kText, "request timeout\n", true),
               &m_stop);
        done = true;
      }
      if (done) clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
    }

    if (items[0].revents == 0) continue;
    // At most kMaxClients a round: then no connection accepted in this round
    // is pushed out by another of the same round before its head was read.
    for (size_t accepted = 0; accepted < kMaxClients; ++accepted) {
      std::string peer;
      bool failed = false;
      const NetSocket socket = NetAccept(m_listener, &peer, &failed);
      if (socket == kNetInvalidSocket) {
        // Out of descriptors: the listener stays readable; do not spin.
        if (failed) std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
        break;
      }
      Client client;
      client.socket = socket;
      client.deadline = Clock::now() + std::chrono::milliseconds(kHeadDeadlineMs);
      // A health check sends its whole request at once: it is answered here
      // and never takes a place.
      if (Serve(&client, buffer, sizeof buffer)) continue;
      if (clients.size() >= kMaxClients) {
        // Full of unfinished heads: the oldest makes room. Refusing the new
        // one instead would let a few slow clients fail every health check,
        // and no answer here may say 503, which means "unhealthy".
        Answer(clients.front().socket,
               Response("408 Request Timeout", kText, "request timeout\n", true), &m_stop);
        clients.pop_front();
      }
      clients.push_back(std::move(client));
    }
  }
  for (const Client& client : clients) NetClose(client.socket);
}
