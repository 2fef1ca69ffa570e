#ifndef DIVIVEZ_TESTS_SUPPORT_TEMP_DIRECTORY_H_
#define DIVIVEZ_TESTS_SUPPORT_TEMP_DIRECTORY_H_

#include <map>
#include <string>
#include <vector>

#include "support/scratch_directory.h"

// A private temporary directory for the plug-in's spool files: TMP, TEMP and
// TMPDIR point to it while it lives, and it is removed with what it holds.
class CTempDirectory {
 public:
  explicit CTempDirectory(const char* prefix = "divivez-tests-");
  ~CTempDirectory();
  CTempDirectory(const CTempDirectory&) = delete;
  CTempDirectory& operator=(const CTempDirectory&) = delete;

  // Without a trailing separator; empty when the directory could not be made.
  const std::string& Path() const { return m_dir.Path(); }
  // Spool-like files ("divivez*.tmp") in the directory.
  std::vector<std::string> LeftoverSpoolFiles() const;

 private:
  CScratchDirectory m_dir;  // removed once the destructor has restored the variables
  std::map<std::string, std::string> m_savedEnv;
};

#endif  // DIVIVEZ_TESTS_SUPPORT_TEMP_DIRECTORY_H_
