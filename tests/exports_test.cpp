// The exported functions: settings, the connection registry, the path from
// each request export to its session, and the trace lines they write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "boundary/connection_registry.h"
#include "boundary/plugin_exports.h"
#include "boundary/settings.h"
#include "session/smtp_connection.h"
#include "support/fake_host.h"
#include "support/plugin_settings.h"

namespace {

const SOCKET kClient = 100001;
const SOCKET kServer = 100002;

CSmtpConnection* Session(CHostSocket* client) {
  ConnectionMap::iterator it = g_mapConnections.find(client);
  return it != g_mapConnections.end() ? it->second : nullptr;
}

class ExportsTest : public ::testing::Test {
 protected:
  ExportsTest() : client_{0, kClient}, server_{0, kServer} {}
  ~ExportsTest() override {
    harness_.Finish();
    SetTraceLevel(0);
  }

  CHostHarness harness_;
  CHostSocket client_;
  CHostSocket server_;
};

TEST_F(ExportsTest, SessionsCopyTheKeepAliveSettingsWhenCreated) {
  harness_.Open(&client_, 7);
  CSmtpConnection* before = Session(&client_);
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(before->m_bTimeoutProtection, 0u);
  EXPECT_EQ(before->m_dwTimeoutProtection, 5000u);
  EXPECT_EQ(before->m_nHostContext, 7);

  SetTimeoutProtection(30);
  EXPECT_EQ(before->m_bTimeoutProtection, 0u) << "a running session keeps its copy";
  CHostSocket other{0, kClient + 10};
  harness_.Open(&other, 8);
  EXPECT_EQ(Session(&other)->m_bTimeoutProtection, 1u);
  EXPECT_EQ(Session(&other)->m_dwTimeoutProtection, 30000u);

  // Off again: later sessions have it off, with the last interval kept.
  SetTimeoutProtection(-4);
  CHostSocket third{0, kClient + 20};
  harness_.Open(&third, 9);
  EXPECT_EQ(Session(&third)->m_bTimeoutProtection, 0u);
  EXPECT_EQ(Session(&third)->m_dwTimeoutProtection, 30000u);
  EXPECT_EQ(Session(&other)->m_bTimeoutProtection, 1u);
}

TEST_F(ExportsTest, SecondNewConnectionReplacesTheSessionAndItsSpool) {
  SetTraceLevel(1);
  harness_.Open(&client_, 1);
  harness_.m_sockets.Push(kServer, "220 mx ready\r\n");
  OnRequestFromServer(&client_, &server_);
  harness_.m_sockets.Push(kClient, "DATA\r\nSubject: half a message\r\n");
  OnRequestFromApplication(&client_, &server_);
  ASSERT_EQ(harness_.m_pStore->Created().size(), 1u);
  const std::string spool = harness_.m_pStore->Created()[0];

  CTraceCapture::Clear();
  harness_.Open(&client_, 2);
  EXPECT_EQ(g_mapConnections.count(&client_), 1u);
  CSmtpConnection* fresh = Session(&client_);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->m_nHostContext, 2);
  EXPECT_EQ(fresh->State(), ESessionState::kCommandRelay);
  EXPECT_TRUE(fresh->m_strCommand.empty());
  EXPECT_FALSE(harness_.m_pStore->IsOpen(spool));
  EXPECT_EQ(CTraceCapture::All(), "DIVIVEZ: NewConnection " + std::to_string(kClient) +
                                      "\nDIVIVEZ: Connection already exists, delete old one\n");
}

TEST_F(ExportsTest, RequestsForUnknownConnectionsTouchNoSocket) {
  for (int level : {0, 1}) {
    SetTraceLevel(level);
    CTraceCapture::Clear();
    harness_.m_sockets.Push(kClient, "HELO x\r\n");
    harness_.m_sockets.Push(kServer, "220 hi\r\n");
    EXPECT_EQ(OnRequestFromApplication(&client_, &server_), 0);
    EXPECT_EQ(OnRequestFromServer(&client_, &server_), 0);
    EXPECT_EQ(harness_.m_sockets.Consumed(kClient), 0u);
    EXPECT_EQ(harness_.m_sockets.Consumed(kServer), 0u);
    EXPECT_EQ(harness_.m_sockets.Sent(kServer), "");
    std::string expected = level == 0
                               ? ""
                               : "DIVIVEZ: OnRequestFromApplication(100001): no connection found\n"
                                 "DIVIVEZ: OnRequestFromServer(100001): no connection found\n";
    EXPECT_EQ(CTraceCapture::All(), expected) << "level " << level;
    harness_.m_sockets.Reset();
  }
  // Ended connections are unknown too, and ending one twice changes nothing.
  harness_.Open(&client_, 1);
  harness_.End(&client_);
  OnEndConnection(&client_);
  EXPECT_EQ(g_mapConnections.count(&client_), 0u);
  harness_.m_sockets.Push(kClient, "HELO x\r\n");
  EXPECT_EQ(OnRequestFromApplication(&client_, &server_), 0);
}

TEST_F(ExportsTest, RequestCallsReturnEveryByteTheyRead) {
  harness_.Open(&client_, 1);
  EXPECT_EQ(OnRequestFromServer(&client_, &server_), 0) << "nothing waiting";
  harness_.m_sockets.Push(kServer, "220-mx\r\n");
  harness_.m_sockets.Push(kServer, "220 ready\r\n");
  EXPECT_EQ(OnRequestFromServer(&client_, &server_), 19);
  harness_.m_sockets.Push(kClient, "EHLO a\r\n");
  harness_.m_sockets.Push(kClient, "NOOP\r\n");
  harness_.m_sockets.Push(kClient, "QU");
  EXPECT_EQ(OnRequestFromApplication(&client_, &server_), 16);
  EXPECT_EQ(harness_.m_sockets.Sent(kClient), "220-mx\r\n220 ready\r\n");
  // Read, though the NOOP waits for the answer to EHLO (RFC 2920).
  EXPECT_EQ(harness_.m_sockets.Sent(kServer), "EHLO a\r\n");
}

// What each trace level adds, on one short dialogue.
TEST_F(ExportsTest, TraceLevelsAddTheirLines) {
  struct SLevel {
    int level;
    bool operational, serverEcho, commandEcho;
  };
  for (const SLevel& expect : {SLevel{0, false, false, false}, SLevel{1, true, false, false},
                               SLevel{2, true, true, false}, SLevel{3, true, true, true}}) {
    SetTraceLevel(expect.level);
    CTraceCapture::Clear();
    harness_.Open(&client_, 1);
    harness_.m_sockets.Push(kServer, "220 mx\r\n");
    OnRequestFromServer(&client_, &server_);
    harness_.m_sockets.Push(kClient, "HELO me\r\n");
    OnRequestFromApplication(&client_, &server_);
    harness_.Finish();
    const std::string all = CTraceCapture::All();
    EXPECT_EQ(all.find("DIVIVEZ: NewConnection 100001\n") != std::string::npos, expect.operational)
        << all;
    EXPECT_EQ(all.find("DIVIVEZ: OnPendingRequestFromApplication...\n") != std::string::npos,
              expect.operational);
    EXPECT_EQ(all.find("DIVIVEZ: EndConnection 100001\n") != std::string::npos, expect.operational);
    EXPECT_EQ(all.find("S: 220 mx\r\n\n") != std::string::npos, expect.serverEcho) << all;
    EXPECT_EQ(all.find("DIVIVEZ: Complete command: HELO me\r\n\n") != std::string::npos,
              expect.commandEcho)
        << all;
    if (expect.level == 0) {
      EXPECT_EQ(all, "");
    }
  }
}

TEST_F(ExportsTest, LockTimesOutWhileAnotherThreadHoldsIt) {
  ASSERT_NE(g_hConnectionMutex, nullptr);
  ASSERT_EQ(WaitForLock(INFINITE), 1);
  int taken = -1;
  std::thread other([&taken] { taken = WaitForLock(50); });
  other.join();
  EXPECT_EQ(taken, 0);
  ReleaseLock();
  std::thread again([&taken] {
    taken = WaitForLock(1000);
    if (taken) ReleaseLock();
  });
  again.join();
  EXPECT_EQ(taken, 1);
}

// Older Windows versions fail a wait whose wake mask has bits they do not
// know (QS_TOUCH, QS_POINTER in newer headers' QS_ALLINPUT).
DWORD g_dwSeenWakeMask = 0;
DWORD RecordingLockWait(HANDLE, DWORD, DWORD wakeMask) {
  g_dwSeenWakeMask = wakeMask;
  return WAIT_TIMEOUT;
}

TEST_F(ExportsTest, LockWaitUsesTheWakeMaskEveryWindowsKnows) {
  SetLockWaitForTesting(&RecordingLockWait);
  EXPECT_EQ(WaitForLock(10), 0);
  SetLockWaitForTesting(nullptr);
  EXPECT_EQ(g_dwSeenWakeMask, 0x5FFu);
}

}  // namespace
