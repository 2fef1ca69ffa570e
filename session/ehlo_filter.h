// CEhloFilter: the server's EHLO reply as the client may read it.
//
// The relay withholds the EHLO keywords it cannot honour or must not lend the
// client: CHUNKING and BINARYMIME would let a message bypass the scan (BDAT,
// RFC 3030), STARTTLS cannot be relayed, XCLIENT and XFORWARD would let the
// client claim another address or login with the proxy's standing at the
// server, unless the host trusts the client to forward (SetForwardingKept).
// From a successful reply it learns the server's SIZE (RFC 1870) and whether
// it offers PIPELINING (RFC 2920), which the relay keeps to.
//
// The filter sees the reply line by line, an over-long line in fragments;
// whether a line is withheld is decided by its first bytes. One kept line is
// held back, so that a withheld line that closes the reply can be replaced
// by it ("250-" becomes "250 "). A value: its only effects are the sends it
// asks for and one trace line per keyword withheld. The session owns one.
#ifndef DIVIVEZ_SESSION_EHLO_FILTER_H_
#define DIVIVEZ_SESSION_EHLO_FILTER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/reply_framer.h"

// Whether an EHLO line's keyword (after "250-" or "250 ") is keyword, in any
// letter case.
bool EhloKeywordIs(const char* line, size_t length, const char* keyword);
// The keyword withheld from the client, or nullptr. keepForwarding: XCLIENT
// and XFORWARD pass.
const char* EhloWithheldKeyword(const char* line, size_t length, bool keepForwarding = false);
// The message size limit of a "SIZE n" line, or 0.
uint64_t EhloSizeLimit(const char* line, size_t length);

class CEhloFilter {
 public:
  // Lines longer than maxKeptLine are never held back.
  explicit CEhloFilter(size_t maxKeptLine)
      : m_nMaxKeptLine(maxKeptLine), m_bWithholdLine(0), m_bKeepForwarding(0) {}

  // XCLIENT and XFORWARD reach the client (a client the host trusts).
  void SetForwardingKept(bool keep) { m_bKeepForwarding = keep ? 1 : 0; }

  // A reply begins: nothing is held back.
  void Reset() { m_strKeptLine.clear(); }

  // One piece of the EHLO reply. What the client gets goes to
  // send(const char*, size_t); a successful reply's SIZE and PIPELINING
  // lines set *pSizeLimit and *pPipelining.
  template <typename Send>
  void Relay(const char* line, size_t length, const CReplyPiece& piece, uint64_t* pSizeLimit,
             int32_t* pPipelining, Send send);
  const std::string& KeptLine() const { return m_strKeptLine; }

  // The reply ended: the line held back goes out.
  template <typename Send>
  void Flush(Send send);

 private:
  // The first piece of a line: what it offers, and whether it is withheld.
  void StartLine(const char* line, size_t length, const CReplyPiece& piece, uint64_t* pSizeLimit,
                 int32_t* pPipelining);

  size_t m_nMaxKeptLine;
  std::string m_strKeptLine;  // the last kept line, not yet sent
  int32_t m_bWithholdLine;    // the line being read is withheld
  int32_t m_bKeepForwarding;  // XCLIENT and XFORWARD are not withheld
};

template <typename Send>
void CEhloFilter::Relay(const char* line, size_t length, const CReplyPiece& piece,
                        uint64_t* pSizeLimit, int32_t* pPipelining, Send send) {
  if (piece.m_bFirst) StartLine(line, length, piece, pSizeLimit, pPipelining);
  if (m_bWithholdLine) {
    if (piece.m_bComplete && piece.m_bLastLine) {
      // The withheld line closed the reply: the kept line held back closes
      // it instead. When that line went out already (it was over-long), a
      // bare reply code closes it (RFC 5321 section 4.2).
      if (!m_strKeptLine.empty()) {
        if (m_strKeptLine.size() > 3 && m_strKeptLine[3] == '-') m_strKeptLine[3] = ' ';
        Flush(send);
      } else if (piece.m_nCode >= 0) {
        const char close[5] = {static_cast<char>('0' + piece.m_nCode / 100),
                               static_cast<char>('0' + piece.m_nCode / 10 % 10),
                               static_cast<char>('0' + piece.m_nCode % 10), '\r', '\n'};
        send(close, sizeof close);
      }
    }
    return;
  }
  // An over-long line passes as it is, whole or in fragments, so the outcome
  // does not depend on how reads split it.
  Flush(send);
  if (!piece.m_bComplete || !piece.m_bFirst || piece.m_bLastLine || length > m_nMaxKeptLine) {
    send(line, length);
  } else {
    m_strKeptLine.assign(line, length);
  }
}

template <typename Send>
void CEhloFilter::Flush(Send send) {
  if (m_strKeptLine.empty()) return;
  send(m_strKeptLine.data(), m_strKeptLine.size());
  m_strKeptLine.clear();
}

#endif  // DIVIVEZ_SESSION_EHLO_FILTER_H_
