// divivez-proxy: a scanning SMTP proxy that drives the divivez plug-in.
//
// Start-up order matters: the trace level must be in place before the
// plug-in is loaded (it reads the level at load time), and the plug-in must
// be configured before the first client is accepted. Bad arguments and an
// unusable plug-in end the program with status 2 and one line on stderr;
// failures at run time (a busy port) with status 1.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "host/capture_server.h"
#include "host/clamd_scanner.h"
#include "host/log.h"
#include "host/net.h"
#include "host/options.h"
#include "host/os.h"
#include "host/plugin_loader.h"
#include "host/proxy.h"
#include "host/signature_scanner.h"

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
bool WritePortFile(const std::string& path, uint16_t port, std::string* error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << port << "\n";
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

const char* SocketServiceName(SocketService service) {
  switch (service) {
    case SocketService::kHost:
      return "host";
    case SocketService::kPlugin:
      return "plugin";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  std::string error;
  if (!ParseOptions(args, &options, &error)) return Fail(2, error);
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("divivez-proxy %s\n", DIVIVEZ_VERSION);
    return 0;
  }

  Logger log;
  log.SetTerminal(OsStderrIsTerminal());
  if (!options.logFile.empty() && !log.OpenFile(options.logFile, &error)) return Fail(2, error);

  std::unique_ptr<IScanner> scanner;
  switch (options.scanner) {
    case ScannerKind::kBuiltin: {
      std::vector<Signature> extra;
      if (!options.signaturesFile.empty() &&
          !LoadSignatureFile(options.signaturesFile, &extra, &error)) {
        return Fail(2, error);
      }
      scanner = std::make_unique<BuiltinScanner>(std::move(extra));
      break;
    }
    case ScannerKind::kClamdUnix:
      scanner =
          std::make_unique<ClamdScanner>(options.clamdPath, Endpoint{}, options.scanTimeoutMs);
      break;
    case ScannerKind::kClamdTcp:
      scanner = std::make_unique<ClamdScanner>("", options.clamdEndpoint, options.scanTimeoutMs);
      break;
  }

  if (options.debugLevel >= 0) {
    const std::string where = OsSetPluginTraceLevel(options.debugLevel);
    if (where.empty()) {
      log.Line("could not set the plug-in trace level %d; it keeps its own", options.debugLevel);
    } else {
      log.Line("plug-in trace level %d set in %s", options.debugLevel, where.c_str());
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

  if (!NetStartup(&error)) return Fail(1, error);
  const unsigned long fileLimit = OsRaiseFileLimit();

  std::unique_ptr<CaptureServer> capture;
  Endpoint upstream = options.upstream;
  if (!options.hasUpstream) {
    capture = std::make_unique<CaptureServer>(options.outbox, &log);
    uint16_t capturePort = 0;
    if (!capture->Start(&capturePort, &error)) return Fail(1, error);
    upstream = Endpoint{"127.0.0.1", capturePort};
    log.Line("capture server listening on %s, storing messages in %s",
             EndpointText(upstream).c_str(), options.outbox.c_str());
    if (!options.capturePortFile.empty() &&
        !WritePortFile(options.capturePortFile, capturePort, &error)) {
      return Fail(1, error);
    }
  }

  ProxySettings settings;
  settings.upstream = upstream;
  settings.socketService = options.socketService;
  settings.insertText = options.insertText;
  settings.onScanError = options.onScanError;
  settings.keepaliveSeconds = options.keepaliveSeconds;
  settings.maxConnections = options.maxConnections;
  settings.idleTimeoutMs = options.idleTimeoutMs;
  settings.connectTimeoutMs = options.connectTimeoutMs;
  settings.closeGraceMs = options.closeGraceMs;
  Proxy proxy(settings, plugin, scanner.get(), &log);
  proxy.ConfigurePlugin();

  OsInstallStopHandler(OnStopRequest);
  uint16_t port = 0;
  bool badAddress = false;
  if (!proxy.Listen(options.listen, &port, &badAddress, &error)) {
    return Fail(badAddress ? 2 : 1, error);
  }
  log.Line("listening on %s", EndpointText(Endpoint{options.listen.host, port}).c_str());
  log.Line(
      "upstream %s; plug-in %s; socket service %s; scanner %s; on scan error %s; "
      "keep-alive %s; up to %d connections (open-file limit %lu)",
      EndpointText(upstream).c_str(), pluginPath.c_str(), SocketServiceName(options.socketService),
      scanner->Describe().c_str(), options.onScanError == ScanErrorPolicy::kDrop ? "drop" : "pass",
      options.keepaliveSeconds > 0 ? (std::to_string(options.keepaliveSeconds) + " s").c_str()
                                   : "off",
      options.maxConnections, fileLimit);
  if (!options.portFile.empty() && !WritePortFile(options.portFile, port, &error)) {
    return Fail(1, error);
  }

  proxy.Run(g_stopRequests, options.shutdownGraceMs);
  if (capture) {
    capture->Stop();
    log.Line("capture server stored %llu message(s) in %s",
             static_cast<unsigned long long>(capture->Stored()), options.outbox.c_str());
  }
  proxy.LogCounters();
  log.Line("stopped");
  return 0;
}
