// The test program's send(): callers of Winsock's send() call through the
// import slot __imp__send@16. Defining that slot here, pointing to the
// interposer, keeps the linker from taking ws2_32's, so every send() in the
// program, the transport's included, goes to the armed script
// (send_faults.h) before the real one.
#include "support/send_faults.h"

namespace {

typedef int(WSAAPI* SendFunction)(SOCKET, const char*, int, int);

SendFunction RealSend() {
  static const SendFunction real = reinterpret_cast<SendFunction>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("ws2_32.dll"), "send")));
  return real;
}

int WSAAPI InterposedSend(SOCKET socket, const char* data, int length, int flags) {
  int limit = 0;
  switch (NextSendStep(socket, data, length, &limit)) {
    case ESendStep::kPass:
      return RealSend()(socket, data, length, flags);
    case ESendStep::kShort:
      return RealSend()(socket, data, limit, flags);
    case ESendStep::kWouldBlock:
      WSASetLastError(WSAEWOULDBLOCK);
      return SOCKET_ERROR;
    case ESendStep::kReset:
      WSASetLastError(WSAECONNRESET);
      return SOCKET_ERROR;
  }
  WSASetLastError(WSAEINVAL);
  return SOCKET_ERROR;
}

}  // namespace

extern "C" {
SendFunction g_pfnSendImport __asm__("__imp__send@16") = &InterposedSend;
}
