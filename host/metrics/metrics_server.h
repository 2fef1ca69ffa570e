// A small HTTP/1.x server for the metrics scrape (GET /metrics) and the load
// balancer's health check (GET /healthz).
//
// It runs on a thread of its own with non-blocking sockets and one poll over
// the listener and at most kMaxClients connections. Each request head is
// bounded (kMaxRequest bytes) and must arrive within kReadDeadlineMs; every
// response carries Content-Length and closes the connection. A fault of the
// server (a client that misbehaves, a failed send) affects only that client;
// the mail path never waits for it.
#ifndef DIVIVEZ_HOST_METRICS_METRICS_SERVER_H_
#define DIVIVEZ_HOST_METRICS_METRICS_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "host/metrics/metrics.h"
#include "host/base/net.h"

// True when the service is healthy; *detail gets a short reason either way.
using HealthCheck = std::function<bool(std::string* detail)>;

// The whole response (status line, headers, body) to one request head, which
// ends with its empty line. Pure, so that it is tested without sockets.
std::string MetricsHttpResponse(const std::string& head, const MetricsRegistry& registry,
                                const HealthCheck& health);

class MetricsServer {
 public:
  static constexpr size_t kMaxRequest = 8192;
  static constexpr int kReadDeadlineMs = 5000;
  static constexpr size_t kMaxClients = 16;

  // registry and health must outlive the server.
  MetricsServer(const MetricsRegistry* registry, HealthCheck health);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens (port 0: an ephemeral one, *boundPort gets it) and starts the
  // thread. False with *error.
  bool Start(const Endpoint& where, uint16_t* boundPort, std::string* error);
  // Stops the thread and closes every socket; also done by the destructor.
  void Stop();

 private:
  void Run();

  const MetricsRegistry* m_registry;
  HealthCheck m_health;
  NetSocket m_listener = kNetInvalidSocket;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

#endif  // DIVIVEZ_HOST_METRICS_METRICS_SERVER_H_
