#include "platform/mutex.h"

#include <chrono>

#include "platform/thread.h"

namespace platform {

namespace {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

void CriticalSection::Enter() {
  const uint64_t me = CurrentThreadId();
  // Only this thread can have recorded itself, so seeing it means holding it.
  if (owner_.load(std::memory_order_relaxed) == me) {
    depth_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  int seen = 0;
  for (int spin = 0; spin < 64; ++spin) {
    seen = 0;
    if (state_.compare_exchange_weak(seen, 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      owner_.store(me, std::memory_order_relaxed);
      depth_.store(1, std::memory_order_relaxed);
      return;
    }
    CpuRelax();
  }
  // Announce a sleeper (2) so that the holder's Leave wakes one.
  seen = state_.exchange(2, std::memory_order_acquire);
  while (seen != 0) {
    state_.wait(2, std::memory_order_relaxed);
    seen = state_.exchange(2, std::memory_order_acquire);
  }
  owner_.store(me, std::memory_order_relaxed);
  depth_.store(1, std::memory_order_relaxed);
}

bool CriticalSection::TryEnter() {
  const uint64_t me = CurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == me) {
    depth_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  int expected = 0;
  if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
    return false;
  }
  owner_.store(me, std::memory_order_relaxed);
  depth_.store(1, std::memory_order_relaxed);
  return true;
}

bool CriticalSection::Leave() {
  const uint64_t me = CurrentThreadId();
  if (state_.load(std::memory_order_relaxed) == 0) return false;
  const uint64_t owner = owner_.load(std::memory_order_relaxed);
  if (owner != 0 && owner != me) return false;
  // Only the holder changes the depth, so no read-modify-write is needed.
  const uint32_t depth = depth_.load(std::memory_order_relaxed);
  if (depth > 1) {
    depth_.store(depth - 1, std::memory_order_relaxed);
    return true;
  }
  owner_.store(0, std::memory_order_relaxed);
  if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  return true;
}

void CriticalSection::ClearOwner() {
  if (state_.load(std::memory_order_relaxed) != 0 &&
      owner_.load(std::memory_order_relaxed) == CurrentThreadId()) {
    owner_.store(0, std::memory_order_relaxed);
  }
}

bool CriticalSection::HeldByCurrentThread() const {
  return state_.load(std::memory_order_relaxed) != 0 &&
         owner_.load(std::memory_order_relaxed) == CurrentThreadId();
}

void Signal::Notify() {
  if (pending_.exchange(true)) return;  // already pending: the waiter will see it
  if (sleepers_.load() > 0) {
    // Taking the lock orders this wake-up after the sleeper's last look at
    // the flag, so it cannot be lost between that look and the sleep.
    { std::lock_guard<std::mutex> lock(mu_); }
    cv_.notify_all();
  }
}

bool Signal::Wait(uint32_t ms) {
  for (int spin = 0; spin < 200; ++spin) {
    // Reading first keeps the flag's cache line shared with the sender
    // until there is something to take.
    if (pending_.load(std::memory_order_relaxed) && pending_.exchange(false)) return true;
    CpuRelax();
  }
  std::unique_lock<std::mutex> lock(mu_);
  sleepers_.fetch_add(1);
  bool woken =
      cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return pending_.load(); });
  sleepers_.fetch_sub(1);
  pending_.store(false);
  return woken;
}

}  // namespace platform
