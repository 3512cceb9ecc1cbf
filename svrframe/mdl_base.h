// What communication modules and function modules have in common: the name,
// the sink, the optional worker thread and the send path.
//
// CCommMdl and CSvrFunMdl derive from it; they differ in which origin name
// Send writes into a message and in their default names. The worker thread
// (if any) runs Loop until the concrete module makes Loop return; a concrete
// module stops its loop and calls WaitWorkerEnded before it deletes itself.
//
// Send, SuspendWorker, ResumeWorker and the accessors are safe from any
// thread; Init is called once by the owner.
#ifndef KVR_SVRFRAME_MDL_BASE_H_
#define KVR_SVRFRAME_MDL_BASE_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/mutex.h"
#include "svrframe/module.h"
#include "svrframe/thread.h"

namespace SvrFrame {

class CMdlBase;

// The worker thread of a module: runs the owner's Loop and deletes itself
// when the loop returns.
class CMdlWorkerThread : public QWTools::CThread {
 public:
  explicit CMdlWorkerThread(CMdlBase* owner) : CThread(true), owner_(owner) {}

 protected:
  int Run() override;
  void OnExit() override;

 private:
  friend class CMdlBase;
  CMdlBase* owner_;  // null once the owner was deleted from this thread
  std::atomic<uint64_t> threadId_{0};
};

class CMdlBase : public IModule {
 public:
  // Which origin slot of a message Send fills with the module's name.
  enum class Origin { kCommunication, kFunction };

  CMdlBase(const char* defaultName, bool hasThread, Origin origin);
  ~CMdlBase() override;
  CMdlBase(const CMdlBase&) = delete;
  CMdlBase& operator=(const CMdlBase&) = delete;

  // Starts the worker thread when the module has one; the name is not used.
  int Init(const CSecureString& name) override;
  // BeforeSend, stamp the sender's name, then the sink (0 without one).
  int Send(const MessageRef& message, int weight, int messageClass) override;
  ModuleSink SetSink(ModuleSink sink, void* user) override;
  CRuntimeMdlInfo* GetRuntimeInfo() override { return runtimeInfo_.get(); }

  // The body of the worker thread.
  virtual int Loop() = 0;
  // The worker thread's suspend count before the call; -1 (suspend) or -2
  // (resume) without a running worker. The loop honours it between passes.
  virtual int SuspendWorker();
  virtual int ResumeWorker();
  // Called by Send before anything else.
  virtual void BeforeSend(const MessageRef& message) { (void)message; }

  // Tick count at which the command dealing module removed the module for deletion.
  uint32_t GetRemovedAt() const { return removedAt_.load(std::memory_order_relaxed); }
  void SetRemovedAt(uint32_t ticks) { removedAt_.store(ticks, std::memory_order_relaxed); }

  bool HasThread() const { return hasThread_; }
  // True from Init until Loop has returned.
  bool WorkerRunning() const;
  // True while the worker waits out a suspension.
  bool WorkerParked() const;

 protected:
  // Waits until the worker thread (if started) has left Loop. Called by a
  // concrete module after it told its loop to stop. Called from the worker
  // itself (a module that destroys itself from its own loop) it does not
  // wait: the thread forgets the module and must leave Loop at once.
  void WaitWorkerEnded();
  // Called by Loop between passes: waits while the worker is suspended.
  void HonourSuspend();
  // Makes the worker thread object that Init starts.
  virtual CMdlWorkerThread* MakeWorker() { return new CMdlWorkerThread(this); }

 private:
  friend class CMdlWorkerThread;
  void WorkerEnded();

  std::atomic<uint32_t> removedAt_{0};
  std::unique_ptr<CRuntimeMdlInfo> runtimeInfo_;
  std::atomic<ModuleSink> sink_{nullptr};
  std::atomic<void*> sinkUser_{nullptr};
  const bool hasThread_;
  const Origin origin_;

  mutable platform::Mutex threadMu_;
  CMdlWorkerThread* thread_ GUARDED_BY(threadMu_) = nullptr;  // deletes itself
  bool workerStarted_ GUARDED_BY(threadMu_) = false;
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_MDL_BASE_H_
