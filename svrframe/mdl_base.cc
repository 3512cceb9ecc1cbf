#include "svrframe/mdl_base.h"

#include <utility>

#include "platform/mutex.h"
#include "platform/thread.h"

namespace SvrFrame {

int CMdlWorkerThread::Run() {
  threadId_.store(platform::CurrentThreadId(), std::memory_order_release);
  if (owner_ == nullptr) return -1;
  owner_->Loop();
  return -1;
}

void CMdlWorkerThread::OnExit() {
  // The owner may be deleted as soon as it learns that the loop is over, so
  // this is the last use of it.
  if (owner_ != nullptr) owner_->WorkerEnded();
}

CMdlBase::CMdlBase(const char* defaultName, bool hasThread, Origin origin)
    : runtimeInfo_(std::make_unique<CRuntimeMdlInfo>(defaultName)),
      hasThread_(hasThread),
      origin_(origin) {}

CMdlBase::~CMdlBase() {
  // A concrete module stops its loop before it goes; waiting here only keeps
  // a forgotten stop from freeing the module under its own thread.
  WaitWorkerEnded();
}

int CMdlBase::Init(const CSecureString&) {
  if (!hasThread_) return 0;
  platform::MutexLock lock(threadMu_);
  if (workerStarted_) return 0;
  CMdlWorkerThread* thread = MakeWorker();
  thread_ = thread;
  workerStarted_ = true;
  if (!thread->Start(1)) {
    thread_ = nullptr;
    workerStarted_ = false;
    delete thread;
  }
  return 0;
}

int CMdlBase::Send(const MessageRef& message, int weight, int messageClass) {
  BeforeSend(message);
  if (message) {
    if (origin_ == Origin::kCommunication) {
      message->SetCommOrigin(runtimeInfo_->GetSharedName());
    } else {
      message->SetFunOrigin(runtimeInfo_->GetSharedName());
    }
  }
  ModuleSink sink = sink_.load(std::memory_order_acquire);
  if (sink == nullptr) return 0;
  return sink(&message, sinkUser_.load(std::memory_order_acquire), weight, messageClass);
}

ModuleSink CMdlBase::SetSink(ModuleSink sink, void* user) {
  // The user goes first so that a sender never sees the new sink with an old user.
  sinkUser_.store(user, std::memory_order_release);
  sink_.store(sink, std::memory_order_release);
  return sink;
}

int CMdlBase::SuspendWorker() {
  platform::MutexLock lock(threadMu_);
  return thread_ == nullptr ? -1 : thread_->Suspend();
}

int CMdlBase::ResumeWorker() {
  platform::MutexLock lock(threadMu_);
  return thread_ == nullptr ? -2 : thread_->Resume();
}

bool CMdlBase::WorkerParked() const {
  platform::MutexLock lock(threadMu_);
  return thread_ != nullptr && thread_->IsParked();
}

bool CMdlBase::WorkerRunning() const {
  platform::MutexLock lock(threadMu_);
  return thread_ != nullptr;
}

void CMdlBase::WaitWorkerEnded() {
  {
    platform::MutexLock lock(threadMu_);
    if (thread_ != nullptr &&
        thread_->threadId_.load(std::memory_order_acquire) == platform::CurrentThreadId()) {
      thread_->owner_ = nullptr;  // only this thread reads it
      thread_ = nullptr;
      return;
    }
  }
  while (WorkerRunning()) platform::SleepMs(1);
}

void CMdlBase::HonourSuspend() {
  CMdlWorkerThread* thread = nullptr;
  {
    platform::MutexLock lock(threadMu_);
    thread = thread_;
  }
  // Only the worker itself waits here, and its thread object lives as long
  // as it runs; from any other thread the call does nothing.
  if (thread != nullptr &&
      thread->threadId_.load(std::memory_order_acquire) == platform::CurrentThreadId()) {
    thread->HonourSuspend();
  }
}

void CMdlBase::WorkerEnded() {
  platform::MutexLock lock(threadMu_);
  thread_ = nullptr;
}

}  // namespace SvrFrame
