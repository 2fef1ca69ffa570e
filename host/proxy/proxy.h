// The proxy proper: accepts clients, connects each to the upstream server and
// drives the plug-in for the connection. The class is the wiring: start,
// listener, accept loop, shutdown. Its parts: Admission (limits and the
// PROXY header), the Pump (a connection's set-up and rounds), the event
// loops (host/loop/) or ConnectionThreads that run the pumps, and the
// PluginBridge (the plug-in's socket service and callback). A Connection
// holds its streams, its DialogueFollower, its MessageRecord and its
// PumpState.
//
// Threads: the caller's thread runs the accept loop. With the host's socket
// service, where the system has a readiness set (epoll, WSAPoll), an event loop per
// processor (host/loop/) then sets each connection up (PROXY header,
// upstream, XCLIENT) and runs its calls; a call that has to wait (a scan, a
// send the peer does not take) passes the loop to another thread first.
// Otherwise each connection gets a thread of its own with a small stack,
// since the plug-in's own socket road waits inside its calls. Either way the
// calls of one connection are never concurrent, and connections run in
// parallel. The plug-in's scan and progress callbacks
// arrive on the thread that runs the call, inside it; the host's socket
// service likewise.
//
// Per connection: OnNewConnection, then OnRequestFromServer /
// OnRequestFromApplication whenever that side is readable, OnEndConnection
// last. A connection ends when a side closes, after what the other side still
// has to say has been passed on; when a time limit bites (see
// ProxySettings); when the host itself ends it from the scan callback (a scan
// error under --on-scan-error tempfail, a message over --max-message-size:
// the client hears 451 or 552 written by the host, both sockets are shut
// down so that the server drops the open transaction and whatever the
// plug-in still sends fails, and the verdict keeps DATA from going out;
// sockets are only closed after OnEndConnection); or at shutdown.
//
// To apply the time limits and to log the server's final answer to each
// message, the host follows the dialogue: the client's complete command
// lines, the message data between DATA and its end, and the server's
// replies. With the host's socket service it sees every byte the plug-in
// reads; with --socket-service plugin it peeks at what is waiting before
// each call, and says so in the log when a reply got past it.
//
// Only one Proxy exists per process: the plug-in's callback is process-wide.
#ifndef DIVIVEZ_HOST_PROXY_PROXY_H_
#define DIVIVEZ_HOST_PROXY_PROXY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/base/log.h"
#include "host/base/net.h"
#include "host/loop/event_loop.h"
#include "host/proxy/admission.h"
#include "host/proxy/connection_threads.h"
#include "host/proxy/context.h"
#include "host/proxy/counters.h"
#include "host/proxy/plugin_bridge.h"
#include "host/proxy/plugin_loader.h"
#include "host/proxy/pump.h"
#include "host/proxy/route.h"
#include "host/proxy/settings.h"
#include "host/scan/scanner.h"

class Proxy {
 public:
  Proxy(const ProxySettings& settings, const PluginApi& plugin, IScanner* scanner, Logger* log);
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  // Registers the callback, the socket service and the keep-alive with the
  // plug-in.
  void ConfigurePlugin() { m_bridge.Configure(); }

  // Listens at where for route (nullptr: the first route), a plain listener
  // or one whose clients speak TLS from the first byte (implicitTls);
  // *boundPort gets the actual port. *badAddress is set when the address did
  // not resolve.
  bool Listen(const Endpoint& where, uint16_t* boundPort, bool* badAddress, std::string* error,
              bool implicitTls = false, const Route* route = nullptr);

  // A listener as opened: its route, its kind and the actual port.
  struct Bound {
    const Route* route;
    bool implicitTls;
    Endpoint where;  // as configured (port 0 included)
    uint16_t port;
  };
  // Listens on every route's listen and then listen-tls endpoints, route by
  // route. False at the first that cannot be opened, *error naming it and
  // a named route (those already open close with the proxy).
  bool ListenAll(std::vector<Bound>* bound, bool* badAddress, std::string* error);

  // Serves until stopRequests becomes non-zero, then stops accepting, lets
  // open connections finish for shutdownGraceMs (cut at once on a second
  // request) and returns.
  void Run(const std::atomic<int>& stopRequests, int shutdownGraceMs);

  const ProxyCounters& Counters() const { return m_context.counters; }
  // Every route the proxy serves (one, the default, without settings.routes).
  const std::vector<const Route*>& Routes() const { return m_routes; }
  // From a successful Listen until Run stops accepting (the health check).
  bool Listening() const { return m_listening.load(); }
  void LogCounters();
  // With --upstream original-destination: the connections open now by
  // destination ("192.0.2.25:25"), for the metrics.
  std::vector<std::pair<std::string, int>> OpenByDestination() const {
    return m_admission.OpenByDestination();
  }

 private:
  // One listening socket and whose it is.
  struct Listener {
    const Route* route;
    bool implicitTls;
    NetSocket socket;
  };

  // Accepts what is pending on listener; returns how many connections were
  // taken.
  int Accept(const Listener& listener);
  void CloseListeners();

  ProxyContext m_context;
  // Without settings.routes, the one route to settings.upstream.
  std::unique_ptr<Route> m_defaultRoute;
  std::vector<const Route*> m_routes;
  Admission m_admission;
  Pump m_pump;
  PluginBridge m_bridge;
  ConnectionThreads m_threads;
  LoopGroup m_loops;
  std::vector<Listener> m_listeners;
  std::atomic<bool> m_listening{false};
  std::atomic<int> m_nextId{0};
  int m_acceptBackoffMs = 0;
  std::chrono::steady_clock::time_point m_acceptWarned;
};

// --port-file: the first listener's port on the first line, as with one
// listener; with several, then a line per listener, "NAME KIND PORT" (NAME
// "-" for the default route, KIND listen or listen-tls).
std::string PortFileText(const std::vector<Proxy::Bound>& bound);

// Writes a port file under a temporary name and renames it, so a test that
// polls for the file never reads it half-written.
bool WritePortFile(const std::string& path, const std::string& text, std::string* error);

#endif  // DIVIVEZ_HOST_PROXY_PROXY_H_
