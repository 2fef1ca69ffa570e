// Event loops: a few threads run the rounds of many connections.
//
// The accepting thread hands each new connection to the loop with the
// fewest; the loop sets it up (PROXY header, read as it arrives without a
// thread waiting for it; upstream connect, XCLIENT, OnNewConnection) and
// runs its rounds. A loop is a readiness set
// (NetPoller) and the list of its connections; one thread at a time runs
// it. A round that has to wait (a send the peer does not take, a
// scan that is not quick, a lingering close) first calls
// LeaveLoopBeforeWaiting: the connection is taken out of the set and marked
// off the loop, the loop passes to a spare thread (or a new one) with the
// rest of its batch, and the thread that left finishes that round alone and
// then returns the connection to the loop's queue. A connection is thus run
// by one thread at a time, rounds in order, and a loop's other connections
// never wait for one that waits. An ended connection's client socket
// lingers on the loop (see NetLingeringClose) rather than on a thread.
//
// A connection that ends is freed only at the loop's next round: events of
// the batch in hand may still name it.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <algorithm>
#include <deque>
#include <thread>

#include "host/base/os.h"
#include "host/proxy/connection.h"

namespace {

// How often a loop looks at its connections' due times (held sides, close
// grace, time limits).
constexpr auto kSweepEvery = std::chrono::milliseconds(25);
constexpr int kBatch = 64;
// A spare thread waits this long for a loop to run before it ends.
constexpr auto kSpareWait = std::chrono::seconds(10);
thread_local Proxy::Loop* t_loop = nullptr;           // the loop this thread runs
thread_local Proxy::Connection* t_inRound = nullptr;  // whose round it is in

void* Tag(Proxy::Connection* c, bool server) {
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(c) | (server ? 1u : 0u));
}

}  // namespace

struct Proxy::Loop {
  NetPoller* poller = nullptr;
  // The running thread's alone.
  std::vector<Connection*> connections;
  std::vector<Connection*> ended;
  std::deque<Connection*> toSetUp;  // adopted, listed, not yet set up
  NetPollerEvent batch[kBatch];
  int batchCount = 0;
  int batchNext = 0;
  Clock::time_point nextSweep;
  // Connections adopted whose sessions have not ended: a new one goes to
  // the loop with the fewest (the first of equals, so that a lone client's
  // connections keep to one warm thread).
  std::atomic<int> load{0};
  // Handed in by other threads.
  std::mutex mutex;
  std::vector<Connection*> adopted;   // accepted, not yet listed
  std::vector<Connection*> returned;  // back from a thread that left the loop
};

namespace {

void LoopThread(void* arg) {
  auto* proxy = static_cast<Proxy*>(arg);
  proxy->RunLoops();
}

}  // namespace

void Proxy::StartLoops() {
  if (m_settings.socketService != SocketService::kHost) return;
  // The socket layer's waits (a connect, a send, a lingering close) leave
  // the loop first; a no-op on any other thread.
  NetSetBeforeWait(LeaveLoopBeforeWaiting);
  const unsigned cpus = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
  for (unsigned i = 0; i < cpus; ++i) {
    NetPoller* poller = NetPollerCreate();
    if (poller == nullptr) break;  // none on this system: a thread per connection
    auto* loop = new Loop();
    loop->poller = poller;
    if (!HandOffLoop(loop)) {
      // Not one connection may go to a loop that no thread runs.
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_orphanLoops.erase(std::find(m_orphanLoops.begin(), m_orphanLoops.end(), loop));
      }
      NetPollerDestroy(poller);
      delete loop;
      break;
    }
    m_loops.push_back(loop);
  }
}

void Proxy::StopLoops() {
  // Under m_mutex (the caller's): a spare thread checks it waiting there.
  m_loopsEnd = true;
  m_runnerWanted.notify_all();
  WakeLoops();
}

void Proxy::WakeLoops() {
  for (Loop* loop : m_loops) NetPollerWake(loop->poller);
}

void Proxy::FreeLoops() {
  for (Loop* loop : m_loops) {
    NetPollerDestroy(loop->poller);
    delete loop;
  }
  m_loops.clear();
}

void Proxy::Adopt(Connection* c) {
  Loop* loop = m_loops.front();
  for (Loop* other : m_loops) {
    if (other->load.load() < loop->load.load()) loop = other;
  }
  ++loop->load;
  {
    std::lock_guard<std::mutex> lock(loop->mutex);
    loop->adopted.push_back(c);
  }
  NetPollerWake(loop->poller);
}

bool Proxy::HandOffLoop(Loop* loop) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_orphanLoops.push_back(loop);
    if (m_spareRunners >= static_cast<int>(m_orphanLoops.size())) {
      m_runnerWanted.notify_one();
      return true;
    }
    ++m_threads;
  }
  std::string why;
  if (OsStartThread(LoopThread, this, kConnectionStack, &why)) return true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_threads;
  }
  // The loop stays queued: the thread that left it takes it back when its
  // round is done.
  m_log->Line("cannot start a loop thread: %s", why.c_str());
  return false;
}

void Proxy::RunLoops() {
  for (;;) {
    Loop* loop = nullptr;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_spareRunners;
      m_runnerWanted.wait_for(lock, kSpareWait,
                              [this] { return m_loopsEnd || !m_orphanLoops.empty(); });
      --m_spareRunners;
      if (!m_orphanLoops.empty()) {
        loop = m_orphanLoops.back();
        m_orphanLoops.pop_back();
      } else {
        --m_threads;
        m_ended.notify_all();
        return;
      }
    }
    RunLoop(loop);
  }
}

void Proxy::RunLoop(Loop* loop) {
  t_loop = loop;
  while (t_loop == loop) {
    if (loop->batchNext < loop->batchCount) {
      const NetPollerEvent event = loop->batch[loop->batchNext++];
      if (event.tag == nullptr) continue;  // a wake
      const auto bits = reinterpret_cast<uintptr_t>(event.tag);
      auto* c = reinterpret_cast<Connection*>(bits & ~static_cast<uintptr_t>(1));
      if (c->offLoop || c->ended) continue;
      const bool server = (bits & 1u) != 0;
      Round(loop, c, !server, server);
      continue;
    }
    if (!TakeQueues(loop)) break;
    // Oldest first; a set-up that waits leaves the rest to the next thread.
    while (!loop->toSetUp.empty()) {
      Connection* c = loop->toSetUp.front();
      loop->toSetUp.pop_front();
      SetUpOnLoop(loop, c);
      if (t_loop != loop) return;
    }
    Clock::time_point now = Clock::now();
    int timeout = -1;
    if (!loop->connections.empty()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(loop->nextSweep - now).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    loop->batchCount = NetPollerWait(loop->poller, loop->batch, kBatch, timeout);
    loop->batchNext = 0;
    now = Clock::now();
    if (m_abort.load() || now >= loop->nextSweep) Sweep(loop, now);
  }
  if (t_loop == loop) t_loop = nullptr;
}

bool Proxy::TakeQueues(Loop* loop) {
  std::vector<Connection*> adopted;
  std::vector<Connection*> returned;
  {
    std::lock_guard<std::mutex> lock(loop->mutex);
    adopted.swap(loop->adopted);
    returned.swap(loop->returned);
  }
  for (Connection* c : adopted) {
    c->loopIndex = loop->connections.size();
    loop->connections.push_back(c);
    loop->toSetUp.push_back(c);
  }
  for (Connection* c : returned) {
    c->offLoop = false;
    if (c->ended) {
      loop->ended.push_back(c);
    } else {
      Rearm(loop, c);
    }
  }
  // No event of the batch just done names these any more.
  for (Connection* c : loop->ended) {
    Connection* last = loop->connections.back();
    last->loopIndex = c->loopIndex;
    loop->connections[c->loopIndex] = last;
    loop->connections.pop_back();
    Retire(c);
  }
  loop->ended.clear();
  return !loop->connections.empty() || !m_loopsEnd.load();
}

void Proxy::Sweep(Loop* loop, Clock::time_point now) {
  loop->nextSweep = now + kSweepEvery;
  const bool abort = m_abort.load();
  // By index: a round may end a connection (it stays listed until the next
  // round of the loop) or leave the loop (then this thread stops here).
  for (size_t i = 0; i < loop->connections.size(); ++i) {
    Connection* c = loop->connections[i];
    if (c->offLoop || c->ended) continue;
    if (!abort && now < c->wake) continue;
    // A side the set could not take is read when a sweep finds it due.
    Round(loop, c, !c->watchingClient, !c->watchingServer);
    if (t_loop != loop) return;
  }
}

void Proxy::SetUpOnLoop(Loop* loop, Connection* c) {
  t_inRound = c;
  BindConnectionThread(c);
  // The PROXY header is read as it arrives: until it is whole the loop
  // watches the client (Rearm), and the next round comes back here.
  const HeaderStep header = c->awaitingHeader ? HeaderRound(c) : HeaderStep::kAdmitted;
  if (header == HeaderStep::kEnded || (header == HeaderStep::kAdmitted && !SetUp(c))) {
    // Its sockets are closed; it is retired with the loop's next round.
    c->ended = true;
    c->watchingClient = false;
    --loop->load;
  }
  BindConnectionThread(nullptr);
  t_inRound = nullptr;
  BackToLoop(loop, c);
}

void Proxy::BackToLoop(Loop* loop, Connection* c) {
  if (t_loop == loop) {
    if (c->ended) {
      loop->ended.push_back(c);
    } else {
      Rearm(loop, c);
    }
    return;
  }
  // This thread left the loop on the way: the connection goes back.
  {
    std::lock_guard<std::mutex> lock(loop->mutex);
    loop->returned.push_back(c);
  }
  NetPollerWake(loop->poller);
}

void Proxy::Round(Loop* loop, Connection* c, bool clientReadable, bool serverReadable) {
  if (c->lingering) {
    c->ended = LingerDone(c);
    BackToLoop(loop, c);
    return;
  }
  if (c->awaitingHeader) {
    SetUpOnLoop(loop, c);
    return;
  }
  t_inRound = c;
  BindConnectionThread(c);
  const char* reason = PumpStep(c, clientReadable, serverReadable);
  if (reason != nullptr) {
    // The server socket is closed, which takes it out of the set; the
    // client's lingers on the loop.
    EndPump(c, reason, false);
    c->watchingServer = false;
    c->lingering = true;
    c->lingerEnd = Clock::now() + std::chrono::milliseconds(kLingerMs);
    --loop->load;
  }
  BindConnectionThread(nullptr);
  t_inRound = nullptr;
  BackToLoop(loop, c);
}

bool Proxy::LingerDone(Connection* c) {
  // As NetLingeringClose, without the wait: what the client still sends is
  // read and dropped until it closes or the time is up.
  char discard[4096];
  while (Clock::now() < c->lingerEnd) {
    const int n = NetRecv(c->clientSocket, discard, sizeof discard);
    if (n > 0) continue;
    if (n == kNetWouldBlock) return false;
    break;
  }
  NetClose(c->clientSocket);
  c->watchingClient = false;
  return true;
}

void Proxy::Rearm(Loop* loop, Connection* c) {
  bool client = true;
  bool server = false;
  if (c->lingering) {
    c->wake = c->lingerEnd;
  } else if (c->awaitingHeader) {
    c->wake = c->headerDue;
  } else {
    c->wake = PumpWants(c, Clock::now(), &client, &server);
  }
  // A side that cannot be watched is tried at every sweep instead (a round
  // that finds nothing to read does nothing).
  if (client != c->watchingClient &&
      NetPollerWatch(loop->poller, c->clientSocket, Tag(c, false), client)) {
    c->watchingClient = client;
  }
  if (server != c->watchingServer &&
      NetPollerWatch(loop->poller, c->serverSocket, Tag(c, true), server)) {
    c->watchingServer = server;
  }
  if (client != c->watchingClient || server != c->watchingServer) c->wake = Clock::now();
  loop->nextSweep = std::min(loop->nextSweep, c->wake);
}

void LeaveLoopBeforeWaiting() {
  Proxy::Loop* loop = t_loop;
  Proxy::Connection* c = t_inRound;
  if (loop == nullptr || c == nullptr) return;
  // The loop must not report this connection's sockets while another
  // thread runs it.
  if (c->watchingClient) NetPollerWatch(loop->poller, c->clientSocket, nullptr, false);
  if (c->watchingServer) NetPollerWatch(loop->poller, c->serverSocket, nullptr, false);
  c->watchingClient = c->watchingServer = false;
  c->offLoop = true;
  t_loop = nullptr;
  c->owner->HandOffLoop(loop);
}
