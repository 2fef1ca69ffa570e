// Reply accounting: which reply answers which command, and where it goes.
//
// Every command that goes to the server is recorded in m_owed with who sent
// it. Server bytes are assembled into lines and lines into replies (a
// multi-line reply is "ddd-" lines closed by a "ddd " or "ddd" line, RFC 5321
// section 4.2.1); each complete reply answers the oldest record. Replies to
// the client's commands are relayed byte for byte; replies to our own NOOP,
// RSET and DATA never reach the client. Replies we give ourselves wait in the
// same record until every reply owed to the client before them has gone out.
#include <cstring>

#include "boundary/trace.h"
#include "session/smtp_connection.h"

namespace {

bool IsClientKind(EOwed kind) {
  switch (kind) {
    case EOwed::kClient:
    case EOwed::kClientEhlo:
    case EOwed::kClientData:
      return true;
    case EOwed::kNoop:
    case EOwed::kData:
    case EOwed::kRset:
    case EOwed::kLocal:
      return false;
  }
  return false;
}

int ReplyCode(const char* line, size_t length) {
  if (length < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// EHLO keywords withheld from the client: CHUNKING and BINARYMIME would let a
// message bypass the scan (BDAT, RFC 3030); STARTTLS cannot be relayed.
const char* WithheldKeyword(const char* line, size_t length) {
  static const char* const kWithheld[] = {"CHUNKING", "BINARYMIME", "STARTTLS"};
  if (length < 4) return nullptr;
  const char* word = line + 4;
  size_t n = 0;
  while (4 + n < length && word[n] != ' ' && word[n] != '\r' && word[n] != '\n') ++n;
  for (const char* keyword : kWithheld) {
    if (std::strlen(keyword) != n) continue;
    size_t i = 0;
    while (i < n) {
      char c = word[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != keyword[i]) break;
      ++i;
    }
    if (i == n) return keyword;
  }
  return nullptr;
}

}  // namespace

void CSmtpConnection::ExpectReply(EOwed kind) {
  m_owed.push_back(COwed{kind, nullptr});
  if (IsClientKind(kind)) ++m_nOwedClient;
  if (kind == EOwed::kNoop) {
    ++m_nOwedNoops;
    m_bNoopSent = 1;
  }
}

void CSmtpConnection::SendCommandToServer(const char* data, size_t length, EOwed kind) {
  ExpectReply(kind);
  RelayToServer(data, length);
}

void CSmtpConnection::RelayToServer(const char* data, size_t length) {
  if (length == 0 || m_pSockServer == nullptr) return;
  SockSend(m_pSockServer, data, static_cast<int>(length), INFINITE);
}

void CSmtpConnection::SendToClient(const char* data, size_t length) {
  if (length == 0) return;
  SockSend(m_pSockApplication, data, static_cast<int>(length), INFINITE);
}

void CSmtpConnection::QueueLocalReply(const char* text) {
  m_owed.push_back(COwed{EOwed::kLocal, text});
  ++m_nOwedLocal;
  FlushLocalReplies();
}

void CSmtpConnection::FlushLocalReplies() {
  // Not in the middle of a reply that goes to the client.
  if (m_bInReply && m_bReplyRelay) return;
  for (std::deque<COwed>::iterator it = m_owed.begin(); it != m_owed.end();) {
    if (it->kind == EOwed::kLocal) {
      const char* text = it->text;
      it = m_owed.erase(it);
      --m_nOwedLocal;
      SendToClient(text, std::strlen(text));
      continue;
    }
    if (IsClientKind(it->kind)) break;
    // Our own commands' replies are swallowed whenever they come: they need
    // not hold the client's answers back.
    ++it;
  }
}

void CSmtpConnection::ProcessServerBytes(const char* data, size_t length) {
  size_t pos = 0;
  while (pos < length) {
    const void* lf = std::memchr(data + pos, '\n', length - pos);
    if (lf == nullptr) {
      size_t rest = length - pos;
      if (m_strReplyLine.size() + rest > kMaxReplyLine) {
        // No reply line is this long (RFC 5321 section 4.5.3.1.5): handle
        // what there is as a fragment, and the rest of the line likewise.
        // Taken out first: if relaying it throws, it must not stay to grow.
        std::string fragment;
        fragment.swap(m_strReplyLine);
        fragment.append(data + pos, rest);
        HandleReplyLine(fragment.data(), fragment.size(), false);
        fragment.clear();
        m_strReplyLine.swap(fragment);  // keep the capacity
      } else {
        m_strReplyLine.append(data + pos, rest);
      }
      return;
    }
    size_t end = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
    if (m_strReplyLine.empty()) {
      HandleReplyLine(data + pos, end - pos, true);
    } else {
      m_strReplyLine.append(data + pos, end - pos);
      std::string line;
      line.swap(m_strReplyLine);
      HandleReplyLine(line.data(), line.size(), true);
      line.clear();
      if (m_strReplyLine.empty()) m_strReplyLine.swap(line);  // keep the capacity
    }
    pos = end;
  }
}

void CSmtpConnection::HandleReplyLine(const char* line, size_t length, bool complete) {
  if (!m_bReplyLineOverlong) {
    // The first bytes of a line: its code and whether more lines follow.
    m_bReplyLastLine = !(length >= 4 && line[3] == '-');
    if (!m_bInReply) StartReply(line, length);
    ++m_nReplyLines;
  }
  if (m_bReplyRelay) {
    if (m_eReplyFor == EOwed::kClientEhlo) {
      RelayEhloLine(line, length, complete);
    } else {
      SendToClient(line, length);
    }
  }
  m_bReplyLineOverlong = complete ? 0 : 1;
  if (complete && m_bReplyLastLine) FinishReply();
}

void CSmtpConnection::StartReply(const char* line, size_t length) {
  FlushLocalReplies();
  m_bInReply = 1;
  m_nReplyLines = 0;
  m_nReplyCode = ReplyCode(line, length);
  m_strEhloLine.clear();
  if (m_owed.empty()) {
    // Nothing asked for it (a 421 before closing, say): the client hears it.
    m_eReplyFor = EOwed::kClient;
  } else {
    m_eReplyFor = m_owed.front().kind;
    m_owed.pop_front();
    if (IsClientKind(m_eReplyFor)) --m_nOwedClient;
    if (m_eReplyFor == EOwed::kNoop) {
      --m_nOwedNoops;
      m_bNoopSent = m_nOwedNoops > 0 ? 1 : 0;
      Trace(1, "DIVIVEZ: Server answer is noop answer, ignore\n");
    }
  }
  switch (m_eReplyFor) {
    case EOwed::kClient:
    case EOwed::kClientEhlo:
    case EOwed::kClientData:
      m_bReplyRelay = 1;
      break;
    case EOwed::kNoop:
    case EOwed::kRset:
    case EOwed::kLocal:
      m_bReplyRelay = 0;
      break;
    case EOwed::kData:
      // Anything but 354 refuses the message: it is the client's answer to
      // its end of data.
      m_bReplyRelay = m_nReplyCode == 354 ? 0 : 1;
      break;
  }
}

void CSmtpConnection::RelayEhloLine(const char* line, size_t length, bool complete) {
  // Whether a line is withheld is decided by its first bytes and holds for
  // the fragments of an over-long line too.
  bool first = !m_bReplyLineOverlong;
  if (first) {
    const char* keyword = m_nReplyLines > 1 ? WithheldKeyword(line, length) : nullptr;
    m_bWithholdLine = keyword != nullptr ? 1 : 0;
    if (keyword != nullptr)
      TraceF(0, "DIVIVEZ: EHLO keyword %s withheld from the client\n", keyword);
  }
  if (m_bWithholdLine) {
    if (complete && m_bReplyLastLine) {
      // The withheld line closed the reply: the kept line held back closes
      // it instead ("250-" becomes "250 "). When that line went out already
      // (it was over-long), a bare reply code closes it (RFC 5321 section 4.2).
      if (!m_strEhloLine.empty()) {
        if (m_strEhloLine.size() > 3 && m_strEhloLine[3] == '-') m_strEhloLine[3] = ' ';
        FlushEhloLine();
      } else if (m_nReplyCode >= 0) {
        const char close[5] = {static_cast<char>('0' + m_nReplyCode / 100),
                               static_cast<char>('0' + m_nReplyCode / 10 % 10),
                               static_cast<char>('0' + m_nReplyCode % 10), '\r', '\n'};
        SendToClient(close, sizeof close);
      }
    }
    return;
  }
  // One kept line is held back, so that a withheld closing line can be
  // replaced by it. An over-long line passes as it is, whole or in
  // fragments, so the outcome does not depend on how reads split it.
  FlushEhloLine();
  if (!complete || !first || m_bReplyLastLine || length > kMaxReplyLine) {
    SendToClient(line, length);
  } else {
    m_strEhloLine.assign(line, length);
  }
}

void CSmtpConnection::FlushEhloLine() {
  if (m_strEhloLine.empty()) return;
  SendToClient(m_strEhloLine.data(), m_strEhloLine.size());
  m_strEhloLine.clear();
}

void CSmtpConnection::FinishReply() {
  m_bInReply = 0;
  FlushEhloLine();
  switch (m_eReplyFor) {
    case EOwed::kData:
      if (m_nReplyCode == 354) {
        Trace(1, "DIVIVEZ: Start sending data file\n");
        SendDataFile(m_pSockServer);
      } else {
        TraceF(0, "DIVIVEZ: Server refused DATA with %d; message not delivered\n", m_nReplyCode);
        LeaveDataMode("refused by the server");
      }
      break;
    case EOwed::kClientData: {
      ESessionState from = State();
      m_bAwaitRelayedData = 0;
      if (m_nReplyCode == 354) {
        // The message goes to the server unscanned; the marker search starts
        // after the DATA line's CRLF.
        m_bPassThrough = 1;
        m_strTail.assign("\r\n");
      }
      SetState(from, State());
      break;
    }
    case EOwed::kClient:
    case EOwed::kClientEhlo:
    case EOwed::kNoop:
    case EOwed::kRset:
    case EOwed::kLocal:
      break;
  }
  FlushLocalReplies();
}
