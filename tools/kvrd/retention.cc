#include "tools/kvrd/retention.h"

#include <chrono>
#include <filesystem>

#include "tools/kvrd/log.h"
#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

namespace fs = std::filesystem;

// Segments deleted before the free space is measured again.
constexpr int kBatch = 8;

std::string Mib(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

Retention::Retention(Catalog* catalog, std::function<std::map<std::string, int64_t>()> retentions,
                     std::function<std::vector<VolumeSpace>()> volumes)
    : catalog_(catalog), retentions_(std::move(retentions)), volumes_(std::move(volumes)) {}

Retention::~Retention() { Stop(); }

void Retention::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Retention::Stop() {
  {
    platform::MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Retention::Wake() {
  {
    platform::MutexLock lock(mu_);
    woken_ = true;
  }
  wake_.notify_all();
}

void Retention::SetSettings(const Settings& settings) {
  platform::MutexLock lock(mu_);
  settings_ = settings;
}

void Retention::Run() {
  for (;;) {
    {
      platform::MutexLock lock(mu_);
      if (stopping_) return;
    }
    Sweep();
    platform::MutexLock lock(mu_);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.checkMs);
    while (!stopping_ && !woken_ && wake_.wait_until(mu_, until) != std::cv_status::timeout) {
    }
    woken_ = false;
  }
}

bool Retention::Delete(const SegmentRow& row, const std::string& root, const std::string& why) {
  std::error_code ec;
  fs::remove(fs::path(root) / row.file, ec);
  if (ec) {
    Log(LOG_ERR, "retention: cannot delete %s on %s: %s", row.file.c_str(), row.volume.c_str(),
        ec.message().c_str());
    return false;
  }
  catalog_->RemoveSegment(row.id);
  Log(LOG_INFO, "retention: deleted %s on %s (%s, %s to %s, %s)", row.file.c_str(),
      row.volume.c_str(), why.c_str(), IsoTime(row.startMs).c_str(), IsoTime(row.endMs).c_str(),
      Mib(static_cast<uint64_t>(row.bytes)).c_str());
  return true;
}

int Retention::Sweep() {
  Settings settings;
  {
    platform::MutexLock lock(mu_);
    settings = settings_;
  }
  std::vector<VolumeSpace> volumes = volumes_();
  std::map<std::string, std::string> roots;
  for (const VolumeSpace& v : volumes) roots[v.name] = v.path;
  int deleted = 0;

  const int64_t now = NowMs();
  for (const auto& [camera, retention] : retentions_()) {
    if (retention <= 0) continue;
    for (const SegmentRow& row : catalog_->Expired(camera, now - retention)) {
      auto root = roots.find(row.volume);
      if (root == roots.end()) continue;  // its volume is gone from the configuration
      deleted += Delete(row, root->second, "older than " + std::to_string(retention / 1000) + " s");
    }
  }
  if (deleted > 0) volumes = volumes_();

  for (VolumeSpace& v : volumes) {
    const uint64_t low = v.reservedBytes + settings.freeLow;
    const uint64_t high = v.reservedBytes + settings.freeHigh;
    if (v.freeBytes >= low) {
      stuck_[v.name] = false;
      continue;
    }
    const std::string why =
        "volume " + v.name + " had " + Mib(v.freeBytes) + " free, under " + Mib(low);
    while (v.freeBytes < high) {
      const std::vector<SegmentRow> oldest = catalog_->Oldest(v.name, kBatch);
      if (oldest.empty()) {
        if (!stuck_[v.name]) {
          Log(LOG_WARNING,
              "retention: volume %s has %s free, under %s, and nothing left that may be deleted "
              "(open or protected)",
              v.name.c_str(), Mib(v.freeBytes).c_str(), Mib(low).c_str());
        }
        stuck_[v.name] = true;
        break;
      }
      // Counted as freed by its size, then measured: no more is deleted
      // than the high watermark needs.
      int batch = 0;
      for (const SegmentRow& row : oldest) {
        if (v.freeBytes >= high) break;
        if (!Delete(row, v.path, why)) continue;
        ++batch;
        v.freeBytes += static_cast<uint64_t>(row.bytes);
      }
      if (batch == 0) break;
      deleted += batch;
      for (const VolumeSpace& now : volumes_()) {
        if (now.name == v.name) v.freeBytes = now.freeBytes;
      }
    }
  }
  return deleted;
}

}  // namespace kvrd
