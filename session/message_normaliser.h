// CMessageNormaliser: turns the bytes a client sends after DATA into the
// bytes the server will receive, and finds the end-of-data marker.
//
// Servers disagree on where a line ends: some take a bare LF (or even a bare
// CR) for a line end, and some take "<LF>.<LF>" or "<CR><LF>.<LF>" for the end
// of the message. A message that is delivered byte for byte can then be one
// message to the scanner and two to the server, the second with an envelope of
// the client's choosing (SMTP smuggling). So the relay passes on a stream in
// which CR and LF appear only as the pair CRLF and every line that starts
// with "." is dot-stuffed, which every server reads the same way:
//   - a bare LF ends a line, and is written as CRLF;
//   - a bare CR is written as a space;
//   - a line that begins after a bare LF with "." gets a second "." unless it
//     already starts with ".." (taken as stuffed by the client);
//   - a line "." ended by a bare LF becomes "..": it is not the end.
// Only CRLF "." CRLF ends the message. A message without a bare CR or LF
// passes unchanged.
//
// The state survives reads, so the outcome never depends on how the stream
// was split. Output goes out as spans of the input wherever nothing changes,
// so a clean message costs no copy.
#ifndef DIVIVEZ_SESSION_MESSAGE_NORMALISER_H_
#define DIVIVEZ_SESSION_MESSAGE_NORMALISER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The offset of the first CR or LF in p[0, n), or n. Message lines are short
// (78 bytes is usual), so this runs once per line: where the processor has
// SSE2, one pass for both bytes, 16 bytes a step; elsewhere the C library's
// search for each.
inline size_t FindCrOrLf(const char* p, size_t n) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, cr), _mm_cmpeq_epi8(x, lf)));
    if (hits != 0) return k + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  for (; k < n; ++k) {
    if (p[k] == '\r' || p[k] == '\n') return k;
  }
  return n;
#else
  const void* lf = std::memchr(p, '\n', n);
  const size_t limit = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : n;
  const void* cr = std::memchr(p, '\r', limit);
  return cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - p) : limit;
#endif
}

class CMessageNormaliser {
 public:
  // A message starts right after the DATA line's CRLF.
  void Reset() {
    m_eState = kLineStart;
    m_qwBareLf = m_qwBareCr = m_qwDotsAdded = 0;
  }

  // Consumes data up to and including the end marker and hands the output
  // to emit(const char*, size_t) in order. Returns the bytes consumed; *pEnded
  // tells whether the marker was among them (its ".\r\n" was emitted). When
  // emit throws, *pEnded is already true if the marker was being emitted.
  template <class Emit>
  size_t Feed(const char* data, size_t length, bool* pEnded, Emit&& emit);

  // The part of "\r\n.\r\n" the stream ends in, for the session's record.
  const char* Tail() const;

  uint64_t BareLf() const { return m_qwBareLf; }
  uint64_t BareCr() const { return m_qwBareCr; }
  uint64_t DotsAdded() const { return m_qwDotsAdded; }
  bool Changed() const { return (m_qwBareLf | m_qwBareCr | m_qwDotsAdded) != 0; }

 private:
  enum EState : uint8_t {
    kLineStart,         // after CRLF (or the DATA line): a "." may begin the marker
    kLineStartAfterLf,  // after a bare LF: a "." here is stuffed
    kInLine,
    kCr,            // a CR was read and not yet written: CRLF, or a bare CR
    kDotAfterCrlf,  // "." written at a line start after CRLF
    kDotCr,         // "." then CR after CRLF: the marker, if LF follows
    kDotAfterLf,    // "." written at a line start after a bare LF
  };

  EState m_eState = kLineStart;
  uint64_t m_qwBareLf = 0;
  uint64_t m_qwBareCr = 0;
  uint64_t m_qwDotsAdded = 0;
};

template <class Emit>
size_t CMessageNormaliser::Feed(const char* data, size_t length, bool* pEnded, Emit&& emit) {
  *pEnded = false;
  size_t i = 0;
  size_t span = 0;  // start of the input run not yet emitted
  // The run [span, i) goes out as it is; anything else is emitted between
  // runs. A CRLF inside one read stays inside its run.
  auto flush = [&](size_t end) {
    if (end > span) emit(data + span, end - span);
    span = end;
  };
  auto bareCr = [&](size_t at) {
    flush(at);
    emit(" ", 1);
    ++m_qwBareCr;
    span = at + 1;
  };
  while (i < length) {
    switch (m_eState) {
      case kInLine: {
        // The next CR or LF.
        const size_t at = i + FindCrOrLf(data + i, length - i);
        if (at == length) {
          i = length;
        } else if (data[at] == '\r') {
          if (at + 1 == length) {
            flush(at);  // the CR waits until the next byte says what it is
            span = i = length;
            m_eState = kCr;
          } else if (data[at + 1] == '\n') {
            i = at + 2;
            m_eState = kLineStart;
          } else {
            bareCr(at);
            i = at + 1;
          }
        } else {
          flush(at);
          emit("\r\n", 2);
          ++m_qwBareLf;
          span = i = at + 1;
          m_eState = kLineStartAfterLf;
        }
        break;
      }
      case kCr:
        // A CR that ended the previous read.
        if (data[i] == '\n') {
          emit("\r\n", 2);
          span = ++i;
          m_eState = kLineStart;
        } else {
          emit(" ", 1);
          ++m_qwBareCr;
          m_eState = kInLine;
        }
        break;
      case kLineStart:
      case kLineStartAfterLf:
        if (data[i] == '.') {
          m_eState = m_eState == kLineStart ? kDotAfterCrlf : kDotAfterLf;
          ++i;
        } else {
          m_eState = kInLine;
        }
        break;
      case kDotAfterCrlf:
        if (data[i] == '\r') {
          if (i + 1 == length) {
            flush(i);
            span = i = length;
            m_eState = kDotCr;
          } else if (data[i + 1] == '\n') {
            // Recorded before the marker goes out, in case emitting throws.
            // A new search begins: only a fresh CRLF "." CRLF is another end.
            m_eState = kInLine;
            *pEnded = true;
            i += 2;
            flush(i);
            return i;
          } else {
            bareCr(i);
            ++i;
            m_eState = kInLine;
          }
        } else if (data[i] == '\n') {
          // "." and a bare LF: written as "..", so that it is not the end.
          flush(i);
          emit(".\r\n", 3);
          ++m_qwDotsAdded;
          ++m_qwBareLf;
          span = ++i;
          m_eState = kLineStartAfterLf;
        } else {
          m_eState = kInLine;
        }
        break;
      case kDotCr:
        // "." at a line start and a CR that ended the previous read.
        if (data[i] == '\n') {
          m_eState = kInLine;
          *pEnded = true;
          emit("\r\n", 2);
          return i + 1;
        }
        emit(" ", 1);
        ++m_qwBareCr;
        m_eState = kInLine;
        break;
      case kDotAfterLf:
        // The client did not stuff a line it began with a bare LF; ".." is
        // taken as stuffed already.
        if (data[i] == '.') {
          ++i;
        } else {
          flush(i);
          emit(".", 1);
          ++m_qwDotsAdded;
        }
        m_eState = kInLine;
        break;
    }
  }
  flush(length);
  return length;
}

inline const char* CMessageNormaliser::Tail() const {
  switch (m_eState) {
    case kLineStart:
      return "\r\n";
    case kDotAfterCrlf:
      return "\r\n.";
    case kDotCr:
      return "\r\n.\r";
    case kCr:
      return "\r";
    case kLineStartAfterLf:
    case kInLine:
    case kDotAfterLf:
      return "";
  }
  return "";
}

#endif  // DIVIVEZ_SESSION_MESSAGE_NORMALISER_H_
