// The ClamAV daemon scanner. See clamd_scanner.h.
#include "host/scan/clamd_scanner.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/base/net.h"
#include "host/smtp/smtp_data.h"

namespace {

constexpr size_t kChunkSize = 16384;
constexpr size_t kMaxReply = kClamdMaxReply;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PutBigEndian32(char* out, uint32_t value) {
  out[0] = static_cast<char>(value >> 24);
  out[1] = static_cast<char>(value >> 16);
  out[2] = static_cast<char>(value >> 8);
  out[3] = static_cast<char>(value);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

ScanResult Failure(const std::string& why) {
  ScanResult result;
  result.verdict = Verdict::kError;
  result.error = why;
  return result;
}

// How a read of the daemon's reply ended.
enum class ReplyEnd { kComplete, kClosed, kTimedOut, kTooLong };

// Reads the daemon's NUL-terminated reply until its NUL, a close, kMaxReply
// bytes or deadlineMs, ticking the pacer while it waits. The reply without
// its NUL. Only kComplete is a reply: what came before a missing NUL may be
// any prefix of one, "stream: OK" as well that of "stream: OK.Name FOUND".
std::string ReadReply(NetSocket daemon, int64_t deadlineMs, ScanPacer& pacer, ReplyEnd* end) {
  std::string reply;
  char buffer[256];
  for (;;) {
    const int n = NetRecv(daemon, buffer, sizeof buffer);
    if (n > 0) {
      switch (TakeClamdReplyBytes(&reply, buffer, static_cast<size_t>(n))) {
        case ClamdReplyState::kComplete:
          *end = ReplyEnd::kComplete;
          return reply;
        case ClamdReplyState::kTooLong:
          *end = ReplyEnd::kTooLong;
          return reply;
        case ClamdReplyState::kMore:
          break;
      }
      continue;
    }
    if (n == 0 || n == kNetError) {
      *end = ReplyEnd::kClosed;
      return reply;
    }
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) {
      *end = ReplyEnd::kTimedOut;
      return reply;
    }
    NetPollItem item{daemon, kNetIn, 0};
    NetPoll(&item, 1, pacer.SliceMs(static_cast<int>(left)));
    pacer.Tick();
  }
}

// Why a reply that did not end with its NUL is none, for the log. "did not
// answer" is what tells the client of a time-out (plugin_bridge.cpp).
std::string Unfinished(ReplyEnd end, const std::string& partial, int timeoutMs) {
  const std::string quoted = "'" + partial.substr(0, 80) + "'";
  switch (end) {
    case ReplyEnd::kTooLong:
      return "a reply of over " + std::to_string(kMaxReply) + " bytes without its end";
    case ReplyEnd::kTimedOut:
      return "did not answer within " + std::to_string(timeoutMs) + " ms" +
             (partial.empty() ? "" : " (reply " + quoted + " left unfinished)");
    case ReplyEnd::kClosed:
    case ReplyEnd::kComplete:
      break;
  }
  return partial.empty() ? "connection closed without a reply"
                         : "connection closed in the middle of reply " + quoted;
}

}  // namespace

ClamdReplyState TakeClamdReplyBytes(std::string* reply, const char* data, size_t length) {
  reply->append(data, length);
  const size_t nul = reply->find('\0');
  if (nul != std::string::npos) {
    reply->resize(nul);
    return ClamdReplyState::kComplete;
  }
  return reply->size() >= kMaxReply ? ClamdReplyState::kTooLong : ClamdReplyState::kMore;
}

ScanResult ParseClamdReply(const std::string& reply, ScanFault* fault) {
  ScanFault ignored;
  if (fault == nullptr) fault = &ignored;
  *fault = ScanFault::kNone;
  std::string line = reply;
  while (!line.empty() && (line.back() == '\0' || line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  const std::string prefix = "stream: ";
  if (line == prefix + "OK") {
    ScanResult result;
    result.verdict = Verdict::kClean;
    return result;
  }
  if (EndsWith(line, " ERROR") || line == "ERROR") {
    // "INSTREAM size limit exceeded. ERROR" follows StreamMaxLength, which is
    // about the message; "Can't allocate memory ERROR" and failures to make
    // a temporary file are about the daemon.
    if (line.find("size limit") != std::string::npos) {
      *fault = ScanFault::kMessage;
    } else if (line.find("allocate") != std::string::npos ||
               line.find("memory") != std::string::npos ||
               line.find("temporary") != std::string::npos) {
      *fault = ScanFault::kDaemon;
    } else {
      *fault = ScanFault::kReply;
    }
    return Failure("clamd: " + line);
  }
  if (line.compare(0, prefix.size(), prefix) == 0 && EndsWith(line, " FOUND") &&
      line.size() > prefix.size() + 6) {
    ScanResult result;
    result.verdict = Verdict::kInfected;
    result.signature = line.substr(prefix.size(), line.size() - prefix.size() - 6);
    return result;
  }
  *fault = ScanFault::kDaemon;
  if (line.empty()) return Failure("clamd: empty reply");
  return Failure("clamd: unexpected reply '" + line + "'");
}

ClamdScanner::ClamdScanner(std::string unixPath, Endpoint endpoint, int timeoutMs)
    : m_unixPath(std::move(unixPath)), m_endpoint(std::move(endpoint)), m_timeoutMs(timeoutMs) {}

std::string ClamdScanner::Describe() const {
  return m_unixPath.empty() ? "clamd at tcp " + EndpointText(m_endpoint)
                            : "clamd at unix socket " + m_unixPath;
}

std::string ClamdScanner::Name() const {
  return m_unixPath.empty() ? EndpointText(m_endpoint) : "unix:" + m_unixPath;
}

NetSocket ClamdScanner::Connect(int timeoutMs, std::string* error) const {
  return m_unixPath.empty() ? NetConnect(m_endpoint.host, m_endpoint.port, timeoutMs, error)
                            : NetConnectUnix(m_unixPath, timeoutMs, error);
}

bool ClamdScanner::Ping(int timeoutMs, std::string* error) {
  const int64_t deadline = NowMs() + timeoutMs;
  NetSocket daemon = Connect(timeoutMs, error);
  if (daemon == kNetInvalidSocket) return false;
  static const char kCommand[] = "zPING";  // sent with its NUL
  ReplyEnd end = ReplyEnd::kClosed;
  ScanPacer silent(nullptr, 0);
  std::string reply;
  if (NetSendAll(daemon, kCommand, sizeof kCommand, timeoutMs, nullptr)) {
    reply = ReadReply(daemon, deadline, silent, &end);
  }
  NetClose(daemon);
  if (end == ReplyEnd::kComplete && reply == "PONG") return true;
  *error = end == ReplyEnd::kComplete ? "PING answered '" + reply + "'"
                                      : "PING: " + Unfinished(end, reply, timeoutMs);
  return false;
}

ScanResult ClamdScanner::Scan(const std::string& path, ScanPacer& pacer) {
  return Attempt(path, pacer, nullptr);
}

ScanResult ClamdScanner::Attempt(const std::string& path, ScanPacer& pacer, ScanFault* fault) {
  ScanFault ignored;
  if (fault == nullptr) fault = &ignored;
  *fault = ScanFault::kLocal;
  const int64_t deadline = NowMs() + m_timeoutMs;
  auto left = [&]() -> int {
    const int64_t ms = deadline - NowMs();
    return ms > 0 ? static_cast<int>(ms) : 0;
  };

  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Failure("cannot open " + path + ": " + std::strerror(errno));

  std::string error;
  NetSocket daemon = Connect(left(), &error);
  if (daemon == kNetInvalidSocket) {
    std::fclose(file);
    *fault = ScanFault::kDaemon;
    return Failure("cannot reach " + Describe() + ": " + error);
  }

  // The daemon parses the message as mail, so it gets the content with the
  // dot-stuffing undone and without the end-of-data line.
  static const char kCommand[] = "zINSTREAM";  // sent with its NUL
  bool sendFailed = !NetSendAll(daemon, kCommand, sizeof kCommand, left(), nullptr);
  std::vector<char> block(kChunkSize);
  std::vector<char> frame(4 + kChunkSize + DotUnstuffer::kMaxExtraOutput);
  DotUnstuffer unstuffer;
  while (!sendFailed && !unstuffer.Done()) {
    const size_t n = std::fread(block.data(), 1, block.size(), file);
    size_t produced = 0;
    if (n > 0) unstuffer.Feed(block.data(), n, frame.data() + 4, &produced);
    if (produced > 0) {
      PutBigEndian32(frame.data(), static_cast<uint32_t>(produced));
      sendFailed = !NetSendAll(daemon, frame.data(), 4 + produced, left(), nullptr);
    }
    pacer.Tick();
    if (n < block.size()) break;
  }
  const bool readError = std::ferror(file) != 0;
  std::fclose(file);
  if (readError) {
    NetClose(daemon);
    return Failure("read error on " + path);
  }
  if (!sendFailed) {
    const char end[4] = {0, 0, 0, 0};
    sendFailed = !NetSendAll(daemon, end, sizeof end, left(), nullptr);
  }

  // Even after a failed send there may be a reply: the daemon closes the
  // stream early with "INSTREAM size limit exceeded. ERROR".
  ReplyEnd end = ReplyEnd::kClosed;
  const std::string reply = ReadReply(daemon, deadline, pacer, &end);
  NetClose(daemon);
  if (end == ReplyEnd::kComplete) return ParseClamdReply(reply, fault);
  // Anything short of a whole reply is the daemon's failure, never a
  // verdict, however much of "stream: OK" came.
  *fault = ScanFault::kDaemon;
  if (sendFailed && reply.empty()) {
    return Failure(Describe() + ": connection lost while sending the message");
  }
  return Failure(Describe() + ": " + Unfinished(end, reply, m_timeoutMs));
}
