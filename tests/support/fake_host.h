// The fake world (fake_world.h) and the trace output installed for a unit
// test, and removed again, by one RAII harness.
//
// The tests drive the plug-in only through its exported functions. Every
// double here is process-wide (the plug-in's settings are globals), so only
// one CHostHarness may exist at a time; it is created and destroyed on the
// test's thread. The keep-alive function may be called from a scanner thread,
// so the socket service and the trace capture lock what they record.
#ifndef DIVIVEZ_TESTS_SUPPORT_FAKE_HOST_H_
#define DIVIVEZ_TESTS_SUPPORT_FAKE_HOST_H_

#include <string>
#include <vector>

#include "support/fake_world.h"
#include "support/plugin_settings.h"
#include "support/printable.h"
#include "support/temp_directory.h"

// Trace lines written through the capture hook.
class CTraceCapture {
 public:
  static std::vector<std::string> Lines();
  static std::string All();  // every line, concatenated
  static void Clear();
};

// Installs every fake and restores the plug-in's globals when destroyed.
// Connections opened through it are ended by Finish() or the destructor.
class CHostHarness {
 public:
  CHostHarness();
  ~CHostHarness();
  CHostHarness(const CHostHarness&) = delete;
  CHostHarness& operator=(const CHostHarness&) = delete;

  void Open(CHostSocket* client, int hostContext);
  void End(CHostSocket* client);
  // Ends every open connection, then reports leftover spool files and
  // streams through gtest. Resets the fakes for the next connection.
  void Finish();

  CFakeSocketService m_sockets;
  CFakeScanner m_scanner;
  CFaultySpoolStore* m_pStore;
  CTempDirectory m_temp;

 private:
  std::vector<CHostSocket*> m_open;
  CFaultySpoolStore m_store;
};

#endif  // DIVIVEZ_TESTS_SUPPORT_FAKE_HOST_H_
