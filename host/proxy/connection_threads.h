// A thread per connection, where no event loop runs them (the plug-in's own
// socket road, whose calls wait inside; or a system without a readiness
// set). A thread whose connection has ended waits a while for the next one
// instead of ending: a thread is not started and torn down per connection.
#ifndef DIVIVEZ_HOST_PROXY_CONNECTION_THREADS_H_
#define DIVIVEZ_HOST_PROXY_CONNECTION_THREADS_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/proxy/connection.h"
#include "host/proxy/pump.h"

class ConnectionThreads {
 public:
  explicit ConnectionThreads(Pump* pump) : m_pump(pump) {}

  // Serves the connection on a waiting thread or a new one; false (with
  // *error) when no thread could be started.
  bool Serve(Connection* connection, std::string* error);
  // The waiting threads end now; those between their connection's end and
  // their wait take moments. True when none is left by the deadline.
  bool Stop(std::chrono::steady_clock::time_point deadline);

 private:
  struct Start;
  static void Thread(void* start);
  // Hands the connection to a thread waiting for one (true).
  bool HandToWaitingThread(Connection* connection);
  // The next connection for a thread whose connection has ended, or nullptr
  // when the thread is to end (and has been counted out).
  Connection* NextConnection();

  Pump* const m_pump;
  std::mutex m_mutex;
  std::condition_variable m_handOver;
  std::condition_variable m_ended;
  // Threads alive, those waiting for a connection, the connections handed
  // to them, and whether they are to end; all m_mutex.
  int m_threads = 0;
  int m_waiting = 0;
  std::vector<Connection*> m_handedOver;
  bool m_end = false;
};

#endif  // DIVIVEZ_HOST_PROXY_CONNECTION_THREADS_H_
