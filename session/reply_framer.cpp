// The reply structure: codes, continuation lines and the closing line.
#include "session/reply_framer.h"

namespace {

int ReplyCode(const char* line, size_t length) {
  if (length < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

}  // namespace

bool CReplyFramer::BeginLine(const char* line, size_t length) {
  // The first bytes of a line: its code and whether more lines follow.
  m_bLastLine = !(length >= 4 && line[3] == '-');
  const bool begins = !m_bInReply;
  if (begins) {
    m_bInReply = 1;
    m_nLines = 0;
    m_nCode = ReplyCode(line, length);
  }
  ++m_nLines;
  return begins;
}

bool CReplyFramer::EndPiece(bool complete) {
  m_bOverlong = complete ? 0 : 1;
  if (!complete || !m_bLastLine) return false;
  m_bInReply = 0;
  return true;
}
