// The server side of the relay: drains the server socket and hands the bytes
// to the reply accounting (reply_stream.cpp).
#include "boundary/trace.h"
#include "session/smtp_connection.h"

namespace {

const int kServerReadSize = 32768;

}  // namespace

int CSmtpConnection::OnPendingRequestFromServer(CHostSocket* client, CHostSocket* server) {
  (void)client;  // the same object as m_pSockApplication
  Trace(0, "DIVIVEZ: OnPendingRequestFromServer...\n");
  AskHostAboutConnection();
  m_pSockServer = server;
  int count = 0;
  char buffer[kServerReadSize + 1];
  try {
    for (;;) {
      int n = SockReceive(server, buffer, kServerReadSize, 0, 0);
      if (n < 1) break;
      count += n;
      buffer[n] = '\0';
      TraceText(1, "S: ", buffer, static_cast<size_t>(n), "\n");
      ProcessServerBytes(buffer, static_cast<size_t>(n));
    }
  } catch (const CWinSockException& e) {
    TraceF(0, "DIVIVEZ: WinSockException %d in OnPendingRequestFromServer!\n", e.m_nError);
  }
  try {
    // A message that ended here frees the client bytes held behind it.
    ReleaseHeldClientBytes();
  } catch (const CWinSockException& e) {
    TraceF(0, "DIVIVEZ: WinSockException %d while releasing held client bytes!\n", e.m_nError);
  }
  m_pSockServer = nullptr;
  return count;
}
