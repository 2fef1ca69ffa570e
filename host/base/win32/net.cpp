// Sockets on Windows: Winsock 2 with WSAPoll (Vista and later; Wine has it).
//
// The readiness set (NetPoller) is WSAPoll too, over an array that holds the
// watched sockets and changes only when the watch set does (no allocation per
// wait), woken by a datagram to a loopback UDP socket connected to itself.
// I/O completion ports with the AFD poll request (an undocumented ioctl of
// the socket driver) scale better, but WSAPoll is documented, gives the
// level-triggered readability this set promises with no re-arming, reports a
// hang-up or a reset without being asked (POLLHUP, POLLERR), and is what
// Wine implements fully; its cost is a pass over the array per wait, which a
// loop's share of the connections (hundreds to a few thousand) bears. Its
// known fault, a failed non-blocking connect never reported (before Windows
// 10 2004), does not reach the set: only connected sockets are watched here,
// connects complete in socket_api::Connect. WSAPoll takes any number of
// sockets (no FD_SETSIZE); the array grows with the watch set and is kept.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <afunix.h>
#include <windows.h>

#include <cstring>
#include <unordered_map>
#include <vector>

#include "host/base/net.h"
#include "host/base/socket_api.h"

namespace {

thread_local int t_lastError = 0;

void SetNonBlocking(SOCKET s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}

std::string ErrorText(int code) {
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) {
    text[--n] = '\0';
  }
  std::string result = n > 0 ? std::string(text) : std::string("socket error");
  return result + " (" + std::to_string(code) + ")";
}

bool CompleteConnect(SOCKET s, int timeoutMs, std::string* error) {
  WSAPOLLFD item{s, POLLWRNORM, 0};
  // Winsock never completes a non-blocking connect in the call, but one to a
  // near peer (loopback, the LAN) is often complete a moment later: looked
  // at first, it costs an event loop no hand-off to another thread.
  int ready = WSAPoll(&item, 1, 0);
  if (ready == 0) {
    socket_api::BeforeWait();
    ready = WSAPoll(&item, 1, timeoutMs);
  }
  if (ready == 0) {
    *error = "connection timed out";
    return false;
  }
  if (ready < 0) {
    *error = ErrorText(WSAGetLastError());
    return false;
  }
  int soError = 0;
  int length = sizeof soError;
  getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
  if (soError != 0 || (item.revents & (POLLERR | POLLHUP)) != 0) {
    *error = ErrorText(soError != 0 ? soError : WSAECONNREFUSED);
    return false;
  }
  return true;
}

}  // namespace

const int socket_api::kListenBacklog = SOMAXCONN;
// Windows has Unix-domain sockets only since 10 (1803).
const char socket_api::kNoUnixSockets[] = "Unix-domain sockets unavailable: ";

NetSocket socket_api::Open(int family, int type, int protocol, std::string* error) {
  const SOCKET s = socket(family, type, protocol);
  if (s == INVALID_SOCKET) {
    *error = ErrorText(WSAGetLastError());
    return kNetInvalidSocket;
  }
  SetNonBlocking(s);
  return s;
}

void socket_api::Close(NetSocket socket) { closesocket(socket); }

void socket_api::PrepareListener(NetSocket socket) {
  // Windows lets a second socket bind a busy port with SO_REUSEADDR; the
  // exclusive flag makes a busy port an error, as on POSIX.
  BOOL on = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
}

bool socket_api::Connect(NetSocket socket, const sockaddr* address, size_t length, int timeoutMs,
                         std::string* error) {
  if (connect(socket, address, static_cast<int>(length)) == 0) return true;
  const int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK) return CompleteConnect(socket, timeoutMs, error);
  *error = ErrorText(code);
  return false;
}

std::string socket_api::LastErrorText() { return ErrorText(WSAGetLastError()); }

std::string socket_api::ResolveErrorText(int code) { return ErrorText(code); }

bool NetStartup(std::string* error) {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) {
    *error = "WSAStartup failed: " + ErrorText(rc);
    return false;
  }
  return true;
}

NetSocket NetAccept(NetSocket listener, std::string* peer, bool* failed) {
  if (failed != nullptr) *failed = false;
  sockaddr_storage address{};
  int length = sizeof address;
  SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
  if (s == INVALID_SOCKET) {
    t_lastError = WSAGetLastError();
    if (failed != nullptr) *failed = t_lastError != WSAEWOULDBLOCK;
    return kNetInvalidSocket;
  }
  SetNonBlocking(s);
  socket_api::SetNoDelay(s);
  *peer = socket_api::AddressText(reinterpret_cast<sockaddr*>(&address));
  return s;
}

// Windows keeps no such record for a program to read: transparent
// interception is Linux's.
bool NetHasOriginalDestination() { return false; }

bool NetOriginalDestination(NetSocket, Endpoint*, std::string* error) {
  *error = "Windows cannot tell a redirected connection's original destination";
  return false;
}

int NetRecv(NetSocket socket, char* buffer, int size) {
  int n = recv(socket, buffer, size, 0);
  if (n >= 0) return n;
  t_lastError = WSAGetLastError();
  return t_lastError == WSAEWOULDBLOCK ? kNetWouldBlock : kNetError;
}

int NetPeek(NetSocket socket) {
  char byte;
  int n = recv(socket, &byte, 1, MSG_PEEK);
  if (n >= 0) return n;
  t_lastError = WSAGetLastError();
  // A peek into a buffer smaller than the pending datagram reports
  // WSAEMSGSIZE on some stacks; for a stream it still means data is waiting.
  if (t_lastError == WSAEMSGSIZE) return 1;
  return t_lastError == WSAEWOULDBLOCK ? kNetWouldBlock : kNetError;
}

int NetPeekData(NetSocket socket, char* buffer, int size) {
  int n = recv(socket, buffer, size, MSG_PEEK);
  if (n >= 0) return n;
  t_lastError = WSAGetLastError();
  return t_lastError == WSAEWOULDBLOCK ? kNetWouldBlock : kNetError;
}

int NetSend(NetSocket socket, const char* data, int length) {
  int n = send(socket, data, length, 0);
  if (n >= 0) return n;
  t_lastError = WSAGetLastError();
  return t_lastError == WSAEWOULDBLOCK ? kNetWouldBlock : kNetError;
}

int NetPoll(NetPollItem* items, size_t count, int timeoutMs) {
  WSAPOLLFD local[8];
  std::vector<WSAPOLLFD> large;
  WSAPOLLFD* fds = local;
  if (count > 8) {
    large.resize(count);
    fds = large.data();
  }
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = items[i].socket;
    fds[i].events = 0;
    if (items[i].events & kNetIn) fds[i].events |= POLLRDNORM;
    if (items[i].events & kNetOut) fds[i].events |= POLLWRNORM;
    fds[i].revents = 0;
  }
  int ready;
  if (count == 0) {
    // WSAPoll rejects an empty set; a plain sleep is the same wait.
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    ready = 0;
  } else {
    ready = WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
    if (ready < 0) t_lastError = WSAGetLastError();
  }
  for (size_t i = 0; i < count; ++i) {
    short r = 0;
    if (ready > 0) {
      if (fds[i].revents & (POLLRDNORM | POLLRDBAND)) r |= kNetIn;
      if (fds[i].revents & POLLWRNORM) r |= kNetOut;
      if (fds[i].revents & POLLHUP) r |= kNetHup;
      if (fds[i].revents & (POLLERR | POLLNVAL)) r |= kNetErr;
    }
    items[i].revents = r;
  }
  return ready < 0 ? kNetError : ready;
}

void NetHoldPartialSegments(NetSocket, bool) {}

void NetShutdownSend(NetSocket socket) { shutdown(socket, SD_SEND); }

void NetShutdownBoth(NetSocket socket) { shutdown(socket, SD_BOTH); }

void NetClose(NetSocket socket) {
  if (socket != kNetInvalidSocket) closesocket(socket);
}

std::string NetLastErrorText() { return ErrorText(t_lastError); }

struct NetPoller {
  // Set once: any thread's NetPollerWake reads it, never the array, which
  // the watching thread may be moving.
  SOCKET wake = INVALID_SOCKET;
  // Entry 0 is the wake socket (tag nullptr); the watched follow, each at
  // the index index[socket] names.
  std::vector<WSAPOLLFD> fds;
  std::vector<void*> tags;
  std::unordered_map<NetSocket, size_t> index;
  size_t next = 1;  // where the next wait's scan starts, for fairness
};

namespace {

// The wake socket: a UDP socket on 127.0.0.1 connected to itself, so that
// any thread's send makes it readable.
SOCKET OpenWakeSocket() {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  SetNonBlocking(s);
  return s;
}

void Unlist(NetPoller* poller, size_t at) {
  poller->index.erase(poller->fds[at].fd);
  const size_t last = poller->fds.size() - 1;
  if (at != last) {
    poller->fds[at] = poller->fds[last];
    poller->tags[at] = poller->tags[last];
    poller->index[poller->fds[at].fd] = at;
  }
  poller->fds.pop_back();
  poller->tags.pop_back();
}

}  // namespace

NetPoller* NetPollerCreate() {
  const SOCKET wake = OpenWakeSocket();
  if (wake == INVALID_SOCKET) {
    t_lastError = WSAGetLastError();
    return nullptr;
  }
  auto* poller = new NetPoller();
  poller->wake = wake;
  poller->fds.push_back(WSAPOLLFD{wake, POLLRDNORM, 0});
  poller->tags.push_back(nullptr);
  return poller;
}

void NetPollerDestroy(NetPoller* poller) {
  if (poller == nullptr) return;
  closesocket(poller->wake);
  delete poller;
}

bool NetPollerWatch(NetPoller* poller, NetSocket socket, void* tag, bool watch) {
  const auto found = poller->index.find(socket);
  if (!watch) {
    if (found == poller->index.end()) return false;
    Unlist(poller, found->second);
    return true;
  }
  if (found != poller->index.end()) {
    poller->tags[found->second] = tag;
    return true;
  }
  poller->index.emplace(socket, poller->fds.size());
  poller->fds.push_back(WSAPOLLFD{socket, POLLRDNORM, 0});
  poller->tags.push_back(tag);
  return true;
}

void NetPollerClosed(NetPoller* poller, NetSocket socket) {
  // The array names sockets by value, and a closed socket's value may soon
  // name a new one: it leaves before the next wait, untouched.
  const auto found = poller->index.find(socket);
  if (found != poller->index.end()) Unlist(poller, found->second);
}

int NetPollerWait(NetPoller* poller, NetPollerEvent* events, int max, int timeoutMs) {
  std::vector<WSAPOLLFD>& fds = poller->fds;
  int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  if (ready <= 0) {
    if (ready < 0) t_lastError = WSAGetLastError();
    return 0;
  }
  int filled = 0;
  if (fds[0].revents != 0) {
    // Every wake so far is answered by this return.
    char drain[16];
    while (recv(poller->wake, drain, sizeof drain, 0) > 0) {
    }
    events[filled++] = NetPollerEvent{nullptr};
  }
  // Level-triggered: what does not fit in events is reported again by the
  // next wait, which starts its scan where this one stopped.
  const size_t watched = fds.size() - 1;
  size_t at = poller->next <= watched ? poller->next : 1;
  bool closed = false;
  for (size_t seen = 0; seen < watched && filled < max; ++seen) {
    const short revents = fds[at].revents;
    const size_t here = at;
    at = at < watched ? at + 1 : 1;
    if (revents == 0) continue;
    if (revents & POLLNVAL) {
      closed = true;
      continue;
    }
    events[filled++] = NetPollerEvent{poller->tags[here]};
  }
  if (closed) {
    // Closed without NetPollerClosed: nothing to read, and the tag may name
    // what is gone. From the end, so that what moves down was looked at.
    for (size_t i = fds.size() - 1; i >= 1; --i) {
      if (fds[i].revents & POLLNVAL) Unlist(poller, i);
    }
  }
  poller->next = at;
  return filled;
}

void NetPollerWake(NetPoller* poller) {
  const char one = 1;
  if (send(poller->wake, &one, 1, 0) < 0) {
    // The socket's buffer is full: a wake is pending anyway.
  }
}
