// The proxy's record of one connection, shared by the files of host/proxy/:
// the acceptor creates it, the pump drives it, the dialogue follower and the
// plug-in bridge fill it in. Only the connection's own thread touches it.
#ifndef DIVIVEZ_HOST_PROXY_CONNECTION_H_
#define DIVIVEZ_HOST_PROXY_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/loop/event_loop.h"
#include "host/proxy/proxy.h"
#include "host/proxy/dialogue_follower.h"
#include "host/proxy/message_record.h"
#include "host/proxy/stream.h"
#include "host/smtp/smtp_data.h"

using Clock = LoopClock;

// Stacks of the threads that run the plug-in's calls (a connection's own,
// or an event loop's): the plug-in's frames hold 8 KiB buffers and the
// scanners keep their blocks on the heap, so a small stack suffices and a
// thousand connections stay cheap. Sanitizers enlarge frames.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kConnectionStack = 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kConnectionStack = 1024 * 1024;
#else
constexpr size_t kConnectionStack = 256 * 1024;
#endif
#else
constexpr size_t kConnectionStack = 256 * 1024;
#endif

// The longest poll: shutdown and time-outs are checked at least this often.
constexpr auto kPollSlice = std::chrono::milliseconds(250);
// How long a closing client socket is drained so that it sees our last reply.
constexpr int kLingerMs = 1000;
constexpr char kOversizeReply[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";

// One connection's pump between two rounds: what each side is doing and the
// times that decide the next wake-up.
struct Proxy::Pump {
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
};

struct Proxy::Connection final : LoopTask {
  Connection(Proxy* proxy, Logger* log, ProxyCounters* counters, bool hostSockets)
      : owner(proxy), message(log, counters, hostSockets, &serverStream) {}

  Proxy* owner;
  int id = 0;
  std::string peer;      // escaped for the log
  std::string address;   // the client's address without the port; "": not counted per address
  std::string clientIp;  // the same without brackets (for XCLIENT)
  // Set when the host ends the connection itself (from the scan callback);
  // the relay loop stops after the current call.
  std::string cut;
  // Each side's stream, and the handle the plug-in knows it by.
  Stream clientStream;
  Stream serverStream;
  CHostSocket client{};
  CHostSocket server{};
  Clock::time_point start = Clock::now();
  int messages = 0;         // scanned
  int unscannedWarned = 0;  // messages relayed without a scan, logged = 0;  // messages relayed
                            // without a scan, logged
  DialogueFollower dialogue;
  // The message between its scan and the server's answer to it.
  MessageRecord message;

  Pump pump;

  // Its end on an event loop (connection_task.cpp): EndPump has run and the
  // client socket lingers until lingerEnd.
  bool lingering = false;
  Clock::time_point lingerEnd;

  // A task of an event loop (connection_task.cpp).
  Status Start() override;
  Status Round(bool clientReadable, bool serverReadable) override;
  Clock::time_point Wants(NetSocket handles[kHandles], bool watch[kHandles]) override;
  void Retire() override;
  // Reads and drops what a lingering client sends; true once it has closed
  // or its time is up, and the socket is closed.
  bool LingerDone();

  std::string Label() const { return "conn " + std::to_string(id); }
};

// Ties the plug-in's calls on this thread (its socket service and its
// callback) to c; nullptr when the connection is done.
void BindConnectionThread(Proxy::Connection* c);

#endif  // DIVIVEZ_HOST_PROXY_CONNECTION_H_
