// The socket code both platforms share, built on the primitives of
// socket_api.h and the per-platform transfers of net.h.
#include <atomic>
#include <chrono>
#include <cstring>

#include "host/base/net.h"
#include "host/base/socket_api.h"

namespace {

// The stream-socket addresses of host and port, for freeaddrinfo; null with
// *error when the name does not resolve. A passive look-up of "" gives the
// wildcard addresses to listen on.
addrinfo* Resolve(const std::string& host, uint16_t port, bool passive, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const char* node = passive && host.empty() ? nullptr : host.c_str();
  const int rc = getaddrinfo(node, service.c_str(), &hints, &list);
  if (rc != 0) {
    *error = "cannot resolve '" + host + "': " + socket_api::ResolveErrorText(rc);
    return nullptr;
  }
  return list;
}

}  // namespace

bool socket_api::EndpointOf(const sockaddr* address, Endpoint* endpoint) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET) {
    auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, const_cast<in_addr*>(&in4->sin_addr), host, sizeof host);
    endpoint->port = ntohs(in4->sin_port);
  } else if (address->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&in6->sin6_addr);
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) {
      in_addr in4{};
      std::memcpy(&in4, bytes + sizeof kMapped, sizeof in4);
      inet_ntop(AF_INET, &in4, host, sizeof host);
    } else {
      inet_ntop(AF_INET6, const_cast<in6_addr*>(&in6->sin6_addr), host, sizeof host);
    }
    endpoint->port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  endpoint->host = host;
  return true;
}

std::string socket_api::AddressText(const sockaddr* address) {
  Endpoint endpoint;
  return EndpointOf(address, &endpoint) ? EndpointText(endpoint) : "?";
}

void socket_api::SetNoDelay(NetSocket socket) {
  int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

NetSocket NetListen(const std::string& host, uint16_t port, uint16_t* boundPort,
                    bool* resolveFailed, std::string* error) {
  addrinfo* list = Resolve(host, port, true, error);
  *resolveFailed = list == nullptr;
  if (list == nullptr) return kNetInvalidSocket;
  NetSocket s = kNetInvalidSocket;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    s = socket_api::Open(ai->ai_family, ai->ai_socktype, ai->ai_protocol, error);
    if (s == kNetInvalidSocket) continue;
    socket_api::PrepareListener(s);
    if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 &&
        listen(s, socket_api::kListenBacklog) == 0) {
      break;
    }
    *error = "cannot listen on " + socket_api::AddressText(ai->ai_addr) + ": " +
             socket_api::LastErrorText();
    socket_api::Close(s);
    s = kNetInvalidSocket;
  }
  freeaddrinfo(list);
  if (s == kNetInvalidSocket) return kNetInvalidSocket;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
  *boundPort = bound.ss_family == AF_INET6
                   ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                   : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return s;
}

namespace {

std::atomic<void (*)()> g_beforeWait{nullptr};

// An address literal resolves without asking anyone; a host name may wait
// for DNS. (A name has no ':', and is not digits and dots alone.)
bool IsAddressLiteral(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

void NetSetBeforeWait(void (*hook)()) { g_beforeWait = hook; }

void socket_api::BeforeWait() {
  void (*const hook)() = g_beforeWait.load(std::memory_order_relaxed);
  if (hook != nullptr) hook();
}

NetSocket NetConnect(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
  if (!IsAddressLiteral(host)) socket_api::BeforeWait();
  addrinfo* list = Resolve(host, port, false, error);
  if (list == nullptr) return kNetInvalidSocket;
  NetSocket s = kNetInvalidSocket;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    s = socket_api::Open(ai->ai_family, ai->ai_socktype, ai->ai_protocol, error);
    if (s == kNetInvalidSocket) continue;
    if (socket_api::Connect(s, ai->ai_addr, ai->ai_addrlen, timeoutMs, error)) break;
    socket_api::Close(s);
    s = kNetInvalidSocket;
  }
  freeaddrinfo(list);
  if (s == kNetInvalidSocket) return kNetInvalidSocket;
  socket_api::SetNoDelay(s);
  return s;
}

bool NetIsLocalAddress(const std::string& host) {
  std::string error;
  addrinfo* list = Resolve(host, 0, false, &error);
  if (list == nullptr) return false;
  const NetSocket s =
      socket_api::Open(list->ai_family, list->ai_socktype, list->ai_protocol, &error);
  const bool local =
      s != kNetInvalidSocket && bind(s, list->ai_addr, static_cast<int>(list->ai_addrlen)) == 0;
  if (s != kNetInvalidSocket) socket_api::Close(s);
  freeaddrinfo(list);
  return local;
}

NetSocket NetConnectUnix(const std::string& path, int timeoutMs, std::string* error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long";
    return kNetInvalidSocket;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const NetSocket s = socket_api::Open(AF_UNIX, SOCK_STREAM, 0, error);
  if (s == kNetInvalidSocket) {
    *error = socket_api::kNoUnixSockets + *error;
    return kNetInvalidSocket;
  }
  if (!socket_api::Connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address, timeoutMs,
                           error)) {
    socket_api::Close(s);
    return kNetInvalidSocket;
  }
  return s;
}

namespace {

// Waits are cut into slices so that a shutdown request is seen quickly.
constexpr int kSliceMs = 250;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool NetSendAll(NetSocket socket, const char* data, size_t length, int timeoutMs,
                const std::atomic<bool>* abort) {
  const int64_t deadline = NowMs() + timeoutMs;
  while (length > 0) {
    const int chunk = length > 0x10000000 ? 0x10000000 : static_cast<int>(length);
    const int n = NetSend(socket, data, chunk);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n != kNetWouldBlock) return false;
    socket_api::BeforeWait();
    for (;;) {
      if (abort != nullptr && abort->load()) return false;
      const int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      NetPollItem item{socket, kNetOut, 0};
      const int ready = NetPoll(&item, 1, left < kSliceMs ? static_cast<int>(left) : kSliceMs);
      if (ready < 0) return false;
      if (ready > 0) break;
    }
  }
  return true;
}

void NetLingeringClose(NetSocket socket, int lingerMs) {
  if (socket == kNetInvalidSocket) return;
  NetShutdownSend(socket);
  const int64_t deadline = NowMs() + lingerMs;
  char discard[512];
  for (;;) {
    // Checked before every read: a peer that keeps sending must not hold the
    // connection open past the deadline.
    const int64_t left = deadline - NowMs();
    if (left <= 0) break;
    const int n = NetRecv(socket, discard, sizeof discard);
    if (n == 0 || n == kNetError) break;
    if (n > 0) continue;
    socket_api::BeforeWait();
    NetPollItem item{socket, kNetIn, 0};
    if (NetPoll(&item, 1, static_cast<int>(left)) < 0) break;
  }
  NetClose(socket);
}

std::string EndpointText(const Endpoint& endpoint) {
  if (endpoint.host.find(':') != std::string::npos) {
    return "[" + endpoint.host + "]:" + std::to_string(endpoint.port);
  }
  return endpoint.host + ":" + std::to_string(endpoint.port);
}

#if !defined(__linux__) && !defined(_WIN32)
// No readiness set here (posix/net.cpp has epoll's, win32/net.cpp WSAPoll's):
// the proxy keeps a thread per connection.
struct NetPoller {};
NetPoller* NetPollerCreate() { return nullptr; }
void NetPollerDestroy(NetPoller*) {}
bool NetPollerWatch(NetPoller*, NetSocket, void*, bool) { return false; }
void NetPollerClosed(NetPoller*, NetSocket) {}
int NetPollerWait(NetPoller*, NetPollerEvent*, int, int) { return 0; }
void NetPollerWake(NetPoller*) {}
#endif
