#include "media/kvr_io_comm_mdl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "io/proactor.h"
#include "media/record_path.h"
#include "media/source_units.h"
#include "platform/debug_log.h"
#include "platform/file.h"
#include "platform/time.h"
#include "protocol/message/media_pdu.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/text_field.h"

namespace {

using kvr::pdu::ConvertTime;
using kvr::pdu::TimeRecord;
using kvr::pdu::UnitAs;

using kvr::io::kNoChannel;

using kvr::CopyField;
using kvr::FieldText;

// The proactor's open that creates (or replaces) a file for writing.
constexpr int kProactorCreate = 1;

TimeRecord LocalTimeRecord() { return ConvertTime<TimeRecord>(platform::GetLocalTime()); }

std::string CutTo(const char* text, size_t width) {
  if (text == nullptr) return std::string();
  return std::string(text, strnlen(text, width - 1));
}

}  // namespace

uint32_t CKVRIOCommMdl::Ticks() const {
  const TickSource source = tickSource_.load();
  return source != nullptr ? source() : platform::TickCount();
}

CKVRIOCommMdl::CKVRIOCommMdl() : CCommMdl(false) { GetRuntimeInfo()->SetName(kTypeName); }

CKVRIOCommMdl::~CKVRIOCommMdl() = default;

int CKVRIOCommMdl::Destroy() {
  {
    platform::MutexLock lock(link_->mu);
    link_->writer = nullptr;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(fileMu_);
    CProactor* proactor = proactor_.load();
    const ChannelId channel = channelId_.exchange(kNoChannel);
    if (channel != kNoChannel && proactor != nullptr) proactor->CloseChannel(channel);
    closed_.store(true);
  }
  delete this;
  return 0;
}

int CKVRIOCommMdl::OnMessage(const SvrFrame::MessageRef& message) {
  SvrFrame::CInnerProtocolStack* unit = message.get();
  if (unit == nullptr) return 0;
  switch (unit->GetMessageKind()) {
    case SvrFrame::kRequestMessage:
      if (auto* request = UnitAs<CRecordMedia>(unit)) StartRecord(*request);
      if (auto* control = UnitAs<CRecordMediaControl>(unit)) ControlRecord(*control);
      break;
    case SvrFrame::kMediaDataMessage:
      if (auto* media = dynamic_cast<CQwMediaData*>(unit)) OnMediaData(*media);
      break;
    default:
      break;
  }
  return 0;
}

void CKVRIOCommMdl::SetVolumeRoot(const char* root) {
  platform::MutexLock lock(textMu_);
  volumeRoot_ = CutTo(root, kvr::media::kRecordPathWidth);
}

void CKVRIOCommMdl::SetVolumeSpace(uint64_t totalBytes, uint64_t freeBytes) {
  totalBytes_.store(totalBytes);
  freeBytes_.store(freeBytes);
}

bool CKVRIOCommMdl::SetFilePath(const char* path) {
  if (path == nullptr ||
      strnlen(path, kvr::media::kRecordPathWidth) >= kvr::media::kRecordPathWidth)
    return false;
  platform::MutexLock lock(textMu_);
  filePath_ = path;
  return true;
}

void CKVRIOCommMdl::SetRecordUrl(const char* url) {
  platform::MutexLock lock(textMu_);
  recordUrl_ = url != nullptr ? url : "";
  refusals_->SetName(recordUrl_);
}

void CKVRIOCommMdl::SetSourceName(const char* name) {
  platform::MutexLock lock(textMu_);
  sourceName_ = name != nullptr ? name : "";
}

void CKVRIOCommMdl::SetTeardown(std::function<void()> teardown) {
  platform::MutexLock lock(textMu_);
  teardown_ = std::move(teardown);
}

void CKVRIOCommMdl::RunTeardown() {
  if (tornDown_.exchange(true)) return;
  std::function<void()> teardown;
  {
    platform::MutexLock lock(textMu_);
    teardown = teardown_;
  }
  if (teardown) teardown();
}

void CKVRIOCommMdl::SetRequester(const char* name) {
  platform::MutexLock lock(textMu_);
  requester_ = CutTo(name, kvr::media::kRecordPathWidth);
}

TimeRecord CKVRIOCommMdl::GetStartTime() const {
  platform::MutexLock lock(textMu_);
  return startTime_;
}

TimeRecord CKVRIOCommMdl::GetEndTime() const {
  const int state = state_.load();
  if ((state == kStateRecording || state == kStateResumed) && !closed_.load() &&
      channelId_.load() != kNoChannel) {
    return LocalTimeRecord();
  }
  platform::MutexLock lock(textMu_);
  return endTime_;
}

std::string CKVRIOCommMdl::GetRecordUrl() const {
  platform::MutexLock lock(textMu_);
  return recordUrl_;
}

std::string CKVRIOCommMdl::GetRequester() const {
  platform::MutexLock lock(textMu_);
  return requester_;
}

std::string CKVRIOCommMdl::GetVolumeRoot() const {
  platform::MutexLock lock(textMu_);
  return volumeRoot_;
}

std::string CKVRIOCommMdl::GetFilePath() const {
  platform::MutexLock lock(textMu_);
  return filePath_;
}

void CKVRIOCommMdl::StartRecord(const CRecordMedia& request) {
  platform::MutexLock start(startMu_);
  // A second start would reopen a record that is already being written.
  if (state_.load() != kStateMade) return;
  std::string url(FieldText(request.writeFileUrl));
  if (url.empty()) url = kDefaultRecordUrl;

  {
    platform::MutexLock lock(textMu_);
    startTime_ = LocalTimeRecord();
    if (recordUrl_.empty()) recordUrl_ = url;
    refusals_->SetName(recordUrl_);
  }
  startTick_.store(Ticks());
  state_.store(kStateRecording);

  // Absent (-2) and negative limits count as "no limit asked for", like 0.
  sizeLimit_.store(request.limitSize > 0 ? static_cast<uint64_t>(request.limitSize) << 20
                                         : kDefaultSizeLimit);
  if (request.limitTime > 0) {
    // The tick wraps at 2^32 ms: a longer limit (and its grace) could never be reached.
    constexpr uint64_t kLongest = std::numeric_limits<uint32_t>::max() - kTimeGraceMs;
    const uint64_t ms = static_cast<uint64_t>(request.limitTime) * 1000;
    timeLimitMs_.store(static_cast<uint32_t>(ms < kLongest ? ms : kLongest));
  } else {
    timeLimitMs_.store(kDefaultTimeLimitMs);
  }
  sourceType_.store(request.puType);

  // Without a file the channel stays closed and the first media unit ends
  // the record with a write error, which is how the host learns of it.
  std::string path;
  if (!kvr::media::MakeRecordPath(GetVolumeRoot().c_str(), url.c_str(), &path)) return;

  {
    platform::MutexLock lock(textMu_);
    recordPath_ = path;
    filePath_ = path;
    const CSecureString& origin = request.GetCommOrigin();
    if (!origin.IsEmpty()) requester_ = CutTo(origin.c_str(), kvr::media::kRecordPathWidth);
  }
  OpenRecordFile();
  elapsedMs_.store(0);
}

void CKVRIOCommMdl::OpenRecordFile() {
  CProactor* proactor = proactor_.load();
  const std::string path = GetFilePath();
  // The lane's key, the folder whose space is asked for and the one the
  // record's folders and file are made beneath (a link inside the volume
  // never takes the footage elsewhere): the volume root with its separators
  // normalised, so that "D:\rec" is "D:/rec".
  std::string volume;
  if (!kvr::media::MakeRecordPath(GetVolumeRoot().c_str(), "", &volume)) volume.clear();
  {
    std::lock_guard<std::recursive_mutex> lock(fileMu_);
    closed_.store(false);
    ++opensInFlight_;
  }
  auto open = [link = link_, proactor, path, volume](bool carriedOut) {
    ChannelId channel = kNoChannel;
    if (carriedOut && proactor != nullptr) {
      // The space first, on the volume's lane: the media kept while the file
      // opens is judged by it.
      proactor->RefreshVolumeSpace(volume.c_str());
      if (!platform::PathExists(path))
        channel = proactor->OpenFile(path.c_str(), kProactorCreate, volume.c_str(), volume.c_str());
    }
    platform::MutexLock lock(link->mu);
    if (link->writer != nullptr) {
      link->writer->FileOpened(channel);
    } else if (channel != kNoChannel) {
      proactor->CloseChannel(channel);
    }
  };
  // A proactor that does not run has no lane workers: the caller opens.
  if (proactor == nullptr || !proactor->RunOnLane(volume.c_str(), open)) open(true);
}

void CKVRIOCommMdl::FileOpened(ChannelId channel) {
  std::lock_guard<std::recursive_mutex> lock(fileMu_);
  --opensInFlight_;
  CProactor* proactor = proactor_.load();
  const int state = state_.load();
  if (channel == kNoChannel) {
    // Without media waiting, the next payload finds no channel and fails the
    // record then, as a start without a file always has.
    const bool lost = !pending_.empty();
    pending_.clear();
    if ((state == kStateRecording || state == kStateResumed) && lost) {
      platform::DebugOutput("写出错！\n");
      FailWrite();
    }
    return;
  }
  std::shared_ptr<FailureLink> link = link_;
  proactor->SetFailureHook(channel, [link](int) {
    platform::MutexLock lock(link->mu);
    if (link->writer != nullptr) link->writer->OnWriteFailed();
  });
  channelId_.store(channel);
  if (!pending_.empty()) {
    std::string kept;
    kept.swap(pending_);
    if (state != kStateFailed && !HasFreeSpace()) {
      FailDiskFull();
    } else {
      WriteOut(kept.data(), static_cast<int>(kept.size()));
    }
  }
  // A stop or a failure taken while the file was opening: what came before
  // it is in, the channel is not kept.
  if (state_.load() == kStateStopped || state_.load() == kStateFailed) {
    const ChannelId open = channelId_.exchange(kNoChannel);
    if (open != kNoChannel) proactor->CloseChannel(open);
  }
}

void CKVRIOCommMdl::OnWriteFailed() {
  std::lock_guard<std::recursive_mutex> lock(fileMu_);
  const int state = state_.load();
  if (state == kStateRecording || state == kStateResumed || state == kStatePaused) {
    FailWrite();
  } else if (!writeErrorSent_.exchange(true)) {
    // The last flush of a stop: the record has ended, but its file lacks its tail.
    SendEvent(kEventWriteError);
  }
}

void CKVRIOCommMdl::FailWrite() {
  std::lock_guard<std::recursive_mutex> lock(fileMu_);
  partialLength_ = 0;
  StampEndTime();
  CloseRecordFile();
  state_.store(kStateFailed);
  if (!writeErrorSent_.exchange(true)) SendEvent(kEventWriteError);
}

void CKVRIOCommMdl::CloseRecordFile() {
  std::lock_guard<std::recursive_mutex> lock(fileMu_);
  if (closed_.load()) return;
  closed_.store(true);
  CProactor* proactor = proactor_.load();
  if (partialLength_ > 0 && proactor != nullptr) {
    proactor->Write(channelId_.load(), partial_, partialLength_);
  }
  partialLength_ = 0;
  const ChannelId channel = channelId_.exchange(kNoChannel);
  if (channel != kNoChannel && proactor != nullptr) proactor->CloseChannel(channel);
}

void CKVRIOCommMdl::StampEndTime() {
  const TimeRecord now = LocalTimeRecord();
  platform::MutexLock lock(textMu_);
  endTime_ = now;
}

void CKVRIOCommMdl::SendEvent(int event) {
  CRecordEvent* unit = CRecordEvent::Create();
  SvrFrame::MessageRef ref(unit);
  CopyField(unit->recordFileUrl, GetRecordUrl());
  unit->recordEvent = event;
  unit->AddReplyTo(CSecureString(GetRequester().c_str()));
  // Events travel as control data: that queue never refuses a message.
  Send(ref, 0, SvrFrame::kControlDataClass);
}

bool CKVRIOCommMdl::HasFreeSpace() {
  CProactor* proactor = proactor_.load();
  if (proactor == nullptr) return true;
  std::string volume;
  if (!kvr::media::MakeRecordPath(GetVolumeRoot().c_str(), "", &volume)) volume.clear();
  const CProactor::VolumeSpace space = proactor->GetVolumeSpace(volume.c_str(), kSpaceRefreshMs);
  // Until the volume's first look has answered nothing is known, and a
  // record is not failed on a guess.
  if (!space.looked) return true;
  totalBytes_.store(space.totalBytes);
  freeBytes_.store(space.freeBytes);
  return space.known && space.freeBytes > reservedBytes_.load();
}

void CKVRIOCommMdl::FailDiskFull() {
  if (limitEventSent_.exchange(true)) return;
  platform::DebugOutput("磁盘满！\n");
  StampEndTime();
  CloseRecordFile();
  state_.store(kStateFailed);
  SendEvent(kEventDiskFull);
}

int CKVRIOCommMdl::WriteData(const char* data, int length, CAutoBuffer* owner) {
  int state = state_.load();
  if (state != kStateRecording && state != kStateResumed) return -1;
  if (HasFreeSpace()) {
    std::lock_guard<std::recursive_mutex> lock(fileMu_);
    // A pause or stop may have closed the channel since the look above.
    state = state_.load();
    if (state != kStateRecording && state != kStateResumed) return -1;
    int result = 0;
    if (partialLength_ > 0) {
      const int need = std::min(kPacketSize - partialLength_, length);
      std::memcpy(partial_ + partialLength_, data, static_cast<size_t>(need));
      partialLength_ += need;
      data += need;
      length -= need;
      if (partialLength_ < kPacketSize) return 0;
      partialLength_ = 0;
      result = WriteOut(partial_, kPacketSize);
      if (result == -2) return result;
    }
    const int rest = length % kPacketSize;
    if (length > rest) result = WriteOut(data, length - rest, owner);
    if (result == -2) return result;
    std::memcpy(partial_, data + (length - rest), static_cast<size_t>(rest));
    partialLength_ = rest;
    return result;
  }
  FailDiskFull();
  return -1;
}

int CKVRIOCommMdl::WriteOut(const char* data, int length, CAutoBuffer* owner) {
  if (opensInFlight_ > 0) {
    // The file is still being opened on the volume's lane.
    if (pending_.size() + static_cast<size_t>(length) > kPendingLimit) {
      droppedBytes_.fetch_add(static_cast<uint64_t>(length));
      droppedPayloads_.fetch_add(1);
      droppedWhileOpening_.fetch_add(1);
      return -1;
    }
    pending_.append(data, static_cast<size_t>(length));
    return length;
  }
  CProactor* proactor = proactor_.load();
  const ChannelId channel = channelId_.load();
  int written = -1;
  if (proactor != nullptr) {
    written = owner != nullptr ? proactor->WriteShared(channel, owner, data, length)
                               : proactor->Write(channel, data, length);
  }
  if (written == CIoChannel::kWriteDropped) {
    droppedBytes_.fetch_add(static_cast<uint64_t>(length));
    // One line a record: a disk that is behind drops payloads by the thousand.
    if (droppedPayloads_.fetch_add(1) == 0) {
      platform::DebugPrintf(
          "record %s: the disk is behind, payloads are dropped until it "
          "catches up",
          GetRecordUrl().c_str());
    }
    if (proactor->GetStalledMs(channel) < kVolumeGoneMs) return -1;
    platform::DebugPrintf("record %s: its volume has not taken a write for %u s; the record ends",
                          GetRecordUrl().c_str(), kVolumeGoneMs / 1000);
    FailWrite();
    return -2;
  }
  if (written != -1) return written;
  // No such channel (never opened, or gone), or the proactor failed an
  // earlier disk write of this channel.
  platform::DebugOutput("写出错！\n");
  FailWrite();
  return -2;
}

void CKVRIOCommMdl::OnMediaData(const CQwMediaData& unit) {
  platform::MutexLock media(mediaMu_);
  if (closed_.load()) return;
  uint64_t bytes = bytesReceived_.load();
  const int state = state_.load();
  if (state == kStateRecording || state == kStateResumed) {
    const int length = unit.GetDataSize();
    if (length > 0) {
      // The unit's buffer is already this writer's own copy and is never
      // changed again, so the file runtime may hold it instead of a copy.
      WriteData(unit.GetData(), length, unit.GetBuffer());
      bytes += static_cast<uint64_t>(length);
    }
    // Paused time counts: the limit is on wall time since the start.
    elapsedMs_.store(static_cast<uint32_t>(Ticks() - startTick_.load()));
  }
  CheckLimits(bytes);
  // Published last, so a reader that sees the count also sees what the unit
  // did to the state.
  bytesReceived_.store(bytes);
}

void CKVRIOCommMdl::CheckLimits(uint64_t bytes) {
  const uint32_t elapsed = elapsedMs_.load();
  const uint32_t timeLimit = timeLimitMs_.load();
  const uint64_t sizeLimit = sizeLimit_.load();
  const bool timeUp = elapsed >= timeLimit;
  const bool sizeUp = bytes >= sizeLimit;
  if (!timeUp && !sizeUp) return;
  if (!limitEventSent_.exchange(true)) {
    if (timeUp) platform::DebugOutput("时间上限到！\n");
    if (sizeUp) platform::DebugOutput("大小上限到！\n");
    SendEvent(sizeUp ? kEventSizeLimit : kEventTimeLimit);
  }
  if (elapsed < timeLimit + kTimeGraceMs && bytes < sizeLimit + kSizeGrace) return;
  CloseRecordFile();
  StampEndTime();
  state_.store(kStateStopped);
}

void CKVRIOCommMdl::ControlRecord(const CRecordMediaControl& request) {
  const int requested = request.ctrlInfo;
  bool allowed = false;
  {
    std::lock_guard<std::recursive_mutex> lock(fileMu_);
    const int current = state_.load();
    const bool recording = current == kStateRecording || current == kStateResumed;
    allowed =
        (recording &&
         (requested == kStatePaused || requested == kStateStopped || requested == kStateFailed)) ||
        (current == kStatePaused && (requested == kStateStopped || requested == kStateResumed));
    if (allowed) {
      state_.store(requested);
      // Stop and fail close the channel but not the writer: media arriving
      // later is dropped by the state alone. A failed record (a lost stream)
      // is closed at once too, so its file is complete as soon as the host
      // hears of the failure rather than when the task is torn down. Pause
      // keeps the channel and sends what it holds to the disk: a second
      // channel on the same file would write its bytes beside the first
      // one's queue, not after it. While the file is still being opened its
      // open takes what is kept and closes the channel behind it.
      CProactor* proactor = proactor_.load();
      if (requested == kStateStopped || requested == kStateFailed) {
        StampEndTime();
        if (requested == kStateFailed) partialLength_ = 0;
        if (partialLength_ > 0 && opensInFlight_ > 0) {
          pending_.append(partial_, static_cast<size_t>(partialLength_));
        } else if (partialLength_ > 0 && proactor != nullptr) {
          proactor->Write(channelId_.load(), partial_, partialLength_);
        }
        partialLength_ = 0;
        const ChannelId channel = channelId_.exchange(kNoChannel);
        if (channel != kNoChannel && proactor != nullptr) proactor->CloseChannel(channel);
      } else if (requested == kStatePaused) {
        StampEndTime();
        if (proactor != nullptr) proactor->Flush(channelId_.load());
      }
    }
  }
  const CSecureString& origin = request.GetCommOrigin();
  if (allowed && requested == kStateStopped && !origin.IsEmpty()) {
    CRecordMediaControlAck* ack = CRecordMediaControlAck::Create(requested);
    SvrFrame::MessageRef ref(ack);
    CopyField(ack->recordFileUrl, request.recordFileUrl);
    ack->AddReplyTo(origin);
    Send(ref, 0, SvrFrame::kControlDataClass);
  }
  if (requested != kStateStopped && requested != kStateFailed) return;
  std::string source;
  {
    platform::MutexLock lock(textMu_);
    source = sourceName_;
  }
  // The source's own 0 fails the record and leaves it listed; a requester's
  // 0 or 3 ends the task, whatever state the record had reached.
  if (source.empty() || !(origin == source.c_str())) RunTeardown();
}
