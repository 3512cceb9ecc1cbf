// Base of every worker thread of the service.
//
// A derived class supplies Run (the thread body); OnExit runs on the thread
// after Run returns, and OnIdle is the hook a polling loop calls when a pass
// found nothing to do. With autoDelete the object deletes itself when its
// thread ends; otherwise the owner keeps it and may Start it again once it
// has ended. The owner stops a thread by its own means (a stop flag the loop
// reads) and then calls Join before the derived part is destroyed (a derived
// destructor that stops its loop calls Join itself); the base destructor
// joins too, but by then the derived part is already gone.
//
// Suspension is a count the thread's own loop honours between passes (the
// loop calls HonourSuspend); nothing stops a thread from outside. Start,
// IsRunning, Suspend, Resume and IsParked are safe from any thread.
#ifndef KVR_SVRFRAME_THREAD_H_
#define KVR_SVRFRAME_THREAD_H_

#include <atomic>
#include <thread>

#include "platform/mutex.h"

namespace QWTools {

class CThread {
 public:
  explicit CThread(bool autoDelete = false);
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts the thread. True at once when it is already running; false while
  // the handle of an earlier run is still open, or when no thread can be
  // made. Every thread runs at normal priority here; `priority` is accepted
  // for callers written against systems that honour it.
  bool Start(int priority = 1);

  bool IsRunning() const { return running_.load(std::memory_order_acquire); }

  // Waits until the thread function has finished (OnExit included). Does
  // nothing when no thread was started or when called on the thread itself.
  void Join();

  // Raise and lower the suspend count; both return the count before the
  // call. Resume never takes the count below zero.
  int Suspend() { return suspendCount_.fetch_add(1); }
  int Resume();
  // True while the thread waits in HonourSuspend.
  bool IsParked() const { return parked_.load(std::memory_order_acquire); }

 protected:
  virtual int Run() = 0;
  virtual void OnExit() {}
  // Called by loops when a pass found no work; true = keep looping.
  virtual bool OnIdle() { return false; }
  // Called by the thread's own loop between passes: sleeps in short steps
  // while the suspend count is above zero.
  void HonourSuspend();

 private:
  void ThreadMain();

  const bool autoDelete_;
  std::atomic<bool> running_{false};
  std::atomic<int> suspendCount_{0};
  std::atomic<bool> parked_{false};
  platform::Mutex handleMu_;
  bool handleOpen_ GUARDED_BY(handleMu_) = false;
  std::thread handle_ GUARDED_BY(handleMu_);
};

}  // namespace QWTools

#endif  // KVR_SVRFRAME_THREAD_H_
