// libFuzzer target: the settings file (host/config_file.cpp), read as
// --config reads it: from a file (in $TMPDIR), then merged with an empty
// command line and checked as the proxy's start does.
//
// Checked: the file's reading (ConfigFileArguments on the same text) and
// the whole start agree, a refusal of the reading being the start's with
// the same one-line message; a start that succeeds has routes, each with a
// listener; and the top-level lines the reading gives, written back as
// `name = "value"` lines, are read again as the same lines.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/config_file.h"
#include "reader_fuzz.h"

namespace {

using Lines = std::vector<std::vector<std::string>>;

// One file per process, rewritten for each input.
const std::string& FilePath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/divivez-config-fuzz-" +
           std::to_string(getpid()) + ".conf";
  }();
  return path;
}

bool WriteFile(const std::string& text) {
  std::FILE* file = std::fopen(FilePath().c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

std::string WrittenBack(const Lines& lines) {
  std::string text;
  for (const std::vector<std::string>& line : lines) {
    text += line[0];
    if (line.size() > 1) text += " = \"" + line[1] + "\"";
    text += "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Lines lines;
  std::vector<RouteSection> routes;
  std::string readError;
  const bool read = ConfigFileArguments(text, FilePath(), &lines, &routes, &readError);
  FUZZ_CHECK(read || !readError.empty(), "a refusal without its reason");
  FUZZ_CHECK(readError.find('\n') == std::string::npos, "an error of more than one line");

  FUZZ_CHECK(WriteFile(text), "cannot write " + FilePath());
  Options options;
  std::string error;
  const bool started = ParseCommandLine({"--config", FilePath()}, &options, &error);
  FUZZ_CHECK(error.find('\n') == std::string::npos, "an error of more than one line");
  if (!read) {
    FUZZ_CHECK(!started && error == readError, "the start and the reading disagree: " + error);
    return 0;
  }
  if (started) {
    FUZZ_CHECK(!options.routes.empty(), "a start without a route");
    for (const RouteSettings& route : options.routes) {
      FUZZ_CHECK(!route.listen.empty() || !route.listenTls.empty(),
                 "route '" + route.name + "' without a listener");
    }
  } else {
    FUZZ_CHECK(!error.empty(), "a refusal without its reason");
  }

  for (const std::vector<std::string>& line : lines) {
    FUZZ_CHECK(line.size() == 1 || line.size() == 2, "a line of " + std::to_string(line.size()));
    FUZZ_CHECK(line[0].compare(0, 2, "--") == 0, "an option without its dashes: " + line[0]);
  }
  const std::string back = WrittenBack(lines);
  Lines again;
  std::vector<RouteSection> routesAgain;
  FUZZ_CHECK(ConfigFileArguments(back, FilePath(), &again, &routesAgain, &error),
             "the lines written back are refused: " + error);
  FUZZ_CHECK(again == lines && routesAgain.empty(),
             "the lines written back read differently: " + FuzzShow(back));
  return 0;
}
