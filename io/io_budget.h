// The memory the file runtime may hold for its callers: bytes a channel's
// Write has taken and the disk has not yet written. A producer faster than its
// disk (a camera on a slow or failing volume) must cost payloads, not the
// process's memory, so both each channel and all channels together are
// bounded; a Write past either bound is refused whole and the caller counts it.
//
// Accounting: a channel charges a payload's bytes here when its Write takes
// them and credits them once their block has been written (or dropped: a
// failed write, a stopping proactor, a destroyed channel). The total is one
// atomic counter raised by compare-and-swap only while it stays within the
// bound, so no reader ever sees it above the bound; a channel's own count lives
// in the channel, under its lock. The bytes are those of the payloads: the
// pieces that hold them add at most one partly filled 256 KiB piece per block.
//
// Shared by the proactor's core and every channel it adopted, so a channel that
// outlives its proactor (a worker stuck in a write) can still give its bytes
// back. Safe from any thread.
#ifndef KVR_IO_IO_BUDGET_H_
#define KVR_IO_IO_BUDGET_H_

#include <atomic>
#include <cstddef>

class CIoBudget {
 public:
  static constexpr size_t kDefaultChannelLimit = size_t{64} << 20;
  static constexpr size_t kDefaultTotalLimit = size_t{512} << 20;

  // New bounds apply to the next Write of every channel; what is held already
  // stays held until it is written. False (nothing changes) for a bound of 0.
  bool SetLimits(size_t perChannel, size_t total) {
    if (perChannel == 0 || total == 0) return false;
    channelLimit_.store(perChannel, std::memory_order_relaxed);
    totalLimit_.store(total, std::memory_order_relaxed);
    return true;
  }
  size_t ChannelLimit() const { return channelLimit_.load(std::memory_order_relaxed); }
  size_t TotalLimit() const { return totalLimit_.load(std::memory_order_relaxed); }

  // Takes `bytes` unless the total would pass its bound.
  bool TryCharge(size_t bytes) {
    const size_t limit = TotalLimit();
    size_t held = held_.load(std::memory_order_relaxed);
    do {
      if (bytes > limit || held > limit - bytes) return false;
    } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
    size_t peak = peak_.load(std::memory_order_relaxed);
    while (held + bytes > peak &&
           !peak_.compare_exchange_weak(peak, held + bytes, std::memory_order_relaxed)) {
    }
    return true;
  }
  void Credit(size_t bytes) { held_.fetch_sub(bytes, std::memory_order_relaxed); }

  size_t Held() const { return held_.load(std::memory_order_relaxed); }
  // The most ever held at once.
  size_t Peak() const { return peak_.load(std::memory_order_relaxed); }

 private:
  std::atomic<size_t> channelLimit_{kDefaultChannelLimit};
  std::atomic<size_t> totalLimit_{kDefaultTotalLimit};
  std::atomic<size_t> held_{0};
  std::atomic<size_t> peak_{0};
};

#endif  // KVR_IO_IO_BUDGET_H_
