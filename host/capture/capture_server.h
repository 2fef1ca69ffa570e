// The embedded capture server: the default upstream when no --upstream is
// given. It speaks enough SMTP (RFC 5321) for a relay to deliver to it, with
// pipelining (RFC 2920), and stores each message it accepts as an .eml file
// in the outbox: dot-stuffing undone, written to a temporary name and renamed
// when complete, so a reader never sees half a message.
//
// SmtpCaptureSession is the protocol alone: bytes in, replies out, message
// content to a sink; it owns no socket and is unit-tested on its own.
// CaptureServer runs every session on one thread with non-blocking sockets
// and poll; memory per session is bounded (one command line, the pending
// replies; message content goes straight to the file).
#ifndef DIVIVEZ_HOST_CAPTURE_CAPTURE_SERVER_H_
#define DIVIVEZ_HOST_CAPTURE_CAPTURE_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "host/base/net.h"
#include "host/smtp/smtp_data.h"

class Logger;

// Where one session's messages go, one at a time.
class IMessageSink {
 public:
  virtual ~IMessageSink() = default;
  virtual bool Begin() = 0;
  virtual bool Write(const char* data, size_t length) = 0;
  // Makes the message visible; returns its name, or "" on failure.
  virtual std::string Commit() = 0;
  virtual void Abort() = 0;
};

// Stores messages as DIR/<time>-<pid>-<n>.eml via DIR/.<pid>-<n>.tmp.
class OutboxSink : public IMessageSink {
 public:
  explicit OutboxSink(std::string directory) : m_directory(std::move(directory)) {}
  ~OutboxSink() override { Abort(); }
  bool Begin() override;
  bool Write(const char* data, size_t length) override;
  std::string Commit() override;
  void Abort() override;

 private:
  std::string m_directory;
  std::string m_tempPath;
  std::string m_finalName;
  std::FILE* m_file = nullptr;
};

class SmtpCaptureSession {
 public:
  static constexpr size_t kMaxLine = 1000;  // RFC 5321 section 4.5.3.1.4, with CR LF
  static constexpr size_t kMaxRecipients = 1000;
  static constexpr uint64_t kMaxMessageBytes = 50u * 1024 * 1024;

  explicit SmtpCaptureSession(IMessageSink* sink) : m_sink(sink) {}

  static std::string Greeting();

  // Consumes client bytes and appends the replies they call for. After QUIT
  // it consumes nothing more: Quit() is true and the caller closes once the
  // replies are out.
  size_t Feed(const char* data, size_t length, std::string* replies);
  bool Quit() const { return m_quit; }

  // Details of the last message stored, for the log.
  const std::string& LastStored() const { return m_lastStored; }
  uint64_t LastStoredBytes() const { return m_lastStoredBytes; }
  const std::string& LastSender() const { return m_lastSender; }
  size_t LastRecipients() const { return m_lastRecipients; }
  uint64_t StoredCount() const { return m_storedCount; }

 private:
  void Command(const std::string& line, std::string* replies);
  void EndOfData(std::string* replies);
  void ResetTransaction();

  IMessageSink* m_sink;
  std::string m_line;
  bool m_lineTooLong = false;
  bool m_quit = false;
  bool m_hasSender = false;
  std::string m_sender;
  size_t m_recipients = 0;
  bool m_inData = false;
  bool m_dataFailed = false;  // the sink failed or the message is too big
  bool m_tooBig = false;
  uint64_t m_dataBytes = 0;
  DotUnstuffer m_unstuffer;
  std::string m_lastStored;
  uint64_t m_lastStoredBytes = 0;
  std::string m_lastSender;
  size_t m_lastRecipients = 0;
  uint64_t m_storedCount = 0;
};

class CaptureServer {
 public:
  CaptureServer(std::string outbox, Logger* log) : m_outbox(std::move(outbox)), m_log(log) {}
  ~CaptureServer() { Stop(); }

  // Listens on 127.0.0.1 (ephemeral port) and starts serving on a thread.
  bool Start(uint16_t* port, std::string* error);
  // Stops serving; open sessions are cut and their partial messages dropped.
  void Stop();
  uint64_t Stored() const { return m_stored.load(); }

 private:
  void Run();

  std::string m_outbox;
  Logger* m_log;
  NetSocket m_listener = kNetInvalidSocket;
  bool m_started = false;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_stored{0};
  std::thread m_thread;
};

#endif  // DIVIVEZ_HOST_CAPTURE_CAPTURE_SERVER_H_
