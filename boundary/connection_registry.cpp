#include "boundary/connection_registry.h"

#include "platform/debug_output.h"

namespace {

// The wake mask of the lock wait: QS_ALLINPUT | QS_ALLPOSTMESSAGE as Windows
// has always taken them. Newer headers (_WIN32_WINNT 0x0602 and up) add
// QS_TOUCH and QS_POINTER to QS_ALLINPUT, bits that older Windows versions
// refuse with ERROR_INVALID_PARAMETER, which would leave every export
// unguarded.
constexpr DWORD kLockWakeMask = 0x04FF | 0x0100;
static_assert(kLockWakeMask == 0x5FF, "the lock wait's wake mask");

DWORD DefaultLockWait(HANDLE handle, DWORD timeoutMs, DWORD wakeMask) {
  return MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs, wakeMask);
}

LockWaitFunction s_lockWait = &DefaultLockWait;

// Static initialisation creates the lock first and the map second, so that
// at unloading the map goes first and the lock last.
struct CConnectionMutex {
  CConnectionMutex() {
    g_hConnectionMutex = CreateMutexA(nullptr, FALSE, nullptr);
    // The trace level has not been read yet: this line is written whatever it is.
    if (g_hConnectionMutex == nullptr) PlatformDebugOutput("Mutex creation failed.\n");
  }
  ~CConnectionMutex() {
    if (g_hConnectionMutex != nullptr) CloseHandle(g_hConnectionMutex);
    g_hConnectionMutex = nullptr;
  }
};

}  // namespace

HANDLE g_hConnectionMutex = nullptr;
static CConnectionMutex s_connectionMutex;
// NOT: the sessions still registered at unloading are not destroyed; the host
// ends its connections before it unloads the library.
ConnectionMap g_mapConnections;

int WaitForLock(DWORD timeoutMs) {
  if (g_hConnectionMutex == nullptr) return 0;
  for (;;) {
    DWORD result = s_lockWait(g_hConnectionMutex, timeoutMs, kLockWakeMask);
    switch (result) {
      case WAIT_OBJECT_0:
      // A previous owner ended while holding it: the mutex is ours now all the
      // same, and the export's single release gives it back.
      case WAIT_ABANDONED:
        return 1;
      case WAIT_OBJECT_0 + 1: {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
          TranslateMessage(&msg);
          DispatchMessageA(&msg);
        }
        continue;  // wait again with the full time-out
      }
      default:  // WAIT_TIMEOUT, WAIT_FAILED: not taken, and never spin
        return 0;
    }
  }
}

void SetLockWaitForTesting(LockWaitFunction wait) {
  s_lockWait = wait != nullptr ? wait : &DefaultLockWait;
}

void ReleaseLock() {
  if (g_hConnectionMutex != nullptr) ReleaseMutex(g_hConnectionMutex);
}
