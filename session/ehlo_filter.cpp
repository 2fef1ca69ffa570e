// The EHLO keywords: which are withheld, and what SIZE and PIPELINING say.
#include "session/ehlo_filter.h"

#include <cstring>

#include "boundary/trace.h"

namespace {

// The length of an EHLO line's keyword (after "250-" or "250 ").
size_t KeywordLength(const char* line, size_t length) {
  size_t n = 0;
  while (4 + n < length && line[4 + n] != ' ' && line[4 + n] != '\r' && line[4 + n] != '\n') ++n;
  return n;
}

}  // namespace

bool EhloKeywordIs(const char* line, size_t length, const char* keyword) {
  if (length < 4 || KeywordLength(line, length) != std::strlen(keyword)) return false;
  for (size_t i = 0; keyword[i] != '\0'; ++i) {
    char c = line[4 + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != keyword[i]) return false;
  }
  return true;
}

const char* EhloWithheldKeyword(const char* line, size_t length, bool keepForwarding) {
  static const char* const kWithheld[] = {"CHUNKING", "BINARYMIME", "STARTTLS"};
  static const char* const kForwarding[] = {"XCLIENT", "XFORWARD"};
  for (const char* keyword : kWithheld) {
    if (EhloKeywordIs(line, length, keyword)) return keyword;
  }
  if (keepForwarding) return nullptr;
  for (const char* keyword : kForwarding) {
    if (EhloKeywordIs(line, length, keyword)) return keyword;
  }
  return nullptr;
}

uint64_t EhloSizeLimit(const char* line, size_t length) {
  if (!EhloKeywordIs(line, length, "SIZE")) return 0;
  uint64_t size = 0;
  for (size_t i = 4 + 4 + 1; i < length && line[i] >= '0' && line[i] <= '9'; ++i) {
    if (size > (1ull << 60)) return 0;  // no real limit is this large
    size = size * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  return size;
}

void CEhloFilter::StartLine(const char* line, size_t length, const CReplyPiece& piece,
                            uint64_t* pSizeLimit, int32_t* pPipelining) {
  // The first line is the server's greeting, never a keyword.
  if (piece.m_nLines > 1 && piece.m_nCode == 250) {
    uint64_t size = EhloSizeLimit(line, length);
    if (size > 0) *pSizeLimit = size;
    if (EhloKeywordIs(line, length, "PIPELINING")) *pPipelining = 1;
  }
  const char* keyword =
      piece.m_nLines > 1 ? EhloWithheldKeyword(line, length, m_bKeepForwarding != 0) : nullptr;
  m_bWithholdLine = keyword != nullptr ? 1 : 0;
  if (keyword != nullptr) TraceF(0, "DIVIVEZ: EHLO keyword %s withheld from the client\n", keyword);
}
