// Event loops. See event_loop.h.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include "host/loop/event_loop.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>

#include "host/base/os.h"

namespace {

// How often a loop looks at its tasks' due times when none is due sooner.
constexpr auto kSweepEvery = std::chrono::milliseconds(25);
constexpr int kBatch = 64;
// A spare thread waits this long for a loop to run before it ends.
constexpr auto kSpareWait = std::chrono::seconds(10);

thread_local EventLoop* t_loop = nullptr;    // the loop this thread runs
thread_local LoopTask* t_inRound = nullptr;  // whose round it is in

void* Tag(LoopTask* task, int handle) {
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(task) |
                                 static_cast<uintptr_t>(handle));
}

}  // namespace

class EventLoop {
 public:
  EventLoop(LoopGroup* group, NetPoller* poller) : m_group(group), m_poller(poller) {}
  ~EventLoop() { NetPollerDestroy(m_poller); }

  void Run();
  void Adopt(LoopTask* task);
  void Wake() { NetPollerWake(m_poller); }
  int Load() const { return m_load.load(); }
  // The task in round on this thread, which is about to wait.
  void Leave(LoopTask* task);

 private:
  // Takes in what other threads handed the loop and retires the tasks that
  // are done; false when the loop is to stop.
  bool TakeQueues();
  // A round for every task whose due time has come.
  void Sweep(LoopClock::time_point now);
  void Round(LoopTask* task, bool readable0, bool readable1);
  void StartTask(LoopTask* task);
  // After a round: the task watched again or listed to be retired, by the
  // loop's thread; handed back to the loop by a thread that left it.
  void BackToLoop(LoopTask* task, LoopTask::Status status);
  // Watches the handles the task wants read and notes when it is due.
  void Rearm(LoopTask* task);

  LoopGroup* const m_group;
  NetPoller* const m_poller;
  // The running thread's alone.
  std::vector<LoopTask*> m_tasks;
  std::vector<LoopTask*> m_done;
  std::deque<LoopTask*> m_toStart;  // adopted, listed, not yet started
  NetPollerEvent m_batch[kBatch];
  int m_batchCount = 0;
  int m_batchNext = 0;
  LoopClock::time_point m_nextSweep;
  // Tasks adopted and still counted (see LoopTask::Status).
  std::atomic<int> m_load{0};
  // Handed in by other threads.
  std::mutex m_mutex;
  std::vector<LoopTask*> m_adopted;   // not yet listed
  std::vector<LoopTask*> m_returned;  // back from a thread that left the loop
};

void EventLoop::Adopt(LoopTask* task) {
  ++m_load;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_adopted.push_back(task);
  }
  Wake();
}

void EventLoop::Run() {
  t_loop = this;
  while (t_loop == this) {
    if (m_batchNext < m_batchCount) {
      const NetPollerEvent event = m_batch[m_batchNext++];
      if (event.tag == nullptr) continue;  // a wake
      const auto bits = reinterpret_cast<uintptr_t>(event.tag);
      auto* task = reinterpret_cast<LoopTask*>(bits & ~static_cast<uintptr_t>(1));
      if (task->m_offLoop || task->m_done) continue;
      const bool second = (bits & 1u) != 0;
      Round(task, !second, second);
      continue;
    }
    if (!TakeQueues()) break;
    // Oldest first; a start that waits leaves the rest to the next thread.
    while (!m_toStart.empty()) {
      LoopTask* task = m_toStart.front();
      m_toStart.pop_front();
      StartTask(task);
      if (t_loop != this) return;
    }
    LoopClock::time_point now = LoopClock::now();
    int timeout = -1;
    if (!m_tasks.empty()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(m_nextSweep - now).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    m_batchCount = NetPollerWait(m_poller, m_batch, kBatch, timeout);
    m_batchNext = 0;
    now = LoopClock::now();
    if (m_group->m_dueAll.load() || now >= m_nextSweep) Sweep(now);
  }
  if (t_loop == this) t_loop = nullptr;
}

bool EventLoop::TakeQueues() {
  std::vector<LoopTask*> adopted;
  std::vector<LoopTask*> returned;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    adopted.swap(m_adopted);
    returned.swap(m_returned);
  }
  for (LoopTask* task : adopted) {
    task->m_index = m_tasks.size();
    m_tasks.push_back(task);
    m_toStart.push_back(task);
  }
  for (LoopTask* task : returned) {
    task->m_offLoop = false;
    if (task->m_done) {
      m_done.push_back(task);
    } else {
      Rearm(task);
    }
  }
  // No event of the batch just done names these any more.
  for (LoopTask* task : m_done) {
    LoopTask* last = m_tasks.back();
    last->m_index = task->m_index;
    m_tasks[task->m_index] = last;
    m_tasks.pop_back();
    task->Retire();
  }
  m_done.clear();
  return !m_tasks.empty() || !m_group->m_end.load();
}

void EventLoop::Sweep(LoopClock::time_point now) {
  m_nextSweep = now + kSweepEvery;
  const bool all = m_group->m_dueAll.load();
  // By index: a round may finish a task (it stays listed until the next
  // pass) or leave the loop (then this thread stops here).
  for (size_t i = 0; i < m_tasks.size(); ++i) {
    LoopTask* task = m_tasks[i];
    if (task->m_offLoop || task->m_done) continue;
    if (!all && now < task->m_due) continue;
    // A handle the set could not take is read when a sweep finds it due.
    Round(task, !task->m_watching[0], !task->m_watching[1]);
    if (t_loop != this) return;
  }
}

void EventLoop::StartTask(LoopTask* task) {
  t_inRound = task;
  const LoopTask::Status status = task->Start();
  t_inRound = nullptr;
  BackToLoop(task, status);
}

void EventLoop::Round(LoopTask* task, bool readable0, bool readable1) {
  t_inRound = task;
  const LoopTask::Status status = task->Round(readable0, readable1);
  t_inRound = nullptr;
  BackToLoop(task, status);
}

void EventLoop::BackToLoop(LoopTask* task, LoopTask::Status status) {
  if (status != LoopTask::Status::kRunning && task->m_counted) {
    task->m_counted = false;
    --m_load;
  }
  // Closed by the task on its way out: out of the set.
  if (status == LoopTask::Status::kDone) {
    task->m_done = true;
    task->m_watching[0] = task->m_watching[1] = false;
  }
  if (t_loop == this) {
    if (task->m_done) {
      m_done.push_back(task);
    } else {
      Rearm(task);
    }
    return;
  }
  // This thread left the loop on the way: the task goes back.
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_returned.push_back(task);
  }
  Wake();
}

void EventLoop::Rearm(LoopTask* task) {
  NetSocket handles[LoopTask::kHandles] = {kNetInvalidSocket, kNetInvalidSocket};
  bool want[LoopTask::kHandles] = {false, false};
  task->m_due = task->Wants(handles, want);
  // A handle that cannot be watched is tried at every sweep instead (a
  // round that finds nothing to read does nothing).
  bool missed = false;
  for (int i = 0; i < LoopTask::kHandles; ++i) {
    if (want[i] != task->m_watching[i] &&
        NetPollerWatch(m_poller, want[i] ? handles[i] : task->m_watched[i], Tag(task, i),
                       want[i])) {
      task->m_watching[i] = want[i];
      task->m_watched[i] = handles[i];
    }
    if (want[i] != task->m_watching[i]) missed = true;
  }
  if (missed) task->m_due = LoopClock::now();
  m_nextSweep = std::min(m_nextSweep, task->m_due);
}

void EventLoop::Leave(LoopTask* task) {
  // The loop must not report this task's handles while another thread
  // runs it.
  for (int i = 0; i < LoopTask::kHandles; ++i) {
    if (task->m_watching[i]) NetPollerWatch(m_poller, task->m_watched[i], nullptr, false);
    task->m_watching[i] = false;
  }
  task->m_offLoop = true;
  t_loop = nullptr;
  m_group->HandOff(this);
}

LoopGroup::LoopGroup(Logger* log, size_t stackBytes) : m_log(log), m_stackBytes(stackBytes) {}

LoopGroup::~LoopGroup() {
  for (EventLoop* loop : m_loops) delete loop;
}

void LoopGroup::Start(unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    NetPoller* poller = NetPollerCreate();
    if (poller == nullptr) break;  // none on this system: a thread per task
    auto* loop = new EventLoop(this, poller);
    if (!HandOff(loop)) {
      // Not one task may go to a loop that no thread runs.
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_orphans.erase(std::find(m_orphans.begin(), m_orphans.end(), loop));
      }
      delete loop;
      break;
    }
    m_loops.push_back(loop);
  }
}

void LoopGroup::Adopt(LoopTask* task) {
  EventLoop* loop = m_loops.front();
  for (EventLoop* other : m_loops) {
    if (other->Load() < loop->Load()) loop = other;
  }
  loop->Adopt(task);
}

void LoopGroup::DueAll() {
  m_dueAll = true;
  for (EventLoop* loop : m_loops) loop->Wake();
}

bool LoopGroup::Stop(LoopClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_mutex);
  // Under m_mutex: a spare thread checks it waiting there.
  m_end = true;
  m_runnerWanted.notify_all();
  for (EventLoop* loop : m_loops) loop->Wake();
  return m_threadEnded.wait_until(lock, deadline, [this] { return m_threads == 0; });
}

void LoopGroup::LeaveBeforeWaiting() {
  EventLoop* loop = t_loop;
  LoopTask* task = t_inRound;
  if (loop == nullptr || task == nullptr) return;
  loop->Leave(task);
}

bool LoopGroup::HandOff(EventLoop* loop) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_orphans.push_back(loop);
    if (m_spareRunners >= static_cast<int>(m_orphans.size())) {
      m_runnerWanted.notify_one();
      return true;
    }
    ++m_threads;
  }
  std::string why;
  if (OsStartThread(LoopThread, this, m_stackBytes, &why)) return true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_threads;
  }
  m_threadEnded.notify_all();
  // The loop stays queued: the thread that left it takes it back when its
  // round is done.
  m_log->Line("cannot start a loop thread: %s", why.c_str());
  return false;
}

void LoopGroup::LoopThread(void* group) { static_cast<LoopGroup*>(group)->RunLoops(); }

void LoopGroup::RunLoops() {
  for (;;) {
    EventLoop* loop = nullptr;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_spareRunners;
      m_runnerWanted.wait_for(lock, kSpareWait, [this] { return m_end || !m_orphans.empty(); });
      --m_spareRunners;
      if (m_orphans.empty()) {
        --m_threads;
        m_threadEnded.notify_all();
        return;
      }
      loop = m_orphans.back();
      m_orphans.pop_back();
    }
    loop->Run();
  }
}
