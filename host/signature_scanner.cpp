// The builtin scanner. See signature_scanner.h.
#include "host/signature_scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

// Per scan, not per connection: a thousand scans at once stay within 32 MiB.
constexpr size_t kBlockSize = 16384;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// RFC 4648 section 4 alphabet; -1 for everything else.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string EicarTestString() {
  // Kept reversed so that this program is not itself taken for the test file.
  static const char kReversed[] =
      "*H+H$!ELIF-TSET-SURIVITNA-DRADNATS-RACIE$}7)CC7)^P(45XZP\\4[PA@%P!O5X";
  std::string text(kReversed);
  std::reverse(text.begin(), text.end());
  return text;
}

bool ParseSignatureLine(const std::string& line, Signature* signature, bool* isEntry,
                        std::string* error) {
  *isEntry = false;
  std::string text = line.substr(0, line.find('#'));
  size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin])) ++begin;
  if (begin == text.size()) return true;  // blank or comment
  size_t nameEnd = begin;
  while (nameEnd < text.size() && !IsBlank(text[nameEnd])) ++nameEnd;
  std::string name = text.substr(begin, nameEnd - begin);
  std::string bytes;
  int high = -1;
  for (size_t i = nameEnd; i < text.size(); ++i) {
    const char c = text[i];
    if (IsBlank(c)) {
      if (high >= 0) {
        *error = "odd number of hex digits in a byte";
        return false;
      }
      continue;
    }
    const int value = HexValue(c);
    if (value < 0) {
      *error = std::string("not a hex digit: '") + c + "'";
      return false;
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) {
    *error = "odd number of hex digits";
    return false;
  }
  if (bytes.empty()) {
    *error = "signature '" + name + "' has no hex pattern";
    return false;
  }
  if (bytes.size() > kMaxSignatureBytes) {
    *error =
        "signature '" + name + "' is longer than " + std::to_string(kMaxSignatureBytes) + " bytes";
    return false;
  }
  signature->name = name;
  signature->bytes = bytes;
  *isEntry = true;
  return true;
}

bool LoadSignatureFile(const std::string& path, std::vector<Signature>* signatures,
                       std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open signature file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    Signature signature;
    bool isEntry = false;
    std::string reason;
    if (!ParseSignatureLine(line, &signature, &isEntry, &reason)) {
      *error = path + ":" + std::to_string(number) + ": " + reason;
      return false;
    }
    if (isEntry) signatures->push_back(signature);
  }
  if (in.bad()) {
    *error = "cannot read signature file " + path;
    return false;
  }
  return true;
}

StreamMatcher::StreamMatcher(const std::vector<Signature>& signatures) : m_signatures(signatures) {
  size_t longest = 0;
  for (const Signature& signature : signatures) longest = std::max(longest, signature.bytes.size());
  m_keep = longest > 0 ? longest - 1 : 0;
  m_tail.resize(m_keep);
  m_seam.resize(2 * m_keep);
}

void StreamMatcher::Reset() {
  m_tailLength = 0;
  m_found = -1;
}

int StreamMatcher::SearchIn(const char* data, size_t length) const {
  for (size_t s = 0; s < m_signatures.size(); ++s) {
    const std::string& pattern = m_signatures[s].bytes;
    if (pattern.empty() || pattern.size() > length) continue;
    const char first = pattern[0];
    const char* end = data + (length - pattern.size()) + 1;
    for (const char* p = data; p < end;) {
      p = static_cast<const char*>(std::memchr(p, first, static_cast<size_t>(end - p)));
      if (p == nullptr) break;
      if (std::memcmp(p, pattern.data(), pattern.size()) == 0) return static_cast<int>(s);
      ++p;
    }
  }
  return -1;
}

int StreamMatcher::Feed(const char* data, size_t length) {
  if (m_found >= 0 || length == 0) return m_found;
  // A pattern that begins in the kept tail and ends in this piece lies wholly
  // inside tail + the first m_keep bytes of the piece.
  if (m_tailLength > 0) {
    const size_t head = std::min(length, m_keep);
    std::memcpy(m_seam.data(), m_tail.data(), m_tailLength);
    std::memcpy(m_seam.data() + m_tailLength, data, head);
    m_found = SearchIn(m_seam.data(), m_tailLength + head);
    if (m_found >= 0) return m_found;
  }
  m_found = SearchIn(data, length);
  if (m_found >= 0 || m_keep == 0) return m_found;
  if (length >= m_keep) {
    std::memcpy(m_tail.data(), data + length - m_keep, m_keep);
    m_tailLength = m_keep;
  } else {
    const size_t total = m_tailLength + length;
    if (total > m_keep) {
      const size_t drop = total - m_keep;
      std::memmove(m_tail.data(), m_tail.data() + drop, m_tailLength - drop);
      m_tailLength -= drop;
    }
    std::memcpy(m_tail.data() + m_tailLength, data, length);
    m_tailLength += length;
  }
  return m_found;
}

void Base64PartDecoder::Emit(unsigned char byte) {
  m_out[m_outLength++] = static_cast<char>(byte);
  if (m_outLength == sizeof m_out) Flush();
}

void Base64PartDecoder::Flush() {
  if (m_outLength > 0) m_decoded->Feed(m_out, m_outLength);
  m_outLength = 0;
}

void Base64PartDecoder::EndBase64Part() {
  // An incomplete final quantum carries no whole byte worth matching.
  m_quantum = 0;
  m_quantumChars = 0;
  Flush();
}

void Base64PartDecoder::EvaluateHeader() {
  static const char kName[] = "content-transfer-encoding:";
  const size_t nameLength = sizeof kName - 1;
  if (m_headerLength < nameLength) return;
  for (size_t i = 0; i < nameLength; ++i) {
    const char c = m_header[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kName[i]) return;
  }
  size_t i = nameLength;
  while (i < m_headerLength && (m_header[i] == ' ' || m_header[i] == '\t')) ++i;
  static const char kBase64[] = "base64";
  if (m_headerLength - i < sizeof kBase64 - 1) return;
  for (size_t k = 0; k < sizeof kBase64 - 1; ++k) {
    const char c = m_header[i + k];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kBase64[k]) return;
  }
  m_partIsBase64 = true;
}

void Base64PartDecoder::EndLine() {
  if (m_lineLength == 0) {
    // The empty line ends a header section (RFC 5322 section 2.1; RFC 2046
    // section 5.1.1 for body parts).
    if (m_mode == Mode::kHeaders) {
      EvaluateHeader();
      m_headerLength = 0;
      m_mode = m_partIsBase64 ? Mode::kBase64Body : Mode::kBody;
      m_partIsBase64 = false;
    }
  } else if (m_lineLength >= 2 && m_lineHead[0] == '-' && m_lineHead[1] == '-' &&
             m_mode != Mode::kHeaders) {
    // A boundary delimiter line: the headers of the next part follow. We do
    // not check that it is one of the declared boundaries; a stray "--" line
    // in a text body only makes us look for headers until the next empty
    // line, and the raw matcher sees everything anyway.
    if (m_mode == Mode::kBase64Body) EndBase64Part();
    m_mode = Mode::kHeaders;
    m_partIsBase64 = false;
    m_headerLength = 0;
  }
  m_lineLength = 0;
  m_lineStart = true;
}

void Base64PartDecoder::Feed(const char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char c = data[i];
    if (c == '\n') {
      EndLine();
      continue;
    }
    if (c == '\r') continue;
    const bool first = m_lineStart;
    m_lineStart = false;
    if (m_lineLength < 2) m_lineHead[m_lineLength] = c;
    if (m_lineLength < 1000000) ++m_lineLength;
    switch (m_mode) {
      case Mode::kHeaders:
        // A line starting with white space continues the header before it
        // (folding, RFC 5322 section 2.2.3).
        if (first && c != ' ' && c != '\t') {
          EvaluateHeader();
          m_headerLength = 0;
        }
        if (m_headerLength < kHeaderMax) m_header[m_headerLength++] = c;
        break;
      case Mode::kBody:
        break;
      case Mode::kBase64Body: {
        if (first && c == '-') {
          // '-' is not in the alphabet: this is a boundary line.
          EndBase64Part();
          m_mode = Mode::kBody;
          break;
        }
        if (c == '=') {
          // Padding ends the data of this encoding (RFC 4648 section 4).
          if (m_quantumChars == 2) {
            Emit(static_cast<unsigned char>(m_quantum >> 4));
          } else if (m_quantumChars == 3) {
            Emit(static_cast<unsigned char>(m_quantum >> 10));
            Emit(static_cast<unsigned char>(m_quantum >> 2));
          }
          m_quantum = 0;
          m_quantumChars = 0;
          break;
        }
        const int value = Base64Value(c);
        if (value < 0) break;  // RFC 2045 section 6.8: ignore other characters
        m_quantum = (m_quantum << 6) | static_cast<uint32_t>(value);
        if (++m_quantumChars == 4) {
          Emit(static_cast<unsigned char>(m_quantum >> 16));
          Emit(static_cast<unsigned char>(m_quantum >> 8));
          Emit(static_cast<unsigned char>(m_quantum));
          m_quantum = 0;
          m_quantumChars = 0;
        }
        break;
      }
    }
  }
}

MessageScan::MessageScan(const std::vector<Signature>& signatures)
    : m_raw(signatures),
      m_decodedMatcher(signatures),
      m_decoder(&m_decodedMatcher),
      m_content(kBlockSize + DotUnstuffer::kMaxExtraOutput) {}

void MessageScan::Feed(const char* data, size_t length) {
  while (length > 0 && !m_unstuffer.Done()) {
    if (HasFound()) return;
    const size_t piece = std::min(length, kBlockSize);
    size_t produced = 0;
    const size_t consumed = m_unstuffer.Feed(data, piece, m_content.data(), &produced);
    m_raw.Feed(m_content.data(), produced);
    m_decoder.Feed(m_content.data(), produced);
    data += consumed;
    length -= consumed;
  }
}

int MessageScan::Finish() {
  m_decoder.Flush();
  return m_raw.Found() >= 0 ? m_raw.Found() : m_decodedMatcher.Found();
}

BuiltinScanner::BuiltinScanner(std::vector<Signature> extra) {
  m_signatures.push_back(Signature{"EICAR-Test-File", EicarTestString()});
  for (Signature& signature : extra) m_signatures.push_back(std::move(signature));
}

std::string BuiltinScanner::Describe() const {
  return "builtin (" + std::to_string(m_signatures.size()) + " signatures)";
}

ScanResult BuiltinScanner::Scan(const std::string& path, ScanPacer& pacer) {
  ScanResult result;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    result.error = "cannot open " + path + ": " + std::strerror(errno);
    return result;
  }
  std::vector<char> block(kBlockSize);
  MessageScan scan(m_signatures);
  int found = -1;
  for (;;) {
    const size_t n = std::fread(block.data(), 1, block.size(), file);
    if (n > 0) scan.Feed(block.data(), n);
    pacer.Tick();
    if (n < block.size() || scan.HasFound()) break;
  }
  const bool readError = std::ferror(file) != 0;
  std::fclose(file);
  found = scan.Finish();
  if (found >= 0) {
    result.verdict = Verdict::kInfected;
    result.signature = m_signatures[static_cast<size_t>(found)].name;
  } else if (readError) {
    result.error = "read error on " + path;
  } else {
    result.verdict = Verdict::kClean;
  }
  return result;
}
