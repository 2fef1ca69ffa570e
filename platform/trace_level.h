// The source of the process-wide settings: registry values under
// HKLM\Software\Corvane\ZEBMail on Windows, environment variables elsewhere.
// Missing or unreadable means 0.
//   trace level:      DebugLevel, DIVIVEZ_DEBUG_LEVEL
//   relay unspooled:  RelayUnspooled (a DWORD, 1 relays), DIVIVEZ_RELAY_UNSPOOLED ("1" relays)
#ifndef DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
#define DIVIVEZ_PLATFORM_TRACE_LEVEL_H_

int PlatformReadTraceLevel();
bool PlatformReadRelayUnspooled();
// True where the library's entry point reads the settings afresh whenever a
// host thread starts or ends (Windows); elsewhere the exports read them at
// every new connection.
bool PlatformRereadsSettingsOnThreadEvents();

#endif  // DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
