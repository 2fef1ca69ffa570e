// One side of a connection as the host handles it: its socket, what the
// plug-in reads and sends through it, and its state between two calls.
//
// A plain TCP stream. The plug-in's socket service (plugin_bridge.cpp) maps
// the socket it names to the connection's stream; the pump reads readiness,
// peeks and shuts down through it. Only the connection's thread uses it.
#ifndef DIVIVEZ_HOST_PROXY_STREAM_H_
#define DIVIVEZ_HOST_PROXY_STREAM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host/base/net.h"

class Stream {
 public:
  Stream() = default;
  explicit Stream(NetSocket socket) : m_socket(socket) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  NetSocket Socket() const { return m_socket; }
  // A new socket for this side (the server's, once connected).
  void Attach(NetSocket socket) { m_socket = socket; }

  // The plug-in's reads and sends through the host's socket service.
  //
  // A read: > 0 bytes, 0 when nothing is there (end of
  // stream, failure or nothing yet, as the socket service reports them).
  // A read that returned less than asked for means the socket had nothing
  // more at the time: within the same call of the plug-in another read would
  // only be told so, and is answered without a system call.
  int ReceiveForPlugin(char* buffer, int size);
  // A send: all of it, waiting up to timeoutMs for the peer to take it.
  bool SendForPlugin(const char* data, size_t length, int timeoutMs,
                     const std::atomic<bool>* abort);
  // Before each call of the plug-in: reads go to the socket again.
  void NewCall() { m_drained = false; }

  // The host's own replies and commands, outside what the plug-in sees.
  bool SendAll(const char* data, size_t length, int timeoutMs,
               const std::atomic<bool>* abort) const {
    return NetSendAll(m_socket, data, length, timeoutMs, abort);
  }
  int Send(const char* data, int length) const { return NetSend(m_socket, data, length); }

  // NetPeek and NetPeekData on the socket.
  int Peek() const { return NetPeek(m_socket); }
  int PeekData(char* buffer, int size) const { return NetPeekData(m_socket, buffer, size); }

  // While held, the socket sends full segments only (see
  // NetHoldPartialSegments); Release sends what is held at once.
  void HoldSegments();
  void ReleaseSegments();

  void ShutdownSend() { NetShutdownSend(m_socket); }
  void ShutdownBoth() { NetShutdownBoth(m_socket); }
  void Close() { NetClose(m_socket); }
  // Reads and drops what the peer still sends, up to lingerMs, then closes.
  void LingeringClose(int lingerMs) { NetLingeringClose(m_socket, lingerMs); }

  // Bytes the plug-in took from this side (counted by the pump, which learns
  // them from the plug-in's calls whoever's sockets it uses), and bytes it
  // sent through the host's socket service.
  void CountTaken(uint64_t n) { m_taken += n; }
  uint64_t Taken() const { return m_taken; }
  uint64_t Sent() const { return m_sent; }

 private:
  NetSocket m_socket = kNetInvalidSocket;
  bool m_drained = false;
  bool m_holding = false;
  uint64_t m_taken = 0;
  uint64_t m_sent = 0;
};

#endif  // DIVIVEZ_HOST_PROXY_STREAM_H_
