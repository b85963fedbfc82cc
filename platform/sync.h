// Recursive critical section and auto-reset event, standing in for the
// Windows facilities of the same behaviour.
#ifndef HX_PLATFORM_SYNC_H
#define HX_PLATFORM_SYNC_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>

namespace hx {

class CriticalSection {
 public:
  void Lock() { m_.lock(); }
  void Unlock() { m_.unlock(); }
  bool TryLock() { return m_.try_lock(); }
  // For std::lock_guard / std::unique_lock.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};

class Lock {
 public:
  explicit Lock(CriticalSection &cs) : cs_(cs) { cs_.Lock(); }
  ~Lock() { cs_.Unlock(); }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

 private:
  CriticalSection &cs_;
};

// Auto-reset event, not signalled at construction. Set releases exactly one
// waiter (or the next one to wait, if none waits) and the event resets as it
// releases it; signals do not accumulate.
class Event {
 public:
  void Set();
  void Reset();
  // true when signalled, false when `timeout_ms` passed first.
  bool Wait(uint32_t timeout_ms);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

enum : uint32_t { kInfinite = 0xFFFFFFFFu };

}  // namespace hx
#endif
