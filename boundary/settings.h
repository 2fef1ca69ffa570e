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

// Reads the trace level afresh from its platform source.
void RefreshTraceLevel();

#endif  // DIVIVEZ_BOUNDARY_SETTINGS_H_
