// Socket primitives on Windows: select(), recv(), send(), shutdown().
//
// Winsock keeps the error code of a failing call for WSAGetLastError() on the
// calling thread itself, so these functions only pass the results on.
#include "platform/socket_io.h"

int PlatformWaitSocket(SOCKET socket, ESocketWait what, DWORD timeoutMs) {
  // A set of exactly one socket. Winsock's fd_set is a counted array, so any
  // handle value fits.
  fd_set sockets;
  sockets.fd_count = 1;
  sockets.fd_array[0] = socket;
  timeval limit{};
  timeval* pLimit = nullptr;
  if (timeoutMs != INFINITE) {
    limit.tv_sec = static_cast<long>(timeoutMs / 1000u);
    limit.tv_usec = static_cast<long>((timeoutMs % 1000u) * 1000u);
    pLimit = &limit;
  }
  fd_set* pRead = nullptr;
  fd_set* pWrite = nullptr;
  switch (what) {
    case ESocketWait::kReadable:
      pRead = &sockets;
      break;
    case ESocketWait::kWritable:
      pWrite = &sockets;
      break;
  }
  // The first argument is ignored by Winsock. No error set: a reset or
  // closed connection already makes the socket readable and writable.
  return select(0, pRead, pWrite, nullptr, pLimit);
}

int PlatformRecv(SOCKET socket, char* buffer, int size, bool peek) {
  return recv(socket, buffer, size, peek ? MSG_PEEK : 0);
}

int PlatformSend(SOCKET socket, const char* data, int length) {
  return send(socket, data, length, 0);
}

int PlatformShutdownSend(SOCKET socket) { return shutdown(socket, SD_SEND); }
