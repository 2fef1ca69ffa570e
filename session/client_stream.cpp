// The client side of the relay: command lines, the interception of DATA, and
// where each client byte goes in each phase.
//
// Command lines end in CRLF (RFC 5321 section 2.3.8). Every line is read by
// the one definition of a command line (session/command_syntax.h) that the
// host's STARTTLS gate reads it by too; a line it calls malformed is answered
// here and never relayed: a server that ends lines at a bare LF would read
// two commands where we saw one (one of them could be DATA), and one that
// ends a verb at VT or FF would run "XCLIENT<VT>..." that we took for no
// XCLIENT. Every complete line is handled in the order it arrived,
// however many one read carries (pipelining, RFC 2920). Bytes that arrive
// while the message awaits the server are held, and handled as commands once
// it has been refused or delivered.
#include <algorithm>
#include <cstring>

#include "boundary/settings.h"
#include "boundary/trace.h"
#include "session/command_syntax.h"
#include "session/smtp_connection.h"

namespace {

const char k354Reply[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
const char k502Reply[] = "502 5.5.1 Command not available\r\n";
const char kBareLineBreakReply[] = "500 5.5.2 Bare CR or LF not allowed\r\n";
const char kLeadingSpaceReply[] = "500 5.5.2 Syntax error: command starts with white space\r\n";
const char kMalformedReply[] = "500 5.5.2 Syntax error: malformed command line\r\n";
const char kNoSpoolReply[] = "451 4.3.0 Message cannot be scanned now; try again later\r\n";

const size_t kReadSize = 8192;
// A message arrives in reads of this size once the session has its message
// buffer: a tenth of the system calls and spool writes of 8 KiB reads.
const size_t kMessageReadSize = CSmtpConnection::kMessageBufferSize - 1;

// Verbs of RFC 5321 and its extensions; any other line (such as an answer to
// an AUTH challenge) is not echoed in the trace, since it may be a secret.
bool IsKnownVerb(const char* line, size_t length) {
  static const char* const kVerbs[] = {"HELO",     "EHLO", "MAIL", "RCPT",    "DATA",    "RSET",
                                       "NOOP",     "QUIT", "VRFY", "EXPN",    "HELP",    "AUTH",
                                       "STARTTLS", "BDAT", "ETRN", "XCLIENT", "XFORWARD"};
  for (const char* verb : kVerbs) {
    if (CommandVerbIs(line, length, verb)) return true;
  }
  return false;
}

// Why a line may not go to the server as it is, or nullptr. A command line
// must be well formed (session/command_syntax.h). An answer to an AUTH
// challenge has no verb (base64 or "*", RFC 4954 section 4): it is refused
// only for white space before it or a control byte in it. The line's own
// CRLF, when it has one, is not part of the question.
const char* LineRefusal(const char* line, size_t length, bool authResponse) {
  if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') length -= 2;
  if (std::memchr(line, '\n', length) != nullptr || std::memchr(line, '\r', length) != nullptr) {
    return kBareLineBreakReply;
  }
  if (authResponse) {
    if (length > 0 && IsCommandBlank(line[0])) return kLeadingSpaceReply;
    for (size_t i = 0; i < length; ++i) {
      if (IsCommandControlByte(line[i])) return kMalformedReply;
    }
    return nullptr;
  }
  switch (CommandLineSyntax(line, length)) {
    case ECommandSyntax::kWellFormed:
      return nullptr;
    case ECommandSyntax::kLeadingSpace:
      return kLeadingSpaceReply;
    case ECommandSyntax::kBadVerbEnd:
    case ECommandSyntax::kControlByte:
      break;
  }
  return kMalformedReply;
}

// Commands that would hand the client the proxy's standing at the server
// (its address, its authority to relay) or bypass the scan. A client the
// host trusts to forward may give the server its own client's address.
bool IsWithheldVerb(const char* line, size_t length, bool forwardingTrusted) {
  if (CommandVerbIs(line, length, "STARTTLS")) return true;
  return !forwardingTrusted &&
         (CommandVerbIs(line, length, "XCLIENT") || CommandVerbIs(line, length, "XFORWARD"));
}

// Whether the server must answer the command before it is sent another one.
// RFC 2920 section 3.1 lets only RSET, MAIL and RCPT (and the old SEND, SOML,
// SAML) stand anywhere in a group; anything else is taken to end it.
bool EndsGroup(const char* line, size_t length) {
  static const char* const kInGroup[] = {"MAIL", "RCPT", "RSET", "SEND", "SOML", "SAML"};
  for (const char* verb : kInGroup) {
    if (CommandVerbIs(line, length, verb)) return false;
  }
  return true;
}

// A line whose first four bytes are DATA, in any case, is taken for DATA
// whatever follows them: intercepting more than DATA is safe, relaying a
// DATA the server would take is not.
bool StartsWithData(const char* line, size_t length) {
  static const char kData[] = "DATA";
  if (length < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kData[i]) return false;
  }
  return true;
}

// DATA, BDAT, STARTTLS, XCLIENT and XFORWARD (unless trusted) are answered
// by the plug-in, never relayed.
bool IsAnsweredHere(const char* line, size_t length, bool forwardingTrusted) {
  return StartsWithData(line, length) || CommandVerbIs(line, length, "BDAT") ||
         IsWithheldVerb(line, length, forwardingTrusted);
}

// A line relayed as it grows cannot be taken back; a control byte in its
// rest (a bare CR or LF would split it at the server, others end a verb at
// some servers) goes out as a space.
void BlankControlBytes(char* text, size_t length) {
  if (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n') length -= 2;
  for (size_t i = 0; i < length; ++i) {
    if (IsCommandControlByte(text[i])) text[i] = ' ';
  }
}

}  // namespace

int CSmtpConnection::OnPendingRequestFromApplication(CHostSocket* client, CHostSocket* server) {
  Trace(0, "DIVIVEZ: OnPendingRequestFromApplication...\n");
  AskHostAboutConnection();
  // Keep-alives may be sent for as long as this call runs, the scan included.
  m_pSockTimeoutProtection = server;
  m_pSockServer = server;
  FoldKeepAlives();
  int count = 0;
  char commandBuffer[kReadSize + 1];
  try {
    ReleaseHeldClientBytes();
    for (;;) {
      // The buffer of one read: bytes not used stay there only until they
      // are appended to m_strHeld, so the choice may change between reads.
      const bool message = State() == ESessionState::kSpooling && m_pMessageBuffer != nullptr;
      char* buffer = message ? m_pMessageBuffer.get() : commandBuffer;
      size_t room = message ? kMessageReadSize : kReadSize;
      bool hold = !m_strHeld.empty() || ClientHeldBack();
      if (hold) {
        // Held bytes are bounded: past the bound the client is left unread,
        // and TCP flow control holds it back.
        if (m_strHeld.size() >= kMaxHeldBytes) break;
        room = std::min(room, kMaxHeldBytes - m_strHeld.size());
      }
      int n = SockReceive(client, buffer, static_cast<int>(room), 0, 0);
      if (n < 1) break;
      count += n;
      buffer[n] = '\0';
      size_t length = static_cast<size_t>(n);
      if (hold) {
        m_strHeld.append(buffer, length);
        continue;
      }
      size_t used = ProcessClientBytes(buffer, length);
      if (used < length) m_strHeld.append(buffer + used, length - used);
    }
  } catch (const CWinSockException&) {
    Trace(0, "DIVIVEZ: WinSockException in OnPendingRequestFromApplication!\n");
  }
  m_pSockTimeoutProtection = nullptr;
  m_pSockServer = nullptr;
  return count;
}

bool CSmtpConnection::ClientHeldBack() const {
  if (m_bAwaitRelayedData) return true;
  // Our own command goes first.
  if (m_pDeferredCommand != nullptr) return true;
  // Replies the client has yet to read, the server's and ours: past the
  // bound the client must read before it may send more.
  if (m_owed.Client() + m_owed.Local() >= kMaxOwedClient) return true;
  switch (State()) {
    case ESessionState::kCommandRelay:
      // The next command waits until the server may take it.
      return !ServerMayTakeCommand();
    case ESessionState::kSpooling:
    case ESessionState::kPassThrough:
      return false;
    case ESessionState::kScanning:
    case ESessionState::kAwaitingDataReply:
    case ESessionState::kDelivering:
    case ESessionState::kAwaitingRelayedDataReply:
      return true;
  }
  return true;
}

void CSmtpConnection::ReleaseHeldClientBytes() {
  if (m_strHeld.empty() || ClientHeldBack()) return;
  // A held message may end here and be scanned: keep-alives need the server.
  CHostSocket* keepAlive = m_pSockTimeoutProtection;
  if (keepAlive == nullptr) m_pSockTimeoutProtection = m_pSockServer;
  std::string held;
  held.swap(m_strHeld);
  size_t used = ProcessClientBytes(held.data(), held.size());
  // Nothing is added to m_strHeld meanwhile: what was not used goes back.
  held.erase(0, used);
  m_strHeld.swap(held);
  m_pSockTimeoutProtection = keepAlive;
}

size_t CSmtpConnection::ProcessClientBytes(const char* data, size_t length) {
  size_t pos = 0;
  while (pos < length && !ClientHeldBack()) {
    if (m_qwDiscard > 0) {
      // The chunk of a refused BDAT is read and thrown away (RFC 3030).
      size_t n = static_cast<size_t>(std::min<uint64_t>(m_qwDiscard, length - pos));
      m_qwDiscard -= n;
      pos += n;
      continue;
    }
    switch (State()) {
      case ESessionState::kCommandRelay:
        pos += ProcessCommandBytes(data + pos, length - pos);
        break;
      case ESessionState::kSpooling:
        pos += ProcessMessageBytes(data + pos, length - pos);
        break;
      case ESessionState::kPassThrough:
        pos += ProcessPassThroughBytes(data + pos, length - pos);
        break;
      case ESessionState::kScanning:
      case ESessionState::kAwaitingDataReply:
      case ESessionState::kDelivering:
      case ESessionState::kAwaitingRelayedDataReply:
        return pos;  // not reached: ClientHeldBack() is true in these
    }
  }
  return pos;
}

size_t CSmtpConnection::ProcessCommandBytes(const char* data, size_t length) {
  // Find the LF of the first CRLF; its CR may be the partial line's last byte.
  size_t end = length;
  for (size_t from = 0; from < length;) {
    const void* lf = std::memchr(data + from, '\n', length - from);
    if (lf == nullptr) break;
    size_t i = static_cast<size_t>(static_cast<const char*>(lf) - data);
    bool cr = i > 0 ? data[i - 1] == '\r' : (!m_strCommand.empty() && m_strCommand.back() == '\r');
    if (cr) {
      end = i;
      break;
    }
    from = i + 1;
  }

  if (end == length) {
    m_strCommand.append(data, length);
    m_bCompleteCommand = 0;
    if (TraceOn(2)) {
      TraceF(2, "DIVIVEZ: Not complete command: (%d bytes so far)\n",
             static_cast<int>(m_strCommand.size()));
    }
    if (m_strCommand.size() > kMaxPartialLine) {
      // No legal line is this long (RFC 5321 section 4.5.3.1; RFC 4954 answers
      // stay under 12288). A trailing CR stays, since it may begin the line's
      // CRLF.
      size_t keep = m_strCommand.back() == '\r' ? 1 : 0;
      size_t body = m_strCommand.size() - keep;
      if (!m_bLineRelayed && m_pLineRefusal == nullptr) {
        // Judged as far as it came. A verb still unended here is longer than
        // any server's: whatever byte ends it, the server reads no command
        // it knows.
        m_pLineRefusal = LineRefusal(m_strCommand.data(), body, m_bAuthResponseDue != 0);
      }
      if (m_pLineRefusal != nullptr) {
        // Refused whatever follows: the rest is read and thrown away.
        m_strCommand.erase(0, body);
      } else if (!m_bLineRelayed &&
                 (m_bServerLost ||
                  (m_bAuthResponseDue == 0 &&
                   IsAnsweredHere(m_strCommand.data(), body, m_bForwardingTrusted != 0)))) {
        // A line we answer ourselves never reaches the server, so what makes
        // it over-long is thrown away; its head decides the answer.
        size_t head = kMaxPartialLine - 1;
        m_strCommand.erase(head, body - head);
      } else {
        // Passed on as it grows, its head well formed: the server judges the
        // rest, whose control bytes go out as spaces. An EHLO's reply is
        // still filtered when it comes.
        if (!m_bLineRelayed) {
          const bool command = m_bAuthResponseDue == 0;
          m_bLineRelayed = command && CommandVerbIs(m_strCommand.data(), body, "EHLO") ? 2 : 1;
          // A HELO ends PIPELINING however long it is (RFC 2920 section 3).
          if (command && CommandVerbIs(m_strCommand.data(), body, "HELO")) {
            m_bServerPipelining = 0;
          }
        }
        BlankControlBytes(&m_strCommand[0], body);
        RelayToServer(m_strCommand.data(), body);
        m_strCommand.erase(0, body);
      }
    }
    return length;
  }

  size_t used = end + 1;
  if (m_strCommand.empty()) {
    HandleCommandLine(data, used);
  } else {
    m_strCommand.append(data, used);
    // The line is handled from a copy, since handling it may start a new one.
    std::string line;
    line.swap(m_strCommand);
    HandleCommandLine(line.data(), line.size());
    line.clear();
    if (m_strCommand.empty()) m_strCommand.swap(line);  // keep the capacity
  }
  return used;
}

void CSmtpConnection::HandleCommandLine(const char* line, size_t length) {
  m_bCompleteCommand = 1;
  TraceCommand(line, length);
  if (m_bLineRelayed) {
    // The rest of an over-long line whose head already went out.
    EOwed kind = m_bLineRelayed == 2 ? EOwed::kClientEhlo : EOwed::kClient;
    m_bLineRelayed = 0;
    if (m_bServerLost) {
      // Its head went to a server we gave up on meanwhile: nobody will
      // answer it but us.
      QueueLocalReply(kServerLostReply);
      return;
    }
    std::string rest(line, length);
    BlankControlBytes(&rest[0], rest.size());
    RelayToServer(rest.data(), rest.size());
    ExpectReply(kind, true);
    return;
  }
  const char* refusal = m_pLineRefusal != nullptr
                            ? m_pLineRefusal
                            : LineRefusal(line, length, m_bAuthResponseDue != 0);
  m_pLineRefusal = nullptr;
  if (refusal != nullptr) {
    // Never relayed, not even in part: the server could read it as another
    // command than the one judged here. The reply names the fault.
    TraceText(0, "DIVIVEZ: Command line refused: ", refusal, std::strlen(refusal) - 2, "\n");
    QueueLocalReply(refusal);
    return;
  }
  if (m_bServerLost) {
    QueueLocalReply(kServerLostReply);
    return;
  }
  if (m_bAuthResponseDue != 0) {
    // An answer to a challenge is no command, whatever it spells (base64
    // may spell DATA or STARTTLS): the server reads it as the answer, and
    // so does the host's STARTTLS gate, which passes it unread.
    SendCommandToServer(line, length, EOwed::kClient, true);
    return;
  }
  if (StartsWithData(line, length)) {
    HandleDataCommand(line, length);
    return;
  }
  if (CommandVerbIs(line, length, "BDAT")) {
    // A BDAT message would reach the server unscanned. Its chunk follows the
    // line, so its bytes must be consumed to keep the command stream in step.
    uint64_t size = 0;
    size_t i = CommandVerbLength(line, length);
    while (i < length && IsCommandBlank(line[i])) ++i;
    while (i < length && line[i] >= '0' && line[i] <= '9' && size < (1ull << 60)) {
      size = size * 10 + static_cast<uint64_t>(line[i] - '0');
      ++i;
    }
    m_qwDiscard = size;
    Trace(0, "DIVIVEZ: BDAT refused\n");
    QueueLocalReply(k502Reply);
    return;
  }
  if (IsWithheldVerb(line, length, m_bForwardingTrusted != 0)) {
    // A TLS session cannot be relayed and scanned line by line; XCLIENT and
    // XFORWARD would let the client speak with the proxy's authority.
    TraceText(0, "DIVIVEZ: Command refused: ", line, CommandVerbLength(line, length), "\n");
    QueueLocalReply(k502Reply);
    return;
  }
  // PIPELINING is an answer to EHLO (RFC 2920 section 3): a session that
  // goes on with HELO has none.
  if (CommandVerbIs(line, length, "HELO")) m_bServerPipelining = 0;
  SendCommandToServer(line, length,
                      CommandVerbIs(line, length, "EHLO") ? EOwed::kClientEhlo : EOwed::kClient,
                      EndsGroup(line, length));
}

void CSmtpConnection::HandleDataCommand(const char* line, size_t length) {
  if (OpenDataFile()) {
    // Not to the server: it hears DATA only once the message has passed
    // the scan. The 354 waits for the replies still owed before it.
    QueueLocalReply(k354Reply);
    return;
  }
  if (!g_bRelayUnspooled) {
    // Without a spool there is no scan: the client keeps its message and
    // tries again later (RFC 5321 section 4.2.1, 4yz).
    Trace(0, "DIVIVEZ: Error opening temp file; DATA refused\n");
    QueueLocalReply(kNoSpoolReply);
    return;
  }
  // The host chose to let mail through unscanned rather than refuse it.
  Trace(0, "DIVIVEZ: Error opening temp file; checking file not possible\n");
  EnterAwaitingRelayedData();
  SendCommandToServer(line, length, EOwed::kClientData, true);
}

void CSmtpConnection::TraceCommand(const char* line, size_t length) const {
  if (!TraceOn(2)) return;
  if (CommandVerbIs(line, length, "AUTH") && m_bAuthResponseDue == 0) {
    // Verb and mechanism only: an initial response is a credential.
    size_t end = CommandVerbLength(line, length);
    while (end < length && IsCommandBlank(line[end])) ++end;
    end += CommandVerbLength(line + end, length - end);
    TraceText(2, "DIVIVEZ: Complete command: ", line, end, " (credentials not shown)\n");
  } else if (m_bAuthResponseDue != 0 || !IsKnownVerb(line, length)) {
    TraceF(2, "DIVIVEZ: Complete command: (%d bytes not shown)\n", static_cast<int>(length));
  } else {
    TraceText(2, "DIVIVEZ: Complete command: ", line, length, "\n");
  }
}

size_t CSmtpConnection::ProcessMessageBytes(const char* data, size_t length) {
  WriteData(data, 0);  // the keep-alive is looked at once per read
  bool ended = false;
  size_t used = m_normaliser.Feed(data, length, &ended,
                                  [this](const char* span, size_t n) { StoreData(span, n); });
  if (!ended) {
    m_strTail.assign(m_normaliser.Tail());
    return used;
  }
  m_strTail.assign("\r\n.\r\n");
  TraceNormalised();
  CheckAndSend(m_pSockApplication, m_pSockServer);
  return used;
}

size_t CSmtpConnection::ProcessPassThroughBytes(const char* data, size_t length) {
  // Unscanned, but still only what every server reads alike.
  bool ended = false;
  size_t used = 0;
  try {
    used = m_normaliser.Feed(data, length, &ended,
                             [this](const char* span, size_t n) { RelayToServer(span, n); });
  } catch (...) {
    // The marker may have reached the server: its answer is still owed.
    if (ended) EndPassThrough();
    throw;
  }
  if (ended) EndPassThrough();
  return used;
}

void CSmtpConnection::EndPassThrough() {
  LeavePassThrough();
  TraceNormalised();
  if (m_bServerLost) {
    QueueLocalReply(kNotDeliveredReply);
  } else {
    // The server's answer to the end of data; the content may begin a group
    // (RFC 2920 section 3.1), so it does not end one.
    ExpectReply(EOwed::kClient, false);
  }
}

void CSmtpConnection::TraceNormalised() const {
  if (!m_normaliser.Changed() || !TraceOn(1)) return;
  TraceF(1, "DIVIVEZ: Message normalised: %u bare LF, %u bare CR, %u dots added\n",
         static_cast<unsigned>(m_normaliser.BareLf()), static_cast<unsigned>(m_normaliser.BareCr()),
         static_cast<unsigned>(m_normaliser.DotsAdded()));
}
