// Command-line parsing for divivez-proxy. See options.h.
#include "host/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

// The longest text the plug-in takes back from a scan (szInsertText holds 263
// characters and a NUL).
constexpr size_t kMaxInsertText = 263;

bool ParseInt(const std::string& text, long min, long max, long* value) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

// --scanner may be given once per clamd endpoint, which then form a pool;
// the builtin scanner stands alone. *builtinGiven remembers an earlier
// "builtin" across calls.
bool ParseScanner(const std::string& text, Options* options, bool* builtinGiven,
                  std::string* error) {
  const std::string unixPrefix = "clamd:unix:";
  const std::string tcpPrefix = "clamd:tcp:";
  ClamdAddress address;
  if (text == "builtin") {
    *builtinGiven = true;
  } else if (text.compare(0, unixPrefix.size(), unixPrefix) == 0 &&
             text.size() > unixPrefix.size()) {
    address.unixPath = text.substr(unixPrefix.size());
  } else if (text.compare(0, tcpPrefix.size(), tcpPrefix) == 0) {
    std::string endpointError;
    if (!ParseEndpoint(text.substr(tcpPrefix.size()), false, &address.tcp, &endpointError)) {
      *error = "--scanner: " + endpointError;
      return false;
    }
  } else {
    *error =
        "--scanner: expected builtin, clamd:unix:PATH or clamd:tcp:HOST:PORT, got '" + text + "'";
    return false;
  }
  if (*builtinGiven && (text != "builtin" || !options->clamd.empty())) {
    *error = "--scanner builtin cannot be combined with clamd endpoints";
    return false;
  }
  if (text == "builtin") {
    options->scanner = ScannerKind::kBuiltin;
    return true;
  }
  for (const ClamdAddress& other : options->clamd) {
    if (other.unixPath == address.unixPath && other.tcp.host == address.tcp.host &&
        other.tcp.port == address.tcp.port) {
      *error = "--scanner " + text + " given twice";
      return false;
    }
  }
  options->scanner = ScannerKind::kClamd;
  options->clamd.push_back(address);
  return true;
}

bool ParseUnsigned64(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t parsed = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + static_cast<uint64_t>(c - '0');
  }
  if (parsed > max) return false;
  *value = parsed;
  return true;
}

// The flags and what each turns on. require-tls is a route's as well.
bool* RouteFlag(const std::string& name, RouteSettings* route) {
  if (name == "--require-tls") return &route->tls.requireTls;
  return nullptr;
}

bool* Flag(const std::string& name, Options* options) {
  if (name == "--proxy-protocol") return &options->proxyProtocol;
  if (name == "--upstream-xclient") return &options->upstreamXclient;
  if (name == "--allow-plaintext-auth") return &options->topLevel.tls.allowPlaintextAuth;
  return RouteFlag(name, &options->topLevel);
}

bool ParseYesNo(const std::string& name, const std::string& value, bool* flag, std::string* error) {
  if (value != "yes" && value != "no") {
    *error = name + ": expected yes or no, got '" + value + "'";
    return false;
  }
  *flag = value == "yes";
  return true;
}

// The options a route section may hold besides its flags; at the top level
// they are the default route's.
bool IsRouteValueOption(const std::string& name) {
  return name == "--listen" || name == "--listen-tls" || name == "--upstream" ||
         name == "--upstream-tls" || name == "--upstream-ca" || name == "--upstream-tls-name" ||
         name == "--tls-cert" || name == "--tls-key";
}

bool ParseRouteValue(const std::string& name, const std::string& value, RouteSettings* route,
                     std::string* error) {
  std::string reason;
  if (name == "--upstream" && value == "original-destination") {
    route->hasUpstream = true;
    route->originalDestination = true;
    route->upstream = Endpoint();
    return true;
  }
  if (name == "--listen" || name == "--listen-tls" || name == "--upstream") {
    Endpoint endpoint;
    if (!ParseEndpoint(value, name != "--upstream", &endpoint, &reason)) {
      *error = name + ": " + reason;
      return false;
    }
    if (name == "--upstream") {
      route->upstream = endpoint;
      route->hasUpstream = true;
      route->originalDestination = false;
    } else {
      (name == "--listen" ? route->listen : route->listenTls).push_back(endpoint);
    }
    return true;
  }
  if (name == "--upstream-tls") {
    for (UpstreamTls mode :
         {UpstreamTls::kNone, UpstreamTls::kMay, UpstreamTls::kStarttls, UpstreamTls::kImplicit}) {
      if (value == UpstreamTlsName(mode)) {
        route->upstreamTls = mode;
        return true;
      }
    }
    *error = name + ": expected none, may, starttls or implicit, got '" + value + "'";
    return false;
  }
  if (value.empty()) {
    *error = name + " needs a non-empty value";
    return false;
  }
  if (name == "--upstream-ca") {
    route->upstreamCa = value;
  } else if (name == "--upstream-tls-name") {
    route->upstreamTlsName = value;
  } else if (name == "--tls-cert") {
    route->tls.certFile = value;
  } else {
    route->tls.keyFile = value;
  }
  return true;
}

// The options that make no sense without the host's socket service: the
// plug-in's own sockets speak plain TCP only.
bool IsTlsOption(const std::string& name) {
  return name == "--listen-tls" || name == "--tls-cert" || name == "--tls-key" ||
         name == "--require-tls" || name == "--allow-plaintext-auth" || name == "--upstream-tls" ||
         name == "--upstream-ca" || name == "--upstream-tls-name" ||
         name == "--tls-handshake-timeout";
}

// An address is not what a server's certificate names. (A host name has no
// ':' and is not digits and dots alone.)
bool IsAddressLiteral(const std::string& host) {
  return host.find(':') != std::string::npos ||
         host.find_first_not_of("0123456789.") == std::string::npos;
}

bool SameListener(const Endpoint& a, const Endpoint& b) {
  // Port 0 asks for a free port each time: never the same twice.
  if (a.port == 0 || a.port != b.port || a.host.size() != b.host.size()) return false;
  for (size_t i = 0; i < a.host.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a.host[i])) !=
        std::tolower(static_cast<unsigned char>(b.host[i]))) {
      return false;
    }
  }
  return true;
}

bool Names(const RouteSection& section, const char* name) {
  return std::find(section.named.begin(), section.named.end(), name) != section.named.end();
}

// A route whose settings are complete: the checks that need every setting
// in place, inherited ones included. The default route's errors name the
// command line's options, a named route's its section and keys.
bool CheckRoute(const RouteSettings& route, const std::string& where, bool proxyProtocol,
                std::string* error) {
  const bool named = !route.name.empty();
  const std::string prefix = named ? where + ": route '" + route.name + "': " : "";
  auto key = [named](const char* name) { return std::string(named ? "" : "--") + name; };
  auto fail = [&](const std::string& text) {
    *error = prefix + text;
    return false;
  };
  if (named && !route.hasUpstream) return fail("no upstream");
  if (named && route.listen.empty() && route.listenTls.empty()) {
    return fail("no listen or listen-tls");
  }
  const std::string certificate =
      key("tls-cert") + (named ? " (in the route or at the top level)" : "");
  if (!route.listenTls.empty() && route.tls.certFile.empty()) {
    return fail(key("listen-tls") + " needs a certificate: " + certificate);
  }
  if (route.tls.requireTls && route.tls.certFile.empty()) {
    return fail(key("require-tls") + " needs a certificate, " + certificate +
                ": without TLS no client could send mail");
  }
  const bool verifies =
      route.upstreamTls == UpstreamTls::kStarttls || route.upstreamTls == UpstreamTls::kImplicit;
  const std::string mode = key("upstream-tls") + " " + UpstreamTlsName(route.upstreamTls);
  if (verifies && !route.hasUpstream) {
    return fail(mode + " needs " + key("upstream") + ": the capture server speaks no TLS");
  }
  if (verifies && route.upstreamTlsName.empty() &&
      (route.originalDestination || IsAddressLiteral(route.upstream.host))) {
    return fail(mode + " checks the server's certificate against a name, and " + key("upstream") +
                (route.originalDestination
                     ? " original-destination names no host"
                     : " " + EndpointText(route.upstream) + " is an address") +
                ": give " + key("upstream-tls-name"));
  }
  if (route.originalDestination && proxyProtocol) {
    // The balancer's connections were not redirected: their destination is
    // this proxy.
    return fail(key("upstream") + " original-destination cannot be combined with --proxy-protocol");
  }
  if (!route.upstreamTlsName.empty() && route.upstreamTls == UpstreamTls::kNone) {
    return fail(key("upstream-tls-name") + " needs " + key("upstream-tls") +
                " may, starttls or implicit");
  }
  return true;
}

}  // namespace

bool ParseEndpoint(const std::string& text, bool allowPortZero, Endpoint* endpoint,
                   std::string* error) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "bad address '" + text + "': expected [IPV6]:PORT";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      *error = "bad address '" + text + "': expected HOST:PORT";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string::npos) {
      *error = "bad address '" + text + "': write IPv6 addresses as [ADDRESS]:PORT";
      return false;
    }
  }
  if (host.empty()) {
    *error = "bad address '" + text + "': no host";
    return false;
  }
  long value = 0;
  if (!ParseInt(port, allowPortZero ? 0 : 1, 65535, &value)) {
    *error = "bad address '" + text + "': port must be a number from " +
             (allowPortZero ? "0" : "1") + " to 65535";
    return false;
  }
  endpoint->host = host;
  endpoint->port = static_cast<uint16_t>(value);
  return true;
}

bool UnescapeText(const std::string& text, std::string* out, std::string* error) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) {
      *error = "text ends in a lone backslash";
      return false;
    }
    switch (text[i]) {
      case 'r':
        out->push_back('\r');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 't':
        out->push_back('\t');
        break;
      case '\\':
        out->push_back('\\');
        break;
      default:
        *error = std::string("unknown escape \\") + text[i] + " (use \\r, \\n, \\t or \\\\)";
        return false;
    }
  }
  return true;
}

bool ParseSeconds(const std::string& text, int* milliseconds, std::string* error) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  long seconds = 0;
  long millis = 0;
  bool ok = !whole.empty() || !fraction.empty();
  if (ok && !whole.empty()) ok = ParseInt(whole, 0, 2000000, &seconds);
  if (ok && dot != std::string::npos) {
    ok = !fraction.empty() && fraction.size() <= 3;
    if (ok) {
      fraction.resize(3, '0');
      ok = ParseInt(fraction, 0, 999, &millis);
    }
  }
  if (!ok) {
    *error = "expected a number of seconds, got '" + text + "'";
    return false;
  }
  *milliseconds = static_cast<int>(seconds * 1000 + millis);
  return true;
}

namespace {

// ParseOptionWords; *unknown tells an option that does not exist from one
// given wrong.
bool ParseWords(const std::vector<std::string>& args, OptionSource source, Options* options,
                std::string* error, bool* unknown) {
  error->clear();
  *unknown = false;
  bool builtinGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    const size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      hasValue = true;
    }
    if (name == "--help" || name == "-h") {
      options->help = true;
      return true;
    }
    if (name == "--version") {
      options->version = true;
      return true;
    }
    options->given.push_back(name);
    if (bool* flag = Flag(name, options)) {
      if (!hasValue) {
        *flag = true;
        continue;
      }
      if (source == OptionSource::kCommandLine) {
        *error = name + " takes no value on the command line (a settings file may say " +
                 name.substr(2) + " = yes or no)";
        return false;
      }
      if (!ParseYesNo(name, value, flag, error)) return false;
      continue;
    }
    // Every other option takes a value, inline or as the next argument.
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto number = [&](long min, long max, int* target) -> bool {
      if (!takeValue()) return false;
      long parsed = 0;
      if (!ParseInt(value, min, max, &parsed)) {
        *error = name + ": expected a whole number from " + std::to_string(min) + " to " +
                 std::to_string(max) + ", got '" + value + "'";
        return false;
      }
      *target = static_cast<int>(parsed);
      return true;
    };
    auto seconds = [&](int* target) -> bool {
      if (!takeValue()) return false;
      std::string reason;
      if (!ParseSeconds(value, target, &reason)) {
        *error = name + ": " + reason;
        return false;
      }
      return true;
    };
    auto text = [&](std::string* target) -> bool {
      if (!takeValue()) return false;
      if (value.empty()) {
        *error = name + " needs a non-empty value";
        return false;
      }
      *target = value;
      return true;
    };

    bool ok;
    if (IsRouteValueOption(name)) {
      ok = takeValue() && ParseRouteValue(name, value, &options->topLevel, error);
    } else if (name == "--tls-handshake-timeout") {
      ok = seconds(&options->tlsHandshakeTimeoutMs);
    } else if (name == "--plugin") {
      ok = text(&options->pluginPath);
    } else if (name == "--socket-service") {
      ok = takeValue();
      if (ok && value == "host") {
        options->socketService = SocketService::kHost;
      } else if (ok && value == "plugin") {
        options->socketService = SocketService::kPlugin;
      } else if (ok) {
        *error = "--socket-service: expected host or plugin, got '" + value + "'";
        ok = false;
      }
    } else if (name == "--scanner") {
      ok = takeValue() && ParseScanner(value, options, &builtinGiven, error);
    } else if (name == "--signatures") {
      ok = text(&options->signaturesFile);
    } else if (name == "--insert-text") {
      std::string reason;
      ok = takeValue() && UnescapeText(value, &options->insertText, &reason);
      if (!ok && error->empty()) *error = "--insert-text: " + reason;
      // The text goes before the empty line that ends the headers, so it
      // must end a line itself or it would swallow that empty line.
      const std::string& inserted = options->insertText;
      if (ok && !inserted.empty() &&
          (inserted.size() < 2 || inserted.compare(inserted.size() - 2, 2, "\r\n") != 0)) {
        options->insertText += "\r\n";
      }
      if (ok && options->insertText.size() > kMaxInsertText) {
        *error = "--insert-text: longer than " + std::to_string(kMaxInsertText) +
                 " bytes with its line end";
        ok = false;
      }
      if (ok && options->insertText.find('\0') != std::string::npos) {
        *error = "--insert-text: contains a NUL byte";
        ok = false;
      }
    } else if (name == "--on-scan-error") {
      ok = takeValue();
      if (ok && value == "tempfail") {
        options->onScanError = ScanErrorPolicy::kTempfail;
      } else if (ok && value == "pass") {
        options->onScanError = ScanErrorPolicy::kPass;
      } else if (ok && value == "drop") {
        options->onScanError = ScanErrorPolicy::kDrop;
      } else if (ok) {
        *error = "--on-scan-error: expected tempfail, pass or drop, got '" + value + "'";
        ok = false;
      }
    } else if (name == "--trust-forwarding") {
      std::string reason;
      ok = takeValue() && options->trustForwarding.Add(value, &reason);
      if (!ok && error->empty()) *error = "--trust-forwarding: " + reason;
    } else if (name == "--on-infected") {
      ok = takeValue();
      if (ok && (value == "drop" || value == "reject")) {
        options->onInfected = value == "drop" ? InfectedPolicy::kDrop : InfectedPolicy::kReject;
      } else if (ok) {
        *error = "--on-infected: expected drop or reject, got '" + value + "'";
        ok = false;
      }
    } else if (name == "--keepalive") {
      ok = number(0, 2000000, &options->keepaliveSeconds);
    } else if (name == "--debug-level") {
      // The plug-in's trace lines have thresholds 0 to 2: a level above 3
      // would trace nothing more.
      ok = number(0, 3, &options->debugLevel);
    } else if (name == "--outbox") {
      ok = text(&options->outbox);
    } else if (name == "--port-file") {
      ok = text(&options->portFile);
    } else if (name == "--capture-port-file") {
      ok = text(&options->capturePortFile);
    } else if (name == "--log-file") {
      ok = text(&options->logFile);
    } else if (name == "--quarantine") {
      ok = text(&options->quarantineDir);
    } else if (name == "--config") {
      ok = text(&options->configFile);
    } else if (name == "--max-connections") {
      ok = number(1, 100000, &options->maxConnections);
    } else if (name == "--max-per-address") {
      ok = number(1, 100000, &options->maxPerAddress);
    } else if (name == "--max-per-destination") {
      ok = number(0, 100000, &options->maxPerDestination);
    } else if (name == "--command-timeout") {
      ok = seconds(&options->commandTimeoutMs);
    } else if (name == "--data-timeout") {
      ok = seconds(&options->dataTimeoutMs);
    } else if (name == "--session-timeout") {
      ok = seconds(&options->sessionTimeoutMs);
    } else if (name == "--max-message-size") {
      ok = takeValue();
      // Up to 1 TiB; 0 leaves the size to the server.
      if (ok && !ParseUnsigned64(value, uint64_t{1} << 40, &options->maxMessageSize)) {
        *error = name + ": expected a number of bytes from 0 to 1099511627776, got '" + value + "'";
        ok = false;
      }
    } else if (name == "--idle-timeout") {
      ok = seconds(&options->idleTimeoutMs);
    } else if (name == "--connect-timeout") {
      ok = seconds(&options->connectTimeoutMs);
    } else if (name == "--close-grace") {
      ok = seconds(&options->closeGraceMs);
    } else if (name == "--scan-timeout") {
      ok = seconds(&options->scanTimeoutMs);
    } else if (name == "--shutdown-grace") {
      ok = seconds(&options->shutdownGraceMs);
    } else if (name == "--proxy-protocol-from") {
      std::string reason;
      ok = takeValue() && options->proxyProtocolFrom.Add(value, &reason);
      if (!ok && error->empty()) *error = name + ": " + reason;
      options->proxyProtocol = true;  // the balancers' headers are what it names
    } else if (name == "--metrics") {
      std::string reason;
      ok = takeValue() && ParseEndpoint(value, true, &options->metrics, &reason);
      if (!ok && error->empty()) *error = "--metrics: " + reason;
      options->hasMetrics = ok;
    } else {
      *error = name.compare(0, 1, "-") == 0 ? "unknown option '" + name + "' (see --help)"
                                            : "unexpected argument '" + name + "' (see --help)";
      *unknown = true;
      return false;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool ParseOptionWords(const std::vector<std::string>& args, OptionSource source, Options* options,
                      std::string* error) {
  bool unknown = false;
  return ParseWords(args, source, options, error, &unknown);
}

bool CheckOptions(const Options& options, std::string* error) {
  if (options.signaturesFile.size() > 0 && options.scanner != ScannerKind::kBuiltin) {
    *error = "--signatures applies to the builtin scanner only";
    return false;
  }
  if (options.idleTimeoutMs <= 0 || options.connectTimeoutMs <= 0 || options.scanTimeoutMs <= 0 ||
      options.commandTimeoutMs <= 0 || options.dataTimeoutMs <= 0 ||
      options.sessionTimeoutMs <= 0 || options.tlsHandshakeTimeoutMs <= 0) {
    *error = "time-outs must be greater than 0";
    return false;
  }
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  if (!ParseOptionWords(args, OptionSource::kCommandLine, options, error)) return false;
  if (options->help || options->version) return true;
  return CheckOptions(*options, error) && FinishRoutes({}, options, error);
}

bool ParseRouteOption(const std::string& name, const std::string& value, bool hasValue,
                      RouteSection* section, std::string* error) {
  if (bool* flag = RouteFlag(name, &section->route)) {
    if (hasValue && !ParseYesNo(name, value, flag, error)) return false;
    if (!hasValue) *flag = true;
  } else if (IsRouteValueOption(name)) {
    if (!hasValue) {
      *error = name + " needs a value";
      return false;
    }
    if (!ParseRouteValue(name, value, &section->route, error)) return false;
  } else {
    // Whether the top level knows it: parsed alone, an option that exists
    // fails for its value at worst.
    Options scratch;
    std::string reason;
    bool unknown = false;
    ParseWords({name + "=x"}, OptionSource::kFile, &scratch, &reason, &unknown);
    *error = unknown ? "unknown option '" + name + "' (see --help)"
                     : name + " is a top-level setting: it cannot be given in a route";
    return false;
  }
  section->named.push_back(name);
  return true;
}

bool FinishRoutes(const std::vector<RouteSection>& sections, Options* options, std::string* error) {
  const RouteSettings& top = options->topLevel;
  if (options->socketService == SocketService::kPlugin) {
    const std::string why =
        " cannot be used with --socket-service plugin: the plug-in's own "
        "sockets speak no TLS";
    for (const std::string& name : options->given) {
      if (IsTlsOption(name)) {
        *error = name + why;
        return false;
      }
    }
    for (const RouteSection& section : sections) {
      for (const std::string& name : section.named) {
        if (IsTlsOption(name)) {
          *error = section.where + ": route '" + section.route.name + "': " + name.substr(2) + why;
          return false;
        }
      }
    }
  }
  if (!top.tls.keyFile.empty() && top.tls.certFile.empty()) {
    *error = "--tls-key needs --tls-cert";
    return false;
  }

  std::vector<RouteSettings> routes;
  std::vector<std::string> wheres;  // each route's section header
  const bool topListens = !top.listen.empty() || !top.listenTls.empty();
  if (topListens || sections.empty()) {
    routes.push_back(top);
    routes.back().name.clear();
    if (!topListens) routes.back().listen.push_back(Endpoint{"127.0.0.1", 2525});
    wheres.emplace_back();
  } else if (top.hasUpstream || !top.upstreamTlsName.empty()) {
    // Every route names its own upstream: the top level's would be unused.
    *error = std::string(top.hasUpstream ? "--upstream" : "--upstream-tls-name") +
             " is the default route's, which has no --listen or --listen-tls beside the "
             "settings file's routes";
    return false;
  }
  for (const RouteSection& section : sections) {
    RouteSettings route = section.route;
    // The certificate and its key are one setting: a route's own
    // certificate never takes the top level's key.
    if (Names(section, "--tls-key") && !Names(section, "--tls-cert")) {
      *error = section.where + ": route '" + route.name + "': tls-key needs tls-cert in the route";
      return false;
    }
    if (!Names(section, "--tls-cert")) {
      route.tls.certFile = top.tls.certFile;
      route.tls.keyFile = top.tls.keyFile;
    }
    if (!Names(section, "--require-tls")) route.tls.requireTls = top.tls.requireTls;
    route.tls.allowPlaintextAuth = top.tls.allowPlaintextAuth;
    if (!Names(section, "--upstream-tls")) route.upstreamTls = top.upstreamTls;
    if (!Names(section, "--upstream-ca")) route.upstreamCa = top.upstreamCa;
    // upstream-tls-name is not taken: it names the top level's upstream,
    // and a route always has another.
    routes.push_back(route);
    wheres.push_back(section.where);
  }
  for (size_t i = 0; i < routes.size(); ++i) {
    if (!CheckRoute(routes[i], wheres[i], options->proxyProtocol, error)) return false;
  }
  const bool anyOriginalDestination =
      std::any_of(routes.begin(), routes.end(),
                  [](const RouteSettings& route) { return route.originalDestination; });
  if (options->maxPerDestination > 0 && !anyOriginalDestination) {
    *error = "--max-per-destination applies to --upstream original-destination only";
    return false;
  }

  // Two listeners on one address and port: the second could not be opened.
  struct Listener {
    size_t route;
    const char* key;
    const Endpoint* endpoint;
  };
  std::vector<Listener> listeners;
  for (size_t i = 0; i < routes.size(); ++i) {
    for (const Endpoint& endpoint : routes[i].listen) listeners.push_back({i, "listen", &endpoint});
    for (const Endpoint& endpoint : routes[i].listenTls) {
      listeners.push_back({i, "listen-tls", &endpoint});
    }
  }
  auto describe = [&](const Listener& listener) {
    const RouteSettings& route = routes[listener.route];
    const std::string text = std::string(listener.key) + " " + EndpointText(*listener.endpoint);
    return route.name.empty()
               ? "--" + text
               : text + " of route '" + route.name + "' (" + wheres[listener.route] + ")";
  };
  for (size_t i = 0; i < listeners.size(); ++i) {
    for (size_t j = i + 1; j < listeners.size(); ++j) {
      if (SameListener(*listeners[i].endpoint, *listeners[j].endpoint)) {
        *error = describe(listeners[i]) + " and " + describe(listeners[j]) +
                 ": two listeners on one address and port";
        return false;
      }
    }
  }

  options->routes = std::move(routes);
  const RouteSettings& first = options->routes.front();
  options->listen = first.listen.empty() ? first.listenTls.front() : first.listen.front();
  options->hasUpstream = first.hasUpstream;
  options->upstream = first.upstream;
  options->originalDestination = first.originalDestination;
  return true;
}

bool OptionAccumulates(const std::string& name) {
  return name == "--scanner" || name == "--listen" || name == "--listen-tls";
}

bool OptionIsFlag(const std::string& name) {
  Options scratch;
  return Flag(name, &scratch) != nullptr;
}

std::string UsageText() {
  return R"(Usage: divivez-proxy [OPTIONS]

Scanning SMTP proxy. Accepts SMTP clients, connects each to the upstream
server and lets the divivez plug-in relay the dialogue; every message is
scanned before the server sees it. An infected message is answered
"250 Mail accepted" and dropped; a clean one is delivered with a header line
inserted.

Connections:
  --listen ADDR:PORT        where clients connect; may be given several times.
                            127.0.0.1:2525 when no listener of any kind is
                            named (no --listen, --listen-tls or route);
                            port 0 picks a free port, reported in the log line
                            "listening on ADDR:PORT"
  --port-file FILE          also write the first listener's port to FILE;
                            with several listeners, then a line for each:
                            "ROUTE KIND PORT" (ROUTE - for the default route,
                            KIND listen or listen-tls)
  --upstream HOST:PORT      the mail server to relay to. Without it an
                            embedded capture server on a loopback port takes
                            the mail and stores each message in --outbox
  --upstream original-destination
                            (Linux) transparent interception: each client is
                            connected to the address and port it was going
                            to before an nftables/iptables REDIRECT or DNAT
                            rule sent it to the proxy. A connection whose
                            original destination is the proxy itself (a local
                            address with the listening port) hears "421 4.4.6
                            Mail loop detected" and is closed
  --max-per-destination N   with original-destination: concurrent connections
                            to one server address and port (default 0: no
                            limit); the next one gets "421 4.4.5 Too many
                            connections to that server", is closed and logged
  --outbox DIR              where the capture server stores .eml files
                            (default ./outbox, created when missing)
  --capture-port-file FILE  write the capture server's port to FILE
  --max-connections N       concurrent client connections (default 2000);
                            further clients get "421" and are closed
  --max-per-address N       concurrent connections from one client address
                            (default 50); the next one gets "421 4.7.0 Too
                            many connections from your address", is closed
                            and logged
  --connect-timeout SECS    time-out connecting upstream (default 10); an
                            upstream that cannot be reached gives the client
                            "421 4.4.0" and a log line

Limits on a session (RFC 5321 section 4.5.3.2 gives the minimums); a client
cut by one hears "421 4.4.2" and the log line names the limit:
  --command-timeout SECS    between two complete commands of the client
                            (default 300); bytes of an unfinished command do
                            not renew it
  --data-timeout SECS       between two reads while a message arrives
                            (default 180)
  --session-timeout SECS    a whole connection (default 3600)
  --idle-timeout SECS       how long the server may leave an answer owed to
                            the client (default 600)
  --max-message-size BYTES  the largest message taken (default 52428800,
                            50 MiB; 0: no cap of the proxy's own). A larger
                            one is answered "552 5.3.4" and never reaches the
                            server; the connection is then closed
  --shutdown-grace SECS     on SIGINT/SIGTERM (Ctrl-C), how long running
                            connections may finish before they are cut
                            (default 10); a second signal cuts at once

TLS (not with --socket-service plugin):
  --tls-cert FILE           the certificate for clients (PEM, the chain after
                            it in the same file); turns on STARTTLS on every
                            plain listener
  --tls-key FILE            its private key (PEM); left out, the key is read
                            from the --tls-cert file
  --listen-tls ADDR:PORT    a listener with implicit TLS (RFC 8314, port 465):
                            the handshake comes before the greeting. Needs
                            --tls-cert; may be given several times
  --require-tls             on a plain connection every command but EHLO,
                            HELO, NOOP, RSET, QUIT and STARTTLS is answered
                            "530 5.7.0" and never passed on: the client must
                            use STARTTLS first
  --allow-plaintext-auth    offer AUTH on a plain connection from a client
                            that is not on loopback (without it, such a
                            client is offered AUTH under TLS only)
  --upstream-tls none|may|starttls|implicit
                            TLS toward the server: none (default) changes
                            nothing; may: STARTTLS when offered, else plain;
                            starttls: STARTTLS required, a server without it
                            is not used; implicit: TLS from the first byte
                            (port 465). starttls and implicit check the
                            server's certificate and need --upstream
  --upstream-ca FILE        the certificates (PEM) that the server's must
                            chain to, instead of the system's store
  --upstream-tls-name NAME  the name checked in the server's certificate and
                            sent as SNI, instead of the --upstream host (needed
                            when --upstream is an address)
  --tls-handshake-timeout SECS
                            the time a whole TLS handshake may take, on either
                            side (default 10)

Running more than one:
  --proxy-protocol          every connection opens with a PROXY protocol
                            header (version 1 or 2) from a load balancer; the
                            client it names is the one logged and counted by
                            --max-per-address. A connection without a valid
                            header within 5 s is closed. It counts toward
                            --max-connections once its header has come;
                            up to 4 x --max-connections may wait for theirs
  --proxy-protocol-from CIDR[,CIDR...]
                            take PROXY headers only from these balancers
                            (e.g. 10.0.0.5,2001:db8::/64; repeatable); a
                            connection from any other address is closed
                            unread. Implies --proxy-protocol; without it
                            any peer may name any client
  --upstream-xclient        after the server's greeting, tell it the client's
                            address with XCLIENT; a client that cannot be
                            introduced (not offered, refused) hears 421
  --trust-forwarding CIDR[,CIDR...]
                            clients in these IPv4 or IPv6 networks (with
                            --proxy-protocol: the address the header names;
                            an IPv4-mapped client matches IPv4 networks) see
                            XCLIENT and XFORWARD in the server's EHLO reply
                            and may use them, as Postfix's
                            smtpd_authorized_xforward_hosts: give the address
                            of the Postfix whose content_filter points here.
                            Everyone else is refused them (502)
  --metrics HOST:PORT       serve GET /metrics (Prometheus text format) and
                            GET /healthz (200 while listening with a scanner
                            endpoint up, else 503) on this address

Plug-in:
  --plugin PATH             the plug-in library (default: libdivivez.so or
                            divivez.dll beside this executable)
  --socket-service host|plugin
                            host (default): the proxy gives the plug-in its
                            own socket service; plugin: the plug-in reads and
                            writes the sockets itself
  --keepalive SECS          keep-alive interval during scans (default 0: off).
                            While a message is being spooled or scanned the
                            server hears nothing; the plug-in then sends NOOP
                            every SECS. Choose SECS below the server's own
                            command time-out (Postfix: smtpd_timeout, 300 s)
                            but not much lower: servers count NOOP as a junk
                            command and Postfix ends a session after about
                            100 of them (smtpd_junk_command_limit), so
                            (longest scan + longest upload) / SECS, summed
                            over the messages of a session, must stay well
                            under 100. With --scan-timeout 60, 30 is a good
                            value; below 10 the proxy warns at start-up
  --debug-level N           plug-in trace level 0-3: 0 off, 1 operations,
                            2 adds the server's replies, 3 the client's
                            commands. Linux: set through
                            DIVIVEZ_DEBUG_LEVEL, trace lines go to stderr.
                            Windows: written to the registry value
                            HKLM\Software\Corvane\ZEBMail\DebugLevel (needs
                            administrator rights; failure is ignored); trace
                            lines go to the debugger output (under Wine:
                            WINEDEBUG=+debugstr)

Scanning:
  --scanner KIND            builtin (default): the EICAR test file and the
                            signatures of --signatures, also inside base64
                            MIME parts; clamd:unix:PATH or clamd:tcp:HOST:PORT:
                            a ClamAV daemon (INSTREAM). Given several times
                            with clamd endpoints, a pool: each scan goes to
                            the least busy endpoint that is up; one that fails
                            (unreachable, time-out, broken reply) is logged
                            down, skipped and probed with PING (after 1 s,
                            doubling to 30 s) until it answers; a failed scan
                            is tried once more on another endpoint before
                            --on-scan-error applies. Verdicts are never
                            retried. builtin cannot be mixed with clamd
  --signatures FILE         extra signatures for the builtin scanner, one per
                            line: NAME HEXBYTES ('#' starts a comment); a
                            line "# signatures: N" announces how many, and a
                            file that holds another number, or none at all,
                            is refused. On SIGHUP the file is read again:
                            its signatures apply to the scans that start
                            after it; a file that fails to load leaves the
                            set in force, and the log says why. Replace the
                            file whole (mv), never write it in place.
                            Connections stay open. (Windows has no SIGHUP:
                            restart the proxy there.)
  --scan-timeout SECS       time-out for a clamd scan (default 60); a scan
                            tried on a second endpoint gets it afresh
  --on-scan-error tempfail|pass|drop
                            what to do when the scanner fails (daemon down,
                            time-out, error reply such as clamd's size limit):
                            tempfail (default) answers the client "451 4.7.0"
                            and closes the connection, so the client keeps the
                            message and tries again and the server never sees
                            it; pass delivers the message unscanned, without
                            the inserted text, with a warning line in the log;
                            drop treats it as infected. The plug-in's own
                            failure to create a spool file follows it too:
                            refused with "451 4.3.0" unless pass
  --on-infected drop|reject what the client hears of an infected message:
                            drop (default) answers "250 Mail accepted" and
                            drops it; reject answers 554 5.7.1 Message
                            rejected: infected (NAME), NAME being the
                            signature, and the session goes on. reject is
                            for clients that submit directly: behind a
                            Postfix content_filter, Postfix bounces the
                            rejected message, virus included and unscanned,
                            to its possibly forged sender; keep drop or
                            --quarantine there. A scan error dropped by
                            --on-scan-error drop is never rejected
  --insert-text TEXT        header text inserted into delivered messages
                            (default "X-Virus-Scanned: divivez-proxy\r\n");
                            \r \n \t \\ are expanded, a missing final line
                            end is added, "" inserts nothing; at most 263 bytes

  --quarantine DIR          keep a copy of each infected message in DIR
                            (created when missing, mode 0700): NAME.eml
                            (mode 0600; NAME holds the date and time in UTC,
                            the process, connection and message numbers) and
                            NAME.json beside it, written last, with the
                            signature, size, time, client and envelope.
                            Without it infected messages are dropped

Logging:
  --log-file FILE           append log lines to FILE as well as stderr

  --config FILE             read options from FILE, one a line, as on the
                            command line without the leading "--":
                            "NAME = VALUE" or "NAME VALUE"; a value in double
                            quotes keeps its blanks; lines whose first
                            non-blank character is '#' are comments. A flag
                            is written bare or "NAME = yes|no". An option may
                            be named once (scanner, listen and listen-tls:
                            once per value). An option given on the command
                            line wins: the file's lines for it are not used.
                            "[route NAME]" opens a route: its own listen,
                            listen-tls, upstream, upstream-tls, upstream-ca,
                            upstream-tls-name, tls-cert, tls-key and
                            require-tls; it needs an upstream and a listener
                            and takes the TLS settings it does not name from
                            the top level (but upstream-tls-name, and the
                            key of its own tls-cert)
  --help, --version

Log lines go to stderr with timestamps: one per connection, one per message
(size, verdict and signature, scan and delivery time), delivery progress for
large messages (a bar on a terminal, a line per 25% otherwise) and the
counters at exit. Exit status: 0 after a signal, 1 on a failure at run time,
2 on bad arguments or an unusable plug-in.
)";
}
