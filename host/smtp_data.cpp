// Undoing dot-stuffing. See smtp_data.h.
#include "host/smtp_data.h"

size_t DotUnstuffer::Feed(const char* data, size_t length, char* out, size_t* outLength) {
  size_t o = 0;
  size_t i = 0;
  for (; i < length && m_state != State::kDone; ++i) {
    const char c = data[i];
    switch (m_state) {
      case State::kLineStart:
        if (c == '.') {
          // A leading dot is either stuffing (dropped) or the end line.
          m_state = State::kDot;
          break;
        }
        out[o++] = c;
        m_state = c == '\r' ? State::kCr : State::kInLine;
        break;
      case State::kInLine:
        out[o++] = c;
        if (c == '\r') m_state = State::kCr;
        break;
      case State::kCr:
        out[o++] = c;
        m_state = c == '\n' ? State::kLineStart : c == '\r' ? State::kCr : State::kInLine;
        break;
      case State::kDot:
        if (c == '\r') {
          m_state = State::kDotCr;  // the CR is held back until the next byte
          break;
        }
        out[o++] = c;
        m_state = State::kInLine;
        break;
      case State::kDotCr:
        if (c == '\n') {
          m_state = State::kDone;
          break;
        }
        // NOT: a bare CR after a dot is not the end line; it is content.
        out[o++] = '\r';
        out[o++] = c;
        m_state = c == '\r' ? State::kCr : State::kInLine;
        break;
      case State::kDone:
        break;
    }
  }
  *outLength = o;
  return i;
}
