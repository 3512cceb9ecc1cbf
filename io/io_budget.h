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
// Budgets nest: each volume's lane has its own, a share of the proactor's
// total, and charges that total too, so a volume whose disk stalls fills its
// share and no more while the others keep theirs. The proactor's budget holds
// the limits callers set and the process-wide figures.
//
// Shared by the proactor's core, its lanes and every channel it adopted, so a
// channel that outlives its proactor (a worker stuck in a write) can still give
// its bytes back. Safe from any thread.
#ifndef KVR_IO_IO_BUDGET_H_
#define KVR_IO_IO_BUDGET_H_

#include <atomic>
#include <cstddef>
#include <memory>

namespace kvr::io {

class CIoBudget {
 public:
  CIoBudget() = default;
  // A share of `parent`: charges go to both, and the channel limit is the parent's.
  explicit CIoBudget(std::shared_ptr<CIoBudget> parent) : parent_(std::move(parent)) {}

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
  // A share's total alone; used when the number of volumes changes.
  void SetTotalLimit(size_t total) { totalLimit_.store(total, std::memory_order_relaxed); }
  size_t ChannelLimit() const {
    return parent_ != nullptr ? parent_->ChannelLimit()
                              : channelLimit_.load(std::memory_order_relaxed);
  }
  size_t TotalLimit() const { return totalLimit_.load(std::memory_order_relaxed); }

  // Takes `bytes` unless this total, or the parent's, would pass its bound.
  bool TryCharge(size_t bytes) {
    if (!TryChargeOwn(bytes)) return false;
    if (parent_ != nullptr && !parent_->TryCharge(bytes)) {
      held_.fetch_sub(bytes, std::memory_order_relaxed);
      return false;
    }
    return true;
  }
  void Credit(size_t bytes) {
    held_.fetch_sub(bytes, std::memory_order_relaxed);
    if (parent_ != nullptr) parent_->Credit(bytes);
  }

  size_t Held() const { return held_.load(std::memory_order_relaxed); }
  // The most ever held at once.
  size_t Peak() const { return peak_.load(std::memory_order_relaxed); }

 private:
  bool TryChargeOwn(size_t bytes) {
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

  const std::shared_ptr<CIoBudget> parent_;
  std::atomic<size_t> channelLimit_{kDefaultChannelLimit};
  std::atomic<size_t> totalLimit_{kDefaultTotalLimit};
  std::atomic<size_t> held_{0};
  std::atomic<size_t> peak_{0};
};

}  // namespace kvr::io
#endif  // KVR_IO_IO_BUDGET_H_
