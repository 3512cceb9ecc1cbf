// The lock interface and its critical-section implementation.
//
// CNewMutex is shared by reference count (IAddRefAble: 1 after construction).
// CThreadMutex is one recursive critical section; the TCP server objects hold
// one each. Lock and Unlock are safe from any thread.
#ifndef KVR_SVRFRAME_THREAD_MUTEX_H_
#define KVR_SVRFRAME_THREAD_MUTEX_H_

#include "platform/mutex.h"
#include "svrframe/referable.h"

class CNewMutex : public IAddRefAble {
 public:
  virtual int Lock() = 0;
  virtual int Unlock() = 0;
};

class CThreadMutex : public CNewMutex {
 public:
  // Enters the critical section; returns 0.
  int Lock() override {
    section_.Enter();
    return 0;
  }
  // Leaves it; returns 0.
  int Unlock() override {
    section_.Leave();
    return 0;
  }

 private:
  platform::CriticalSection section_;
};

#endif  // KVR_SVRFRAME_THREAD_MUTEX_H_
