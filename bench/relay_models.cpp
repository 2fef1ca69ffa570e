// Two bare TCP relays that do nothing but copy bytes, one per way of serving
// connections, so that the relay benchmark can show what each design allows
// on a machine before any SMTP, spool or scan work is added:
//
//   relay_models threads PORT UPSTREAM_PORT
//       a thread per connection, each waiting in poll() on its two sockets,
//       as divivez-proxy serves connections;
//   relay_models loop PORT UPSTREAM_PORT
//       one thread and one epoll set for every connection.
//
// Both listen on 127.0.0.1, connect each client to 127.0.0.1:UPSTREAM_PORT,
// copy through one 64 KiB buffer per thread, and close both sockets when
// either side ends. They are measuring instruments, Linux only: no limits,
// no time-outs, and a send that would block waits for the socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBuffer = 64 * 1024;
uint16_t g_upstreamPort = 0;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void NoDelayNonBlocking(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int ConnectUpstream() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(g_upstreamPort);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  NoDelayNonBlocking(fd);
  return fd;
}

bool SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd item{fd, POLLOUT, 0};
      poll(&item, 1, -1);
    } else {
      return false;
    }
  }
  return true;
}

// Copies what `from` holds to `to`. False when either side has ended.
bool Forward(int from, int to, char* buffer) {
  for (;;) {
    const ssize_t n = recv(from, buffer, kBuffer, 0);
    if (n > 0) {
      if (!SendAll(to, buffer, static_cast<size_t>(n))) return false;
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

void ServeOnThread(int client) {
  const int server = ConnectUpstream();
  if (server >= 0) {
    NoDelayNonBlocking(client);
    std::vector<char> buffer(kBuffer);
    for (bool open = true; open;) {
      pollfd items[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (poll(items, 2, -1) < 0 && errno != EINTR) break;
      if (items[0].revents != 0) open = Forward(client, server, buffer.data());
      if (open && items[1].revents != 0) open = Forward(server, client, buffer.data());
    }
    close(server);
  }
  close(client);
}

struct Pair {
  int client;
  int server;
  bool ended = false;
};

// Both sockets of a pair are in the set, each with the pair and a bit that
// says which socket it is in the low bit of the pointer (Pair is aligned).
void* Tag(Pair* pair, bool fromServer) {
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(pair) | (fromServer ? 1u : 0u));
}

void RunLoop(int listener) {
  const int set = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the listener
  epoll_ctl(set, EPOLL_CTL_ADD, listener, &event);
  std::vector<char> buffer(kBuffer);
  std::vector<Pair*> ended;
  epoll_event ready[64];
  for (;;) {
    const int count = epoll_wait(set, ready, 64, -1);
    for (int i = 0; i < count; ++i) {
      if (ready[i].data.ptr == nullptr) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int server = ConnectUpstream();
        if (server < 0) {
          close(client);
          continue;
        }
        NoDelayNonBlocking(client);
        auto* pair = new Pair{client, server};
        event.events = EPOLLIN;
        event.data.ptr = Tag(pair, false);
        epoll_ctl(set, EPOLL_CTL_ADD, client, &event);
        event.data.ptr = Tag(pair, true);
        epoll_ctl(set, EPOLL_CTL_ADD, server, &event);
        continue;
      }
      const auto bits = reinterpret_cast<uintptr_t>(ready[i].data.ptr);
      auto* pair = reinterpret_cast<Pair*>(bits & ~uintptr_t{1});
      // A pair that ended earlier in this batch: its descriptors are closed
      // and may already belong to a new connection.
      if (pair->ended) continue;
      const bool fromServer = (bits & 1u) != 0;
      const int from = fromServer ? pair->server : pair->client;
      const int to = fromServer ? pair->client : pair->server;
      if (!Forward(from, to, buffer.data())) {
        close(pair->client);
        close(pair->server);
        pair->ended = true;
        ended.push_back(pair);
      }
    }
    for (Pair* pair : ended) delete pair;
    ended.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 4 ? argv[1] : "";
  if (mode != "threads" && mode != "loop") {
    std::fprintf(stderr, "usage: relay_models threads|loop PORT UPSTREAM_PORT\n");
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  g_upstreamPort = static_cast<uint16_t>(std::atoi(argv[3]));
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Loopback(port);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1024) != 0) {
    std::fprintf(stderr, "relay_models: cannot listen on 127.0.0.1:%u: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  if (mode == "loop") {
    RunLoop(listener);
    return 0;
  }
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) std::thread(ServeOnThread, client).detach();
  }
}
