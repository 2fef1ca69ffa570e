// Loading the plug-in library at run time and looking up its seven exports
// by name. The proxy never links the plug-in: any build of it that exports
// the functions of boundary/plugin_exports.h will do.
#ifndef DIVIVEZ_HOST_PROXY_PLUGIN_LOADER_H_
#define DIVIVEZ_HOST_PROXY_PLUGIN_LOADER_H_

#include <filesystem>
#include <string>

#include "boundary/plugin_exports.h"

struct PluginApi {
  PFN_RegisterCallback RegisterCallback = nullptr;
  PFN_SetISocket SetISocket = nullptr;
  PFN_SetTimeoutProtection SetTimeoutProtection = nullptr;
  PFN_OnNewConnection OnNewConnection = nullptr;
  PFN_OnEndConnection OnEndConnection = nullptr;
  PFN_OnRequestFromApplication OnRequestFromApplication = nullptr;
  PFN_OnRequestFromServer OnRequestFromServer = nullptr;
};

// The plug-in's file name on this platform (libdivivez.so, divivez.dll).
std::string PluginFileName();

// Loads the library at path and resolves every export. The library stays
// loaded for the life of the process. False with a one-line *error naming
// the path and the first missing export.
bool LoadPlugin(const std::string& path, PluginApi* api, std::string* error);

// The path --plugin names (empty: the plug-in beside the executable), made
// one the loader does not search for.
std::string PluginPath(const std::string& given);

class Logger;
// Removes the spool files an earlier run of the plug-in left behind; see
// plugin_loader.cpp.
void RemoveStaleSpoolFiles(Logger* log, std::filesystem::file_time_type started,
                           int sessionTimeoutMs);

// What the plug-in reads from its environment (the registry on Windows)
// when it is loaded: its trace level (-1: left alone), whether it relays a
// message it cannot spool, and callback version 2. Each is logged; false
// with *error only when version 2 cannot be set and the caller needs it.
bool SetPluginSettings(int traceLevel, bool relayUnspooled, bool needsCallbackVersion2, Logger* log,
                       std::string* error);

#endif  // DIVIVEZ_HOST_PROXY_PLUGIN_LOADER_H_
