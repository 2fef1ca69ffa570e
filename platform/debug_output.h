// Where trace lines go, and how a host or a test may capture them.
//
// On Windows the line goes to OutputDebugStringA; on POSIX to standard error.
// When a capture hook is installed the line is handed to it as well, on the
// thread that wrote it; the hook must be thread-safe.
#ifndef DIVIVEZ_PLATFORM_DEBUG_OUTPUT_H_
#define DIVIVEZ_PLATFORM_DEBUG_OUTPUT_H_

typedef void (*DebugOutputHook)(const char* line);

void PlatformDebugOutput(const char* line);
void SetDebugOutputHook(DebugOutputHook hook);
// True when the hook replaces the platform's own output (tests use this to
// keep their console quiet).
void SetDebugOutputHookExclusive(bool exclusive);

#endif  // DIVIVEZ_PLATFORM_DEBUG_OUTPUT_H_
