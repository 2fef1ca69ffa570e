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

#include "host/proxy/proxy.h"
#include "host/smtp/smtp_data.h"

using Clock = std::chrono::steady_clock;

inline uint64_t MicrosecondsSince(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

inline long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

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
// Delivery progress reaches a log that is not a terminal for messages of at
// least this size, or once a delivery has lasted this long.
constexpr uint32_t kProgressLogKiB = 1024;
constexpr auto kSlowDelivery = std::chrono::seconds(1);
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

struct Proxy::Connection {
  Proxy* owner = nullptr;
  int id = 0;
  std::string peer;      // escaped for the log
  std::string address;   // the client's address without the port; "": not counted per address
  std::string clientIp;  // the same without brackets (for XCLIENT)
  Endpoint upstream;     // the server: --upstream, or the original destination
  // With --upstream original-destination: " to 192.0.2.25:25" for the log,
  // and whether the connection is counted under it (m_perDestination).
  std::string to;
  bool destinationCounted = false;
  // Set when the host ends the connection itself (from the scan callback);
  // the relay loop stops after the current call.
  std::string cut;
  NetSocket clientSocket = kNetInvalidSocket;
  NetSocket serverSocket = kNetInvalidSocket;
  CHostSocket client{};
  CHostSocket server{};
  Clock::time_point start = Clock::now();
  uint64_t fromClient = 0;
  uint64_t fromServer = 0;
  int messages = 0;
  // Bytes the plug-in sent to the server through the host's socket service;
  // with it the host tells a delivered message from an aborted delivery.
  uint64_t sentToServer = 0;
  // The server socket holds partial segments while the plug-in delivers a
  // message (from the server's 354 to the end of the plug-in's call).
  bool holdingSegments = false;
  // A read through the host's socket service that returned less than asked
  // for: that socket had nothing more at the time, so within the same call
  // of the plug-in another read would only be told so. Cleared before each
  // call of the plug-in and by a send on the same socket (which may draw an
  // answer).
  bool clientDrained = false;
  bool serverDrained = false;

  // The dialogue as the host follows it (time limits, envelope, replies).
  bool inData = false;    // between DATA and the end of the message
  bool awaiting = false;  // a complete command or message awaits an answer
  uint64_t dataBytes = 0;
  int messagesEnded = 0;    // ends of data seen; messages is the scans
  int unscannedWarned = 0;  // messages relayed without a scan, logged
  DataEndFinder dataEnd;    // the end of the message arriving
  std::string line;         // the client's current command line (its head)
  std::string sender;       // of the current transaction
  std::string firstRecipient;
  int recipients = 0;
  Clock::time_point progress = Clock::now();  // the last event a limit counts from
  std::string replyLine;                      // the server's current line (its head)
  bool replyLineCr = false;

  // The message between its scan and the server's answer to it.
  struct Message {
    bool active = false;
    int number = 0;
    uint64_t size = 0;
    std::filesystem::path spool;  // built once: checked after every server call
    std::string label;            // "conn N msg M"
    std::string envelope;         // "from <a> to <b> (+n)"
    std::string verdict;
    bool sawDataReply = false;  // the server's 354 to our DATA has come
    bool unseen = false;        // server bytes got past the host (plug-in sockets)
    std::string dataRefusal;    // a failure reply before any 354
    long scanMs = 0;
    Clock::time_point scanEnd;
    uint64_t sentToServerAtScan = 0;
    unsigned reportedQuarter = 0;
    unsigned shownPercent = 0;
  } message;

  Pump pump;

  // On an event loop (event_loop.cpp). The loop's thread owns these, except
  // while the connection is off the loop (a call that waits).
  size_t loopIndex = 0;    // in the loop's list
  bool offLoop = false;    // a thread that left the loop is running it
  bool lingering = false;  // EndPump has run; the client socket lingers
  Clock::time_point lingerEnd;
  bool ended = false;  // closed; freed at the loop's next round
  bool watchingClient = false;
  bool watchingServer = false;
  Clock::time_point wake;  // when a round is due without any input

  std::string Label() const { return "conn " + std::to_string(id); }
};

// Ties the plug-in's calls on this thread (its socket service and its
// callback) to c; nullptr when the connection is done.
void BindConnectionThread(Proxy::Connection* c);

// Called before a wait inside a round (a send the peer is slow to take, a
// scan that is not quick, a lingering close): a thread that runs an event
// loop hands the loop to another thread and goes on with this connection
// alone, so that the loop's other connections are not held up. A no-op on a
// connection's own thread.
void LeaveLoopBeforeWaiting();

#endif  // DIVIVEZ_HOST_PROXY_CONNECTION_H_
