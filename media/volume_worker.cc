#include "media/volume_worker.h"

#include <map>
#include <thread>
#include <utility>

#include "media/record_path.h"
#include "platform/disk.h"
#include "platform/time.h"

namespace {

std::atomic<size_t> g_jobsInFlight{0};

struct Registry {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<CVolumeWorker>> workers;  // guarded by mu
};

// Worker threads may still be leaving while the process exits: never destroyed.
Registry& Workers() {
  static Registry* registry = new Registry;
  return *registry;
}

std::string NormalisedRoot(const std::string& root) {
  std::string path;
  // A root too long for any record path has no records to open either; its
  // text is still a fine key and question for the file system.
  if (!MakeRecordPath(root.c_str(), "", &path)) path = root;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::shared_ptr<CVolumeWorker> CVolumeWorker::For(const std::string& root) {
  Registry& registry = Workers();
  std::shared_ptr<CVolumeWorker> worker;
  {
    std::lock_guard<std::mutex> lock(registry.mu);
    const std::string key = NormalisedRoot(root);
    std::shared_ptr<CVolumeWorker>& slot = registry.workers[key];
    if (!slot) {
      slot.reset(new CVolumeWorker(key));
      std::thread([self = slot] { self->Run(); }).detach();
    }
    worker = slot;
    std::lock_guard<std::mutex> hold(worker->mu_);
    ++worker->holders_;
  }
  worker->wake_.notify_one();
  // The handle gives its hold back when the last copy of it goes.
  struct Hold {
    std::shared_ptr<CVolumeWorker> worker;
    ~Hold() { worker->Release(); }
  };
  auto hold = std::make_shared<Hold>(Hold{worker});
  return std::shared_ptr<CVolumeWorker>(hold, hold->worker.get());
}

CVolumeWorker::~CVolumeWorker() = default;

void CVolumeWorker::Release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    --holders_;
  }
  wake_.notify_one();
}

size_t CVolumeWorker::JobsInFlight() { return g_jobsInFlight.load(); }

void CVolumeWorker::Post(std::function<void()> job) {
  g_jobsInFlight.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(mu_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

size_t CVolumeWorker::LiveCount() {
  Registry& registry = Workers();
  std::lock_guard<std::mutex> lock(registry.mu);
  return registry.workers.size();
}

void CVolumeWorker::Run() {
  bool looked = false;
  uint32_t lookedAt = 0;
  for (;;) {
    if (!looked || platform::TicksElapsed(lookedAt, platform::TickCount(), kRefreshMs)) {
      platform::DiskSpace space;
      const bool answered = platform::GetDiskSpace(root_, &space);
      totalBytes_.store(space.total_bytes);
      freeBytes_.store(space.free_bytes);
      known_.store(answered);
      refreshes_.fetch_add(1);
      looked = true;
      lookedAt = platform::TickCount();
    }
    for (;;) {
      std::function<void()> job;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (jobs_.empty()) break;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
      g_jobsInFlight.fetch_sub(1);
    }
    {
      std::unique_lock<std::mutex> lock(mu_);
      const uint32_t age = platform::TickCount() - lookedAt;
      const uint32_t left = age < kRefreshMs ? kRefreshMs - age : 0;
      wake_.wait_for(lock, std::chrono::milliseconds(left),
                     [&] { return !jobs_.empty() || holders_ == 0; });
      if (holders_ > 0 || !jobs_.empty()) continue;
    }
    // Nobody holds the volume: leave, unless a writer took it meanwhile.
    Registry& registry = Workers();
    std::lock_guard<std::mutex> lock(registry.mu);
    std::lock_guard<std::mutex> own(mu_);
    if (holders_ > 0 || !jobs_.empty()) continue;
    auto it = registry.workers.find(root_);
    if (it != registry.workers.end() && it->second.get() == this) registry.workers.erase(it);
    return;
  }
}
