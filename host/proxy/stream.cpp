// A plain TCP stream. See stream.h.
#include "host/proxy/stream.h"

int Stream::ReceiveForPlugin(char* buffer, int size) {
  if (m_drained) return 0;
  const int n = NetRecv(m_socket, buffer, size);
  if (n <= 0) return 0;
  if (n < size) m_drained = true;
  return n;
}

bool Stream::SendForPlugin(const char* data, size_t length, int timeoutMs,
                           const std::atomic<bool>* abort) {
  // What goes out on a socket may draw an answer on it.
  m_drained = false;
  if (length == 0) return true;
  if (!NetSendAll(m_socket, data, length, timeoutMs, abort)) return false;
  m_sent += length;
  return true;
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
