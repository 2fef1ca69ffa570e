#include "posix_shell.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring Widen(const std::string& text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(size > 0 ? size : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], size);
  wide.resize(wide.size() - 1);
  return wide;
}

// Wine's bridges between its drives and the host's file system; absent on
// Windows itself.
template <typename Function>
Function WineFunction(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace

std::string ShellPath(const std::string& localPath) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  const auto toUnix = WineFunction<ToUnix>("wine_get_unix_file_name");
  if (toUnix == nullptr) return localPath;
  char* unixPath = toUnix(Widen(localPath).c_str());
  if (unixPath == nullptr) return localPath;
  std::string path(unixPath);
  HeapFree(GetProcessHeap(), 0, unixPath);
  return path;
}

bool ShellStart(const std::string& script, std::string* error) {
  if (script.find_first_of("\"\\") != std::string::npos) {
    *error = "a shell script for CreateProcess holds a '\"' or a '\\': " + script;
    return false;
  }
  using ToDos = WCHAR*(CDECL*)(const char*);
  const auto toDos = WineFunction<ToDos>("wine_get_dos_file_name");
  WCHAR* shell = toDos != nullptr ? toDos("/bin/sh") : nullptr;
  if (shell == nullptr) {
    *error = "no POSIX shell: these tests run the host's openssl command, under Wine";
    return false;
  }
  std::wstring commandLine = L"sh -c \"" + Widen(script) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(shell, &commandLine[0], nullptr, nullptr, FALSE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  const DWORD code = GetLastError();
  HeapFree(GetProcessHeap(), 0, shell);
  if (!started) {
    *error = "CreateProcess of /bin/sh failed with error " + std::to_string(code);
    return false;
  }
  // Wine hands back no handles for a host program; Windows would.
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  return true;
}

void ShellPause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

#else

std::string ShellPath(const std::string& localPath) { return localPath; }

bool ShellStart(const std::string& script, std::string* error) {
  const std::string command = "( " + script + " ) </dev/null >/dev/null 2>&1 &";
  if (std::system(command.c_str()) == 0) return true;
  *error = "cannot start /bin/sh for: " + script;
  return false;
}

void ShellPause(int milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }

#endif

// Wine starts a host program without a handle to wait on, so the end is
// told by a file the script renames into place last.
int ShellRun(const std::string& directory, const std::string& command, int timeoutMs,
             std::string* output) {
  static std::atomic<unsigned> counter{0};
  const std::string tag = "shell-" + std::to_string(++counter);
  const auto local = [&](const std::string& name) {
    return (std::filesystem::path(directory) / name).string();
  };
  const std::string script = "cd '" + ShellPath(directory) + "' && { " + command + " ; } >" + tag +
                             ".out 2>&1 </dev/null; echo $? >" + tag + ".tmp && mv " + tag +
                             ".tmp " + tag + ".status";
  std::string error;
  if (!ShellStart(script, &error)) {
    *output = error;
    return -1;
  }
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    const std::string status = ReadText(local(tag + ".status"));
    if (!status.empty()) {
      *output = ReadText(local(tag + ".out"));
      std::remove(local(tag + ".status").c_str());
      std::remove(local(tag + ".out").c_str());
      return std::atoi(status.c_str());
    }
    ShellPause(20);
  }
  *output = "timed out: " + command + "\n" + ReadText(local(tag + ".out"));
  return -1;
}
