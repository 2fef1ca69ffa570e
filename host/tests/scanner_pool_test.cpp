// The pool of clamd endpoints against fake daemons on loopback ports: scans
// shared out, failover with one retry, endpoints marked down and back up
// after PING, verdicts and the size limit never retried, and scans from many
// threads while an endpoint breaks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/net.h"
#include "host/scan/scanner_pool.h"
#include "host/tests/fake_clamd.h"
#include "support/scratch_directory.h"

namespace {

enum class Mode {
  kClean,       // "stream: OK"
  kInfected,    // "stream: Pool.Test FOUND"
  kSizeLimit,   // the size-limit ERROR
  kOddError,    // an ERROR reply that names no cause
  kClose,       // closes without a reply, to PING as well
  kSilent,      // never answers, until the client gives up
  kCutShort,    // "stream: OK" (to PING "PONG") without its NUL, then closes
  kUnfinished,  // the same, then waits until the client gives up
};

// A daemon that serves one connection after the other and counts them.
class FakeDaemon {
 public:
  explicit FakeDaemon(Mode initial) : mode(initial) {
    std::string error;
    bool badAddress = false;
    m_listener = NetListen("127.0.0.1", 0, &m_port, &badAddress, &error);
    EXPECT_NE(m_listener, kNetInvalidSocket) << error;
    m_thread = std::thread([this] { Serve(); });
  }
  ~FakeDaemon() {
    m_stop = true;
    m_thread.join();
    NetClose(m_listener);
  }
  std::unique_ptr<ClamdScanner> Scanner(int timeoutMs = 5000) const {
    return std::make_unique<ClamdScanner>("", Endpoint{"127.0.0.1", m_port}, timeoutMs);
  }
  uint16_t Port() const { return m_port; }
  std::string Name() const { return "127.0.0.1:" + std::to_string(m_port); }

  std::atomic<Mode> mode;
  std::atomic<int> scans{0};  // INSTREAM commands received
  std::atomic<int> pings{0};

 private:
  bool Read(NetSocket s, char* out, size_t n) { return FakeClamdRead(s, out, n, m_stop); }

  void Answer(NetSocket s, const std::string& reply) {
    const Mode now = mode.load();
    if (now == Mode::kClose) return;
    const bool whole = now != Mode::kCutShort && now != Mode::kUnfinished;
    if (now != Mode::kSilent) {
      // With its NUL when whole.
      NetSendAll(s, reply.c_str(), reply.size() + (whole ? 1 : 0), 2000, nullptr);
    }
    if (now == Mode::kSilent || now == Mode::kUnfinished) {
      char byte;
      while (Read(s, &byte, 1)) {
      }
    }
  }

  void Handle(NetSocket s) {
    std::string command;
    char c = 1;
    while (c != '\0' && command.size() < 16 && Read(s, &c, 1)) command += c;
    if (command == std::string("zPING\0", 6)) {
      Answer(s, "PONG");
      ++pings;  // after the answer: a test that waits for it knows the mode it met
      return;
    }
    if (command != std::string("zINSTREAM\0", 10)) return;
    ++scans;
    std::string content;
    int chunks = 0;
    if (!FakeClamdReadStream(s, m_stop, &content, &chunks)) return;
    switch (mode.load()) {
      case Mode::kInfected:
        return Answer(s, "stream: Pool.Test FOUND");
      case Mode::kSizeLimit:
        return Answer(s, "INSTREAM size limit exceeded. ERROR");
      case Mode::kOddError:
        return Answer(s, "stream: Something odd ERROR");
      case Mode::kClean:
      case Mode::kClose:
      case Mode::kSilent:
      case Mode::kCutShort:
      case Mode::kUnfinished:
        return Answer(s, "stream: OK");
    }
  }

  void Serve() {
    while (!m_stop) {
      NetPollItem item{m_listener, kNetIn, 0};
      NetPoll(&item, 1, 20);
      std::string peer;
      const NetSocket s = NetAccept(m_listener, &peer);
      if (s == kNetInvalidSocket) continue;
      Handle(s);
      NetClose(s);
    }
  }

  NetSocket m_listener = kNetInvalidSocket;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

bool WaitFor(const std::function<bool()>& condition) {
  // A bound for a hung test, not a speed requirement.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class ScannerPoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(NetStartup(&error)) << error;
  }
  void SetUp() override {
    std::ofstream out(m_path, std::ios::binary);
    out << "Subject: pool\r\n\r\nbody\r\n.\r\n";
  }

  // A pool over the daemons, once each has answered the start-up PING.
  std::unique_ptr<ScannerPool> Pool(const std::vector<FakeDaemon*>& daemons, int probeFirstMs = 20,
                                    int scanTimeoutMs = 5000) {
    std::vector<std::unique_ptr<ClamdScanner>> endpoints;
    for (FakeDaemon* daemon : daemons) endpoints.push_back(daemon->Scanner(scanTimeoutMs));
    ScannerPoolTiming timing{probeFirstMs, 80, 1000};
    auto pool = std::make_unique<ScannerPool>(std::move(endpoints), timing,
                                              [this](const std::string& line) {
                                                std::lock_guard<std::mutex> lock(m_logMutex);
                                                m_log += line + "\n";
                                              });
    for (FakeDaemon* daemon : daemons) {
      EXPECT_TRUE(WaitFor([daemon] { return daemon->pings.load() >= 1; }));
    }
    return pool;
  }
  ScanResult Scan(ScannerPool& pool) {
    ScanPacer pacer(nullptr, 0);
    return pool.Scan(m_path, pacer);
  }
  bool Logged(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log.find(text) != std::string::npos;
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
  }

  CScratchDirectory m_scratch{"divivez-host-pool-"};
  const std::string m_path = m_scratch.File("message.eml");
  std::mutex m_logMutex;
  std::string m_log;
};

TEST_F(ScannerPoolTest, IdleEndpointsTakeTurns) {
  FakeDaemon a(Mode::kClean), b(Mode::kClean);
  auto pool = Pool({&a, &b});
  EXPECT_EQ(pool->EndpointsTotal(), 2);
  EXPECT_EQ(pool->EndpointsUp(), 2);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Scan(*pool).verdict, Verdict::kClean);
  EXPECT_EQ(a.scans.load(), 5);
  EXPECT_EQ(b.scans.load(), 5);
  EXPECT_NE(pool->Describe().find(a.Name()), std::string::npos) << pool->Describe();
}

TEST_F(ScannerPoolTest, FailedEndpointIsRetriedElsewhereMarkedDownAndBackAfterPing) {
  // A reply without its NUL is a broken daemon as much as a lost connection.
  for (Mode broken : {Mode::kClose, Mode::kSilent, Mode::kCutShort, Mode::kUnfinished}) {
    SCOPED_TRACE(static_cast<int>(broken));
    FakeDaemon a(Mode::kClean), b(Mode::kClean);
    auto pool = Pool({&a, &b}, 20, 300);
    a.mode = broken;
    // One of the first two scans goes to a, fails there and is retried on
    // b, with the keep-alive still paced while a keeps it waiting.
    int keepAlives = 0;
    ScanPacer pacer([&keepAlives] { ++keepAlives; }, 50);
    EXPECT_EQ(pool->Scan(m_path, pacer).verdict, Verdict::kClean);
    EXPECT_EQ(pool->Scan(m_path, pacer).verdict, Verdict::kClean);
    EXPECT_EQ(a.scans.load(), 1);
    EXPECT_EQ(b.scans.load(), 2);
    if (broken == Mode::kSilent || broken == Mode::kUnfinished) {
      EXPECT_GE(keepAlives, 2);
    }
    EXPECT_EQ(pool->EndpointsUp(), 1);
    EXPECT_TRUE(Logged("scanner " + a.Name() + " down: ")) << Log();
    EXPECT_TRUE(Logged("trying it once more on " + b.Name())) << Log();

    // Down: skipped by scans, pinged again and again.
    const int pingsBefore = a.pings.load();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Scan(*pool).verdict, Verdict::kClean);
    EXPECT_EQ(a.scans.load(), 1);
    EXPECT_TRUE(WaitFor([&] { return a.pings.load() >= pingsBefore + 2; }));
    EXPECT_EQ(pool->EndpointsUp(), 1);

    a.mode = Mode::kClean;
    EXPECT_TRUE(WaitFor([&] { return pool->EndpointsUp() == 2; }));
    // The count goes up a moment before the line is written.
    EXPECT_TRUE(WaitFor([&] { return Logged("scanner " + a.Name() + " up again"); })) << Log();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Scan(*pool).verdict, Verdict::kClean);
    EXPECT_GE(a.scans.load(), 2);
  }
}

TEST_F(ScannerPoolTest, VerdictsAndTheSizeLimitAreFinalOtherErrorsRetried) {
  // Four scans; a takes the first and the third, b the others.
  struct Case {
    Mode mode;
    int infected;
    int errors;
    int bScans;
  };
  const Case cases[] = {
      {Mode::kInfected, 2, 0, 2},
      {Mode::kSizeLimit, 0, 2, 2},
      {Mode::kOddError, 0, 0, 4},  // retried on b, and a stays up
  };
  for (const Case& c : cases) {
    FakeDaemon a(c.mode), b(Mode::kClean);
    auto pool = Pool({&a, &b});
    int infected = 0;
    int errors = 0;
    for (int i = 0; i < 4; ++i) {
      const ScanResult r = Scan(*pool);
      infected += r.verdict == Verdict::kInfected;
      errors += r.verdict == Verdict::kError;
    }
    const int mode = static_cast<int>(c.mode);
    EXPECT_EQ(infected, c.infected) << mode;
    EXPECT_EQ(errors, c.errors) << mode;
    EXPECT_EQ(a.scans.load(), 2) << mode;
    EXPECT_EQ(b.scans.load(), c.bScans) << mode;
    EXPECT_EQ(pool->EndpointsUp(), 2) << mode;
  }
}

TEST_F(ScannerPoolTest, PoolOfOneFailsToThePolicyAndIsStillTried) {
  FakeDaemon a(Mode::kClean);
  // Probes too far apart to interfere: only scans change the state here.
  auto pool = Pool({&a}, 600000);
  a.mode = Mode::kClose;
  const ScanResult failed = Scan(*pool);
  EXPECT_EQ(failed.verdict, Verdict::kError);
  EXPECT_NE(failed.error.find("without a reply"), std::string::npos) << failed.error;
  EXPECT_EQ(pool->EndpointsUp(), 0);
  // No other endpoint to retry on; while it is the only one, every scan
  // still tries it, and an answer brings it back.
  EXPECT_EQ(Scan(*pool).verdict, Verdict::kError);
  EXPECT_EQ(a.scans.load(), 2);
  a.mode = Mode::kClean;
  EXPECT_EQ(Scan(*pool).verdict, Verdict::kClean);
  EXPECT_EQ(pool->EndpointsUp(), 1);
  EXPECT_TRUE(Logged("up again")) << Log();
}

TEST_F(ScannerPoolTest, DownFromTheStartAndBothFailing) {
  uint16_t closedPort = 0;
  {
    // A port that was just listening and no longer is: connection refused.
    FakeDaemon gone(Mode::kClean);
    closedPort = gone.Port();
  }
  FakeDaemon b(Mode::kClose);
  std::vector<std::unique_ptr<ClamdScanner>> endpoints;
  endpoints.push_back(std::make_unique<ClamdScanner>("", Endpoint{"127.0.0.1", closedPort}, 2000));
  endpoints.push_back(b.Scanner());
  ScannerPool pool(std::move(endpoints), ScannerPoolTiming{600000, 600000, 1000},
                   [this](const std::string& line) {
                     std::lock_guard<std::mutex> lock(m_logMutex);
                     m_log += line + "\n";
                   });
  EXPECT_TRUE(WaitFor([&] { return pool.EndpointsUp() == 0; })) << Log();
  EXPECT_TRUE(Logged("PING failed")) << Log();
  const ScanResult r = Scan(pool);
  EXPECT_EQ(r.verdict, Verdict::kError);
}

TEST_F(ScannerPoolTest, ManyThreadsWhileAnEndpointBreaks) {
  FakeDaemon a(Mode::kClean), b(Mode::kClean);
  auto pool = Pool({&a, &b});
  std::atomic<int> clean{0};
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (Scan(*pool).verdict == Verdict::kClean) ++clean;
        if (++done == 20) a.mode = Mode::kClose;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Each scan that met the broken endpoint got its verdict from the other.
  EXPECT_EQ(clean.load(), 60) << Log();
  EXPECT_EQ(pool->EndpointsUp(), 1);
}

}  // namespace
