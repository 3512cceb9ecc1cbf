#include "media/kvr_io_comm_mdl.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "io/proactor.h"
#include "media/record_path.h"
#include "media/source_units.h"
#include "media/volume_worker.h"
#include "platform/debug_log.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "protocol/message/media_pdu.h"
#include "protocol/message/store_pdus.h"

namespace {

using media_detail::FieldText;

std::atomic<CKVRIOCommMdl::TickSource> g_tickSource{nullptr};

// Opens the proactor offers: write (create or replace), and write at the end
// of an existing file (creating it when missing), which resume uses so that
// a resumed record keeps what was written before the pause.
constexpr int kProactorCreate = 1;
constexpr int kProactorAppend = 3;

// The writer's open modes: only writing is ever asked for.
constexpr int kOpenRead = 1;
constexpr int kOpenWrite = 2;

TimeRecord LocalTimeRecord() {
  const platform::LocalTime now = platform::GetLocalTime();
  TimeRecord record;
  record.year = static_cast<uint16_t>(now.year);
  record.month = static_cast<uint8_t>(now.month);
  record.day = static_cast<uint8_t>(now.day);
  record.hour = static_cast<uint8_t>(now.hour);
  record.minute = static_cast<uint8_t>(now.minute);
  record.second = static_cast<uint8_t>(now.second);
  return record;
}

template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

std::string CutTo(const char* text, size_t width) {
  if (text == nullptr) return std::string();
  return std::string(text, strnlen(text, width - 1));
}

}  // namespace

void CKVRIOCommMdl::SetTickSource(TickSource source) { g_tickSource.store(source); }

uint32_t CKVRIOCommMdl::Ticks() {
  const TickSource source = g_tickSource.load();
  return source != nullptr ? source() : platform::TickCount();
}

CKVRIOCommMdl::CKVRIOCommMdl()
    : CCommMdl(false),
      ticket_(std::make_shared<OpenTicket>()),
      refusals_(std::make_shared<SvrFrame::CRefusalTally>()) {
  GetRuntimeInfo()->SetName(kTypeName);
  ticket_->writer = this;
}

CKVRIOCommMdl::~CKVRIOCommMdl() = default;

int CKVRIOCommMdl::Destroy() {
  {
    // An open still on the volume's worker closes its file itself.
    std::lock_guard<std::mutex> lock(ticket_->mu);
    ticket_->writer = nullptr;
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
    case SvrFrame::kRequestMessage: {
      const char* command = unit->GetCommandName();
      if (command == nullptr) break;
      if (std::strcmp(command, "RecRealMedia") == 0) {
        if (auto* request = dynamic_cast<CRecordMedia*>(unit)) StartRecord(*request);
      } else if (std::strcmp(command, "RecRealMediaControl") == 0) {
        if (auto* request = dynamic_cast<CRecordMediaControl*>(unit)) ControlRecord(*request);
      }
      break;
    }
    case SvrFrame::kMediaDataMessage:
      if (auto* media = dynamic_cast<CQwMediaData*>(unit)) OnMediaData(*media);
      break;
    default:
      break;
  }
  return 0;
}

void CKVRIOCommMdl::SetVolumeRoot(const char* root) {
  std::lock_guard<std::mutex> lock(textMu_);
  volumeRoot_ = CutTo(root, kRecordPathWidth);
}

void CKVRIOCommMdl::SetVolumeSpace(uint64_t totalBytes, uint64_t freeBytes) {
  totalBytes_.store(totalBytes);
  freeBytes_.store(freeBytes);
}

bool CKVRIOCommMdl::SetFilePath(const char* path) {
  if (path == nullptr || strnlen(path, kRecordPathWidth) >= kRecordPathWidth) return false;
  std::lock_guard<std::mutex> lock(textMu_);
  filePath_ = path;
  return true;
}

void CKVRIOCommMdl::SetRecordUrl(const char* url) {
  std::lock_guard<std::mutex> lock(textMu_);
  recordUrl_ = url != nullptr ? url : "";
  refusals_->SetName(recordUrl_);
}

void CKVRIOCommMdl::SetSourceName(const char* name) {
  std::lock_guard<std::mutex> lock(textMu_);
  sourceName_ = name != nullptr ? name : "";
}

void CKVRIOCommMdl::SetTeardown(std::function<void()> teardown) {
  std::lock_guard<std::mutex> lock(textMu_);
  teardown_ = std::move(teardown);
}

void CKVRIOCommMdl::RunTeardown() {
  if (tornDown_.exchange(true)) return;
  std::function<void()> teardown;
  {
    std::lock_guard<std::mutex> lock(textMu_);
    teardown = teardown_;
  }
  if (teardown) teardown();
}

void CKVRIOCommMdl::SetRequester(const char* name) {
  std::lock_guard<std::mutex> lock(textMu_);
  requester_ = CutTo(name, kRecordPathWidth);
}

TimeRecord CKVRIOCommMdl::GetStartTime() const {
  std::lock_guard<std::mutex> lock(textMu_);
  return startTime_;
}

TimeRecord CKVRIOCommMdl::GetEndTime() const {
  const int state = state_.load();
  if ((state == kStateRecording || state == kStateResumed) && !closed_.load() &&
      channelId_.load() != kNoChannel) {
    return LocalTimeRecord();
  }
  std::lock_guard<std::mutex> lock(textMu_);
  return endTime_;
}

std::string CKVRIOCommMdl::GetRecordUrl() const {
  std::lock_guard<std::mutex> lock(textMu_);
  return recordUrl_;
}

std::string CKVRIOCommMdl::GetRequester() const {
  std::lock_guard<std::mutex> lock(textMu_);
  return requester_;
}

std::string CKVRIOCommMdl::GetVolumeRoot() const {
  std::lock_guard<std::mutex> lock(textMu_);
  return volumeRoot_;
}

std::string CKVRIOCommMdl::GetFilePath() const {
  std::lock_guard<std::mutex> lock(textMu_);
  return filePath_;
}

void CKVRIOCommMdl::StartRecord(const CRecordMedia& request) {
  std::lock_guard<std::mutex> start(startMu_);
  // A second start would reopen a record that is already being written.
  if (state_.load() != kStateMade) return;
  std::string url = FieldText(request.writeFileUrl);
  if (url.empty()) url = kDefaultRecordUrl;

  {
    std::lock_guard<std::mutex> lock(textMu_);
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
  openMode_.store(kOpenWrite);

  // Without a file the channel stays closed and the first media unit ends
  // the record with a write error, which is how the host learns of it.
  std::string path;
  if (!MakeRecordPath(GetVolumeRoot().c_str(), url.c_str(), &path)) return;

  {
    std::lock_guard<std::mutex> lock(textMu_);
    recordPath_ = path;
    filePath_ = path;
    const CSecureString& origin = request.GetCommOrigin();
    if (!origin.IsEmpty()) requester_ = CutTo(origin.c_str(), kRecordPathWidth);
  }
  OpenRecordFile(true);
  elapsedMs_.store(0);
}

void CKVRIOCommMdl::OpenRecordFile(bool create) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(textMu_);
    if (!volume_) volume_ = CVolumeWorker::For(volumeRoot_);
    path = recordPath_;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(fileMu_);
    closed_.store(false);
    opensInFlight_.fetch_add(1);
  }
  CProactor* proactor = proactor_.load();
  // The open runs here, on the delivery thread: handed to the volume's worker
  // it left pushed bytes waiting in ways the tests could not yet settle.
  auto open = [ticket = ticket_, proactor, path, create] {
    ChannelId channel = kNoChannel;
    if (proactor != nullptr) {
      if (!create) {
        channel = proactor->OpenFile(path.c_str(), kProactorAppend);
      } else if (!platform::PathExists(path) && EnsureDirectories(path.c_str()) == 0) {
        channel = proactor->OpenFile(path.c_str(), kProactorCreate);
      }
    }
    std::lock_guard<std::mutex> lock(ticket->mu);
    if (ticket->writer != nullptr) {
      ticket->writer->FileOpened(channel);
    } else if (channel != kNoChannel) {
      proactor->CloseChannel(channel);
    }
  };
  open();
}

void CKVRIOCommMdl::FileOpened(ChannelId channel) {
  std::lock_guard<std::mutex> media(mediaMu_);
  std::lock_guard<std::recursive_mutex> lock(fileMu_);
  const bool later = opensInFlight_.fetch_sub(1) > 1;
  CProactor* proactor = proactor_.load();
  const int state = state_.load();
  const bool recording = state == kStateRecording || state == kStateResumed;
  if (channel == kNoChannel) {
    // Without media waiting, the next payload finds no channel and fails the
    // record then, as a start without a file always has.
    const bool lost = !pending_.empty();
    pending_.clear();
    if (recording && !later && lost) {
      platform::DebugOutput("写出错！\n");
      StampEndTime();
      closed_.store(true);
      state_.store(kStateFailed);
      SendEvent(kEventWriteError);
    }
    return;
  }
  if (!pending_.empty()) {
    const int written =
        proactor->Write(channel, pending_.data(), static_cast<int>(pending_.size()));
    if (written == CIoChannel::kWriteDropped) {
      droppedBytes_.fetch_add(pending_.size());
      droppedPayloads_.fetch_add(1);
    }
    pending_.clear();
  }
  // A pause or stop taken while the file was opening, or a resume whose own
  // open comes next: the media of before is in, the channel is not kept.
  if (!recording || later) {
    proactor->CloseChannel(channel);
    return;
  }
  channelId_.store(channel);
}

void CKVRIOCommMdl::CloseRecordFile() {
  std::lock_guard<std::recursive_mutex> lock(fileMu_);
  if (closed_.load()) return;
  closed_.store(true);
  const int mode = openMode_.load();
  const ChannelId channel = channelId_.exchange(kNoChannel);
  CProactor* proactor = proactor_.load();
  if ((mode == kOpenRead || mode == kOpenWrite) && channel != kNoChannel && proactor != nullptr) {
    proactor->CloseChannel(channel);
  }
}

void CKVRIOCommMdl::StampEndTime() {
  const TimeRecord now = LocalTimeRecord();
  std::lock_guard<std::mutex> lock(textMu_);
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
  std::shared_ptr<CVolumeWorker> volume;
  {
    std::lock_guard<std::mutex> lock(textMu_);
    volume = volume_;
  }
  // Until the volume's first look has answered nothing is known, and a
  // record is not failed on a guess.
  if (!volume || volume->Refreshes() == 0) return true;
  totalBytes_.store(volume->TotalBytes());
  freeBytes_.store(volume->FreeBytes());
  return volume->SpaceKnown() && freeBytes_.load() > reservedBytes_.load();
}

int CKVRIOCommMdl::WriteData(const char* data, int length) {
  int state = state_.load();
  if (state != kStateRecording && state != kStateResumed) return -1;
  if (HasFreeSpace()) {
    std::lock_guard<std::recursive_mutex> lock(fileMu_);
    // A pause or stop may have closed the channel since the look above.
    state = state_.load();
    if (state != kStateRecording && state != kStateResumed) return -1;
    if (opensInFlight_.load() > 0) {
      // The file is being opened on the volume's worker (mediaMu_ is held).
      if (pending_.size() + static_cast<size_t>(length) > kPendingLimit) {
        droppedBytes_.fetch_add(static_cast<uint64_t>(length));
        droppedPayloads_.fetch_add(1);
        return -1;
      }
      pending_.append(data, static_cast<size_t>(length));
      return length;
    }
    CProactor* proactor = proactor_.load();
    const int written = proactor != nullptr ? proactor->Write(channelId_.load(), data, length) : -1;
    if (written == CIoChannel::kWriteDropped) {
      droppedBytes_.fetch_add(static_cast<uint64_t>(length));
      // One line a record: a disk that is behind drops payloads by the thousand.
      if (droppedPayloads_.fetch_add(1) == 0) {
        platform::DebugPrintf(
            "record %s: the disk is behind, payloads are dropped until it "
            "catches up",
            GetRecordUrl().c_str());
      }
      return -1;
    }
    if (written != -1) return written;
    // No such channel (never opened, or gone), or the proactor failed an
    // earlier disk write of this channel.
    platform::DebugOutput("写出错！\n");
    StampEndTime();
    CloseRecordFile();
    state_.store(kStateFailed);
    SendEvent(kEventWriteError);
    return -2;
  }
  if (!limitEventSent_.exchange(true)) {
    platform::DebugOutput("磁盘满！\n");
    StampEndTime();
    CloseRecordFile();
    state_.store(kStateFailed);
    SendEvent(kEventDiskFull);
  }
  return -1;
}

void CKVRIOCommMdl::OnMediaData(const CQwMediaData& unit) {
  std::lock_guard<std::mutex> media(mediaMu_);
  if (closed_.load()) return;
  uint64_t bytes = bytesReceived_.load();
  const int state = state_.load();
  if (state == kStateRecording || state == kStateResumed) {
    const int length = unit.GetDataSize();
    if (length > 0) {
      // The unit's buffer is already this writer's own copy and outlives the
      // call; the proactor copies it into its block, so no copy is made here.
      WriteData(unit.GetData(), length);
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
      // Pause, stop and fail close the channel but not the writer: media
      // arriving later is dropped by the state alone, and resume can open the
      // file again. A failed record (a lost stream) is closed at once too, so
      // its file is complete as soon as the host hears of the failure rather
      // than when the task is torn down.
      CProactor* proactor = proactor_.load();
      if (requested == kStateStopped || requested == kStatePaused || requested == kStateFailed) {
        StampEndTime();
        const ChannelId channel = channelId_.exchange(kNoChannel);
        if (channel != kNoChannel && proactor != nullptr) proactor->CloseChannel(channel);
      } else if (requested == kStateResumed && opensInFlight_.load() > 0) {
        OpenRecordFile(false);  // behind the start's open, on the volume's worker
      } else if (requested == kStateResumed) {
        std::string path;
        {
          std::lock_guard<std::mutex> text(textMu_);
          path = recordPath_;
        }
        channelId_.store(proactor != nullptr && !path.empty()
                             ? proactor->OpenFile(path.c_str(), kProactorAppend)
                             : kNoChannel);
      }
    }
  }
  const CSecureString& origin = request.GetCommOrigin();
  if (allowed && requested == kStateStopped && !origin.IsEmpty()) {
    CRecordMediaControlAck* ack = CRecordMediaControlAck::Create(requested);
    SvrFrame::MessageRef ref(ack);
    CopyField(ack->recordFileUrl, FieldText(request.recordFileUrl));
    ack->AddReplyTo(origin);
    Send(ref, 0, SvrFrame::kControlDataClass);
  }
  if (requested != kStateStopped && requested != kStateFailed) return;
  std::string source;
  {
    std::lock_guard<std::mutex> lock(textMu_);
    source = sourceName_;
  }
  // The source's own 0 fails the record and leaves it listed; a requester's
  // 0 or 3 ends the task, whatever state the record had reached.
  if (source.empty() || !(origin == source.c_str())) RunTeardown();
}
