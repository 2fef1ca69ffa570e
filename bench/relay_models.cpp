// Bare relays, so that the relay benchmark can show what each design allows
// on a machine before any of divivez-proxy's own work is added. The first two
// copy bytes and nothing else, one per way of serving connections; the third
// does only what store-and-forward cannot do without:
//
//   relay_models threads PORT UPSTREAM_PORT
//       a thread per connection, each waiting in poll() on its two sockets,
//       as divivez-proxy serves connections;
//   relay_models loop PORT UPSTREAM_PORT
//       one thread and one epoll set for every connection;
//   relay_models spool PORT UPSTREAM_PORT
//       a thread per connection that relays SMTP commands and replies as
//       they come, but answers DATA itself, stores the message in a file
//       until its end marker, and only then sends DATA and the file
//       (sendfile) to the server: the least any relay must do that lets a
//       message reach the server only after seeing all of it.
//
// All listen on 127.0.0.1, connect each client to 127.0.0.1:UPSTREAM_PORT,
// copy through one 64 KiB buffer per thread, and close both sockets when
// either side ends. They are measuring instruments, Linux only: no limits,
// no time-outs, and a send that would block waits for the socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// TCP_NODELAY, and the socket blocking or not: the copying relays never
// wait in a read, the spooling one reads a message with plain blocking reads.
void NoDelay(int fd, bool nonBlocking) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

int ConnectUpstream() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(g_upstreamPort);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  NoDelay(fd, true);
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
    NoDelay(client, true);
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

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

// Where the end marker "\r\n.\r\n" ends in data[0, length), given the last
// bytes of the stream before it (`tail`, at most four), or 0 when it is not
// there. The earliest marker is the end: the client stuffs lines that start
// with ".".
size_t MarkerEnd(const std::string& tail, const char* data, size_t length) {
  static const char kMarker[] = "\r\n.\r\n";
  const std::string joint = tail + std::string(data, std::min<size_t>(length, 4));
  const size_t at = joint.find(kMarker);
  if (at != std::string::npos) return at + 5 - tail.size();
  const void* found = memmem(data, length, kMarker, 5);
  return found == nullptr ? 0 : static_cast<size_t>(static_cast<const char*>(found) - data) + 5;
}

// One message from after the client's DATA line to its end marker, stored in
// an unnamed file straight from the receive buffer; then DATA and the file
// go to the server. `pending` holds the client bytes already read after the
// DATA line, and on return the ones read after the marker. False when a
// side has ended.
bool StoreAndForward(int client, int server, std::string* pending, char* buffer) {
  static const char kGoAhead[] = "354 go ahead\r\n";
  // What came with the DATA line is at most one read's worth; more would
  // mean commands sent on without waiting for answers, which no benchmark
  // client does.
  if (pending->size() > kBuffer) return false;
  if (!SendAll(client, kGoAhead, sizeof kGoAhead - 1)) return false;
  const char* dir = std::getenv("TMPDIR");
  const Descriptor spool{open(dir != nullptr ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
  const int file = spool.fd;
  if (file < 0) return false;
  // The DATA line's CRLF begins the marker of an empty message.
  std::string tail = "\r\n";
  size_t have = pending->size();
  std::memcpy(buffer, pending->data(), have);
  pending->clear();
  off_t stored = 0;
  bool ended = false;
  for (;;) {
    const size_t end = MarkerEnd(tail, buffer, have);
    const size_t take = end > 0 ? end : have;
    if (take > 0 && write(file, buffer, take) != static_cast<ssize_t>(take)) break;
    stored += static_cast<off_t>(take);
    if (end > 0) {
      pending->assign(buffer + take, have - take);
      ended = true;
      break;
    }
    tail.append(buffer + have - std::min<size_t>(have, 4), std::min<size_t>(have, 4));
    tail.erase(0, tail.size() - std::min<size_t>(tail.size(), 4));
    const ssize_t n = recv(client, buffer, kBuffer, 0);
    if (n <= 0) break;
    have = static_cast<size_t>(n);
  }
  if (!ended || !SendAll(server, "DATA\r\n", 6)) return false;
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    const ssize_t n = recv(server, buffer, kBuffer, 0);
    if (n <= 0) return false;
    reply.append(buffer, static_cast<size_t>(n));
  }
  if (reply.compare(0, 3, "354") != 0) return SendAll(client, reply.data(), reply.size());
  off_t offset = 0;
  while (offset < stored) {
    if (sendfile(server, file, &offset, static_cast<size_t>(stored - offset)) <= 0) break;
  }
  return offset == stored;
}

// Relays each complete command line as it comes, except DATA.
bool RelayCommands(int client, int server, std::string* pending, char* buffer) {
  for (;;) {
    const size_t end = pending->find('\n');
    if (end == std::string::npos) return true;
    const std::string line = pending->substr(0, end + 1);
    pending->erase(0, end + 1);
    if (strcasecmp(line.c_str(), "DATA\r\n") == 0) {
      if (!StoreAndForward(client, server, pending, buffer)) return false;
    } else if (!SendAll(server, line.data(), line.size())) {
      return false;
    }
  }
}

void ServeSpooling(int client) {
  const int server = ConnectUpstream();
  if (server >= 0) {
    NoDelay(client, false);
    NoDelay(server, false);
    std::vector<char> buffer(kBuffer);
    std::string pending;
    for (bool open = true; open;) {
      pollfd items[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (poll(items, 2, -1) < 0 && errno != EINTR) break;
      if (items[1].revents != 0) {
        const ssize_t n = recv(server, buffer.data(), kBuffer, 0);
        open = n > 0 && SendAll(client, buffer.data(), static_cast<size_t>(n));
      }
      if (open && items[0].revents != 0) {
        const ssize_t n = recv(client, buffer.data(), kBuffer, 0);
        open = n > 0;
        if (open) pending.append(buffer.data(), static_cast<size_t>(n));
        open = open && RelayCommands(client, server, &pending, buffer.data());
      }
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
        NoDelay(client, true);
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
  if (mode != "threads" && mode != "loop" && mode != "spool") {
    std::fprintf(stderr, "usage: relay_models threads|loop|spool PORT UPSTREAM_PORT\n");
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
    if (client >= 0) std::thread(mode == "spool" ? ServeSpooling : ServeOnThread, client).detach();
  }
}
