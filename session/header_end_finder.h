// CHeaderEndFinder: where a message's headers end, found in a stream that
// arrives in pieces of any size.
//
// The headers end at the first empty line (RFC 5322 section 2.1). The search
// follows the line structure byte by byte and keeps its place between pieces,
// so where reads or lines happen to split the stream does not matter. A line
// ends only at CRLF: the stream searched is the normalised one, in which CR
// and LF stand only in pairs.
//
// A value: no I/O, no allocation. The session owns one, resets it for every
// message and stops asking once it has an answer.
#ifndef DIVIVEZ_SESSION_HEADER_END_FINDER_H_
#define DIVIVEZ_SESSION_HEADER_END_FINDER_H_

#include <cstdint>

class CHeaderEndFinder {
 public:
  CHeaderEndFinder() : m_nState(kAtLineStart) {}

  // A message starts at a line start.
  void Reset() { m_nState = kAtLineStart; }

  // Looks at the piece of the stream that starts at stream offset `offset`.
  // Returns the stream offset of the empty line (of its CR, which may have
  // ended the previous piece) once this piece completes it, otherwise -1.
  int64_t Find(const char* data, int length, uint64_t offset);

 private:
  // Where the search stands in the line structure.
  enum EState : int32_t {
    kAtLineStart = 0,  // the next byte begins a line
    kLineStartCr = 1,  // a line began with CR
    kInLine = 2,
    kInLineCr = 3,
  };

  int32_t m_nState;
};

#endif  // DIVIVEZ_SESSION_HEADER_END_FINDER_H_
