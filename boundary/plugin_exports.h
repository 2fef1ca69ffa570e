// The plug-in's exported functions: everything a host needs to drive it.
//
// Calling order the host keeps: the three setters at any time; per connection
// OnNewConnection, then OnRequestFromApplication / OnRequestFromServer when the
// client / server socket is readable, last OnEndConnection. The client socket
// object names the connection. Calls of one connection never overlap; calls of
// different connections may run in parallel on any threads.
//
// What differs from the order a host may expect:
// - A request call returns the bytes it read from its socket. It may return 0
//   while its socket is readable: the plug-in is holding the client back (a
//   message awaits the server, or too many replies are owed) and reads again
//   after the next server-side call.
// - The scan callback (code 2) normally runs inside OnRequestFromApplication.
//   It can also run inside OnRequestFromServer: client bytes held while a
//   message was delivered may hold a whole pipelined message, which is
//   spooled and scanned once the server has answered the first.
// - Commands reach the server only when it may take them (RFC 2920): after a
//   command that ends a group, only once its reply is read; without
//   PIPELINING in the EHLO reply, only when no reply is owed. So a client's
//   pipelined commands may wait in the plug-in until a server-side call.
// - The keep-alive function (pfnTimeoutProtection) may be called from any
//   host thread while the scan runs; it sends a NOOP only when the server
//   has answered everything owed (it looks at the server socket without
//   reading from it), and never more than the server will answer.
// - When the server breaks the dialogue (a reply that answers no command, an
//   invalid answer to the plug-in's DATA, a delivery that breaks off), the
//   plug-in shuts the server socket's sending side itself and answers the
//   client from then on; the host sees the server close and ends the
//   connection as usual.
//
// Process-wide settings, read when the library is loaded, and again at every
// OnNewConnection (Linux) or whenever a host thread starts or ends (Windows):
// - trace level: DIVIVEZ_DEBUG_LEVEL (Linux), the DWORD DebugLevel under
//   HKEY_LOCAL_MACHINE\Software\Corvane\ZEBMail (Windows); 0 to 3.
// - mail that cannot be spooled for scanning (no temporary directory, disk
//   full): DIVIVEZ_RELAY_UNSPOOLED=1 (Linux) or the DWORD RelayUnspooled = 1
//   in the same key (Windows) relays its DATA to the server unscanned; any
//   other value, or none, answers the client's DATA with
//   "451 4.3.0 Message cannot be scanned now; try again later".
// - the callback version: DIVIVEZ_CALLBACK_VERSION in the host process's own
//   environment on both platforms (Windows: SetEnvironmentVariable, read
//   from the process's environment block). Only a host that speaks version 2
//   sets it, so every other host keeps version 1: its callback sees codes 2
//   and 3 only, and every infected verdict is answered "250 Mail accepted".
//   Version 2 adds the rejected verdict and, in the first request call of a
//   connection, before anything is read, a callback with code 4 asking
//   whether the client may use XCLIENT and XFORWARD (session/scan_request.h).
#ifndef DIVIVEZ_BOUNDARY_PLUGIN_EXPORTS_H_
#define DIVIVEZ_BOUNDARY_PLUGIN_EXPORTS_H_

#include "platform/export.h"
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
