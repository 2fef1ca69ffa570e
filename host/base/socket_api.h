// The socket calls whose spelling differs between POSIX and Winsock, for the
// socket code both platforms share (net.cpp): posix/net.cpp and
// win32/net.cpp define them. Internal to host/base.
#ifndef DIVIVEZ_HOST_BASE_SOCKET_API_H_
#define DIVIVEZ_HOST_BASE_SOCKET_API_H_

#include <cstddef>
#include <string>

#include "host/base/net.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <afunix.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#endif

namespace socket_api {

// A non-blocking socket, close-on-exec where the platform has it;
// kNetInvalidSocket with *error on failure.
NetSocket Open(int family, int type, int protocol, std::string* error);
void Close(NetSocket socket);
// Before bind: POSIX lets a restarted listener bind its port at once;
// Windows makes a busy port an error, as it is on POSIX.
void PrepareListener(NetSocket socket);
// Connects a non-blocking socket, waiting up to timeoutMs for the outcome.
bool Connect(NetSocket socket, const sockaddr* address, size_t length, int timeoutMs,
             std::string* error);
// The last socket error of the calling thread, as text.
std::string LastErrorText();
// A getaddrinfo result code as text.
std::string ResolveErrorText(int code);
// What an error text starts with when a Unix-domain socket cannot be made.
extern const char kNoUnixSockets[];
// The length of a listener's queue of connections not yet accepted.
extern const int kListenBacklog;

// Defined once for both platforms, in net.cpp:
// The address without brackets and the port; an IPv4-mapped IPv6 address
// (an IPv4 peer of a dual-stack listener) as IPv4. False for other families.
bool EndpointOf(const sockaddr* address, Endpoint* endpoint);
// "192.0.2.1:25", "[2001:db8::1]:25" or "?".
std::string AddressText(const sockaddr* address);
void SetNoDelay(NetSocket socket);

// Runs the hook set with NetSetBeforeWait, if any: called just before this
// layer blocks.
void BeforeWait();

}  // namespace socket_api

#endif  // DIVIVEZ_HOST_BASE_SOCKET_API_H_
