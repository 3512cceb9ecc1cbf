#include "api/kvr_svr_manage.h"

#include <memory>
#include <string>
#include <vector>

#include "io/proactor.h"
#include "platform/debug_log.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/kvr_cmd_deal_mdl.h"
#include "svrframe/referable.h"
#include "svrframe/text_field.h"

namespace kvr::api {

#ifndef KVR_ROUTING_DIR
#define KVR_ROUTING_DIR "/usr/local/share/kvr"
#endif

CKVRSvrManage* CKVRSvrManage::GetInstance() {
  // Never deleted: the framework's threads may still run at process exit.
  static CKVRSvrManage* const instance = new CKVRSvrManage();
  return instance;
}

CKVRSvrManage::CKVRSvrManage() = default;

std::string CKVRSvrManage::ResolveRoutingFile(const std::string& name) {
  if (name.empty() || name.front() == '/' || platform::PathExists(name)) return name;
  const std::string installed = std::string(KVR_ROUTING_DIR) + "/" + name;
  return platform::PathExists(installed) ? installed : name;
}

int CKVRSvrManage::Init() {
  if (cmdDeal_.load() == nullptr) {
    auto* cmdDeal = new CKVRCmdDealMdl(true);
    if (cmdDeal->Init(CSecureString(ResolveRoutingFile(kRoutingFile).c_str())) != 0) {
      // Its threads already run; a fresh module is made by the next start.
      cmdDeal->Destroy();
      return kRoutingNotLoaded;
    }
    if (!RegisterCmdDealModule(cmdDeal)) {
      cmdDeal->Destroy();
      return kCmdDealRefused;
    }
    cmdDeal_.store(cmdDeal);
    data_.SetCmdDealModule(cmdDeal);
    tcp_.SetCmdDealModule(cmdDeal);
  }
  auto* funMdl = new CKVRStoreFunMdl(&data_);
  funMdl->SetPoller(&poller_);
  funMdl->Init("");
  if (!cmdDeal_.load()->RegisterFunModule(funMdl)) {
    delete funMdl;
    return kFunModuleRefused;
  }
  // A Clean while started leaves the port open: the new worker takes over polling it.
  if (started_.load()) funMdl->SetRunning(true);
  funMdl_.store(funMdl);
  initialised_ = true;
  return 0;
}

int CKVRSvrManage::Start() {
  if (!initialised_) {
    const int result = Init();
    if (result != 0) return result;
  }
  if (started_.load()) return kAlreadyStarted;
  platform::RaiseOpenFileLimit();
  // The access settings are read at every start, so a host that changed the
  // routing file between a stop and a start gets the new ones.
  auto access = std::make_shared<SvrFrame::CAccessSettings>();
  std::string error;
  if (!SvrFrame::LoadAccessSettings(ResolveRoutingFile(kRoutingFile), access.get(), &error)) {
    platform::DebugPrintf("KVR: access settings refused: %s", error.c_str());
    return kAccessRefused;
  }
  data_.SetAccess(access);
  const std::string outside = data_.FirstVolumeOutsideRoots();
  if (!outside.empty()) {
    platform::DebugPrintf("KVR: volume %s lies outside every volume root", outside.c_str());
    return kAccessRefused;
  }
  tcp_.SetAccess(access);
  tcp_.Counters().SetSource([this](std::string* text) { AppendRecordLosses(text); });
  if (access->Restricts()) {
    platform::AuditPrintf(
        "access: listen %s, %s, remote configuration %s, %zu volume root(s), at most %d "
        "connections, idle time-out %d s, %d replies queued",
        access->ListenText().c_str(),
        access->registeredOnly ? "registered sessions only" : "every connection obeyed",
        access->remoteConfiguration ? "on" : "off", access->volumeRoots.size(),
        access->maxConnections, access->idleTimeoutSec, access->maxQueuedReplies);
  }
  // Listening before the worker is told to poll keeps the listen socket the
  // polling thread's alone once polling starts.
  if (tcp_.ListenOn(access->listen, data_.GetListenPort()) < 1) {
    platform::DebugPrintf("KVR: cannot listen on port %u of %s", data_.GetListenPort(),
                          access->ListenText().c_str());
    return kListenFailed;
  }
  funMdl_.load()->SetRunning(true);
  started_.store(true);
  return 0;
}

int CKVRSvrManage::ControlRecord(const char* recordFileUrl, int ctrlInfo) {
  CKVRStoreFunMdl* funMdl = funMdl_.load();
  if (!started_.load() || funMdl == nullptr) return -1;
  CReferPtr<CRecordMediaControl> request(CRecordMediaControl::Create());
  if (!kvr::CopyField(request->recordFileUrl, recordFileUrl)) return -1;
  request->ctrlInfo = ctrlInfo;
  const int status = funMdl->HandleRecRealMediaControl(request.get());
  if (status != 0 || (ctrlInfo != 0 && ctrlInfo != kControlStop)) return status;
  constexpr uint32_t kPollMs = 1;
  for (uint32_t waited = 0; data_.FindTask(recordFileUrl) != nullptr && waited < kStopTakenWaitMs;
       waited += kPollMs) {
    platform::SleepMs(kPollMs);
  }
  return status;
}

int CKVRSvrManage::Stop() {
  if (!started_.load()) return 0;
  std::vector<RECORD_STATUS_INFO> records;
  const int queried = data_.QueryRecordStatus("*", &records);
  if (queried != 0) return queried;
  for (const RECORD_STATUS_INFO& record : records) {
    ControlRecord(record.recordFileUrl, kControlStop);
  }
  const int closed = tcp_.Stop();
  if (CKVRStoreFunMdl* funMdl = funMdl_.load()) funMdl->SetRunning(false);
  platform::SleepMs(kStopSettleMs);
  WaitForRecordFiles();
  if (closed < 0) return -1;
  started_.store(false);
  return 0;
}

void CKVRSvrManage::AppendRecordLosses(std::string* text) {
  const std::vector<CKVRData::RecordLosses> records = data_.GetRecordLosses();
  kvr::tcp::MetricFamily(text, "kvr_record_dropped_payloads_total", "counter",
                         "Payloads of a record that never reached its file, by cause.");
  for (const CKVRData::RecordLosses& r : records) {
    const std::string record = "record=\"" + kvr::tcp::LabelValue(r.url) + "\",cause=\"";
    kvr::tcp::MetricSample(text, "kvr_record_dropped_payloads_total", record + "queue_full\"",
                           r.refusedMessages);
    kvr::tcp::MetricSample(text, "kvr_record_dropped_payloads_total", record + "file_opening\"",
                           r.whileOpening);
    kvr::tcp::MetricSample(text, "kvr_record_dropped_payloads_total", record + "disk_behind\"",
                           r.diskBehind);
  }
  kvr::tcp::MetricFamily(
      text, "kvr_record_dropped_bytes_total", "counter",
      "Bytes of the payloads dropped while a file opened or its disk was behind.");
  for (const CKVRData::RecordLosses& r : records) {
    kvr::tcp::MetricSample(text, "kvr_record_dropped_bytes_total",
                           "record=\"" + kvr::tcp::LabelValue(r.url) + "\"", r.droppedBytes);
  }
}

void CKVRSvrManage::WaitForRecordFiles() {
  // A stopped record's channel leaves the file runtime only after its last
  // queued block is on disk and the file is closed.
  CProactor* proactor = data_.GetProactor();
  if (proactor == nullptr) return;
  constexpr uint32_t kPollMs = 10;
  for (uint32_t waited = 0; (proactor->GetChannelCount() > 0 || proactor->GetJobsInFlight() > 0) &&
                            waited < kFileCloseWaitMs;
       waited += kPollMs) {
    platform::SleepMs(kPollMs);
  }
}

int CKVRSvrManage::Clean() {
  // From the record event callback the calling thread is inside the module
  // that Clean would delete; while started, the module still runs the
  // records that Stop must stop. Either way nothing is done.
  if (CKVRData::InsideHostCallback() || started_.load()) {
    platform::DebugPrintf("KVR: clean refused: %s",
                          started_.load() ? "the service runs" : "inside a record event");
    return -1;
  }
  CKVRStoreFunMdl* funMdl = funMdl_.exchange(nullptr);
  if (funMdl != nullptr) {
    // From a host thread the removal waits until no delivery thread is inside
    // the module, so it may be deleted right after.
    cmdDeal_.load()->RemoveFunModule(funMdl, false);
    delete funMdl;
  }
  initialised_ = false;
  return 0;
}

}  // namespace kvr::api
