// The SMTP DATA stream (RFC 5321 section 4.5.2): undoing dot-stuffing and
// finding the end-of-data line "." in a stream that arrives in pieces.
//
// Used by the capture server on what it receives and by the scanners on the
// spool file, which holds the stream exactly as the client sent it. The state
// survives any split of the input; nothing is allocated. Lines are copied
// whole (memchr finds their ends); only line starts are looked at byte by
// byte.
#ifndef DIVIVEZ_HOST_SMTP_SMTP_DATA_H_
#define DIVIVEZ_HOST_SMTP_SMTP_DATA_H_

#include <cstddef>

class DotUnstuffer {
 public:
  // The most bytes Feed writes beyond the input it consumes (a CR held back
  // from the previous piece).
  static constexpr size_t kMaxExtraOutput = 1;

  // Consumes input up to and including the end-of-data line, writing the
  // message content (lines with their CR LF, leading dots removed) to out,
  // which must hold length + kMaxExtraOutput bytes. Returns the bytes
  // consumed; fewer than length only when the end was found, after which
  // Done() is true and the rest of the input is not part of the message.
  size_t Feed(const char* data, size_t length, char* out, size_t* outLength);

  bool Done() const { return m_state == State::kDone; }

  // Back to the start of a message.
  void Reset() { m_state = State::kLineStart; }

 private:
  enum class State {
    kLineStart,  // at the start of a line
    kDot,        // a line began with '.' (dropped)
    kDotCr,      // ... followed by CR: end of data if LF comes next
    kInLine,
    kCr,  // CR seen inside a line, held back
    kDone,
  };
  State m_state = State::kLineStart;
};

#endif  // DIVIVEZ_HOST_SMTP_SMTP_DATA_H_
