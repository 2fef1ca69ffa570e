// Socket primitives under the transport, one implementation per platform.
//
// Each function reports failure the Winsock way: SOCKET_ERROR (or -1) with the
// error code left for WSAGetLastError() on the calling thread, captured right
// at the failing system call. Readiness waits use select() on Windows and
// poll() elsewhere, so descriptors of any number work on POSIX.
#ifndef DIVIVEZ_PLATFORM_SOCKET_IO_H_
#define DIVIVEZ_PLATFORM_SOCKET_IO_H_

#include "platform/platform.h"

enum class ESocketWait { kReadable, kWritable };

// Waits until the socket is ready for the given direction. timeoutMs 0 polls,
// INFINITE waits without limit. Returns 1 ready, 0 timed out, SOCKET_ERROR on
// failure. A socket whose peer has closed or reset counts as ready, so the
// following recv/send reports it.
int PlatformWaitSocket(SOCKET socket, ESocketWait what, DWORD timeoutMs);

// recv() with the given flags (MSG_PEEK or 0).
int PlatformRecv(SOCKET socket, char* buffer, int size, bool peek);

// One send() of at most length bytes. Never raises SIGPIPE on POSIX.
int PlatformSend(SOCKET socket, const char* data, int length);

// Half-closes the sending direction, so the peer reads end of stream.
int PlatformShutdownSend(SOCKET socket);

#endif  // DIVIVEZ_PLATFORM_SOCKET_IO_H_
