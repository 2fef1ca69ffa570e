// Socket helpers on loopback: the lingering close keeps to its deadline; the
// readiness set reports what it watches and nothing else.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "host/base/net.h"

namespace {

// A connected pair on loopback: {ours, the peer's}.
std::pair<NetSocket, NetSocket> ConnectedPair(NetSocket* listener) {
  std::string error;
  uint16_t port = 0;
  bool badAddress = false;
  *listener = NetListen("127.0.0.1", 0, &port, &badAddress, &error);
  const NetSocket peer = NetConnect("127.0.0.1", port, 5000, &error);
  NetSocket accepted = kNetInvalidSocket;
  for (int i = 0; i < 100 && accepted == kNetInvalidSocket; ++i) {
    std::string name;
    accepted = NetAccept(*listener, &name);
    if (accepted == kNetInvalidSocket) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {accepted, peer};
}

TEST(NetTest, LingeringCloseStopsAtItsDeadlineWhileDataKeepsArriving) {
  std::string error;
  ASSERT_TRUE(NetStartup(&error)) << error;
  uint16_t port = 0;
  bool badAddress = false;
  const NetSocket listener = NetListen("127.0.0.1", 0, &port, &badAddress, &error);
  ASSERT_NE(listener, kNetInvalidSocket) << error;
  const NetSocket peer = NetConnect("127.0.0.1", port, 5000, &error);
  ASSERT_NE(peer, kNetInvalidSocket) << error;
  NetSocket accepted = kNetInvalidSocket;
  for (int i = 0; i < 100 && accepted == kNetInvalidSocket; ++i) {
    std::string name;
    accepted = NetAccept(listener, &name);
    if (accepted == kNetInvalidSocket) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(accepted, kNetInvalidSocket);

  // The peer never stops sending.
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    const std::string chunk(1024, 'x');
    while (!stop.load()) {
      if (NetSend(peer, chunk.data(), static_cast<int>(chunk.size())) < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  const auto start = std::chrono::steady_clock::now();
  NetLingeringClose(accepted, 300);
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  sender.join();
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  NetClose(peer);
  NetClose(listener);
}

// A connection that no firewall rule rewrote was going where it arrived,
// the listener itself, which is what the loop guard of transparent
// interception refuses. An IPv4 client of a dual-stack listener is IPv4 at
// both ends. (Redirected connections: the transparent e2e scenarios.)
TEST(NetTest, OriginalDestinationOfAConnectionNothingRedirected) {
  std::string error;
  ASSERT_TRUE(NetStartup(&error)) << error;
  NetSocket listener = kNetInvalidSocket;
  const auto pair = ConnectedPair(&listener);
  ASSERT_NE(pair.first, kNetInvalidSocket);
  Endpoint destination;
  if (!NetHasOriginalDestination()) {
    EXPECT_FALSE(NetOriginalDestination(pair.first, &destination, &error));
    EXPECT_FALSE(error.empty());
  } else {
    ASSERT_TRUE(NetOriginalDestination(pair.first, &destination, &error)) << error;
    EXPECT_EQ(destination.host, "127.0.0.1");
    uint16_t port = 0;
    bool badAddress = false;
    const NetSocket dual = NetListen("::", 0, &port, &badAddress, &error);
    if (dual != kNetInvalidSocket) {  // a host without IPv6 has no dual-stack listener
      const NetSocket client = NetConnect("127.0.0.1", port, 5000, &error);
      ASSERT_NE(client, kNetInvalidSocket) << error;
      std::string peer;
      NetSocket accepted = kNetInvalidSocket;
      for (int i = 0; i < 100 && accepted == kNetInvalidSocket; ++i) {
        accepted = NetAccept(dual, &peer);
        if (accepted == kNetInvalidSocket)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ASSERT_NE(accepted, kNetInvalidSocket);
      EXPECT_EQ(peer.compare(0, 10, "127.0.0.1:"), 0) << peer;
      ASSERT_TRUE(NetOriginalDestination(accepted, &destination, &error)) << error;
      EXPECT_EQ(EndpointText(destination), "127.0.0.1:" + std::to_string(port));
      NetClose(accepted);
      NetClose(client);
      NetClose(dual);
    }
  }
  NetClose(pair.first);
  NetClose(pair.second);
  NetClose(listener);
}

TEST(NetTest, LocalAddressesAreThoseThatBind) {
  std::string error;
  ASSERT_TRUE(NetStartup(&error)) << error;
  EXPECT_TRUE(NetIsLocalAddress("127.0.0.1"));
  EXPECT_TRUE(NetIsLocalAddress("127.0.0.5"));   // all of 127/8, configured or not
  EXPECT_FALSE(NetIsLocalAddress("192.0.2.1"));  // documentation range: never this host's
  EXPECT_FALSE(NetIsLocalAddress("not an address"));
}

TEST(NetTest, PollerReportsWatchedSocketsOnlyAndWakes) {
  std::string error;
  ASSERT_TRUE(NetStartup(&error)) << error;
  NetPoller* poller = NetPollerCreate();
#if !defined(__linux__) && !defined(_WIN32)
  EXPECT_EQ(poller, nullptr);  // none here: the caller keeps a thread per connection
  return;
#endif
  ASSERT_NE(poller, nullptr);
  NetSocket listener = kNetInvalidSocket;
  const auto [ours, peer] = ConnectedPair(&listener);
  ASSERT_NE(ours, kNetInvalidSocket);
  ASSERT_NE(peer, kNetInvalidSocket);
  int tag = 0;
  NetPollerEvent events[4];

  ASSERT_TRUE(NetPollerWatch(poller, ours, &tag, true));
  EXPECT_EQ(NetPollerWait(poller, events, 4, 0), 0);
  ASSERT_EQ(NetSend(peer, "x", 1), 1);
  ASSERT_EQ(NetPollerWait(poller, events, 4, 1000), 1);
  EXPECT_EQ(events[0].tag, &tag);

  // Unwatched, neither its data nor a hang-up (both directions shut) is
  // reported.
  ASSERT_TRUE(NetPollerWatch(poller, ours, &tag, false));
  NetShutdownSend(ours);
  NetClose(peer);
  EXPECT_EQ(NetPollerWait(poller, events, 4, 50), 0);

  // A wake from another thread ends a wait without limit.
  std::thread waker([poller] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    NetPollerWake(poller);
  });
  ASSERT_EQ(NetPollerWait(poller, events, 4, -1), 1);
  EXPECT_EQ(events[0].tag, nullptr);
  waker.join();
  EXPECT_EQ(NetPollerWait(poller, events, 4, 0), 0);  // the wake was taken

  // Watched again, the peer's close is reported without data to read, and
  // so is every wake sent meanwhile, once. Closed, the socket is gone.
  ASSERT_TRUE(NetPollerWatch(poller, ours, &tag, true));
  NetPollerWake(poller);
  NetPollerWake(poller);
  ASSERT_EQ(NetPollerWait(poller, events, 4, 1000), 2);
  EXPECT_EQ(events[0].tag == nullptr ? events[1].tag : events[0].tag, &tag);
  NetPollerClosed(poller, ours);
  NetClose(ours);
  EXPECT_EQ(NetPollerWait(poller, events, 4, 50), 0);
  NetClose(listener);
  NetPollerDestroy(poller);
}

}  // namespace
