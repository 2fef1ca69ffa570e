// Real TCP connections on the loopback interface for the transport tests,
// and the few raw socket operations the tests need on the far side of them.
//
// Listeners bind port 0, so tests never collide on a port. Sockets start
// blocking. Under Winsock, the first use starts Windows Sockets for the
// process.
#ifndef DIVIVEZ_TESTS_SUPPORT_LOOPBACK_SOCKET_H_
#define DIVIVEZ_TESTS_SUPPORT_LOOPBACK_SOCKET_H_

#include <string>

#include "platform/platform.h"

// Two ends of one connection. Both are closed on destruction unless released.
class CLoopbackPair {
 public:
  CLoopbackPair();
  ~CLoopbackPair();
  CLoopbackPair(const CLoopbackPair&) = delete;
  CLoopbackPair& operator=(const CLoopbackPair&) = delete;

  bool IsOpen() const { return m_hNear != INVALID_SOCKET && m_hFar != INVALID_SOCKET; }
  SOCKET Near() const { return m_hNear; }  // the end the code under test uses
  SOCKET Far() const { return m_hFar; }    // the test's end

  // Closes one end now (orderly: the other end reads end of stream).
  void CloseNear();
  void CloseFar();
  // Closes the far end with an immediate reset instead of an orderly close.
  void ResetFar();
  // Gives up ownership of the near end (after it was moved elsewhere).
  void ForgetNear() { m_hNear = INVALID_SOCKET; }

 private:
  SOCKET m_hNear = INVALID_SOCKET;
  SOCKET m_hFar = INVALID_SOCKET;
};

void CloseTestSocket(SOCKET socket);
bool SetTestSocketNonBlocking(SOCKET socket);
bool SetTestSocketSendBuffer(SOCKET socket, int bytes);

// One raw send / recv on a test-owned socket, the platform's own call.
int RawSend(SOCKET socket, const char* data, int length);
int RawRecv(SOCKET socket, char* buffer, int size);
// Sends all of text (blocking socket).
bool RawSendAll(SOCKET socket, const std::string& text);
// Reads until end of stream or until expected bytes have arrived.
std::string RawRecvUntilClosed(SOCKET socket, size_t expected);

#endif  // DIVIVEZ_TESTS_SUPPORT_LOOPBACK_SOCKET_H_
