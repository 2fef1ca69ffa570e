// Fault injection: the plug-in driven through its exports by a host whose
// spool store and socket service (the ISocket road) fail on demand.
//
// Spool faults: the file cannot be created (DATA relayed, message passed
// through unscanned), a write stores nothing or one byte less, or closing the
// written file fails, at the start, middle or end of a message (452 to the
// client, RSET to the server, no scan), the file cannot be reopened for
// delivery (451, no message byte to the server), a read fails during delivery
// (451, the server never sees the end of the message), the file cannot be
// deleted (a trace line, nothing else), the scanner throws (the message is
// delivered). Socket faults: every receive and every send of a reference
// dialogue fails in turn, by an exception or by a failure result.
//
// After every connection: no spool file in the private temporary directory
// and no spool stream open. Where the connection survives the fault, the rest
// of the dialogue, its second message included, must go exactly as without
// the fault.
//
// Everything here is single-threaded. The world is the shared fake
// (support/fake_world.h), installed by the fixture's CHostHarness; its socket
// service is strict here: the plug-in may use no socket but the connection's
// two. The reference dialogues are kept as a dialogue table (support/dialogue_table.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "boundary/plugin_exports.h"
#include "boundary/settings.h"
#include "support/dialogue.h"
#include "support/fake_host.h"

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- fixture

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_host.m_temp.Path().empty()); }

  void TearDown() override {
    if (m_bOpen) End();
  }

  // A fresh pair of sockets per connection; the plug-in may use no other.
  void Open() {
    ++m_nConnection;
    m_client.m_nHostWord0 = 1;
    m_client.m_hSocket = static_cast<SOCKET>(100000 + 2 * m_nConnection);
    m_server.m_nHostWord0 = 2;
    m_server.m_hSocket = static_cast<SOCKET>(100001 + 2 * m_nConnection);
    m_sockets.Reset();
    m_sockets.SetStrict(true);
    m_sockets.Open(m_client.m_hSocket);
    m_sockets.Open(m_server.m_hSocket);
    m_host.m_scanner.Reset();
    m_nServerMark = m_nClientMark = 0;
    m_steps.clear();
    m_host.Open(&m_client, 4242);
    m_bOpen = true;
  }

  // Ends the connection; afterwards no spool file or stream may be left.
  void End() {
    m_host.End(&m_client);
    m_bOpen = false;
    EXPECT_EQ(m_store.OpenStreams(), 0u) << "a spool stream is still open";
    m_store.RemoveLeftBehind();
    for (const std::string& name : SpoolFiles()) ADD_FAILURE() << "spool file left: " << name;
  }

  // Files in the temporary directory that no failed deletion left there.
  std::vector<std::string> SpoolFiles() { return m_store.FilesIn(m_host.m_temp.Path()); }

  // The host: a chunk arrives, the side's handler runs, then both handlers
  // run while bytes wait (a held-back client is read after server calls).
  void C(const std::string& bytes) {
    m_sockets.Push(m_client.m_hSocket, bytes);
    OnRequestFromApplication(&m_client, &m_server);
    Pump();
  }
  void S(const std::string& bytes) {
    m_sockets.Push(m_server.m_hSocket, bytes);
    OnRequestFromServer(&m_client, &m_server);
    Pump();
  }
  // How much each side had been offered after every step so far.
  void Step() { m_steps.emplace_back(AllToServer().size(), AllToClient().size()); }
  void Pump() {
    for (int round = 0; round < 4; ++round) {
      bool any = false;
      if (m_sockets.Pending(m_server.m_hSocket) > 0) {
        OnRequestFromServer(&m_client, &m_server);
        any = true;
      }
      if (m_sockets.Pending(m_client.m_hSocket) > 0) {
        OnRequestFromApplication(&m_client, &m_server);
        any = true;
      }
      if (!any) break;
    }
  }

  // What each side was offered (failed sends included) since the last call.
  std::string ToServer() { return Since(m_server, &m_nServerMark); }
  std::string ToClient() { return Since(m_client, &m_nClientMark); }
  std::string Since(const CHostSocket& socket, size_t* mark) {
    const std::string offered = m_sockets.Offered(socket.m_hSocket);
    std::string fresh = offered.substr(std::min(*mark, offered.size()));
    *mark = offered.size();
    return fresh;
  }
  std::string AllToServer() { return m_sockets.Offered(m_server.m_hSocket); }
  std::string AllToClient() { return m_sockets.Offered(m_client.m_hSocket); }
  const std::vector<SScanRecord>& Scans() { return m_host.m_scanner.m_scans; }

  // Greeting and envelope, replies drained.
  void Envelope() {
    S("220 mx.example ESMTP\r\n");
    C("MAIL FROM:<a@example.org>\r\n");
    S("250 2.1.0 ok\r\n");
    C("RCPT TO:<b@example.net>\r\n");
    S("250 2.1.5 ok\r\n");
    ToServer();
    ToClient();
  }

  // A whole transaction that must go through: scanned once more, delivered
  // byte for byte, the server's answer relayed.
  void NextMessageGoesThrough(const std::string& body) {
    size_t scans = Scans().size();
    C("MAIL FROM:<a@example.org>\r\n");
    S("250 ok\r\n");
    C("RCPT TO:<b@example.net>\r\n");
    S("250 ok\r\n");
    EXPECT_EQ(ToServer(), "MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n");
    EXPECT_EQ(ToClient(), "250 ok\r\n250 ok\r\n");
    C("DATA\r\n");
    EXPECT_EQ(ToClient(), kReply354);
    C(body);
    ASSERT_EQ(Scans().size(), scans + 1);
    EXPECT_EQ(Scans().back().strSpool, body);
    EXPECT_EQ(ToServer(), "DATA\r\n");
    S("354 go ahead\r\n");
    EXPECT_EQ(ToServer(), body);
    S("250 2.0.0 queued\r\n");
    EXPECT_EQ(ToClient(), "250 2.0.0 queued\r\n");
    EXPECT_TRUE(SpoolFiles().empty());
  }

  CHostHarness m_host;
  CFakeSocketService& m_sockets = m_host.m_sockets;
  CFaultySpoolStore& m_store = *m_host.m_pStore;
  CHostSocket m_client{};
  CHostSocket m_server{};
  int m_nConnection = 0;
  bool m_bOpen = false;
  size_t m_nServerMark = 0;
  size_t m_nClientMark = 0;
  std::vector<std::pair<size_t, size_t>> m_steps;
};

// ---------------------------------------------------------------- spool faults

TEST_F(FaultInjectionTest, SpoolCannotBeCreatedDataRelayedAndMessagePassesUnscanned) {
  SetRelayUnspooled(true);
  Open();
  Envelope();
  m_store.m_create.Always();
  C("DATA\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\n");
  EXPECT_EQ(ToClient(), "") << "the 354 must be the server's own";
  S("354 send it\r\n");
  EXPECT_EQ(ToClient(), "354 send it\r\n");
  const std::string message = "Subject: raw\r\n\r\nunscanned body\r\n.\r\n";
  C(message);
  EXPECT_EQ(ToServer(), message);
  EXPECT_TRUE(Scans().empty());
  EXPECT_TRUE(SpoolFiles().empty());
  S("250 2.0.0 queued\r\n");
  EXPECT_EQ(ToClient(), "250 2.0.0 queued\r\n");

  m_store.m_create.Clear();
  NextMessageGoesThrough("Subject: scanned\r\n\r\nsecond\r\n.\r\n");
  End();
}

TEST_F(FaultInjectionTest, SpoolCannotBeCreatedServerRefusesData) {
  SetRelayUnspooled(true);
  Open();
  Envelope();
  m_store.m_create.Always();
  C("DATA\r\n");
  S("554 5.5.1 no valid recipients\r\n");
  EXPECT_EQ(ToClient(), "554 5.5.1 no valid recipients\r\n");
  // Back in command relay: the next line is a command again.
  C("RSET\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\nRSET\r\n");
  S("250 reset\r\n");
  EXPECT_EQ(ToClient(), "250 reset\r\n");
  m_store.m_create.Clear();
  NextMessageGoesThrough("Subject: after\r\n\r\nbody\r\n.\r\n");
  End();
}

enum class EWriteFault { kStoresNothing, kStoresOneByteLess, kCloseFails };

struct SWriteFaultCase {
  const char* name;
  EWriteFault fault;
  int write;  // 1: the start of the message, 2: the middle, 3: the end
};

// gtest prints parameters with this (not as raw bytes, padding included).
void PrintTo(const SWriteFaultCase& fault, std::ostream* out) { *out << fault.name; }

class SpoolWriteFault : public FaultInjectionTest,
                        public ::testing::WithParamInterface<SWriteFaultCase> {};

TEST_P(SpoolWriteFault, ClientHears452ServerGetsRsetNothingScannedOrLeft) {
  const SWriteFaultCase& fault = GetParam();
  Open();
  Envelope();
  C("DATA\r\n");
  EXPECT_EQ(ToClient(), kReply354);
  if (fault.fault == EWriteFault::kCloseFails) {
    m_store.m_close.Once(1);
  } else {
    m_store.m_write.Once(fault.write, fault.fault == EWriteFault::kStoresOneByteLess
                                          ? EFault::kShort
                                          : EFault::kFail);
  }
  // One read, one write: the message in three chunks.
  C("Subject: faulty\r\n\r\n");
  C("the middle of the body\r\n");
  EXPECT_EQ(ToServer(), "");
  C("the end of the body\r\n.\r\n");
  EXPECT_GT(m_store.FaultsFired(), 0) << "the fault never fired";
  EXPECT_EQ(ToClient(), kReplyNoStorage);
  EXPECT_EQ(ToServer(), "RSET\r\n");
  EXPECT_TRUE(Scans().empty()) << "a message with a hole was scanned";
  EXPECT_TRUE(SpoolFiles().empty());
  // The answer to the plug-in's RSET is not the client's.
  S("250 2.0.0 reset\r\n");
  EXPECT_EQ(ToClient(), "");

  NextMessageGoesThrough("Subject: next\r\n\r\nwhole this time\r\n.\r\n");
  End();
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, SpoolWriteFault,
    ::testing::Values(SWriteFaultCase{"NothingStoredAtStart", EWriteFault::kStoresNothing, 1},
                      SWriteFaultCase{"NothingStoredInMiddle", EWriteFault::kStoresNothing, 2},
                      SWriteFaultCase{"NothingStoredAtEnd", EWriteFault::kStoresNothing, 3},
                      SWriteFaultCase{"ShortWriteAtStart", EWriteFault::kStoresOneByteLess, 1},
                      SWriteFaultCase{"ShortWriteInMiddle", EWriteFault::kStoresOneByteLess, 2},
                      SWriteFaultCase{"ShortWriteAtEnd", EWriteFault::kStoresOneByteLess, 3},
                      SWriteFaultCase{"CloseReportsError", EWriteFault::kCloseFails, 3}),
    [](const ::testing::TestParamInfo<SWriteFaultCase>& test) {
      return std::string(test.param.name);
    });

TEST_F(FaultInjectionTest, SpoolCannotBeReopenedClientHears451ServerNoMessageByte) {
  Open();
  Envelope();
  C("DATA\r\n");
  C("Subject: lost\r\n\r\nnever delivered\r\n.\r\n");
  ASSERT_EQ(Scans().size(), 1u);
  EXPECT_EQ(ToServer(), "DATA\r\n");
  m_store.m_openRead.Once(1);
  S("354 go ahead\r\n");
  EXPECT_GT(m_store.FaultsFired(), 0);
  EXPECT_EQ(ToServer(), "") << "no message byte may follow the 354";
  EXPECT_EQ(ToClient(), std::string(kReply354) + kReplyNotDelivered);
  EXPECT_TRUE(SpoolFiles().empty());
  // The server's side is closed: later commands do not reach it.
  C("NOOP\r\n");
  EXPECT_EQ(ToServer(), "");
  EXPECT_EQ(ToClient().compare(0, 4, "421 "), 0);
  End();
}

TEST_F(FaultInjectionTest, ReadFailsDuringDeliveryServerNeverSeesTheEnd) {
  Open();
  Envelope();
  std::string message = "Subject: big\r\n\r\n";
  while (message.size() < 20000) message += "a line of the body that is long enough\r\n";
  message += ".\r\n";
  C("DATA\r\n");
  C(message);
  EXPECT_EQ(ToServer(), "DATA\r\n");
  m_store.m_read.Once(2);
  S("354 go ahead\r\n");
  EXPECT_GT(m_store.FaultsFired(), 0);
  std::string delivered = ToServer();
  EXPECT_LT(delivered.size(), message.size());
  EXPECT_EQ(message.compare(0, delivered.size(), delivered), 0) << "not a prefix of the message";
  EXPECT_EQ(delivered.find("\r\n.\r\n"), std::string::npos) << "the server saw an end of data";
  EXPECT_EQ(ToClient(), std::string(kReply354) + kReplyNotDelivered);
  EXPECT_TRUE(SpoolFiles().empty());
  End();
}

TEST_F(FaultInjectionTest, DeletionFailsTraceLineAndTheNextMessageStillGoesThrough) {
  Open();
  g_nDebugLevel = 1;
  Envelope();
  m_store.m_delete.Once(1);
  const std::string message = "Subject: kept\r\n\r\nbody\r\n.\r\n";
  C("DATA\r\n");
  C(message);
  S("354 go ahead\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\n" + message);
  S("250 2.0.0 queued\r\n");
  EXPECT_EQ(ToClient(), std::string(kReply354) + "250 2.0.0 queued\r\n");
  ASSERT_GT(m_store.FaultsFired(), 0);
  ASSERT_EQ(m_store.m_leftBehind.size(), 1u);
  std::string path = *m_store.m_leftBehind.begin();
  bool traced = false;
  for (const std::string& line : CTraceCapture::Lines()) {
    traced = traced || (line.find("Could not delete") != std::string::npos &&
                        line.find(path) != std::string::npos);
  }
  EXPECT_TRUE(traced) << "no trace line names the spool file that could not be deleted";
  std::error_code error;
  EXPECT_TRUE(fs::exists(path, error));
  // The name may be taken now: the next spool must not reuse the file.
  NextMessageGoesThrough("Subject: after\r\n\r\nanother body\r\n.\r\n");
  ASSERT_GE(m_store.Created().size(), 2u);
  EXPECT_NE(m_store.Created().back(), path);
  End();
}

TEST_F(FaultInjectionTest, ScannerThrowsMessageDeliveredWithoutItsText) {
  Open();
  Envelope();
  SVerdict verdict;
  verdict.nResult = 1;  // never read: the scanner throws first
  verdict.strText = "X-Never: inserted";
  verdict.nKeepAlives = 1;
  verdict.bThrow = true;
  m_host.m_scanner.Queue(verdict);
  const std::string message = "Subject: scanner down\r\n\r\nbody\r\n.\r\n";
  C("DATA\r\n");
  C(message);
  ASSERT_EQ(Scans().size(), 1u);
  EXPECT_EQ(ToServer(), "NOOP\r\n");  // DATA waits for its answer
  S("250 2.0.0 noop\r\n");
  EXPECT_EQ(ToServer(), "DATA\r\n");
  S("354 go ahead\r\n");
  EXPECT_EQ(ToServer(), message);
  S("250 2.0.0 queued\r\n");
  EXPECT_EQ(ToClient(), std::string(kReply354) + "250 2.0.0 queued\r\n");
  EXPECT_TRUE(SpoolFiles().empty());
  NextMessageGoesThrough("Subject: scanner back\r\n\r\nbody\r\n.\r\n");
  End();
}

// ---------------------------------------------------------------- socket faults

// Scanned: two messages, one step after the other, with a keep-alive and an
// inserted text in the first; the QUIT that follows the second message in its
// chunk is held until the message has been delivered.
// WithoutSpool: DATA goes to the server and the message passes through
// unscanned; then a line of binary junk (refused here), one of 8-bit bytes
// (relayed) and QUIT.
const char kSocketFaultDialogues[] = R"DLG(
== Scanned
V: 0 noop=1 | X-Scanned: first
V: 0
S: 220 mx.example ESMTP\r\n
>C: 220 mx.example ESMTP\r\n
C: EHLO client.example\r\n
>S: EHLO client.example\r\n
S: 250-mx.example\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 SIZE 1000000\r\n
>C: 250-mx.example\r\n250-PIPELINING\r\n250 SIZE 1000000\r\n
C: MAIL FROM:<a@example.org>\r\n
>S: MAIL FROM:<a@example.org>\r\n
S: 250 2.1.0 ok\r\n
>C: 250 2.1.0 ok\r\n
C: RCPT TO:<b@example.net>\r\n
>S: RCPT TO:<b@example.net>\r\n
S: 250 2.1.5 ok\r\n
>C: 250 2.1.5 ok\r\n
C: DATA\r\n
>C: {354}
C: Subject: first\r\n\r\nline one\r\n
C: line two\r\n.\r\n
>F: Subject: first\r\n\r\nline one\r\nline two\r\n.\r\n
>S: NOOP\r\n
S: 250 2.0.0 noop\r\n354 go ahead\r\n
>S: DATA\r\nSubject: first\r\nX-Scanned: first\r\n\r\nline one\r\nline two\r\n.\r\n
S: 250 2.0.0 queued as 1\r\n
>C: 250 2.0.0 queued as 1\r\n
C: MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n
>S: MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\n
S: 250 ok\r\n250 ok\r\n
>C: 250 ok\r\n250 ok\r\n
C: DATA\r\n
>C: {354}
C: Subject: second\r\n\r\nbody two\r\n.\r\nQUIT\r\n
>F: Subject: second\r\n\r\nbody two\r\n.\r\n
>S: DATA\r\n
S: 354 go ahead\r\n
>S: Subject: second\r\n\r\nbody two\r\n.\r\nQUIT\r\n
S: 250 2.0.0 queued as 2\r\n
>C: 250 2.0.0 queued as 2\r\n
S: 221 2.0.0 bye\r\n
>C: 221 2.0.0 bye\r\n

== WithoutSpool
relay-unspooled
fault: create
S: 220 mx.example ESMTP\r\n
>C: 220 mx.example ESMTP\r\n
C: EHLO client.example\r\n
>S: EHLO client.example\r\n
S: 250-mx.example\r\n250 SIZE 1000000\r\n
>C: 250-mx.example\r\n250 SIZE 1000000\r\n
C: MAIL FROM:<a@example.org>\r\n
>S: MAIL FROM:<a@example.org>\r\n
S: 250 2.1.0 ok\r\n
>C: 250 2.1.0 ok\r\n
C: RCPT TO:<b@example.net>\r\n
>S: RCPT TO:<b@example.net>\r\n
S: 250 2.1.5 ok\r\n
>C: 250 2.1.5 ok\r\n
C: DATA\r\n
>S: DATA\r\n
S: 354 go ahead\r\n
>C: 354 go ahead\r\n
C: Subject: raw\r\n\r\nline one\r\n
>S: Subject: raw\r\n\r\nline one\r\n
C: line two\r\n.\r\n
>S: line two\r\n.\r\n
S: 250 2.0.0 queued as 1\r\n
>C: 250 2.0.0 queued as 1\r\n
C: \0\0junk\r\n
>C: {500BAD}
C: NOOP \xff\xfejunk\r\n
>S: NOOP \xff\xfejunk\r\n
S: 500 5.5.2 what\r\n
>C: 500 5.5.2 what\r\n
C: QUIT\r\n
>S: QUIT\r\n
S: 221 2.0.0 bye\r\n
>C: 221 2.0.0 bye\r\n
)DLG";

enum class ESide { kClient, kServer };
enum class EOperation { kReceive, kSend };

struct SSocketFaultCase {
  const char* name;
  ESide side;
  EOperation operation;
  EFault fault;
  bool withoutSpool;  // the spool cannot be created: the message passes through
};

void PrintTo(const SSocketFaultCase& fault, std::ostream* out) { *out << fault.name; }

class SocketFaultAtEveryPosition : public FaultInjectionTest,
                                   public ::testing::WithParamInterface<SSocketFaultCase> {
 protected:
  void SetUp() override {
    FaultInjectionTest::SetUp();
    for (SDialogue& dialogue : ParseDialogues(kSocketFaultDialogues)) {
      ASSERT_TRUE(dialogue.strError.empty()) << dialogue.strError;
      if ((dialogue.strName == "WithoutSpool") == GetParam().withoutSpool) m_dialogue = dialogue;
    }
    ASSERT_FALSE(m_dialogue.steps.empty());
  }

  // Plays the dialogue's chunks one step after the other, with its verdicts;
  // the fault, if any, is armed.
  void Dialogue() {
    if (m_dialogue.bFailCreate) m_store.m_create.Always();
    if (m_dialogue.bRelayUnspooled) SetRelayUnspooled(true);
    for (const SStep& step : m_dialogue.steps) {
      if (step.kind == EStep::kVerdict) m_host.m_scanner.Queue(step.verdict);
      if (step.kind != EStep::kClient && step.kind != EStep::kServer) continue;
      if (step.kind == EStep::kClient) {
        C(step.bytes);
      } else {
        S(step.bytes);
      }
      Step();
    }
    m_store.m_create.Clear();
  }

  // Everything a side is expected to receive, in order.
  std::string Expected(EStep kind) {
    std::string all;
    for (const SStep& step : m_dialogue.steps) {
      if (step.kind == kind) all += step.bytes;
    }
    return all;
  }

  SDialogue m_dialogue;
};

TEST_P(SocketFaultAtEveryPosition, NothingLeftAndTheDialogueGoesOnWhereItSurvives) {
  const SSocketFaultCase& fault = GetParam();

  // The dialogue without faults, checked in full.
  Open();
  Dialogue();
  const std::string server = AllToServer();
  const std::string client = AllToClient();
  ASSERT_EQ(Printable(server), Printable(Expected(EStep::kExpectServer)));
  ASSERT_EQ(Printable(client), Printable(Expected(EStep::kExpectClient)));
  const std::vector<SScanRecord> scans = Scans();
  const std::vector<std::pair<size_t, size_t>> steps = m_steps;
  ASSERT_EQ(scans.size(), fault.withoutSpool ? 0u : 2u);
  std::vector<std::string> spools;
  for (const SStep& step : m_dialogue.steps) {
    if (step.kind == EStep::kExpectSpool) spools.push_back(step.bytes);
  }
  ASSERT_EQ(scans.size(), spools.size());
  for (size_t i = 0; i < scans.size(); ++i) EXPECT_EQ(scans[i].strSpool, spools[i]);
  const SOCKET handle = fault.side == ESide::kClient ? m_client.m_hSocket : m_server.m_hSocket;
  const int positions = fault.operation == EOperation::kReceive
                            ? m_sockets.Endpoint(handle).receives
                            : m_sockets.Endpoint(handle).sends;
  End();
  ASSERT_GT(positions, 5);

  // A receive that fails leaves the bytes waiting, and a send that reports
  // failure is not acted upon: the connection survives both, and everything
  // must go exactly as before. A send that throws breaks the connection.
  const bool survives = !(fault.operation == EOperation::kSend && fault.fault == EFault::kThrow);
  for (int position = 1; position <= positions; ++position) {
    SCOPED_TRACE(std::string(fault.name) + " at call " + std::to_string(position) + " of " +
                 std::to_string(positions));
    Open();
    const SOCKET side = fault.side == ESide::kClient ? m_client.m_hSocket : m_server.m_hSocket;
    if (fault.operation == EOperation::kReceive) {
      m_sockets.FailReceive(side, position, fault.fault);
    } else {
      m_sockets.FailSend(side, position, fault.fault);
    }
    Dialogue();
    EXPECT_GT(m_sockets.FaultsFired(), 0);
    if (survives) {
      // Step by step, not only in the end.
      EXPECT_EQ(m_steps, steps);
      EXPECT_EQ(Printable(AllToServer()), Printable(server));
      EXPECT_EQ(Printable(AllToClient()), Printable(client));
      ASSERT_EQ(Scans().size(), scans.size());
      for (size_t i = 0; i < scans.size(); ++i) {
        EXPECT_EQ(Scans()[i].strSpool, scans[i].strSpool);
      }
    }
    End();
    if (HasFatalFailure() || (survives && HasFailure())) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, SocketFaultAtEveryPosition,
    ::testing::Values(SSocketFaultCase{"ClientReceiveThrows", ESide::kClient, EOperation::kReceive,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ClientReceiveFails", ESide::kClient, EOperation::kReceive,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ServerReceiveThrows", ESide::kServer, EOperation::kReceive,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ServerReceiveFails", ESide::kServer, EOperation::kReceive,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ClientSendThrows", ESide::kClient, EOperation::kSend,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ClientSendFails", ESide::kClient, EOperation::kSend,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ServerSendThrows", ESide::kServer, EOperation::kSend,
                                       EFault::kThrow, false},
                      SSocketFaultCase{"ServerSendFails", ESide::kServer, EOperation::kSend,
                                       EFault::kFail, false},
                      SSocketFaultCase{"ClientReceiveThrowsWithoutSpool", ESide::kClient,
                                       EOperation::kReceive, EFault::kThrow, true},
                      SSocketFaultCase{"ClientReceiveFailsWithoutSpool", ESide::kClient,
                                       EOperation::kReceive, EFault::kFail, true},
                      SSocketFaultCase{"ServerReceiveThrowsWithoutSpool", ESide::kServer,
                                       EOperation::kReceive, EFault::kThrow, true},
                      SSocketFaultCase{"ServerReceiveFailsWithoutSpool", ESide::kServer,
                                       EOperation::kReceive, EFault::kFail, true},
                      SSocketFaultCase{"ClientSendThrowsWithoutSpool", ESide::kClient,
                                       EOperation::kSend, EFault::kThrow, true},
                      SSocketFaultCase{"ClientSendFailsWithoutSpool", ESide::kClient,
                                       EOperation::kSend, EFault::kFail, true},
                      SSocketFaultCase{"ServerSendThrowsWithoutSpool", ESide::kServer,
                                       EOperation::kSend, EFault::kThrow, true},
                      SSocketFaultCase{"ServerSendFailsWithoutSpool", ESide::kServer,
                                       EOperation::kSend, EFault::kFail, true}),
    [](const ::testing::TestParamInfo<SSocketFaultCase>& test) {
      return std::string(test.param.name);
    });

}  // namespace
