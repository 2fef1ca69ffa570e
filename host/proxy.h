// The proxy proper: accepts clients, connects each to the upstream server and
// drives the plug-in for the connection.
//
// Threads: the caller's thread runs the accept loop; every connection runs on
// a thread of its own with a small stack, because the plug-in's calls block
// (scans, sends that wait for the peer). The calls of one connection are thus
// never concurrent, and connections run in parallel. The plug-in's scan and
// progress callbacks arrive on the connection's thread, inside its request
// calls; the host's socket service likewise.
//
// Per connection: OnNewConnection, then OnRequestFromServer /
// OnRequestFromApplication whenever that side is readable, OnEndConnection
// last. A connection ends when a side closes, after what the other side still
// has to say has been passed on; when the connection is idle too long; or at
// shutdown.
//
// Only one Proxy exists per process: the plug-in's callback is process-wide.
#ifndef DIVIVEZ_HOST_PROXY_H_
#define DIVIVEZ_HOST_PROXY_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/log.h"
#include "host/net.h"
#include "host/options.h"
#include "host/plugin_loader.h"
#include "host/scanner.h"

struct ProxySettings {
  Endpoint upstream;
  SocketService socketService = SocketService::kHost;
  std::string insertText;
  ScanErrorPolicy onScanError = ScanErrorPolicy::kPass;
  int keepaliveSeconds = 0;
  int maxConnections = 2000;
  int idleTimeoutMs = 600000;
  int connectTimeoutMs = 10000;
  int closeGraceMs = 2000;
};

struct ProxyCounters {
  std::atomic<uint64_t> connections{0};     // accepted and served
  std::atomic<uint64_t> rejected{0};        // over --max-connections
  std::atomic<uint64_t> upstreamFailed{0};  // answered 421: upstream unreachable
  std::atomic<uint64_t> messages{0};        // handed to the scanner
  std::atomic<uint64_t> clean{0};
  std::atomic<uint64_t> infected{0};
  std::atomic<uint64_t> scanErrors{0};
  std::atomic<uint64_t> dropped{0};  // infected, or scan error with drop
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> deliveryFailed{0};  // the plug-in gave the delivery up
  std::atomic<uint64_t> bytesFromClients{0};
  std::atomic<uint64_t> bytesFromServers{0};
};

class Proxy {
 public:
  Proxy(const ProxySettings& settings, const PluginApi& plugin, IScanner* scanner, Logger* log);
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  // Registers the callback, the socket service and the keep-alive with the
  // plug-in.
  void ConfigurePlugin();

  // Listens; *boundPort gets the actual port. *badAddress is set when the
  // address did not resolve.
  bool Listen(const Endpoint& where, uint16_t* boundPort, bool* badAddress, std::string* error);

  // Serves until stopRequests becomes non-zero, then stops accepting, lets
  // open connections finish for shutdownGraceMs (cut at once on a second
  // request) and returns.
  void Run(const std::atomic<int>& stopRequests, int shutdownGraceMs);

  const ProxyCounters& Counters() const { return m_counters; }
  void LogCounters();

  // Used by the connection threads and the plug-in's callback (proxy.cpp).
  struct Connection;
  void Serve(Connection* connection);
  void HandleCallback(int code, ScanRequest* request);

 private:
  // Accepts what is pending; returns how many connections were taken.
  int Accept();
  void Relay(Connection* connection);
  void HandleScan(Connection* connection, ScanRequest* request);
  void HandleProgress(Connection* connection, const ScanRequest* request);
  // Logs the message in hand once its spool file is gone (delivered), or
  // with finalReason when the connection moves on without that.
  void CheckDelivery(Connection* connection, const char* finalReason);
  void ConnectionEnded();

  ProxySettings m_settings;
  PluginApi m_plugin;
  IScanner* m_scanner;
  Logger* m_log;
  NetSocket m_listener = kNetInvalidSocket;
  ProxyCounters m_counters;
  std::atomic<int> m_nextId{0};
  std::atomic<bool> m_abort{false};
  std::mutex m_mutex;
  std::condition_variable m_ended;
  int m_active = 0;  // guarded by m_mutex
};

#endif  // DIVIVEZ_HOST_PROXY_H_
