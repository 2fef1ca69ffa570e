#include "support/plugin_settings.h"

#include <cstdlib>
#include <string>

#include "boundary/settings.h"

void SetRelayUnspooled(bool relay) {
#ifdef _WIN32
  _putenv_s("DIVIVEZ_RELAY_UNSPOOLED", relay ? "1" : "0");
#else
  setenv("DIVIVEZ_RELAY_UNSPOOLED", relay ? "1" : "0", 1);
#endif
  g_bRelayUnspooled = relay ? 1 : 0;
}

void SetTraceLevel(int level) {
  const std::string value = std::to_string(level);
#ifdef _WIN32
  _putenv_s("DIVIVEZ_DEBUG_LEVEL", value.c_str());
#else
  setenv("DIVIVEZ_DEBUG_LEVEL", value.c_str(), 1);
#endif
  g_nDebugLevel = level;
}
