// The life cycle of record tasks: the start that makes a record's writer and
// source, and the control that forwards pause / resume / stop and tears the
// task down.
#include <cstdio>
#include <cstring>
#include <string>

#include "media/kvr_dvcon_comm_mdl.h"
#include "media/kvr_io_comm_mdl.h"
#include "media/kvr_rtsp_comm_mdl.h"
#include "media/record_path.h"
#include "protocol/message/store_pdus.h"
#include "store/kvr_data.h"
#include "store/kvr_store_fun_mdl.h"
#include "svrframe/cmd_deal_module.h"
#include "svrframe/text_field.h"

namespace {

using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultSuccess;

// Makes the source, registers it and enters it in its table; null when any
// step fails (an unregistered source is released again).
template <class Source, class Enter>
Source* MakeSource(SvrFrame::ICmdDealModule* cmd, const char* url, Enter enter) {
  auto* source = new Source();
  source->SetRecordUrl(url);
  if (!cmd->RegisterCommModule(source, 0)) {
    source->Destroy();
    return nullptr;
  }
  return enter(source) ? source : nullptr;
}

}  // namespace

int CKVRStoreFunMdl::HandleRecRealMedia(CRecordMedia* request) {
  QWTools::CReadWriteMutexLock lock(&startLock_);
  CSecureString requester = request->GetCommOrigin();
  if (requester.IsEmpty()) requester = kLocalRequester;
  // The reply names no volume, whichever was chosen.
  CReferPtr<CRecordMediaAck> reply(CRecordMediaAck::Create(kResultSuccess));
  auto refuse = [&](int status) {
    reply->SetResult(kResultCodeFail);
    SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
    return status;
  };

  const CSecureString url(
      request->writeFileUrl[0] != '\0' ? request->writeFileUrl : CKVRIOCommMdl::kDefaultRecordUrl,
      sizeof(request->writeFileUrl) - 1);
  if (data_->IsTaskTableFull()) return refuse(kTaskTableFull);
  if (RecordFileExists(url.c_str()) != 0) return refuse(kBadFileName);
  if (data_->FindTask(url.c_str()) != nullptr) return refuse(kTaskExists);

  STORE_VOLUME_INFO volume;
  kvr::CopyField(volume.volumeName, request->volumn);
  if (data_->SelectVolume(&volume) != 0) return refuse(kNoVolume);
  // Every volume's path was checked above; this one fits.
  std::string filePath;
  if (!kvr::media::MakeRecordPath(volume.volumePath, url.c_str(), &filePath))
    return refuse(kBadFileName);

  SvrFrame::ICmdDealModule* cmd = data_->GetCmdDealModule();
  if (cmd == nullptr) return refuse(kNotRegistered);
  auto* writer = new CKVRIOCommMdl();
  writer->SetVolumeRoot(volume.volumePath);
  writer->SetReservedBytes(volume.reservedBytes);
  writer->SetVolumeSpace(volume.totalBytes, volume.freeBytes);
  writer->SetProactor(data_->GetProactor());
  writer->SetFilePath(filePath.c_str());
  writer->SetClosed(false);
  writer->SetRequester(requester.c_str());
  if (!cmd->RegisterCommModule(writer, 0)) {
    writer->Destroy();
    return refuse(kNotRegistered);
  }
  data_->AddTask(url.c_str(), writer);
  const CSecureString writerName = writer->GetRuntimeInfo()->Name();

  // A source that cannot be set up leaves the writer without media; the task
  // still ends with the next stop.
  char readUrl[512];
  std::snprintf(readUrl, sizeof(readUrl), "%s", request->readFileUrl);
  CKVRDvConCommMdl* pushed = nullptr;
  SvrFrame::IModule* source = nullptr;
  if (std::strstr(readUrl, "DvCon") != nullptr) {
    pushed = MakeSource<CKVRDvConCommMdl>(cmd, url.c_str(), [&](CKVRDvConCommMdl* s) {
      return data_->SetPushSource(url.c_str(), s);
    });
    if (pushed != nullptr) {
      pushed->SetRefusalTally(writer->GetRefusalTally());
      pushed->SetRequester(requester.c_str());
      pushed->SetWriterName(writerName.c_str());
      source = pushed;
    }
  } else {
    auto* pulled = MakeSource<CKVRRTSPCommMdl>(
        cmd, url.c_str(), [&](CKVRRTSPCommMdl* s) { return data_->SetRtspSource(url.c_str(), s); });
    if (pulled != nullptr) {
      pulled->SetRefusalTally(writer->GetRefusalTally());
      pulled->SetRequester(requester.c_str());
      pulled->SetWriterName(writerName.c_str());
      source = pulled;
    }
  }
  // The task leaves once its writer has taken the stop that ends it, so the
  // stop finds every byte sent before it and the file closed behind it.
  const std::string taskUrl = url.c_str();
  writer->SetTeardown([data = data_, cmd, writer, taskUrl] {
    if (CKVRRTSPCommMdl* s = data->FindRtspSource(taskUrl.c_str());
        s != nullptr && data->RemoveRtspSource(taskUrl.c_str())) {
      cmd->RemoveCommModule(s, true);
    }
    if (CKVRDvConCommMdl* s = data->FindPushSource(taskUrl.c_str());
        s != nullptr && data->RemovePushSource(taskUrl.c_str())) {
      cmd->RemoveCommModule(s, true);
    }
    if (data->RemoveTask(taskUrl.c_str()) == 0) cmd->RemoveCommModule(writer, true);
  });
  if (source != nullptr) {
    writer->SetSourceName(source->GetRuntimeInfo()->Name().c_str());
    request->AddReplyTo(source->GetRuntimeInfo()->Name());
  }

  request->AddReplyTo(writerName);
  request->SetCommOrigin(requester);
  cmd->RelayBehindData(SvrFrame::MessageRef(request));

  if (pushed != nullptr) {
    char recordPath[kvr::media::kRecordPathWidth];
    std::snprintf(recordPath, sizeof(recordPath), "%s", writer->GetFilePath().c_str());
    data_->NotifyDvConMsg(1, readUrl, recordPath, pushed->GetHandle());
  }
  SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
  return 0;
}

int CKVRStoreFunMdl::HandleRecRealMediaControl(CRecordMediaControl* request) {
  const CSecureString requester = request->GetCommOrigin();
  const CSecureString url(request->recordFileUrl, sizeof(request->recordFileUrl) - 1);
  CReferPtr<CRecordMediaControlAck> reply(CRecordMediaControlAck::Create(kResultSuccess));
  std::snprintf(reply->recordFileUrl, sizeof(reply->recordFileUrl), "%s", url.c_str());

  // A start in progress enters the task before its source: a control that
  // came in between would miss the source and leave its stream running.
  { QWTools::CReadWriteMutexLock startDone(&startLock_); }
  CKVRIOCommMdl* writer = data_->FindTask(url.c_str());
  CKVRRTSPCommMdl* pulled = data_->FindRtspSource(url.c_str());
  CKVRDvConCommMdl* pushed = data_->FindPushSource(url.c_str());
  SvrFrame::ICmdDealModule* cmd = data_->GetCmdDealModule();
  if (writer == nullptr || cmd == nullptr) {
    reply->SetResult(kResultCodeFail);
    SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
    return kNoTask;
  }
  const bool fromSource = (pulled != nullptr && requester == pulled->GetRuntimeInfo()->Name()) ||
                          (pushed != nullptr && requester == pushed->GetRuntimeInfo()->Name());
  if (fromSource) {
    // A source ending its record by itself (a camera that never opened or was
    // lost): the writer fails the record, which stays listed with state 0
    // until a requester's control 0 or 3 takes it away.
    request->AddReplyTo(writer->GetRuntimeInfo()->Name());
    cmd->RelayBehindData(SvrFrame::MessageRef(request));
    return 0;
  }
  // The sources first: a stop closes the stream on the source's own thread,
  // and the writer's teardown may remove the source right after.
  if (pulled != nullptr) request->AddReplyTo(pulled->GetRuntimeInfo()->Name());
  if (pushed != nullptr) request->AddReplyTo(pushed->GetRuntimeInfo()->Name());
  request->AddReplyTo(writer->GetRuntimeInfo()->Name());
  cmd->RelayBehindData(SvrFrame::MessageRef(request));
  SendReply(reply.get(), request, requester, SvrFrame::kControlDataClass);
  return 0;
}
