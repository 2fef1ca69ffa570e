// The client side of the relay: command lines, the interception of DATA, and
// where each client byte goes in each phase.
//
// Command lines end in CRLF (RFC 5321 section 2.3.8); a bare LF is part of
// the line. Every complete line is handled in the order it arrived, however
// many one read carries (pipelining, RFC 2920). Bytes that arrive while the
// message awaits the server are held, and handled as commands once it has
// been refused or delivered.
#include <algorithm>
#include <cstring>

#include "boundary/trace.h"
#include "session/smtp_connection.h"

namespace {

const char k354Reply[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
const char k502Reply[] = "502 5.5.1 Command not available\r\n";
const char k421Reply[] = "421 4.3.0 Connection to the mail server lost\r\n";

const size_t kReadSize = 8192;

// The command verb: the bytes before the first space or line end.
size_t VerbLength(const char* line, size_t length) {
  size_t n = 0;
  while (n < length && line[n] != ' ' && line[n] != '\r' && line[n] != '\n') ++n;
  return n;
}

bool VerbIs(const char* line, size_t length, const char* verb) {
  size_t n = VerbLength(line, length);
  if (n != std::strlen(verb)) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != verb[i]) return false;
  }
  return true;
}

// Verbs of RFC 5321 and its extensions; any other line (such as an answer to
// an AUTH challenge) is not echoed in the trace, since it may be a secret.
bool IsKnownVerb(const char* line, size_t length) {
  static const char* const kVerbs[] = {"HELO",     "EHLO", "MAIL", "RCPT",    "DATA",    "RSET",
                                       "NOOP",     "QUIT", "VRFY", "EXPN",    "HELP",    "AUTH",
                                       "STARTTLS", "BDAT", "ETRN", "XCLIENT", "XFORWARD"};
  for (const char* verb : kVerbs) {
    if (VerbIs(line, length, verb)) return true;
  }
  return false;
}

// DATA, BDAT and STARTTLS are answered by the plug-in, never relayed.
bool IsAnsweredHere(const std::string& line) {
  static const char kData[] = "DATA";
  size_t n = std::min<size_t>(line.size(), 4);
  bool data = n == 4;
  for (size_t i = 0; i < n && data; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    data = c == kData[i];
  }
  return data || VerbIs(line.data(), line.size(), "BDAT") ||
         VerbIs(line.data(), line.size(), "STARTTLS");
}

}  // namespace

int CSmtpConnection::CompareNoCase(const std::string& first, const std::string& second) const {
  size_t i = 0;
  for (;; ++i) {
    if (i >= first.size() || i >= second.size()) {
      return static_cast<int>(second.size()) - static_cast<int>(first.size());
    }
    char a = first[i];
    char b = second[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) {
      return static_cast<signed char>(a) < static_cast<signed char>(b) ? -1 : 1;
    }
  }
}

int CSmtpConnection::OnPendingRequestFromApplication(CHostSocket* client, CHostSocket* server) {
  Trace(0, "DIVIVEZ: OnPendingRequestFromApplication...\n");
  // Keep-alives may be sent for as long as this call runs, the scan included.
  m_pSockTimeoutProtection = server;
  m_pSockServer = server;
  int count = 0;
  char buffer[kReadSize + 1];
  try {
    ReleaseHeldClientBytes();
    for (;;) {
      size_t room = kReadSize;
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
  // Replies the client has yet to read, the server's and ours: past the
  // bound the client must read before it may send more.
  if (m_nOwedClient + m_nOwedLocal >= kMaxOwedClient) return true;
  switch (State()) {
    case ESessionState::kCommandRelay:
    case ESessionState::kSpooling:
    case ESessionState::kPassThrough:
      return false;
    case ESessionState::kScanning:
    case ESessionState::kAwaitingDataReply:
    case ESessionState::kDelivering:
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
      if (!m_bLineRelayed && (m_bServerLost || IsAnsweredHere(m_strCommand))) {
        // A line we answer ourselves never reaches the server, so what makes
        // it over-long is thrown away; its head decides the answer.
        size_t head = kMaxPartialLine - 1;
        m_strCommand.erase(head, m_strCommand.size() - keep - head);
      } else {
        // Passed on as it grows: the server judges it.
        // An EHLO's reply is still filtered when it comes.
        if (!m_bLineRelayed)
          m_bLineRelayed = VerbIs(m_strCommand.data(), m_strCommand.size(), "EHLO") ? 2 : 1;
        RelayToServer(m_strCommand.data(), m_strCommand.size() - keep);
        m_strCommand.erase(0, m_strCommand.size() - keep);
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
    RelayToServer(line, length);
    ExpectReply(kind);
    return;
  }
  if (m_bServerLost) {
    QueueLocalReply(k421Reply);
    return;
  }
  if (CompareNoCase(std::string(line, std::min<size_t>(length, 4)), "DATA") == 0) {
    if (OpenDataFile()) {
      EnterSpooling();
      // Not to the server: it hears DATA only once the message has passed
      // the scan. The 354 waits for the replies still owed before it.
      QueueLocalReply(k354Reply);
    } else {
      Trace(0, "DIVIVEZ: Error opening temp file; checking file not possible\n");
      m_bDataMode = 0;
      m_bAwaitRelayedData = 1;
      SendCommandToServer(line, length, EOwed::kClientData);
    }
    return;
  }
  if (VerbIs(line, length, "BDAT")) {
    // A BDAT message would reach the server unscanned. Its chunk follows the
    // line, so its bytes must be consumed to keep the command stream in step.
    size_t verb = VerbLength(line, length);
    uint64_t size = 0;
    size_t i = verb;
    while (i < length && line[i] == ' ') ++i;
    while (i < length && line[i] >= '0' && line[i] <= '9' && size < (1ull << 60)) {
      size = size * 10 + static_cast<uint64_t>(line[i] - '0');
      ++i;
    }
    m_qwDiscard = size;
    Trace(0, "DIVIVEZ: BDAT refused\n");
    QueueLocalReply(k502Reply);
    return;
  }
  if (VerbIs(line, length, "STARTTLS")) {
    // A TLS session cannot be relayed and scanned line by line.
    Trace(0, "DIVIVEZ: STARTTLS refused\n");
    QueueLocalReply(k502Reply);
    return;
  }
  SendCommandToServer(line, length,
                      VerbIs(line, length, "EHLO") ? EOwed::kClientEhlo : EOwed::kClient);
}

void CSmtpConnection::TraceCommand(const char* line, size_t length) const {
  if (!TraceOn(2)) return;
  if (VerbIs(line, length, "AUTH")) {
    // Verb and mechanism only: an initial response is a credential.
    size_t verb = VerbLength(line, length);
    size_t end = verb;
    while (end < length && line[end] == ' ') ++end;
    end += VerbLength(line + end, length - end);
    TraceText(2, "DIVIVEZ: Complete command: ", line, end, " (credentials not shown)\n");
  } else if (!IsKnownVerb(line, length)) {
    TraceF(2, "DIVIVEZ: Complete command: (%d bytes not shown)\n", static_cast<int>(length));
  } else {
    TraceText(2, "DIVIVEZ: Complete command: ", line, length, "\n");
  }
}

size_t CSmtpConnection::FindEndOfData(const char* data, size_t length) {
  // m_strTail is the part of the marker the stream ends in: its length is
  // the state of the search, so the marker is found however reads split it.
  static const char kMarker[] = "\r\n.\r\n";
  // A whole marker here is one whose end was never acted on (a send threw
  // on the way): a new search starts.
  size_t k = m_strTail.size() < 5 ? m_strTail.size() : 0;
  size_t i = 0;
  while (i < length) {
    if (k == 0) {
      const void* cr = std::memchr(data + i, '\r', length - i);
      if (cr == nullptr) {
        i = length;
        break;
      }
      i = static_cast<size_t>(static_cast<const char*>(cr) - data);
    }
    char b = data[i++];
    if (b == kMarker[k]) {
      if (++k == 5) break;
    } else {
      k = b == '\r' ? 1 : 0;
    }
  }
  m_strTail.assign(kMarker, k);
  return i;
}

size_t CSmtpConnection::ProcessMessageBytes(const char* data, size_t length) {
  size_t used = FindEndOfData(data, length);
  WriteData(data, static_cast<int>(used));
  if (IsEndOfData()) CheckAndSend(m_pSockApplication, m_pSockServer);
  return used;
}

size_t CSmtpConnection::ProcessPassThroughBytes(const char* data, size_t length) {
  size_t used = FindEndOfData(data, length);
  if (IsEndOfData()) {
    // The phase ends before the bytes go out, so that a send that throws
    // cannot leave a found marker behind.
    ESessionState from = State();
    m_bPassThrough = 0;
    m_strTail.clear();
    ExpectReply(EOwed::kClient);  // the server's answer to the end of data
    SetState(from, State());
  }
  RelayToServer(data, used);
  return used;
}
