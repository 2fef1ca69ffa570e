#include "boundary/connection_registry.h"

#include "platform/debug_output.h"

namespace {

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
    HANDLE handle = g_hConnectionMutex;
    DWORD result =
        MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs, QS_ALLINPUT | QS_ALLPOSTMESSAGE);
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

void ReleaseLock() {
  if (g_hConnectionMutex != nullptr) ReleaseMutex(g_hConnectionMutex);
}
