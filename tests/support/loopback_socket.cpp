#include "support/loopback_socket.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstring>
#include <mutex>

namespace {

#ifdef _WIN32
typedef int SocketLength;
void StartSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}
#else
typedef socklen_t SocketLength;
void StartSockets() {}
#endif

}  // namespace

CLoopbackPair::CLoopbackPair() {
  StartSockets();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET) return;
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  SocketLength length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(listener, 1) == 0 &&
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    m_hNear = socket(AF_INET, SOCK_STREAM, 0);
    if (m_hNear != INVALID_SOCKET &&
        connect(m_hNear, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      m_hFar = accept(listener, nullptr, nullptr);
    }
  }
  CloseTestSocket(listener);
  if (!IsOpen()) {
    CloseNear();
    CloseFar();
  }
}

CLoopbackPair::~CLoopbackPair() {
  CloseNear();
  CloseFar();
}

void CLoopbackPair::CloseNear() {
  if (m_hNear != INVALID_SOCKET) CloseTestSocket(m_hNear);
  m_hNear = INVALID_SOCKET;
}

void CLoopbackPair::CloseFar() {
  if (m_hFar != INVALID_SOCKET) CloseTestSocket(m_hFar);
  m_hFar = INVALID_SOCKET;
}

void CLoopbackPair::ResetFar() {
  if (m_hFar == INVALID_SOCKET) return;
  // Lingering on, with a time of 0: close sends RST at once.
  linger abort;
  std::memset(&abort, 0, sizeof abort);
  abort.l_onoff = 1;
  abort.l_linger = 0;
  setsockopt(m_hFar, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
  CloseFar();
}

void CloseTestSocket(SOCKET socket) {
#ifdef _WIN32
  closesocket(socket);
#else
  close(socket);
#endif
}

bool SetTestSocketNonBlocking(SOCKET socket) {
#ifdef _WIN32
  u_long enable = 1;
  return ioctlsocket(socket, FIONBIO, &enable) == 0;
#else
  const int flags = fcntl(socket, F_GETFL);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

bool SetTestSocketSendBuffer(SOCKET socket, int bytes) {
  return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                    sizeof bytes) == 0;
}

int RawSend(SOCKET socket, const char* data, int length) {
  return static_cast<int>(send(socket, data, length, 0));
}

int RawRecv(SOCKET socket, char* buffer, int size) {
  return static_cast<int>(recv(socket, buffer, size, 0));
}

bool RawSendAll(SOCKET socket, const std::string& text) {
  size_t position = 0;
  while (position < text.size()) {
    const int sent =
        RawSend(socket, text.data() + position, static_cast<int>(text.size() - position));
    if (sent <= 0) return false;
    position += static_cast<size_t>(sent);
  }
  return true;
}

std::string RawRecvUntilClosed(SOCKET socket, size_t expected) {
  std::string received;
  char buffer[65536];
  while (received.size() < expected) {
    const int count = RawRecv(socket, buffer, sizeof buffer);
    if (count <= 0) break;
    received.append(buffer, static_cast<size_t>(count));
  }
  return received;
}
