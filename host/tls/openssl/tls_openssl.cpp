// The engine on OpenSSL 3: each session's SSL object reads and writes
// through a BIO of our own with a bounded buffer each way: Feed() fills the
// incoming one, Outgoing() and Consume() drain the outgoing one. A full
// outgoing buffer is what makes the handshake and Write() report
// kWantWrite, so memory stays bounded. The buffers are taken when data
// first flows and given back, with OpenSSL's own record buffers, when the
// session goes idle (ReleaseIdleBuffers): an idle session or a stalled
// handshake holds no record-sized buffer.
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host/tls/tls.h"

namespace {

// Each direction holds a little more than one largest record (16 KiB of
// plaintext, 2 KiB of expansion, the header).
constexpr size_t kBufferSize = 20 * 1024;
// The longest record a peer may send: 2^14 bytes and 2048 of expansion
// (RFC 5246 section 6.2.3).
constexpr size_t kMaxRecord = 16384 + 2048;
// What a record adds to the plaintext at most (TLS 1.2 CBC: IV, MAC,
// padding); Write() keeps this much room free so OpenSSL never holds a
// half-written record of its own.
constexpr size_t kRecordOverhead = 512;
// Upstreams a client context keeps a session for.
constexpr size_t kMaxCachedSessions = 64;
// TLS 1.2 toward clients: forward secrecy (ECDHE) and AEAD ciphers only, the
// widely used "intermediate" server profile without its finite-field DHE
// suites (no DH parameters to keep). TLS 1.3's suites are all of that kind
// and stay the library's. Toward servers the library's default list stands:
// a sending side must reach old servers too.
constexpr char kServerTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// One direction's bytes: taken from the heap when the first byte comes,
// given back by Release() once empty. Readers take from the front; a
// writer that lacks room at the back moves what waits to the front. A
// small first piece (a command, a reply, a ClientHello) takes a small
// buffer, grown to the whole once more is needed.
struct ByteQueue {
  static constexpr size_t kSmall = 2048;
  char* data = nullptr;
  size_t capacity = 0;
  size_t start = 0;
  size_t size = 0;

  ~ByteQueue() { std::free(data); }
  size_t Room() const { return kBufferSize - size; }
  size_t Push(const char* bytes, size_t n) {
    if (n > Room()) n = Room();
    if (n == 0) return 0;
    if (start + size + n > capacity) {
      if (size > 0 && start > 0) std::memmove(data, data + start, size);
      start = 0;
      if (size + n > capacity) {
        const size_t grown = size + n <= kSmall ? kSmall : kBufferSize;
        char* bigger = static_cast<char*>(std::realloc(data, grown));
        if (bigger == nullptr) return 0;
        data = bigger;
        capacity = grown;
      }
    }
    std::memcpy(data + start + size, bytes, n);
    size += n;
    return n;
  }
  size_t Pop(char* bytes, size_t n) {
    if (n > size) n = size;
    if (n == 0) return 0;
    if (bytes != nullptr) std::memcpy(bytes, data + start, n);
    Drop(n);
    return n;
  }
  void Drop(size_t n) {
    if (n > size) n = size;
    start += n;
    size -= n;
    if (size == 0) start = 0;
  }
  void Release() {
    if (size != 0) return;
    std::free(data);
    data = nullptr;
    capacity = 0;
  }
  // Whether what waits begins with a whole record (RFC 8446 section 5.1:
  // type, version, 16-bit length).
  bool WholeRecord() const {
    if (size < 5) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(data + start);
    return size >= 5 + ((static_cast<size_t>(header[3]) << 8) | header[4]);
  }
  // Whether what waits is the beginning of a handshake record: nothing,
  // or part of one whose header is plausible. Anything else is the
  // library's to refuse.
  bool AwaitsHandshakeRecord() const {
    if (size == 0) return true;
    const auto* header = reinterpret_cast<const unsigned char*>(data + start);
    if (header[0] != 0x16) return false;
    if (size < 5) return true;
    const size_t length = (static_cast<size_t>(header[3]) << 8) | header[4];
    return length <= kMaxRecord && size < 5 + length;
  }
};

// The BIO OpenSSL reads the peer's ciphertext from and writes its own to.
struct EngineIo {
  ByteQueue in;
  ByteQueue out;
};

int IoWrite(BIO* bio, const char* data, int size) {
  auto* io = static_cast<EngineIo*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const size_t n = io->out.Push(data, static_cast<size_t>(size));
  if (n == 0 && size > 0) {
    BIO_set_retry_write(bio);
    return -1;
  }
  return static_cast<int>(n);
}

int IoRead(BIO* bio, char* data, int size) {
  auto* io = static_cast<EngineIo*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const size_t n = io->in.Pop(data, static_cast<size_t>(size));
  if (n == 0 && size > 0) {
    BIO_set_retry_read(bio);
    return -1;
  }
  return static_cast<int>(n);
}

long IoCtrl(BIO* bio, int command, long, void*) {
  auto* io = static_cast<EngineIo*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_PENDING:
      return static_cast<long>(io->in.size);
    case BIO_CTRL_WPENDING:
      return static_cast<long>(io->out.size);
    default:
      return 0;
  }
}

int IoCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* EngineIoMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "divivez engine");
    if (m != nullptr) {
      BIO_meth_set_write(m, IoWrite);
      BIO_meth_set_read(m, IoRead);
      BIO_meth_set_ctrl(m, IoCtrl);
      BIO_meth_set_create(m, IoCreate);
    }
    return m;
  }();
  return method;
}

// The first error OpenSSL queued, as text for a log line.
std::string OpenSslErrorText(unsigned long code) {
  if (code == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string TakeErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  return OpenSslErrorText(code);
}

// Encrypted keys are refused rather than asked for on a terminal.
int NoPassword(char*, int, int, void*) { return 0; }

// No renegotiation either way (RFC 5746 aside, it only ever served attacks
// on a mail relay): a peer that asks for one is refused with the warning
// alert no_renegotiation and the session goes on.
bool ApplyCommonSettings(SSL_CTX* ctx) {
  SSL_CTX_set_options(
      ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassword);
  return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1;
}

}  // namespace

class TlsContext {
 public:
  TlsContext(SSL_CTX* ctx, bool server, bool verify)
      : m_ctx(ctx), m_server(server), m_verify(verify) {}
  ~TlsContext() {
    for (auto& entry : m_sessions) SSL_SESSION_free(entry.second);
    SSL_CTX_free(m_ctx);
  }
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* Ctx() const { return m_ctx; }
  bool IsServer() const { return m_server; }
  bool Verifies() const { return m_verify; }

  // A new reference to the session kept for peerName, or null.
  SSL_SESSION* CachedSession(const std::string& peerName) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_sessions.find(peerName);
    if (found == m_sessions.end()) return nullptr;
    SSL_SESSION_up_ref(found->second);
    return found->second;
  }
  // Takes the reference.
  void KeepSession(const std::string& peerName, SSL_SESSION* session) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_sessions.find(peerName);
    if (found != m_sessions.end()) {
      SSL_SESSION_free(found->second);
      found->second = session;
      return;
    }
    if (m_sessions.size() >= kMaxCachedSessions) {
      SSL_SESSION_free(m_sessions.begin()->second);
      m_sessions.erase(m_sessions.begin());
    }
    m_sessions.emplace(peerName, session);
  }

 private:
  SSL_CTX* m_ctx;
  bool m_server;
  bool m_verify;
  mutable std::mutex m_mutex;
  mutable std::map<std::string, SSL_SESSION*> m_sessions;
};

struct TlsSession::Impl {
  std::shared_ptr<const TlsContext> context;
  std::string peerName;
  SSL* ssl = nullptr;
  EngineIo io;
  // A server's handshake starts with the client's first byte: until then
  // OpenSSL has allocated nothing for it.
  bool started = false;
  bool handshakeDone = false;
  bool closeSent = false;
  TlsFailure failure = TlsFailure::kNone;
  std::string failureText;

  ~Impl() { SSL_free(ssl); }  // frees the BIO

  Status Fail(TlsFailure reason, std::string text) {
    if (failure == TlsFailure::kNone) {
      failure = reason;
      failureText = std::move(text);
    }
    return kFailed;
  }

  // Why the handshake stopped, from the verification result and the first
  // queued error.
  Status FailHandshake(int sslError) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const int reason = ERR_GET_REASON(code);
    if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
      const long verify = SSL_get_verify_result(ssl);
      const std::string prefix = "certificate verify failed: ";
      switch (verify) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
          return Fail(TlsFailure::kNameMismatch,
                      prefix + X509_verify_cert_error_string(verify) + " (" + peerName + ")");
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
          return Fail(TlsFailure::kUnknownCa,
                      prefix + "unknown CA (" + X509_verify_cert_error_string(verify) + ")");
        default:
          return Fail(TlsFailure::kCertificate, prefix + X509_verify_cert_error_string(verify));
      }
    }
    if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
        reason == SSL_R_NO_PROTOCOLS_AVAILABLE || reason == SSL_R_VERSION_TOO_LOW) {
      return Fail(TlsFailure::kProtocolVersion, "handshake failed: " + OpenSslErrorText(code));
    }
    if (code == 0 && sslError != SSL_ERROR_SSL) {
      return Fail(TlsFailure::kInternal, "handshake failed: SSL error " + std::to_string(sslError));
    }
    return Fail(TlsFailure::kHandshake, "handshake failed: " + OpenSslErrorText(code));
  }

  Status FailSession(int sslError) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0 && sslError != SSL_ERROR_SSL) {
      return Fail(TlsFailure::kInternal, "TLS error " + std::to_string(sslError));
    }
    return Fail(TlsFailure::kProtocol, "TLS error: " + OpenSslErrorText(code));
  }
};

namespace {

// OpenSSL hands a client the sessions it may resume (after the handshake in
// TLS 1.2, with each ticket in TLS 1.3); the context keeps the newest per
// peer.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* impl = static_cast<TlsSession::Impl*>(SSL_get_app_data(ssl));
  if (impl == nullptr || !SSL_SESSION_is_resumable(session)) return 0;
  // A copy: OpenSSL marks the connection's own session unresumable when the
  // connection is freed without close_notify, and an upstream that drops
  // the connection after QUIT must not cost the next one its resumption.
  if (SSL_SESSION* copy = SSL_SESSION_dup(session))
    impl->context->KeepSession(impl->peerName, copy);
  return 0;
}

}  // namespace

// The key, the certificate and its chain from a PKCS #12 file.
static bool UsePkcs12(SSL_CTX* ctx, const std::string& certFile, const std::string& password,
                      std::string* error) {
  BIO* bio = BIO_new_file(certFile.c_str(), "rb");
  PKCS12* p12 = bio != nullptr ? d2i_PKCS12_bio(bio, nullptr) : nullptr;
  BIO_free(bio);
  if (p12 == nullptr) {
    *error =
        "TLS certificate " + certFile + ": not a PFX (PKCS #12) file (" + TakeErrorText() + ")";
    return false;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  const bool parsed = PKCS12_parse(p12, password.c_str(), &key, &cert, &chain) == 1;
  PKCS12_free(p12);
  bool ok = false;
  if (!parsed) {
    *error = "TLS certificate " + certFile +
             ": the PFX file cannot be opened (a wrong password? see --tls-cert-password-file): " +
             TakeErrorText();
  } else if (key == nullptr || cert == nullptr) {
    *error = "TLS certificate " + certFile + ": the PFX file lacks its key or certificate";
  } else if (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1 ||
             SSL_CTX_check_private_key(ctx) != 1) {
    *error = "TLS certificate " + certFile + ": " + TakeErrorText();
  } else {
    ok = true;
    for (int i = 0; ok && i < sk_X509_num(chain); ++i) {
      ok = SSL_CTX_add1_chain_cert(ctx, sk_X509_value(chain, i)) == 1;
    }
    if (!ok) *error = "TLS certificate " + certFile + ": its chain: " + TakeErrorText();
  }
  EVP_PKEY_free(key);
  X509_free(cert);
  sk_X509_pop_free(chain, X509_free);
  return ok;
}

std::shared_ptr<const TlsContext> TlsLoadServerContext(const std::string& certFile,
                                                       const std::string& keyFile,
                                                       const std::string& passwordFile,
                                                       std::string* error) {
  if (certFile.rfind("store:", 0) == 0) {
    *error = "TLS certificate " + certFile +
             ": the certificate store is Windows's; here --tls-cert is a PEM or PFX file";
    return nullptr;
  }
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr || !ApplyCommonSettings(ctx)) {
    SSL_CTX_free(ctx);
    *error = "TLS: cannot make a server context: " + TakeErrorText();
    return nullptr;
  }
  auto context = std::make_shared<TlsContext>(ctx, true, false);
  // Tickets resume without a server-side cache, whose memory would grow
  // with the clients.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_set_cipher_list(ctx, kServerTls12Ciphers) != 1) {
    *error = "TLS: cannot set the server's ciphers: " + TakeErrorText();
    return nullptr;
  }
  std::string head;
  {
    std::ifstream in(certFile, std::ios::binary);
    char first = 0;
    if (in.get(first)) head.assign(1, first);
  }
  if (TlsIsPkcs12(certFile, head)) {
    std::string password;
    if (!TlsReadPassword(passwordFile, &password, error) ||
        !UsePkcs12(ctx, certFile, password, error)) {
      return nullptr;
    }
    return context;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    *error = "TLS certificate " + certFile + ": " + TakeErrorText();
    return nullptr;
  }
  const std::string& keyPath = keyFile.empty() ? certFile : keyFile;
  if (SSL_CTX_use_PrivateKey_file(ctx, keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
    const unsigned long code = ERR_peek_last_error();
    if (ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH) {
      *error = "TLS key " + keyPath + " does not match the certificate " + certFile;
    } else {
      *error = "TLS key " + keyPath + ": no usable private key (" + TakeErrorText() + ")";
    }
    ERR_clear_error();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    *error = "TLS key " + keyPath + " does not match the certificate " + certFile + ": " +
             TakeErrorText();
    return nullptr;
  }
  return context;
}

std::shared_ptr<const TlsContext> TlsMakeClientContext(const TlsClientSettings& settings,
                                                       std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr || !ApplyCommonSettings(ctx)) {
    SSL_CTX_free(ctx);
    *error = "TLS: cannot make a client context: " + TakeErrorText();
    return nullptr;
  }
  auto context = std::make_shared<TlsContext>(ctx, false, settings.verify);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, KeepNewSession);
  if (!settings.caFile.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, settings.caFile.c_str(), nullptr) != 1) {
      *error = "TLS CA file " + settings.caFile + ": " + TakeErrorText();
      return nullptr;
    }
  } else if (settings.verify && SSL_CTX_set_default_verify_paths(ctx) != 1) {
    *error = "TLS: cannot load the system's certificate store: " + TakeErrorText();
    return nullptr;
  }
  return context;
}

TlsSession::TlsSession(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
TlsSession::~TlsSession() = default;

namespace {

std::unique_ptr<TlsSession::Impl> NewImpl(std::shared_ptr<const TlsContext> context,
                                          std::string* error) {
  ERR_clear_error();
  auto impl = std::make_unique<TlsSession::Impl>();
  impl->context = std::move(context);
  impl->ssl = SSL_new(impl->context->Ctx());
  BIO* io = EngineIoMethod() != nullptr ? BIO_new(EngineIoMethod()) : nullptr;
  if (impl->ssl == nullptr || io == nullptr) {
    BIO_free(io);
    *error = "TLS: cannot make a session: " + TakeErrorText();
    return nullptr;
  }
  BIO_set_data(io, &impl->io);
  SSL_set_bio(impl->ssl, io, io);
  SSL_set_app_data(impl->ssl, impl.get());
  return impl;
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Server(std::shared_ptr<const TlsContext> context,
                                               std::string* error) {
  if (!context || !context->IsServer()) {
    *error = "TLS: a server session needs a server context";
    return nullptr;
  }
  std::unique_ptr<Impl> impl = NewImpl(std::move(context), error);
  if (!impl) return nullptr;
  SSL_set_accept_state(impl->ssl);
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

std::unique_ptr<TlsSession> TlsSession::Client(std::shared_ptr<const TlsContext> context,
                                               const std::string& peerName, std::string* error) {
  if (!context || context->IsServer()) {
    *error = "TLS: a client session needs a client context";
    return nullptr;
  }
  std::unique_ptr<Impl> impl = NewImpl(std::move(context), error);
  if (!impl) return nullptr;
  impl->peerName = peerName;
  SSL* ssl = impl->ssl;
  const bool ipLiteral = TlsIsIpLiteral(peerName);
  bool named = true;
  if (!ipLiteral && !peerName.empty()) named = SSL_set_tlsext_host_name(ssl, peerName.c_str()) == 1;
  if (impl->context->Verifies()) {
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (ipLiteral) {
      named = named && X509_VERIFY_PARAM_set1_ip_asc(param, peerName.c_str()) == 1;
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      named = named && !peerName.empty() && SSL_set1_host(ssl, peerName.c_str()) == 1;
    }
  } else {
    SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
  }
  if (!named) {
    *error = "TLS: cannot check the name \"" + peerName + "\": " + TakeErrorText();
    return nullptr;
  }
  if (SSL_SESSION* cached = impl->context->CachedSession(peerName)) {
    SSL_set_session(ssl, cached);
    SSL_SESSION_free(cached);
  }
  SSL_set_connect_state(ssl);
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

size_t TlsSession::FeedRoom() const { return m_impl->io.in.Room(); }

size_t TlsSession::Feed(const char* data, size_t size) { return m_impl->io.in.Push(data, size); }

const char* TlsSession::Outgoing(size_t* size) const {
  const ByteQueue& out = m_impl->io.out;
  *size = out.size;
  return out.size > 0 ? out.data + out.start : nullptr;
}

void TlsSession::Consume(size_t size) { m_impl->io.out.Drop(size); }

TlsSession::Status TlsSession::Handshake() {
  Impl& impl = *m_impl;
  if (impl.failure != TlsFailure::kNone) return kFailed;
  if (impl.handshakeDone) return kOk;
  if (!impl.started) {
    // A server waits for the client's whole first record (its hello, or
    // whatever it is): a client that stalls before it holds no record
    // buffer of the library's.
    if (impl.context->IsServer() && impl.io.in.AwaitsHandshakeRecord()) return kWantRead;
    impl.started = true;
  }
  ERR_clear_error();
  const int result = SSL_do_handshake(impl.ssl);
  if (result == 1) {
    impl.handshakeDone = true;
    return kOk;
  }
  const int sslError = SSL_get_error(impl.ssl, result);
  if (sslError == SSL_ERROR_WANT_READ) return kWantRead;
  if (sslError == SSL_ERROR_WANT_WRITE) return kWantWrite;
  return impl.FailHandshake(sslError);
}

bool TlsSession::HandshakeDone() const { return m_impl->handshakeDone; }

TlsSession::Status TlsSession::Read(char* buffer, size_t size, size_t* got) {
  Impl& impl = *m_impl;
  *got = 0;
  if (impl.failure != TlsFailure::kNone) return kFailed;
  if (!impl.handshakeDone) {
    const Status status = Handshake();
    if (status != kOk) return status;
  }
  ERR_clear_error();
  if (SSL_read_ex(impl.ssl, buffer, size, got) == 1) return kOk;
  const int sslError = SSL_get_error(impl.ssl, 0);
  switch (sslError) {
    case SSL_ERROR_WANT_READ:
      return kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return kClosed;
    default:
      return impl.FailSession(sslError);
  }
}

TlsSession::Status TlsSession::Write(const char* data, size_t size, size_t* taken) {
  Impl& impl = *m_impl;
  *taken = 0;
  if (impl.failure != TlsFailure::kNone) return kFailed;
  if (!impl.handshakeDone) {
    const Status status = Handshake();
    if (status != kOk) return status;
  }
  if (impl.closeSent) return impl.Fail(TlsFailure::kInternal, "TLS: write after close_notify");
  // Only what fits in the pair as whole records, so that OpenSSL never keeps
  // one it could not hand over.
  const size_t room = impl.io.out.Room();
  if (room <= kRecordOverhead) return kWantWrite;
  if (size > room - kRecordOverhead) size = room - kRecordOverhead;
  if (size == 0) return kOk;
  ERR_clear_error();
  if (SSL_write_ex(impl.ssl, data, size, taken) == 1) return kOk;
  const int sslError = SSL_get_error(impl.ssl, 0);
  if (sslError == SSL_ERROR_WANT_WRITE || sslError == SSL_ERROR_WANT_READ) return kWantWrite;
  return impl.FailSession(sslError);
}

bool TlsSession::InputPending() const {
  const Impl& impl = *m_impl;
  if (SSL_pending(impl.ssl) > 0) return true;
  const ByteQueue& in = impl.io.in;
  if (in.size == 0) return false;
  // A record OpenSSL has begun: what was fed since continues it.
  if (SSL_has_pending(impl.ssl) == 1) return true;
  // Otherwise what waits starts at a record: only a whole one can be read.
  return in.WholeRecord();
}

void TlsSession::ReleaseIdleBuffers() {
  Impl& impl = *m_impl;
  impl.io.in.Release();
  impl.io.out.Release();
  // OpenSSL keeps a record it has begun to read or write, and says so.
  if (impl.started) SSL_free_buffers(impl.ssl);
}

void TlsSession::Close() {
  Impl& impl = *m_impl;
  if (impl.closeSent || !impl.handshakeDone || impl.failure != TlsFailure::kNone) return;
  impl.closeSent = true;
  ERR_clear_error();
  SSL_shutdown(impl.ssl);
  ERR_clear_error();
}

std::string TlsSession::Version() const {
  return m_impl->handshakeDone ? SSL_get_version(m_impl->ssl) : "";
}

std::string TlsSession::Cipher() const {
  const char* name = m_impl->handshakeDone ? SSL_get_cipher_name(m_impl->ssl) : nullptr;
  return name != nullptr ? name : "";
}

bool TlsSession::Resumed() const { return SSL_session_reused(m_impl->ssl) == 1; }

std::string TlsSession::ServerName() const {
  if (!m_impl->context->IsServer()) return "";
  const char* name = SSL_get_servername(m_impl->ssl, TLSEXT_NAMETYPE_host_name);
  return name != nullptr ? name : "";
}

TlsFailure TlsSession::Failure() const { return m_impl->failure; }
const std::string& TlsSession::FailureText() const { return m_impl->failureText; }
