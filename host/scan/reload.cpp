// The signature reload. See reload.h.
#include "host/scan/reload.h"

#include <utility>
#include <vector>

#include "host/base/log.h"
#include "host/base/os.h"
#include "host/scan/signature_scanner.h"

SignatureReloader::SignatureReloader(BuiltinScanner* scanner, std::string path, Logger* log)
    : m_scanner(scanner), m_path(std::move(path)), m_log(log) {}

bool SignatureReloader::Reload() {
  if (m_scanner == nullptr || m_path.empty()) {
    m_log->Line("reload signal: nothing to reload (no --signatures file)");
    return false;
  }
  std::vector<Signature> extra;
  std::string error;
  if (!LoadSignatureFile(m_path, &extra, &error)) {
    m_log->Line("signature reload FAILED, the %llu signature(s) in force stay: %s",
                static_cast<unsigned long long>(m_scanner->Current()->Signatures().size()),
                LogSafe(error).c_str());
    return false;
  }
  // Both counts, so that a file that lost signatures shows in the log.
  const size_t before = m_scanner->Current()->Signatures().size();
  m_scanner->Replace(std::move(extra));
  m_log->Line(
      "signatures reloaded from %s: %llu in force for the scans that start from now on (%llu "
      "before)",
      LogSafe(m_path).c_str(),
      static_cast<unsigned long long>(m_scanner->Current()->Signatures().size()),
      static_cast<unsigned long long>(before));
  return true;
}

void SignatureReloader::Start() {
  if (m_thread.joinable()) return;
  m_stopping = false;
  m_thread = std::thread([this] { WaitForSignals(); });
}

void SignatureReloader::Stop() {
  if (!m_thread.joinable()) return;
  m_stopping = true;
  // The signal stays pending until the thread waits for it, so the wake-up
  // cannot be lost.
  OsRaiseReloadSignal();
  m_thread.join();
}

void SignatureReloader::WaitForSignals() {
  for (;;) {
    const bool signalled = OsWaitReloadSignal();
    if (m_stopping) return;
    if (!signalled) {
      m_log->Line("cannot wait for the reload signal; signatures are no longer reloaded");
      return;
    }
    if (m_first) m_first();
    if (!m_also || (m_scanner != nullptr && !m_path.empty())) Reload();
    if (m_also) m_also();
  }
}
