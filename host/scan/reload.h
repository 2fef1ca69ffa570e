// Reloading the builtin scanner's signature file while the proxy runs.
//
// A thread of its own waits for the reload signal (SIGHUP, see os.h) and
// reads the file again. A file that loads puts its signatures in force for
// the scans that start after it (scans already running finish with the set
// they began with); one that does not load leaves the set in force as it
// was, and the log says why. A file with no signature, or fewer or more than
// its "# signatures: N" line announces, does not load (see
// LoadSignatureFile): it is most likely one caught half written. The log
// line of a reload gives the counts before and after. Connections are not
// touched either way.
// On Windows the signal is the service's PARAMCHANGE control
// (sc control divivez paramchange).
#ifndef DIVIVEZ_HOST_RELOAD_H_
#define DIVIVEZ_HOST_RELOAD_H_

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>

class BuiltinScanner;
class Logger;

class SignatureReloader {
 public:
  // scanner null (another scanner) or path empty: nothing to reload; a
  // signal is logged and otherwise ignored.
  SignatureReloader(BuiltinScanner* scanner, std::string path, Logger* log);
  ~SignatureReloader() { Stop(); }
  SignatureReloader(const SignatureReloader&) = delete;
  SignatureReloader& operator=(const SignatureReloader&) = delete;

  // Reads the file now; true when its signatures are in force.
  bool Reload();

  // What else the signal reloads (the routes' certificates), after the
  // signatures; before Start. With it, a signal without a signature file
  // reloads only that, and says nothing about signatures.
  void AlsoOnSignal(std::function<void()> reload) { m_also = std::move(reload); }
  // What the signal does before anything else (reopening the log file, so
  // that the reload's own lines go to the new one); before Start.
  void FirstOnSignal(std::function<void()> first) { m_first = std::move(first); }

  // Starts the thread that waits for the signal. Call only where
  // OsBlockReloadSignal succeeded at start-up.
  void Start();
  // Ends that thread.
  void Stop();

 private:
  void WaitForSignals();

  BuiltinScanner* m_scanner;
  std::string m_path;
  Logger* m_log;
  std::function<void()> m_also;
  std::function<void()> m_first;
  std::thread m_thread;
  std::atomic<bool> m_stopping{false};
};

#endif  // DIVIVEZ_HOST_RELOAD_H_
