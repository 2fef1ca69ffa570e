// The tick source and the trace output, the same on every platform.
//
// Both can be redirected while other threads use them: the function pointers
// are atomic, and whatever a thread loads it calls to the end.
#include <atomic>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/platform.h"

namespace {

std::atomic<TickSource> s_pfnTickSource{nullptr};
std::atomic<DebugOutputHook> s_pfnDebugOutputHook{nullptr};
std::atomic<bool> s_bDebugOutputHookExclusive{false};

}  // namespace

DWORD PlatformTickCount() {
  const TickSource source = s_pfnTickSource.load();
  return source != nullptr ? source() : GetTickCount();
}

void SetTickSourceForTesting(TickSource source) { s_pfnTickSource.store(source); }

void PlatformDebugOutput(const char* line) {
  const DebugOutputHook hook = s_pfnDebugOutputHook.load();
  if (hook != nullptr) {
    hook(line);
    if (s_bDebugOutputHookExclusive.load()) return;
  }
  OutputDebugStringA(line);
}

void SetDebugOutputHook(DebugOutputHook hook) { s_pfnDebugOutputHook.store(hook); }

void SetDebugOutputHookExclusive(bool exclusive) { s_bDebugOutputHookExclusive.store(exclusive); }
