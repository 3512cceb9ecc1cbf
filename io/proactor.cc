#include "io/proactor.h"

#include <chrono>
#include <new>

#include "io/file_channel.h"
#include "platform/debug_log.h"

namespace {

// The bounded wait of Stop: up to this many waits of a second each for the
// queue to drain.
constexpr int kStopWaits = 7;
constexpr uint32_t kStopWaitMs = 1000;

// Arguments of the block pool the proactor keeps while started.
constexpr int kPoolFirstCount = 200;
constexpr int kPoolLimit = 1000;

}  // namespace

CProactor::CProactor(int threadCount) : thread_count_(threadCount), monitor_(&default_monitor_) {}

CProactor::~CProactor() {
  Stop();
  ReleaseAll();
}

int CProactor::SetMonitor(IIoMonitor* monitor) {
  if (monitor != nullptr) monitor_.store(monitor, std::memory_order_release);
  return 0;
}

bool CProactor::IsStarted() const { return started_.load(); }

int CProactor::GetThreadCount() const { return thread_count_.load(); }

size_t CProactor::GetWorkerCount() const { return worker_count_.load(); }

size_t CProactor::GetPooledBlocks() const {
  std::lock_guard<std::mutex> lock(run_mu_);
  return block_pool_ != nullptr ? block_pool_->Count() : 0;
}

size_t CProactor::GetQueuedMessages() const {
  std::lock_guard<std::mutex> lock(queue_mu_);
  return queue_.size();
}

size_t CProactor::GetChannelCount() const {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  return table_.size();
}

int CProactor::Start() {
  std::lock_guard<std::mutex> lock(run_mu_);
  if (started_) return 0;
  int count = thread_count_.load();
  if (count < kMinThreads) count = kMinThreads;
  if (count > kMaxThreads) count = kMaxThreads;
  thread_count_.store(count);
  for (int i = 0; i < count; ++i) {
    auto worker = std::make_unique<CIoWorkThread>(this);
    if (!worker->Begin()) {
      platform::DebugPrintf("io: worker %d of %d could not be started", i + 1, count);
      continue;
    }
    workers_.push_back(std::move(worker));
  }
  worker_count_.store(workers_.size());
  block_pool_ = std::make_unique<CBufferPool>(kPoolFirstCount, kPoolLimit);
  started_ = true;
  return 0;
}

int CProactor::Stop() {
  std::lock_guard<std::mutex> lock(run_mu_);
  if (!started_) return 0;
  {
    std::shared_lock<std::shared_mutex> table_lock(table_mu_);
    for (auto& [id, channel] : table_) {
      if (!channel->IsClosing()) channel->Close();
    }
  }
  {
    // An empty queue alone does not mean the work is done: a worker may hold
    // a channel's write with more blocks behind it. Every channel was told to
    // close, so the work is done when the last one has been removed.
    std::unique_lock<std::mutex> queue_lock(queue_mu_);
    auto done = [this] { return queue_.empty() && channel_count_.load() == 0; };
    for (int i = 0; i < kStopWaits && !done(); ++i) {
      drained_cv_.wait_for(queue_lock, std::chrono::milliseconds(kStopWaitMs), done);
    }
    if (!done()) {
      platform::DebugPrintf("io: stopping with %zu requests queued and %zu channels open",
                            queue_.size(), channel_count_.load());
    }
    waking_ = true;
  }
  for (auto& worker : workers_) worker->RequestStop();
  queued_cv_.notify_all();
  workers_.clear();  // each finishes the message in hand; destruction joins
  worker_count_.store(0);
  {
    std::lock_guard<std::mutex> queue_lock(queue_mu_);
    waking_ = false;
  }
  ReleaseAll();
  block_pool_.reset();
  started_ = false;
  return 0;
}

void CProactor::ReleaseAll() {
  std::deque<std::unique_ptr<CIoMessage>> dropped;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    dropped.swap(queue_);
  }
  drained_cv_.notify_all();
  dropped.clear();  // messages own their blocks, not their channels

  Table left;
  {
    std::unique_lock<std::shared_mutex> lock(table_mu_);
    left.swap(table_);
    channel_count_.store(0);
  }
  for (auto& [id, channel] : left) {
    channel->CloseFile();
    channel.reset();
    GetMonitor()->OnChannelRemoved(id);
  }
}

ChannelId CProactor::OpenFile(const char* fileName, int mode) {
  if (fileName == nullptr) return kNoChannel;
  std::unique_ptr<CFileChannel> channel;
  try {
    channel = std::make_unique<CFileChannel>(this, fileName);
  } catch (const std::bad_alloc&) {
    return kNoChannel;
  }
  if (channel->Open(mode) < 0) return kNoChannel;
  return AddChannel(std::move(channel));
}

CIoChannel* CProactor::FindLocked(ChannelId id) const {
  auto it = table_.find(id);
  return it != table_.end() ? it->second.get() : nullptr;
}

int CProactor::Write(ChannelId id, const void* data, int length) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  if (channel == nullptr) return -1;
  if (channel->IsClosing()) return 0;
  return channel->Write(data, length);
}

int CProactor::Read(ChannelId id, void* destination, int length) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  if (channel == nullptr) return -1;
  if (channel->IsClosing()) return 0;
  return channel->Read(destination, length);
}

bool CProactor::Seek(ChannelId id, int64_t offset, int method) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  return channel != nullptr && channel->Seek(offset, method);
}

int64_t CProactor::GetSize(ChannelId id) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  return channel != nullptr ? channel->GetSize() : 0;
}

bool CProactor::IsFile(ChannelId id) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  return channel != nullptr && channel->IsFile();
}

int CProactor::CloseChannel(ChannelId id) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  if (channel == nullptr) return -1;
  if (!channel->IsClosing()) channel->Close();
  return 0;
}

int CProactor::GetChannelError(ChannelId id) {
  std::shared_lock<std::shared_mutex> lock(table_mu_);
  CIoChannel* channel = FindLocked(id);
  return channel != nullptr ? channel->GetError() : -1;
}

int CProactor::PostMessage(std::unique_ptr<CIoMessage> message) {
  if (message == nullptr) return -1;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    queue_.push_back(std::move(message));
  }
  queued_cv_.notify_one();
  return 0;
}

std::unique_ptr<CIoMessage> CProactor::PopMessage() {
  std::unique_ptr<CIoMessage> message;
  bool drained = false;
  {
    std::lock_guard<std::mutex> lock(queue_mu_);
    if (queue_.empty()) return nullptr;
    message = std::move(queue_.front());
    queue_.pop_front();
    drained = queue_.empty();
  }
  if (drained) drained_cv_.notify_all();
  return message;
}

bool CProactor::WaitForMessage(uint32_t ms) {
  std::unique_lock<std::mutex> lock(queue_mu_);
  return queued_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] {
    return !queue_.empty() || waking_;
  }) && !queue_.empty();
}

ChannelId CProactor::AddChannel(std::unique_ptr<CIoChannel> channel) {
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
  table_.emplace(id, std::move(channel));
  channel_count_.store(table_.size());
  return id;
}

int CProactor::RemoveChannel(ChannelId id) {
  std::unique_ptr<CIoChannel> channel;
  {
    std::unique_lock<std::shared_mutex> lock(table_mu_);
    auto it = table_.find(id);
    if (it == table_.end() || !it->second->IsClosePosted()) return -1;
    channel = std::move(it->second);
    table_.erase(it);
    channel_count_.store(table_.size());
  }
  // Out of the table, the channel is reachable by its close message alone:
  // the file is closed without holding up callers of other channels.
  channel->CloseFile();
  channel.reset();
  GetMonitor()->OnChannelRemoved(id);
  {
    // Taken so that a Stop between its check and its wait still hears this.
    std::lock_guard<std::mutex> lock(queue_mu_);
  }
  drained_cv_.notify_all();
  return 0;
}
