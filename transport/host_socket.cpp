// SockReceive, SockSend, SockShutdownSend and the plug-in's own operations on
// a host socket.
//
// Runs on whichever host thread called the export (or the keep-alive
// function); takes no lock and keeps no state. g_pISocket is read once per
// call, so a host that changes it mid-connection switches at the next call.
//
// Failures: the readiness wait and the single recv/send raise
// CWinSockException with the code read right after the failing call; these
// are the only four places that raise. SendAll absorbs them; receives let
// them reach the session handlers.
#include "transport/host_socket.h"

#include "boundary/settings.h"
#include "boundary/trace.h"
#include "platform/socket_io.h"

namespace {

constexpr DWORD kWouldBlockPauseMs = 100;

}  // namespace

int CHostSocket::Receive(char* buffer, int size, DWORD timeoutMs, int peek) {
  const int ready = PlatformWaitSocket(m_hSocket, ESocketWait::kReadable, timeoutMs);
  if (ready == SOCKET_ERROR) throw CWinSockException{WSAGetLastError(), 0};
  if (ready == 0) return 0;
  const int received = PlatformRecv(m_hSocket, buffer, size, peek != 0);
  if (received == SOCKET_ERROR) throw CWinSockException{WSAGetLastError(), 0};
  // 0 here is the peer's orderly close; callers treat it like "nothing".
  return received;
}

int CHostSocket::Send(const char* data, int length, DWORD timeoutMs) {
  const int ready = PlatformWaitSocket(m_hSocket, ESocketWait::kWritable, timeoutMs);
  if (ready == SOCKET_ERROR) throw CWinSockException{WSAGetLastError(), 0};
  if (ready == 0) return 0;
  const int sent = PlatformSend(m_hSocket, data, length);
  if (sent == SOCKET_ERROR) throw CWinSockException{WSAGetLastError(), 0};
  return sent;
}

int CHostSocket::SendAll(const char* data, int length, DWORD timeoutMs) {
  int position = 0;
  while (position < length) {
    int sent = 0;
    try {
      sent = Send(data + position, length - position, timeoutMs);
    } catch (const CWinSockException& failure) {
      // The socket was writable but would not take the bytes now (a
      // non-blocking socket whose buffer filled meanwhile). Offer the same
      // bytes again after a pause, for as long as it takes.
      if (failure.m_nError != WSAEWOULDBLOCK) return 0;
      Trace(0, "DIVIVEZ: WinSock error WSAEWOULDBLOCK, retry after 100 ms\n");
      Sleep(kWouldBlockPauseMs);
      continue;
    }
    // Not writable within the time-out.
    if (sent == 0) return 0;
    position += sent;
  }
  return position == length ? 1 : 0;
}

int SockReceive(CHostSocket* socket, char* buffer, int size, DWORD timeoutMs, int peek) {
  ISocket* const service = g_pISocket;
  // The host's service has no time-out or peek: it never waits.
  if (service != nullptr) return service->Receive(socket->m_hSocket, buffer, size);
  return socket->Receive(buffer, size, timeoutMs, peek);
}

int SockPeek(const CHostSocket* socket, char* buffer, int size) {
  // On the handle itself whoever reads the socket: a peek takes nothing away
  // from the host's service. Not waiting, and never raising.
  if (PlatformWaitSocket(socket->m_hSocket, ESocketWait::kReadable, 0) != 1) return 0;
  const int received = PlatformRecv(socket->m_hSocket, buffer, size, true);
  return received > 0 ? received : 0;
}

bool SockSend(CHostSocket* socket, const char* data, int length, DWORD timeoutMs) {
  ISocket* const service = g_pISocket;
  // The host's service always sends the whole buffer, however long it takes.
  if (service != nullptr) return service->Send(socket->m_hSocket, data, length) != 0;
  return socket->SendAll(data, length, timeoutMs) != 0;
}

void SockShutdownSend(const CHostSocket* socket) { PlatformShutdownSend(socket->m_hSocket); }
