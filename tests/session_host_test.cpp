// The session as the host sees it beyond single dialogues: the scan record
// per connection, many connections spooling at once, trace lines, socket
// failures, and the bounds on what a peer can make the session hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "boundary/connection_registry.h"
#include "boundary/plugin_exports.h"
#include "boundary/settings.h"
#include "session/smtp_connection.h"
#include "support/dialogue.h"

namespace {

// One connection driven by hand: each call delivers a chunk and runs the
// handler once.
class CConnection {
 public:
  CConnection(CHostHarness& host, SOCKET client, SOCKET server, int context)
      : m_host(host), m_client{0, client}, m_server{0, server}, m_nContext(context) {}
  void Open() { m_host.Open(&m_client, m_nContext); }
  int FromServer(const std::string& bytes) {
    m_host.m_sockets.Push(m_server.m_hSocket, bytes);
    return OnRequestFromServer(&m_client, &m_server);
  }
  int FromClient(const std::string& bytes) {
    m_host.m_sockets.Push(m_client.m_hSocket, bytes);
    return OnRequestFromApplication(&m_client, &m_server);
  }
  std::string ServerGot() { return m_host.m_sockets.Sent(m_server.m_hSocket); }
  std::string ClientGot() { return m_host.m_sockets.Sent(m_client.m_hSocket); }

  CHostHarness& m_host;
  CHostSocket m_client, m_server;
  int m_nContext;
};

class SessionHostTest : public ::testing::Test {
 protected:
  CHostHarness m_host;
};

TEST_F(SessionHostTest, ScanRecordCarriesTheConnectionAndItsKeepAliveCopies) {
  CConnection before(m_host, 31, 32, 7);
  before.Open();
  SetTimeoutProtection(30);
  CConnection after(m_host, 41, 42, -8);
  after.Open();
  SetTimeoutProtection(0);  // off for later connections; the interval stays
  CConnection later(m_host, 51, 52, 0x7FFFFFFF);
  later.Open();
  CConnection* connections[] = {&before, &after, &later};
  for (CConnection* connection : connections) {
    connection->FromServer("220 mx\r\n");
    connection->FromClient("DATA\r\nA: 1\r\n\r\nb\r\n.\r\n");
  }
  const uint32_t flags[] = {0, 1, 0}, intervals[] = {5000, 30000, 30000};
  ASSERT_EQ(m_host.m_scanner.m_scans.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const SScanRecord& scan = m_host.m_scanner.m_scans[static_cast<size_t>(i)];
    EXPECT_EQ(scan.request.dwSize, sizeof(void*) == 4 ? 1360u : 1384u);
    EXPECT_EQ(ScanRecordProblems(scan, &connections[i]->m_client, connections[i]->m_nContext,
                                 flags[i], intervals[i]),
              "")
        << "connection " << i;
    EXPECT_EQ(scan.strSpool, "A: 1\r\n\r\nb\r\n.\r\n");
  }
  m_host.Finish();
}

// Spool names may repeat between sessions (the tick count is frozen here);
// each live message must still get its own file.
TEST_F(SessionHostTest, SessionsSpoolingAtOnceNeverShareAFile) {
  constexpr int kSessions = 150;
  std::vector<CConnection> connections;
  connections.reserve(kSessions);
  for (int i = 0; i < kSessions; ++i) {
    connections.emplace_back(m_host, static_cast<SOCKET>(1000 + 2 * i),
                             static_cast<SOCKET>(1001 + 2 * i), i);
    connections.back().Open();
    connections.back().FromServer("220 mx\r\n");
    connections.back().FromClient("DATA\r\n");
  }
  auto message = [](int i) { return "X-Conn: " + std::to_string(i) + "\r\n\r\nbody\r\n.\r\n"; };
  for (int i = 0; i < kSessions; ++i) connections[i].FromClient(message(i).substr(0, 12));
  for (int i = 0; i < kSessions; ++i) connections[i].FromClient(message(i).substr(12));

  const std::vector<SScanRecord>& scans = m_host.m_scanner.m_scans;
  ASSERT_EQ(scans.size(), static_cast<size_t>(kSessions));
  std::set<std::string> names;
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(scans[i].strSpool, message(i)) << "session " << i;
    EXPECT_EQ(scans[i].request.pSockApplication, &connections[i].m_client);
    names.insert(scans[i].strFile);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kSessions)) << "sessions shared a spool file";
  RecordProperty("SpoolNamesTaken", m_host.m_pStore->m_nNameTaken);
  for (int i = 0; i < kSessions; ++i) {
    connections[i].FromServer("354 go\r\n");
    EXPECT_EQ(connections[i].ServerGot(), "DATA\r\n" + message(i)) << "session " << i;
  }
  m_host.Finish();
}

TEST_F(SessionHostTest, TraceLevelGovernsTheLines) {
  auto infected = [this](int level) {
    CConnection connection(m_host, 11, 22, 1);
    connection.Open();
    g_nDebugLevel = level;  // after the connection, which may read the level afresh
    CTraceCapture::Clear();
    connection.FromServer("220 mx\r\n");
    connection.FromClient("MAIL FROM:<a@b>\r\n");
    connection.FromServer("250 ok\r\n");
    SVerdict verdict;
    verdict.nResult = 1;
    m_host.m_scanner.Queue(verdict);
    connection.FromClient("DATA\r\nA: 1\r\n\r\nb\r\n.\r\n");
    m_host.Finish();
    return CTraceCapture::Lines();
  };
  EXPECT_EQ(infected(0), std::vector<std::string>());

  std::vector<std::string> lines = infected(1);
  for (const char* expected :
       {"DIVIVEZ: OnPendingRequestFromApplication...\n", "DIVIVEZ: Check and send...\n",
        "DIVIVEZ: Mail infected, do not send to server!\n"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
  }
  for (const std::string& line : infected(2)) {
    EXPECT_EQ(line.find("Complete command"), std::string::npos) << line;
  }

  lines = infected(3);
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "DIVIVEZ: Complete command: MAIL FROM:<a@b>\r\n\n"),
      lines.end());
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.compare(0, 9, "DIVIVEZ: ") == 0 || line.compare(0, 3, "S: ") == 0) << line;
    EXPECT_TRUE(!line.empty() && line.back() == '\n') << line;
  }
}

TEST_F(SessionHostTest, CommandEchoHidesCredentials) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  g_nDebugLevel = 3;
  connection.FromServer("220 mx\r\n");
  const char* const kClient[] = {"AUTH PLAIN dXNlcgB1c2VyAHNlY3JldA==\r\n", "AUTH LOGIN\r\n",
                                 "c2VjcmV0dXNlcg==\r\n", "cGFzc3dvcmQ=\r\n"};
  const char* const kServer[] = {"235 ok\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
                                 "235 ok\r\n"};
  std::string relayed;
  for (int i = 0; i < 4; ++i) {
    connection.FromClient(kClient[i]);
    connection.FromServer(kServer[i]);
    relayed += kClient[i];
  }
  EXPECT_EQ(connection.ServerGot(), relayed);
  std::string trace = CTraceCapture::All();
  EXPECT_NE(trace.find("Complete command: AUTH PLAIN"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Complete command: AUTH LOGIN"), std::string::npos) << trace;
  for (const char* secret : {"dXNlcgB1c2VyAHNlY3JldA", "c2VjcmV0dXNlcg", "cGFzc3dvcmQ"}) {
    EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " in\n" << trace;
  }
  m_host.Finish();
}

// Peers' control bytes cannot forge or garble trace lines: only a line's own
// end stays as it is.
TEST_F(SessionHostTest, TraceEchoEscapesControlBytes) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  g_nDebugLevel = 3;
  connection.FromServer("220 mx\x1b[2J\r\n");
  connection.FromClient("NOOP a\x7f\x01\rDIVIVEZ: forged\nb\r\n");
  connection.FromClient("MAIL FROM:<a\x1b]0;x\x07@b>\r\n");
  connection.FromServer("250 o\x08k\r\n");
  const std::string trace = CTraceCapture::All();
  for (const char* expected :
       {"S: 220 mx\\x1B[2J\r\n\n", "Complete command: NOOP a\\x7F\\x01\\rDIVIVEZ: forged\\nb\r\n\n",
        "Complete command: MAIL FROM:<a\\x1B]0;x\\x07@b>\r\n\n", "S: 250 o\\x08k\r\n\n"}) {
    EXPECT_NE(trace.find(expected), std::string::npos) << expected << " not in\n" << trace;
  }
  for (const std::string& line : CTraceCapture::Lines()) {
    EXPECT_EQ(line.find_first_of("\x1b\x7f\x01\x07\x08"), std::string::npos) << line;
  }
  m_host.Finish();
}

// The keep-alive may run on a host thread of its own while the handler waits
// in the scan: it must leave the session's containers alone, and the handler
// records the NOOP it sent once the scan returns.
struct SKeepAliveSeen {
  size_t owedBefore = 0, owedAfter = 0;
  uint32_t sentAfter = 0;
};
SKeepAliveSeen g_keepAliveSeen;

void DIVIVEZ_CDECL KeepAliveFromAnotherThread(int code, ScanRequest* request) {
  if (code != kScanCodeScan) return;
  const CSmtpConnection* session = static_cast<CSmtpConnection*>(request->pTimeoutProtectionArg);
  g_keepAliveSeen.owedBefore = session->m_owed.Size();
  std::thread timer([request] { request->pfnTimeoutProtection(request->pTimeoutProtectionArg); });
  timer.join();
  g_keepAliveSeen.owedAfter = session->m_owed.Size();
  g_keepAliveSeen.sentAfter = session->m_nKeepAlivesSent;
}

TEST_F(SessionHostTest, KeepAliveFromAnotherThreadTouchesOnlyAtomics) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  connection.FromServer("220 mx\r\n");
  RegisterCallback(&KeepAliveFromAnotherThread);
  connection.FromClient("DATA\r\nA: 1\r\n\r\nb\r\n.\r\n");
  EXPECT_EQ(g_keepAliveSeen.owedAfter, g_keepAliveSeen.owedBefore) << "m_owed changed";
  EXPECT_EQ(g_keepAliveSeen.sentAfter, 1u);
  const CSmtpConnection* session = g_mapConnections.at(&connection.m_client);
  ASSERT_EQ(session->m_owed.Size(), 1u);
  EXPECT_EQ(session->m_owed.Front().m_eKind, EOwed::kNoop);
  EXPECT_EQ(connection.ServerGot(), "NOOP\r\n");  // DATA waits for its answer
  connection.FromServer("250 ok\r\n");
  EXPECT_EQ(connection.ServerGot(), "NOOP\r\nDATA\r\n");
  m_host.Finish();
}

TEST_F(SessionHostTest, SocketExceptionsStayInsideTheExports) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  m_host.m_sockets.FailReceive(22, 1, EFault::kThrow);
  EXPECT_NO_THROW(connection.FromServer("220 mx\r\n"));
  EXPECT_NO_THROW(OnRequestFromServer(&connection.m_client, &connection.m_server));
  EXPECT_EQ(connection.ClientGot(), "220 mx\r\n");

  m_host.m_sockets.FailReceive(11, 1, EFault::kThrow);
  EXPECT_NO_THROW(connection.FromClient("NOOP\r\n"));
  EXPECT_NO_THROW(OnRequestFromApplication(&connection.m_client, &connection.m_server));
  EXPECT_EQ(connection.ServerGot(), "NOOP\r\n");
  connection.FromServer("250 ok\r\n");

  // The server connection breaks while the message is delivered.
  connection.FromClient("DATA\r\nA: 1\r\n\r\nb\r\n.\r\n");
  m_host.m_sockets.FailSend(22, 1, EFault::kThrow);
  EXPECT_NO_THROW(connection.FromServer("354 go\r\n"));
  EXPECT_NO_THROW(connection.FromServer("250 ok\r\n"));
  m_host.Finish();  // and no spool file is left
}

TEST_F(SessionHostTest, OverlongLineIsRelayedAsItGrows) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  connection.FromServer("220 mx\r\n");
  std::string line(20000, 'x');
  EXPECT_EQ(connection.FromClient(line), 20000);
  std::string early = connection.ServerGot();
  EXPECT_GE(early.size(), line.size() - 16384) << "more than 16384 bytes held";
  EXPECT_EQ(early, line.substr(0, early.size()));
  connection.FromClient("yy\r");  // the CR stays until its LF shows the line's end
  connection.FromClient("\nNOOP\r\n");
  EXPECT_TRUE(connection.ServerGot() == line + "yy\r\n");
  connection.FromServer("500 5.5.2 line too long\r\n");  // then the NOOP may go
  EXPECT_TRUE(connection.ServerGot() == line + "yy\r\nNOOP\r\n");
  connection.FromServer("250 ok\r\n");
  EXPECT_EQ(connection.ClientGot(), "220 mx\r\n500 5.5.2 line too long\r\n250 ok\r\n");
  // Found by the dialogue fuzzer: a line whose head went out before the
  // server was given up is answered here, not left waiting for the server.
  connection.FromClient(line);
  connection.FromServer("250 unasked\r\n");
  connection.FromClient("\r\nNOOP\r\n");
  EXPECT_EQ(connection.ClientGot(), std::string("220 mx\r\n500 5.5.2 line too long\r\n250 ok\r\n") +
                                        kReplyOutOfStep + kReplyServerLost + kReplyServerLost);
  m_host.Finish();
}

TEST_F(SessionHostTest, OverlongLineKeepsItsEndsInOneLine) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  connection.FromServer("220 mx\r\n");
  std::string line(20000, 'x');
  // A bare CR or LF in the rest of a line already on its way would end it
  // early at some servers: each goes out as a space.
  connection.FromClient(line);
  connection.FromClient("\nDATA\rx\r\n");
  EXPECT_TRUE(connection.ServerGot() == line + " DATA x\r\n");
  // Nor may any other control byte reach the server in it: VT or FF would
  // end a verb at Postfix.
  connection.FromServer("500 5.5.2 line too long\r\n");
  connection.FromClient(line);
  const char tail[] = "\x0bXCLIENT\x0c\0\x7f\x1b\r\n";
  connection.FromClient(std::string(tail, sizeof tail - 1));
  EXPECT_TRUE(connection.ServerGot() == line + " DATA x\r\n" + line + " XCLIENT    \r\n");
  // A control byte in what was judged is refused whole, the rest with it.
  connection.FromServer("500 5.5.2 line too long\r\n");
  connection.FromClient("NOOP \x0b" + line);
  connection.FromClient(line + "\r\n");
  EXPECT_TRUE(connection.ServerGot() == line + " DATA x\r\n" + line + " XCLIENT    \r\n");
  EXPECT_EQ(connection.ClientGot(), std::string("220 mx\r\n500 5.5.2 line too long\r\n") +
                                        "500 5.5.2 line too long\r\n" + kReplyMalformed);
  m_host.Finish();
}

// Reply lines longer than a session assembles: relayed whole, or withheld
// whole from an EHLO reply.
TEST_F(SessionHostTest, LongReplyLinesAreRelayedWhole) {
  std::string text(5000, 'a');
  SDialogue dialogue;
  dialogue.strName = "LongReplyLines";
  dialogue.Server("220-" + text + "\r\n220 mx\r\n").ToClient("220-" + text + "\r\n220 mx\r\n");
  dialogue.Client("EHLO c\r\nNOOP\r\n").ToServer("EHLO c\r\n");
  dialogue.Server("250-mx\r\n250-X-" + text + "\r\n250-CHUNKING " + text + "\r\n250 STARTTLS\r\n");
  // An over-long kept line is not held back: a bare code closes the reply
  // whose last line was withheld.
  dialogue.ToClient("250-mx\r\n250-X-" + text + "\r\n250\r\n").ToServer("NOOP\r\n");
  dialogue.Server("250 " + text + "\r\n").ToClient("250 " + text + "\r\n");
  RunDialogue(m_host, dialogue, ESplit::kScripted);
  RunDialogue(m_host, dialogue, ESplit::kBytePerRead);
}

// Far more pipelined commands than replies the session keeps track of: the
// client is held back, and nothing is lost or reordered.
TEST_F(SessionHostTest, LongPipelineIsRelayedWhole) {
  SDialogue dialogue;
  dialogue.strName = "LongPipeline";
  dialogue.bLoose = true;
  dialogue.Server("220 mx\r\n").ToClient("220 mx\r\n");
  std::string commands, replies;
  for (int i = 0; i < 600; ++i) {
    commands += "RCPT TO:<r" + std::to_string(i) + "@example.org>\r\n";
    replies += "250 ok " + std::to_string(i) + "\r\n";
  }
  dialogue.Client(commands).ToServer(commands).ToClient(replies);
  for (int i = 0; i < 600; ++i) dialogue.Server("250 ok " + std::to_string(i) + "\r\n");
  RunDialogue(m_host, dialogue, ESplit::kScripted);
}

TEST_F(SessionHostTest, NewConnectionOnTheSameClientDropsTheMessageInProgress) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  connection.FromServer("220 mx\r\n");
  connection.FromClient("DATA\r\nSubject: half\r\n");
  ASSERT_EQ(m_host.m_pStore->Created().size(), 1u);
  connection.Open();
  connection.FromServer("220 mx\r\n");  // the new session's greeting
  connection.FromClient("NOOP\r\n");
  EXPECT_EQ(connection.ServerGot(), "NOOP\r\n");
  EXPECT_TRUE(m_host.m_scanner.m_scans.empty());
  m_host.Finish();
}

}  // namespace

// Found by the dialogue fuzzer: a line the plug-in answers itself stays with
// the plug-in however long it grows, so an over-long DATA line is intercepted
// and an over-long STARTTLS is refused, never relayed.
TEST_F(SessionHostTest, OverlongLinesThePluginAnswersNeverReachTheServer) {
  SDialogue dialogue;
  dialogue.strName = "OverlongAnsweredHere";
  dialogue.Server("220 mx\r\n").ToClient("220 mx\r\n");
  dialogue.Client("DATA" + std::string(18000, ' ') + "\r\n").ToClient(kReply354);
  dialogue.Client("Subject: s\r\n\r\nbody\r\n.\r\n").Spool("Subject: s\r\n\r\nbody\r\n.\r\n");
  dialogue.ToServer("DATA\r\n");
  dialogue.Server("354 go\r\n").ToServer("Subject: s\r\n\r\nbody\r\n.\r\n");
  dialogue.Server("250 queued\r\n").ToClient("250 queued\r\n");
  dialogue.Client("STARTTLS " + std::string(20000, 'x') + "\r\n").ToClient(kReplyNotAvailable);
  // Refused for a bare LF or a leading space however far the line grows.
  dialogue.Client("NOOP\nDATA" + std::string(20000, 'x') + "\r\n").ToClient(kReplyBareLineBreak);
  dialogue.Client(" DATA" + std::string(40000, 'x') + "\r\n").ToClient(kReplyLeadingSpace);
  RunDialogue(m_host, dialogue, ESplit::kScripted);
}

// Found by the dialogue fuzzer: the plug-in's own replies count towards the
// replies the client may owe before it is held back, so a client that never
// reads cannot grow the queue of them.
TEST_F(SessionHostTest, ClientHeldBackByRepliesOfThePluginsOwn) {
  CConnection connection(m_host, 11, 22, 1);
  connection.Open();
  std::string refused;
  for (int i = 0; i < 600; ++i) refused += "STARTTLS\r\n";
  connection.FromClient(refused);  // no greeting yet: every 502 waits
  const CSmtpConnection* session = g_mapConnections.at(&connection.m_client);
  EXPECT_LE(session->m_owed.Size(), CSmtpConnection::kMaxOwedClient + 1);
  connection.FromServer("220 mx\r\n");  // the greeting releases them all
  std::string expected = "220 mx\r\n";
  for (int i = 0; i < 600; ++i) expected += kReplyNotAvailable;
  EXPECT_EQ(connection.ClientGot(), expected);
  EXPECT_EQ(connection.ServerGot(), "");
  m_host.Finish();  // before the connection's socket objects go
}

// Found by the dialogue fuzzer: when the withheld closing line of an EHLO
// reply follows a kept line too long to hold back, a bare code closes the
// reply, all three digits of it.
TEST_F(SessionHostTest, BareClosingCodeKeepsItsDigits) {
  const std::string text(3000, 'k');
  SDialogue dialogue;
  dialogue.strName = "BareClosingCode";
  dialogue.Server("220 mx\r\n").ToClient("220 mx\r\n");
  dialogue.Client("EHLO c\r\n").ToServer("EHLO c\r\n");
  dialogue.Server("050-mx\r\n050-" + text + "\r\n050 STARTTLS\r\n");
  dialogue.ToClient("050-mx\r\n050-" + text + "\r\n050\r\n");
  RunDialogue(m_host, dialogue, ESplit::kScripted);
  RunDialogue(m_host, dialogue, ESplit::kBytePerRead);
}
