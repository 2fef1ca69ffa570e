// divivez-proxy: a scanning SMTP proxy that drives the divivez plug-in.
//
// Start-up order matters: the trace level must be in place before the
// plug-in is loaded (it reads the level at load time), and the plug-in must
// be configured before the first client is accepted. Bad arguments and an
// unusable plug-in end the program with status 2 and one line on stderr;
// failures at run time (a busy port) with status 1.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/net.h"
#include "host/base/os.h"
#include "host/base/service.h"
#include "host/capture/capture_server.h"
#include "host/capture/quarantine.h"
#include "host/config_file.h"
#include "host/metrics/metrics_server.h"
#include "host/options.h"
#include "host/proxy/plugin_loader.h"
#include "host/proxy/proxy.h"
#include "host/proxy/proxy_metrics.h"
#include "host/proxy/route.h"
#include "host/scan/reload.h"
#include "host/scan/scanner_pool.h"
#include "host/scan/signature_scanner.h"

namespace {

std::atomic<int> g_stopRequests{0};

// Runs in a signal handler or console control thread: lock-free atomics only.
void OnStopRequest() { g_stopRequests.fetch_add(1); }

// Under the Service Control Manager nobody reads stderr: a fatal error goes
// to the log file (once it is open) and to the event log as well.
bool g_service = false;
Logger* g_log = nullptr;

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "divivez-proxy: %s\n", message.c_str());
  if (g_service) {
    if (g_log != nullptr) g_log->Line("FATAL: %s", LogSafe(message).c_str());
    ServiceEvent(EventKind::kError, "divivez-proxy could not start or stopped: " + message);
  }
  return status;
}

// The command line without its --windows-service: what the installed
// service is to run with.
std::vector<std::string> ServiceArguments(const std::vector<std::string>& args) {
  std::vector<std::string> kept;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--windows-service") {
      ++i;
    } else if (args[i].compare(0, 18, "--windows-service=") != 0) {
      kept.push_back(args[i]);
    }
  }
  return kept;
}

int ManageService(const Options& options, const std::vector<std::string>& args) {
  std::vector<std::string> report;
  std::string error;
  bool done = false;
  if (options.windowsService == "install") {
    done = ServiceInstall(ServiceArguments(args), &report, &error);
  } else if (options.windowsService == "uninstall") {
    done = ServiceUninstall(options.shutdownGraceMs + 15000, &report, &error);
  } else {
    done = ServiceReload(&error);
    if (done) report.push_back("service divivez told to reload (PARAMCHANGE)");
  }
  for (const std::string& line : report) std::printf("divivez-proxy: %s\n", line.c_str());
  return done ? 0 : Fail(1, error);
}

int Serve(Options& options, std::filesystem::file_time_type started, bool reloadSignal);

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
  if (!options.windowsService.empty() && !ServiceSupported()) {
    return Fail(2, "--windows-service: this system has no Windows services");
  }
  if (!options.windowsService.empty() && options.windowsService != "run") {
    return ManageService(options, args);
  }
  if (options.windowsService == "run") {
    g_service = true;
    // The stop's wait hint: the grace, then the last log lines.
    const int status = ServiceRun([&] { return Serve(options, started, reloadSignal); },
                                  OnStopRequest, options.shutdownGraceMs + 10000, &error);
    return status < 0 ? Fail(2, error) : status;
  }
  return Serve(options, started, reloadSignal);
}

namespace {

int Serve(Options& options, std::filesystem::file_time_type started, bool reloadSignal) {
  std::string error;
  for (const RouteSettings& route : options.routes) {
    if (route.originalDestination && !NetHasOriginalDestination()) {
      return Fail(2, (route.name.empty() ? "" : "route '" + route.name + "': ") +
                         "--upstream original-destination: transparent interception needs "
                         "Linux; this system cannot tell where a redirected connection was going");
    }
  }

  Logger log;
  log.SetTerminal(!g_service && OsStderrIsTerminal());
  if (g_service && options.logFile.empty()) {
    const std::string data = ServiceDataDirectory();
    if (data.empty()) return Fail(2, "cannot create the data directory under %ProgramData%");
    options.logFile = data + "divivez-proxy.log";
  }
  if (!options.logFile.empty() && !log.OpenFile(options.logFile, &error)) return Fail(2, error);
  g_log = &log;
  if (g_service) {
    // Written at once, so that the log shows whether Event Viewer will.
    const bool logged = ServiceEvent(EventKind::kInformation, "divivez-proxy is starting");
    log.Line("running as the service %s; event log: %s", kServiceName,
             logged ? "start-up event reported" : "ReportEvent failed, events go to this log only");
  }

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

  // Read by the plug-in when it is loaded. It rejects an infected message
  // only for a host that says it speaks callback version 2.
  if (!SetPluginSettings(
          options.debugLevel, options.onScanError == ScanErrorPolicy::kPass,
          options.onInfected == InfectedPolicy::kReject || !options.trustForwarding.Empty(), &log,
          &error)) {
    return Fail(1, error + "; --on-infected reject and --trust-forwarding need it");
  }

  const std::string pluginPath = PluginPath(options.pluginPath);
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

  ProxySettings settings = ProxySettingsOf(options);
  for (const auto& route : routes) settings.routes.push_back(route.get());
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
  for (const std::string& note : StartupNotes(options)) log.Line("%s", note.c_str());
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
  if (!options.logFile.empty()) {
    // For rotation: the file was moved aside; the reload's lines go to the
    // new one.
    reloader.FirstOnSignal([&log, &options] {
      std::string reason;
      if (log.ReopenFile(&reason)) {
        log.Line("log file %s reopened", LogSafe(options.logFile).c_str());
      } else {
        log.Line("log file NOT reopened, lines still go to the file open before: %s",
                 LogSafe(reason).c_str());
      }
    });
  }
  if (anyCertificate || g_service) {
    reloader.AlsoOnSignal([&routes, &log, &options, anyCertificate, builtin] {
      if (anyCertificate) ReloadCertificates(routes, &log);
      if (g_service) {
        std::string text = "divivez-proxy reloaded on PARAMCHANGE";
        if (builtin != nullptr) {
          text += ": " + std::to_string(builtin->Current()->Signatures().size()) +
                  " signature(s) in force";
        }
        ServiceEvent(EventKind::kInformation, text + " (details in " + options.logFile + ")");
      }
    });
  }
  if (reloadSignal) reloader.Start();
  if (g_service) {
    ServiceReportRunning();
    ServiceEvent(EventKind::kInformation,
                 "divivez-proxy started: " + std::to_string(bound.size()) + " listener(s)");
  }
  proxy.Run(g_stopRequests, options.shutdownGraceMs);
  reloader.Stop();
  if (capture) {
    capture->Stop();
    log.Line("capture server stored %llu message(s) in %s",
             static_cast<unsigned long long>(capture->Stored()), options.outbox.c_str());
  }
  proxy.LogCounters();
  log.Line("stopped");
  if (g_service) ServiceEvent(EventKind::kInformation, "divivez-proxy stopped");
  return 0;
}

}  // namespace
