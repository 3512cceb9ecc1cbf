#include "io/io_lane.h"

#include <utility>

namespace kvr::io {

CIoLane::CIoLane(std::string volume, std::shared_ptr<CIoBudget> total)
    : volume_(std::move(volume)), budget_(std::make_shared<CIoBudget>(std::move(total))) {}

int CIoLane::Post(std::unique_ptr<CIoMessage> message) {
  if (message == nullptr) return -1;
  {
    platform::MutexLock lock(mu_);
    queue_.push_back(std::move(message));
  }
  cv_.notify_one();
  return 0;
}

std::unique_ptr<CIoMessage> CIoLane::Pop() {
  platform::MutexLock lock(mu_);
  if (queue_.empty()) return nullptr;
  std::unique_ptr<CIoMessage> message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

size_t CIoLane::Queued() const {
  platform::MutexLock lock(mu_);
  return queue_.size();
}

std::deque<std::unique_ptr<CIoMessage>> CIoLane::TakeAll() {
  std::deque<std::unique_ptr<CIoMessage>> taken;
  platform::MutexLock lock(mu_);
  taken.swap(queue_);
  return taken;
}

void CIoLane::WakeBy(Clock::time_point due) {
  const int64_t ticks = due.time_since_epoch().count();
  if (ticks >= dueTicks_.load(std::memory_order_acquire)) return;
  {
    platform::MutexLock lock(mu_);
    if (due >= due_) return;
    due_ = due;
    dueTicks_.store(ticks, std::memory_order_release);
  }
  // Every waiter sleeps towards the old deadline; one is enough to take the new one.
  cv_.notify_one();
}

void CIoLane::WakeAll() {
  { platform::MutexLock lock(mu_); }
  cv_.notify_all();
}

CIoLane::Work CIoLane::Wait(const std::atomic<uint64_t>& current, uint64_t crew) {
  Work work;
  platform::MutexLock lock(mu_);
  for (;;) {
    if (current.load(std::memory_order_acquire) != crew) {
      work.ended = true;
      return work;
    }
    if (!queue_.empty()) {
      work.message = std::move(queue_.front());
      queue_.pop_front();
      return work;
    }
    if (Clock::now() >= due_) {
      // Claimed by this worker: the sweep sets the next deadline.
      due_ = Clock::time_point::max();
      dueTicks_.store(INT64_MAX, std::memory_order_release);
      work.sweep = true;
      return work;
    }
    if (due_ == Clock::time_point::max()) {
      cv_.wait(mu_);
    } else {
      // A copy: condition_variable_any reads the deadline after it has let
      // go of mu_, while WakeBy may be moving due_.
      const Clock::time_point due = due_;
      cv_.wait_until(mu_, due);
    }
  }
}

CIoLane::Space CIoLane::space() const {
  platform::MutexLock lock(spaceMu_);
  return space_;
}

bool CIoLane::TakeSpaceLook(uint32_t maxAgeMs) {
  // A look still queued this long after it was posted was dropped by a
  // stopping proactor; a hung volume's look, posted again, waits behind it.
  constexpr auto kLookLost = std::chrono::seconds(30);
  const auto now = Clock::now();
  platform::MutexLock lock(spaceMu_);
  if (space_.looked && now - lookedAt_ < std::chrono::milliseconds(maxAgeMs)) return false;
  if (lookPosted_ && now - lookPostedAt_ < kLookLost) return false;
  lookPosted_ = true;
  lookPostedAt_ = now;
  return true;
}

void CIoLane::SetSpace(bool known, uint64_t total, uint64_t free) {
  platform::MutexLock lock(spaceMu_);
  space_ = Space{true, known, total, free};
  lookedAt_ = Clock::now();
  lookPosted_ = false;
}

}  // namespace kvr::io
