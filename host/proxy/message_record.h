// The record of one scanned message from its verdict to the server's answer
// to it, and the delivery accounting: what became of it (delivered, refused,
// given up, its answer unseen), told by the server's replies and the spool
// file's removal, its log line and its counters.
#ifndef DIVIVEZ_HOST_PROXY_MESSAGE_RECORD_H_
#define DIVIVEZ_HOST_PROXY_MESSAGE_RECORD_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "host/base/log.h"
#include "host/proxy/counters.h"
#include "host/proxy/dialogue_follower.h"
#include "host/proxy/stream.h"

class MessageRecord final : public DialogueFollower::ReplySink {
 public:
  using Clock = std::chrono::steady_clock;

  // What the scan made of a message the plug-in now sends on.
  struct Scanned {
    uint64_t size = 0;
    std::string spool;
    std::string label;     // "conn N msg M"
    std::string envelope;  // " from <a> to <b> (+n)"
    std::string verdict;
    long scanMs = 0;
  };

  // hostSockets: the plug-in uses the host's socket service, so the host
  // sees what it sends to server.
  MessageRecord(Logger* log, ProxyCounters* counters, bool hostSockets, Stream* server)
      : m_log(log), m_counters(counters), m_hostSockets(hostSockets), m_server(server) {}

  // A new message, in hand from the end of its scan.
  void Begin(Scanned scanned);
  bool Active() const { return m_active; }
  // After each call of the plug-in: logs the message once its spool file is
  // gone (delivered), or with finalReason when the connection moves on
  // without that.
  void Check(const char* finalReason);
  // Server bytes got past the host (--socket-service plugin).
  void MarkUnseen() { m_unseen = true; }
  // The plug-in's progress through its delivery, in KiB.
  void Progress(uint32_t done, uint32_t total);

  void ServerReply(int code, const std::string& text) override;

 private:
  void LogFinal(const std::string& outcome);

  Logger* const m_log;
  ProxyCounters* const m_counters;
  const bool m_hostSockets;
  Stream* const m_server;

  bool m_active = false;
  uint64_t m_size = 0;
  std::filesystem::path m_spool;  // built once: checked after every server call
  std::string m_label;
  std::string m_envelope;
  std::string m_verdict;
  bool m_sawDataReply = false;  // the server's 354 to our DATA has come
  bool m_unseen = false;
  std::string m_dataRefusal;  // a failure reply before any 354
  long m_scanMs = 0;
  Clock::time_point m_scanEnd;
  uint64_t m_sentAtScan = 0;
  unsigned m_reportedQuarter = 0;
  unsigned m_shownPercent = 0;
};

#endif  // DIVIVEZ_HOST_PROXY_MESSAGE_RECORD_H_
