// The record of one message and its delivery accounting. See
// message_record.h.
#include "host/proxy/message_record.h"

#include <algorithm>
#include <system_error>

namespace {

// Delivery progress reaches a log that is not a terminal for messages of at
// least this size, or once a delivery has lasted this long.
constexpr uint32_t kProgressLogKiB = 1024;
constexpr auto kSlowDelivery = std::chrono::seconds(1);

}  // namespace

void MessageRecord::Begin(Scanned scanned) {
  m_active = true;
  m_size = scanned.size;
  m_spool = scanned.spool;
  m_label = std::move(scanned.label);
  m_envelope = std::move(scanned.envelope);
  m_verdict = std::move(scanned.verdict);
  m_sawDataReply = false;
  m_unseen = false;
  m_dataRefusal.clear();
  m_scanMs = scanned.scanMs;
  m_scanEnd = Clock::now();
  m_sentAtScan = m_server->Sent();
  m_reportedQuarter = 0;
  m_shownPercent = 0;
}

void MessageRecord::ServerReply(int code, const std::string& text) {
  if (!m_active) return;
  if (!m_sawDataReply) {
    // Before the 354 to our DATA come the answers to keep-alives.
    if (code == 354) {
      m_sawDataReply = true;
      // Through the host's socket service the plug-in now sends the message
      // in pieces (the headers, the inserted text, then 8 KiB at a time),
      // each on its own call: held, they leave as full-sized packets, and a
      // small message as one packet instead of three.
      if (m_hostSockets) m_server->HoldSegments();
    } else if (code >= 400) {
      m_dataRefusal = LogSafe(text);
    }
    return;
  }
  // The first reply after the 354 is the server's answer to the message.
  const std::string reply = LogSafe(text);
  m_counters->deliverySeconds.Observe(MicrosecondsSince(m_scanEnd));
  if (code >= 200 && code < 300) {
    ++m_counters->delivered;
    LogFinal("delivered in " + std::to_string(MillisecondsSince(m_scanEnd)) + " ms: " + reply);
  } else {
    ++m_counters->refused;
    LogFinal("REFUSED by the server after " + std::to_string(MillisecondsSince(m_scanEnd)) +
             " ms: " + reply);
  }
}

void MessageRecord::LogFinal(const std::string& outcome) {
  m_log->Progress(m_label, 100);
  m_log->Line("%s%s: %llu bytes, %s; scan %ld ms, %s", m_label.c_str(), m_envelope.c_str(),
              static_cast<unsigned long long>(m_size), m_verdict.c_str(), m_scanMs,
              outcome.c_str());
  m_active = false;
}

void MessageRecord::Check(const char* finalReason) {
  if (!m_active) return;
  // The plug-in deletes the spool file when the message leaves its hands:
  // sent to the server (whose answer is logged when it comes), or given up.
  // Through the host's socket service the host sees whether the whole file
  // went to the server; when the plug-in sends by itself, the 354 and the
  // file's removal are all there is to go by.
  std::error_code fsError;
  const bool spooled = std::filesystem::exists(m_spool, fsError);
  if (spooled && finalReason == nullptr) return;
  const uint64_t sent = m_server->Sent() - m_sentAtScan;
  const bool seen = m_hostSockets;
  if (!spooled && !m_sawDataReply && !m_dataRefusal.empty()) {
    ++m_counters->refused;
    LogFinal("REFUSED by the server before the message: " + m_dataRefusal);
    return;
  }
  if (!spooled && seen && sent < m_size) {
    ++m_counters->deliveryFailed;
    LogFinal("delivery failed after " + std::to_string(sent) + " bytes (the client was told 451)");
    return;
  }
  if (!spooled && !m_sawDataReply && !m_unseen) {
    ++m_counters->deliveryFailed;
    LogFinal("not delivered (the plug-in gave it up)");
    return;
  }
  if (!spooled && m_unseen) {
    ++m_counters->unconfirmed;
    LogFinal(
        "sent to the server; its answer was read by the plug-in unseen "
        "(--socket-service plugin)");
    return;
  }
  if (!spooled && finalReason == nullptr) return;  // the answer is still to come
  if (spooled) {
    ++m_counters->deliveryFailed;
    LogFinal(std::string("not delivered (") + finalReason + ")");
  } else {
    ++m_counters->unconfirmed;
    LogFinal(std::string("sent to the server, which gave no answer (") + finalReason + ")");
  }
}

void MessageRecord::Progress(uint32_t done, uint32_t total) {
  if (!m_active) return;
  done = std::min(done, total);
  const unsigned percent =
      total == 0 ? 100u : static_cast<unsigned>(static_cast<uint64_t>(done) * 100 / total);
  // Called after every 8 KiB the plug-in delivers: nothing is built or
  // written unless the bar or a quarter mark moves.
  if (m_log->Terminal()) {
    if (percent != m_shownPercent && percent < 100) {
      m_shownPercent = percent;
      m_log->Progress(m_label + " delivering", percent);
    }
    return;
  }
  // A quarter line is worth reading only where delivery takes a while: for
  // large messages, and for any whose delivery has lasted a second. Without
  // this, most messages of a few dozen KiB would log three lines in the
  // millisecond they take.
  const unsigned quarter = percent / 25;
  if (quarter > m_reportedQuarter && quarter < 4) {
    m_reportedQuarter = quarter;
    if (total >= kProgressLogKiB || Clock::now() - m_scanEnd >= kSlowDelivery) {
      m_log->Line("%s: delivering, %u%% (%u of %u KiB)", m_label.c_str(), quarter * 25, done,
                  total);
    }
  }
}
