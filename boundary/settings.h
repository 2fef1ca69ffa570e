// Process-wide settings. Plain 32-bit values, written by the setters and the
// trace-level read, read without synchronisation by whoever needs them: each
// reader takes the value current at that moment.
#ifndef DIVIVEZ_BOUNDARY_SETTINGS_H_
#define DIVIVEZ_BOUNDARY_SETTINGS_H_

#include <cstdint>

#include "session/scan_request.h"

class ISocket;

extern volatile int32_t g_nDebugLevel;
extern HostCallback volatile g_pCallback;
extern ISocket* volatile g_pISocket;
extern volatile uint32_t g_bTimeoutProtection;
extern volatile uint32_t g_dwTimeoutProtection;
// 1: a message that cannot be spooled is relayed unscanned; 0 (the default):
// its DATA is refused with a temporary failure.
extern volatile int32_t g_bRelayUnspooled;
// What the host's callback understands (session/scan_request.h): 1, the
// default, or 2, set by a host that answers the connection question and may
// reject an infected message.
extern volatile int32_t g_nCallbackVersion;

// Reads the trace level, the relay of unspooled mail and the callback version
// afresh from their platform source.
void RefreshSettings();

#endif  // DIVIVEZ_BOUNDARY_SETTINGS_H_
