// The test program's send(): it takes the place of the C library's for every
// caller linked into the program, the transport included, and hands each
// call to the armed script (send_faults.h) before the real one.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

#include "support/send_faults.h"

namespace {

typedef ssize_t (*SendFunction)(int, const void*, size_t, int);

SendFunction RealSend() {
  // The next definition after this program's: the C library's (or a
  // sanitizer's wrapper of it).
  static const SendFunction real = reinterpret_cast<SendFunction>(dlsym(RTLD_NEXT, "send"));
  return real;
}

}  // namespace

extern "C" ssize_t send(int socket, const void* data, size_t length, int flags) {
  int limit = 0;
  switch (NextSendStep(socket, static_cast<const char*>(data), static_cast<int>(length), &limit)) {
    case ESendStep::kPass:
      return RealSend()(socket, data, length, flags);
    case ESendStep::kShort:
      return RealSend()(socket, data, static_cast<size_t>(limit), flags);
    case ESendStep::kWouldBlock:
      errno = EAGAIN;
      return -1;
    case ESendStep::kReset:
      errno = ECONNRESET;
      return -1;
  }
  errno = EINVAL;
  return -1;
}
