#include "support/module_image.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kDllFlag = 0x2000;
constexpr uint32_t kDirectoryExport = 0;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectoryDelayImport = 13;
constexpr uint32_t kResourceVersion = 16;  // RT_VERSION
constexpr uint32_t kResourceSubdirectory = 0x80000000u;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

constexpr uint32_t kElfSectionDynamic = 6;
constexpr uint32_t kElfSectionDynsym = 11;
constexpr uint64_t kElfNeeded = 1;

size_t Align4(size_t value, size_t base) { return base + ((value - base + 3) & ~size_t{3}); }

}  // namespace

CModuleImage::CModuleImage(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    Fail("cannot open " + path);
    return;
  }
  uint8_t buffer[65536];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    m_bytes.insert(m_bytes.end(), buffer, buffer + count);
  }
  std::fclose(file);
  if (Has(0, 64) && U16(0) == kDosSignature) {
    m_format = EModuleFormat::kPe;
    ReadPe();
  } else if (Has(0, 64) && std::memcmp(m_bytes.data(),
                                       "\x7f"
                                       "ELF",
                                       4) == 0) {
    m_format = EModuleFormat::kElf;
    ReadElf();
  } else {
    Fail("neither PE nor ELF");
  }
}

bool CModuleImage::Fail(const std::string& error) {
  if (m_strError.empty()) m_strError = error;
  return false;
}

bool CModuleImage::Has(size_t offset, size_t size) const {
  return offset <= m_bytes.size() && size <= m_bytes.size() - offset;
}

uint16_t CModuleImage::U16(size_t offset) const {
  if (!Has(offset, 2)) return 0;
  return static_cast<uint16_t>(m_bytes[offset] | m_bytes[offset + 1] << 8);
}

uint32_t CModuleImage::U32(size_t offset) const {
  if (!Has(offset, 4)) return 0;
  return static_cast<uint32_t>(U16(offset)) | static_cast<uint32_t>(U16(offset + 2)) << 16;
}

uint64_t CModuleImage::U64(size_t offset) const {
  if (!Has(offset, 8)) return 0;
  return static_cast<uint64_t>(U32(offset)) | static_cast<uint64_t>(U32(offset + 4)) << 32;
}

std::string CModuleImage::CString(size_t offset) const {
  std::string text;
  while (offset < m_bytes.size() && m_bytes[offset] != 0) {
    text.push_back(static_cast<char>(m_bytes[offset++]));
  }
  return text;
}

size_t CModuleImage::RvaToOffset(uint32_t rva) const {
  for (const CSection& section : m_sections) {
    const uint32_t extent = section.m_dwVirtualSize > section.m_dwRawSize ? section.m_dwVirtualSize
                                                                          : section.m_dwRawSize;
    if (rva >= section.m_dwVirtualAddress && rva - section.m_dwVirtualAddress < extent) {
      const uint32_t into = rva - section.m_dwVirtualAddress;
      if (into >= section.m_dwRawSize) return SIZE_MAX;  // not backed by the file
      return section.m_dwRawOffset + static_cast<size_t>(into);
    }
  }
  return SIZE_MAX;
}

bool CModuleImage::ReadPe() {
  const size_t pe = U32(0x3C);
  if (!Has(pe, 24) || U32(pe) != kPeSignature) return Fail("no PE signature");
  const size_t coff = pe + 4;
  m_wMachine = U16(coff);
  const uint16_t sectionCount = U16(coff + 2);
  const uint16_t optionalSize = U16(coff + 16);
  m_bDll = (U16(coff + 18) & kDllFlag) != 0;
  const size_t optional = coff + 20;
  m_wMagic = U16(optional);
  if (m_wMagic != kPe32Magic) return Fail("not a PE32 optional header");
  const uint32_t directoryCount = U32(optional + 92);
  const size_t directories = optional + 96;
  const size_t sections = optional + optionalSize;
  if (!Has(sections, size_t{40} * sectionCount)) return Fail("section table outside the file");
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t at = sections + size_t{40} * i;
    m_sections.push_back(CSection{U32(at + 12), U32(at + 8), U32(at + 16), U32(at + 20)});
  }
  const auto directory = [&](uint32_t index) -> uint32_t {
    return index < directoryCount ? U32(directories + size_t{8} * index) : 0;
  };
  if (directory(kDirectoryExport) != 0 && !ReadPeExports(directory(kDirectoryExport))) {
    return false;
  }
  if (directory(kDirectoryImport) != 0 && !ReadPeImports(directory(kDirectoryImport), 20, 12)) {
    return false;
  }
  if (directory(kDirectoryDelayImport) != 0 &&
      !ReadPeImports(directory(kDirectoryDelayImport), 32, 4)) {
    return false;
  }
  if (directory(kDirectoryResource) != 0 && !ReadPeResources(directory(kDirectoryResource))) {
    return false;
  }
  return true;
}

bool CModuleImage::ReadPeExports(uint32_t rva) {
  const size_t at = RvaToOffset(rva);
  if (!Has(at, 40)) return Fail("export directory outside the file");
  const uint32_t base = U32(at + 16);
  const uint32_t functionCount = U32(at + 20);
  const uint32_t nameCount = U32(at + 24);
  const size_t functions = RvaToOffset(U32(at + 28));
  const size_t names = RvaToOffset(U32(at + 32));
  const size_t ordinals = RvaToOffset(U32(at + 36));
  if (!Has(functions, size_t{4} * functionCount) || !Has(names, size_t{4} * nameCount) ||
      !Has(ordinals, size_t{2} * nameCount)) {
    return Fail("export tables outside the file");
  }
  for (uint32_t i = 0; i < functionCount; ++i) {
    if (U32(functions + size_t{4} * i) != 0) ++m_dwExportedFunctions;
  }
  for (uint32_t i = 0; i < nameCount; ++i) {
    const size_t name = RvaToOffset(U32(names + size_t{4} * i));
    if (name == SIZE_MAX) return Fail("export name outside the file");
    m_exports[CString(name)] = base + U16(ordinals + size_t{2} * i);
  }
  return true;
}

bool CModuleImage::ReadPeImports(uint32_t rva, uint32_t entrySize, uint32_t nameField) {
  size_t at = RvaToOffset(rva);
  for (;;) {
    if (!Has(at, entrySize)) return Fail("import table outside the file");
    bool bEmpty = true;
    for (uint32_t i = 0; i < entrySize; ++i) bEmpty = bEmpty && m_bytes[at + i] == 0;
    if (bEmpty) return true;
    const size_t name = RvaToOffset(U32(at + nameField));
    if (name == SIZE_MAX) return Fail("import name outside the file");
    m_imports.push_back(CString(name));
    at += entrySize;
  }
}

bool CModuleImage::ReadPeResources(uint32_t rva) {
  const size_t base = RvaToOffset(rva);
  if (!Has(base, 16)) return Fail("resource directory outside the file");
  // The entry of a directory with the given id, or the first one when id is
  // 0xFFFFFFFF. Returns its offset field.
  const auto find = [&](size_t directory, uint32_t id, uint32_t* pTarget) {
    const size_t count = size_t{U16(directory + 12)} + U16(directory + 14);
    for (size_t i = 0; i < count; ++i) {
      const size_t entry = directory + 16 + 8 * i;
      if (!Has(entry, 8)) return false;
      if (id == 0xFFFFFFFFu || U32(entry) == id) {
        *pTarget = U32(entry + 4);
        return true;
      }
    }
    return false;
  };
  uint32_t names = 0;
  uint32_t languages = 0;
  uint32_t data = 0;
  if (!find(base, kResourceVersion, &names)) return true;  // no version resource
  if ((names & kResourceSubdirectory) == 0) return Fail("RT_VERSION is not a directory");
  if (!find(base + (names & ~kResourceSubdirectory), 0xFFFFFFFFu, &languages) ||
      (languages & kResourceSubdirectory) == 0) {
    return Fail("RT_VERSION has no name directory");
  }
  if (!find(base + (languages & ~kResourceSubdirectory), 0xFFFFFFFFu, &data) ||
      (data & kResourceSubdirectory) != 0) {
    return Fail("RT_VERSION has no data");
  }
  const size_t entry = base + data;
  if (!Has(entry, 16)) return Fail("resource data entry outside the file");
  const size_t offset = RvaToOffset(U32(entry));
  const size_t size = U32(entry + 4);
  if (!Has(offset, size)) return Fail("version resource outside the file");
  m_bHasVersion = true;
  return ReadVersionInfo(offset, size);
}

// VS_VERSIONINFO is a tree of blocks: length, value length, type (1 text,
// 0 binary), a UTF-16 key, then the value and the children, each aligned to
// 4 bytes from the start of the resource.
bool CModuleImage::ReadVersionInfo(size_t start, size_t size) {
  struct CBlock {
    std::string m_strKey;
    size_t m_valueAt;
    size_t m_valueBytes;
    size_t m_childrenAt;
    size_t m_end;
  };
  const size_t limit = start + size;
  const auto parse = [&](size_t at, size_t end, CBlock* block) {
    const size_t length = U16(at);
    if (length < 6 || at + length > end) return false;
    const size_t valueLength = U16(at + 2);
    const uint16_t type = U16(at + 4);
    size_t position = at + 6;
    block->m_strKey.clear();
    while (position + 2 <= at + length && U16(position) != 0) {
      block->m_strKey.push_back(static_cast<char>(U16(position)));
      position += 2;
    }
    position = Align4(position + 2, start);
    block->m_valueAt = position;
    block->m_valueBytes = type == 1 ? valueLength * 2 : valueLength;
    block->m_childrenAt = Align4(position + block->m_valueBytes, start);
    block->m_end = at + length;
    return true;
  };
  const auto children = [&](const CBlock& parent) {
    std::vector<CBlock> found;
    size_t at = parent.m_childrenAt;
    CBlock child;
    while (at + 6 <= parent.m_end && parse(at, parent.m_end, &child)) {
      found.push_back(child);
      at = Align4(child.m_end, start);
    }
    return found;
  };
  const auto text = [&](const CBlock& block) {
    std::string value;
    for (size_t at = block.m_valueAt; at + 2 <= block.m_end && U16(at) != 0; at += 2) {
      value.push_back(static_cast<char>(U16(at)));
    }
    return value;
  };

  CBlock root;
  if (!parse(start, limit, &root) || root.m_strKey != "VS_VERSION_INFO") {
    return Fail("no VS_VERSION_INFO block");
  }
  if (root.m_valueBytes < 52 || U32(root.m_valueAt) != kFixedFileInfoSignature) {
    return Fail("no VS_FIXEDFILEINFO");
  }
  m_fixed.m_dwFileVersionMS = U32(root.m_valueAt + 8);
  m_fixed.m_dwFileVersionLS = U32(root.m_valueAt + 12);
  m_fixed.m_dwProductVersionMS = U32(root.m_valueAt + 16);
  m_fixed.m_dwProductVersionLS = U32(root.m_valueAt + 20);
  for (const CBlock& info : children(root)) {
    if (info.m_strKey == "StringFileInfo") {
      for (const CBlock& table : children(info)) {
        for (const CBlock& entry : children(table)) m_versionStrings[entry.m_strKey] = text(entry);
      }
    } else if (info.m_strKey == "VarFileInfo") {
      for (const CBlock& var : children(info)) {
        if (var.m_strKey == "Translation" && var.m_valueBytes >= 4) m_bHasTranslation = true;
      }
    }
  }
  return true;
}

bool CModuleImage::ReadElf() {
  if (m_bytes[4] != 2 || m_bytes[5] != 1) return Fail("not a 64-bit little-endian ELF");
  m_wElfType = U16(16);
  const size_t sectionTable = static_cast<size_t>(U64(0x28));
  const size_t entrySize = U16(0x3A);
  const size_t sectionCount = U16(0x3C);
  if (entrySize < 64 || !Has(sectionTable, entrySize * sectionCount)) {
    return Fail("section table outside the file");
  }
  const auto header = [&](size_t index) { return sectionTable + entrySize * index; };
  const auto offsetOf = [&](size_t index) { return static_cast<size_t>(U64(header(index) + 24)); };
  const auto sizeOf = [&](size_t index) { return static_cast<size_t>(U64(header(index) + 32)); };
  for (size_t i = 0; i < sectionCount; ++i) {
    const uint32_t type = U32(header(i) + 4);
    const size_t strings = U32(header(i) + 40);
    if (strings >= sectionCount) continue;
    const size_t stringsAt = offsetOf(strings);
    if ((type == kElfSectionDynsym || type == kElfSectionDynamic) && !Has(offsetOf(i), sizeOf(i))) {
      return Fail("dynamic section outside the file");
    }
    if (type == kElfSectionDynsym) {
      for (size_t at = offsetOf(i); at + 24 <= offsetOf(i) + sizeOf(i); at += 24) {
        const uint8_t binding = m_bytes[at + 4] >> 4;
        const uint8_t visibility = m_bytes[at + 5] & 3;
        const bool bDefined = U16(at + 6) != 0;
        const bool bGlobal = binding == 1 || binding == 2 || binding == 10;
        const bool bVisible = visibility == 0 || visibility == 3;
        const std::string name = CString(stringsAt + U32(at));
        if (bDefined && bGlobal && bVisible && !name.empty()) m_exports[name] = 0;
      }
    } else if (type == kElfSectionDynamic) {
      for (size_t at = offsetOf(i); at + 16 <= offsetOf(i) + sizeOf(i); at += 16) {
        const uint64_t tag = U64(at);
        if (tag == 0) break;
        if (tag == kElfNeeded)
          m_imports.push_back(CString(stringsAt + static_cast<size_t>(U64(at + 8))));
      }
    }
  }
  return true;
}

std::string PluginModulePath() {
  const std::string path = DIVIVEZ_PLUGIN_PATH;
  std::string onDriveZ = "Z:" + path;
  for (char& c : onDriveZ) {
    if (c == '/') c = '\\';
  }
  for (const std::string& candidate : {path, onDriveZ}) {
    FILE* file = std::fopen(candidate.c_str(), "rb");
    if (file != nullptr) {
      std::fclose(file);
      return candidate;
    }
  }
  return path;
}
