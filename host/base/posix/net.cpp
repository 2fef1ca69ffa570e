// Sockets on POSIX: BSD sockets and poll(2). Never select(): descriptors of any
// number must work with a thousand connections open.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#if defined(__linux__)
#include <linux/netfilter_ipv4.h>  // SO_ORIGINAL_DST
#include <sys/epoll.h>
#include <sys/eventfd.h>
#endif
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/base/net.h"
#include "host/base/socket_api.h"

namespace {

thread_local int t_lastError = 0;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

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
  // On loopback the handshake is usually done by now.
  int ready;
  do {
    ready = poll(&item, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    socket_api::BeforeWait();
    do {
      ready = poll(&item, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
  }
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

}  // namespace

const int socket_api::kListenBacklog = 1024;
const char socket_api::kNoUnixSockets[] = "";

NetSocket socket_api::Open(int family, int type, int protocol, std::string* error) {
  const int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    *error = std::strerror(errno);
    return kNetInvalidSocket;
  }
  return fd;
}

void socket_api::Close(NetSocket socket) { close(socket); }

void socket_api::PrepareListener(NetSocket socket) {
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool socket_api::Connect(NetSocket socket, const sockaddr* address, size_t length, int timeoutMs,
                         std::string* error) {
  if (connect(socket, address, static_cast<socklen_t>(length)) == 0) return true;
  const int code = errno;
  // A Unix-domain socket whose queue is full says EAGAIN.
  if (code == EINPROGRESS || (code == EAGAIN && address->sa_family == AF_UNIX)) {
    return CompleteConnect(socket, timeoutMs, error);
  }
  *error = std::strerror(code);
  return false;
}

std::string socket_api::LastErrorText() { return std::strerror(errno); }

std::string socket_api::ResolveErrorText(int code) { return gai_strerror(code); }

bool NetStartup(std::string* error) {
  (void)error;
  return true;
}

NetSocket NetAccept(NetSocket listener, std::string* peer, bool* failed) {
  if (failed != nullptr) *failed = false;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int fd;
  do {
    // Made non-blocking and close-on-exec in the same call.
    fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                 SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    t_lastError = errno;
    if (failed != nullptr) *failed = !WouldBlock(t_lastError);
    return kNetInvalidSocket;
  }
  socket_api::SetNoDelay(fd);
  *peer = socket_api::AddressText(reinterpret_cast<sockaddr*>(&address));
  return fd;
}

#if defined(__linux__)
// linux/netfilter_ipv6/ip6_tables.h's value; that header does not mix with
// the C library's.
#ifndef IP6T_SO_ORIGINAL_DST
#define IP6T_SO_ORIGINAL_DST 80
#endif

bool NetHasOriginalDestination() { return true; }

bool NetOriginalDestination(NetSocket socket, Endpoint* destination, std::string* error) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    *error = std::string("getsockname: ") + std::strerror(errno);
    return false;
  }
  // An IPv4 client of a dual-stack listener has an IPv4 tracking entry.
  Endpoint reached;
  socket_api::EndpointOf(reinterpret_cast<sockaddr*>(&local), &reached);
  const bool ipv6 = reached.host.find(':') != std::string::npos;
  sockaddr_storage original{};
  length = sizeof original;
  const int rc = ipv6 ? getsockopt(socket, SOL_IPV6, IP6T_SO_ORIGINAL_DST, &original, &length)
                      : getsockopt(socket, SOL_IP, SO_ORIGINAL_DST, &original, &length);
  if (rc != 0) {
    // No tracking entry, or no connection tracking in this network
    // namespace at all: nothing rewrote the destination.
    if (errno == ENOENT || errno == ENOPROTOOPT) {
      *destination = reached;
      return true;
    }
    *error = std::string("SO_ORIGINAL_DST: ") + std::strerror(errno);
    return false;
  }
  if (!socket_api::EndpointOf(reinterpret_cast<sockaddr*>(&original), destination)) {
    *error = "SO_ORIGINAL_DST: not an IP address";
    return false;
  }
  return true;
}
#else
bool NetHasOriginalDestination() { return false; }

bool NetOriginalDestination(NetSocket, Endpoint*, std::string* error) {
  *error = "this system cannot tell a redirected connection's original destination";
  return false;
}
#endif

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

void NetHoldPartialSegments(NetSocket socket, bool hold) {
  const int on = hold ? 1 : 0;
  setsockopt(socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

void NetShutdownSend(NetSocket socket) { shutdown(socket, SHUT_WR); }

void NetShutdownBoth(NetSocket socket) { shutdown(socket, SHUT_RDWR); }

void NetClose(NetSocket socket) {
  if (socket != kNetInvalidSocket) close(socket);
}

std::string NetLastErrorText() { return std::strerror(t_lastError); }

#if defined(__linux__)

struct NetPoller {
  int set = -1;
  int wake = -1;
};

NetPoller* NetPollerCreate() {
  auto* poller = new NetPoller();
  poller->set = epoll_create1(EPOLL_CLOEXEC);
  poller->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  if (poller->set < 0 || poller->wake < 0 ||
      epoll_ctl(poller->set, EPOLL_CTL_ADD, poller->wake, &event) != 0) {
    t_lastError = errno;
    NetPollerDestroy(poller);
    return nullptr;
  }
  return poller;
}

void NetPollerDestroy(NetPoller* poller) {
  if (poller == nullptr) return;
  if (poller->set >= 0) close(poller->set);
  if (poller->wake >= 0) close(poller->wake);
  delete poller;
}

bool NetPollerWatch(NetPoller* poller, NetSocket socket, void* tag, bool watch) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = tag;
  if (epoll_ctl(poller->set, watch ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, socket, &event) == 0) {
    return true;
  }
  t_lastError = errno;
  return false;
}

// Closing a descriptor takes it out of every epoll set.
void NetPollerClosed(NetPoller*, NetSocket) {}

int NetPollerWait(NetPoller* poller, NetPollerEvent* events, int max, int timeoutMs) {
  epoll_event ready[64];
  if (max > 64) max = 64;
  const int n = epoll_wait(poller->set, ready, max, timeoutMs);
  if (n < 0) {
    t_lastError = errno;
    return 0;
  }
  int filled = 0;
  for (int i = 0; i < n; ++i) {
    if (ready[i].data.ptr == nullptr) {
      uint64_t count;
      if (read(poller->wake, &count, sizeof count) < 0) {
        // Already reset by another wait: nothing to take.
      }
    }
    events[filled++] = NetPollerEvent{ready[i].data.ptr};
  }
  return filled;
}

void NetPollerWake(NetPoller* poller) {
  const uint64_t one = 1;
  if (write(poller->wake, &one, sizeof one) < 0) {
    // The counter is full: a wake is pending anyway.
  }
}

#endif
