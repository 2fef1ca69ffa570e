// POSIX stand-ins for the Win32 mutex and the message-pumping wait.
//
// A handle is a CMutexObject with Windows semantics: owned by one thread,
// re-entrant for that thread (each wait is matched by a release), and
// released only by its owner. POSIX threads have no message queue, so
// MsgWaitForMultipleObjects is a plain wait and PeekMessageA finds nothing.
// NOT: a thread that ends while owning the mutex leaves it owned; Windows
// would report the mutex abandoned to the next waiter.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/last_error.h"

namespace {

constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorNotOwner = 288;

class CMutexObject {
 public:
  // WAIT_OBJECT_0 once the calling thread owns the mutex, WAIT_TIMEOUT when
  // timeoutMs passed first. INFINITE waits without limit.
  DWORD Acquire(DWORD timeoutMs) {
    std::unique_lock<std::mutex> guard(m_lock);
    const std::thread::id self = std::this_thread::get_id();
    if (m_dwRecursion > 0 && m_owner == self) {
      ++m_dwRecursion;
      return WAIT_OBJECT_0;
    }
    const auto isFree = [this] { return m_dwRecursion == 0; };
    if (timeoutMs == INFINITE) {
      m_released.wait(guard, isFree);
    } else if (!m_released.wait_for(guard, std::chrono::milliseconds(timeoutMs), isFree)) {
      return WAIT_TIMEOUT;
    }
    m_owner = self;
    m_dwRecursion = 1;
    return WAIT_OBJECT_0;
  }

  bool Release() {
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_dwRecursion == 0 || m_owner != std::this_thread::get_id()) return false;
    if (--m_dwRecursion == 0) {
      m_owner = std::thread::id();
      guard.unlock();
      m_released.notify_one();
    }
    return true;
  }

 private:
  std::mutex m_lock;  // guards the two fields below
  std::condition_variable m_released;
  std::thread::id m_owner;
  uint32_t m_dwRecursion = 0;  // 0: free
};

}  // namespace

// Only unnamed mutexes: a named one is shared between processes on Windows,
// which nothing here imitates.
HANDLE CreateMutexA(void* attributes, BOOL initialOwner, const char* name) {
  (void)attributes;
  if (name != nullptr) {
    PosixSetLastError(kErrorNotSupported);
    return nullptr;
  }
  auto* mutex = new (std::nothrow) CMutexObject;
  if (mutex == nullptr) {
    PosixSetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  if (initialOwner) mutex->Acquire(INFINITE);
  return mutex;
}

BOOL ReleaseMutex(HANDLE mutex) {
  if (mutex == nullptr) {
    PosixSetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  if (!static_cast<CMutexObject*>(mutex)->Release()) {
    PosixSetLastError(kErrorNotOwner);
    return FALSE;
  }
  return TRUE;
}

// Mutexes are the only handles on POSIX. The caller makes sure that no thread
// waits on the mutex any more.
BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) {
    PosixSetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  delete static_cast<CMutexObject*>(handle);
  return TRUE;
}

// One handle only, which is all the registry lock needs. The wake mask is
// ignored: there are no messages to wake for.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
  (void)waitAll;
  (void)wakeMask;
  if (count != 1 || handles == nullptr) {
    PosixSetLastError(kErrorInvalidParameter);
    return WAIT_FAILED;
  }
  if (handles[0] == nullptr) {
    PosixSetLastError(kErrorInvalidHandle);
    return WAIT_FAILED;
  }
  return static_cast<CMutexObject*>(handles[0])->Acquire(milliseconds);
}

BOOL PeekMessageA(MSG* msg, void* window, unsigned filterMin, unsigned filterMax,
                  unsigned removeMsg) {
  (void)msg;
  (void)window;
  (void)filterMin;
  (void)filterMax;
  (void)removeMsg;
  return FALSE;
}

BOOL TranslateMessage(const MSG* msg) {
  (void)msg;
  return FALSE;
}

long DispatchMessageA(const MSG* msg) {
  (void)msg;
  return 0;
}
