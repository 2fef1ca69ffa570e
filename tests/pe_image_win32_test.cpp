// What only the DLL carries: export ordinals and the version resource.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/module_image.h"

namespace {

class PluginDllTest : public ::testing::Test {
 protected:
  PluginDllTest() : m_image(PluginModulePath()) {}
  CModuleImage m_image;
};

TEST_F(PluginDllTest, OrdinalsFollowTheAlphabeticalOrderOfTheNames) {
  ASSERT_EQ("", m_image.Error());
  const std::map<std::string, uint32_t> expected = {
      {"OnEndConnection", 1},     {"OnNewConnection", 2},  {"OnRequestFromApplication", 3},
      {"OnRequestFromServer", 4}, {"RegisterCallback", 5}, {"SetISocket", 6},
      {"SetTimeoutProtection", 7}};
  EXPECT_EQ(expected, m_image.Exports());
}

TEST_F(PluginDllTest, VersionResourceGivesFileAndProductVersion) {
  ASSERT_EQ("", m_image.Error());
  ASSERT_TRUE(m_image.HasVersionResource());
  const CFixedVersion& fixed = m_image.FixedVersion();
  EXPECT_EQ((2u << 16) | 1u, fixed.m_dwFileVersionMS);
  EXPECT_EQ((7309u << 16) | 200u, fixed.m_dwFileVersionLS);
  EXPECT_EQ((2u << 16) | 1u, fixed.m_dwProductVersionMS);
  EXPECT_EQ(0u, fixed.m_dwProductVersionLS);

  const std::map<std::string, std::string>& strings = m_image.VersionStrings();
  const auto value = [&](const char* key) {
    const auto found = strings.find(key);
    return found == strings.end() ? std::string("<missing>") : found->second;
  };
  EXPECT_EQ("2.1.7309.200", value("FileVersion"));
  EXPECT_EQ("2.1.0.0", value("ProductVersion"));
  EXPECT_EQ("divivez.dll", value("OriginalFilename"));
  EXPECT_EQ("divivez.dll", value("InternalName"));
  EXPECT_TRUE(m_image.HasTranslation());
}

}  // namespace
