// The engine on SChannel through SSPI. SSPI is driven by buffers already:
// the session keeps the peer's ciphertext in a fixed buffer, hands it to
// InitializeSecurityContext / AcceptSecurityContext / DecryptMessage, and
// encrypts records in place in a fixed outgoing buffer. SChannel keeps the
// client's resumable sessions itself, per credential and target name.
// Certificates of an upstream are checked here (manual validation): the
// chain against the CA file's roots or the system's, then the name.
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "host/tls/tls.h"

// From wininet.h, which the SSL policy's extra data takes.
#ifndef SECURITY_FLAG_IGNORE_UNKNOWN_CA
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#endif
#ifndef SECURITY_FLAG_IGNORE_CERT_CN_INVALID
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#endif

namespace {

// Two largest records each way, as on the other platform.
constexpr size_t kBufferSize = 40 * 1024;

std::string StatusText(const char* call, SECURITY_STATUS status) {
  char text[96];
  std::snprintf(text, sizeof text, "%s returned 0x%08lX", call, static_cast<unsigned long>(status));
  return text;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open the file";
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The DER of each PEM block of that label, in order.
std::vector<std::vector<BYTE>> PemBlocks(const std::string& text, const std::string& label) {
  std::vector<std::vector<BYTE>> blocks;
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  size_t at = 0;
  while ((at = text.find(begin, at)) != std::string::npos) {
    const size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = text.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      std::vector<BYTE> der(size);
      if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                               CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        der.resize(size);
        blocks.push_back(std::move(der));
      }
    }
    at = stop + end.size();
  }
  return blocks;
}

std::vector<BYTE> Decode(LPCSTR type, const BYTE* data, DWORD size) {
  DWORD length = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, data, size, 0, nullptr,
                           nullptr, &length)) {
    return {};
  }
  std::vector<BYTE> decoded(length);
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, data, size, 0, nullptr,
                           decoded.data(), &length)) {
    return {};
  }
  decoded.resize(length);
  return decoded;
}

// One DER item of that tag at p: its contents, and p moved past it.
bool DerItem(const BYTE*& p, const BYTE* end, BYTE tag, const BYTE** body, size_t* size) {
  if (end - p < 2 || p[0] != tag) return false;
  size_t length = p[1];
  p += 2;
  if (length & 0x80) {
    size_t count = length & 0x7f;
    if (count == 0 || count > 4 || static_cast<size_t>(end - p) < count) return false;
    for (length = 0; count > 0; --count) length = (length << 8) | *p++;
  }
  if (static_cast<size_t>(end - p) < length) return false;
  *body = p;
  *size = length;
  p += length;
  return true;
}

// The PKCS #1 key inside a PKCS #8 PrivateKeyInfo of an RSA key:
// SEQUENCE { INTEGER version, SEQUENCE { rsaEncryption, ... }, OCTET STRING }.
// Unwrapped here because Wine's CryptoAPI has no PKCS_PRIVATE_KEY_INFO
// decoder, and openssl writes keys this way.
std::vector<BYTE> RsaKeyOfPkcs8(const std::vector<BYTE>& der) {
  static const BYTE kRsaEncryption[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                        0xf7, 0x0d, 0x01, 0x01, 0x01};
  const BYTE* p = der.data();
  const BYTE* end = p + der.size();
  const BYTE* info = nullptr;
  const BYTE* item = nullptr;
  size_t infoSize = 0;
  size_t size = 0;
  if (!DerItem(p, end, 0x30, &info, &infoSize)) return {};
  p = info;
  end = info + infoSize;
  if (!DerItem(p, end, 0x02, &item, &size) || !DerItem(p, end, 0x30, &item, &size) ||
      size < sizeof kRsaEncryption ||
      std::memcmp(item, kRsaEncryption, sizeof kRsaEncryption) != 0 ||
      !DerItem(p, end, 0x04, &item, &size)) {
    return {};
  }
  return std::vector<BYTE>(item, item + size);
}

// An RSA key (PKCS #8 or PKCS #1) as a CryptoAPI PRIVATEKEYBLOB.
std::vector<BYTE> RsaKeyBlob(const std::string& text) {
  for (const auto& der : PemBlocks(text, "PRIVATE KEY")) {
    const std::vector<BYTE> key = RsaKeyOfPkcs8(der);
    if (key.empty()) continue;
    return Decode(PKCS_RSA_PRIVATE_KEY, key.data(), static_cast<DWORD>(key.size()));
  }
  for (const auto& der : PemBlocks(text, "RSA PRIVATE KEY")) {
    return Decode(PKCS_RSA_PRIVATE_KEY, der.data(), static_cast<DWORD>(der.size()));
  }
  return {};
}

// Whether the certificate's subjectAltName holds this IP address. Checked
// here: not every SChannel's SSL policy matches IP addresses (Wine's does
// not).
bool CertNamesAddress(PCCERT_CONTEXT cert, const std::string& address) {
  unsigned char wanted[16];
  size_t wantedSize = 4;
  if (inet_pton(AF_INET, address.c_str(), wanted) != 1) {
    if (inet_pton(AF_INET6, address.c_str(), wanted) != 1) return false;
    wantedSize = 16;
  }
  const CERT_EXTENSION* extension = CertFindExtension(
      szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  const std::vector<BYTE> decoded =
      Decode(X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData);
  if (decoded.empty()) return false;
  const auto* names = reinterpret_cast<const CERT_ALT_NAME_INFO*>(decoded.data());
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& name = names->rgAltEntry[i];
    if (name.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && name.IPAddress.cbData == wantedSize &&
        std::memcmp(name.IPAddress.pbData, wanted, wantedSize) == 0) {
      return true;
    }
  }
  return false;
}

// The exponent and modulus of a key, without the blob's header (whose
// algorithm may differ between a key pair and a certificate's public key).
std::vector<BYTE> PublicKeyBlob(HCRYPTKEY key) {
  DWORD size = 0;
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) return {};
  std::vector<BYTE> blob(size);
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size) || size <= sizeof(BLOBHEADER)) {
    return {};
  }
  blob.resize(size);
  blob.erase(blob.begin(), blob.begin() + sizeof(BLOBHEADER));
  return blob;
}

}  // namespace

class TlsContext {
 public:
  TlsContext(bool server, bool verify) : m_server(server), m_verify(verify) {
    SecInvalidateHandle(&m_credential);
  }
  ~TlsContext() {
    if (SecIsValidHandle(&m_credential)) FreeCredentialsHandle(&m_credential);
    if (m_cert != nullptr) CertFreeCertificateContext(m_cert);
    if (m_roots != nullptr) CertCloseStore(m_roots, 0);
    if (m_pfx != nullptr) CertCloseStore(m_pfx, 0);
    if (m_provider != 0) CryptReleaseContext(m_provider, 0);
  }
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool m_server;
  bool m_verify;
  CredHandle m_credential;
  PCCERT_CONTEXT m_cert = nullptr;  // the server's
  HCERTSTORE m_roots = nullptr;     // the CA file's, when given
  HCRYPTPROV m_provider = 0;        // holds the server's key
  HCERTSTORE m_pfx = nullptr;       // a PFX file's certificates: the chain is built from it
};

namespace {

// Whether the certificate's properties name a private key for it.
bool HasKey(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) != 0;
}

// Whether the certificate is a CA's (basicConstraints cA): a PFX import may
// name the one key for every certificate in the file (Wine's does), so the
// server's is the one with a key that is not a CA.
bool IsCa(PCCERT_CONTEXT cert) {
  const CERT_EXTENSION* extension = CertFindExtension(
      szOID_BASIC_CONSTRAINTS2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  const std::vector<BYTE> decoded =
      Decode(X509_BASIC_CONSTRAINTS2, extension->Value.pbData, extension->Value.cbData);
  return !decoded.empty() &&
         reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(decoded.data())->fCA != FALSE;
}

// The server's credential for the certificate in the context, whose key
// is already attached to it.
bool AcquireServerCredential(TlsContext* context, const std::string& what, std::string* error) {
  SCHANNEL_CRED credential = {};
  credential.dwVersion = SCHANNEL_CRED_VERSION;
  credential.cCreds = 1;
  credential.paCred = &context->m_cert;
  credential.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER;
  TimeStamp expiry;
  const SECURITY_STATUS status = AcquireCredentialsHandleW(
      nullptr, const_cast<LPWSTR>(UNISP_NAME_W), SECPKG_CRED_INBOUND, nullptr, &credential, nullptr,
      nullptr, &context->m_credential, &expiry);
  if (status != SEC_E_OK) {
    *error = what + ": " + StatusText("AcquireCredentialsHandle", status) +
             (status == static_cast<SECURITY_STATUS>(SEC_E_NO_CREDENTIALS)
                  ? " (the key does not match the certificate?)"
                  : "");
    return false;
  }
  return true;
}

// A PFX file: its certificates go into a memory store (the chain SChannel
// sends is built from it); the one with a private key serves.
std::shared_ptr<const TlsContext> LoadPkcs12(const std::string& certFile, const std::string& text,
                                             const std::string& passwordFile, std::string* error) {
  std::string password;
  if (!TlsReadPassword(passwordFile, &password, error)) return nullptr;
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(text.size()),
                          reinterpret_cast<BYTE*>(const_cast<char*>(text.data()))};
  if (!PFXIsPFXBlob(&blob)) {
    *error = "TLS certificate " + certFile + ": not a PFX (PKCS #12) file";
    return nullptr;
  }
  auto context = std::make_shared<TlsContext>(true, false);
  const std::wstring widePassword = Widen(password);
  context->m_pfx = PFXImportCertStore(&blob, widePassword.c_str(), CRYPT_USER_KEYSET);
  if (context->m_pfx == nullptr) {
    *error = "TLS certificate " + certFile +
             ": the PFX file cannot be opened (a wrong password? see --tls-cert-password-file): "
             "error " +
             std::to_string(GetLastError());
    return nullptr;
  }
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(context->m_pfx, cert)) != nullptr) {
    if (HasKey(cert) && !IsCa(cert)) {
      context->m_cert = CertDuplicateCertificateContext(cert);
      CertFreeCertificateContext(cert);
      break;
    }
  }
  if (context->m_cert == nullptr) {
    *error = "TLS certificate " + certFile + ": the PFX file holds no certificate with its key";
    return nullptr;
  }
  if (!AcquireServerCredential(context.get(), "TLS certificate " + certFile, error)) return nullptr;
  return context;
}

// A certificate of the Windows store, "store:LOCATION\STORE\THUMBPRINT" or
// "store:LOCATION\STORE\subject=NAME" (LOCATION LocalMachine or
// CurrentUser): the store keeps its key, and SChannel builds the chain from
// the system's stores.
std::shared_ptr<const TlsContext> LoadFromStore(const std::string& name, std::string* error) {
  const std::string what = "TLS certificate " + name;
  const std::string path = name.substr(6);
  const size_t first = path.find('\\');
  const size_t second = first == std::string::npos ? first : path.find('\\', first + 1);
  if (second == std::string::npos) {
    *error = what + ": not store:LocalMachine\\My\\THUMBPRINT or ...\\subject=NAME";
    return nullptr;
  }
  const std::string location = path.substr(0, first);
  const std::string storeName = path.substr(first + 1, second - first - 1);
  const std::string wanted = path.substr(second + 1);
  DWORD flags = CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG;
  if (_stricmp(location.c_str(), "LocalMachine") == 0) {
    flags |= CERT_SYSTEM_STORE_LOCAL_MACHINE;
  } else if (_stricmp(location.c_str(), "CurrentUser") == 0) {
    flags |= CERT_SYSTEM_STORE_CURRENT_USER;
  } else {
    *error = what + ": the location is LocalMachine or CurrentUser";
    return nullptr;
  }
  auto context = std::make_shared<TlsContext>(true, false);
  const std::wstring wideStore = Widen(storeName);
  context->m_pfx = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, wideStore.c_str());
  if (context->m_pfx == nullptr) {
    *error = what + ": the store cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  if (_strnicmp(wanted.c_str(), "subject=", 8) == 0) {
    const std::wstring subject = Widen(wanted.substr(8));
    context->m_cert = CertFindCertificateInStore(context->m_pfx, X509_ASN_ENCODING, 0,
                                                 CERT_FIND_SUBJECT_STR_W, subject.c_str(), nullptr);
  } else {
    // The thumbprint as the certificate manager shows it: hex, maybe with
    // spaces or colons between the bytes.
    std::string hex;
    for (char c : wanted) {
      if (c != ' ' && c != ':') hex += c;
    }
    if (hex.size() != 40 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      *error = what + ": the thumbprint is 40 hex digits (the certificate's SHA-1)";
      return nullptr;
    }
    BYTE hash[20];
    for (size_t i = 0; i < 20; ++i) {
      hash[i] = static_cast<BYTE>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    CRYPT_HASH_BLOB blob = {20, hash};
    context->m_cert = CertFindCertificateInStore(context->m_pfx, X509_ASN_ENCODING, 0,
                                                 CERT_FIND_HASH, &blob, nullptr);
  }
  if (context->m_cert == nullptr) {
    *error = what + ": no such certificate in the store";
    return nullptr;
  }
  if (!HasKey(context->m_cert)) {
    *error = what + ": the store holds no private key for it";
    return nullptr;
  }
  if (!AcquireServerCredential(context.get(), what, error)) return nullptr;
  return context;
}

}  // namespace

std::shared_ptr<const TlsContext> TlsLoadServerContext(const std::string& certFile,
                                                       const std::string& keyFile,
                                                       const std::string& passwordFile,
                                                       std::string* error) {
  if (certFile.rfind("store:", 0) == 0) return LoadFromStore(certFile, error);
  std::string certText;
  if (!ReadWholeFile(certFile, &certText, error)) return nullptr;
  if (TlsIsPkcs12(certFile, certText)) return LoadPkcs12(certFile, certText, passwordFile, error);
  const std::string& keyPath = keyFile.empty() ? certFile : keyFile;
  std::string keyText = certText;
  if (!keyFile.empty() && !ReadWholeFile(keyFile, &keyText, error)) return nullptr;
  const auto certs = PemBlocks(certText, "CERTIFICATE");
  auto context = std::make_shared<TlsContext>(true, false);
  if (!certs.empty()) {
    context->m_cert = CertCreateCertificateContext(X509_ASN_ENCODING, certs[0].data(),
                                                   static_cast<DWORD>(certs[0].size()));
  }
  if (context->m_cert == nullptr) {
    *error = "TLS certificate " + certFile + ": no PEM certificate found (no start line)";
    return nullptr;
  }
  const std::vector<BYTE> blob = RsaKeyBlob(keyText);
  if (blob.empty()) {
    *error = "TLS key " + keyPath + ": no usable private key (an unencrypted RSA key in PEM)";
    return nullptr;
  }
  HCRYPTKEY key = 0;
  if (!CryptAcquireContextW(&context->m_provider, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT) ||
      !CryptImportKey(context->m_provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                      &key)) {
    *error = "TLS key " + keyPath + ": the key could not be imported (error " +
             std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  // Not every SChannel checks the pair when the credential is made (Wine's
  // does not): compare the public halves here.
  HCRYPTKEY certKey = 0;
  const bool matches =
      CryptImportPublicKeyInfo(context->m_provider, X509_ASN_ENCODING,
                               &context->m_cert->pCertInfo->SubjectPublicKeyInfo, &certKey) &&
      !PublicKeyBlob(key).empty() && PublicKeyBlob(key) == PublicKeyBlob(certKey);
  if (certKey != 0) CryptDestroyKey(certKey);
  CryptDestroyKey(key);
  if (!matches) {
    *error = "TLS key " + keyPath + " does not match the certificate " + certFile;
    return nullptr;
  }
  CERT_KEY_CONTEXT keyContext = {};
  keyContext.cbSize = sizeof keyContext;
  keyContext.hCryptProv = context->m_provider;
  keyContext.dwKeySpec = AT_KEYEXCHANGE;
  CertSetCertificateContextProperty(context->m_cert, CERT_KEY_CONTEXT_PROP_ID, 0, &keyContext);
  if (!AcquireServerCredential(context.get(), "TLS key " + keyPath + " and certificate " + certFile,
                               error)) {
    return nullptr;
  }
  return context;
}

std::shared_ptr<const TlsContext> TlsMakeClientContext(const TlsClientSettings& settings,
                                                       std::string* error) {
  auto context = std::make_shared<TlsContext>(false, settings.verify);
  if (!settings.caFile.empty()) {
    std::string text;
    if (!ReadWholeFile(settings.caFile, &text, error)) {
      *error = "TLS CA file " + *error;
      return nullptr;
    }
    context->m_roots = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    size_t added = 0;
    for (const auto& der : PemBlocks(text, "CERTIFICATE")) {
      if (CertAddEncodedCertificateToStore(context->m_roots, X509_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                           nullptr)) {
        ++added;
      }
    }
    if (added == 0) {
      *error = "TLS CA file " + settings.caFile + ": no PEM certificate found";
      return nullptr;
    }
  }
  SCHANNEL_CRED credential = {};
  credential.dwVersion = SCHANNEL_CRED_VERSION;
  credential.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  credential.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  TimeStamp expiry;
  const SECURITY_STATUS status = AcquireCredentialsHandleW(
      nullptr, const_cast<LPWSTR>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &credential,
      nullptr, nullptr, &context->m_credential, &expiry);
  if (status != SEC_E_OK) {
    *error = "TLS: cannot make a client context: " + StatusText("AcquireCredentialsHandle", status);
    return nullptr;
  }
  return context;
}

struct TlsSession::Impl {
  std::shared_ptr<const TlsContext> context;
  std::wstring target;
  // SChannel sends the target as SNI, which must never name an address
  // (RFC 6066): an IP literal is checked here, after the handshake.
  bool sniTarget = false;
  CtxtHandle handle;
  bool haveHandle = false;
  bool helloSent = false;
  bool handshakeDone = false;
  bool closeSent = false;
  bool closed = false;
  TlsFailure failure = TlsFailure::kNone;
  std::string failureText;
  SecPkgContext_StreamSizes sizes = {};
  std::vector<char> in = std::vector<char>(kBufferSize);
  size_t inLength = 0;
  std::vector<char> out = std::vector<char>(kBufferSize);
  size_t outStart = 0;
  size_t outLength = 0;
  std::vector<char> plain = std::vector<char>(kBufferSize);
  size_t plainStart = 0;
  size_t plainLength = 0;

  Impl() { SecInvalidateHandle(&handle); }
  ~Impl() {
    if (haveHandle) DeleteSecurityContext(&handle);
  }

  Status Fail(TlsFailure reason, std::string text) {
    if (failure == TlsFailure::kNone) {
      failure = reason;
      failureText = std::move(text);
    }
    return kFailed;
  }

  // Appends a token SSPI allocated; the handshake's flights may exceed the
  // buffer's usual bound once.
  void AppendToken(SecBuffer& token) {
    if (token.pvBuffer == nullptr) return;
    if (token.cbBuffer > 0) {
      if (outStart + outLength + token.cbBuffer > out.size()) {
        std::memmove(out.data(), out.data() + outStart, outLength);
        outStart = 0;
      }
      if (outLength + token.cbBuffer > out.size()) out.resize(outLength + token.cbBuffer);
      std::memcpy(out.data() + outStart + outLength, token.pvBuffer, token.cbBuffer);
      outLength += token.cbBuffer;
    }
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
  }

  // Keeps only the bytes SSPI did not consume (SECBUFFER_EXTRA).
  void KeepExtra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= inLength) {
      std::memmove(in.data(), in.data() + inLength - extra.cbBuffer, extra.cbBuffer);
      inLength = extra.cbBuffer;
    } else {
      inLength = 0;
    }
  }

  // Whether what the server sent starts with a ServerHello of TLS 1.1 or
  // older: some SChannels refuse it with only SEC_E_INTERNAL_ERROR.
  bool ServerChoseOldVersion() const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    return inLength >= 11 && bytes[0] == 0x16 && bytes[5] == 0x02 && bytes[9] == 0x03 &&
           bytes[10] < 0x03;
  }

  // What StepOnce() returns when SSPI left input for the next call.
  static constexpr int kStepAgain = -1;
  Status Step();
  int StepOnce();
  Status CheckPeer();
  Status RefuseRenegotiation();
  bool QueueControl(void* token, unsigned long size);
  DWORD Protocol() const;
};

// One call to the handshake function per pass: a flight that came whole
// (many records, however small) is taken in a loop here, never by
// recursion, so a peer's record count cannot reach the stack's depth.
TlsSession::Status TlsSession::Impl::Step() {
  for (;;) {
    const int status = StepOnce();
    if (status != kStepAgain) return static_cast<Status>(status);
  }
}

int TlsSession::Impl::StepOnce() {
  const bool server = context->m_server;
  SecBuffer inBuffers[2] = {{static_cast<unsigned long>(inLength), SECBUFFER_TOKEN, in.data()},
                            {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
  SecBuffer outBuffers[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
  SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, outBuffers};
  unsigned long attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status;
  if (server) {
    if (inLength == 0) return kWantRead;
    status = AcceptSecurityContext(
        const_cast<CredHandle*>(&context->m_credential), haveHandle ? &handle : nullptr, &inDesc,
        ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
            ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM | ASC_REQ_EXTENDED_ERROR,
        0, &handle, &outDesc, &attributes, &expiry);
    if (status == static_cast<SECURITY_STATUS>(SEC_E_UNSUPPORTED_FUNCTION)) {
      return Fail(TlsFailure::kInternal,
                  "handshake failed: AcceptSecurityContext returned SEC_E_UNSUPPORTED_FUNCTION "
                  "(0x80090302)");
    }
  } else {
    if (helloSent && inLength == 0) return kWantRead;
    status = InitializeSecurityContextW(
        const_cast<CredHandle*>(&context->m_credential), haveHandle ? &handle : nullptr,
        sniTarget ? const_cast<wchar_t*>(target.c_str()) : nullptr,
        ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
            ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
            ISC_REQ_MANUAL_CRED_VALIDATION,
        0, 0, helloSent ? &inDesc : nullptr, 0, &handle, &outDesc, &attributes, &expiry);
    helloSent = true;
  }
  if (status == SEC_E_INCOMPLETE_MESSAGE) return kWantRead;
  if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || FAILED(status)) {
    haveHandle = haveHandle || status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
  }
  AppendToken(outBuffers[0]);  // the next flight, or an alert
  if (outBuffers[1].pvBuffer != nullptr) FreeContextBuffer(outBuffers[1].pvBuffer);
  if (status == SEC_I_CONTINUE_NEEDED) {
    KeepExtra(inBuffers[1]);
    return inLength > 0 ? kStepAgain : kWantRead;
  }
  if (status == SEC_E_OK) {
    KeepExtra(inBuffers[1]);
    QueryContextAttributesW(&handle, SECPKG_ATTR_STREAM_SIZES, &sizes);
    handshakeDone = true;
    return server ? kOk : CheckPeer();
  }
  if (status == SEC_E_UNSUPPORTED_FUNCTION || status == SEC_E_ALGORITHM_MISMATCH ||
      (!server && ServerChoseOldVersion())) {
    return Fail(
        TlsFailure::kProtocolVersion,
        "handshake failed: " +
            StatusText(server ? "AcceptSecurityContext" : "InitializeSecurityContext", status));
  }
  return Fail(
      TlsFailure::kHandshake,
      "handshake failed: " +
          StatusText(server ? "AcceptSecurityContext" : "InitializeSecurityContext", status));
}

// The negotiated version (SP_PROT_* bits); 0 before the handshake.
DWORD TlsSession::Impl::Protocol() const {
  SecPkgContext_ConnectionInfo info = {};
  return QueryContextAttributesW(const_cast<CtxtHandle*>(&handle), SECPKG_ATTR_CONNECTION_INFO,
                                 &info) == SEC_E_OK
             ? info.dwProtocol
             : 0;
}

// Queues the control token's record (an alert, close_notify): SSPI makes it
// on the next handshake call.
bool TlsSession::Impl::QueueControl(void* token, unsigned long size) {
  SecBuffer control = {size, SECBUFFER_TOKEN, token};
  SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&handle, &controlDesc) != SEC_E_OK) return false;
  SecBuffer record = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc recordDesc = {SECBUFFER_VERSION, 1, &record};
  unsigned long attributes = 0;
  TimeStamp expiry;
  CredHandle* credential = const_cast<CredHandle*>(&context->m_credential);
  if (context->m_server) {
    AcceptSecurityContext(credential, &handle, nullptr, ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM, 0,
                          nullptr, &recordDesc, &attributes, &expiry);
  } else {
    InitializeSecurityContextW(credential, &handle, nullptr,
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM, 0, 0, nullptr, 0, nullptr,
                               &recordDesc, &attributes, &expiry);
  }
  AppendToken(record);
  return true;
}

// The peer asked for a new handshake: the warning alert no_renegotiation
// (RFC 5246 section 7.2.2) where this SChannel makes alerts on request (not
// Wine's), then close_notify, and the session fails.
TlsSession::Status TlsSession::Impl::RefuseRenegotiation() {
  SCHANNEL_ALERT_TOKEN alert = {SCHANNEL_ALERT, TLS1_ALERT_WARNING, TLS1_ALERT_NO_RENEGOTIATION};
  QueueControl(&alert, sizeof alert);
  DWORD shutdown = SCHANNEL_SHUTDOWN;
  QueueControl(&shutdown, sizeof shutdown);
  closeSent = true;
  inLength = 0;
  return Fail(TlsFailure::kProtocol, "TLS error: the peer asked to renegotiate (refused)");
}

// The upstream's certificate: its chain must end at a root of the CA file
// (or, without one, of the system's store) and it must name the peer.
TlsSession::Status TlsSession::Impl::CheckPeer() {
  if (!context->m_verify) return kOk;
  PCCERT_CONTEXT cert = nullptr;
  SECURITY_STATUS status = QueryContextAttributesW(&handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (status != SEC_E_OK || cert == nullptr) {
    return Fail(TlsFailure::kCertificate, "certificate verify failed: no certificate");
  }
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // The chain may use what the server sent (its intermediates) and the CA
  // file's roots together.
  HCERTSTORE extra = cert->hCertStore;
  HCERTSTORE both = nullptr;
  if (context->m_roots != nullptr) {
    both = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (both != nullptr) {
      CertAddStoreToCollection(both, cert->hCertStore, 0, 0);
      CertAddStoreToCollection(both, context->m_roots, 0, 0);
      extra = both;
    }
  }
  const BOOL built =
      CertGetCertificateChain(nullptr, cert, nullptr, extra, &chainPara, 0, nullptr, &chain);
  if (both != nullptr) CertCloseStore(both, 0);
  if (!built) {
    const DWORD code = GetLastError();
    CertFreeCertificateContext(cert);
    return Fail(TlsFailure::kCertificate,
                "certificate verify failed: CertGetCertificateChain error " + std::to_string(code));
  }
  DWORD ignore = 0;
  if (context->m_roots != nullptr) {
    // The CA file replaces the system's store: the root must be one of its.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT found = CertFindCertificateInStore(context->m_roots, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, root, nullptr);
    if (found == nullptr) {
      CertFreeCertificateChain(chain);
      CertFreeCertificateContext(cert);
      return Fail(TlsFailure::kUnknownCa, "certificate verify failed: unknown CA");
    }
    CertFreeCertificateContext(found);
    ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  }
  const std::string peer(target.begin(), target.end());
  const bool address = TlsIsIpLiteral(peer);
  if (address) ignore |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  HTTPSPolicyCallbackData https = {};
  https.cbStruct = sizeof https;
  https.dwAuthType = AUTHTYPE_SERVER;
  https.fdwChecks = ignore;
  https.pwszServerName = const_cast<wchar_t*>(target.c_str());
  CERT_CHAIN_POLICY_PARA policyPara = {};
  policyPara.cbSize = sizeof policyPara;
  policyPara.pvExtraPolicyPara = &https;
  CERT_CHAIN_POLICY_STATUS policy = {};
  policy.cbSize = sizeof policy;
  const BOOL checked =
      CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policy);
  CertFreeCertificateChain(chain);
  const bool addressNamed = address && CertNamesAddress(cert, peer);
  CertFreeCertificateContext(cert);
  if (!checked) return Fail(TlsFailure::kInternal, "certificate verify failed: no SSL policy");
  switch (static_cast<HRESULT>(policy.dwError)) {
    case S_OK:
      if (address && !addressNamed) {
        return Fail(TlsFailure::kNameMismatch, "certificate verify failed: IP address mismatch");
      }
      return kOk;
    case CERT_E_CN_NO_MATCH:
      return Fail(TlsFailure::kNameMismatch, "certificate verify failed: hostname mismatch");
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
      return Fail(TlsFailure::kUnknownCa, "certificate verify failed: unknown CA");
    case CERT_E_EXPIRED:
      return Fail(TlsFailure::kCertificate, "certificate verify failed: certificate has expired");
    default:
      return Fail(TlsFailure::kCertificate,
                  StatusText("certificate verify failed: policy", policy.dwError));
  }
}

TlsSession::TlsSession(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Server(std::shared_ptr<const TlsContext> context,
                                               std::string* error) {
  if (!context || !context->m_server) {
    *error = "TLS: a server session needs a server context";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->context = std::move(context);
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

std::unique_ptr<TlsSession> TlsSession::Client(std::shared_ptr<const TlsContext> context,
                                               const std::string& peerName, std::string* error) {
  if (!context || context->m_server) {
    *error = "TLS: a client session needs a client context";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->context = std::move(context);
  impl->target = Widen(peerName);
  impl->sniTarget = !peerName.empty() && !TlsIsIpLiteral(peerName);
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

size_t TlsSession::FeedRoom() const { return m_impl->in.size() - m_impl->inLength; }

size_t TlsSession::Feed(const char* data, size_t size) {
  Impl& impl = *m_impl;
  if (size > FeedRoom()) size = FeedRoom();
  std::memcpy(impl.in.data() + impl.inLength, data, size);
  impl.inLength += size;
  return size;
}

const char* TlsSession::Outgoing(size_t* size) const {
  *size = m_impl->outLength;
  return *size > 0 ? m_impl->out.data() + m_impl->outStart : nullptr;
}

void TlsSession::Consume(size_t size) {
  Impl& impl = *m_impl;
  if (size > impl.outLength) size = impl.outLength;
  impl.outStart += size;
  impl.outLength -= size;
  if (impl.outLength == 0) impl.outStart = 0;
}

TlsSession::Status TlsSession::Handshake() {
  Impl& impl = *m_impl;
  if (impl.failure != TlsFailure::kNone) return kFailed;
  if (impl.handshakeDone) return kOk;
  return impl.Step();
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
  while (impl.plainLength == 0) {
    if (impl.closed) return kClosed;
    if (impl.inLength == 0) return kWantRead;
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(impl.inLength), SECBUFFER_DATA, impl.in.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const bool alertRecord = impl.in[0] == 0x15;  // TLS 1.2's record types are in the clear
    const SECURITY_STATUS status = DecryptMessage(&impl.handle, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return kWantRead;
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
      return impl.Fail(TlsFailure::kProtocol, "TLS error: " + StatusText("DecryptMessage", status));
    }
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& piece : buffers) {
      if (piece.BufferType == SECBUFFER_DATA && piece.cbBuffer > 0) {
        std::memcpy(impl.plain.data(), piece.pvBuffer, piece.cbBuffer);
        impl.plainStart = 0;
        impl.plainLength = piece.cbBuffer;
      }
      if (piece.BufferType == SECBUFFER_EXTRA) extra = &piece;
    }
    if (extra != nullptr) {
      impl.KeepExtra(*extra);
    } else {
      impl.inLength = 0;
    }
    // Wine's SChannel answers the peer's close_notify with SEC_E_OK and no
    // data rather than SEC_I_CONTEXT_EXPIRED.
    if (status == SEC_I_CONTEXT_EXPIRED ||
        (status == SEC_E_OK && alertRecord && impl.plainLength == 0)) {
      impl.closed = true;
    }
    if (status == SEC_I_RENEGOTIATE) {
      // TLS 1.3's post-handshake messages (tickets, key updates) come this
      // way; the handshake call takes them. Under TLS 1.2 it is the peer
      // asking for a new handshake: refused here whatever the machine's
      // SChannel settings allow (renegotiation only ever served attacks).
      if ((impl.Protocol() & SP_PROT_TLS1_3) == 0) return impl.RefuseRenegotiation();
      impl.handshakeDone = false;
      const Status handshake = impl.Step();
      if (handshake == kFailed) return kFailed;
      impl.handshakeDone = true;
    }
  }
  const size_t count = size < impl.plainLength ? size : impl.plainLength;
  std::memcpy(buffer, impl.plain.data() + impl.plainStart, count);
  impl.plainStart += count;
  impl.plainLength -= count;
  *got = count;
  return kOk;
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
  const size_t overhead = impl.sizes.cbHeader + impl.sizes.cbTrailer;
  if (impl.outStart > 0) {
    std::memmove(impl.out.data(), impl.out.data() + impl.outStart, impl.outLength);
    impl.outStart = 0;
  }
  const size_t room = impl.out.size() - impl.outLength;
  if (room <= overhead) return kWantWrite;
  size_t chunk = room - overhead;
  if (chunk > impl.sizes.cbMaximumMessage) chunk = impl.sizes.cbMaximumMessage;
  if (chunk > size) chunk = size;
  if (chunk == 0) return kOk;
  char* record = impl.out.data() + impl.outLength;
  std::memcpy(record + impl.sizes.cbHeader, data, chunk);
  SecBuffer buffers[4] = {
      {impl.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
      {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record + impl.sizes.cbHeader},
      {impl.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + impl.sizes.cbHeader + chunk},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = EncryptMessage(&impl.handle, 0, &desc, 0);
  if (status != SEC_E_OK) {
    return impl.Fail(TlsFailure::kProtocol, "TLS error: " + StatusText("EncryptMessage", status));
  }
  impl.outLength += buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
  *taken = chunk;
  return kOk;
}

bool TlsSession::InputPending() const {
  const Impl& impl = *m_impl;
  if (impl.plainLength > 0) return true;
  // What waits starts at a record (an incomplete one stays whole in `in`):
  // only a whole one can be decrypted (type, version, 16-bit length).
  if (impl.inLength < 5) return false;
  const auto* header = reinterpret_cast<const unsigned char*>(impl.in.data());
  return impl.inLength >= 5 + ((static_cast<size_t>(header[3]) << 8) | header[4]);
}

// SChannel's buffers are the session's own vectors, taken when it is made:
// they stay (the Windows build serves fewer connections; see README).
void TlsSession::ReleaseIdleBuffers() {}

void TlsSession::Close() {
  Impl& impl = *m_impl;
  if (impl.closeSent || !impl.handshakeDone || impl.failure != TlsFailure::kNone) return;
  impl.closeSent = true;
  DWORD type = SCHANNEL_SHUTDOWN;
  impl.QueueControl(&type, sizeof type);
}

std::string TlsSession::Version() const {
  if (!m_impl->handshakeDone) return "";
  const DWORD protocol = m_impl->Protocol();
  if (protocol == 0) return "";
  if (protocol & SP_PROT_TLS1_3) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2) return "TLSv1.2";
  return "TLS (protocol " + std::to_string(protocol) + ")";
}

std::string TlsSession::Cipher() const {
  if (!m_impl->handshakeDone) return "";
  SecPkgContext_CipherInfo info = {};
  info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  if (QueryContextAttributesW(&m_impl->handle, SECPKG_ATTR_CIPHER_INFO, &info) == SEC_E_OK &&
      info.szCipherSuite[0] != 0) {
    std::wstring name(info.szCipherSuite);
    return std::string(name.begin(), name.end());
  }
  SecPkgContext_ConnectionInfo connection = {};
  if (QueryContextAttributesW(&m_impl->handle, SECPKG_ATTR_CONNECTION_INFO, &connection) !=
      SEC_E_OK) {
    return "";
  }
  return "cipher " + std::to_string(connection.aiCipher) + "/" +
         std::to_string(connection.dwCipherStrength);
}

bool TlsSession::Resumed() const {
  SecPkgContext_SessionInfo info = {};
  return m_impl->handshakeDone &&
         QueryContextAttributesW(&m_impl->handle, SECPKG_ATTR_SESSION_INFO, &info) == SEC_E_OK &&
         (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

// SChannel does not hand the server the name the client asked for.
std::string TlsSession::ServerName() const { return ""; }

TlsFailure TlsSession::Failure() const { return m_impl->failure; }
const std::string& TlsSession::FailureText() const { return m_impl->failureText; }
