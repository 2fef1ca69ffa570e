// Pieces of the fake ClamAV daemons that the scanner tests run on loopback
// ports: exact reads from a non-blocking socket and the INSTREAM framing.
#ifndef DIVIVEZ_HOST_TESTS_FAKE_CLAMD_H_
#define DIVIVEZ_HOST_TESTS_FAKE_CLAMD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/base/net.h"

// Reads exactly n bytes; false when the peer closed, on an error, or once
// stop is set.
inline bool FakeClamdRead(NetSocket s, char* out, size_t n, const std::atomic<bool>& stop) {
  size_t got = 0;
  while (got < n && !stop) {
    const int r = NetRecv(s, out + got, static_cast<int>(n - got));
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == kNetWouldBlock) {
      NetPollItem item{s, kNetIn, 0};
      NetPoll(&item, 1, 20);
    } else {
      return false;
    }
  }
  return got == n;
}

// Reads the chunks that follow "zINSTREAM\0" up to the zero length,
// appending their bytes to *content and counting them in *chunks. False when
// the stream broke off before the zero length.
inline bool FakeClamdReadStream(NetSocket s, const std::atomic<bool>& stop, std::string* content,
                                int* chunks) {
  for (;;) {
    unsigned char length[4];
    if (!FakeClamdRead(s, reinterpret_cast<char*>(length), 4, stop)) return false;
    const uint32_t n = (uint32_t{length[0]} << 24) | (uint32_t{length[1]} << 16) |
                       (uint32_t{length[2]} << 8) | length[3];
    if (n == 0) return true;
    std::string chunk(n, '\0');
    if (!FakeClamdRead(s, &chunk[0], n, stop)) return false;
    content->append(chunk);
    ++*chunks;
  }
}

#endif  // DIVIVEZ_HOST_TESTS_FAKE_CLAMD_H_
