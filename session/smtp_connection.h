// CSmtpConnection: the state of one intercepted SMTP connection.
//
// Created and destroyed by the exports under the registry lock; driven by the
// host's readiness calls through OnPendingRequestFromApplication (client side)
// and OnPendingRequestFromServer (server side), which the host never runs at
// the same time for one connection. The keep-alive function may run on another
// host thread, but only while the client-side handler waits in the scan call.
//
// The message phase is encoded by flags (m_bDataMode, m_bDataSent, the spool
// stream, m_bAwaitRelayedData, m_bPassThrough); State() names the combination.
// The flags, and m_bServerLost, are written only by the transition methods in
// smtp_connection.cpp (Enter..., Leave..., ...), each of which traces
// "old -> new"; the rest of the session reads them.
//
// Replies are accounted for, not guessed: every command that goes to the
// server is recorded in m_owed with who sent it, every complete server reply
// answers the oldest record, and replies the plug-in gives itself wait in the
// same queue so that the client reads its answers in order.
//
// Commands go to the server only when it may take them (RFC 2920): never
// after one that ends a command group (EHLO, HELO, DATA, NOOP, RSET of ours,
// ...) before its reply, and, unless the server advertised PIPELINING in
// answer to EHLO, never while any reply is owed. Client commands wait in the
// held bytes meanwhile; a command of our own waits as the deferred command.
//
// The keep-alive may run on a host thread of its own during the scan: it
// touches the session only through the atomics below, and the handler folds
// what it sent into m_owed when the scan returns.
#ifndef DIVIVEZ_SESSION_SMTP_CONNECTION_H_
#define DIVIVEZ_SESSION_SMTP_CONNECTION_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "session/ehlo_filter.h"
#include "session/header_end_finder.h"
#include "session/message_normaliser.h"
#include "session/owed_replies.h"
#include "session/reply_framer.h"
#include "session/scan_request.h"
#include "transport/host_socket.h"

enum class ESessionState {
  kCommandRelay,              // commands relayed, replies relayed
  kSpooling,                  // after DATA: client bytes go to the spool file
  kScanning,                  // inside the host's scan call
  kAwaitingDataReply,         // our DATA sent, waiting for the server's 354
  kDelivering,                // streaming the spool file to the server
  kPassThrough,               // no spool: the client's message goes to the server unscanned
  kAwaitingRelayedDataReply,  // no spool: the client's DATA relayed, its answer awaited
};

const char* StateName(ESessionState state);
// The server link's two states as the transition trace names them.
inline constexpr char kServerUpName[] = "server connected";
inline constexpr char kServerLostName[] = "server lost";

// The client's answer when its message could not be delivered for now.
inline constexpr char kNotDeliveredReply[] =
    "451 4.3.0 Message could not be delivered; try again later\r\n";
// The client's answer to a command once the server has been given up.
inline constexpr char kServerLostReply[] = "421 4.3.0 Connection to the mail server lost\r\n";

class CSmtpConnection {
 public:
  CSmtpConnection(int hostContext, CHostSocket* client);
  ~CSmtpConnection();
  CSmtpConnection(const CSmtpConnection&) = delete;
  CSmtpConnection& operator=(const CSmtpConnection&) = delete;

  // Client side: drains the client socket. Returns the bytes read.
  int OnPendingRequestFromApplication(CHostSocket* client, CHostSocket* server);
  // Server side: drains the server socket. Returns the bytes read.
  int OnPendingRequestFromServer(CHostSocket* client, CHostSocket* server);

  // Spooling (spool.cpp).
  // Creates the spool file and resets what belongs to one message; once the
  // file exists, enters spooling. False when no file could be created.
  bool OpenDataFile();
  // Looks at the keep-alive, then stores the bytes (StoreData).
  void WriteData(const char* data, int length);
  bool IsEndOfData() const;
  void SendTimeoutProtectionMess();
  // Sends a keep-alive NOOP when the server may take one; true when it went out.
  bool TrySendKeepAlive();

  // Scan hand-off (scan_handoff.cpp).
  void InitScanRequest(ScanRequest& request) const;
  // Once, before the connection's first read: under callback version 2 the
  // host says whether it trusts the client to forward (code 4).
  void AskHostAboutConnection();
  void CheckAndSend(CHostSocket* client, CHostSocket* server);

  // Delivery (delivery.cpp).
  void SendDataFile(CHostSocket* server);
  // Follows the message's line structure across chunks, the chunk starting at
  // spool offset m_qwSpoolBytes. Returns the spool offset of the empty line
  // that ends the headers once this chunk completes it, otherwise -1.
  int64_t FindHeaderEnd(const char* data, int length);

  ESessionState State() const;

  // Limits that bound a session's memory whatever its peers send.
  static constexpr size_t kMaxPartialLine = 16384;         // then relayed as it grows
  static constexpr size_t kMaxHeldBytes = 65536;           // client bytes held back
  static constexpr size_t kMaxOwedClient = 256;            // replies owed the client, ours too
  static constexpr size_t kMaxOwedNoops = 4096;            // keep-alives unanswered
  static constexpr size_t kMaxReplyLine = 2048;            // server line assembled
  static constexpr size_t kMessageBufferSize = 65536 + 1;  // a message read and its NUL

  // --- Fields, in the order the host-visible record keeps them. ---
  int32_t m_nHostContext;
  CHostSocket* m_pSockApplication;
  std::string m_strCommand;  // the client's partial command line
  int32_t m_bCompleteCommand;
  int32_t m_bDataMode;
  std::string m_strTail;  // the part of "\r\n.\r\n" the message stream ends in
  FILE* m_pDataFile;
  std::string m_strDataFileName;
  std::string m_strInsertText;  // the scanner's text, made safe to insert
  uint32_t m_bTimeoutProtection;
  uint32_t m_dwTimeoutProtection;
  std::atomic<CHostSocket*> m_pSockTimeoutProtection;
  uint32_t m_dwLastProtection;
  std::atomic<int32_t> m_bNoopSent;
  int32_t m_bDataSent;

  // --- Further state of the relay. ---
  CHostSocket* m_pSockServer;    // the server socket, during a handler call
  int32_t m_nCallbackVersion;    // what the host's callback speaks (boundary/settings.h)
  int32_t m_bConnectionAsked;    // the host was asked about the connection (version 2)
  int32_t m_bForwardingTrusted;  // ... and trusts the client with XCLIENT and XFORWARD
  // The 554 replies of rejected messages, in the order their kLocal entries
  // wait in m_owed (which holds pointers to their text).
  std::deque<std::string> m_rejectReplies;
  COwedReplies m_owed;              // replies owed, oldest first
  std::string m_strHeld;            // client bytes held until the message has ended
  int32_t m_bLineRelayed;           // the partial line's head went out: 1, or 2 for an EHLO
  uint64_t m_qwDiscard;             // bytes of a refused BDAT chunk still to discard
  int32_t m_bPassThrough;           // relayed DATA was accepted: message goes raw
  int32_t m_bAwaitRelayedData;      // relayed DATA awaits its reply: hold the client
  int32_t m_bSpoolFailed;           // a spool write failed or stored less
  int32_t m_bServerLost;            // the server was given up (LoseServer): its side is shut
  uint64_t m_qwSpoolBytes;          // bytes written to the spool file
  int64_t m_qwHeaderEnd;            // spool offset where the scanner's text goes, or -1
  CHeaderEndFinder m_headerEnd;     // FindHeaderEnd's place in the line structure
  CMessageNormaliser m_normaliser;  // the message as the server will read it
  const char* m_pLineRefusal;       // the over-long partial line is refused: the reply
  // The server's last word was a 334 to a client command and nothing has
  // gone to it since: the client's next line answers the AUTH challenge.
  int32_t m_bAuthResponseDue;
  uint64_t m_qwSizeLimit;                    // the server's EHLO SIZE, or 0
  int32_t m_bTooBig;                         // the message outgrew m_qwSizeLimit
  std::unique_ptr<char[]> m_pMessageBuffer;  // client reads while spooling, or null

  // Command synchronisation with the server.
  int32_t m_bServerPipelining;     // the last EHLO reply advertised PIPELINING
  const char* m_pDeferredCommand;  // our command waiting until the server may take it
  EOwed m_eDeferredKind;           // ... and who its reply is for
  // Shared with the keep-alive, which may run on another thread.
  std::atomic<uint32_t> m_nKeepAlivesSent;    // NOOPs sent, not yet in m_owed
  std::atomic<uint32_t> m_nServerOwedShared;  // m_owed.Server() as last published
  std::atomic<int32_t> m_bKeepAliveStopped;   // no more keep-alives this session

  // Server reply assembly (reply_stream.cpp).
  CReplyFramer m_reply;   // the server's bytes as lines and replies
  EOwed m_eReplyFor;      // who the reply being read answers
  int32_t m_bReplyRelay;  // the reply being read goes to the client
  CEhloFilter m_ehlo;     // the EHLO reply as the client may read it

 private:
  // Transitions (smtp_connection.cpp): the only writers of the phase flags.
  // command relay -> spooling, with the spool stream just created.
  void EnterSpooling(FILE* spool);
  // spooling -> scanning: the spool stream is closed; false when that failed.
  bool EnterScanning();
  // scanning -> awaiting the DATA answer: our DATA is about to go out.
  void EnterAwaitingDataReply();
  // awaiting the DATA answer -> delivering: the spool file is opened for
  // reading; false (and no change) when it cannot be.
  bool EnterDelivering();
  // any phase of a scanned message -> command relay: the spool file goes.
  void LeaveDataMode(const char* why);
  // command relay -> awaiting the relayed DATA's answer (no spool).
  void EnterAwaitingRelayedData();
  // ... -> unscanned pass-through when accepted, otherwise -> command relay.
  void EndAwaitingRelayedData(bool accepted);
  // unscanned pass-through -> command relay: the end of data went out.
  void LeavePassThrough();
  // server connected -> server lost: nothing more is sent to it or read from it.
  void EnterServerLost();
  void SetState(ESessionState from, ESessionState to) const;

  // Client side (client_stream.cpp).
  bool ClientHeldBack() const;
  size_t ProcessClientBytes(const char* data, size_t length);
  size_t ProcessCommandBytes(const char* data, size_t length);
  size_t ProcessMessageBytes(const char* data, size_t length);
  size_t ProcessPassThroughBytes(const char* data, size_t length);
  void EndPassThrough();
  void HandleCommandLine(const char* line, size_t length);
  void HandleDataCommand(const char* line, size_t length);
  void TraceCommand(const char* line, size_t length) const;
  void ReleaseHeldClientBytes();
  void TraceNormalised() const;

  // Spooling (spool.cpp): the message's bytes as the server will get them.
  void StoreData(const char* data, size_t length);

  // Reply accounting (reply_stream.cpp).
  void SendCommandToServer(const char* data, size_t length, EOwed kind, bool endsGroup);
  bool ServerMayTakeCommand() const;
  // Our own command (static text): sent now, or deferred until the server
  // may take it.
  void SendOwnCommand(const char* command, EOwed kind);
  void SendDeferredCommand();
  void FoldKeepAlives();
  // Every byte for the server leaves through here: to m_pSockServer, or to
  // the given socket (the keep-alive, which may run on another thread).
  void RelayToServer(const char* data, size_t length);
  void RelayToServer(CHostSocket* server, const char* data, size_t length);
  void SendToClient(const char* data, size_t length);
  void ExpectReply(EOwed kind, bool endsGroup);
  void QueueLocalReply(const char* text);
  void FlushLocalReplies();
  void ProcessServerBytes(const char* data, size_t length);
  void HandleReplyLine(const char* line, size_t length, bool complete);
  void StartReply();
  void FinishReply();
  void FlushEhloLine();
  void RelayEhloLine(const char* line, size_t length, bool last);

  // Scan and delivery outcomes (scan_handoff.cpp, delivery.cpp).
  void RefuseMessage(const char* clientReply);
  // The server can no longer be trusted to follow the dialogue: its sending
  // side is shut so that nothing more can be delivered through it. Replies it
  // owed the client become local 421s; a message awaiting the server gets
  // the 451 of kNotDeliveredReply; in command relay the client hears
  // clientReply (if any), in order.
  void LoseServer(const char* clientReply, const char* why);
  void AbortDelivery();
  void DeleteSpoolFile();
  bool CloseSpoolStream();
};

// Handed to the host in the scan request: sends one keep-alive NOOP for the
// session given as the context.
extern "C" void DIVIVEZ_CDECL TimeoutProtectionCallback(void* context);

#endif  // DIVIVEZ_SESSION_SMTP_CONNECTION_H_
