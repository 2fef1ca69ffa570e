// FindCrOrLf, the normaliser's search for the next line break: the first CR
// or LF at every position, alignment and length, among bytes that differ
// from them by one bit or have the high bit set.
#include <gtest/gtest.h>

#include <string>

#include "session/message_normaliser.h"

namespace {

TEST(FindCrOrLfTest, AgreesWithAByteLoop) {
  const char fillers[] = {'X', '\0', '\x0c', '\x0e', '\x0b', '\x8d', '\x8a', '\xff', '.'};
  std::string buffer(96, 'X');
  for (char filler : fillers) {
    for (size_t start = 0; start < 16; ++start) {
      for (size_t length = 0; length <= 64; ++length) {
        buffer.assign(96, filler);
        const char* p = buffer.data() + start;
        ASSERT_EQ(FindCrOrLf(p, length), length) << int(filler) << " " << start << " " << length;
        for (size_t at = 0; at < length; ++at) {
          for (char hit : {'\r', '\n'}) {
            buffer.assign(96, filler);
            buffer[start + at] = hit;
            // A second break later, and one just before the range, must not
            // change the answer.
            if (at + 3 < length) buffer[start + at + 3] = '\r' + '\n' - hit;
            if (start > 0) buffer[start - 1] = '\n';
            ASSERT_EQ(FindCrOrLf(p, length), at)
                << int(filler) << " " << start << " " << length << " " << at;
          }
        }
      }
    }
  }
}

}  // namespace
