// One side of a connection as the host handles it: its socket, what the
// plug-in reads and sends through it, and its state between two calls.
//
// A TCP stream, or TLS over one: the plug-in's socket service
// (plugin_bridge.cpp) maps the socket it names to the connection's stream;
// the pump reads readiness, peeks and shuts down through it. Only the
// connection's thread uses it.
//
// With a TlsSession (StartTls) every read and send of plaintext goes
// through the engine: the plug-in, the host's own replies and the pump see
// plaintext, and the socket carries ciphertext. Plaintext the engine has
// already decrypted makes the side readable whatever the socket says
// (Buffered). The engine bounds what it holds; reads and sends use a fixed
// buffer on the stack, never an allocation per piece.
#ifndef DIVIVEZ_HOST_PROXY_STREAM_H_
#define DIVIVEZ_HOST_PROXY_STREAM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/base/net.h"
#include "host/tls/tls.h"

class Stream {
 public:
  Stream() = default;
  explicit Stream(NetSocket socket) : m_socket(socket) {}
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  NetSocket Socket() const { return m_socket; }
  // A new socket for this side (the server's, once connected); any TLS
  // session of the old one is gone with it.
  void Attach(NetSocket socket) {
    m_socket = socket;
    m_tls.reset();
    m_peerEnded = 0;
    m_preload.clear();
  }

  // From now on the stream speaks TLS through session (its handshake first,
  // see HandshakeStep).
  void StartTls(std::unique_ptr<TlsSession> session) {
    m_tls = std::move(session);
    m_peerEnded = 0;
  }
  const TlsSession* Tls() const { return m_tls.get(); }

  // One step of the handshake without waiting: sends what the engine has,
  // feeds it what the socket holds. kMore: call again when the socket is
  // readable (the caller bounds the whole by --tls-handshake-timeout).
  // kFailed: the session's Failure() says why, or the socket ended
  // (Failure() kNone).
  enum class HandshakeResult { kDone, kMore, kFailed };
  HandshakeResult HandshakeStep();
  // The same, waiting up to timeoutMs for the whole handshake.
  HandshakeResult Handshake(int timeoutMs, const std::atomic<bool>* abort);

  // Bytes the plug-in reads before anything from the socket: the server's
  // greeting, read by the host before its STARTTLS and handed on after it.
  void Preload(const std::string& bytes) { m_preload = bytes; }

  // Plaintext decrypted and waiting inside the engine, or preloaded, or the
  // peer's end already read (a close_notify that came with the last
  // record, the socket left open while the peer waits for ours): the side
  // is due now, no socket will say so.
  bool Buffered() const {
    return !m_preload.empty() || (m_tls != nullptr && (m_tls->InputPending() || m_peerEnded != 0));
  }

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
  bool SendAll(const char* data, size_t length, int timeoutMs, const std::atomic<bool>* abort);
  // Without waiting: what the socket takes now (TLS: all of it is taken
  // into the engine, and its ciphertext goes out as far as the socket takes
  // it).
  int Send(const char* data, int length);

  // NetPeek on the socket; with TLS, plaintext waiting in the engine counts
  // (> 0; part of a record does not), and the peer's close_notify or the
  // end of the socket is the end of the stream (0) at once.
  int Peek() const;
  // TLS: the engine's record buffers given back while they hold nothing
  // (the pump calls it at the end of each round; taken again when data
  // flows).
  void ReleaseIdleBuffers();
  // NetPeekData on the socket (the plug-in's own socket road: never TLS).
  int PeekData(char* buffer, int size) const { return NetPeekData(m_socket, buffer, size); }

  // While held, the socket sends full segments only (see
  // NetHoldPartialSegments); Release sends what is held at once.
  void HoldSegments();
  void ReleaseSegments();

  // With TLS, close_notify goes out first.
  void ShutdownSend();
  void ShutdownBoth() { NetShutdownBoth(m_socket); }
  void Close() {
    NetClose(m_socket);
    m_tls.reset();
  }
  // Reads and drops what the peer still sends, up to lingerMs, then closes
  // (with TLS, after close_notify).
  void LingeringClose(int lingerMs);

  // Bytes the plug-in took from this side (counted by the pump, which learns
  // them from the plug-in's calls whoever's sockets it uses), and bytes it
  // sent through the host's socket service.
  void CountTaken(uint64_t n) { m_taken += n; }
  uint64_t Taken() const { return m_taken; }
  uint64_t Sent() const { return m_sent; }

 private:
  // TLS: ciphertext from the socket into the engine, as much as it takes
  // now: > 0 fed, 0 nothing waiting (or no room), else the socket ended.
  int Pull();
  // TLS: the engine's ciphertext to the socket; waits up to timeoutMs
  // (0: only what the socket takes now). False when the socket failed.
  bool Flush(int timeoutMs, const std::atomic<bool>* abort);
  int TlsReceive(char* buffer, int size);
  bool TlsSend(const char* data, size_t length, int timeoutMs, const std::atomic<bool>* abort);

  NetSocket m_socket = kNetInvalidSocket;
  std::unique_ptr<TlsSession> m_tls;
  // TLS: the peer ended (1: close_notify or end of stream, 2: failure).
  int m_peerEnded = 0;
  std::string m_preload;
  bool m_drained = false;
  bool m_holding = false;
  uint64_t m_taken = 0;
  uint64_t m_sent = 0;
};

#endif  // DIVIVEZ_HOST_PROXY_STREAM_H_
