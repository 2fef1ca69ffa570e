// The built-in scanner alone, in MB/s: a message held in memory, fed to
// MessageScan in the 16 KiB blocks the scanner reads, on three kinds of
// content. No file, no network.
//
//   scanner_bench [MIB] [REPEATS]     (defaults: 64 MiB, 5; prints the best)
//
//   filler   smtp-source's body: lines of 'X' (the first byte of EICAR)
//   base64   a MIME message with a base64 attachment of random bytes
//   random   random bytes (dot-stuffed where a line starts with '.')
//
// Also run by ctest with a tiny size as a smoke test (scanner_bench 1 1).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/scan/signature_scanner.h"

namespace {

std::string Filler(size_t size) {
  std::string line(78, 'X');
  line += "\r\n";
  std::string text = "From: a@example.org\r\nTo: b@example.org\r\nSubject: filler\r\n\r\n";
  while (text.size() < size) text += line;
  return text;
}

uint64_t Next(uint64_t* state) {
  // xorshift64*: fixed seed, the same bytes every run.
  *state ^= *state >> 12;
  *state ^= *state << 25;
  *state ^= *state >> 27;
  return *state * 2685821657736338717ull;
}

std::string RandomBytes(size_t size) {
  uint64_t state = 0x9e3779b97f4a7c15ull;
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t v = Next(&state);
    for (size_t k = 0; k < 8 && i + k < size; ++k) bytes[i + k] = static_cast<char>(v >> (8 * k));
  }
  return bytes;
}

std::string Base64Message(size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text =
      "From: a@example.org\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  const std::string data = RandomBytes(size / 4 * 3);
  std::string line;
  for (size_t i = 0; i + 3 <= data.size(); i += 3) {
    const uint32_t v = (static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16) |
                       (static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8) |
                       static_cast<unsigned char>(data[i + 2]);
    line += kAlphabet[(v >> 18) & 63];
    line += kAlphabet[(v >> 12) & 63];
    line += kAlphabet[(v >> 6) & 63];
    line += kAlphabet[v & 63];
    if (line.size() == 76) {
      text += line + "\r\n";
      line.clear();
    }
  }
  text += line + "\r\n--b--\r\n";
  return text;
}

// As the spool holds it: dot-stuffed, ending with the "." line.
std::string Spooled(const std::string& content) {
  std::string out;
  out.reserve(content.size() + content.size() / 64 + 8);
  bool lineStart = true;
  for (size_t i = 0; i < content.size(); ++i) {
    if (lineStart && content[i] == '.') out += '.';
    out += content[i];
    lineStart = content[i] == '\n' && i > 0 && content[i - 1] == '\r';
  }
  if (!lineStart) out += "\r\n";
  out += ".\r\n";
  return out;
}

double MegabytesPerSecond(const std::vector<Signature>& signatures, const std::string& spool,
                          int repeats, int* verdict) {
  double best = 0;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    MessageScan scan(signatures);
    for (size_t at = 0; at < spool.size(); at += 16384) {
      scan.Feed(spool.data() + at, std::min<size_t>(16384, spool.size() - at));
    }
    *verdict = scan.Finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::max(best, static_cast<double>(spool.size()) / 1e6 / seconds);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 64;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const size_t size = std::max<size_t>(mib, 1) << 20;
  // The built-in scanner's default set: EICAR alone.
  const std::vector<Signature> signatures = {Signature{"EICAR-Test-File", EicarTestString()}};
  struct Case {
    const char* name;
    std::string spool;
  };
  const Case cases[] = {{"filler", Spooled(Filler(size))},
                        {"base64", Spooled(Base64Message(size))},
                        {"random", Spooled(RandomBytes(size))}};
  int failures = 0;
  for (const Case& c : cases) {
    int verdict = -1;
    const double rate = MegabytesPerSecond(signatures, c.spool, repeats, &verdict);
    std::printf("%-7s %8.1f MB/s  (%zu bytes, best of %d)\n", c.name, rate, c.spool.size(),
                repeats);
    if (verdict != -1) {
      std::printf("%-7s unexpected find %d\n", c.name, verdict);
      ++failures;
    }
  }
  // The same with EICAR planted at the end: found.
  std::string infected = Filler(size / 4) + EicarTestString() + "\r\n";
  int verdict = -1;
  MegabytesPerSecond(signatures, Spooled(infected), 1, &verdict);
  if (verdict != 0) {
    std::printf("EICAR at the end not found\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
