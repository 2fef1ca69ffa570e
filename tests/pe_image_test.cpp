// The plug-in module as built, read from disk: a 32-bit Windows DLL (or, in
// the native build, an ELF shared object) that exports the seven entry
// points by name and nothing else, and needs only system libraries.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/module_image.h"

namespace {

#ifdef _WIN32
constexpr EModuleFormat kExpectedFormat = EModuleFormat::kPe;
#else
constexpr EModuleFormat kExpectedFormat = EModuleFormat::kElf;
#endif

const std::set<std::string>& EntryPoints() {
  static const std::set<std::string> names = {
      "OnEndConnection",  "OnNewConnection", "OnRequestFromApplication", "OnRequestFromServer",
      "RegisterCallback", "SetISocket",      "SetTimeoutProtection"};
  return names;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Windows itself, the C runtime that ships with it, and the API sets that
// forward into them: nothing that would have to be installed with the DLL.
bool IsWindowsSystemLibrary(const std::string& name) {
  static const std::set<std::string> system = {"kernel32.dll", "user32.dll", "advapi32.dll",
                                               "ws2_32.dll",   "msvcrt.dll", "ntdll.dll"};
  const std::string lower = Lower(name);
  return system.count(lower) != 0 || lower.rfind("api-ms-win-", 0) == 0;
}

// The C and C++ runtimes of the distribution (and the sanitizers' in that
// build).
bool IsLinuxSystemLibrary(const std::string& name) {
  for (const char* prefix :
       {"libc.so.", "libm.so.", "libstdc++.so.", "libgcc_s.so.", "libpthread.so.", "libdl.so.",
        "ld-linux", "libasan.so.", "libubsan.so."}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

class PluginModuleTest : public ::testing::Test {
 protected:
  PluginModuleTest() : m_image(PluginModulePath()) {}
  CModuleImage m_image;
};

TEST_F(PluginModuleTest, IsTheBuildsKindOfLibrary) {
  ASSERT_EQ("", m_image.Error());
  ASSERT_EQ(kExpectedFormat, m_image.Format());
  if (m_image.Format() == EModuleFormat::kPe) {
    EXPECT_EQ(0x14C, m_image.PeMachine()) << "not i386";
    EXPECT_EQ(0x10B, m_image.PeMagic()) << "not PE32";
    EXPECT_TRUE(m_image.PeIsDll());
  } else {
    EXPECT_EQ(3, m_image.ElfType()) << "not a shared object";
  }
}

TEST_F(PluginModuleTest, ExportsTheSevenEntryPointsByNameAndNothingElse) {
  ASSERT_EQ("", m_image.Error());
  std::set<std::string> exported;
  for (const auto& entry : m_image.Exports()) exported.insert(entry.first);
  EXPECT_EQ(EntryPoints(), exported);
  if (m_image.Format() == EModuleFormat::kPe) {
    EXPECT_EQ(7u, m_image.PeExportedFunctionCount()) << "exports by ordinal only";
  }
}

TEST_F(PluginModuleTest, NeedsOnlySystemLibraries) {
  ASSERT_EQ("", m_image.Error());
  EXPECT_FALSE(m_image.Imports().empty());
  for (const std::string& library : m_image.Imports()) {
    const bool bSystem = m_image.Format() == EModuleFormat::kPe ? IsWindowsSystemLibrary(library)
                                                                : IsLinuxSystemLibrary(library);
    EXPECT_TRUE(bSystem) << library;
  }
}

}  // namespace
