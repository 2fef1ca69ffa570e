// What the host's reader fuzz targets share: a check that stops the run with
// the line scripts/fuzz.sh looks for, and a cursor over the fuzzer's input
// that hands out the numbers a target steers by (where to split, how long a
// piece is) before the bytes the reader gets.
#ifndef DIVIVEZ_TESTS_FUZZ_READER_FUZZ_H_
#define DIVIVEZ_TESTS_FUZZ_READER_FUZZ_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// An invariant of the reader: when it fails the input is a finding.
#define FUZZ_CHECK(condition, what)                                                             \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "invariant violated: %s (%s) at %s:%d\n", std::string(what).c_str(), \
                   #condition, __FILE__, __LINE__);                                             \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  size_t Left() const { return m_size - m_at; }
  // One byte; 0 once the input is used up.
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  // Two bytes, little-endian.
  size_t Word() { return Byte() | static_cast<size_t>(Byte()) << 8; }
  // At most n bytes, fewer at the input's end.
  std::string Take(size_t n) {
    if (n > Left()) n = Left();
    std::string taken(reinterpret_cast<const char*>(m_data + m_at), n);
    m_at += n;
    return taken;
  }
  std::string Rest() { return Take(Left()); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

// The printable form of bytes, for a check's message.
inline std::string FuzzShow(const std::string& bytes) {
  std::string shown;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 15];
    }
  }
  return shown;
}

#endif  // DIVIVEZ_TESTS_FUZZ_READER_FUZZ_H_
