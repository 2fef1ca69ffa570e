// POSIX stand-ins for the kernel32/user32 calls the plug-in makes, the trace
// level source and the private spool file.
//
// Thread-safe: the only state is the per-thread last-error value. Failing
// calls store a Windows code there (see last_error.h) so that a trace of
// GetLastError() reads the same on both platforms.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/last_error.h"
#include "platform/spool_file.h"
#include "platform/trace_level.h"

namespace {

// Windows system error codes (winerror.h) that the file stand-ins report.
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorWriteProtect = 19;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorCantResolveFilename = 1921;

// wsprintfA never writes more than this many bytes, the NUL included.
constexpr size_t kWsprintfLimit = 1024;

thread_local DWORD s_dwLastError = 0;

}  // namespace

void PosixSetLastError(DWORD code) { s_dwLastError = code; }

DWORD SystemErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    // DeleteFileA on a directory is refused as access denied on Windows.
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EROFS:
      return kErrorWriteProtect;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorFileExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case ELOOP:
      return kErrorCantResolveFilename;
    default:
      return kErrorGenFailure;
  }
}

DWORD GetLastError() { return s_dwLastError; }

int WSAGetLastError() { return static_cast<int>(s_dwLastError); }

DWORD GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t milliseconds =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  // Truncation is the point: like the Windows counter it wraps after 49.7 days.
  return static_cast<DWORD>(milliseconds);
}

void Sleep(DWORD milliseconds) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000u);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
  // A signal handler cuts nanosleep short; Sleep does not end early on Windows.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// $TMPDIR when set, else /tmp/, always ending in '/'. Returns the length
// without the NUL; 0 when the buffer cannot hold the path and its NUL (the
// buffer is then left empty). NOT: Windows would return the size needed; the
// plug-in treats any 0 or oversized result the same, as no directory.
DWORD GetTempPathA(DWORD size, char* buffer) {
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || directory[0] == '\0') directory = "/tmp/";
  const size_t length = std::strlen(directory);
  const bool bNeedsSeparator = directory[length - 1] != '/';
  const size_t total = length + (bNeedsSeparator ? 1u : 0u);
  if (buffer == nullptr || total + 1 > size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    PosixSetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  std::memcpy(buffer, directory, length);
  if (bNeedsSeparator) buffer[length] = '/';
  buffer[total] = '\0';
  return static_cast<DWORD>(total);
}

BOOL DeleteFileA(const char* path) {
  if (unlink(path) == 0) return TRUE;
  PosixSetLastError(SystemErrorFromErrno(errno));
  return FALSE;
}

void OutputDebugStringA(const char* text) {
  if (text == nullptr) return;
  std::fputs(text, stderr);
  std::fflush(stderr);
}

// Windows writes at most 1024 bytes, so the buffer needs no more; longer
// output is cut to 1023 characters and its NUL.
int wvsprintfA(char* buffer, const char* format, va_list args) {
  const int written = std::vsnprintf(buffer, kWsprintfLimit, format, args);
  if (written < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return written < static_cast<int>(kWsprintfLimit) ? written
                                                    : static_cast<int>(kWsprintfLimit) - 1;
}

int wsprintfA(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = wvsprintfA(buffer, format, args);
  va_end(args);
  return written;
}

// No thread notifications reach a shared library here: the exports read the
// settings at every new connection instead.
bool PlatformRereadsSettingsOnThreadEvents() { return false; }

// DIVIVEZ_DEBUG_LEVEL as a decimal integer; anything else is level 0.
int PlatformReadTraceLevel() {
  const char* text = std::getenv("DIVIVEZ_DEBUG_LEVEL");
  if (text == nullptr || text[0] == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int>(value);
}

// Exactly "1" lets mail that cannot be spooled through unscanned.
bool PlatformReadRelayUnspooled() {
  const char* text = std::getenv("DIVIVEZ_RELAY_UNSPOOLED");
  return text != nullptr && std::strcmp(text, "1") == 0;
}

int PlatformReadCallbackVersion() {
  const char* text = std::getenv("DIVIVEZ_CALLBACK_VERSION");
  if (text == nullptr) return 1;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > INT32_MAX) return 1;
  return static_cast<int>(value);
}

long long PlatformFileLength(FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t length = ftello(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return -1;
  return static_cast<long long>(length);
}

// O_EXCL makes creation and the existence check one step, and with it no
// symbolic link is followed, not even a dangling one; O_NOFOLLOW says so
// again. The mode keeps the message away from other local users.
FILE* PlatformCreateExclusive(const char* path, bool* pExists) {
  if (pExists != nullptr) *pExists = false;
  const int fd = open(path, O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    PosixSetLastError(SystemErrorFromErrno(error));
    if (error == EEXIST && pExists != nullptr) *pExists = true;
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    unlink(path);
    PosixSetLastError(SystemErrorFromErrno(error));
    return nullptr;
  }
  return file;
}
