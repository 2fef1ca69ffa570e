// Socket helpers on loopback: the lingering close keeps to its deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "host/base/net.h"

namespace {

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

}  // namespace
