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
#include "support/scratch_directory.h"

namespace {

TEST(ClamdReplyTest, Verdicts) {
  struct Case {
    std::string reply;
    Verdict verdict;
    std::string detail;
  };
  const Case cases[] = {
      {std::string("stream: OK\0", 11), Verdict::kClean, ""},
      {"stream: OK\n", Verdict::kClean, ""},
      {"stream: Eicar-Test-Signature FOUND", Verdict::kInfected, "Eicar-Test-Signature"},
      {"stream: Win.Test.Name With Spaces FOUND\n", Verdict::kInfected,
       "Win.Test.Name With Spaces"},
      {"INSTREAM size limit exceeded. ERROR", Verdict::kError, "size limit"},
      {"stream: Can't allocate memory ERROR", Verdict::kError, "allocate"},
      {"UNKNOWN COMMAND", Verdict::kError, "unexpected"},
      {"stream: FOUND", Verdict::kError, "unexpected"},
      {"", Verdict::kError, "empty"},
  };
  for (const Case& c : cases) {
    const ScanResult r = ParseClamdReply(c.reply);
    EXPECT_EQ(r.verdict, c.verdict) << c.reply;
    const std::string& detail = c.verdict == Verdict::kInfected ? r.signature : r.error;
    if (c.verdict == Verdict::kInfected) {
      EXPECT_EQ(detail, c.detail) << c.reply;
    } else if (!c.detail.empty()) {
      EXPECT_NE(detail.find(c.detail), std::string::npos) << c.reply << " -> " << detail;
    }
  }
}

enum class Behaviour { kReplyFound, kCloseWithoutReply, kNeverReply };

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
  bool ReadExactly(NetSocket s, char* out, size_t n) {
    size_t got = 0;
    while (got < n && !m_stop) {
      const int r = NetRecv(s, out + got, static_cast<int>(n - got));
      if (r > 0) {
        got += static_cast<size_t>(r);
      } else if (r == kNetWouldBlock) {
        NetPollItem item{s, kNetIn, 0};
        NetPoll(&item, 1, 50);
      } else {
        return false;
      }
    }
    return got == n;
  }

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
    if (ReadExactly(s, cmd, sizeof cmd)) command.assign(cmd, sizeof cmd);
    for (;;) {
      unsigned char length[4];
      if (!ReadExactly(s, reinterpret_cast<char*>(length), 4)) break;
      const uint32_t n = (uint32_t{length[0]} << 24) | (uint32_t{length[1]} << 16) |
                         (uint32_t{length[2]} << 8) | length[3];
      if (n == 0) {
        terminated = true;
        break;
      }
      std::string chunk(n, '\0');
      if (!ReadExactly(s, &chunk[0], n)) break;
      content += chunk;
      ++chunks;
    }
    if (m_behaviour == Behaviour::kReplyFound) {
      static const char kReply[] = "stream: Fake.Signature FOUND";  // sent with its NUL
      NetSendAll(s, kReply, sizeof kReply, 2000, nullptr);
    } else if (m_behaviour == Behaviour::kNeverReply) {
      while (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
  {
    FakeClamd daemon(Behaviour::kCloseWithoutReply);
    ClamdScanner scanner("", Endpoint{"127.0.0.1", daemon.Port()}, 5000);
    const ScanResult r = scanner.Scan(m_path, pacer);
    EXPECT_EQ(r.verdict, Verdict::kError);
    EXPECT_NE(r.error.find("without a reply"), std::string::npos) << r.error;
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
