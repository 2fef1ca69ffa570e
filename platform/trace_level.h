// The source of the process-wide settings: registry values under
// HKLM\Software\Corvane\ZEBMail on Windows, environment variables elsewhere.
// Missing or unreadable means 0.
//   trace level:      DebugLevel, DIVIVEZ_DEBUG_LEVEL
//   relay unspooled:  RelayUnspooled (a DWORD, 1 relays), DIVIVEZ_RELAY_UNSPOOLED ("1" relays)
#ifndef DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
#define DIVIVEZ_PLATFORM_TRACE_LEVEL_H_

int PlatformReadTraceLevel();
bool PlatformReadRelayUnspooled();

#endif  // DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
