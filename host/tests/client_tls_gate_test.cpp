// ClientTlsGate: dialogues of client bytes, plug-in sends and handshakes,
// each played whole, with every piece split in two at every offset, and one
// byte at a time; the plug-in and the client must get the same bytes each
// time, the handshake at the same place. What the plug-in sends after the
// 220 to STARTTLS ends the connection, as the host does: "#" in the client's
// bytes, and the dialogue stops there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/smtp/client_tls_gate.h"

namespace {

struct Step {
  char who;  // 'c' the client sends, 'p' the plug-in sends, 'h' handshake done
  std::string bytes;
};

struct Case {
  const char* name;
  ClientTlsGate::Settings settings;
  std::vector<Step> steps;
  std::string plugin;  // "|" where the handshake ended
  std::string client;  // "|" where the handshake begins, "#" where it ended
};

// Drives the gate as the host does.
struct Host {
  explicit Host(const ClientTlsGate::Settings& settings) : gate(settings) {}

  void ReadClient() {
    // Until the gate waits for the plug-in: its own replies, once sent, make
    // room for more.
    size_t used = 1;
    while (used > 0 && !held.empty() && !gate.WantsHandshake()) {
      std::string out(held.size() + ClientTlsGate::kMaxExtraOutput, '\0');
      size_t produced = 0;
      used = gate.FromClient(held.data(), held.size(), &out[0], &produced);
      held.erase(0, used);
      plugin.append(out.data(), produced);
      std::string replies;
      gate.TakeLocalReplies(&replies);
      ToWire(replies);
    }
  }
  void PluginSends(const std::string& bytes) {
    std::string out;
    const size_t used = gate.ToClient(bytes.data(), bytes.size(), &out);
    ToWire(out);
    if (used < bytes.size()) {
      // It answers something sent before the handshake: never inside TLS.
      client += "#";
      closed = true;
      return;
    }
    ReadClient();
  }
  void ToWire(const std::string& bytes) {
    client += bytes;
    if (gate.WantsHandshake() && !handshake) {
      handshake = true;
      client += "|";
      held.clear();  // plain text the client sent after STARTTLS
    }
  }
  void Play(const Step& step) {
    if (closed) return;
    if (step.who == 'c') {
      // Once the 220 is out, what comes is the TLS engine's to read.
      if (!gate.WantsHandshake()) held += step.bytes;
      ReadClient();
    } else if (step.who == 'p') {
      PluginSends(step.bytes);
    } else {
      gate.HandshakeDone();
      handshake = false;
      plugin += "|";
    }
  }

  ClientTlsGate gate;
  std::string held, plugin, client;
  bool handshake = false;
  bool closed = false;
};

ClientTlsGate::Settings Offering() {
  ClientTlsGate::Settings s;
  s.startTls = true;
  return s;
}
ClientTlsGate::Settings With(bool requireTls, bool plaintextAuth, bool loopback, bool implicit) {
  ClientTlsGate::Settings s = Offering();
  s.requireTls = requireTls;
  s.plaintextAuth = plaintextAuth;
  s.loopbackClient = loopback;
  s.implicitTls = implicit;
  return s;
}
ClientTlsGate::Settings NoCertificate() { return ClientTlsGate::Settings(); }

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

const std::string k220 = "220 mx\r\n";
const std::string kReady = "220 2.0.0 Ready to start TLS\r\n";
const std::string k503Ehlo = "503 5.5.1 Send EHLO first\r\n";
const std::string k501 = "501 5.5.4 Syntax error (no parameters allowed)\r\n";
const std::string k502 = "502 5.5.1 Command not available\r\n";
const std::string k530 = "530 5.7.0 Must issue a STARTTLS command first\r\n";
const std::string k538 =
    "538 5.7.11 Encryption required for requested authentication mechanism\r\n";
const std::string kLong = "250-X" + std::string(5000, 'x') + "\r\n";

const Case kCases[] = {
    {"PipelinedAfterStartTlsNeverRuns",
     Offering(),
     {{'p', k220},
      {'c', "STARTTLS\r\nMAIL FROM:<x>\r\n"},
      {'h', ""},
      {'c', "EHLO b\r\n"},
      {'p', "250-mx\r\n250 SIZE 9\r\n"},
      {'c', "MAIL FROM:<y>\r\n"}},
     "|EHLO b\r\nMAIL FROM:<y>\r\n",
     k220 + kReady + "|250-mx\r\n250 SIZE 9\r\n"},
    {"StartTlsWaitsForOwedReplies",
     Offering(),
     {{'c', "NOOP\r\nSTARTTLS\r\n"}, {'p', k220}, {'p', "250 ok\r\n"}, {'h', ""}},
     "NOOP\r\n|",
     k220 + "250 ok\r\n" + kReady + "|"},
    {"ReplyAfterThe220EndsTheConnection",
     Offering(),
     {{'p', k220}, {'c', "NOOP\r\nSTARTTLS\r\n"}, {'p', "250 ok\r\n421 bye\r\n"}, {'h', ""}},
     "NOOP\r\n",
     k220 + "250 ok\r\n" + kReady + "|#"},
    {"StartTlsInsideMessageIsData",
     Offering(),
     {{'p', k220},
      {'c', "DATA\r\nSTARTTLS\r\n.\r\n"},
      {'p', "354 go\r\n"},
      {'p', "250 queued\r\n"},
      {'c', "QUIT\r\n"}},
     "DATA\r\nSTARTTLS\r\n.\r\nQUIT\r\n",
     k220 + "354 go\r\n250 queued\r\n"},
    {"RefusedDataMeansCommandsFollow",
     Offering(),
     {{'p', k220}, {'c', "DATA\r\nSTARTTLS\r\n"}, {'p', "554 no recipients\r\n"}},
     "DATA\r\n",
     k220 + "554 no recipients\r\n" + kReady + "|"},
    {"AnswerToChallengeReadingStartTls",
     With(false, false, true, false),
     {{'p', k220},
      {'c', "AUTH LOGIN\r\n"},
      {'p', "334 VXNlcg==\r\n"},
      {'c', "STARTTLS\r\n"},
      {'p', "334 UGFzcw==\r\n"},
      {'c', "STARTTLS\r\n"},
      {'p', "235 ok\r\n"},
      {'c', "STARTTLS\r\n"}},
     "AUTH LOGIN\r\nSTARTTLS\r\nSTARTTLS\r\n",
     k220 + "334 VXNlcg==\r\n334 UGFzcw==\r\n235 ok\r\n" + kReady + "|"},
    {"BdatAnsweredHereItsChunkThrownAway",
     Offering(),
     {{'p', k220}, {'c', "BDAT 10\r\nSTARTTLS\r\nNOOP\r\n"}, {'p', "250 ok\r\n"}},
     "NOOP\r\n",
     k220 + k502 + "250 ok\r\n"},
    // No size can be trusted from a line that is no command: what follows
    // it is read as commands, by the gate alone.
    {"MalformedBdatLineIsFollowedByCommands",
     With(true, false, false, false),
     {{'p', k220},
      {'c', "BDAT 30 \n\r\nMAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nhi\r\n.\r\n"},
      {'c', "BDAT 15\r\nMAIL FROM:<a>\r\nNOOP\r\n"},
      {'p', "250 ok\r\n"}},
     "NOOP\r\n",
     k220 + Repeat(k530, 7) + "250 ok\r\n"},
    {"MalformedVerbsAreNoneOfTheGates",
     Offering(),
     {{'p', k220},
      {'c', "STARTTLS\v\r\nNOOP\f\r\nSTARTTLS\r\r\n"},
      {'p', "500 a\r\n500 b\r\n500 c\r\n"}},
     "STARTTLS\v\r\nNOOP\f\r\nSTARTTLS\r\r\n",
     k220 + "500 a\r\n500 b\r\n500 c\r\n"},
    {"SingleLineEhloGetsStartTls",
     Offering(),
     {{'c', "EHLO a\r\n"}, {'p', k220}, {'p', "250 mx\r\n"}},
     "EHLO a\r\n",
     k220 + "250-mx\r\n250 STARTTLS\r\n"},
    {"HiddenAuthLastLine",
     Offering(),
     {{'p', k220}, {'c', "EHLO a\r\n"}, {'p', "250-mx\r\n250-SIZE 9\r\n250 AUTH PLAIN\r\n"}},
     "EHLO a\r\n",
     k220 + "250-mx\r\n250-SIZE 9\r\n250 STARTTLS\r\n"},
    {"HiddenAuthLastLineNoCertificate",
     NoCertificate(),
     {{'p', k220}, {'c', "EHLO a\r\n"}, {'p', "250-mx\r\n250-SIZE 9\r\n250 AUTH PLAIN\r\n"}},
     "EHLO a\r\n",
     k220 + "250-mx\r\n250 SIZE 9\r\n"},
    {"EveryAuthFormHidden",
     Offering(),
     {{'p', k220},
      {'c', "ehlo a\r\n"},
      {'p',
       "250-mx\r\n250-AUTH=LOGIN\r\n250-auth PLAIN\r\n250-AUTH\vLOGIN\r\n250-AUTHX\r\n250 "
       "8BITMIME\r\n"}},
     "ehlo a\r\n",
     k220 + "250-mx\r\n250-AUTHX\r\n250-8BITMIME\r\n250 STARTTLS\r\n"},
    {"RequireTlsHidesAuthOnLoopback",
     With(true, true, true, false),
     {{'p', k220}, {'c', "EHLO a\r\n"}, {'p', "250-mx\r\n250 AUTH PLAIN\r\n"}},
     "EHLO a\r\n",
     k220 + "250-mx\r\n250 STARTTLS\r\n"},
    {"LoopbackKeepsAuth",
     With(false, false, true, false),
     {{'p', k220},
      {'c', "EHLO a\r\n"},
      {'p', "250-mx\r\n250 AUTH PLAIN\r\n"},
      {'c', "AUTH PLAIN AGEAYg==\r\n"},
      {'p', "235 ok\r\n"}},
     "EHLO a\r\nAUTH PLAIN AGEAYg==\r\n",
     k220 + "250-mx\r\n250-AUTH PLAIN\r\n250 STARTTLS\r\n235 ok\r\n"},
    {"ImplicitTlsOffersNoStartTls",
     With(true, false, false, true),
     {{'p', k220},
      {'c', "EHLO a\r\nSTARTTLS\r\nMAIL FROM:<x>\r\n"},
      {'p', "250-mx\r\n250 AUTH PLAIN\r\n"},
      {'p', "250 ok\r\n"}},
     "EHLO a\r\nMAIL FROM:<x>\r\n",
     k220 + "250-mx\r\n250 AUTH PLAIN\r\n503 5.5.1 TLS already active\r\n250 ok\r\n"},
    {"OtherRepliesUntouched",
     Offering(),
     {{'p', k220},
      {'c', "EHLO a\r\n"},
      {'p', "554-no\r\n554 AUTH\r\n"},
      {'c', "HELO a\r\n"},
      {'p', "250 mx\r\n"}},
     "EHLO a\r\nHELO a\r\n",
     k220 + "554-no\r\n554 AUTH\r\n250 mx\r\n"},
    {"OverlongLinePassesAsItComes",
     NoCertificate(),
     {{'p', k220}, {'c', "EHLO a\r\n"}, {'p', "250-mx\r\n" + kLong + "250 AUTH PLAIN\r\n"}},
     "EHLO a\r\n",
     k220 + "250-mx\r\n" + kLong + "250\r\n"},
    {"EhloFirstAfterTls",
     Offering(),
     {{'p', k220},
      {'c', "STARTTLS\r\n"},
      {'h', ""},
      {'c', "MAIL FROM:<x>\r\nSTARTTLS\r\nNOOP\r\nEHLO b\r\n"},
      {'p', "250 ok\r\n"},
      {'p', "250 mx\r\n"},
      {'c', "MAIL FROM:<x>\r\n"}},
     "|NOOP\r\nEHLO b\r\nMAIL FROM:<x>\r\n",
     k220 + kReady + "|" + k503Ehlo + "503 5.5.1 TLS already active\r\n250 ok\r\n250 mx\r\n"},
    {"RequireTlsRefusesAllButSessionCommandsInOrder",
     With(true, false, false, false),
     {{'c',
       "NOOP\r\nMAIL FROM:<x>\r\nAUTH PLAIN AGEAYg==\r\nRCPT TO:<y>\r\nDATA\r\nVRFY x\r\n"
       "XYZZY\r\nABCDEFGHIJK\r\nNOOP\fx\r\nSTARTTLS\v\r\n\r\nRSET\r\n"},
      {'p', k220},
      {'p', "250 ok\r\n"},
      {'p', "250 reset\r\n"},
      {'c', "STARTTLS\r\n"},
      {'h', ""},
      {'c', "EHLO a\r\n"},
      {'p', "250 mx\r\n"},
      {'c', "MAIL FROM:<x>\r\n"}},
     "NOOP\r\nRSET\r\n|EHLO a\r\nMAIL FROM:<x>\r\n",
     k220 + "250 ok\r\n" + Repeat(k530, 10) + "250 reset\r\n" + kReady + "|250 mx\r\n"},
    {"PlainAuthRefusedFromAfar",
     Offering(),
     {{'p', k220}, {'c', "AUTH PLAIN AGEAYg==\r\n"}},
     "",
     k220 + k538},
    {"PlainAuthAllowed",
     With(false, true, false, false),
     {{'p', k220}, {'c', "AUTH PLAIN AGEAYg==\r\n"}, {'p', "235 ok\r\n"}},
     "AUTH PLAIN AGEAYg==\r\n",
     k220 + "235 ok\r\n"},
    {"StartTlsWithoutCertificateIsThePluginsToRefuse",
     NoCertificate(),
     {{'p', k220}, {'c', "STARTTLS\r\n"}, {'p', "502 no\r\n"}},
     "STARTTLS\r\n",
     k220 + "502 no\r\n"},
    {"StartTlsTakesNoParameters",
     Offering(),
     {{'p', k220}, {'c', "STARTTLS now\r\nSTARTTLSX\r\n"}, {'p', "500 what\r\n"}},
     "STARTTLSX\r\n",
     k220 + k501 + "500 what\r\n"},
    {"FullQueueOfDueReplies",
     With(true, false, false, false),
     {{'p', k220}, {'c', Repeat("MAIL\r\n", 17) + "NOOP\r\n"}, {'p', "250 b\r\n"}},
     "NOOP\r\n",
     k220 + Repeat(k530, 17) + "250 b\r\n"},
    {"FullQueueHoldsTheClient",
     With(true, false, false, false),
     {{'p', k220},
      {'c', "NOOP\r\n" + Repeat("MAIL\r\n", 16) + Repeat("STARTTLS x\r\n", 4) + "NOOP\r\n"},
      {'p', "250 a\r\n"},
      {'p', "250 b\r\n"}},
     "NOOP\r\nNOOP\r\n",
     k220 + "250 a\r\n" + Repeat(k530, 16) + Repeat(k501, 4) + "250 b\r\n"},
};

std::vector<Step> Split(const std::vector<Step>& steps, size_t index, size_t at) {
  std::vector<Step> out(steps.begin(), steps.begin() + static_cast<long>(index));
  out.push_back({steps[index].who, steps[index].bytes.substr(0, at)});
  out.push_back({steps[index].who, steps[index].bytes.substr(at)});
  out.insert(out.end(), steps.begin() + static_cast<long>(index) + 1, steps.end());
  return out;
}

void Expect(const Case& c, const std::vector<Step>& steps, const std::string& how) {
  Host host(c.settings);
  for (const Step& step : steps) host.Play(step);
  EXPECT_EQ(host.plugin, c.plugin) << c.name << how;
  EXPECT_EQ(host.client, c.client) << c.name << how;
}

TEST(ClientTlsGateTest, Whole) {
  for (const Case& c : kCases) Expect(c, c.steps, "");
}

TEST(ClientTlsGateTest, EveryPieceSplitAtEveryOffset) {
  for (const Case& c : kCases) {
    for (size_t i = 0; i < c.steps.size(); ++i) {
      for (size_t at = 1; at < c.steps[i].bytes.size(); ++at) {
        Expect(c, Split(c.steps, i, at),
               ", step " + std::to_string(i) + " split at " + std::to_string(at));
      }
    }
  }
}

TEST(ClientTlsGateTest, OneByteAtATime) {
  for (const Case& c : kCases) {
    std::vector<Step> bytes;
    for (const Step& step : c.steps) {
      if (step.who == 'h') bytes.push_back(step);
      for (char b : step.bytes) bytes.push_back({step.who, std::string(1, b)});
    }
    Expect(c, bytes, ", byte by byte");
  }
}

}  // namespace
