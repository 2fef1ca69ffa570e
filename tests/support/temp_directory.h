#ifndef DIVIVEZ_TESTS_SUPPORT_TEMP_DIRECTORY_H_
#define DIVIVEZ_TESTS_SUPPORT_TEMP_DIRECTORY_H_

#include <map>
#include <string>
#include <vector>

// A private temporary directory for the plug-in's spool files: TMP, TEMP and
// TMPDIR point to it while it lives, and it is removed with what it holds.
// Test processes run side by side (ctest -j), so the directory gets a random
// name, claimed by creating it.
class CTempDirectory {
 public:
  explicit CTempDirectory(const char* prefix = "divivez-tests-");
  ~CTempDirectory();
  CTempDirectory(const CTempDirectory&) = delete;
  CTempDirectory& operator=(const CTempDirectory&) = delete;

  // Without a trailing separator; empty when the directory could not be made.
  const std::string& Path() const { return m_strPath; }
  // Spool-like files ("divivez*.tmp") in the directory.
  std::vector<std::string> LeftoverSpoolFiles() const;

 private:
  std::string m_strPath;
  std::map<std::string, std::string> m_savedEnv;
};

#endif  // DIVIVEZ_TESTS_SUPPORT_TEMP_DIRECTORY_H_
