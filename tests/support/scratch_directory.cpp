#include "support/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

CScratchDirectory::CScratchDirectory(const std::string& prefix, const std::string& base) {
  std::error_code error;
  const fs::path parent = base.empty() ? fs::temp_directory_path(error) : fs::path(base);
  if (error || parent.empty()) {
    ADD_FAILURE() << "no temporary directory: " << error.message();
    return;
  }
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path path = parent / (prefix + std::to_string(random() % 1000000000u));
    if (fs::create_directory(path, error)) {
      m_strPath = path.string();
      return;
    }
    if (error) break;  // not a name clash: no use retrying
  }
  ADD_FAILURE() << "cannot create a directory in " << parent.string() << ": " << error.message();
}

CScratchDirectory::~CScratchDirectory() {
  if (m_strPath.empty()) return;
  std::error_code error;
  fs::remove_all(m_strPath, error);
}

std::string CScratchDirectory::File(const std::string& name) const {
  return (fs::path(m_strPath) / name).string();
}
