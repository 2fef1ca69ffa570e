// What the host follows of a dialogue: each script fed whole, with every
// piece split in two at every offset, and byte by byte, with the same view
// of the envelope, the message data and the server's replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "host/proxy/dialogue_follower.h"

namespace {

// What the client and the server send, in turn ('C' or 'S' first).
struct Piece {
  char side;
  std::string bytes;
};

struct View {
  bool inData = false;
  bool awaiting = false;
  uint64_t dataBytes = 0;
  int messagesEnded = 0;
  std::string sender;
  std::string firstRecipient;
  int recipients = 0;
  std::string replies;  // "code line|" for each

  bool operator==(const View& o) const {
    return inData == o.inData && awaiting == o.awaiting && dataBytes == o.dataBytes &&
           messagesEnded == o.messagesEnded && sender == o.sender &&
           firstRecipient == o.firstRecipient && recipients == o.recipients && replies == o.replies;
  }
};

std::ostream& operator<<(std::ostream& out, const View& v) {
  return out << "inData " << v.inData << " awaiting " << v.awaiting << " dataBytes " << v.dataBytes
             << " ended " << v.messagesEnded << " sender " << v.sender << " first "
             << v.firstRecipient << " recipients " << v.recipients << " replies " << v.replies;
}

struct Case {
  const char* name;
  std::vector<Piece> script;
  View expected;
};

class Replies final : public DialogueFollower::ReplySink {
 public:
  void ServerReply(int code, const std::string& line) override {
    seen += std::to_string(code) + " " + line + "|";
  }
  std::string seen;
};

// Feeds each piece in chunks of at most `chunk` bytes after a first part of
// `cut` bytes (0 and 0: whole).
View Follow(const std::vector<Piece>& script, size_t cut, size_t chunk) {
  DialogueFollower follower;
  Replies replies;
  const auto now = DialogueFollower::Clock::now();
  for (const Piece& piece : script) {
    size_t at = 0;
    while (at < piece.bytes.size()) {
      size_t n = piece.bytes.size() - at;
      if (at == 0 && cut > 0) n = std::min(n, cut);
      if (at > 0 && chunk > 0) n = std::min(n, chunk);
      if (piece.side == 'C') {
        follower.FromClient(piece.bytes.data() + at, n, now);
      } else {
        follower.FromServer(piece.bytes.data() + at, n, now, &replies);
      }
      at += n;
    }
  }
  View v;
  v.inData = follower.InData();
  v.awaiting = follower.Awaiting();
  v.dataBytes = follower.DataBytes();
  v.messagesEnded = follower.MessagesEnded();
  v.sender = follower.Sender();
  v.firstRecipient = follower.FirstRecipient();
  v.recipients = follower.Recipients();
  v.replies = replies.seen;
  return v;
}

const Case kCases[] = {
    {"transaction",
     {{'S', "220 mx ready\r\n"},
      {'C', "EHLO a\r\n"},
      {'S', "250-mx\r\n250-SIZE 100\r\n250 8BITMIME\r\n"},
      {'C', "MAIL FROM:<a@x> SIZE=5\r\nRCPT TO:<b@y>\r\nrcpt to: <c@y>\r\nDATA\r\n"},
      {'S', "250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n"},
      {'C', "Subject: s\r\n\r\n..dot\r\n.\r\n"}},
     {false, true, 24, 1, "<a@x>", "<b@y>", 2,
      "220 220 mx ready|250 250 8BITMIME|250 250 ok|250 250 ok|250 250 ok|354 354 go|"}},
    {"message still arriving, its end only at a line start",
     {{'C', "mail from:a@x\r\nRCPT TO:<b@y>\r\nDATA\r\n"}, {'C', "x.\r\n.x\r\n\r\n.\r"}},
     {true, true, 12, 0, "a@x", "<b@y>", 1, ""}},
    {"an empty message, then the next transaction",
     {{'C', "MAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n.\r\nMAIL FROM:<c>\r\n"}},
     {false, true, 3, 1, "<c>", "", 0, ""}},
    {"DATA refused before any data",
     {{'C', "MAIL FROM:<a>\r\nDATA\r\n"}, {'S', "250 ok\r\n554 no valid recipients\r\n"}},
     {false, false, 0, 0, "<a>", "", 0, "250 250 ok|554 554 no valid recipients|"}},
    {"bare line feeds end no line, and make it no command",
     {{'C', "MAIL FROM:<a>\nRCPT TO:<b>\r\n"}, {'S', "250 a\n250 b\r\n"}},
     {false, false, 0, 0, "", "", 0, "250 250 a\n250 b|"}},
    {"a malformed DATA is refused, no message follows",
     {{'C', "MAIL FROM:<a>\r\nDATA\x0b\r\nDATA:\r\nRCPT TO:<b>\r\n"}},
     {false, true, 0, 0, "<a>", "<b>", 1, ""}},
    {"an answer to a challenge is no command, whatever it spells",
     {{'C', "AUTH LOGIN\r\n"},
      {'S', "334 VXNlcm5hbWU6\r\n"},
      {'C', "DATA\r\n"},
      {'S', "535 no\r\n"},
      {'C', "MAIL FROM:<a>\r\n"}},
     {false, true, 0, 0, "<a>", "", 0, "334 334 VXNlcm5hbWU6|535 535 no|"}},
    {"a reply that is not a code is no answer",
     {{'C', "RCPT TO:<b>\r\n"}, {'S', "hello\r\n25\r\n"}},
     {false, false, 0, 0, "", "<b>", 1, ""}},
};

TEST(DialogueFollowerTest, SameViewWhereverTheStreamIsSplit) {
  for (const Case& c : kCases) {
    EXPECT_EQ(Follow(c.script, 0, 0), c.expected) << c.name << " whole";
    size_t longest = 0;
    for (const Piece& piece : c.script) longest = std::max(longest, piece.bytes.size());
    for (size_t cut = 1; cut < longest; ++cut) {
      EXPECT_EQ(Follow(c.script, cut, 0), c.expected) << c.name << " split at " << cut;
    }
    EXPECT_EQ(Follow(c.script, 1, 1), c.expected) << c.name << " byte by byte";
  }
}

TEST(DialogueFollowerTest, AMessageTakenForItsScanHasEndedAndTheEnvelopeIsLogSafe) {
  DialogueFollower follower;
  const auto now = DialogueFollower::Clock::now();
  const std::string client = "MAIL FROM:<a\x01@x>\r\nRCPT TO:<b>\r\nRCPT TO:<c>\r\nDATA\r\nbody";
  follower.FromClient(client.data(), client.size(), now);
  ASSERT_TRUE(follower.InData());
  follower.MessageTaken();
  EXPECT_FALSE(follower.InData());
  EXPECT_TRUE(follower.Awaiting());
  EXPECT_EQ(follower.Envelope().find('\x01'), std::string::npos);
  EXPECT_NE(follower.Envelope().find(" to <b> (+1)"), std::string::npos) << follower.Envelope();
  // What follows is commands again, not the rest of a message.
  const std::string next = "\r\n.\r\nMAIL FROM:<d>\r\n";
  follower.FromClient(next.data(), next.size(), now);
  EXPECT_EQ(follower.Sender(), "<d>");
  EXPECT_EQ(follower.MessagesEnded(), 0);
}

// Whether the client is owed a reply and whether it heard the end (221,
// 421): from the replies the plug-in sent it, or with the plug-in's own
// sockets from the server's.
TEST(DialogueFollowerTest, TheClientIsOwedAReplyUntilOneGoesOutAndHearsTheEndIn221Or421) {
  const auto now = DialogueFollower::Clock::now();
  Replies replies;
  DialogueFollower follower;
  EXPECT_TRUE(follower.Owed());  // the greeting
  const std::pair<std::string, bool> sent[] = {{"220 mx\r\n", false},
                                               {"250-a\r\n250 b\r\n", false},
                                               {"221 bye\r\n", true},
                                               {"250-x\r\n421 4.4.2 closing\r\n", true},
                                               {"421-x\r\n250 y\r\n", false}};
  for (const auto& reply : sent) {
    const std::string command = "NOOP\r\n";
    follower.FromClient(command.data(), command.size(), now);
    EXPECT_TRUE(follower.Owed()) << reply.first;
    follower.ToClient(reply.first.data(), reply.first.size());
    EXPECT_FALSE(follower.Owed()) << reply.first;
    EXPECT_EQ(follower.ToldClosing(), reply.second) << reply.first;
  }
  // Without the host's socket service the server's replies stand for them.
  DialogueFollower unseen;
  unseen.SetRepliesUnseen(true);
  const std::string quit = "QUIT\r\n";
  unseen.FromClient(quit.data(), quit.size(), now);
  const std::string bye = "221 bye\r\n";
  unseen.FromServer(bye.data(), bye.size(), now, &replies);
  EXPECT_FALSE(unseen.Owed());
  EXPECT_TRUE(unseen.ToldClosing());
  // Replies seen going out: the server's own say nothing of what the
  // client heard.
  DialogueFollower seen;
  seen.FromServer(bye.data(), bye.size(), now, &replies);
  EXPECT_TRUE(seen.Owed());
  EXPECT_FALSE(seen.ToldClosing());
}

// The envelope the host follows is what the quarantine records: a long
// path whole (the plug-in holds a command line of 16 KiB whole), fed in any
// pieces, and never with the line's end in it.
TEST(DialogueFollowerTest, TheEnvelopeKeepsALongPathWholeWithoutItsLineEnd) {
  const auto now = DialogueFollower::Clock::now();
  const std::string local(16000, 'a');
  const std::string sender = "<" + local + "@example.test>";
  const std::string longer(20000, 'b');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"MAIL FROM:" + sender + " SIZE=100\r\n", sender},
      {"mail from: " + sender + "\r\n", sender},
      {"MAIL FROM:<>\r\n", "<>"},
      {"MAIL FROM:bare@example.test\r\n", "bare@example.test"},
      // Past what the plug-in holds whole: the head, with no line end.
      {"MAIL FROM:<" + longer + ">\r\n", "<" + longer.substr(0, 16384 + 2 - 12)},
  };
  for (const auto& c : cases) {
    for (size_t piece : {c.first.size(), size_t{1000}, size_t{1}}) {
      DialogueFollower follower;
      for (size_t at = 0; at < c.first.size(); at += piece) {
        follower.FromClient(c.first.data() + at, std::min(piece, c.first.size() - at), now);
      }
      EXPECT_EQ(follower.Sender(), c.second) << c.first.substr(0, 40) << " in " << piece;
    }
  }
  DialogueFollower follower;
  const std::string rcpt = "RCPT TO:<" + local + "@example.test>\r\nRCPT TO:<b@x>\r\n";
  follower.FromClient(rcpt.data(), rcpt.size(), now);
  EXPECT_EQ(follower.FirstRecipient(), "<" + local + "@example.test>");
  EXPECT_EQ(follower.Recipients(), 2);
}

}  // namespace
