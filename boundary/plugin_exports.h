// The plug-in's exported functions: everything a host needs to drive it.
//
// Calling order the host keeps: the three setters at any time; per connection
// OnNewConnection, then OnRequestFromApplication / OnRequestFromServer when the
// client / server socket is readable, last OnEndConnection. The client socket
// object names the connection. Calls of one connection never overlap; calls of
// different connections may run in parallel on any threads.
//
// A request call returns the bytes it read from its socket. It may return 0
// while its socket is readable: the plug-in is holding the client back (a
// message awaits the server, or too many replies are owed) and reads again
// after the next server-side call.
#ifndef DIVIVEZ_BOUNDARY_PLUGIN_EXPORTS_H_
#define DIVIVEZ_BOUNDARY_PLUGIN_EXPORTS_H_

#include "boundary/export.h"
#include "session/scan_request.h"
#include "transport/host_socket.h"

extern "C" {
DIVIVEZ_EXPORT void DIVIVEZ_CDECL RegisterCallback(HostCallback callback);
DIVIVEZ_EXPORT void DIVIVEZ_CDECL SetISocket(ISocket* socketService);
DIVIVEZ_EXPORT void DIVIVEZ_CDECL SetTimeoutProtection(int seconds);
DIVIVEZ_EXPORT void DIVIVEZ_CDECL OnNewConnection(int hostContext, CHostSocket* client);
DIVIVEZ_EXPORT void DIVIVEZ_CDECL OnEndConnection(CHostSocket* client);
DIVIVEZ_EXPORT int DIVIVEZ_CDECL OnRequestFromApplication(CHostSocket* client, CHostSocket* server);
DIVIVEZ_EXPORT int DIVIVEZ_CDECL OnRequestFromServer(CHostSocket* client, CHostSocket* server);
}

// Function pointer types for hosts that load the library at run time.
typedef void(DIVIVEZ_CDECL* PFN_RegisterCallback)(HostCallback);
typedef void(DIVIVEZ_CDECL* PFN_SetISocket)(ISocket*);
typedef void(DIVIVEZ_CDECL* PFN_SetTimeoutProtection)(int);
typedef void(DIVIVEZ_CDECL* PFN_OnNewConnection)(int, CHostSocket*);
typedef void(DIVIVEZ_CDECL* PFN_OnEndConnection)(CHostSocket*);
typedef int(DIVIVEZ_CDECL* PFN_OnRequestFromApplication)(CHostSocket*, CHostSocket*);
typedef int(DIVIVEZ_CDECL* PFN_OnRequestFromServer)(CHostSocket*, CHostSocket*);

#endif  // DIVIVEZ_BOUNDARY_PLUGIN_EXPORTS_H_
