// The proxy proper: accepts clients, connects each to the upstream server and
// drives the plug-in for the connection.
//
// Threads: the caller's thread runs the accept loop. With the host's socket
// service, where the system has a readiness set (epoll), an event loop per
// processor then sets each connection up (PROXY header, upstream, XCLIENT)
// and runs its calls; a call that has to wait (a scan, a send the peer does
// not take) passes the loop to another thread first (event_loop.cpp).
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
#include <map>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/net.h"
#include "host/metrics/metrics.h"
#include "host/proxy/plugin_loader.h"
#include "host/proxy/settings.h"
#include "host/scan/scanner.h"

struct ProxyCounters {
  std::atomic<uint64_t> connections{0};     // accepted and served
  std::atomic<uint64_t> rejected{0};        // over --max-connections
  std::atomic<uint64_t> perAddress{0};      // over --max-per-address
  std::atomic<uint64_t> timedOut{0};        // cut by a time limit
  std::atomic<uint64_t> upstreamFailed{0};  // answered 421: upstream unreachable
  std::atomic<uint64_t> messages{0};        // handed to the scanner
  std::atomic<uint64_t> clean{0};
  std::atomic<uint64_t> infected{0};
  std::atomic<uint64_t> scanErrors{0};
  std::atomic<uint64_t> dropped{0};         // infected, or scan error with drop
  std::atomic<uint64_t> tempfailed{0};      // scan error answered 451 (tempfail)
  std::atomic<uint64_t> unscanned{0};       // scan error passed unscanned (pass)
  std::atomic<uint64_t> errorDropped{0};    // scan error dropped (drop)
  std::atomic<uint64_t> oversize{0};        // over --max-message-size, answered 552
  std::atomic<uint64_t> delivered{0};       // the server accepted it
  std::atomic<uint64_t> refused{0};         // the server refused it
  std::atomic<uint64_t> deliveryFailed{0};  // the plug-in gave the delivery up
  std::atomic<uint64_t> unconfirmed{0};     // sent; the server's answer not seen
  std::atomic<uint64_t> bytesFromClients{0};
  std::atomic<uint64_t> bytesFromServers{0};
  std::atomic<int> open{0};                 // client connections open now
  std::atomic<uint64_t> badProxyHeader{0};  // closed without a valid PROXY header
  std::atomic<uint64_t> perDestination{0};  // over --max-per-destination
  std::atomic<uint64_t> mailLoops{0};       // the original destination was the proxy
  // Observed in microseconds: each scan, and from a scan's end to the
  // server's answer to the message.
  Histogram scanSeconds{LatencyBuckets(), 1e6};
  Histogram deliverySeconds{LatencyBuckets(), 1e6};
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
  // From a successful Listen until Run stops accepting (the health check).
  bool Listening() const { return m_listening.load(); }
  void LogCounters();
  // With --upstream original-destination: the connections open now by
  // destination ("192.0.2.25:25"), for the metrics.
  std::vector<std::pair<std::string, int>> OpenByDestination() const;

  // Used by the connection threads (pump.cpp), the event loops and the
  // plug-in's callback (plugin_bridge.cpp).
  struct Connection;
  void Serve(Connection* connection);
  // A connection thread whose connection has ended waits a while for the
  // next one instead of ending. Returns that connection, or nullptr when the
  // thread is to end (and has been counted out).
  Connection* NextConnection();
  void HandleCallback(int code, ScanRequest* request);
  // What the plug-in read from the client or the server (the dialogue the
  // host follows); called by the socket service or after a peek.
  void FromClient(Connection* connection, const char* data, size_t length);
  void FromServer(Connection* connection, const char* data, size_t length);

  // The event loops (event_loop.cpp). A loop thread runs loops handed to
  // it until none is left for a while.
  struct Loop;
  void RunLoops();
  // Gives the loop to a spare thread, or starts one. False (logged) when no
  // thread could be started; the loop then waits, queued, for the next
  // thread that looks for one.
  bool HandOffLoop(Loop* loop);

 private:
  // Accepts what is pending; returns how many connections were taken.
  int Accept();
  // The connection's loop (pump.cpp): a turn for each side that is due,
  // then the limits; each returns why the connection ends, or nullptr.
  struct Pump;
  // The connection's start: the PROXY header, the upstream connection,
  // XCLIENT, then StartPump. False when it ended there (the client has been
  // answered and its socket closed); it is still to be retired.
  bool SetUp(Connection* connection);
  // Sets up the plug-in's session and the pump.
  void StartPump(Connection* connection);
  // What the pump waits for: readability of each side, and the time its next
  // round is due anyway.
  std::chrono::steady_clock::time_point PumpWants(const Connection* connection,
                                                  std::chrono::steady_clock::time_point now,
                                                  bool* client, bool* server) const;
  // One round: a turn for each side that is readable or due, then the
  // limits. Returns why the connection ends, or nullptr.
  const char* PumpStep(Connection* connection, bool clientReadable, bool serverReadable);
  // The end: the plug-in told, the sockets closed (the client's after a
  // lingering close, or only half-closed when !lingerHere), the connection
  // logged.
  void EndPump(Connection* connection, const char* reason, bool lingerHere);
  // Reads and drops what a lingering client sends; true once it has closed
  // or its time is up, and the socket is closed.
  bool LingerDone(Connection* connection);
  // The connection counted out and freed.
  void Retire(Connection* connection);
  // Runs the rounds on the calling thread until the connection ends.
  void Relay(Connection* connection);
  // With the host's socket service on a system with a readiness set, a loop
  // per processor runs the connections' rounds once they are set up;
  // otherwise (m_loops empty) each connection keeps its thread.
  void StartLoops();
  void StopLoops();
  void WakeLoops();
  void FreeLoops();
  // Hands a connection just accepted to the loop with the fewest.
  void Adopt(Connection* connection);
  // Runs SetUp for a connection adopted by the loop.
  void SetUpOnLoop(Loop* loop, Connection* connection);
  // After a round or a set-up: the connection watched again, or listed to
  // be freed, by the loop's thread; handed back to the loop by a thread that
  // left it meanwhile.
  void BackToLoop(Loop* loop, Connection* connection);
  void RunLoop(Loop* loop);
  // Takes in what other threads handed the loop and frees the connections
  // that ended; false when the loop is to stop.
  bool TakeQueues(Loop* loop);
  // A round for every connection whose due time has come.
  void Sweep(Loop* loop, std::chrono::steady_clock::time_point now);
  void Round(Loop* loop, Connection* connection, bool clientReadable, bool serverReadable);
  // Watches the sides the pump wants read and notes when it is due.
  void Rearm(Loop* loop, Connection* connection);
  const char* ServerTurn(Connection* connection, Pump* pump,
                         std::chrono::steady_clock::time_point now);
  const char* ClientTurn(Connection* connection, Pump* pump);
  const char* LimitReached(Connection* connection, const Pump& pump, bool* timedOut);
  void HandleScan(Connection* connection, ScanRequest* request);
  void HandleProgress(Connection* connection, const ScanRequest* request);
  // Logs the message in hand once its spool file is gone (delivered), or
  // with finalReason when the connection moves on without that.
  void CheckDelivery(Connection* connection, const char* finalReason);
  void ServerReply(Connection* connection, int code, const std::string& text);
  void LogFinal(Connection* connection, const std::string& outcome);
  // Ends the connection from inside the scan callback: reply to the client,
  // both sockets shut down (not closed), the connection marked as cut.
  void CutFromCallback(Connection* connection, const char* reply, const std::string& why);
  // Logs a warning for each message that went to the server without a scan.
  void WarnUnscanned(Connection* connection);
  // The time limit that has passed, or nullptr.
  const char* TimeLimitReached(Connection* connection, bool clientOpen);
  // Sends what the server socket holds back during a delivery.
  void ReleaseHeldSegments(Connection* connection);
  void ConnectionEnded(const std::string& address);
  // Accept hands a connection to a thread waiting for one (true) rather
  // than start a thread.
  bool HandToWaitingThread(Connection* connection);
  // --proxy-protocol (acceptor.cpp): reads the header and takes the real
  // client's slot under --max-per-address. False when the connection was
  // turned away (and its socket closed).
  bool AdmitFromBalancer(Connection* connection);
  // --upstream-xclient (pump.cpp): introduces the client to the server just
  // connected; connects again without XCLIENT (*error on failure) when that
  // spent the session.
  void IntroduceClient(Connection* connection, std::string* error);
  // --upstream original-destination (transparent.cpp): sets the connection's
  // upstream to where the client was going; turns it away (false, socket
  // closed) when that is the proxy itself or over --max-per-destination.
  bool AdmitRedirected(Connection* connection);
  void DestinationEnded(Connection* connection);
  // Whether the connection's server is known not to take XCLIENT; Mark
  // notes it and is true the first time (to log it once).
  bool XclientOff(const Connection* connection) const;
  bool MarkXclientOff(const Connection* connection);

  ProxySettings m_settings;
  PluginApi m_plugin;
  IScanner* m_scanner;
  Logger* m_log;
  NetSocket m_listener = kNetInvalidSocket;
  uint16_t m_listenPort = 0;
  std::atomic<bool> m_listening{false};
  std::atomic<bool> m_xclientOff{false};  // the server does not take XCLIENT: said once
  // --upstream original-destination: open connections by destination, and
  // the destinations that do not take XCLIENT (bounded).
  mutable std::mutex m_destinationMutex;
  std::map<std::string, int> m_perDestination;
  std::set<std::string> m_xclientOffAt;
  ProxyCounters m_counters;
  std::atomic<int> m_nextId{0};
  std::atomic<bool> m_abort{false};
  std::mutex m_mutex;
  std::condition_variable m_ended;
  int m_active = 0;  // guarded by m_mutex
  // Connection threads alive, those waiting for a connection, the
  // connections handed to them, and whether they are to end; all m_mutex.
  int m_threads = 0;
  int m_waitingThreads = 0;
  std::vector<Connection*> m_handedOver;
  bool m_threadsEnd = false;
  std::condition_variable m_handOver;
  std::map<std::string, int> m_perAddress;  // open connections by client address; m_mutex
  std::vector<Loop*> m_loops;               // fixed once Run has started them
  std::vector<Loop*> m_orphanLoops;         // loops without a thread; m_mutex
  int m_spareRunners = 0;                   // loop threads waiting for one; m_mutex
  std::atomic<bool> m_loopsEnd{false};
  std::condition_variable m_runnerWanted;
  int m_acceptBackoffMs = 0;
  std::chrono::steady_clock::time_point m_acceptWarned;
};

#endif  // DIVIVEZ_HOST_PROXY_PROXY_H_
