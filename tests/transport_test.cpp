// The socket transport on real loopback connections: polling receives,
// sends that continue after partial writes and retry after WSAEWOULDBLOCK,
// failures that end a send quietly, and the host's socket service taking
// over both directions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "boundary/settings.h"
#include "support/loopback_socket.h"
#include "support/send_faults.h"
#include "support/trace_lines.h"
#include "transport/host_socket.h"

namespace {

constexpr char kRetryLine[] = "DIVIVEZ: WinSock error WSAEWOULDBLOCK, retry after 100 ms\n";
constexpr SOCKET kNotASocket = static_cast<SOCKET>(4711);

// Bytes in which a skipped or repeated stretch cannot go unnoticed.
std::string Pattern(size_t length) {
  std::minstd_rand generator(20240607u);
  std::string bytes(length, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Reads on its own thread: starts after a delay, then reads small chunks with
// a pause between them, until the expected count or the end of the stream.
class CSlowReader {
 public:
  CSlowReader(SOCKET socket, size_t expected, int startDelayMs, int chunk, int pauseMs)
      : m_thread([=] {
          std::this_thread::sleep_for(std::chrono::milliseconds(startDelayMs));
          std::vector<char> buffer(static_cast<size_t>(chunk));
          while (m_strReceived.size() < expected) {
            const int count = RawRecv(socket, buffer.data(), chunk);
            if (count <= 0) break;
            m_strReceived.append(buffer.data(), static_cast<size_t>(count));
            if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
          }
        }) {}
  ~CSlowReader() {
    if (m_thread.joinable()) m_thread.join();
  }
  std::string Join() {
    m_thread.join();
    return m_strReceived;
  }

 private:
  std::string m_strReceived;  // written by the thread only until Join
  std::thread m_thread;
};

// The offsets at which the recorded send() calls began, relative to data.
// Each call must offer everything from its offset to the end.
std::vector<long> OffsetsOffered(const std::vector<CSendCall>& calls, const std::string& data) {
  std::vector<long> offsets;
  for (const CSendCall& call : calls) {
    const long offset = static_cast<long>(call.m_pData - data.data());
    EXPECT_EQ(static_cast<long>(data.size()) - offset, call.m_nLength) << "at offset " << offset;
    offsets.push_back(offset);
  }
  return offsets;
}

class TransportTest : public ::testing::Test {
 protected:
  TransportTest() : m_nSavedLevel(g_nDebugLevel), m_pSavedService(g_pISocket) {
    g_nDebugLevel = 3;
    g_pISocket = nullptr;
  }
  ~TransportTest() override {
    DisarmSendScript();
    g_nDebugLevel = m_nSavedLevel;
    g_pISocket = m_pSavedService;
  }

  // The error of the exception that fn throws, or 0 when it throws none.
  template <typename Fn>
  static int RaisedError(Fn fn) {
    try {
      fn();
    } catch (const CWinSockException& failure) {
      EXPECT_EQ(0, failure.m_nReserved);
      return failure.m_nError;
    }
    return 0;
  }

  CTraceLines m_trace;

 private:
  int32_t m_nSavedLevel;
  ISocket* m_pSavedService;
};

using TransportReceiveTest = TransportTest;
using TransportSendTest = TransportTest;

TEST_F(TransportReceiveTest, PollWithNothingWaitingReturnsZeroWithoutReading) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  // On a non-blocking socket a recv() with nothing waiting fails with
  // WSAEWOULDBLOCK, which Receive would raise: a plain 0 means no recv().
  ASSERT_TRUE(SetTestSocketNonBlocking(pair.Near()));
  CHostSocket socket{0, pair.Near()};
  char buffer[64];

  EXPECT_EQ(0, socket.Receive(buffer, sizeof buffer, 0, 0));
  EXPECT_EQ(0, SockReceive(&socket, buffer, sizeof buffer, 0, 0));

  ASSERT_TRUE(RawSendAll(pair.Far(), "later"));
  ASSERT_EQ(5, socket.Receive(buffer, sizeof buffer, 5000, 0));
  EXPECT_EQ("later", std::string(buffer, 5));
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportReceiveTest, PeekLeavesTheBytesForTheNextRead) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  ASSERT_TRUE(RawSendAll(pair.Far(), "hello"));
  char buffer[64];

  ASSERT_EQ(5, socket.Receive(buffer, sizeof buffer, 5000, 1));
  EXPECT_EQ("hello", std::string(buffer, 5));
  ASSERT_EQ(5, socket.Receive(buffer, sizeof buffer, 0, 0));
  EXPECT_EQ("hello", std::string(buffer, 5));
  EXPECT_EQ(0, socket.Receive(buffer, sizeof buffer, 0, 0));
}

TEST_F(TransportReceiveTest, ReadTakesAtMostTheBufferSize) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  ASSERT_TRUE(RawSendAll(pair.Far(), "0123456789"));
  char buffer[16] = {};

  ASSERT_EQ(4, socket.Receive(buffer, 4, 5000, 0));
  EXPECT_EQ("0123", std::string(buffer, 4));
  EXPECT_EQ('\0', buffer[4]);
  std::string rest;
  while (rest.size() < 6) {
    const int count = socket.Receive(buffer, sizeof buffer, 5000, 0);
    ASSERT_GT(count, 0);
    rest.append(buffer, static_cast<size_t>(count));
  }
  EXPECT_EQ("456789", rest);
}

TEST_F(TransportReceiveTest, ClosedPeerReadsAsZeroLikeNothingWaiting) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  ASSERT_TRUE(RawSendAll(pair.Far(), "bye"));
  pair.CloseFar();
  char buffer[64];

  ASSERT_EQ(3, socket.Receive(buffer, sizeof buffer, 5000, 0));
  // The wait must end on the close itself, well before its time-out.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, socket.Receive(buffer, sizeof buffer, 5000, 0));
  EXPECT_LT(MillisecondsSince(start), 2500);
  EXPECT_EQ(0, SockReceive(&socket, buffer, sizeof buffer, 0, 0));
}

TEST_F(TransportReceiveTest, HandleThatIsNoSocketRaisesNotASocket) {
  char buffer[16];
  CHostSocket invalid{0, INVALID_SOCKET};
  EXPECT_EQ(WSAENOTSOCK, RaisedError([&] { invalid.Receive(buffer, sizeof buffer, 0, 0); }));
  EXPECT_EQ(WSAENOTSOCK, RaisedError([&] { invalid.Send("x", 1, INFINITE); }));

  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket closed{0, pair.Near()};
  pair.CloseNear();
  EXPECT_EQ(WSAENOTSOCK, RaisedError([&] { closed.Receive(buffer, sizeof buffer, 0, 0); }));
  EXPECT_EQ(WSAENOTSOCK, RaisedError([&] { closed.Send("x", 1, INFINITE); }));
}

TEST_F(TransportSendTest, EmptyBufferSucceedsWithoutTouchingTheSocket) {
  // Any use of this handle would fail.
  CHostSocket invalid{0, INVALID_SOCKET};
  EXPECT_EQ(1, invalid.SendAll("x", 0, INFINITE));
  EXPECT_TRUE(SockSend(&invalid, "x", 0, INFINITE));
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportSendTest, NegativeLengthSendsNothingAndFails) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  EXPECT_EQ(0, socket.SendAll("ignored", -1, INFINITE));
  ASSERT_EQ(1, socket.SendAll("end", 3, INFINITE));
  pair.CloseNear();
  EXPECT_EQ("end", RawRecvUntilClosed(pair.Far(), 100));
}

TEST_F(TransportSendTest, ShortWritesContinueFromTheFirstByteNotTaken) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  const std::string data = Pattern(300);
  ArmSendScript(pair.Near(),
                {{ESendStep::kShort, 10}, {ESendStep::kShort, 1}, {ESendStep::kShort, 100}});

  ASSERT_EQ(1, socket.SendAll(data.data(), static_cast<int>(data.size()), INFINITE));
  EXPECT_EQ((std::vector<long>{0, 10, 11, 111}), OffsetsOffered(SendCallsOnArmedSocket(), data));
  pair.CloseNear();
  EXPECT_EQ(data, RawRecvUntilClosed(pair.Far(), data.size() + 1));
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportSendTest, SingleSendReportsHowMuchTheSocketTook) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  ASSERT_TRUE(SetTestSocketNonBlocking(pair.Near()));
  ASSERT_TRUE(SetTestSocketSendBuffer(pair.Near(), 4096));
  CHostSocket socket{0, pair.Near()};
  // Far more than the two socket buffers hold while nobody reads.
  const std::string data = Pattern(16 << 20);

  const int taken = socket.Send(data.data(), static_cast<int>(data.size()), INFINITE);
  ASSERT_GT(taken, 0);
  ASSERT_LT(taken, static_cast<int>(data.size()));
  pair.CloseNear();
  EXPECT_EQ(data.substr(0, static_cast<size_t>(taken)),
            RawRecvUntilClosed(pair.Far(), data.size()));
}

TEST_F(TransportSendTest, SlowReaderGetsEveryByteOnceAndInOrder) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  ASSERT_TRUE(SetTestSocketNonBlocking(pair.Near()));
  ASSERT_TRUE(SetTestSocketSendBuffer(pair.Near(), 4096));
  CHostSocket socket{0, pair.Near()};
  const std::string data = Pattern(4 << 20);
  ArmSendScript(pair.Near(), {});  // record only
  CSlowReader reader(pair.Far(), data.size(), 300, 16384, 1);

  ASSERT_TRUE(SockSend(&socket, data.data(), static_cast<int>(data.size()), INFINITE));
  EXPECT_EQ(data, reader.Join());

  const std::vector<long> offsets = OffsetsOffered(SendCallsOnArmedSocket(), data);
  EXPECT_GT(offsets.size(), 1u) << "the socket took everything at once";
  for (size_t i = 1; i < offsets.size(); ++i) EXPECT_LE(offsets[i - 1], offsets[i]);
  // Whatever the platform made of the full buffer, the only line is the retry.
  for (const std::string& line : m_trace.Lines()) EXPECT_EQ(kRetryLine, line);
}

TEST_F(TransportSendTest, WouldBlockIsRetriedFromTheFirstUnsentByte) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  const std::string data = Pattern(5000);
  ArmSendScript(pair.Near(), {{ESendStep::kShort, 1000},
                              {ESendStep::kWouldBlock, 0},
                              {ESendStep::kShort, 500},
                              {ESendStep::kWouldBlock, 0},
                              {ESendStep::kWouldBlock, 0}});

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(1, socket.SendAll(data.data(), static_cast<int>(data.size()), INFINITE));
  EXPECT_GE(MillisecondsSince(start), 290) << "three retries, 100 ms apart";

  EXPECT_EQ((std::vector<long>{0, 1000, 1000, 1500, 1500, 1500}),
            OffsetsOffered(SendCallsOnArmedSocket(), data));
  pair.CloseNear();
  EXPECT_EQ(data, RawRecvUntilClosed(pair.Far(), data.size() + 1));
  EXPECT_EQ(std::vector<std::string>(3, kRetryLine), m_trace.Lines());
}

TEST_F(TransportSendTest, WouldBlockRetryWritesNoLineAtLevelZero) {
  g_nDebugLevel = 0;
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  ArmSendScript(pair.Near(), {{ESendStep::kWouldBlock, 0}});

  ASSERT_TRUE(SockSend(&socket, "NOOP\r\n", 6, INFINITE));
  EXPECT_EQ(2u, SendCallsOnArmedSocket().size());
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportSendTest, OtherFailuresEndTheSendQuietly) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  const std::string data = Pattern(1000);
  ArmSendScript(pair.Near(), {{ESendStep::kShort, 100}, {ESendStep::kReset, 0}});

  EXPECT_EQ(0, socket.SendAll(data.data(), static_cast<int>(data.size()), INFINITE));
  // No retry after the failure.
  EXPECT_EQ((std::vector<long>{0, 100}), OffsetsOffered(SendCallsOnArmedSocket(), data));
  DisarmSendScript();
  pair.CloseNear();
  EXPECT_EQ(data.substr(0, 100), RawRecvUntilClosed(pair.Far(), data.size()));

  CHostSocket invalid{0, INVALID_SOCKET};
  EXPECT_EQ(0, invalid.SendAll("x", 1, INFINITE));
  EXPECT_FALSE(SockSend(&invalid, "x", 1, INFINITE));
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportSendTest, PeerResetEndsTheSendQuietly) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  pair.ResetFar();
  const std::string data = Pattern(1 << 20);

  bool bSent = true;
  EXPECT_NO_THROW(bSent = SockSend(&socket, data.data(), static_cast<int>(data.size()), INFINITE));
  EXPECT_FALSE(bSent);
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportSendTest, NotWritableWithinTheTimeOutSendsNothing) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  ASSERT_TRUE(SetTestSocketNonBlocking(pair.Near()));
  ASSERT_TRUE(SetTestSocketSendBuffer(pair.Near(), 4096));
  // Fill both buffers while nobody reads, until they stay full: the kernel
  // may still be moving bytes across, or growing the receive buffer.
  const std::string filler(65536, 'f');
  long long queued = 0;
  for (int round = 0; round < 50; ++round) {
    long long added = 0;
    for (;;) {
      const int sent = RawSend(pair.Near(), filler.data(), static_cast<int>(filler.size()));
      if (sent <= 0) break;
      added += sent;
    }
    queued += added;
    if (round > 0 && added == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GT(queued, 0);
  CHostSocket socket{0, pair.Near()};
  ArmSendScript(pair.Near(), {});  // record only

  EXPECT_EQ(0, socket.Send("x", 1, 0));
  EXPECT_EQ(0, socket.SendAll("x", 1, 50));
  EXPECT_TRUE(SendCallsOnArmedSocket().empty());
  EXPECT_TRUE(m_trace.Lines().empty());
}

// The host's socket service: every call goes to it, with the arguments the
// host understands, and its result comes back as it is.
class CRecordingSocketService : public ISocket {
 public:
  struct CCall {
    SOCKET m_hSocket;
    const char* m_pBuffer;
    int m_nSize;
    std::string m_strData;  // Send only
  };

  void Reserved() override { ++m_nReservedCalls; }
  int Receive(SOCKET socket, char* buffer, int size) override {
    m_receives.push_back(CCall{socket, buffer, size, std::string()});
    const int result = m_receiveResults.front();
    m_receiveResults.erase(m_receiveResults.begin());
    return result;
  }
  BOOL Send(SOCKET socket, const char* data, int length) override {
    m_sends.push_back(CCall{socket, data, length, std::string(data, static_cast<size_t>(length))});
    const BOOL result = m_sendResults.front();
    m_sendResults.erase(m_sendResults.begin());
    return result;
  }

  std::vector<int> m_receiveResults;
  std::vector<BOOL> m_sendResults;
  std::vector<CCall> m_receives;
  std::vector<CCall> m_sends;
  int m_nReservedCalls = 0;
};

using TransportServiceTest = TransportTest;

TEST_F(TransportServiceTest, ReceiveIgnoresTimeOutAndPeekAndReturnsTheHostsResult) {
  CRecordingSocketService service;
  service.m_receiveResults = {-5, 0, 42};
  g_pISocket = &service;
  // Not a socket: the plug-in's own road would raise.
  CHostSocket socket{0, kNotASocket};
  char buffer[8192];

  EXPECT_EQ(-5, SockReceive(&socket, buffer, 100, 0, 0));
  EXPECT_EQ(0, SockReceive(&socket, buffer, 100, INFINITE, 1));
  EXPECT_EQ(42, SockReceive(&socket, buffer, 8192, 1234, 0));

  ASSERT_EQ(3u, service.m_receives.size());
  for (const auto& call : service.m_receives) {
    EXPECT_EQ(kNotASocket, call.m_hSocket);
    EXPECT_EQ(buffer, call.m_pBuffer);
  }
  EXPECT_EQ(100, service.m_receives[0].m_nSize);
  EXPECT_EQ(8192, service.m_receives[2].m_nSize);
  EXPECT_EQ(0, service.m_nReservedCalls);
}

TEST_F(TransportServiceTest, SendPassesTheBytesAndReturnsTheHostsVerdict) {
  CRecordingSocketService service;
  service.m_sendResults = {FALSE, TRUE, 7, TRUE};
  g_pISocket = &service;
  CHostSocket socket{0, kNotASocket};

  EXPECT_FALSE(SockSend(&socket, "NOOP\r\n", 6, INFINITE));
  EXPECT_TRUE(SockSend(&socket, "DATA\r\n", 6, 0));
  EXPECT_TRUE(SockSend(&socket, "QUIT\r\nextra", 6, INFINITE));
  // An empty buffer is the host's to judge too.
  EXPECT_TRUE(SockSend(&socket, "", 0, INFINITE));

  ASSERT_EQ(4u, service.m_sends.size());
  EXPECT_EQ("NOOP\r\n", service.m_sends[0].m_strData);
  EXPECT_EQ("DATA\r\n", service.m_sends[1].m_strData);
  EXPECT_EQ("QUIT\r\n", service.m_sends[2].m_strData);
  EXPECT_EQ(0, service.m_sends[3].m_nSize);
  for (const auto& call : service.m_sends) EXPECT_EQ(kNotASocket, call.m_hSocket);
  EXPECT_EQ(0, service.m_nReservedCalls);
  EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(TransportServiceTest, ChoiceOfRoadIsMadeAtEveryCall) {
  CLoopbackPair pair;
  ASSERT_TRUE(pair.IsOpen());
  CHostSocket socket{0, pair.Near()};
  CRecordingSocketService service;
  service.m_sendResults = {TRUE};
  service.m_receiveResults = {3};

  g_pISocket = &service;
  EXPECT_TRUE(SockSend(&socket, "one", 3, INFINITE));
  g_pISocket = nullptr;
  EXPECT_TRUE(SockSend(&socket, "two", 3, INFINITE));
  ASSERT_TRUE(RawSendAll(pair.Far(), "back"));
  char buffer[16];
  g_pISocket = &service;
  EXPECT_EQ(3, SockReceive(&socket, buffer, sizeof buffer, 0, 0));
  g_pISocket = nullptr;
  EXPECT_EQ(4, SockReceive(&socket, buffer, sizeof buffer, 5000, 0));

  EXPECT_EQ(1u, service.m_sends.size());
  EXPECT_EQ(1u, service.m_receives.size());
  pair.CloseNear();
  EXPECT_EQ("two", RawRecvUntilClosed(pair.Far(), 100));
}

}  // namespace
