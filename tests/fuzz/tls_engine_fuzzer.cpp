// libFuzzer target: the TLS engine's input (host/tls/tls.h; OpenSSL's engine
// here), all in memory: a certificate and key made at start-up in $TMPDIR.
//
// Input: a mode byte, a piece-size byte (1 to 16321 bytes, in steps of 64),
// then what the mode reads:
//   mode % 3 == 0  the bytes a client sends: fed to a server session
//   mode % 3 == 1  the bytes a server sends: fed to a client session, after
//                  its hello
//   mode % 3 == 2  two bytes of offset and one of mask, then plaintext: a
//                  client and a server session shake hands, then one sends
//                  the plaintext to the other (mode & 4: the server sends)
//                  and the ciphertext after the handshake has the byte at
//                  that offset XORed with the mask (0: left alone)
// Checked: no handshake completes from bytes nobody could have made with
// the key; the engine never waits for the peer while it has no room for
// what the peer sends, nor holds more than its bound; a failure stays a
// failure and says why; and what crosses a pair is read exactly as it was
// written, or (when a byte was changed) a prefix of it and then a failure,
// never other bytes; the sender's close_notify ends the reader's stream.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/tls/tls.h"
#include "reader_fuzz.h"

namespace {

constexpr size_t kMostHeld = 20 * 1024;  // the engine's pair buffer, each way

std::string g_certFile;
std::shared_ptr<const TlsContext> g_server;

// A self-signed P-256 certificate for localhost, and its key.
bool MakeCertificate(const std::string& certFile, const std::string& keyFile) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key != nullptr && cert != nullptr;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost");
    ok = san != nullptr && X509_add_ext(cert, san, -1) == 1 &&
         X509_sign(cert, key, EVP_sha256()) > 0;
    X509_EXTENSION_free(san);
  }
  if (ok) {
    std::FILE* c = std::fopen(certFile.c_str(), "wb");
    std::FILE* k = std::fopen(keyFile.c_str(), "wb");
    ok = c != nullptr && k != nullptr && PEM_write_X509(c, cert) == 1 &&
         PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (c != nullptr) ok = std::fclose(c) == 0 && ok;
    if (k != nullptr) ok = std::fclose(k) == 0 && ok;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

// The stream after the handshake, counted as it crosses, and the byte to
// change in it.
struct Tamper {
  size_t offset = 0;
  size_t at = 0;
  uint8_t mask = 0;
  bool changed = false;
};

// Sends what `from` has ready to `to` (null: nowhere), at most `piece` bytes
// per Feed(), through `tamper` when given. True when anything moved.
bool Shuttle(TlsSession& from, TlsSession* to, size_t piece, Tamper* tamper = nullptr) {
  bool moved = false;
  std::vector<char> buffer;
  for (;;) {
    size_t size = 0;
    const char* data = from.Outgoing(&size);
    FUZZ_CHECK(size <= kMostHeld, "ciphertext past the engine's bound");
    if (size == 0) return moved;
    if (size > piece) size = piece;
    size_t taken = size;
    if (to != nullptr) {
      buffer.assign(data, data + size);
      const bool here = tamper != nullptr && tamper->mask != 0 && tamper->at >= tamper->offset &&
                        tamper->at < tamper->offset + size;
      if (here) buffer[tamper->at - tamper->offset] ^= static_cast<char>(tamper->mask);
      taken = to->Feed(buffer.data(), size);
      if (taken == 0) return moved;
      if (here && tamper->at < tamper->offset + taken) tamper->changed = true;
    }
    if (tamper != nullptr) tamper->offset += taken;
    from.Consume(taken);
    moved = true;
  }
}

void CheckFailure(TlsSession& session) {
  FUZZ_CHECK(session.Failure() != TlsFailure::kNone, "failed without a reason");
  FUZZ_CHECK(!session.FailureText().empty(), "failed without a text");
  FUZZ_CHECK(session.Handshake() == TlsSession::kFailed, "a failure that went away");
}

// One side fed the peer's bytes as they come, its own sent nowhere.
void FeedOneSide(TlsSession& session, const std::string& bytes, size_t piece) {
  TlsSession::Status status = session.Handshake();  // a client's hello
  size_t at = 0;
  for (int round = 0; status != TlsSession::kFailed; ++round) {
    FUZZ_CHECK(round < 100000, "no progress");
    Shuttle(session, nullptr, SIZE_MAX);
    if (at == bytes.size()) break;
    const size_t room = session.FeedRoom();
    FUZZ_CHECK(room > 0 || status != TlsSession::kWantRead,
               "waits for the peer with no room for its bytes");
    size_t n = bytes.size() - at < piece ? bytes.size() - at : piece;
    if (n > room) n = room;
    at += session.Feed(bytes.data() + at, n);
    status = session.Handshake();
    FUZZ_CHECK(status != TlsSession::kOk && !session.HandshakeDone(),
               "a handshake completed with bytes nobody could have made with the key");
  }
  if (status == TlsSession::kFailed) CheckFailure(session);
}

void Pair(FuzzInput& input, bool serverSends, size_t piece) {
  Tamper tamper;
  tamper.at = input.Word();
  tamper.mask = input.Byte();
  const std::string plain = input.Rest();

  TlsClientSettings settings;
  settings.caFile = g_certFile;
  std::string error;
  // A context per input: a session kept from an earlier input would make
  // this one resume, and the run depend on what came before.
  const auto clientContext = TlsMakeClientContext(settings, &error);
  FUZZ_CHECK(clientContext != nullptr, error);
  auto client = TlsSession::Client(clientContext, "localhost", &error);
  auto server = TlsSession::Server(g_server, &error);
  FUZZ_CHECK(client && server, error);
  for (int round = 0; !client->HandshakeDone() || !server->HandshakeDone(); ++round) {
    FUZZ_CHECK(round < 20, "the handshake in memory does not finish");
    const TlsSession::Status c = client->Handshake();
    Shuttle(*client, server.get(), SIZE_MAX);
    const TlsSession::Status s = server->Handshake();
    Shuttle(*server, client.get(), SIZE_MAX);
    FUZZ_CHECK(c != TlsSession::kFailed && s != TlsSession::kFailed,
               "the handshake in memory fails: " + client->FailureText() + server->FailureText());
  }
  TlsSession& writer = serverSends ? *server : *client;
  TlsSession& reader = serverSends ? *client : *server;

  size_t written = 0;
  bool closed = false;
  std::string got;
  TlsSession::Status last = TlsSession::kWantRead;
  for (int round = 0;; ++round) {
    FUZZ_CHECK(round < 100000, "no progress");
    bool moved = false;
    if (written < plain.size()) {
      size_t taken = 0;
      const TlsSession::Status w =
          writer.Write(plain.data() + written, plain.size() - written, &taken);
      FUZZ_CHECK(w == TlsSession::kOk || w == TlsSession::kWantWrite, writer.FailureText());
      written += taken;
      moved = taken > 0;
    } else if (!closed) {
      writer.Close();
      closed = true;
      moved = true;
    }
    moved = Shuttle(writer, &reader, piece, &tamper) || moved;
    for (;;) {
      char buffer[4096];
      size_t n = 0;
      last = reader.Read(buffer, sizeof buffer, &n);
      Shuttle(reader, nullptr, SIZE_MAX);  // tickets, alerts: nobody listens
      if (last != TlsSession::kOk) break;
      got.append(buffer, n);
      moved = true;
    }
    FUZZ_CHECK(got.size() <= plain.size() && plain.compare(0, got.size(), got) == 0,
               "read other bytes than were written");
    if (last == TlsSession::kFailed || last == TlsSession::kClosed) break;
    if (!moved) {
      // A changed length may leave the reader waiting for a record's rest.
      if (tamper.changed) return;
      size_t held = 0;
      writer.Outgoing(&held);
      FUZZ_CHECK(held > 0, "the reader waits for bytes that were all sent");
      FUZZ_CHECK(reader.FeedRoom() > 0, "the reader has no room and reads nothing");
    }
  }
  if (last == TlsSession::kFailed) {
    CheckFailure(reader);
    FUZZ_CHECK(tamper.changed, "the stream failed unchanged: " + reader.FailureText());
  } else {
    FUZZ_CHECK(got == plain, "the stream closed short of what was written");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = std::getenv("TMPDIR");
  const std::string base = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                           "/divivez-tls-fuzz-" + std::to_string(getpid());
  g_certFile = base + ".pem";
  const std::string keyFile = base + ".key";
  std::string error;
  if (MakeCertificate(g_certFile, keyFile))
    g_server = TlsLoadServerContext(g_certFile, keyFile, "", &error);
  std::remove(keyFile.c_str());
  if (!g_server) {
    std::fprintf(stderr, "tls_engine_fuzzer: no test certificate in %s: %s\n", base.c_str(),
                 error.c_str());
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint8_t mode = input.Byte();
  const size_t piece = 1 + 64 * static_cast<size_t>(input.Byte());
  std::string error;
  switch (mode % 3) {
    case 0: {
      auto server = TlsSession::Server(g_server, &error);
      FUZZ_CHECK(server != nullptr, error);
      FeedOneSide(*server, input.Rest(), piece);
      break;
    }
    case 1: {
      static const auto context = [] {
        TlsClientSettings settings;
        settings.caFile = g_certFile;
        std::string why;
        return TlsMakeClientContext(settings, &why);
      }();
      FUZZ_CHECK(context != nullptr, "no client context");
      auto client = TlsSession::Client(context, "localhost", &error);
      FUZZ_CHECK(client != nullptr, error);
      FeedOneSide(*client, input.Rest(), piece);
      break;
    }
    default:
      Pair(input, (mode & 4) != 0, piece);
  }
  return 0;
}
