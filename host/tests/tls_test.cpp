// The TLS engine with both ends of each handshake in memory: what it
// accepts, what it refuses and why, and that reloads and resumption keep
// to what the proxy promises; and its client side against openssl s_server
// on 127.0.0.1, the same cases, so that each platform's engine is held to
// them. Certificates are made at run time with the openssl command; no key
// is kept in the tree. Where the platform's library cannot be a server
// (Wine's SChannel), the tests that need one say so and skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

#include "host/base/net.h"
#include "host/tls/tls.h"
#include "posix_shell.h"
#include "support/scratch_directory.h"

namespace {

// A root, an intermediate it signed and a leaf for localhost, 127.0.0.1 and
// ::1 that the intermediate signed; and a self-signed certificate nobody
// trusts.
class TestPki {
 public:
  TestPki() : m_dir("divivez-tls-") {
    WriteFile("pki.cnf",
              "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = unused\n"
              "[ca]\nbasicConstraints = critical,CA:TRUE\n"
              "keyUsage = critical,keyCertSign,cRLSign\nsubjectKeyIdentifier = hash\n"
              "[leaf]\nbasicConstraints = CA:FALSE\n"
              "keyUsage = critical,digitalSignature,keyEncipherment\n"
              "extendedKeyUsage = serverAuth\n"
              "subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1\n");
    // openssl runs in the directory: the files are named, not pathed.
    const std::string cnf = " -config pki.cnf";
    m_ok = Openssl("req -x509 -newkey rsa:2048 -nodes -days 2" + cnf +
                   " -extensions ca -subj /CN=root -keyout root.key -out root.pem") &&
           Issue("inter", "ca", "root") && Issue("leaf", "leaf", "inter") &&
           Openssl("req -x509 -newkey rsa:2048 -nodes -days 2" + cnf +
                   " -extensions leaf -subj /CN=localhost -keyout other.key -out other.pem");
    // The chain in the certificate file, and a file holding the key too.
    m_ok = m_ok && WriteFile("chain.pem", ReadFile("leaf.pem") + ReadFile("inter.pem")) &&
           WriteFile("both.pem", ReadFile("chain.pem") + ReadFile("leaf.key"));
    // The same as PFX files, the chain inside, behind a password; one named
    // .bin, known by its content.
    m_ok = m_ok && WriteFile("pfx.password", "pfx secret\r\n") &&
           WriteFile("wrong.password", "not it\n") &&
           Openssl(
               "pkcs12 -export -in chain.pem -inkey leaf.key -passout pass:'pfx secret'"
               " -out chain.pfx") &&
           WriteFile("chain.bin", ReadFile("chain.pfx"));
  }

  bool Ok() const { return m_ok; }
  std::string Path(const std::string& name) const { return m_dir.File(name); }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool WriteFile(const std::string& name, const std::string& text) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
  }

  // Runs openssl with these arguments in the directory; true when it
  // succeeded (a test failure with its output otherwise).
  bool Openssl(const std::string& arguments) const {
    std::string output;
    if (ShellRun(m_dir.Path(), "openssl " + arguments, 120000, &output) == 0) return true;
    ADD_FAILURE() << "openssl " << arguments << ":\n" << output;
    return false;
  }
  const std::string& Directory() const { return m_dir.Path(); }

 private:
  bool Issue(const std::string& name, const std::string& kind, const std::string& issuer) const {
    return Openssl("req -new -newkey rsa:2048 -nodes -config pki.cnf -subj /CN=" +
                   (kind == "leaf" ? std::string("localhost") : name) + " -keyout " + name +
                   ".key -out " + name + ".csr") &&
           Openssl("x509 -req -days 2 -set_serial " + std::to_string(name.size()) + " -in " + name +
                   ".csr -CA " + issuer + ".pem -CAkey " + issuer + ".key -extfile pki.cnf" +
                   " -extensions " + kind + " -out " + name + ".pem");
  }

  CScratchDirectory m_dir;
  bool m_ok = false;
};

const TestPki& Pki() {
  static const TestPki pki;
  return pki;
}

std::shared_ptr<const TlsContext> ServerContext(const std::string& cert = "chain.pem",
                                                const std::string& key = "leaf.key") {
  std::string error;
  auto context = TlsLoadServerContext(Pki().Path(cert), key.empty() ? "" : Pki().Path(key),
                                      Pki().Path("pfx.password"), &error);
  EXPECT_TRUE(context) << error;
  return context;
}

std::shared_ptr<const TlsContext> ClientContext(bool verify = true,
                                                const std::string& ca = "root.pem") {
  TlsClientSettings settings;
  settings.verify = verify;
  settings.caFile = ca.empty() ? "" : Pki().Path(ca);
  std::string error;
  auto context = TlsMakeClientContext(settings, &error);
  EXPECT_TRUE(context) << error;
  return context;
}

// Moves what `from` has for its peer into `to`, piece bytes per Feed(), as
// far as `to` takes it. True when anything moved.
bool Shuttle(TlsSession& from, TlsSession& to, size_t piece) {
  bool moved = false;
  for (;;) {
    size_t size = 0;
    const char* data = from.Outgoing(&size);
    if (size == 0) return moved;
    const size_t taken = to.Feed(data, std::min(size, piece));
    if (taken == 0) return moved;
    from.Consume(taken);
    moved = true;
  }
}

struct Pair {
  std::unique_ptr<TlsSession> client;
  std::unique_ptr<TlsSession> server;
};

Pair MakePair(std::shared_ptr<const TlsContext> clientContext,
              std::shared_ptr<const TlsContext> serverContext,
              const std::string& peerName = "localhost") {
  std::string error;
  Pair pair;
  pair.client = TlsSession::Client(std::move(clientContext), peerName, &error);
  EXPECT_TRUE(pair.client) << error;
  pair.server = TlsSession::Server(std::move(serverContext), &error);
  EXPECT_TRUE(pair.server) << error;
  return pair;
}

// Runs both handshakes until both are done or one fails. True when both
// completed.
bool Handshake(Pair& pair, size_t piece = SIZE_MAX) {
  if (!pair.client || !pair.server) return false;
  for (int round = 0; round < 10000; ++round) {
    const TlsSession::Status client = pair.client->Handshake();
    const bool movedUp = Shuttle(*pair.client, *pair.server, piece);
    const TlsSession::Status server = pair.server->Handshake();
    const bool movedDown = Shuttle(*pair.server, *pair.client, piece);
    if (client == TlsSession::kOk && server == TlsSession::kOk) return true;
    if (client == TlsSession::kFailed && server == TlsSession::kFailed) return false;
    if (!movedUp && !movedDown &&
        (client == TlsSession::kFailed || server == TlsSession::kFailed)) {
      return false;
    }
  }
  ADD_FAILURE() << "the handshake made no progress";
  return false;
}

// Sends data from one side to the other in writes of `piece` bytes, the
// ciphertext fed in pieces of `wire` bytes; returns what the receiver read.
std::string Transfer(TlsSession& from, TlsSession& to, const std::string& data, size_t piece,
                     size_t wire) {
  std::string received;
  std::vector<char> buffer(4096);
  size_t sent = 0;
  for (int round = 0; round < 1000000 && received.size() < data.size(); ++round) {
    if (sent < data.size()) {
      size_t taken = 0;
      const TlsSession::Status status =
          from.Write(data.data() + sent, std::min(piece, data.size() - sent), &taken);
      EXPECT_TRUE(status == TlsSession::kOk || status == TlsSession::kWantWrite) << status;
      sent += taken;
    }
    Shuttle(from, to, wire);
    for (;;) {
      size_t got = 0;
      const TlsSession::Status status = to.Read(buffer.data(), buffer.size(), &got);
      if (status != TlsSession::kOk) {
        EXPECT_EQ(status, TlsSession::kWantRead) << to.FailureText();
        break;
      }
      received.append(buffer.data(), got);
    }
    Shuttle(to, from, wire);  // what reading produced (tickets, key updates)
  }
  return received;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919u) >> 5);
  return data;
}

// The cases both kinds of peer run: the engine's own server in memory and
// openssl s_server over a socket, so that every engine is held to them.
struct DataCase {
  size_t wire;   // ciphertext per Feed()
  size_t piece;  // plaintext per Write()
  size_t size;
};
const DataCase kDataCases[] = {
    {SIZE_MAX, 1u << 20, 3u << 20}, {1, 1, 700}, {7, 100, 50000}, {4096, 65536, 1u << 20}};

struct RefusalCase {
  const char* what;
  const char* ca;
  const char* peer;
  TlsFailure reason;
  const char* text;
};
const RefusalCase kRefusals[] = {
    {"another name", "root.pem", "mail.invalid", TlsFailure::kNameMismatch,
     "certificate verify failed: hostname mismatch"},
    {"an IP address the certificate lacks", "root.pem", "127.0.0.2", TlsFailure::kNameMismatch,
     "certificate verify failed: IP address mismatch"},
    {"another root", "other.pem", "localhost", TlsFailure::kUnknownCa,
     "certificate verify failed: unknown CA"},
};

const char* const kIpLiterals[] = {"127.0.0.1", "::1"};

// Empty where the platform's TLS library serves the server side; otherwise
// what it answered to a client's hello (Wine's SChannel: "AcceptSecurityContext
// returned SEC_E_UNSUPPORTED_FUNCTION (0x80090302)").
const std::string& ServerSideUnserved() {
  static const std::string why = [] {
    Pair pair = MakePair(ClientContext(), ServerContext());
    if (!pair.client || !pair.server) return std::string();
    pair.client->Handshake();
    Shuttle(*pair.client, *pair.server, SIZE_MAX);
    if (pair.server->Handshake() == TlsSession::kFailed &&
        pair.server->FailureText().find("SEC_E_UNSUPPORTED_FUNCTION") != std::string::npos) {
      return pair.server->FailureText();
    }
    return std::string();
  }();
  return why;
}

#define SKIP_UNLESS_SERVER_SIDE_SERVED() \
  if (!ServerSideUnserved().empty())     \
  GTEST_SKIP() << "the server side cannot run here: " << ServerSideUnserved()

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Pki().Ok()); }
};

TEST_F(TlsTest, HandshakeThenDataBothWaysInSmallAndLargePieces) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  for (const DataCase& c : kDataCases) {
    SCOPED_TRACE("wire " + std::to_string(c.wire) + " piece " + std::to_string(c.piece));
    Pair pair = MakePair(ClientContext(), ServerContext());
    ASSERT_TRUE(Handshake(pair, c.wire))
        << pair.client->FailureText() << " / " << pair.server->FailureText();
    EXPECT_EQ(pair.client->Version(), pair.server->Version());
    EXPECT_TRUE(pair.client->Version() == "TLSv1.3" || pair.client->Version() == "TLSv1.2")
        << pair.client->Version();
    EXPECT_FALSE(pair.client->Cipher().empty());
    EXPECT_EQ(pair.client->Cipher(), pair.server->Cipher());
    EXPECT_EQ(pair.server->ServerName(), "localhost");
    const std::string up = Pattern(c.size);
    EXPECT_TRUE(Transfer(*pair.client, *pair.server, up, c.piece, c.wire) == up);
    const std::string down = Pattern(c.size + 13);
    EXPECT_TRUE(Transfer(*pair.server, *pair.client, down, c.piece, c.wire) == down);
    EXPECT_LE(pair.client->FeedRoom(), 64u * 1024u);

    pair.client->Close();
    Shuttle(*pair.client, *pair.server, c.wire);
    char byte = 0;
    size_t got = 0;
    EXPECT_EQ(pair.server->Read(&byte, 1, &got), TlsSession::kClosed);
  }
}

// A client that sends its first command right behind its Finished: the
// server's last handshake step says the data is already inside.
TEST_F(TlsTest, DataSentWithTheLastHandshakeFlightIsReported) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  Pair pair = MakePair(ClientContext(), ServerContext());
  std::string error;
  for (int round = 0; round < 100 && pair.client->Handshake() != TlsSession::kOk; ++round) {
    Shuttle(*pair.client, *pair.server, SIZE_MAX);
    ASSERT_NE(pair.server->Handshake(), TlsSession::kFailed) << pair.server->FailureText();
    Shuttle(*pair.server, *pair.client, SIZE_MAX);
  }
  ASSERT_FALSE(pair.server->HandshakeDone());  // TLS 1.3: the client finishes first
  EXPECT_FALSE(pair.server->InputPending());
  size_t taken = 0;
  ASSERT_EQ(pair.client->Write("EHLO a\r\n", 8, &taken), TlsSession::kOk);
  Shuttle(*pair.client, *pair.server, SIZE_MAX);
  ASSERT_EQ(pair.server->Handshake(), TlsSession::kOk) << pair.server->FailureText();
  EXPECT_TRUE(pair.server->InputPending());
  char buffer[64];
  size_t got = 0;
  ASSERT_EQ(pair.server->Read(buffer, sizeof buffer, &got), TlsSession::kOk);
  EXPECT_EQ(std::string(buffer, got), "EHLO a\r\n");
  EXPECT_FALSE(pair.server->InputPending());
}

// Part of a record is not input: the caller must wait for the socket, not
// come back at once; the record's last byte makes it input.
TEST_F(TlsTest, OnlyAWholeRecordIsPendingInput) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  Pair pair = MakePair(ClientContext(), ServerContext());
  ASSERT_TRUE(Handshake(pair)) << pair.server->FailureText();
  char buffer[64];
  size_t got = 0;
  ASSERT_EQ(pair.server->Read(buffer, sizeof buffer, &got), TlsSession::kWantRead);
  size_t taken = 0;
  ASSERT_EQ(pair.client->Write("NOOP\r\n", 6, &taken), TlsSession::kOk);
  size_t size = 0;
  const char* record = pair.client->Outgoing(&size);
  ASSERT_GT(size, 8u);
  for (const size_t piece : {size_t{3}, size - 4}) {  // in the header, then in the body
    SCOPED_TRACE(piece);
    ASSERT_EQ(pair.server->Feed(record, piece), piece);
    pair.client->Consume(piece);
    record = pair.client->Outgoing(&size);
    EXPECT_EQ(pair.server->Read(buffer, sizeof buffer, &got), TlsSession::kWantRead);
    EXPECT_FALSE(pair.server->InputPending());
  }
  ASSERT_EQ(size, 1u);
  ASSERT_EQ(pair.server->Feed(record, 1), 1u);
  EXPECT_TRUE(pair.server->InputPending());
  ASSERT_EQ(pair.server->Read(buffer, sizeof buffer, &got), TlsSession::kOk);
  EXPECT_EQ(std::string(buffer, got), "NOOP\r\n");
  EXPECT_FALSE(pair.server->InputPending());
}

TEST_F(TlsTest, RefusedCertificatesNameTheirReason) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  for (const RefusalCase& c : kRefusals) {
    SCOPED_TRACE(c.what);
    Pair pair = MakePair(ClientContext(true, c.ca), ServerContext(), c.peer);
    EXPECT_FALSE(Handshake(pair));
    EXPECT_EQ(pair.client->Failure(), c.reason) << pair.client->FailureText();
    EXPECT_EQ(pair.client->FailureText().rfind(c.text, 0), 0u) << pair.client->FailureText();
    // The server hears the client's alert.
    EXPECT_EQ(pair.server->Failure(), TlsFailure::kHandshake) << pair.server->FailureText();
  }
}

TEST_F(TlsTest, IpLiteralsAreCheckedAgainstIpAddressesAndNotSentAsSni) {
  EXPECT_TRUE(TlsIsIpLiteral("10.0.0.1"));
  EXPECT_TRUE(TlsIsIpLiteral("fe80::1"));
  EXPECT_FALSE(TlsIsIpLiteral("10.0.0.1.example"));
  EXPECT_FALSE(TlsIsIpLiteral("1.2.3"));
  EXPECT_FALSE(TlsIsIpLiteral("01.2.3.4"));
  EXPECT_FALSE(TlsIsIpLiteral("256.1.1.1"));
  EXPECT_FALSE(TlsIsIpLiteral("localhost"));
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  for (const char* address : kIpLiterals) {
    SCOPED_TRACE(address);
    Pair pair = MakePair(ClientContext(), ServerContext(), address);
    EXPECT_TRUE(Handshake(pair)) << pair.client->FailureText();
    EXPECT_EQ(pair.server->ServerName(), "");
  }
}

TEST_F(TlsTest, UnverifiedModeAcceptsAnyCertificate) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  // A self-signed certificate for another name, and no CA file at all.
  Pair pair =
      MakePair(ClientContext(false, ""), ServerContext("other.pem", "other.key"), "mx.invalid");
  EXPECT_TRUE(Handshake(pair)) << pair.client->FailureText();
  EXPECT_EQ(pair.server->ServerName(), "mx.invalid");
}

// Hand-made hellos of a TLS 1.1 peer, each side refusing the version.
TEST_F(TlsTest, TlsOnePointOneIsRefusedOnBothSides) {
  std::string random(32, '\x5a');
  std::string error;
  const std::string serverHello = std::string("\x16\x03\x02\x00\x2a\x02\x00\x00\x26\x03\x02", 11) +
                                  random + std::string("\x00\xc0\x13\x00", 4);
  auto client = TlsSession::Client(ClientContext(), "localhost", &error);
  ASSERT_TRUE(client) << error;
  ASSERT_EQ(client->Handshake(), TlsSession::kWantRead);
  client->Consume(SIZE_MAX);
  ASSERT_EQ(client->Feed(serverHello.data(), serverHello.size()), serverHello.size());
  EXPECT_EQ(client->Handshake(), TlsSession::kFailed);
  EXPECT_EQ(client->Failure(), TlsFailure::kProtocolVersion) << client->FailureText();

  SKIP_UNLESS_SERVER_SIDE_SERVED();
  const std::string clientHello = std::string("\x16\x03\x01\x00\x2f\x01\x00\x00\x2b\x03\x02", 11) +
                                  random + std::string("\x00\x00\x04\xc0\x13\x00\x2f\x01\x00", 9);
  auto server = TlsSession::Server(ServerContext(), &error);
  ASSERT_TRUE(server) << error;
  ASSERT_EQ(server->Feed(clientHello.data(), clientHello.size()), clientHello.size());
  EXPECT_EQ(server->Handshake(), TlsSession::kFailed);
  EXPECT_EQ(server->Failure(), TlsFailure::kProtocolVersion) << server->FailureText();
  size_t size = 0;
  const char* alert = server->Outgoing(&size);
  ASSERT_EQ(size, 7u);  // protocol_version (70), fatal
  EXPECT_EQ(alert[0], '\x15');
  EXPECT_EQ(alert[6], '\x46');
}

TEST_F(TlsTest, ReloadKeepsTheOldContextOnFailureAndSessionsAlive) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  TlsServerContextSlot slot;
  std::string error;
  ASSERT_TRUE(slot.Load(Pki().Path("chain.pem"), Pki().Path("leaf.key"), "", &error)) << error;
  std::shared_ptr<const TlsContext> first = slot.Current();
  Pair old = MakePair(ClientContext(), slot.Current());
  ASSERT_TRUE(Handshake(old)) << old.client->FailureText();

  ASSERT_TRUE(Pki().WriteFile("garbage.pem", "not a certificate\n"));
  EXPECT_FALSE(slot.Load(Pki().Path("garbage.pem"), Pki().Path("leaf.key"), "", &error));
  EXPECT_NE(error.find("garbage.pem"), std::string::npos) << error;
  EXPECT_EQ(slot.Current(), first);

  ASSERT_TRUE(slot.Load(Pki().Path("other.pem"), Pki().Path("other.key"), "", &error)) << error;
  EXPECT_NE(slot.Current(), first);
  // New sessions get the new certificate, which only its own root trusts.
  Pair fresh = MakePair(ClientContext(true, "other.pem"), slot.Current());
  EXPECT_TRUE(Handshake(fresh)) << fresh.client->FailureText();
  // The old session outlives every other hold on its context.
  const std::weak_ptr<const TlsContext> watch = first;
  first.reset();
  EXPECT_FALSE(watch.expired());
  const std::string data = Pattern(100000);
  EXPECT_TRUE(Transfer(*old.server, *old.client, data, 5000, 1000) == data);
  EXPECT_TRUE(Transfer(*old.client, *old.server, data, 5000, 1000) == data);
  old.server.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(TlsTest, BadCertificateAndKeyFilesAreRefusedWithTheFileNamed) {
  ASSERT_TRUE(Pki().WriteFile("garbage.pem", "not a certificate\n"));
  ASSERT_TRUE(Pki().WriteFile("encrypted.key", ""));
  ASSERT_TRUE(Pki().WriteFile("garbage.p12", "not a certificate\n"));
  ASSERT_TRUE(Pki().Openssl("pkey -in leaf.key -aes128 -passout pass:secret -out encrypted.key"));
  struct Case {
    const char* cert;
    const char* key;
    const char* named;  // the file the error names
    const char* detail;
    const char* password = "pfx.password";
  };
  for (const Case& c : {
           Case{"missing.pem", "leaf.key", "missing.pem", ""},
           Case{"garbage.pem", "leaf.key", "garbage.pem", "no start line"},
           Case{"chain.pem", "missing.key", "missing.key", ""},
           Case{"chain.pem", "other.key", "other.key", "does not match"},
           Case{"chain.pem", "", "chain.pem", "no usable private key"},  // no key in the cert file
           Case{"chain.pem", "encrypted.key", "encrypted.key", "no usable private key"},
           Case{"chain.pfx", "", "chain.pfx", "a wrong password?", "wrong.password"},
           Case{"chain.pfx", "", "missing.password", "cannot open", "missing.password"},
           Case{"garbage.p12", "", "garbage.p12", "not a PFX"},
       }) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.key);
    std::string error;
    EXPECT_FALSE(TlsLoadServerContext(Pki().Path(c.cert), *c.key ? Pki().Path(c.key) : "",
                                      Pki().Path(c.password), &error));
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    EXPECT_NE(error.find(c.detail), std::string::npos) << error;
  }
  TlsClientSettings settings;
  settings.caFile = Pki().Path("garbage.pem");
  std::string error;
  EXPECT_FALSE(TlsMakeClientContext(settings, &error));
  EXPECT_NE(error.find("garbage.pem"), std::string::npos) << error;
  // A PFX file, known by its name or by its content, with the right
  // password (served below where the platform serves).
  EXPECT_TRUE(ServerContext("chain.pfx", ""));
  EXPECT_TRUE(ServerContext("chain.bin", ""));

  SKIP_UNLESS_SERVER_SIDE_SERVED();
  // The key in the certificate file.
  Pair pair = MakePair(ClientContext(), ServerContext("both.pem", ""));
  EXPECT_TRUE(Handshake(pair)) << pair.client->FailureText();
  // A PFX file's intermediate goes out with the leaf (the client knows only
  // the root).
  for (const char* pfx : {"chain.pfx", "chain.bin"}) {
    SCOPED_TRACE(pfx);
    Pair pfxPair = MakePair(ClientContext(), ServerContext(pfx, ""));
    EXPECT_TRUE(Handshake(pfxPair)) << pfxPair.client->FailureText();
  }
}

#ifdef _WIN32
// The PFX's certificate and key put into CurrentUser\My (in the test's
// Wine prefix, or the user's store); its thumbprint in hex.
std::string ImportIntoMyStore() {
  const std::string pfx = Pki().ReadFile("chain.pfx");
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(pfx.size()),
                          reinterpret_cast<BYTE*>(const_cast<char*>(pfx.data()))};
  HCERTSTORE imported = PFXImportCertStore(&blob, L"pfx secret", CRYPT_USER_KEYSET);
  HCERTSTORE my =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"My");
  std::string thumbprint;
  PCCERT_CONTEXT cert = nullptr;
  while (imported != nullptr && my != nullptr &&
         (cert = CertEnumCertificatesInStore(imported, cert)) != nullptr) {
    DWORD size = 0;
    BYTE hash[20];
    DWORD hashSize = sizeof hash;
    char subject[64] = "";
    CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, sizeof subject);
    if (std::string(subject) == "localhost" &&
        CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) &&
        CertAddCertificateContextToStore(my, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) &&
        CertGetCertificateContextProperty(cert, CERT_HASH_PROP_ID, hash, &hashSize)) {
      char hex[3];
      for (DWORD i = 0; i < hashSize; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", hash[i]);
        thumbprint += hex;
      }
    }
  }
  if (my != nullptr) CertCloseStore(my, 0);
  if (imported != nullptr) CertCloseStore(imported, 0);
  EXPECT_EQ(thumbprint.size(), 40u) << "the PFX could not be put into CurrentUser\\My";
  return thumbprint;
}
#endif

// A certificate of the Windows store, by thumbprint or subject; refused,
// with the reason, where there is no such store or no such certificate.
TEST_F(TlsTest, CertificatesOfTheWindowsStore) {
  std::string error;
#ifdef _WIN32
  const std::string thumbprint = ImportIntoMyStore();
  ASSERT_FALSE(thumbprint.empty());
  EXPECT_TRUE(TlsLoadServerContext("store:CurrentUser\\My\\" + thumbprint, "", "", &error))
      << error;
  EXPECT_TRUE(TlsLoadServerContext("store:CurrentUser\\My\\subject=localhost", "", "", &error))
      << error;
  struct Case {
    const char* name;
    const char* detail;
  };
  for (const Case& c : {
           Case{"store:CurrentUser\\My\\0000000000000000000000000000000000000000",
                "no such certificate in the store"},
           Case{"store:CurrentUser\\My\\subject=nobody.invalid", "no such certificate"},
           Case{"store:CurrentUser\\My\\12ab", "40 hex digits"},
           Case{"store:Elsewhere\\My\\subject=localhost", "LocalMachine or CurrentUser"},
           Case{"store:CurrentUser", "not store:"},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(TlsLoadServerContext(c.name, "", "", &error));
    EXPECT_NE(error.find(c.detail), std::string::npos) << error;
    EXPECT_EQ(error.rfind(std::string("TLS certificate ") + c.name, 0), 0u) << error;
  }
#else
  EXPECT_FALSE(TlsLoadServerContext("store:LocalMachine\\My\\subject=localhost", "", "", &error));
  EXPECT_NE(error.find("the certificate store is Windows's"), std::string::npos) << error;
#endif
}

TEST_F(TlsTest, ClientResumesItsSessionPerUpstream) {
  SKIP_UNLESS_SERVER_SIDE_SERVED();
  const auto client = ClientContext();
  const auto server = ServerContext();
  const std::string hello = "EHLO\r\n";
  struct Case {
    const char* peer;
    bool resumed;
  };
  for (const Case& c : {Case{"localhost", false}, Case{"localhost", true}, Case{"127.0.0.1", false},
                        Case{"localhost", true}}) {
    SCOPED_TRACE(c.peer);
    Pair pair = MakePair(client, server, c.peer);
    ASSERT_TRUE(Handshake(pair)) << pair.client->FailureText();
    EXPECT_EQ(pair.client->Resumed(), c.resumed);
    EXPECT_EQ(pair.server->Resumed(), c.resumed);
    // The client takes the server's tickets as it reads.
    EXPECT_TRUE(Transfer(*pair.server, *pair.client, hello, 100, SIZE_MAX) == hello);
  }
}

// openssl s_server on 127.0.0.1 in the PKI's directory, for one
// connection: a peer for the client side that no engine of ours made. It
// logs the name the client sent (SNI), the version and the cipher.
class OpensslServer {
 public:
  // input: a shell command whose output is the server's standard input
  // (s_server's commands, "R" asks the client to renegotiate), run with
  // $LOG naming the server's log; empty: none.
  explicit OpensslServer(const std::string& options, const std::string& input = "") {
    static int count = 0;
    m_log = "s_server-" + std::to_string(++count) + ".log";
    // The end is written to the log: Wine gives no handle to wait on.
    const std::string script =
        "cd '" + ShellPath(Pki().Directory()) + "' && LOG=" + m_log + " && { " +
        (input.empty() ? std::string("true") : input) +
        "; } | timeout 120 openssl s_server -accept 127.0.0.1:0 -naccept 1"
        " -servername localhost -cert2 leaf.pem -key2 leaf.key -CAfile inter.pem " +
        options + " >" + m_log + " 2>&1; echo s_server ended >>" + m_log;
    std::string error;
    if (!ShellStart(script, &error)) {
      ADD_FAILURE() << error;
      return;
    }
    const std::string accept = "ACCEPT 127.0.0.1:";
    if (!WaitLog(accept)) return;
    const std::string log = Log();
    m_port = static_cast<uint16_t>(std::atoi(log.c_str() + log.find(accept) + accept.size()));
  }
  ~OpensslServer() {
    // A test that stopped early lets the server go rather than wait for
    // its time-out.
    if (m_port != 0 && !m_connected) NetClose(Connect());
  }
  OpensslServer(const OpensslServer&) = delete;
  OpensslServer& operator=(const OpensslServer&) = delete;

  NetSocket Connect() {
    m_connected = true;
    std::string error;
    const NetSocket socket = NetConnect("127.0.0.1", m_port, 10000, &error);
    EXPECT_NE(socket, kNetInvalidSocket) << error;
    return socket;
  }
  std::string Log() const { return Pki().ReadFile(m_log); }
  bool WaitLog(const std::string& text) const {
    for (int waited = 0; waited < 60000; waited += 20) {
      if (Log().find(text) != std::string::npos) return true;
      ShellPause(20);
    }
    ADD_FAILURE() << "s_server never logged \"" << text << "\":\n" << Log();
    return false;
  }
  // The whole log, once the server has ended (its output is buffered).
  std::string FinalLog() const { return WaitLog("s_server ended") ? Log() : std::string(); }

 private:
  std::string m_log;
  uint16_t m_port = 0;
  bool m_connected = false;
};

// A client session on a socket to an OpensslServer, driven as tls.h tells
// a caller to, taking at most `wire` bytes per Feed().
class SocketClient {
 public:
  SocketClient(OpensslServer& server, std::shared_ptr<const TlsContext> context,
               const std::string& peer, size_t wire = SIZE_MAX)
      : m_wire(wire), m_buffer(64 * 1024) {
    std::string error;
    m_session = TlsSession::Client(std::move(context), peer, &error);
    EXPECT_TRUE(m_session) << error;
    m_socket = server.Connect();
  }
  ~SocketClient() {
    if (m_socket != kNetInvalidSocket) NetClose(m_socket);
  }
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  TlsSession& Session() { return *m_session; }
  bool Ready() const { return m_session && m_socket != kNetInvalidSocket; }

  bool Handshake() {
    for (;;) {
      const TlsSession::Status status = m_session->Handshake();
      if (status == TlsSession::kOk || status == TlsSession::kFailed) {
        Flush();  // the last flight, or the alert
        return status == TlsSession::kOk;
      }
      if (!Pump()) return false;
    }
  }

  // Writes data in pieces while reading what comes back, until `expect`
  // bytes came or the session ended; *end says how (kOk: all came).
  std::string Exchange(const std::string& data, size_t piece, size_t expect,
                       TlsSession::Status* end) {
    std::string received;
    size_t sent = 0;
    *end = TlsSession::kOk;
    while (received.size() < expect) {
      if (sent < data.size()) {
        size_t taken = 0;
        const TlsSession::Status status =
            m_session->Write(data.data() + sent, std::min(piece, data.size() - sent), &taken);
        if (status != TlsSession::kOk && status != TlsSession::kWantWrite) {
          *end = status;
          return received;
        }
        sent += taken;
      }
      for (;;) {
        size_t got = 0;
        const TlsSession::Status status = m_session->Read(m_buffer.data(), m_buffer.size(), &got);
        if (status == TlsSession::kOk) {
          received.append(m_buffer.data(), got);
        } else if (status == TlsSession::kClosed || status == TlsSession::kFailed) {
          *end = status;
          return received;
        } else {
          break;
        }
      }
      if (received.size() < expect && !Pump()) {
        *end = TlsSession::kFailed;
        return received;
      }
    }
    return received;
  }

  // Sends what waits (the last flight, an alert) while the peer takes it.
  void Flush() {
    size_t size = 0;
    while (m_session->Outgoing(&size) != nullptr && size > 0 && Pump()) {
    }
  }

  // Sends close_notify and then ends the connection.
  void Close() {
    m_session->Close();
    Flush();
    NetClose(m_socket);
    m_socket = kNetInvalidSocket;
  }

 private:
  // One wait: sends what waits, feeds what came. False on an error, the
  // peer's end with nothing to send, or no progress for ten seconds.
  bool Pump() {
    size_t size = 0;
    const char* out = m_session->Outgoing(&size);
    const bool read = !m_ended && m_session->FeedRoom() > 0;
    NetPollItem item = {m_socket,
                        static_cast<short>((read ? kNetIn : 0) | (size > 0 ? kNetOut : 0)), 0};
    if (item.events == 0 || NetPoll(&item, 1, 10000) <= 0) return false;
    if (size > 0 && (item.revents & kNetOut) != 0) {
      const int sent = NetSend(m_socket, out, static_cast<int>(std::min<size_t>(size, 1u << 20)));
      if (sent == kNetError) return false;
      if (sent > 0) m_session->Consume(static_cast<size_t>(sent));
    }
    if (read && (item.revents & (kNetIn | kNetHup | kNetErr)) != 0) {
      const size_t room = std::min({m_session->FeedRoom(), m_wire, m_buffer.size()});
      const int got = NetRecv(m_socket, m_buffer.data(), static_cast<int>(room));
      if (got > 0) {
        EXPECT_EQ(m_session->Feed(m_buffer.data(), static_cast<size_t>(got)),
                  static_cast<size_t>(got));
      } else if (got != kNetWouldBlock) {
        m_ended = true;
      }
    }
    return true;
  }

  std::unique_ptr<TlsSession> m_session;
  NetSocket m_socket = kNetInvalidSocket;
  size_t m_wire;
  std::vector<char> m_buffer;
  bool m_ended = false;
};

// Lines of text that s_server -rev answers line by line, reversed.
std::string TextLines(size_t size) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789 ";
  std::string text(size, '\n');
  size_t lineEnd = 0;
  for (size_t i = 0; i + 1 < size; ++i) {
    if (i == lineEnd) {
      lineEnd = i + 1 + (i * 31u) % 80;
      continue;
    }
    text[i] = kAlphabet[((i * 7919u) >> 5) % (sizeof kAlphabet - 2)];
  }
  return text;
}

std::string ReverseLines(const std::string& text) {
  std::string reversed;
  reversed.reserve(text.size());
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    reversed.append(text.rbegin() + static_cast<long>(text.size() - end),
                    text.rbegin() + static_cast<long>(text.size() - start));
    reversed += '\n';
  }
  return reversed;
}

class TlsPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki().Ok());
    static const bool started = [] {
      std::string error;
      const bool ok = NetStartup(&error);
      EXPECT_TRUE(ok) << error;
      return ok;
    }();
    ASSERT_TRUE(started);
  }
};

TEST_F(TlsPeerTest, ClientHandshakesAndExchangesDataInSmallAndLargePieces) {
  for (const DataCase& c : kDataCases) {
    SCOPED_TRACE("wire " + std::to_string(c.wire) + " piece " + std::to_string(c.piece));
    OpensslServer server("-rev -cert leaf.pem -key leaf.key");
    SocketClient client(server, ClientContext(), "localhost", c.wire);
    ASSERT_TRUE(client.Ready());
    ASSERT_TRUE(client.Handshake()) << client.Session().FailureText();
    const std::string version = client.Session().Version();
    EXPECT_TRUE(version == "TLSv1.3" || version == "TLSv1.2") << version;
    const std::string up = TextLines(c.size);
    TlsSession::Status end = TlsSession::kOk;
    const std::string back = client.Exchange(up, c.piece, up.size(), &end);
    EXPECT_EQ(end, TlsSession::kOk) << client.Session().FailureText();
    EXPECT_TRUE(back == ReverseLines(up)) << back.size() << " of " << up.size() << " bytes";
    EXPECT_LE(client.Session().FeedRoom(), 64u * 1024u);
    client.Close();
    const std::string log = server.FinalLog();
    EXPECT_NE(log.find("Protocol version: " + version), std::string::npos) << log;
    if (version == "TLSv1.3") {  // the names of TLS 1.2's suites differ between libraries
      EXPECT_NE(log.find("Ciphersuite: " + client.Session().Cipher()), std::string::npos) << log;
    }
    EXPECT_NE(log.find("Hostname in TLS extension: \"localhost\""), std::string::npos) << log;
  }
}

TEST_F(TlsPeerTest, ClientSendsAndHearsCloseNotify) {
  {
    OpensslServer server("-rev -msg -cert leaf.pem -key leaf.key");
    SocketClient client(server, ClientContext(), "localhost");
    ASSERT_TRUE(client.Ready());
    ASSERT_TRUE(client.Handshake()) << client.Session().FailureText();
    TlsSession::Status end = TlsSession::kOk;
    EXPECT_EQ(client.Exchange("abc\n", 100, 4, &end), "cba\n");
    client.Close();
    const std::string log = server.FinalLog();
    const size_t alert = log.find("Alert [length 0002], warning close_notify");
    ASSERT_NE(alert, std::string::npos) << log;
    EXPECT_EQ(log.compare(log.rfind('\n', alert) + 1, 4, "<<< "), 0) << log;  // received
  }
  // -WWW answers with a file and ends with close_notify.
  OpensslServer server("-WWW -cert leaf.pem -key leaf.key");
  SocketClient client(server, ClientContext(), "localhost", 100);
  ASSERT_TRUE(client.Ready());
  ASSERT_TRUE(client.Handshake()) << client.Session().FailureText();
  TlsSession::Status end = TlsSession::kOk;
  const std::string page = client.Exchange("GET /root.pem HTTP/1.0\r\n\r\n", 100, SIZE_MAX, &end);
  EXPECT_EQ(end, TlsSession::kClosed) << client.Session().FailureText();
  const std::string root = Pki().ReadFile("root.pem");
  EXPECT_EQ(page.rfind("HTTP/1.0 200 ok", 0), 0u) << page;
  EXPECT_TRUE(page.size() > root.size() &&
              page.compare(page.size() - root.size(), root.size(), root) == 0)
      << page;
}

TEST_F(TlsPeerTest, ClientRefusesCertificatesWithTheirReason) {
  for (const RefusalCase& c : kRefusals) {
    SCOPED_TRACE(c.what);
    OpensslServer server("-rev -cert leaf.pem -key leaf.key");
    SocketClient client(server, ClientContext(true, c.ca), c.peer);
    ASSERT_TRUE(client.Ready());
    EXPECT_FALSE(client.Handshake());
    EXPECT_EQ(client.Session().Failure(), c.reason) << client.Session().FailureText();
    EXPECT_EQ(client.Session().FailureText().rfind(c.text, 0), 0u)
        << client.Session().FailureText();
  }
}

TEST_F(TlsPeerTest, ClientChecksIpLiteralsWithoutSniAndTrustsAnyoneUnverified) {
  for (const char* address : kIpLiterals) {
    SCOPED_TRACE(address);
    OpensslServer server("-rev -cert leaf.pem -key leaf.key");
    SocketClient client(server, ClientContext(), address);
    ASSERT_TRUE(client.Ready());
    EXPECT_TRUE(client.Handshake()) << client.Session().FailureText();
    client.Close();
    const std::string log = server.FinalLog();
    EXPECT_EQ(log.find("Hostname in TLS extension"), std::string::npos) << log;
  }
  // A self-signed certificate for another name, and no CA file at all.
  OpensslServer server("-rev -cert other.pem -key other.key");
  SocketClient client(server, ClientContext(false, ""), "mx.invalid");
  ASSERT_TRUE(client.Ready());
  EXPECT_TRUE(client.Handshake()) << client.Session().FailureText();
  client.Close();
  const std::string log = server.FinalLog();
  EXPECT_NE(log.find("Hostname in TLS extension: \"mx.invalid\""), std::string::npos) << log;
}

// A TLS 1.2 server's HelloRequest (RFC 5246 section 7.4.1.1) is refused
// whatever the library would allow. OpenSSL answers with the warning
// alert no_renegotiation, which OpenSSL's own server takes as the end;
// SChannel cannot go on with the session, so it ends it itself, says why
// and sends close_notify.
TEST_F(TlsPeerTest, ClientRefusesToRenegotiate) {
  OpensslServer server("-tls1_2 -msg -cert leaf.pem -key leaf.key",
                       "until grep -q 'CIPHER is' $LOG; do sleep 0.1; done; echo R; sleep 5");
  SocketClient client(server, ClientContext(), "localhost");
  ASSERT_TRUE(client.Ready());
  ASSERT_TRUE(client.Handshake()) << client.Session().FailureText();
  TlsSession::Status end = TlsSession::kOk;
  EXPECT_EQ(client.Exchange("", 1, SIZE_MAX, &end), "");
  EXPECT_EQ(end, TlsSession::kFailed);
  EXPECT_EQ(client.Session().Failure(), TlsFailure::kProtocol) << client.Session().FailureText();
  client.Flush();
  client.Close();
  const std::string log = server.FinalLog();
  EXPECT_NE(log.find("HelloRequest"), std::string::npos) << log;
#ifdef _WIN32
  EXPECT_EQ(client.Session().FailureText(), "TLS error: the peer asked to renegotiate (refused)");
  const size_t alert = log.find("warning close_notify");
#else
  const size_t alert = log.find("warning no_renegotiation");
#endif
  ASSERT_NE(alert, std::string::npos) << log;
  EXPECT_EQ(log.compare(log.rfind('\n', alert) + 1, 4, "<<< "), 0) << log;  // received
}

}  // namespace
