// ClientTlsGate: STARTTLS toward the client (RFC 3207), kept out of the
// plug-in's sight.
//
// The host stands between the client's socket and the plug-in. It offers
// STARTTLS in the EHLO reply the client gets and takes the client's STARTTLS
// itself, at a command boundary; the plug-in never sees it. This is that
// policy as a value: no I/O, no clock. It follows the client's commands and
// the replies the plug-in sends back to know where a command begins (never
// inside a message or an answer to an AUTH challenge) and when every reply
// owed before STARTTLS has gone out. It reads a command line as the plug-in
// does (session/command_syntax.h): a line whose verb does not end in SP,
// HTAB or the line's end is no STARTTLS, NOOP or EHLO to it, whatever its
// letters spell. It never guesses the plug-in's state: it takes a message
// or an answer to a challenge only once the reply says so (354, 334).
//
// BDAT is answered here (502; CHUNKING is never offered to the client) and
// never passed on, so the gate alone reads what follows it: the chunk of a
// well-formed BDAT line is read and thrown away (RFC 3030: the client sends
// it right behind the line, without waiting for the reply), and after a
// malformed one, whose size nobody can trust, commands follow.
//
// The client's bytes are read for the plug-in through FromClient; what the
// plug-in sends the client goes through ToClient. Replies the gate gives
// itself (220, 501, 502, 503, 530, 538) wait in a short queue until every
// reply the plug-in owes before them has passed, so the client reads them
// in the order of its commands (RFC 2920). The greeting is owed from the
// start.
//
// A STARTTLS taken ends the plain-text dialogue: every byte the client sent
// after it is thrown away, never executed after the handshake (RFC 3207
// section 4: a command injected before the handshake would run with the
// authority of the encrypted session). The host drops what it read but did
// not yet hand to FromClient, and gives the socket to the TLS engine.
//
// How the host drives it, per connection:
//   - the plug-in's Receive: read the client (at most the plug-in's buffer
//     less kMaxExtraOutput), append to the bytes it still holds, call
//     FromClient, hand the plug-in `out`, then TakeLocalReplies and send
//     what it gives. While bytes are left and the last call consumed some,
//     call both again (the gate's own replies, once out, make room for
//     more). Bytes left are waiting for the plug-in (the reply to a DATA,
//     an AUTH or an EHLO, or replies owed before the gate's own): offer
//     them again after each ToClient.
//   - the plug-in's Send: ToClient; send `out` to the client. Bytes not
//     consumed came after the 220: they answer something sent before the
//     handshake (or nothing), so they are dropped and the connection ends;
//     they never go to the client inside TLS.
//   - once WantsHandshake(): drop the client bytes still held, stop reading
//     for the plug-in, run the handshake, then HandshakeDone(); a failed
//     handshake ends the connection.
// A buffer the host keeps between calls is bounded by what it reads: the
// gate itself holds at most kMaxVerb bytes of a command and one EHLO reply
// line of at most kMaxHeldLine bytes. Nothing is allocated per byte.
//
// Credentials: an answer to an AUTH challenge is passed without being
// looked at, and of a command line only the verb is kept, until it is
// decided. What the gate reports for the log is counts named by verb.
#ifndef DIVIVEZ_HOST_SMTP_CLIENT_TLS_GATE_H_
#define DIVIVEZ_HOST_SMTP_CLIENT_TLS_GATE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/smtp/smtp_data.h"
#include "session/command_syntax.h"

class ClientTlsGate {
 public:
  struct Settings {
    bool startTls = false;        // a certificate is loaded: STARTTLS may be offered
    bool implicitTls = false;     // the connection began with the handshake
    bool requireTls = false;      // --require-tls: in plain text only EHLO, HELO, NOOP,
                                  // RSET, QUIT and STARTTLS
    bool plaintextAuth = false;   // --allow-plaintext-auth
    bool loopbackClient = false;  // plain-text AUTH never leaves the machine
  };

  // What the gate did, for the log.
  struct Tally {
    uint32_t startTls = 0;         // STARTTLS taken (220)
    uint32_t tlsRequired = 0;      // a command answered 530
    uint32_t bdat = 0;             // BDAT answered 502
    uint32_t authEncryption = 0;   // AUTH answered 538
    uint32_t ehloFirst = 0;        // a command answered 503 between STARTTLS and EHLO
    uint32_t startTlsRefused = 0;  // STARTTLS answered 503 (TLS active) or 501 (parameters)
    uint64_t discardedBytes = 0;   // sent after STARTTLS, thrown away
  };

  // The longest verb the gate tells apart (STARTTLS).
  static constexpr size_t kMaxVerb = 8;
  // The most bytes FromClient writes beyond the input it consumes: the verb
  // of a command that began in an earlier piece, and the CR after it.
  static constexpr size_t kMaxExtraOutput = kMaxVerb + 1;
  // An EHLO reply line held back longer than this goes out as it arrives.
  static constexpr size_t kMaxHeldLine = 4096;
  // Own replies waiting for the plug-in's; past this the client is held.
  static constexpr size_t kMaxLocalReplies = 16;

  explicit ClientTlsGate(const Settings& settings);

  // The client's bytes, as the plug-in may read them, to out (which must
  // hold length + kMaxExtraOutput bytes). Returns how many were consumed;
  // the rest must be offered again after the next ToClient (see above).
  size_t FromClient(const char* data, size_t length, char* out, size_t* outLength);

  // The plug-in's bytes for the client, with the EHLO reply rewritten and
  // the gate's own replies in their places, appended to out. Returns how
  // many were consumed: fewer than length only once the 220 was given.
  size_t ToClient(const char* data, size_t length, std::string* out);

  // Appends the gate's replies that owe nothing more to the plug-in.
  void TakeLocalReplies(std::string* out);

  // The 220 to STARTTLS has been handed out: the handshake is next.
  bool WantsHandshake() const { return m_handshakeDue; }
  // The handshake succeeded: the session starts over with EHLO.
  void HandshakeDone();

  bool TlsActive() const { return m_tlsActive; }
  const Tally& Counts() const { return m_tally; }

 private:
  enum class Input : uint8_t {
    kCommand,       // command lines
    kMessage,       // after a 354, up to CR LF . CR LF
    kChunk,         // the chunk of a refused BDAT: thrown away here
    kAuthResponse,  // after a 334, one line that is no command
    kDiscard,       // after STARTTLS, until the handshake
  };
  enum class Line : uint8_t {
    kVerb,      // its first bytes, up to the verb's end
    kPass,      // to the plug-in
    kRefuse,    // answered here, thrown away
    kStartTls,  // STARTTLS CR LF: answered here
  };
  // How a verb ended: at a byte, at the line's CR LF, or past kMaxVerb.
  enum class VerbEnd : uint8_t { kByte, kLineEnd, kOverlong };
  // Why a passed command's reply must come before the client is read on.
  enum class Await : uint8_t { kNone, kEhlo, kData, kAuth };
  enum class LocalReply : uint8_t {
    kReadyForTls,
    kNoParameters,
    kTlsActive,
    kNotAvailable,
    kEhloFirst,
    kTlsRequired,
    kAuthEncryption,
  };
  struct Queued {
    LocalReply reply;
    uint64_t after;  // the plug-in replies that come first
  };

  bool HoldingClient() const;
  size_t CommandBytes(const char* data, size_t length, char* out, size_t* produced);
  // after: the byte that ended the verb (VerbEnd::kByte).
  void DecideVerb(VerbEnd how, char after, char* out, size_t* produced);
  void EndCommandLine();
  // Bytes up to and including the first CR LF (*ended), or all of them.
  size_t LineRun(const char* data, size_t length, bool* ended);
  // The rest of a BDAT line (a run of LineRun): its size and its syntax.
  void ReadBdatRest(const char* data, size_t length, bool ended);
  void Queue(LocalReply reply);

  bool OfferStartTls() const { return m_settings.startTls && !m_tlsActive; }
  bool AuthInPlainText() const;
  size_t PlainReplyBytes(const char* data, size_t length, std::string* out);
  void PlainLineDone(std::string* out);
  size_t EhloReplyBytes(const char* data, size_t length, std::string* out);
  void ClassifyEhloLine(std::string* out);
  void EhloLineDone(std::string* out);
  void EndReply(std::string* out);
  void ReleaseDue(std::string* out);

  Settings m_settings;
  Tally m_tally;
  bool m_tlsActive;
  bool m_ehloFirst = false;     // STARTTLS done, no EHLO or HELO since
  bool m_handshakeDue = false;  // its 220 is given

  // Replies: the plug-in's owed in all, and seen (the greeting is owed).
  uint64_t m_passed = 1;
  uint64_t m_seen = 0;
  Queued m_queue[kMaxLocalReplies];
  size_t m_queueHead = 0;
  size_t m_queueCount = 0;

  // The client side.
  Input m_input = Input::kCommand;
  Line m_line = Line::kVerb;
  Await m_lineAwaits = Await::kNone;  // what the passed line will wait for
  Await m_awaiting = Await::kNone;    // the reply the client waits for
  LocalReply m_refusal = LocalReply::kEhloFirst;
  bool m_lastCr = false;  // the line's last byte so far was CR
  char m_verb[kMaxVerb];
  size_t m_verbLength = 0;
  bool m_verbCr = false;  // a CR after the verb: the line's end, or a bare CR
  // The line's syntax: up to the verb's end, and all of a BDAT line.
  CCommandSyntax m_syntax;
  bool m_lineIsBdat = false;
  bool m_bdatCr = false;      // a BDAT line's last byte so far was CR, not yet judged
  uint8_t m_chunkDigits = 0;  // of a BDAT line: 0 blanks, 1 digits, 2 done
  uint64_t m_chunkLeft = 0;
  DataEndFinder m_dataEnd;

  // The plug-in side: the reply being read.
  bool m_inReply = false;
  bool m_ehloReply = false;  // it answers EHLO: its lines are looked at
  int m_code = -1;           // its code, from its first line
  uint32_t m_replyLine = 0;  // lines of the reply before this one
  // The line's first bytes: its code and continuation mark, and in the EHLO
  // reply its keyword ("250-STARTTLS" and the byte that ends it).
  static constexpr size_t kPrefix = 16;
  char m_prefix[kPrefix];
  size_t m_prefixLength = 0;
  // The EHLO reply, line by line.
  bool m_classified = false;  // the line's fate is known
  bool m_lineKept = false;
  bool m_streaming = false;  // an over-long kept line going out as it comes
  bool m_closed = false;     // a closing line went to the client
  std::string m_pending;     // the last kept line, its mark not yet final
};

#endif  // DIVIVEZ_HOST_SMTP_CLIENT_TLS_GATE_H_
