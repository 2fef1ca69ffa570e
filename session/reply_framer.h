// CReplyFramer: the server's bytes as reply lines, and the lines as replies.
//
// A reply line ends in LF; a multi-line reply is "ddd-" lines closed by a
// "ddd " or "ddd" line (RFC 5321 section 4.2.1). Bytes arrive in reads of any
// size: the framer keeps the partial line between reads and hands on each
// complete line once. No reply line may be longer than maxLine (RFC 5321
// section 4.5.3.1.5 allows 512); a longer one is handed on in fragments as it
// arrives, so the partial line never holds more than maxLine bytes.
//
// For the piece being handled it knows where the piece stands: whether it
// starts its line, which line of the reply it is, the reply's code, and
// whether the line closes the reply. A value: no I/O. The session owns one
// and drives it from its server-side handler.
#ifndef DIVIVEZ_SESSION_REPLY_FRAMER_H_
#define DIVIVEZ_SESSION_REPLY_FRAMER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Where one piece of a server reply stands in it.
struct CReplyPiece {
  bool m_bFirst;     // the piece starts its line
  bool m_bComplete;  // the piece ends its line
  bool m_bLastLine;  // its line closes the reply
  int32_t m_nLines;  // lines of the reply so far, its own included
  int32_t m_nCode;   // the reply's code, or -1
};

class CReplyFramer {
 public:
  explicit CReplyFramer(size_t maxLine)
      : m_nMaxLine(maxLine),
        m_bOverlong(0),
        m_bInReply(0),
        m_nCode(-1),
        m_nLines(0),
        m_bLastLine(0) {}

  // Calls handle(const char* line, size_t length, bool complete) for each
  // complete line, and for each fragment of an over-long line (complete
  // false until its last). Stops after a complete line for which handle
  // returns false. A line being handled has been taken out of the partial
  // line first, so a handle that throws does not leave it there to grow.
  template <typename Handle>
  void Feed(const char* data, size_t length, Handle handle);

  // Where the piece being handled stands. BeginLine is for a piece that
  // starts its line (AtLineStart), and returns true when it begins a reply;
  // EndPiece follows every piece, and returns true when it closed the reply.
  bool AtLineStart() const { return !m_bOverlong; }
  bool InReply() const { return m_bInReply != 0; }
  bool BeginLine(const char* line, size_t length);
  bool EndPiece(bool complete);
  CReplyPiece Piece(bool complete) const {
    return CReplyPiece{!m_bOverlong, complete, m_bLastLine != 0, m_nLines, m_nCode};
  }

  int32_t Code() const { return m_nCode; }  // the reply's code, or -1
  const std::string& PartialLine() const { return m_strLine; }

 private:
  size_t m_nMaxLine;
  std::string m_strLine;  // the server's current line, up to m_nMaxLine
  int32_t m_bOverlong;    // the current line outgrew m_strLine: fragments went on
  int32_t m_bInReply;     // inside a reply: a line of it has begun
  int32_t m_nCode;        // its code, from its first line
  int32_t m_nLines;       // lines of it seen so far
  int32_t m_bLastLine;    // the line being read closes the reply
};

template <typename Handle>
void CReplyFramer::Feed(const char* data, size_t length, Handle handle) {
  size_t pos = 0;
  bool more = true;
  while (pos < length && more) {
    const void* lf = std::memchr(data + pos, '\n', length - pos);
    if (lf == nullptr) {
      size_t rest = length - pos;
      if (m_strLine.size() + rest > m_nMaxLine) {
        // Handled as a fragment, and the rest of the line likewise.
        std::string fragment;
        fragment.swap(m_strLine);
        fragment.append(data + pos, rest);
        handle(fragment.data(), fragment.size(), false);
        fragment.clear();
        m_strLine.swap(fragment);  // keep the capacity
      } else {
        m_strLine.append(data + pos, rest);
      }
      return;
    }
    size_t end = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
    if (m_strLine.empty()) {
      more = handle(data + pos, end - pos, true);
    } else {
      m_strLine.append(data + pos, end - pos);
      std::string line;
      line.swap(m_strLine);
      more = handle(line.data(), line.size(), true);
      line.clear();
      if (m_strLine.empty()) m_strLine.swap(line);  // keep the capacity
    }
    pos = end;
  }
}

#endif  // DIVIVEZ_SESSION_REPLY_FRAMER_H_
