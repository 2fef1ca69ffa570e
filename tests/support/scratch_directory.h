#ifndef DIVIVEZ_TESTS_SUPPORT_SCRATCH_DIRECTORY_H_
#define DIVIVEZ_TESTS_SUPPORT_SCRATCH_DIRECTORY_H_

#include <string>

// A new, empty directory with a random name, removed with what it holds when
// the object goes. Test processes run side by side (ctest -j, or two checkouts
// at once), so a fixed or clock-based name could be shared; creating the
// directory is what claims the name.
class CScratchDirectory {
 public:
  // In base, or in the system's temporary directory when base is empty.
  explicit CScratchDirectory(const std::string& prefix, const std::string& base = std::string());
  ~CScratchDirectory();
  CScratchDirectory(const CScratchDirectory&) = delete;
  CScratchDirectory& operator=(const CScratchDirectory&) = delete;

  // Empty when no directory could be made (a test failure is recorded).
  const std::string& Path() const { return m_strPath; }
  // The path of a name inside the directory.
  std::string File(const std::string& name) const;

 private:
  std::string m_strPath;
};

#endif  // DIVIVEZ_TESTS_SUPPORT_SCRATCH_DIRECTORY_H_
