// TLS for both of the proxy's legs, as an engine driven by buffers.
//
// The engine never touches a socket: the caller feeds it the ciphertext it
// read, sends the ciphertext the engine has ready, and reads and writes
// plaintext. So one engine serves the client leg (server side: STARTTLS or
// implicit TLS) and the upstream leg (client side), under any event loop,
// and both ends of a handshake can run in memory. One implementation per
// platform behind this header: OpenSSL 3 on Linux (a bounded BIO pair),
// SChannel through SSPI on Windows.
//
// TLS 1.2 or newer only; toward clients TLS 1.2 with ECDHE and AEAD
// ciphers only, toward servers the library's defaults; no renegotiation (a
// peer that asks is refused with the warning alert no_renegotiation and
// the session goes on; SChannel cannot go on, so there the session fails
// and ends with close_notify), no compression.
//
// The caller's loop, for one session (one thread at a time per session;
// contexts are shared between threads):
//   1. Whenever Outgoing() is not empty, send from it and Consume() what the
//      socket took. Poll for writability while it is not empty.
//   2. When the socket is readable and FeedRoom() > 0, read at most
//      FeedRoom() bytes and Feed() them. With FeedRoom() == 0 the engine
//      holds a record's worth it has not processed yet: call Handshake() or
//      Read() first (they make room) rather than reading the socket.
//   3. Until Handshake() returns kOk, call it after every Feed() and every
//      drain of Outgoing(): kWantRead waits for the peer, kWantWrite for
//      Outgoing() to drain. A client's first call, with nothing fed, makes
//      its hello.
//   4. After the handshake, Read() and Write() plaintext. Write() takes what
//      fits while earlier ciphertext waits in Outgoing() (kWantWrite when it
//      took nothing); Read() gives kWantRead when the peer owes a record.
//      Read() may also queue ciphertext for the peer (an alert refusing a
//      renegotiation): step 1 applies after it too. InputPending() says
//      the peer's data is already inside the engine (sent with or right
//      behind its last handshake flight, or more than one Read() took):
//      Read() it before waiting for the socket again. Part of a record is
//      not data: the socket must be waited for.
//   5. Close() queues close_notify; send Outgoing() and then shut the
//      socket. Read() gives kClosed once the peer's close_notify came.
//      A socket that ends without close_notify is the caller's to see.
//   6. When the session goes idle (the peer owes nothing, nothing waits to
//      go out), ReleaseIdleBuffers() gives its record buffers back; they
//      are taken again when data flows.
// Memory per session is bounded: about two records in each direction
// while data flows; a few KB while idle or before a server's first byte.
#ifndef DIVIVEZ_HOST_TLS_TLS_H_
#define DIVIVEZ_HOST_TLS_TLS_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

// Why a handshake or a session failed, for metrics; FailureText() gives
// the detail for the log and the client's 421.
enum class TlsFailure {
  kNone,
  kProtocolVersion,  // no version in common (the peer offered only TLS 1.1 or older)
  kUnknownCa,        // the peer's chain does not end at a trusted root
  kNameMismatch,     // the certificate does not name the peer (host name or IP address)
  kCertificate,      // any other refusal of the certificate: expired, not yet valid, ...
  kHandshake,        // any other handshake failure: no shared cipher, an alert, garbage
  kProtocol,         // after the handshake: a bad record, an alert, a renegotiation
  kInternal,         // the library failed (memory, ...)
};

// A short stable token per reason ("version", "unknown_ca", ...), for
// metric labels.
const char* TlsFailureName(TlsFailure failure);

// True when name is an IPv4 or IPv6 address literal (checked against the
// certificate's IP addresses, and never sent as SNI).
bool TlsIsIpLiteral(const std::string& name);

// The settings of one side. Opaque; one implementation per platform.
class TlsContext;

// A server context from PEM files: certFile holds the certificate and then
// the rest of its chain; keyFile the private key, or empty when certFile
// holds it too. Or from a PKCS #12 file (.pfx, .p12, or DER content): the
// key, the certificate and its chain, opened with the password that
// passwordFile holds (its first line; empty: no password). On Windows also
// a certificate of the system's store that has its key there,
// store:LocalMachine\My\THUMBPRINT or store:CurrentUser\My\subject=NAME
// (refused elsewhere). Null with *error naming the file and what is wrong.
std::shared_ptr<const TlsContext> TlsLoadServerContext(const std::string& certFile,
                                                       const std::string& keyFile,
                                                       const std::string& passwordFile,
                                                       std::string* error);

// Whether the file is PKCS #12 rather than PEM: its name ends in .pfx or
// .p12, or it starts as DER does (a SEQUENCE) where PEM has text.
bool TlsIsPkcs12(const std::string& path, const std::string& content);
// The password in the file's first line (without its line end); "" for no
// file. False with *error when the file cannot be read.
bool TlsReadPassword(const std::string& passwordFile, std::string* password, std::string* error);

struct TlsClientSettings {
  // False: the peer's certificate is not checked at all (opportunistic
  // TLS, RFC 7435).
  bool verify = true;
  // PEM roots that replace the system's store; empty: the system's store.
  std::string caFile;
};

// A client context. It keeps one resumable session per peer name (session
// tickets), so that the next connection to the same upstream resumes.
std::shared_ptr<const TlsContext> TlsMakeClientContext(const TlsClientSettings& settings,
                                                       std::string* error);

// The server context in force, replaced as a whole on reload: a session
// holds the context it was made from, so a reload never touches
// connections already running.
class TlsServerContextSlot {
 public:
  // Loads the files; in force only when they load. False with *error
  // otherwise, the context in force (if any) left as it was.
  bool Load(const std::string& certFile, const std::string& keyFile,
            const std::string& passwordFile, std::string* error);
  // Null before the first successful Load().
  std::shared_ptr<const TlsContext> Current() const;

 private:
  mutable std::mutex m_mutex;
  std::shared_ptr<const TlsContext> m_current;
};

class TlsSession {
 public:
  enum Status { kOk, kWantRead, kWantWrite, kClosed, kFailed };

  // The server side of a connection.
  static std::unique_ptr<TlsSession> Server(std::shared_ptr<const TlsContext> context,
                                            std::string* error);
  // The client side, to peerName: a host name (verified and sent as SNI) or
  // an IP literal (verified against the certificate's IP addresses, no
  // SNI).
  static std::unique_ptr<TlsSession> Client(std::shared_ptr<const TlsContext> context,
                                            const std::string& peerName, std::string* error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Ciphertext from the peer. FeedRoom() is how much the engine takes now;
  // Feed() takes at most that and returns how much it took.
  size_t FeedRoom() const;
  size_t Feed(const char* data, size_t size);

  // Ciphertext for the peer: a contiguous piece of what waits (empty when
  // nothing does; call again after Consume() for the rest).
  const char* Outgoing(size_t* size) const;
  void Consume(size_t size);

  // Drives the handshake: kOk once it is complete (and on every call
  // after), kWantRead, kWantWrite, or kFailed (see Failure()).
  Status Handshake();
  bool HandshakeDone() const;

  // Plaintext. Read: kOk with *got > 0, kWantRead, kWantWrite (Outgoing()
  // must drain first), kClosed (the peer's close_notify), kFailed.
  Status Read(char* buffer, size_t size, size_t* got);
  // Write: kOk with *taken > 0 (maybe fewer than size), kWantWrite when
  // nothing fits before Outgoing() drains, kFailed.
  Status Write(const char* data, size_t size, size_t* taken);
  // True when decrypted plaintext, or a whole record (or the rest of one the
  // engine has begun), waits inside the engine: Read() makes progress
  // without the socket. False while only part of a record has come.
  bool InputPending() const;
  // Gives back the buffers that hold nothing now (the engine's own and the
  // library's record buffers); they are taken again when data flows.
  void ReleaseIdleBuffers();

  // Queues close_notify (once); Outgoing() then holds it.
  void Close();

  // After the handshake: "TLSv1.3", "TLSv1.2"; the cipher suite's name.
  std::string Version() const;
  std::string Cipher() const;
  // Whether the handshake resumed an earlier session.
  bool Resumed() const;
  // Whether the client sent SNI and what it named (server side); empty
  // otherwise.
  std::string ServerName() const;

  TlsFailure Failure() const;
  // "certificate verify failed: hostname mismatch", "handshake failed: ...".
  const std::string& FailureText() const;

  struct Impl;

 private:
  explicit TlsSession(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

#endif  // DIVIVEZ_HOST_TLS_TLS_H_
