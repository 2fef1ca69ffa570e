// TLS toward the upstream server. See upstream_tls.h.
#include "host/proxy/upstream_tls.h"

#include "host/proxy/client_origin.h"

namespace {

// The name the proxy gives in its EHLO before STARTTLS.
const char kEhlo[] = "EHLO localhost\r\n";
const char kStartTls[] = "STARTTLS\r\n";

UpstreamTlsOutcome Failed(const std::string& reason, const char* reply) {
  UpstreamTlsOutcome outcome;
  outcome.result = UpstreamTlsOutcome::kFailed;
  outcome.reason = reason;
  outcome.reply = std::string("421 4.7.0 ") + reply + "\r\n";
  return outcome;
}

// The one way to a plain-text session on this connection: only under may;
// under any other mode the failure, and the client hears reply.
UpstreamTlsOutcome PlainOnlyIfMay(Stream* server, UpstreamTls mode, const std::string& greeting,
                                  const std::string& reason, const char* reply) {
  if (mode != UpstreamTls::kMay) return Failed(reason, reply);
  server->Preload(greeting);
  UpstreamTlsOutcome outcome;
  outcome.result = UpstreamTlsOutcome::kPlain;
  return outcome;
}

std::string FirstLine(const std::string& reply) {
  std::string line = reply.substr(0, reply.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Whether an EHLO reply lists STARTTLS (a line "250-STARTTLS").
bool OffersStartTls(const std::string& reply) {
  size_t at = 0;
  while (at < reply.size()) {
    size_t end = reply.find('\n', at);
    if (end == std::string::npos) end = reply.size();
    std::string keyword = end - at > 4 ? reply.substr(at + 4, end - at - 4) : std::string();
    at = end + 1;
    while (!keyword.empty() && (keyword.back() == '\r' || keyword.back() == ' '))
      keyword.pop_back();
    for (char& c : keyword) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (keyword == "STARTTLS") return true;
  }
  return false;
}

// The handshake on server, bounded; kTls, or the failure.
UpstreamTlsOutcome Handshake(Stream* server, const std::shared_ptr<const TlsContext>& context,
                             const std::string& name, int timeoutMs,
                             const std::atomic<bool>* abort) {
  std::string error;
  std::unique_ptr<TlsSession> session = TlsSession::Client(context, name, &error);
  if (!session) {
    UpstreamTlsOutcome outcome = Failed("TLS not started: " + error, "Upstream TLS unavailable");
    outcome.handshake = true;
    outcome.failure = TlsFailure::kInternal;
    return outcome;
  }
  server->StartTls(std::move(session));
  const Stream::HandshakeResult result = server->Handshake(timeoutMs, abort);
  UpstreamTlsOutcome outcome;
  if (result == Stream::HandshakeResult::kDone) {
    outcome.result = UpstreamTlsOutcome::kTls;
    return outcome;
  }
  const TlsFailure failure = server->Tls()->Failure();
  if (result == Stream::HandshakeResult::kMore) {
    outcome = Failed(
        "no TLS handshake within " + std::to_string(timeoutMs) + " ms (--tls-handshake-timeout)",
        "Upstream TLS handshake timed out");
    outcome.timedOut = true;
  } else if (failure == TlsFailure::kNone) {
    outcome = Failed("the server closed the connection in the TLS handshake",
                     "Upstream TLS handshake failed");
  } else {
    const bool certificate = failure == TlsFailure::kUnknownCa ||
                             failure == TlsFailure::kNameMismatch ||
                             failure == TlsFailure::kCertificate;
    outcome = Failed(
        "TLS handshake failed: " + server->Tls()->FailureText(),
        certificate ? "Upstream server certificate not trusted" : "Upstream TLS handshake failed");
  }
  outcome.handshake = true;
  outcome.failure = failure;
  return outcome;
}

}  // namespace

// Every way out of here that leaves the connection in plain text, each
// reachable under may alone (PlainOnlyIfMay, and kRetryPlain at the end);
// under starttls and implicit each is a 421 4.7.0 for the client instead:
//   1. a greeting other than 220 (a server turning us away, or someone on
//      the path answering "250" to skip STARTTLS);
//   2. EHLO refused, or its reply without STARTTLS;
//   3. STARTTLS answered other than 220 (454);
//   4. the handshake failed or timed out: kRetryPlain, the caller connects
//      again without TLS (Pump::SecureUpstream).
// The caller connects again in one more place, when a server of
// --upstream original-destination does not offer XCLIENT
// (Pump::IntroduceClient); it runs the new session through here as well.
// After a kFailed the caller closes the server's socket without QUIT: a
// session that opened with anything but 220, or whose TLS failed, is not
// one the proxy says more to in plain text.
UpstreamTlsOutcome StartUpstreamTls(Stream* server, UpstreamTls mode,
                                    const std::shared_ptr<const TlsContext>& context,
                                    const std::string& name, int replyTimeoutMs,
                                    int handshakeTimeoutMs, const std::atomic<bool>* abort) {
  if (mode == UpstreamTls::kImplicit) {
    return Handshake(server, context, name, handshakeTimeoutMs, abort);
  }
  const NetSocket socket = server->Socket();
  std::string greeting;
  std::string reply;
  std::string error;
  int code = 0;
  if (!ReadServerReply(socket, replyTimeoutMs, abort, &greeting, &code, &error)) {
    return Failed("no greeting before STARTTLS: " + error, "Upstream server unavailable");
  }
  // Under may a server that turns us away says so to the client itself.
  if (code != 220) {
    return PlainOnlyIfMay(server, mode, greeting,
                          "the greeting before STARTTLS was not 220: " + FirstLine(greeting),
                          "Upstream server did not greet with 220");
  }
  if (!NetSendAll(socket, kEhlo, sizeof kEhlo - 1, replyTimeoutMs, abort) ||
      !ReadServerReply(socket, replyTimeoutMs, abort, &reply, &code, &error)) {
    return Failed("EHLO before STARTTLS failed: " + error, "Upstream server unavailable");
  }
  if (code != 250 || !OffersStartTls(reply)) {
    return PlainOnlyIfMay(server, mode, greeting,
                          code != 250 ? "EHLO refused: " + FirstLine(reply)
                                      : std::string("the server does not offer STARTTLS"),
                          "Upstream server does not offer STARTTLS");
  }
  if (!NetSendAll(socket, kStartTls, sizeof kStartTls - 1, replyTimeoutMs, abort) ||
      !ReadServerReply(socket, replyTimeoutMs, abort, &reply, &code, &error)) {
    return Failed("STARTTLS failed: " + error, "Upstream server unavailable");
  }
  if (code != 220) {
    return PlainOnlyIfMay(server, mode, greeting, "STARTTLS refused: " + FirstLine(reply),
                          "Upstream server refused STARTTLS");
  }
  // Bytes behind the 220 were written before the handshake: never replies.
  if (NetPeek(socket) > 0) {
    return Failed("the server sent more after its 220 to STARTTLS",
                  "Upstream server broke STARTTLS");
  }
  UpstreamTlsOutcome outcome = Handshake(server, context, name, handshakeTimeoutMs, abort);
  if (outcome.result == UpstreamTlsOutcome::kTls) {
    server->Preload(greeting);
  } else if (mode == UpstreamTls::kMay) {
    outcome.result = UpstreamTlsOutcome::kRetryPlain;
  }
  return outcome;
}
