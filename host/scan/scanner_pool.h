// A pool of ClamAV daemons that shares the scans among those that work.
//
// A scan goes to the least busy endpoint that is up; among equally busy ones
// the starting point rotates, so an idle pool takes turns. An endpoint that
// fails a scan for a reason of its own (unreachable, time-out, connection
// lost, a reply outside the protocol, an error about its own resources) is
// marked down and skipped. A probe thread sends it clamd's PING after a pause
// that starts at probeFirstMs and doubles up to probeMaxMs, and marks it up
// again when it answers PONG; every endpoint is also pinged once at start.
// Each change of state is one log line.
//
// A scan that fails on one endpoint (anything but the size limit and an
// unreadable spool file) is tried once more, from the start of the spool
// file, on another endpoint that is up; only then does the failure reach the
// proxy's --on-scan-error policy. A verdict, clean or infected, is final.
// When no endpoint is up a scan still tries the one whose probe is due
// first, so a pool of one behaves like a single daemon: every message is
// tried, and a failure goes to the policy at once.
//
// Thread-safe: Scan runs on many connection threads at once, and the counts
// may be read from any thread. The log function is called from connection
// threads and the probe thread and must be thread-safe itself. The pool
// must outlive every scan; its destructor stops the probe thread.
#ifndef DIVIVEZ_HOST_SCAN_SCANNER_POOL_H_
#define DIVIVEZ_HOST_SCAN_SCANNER_POOL_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/scan/clamd_scanner.h"
#include "host/scan/scanner.h"

struct ScannerPoolTiming {
  int probeFirstMs = 1000;    // the first probe after an endpoint went down
  int probeMaxMs = 30000;     // the longest pause between two probes
  int probeTimeoutMs = 5000;  // for one PING
};

class ScannerPool : public IScanner {
 public:
  using LogFunction = std::function<void(const std::string& line)>;

  // endpoints: at least one.
  ScannerPool(std::vector<std::unique_ptr<ClamdScanner>> endpoints, ScannerPoolTiming timing,
              LogFunction log);
  ~ScannerPool() override;
  ScannerPool(const ScannerPool&) = delete;
  ScannerPool& operator=(const ScannerPool&) = delete;

  ScanResult Scan(const std::string& path, ScanPacer& pacer) override;
  std::string Describe() const override;
  int EndpointsUp() const override { return m_up.load(); }
  int EndpointsTotal() const override { return static_cast<int>(m_members.size()); }

 private:
  using Clock = std::chrono::steady_clock;

  struct Member {
    std::unique_ptr<ClamdScanner> scanner;
    bool up = true;
    int busy = 0;  // scans running on it
    // Counts the changes of state, so that the outcome of a scan or probe
    // that began before a change does not undo it.
    unsigned epoch = 0;
    Clock::time_point downSince;
    Clock::time_point nextProbe;
    int pauseMs = 0;  // before the probe after next
  };

  // Chooses an endpoint other than except (-1: none) and counts it busy; -1
  // when there is none. lastResort admits a down one when none is up.
  int Acquire(int except, bool lastResort, unsigned* epoch);
  // Ends a scan on member index and applies its outcome to the state.
  void Release(int index, unsigned epoch, ScanFault fault, const std::string& error);
  void MarkDownLocked(Member& member, const std::string& why);
  void MarkUpLocked(Member& member, const std::string& how);
  void ProbeLoop();

  std::vector<Member> m_members;
  const ScannerPoolTiming m_timing;
  const LogFunction m_log;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  size_t m_rotation = 0;
  bool m_stop = false;
  std::atomic<int> m_up;
  std::thread m_prober;
};

#endif  // DIVIVEZ_HOST_SCAN_SCANNER_POOL_H_
