// The connection registry: client socket object -> its session, and the lock
// that guards it.
//
// The lock guards the map only. It is held for a lookup, or for destroying and
// constructing a session; never across socket I/O, spooling or scanning.
// Waiting for it dispatches the calling thread's window messages (Windows).
#ifndef DIVIVEZ_BOUNDARY_CONNECTION_REGISTRY_H_
#define DIVIVEZ_BOUNDARY_CONNECTION_REGISTRY_H_

#include <map>

#include "platform/platform.h"

class CHostSocket;
class CSmtpConnection;

typedef std::map<CHostSocket*, CSmtpConnection*> ConnectionMap;

extern HANDLE g_hConnectionMutex;       // null when it could not be created
extern ConnectionMap g_mapConnections;  // owns the sessions

// Takes the registry lock, waiting at most timeoutMs. 1 when taken, 0 when
// not (no mutex, time-out, or a failed wait).
int WaitForLock(DWORD timeoutMs);
// Releases the lock taken by WaitForLock (a no-op without a mutex).
void ReleaseLock();

// The wait WaitForLock makes: MsgWaitForMultipleObjects on the one handle.
// Tests replace it to see what it is asked; nullptr restores it.
typedef DWORD (*LockWaitFunction)(HANDLE handle, DWORD timeoutMs, DWORD wakeMask);
void SetLockWaitForTesting(LockWaitFunction wait);

#endif  // DIVIVEZ_BOUNDARY_CONNECTION_REGISTRY_H_
