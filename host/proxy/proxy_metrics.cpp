// The proxy's metrics. See proxy_metrics.h.
#include "host/proxy/proxy_metrics.h"

#include <string>

#include "host/tls/tls.h"

static_assert(static_cast<int>(TlsFailure::kInternal) + 1 == kTlsFailureReasons,
              "a counter per TLS failure reason");

void RegisterProxyMetrics(const Proxy& proxy, const IScanner& scanner, MetricsRegistry* registry) {
  const ProxyCounters& k = proxy.Counters();
  registry->AddGaugeFn("divivez_connections_open", "Client connections open now.", {},
                       [&k] { return static_cast<double>(k.open.load()); });
  registry->AddCounterOf("divivez_connections_total", "Client connections served.", {},
                         &k.connections);

  static const char kMessages[] = "divivez_messages_total";
  static const char kMessagesHelp[] =
      "Messages by outcome: delivered (the server accepted it), refused (by the server), "
      "infected (dropped), infected_rejected (answered 554 by --on-infected reject), tempfailed "
      "(scan failed, client told 451), passed_unscanned (scan failed, relayed by --on-scan-error "
      "pass), dropped_unscanned (scan failed, dropped by "
      "--on-scan-error drop), delivery_failed (the delivery was given up), unconfirmed (sent, the "
      "server's answer not seen).";
  const std::pair<const char*, const std::atomic<uint64_t>*> outcomes[] = {
      {"delivered", &k.delivered},
      {"refused", &k.refused},
      {"infected", &k.infected},
      {"infected_rejected", &k.infectedRejected},
      {"tempfailed", &k.tempfailed},
      {"passed_unscanned", &k.unscanned},
      {"dropped_unscanned", &k.errorDropped},
      {"delivery_failed", &k.deliveryFailed},
      {"unconfirmed", &k.unconfirmed}};
  // Each outcome reads a counter of its own, never a difference of two that
  // go up at different moments.
  for (const auto& outcome : outcomes) {
    registry->AddCounterOf(kMessages, kMessagesHelp, {{"outcome", outcome.first}}, outcome.second);
  }
  registry->AddCounterOf("divivez_scan_errors_total", "Scans that failed.", {}, &k.scanErrors);

  static const char kBytes[] = "divivez_received_bytes_total";
  static const char kBytesHelp[] = "Bytes read from clients and from servers.";
  registry->AddCounterOf(kBytes, kBytesHelp, {{"from", "client"}}, &k.bytesFromClients);
  registry->AddCounterOf(kBytes, kBytesHelp, {{"from", "server"}}, &k.bytesFromServers);

  registry->AddHistogramOf("divivez_scan_duration_seconds", "Time a scan took.", {},
                           &k.scanSeconds);
  registry->AddHistogramOf("divivez_delivery_duration_seconds",
                           "From the end of a scan to the server's answer to the message.", {},
                           &k.deliverySeconds);

  const IScanner* s = &scanner;
  registry->AddGaugeFn("divivez_scanner_endpoints_up", "Scanner endpoints taking scans.", {},
                       [s] { return static_cast<double>(s->EndpointsUp()); });
  registry->AddGaugeFn("divivez_scanner_endpoints", "Scanner endpoints configured.", {},
                       [s] { return static_cast<double>(s->EndpointsTotal()); });

  static const char kLimits[] = "divivez_limits_hit_total";
  static const char kLimitsHelp[] =
      "Connections and messages cut or turned away by a limit of the proxy.";
  const std::pair<const char*, const std::atomic<uint64_t>*> limits[] = {
      {"max_connections", &k.rejected},    {"max_per_address", &k.perAddress},
      {"time_limit", &k.timedOut},         {"max_message_size", &k.oversize},
      {"proxy_header", &k.badProxyHeader}, {"max_per_destination", &k.perDestination}};
  for (const auto& limit : limits) {
    registry->AddCounterOf(kLimits, kLimitsHelp, {{"limit", limit.first}}, limit.second);
  }
  registry->AddCounterOf("divivez_mail_loops_total",
                         "Connections answered 421 because their original destination was the "
                         "proxy itself (--upstream original-destination).",
                         {}, &k.mailLoops);
  const Proxy* p = &proxy;
  registry->AddGaugesFn(
      "divivez_destination_connections_open",
      "Connections open now by original destination (--upstream original-destination).",
      "destination", [p] {
        MetricsRegistry::LabelledValues values;
        for (const auto& entry : p->OpenByDestination()) {
          values.emplace_back(entry.first, static_cast<double>(entry.second));
        }
        return values;
      });
  static const char kTlsDone[] = "divivez_tls_handshakes_total";
  static const char kTlsDoneHelp[] = "TLS handshakes completed, with clients and with servers.";
  static const char kTlsFailed[] = "divivez_tls_handshake_failures_total";
  static const char kTlsFailedHelp[] =
      "TLS handshakes that failed, by side and reason: version, unknown_ca, name_mismatch, "
      "certificate, handshake, protocol, internal, closed (the peer left mid-way), timeout "
      "(--tls-handshake-timeout).";
  for (int side = 0; side < 2; ++side) {
    const char* sideName = side == kTlsClientSide ? "client" : "server";
    registry->AddCounterOf(kTlsDone, kTlsDoneHelp, {{"side", sideName}}, &k.tlsHandshakes[side]);
    for (int reason = 0; reason < kTlsFailureReasons; ++reason) {
      const TlsFailure failure = static_cast<TlsFailure>(reason);
      registry->AddCounterOf(
          kTlsFailed, kTlsFailedHelp,
          {{"side", sideName},
           {"reason", failure == TlsFailure::kNone ? "closed" : TlsFailureName(failure)}},
          &k.tlsFailures[side][reason]);
    }
    registry->AddCounterOf(kTlsFailed, kTlsFailedHelp, {{"side", sideName}, {"reason", "timeout"}},
                           &k.tlsTimeouts[side]);
  }
  // By route, beside the totals, whose series stay as they were. The
  // default route's label is empty; a configured route cannot be.
  static const char kRouteLimits[] = "divivez_route_limits_hit_total";
  static const char kRouteLimitsHelp[] =
      "Connections of a route turned away by --max-connections or --max-per-address (both count "
      "every route's connections).";
  for (const Route* route : proxy.Routes()) {
    const std::string& name = route->name;
    const RouteCounters* counters = &route->counters;
    registry->AddCounterOf("divivez_route_connections_total",
                           "Client connections served, by route (\"\": the default route).",
                           {{"route", name}}, &counters->connections);
    registry->AddGaugeFn("divivez_route_connections_open",
                         "Client connections open now, by route (\"\": the default route).",
                         {{"route", name}},
                         [counters] { return static_cast<double>(counters->open.load()); });
    registry->AddCounterOf(kRouteLimits, kRouteLimitsHelp,
                           {{"route", name}, {"limit", "max_connections"}},
                           &counters->maxConnections);
    registry->AddCounterOf(kRouteLimits, kRouteLimitsHelp,
                           {{"route", name}, {"limit", "max_per_address"}}, &counters->perAddress);
  }
  registry->AddCounterOf("divivez_upstream_failures_total",
                         "Connections answered 421 because the upstream server was unreachable.",
                         {}, &k.upstreamFailed);
}

HealthCheck ProxyHealthCheck(const Proxy& proxy, const IScanner& scanner) {
  const Proxy* p = &proxy;
  const IScanner* s = &scanner;
  return [p, s](std::string* detail) {
    const int up = s->EndpointsUp();
    const bool listening = p->Listening();
    *detail = std::string(listening ? "listening" : "not listening") + "; " + std::to_string(up) +
              " of " + std::to_string(s->EndpointsTotal()) + " scanner endpoint(s) up";
    return listening && up > 0;
  };
}
