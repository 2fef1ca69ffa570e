// libFuzzer target: the dialogue follower (host/proxy/dialogue_follower.cpp),
// the host's own reading of both directions of a session.
//
// Input: a script of events, each an opcode byte and its operands:
//   op & 3 == 0  the client's bytes     then a length byte (255: a 16-bit
//   op & 3 == 1  the server's bytes     little-endian length follows), a
//   op & 3 == 2  a send to the client   cut byte and the bytes
//   op & 3 == 3  (op >> 2) & 3: the message taken, replies unseen on or off,
//                the client told of the end
// The script is played three times: each piece whole, split in two at its
// cut (cut modulo its length plus one), and byte by byte (short scripts);
// the follower's view must be the same after every event each way (a send
// to the client is one call each time: it is one send). The envelope it
// logs holds no control byte, and what it keeps stays bounded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/proxy/dialogue_follower.h"
#include "reader_fuzz.h"

namespace {

struct Event {
  uint8_t op = 0;
  size_t cut = 0;
  std::string bytes;
};

class Replies final : public DialogueFollower::ReplySink {
 public:
  void ServerReply(int code, const std::string& line) override {
    FUZZ_CHECK(code >= 0 && code <= 999 && line.size() >= 3, "a reply without its code");
    FUZZ_CHECK(std::to_string(1000 + code).substr(1) == line.substr(0, 3),
               "code " + std::to_string(code) + " from " + FuzzShow(line));
    FUZZ_CHECK(line.size() <= 1024, "a reply line kept past its bound");
    seen += std::to_string(code) + " " + line + "|";
  }
  std::string seen;
};

std::string View(const DialogueFollower& f, const Replies& replies) {
  return std::to_string(f.InData()) + std::to_string(f.Awaiting()) + std::to_string(f.Owed()) +
         std::to_string(f.ToldClosing()) + " " + std::to_string(f.DataBytes()) + " " +
         std::to_string(f.MessagesEnded()) + " " + std::to_string(f.Recipients()) + " <" +
         f.Sender() + "> <" + f.FirstRecipient() + "> " + replies.seen;
}

// The view after each event; way 0: whole, 1: split at the cut, 2: byte by byte.
std::vector<std::string> Play(const std::vector<Event>& script, int way) {
  DialogueFollower follower;
  Replies replies;
  const auto now = DialogueFollower::Clock::now();
  std::vector<std::string> views;
  int ended = 0;
  for (const Event& event : script) {
    const std::string& b = event.bytes;
    std::vector<std::pair<size_t, size_t>> pieces;  // offset, length
    if (way == 0 || (event.op & 3) >= 2) {          // a send, or no bytes: one call
      pieces.push_back({0, b.size()});
    } else if (way == 1) {
      const size_t cut = event.cut % (b.size() + 1);
      pieces.push_back({0, cut});
      pieces.push_back({cut, b.size() - cut});
    } else {
      for (size_t i = 0; i < b.size(); ++i) pieces.push_back({i, 1});
    }
    for (const auto& piece : pieces) {
      switch (event.op & 3) {
        case 0:
          follower.FromClient(b.data() + piece.first, piece.second, now);
          break;
        case 1:
          follower.FromServer(b.data() + piece.first, piece.second, now, &replies);
          break;
        case 2:
          follower.ToClient(b.data() + piece.first, piece.second);
          break;
        default:
          switch ((event.op >> 2) & 3) {
            case 0:
              follower.MessageTaken();
              break;
            case 1:
              follower.SetRepliesUnseen(true);
              break;
            case 2:
              follower.SetRepliesUnseen(false);
              break;
            default:
              follower.MarkToldClosing();
          }
      }
    }
    FUZZ_CHECK(follower.MessagesEnded() >= ended, "messages ended went back");
    ended = follower.MessagesEnded();
    FUZZ_CHECK(follower.Recipients() >= 0, "fewer than no recipients");
    FUZZ_CHECK(follower.Sender().size() <= 16386 && follower.FirstRecipient().size() <= 16386,
               "an envelope kept past the longest command line");
    for (unsigned char c : follower.Envelope()) {
      FUZZ_CHECK(c >= 0x20 && c != 0x7F, "a control byte in the logged envelope");
    }
    views.push_back(View(follower, replies));
  }
  return views;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  std::vector<Event> script;
  size_t total = 0;
  while (input.Left() > 0) {
    Event event;
    event.op = input.Byte();
    if ((event.op & 3) != 3) {
      size_t length = input.Byte();
      if (length == 255) length = input.Word();
      event.cut = input.Byte();
      event.bytes = input.Take(length);
      total += event.bytes.size();
    }
    script.push_back(std::move(event));
  }
  const std::vector<std::string> whole = Play(script, 0);
  const std::vector<std::string> split = Play(script, 1);
  for (size_t i = 0; i < whole.size(); ++i) {
    FUZZ_CHECK(whole[i] == split[i], "event " + std::to_string(i) + " split at its cut: " +
                                         FuzzShow(split[i]) + " whole: " + FuzzShow(whole[i]));
  }
  if (total <= 4096) {
    const std::vector<std::string> bytewise = Play(script, 2);
    for (size_t i = 0; i < whole.size(); ++i) {
      FUZZ_CHECK(whole[i] == bytewise[i], "event " + std::to_string(i) +
                                              " byte by byte: " + FuzzShow(bytewise[i]) +
                                              " whole: " + FuzzShow(whole[i]));
    }
  }
  return 0;
}
