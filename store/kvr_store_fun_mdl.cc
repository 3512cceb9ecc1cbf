#include "store/kvr_store_fun_mdl.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/file_channel.h"
#include "media/record_path.h"
#include "platform/file.h"
#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
#include "protocol/message/zeta_text.h"
#include "store/kvr_data.h"
#include "store/record_name.h"
#include "svrframe/text_field.h"

namespace {

using kvr::pdu::ConvertTime;
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultSuccess;
using kvr::pdu::RecordStatusEntry;
using kvr::pdu::TimeRecord;
using kvr::pdu::UnitAs;

RecordStatusEntry ToStatusEntry(const RECORD_STATUS_INFO& info) {
  RecordStatusEntry entry;
  kvr::CopyField(entry.recordFileUrl, info.recordFileUrl);
  entry.beginTime = ConvertTime<TimeRecord>(info.beginTime);
  entry.finalTime = ConvertTime<TimeRecord>(info.finalTime);
  entry.recordSize = info.recordSize;
  entry.recordType = info.recordType;
  entry.totalTime = info.totalTime;
  entry.limitSize = info.limitSize;
  entry.limitTime = info.limitTime;
  entry.status = info.status;
  return entry;
}

}  // namespace

CKVRStoreFunMdl::CKVRStoreFunMdl(CKVRData* data) : CSvrFunMdl(true), data_(data) {
  GetRuntimeInfo()->SetName(kName);
}

CKVRStoreFunMdl::~CKVRStoreFunMdl() {
  stop_.store(true);
  wake_.Notify();
  WaitWorkerEnded();
}

void CKVRStoreFunMdl::SetRunning(bool running) {
  running_.store(running);
  wake_.Notify();
}

int CKVRStoreFunMdl::Loop() {
  while (!stop_.load()) {
    HonourSuspend();
    if (!running_.load()) {
      wake_.Wait(1000);
      continue;
    }
    // Until the TCP server is wired in there is nothing to poll: an idle pass.
    kvr::store::IKVRServicePoller* poller = poller_.load();
    if (poller == nullptr || poller->Poll() == 1) wake_.Wait(15);
  }
  return 0;
}

int CKVRStoreFunMdl::OnMessage(const SvrFrame::MessageRef& message) {
  if (!message) return 0;
  switch (message->GetMessageKind()) {
    case SvrFrame::kRequestMessage:
      DispatchRequest(message);
      break;
    case SvrFrame::kMediaDataMessage:
      // The framework routes media here; its reply-to list names the writer.
      Send(message, 0, SvrFrame::kDataClass);
      break;
    default:
      break;
  }
  return 0;
}

int CKVRStoreFunMdl::DispatchRequest(const SvrFrame::MessageRef& message) {
  SvrFrame::CInnerProtocolStack* unit = message.get();
  if (auto* u = UnitAs<CGetKVRCngParams>(unit)) return HandleStoreConfig(u);
  if (auto* u = UnitAs<CSetKVRCngParams>(unit)) return HandleStoreConfig(u);
  if (auto* u = UnitAs<CRecordMedia>(unit)) return HandleRecRealMedia(u);
  if (auto* u = UnitAs<CRecordMediaControl>(unit)) return HandleRecRealMediaControl(u);
  if (auto* u = UnitAs<CDelRecordMedia>(unit)) return HandleDeleteRecRealMedia(u);
  if (auto* u = UnitAs<CQueryRecordStatus>(unit)) return HandleQueryRecStatus(u);
  if (auto* u = UnitAs<CRegister>(unit)) return HandleRegister(u);
  if (auto* u = UnitAs<CKeepAlive>(unit)) return HandleKeepAlive(u);
  if (auto* u = UnitAs<CRecordEvent>(unit)) return HandleRecordEvent(u);
  return 0;
}

void CKVRStoreFunMdl::SendReply(IZETAPDU* reply, const IZETAPDU* request,
                                const CSecureString& requester, int messageClass) {
  const std::string sequence = request->GetSequence();
  if (!sequence.empty()) reply->SetSequence(sequence.c_str());
  // A client matches replies to its session as well as to the sequence.
  const std::string session = request->GetSession();
  if (!session.empty()) reply->SetSession(session.c_str());
  reply->AddReplyTo(requester);
  Send(SvrFrame::MessageRef(reply), 0, messageClass);
}

// ---- Record files

int CKVRStoreFunMdl::ScanVolumes(const char* url, std::string* found, std::string* foundRoot) {
  STORE_CONFIG_INFO config;
  data_->CopyConfig(&config);
  for (const STORE_VOLUME_INFO& volume : config.volumes) {
    const int code = kvr::store::CheckRecordFileName(url);
    if (code != 0) return code;
    if (!kvr::store::StaysInsideVolume(url)) return kOutsideVolume;
    if (!kvr::store::HasNoControlCharacter(url)) return kControlCharacter;
    std::string path;
    // The proactor opens files by names shorter than the record path field: a
    // path between the two would be accepted and then never opened.
    if (!kvr::media::MakeRecordPath(volume.volumePath, url, &path) ||
        path.size() >= CFileChannel::kMaxFileName) {
      return kPathTooLong;
    }
    if (platform::PathExists(path)) {
      if (found != nullptr) *found = path;
      if (foundRoot != nullptr) kvr::media::MakeRecordPath(volume.volumePath, "", foundRoot);
      return -1;
    }
  }
  return 0;
}

int CKVRStoreFunMdl::RecordFileExists(const char* url) {
  return ScanVolumes(url, nullptr, nullptr);
}

int CKVRStoreFunMdl::FindRecordFile(const char* url, std::string* path, std::string* root) {
  std::string found, foundRoot;
  const int result = ScanVolumes(url, &found, &foundRoot);
  if (path != nullptr) *path = result == -1 ? found : std::string();
  if (root != nullptr) *root = result == -1 ? foundRoot : std::string();
  return result == -1 && !found.empty() ? 0 : -1;
}

int CKVRStoreFunMdl::HandleDeleteRecRealMedia(CDelRecordMedia* request) {
  const char* url = request->recordFileUrl;
  CReferPtr<CDelRecordMediaAck> reply(CDelRecordMediaAck::Create(kResultSuccess));
  int status = 0;
  std::string path, root;
  if (data_->FindTask(url) != nullptr) {
    status = kTaskExists;
  } else if (FindRecordFile(url, &path, &root) != 0) {
    status = kNoRecordFile;
  } else if (path.compare(0, root.size(), root) != 0 ||
             platform::RemoveFileBeneath(root, path.substr(root.size())) != 0) {
    // A link on the way out of the volume is refused, not followed.
    status = kDeleteFailed;
  }
  if (status != 0) reply->SetResult(kResultCodeFail);
  SendReply(reply.get(), request, request->GetCommOrigin(), SvrFrame::kControlDataClass);
  return status;
}

// ---- Status

int CKVRStoreFunMdl::QueryRecordStatus(const char* name, RECORD_STATUS_INFO** records,
                                       uint32_t* count) {
  return data_->QueryRecordStatus(name, records, count);
}

int CKVRStoreFunMdl::HandleQueryRecStatus(CQueryRecordStatus* request) {
  // A name that fills its field matches no record: every record's key fits with its NUL.
  const std::string name(kvr::FieldText(request->recordFileUrl));
  std::vector<RECORD_STATUS_INFO> entries;
  const int status = data_->QueryRecordStatus(name.c_str(), &entries);
  const CSecureString& requester = request->GetCommOrigin();
  if (entries.empty()) {
    CReferPtr<CQueryRecordStatusAck> reply(CQueryRecordStatusAck::Create(kResultCodeFail));
    reply->morePacket = 1;
    SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
    return status;
  }
  CReferPtr<CQueryRecordStatusAck> reply;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i % kStatusPerReply == 0) {
      reply = CQueryRecordStatusAck::Create(kResultSuccess);
      reply->morePacket = 1;
    }
    RecordStatusEntry entry = ToStatusEntry(entries[i]);
    const uint64_t refused = data_->GetRefusedMessages(entries[i].recordFileUrl);
    entry.refusedMessages = static_cast<uint32_t>(std::min<uint64_t>(refused, UINT32_MAX));
    reply->AddStatus(entry);
    const bool last = i + 1 == entries.size();
    if (last || (i + 1) % kStatusPerReply == 0) {
      reply->morePacket = last ? 0 : 1;
      SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
    }
  }
  return status;
}

// ---- Configuration

int CKVRStoreFunMdl::HandleStoreConfig(CSetKVRCngParams* request) {
  const int status = data_->SetConfig(request);
  data_->RefreshVolumeSpace();
  const CSecureString& requester = request->GetCommOrigin();
  if (requester.IsEmpty()) return status;
  CReferPtr<CSetKVRCngParamsAck> reply(
      CSetKVRCngParamsAck::Create(status == 0 ? kResultSuccess : kResultCodeFail));
  SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
  return status;
}

int CKVRStoreFunMdl::HandleStoreConfig(CGetKVRCngParams* request) {
  CReferPtr<CGetKVRCngParamsAck> reply(CGetKVRCngParamsAck::Create(kResultSuccess));
  data_->GetConfig(reply.get(), request->cngType);
  const CSecureString& requester = request->GetCommOrigin();
  if (!requester.IsEmpty()) SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
  return 0;
}

int CKVRStoreFunMdl::RefreshVolumeSpace(STORE_CONFIG_INFO* config) {
  data_->RefreshVolumeSpace();
  if (config != nullptr) data_->CopyConfig(config);
  return 0;
}

// ---- Session

int CKVRStoreFunMdl::HandleRegister(CRegister* request) {
  CReferPtr<CRegisterAck> reply(CRegisterAck::Create(kResultSuccess));
  if (data_->CheckUser(request->cuName, request->cuPassword) == -1) {
    reply->SetResult(kResultCodeFail);
  }
  // A client keeps its connection whether or not it was let in.
  reply->enableLongConnection = 1;
  reply->SetCommOrigin(GetRuntimeInfo()->GetSharedName());
  SendReply(reply.get(), request, request->GetCommOrigin(), SvrFrame::kControlDataClass);
  return 0;
}

int CKVRStoreFunMdl::HandleKeepAlive(CKeepAlive* request) {
  CReferPtr<CKeepAliveAck> reply(CKeepAliveAck::Create(kResultSuccess));
  reply->SetCommOrigin(GetRuntimeInfo()->GetSharedName());
  SendReply(reply.get(), request, request->GetCommOrigin(), SvrFrame::kControlDataClass);
  return 0;
}

// ---- Record events

int CKVRStoreFunMdl::HandleRecordEvent(CRecordEvent* event) {
  data_->NotifyRecordEvent(event->recordFileUrl, event->recordEvent);
  // The writer addressed the event to the record's requester; it goes on there.
  Send(SvrFrame::MessageRef(event), 0, SvrFrame::kControlDataClass);
  return 0;
}
