#include "platform/mutex.h"

#include <chrono>

#include "platform/thread.h"

namespace platform {

void CriticalSection::Enter() {
  const uint64_t me = CurrentThreadId();
  std::unique_lock<std::mutex> lock(mu_);
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return;
  }
  released_.wait(lock, [this] { return depth_ == 0; });
  owner_ = me;
  depth_ = 1;
}

bool CriticalSection::TryEnter() {
  const uint64_t me = CurrentThreadId();
  std::lock_guard<std::mutex> lock(mu_);
  if (depth_ > 0 && owner_ != me) return false;
  owner_ = me;
  ++depth_;
  return true;
}

bool CriticalSection::Leave() {
  const uint64_t me = CurrentThreadId();
  bool freed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (depth_ == 0) return false;
    if (owner_ != 0 && owner_ != me) return false;
    if (--depth_ == 0) {
      owner_ = 0;
      freed = true;
    }
  }
  if (freed) released_.notify_one();
  return true;
}

void CriticalSection::ClearOwner() {
  std::lock_guard<std::mutex> lock(mu_);
  if (depth_ > 0) owner_ = 0;
}

bool CriticalSection::HeldByCurrentThread() const {
  const uint64_t me = CurrentThreadId();
  std::lock_guard<std::mutex> lock(mu_);
  return depth_ > 0 && owner_ == me;
}

void Signal::Notify() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    pending_ = true;
  }
  cv_.notify_all();
}

bool Signal::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  bool woken = cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return pending_; });
  pending_ = false;
  return woken;
}

}  // namespace platform
