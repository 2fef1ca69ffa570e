// The builtin scanner: signature file syntax, patterns split across reads,
// EICAR as sent and inside base64 MIME parts, dot-stuffed spool files.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/scan/reload.h"
#include "host/scan/signature_scanner.h"
#include "support/scratch_directory.h"

namespace {

std::string Base64(const std::string& data, size_t lineLength) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t block = static_cast<uint8_t>(data[i]) << 16;
    if (i + 1 < data.size()) block |= static_cast<uint8_t>(data[i + 1]) << 8;
    if (i + 2 < data.size()) block |= static_cast<uint8_t>(data[i + 2]);
    encoded += kAlphabet[(block >> 18) & 63];
    encoded += kAlphabet[(block >> 12) & 63];
    encoded += i + 1 < data.size() ? kAlphabet[(block >> 6) & 63] : '=';
    encoded += i + 2 < data.size() ? kAlphabet[block & 63] : '=';
  }
  std::string lines;
  for (size_t i = 0; i < encoded.size(); i += lineLength) {
    lines += encoded.substr(i, lineLength) + "\r\n";
  }
  return lines;
}

// A multipart message with one attachment, as a spool file holds it
// (ending with the "." line).
std::string MultipartWith(const std::string& attachmentHeaders, const std::string& body) {
  return "From: a@b\r\nSubject: t\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"XyZ\"\r\n\r\n"
         "preamble\r\n--XyZ\r\nContent-Type: text/plain\r\n\r\nHello.\r\n--XyZ\r\n" +
         attachmentHeaders + "\r\n" + body + "--XyZ--\r\n.\r\n";
}

int ScanInPieces(const std::vector<Signature>& signatures, const std::string& stream,
                 size_t piece) {
  MessageScan scan(signatures);
  for (size_t at = 0; at < stream.size(); at += piece) {
    scan.Feed(stream.data() + at, std::min(piece, stream.size() - at));
  }
  return scan.Finish();
}

std::vector<Signature> EicarOnly() { return {Signature{"EICAR", EicarTestString()}}; }

TEST(EicarTest, IsTheStandardTestString) {
  const std::string eicar = EicarTestString();
  EXPECT_EQ(eicar.size(), 68u);
  EXPECT_EQ(eicar.substr(0, 11), "X5O!P%@AP[4");
  EXPECT_EQ(eicar.substr(eicar.size() - 6), "!$H+H*");
  EXPECT_NE(eicar.find("EICAR-STANDARD-ANTIVIRUS-TEST-FILE"), std::string::npos);
}

TEST(SignatureFileTest, LineSyntax) {
  Signature s;
  bool entry = false;
  std::string error;
  ASSERT_TRUE(ParseSignatureLine("Test.One 41424344", &s, &entry, &error)) << error;
  EXPECT_TRUE(entry);
  EXPECT_EQ(s.name, "Test.One");
  EXPECT_EQ(s.bytes, "ABCD");
  ASSERT_TRUE(ParseSignatureLine("  Two\t00 ff Fe  # trailing comment", &s, &entry, &error));
  EXPECT_TRUE(entry);
  EXPECT_EQ(s.name, "Two");
  EXPECT_EQ(s.bytes, std::string("\x00\xff\xfe", 3));
  for (const char* blank : {"", "   ", "# a comment", "\t# indented comment", "\r"}) {
    ASSERT_TRUE(ParseSignatureLine(blank, &s, &entry, &error)) << blank;
    EXPECT_FALSE(entry) << blank;
  }
  for (const char* bad : {"NameOnly", "Odd 414", "Split 4 1", "NotHex 41zz", "Name # 41"}) {
    EXPECT_FALSE(ParseSignatureLine(bad, &s, &entry, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(ParseSignatureLine("Long " + std::string(2 * (kMaxSignatureBytes + 1), 'a'), &s,
                                  &entry, &error));
}

TEST(SignatureFileTest, LoadNamesFileAndLineOfAnError) {
  CScratchDirectory scratch("divivez-host-sigs-");
  const std::string path = scratch.File("signatures.txt");
  {
    std::ofstream out(path, std::ios::binary);
    out << "# test signatures\nOne 4142\r\n\nTwo 434445\n";
  }
  std::vector<Signature> signatures;
  std::string error;
  ASSERT_TRUE(LoadSignatureFile(path, &signatures, &error)) << error;
  ASSERT_EQ(signatures.size(), 2u);
  EXPECT_EQ(signatures[1].name, "Two");
  EXPECT_EQ(signatures[1].bytes, "CDE");
  {
    std::ofstream out(path, std::ios::binary);
    out << "One 4142\nBroken 4\n";
  }
  signatures.clear();
  EXPECT_FALSE(LoadSignatureFile(path, &signatures, &error));
  EXPECT_NE(error.find(path + ":2:"), std::string::npos) << error;
  std::filesystem::remove(path);
  EXPECT_FALSE(LoadSignatureFile(path, &signatures, &error));
#ifndef _WIN32
  // A FIFO named by mistake is refused unread instead of holding up the
  // start or the reload for good.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(LoadSignatureFile(path, &signatures, &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  std::filesystem::remove(path);
#endif

  // A file caught while written in place: empty, or short of the count its
  // "# signatures: N" line announces (a count that is not a number leaves
  // the line a comment).
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "holds no signatures"},
      {"# only a comment\n\n", "holds no signatures"},
      {"# signatures: 3\nOne 4142\nTwo 4344\n", "announces 3 signatures but holds 2"},
      {"# signatures: 1\nOne 4142\nTwo 4344\n", "announces 1 signatures but holds 2"},
      {"# signatures: 1\nOne 4142\n# signatures: 1\n", path + ":3: a second"},
      {"# signatures:2\r\nOne 4142\r\nTwo 4344\r\n", ""},
      {"# signatures: from the vendor\nOne 4142\n", ""},
  };
  for (const auto& c : cases) {
    {
      std::ofstream out(path, std::ios::binary);
      out << c.first;
    }
    signatures.clear();
    error.clear();
    EXPECT_EQ(LoadSignatureFile(path, &signatures, &error), c.second.empty()) << c.first;
    EXPECT_NE(error.find(c.second), std::string::npos) << error;
  }
}

TEST(StreamMatcherTest, PatternSplitAtEveryOffset) {
  const std::vector<Signature> signatures = {Signature{"short", "xyz"},
                                             Signature{"long", "0123456789abcdef"}};
  const std::string stream = std::string(40, '.') + "0123456789abcdef" + std::string(40, '.');
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    StreamMatcher matcher(signatures);
    matcher.Feed(stream.data(), cut);
    matcher.Feed(stream.data() + cut, stream.size() - cut);
    EXPECT_EQ(matcher.Found(), 1) << "cut at " << cut;
  }
}

TEST(StreamMatcherTest, PiecesShorterThanThePattern) {
  const std::vector<Signature> signatures = {Signature{"long", "0123456789abcdef"}};
  const std::string stream = "--0123456789abcdef--";
  for (size_t piece = 1; piece <= 5; ++piece) {
    StreamMatcher matcher(signatures);
    for (size_t at = 0; at < stream.size(); at += piece) {
      matcher.Feed(stream.data() + at, std::min(piece, stream.size() - at));
    }
    EXPECT_EQ(matcher.Found(), 0) << "piece " << piece;
  }
}

TEST(StreamMatcherTest, NearMissesAndReset) {
  const std::vector<Signature> signatures = {Signature{"p", "abcd"}};
  StreamMatcher matcher(signatures);
  EXPECT_EQ(matcher.Feed("abc", 3), -1);
  EXPECT_EQ(matcher.Feed("xabcxbcd", 8), -1);
  EXPECT_EQ(matcher.Feed("ab", 2), -1);
  EXPECT_EQ(matcher.Feed("cd", 2), 0);
  EXPECT_EQ(matcher.Feed("zzzz", 4), 0);  // a find sticks
  matcher.Reset();
  EXPECT_EQ(matcher.Found(), -1);
  EXPECT_EQ(matcher.Feed("cd", 2), -1);  // the tail went with the reset
}

TEST(MessageScanTest, EicarInBase64AttachmentAnyLineLengthAnySplit) {
  const std::string eicar = EicarTestString();
  for (size_t lineLength : {4u, 60u, 76u, 1000u}) {
    for (const std::string& prefix : {std::string(""), std::string("x"), std::string("xy")}) {
      const std::string message = MultipartWith(
          "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
          "Content-Disposition: attachment; filename=eicar.com\r\n",
          Base64(prefix + eicar + "\r\n", lineLength));
      for (size_t piece : {1u, 7u, 64u, 100000u}) {
        EXPECT_EQ(ScanInPieces(EicarOnly(), message, piece), 0)
            << "line " << lineLength << " prefix " << prefix.size() << " piece " << piece;
      }
    }
  }
}

TEST(MessageScanTest, HeaderFormsOfTheEncoding) {
  const std::string body = Base64(EicarTestString(), 76);
  // Folded header, other letter case, top-level single-part message.
  EXPECT_EQ(ScanInPieces(EicarOnly(),
                         MultipartWith("Content-Transfer-Encoding:\r\n   BASE64\r\n", body), 5),
            0);
  EXPECT_EQ(
      ScanInPieces(EicarOnly(),
                   "Subject: x\r\ncontent-transfer-encoding: Base64\r\n\r\n" + body + ".\r\n", 9),
      0);
}

TEST(MessageScanTest, Base64OnlyWhereDeclared) {
  const std::string body = Base64(EicarTestString(), 76);
  // The same lines in a 7bit part, or after the base64 part's boundary, are
  // not decoded; and a clean base64 part does not match.
  EXPECT_EQ(ScanInPieces(EicarOnly(), MultipartWith("Content-Type: text/plain\r\n", body), 64), -1);
  EXPECT_EQ(ScanInPieces(EicarOnly(),
                         MultipartWith("Content-Transfer-Encoding: base64\r\n",
                                       Base64("harmless attachment", 76)),
                         64),
            -1);
}

TEST(MessageScanTest, RawAndDotStuffedContent) {
  const std::vector<Signature> signatures = {Signature{"EICAR", EicarTestString()},
                                             Signature{"DotLine", "\r\n.hidden\r\n"}};
  EXPECT_EQ(ScanInPieces(signatures, "Subject: x\r\n\r\n" + EicarTestString() + "\r\n.\r\n", 3), 0);
  // On the wire the line ".hidden" is sent as "..hidden"; the scan sees the
  // message as the recipient will.
  EXPECT_EQ(ScanInPieces(signatures, "Subject: x\r\n\r\nline\r\n..hidden\r\n.\r\n", 4), 1);
  // Nothing after the end of data belongs to the message.
  EXPECT_EQ(ScanInPieces(signatures, "Subject: x\r\n\r\nok\r\n.\r\n" + EicarTestString(), 1000),
            -1);
}

// A fixed-seed generator: the same cases every run.
class Random {
 public:
  explicit Random(uint64_t seed) : m_state(seed) {}
  uint64_t Next() {
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return m_state * 2685821657736338717ull;
  }
  size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
  std::string Bytes(size_t n, const std::string& alphabet) {
    std::string out(n, '\0');
    for (char& c : out) c = alphabet[Below(alphabet.size())];
    return out;
  }

 private:
  uint64_t m_state;
};

// Whether any of the patterns is in the stream, by a plain search.
bool NaiveContainsAny(const std::vector<Signature>& signatures, const std::string& stream) {
  for (const Signature& s : signatures) {
    if (stream.find(s.bytes) != std::string::npos) return true;
  }
  return false;
}

TEST(StreamMatcherTest, ManyPatternsManyAnchorsAgreeWithAPlainSearch) {
  // More distinct anchor bytes than memchr passes are made for: the table
  // path; and few: the memchr path. Patterns share bytes and prefixes.
  const std::string alphabet = "ab{}^|~\\X";
  Random random(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<Signature> signatures;
    const size_t count = 1 + random.Below(round % 2 == 0 ? 3 : 12);
    for (size_t k = 0; k < count; ++k) {
      signatures.push_back(
          Signature{"s" + std::to_string(k), random.Bytes(1 + random.Below(9), alphabet)});
    }
    const std::string stream = random.Bytes(random.Below(300), alphabet);
    const bool expected = NaiveContainsAny(signatures, stream);
    for (size_t piece : {1u, 3u, 8u, 64u, 1000u}) {
      StreamMatcher matcher(signatures);
      for (size_t at = 0; at < stream.size(); at += piece) {
        matcher.Feed(stream.data() + at, std::min(piece, stream.size() - at));
      }
      ASSERT_EQ(matcher.Found() >= 0, expected) << "round " << round << " piece " << piece;
      if (expected) {
        EXPECT_NE(stream.find(signatures[static_cast<size_t>(matcher.Found())].bytes),
                  std::string::npos);
      }
    }
  }
}

TEST(StreamMatcherTest, PatternOfEveryByteValueAtTheEdges) {
  // Patterns made of control and 8-bit bytes, found at the very start and
  // end of a piece and across pieces.
  for (int b = 0; b < 256; ++b) {
    const std::string pattern = {static_cast<char>(b), 'Q', static_cast<char>(255 - b)};
    const std::vector<Signature> signatures = {Signature{"edge", pattern}};
    for (const std::string& stream : {pattern + "zz", "zz" + pattern, pattern}) {
      for (size_t cut = 0; cut <= stream.size(); ++cut) {
        StreamMatcher matcher(signatures);
        matcher.Feed(stream.data(), cut);
        matcher.Feed(stream.data() + cut, stream.size() - cut);
        ASSERT_EQ(matcher.Found(), 0) << "byte " << b << " cut " << cut;
      }
    }
  }
}

TEST(MessageScanTest, Base64OfAnyLineLengthWithStrayCharactersAndAnySplit) {
  // Line lengths not a multiple of four, CR and other characters outside the
  // alphabet inside lines, the signature at every offset of a quantum.
  const std::string eicar = EicarTestString();
  Random random(11);
  for (int round = 0; round < 200; ++round) {
    const bool infected = round % 3 != 0;
    std::string payload = random.Bytes(1 + random.Below(200), "abcdefgh\x01\xff");
    if (infected) payload.insert(random.Below(payload.size() + 1), eicar);
    std::string encoded = Base64(payload, 1 + random.Below(90));
    // Sprinkle characters that are not in the alphabet (but no '-' at a line
    // start, which would end the part, and no LF).
    for (int k = 0; k < 5; ++k) {
      const size_t at = 1 + random.Below(encoded.size() - 1);
      if (encoded[at - 1] == '\n') continue;
      encoded.insert(at, 1, " \t\r*"[random.Below(4)]);
    }
    const std::string message = MultipartWith("Content-Transfer-Encoding: base64\r\n", encoded);
    for (size_t piece : {1u, 5u, 4096u, 1u << 20}) {
      ASSERT_EQ(ScanInPieces(EicarOnly(), message, piece), infected ? 0 : -1)
          << "round " << round << " piece " << piece;
    }
  }
}

TEST(MessageScanTest, SignatureAcrossADotStuffedLineStart) {
  // The message has the line ".X5O..." (EICAR after a dot), sent stuffed as
  // "..X5O..."; and EICAR cut by a line break whose next line starts with a
  // stuffed dot is not EICAR.
  const std::string eicar = EicarTestString();
  const std::vector<Signature> signatures = {Signature{"DotEicar", "\r\n." + eicar}};
  const std::string stream = "Subject: x\r\n\r\nfirst\r\n.." + eicar + "\r\n.\r\n";
  for (size_t piece = 1; piece <= stream.size(); ++piece) {
    ASSERT_EQ(ScanInPieces(signatures, stream, piece), 0) << piece;
  }
  EXPECT_EQ(ScanInPieces(EicarOnly(),
                         "Subject: x\r\n\r\n" + eicar.substr(0, 30) + "\r\n.." + eicar.substr(30) +
                             "\r\n.\r\n",
                         7),
            -1);
}

class BuiltinScannerTest : public ::testing::Test {
 protected:
  void Write(const std::string& content) {
    std::ofstream out(m_path, std::ios::binary);
    out << content;
  }
  CScratchDirectory m_scratch{"divivez-host-scan-"};
  const std::string m_path = m_scratch.File("message.eml");
};

TEST_F(BuiltinScannerTest, SignatureAcrossTheFilesReadBlocks) {
  // The scanner reads blocks of a power of two up to 64 KiB, or maps a file over
  // 1 MiB; put a signature across a 64 KiB mark of a file of either kind, at every
  // position relative to it.
  const std::string pattern = "SIGNATURE-ACROSS-BLOCKS";
  BuiltinScanner scanner({Signature{"Across", pattern}});
  ScanPacer pacer(nullptr, 0);
  for (size_t mark : {size_t{65536}, (size_t{1} << 20) + 65536}) {
    for (size_t before = 1; before < pattern.size(); ++before) {
      std::string content = "Subject: big\r\n\r\n";
      content += std::string(mark - before - content.size(), 'a');
      content += pattern + "\r\n" + std::string(70000, 'b') + "\r\n.\r\n";
      Write(content);
      const ScanResult result = scanner.Scan(m_path, pacer);
      ASSERT_EQ(result.verdict, Verdict::kInfected) << mark << " " << before;
      EXPECT_EQ(result.signature, "Across");
    }
  }
  Write("Subject: clean\r\n\r\n" + std::string(200000, 'c') + "\r\n.\r\n");
  EXPECT_EQ(scanner.Scan(m_path, pacer).verdict, Verdict::kClean);
}

TEST_F(BuiltinScannerTest, EicarByDefaultAndMissingFileIsAnError) {
  BuiltinScanner scanner({});
  ScanPacer pacer(nullptr, 0);
  Write(MultipartWith("Content-Transfer-Encoding: base64\r\n", Base64(EicarTestString(), 76)));
  const ScanResult infected = scanner.Scan(m_path, pacer);
  EXPECT_EQ(infected.verdict, Verdict::kInfected);
  EXPECT_EQ(infected.signature, "EICAR-Test-File");
  std::filesystem::remove(m_path);
  const ScanResult missing = scanner.Scan(m_path, pacer);
  EXPECT_EQ(missing.verdict, Verdict::kError);
  EXPECT_NE(missing.error.find(m_path), std::string::npos);
  // A directory has no bytes to read: an error, never clean.
  const std::string directory = m_scratch.File("");
  const ScanResult unreadable = scanner.Scan(directory, pacer);
  EXPECT_EQ(unreadable.verdict, Verdict::kError);
  EXPECT_NE(unreadable.error.find(directory), std::string::npos);
  Write("");
  EXPECT_EQ(scanner.Scan(m_path, pacer).verdict, Verdict::kClean);
}

TEST_F(BuiltinScannerTest, ReplacedSetAppliesToLaterScansOnly) {
  BuiltinScanner scanner({Signature{"Old", "OLD-PATTERN"}});
  ScanPacer pacer(nullptr, 0);
  Write("Subject: x\r\n\r\nOLD-PATTERN NEW-PATTERN\r\n.\r\n");
  EXPECT_EQ(scanner.Scan(m_path, pacer).signature, "Old");
  // A scan that took the set before the replacement keeps it whole.
  const std::shared_ptr<const SignatureSet> running = scanner.Current();
  scanner.Replace({Signature{"New", "NEW-PATTERN"}});
  ASSERT_EQ(running->Signatures().size(), 2u);
  EXPECT_EQ(running->Signatures()[1].name, "Old");
  const ScanResult later = scanner.Scan(m_path, pacer);
  EXPECT_EQ(later.verdict, Verdict::kInfected);
  EXPECT_EQ(later.signature, "New");
  // EICAR stays first after a replacement.
  EXPECT_EQ(scanner.Current()->Signatures()[0].name, "EICAR-Test-File");
}

TEST_F(BuiltinScannerTest, ReloadKeepsTheSetWhenTheFileFailsToLoad) {
  const std::string file = m_scratch.File("signatures.txt");
  std::ofstream(file, std::ios::binary) << "First 4649525354\n";
  std::vector<Signature> initial;
  std::string error;
  ASSERT_TRUE(LoadSignatureFile(file, &initial, &error)) << error;
  BuiltinScanner scanner(std::move(initial));
  Logger log;
  SignatureReloader reloader(&scanner, file, &log);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "Second 5345434f4e44\nBroken 4\n";
  EXPECT_FALSE(reloader.Reload());
  EXPECT_EQ(scanner.Current()->Signatures().back().name, "First");
  std::ofstream(file, std::ios::binary | std::ios::trunc);
  EXPECT_FALSE(reloader.Reload());
  EXPECT_EQ(scanner.Current()->Signatures().back().name, "First");
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "Second 5345434f4e44\n";
  EXPECT_TRUE(reloader.Reload());
  ASSERT_EQ(scanner.Current()->Signatures().size(), 2u);
  EXPECT_EQ(scanner.Current()->Signatures().back().name, "Second");
  // Another scanner: nothing to reload.
  SignatureReloader none(nullptr, "", &log);
  EXPECT_FALSE(none.Reload());
}

}  // namespace
