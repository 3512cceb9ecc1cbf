// What the proactor shares with its I/O workers: the message queue, the
// channel table, the monitor and the count of live workers.
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
// Lock order: hooksMu_, tableMu_, a channel's own lock, queueMu_.
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
#include <mutex>
#include <shared_mutex>

#include "io/channel_id.h"
#include "io/io_budget.h"
#include "io/io_channel.h"
#include "io/io_message.h"
#include "io/io_monitor.h"

class CProactorCore {
 public:
  CProactorCore();
  ~CProactorCore();
  CProactorCore(const CProactorCore&) = delete;
  CProactorCore& operator=(const CProactorCore&) = delete;

  void SetMonitor(IIoMonitor* monitor) { monitor_.store(monitor, std::memory_order_release); }
  IIoMonitor* GetMonitor() const { return monitor_.load(std::memory_order_acquire); }
  // The memory bound every adopted channel charges.
  CIoBudget& budget() const { return *budget_; }
  // Runs `hook` on the monitor unless `channel` has been detached by Retire.
  template <typename Hook>
  void Notify(const CIoChannel* channel, Hook&& hook) {
    std::shared_lock<std::shared_mutex> lock(hooksMu_);
    if (!channel->detached_) hook(GetMonitor());
  }

  // --- The queue. ---
  int PostMessage(std::unique_ptr<CIoMessage> message);
  std::unique_ptr<CIoMessage> PopMessage();
  size_t QueuedMessages() const;

  // --- The workers. A crew is the set of workers one Start made. ---
  // Begins a new crew and returns its number; call before starting its workers.
  uint64_t BeginCrew();
  // Tells every worker of the current crew to leave after the message in hand.
  void EndCrew();
  bool CrewEnded(uint64_t crew) const { return crew_.load(std::memory_order_acquire) != crew; }
  // Waits up to `ms` for a message to be queued or for `crew` to end; true
  // when a message waits.
  bool WaitForMessage(uint64_t crew, uint32_t ms);
  void WorkerArrived();
  void WorkerLeft();
  size_t LiveWorkers() const;
  // Waits until no worker is left or `deadline` passes; true when none is left.
  bool WaitForWorkers(std::chrono::steady_clock::time_point deadline);
  // Waits until the queue is empty and every channel is removed, or until
  // `deadline`; true when that happened.
  bool WaitUntilIdle(std::chrono::steady_clock::time_point deadline);

  // --- The table. Callers reach a channel under the shared side of the
  // table lock so that it is not taken out from under them. ---
  std::shared_lock<std::shared_mutex> LockTable() const {
    return std::shared_lock<std::shared_mutex>(tableMu_);
  }
  // Needs LockTable held. Finds without inserting; null when unknown.
  CIoChannel* FindLocked(ChannelId id) const;
  // Calls `f` on every channel; needs LockTable held.
  template <typename F>
  void ForEachLocked(F&& f) const {
    for (const auto& entry : table_) f(entry.second.get());
  }
  ChannelId AddChannel(std::unique_ptr<CIoChannel> channel);
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
  std::atomic<IIoMonitor*> monitor_;
  const std::shared_ptr<CIoBudget> budget_ = std::make_shared<CIoBudget>();
  CDefaultMonitor defaultMonitor_;
  mutable std::shared_mutex hooksMu_;  // see the comment at the top

  mutable std::mutex queueMu_;
  std::condition_variable queuedCv_;  // a message arrived, or a crew ended
  std::condition_variable idleCv_;    // the queue ran empty, a channel went, a worker left
  std::deque<std::unique_ptr<CIoMessage>> queue_;  // guarded by queueMu_
  size_t liveWorkers_ = 0;                         // guarded by queueMu_
  std::atomic<uint64_t> crew_{0};  // written under queueMu_ so waiters cannot miss it

  mutable std::shared_mutex tableMu_;
  std::map<ChannelId, std::shared_ptr<CIoChannel>> table_;  // guarded by tableMu_
  ChannelId nextId_ = 1;                                    // guarded by tableMu_
  std::atomic<size_t> channelCount_{0};  // table_.size(), read without the table lock
};

#endif  // KVR_IO_PROACTOR_CORE_H_
