// The scan hand-off: the spooled message goes to the host's scanner, and the
// verdict decides whether the server ever hears of it.
#include <cstring>
#include <string>

#include "boundary/settings.h"
#include "boundary/trace.h"
#include "session/smtp_connection.h"

namespace {

const char kMailAccepted[] = "250 Mail accepted\r\n";
const char k452Reply[] = "452 4.3.1 Insufficient system storage\r\n";
const char k552Reply[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
const char kData[] = "DATA\r\n";
const char kRset[] = "RSET\r\n";

// The scanner's text goes into the message as header lines. Whatever the host
// gave, it must not end the message early or break a line: every line end
// becomes CRLF, the text ends in one, and a leading dot is doubled (RFC 5321
// section 4.5.2).
std::string SafeInsertText(const char* text, size_t length) {
  std::string safe;
  safe.reserve(length + 8);
  bool lineStart = true;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      safe.append("\r\n");
      if (c == '\r' && i + 1 < length && text[i + 1] == '\n') ++i;
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') safe.push_back('.');
    safe.push_back(c);
    lineStart = false;
  }
  if (!lineStart) safe.append("\r\n");
  return safe;
}

// The reply to a message the host rejects (callback version 2). The name
// comes from the scanner's database: only printable ASCII reaches the
// client, and no more than a reply line can carry comfortably.
std::string RejectReply(const char* name, size_t length) {
  static const size_t kMaxName = 100;
  std::string reply = "554 5.7.1 Message rejected: infected (";
  const size_t start = reply.size();
  for (size_t i = 0; i < length && i < kMaxName; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    reply.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  if (reply.size() == start) reply.append("unknown");
  reply.append(")\r\n");
  return reply;
}

}  // namespace

void CSmtpConnection::InitScanRequest(ScanRequest& request) const {
  std::memset(&request, 0, sizeof request);
  request.dwSize = static_cast<uint32_t>(sizeof request);
  request.nFixedA = 2;
  request.nHostContext = m_nHostContext;
  request.pSockApplication = m_pSockApplication;
  request.nFixedB = 3;
}

void CSmtpConnection::AskHostAboutConnection() {
  if (m_bConnectionAsked) return;
  m_bConnectionAsked = 1;
  HostCallback callback = g_pCallback;
  if (m_nCallbackVersion < 2 || callback == nullptr) return;
  try {
    ScanRequest request;
    InitScanRequest(request);
    callback(kCallbackCodeConnection, &request);
    // Anything but the one answer that trusts leaves the client untrusted.
    m_bForwardingTrusted = request.nScanResult == kConnectionTrustForwarding ? 1 : 0;
  } catch (...) {
    Trace(0, "DIVIVEZ: Exception while asking about the connection!\n");
  }
  m_ehlo.SetForwardingKept(m_bForwardingTrusted != 0);
  if (m_bForwardingTrusted) Trace(0, "DIVIVEZ: Client trusted with XCLIENT and XFORWARD\n");
}

void CSmtpConnection::CheckAndSend(CHostSocket* client, CHostSocket* server) {
  (void)client;  // replies reach the client through the owed-reply queue
  (void)server;  // commands reach the server through m_pSockServer
  Trace(0, "DIVIVEZ: Check and send...\n");
  m_strTail.clear();  // the marker is acted on now, whatever throws below
  if (!EnterScanning()) m_bSpoolFailed = 1;

  if (m_bServerLost) {
    // The server went while the message came in; nothing can deliver it.
    QueueLocalReply(kNotDeliveredReply);
    LeaveDataMode("not delivered: the server is lost");
    return;
  }
  if (m_bTooBig) {
    // Larger than the server takes (RFC 1870): neither scanned nor sent.
    RefuseMessage(k552Reply);
    return;
  }
  if (m_bSpoolFailed) {
    // Part of the message never reached the disk: scanning or delivering the
    // rest would pass on a corrupted message as if it were whole.
    RefuseMessage(k452Reply);
    return;
  }
  // Without an empty line the message is all headers: the text goes before
  // the end-of-data line.
  if (m_qwHeaderEnd < 0) m_qwHeaderEnd = static_cast<int64_t>(m_qwSpoolBytes) - 3;

  bool infected = false;
  bool rejected = false;
  HostCallback callback = g_pCallback;
  if (callback != nullptr) {
    try {
      ScanRequest request;
      InitScanRequest(request);
      request.pszDataFileName = m_strDataFileName.c_str();
      request.bTimeoutProtection = m_bTimeoutProtection;
      request.dwTimeoutProtection = m_dwTimeoutProtection;
      request.pTimeoutProtectionArg = this;
      request.pfnTimeoutProtection = TimeoutProtectionCallback;
      callback(kScanCodeScan, &request);
      FoldKeepAlives();
      if (request.nScanResult > 0) infected = true;
      const void* nul = std::memchr(request.szInsertText, '\0', sizeof request.szInsertText);
      size_t length =
          nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - request.szInsertText)
                         : sizeof request.szInsertText - 1;
      if (m_nCallbackVersion >= 2 && request.nScanResult == kScanResultReject) {
        rejected = true;
        m_rejectReplies.push_back(RejectReply(request.szInsertText, length));
      } else {
        m_strInsertText = SafeInsertText(request.szInsertText, length);
      }
    } catch (...) {
      // A failing scanner lets the mail through: the host decides what a
      // verdict is, and it gave none.
      Trace(0, "DIVIVEZ: Exception while scanning mail!\n");
      FoldKeepAlives();
    }
  }

  if (rejected) {
    Trace(0, "DIVIVEZ: Mail infected, rejected, do not send to server!\n");
    RefuseMessage(m_rejectReplies.back().c_str());
  } else if (infected) {
    Trace(0, "DIVIVEZ: Mail infected, do not send to server!\n");
    RefuseMessage(kMailAccepted);
  } else {
    // The phase changes before the send, which may throw: the answer to a
    // DATA that went out must find the session awaiting it. After keep-alives,
    // DATA waits for their answers (RFC 2920: NOOP ends a group); the phase
    // is the same either way.
    EnterAwaitingDataReply();
    SendOwnCommand(kData, EOwed::kData);
  }
}

void CSmtpConnection::RefuseMessage(const char* clientReply) {
  QueueLocalReply(clientReply);
  // The server holds the envelope of a message it will never see; without a
  // reset it would refuse the client's next MAIL.
  SendOwnCommand(kRset, EOwed::kRset);
  LeaveDataMode("refused");
}
