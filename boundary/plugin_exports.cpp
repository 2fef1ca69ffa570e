// The seven exported functions. No exception ever leaves one of them: the
// host is C code as far as we know.
#include "boundary/plugin_exports.h"

#include <new>

#include "boundary/connection_registry.h"
#include "boundary/settings.h"
#include "boundary/trace.h"
#include "platform/trace_level.h"
#include "session/smtp_connection.h"

namespace {

// Holds the registry lock for a scope. The exports go on whether or not the
// lock could be taken (without a mutex the registry runs unguarded).
class CRegistryLock {
 public:
  CRegistryLock() { WaitForLock(INFINITE); }
  ~CRegistryLock() { ReleaseLock(); }
  CRegistryLock(const CRegistryLock&) = delete;
  CRegistryLock& operator=(const CRegistryLock&) = delete;
};

int SocketHandle(const CHostSocket* socket) {
  return socket != nullptr ? static_cast<int>(socket->m_hSocket) : -1;
}

CSmtpConnection* FindConnection(CHostSocket* client) {
  CRegistryLock lock;
  ConnectionMap::iterator it = g_mapConnections.find(client);
  return it != g_mapConnections.end() ? it->second : nullptr;
}

}  // namespace

extern "C" {

void DIVIVEZ_CDECL RegisterCallback(HostCallback callback) { g_pCallback = callback; }

void DIVIVEZ_CDECL SetISocket(ISocket* socketService) { g_pISocket = socketService; }

void DIVIVEZ_CDECL SetTimeoutProtection(int seconds) {
  if (seconds > 0) {
    g_bTimeoutProtection = 1;
    g_dwTimeoutProtection = static_cast<uint32_t>(seconds) * 1000u;
  } else {
    g_bTimeoutProtection = 0;  // the interval stays as it was
  }
}

void DIVIVEZ_CDECL OnNewConnection(int hostContext, CHostSocket* client) {
  // Without thread notifications to hook, a new connection is when the settings
  // are looked at again.
  if (!PlatformRereadsSettingsOnThreadEvents()) RefreshSettings();
  TraceF(0, "DIVIVEZ: NewConnection %d\n", SocketHandle(client));
  CRegistryLock lock;
  try {
    ConnectionMap::iterator it = g_mapConnections.find(client);
    if (it != g_mapConnections.end()) {
      Trace(0, "DIVIVEZ: Connection already exists, delete old one\n");
      CSmtpConnection* old = it->second;
      // Erased before the new session is built, so that a failed allocation
      // leaves no entry pointing at a destroyed session.
      g_mapConnections.erase(it);
      delete old;
    }
    CSmtpConnection* session = new CSmtpConnection(hostContext, client);
    try {
      g_mapConnections[client] = session;
    } catch (...) {
      delete session;
      throw;
    }
  } catch (const std::bad_alloc&) {
    Trace(0, "DIVIVEZ: Out of memory, connection not registered\n");
  } catch (...) {
    Trace(0, "DIVIVEZ: Exception in OnNewConnection\n");
  }
}

void DIVIVEZ_CDECL OnEndConnection(CHostSocket* client) {
  TraceF(0, "DIVIVEZ: EndConnection %d\n", SocketHandle(client));
  CRegistryLock lock;
  try {
    ConnectionMap::iterator it = g_mapConnections.find(client);
    if (it == g_mapConnections.end()) return;
    CSmtpConnection* session = it->second;
    g_mapConnections.erase(it);
    delete session;
  } catch (...) {
    Trace(0, "DIVIVEZ: Exception in OnEndConnection\n");
  }
}

int DIVIVEZ_CDECL OnRequestFromApplication(CHostSocket* client, CHostSocket* server) {
  try {
    CSmtpConnection* session = FindConnection(client);
    if (session == nullptr) {
      TraceF(0, "DIVIVEZ: OnRequestFromApplication(%d): no connection found\n",
             SocketHandle(client));
      return 0;
    }
    return session->OnPendingRequestFromApplication(client, server);
  } catch (...) {
    Trace(0, "DIVIVEZ: Exception in OnRequestFromApplication\n");
    return 0;
  }
}

int DIVIVEZ_CDECL OnRequestFromServer(CHostSocket* client, CHostSocket* server) {
  try {
    CSmtpConnection* session = FindConnection(client);
    if (session == nullptr) {
      TraceF(0, "DIVIVEZ: OnRequestFromServer(%d): no connection found\n", SocketHandle(client));
      return 0;
    }
    return session->OnPendingRequestFromServer(client, server);
  } catch (...) {
    Trace(0, "DIVIVEZ: Exception in OnRequestFromServer\n");
    return 0;
  }
}

}  // extern "C"
