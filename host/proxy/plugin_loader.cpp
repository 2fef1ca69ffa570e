// Loading the plug-in. See plugin_loader.h.
#include "host/proxy/plugin_loader.h"

#include <cstring>

#include "host/base/os.h"

std::string PluginFileName() { return DIVIVEZ_PLUGIN_FILE_NAME; }

namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function* target) {
  void* symbol = OsFindSymbol(library, name);
  if (symbol == nullptr) return false;
  // Data-to-function pointer conversion is what dlsym and GetProcAddress
  // require of every caller.
  static_assert(sizeof(Function) == sizeof(void*), "function and data pointers differ in size");
  std::memcpy(target, &symbol, sizeof symbol);
  return true;
}

}  // namespace

bool LoadPlugin(const std::string& path, PluginApi* api, std::string* error) {
  std::string reason;
  void* library = OsLoadLibrary(path, &reason);
  if (library == nullptr) {
    *error = "cannot load plug-in " + path + ": " + reason;
    return false;
  }
  PluginApi loaded;
  const char* missing = nullptr;
  if (!Resolve(library, "RegisterCallback", &loaded.RegisterCallback)) {
    missing = "RegisterCallback";
  } else if (!Resolve(library, "SetISocket", &loaded.SetISocket)) {
    missing = "SetISocket";
  } else if (!Resolve(library, "SetTimeoutProtection", &loaded.SetTimeoutProtection)) {
    missing = "SetTimeoutProtection";
  } else if (!Resolve(library, "OnNewConnection", &loaded.OnNewConnection)) {
    missing = "OnNewConnection";
  } else if (!Resolve(library, "OnEndConnection", &loaded.OnEndConnection)) {
    missing = "OnEndConnection";
  } else if (!Resolve(library, "OnRequestFromApplication", &loaded.OnRequestFromApplication)) {
    missing = "OnRequestFromApplication";
  } else if (!Resolve(library, "OnRequestFromServer", &loaded.OnRequestFromServer)) {
    missing = "OnRequestFromServer";
  }
  if (missing != nullptr) {
    // The library stays loaded: it may have started something at load time,
    // and the process is about to exit anyway.
    *error = "plug-in " + path + " does not export " + missing;
    return false;
  }
  *api = loaded;
  return true;
}
