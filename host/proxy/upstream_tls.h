// TLS toward the upstream server (--upstream-tls), set up on the
// connection's thread before the plug-in's session begins, each wait
// bounded: the server's replies by the connect time-out, the handshake by
// --tls-handshake-timeout.
//
// implicit: the handshake from the connect; the plug-in then reads the
// server's greeting over TLS. starttls and may: the host reads the
// greeting, says EHLO, and when the server offers STARTTLS takes it; after
// the handshake the plug-in is handed the greeting the server gave first
// (Stream::Preload), so the client hears one greeting and says its EHLO to
// the server over TLS (RFC 3207: what the host learned before TLS is
// forgotten). A server that answers STARTTLS with 220 and more bytes in the
// same breath fails: those bytes are never taken for replies. Only may ever
// leaves the connection in plain text (see StartUpstreamTls).
#ifndef DIVIVEZ_HOST_PROXY_UPSTREAM_TLS_H_
#define DIVIVEZ_HOST_PROXY_UPSTREAM_TLS_H_

#include <atomic>
#include <memory>
#include <string>

#include "host/proxy/settings.h"
#include "host/proxy/stream.h"
#include "host/tls/tls.h"

struct UpstreamTlsOutcome {
  enum Result {
    kTls,         // the stream speaks TLS
    kPlain,       // may: plain text (the server greeted with other than 220, offers no
                  // STARTTLS, or refused it); its greeting is preloaded in the stream
    kRetryPlain,  // may: the handshake failed; connect again without TLS
    kFailed,      // no relay: the client hears reply
  };
  Result result = kFailed;
  bool handshake = false;  // the failure was the handshake's (counted by reason)
  bool timedOut = false;   // the handshake ran out of time
  TlsFailure failure = TlsFailure::kNone;
  std::string reason;  // for the log (not escaped)
  std::string reply;   // 421 4.7.0 ... for the client
};

UpstreamTlsOutcome StartUpstreamTls(Stream* server, UpstreamTls mode,
                                    const std::shared_ptr<const TlsContext>& context,
                                    const std::string& name, int replyTimeoutMs,
                                    int handshakeTimeoutMs, const std::atomic<bool>* abort);

#endif  // DIVIVEZ_HOST_PROXY_UPSTREAM_TLS_H_
