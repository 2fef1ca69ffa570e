// Turns dialogue tables into inputs for the dialogue fuzzer.
//
//   divivez_dialogue_corpus OUTDIR TABLE...
//
// Reads dialogue tables (the notation of tests/support/dialogue_table.h,
// through its parser): the unit tests' tables inside C++ files (*.inc, *.cpp:
// their R"DLG( ... )DLG" strings) and the fuzzer's own plain tables (*.dlg,
// which may hold the steps only the fuzzer plays). Writes one input per
// dialogue into OUTDIR, named after the table, the dialogue and the first 8
// hex digits of the input's SHA-1, in the event script dialogue_fuzzer.cpp
// decodes. Expectations are dropped: the fuzzer's model checks every input
// itself. The settings "keepalive: n", "nocallback", "relay-unspooled",
// "callback: 2" and "trusted" become the bits of the RECONNECT that starts
// each dialogue's connection, its spool fault the SPOOLFAULT after it.
//
// Exit status: 0 when every dialogue was written; 1 on a syntax error in a
// table or a file that cannot be read or written; 2 on misuse.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "support/dialogue_table.h"
#include "tests/fuzz/fuzz_events.h"

namespace {

// SHA-1 (FIPS 180-4), for input names that stay the same from run to run.
std::string Sha1Hex(const std::string& message) {
  uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::string data = message;
  const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
  data += '\x80';
  while (data.size() % 64 != 56) data += '\0';
  for (int shift = 56; shift >= 0; shift -= 8) data += static_cast<char>((bits >> shift) & 0xFF);
  auto rotl = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
  for (size_t block = 0; block < data.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(&data[block + 4 * i]);
      w[i] = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
             (static_cast<uint32_t>(p[2]) << 8) | p[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999u;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1u;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDCu;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6u;
      }
      uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = rotl(b, 30);
      b = a;
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  char hex[41];
  for (int i = 0; i < 5; ++i) std::snprintf(hex + 8 * i, 9, "%08x", h[i]);
  return hex;
}

// The event script of one dialogue.
class CScript {
 public:
  void Op(EOp op) { Byte(static_cast<uint32_t>(op)); }
  void Op(EOp op, uint32_t byte) {
    Op(op);
    Byte(byte);
  }
  void Byte(uint32_t byte) { m_strOut += static_cast<char>(byte & 0xFF); }
  // "data": a length byte (255: a 16-bit little-endian length follows) and
  // that many bytes, at most 65535.
  void Data(const std::string& bytes) {
    const size_t length = std::min<size_t>(bytes.size(), 65535);
    if (length < 255) {
      m_strOut += static_cast<char>(length);
    } else {
      m_strOut += '\xFF';
      m_strOut += static_cast<char>(length & 0xFF);
      m_strOut += static_cast<char>(length >> 8);
    }
    m_strOut.append(bytes, 0, length);
  }
  void Ticks(uint32_t delta) {
    m_dwTick += delta;
    while (delta > 0) {
      const uint32_t step = std::min<uint32_t>(delta, 65535);
      Op(kOpTick, step);
      Byte(step >> 8);
      delta -= step;
    }
  }
  void SetTick(uint32_t tick) { m_dwTick = tick; }
  uint32_t Tick() const { return m_dwTick; }
  const std::string& Bytes() const { return m_strOut; }

 private:
  std::string m_strOut;
  uint32_t m_dwTick = 0;
};

// The settings of a dialogue apply to a connection of its own.
void Start(const SDialogue& dialogue, CScript* script) {
  uint32_t bits = static_cast<uint32_t>(dialogue.nKeepAliveSeconds) & 7;
  if (dialogue.bNoCallback) bits |= 8;
  if (dialogue.bRelayUnspooled) bits |= 32;
  if (dialogue.nCallbackVersion >= 2) bits |= 64;
  if (dialogue.bTrustForwarding) bits |= 128;
  script->Op(kOpReconnect, bits);
  script->SetTick(0xFFFFF000u);  // the fuzzer's second connection starts here
  // SPOOLFAULT: create 0, write 1, short 2, reopen 4; the nth write is the
  // (n - 1)-th next, at most the third.
  auto nth = [](int n) { return static_cast<uint32_t>(std::min(n - 1, 3)) << 3; };
  if (dialogue.bFailCreate) script->Op(kOpSpoolFault, 0);
  if (dialogue.nFailWriteAt > 0) script->Op(kOpSpoolFault, 1 | nth(dialogue.nFailWriteAt));
  if (dialogue.nShortWriteAt > 0) script->Op(kOpSpoolFault, 2 | nth(dialogue.nShortWriteAt));
  if (dialogue.bFailOpenRead) script->Op(kOpSpoolFault, 4);
}

std::string Encode(const SDialogue& dialogue) {
  CScript script;
  bool started = false;
  for (const SStep& step : dialogue.steps) {
    switch (step.kind) {
      case EStep::kExpectServer:
      case EStep::kExpectClient:
      case EStep::kExpectSpool:
      case EStep::kExpectProgress:
      case EStep::kNoCheck:
      case EStep::kNoSpool:
        continue;
      case EStep::kServer:
      case EStep::kClient:
      case EStep::kVerdict:
      case EStep::kTickAdvance:
      case EStep::kTickSet:
      case EStep::kFuzzEvent:
        break;
    }
    if (!started) Start(dialogue, &script);
    started = true;
    switch (step.kind) {
      case EStep::kClient:
      case EStep::kServer:
        script.Op(step.kind == EStep::kClient ? kOpClient : kOpServer);
        script.Data(step.bytes);
        break;
      case EStep::kVerdict: {
        // The fuzzer's verdicts: 0, 1, a negative result, a larger one; 2
        // under callback version 2, a rejection.
        const int32_t result = step.verdict.bThrow ? 0 : step.verdict.nResult;
        if (step.verdict.bThrow) script.Op(kOpThrow);
        const bool reject = dialogue.nCallbackVersion >= 2 && result == 2;
        script.Op(kOpVerdict, reject ? 4 : result == 0 ? 0 : result == 1 ? 1 : result > 0 ? 3 : 2);
        script.Data(step.verdict.strText);
        if (step.verdict.nKeepAlives > 0) {
          script.Op(kOpKeepAlive, static_cast<uint32_t>(step.verdict.nKeepAlives) & 7);
        }
        break;
      }
      case EStep::kTickAdvance:
        script.Ticks(step.a);
        break;
      case EStep::kTickSet: {
        // Set by advancing; a jump much further than the table's own steps
        // is left out (the fuzzer's ticks are small).
        const uint32_t delta = step.a - script.Tick();
        if (delta <= 10u * 65535u) script.Ticks(delta);
        break;
      }
      case EStep::kFuzzEvent: {
        static const struct {
          const char* key;
          EOp op;
        } kEvents[] = {{"A", kOpAuto},        {"M", kOpMessage},     {"R", kOpReconnect},
                       {"F", kOpSocketFault}, {"SF", kOpSpoolFault}, {"P", kOpPoll},
                       {"K", kOpKeepAlive},   {"X", kOpRepeat},      {"Y", kOpServerRepeat},
                       {"TOKEN", kOpToken}};
        for (const auto& event : kEvents) {
          if (step.strFuzzKey != event.key) continue;
          if (event.op == kOpToken) {
            script.Op(kOpToken);
          } else if (event.op == kOpRepeat || event.op == kOpServerRepeat) {
            script.Op(event.op, step.a);
            script.Byte(step.a >> 8);
            script.Data(step.bytes);
          } else {
            script.Op(event.op, step.a);
          }
        }
        break;
      }
      case EStep::kExpectServer:
      case EStep::kExpectClient:
      case EStep::kExpectSpool:
      case EStep::kExpectProgress:
      case EStep::kNoCheck:
      case EStep::kNoSpool:
        break;
    }
  }
  return script.Bytes();
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: divivez_dialogue_corpus OUTDIR TABLE...\n");
    return 2;
  }
  const std::string outdir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(outdir, error);
  int count = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    std::string text;
    if (!ReadFile(path, &text)) {
      std::fprintf(stderr, "dialogue_corpus: cannot read %s\n", path.c_str());
      return 1;
    }
    if (EndsWith(path, ".inc") || EndsWith(path, ".cpp")) text = TablesInSource(text);
    std::string base = path.substr(path.find_last_of("/\\") + 1);
    base = base.substr(0, base.find_last_of('.'));
    for (const SDialogue& dialogue : ParseDialogues(text)) {
      if (!dialogue.strError.empty()) {
        std::fprintf(stderr, "dialogue_corpus: %s, dialogue %s: %s\n", path.c_str(),
                     dialogue.strName.c_str(), dialogue.strError.c_str());
        return 1;
      }
      const std::string script = Encode(dialogue);
      const std::string name =
          outdir + "/" + base + "-" + dialogue.strName + "-" + Sha1Hex(script).substr(0, 8);
      std::ofstream out(name, std::ios::binary);
      out.write(script.data(), static_cast<std::streamsize>(script.size()));
      if (!out) {
        std::fprintf(stderr, "dialogue_corpus: cannot write %s\n", name.c_str());
        return 1;
      }
      ++count;
    }
  }
  std::printf("%d inputs written to %s\n", count, outdir.c_str());
  return 0;
}
