// Load and unload of libdivivez.so: the counterpart of DllMain.
//
// The settings (trace level, relay of unspooled mail) are read when the library is loaded and again
// when it is unloaded. POSIX has no per-thread notification to a shared library, so the reads at
// thread start and end that Windows makes have no equivalent here. Reading them touches nothing
// else, so the order against the static initialisation of the registry lock and map does not
// matter.
#include "boundary/settings.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() { RefreshSettings(); }

__attribute__((destructor)) void OnLibraryUnload() { RefreshSettings(); }

}  // namespace
