// The platform surface as the plug-in relies on it, checked against the real
// Win32 calls under Windows and against the stand-ins elsewhere: the same
// expectations hold for both.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/platform.h"
#include "platform/spool_file.h"
#include "session/spool_store.h"

namespace {

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorNotOwner = 288;
constexpr DWORD kWaitMask = QS_ALLINPUT | QS_ALLPOSTMESSAGE;

std::string TempDirectory() {
  char buffer[MAX_PATH];
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, length);
}

// A name in the temporary directory that nothing uses yet.
std::string FreshTempName() {
  static std::mt19937 generator(std::random_device{}());
  return TempDirectory() + "divivez-platform-test-" + std::to_string(generator()) + ".tmp";
}

std::string ReadFile(const std::string& path) {
  std::string contents;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "<cannot open>";
  char buffer[256];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) contents.append(buffer, count);
  std::fclose(file);
  return contents;
}

bool Exists(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

TEST(PlatformTempPath, EndsInASeparatorAndReportsItsLength) {
  char buffer[MAX_PATH];
  std::memset(buffer, 'x', sizeof buffer);
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(length, std::strlen(buffer));
  const char last = buffer[length - 1];
  EXPECT_TRUE(last == '/' || last == '\\') << buffer;
}

TEST(PlatformSpoolFile, CreatesAFileThatCanBeReadBackAndDeleted) {
  const std::string path = FreshTempName();
  bool bExists = true;
  FILE* file = PlatformCreateExclusive(path.c_str(), &bExists);
  ASSERT_NE(nullptr, file);
  EXPECT_FALSE(bExists);
  const char bytes[] = "line\r\n\0binary\x1a\xff";
  ASSERT_EQ(sizeof bytes, std::fwrite(bytes, 1, sizeof bytes, file));
  ASSERT_EQ(0, std::fclose(file));

  // Binary both ways: no CR LF translation, no end at ^Z.
  EXPECT_EQ(std::string(bytes, sizeof bytes), ReadFile(path));
  EXPECT_NE(FALSE, DeleteFileA(path.c_str()));
  EXPECT_FALSE(Exists(path));
}

// A message over 4 GiB: its length must not wrap or fail where long is 32
// bits (the Windows build), or it would be sent and then reported failed.
TEST(PlatformSpoolFile, LengthOfAFileOverFourGibibytes) {
  const std::string path = FreshTempName();
  FILE* file = PlatformCreateExclusive(path.c_str(), nullptr);
  ASSERT_NE(nullptr, file);
  const long long last = (5ll << 30) + 12345;  // sparse: only the last byte is stored
#ifdef _WIN32
  ASSERT_EQ(0, _fseeki64(file, last, SEEK_SET));
#else
  ASSERT_EQ(0, fseeko(file, static_cast<off_t>(last), SEEK_SET));
#endif
  ASSERT_EQ(1u, std::fwrite("x", 1, 1, file));
  ASSERT_EQ(0, std::fclose(file));
  FILE* reader = SpoolStore().OpenRead(path.c_str());
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(last + 1, SpoolStore().Length(reader));
  char first = 'y';
  EXPECT_EQ(1u, SpoolStore().Read(&first, 1, reader)) << "not back at the start";
  EXPECT_EQ('\0', first);
  SpoolStore().Close(reader);
  EXPECT_NE(FALSE, DeleteFileA(path.c_str()));
}

TEST(PlatformSpoolFile, RefusesANameThatIsTaken) {
  const std::string path = FreshTempName();
  FILE* first = PlatformCreateExclusive(path.c_str(), nullptr);
  ASSERT_NE(nullptr, first);
  std::fputs("first", first);
  std::fclose(first);

  bool bExists = false;
  EXPECT_EQ(nullptr, PlatformCreateExclusive(path.c_str(), &bExists));
  EXPECT_TRUE(bExists);
  EXPECT_EQ("first", ReadFile(path)) << "the existing file was changed";
  DeleteFileA(path.c_str());
}

TEST(PlatformSpoolFile, MissingDirectoryIsAFailureButNotATakenName) {
  const std::string path = FreshTempName() + "/no-such-directory/spool.tmp";
  bool bExists = true;
  EXPECT_EQ(nullptr, PlatformCreateExclusive(path.c_str(), &bExists));
  EXPECT_FALSE(bExists);
}

TEST(PlatformFiles, DeletingAMissingFileReportsFileNotFound) {
  const std::string path = FreshTempName();
  EXPECT_EQ(FALSE, DeleteFileA(path.c_str()));
  EXPECT_EQ(kErrorFileNotFound, GetLastError());
}

TEST(PlatformClock, TickCountAdvancesWithSleep) {
  const DWORD before = GetTickCount();
  Sleep(120);
  const DWORD elapsed = GetTickCount() - before;  // unsigned: right across a wrap too
  EXPECT_GE(elapsed, 100u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(PlatformClock, SleepWaitsAtLeastTheTimeGiven) {
  const auto start = std::chrono::steady_clock::now();
  Sleep(100);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 95);
}

DWORD FixedTick() { return 0xFFFFFFF0u; }

TEST(PlatformClock, TestTickSourceReplacesTheSystemCounterUntilRemoved) {
  SetTickSourceForTesting(&FixedTick);
  EXPECT_EQ(0xFFFFFFF0u, PlatformTickCount());
  SetTickSourceForTesting(nullptr);
  const DWORD now = GetTickCount();
  EXPECT_LT(PlatformTickCount() - now, 1000u);
}

std::atomic<int> s_nHookCalls{0};
std::string s_strHookLine;
void RecordLine(const char* line) {
  s_strHookLine = line;
  ++s_nHookCalls;
}

TEST(PlatformDebugOutput, HookSeesEveryLineUntilRemoved) {
  s_nHookCalls = 0;
  SetDebugOutputHook(&RecordLine);
  SetDebugOutputHookExclusive(true);
  PlatformDebugOutput("DIVIVEZ: hooked\n");
  SetDebugOutputHook(nullptr);
  SetDebugOutputHookExclusive(false);
  PlatformDebugOutput("");  // after removal: must not reach the hook
  EXPECT_EQ(1, s_nHookCalls.load());
  EXPECT_EQ("DIVIVEZ: hooked\n", s_strHookLine);
}

TEST(PlatformFormat, WsprintfFormatsDecimalHexAndStrings) {
  char buffer[1024];
  EXPECT_EQ(26, wsprintfA(buffer, "%d|%X|%s|%d", -5, 0x1F47, "divivez", 2147483647));
  EXPECT_STREQ("-5|1F47|divivez|2147483647", buffer);
  EXPECT_EQ(15, wsprintfA(buffer, "divivez%X%X.tmp", 500, 7));
  EXPECT_STREQ("divivez1F47.tmp", buffer);
}

TEST(PlatformFormat, WsprintfWritesAtMost1024Bytes) {
  const std::string longText(3000, 'a');
  char buffer[2048];
  std::memset(buffer, 'z', sizeof buffer);
  // The count returned for cut output differs between Windows versions; the
  // buffer does not.
  wsprintfA(buffer, "%s", longText.c_str());
  EXPECT_EQ(1023u, std::strlen(buffer));
  EXPECT_EQ('z', buffer[1024]) << "wrote past 1024 bytes";
}

class PlatformMutexTest : public ::testing::Test {
 protected:
  PlatformMutexTest() : m_hMutex(CreateMutexA(nullptr, FALSE, nullptr)) {}
  ~PlatformMutexTest() override {
    if (m_hMutex != nullptr) CloseHandle(m_hMutex);
  }
  DWORD Wait(DWORD timeoutMs) {
    return MsgWaitForMultipleObjects(1, &m_hMutex, FALSE, timeoutMs, kWaitMask);
  }
  // The result of a wait made on another thread (which then ends, releasing
  // nothing: it is only used when the wait is expected to fail).
  DWORD WaitOnOtherThread(DWORD timeoutMs) {
    DWORD result = WAIT_FAILED;
    std::thread other([&] { result = Wait(timeoutMs); });
    other.join();
    return result;
  }
  HANDLE m_hMutex;
};

TEST_F(PlatformMutexTest, OwnerMayWaitAgainAndMustReleaseAsOften) {
  ASSERT_NE(nullptr, m_hMutex);
  ASSERT_EQ(WAIT_OBJECT_0, Wait(INFINITE));
  ASSERT_EQ(WAIT_OBJECT_0, Wait(0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitOnOtherThread(0));
  EXPECT_NE(FALSE, ReleaseMutex(m_hMutex));
  EXPECT_EQ(WAIT_TIMEOUT, WaitOnOtherThread(20)) << "still held once";
  EXPECT_NE(FALSE, ReleaseMutex(m_hMutex));
  EXPECT_EQ(FALSE, ReleaseMutex(m_hMutex)) << "released more often than taken";
  EXPECT_EQ(kErrorNotOwner, GetLastError());
}

TEST_F(PlatformMutexTest, TimedWaitEndsAfterItsTimeOut) {
  ASSERT_NE(nullptr, m_hMutex);
  ASSERT_EQ(WAIT_OBJECT_0, Wait(INFINITE));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitOnOtherThread(150));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 130);
  EXPECT_NE(FALSE, ReleaseMutex(m_hMutex));
}

TEST_F(PlatformMutexTest, OnlyTheOwnerCanRelease) {
  ASSERT_NE(nullptr, m_hMutex);
  ASSERT_EQ(WAIT_OBJECT_0, Wait(INFINITE));
  BOOL released = TRUE;
  DWORD error = 0;
  std::thread other([&] {
    released = ReleaseMutex(m_hMutex);
    error = GetLastError();
  });
  other.join();
  EXPECT_EQ(FALSE, released);
  EXPECT_EQ(kErrorNotOwner, error);
  EXPECT_NE(FALSE, ReleaseMutex(m_hMutex));
}

TEST_F(PlatformMutexTest, WaiterGetsTheMutexWhenTheOwnerReleasesIt) {
  ASSERT_NE(nullptr, m_hMutex);
  ASSERT_EQ(WAIT_OBJECT_0, Wait(INFINITE));
  std::atomic<bool> bAcquired{false};
  std::atomic<bool> bMayRelease{false};
  std::thread waiter([&] {
    if (Wait(INFINITE) != WAIT_OBJECT_0) return;
    bAcquired = true;
    while (!bMayRelease) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ReleaseMutex(m_hMutex);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(bAcquired.load()) << "taken while owned";
  ASSERT_NE(FALSE, ReleaseMutex(m_hMutex));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!bAcquired && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(bAcquired.load());
  EXPECT_EQ(WAIT_TIMEOUT, Wait(0)) << "the waiter holds it now";
  bMayRelease = true;
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, Wait(1000));
  ReleaseMutex(m_hMutex);
}

}  // namespace
