// The proxy's counters: what the log's closing line and the metrics show.
// Every part of the proxy counts here; reading them takes no lock.
#ifndef DIVIVEZ_HOST_PROXY_COUNTERS_H_
#define DIVIVEZ_HOST_PROXY_COUNTERS_H_

#include <atomic>
#include <chrono>
#include <cstdint>

#include "host/metrics/metrics.h"

// Connections: who came, who was turned away, the bytes they moved.
struct ConnectionCounters {
  std::atomic<uint64_t> connections{0};     // accepted and served
  std::atomic<uint64_t> rejected{0};        // over --max-connections (or the headers' budget)
  std::atomic<uint64_t> perAddress{0};      // over --max-per-address
  std::atomic<uint64_t> timedOut{0};        // cut by a time limit
  std::atomic<uint64_t> upstreamFailed{0};  // answered 421: upstream unreachable, or XCLIENT failed
  std::atomic<uint64_t> bytesFromClients{0};
  std::atomic<uint64_t> bytesFromServers{0};
  std::atomic<int> open{0};                 // client connections open now
  std::atomic<uint64_t> badProxyHeader{0};  // closed without a valid PROXY header
  std::atomic<uint64_t> perDestination{0};  // over --max-per-destination
  std::atomic<uint64_t> mailLoops{0};       // the original destination was the proxy
};

// Messages: each scan's verdict and what became of the message.
struct MessageCounters {
  std::atomic<uint64_t> messages{0};  // handed to the scanner
  std::atomic<uint64_t> clean{0};
  std::atomic<uint64_t> infected{0};  // infected and dropped
  std::atomic<uint64_t> scanErrors{0};
  std::atomic<uint64_t> dropped{0};           // infected, or scan error with drop
  std::atomic<uint64_t> infectedRejected{0};  // infected, answered 554 (not in infected, dropped)
  std::atomic<uint64_t> tempfailed{0};        // scan error answered 451 (tempfail)
  std::atomic<uint64_t> unscanned{0};         // scan error passed unscanned (pass)
  std::atomic<uint64_t> errorDropped{0};      // scan error dropped (drop)
  std::atomic<uint64_t> oversize{0};          // over --max-message-size, answered 552
  std::atomic<uint64_t> delivered{0};         // the server accepted it
  std::atomic<uint64_t> refused{0};           // the server refused it
  std::atomic<uint64_t> deliveryFailed{0};    // the plug-in gave the delivery up
  std::atomic<uint64_t> unconfirmed{0};       // sent; the server's answer not seen
  // Observed in microseconds: each scan, and from a scan's end to the
  // server's answer to the message.
  Histogram scanSeconds{LatencyBuckets(), 1e6};
  Histogram deliverySeconds{LatencyBuckets(), 1e6};
};

// TLS handshakes by side (kTlsClientSide: with the client, kTlsServerSide:
// with the server): those done, and those failed by reason (TlsFailure's
// values; kNone: the peer left mid-way) or by --tls-handshake-timeout.
constexpr int kTlsClientSide = 0;
constexpr int kTlsServerSide = 1;
constexpr int kTlsFailureReasons = 8;
struct TlsCounters {
  std::atomic<uint64_t> tlsHandshakes[2] = {};
  std::atomic<uint64_t> tlsFailures[2][kTlsFailureReasons] = {};
  std::atomic<uint64_t> tlsTimeouts[2] = {};
};

struct ProxyCounters : ConnectionCounters, MessageCounters, TlsCounters {};

inline uint64_t MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
}

inline long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

#endif  // DIVIVEZ_HOST_PROXY_COUNTERS_H_
