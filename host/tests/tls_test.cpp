// The TLS engine with both ends of each handshake in memory: what it
// accepts, what it refuses and why, and that reloads and resumption keep
// to what the proxy promises. Certificates are made at run time with the
// openssl command; no key is kept in the tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/tls/tls.h"
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
    const std::string cnf = " -config " + Path("pki.cnf");
    m_ok =
        Run("req -x509 -newkey rsa:2048 -nodes -days 2" + cnf + " -extensions ca -subj /CN=root" +
            " -keyout " + Path("root.key") + " -out " + Path("root.pem")) &&
        Issue("inter", "ca", "root") && Issue("leaf", "leaf", "inter") &&
        Run("req -x509 -newkey rsa:2048 -nodes -days 2" + cnf +
            " -extensions leaf -subj /CN=localhost -keyout " + Path("other.key") + " -out " +
            Path("other.pem"));
    // The chain in the certificate file, and a file holding the key too.
    m_ok = m_ok && WriteFile("chain.pem", ReadFile("leaf.pem") + ReadFile("inter.pem")) &&
           WriteFile("both.pem", ReadFile("chain.pem") + ReadFile("leaf.key"));
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

 private:
  bool Run(const std::string& arguments) const {
    const std::string command = "openssl " + arguments + " >" + Path("openssl.log") + " 2>&1";
    if (std::system(command.c_str()) == 0) return true;
    ADD_FAILURE() << command << ":\n" << ReadFile("openssl.log");
    return false;
  }
  bool Issue(const std::string& name, const std::string& kind, const std::string& issuer) const {
    const std::string cnf = " -config " + Path("pki.cnf");
    return Run("req -new -newkey rsa:2048 -nodes" + cnf +
               " -subj /CN=" + (kind == "leaf" ? std::string("localhost") : name) + " -keyout " +
               Path(name + ".key") + " -out " + Path(name + ".csr")) &&
           Run("x509 -req -days 2 -set_serial " + std::to_string(name.size()) + " -in " +
               Path(name + ".csr") + " -CA " + Path(issuer + ".pem") + " -CAkey " +
               Path(issuer + ".key") + " -extfile " + Path("pki.cnf") + " -extensions " + kind +
               " -out " + Path(name + ".pem"));
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
  auto context = TlsLoadServerContext(Pki().Path(cert), key.empty() ? "" : Pki().Path(key), &error);
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

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Pki().Ok()); }
};

TEST_F(TlsTest, HandshakeThenDataBothWaysInSmallAndLargePieces) {
  struct Case {
    size_t wire;   // ciphertext per Feed()
    size_t piece;  // plaintext per Write()
    size_t size;
  };
  for (const Case& c : {Case{SIZE_MAX, 1u << 20, 3u << 20}, Case{1, 1, 700}, Case{7, 100, 50000},
                        Case{4096, 65536, 1u << 20}}) {
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

TEST_F(TlsTest, RefusedCertificatesNameTheirReason) {
  struct Case {
    const char* what;
    std::string ca;
    std::string peer;
    TlsFailure reason;
    const char* text;
  };
  for (const Case& c : {
           Case{"another name", "root.pem", "mail.invalid", TlsFailure::kNameMismatch,
                "certificate verify failed: hostname mismatch"},
           Case{"an IP address the certificate lacks", "root.pem", "127.0.0.2",
                TlsFailure::kNameMismatch, "certificate verify failed: IP address mismatch"},
           Case{"another root", "other.pem", "localhost", TlsFailure::kUnknownCa,
                "certificate verify failed: unknown CA"},
       }) {
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
  for (const char* address : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(address);
    Pair pair = MakePair(ClientContext(), ServerContext(), address);
    EXPECT_TRUE(Handshake(pair)) << pair.client->FailureText();
    EXPECT_EQ(pair.server->ServerName(), "");
  }
  EXPECT_TRUE(TlsIsIpLiteral("10.0.0.1"));
  EXPECT_TRUE(TlsIsIpLiteral("fe80::1"));
  EXPECT_FALSE(TlsIsIpLiteral("10.0.0.1.example"));
  EXPECT_FALSE(TlsIsIpLiteral("1.2.3"));
  EXPECT_FALSE(TlsIsIpLiteral("01.2.3.4"));
  EXPECT_FALSE(TlsIsIpLiteral("256.1.1.1"));
  EXPECT_FALSE(TlsIsIpLiteral("localhost"));
}

TEST_F(TlsTest, UnverifiedModeAcceptsAnyCertificate) {
  // A self-signed certificate for another name, and no CA file at all.
  Pair pair =
      MakePair(ClientContext(false, ""), ServerContext("other.pem", "other.key"), "mx.invalid");
  EXPECT_TRUE(Handshake(pair)) << pair.client->FailureText();
  EXPECT_EQ(pair.server->ServerName(), "mx.invalid");
}

// Hand-made hellos of a TLS 1.1 peer, each side refusing the version.
TEST_F(TlsTest, TlsOnePointOneIsRefusedOnBothSides) {
  std::string random(32, '\x5a');
  const std::string clientHello = std::string("\x16\x03\x01\x00\x2f\x01\x00\x00\x2b\x03\x02", 11) +
                                  random + std::string("\x00\x00\x04\xc0\x13\x00\x2f\x01\x00", 9);
  std::string error;
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

  const std::string serverHello = std::string("\x16\x03\x02\x00\x2a\x02\x00\x00\x26\x03\x02", 11) +
                                  random + std::string("\x00\xc0\x13\x00", 4);
  auto client = TlsSession::Client(ClientContext(), "localhost", &error);
  ASSERT_TRUE(client) << error;
  ASSERT_EQ(client->Handshake(), TlsSession::kWantRead);
  client->Consume(SIZE_MAX);
  ASSERT_EQ(client->Feed(serverHello.data(), serverHello.size()), serverHello.size());
  EXPECT_EQ(client->Handshake(), TlsSession::kFailed);
  EXPECT_EQ(client->Failure(), TlsFailure::kProtocolVersion) << client->FailureText();
}

TEST_F(TlsTest, ReloadKeepsTheOldContextOnFailureAndSessionsAlive) {
  TlsServerContextSlot slot;
  std::string error;
  ASSERT_TRUE(slot.Load(Pki().Path("chain.pem"), Pki().Path("leaf.key"), &error)) << error;
  std::shared_ptr<const TlsContext> first = slot.Current();
  Pair old = MakePair(ClientContext(), slot.Current());
  ASSERT_TRUE(Handshake(old)) << old.client->FailureText();

  ASSERT_TRUE(Pki().WriteFile("garbage.pem", "not a certificate\n"));
  EXPECT_FALSE(slot.Load(Pki().Path("garbage.pem"), Pki().Path("leaf.key"), &error));
  EXPECT_NE(error.find("garbage.pem"), std::string::npos) << error;
  EXPECT_EQ(slot.Current(), first);

  ASSERT_TRUE(slot.Load(Pki().Path("other.pem"), Pki().Path("other.key"), &error)) << error;
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
  const std::string encrypt = "openssl pkey -in " + Pki().Path("leaf.key") +
                              " -aes128 -passout pass:secret -out " + Pki().Path("encrypted.key");
  ASSERT_EQ(std::system(encrypt.c_str()), 0);
  struct Case {
    const char* cert;
    const char* key;
    const char* named;  // the file the error names
    const char* detail;
  };
  for (const Case& c : {
           Case{"missing.pem", "leaf.key", "missing.pem", ""},
           Case{"garbage.pem", "leaf.key", "garbage.pem", "no start line"},
           Case{"chain.pem", "missing.key", "missing.key", ""},
           Case{"chain.pem", "other.key", "other.key", "does not match"},
           Case{"chain.pem", "", "chain.pem", "no usable private key"},  // no key in the cert file
           Case{"chain.pem", "encrypted.key", "encrypted.key", "no usable private key"},
       }) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.key);
    std::string error;
    EXPECT_FALSE(TlsLoadServerContext(Pki().Path(c.cert), *c.key ? Pki().Path(c.key) : "", &error));
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    EXPECT_NE(error.find(c.detail), std::string::npos) << error;
  }
  // The key in the certificate file.
  Pair pair = MakePair(ClientContext(), ServerContext("both.pem", ""));
  EXPECT_TRUE(Handshake(pair)) << pair.client->FailureText();

  TlsClientSettings settings;
  settings.caFile = Pki().Path("garbage.pem");
  std::string error;
  EXPECT_FALSE(TlsMakeClientContext(settings, &error));
  EXPECT_NE(error.find("garbage.pem"), std::string::npos) << error;
}

TEST_F(TlsTest, ClientResumesItsSessionPerUpstream) {
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

}  // namespace
