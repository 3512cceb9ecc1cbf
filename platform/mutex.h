// Locks and wake-up signals of the platform.
//
// CriticalSection is the recursive lock the whole service is built on. Like
// the lock it replaces it is owned by the thread that entered it, may be
// entered again by that thread, and can have its owner record cleared so that
// a different thread may leave it (the read/write lock hands the lock from
// the first reader to whichever reader is last). That last ability is why it
// is written on an atomic word rather than std::recursive_mutex.
//
// Mutex and SharedMutex are std::mutex and std::shared_mutex as locks the
// thread-safety analysis knows, for the members that name their lock with
// GUARDED_BY. A condition variable waits on them as std::condition_variable_any
// (cv.wait(mu) with the Mutex held through a MutexLock).
//
// Signal is a sleep that ends early when someone has work for the sleeper.
// All are safe from any thread.
#ifndef KVR_PLATFORM_MUTEX_H_
#define KVR_PLATFORM_MUTEX_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Blocks until the calling thread owns the lock; recursive for the owner.
  void Enter() ACQUIRE();
  // Enters only when that does not block.
  bool TryEnter() TRY_ACQUIRE(true);
  // Leaves one level. The owner leaves; when the owner record was cleared
  // any thread may leave. Returns false (and changes nothing) when the
  // calling thread has no right to leave or the lock is not held.
  bool Leave() RELEASE();
  // Forgets which thread holds the lock; the hold count stays.
  void ClearOwner();

  // True when the calling thread is the recorded owner.
  bool HeldByCurrentThread() const;

 private:
  // Every message through the framework takes a few of these locks, so the
  // uncontended path is two atomic operations and a short spin comes before
  // sleeping: a futex-style word (0 free, 1 held, 2 held with sleepers).
  std::atomic<int> state_{0};
  std::atomic<uint64_t> owner_{0};  // thread id; 0 = none recorded
  std::atomic<uint32_t> depth_{0};  // hold count, changed only by the holder
};

// RAII section over a CriticalSection.
class SCOPED_CAPABILITY SectionLock {
 public:
  explicit SectionLock(CriticalSection& cs) ACQUIRE(cs) : cs_(cs) { cs_.Enter(); }
  ~SectionLock() RELEASE() { cs_.Leave(); }
  SectionLock(const SectionLock&) = delete;
  SectionLock& operator=(const SectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

// A plain (not recursive) lock. It meets the standard's Lockable, so
// std::unique_lock and std::condition_variable_any take it too.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// RAII hold of a Mutex.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// A reader/writer lock: many readers or one writer.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// RAII hold of the shared (reader) side of a SharedMutex.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~ReaderLock() RELEASE() { mu_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
};

// RAII hold of the exclusive (writer) side of a SharedMutex.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterLock() RELEASE() { mu_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
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
  // A busy sender notifies far more often than the sleeper sleeps, so a
  // notification costs a system call only when someone is really asleep,
  // and a waiter looks briefly for work before it goes to sleep. The sleep
  // is a futex on `epoch_` rather than a condition variable: one system call
  // to sleep and one to wake, where the condition variable's wake-ups and
  // its mutex cost three to five between the two threads of every handoff.
  std::atomic<bool> pending_{false};
  std::atomic<int> sleepers_{0};
  std::atomic<uint32_t> epoch_{0};  // moved on by every wake-up that finds a sleeper
};

}  // namespace platform

#endif  // KVR_PLATFORM_MUTEX_H_
