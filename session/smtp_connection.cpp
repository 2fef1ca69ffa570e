// Construction, destruction and the phase transitions of a session.
#include "session/smtp_connection.h"

#include "boundary/settings.h"
#include "boundary/trace.h"
#include "session/spool_store.h"

const char* StateName(ESessionState state) {
  switch (state) {
    case ESessionState::kCommandRelay:
      return "command relay";
    case ESessionState::kSpooling:
      return "spooling";
    case ESessionState::kScanning:
      return "scanning";
    case ESessionState::kAwaitingDataReply:
      return "awaiting the DATA answer";
    case ESessionState::kDelivering:
      return "delivering";
    case ESessionState::kPassThrough:
      return "unscanned pass-through";
  }
  return "?";
}

CSmtpConnection::CSmtpConnection(int hostContext, CHostSocket* client)
    : m_nHostContext(hostContext),
      m_pSockApplication(client),
      m_bCompleteCommand(0),
      m_bDataMode(0),
      m_pDataFile(nullptr),
      m_bTimeoutProtection(g_bTimeoutProtection),
      m_dwTimeoutProtection(g_dwTimeoutProtection),
      m_pSockTimeoutProtection(nullptr),
      m_dwLastProtection(0),
      m_bNoopSent(0),
      m_bDataSent(0),
      m_pSockServer(nullptr),
      m_nOwedClient(0),
      m_nOwedNoops(0),
      m_nOwedLocal(0),
      m_bLineRelayed(0),
      m_qwDiscard(0),
      m_bPassThrough(0),
      m_bAwaitRelayedData(0),
      m_bSpoolFailed(0),
      m_bServerLost(0),
      m_qwSpoolBytes(0),
      m_qwHeaderEnd(-1),
      m_nHeaderState(0),
      m_pLineRefusal(nullptr),
      m_qwSizeLimit(0),
      m_bTooBig(0),
      m_nOwedServer(0),
      m_nOwedGroupEnds(0),
      m_bServerPipelining(0),
      m_pDeferredCommand(nullptr),
      m_eDeferredKind(EOwed::kRset),
      m_nKeepAlivesSent(0),
      m_nServerOwedShared(0),
      m_bKeepAliveStopped(0),
      m_bReplyLineOverlong(0),
      m_bInReply(0),
      m_eReplyFor(EOwed::kClient),
      m_bReplyRelay(0),
      m_nReplyCode(-1),
      m_nReplyLines(0),
      m_bReplyLastLine(0),
      m_bWithholdLine(0) {
  // The server speaks first (RFC 5321 section 3.1): its greeting is the
  // client's, and nothing may be sent before it.
  ExpectReply(EOwed::kClient, true);
}

CSmtpConnection::~CSmtpConnection() {
  // A connection may end in any phase; its message must not stay behind in
  // the temporary directory.
  try {
    DeleteSpoolFile();
  } catch (...) {
  }
}

ESessionState CSmtpConnection::State() const {
  if (!m_bDataMode) {
    return m_bPassThrough ? ESessionState::kPassThrough : ESessionState::kCommandRelay;
  }
  if (!m_bDataSent) {
    return m_pDataFile != nullptr ? ESessionState::kSpooling : ESessionState::kScanning;
  }
  return m_pDataFile != nullptr ? ESessionState::kDelivering : ESessionState::kAwaitingDataReply;
}

void CSmtpConnection::SetState(ESessionState from, ESessionState to) const {
  if (from != to && TraceOn(1)) {
    TraceF(1, "DIVIVEZ: %s -> %s\n", StateName(from), StateName(to));
  }
}

void CSmtpConnection::EnterSpooling() {
  ESessionState from = State();
  m_bDataMode = 1;
  SetState(from, State());
}

void CSmtpConnection::LeaveDataMode(const char* why) {
  ESessionState from = State();
  DeleteSpoolFile();
  m_bDataMode = 0;
  m_strTail.clear();
  if (TraceOn(1)) TraceF(1, "DIVIVEZ: message %s\n", why);
  SetState(from, State());
}

bool CSmtpConnection::CloseSpoolStream() {
  if (m_pDataFile == nullptr) return true;
  FILE* file = m_pDataFile;
  m_pDataFile = nullptr;
  return SpoolStore().Close(file) == 0;
}

void CSmtpConnection::DeleteSpoolFile() {
  CloseSpoolStream();
  if (m_strDataFileName.empty()) return;
  if (!SpoolStore().Delete(m_strDataFileName.c_str())) {
    TraceText(0, "DIVIVEZ: Could not delete ", m_strDataFileName.data(), m_strDataFileName.size(),
              "\n");
  }
  m_strDataFileName.clear();
}
