// Operating-system services on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <process.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <stdio.h>

#include "host/base/os.h"

namespace {

void (*g_onStop)() = nullptr;

BOOL WINAPI ConsoleHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (g_onStop != nullptr) g_onStop();
      return TRUE;
    default:
      return FALSE;
  }
}

struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};

unsigned __stdcall ThreadMain(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.fn(start.arg);
  return 0;
}

std::string LastErrorText(DWORD code) {
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) {
    text[--n] = '\0';
  }
  return (n > 0 ? std::string(text) : std::string("error")) + " (" + std::to_string(code) + ")";
}

}  // namespace

void* OsLoadLibrary(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) *error = LastErrorText(GetLastError());
  return reinterpret_cast<void*>(module);
}

void* OsFindSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool OsStartThread(void (*fn)(void*), void* arg, size_t stackBytes, std::string* error) {
  auto* start = new ThreadStart{fn, arg};
  // The size is a reservation: a thousand threads fit the 2 GiB of a 32-bit
  // process, and pages are committed only as the stack grows.
  uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), ThreadMain, start,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    delete start;
    *error = LastErrorText(GetLastError());
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(handle));
  return true;
}

void OsInstallStopHandler(void (*onStop)()) {
  g_onStop = onStop;
  SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

// Windows has no signals: the reload signal is an auto-reset event that the
// service's PARAMCHANGE control sets. A set event stays set until a wait
// takes it, as a blocked SIGHUP stays pending.
namespace {
HANDLE g_reloadEvent = nullptr;
}  // namespace

bool OsBlockReloadSignal() {
  if (g_reloadEvent == nullptr) g_reloadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return g_reloadEvent != nullptr;
}

bool OsWaitReloadSignal() {
  return g_reloadEvent != nullptr && WaitForSingleObject(g_reloadEvent, INFINITE) == WAIT_OBJECT_0;
}

void OsRaiseReloadSignal() {
  if (g_reloadEvent != nullptr) SetEvent(g_reloadEvent);
}

std::string OsExecutableDirectory() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return ".\\";
  std::string result(path, n);
  size_t slash = result.find_last_of("\\/");
  return slash == std::string::npos ? ".\\" : result.substr(0, slash + 1);
}

bool OsStderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string OsSetPluginTraceLevel(int level) {
  // The plug-in reads this value when it is loaded. Writing HKLM needs
  // administrator rights; without them the plug-in keeps its own level.
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\ZEBMail", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return "";
  }
  const DWORD value = static_cast<DWORD>(level);
  const LONG rc = RegSetValueExA(key, "DebugLevel", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return "";
  return "registry value HKLM\\Software\\Corvane\\ZEBMail\\DebugLevel (trace lines go to the "
         "debugger output)";
}

std::string OsSetPluginRelayUnspooled(bool relay, std::string* error) {
  // The plug-in's own settings key, beside DebugLevel; read when the plug-in
  // is loaded and when a thread of the host starts or ends.
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\ZEBMail", 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    const DWORD value = relay ? 1 : 0;
    rc = RegSetValueExA(key, "RelayUnspooled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
    RegCloseKey(key);
  }
  if (rc != ERROR_SUCCESS) {
    *error = "cannot write HKLM\\Software\\Corvane\\ZEBMail\\RelayUnspooled (error " +
             std::to_string(rc) + "; administrator rights needed)";
    return "";
  }
  return "registry value HKLM\\Software\\Corvane\\ZEBMail\\RelayUnspooled";
}

bool OsSetPluginCallbackVersion(int version, std::string* error) {
  // The process's environment block, which the plug-in reads whatever C
  // runtime it links.
  if (!SetEnvironmentVariableA("DIVIVEZ_CALLBACK_VERSION", std::to_string(version).c_str())) {
    *error = "SetEnvironmentVariable failed (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

std::string OsTempDirectory() {
  char directory[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof directory, directory);
  if (n == 0 || n >= sizeof directory) return "";
  return std::string(directory, n);
}

bool OsOwnedByCurrentUser(const std::string& path) {
  (void)path;
  return true;
}

std::FILE* OsCreatePrivateFile(const std::string& path, std::string* error) {
  // The outbox inherits its directory's access list; CREATE_NEW refuses an
  // existing name, and a reparse point is not followed into.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot create " + path + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileA(path.c_str());
    *error = "cannot open " + path;
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    DeleteFileA(path.c_str());
    *error = "cannot open " + path;
  }
  return file;
}

std::FILE* OsOpenLogFile(const std::string& path, std::string* error) {
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot open log file " + path + ": " + LastErrorText(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "ab");
  if (file == nullptr) {
    if (fd < 0) {
      CloseHandle(handle);
    } else {
      _close(fd);
    }
    *error = "cannot open log file " + path;
  }
  return file;
}

bool OsReadFilePieces(const std::string& path, size_t pieceBytes,
                      const std::function<bool(const char*, size_t)>& take, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  // Pieces go straight from the file into the buffer: no stdio buffer
  // between. Not zeroed: every byte handed out is read into it first.
  std::setvbuf(file, nullptr, _IONBF, 0);
  const std::unique_ptr<char[]> buffer(new char[pieceBytes]);
  for (;;) {
    const size_t n = std::fread(buffer.get(), 1, pieceBytes, file);
    if (n > 0 && !take(buffer.get(), n)) break;
    if (n < pieceBytes) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) *error = "read error on " + path;
  return !failed;
}

bool OsReadRegularFile(const std::string& path, size_t maxBytes, std::string* text,
                       std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  struct _stat64 status {};
  if (file == nullptr) {
    const int reason = errno;
    // A directory does not open here at all; say what it is.
    if (_stat64(path.c_str(), &status) == 0 && (status.st_mode & _S_IFMT) != _S_IFREG) {
      *error = path + " is not a regular file";
    } else {
      *error = "cannot open " + path + ": " + std::strerror(reason);
    }
    return false;
  }
  // A pipe or a device (CON, NUL) opens like a file; what was opened says
  // what it is.
  if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(file);
    *error = path + " is not a regular file";
    return false;
  }
  char block[4096];
  size_t n;
  while (text->size() <= maxBytes && (n = std::fread(block, 1, sizeof block, file)) > 0) {
    text->append(block, n);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
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

bool OsSyncFile(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

bool OsSyncDirectory(const std::string& path) {
  (void)path;
  return true;
}

void OsMakePrivateDirectory(const std::string& path) { (void)path; }

unsigned long OsRaiseFileLimit() {
  // The C runtime (msvcrt.dll, shared with the plug-in) allows 512 open
  // stdio streams by default; every connection may hold a spool file, a scan
  // and an outbox file open at once.
  const int limit = _setmaxstdio(2048);
  return limit > 0 ? static_cast<unsigned long>(limit) : 512;
}

void OsLocalTime(std::time_t when, std::tm* out) { localtime_s(out, &when); }

unsigned long OsProcessId() { return static_cast<unsigned long>(GetCurrentProcessId()); }

bool OsMayReuseConnectionThreads() { return false; }
