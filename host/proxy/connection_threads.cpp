// A thread per connection. See connection_threads.h.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/connection_threads.h"

#include "host/base/os.h"

namespace {

// Threads that wait for another connection after theirs ends, at most this
// many and this long.
constexpr int kMaxWaitingThreads = 64;
constexpr auto kThreadWait = std::chrono::seconds(10);

}  // namespace

struct ConnectionThreads::Start {
  ConnectionThreads* threads;
  Connection* first;
};

void ConnectionThreads::Thread(void* arg) {
  auto* start = static_cast<Start*>(arg);
  ConnectionThreads* const threads = start->threads;
  Connection* connection = start->first;
  delete start;
  while (connection != nullptr) {
    threads->m_pump->Serve(connection);
    connection = threads->NextConnection();
  }
}

bool ConnectionThreads::Serve(Connection* connection, std::string* error) {
  if (HandToWaitingThread(connection)) return true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_threads;
  }
  auto* start = new Start{this, connection};
  if (OsStartThread(Thread, start, kConnectionStack, error)) return true;
  delete start;
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_threads;
  return false;
}

bool ConnectionThreads::HandToWaitingThread(Connection* connection) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waiting <= static_cast<int>(m_handedOver.size())) return false;
    m_handedOver.push_back(connection);
  }
  // Woken after the unlock, the thread finds the mutex free instead of
  // sleeping again at once until this one lets it go.
  m_handOver.notify_one();
  return true;
}

Connection* ConnectionThreads::NextConnection() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_end && OsMayReuseConnectionThreads() && m_waiting < kMaxWaitingThreads) {
    ++m_waiting;
    m_handOver.wait_for(lock, kThreadWait, [this] { return m_end || !m_handedOver.empty(); });
    --m_waiting;
    if (!m_handedOver.empty()) {
      Connection* next = m_handedOver.back();
      m_handedOver.pop_back();
      return next;
    }
  }
  --m_threads;
  m_ended.notify_all();
  return nullptr;
}

bool ConnectionThreads::Stop(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_end = true;
  m_handOver.notify_all();
  return m_ended.wait_until(lock, deadline, [this] { return m_threads == 0; });
}
