// The dialogue as the host follows it, for the time limits and the log: the
// client's complete command lines (and the envelope they name), the message
// data between DATA and its end, and the server's replies. It sees what the
// plug-in read, through the host's socket service or a peek before the call,
// in pieces split anywhere.
#ifndef DIVIVEZ_HOST_PROXY_DIALOGUE_FOLLOWER_H_
#define DIVIVEZ_HOST_PROXY_DIALOGUE_FOLLOWER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/smtp/smtp_data.h"

class DialogueFollower {
 public:
  using Clock = std::chrono::steady_clock;

  // Told of each complete reply of the server (the last line of a
  // multi-line reply), its line end removed.
  class ReplySink {
   public:
    virtual void ServerReply(int code, const std::string& line) = 0;

   protected:
    ~ReplySink() = default;
  };

  void FromClient(const char* data, size_t length, Clock::time_point now);
  void FromServer(const char* data, size_t length, Clock::time_point now, ReplySink* sink);
  // What the plug-in sent the client through the host's socket service.
  void ToClient(const char* data, size_t length);
  // With the plug-in's own sockets the host sees no reply go out to the
  // client: the server's stand for them.
  void SetRepliesUnseen(bool unseen) { m_repliesUnseen = unseen; }
  // The client heard the end: a 221 or 421, or the host's own last word.
  void MarkToldClosing() { m_toldClosing = true; }
  // The plug-in has taken a message in hand (its scan): it has ended,
  // whatever the host's view of the stream was.
  void MessageTaken();
  // The plug-in read client bytes the follower did not see: a message
  // still arriving counts it as a read, a command line begun is dropped.
  void LostSight(Clock::time_point now);
  // Something happened that a time limit counts from.
  void Touch(Clock::time_point now) { m_progress = now; }

  bool InData() const { return m_inData; }
  // A complete command or message awaits the server's answer.
  bool Awaiting() const { return m_awaiting; }
  uint64_t DataBytes() const { return m_dataBytes; }
  int MessagesEnded() const { return m_messagesEnded; }
  Clock::time_point Progress() const { return m_progress; }
  const std::string& Sender() const { return m_sender; }
  const std::string& FirstRecipient() const { return m_firstRecipient; }
  int Recipients() const { return m_recipients; }
  // The client awaits a reply it has not been sent: the greeting from the
  // connect, then each complete command or message until the next reply
  // goes out to it.
  bool Owed() const { return m_owed; }
  bool ToldClosing() const { return m_toldClosing; }
  // " from <a> to <b> (+n)" of the current transaction, for the log.
  std::string Envelope() const;

 private:
  bool m_inData = false;  // between DATA and the end of the message
  bool m_awaiting = false;
  uint64_t m_dataBytes = 0;
  int m_messagesEnded = 0;  // ends of data seen
  DataEndFinder m_dataEnd;  // the end of the message arriving
  std::string m_line;       // the client's current command line (its head)
  std::string m_sender;     // of the current transaction
  std::string m_firstRecipient;
  int m_recipients = 0;
  Clock::time_point m_progress = Clock::now();  // the last event a limit counts from
  std::string m_replyLine;                      // the server's current line (its head)
  bool m_replyLineCr = false;
  bool m_authAnswerDue = false;  // the server's last reply was a 334
  bool m_owed = true;
  bool m_toldClosing = false;
  bool m_repliesUnseen = false;
};

#endif  // DIVIVEZ_HOST_PROXY_DIALOGUE_FOLLOWER_H_
