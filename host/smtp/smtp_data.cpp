// Undoing dot-stuffing. See smtp_data.h.
#include "host/smtp/smtp_data.h"

#include <cstring>

size_t DotUnstuffer::Feed(const char* data, size_t length, char* out, size_t* outLength) {
  size_t o = 0;
  size_t i = 0;
  while (i < length && m_state != State::kDone) {
    switch (m_state) {
      case State::kInLine:
      case State::kCr: {
        // Inside a line nothing changes until its end: copy up to and
        // including the next LF in one piece.
        const char* lf = static_cast<const char*>(std::memchr(data + i, '\n', length - i));
        if (lf == nullptr) {
          std::memcpy(out + o, data + i, length - i);
          o += length - i;
          i = length;
          m_state = data[length - 1] == '\r' ? State::kCr : State::kInLine;
          break;
        }
        const size_t stop = static_cast<size_t>(lf - data) + 1;
        // Only CR LF ends a line; the CR may have ended the previous piece.
        const bool crlf = stop - 1 > i ? data[stop - 2] == '\r' : m_state == State::kCr;
        std::memcpy(out + o, data + i, stop - i);
        o += stop - i;
        i = stop;
        m_state = crlf ? State::kLineStart : State::kInLine;
        break;
      }
      case State::kLineStart: {
        const char c = data[i++];
        if (c == '.') {
          // A leading dot is either stuffing (dropped) or the end line.
          m_state = State::kDot;
          break;
        }
        out[o++] = c;
        m_state = c == '\r' ? State::kCr : State::kInLine;
        break;
      }
      case State::kDot: {
        const char c = data[i++];
        if (c == '\r') {
          m_state = State::kDotCr;  // the CR is held back until the next byte
          break;
        }
        out[o++] = c;
        m_state = State::kInLine;
        break;
      }
      case State::kDotCr: {
        const char c = data[i++];
        if (c == '\n') {
          m_state = State::kDone;
          break;
        }
        // NOT: a bare CR after a dot is not the end line; it is content.
        out[o++] = '\r';
        out[o++] = c;
        m_state = c == '\r' ? State::kCr : State::kInLine;
        break;
      }
      case State::kDone:
        break;
    }
  }
  *outLength = o;
  return i;
}
