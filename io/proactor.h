// The asynchronous file runtime: callers hand bytes to channels named by
// ChannelId and never wait for the disk. Each volume has a lane of its own: a
// FIFO queue, a fixed crew of worker threads that make the blocking calls, and
// an equal share of the memory bound, so a volume whose disk hangs holds its
// own workers and its own share and nothing of the others'.
//
// One proactor serves the whole service; its owner makes it, starts it, and
// destroys it (which stops it). Every public call is safe from any thread.
// The queue, the channel table and the monitor live in a core that the
// workers share with the proactor (see proactor_core.h). Ids come from a
// counter: never 0 or -1, never reused while their channel is in the table; an
// id that names nothing is refused. Channels are removed only by the runtime,
// when their close message is carried out, never from outside.
//
// What a caller sees:
//  - Write copies into the channel's current block (WriteShared keeps a large
//    payload's own buffer instead); blocks go to the disk once they hold
//    1 MiB, one write per channel at a time, in order.
//  - A block whose first byte is half a second old goes to the disk without
//    waiting for another Write, and written bytes are made durable (fdatasync)
//    within a second and before the file closes.
//  - The bytes taken and not yet written are bounded, per channel, per volume
//    (an equal share of the total among the volumes files were opened on) and
//    in all (64 MiB and 512 MiB unless SetMemoryBounds says otherwise). A Write
//    that would pass a bound takes nothing and returns CIoChannel::kWriteDropped;
//    the producer is never made to wait, and the channel takes bytes again as
//    soon as its disk has caught up.
//  - CloseChannel writes what the channel still holds, then closes the file and
//    removes the channel; the monitor's OnChannelRemoved marks the end.
//  - A failed disk write stops the channel, and that is deliberate, not a gap:
//    the failed block and everything after it are dropped, the monitor hears
//    OnChannelError(kIoErrorWrite), GetChannelError keeps the reason, and every
//    later Write to that channel returns -1. Nothing is retried: the record
//    writer learns of the failure from Write's -1 and raises its write-error
//    event (4), which is where the service decides what to do next.
//  - Stop closes every channel and waits, in up to 7 waits of a second, until
//    the queue is empty and every channel has been removed. It then ends the
//    workers and gives them half a second to finish the message in hand; a
//    worker still inside a disk write after that is left to finish on its own
//    (it keeps alive what it uses and reports nothing more). Messages still
//    queued are dropped and channels still in the table are destroyed once no
//    worker holds them (their unwritten bytes are lost). So Stop returns within
//    about 7.5 s whatever the disk does; it also waits for monitor hooks in
//    progress, which must therefore return promptly. The proactor may be
//    started again. The destructor stops it.
#ifndef KVR_IO_PROACTOR_H_
#define KVR_IO_PROACTOR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "io/buffer_pool.h"
#include "io/channel_id.h"
#include "io/io_channel.h"
#include "io/io_message.h"
#include "io/io_monitor.h"
#include "platform/mutex.h"

namespace kvr::io {
class CProactorCore;
}  // namespace kvr::io

class CProactor {
 public:
  static constexpr int kMinThreads = 1;
  static constexpr int kMaxThreads = 50;

  // `threadCount` workers serve each volume; clamped to 1..50 when the proactor starts.
  explicit CProactor(int threadCount);
  ~CProactor();
  CProactor(const CProactor&) = delete;
  CProactor& operator=(const CProactor&) = delete;

  // Uses `monitor` from now on (null is ignored); it is not owned and must
  // outlive the proactor. Returns 0.
  int SetMonitor(IIoMonitor* monitor);
  IIoMonitor* GetMonitor() const;

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
  // `volume` names the lane the file's requests go to (null or "": the
  // default lane); files of one volume should name it alike. With a `root`
  // (a prefix of the name ending in '/'), the file is opened beneath that
  // folder, its missing folders made (see CFileChannel).
  ChannelId OpenFile(const char* fileName, int mode, const char* volume = nullptr,
                     const char* root = nullptr);
  // -1 for an unknown id; 0 once the channel is closing (nothing is taken);
  // otherwise the channel's Write (kWriteDropped past a memory bound).
  int Write(ChannelId id, const void* data, int length);
  // Write for bytes inside `owner`'s buffer: see CIoChannel::WriteShared.
  int WriteShared(ChannelId id, CAutoBuffer* owner, const void* data, int length);
  // -1 for an unknown id; 0 once the channel is closing; otherwise the channel's Read.
  int Read(ChannelId id, void* destination, int length);
  bool Seek(ChannelId id, int64_t offset, int method);  // false when unknown
  int64_t GetSize(ChannelId id);                        // 0 when unknown
  bool IsFile(ChannelId id);                            // false when unknown
  // 0 for a known id (a channel not yet closing starts closing); -1 when unknown.
  int CloseChannel(ChannelId id);
  // The error number of the channel's failed write, 0 while none failed, -1 when unknown.
  int GetChannelError(ChannelId id);
  // Sends the channel's part-filled block to the disk now; false when unknown.
  bool Flush(ChannelId id);
  // How old written bytes may grow before fdatasync makes them durable
  // (CIoChannel::kSyncIntervalMs unless set); 0 leaves it to the kernel, which
  // only a bench comparing the cost should want.
  void SetSyncInterval(uint32_t ms);
  // See CIoChannel::FailureHook; false for an unknown id.
  bool SetFailureHook(ChannelId id, CIoChannel::FailureHook hook);
  // See CIoChannel::StalledMs; 0 when unknown.
  uint32_t GetStalledMs(ChannelId id);

  // Runs `job(true)` on a worker of `volume`'s lane, after what was queued
  // there before it: a volume's blocking calls (opening a record file) then
  // hold up that volume alone. A job that is dropped unrun (the proactor
  // stops first) is called with false instead. False, and the job is not
  // called, while the proactor is not running.
  bool RunOnLane(const char* volume, std::function<void(bool carriedOut)> job);
  // Jobs handed to RunOnLane that have not yet been called.
  size_t GetJobsInFlight() const;
  // The space of `volume` (a folder on it, which also names its lane) as its
  // lane last looked, without waiting: when that look is older than
  // `maxAgeMs` a new one is queued on the lane. `looked` is false until a look
  // has answered.
  struct VolumeSpace {
    bool looked = false, known = false;
    uint64_t totalBytes = 0, freeBytes = 0;
  };
  VolumeSpace GetVolumeSpace(const char* volume, uint32_t maxAgeMs);
  // Looks at the space of `volume` now, on the calling thread: for a job on
  // that volume's own lane, which may block on it.
  void RefreshVolumeSpace(const char* volume);

  // Bounds on the bytes taken by Write and not yet written: per channel and in
  // all. False, and nothing changes, for a bound of 0.
  bool SetMemoryBounds(size_t perChannel, size_t total);
  size_t GetChannelBound() const;
  size_t GetTotalBound() const;
  // Bytes held now, in all or by one channel (0 when unknown), and the most
  // ever held in all at once.
  size_t GetHeldBytes() const;
  size_t GetHeldBytes(ChannelId id);
  size_t GetPeakHeldBytes() const;
  // See CIoChannel::WriteThrottle; false for an unknown id.
  bool SetWriteThrottle(ChannelId id, CIoChannel::WriteThrottle throttle);

  // Appends to the default lane's queue; -1 for a null message, else 0.
  int PostMessage(std::unique_ptr<CIoMessage> message);
  // The oldest message of the default lane, or null when none waits.
  std::unique_ptr<CIoMessage> PopMessage();

  // Adopts the channel and enters it in the table; returns its new id (-1
  // for null). Only its close message or Stop takes it out again.
  ChannelId AddChannel(std::unique_ptr<CIoChannel> channel);

  // For diagnostics and tests.
  bool IsStarted() const;
  int GetThreadCount() const;  // the clamped count once started
  // Workers alive in all lanes, including any that an earlier Stop left inside a write.
  size_t GetWorkerCount() const;
  size_t GetQueuedMessages() const;
  size_t GetChannelCount() const;
  size_t GetLaneCount() const;     // the default lane and one per volume named
  size_t GetPooledBlocks() const;  // blocks held by the block pool; 0 when stopped

 private:
  // Every channel call: the channel under the table lock, or `missing`.
  template <typename R, typename F>
  R WithChannel(ChannelId id, R missing, F&& f);

  const std::shared_ptr<kvr::io::CProactorCore> core_;
  const std::shared_ptr<std::atomic<size_t>> jobsInFlight_ =
      std::make_shared<std::atomic<size_t>>(0);
  std::atomic<int> threadCount_;

  // Serialises Start and Stop. Stop holds it while it waits, so the queries
  // that take it (GetPooledBlocks) are not for monitor hooks.
  mutable platform::Mutex runMu_;
  std::atomic<bool> started_{false};
  std::unique_ptr<CBufferPool> blockPool_ GUARDED_BY(runMu_);
};

#endif  // KVR_IO_PROACTOR_H_
