// The DLL entry point.
//
// Every notification (process attach and detach, thread attach and detach)
// reads the settings afresh, so a change of DebugLevel or RelayUnspooled in the registry
// takes effect at the next thread start or end in the host process. Loading
// never fails. Runs under the loader lock: nothing here may wait for another
// thread. The registry lock and map are static objects in the library and
// are created by static initialisation before the first notification.
#include "boundary/settings.h"
#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  RefreshSettings();
  return TRUE;
}
