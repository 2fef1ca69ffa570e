// Routes: their start-up lines and TLS contexts. See route.h.
#include "host/proxy/route.h"

#include <vector>

#include "host/base/log.h"

namespace {

// An error about a route's setting: a named route's names the route.
std::string RouteError(const Route& route, const std::string& error) {
  return (route.name.empty() ? "" : "route '" + route.name + "': ") + error;
}

}  // namespace

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

// Each route's certificate and key for its clients, and its context for the
// upstream's TLS. False with *error naming the route and the file.
bool LoadRouteTls(Route* route, std::string* error) {
  const RouteSettings& settings = route->settings;
  if (!settings.tls.certFile.empty() &&
      !route->serverTls.Load(settings.tls.certFile, settings.tls.keyFile, settings.tls.passwordFile,
                             error)) {
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
    if (route->serverTls.Load(tls.certFile, tls.keyFile, tls.passwordFile, &error)) {
      log->Line("certificate%s reloaded from %s", which.c_str(), LogSafe(tls.certFile).c_str());
    } else {
      log->Line("certificate reload%s FAILED, the one in force stays: %s", which.c_str(),
                LogSafe(error).c_str());
    }
  }
}
