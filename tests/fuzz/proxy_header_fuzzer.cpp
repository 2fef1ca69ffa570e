// libFuzzer target: the PROXY protocol header (host/proxy/proxy_header.cpp),
// the first bytes of a connection behind a balancer.
//
// Input: a byte that chooses where to split, then the connection's bytes.
// The parser is fed them whole, in two pieces split there, byte by byte,
// and in pieces of at most MaxWanted() bytes (as the proxy peeks); each way
// must take the same bytes and reach the same header or the same error, and
// take all it was given while it asks for more. A
// header with addresses must print them in a form that parses back: a
// version 1 line made of them gives the same header again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/base/cidr.h"
#include "host/proxy/proxy_header.h"
#include "reader_fuzz.h"

namespace {

struct Outcome {
  size_t taken = 0;
  ProxyHeaderParser::State state = ProxyHeaderParser::State::kMore;
  ProxyHeader header;
  std::string error;
};

// Feeds the bytes in pieces of at most `piece` bytes after a first one of
// `first` bytes (0: no limit), as long as the parser wants more; `bounded`:
// at most MaxWanted() and 512 bytes at a time, as the proxy peeks them.
Outcome Parse(const std::string& bytes, size_t first, size_t piece, bool bounded) {
  ProxyHeaderParser parser;
  Outcome out;
  size_t at = 0;
  while (at < bytes.size() && parser.Current() == ProxyHeaderParser::State::kMore) {
    size_t n = bytes.size() - at;
    if (at == 0 && first > 0 && first < n) n = first;
    if (at > 0 && piece > 0 && piece < n) n = piece;
    const size_t wanted = parser.MaxWanted();
    FUZZ_CHECK(wanted > 0, "the parser wants no byte while it waits for more");
    if (bounded && n > wanted) n = wanted;
    if (bounded && n > 512) n = 512;
    const size_t took = parser.Feed(bytes.data() + at, n);
    FUZZ_CHECK(took <= n, "took more than it was given");
    if (parser.Current() == ProxyHeaderParser::State::kMore) {
      FUZZ_CHECK(took == n, "waits for more but left some of what it was given");
    }
    at += took;
    if (took < n) break;
  }
  out.taken = at;
  out.state = parser.Current();
  out.header = parser.Header();
  out.error = parser.Error();
  return out;
}

void CheckSame(const Outcome& a, const Outcome& b, const char* how) {
  const std::string what = std::string("split ") + how + " differs from whole";
  FUZZ_CHECK(a.state == b.state, what);
  if (a.state == ProxyHeaderParser::State::kMore) return;  // each ran out of input
  FUZZ_CHECK(a.taken == b.taken, what);
  FUZZ_CHECK(a.error == b.error, what);
  FUZZ_CHECK(a.header.version == b.header.version, what);
  FUZZ_CHECK(a.header.hasAddress == b.header.hasAddress, what);
  FUZZ_CHECK(a.header.sourceAddress == b.header.sourceAddress, what);
  FUZZ_CHECK(a.header.destinationAddress == b.header.destinationAddress, what);
  FUZZ_CHECK(a.header.sourcePort == b.header.sourcePort, what);
  FUZZ_CHECK(a.header.destinationPort == b.header.destinationPort, what);
}

void CheckAddress(const std::string& text) {
  IpAddress address;
  FUZZ_CHECK(ParseIpAddress(text, &address), "an address that does not parse: " + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const size_t cut = input.Byte();
  const std::string bytes = input.Rest();

  const Outcome whole = Parse(bytes, 0, 0, false);
  CheckSame(whole, Parse(bytes, cut, 0, false), "in two");
  CheckSame(whole, Parse(bytes, 0, 0, true), "by MaxWanted()");
  if (bytes.size() <= 512) CheckSame(whole, Parse(bytes, 1, 1, false), "byte by byte");

  if (whole.state == ProxyHeaderParser::State::kError) {
    FUZZ_CHECK(!whole.error.empty(), "an error without its reason");
    return 0;
  }
  if (whole.state != ProxyHeaderParser::State::kDone) return 0;
  const ProxyHeader& header = whole.header;
  FUZZ_CHECK(header.version == 1 || header.version == 2, "a header of no version");
  if (header.version == 1) {
    FUZZ_CHECK(whole.taken <= ProxyHeaderParser::kMaxV1, "a version 1 line too long");
    FUZZ_CHECK(bytes.compare(whole.taken - 2, 2, "\r\n") == 0, "a line taken short of its end");
  }
  if (!header.hasAddress) return 0;
  CheckAddress(header.sourceAddress);
  CheckAddress(header.destinationAddress);
  const bool v6 = header.sourceAddress.find(':') != std::string::npos;
  FUZZ_CHECK(v6 == (header.destinationAddress.find(':') != std::string::npos),
             "addresses of two families");
  const std::string source = header.SourceText();
  FUZZ_CHECK(source == (v6 ? "[" + header.sourceAddress + "]:" : header.sourceAddress + ":") +
                           std::to_string(header.sourcePort),
             "SourceText() " + source);

  // The addresses as printed, in a version 1 line, give the same header.
  const std::string line = std::string("PROXY ") + (v6 ? "TCP6 " : "TCP4 ") + header.sourceAddress +
                           " " + header.destinationAddress + " " +
                           std::to_string(header.sourcePort) + " " +
                           std::to_string(header.destinationPort) + "\r\n";
  const Outcome again = Parse(line, 0, 0, false);
  FUZZ_CHECK(
      again.state == ProxyHeaderParser::State::kDone && again.taken == line.size(),
      "the printed header does not parse back: " + FuzzShow(line) + " (" + again.error + ")");
  FUZZ_CHECK(again.header.sourceAddress == header.sourceAddress &&
                 again.header.destinationAddress == header.destinationAddress &&
                 again.header.sourcePort == header.sourcePort &&
                 again.header.destinationPort == header.destinationPort,
             "the printed header parses back differently: " + FuzzShow(line));
  return 0;
}
