// A route: a set of listeners, the server their clients are relayed to, and
// the TLS contexts of both legs. main() builds the routes from the options
// and owns them for the proxy's life; each connection points at the route
// of the listener that accepted it.
#ifndef DIVIVEZ_HOST_PROXY_ROUTE_H_
#define DIVIVEZ_HOST_PROXY_ROUTE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/proxy/settings.h"
#include "host/tls/tls.h"

// What the metrics count per route; any thread.
struct RouteCounters {
  std::atomic<uint64_t> connections{0};  // set up toward the server
  std::atomic<int> open{0};              // accepted and not yet ended
  // Turned away by --max-connections (the PROXY headers' budget included)
  // and by --max-per-address, which count every route's connections.
  std::atomic<uint64_t> maxConnections{0};
  std::atomic<uint64_t> perAddress{0};
};

struct Route {
  std::string name;  // "" for the default route; logs say "route NAME"
  RouteSettings settings;
  // The certificate and key for clients (STARTTLS on plain listeners,
  // implicit-TLS listeners); empty (Current() == nullptr) when the route has
  // none. SIGHUP reloads it; a connection keeps the context it started with.
  TlsServerContextSlot serverTls;
  // For the upstream leg when settings.upstreamTls != kNone: verifying
  // (starttls, implicit: upstreamCa or the system store) or not (may).
  std::shared_ptr<const TlsContext> upstreamTls;
  // Counted as its connections come and go; nothing else of it changes.
  mutable RouteCounters counters;
};

// " [route NAME]" in a log line about a named route's connection; nothing
// for the default route.
inline std::string RouteTag(const Route* route) {
  return route == nullptr || route->name.empty() ? "" : " [route " + route->name + "]";
}

class Logger;

// What a route is called in the start-up log: nothing for the default route.
std::string RouteLabel(const Route& route);

// A route's start-up line: a named route's upstream, and either leg's TLS;
// empty for a default route without TLS (the general line says it all).
std::string RouteDescription(const Route& route);

// Each route's certificate and key for its clients, and its context for the
// upstream's TLS. False with *error naming the route and the file.
bool LoadRouteTls(Route* route, std::string* error);

// SIGHUP: every route's certificate and key read again. One that does not
// load leaves the one in force; connections keep the context they began
// with either way.
void ReloadCertificates(const std::vector<std::unique_ptr<Route>>& routes, Logger* log);

#endif  // DIVIVEZ_HOST_PROXY_ROUTE_H_
