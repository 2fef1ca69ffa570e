// Spooling a message, and keeping the server alive meanwhile.
//
// From the interception of DATA until the end-of-data marker, the client's
// bytes go to a private spool file in the temporary directory. The server has
// not been sent DATA yet and hears nothing, so a keep-alive NOOP goes out
// when an interval has passed: tested at every chunk while the client sends,
// and on the host's request while it scans.
#include <cstdint>

#include "boundary/settings.h"
#include "boundary/trace.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "session/smtp_connection.h"
#include "session/spool_store.h"

namespace {

const char kNoop[] = "NOOP\r\n";

// Complete replies in the bytes: lines closed by LF whose fourth byte is not
// "-" (RFC 5321 section 4.2.1).
uint32_t CompleteReplies(const char* data, int length) {
  uint32_t replies = 0;
  int start = 0;
  for (int i = 0; i < length; ++i) {
    if (data[i] != '\n') continue;
    if (i - start < 4 || data[start + 3] != '-') ++replies;
    start = i + 1;
  }
  return replies;
}

// How many names are tried before creating the spool is given up.
const int kSpoolNameAttempts = 1000;

}  // namespace

bool CSmtpConnection::OpenDataFile() {
  // A stream or file still here from an earlier message is not reused.
  DeleteSpoolFile();
  m_strTail.clear();

  FILE* spool = nullptr;
  char directory[MAX_PATH];
  DWORD directoryLength = GetTempPathA(MAX_PATH, directory);
  if (directoryLength == 0 || directoryLength >= MAX_PATH) {
    Trace(0, "DIVIVEZ: No temporary directory for the spool file\n");
  } else {
    // The first choice of name is made from the session's address and the
    // tick count; when it is taken (another session, a stale file), the name
    // is varied until a fresh file is created. Never an existing file.
    int32_t addressPart =
        static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this))) % 1000;
    DWORD tickPart = GetTickCount() % 1000;
    for (int attempt = 0; attempt < kSpoolNameAttempts && spool == nullptr; ++attempt) {
      char name[64];
      if (attempt == 0) {
        wsprintfA(name, "divivez%X%X.tmp", addressPart, tickPart);
      } else {
        wsprintfA(name, "divivez%X%X-%X.tmp", addressPart, tickPart, attempt);
      }
      m_strDataFileName.assign(directory, directoryLength);
      m_strDataFileName.append(name);
      bool exists = false;
      try {
        spool = SpoolStore().Create(m_strDataFileName.c_str(), &exists);
      } catch (...) {
        Trace(0, "DIVIVEZ: Exception while creating temp data file!\n");
        spool = nullptr;
      }
      if (spool == nullptr && !exists) break;
    }
    if (spool == nullptr) m_strDataFileName.clear();
  }

  // NOT: m_bNoopSent is not cleared here: it stands for keep-alives whose
  // answers are still owed, and those answers will still come.
  m_dwLastProtection = PlatformTickCount();
  m_strInsertText.clear();
  m_bSpoolFailed = 0;
  m_bTooBig = 0;
  m_qwSpoolBytes = 0;
  m_qwHeaderEnd = -1;
  m_headerEnd.Reset();
  // The CRLF that ended the DATA line is the marker's first: ".\r\n" right
  // after it is an empty message.
  if (spool != nullptr) m_strTail.assign("\r\n");
  m_normaliser.Reset();
  if (spool == nullptr) return false;
  EnterSpooling(spool);
  return true;
}

void CSmtpConnection::WriteData(const char* data, int length) {
  if (m_bTimeoutProtection) {
    uint32_t now = PlatformTickCount();
    if (now < m_dwLastProtection) {
      m_dwLastProtection = now;  // the counter wrapped: start the interval again
    } else if (now - m_dwLastProtection > m_dwTimeoutProtection) {
      // A keep-alive that had to wait is tried again at the next read.
      if (TrySendKeepAlive()) m_dwLastProtection = PlatformTickCount();
      FoldKeepAlives();
    }
  }
  if (length > 0) StoreData(data, static_cast<size_t>(length));
}

void CSmtpConnection::StoreData(const char* data, size_t length) {
  if (length == 0) return;
  if (m_qwSizeLimit > 0 && !m_bTooBig && m_qwSpoolBytes + length > m_qwSizeLimit + 3) {
    // Past the server's SIZE (RFC 1870; the ".\r\n" that ends the data does
    // not count): the rest is read and thrown away, and the client is told
    // at its end of data. Nothing more reaches the disk.
    TraceF(0, "DIVIVEZ: Message exceeds the server's SIZE %u; the rest is discarded\n",
           static_cast<unsigned>(m_qwSizeLimit));
    m_bTooBig = 1;
  }
  if (m_bTooBig) return;
  if (m_pDataFile != nullptr && !m_bSpoolFailed) {
    size_t written = 0;
    try {
      written = SpoolStore().Write(data, length, m_pDataFile);
    } catch (...) {
      Trace(0, "DIVIVEZ: Exception while writing to temp data file!\n");
    }
    if (written != length) {
      // A message with a hole must not be scanned or delivered; the client
      // is told at its end of data.
      Trace(0, "DIVIVEZ: Spool file write failed; the message will be refused\n");
      m_bSpoolFailed = 1;
    }
  }
  if (m_qwHeaderEnd < 0) m_qwHeaderEnd = FindHeaderEnd(data, static_cast<int>(length));
  m_qwSpoolBytes += static_cast<uint64_t>(length);
}

bool CSmtpConnection::IsEndOfData() const { return m_strTail == "\r\n.\r\n"; }

void CSmtpConnection::SendTimeoutProtectionMess() { TrySendKeepAlive(); }

bool CSmtpConnection::TrySendKeepAlive() {
  // May run on a host thread of its own while the handler waits in the scan:
  // only the atomics are touched here, and the handler folds the NOOPs sent
  // into the record of owed replies (FoldKeepAlives).
  CHostSocket* server = m_pSockTimeoutProtection;
  if (server == nullptr) {
    Trace(0, "DIVIVEZ: SendTimeoutProtectionMess failed, m_pSockTimeoutProtection is NULL!\n");
    return false;
  }
  if (m_bKeepAliveStopped) {
    Trace(0, "DIVIVEZ: Keep-alive skipped, the server refused them or is lost\n");
    return false;
  }
  const uint32_t owed = m_nServerOwedShared + m_nKeepAlivesSent;
  if (owed >= kMaxOwedNoops) {
    // The server has not answered thousands of them; more would only grow
    // the record of owed replies.
    Trace(0, "DIVIVEZ: Keep-alive skipped, too many NOOP answers outstanding\n");
    return false;
  }
  if (owed > 0) {
    // NOOP ends a command group (RFC 2920 section 3.1): it goes only after
    // every reply owed has arrived, read or not.
    char unread[2048];
    if (CompleteReplies(unread, SockPeek(server, unread, sizeof unread)) < owed) {
      Trace(1, "DIVIVEZ: Keep-alive waits, the server has yet to answer\n");
      return false;
    }
  }
  try {
    Trace(0, "DIVIVEZ: Send timeout protection message to server (noop)...\n");
    ++m_nKeepAlivesSent;
    RelayToServer(server, kNoop, sizeof kNoop - 1);
    return true;
  } catch (const CWinSockException& e) {
    TraceF(0, "DIVIVEZ: WinSockException %d while sending timeout protection message!\n",
           e.m_nError);
  }
  return false;
}

extern "C" void DIVIVEZ_CDECL TimeoutProtectionCallback(void* context) {
  if (context == nullptr) return;
  try {
    static_cast<CSmtpConnection*>(context)->SendTimeoutProtectionMess();
  } catch (...) {
    // Nothing may unwind into the host's scanner.
  }
}
