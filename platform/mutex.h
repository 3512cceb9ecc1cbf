// Locks and wake-up signals of the platform.
//
// CriticalSection is the recursive lock the whole service is built on. Like
// the lock it replaces it is owned by the thread that entered it, may be
// entered again by that thread, and can have its owner record cleared so that
// a different thread may leave it (the read/write lock hands the lock from
// the first reader to whichever reader is last). That last ability is why it
// is written on a mutex and a condition variable, not std::recursive_mutex.
//
// Signal is a sleep that ends early when someone has work for the sleeper.
// Both are safe from any thread.
#ifndef KVR_PLATFORM_MUTEX_H_
#define KVR_PLATFORM_MUTEX_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Blocks until the calling thread owns the lock; recursive for the owner.
  void Enter();
  // Enters only when that does not block.
  bool TryEnter();
  // Leaves one level. The owner leaves; when the owner record was cleared
  // any thread may leave. Returns false (and changes nothing) when the
  // calling thread has no right to leave or the lock is not held.
  bool Leave();
  // Forgets which thread holds the lock; the hold count stays.
  void ClearOwner();

  // True when the calling thread is the recorded owner.
  bool HeldByCurrentThread() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable released_;
  uint64_t owner_ = 0;     // thread id; 0 = none recorded
  uint32_t depth_ = 0;     // hold count; 0 = free
};

// RAII section over a CriticalSection.
class SectionLock {
 public:
  explicit SectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~SectionLock() { cs_.Leave(); }
  SectionLock(const SectionLock&) = delete;
  SectionLock& operator=(const SectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

// A wake-up flag for polling loops: Wait sleeps up to the given time and
// returns early (true) once Notify was called since the last Wait returned.
// A notification that comes before the wait is not lost.
class Signal {
 public:
  void Notify();
  // Returns true when woken by Notify, false when the time ran out.
  bool Wait(uint32_t ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool pending_ = false;
};

}  // namespace platform

#endif  // KVR_PLATFORM_MUTEX_H_
