// Socket helpers built on the per-platform primitives of net.h.
#include <chrono>

#include "host/base/net.h"

namespace {

// Waits are cut into slices so that a shutdown request is seen quickly.
constexpr int kSliceMs = 250;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool NetSendAll(NetSocket socket, const char* data, size_t length, int timeoutMs,
                const std::atomic<bool>* abort) {
  const int64_t deadline = NowMs() + timeoutMs;
  while (length > 0) {
    const int chunk = length > 0x10000000 ? 0x10000000 : static_cast<int>(length);
    const int n = NetSend(socket, data, chunk);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n != kNetWouldBlock) return false;
    for (;;) {
      if (abort != nullptr && abort->load()) return false;
      const int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      NetPollItem item{socket, kNetOut, 0};
      const int ready = NetPoll(&item, 1, left < kSliceMs ? static_cast<int>(left) : kSliceMs);
      if (ready < 0) return false;
      if (ready > 0) break;
    }
  }
  return true;
}

void NetLingeringClose(NetSocket socket, int lingerMs) {
  if (socket == kNetInvalidSocket) return;
  NetShutdownSend(socket);
  const int64_t deadline = NowMs() + lingerMs;
  char discard[512];
  for (;;) {
    // Checked before every read: a peer that keeps sending must not hold the
    // connection open past the deadline.
    const int64_t left = deadline - NowMs();
    if (left <= 0) break;
    const int n = NetRecv(socket, discard, sizeof discard);
    if (n == 0 || n == kNetError) break;
    if (n > 0) continue;
    NetPollItem item{socket, kNetIn, 0};
    if (NetPoll(&item, 1, static_cast<int>(left)) < 0) break;
  }
  NetClose(socket);
}

std::string EndpointText(const Endpoint& endpoint) {
  if (endpoint.host.find(':') != std::string::npos) {
    return "[" + endpoint.host + "]:" + std::to_string(endpoint.port);
  }
  return endpoint.host + ":" + std::to_string(endpoint.port);
}
