#include "support/plugin_settings.h"

#include <cstdlib>
#include <string>

#include "boundary/settings.h"

namespace {

// Where the plug-in reads it: the environment (on Windows the runtime's
// _putenv_s sets the process's environment block too).
void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

}  // namespace

void SetRelayUnspooled(bool relay) {
  SetVariable("DIVIVEZ_RELAY_UNSPOOLED", relay ? "1" : "0");
  g_bRelayUnspooled = relay ? 1 : 0;
}

void SetCallbackVersion(int version) {
  SetVariable("DIVIVEZ_CALLBACK_VERSION", std::to_string(version));
  g_nCallbackVersion = version;
}

void SetTraceLevel(int level) {
  SetVariable("DIVIVEZ_DEBUG_LEVEL", std::to_string(level));
  g_nDebugLevel = level;
}
