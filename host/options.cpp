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

// What a row's set function works on: the option's value, and where it goes.
// In a route section options is null and route is the section's route; at
// the top level route is options->topLevel.
struct OptionSetter {
  const OptionRow& row;
  const std::string& value;
  bool hasValue;
  Options* options;
  RouteSettings* route;
  bool* builtinGiven;  // an earlier --scanner builtin in these words
  std::string* error;

  bool Fail(const std::string& reason) {
    *error = std::string(row.name) + ": " + reason;
    return false;
  }
  bool Text(std::string* target) {
    if (value.empty()) {
      *error = std::string(row.name) + " needs a non-empty value";
      return false;
    }
    *target = value;
    return true;
  }
  bool Number(long min, long max, int* target) {
    long parsed = 0;
    if (!ParseInt(value, min, max, &parsed)) {
      return Fail("expected a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", got '" + value + "'");
    }
    *target = static_cast<int>(parsed);
    return true;
  }
  bool Seconds(int* target) {
    std::string reason;
    return ParseSeconds(value, target, &reason) || Fail(reason);
  }
  bool Address(bool allowPortZero, Endpoint* target) {
    std::string reason;
    return ParseEndpoint(value, allowPortZero, target, &reason) || Fail(reason);
  }
  bool Networks(CidrSet* target) {
    std::string reason;
    return target->Add(value, &reason) || Fail(reason);
  }
  // One of an enumeration's values, by the name nameOf gives it.
  template <typename E>
  bool Choice(E* target, const char* (*nameOf)(E), int count) {
    std::string names;
    for (int k = 0; k < count; ++k) {
      if (value == nameOf(static_cast<E>(k))) {
        *target = static_cast<E>(k);
        return true;
      }
      names += std::string(k == 0           ? ""
                           : k + 1 == count ? " or "
                                            : ", ") +
               nameOf(static_cast<E>(k));
    }
    return Fail("expected " + names + ", got '" + value + "'");
  }
  // Bare: on; in a settings file also yes or no.
  bool Flag(bool* target) {
    if (!hasValue) {
      *target = true;
      return true;
    }
    if (value != "yes" && value != "no") return Fail("expected yes or no, got '" + value + "'");
    *target = value == "yes";
    return true;
  }
};

namespace {

bool SetInsertText(OptionSetter& s) {
  std::string& inserted = s.options->insertText;
  std::string reason;
  if (!UnescapeText(s.value, &inserted, &reason)) return s.Fail(reason);
  // The text goes before the empty line that ends the headers, so it must
  // end a line itself or it would swallow that empty line.
  if (!inserted.empty() &&
      (inserted.size() < 2 || inserted.compare(inserted.size() - 2, 2, "\r\n") != 0)) {
    inserted += "\r\n";
  }
  if (inserted.size() > kMaxInsertText) {
    return s.Fail("longer than " + std::to_string(kMaxInsertText) + " bytes with its line end");
  }
  if (inserted.find('\0') != std::string::npos) return s.Fail("contains a NUL byte");
  return true;
}

bool SetUpstream(OptionSetter& s) {
  RouteSettings& route = *s.route;
  if (s.value == "original-destination") {
    route.upstream = Endpoint();
    route.originalDestination = true;
  } else if (s.Address(false, &route.upstream)) {
    route.originalDestination = false;
  } else {
    return false;
  }
  route.hasUpstream = true;
  return true;
}

bool AddListener(OptionSetter& s, std::vector<Endpoint>* listeners) {
  Endpoint endpoint;
  if (!s.Address(true, &endpoint)) return false;
  listeners->push_back(endpoint);
  return true;
}

// Every option: one row each, in the order --help shows them; a row without
// a name heads a group. set parses the value into its place (the top level's
// or a route's settings); fallback is applied by Options() the same way.
const std::vector<OptionRow> kOptions = {
    {nullptr, nullptr, 0, nullptr, nullptr, "Connections:"},
    {"--listen", "ADDR:PORT", kOptRepeats | kOptRoute, nullptr,
     [](OptionSetter& s) { return AddListener(s, &s.route->listen); },
     "where clients connect; may be given several times. 127.0.0.1:2525 when no listener of "
     "any kind is named (no --listen, --listen-tls or route); port 0 picks a free port, "
     "reported in the log line \"listening on ADDR:PORT\""},
    {"--port-file", "FILE", 0, nullptr,
     [](OptionSetter& s) { return s.Text(&s.options->portFile); },
     "also write the first listener's port to FILE; with several listeners, then a line for "
     "each: \"ROUTE KIND PORT\" (ROUTE - for the default route, KIND listen or listen-tls)"},
    {"--upstream", "HOST:PORT|original-destination", kOptRoute, nullptr, SetUpstream,
     "the mail server to relay to. Without it an embedded capture server on a loopback port "
     "takes the mail and stores each message in --outbox.\n"
     "original-destination (Linux): transparent interception: each client is connected to the "
     "address and port it was going to before an nftables/iptables REDIRECT or DNAT rule sent "
     "it to the proxy. A connection whose original destination is the proxy itself (a local "
     "address with the listening port) hears \"421 4.4.6 Mail loop detected\" and is closed"},
    {"--max-per-destination", "N", 0, "0",
     [](OptionSetter& s) { return s.Number(0, 100000, &s.options->maxPerDestination); },
     "with original-destination: concurrent connections to one server address and port "
     "(0: no limit); the next one gets \"421 4.4.5 Too many connections to that server\", is "
     "closed and logged"},
    {"--outbox", "DIR", 0, "outbox", [](OptionSetter& s) { return s.Text(&s.options->outbox); },
     "where the capture server stores .eml files (created when missing)"},
    {"--capture-port-file", "FILE", 0, nullptr,
     [](OptionSetter& s) { return s.Text(&s.options->capturePortFile); },
     "write the capture server's port to FILE"},
    {"--max-connections", "N", 0, "2000",
     [](OptionSetter& s) { return s.Number(1, 100000, &s.options->maxConnections); },
     "concurrent client connections; further clients get \"421\" and are closed"},
    {"--max-per-address", "N", 0, "50",
     [](OptionSetter& s) { return s.Number(1, 100000, &s.options->maxPerAddress); },
     "concurrent connections from one client address; the next one gets \"421 4.7.0 Too many "
     "connections from your address\", is closed and logged"},
    {"--connect-timeout", "SECS", 0, "10",
     [](OptionSetter& s) { return s.Seconds(&s.options->connectTimeoutMs); },
     "time-out connecting upstream; an upstream that cannot be reached gives the client "
     "\"421 4.4.0\" and a log line"},
    {"--close-grace", "SECS", 0, "2",
     [](OptionSetter& s) { return s.Seconds(&s.options->closeGraceMs); },
     "after a client has closed, how long the server may still answer what was relayed "
     "last (the 221 to QUIT), renewed while it talks, before its connection is closed too"},

    {nullptr, nullptr, 0, nullptr, nullptr,
     "Limits on a session (RFC 5321 section 4.5.3.2 gives the minimums); a client cut by one "
     "hears \"421 4.4.2\" and the log line names the limit:"},
    {"--command-timeout", "SECS", 0, "300",
     [](OptionSetter& s) { return s.Seconds(&s.options->commandTimeoutMs); },
     "between two complete commands of the client; bytes of an unfinished command do not "
     "renew it"},
    {"--data-timeout", "SECS", 0, "180",
     [](OptionSetter& s) { return s.Seconds(&s.options->dataTimeoutMs); },
     "between two reads while a message arrives"},
    {"--session-timeout", "SECS", 0, "3600",
     [](OptionSetter& s) { return s.Seconds(&s.options->sessionTimeoutMs); }, "a whole connection"},
    {"--idle-timeout", "SECS", 0, "600",
     [](OptionSetter& s) { return s.Seconds(&s.options->idleTimeoutMs); },
     "how long the server may leave an answer owed to the client"},
    {"--max-message-size", "BYTES", 0, "52428800",
     [](OptionSetter& s) {
       // Up to 1 TiB; 0 leaves the size to the server.
       return ParseUnsigned64(s.value, uint64_t{1} << 40, &s.options->maxMessageSize) ||
              s.Fail("expected a number of bytes from 0 to 1099511627776, got '" + s.value + "'");
     },
     "the largest message taken (52428800 is 50 MiB; 0: no cap of the proxy's own). A larger "
     "one is answered \"552 5.3.4\" and never reaches the server; the connection is then "
     "closed"},
    {"--shutdown-grace", "SECS", 0, "10",
     [](OptionSetter& s) { return s.Seconds(&s.options->shutdownGraceMs); },
     "on SIGINT/SIGTERM (Ctrl-C), how long running connections may finish before they are "
     "cut; a second signal cuts at once"},

    {nullptr, nullptr, 0, nullptr, nullptr, "TLS (not with --socket-service plugin):"},
    {"--tls-cert", "FILE", kOptRoute | kOptInherited | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Text(&s.route->tls.certFile); },
     "the certificate for clients (PEM, the chain after it in the same file; or a PFX "
     "(PKCS #12) file, .pfx or .p12, with its key and chain; on Windows also a certificate of "
     "the store: store:LocalMachine\\My\\THUMBPRINT or store:LocalMachine\\My\\subject=NAME); "
     "turns on STARTTLS on every plain listener"},
    {"--tls-key", "FILE", kOptRoute | kOptInherited | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Text(&s.route->tls.keyFile); },
     "its private key (PEM); left out, the key is read from the --tls-cert file", "--tls-cert"},
    {"--tls-cert-password-file", "FILE", kOptRoute | kOptInherited | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Text(&s.route->tls.passwordFile); },
     "the file whose first line is the password of a PFX (PKCS #12) --tls-cert; the password "
     "is never given on the command line",
     "--tls-cert"},
    {"--listen-tls", "ADDR:PORT", kOptRepeats | kOptRoute | kOptTls, nullptr,
     [](OptionSetter& s) { return AddListener(s, &s.route->listenTls); },
     "a listener with implicit TLS (RFC 8314, port 465): the handshake comes before the "
     "greeting. Needs --tls-cert; may be given several times"},
    {"--require-tls", nullptr, kOptRoute | kOptInherited | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Flag(&s.route->tls.requireTls); },
     "on a plain connection every command but EHLO, HELO, NOOP, RSET, QUIT and STARTTLS is "
     "answered \"530 5.7.0\" and never passed on: the client must use STARTTLS first"},
    {"--allow-plaintext-auth", nullptr, kOptInherited | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Flag(&s.route->tls.allowPlaintextAuth); },
     "offer AUTH on a plain connection from a client that is not on loopback (without it, such "
     "a client is offered AUTH under TLS only)"},
    {"--upstream-tls", "none|may|starttls|implicit", kOptRoute | kOptInherited | kOptTls, "none",
     [](OptionSetter& s) { return s.Choice(&s.route->upstreamTls, UpstreamTlsName, 4); },
     "TLS toward the server: none changes nothing; may: STARTTLS when offered, else plain; "
     "starttls: STARTTLS required, a server without it is not used; implicit: TLS from the "
     "first byte (port 465). starttls and implicit check the server's certificate and need "
     "--upstream"},
    {"--upstream-ca", "FILE", kOptRoute | kOptInherited | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Text(&s.route->upstreamCa); },
     "the certificates (PEM) that the server's must chain to, instead of the system's store"},
    {"--upstream-tls-name", "NAME", kOptRoute | kOptTls, nullptr,
     [](OptionSetter& s) { return s.Text(&s.route->upstreamTlsName); },
     "the name checked in the server's certificate and sent as SNI, instead of the --upstream "
     "host (needed when --upstream is an address)"},
    {"--tls-handshake-timeout", "SECS", kOptTls, "10",
     [](OptionSetter& s) { return s.Seconds(&s.options->tlsHandshakeTimeoutMs); },
     "the time a whole TLS handshake may take, on either side"},

    {nullptr, nullptr, 0, nullptr, nullptr, "Running more than one:"},
    {"--proxy-protocol", nullptr, 0, nullptr,
     [](OptionSetter& s) { return s.Flag(&s.options->proxyProtocol); },
     "every connection opens with a PROXY protocol header (version 1 or 2) from a load "
     "balancer; the client it names is the one logged and counted by --max-per-address. A "
     "connection without a valid header within 5 s is closed. It counts toward "
     "--max-connections once its header has come; up to 4 x --max-connections may wait for "
     "theirs"},
    {"--proxy-protocol-from", "CIDR[,CIDR...]", 0, nullptr,
     [](OptionSetter& s) {
       s.options->proxyProtocol = true;  // the balancers' headers are what it names
       return s.Networks(&s.options->proxyProtocolFrom);
     },
     "take PROXY headers only from these balancers (e.g. 10.0.0.5,2001:db8::/64; repeatable); "
     "a connection from any other address is closed unread. Implies --proxy-protocol; without "
     "it any peer may name any client"},
    {"--upstream-xclient", nullptr, 0, nullptr,
     [](OptionSetter& s) { return s.Flag(&s.options->upstreamXclient); },
     "after the server's greeting, tell it the client's address with XCLIENT; a client that "
     "cannot be introduced (not offered, refused) hears 421"},
    {"--trust-forwarding", "CIDR[,CIDR...]", 0, nullptr,
     [](OptionSetter& s) { return s.Networks(&s.options->trustForwarding); },
     "clients in these IPv4 or IPv6 networks (with --proxy-protocol: the address the header "
     "names; an IPv4-mapped client matches IPv4 networks) see XCLIENT and XFORWARD in the "
     "server's EHLO reply and may use them, as Postfix's smtpd_authorized_xforward_hosts: give "
     "the address of the Postfix whose content_filter points here. Everyone else is refused "
     "them (502)"},
    {"--metrics", "HOST:PORT", 0, nullptr,
     [](OptionSetter& s) { return s.options->hasMetrics = s.Address(true, &s.options->metrics); },
     "serve GET /metrics (Prometheus text format; the README's table lists the series) and "
     "GET /healthz (200 while listening with a scanner endpoint up, else 503) on this "
     "address"},

    {nullptr, nullptr, 0, nullptr, nullptr, "Plug-in:"},
    {"--plugin", "PATH", 0, nullptr, [](OptionSetter& s) { return s.Text(&s.options->pluginPath); },
     "the plug-in library (default: libdivivez.so or divivez.dll beside this executable)"},
    {"--socket-service", "host|plugin", 0, "host",
     [](OptionSetter& s) { return s.Choice(&s.options->socketService, SocketServiceName, 2); },
     "host: the proxy gives the plug-in its own socket service; plugin: the plug-in reads and "
     "writes the sockets itself"},
    {"--keepalive", "SECS", 0, "0",
     [](OptionSetter& s) { return s.Number(0, 2000000, &s.options->keepaliveSeconds); },
     "keep-alive interval during scans (0: off). While a message is being spooled or scanned "
     "the server hears nothing; the plug-in then sends NOOP every SECS. Choose SECS below the "
     "server's own command time-out (Postfix: smtpd_timeout, 300 s) but not much lower: "
     "servers count NOOP as a junk command and Postfix ends a session after about 100 of them "
     "(smtpd_junk_command_limit), so (longest scan + longest upload) / SECS, summed over the "
     "messages of a session, must stay well under 100. With --scan-timeout 60, 30 is a good "
     "value; below 10 the proxy warns at start-up"},
    {"--debug-level", "N", 0, nullptr,
     // The plug-in's trace lines have thresholds 0 to 2: a level above 3
     // would trace nothing more.
     [](OptionSetter& s) { return s.Number(0, 3, &s.options->debugLevel); },
     "plug-in trace level 0-3: 0 off, 1 operations, 2 adds the server's replies, 3 the "
     "client's commands. Linux: set through DIVIVEZ_DEBUG_LEVEL, trace lines go to stderr. "
     "Windows: written to the registry value HKLM\\Software\\Corvane\\ZEBMail\\DebugLevel "
     "(needs administrator rights; failure is ignored); trace lines go to the debugger output "
     "(under Wine: WINEDEBUG=+debugstr)"},

    {nullptr, nullptr, 0, nullptr, nullptr, "Scanning:"},
    {"--scanner", "KIND", kOptRepeats, "builtin",
     [](OptionSetter& s) { return ParseScanner(s.value, s.options, s.builtinGiven, s.error); },
     "builtin: the EICAR test file and the signatures of --signatures, also inside base64 MIME "
     "parts; clamd:unix:PATH or clamd:tcp:HOST:PORT: a ClamAV daemon (INSTREAM). Given several "
     "times with clamd endpoints, a pool: each scan goes to the least busy endpoint that is "
     "up; one that fails (unreachable, time-out, broken reply) is logged down, skipped and "
     "probed with PING (after 1 s, doubling to 30 s) until it answers; a failed scan is tried "
     "once more on another endpoint before --on-scan-error applies. Verdicts are never "
     "retried. builtin cannot be mixed with clamd"},
    {"--signatures", "FILE", 0, nullptr,
     [](OptionSetter& s) { return s.Text(&s.options->signaturesFile); },
     "extra signatures for the builtin scanner, one per line: NAME HEXBYTES ('#' starts a "
     "comment); a line \"# signatures: N\" announces how many, and a file that holds another "
     "number, or none at all, is refused. On SIGHUP the file is read again: its signatures "
     "apply to the scans that start after it; a file that fails to load leaves the set in "
     "force, and the log says why. Replace the file whole (mv), never write it in place. "
     "Connections stay open. (Windows has no SIGHUP: restart the proxy there.)"},
    {"--scan-timeout", "SECS", 0, "60",
     [](OptionSetter& s) { return s.Seconds(&s.options->scanTimeoutMs); },
     "time-out for a clamd scan; a scan tried on a second endpoint gets it afresh"},
    {"--on-scan-error", "tempfail|pass|drop", 0, "tempfail",
     [](OptionSetter& s) { return s.Choice(&s.options->onScanError, ScanErrorPolicyName, 3); },
     "what to do when the scanner fails (daemon down, time-out, error reply such as clamd's "
     "size limit): tempfail answers the client \"451 4.7.0\" and closes the connection, so the "
     "client keeps the message and tries again and the server never sees it; pass delivers "
     "the message unscanned, without the inserted text, with a warning line in the log; drop "
     "treats it as infected. The plug-in's own failure to create a spool file follows it too: "
     "refused with \"451 4.3.0\" unless pass"},
    {"--on-infected", "drop|reject", 0, "drop",
     [](OptionSetter& s) { return s.Choice(&s.options->onInfected, InfectedPolicyName, 2); },
     "what the client hears of an infected message: drop answers \"250 Mail accepted\" and "
     "drops it; reject answers 554 5.7.1 Message rejected: infected (NAME), NAME being the "
     "signature, and the session goes on. reject is for clients that submit directly: behind "
     "a Postfix content_filter, Postfix bounces the rejected message, virus included and "
     "unscanned, to its possibly forged sender; keep drop or --quarantine there. A scan error "
     "dropped by --on-scan-error drop is never rejected"},
    {"--insert-text", "TEXT", 0, "X-Virus-Scanned: divivez-proxy\\r\\n", SetInsertText,
     "header text inserted into delivered messages; \\r \\n \\t \\\\ are expanded, a missing "
     "final line end is added, \"\" inserts nothing; at most 263 bytes"},
    {"--quarantine", "DIR", 0, nullptr,
     [](OptionSetter& s) { return s.Text(&s.options->quarantineDir); },
     "keep a copy of each infected message in DIR (created when missing, mode 0700): NAME.eml "
     "(mode 0600; NAME holds the date and time in UTC, the process, connection and message "
     "numbers) and NAME.json beside it, written last, with the signature, size, time, client "
     "and envelope. Without it infected messages are dropped"},

    {nullptr, nullptr, 0, nullptr, nullptr, "Logging and the settings file:"},
    {"--log-file", "FILE", 0, nullptr, [](OptionSetter& s) { return s.Text(&s.options->logFile); },
     "append log lines to FILE as well as stderr"},
    {"--config", "FILE", kOptCommandLineOnly, nullptr,
     [](OptionSetter& s) { return s.Text(&s.options->configFile); },
     "read options from FILE, one a line, as on the command line without the leading \"--\": "
     "\"NAME = VALUE\" or \"NAME VALUE\"; a value in double quotes keeps its blanks; lines "
     "whose first non-blank character is '#' are comments. A flag is written bare or "
     "\"NAME = yes|no\". An option may be named once ({repeats}: once per value). An option "
     "given on the command line wins: the file's lines for it are not used. \"[route NAME]\" "
     "opens a route: its own {route}; it needs an upstream and a listener and takes the TLS "
     "settings it does not name from the "
     "top level (but upstream-tls-name, and the key of its own tls-cert)"},
    {"--windows-service", "install|uninstall|reload|run", kOptCommandLineOnly, nullptr,
     [](OptionSetter& s) {
       if (s.value != "install" && s.value != "uninstall" && s.value != "reload" &&
           s.value != "run") {
         return s.Fail("expected install, uninstall, reload or run, got '" + s.value + "'");
       }
       s.options->windowsService = s.value;
       return true;
     },
     "(Windows) install: register the service divivez (automatic start, as NT SERVICE\\divivez "
     "or LocalService) to run this program with the other options of this command line (give "
     "absolute paths: a service starts in the system directory), register its event-log "
     "source and let its account write %ProgramData%\\divivez and the plug-in's registry key; "
     "needs administrator rights. uninstall: stop the service (waiting up to the shutdown "
     "grace and 15 s) and remove it and its event-log source; the settings, log and "
     "quarantine stay. reload: send the running service PARAMCHANGE, as sc control divivez "
     "paramchange does. run: what the registered service runs: started by the Service Control "
     "Manager, it stops on STOP and SHUTDOWN as on Ctrl-C (the shutdown grace, then 421), and "
     "PARAMCHANGE (sc control divivez paramchange) does what SIGHUP does on Linux; its log "
     "goes to %ProgramData%\\divivez\\divivez-proxy.log unless --log-file names another, and "
     "its start, stop, reloads and fatal errors to the event log as well"},
    {"--help", nullptr, kOptCommandLineOnly | kOptEndsParsing, nullptr,
     [](OptionSetter& s) { return s.options->help = true; }, "this text"},
    {"-h", nullptr, kOptCommandLineOnly | kOptEndsParsing, nullptr,
     [](OptionSetter& s) { return s.options->help = true; }, "the same"},
    {"--version", nullptr, kOptCommandLineOnly | kOptEndsParsing, nullptr,
     [](OptionSetter& s) { return s.options->version = true; }, "the version"},
};

// ParseOptionWords.
bool ParseWords(const std::vector<std::string>& args, OptionSource source, Options* options,
                std::string* error) {
  error->clear();
  bool builtinGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    GivenOption given{args[i], "", false};
    const size_t equals = given.name.find('=');
    if (given.name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      given.value = given.name.substr(equals + 1);
      given.name.erase(equals);
      given.hasValue = true;
    }
    const std::string& name = given.name;
    const OptionRow* row = FindOption(name);
    if (row == nullptr) {
      *error = name.compare(0, 1, "-") == 0 ? "unknown option '" + name + "' (see --help)"
                                            : "unexpected argument '" + name + "' (see --help)";
      return false;
    }
    if (row->value == nullptr && given.hasValue && source == OptionSource::kCommandLine &&
        (row->places & kOptEndsParsing) == 0) {
      *error = name + " takes no value on the command line (a settings file may say " +
               name.substr(2) + " = yes or no)";
      return false;
    }
    if (row->value != nullptr && !given.hasValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      given.value = args[++i];
      given.hasValue = true;
    }
    // Named even when its value turns out wrong (an error that recurs when
    // the settings file's words are parsed first).
    const bool ends = (row->places & kOptEndsParsing) != 0;
    if (!ends) options->given.push_back(given);
    OptionSetter setter{*row,          given.value, given.hasValue, options, &options->topLevel,
                        &builtinGiven, error};
    if (!row->set(setter)) return false;
    if (ends) return true;
  }
  return true;
}

}  // namespace

Options::Options() {
  bool builtinGiven = false;
  std::string error;
  for (const OptionRow& row : kOptions) {
    if (row.fallback == nullptr) continue;
    const std::string value = row.fallback;
    OptionSetter setter{row, value, true, this, &topLevel, &builtinGiven, &error};
    row.set(setter);
  }
}

const std::vector<OptionRow>& OptionTable() { return kOptions; }

const OptionRow* FindOption(const std::string& name) {
  for (const OptionRow& row : kOptions) {
    if (row.name != nullptr && name == row.name) return &row;
  }
  return nullptr;
}

bool ParseOptionWords(const std::vector<std::string>& args, OptionSource source, Options* options,
                      std::string* error) {
  return ParseWords(args, source, options, error);
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
  const OptionRow* row = FindOption(name);
  if (row == nullptr || (row->places & kOptCommandLineOnly) != 0) {
    *error = "unknown option '" + name + "' (see --help)";
    return false;
  }
  if ((row->places & kOptRoute) == 0) {
    *error = name + " is a top-level setting: it cannot be given in a route";
    return false;
  }
  if (row->value != nullptr && !hasValue) {
    *error = name + " needs a value";
    return false;
  }
  bool builtinGiven = false;
  OptionSetter setter{*row, value, hasValue, nullptr, &section->route, &builtinGiven, error};
  if (!row->set(setter)) return false;
  section->named.push_back(name);
  return true;
}

bool FinishRoutes(const std::vector<RouteSection>& sections, Options* options, std::string* error) {
  const RouteSettings& top = options->topLevel;
  if (options->socketService == SocketService::kPlugin) {
    const std::string why =
        " cannot be used with --socket-service plugin: the plug-in's own "
        "sockets speak no TLS";
    for (const GivenOption& given : options->given) {
      if ((FindOption(given.name)->places & kOptTls) != 0) {
        *error = given.name + why;
        return false;
      }
    }
    for (const RouteSection& section : sections) {
      for (const std::string& name : section.named) {
        if ((FindOption(name)->places & kOptTls) != 0) {
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
    // What the route does not name it takes from the top level, as the
    // top level's options left it; upstream-tls-name is not taken: it names
    // the top level's upstream, and a route always has another.
    for (const GivenOption& given : options->given) {
      const OptionRow& row = *FindOption(given.name);
      if ((row.places & kOptInherited) == 0 ||
          std::any_of(section.named.begin(), section.named.end(),
                      [&](const std::string& named) { return OptionOverrides(named, row.name); })) {
        continue;
      }
      bool builtinGiven = false;
      std::string ignored;  // parsed once already
      OptionSetter setter{row,    given.value,   given.hasValue, options,
                          &route, &builtinGiven, &ignored};
      row.set(setter);
    }
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
  const OptionRow* row = FindOption(name);
  return row != nullptr && (row->places & kOptRepeats) != 0;
}

bool OptionIsFlag(const std::string& name) {
  const OptionRow* row = FindOption(name);
  return row != nullptr && row->value == nullptr && (row->places & kOptCommandLineOnly) == 0;
}

bool OptionOverrides(const std::string& higher, const std::string& lower) {
  const OptionRow* row = FindOption(lower);
  return higher == lower || (row != nullptr && row->follows != nullptr && higher == row->follows);
}

namespace {

// The names of the options with these places, "a, b and c", without "--".
std::string NamesWith(unsigned places) {
  std::vector<std::string> names;
  for (const OptionRow& row : kOptions) {
    if (row.name != nullptr && (row.places & places) == places) names.push_back(row.name + 2);
  }
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return text;
}

// An option's help, its default after it; {route} and {repeats} stand for
// the options a route may name and those named once per value.
std::string HelpText(const OptionRow& row) {
  std::string text = row.help;
  for (const auto& [key, places] : {std::pair<std::string, unsigned>{"{route}", kOptRoute},
                                    std::pair<std::string, unsigned>{"{repeats}", kOptRepeats}}) {
    const size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), NamesWith(places));
  }
  if (row.fallback == nullptr) return text;
  const std::string fallback = row.fallback;
  const bool quote = fallback.find(' ') != std::string::npos;
  return text + " (default " + (quote ? "\"" + fallback + "\"" : fallback) + ")";
}

// Words filled into lines of at most 78 columns, each after `indent`
// blanks; the first line's blanks are the caller's.
std::string Fill(const std::string& text, size_t indent) {
  constexpr size_t kWidth = 78;
  std::string out;
  size_t column = indent;
  size_t start = 0;
  while (start < text.size()) {
    if (text[start] == '\n') {  // a new paragraph within the help
      out += "\n" + std::string(indent, ' ');
      column = indent;
      ++start;
      continue;
    }
    size_t end = text.find_first_of(" \n", start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (column > indent && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    start = end < text.size() && text[end] == ' ' ? end + 1 : end;
  }
  return out;
}

// Text for roff: backslashes and the dashes that open option names escaped, a
// line break between the help's paragraphs, no line that starts with a
// control character.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    lineStart = false;
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-' && i + 1 < text.size() &&
               (i == 0 || std::string(" (-").find(text[i - 1]) != std::string::npos) &&
               (text[i + 1] == '-' || std::isalpha(static_cast<unsigned char>(text[i + 1])))) {
      out += "\\-";
    } else if (c == '\n') {
      out += "\n.br\n";
      lineStart = true;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string UsageText() {
  std::string text =
      "Usage: divivez-proxy [OPTIONS]\n\n" +
      Fill(
          "Scanning SMTP proxy. Accepts SMTP clients, connects each to the upstream server "
          "and lets the divivez plug-in relay the dialogue; every message is scanned before "
          "the server sees it. An infected message is answered \"250 Mail accepted\" and "
          "dropped; a clean one is delivered with a header line inserted.",
          0) +
      "\n";
  constexpr size_t kHelpColumn = 28;
  for (const OptionRow& row : kOptions) {
    if (row.name == nullptr) {
      text += "\n" + Fill(row.help, 0) + "\n";
      continue;
    }
    std::string label =
        std::string("  ") + row.name + (row.value ? std::string(" ") + row.value : "");
    label += label.size() < kHelpColumn ? std::string(kHelpColumn - label.size(), ' ')
                                        : "\n" + std::string(kHelpColumn, ' ');
    text += label + Fill(HelpText(row), kHelpColumn) + "\n";
  }
  return text + "\n" +
         Fill(
             "Log lines go to stderr with timestamps: one per connection, one per message "
             "(size, verdict and signature, scan and delivery time), delivery progress for "
             "large messages (a bar on a terminal, a line per 25% otherwise) and the counters "
             "at exit. Exit status: 0 after a signal, 1 on a failure at run time, 2 on bad "
             "arguments or an unusable plug-in.",
             0) +
         "\n";
}

std::string ManPageOptions() {
  std::string text = ".SH OPTIONS\n";
  for (const OptionRow& row : kOptions) {
    if (row.name == nullptr) {
      text += ".SS " + Roff(row.help) + "\n";
    } else if (row.value == nullptr) {
      text += ".TP\n.B " + Roff(row.name) + "\n" + Roff(HelpText(row)) + "\n";
    } else {
      text += ".TP\n.BI " + Roff(row.name) + " \" " + Roff(row.value) + "\"\n" +
              Roff(HelpText(row)) + "\n";
    }
  }
  return text;
}

ProxySettings ProxySettingsOf(const Options& options) {
  ProxySettings settings;
  settings.socketService = options.socketService;
  settings.insertText = options.insertText;
  settings.onScanError = options.onScanError;
  settings.onInfected = options.onInfected;
  settings.keepaliveSeconds = options.keepaliveSeconds;
  settings.maxConnections = options.maxConnections;
  settings.maxPerAddress = options.maxPerAddress;
  settings.commandTimeoutMs = options.commandTimeoutMs;
  settings.dataTimeoutMs = options.dataTimeoutMs;
  settings.sessionTimeoutMs = options.sessionTimeoutMs;
  settings.tlsHandshakeTimeoutMs = options.tlsHandshakeTimeoutMs;
  settings.maxMessageSize = options.maxMessageSize;
  settings.idleTimeoutMs = options.idleTimeoutMs;
  settings.connectTimeoutMs = options.connectTimeoutMs;
  settings.closeGraceMs = options.closeGraceMs;
  settings.proxyProtocol = options.proxyProtocol;
  settings.proxyProtocolFrom = options.proxyProtocolFrom;
  settings.upstreamXclient = options.upstreamXclient;
  settings.trustForwarding = options.trustForwarding;
  settings.maxPerDestination = options.maxPerDestination;
  return settings;
}

std::vector<std::string> StartupNotes(const Options& options) {
  std::vector<std::string> notes;
  if (options.keepaliveSeconds > 0 && options.keepaliveSeconds < 10) {
    notes.push_back("WARNING: --keepalive " + std::to_string(options.keepaliveSeconds) +
                    " is below 10 s: servers count every NOOP as a junk command (Postfix ends "
                    "a session after about 100), so a long scan or several messages in one "
                    "session may get the connection closed; see --help");
  }
  if (std::any_of(options.routes.begin(), options.routes.end(),
                  [](const RouteSettings& route) { return route.originalDestination; })) {
    notes.push_back("transparent: each connection goes to its original destination; up to " +
                    (options.maxPerDestination > 0 ? std::to_string(options.maxPerDestination)
                                                   : std::string("any number")) +
                    " per destination");
  }
  if (options.proxyProtocol) {
    notes.push_back(
        "every connection must open with a PROXY protocol header (--proxy-protocol)" +
        (options.proxyProtocolFrom.Empty() ? "" : ", from " + options.proxyProtocolFrom.Text()));
  }
  if (options.proxyProtocol && options.upstreamXclient && options.proxyProtocolFrom.Empty()) {
    notes.push_back(
        "WARNING: --proxy-protocol with --upstream-xclient and no --proxy-protocol-from: anyone "
        "who reaches the listener can name any client address, and the server is told it; "
        "name the balancers with --proxy-protocol-from");
  }
  if (options.proxyProtocol && !options.trustForwarding.Empty() &&
      options.proxyProtocolFrom.Empty()) {
    notes.push_back(
        "WARNING: --proxy-protocol with --trust-forwarding and no --proxy-protocol-from: anyone "
        "who reaches the listener can name a trusted client address and have its XCLIENT and "
        "XFORWARD relayed; name the balancers with --proxy-protocol-from");
  }
  if (!options.trustForwarding.Empty()) {
    notes.push_back("XCLIENT and XFORWARD relayed for clients in " +
                    options.trustForwarding.Text() + " (--trust-forwarding)");
  }
  return notes;
}
