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

}  // namespace

// The loop's scheduling of a task: its thread's alone, except while the
// task is off the loop.
struct LoopSlot {
  explicit LoopSlot(LoopTask* t) : task(t) {}
  LoopTask* const task;
  NetPoller* poller = nullptr;  // the loop's set
  size_t index = 0;             // in the loop's list
  bool offLoop = false;         // a thread that left the loop runs it
  bool done = false;
  bool counted = true;  // in the loop's load
  bool watching[LoopTask::kHandles] = {false, false};
  NetSocket watched[LoopTask::kHandles] = {kNetInvalidSocket, kNetInvalidSocket};
  LoopClock::time_point due;
};

namespace {

using Slot = LoopSlot;

thread_local EventLoop* t_loop = nullptr;  // the loop this thread runs
thread_local Slot* t_inRound = nullptr;    // whose round it is in

void* Tag(Slot* slot, int handle) {
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(slot) |
                                 static_cast<uintptr_t>(handle));
}

}  // namespace

void LoopTask::HandleClosed(int handle) {
  if (m_slot == nullptr || !m_slot->watching[handle]) return;
  // Watched, so on the loop's thread (a task off the loop watches nothing).
  NetPollerClosed(m_slot->poller, m_slot->watched[handle]);
  m_slot->watching[handle] = false;
}

class EventLoop {
 public:
  EventLoop(LoopGroup* group, NetPoller* poller) : m_group(group), m_poller(poller) {}
  ~EventLoop() { NetPollerDestroy(m_poller); }

  void Run();
  void Adopt(LoopTask* task);
  void Wake() { NetPollerWake(m_poller); }
  int Load() const { return m_load.load(); }
  // The task in round on this thread, which is about to wait.
  void Leave(Slot* slot);

 private:
  // Takes in what other threads handed the loop and retires the tasks that
  // are done; false when the loop is to stop.
  bool TakeQueues();
  // A round for every task whose due time has come.
  void Sweep(LoopClock::time_point now);
  void Round(Slot* slot, bool readable0, bool readable1);
  void StartTask(Slot* slot);
  // After a round: the task watched again or listed to be retired, by the
  // loop's thread; handed back to the loop by a thread that left it.
  void BackToLoop(Slot* slot, LoopTask::Status status);
  // Watches the handles the task wants read and notes when it is due.
  void Rearm(Slot* slot);

  LoopGroup* const m_group;
  NetPoller* const m_poller;
  // The running thread's alone.
  std::vector<Slot*> m_tasks;
  std::vector<Slot*> m_done;
  std::deque<Slot*> m_toStart;  // adopted, listed, not yet started
  NetPollerEvent m_batch[kBatch];
  int m_batchCount = 0;
  int m_batchNext = 0;
  LoopClock::time_point m_nextSweep;
  // Tasks adopted and still counted (see LoopTask::Status).
  std::atomic<int> m_load{0};
  // Handed in by other threads.
  std::mutex m_mutex;
  std::vector<Slot*> m_adopted;   // not yet listed
  std::vector<Slot*> m_returned;  // back from a thread that left the loop
};

void EventLoop::Adopt(LoopTask* task) {
  task->m_slot = new Slot(task);
  task->m_slot->poller = m_poller;
  ++m_load;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_adopted.push_back(task->m_slot);
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
      auto* slot = reinterpret_cast<Slot*>(bits & ~static_cast<uintptr_t>(1));
      if (slot->offLoop || slot->done) continue;
      const bool second = (bits & 1u) != 0;
      Round(slot, !second, second);
      continue;
    }
    if (!TakeQueues()) break;
    // Oldest first; a start that waits leaves the rest to the next thread.
    while (!m_toStart.empty()) {
      Slot* slot = m_toStart.front();
      m_toStart.pop_front();
      StartTask(slot);
      if (t_loop != this) return;
    }
    LoopClock::time_point now = LoopClock::now();
    int timeout = -1;
    if (!m_tasks.empty()) {
      // Rounded up: a wait rounded down would end short of the sweep and
      // poll again with no wait until it is due, spinning for up to a
      // millisecond every sweep.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_nextSweep - now).count();
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
  std::vector<Slot*> adopted;
  std::vector<Slot*> returned;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    adopted.swap(m_adopted);
    returned.swap(m_returned);
  }
  for (Slot* slot : adopted) {
    slot->index = m_tasks.size();
    m_tasks.push_back(slot);
    m_toStart.push_back(slot);
  }
  for (Slot* slot : returned) {
    slot->offLoop = false;
    if (slot->done) {
      m_done.push_back(slot);
    } else {
      Rearm(slot);
    }
  }
  // No event of the batch just done names these any more.
  for (Slot* slot : m_done) {
    Slot* last = m_tasks.back();
    last->index = slot->index;
    m_tasks[slot->index] = last;
    m_tasks.pop_back();
    LoopTask* const owner = slot->task;
    owner->m_slot = nullptr;
    delete slot;
    owner->Retire();
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
    Slot* slot = m_tasks[i];
    if (slot->offLoop || slot->done) continue;
    if (!all && now < slot->due) continue;
    // A handle the set could not take is read when a sweep finds it due.
    Round(slot, !slot->watching[0], !slot->watching[1]);
    if (t_loop != this) return;
  }
}

void EventLoop::StartTask(Slot* slot) {
  t_inRound = slot;
  const LoopTask::Status status = slot->task->Start();
  t_inRound = nullptr;
  BackToLoop(slot, status);
}

void EventLoop::Round(Slot* slot, bool readable0, bool readable1) {
  t_inRound = slot;
  const LoopTask::Status status = slot->task->Round(readable0, readable1);
  t_inRound = nullptr;
  BackToLoop(slot, status);
}

void EventLoop::BackToLoop(Slot* slot, LoopTask::Status status) {
  if (status != LoopTask::Status::kRunning && slot->counted) {
    slot->counted = false;
    --m_load;
  }
  // Closed by the task on its way out: out of the set.
  if (status == LoopTask::Status::kDone) {
    slot->done = true;
    for (int i = 0; i < LoopTask::kHandles; ++i) {
      if (slot->watching[i]) NetPollerClosed(m_poller, slot->watched[i]);
      slot->watching[i] = false;
    }
  }
  if (t_loop == this) {
    if (slot->done) {
      m_done.push_back(slot);
    } else {
      Rearm(slot);
    }
    return;
  }
  // This thread left the loop on the way: the task goes back.
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_returned.push_back(slot);
  }
  Wake();
}

void EventLoop::Rearm(Slot* slot) {
  NetSocket handles[LoopTask::kHandles] = {kNetInvalidSocket, kNetInvalidSocket};
  bool want[LoopTask::kHandles] = {false, false};
  slot->due = slot->task->Wants(handles, want);
  // A handle that cannot be watched is tried at every sweep instead (a
  // round that finds nothing to read does nothing).
  bool missed = false;
  for (int i = 0; i < LoopTask::kHandles; ++i) {
    if (want[i] != slot->watching[i] &&
        NetPollerWatch(m_poller, want[i] ? handles[i] : slot->watched[i], Tag(slot, i), want[i])) {
      slot->watching[i] = want[i];
      slot->watched[i] = handles[i];
    }
    if (want[i] != slot->watching[i]) missed = true;
  }
  if (missed) slot->due = LoopClock::now();
  m_nextSweep = std::min(m_nextSweep, slot->due);
}

void EventLoop::Leave(Slot* slot) {
  // The loop must not report this task's handles while another thread
  // runs it.
  for (int i = 0; i < LoopTask::kHandles; ++i) {
    if (slot->watching[i]) NetPollerWatch(m_poller, slot->watched[i], nullptr, false);
    slot->watching[i] = false;
  }
  slot->offLoop = true;
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
  Slot* slot = t_inRound;
  if (loop == nullptr || slot == nullptr) return;
  loop->Leave(slot);
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
