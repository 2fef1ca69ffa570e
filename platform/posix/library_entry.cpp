// Load and unload of libdivivez.so: the counterpart of DllMain.
//
// The trace level is read when the library is loaded and again when it is
// unloaded. POSIX has no per-thread notification to a shared library, so the
// reads at thread start and end that Windows makes have no equivalent here.
// Reading the level touches nothing else, so the order against the static
// initialisation of the registry lock and map does not matter.
#include "boundary/settings.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() { RefreshTraceLevel(); }

__attribute__((destructor)) void OnLibraryUnload() { RefreshTraceLevel(); }

}  // namespace
