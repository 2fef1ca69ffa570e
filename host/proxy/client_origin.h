// Where a client really comes from, when the proxy runs behind a load
// balancer: the PROXY protocol header read off the client's socket, and the
// XCLIENT command that tells the upstream server the same.
//
// Both run before the plug-in sees the connection, each bounded by a
// deadline and by the proxy's abort flag; the header can also be read a
// step at a time as it arrives. They
// read exactly what belongs to them and leave the rest queued: the client's
// first command, the server's greeting.
#ifndef DIVIVEZ_HOST_PROXY_CLIENT_ORIGIN_H_
#define DIVIVEZ_HOST_PROXY_CLIENT_ORIGIN_H_

#include <atomic>
#include <string>

#include "host/base/net.h"
#include "host/proxy/proxy_header.h"
#include "host/proxy/stream.h"

// Reads the PROXY protocol header (version 1 or 2) that must open the
// connection. False with *error when none arrives before timeoutMs, the
// client closes, or the header is malformed.
bool ReadProxyHeader(NetSocket socket, int timeoutMs, const std::atomic<bool>* abort,
                     ProxyHeader* header, std::string* error);

// One step of the same without waiting, for an event loop: feeds *parser
// what has arrived. kMore: incomplete, nothing more queued now; kFailed:
// *error says why (closed, failed, malformed).
enum class HeaderRead { kMore, kDone, kFailed };
HeaderRead ReadProxyHeaderNow(NetSocket socket, ProxyHeaderParser* parser, std::string* error);

enum class XclientResult {
  kSent,        // the server took it; its new greeting waits unread
  kNoGreeting,  // the greeting was not 220: it waits unread, nothing was sent
  kNotOffered,  // the server does not advertise XCLIENT (the session is spent)
  kRefused,     // the server refused EHLO or XCLIENT (the session is spent)
  kFailed,      // the connection failed or timed out (the session is spent)
};

// After the server's 220 greeting: EHLO heloName, and when the reply lists
// XCLIENT, "XCLIENT ADDR=... NAME=..." with the attributes the server names
// (Postfix's syntax: xtext values, IPv6 addresses as "IPV6:..."). The 220
// the server answers a taken XCLIENT with is a new greeting and is left for
// the SMTP session to read. On the results that spend the session the
// client must not reach the server without its introduction: the caller
// turns it away (XclientRefusalReply). *detail gets the server's reply (its
// first line) or the failure, for a log line (not escaped).
XclientResult SendXclient(NetSocket server, const std::string& heloName, const std::string& address,
                          const std::string& name, int timeoutMs, const std::atomic<bool>* abort,
                          std::string* detail);

// The same over a Stream (TLS, or plain with the greeting read already and
// preloaded): what the introduction did not take (the new greeting) is
// preloaded back into it for the plug-in.
XclientResult SendXclient(Stream* server, const std::string& heloName, const std::string& address,
                          const std::string& name, int timeoutMs, const std::atomic<bool>* abort,
                          std::string* detail);

// What a client whose introduction failed hears before the close: a 421
// with the server's own text when it answered 4xx (kRefused, detail), else
// the proxy's 421 4.3.0.
std::string XclientRefusalReply(XclientResult result, const std::string& detail);

// The longest server reply the host reads itself (an EHLO reply lists a few
// dozen keywords); RFC 5321 4.5.3.1.5 puts a reply line at 512 bytes.
constexpr size_t kMaxServerReply = 8192;

// The length of the first complete reply in data (through its last line's
// LF), 0 while it is incomplete; *code gets its code, -1 if malformed.
size_t ServerReplyLength(const char* data, size_t size, int* code);

// Waits up to timeoutMs for one complete reply from server and takes
// exactly it, leaving what follows queued; *code gets its code (-1:
// malformed). False with *error when none came.
bool ReadServerReply(NetSocket server, int timeoutMs, const std::atomic<bool>* abort,
                     std::string* reply, int* code, std::string* error);

// RFC 3461 4: bytes other than '!'..'~', and '+' and '=', as "+XX".
std::string Xtext(const std::string& text);

#endif  // DIVIVEZ_HOST_PROXY_CLIENT_ORIGIN_H_
