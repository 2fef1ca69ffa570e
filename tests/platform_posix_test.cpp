// The POSIX stand-ins where they have no Windows counterpart to agree with:
// the temporary directory from TMPDIR, the spool file's mode and links, and
// the trace level from the environment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/spool_file.h"
#include "platform/trace_level.h"

namespace {

constexpr DWORD kErrorAccessDenied = 5;

// Sets an environment variable for one test and puts the old value back.
class CEnvironmentValue {
 public:
  CEnvironmentValue(const char* name, const char* value) : m_strName(name) {
    const char* old = std::getenv(name);
    m_bHadValue = old != nullptr;
    if (m_bHadValue) m_strSaved = old;
    Set(value);
  }
  ~CEnvironmentValue() { Set(m_bHadValue ? m_strSaved.c_str() : nullptr); }
  void Set(const char* value) {
    if (value == nullptr) {
      unsetenv(m_strName.c_str());
    } else {
      setenv(m_strName.c_str(), value, 1);
    }
  }

 private:
  std::string m_strName;
  std::string m_strSaved;
  bool m_bHadValue = false;
};

// A fresh private directory, removed with what the test left in it.
class CScratchDirectory {
 public:
  CScratchDirectory() {
    char pattern[] = "/tmp/divivez-platform-XXXXXX";
    if (mkdtemp(pattern) != nullptr) m_strPath = pattern;
  }
  ~CScratchDirectory() {
    for (const std::string& name : m_names) unlink((m_strPath + "/" + name).c_str());
    rmdir(m_strPath.c_str());
  }
  std::string Path(const std::string& name) {
    m_names.push_back(name);
    return m_strPath + "/" + name;
  }
  bool IsOpen() const { return !m_strPath.empty(); }
  const std::string& Directory() const { return m_strPath; }

 private:
  std::string m_strPath;
  std::vector<std::string> m_names;
};

std::string TempPath(DWORD size) {
  std::string buffer(size > 0 ? size : 1, 'x');
  const DWORD length = GetTempPathA(size, size > 0 ? &buffer[0] : nullptr);
  return length == 0 ? std::string("<0>") : std::string(buffer.c_str(), length);
}

TEST(PlatformPosixTempPath, FollowsTmpdirAndAlwaysEndsInASlash) {
  CEnvironmentValue tmpdir("TMPDIR", "/var/spool/scan");
  EXPECT_EQ("/var/spool/scan/", TempPath(MAX_PATH));
  tmpdir.Set("/var/spool/scan/");
  EXPECT_EQ("/var/spool/scan/", TempPath(MAX_PATH));
  tmpdir.Set("");
  EXPECT_EQ("/tmp/", TempPath(MAX_PATH));
  tmpdir.Set(nullptr);
  EXPECT_EQ("/tmp/", TempPath(MAX_PATH));
}

TEST(PlatformPosixTempPath, BufferTooSmallForPathAndNulGivesZeroAndAnEmptyString) {
  CEnvironmentValue tmpdir("TMPDIR", "/var/tmp");  // "/var/tmp/" is 9 characters
  EXPECT_EQ("/var/tmp/", TempPath(10));
  EXPECT_EQ("<0>", TempPath(9));
  char buffer[9];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(0u, GetTempPathA(sizeof buffer, buffer));
  EXPECT_EQ('\0', buffer[0]);
}

TEST(PlatformPosixSpoolFile, IsPrivateToItsOwner) {
  CScratchDirectory scratch;
  ASSERT_TRUE(scratch.IsOpen());
  const std::string path = scratch.Path("spool.tmp");
  // With no umask the mode asked for is the mode given.
  const mode_t savedMask = umask(0);
  FILE* file = PlatformCreateExclusive(path.c_str(), nullptr);
  umask(savedMask);
  ASSERT_NE(nullptr, file);
  std::fclose(file);
  struct stat status {};
  ASSERT_EQ(0, stat(path.c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 07777u);
}

TEST(PlatformPosixSpoolFile, NeverFollowsASymbolicLink) {
  CScratchDirectory scratch;
  ASSERT_TRUE(scratch.IsOpen());
  const std::string target = scratch.Path("victim");
  const std::string existingLink = scratch.Path("existing.tmp");
  const std::string danglingLink = scratch.Path("dangling.tmp");
  const std::string missing = scratch.Path("missing");
  FILE* victim = std::fopen(target.c_str(), "wb");
  ASSERT_NE(nullptr, victim);
  std::fputs("keep", victim);
  std::fclose(victim);
  ASSERT_EQ(0, symlink(target.c_str(), existingLink.c_str()));
  ASSERT_EQ(0, symlink(missing.c_str(), danglingLink.c_str()));

  bool bExists = false;
  EXPECT_EQ(nullptr, PlatformCreateExclusive(existingLink.c_str(), &bExists));
  EXPECT_TRUE(bExists);
  bExists = false;
  EXPECT_EQ(nullptr, PlatformCreateExclusive(danglingLink.c_str(), &bExists));
  EXPECT_TRUE(bExists);

  struct stat status {};
  ASSERT_EQ(0, stat(target.c_str(), &status));
  EXPECT_EQ(4, status.st_size) << "the link's target was written";
  EXPECT_NE(0, access(missing.c_str(), F_OK)) << "the dangling link's target was created";
}

TEST(PlatformPosixFiles, DeletingADirectoryIsAccessDenied) {
  CScratchDirectory scratch;
  ASSERT_TRUE(scratch.IsOpen());
  EXPECT_EQ(FALSE, DeleteFileA(scratch.Directory().c_str()));
  EXPECT_EQ(kErrorAccessDenied, GetLastError());
}

TEST(PlatformPosixTraceLevel, ComesFromTheEnvironmentAsADecimalNumber) {
  CEnvironmentValue level("DIVIVEZ_DEBUG_LEVEL", "3");
  EXPECT_EQ(3, PlatformReadTraceLevel());
  level.Set("-2");
  EXPECT_EQ(-2, PlatformReadTraceLevel());
  level.Set("2147483647");
  EXPECT_EQ(2147483647, PlatformReadTraceLevel());
}

TEST(PlatformPosixTraceLevel, AnythingButANumberIsLevelZero) {
  CEnvironmentValue level("DIVIVEZ_DEBUG_LEVEL", nullptr);
  EXPECT_EQ(0, PlatformReadTraceLevel());
  for (const char* text : {"", "abc", "3x", "99999999999"}) {
    level.Set(text);
    EXPECT_EQ(0, PlatformReadTraceLevel()) << '"' << text << '"';
  }
}

// Only a host that sets it speaks version 2; whatever else is there is 1.
TEST(PlatformPosixCallbackVersion, OnlyAWholeNumberFromOneUpCounts) {
  CEnvironmentValue version("DIVIVEZ_CALLBACK_VERSION", nullptr);
  EXPECT_EQ(1, PlatformReadCallbackVersion());
  version.Set("2");
  EXPECT_EQ(2, PlatformReadCallbackVersion());
  for (const char* text : {"", "0", "-2", "2x", " ", "99999999999"}) {
    version.Set(text);
    EXPECT_EQ(1, PlatformReadCallbackVersion()) << '"' << text << '"';
  }
}

}  // namespace
