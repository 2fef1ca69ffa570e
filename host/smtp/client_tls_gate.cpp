// The client's side of STARTTLS: commands framed at CR LF as the plug-in
// frames them, replies framed at LF as the plug-in's reply framing does, so
// that the gate and the plug-in count the same commands and replies.
#include "host/smtp/client_tls_gate.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kLocalReplyText[] = {
    "220 2.0.0 Ready to start TLS\r\n",
    "501 5.5.4 Syntax error (no parameters allowed)\r\n",
    "503 5.5.1 TLS already active\r\n",
    "502 5.5.1 Command not available\r\n",
    "503 5.5.1 Send EHLO first\r\n",
    "530 5.7.0 Must issue a STARTTLS command first\r\n",
    "538 5.7.11 Encryption required for requested authentication mechanism\r\n",
};

const char kStartTlsLine[] = "250 STARTTLS\r\n";
const char kBareClose[] = "250\r\n";

int ReplyCode(const char* line, size_t length) {
  if (length < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// The end of the line that data[from, length) continues: just past its LF,
// or length.
size_t LineEnd(const char* data, size_t from, size_t length) {
  const void* lf = std::memchr(data + from, '\n', length - from);
  return lf == nullptr ? length : static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
}

// An EHLO keyword line the client must not see: STARTTLS (the gate offers
// its own, or none), and AUTH in either form ("AUTH PLAIN", "AUTH=PLAIN").
// A keyword has a verb's syntax (RFC 5321 section 4.1.1.1), so it is read as
// one: whatever byte ends it, the client could take it for the keyword.
bool IsHiddenKeyword(const char* line, size_t length, bool hideAuth) {
  if (length <= 4) return false;
  const char* keyword = line + 4;
  if (CommandVerbIs(keyword, length - 4, "STARTTLS")) return true;
  return hideAuth && CommandVerbIs(keyword, length - 4, "AUTH");
}

// Verbs that the gate lets through before TLS under --require-tls, and
// between STARTTLS and EHLO: none gives the session anything to act on.
bool IsSessionVerb(const char* verb, size_t length) {
  return CommandVerbIs(verb, length, "EHLO") || CommandVerbIs(verb, length, "HELO") ||
         CommandVerbIs(verb, length, "NOOP") || CommandVerbIs(verb, length, "RSET") ||
         CommandVerbIs(verb, length, "QUIT");
}

// Appends a reply line with its continuation mark set: more lines follow it
// or none. A line too short to carry a mark gets one after its code.
void AppendLine(const char* line, size_t length, bool last, std::string* out) {
  const bool isLast = !(length >= 4 && line[3] == '-');
  if (isLast == last || length < 3) {
    out->append(line, length);
    return;
  }
  out->append(line, 3);
  out->push_back(last ? ' ' : '-');
  const size_t rest = length >= 4 && (line[3] == ' ' || line[3] == '-') ? 4 : 3;
  out->append(line + rest, length - rest);
}

}  // namespace

ClientTlsGate::ClientTlsGate(const Settings& settings)
    : m_settings(settings), m_tlsActive(settings.implicitTls) {}

bool ClientTlsGate::AuthInPlainText() const {
  return !m_settings.requireTls && (m_settings.loopbackClient || m_settings.plaintextAuth);
}

bool ClientTlsGate::HoldingClient() const {
  if (m_input == Input::kDiscard) return false;
  if (m_awaiting != Await::kNone) return true;
  // A new command may need a place in the queue.
  return m_input == Input::kCommand && m_line == Line::kVerb && m_verbLength == 0 && !m_verbCr &&
         m_queueCount == kMaxLocalReplies;
}

size_t ClientTlsGate::FromClient(const char* data, size_t length, char* out, size_t* outLength) {
  size_t pos = 0;
  size_t produced = 0;
  while (pos < length && !HoldingClient()) {
    const char* at = data + pos;
    const size_t left = length - pos;
    switch (m_input) {
      case Input::kDiscard:
        m_tally.discardedBytes += left;
        pos = length;
        break;
      case Input::kMessage: {
        bool ended = false;
        const size_t n = m_dataEnd.Feed(at, left, &ended);
        std::memcpy(out + produced, at, n);
        produced += n;
        pos += n;
        if (ended) {
          ++m_passed;  // the reply to the message
          m_input = Input::kCommand;
        }
        break;
      }
      case Input::kChunk: {
        // Nobody reads it but the gate: it is no command, and the BDAT that
        // brought it was answered here.
        const size_t n = static_cast<size_t>(std::min<uint64_t>(m_chunkLeft, left));
        pos += n;
        m_chunkLeft -= n;
        if (m_chunkLeft == 0) m_input = Input::kCommand;
        break;
      }
      case Input::kAuthResponse: {
        // Passed unread: it may spell anything, STARTTLS included.
        bool ended = false;
        const size_t n = LineRun(at, left, &ended);
        std::memcpy(out + produced, at, n);
        produced += n;
        pos += n;
        if (ended) {
          ++m_passed;
          m_awaiting = Await::kAuth;
          m_input = Input::kCommand;
        }
        break;
      }
      case Input::kCommand:
        pos += CommandBytes(at, left, out, &produced);
        break;
    }
  }
  *outLength = produced;
  return pos;
}

size_t ClientTlsGate::LineRun(const char* data, size_t length, bool* ended) {
  *ended = false;
  size_t from = 0;
  while (from < length) {
    const void* lf = std::memchr(data + from, '\n', length - from);
    if (lf == nullptr) break;
    const size_t i = static_cast<size_t>(static_cast<const char*>(lf) - data);
    const bool cr = i > 0 ? data[i - 1] == '\r' : m_lastCr;
    if (cr) {
      *ended = true;
      m_lastCr = false;
      return i + 1;
    }
    from = i + 1;
  }
  m_lastCr = data[length - 1] == '\r';
  return length;
}

size_t ClientTlsGate::CommandBytes(const char* data, size_t length, char* out, size_t* produced) {
  size_t pos = 0;
  while (m_line == Line::kVerb && pos < length) {
    const char c = data[pos];
    if (m_verbCr) {
      // The byte after the CR that followed the verb: LF ends a line that
      // is its verb alone; anything else makes the CR a bare one. Either
      // belongs to the rest of the line.
      DecideVerb(c == '\n' ? VerbEnd::kLineEnd : VerbEnd::kByte, '\r', out, produced);
      break;
    }
    if (IsCommandVerbByte(c)) {
      if (m_verbLength == kMaxVerb) {
        // Longer than any verb the gate knows: the rest of it is the line's.
        DecideVerb(VerbEnd::kOverlong, 0, out, produced);
        break;
      }
      m_verb[m_verbLength++] = c;
      ++pos;
    } else if (c == '\r') {
      m_verbCr = true;
      ++pos;
    } else {
      // The verb ends here; the byte that ends it belongs to the rest.
      DecideVerb(VerbEnd::kByte, c, out, produced);
      break;
    }
  }
  if (pos == length) return pos;

  bool ended = false;
  const size_t n = LineRun(data + pos, length - pos, &ended);
  switch (m_line) {
    case Line::kPass:
      std::memcpy(out + *produced, data + pos, n);
      *produced += n;
      break;
    case Line::kRefuse:
      if (m_lineIsBdat) ReadBdatRest(data + pos, n, ended);
      break;
    case Line::kStartTls:
    case Line::kVerb:
      break;
  }
  if (ended) EndCommandLine();
  return pos + n;
}

void ClientTlsGate::DecideVerb(VerbEnd how, char after, char* out, size_t* produced) {
  const char* verb = m_verb;
  // The line as the plug-in judges it, up to the verb's end.
  m_syntax.Begin();
  m_syntax.Feed(verb, m_verbLength);
  if (how == VerbEnd::kByte) m_syntax.Feed(&after, 1);
  // A verb that ends in a byte other than SP, HTAB or the line's end is
  // none the gate knows: "STARTTLS<VT>" is no STARTTLS here, nor at the
  // plug-in, which refuses the line.
  const size_t n = how != VerbEnd::kOverlong && m_syntax.WellFormed() ? m_verbLength : 0;
  // The plug-in may take any line that begins with DATA for DATA: its
  // reply decides.
  const bool data = m_verbLength >= 4 && CommandVerbIs(verb, 4, "DATA");
  const bool ehlo = n > 0 && CommandVerbIs(verb, n, "EHLO");
  const bool auth = n > 0 && CommandVerbIs(verb, n, "AUTH");
  const bool session = n > 0 && IsSessionVerb(verb, n);

  m_line = Line::kRefuse;
  m_lineIsBdat = n > 0 && CommandVerbIs(verb, n, "BDAT");
  m_bdatCr = false;
  m_chunkDigits = 0;
  m_chunkLeft = 0;
  if (n > 0 && CommandVerbIs(verb, n, "STARTTLS") && (m_tlsActive || m_settings.startTls)) {
    // Once only (RFC 3207 section 4.2); with no certificate the plug-in
    // answers it as before, not offered. It takes no parameters.
    if (m_tlsActive) {
      m_refusal = LocalReply::kTlsActive;
    } else if (how == VerbEnd::kLineEnd) {
      m_line = Line::kStartTls;
    } else {
      m_refusal = LocalReply::kNoParameters;
    }
  } else if (m_ehloFirst && !session) {
    // What the session knew before the handshake is void (RFC 3207
    // section 4.2); EHLO tells the client what the encrypted one offers.
    m_refusal = LocalReply::kEhloFirst;
  } else if (!m_tlsActive && m_settings.requireTls && !session) {
    // Every command but these, malformed and unknown ones included: none
    // reaches the server in plain text.
    m_refusal = LocalReply::kTlsRequired;
  } else if (m_lineIsBdat) {
    // CHUNKING is never offered: a BDAT message would pass unscanned.
    m_refusal = LocalReply::kNotAvailable;
  } else if (!m_tlsActive && auth && !AuthInPlainText()) {
    m_refusal = LocalReply::kAuthEncryption;
  } else {
    m_line = Line::kPass;
    if (ehlo || (n > 0 && CommandVerbIs(verb, n, "HELO"))) m_ehloFirst = false;
    // Whether what follows is a command depends on these replies.
    m_lineAwaits = ehlo ? Await::kEhlo : data ? Await::kData : auth ? Await::kAuth : Await::kNone;
    std::memcpy(out + *produced, verb, m_verbLength);
    *produced += m_verbLength;
    if (m_verbCr) out[(*produced)++] = '\r';
  }
  // The rest of the line follows the CR, if one came.
  m_lastCr = m_verbCr;
  m_verbCr = false;
  // Nothing of a line outlives its decision.
  std::memset(m_verb, 0, sizeof m_verb);
  m_verbLength = 0;
}

void ClientTlsGate::ReadBdatRest(const char* data, size_t length, bool ended) {
  // Its size as RFC 3030 has it: blanks, then digits.
  for (size_t i = 0; i < length && m_chunkDigits < 2; ++i) {
    const char c = data[i];
    if (m_chunkDigits == 0 && IsCommandBlank(c)) continue;
    if (c >= '0' && c <= '9' && m_chunkLeft < (1ull << 60)) {
      m_chunkDigits = 1;
      m_chunkLeft = m_chunkLeft * 10 + static_cast<uint64_t>(c - '0');
    } else {
      m_chunkDigits = 2;
    }
  }
  // Its syntax, the CR LF that ends it left out: a CR at the end of a piece
  // is judged once the next byte shows whether an LF follows it.
  if (m_bdatCr && !(ended && length == 1)) m_syntax.Feed("\r", 1);
  m_bdatCr = false;
  size_t body = ended ? length - std::min<size_t>(length, 2) : length;
  if (!ended && body > 0 && data[body - 1] == '\r') {
    m_bdatCr = true;
    --body;
  }
  m_syntax.Feed(data, body);
}

void ClientTlsGate::EndCommandLine() {
  switch (m_line) {
    case Line::kPass:
      ++m_passed;
      m_awaiting = m_lineAwaits;
      break;
    case Line::kStartTls:
      ++m_tally.startTls;
      Queue(LocalReply::kReadyForTls);
      m_input = Input::kDiscard;
      break;
    case Line::kRefuse:
      switch (m_refusal) {
        case LocalReply::kTlsActive:
        case LocalReply::kNoParameters:
          ++m_tally.startTlsRefused;
          break;
        case LocalReply::kNotAvailable:
          ++m_tally.bdat;
          break;
        case LocalReply::kEhloFirst:
          ++m_tally.ehloFirst;
          break;
        case LocalReply::kTlsRequired:
          ++m_tally.tlsRequired;
          break;
        case LocalReply::kAuthEncryption:
          ++m_tally.authEncryption;
          break;
        case LocalReply::kReadyForTls:
          break;
      }
      Queue(m_refusal);
      // A chunk follows a well-formed BDAT line whatever its answer; after
      // a malformed one, commands do.
      if (m_lineIsBdat && m_syntax.WellFormed() && m_chunkLeft > 0) m_input = Input::kChunk;
      break;
    case Line::kVerb:
      break;
  }
  m_line = Line::kVerb;
  m_lineAwaits = Await::kNone;
  m_lineIsBdat = false;
}

void ClientTlsGate::Queue(LocalReply reply) {
  // A new line is not begun while the queue is full, so there is room.
  m_queue[(m_queueHead + m_queueCount) % kMaxLocalReplies] = Queued{reply, m_passed};
  ++m_queueCount;
}

void ClientTlsGate::ReleaseDue(std::string* out) {
  while (m_queueCount > 0 && !m_handshakeDue && m_queue[m_queueHead].after <= m_seen) {
    const LocalReply reply = m_queue[m_queueHead].reply;
    out->append(kLocalReplyText[static_cast<size_t>(reply)]);
    m_queueHead = (m_queueHead + 1) % kMaxLocalReplies;
    --m_queueCount;
    if (reply == LocalReply::kReadyForTls) m_handshakeDue = true;
  }
}

void ClientTlsGate::TakeLocalReplies(std::string* out) {
  if (!m_inReply) ReleaseDue(out);
}

void ClientTlsGate::HandshakeDone() {
  m_handshakeDue = false;
  m_tlsActive = true;
  m_ehloFirst = true;
  m_input = Input::kCommand;
  m_line = Line::kVerb;
  m_lastCr = false;
  m_verbCr = false;
}

size_t ClientTlsGate::ToClient(const char* data, size_t length, std::string* out) {
  size_t pos = 0;
  if (!m_inReply) ReleaseDue(out);
  while (pos < length && !m_handshakeDue) {
    if (!m_inReply) {
      m_inReply = true;
      m_code = -1;
      // The client is held while the EHLO is answered, so the next reply
      // is its answer.
      m_ehloReply = m_awaiting == Await::kEhlo && m_seen + 1 == m_passed;
      m_replyLine = 0;
      m_prefixLength = 0;
      m_classified = false;
      m_streaming = false;
      m_closed = false;
      m_pending.clear();
    }
    pos += m_ehloReply ? EhloReplyBytes(data + pos, length - pos, out)
                       : PlainReplyBytes(data + pos, length - pos, out);
  }
  return pos;
}

size_t ClientTlsGate::PlainReplyBytes(const char* data, size_t length, std::string* out) {
  size_t pos = 0;
  // The code and the continuation mark are in a line's first four bytes.
  while (m_prefixLength < 4 && pos < length) {
    const char c = data[pos++];
    m_prefix[m_prefixLength++] = c;
    if (c == '\n') {
      out->append(data, pos);
      PlainLineDone(out);
      return pos;
    }
  }
  const size_t end = LineEnd(data, pos, length);
  out->append(data, end);
  if (end > 0 && data[end - 1] == '\n' && end > pos) PlainLineDone(out);
  return end;
}

void ClientTlsGate::PlainLineDone(std::string* out) {
  const bool last = !(m_prefixLength >= 4 && m_prefix[3] == '-');
  if (m_replyLine == 0) m_code = ReplyCode(m_prefix, m_prefixLength);
  m_prefixLength = 0;
  ++m_replyLine;
  if (last) EndReply(out);
}

size_t ClientTlsGate::EhloReplyBytes(const char* data, size_t length, std::string* out) {
  size_t pos = 0;
  if (!m_classified) {
    while (pos < length && m_prefixLength < kPrefix) {
      const char c = data[pos++];
      m_prefix[m_prefixLength++] = c;
      if (c == '\n') break;
    }
    const bool complete = m_prefix[m_prefixLength - 1] == '\n';
    if (m_prefixLength < kPrefix && !complete) return pos;
    ClassifyEhloLine(out);
    if (!m_ehloReply) {
      // Not a list of extensions: the line passes as it came.
      out->append(m_prefix, m_prefixLength);
      if (complete) PlainLineDone(out);
      return pos;
    }
    if (complete) {
      EhloLineDone(out);
      return pos;
    }
  }
  const size_t end = LineEnd(data, pos, length);
  if (m_lineKept) {
    if (m_streaming) {
      out->append(data + pos, end - pos);
    } else if (m_pending.size() + (end - pos) > kMaxHeldLine) {
      // Too long to hold: it goes out as it comes, its mark set now. A last
      // line stays last unless STARTTLS is to follow it.
      const bool last = !(m_pending.size() >= 4 && m_pending[3] == '-');
      AppendLine(m_pending.data(), m_pending.size(), last && !OfferStartTls(), out);
      m_closed = last && !OfferStartTls();
      m_pending.clear();
      m_streaming = true;
      out->append(data + pos, end - pos);
    } else {
      m_pending.append(data + pos, end - pos);
    }
  }
  if (end > pos && data[end - 1] == '\n') EhloLineDone(out);
  return end;
}

void ClientTlsGate::ClassifyEhloLine(std::string* out) {
  m_classified = true;
  const char* line = m_prefix;
  const size_t n = m_prefixLength;
  if (m_replyLine == 0) {
    // Only a successful reply lists extensions; any other passes as it is.
    const bool ok = n >= 3 && line[0] == '2' && line[1] == '5' && line[2] == '0';
    if (!ok) {
      m_ehloReply = false;
      m_classified = false;
      return;
    }
    m_code = 250;
  }
  // The first line names the server: it is never a keyword.
  m_lineKept = m_replyLine == 0 || !IsHiddenKeyword(line, n, !m_tlsActive && !AuthInPlainText());
  if (!m_lineKept) return;
  // A line follows the one held back, so that one is not the last.
  if (!m_pending.empty()) AppendLine(m_pending.data(), m_pending.size(), false, out);
  if (m_pending.capacity() < kMaxHeldLine) m_pending.reserve(kMaxHeldLine);
  m_pending.assign(line, n);
}

void ClientTlsGate::EhloLineDone(std::string* out) {
  const bool last = !(m_prefixLength >= 4 && m_prefix[3] == '-');
  m_classified = false;
  m_prefixLength = 0;
  m_streaming = false;
  ++m_replyLine;
  if (!last) return;
  if (OfferStartTls()) {
    if (!m_pending.empty()) AppendLine(m_pending.data(), m_pending.size(), false, out);
    out->append(kStartTlsLine);
  } else if (!m_pending.empty()) {
    AppendLine(m_pending.data(), m_pending.size(), true, out);
  } else if (!m_closed) {
    // The closing line was hidden and the one before it went out as it
    // came: a bare code closes the reply (RFC 5321 section 4.2).
    out->append(kBareClose);
  }
  // The held line's room is given back: an EHLO reply comes once or twice a
  // session, and an idle session should not keep it.
  std::string().swap(m_pending);
  EndReply(out);
}

void ClientTlsGate::EndReply(std::string* out) {
  m_inReply = false;
  // A reply the plug-in gives unasked answers nothing of the client's.
  if (m_seen < m_passed) ++m_seen;
  if (m_seen == m_passed && m_awaiting != Await::kNone) {
    if (m_awaiting == Await::kData && m_code == 354) {
      m_input = Input::kMessage;
      m_dataEnd.Begin();
    } else if (m_awaiting == Await::kAuth && m_code == 334) {
      m_input = Input::kAuthResponse;
      m_lastCr = false;
    }
    m_awaiting = Await::kNone;
  }
  ReleaseDue(out);
}
