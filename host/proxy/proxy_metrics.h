// What the proxy exposes on --metrics: its counters under Prometheus names,
// and the health check a load balancer polls.
//
// Called once in main, before the metrics server starts; everything read at
// a scrape is an atomic of the proxy or the scanner's own count of
// endpoints up.
#ifndef DIVIVEZ_HOST_PROXY_PROXY_METRICS_H_
#define DIVIVEZ_HOST_PROXY_PROXY_METRICS_H_

#include "host/metrics/metrics.h"
#include "host/metrics/metrics_server.h"
#include "host/proxy/proxy.h"
#include "host/scan/scanner.h"

// Registers the proxy's metrics (names in the README's list).
void RegisterProxyMetrics(const Proxy& proxy, const IScanner& scanner, MetricsRegistry* registry);

// Healthy while the proxy listens and at least one scanner endpoint is up.
HealthCheck ProxyHealthCheck(const Proxy& proxy, const IScanner& scanner);

#endif  // DIVIVEZ_HOST_PROXY_PROXY_METRICS_H_
