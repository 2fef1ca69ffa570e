// Transport behaviour that only POSIX can get wrong: descriptors above
// FD_SETSIZE, SIGPIPE from a peer that has gone, and signals that interrupt
// a readiness wait.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "boundary/settings.h"
#include "support/loopback_socket.h"
#include "support/trace_lines.h"
#include "transport/host_socket.h"

namespace {

constexpr int kHighDescriptor = 1500;

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Puts a signal's disposition back when the test ends.
class CSignalDisposition {
 public:
  CSignalDisposition(int signal, void (*handler)(int)) : m_nSignal(signal) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
    sigaction(m_nSignal, &action, &m_saved);
  }
  ~CSignalDisposition() { sigaction(m_nSignal, &m_saved, nullptr); }

 private:
  int m_nSignal;
  struct sigaction m_saved {};
};

void IgnoreSignal(int) {}

class TransportPosixTest : public ::testing::Test {
 protected:
  TransportPosixTest() : m_nSavedLevel(g_nDebugLevel), m_pSavedService(g_pISocket) {
    g_nDebugLevel = 3;
    g_pISocket = nullptr;
  }
  ~TransportPosixTest() override {
    g_nDebugLevel = m_nSavedLevel;
    g_pISocket = m_pSavedService;
  }

  CTraceLines m_trace;

 private:
  int32_t m_nSavedLevel;
  ISocket* m_pSavedService;
};

TEST_F(TransportPosixTest, DescriptorsAboveSelectsLimitWork) {
  rlimit limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  const rlimit saved = limit;
  if (limit.rlim_cur <= kHighDescriptor) {
    if (limit.rlim_max <= kHighDescriptor) {
      GTEST_SKIP() << "the hard limit on open files (" << limit.rlim_max << ") is too low";
    }
    limit.rlim_cur = kHighDescriptor + 1;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  }
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  ASSERT_EQ(kHighDescriptor, dup2(pair.Near(), kHighDescriptor));
  pair.CloseNear();
  CHostSocket socket{0, kHighDescriptor};
  char buffer[64];

  EXPECT_EQ(0, socket.Receive(buffer, sizeof buffer, 0, 0));
  ASSERT_TRUE(RawSendAll(pair.Far(), "high"));
  EXPECT_EQ(4, socket.Receive(buffer, sizeof buffer, 5000, 0));
  const std::string reply(100000, 'r');
  EXPECT_TRUE(SockSend(&socket, reply.data(), static_cast<int>(reply.size()), INFINITE));
  close(kHighDescriptor);
  EXPECT_EQ(reply, RawRecvUntilClosed(pair.Far(), reply.size() + 1));
  setrlimit(RLIMIT_NOFILE, &saved);
}

// Winsock reports a reset itself; here errno has to become its code.
TEST_F(TransportPosixTest, ResetByThePeerRaisesTheResetCode) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  pair.ResetFar();
  char buffer[64];

  try {
    socket.Receive(buffer, sizeof buffer, 5000, 0);
    ADD_FAILURE() << "the reset went unreported";
  } catch (const CWinSockException& failure) {
    EXPECT_EQ(WSAECONNRESET, failure.m_nError);
    EXPECT_EQ(0, failure.m_nReserved);
  }
}

TEST_F(TransportPosixTest, SendingToAPeerThatHasGoneRaisesNoSignal) {
  // The default disposition ends the process on SIGPIPE; the test program
  // may have inherited "ignore", which would hide the fault.
  CSignalDisposition pipe(SIGPIPE, SIG_DFL);
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  pair.CloseFar();
  const std::string data(65536, 'd');

  // The first bytes may still be taken; the peer's reset ends the sending.
  bool bSent = true;
  for (int attempt = 0; attempt < 50 && bSent; ++attempt) {
    bSent = SockSend(&socket, data.data(), static_cast<int>(data.size()), INFINITE);
  }
  EXPECT_FALSE(bSent);
  try {
    socket.Send(data.data(), 1, INFINITE);
    ADD_FAILURE() << "a send after the reset went through";
  } catch (const CWinSockException& failure) {
    EXPECT_EQ(WSAECONNRESET, failure.m_nError);
  }
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportPosixTest, SignalsDoNotCutAWaitShort) {
  CSignalDisposition user(SIGUSR1, &IgnoreSignal);
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  char buffer[16];
  const pthread_t waiter = pthread_self();
  // The received count, or minus the error raised.
  const auto receive = [&](DWORD timeoutMs) {
    try {
      return socket.Receive(buffer, sizeof buffer, timeoutMs, 0);
    } catch (const CWinSockException& failure) {
      return -failure.m_nError;
    }
  };

  // Nothing arrives: the wait lasts its full time-out despite the signals.
  std::thread interrupter([waiter] {
    for (int i = 0; i < 4; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      pthread_kill(waiter, SIGUSR1);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const int quiet = receive(400);
  const long long waited = MillisecondsSince(start);
  interrupter.join();
  EXPECT_EQ(0, quiet);
  EXPECT_GE(waited, 395);
  EXPECT_LT(waited, 2000);

  // Data after the signals is still received by the same wait.
  std::thread lateSender([waiter, &pair] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      pthread_kill(waiter, SIGUSR1);
    }
    RawSendAll(pair.Far(), "late");
  });
  const int late = receive(INFINITE);
  lateSender.join();
  ASSERT_EQ(4, late);
  EXPECT_EQ("late", std::string(buffer, 4));
}

}  // namespace
