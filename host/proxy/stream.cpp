// A TCP stream, or TLS over one. See stream.h.
#include "host/proxy/stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// Ciphertext read from the socket at a time: a full TLS record and its
// header, so one read feeds the engine a whole record.
constexpr size_t kPullBytes = 16384 + 512;
// How long close_notify may wait for the socket before the shutdown.
constexpr int kCloseNotifyMs = 1000;

using StreamClock = std::chrono::steady_clock;

int MillisecondsLeft(StreamClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - StreamClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

int Stream::ReceiveForPlugin(char* buffer, int size) {
  if (!m_preload.empty() && size > 0) {
    const size_t n = std::min(m_preload.size(), static_cast<size_t>(size));
    std::memcpy(buffer, m_preload.data(), n);
    m_preload.erase(0, n);
    return static_cast<int>(n);
  }
  if (m_drained) return 0;
  const int n = m_tls ? TlsReceive(buffer, size) : NetRecv(m_socket, buffer, size);
  if (n <= 0) return 0;
  if (n < size) m_drained = true;
  return n;
}

bool Stream::SendForPlugin(const char* data, size_t length, int timeoutMs,
                           const std::atomic<bool>* abort) {
  // What goes out on a socket may draw an answer on it.
  m_drained = false;
  if (length == 0) return true;
  if (!SendAll(data, length, timeoutMs, abort)) return false;
  m_sent += length;
  return true;
}

bool Stream::SendAll(const char* data, size_t length, int timeoutMs,
                     const std::atomic<bool>* abort) {
  if (!m_tls) return NetSendAll(m_socket, data, length, timeoutMs, abort);
  return TlsSend(data, length, timeoutMs, abort);
}

int Stream::Send(const char* data, int length) {
  if (!m_tls) return NetSend(m_socket, data, length);
  if (!m_tls->HandshakeDone()) return kNetError;
  if (length <= 0) return 0;
  size_t taken = 0;
  while (taken < static_cast<size_t>(length)) {
    size_t n = 0;
    const TlsSession::Status status =
        m_tls->Write(data + taken, static_cast<size_t>(length) - taken, &n);
    if (status == TlsSession::kOk) {
      taken += n;
    } else if (status != TlsSession::kWantWrite) {
      return kNetError;
    }
    if (!Flush(0, nullptr)) return kNetError;
    if (status == TlsSession::kWantWrite) {
      size_t waiting = 0;
      m_tls->Outgoing(&waiting);
      if (waiting > 0) break;  // the socket takes no more now
    }
  }
  return taken > 0 ? static_cast<int>(taken) : kNetWouldBlock;
}

int Stream::Peek() const {
  if (!m_preload.empty()) return 1;
  if (!m_tls) return NetPeek(m_socket);
  // The end first: once the peer has ended nothing more is read from the
  // engine, whatever part of a record it holds.
  if (m_peerEnded == 1) return 0;
  if (m_peerEnded == 2) return kNetError;
  if (m_tls->InputPending()) return 1;
  return NetPeek(m_socket);
}

void Stream::ReleaseIdleBuffers() {
  if (m_tls) m_tls->ReleaseIdleBuffers();
}

void Stream::ShutdownSend() {
  if (m_tls && m_tls->HandshakeDone()) {
    m_tls->Close();
    Flush(kCloseNotifyMs, nullptr);
  }
  NetShutdownSend(m_socket);
}

void Stream::LingeringClose(int lingerMs) {
  if (m_tls && m_tls->HandshakeDone()) {
    m_tls->Close();
    Flush(kCloseNotifyMs, nullptr);
  }
  m_tls.reset();
  NetLingeringClose(m_socket, lingerMs);
}

Stream::HandshakeResult Stream::HandshakeStep() {
  for (;;) {
    const TlsSession::Status status = m_tls->Handshake();
    if (!Flush(0, nullptr)) return HandshakeResult::kFailed;
    if (status == TlsSession::kOk) return HandshakeResult::kDone;
    if (status == TlsSession::kFailed) {
      // The alert that says why, if the socket takes it.
      return HandshakeResult::kFailed;
    }
    if (status == TlsSession::kWantWrite) {
      size_t waiting = 0;
      m_tls->Outgoing(&waiting);
      if (waiting > 0) return HandshakeResult::kMore;  // the socket is full
      continue;
    }
    const int fed = Pull();
    if (fed == 0) {
      // A handshake that waits for its peer holds no record buffer.
      m_tls->ReleaseIdleBuffers();
      return HandshakeResult::kMore;
    }
    if (fed < 0) return HandshakeResult::kFailed;
  }
}

Stream::HandshakeResult Stream::Handshake(int timeoutMs, const std::atomic<bool>* abort) {
  const StreamClock::time_point deadline =
      StreamClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const HandshakeResult result = HandshakeStep();
    if (result != HandshakeResult::kMore) return result;
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || (abort != nullptr && abort->load())) return HandshakeResult::kMore;
    size_t waiting = 0;
    m_tls->Outgoing(&waiting);
    NetPollItem item{m_socket, waiting > 0 ? kNetOut : kNetIn, 0};
    NetPoll(&item, 1, std::min(left, 250));
  }
}

int Stream::Pull() {
  const size_t room = m_tls->FeedRoom();
  if (room == 0) return 0;
  char buffer[kPullBytes];
  const int n = NetRecv(m_socket, buffer, static_cast<int>(std::min(room, sizeof buffer)));
  if (n > 0) {
    m_tls->Feed(buffer, static_cast<size_t>(n));
    return n;
  }
  if (n == kNetWouldBlock) return 0;
  m_peerEnded = n == 0 ? 1 : 2;
  return -1;
}

bool Stream::Flush(int timeoutMs, const std::atomic<bool>* abort) {
  const StreamClock::time_point deadline =
      StreamClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t size = 0;
    const char* data = m_tls->Outgoing(&size);
    if (size == 0) return true;
    if (timeoutMs > 0) {
      const int left = MillisecondsLeft(deadline);
      if (left == 0 || !NetSendAll(m_socket, data, size, left, abort)) return false;
      m_tls->Consume(size);
      continue;
    }
    const int n = NetSend(m_socket, data, static_cast<int>(std::min<size_t>(size, 1 << 30)));
    if (n == kNetWouldBlock) return true;
    if (n <= 0) return false;
    m_tls->Consume(static_cast<size_t>(n));
  }
}

int Stream::TlsReceive(char* buffer, int size) {
  if (m_peerEnded != 0 || !m_tls->HandshakeDone()) return 0;
  int total = 0;
  while (total < size) {
    size_t got = 0;
    const TlsSession::Status status =
        m_tls->Read(buffer + total, static_cast<size_t>(size - total), &got);
    if (status == TlsSession::kOk) {
      total += static_cast<int>(got);
    } else if (status == TlsSession::kWantRead) {
      // What reading queued for the peer goes now (the alert that refuses
      // a renegotiation): the peer waits for it before it sends more.
      if (!Flush(0, nullptr)) {
        m_peerEnded = 2;
        break;
      }
      if (Pull() <= 0) break;
    } else if (status == TlsSession::kWantWrite) {
      if (!Flush(0, nullptr)) {
        m_peerEnded = 2;
        break;
      }
      size_t waiting = 0;
      m_tls->Outgoing(&waiting);
      if (waiting > 0) break;
    } else {
      // A session that failed may have queued its end (SChannel's refusal
      // of a renegotiation ends with close_notify): sent as far as it goes.
      if (status == TlsSession::kFailed) Flush(0, nullptr);
      m_peerEnded = status == TlsSession::kClosed ? 1 : 2;
      break;
    }
  }
  return total;
}

bool Stream::TlsSend(const char* data, size_t length, int timeoutMs,
                     const std::atomic<bool>* abort) {
  // Nothing in plain text or in the clear mid-handshake.
  if (!m_tls->HandshakeDone()) return false;
  const StreamClock::time_point deadline =
      StreamClock::now() + std::chrono::milliseconds(timeoutMs);
  size_t taken = 0;
  while (taken < length) {
    size_t n = 0;
    const TlsSession::Status status = m_tls->Write(data + taken, length - taken, &n);
    if (status == TlsSession::kOk) {
      taken += n;
    } else if (status != TlsSession::kWantWrite) {
      return false;
    }
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || !Flush(left, abort)) return false;
  }
  const int left = MillisecondsLeft(deadline);
  return left > 0 && Flush(left, abort);
}

void Stream::HoldSegments() {
  NetHoldPartialSegments(m_socket, true);
  m_holding = true;
}

void Stream::ReleaseSegments() {
  // A delivery ends within the plug-in's call: its last piece goes out now,
  // not when the kernel's hold expires.
  if (!m_holding) return;
  NetHoldPartialSegments(m_socket, false);
  m_holding = false;
}
