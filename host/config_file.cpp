// The configuration file. See config_file.h.
#include "host/config_file.h"

#include <map>
#include <utility>

#include "host/base/os.h"

namespace {

// Larger than any sensible configuration; a device or a wrong file is not
// read without bound.
constexpr size_t kMaxConfigBytes = 1024 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsRouteNameChar(char c) { return IsNameChar(c) || c == '_'; }

// "[route NAME]", blanks allowed around the words. False with *error.
bool ParseSectionHeader(const std::string& line, size_t open, std::string* name,
                        std::string* error) {
  size_t i = open + 1;
  while (i < line.size() && IsBlank(line[i])) ++i;
  const std::string keyword = "route";
  size_t nameStart = i + keyword.size();
  if (line.compare(i, keyword.size(), keyword) != 0 || nameStart >= line.size() ||
      !IsBlank(line[nameStart])) {
    *error = "expected [route NAME]";
    return false;
  }
  while (nameStart < line.size() && IsBlank(line[nameStart])) ++nameStart;
  size_t nameEnd = nameStart;
  while (nameEnd < line.size() && IsRouteNameChar(line[nameEnd])) ++nameEnd;
  size_t close = nameEnd;
  while (close < line.size() && IsBlank(line[close])) ++close;
  size_t rest = close + 1;
  while (rest < line.size() && IsBlank(line[rest])) ++rest;
  if (nameEnd == nameStart || close >= line.size() || line[close] != ']' || rest != line.size()) {
    *error = "expected [route NAME], NAME of letters, digits, '-' and '_'";
    return false;
  }
  *name = line.substr(nameStart, nameEnd - nameStart);
  return true;
}

bool ReadConfigFile(const std::string& path, std::string* text, std::string* error) {
  if (!OsReadRegularFile(path, kMaxConfigBytes, text, error)) {
    *error = "--config: " + *error;
    return false;
  }
  return true;
}

// A flag's line with a value as one word, "--require-tls=no": the form
// ParseOptionWords takes from a file.
std::vector<std::string> LineWords(const std::vector<std::string>& line) {
  if (line.size() == 2 && OptionIsFlag(line[0])) return {line[0] + "=" + line[1]};
  return line;
}

}  // namespace

bool ConfigFileArguments(const std::string& text, const std::string& fileName,
                         std::vector<std::vector<std::string>>* lines,
                         std::vector<RouteSection>* routes, std::string* error) {
  size_t start = 0;
  // A byte order mark some editors write.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  int lineNumber = 0;
  std::map<std::string, int> firstLine;  // each single-valued option's line, in its section
  std::map<std::string, int> routeLine;  // each route's header line
  RouteSection* section = nullptr;       // the section the lines belong to; null: the top level
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    const std::string where = fileName + ":" + std::to_string(lineNumber) + ": ";

    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == '#') continue;
    if (line[i] == '[') {
      std::string name;
      if (!ParseSectionHeader(line, i, &name, error)) {
        *error = where + *error;
        return false;
      }
      const auto first = routeLine.emplace(name, lineNumber);
      if (!first.second) {
        *error = where + "route '" + name + "' given again (first on line " +
                 std::to_string(first.first->second) + ")";
        return false;
      }
      routes->emplace_back();
      section = &routes->back();
      section->route.name = name;
      section->where = fileName + ":" + std::to_string(lineNumber);
      firstLine.clear();
      continue;
    }
    size_t nameEnd = i;
    while (nameEnd < line.size() && IsNameChar(line[nameEnd])) ++nameEnd;
    std::string name = line.substr(i, nameEnd - i);
    if (name.compare(0, 2, "--") == 0) name.erase(0, 2);
    size_t valueStart = nameEnd;
    while (valueStart < line.size() && IsBlank(line[valueStart])) ++valueStart;
    const bool equals = valueStart < line.size() && line[valueStart] == '=';
    if (equals) {
      ++valueStart;
      while (valueStart < line.size() && IsBlank(line[valueStart])) ++valueStart;
    }
    if (name.empty() || name[0] == '-' ||
        (nameEnd < line.size() && !IsBlank(line[nameEnd]) && line[nameEnd] != '=')) {
      *error = where + "expected NAME = VALUE";
      return false;
    }
    const OptionRow* row = FindOption("--" + name);
    if (row == nullptr) row = FindOption("-" + name);  // a short one, "h"
    if (row != nullptr && (row->places & kOptCommandLineOnly) != 0) {
      *error = where + name + " cannot be given in a configuration file";
      return false;
    }
    size_t valueEnd = line.size();
    while (valueEnd > valueStart && IsBlank(line[valueEnd - 1])) --valueEnd;
    std::string value = line.substr(valueStart, valueEnd - valueStart);
    // The value would end at the NUL wherever it is used as a C string (a
    // path cut short).
    if (value.find('\0') != std::string::npos) {
      *error = where + "the value contains a NUL byte";
      return false;
    }
    if (!value.empty() && value.front() == '"') {
      if (value.size() < 2 || value.back() != '"') {
        *error = where + "unterminated quote: a quoted value ends in '\"'";
        return false;
      }
      value = value.substr(1, value.size() - 2);
    }
    // A second line for the same option would silently override the first
    // (the last one read wins). Refused even with the same value: which
    // values mean the same ("30" and "030", ".5" and "0.5") is the
    // parser's business, and one line is what the reader of the file
    // should find.
    const std::string option = "--" + name;
    if (!OptionAccumulates(option)) {
      const auto first = firstLine.emplace(option, lineNumber);
      if (!first.second) {
        *error = where + option + " given again (first on line " +
                 std::to_string(first.first->second) + ")";
        return false;
      }
    }
    const bool hasValue = valueStart < valueEnd || equals;
    std::string reason;
    if (section != nullptr) {
      if (!ParseRouteOption(option, value, hasValue, section, &reason)) {
        *error = where + "route '" + section->route.name + "': " + reason;
        return false;
      }
      continue;
    }
    std::vector<std::string> one = {option};
    if (hasValue) one.push_back(value);
    Options scratch;
    if (!ParseOptionWords(LineWords(one), OptionSource::kFile, &scratch, &reason) ||
        !CheckOptions(scratch, &reason)) {
      *error = where + reason;
      return false;
    }
    lines->push_back(std::move(one));
  }
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, Options* options, std::string* error) {
  Options given = *options;
  const bool ok = ParseOptions(args, &given, error);
  // An error before --config, or none given: the command line alone
  // decides. An error after it recurs below, where the arguments are parsed
  // again after the file's (and a check across options may pass there with
  // what the file adds).
  if (given.configFile.empty() || (ok && (given.help || given.version))) {
    *options = given;
    return ok;
  }
  std::string text;
  std::vector<std::vector<std::string>> lines;
  std::vector<RouteSection> routes;
  if (!ReadConfigFile(given.configFile, &text, error) ||
      !ConfigFileArguments(text, given.configFile, &lines, &routes, error)) {
    return false;
  }
  std::vector<std::string> fromFile;
  for (const std::vector<std::string>& line : lines) {
    bool overridden = false;
    for (const GivenOption& option : given.given) {
      overridden = overridden || OptionOverrides(option.name, line[0]);
    }
    if (overridden) continue;
    const std::vector<std::string> words = LineWords(line);
    fromFile.insert(fromFile.end(), words.begin(), words.end());
  }
  // The command line's words after the file's, so that what they set last
  // wins; the checks see both.
  Options merged = *options;
  if (!ParseOptionWords(fromFile, OptionSource::kFile, &merged, error) ||
      !ParseOptionWords(args, OptionSource::kCommandLine, &merged, error)) {
    return false;
  }
  if (!merged.help && !merged.version &&
      (!CheckOptions(merged, error) || !FinishRoutes(routes, &merged, error))) {
    return false;
  }
  *options = std::move(merged);
  return true;
}
