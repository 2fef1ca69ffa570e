// libFuzzer target: the client leg as the host runs it. Arbitrary client
// bytes go through the host's socket service (PluginBridge, with the
// STARTTLS gate of client_starttls.cpp in front of the plug-in when the
// route offers TLS) and the plug-in itself (divivez_core), in one process,
// to a model server that reads what it gets as a lenient server does
// (Postfix: lines end at LF, a command's first word ends at any white space
// or control byte) and checks every line against what the client sent.
//
// How it runs a connection: the plug-in's exports and the host's bridge are
// the real ones; the pump is not. Pump::Step needs a real upstream
// connection and runs a real TLS handshake, so this file drives the same
// calls the pump's rounds make (ClientTurn, ServerTurn and StartTlsRound in
// pump.cpp): NewCall on both streams, the plug-in's request call, the gate's
// held bytes dropped once it wants the handshake (GateDropHeld), then
// GateHandshakeDone. The handshake itself is a switch: from then on what the
// client sends and receives counts as inside TLS. Both legs are socket
// pairs; no thread, no time-out, no crypto: with the sanitizers it runs
// 500 to 1000 inputs a second on one core.
//
// Between the host's socket service and the plug-in sits a recorder (the
// plug-in is given it through PluginApi::SetISocket): it sees every byte
// the plug-in reads from the client and sends to the server, and the moment
// the gate hands out its 220 to STARTTLS.
//
// Input: two setting bytes, then operations.
//   byte 0: b & 3  client TLS: 0 none (no gate), 1 or 3 STARTTLS offered,
//                  2 implicit TLS (a TLS listener)
//           b & 4  --require-tls (with STARTTLS)
//           b & 8  the client is inside --trust-forwarding
//           b & 16 --allow-plaintext-auth
//           b & 32 the client connects from loopback (when not trusted)
//   byte 1: the model server: b & 1 PIPELINING, b & 2 CHUNKING, b & 4
//           AUTH in its EHLO reply; b & 8 MAIL answered 451, b & 16 RCPT
//           answered 550; b >> 5 (n > 0): it closes the connection after
//           3 * n commands
//   then the client's bytes, in which 0xFF and the byte after it are an
//   operation (0xFF 0xFF: a byte 0xFF of the client's). Each operation
//   first sends the client's bytes since the last one, as one chunk; then,
//   by the byte's value modulo 8:
//     0  nothing runs
//     1  the host runs until nothing moves (so does 5)
//     2  a client turn (the plug-in's request call for the client)
//     3  a server turn
//     4  the client's TLS handshake, if the gate asked for it; bytes the
//        client sent after the 220 that the host did not read make it fail
//        (a real engine would read them as records)
//     6  a client turn, then a server turn
//     7  the client closes its sending side; the host runs
//   The client's bytes carry no lengths, so that a mutation inside a line
//   leaves the operations after it as they were.
//   At the end the host runs, the client closes, the host runs and the
//   connection ends as the pump ends it.
//
// The model server answers every unit (command line, message, AUTH answer,
// BDAT chunk) with a reply that carries its number ("<#7>"), greets with
// <#0>, answers DATA 354, AUTH without an initial response 334, EHLO with
// a list (PIPELINING etc. as byte 1 says), QUIT 221 and then closes.
//
// Invariants, checked as the bytes arrive (an abort with "invariant
// violated: ..." names the one broken):
//   - under --require-tls nothing but EHLO, HELO, NOOP, RSET, QUIT (or an
//     empty line) reaches the server before TLS;
//   - nothing received before the 220 to STARTTLS causes a server line or
//     a client reply after it: every server line after the 220 is a line
//     the plug-in read from the client inside TLS (in order), or the
//     plug-in's DATA after a scan made inside TLS; the client hears nothing
//     after the 220 until it sends inside TLS, never more replies than
//     lines it sent there (a 421 aside), and no reply inside TLS answers a
//     server line from before the 220;
//   - from a client outside --trust-forwarding no server line's first word
//     (split at any white space or control byte) is XCLIENT, XFORWARD, BDAT
//     or STARTTLS;
//   - no message text reaches the server unscanned: every DATA the server
//     takes is the plug-in's after a scan, "DATA" exactly, and the message
//     that follows is the scanned file; every reply the server gives that
//     reaches the client answers a line the client sent, in order (the
//     numbers only grow, and none answers the plug-in's own DATA).
//
// Its words are in client_leg.dict (the operations among them), its seeds in
// corpus/client_leg/, the reproducers of what it found in
// regressions/client_leg/ (run each with -runs=1).
//
// DIVIVEZ_FUZZ_TRACE=1 prints the operations and both legs' bytes.
// DIVIVEZ_CLIENT_LEG_MASK=name[,name] skips invariants while a known fault
// is being fixed (names: require-tls, after-starttls, forwarding,
// unscanned, reply-order); a run that masks one says so at start-up.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "boundary/plugin_exports.h"
#include "host/base/log.h"
#include "host/proxy/client_starttls.h"
#include "host/proxy/connection.h"
#include "host/proxy/context.h"
#include "host/proxy/plugin_bridge.h"
#include "host/proxy/route.h"
#include "host/scan/scanner.h"

namespace {

int g_reportFd = 2;
bool g_trace = false;
bool g_mask[5] = {};
enum Invariant { kRequireTls, kAfterStartTls, kForwarding, kUnscanned, kReplyOrder };
const char* const kInvariantNames[] = {"require-tls", "after-starttls", "forwarding", "unscanned",
                                       "reply-order"};

std::string Printable(const char* data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c < 0x20 || c >= 0x7f || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  return text;
}
std::string Printable(const std::string& s) { return Printable(s.data(), s.size()); }

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  const size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof line - 1);
  if (write(g_reportFd, line, length) < 0) return;
}

void Trace(const char* what, const std::string& bytes) {
  if (g_trace) Say("  %s: %s\n", what, Printable(bytes).c_str());
}

[[noreturn]] void Violated(Invariant which, const std::string& what) {
  Say("invariant violated: %s: %s\n", kInvariantNames[which], what.c_str());
  std::abort();
}

bool Masked(Invariant which) { return g_mask[which]; }

// A byte that ends a command's first word for a lenient server: white space
// (VT and FF included) and every control byte.
bool IsWordEnd(unsigned char c) { return c <= 0x20 || c == 0x7f; }

// The first word of a line as Postfix takes it: leading separators skipped,
// ended by any separator, upper-cased.
std::string FirstWord(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && IsWordEnd(static_cast<unsigned char>(line[i]))) ++i;
  std::string word;
  while (i < line.size() && !IsWordEnd(static_cast<unsigned char>(line[i]))) {
    char c = line[i++];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    word.push_back(c);
  }
  return word;
}

// The scanner: every message is clean; what it scanned is kept for the
// model server to compare with what it receives.
class RecordingScanner final : public IScanner {
 public:
  ScanResult Scan(const std::string& path, ScanPacer&) override {
    std::ifstream in(path, std::ios::binary);
    scanned.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    scannedInsideTls.push_back(insideTls);
    Trace("scan", scanned.back());
    ScanResult result;
    result.verdict = Verdict::kClean;
    return result;
  }
  std::string Describe() const override { return "recording scanner"; }
  bool QuickFor(uint64_t) const override { return true; }

  void Reset() {
    scanned.clear();
    scannedInsideTls.clear();
    insideTls = false;
  }

  std::vector<std::string> scanned;
  std::vector<bool> scannedInsideTls;
  bool insideTls = false;
};

struct Settings {
  bool gate = false;
  bool implicitTls = false;
  bool requireTls = false;
  bool trusted = false;
  bool plaintextAuth = false;
  bool loopback = false;
  // The model server.
  bool pipelining = false;
  bool chunking = false;
  bool auth = false;
  bool refuseMail = false;
  bool refuseRcpt = false;
  int closeAfter = 0;  // commands; 0: never
};

class Harness;

// Between the host's socket service and the plug-in: records and forwards.
class Recorder final : public ISocket {
 public:
  void Reserved() override {}
  int Receive(SOCKET socket, char* buffer, int size) override;
  BOOL Send(SOCKET socket, const char* data, int length) override;

  ISocket* host = nullptr;
  Harness* harness = nullptr;
};

Recorder g_recorder;
RecordingScanner g_scanner;
Logger g_log;
std::unique_ptr<ProxyContext> g_context;
std::unique_ptr<PluginBridge> g_bridge;
// One route per combination of --require-tls and --allow-plaintext-auth.
Route g_routes[4];
int g_nextId = 1;
std::string g_spoolDirectory;

void RecordSetISocket(ISocket* service) {
  g_recorder.host = service;
  SetISocket(service != nullptr ? &g_recorder : nullptr);
}

bool Readable(int fd) {
  pollfd item{fd, POLLIN, 0};
  return poll(&item, 1, 0) > 0 && (item.revents & (POLLIN | POLLHUP)) != 0;
}

class Harness {
 public:
  explicit Harness(const Settings& settings) : m_settings(settings) {}
  ~Harness() { Close(); }

  bool Start();
  void Send(const uint8_t* data, size_t length);
  void ClientTurn();
  void ServerTurn();
  void Handshake();
  void Settle();
  void ClientCloses();
  void Finish();

  // From the recorder.
  void PluginReceived(SOCKET socket, const char* data, int n);
  void PluginSent(SOCKET socket, int n, bool ok);

 private:
  struct Unit {
    enum Kind { kGreeting, kCommand, kOwnData, kMessage, kAuthAnswer, kChunk } kind;
    size_t start;  // its first byte in the server's input
    std::string word;
  };

  void AfterCall();
  void Saw220();
  // What may still move: unread bytes on both legs, held bytes, progress.
  size_t Fingerprint() const;
  void StartTlsRound();
  void End(const char* why);
  void Close();
  // The model server.
  void ServerReads();
  void ServerLine(const std::string& line, size_t start);
  void ServerMessageLine(const std::string& line, bool* ended);
  void Reply(const std::string& text);
  void CheckAfter220(const std::string& line, size_t start, bool ownData);
  // The client.
  void ClientReads();
  void ClientReply(const std::vector<std::string>& lines);

  const Settings m_settings;
  std::unique_ptr<Connection> m_c;
  int m_clientFd = -1;  // the client's end
  int m_serverFd = -1;  // the model server's end
  bool m_begun = false;
  bool m_ended = false;
  bool m_clientDrained = false;  // the host saw the client's end
  bool m_clientClosed = false;   // the client closed its sending side
  bool m_handshakePending = false;
  bool m_insideTls = false;
  bool m_told220 = false;
  bool m_clientDeaf = false;  // the connection ended in the handshake

  // The plug-in's view.
  size_t m_serverBytesSent = 0;     // the plug-in's bytes to the server
  size_t m_serverAt220 = SIZE_MAX;  // of them, before the 220
  size_t m_serverAtTls = SIZE_MAX;  // before the switch
  std::string m_insideRead;         // what it read from the client inside TLS
  size_t m_insideMatched = 0;       // lines of it the server got, up to here

  // The model server.
  std::string m_serverIn;
  size_t m_serverInBase = 0;  // stream offset of m_serverIn[0]
  enum class Mode { kCommand, kData, kAuthAnswer, kChunk, kClosed } m_mode = Mode::kCommand;
  uint64_t m_chunkLeft = 0;
  std::vector<Unit> m_units;
  int m_commands = 0;
  size_t m_ownData = 0;             // the plug-in's DATAs taken
  size_t m_ownDataInsideTls = 0;    // of them, inside TLS
  std::string m_message;            // the message being received
  size_t m_messageScan = SIZE_MAX;  // the scan it must equal

  // The client.
  std::string m_clientIn;
  std::vector<std::string> m_replyLines;
  long m_lastTag = -1;
  size_t m_repliesAfter220 = 0;
  size_t m_linesSentInside = 0;  // LFs the client sent inside TLS
  bool m_clientPast220 = false;  // the client has read the 220 to STARTTLS
};

int Recorder::Receive(SOCKET socket, char* buffer, int size) {
  const int n = host->Receive(socket, buffer, size);
  if (harness != nullptr) harness->PluginReceived(socket, buffer, n);
  return n;
}

BOOL Recorder::Send(SOCKET socket, const char* data, int length) {
  const BOOL ok = host->Send(socket, data, length);
  if (harness != nullptr) harness->PluginSent(socket, length, ok != FALSE);
  return ok;
}

bool Harness::Start() {
  int client[2];
  int server[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, client) != 0) return false;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, server) != 0) {
    close(client[0]);
    close(client[1]);
    return false;
  }
  for (int fd : {client[0], client[1], server[0], server[1]}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  m_clientFd = client[0];
  m_serverFd = server[0];
  m_c = std::make_unique<Connection>(nullptr, g_context.get());
  Connection* c = m_c.get();
  c->id = g_nextId++;
  c->route = &g_routes[(m_settings.requireTls ? 1 : 0) + (m_settings.plaintextAuth ? 2 : 0)];
  c->clientIp = m_settings.trusted    ? "192.0.2.10"
                : m_settings.loopback ? "127.0.0.1"
                                      : "198.51.100.7";
  c->peer = c->clientIp;
  c->clientTls.implicit = m_settings.implicitTls;
  c->clientStream.Attach(client[1]);
  c->serverStream.Attach(server[1]);
  m_insideTls = m_settings.implicitTls;
  g_scanner.Reset();
  g_scanner.insideTls = m_insideTls;
  if (m_insideTls) m_serverAt220 = m_serverAtTls = 0;

  // As Pump::Begin does.
  BindConnectionThread(c);
  g_recorder.harness = this;
  c->client.m_nHostWord0 = c->id;
  c->client.m_hSocket = static_cast<SOCKET>(c->clientStream.Socket());
  c->server.m_nHostWord0 = c->id;
  c->server.m_hSocket = static_cast<SOCKET>(c->serverStream.Socket());
  g_context->plugin.OnNewConnection(c->id, &c->client);
  m_begun = true;
  if (m_settings.gate) {
    c->clientTls.startTls.gate = std::make_unique<ClientTlsGate>(GateSettings(*c));
  }
  m_units.push_back(Unit{Unit::kGreeting, 0, ""});
  Reply("220 model.example ESMTP <#0>\r\n");
  return true;
}

void Harness::Close() {
  if (m_begun && !m_ended) End("input ended");
  g_recorder.harness = nullptr;
  BindConnectionThread(nullptr);
  if (m_c) {
    m_c->clientStream.Close();
    m_c->serverStream.Close();
    m_c.reset();
  }
  if (m_clientFd >= 0) close(m_clientFd);
  if (m_serverFd >= 0) close(m_serverFd);
  m_clientFd = m_serverFd = -1;
}

void Harness::Send(const uint8_t* data, size_t length) {
  if (m_ended || m_clientClosed || length == 0) return;
  const std::string bytes(reinterpret_cast<const char*>(data), length);
  Trace(m_insideTls ? "client (TLS)" : "client", bytes);
  if (m_insideTls) {
    m_linesSentInside += static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  }
  size_t sent = 0;
  while (sent < length) {
    const ssize_t n = send(m_clientFd, data + sent, length - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the socket pair holds far more than an input
    sent += static_cast<size_t>(n);
  }
}

void Harness::ClientTurn() {
  if (m_ended || m_clientDrained || m_handshakePending) return;
  Connection* c = m_c.get();
  c->clientStream.NewCall();
  c->serverStream.NewCall();
  const int n = g_context->plugin.OnRequestFromApplication(&c->client, &c->server);
  if (g_trace) Say("  [client turn: %d]\n", n);
  AfterCall();
  if (!c->cut.empty()) return End(c->cut.c_str());
  if (n <= 0 && !GateHolds(*c)) {
    const int peeked = c->clientStream.Peek();
    if (peeked == 0 || peeked == kNetError) m_clientDrained = true;
  }
  StartTlsRound();
}

void Harness::ServerTurn() {
  if (m_ended) return;
  Connection* c = m_c.get();
  c->clientStream.NewCall();
  c->serverStream.NewCall();
  const int n = g_context->plugin.OnRequestFromServer(&c->client, &c->server);
  if (g_trace) Say("  [server turn: %d]\n", n);
  AfterCall();
  if (!c->cut.empty()) return End(c->cut.c_str());
  if (n <= 0) {
    const int peeked = c->serverStream.Peek();
    if (peeked == 0 || peeked == kNetError) return End("server closed");
  }
  StartTlsRound();
}

// As Pump::StartTlsRound, with the handshake left to the client.
void Harness::StartTlsRound() {
  if (m_ended) return;
  ClientTlsGate* gate = m_c->clientTls.startTls.gate.get();
  if (gate == nullptr || !gate->WantsHandshake() || m_handshakePending || m_insideTls) return;
  GateDropHeld(m_c.get());
  m_handshakePending = true;
}

void Harness::Handshake() {
  if (m_ended || !m_handshakePending) return;
  if (Readable(m_c->clientStream.Socket())) {
    // Plain text where the engine expects a record: the handshake fails,
    // and a client in the middle of one can be told nothing.
    m_clientDeaf = true;
    m_c->dialogue.MarkToldClosing();
    return End("TLS handshake with the client failed");
  }
  if (g_trace) Say("  [handshake]\n");
  m_handshakePending = false;
  m_insideTls = true;
  g_scanner.insideTls = true;
  m_serverAtTls = m_serverBytesSent;
  GateHandshakeDone(m_c.get());
  AfterCall();
}

void Harness::AfterCall() {
  ServerReads();
  ClientReads();
}

size_t Unread(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

size_t Harness::Fingerprint() const {
  const Connection* c = m_c.get();
  return Unread(c->clientStream.Socket()) * 7 + Unread(c->serverStream.Socket()) * 11 +
         c->clientTls.startTls.held.size() * 13 + m_serverBytesSent * 17 + m_units.size() * 19 +
         m_insideRead.size() * 23 + static_cast<size_t>(m_clientDrained);
}

void Harness::Settle() {
  for (int round = 0; round < 64 && !m_ended; ++round) {
    const size_t before = Fingerprint();
    if (Readable(m_c->serverStream.Socket())) ServerTurn();
    if (m_ended) return;
    if (!m_clientDrained && !m_handshakePending &&
        (Readable(m_c->clientStream.Socket()) || GateHolds(*m_c))) {
      ClientTurn();
    }
    if (m_ended || Fingerprint() == before) return;
  }
}

void Harness::ClientCloses() {
  if (m_ended || m_clientClosed) return;
  m_clientClosed = true;
  shutdown(m_clientFd, SHUT_WR);
  Settle();
}

void Harness::Finish() {
  Settle();
  ClientCloses();
  Settle();
  if (!m_ended) End(m_clientDrained ? "client closed" : "input ended");
}

// As Pump::End: the plug-in told, a client owed a reply hears 421.
void Harness::End(const char* why) {
  if (m_ended) return;
  m_ended = true;
  if (g_trace) Say("  [end: %s]\n", why);
  Connection* c = m_c.get();
  g_context->plugin.OnEndConnection(&c->client);
  if (!c->dialogue.ToldClosing() && (c->dialogue.Owed() || !m_clientDrained)) {
    c->clientStream.SendAll(kServerClosedReply, sizeof kServerClosedReply - 1, 1000, nullptr);
    c->dialogue.MarkToldClosing();
  }
  ServerReads();
  ClientReads();
}

void Harness::PluginReceived(SOCKET socket, const char* data, int n) {
  if (m_c == nullptr) return;
  if (n > 0 && m_insideTls && static_cast<NetSocket>(socket) == m_c->clientStream.Socket()) {
    m_insideRead.append(data, static_cast<size_t>(n));
  }
  Saw220();
}

void Harness::PluginSent(SOCKET socket, int n, bool ok) {
  if (m_c == nullptr) return;
  if (static_cast<NetSocket>(socket) == m_c->serverStream.Socket() && ok && n > 0) {
    m_serverBytesSent += static_cast<size_t>(n);
  }
  Saw220();
}

// The gate's 220 to STARTTLS goes out inside a read or a send of the
// plug-in: what the server got up to here was sent before it.
void Harness::Saw220() {
  ClientTlsGate* gate = m_c->clientTls.startTls.gate.get();
  if (m_told220 || gate == nullptr || !gate->WantsHandshake()) return;
  m_told220 = true;
  m_serverAt220 = m_serverBytesSent;
  ClientReads();
}

// --- the model server -------------------------------------------------

void Harness::Reply(const std::string& text) {
  if (m_mode == Mode::kClosed) return;
  Trace("server says", text);
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(m_serverFd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void Harness::ServerReads() {
  char buffer[8192];
  for (;;) {
    const ssize_t n = recv(m_serverFd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (m_mode == Mode::kClosed) continue;
    Trace(m_serverInBase + m_serverIn.size() >= m_serverAtTls ? "server gets (TLS)" : "server gets",
          std::string(buffer, static_cast<size_t>(n)));
    m_serverIn.append(buffer, static_cast<size_t>(n));
  }
  size_t pos = 0;
  while (pos < m_serverIn.size() && m_mode != Mode::kClosed) {
    if (m_mode == Mode::kChunk) {
      const size_t n =
          static_cast<size_t>(std::min<uint64_t>(m_chunkLeft, m_serverIn.size() - pos));
      pos += n;
      m_chunkLeft -= n;
      if (m_chunkLeft > 0) break;
      m_mode = Mode::kCommand;
      m_units.push_back(Unit{Unit::kChunk, m_serverInBase + pos, ""});
      Reply("250 2.0.0 chunk taken <#" + std::to_string(m_units.size() - 1) + ">\r\n");
      continue;
    }
    const size_t lf = m_serverIn.find('\n', pos);
    if (lf == std::string::npos) break;
    std::string line = m_serverIn.substr(pos, lf - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = m_serverInBase + pos;
    pos = lf + 1;
    if (m_mode == Mode::kData) {
      bool ended = false;
      ServerMessageLine(line, &ended);
      if (ended) {
        m_mode = Mode::kCommand;
        m_units.push_back(Unit{Unit::kMessage, start, ""});
        Reply("250 2.0.0 queued <#" + std::to_string(m_units.size() - 1) + ">\r\n");
      }
      continue;
    }
    if (m_mode == Mode::kAuthAnswer) {
      if (start >= m_serverAt220) CheckAfter220(line, start, false);
      m_mode = Mode::kCommand;
      m_units.push_back(Unit{Unit::kAuthAnswer, start, ""});
      Reply((line == "*" ? "501 5.7.0 cancelled <#" : "235 2.7.0 authenticated <#") +
            std::to_string(m_units.size() - 1) + ">\r\n");
      continue;
    }
    ServerLine(line, start);
  }
  m_serverInBase += pos;
  m_serverIn.erase(0, pos);
}

void Harness::CheckAfter220(const std::string& line, size_t start, bool ownData) {
  if (Masked(kAfterStartTls)) return;
  if (start < m_serverAtTls) {
    Violated(kAfterStartTls, "the server got \"" + Printable(line) +
                                 "\" after the 220 to STARTTLS, before the client's handshake");
  }
  if (ownData) {
    if (m_ownDataInsideTls >=
        static_cast<size_t>(std::count(g_scanner.scannedInsideTls.begin(),
                                       g_scanner.scannedInsideTls.end(), true))) {
      Violated(kAfterStartTls,
               "the plug-in's DATA reached the server inside TLS for a message scanned before "
               "the 220 to STARTTLS");
    }
    ++m_ownDataInsideTls;
    return;
  }
  // A line the plug-in read from the client inside TLS, in order.
  const std::string wanted = line + "\r\n";
  const size_t at = m_insideRead.find(wanted, m_insideMatched);
  if (at == std::string::npos) {
    Violated(kAfterStartTls, "the server got \"" + Printable(line) +
                                 "\" inside TLS, a line the client did not send there (read "
                                 "inside TLS: \"" +
                                 Printable(m_insideRead) + "\")");
  }
  m_insideMatched = at + wanted.size();
}

void Harness::ServerLine(const std::string& line, size_t start) {
  const std::string word = FirstWord(line);
  const size_t number = m_units.size();
  const std::string tag = " <#" + std::to_string(number) + ">\r\n";
  const bool beforeTls = start < m_serverAtTls;
  const bool ownData = word == "DATA" && m_ownData < g_scanner.scanned.size();

  if (m_settings.requireTls && beforeTls && !Masked(kRequireTls) && !word.empty() &&
      word != "EHLO" && word != "HELO" && word != "NOOP" && word != "RSET" && word != "QUIT") {
    Violated(kRequireTls,
             "under --require-tls the server got \"" + Printable(line) + "\" before TLS");
  }
  if (!m_settings.trusted && !Masked(kForwarding) &&
      (word == "XCLIENT" || word == "XFORWARD" || word == "BDAT" || word == "STARTTLS")) {
    Violated(kForwarding, "from a client outside --trust-forwarding the server got \"" +
                              Printable(line) + "\" (read as " + word + ")");
  }
  if (start >= m_serverAt220) CheckAfter220(line, start, ownData);
  if (word == "DATA" && !Masked(kUnscanned)) {
    if (!ownData) {
      Violated(kUnscanned, "the server got \"" + Printable(line) +
                               "\" with no scanned message for it (" +
                               std::to_string(g_scanner.scanned.size()) + " scans, " +
                               std::to_string(m_ownData) + " DATA before)");
    }
    if (line != "DATA") {
      Violated(kUnscanned, "the plug-in's DATA reached the server as \"" + Printable(line) + "\"");
    }
  }
  ++m_commands;
  m_units.push_back(Unit{ownData ? Unit::kOwnData : Unit::kCommand, start, word});

  if (word == "DATA") {
    if (ownData) {
      m_messageScan = m_ownData;
      ++m_ownData;
    } else {
      m_messageScan = SIZE_MAX;
    }
    m_message.clear();
    m_mode = Mode::kData;
    Reply("354 go ahead" + tag);
  } else if (word == "EHLO") {
    std::string reply = "250-model.example" + tag;
    if (m_settings.pipelining) reply += "250-PIPELINING\r\n";
    if (m_settings.chunking) reply += "250-CHUNKING\r\n";
    if (m_settings.auth) reply += "250-AUTH PLAIN LOGIN\r\n";
    reply += "250-8BITMIME\r\n250 SIZE 10240000\r\n";
    Reply(reply);
  } else if (word == "HELO") {
    Reply("250 model.example" + tag);
  } else if (word == "MAIL" && m_settings.refuseMail) {
    Reply("451 4.3.0 try later" + tag);
  } else if (word == "RCPT" && m_settings.refuseRcpt) {
    Reply("550 5.1.1 no such user" + tag);
  } else if (word == "AUTH") {
    // An initial response (RFC 4954): a second parameter.
    const size_t space = line.find(' ', line.find_first_not_of(' ', 5));
    if (space != std::string::npos && line.size() > 5) {
      Reply("235 2.7.0 authenticated" + tag);
    } else {
      m_mode = Mode::kAuthAnswer;
      Reply("334 VXNlcm5hbWU6" + tag);
    }
  } else if (word == "BDAT") {
    const unsigned long long size = std::strtoull(line.c_str() + 4, nullptr, 10);
    m_chunkLeft = std::min<unsigned long long>(size, 1u << 20);
    if (m_chunkLeft > 0) {
      m_mode = Mode::kChunk;
    } else {
      Reply("250 2.0.0 empty chunk" + tag);
    }
  } else if (word == "XCLIENT") {
    Reply("220 model.example ESMTP" + tag);
  } else if (word == "STARTTLS") {
    Reply("454 4.7.0 TLS not available" + tag);
  } else if (word == "QUIT") {
    Reply("221 2.0.0 bye" + tag);
    shutdown(m_serverFd, SHUT_RDWR);
    m_mode = Mode::kClosed;
  } else if (word.empty()) {
    Reply("500 5.5.2 Error: bad syntax" + tag);
  } else {
    Reply("250 2.0.0 ok" + tag);
  }
  if (m_settings.closeAfter > 0 && m_commands >= m_settings.closeAfter && m_mode != Mode::kClosed) {
    Reply("421 4.3.0 model closing\r\n");
    shutdown(m_serverFd, SHUT_RDWR);
    m_mode = Mode::kClosed;
  }
}

void Harness::ServerMessageLine(const std::string& line, bool* ended) {
  *ended = line == ".";
  m_message += line;
  m_message += "\r\n";
  if (!*ended || Masked(kUnscanned)) return;
  if (m_messageScan == SIZE_MAX) return;  // reported at its DATA
  if (m_message != g_scanner.scanned[m_messageScan]) {
    Violated(kUnscanned, "the server got a message other than the one scanned: \"" +
                             Printable(m_message) + "\", scanned \"" +
                             Printable(g_scanner.scanned[m_messageScan]) + "\"");
  }
}

// --- the client -------------------------------------------------------

void Harness::ClientReads() {
  if (m_clientFd < 0) return;
  char buffer[8192];
  for (;;) {
    const ssize_t n = recv(m_clientFd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (m_clientDeaf) continue;
    Trace(m_insideTls ? "client gets (TLS)" : "client gets",
          std::string(buffer, static_cast<size_t>(n)));
    m_clientIn.append(buffer, static_cast<size_t>(n));
  }
  size_t pos = 0;
  for (;;) {
    const size_t lf = m_clientIn.find('\n', pos);
    if (lf == std::string::npos) break;
    std::string line = m_clientIn.substr(pos, lf - pos);
    pos = lf + 1;
    const bool last = !(line.size() >= 4 && line[3] == '-');
    m_replyLines.push_back(std::move(line));
    if (last) {
      ClientReply(m_replyLines);
      m_replyLines.clear();
    }
  }
  m_clientIn.erase(0, pos);
}

void Harness::ClientReply(const std::vector<std::string>& lines) {
  // Its number, if the server gave it.
  long tag = -1;
  for (const std::string& line : lines) {
    const size_t at = line.find("<#");
    if (at != std::string::npos) {
      tag = std::strtol(line.c_str() + at + 2, nullptr, 10);
      break;
    }
  }
  const std::string& first = lines.front();
  const bool is220ToStartTls = first.compare(0, 28, "220 2.0.0 Ready to start TLS") == 0;
  if (is220ToStartTls && m_told220 && !m_clientPast220) {
    m_clientPast220 = true;
  } else if (m_clientPast220 && !Masked(kAfterStartTls)) {
    // After the 220 to STARTTLS.
    const bool closing = first.compare(0, 3, "421") == 0;
    if (!m_insideTls && !closing) {
      Violated(kAfterStartTls,
               "the client got \"" + Printable(first) + "\" between the 220 and its handshake");
    }
    if (!closing) ++m_repliesAfter220;
    if (m_repliesAfter220 > m_linesSentInside) {
      Violated(kAfterStartTls, "the client got \"" + Printable(first) + "\" inside TLS, reply " +
                                   std::to_string(m_repliesAfter220) + " to " +
                                   std::to_string(m_linesSentInside) + " line(s) it sent there");
    }
    if (tag >= 0 && static_cast<size_t>(tag) < m_units.size() &&
        m_units[static_cast<size_t>(tag)].start < m_serverAtTls) {
      Violated(kAfterStartTls, "the client got \"" + Printable(first) +
                                   "\" inside TLS, the answer to a server line from before "
                                   "the 220 to STARTTLS");
    }
  }
  if (tag < 0 || Masked(kReplyOrder)) return;
  if (tag <= m_lastTag) {
    Violated(kReplyOrder, "the client got the server's reply " + std::to_string(tag) +
                              " after reply " + std::to_string(m_lastTag) + ": \"" +
                              Printable(first) + "\"");
  }
  if (static_cast<size_t>(tag) >= m_units.size()) {
    Violated(kReplyOrder,
             "the client got a reply numbered " + std::to_string(tag) + " the server never gave");
  }
  if (m_units[static_cast<size_t>(tag)].kind == Unit::kOwnData) {
    Violated(kReplyOrder, "the client got the server's answer to the plug-in's own DATA: \"" +
                              Printable(first) + "\"");
  }
  m_lastTag = tag;
}

bool Take(const uint8_t** data, size_t* size, uint8_t* byte) {
  if (*size == 0) return false;
  *byte = **data;
  ++*data;
  --*size;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A copy of stderr for the findings: with -close_fd_mask=2 the host's
  // log lines go nowhere and these still show.
  g_reportFd = dup(2);
  if (g_reportFd < 0) g_reportFd = 2;
  g_trace = std::getenv("DIVIVEZ_FUZZ_TRACE") != nullptr;
  if (const char* mask = std::getenv("DIVIVEZ_CLIENT_LEG_MASK")) {
    std::stringstream list(mask);
    std::string name;
    while (std::getline(list, name, ',')) {
      bool known = false;
      for (int i = 0; i < 5; ++i) {
        if (name == kInvariantNames[i]) g_mask[i] = known = true;
      }
      if (!known) {
        Say("DIVIVEZ_CLIENT_LEG_MASK: no invariant named \"%s\"\n", name.c_str());
        std::exit(2);
      }
      Say("client_leg_fuzzer: invariant %s MASKED\n", name.c_str());
    }
  }
  signal(SIGPIPE, SIG_IGN);
  // The plug-in's settings, as divivez-proxy sets them; spool files in a
  // private directory, removed at exit (a finding's abort leaves it).
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                        "/divivez-client-leg-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) {
    g_spoolDirectory = pattern;
    setenv("TMPDIR", pattern.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(g_spoolDirectory, ignored);
    });
  }
  setenv("DIVIVEZ_DEBUG_LEVEL", "0", 1);
  setenv("DIVIVEZ_RELAY_UNSPOOLED", "0", 1);
  setenv("DIVIVEZ_CALLBACK_VERSION", "2", 1);

  ProxySettings settings;
  settings.keepaliveSeconds = 0;
  settings.closeGraceMs = 0;
  std::string error;
  settings.trustForwarding.Add("192.0.2.0/25", &error);
  PluginApi api;
  api.RegisterCallback = RegisterCallback;
  api.SetISocket = RecordSetISocket;
  api.SetTimeoutProtection = SetTimeoutProtection;
  api.OnNewConnection = OnNewConnection;
  api.OnEndConnection = OnEndConnection;
  api.OnRequestFromApplication = OnRequestFromApplication;
  api.OnRequestFromServer = OnRequestFromServer;
  for (int i = 0; i < 4; ++i) {
    g_routes[i].settings.tls.requireTls = (i & 1) != 0;
    g_routes[i].settings.tls.allowPlaintextAuth = (i & 2) != 0;
  }
  g_context = std::make_unique<ProxyContext>(settings, api, &g_scanner, &g_log);
  g_bridge = std::make_unique<PluginBridge>(g_context.get());
  g_bridge->Configure();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t tls = 0;
  uint8_t server = 0;
  if (!Take(&data, &size, &tls) || !Take(&data, &size, &server)) return 0;
  Settings settings;
  settings.gate = (tls & 3) != 0;
  settings.implicitTls = (tls & 3) == 2;
  settings.requireTls = settings.gate && !settings.implicitTls && (tls & 4) != 0;
  settings.trusted = (tls & 8) != 0;
  settings.plaintextAuth = (tls & 16) != 0;
  settings.loopback = (tls & 32) != 0;
  settings.pipelining = (server & 1) != 0;
  settings.chunking = (server & 2) != 0;
  settings.auth = (server & 4) != 0;
  settings.refuseMail = (server & 8) != 0;
  settings.refuseRcpt = (server & 16) != 0;
  settings.closeAfter = 3 * (server >> 5);
  if (g_trace) {
    Say("settings: tls %s%s%s%s%s; server%s%s%s%s%s close after %d\n",
        !settings.gate         ? "none"
        : settings.implicitTls ? "implicit"
                               : "starttls",
        settings.requireTls ? " require-tls" : "", settings.trusted ? " trusted" : "",
        settings.plaintextAuth ? " plaintext-auth" : "", settings.loopback ? " loopback" : "",
        settings.pipelining ? " PIPELINING" : "", settings.chunking ? " CHUNKING" : "",
        settings.auth ? " AUTH" : "", settings.refuseMail ? " MAIL-451" : "",
        settings.refuseRcpt ? " RCPT-550" : "", settings.closeAfter);
  }

  Harness harness(settings);
  if (!harness.Start()) return 0;
  harness.Settle();
  std::string chunk;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0xff || i + 1 == size) {
      chunk.push_back(static_cast<char>(data[i]));
      continue;
    }
    const uint8_t op = data[++i];
    if (op == 0xff) {
      chunk.push_back(static_cast<char>(op));
      continue;
    }
    harness.Send(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
    chunk.clear();
    if (g_trace) Say("op %d\n", op % 8);
    switch (op % 8) {
      case 0:
        break;
      case 1:
      case 5:
        harness.Settle();
        break;
      case 2:
        harness.ClientTurn();
        break;
      case 3:
        harness.ServerTurn();
        break;
      case 4:
        harness.Handshake();
        break;
      case 6:
        harness.ClientTurn();
        harness.ServerTurn();
        break;
      case 7:
        harness.ClientCloses();
        break;
    }
  }
  harness.Send(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
  harness.Finish();
  return 0;
}
