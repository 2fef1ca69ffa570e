// The bridge between the proxy and the plug-in: the socket service the host
// lends it, its scan and progress callback, and what the host does with each
// verdict. The plug-in's calls arrive on a connection's thread, which
// BindConnectionThread ties to its record.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

#include "host/capture/quarantine.h"
#include "host/proxy/connection.h"

namespace {

Proxy* g_proxy = nullptr;
thread_local Proxy::Connection* t_connection = nullptr;
const std::atomic<bool>* g_abort = nullptr;
int g_sendTimeoutMs = 600000;

void SawSent(NetSocket socket, const char* data, int length);
void SawReceived(NetSocket socket, const char* data, int length);
bool* DrainedFlag(NetSocket socket);
bool ConnectionCut();

// The socket service the host gives the plug-in (--socket-service host).
// Sockets are non-blocking: Receive never waits; Send waits for the peer as
// long as needed, up to the idle time-out, then shuts the socket down so the
// connection's thread sees it fail and ends the connection.
class HostSocketService final : public ISocket {
 public:
  void Reserved() override {}
  int Receive(SOCKET socket, char* buffer, int size) override {
    // The plug-in reads until a read comes back empty; after a short read
    // that last read is answered here without a system call. Whatever
    // arrives meanwhile is seen by the connection's next poll.
    bool* const drained = DrainedFlag(static_cast<NetSocket>(socket));
    if (drained != nullptr && *drained) return 0;
    const int n = NetRecv(static_cast<NetSocket>(socket), buffer, size);
    if (n <= 0) return 0;
    SawReceived(static_cast<NetSocket>(socket), buffer, n);
    if (drained != nullptr && n < size) *drained = true;
    return n;
  }
  BOOL Send(SOCKET socket, const char* data, int length) override {
    // What goes out on a socket may draw an answer on it.
    bool* const drained = DrainedFlag(static_cast<NetSocket>(socket));
    if (drained != nullptr) *drained = false;
    if (length <= 0) return TRUE;
    if (NetSendAll(static_cast<NetSocket>(socket), data, static_cast<size_t>(length),
                   g_sendTimeoutMs, g_abort)) {
      SawSent(static_cast<NetSocket>(socket), data, length);
      return TRUE;
    }
    // A connection the host has cut keeps its read side: the client's last
    // bytes are drained when it is closed, so that no reset overtakes the
    // host's reply.
    if (!ConnectionCut()) NetShutdownBoth(static_cast<NetSocket>(socket));
    return FALSE;
  }
};

HostSocketService g_socketService;

void DIVIVEZ_CDECL HostCallbackEntry(int code, ScanRequest* request) {
  if (request == nullptr || g_proxy == nullptr) return;
  // No exception may cross into the plug-in.
  try {
    g_proxy->HandleCallback(code, request);
  } catch (...) {
  }
}

}  // namespace

void BindConnectionThread(Proxy::Connection* c) { t_connection = c; }

namespace {

// The plug-in's sends run on the connection's thread (keep-alives included:
// the host sends them from the scanning thread).
void SawSent(NetSocket socket, const char* data, int length) {
  Proxy::Connection* c = t_connection;
  if (c == nullptr || g_proxy == nullptr) return;
  if (socket == c->serverSocket) {
    c->sentToServer += static_cast<uint64_t>(length);
  } else if (socket == c->clientSocket) {
    g_proxy->ToClient(c, data, static_cast<size_t>(length));
  }
}

// What the plug-in read through the host's socket service.
void SawReceived(NetSocket socket, const char* data, int length) {
  Proxy::Connection* c = t_connection;
  if (c == nullptr || g_proxy == nullptr) return;
  if (socket == c->clientSocket) {
    g_proxy->FromClient(c, data, static_cast<size_t>(length));
  } else if (socket == c->serverSocket) {
    g_proxy->FromServer(c, data, static_cast<size_t>(length));
  }
}

bool* DrainedFlag(NetSocket socket) {
  Proxy::Connection* c = t_connection;
  if (c == nullptr) return nullptr;
  if (socket == c->clientSocket) return &c->clientDrained;
  if (socket == c->serverSocket) return &c->serverDrained;
  return nullptr;
}

bool ConnectionCut() {
  const Proxy::Connection* c = t_connection;
  return c != nullptr && !c->cut.empty();
}

// The short reason a client hears for a scan error.
const char* ScanErrorReply(const std::string& error) {
  if (error.find("did not answer") != std::string::npos) {
    return "451 4.7.0 Virus scan timed out, try again later\r\n";
  }
  if (error.find("cannot reach") != std::string::npos) {
    return "451 4.7.0 Virus scanner unavailable, try again later\r\n";
  }
  return "451 4.7.0 Virus scan failed, try again later\r\n";
}

}  // namespace

Proxy::Proxy(const ProxySettings& settings, const PluginApi& plugin, IScanner* scanner, Logger* log)
    : m_settings(settings), m_plugin(plugin), m_scanner(scanner), m_log(log) {
  g_proxy = this;
  g_abort = &m_abort;
  g_sendTimeoutMs = settings.idleTimeoutMs;
}

Proxy::~Proxy() {
  FreeLoops();
  NetClose(m_listener);
  g_proxy = nullptr;
}

void Proxy::ConfigurePlugin() {
  m_plugin.RegisterCallback(HostCallbackEntry);
  m_plugin.SetISocket(m_settings.socketService == SocketService::kHost ? &g_socketService
                                                                       : nullptr);
  if (m_settings.keepaliveSeconds > 0) m_plugin.SetTimeoutProtection(m_settings.keepaliveSeconds);
}

void Proxy::HandleCallback(int code, ScanRequest* request) {
  Connection* c = t_connection;
  // The callback runs inside a request call of this thread's connection; a
  // record naming another client object would be a plug-in fault.
  if (c != nullptr && request->pSockApplication != &c->client) c = nullptr;
  if (code == kScanCodeScan) {
    HandleScan(c, request);
  } else if (code == kScanCodeProgress) {
    HandleProgress(c, request);
  }
}

void Proxy::CutFromCallback(Connection* c, const char* reply, const std::string& why) {
  // The client waits for the answer to its end of data; it hears ours, then
  // the end of the stream. The server, which has not been sent DATA, sees
  // the connection end and drops the open transaction. Both handles stay
  // open: the plug-in may still use them until OnEndConnection, and what it
  // sends now fails.
  NetSendAll(c->clientSocket, reply, std::strlen(reply), 5000, &m_abort);
  NetShutdownSend(c->clientSocket);
  NetShutdownBoth(c->serverSocket);
  c->cut = why;
  c->toldClosing = true;
}

void Proxy::HandleScan(Connection* c, ScanRequest* request) {
  const std::string path = request->pszDataFileName != nullptr ? request->pszDataFileName : "";
  if (c != nullptr) CheckDelivery(c, "a later message was scanned first");
  ++m_counters.messages;
  const int number = c != nullptr ? ++c->messages : 0;
  std::string label =
      (c != nullptr ? c->Label() : std::string("conn ?")) + " msg " + std::to_string(number);
  std::string envelope;
  if (c != nullptr) {
    // The message has ended, whatever the host's view of the stream was.
    c->inData = false;
    c->awaiting = true;
    c->owed = true;
    c->dataEnd = DataEndFinder();
    envelope = " from " + LogSafe(c->sender) + " to " + LogSafe(c->firstRecipient);
    if (c->recipients > 1) envelope += " (+" + std::to_string(c->recipients - 1) + ")";
  }
  std::error_code fsError;
  const uint64_t size = path.empty() ? 0 : std::filesystem::file_size(path, fsError);
  request->szInsertText[0] = '\0';

  // The spool file holds the message as sent, with its final ".\r\n".
  const uint64_t messageSize = size >= 3 ? size - 3 : size;
  if (m_settings.maxMessageSize > 0 && messageSize > m_settings.maxMessageSize) {
    ++m_counters.oversize;
    request->nScanResult = 1;
    if (c != nullptr) {
      CutFromCallback(c, kOversizeReply, "message over --max-message-size, answered 552");
      c->progress = Clock::now();
    }
    m_log->Line(
        "%s%s: %llu bytes, over --max-message-size %llu: answered 552 5.3.4, not "
        "delivered",
        label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size),
        static_cast<unsigned long long>(m_settings.maxMessageSize));
    return;
  }

  std::function<void()> keepAlive;
  int intervalMs = 0;
  if (request->bTimeoutProtection != 0 && request->pfnTimeoutProtection != nullptr) {
    const TimeoutProtectionFunc function = request->pfnTimeoutProtection;
    void* argument = request->pTimeoutProtectionArg;
    keepAlive = [function, argument] { function(argument); };
    intervalMs = static_cast<int>(request->dwTimeoutProtection);
  }
  ScanPacer pacer(keepAlive, intervalMs);
  const Clock::time_point scanStart = Clock::now();
  ScanResult result;
  if (path.empty()) {
    result.error = "the plug-in named no spool file";
  } else {
    if (!m_scanner->QuickFor(size)) LeaveLoopBeforeWaiting();
    result = m_scanner->Scan(path, pacer);
  }
  const long scanMs = MillisecondsSince(scanStart);
  m_counters.scanSeconds.Observe(MicrosecondsSince(scanStart));
  if (c != nullptr) c->progress = Clock::now();
  const std::string keepAlives =
      pacer.Sent() > 0 ? ", " + std::to_string(pacer.Sent()) + " keep-alive(s)" : "";

  std::string verdict;
  switch (result.verdict) {
    case Verdict::kInfected:
      request->nScanResult = 1;
      ++m_counters.infected;
      ++m_counters.dropped;
      m_log->Line("%s%s: %llu bytes, INFECTED (%s), dropped; scan %ld ms%s", label.c_str(),
                  envelope.c_str(), static_cast<unsigned long long>(size),
                  LogSafe(result.signature).c_str(), scanMs, keepAlives.c_str());
      if (m_settings.quarantine != nullptr) {
        QuarantineRecord kept;
        kept.message = number;
        kept.signature = result.signature;
        if (c != nullptr) {
          kept.connection = c->id;
          kept.client = c->peer;
          kept.sender = c->sender;
          kept.firstRecipient = c->firstRecipient;
          kept.recipients = c->recipients;
        }
        LeaveLoopBeforeWaiting();  // a copy to disk
        m_settings.quarantine->Keep(path, kept, label);
      }
      return;
    case Verdict::kError: {
      ++m_counters.scanErrors;
      const std::string error = LogSafe(result.error);
      if (m_settings.onScanError == ScanErrorPolicy::kTempfail && c != nullptr) {
        request->nScanResult = 1;  // keeps DATA from going out
        ++m_counters.tempfailed;
        const char* reply = ScanErrorReply(result.error);
        CutFromCallback(c, reply, "scan failed, answered 451");
        m_log->Line(
            "%s%s: %llu bytes, scan failed (%s): answered %.9s and closed, not delivered "
            "(--on-scan-error tempfail); scan %ld ms%s",
            label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str(),
            reply, scanMs, keepAlives.c_str());
        return;
      }
      if (m_settings.onScanError != ScanErrorPolicy::kPass) {
        // drop, or tempfail for a record the host cannot tie to a connection.
        request->nScanResult = 1;
        ++m_counters.errorDropped;
        ++m_counters.dropped;
        m_log->Line(
            "%s%s: %llu bytes, scan failed (%s), dropped (--on-scan-error %s); scan %ld ms%s",
            label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str(),
            ScanErrorPolicyName(m_settings.onScanError), scanMs, keepAlives.c_str());
        return;
      }
      // Passed unscanned: no "scanned" header on it.
      request->nScanResult = 0;
      ++m_counters.unscanned;
      m_log->Line(
          "WARNING: %s%s: %llu bytes, scan failed (%s); passing it UNSCANNED "
          "(--on-scan-error pass)",
          label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str());
      verdict = "UNSCANNED (scan failed: " + error + ")";
      break;
    }
    case Verdict::kClean: {
      request->nScanResult = 0;
      ++m_counters.clean;
      const size_t n = std::min(m_settings.insertText.size(), sizeof request->szInsertText - 1);
      std::memcpy(request->szInsertText, m_settings.insertText.data(), n);
      request->szInsertText[n] = '\0';
      verdict = "clean";
      break;
    }
  }
  if (c == nullptr) {
    m_log->Line("%s: %llu bytes, %s; scan %ld ms", label.c_str(),
                static_cast<unsigned long long>(size), verdict.c_str(), scanMs);
    return;
  }
  Connection::Message& message = c->message;
  message = Connection::Message();
  message.active = true;
  message.number = number;
  message.size = size;
  message.spool = path;
  message.label = std::move(label);
  message.envelope = std::move(envelope);
  message.verdict = verdict + keepAlives;
  message.scanMs = scanMs;
  message.scanEnd = Clock::now();
  message.sentToServerAtScan = c->sentToServer;
}

void Proxy::HandleProgress(Connection* c, const ScanRequest* request) {
  if (c == nullptr || !c->message.active) return;
  Connection::Message& message = c->message;
  const uint32_t total = request->dwKBytesTotal;
  const uint32_t done = std::min(request->dwKBytesDone, total);
  const unsigned percent =
      total == 0 ? 100u : static_cast<unsigned>(static_cast<uint64_t>(done) * 100 / total);
  // Called after every 8 KiB the plug-in delivers: nothing is built or
  // written unless the bar or a quarter mark moves.
  if (m_log->Terminal()) {
    if (percent != message.shownPercent && percent < 100) {
      message.shownPercent = percent;
      m_log->Progress(message.label + " delivering", percent);
    }
    return;
  }
  // A quarter line is worth reading only where delivery takes a while: for
  // large messages, and for any whose delivery has lasted a second. Without
  // this, most messages of a few dozen KiB would log three lines in the
  // millisecond they take.
  const unsigned quarter = percent / 25;
  if (quarter > message.reportedQuarter && quarter < 4) {
    message.reportedQuarter = quarter;
    if (total >= kProgressLogKiB || Clock::now() - message.scanEnd >= kSlowDelivery) {
      m_log->Line("%s: delivering, %u%% (%u of %u KiB)", message.label.c_str(), quarter * 25, done,
                  total);
    }
  }
}
