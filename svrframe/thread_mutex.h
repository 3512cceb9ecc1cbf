// The lock interface and its critical-section implementation.
//
// CNewMutex is shared by reference count (IAddRefAble: 1 after construction).
// CThreadMutex is one recursive critical section; the TCP server objects hold
// one each. Lock and Unlock are safe from any thread.
#ifndef KVR_SVRFRAME_THREAD_MUTEX_H_
#define KVR_SVRFRAME_THREAD_MUTEX_H_

#include "platform/mutex.h"
#include "svrframe/referable.h"

class CAPABILITY("mutex") CNewMutex : public IAddRefAble {
 public:
  virtual int Lock() ACQUIRE() = 0;
  virtual int Unlock() RELEASE() = 0;
};

class CAPABILITY("mutex") CThreadMutex : public CNewMutex {
 public:
  // Enters the critical section; returns 0. (The section is this lock's
  // body: the analysis tracks the lock, not the section inside it.)
  int Lock() override ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    section_.Enter();
    return 0;
  }
  // Leaves it; returns 0.
  int Unlock() override RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    section_.Leave();
    return 0;
  }

 private:
  platform::CriticalSection section_;
};

#endif  // KVR_SVRFRAME_THREAD_MUTEX_H_
