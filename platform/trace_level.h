// The source of the trace level: the DebugLevel registry value on Windows,
// the DIVIVEZ_DEBUG_LEVEL environment variable elsewhere. Missing or
// unreadable means 0.
#ifndef DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
#define DIVIVEZ_PLATFORM_TRACE_LEVEL_H_

int PlatformReadTraceLevel();

#endif  // DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
