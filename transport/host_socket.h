// The host's socket objects and the plug-in's reads and writes on them.
//
// Every byte the plug-in exchanges with either side of a connection goes
// through SockReceive and SockSend, and a half-close through SockShutdownSend. When the host has
// handed over its socket service (SetISocket), they call it; otherwise the plug-in uses the SOCKET
// handle inside the host's object itself, with polling reads and sends that
// wait without limit and retry after WSAEWOULDBLOCK.
//
// This header is part of what a host compiles against (see
// boundary/plugin_exports.h).
#ifndef DIVIVEZ_TRANSPORT_HOST_SOCKET_H_
#define DIVIVEZ_TRANSPORT_HOST_SOCKET_H_

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The host's object for one socket. The plug-in reads only the SOCKET handle,
// the object's second 32-bit word; the rest belongs to the host, which
// creates, closes and frees the object. The three member functions are the
// plug-in's own operations on the handle (used when no ISocket is set).
class CHostSocket {
 public:
  int32_t m_nHostWord0;  // the host's; never read by the plug-in
  SOCKET m_hSocket;      // byte offset 4

  // Waits at most timeoutMs (0 polls, INFINITE waits) for data, then one recv.
  // Returns the count received; 0 when nothing arrived in time or the peer
  // closed. Throws CWinSockException when the wait or the recv fails.
  int Receive(char* buffer, int size, DWORD timeoutMs, int peek);
  // Waits for writability, then one send. Returns the count accepted (may be
  // short); 0 when not writable in time. Throws CWinSockException on failure.
  int Send(const char* data, int length, DWORD timeoutMs);
  // Sends all bytes, retrying after 100 ms on WSAEWOULDBLOCK. 1 when all were
  // sent, 0 otherwise. Never throws.
  int SendAll(const char* data, int length, DWORD timeoutMs);
};
static_assert(offsetof(CHostSocket, m_hSocket) == 4, "the SOCKET handle is the second word");

// The host's socket service. Slot 0 is never called; slot 1 receives without
// waiting (a result below 1 means nothing is waiting), slot 2 sends the whole
// buffer. No virtual destructor on purpose: it would take vtable slots of its
// own and move Receive and Send.
class ISocket {
 public:
  virtual void Reserved() = 0;
  virtual int Receive(SOCKET socket, char* buffer, int size) = 0;
  virtual BOOL Send(SOCKET socket, const char* data, int length) = 0;
};

// Raised by the plug-in's own socket operations.
class CWinSockException {
 public:
  int m_nError;     // WSAGetLastError() right after the failing call
  int m_nReserved;  // always 0
};

// Reads at most size bytes from the socket (time-out and peek flag apply to the
// plug-in's own road only). Returns the count, or a value below 1 when nothing
// was read.
int SockReceive(CHostSocket* socket, char* buffer, int size, DWORD timeoutMs, int peek);
// Copies what the socket holds unread, at most size bytes, leaving it there;
// 0 when nothing is waiting or the socket cannot be looked at. Uses the
// handle directly, with or without the host's service.
int SockPeek(const CHostSocket* socket, char* buffer, int size);
// Sends length bytes. True when the whole buffer was handed over.
bool SockSend(CHostSocket* socket, const char* data, int length, DWORD timeoutMs);
// Half-closes the sending direction, so the peer reads the end of the stream.
// On the handle itself whoever reads and writes the socket: the host's
// service has no such call. Never raises; a failure is not reported, since
// the caller has given the peer up either way.
void SockShutdownSend(const CHostSocket* socket);

#endif  // DIVIVEZ_TRANSPORT_HOST_SOCKET_H_
