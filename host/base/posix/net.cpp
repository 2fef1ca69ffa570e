// Sockets on POSIX: BSD sockets and poll(2). Never select(): descriptors of any
// number must work with a thousand connections open.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/base/net.h"

namespace {

thread_local int t_lastError = 0;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

std::string AddressText(const sockaddr* address) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (address->sa_family == AF_INET) {
    auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
    port = ntohs(in4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (address->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  return "?";
}

short ToPollEvents(short events) {
  short result = 0;
  if (events & kNetIn) result |= POLLIN;
  if (events & kNetOut) result |= POLLOUT;
  return result;
}

short FromPollEvents(short revents) {
  short result = 0;
  if (revents & POLLIN) result |= kNetIn;
  if (revents & POLLOUT) result |= kNetOut;
  if (revents & POLLHUP) result |= kNetHup;
  if (revents & (POLLERR | POLLNVAL)) result |= kNetErr;
  return result;
}

// Finishes a non-blocking connect: waits for writability, then reads the
// outcome from SO_ERROR.
bool CompleteConnect(int fd, int timeoutMs, std::string* error) {
  pollfd item{fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&item, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    *error = "connection timed out";
    return false;
  }
  if (ready < 0) {
    *error = std::strerror(errno);
    return false;
  }
  int soError = 0;
  socklen_t length = sizeof soError;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
  if (soError != 0) {
    *error = std::strerror(soError);
    return false;
  }
  return true;
}

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
    *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
    return nullptr;
  }
  return list;
}

}  // namespace

bool NetStartup(std::string* error) {
  (void)error;
  return true;
}

NetSocket NetListen(const std::string& host, uint16_t port, uint16_t* boundPort,
                    bool* resolveFailed, std::string* error) {
  addrinfo* list = Resolve(host, port, true, error);
  *resolveFailed = list == nullptr;
  if (list == nullptr) return kNetInvalidSocket;
  int fd = -1;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) {
      *error = std::strerror(errno);
      continue;
    }
    SetCloseOnExec(fd);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 1024) == 0) break;
    *error = "cannot listen on " + AddressText(ai->ai_addr) + ": " + std::strerror(errno);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(list);
  if (fd < 0) return kNetInvalidSocket;
  SetNonBlocking(fd);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  *boundPort = bound.ss_family == AF_INET6
                   ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                   : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

NetSocket NetAccept(NetSocket listener, std::string* peer, bool* failed) {
  if (failed != nullptr) *failed = false;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int fd;
  do {
    fd = accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    t_lastError = errno;
    if (failed != nullptr) *failed = !WouldBlock(t_lastError);
    return kNetInvalidSocket;
  }
  SetCloseOnExec(fd);
  SetNonBlocking(fd);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  *peer = AddressText(reinterpret_cast<sockaddr*>(&address));
  return fd;
}

NetSocket NetConnect(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
  addrinfo* list = Resolve(host, port, false, error);
  if (list == nullptr) return kNetInvalidSocket;
  int fd = -1;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) {
      *error = std::strerror(errno);
      continue;
    }
    SetCloseOnExec(fd);
    SetNonBlocking(fd);
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
    const int code = errno;
    if (code == EINPROGRESS && CompleteConnect(fd, timeoutMs, error)) break;
    if (code != EINPROGRESS) *error = std::strerror(code);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(list);
  if (fd < 0) return kNetInvalidSocket;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

NetSocket NetConnectUnix(const std::string& path, int timeoutMs, std::string* error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long";
    return kNetInvalidSocket;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    *error = std::strerror(errno);
    return kNetInvalidSocket;
  }
  SetCloseOnExec(fd);
  SetNonBlocking(fd);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int code = errno;
    if (!((code == EINPROGRESS || code == EAGAIN) && CompleteConnect(fd, timeoutMs, error))) {
      if (code != EINPROGRESS && code != EAGAIN) *error = std::strerror(code);
      close(fd);
      return kNetInvalidSocket;
    }
  }
  return fd;
}

int NetRecv(NetSocket socket, char* buffer, int size) {
  ssize_t n;
  do {
    n = recv(socket, buffer, static_cast<size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  t_lastError = errno;
  return WouldBlock(t_lastError) ? kNetWouldBlock : kNetError;
}

int NetPeek(NetSocket socket) {
  char byte;
  ssize_t n;
  do {
    n = recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  t_lastError = errno;
  return WouldBlock(t_lastError) ? kNetWouldBlock : kNetError;
}

int NetPeekData(NetSocket socket, char* buffer, int size) {
  ssize_t n;
  do {
    n = recv(socket, buffer, static_cast<size_t>(size), MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  t_lastError = errno;
  return WouldBlock(t_lastError) ? kNetWouldBlock : kNetError;
}

int NetSend(NetSocket socket, const char* data, int length) {
  ssize_t n;
  do {
    n = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  t_lastError = errno;
  return WouldBlock(t_lastError) ? kNetWouldBlock : kNetError;
}

int NetPoll(NetPollItem* items, size_t count, int timeoutMs) {
  // Small sets live on the stack; the proxy polls at most a few sockets per
  // thread.
  pollfd local[8];
  std::vector<pollfd> large;
  pollfd* fds = local;
  if (count > 8) {
    large.resize(count);
    fds = large.data();
  }
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = items[i].socket;
    fds[i].events = ToPollEvents(items[i].events);
    fds[i].revents = 0;
  }
  int ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
  if (ready < 0) {
    t_lastError = errno;
    if (t_lastError == EINTR) ready = 0;
  }
  for (size_t i = 0; i < count; ++i) {
    items[i].revents = ready > 0 ? FromPollEvents(fds[i].revents) : 0;
  }
  return ready < 0 ? kNetError : ready;
}

void NetShutdownSend(NetSocket socket) { shutdown(socket, SHUT_WR); }

void NetShutdownBoth(NetSocket socket) { shutdown(socket, SHUT_RDWR); }

void NetClose(NetSocket socket) {
  if (socket != kNetInvalidSocket) close(socket);
}

std::string NetLastErrorText() { return std::strerror(t_lastError); }
