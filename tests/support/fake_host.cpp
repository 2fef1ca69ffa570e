#include "support/fake_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "boundary/plugin_exports.h"
#include "boundary/settings.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kStartTick = 1000000;
std::mutex g_traceMutex;
std::vector<std::string> g_traceLines;

void CaptureTrace(const char* line) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_traceLines.emplace_back(line);
}

void ReportWorldFailure(const std::string& what) { ADD_FAILURE() << "fake world: " << what; }

}  // namespace

// --- CTraceCapture ---

std::vector<std::string> CTraceCapture::Lines() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  return g_traceLines;
}

std::string CTraceCapture::All() {
  std::string all;
  for (const std::string& line : Lines()) all += line;
  return all;
}

void CTraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_traceLines.clear();
}

// --- CHostHarness ---

CHostHarness::CHostHarness() : m_pStore(&m_store) {
  SetWorldFailureHandler(&ReportWorldFailure);
  m_scanner.Install(&m_store);
  SetSpoolStoreForTesting(&m_store);
  SetISocket(&m_sockets);
  RegisterCallback(&CFakeScanner::Callback);
  SetTimeoutProtection(0);
  g_dwTimeoutProtection = 5000;
  g_nDebugLevel = 0;
  SetRelayUnspooled(false);
  SetCallbackVersion(1);
  CFakeClock::Set(kStartTick);
  SetTickSourceForTesting(&CFakeClock::Now);
  CTraceCapture::Clear();
  SetDebugOutputHook(&CaptureTrace);
  SetDebugOutputHookExclusive(true);
}

CHostHarness::~CHostHarness() {
  for (CHostSocket* client : m_open) OnEndConnection(client);
  SetISocket(nullptr);
  RegisterCallback(nullptr);
  SetTimeoutProtection(0);
  g_dwTimeoutProtection = 5000;
  g_nDebugLevel = 0;
  SetRelayUnspooled(false);
  SetCallbackVersion(1);
  SetTickSourceForTesting(nullptr);
  SetSpoolStoreForTesting(nullptr);
  SetDebugOutputHookExclusive(false);
  SetDebugOutputHook(nullptr);
  m_scanner.Uninstall();
  SetWorldFailureHandler(nullptr);
}

void CHostHarness::Open(CHostSocket* client, int hostContext) {
  OnNewConnection(hostContext, client);
  if (std::find(m_open.begin(), m_open.end(), client) == m_open.end()) m_open.push_back(client);
}

void CHostHarness::End(CHostSocket* client) {
  OnEndConnection(client);
  m_open.erase(std::remove(m_open.begin(), m_open.end(), client), m_open.end());
}

void CHostHarness::Finish() {
  while (!m_open.empty()) End(m_open.back());
  std::error_code error;
  for (const std::string& path : m_store.Created()) {
    // A file a failed deletion left is the fault's doing, not the plug-in's.
    EXPECT_TRUE(m_store.m_leftBehind.count(path) != 0 || !fs::exists(path, error))
        << "spool file left behind: " << path;
    EXPECT_FALSE(m_store.IsOpen(path)) << "spool stream left open: " << path;
  }
  m_store.RemoveLeftBehind();
  for (const std::string& name : m_temp.LeftoverSpoolFiles()) {
    ADD_FAILURE() << "spool file left in the temporary directory: " << name;
  }
  m_sockets.Reset();
  m_scanner.Reset();
  m_store.Reset();
  CFakeClock::Set(kStartTick);
}
