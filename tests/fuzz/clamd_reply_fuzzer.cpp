// libFuzzer target: the clamd reply reader (host/scan/clamd_scanner.cpp), the
// daemon's bytes after INSTREAM as the scanner takes them: in pieces until
// the NUL or the bound, then read as a verdict.
//
// Input: a byte that chooses the size of the pieces (1 to 256, the most one
// read of the scanner takes), then the daemon's bytes. The reply must be
// the same in those pieces as in 256-byte ones whenever both complete; a
// complete reply holds no NUL; and the verdict must be what the reply says:
// clean exactly for "stream: OK", infected exactly for "stream: NAME FOUND"
// with NAME the signature, anything else an error with its reason and
// whose fault it was.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/scan/clamd_scanner.h"
#include "reader_fuzz.h"

namespace {

ClamdReplyState Read(const std::string& bytes, size_t piece, std::string* reply) {
  ClamdReplyState state = ClamdReplyState::kMore;
  for (size_t at = 0; at < bytes.size() && state == ClamdReplyState::kMore; at += piece) {
    const size_t n = bytes.size() - at < piece ? bytes.size() - at : piece;
    const size_t before = reply->size();
    state = TakeClamdReplyBytes(reply, bytes.data() + at, n);
    FUZZ_CHECK(reply->size() <= before + n, "the reply grew by more than was read");
  }
  if (state == ClamdReplyState::kTooLong) {
    FUZZ_CHECK(reply->size() >= kClamdMaxReply, "too long at " + std::to_string(reply->size()));
  }
  FUZZ_CHECK(reply->size() < kClamdMaxReply + piece, "past the bound by a whole read");
  return state;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const size_t piece = 1 + input.Byte();
  const std::string bytes = input.Rest();

  std::string reply, reference;
  const ClamdReplyState state = Read(bytes, piece, &reply);
  const ClamdReplyState referenceState = Read(bytes, 256, &reference);
  if (state == ClamdReplyState::kComplete && referenceState == ClamdReplyState::kComplete) {
    FUZZ_CHECK(reply == reference, "the reply depends on how it was read");
  }
  if (state != ClamdReplyState::kComplete) return 0;
  FUZZ_CHECK(reply.find('\0') == std::string::npos, "a complete reply holds its NUL");
  FUZZ_CHECK(bytes.compare(0, reply.size() + 1, reply + '\0') == 0, "a reply not read whole");

  ScanFault fault = ScanFault::kLocal;
  const ScanResult result = ParseClamdReply(reply, &fault);
  std::string line = reply;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const std::string shown = FuzzShow(line);
  switch (result.verdict) {
    case Verdict::kClean:
      FUZZ_CHECK(line == "stream: OK", "clean from " + shown);
      FUZZ_CHECK(fault == ScanFault::kNone, "a verdict that is a fault");
      break;
    case Verdict::kInfected:
      FUZZ_CHECK(!result.signature.empty(), "infected by no name from " + shown);
      FUZZ_CHECK(line == "stream: " + result.signature + " FOUND", "infected from " + shown);
      FUZZ_CHECK(fault == ScanFault::kNone, "a verdict that is a fault");
      break;
    case Verdict::kError:
      FUZZ_CHECK(line != "stream: OK", "an error from " + shown);
      FUZZ_CHECK(!(line.compare(0, 8, "stream: ") == 0 && EndsWith(line, " FOUND") &&
                   line.size() > 14 && !EndsWith(line, " ERROR")),
                 "an error from " + shown);
      FUZZ_CHECK(result.error.compare(0, 7, "clamd: ") == 0, "an error without its reason");
      FUZZ_CHECK(fault != ScanFault::kNone && fault != ScanFault::kLocal,
                 "an error nobody is at fault for");
      break;
  }
  return 0;
}
