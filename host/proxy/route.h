// A route: a set of listeners, the server their clients are relayed to, and
// the TLS contexts of both legs. main() builds the routes from the options
// and owns them for the proxy's life; each connection points at the route
// of the listener that accepted it.
#ifndef DIVIVEZ_HOST_PROXY_ROUTE_H_
#define DIVIVEZ_HOST_PROXY_ROUTE_H_

#include <memory>
#include <string>

#include "host/proxy/settings.h"
#include "host/tls/tls.h"

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
};

#endif  // DIVIVEZ_HOST_PROXY_ROUTE_H_
