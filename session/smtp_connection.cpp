// Construction, destruction and the phase transitions of a session.
//
// The transition methods below are the only writers of the flags that make
// up the phase (see State()) and of m_bServerLost. Each one changes what its
// name says and traces "old -> new" at trace level 2; what a phase change
// means for the peers (replies, commands, the spool file's contents) is done
// by the callers, around the transition.
#include "session/smtp_connection.h"

#include <new>

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
    case ESessionState::kAwaitingRelayedDataReply:
      return "awaiting the relayed DATA answer";
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
      m_nCallbackVersion(g_nCallbackVersion),
      m_bConnectionAsked(0),
      m_bForwardingTrusted(0),
      m_bLineRelayed(0),
      m_qwDiscard(0),
      m_bPassThrough(0),
      m_bAwaitRelayedData(0),
      m_bSpoolFailed(0),
      m_bServerLost(0),
      m_qwSpoolBytes(0),
      m_qwHeaderEnd(-1),
      m_pLineRefusal(nullptr),
      m_bAuthResponseDue(0),
      m_qwSizeLimit(0),
      m_bTooBig(0),
      m_bServerPipelining(0),
      m_pDeferredCommand(nullptr),
      m_eDeferredKind(EOwed::kRset),
      m_nKeepAlivesSent(0),
      m_nServerOwedShared(0),
      m_bKeepAliveStopped(0),
      m_reply(kMaxReplyLine),
      m_eReplyFor(EOwed::kClient),
      m_bReplyRelay(0),
      m_ehlo(kMaxReplyLine) {
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
    if (m_bPassThrough) return ESessionState::kPassThrough;
    return m_bAwaitRelayedData ? ESessionState::kAwaitingRelayedDataReply
                               : ESessionState::kCommandRelay;
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

void CSmtpConnection::EnterSpooling(FILE* spool) {
  ESessionState from = State();
  // One per session, kept until it ends: a connection that never sends a
  // message does not pay for it. Without it, messages arrive in small reads.
  if (m_pMessageBuffer == nullptr)
    m_pMessageBuffer.reset(new (std::nothrow) char[kMessageBufferSize]);
  m_pDataFile = spool;
  m_bDataSent = 0;
  m_bDataMode = 1;
  SetState(from, State());
}

bool CSmtpConnection::EnterScanning() {
  ESessionState from = State();
  bool closed = false;
  try {
    closed = CloseSpoolStream();
  } catch (...) {
    Trace(0, "DIVIVEZ: Exception while closing temp data file!\n");
  }
  SetState(from, State());
  return closed;
}

void CSmtpConnection::EnterAwaitingDataReply() {
  ESessionState from = State();
  m_bDataSent = 1;
  SetState(from, State());
}

bool CSmtpConnection::EnterDelivering() {
  ESessionState from = State();
  FILE* spool = nullptr;
  try {
    spool = SpoolStore().OpenRead(m_strDataFileName.c_str());
  } catch (...) {
    spool = nullptr;
  }
  if (spool == nullptr) return false;
  m_pDataFile = spool;
  SetState(from, State());
  return true;
}

void CSmtpConnection::LeaveDataMode(const char* why) {
  ESessionState from = State();
  DeleteSpoolFile();
  m_bDataMode = 0;
  m_strTail.clear();
  if (TraceOn(1)) TraceF(1, "DIVIVEZ: message %s\n", why);
  SetState(from, State());
}

void CSmtpConnection::EnterAwaitingRelayedData() {
  ESessionState from = State();
  m_bDataMode = 0;
  m_bAwaitRelayedData = 1;
  SetState(from, State());
}

void CSmtpConnection::EndAwaitingRelayedData(bool accepted) {
  ESessionState from = State();
  m_bAwaitRelayedData = 0;
  if (accepted) {
    // The message goes to the server unscanned; the marker search starts
    // after the DATA line's CRLF.
    m_bPassThrough = 1;
    m_strTail.assign("\r\n");
  }
  SetState(from, State());
}

void CSmtpConnection::LeavePassThrough() {
  ESessionState from = State();
  m_bPassThrough = 0;
  m_strTail.clear();
  SetState(from, State());
}

void CSmtpConnection::EnterServerLost() {
  if (m_bServerLost) return;
  m_bServerLost = 1;
  if (TraceOn(1)) TraceF(1, "DIVIVEZ: %s -> %s\n", kServerUpName, kServerLostName);
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
