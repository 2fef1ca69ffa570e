// Socket primitives on POSIX: poll(), recv(), send(), shutdown().
//
// A failure stores the Windows Sockets code for errno on the calling thread
// (see last_error.h), taken right at the failing call. poll() rather than
// select() so that descriptors of any number work. Interrupted calls are
// restarted: Winsock has no EINTR for these calls, so callers never see one.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/posix/last_error.h"
#include "platform/socket_io.h"

namespace {

// What Winsock reports for a system call failure it has no better code for.
constexpr DWORD kWsaSysCallFailure = 10107;

void SetWsaErrorFromErrno(int error) { PosixSetLastError(WsaErrorFromErrno(error)); }

}  // namespace

DWORD WsaErrorFromErrno(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return WSAEWOULDBLOCK;
    case EINTR:
      return WSAEINTR;
    // Winsock answers a closed or foreign handle with "not a socket".
    case EBADF:
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EINPROGRESS:
    case EALREADY:
      return WSAEINPROGRESS;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    // Linux reports EPIPE for a send once the peer's reset has been seen, or
    // after a local shutdown. The plug-in never shuts a socket down itself, so
    // the peer's reset is what Winsock would report.
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return WSAEHOSTUNREACH;
    default:
      return kWsaSysCallFailure;
  }
}

int PlatformWaitSocket(SOCKET socket, ESocketWait what, DWORD timeoutMs) {
  // poll() skips negative descriptors instead of failing; select() on Windows
  // fails for INVALID_SOCKET.
  if (socket < 0) {
    PosixSetLastError(WSAENOTSOCK);
    return SOCKET_ERROR;
  }
  pollfd entry{};
  entry.fd = socket;
  switch (what) {
    case ESocketWait::kReadable:
      entry.events = POLLIN;
      break;
    case ESocketWait::kWritable:
      entry.events = POLLOUT;
      break;
  }
  const bool bUnlimited = timeoutMs == INFINITE;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int waitMs = -1;
    if (!bUnlimited) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      waitMs = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }
    const int ready = poll(&entry, 1, waitMs);
    if (ready < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      SetWsaErrorFromErrno(error);
      return SOCKET_ERROR;
    }
    if (ready == 0) {
      // poll() takes at most INT_MAX ms; a longer time-out waits again.
      if (!bUnlimited && waitMs == INT_MAX) continue;
      return 0;
    }
    // The descriptor is not open: what Winsock's select() says of a handle
    // that is not a socket.
    if ((entry.revents & POLLNVAL) != 0) {
      PosixSetLastError(WSAENOTSOCK);
      return SOCKET_ERROR;
    }
    // POLLHUP and POLLERR count as ready too: the following recv() or send()
    // then reports the end of the stream or the error, as on Windows.
    return 1;
  }
}

int PlatformRecv(SOCKET socket, char* buffer, int size, bool peek) {
  if (size < 0) {
    PosixSetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  for (;;) {
    const ssize_t received = recv(socket, buffer, static_cast<size_t>(size), peek ? MSG_PEEK : 0);
    if (received >= 0) return static_cast<int>(received);
    const int error = errno;
    if (error == EINTR) continue;
    SetWsaErrorFromErrno(error);
    return SOCKET_ERROR;
  }
}

int PlatformSend(SOCKET socket, const char* data, int length) {
  if (length < 0) {
    PosixSetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  for (;;) {
    // MSG_NOSIGNAL: a peer that has gone must give an error, not a SIGPIPE
    // that ends the host process.
    const ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    const int error = errno;
    if (error == EINTR) continue;
    SetWsaErrorFromErrno(error);
    return SOCKET_ERROR;
  }
}

int PlatformShutdownSend(SOCKET socket) {
  if (shutdown(socket, SHUT_WR) == 0) return 0;
  SetWsaErrorFromErrno(errno);
  return SOCKET_ERROR;
}
