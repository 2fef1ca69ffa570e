#include "tests/fuzz/dialogue_model.h"

#include <algorithm>
#include <cstring>

#include "session/smtp_connection.h"

namespace {

const char k354[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
const char k502[] = "502 5.5.1 Command not available\r\n";
const char k421[] = "421 4.3.0 Connection to the mail server lost\r\n";
const char k250Accepted[] = "250 Mail accepted\r\n";
const char k452[] = "452 4.3.1 Insufficient system storage\r\n";
const char k451[] = "451 4.3.0 Message could not be delivered; try again later\r\n";
const char k451NoSpool[] = "451 4.3.0 Message cannot be scanned now; try again later\r\n";
const char k500BareLineBreak[] = "500 5.5.2 Bare CR or LF not allowed\r\n";
const char k500LeadingSpace[] = "500 5.5.2 Syntax error: command starts with white space\r\n";
const char k500Malformed[] = "500 5.5.2 Syntax error: malformed command line\r\n";
const char k421OutOfStep[] = "421 4.3.0 Mail server out of step; closing the transaction\r\n";
const char k552[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";

const size_t kMaxPartialLine = CSmtpConnection::kMaxPartialLine;
const size_t kMaxOwedClient = CSmtpConnection::kMaxOwedClient;
const size_t kMaxReplyLine = CSmtpConnection::kMaxReplyLine;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Upper(a[i]) != b[i]) return false;
  }
  return true;
}

bool PrefixNoCase(const std::string& prefix, const char* word) {
  size_t n = std::strlen(word);
  if (prefix.size() > n) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(prefix[i]) != word[i]) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// C0 controls but HTAB, and DEL; bytes 0x80 and above are none.
bool IsControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f;
}

// The verb: the leading ASCII letters, digits and "-".
std::string Verb(const std::string& line) {
  size_t end = 0;
  while (end < line.size()) {
    const char c = line[end];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
      break;
    ++end;
  }
  return line.substr(0, end);
}

// An EHLO line's keyword: after the code and separator, up to SP, CR or LF.
std::string Keyword(const std::string& line, bool* complete) {
  if (line.size() < 4) {
    if (complete != nullptr) *complete = false;
    return std::string();
  }
  size_t end = line.find_first_of(" \r\n", 4);
  if (complete != nullptr) *complete = end != std::string::npos;
  return line.substr(4, end == std::string::npos ? std::string::npos : end - 4);
}

// Why a line may not go to the server, or nullptr, its own CRLF aside: a
// bare CR or LF; white space first; a control byte; in a command (not an
// answer to an AUTH challenge) a verb followed by other than SP, HTAB or the
// end.
const char* LineRefusal(const std::string& line, bool authAnswer) {
  size_t n = line.size();
  if (n >= 2 && line.compare(n - 2, 2, "\r\n") == 0) n -= 2;
  if (line.find_first_of("\r\n") < n) return k500BareLineBreak;
  if (n > 0 && IsBlank(line[0])) return k500LeadingSpace;
  for (size_t i = 0; i < n; ++i) {
    if (IsControl(line[i])) return k500Malformed;
  }
  size_t verb = Verb(line.substr(0, n)).size();
  if (!authAnswer && verb < n && !IsBlank(line[verb])) return k500Malformed;
  return nullptr;
}

// A line that went out as it grew: a control byte in it (not its own CRLF)
// goes out as a space.
std::string Blanked(std::string bytes) {
  size_t n = bytes.size();
  if (n >= 2 && bytes.compare(n - 2, 2, "\r\n") == 0) n -= 2;
  for (size_t i = 0; i < n; ++i) {
    if (IsControl(bytes[i])) bytes[i] = ' ';
  }
  return bytes;
}

// A client the host trusts to forward keeps XCLIENT and XFORWARD.
bool IsForwarding(const std::string& word) {
  return EqualNoCase(word, "XCLIENT") || EqualNoCase(word, "XFORWARD");
}

bool IsWithheldVerb(const std::string& verb, bool trusted) {
  return EqualNoCase(verb, "STARTTLS") || (!trusted && IsForwarding(verb));
}

// The answer to a message the host rejects: the signature name in printable
// ASCII, other bytes as '?', cut to 100, "unknown" when empty.
std::string RejectReply(const std::string& name) {
  std::string shown;
  for (size_t i = 0; i < name.size() && i < 100; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    shown.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return "554 5.7.1 Message rejected: infected (" + (shown.empty() ? "unknown" : shown) + ")\r\n";
}

bool IsDataLine(const std::string& line) {
  return line.size() >= 4 && EqualNoCase(line.substr(0, 4), "DATA");
}

// Whether the server must answer a client command before it is sent another
// (RFC 2920 section 3.1: only MAIL, RCPT, RSET and the old SEND, SOML, SAML
// may stand anywhere in a group).
bool EndsGroup(const std::string& verb) {
  static const char* const kInGroup[] = {"MAIL", "RCPT", "RSET", "SEND", "SOML", "SAML"};
  for (const char* word : kInGroup) {
    if (EqualNoCase(verb, word)) return false;
  }
  return true;
}

bool IsClientOwner(EOwner owner) {
  return owner == EOwner::kClient || owner == EOwner::kClientEhlo || owner == EOwner::kClientData;
}

bool IsFailure(int code) { return code >= 400 && code < 600; }

int ReplyCode(const std::string& line) {
  if (line.size() < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

const char* const kWithheldKeywords[] = {"CHUNKING", "BINARYMIME", "STARTTLS", "XCLIENT",
                                         "XFORWARD"};

bool IsWithheldExtension(const std::string& line, bool trusted) {
  if (line.size() < 4) return false;
  std::string word = Keyword(line, nullptr);
  if (trusted && IsForwarding(word)) return false;
  for (const char* keyword : kWithheldKeywords) {
    if (EqualNoCase(word, keyword)) return true;
  }
  return false;
}

// Whether an EHLO line that has not ended yet may still turn out withheld.
bool MayBeWithheldExtension(const std::string& line, bool trusted) {
  if (line.size() < 4) return true;
  bool complete = false;
  std::string word = Keyword(line, &complete);
  if (complete) return IsWithheldExtension(line, trusted);
  for (const char* keyword : kWithheldKeywords) {
    if (trusted && IsForwarding(keyword)) continue;
    if (PrefixNoCase(word, keyword)) return true;
  }
  return false;
}

// The limit of an EHLO "SIZE n" line (RFC 1870): the digits after "SIZE"
// and one separator; 0 when there are none or the value is absurd.
uint64_t SizeLimit(const std::string& line) {
  if (!EqualNoCase(Keyword(line, nullptr), "SIZE")) return 0;
  uint64_t size = 0;
  for (size_t i = 9; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    if (size > (1ull << 60)) return 0;
    size = size * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  return size;
}

// The BDAT chunk size: the digits after the verb and its blanks, stopping
// once the value reaches 2^60 (a chunk that never ends in practice).
uint64_t BdatSize(const std::string& line) {
  size_t i = 4;
  while (i < line.size() && IsBlank(line[i])) ++i;
  uint64_t size = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9' && size < (1ull << 60)) {
    size = size * 10 + static_cast<uint64_t>(line[i] - '0');
    ++i;
  }
  return size;
}

// The scanner's text as header lines: every CR, LF or CRLF becomes CRLF, a
// dot that begins a line is doubled, and a last line gets its CRLF.
std::string HeaderText(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      out += "\r\n";
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  if (!lineStart) out += "\r\n";
  return out;
}

// Where the scanner's text goes: at the first empty line (CRLF at a line
// start, the first line starting the spool), or before the final "." line.
size_t HeaderEnd(const std::string& spool) {
  size_t lineStart = 0;
  for (;;) {
    size_t crlf = spool.find("\r\n", lineStart);
    if (crlf == std::string::npos) break;
    if (crlf == lineStart) return crlf;
    lineStart = crlf + 2;
  }
  return spool.size() - 3;
}

const char* PhaseName(int phase) {
  static const char* const kNames[] = {"command relay", "spooling", "awaiting DATA answer",
                                       "awaiting relayed DATA answer", "pass-through"};
  return kNames[phase];
}

}  // namespace

const char* OwnerName(EOwner owner) {
  switch (owner) {
    case EOwner::kClient:
      return "client command";
    case EOwner::kClientEhlo:
      return "client EHLO";
    case EOwner::kClientData:
      return "client DATA (relayed)";
    case EOwner::kNoop:
      return "plug-in NOOP";
    case EOwner::kData:
      return "plug-in DATA";
    case EOwner::kRset:
      return "plug-in RSET";
    case EOwner::kUnasked:
      return "nothing (unasked)";
  }
  return "?";
}

bool CModelNormaliser::Byte(char c, std::string* out) {
  for (;;) {
    switch (m_state) {
      case kLineStart:
      case kLineStartAfterLf:
        if (c == '.') {
          *out += '.';
          m_state = m_state == kLineStart ? kDot : kDotAfterLf;
          return false;
        }
        m_state = kInLine;
        continue;
      case kInLine:
        if (c == '\r') {
          m_state = kCr;
        } else if (c == '\n') {
          *out += "\r\n";
          m_state = kLineStartAfterLf;
        } else {
          *out += c;
        }
        return false;
      case kCr:
        if (c == '\n') {
          *out += "\r\n";
          m_state = kLineStart;
          return false;
        }
        *out += ' ';
        m_state = kInLine;
        continue;
      case kDot:
        // "." after CRLF: CRLF ends the message, a bare LF makes it "..".
        if (c == '\r') {
          m_state = kDotCr;
          return false;
        }
        if (c == '\n') {
          *out += ".\r\n";
          m_state = kLineStartAfterLf;
          return false;
        }
        m_state = kInLine;
        continue;
      case kDotCr:
        if (c == '\n') {
          *out += "\r\n";
          m_state = kInLine;
          return true;
        }
        *out += ' ';
        m_state = kInLine;
        continue;
      case kDotAfterLf:
        // The client did not stuff this line; ".." counts as stuffed.
        *out += '.';
        m_state = kInLine;
        if (c == '.') return false;
        continue;
    }
  }
}

void CDialogueModel::Start(bool callback, int keepAliveSeconds, bool relayUnspooled,
                           int callbackVersion, bool trusted, const SAccept& accept) {
  *this = CDialogueModel();
  m_accept = accept;
  m_bCallback = callback;
  m_bVersion2 = callback && callbackVersion >= 2;
  m_bTrusted = m_bVersion2 && trusted;
  m_bKeepAliveTimer = keepAliveSeconds > 0;
  m_dwKeepAliveInterval = static_cast<uint32_t>(keepAliveSeconds) * 1000u;
  m_bRelayUnspooled = relayUnspooled;
  // The server speaks first: the greeting is owed to the client, and nothing
  // may go to the server before it.
  Owe(EOwner::kClient, true, true);
}

bool CDialogueModel::ServerMayTakeCommand() const {
  if (m_bServerLost || m_owed.empty()) return true;
  return m_bPipelining && std::none_of(m_owed.begin(), m_owed.end(),
                                       [](const SOwed& owed) { return owed.endsGroup; });
}

bool CDialogueModel::NoSpoolExpected() const {
  return m_phase == EPhase::kRelay || m_phase == EPhase::kPassThrough ||
         m_phase == EPhase::kAwaitingRelayedData;
}

// ---------------------------------------------------------------- log replay

void CDialogueModel::Replay(const std::vector<SLogEntry>& log, const std::string& serverOffered) {
  m_pLog = &log;
  m_pServerOffered = &serverOffered;
  m_nCursor = 0;
  while (m_nCursor < log.size()) {
    const SLogEntry& entry = log[m_nCursor];
    // The server-side handler frees held client bytes once it has read all
    // it could: before anything but a server read.
    if (m_bInServerCall && !m_bReleased &&
        !(entry.kind == ELogKind::kRecv && entry.side == ESide::kServer)) {
      m_bReleased = true;
      Release();
      continue;
    }
    ++m_nCursor;
    switch (entry.kind) {
      case ELogKind::kClientCallBegin:
        Release();
        break;
      case ELogKind::kClientCallEnd:
        break;
      case ELogKind::kServerCallBegin:
        m_bInServerCall = true;
        m_bReleased = false;
        break;
      case ELogKind::kServerCallEnd:
        m_bInServerCall = false;
        break;
      case ELogKind::kRecv:
        if (entry.side == ESide::kClient) {
          ClientPiece(entry.bytes);
        } else {
          ServerPiece(entry.bytes);
        }
        break;
      case ELogKind::kCreate:
        Fail("the plug-in tried to create a spool file though no DATA line was due (%s)",
             PhaseName(static_cast<int>(m_phase)));
      case ELogKind::kScan:
        Fail("the plug-in asked for a scan though no message had ended (%s)",
             PhaseName(static_cast<int>(m_phase)));
      case ELogKind::kOpenRead:
        Fail("the plug-in reopened a spool file though no 354 had answered its DATA (%s)",
             PhaseName(static_cast<int>(m_phase)));
    }
  }
  if (m_bInServerCall && !m_bReleased) {
    m_bReleased = true;
    Release();
  }
  m_pLog = nullptr;
}

const SLogEntry& CDialogueModel::Take(ELogKind kind, const char* why) {
  static const char* const kKinds[] = {
      "a client call", "the end of a client call", "a server call",  "the end of a server call",
      "a read",        "a spool creation",         "a scan request", "a spool reopen"};
  if (m_nCursor >= m_pLog->size()) {
    Fail("%s: expected %s by the plug-in, but it did nothing more", why,
         kKinds[static_cast<int>(kind)]);
  }
  const SLogEntry& entry = (*m_pLog)[m_nCursor];
  if (entry.kind != kind) {
    Fail("%s: expected %s by the plug-in, but it did %s", why, kKinds[static_cast<int>(kind)],
         kKinds[static_cast<int>(entry.kind)]);
  }
  ++m_nCursor;
  return entry;
}

bool CDialogueModel::Holding() const {
  // Replies the client has yet to read count, the plug-in's own included.
  size_t locals = static_cast<size_t>(std::count_if(
      m_answers.begin(), m_answers.end(), [](const SAnswer& answer) { return answer.local; }));
  // Our own deferred command goes first; a command waits until the server
  // may take it.
  return m_phase == EPhase::kAwaitingData || m_phase == EPhase::kAwaitingRelayedData ||
         m_pDeferred != nullptr || m_nClientOwed + locals >= kMaxOwedClient ||
         (m_phase == EPhase::kRelay && !ServerMayTakeCommand());
}

// ---------------------------------------------------------------- client side

void CDialogueModel::ClientPiece(const std::string& piece) {
  if (!m_strHeld.empty() || Holding()) {
    m_strHeld += piece;
    return;
  }
  size_t used = Process(piece.data(), piece.size());
  m_strHeld.append(piece, used, std::string::npos);
}

void CDialogueModel::Release() {
  if (m_strHeld.empty() || Holding()) return;
  std::string held;
  held.swap(m_strHeld);
  size_t used = Process(held.data(), held.size());
  m_strHeld = held.substr(used);
}

size_t CDialogueModel::Process(const char* data, size_t length) {
  size_t pos = 0;
  while (pos < length && !Holding()) {
    if (m_qwDiscard > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(m_qwDiscard, length - pos));
      m_qwDiscard -= n;
      pos += n;
      continue;
    }
    switch (m_phase) {
      case EPhase::kRelay:
        pos += CommandBytes(data + pos, length - pos);
        break;
      case EPhase::kSpooling:
        pos += MessageBytes(data + pos, length - pos);
        break;
      case EPhase::kPassThrough:
        pos += PassThroughBytes(data + pos, length - pos);
        break;
      case EPhase::kAwaitingData:
      case EPhase::kAwaitingRelayedData:
        return pos;
    }
  }
  return pos;
}

size_t CDialogueModel::CommandBytes(const char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != '\n') continue;
    bool cr = i > 0 ? data[i - 1] == '\r' : (!m_strPartial.empty() && m_strPartial.back() == '\r');
    if (!cr) continue;
    std::string line;
    line.swap(m_strPartial);
    line.append(data, i + 1);
    HandleLine(line);
    return i + 1;
  }
  m_strPartial.append(data, length);
  if (m_strPartial.size() > kMaxPartialLine) {
    // No legal line is this long. A trailing CR stays: it may begin the
    // line's CRLF. The head decides, at the read that made it over-long.
    size_t keep = m_strPartial.back() == '\r' ? 1 : 0;
    size_t body = m_strPartial.size() - keep;
    if (!m_bHeadRelayed && m_pRefusal == nullptr)
      m_pRefusal = LineRefusal(m_strPartial.substr(0, body), m_bAuthAnswer);
    // An answer to a challenge is no command, whatever it spells.
    bool answeredHere =
        !m_bAuthAnswer && (IsDataLine(m_strPartial) || EqualNoCase(Verb(m_strPartial), "BDAT") ||
                           IsWithheldVerb(Verb(m_strPartial), m_bTrusted));
    if (m_pRefusal != nullptr) {
      // Refused whatever follows: nothing of it is kept.
      m_strPartial.erase(0, body);
    } else if (!m_bHeadRelayed && (m_bServerLost || answeredHere)) {
      // Never reaches the server: only the head is kept, which decides the
      // answer.
      size_t head = kMaxPartialLine - 1;
      m_strPartial.erase(head, body - head);
    } else {
      // Goes out as it grows; the server judges it.
      if (!m_bHeadRelayed) {
        m_bHeadRelayed = true;
        m_bHeadHelo = !m_bAuthAnswer && EqualNoCase(Verb(m_strPartial), "HELO");
        m_headOwner = !m_bAuthAnswer && EqualNoCase(Verb(m_strPartial), "EHLO")
                          ? EOwner::kClientEhlo
                          : EOwner::kClient;
      }
      ToServer(Blanked(m_strPartial.substr(0, body)));
      m_strPartial.erase(0, body);
    }
  }
  return length;
}

void CDialogueModel::HandleLine(const std::string& line) {
  if (m_bHeadRelayed) {
    // The rest of a line whose head went out.
    m_bHeadRelayed = false;
    if (m_bServerLost) {
      // Its reply can never come.
      Local(k421);
      return;
    }
    // Whatever its verb, it ends a group: its head went out unjudged. A
    // HELO ends PIPELINING however long it is.
    if (m_bHeadHelo && !m_accept.longHeloKeepsPipelining) m_bPipelining = false;
    ToServer(Blanked(line));
    Owe(m_headOwner, true, true);
    return;
  }
  const char* refusal = m_pRefusal != nullptr ? m_pRefusal : LineRefusal(line, m_bAuthAnswer);
  m_pRefusal = nullptr;
  if (refusal != nullptr) {
    Local(refusal);
    return;
  }
  if (m_bServerLost) {
    Local(k421);
    return;
  }
  std::string verb = Verb(line);
  if (m_bAuthAnswer) {
    // The answer to a challenge, read by the server as such.
    ToServer(line);
    Owe(EOwner::kClient, true, true);
  } else if (IsDataLine(line)) {
    HandleData(line);
  } else if (EqualNoCase(verb, "BDAT")) {
    Local(k502);
    m_qwDiscard = BdatSize(line);
  } else if (IsWithheldVerb(verb, m_bTrusted)) {
    Local(k502);
  } else {
    // PIPELINING is an answer to EHLO: a session that goes on with HELO has
    // none.
    if (EqualNoCase(verb, "HELO")) m_bPipelining = false;
    ToServer(line);
    Owe(EqualNoCase(verb, "EHLO") ? EOwner::kClientEhlo : EOwner::kClient, true, EndsGroup(verb));
  }
}

void CDialogueModel::HandleData(const std::string& line) {
  m_normaliser.Reset();  // the DATA line's CRLF may begin the marker
  m_strMessage.clear();
  m_bTooBig = false;
  // The plug-in tries names until one is free; the last attempt decides.
  for (;;) {
    const SLogEntry& create = Take(ELogKind::kCreate, "a DATA line");
    if (create.ok) {
      Local(k354);
      m_phase = EPhase::kSpooling;
      m_nSpoolId = create.spoolId;
      m_dwLastProtection = CFakeClock::Now();
      return;
    }
    if (!create.exists) break;
  }
  if (!m_bRelayUnspooled) {
    // No spool, no scan: the client keeps its message for later.
    Local(k451NoSpool);
    return;
  }
  // Relayed by choice: DATA goes to the server, and the client waits for its
  // answer.
  ToServer(line);
  Owe(EOwner::kClientData, true, true);
  m_phase = EPhase::kAwaitingRelayedData;
}

size_t CDialogueModel::MessageBytes(const char* data, size_t length) {
  // The keep-alive interval is looked at once per read of message bytes. A
  // keep-alive that cannot go yet is tried again at the next read.
  if (m_bKeepAliveTimer) {
    uint32_t now = CFakeClock::Now();
    if (now < m_dwLastProtection) {
      m_dwLastProtection = now;  // the counter wrapped
    } else if (now - m_dwLastProtection > m_dwKeepAliveInterval && TryKeepAlive()) {
      m_dwLastProtection = now;
    }
  }
  size_t before = m_strMessage.size();
  size_t used = length;
  bool ended = false;
  for (size_t i = 0; i < length && !ended; ++i) {
    ended = m_normaliser.Byte(data[i], &m_strMessage);
    used = i + 1;
  }
  // The size limit is looked at whenever a read stores something: the
  // spool, its final ".\r\n" included, may hold the limit and 3 bytes.
  if (m_qwSizeLimit > 0 && m_strMessage.size() > before &&
      m_strMessage.size() > m_qwSizeLimit + 3) {
    m_bTooBig = true;
  }
  if (ended) EndOfMessage();
  return used;
}

void CDialogueModel::EndOfMessage() {
  const CFaultySpoolStore& store = World().m_store;
  if (m_nSpoolId < 0 || static_cast<size_t>(m_nSpoolId) >= store.m_records.size()) {
    Fail("model: no record of spool file %d", m_nSpoolId);
  }
  const SSpoolRecord& record = store.m_records[static_cast<size_t>(m_nSpoolId)];
  if (m_bServerLost) {
    // Nothing can deliver it: neither scanned nor sent.
    Local(k451);
    m_phase = EPhase::kRelay;
    return;
  }
  if (m_bTooBig || record.writeFailed || record.closeFailed) {
    Local(m_bTooBig ? k552 : k452);
    SendOwn("RSET\r\n", EOwner::kRset, false);
    m_phase = EPhase::kRelay;
    return;
  }
  bool infected = false;
  bool rejected = false;
  std::string text;
  if (m_bCallback) {
    const SLogEntry& scan = Take(ELogKind::kScan, "the end of a message");
    if (scan.bytes != m_strMessage) {
      Fail("the scanner was given \"%s\"\nbut the client's message, normalised, is \"%s\"",
           Printable(scan.bytes).c_str(), Printable(m_strMessage).c_str());
    }
    if (scan.spoolId != m_nSpoolId) {
      Fail("the scanner was given spool file %d, the message went to %d", scan.spoolId, m_nSpoolId);
    }
    infected = !scan.threw && scan.result > 0;
    rejected = infected && m_bVersion2 && scan.result == kScanResultReject;
    if (!scan.threw) text = scan.text;
    // The first keep-alive call sends a NOOP if nothing is owed; the others
    // find its answer owed (the fake server socket shows nothing unread).
    if (scan.keepAlives > 0) TryKeepAlive();
  }
  if (rejected) {
    Local(RejectReply(text));
    SendOwn("RSET\r\n", EOwner::kRset, false);
    m_phase = EPhase::kRelay;
    return;
  }
  if (infected) {
    Local(k250Accepted);
    SendOwn("RSET\r\n", EOwner::kRset, false);
    m_phase = EPhase::kRelay;
    return;
  }
  m_strInsert = HeaderText(text);
  // The client's answer to its end of data is the server's answer to this
  // DATA unless that is a 354.
  SendOwn("DATA\r\n", EOwner::kData, true);
  m_phase = EPhase::kAwaitingData;
}

size_t CDialogueModel::PassThroughBytes(const char* data, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    if (m_normaliser.Byte(data[i], &out)) {
      ToServer(out);
      m_phase = EPhase::kRelay;
      if (m_bServerLost) {
        Local(k451);
      } else {
        // The server's answer to the end of data; it does not end a group.
        Owe(EOwner::kClient, true, false);
      }
      return i + 1;
    }
  }
  ToServer(out);
  return length;
}

// ---------------------------------------------------------------- server side

void CDialogueModel::ServerPiece(const std::string& piece) {
  // A server that was given up is not listened to, from the reply that lost
  // it on: nothing it says can be matched to a command.
  if (m_bServerLost) return;
  size_t pos = 0;
  while (pos < piece.size() && !m_bServerLost) {
    size_t lf = piece.find('\n', pos);
    if (lf == std::string::npos) {
      m_strLine.append(piece, pos, std::string::npos);
      // An over-long line is taken as it comes: its head decides what it is.
      if (m_strLine.size() - m_nLineHandled > kMaxReplyLine) {
        if (!m_bLineStarted) {
          m_bLineStarted = true;
          LineHead(m_strLine);
        }
        m_nLineHandled = m_strLine.size();
      }
      return;
    }
    m_strLine.append(piece, pos, lf + 1 - pos);
    pos = lf + 1;
    LineComplete();
  }
}

void CDialogueModel::LineHead(const std::string& head) {
  m_bLastLine = !(head.size() >= 4 && head[3] == '-');
  if (!m_bInReply) StartReply(head);
  ++m_nReplyLines;
  if (m_replyFor == EOwner::kClientEhlo && m_nCode == 250 && m_nReplyLines > 1) {
    uint64_t size = SizeLimit(head);
    if (size > 0) m_qwSizeLimit = size;
    if (EqualNoCase(Keyword(head, nullptr), "PIPELINING")) m_bPipelining = true;
  }
  // An EHLO line is withheld by its first bytes, however long it grows; the
  // first line (the greeting of the reply) always stays.
  m_bWithheld = m_bRelay && m_replyFor == EOwner::kClientEhlo && m_nReplyLines > 1 &&
                IsWithheldExtension(head, m_bTrusted);
}

void CDialogueModel::StartReply(const std::string& head) {
  m_bInReply = true;
  m_nReplyLines = 0;
  m_nCode = ReplyCode(head);
  m_strCode = m_nCode >= 0 ? head.substr(0, 3) : std::string();
  m_strEhloPending.clear();
  if (m_owed.empty()) {
    // Nothing asked for it: only a 421 (the server closing) reaches the
    // client.
    m_replyFor = EOwner::kUnasked;
    m_bReplySlot = false;
    m_bRelay = m_nCode == 421;
    return;
  }
  SOwed owed = m_owed.front();
  m_owed.pop_front();
  if (IsClientOwner(owed.owner)) --m_nClientOwed;
  m_replyFor = owed.owner;
  m_bReplySlot = owed.slot;
  m_bRelay = IsClientOwner(owed.owner) || (owed.owner == EOwner::kData && IsFailure(m_nCode));
  // A successful EHLO reply says afresh what the server takes.
  if (owed.owner == EOwner::kClientEhlo && m_nCode == 250) {
    m_qwSizeLimit = 0;
    m_bPipelining = false;
  }
  if (m_bRelay && m_bReplySlot && (m_answers.empty() || m_answers.front().local)) {
    Fail("model: a reply to a %s finds no open answer slot", OwnerName(owed.owner));
  }
}

void CDialogueModel::LineComplete() {
  std::string line;
  line.swap(m_strLine);
  bool overlong = m_bLineStarted;
  m_bLineStarted = false;
  m_nLineHandled = 0;
  if (!overlong) LineHead(line);
  if (m_bRelay) {
    if (m_replyFor == EOwner::kClientEhlo) {
      EhloLine(line, overlong);
    } else {
      ToClient(line);
    }
  }
  if (m_bLastLine) FinishReply();
}

void CDialogueModel::EhloLine(const std::string& line, bool overlong) {
  if (m_bWithheld) {
    if (m_bLastLine) {
      // The withheld line closed the reply: the kept line held back closes it
      // instead ("250-" becomes "250 "); when none is held back (it was too
      // long to hold), the bare reply code does (RFC 5321 section 4.2).
      if (!m_strEhloPending.empty()) {
        if (m_strEhloPending.size() > 3 && m_strEhloPending[3] == '-') m_strEhloPending[3] = ' ';
        ToClient(m_strEhloPending);
        m_strEhloPending.clear();
      } else if (m_nCode >= 0) {
        ToClient(m_strCode + "\r\n");
      }
    }
    return;
  }
  // One kept line is held back in case the closing line is withheld; a line
  // too long to hold passes at once.
  ToClient(m_strEhloPending);
  m_strEhloPending.clear();
  if (overlong || m_bLastLine || line.size() > kMaxReplyLine) {
    ToClient(line);
  } else {
    m_strEhloPending = line;
  }
}

void CDialogueModel::FinishReply() {
  m_bInReply = false;
  ToClient(m_strEhloPending);
  m_strEhloPending.clear();
  bool slotDone = m_bReplySlot;
  switch (m_replyFor) {
    case EOwner::kData:
      if (m_nCode == 354) {
        // The slot now waits for the answer to the delivered message.
        slotDone = false;
        Deliver();
      } else if (m_bRelay) {
        m_phase = EPhase::kRelay;  // refused by the server: the message is dropped
        // The client heard the 421; the server is closing.
        if (m_nCode == 421) LoseServer(nullptr);
      } else {
        // Never a valid answer here: the client must not hear it as success.
        slotDone = false;
        LoseServer(k451);
      }
      break;
    case EOwner::kUnasked:
      LoseServer(m_nCode == 421 ? nullptr : k421OutOfStep);
      break;
    case EOwner::kClientData:
      if (m_phase != EPhase::kAwaitingRelayedData) {
        Fail("model: relayed DATA answered in phase %s", PhaseName(static_cast<int>(m_phase)));
      }
      if (m_nCode == 354) {
        m_phase = EPhase::kPassThrough;
        m_bodyStarts.push_back(m_toServer.size());
      } else {
        m_phase = EPhase::kRelay;
      }
      break;
    case EOwner::kNoop:
      // A refused keep-alive is not repeated; a 421 ends the server.
      if (m_nCode >= 400 || m_nCode < 0) m_bKeepAliveStopped = true;
      if (m_nCode == 421) LoseServer(k421);
      break;
    case EOwner::kRset:
      if (m_nCode == 421) LoseServer(k421);
      break;
    case EOwner::kClient:
      // A challenge: the next line the server gets is its answer.
      if (m_nCode == 334 && m_owed.empty()) m_bAuthAnswer = true;
      break;
    case EOwner::kClientEhlo:
      break;
  }
  if (slotDone) {
    if (m_answers.empty() || m_answers.front().local) Fail("model: answer slot lost");
    m_answers.pop_front();
  }
  FlushAnswers();
  SendDeferred();
}

void CDialogueModel::Deliver() {
  const SLogEntry& reopen = Take(ELogKind::kOpenRead, "a 354 answering the plug-in's DATA");
  if (reopen.spoolId != m_nSpoolId) {
    Fail("the plug-in reopened spool file %d to deliver spool file %d", reopen.spoolId, m_nSpoolId);
  }
  if (!reopen.ok) {
    LoseServer(k451);
    return;
  }
  std::string message = m_strMessage;
  if (!m_strInsert.empty()) message.insert(HeaderEnd(message), m_strInsert);
  const SSpoolRecord& record = World().m_store.m_records[static_cast<size_t>(m_nSpoolId)];
  if (record.readFailed) {
    // Whatever was read before the failure went out; nothing may follow.
    const std::string& offered = *m_pServerOffered;
    size_t n = 0;
    while (n < message.size() && m_toServer.size() + n < offered.size() &&
           offered[m_toServer.size() + n] == message[n]) {
      ++n;
    }
    m_bodyStarts.push_back(m_toServer.size());
    ToServer(message.substr(0, n));
    LoseServer(k451);
    return;
  }
  m_bodyStarts.push_back(m_toServer.size());
  ToServer(message);
  // The answer to the end of data fills the slot the DATA kept open; it does
  // not end a group.
  Owe(EOwner::kClient, false, false);
  m_owed.back().slot = true;
  m_phase = EPhase::kRelay;
}

void CDialogueModel::LoseServer(const char* clientReply) {
  if (m_bServerLost) return;
  m_bServerLost = true;
  // Every reply the server still owes the client is answered here, in its
  // place: the message's with clientReply or a 451, the commands' with a
  // 421. Once the answer to the plug-in's DATA has come (or while the message
  // is delivered), the message's slot is the oldest open one.
  size_t next = 0;
  auto openSlot = [&]() -> SAnswer& {
    while (next < m_answers.size() && m_answers[next].local) ++next;
    if (next == m_answers.size()) Fail("model: an answer slot is missing");
    return m_answers[next++];
  };
  // The message awaiting the answer to our DATA (sent, deferred, or answered
  // 354 and being delivered) always hears 451, whatever ended the server.
  bool dataOwed = std::any_of(m_owed.begin(), m_owed.end(),
                              [](const SOwed& owed) { return owed.owner == EOwner::kData; });
  for (const SOwed& owed : m_owed) {
    if (owed.slot) openSlot() = SAnswer{true, owed.owner == EOwner::kData ? k451 : k421};
  }
  if (m_phase == EPhase::kAwaitingData && !dataOwed) openSlot() = SAnswer{true, k451};
  m_owed.clear();
  m_nClientOwed = 0;
  m_pDeferred = nullptr;
  m_bKeepAliveStopped = true;
  switch (m_phase) {
    case EPhase::kAwaitingData:
      m_phase = EPhase::kRelay;
      break;
    case EPhase::kRelay:
    case EPhase::kAwaitingRelayedData:
      if (clientReply != nullptr) Local(clientReply);
      break;
    case EPhase::kSpooling:
    case EPhase::kPassThrough:
      // The client is sending its message; it hears of the loss at its end.
      break;
  }
  FlushAnswers();
}

// ---------------------------------------------------------------- outputs

void CDialogueModel::SendOwn(const char* command, EOwner owner, bool slot) {
  if (m_bServerLost) return;
  // The client's answer waits in its place either way.
  if (slot) m_answers.push_back(SAnswer{false, std::string()});
  if (m_pDeferred == nullptr && ServerMayTakeCommand()) {
    ToServer(command);
    Owe(owner, slot, true, false);
    return;
  }
  m_pDeferred = command;
  m_deferredOwner = owner;
  m_bDeferredSlot = slot;
}

void CDialogueModel::SendDeferred() {
  if (m_pDeferred == nullptr || !ServerMayTakeCommand()) return;
  const char* command = m_pDeferred;
  m_pDeferred = nullptr;
  if (m_bServerLost) return;
  ToServer(command);
  Owe(m_deferredOwner, m_bDeferredSlot, true, false);
}

bool CDialogueModel::TryKeepAlive() {
  // NOOP ends a group: it goes only when nothing is owed (or the server
  // socket shows every owed reply, which the fake socket never does).
  if (m_bKeepAliveStopped || m_bServerLost || !m_owed.empty()) return false;
  ToServer("NOOP\r\n");
  Owe(EOwner::kNoop, false, true);
  return true;
}

void CDialogueModel::Owe(EOwner owner, bool slot, bool endsGroup, bool newSlot) {
  m_owed.push_back(SOwed{owner, slot, endsGroup});
  m_bAuthAnswer = false;
  if (IsClientOwner(owner)) ++m_nClientOwed;
  if (slot && newSlot) m_answers.push_back(SAnswer{false, std::string()});
}

void CDialogueModel::Local(const std::string& text) {
  m_answers.push_back(SAnswer{true, text});
  FlushAnswers();
}

void CDialogueModel::FlushAnswers() {
  // Not into the middle of a reply that is being relayed (one nothing asked
  // for included): it is already partly with the client.
  if (m_bInReply && m_bRelay) return;
  while (!m_answers.empty() && m_answers.front().local) {
    ToClient(m_answers.front().text);
    m_answers.pop_front();
  }
}

// ---------------------------------------------------------------- checks

namespace {

void CompareStream(const char* side, const std::string& offered, const std::string& committed,
                   const std::string& tentative) {
  size_t n = std::min(offered.size(), committed.size());
  size_t diff = 0;
  while (diff < n && offered[diff] == committed[diff]) ++diff;
  if (diff < n || offered.size() < committed.size()) {
    size_t from = diff > 120 ? diff - 120 : 0;
    Fail(
        "the %s stream differs from the model at byte %zu\n  common: \"...%s\"\n  offered:  "
        "\"%s\"\n  expected: \"%s\"",
        side, diff, Printable(offered.substr(from, diff - from)).c_str(),
        Printable(offered.substr(diff, 300)).c_str(),
        Printable(committed.substr(diff, 300)).c_str());
  }
  std::string extra = offered.substr(committed.size());
  if (tentative.compare(0, extra.size(), extra) != 0) {
    size_t from = committed.size() > 120 ? committed.size() - 120 : 0;
    Fail(
        "the %s was offered bytes the model does not expect (yet)\n  after: \"...%s\"\n  "
        "offered: \"%s\"\n  at most: \"%s\"",
        side, Printable(committed.substr(from)).c_str(), Printable(extra, 300).c_str(),
        Printable(tentative, 300).c_str());
  }
}

}  // namespace

void CDialogueModel::CheckStreams(const std::string& serverOffered,
                                  const std::string& clientOffered) {
  CompareStream("server", serverOffered, m_toServer, std::string());
  // A reply line may be relayed as it comes, and the EHLO line held back to
  // close the reply may be too.
  std::string tentative = m_strEhloPending;
  bool mayRelay = m_bInReply ? m_bRelay : true;
  if (!m_bInReply) {
    int code = ReplyCode(m_strLine);
    if (m_owed.empty()) {
      mayRelay = code == 421;
    } else {
      EOwner next = m_owed.front().owner;
      mayRelay = IsClientOwner(next) || (next == EOwner::kData && IsFailure(code));
    }
  }
  if (mayRelay && m_bInReply && m_replyFor == EOwner::kClientEhlo) {
    // Only a line that cannot turn out to be withheld may go out as it grows.
    if (m_bLineStarted) {
      mayRelay = !m_bWithheld;
    } else if (m_nReplyLines >= 1) {
      mayRelay = !MayBeWithheldExtension(m_strLine, m_bTrusted);
    }
  }
  if (m_bServerLost) mayRelay = false;
  if (mayRelay) tentative += m_strLine;
  CompareStream("client", clientOffered, m_toClient, tentative);
}
