#include <string>

#include "platform/platform.h"
#include "support/plugin_module.h"

CPluginModule::CPluginModule(const std::string& path) {
  m_pHandle = LoadLibraryA(path.c_str());
  if (m_pHandle == nullptr)
    m_strError = "LoadLibraryA failed, error " + std::to_string(GetLastError());
}

CPluginModule::~CPluginModule() { Unload(); }

void* CPluginModule::Export(const char* name) const {
  if (m_pHandle == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_pHandle), name));
}

bool CPluginModule::Unload() {
  if (m_pHandle == nullptr) return true;
  const bool bFreed = FreeLibrary(static_cast<HMODULE>(m_pHandle)) != FALSE;
  m_pHandle = nullptr;
  return bFreed;
}
