// The record file writer: one per record task.
//
// A communication module that appends every media payload it is sent, as it
// stands, to one record file through the proactor, enforces the record's size
// and time limits and the volume's reserved space, obeys pause / resume / stop
// requests and answers the storage data's status queries. Each end of
// recording is reported as a "RecordEvent" unit addressed to the requester:
// 1 disk full, 2 time limit, 3 size limit, 4 write error. A write the disk
// refuses raises event 4 whenever it happens, including the last flush of a
// pause or a stop (the file runtime calls the writer back). A payload the file
// runtime refuses because its memory bound is reached (the disk is behind) is
// dropped whole and counted, the first of a record with one debug line, and
// the record goes on: it is a gap in the file, not the end of the record. The
// exception is a volume that stays gone: a payload dropped while the record's
// file has waited kVolumeGoneMs for its disk ends the record with event 4.
//
// The file runtime is handed whole 188-byte packets only: a pushed chunk is
// whatever the host sends, so the bytes after its last whole packet wait here
// for the next chunk (and a stop writes them). A drop or a failed block then
// never splits a packet. Pause sends the part-filled block to the disk and
// keeps the file open, so resume goes on at the same place in the same order.
//
// The record file is opened on a worker of its volume's lane (with the
// volume's first look at its free space before it), so that a disk that
// stalls holds up the records of that volume only; media that arrives
// meanwhile is kept, up to kPendingLimit, and written once the file is open.
// The free space that decides "disk full" is the lane's last look, which the
// lane refreshes at least once a second while the record writes.
//
// A stop or a failure ends the record; only a requester's stop (control 0 or
// 3) ends the task: once the writer has taken it (last media written, file
// closed, answer sent) it runs the teardown its maker gave it. The source's
// own control 0 (a camera that could not be opened or was lost) fails the
// record and leaves it listed.
//
// Ownership: the storage function module makes it, fills in the setters below
// (volume root, reserved bytes, proactor, record URL, requester), registers it
// with the command dealing module and enters it in the task table; the
// command dealing module destroys it (Destroy) after the task is removed.
//
// Threads: OnMessage runs on the command dealing module's delivery threads,
// possibly several at once (media and control travel in different queues);
// the media lock serialises media handling, the file lock guards the channel
// against control requests, the start lock the start. The status queries
// (GetState, GetStartTime, GetEndTime, GetRecordSizeMB, ...) may be called
// from any thread at any time. The setters are for the maker, before the
// start request is sent.
#ifndef KVR_MEDIA_KVR_IO_COMM_MDL_H_
#define KVR_MEDIA_KVR_IO_COMM_MDL_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "io/channel_id.h"
#include "platform/mutex.h"
#include "protocol/message/zeta_text.h"
#include "svrframe/comm_mdl.h"
#include "svrframe/refusal_tally.h"

class CProactor;
class CAutoBuffer;
class CQwMediaData;
class CRecordMedia;
class CRecordMediaControl;

class CKVRIOCommMdl : public SvrFrame::CCommMdl {
 public:
  // The module's type name, before registration makes it unique.
  static constexpr const char kTypeName[] = "KVRIO";
  // The file name used when a start request has no write file URL.
  static constexpr const char kDefaultRecordUrl[] = "QWRecRealMediaDeal.dav";

  // Record states.
  static constexpr int kStateFailed = 0;
  static constexpr int kStatePaused = 1;
  static constexpr int kStateResumed = 2;
  static constexpr int kStateStopped = 3;
  static constexpr int kStateRecording = 4;
  static constexpr int kStateMade = -1;

  // Record events.
  static constexpr int kEventDiskFull = 1;
  static constexpr int kEventTimeLimit = 2;
  static constexpr int kEventSizeLimit = 3;
  static constexpr int kEventWriteError = 4;
  static constexpr int kEventStreamLost = 5;

  // Limits used when a request asks for 0, and the grace after each.
  static constexpr uint64_t kDefaultSizeLimit = 1ull << 30;    // 1 GiB
  static constexpr uint32_t kDefaultTimeLimitMs = 86'400'000;  // 24 hours
  static constexpr uint64_t kSizeGrace = 10ull << 20;          // 10 MiB
  static constexpr uint32_t kTimeGraceMs = 60'000;
  // A record whose file has waited this long for its disk, and which drops a
  // payload for it, ends with a write error: its volume is taken to be gone.
  static constexpr uint32_t kVolumeGoneMs = 10'000;
  // The unit the file runtime is handed: an MPEG-TS packet.
  static constexpr int kPacketSize = 188;
  // Most media bytes kept while the record file is being opened; more is
  // dropped and counted like a payload the disk could not take.
  static constexpr size_t kPendingLimit = 8u << 20;
  // Longest age of the volume's free-space figures that a write relies on.
  static constexpr uint32_t kSpaceRefreshMs = 1000;

  // The millisecond tick this writer's limits are measured with; null (the
  // default) is platform::TickCount. Set before the record starts.
  using TickSource = uint32_t (*)();
  void SetTickSource(TickSource source) { tickSource_.store(source); }

  CKVRIOCommMdl();
  ~CKVRIOCommMdl() override;

  // Closes the record file if one is open, then deletes the writer.
  int Destroy() override;
  // "RecRealMedia" starts, "RecRealMediaControl" controls, media units are
  // written; everything else is ignored. Always 0.
  int OnMessage(const SvrFrame::MessageRef& message) override;
  // The writer has no worker thread.
  int Loop() override { return 0; }

  // ---- Set by the maker before the start request ----
  void SetProactor(CProactor* proactor) { proactor_.store(proactor); }
  // The volume's root path (at most 259 bytes; longer is cut, and then no
  // record path can be made from it, so the record fails with event 4).
  void SetVolumeRoot(const char* root);
  // Free space at or below this many bytes counts as a full disk.
  void SetReservedBytes(uint64_t bytes) { reservedBytes_.store(bytes); }
  // Last known size of the volume; refreshed before every write.
  void SetVolumeSpace(uint64_t totalBytes, uint64_t freeBytes);
  // The record file's path; false (and nothing changed) when it does not fit
  // 260 bytes. The start sets it again from the volume root and the request.
  bool SetFilePath(const char* path);
  // The record's key in the task table; every event carries it.
  void SetRecordUrl(const char* url);
  // The module that events go to (the start request's sender replaces it).
  void SetRequester(const char* name);
  // False: the writer accepts media (the default for a new writer).
  void SetClosed(bool closed) { closed_.store(closed); }
  // The module name of the record's source: its control 0 fails the record
  // and leaves the task listed, where a requester's 0 or 3 ends the task.
  void SetSourceName(const char* name);
  // Run once, on the delivery thread, after the writer has taken a
  // requester's control 0 or 3 (file closed, answer sent): takes the task
  // out of the tables.
  void SetTeardown(std::function<void()> teardown);

  // ---- Status queries, any thread ----
  int GetState() const { return state_.load(); }
  kvr::pdu::TimeRecord GetStartTime() const;
  // The current local time while recording with a file open, else the time
  // the record was paused or ended.
  kvr::pdu::TimeRecord GetEndTime() const;
  // Payload bytes accepted while recording, and the same in whole MiB.
  uint64_t GetBytesReceived() const { return bytesReceived_.load(); }
  uint32_t GetRecordSizeMB() const { return static_cast<uint32_t>(bytesReceived_.load() >> 20); }
  // Payloads (and their bytes) dropped because the disk was behind; they are
  // part of the bytes received, not of the file.
  uint64_t GetDroppedPayloads() const { return droppedPayloads_.load(); }
  uint64_t GetDroppedBytes() const { return droppedBytes_.load(); }
  // Of those, the payloads that came while the file was still opening and
  // its 8 MiB of waiting room was full.
  uint64_t GetDroppedWhileOpening() const { return droppedWhileOpening_.load(); }
  // The record's messages that a full framework queue refused (media on its
  // way here, mostly); the sources attach the tally to what they send.
  const std::shared_ptr<SvrFrame::CRefusalTally>& GetRefusalTally() const { return refusals_; }
  uint64_t GetRefusedMessages() const { return refusals_->Get(); }
  uint64_t GetSizeLimit() const { return sizeLimit_.load(); }
  uint32_t GetTimeLimitMs() const { return timeLimitMs_.load(); }
  int GetSourceType() const { return sourceType_.load(); }
  std::string GetRecordUrl() const;
  std::string GetRequester() const;
  std::string GetVolumeRoot() const;
  std::string GetFilePath() const;
  bool IsClosed() const { return closed_.load(); }
  ChannelId GetChannelId() const { return channelId_.load(); }

 private:
  void StartRecord(const CRecordMedia& request);
  void ControlRecord(const CRecordMediaControl& request);
  void OnMediaData(const CQwMediaData& unit);
  // Sends the limit event once, and ends the record once the grace is over.
  void CheckLimits(uint64_t bytes);
  // 0 or more: the proactor took the bytes; -1 not recording, disk full, or
  // dropped for the memory bound; -2 write error (the record has failed).
  // `owner`, when not null, is the buffer the bytes lie in: the file runtime
  // may keep it instead of copying them.
  int WriteData(const char* data, int length, CAutoBuffer* owner = nullptr);
  // One write of whole packets (or the stop's last part of one); as WriteData.
  int WriteOut(const char* data, int length, CAutoBuffer* owner = nullptr);
  // Ends a recording record with event 4, once.
  void FailWrite();
  // The file runtime's report of a failed write (on its worker thread).
  void OnWriteFailed();
  bool HasFreeSpace();
  // Ends a recording record with event 1, once.
  void FailDiskFull();
  // Has the volume's lane create the record file; media is kept meanwhile.
  void OpenRecordFile();
  // The open's outcome (kNoChannel: it failed), on the lane's worker.
  void FileOpened(ChannelId channel);
  void RunTeardown();
  void CloseRecordFile();
  void StampEndTime();
  void SendEvent(int event);

  uint32_t Ticks() const;

  // Never held while another lock is taken.
  mutable platform::Mutex textMu_;
  std::string volumeRoot_ GUARDED_BY(textMu_);
  std::string filePath_ GUARDED_BY(textMu_);
  std::string recordPath_ GUARDED_BY(textMu_);
  std::string recordUrl_ GUARDED_BY(textMu_);
  std::string requester_ GUARDED_BY(textMu_);
  kvr::pdu::TimeRecord startTime_ GUARDED_BY(textMu_);
  kvr::pdu::TimeRecord endTime_ GUARDED_BY(textMu_);

  std::atomic<CProactor*> proactor_{nullptr};
  std::atomic<uint64_t> reservedBytes_{0};
  std::atomic<uint64_t> totalBytes_{0};
  std::atomic<uint64_t> freeBytes_{0};

  std::atomic<uint64_t> sizeLimit_{kDefaultSizeLimit};
  std::atomic<uint32_t> timeLimitMs_{kDefaultTimeLimitMs};
  std::atomic<int> sourceType_{0};
  std::atomic<ChannelId> channelId_{kvr::io::kNoChannel};
  std::atomic<bool> closed_{false};
  std::atomic<int> state_{kStateMade};
  std::atomic<TickSource> tickSource_{nullptr};
  std::atomic<uint32_t> startTick_{0};
  std::atomic<uint32_t> elapsedMs_{0};
  std::atomic<uint64_t> bytesReceived_{0};
  std::atomic<bool> limitEventSent_{false};
  std::atomic<uint64_t> droppedPayloads_{0};
  std::atomic<uint64_t> droppedBytes_{0};
  std::atomic<uint64_t> droppedWhileOpening_{0};

  // The bytes after a chunk's last whole packet; guarded by fileMu_.
  char partial_[kPacketSize] = {};
  int partialLength_ = 0;
  std::atomic<bool> writeErrorSent_{false};
  // Lets the file runtime's failure report and the lane's open reach the
  // writer while it lives; an open that finds it gone closes its file.
  struct FailureLink {
    explicit FailureLink(CKVRIOCommMdl* w) : writer(w) {}
    platform::Mutex mu;
    CKVRIOCommMdl* writer GUARDED_BY(mu);  // cleared by Destroy
  };
  const std::shared_ptr<FailureLink> link_ = std::make_shared<FailureLink>(this);

  // Opens on the lane not yet answered; media meanwhile waits in pending_.
  int opensInFlight_ = 0;  // guarded by fileMu_
  std::string pending_;    // guarded by fileMu_

  std::string sourceName_ GUARDED_BY(textMu_);
  std::function<void()> teardown_ GUARDED_BY(textMu_);
  std::atomic<bool> tornDown_{false};
  const std::shared_ptr<SvrFrame::CRefusalTally> refusals_ =
      std::make_shared<SvrFrame::CRefusalTally>();

  platform::Mutex mediaMu_;      // media handling
  std::recursive_mutex fileMu_;  // channel, closed flag, state changes by control
  platform::Mutex startMu_;      // start handling
};

#endif  // KVR_MEDIA_KVR_IO_COMM_MDL_H_
