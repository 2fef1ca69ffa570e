// libFuzzer target: whole SMTP dialogues through the plug-in's exports, with
// a fake host (fuzz_world.h) and a reference model (dialogue_model.h) that
// every event is checked against.
//
// The input is a script of host events. Each event is an opcode byte (taken
// modulo kOpCount) followed by its operands; "data" is a length byte (255:
// a 16-bit little-endian length follows) and that many bytes. An input that
// ends early simply ends the script.
//
//   0  CLIENT data         the client sends a chunk; the host calls the client side
//   1  SERVER data         the server sends a chunk; server side, then client side
//   2  AUTO b              the server answers the oldest 1 + (b & 3) owed commands
//                          (b & 4 multi-line, b & 8 negative, b & 16 one read per
//                          line, (b >> 5) & 3 the EHLO extension set); replies carry
//                          tokens; b & 128: when that answers all, one more reply
//                          that answers nothing (421 if negative, else 354 if
//                          multi-line, else 250)
//   3  VERDICT b data      the next scan's result ({0, 1, -5, INT32_MAX}[b & 3]; 2, a
//                          rejection, when b & 4 under callback version 2) and
//                          text (264 bytes or more: the field is filled without a NUL)
//   4  KEEPALIVE b         the next scan calls the keep-alive function b & 7 times
//   5  THROW               the next scan throws
//   6  SOCKFAULT b         b & 1: server side; b & 2: a send, else a read; b & 4: it
//                          throws CWinSockException, else it fails; it is the
//                          ((b >> 3) & 3)-th next one
//   7  TICK u16            the tick count advances by that many milliseconds
//   8  RECONNECT b         the connection ends, a new one starts: keep-alive
//                          interval b & 7 seconds (0: off), b & 8: no host
//                          callback, b & 16: trace level 0 instead of 3, b & 32:
//                          a message that cannot be spooled is relayed unscanned
//                          (else refused; the first connection refuses), b & 64:
//                          the host speaks callback version 2, b & 128: and
//                          trusts the client with XCLIENT and XFORWARD
//   9  SPOOLFAULT b        (b & 7) % 7: create fails, a write stores nothing, a
//                          write stores one byte less, closing the written file
//                          fails, the reopen fails, a delivery read fails, the
//                          deletion fails; writes and reads: the ((b >> 3) & 3)-th next
//   10 REPEAT u16 data     the client sends data repeated up to 2 * u16 bytes
//   11 POLL b              the host calls the client side (b & 1) or the server side
//   12 TOKEN               the client sends a fresh token (BEL digits BEL)
//   13 MESSAGE b           the client sends a whole transaction whose body holds a
//                          fresh token (b: lower-case data, no headers, a dot line,
//                          QUIT after it, one read per line)
//   14 SERVERREPEAT u16 data  the server sends data repeated up to 2 * u16 bytes
//
// After every event: the log is replayed into the model and both streams are
// compared with it (the model also checks each scan's file content, and
// predicts every keep-alive NOOP); no token of an infected message may have reached the server; no
// reply to the plug-in's own NOOP, RSET or 354-answered DATA, and no reply
// that answered nothing (unless a 421), may have reached the client; the
// output invariant holds at the server: from a 354 that lets a message through
// (the plug-in's DATA, or a relayed DATA) up to the "\r\n.\r\n" that ends it,
// CR and LF appear only as CRLF and no line is a lone "." that a lenient
// server would take for the end; the session's buffers and queues stay within
// the bounds derived from its limits; no spool file exists unless a message is
// in flight; command synchronisation holds at a strict server (CStrictServer:
// no command starts while the server owes a reply, unless it advertised
// PIPELINING in answer to EHLO and every command it owes a reply to may stand
// inside a group). The fake host checks as it goes: each request call returns
// the bytes it read, scan and progress records are well formed, the scanner's
// keep-alive calls send at most one NOOP, spool streams are used only while open. After every
// connection: no session, spool stream or spool file is left. A socket send
// that throws leaves the session in a state the model cannot follow: for the
// rest of that connection only the token, memory and file checks (and the
// sanitizers) run: the stream the server was offered lacks what the send
// that threw carried (a real connection would be broken).
//
// DIVIVEZ_FUZZ_TRACE=1 prints every event, what the plug-in did and what each
// side was offered (to read a reproducer).
//
// Free-form chunks cannot forge tokens: their BEL and SO bytes become ACK.
//
// DIVIVEZ_FUZZ_ACCEPT (comma-separated) makes an exploratory run accept
// plug-in faults reported earlier, all fixed since (SAccept in
// dialogue_model.h; the model and the strict server follow the fault):
//   long-helo          a HELO line relayed as it grew leaves PIPELINING on
//   read-stream-write  after sends of our DATA and of the delivery threw, the
//                      client's bytes are spooled into the delivery's stream
//   lost-long-line        a line relayed as it grew, ended after the server
//                         was lost, waits for a reply that never comes
//   same-read-after-loss  server bytes read with the reply that lost the
//                         server are still taken as replies
//   owed-rsets            records of the plug-in's own RSETs queue without
//                         bound while the server does not answer
//
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "boundary/connection_registry.h"
#include "session/smtp_connection.h"
#include "tests/fuzz/dialogue_model.h"
#include "tests/fuzz/fuzz_events.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

const size_t kMaxEvents = 2000;
const size_t kMaxBytesPerInput = 2u << 20;
const char kClientToken = '\x07';
const char kReplyToken = '\x0e';

class CInput {
 public:
  CInput(const uint8_t* data, size_t size) : m_pData(data), m_nSize(size) {}
  bool Empty() const { return m_nPos >= m_nSize; }
  uint8_t Byte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
  unsigned U16() {
    unsigned low = Byte();
    return low | (static_cast<unsigned>(Byte()) << 8);
  }
  std::string Data() {
    size_t length = Byte();
    if (length == 255) length = U16();
    length = std::min(length, m_nSize - std::min(m_nPos, m_nSize));
    std::string bytes(reinterpret_cast<const char*>(m_pData + m_nPos), length);
    m_nPos += length;
    return bytes;
  }

 private:
  const uint8_t* m_pData;
  size_t m_nSize;
  size_t m_nPos = 0;
};

struct SReplyToken {
  EOwner owner;  // kUnasked: it answered nothing
  bool is354;
  bool is421;
};

// The output invariant at the server, checked on the bytes the plug-in
// offered it: from each message start the model knows of (right after the
// 354 that let the message through) to the first "\r\n.\r\n" (the DATA line's
// CRLF counting as its first two bytes).
class CBodyChecker {
 public:
  void Reset() { *this = CBodyChecker(); }
  void Check(const std::string& offered, const std::vector<size_t>& starts);

 private:
  size_t m_nNext = 0;      // the next message start to enter
  bool m_bInBody = false;  // between a 354 and its end marker
  size_t m_nPos = 0;       // bytes of the stream looked at
  size_t m_nBodyStart = 0;
  std::string m_strWindow;  // the last (up to five) bytes of "\r\n" + the message
};

// The server's side of the transcript as a strict server sees it (RFC 2920,
// as Postfix enforces it with smtpd_forbid_unauth_pipelining): it reads the
// commands the plug-in offered it and takes the replies the plug-in read as
// its own answers, in order (serverSentBefore of each read says where they
// fall among the commands). A command may start only when every command
// before it has an answer begun, or when its last successful EHLO reply
// advertised PIPELINING and every command still unanswered is MAIL, RCPT,
// RSET, SEND, SOML or SAML, or the end of a message. It knows nothing of the
// plug-in's records, nor of the model's.
//
// A fake server may answer before the command arrives (a reply read in one
// chunk with the reply that let the command go, or sent early): such a reply,
// whole or begun, answers the next command to arrive.
class CStrictServer {
 public:
  void Reset(const SAccept& accept) {
    *this = CStrictServer();
    m_accept = accept;
  }
  void Follow(const std::vector<SLogEntry>& log, const std::string& offered);

 private:
  struct SCommand {
    bool endsGroup;
    bool data;  // begins with DATA (the plug-in's framing)
    bool ehlo;
    bool helo;
  };
  struct SReply {
    int code;
    bool pipelining;  // a later line advertised PIPELINING
  };
  void Offered(const std::string& offered, size_t upTo);
  void CommandComplete();
  void Arrived(const SCommand& command);
  void Read(const std::string& bytes);
  void Answer(const SCommand& command, const SReply& reply);

  std::deque<SCommand> m_pending{SCommand{true, false, false, false}};  // the greeting
  std::deque<SReply> m_credits;
  SAccept m_accept;
  bool m_bPipelining = false;
  size_t m_nPos = 0;
  bool m_bInLine = false;
  size_t m_nLineStart = 0;
  std::string m_strHead;  // the command line's first bytes
  bool m_bInBody = false;
  std::string m_strWindow;
  // The reply being read.
  bool m_bInReply = false;
  bool m_bAnswers = false;  // it answers m_replyTo (else it is a credit)
  SCommand m_replyTo{};
  SReply m_reply{};
  int m_nReplyLines = 0;
  std::string m_strLine;
};

SAccept g_accept;
CDialogueModel g_model;
CStrictServer g_strict;
CBodyChecker g_bodies;
std::map<std::string, SReplyToken> g_replyTokens;
size_t g_nClientScanned = 0;  // client bytes searched for reply tokens
size_t g_nServerScanned = 0;  // server bytes searched for infected tokens
unsigned g_nToken = 0;
size_t g_nBytesPushed = 0;

// DIVIVEZ_FUZZ_TRACE=1: every event and what each side was offered meanwhile
// goes to standard error (for reading a reproducer).
bool g_bTrace = false;
size_t g_nTracedServer = 0;
size_t g_nTracedClient = 0;

void TraceEvent(const char* what) {
  if (!g_bTrace) return;
  CWorld& world = World();
  std::fprintf(stderr, "-- %s\n", what);
  for (const SLogEntry& entry : world.m_log) {
    static const char* const kKinds[] = {
        "client call", "client call end", "server call", "server call end",
        "read",        "create",          "scan",        "reopen"};
    std::fprintf(stderr, "   | %s", kKinds[static_cast<int>(entry.kind)]);
    if (entry.kind == ELogKind::kRecv) {
      std::fprintf(stderr, " %s \"%s\"", entry.side == ESide::kClient ? "client" : "server",
                   Printable(entry.bytes, 200).c_str());
    } else if (entry.kind != ELogKind::kClientCallBegin && entry.kind != ELogKind::kClientCallEnd &&
               entry.kind != ELogKind::kServerCallBegin && entry.kind != ELogKind::kServerCallEnd) {
      std::fprintf(stderr, " ok=%d id=%d result=%d threw=%d", entry.ok ? 1 : 0, entry.spoolId,
                   static_cast<int>(entry.result), entry.threw ? 1 : 0);
    }
    std::fprintf(stderr, "\n");
  }
  if (world.Server().offered.size() > g_nTracedServer) {
    std::fprintf(stderr, "   >S: \"%s\"\n",
                 Printable(world.Server().offered.substr(g_nTracedServer), 2000).c_str());
  }
  if (world.Client().offered.size() > g_nTracedClient) {
    std::fprintf(stderr, "   >C: \"%s\"\n",
                 Printable(world.Client().offered.substr(g_nTracedClient), 2000).c_str());
  }
  g_nTracedServer = world.Server().offered.size();
  g_nTracedClient = world.Client().offered.size();
}

void ReadOptions() {
  g_bTrace = std::getenv("DIVIVEZ_FUZZ_TRACE") != nullptr;
  const char* list = std::getenv("DIVIVEZ_FUZZ_ACCEPT");
  std::string text = list != nullptr ? list : "";
  g_accept.longHeloKeepsPipelining = text.find("long-helo") != std::string::npos;
  g_accept.spoolsIntoReadStream = text.find("read-stream-write") != std::string::npos;
  g_accept.lostLongLine = text.find("lost-long-line") != std::string::npos;
  g_accept.sameReadAfterLoss = text.find("same-read-after-loss") != std::string::npos;
  g_accept.owedRsets = text.find("owed-rsets") != std::string::npos;
}

std::string Sanitize(std::string bytes) {
  for (char& c : bytes) {
    if (c == kClientToken || c == kReplyToken) c = '\x06';
  }
  return bytes;
}

std::string FreshToken(char marker) {
  return std::string(1, marker) + std::to_string(++g_nToken) + std::string(1, marker);
}

// Calls the function for every marker-digits-marker token in bytes from *from
// on, and moves *from past the last complete one.
template <typename F>
void ForEachToken(const std::string& bytes, char marker, size_t* from, F f) {
  size_t pos = *from;
  for (;;) {
    size_t start = bytes.find(marker, pos);
    if (start == std::string::npos) {
      *from = bytes.size();
      return;
    }
    size_t end = bytes.find(marker, start + 1);
    if (end == std::string::npos) {
      *from = start;
      return;
    }
    bool digits = end > start + 1;
    for (size_t i = start + 1; i < end; ++i) digits = digits && bytes[i] >= '0' && bytes[i] <= '9';
    if (digits) {
      f(bytes.substr(start, end - start + 1));
      pos = end + 1;
    } else {
      pos = end;
    }
  }
}

void CheckMemory() {
  CWorld& world = World();
  ConnectionMap::const_iterator it = g_mapConnections.find(world.m_pClient);
  if (it == g_mapConnections.end()) Fail("the connection's session is not registered");
  const CSmtpConnection& s = *it->second;
  const size_t kServerRead = 32768;
  const size_t kLongestLine = CSmtpConnection::kMaxReplyLine + kServerRead;
  struct SBound {
    const char* name;
    size_t size, capacity, maxSize;
  };
  // At rest a partial line stays within its limit. A send that raised in the
  // middle of handling one may leave it as long as one read made it; that is
  // the bound once sends have raised (it would grow only while every send
  // keeps raising).
  const bool certain = !world.Uncertain();
  const SBound bounds[] = {
      {"m_strCommand", s.m_strCommand.size(), s.m_strCommand.capacity(),
       certain ? CSmtpConnection::kMaxPartialLine
               : CSmtpConnection::kMaxPartialLine + CSmtpConnection::kMaxHeldBytes},
      {"m_strHeld", s.m_strHeld.size(), s.m_strHeld.capacity(), CSmtpConnection::kMaxHeldBytes},
      {"m_reply", s.m_reply.PartialLine().size(), s.m_reply.PartialLine().capacity(),
       certain ? CSmtpConnection::kMaxReplyLine : kLongestLine},
      // Only a line short enough to be a reply line is held back.
      {"m_ehlo", s.m_ehlo.KeptLine().size(), s.m_ehlo.KeptLine().capacity(),
       certain ? CSmtpConnection::kMaxReplyLine : kLongestLine},
      {"m_strTail", s.m_strTail.size(), s.m_strTail.capacity(), 5},
      {"m_strInsertText", s.m_strInsertText.size(), s.m_strInsertText.capacity(), 2 * 264},
      {"m_strDataFileName", s.m_strDataFileName.size(), s.m_strDataFileName.capacity(),
       MAX_PATH + 64},
  };
  for (const SBound& bound : bounds) {
    if (bound.size > bound.maxSize) {
      Fail("session memory: %s holds %zu bytes, bound %zu", bound.name, bound.size, bound.maxSize);
    }
  }
  // Capacities: a buffer may keep what one read (or the held bytes) made it
  // grow to, and strings grow by doubling.
  const size_t commandPeak = CSmtpConnection::kMaxPartialLine + CSmtpConnection::kMaxHeldBytes;
  const size_t capacityBounds[] = {2 * commandPeak + 64,
                                   2 * CSmtpConnection::kMaxHeldBytes + 64,
                                   2 * kLongestLine + 64,
                                   2 * kLongestLine + 64,
                                   64,
                                   2 * 2 * 264 + 64,
                                   2 * (MAX_PATH + 64)};
  for (size_t i = 0; i < sizeof bounds / sizeof bounds[0]; ++i) {
    if (bounds[i].capacity > capacityBounds[i]) {
      Fail("session memory: %s has capacity %zu, bound %zu", bounds[i].name, bounds[i].capacity,
           capacityBounds[i]);
    }
  }
  size_t noops = 0;
  size_t rsets = 0;
  for (const COwed& owed : s.m_owed) {
    noops += owed.m_eKind == EOwed::kNoop ? 1 : 0;
    rsets += owed.m_eKind == EOwed::kRset ? 1 : 0;
  }
  if (s.m_owed.Noops() > CSmtpConnection::kMaxOwedNoops || noops > CSmtpConnection::kMaxOwedNoops) {
    Fail("session memory: %zu keep-alive answers owed, bound %zu", noops,
         CSmtpConnection::kMaxOwedNoops);
  }
  if (s.m_owed.Client() > CSmtpConnection::kMaxOwedClient) {
    Fail("session memory: %zu client replies owed, bound %zu", s.m_owed.Client(),
         CSmtpConnection::kMaxOwedClient);
  }
  // Every entry besides the keep-alives is a reply the client is owed (the
  // server's or the plug-in's own), bounded by kMaxOwedClient as the client is
  // held back, or the plug-in's own DATA or RSET, and what the end of one
  // message adds (its 354, its outcome).
  size_t others = s.m_owed.Size() - noops - (g_accept.owedRsets ? rsets : 0);
  if (others > CSmtpConnection::kMaxOwedClient + 8) {
    Fail(
        "session memory: %zu replies queued besides keep-alives (bound kMaxOwedClient + 8 = "
        "%zu): the queue of owed replies grows with the client's input",
        others, CSmtpConnection::kMaxOwedClient + 8);
  }
}

void CheckFiles() {
  CWorld& world = World();
  std::vector<std::string> files = world.SpoolFiles();
  if (files.size() > 1) {
    Fail("%zu spool files exist at once, first \"%s\"", files.size(), files[0].c_str());
  }
  if (!files.empty() && !world.Uncertain() && g_model.NoSpoolExpected()) {
    Fail("spool file \"%s\" exists though no message is in flight", files[0].c_str());
  }
}

void CheckTokens() {
  CWorld& world = World();
  ForEachToken(world.Server().offered, kClientToken, &g_nServerScanned,
               [&](const std::string& token) {
                 if (world.m_infectedTokens.count(token) != 0) {
                   Fail("token %s of a message the scanner called infected reached the server",
                        Printable(token).c_str());
                 }
               });
  if (world.Uncertain()) return;
  ForEachToken(world.Client().offered, kReplyToken, &g_nClientScanned,
               [&](const std::string& token) {
                 auto it = g_replyTokens.find(token);
                 if (it == g_replyTokens.end()) return;
                 EOwner owner = it->second.owner;
                 if (owner == EOwner::kNoop || owner == EOwner::kRset ||
                     (owner == EOwner::kData && it->second.is354)) {
                   Fail("the client received the server's reply %s to the %s",
                        Printable(token).c_str(), OwnerName(owner));
                 }
                 if (owner == EOwner::kUnasked && !it->second.is421) {
                   Fail("the client received the server's reply %s, which answered no command",
                        Printable(token).c_str());
                 }
               });
}

void CBodyChecker::Check(const std::string& offered, const std::vector<size_t>& starts) {
  for (;;) {
    if (!m_bInBody) {
      if (m_nNext >= starts.size()) return;
      if (starts[m_nNext] < m_nPos) {
        Fail("model: a message starts at server byte %zu, before the end of the last (%zu)",
             starts[m_nNext], m_nPos);
      }
      m_nPos = m_nBodyStart = starts[m_nNext++];
      m_bInBody = true;
      m_strWindow = "\r\n";
    }
    for (; m_nPos < offered.size(); ++m_nPos) {
      char c = offered[m_nPos];
      bool dotCrBefore =
          m_strWindow.size() >= 4 && m_strWindow.compare(m_strWindow.size() - 4, 4, "\r\n.\r") == 0;
      m_strWindow += c;
      if (m_strWindow.size() > 5) m_strWindow.erase(0, m_strWindow.size() - 5);
      if (m_strWindow == "\r\n.\r\n") break;
      size_t n = m_strWindow.size();
      // A line "." ended by CR, LF or CRLF, begun after CR, LF or CRLF: some
      // server ends the message there (CRLF "." CR waits for its next byte).
      bool dotLine =
          (dotCrBefore && c != '\n') ||
          (n >= 3 && (c == '\r' || c == '\n') && m_strWindow[n - 2] == '.' &&
           (m_strWindow[n - 3] == '\r' || m_strWindow[n - 3] == '\n') &&
           !(c == '\r' && m_strWindow[n - 3] == '\n' && n >= 4 && m_strWindow[n - 4] == '\r'));
      const char* what = nullptr;
      if (dotLine) {
        what = "an unstuffed \".\" line that a lenient server takes for the end of data";
      } else if (c == '\n' && m_strWindow[n - 2] != '\r') {
        what = "a bare LF";
      } else if (c != '\n' && m_strWindow[n - 2] == '\r') {
        what = "a bare CR";
      }
      if (what != nullptr) {
        size_t from = m_nPos > m_nBodyStart + 60 ? m_nPos - 60 : m_nBodyStart;
        Fail(
            "output invariant: the message the server was given from byte %zu holds %s at byte "
            "%zu, before its end marker\n  ...\"%s\"",
            m_nBodyStart, what, m_nPos, Printable(offered.substr(from, m_nPos + 1 - from)).c_str());
      }
    }
    if (m_nPos >= offered.size()) return;
    ++m_nPos;  // past the end marker
    m_bInBody = false;
  }
}

bool IsInGroupVerb(const std::string& head) {
  size_t end = head.find_first_of(" \t\r\n");
  std::string verb = head.substr(0, end);
  for (char& c : verb) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  static const char* const kInGroup[] = {"MAIL", "RCPT", "RSET", "SEND", "SOML", "SAML"};
  for (const char* word : kInGroup) {
    if (verb == word) return true;
  }
  return false;
}

bool HeadIs(const std::string& head, const char* verb, bool exact) {
  size_t n = std::strlen(verb);
  if (head.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = head[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != verb[i]) return false;
  }
  return !exact || head.size() == n || head[n] == ' ' || head[n] == '\t' || head[n] == '\r' ||
         head[n] == '\n';
}

void CStrictServer::Follow(const std::vector<SLogEntry>& log, const std::string& offered) {
  for (const SLogEntry& entry : log) {
    if (entry.kind != ELogKind::kRecv || entry.side != ESide::kServer) continue;
    Offered(offered, entry.serverSentBefore);
    Read(entry.bytes);
  }
  Offered(offered, offered.size());
}

void CStrictServer::Offered(const std::string& offered, size_t upTo) {
  for (; m_nPos < upTo && m_nPos < offered.size(); ++m_nPos) {
    char c = offered[m_nPos];
    if (m_bInBody) {
      m_strWindow += c;
      if (m_strWindow.size() > 5) m_strWindow.erase(0, m_strWindow.size() - 5);
      if (m_strWindow == "\r\n.\r\n") {
        m_bInBody = false;
        // The end of data is answered like a command inside a group.
        Arrived(SCommand{false, false, false, false});
      }
      continue;
    }
    if (!m_bInLine) {
      m_bInLine = true;
      m_nLineStart = m_nPos;
      m_strHead.clear();
      bool groupEnd = std::any_of(m_pending.begin(), m_pending.end(),
                                  [](const SCommand& command) { return command.endsGroup; });
      if (!m_pending.empty() && (!m_bPipelining || groupEnd)) {
        size_t from = m_nPos > 120 ? m_nPos - 120 : 0;
        Fail(
            "command synchronisation: a command reached the server at byte %zu while it owed %zu "
            "repl%s (%s)\n  after: \"...%s\"\n  command: \"%s\"",
            m_nPos, m_pending.size(), m_pending.size() == 1 ? "y" : "ies",
            !m_bPipelining ? "no PIPELINING advertised in answer to EHLO"
                           : "one of them to a command that ends a group",
            Printable(offered.substr(from, m_nPos - from)).c_str(),
            Printable(offered.substr(m_nPos, 120)).c_str());
      }
    }
    if (m_strHead.size() < 16) m_strHead += c;
    if (c == '\n') CommandComplete();
  }
}

void CStrictServer::CommandComplete() {
  m_bInLine = false;
  // Accepted fault: a HELO as long as one relayed as it grows is taken to
  // leave PIPELINING on.
  if (m_accept.longHeloKeepsPipelining &&
      m_nPos + 1 - m_nLineStart > CSmtpConnection::kMaxPartialLine &&
      HeadIs(m_strHead, "HELO", true)) {
    m_strHead = "X" + m_strHead;
  }
  Arrived(SCommand{!IsInGroupVerb(m_strHead), HeadIs(m_strHead, "DATA", false),
                   HeadIs(m_strHead, "EHLO", true), HeadIs(m_strHead, "HELO", true)});
}

void CStrictServer::Arrived(const SCommand& command) {
  // A reply that came early answers it: a whole one first, then one being
  // read; otherwise it waits for its reply.
  if (!m_credits.empty()) {
    Answer(command, m_credits.front());
    m_credits.pop_front();
  } else if (m_bInReply && !m_bAnswers) {
    m_bAnswers = true;
    m_replyTo = command;
  } else {
    m_pending.push_back(command);
  }
}

void CStrictServer::Read(const std::string& bytes) {
  for (char c : bytes) {
    if (!m_bInReply) {
      // A reply begins: the command it answers has its answer.
      m_bInReply = true;
      m_bAnswers = !m_pending.empty();
      if (m_bAnswers) {
        m_replyTo = m_pending.front();
        m_pending.pop_front();
      }
      m_reply = SReply{-1, false};
      m_nReplyLines = 0;
      m_strLine.clear();
    }
    if (m_strLine.size() < 64) m_strLine += c;
    if (c != '\n') continue;
    if (++m_nReplyLines == 1) {
      m_reply.code = m_strLine.size() >= 3 &&
                             std::isdigit(static_cast<unsigned char>(m_strLine[0])) &&
                             std::isdigit(static_cast<unsigned char>(m_strLine[1])) &&
                             std::isdigit(static_cast<unsigned char>(m_strLine[2]))
                         ? std::atoi(m_strLine.substr(0, 3).c_str())
                         : -1;
    } else if (HeadIs(m_strLine.size() > 4 ? m_strLine.substr(4) : std::string(), "PIPELINING",
                      true)) {
      m_reply.pipelining = true;
    }
    // An EHLO reply counts line by line, as the server sends it: what it
    // advertised holds from the line that says so.
    if (m_bAnswers && m_replyTo.ehlo && m_reply.code == 250) m_bPipelining = m_reply.pipelining;
    bool last = !(m_strLine.size() >= 4 && m_strLine[3] == '-');
    m_strLine.clear();
    if (!last) continue;
    m_bInReply = false;
    if (m_bAnswers) {
      Answer(m_replyTo, m_reply);
    } else if (!m_pending.empty()) {
      Answer(m_pending.front(), m_reply);
      m_pending.pop_front();
    } else {
      m_credits.push_back(m_reply);
    }
  }
}

void CStrictServer::Answer(const SCommand& command, const SReply& reply) {
  // What the server takes after EHLO is what its last successful EHLO reply
  // said; a successful HELO ends ESMTP.
  if (command.ehlo && reply.code == 250) m_bPipelining = reply.pipelining;
  if (command.helo && reply.code >= 200 && reply.code < 300) m_bPipelining = false;
  if (command.data && reply.code == 354) {
    m_bInBody = true;
    m_strWindow = "\r\n";  // the DATA line's CRLF begins the end marker
  }
}

void Check() {
  CWorld& world = World();
  if (!world.Uncertain()) {
    // The strict server first: a command sent out of turn is named as such,
    // not only as a difference from the model.
    g_strict.Follow(world.m_log, world.Server().offered);
    g_model.Replay(world.m_log, world.Server().offered);
    g_model.CheckStreams(world.Server().offered, world.Client().offered);
  }
  world.m_log.clear();
  if (!world.Uncertain()) g_bodies.Check(world.Server().offered, g_model.BodyStarts());
  CheckTokens();
  CheckMemory();
  CheckFiles();
}

void StartConnection(int timeoutSeconds, bool callback, int debugLevel, bool relayUnspooled,
                     int callbackVersion = 1, bool trusted = false) {
  g_nTracedServer = 0;
  g_nTracedClient = 0;
  World().StartConnection(timeoutSeconds, callback, debugLevel, relayUnspooled, callbackVersion,
                          trusted);
  World().m_store.m_bAcceptWriteToReadStream = g_accept.spoolsIntoReadStream;
  g_model.Start(callback, timeoutSeconds, relayUnspooled, callbackVersion, trusted, g_accept);
  g_strict.Reset(g_accept);
  g_bodies.Reset();
  g_replyTokens.clear();
  g_nClientScanned = 0;
  g_nServerScanned = 0;
  Check();
}

void EndConnection() {
  CWorld& world = World();
  CHostSocket* client = world.m_pClient;
  world.EndConnection();
  if (g_mapConnections.find(client) != g_mapConnections.end()) {
    Fail("the session outlived OnEndConnection");
  }
  if (world.m_store.OpenStreams() != 0) {
    Fail("%zu spool streams still open after OnEndConnection", world.m_store.OpenStreams());
  }
  std::vector<std::string> files = world.SpoolFiles();
  if (!files.empty()) Fail("spool file \"%s\" left after OnEndConnection", files[0].c_str());
  world.m_store.RemoveLeftBehind();
}

void PushClient(const std::string& bytes) {
  if (g_bTrace) std::fprintf(stderr, " C: \"%s\"", Printable(bytes, 2000).c_str());
  g_nBytesPushed += bytes.size();
  if (!bytes.empty()) World().Client().inbound.push_back(bytes);
}

void PushServer(const std::string& bytes) {
  if (g_bTrace) std::fprintf(stderr, " S: \"%s\"", Printable(bytes, 2000).c_str());
  g_nBytesPushed += bytes.size();
  if (!bytes.empty()) World().Server().inbound.push_back(bytes);
}

// The host calls the client side again after a server-side call while the
// client has bytes waiting (level-triggered readiness).
void ServerTurn() {
  CWorld& world = World();
  world.CallServer();
  if (world.Client().Pending() > 0) world.CallClient();
}

std::string Repeat(const std::string& pattern, size_t total) {
  std::string bytes;
  if (pattern.empty()) return bytes;
  bytes.reserve(total);
  while (bytes.size() < total) bytes += pattern;
  bytes.resize(total);
  return bytes;
}

std::string EhloReply(const std::string& token, int variant) {
  switch (variant & 3) {
    case 0:
      return "250-mx.example " + token +
             "\r\n250-PIPELINING\r\n250-CHUNKING\r\n250-XCLIENT ADDR NAME\r\n250-8BITMIME\r\n"
             "250-STARTTLS\r\n250 BINARYMIME\r\n";
    case 1:
      return "250-mx.example " + token + "\r\n250-chunking\r\n250-SIZE 1000\r\n250 HELP\r\n";
    case 2:
      return "250 mx.example " + token + "\r\n";
    default:
      return "250-mx.example " + token + "\r\n250-XFORWARD NAME ADDR\r\n250 STARTTLS\r\n";
  }
}

void AutoReply(uint8_t b) {
  CWorld& world = World();
  size_t count = static_cast<size_t>(b & 3) + 1;
  bool multi = (b & 4) != 0;
  bool negative = (b & 8) != 0;
  bool split = (b & 16) != 0;
  // Tokens are attributed only when these replies start a reply of their own
  // and no server bytes wait unread before them.
  bool attributable = g_model.AtReplyBoundary() && world.Server().inbound.empty();
  std::string replies;
  // The reply that answers nothing follows the last owed one; it is known
  // to answer nothing only if none of these starts a delivery (which owes a
  // reply of its own).
  bool unasked = (b & 128) != 0 && count >= g_model.OwedCount();
  bool unaskedAttributable = attributable;
  for (size_t i = 0; i < count && i < g_model.OwedCount(); ++i) {
    EOwner owner = g_model.OwedAt(i);
    if (owner == EOwner::kData && !negative) unaskedAttributable = false;
    std::string token = FreshToken(kReplyToken);
    std::string reply;
    switch (owner) {
      case EOwner::kClient:
        reply = negative ? "550 5.0.0 " + token + " no\r\n"
                : multi  ? "250-" + token + " first\r\n250 last\r\n"
                         : "250 " + token + " ok\r\n";
        break;
      case EOwner::kClientEhlo:
        reply = negative ? "502 " + token + " no EHLO\r\n" : EhloReply(token, b >> 5);
        break;
      case EOwner::kClientData:
      case EOwner::kData:
        reply = negative ? "554 " + token + " no\r\n"
                : multi  ? "354-" + token + "\r\n354 go ahead\r\n"
                         : "354 " + token + " go ahead\r\n";
        break;
      case EOwner::kNoop:
      case EOwner::kRset:
        reply = negative ? "500 " + token + "\r\n"
                : multi  ? "250-" + token + "\r\n250 ok\r\n"
                         : "250 " + token + " ok\r\n";
        break;
      case EOwner::kUnasked:
        break;
    }
    if (attributable) {
      g_replyTokens[token] = SReplyToken{owner, reply.compare(0, 3, "354") == 0, false};
    }
    replies += reply;
  }
  std::string unaskedToken;
  if (unasked) {
    unaskedToken = FreshToken(kReplyToken);
    replies += negative ? "421 " + unaskedToken + " closing\r\n"
               : multi  ? "354 " + unaskedToken + " go ahead\r\n"
                        : "250 " + unaskedToken + " surprise\r\n";
  }
  if (replies.empty()) return;
  if (split) {
    size_t pos = 0;
    while (pos < replies.size()) {
      size_t end = replies.find('\n', pos);
      end = end == std::string::npos ? replies.size() : end + 1;
      PushServer(replies.substr(pos, end - pos));
      pos = end;
    }
  } else {
    PushServer(replies);
  }
  ServerTurn();
  // Read later (a read fault), it would answer whatever is owed by then.
  if (unasked && unaskedAttributable && world.Server().inbound.empty()) {
    g_replyTokens[unaskedToken] = SReplyToken{EOwner::kUnasked, false, negative};
  }
}

void Message(uint8_t b) {
  std::string token = FreshToken(kClientToken);
  std::string lines[] = {
      "MAIL FROM:<a@b.example>\r\n",
      "RCPT TO:<c@d.example>\r\n",
      (b & 1) ? "data\r\n" : "DATA\r\n",
      (b & 2) ? "" : "Subject: fuzz\r\nX-Fuzz: 1\r\n\r\n",
      "body " + token + "\r\n",
      (b & 4) ? "..dot-stuffed\r\n" : "",
      ".\r\n",
      (b & 8) ? "QUIT\r\n" : "",
  };
  if (b & 16) {
    for (const std::string& line : lines) PushClient(line);
  } else {
    std::string all;
    for (const std::string& line : lines) all += line;
    PushClient(all);
  }
  World().CallClient();
}

void SocketFault(uint8_t b) {
  CWorld& world = World();
  SFakeEndpoint& endpoint = (b & 1) ? world.Server() : world.Client();
  CFaultTrigger& trigger = (b & 2) ? endpoint.sendFault : endpoint.receiveFault;
  trigger.Once(((b >> 3) & 3) + 1, (b & 4) ? EFault::kThrow : EFault::kFail);
}

void SpoolFault(uint8_t b) {
  CFaultySpoolStore& store = World().m_store;
  int nth = ((b >> 3) & 3) + 1;
  switch ((b & 7) % 7) {
    case 0:
      store.m_create.Once(1);
      break;
    case 1:
      store.m_write.Once(nth, EFault::kFail);
      break;
    case 2:
      store.m_write.Once(nth, EFault::kShort);
      break;
    case 3:
      store.m_close.Once(1);
      break;
    case 4:
      store.m_openRead.Once(1);
      break;
    case 5:
      store.m_read.Once(nth);
      break;
    default:
      store.m_delete.Once(1);
      break;
  }
}

void RunEvent(CInput& input) {
  CWorld& world = World();
  int op = input.Byte() % kOpCount;
  if (g_bTrace) {
    static const char* const kNames[] = {"CLIENT",    "SERVER",     "AUTO",        "VERDICT",
                                         "KEEPALIVE", "THROW",      "SOCKFAULT",   "TICK",
                                         "RECONNECT", "SPOOLFAULT", "REPEAT",      "POLL",
                                         "TOKEN",     "MESSAGE",    "SERVERREPEAT"};
    std::fprintf(stderr, "%s", kNames[op]);
  }
  switch (op) {
    case kOpClient:
      PushClient(Sanitize(input.Data()));
      world.CallClient();
      break;
    case kOpServer:
      PushServer(Sanitize(input.Data()));
      ServerTurn();
      break;
    case kOpAuto:
      AutoReply(input.Byte());
      break;
    case kOpVerdict: {
      static const int32_t kResults[] = {0, 1, -5, INT32_MAX};
      SVerdict& verdict = world.m_scanner.Next();
      const uint8_t b = input.Byte();
      verdict.nResult = kResults[b & 3];
      // Under callback version 2, a rejected message (other inputs keep
      // their meaning).
      if ((b & 4) != 0 && world.m_nCallbackVersion >= 2) verdict.nResult = kScanResultReject;
      verdict.strText = input.Data();
      break;
    }
    case kOpKeepAlive:
      world.m_scanner.Next().nKeepAlives = input.Byte() & 7;
      break;
    case kOpThrow:
      world.m_scanner.Next().bThrow = true;
      break;
    case kOpSocketFault: {
      uint8_t b = input.Byte();
      if (g_bTrace) std::fprintf(stderr, " 0x%02X", b);
      SocketFault(b);
      break;
    }
    case kOpTick:
      CFakeClock::Advance(input.U16());
      break;
    case kOpReconnect: {
      uint8_t b = input.Byte();
      EndConnection();
      StartConnection(b & 7, (b & 8) == 0, (b & 16) ? 0 : 3, (b & 32) != 0, (b & 64) ? 2 : 1,
                      (b & 128) != 0);
      break;
    }
    case kOpSpoolFault: {
      uint8_t b = input.Byte();
      if (g_bTrace) std::fprintf(stderr, " 0x%02X", b);
      SpoolFault(b);
      break;
    }
    case kOpRepeat: {
      size_t total = 2 * static_cast<size_t>(input.U16());
      PushClient(Repeat(Sanitize(input.Data()), total));
      world.CallClient();
      break;
    }
    case kOpPoll:
      if (input.Byte() & 1) {
        world.CallClient();
      } else {
        ServerTurn();
      }
      break;
    case kOpToken:
      PushClient(FreshToken(kClientToken));
      world.CallClient();
      break;
    case kOpMessage:
      Message(input.Byte());
      break;
    case kOpServerRepeat: {
      size_t total = 2 * static_cast<size_t>(input.U16());
      PushServer(Repeat(Sanitize(input.Data()), total));
      ServerTurn();
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool s_bInitialised = false;
  if (!s_bInitialised) {
    s_bInitialised = true;
    ReadOptions();
    World().Init();
  }
  CInput input(data, size);
  g_nBytesPushed = 0;
  g_nToken = 0;
  StartConnection(1, true, 3, false);
  for (size_t events = 0; !input.Empty() && events < kMaxEvents; ++events) {
    if (g_nBytesPushed > kMaxBytesPerInput) break;
    RunEvent(input);
    TraceEvent("");
    Check();
  }
  EndConnection();
  return 0;
}
