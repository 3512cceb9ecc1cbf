// One volume's share of the file runtime: its own queue of requests, its own
// workers and its own share of the memory bound. A network volume that hangs
// ties up the workers of its lane and fills its share, and nothing else: the
// records on the other volumes keep their workers and their bytes.
//
// Made by the proactor's core, the first time a file is opened on the volume,
// and kept until the core is destroyed, so a worker or a channel that holds
// the core may use its lane by plain pointer. The lane also keeps the one
// deadline its channels have asked for (a part-filled block growing old, data
// written but not yet made durable); a worker waits for a message or that
// deadline, whichever comes first, and with neither it sleeps. It keeps the
// volume's space as last looked at, too: the looks run on its workers, so
// a volume that hangs keeps its last figures and holds up no other. Safe
// from any thread; its lock comes after a channel's own lock.
#ifndef KVR_IO_IO_LANE_H_
#define KVR_IO_IO_LANE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "io/io_budget.h"
#include "io/io_message.h"
#include "platform/mutex.h"

namespace kvr::io {

class CIoLane {
 public:
  using Clock = std::chrono::steady_clock;

  CIoLane(std::string volume, std::shared_ptr<CIoBudget> total);
  CIoLane(const CIoLane&) = delete;
  CIoLane& operator=(const CIoLane&) = delete;

  const std::string& volume() const { return volume_; }
  // This lane's share; it charges the proactor's total as well.
  const std::shared_ptr<CIoBudget>& budget() const { return budget_; }

  // Appends to the queue; -1 for a null message, else 0.
  int Post(std::unique_ptr<CIoMessage> message);
  // The oldest message, or null when none waits.
  std::unique_ptr<CIoMessage> Pop();
  size_t Queued() const;
  // Takes every queued message out (a stopping proactor drops them).
  std::deque<std::unique_ptr<CIoMessage>> TakeAll();

  // Asks for a sweep of the lane's channels no later than `due`.
  void WakeBy(Clock::time_point due);

  // What a waiting worker is given.
  struct Work {
    std::unique_ptr<CIoMessage> message;  // the oldest message, or
    bool sweep = false;                   // the deadline passed: this worker sweeps
    bool ended = false;                   // the crew ended: the worker leaves
  };
  // The volume's space as the last look saw it. `looked` stays false until a
  // look has answered; `known` is false when the file system could not say.
  struct Space {
    bool looked = false, known = false;
    uint64_t total = 0, free = 0;
  };
  Space space() const;
  // True when the caller is to post a look at the space: none answered within
  // `maxAgeMs`, and none is waiting in the queue (or the waiting one is so old
  // that it was dropped).
  bool TakeSpaceLook(uint32_t maxAgeMs);
  // A look's answer.
  void SetSpace(bool known, uint64_t total, uint64_t free);

  // Waits for a message, the lane's deadline or the end of `crew` (read from
  // `current`, which EndCrew changes before it calls WakeAll).
  Work Wait(const std::atomic<uint64_t>& current, uint64_t crew);
  // Wakes every waiting worker so that it rereads its crew.
  void WakeAll();

 private:
  const std::string volume_;
  const std::shared_ptr<CIoBudget> budget_;

  mutable platform::Mutex mu_;
  std::condition_variable_any cv_;
  std::deque<std::unique_ptr<CIoMessage>> queue_ GUARDED_BY(mu_);
  Clock::time_point due_ GUARDED_BY(mu_) = Clock::time_point::max();
  // A copy of due_ read without the lock, so a channel asking for a later
  // deadline than the one set costs no lock.
  std::atomic<int64_t> dueTicks_{INT64_MAX};

  mutable platform::Mutex spaceMu_;
  Space space_ GUARDED_BY(spaceMu_);
  Clock::time_point lookedAt_ GUARDED_BY(spaceMu_);
  Clock::time_point lookPostedAt_ GUARDED_BY(spaceMu_);
  bool lookPosted_ GUARDED_BY(spaceMu_) = false;
};

}  // namespace kvr::io
#endif  // KVR_IO_IO_LANE_H_
