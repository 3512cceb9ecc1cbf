// What the proactor shares with its I/O workers: the lanes (one a volume, each
// with its queue, its workers and its share of the memory bound), the channel
// table, the monitor and the count of live workers.
//
// The proactor holds one reference and every worker holds another. A worker
// stuck in a disk write (a dead network volume) may outlive Stop and even the
// proactor: whatever it touches when the write finally returns (its channel,
// this core, the queue it posts the channel's next message to) is still alive,
// and the last holder frees it. Messages own a reference to their channel for
// the same reason.
//
// The monitor is not ours and may be gone once the proactor is: every hook
// runs under the shared side of hooksMu_, and Retire takes the exclusive side
// to mark the channels it drops as detached, so no hook about a detached
// channel starts afterwards and none is still running when Retire returns.
// Lock order: hooksMu_, tableMu_, a channel's own lock, a lane's lock,
// lanesMu_, idleMu_.
#ifndef KVR_IO_PROACTOR_CORE_H_
#define KVR_IO_PROACTOR_CORE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "io/channel_id.h"
#include "io/io_budget.h"
#include "io/io_channel.h"
#include "io/io_lane.h"
#include "io/io_message.h"
#include "io/io_monitor.h"
#include "platform/mutex.h"

namespace kvr::io {

class CProactorCore : public std::enable_shared_from_this<CProactorCore> {
 public:
  CProactorCore();
  ~CProactorCore();
  CProactorCore(const CProactorCore&) = delete;
  CProactorCore& operator=(const CProactorCore&) = delete;

  void SetMonitor(IIoMonitor* monitor) { monitor_.store(monitor, std::memory_order_release); }
  IIoMonitor* GetMonitor() const { return monitor_.load(std::memory_order_acquire); }
  // The memory bound in all, which every lane's share charges too.
  CIoBudget& budget() const { return *budget_; }
  // How old written bytes may grow before they are made durable; 0: never.
  void SetSyncInterval(uint32_t ms) { syncIntervalMs_.store(ms, std::memory_order_relaxed); }
  uint32_t SyncInterval() const { return syncIntervalMs_.load(std::memory_order_relaxed); }
  // Changes the bounds and gives each lane an equal share of the total.
  bool SetMemoryBounds(size_t perChannel, size_t total);
  // Runs `hook` on the monitor unless `channel` has been detached by Retire.
  template <typename Hook>
  void Notify(const CIoChannel* channel, Hook&& hook) {
    platform::ReaderLock lock(hooksMu_);
    if (!channel->detached_) hook(GetMonitor());
  }

  // --- The lanes. ---
  // The lane of `volume` ("" for files on no named volume), made with its
  // workers when the core runs. Never null: a lane that cannot be made falls
  // back on the default one.
  CIoLane* LaneFor(const std::string& volume);
  CIoLane* DefaultLane() const { return defaultLane_; }
  // Posts to the default lane.
  int PostMessage(std::unique_ptr<CIoMessage> message);
  std::unique_ptr<CIoMessage> PopMessage();
  size_t QueuedMessages() const;  // in all lanes
  size_t LaneCount() const;
  // Hands every channel of `lane` whose block or unsynced data is due to the
  // lane's queue, and asks the lane for its next deadline.
  void Sweep(CIoLane* lane);

  // --- The workers. A crew is the set of workers one Start made. ---
  // Begins a new crew of `perLane` workers on every lane, now and for lanes
  // made later; returns how many workers could not be started.
  int BeginCrew(int perLane);
  // Tells every worker of the current crew to leave after the message in hand.
  void EndCrew();
  const std::atomic<uint64_t>& crew() const { return crew_; }
  void WorkerArrived();
  void WorkerLeft();
  size_t LiveWorkers() const;
  // Waits until no worker is left or `deadline` passes; true when none is left.
  bool WaitForWorkers(std::chrono::steady_clock::time_point deadline);
  // Waits until every channel is removed (its close message is the last it
  // posts, so its queue is empty too), or until `deadline`; true when that happened.
  bool WaitUntilIdle(std::chrono::steady_clock::time_point deadline);

  // --- The table. Callers reach a channel under the shared side of the
  // table lock so that it is not taken out from under them. ---
  platform::SharedMutex& TableMutex() const RETURN_CAPABILITY(tableMu_) { return tableMu_; }
  // Finds without inserting; null when unknown.
  CIoChannel* FindLocked(ChannelId id) const REQUIRES_SHARED(tableMu_);
  // Calls `f` on every channel.
  template <typename F>
  void ForEachLocked(F&& f) const REQUIRES_SHARED(tableMu_) {
    for (const auto& entry : table_) f(entry.second.get());
  }
  // Enters the channel in the table, on `lane` (the default one when null).
  ChannelId AddChannel(std::unique_ptr<CIoChannel> channel, CIoLane* lane = nullptr);
  // Carries out a channel's close message: closes the file, takes the channel
  // out of the table and tells the monitor. Only the worker that holds the
  // close message calls this, so no other message of the channel is out.
  void RemoveChannel(std::shared_ptr<CIoChannel> channel);
  size_t ChannelCount() const;

  // Drops every queued message and every channel in the table (their
  // unwritten bytes are lost), detaches those channels from the monitor and
  // reports each as removed. A channel still in a worker's hand lives on
  // until that worker lets go of it, but is never reported again.
  void Retire();

 private:
  // Starts `count` workers of the current crew on `lane`; returns the failures.
  int LaunchLocked(CIoLane* lane, int count) REQUIRES(lanesMu_);
  void ShareBoundLocked() REQUIRES(lanesMu_);

  std::atomic<IIoMonitor*> monitor_;
  std::atomic<uint32_t> syncIntervalMs_{CIoChannel::kSyncIntervalMs};
  const std::shared_ptr<CIoBudget> budget_ = std::make_shared<CIoBudget>();
  CDefaultMonitor defaultMonitor_;
  mutable platform::SharedMutex hooksMu_;  // see the comment at the top

  mutable platform::Mutex lanesMu_;
  std::map<std::string, std::unique_ptr<CIoLane>> lanes_ GUARDED_BY(lanesMu_);
  CIoLane* defaultLane_ = nullptr;        // set once by the constructor
  int perLane_ GUARDED_BY(lanesMu_) = 0;  // workers a lane gets while a crew runs
  bool crewRunning_ GUARDED_BY(lanesMu_) = false;
  std::atomic<uint64_t> crew_{0};  // changed under lanesMu_, then every lane is woken

  mutable platform::Mutex idleMu_;
  std::condition_variable_any idleCv_;  // a channel went, a worker left
  size_t liveWorkers_ GUARDED_BY(idleMu_) = 0;

  mutable platform::SharedMutex tableMu_;
  std::map<ChannelId, std::shared_ptr<CIoChannel>> table_ GUARDED_BY(tableMu_);
  ChannelId nextId_ GUARDED_BY(tableMu_) = 1;
  std::atomic<size_t> channelCount_{0};  // table_.size(), read without the table lock
};

}  // namespace kvr::io
#endif  // KVR_IO_PROACTOR_CORE_H_
