// The trace level from the registry: HKLM\Software\Corvane\ZEBMail, value
// DebugLevel, whatever its type, at most four bytes of it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/trace_level.h"

namespace {

constexpr char kVendorKey[] = "Software\\Corvane";
constexpr char kProductKey[] = "Software\\Corvane\\ZEBMail";
constexpr char kValue[] = "DebugLevel";

// Gives the test the key with no DebugLevel value, and puts back whatever
// was there before: the value, or the keys themselves.
class PlatformRegistryTest : public ::testing::Test {
 protected:
  PlatformRegistryTest() {
    HKEY vendor = nullptr;
    m_bVendorExisted =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0, KEY_READ, &vendor) == ERROR_SUCCESS;
    if (vendor != nullptr) RegCloseKey(vendor);
    DWORD disposition = 0;
    m_lCreate = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0,
                                KEY_READ | KEY_WRITE, nullptr, &m_hKey, &disposition);
    if (m_lCreate != ERROR_SUCCESS) return;
    m_bProductCreated = disposition == REG_CREATED_NEW_KEY;
    DWORD size = 0;
    if (RegQueryValueExA(m_hKey, kValue, nullptr, &m_dwSavedType, nullptr, &size) ==
        ERROR_SUCCESS) {
      m_saved.resize(size);
      m_bHadValue = RegQueryValueExA(m_hKey, kValue, nullptr, &m_dwSavedType,
                                     size > 0 ? m_saved.data() : nullptr, &size) == ERROR_SUCCESS;
    }
    RegDeleteValueA(m_hKey, kValue);
  }

  ~PlatformRegistryTest() override {
    if (m_lCreate != ERROR_SUCCESS) return;
    RegDeleteValueA(m_hKey, kValue);
    if (m_bHadValue) {
      RegSetValueExA(m_hKey, kValue, 0, m_dwSavedType, m_saved.data(),
                     static_cast<DWORD>(m_saved.size()));
    }
    RegCloseKey(m_hKey);
    if (m_bProductCreated) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
    if (!m_bVendorExisted) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVendorKey);
  }

  void SetValue(DWORD type, const void* data, size_t size) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_hKey, kValue, 0, type, static_cast<const BYTE*>(data),
                                            static_cast<DWORD>(size)));
  }

  LONG m_lCreate = ERROR_INVALID_FUNCTION;
  HKEY m_hKey = nullptr;

 private:
  bool m_bVendorExisted = false;
  bool m_bProductCreated = false;
  bool m_bHadValue = false;
  DWORD m_dwSavedType = 0;
  std::vector<BYTE> m_saved;
};

TEST_F(PlatformRegistryTest, DwordValueIsTheLevel) {
  ASSERT_EQ(ERROR_SUCCESS, m_lCreate);
  const DWORD three = 3;
  SetValue(REG_DWORD, &three, sizeof three);
  EXPECT_EQ(3, PlatformReadTraceLevel());
  const DWORD all = 0xFFFFFFFFu;
  SetValue(REG_DWORD, &all, sizeof all);
  EXPECT_EQ(-1, PlatformReadTraceLevel());
}

TEST_F(PlatformRegistryTest, MissingValueIsLevelZero) {
  ASSERT_EQ(ERROR_SUCCESS, m_lCreate);
  EXPECT_EQ(0, PlatformReadTraceLevel());
}

TEST_F(PlatformRegistryTest, MissingKeyIsLevelZero) {
  ASSERT_EQ(ERROR_SUCCESS, m_lCreate);
  DWORD subkeys = 0;
  DWORD values = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(m_hKey, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                            nullptr, &values, nullptr, nullptr, nullptr, nullptr));
  // Removing the key must lose nothing but the test's own value.
  if (subkeys != 0 || values != 0) GTEST_SKIP() << "the key holds values that are not the test's";
  RegCloseKey(m_hKey);
  m_hKey = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey));
  EXPECT_EQ(0, PlatformReadTraceLevel());
  // Put back an empty key if there was one; the clean-up does the rest.
  DWORD disposition = 0;
  m_lCreate = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                              nullptr, &m_hKey, &disposition);
}

TEST_F(PlatformRegistryTest, TypeIsNotExaminedAndShortDataIsTakenAsItIs) {
  ASSERT_EQ(ERROR_SUCCESS, m_lCreate);
  // "7" and its NUL: the bytes 0x37 0x00.
  SetValue(REG_SZ, "7", 2);
  EXPECT_EQ(0x37, PlatformReadTraceLevel());
  const BYTE twoBytes[] = {0x05, 0x01};
  SetValue(REG_BINARY, twoBytes, sizeof twoBytes);
  EXPECT_EQ(0x0105, PlatformReadTraceLevel());
}

TEST_F(PlatformRegistryTest, ValueLongerThanFourBytesIsLevelZero) {
  ASSERT_EQ(ERROR_SUCCESS, m_lCreate);
  const BYTE eightBytes[] = {0x02, 0x00, 0x00, 0x00, 0x09, 0x09, 0x09, 0x09};
  SetValue(REG_BINARY, eightBytes, sizeof eightBytes);
  EXPECT_EQ(0, PlatformReadTraceLevel());
  SetValue(REG_SZ, "12345", 6);
  EXPECT_EQ(0, PlatformReadTraceLevel());
}

// The process's environment block, not the registry: SetEnvironmentVariable
// is what the host calls.
TEST(PlatformWin32CallbackVersion, ComesFromTheProcessEnvironment) {
  SetEnvironmentVariableA("DIVIVEZ_CALLBACK_VERSION", nullptr);
  EXPECT_EQ(1, PlatformReadCallbackVersion());
  SetEnvironmentVariableA("DIVIVEZ_CALLBACK_VERSION", "2");
  EXPECT_EQ(2, PlatformReadCallbackVersion());
  for (const char* text : {"0", "-2", "2x", "99999999999"}) {
    SetEnvironmentVariableA("DIVIVEZ_CALLBACK_VERSION", text);
    EXPECT_EQ(1, PlatformReadCallbackVersion()) << '"' << text << '"';
  }
  SetEnvironmentVariableA("DIVIVEZ_CALLBACK_VERSION", nullptr);
}

}  // namespace
