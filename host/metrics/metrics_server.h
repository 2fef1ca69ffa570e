// A small HTTP/1.x server for the metrics scrape (GET /metrics) and the load
// balancer's health check (GET /healthz).
//
// It runs on a thread of its own with non-blocking sockets and one poll over
// the listener and at most kMaxClients connections still sending their
// request heads. Each head is bounded (kMaxRequest bytes) and must arrive
// within kHeadDeadlineMs (408 otherwise); a new connection to a full server
// pushes out the oldest unfinished one (408), so that slow clients cannot
// keep a health check from its answer. 503 means unhealthy and nothing else.
// Every response carries Content-Length and closes the connection. A fault of
// the server (a client that misbehaves, a failed send) affects only that
// client; the mail path never waits for it.
//
// Written here rather than taken from cpp-httplib (header-only, in Debian):
// that library reads each connection with blocking calls on a thread of a
// fixed pool, so a few slow clients hold every thread until its read time-out,
// and it has no way to drop the oldest unfinished request for a new one.
#ifndef DIVIVEZ_HOST_METRICS_METRICS_SERVER_H_
#define DIVIVEZ_HOST_METRICS_METRICS_SERVER_H_

#include <atomic>
#include <chrono>
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
  static constexpr int kHeadDeadlineMs = 1000;
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

  // A connection's request head as it arrives: each piece read is appended
  // to *head (the caller reads no more than kMaxRequest bytes in all). The
  // whole response once the head is complete (MetricsHttpResponse) or too
  // large (431); empty while more may come.
  static std::string TakeRequestBytes(std::string* head, const char* data, size_t length,
                                      const MetricsRegistry& registry, const HealthCheck& health);

 private:
  struct Client {
    NetSocket socket = kNetInvalidSocket;
    std::string data;
    std::chrono::steady_clock::time_point deadline;
  };
  void Run();
  bool Serve(Client* client, char* buffer, size_t bufferSize);

  const MetricsRegistry* m_registry;
  HealthCheck m_health;
  NetSocket m_listener = kNetInvalidSocket;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

#endif  // DIVIVEZ_HOST_METRICS_METRICS_SERVER_H_
