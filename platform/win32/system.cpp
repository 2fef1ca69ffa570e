// The trace level source and the private spool file on Windows. Everything
// else of the platform surface is Win32 itself.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "platform/spool_file.h"
#include "platform/trace_level.h"

namespace {

// A value under HKLM\Software\Corvane\ZEBMail. The value's type is not
// examined: up to four bytes of any value are taken as a little-endian
// integer, and a missing key or value is 0.
DWORD ReadSettingValue(const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\ZEBMail", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return 0;
  }
  DWORD value = 0;
  DWORD size = sizeof value;
  // Only a value longer than four bytes is looked at: the query then fails
  // with ERROR_MORE_DATA, after which Windows does not promise what the
  // buffer holds. Such a value is 0.
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) ==
      ERROR_MORE_DATA) {
    value = 0;
  }
  RegCloseKey(key);
  return value;
}

}  // namespace

// DllMain reads the settings at every thread start and end (dll_main.cpp).
bool PlatformRereadsSettingsOnThreadEvents() { return true; }

int PlatformReadTraceLevel() { return static_cast<int32_t>(ReadSettingValue("DebugLevel")); }

bool PlatformReadRelayUnspooled() { return ReadSettingValue("RelayUnspooled") == 1; }

// The process's environment block, not the C runtime's copy: the host may
// link another runtime than the library does.
int PlatformReadCallbackVersion() {
  char text[16];
  const DWORD n = GetEnvironmentVariableA("DIVIVEZ_CALLBACK_VERSION", text, sizeof text);
  if (n == 0 || n >= sizeof text) return 1;
  long value = 0;
  for (DWORD i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > 100000) return 1;
    value = value * 10 + (text[i] - '0');
  }
  return value >= 1 ? static_cast<int>(value) : 1;
}

long long PlatformFileLength(FILE* file) {
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  const long long length = _ftelli64(file);
  if (_fseeki64(file, 0, SEEK_SET) != 0) return -1;
  return length;
}

// CREATE_NEW makes creation and the existence check one step and never
// follows a link to an existing file. Readers may open the file while it is
// written (on-access virus scanners do); nobody else may write or delete it.
// The temporary directory's own permissions keep other users out.
FILE* PlatformCreateExclusive(const char* path, bool* pExists) {
  if (pExists != nullptr) *pExists = false;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (pExists != nullptr) *pExists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    CloseHandle(file);
    DeleteFileA(path);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    _close(fd);  // closes the handle too
    DeleteFileA(path);
    return nullptr;
  }
  return stream;
}
