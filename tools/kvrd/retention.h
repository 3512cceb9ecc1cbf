// Deletes footage so the disks never fill: segments older than their
// camera's retention, and, whenever a volume's free space falls under its
// low watermark (the volume's reserved space plus free_low), the oldest
// closed segments on it, across cameras, until the free space is back above
// the high watermark (reserved plus free_high). The library stops a record
// with "disk full" at the reserved space; these watermarks keep the cameras
// clear of it. Never an open segment, never a protected one; every deletion
// is logged.
//
// Owned by main. Its thread sweeps every check interval and when woken (a
// segment closed, a disk-full event); Sweep may also be called directly by a
// caller that runs no thread.
#ifndef KVR_TOOLS_KVRD_RETENTION_H_
#define KVR_TOOLS_KVRD_RETENTION_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "tools/kvrd/catalog.h"

namespace kvrd {

struct VolumeSpace {
  std::string name, path;
  uint64_t freeBytes = 0, reservedBytes = 0, totalBytes = 0;
};

class Retention {
 public:
  struct Settings {
    uint64_t freeLow = 1ull << 30;
    uint64_t freeHigh = 2ull << 30;
    int64_t checkMs = 10'000;
  };
  // `retentions`: each configured camera's retention (0: none). `volumes`:
  // the volumes with their space as of now.
  Retention(Catalog* catalog, std::function<std::map<std::string, int64_t>()> retentions,
            std::function<std::vector<VolumeSpace>()> volumes);
  ~Retention();  // Stop()

  void Start();
  void Stop();
  void Wake();
  void SetSettings(const Settings& settings);

  // One pass; how many segments it deleted.
  int Sweep();

 private:
  void Run();
  bool Delete(const SegmentRow& row, const std::string& root, const std::string& why);

  Catalog* const catalog_;
  const std::function<std::map<std::string, int64_t>()> retentions_;
  const std::function<std::vector<VolumeSpace>()> volumes_;

  platform::Mutex mu_;
  std::condition_variable_any wake_;
  Settings settings_ GUARDED_BY(mu_);
  bool woken_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::map<std::string, bool> stuck_;  // per volume: "nothing left to delete" was logged
  std::thread thread_;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_RETENTION_H_
