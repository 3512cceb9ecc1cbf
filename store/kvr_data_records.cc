// The parts of the storage data that read the record modules themselves.
#include "media/kvr_io_comm_mdl.h"
#include "media/kvr_rtsp_comm_mdl.h"
#include "protocol/message/zeta_text.h"
#include "store/kvr_data.h"
#include "svrframe/text_field.h"

namespace {
using kvr::pdu::ConvertTime;
}  // namespace

int CKVRData::AddTask(const char* url, CKVRIOCommMdl* writer) {
  if (writer == nullptr) return -1;
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  if (GetCmdDealModule() == nullptr) return -1;
  writer->SetRecordUrl(url);
  tasks_[CSecureString(url)] = writer;
  IncreaseUseCount(writer->GetVolumeRoot().c_str());
  ++taskCount_;
  return 0;
}

int CKVRData::RemoveTask(const char* url) {
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  auto it = tasks_.find(CSecureString(url));
  if (it == tasks_.end()) return -1;
  DecreaseUseCount(it->second->GetVolumeRoot().c_str());
  tasks_.erase(it);
  --taskCount_;
  return 0;
}

uint64_t CKVRData::GetRefusedMessages(const char* url) {
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  auto it = tasks_.find(CSecureString(url));
  return it != tasks_.end() ? it->second->GetRefusedMessages() : 0;
}

std::vector<CKVRData::RecordLosses> CKVRData::GetRecordLosses() {
  std::vector<RecordLosses> out;
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  out.reserve(tasks_.size());
  for (const auto& [url, writer] : tasks_) {
    RecordLosses losses;
    losses.url = url.c_str();
    losses.refusedMessages = writer->GetRefusedMessages();
    losses.whileOpening = writer->GetDroppedWhileOpening();
    // Read after its part, so that a drop between the two reads never shows
    // as a negative count.
    losses.diskBehind = writer->GetDroppedPayloads() - losses.whileOpening;
    losses.droppedBytes = writer->GetDroppedBytes();
    out.push_back(std::move(losses));
  }
  return out;
}

void CKVRData::FillStatus(CKVRIOCommMdl* writer, RECORD_STATUS_INFO* entry) {
  kvr::CopyField(entry->recordFileUrl, writer->GetRecordUrl());
  entry->beginTime = ConvertTime<RECORD_TIME>(writer->GetStartTime());
  entry->finalTime = ConvertTime<RECORD_TIME>(writer->GetEndTime());
  entry->recordSize = static_cast<int32_t>(writer->GetRecordSizeMB());
  entry->recordType = writer->GetSourceType();
  entry->totalTime = 0;
  entry->limitSize = static_cast<int32_t>(writer->GetSizeLimit() >> 20);
  entry->limitTime = static_cast<int32_t>(writer->GetTimeLimitMs() / 1000);
  entry->status = writer->GetState();
}

CKVRRTSPCommMdl* CKVRData::FindRtspSourceByHandle(uint32_t handle) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  for (const auto& [url, source] : rtspSources_) {
    if (source->GetStreamHandle() == handle) return source;
  }
  return nullptr;
}

bool CKVRData::RemoveRtspSourceByHandle(uint32_t handle) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  for (auto it = rtspSources_.begin(); it != rtspSources_.end(); ++it) {
    if (it->second->GetStreamHandle() == handle) {
      rtspSources_.erase(it);
      break;
    }
  }
  return true;
}
