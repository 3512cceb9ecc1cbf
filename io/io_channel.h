// Base of the proactor's channels: gathers a caller's bytes into large blocks
// and keeps exactly one write of them on its way to the disk at a time.
//
// A channel is shared by the proactor's table and the messages it has out, and
// named to callers by its ChannelId. Callers reach it through the proactor,
// which holds its table lock across the call; the I/O workers reach it through
// the one message the channel has out. Both keep the proactor's core (where the
// channel posts its messages) alive while they are inside the channel, so the
// channel holds only a plain pointer to it. Everything that changes (the block being filled, the
// queue of full blocks, the flags) is guarded by the channel's own mutex, and the blocking file
// calls by a second one, so a caller filling a block never waits for the disk. The channel posts
// its close message last, after every block it took has been written or dropped; handling that
// message destroys it.
//
// A write that fails ends writing on the channel, by design: the failed block
// and every block after it are dropped (later bytes would land at the wrong
// offsets, and retrying a dead volume would only tie up a worker), the monitor
// hears OnChannelError(kIoErrorWrite), GetError keeps the system's error
// number, and Write refuses with -1 from then on. Close still runs to the end:
// the close message follows and the channel is removed.
//
// Time moves bytes on even when no caller does: a part-filled block goes to
// the disk once its first byte is kMaxBlockAgeMs old, and written bytes are
// made durable (fdatasync) once the oldest of them is kSyncIntervalMs old and
// again before the file closes. The channel asks its lane for a sweep at the
// next such moment, so nothing waits on a caller's next Write.
//
// The bytes a channel holds (taken by Write, not yet written) are bounded by
// its lane's CIoBudget (a share of the proactor's), per channel and in all. A payload that would
// pass either bound is dropped whole (Write returns kWriteDropped) and the channel goes on: later
// payloads are taken again once the disk has caught up, so the file has a gap but never a piece of
// a payload.
#ifndef KVR_IO_IO_CHANNEL_H_
#define KVR_IO_IO_CHANNEL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "io/channel_id.h"
#include "io/io_block.h"
#include "io/io_budget.h"
#include "io/io_message.h"
#include "platform/mutex.h"

namespace kvr::io {
class CIoLane;
class CProactorCore;
}  // namespace kvr::io

class CIoChannel : public std::enable_shared_from_this<CIoChannel> {
 public:
  // Size a block starts with; it is handed to the disk once it holds the write threshold.
  static constexpr size_t kStartBlockSize = kvr::io::CIoBlock::kPieceSize;
  // A block whose first byte is this old goes to the disk with the next
  // write, full or not: a slow stream (a camera sends a megabyte in tens of
  // seconds) must not keep that much footage in memory only, where a crash
  // or power cut loses it.
  static constexpr uint32_t kMaxBlockAgeMs = 500;
  // Written bytes reach stable storage within this long: what a power cut
  // can take is bounded by it plus the block age, not by the kernel's
  // write-back window of tens of seconds.
  static constexpr uint32_t kSyncIntervalMs = 1000;

  // What Write returns for a payload refused because the memory bound is reached.
  static constexpr int kWriteDropped = -2;

  // Runs on the worker before each block of the channel is written, given the
  // block's size; it may block, which is how tests make a disk slow or stall
  // it. The service sets none.
  using WriteThrottle = std::function<void(size_t bytes)>;
  // Runs on the worker, once, when a write or sync of the channel fails,
  // given the system's error number; it must return promptly.
  using FailureHook = std::function<void(int error)>;

  // The channel posts nothing until a proactor adopts it (AddChannel).
  explicit CIoChannel(int writeThreshold);
  virtual ~CIoChannel();
  CIoChannel(const CIoChannel&) = delete;
  CIoChannel& operator=(const CIoChannel&) = delete;

  // 0 for a file channel.
  virtual int GetKind() const = 0;
  // Sends the next full block (or, once closing, the rest and then the close
  // message) unless a write of this channel is already out. Always 0.
  virtual int PostNextWrite();
  virtual bool IsFile() const { return false; }
  virtual int64_t GetSize() const { return 0; }
  // method: 0 from the start, 1 from the current position, 2 from the end.
  virtual bool Seek(int64_t offset, int method);
  // Non-negative on success, -1 on failure.
  virtual int Open(int mode);
  virtual int CloseFile() { return 0; }
  // Copies the bytes into the current block; returns the block's byte count
  // (capped at INT32_MAX), 0 when the channel's close was already posted,
  // kWriteDropped when the bytes would pass a memory bound (nothing is taken),
  // -1 for null data, a length below 1, no memory, or a channel whose writing failed.
  virtual int Write(const void* data, int length);
  // Write for bytes that lie inside `owner`'s buffer: a large payload is held
  // by reference to `owner` rather than copied, and what it costs against the
  // memory bounds is the memory `owner` holds, not only the bytes.
  int WriteShared(CAutoBuffer* owner, const void* data, int length);
  // Posts a read of up to `length` bytes into `destination` (an owned block
  // when it is null); the monitor's OnRead says when it landed. Returns 0 when
  // posted, 1 when a read of this channel is still out (nothing posted), -1
  // for a length below 1 or no memory.
  virtual int Read(void* destination, int length);
  // Marks the channel closing and sends what it holds; returns 0.
  virtual int Close();
  // Sends the part-filled block to the disk now (a pause); returns 0.
  int Flush();
  virtual bool IsClosing() const { return closing_.load(std::memory_order_acquire); }

  ChannelId id() const { return id_; }
  int write_threshold() const { return writeThreshold_; }
  // The system's error number of the write that failed, 0 while none did.
  int GetError() const;
  // True once the close message is on its way: nothing is posted after it.
  bool IsClosePosted() const;
  // Memory charged for what Write took and is not yet written: the bytes,
  // or for shared payloads the buffers they keep.
  size_t HeldBytes() const;
  // A null throttle lets writes go at the disk's pace again.
  void SetWriteThrottle(WriteThrottle throttle);
  void SetFailureHook(FailureHook hook);
  // How long the channel has waited for its disk: since its write (or sync)
  // turn began or last moved on; 0 with nothing out.
  uint32_t StalledMs() const;

  // Called by the worker that holds the channel's message: carry out the
  // blocking call, tell the monitor, then pass the turn on.
  void CarryOutWrite(CIoMessage_Write* message);
  void CarryOutRead(CIoMessage_Read* message);
  void CarryOutSync();
  // Called by the worker that closes the channel: makes written bytes durable
  // and reports a failure like a failed write.
  void SyncBeforeClose();
  // Called by a lane's sweep: the message to post for what is due by `now`,
  // and lowers *next to the channel's next deadline.
  std::unique_ptr<CIoMessage> OnDeadline(std::chrono::steady_clock::time_point now,
                                         std::chrono::steady_clock::time_point* next);

 protected:
  // The blocking calls of the channel's kind. They return the bytes moved, or
  // -1 with the system's error number in *error.
  virtual int64_t WriteOut(kvr::io::CIoBlock* block, int* error);
  virtual int64_t ReadIn(kvr::io::CIoBlock* block, int count, int* error);
  // Makes what was written durable; 0 or the system's error number.
  virtual int SyncOut() { return 0; }

 private:
  friend class kvr::io::CProactorCore;  // adopts the channel, detaches it, sweeps it

  // The following need mu_ held. TakeTurnLocked claims the one outstanding
  // message for the caller and returns what to post (null: nothing);
  // NextMessageLocked is for the holder of that turn.
  std::unique_ptr<CIoMessage> TakeTurnLocked() REQUIRES(mu_);
  std::unique_ptr<CIoMessage> NextMessageLocked() REQUIRES(mu_);
  std::unique_ptr<CIoMessage> CloseMessageLocked() REQUIRES(mu_);
  // The proactor's sync interval; 0 turns syncing off.
  std::chrono::milliseconds SyncInterval() const;
  // Asks the lane for a sweep when the part-filled block or unsynced bytes come due.
  void ArmLocked() REQUIRES(mu_);
  // Keeps the first failure and tells the monitor and the failure hook.
  void Fail(int error) EXCLUDES(mu_);
  void Post(std::unique_ptr<CIoMessage> message);
  // Gives back what `bytes` of held data cost; needs mu_ held.
  void ReleaseLocked(size_t bytes) REQUIRES(mu_);
  // Write's body; `owner` (may be null) holds the bytes for sharing.
  int Take(const void* data, int length, CAutoBuffer* owner);

  // Set once when adopted, before the channel is shared.
  kvr::io::CProactorCore* core_ = nullptr;
  kvr::io::CIoLane* lane_ = nullptr;  // owned by the core
  ChannelId id_ = kvr::io::kNoChannel;
  std::shared_ptr<kvr::io::CIoBudget> budget_;  // null: unbounded (not adopted)
  const int writeThreshold_;
  // Dropped by a stopping proactor: the monitor hears nothing more of it.
  // Guarded by the core's hook lock.
  bool detached_ = false;

  mutable platform::Mutex mu_;
  std::unique_ptr<kvr::io::CIoBlock> current_ GUARDED_BY(mu_);          // being filled by Write
  std::chrono::steady_clock::time_point currentSince_ GUARDED_BY(mu_);  // current_'s first byte
  // Full blocks waiting for their turn.
  std::deque<std::unique_ptr<kvr::io::CIoBlock>> writeQueue_ GUARDED_BY(mu_);
  std::atomic<bool> closing_{false};
  bool writeInProgress_ GUARDED_BY(mu_) = false;  // a write message of this channel is out
  bool readPending_ GUARDED_BY(mu_) = false;      // a read message of this channel is out
  bool closePosted_ GUARDED_BY(mu_) = false;
  int error_ GUARDED_BY(mu_) = 0;
  size_t held_ GUARDED_BY(mu_) = 0;  // charged to budget_
  std::shared_ptr<const WriteThrottle> throttle_ GUARDED_BY(mu_);
  std::shared_ptr<const FailureHook> failureHook_ GUARDED_BY(mu_);
  bool unsynced_ GUARDED_BY(mu_) = false;  // bytes written since the last sync
  std::chrono::steady_clock::time_point unsyncedSince_ GUARDED_BY(mu_);
  // The turn began or last moved on.
  std::chrono::steady_clock::time_point turnSince_ GUARDED_BY(mu_);
};

#endif  // KVR_IO_IO_CHANNEL_H_
