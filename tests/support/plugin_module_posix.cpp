#include <dlfcn.h>

#include "support/plugin_module.h"

CPluginModule::CPluginModule(const std::string& path) {
  // RTLD_LOCAL: the module's names stay out of the program's global scope.
  m_pHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_pHandle == nullptr) m_strError = dlerror();
}

CPluginModule::~CPluginModule() { Unload(); }

void* CPluginModule::Export(const char* name) const {
  return m_pHandle != nullptr ? dlsym(m_pHandle, name) : nullptr;
}

bool CPluginModule::Unload() {
  if (m_pHandle == nullptr) return true;
  const bool bClosed = dlclose(m_pHandle) == 0;
  m_pHandle = nullptr;
  return bClosed;
}
