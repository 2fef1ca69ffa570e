// Loading the plug-in. See plugin_loader.h.
#include "host/proxy/plugin_loader.h"

#include <chrono>
#include <cstring>
#include <system_error>

#include "host/base/log.h"
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

std::string PluginPath(const std::string& given) {
  if (given.empty()) return OsExecutableDirectory() + PluginFileName();
  // A bare name would make the loader search its library path.
  return given.find_first_of("/\\") == std::string::npos ? "./" + given : given;
}

// Spool files that a run of the plug-in in this process's place left in the
// temporary directory (a crash, a kill): "divivez*.tmp", owned by this user,
// and older than this process by more than the session limit. A younger one
// may belong to another proxy that shares the directory and is still
// running (no session of it outlives the limit), so it is left and counted.
void RemoveStaleSpoolFiles(Logger* log, std::filesystem::file_time_type started,
                           int sessionTimeoutMs) {
  const std::string directory = OsTempDirectory();
  if (directory.empty()) return;
  const auto cutoff = started - std::chrono::milliseconds(sessionTimeoutMs);
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  if (error) return;
  int removed = 0;
  int younger = 0;
  for (const auto& entry : it) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 11 || name.compare(0, 7, "divivez") != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0) {
      continue;
    }
    std::error_code entryError;
    if (!entry.is_regular_file(entryError) || entry.is_symlink(entryError)) continue;
    const std::string path = entry.path().string();
    if (!OsOwnedByCurrentUser(path)) continue;
    const auto modified = std::filesystem::last_write_time(entry.path(), entryError);
    if (entryError || modified >= started) continue;
    if (modified >= cutoff) {
      ++younger;
      continue;
    }
    if (std::filesystem::remove(entry.path(), entryError)) ++removed;
  }
  if (removed > 0) {
    log->Line("removed %d stale spool file(s) of an earlier run from %s", removed,
              LogSafe(directory).c_str());
  }
  if (younger > 0) {
    log->Line(
        "left %d spool file(s) in %s that are older than this process but younger than "
        "--session-timeout: another proxy may still use them",
        younger, LogSafe(directory).c_str());
  }
}

bool SetPluginSettings(int traceLevel, bool relayUnspooled, bool needsCallbackVersion2, Logger* log,
                       std::string* error) {
  if (traceLevel >= 0) {
    const std::string where = OsSetPluginTraceLevel(traceLevel);
    if (where.empty()) {
      log->Line("could not set the plug-in trace level %d; it keeps its own", traceLevel);
    } else {
      log->Line("plug-in trace level %d set in %s", traceLevel, where.c_str());
    }
  }
  // Its own policy for a message it cannot spool follows the scan policy:
  // relayed unscanned only with pass.
  std::string settingError;
  const std::string where = OsSetPluginRelayUnspooled(relayUnspooled, &settingError);
  if (where.empty()) {
    log->Line(
        "WARNING: could not set the plug-in's spool-failure policy (%s); a message it "
        "cannot spool may be relayed unscanned",
        settingError.c_str());
  } else {
    log->Line("plug-in spool-failure policy: %s (%s)",
              relayUnspooled ? "relay unscanned" : "refuse with 451", where.c_str());
  }
  if (!OsSetPluginCallbackVersion(2, &settingError)) {
    if (needsCallbackVersion2) {
      *error = "cannot tell the plug-in the callback version (" + settingError + ")";
      return false;
    }
    log->Line("WARNING: could not tell the plug-in the callback version (%s)",
              settingError.c_str());
  }
  return true;
}
