#include "support/plugin_settings.h"

#include <cstdlib>

#include "boundary/settings.h"

void SetRelayUnspooled(bool relay) {
#ifdef _WIN32
  _putenv_s("DIVIVEZ_RELAY_UNSPOOLED", relay ? "1" : "0");
#else
  setenv("DIVIVEZ_RELAY_UNSPOOLED", relay ? "1" : "0", 1);
#endif
  g_bRelayUnspooled = relay ? 1 : 0;
}
