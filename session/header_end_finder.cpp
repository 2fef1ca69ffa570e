// The header-end search: a four-state walk over the line structure.
#include "session/header_end_finder.h"

#include <cstring>

int64_t CHeaderEndFinder::Find(const char* data, int length, uint64_t offset) {
  int32_t state = m_nState;
  for (int i = 0; i < length; ++i) {
    char b = data[i];
    switch (state) {
      case kAtLineStart:
        state = b == '\r' ? kLineStartCr : kInLine;
        break;
      case kLineStartCr:
        if (b == '\n') {
          m_nState = kAtLineStart;
          // The CR may have been the previous piece's last byte.
          return static_cast<int64_t>(offset) + i - 1;
        }
        state = b == '\r' ? kInLineCr : kInLine;
        break;
      case kInLine: {
        const void* cr = std::memchr(data + i, '\r', static_cast<size_t>(length - i));
        if (cr == nullptr) {
          i = length;
          break;
        }
        i = static_cast<int>(static_cast<const char*>(cr) - data);
        state = kInLineCr;
        break;
      }
      case kInLineCr:
        state = b == '\n' ? kAtLineStart : (b == '\r' ? kInLineCr : kInLine);
        break;
    }
  }
  m_nState = state;
  return -1;
}
