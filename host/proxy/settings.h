// What the proxy is told to do: the settings main() derives from the
// options, and the choices among them that options and log lines name.
#ifndef DIVIVEZ_HOST_PROXY_SETTINGS_H_
#define DIVIVEZ_HOST_PROXY_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "host/base/cidr.h"
#include "host/base/net.h"

class Quarantine;
struct Route;

// Whose sockets the plug-in uses: the host's service (the host sees every
// byte the plug-in reads) or the plug-in's own.
enum class SocketService { kHost, kPlugin };
// What becomes of a message whose scan failed.
enum class ScanErrorPolicy { kTempfail, kPass, kDrop };
// What the client hears of an infected message: "250 Mail accepted" (drop)
// or "554 5.7.1 Message rejected: infected (NAME)" (reject).
enum class InfectedPolicy { kDrop, kReject };

inline const char* SocketServiceName(SocketService service) {
  return service == SocketService::kPlugin ? "plugin" : "host";
}

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

inline const char* InfectedPolicyName(InfectedPolicy policy) {
  return policy == InfectedPolicy::kReject ? "reject" : "drop";
}

// TLS toward the server of a route.
enum class UpstreamTls {
  kNone,      // plain, as without TLS
  kMay,       // STARTTLS when the server offers it, plain when it does not
  kStarttls,  // STARTTLS or no relay: a server without it, or with a
              // certificate that does not verify, is not used
  kImplicit,  // TLS from the first byte (RFC 8314, port 465)
};

// The name of an upstream TLS mode, as --upstream-tls takes it.
inline const char* UpstreamTlsName(UpstreamTls mode) {
  switch (mode) {
    case UpstreamTls::kNone:
      return "none";
    case UpstreamTls::kMay:
      return "may";
    case UpstreamTls::kStarttls:
      return "starttls";
    case UpstreamTls::kImplicit:
      return "implicit";
  }
  return "?";
}

// TLS toward the clients of a route. Without a certificate the route's
// listeners speak plain SMTP only.
struct ClientTlsSettings {
  std::string certFile;      // PEM: the certificate, then its chain; empty: no TLS
  std::string keyFile;       // PEM; empty: the key is in certFile
  std::string passwordFile;  // a PKCS #12 certFile's password; empty: none
  // On a connection without TLS every command but EHLO, HELO, NOOP, RSET,
  // QUIT and STARTTLS is answered 530 5.7.0.
  bool requireTls = false;
  // AUTH is offered on a plain connection from a non-loopback client.
  bool allowPlaintextAuth = false;
};

// One set of listeners and the server their clients are relayed to.
struct RouteSettings {
  std::string name;                 // "" for the default route
  std::vector<Endpoint> listen;     // plain SMTP; STARTTLS with a certificate
  std::vector<Endpoint> listenTls;  // TLS before the greeting (RFC 8314)
  bool hasUpstream = false;         // false: the capture server (the default route only)
  Endpoint upstream;
  // --upstream original-destination: each connection goes where the client
  // addressed it before the firewall redirected it here (upstream unused).
  bool originalDestination = false;
  UpstreamTls upstreamTls = UpstreamTls::kNone;
  std::string upstreamCa;       // PEM; empty: the system's trust store
  std::string upstreamTlsName;  // checked and sent as SNI; empty: upstream's host
  ClientTlsSettings tls;
};

// The limits: how many connections, how large a message, how long each
// wait.
struct ProxyLimits {
  int maxConnections = 2000;
  int maxPerAddress = 50;
  int maxPerDestination = 0;      // open connections to one destination; 0: no limit
  int commandTimeoutMs = 300000;  // between two complete client commands
  int dataTimeoutMs = 180000;     // between two reads of message data
  int sessionTimeoutMs = 3600000;
  uint64_t maxMessageSize = 52428800;  // 0: none
  int idleTimeoutMs = 600000;          // the server's silence while it owes an answer
  int connectTimeoutMs = 10000;
  int closeGraceMs = 2000;
  int tlsHandshakeTimeoutMs = 10000;  // the whole handshake, either side
};

struct ProxySettings : ProxyLimits {
  // The routes, owned by the caller for the proxy's life. Empty: one
  // default route to upstream (or the original destination), listening
  // where Proxy::Listen is told.
  std::vector<const Route*> routes;
  Endpoint upstream;
  SocketService socketService = SocketService::kHost;
  std::string insertText;
  ScanErrorPolicy onScanError = ScanErrorPolicy::kTempfail;
  InfectedPolicy onInfected = InfectedPolicy::kDrop;
  int keepaliveSeconds = 0;
  // Behind a load balancer: every connection opens with a PROXY protocol
  // header naming the real client, used for the log and --max-per-address.
  bool proxyProtocol = false;
  // The balancers whose headers are taken; empty: any peer's.
  CidrSet proxyProtocolFrom;
  // Tell the server the real client with XCLIENT when it offers it.
  bool upstreamXclient = false;
  // Clients (by their address, the PROXY header's behind a balancer) whose
  // XCLIENT and XFORWARD the plug-in relays; everyone else's are refused.
  CidrSet trustForwarding;
  // Transparent interception: each connection goes where the client
  // addressed it before the firewall redirected it here (upstream unused).
  bool originalDestination = false;
  Quarantine* quarantine = nullptr;  // keeps infected messages; null: none kept
};

#endif  // DIVIVEZ_HOST_PROXY_SETTINGS_H_
