// Operating-system services on POSIX.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/base/os.h"

namespace {

void (*g_onStop)() = nullptr;

void StopSignalHandler(int) {
  if (g_onStop != nullptr) g_onStop();
}

struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};

void* ThreadMain(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.fn(start.arg);
  return nullptr;
}

}  // namespace

void* OsLoadLibrary(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* text = dlerror();
    *error = text != nullptr ? text : "dlopen failed";
  }
  return library;
}

void* OsFindSymbol(void* library, const char* name) { return dlsym(library, name); }

bool OsStartThread(void (*fn)(void*), void* arg, size_t stackBytes, std::string* error) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackBytes < static_cast<size_t>(PTHREAD_STACK_MIN)) {
    stackBytes = static_cast<size_t>(PTHREAD_STACK_MIN);
  }
  pthread_attr_setstacksize(&attributes, stackBytes);
  auto* start = new ThreadStart{fn, arg};
  pthread_t thread;
  const int rc = pthread_create(&thread, &attributes, ThreadMain, start);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    delete start;
    *error = std::strerror(rc);
    return false;
  }
  return true;
}

void OsInstallStopHandler(void (*onStop)()) {
  g_onStop = onStop;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = StopSignalHandler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the accept loop's poll returns early and sees the request.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool OsBlockReloadSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool OsWaitReloadSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  int received = 0;
  return sigwait(&set, &received) == 0 && received == SIGHUP;
}

// To the process, not a thread: whichever thread waits takes it.
void OsRaiseReloadSignal() { kill(getpid(), SIGHUP); }

std::string OsExecutableDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = '\0';
  std::string result(path);
  size_t slash = result.rfind('/');
  return slash == std::string::npos ? "./" : result.substr(0, slash + 1);
}

bool OsStderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string OsSetPluginTraceLevel(int level) {
  if (setenv("DIVIVEZ_DEBUG_LEVEL", std::to_string(level).c_str(), 1) != 0) return "";
  return "environment variable DIVIVEZ_DEBUG_LEVEL";
}

std::string OsSetPluginRelayUnspooled(bool relay, std::string* error) {
  if (setenv("DIVIVEZ_RELAY_UNSPOOLED", relay ? "1" : "0", 1) != 0) {
    *error = std::strerror(errno);
    return "";
  }
  return "environment variable DIVIVEZ_RELAY_UNSPOOLED";
}

bool OsSetPluginCallbackVersion(int version, std::string* error) {
  if (setenv("DIVIVEZ_CALLBACK_VERSION", std::to_string(version).c_str(), 1) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

std::string OsTempDirectory() {
  // As the plug-in's GetTempPathA: $TMPDIR, else /tmp.
  const char* directory = std::getenv("TMPDIR");
  std::string result = directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
  if (result.back() != '/') result.push_back('/');
  return result;
}

bool OsOwnedByCurrentUser(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && info.st_uid == geteuid();
}

std::FILE* OsCreatePrivateFile(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

std::FILE* OsOpenLogFile(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "abe");
  if (file == nullptr) *error = "cannot open log file " + path + ": " + std::strerror(errno);
  return file;
}

namespace {

// Files up to this size are read, larger ones mapped.
constexpr size_t kMapAbove = size_t{1} << 20;

}  // namespace

bool OsReadFilePieces(const std::string& path, size_t pieceBytes,
                      const std::function<bool(const char*, size_t)>& take, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || status.st_size < 0 ||
      static_cast<unsigned long long>(status.st_size) > SIZE_MAX) {
    close(fd);
    *error = "read error on " + path;
    return false;
  }
  const size_t size = static_cast<size_t>(status.st_size);
  if (size <= kMapAbove) {
    // Read through one buffer of up to four pieces: below this size copying
    // costs less than a mapping's set-up and tear-down (page tables, and on
    // munmap a TLB flush on every core that runs one of our threads).
    const size_t bufferBytes = std::max<size_t>(1, std::min(size, 4 * pieceBytes));
    const std::unique_ptr<char[]> buffer(new char[bufferBytes]);
    size_t done = 0;
    bool more = true;
    while (more && done < size) {
      const ssize_t n = read(fd, buffer.get(), std::min(bufferBytes, size - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const size_t got = static_cast<size_t>(n);
      for (size_t at = 0; more && at < got; at += pieceBytes) {
        more = take(buffer.get() + at, std::min(pieceBytes, got - at));
      }
      done += got;
    }
    close(fd);
    if (more && done < size) {
      *error = "read error on " + path;
      return false;
    }
    return true;
  }
  // The whole file at once: its pages are read ahead and mapped in bulk.
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) {
    *error = "read error on " + path;
    return false;
  }
  const char* data = static_cast<const char*>(mapped);
  for (size_t done = 0; done < size;) {
    const size_t n = size - done < pieceBytes ? size - done : pieceBytes;
    if (!take(data + done, n)) break;
    done += n;
  }
  munmap(mapped, size);
  return true;
}

bool OsReadRegularFile(const std::string& path, size_t maxBytes, std::string* text,
                       std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    *error = path + " is not a regular file";
    return false;
  }
  // One byte past the limit tells a file at the limit from a larger one
  // (the size fstat gave may have changed since).
  char block[4096];
  bool failed = false;
  while (text->size() <= maxBytes) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    text->append(block, static_cast<size_t>(n));
  }
  close(fd);
  if (failed) {
    *error = "read error on " + path;
    return false;
  }
  if (text->size() > maxBytes) {
    *error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  return true;
}

bool OsSyncFile(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool OsSyncDirectory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

void OsMakePrivateDirectory(const std::string& path) { chmod(path.c_str(), 0700); }

unsigned long OsRaiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<unsigned long>(limit.rlim_cur);
}

void OsLocalTime(std::time_t when, std::tm* out) { localtime_r(&when, out); }

unsigned long OsProcessId() { return static_cast<unsigned long>(getpid()); }

bool OsMayReuseConnectionThreads() { return true; }
