// The embedded capture server: its SMTP session (replies, pipelining,
// dot-unstuffing, limits) fed whole and split at every byte, the outbox's
// atomic files, and one real dialogue over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/capture/capture_server.h"
#include "host/base/net.h"
#include "support/scratch_directory.h"

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class MemorySink : public IMessageSink {
 public:
  bool Begin() override {
    open = !failBegin;
    current.clear();
    return open;
  }
  bool Write(const char* data, size_t length) override {
    current.append(data, length);
    return !failWrite;
  }
  std::string Commit() override {
    open = false;
    stored.push_back(current);
    return "m" + std::to_string(stored.size());
  }
  void Abort() override {
    open = false;
    ++aborted;
  }
  bool failBegin = false;
  bool failWrite = false;
  bool open = false;
  int aborted = 0;
  std::string current;
  std::vector<std::string> stored;
};

// Feeds the input in pieces of `piece` bytes (0: whole); returns replies.
std::string Dialogue(const std::string& input, size_t piece, MemorySink* sink,
                     size_t* consumed = nullptr) {
  SmtpCaptureSession session(sink);
  std::string replies;
  size_t at = 0;
  while (at < input.size() && !session.Quit()) {
    const size_t n = piece == 0 ? input.size() - at : std::min(piece, input.size() - at);
    at += session.Feed(input.data() + at, n, &replies);
  }
  if (consumed != nullptr) *consumed = at;
  return replies;
}

const char kPipelined[] =
    "EHLO client.example\r\n"
    "MAIL FROM:<a@example.org> SIZE=100\r\n"
    "RCPT TO:<b@example.org>\r\n"
    "RCPT TO:<c@example.org>\r\n"
    "DATA\r\n"
    "Subject: hi\r\n\r\n..dot line\r\nbody\r\n.\r\n"
    "RSET\r\nNOOP\r\nVRFY b\r\nSTARTTLS\r\nBDAT 10 LAST\r\nHELO x\r\nQUIT\r\nNOOP\r\n";

const char kPipelinedReplies[] =
    "250-localhost\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250 8BITMIME\r\n"
    "250 2.1.0 Ok\r\n"
    "250 2.1.5 Ok\r\n"
    "250 2.1.5 Ok\r\n"
    "354 End data with <CR><LF>.<CR><LF>\r\n"
    "250 2.0.0 Ok: queued as m1\r\n"
    "250 2.0.0 Ok\r\n"
    "250 2.0.0 Ok\r\n"
    "252 2.0.0 Cannot VRFY user, but will accept the message\r\n"
    "502 5.5.2 Error: command not recognized\r\n"
    "502 5.5.2 Error: command not recognized\r\n"
    "250 localhost\r\n"
    "221 2.0.0 Bye\r\n";

TEST(SmtpCaptureSessionTest, PipelinedDialogueWholeAndSplitAtEveryByte) {
  const std::string input = kPipelined;
  for (size_t piece = 0; piece <= input.size(); piece += (piece < 40 ? 1 : 17)) {
    MemorySink sink;
    size_t consumed = 0;
    EXPECT_EQ(Dialogue(input, piece, &sink, &consumed), kPipelinedReplies) << "piece " << piece;
    ASSERT_EQ(sink.stored.size(), 1u) << "piece " << piece;
    EXPECT_EQ(sink.stored[0], "Subject: hi\r\n\r\n.dot line\r\nbody\r\n") << "piece " << piece;
    // Nothing after QUIT is taken.
    EXPECT_EQ(consumed, input.size() - 6) << "piece " << piece;
  }
}

TEST(SmtpCaptureSessionTest, CommandOrderAndSyntaxErrors) {
  MemorySink sink;
  EXPECT_EQ(Dialogue("RCPT TO:<b@x>\r\nDATA\r\nMAIL TO:<a>\r\nMAIL FROM:<a>\r\n"
                     "MAIL FROM:<a>\r\nRCPT <b>\r\nDATA\r\nEHLO\r\n\r\nquit\r\n",
                     0, &sink),
            "503 5.5.1 Error: need MAIL command\r\n"
            "503 5.5.1 Error: need RCPT command\r\n"
            "501 5.5.4 Syntax: MAIL FROM:<address>\r\n"
            "250 2.1.0 Ok\r\n"
            "503 5.5.1 Error: nested MAIL command\r\n"
            "501 5.5.4 Syntax: RCPT TO:<address>\r\n"
            "503 5.5.1 Error: need RCPT command\r\n"
            "501 5.5.4 Syntax: EHLO hostname\r\n"
            "500 5.5.2 Error: bad syntax\r\n"
            "221 2.0.0 Bye\r\n");
  EXPECT_TRUE(sink.stored.empty());
}

TEST(SmtpCaptureSessionTest, LimitsAndStorageFailures) {
  MemorySink sink;
  const std::string longLine = "NOOP " + std::string(2000, 'x') + "\r\n";
  EXPECT_EQ(Dialogue(longLine + "MAIL FROM:<a> SIZE=999999999999\r\nNOOP\r\n", 0, &sink),
            "500 5.5.2 Error: line too long\r\n"
            "552 5.3.4 Message size exceeds fixed limit\r\n"
            "250 2.0.0 Ok\r\n");

  MemorySink failing;
  failing.failWrite = true;
  EXPECT_EQ(Dialogue("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nx\r\n.\r\nNOOP\r\n", 0, &failing),
            "250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n354 End data with <CR><LF>.<CR><LF>\r\n"
            "451 4.3.0 Error: cannot store the message\r\n250 2.0.0 Ok\r\n");
  EXPECT_EQ(failing.aborted, 1);
  EXPECT_TRUE(failing.stored.empty());

  MemorySink refusing;
  refusing.failBegin = true;
  EXPECT_EQ(Dialogue("MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\nNOOP\r\n", 0, &refusing),
            "250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n451 4.3.0 Error: cannot store the message\r\n"
            "250 2.0.0 Ok\r\n");
}

TEST(OutboxSinkTest, MessageAppearsOnlyWhenComplete) {
  CScratchDirectory scratch("divivez-host-outbox-");
  const std::filesystem::path dir = scratch.Path();
  auto names = [&dir] {
    std::vector<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      result.push_back(entry.path().filename().string());
    }
    return result;
  };
  {
    OutboxSink sink(dir.string());
    ASSERT_TRUE(sink.Begin());
    ASSERT_TRUE(sink.Write("Subject: a\r\n\r\nx\r\n", 17));
    std::vector<std::string> during = names();
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].substr(during[0].size() - 4), ".tmp");
    const std::string name = sink.Commit();
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.substr(name.size() - 4), ".eml");
    EXPECT_EQ(names(), std::vector<std::string>{name});
    EXPECT_EQ(ReadFile(dir / name), "Subject: a\r\n\r\nx\r\n");
#ifndef _WIN32
    // Private: readable and writable by its owner only.
    const auto permissions = std::filesystem::status(dir / name).permissions();
    EXPECT_EQ(permissions & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif

    // An aborted message, and one left open when the sink goes, leave nothing.
    ASSERT_TRUE(sink.Begin());
    sink.Write("partial", 7);
    sink.Abort();
    ASSERT_TRUE(sink.Begin());
    sink.Write("partial", 7);
  }
  EXPECT_EQ(names().size(), 1u);
}

TEST(CaptureServerTest, StoresAMessageSentOverLoopback) {
  std::string error;
  ASSERT_TRUE(NetStartup(&error)) << error;
  CScratchDirectory scratch("divivez-host-capture-");
  const std::filesystem::path dir = scratch.File("outbox");
  CaptureServer server(dir.string(), nullptr);
  uint16_t port = 0;
  ASSERT_TRUE(server.Start(&port, &error)) << error;
  ASSERT_NE(port, 0);
  NetSocket s = NetConnect("127.0.0.1", port, 2000, &error);
  ASSERT_NE(s, kNetInvalidSocket) << error;
  const std::string dialogue =
      "EHLO t\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\nSubject: "
      "s\r\n\r\n..x\r\n.\r\nQUIT\r\n";
  ASSERT_TRUE(NetSendAll(s, dialogue.data(), dialogue.size(), 2000, nullptr));
  std::string replies;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    char buffer[1024];
    const int n = NetRecv(s, buffer, sizeof buffer);
    if (n > 0) {
      replies.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || n == kNetError) {
      break;  // the server closes after 221
    } else {
      NetPollItem item{s, kNetIn, 0};
      NetPoll(&item, 1, 100);
    }
  }
  NetClose(s);
  EXPECT_EQ(replies.substr(0, 4), "220 ");
  EXPECT_NE(replies.find("250 2.0.0 Ok: queued as "), std::string::npos) << replies;
  EXPECT_EQ(replies.substr(replies.size() - 15), "221 2.0.0 Bye\r\n");
  server.Stop();
  EXPECT_EQ(server.Stored(), 1u);
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFile(files[0]), "Subject: s\r\n\r\n.x\r\n");
}

}  // namespace
