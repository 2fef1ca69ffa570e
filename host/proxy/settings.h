// What the proxy is told to do: the settings main() derives from the
// options, and the choices among them that options and log lines name.
#ifndef DIVIVEZ_HOST_PROXY_SETTINGS_H_
#define DIVIVEZ_HOST_PROXY_SETTINGS_H_

#include <cstdint>
#include <string>

#include "host/base/cidr.h"
#include "host/base/net.h"

class Quarantine;

// Whose sockets the plug-in uses: the host's service (the host sees every
// byte the plug-in reads) or the plug-in's own.
enum class SocketService { kHost, kPlugin };
// What becomes of a message whose scan failed.
enum class ScanErrorPolicy { kTempfail, kPass, kDrop };

// The name of a scan-error policy for log lines.
inline const char* ScanErrorPolicyName(ScanErrorPolicy policy) {
  switch (policy) {
    case ScanErrorPolicy::kTempfail:
      return "tempfail";
    case ScanErrorPolicy::kPass:
      return "pass";
    case ScanErrorPolicy::kDrop:
      return "drop";
  }
  return "?";
}

struct ProxySettings {
  Endpoint upstream;
  SocketService socketService = SocketService::kHost;
  std::string insertText;
  ScanErrorPolicy onScanError = ScanErrorPolicy::kTempfail;
  int keepaliveSeconds = 0;
  int maxConnections = 2000;
  int maxPerAddress = 50;
  int commandTimeoutMs = 300000;  // between two complete client commands
  int dataTimeoutMs = 180000;     // between two reads of message data
  int sessionTimeoutMs = 3600000;
  uint64_t maxMessageSize = 52428800;  // 0: none
  int idleTimeoutMs = 600000;          // the server's silence while it owes an answer
  int connectTimeoutMs = 10000;
  int closeGraceMs = 2000;
  // Behind a load balancer: every connection opens with a PROXY protocol
  // header naming the real client, used for the log and --max-per-address.
  bool proxyProtocol = false;
  // The balancers whose headers are taken; empty: any peer's.
  CidrSet proxyProtocolFrom;
  // Tell the server the real client with XCLIENT when it offers it.
  bool upstreamXclient = false;
  // Transparent interception: each connection goes where the client
  // addressed it before the firewall redirected it here (upstream unused).
  bool originalDestination = false;
  int maxPerDestination = 0;         // open connections to one destination; 0: no limit
  Quarantine* quarantine = nullptr;  // keeps infected messages; null: none kept
};

#endif  // DIVIVEZ_HOST_PROXY_SETTINGS_H_
