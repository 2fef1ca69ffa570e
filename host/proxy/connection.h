// The proxy's record of one connection, split by job: its two streams, what
// the host follows of the dialogue, the record of the message in flight, and
// the pump's state between two rounds. Admission creates it, the pump drives
// it (on its own thread, or as a task of an event loop), the plug-in bridge
// fills it in. Only the thread that runs the connection touches it.
#ifndef DIVIVEZ_HOST_PROXY_CONNECTION_H_
#define DIVIVEZ_HOST_PROXY_CONNECTION_H_

#include <chrono>
#include <string>
#include <vector>

#include "host/loop/event_loop.h"
#include "host/proxy/context.h"
#include "host/proxy/dialogue_follower.h"
#include "host/proxy/message_record.h"
#include "host/proxy/proxy_header.h"
#include "host/proxy/route.h"
#include "host/proxy/stream.h"
#include "host/proxy/upstream_tls.h"
#include "host/smtp/client_tls_gate.h"

using Clock = LoopClock;

class Pump;

// One connection's pump between two rounds: what each side is doing and the
// times that decide the next wake-up.
struct PumpState {
  // The client side: read when readable; held (the plug-in left its input
  // unread until the server answers; retried after kHoldRetry or the
  // server's next call); drained (it has closed or failed, and the server
  // gets the close grace to answer what was relayed last).
  enum class ClientSide { kReading, kHeld, kDrained };
  // The server side: read when readable, or held as above.
  enum class ServerSide { kReading, kHeld };

  ClientSide client = ClientSide::kReading;
  ServerSide server = ServerSide::kReading;
  Clock::time_point clientHeldAt;
  Clock::time_point serverHeldAt;
  Clock::time_point graceEnd;
  const char* clientEnd = "";
  std::chrono::milliseconds grace{0};
  // With the plug-in's own socket road the host learns what it reads by
  // peeking first.
  bool peek = false;
  std::vector<char> peekBuffer;
  bool timedOut = false;  // ended by a time limit
  // Its end on an event loop: the pump has ended and the client socket
  // lingers until lingerEnd.
  bool lingering = false;
  Clock::time_point lingerEnd;
};

// --proxy-protocol: until the header is whole the connection counts toward
// the headers' own budget, not --max-connections; an event loop reads it as
// it arrives (due by due).
struct HeaderWait {
  bool awaiting = false;
  Clock::time_point due;
  ProxyHeaderParser parser;
};

// The client's TLS handshake on an implicit-TLS listener, read as it
// arrives (on an event loop) until due.
struct TlsWait {
  bool awaiting = false;
  Clock::time_point due;
};

// STARTTLS toward the client (client_starttls.h): the gate when the route
// has a certificate, the client's bytes read but not yet taken by it, and
// the bytes going to the client (kept to reuse their room).
struct ClientStartTls {
  std::unique_ptr<ClientTlsGate> gate;
  std::string held;
  std::string out;
};

// TLS toward the client: whether the listener that accepted the connection
// speaks it from the first byte, the handshake while it is under way
// (implicit, or after STARTTLS), and STARTTLS.
struct ClientTls {
  bool implicit = false;
  // Implicit TLS: counted under the handshakes' budget, not
  // --max-connections, until its handshake is done (Admission).
  bool budgeted = false;
  TlsWait handshake;
  ClientStartTls startTls;
};

// Where the connection goes.
struct Destination {
  Endpoint upstream;  // the server: --upstream, or the original destination
  // With --upstream original-destination: " to 192.0.2.25:25" for the log,
  // and whether the connection is counted under it (Admission).
  std::string to;
  bool counted = false;
};

struct Connection final : LoopTask {
  Connection(Pump* connectionPump, ProxyContext* context)
      : pump(connectionPump),
        message(context->log, &context->counters,
                context->settings.socketService == SocketService::kHost, &serverStream) {}

  Pump* const pump;
  int id = 0;
  std::string peer;      // escaped for the log
  std::string address;   // the client's address without the port; "": not counted per address
  std::string clientIp;  // the same without brackets (for XCLIENT)
  // The route of the listener that accepted it.
  const Route* route = nullptr;
  Destination destination;
  // Set when the host ends the connection itself (from the scan callback);
  // the relay loop stops after the current call.
  std::string cut;
  HeaderWait header;
  ClientTls clientTls;
  // --upstream-tls while the server's greeting, EHLO, STARTTLS and
  // handshake are under way (on an event loop, a step per round).
  std::unique_ptr<UpstreamTlsSetUp> upstreamSetUp;
  // Each side's stream, and the handle the plug-in knows it by.
  Stream clientStream;
  Stream serverStream;
  CHostSocket client{};
  CHostSocket server{};
  Clock::time_point start = Clock::now();
  int messages = 0;         // scanned
  int unscannedWarned = 0;  // messages relayed without a scan, logged
  DialogueFollower dialogue;
  // The message between its scan and the server's answer to it.
  MessageRecord message;
  PumpState state;

  // A task of an event loop (connection_task.cpp).
  Status Start() override;
  Status Round(bool clientReadable, bool serverReadable) override;
  Clock::time_point Wants(NetSocket handles[kHandles], bool watch[kHandles]) override;
  void Retire() override;
  // Reads and drops what a lingering client sends; true once it has closed
  // or its time is up, and the socket is closed.
  bool LingerDone();

  // "conn 7", and its route when that is not the default: "conn 7 [route work]".
  std::string Label() const { return "conn " + std::to_string(id) + RouteTag(route); }
  // Before the plug-in's session: the PROXY header, an implicit-TLS
  // handshake or the server's TLS set-up under way (a STARTTLS handshake
  // toward the client runs in the pump's rounds).
  bool Opening() const {
    return header.awaiting || (clientTls.implicit && clientTls.handshake.awaiting) ||
           upstreamSetUp != nullptr;
  }
  // Before the pump closes the server's socket while a loop may watch it.
  void ServerSocketClosing() { HandleClosed(1); }
};

// Ties the plug-in's calls on this thread (its socket service and its
// callback) to c; nullptr when the connection is done (plugin_bridge.cpp).
void BindConnectionThread(Connection* c);

#endif  // DIVIVEZ_HOST_PROXY_CONNECTION_H_
