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
        if (data[i] != '.') {
          // Only a line starting with a dot changes: what comes before the
          // next dot is copied in one piece, whatever lines it holds.
          const char* dot = static_cast<const char*>(std::memchr(data + i, '.', length - i));
          const size_t stop = dot != nullptr ? static_cast<size_t>(dot - data) : length;
          std::memcpy(out + o, data + i, stop - i);
          o += stop - i;
          const char last = data[stop - 1];
          if (last == '\r') {
            m_state = State::kCr;
          } else if (last != '\n') {
            m_state = State::kInLine;
          } else {
            // Only CR LF ends a line; the CR may have ended the previous piece.
            const bool crlf = stop - 1 > i ? data[stop - 2] == '\r' : m_state == State::kCr;
            m_state = crlf ? State::kLineStart : State::kInLine;
          }
          i = stop;
          break;
        }
        // A dot inside a line: copy up to and including the next LF.
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

size_t DataEndFinder::Feed(const char* data, size_t length, bool* ended) {
  static const char kEnd[] = "\r\n.\r\n";
  *ended = false;
  for (size_t i = 0; i < length; ++i) {
    if (m_matched == 0) {
      // Nothing of the end yet: it can only complete at a dot that follows
      // CR LF, so the bytes up to the next dot are passed over.
      const void* dot = std::memchr(data + i, '.', length - i);
      if (dot == nullptr) {
        // The piece may end in the end's CR or CR LF.
        const bool cr = data[length - 1] == '\r';
        const bool crlf =
            !cr && length - i >= 2 && data[length - 2] == '\r' && data[length - 1] == '\n';
        m_matched = cr ? 1 : crlf ? 2 : 0;
        return length;
      }
      const size_t at = static_cast<size_t>(static_cast<const char*>(dot) - data);
      m_matched = at >= i + 2 && data[at - 2] == '\r' && data[at - 1] == '\n' ? 3 : 0;
      i = at;
      continue;
    }
    const char b = data[i];
    if (b == kEnd[m_matched]) {
      if (++m_matched == 5) {
        m_matched = 0;
        *ended = true;
        return i + 1;
      }
    } else {
      m_matched = b == '\r' ? 1 : 0;
    }
  }
  return length;
}
