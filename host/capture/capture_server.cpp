// The embedded capture server. See capture_server.h.
#include "host/capture/capture_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "host/base/log.h"
#include "host/base/os.h"

namespace {

std::atomic<uint64_t> g_messageNumber{0};

std::string Upper(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return text.size() >= n && Upper(text.substr(0, n)) == prefix;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

// The path of "MAIL FROM:<path> params" or "RCPT TO:<path> params", and the
// parameters after it.
void SplitPath(const std::string& argument, std::string* path, std::string* parameters) {
  const std::string text = Trim(argument);
  size_t end;
  if (!text.empty() && text[0] == '<') {
    end = text.find('>');
    end = end == std::string::npos ? text.size() : end + 1;
  } else {
    end = text.find(' ');
    if (end == std::string::npos) end = text.size();
  }
  *path = text.substr(0, end);
  *parameters = end < text.size() ? Trim(text.substr(end)) : "";
}

}  // namespace

bool OutboxSink::Begin() {
  Abort();
  const uint64_t number = ++g_messageNumber;
  const unsigned long pid = OsProcessId();
  std::tm local{};
  OsLocalTime(std::time(nullptr), &local);
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  const std::string suffix = std::to_string(pid) + "-" + std::to_string(number);
  m_tempPath = m_directory + "/." + suffix + ".tmp";
  m_finalName = std::string(stamp) + "-" + suffix + ".eml";
  // Created afresh and private: an existing name (a planted link) fails.
  std::string error;
  m_file = OsCreatePrivateFile(m_tempPath, &error);
  if (m_file == nullptr) m_tempPath.clear();
  return m_file != nullptr;
}

bool OutboxSink::Write(const char* data, size_t length) {
  return m_file != nullptr && std::fwrite(data, 1, length, m_file) == length;
}

std::string OutboxSink::Commit() {
  if (m_file == nullptr) return "";
  // On the disk before it is renamed, and the rename on the disk before the
  // server answers 250.
  const bool written = std::ferror(m_file) == 0 && OsSyncFile(m_file);
  const bool closed = std::fclose(m_file) == 0;
  m_file = nullptr;
  std::error_code error;
  if (written && closed) {
    std::filesystem::rename(m_tempPath, m_directory + "/" + m_finalName, error);
    if (!error && OsSyncDirectory(m_directory)) {
      m_tempPath.clear();
      return m_finalName;
    }
    if (!error) {
      // Renamed but not known to be durable: not stored.
      std::filesystem::remove(m_directory + "/" + m_finalName, error);
    }
  }
  std::filesystem::remove(m_tempPath, error);
  m_tempPath.clear();
  return "";
}

void OutboxSink::Abort() {
  if (m_file != nullptr) {
    std::fclose(m_file);
    m_file = nullptr;
  }
  if (!m_tempPath.empty()) {
    std::error_code error;
    std::filesystem::remove(m_tempPath, error);
    m_tempPath.clear();
  }
}

std::string SmtpCaptureSession::Greeting() {
  return "220 localhost ESMTP divivez-proxy capture server ready\r\n";
}

void SmtpCaptureSession::ResetTransaction() {
  m_hasSender = false;
  m_sender.clear();
  m_recipients = 0;
}

size_t SmtpCaptureSession::Feed(const char* data, size_t length, std::string* replies) {
  size_t used = 0;
  char content[4096 + DotUnstuffer::kMaxExtraOutput];
  while (used < length && !m_quit) {
    if (m_inData) {
      const size_t piece = std::min(length - used, sizeof content - DotUnstuffer::kMaxExtraOutput);
      size_t produced = 0;
      used += m_unstuffer.Feed(data + used, piece, content, &produced);
      m_dataBytes += produced;
      if (m_dataBytes > kMaxMessageBytes) m_tooBig = true;
      if (!m_dataFailed && !m_tooBig && produced > 0 && !m_sink->Write(content, produced)) {
        m_dataFailed = true;
      }
      if (m_unstuffer.Done()) EndOfData(replies);
      continue;
    }
    const char c = data[used++];
    if (c != '\n') {
      if (m_line.size() < kMaxLine) {
        m_line.push_back(c);
      } else {
        m_lineTooLong = true;
      }
      continue;
    }
    if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
    if (m_lineTooLong) {
      replies->append("500 5.5.2 Error: line too long\r\n");
    } else {
      Command(m_line, replies);
    }
    m_line.clear();
    m_lineTooLong = false;
  }
  return used;
}

void SmtpCaptureSession::EndOfData(std::string* replies) {
  m_inData = false;
  if (m_tooBig) {
    m_sink->Abort();
    replies->append("552 5.3.4 Error: message file too big\r\n");
  } else if (m_dataFailed) {
    m_sink->Abort();
    replies->append("451 4.3.0 Error: cannot store the message\r\n");
  } else {
    const std::string name = m_sink->Commit();
    if (name.empty()) {
      replies->append("451 4.3.0 Error: cannot store the message\r\n");
    } else {
      m_lastStored = name;
      m_lastStoredBytes = m_dataBytes;
      m_lastSender = m_sender;
      m_lastRecipients = m_recipients;
      ++m_storedCount;
      replies->append("250 2.0.0 Ok: queued as " + name + "\r\n");
    }
  }
  ResetTransaction();
}

void SmtpCaptureSession::Command(const std::string& line, std::string* replies) {
  const size_t space = line.find(' ');
  const std::string verb = Upper(line.substr(0, space));
  const std::string argument = space == std::string::npos ? "" : Trim(line.substr(space + 1));

  if (verb == "EHLO" || verb == "HELO") {
    if (argument.empty()) {
      replies->append("501 5.5.4 Syntax: " + verb + " hostname\r\n");
      return;
    }
    ResetTransaction();
    // NOT: no STARTTLS and no CHUNKING; the relay in front speaks DATA only.
    if (verb == "EHLO") {
      replies->append("250-localhost\r\n250-PIPELINING\r\n250-SIZE " +
                      std::to_string(kMaxMessageBytes) + "\r\n250 8BITMIME\r\n");
    } else {
      replies->append("250 localhost\r\n");
    }
  } else if (verb == "MAIL") {
    if (!StartsWithNoCase(argument, "FROM:")) {
      replies->append("501 5.5.4 Syntax: MAIL FROM:<address>\r\n");
      return;
    }
    if (m_hasSender) {
      replies->append("503 5.5.1 Error: nested MAIL command\r\n");
      return;
    }
    std::string path;
    std::string parameters;
    SplitPath(argument.substr(5), &path, &parameters);
    // RFC 1870: a declared size above the limit is refused at once.
    const std::string upper = Upper(parameters);
    const size_t size = upper.find("SIZE=");
    if (size != std::string::npos) {
      const unsigned long long declared = std::strtoull(upper.c_str() + size + 5, nullptr, 10);
      if (declared > kMaxMessageBytes) {
        replies->append("552 5.3.4 Message size exceeds fixed limit\r\n");
        return;
      }
    }
    m_hasSender = true;
    m_sender = path;
    replies->append("250 2.1.0 Ok\r\n");
  } else if (verb == "RCPT") {
    if (!StartsWithNoCase(argument, "TO:")) {
      replies->append("501 5.5.4 Syntax: RCPT TO:<address>\r\n");
    } else if (!m_hasSender) {
      replies->append("503 5.5.1 Error: need MAIL command\r\n");
    } else if (m_recipients >= kMaxRecipients) {
      replies->append("452 4.5.3 Error: too many recipients\r\n");
    } else {
      ++m_recipients;
      replies->append("250 2.1.5 Ok\r\n");
    }
  } else if (verb == "DATA") {
    if (m_recipients == 0) {
      replies->append("503 5.5.1 Error: need RCPT command\r\n");
    } else if (!m_sink->Begin()) {
      replies->append("451 4.3.0 Error: cannot store the message\r\n");
    } else {
      m_inData = true;
      m_dataFailed = false;
      m_tooBig = false;
      m_dataBytes = 0;
      m_unstuffer.Reset();
      replies->append("354 End data with <CR><LF>.<CR><LF>\r\n");
    }
  } else if (verb == "RSET") {
    ResetTransaction();
    replies->append("250 2.0.0 Ok\r\n");
  } else if (verb == "NOOP") {
    replies->append("250 2.0.0 Ok\r\n");
  } else if (verb == "QUIT") {
    m_quit = true;
    replies->append("221 2.0.0 Bye\r\n");
  } else if (verb == "VRFY") {
    replies->append("252 2.0.0 Cannot VRFY user, but will accept the message\r\n");
  } else if (verb.empty()) {
    replies->append("500 5.5.2 Error: bad syntax\r\n");
  } else {
    replies->append("502 5.5.2 Error: command not recognized\r\n");
  }
}

namespace {

struct CaptureConnection {
  NetSocket socket = kNetInvalidSocket;
  std::string peer;
  std::unique_ptr<OutboxSink> sink;
  std::unique_ptr<SmtpCaptureSession> session;
  std::string pending;  // replies not yet sent
  size_t pendingSent = 0;
  bool closing = false;  // replies out, now waiting for the peer to close
  std::chrono::steady_clock::time_point closeDeadline;
};

// Stop reading a client whose replies pile up (pipelining into a peer that
// does not read).
constexpr size_t kMaxPendingReplies = 64 * 1024;

}  // namespace

bool CaptureServer::Start(uint16_t* port, std::string* error) {
  std::error_code fsError;
  const bool created = std::filesystem::create_directories(m_outbox, fsError);
  if (created) OsMakePrivateDirectory(m_outbox);
  if (fsError || !std::filesystem::is_directory(m_outbox)) {
    *error = "cannot create outbox " + m_outbox +
             (fsError ? ": " + fsError.message() : ": not a directory");
    return false;
  }
  bool resolveFailed = false;
  m_listener = NetListen("127.0.0.1", 0, port, &resolveFailed, error);
  if (m_listener == kNetInvalidSocket) return false;
  m_started = true;
  m_thread = std::thread([this] { Run(); });
  return true;
}

void CaptureServer::Stop() {
  if (!m_started) return;
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  NetClose(m_listener);
  m_listener = kNetInvalidSocket;
  m_started = false;
}

void CaptureServer::Run() {
  std::vector<std::unique_ptr<CaptureConnection>> connections;
  std::vector<NetPollItem> items;
  std::vector<char> buffer(16384);
  std::chrono::milliseconds acceptPause(0);
  std::chrono::steady_clock::time_point acceptPausedUntil;
  while (!m_stop.load()) {
    items.clear();
    // After a failed accept (out of descriptors) the listener is left out
    // of the poll for a while, so that it does not keep the loop spinning.
    const bool listening = std::chrono::steady_clock::now() >= acceptPausedUntil;
    const size_t first = listening ? 1 : 0;
    if (listening) items.push_back(NetPollItem{m_listener, kNetIn, 0});
    for (auto& connection : connections) {
      short events = 0;
      const bool hasPending = connection->pendingSent < connection->pending.size();
      if (hasPending) events |= kNetOut;
      if (!hasPending || connection->pending.size() < kMaxPendingReplies) events |= kNetIn;
      items.push_back(NetPollItem{connection->socket, events, 0});
    }
    if (items.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (NetPoll(items.data(), items.size(), 200) < 0) continue;

    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < connections.size(); ++i) {
      CaptureConnection& c = *connections[i];
      const short revents = items[i + first].revents;
      bool drop = false;
      if (revents & (kNetIn | kNetHup | kNetErr)) {
        const int n = NetRecv(c.socket, buffer.data(), static_cast<int>(buffer.size()));
        if (n == 0 || n == kNetError) {
          drop = true;
        } else if (n > 0 && !c.closing) {
          const uint64_t before = c.session->StoredCount();
          c.session->Feed(buffer.data(), static_cast<size_t>(n), &c.pending);
          const uint64_t stored = c.session->StoredCount() - before;
          if (stored > 0) {
            m_stored += stored;
            if (m_log != nullptr) {
              m_log->Line("capture: stored %s/%s (%llu bytes, from %s, %zu recipient(s))%s",
                          m_outbox.c_str(), c.session->LastStored().c_str(),
                          static_cast<unsigned long long>(c.session->LastStoredBytes()),
                          LogSafe(c.session->LastSender()).c_str(), c.session->LastRecipients(),
                          stored > 1 ? " and earlier ones of the same read" : "");
            }
          }
        }
      }
      if (!drop && c.pendingSent < c.pending.size()) {
        const int n = NetSend(c.socket, c.pending.data() + c.pendingSent,
                              static_cast<int>(c.pending.size() - c.pendingSent));
        if (n > 0) c.pendingSent += static_cast<size_t>(n);
        if (n == kNetError) drop = true;
        if (c.pendingSent == c.pending.size()) {
          c.pending.clear();
          c.pendingSent = 0;
        }
      }
      if (!drop && !c.closing && c.session->Quit() && c.pending.empty()) {
        // After "221" (RFC 5321 section 4.1.1.10) the server closes; it waits
        // briefly for the client's own close so that no reset overtakes the
        // reply.
        NetShutdownSend(c.socket);
        c.closing = true;
        c.closeDeadline = now + std::chrono::seconds(2);
      }
      if (c.closing && now >= c.closeDeadline) drop = true;
      if (drop) {
        NetClose(c.socket);
        connections[i].reset();
      }
    }
    connections.erase(std::remove(connections.begin(), connections.end(), nullptr),
                      connections.end());

    if (listening && (items[0].revents & kNetIn)) {
      for (;;) {
        std::string peer;
        bool failed = false;
        NetSocket socket = NetAccept(m_listener, &peer, &failed);
        if (socket == kNetInvalidSocket) {
          if (failed) {
            acceptPause = std::min(std::max(acceptPause * 2, std::chrono::milliseconds(50)),
                                   std::chrono::milliseconds(1000));
            acceptPausedUntil = std::chrono::steady_clock::now() + acceptPause;
            if (m_log != nullptr && acceptPause.count() == 50) {
              m_log->Line("capture: accept failed: %s; pausing", NetLastErrorText().c_str());
            }
          }
          break;
        }
        acceptPause = std::chrono::milliseconds(0);
        auto connection = std::make_unique<CaptureConnection>();
        connection->socket = socket;
        connection->peer = peer;
        connection->sink = std::make_unique<OutboxSink>(m_outbox);
        connection->session = std::make_unique<SmtpCaptureSession>(connection->sink.get());
        connection->pending = SmtpCaptureSession::Greeting();
        connections.push_back(std::move(connection));
      }
    }
  }
  for (auto& connection : connections) NetClose(connection->socket);
}
