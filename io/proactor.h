// The asynchronous file runtime: callers hand bytes to channels named by
// ChannelId and never wait for the disk; a fixed pool of worker threads takes
// the channels' requests from one FIFO queue and makes the blocking calls.
//
// One proactor serves the whole service; its owner makes it, starts it, and
// destroys it (which stops it). Every public call is safe from any thread.
// The channel table is guarded by a reader/writer lock held across each call
// that reaches a channel, so a channel is never destroyed under a caller; the
// message queue has its own lock, taken after the table lock when both are
// held. Ids come from a counter: never 0 or -1, never reused while their
// channel is in the table; an id that names nothing is refused.
//
// What a caller sees:
//  - Write copies into the channel's current block; blocks go to the disk once
//    they hold 1 MiB, one write per channel at a time, in order.
//  - CloseChannel writes what the channel still holds, then closes the file and
//    removes the channel; the monitor's OnChannelRemoved marks the end.
//  - A failed disk write is reported to the monitor (OnChannelError with
//    kIoErrorWrite), kept for GetChannelError, and makes every later Write to
//    that channel return -1 (the answer for a channel that cannot be written),
//    so a caller that only looks at Write's result still learns of it.
//  - Stop closes every channel and waits, in up to 7 waits of a second, until
//    the queue is empty and every channel has been removed; then it lets each
//    worker finish the message in hand and joins them all. Messages still
//    queued then are dropped and channels still in the table are closed and
//    destroyed (their unwritten bytes are lost). Nothing is left behind; the
//    proactor may be started again. The destructor stops it.
#ifndef KVR_IO_PROACTOR_H_
#define KVR_IO_PROACTOR_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "io/buffer_pool.h"
#include "io/channel_id.h"
#include "io/io_channel.h"
#include "io/io_message.h"
#include "io/io_monitor.h"
#include "io/io_work_thread.h"

class CProactor {
 public:
  static constexpr int kMinThreads = 1;
  static constexpr int kMaxThreads = 50;

  // `threadCount` is clamped to 1..50 when the proactor starts.
  explicit CProactor(int threadCount);
  ~CProactor();
  CProactor(const CProactor&) = delete;
  CProactor& operator=(const CProactor&) = delete;

  // Uses `monitor` from now on (null is ignored); it is not owned and must
  // outlive the proactor. Returns 0.
  int SetMonitor(IIoMonitor* monitor);
  IIoMonitor* GetMonitor() const { return monitor_.load(std::memory_order_acquire); }

  // Both return 0 and do nothing when already in the state asked for.
  int Start();
  int Stop();

  // Opens `fileName` and returns its channel's id, or -1 when it cannot be
  // opened or the mode is none of these:
  //   0  read an existing file;
  //   1  write, creating the file or replacing what it held;
  //   2  the same as 1;
  //   3  write at the end of the file, creating it when missing: a paused
  //      record resumes without losing what it wrote before. GetSize then
  //      tells how much the file already held.
  ChannelId OpenFile(const char* fileName, int mode);
  // -1 for an unknown id; 0 once the channel is closing (nothing is taken);
  // otherwise the channel's Write.
  int Write(ChannelId id, const void* data, int length);
  // -1 for an unknown id; 0 once the channel is closing; otherwise the channel's Read.
  int Read(ChannelId id, void* destination, int length);
  bool Seek(ChannelId id, int64_t offset, int method);  // false when unknown
  int64_t GetSize(ChannelId id);                        // 0 when unknown
  bool IsFile(ChannelId id);                            // false when unknown
  // 0 for a known id (a channel not yet closing starts closing); -1 when unknown.
  int CloseChannel(ChannelId id);
  // The error number of the channel's failed write, 0 while none failed, -1 when unknown.
  int GetChannelError(ChannelId id);

  // Appends to the queue; -1 for a null message, else 0.
  int PostMessage(std::unique_ptr<CIoMessage> message);
  // The oldest message, or null when none waits.
  std::unique_ptr<CIoMessage> PopMessage();
  // Waits up to `ms` for a message to be queued (or Stop); true when one waits.
  bool WaitForMessage(uint32_t ms);

  // Enters the channel in the table; returns its new id (-1 for null).
  ChannelId AddChannel(std::unique_ptr<CIoChannel> channel);
  // Carries out a channel's close message: takes the channel out of the
  // table, closes its file, destroys it, tells the monitor. Refused (-1) for
  // an unknown id and for a channel whose close message is not yet posted,
  // since its messages may still be out. Returns 0.
  int RemoveChannel(ChannelId id);

  // For diagnostics and tests.
  bool IsStarted() const;
  int GetThreadCount() const;  // the clamped count once started
  size_t GetWorkerCount() const;
  size_t GetQueuedMessages() const;
  size_t GetChannelCount() const;
  size_t GetPooledBlocks() const;  // blocks held by the block pool; 0 when stopped

 private:
  using Table = std::map<ChannelId, std::unique_ptr<CIoChannel>>;

  // Finds without inserting; needs table_mu_ held. Null when unknown.
  CIoChannel* FindLocked(ChannelId id) const;
  // Drops queued messages and destroys every channel left in the table.
  void ReleaseAll();

  std::atomic<int> thread_count_;
  std::atomic<IIoMonitor*> monitor_;
  CDefaultMonitor default_monitor_;

  // Serialises Start and Stop. Stop holds it while it joins the workers, so
  // the queries that take it (GetPooledBlocks) are not for monitor hooks.
  mutable std::mutex run_mu_;
  std::atomic<bool> started_{false};
  std::atomic<size_t> worker_count_{0};
  std::vector<std::unique_ptr<CIoWorkThread>> workers_;  // guarded by run_mu_
  std::unique_ptr<CBufferPool> block_pool_;              // guarded by run_mu_

  mutable std::mutex queue_mu_;
  std::condition_variable queued_cv_;   // a message arrived, or Stop
  std::condition_variable drained_cv_;  // the queue became empty or a channel was removed
  std::deque<std::unique_ptr<CIoMessage>> queue_;
  bool waking_ = false;  // Stop is ending the workers

  mutable std::shared_mutex table_mu_;
  Table table_;
  ChannelId next_id_ = 1;
  std::atomic<size_t> channel_count_{0};  // table_.size(), for Stop's wait
};

#endif  // KVR_IO_PROACTOR_H_
