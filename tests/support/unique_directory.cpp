#include "support/unique_directory.h"

#include <filesystem>
#include <random>
#include <system_error>

std::string CreateUniqueDirectory(const std::string& base, const char* prefix) {
  if (base.empty()) return std::string();
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = base + prefix + std::to_string(random() % 1000000000u);
    std::error_code error;
    if (std::filesystem::create_directory(path, error)) return path;
    if (error) return std::string();  // not a name clash: no use retrying
  }
  return std::string();
}
