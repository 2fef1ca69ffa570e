// Delivery of a scanned message: the spool file streamed to the server after
// its 354, with the scanner's text inserted where the headers end.
#include <cstring>

#include "boundary/settings.h"
#include "boundary/trace.h"
#include "platform/platform.h"
#include "session/smtp_connection.h"
#include "session/spool_store.h"

namespace {

const int kDeliveryChunk = 8192;
const long long kProgressThreshold = 20480;

}  // namespace

int64_t CSmtpConnection::FindHeaderEnd(const char* data, int length) {
  return m_headerEnd.Find(data, length, m_qwSpoolBytes);
}

void CSmtpConnection::SendDataFile(CHostSocket* server) {
  (void)server;  // the same object as m_pSockServer, which the sends use
  if (!EnterDelivering()) {
    TraceText(0, "DIVIVEZ: Could not open ", m_strDataFileName.data(), m_strDataFileName.size(),
              " after scanning!\n");
    AbortDelivery();
    return;
  }

  bool complete = false;
  try {
    long long size = SpoolStore().Length(m_pDataFile);
    HostCallback callback = g_pCallback;
    bool progress = size > kProgressThreshold && callback != nullptr;
    ScanRequest record;
    InitScanRequest(record);
    record.dwKBytesDone = 0;
    record.dwKBytesTotal = size > 0 ? static_cast<uint32_t>(size / 1024) : 0;
    if (progress) callback(kScanCodeProgress, &record);

    uint64_t sent = 0;
    int64_t insertAt = m_strInsertText.empty() ? -1 : m_qwHeaderEnd;
    char buffer[kDeliveryChunk];
    for (;;) {
      size_t n = SpoolStore().Read(buffer, sizeof buffer, m_pDataFile);
      if (n == 0) break;
      TraceF(0, "DIVIVEZ: Sending %d bytes\n", static_cast<int>(n));
      if (insertAt >= 0 && static_cast<uint64_t>(insertAt) < sent + n) {
        size_t head = static_cast<size_t>(static_cast<uint64_t>(insertAt) - sent);
        RelayToServer(buffer, head);
        RelayToServer(m_strInsertText.data(), m_strInsertText.size());
        RelayToServer(buffer + head, n - head);
        insertAt = -1;
      } else {
        RelayToServer(buffer, n);
      }
      sent += n;
      Trace(0, "DIVIVEZ: Sending ready\n");
      if (progress) {
        record.dwKBytesDone = static_cast<uint32_t>(sent >> 10);
        callback(kScanCodeProgress, &record);
      }
    }
    // A read error ends the loop like the end of the file; then the server
    // holds part of a message and must not take it for the whole.
    complete = size >= 0 && sent == static_cast<uint64_t>(size) && sent == m_qwSpoolBytes;
  } catch (...) {
    TraceF(0, "DIVIVEZ: Exception while sending the mail! LastError=%d, WASErr=%d\n",
           static_cast<int>(GetLastError()), WSAGetLastError());
  }
  if (!complete) {
    AbortDelivery();
    return;
  }
  // The server's answer to the end of data is the client's; the content may
  // begin a group (RFC 2920 section 3.1), so it does not end one.
  ExpectReply(EOwed::kClient, false);
  LeaveDataMode("delivered");
}

void CSmtpConnection::AbortDelivery() {
  // The server has had its 354 and takes whatever follows as the message;
  // nothing that ends it may follow. Closing our sending side makes the
  // server drop the transaction (RFC 5321 section 3.8); the client hears a
  // temporary failure for its end of data and may send again later.
  LoseServer(kNotDeliveredReply, "delivery broke off");
}
