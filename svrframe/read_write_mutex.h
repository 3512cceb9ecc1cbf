// The lock of every module and table, and its scope guard.
//
// CReadWriteMutex lets a group of readers hold one writer lock together: the
// first reader takes it for the group and the last gives it back, so a writer
// waits until the group is gone. The writer lock is owned by a thread like a
// critical section; a first reader that passes keepOwner = false clears the
// owner record so that a reader on a different thread may be the last one.
// Writers and readers are recursive for the thread that holds the lock.
//
// CReadWriteMutex is safe from any thread. A CReadWriteMutexLock belongs to
// the thread that made it (it lives on that thread's stack).
#ifndef KVR_SVRFRAME_READ_WRITE_MUTEX_H_
#define KVR_SVRFRAME_READ_WRITE_MUTEX_H_

#include <cstdint>

#include "platform/mutex.h"

namespace QWTools {

class CAPABILITY("mutex") CReadWriteMutex {
 public:
  CReadWriteMutex() = default;
  virtual ~CReadWriteMutex() = default;
  CReadWriteMutex(const CReadWriteMutex&) = delete;
  CReadWriteMutex& operator=(const CReadWriteMutex&) = delete;

  virtual void ReleaseRead() RELEASE_SHARED();
  virtual void AcquireRead(bool keepOwner) ACQUIRE_SHARED();
  // The argument is accepted for compatibility and ignored.
  virtual void AcquireWrite(int ignored = 0) ACQUIRE();
  virtual void ReleaseWrite() RELEASE();

  // Number of shared holders (for diagnostics and tests).
  uint32_t Readers();

 private:
  uint32_t readers_ = 0;
  platform::CriticalSection counterLock_;
  platform::CriticalSection writerLock_;
};

// The analysis sees every guard as exclusive and locking at once, which is
// how the service makes them all; the other modes exist for the read/write
// lock's own users.
class SCOPED_CAPABILITY CReadWriteMutexLock {
 public:
  explicit CReadWriteMutexLock(CReadWriteMutex* mutex, bool write = true, bool lockNow = true,
                               bool keepOwner = true) ACQUIRE(mutex);
  virtual ~CReadWriteMutexLock() RELEASE();
  CReadWriteMutexLock(const CReadWriteMutexLock&) = delete;
  CReadWriteMutexLock& operator=(const CReadWriteMutexLock&) = delete;

  // Locks again in the stored mode.
  virtual void Relock() ACQUIRE();
  virtual void Lock(bool write) ACQUIRE();
  // Releases in the stored mode; a guard that is not holding does nothing.
  virtual void Unlock() RELEASE();

  bool IsHeld() const { return held_; }

 private:
  CReadWriteMutex* mutex_;
  bool write_;
  bool held_ = false;
};

}  // namespace QWTools

#endif  // KVR_SVRFRAME_READ_WRITE_MUTEX_H_
