// Sockets for the proxy: listening, connecting, polling and transfers.
//
// One declaration, two implementations chosen by the build: net_posix.cpp
// (poll, BSD sockets) and net_win32.cpp (WSAPoll, Winsock 2). Every socket the
// proxy makes is non-blocking; waits go through NetPoll. Errors are reported
// through the result and, where a text helps a log line, an error string; the
// error code is captured at the failing call. Functions are thread-safe as far
// as the OS calls are; a socket is used by one thread at a time except where a
// caller says otherwise.
#ifndef DIVIVEZ_HOST_BASE_NET_H_
#define DIVIVEZ_HOST_BASE_NET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
typedef std::uintptr_t NetSocket;  // the Winsock SOCKET
#else
typedef int NetSocket;  // a file descriptor
#endif
constexpr NetSocket kNetInvalidSocket = static_cast<NetSocket>(~static_cast<NetSocket>(0));

// A host name or address literal and a port, as options and log lines give
// them.
struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

// "host:port", or "[v6]:port" for an IPv6 literal, for log lines.
std::string EndpointText(const Endpoint& endpoint);

// Results of the single transfers below.
enum : int { kNetError = -1, kNetWouldBlock = -2 };

// Poll flags (requested in events, reported in revents).
enum : short { kNetIn = 1, kNetOut = 2, kNetHup = 4, kNetErr = 8 };

struct NetPollItem {
  NetSocket socket;
  short events;
  short revents;
};

// Once per process, before any other call. False with *error on failure.
bool NetStartup(std::string* error);

// Resolves host (a name or a literal) and listens on the first address that
// binds. port 0 picks an ephemeral port; *boundPort receives the actual one.
// *resolveFailed is set when the name did not resolve (a bad argument rather
// than a busy port).
NetSocket NetListen(const std::string& host, uint16_t port, uint16_t* boundPort,
                    bool* resolveFailed, std::string* error);

// Accepts one pending connection from a non-blocking listener and makes it
// non-blocking. kNetInvalidSocket when none is pending (or on failure).
// *peer receives "address:port". *failed (may be null) tells a failure (out
// of descriptors, ...) from an empty queue.
NetSocket NetAccept(NetSocket listener, std::string* peer, bool* failed = nullptr);

// Where an accepted connection was addressed before a REDIRECT or DNAT rule
// of the firewall sent it here (Linux's connection tracking: SO_ORIGINAL_DST,
// IP6T_SO_ORIGINAL_DST). A connection that no rule rewrote gives the local
// address it reached. An IPv4 client of a dual-stack listener gives IPv4.
// False with *error where the system cannot tell (NetHasOriginalDestination).
bool NetOriginalDestination(NetSocket socket, Endpoint* destination, std::string* error);
bool NetHasOriginalDestination();

// Whether host, an address literal, is one of this host's own (a socket can
// be bound to it).
bool NetIsLocalAddress(const std::string& host);

// Connects with a time-out, trying each resolved address in turn. Returns a
// non-blocking socket, or kNetInvalidSocket with *error.
NetSocket NetConnect(const std::string& host, uint16_t port, int timeoutMs, std::string* error);

// Connects to a Unix-domain stream socket; where the platform lacks them,
// fails with *error saying so.
NetSocket NetConnectUnix(const std::string& path, int timeoutMs, std::string* error);

// > 0 bytes read, 0 end of stream, kNetWouldBlock, kNetError.
int NetRecv(NetSocket socket, char* buffer, int size);
// Like NetRecv but leaves the data queued: > 0 data waiting, 0 end of
// stream, kNetWouldBlock nothing yet, kNetError (reset, ...).
int NetPeek(NetSocket socket);
// Copies up to size waiting bytes without taking them: > 0 bytes copied,
// 0 end of stream, kNetWouldBlock, kNetError.
int NetPeekData(NetSocket socket, char* buffer, int size);
// > 0 bytes accepted (may be short), kNetWouldBlock, kNetError. Never raises
// SIGPIPE.
int NetSend(NetSocket socket, const char* data, int length);

// Sends the whole buffer, waiting for writability in slices so that *abort
// (may be null) is honoured. False on error, time-out or abort.
bool NetSendAll(NetSocket socket, const char* data, size_t length, int timeoutMs,
                const std::atomic<bool>* abort);

// Sets a hook that this layer calls on the calling thread just before one of
// its calls blocks: a connect that is not complete at once, a host name to
// resolve, a send the peer does not take at once, a lingering close. An
// event loop uses it to pass itself to another thread first. Process-wide.
void NetSetBeforeWait(void (*hook)());

// Waits for the items; timeoutMs < 0 waits without limit. Returns the number
// of ready items, 0 on time-out or interruption by a signal, kNetError.
int NetPoll(NetPollItem* items, size_t count, int timeoutMs);

// A readiness set over many sockets, for a few threads that serve many
// connections: epoll on Linux, WSAPoll over a kept array on Windows. Where
// the system has none, NetPollerCreate returns nullptr and the caller keeps
// a thread per connection. Level-triggered: a socket is reported while it is
// readable and its interest is set. Watch, NetPollerClosed and Wait are
// called by one thread at a time; Wake by any.
struct NetPoller;
// An event names the socket's tag only: readable, at its end or failed, a
// read tells which. A tag of nullptr is a NetPollerWake.
struct NetPollerEvent {
  void* tag;
};
NetPoller* NetPollerCreate();
void NetPollerDestroy(NetPoller* poller);
// Starts (watch) or stops watching socket for readability. A socket not
// watched is out of the set altogether: a hang-up is reported even without
// interest, and a side that is not read must not keep waking its poller.
// Closing a socket also takes it out. False on failure.
bool NetPollerWatch(NetPoller* poller, NetSocket socket, void* tag, bool watch);
// A watched socket was just closed (or is about to be), before the next
// wait: epoll has dropped it already, WSAPoll's array holds its value, which
// a new socket may take next.
void NetPollerClosed(NetPoller* poller, NetSocket socket);
// Waits for ready sockets (timeoutMs < 0 without limit); the count filled
// in, 0 on time-out or a signal.
int NetPollerWait(NetPoller* poller, NetPollerEvent* events, int max, int timeoutMs);
// Makes a wait return, now or at its next call. Any thread.
void NetPollerWake(NetPoller* poller);

// While hold is set, a TCP socket sends only full segments: a run of small
// sends leaves as few large packets. Clearing it sends what is held at once
// (the kernel also sends it after 200 ms). Bytes held are the kernel's like
// any sent. A no-op where the platform has no such setting (Windows).
void NetHoldPartialSegments(NetSocket socket, bool hold);
void NetShutdownSend(NetSocket socket);
void NetShutdownBoth(NetSocket socket);
void NetClose(NetSocket socket);

// Half-closes the sending side, then reads and discards what the peer still
// sends until it closes or lingerMs pass, then closes. The peer thus receives
// everything sent before, instead of a reset caused by unread input. The
// deadline holds even while the peer keeps sending.
void NetLingeringClose(NetSocket socket, int lingerMs);

// The text of the last socket error of the calling thread.
std::string NetLastErrorText();

#endif  // DIVIVEZ_HOST_BASE_NET_H_
