// What both implementations share: the reasons' names, the IP-literal test
// and the reloadable server slot.
#include "host/tls/tls.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <utility>

const char* TlsFailureName(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::kNone:
      return "none";
    case TlsFailure::kProtocolVersion:
      return "version";
    case TlsFailure::kUnknownCa:
      return "unknown_ca";
    case TlsFailure::kNameMismatch:
      return "name_mismatch";
    case TlsFailure::kCertificate:
      return "certificate";
    case TlsFailure::kHandshake:
      return "handshake";
    case TlsFailure::kProtocol:
      return "protocol";
    case TlsFailure::kInternal:
      return "internal";
  }
  return "internal";
}

namespace {

// Four decimal parts of 0..255, as inet_pton takes them (no leading zeros
// beyond a lone 0).
bool IsIpv4Literal(const std::string& name) {
  int parts = 0;
  size_t i = 0;
  while (i < name.size()) {
    size_t digits = 0;
    int value = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') {
      if (digits > 0 && value == 0) return false;
      value = value * 10 + (name[i] - '0');
      if (value > 255) return false;
      ++digits;
      ++i;
    }
    if (digits == 0) return false;
    ++parts;
    if (i == name.size()) break;
    if (name[i] != '.' || parts == 4) return false;
    ++i;
    if (i == name.size()) return false;
  }
  return parts == 4;
}

}  // namespace

bool TlsIsIpLiteral(const std::string& name) {
  if (IsIpv4Literal(name)) return true;
  // A colon never appears in a host name: this is an IPv6 literal (or no
  // valid name at all, which verification then refuses either way).
  if (name.find(':') == std::string::npos) return false;
  for (char c : name) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != ':' && c != '.') return false;
  }
  return true;
}

bool TlsIsPkcs12(const std::string& path, const std::string& content) {
  auto endsWith = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (path.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != suffix[i]) {
        return false;
      }
    }
    return true;
  };
  return endsWith(".pfx") || endsWith(".p12") ||
         (!content.empty() && static_cast<unsigned char>(content[0]) == 0x30);
}

bool TlsReadPassword(const std::string& passwordFile, std::string* password, std::string* error) {
  password->clear();
  if (passwordFile.empty()) return true;
  std::ifstream in(passwordFile, std::ios::binary);
  if (!in) {
    *error = "TLS certificate password file " + passwordFile + ": cannot open the file";
    return false;
  }
  std::getline(in, *password);
  if (!password->empty() && password->back() == '\r') password->pop_back();
  return true;
}

bool TlsServerContextSlot::Load(const std::string& certFile, const std::string& keyFile,
                                const std::string& passwordFile, std::string* error) {
  std::shared_ptr<const TlsContext> loaded =
      TlsLoadServerContext(certFile, keyFile, passwordFile, error);
  if (!loaded) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_current = std::move(loaded);
  return true;
}

std::shared_ptr<const TlsContext> TlsServerContextSlot::Current() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_current;
}
