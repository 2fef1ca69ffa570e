// The pool of ClamAV daemons. See scanner_pool.h.
#include "host/scan/scanner_pool.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "host/base/log.h"

namespace {

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(elapsed).count());
  return text;
}

}  // namespace

ScannerPool::ScannerPool(std::vector<std::unique_ptr<ClamdScanner>> endpoints,
                         ScannerPoolTiming timing, LogFunction log)
    : m_timing(timing), m_log(std::move(log)), m_up(static_cast<int>(endpoints.size())) {
  m_members.resize(endpoints.size());
  for (size_t i = 0; i < endpoints.size(); ++i) m_members[i].scanner = std::move(endpoints[i]);
  m_prober = std::thread([this] { ProbeLoop(); });
}

ScannerPool::~ScannerPool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_prober.join();
}

std::string ScannerPool::Describe() const {
  if (m_members.size() == 1) return m_members[0].scanner->Describe();
  std::string text = "clamd pool of " + std::to_string(m_members.size()) + " (";
  for (size_t i = 0; i < m_members.size(); ++i) {
    text += (i > 0 ? ", " : "") + m_members[i].scanner->Name();
  }
  return text + ")";
}

ScanResult ScannerPool::Scan(const std::string& path, ScanPacer& pacer) {
  unsigned epoch = 0;
  const int first = Acquire(-1, true, &epoch);
  ScanFault fault = ScanFault::kNone;
  ScanResult result = m_members[first].scanner->Attempt(path, pacer, &fault);
  Release(first, epoch, fault, result.error);
  switch (fault) {
    case ScanFault::kNone:     // a verdict is final
    case ScanFault::kMessage:  // any daemon would refuse it alike
    case ScanFault::kLocal:    // another daemon would get the same unreadable file
      return result;
    case ScanFault::kDaemon:
    case ScanFault::kReply:
      break;
  }
  const int second = Acquire(first, false, &epoch);
  if (second < 0) return result;
  const std::string firstName = m_members[first].scanner->Name();
  const std::string secondName = m_members[second].scanner->Name();
  m_log("scan failed on scanner " + firstName + " (" + LogSafe(result.error) +
        "); trying it once more on " + secondName);
  // Attempt opens the spool file again and streams it from its start; the
  // pacer goes on ticking through it.
  ScanResult retry = m_members[second].scanner->Attempt(path, pacer, &fault);
  Release(second, epoch, fault, retry.error);
  if (retry.verdict == Verdict::kError) {
    retry.error += " (tried on " + secondName + " after " + firstName + ": " + result.error + ")";
  }
  return retry;
}

int ScannerPool::Acquire(int except, bool lastResort, unsigned* epoch) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int count = static_cast<int>(m_members.size());
  // A retry starts after the endpoint that failed and leaves the turns of
  // new scans alone.
  const int start =
      except < 0 ? static_cast<int>(m_rotation++ % m_members.size()) : (except + 1) % count;
  int best = -1;
  for (int i = 0; i < count; ++i) {
    const int index = (start + i) % count;
    const Member& member = m_members[index];
    if (index == except || !member.up) continue;
    if (best < 0 || member.busy < m_members[best].busy) best = index;
  }
  if (best < 0 && lastResort) {
    for (int index = 0; index < count; ++index) {
      if (index == except) continue;
      if (best < 0 || m_members[index].nextProbe < m_members[best].nextProbe) best = index;
    }
  }
  if (best >= 0) {
    ++m_members[best].busy;
    *epoch = m_members[best].epoch;
  }
  return best;
}

void ScannerPool::Release(int index, unsigned epoch, ScanFault fault, const std::string& error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Member& member = m_members[index];
  --member.busy;
  // The state changed while this scan ran: its outcome is older news.
  if (member.epoch != epoch) return;
  switch (fault) {
    case ScanFault::kNone:
    case ScanFault::kReply:
    case ScanFault::kMessage:
      // The daemon answered within the protocol: it works.
      if (!member.up) MarkUpLocked(member, "it answered a scan");
      return;
    case ScanFault::kDaemon:
      if (member.up) MarkDownLocked(member, error);
      return;
    case ScanFault::kLocal:
      return;
  }
}

void ScannerPool::MarkDownLocked(Member& member, const std::string& why) {
  member.up = false;
  ++member.epoch;
  --m_up;
  const Clock::time_point now = Clock::now();
  member.downSince = now;
  member.pauseMs = m_timing.probeFirstMs;
  member.nextProbe = now + std::chrono::milliseconds(member.pauseMs);
  m_log("scanner " + member.scanner->Name() + " down: " + LogSafe(why) + "; " +
        std::to_string(m_up.load()) + " of " + std::to_string(m_members.size()) +
        " up; probing it with PING");
  m_wake.notify_all();
}

void ScannerPool::MarkUpLocked(Member& member, const std::string& how) {
  member.up = true;
  ++member.epoch;
  ++m_up;
  m_log("scanner " + member.scanner->Name() + " up again after " +
        Seconds(Clock::now() - member.downSince) + " (" + how + "); " +
        std::to_string(m_up.load()) + " of " + std::to_string(m_members.size()) + " up");
}

void ScannerPool::ProbeLoop() {
  struct Probe {
    int index;
    unsigned epoch;
    bool answered;
    std::string error;
  };
  std::unique_lock<std::mutex> lock(m_mutex);
  // At start every endpoint is pinged once, so that one that is down from
  // the beginning is reported and skipped before a scan finds out.
  bool startUp = true;
  std::vector<Probe> probes;
  while (!m_stop) {
    probes.clear();
    const Clock::time_point now = Clock::now();
    bool waitUntil = false;
    Clock::time_point wake;
    for (int i = 0; i < static_cast<int>(m_members.size()); ++i) {
      const Member& member = m_members[i];
      if (startUp || (!member.up && member.nextProbe <= now)) {
        probes.push_back(Probe{i, member.epoch, false, std::string()});
      } else if (!member.up && (!waitUntil || member.nextProbe < wake)) {
        waitUntil = true;
        wake = member.nextProbe;
      }
    }
    startUp = false;
    if (probes.empty()) {
      if (waitUntil) {
        m_wake.wait_until(lock, wake);
      } else {
        m_wake.wait(lock);
      }
      continue;
    }
    lock.unlock();
    for (Probe& probe : probes) {
      probe.answered = m_members[probe.index].scanner->Ping(m_timing.probeTimeoutMs, &probe.error);
    }
    lock.lock();
    for (const Probe& probe : probes) {
      Member& member = m_members[probe.index];
      if (member.epoch != probe.epoch) continue;
      if (probe.answered) {
        if (!member.up) MarkUpLocked(member, "it answered PING");
      } else if (member.up) {
        MarkDownLocked(member, "PING failed: " + probe.error);
      } else {
        member.pauseMs = std::min(member.pauseMs * 2, m_timing.probeMaxMs);
        member.nextProbe = Clock::now() + std::chrono::milliseconds(member.pauseMs);
      }
    }
  }
}
