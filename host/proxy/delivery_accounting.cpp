// Delivery accounting: what became of each scanned message after the
// verdict (delivered, refused, given up, its answer unseen), told by the
// server's replies and the spool file's removal, and the process's counters.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <filesystem>
#include <system_error>

#include "host/proxy/connection.h"

void Proxy::WarnUnscanned(Connection* c) {
  // With pass the plug-in relays a message it cannot spool without a scan;
  // the host knows it by a message that ended with no scan of it.
  if (m_settings.onScanError != ScanErrorPolicy::kPass) return;
  const int pending = c->messagesEnded - c->messages - c->unscannedWarned;
  for (int i = 0; i < pending; ++i) {
    ++m_counters.unscanned;
    m_log->Line(
        "WARNING: %s from %s: a message went to the server UNSCANNED: the plug-in could "
        "not spool it (--on-scan-error pass)",
        c->Label().c_str(), c->peer.c_str());
  }
  if (pending > 0) c->unscannedWarned += pending;
}

void Proxy::ServerReply(Connection* c, int code, const std::string& text) {
  Connection::Message& message = c->message;
  if (!message.active) return;
  if (!message.sawDataReply) {
    // Before the 354 to our DATA come the answers to keep-alives.
    if (code == 354) {
      message.sawDataReply = true;
      // Through the host's socket service the plug-in now sends the message
      // in pieces (the headers, the inserted text, then 8 KiB at a time),
      // each on its own call: held, they leave as full-sized packets, and a
      // small message as one packet instead of three.
      if (m_settings.socketService == SocketService::kHost) {
        NetHoldPartialSegments(c->serverSocket, true);
        c->holdingSegments = true;
      }
    } else if (code >= 400) {
      message.dataRefusal = LogSafe(text);
    }
    return;
  }
  // The first reply after the 354 is the server's answer to the message.
  const std::string reply = LogSafe(text);
  m_counters.deliverySeconds.Observe(MicrosecondsSince(message.scanEnd));
  if (code >= 200 && code < 300) {
    ++m_counters.delivered;
    LogFinal(
        c, "delivered in " + std::to_string(MillisecondsSince(message.scanEnd)) + " ms: " + reply);
  } else {
    ++m_counters.refused;
    LogFinal(c, "REFUSED by the server after " +
                    std::to_string(MillisecondsSince(message.scanEnd)) + " ms: " + reply);
  }
}

void Proxy::LogFinal(Connection* c, const std::string& outcome) {
  Connection::Message& message = c->message;
  m_log->Progress(message.label, 100);
  m_log->Line("%s%s: %llu bytes, %s; scan %ld ms, %s", message.label.c_str(),
              message.envelope.c_str(), static_cast<unsigned long long>(message.size),
              message.verdict.c_str(), message.scanMs, outcome.c_str());
  message.active = false;
}

void Proxy::CheckDelivery(Connection* c, const char* finalReason) {
  Connection::Message& message = c->message;
  if (!message.active) return;
  // The plug-in deletes the spool file when the message leaves its hands:
  // sent to the server (whose answer is logged when it comes), or given up.
  // Through the host's socket service the host sees whether the whole file
  // went to the server; when the plug-in sends by itself, the 354 and the
  // file's removal are all there is to go by.
  std::error_code fsError;
  const bool spooled = std::filesystem::exists(message.spool, fsError);
  if (spooled && finalReason == nullptr) return;
  const uint64_t sent = c->sentToServer - message.sentToServerAtScan;
  const bool seen = m_settings.socketService == SocketService::kHost;
  if (!spooled && !message.sawDataReply && !message.dataRefusal.empty()) {
    ++m_counters.refused;
    LogFinal(c, "REFUSED by the server before the message: " + message.dataRefusal);
    return;
  }
  if (!spooled && seen && sent < message.size) {
    ++m_counters.deliveryFailed;
    LogFinal(c,
             "delivery failed after " + std::to_string(sent) + " bytes (the client was told 451)");
    return;
  }
  if (!spooled && !message.sawDataReply && !message.unseen) {
    ++m_counters.deliveryFailed;
    LogFinal(c, "not delivered (the plug-in gave it up)");
    return;
  }
  if (!spooled && message.unseen) {
    ++m_counters.unconfirmed;
    LogFinal(c,
             "sent to the server; its answer was read by the plug-in unseen "
             "(--socket-service plugin)");
    return;
  }
  if (!spooled && finalReason == nullptr) return;  // the answer is still to come
  if (spooled) {
    ++m_counters.deliveryFailed;
    LogFinal(c, std::string("not delivered (") + finalReason + ")");
  } else {
    ++m_counters.unconfirmed;
    LogFinal(c, std::string("sent to the server, which gave no answer (") + finalReason + ")");
  }
}

void Proxy::LogCounters() {
  const ProxyCounters& k = m_counters;
  auto v = [](const std::atomic<uint64_t>& counter) {
    return static_cast<unsigned long long>(counter.load());
  };
  m_log->Line(
      "counters: connections %llu (refused %llu, over per-address limit %llu, upstream "
      "unreachable %llu, timed out %llu); messages %llu (clean %llu, infected %llu: rejected "
      "%llu; scan errors %llu: answered 451 %llu, passed unscanned %llu, dropped unscanned %llu; "
      "dropped %llu, over size %llu, delivered %llu, refused by the server %llu, delivery failed "
      "%llu, answer not seen %llu); bytes from clients %llu, from servers %llu",
      v(k.connections), v(k.rejected), v(k.perAddress), v(k.upstreamFailed), v(k.timedOut),
      v(k.messages), v(k.clean), v(k.infected) + v(k.infectedRejected), v(k.infectedRejected),
      v(k.scanErrors), v(k.tempfailed), v(k.unscanned), v(k.errorDropped), v(k.dropped),
      v(k.oversize), v(k.delivered), v(k.refused), v(k.deliveryFailed), v(k.unconfirmed),
      static_cast<unsigned long long>(k.bytesFromClients.load()),
      static_cast<unsigned long long>(k.bytesFromServers.load()));
}
