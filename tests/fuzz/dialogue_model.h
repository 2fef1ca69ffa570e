// The reference model of one connection: what the server and the client must
// have been offered, given what the plug-in read from each side, what the
// scanner said and which spool operations failed.
//
// The model is written from the plug-in's observable behaviour, not from its
// code:
//  - every complete client line (CRLF) outside a message goes to the server
//    once and in order, except: a line holding a bare CR or LF before its
//    CRLF, starting with SP or HTAB, holding another control byte (0x00-0x1F
//    but HTAB, 0x7F), or whose verb (its leading ASCII letters, digits and
//    "-") is followed by a byte other than SP or HTAB (answered 500 locally,
//    even after the server is lost); a line whose first four bytes are DATA
//    (any case: intercepted, answered 354 locally, then spooled up to the
//    "\r\n.\r\n" that the DATA line's own CRLF may begin); BDAT (its chunk
//    is skipped), STARTTLS, XCLIENT and XFORWARD lines (answered 502
//    locally);
//  - an answer to an AUTH challenge (a line while the server's last reply
//    was a 334 to a client command and nothing went to the server since) is
//    judged alike, but its verb may be followed by any byte but a control,
//    and it ends a group whatever its verb;
//  - a line that grows past kMaxPartialLine goes out as it grows unless it is
//    refused or answered locally; then its head decides; once its head went
//    out, its control bytes go out as spaces;
//  - message bytes (spooled or passed through) are normalised: a bare LF ends
//    a line (CRLF), a bare CR becomes a space, a line that begins after a bare
//    LF with "." gets another "." unless it starts with "..", and only CRLF
//    "." CRLF ends the message;
//  - every command that reaches the server owes one reply, the greeting
//    first; a reply (lines up to one whose fourth byte is not '-') answers the
//    oldest; replies to client commands reach the client, those to the
//    plug-in's own NOOP, RSET and DATA never do, except a 4xx or 5xx to its
//    DATA (the client's answer to its end of data); EHLO replies lose their
//    CHUNKING, BINARYMIME, STARTTLS, XCLIENT and XFORWARD lines (a client
//    the host trusts under callback version 2 keeps the last two, and its
//    XCLIENT and XFORWARD lines go to the server), and a 250
//    EHLO reply's "SIZE n" line sets the server's message size limit;
//  - the server is given up ("lost": nothing more goes to it, nothing it says
//    is listened to, every later command is answered 421 locally, replies
//    owed to the client are answered 421 locally) when a reply answers
//    nothing (the client hears a 421 of ours in command relay, or the reply
//    itself if it is a 421), when the plug-in's DATA is answered with neither
//    354 nor 4xx/5xx (the client hears 451), and when a delivery breaks off
//    (451);
//  - the plug-in's own replies reach the client in the order of the commands
//    they answer;
//  - a spooled message: the server lost -> 451; past the server's SIZE (the
//    spool, its final ".\r\n" included, over n + 3 bytes) -> 552 and RSET;
//    a failed spool write -> 452 and RSET; scanned infected (verdict > 0) ->
//    "250 Mail accepted" and RSET (under callback version 2 a verdict of 2:
//    "554 5.7.1 Message rejected: infected (NAME)", NAME the text made
//    printable and cut to 100, and RSET); otherwise DATA, and the spool with the
//    scanner's text before the header-ending empty line only after a 354; a
//    failed reopen or read -> 451 and the server is lost; no spool file at
//    all -> 451 locally, or with the relay-unspooled setting DATA relayed and
//    after the server's 354 the message passes normalised;
//  - commands go to the server only when it may take them (RFC 2920): when
//    nothing is owed, or when the last successful EHLO reply advertised
//    PIPELINING (cleared by a client HELO) and no owed reply is to a command
//    that ends a group (anything but client MAIL, RCPT, RSET, SEND, SOML,
//    SAML; the greeting, a line relayed as it grew, and the plug-in's own
//    NOOP, DATA and RSET do; the end of a message does not);
//  - the plug-in's DATA and RSET wait, when the server may not take them, as
//    the deferred command, sent after the reply that allows it;
//  - keep-alive NOOPs: at most one per scan (the scanner's keep-alive calls)
//    and one per read of message bytes once the interval has passed (the
//    interval restarts only when one went out), each only when nothing is
//    owed (the fake server socket never shows unread replies to a peek) and
//    no NOOP was refused (4xx/5xx, or no code) and the server is not lost; a
//    421 to a NOOP or to the plug-in's RSET loses the server (421 to the
//    client in command relay), and so does a 421 to its DATA, after it is
//    relayed; a message awaiting DATA's answer then hears 451;
//  - the client is held back while a message awaits the server, while a
//    command of the plug-in's own is deferred, in command relay while the
//    server may not take a command, or while kMaxOwedClient client replies
//    are owed; held bytes count from where they were read, in order.
//
// Where the plug-in may send early (a reply line it relays as it grows), the
// model keeps "tentative" bytes: the plug-in may have sent any prefix of
// them; "committed" bytes must all be there after every event.
#ifndef DIVIVEZ_TESTS_FUZZ_DIALOGUE_MODEL_H_
#define DIVIVEZ_TESTS_FUZZ_DIALOGUE_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_world.h"

// Who owes the reply to a command the server received.
// kUnasked: a reply that answers nothing (never owed).
enum class EOwner : uint8_t { kClient, kClientEhlo, kClientData, kNoop, kData, kRset, kUnasked };

// The message bytes as the server must receive them (see above), one byte at
// a time. A CR is held until the next byte says what it is.
class CModelNormaliser {
 public:
  void Reset() { m_state = kLineStart; }
  // Appends the output for one input byte; true when it completed the end
  // marker.
  bool Byte(char c, std::string* out);

 private:
  enum EState { kLineStart, kLineStartAfterLf, kInLine, kCr, kDot, kDotCr, kDotAfterLf };
  EState m_state = kLineStart;
};

const char* OwnerName(EOwner owner);

// Plug-in faults already reported that an exploratory run may accept, so as to
// look past them (DIVIVEZ_FUZZ_ACCEPT, see dialogue_fuzzer.cpp). Each makes
// the model follow the faulty behaviour instead of the sound one.
struct SAccept {
  // A HELO line relayed as it grew (past kMaxPartialLine) leaves PIPELINING
  // on, so that MAIL and RCPT are pipelined after the server accepted it
  // (sound: any HELO sent ends PIPELINING).
  bool longHeloKeepsPipelining = false;
  // A send of our DATA that throws leaves m_bDataSent clear; a 354 then
  // starts a delivery in what the session takes for spooling, and when the
  // delivery throws too, the client's next bytes are spooled into the stream
  // opened for reading (sound: never). Only the fake host notices: the
  // connection is beyond the model by then.
  bool spoolsIntoReadStream = false;
  // A command line whose head went out as it grew, ended after the server
  // was lost: owed a reply that never comes (sound: a local 421).
  bool lostLongLine = false;
  // The server bytes after the reply that lost the server, in the same read:
  // still read as replies, and a 421 among them relayed (sound: ignored).
  bool sameReadAfterLoss = false;
  // Records of the plug-in's own RSETs (one per refused message) queue
  // without bound while the server does not answer (sound: the client is
  // held back, as it is for its own replies). Checked by the fuzzer's memory
  // check, not the model.
  bool owedRsets = false;
};

class CDialogueModel {
 public:
  // keepAliveSeconds: the keep-alive interval while spooling (0: off).
  // callbackVersion 2: a verdict of 2 is rejected with 554, and trusted says
  // whether the host trusts the client with XCLIENT and XFORWARD.
  void Start(bool callback, int keepAliveSeconds, bool relayUnspooled, int callbackVersion,
             bool trusted, const SAccept& accept);

  // Replays the log of one event against the model; Fail()s at the first
  // deviation. serverOffered is everything offered to the server so far.
  void Replay(const std::vector<SLogEntry>& log, const std::string& serverOffered);
  // Compares what each side was offered with the model.
  void CheckStreams(const std::string& serverOffered, const std::string& clientOffered);

  // The commands whose replies are owed, oldest first (the auto-responder).
  size_t OwedCount() const { return m_owed.size(); }
  EOwner OwedAt(size_t i) const { return m_owed[i].owner; }
  // No reply is half read: the next server line starts a reply.
  bool AtReplyBoundary() const { return !m_bInReply && m_strLine.empty(); }

  // No spool file may exist in these phases.
  bool NoSpoolExpected() const;
  bool ServerLost() const { return m_bServerLost; }
  // Where each message the server was given after a 354 begins in its
  // stream (the output invariant checks the offered bytes from there).
  const std::vector<size_t>& BodyStarts() const { return m_bodyStarts; }

 private:
  enum class EPhase { kRelay, kSpooling, kAwaitingData, kAwaitingRelayedData, kPassThrough };
  struct SOwed {
    EOwner owner;
    bool slot;       // its reply fills the oldest open answer slot of the client
    bool endsGroup;  // nothing may follow the command before its reply
  };
  struct SAnswer {
    bool local;        // a reply of the plug-in's own; otherwise a slot for a server reply
    std::string text;  // local
  };

  // Log access.
  const SLogEntry& Take(ELogKind kind, const char* why);
  bool Holding() const;

  // Client side.
  void ClientPiece(const std::string& piece);
  void Release();
  size_t Process(const char* data, size_t length);
  size_t CommandBytes(const char* data, size_t length);
  size_t MessageBytes(const char* data, size_t length);
  size_t PassThroughBytes(const char* data, size_t length);
  void HandleLine(const std::string& line);
  void HandleData(const std::string& line);
  void EndOfMessage();

  // Server side.
  void ServerPiece(const std::string& piece);
  void LineHead(const std::string& head);
  void StartReply(const std::string& head);
  void LineComplete();
  void EhloLine(const std::string& line, bool overlong);
  void FinishReply();
  void Deliver();
  void LoseServer(const char* clientReply);

  // Command synchronisation.
  bool ServerMayTakeCommand() const;
  // The plug-in's own DATA or RSET: sent now, or deferred.
  void SendOwn(const char* command, EOwner owner, bool slot);
  void SendDeferred();
  bool TryKeepAlive();

  // Outputs.
  // Nothing reaches a server that was given up.
  void ToServer(const std::string& bytes) {
    if (!m_bServerLost) m_toServer += bytes;
  }
  // newSlot: the client's answer slot is opened here (not already).
  void Owe(EOwner owner, bool slot, bool endsGroup, bool newSlot = true);
  void Local(const std::string& text);
  void FlushAnswers();
  void ToClient(const std::string& bytes) { m_toClient += bytes; }

  bool m_bCallback = true;
  bool m_bVersion2 = false;        // the host speaks callback version 2
  bool m_bTrusted = false;         // ... and trusts the client with XCLIENT and XFORWARD
  bool m_bKeepAliveTimer = false;  // NOOPs while spooling (SetTimeoutProtection > 0)
  uint32_t m_dwKeepAliveInterval = 0;
  uint32_t m_dwLastProtection = 0;  // the tick the interval counts from
  bool m_bKeepAliveStopped = false;
  bool m_bRelayUnspooled = false;  // no spool file: DATA relayed rather than refused
  SAccept m_accept;
  const std::vector<SLogEntry>* m_pLog = nullptr;
  size_t m_nCursor = 0;
  const std::string* m_pServerOffered = nullptr;
  bool m_bInServerCall = false;
  bool m_bReleased = false;

  // Client side.
  EPhase m_phase = EPhase::kRelay;
  std::string m_strPartial;  // the client's partial command line (what did not go out of it)
  const char* m_pRefusal = nullptr;  // the over-long partial line is refused: the reply
  bool m_bHeadRelayed = false;       // the over-long partial line's head went to the server
  EOwner m_headOwner = EOwner::kClient;
  bool m_bHeadHelo = false;
  std::string m_strHeld;
  uint64_t m_qwDiscard = 0;
  bool m_bServerLost = false;
  bool m_bAuthAnswer = false;  // the server's last word was a 334 to the client: see above
  std::string m_strMessage;    // the message as normalised (spooled or passed through)
  CModelNormaliser m_normaliser;
  uint64_t m_qwSizeLimit = 0;  // the server's EHLO SIZE, or 0
  bool m_bTooBig = false;      // the spool outgrew the size limit
  int m_nSpoolId = -1;
  std::string m_strInsert;

  // Server side.
  bool m_bPipelining = false;         // the last EHLO reply advertised PIPELINING
  const char* m_pDeferred = nullptr;  // the plug-in's command waiting for the server
  EOwner m_deferredOwner = EOwner::kRset;
  bool m_bDeferredSlot = false;
  std::deque<SOwed> m_owed;
  size_t m_nClientOwed = 0;
  std::deque<SAnswer> m_answers;
  std::string m_strLine;        // the server's current line
  size_t m_nLineHandled = 0;    // bytes of it already handled as fragments
  bool m_bLineStarted = false;  // its head was handled (an over-long line)
  bool m_bInReply = false;
  EOwner m_replyFor = EOwner::kClient;
  bool m_bReplySlot = false;
  bool m_bRelay = false;
  int m_nCode = -1;
  int m_nReplyLines = 0;
  bool m_bLastLine = false;
  std::string m_strEhloPending;  // the last kept EHLO line, held to close the reply
  bool m_bWithheld = false;      // the EHLO line being read is withheld
  std::string m_strCode;         // the reply's code as its first line has it

  std::string m_toServer;
  std::string m_toClient;
  std::vector<size_t> m_bodyStarts;
};

#endif  // DIVIVEZ_TESTS_FUZZ_DIALOGUE_MODEL_H_
