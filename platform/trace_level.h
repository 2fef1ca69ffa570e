// The source of the process-wide settings: registry values under
// HKLM\Software\Corvane\ZEBMail on Windows, environment variables elsewhere.
// Missing or unreadable means 0.
//   trace level:      DebugLevel, DIVIVEZ_DEBUG_LEVEL
//   relay unspooled:  RelayUnspooled (a DWORD, 1 relays), DIVIVEZ_RELAY_UNSPOOLED ("1" relays)
// The callback version is the exception: it lives in the process's own
// environment on both (DIVIVEZ_CALLBACK_VERSION), because it changes what
// the host's callback is asked, and only the host that set it knows how to
// answer; a registry value would reach every host on the machine.
#ifndef DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
#define DIVIVEZ_PLATFORM_TRACE_LEVEL_H_

int PlatformReadTraceLevel();
bool PlatformReadRelayUnspooled();
// DIVIVEZ_CALLBACK_VERSION as a decimal integer; anything else is 1.
int PlatformReadCallbackVersion();
// True where the library's entry point reads the settings afresh whenever a
// host thread starts or ends (Windows); elsewhere the exports read them at
// every new connection.
bool PlatformRereadsSettingsOnThreadEvents();

#endif  // DIVIVEZ_PLATFORM_TRACE_LEVEL_H_
