// A reader for the plug-in's module file as it lies on disk: a 32-bit PE
// DLL or a 64-bit little-endian ELF shared object. It reads the file only,
// and reports what the loader of the platform would see: the format, the
// exported names (with ordinals on PE), the libraries imported, and on PE
// the version resource. No system tool is involved.
#ifndef DIVIVEZ_TESTS_SUPPORT_MODULE_IMAGE_H_
#define DIVIVEZ_TESTS_SUPPORT_MODULE_IMAGE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class EModuleFormat { kUnknown, kPe, kElf };

struct CFixedVersion {
  uint32_t m_dwFileVersionMS = 0;
  uint32_t m_dwFileVersionLS = 0;
  uint32_t m_dwProductVersionMS = 0;
  uint32_t m_dwProductVersionLS = 0;
};

class CModuleImage {
 public:
  // Reads the file; Error() says what was wrong if anything.
  explicit CModuleImage(const std::string& path);

  const std::string& Error() const { return m_strError; }
  EModuleFormat Format() const { return m_format; }

  // PE: COFF machine, optional-header magic, the DLL flag.
  uint16_t PeMachine() const { return m_wMachine; }
  uint16_t PeMagic() const { return m_wMagic; }
  bool PeIsDll() const { return m_bDll; }
  // ELF: object type (3 = shared object) and machine.
  uint16_t ElfType() const { return m_wElfType; }

  // Exported names. On PE with their ordinals; on ELF the ordinal is 0.
  const std::map<std::string, uint32_t>& Exports() const { return m_exports; }
  // PE: entries in the export address table (named or not).
  uint32_t PeExportedFunctionCount() const { return m_dwExportedFunctions; }
  // Libraries the module needs: PE import and delay-import DLL names, ELF
  // DT_NEEDED entries.
  const std::vector<std::string>& Imports() const { return m_imports; }

  // PE version resource.
  bool HasVersionResource() const { return m_bHasVersion; }
  const CFixedVersion& FixedVersion() const { return m_fixed; }
  // StringFileInfo values, converted from UTF-16 (ASCII expected).
  const std::map<std::string, std::string>& VersionStrings() const { return m_versionStrings; }
  bool HasTranslation() const { return m_bHasTranslation; }

 private:
  bool ReadPe();
  bool ReadElf();
  bool ReadPeExports(uint32_t rva);
  bool ReadPeImports(uint32_t rva, uint32_t entrySize, uint32_t nameField);
  bool ReadPeResources(uint32_t rva);
  bool ReadVersionInfo(size_t offset, size_t size);
  size_t RvaToOffset(uint32_t rva) const;  // SIZE_MAX when outside every section

  bool Fail(const std::string& error);
  bool Has(size_t offset, size_t size) const;
  uint16_t U16(size_t offset) const;
  uint32_t U32(size_t offset) const;
  uint64_t U64(size_t offset) const;
  std::string CString(size_t offset) const;

  struct CSection {
    uint32_t m_dwVirtualAddress;
    uint32_t m_dwVirtualSize;
    uint32_t m_dwRawSize;
    uint32_t m_dwRawOffset;
  };

  std::vector<uint8_t> m_bytes;
  std::string m_strError;
  EModuleFormat m_format = EModuleFormat::kUnknown;
  uint16_t m_wMachine = 0;
  uint16_t m_wMagic = 0;
  bool m_bDll = false;
  uint16_t m_wElfType = 0;
  std::vector<CSection> m_sections;
  std::map<std::string, uint32_t> m_exports;
  uint32_t m_dwExportedFunctions = 0;
  std::vector<std::string> m_imports;
  bool m_bHasVersion = false;
  CFixedVersion m_fixed;
  std::map<std::string, std::string> m_versionStrings;
  bool m_bHasTranslation = false;
};

// The built plug-in's path as this test program can open it. Under Wine the
// Linux path of the build is reached through drive Z:.
std::string PluginModulePath();

#endif  // DIVIVEZ_TESTS_SUPPORT_MODULE_IMAGE_H_
