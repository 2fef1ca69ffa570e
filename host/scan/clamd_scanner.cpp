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
constexpr size_t kMaxReply = 1024;

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

}  // namespace

ScanResult ParseClamdReply(const std::string& reply) {
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
    return Failure("clamd: " + line);
  }
  if (line.compare(0, prefix.size(), prefix) == 0 && EndsWith(line, " FOUND") &&
      line.size() > prefix.size() + 6) {
    ScanResult result;
    result.verdict = Verdict::kInfected;
    result.signature = line.substr(prefix.size(), line.size() - prefix.size() - 6);
    return result;
  }
  if (line.empty()) return Failure("clamd: empty reply");
  return Failure("clamd: unexpected reply '" + line + "'");
}

ClamdScanner::ClamdScanner(std::string unixPath, Endpoint endpoint, int timeoutMs)
    : m_unixPath(std::move(unixPath)), m_endpoint(std::move(endpoint)), m_timeoutMs(timeoutMs) {}

std::string ClamdScanner::Describe() const {
  return m_unixPath.empty() ? "clamd at tcp " + EndpointText(m_endpoint)
                            : "clamd at unix socket " + m_unixPath;
}

ScanResult ClamdScanner::Scan(const std::string& path, ScanPacer& pacer) {
  const int64_t deadline = NowMs() + m_timeoutMs;
  auto left = [&]() -> int {
    const int64_t ms = deadline - NowMs();
    return ms > 0 ? static_cast<int>(ms) : 0;
  };

  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Failure("cannot open " + path + ": " + std::strerror(errno));

  std::string error;
  NetSocket daemon = m_unixPath.empty()
                         ? NetConnect(m_endpoint.host, m_endpoint.port, left(), &error)
                         : NetConnectUnix(m_unixPath, left(), &error);
  if (daemon == kNetInvalidSocket) {
    std::fclose(file);
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
  std::string reply;
  char buffer[256];
  bool timedOut = false;
  for (;;) {
    const int n = NetRecv(daemon, buffer, sizeof buffer);
    if (n > 0) {
      reply.append(buffer, static_cast<size_t>(n));
      if (reply.find('\0') != std::string::npos || reply.size() >= kMaxReply) break;
      continue;
    }
    if (n == 0 || n == kNetError) break;
    if (left() == 0) {
      timedOut = true;
      break;
    }
    NetPollItem item{daemon, kNetIn, 0};
    NetPoll(&item, 1, pacer.SliceMs(left()));
    pacer.Tick();
  }
  NetClose(daemon);
  const size_t nul = reply.find('\0');
  if (nul != std::string::npos) reply.resize(nul);
  if (reply.empty()) {
    if (timedOut) {
      return Failure(Describe() + " did not answer within " + std::to_string(m_timeoutMs) + " ms");
    }
    return Failure(Describe() + (sendFailed ? ": connection lost while sending the message"
                                            : ": connection closed without a reply"));
  }
  return ParseClamdReply(reply);
}
