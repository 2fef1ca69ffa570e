// Reply accounting: which reply answers which command, and where it goes.
//
// Every command that goes to the server is recorded in m_owed with who sent
// it. Server bytes are assembled into lines and lines into replies (a
// multi-line reply is "ddd-" lines closed by a "ddd " or "ddd" line, RFC 5321
// section 4.2.1); each complete reply answers the oldest record. Replies to
// the client's commands are relayed byte for byte; replies to our own NOOP,
// RSET and DATA never reach the client. Replies we give ourselves wait in the
// same record until every reply owed to the client before them has gone out.
#include <cstring>

#include "boundary/trace.h"
#include "session/smtp_connection.h"

namespace {

const char k421OutOfStep[] = "421 4.3.0 Mail server out of step; closing the transaction\r\n";

}  // namespace

void CSmtpConnection::ExpectReply(EOwed kind, bool endsGroup) {
  m_owed.Expect(kind, endsGroup);
  // Whatever goes to the server now is what it takes for the AUTH answer.
  m_bAuthResponseDue = 0;
  if (kind == EOwed::kNoop) m_bNoopSent = 1;
  m_nServerOwedShared = static_cast<uint32_t>(m_owed.Server());
}

void CSmtpConnection::SendCommandToServer(const char* data, size_t length, EOwed kind,
                                          bool endsGroup) {
  ExpectReply(kind, endsGroup);
  RelayToServer(data, length);
}

bool CSmtpConnection::ServerMayTakeCommand() const {
  // A lost server takes nothing; its commands are answered here.
  if (m_bServerLost || m_owed.Server() == 0) return true;
  return m_bServerPipelining && m_owed.GroupEnds() == 0;
}

void CSmtpConnection::SendOwnCommand(const char* command, EOwed kind) {
  if (m_bServerLost) return;
  if (m_pDeferredCommand == nullptr && ServerMayTakeCommand()) {
    SendCommandToServer(command, std::strlen(command), kind, true);
    return;
  }
  TraceText(1, "DIVIVEZ: Deferred until the server has answered: ", command, std::strlen(command),
            "");
  m_pDeferredCommand = command;
  m_eDeferredKind = kind;
}

void CSmtpConnection::SendDeferredCommand() {
  if (m_pDeferredCommand == nullptr || !ServerMayTakeCommand()) return;
  const char* command = m_pDeferredCommand;
  m_pDeferredCommand = nullptr;
  if (m_bServerLost) return;
  SendCommandToServer(command, std::strlen(command), m_eDeferredKind, true);
}

void CSmtpConnection::FoldKeepAlives() {
  // What the keep-alive sent meanwhile is owed before anything sent later.
  for (uint32_t n = m_nKeepAlivesSent.exchange(0); n > 0; --n) ExpectReply(EOwed::kNoop, true);
}

void CSmtpConnection::RelayToServer(const char* data, size_t length) {
  RelayToServer(m_pSockServer, data, length);
}

void CSmtpConnection::RelayToServer(CHostSocket* server, const char* data, size_t length) {
  // Nothing goes to a server we gave up on; its sending side is shut. (The
  // keep-alive's thread reads the flag too: it is written only by the
  // handler, never while the keep-alive may run.)
  if (length == 0 || server == nullptr || m_bServerLost) return;
  SockSend(server, data, static_cast<int>(length), INFINITE);
}

void CSmtpConnection::SendToClient(const char* data, size_t length) {
  if (length == 0) return;
  SockSend(m_pSockApplication, data, static_cast<int>(length), INFINITE);
}

void CSmtpConnection::QueueLocalReply(const char* text) {
  m_owed.QueueLocal(text);
  FlushLocalReplies();
}

void CSmtpConnection::FlushLocalReplies() {
  // Not in the middle of a reply that goes to the client.
  if (m_reply.InReply() && m_bReplyRelay) return;
  m_owed.FlushLocal([this](const char* text) {
    if (!m_rejectReplies.empty() && text == m_rejectReplies.front().c_str()) {
      // Out of the queue before the send, which may throw.
      const std::string reply = std::move(m_rejectReplies.front());
      m_rejectReplies.pop_front();
      SendToClient(reply.data(), reply.size());
      return;
    }
    SendToClient(text, std::strlen(text));
  });
}

void CSmtpConnection::ProcessServerBytes(const char* data, size_t length) {
  // A server we gave up on is not listened to: nothing it says now can be
  // matched to a command.
  if (m_bServerLost) return;
  FoldKeepAlives();
  // Once a reply has made us give up on the server, what follows it in the
  // same read is not listened to either.
  m_reply.Feed(data, length, [this](const char* line, size_t n, bool complete) {
    HandleReplyLine(line, n, complete);
    return !m_bServerLost;
  });
}

void CSmtpConnection::HandleReplyLine(const char* line, size_t length, bool complete) {
  if (m_reply.AtLineStart()) {
    // Nothing of a new reply has gone out yet: our replies owed before it may.
    if (!m_reply.InReply()) FlushLocalReplies();
    if (m_reply.BeginLine(line, length)) StartReply();
  }
  if (m_bReplyRelay) {
    if (m_eReplyFor == EOwed::kClientEhlo) {
      RelayEhloLine(line, length, complete);
    } else {
      SendToClient(line, length);
    }
  }
  if (m_reply.EndPiece(complete)) FinishReply();
}

void CSmtpConnection::StartReply() {
  m_ehlo.Reset();
  // Nothing asked for a reply when nothing is owed (kUnasked). A 421 is a
  // server closing the session (RFC 5321 section 3.8): the client hears it.
  // Anything else means the server counts commands differently from us; it
  // must not be taken as the answer to anything.
  const bool asked = !m_owed.Empty();
  m_eReplyFor = m_owed.AnswerNext();
  if (asked) {
    m_nServerOwedShared = static_cast<uint32_t>(m_owed.Server());
    if (m_eReplyFor == EOwed::kNoop) {
      m_bNoopSent = m_owed.Noops() > 0 ? 1 : 0;
      Trace(1, "DIVIVEZ: Server answer is noop answer, ignore\n");
    }
  }
  switch (m_eReplyFor) {
    case EOwed::kClient:
    case EOwed::kClientEhlo:
    case EOwed::kClientData:
      m_bReplyRelay = 1;
      break;
    case EOwed::kNoop:
    case EOwed::kRset:
    case EOwed::kLocal:
      m_bReplyRelay = 0;
      break;
    case EOwed::kData:
      // A 4xx or 5xx refuses the message: it is the client's answer to its
      // end of data. Any other code but 354 is never valid here, and the
      // client must not hear it as success.
      m_bReplyRelay = m_reply.Code() >= 400 && m_reply.Code() < 600 ? 1 : 0;
      break;
    case EOwed::kUnasked:
      m_bReplyRelay = m_reply.Code() == 421 ? 1 : 0;
      break;
  }
  // A successful EHLO reply says afresh what the server takes.
  if (m_eReplyFor == EOwed::kClientEhlo && m_reply.Code() == 250) {
    m_qwSizeLimit = 0;
    m_bServerPipelining = 0;
  }
}

void CSmtpConnection::RelayEhloLine(const char* line, size_t length, bool complete) {
  m_ehlo.Relay(line, length, m_reply.Piece(complete), &m_qwSizeLimit, &m_bServerPipelining,
               [this](const char* data, size_t n) { SendToClient(data, n); });
}

void CSmtpConnection::FlushEhloLine() {
  m_ehlo.Flush([this](const char* data, size_t n) { SendToClient(data, n); });
}

void CSmtpConnection::FinishReply() {
  FlushEhloLine();
  switch (m_eReplyFor) {
    case EOwed::kData:
      if (m_reply.Code() == 354) {
        Trace(1, "DIVIVEZ: Start sending data file\n");
        SendDataFile(m_pSockServer);
      } else if (m_bReplyRelay) {
        TraceF(0, "DIVIVEZ: Server refused DATA with %d; message not delivered\n", m_reply.Code());
        LeaveDataMode("refused by the server");
        // The client heard the 421; the server is closing (RFC 5321 section 3.8).
        if (m_reply.Code() == 421) LoseServer(nullptr, "421 in answer to DATA");
      } else {
        TraceF(0, "DIVIVEZ: Server answered DATA with %d; message not delivered\n", m_reply.Code());
        LoseServer(kNotDeliveredReply, "invalid answer to DATA");
      }
      break;
    case EOwed::kUnasked:
      TraceF(0, "DIVIVEZ: Server reply %d answers no command\n", m_reply.Code());
      LoseServer(m_reply.Code() == 421 ? nullptr : k421OutOfStep, "reply that answers no command");
      break;
    case EOwed::kClientData:
      EndAwaitingRelayedData(m_reply.Code() == 354);
      break;
    case EOwed::kNoop:
      if (m_reply.Code() >= 400 || m_reply.Code() < 0) {
        // The server will not be kept waiting this way (Postfix counts NOOP
        // as a junk command): no more keep-alives.
        TraceF(0, "DIVIVEZ: Server refused the keep-alive with %d; keep-alives stop\n",
               m_reply.Code());
        m_bKeepAliveStopped = 1;
      }
      if (m_reply.Code() == 421) LoseServer(kServerLostReply, "421 in answer to a keep-alive");
      break;
    case EOwed::kRset:
      if (m_reply.Code() == 421) LoseServer(kServerLostReply, "421 in answer to RSET");
      break;
    case EOwed::kClient:
      // A challenge (RFC 4954 section 4): the server reads the client's next
      // line as its answer, which is no command. Only while nothing else is
      // on its way to the server can that next line be known.
      if (m_reply.Code() == 334 && m_owed.Server() == 0) m_bAuthResponseDue = 1;
      break;
    case EOwed::kClientEhlo:
    case EOwed::kLocal:
      break;
  }
  FlushLocalReplies();
  SendDeferredCommand();
}

void CSmtpConnection::LoseServer(const char* clientReply, const char* why) {
  if (m_bServerLost) return;
  TraceF(0, "DIVIVEZ: Server connection given up: %s\n", why);
  EnterServerLost();
  // Replies the server will never send now: the client's are answered here,
  // in their places; our own commands' are forgotten.
  m_owed.ForgetServer(kServerLostReply);
  m_bNoopSent = 0;
  m_nServerOwedShared = 0;
  m_pDeferredCommand = nullptr;
  m_bKeepAliveStopped = 1;
  // A relayed DATA's answer is now the local 421 in its place: the client is
  // no longer held for it.
  if (State() == ESessionState::kAwaitingRelayedDataReply) EndAwaitingRelayedData(false);
  switch (State()) {
    case ESessionState::kAwaitingDataReply:
    case ESessionState::kDelivering:
      // The client's end of data is what is answered: a temporary failure
      // for its message, whatever ended the server.
      QueueLocalReply(kNotDeliveredReply);
      LeaveDataMode("not delivered: the server is lost");
      break;
    case ESessionState::kSpooling:
    case ESessionState::kScanning:
    case ESessionState::kPassThrough:
      // The client is sending its message and reads no reply before its end
      // of data; then it hears a temporary failure.
      break;
    case ESessionState::kCommandRelay:
    case ESessionState::kAwaitingRelayedDataReply:  // not reached: left above
      if (clientReply != nullptr) QueueLocalReply(clientReply);
      break;
  }
  // Closing our sending side makes the server drop any open transaction
  // (RFC 5321 section 3.8): nothing more is delivered through it.
  if (m_pSockServer != nullptr) SockShutdownSend(m_pSockServer);
  FlushLocalReplies();
}
