// Event loops: a few threads run the rounds of many tasks.
//
// A task is anything with up to two sockets (handles) to watch for
// readability and a time its next round is due without input; the loop
// knows nothing else of it. A loop is a readiness set (NetPoller) and the
// list of its tasks; one thread at a time runs it. The group starts the
// loops, gives each task adopted to the loop with the fewest, and keeps the
// threads that run them.
//
// A round that has to wait (a send the peer does not take, a long
// computation) first calls LoopGroup::LeaveBeforeWaiting: the task's handles
// leave the set, the task is marked off the loop, the loop passes to a spare
// thread (or a new one) with the rest of its batch, and the thread that left
// finishes that round alone and then returns the task to the loop's queue. A
// task is thus run by one thread at a time, rounds in order, and a loop's
// other tasks never wait for one that waits.
//
// A task that is done is retired only at the loop's next pass: events of the
// batch in hand may still name it.
//
// The readiness set is epoll on Linux and WSAPoll on Windows (see
// host/base/win32/net.cpp). Where the system has none, Start starts no loop
// and the caller keeps a thread per task.
#ifndef DIVIVEZ_HOST_LOOP_EVENT_LOOP_H_
#define DIVIVEZ_HOST_LOOP_EVENT_LOOP_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "host/base/log.h"
#include "host/base/net.h"

using LoopClock = std::chrono::steady_clock;

class EventLoop;
struct LoopSlot;

class LoopTask {
 public:
  static constexpr int kHandles = 2;

  // What a task is after a round. kWindingDown: still on the loop (a
  // lingering close, say) but no longer counted when the group chooses the
  // loop with the fewest; kDone: to be retired.
  enum class Status { kRunning, kWindingDown, kDone };

  LoopTask() = default;
  LoopTask(const LoopTask&) = delete;
  LoopTask& operator=(const LoopTask&) = delete;
  virtual ~LoopTask() = default;

  // The first round, on the loop, in the order of adoption.
  virtual Status Start() = 0;
  // A round: which handles are readable, or due and not watched.
  virtual Status Round(bool readable0, bool readable1) = 0;
  // After each round that left it running: its handles, which to watch,
  // and when the next round is due anyway.
  virtual LoopClock::time_point Wants(NetSocket handles[kHandles], bool watch[kHandles]) = 0;
  // Done, and no event names it any more: the task is the caller's again
  // (to free), on the loop's thread. A task that is done has closed its
  // handles.
  virtual void Retire() = 0;

 protected:
  // In a round, when the task closes a watched handle itself, before or
  // right after the close (the set must forget it before its next wait).
  void HandleClosed(int handle);

 private:
  friend class EventLoop;
  LoopSlot* m_slot = nullptr;  // the loop's scheduling of it, while adopted
};

class LoopGroup {
 public:
  // Threads start with stackBytes of stack; failures to start one go to log.
  LoopGroup(Logger* log, size_t stackBytes);
  ~LoopGroup();
  LoopGroup(const LoopGroup&) = delete;
  LoopGroup& operator=(const LoopGroup&) = delete;

  // Starts up to count loops, each with a thread. None where the system has
  // no readiness set, and no more once a thread could not be started.
  void Start(unsigned count);
  bool Empty() const { return m_loops.empty(); }
  // Gives the task to the loop with the fewest (the first of equals, so
  // that a lone client's tasks keep to one warm thread). Any thread.
  void Adopt(LoopTask* task);
  // From now on every task gets a round at every pass (a shutdown that cuts).
  void DueAll();
  // The threads end once their loops have no task left and no thread wants
  // a loop; true when all have by the deadline.
  bool Stop(LoopClock::time_point deadline);

  // Called before a wait inside a round; a no-op on a thread that runs no
  // loop's round.
  static void LeaveBeforeWaiting();

 private:
  friend class EventLoop;
  // Gives the loop to a spare thread, or starts one. False (logged) when no
  // thread could be started; the loop then waits, queued, for the next
  // thread that looks for one.
  bool HandOff(EventLoop* loop);
  // A loop thread runs loops handed to it until none is left for a while.
  void RunLoops();
  static void LoopThread(void* group);

  Logger* m_log;
  size_t m_stackBytes;
  std::vector<EventLoop*> m_loops;  // fixed once started
  std::atomic<bool> m_dueAll{false};
  std::atomic<bool> m_end{false};
  std::mutex m_mutex;
  std::condition_variable m_runnerWanted;
  std::condition_variable m_threadEnded;
  std::vector<EventLoop*> m_orphans;  // loops without a thread; m_mutex
  int m_spareRunners = 0;             // threads waiting for one; m_mutex
  int m_threads = 0;                  // m_mutex
};

#endif  // DIVIVEZ_HOST_LOOP_EVENT_LOOP_H_
