// The worker of one volume: it keeps the volume's free space fresh and runs
// the record file opens of that volume, so that a disk that stalls holds up
// the records on it alone and never a thread that every record shares.
//
// One worker per volume root (separators normalised, so "D:\rec" and
// "D:/rec" are one volume), made when the first writer asks for it. While at
// least one writer holds it, its thread asks the file system for the
// volume's space at least once a second; a job posted to it runs on that
// thread, in order, between two looks at the space. Once no writer holds it
// and no job waits, the thread leaves and the worker is forgotten; a later
// writer makes a new one. A look at the space that never returns (a hung
// network mount) leaves the last known figures in place and holds up only
// this volume's jobs.
//
// Ownership: writers hold it through the shared handle For returns; the
// thread holds its own reference until it leaves. Every call is safe from
// any thread.
#ifndef KVR_MEDIA_VOLUME_WORKER_H_
#define KVR_MEDIA_VOLUME_WORKER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class CVolumeWorker : public std::enable_shared_from_this<CVolumeWorker> {
 public:
  // Longest time between two looks at a held volume's space.
  static constexpr uint32_t kRefreshMs = 1000;

  // The worker of `root`, made (and its thread started) when none runs. The
  // caller holds it until it releases the handle.
  static std::shared_ptr<CVolumeWorker> For(const std::string& root);

  ~CVolumeWorker();
  CVolumeWorker(const CVolumeWorker&) = delete;
  CVolumeWorker& operator=(const CVolumeWorker&) = delete;

  // The folder the file system is asked about.
  const std::string& Root() const { return root_; }
  // Whether a look at the space has answered yet, and what it said.
  bool SpaceKnown() const { return known_.load(); }
  uint64_t FreeBytes() const { return freeBytes_.load(); }
  uint64_t TotalBytes() const { return totalBytes_.load(); }
  // Looks that answered so far (tests wait on it).
  uint64_t Refreshes() const { return refreshes_.load(); }

  // Runs `job` on the volume's thread after the jobs posted before it.
  void Post(std::function<void()> job);

  // Workers whose thread runs now, over every volume.
  static size_t LiveCount();
  // Jobs posted and not yet finished, over every volume: a record file is
  // settled (opened or given up) only once its open has finished.
  static size_t JobsInFlight();

 private:
  explicit CVolumeWorker(std::string root) : root_(std::move(root)) {}
  void Run();
  // Called by the handle's deleter: one holder fewer.
  void Release();

  const std::string root_;
  std::atomic<bool> known_{false};
  std::atomic<uint64_t> freeBytes_{0};
  std::atomic<uint64_t> totalBytes_{0};
  std::atomic<uint64_t> refreshes_{0};

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mu_
  int holders_ = 0;                         // guarded by mu_
};

#endif  // KVR_MEDIA_VOLUME_WORKER_H_
