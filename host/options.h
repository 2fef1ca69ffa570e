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

// An option as given: its name with "--", and its value if it had one.
struct GivenOption {
  std::string name;
  std::string value;
  bool hasValue = false;
};

// The values of the options. The defaults are the option table's (the
// constructor applies them); the other members are what parsing derives.
struct Options {
  Options();
  // The top level: the default route's listeners, upstream and TLS, and the
  // TLS settings a named route takes where it names none of its own.
  RouteSettings topLevel;
  int tlsHandshakeTimeoutMs{};
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
  int maxPerDestination{};
  std::string pluginPath;  // empty: the plug-in beside the executable
  SocketService socketService{};
  ScannerKind scanner{};
  std::vector<ClamdAddress> clamd;  // kClamd: one per --scanner, in order
  std::string signaturesFile;
  std::string insertText;
  ScanErrorPolicy onScanError{};
  InfectedPolicy onInfected{};
  int keepaliveSeconds{};  // 0: the plug-in's keep-alive stays off
  int debugLevel = -1;     // -1: leave the plug-in's trace level alone
  std::string outbox;
  std::string portFile;
  std::string capturePortFile;
  std::string logFile;
  int maxConnections{};
  int maxPerAddress{};        // connections from one client address
  int commandTimeoutMs{};     // between two complete commands (RFC 5321 4.5.3.2)
  int dataTimeoutMs{};        // per read while a message arrives
  int sessionTimeoutMs{};     // a whole connection
  uint64_t maxMessageSize{};  // bytes; 0: no cap of the proxy's own
  int idleTimeoutMs{};        // the server's silence while an answer is owed
  int connectTimeoutMs{};
  int closeGraceMs{};
  int scanTimeoutMs{};
  int shutdownGraceMs{};
  bool proxyProtocol = false;    // a PROXY protocol header opens every connection
  CidrSet proxyProtocolFrom;     // the peers allowed to send it; empty: any
  bool upstreamXclient = false;  // XCLIENT to the server when it offers it
  CidrSet trustForwarding;       // clients whose XCLIENT and XFORWARD are relayed
  bool hasMetrics = false;
  Endpoint metrics;                // GET /metrics and /healthz
  std::string quarantineDir;       // empty: infected messages are not kept
  std::string configFile;          // --config; read by ParseCommandLine
  std::vector<GivenOption> given;  // the options named, in order (defaults not)
  // --windows-service: "run" (started by the Service Control Manager),
  // "install", "uninstall", or empty (a console program).
  std::string windowsService;
  bool help = false;
  bool version = false;
};

// One option of the table in options.cpp, the only place that lists them:
// the command line, the settings file, the routes, the checks against
// --socket-service plugin, --help and the man page all read it.
struct OptionSetter;
enum OptionPlace : unsigned {
  kOptRepeats = 1,           // may be given again to add a value (not the last one wins)
  kOptRoute = 2,             // may stand in a [route NAME] section too
  kOptInherited = 4,         // a route that names it not takes the top level's
  kOptTls = 8,               // refused with --socket-service plugin
  kOptCommandLineOnly = 16,  // never in a settings file
  kOptEndsParsing = 32,      // --help, --version: the rest is not read
};
struct OptionRow {
  const char* name;      // "--close-grace"; null in a row that heads a group
  const char* value;     // what --help calls its value ("SECS"); null: a flag
  unsigned places;       // OptionPlace bits
  const char* fallback;  // the default, as it would be written; null: none
  bool (*set)(OptionSetter& setter);
  const char* help;               // the group's heading in a heading row
  const char* follows = nullptr;  // given with this option, or inherited with it
};

// The table, in --help's order; FindOption returns null for a name it lacks.
const std::vector<OptionRow>& OptionTable();
const OptionRow* FindOption(const std::string& name);

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
// (kOptRepeats); every other option sets one value.
bool OptionAccumulates(const std::string& name);

// Whether the option is a flag: named bare on the command line, bare or
// with yes or no in the settings file.
bool OptionIsFlag(const std::string& name);

// Whether naming `higher` (on the command line, in a route) keeps the
// `lower` option from the settings file's top level: the same option, or
// the one `lower` follows (a certificate comes with its own key or none).
bool OptionOverrides(const std::string& higher, const std::string& lower);

// The --help text, and the man page's OPTIONS section (from ".SH OPTIONS"
// to the next section), both made from the table.
std::string UsageText();
std::string ManPageOptions();

// The proxy's settings the options give, all but the routes and the
// quarantine, which main makes.
ProxySettings ProxySettingsOf(const Options& options);

// The start-up log's lines about the options beyond the listeners and the
// limits: what a combination of options does, and WARNING lines for the
// combinations that work but are most likely a mistake. A new warning about
// options goes here.
std::vector<std::string> StartupNotes(const Options& options);

// "HOST:PORT", "[IPV6]:PORT". allowPortZero admits port 0 (listening on an
// ephemeral port).
bool ParseEndpoint(const std::string& text, bool allowPortZero, Endpoint* endpoint,
                   std::string* error);

// Expands \r, \n, \t and \\ in a command-line text.
bool UnescapeText(const std::string& text, std::string* out, std::string* error);

// Seconds with an optional fraction ("2", "0.5") to milliseconds.
bool ParseSeconds(const std::string& text, int* milliseconds, std::string* error);

#endif  // DIVIVEZ_HOST_OPTIONS_H_
