#include "boundary/settings.h"

#include "platform/trace_level.h"

volatile int32_t g_nDebugLevel = 0;
HostCallback volatile g_pCallback = nullptr;
ISocket* volatile g_pISocket = nullptr;
volatile uint32_t g_bTimeoutProtection = 0;
volatile uint32_t g_dwTimeoutProtection = 5000;
volatile int32_t g_bRelayUnspooled = 0;
volatile int32_t g_nCallbackVersion = 1;

void RefreshSettings() {
  g_nDebugLevel = PlatformReadTraceLevel();
  g_bRelayUnspooled = PlatformReadRelayUnspooled() ? 1 : 0;
  g_nCallbackVersion = PlatformReadCallbackVersion();
}
