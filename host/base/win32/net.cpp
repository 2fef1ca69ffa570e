// Sockets on Windows: Winsock 2 with WSAPoll (Vista and later; Wine has it).
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
#include <vector>

#include "host/base/net.h"

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

std::string AddressText(const sockaddr* address) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET) {
    auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, const_cast<in_addr*>(&in4->sin_addr), host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in4->sin_port));
  }
  if (address->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, const_cast<in6_addr*>(&in6->sin6_addr), host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return "?";
}

bool CompleteConnect(SOCKET s, int timeoutMs, std::string* error) {
  WSAPOLLFD item{s, POLLWRNORM, 0};
  int ready = WSAPoll(&item, 1, timeoutMs);
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
    *error = "cannot resolve '" + host + "': " + ErrorText(rc);
    return nullptr;
  }
  return list;
}

}  // namespace

bool NetStartup(std::string* error) {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) {
    *error = "WSAStartup failed: " + ErrorText(rc);
    return false;
  }
  return true;
}

NetSocket NetListen(const std::string& host, uint16_t port, uint16_t* boundPort,
                    bool* resolveFailed, std::string* error) {
  addrinfo* list = Resolve(host, port, true, error);
  *resolveFailed = list == nullptr;
  if (list == nullptr) return kNetInvalidSocket;
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
      *error = ErrorText(WSAGetLastError());
      continue;
    }
    // Windows lets a second socket bind a busy port with SO_REUSEADDR; the
    // exclusive flag makes a busy port an error, as on POSIX.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 && listen(s, SOMAXCONN) == 0) {
      break;
    }
    *error = "cannot listen on " + AddressText(ai->ai_addr) + ": " + ErrorText(WSAGetLastError());
    closesocket(s);
    s = INVALID_SOCKET;
  }
  freeaddrinfo(list);
  if (s == INVALID_SOCKET) return kNetInvalidSocket;
  SetNonBlocking(s);
  sockaddr_storage bound{};
  int length = sizeof bound;
  getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
  *boundPort = bound.ss_family == AF_INET6
                   ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                   : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return s;
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
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  *peer = AddressText(reinterpret_cast<sockaddr*>(&address));
  return s;
}

NetSocket NetConnect(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
  addrinfo* list = Resolve(host, port, false, error);
  if (list == nullptr) return kNetInvalidSocket;
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
      *error = ErrorText(WSAGetLastError());
      continue;
    }
    SetNonBlocking(s);
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) break;
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK && CompleteConnect(s, timeoutMs, error)) break;
    if (code != WSAEWOULDBLOCK) *error = ErrorText(code);
    closesocket(s);
    s = INVALID_SOCKET;
  }
  freeaddrinfo(list);
  if (s == INVALID_SOCKET) return kNetInvalidSocket;
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return s;
}

NetSocket NetConnectUnix(const std::string& path, int timeoutMs, std::string* error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long";
    return kNetInvalidSocket;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  SOCKET s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    *error = "Unix-domain sockets unavailable: " + ErrorText(WSAGetLastError());
    return kNetInvalidSocket;
  }
  SetNonBlocking(s);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int code = WSAGetLastError();
    if (!(code == WSAEWOULDBLOCK && CompleteConnect(s, timeoutMs, error))) {
      if (code != WSAEWOULDBLOCK) *error = ErrorText(code);
      closesocket(s);
      return kNetInvalidSocket;
    }
  }
  return s;
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

void NetShutdownSend(NetSocket socket) { shutdown(socket, SD_SEND); }

void NetShutdownBoth(NetSocket socket) { shutdown(socket, SD_BOTH); }

void NetClose(NetSocket socket) {
  if (socket != kNetInvalidSocket) closesocket(socket);
}

std::string NetLastErrorText() { return ErrorText(t_lastError); }
