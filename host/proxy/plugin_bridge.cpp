// The bridge between the proxy and the plug-in. See plugin_bridge.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/plugin_bridge.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

#include "host/capture/quarantine.h"
#include "host/proxy/client_starttls.h"

namespace {

PluginBridge* g_bridge = nullptr;
thread_local Connection* t_connection = nullptr;
const std::atomic<bool>* g_abort = nullptr;
int g_sendTimeoutMs = 600000;

// The connection's stream that the plug-in's socket names; nullptr for any
// other socket.
Stream* StreamOf(SOCKET socket);
void SawReceived(const Stream* stream, const char* data, int length);
void SawSent(const Stream* stream, const char* data, size_t length);
bool ConnectionCut();

// The socket service the host gives the plug-in (--socket-service host).
// Sockets are non-blocking: Receive never waits; Send waits for the peer as
// long as needed, up to the idle time-out, then shuts the socket down so the
// connection's thread sees it fail and ends the connection.
class HostSocketService final : public ISocket {
 public:
  void Reserved() override {}
  int Receive(SOCKET socket, char* buffer, int size) override {
    Stream* const stream = StreamOf(socket);
    if (stream == nullptr) {
      return std::max(0, NetRecv(static_cast<NetSocket>(socket), buffer, size));
    }
    // The plug-in reads until a read comes back empty; after a short read
    // the stream answers that last read without a system call. Whatever
    // arrives meanwhile is seen by the connection's next poll.
    // STARTTLS toward the client: the gate stands between them.
    Connection* const c = t_connection;
    const int n = stream == &c->clientStream && c->clientTls.startTls.gate
                      ? GateReceive(c, buffer, size, g_sendTimeoutMs, g_abort)
                      : stream->ReceiveForPlugin(buffer, size);
    if (n > 0) SawReceived(stream, buffer, n);
    return n;
  }
  BOOL Send(SOCKET socket, const char* data, int length) override {
    Stream* const stream = StreamOf(socket);
    const size_t n = length > 0 ? static_cast<size_t>(length) : 0;
    Connection* const c = t_connection;
    const bool gated =
        stream != nullptr && stream == &c->clientStream && c->clientTls.startTls.gate;
    if (gated               ? GateSend(c, data, n, g_sendTimeoutMs, g_abort)
        : stream != nullptr ? stream->SendForPlugin(data, n, g_sendTimeoutMs, g_abort)
                            : n == 0 || NetSendAll(static_cast<NetSocket>(socket), data, n,
                                                   g_sendTimeoutMs, g_abort)) {
      if (n > 0 && stream != nullptr) SawSent(stream, data, n);
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
  if (request == nullptr || g_bridge == nullptr) return;
  // No exception may cross into the plug-in.
  try {
    g_bridge->HandleCallback(code, request);
  } catch (...) {
  }
}

}  // namespace

void BindConnectionThread(Connection* c) { t_connection = c; }

namespace {

// The plug-in's calls run on the connection's thread (keep-alives included:
// the host sends them from the scanning thread).
Stream* StreamOf(SOCKET socket) {
  Connection* c = t_connection;
  if (c == nullptr) return nullptr;
  if (static_cast<NetSocket>(socket) == c->clientStream.Socket()) return &c->clientStream;
  if (static_cast<NetSocket>(socket) == c->serverStream.Socket()) return &c->serverStream;
  return nullptr;
}

// What the plug-in read through the host's socket service.
void SawReceived(const Stream* stream, const char* data, int length) {
  Connection* c = t_connection;
  if (stream == &c->clientStream) {
    c->dialogue.FromClient(data, static_cast<size_t>(length), Clock::now());
  } else {
    c->dialogue.FromServer(data, static_cast<size_t>(length), Clock::now(), &c->message);
  }
}

// What the plug-in sent through the host's socket service (the server's
// count is the stream's own).
void SawSent(const Stream* stream, const char* data, size_t length) {
  Connection* c = t_connection;
  if (stream == &c->clientStream) c->dialogue.ToClient(data, length);
}

bool ConnectionCut() {
  const Connection* c = t_connection;
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

PluginBridge::PluginBridge(ProxyContext* context) : m_context(context) {
  g_bridge = this;
  g_abort = &context->abort;
  g_sendTimeoutMs = context->settings.idleTimeoutMs;
}

PluginBridge::~PluginBridge() { g_bridge = nullptr; }

void PluginBridge::Configure() {
  const ProxySettings& settings = m_context->settings;
  m_context->plugin.RegisterCallback(HostCallbackEntry);
  m_context->plugin.SetISocket(settings.socketService == SocketService::kHost ? &g_socketService
                                                                              : nullptr);
  if (settings.keepaliveSeconds > 0) {
    m_context->plugin.SetTimeoutProtection(settings.keepaliveSeconds);
  }
}

void PluginBridge::HandleCallback(int code, ScanRequest* request) {
  Connection* c = t_connection;
  // The callback runs inside a request call of this thread's connection; a
  // record naming another client object would be a plug-in fault.
  if (c != nullptr && request->pSockApplication != &c->client) c = nullptr;
  if (code == kScanCodeScan) {
    HandleScan(c, request);
  } else if (code == kScanCodeProgress) {
    if (c != nullptr) c->message.Progress(request->dwKBytesDone, request->dwKBytesTotal);
  } else if (code == kCallbackCodeConnection) {
    // Before the connection's first read: c->clientIp is the accepted peer's
    // address, or the PROXY header's behind a balancer.
    const bool trusted = c != nullptr && m_context->settings.trustForwarding.Contains(c->clientIp);
    request->nScanResult = trusted ? kConnectionTrustForwarding : 0;
  }
}

void PluginBridge::CutFromCallback(Connection* c, const char* reply, const std::string& why) {
  // The client waits for the answer to its end of data; it hears ours, then
  // the end of the stream. The server, which has not been sent DATA, sees
  // the connection end and drops the open transaction. Both handles stay
  // open: the plug-in may still use them until OnEndConnection, and what it
  // sends now fails.
  c->clientStream.SendAll(reply, std::strlen(reply), 5000, &m_context->abort);
  c->clientStream.ShutdownSend();
  c->serverStream.ShutdownBoth();
  c->cut = why;
  c->dialogue.MarkToldClosing();
}

void PluginBridge::HandleScan(Connection* c, ScanRequest* request) {
  const std::string path = request->pszDataFileName != nullptr ? request->pszDataFileName : "";
  if (c != nullptr) c->message.Check("a later message was scanned first");
  ++m_context->counters.messages;
  const int number = c != nullptr ? ++c->messages : 0;
  std::string label =
      (c != nullptr ? c->Label() : std::string("conn ?")) + " msg " + std::to_string(number);
  std::string envelope;
  if (c != nullptr) {
    // The message has ended, whatever the host's view of the stream was.
    c->dialogue.MessageTaken();
    envelope = c->dialogue.Envelope();
  }
  std::error_code fsError;
  const uint64_t size = path.empty() ? 0 : std::filesystem::file_size(path, fsError);
  request->szInsertText[0] = '\0';

  // The spool file holds the message as sent, with its final ".\r\n".
  const uint64_t messageSize = size >= 3 ? size - 3 : size;
  if (m_context->settings.maxMessageSize > 0 && messageSize > m_context->settings.maxMessageSize) {
    ++m_context->counters.oversize;
    request->nScanResult = 1;
    if (c != nullptr) {
      CutFromCallback(c, kOversizeReply, "message over --max-message-size, answered 552");
      c->dialogue.Touch(Clock::now());
    }
    m_context->log->Line(
        "%s%s: %llu bytes, over --max-message-size %llu: answered 552 5.3.4, not "
        "delivered",
        label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size),
        static_cast<unsigned long long>(m_context->settings.maxMessageSize));
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
    if (!m_context->scanner->QuickFor(size)) LoopGroup::LeaveBeforeWaiting();
    result = m_context->scanner->Scan(path, pacer);
  }
  const long scanMs = MillisecondsSince(scanStart);
  m_context->counters.scanSeconds.Observe(MicrosecondsSince(scanStart));
  if (c != nullptr) c->dialogue.Touch(Clock::now());
  const std::string keepAlives =
      pacer.Sent() > 0 ? ", " + std::to_string(pacer.Sent()) + " keep-alive(s)" : "";

  std::string verdict;
  switch (result.verdict) {
    case Verdict::kInfected: {
      const bool reject = m_context->settings.onInfected == InfectedPolicy::kReject;
      if (reject) {
        // The plug-in makes the name fit a reply line; here it only has to
        // fit the field. A NUL would end it early.
        request->nScanResult = kScanResultReject;
        const size_t n = std::min(result.signature.size(), sizeof request->szInsertText - 1);
        for (size_t i = 0; i < n; ++i) {
          request->szInsertText[i] = result.signature[i] != '\0' ? result.signature[i] : '?';
        }
        request->szInsertText[n] = '\0';
        ++m_context->counters.infectedRejected;
      } else {
        request->nScanResult = 1;
        ++m_context->counters.infected;
        ++m_context->counters.dropped;
      }
      m_context->log->Line("%s%s: %llu bytes, INFECTED (%s), %s; scan %ld ms%s", label.c_str(),
                           envelope.c_str(), static_cast<unsigned long long>(size),
                           LogSafe(result.signature).c_str(),
                           reject ? "rejected with 554 (--on-infected reject)" : "dropped", scanMs,
                           keepAlives.c_str());
      if (m_context->settings.quarantine != nullptr) {
        QuarantineRecord kept;
        kept.message = number;
        kept.signature = result.signature;
        if (c != nullptr) {
          kept.connection = c->id;
          kept.client = c->peer;
          kept.sender = c->dialogue.Sender();
          kept.firstRecipient = c->dialogue.FirstRecipient();
          kept.recipients = c->dialogue.Recipients();
        }
        LoopGroup::LeaveBeforeWaiting();  // a copy to disk
        m_context->settings.quarantine->Keep(path, kept, label);
      }
      return;
    }
    case Verdict::kError: {
      ++m_context->counters.scanErrors;
      const std::string error = LogSafe(result.error);
      if (m_context->settings.onScanError == ScanErrorPolicy::kTempfail && c != nullptr) {
        request->nScanResult = 1;  // keeps DATA from going out
        ++m_context->counters.tempfailed;
        const char* reply = ScanErrorReply(result.error);
        CutFromCallback(c, reply, "scan failed, answered 451");
        m_context->log->Line(
            "%s%s: %llu bytes, scan failed (%s): answered %.9s and closed, not delivered "
            "(--on-scan-error tempfail); scan %ld ms%s",
            label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str(),
            reply, scanMs, keepAlives.c_str());
        return;
      }
      if (m_context->settings.onScanError != ScanErrorPolicy::kPass) {
        // drop, or tempfail for a record the host cannot tie to a connection.
        request->nScanResult = 1;
        ++m_context->counters.errorDropped;
        ++m_context->counters.dropped;
        m_context->log->Line(
            "%s%s: %llu bytes, scan failed (%s), dropped (--on-scan-error %s); scan %ld ms%s",
            label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str(),
            ScanErrorPolicyName(m_context->settings.onScanError), scanMs, keepAlives.c_str());
        return;
      }
      // Passed unscanned: no "scanned" header on it.
      request->nScanResult = 0;
      ++m_context->counters.unscanned;
      m_context->log->Line(
          "WARNING: %s%s: %llu bytes, scan failed (%s); passing it UNSCANNED "
          "(--on-scan-error pass)",
          label.c_str(), envelope.c_str(), static_cast<unsigned long long>(size), error.c_str());
      verdict = "UNSCANNED (scan failed: " + error + ")";
      break;
    }
    case Verdict::kClean: {
      request->nScanResult = 0;
      ++m_context->counters.clean;
      const size_t n =
          std::min(m_context->settings.insertText.size(), sizeof request->szInsertText - 1);
      std::memcpy(request->szInsertText, m_context->settings.insertText.data(), n);
      request->szInsertText[n] = '\0';
      verdict = "clean";
      break;
    }
  }
  if (c == nullptr) {
    m_context->log->Line("%s: %llu bytes, %s; scan %ld ms", label.c_str(),
                         static_cast<unsigned long long>(size), verdict.c_str(), scanMs);
    return;
  }
  MessageRecord::Scanned scanned;
  scanned.size = size;
  scanned.spool = path;
  scanned.label = std::move(label);
  scanned.envelope = std::move(envelope);
  scanned.verdict = verdict + keepAlives;
  scanned.scanMs = scanMs;
  c->message.Begin(std::move(scanned));
}
