// The builtin scanner. See signature_scanner.h.
#include "host/scan/signature_scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "host/base/os.h"

namespace {

// Per scan, not per connection: a thousand scans at once stay within 32 MiB.
constexpr size_t kBlockSize = 16384;
// Far larger than any list of patterns; a wrong file is not read without bound.
constexpr size_t kMaxSignatureFileBytes = 64 * 1024 * 1024;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

namespace {

// "# signatures: N", the count a file announces, or -1. To ParseSignatureLine
// it is a comment, and a comment that goes on in words stays one.
long MarkerCount(const std::string& line) {
  static const char kMarker[] = "signatures:";
  size_t i = 0;
  if (line.empty() || line[0] != '#') return -1;
  ++i;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (line.compare(i, sizeof kMarker - 1, kMarker) != 0) return -1;
  i += sizeof kMarker - 1;
  while (i < line.size() && IsBlank(line[i])) ++i;
  size_t end = line.size();
  while (end > i && IsBlank(line[end - 1])) --end;
  if (end == i || end - i > 9) return -1;
  long count = 0;
  for (size_t k = i; k < end; ++k) {
    if (line[k] < '0' || line[k] > '9') return -1;
    count = count * 10 + (line[k] - '0');
  }
  return count;
}

}  // namespace

bool LoadSignatureFile(const std::string& path, std::vector<Signature>* signatures,
                       std::string* error) {
  // Read whole and checked on the opened file: a FIFO or a device named by
  // mistake would otherwise hold up start-up or the reload for good.
  std::string text;
  std::string reason;
  if (!OsReadRegularFile(path, kMaxSignatureFileBytes, &text, &reason)) {
    *error = "signature file: " + reason;
    return false;
  }
  std::istringstream in(text);
  std::string line;
  int number = 0;
  long announced = -1;
  size_t loaded = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const long marker = MarkerCount(line);
    if (marker >= 0 && announced >= 0) {
      *error = where + "a second '# signatures: COUNT' line";
      return false;
    }
    if (marker >= 0) announced = marker;
    Signature signature;
    bool isEntry = false;
    if (!ParseSignatureLine(line, &signature, &isEntry, &reason)) {
      *error = where + reason;
      return false;
    }
    if (isEntry) {
      signatures->push_back(signature);
      ++loaded;
    }
  }
  // A file cut short where a line ends parses cleanly: only a count given
  // beforehand, or the emptiness of a file just truncated, tells.
  if (announced >= 0 && static_cast<size_t>(announced) != loaded) {
    *error = path + " announces " + std::to_string(announced) + " signatures but holds " +
             std::to_string(loaded) + " (half written? replace the file whole, with mv)";
    return false;
  }
  if (loaded == 0) {
    *error = path + " holds no signatures (half written? replace the file whole, with mv)";
    return false;
  }
  return true;
}

namespace {

// How common a byte value is in mail, roughly (larger: more common): the
// anchor of a pattern is its byte with the smallest estimate.
int Commonness(unsigned char b) {
  if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) return 100;
  switch (b) {
    case ' ':
    case '\r':
    case '\n':
      return 100;
    case '+':
    case '/':
    case '=':
      return 90;  // base64
    case '.':
    case ',':
    case '-':
    case ':':
    case ';':
    case '\'':
    case '"':
    case '(':
    case ')':
    case '?':
    case '_':
    case '\t':
      return 50;
    case '@':
    case '<':
    case '>':
      return 30;
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '*':
      return 25;
    case '[':
    case ']':
      return 22;
    case 0x00:
    case 0xff:
      return 15;
    default:
      break;
  }
  if (b > 0x20 && b < 0x7f) return 20;  // { } \ ^ ` | ~
  return 10;                            // other control bytes, 8-bit bytes
}

// Up to this many distinct anchor bytes are searched with memchr, one pass
// each; more with a table, one pass in all.
constexpr size_t kMemchrAnchors = 4;

}  // namespace

SignatureSet::SignatureSet(std::vector<Signature> signatures)
    : m_signatures(std::move(signatures)) {
  std::vector<std::vector<Anchored>> byAnchor(256);
  bool chosen[256] = {};
  for (size_t s = 0; s < m_signatures.size(); ++s) {
    const std::string& pattern = m_signatures[s].bytes;
    if (pattern.empty()) continue;
    m_longest = std::max(m_longest, pattern.size());
    // The rarest byte; among equals one already an anchor, so that the
    // anchors stay few.
    size_t anchor = 0;
    int best = 1000;
    bool bestChosen = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
      const unsigned char b = static_cast<unsigned char>(pattern[i]);
      const int score = Commonness(b);
      if (score < best || (score == best && chosen[b] && !bestChosen)) {
        best = score;
        anchor = i;
        bestChosen = chosen[b];
      }
    }
    // The next rarest byte at another offset, compared before the rest.
    size_t check = anchor;
    best = 1000;
    for (size_t i = 0; i < pattern.size(); ++i) {
      const int score = Commonness(static_cast<unsigned char>(pattern[i]));
      if (i != anchor && score < best) {
        best = score;
        check = i;
      }
    }
    const unsigned char a = static_cast<unsigned char>(pattern[anchor]);
    chosen[a] = true;
    byAnchor[a].push_back(Anchored{static_cast<uint32_t>(s), static_cast<uint32_t>(anchor),
                                   static_cast<uint32_t>(check)});
  }
  for (size_t b = 0; b < 256; ++b) {
    m_first[b] = static_cast<uint32_t>(m_anchored.size());
    if (!byAnchor[b].empty()) m_anchorBytes.push_back(static_cast<unsigned char>(b));
    m_anchored.insert(m_anchored.end(), byAnchor[b].begin(), byAnchor[b].end());
  }
  m_first[256] = static_cast<uint32_t>(m_anchored.size());
}

int SignatureSet::Verify(const char* data, size_t length, size_t at) const {
  const unsigned char b = static_cast<unsigned char>(data[at]);
  for (uint32_t k = m_first[b]; k < m_first[b + 1]; ++k) {
    const Anchored& entry = m_anchored[k];
    const std::string& pattern = m_signatures[entry.signature].bytes;
    if (at < entry.anchor) continue;
    const size_t start = at - entry.anchor;
    if (pattern.size() > length - start) continue;
    if (data[start + entry.check] != pattern[entry.check]) continue;
    if (std::memcmp(data + start, pattern.data(), pattern.size()) == 0) {
      return static_cast<int>(entry.signature);
    }
  }
  return -1;
}

int SignatureSet::SearchAnchor(unsigned char anchor, const char* data, size_t length) const {
  const char* end = data + length;
  for (const char* p = data; p < end; ++p) {
    p = static_cast<const char*>(std::memchr(p, anchor, static_cast<size_t>(end - p)));
    if (p == nullptr) break;
    const int found = Verify(data, length, static_cast<size_t>(p - data));
    if (found >= 0) return found;
  }
  return -1;
}

int SignatureSet::SearchIn(const char* data, size_t length) const {
  if (length == 0 || m_anchorBytes.empty()) return -1;
  if (m_anchorBytes.size() <= kMemchrAnchors) {
    for (const unsigned char anchor : m_anchorBytes) {
      const int found = SearchAnchor(anchor, data, length);
      if (found >= 0) return found;
    }
    return -1;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char b = bytes[i];
    if (m_first[b] != m_first[b + 1]) {
      const int found = Verify(data, length, i);
      if (found >= 0) return found;
    }
  }
  return -1;
}

StreamMatcher::StreamMatcher(const SignatureSet& signatures) : m_set(signatures) {
  const size_t longest = m_set.Longest();
  m_keep = longest > 0 ? longest - 1 : 0;
  m_tail.resize(m_keep);
  m_seam.resize(2 * m_keep);
}

StreamMatcher::StreamMatcher(const std::vector<Signature>& signatures)
    : m_owned(std::make_unique<SignatureSet>(signatures)), m_set(*m_owned) {
  const size_t longest = m_set.Longest();
  m_keep = longest > 0 ? longest - 1 : 0;
  m_tail.resize(m_keep);
  m_seam.resize(2 * m_keep);
}

void StreamMatcher::Reset() {
  m_tailLength = 0;
  m_found = -1;
}

int StreamMatcher::Feed(const char* data, size_t length) {
  if (m_found >= 0 || length == 0) return m_found;
  // A pattern that begins in the kept tail and ends in this piece lies wholly
  // inside tail + the first m_keep bytes of the piece.
  if (m_tailLength > 0) {
    const size_t head = std::min(length, m_keep);
    std::memcpy(m_seam.data(), m_tail.data(), m_tailLength);
    std::memcpy(m_seam.data() + m_tailLength, data, head);
    m_found = m_set.SearchIn(m_seam.data(), m_tailLength + head);
    if (m_found >= 0) return m_found;
  }
  m_found = m_set.SearchIn(data, length);
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

namespace {

// RFC 4648 section 4 alphabet: the value of each character; kBase64Pad for
// '=', kBase64Other for everything else. Both have the high bit set, so four
// characters are checked with one test.
constexpr unsigned char kBase64Pad = 0xfe;
constexpr unsigned char kBase64Other = 0xff;

struct Base64Table {
  unsigned char value[256];
  Base64Table() {
    for (unsigned char& v : value) v = kBase64Other;
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned i = 0; i < 64; ++i) {
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
    value[static_cast<unsigned char>('=')] = kBase64Pad;
  }
};

const Base64Table kBase64;

}  // namespace

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
  static const char kBase64Name[] = "base64";
  if (m_headerLength - i < sizeof kBase64Name - 1) return;
  for (size_t k = 0; k < sizeof kBase64Name - 1; ++k) {
    const char c = m_header[i + k];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kBase64Name[k]) return;
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
}

void Base64PartDecoder::HeaderPiece(const char* data, const char* end) {
  for (const char* p = data; p < end; ++p) {
    // Past a line's start, with the header buffer full, nothing changes.
    if (m_lineLength >= 2 && m_headerLength >= kHeaderMax) return;
    const char c = *p;
    if (c == '\r') continue;
    const bool first = m_lineLength == 0;
    if (m_lineLength < 2) m_lineHead[m_lineLength++] = c;
    // A line starting with white space continues the header before it
    // (folding, RFC 5322 section 2.2.3).
    if (first && c != ' ' && c != '\t') {
      EvaluateHeader();
      m_headerLength = 0;
    }
    if (m_headerLength < kHeaderMax) m_header[m_headerLength++] = c;
  }
}

void Base64PartDecoder::DecodeOne(char c) {
  const unsigned char value = kBase64.value[static_cast<unsigned char>(c)];
  if (value == kBase64Pad) {
    // Padding ends the data of this encoding (RFC 4648 section 4).
    if (m_quantumChars == 2) {
      Emit(static_cast<unsigned char>(m_quantum >> 4));
    } else if (m_quantumChars == 3) {
      Emit(static_cast<unsigned char>(m_quantum >> 10));
      Emit(static_cast<unsigned char>(m_quantum >> 2));
    }
    m_quantum = 0;
    m_quantumChars = 0;
    return;
  }
  if (value == kBase64Other) return;  // RFC 2045 section 6.8: ignore other characters
  m_quantum = (m_quantum << 6) | value;
  if (++m_quantumChars == 4) {
    Emit(static_cast<unsigned char>(m_quantum >> 16));
    Emit(static_cast<unsigned char>(m_quantum >> 8));
    Emit(static_cast<unsigned char>(m_quantum));
    m_quantum = 0;
    m_quantumChars = 0;
  }
}

void Base64PartDecoder::DecodeBase64(const char* data, const char* end) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const stop = reinterpret_cast<const unsigned char*>(end);
  const unsigned char* const table = kBase64.value;
  while (p < stop) {
    if (m_quantumChars == 0) {
      // Whole quanta, four characters at a time: one test for the four.
      for (;;) {
        size_t quanta = static_cast<size_t>(stop - p) / 4;
        if (quanta == 0) break;
        size_t room = (sizeof m_out - m_outLength) / 3;
        if (room == 0) {
          Flush();
          room = sizeof m_out / 3;
        }
        quanta = std::min(quanta, room);
        char* out = m_out + m_outLength;
        size_t done = 0;
        for (; done < quanta; ++done) {
          const uint32_t a = table[p[0]];
          const uint32_t b = table[p[1]];
          const uint32_t c = table[p[2]];
          const uint32_t d = table[p[3]];
          if (((a | b | c | d) & 0x80) != 0) break;
          const uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
          out[0] = static_cast<char>(v >> 16);
          out[1] = static_cast<char>(v >> 8);
          out[2] = static_cast<char>(v);
          out += 3;
          p += 4;
        }
        m_outLength += 3 * done;
        if (done < quanta) break;  // a character outside the alphabet
      }
      if (p >= stop) break;
    }
    DecodeOne(static_cast<char>(*p++));
  }
}

void Base64PartDecoder::LinePiece(const char* data, const char* end) {
  if (data == end) return;
  if (m_mode == Mode::kHeaders) {
    HeaderPiece(data, end);
    return;
  }
  // The first two characters (CR aside) tell a boundary line.
  for (const char* p = data; m_lineLength < 2 && p < end; ++p) {
    const char c = *p;
    if (c == '\r') continue;
    if (m_lineLength == 0 && m_mode == Mode::kBase64Body && c == '-') {
      // '-' is not in the alphabet: this is a boundary line.
      EndBase64Part();
      m_mode = Mode::kBody;
    }
    m_lineHead[m_lineLength++] = c;
  }
  if (m_mode == Mode::kBase64Body) DecodeBase64(data, end);
}

void Base64PartDecoder::Feed(const char* data, size_t length) {
  const char* p = data;
  const char* const end = data + length;
  while (p < end) {
    const bool boundaryPending = m_lineLength == 2 && m_lineHead[0] == '-' && m_lineHead[1] == '-';
    if (m_mode == Mode::kBody && !boundaryPending) {
      // In a body only a line beginning "--" changes anything: the lines
      // that end before the next '-' are passed over at once.
      const char* dash =
          static_cast<const char*>(std::memchr(p, '-', static_cast<size_t>(end - p)));
      const char* stop = dash != nullptr ? dash : end;
      const char* lineStart = stop;
      while (lineStart > p && lineStart[-1] != '\n') --lineStart;
      if (lineStart > p) {
        m_lineLength = 0;
        p = lineStart;
      }
      LinePiece(p, stop);
      p = stop;
      if (p == end) break;
    }
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr) {
      LinePiece(p, end);
      break;
    }
    LinePiece(p, lf);
    EndLine();
    p = lf + 1;
  }
}

MessageScan::MessageScan(const SignatureSet& signatures)
    : m_raw(signatures),
      m_decodedMatcher(signatures),
      m_decoder(&m_decodedMatcher),
      m_content(new char[kBlockSize + DotUnstuffer::kMaxExtraOutput]) {}

MessageScan::MessageScan(const std::vector<Signature>& signatures)
    : m_owned(std::make_unique<SignatureSet>(signatures)),
      m_raw(*m_owned),
      m_decodedMatcher(*m_owned),
      m_decoder(&m_decodedMatcher),
      m_content(new char[kBlockSize + DotUnstuffer::kMaxExtraOutput]) {}

void MessageScan::Feed(const char* data, size_t length) {
  while (length > 0 && !m_unstuffer.Done()) {
    if (HasFound()) return;
    const size_t piece = std::min(length, kBlockSize);
    size_t produced = 0;
    const size_t consumed = m_unstuffer.Feed(data, piece, m_content.get(), &produced);
    m_raw.Feed(m_content.get(), produced);
    m_decoder.Feed(m_content.get(), produced);
    data += consumed;
    length -= consumed;
  }
}

int MessageScan::Finish() {
  m_decoder.Flush();
  return m_raw.Found() >= 0 ? m_raw.Found() : m_decodedMatcher.Found();
}

namespace {

std::vector<Signature> WithEicar(std::vector<Signature> extra) {
  std::vector<Signature> all;
  all.push_back(Signature{"EICAR-Test-File", EicarTestString()});
  for (Signature& signature : extra) all.push_back(std::move(signature));
  return all;
}

}  // namespace

BuiltinScanner::BuiltinScanner(std::vector<Signature> extra)
    : m_set(std::make_shared<const SignatureSet>(WithEicar(std::move(extra)))) {}

std::string BuiltinScanner::Describe() const {
  return "builtin (" + std::to_string(Current()->Signatures().size()) + " signatures)";
}

void BuiltinScanner::Replace(std::vector<Signature> extra) {
  // Prepared outside the lock: scans starting meanwhile take the old set.
  auto set = std::make_shared<const SignatureSet>(WithEicar(std::move(extra)));
  std::lock_guard<std::mutex> lock(m_mutex);
  m_set.swap(set);
  // The old set is freed below, after the lock, or by the last scan using it.
}

std::shared_ptr<const SignatureSet> BuiltinScanner::Current() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_set;
}

ScanResult BuiltinScanner::Scan(const std::string& path, ScanPacer& pacer) {
  ScanResult result;
  const std::shared_ptr<const SignatureSet> set = Current();
  MessageScan scan(*set);
  std::string error;
  const bool read = OsReadFilePieces(
      path, kBlockSize,
      [&scan, &pacer](const char* data, size_t length) {
        scan.Feed(data, length);
        pacer.Tick();
        return !scan.HasFound();
      },
      &error);
  const int found = scan.Finish();
  if (found >= 0) {
    result.verdict = Verdict::kInfected;
    result.signature = set->Signatures()[static_cast<size_t>(found)].name;
  } else if (!read) {
    result.error = error;
  } else {
    result.verdict = Verdict::kClean;
  }
  return result;
}
