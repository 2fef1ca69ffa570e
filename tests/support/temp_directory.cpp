#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// Environment variables: the helpers keep the platform difference here.
std::string GetEnv(const char* name, bool* pSet) {
  const char* value = std::getenv(name);
  *pSet = value != nullptr;
  return value != nullptr ? value : "";
}

void SetEnv(const std::string& name, const std::string* value) {
#ifdef _WIN32
  _putenv((name + "=" + (value != nullptr ? *value : "")).c_str());
  SetEnvironmentVariableA(name.c_str(), value != nullptr ? value->c_str() : nullptr);
#else
  if (value != nullptr) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

std::string TempPath() {
  char buffer[MAX_PATH + 1] = {};
  DWORD length = GetTempPathA(MAX_PATH, buffer);
  return std::string(buffer, std::min<size_t>(length, MAX_PATH));
}

bool IsSpoolName(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return name.size() >= 11 && name.compare(0, 7, "divivez") == 0 &&
         name.compare(name.size() - 4, 4, ".tmp") == 0;
}

std::set<std::string> SpoolFilesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (IsSpoolName(name)) names.insert(name);
  }
  return names;
}

}  // namespace

CTempDirectory::CTempDirectory(const char* prefix) : m_dir(prefix, TempPath()) {
  if (m_dir.Path().empty()) return;
  for (const char* name : {"TMP", "TEMP", "TMPDIR"}) {
    bool set = false;
    std::string old = GetEnv(name, &set);
    if (set) m_savedEnv[name] = old;
    SetEnv(name, &m_dir.Path());
  }
  std::string now = TempPath();
  while (!now.empty() && (now.back() == '/' || now.back() == '\\')) now.pop_back();
  if (now != m_dir.Path()) {
    ADD_FAILURE() << "the temporary path ignores TMP/TEMP/TMPDIR: " << now;
  }
}

CTempDirectory::~CTempDirectory() {
  for (const char* name : {"TMP", "TEMP", "TMPDIR"}) {
    auto it = m_savedEnv.find(name);
    SetEnv(name, it != m_savedEnv.end() ? &it->second : nullptr);
  }
}

std::vector<std::string> CTempDirectory::LeftoverSpoolFiles() const {
  std::set<std::string> names = SpoolFilesIn(m_dir.Path());
  return std::vector<std::string>(names.begin(), names.end());
}
