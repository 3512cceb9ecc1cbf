#include "svrframe/thread.h"

#include <system_error>

#include "platform/thread.h"

namespace QWTools {

CThread::CThread(bool autoDelete) : autoDelete_(autoDelete) {}

CThread::~CThread() { Join(); }

void CThread::Join() {
  std::thread handle;
  {
    platform::MutexLock lock(handleMu_);
    handle = std::move(handle_);
  }
  if (!handle.joinable()) return;
  if (handle.get_id() == std::this_thread::get_id()) {
    handle.detach();  // a self-deleting thread ends right after this
  } else {
    handle.join();
  }
}

bool CThread::Start(int) {
  platform::MutexLock lock(handleMu_);
  if (running_.load(std::memory_order_acquire)) return true;
  if (handleOpen_) return false;
  // An earlier run closed its handle and is past every use of this object.
  if (handle_.joinable()) handle_.join();
  try {
    handle_ = std::thread(&CThread::ThreadMain, this);
  } catch (const std::system_error&) {
    return false;
  }
  handleOpen_ = true;
  return true;
}

int CThread::Resume() {
  int count = suspendCount_.load();
  while (count > 0 && !suspendCount_.compare_exchange_weak(count, count - 1)) {
  }
  return count;
}

void CThread::HonourSuspend() {
  if (suspendCount_.load() <= 0) return;
  parked_.store(true, std::memory_order_release);
  while (suspendCount_.load() > 0) platform::SleepMs(10);
  parked_.store(false, std::memory_order_release);
}

void CThread::ThreadMain() {
  running_.store(true, std::memory_order_release);
  Run();
  running_.store(false, std::memory_order_release);
  OnExit();
  if (autoDelete_) {
    delete this;
    return;
  }
  platform::MutexLock lock(handleMu_);
  handleOpen_ = false;
}

}  // namespace QWTools
