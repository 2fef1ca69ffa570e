// The clamd scanner: reply parsing, and the INSTREAM exchange against a fake
// daemon on a loopback port (framing, content, failures, time-out, keep-alive
// while waiting).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/scan/clamd_scanner.h"
#include "host/base/net.h"
#include "host/tests/fake_clamd.h"
#include "support/scratch_directory.h"

namespace {

TEST(ClamdReplyTest, Verdicts) {
  // The fault decides what a pool does: kDaemon marks the daemon down and
  // retries elsewhere, kReply only retries, kMessage does neither.
  struct Case {
    std::string reply;
    Verdict verdict;
    std::string detail;
    ScanFault fault;
  };
  const Case cases[] = {
      {std::string("stream: OK\0", 11), Verdict::kClean, "", ScanFault::kNone},
      {"stream: OK\n", Verdict::kClean, "", ScanFault::kNone},
      {"stream: Eicar-Test-Signature FOUND", Verdict::kInfected, "Eicar-Test-Signature",
       ScanFault::kNone},
      {"stream: Win.Test.Name With Spaces FOUND\n", Verdict::kInfected, "Win.Test.Name With Spaces",
       ScanFault::kNone},
      {"INSTREAM size limit exceeded. ERROR", Verdict::kError, "size limit", ScanFault::kMessage},
      {"stream: Can't allocate memory ERROR", Verdict::kError, "allocate", ScanFault::kDaemon},
      {"stream: Can't create temporary file ERROR", Verdict::kError, "temporary",
       ScanFault::kDaemon},
      {"stream: Something else ERROR", Verdict::kError, "else", ScanFault::kReply},
      {"UNKNOWN COMMAND", Verdict::kError, "unexpected", ScanFault::kDaemon},
      {"stream: FOUND", Verdict::kError, "unexpected", ScanFault::kDaemon},
      {"", Verdict::kError, "empty", ScanFault::kDaemon},
  };
  for (const Case& c : cases) {
    ScanFault fault = ScanFault::kLocal;
    const ScanResult r = ParseClamdReply(c.reply, &fault);
    EXPECT_EQ(r.verdict, c.verdict) << c.reply;
    EXPECT_EQ(fault, c.fault) << c.reply;
    const std::string& detail = c.verdict == Verdict::kInfected ? r.signature : r.error;
    if (c.verdict == Verdict::kInfected) {
      EXPECT_EQ(detail, c.detail) << c.reply;
    } else if (!c.detail.empty()) {
      EXPECT_NE(detail.find(c.detail), std::string::npos) << c.reply << " -> " << detail;
    }
  }
}

enum class Behaviour {
  kReplyFound,
  kCloseWithoutReply,
  kNeverReply,
  kCleanCutShort,   // "stream: OK" without its NUL, then closes
  kCleanUnfinished  // the same, then says no more
};

// A one-connection daemon that records what it was sent.
class FakeClamd {
 public:
  explicit FakeClamd(Behaviour behaviour) : m_behaviour(behaviour) {
    std::string error;
    bool badAddress = false;
    m_listener = NetListen("127.0.0.1", 0, &m_port, &badAddress, &error);
    EXPECT_NE(m_listener, kNetInvalidSocket) << error;
    m_thread = std::thread([this] { Serve(); });
  }
  ~FakeClamd() {
    m_stop = true;
    m_thread.join();
    NetClose(m_listener);
  }
  uint16_t Port() const { return m_port; }
  std::string command;
  std::string content;
  int chunks = 0;
  bool terminated = false;

 private:
  void Serve() {
    NetSocket s = kNetInvalidSocket;
    while (s == kNetInvalidSocket && !m_stop) {
      NetPollItem item{m_listener, kNetIn, 0};
      NetPoll(&item, 1, 50);
      std::string peer;
      s = NetAccept(m_listener, &peer);
    }
    if (s == kNetInvalidSocket) return;
    char cmd[10];
    if (FakeClamdRead(s, cmd, sizeof cmd, m_stop)) command.assign(cmd, sizeof cmd);
    terminated = FakeClamdReadStream(s, m_stop, &content, &chunks);
    if (m_behaviour == Behaviour::kReplyFound) {
      static const char kReply[] = "stream: Fake.Signature FOUND";  // sent with its NUL
      NetSendAll(s, kReply, sizeof kReply, 2000, nullptr);
    } else if (m_behaviour != Behaviour::kCloseWithoutReply) {
      if (m_behaviour != Behaviour::kNeverReply) {
        static const char kReply[] = "stream: OK";
        NetSendAll(s, kReply, sizeof kReply - 1, 2000, nullptr);
      }
      if (m_behaviour != Behaviour::kCleanCutShort) {
        while (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    NetClose(s);
  }

  Behaviour m_behaviour;
  NetSocket m_listener = kNetInvalidSocket;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class ClamdScannerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(NetStartup(&error)) << error;
  }
  void Write(const std::string& content) {
    std::ofstream out(m_path, std::ios::binary);
    out << content;
  }
  CScratchDirectory m_scratch{"divivez-host-clamd-"};
  const std::string m_path = m_scratch.File("message.eml");
};

TEST_F(ClamdScannerTest, StreamsUnstuffedContentInFramesAndReadsTheVerdict) {
  // Large enough to take more than one frame.
  const std::string body = std::string(70000, 'a') + "\r\n..dotted\r\n";
  Write("Subject: x\r\n\r\n" + body + ".\r\nRSET\r\n");
  ScanResult result;
  {
    FakeClamd daemon(Behaviour::kReplyFound);
    ClamdScanner scanner("", Endpoint{"127.0.0.1", daemon.Port()}, 5000);
    ScanPacer pacer(nullptr, 0);
    result = scanner.Scan(m_path, pacer);
    EXPECT_EQ(daemon.command, std::string("zINSTREAM\0", 10));
    EXPECT_EQ(daemon.content, "Subject: x\r\n\r\n" + std::string(70000, 'a') + "\r\n.dotted\r\n");
    EXPECT_GE(daemon.chunks, 2);
    EXPECT_TRUE(daemon.terminated);
  }
  EXPECT_EQ(result.verdict, Verdict::kInfected);
  EXPECT_EQ(result.signature, "Fake.Signature");
}

TEST_F(ClamdScannerTest, DaemonFailuresAreScanErrors) {
  Write("Subject: x\r\n\r\nbody\r\n.\r\n");
  ScanPacer pacer(nullptr, 0);
  // A reply counts only with its NUL: "stream: OK" and then a close or
  // silence is no verdict. The fault is the daemon's, for a pool to retry.
  struct Case {
    Behaviour behaviour;
    int timeoutMs;
    const char* error;
  };
  const Case cases[] = {
      {Behaviour::kCloseWithoutReply, 5000, "without a reply"},
      {Behaviour::kCleanCutShort, 5000, "in the middle of reply 'stream: OK'"},
      {Behaviour::kCleanUnfinished, 300, "did not answer within 300 ms (reply 'stream: OK'"},
  };
  for (const Case& c : cases) {
    FakeClamd daemon(c.behaviour);
    ClamdScanner scanner("", Endpoint{"127.0.0.1", daemon.Port()}, c.timeoutMs);
    ScanFault fault = ScanFault::kNone;
    const ScanResult r = scanner.Attempt(m_path, pacer, &fault);
    EXPECT_EQ(r.verdict, Verdict::kError) << c.error;
    EXPECT_EQ(fault, ScanFault::kDaemon) << c.error;
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
  }
  uint16_t closedPort = 0;
  {
    // A port that was just listening and no longer is: connection refused.
    FakeClamd gone(Behaviour::kCloseWithoutReply);
    closedPort = gone.Port();
  }
  ClamdScanner down("", Endpoint{"127.0.0.1", closedPort}, 2000);
  const ScanResult r = down.Scan(m_path, pacer);
  EXPECT_EQ(r.verdict, Verdict::kError);
  EXPECT_NE(r.error.find("cannot reach"), std::string::npos) << r.error;

  ClamdScanner noFile("", Endpoint{"127.0.0.1", closedPort}, 2000);
  std::filesystem::remove(m_path);
  EXPECT_EQ(noFile.Scan(m_path, pacer).verdict, Verdict::kError);
}

TEST_F(ClamdScannerTest, TimeOutWhileKeepAlivesContinue) {
  Write("Subject: x\r\n\r\nbody\r\n.\r\n");
  FakeClamd daemon(Behaviour::kNeverReply);
  ClamdScanner scanner("", Endpoint{"127.0.0.1", daemon.Port()}, 600);
  int keepAlives = 0;
  ScanPacer pacer([&keepAlives] { ++keepAlives; }, 100);
  const auto start = std::chrono::steady_clock::now();
  const ScanResult r = scanner.Scan(m_path, pacer);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.verdict, Verdict::kError);
  EXPECT_NE(r.error.find("did not answer"), std::string::npos) << r.error;
  EXPECT_GE(elapsed, std::chrono::milliseconds(550));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
  // One keep-alive per 100 ms of waiting, give or take scheduling.
  EXPECT_GE(keepAlives, 3);
  EXPECT_LE(keepAlives, 7);
  EXPECT_EQ(pacer.Sent(), keepAlives);
}

}  // namespace
