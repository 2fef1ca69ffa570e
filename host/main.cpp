// divivez-proxy: a scanning SMTP proxy that drives the divivez plug-in.
//
// Start-up order matters: the trace level must be in place before the
// plug-in is loaded (it reads the level at load time), and the plug-in must
// be configured before the first client is accepted. Bad arguments and an
// unusable plug-in end the program with status 2 and one line on stderr;
// failures at run time (a busy port) with status 1.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "host/base/log.h"
#include "host/base/net.h"
#include "host/metrics/metrics_server.h"
#include "host/options.h"
#include "host/base/os.h"
#include "host/capture/capture_server.h"
#include "host/capture/quarantine.h"
#include "host/config_file.h"
#include "host/options.h"
#include "host/proxy/plugin_loader.h"
#include "host/proxy/proxy.h"
#include "host/proxy/proxy_metrics.h"
#include "host/proxy/route.h"
#include "host/scan/scanner_pool.h"
#include "host/scan/reload.h"
#include "host/scan/signature_scanner.h"
#include "host/tls/tls.h"

namespace {

std::atomic<int> g_stopRequests{0};

// Runs in a signal handler or console control thread: lock-free atomics only.
void OnStopRequest() { g_stopRequests.fetch_add(1); }

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "divivez-proxy: %s\n", message.c_str());
  return status;
}

// Written under a temporary name and renamed, so a test that polls for the
// file never reads it half-written.
bool WritePortFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      *error = "cannot write " + temporary;
      return false;
    }
  }
  std::error_code fsError;
  std::filesystem::rename(temporary, path, fsError);
  if (fsError) {
    *error = "cannot rename " + temporary + " to " + path + ": " + fsError.message();
    return false;
  }
  return true;
}

// Spool files that a run of the plug-in in this process's place left in the
// temporary directory (a crash, a kill): "divivez*.tmp", owned by this user,
// and older than this process by more than the session limit. A younger one
// may belong to another proxy that shares the directory and is still
// running (no session of it outlives the limit), so it is left and counted.
void RemoveStaleSpoolFiles(Logger* log, std::filesystem::file_time_type started,
                           int sessionTimeoutMs) {
  const std::string directory = OsTempDirectory();
  if (directory.empty()) return;
  const auto cutoff = started - std::chrono::milliseconds(sessionTimeoutMs);
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  if (error) return;
  int removed = 0;
  int younger = 0;
  for (const auto& entry : it) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 11 || name.compare(0, 7, "divivez") != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0) {
      continue;
    }
    std::error_code entryError;
    if (!entry.is_regular_file(entryError) || entry.is_symlink(entryError)) continue;
    const std::string path = entry.path().string();
    if (!OsOwnedByCurrentUser(path)) continue;
    const auto modified = std::filesystem::last_write_time(entry.path(), entryError);
    if (entryError || modified >= started) continue;
    if (modified >= cutoff) {
      ++younger;
      continue;
    }
    if (std::filesystem::remove(entry.path(), entryError)) ++removed;
  }
  if (removed > 0) {
    log->Line("removed %d stale spool file(s) of an earlier run from %s", removed,
              LogSafe(directory).c_str());
  }
  if (younger > 0) {
    log->Line(
        "left %d spool file(s) in %s that are older than this process but younger than "
        "--session-timeout: another proxy may still use them",
        younger, LogSafe(directory).c_str());
  }
}

const char* SocketServiceName(SocketService service) {
  switch (service) {
    case SocketService::kHost:
      return "host";
    case SocketService::kPlugin:
      return "plugin";
  }
  return "?";
}

// --port-file: the first listener's port on the first line, as with one
// listener; with several, then a line per listener, "NAME KIND PORT" (NAME
// "-" for the default route, KIND listen or listen-tls), in the order of
// the start-up log.
std::string PortFileText(const std::vector<Proxy::Bound>& bound) {
  std::string text = std::to_string(bound.front().port) + "\n";
  if (bound.size() == 1) return text;
  for (const Proxy::Bound& listener : bound) {
    text += (listener.route->name.empty() ? "-" : listener.route->name) + " " +
            (listener.implicitTls ? "listen-tls " : "listen ") + std::to_string(listener.port) +
            "\n";
  }
  return text;
}

// What a route is called in the start-up log: nothing for the default route.
std::string RouteLabel(const Route& route) {
  return route.name.empty() ? "" : "route " + route.name;
}

// A route's start-up line: a named route's upstream, and either leg's TLS;
// empty for a default route without TLS (the general line says it all).
std::string RouteDescription(const Route& route) {
  const RouteSettings& settings = route.settings;
  std::vector<std::string> parts;
  if (!route.name.empty()) {
    parts.push_back("upstream " + (settings.originalDestination
                                       ? std::string("original-destination")
                                       : EndpointText(settings.upstream)));
  }
  if (!settings.tls.certFile.empty()) {
    parts.push_back("certificate " + LogSafe(settings.tls.certFile) +
                    (settings.tls.requireTls ? ", TLS required" : ""));
  }
  if (settings.upstreamTls != UpstreamTls::kNone) {
    std::string text = std::string("upstream TLS ") + UpstreamTlsName(settings.upstreamTls);
    if (settings.upstreamTls != UpstreamTls::kMay) {
      text += " verified against " +
              (settings.upstreamCa.empty() ? "the system's store" : LogSafe(settings.upstreamCa));
    }
    parts.push_back(text);
  }
  if (parts.empty()) return "";
  std::string line = route.name.empty() ? "default route" : RouteLabel(route);
  for (size_t i = 0; i < parts.size(); ++i) line += (i == 0 ? ": " : "; ") + parts[i];
  return line;
}

// An error about a route's setting: a named route's names the route.
std::string RouteError(const Route& route, const std::string& error) {
  return (route.name.empty() ? "" : "route '" + route.name + "': ") + error;
}

// Each route's certificate and key for its clients, and its context for the
// upstream's TLS. False with *error naming the route and the file.
bool LoadRouteTls(Route* route, std::string* error) {
  const RouteSettings& settings = route->settings;
  if (!settings.tls.certFile.empty() &&
      !route->serverTls.Load(settings.tls.certFile, settings.tls.keyFile, error)) {
    *error = RouteError(*route, "--tls-cert: " + *error);
    return false;
  }
  if (settings.upstreamTls != UpstreamTls::kNone) {
    TlsClientSettings client;
    // may is opportunistic (RFC 7435): a certificate that does not verify
    // still beats plain text.
    client.verify = settings.upstreamTls != UpstreamTls::kMay;
    client.caFile = settings.upstreamCa;
    route->upstreamTls = TlsMakeClientContext(client, error);
    if (!route->upstreamTls) {
      *error = RouteError(
          *route,
          "--upstream-tls " + std::string(UpstreamTlsName(settings.upstreamTls)) + ": " + *error);
      return false;
    }
  }
  return true;
}

// SIGHUP: every route's certificate and key read again. One that does not
// load leaves the one in force; connections keep the context they began
// with either way.
void ReloadCertificates(const std::vector<std::unique_ptr<Route>>& routes, Logger* log) {
  for (const auto& route : routes) {
    const ClientTlsSettings& tls = route->settings.tls;
    if (tls.certFile.empty()) continue;
    const std::string which = route->name.empty() ? "" : " of route " + route->name;
    std::string error;
    if (route->serverTls.Load(tls.certFile, tls.keyFile, &error)) {
      log->Line("certificate%s reloaded from %s", which.c_str(), LogSafe(tls.certFile).c_str());
    } else {
      log->Line("certificate reload%s FAILED, the one in force stays: %s", which.c_str(),
                LogSafe(error).c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto started = std::filesystem::file_time_type::clock::now();
  // Before any thread starts: only the reloader's thread takes SIGHUP.
  const bool reloadSignal = OsBlockReloadSignal();
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  std::string error;
  if (!ParseCommandLine(args, &options, &error)) return Fail(2, error);
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("divivez-proxy %s\n", DIVIVEZ_VERSION);
    return 0;
  }
  bool anyOriginalDestination = false;
  for (const RouteSettings& route : options.routes) {
    if (!route.originalDestination) continue;
    anyOriginalDestination = true;
    if (!NetHasOriginalDestination()) {
      return Fail(2, (route.name.empty() ? "" : "route '" + route.name + "': ") +
                         "--upstream original-destination: transparent interception needs "
                         "Linux; this system cannot tell where a redirected connection was going");
    }
  }

  Logger log;
  log.SetTerminal(OsStderrIsTerminal());
  if (!options.logFile.empty() && !log.OpenFile(options.logFile, &error)) return Fail(2, error);

  // Before the scanner: a pool of daemons starts probing them at once.
  if (!NetStartup(&error)) return Fail(1, error);
  std::unique_ptr<IScanner> scanner;
  BuiltinScanner* builtin = nullptr;  // the scanner whose signatures SIGHUP reloads
  switch (options.scanner) {
    case ScannerKind::kBuiltin: {
      std::vector<Signature> extra;
      if (!options.signaturesFile.empty() &&
          !LoadSignatureFile(options.signaturesFile, &extra, &error)) {
        return Fail(2, error);
      }
      auto own = std::make_unique<BuiltinScanner>(std::move(extra));
      builtin = own.get();
      scanner = std::move(own);
      break;
    }
    case ScannerKind::kClamd: {
      std::vector<std::unique_ptr<ClamdScanner>> endpoints;
      for (const ClamdAddress& address : options.clamd) {
        endpoints.push_back(
            std::make_unique<ClamdScanner>(address.unixPath, address.tcp, options.scanTimeoutMs));
      }
      ScannerPoolTiming timing;
      timing.probeTimeoutMs = std::min(timing.probeTimeoutMs, options.scanTimeoutMs);
      scanner = std::make_unique<ScannerPool>(
          std::move(endpoints), timing,
          [&log](const std::string& line) { log.Line("%s", line.c_str()); });
      break;
    }
  }

  if (options.debugLevel >= 0) {
    const std::string where = OsSetPluginTraceLevel(options.debugLevel);
    if (where.empty()) {
      log.Line("could not set the plug-in trace level %d; it keeps its own", options.debugLevel);
    } else {
      log.Line("plug-in trace level %d set in %s", options.debugLevel, where.c_str());
    }
  }

  // The plug-in's own policy for a message it cannot spool follows the scan
  // policy: relayed unscanned only with pass. It reads the setting when it
  // is loaded.
  {
    const bool relay = options.onScanError == ScanErrorPolicy::kPass;
    std::string settingError;
    const std::string where = OsSetPluginRelayUnspooled(relay, &settingError);
    if (where.empty()) {
      log.Line(
          "WARNING: could not set the plug-in's spool-failure policy (%s); a message it "
          "cannot spool may be relayed unscanned",
          settingError.c_str());
    } else {
      log.Line("plug-in spool-failure policy: %s (%s)",
               relay ? "relay unscanned" : "refuse with 451", where.c_str());
    }
  }

  // The plug-in rejects an infected message only for a host that says it
  // speaks callback version 2; it reads that when it is loaded.
  {
    std::string settingError;
    if (!OsSetPluginCallbackVersion(2, &settingError)) {
      if (options.onInfected == InfectedPolicy::kReject || !options.trustForwarding.Empty()) {
        return Fail(1, "cannot tell the plug-in the callback version (" + settingError +
                           "); --on-infected reject and --trust-forwarding need it");
      }
      log.Line("WARNING: could not tell the plug-in the callback version (%s)",
               settingError.c_str());
    }
  }

  std::string pluginPath = options.pluginPath;
  if (pluginPath.empty()) {
    pluginPath = OsExecutableDirectory() + PluginFileName();
  } else if (pluginPath.find_first_of("/\\") == std::string::npos) {
    // A bare name would make the loader search its library path.
    pluginPath = "./" + pluginPath;
  }
  PluginApi plugin;
  if (!LoadPlugin(pluginPath, &plugin, &error)) return Fail(2, error);

  const unsigned long fileLimit = OsRaiseFileLimit();
  RemoveStaleSpoolFiles(&log, started, options.sessionTimeoutMs);

  // The routes, for the proxy's life.
  std::vector<std::unique_ptr<Route>> routes;
  for (const RouteSettings& routeSettings : options.routes) {
    routes.push_back(std::make_unique<Route>());
    routes.back()->name = routeSettings.name;
    routes.back()->settings = routeSettings;
    if (!LoadRouteTls(routes.back().get(), &error)) return Fail(2, error);
  }
  const bool anyCertificate = std::any_of(routes.begin(), routes.end(), [](const auto& route) {
    return !route->settings.tls.certFile.empty();
  });

  std::unique_ptr<CaptureServer> capture;
  Endpoint upstream = options.upstream;
  if (!options.hasUpstream) {
    capture = std::make_unique<CaptureServer>(options.outbox, &log);
    uint16_t capturePort = 0;
    if (!capture->Start(&capturePort, &error)) return Fail(1, error);
    upstream = Endpoint{"127.0.0.1", capturePort};
    // Only the default route, the first, may lack an upstream.
    routes.front()->settings.upstream = upstream;
    log.Line("capture server listening on %s, storing messages in %s",
             EndpointText(upstream).c_str(), options.outbox.c_str());
    if (!options.capturePortFile.empty() &&
        !WritePortFile(options.capturePortFile, std::to_string(capturePort) + "\n", &error)) {
      return Fail(1, error);
    }
  }

  ProxySettings settings;
  for (const auto& route : routes) settings.routes.push_back(route.get());
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
  std::unique_ptr<Quarantine> quarantine;
  if (!options.quarantineDir.empty()) {
    quarantine = std::make_unique<Quarantine>(options.quarantineDir, &log);
    if (!quarantine->Prepare(&error)) return Fail(1, error);
    settings.quarantine = quarantine.get();
    log.Line("infected messages are kept in %s", LogSafe(options.quarantineDir).c_str());
  }
  Proxy proxy(settings, plugin, scanner.get(), &log);
  proxy.ConfigurePlugin();

  OsInstallStopHandler(OnStopRequest);
  std::vector<Proxy::Bound> bound;
  bool badAddress = false;
  if (!proxy.ListenAll(&bound, &badAddress, &error)) return Fail(badAddress ? 2 : 1, error);
  for (const Proxy::Bound& listener : bound) {
    std::string detail = RouteLabel(*listener.route);
    if (listener.implicitTls) detail += std::string(detail.empty() ? "" : ", ") + "implicit TLS";
    log.Line("listening on %s%s",
             EndpointText(Endpoint{listener.where.host, listener.port}).c_str(),
             detail.empty() ? "" : (" (" + detail + ")").c_str());
  }
  log.Line(
      "upstream %s; plug-in %s; socket service %s; scanner %s; on scan error %s; on infected "
      "%s; keep-alive %s; up to %d connections, %d per address (open-file limit %lu)",
      options.originalDestination ? "original-destination" : EndpointText(upstream).c_str(),
      pluginPath.c_str(), SocketServiceName(options.socketService), scanner->Describe().c_str(),
      ScanErrorPolicyName(options.onScanError), InfectedPolicyName(options.onInfected),
      options.keepaliveSeconds > 0 ? (std::to_string(options.keepaliveSeconds) + " s").c_str()
                                   : "off",
      options.maxConnections, options.maxPerAddress, fileLimit);
  log.Line(
      "limits: %.1f s between commands, %.1f s between reads of a message, %.1f s per session, "
      "%.1f s for a server's answer; messages up to %s bytes",
      options.commandTimeoutMs / 1000.0, options.dataTimeoutMs / 1000.0,
      options.sessionTimeoutMs / 1000.0, options.idleTimeoutMs / 1000.0,
      options.maxMessageSize > 0 ? std::to_string(options.maxMessageSize).c_str()
                                 : "any number of");
  for (const auto& route : routes) {
    const std::string text = RouteDescription(*route);
    if (!text.empty()) log.Line("%s", text.c_str());
  }
  if (options.keepaliveSeconds > 0 && options.keepaliveSeconds < 10) {
    log.Line(
        "WARNING: --keepalive %d is below 10 s: servers count every NOOP as a junk command "
        "(Postfix ends a session after about 100), so a long scan or several messages in "
        "one session may get the connection closed; see --help",
        options.keepaliveSeconds);
  }
  if (anyOriginalDestination) {
    log.Line(
        "transparent: each connection goes to its original destination; up to %s per "
        "destination",
        options.maxPerDestination > 0 ? std::to_string(options.maxPerDestination).c_str()
                                      : "any number");
  }
  if (options.proxyProtocol) {
    log.Line("every connection must open with a PROXY protocol header (--proxy-protocol)%s%s",
             options.proxyProtocolFrom.Empty() ? "" : ", from ",
             options.proxyProtocolFrom.Text().c_str());
  }
  if (options.proxyProtocol && options.upstreamXclient && options.proxyProtocolFrom.Empty()) {
    log.Line(
        "WARNING: --proxy-protocol with --upstream-xclient and no --proxy-protocol-from: anyone "
        "who reaches the listener can name any client address, and the server is told it; "
        "name the balancers with --proxy-protocol-from");
  }
  if (options.proxyProtocol && !options.trustForwarding.Empty() &&
      options.proxyProtocolFrom.Empty()) {
    log.Line(
        "WARNING: --proxy-protocol with --trust-forwarding and no --proxy-protocol-from: anyone "
        "who reaches the listener can name a trusted client address and have its XCLIENT and "
        "XFORWARD relayed; name the balancers with --proxy-protocol-from");
  }
  if (!options.trustForwarding.Empty()) {
    log.Line("XCLIENT and XFORWARD relayed for clients in %s (--trust-forwarding)",
             options.trustForwarding.Text().c_str());
  }
  // Declared before the server that reads it, so that it is destroyed after.
  MetricsRegistry registry;
  std::unique_ptr<MetricsServer> metrics;
  if (options.hasMetrics) {
    RegisterProxyMetrics(proxy, *scanner, &registry);
    metrics = std::make_unique<MetricsServer>(&registry, ProxyHealthCheck(proxy, *scanner));
    uint16_t metricsPort = 0;
    if (!metrics->Start(options.metrics, &metricsPort, &error)) {
      return Fail(1, "--metrics: " + error);
    }
    log.Line("metrics on http://%s/metrics, health check on /healthz",
             EndpointText(Endpoint{options.metrics.host, metricsPort}).c_str());
  }
  if (!options.portFile.empty() && !WritePortFile(options.portFile, PortFileText(bound), &error)) {
    return Fail(1, error);
  }

  SignatureReloader reloader(builtin, options.signaturesFile, &log);
  if (anyCertificate) reloader.AlsoOnSignal([&routes, &log] { ReloadCertificates(routes, &log); });
  if (reloadSignal) reloader.Start();
  proxy.Run(g_stopRequests, options.shutdownGraceMs);
  reloader.Stop();
  if (capture) {
    capture->Stop();
    log.Line("capture server stored %llu message(s) in %s",
             static_cast<unsigned long long>(capture->Stored()), options.outbox.c_str());
  }
  proxy.LogCounters();
  log.Line("stopped");
  return 0;
}
