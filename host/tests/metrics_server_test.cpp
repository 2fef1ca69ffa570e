// The metrics and health endpoint: responses to each kind of request, and a
// real loopback server that answers heads split over reads, refuses heads
// over the bound, is not held up by a client that says nothing, and answers
// a health check honestly while more slow clients than it has places for
// hold unfinished heads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/metrics/metrics_server.h"

namespace {

struct Row {
  const char* name;
  const char* head;
  const char* status;  // the status line's start
  const char* body;    // "" for none
};

const Row kRows[] = {
    {"metrics", "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 ", "up_total 3\n"},
    {"metrics_query", "GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 ", "up_total 3\n"},
    {"metrics_head", "HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 ", ""},
    {"healthz", "GET /healthz HTTP/1.1\n\n", "HTTP/1.1 200 ", "healthy\n"},
    {"unknown_path", "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 ", "not found\n"},
    {"post", "POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 ", "GET or HEAD only\n"},
    {"http2", "GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 505 ", "HTTP/1.0 or HTTP/1.1 only\n"},
    {"no_version", "GET /metrics\r\n\r\n", "HTTP/1.1 400 ", "bad request\n"},
    {"extra_space", "GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 ", "bad request\n"},
};

MetricsRegistry& Registry() {
  static MetricsRegistry* registry = [] {
    auto* r = new MetricsRegistry();
    r->AddCounter("up_total", "Up.").Add(3);
    return r;
  }();
  return *registry;
}

std::string BodyOf(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

TEST(MetricsHttp, ResponsesByRequest) {
  const HealthCheck healthy = [](std::string* detail) {
    *detail = "healthy";
    return true;
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const std::string response = MetricsHttpResponse(row.head, Registry(), healthy);
    EXPECT_EQ(response.compare(0, std::strlen(row.status), row.status), 0) << response;
    const std::string body = BodyOf(response);
    if (std::string(row.body) == "up_total 3\n") {
      EXPECT_NE(body.find("up_total 3\n"), std::string::npos) << response;
      EXPECT_NE(response.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    } else {
      EXPECT_EQ(body, row.body);
    }
    // HEAD announces the length of the body a GET gets.
    if (std::string(row.head).compare(0, 5, "HEAD ") == 0) {
      const std::string get = "GET " + std::string(row.head).substr(5);
      const std::string full = BodyOf(MetricsHttpResponse(get, Registry(), healthy));
      EXPECT_FALSE(full.empty());
      EXPECT_NE(response.find("Content-Length: " + std::to_string(full.size()) + "\r\n"),
                std::string::npos);
    } else {
      EXPECT_NE(response.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
                std::string::npos);
    }
  }
}

TEST(MetricsHttp, UnhealthyIs503WithTheReason) {
  const HealthCheck down = [](std::string* detail) {
    *detail = "no scanner endpoint up";
    return false;
  };
  const std::string response =
      MetricsHttpResponse("GET /healthz HTTP/1.1\r\n\r\n", Registry(), down);
  EXPECT_EQ(response.compare(0, 13, "HTTP/1.1 503 "), 0) << response;
  EXPECT_EQ(BodyOf(response), "no scanner endpoint up\n");
}

// Sends the pieces with pauses and reads the response to its end.
std::string Exchange(uint16_t port, const std::vector<std::string>& pieces) {
  std::string error;
  const NetSocket socket = NetConnect("127.0.0.1", port, 5000, &error);
  EXPECT_NE(socket, kNetInvalidSocket) << error;
  if (socket == kNetInvalidSocket) return "";
  for (const std::string& piece : pieces) {
    EXPECT_TRUE(NetSendAll(socket, piece.data(), piece.size(), 5000, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string response;
  char buffer[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    NetPollItem item{socket, kNetIn, 0};
    NetPoll(&item, 1, 200);
    const int n = NetRecv(socket, buffer, sizeof buffer);
    if (n == 0 || n == kNetError) break;
    if (n > 0) response.append(buffer, static_cast<size_t>(n));
  }
  NetClose(socket);
  return response;
}

TEST(MetricsHttp, LoopbackServer) {
  std::string error;
  ASSERT_TRUE(NetStartup(&error)) << error;
  std::atomic<bool> up{true};
  MetricsServer server(&Registry(), [&up](std::string* detail) {
    *detail = up ? "ok" : "down";
    return up.load();
  });
  uint16_t port = 0;
  ASSERT_TRUE(server.Start(Endpoint{"127.0.0.1", 0}, &port, &error)) << error;

  // A client that connects and says nothing holds none of the others up.
  const NetSocket idle = NetConnect("127.0.0.1", port, 5000, &error);
  ASSERT_NE(idle, kNetInvalidSocket);

  const std::string metrics = Exchange(port, {"GET /met", "rics HTTP/1.1\r\nHost: a\r", "\n\r\n"});
  EXPECT_EQ(metrics.compare(0, 13, "HTTP/1.1 200 "), 0) << metrics;
  EXPECT_NE(metrics.find("\r\n\r\n# HELP up_total Up.\n"), std::string::npos) << metrics;

  up = false;
  const std::string health = Exchange(port, {"GET /healthz HTTP/1.0\r\n\r\n"});
  EXPECT_EQ(health.compare(0, 13, "HTTP/1.1 503 "), 0) << health;

  const std::string huge = Exchange(
      port, {"GET /metrics HTTP/1.1\r\nX: " + std::string(MetricsServer::kMaxRequest, 'a')});
  EXPECT_EQ(huge.compare(0, 13, "HTTP/1.1 431 "), 0) << huge.substr(0, 100);

  // More slow clients than places, each holding half a head: the oldest
  // are pushed out with 408, and the health check still gets its own
  // answer, never a 503 that would read as "unhealthy".
  up = true;
  std::vector<NetSocket> slow;
  for (size_t i = 0; i < MetricsServer::kMaxClients + 4; ++i) {
    slow.push_back(NetConnect("127.0.0.1", port, 5000, &error));
    ASSERT_NE(slow.back(), kNetInvalidSocket) << error;
    const std::string half = "GET /healthz HTTP/1.1\r\nHost: slow\r\n";
    EXPECT_TRUE(NetSendAll(slow.back(), half.data(), half.size(), 5000, nullptr));
  }
  const std::string probe = Exchange(port, {"GET /healthz HTTP/1.1\r\n\r\n"});
  EXPECT_EQ(probe.compare(0, 13, "HTTP/1.1 200 "), 0) << probe;
  std::string oldest;
  char buffer[512];
  for (int i = 0; i < 50 && oldest.find("\r\n\r\n") == std::string::npos; ++i) {
    NetPollItem item{slow.front(), kNetIn, 0};
    NetPoll(&item, 1, 200);
    const int n = NetRecv(slow.front(), buffer, sizeof buffer);
    if (n == 0 || n == kNetError) break;
    if (n > 0) oldest.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(oldest.compare(0, 13, "HTTP/1.1 408 "), 0) << oldest;
  for (const NetSocket socket : slow) NetClose(socket);

  NetClose(idle);
  server.Stop();
}

}  // namespace
