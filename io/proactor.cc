#include "io/proactor.h"

#include <chrono>
#include <new>
#include <string>

#include "io/file_channel.h"
#include "io/proactor_core.h"
#include "platform/debug_log.h"
#include "platform/disk.h"

namespace {

using kvr::io::CIoLane;
using kvr::io::CIoMessage_Job;
using kvr::io::CProactorCore;
using kvr::io::kNoChannel;

// The bounded wait of Stop: up to this many waits of a second each for the
// channels to be written out and removed.
constexpr int kStopWaits = 7;
constexpr auto kStopWait = std::chrono::milliseconds(1000);
// How long Stop then gives the workers to finish the message in hand. A write
// that takes longer is on a volume that may never answer.
constexpr auto kWorkerExitWait = std::chrono::milliseconds(500);

// Arguments of the block pool the proactor keeps while started.
constexpr int kPoolFirstCount = 200;
constexpr int kPoolLimit = 1000;

}  // namespace

CProactor::CProactor(int threadCount)
    : core_(std::make_shared<CProactorCore>()), threadCount_(threadCount) {}

CProactor::~CProactor() {
  Stop();
  core_->Retire();  // a proactor never started still holds what it was given
}

int CProactor::SetMonitor(IIoMonitor* monitor) {
  if (monitor != nullptr) core_->SetMonitor(monitor);
  return 0;
}

IIoMonitor* CProactor::GetMonitor() const { return core_->GetMonitor(); }

bool CProactor::IsStarted() const { return started_.load(); }

int CProactor::GetThreadCount() const { return threadCount_.load(); }

size_t CProactor::GetWorkerCount() const { return core_->LiveWorkers(); }

size_t CProactor::GetPooledBlocks() const {
  platform::MutexLock lock(runMu_);
  return blockPool_ != nullptr ? blockPool_->Count() : 0;
}

size_t CProactor::GetQueuedMessages() const { return core_->QueuedMessages(); }

size_t CProactor::GetChannelCount() const { return core_->ChannelCount(); }

int CProactor::Start() {
  platform::MutexLock lock(runMu_);
  if (started_) return 0;
  int count = threadCount_.load();
  if (count < kMinThreads) count = kMinThreads;
  if (count > kMaxThreads) count = kMaxThreads;
  threadCount_.store(count);
  const int failed = core_->BeginCrew(count);
  if (failed > 0) platform::DebugPrintf("io: %d workers could not be started", failed);
  blockPool_ = std::make_unique<CBufferPool>(kPoolFirstCount, kPoolLimit);
  started_ = true;
  return 0;
}

int CProactor::Stop() {
  platform::MutexLock lock(runMu_);
  if (!started_) return 0;
  {
    platform::ReaderLock table(core_->TableMutex());
    core_->ForEachLocked([](CIoChannel* channel) {
      if (!channel->IsClosing()) channel->Close();
    });
  }
  if (!core_->WaitUntilIdle(std::chrono::steady_clock::now() + kStopWaits * kStopWait)) {
    platform::DebugPrintf("io: stopping with %zu requests queued and %zu channels open",
                          core_->QueuedMessages(), core_->ChannelCount());
  }
  core_->EndCrew();
  if (!core_->WaitForWorkers(std::chrono::steady_clock::now() + kWorkerExitWait)) {
    platform::DebugPrintf("io: %zu workers still inside a request are left to finish it",
                          core_->LiveWorkers());
  }
  core_->Retire();
  blockPool_.reset();
  started_ = false;
  return 0;
}

ChannelId CProactor::OpenFile(const char* fileName, int mode, const char* volume,
                              const char* root) {
  if (fileName == nullptr) return kNoChannel;
  std::unique_ptr<CFileChannel> channel;
  try {
    channel = std::make_unique<CFileChannel>(fileName, root);
  } catch (const std::bad_alloc&) {
    return kNoChannel;
  }
  if (channel->Open(mode) < 0) return kNoChannel;
  return core_->AddChannel(std::move(channel),
                           core_->LaneFor(volume != nullptr ? volume : std::string()));
}

template <typename R, typename F>
R CProactor::WithChannel(ChannelId id, R missing, F&& f) {
  platform::ReaderLock lock(core_->TableMutex());
  CIoChannel* channel = core_->FindLocked(id);
  return channel != nullptr ? f(channel) : missing;
}

int CProactor::Write(ChannelId id, const void* data, int length) {
  return WithChannel(id, -1, [&](CIoChannel* channel) {
    return channel->IsClosing() ? 0 : channel->Write(data, length);
  });
}

int CProactor::WriteShared(ChannelId id, CAutoBuffer* owner, const void* data, int length) {
  return WithChannel(id, -1, [&](CIoChannel* channel) {
    return channel->IsClosing() ? 0 : channel->WriteShared(owner, data, length);
  });
}

int CProactor::Read(ChannelId id, void* destination, int length) {
  return WithChannel(id, -1, [&](CIoChannel* channel) {
    return channel->IsClosing() ? 0 : channel->Read(destination, length);
  });
}

bool CProactor::Seek(ChannelId id, int64_t offset, int method) {
  return WithChannel(id, false, [&](CIoChannel* channel) { return channel->Seek(offset, method); });
}

int64_t CProactor::GetSize(ChannelId id) {
  return WithChannel(id, int64_t{0}, [](CIoChannel* channel) { return channel->GetSize(); });
}

bool CProactor::IsFile(ChannelId id) {
  return WithChannel(id, false, [](CIoChannel* channel) { return channel->IsFile(); });
}

int CProactor::CloseChannel(ChannelId id) {
  return WithChannel(id, -1, [](CIoChannel* channel) {
    if (!channel->IsClosing()) channel->Close();
    return 0;
  });
}

int CProactor::GetChannelError(ChannelId id) {
  return WithChannel(id, -1, [](CIoChannel* channel) { return channel->GetError(); });
}

bool CProactor::SetMemoryBounds(size_t perChannel, size_t total) {
  return core_->SetMemoryBounds(perChannel, total);
}

void CProactor::SetSyncInterval(uint32_t ms) { core_->SetSyncInterval(ms); }

bool CProactor::Flush(ChannelId id) {
  return WithChannel(id, false, [](CIoChannel* channel) { return channel->Flush() == 0; });
}

bool CProactor::SetFailureHook(ChannelId id, CIoChannel::FailureHook hook) {
  return WithChannel(id, false, [&](CIoChannel* channel) {
    channel->SetFailureHook(std::move(hook));
    return true;
  });
}

uint32_t CProactor::GetStalledMs(ChannelId id) {
  return WithChannel(id, uint32_t{0}, [](CIoChannel* channel) { return channel->StalledMs(); });
}

size_t CProactor::GetLaneCount() const { return core_->LaneCount(); }

size_t CProactor::GetChannelBound() const { return core_->budget().ChannelLimit(); }

size_t CProactor::GetTotalBound() const { return core_->budget().TotalLimit(); }

size_t CProactor::GetHeldBytes() const { return core_->budget().Held(); }

size_t CProactor::GetHeldBytes(ChannelId id) {
  return WithChannel(id, size_t{0}, [](CIoChannel* channel) { return channel->HeldBytes(); });
}

size_t CProactor::GetPeakHeldBytes() const { return core_->budget().Peak(); }

bool CProactor::SetWriteThrottle(ChannelId id, CIoChannel::WriteThrottle throttle) {
  return WithChannel(id, false, [&](CIoChannel* channel) {
    channel->SetWriteThrottle(std::move(throttle));
    return true;
  });
}

int CProactor::PostMessage(std::unique_ptr<CIoMessage> message) {
  return core_->PostMessage(std::move(message));
}

std::unique_ptr<CIoMessage> CProactor::PopMessage() { return core_->PopMessage(); }

ChannelId CProactor::AddChannel(std::unique_ptr<CIoChannel> channel) {
  return core_->AddChannel(std::move(channel));
}

bool CProactor::RunOnLane(const char* volume, std::function<void(bool)> job) {
  if (!job || !started_.load()) return false;
  jobsInFlight_->fetch_add(1);
  auto counted = [jobs = jobsInFlight_, job = std::move(job)](bool carriedOut) {
    job(carriedOut);
    jobs->fetch_sub(1);
  };
  std::unique_ptr<CIoMessage> message;
  try {
    message = std::make_unique<CIoMessage_Job>(std::move(counted));
  } catch (const std::bad_alloc&) {
    jobsInFlight_->fetch_sub(1);
    return false;
  }
  core_->LaneFor(volume != nullptr ? volume : std::string())->Post(std::move(message));
  return true;
}

size_t CProactor::GetJobsInFlight() const { return jobsInFlight_->load(); }

CProactor::VolumeSpace CProactor::GetVolumeSpace(const char* volume, uint32_t maxAgeMs) {
  const std::string root = volume != nullptr ? volume : std::string();
  CIoLane* lane = core_->LaneFor(root);
  if (started_.load() && lane->TakeSpaceLook(maxAgeMs)) {
    // The lane lives as long as the core, which its workers hold, even when a
    // worker stuck on a hung volume outlives the proactor.
    RunOnLane(root.c_str(), [lane, root](bool carriedOut) {
      if (!carriedOut) return;
      platform::DiskSpace space;
      const bool known = platform::GetDiskSpace(root, &space);
      lane->SetSpace(known, space.total_bytes, space.free_bytes);
    });
  }
  const CIoLane::Space space = lane->space();
  return VolumeSpace{space.looked, space.known, space.total, space.free};
}

void CProactor::RefreshVolumeSpace(const char* volume) {
  const std::string root = volume != nullptr ? volume : std::string();
  platform::DiskSpace space;
  const bool known = platform::GetDiskSpace(root, &space);
  core_->LaneFor(root)->SetSpace(known, space.total_bytes, space.free_bytes);
}
