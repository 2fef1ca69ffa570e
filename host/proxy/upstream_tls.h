// TLS toward the upstream server (--upstream-tls), set up before the
// plug-in's session begins, each wait bounded: the server's replies by the
// connect time-out, the handshake by --tls-handshake-timeout. It runs a
// step at a time as the server's bytes come (UpstreamTlsSetUp: on an event
// loop, a connection waiting on a slow server holds no thread), or waiting
// on the connection's own thread (StartUpstreamTls).
//
// implicit: the handshake from the connect; the plug-in then reads the
// server's greeting over TLS. starttls and may: the host reads the
// greeting, says EHLO, and when the server offers STARTTLS takes it; after
// the handshake the plug-in is handed the greeting the server gave first
// (Stream::Preload), so the client hears one greeting and says its EHLO to
// the server over TLS (RFC 3207: what the host learned before TLS is
// forgotten). A server that answers STARTTLS with 220 and more bytes in the
// same breath fails: those bytes are never taken for replies. Only may ever
// leaves the connection in plain text (see UpstreamTlsSetUp::Step).
#ifndef DIVIVEZ_HOST_PROXY_UPSTREAM_TLS_H_
#define DIVIVEZ_HOST_PROXY_UPSTREAM_TLS_H_

#include <atomic>
#include <chrono>
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

// The set-up of one connection's server stream, a step at a time.
class UpstreamTlsSetUp {
 public:
  using Clock = std::chrono::steady_clock;

  UpstreamTlsSetUp(Stream* server, UpstreamTls mode, std::shared_ptr<const TlsContext> context,
                   std::string name, int replyTimeoutMs, int handshakeTimeoutMs);
  UpstreamTlsSetUp(const UpstreamTlsSetUp&) = delete;
  UpstreamTlsSetUp& operator=(const UpstreamTlsSetUp&) = delete;

  // Goes as far as the server's socket allows now, without waiting: true
  // once the set-up is over (Outcome()); false: call again when the socket
  // is readable, or at Due() (then it fails: time out).
  bool Step(const std::atomic<bool>* abort);
  // The steps on this thread, waiting for the socket between them, until
  // the set-up is over.
  void Run(const std::atomic<bool>* abort);
  Clock::time_point Due() const { return m_due; }
  const UpstreamTlsOutcome& Outcome() const { return m_outcome; }

 private:
  enum class Phase { kGreeting, kEhlo, kStartTls, kHandshake, kDone };
  enum class Read { kDone, kMore, kFailed };
  // A whole reply from the front of what the server sent, reading what the
  // socket holds; kFailed: *error says why.
  Read TakeReply(std::string* reply, int* code, std::string* error);
  // The command, and the next phase waiting for its reply.
  bool Say(const char* command, size_t length, Phase next, std::string* error);
  bool StartHandshake();
  bool Finish(UpstreamTlsOutcome outcome);
  // Under may alone a plain-text session with the greeting preloaded;
  // under any other mode the failure, and the client hears reply.
  bool PlainOnlyIfMay(const std::string& reason, const char* reply);

  Stream* const m_server;
  const UpstreamTls m_mode;
  const std::shared_ptr<const TlsContext> m_context;
  const std::string m_name;
  const int m_replyTimeoutMs;
  const int m_handshakeTimeoutMs;
  Phase m_phase = Phase::kGreeting;
  Clock::time_point m_due;
  std::string m_in;  // read from the server and not yet taken
  std::string m_greeting;
  UpstreamTlsOutcome m_outcome;
};

// A whole set-up on the calling thread (UpstreamTlsSetUp::Run).
UpstreamTlsOutcome StartUpstreamTls(Stream* server, UpstreamTls mode,
                                    const std::shared_ptr<const TlsContext>& context,
                                    const std::string& name, int replyTimeoutMs,
                                    int handshakeTimeoutMs, const std::atomic<bool>* abort);

#endif  // DIVIVEZ_HOST_PROXY_UPSTREAM_TLS_H_
