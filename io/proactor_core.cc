#include "io/proactor_core.h"

#include <utility>
#include <vector>

CProactorCore::CProactorCore() : monitor_(&default_monitor_) {}

// Whatever is still queued goes with the queue; the messages hold the last
// references of their channels, which close their files as they go.
CProactorCore::~CProactorCore() = default;

int CProactorCore::PostMessage(std::unique_ptr<CIoMessage> message) {
  if (message == nullptr) return -1;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    queue_.push_back(std::move(message));
  }
  queued_cv_.notify_one();
  return 0;
}

std::unique_ptr<CIoMessage> CProactorCore::PopMessage() {
  std::unique_ptr<CIoMessage> message;
  bool drained = false;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    if (queue_.empty()) return nullptr;
    message = std::move(queue_.front());
    queue_.pop_front();
    drained = queue_.empty();
  }
  if (drained) idle_cv_.notify_all();
  return message;
}

size_t CProactorCore::QueuedMessages() const {
  std::lock_guard<std::mutex> lock(queue_mu_);
  return queue_.size();
}

uint64_t CProactorCore::BeginCrew() {
  std::lock_guard<std::mutex> lock(queue_mu_);
  return crew_.fetch_add(1) + 1;
}

void CProactorCore::EndCrew() {
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    crew_.fetch_add(1);
  }
  queued_cv_.notify_all();
}

bool CProactorCore::WaitForMessage(uint64_t crew, uint32_t ms) {
  std::unique_lock<std::mutex> lock(queue_mu_);
  return queued_cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return !queue_.empty() || CrewEnded(crew);
  }) && !queue_.empty();
}

void CProactorCore::WorkerArrived() {
  std::lock_guard<std::mutex> lock(queue_mu_);
  ++live_workers_;
}

void CProactorCore::WorkerLeft() {
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    --live_workers_;
  }
  idle_cv_.notify_all();
}

size_t CProactorCore::LiveWorkers() const {
  std::lock_guard<std::mutex> lock(queue_mu_);
  return live_workers_;
}

bool CProactorCore::WaitForWorkers(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(queue_mu_);
  return idle_cv_.wait_until(lock, deadline, [this] { return live_workers_ == 0; });
}

bool CProactorCore::WaitUntilIdle(std::chrono::steady_clock::time_point deadline) {
  // An empty queue alone does not mean the work is done: a worker may hold a
  // channel's write with more blocks behind it. The channels were told to
  // close, so the work is done when the last one has been removed.
  std::unique_lock<std::mutex> lock(queue_mu_);
  return idle_cv_.wait_until(lock, deadline,
                             [this] { return queue_.empty() && channel_count_.load() == 0; });
}

CIoChannel* CProactorCore::FindLocked(ChannelId id) const {
  auto it = table_.find(id);
  return it != table_.end() ? it->second.get() : nullptr;
}

size_t CProactorCore::ChannelCount() const {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  return table_.size();
}

ChannelId CProactorCore::AddChannel(std::unique_ptr<CIoChannel> channel) {
  if (channel == nullptr) return kNoChannel;
  std::unique_lock<std::shared_mutex> lock(table_mu_);
  // Positive ids only, so neither 0 nor -1 ever comes out; after the counter
  // wraps, ids still in the table are stepped over.
  ChannelId id;
  do {
    id = next_id_;
    next_id_ = next_id_ == INT32_MAX ? 1 : next_id_ + 1;
  } while (table_.count(id) != 0);
  channel->id_ = id;
  channel->core_ = this;
  channel->budget_ = budget_;
  table_.emplace(id, std::shared_ptr<CIoChannel>(std::move(channel)));
  channel_count_.store(table_.size());
  return id;
}

void CProactorCore::RemoveChannel(std::shared_ptr<CIoChannel> channel) {
  // Closing may block as long as a write can (a dead network volume); it is
  // done before any lock is taken so that nobody else waits for it.
  channel->CloseFile();
  const ChannelId id = channel->id();
  {
    // Held from the removal through the report, so that Retire either finds
    // the channel in the table or waits until the monitor has heard of it.
    std::shared_lock<std::shared_mutex> hooks(hooks_mu_);
    bool removed = false;
    {
      std::unique_lock<std::shared_mutex> lock(table_mu_);
      auto it = table_.find(id);
      if (it != table_.end() && it->second == channel) {
        table_.erase(it);
        channel_count_.store(table_.size());
        removed = true;
      }
    }
    channel.reset();  // the last reference: the channel is destroyed here
    if (removed) GetMonitor()->OnChannelRemoved(id);
  }
  {
    // Taken so that a waiter between its check and its wait still hears this.
    std::lock_guard<std::mutex> lock(queue_mu_);
  }
  idle_cv_.notify_all();
}

void CProactorCore::Retire() {
  std::map<ChannelId, std::shared_ptr<CIoChannel>> left;
  {
    std::unique_lock<std::shared_mutex> hooks(hooks_mu_);
    std::unique_lock<std::shared_mutex> lock(table_mu_);
    left.swap(table_);
    channel_count_.store(0);
    for (auto& entry : left) entry.second->detached_ = true;
  }
  std::deque<std::unique_ptr<CIoMessage>> dropped;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    dropped.swap(queue_);
  }
  idle_cv_.notify_all();
  dropped.clear();
  // The table's references go last: a channel nobody else holds closes its
  // file as it is destroyed.
  for (auto& entry : left) {
    entry.second.reset();
    GetMonitor()->OnChannelRemoved(entry.first);
  }
}
