// The proxy's command line: the option set, its defaults and its parser.
//
// Pure: parsing touches no file or socket (loading the signature file, the
// plug-in and resolving names happen later, in main). A parse error yields
// one line of text; main prints it and exits with status 2.
#ifndef DIVIVEZ_HOST_OPTIONS_H_
#define DIVIVEZ_HOST_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "host/base/net.h"
#include "host/proxy/settings.h"

enum class ScannerKind { kBuiltin, kClamd };

// A ClamAV daemon: a Unix-domain socket when unixPath is set, else TCP.
struct ClamdAddress {
  std::string unixPath;
  Endpoint tcp;
};

// A [route NAME] section of the settings file as read: what it names. The
// TLS settings it does not name come from the top level (FinishRoutes).
struct RouteSection {
  RouteSettings route;
  std::string where;               // "FILE:LINE" of its header, for errors
  std::vector<std::string> named;  // the options it names ("--tls-cert", ...)
};

struct Options {
  // The top level: the default route's listeners, upstream and TLS, and the
  // TLS settings a named route takes where it names none of its own.
  RouteSettings topLevel;
  int tlsHandshakeTimeoutMs = 10000;
  // Every route, built by FinishRoutes: the default route (name "") first
  // when the top level names a listener or there is no named route, then the
  // settings file's sections in their order. Each has a listener; only the
  // default route may lack an upstream (the capture server stands in).
  std::vector<RouteSettings> routes;
  // routes[0]'s first listener (a plain one if it has one) and upstream
  // (original-destination included), for the code that serves one route.
  Endpoint listen{"127.0.0.1", 2525};
  bool hasUpstream = false;  // false: relay to the embedded capture server
  Endpoint upstream;
  bool originalDestination = false;
  // With original-destination: open connections to one destination; 0: no limit.
  int maxPerDestination = 0;
  std::string pluginPath;  // empty: the plug-in beside the executable
  SocketService socketService = SocketService::kHost;
  ScannerKind scanner = ScannerKind::kBuiltin;
  std::vector<ClamdAddress> clamd;  // kClamd: one per --scanner, in order
  std::string signaturesFile;
  std::string insertText = "X-Virus-Scanned: divivez-proxy\r\n";
  ScanErrorPolicy onScanError = ScanErrorPolicy::kTempfail;
  InfectedPolicy onInfected = InfectedPolicy::kDrop;
  int keepaliveSeconds = 0;  // 0: the plug-in's keep-alive stays off
  int debugLevel = -1;       // -1: leave the plug-in's trace level alone
  std::string outbox = "outbox";
  std::string portFile;
  std::string capturePortFile;
  std::string logFile;
  int maxConnections = 2000;
  int maxPerAddress = 50;              // connections from one client address
  int commandTimeoutMs = 300000;       // between two complete commands (RFC 5321 4.5.3.2)
  int dataTimeoutMs = 180000;          // per read while a message arrives
  int sessionTimeoutMs = 3600000;      // a whole connection
  uint64_t maxMessageSize = 52428800;  // bytes; 0: no cap of the proxy's own
  int idleTimeoutMs = 600000;          // the server's silence while an answer is owed
  int connectTimeoutMs = 10000;
  int closeGraceMs = 2000;
  int scanTimeoutMs = 60000;
  int shutdownGraceMs = 10000;
  bool proxyProtocol = false;    // a PROXY protocol header opens every connection
  CidrSet proxyProtocolFrom;     // the peers allowed to send it; empty: any
  bool upstreamXclient = false;  // XCLIENT to the server when it offers it
  CidrSet trustForwarding;       // clients whose XCLIENT and XFORWARD are relayed
  bool hasMetrics = false;
  Endpoint metrics;                // GET /metrics and /healthz
  std::string quarantineDir;       // empty: infected messages are not kept
  std::string configFile;          // --config; read by ParseCommandLine
  std::vector<std::string> given;  // the options named, "--listen" etc., in order
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name: ParseOptionWords, then
// CheckOptions and FinishRoutes without named routes. False with a
// one-line *error. --help and --version set their flag and stop parsing.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// Where words come from. A flag (--proxy-protocol, --require-tls, ...) is
// written bare on the command line; the settings file may also give it a
// value, "--require-tls=yes" or "--require-tls=no".
enum class OptionSource { kCommandLine, kFile };

// The steps of ParseOptions, for the settings file, whose words and the
// command line's are parsed into one Options before the checks across
// options. ParseOptionWords sets what each word names and stops at --help
// or --version; CheckOptions checks what needs no route; FinishRoutes builds
// options->routes from the top level and the file's sections and checks
// them (two listeners on one address and port, TLS without a certificate,
// TLS with --socket-service plugin, ...).
bool ParseOptionWords(const std::vector<std::string>& args, OptionSource source, Options* options,
                      std::string* error);
bool CheckOptions(const Options& options, std::string* error);
bool FinishRoutes(const std::vector<RouteSection>& sections, Options* options, std::string* error);

// One line of a route section: the option name with its "--" and, when the
// line has one, the value. An option that only the top level takes, or none
// at all, is refused. Records the name in section->named.
bool ParseRouteOption(const std::string& name, const std::string& value, bool hasValue,
                      RouteSection* section, std::string* error);

// Whether the option may be given more than once to add to what it sets
// (--scanner's pool, --listen and --listen-tls); every other option sets
// one value.
bool OptionAccumulates(const std::string& name);

// Whether the option is a flag: named bare on the command line, bare or
// with yes or no in the settings file.
bool OptionIsFlag(const std::string& name);

// The --help text.
std::string UsageText();

// "HOST:PORT", "[IPV6]:PORT". allowPortZero admits port 0 (listening on an
// ephemeral port).
bool ParseEndpoint(const std::string& text, bool allowPortZero, Endpoint* endpoint,
                   std::string* error);

// Expands \r, \n, \t and \\ in a command-line text.
bool UnescapeText(const std::string& text, std::string* out, std::string* error);

// Seconds with an optional fraction ("2", "0.5") to milliseconds.
bool ParseSeconds(const std::string& text, int* milliseconds, std::string* error);

#endif  // DIVIVEZ_HOST_OPTIONS_H_
