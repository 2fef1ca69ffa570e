// The event loop on loopback sockets: a round for a readable handle and for a
// due time, a round that waits hands the loop on, a task done while its
// event is pending is neither run again nor retired before the batch is
// over, and a new task goes to the loop with the fewest.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/loop/event_loop.h"

namespace {

using std::chrono::milliseconds;

// A connected pair on loopback: {ours, the peer's}.
std::pair<NetSocket, NetSocket> ConnectedPair() {
  std::string error;
  uint16_t port = 0;
  bool badAddress = false;
  const NetSocket listener = NetListen("127.0.0.1", 0, &port, &badAddress, &error);
  const NetSocket peer = NetConnect("127.0.0.1", port, 5000, &error);
  NetSocket accepted = kNetInvalidSocket;
  for (int i = 0; i < 100 && accepted == kNetInvalidSocket; ++i) {
    std::string name;
    accepted = NetAccept(listener, &name);
    if (accepted == kNetInvalidSocket) std::this_thread::sleep_for(milliseconds(20));
  }
  NetClose(listener);
  return {accepted, peer};
}

// What the loop did with a task, as the test thread sees it.
struct Record {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;  // "start", "round 10" (readable0, readable1), "retire"
  std::vector<std::thread::id> threads;

  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    threads.push_back(std::this_thread::get_id());
    changed.notify_all();
  }
  // Waits until events holds n entries; false after five seconds.
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= n; });
  }
  bool WaitUntil(const std::string& event) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::find(events.begin(), events.end(), event) != events.end();
    });
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
};

class TestTask final : public LoopTask {
 public:
  TestTask(Record* record, NetSocket a, NetSocket b) : m_record(record), m_handles{a, b} {}

  using Action = std::function<Status(TestTask*)>;
  // What the next rounds do; by default they read what is there and go on.
  void SetRound(Action action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onRound = std::move(action);
  }
  // Ends the task at its next round.
  void FinishNext() {
    SetRound([](TestTask* t) {
      t->CloseAll();
      return Status::kDone;
    });
  }
  // Set before adoption, or by the task's own rounds.
  bool watch[kHandles] = {true, true};
  LoopClock::time_point due = LoopClock::now() + std::chrono::hours(1);
  std::mutex* startGate = nullptr;  // held by the test: the start waits

  Status Start() override {
    if (startGate != nullptr) std::lock_guard<std::mutex> wait(*startGate);
    m_record->Add("start");
    return Status::kRunning;
  }
  // A round is recorded once it is over, so that what the test does next
  // comes after it.
  Status Round(bool readable0, bool readable1) override {
    Action action;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      action = m_onRound;
    }
    Status status = Status::kRunning;
    if (action) {
      status = action(this);
    } else {
      Drain();
    }
    m_record->Add(std::string("round ") + (readable0 ? "1" : "0") + (readable1 ? "1" : "0"));
    return status;
  }
  void Note(const std::string& event) { m_record->Add(event); }
  LoopClock::time_point Wants(NetSocket handles[kHandles], bool want[kHandles]) override {
    for (int i = 0; i < kHandles; ++i) {
      handles[i] = m_handles[i];
      want[i] = watch[i];
    }
    return due;
  }
  void Retire() override { m_record->Add("retire"); }

  void Drain() {
    char buffer[256];
    for (NetSocket socket : m_handles) {
      while (socket != kNetInvalidSocket && NetRecv(socket, buffer, sizeof buffer) > 0) {
      }
    }
  }
  void CloseAll() {
    for (int i = 0; i < kHandles; ++i) {
      if (m_handles[i] == kNetInvalidSocket) continue;
      HandleClosed(i);
      NetClose(m_handles[i]);
      m_handles[i] = kNetInvalidSocket;
    }
  }

 private:
  Record* m_record;
  NetSocket m_handles[kHandles];
  std::mutex m_mutex;
  Action m_onRound;
};

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(NetStartup(&error)) << error;
    for (auto& pair : m_pairs) {
      pair = ConnectedPair();
      ASSERT_NE(pair.first, kNetInvalidSocket);
      ASSERT_NE(pair.second, kNetInvalidSocket);
    }
  }
  void TearDown() override {
    EXPECT_TRUE(m_group.Stop(LoopClock::now() + std::chrono::seconds(5)));
    for (auto& pair : m_pairs) NetClose(pair.second);
  }
  void Send(int pair) { ASSERT_EQ(NetSend(m_pairs[pair].second, "x", 1), 1); }

  Logger m_log;
  LoopGroup m_group{&m_log, 256 * 1024};
  std::pair<NetSocket, NetSocket> m_pairs[4];
};

TEST_F(EventLoopTest, RoundsForReadableHandlesAndDueTimes) {
  if ((m_group.Start(1), m_group.Empty())) GTEST_SKIP() << "no readiness set on this system";
  Record record;
  TestTask task(&record, m_pairs[0].first, m_pairs[1].first);
  task.watch[1] = false;  // the second handle's input waits for the due time
  m_group.Adopt(&task);
  ASSERT_TRUE(record.WaitFor(1));
  Send(1);
  Send(0);
  ASSERT_TRUE(record.WaitFor(2));
  EXPECT_EQ(record.Events()[1], "round 10");

  // Nothing watched: the due time brings the round, every handle counted
  // as readable since none is watched.
  task.SetRound([](TestTask* t) {
    t->watch[0] = false;
    t->due = LoopClock::now() + milliseconds(100);
    return LoopTask::Status::kRunning;
  });
  const auto sent = LoopClock::now();
  Send(0);
  ASSERT_TRUE(record.WaitFor(4));
  EXPECT_GE(LoopClock::now() - sent, milliseconds(100));
  EXPECT_EQ(record.Events()[3], "round 11");

  task.FinishNext();
  ASSERT_TRUE(record.WaitUntil("retire"));
  const auto events = record.Events();
  for (size_t i = 3; i + 1 < events.size(); ++i) EXPECT_EQ(events[i], "round 11");
}

TEST_F(EventLoopTest, DoneWhileItsOtherHandleIsPendingIsNotRunAgain) {
  if ((m_group.Start(1), m_group.Empty())) GTEST_SKIP() << "no readiness set on this system";
  Record record;
  TestTask task(&record, m_pairs[0].first, m_pairs[1].first);
  // Both handles are ready when the loop first watches them, so one batch
  // names both: the first round closes both and is done, and the batch's
  // second event names a task that is done.
  std::mutex gate;
  std::unique_lock<std::mutex> held(gate);
  task.startGate = &gate;
  task.FinishNext();
  m_group.Adopt(&task);
  Send(0);
  Send(1);
  std::this_thread::sleep_for(milliseconds(100));
  held.unlock();
  ASSERT_TRUE(record.WaitFor(3));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(record.Events(), (std::vector<std::string>{"start", "round 10", "retire"}));
}

TEST_F(EventLoopTest, ARoundThatWaitsHandsTheLoopToAnotherThread) {
  if ((m_group.Start(1), m_group.Empty())) GTEST_SKIP() << "no readiness set on this system";
  Record waiting;
  Record other;
  TestTask slow(&waiting, m_pairs[0].first, kNetInvalidSocket);
  TestTask quick(&other, m_pairs[1].first, kNetInvalidSocket);
  slow.watch[1] = quick.watch[1] = false;
  std::mutex gate;
  std::unique_lock<std::mutex> held(gate);
  slow.SetRound([&gate](TestTask* t) {
    t->Drain();
    LoopGroup::LeaveBeforeWaiting();
    t->Note("waits");
    std::lock_guard<std::mutex> wait(gate);
    return LoopTask::Status::kRunning;
  });
  m_group.Adopt(&slow);
  m_group.Adopt(&quick);
  ASSERT_TRUE(waiting.WaitFor(1));
  ASSERT_TRUE(other.WaitFor(1));
  Send(0);
  ASSERT_TRUE(waiting.WaitFor(2));  // slow's round waits
  Send(1);
  ASSERT_TRUE(other.WaitFor(2));  // quick's goes on meanwhile
  EXPECT_NE(other.threads[1], waiting.threads[1]);
  // Back on the loop, the task that waited gets its rounds again.
  slow.FinishNext();
  held.unlock();
  ASSERT_TRUE(waiting.WaitFor(3));
  std::this_thread::sleep_for(milliseconds(50));
  Send(0);
  ASSERT_TRUE(waiting.WaitUntil("retire"));
  EXPECT_EQ(waiting.Events(),
            (std::vector<std::string>{"start", "waits", "round 10", "round 10", "retire"}));
  quick.FinishNext();
  Send(1);
  ASSERT_TRUE(other.WaitUntil("retire"));
}

TEST_F(EventLoopTest, ANewTaskGoesToTheLoopWithTheFewest) {
  if ((m_group.Start(2), m_group.Empty())) GTEST_SKIP() << "no readiness set on this system";
  Record records[4];
  std::vector<std::unique_ptr<TestTask>> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.emplace_back(new TestTask(&records[i], m_pairs[i].first, kNetInvalidSocket));
    tasks.back()->watch[1] = false;
  }
  tasks[0]->SetRound([](TestTask* t) {
    t->Drain();
    return LoopTask::Status::kWindingDown;
  });
  // 0 and 2 on the first loop, 1 on the second (the first of equals).
  for (int i = 0; i < 3; ++i) {
    m_group.Adopt(tasks[i].get());
    ASSERT_TRUE(records[i].WaitFor(1));
  }
  EXPECT_NE(records[0].threads[0], records[1].threads[0]);
  EXPECT_EQ(records[0].threads[0], records[2].threads[0]);
  // 0 winds down: both loops count one. Its second round shows the first
  // one's end seen by the loop.
  Send(0);
  ASSERT_TRUE(records[0].WaitFor(2));
  Send(0);
  ASSERT_TRUE(records[0].WaitFor(3));
  m_group.Adopt(tasks[3].get());
  ASSERT_TRUE(records[3].WaitFor(1));
  EXPECT_EQ(records[3].threads[0], records[0].threads[0]);
  for (int i = 0; i < 4; ++i) {
    tasks[i]->FinishNext();
    Send(i);
  }
  for (Record& record : records) ASSERT_TRUE(record.WaitUntil("retire"));
}

}  // namespace
