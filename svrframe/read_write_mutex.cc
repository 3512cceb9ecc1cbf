#include "svrframe/read_write_mutex.h"

#include "platform/debug_log.h"

namespace QWTools {

void CReadWriteMutex::AcquireRead(bool keepOwner) {
  platform::SectionLock counter(counterLock_);
  if (readers_++ == 0) {
    writerLock_.Enter();
    if (!keepOwner) writerLock_.ClearOwner();
  }
}

void CReadWriteMutex::ReleaseRead() {
  platform::SectionLock counter(counterLock_);
  if (readers_ == 0) {
    platform::DebugOutput("CReadWriteMutex: ReleaseRead without a reader");
    return;
  }
  if (--readers_ == 0 && !writerLock_.Leave()) {
    // The group's lock was taken with keepOwner on another thread; leaving it
    // here would corrupt it, so it stays held and the misuse is reported.
    platform::DebugOutput("CReadWriteMutex: last reader does not own the writer lock");
  }
}

void CReadWriteMutex::AcquireWrite(int) { writerLock_.Enter(); }

void CReadWriteMutex::ReleaseWrite() {
  if (!writerLock_.Leave()) platform::DebugOutput("CReadWriteMutex: ReleaseWrite by a non-owner");
}

uint32_t CReadWriteMutex::Readers() {
  platform::SectionLock counter(counterLock_);
  return readers_;
}

CReadWriteMutexLock::CReadWriteMutexLock(CReadWriteMutex* mutex, bool write, bool lockNow,
                                         bool keepOwner)
    : mutex_(mutex), write_(write) {
  if (lockNow && mutex_ != nullptr) {
    if (write_) {
      mutex_->AcquireWrite(0);
    } else {
      mutex_->AcquireRead(keepOwner);
    }
    held_ = true;
  }
}

CReadWriteMutexLock::~CReadWriteMutexLock() {
  if (held_) Unlock();
}

void CReadWriteMutexLock::Relock() { Lock(write_); }

void CReadWriteMutexLock::Lock(bool write) {
  if (mutex_ == nullptr) return;
  // Locking a held guard again would leave one level that no one releases.
  if (held_) Unlock();
  write_ = write;
  if (write_) {
    mutex_->AcquireWrite(0);
  } else {
    mutex_->AcquireRead(true);
  }
  held_ = true;
}

void CReadWriteMutexLock::Unlock() {
  if (!held_ || mutex_ == nullptr) return;
  if (write_) {
    mutex_->ReleaseWrite();
  } else {
    mutex_->ReleaseRead();
  }
  held_ = false;
}

}  // namespace QWTools
