#include "media/kvr_dvcon_comm_mdl.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "media/source_units.h"
#include "platform/mutex.h"
#include "protocol/message/media_pdu.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/text_field.h"

namespace {

using kvr::pdu::UnitAs;

using kvr::FieldText;

// Live sources by handle. A push marks its source busy for the duration of
// the send; a source leaving the table waits until no push is busy with it.
struct SourceEntry {
  CKVRDvConCommMdl* source = nullptr;
  int busy = 0;
};

struct HandleTable {
  platform::Mutex mu;
  std::condition_variable_any idle;
  std::unordered_map<uint32_t, SourceEntry> sources GUARDED_BY(mu);
  uint32_t next GUARDED_BY(mu) = 1;
};

// Hosts may push from their own threads while the process exits: the table
// is never destroyed.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

CKVRDvConCommMdl::CKVRDvConCommMdl() : kvr::media::CKVRSourceMdl() {
  GetRuntimeInfo()->SetName(kTypeName);
  HandleTable& table = Table();
  platform::MutexLock lock(table.mu);
  // 0 names no source and 0xFFFFFFFF is an error value to many hosts; a
  // wrapped counter steps over handles still in use.
  uint32_t handle = table.next;
  while (handle == 0 || handle == UINT32_MAX || table.sources.count(handle) != 0) ++handle;
  table.next = handle + 1;
  table.sources[handle].source = this;
  handle_ = handle;
}

CKVRDvConCommMdl::~CKVRDvConCommMdl() {
  HandleTable& table = Table();
  platform::MutexLock lock(table.mu);
  auto it = table.sources.find(handle_);
  if (it == table.sources.end()) return;
  while (it->second.busy != 0) table.idle.wait(table.mu);
  table.sources.erase(it);
}

int CKVRDvConCommMdl::PushMedia(const void* data, int size, uint32_t handle) {
  if (data == nullptr || size < 1) return -1;
  if (handle == 0) return 0;
  HandleTable& table = Table();
  CKVRDvConCommMdl* source = nullptr;
  {
    platform::MutexLock lock(table.mu);
    auto it = table.sources.find(handle);
    if (it == table.sources.end()) return 0;
    source = it->second.source;
    ++it->second.busy;
  }
  source->Push(data, size);
  platform::MutexLock lock(table.mu);
  // The entry cannot have gone: its source waits for busy to drop to 0.
  if (--table.sources.find(handle)->second.busy == 0) table.idle.notify_all();
  return 0;
}

void CKVRDvConCommMdl::Push(const void* data, int size) {
  const std::string writer = GetWriterName();
  if (writer.empty()) return;
  CQwMediaData* unit =
      CQwMediaData::Create(static_cast<const char*>(data), size, CQwMediaData::kKindStream);
  if (unit == nullptr) return;
  SvrFrame::MessageRef ref(unit);
  unit->AddReplyTo(CSecureString(writer.c_str()));
  unit->SetRefusalTally(GetRefusalTally());
  // A full queue drops the chunk (counted in the record's status): the host
  // is never made to wait.
  Send(ref, 0, SvrFrame::kDataClass);
}

int CKVRDvConCommMdl::Destroy() {
  delete this;
  return 0;
}

int CKVRDvConCommMdl::OnMessage(const SvrFrame::MessageRef& message) {
  SvrFrame::CInnerProtocolStack* unit = message.get();
  if (unit == nullptr || unit->GetMessageKind() != SvrFrame::kRequestMessage) return 0;
  if (auto* request = UnitAs<CRecordMedia>(unit)) StartPush(*request);
  return 0;
}

int CKVRDvConCommMdl::StartPush(const CRecordMedia& request) {
  if (!TakeRecordUrl(request)) return 0;
  TakeStartTexts(std::string(FieldText(request.readFileUrl)), request.GetCommOrigin());
  return 1;
}
