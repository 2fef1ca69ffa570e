// The bridge between the proxy and the plug-in: the socket service the host
// lends it (each plug-in socket mapped to the connection's stream), its scan
// and progress callback, and what the host does with each verdict. The
// plug-in's calls arrive on the thread that runs the connection, which
// BindConnectionThread ties to its record. One bridge per process: the
// plug-in's callback is process-wide.
#ifndef DIVIVEZ_HOST_PROXY_PLUGIN_BRIDGE_H_
#define DIVIVEZ_HOST_PROXY_PLUGIN_BRIDGE_H_

#include <string>

#include "host/proxy/connection.h"
#include "host/proxy/context.h"

class PluginBridge {
 public:
  explicit PluginBridge(ProxyContext* context);
  ~PluginBridge();
  PluginBridge(const PluginBridge&) = delete;
  PluginBridge& operator=(const PluginBridge&) = delete;

  // Registers the callback, the socket service and the keep-alive with the
  // plug-in.
  void Configure();
  // The plug-in's callback, inside a call of the connection bound to this
  // thread.
  void HandleCallback(int code, ScanRequest* request);

 private:
  void HandleScan(Connection* connection, ScanRequest* request);
  // Ends the connection from inside the scan callback: reply to the client,
  // both sockets shut down (not closed), the connection marked as cut.
  void CutFromCallback(Connection* connection, const char* reply, const std::string& why);

  ProxyContext* const m_context;
};

#endif  // DIVIVEZ_HOST_PROXY_PLUGIN_BRIDGE_H_
