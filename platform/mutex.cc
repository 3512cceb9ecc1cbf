#include "platform/mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "platform/thread.h"

namespace platform {

namespace {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic's own storage");

// Sleeps while `*word` still holds `expected`, at most `nanos`; wake-ups,
// signals and a changed word all just return (the caller looks again).
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, long long nanos) {
  timespec timeout{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, &timeout,
          nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
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
  // A sleeper counted before the flag was set either sees the flag before it
  // sleeps or finds the epoch moved and does not sleep at all.
  if (sleepers_.load() > 0) {
    epoch_.fetch_add(1);
    FutexWakeAll(&epoch_);
  }
}

bool Signal::Wait(uint32_t ms) {
  for (int spin = 0; spin < 200; ++spin) {
    // Reading first keeps the flag's cache line shared with the sender
    // until there is something to take.
    if (pending_.load(std::memory_order_relaxed) && pending_.exchange(false)) return true;
    CpuRelax();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  sleepers_.fetch_add(1);
  bool woken = false;
  for (;;) {
    const uint32_t epoch = epoch_.load();
    if (pending_.exchange(false)) {
      woken = true;
      break;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    FutexWait(&epoch_, epoch, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
  }
  sleepers_.fetch_sub(1);
  return woken;
}

}  // namespace platform
