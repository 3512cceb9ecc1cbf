#include "io/proactor_core.h"

#include <new>
#include <utility>
#include <vector>

#include "io/io_work_thread.h"

namespace kvr::io {

namespace {
// A lane's workers wait on its own queue; the default lane serves files
// opened without a volume.
const char kDefaultVolume[] = "";
}  // namespace

CProactorCore::CProactorCore() : monitor_(&defaultMonitor_) {
  auto lane = std::make_unique<CIoLane>(kDefaultVolume, budget_);
  defaultLane_ = lane.get();
  lanes_.emplace(kDefaultVolume, std::move(lane));
}

// Whatever is still queued goes with the lanes; the messages hold the last
// references of their channels, which close their files as they go.
CProactorCore::~CProactorCore() = default;

bool CProactorCore::SetMemoryBounds(size_t perChannel, size_t total) {
  platform::MutexLock lock(lanesMu_);
  if (!budget_->SetLimits(perChannel, total)) return false;
  ShareBoundLocked();
  return true;
}

void CProactorCore::ShareBoundLocked() {
  // The default lane holds a share only once files are opened on it: a
  // service whose every file names its volume splits the bound between those.
  size_t sharing = 0;
  for (const auto& entry : lanes_) sharing += entry.first != kDefaultVolume;
  const size_t total = budget_->TotalLimit();
  const size_t share = sharing > 1 ? total / sharing : total;
  for (const auto& entry : lanes_) {
    entry.second->budget()->SetTotalLimit(entry.first == kDefaultVolume ? total : share);
  }
}

CIoLane* CProactorCore::LaneFor(const std::string& volume) {
  platform::MutexLock lock(lanesMu_);
  auto it = lanes_.find(volume);
  if (it != lanes_.end()) return it->second.get();
  std::unique_ptr<CIoLane> made;
  try {
    made = std::make_unique<CIoLane>(volume, budget_);
  } catch (const std::bad_alloc&) {
    return defaultLane_;
  }
  CIoLane* lane = made.get();
  lanes_.emplace(volume, std::move(made));
  ShareBoundLocked();
  if (crewRunning_) LaunchLocked(lane, perLane_);
  return lane;
}

int CProactorCore::PostMessage(std::unique_ptr<CIoMessage> message) {
  return defaultLane_->Post(std::move(message));
}

std::unique_ptr<CIoMessage> CProactorCore::PopMessage() { return defaultLane_->Pop(); }

size_t CProactorCore::QueuedMessages() const {
  platform::MutexLock lock(lanesMu_);
  size_t queued = 0;
  for (const auto& entry : lanes_) queued += entry.second->Queued();
  return queued;
}

size_t CProactorCore::LaneCount() const {
  platform::MutexLock lock(lanesMu_);
  return lanes_.size();
}

void CProactorCore::Sweep(CIoLane* lane) {
  const auto now = CIoLane::Clock::now();
  auto next = CIoLane::Clock::time_point::max();
  std::vector<std::unique_ptr<CIoMessage>> due;
  {
    platform::ReaderLock table(tableMu_);
    for (const auto& entry : table_) {
      CIoChannel* channel = entry.second.get();
      if (channel->lane_ != lane) continue;
      std::unique_ptr<CIoMessage> message = channel->OnDeadline(now, &next);
      if (message != nullptr) due.push_back(std::move(message));
    }
  }
  for (auto& message : due) lane->Post(std::move(message));
  if (next != CIoLane::Clock::time_point::max()) lane->WakeBy(next);
}

int CProactorCore::LaunchLocked(CIoLane* lane, int count) {
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    if (!CIoWorkThread::Launch(shared_from_this(), lane, crew_.load())) ++failed;
  }
  return failed;
}

int CProactorCore::BeginCrew(int perLane) {
  platform::MutexLock lock(lanesMu_);
  crew_.fetch_add(1);
  perLane_ = perLane;
  crewRunning_ = true;
  int failed = 0;
  for (const auto& entry : lanes_) failed += LaunchLocked(entry.second.get(), perLane);
  return failed;
}

void CProactorCore::EndCrew() {
  platform::MutexLock lock(lanesMu_);
  crew_.fetch_add(1);
  crewRunning_ = false;
  for (const auto& entry : lanes_) entry.second->WakeAll();
}

void CProactorCore::WorkerArrived() {
  platform::MutexLock lock(idleMu_);
  ++liveWorkers_;
}

void CProactorCore::WorkerLeft() {
  {
    platform::MutexLock lock(idleMu_);
    --liveWorkers_;
  }
  idleCv_.notify_all();
}

size_t CProactorCore::LiveWorkers() const {
  platform::MutexLock lock(idleMu_);
  return liveWorkers_;
}

bool CProactorCore::WaitForWorkers(std::chrono::steady_clock::time_point deadline) {
  platform::MutexLock lock(idleMu_);
  while (liveWorkers_ != 0) {
    if (idleCv_.wait_until(idleMu_, deadline) == std::cv_status::timeout) return liveWorkers_ == 0;
  }
  return true;
}

bool CProactorCore::WaitUntilIdle(std::chrono::steady_clock::time_point deadline) {
  // An empty queue alone does not mean the work is done: a worker may hold a
  // channel's write with more blocks behind it. The channels were told to
  // close, so the work is done when the last one has been removed.
  platform::MutexLock lock(idleMu_);
  while (channelCount_.load() != 0) {
    if (idleCv_.wait_until(idleMu_, deadline) == std::cv_status::timeout) {
      return channelCount_.load() == 0;
    }
  }
  return true;
}

CIoChannel* CProactorCore::FindLocked(ChannelId id) const {
  auto it = table_.find(id);
  return it != table_.end() ? it->second.get() : nullptr;
}

size_t CProactorCore::ChannelCount() const {
  platform::ReaderLock lock(tableMu_);
  return table_.size();
}

ChannelId CProactorCore::AddChannel(std::unique_ptr<CIoChannel> channel, CIoLane* lane) {
  if (channel == nullptr) return kNoChannel;
  if (lane == nullptr) lane = defaultLane_;
  platform::WriterLock lock(tableMu_);
  // Positive ids only, so neither 0 nor -1 ever comes out; after the counter
  // wraps, ids still in the table are stepped over.
  ChannelId id;
  do {
    id = nextId_;
    nextId_ = nextId_ == INT32_MAX ? 1 : nextId_ + 1;
  } while (table_.count(id) != 0);
  channel->id_ = id;
  channel->core_ = this;
  channel->lane_ = lane;
  channel->budget_ = lane->budget();
  table_.emplace(id, std::shared_ptr<CIoChannel>(std::move(channel)));
  channelCount_.store(table_.size());
  return id;
}

void CProactorCore::RemoveChannel(std::shared_ptr<CIoChannel> channel) {
  // Closing may block as long as a write can (a dead network volume); it is
  // done before any lock is taken so that nobody else waits for it. What was
  // written is made durable first: a stopped record is complete on the disk.
  channel->SyncBeforeClose();
  channel->CloseFile();
  const ChannelId id = channel->id();
  {
    // Held from the removal through the report, so that Retire either finds
    // the channel in the table or waits until the monitor has heard of it.
    platform::ReaderLock hooks(hooksMu_);
    bool removed = false;
    {
      platform::WriterLock lock(tableMu_);
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
    platform::MutexLock lock(idleMu_);
  }
  idleCv_.notify_all();
}

void CProactorCore::Retire() {
  std::map<ChannelId, std::shared_ptr<CIoChannel>> left;
  {
    platform::WriterLock hooks(hooksMu_);
    platform::WriterLock lock(tableMu_);
    left.swap(table_);
    channelCount_.store(0);
    for (auto& entry : left) entry.second->detached_ = true;
  }
  std::vector<std::deque<std::unique_ptr<CIoMessage>>> dropped;
  {
    platform::MutexLock lock(lanesMu_);
    for (const auto& entry : lanes_) dropped.push_back(entry.second->TakeAll());
  }
  { platform::MutexLock lock(idleMu_); }
  idleCv_.notify_all();
  dropped.clear();
  // The table's references go last: a channel nobody else holds closes its
  // file as it is destroyed.
  for (auto& entry : left) {
    entry.second.reset();
    GetMonitor()->OnChannelRemoved(entry.first);
  }
}

}  // namespace kvr::io
