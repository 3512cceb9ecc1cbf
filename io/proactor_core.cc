#include "io/proactor_core.h"

#include <utility>
#include <vector>

CProactorCore::CProactorCore() : monitor_(&defaultMonitor_) {}

// Whatever is still queued goes with the queue; the messages hold the last
// references of their channels, which close their files as they go.
CProactorCore::~CProactorCore() = default;

int CProactorCore::PostMessage(std::unique_ptr<CIoMessage> message) {
  if (message == nullptr) return -1;
  {
    std::lock_guard<std::mutex> lock(queueMu_);
    queue_.push_back(std::move(message));
  }
  queuedCv_.notify_one();
  return 0;
}

std::unique_ptr<CIoMessage> CProactorCore::PopMessage() {
  std::unique_ptr<CIoMessage> message;
  bool drained = false;
  {
    std::lock_guard<std::mutex> lock(queueMu_);
    if (queue_.empty()) return nullptr;
    message = std::move(queue_.front());
    queue_.pop_front();
    drained = queue_.empty();
  }
  if (drained) idleCv_.notify_all();
  return message;
}

size_t CProactorCore::QueuedMessages() const {
  std::lock_guard<std::mutex> lock(queueMu_);
  return queue_.size();
}

uint64_t CProactorCore::BeginCrew() {
  std::lock_guard<std::mutex> lock(queueMu_);
  return crew_.fetch_add(1) + 1;
}

void CProactorCore::EndCrew() {
  {
    std::lock_guard<std::mutex> lock(queueMu_);
    crew_.fetch_add(1);
  }
  queuedCv_.notify_all();
}

bool CProactorCore::WaitForMessage(uint64_t crew, uint32_t ms) {
  std::unique_lock<std::mutex> lock(queueMu_);
  return queuedCv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return !queue_.empty() || CrewEnded(crew);
  }) && !queue_.empty();
}

void CProactorCore::WorkerArrived() {
  std::lock_guard<std::mutex> lock(queueMu_);
  ++liveWorkers_;
}

void CProactorCore::WorkerLeft() {
  {
    std::lock_guard<std::mutex> lock(queueMu_);
    --liveWorkers_;
  }
  idleCv_.notify_all();
}

size_t CProactorCore::LiveWorkers() const {
  std::lock_guard<std::mutex> lock(queueMu_);
  return liveWorkers_;
}

bool CProactorCore::WaitForWorkers(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(queueMu_);
  return idleCv_.wait_until(lock, deadline, [this] { return liveWorkers_ == 0; });
}

bool CProactorCore::WaitUntilIdle(std::chrono::steady_clock::time_point deadline) {
  // An empty queue alone does not mean the work is done: a worker may hold a
  // channel's write with more blocks behind it. The channels were told to
  // close, so the work is done when the last one has been removed.
  std::unique_lock<std::mutex> lock(queueMu_);
  return idleCv_.wait_until(lock, deadline,
                            [this] { return queue_.empty() && channelCount_.load() == 0; });
}

CIoChannel* CProactorCore::FindLocked(ChannelId id) const {
  auto it = table_.find(id);
  return it != table_.end() ? it->second.get() : nullptr;
}

size_t CProactorCore::ChannelCount() const {
  std::shared_lock<std::shared_mutex> lock(tableMu_);
  return table_.size();
}

ChannelId CProactorCore::AddChannel(std::unique_ptr<CIoChannel> channel) {
  if (channel == nullptr) return kNoChannel;
  std::unique_lock<std::shared_mutex> lock(tableMu_);
  // Positive ids only, so neither 0 nor -1 ever comes out; after the counter
  // wraps, ids still in the table are stepped over.
  ChannelId id;
  do {
    id = nextId_;
    nextId_ = nextId_ == INT32_MAX ? 1 : nextId_ + 1;
  } while (table_.count(id) != 0);
  channel->id_ = id;
  channel->core_ = this;
  channel->budget_ = budget_;
  table_.emplace(id, std::shared_ptr<CIoChannel>(std::move(channel)));
  channelCount_.store(table_.size());
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
    std::shared_lock<std::shared_mutex> hooks(hooksMu_);
    bool removed = false;
    {
      std::unique_lock<std::shared_mutex> lock(tableMu_);
      auto it = table_.find(id);
      if (it != table_.end() && it->second == channel) {
        table_.erase(it);
        channelCount_.store(table_.size());
        removed = true;
      }
    }
    channel.reset();  // the last reference: the channel is destroyed here
    if (removed) GetMonitor()->OnChannelRemoved(id);
  }
  {
    // Taken so that a waiter between its check and its wait still hears this.
    std::lock_guard<std::mutex> lock(queueMu_);
  }
  idleCv_.notify_all();
}

void CProactorCore::Retire() {
  std::map<ChannelId, std::shared_ptr<CIoChannel>> left;
  {
    std::unique_lock<std::shared_mutex> hooks(hooksMu_);
    std::unique_lock<std::shared_mutex> lock(tableMu_);
    left.swap(table_);
    channelCount_.store(0);
    for (auto& entry : left) entry.second->detached_ = true;
  }
  std::deque<std::unique_ptr<CIoMessage>> dropped;
  {
    std::lock_guard<std::mutex> lock(queueMu_);
    dropped.swap(queue_);
  }
  idleCv_.notify_all();
  dropped.clear();
  // The table's references go last: a channel nobody else holds closes its
  // file as it is destroyed.
  for (auto& entry : left) {
    entry.second.reset();
    GetMonitor()->OnChannelRemoved(entry.first);
  }
}
