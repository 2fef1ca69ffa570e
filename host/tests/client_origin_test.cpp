// The client's origin over real loopback sockets: the PROXY header is read
// and nothing after it; XCLIENT against scripted servers that take it, do not
// offer it, refuse it, or greet with something other than 220.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/proxy/client_origin.h"

namespace {

// A connected pair of loopback sockets: near is the one under test.
struct Pair {
  NetSocket near = kNetInvalidSocket;
  NetSocket far = kNetInvalidSocket;
  Pair() {
    std::string error;
    EXPECT_TRUE(NetStartup(&error)) << error;
    uint16_t port = 0;
    bool bad = false;
    const NetSocket listener = NetListen("127.0.0.1", 0, &port, &bad, &error);
    EXPECT_NE(listener, kNetInvalidSocket) << error;
    near = NetConnect("127.0.0.1", port, 5000, &error);
    std::string peer;
    for (int i = 0; i < 100 && far == kNetInvalidSocket; ++i) {
      NetPollItem item{listener, kNetIn, 0};
      NetPoll(&item, 1, 100);
      far = NetAccept(listener, &peer);
    }
    EXPECT_NE(far, kNetInvalidSocket);
    NetClose(listener);
  }
  ~Pair() {
    NetClose(near);
    NetClose(far);
  }
};

void Send(NetSocket socket, const std::string& data) {
  EXPECT_TRUE(NetSendAll(socket, data.data(), data.size(), 5000, nullptr));
}

// Reads until a line ending in LF has arrived, or the peer closes.
std::string ReadLine(NetSocket socket) {
  std::string line;
  char c;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    NetPollItem item{socket, kNetIn, 0};
    NetPoll(&item, 1, 100);
    const int n = NetRecv(socket, &c, 1);
    if (n == 0 || n == kNetError) break;
    if (n == 1) {
      line += c;
      if (c == '\n') break;
    }
  }
  return line;
}

std::string ReadAvailable(NetSocket socket) {
  std::string data;
  char buffer[256];
  NetPollItem item{socket, kNetIn, 0};
  NetPoll(&item, 1, 1000);
  for (int n; (n = NetRecv(socket, buffer, sizeof buffer)) > 0;) data.append(buffer, n);
  return data;
}

TEST(ProxyHeaderReader, TakesTheHeaderAndLeavesTheSession) {
  Pair pair;
  std::thread sender([&] {
    Send(pair.far, "PROXY TCP4 198.51.100.9 192.0.2.1 4");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send(pair.far, "0000 25\r\nEHLO client\r\n");
  });
  ProxyHeader header;
  std::string error;
  const bool ok = ReadProxyHeader(pair.near, 5000, nullptr, &header, &error);
  sender.join();
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(header.SourceText(), "198.51.100.9:40000");
  EXPECT_EQ(ReadAvailable(pair.near), "EHLO client\r\n");
}

TEST(ProxyHeaderReader, RefusesMissingLateAndMalformedHeaders) {
  const struct {
    const char* name;
    const char* sent;  // nullptr: nothing, and the deadline passes
    bool close;
    const char* error;
  } kCases[] = {
      {"smtp instead", "EHLO client\r\n", false, "no PROXY protocol header"},
      {"silent", nullptr, false, "no PROXY protocol header within 300 ms"},
      {"closed", "PROXY TCP4", true, "closed before"},
      {"bad address", "PROXY TCP4 1.2.3 1.2.3.4 1 2\r\n", false, "invalid address"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    if (c.sent != nullptr) Send(pair.far, c.sent);
    if (c.close) NetShutdownSend(pair.far);
    ProxyHeader header;
    std::string error;
    EXPECT_FALSE(ReadProxyHeader(pair.near, 300, nullptr, &header, &error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

struct Script {
  std::string greeting;
  std::string ehloReply;
  std::string xclientReply;  // "" : none expected
};

// Runs the server side of one exchange; returns the lines it received.
std::vector<std::string> Serve(NetSocket socket, const Script& script) {
  std::vector<std::string> heard;
  Send(socket, script.greeting);
  if (script.greeting.compare(0, 3, "220") != 0) return heard;
  heard.push_back(ReadLine(socket));
  Send(socket, script.ehloReply);
  if (script.xclientReply.empty()) return heard;
  heard.push_back(ReadLine(socket));
  Send(socket, script.xclientReply);
  return heard;
}

TEST(Xclient, ByServerBehaviour) {
  const struct {
    const char* name;
    Script script;
    const char* address;
    XclientResult result;
    const char* command;  // what the server must hear after EHLO
    const char* unread;   // what stays queued for the session
  } kCases[] = {
      {"taken ipv4",
       {"220-first\r\n220 greeting\r\n",
        "250-mx\r\n250-XCLIENT NAME ADDR PROTO\r\n250 8BITMIME\r\n",
        "220 mx ESMTP new session\r\n"},
       "198.51.100.9",
       XclientResult::kSent,
       "XCLIENT ADDR=198.51.100.9 NAME=[UNAVAILABLE]\r\n",
       "220 mx ESMTP new session\r\n"},
      {"taken ipv6, ADDR only listed",
       {"220 greeting\r\n", "250-mx\r\n250 xclient addr\r\n", "220-new\r\n220 session\r\n"},
       "2001:db8::9",
       XclientResult::kSent,
       "XCLIENT ADDR=IPV6:2001:db8::9\r\n",
       "220-new\r\n220 session\r\n"},
      {"not offered",
       {"220 greeting\r\n", "250-mx\r\n250-XCLIENTS\r\n250 SIZE\r\n", ""},
       "198.51.100.9",
       XclientResult::kNotOffered,
       "",
       ""},
      {"refused",
       {"220 greeting\r\n", "250-mx\r\n250 XCLIENT ADDR NAME\r\n",
        "550 5.7.0 insufficient authorization\r\n"},
       "198.51.100.9",
       XclientResult::kRefused,
       "XCLIENT ADDR=198.51.100.9 NAME=[UNAVAILABLE]\r\n",
       ""},
      {"refused for now",
       {"220 greeting\r\n", "250-mx\r\n250 XCLIENT ADDR NAME\r\n",
        "451 4.3.0 Temporary lookup failure\r\n"},
       "198.51.100.9",
       XclientResult::kRefused,
       "XCLIENT ADDR=198.51.100.9 NAME=[UNAVAILABLE]\r\n",
       ""},
      // A passing state, not the server's setup: no reason to give XCLIENT up.
      {"EHLO answered 421",
       {"220 greeting\r\n", "421 4.3.2 mx busy\r\n", ""},
       "198.51.100.9",
       XclientResult::kRefused,
       "",
       ""},
      {"greeting 554",
       {"554 5.3.2 go away\r\n", "", ""},
       "198.51.100.9",
       XclientResult::kNoGreeting,
       "",
       "554 5.3.2 go away\r\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    std::vector<std::string> heard;
    std::thread server([&] { heard = Serve(pair.far, c.script); });
    std::string detail;
    const XclientResult result =
        SendXclient(pair.near, "proxy.test", c.address, "[UNAVAILABLE]", 5000, nullptr, &detail);
    server.join();
    EXPECT_EQ(static_cast<int>(result), static_cast<int>(c.result)) << detail;
    if (c.result != XclientResult::kNoGreeting) {
      ASSERT_GE(heard.size(), 1u);
      EXPECT_EQ(heard[0], "EHLO proxy.test\r\n");
      EXPECT_EQ(heard.size() > 1 ? heard[1] : "", c.command);
    } else {
      EXPECT_TRUE(heard.empty());
    }
    EXPECT_EQ(ReadAvailable(pair.near), c.unread);
  }
}

TEST(Xclient, RefusalReplyKeepsOnlyA4xxTextAndAlwaysSays421) {
  EXPECT_EQ(XclientRefusalReply(XclientResult::kRefused, "451 4.3.0 Temporary lookup failure"),
            "421 4.3.0 Temporary lookup failure\r\n");
  EXPECT_EQ(XclientRefusalReply(XclientResult::kRefused, "421 mx\rbusy"), "421 mx busy\r\n");
  const std::string own = "421 4.3.0 Mail server unavailable, try again later\r\n";
  EXPECT_EQ(XclientRefusalReply(XclientResult::kRefused, "550 5.7.0 insufficient authorization"),
            own);
  EXPECT_EQ(XclientRefusalReply(XclientResult::kRefused, "4xx"), own);
  EXPECT_EQ(XclientRefusalReply(XclientResult::kNotOffered, "XCLIENT not advertised"), own);
  EXPECT_EQ(XclientRefusalReply(XclientResult::kFailed, "connection failed"), own);
}

TEST(Xclient, XtextEncoding) {
  EXPECT_EQ(Xtext("[UNAVAILABLE]"), "[UNAVAILABLE]");
  EXPECT_EQ(Xtext("a+b=c d\x7f"), "a+2Bb+3Dc+20d+7F");
}

}  // namespace
