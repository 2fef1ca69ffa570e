// The SMTP DATA stream (RFC 5321 section 4.5.2): undoing dot-stuffing and
// finding the end-of-data line "." in a stream that arrives in pieces.
//
// Used by the capture server on what it receives, by the proxy to follow
// what a client sends, and by the scanners on the spool file, which holds the stream exactly as the
// client sent it. The state survives any split of the input; nothing is allocated. Lines are copied
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

// Finds the CR LF . CR LF that ends a message in a stream that arrives in
// pieces, without copying it. Only a dot can complete the end, so what lies
// between dots is passed over with one memchr.
class DataEndFinder {
 public:
  // A message begins: the CR LF that ended the DATA line counts towards its
  // end (an empty message is "." CR LF).
  void Begin() { m_matched = 2; }
  // Returns how many bytes of data belong to the message: up to and
  // including the end's LF (and *ended is true), else all of them.
  size_t Feed(const char* data, size_t length, bool* ended);

 private:
  unsigned m_matched = 0;  // how much of CR LF . CR LF the stream ends in
};

#endif  // DIVIVEZ_HOST_SMTP_SMTP_DATA_H_
