// Loads the built plug-in module into the test program the way a host does,
// and looks up its exports by name. Unloads when destroyed.
#ifndef DIVIVEZ_TESTS_SUPPORT_PLUGIN_MODULE_H_
#define DIVIVEZ_TESTS_SUPPORT_PLUGIN_MODULE_H_

#include <string>

class CPluginModule {
 public:
  explicit CPluginModule(const std::string& path);
  ~CPluginModule();
  CPluginModule(const CPluginModule&) = delete;
  CPluginModule& operator=(const CPluginModule&) = delete;

  bool IsLoaded() const { return m_pHandle != nullptr; }
  const std::string& Error() const { return m_strError; }
  // The export's address, or nullptr.
  void* Export(const char* name) const;
  // Unloads now; false when the system refused.
  bool Unload();

 private:
  void* m_pHandle = nullptr;
  std::string m_strError;
};

#endif  // DIVIVEZ_TESTS_SUPPORT_PLUGIN_MODULE_H_
