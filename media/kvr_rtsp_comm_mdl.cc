#include "media/kvr_rtsp_comm_mdl.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <system_error>
#include <thread>

#include "media/kvr_io_comm_mdl.h"
#include "media/record_directory.h"
#include "media/remote_stream.h"
#include "media/source_units.h"
#include "platform/debug_log.h"
#include "protocol/message/media_pdu.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/text_field.h"

namespace {

using kvr::pdu::UnitAs;

using kvr::media::CKVRSourceMdl;
using kvr::media::CRemoteStreamLib;

using kvr::FieldText;

// A stream can be lost before OpenStream has returned its handle to the
// source, so the directory cannot find the source yet. Such handles wait here
// until their source stores the handle and claims them. The directory look-up
// and the store of a handle both happen under this lock, so a loss is either
// found or parked, never missed.
struct EarlyLosses {
  platform::Mutex mu;
  std::set<uint32_t> handles GUARDED_BY(mu);
};

EarlyLosses& Losses() {
  static EarlyLosses* losses = new EarlyLosses;  // reader threads may outlive static destruction
  return *losses;
}

// The device form of the media URL, for requests that address a device
// instead of naming a URL; empty when the request names no destination.
std::string DeviceUrl(const CRecordMedia& request) {
  const std::string destination(FieldText(request.vsDestIp));
  const std::string device(FieldText(request.puIp));
  if (destination.empty() || device.empty()) return std::string();
  char url[CRemoteStreamLib::kMaxUrlLength + 1];
  std::snprintf(url, sizeof url, CKVRRTSPCommMdl::kDeviceUrlFormat, destination.c_str(),
                request.vsDestPort, device.c_str(), request.puPort, request.puChannel);
  return url;
}

}  // namespace

CKVRRTSPCommMdl::CKVRRTSPCommMdl() : CKVRSourceMdl() { GetRuntimeInfo()->SetName(kTypeName); }

CKVRRTSPCommMdl::~CKVRRTSPCommMdl() {
  RequestClose();
  {
    platform::MutexLock lock(streamMu_);
    while (helpers_ != 0) helpersDone_.wait(streamMu_);
  }
  CloseStream();
}

bool CKVRRTSPCommMdl::RunAside(std::function<void()> task) {
  ++helpers_;
  try {
    std::thread([this, task = std::move(task)] {
      task();
      // The last touch of the module: the destructor may run once this
      // lock is released.
      platform::MutexLock lock(streamMu_);
      if (--helpers_ == 0) helpersDone_.notify_all();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    --helpers_;
    return false;
  }
}

bool CKVRRTSPCommMdl::SetupRemoteStreams() {
  static const bool ready = [] {
    CRemoteStreamLib& lib = CRemoteStreamLib::Instance();
    if (!lib.Initialize(0, 5)) return false;
    lib.RegisterDisconnectCallback(&CKVRRTSPCommMdl::OnStreamDisconnect, 0);
    return true;
  }();
  return ready;
}

int CKVRRTSPCommMdl::Destroy() {
  delete this;
  return 0;
}

int CKVRRTSPCommMdl::OnMessage(const SvrFrame::MessageRef& message) {
  SvrFrame::CInnerProtocolStack* unit = message.get();
  if (unit == nullptr || unit->GetMessageKind() != SvrFrame::kRequestMessage) return 0;
  if (auto* request = UnitAs<CRecordMedia>(unit)) {
    StartPull(*request);
  } else if (auto* control = UnitAs<CRecordMediaControl>(unit)) {
    // Pause and resume keep the connection (a reconnect would lose the
    // stream's start) but hold the stream back, so that the resumed part of
    // the file opens with a key frame rather than mid-picture-group.
    if (control->ctrlInfo == CKVRIOCommMdl::kStateStopped) {
      RequestClose();
    } else if (control->ctrlInfo == CKVRIOCommMdl::kStatePaused ||
               control->ctrlInfo == CKVRIOCommMdl::kStateResumed) {
      CRemoteStreamLib::Instance().HoldBack(stream_.load(),
                                            control->ctrlInfo == CKVRIOCommMdl::kStatePaused);
    }
  }
  return 0;
}

int CKVRRTSPCommMdl::StartPull(const CRecordMedia& request) {
  // A repeated start must neither open a second stream nor fail the record
  // that the first one feeds; a stopped stream is not reopened either.
  if (started_.exchange(true)) return 0;
  if (!TakeRecordUrl(request)) return 0;
  const std::string recordUrl = GetRecordUrl();
  std::string readUrl(FieldText(request.readFileUrl));
  if (readUrl.empty()) readUrl = DeviceUrl(request);
  TakeStartTexts(readUrl, request.GetCommOrigin());

  platform::MutexLock lock(streamMu_);
  if (closeAsked_) return 0;
  if (RunAside([this, readUrl, recordUrl] { OpenStream(readUrl, recordUrl); })) return 1;
  // No thread to open on: the record fails as an unopenable camera's does.
  platform::DebugPrintf("KVR: no thread to open %s", recordUrl.c_str());
  kvr::media::SendFailRecord(this, GetWriterName(), recordUrl);
  kvr::media::SendStartAck(this, GetRequester(), recordUrl);
  return 0;
}

void CKVRRTSPCommMdl::OpenStream(const std::string& readUrl, const std::string& recordUrl) {
  // Set up here rather than at service start so that a lost stream of the
  // very first record already raises its event.
  SetupRemoteStreams();
  uint32_t stream = 0;
  if (!readUrl.empty()) {
    stream = CRemoteStreamLib::Instance().OpenStream(readUrl.c_str(), &OnStreamData, this);
  }
  bool lostEarly = false;
  bool closeNow = false;
  {
    platform::MutexLock open(streamMu_);
    EarlyLosses& losses = Losses();
    platform::MutexLock lock(losses.mu);
    closeNow = closeAsked_;
    if (!closeNow) stream_.store(stream);
    lostEarly = stream != 0 && losses.handles.erase(stream) != 0;
  }
  if (closeNow) {
    // Stopped while the camera was still being opened.
    if (stream != 0) CRemoteStreamLib::Instance().CloseStream(stream);
    kvr::media::SendStartAck(this, GetRequester(), recordUrl);
    return;
  }
  if (stream == 0) {
    kvr::media::SendFailRecord(this, GetWriterName(), recordUrl);
    kvr::media::SendStartAck(this, GetRequester(), recordUrl);
    return;
  }
  // The start reply carries result 5 whether or not the stream opened: the
  // requester learns of a failure from the record's state, not from here.
  kvr::media::SendStartAck(this, GetRequester(), recordUrl);
  if (lostEarly) OnStreamLost();
}

void CKVRRTSPCommMdl::RequestClose() {
  platform::MutexLock lock(streamMu_);
  if (closeAsked_) return;
  closeAsked_ = true;
  const uint32_t stream = stream_.exchange(0);
  if (stream == 0) return;
  // Closing joins the stream's reader: never on a thread that records share.
  const bool aside = RunAside([stream] {
    CRemoteStreamLib::Instance().CloseStream(stream);
    EarlyLosses& losses = Losses();
    platform::MutexLock parked(losses.mu);
    losses.handles.erase(stream);
  });
  // No thread to close on: the destructor closes it instead.
  if (!aside) stream_.store(stream);
}

void CKVRRTSPCommMdl::CloseStream() {
  platform::MutexLock lock(streamMu_);
  const uint32_t stream = stream_.exchange(0);
  if (stream == 0) return;
  CRemoteStreamLib::Instance().CloseStream(stream);
  // A loss parked for this handle must not be claimed by a later stream that
  // is given the same number.
  EarlyLosses& losses = Losses();
  platform::MutexLock parked(losses.mu);
  losses.handles.erase(stream);
}

int CKVRRTSPCommMdl::OnStreamData(uint32_t stream, const uint8_t* data, uint32_t size, void* user) {
  (void)stream;
  if (data == nullptr || size == 0 || user == nullptr || size > INT32_MAX) return 0;
  auto* self = static_cast<CKVRRTSPCommMdl*>(user);
  const std::string writer = self->GetWriterName();
  if (writer.empty()) return 0;
  CQwMediaData* unit = CQwMediaData::Create(reinterpret_cast<const char*>(data),
                                            static_cast<int>(size), CQwMediaData::kKindStream);
  if (unit == nullptr) return 0;
  SvrFrame::MessageRef ref(unit);
  unit->AddReplyTo(CSecureString(writer.c_str()));
  unit->SetRefusalTally(self->GetRefusalTally());
  // A full queue refuses the unit; the framework counts it for the record.
  self->Send(ref, 0, SvrFrame::kDataClass);
  return 0;
}

void CKVRRTSPCommMdl::OnStreamDisconnect(uint32_t stream, uint32_t, uint32_t) {
  CKVRRTSPCommMdl* source = nullptr;
  {
    EarlyLosses& losses = Losses();
    platform::MutexLock lock(losses.mu);
    kvr::media::IRecordDirectory* directory = kvr::media::GetRecordDirectory();
    if (directory != nullptr) source = directory->FindRtspSourceByStream(stream);
    if (source == nullptr) {
      losses.handles.insert(stream);
      return;
    }
  }
  source->OnStreamLost();
}

void CKVRRTSPCommMdl::OnStreamLost() {
  kvr::media::IRecordDirectory* directory = kvr::media::GetRecordDirectory();
  const std::string recordUrl = GetRecordUrl();
  if (directory == nullptr || !directory->HasTask(recordUrl.c_str())) return;
  const std::string writer = GetWriterName();
  kvr::media::SendRecordEvent(this, writer, recordUrl, CKVRIOCommMdl::kEventStreamLost);
  kvr::media::SendFailRecord(this, writer, recordUrl);
  platform::DebugOutput(" DisConnect!\n");
}
