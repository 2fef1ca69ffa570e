#include "support/dialogue_table.h"

#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

// --- Parsing ---

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = static_cast<uint32_t>(std::stoul(text));
  return true;
}

std::string Unescape(const std::string& text, std::string* error) {
  static const struct {
    const char* name;
    const char* bytes;
  } kMacros[] = {{"{354}", kReply354},
                 {"{250A}", kReplyAccepted},
                 {"{452}", kReplyNoStorage},
                 {"{451}", kReplyNotDelivered},
                 {"{502}", kReplyNotAvailable},
                 {"{451S}", kReplyNoSpool},
                 {"{500LF}", kReplyBareLineBreak},
                 {"{500SP}", kReplyLeadingSpace},
                 {"{500BAD}", kReplyMalformed},
                 {"{421X}", kReplyOutOfStep},
                 {"{421L}", kReplyServerLost},
                 {"{552}", kReplyTooBig}};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '{') {
      bool found = false;
      for (const auto& macro : kMacros) {
        if (text.compare(i, std::strlen(macro.name), macro.name) == 0) {
          out += macro.bytes;
          i += std::strlen(macro.name) - 1;
          found = true;
          break;
        }
      }
      if (!found) *error = "unknown {macro}";
      continue;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == text.size()) {
      *error = "backslash at the end of the line";
      break;
    }
    static const char kEscapes[] = "rnt0\\{";
    static const char kBytes[] = {'\r', '\n', '\t', '\0', '\\', '{'};
    const char* simple = text[i] != '\0' ? std::strchr(kEscapes, text[i]) : nullptr;
    if (simple != nullptr) {
      out += kBytes[simple - kEscapes];
    } else if (text[i] == 'x' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      *error = std::string("bad escape \\") + text[i];
    }
  }
  return out;
}

bool IsFuzzKey(const std::string& key) {
  for (const char* fuzzKey : {"A", "M", "R", "F", "SF", "P", "K", "X", "Y", "TOKEN"}) {
    if (key == fuzzKey) return true;
  }
  return false;
}

// "A: 0x20", "X: 9000 bytes", "TOKEN"
void ParseFuzzEvent(const std::string& key, const std::string& payload, SStep* step,
                    std::string* error) {
  if (key == "TOKEN") return;
  std::string number = payload;
  if (key == "X" || key == "Y") {
    size_t space = payload.find(' ');
    number = payload.substr(0, space);
    step->bytes = space == std::string::npos ? "" : Unescape(payload.substr(space + 1), error);
  }
  size_t used = 0;
  try {
    step->a = static_cast<uint32_t>(std::stoul(number, &used, 0));
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != number.size()) *error = "bad number '" + number + "'";
}

// "V: 1 noop=2 thread | text"
bool ParseVerdict(const std::string& payload, SVerdict* verdict, std::string* error) {
  size_t bar = payload.find('|');
  std::istringstream words(payload.substr(0, bar));
  std::string word;
  bool haveResult = false;
  while (words >> word) {
    uint32_t number = 0;
    if (word == "throw") {
      verdict->bThrow = haveResult = true;
    } else if (word == "thread") {
      verdict->bKeepAliveThread = true;
    } else if (word.compare(0, 5, "noop=") == 0 && ParseNumber(word.substr(5), &number)) {
      verdict->nKeepAlives = static_cast<int>(number);
    } else if (!word.empty() &&
               (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-')) {
      verdict->nResult = std::stoi(word);
      haveResult = true;
    } else {
      *error = "bad verdict word '" + word + "'";
      return false;
    }
  }
  if (bar != std::string::npos) {
    size_t start = bar + 1;
    if (start < payload.size() && payload[start] == ' ') ++start;
    verdict->strText = Unescape(payload.substr(start), error);
  }
  if (!haveResult) *error = "verdict without a result";
  return error->empty();
}

}  // namespace

std::vector<SDialogue> ParseDialogues(const std::string& table) {
  std::vector<SDialogue> dialogues;
  std::istringstream lines(table);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line.erase(0, start);
    std::string error;
    if (line.compare(0, 3, "== ") == 0) {
      dialogues.emplace_back();
      dialogues.back().strName = line.substr(3);
      for (char c : dialogues.back().strName) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') error = "bad dialogue name";
      }
    } else if (dialogues.empty()) {
      error = "step before the first '== Name'";
      dialogues.emplace_back();
      dialogues.back().strName = "ParseError";
    } else {
      SDialogue& dialogue = dialogues.back();
      size_t colon = line.find(": ");
      std::string key = line.substr(0, colon == std::string::npos ? line.size() : colon);
      std::string payload = colon == std::string::npos ? "" : line.substr(colon + 2);
      SStep step{EStep::kNoCheck, "", SVerdict(), 0, 0, number, ""};
      uint32_t value = 0;
      bool isStep = true;
      if (key == "S" || key == "C" || key == ">S" || key == ">C" || key == ">F") {
        step.kind = key == "S"    ? EStep::kServer
                    : key == "C"  ? EStep::kClient
                    : key == ">S" ? EStep::kExpectServer
                    : key == ">C" ? EStep::kExpectClient
                                  : EStep::kExpectSpool;
        step.bytes = Unescape(payload, &error);
      } else if (key == "V") {
        step.kind = EStep::kVerdict;
        ParseVerdict(payload, &step.verdict, &error);
      } else if (key == "T" && payload.size() > 1 && ParseNumber(payload.substr(1), &value) &&
                 (payload[0] == '+' || payload[0] == '=')) {
        step.kind = payload[0] == '+' ? EStep::kTickAdvance : EStep::kTickSet;
        step.a = value;
      } else if (IsFuzzKey(key)) {
        step.kind = EStep::kFuzzEvent;
        step.strFuzzKey = key;
        ParseFuzzEvent(key, payload, &step, &error);
      } else if (key == ">P") {
        std::istringstream numbers(payload);
        step.kind = EStep::kExpectProgress;
        if (!(numbers >> step.a >> step.b)) error = "'>P: done total' expected";
      } else if (key == "~") {
        step.kind = EStep::kNoCheck;
      } else if (key == "nospool") {
        step.kind = EStep::kNoSpool;
      } else {
        isStep = false;
        if (key == "keepalive" && ParseNumber(payload, &value)) {
          dialogue.nKeepAliveSeconds = static_cast<int>(value);
        } else if (key == "nocallback") {
          dialogue.bNoCallback = true;
        } else if (key == "loose") {
          dialogue.bLoose = true;
        } else if (key == "callback" && ParseNumber(payload, &value) && value >= 1) {
          dialogue.nCallbackVersion = static_cast<int>(value);
        } else if (key == "trusted") {
          dialogue.bTrustForwarding = true;
        } else if (key == "relay-unspooled") {
          dialogue.bRelayUnspooled = true;
        } else if (key == "fault" && payload == "create") {
          dialogue.bFailCreate = true;
        } else if (key == "fault" && payload == "openread") {
          dialogue.bFailOpenRead = true;
        } else if (key == "fault" && payload.compare(0, 6, "write ") == 0 &&
                   ParseNumber(payload.substr(6), &value)) {
          dialogue.nFailWriteAt = static_cast<int>(value);
        } else if (key == "fault" && payload.compare(0, 6, "short ") == 0 &&
                   ParseNumber(payload.substr(6), &value)) {
          dialogue.nShortWriteAt = static_cast<int>(value);
        } else {
          error = "unknown line";
        }
      }
      if (isStep) dialogue.steps.push_back(step);
    }
    if (!error.empty() && dialogues.back().strError.empty()) {
      dialogues.back().strError = "line " + std::to_string(number) + ": " + error + ": " + line;
    }
  }
  return dialogues;
}

SDialogue& SDialogue::Add(EStep kind, const std::string& bytes, uint32_t a, uint32_t b) {
  steps.push_back({kind, bytes, SVerdict(), a, b, 0, ""});
  return *this;
}

SDialogue& SDialogue::Verdict(const SVerdict& verdict) {
  steps.push_back({EStep::kVerdict, "", verdict, 0, 0, 0, ""});
  return *this;
}

void PrintTo(const SDialogue& dialogue, std::ostream* os) { *os << dialogue.strName; }

std::string TablesInSource(const std::string& source) {
  static const char kOpen[] = "R\"DLG(";
  static const char kClose[] = ")DLG\"";
  std::string tables;
  size_t pos = 0;
  for (;;) {
    size_t start = source.find(kOpen, pos);
    if (start == std::string::npos) break;
    start += std::strlen(kOpen);
    size_t end = source.find(kClose, start);
    if (end == std::string::npos) break;
    if (!tables.empty()) tables += '\n';
    tables.append(source, start, end - start);
    pos = end + std::strlen(kClose);
  }
  return tables;
}
