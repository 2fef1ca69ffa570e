// TLS toward the upstream server. See upstream_tls.h.
#include "host/proxy/upstream_tls.h"

#include <algorithm>
#include <utility>

#include "host/proxy/client_origin.h"

namespace {

// The name the proxy gives in its EHLO before STARTTLS.
const char kEhlo[] = "EHLO localhost\r\n";
const char kStartTls[] = "STARTTLS\r\n";
// The longest wait of StartUpstreamTls between two looks at the abort flag.
constexpr int kSliceMs = 250;

UpstreamTlsOutcome Failed(const std::string& reason, const char* reply) {
  UpstreamTlsOutcome outcome;
  outcome.result = UpstreamTlsOutcome::kFailed;
  outcome.reason = reason;
  outcome.reply = std::string("421 4.7.0 ") + reply + "\r\n";
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

// A handshake that did not end in kDone (kMore: out of time).
UpstreamTlsOutcome HandshakeFailed(const Stream& server, Stream::HandshakeResult result,
                                   int timeoutMs) {
  const TlsFailure failure = server.Tls()->Failure();
  UpstreamTlsOutcome outcome;
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
        "TLS handshake failed: " + server.Tls()->FailureText(),
        certificate ? "Upstream server certificate not trusted" : "Upstream TLS handshake failed");
  }
  outcome.handshake = true;
  outcome.failure = failure;
  return outcome;
}

}  // namespace

UpstreamTlsSetUp::UpstreamTlsSetUp(Stream* server, UpstreamTls mode,
                                   std::shared_ptr<const TlsContext> context, std::string name,
                                   int replyTimeoutMs, int handshakeTimeoutMs)
    : m_server(server),
      m_mode(mode),
      m_context(std::move(context)),
      m_name(std::move(name)),
      m_replyTimeoutMs(replyTimeoutMs),
      m_handshakeTimeoutMs(handshakeTimeoutMs),
      m_due(Clock::now() + std::chrono::milliseconds(replyTimeoutMs)) {
  if (m_mode == UpstreamTls::kImplicit) StartHandshake();
}

// Every way out of here that leaves the connection in plain text, each
// reachable under may alone (PlainOnlyIfMay, and kRetryPlain after the
// handshake); under starttls and implicit each is a 421 4.7.0 for the
// client instead:
//   1. a greeting other than 220 (a server turning us away, or someone on
//      the path answering "250" to skip STARTTLS);
//   2. EHLO refused, or its reply without STARTTLS;
//   3. STARTTLS answered other than 220 (454);
//   4. the handshake failed or timed out: kRetryPlain, the caller connects
//      again without TLS (Pump::UpstreamSecured).
// The caller connects again in one more place, when a server of
// --upstream original-destination does not offer XCLIENT
// (Pump::IntroduceClient); it runs the new session through here as well.
// After a kFailed the caller closes the server's socket without QUIT: a
// session that opened with anything but 220, or whose TLS failed, is not
// one the proxy says more to in plain text.
bool UpstreamTlsSetUp::Step(const std::atomic<bool>* abort) {
  std::string reply;
  std::string error;
  int code = 0;
  for (;;) {
    if (m_phase == Phase::kDone) return true;
    if (abort != nullptr && abort->load()) {
      return Finish(Failed("shutting down", "Upstream server unavailable"));
    }
    if (m_phase == Phase::kHandshake) {
      const Stream::HandshakeResult result = m_server->HandshakeStep();
      if (result == Stream::HandshakeResult::kDone) {
        UpstreamTlsOutcome outcome;
        outcome.result = UpstreamTlsOutcome::kTls;
        // The client hears the greeting given before STARTTLS; implicit
        // TLS leaves the server's own in the session.
        if (m_mode != UpstreamTls::kImplicit) m_server->Preload(m_greeting);
        return Finish(std::move(outcome));
      }
      if (result == Stream::HandshakeResult::kMore && Clock::now() < m_due) return false;
      UpstreamTlsOutcome outcome = HandshakeFailed(*m_server, result, m_handshakeTimeoutMs);
      if (m_mode == UpstreamTls::kMay) outcome.result = UpstreamTlsOutcome::kRetryPlain;
      return Finish(std::move(outcome));
    }
    const Read read = TakeReply(&reply, &code, &error);
    if (read == Read::kMore && Clock::now() < m_due) return false;
    if (read != Read::kDone) {
      if (read == Read::kMore) error = "no complete reply in time";
      const char* what = m_phase == Phase::kGreeting ? "no greeting before STARTTLS: "
                         : m_phase == Phase::kEhlo   ? "EHLO before STARTTLS failed: "
                                                     : "STARTTLS failed: ";
      return Finish(Failed(what + error, "Upstream server unavailable"));
    }
    switch (m_phase) {
      case Phase::kGreeting:
        m_greeting = reply;
        // Under may a server that turns us away says so to the client
        // itself.
        if (code != 220) {
          return PlainOnlyIfMay("the greeting before STARTTLS was not 220: " + FirstLine(reply),
                                "Upstream server did not greet with 220");
        }
        if (!Say(kEhlo, sizeof kEhlo - 1, Phase::kEhlo, &error)) {
          return Finish(
              Failed("EHLO before STARTTLS failed: " + error, "Upstream server unavailable"));
        }
        break;
      case Phase::kEhlo:
        if (code != 250 || !OffersStartTls(reply)) {
          return PlainOnlyIfMay(code != 250 ? "EHLO refused: " + FirstLine(reply)
                                            : std::string("the server does not offer STARTTLS"),
                                "Upstream server does not offer STARTTLS");
        }
        if (!Say(kStartTls, sizeof kStartTls - 1, Phase::kStartTls, &error)) {
          return Finish(Failed("STARTTLS failed: " + error, "Upstream server unavailable"));
        }
        break;
      case Phase::kStartTls:
        if (code != 220) {
          return PlainOnlyIfMay("STARTTLS refused: " + FirstLine(reply),
                                "Upstream server refused STARTTLS");
        }
        // Bytes behind the 220 were written before the handshake: never
        // replies.
        if (!m_in.empty() || NetPeek(m_server->Socket()) > 0) {
          return Finish(Failed("the server sent more after its 220 to STARTTLS",
                               "Upstream server broke STARTTLS"));
        }
        if (!StartHandshake()) return true;
        break;
      case Phase::kHandshake:
      case Phase::kDone:
        return true;
    }
  }
}

void UpstreamTlsSetUp::Run(const std::atomic<bool>* abort) {
  while (!Step(abort)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_due - Clock::now()).count();
    NetPollItem item{m_server->Socket(), kNetIn, 0};
    NetPoll(&item, 1,
            static_cast<int>(std::max<long long>(0, std::min<long long>(left, kSliceMs))));
  }
}

UpstreamTlsSetUp::Read UpstreamTlsSetUp::TakeReply(std::string* reply, int* code,
                                                   std::string* error) {
  for (;;) {
    const size_t length = ServerReplyLength(m_in.data(), m_in.size(), code);
    if (length > 0) {
      reply->assign(m_in, 0, length);
      m_in.erase(0, length);
      return Read::kDone;
    }
    if (m_in.size() >= kMaxServerReply) {
      *error = "a reply longer than " + std::to_string(kMaxServerReply) + " bytes";
      return Read::kFailed;
    }
    char buffer[1024];
    const int n = NetRecv(m_server->Socket(), buffer,
                          static_cast<int>(std::min(sizeof buffer, kMaxServerReply - m_in.size())));
    if (n > 0) {
      m_in.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == kNetWouldBlock) return Read::kMore;
    *error = n == 0 ? "the server closed the connection" : "connection failed";
    return Read::kFailed;
  }
}

bool UpstreamTlsSetUp::Say(const char* command, size_t length, Phase next, std::string* error) {
  // A line of a few bytes on a socket that has sent nothing else: the
  // socket takes it at once.
  if (NetSend(m_server->Socket(), command, static_cast<int>(length)) != static_cast<int>(length)) {
    *error = "connection failed";
    return false;
  }
  m_phase = next;
  m_due = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
  return true;
}

bool UpstreamTlsSetUp::StartHandshake() {
  std::string error;
  std::unique_ptr<TlsSession> session = TlsSession::Client(m_context, m_name, &error);
  if (!session) {
    UpstreamTlsOutcome outcome = Failed("TLS not started: " + error, "Upstream TLS unavailable");
    outcome.handshake = true;
    outcome.failure = TlsFailure::kInternal;
    return !Finish(std::move(outcome));
  }
  m_server->StartTls(std::move(session));
  m_phase = Phase::kHandshake;
  m_due = Clock::now() + std::chrono::milliseconds(m_handshakeTimeoutMs);
  return true;
}

bool UpstreamTlsSetUp::Finish(UpstreamTlsOutcome outcome) {
  m_outcome = std::move(outcome);
  m_phase = Phase::kDone;
  return true;
}

bool UpstreamTlsSetUp::PlainOnlyIfMay(const std::string& reason, const char* reply) {
  if (m_mode != UpstreamTls::kMay) return Finish(Failed(reason, reply));
  // What the server sent beyond the last reply read goes to the plug-in
  // after the greeting, as if it had never been read.
  m_server->Preload(m_greeting + m_in);
  UpstreamTlsOutcome outcome;
  outcome.result = UpstreamTlsOutcome::kPlain;
  return Finish(std::move(outcome));
}

UpstreamTlsOutcome StartUpstreamTls(Stream* server, UpstreamTls mode,
                                    const std::shared_ptr<const TlsContext>& context,
                                    const std::string& name, int replyTimeoutMs,
                                    int handshakeTimeoutMs, const std::atomic<bool>* abort) {
  UpstreamTlsSetUp setUp(server, mode, context, name, replyTimeoutMs, handshakeTimeoutMs);
  setUp.Run(abort);
  return setUp.Outcome();
}
