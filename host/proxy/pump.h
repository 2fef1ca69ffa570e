// The connection pump: SetUp connects to the server; then the plug-in is
// called for whichever side is readable until a side ends, a time limit
// bites, the host cuts the connection or the proxy shuts down. Step is one
// such round. Serve runs the rounds on the connection's own thread, waiting
// in poll; an event loop runs them for many connections on a few threads
// (connection_task.cpp). One pump serves every connection; each
// connection's state between rounds is its PumpState.
#ifndef DIVIVEZ_HOST_PROXY_PUMP_H_
#define DIVIVEZ_HOST_PROXY_PUMP_H_

#include <mutex>
#include <set>
#include <string>

#include "host/proxy/admission.h"
#include "host/proxy/connection.h"
#include "host/proxy/context.h"
#include "host/proxy/upstream_tls.h"

class Pump {
 public:
  Pump(ProxyContext* context, Admission* admission) : m_context(context), m_admission(admission) {}

  // On the connection's own thread: the PROXY header, set-up, rounds until
  // it ends, retired.
  void Serve(Connection* connection);
  // On an event loop: the PROXY header as far as it has come, the client's
  // TLS handshake on an implicit-TLS listener likewise, then SetUp.
  enum class Opening { kWaiting, kGoing, kEnded };
  Opening Open(Connection* connection);
  // The connection's start once admitted: the upstream connection, its TLS
  // (--upstream-tls), XCLIENT, then the plug-in's session. kWaiting (only
  // without wait): the server's TLS set-up waits for the server's socket
  // or upstreamSetUp's due time, and the next call goes on from there.
  // kEnded when it ended there (the client has been answered and its
  // socket closed); it is still to be retired.
  Opening SetUp(Connection* connection, bool wait);
  // What the pump waits for: readability of each side, and the time its
  // next round is due anyway.
  Clock::time_point Wants(const Connection* connection, Clock::time_point now, bool* client,
                          bool* server) const;
  // One round: a turn for each side that is readable or due, then the
  // limits. Returns why the connection ends, or nullptr.
  const char* Step(Connection* connection, bool clientReadable, bool serverReadable);
  // The end: the plug-in told, the sockets closed (the client's after a
  // lingering close, or only half-closed when !lingerHere), the connection
  // logged.
  void End(Connection* connection, const char* reason, bool lingerHere);
  // The connection counted out and freed.
  void Retire(Connection* connection);

 private:
  // The client's TLS: the session from the route's certificate and the
  // handshake's time-out (false, logged and counted, when it cannot
  // start); then the handshake a step at a time (wait: the whole of it on
  // this thread). kEnded: failed or timed out, logged and counted.
  enum class TlsStep { kMore, kDone, kEnded };
  bool StartClientTls(Connection* connection);
  TlsStep ClientHandshake(Connection* connection, bool wait);
  // An implicit-TLS connection's handshake, before the upstream set-up:
  // false when it failed (the socket closed); true while it goes on
  // (clientTls.handshake.awaiting) or once done.
  bool ImplicitTls(Connection* connection, bool wait);
  // STARTTLS: the handshake once the gate's 220 is out, a step per round,
  // then the gate told. Why the connection ends, or nullptr.
  const char* StartTlsRound(Connection* connection);
  // Logs and counts a failed handshake; side is kTlsClientSide or
  // kTlsServerSide.
  void HandshakeFailed(Connection* connection, int side, const TlsSession* session, bool timedOut);
  // --upstream-tls: TLS toward the server just connected, waiting on this
  // thread (the loop handed on). False when the client has been answered
  // 421 and both sockets are closed; with may, a failed handshake is
  // connected again without TLS (*error when that fails).
  bool SecureUpstream(Connection* connection, std::string* error);
  // The same once the set-up's outcome is known.
  bool UpstreamSecured(Connection* connection, const UpstreamTlsOutcome& outcome,
                       std::string* error);
  // --upstream-xclient: introduces the client to the server just
  // connected. False when that failed: the client has been answered 421 and
  // both sockets are closed. With --upstream original-destination a server
  // that does not offer XCLIENT is connected again without it (*error when
  // that fails).
  bool IntroduceClient(Connection* connection, std::string* error);
  // Ends the server session an introduction spent.
  void CloseSpentSession(Connection* connection);
  // Before the host ends a connection: a 421 to a client that would
  // otherwise be left without a reply.
  void AnswerOwedReply(Connection* connection);
  // Sets up the plug-in's session and the pump's state.
  void Begin(Connection* connection);
  // Runs the rounds on the calling thread until the connection ends.
  void Relay(Connection* connection);
  const char* ServerTurn(Connection* connection, PumpState* pump, Clock::time_point now);
  const char* ClientTurn(Connection* connection, PumpState* pump);
  const char* LimitReached(Connection* connection, const PumpState& pump, bool* timedOut);
  // The time limit that has passed, or nullptr.
  const char* TimeLimitReached(Connection* connection, bool clientOpen);
  // Logs a warning for each message that went to the server without a scan.
  void WarnUnscanned(Connection* connection);
  // Whether the connection's destination is known not to offer XCLIENT;
  // Mark notes it and is true the first time (to log it once).
  bool XclientOff(const Connection* connection) const;
  bool MarkXclientOff(const Connection* connection);

  ProxyContext* const m_context;
  Admission* const m_admission;
  mutable std::mutex m_xclientMutex;
  // --upstream original-destination: the destinations that do not offer
  // XCLIENT (bounded).
  std::set<std::string> m_xclientOffAt;
  // Clients turned away since the server was last logged as not offering
  // XCLIENT, and when that was.
  int m_xclientRefused = 0;
  Clock::time_point m_xclientWarned;
};

#endif  // DIVIVEZ_HOST_PROXY_PUMP_H_
