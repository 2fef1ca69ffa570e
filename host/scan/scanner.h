// What the proxy's scanners share: the verdict, the keep-alive pacer and the
// scanner interface.
//
// A scan runs on the connection's thread, inside the plug-in's scan callback,
// and blocks it. While it runs the server hears nothing, so the scanner calls
// ScanPacer::Tick between reads of the message and while it waits for a
// daemon; the pacer sends the plug-in's keep-alive when an interval has
// passed. A scanner object is shared by all connections: Scan must be
// thread-safe.
#ifndef DIVIVEZ_HOST_SCAN_SCANNER_H_
#define DIVIVEZ_HOST_SCAN_SCANNER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

enum class Verdict { kClean, kInfected, kError };

struct ScanResult {
  Verdict verdict = Verdict::kError;
  std::string signature;  // kInfected: the name of what was found
  std::string error;      // kError: why the scan failed
};

class ScanPacer {
 public:
  // keepAlive empty or intervalMs <= 0: Tick does nothing.
  ScanPacer(std::function<void()> keepAlive, int intervalMs)
      : m_keepAlive(std::move(keepAlive)),
        m_intervalMs(intervalMs),
        m_last(std::chrono::steady_clock::now()) {}

  // Sends the keep-alive when the interval has passed since the scan began or
  // since the last one.
  void Tick() {
    if (!m_keepAlive || m_intervalMs <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_last >= std::chrono::milliseconds(m_intervalMs)) {
      m_last = now;
      ++m_sent;
      m_keepAlive();
    }
  }

  // How long a scanner may wait before it should call Tick again.
  int SliceMs(int wanted) const {
    if (!m_keepAlive || m_intervalMs <= 0) return wanted;
    const int slice = m_intervalMs < 250 ? m_intervalMs : 250;
    return wanted < slice ? wanted : slice;
  }

  int Sent() const { return m_sent; }

 private:
  std::function<void()> m_keepAlive;
  int m_intervalMs;
  std::chrono::steady_clock::time_point m_last;
  int m_sent = 0;
};

class IScanner {
 public:
  virtual ~IScanner() = default;
  // Scans the spool file at path: the DATA stream as the client sent it,
  // dot-stuffed, ending with the "." line.
  virtual ScanResult Scan(const std::string& path, ScanPacer& pacer) = 0;
  // For the start-up log line.
  virtual std::string Describe() const = 0;
  // Whether a scan of a file of this size takes about as long as reading it
  // from memory and waits on nothing else; an event loop's thread then runs
  // it in place instead of handing its other connections on first.
  virtual bool QuickFor(uint64_t bytes) const {
    (void)bytes;
    return false;
  }
  // How many of the scanner's endpoints are taking scans now, and how many
  // there are (the health check and the metrics report them). A scanner
  // without endpoints of its own is always up.
  virtual int EndpointsUp() const { return 1; }
  virtual int EndpointsTotal() const { return 1; }
};

#endif  // DIVIVEZ_HOST_SCAN_SCANNER_H_
