// The builtin scanner: byte signatures (the EICAR test file and those of a
// signature file) looked for in the message as sent and inside its base64
// MIME parts.
//
// Everything streams in fixed memory: the spool file is read in 16 KiB blocks
// (no stdio buffer), the dot-stuffing undone a line at a time, base64 bodies
// decoded on the fly, four characters at a time, and each matcher keeps the
// last (longest signature - 1) bytes so that a signature split across two
// blocks is found. The signatures are prepared once (SignatureSet) and are
// immutable after construction; Scan keeps its state on the calling thread,
// so one scanner serves all connections. bench/scanner_bench.cpp measures the
// scanner alone.
#ifndef DIVIVEZ_HOST_SCAN_SIGNATURE_SCANNER_H_
#define DIVIVEZ_HOST_SCAN_SIGNATURE_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/scan/scanner.h"
#include "host/smtp/smtp_data.h"

struct Signature {
  std::string name;
  std::string bytes;
};

// The 68-byte EICAR anti-virus test string. Built at run time so that this
// program's own files do not carry it.
std::string EicarTestString();

// One line of a signature file: "NAME HEX..." (hex digits, spaces between
// byte pairs allowed), blank, or a '#' comment. *isEntry tells whether the
// line held a signature. The longest pattern is kMaxSignatureBytes.
constexpr size_t kMaxSignatureBytes = 4096;
bool ParseSignatureLine(const std::string& line, Signature* signature, bool* isEntry,
                        std::string* error);

// Reads a signature file; errors name the file and line. A file that holds
// no signature is refused, and so is one whose count differs from what a
// line "# signatures: N" in it announces: both are what a file caught while
// being written in place looks like.
bool LoadSignatureFile(const std::string& path, std::vector<Signature>* signatures,
                       std::string* error);

// A set of byte patterns prepared for search, immutable once built (one
// serves every connection). Each pattern is anchored on its rarest byte by a
// fixed estimate of how often each byte value occurs in mail (letters,
// digits, the base64 alphabet and line ends most, control and 8-bit bytes
// least), so that the cost of a search does not depend on how common a
// pattern's first byte is: the anchor bytes are found with memchr (a table
// when there are many distinct ones), and only there are a second byte and
// then the whole pattern compared.
class SignatureSet {
 public:
  explicit SignatureSet(std::vector<Signature> signatures);
  const std::vector<Signature>& Signatures() const { return m_signatures; }
  size_t Longest() const { return m_longest; }
  // The index of a pattern that lies wholly inside data, or -1.
  int SearchIn(const char* data, size_t length) const;

 private:
  struct Anchored {
    uint32_t signature;  // index into m_signatures
    uint32_t anchor;     // offset of the anchor byte in the pattern
    uint32_t check;      // offset of a second rare byte, compared first
  };
  int SearchAnchor(unsigned char anchor, const char* data, size_t length) const;
  int Verify(const char* data, size_t length, size_t at) const;

  std::vector<Signature> m_signatures;
  size_t m_longest = 0;
  std::vector<unsigned char> m_anchorBytes;  // the distinct anchor bytes
  // Patterns by anchor byte: m_anchored[m_first[b] .. m_first[b + 1]).
  std::vector<Anchored> m_anchored;
  uint32_t m_first[257] = {};
};

// Finds the first of a set of byte patterns in a stream fed in pieces of any
// size. Memory: two buffers of the longest pattern, allocated once.
class StreamMatcher {
 public:
  explicit StreamMatcher(const SignatureSet& signatures);
  // Builds its own SignatureSet (for tests and one-off use).
  explicit StreamMatcher(const std::vector<Signature>& signatures);
  // Returns the index of a signature found so far, or -1. Once something is
  // found, further input is ignored.
  int Feed(const char* data, size_t length);
  int Found() const { return m_found; }
  // Forgets the stream (and a find).
  void Reset();

 private:
  std::unique_ptr<SignatureSet> m_owned;
  const SignatureSet& m_set;
  size_t m_keep = 0;         // longest pattern - 1
  std::vector<char> m_tail;  // last m_keep bytes of the stream
  size_t m_tailLength = 0;
  std::vector<char> m_seam;  // tail + head of the next piece
  int m_found = -1;
};

// Follows the MIME structure of a message line by line, just enough to
// decode the bodies whose Content-Transfer-Encoding is base64, and hands the
// decoded bytes of each part to a matcher. Lines are found with memchr;
// base64 text is decoded four characters at a time through a table, a
// character at a time only around what is not in the alphabet (line ends,
// padding).
class Base64PartDecoder {
 public:
  explicit Base64PartDecoder(StreamMatcher* decoded) : m_decoded(decoded) {}
  void Feed(const char* data, size_t length);
  // Passes on bytes still in the output buffer.
  void Flush();

 private:
  enum class Mode { kHeaders, kBody, kBase64Body };
  static constexpr size_t kHeaderMax = 256;

  // A piece of one line, without its LF.
  void LinePiece(const char* data, const char* end);
  void HeaderPiece(const char* data, const char* end);
  void DecodeBase64(const char* data, const char* end);
  void DecodeOne(char c);
  void EndLine();
  void EvaluateHeader();
  void EndBase64Part();
  void Emit(unsigned char byte);

  StreamMatcher* m_decoded;
  Mode m_mode = Mode::kHeaders;
  bool m_partIsBase64 = false;
  size_t m_lineLength = 0;  // bytes of the current line seen but CR, up to 2
  char m_lineHead[2] = {0, 0};
  char m_header[kHeaderMax];  // the current logical header (unfolded), cut
  size_t m_headerLength = 0;
  uint32_t m_quantum = 0;
  int m_quantumChars = 0;
  char m_out[4096];
  size_t m_outLength = 0;
};

// The scan of one message, fed the spool file's bytes in order.
class MessageScan {
 public:
  explicit MessageScan(const SignatureSet& signatures);
  // Builds its own SignatureSet (for tests and one-off use).
  explicit MessageScan(const std::vector<Signature>& signatures);
  void Feed(const char* data, size_t length);
  // The index of the signature found, or -1 (call after the last Feed).
  int Finish();
  // True once a signature has been found: the rest need not be read.
  bool HasFound() const { return m_raw.Found() >= 0 || m_decodedMatcher.Found() >= 0; }

 private:
  std::unique_ptr<SignatureSet> m_owned;
  DotUnstuffer m_unstuffer;
  StreamMatcher m_raw;
  StreamMatcher m_decodedMatcher;
  Base64PartDecoder m_decoder;
  std::unique_ptr<char[]> m_content;  // unstuffed block, allocated once, not zeroed
};

// The set of signatures can be replaced while scans run (a reload of the
// signature file): a scan takes the set in force when it starts and keeps it
// to its end, so a replacement applies to the scans that start after it.
class BuiltinScanner : public IScanner {
 public:
  // The EICAR test string comes first, then the given signatures.
  explicit BuiltinScanner(std::vector<Signature> extra);
  ScanResult Scan(const std::string& path, ScanPacer& pacer) override;
  std::string Describe() const override;
  // In memory and at memory speed: up to a megabyte is a fraction of a
  // millisecond.
  bool QuickFor(uint64_t bytes) const override { return bytes <= (1u << 20); }
  // Puts a new set (the EICAR test string first, then extra) in force for
  // scans that start from now on. Thread-safe.
  void Replace(std::vector<Signature> extra);
  // The set in force now.
  std::shared_ptr<const SignatureSet> Current() const;

 private:
  mutable std::mutex m_mutex;
  std::shared_ptr<const SignatureSet> m_set;  // guarded by m_mutex; never null
};

#endif  // DIVIVEZ_HOST_SCAN_SIGNATURE_SCANNER_H_
