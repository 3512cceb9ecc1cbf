#include "store/kvr_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "io/proactor.h"
#include "media/record_path.h"
#include "platform/debug_log.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "protocol/message/store_pdus.h"
#include "store/drive_discovery.h"
#include "store/record_name.h"

namespace {

using kvr::pdu::StoreVolumeItem;

// Set while this thread runs the host's record event callback: the host may
// not tear down, from there, the module the thread is running in.
thread_local bool t_inHostCallback = false;

bool PathAllowed(const SvrFrame::CAccessSettings* access, const char* path) {
  if (access == nullptr || access->volumeRoots.empty()) return true;
  for (const std::string& root : access->volumeRoots) {
    if (platform::ResolvesBeneath(path, root)) return true;
  }
  return false;
}

// Megabytes of a data unit to bytes: a negative count stays negative, so it
// reads back as a huge unsigned number, as the unit carried it.
uint64_t MegabytesToBytes(int32_t megabytes) {
  return static_cast<uint64_t>(static_cast<int64_t>(megabytes) *
                               static_cast<int64_t>(CKVRData::kBytesPerMegabyte));
}

int32_t BytesToMegabytes(uint64_t bytes) { return static_cast<int32_t>(bytes >> 20); }

template <size_t N>
void CopyText(char (&out)[N], const char* text) {
  std::snprintf(out, N, "%s", text != nullptr ? text : "");
}

bool SameText(const char* a, const char* b) {
  return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

}  // namespace

CKVRData::CKVRData() {
  proactor_ = std::make_unique<CProactor>(kProactorThreads);
  proactor_->SetMonitor(&monitor_);
  proactor_->Start();
  ResetConfig();
  kvr::media::SetRecordDirectory(this);
}

CKVRData::~CKVRData() {
  if (kvr::media::GetRecordDirectory() == this) kvr::media::SetRecordDirectory(nullptr);
  Release();
}

void CKVRData::ResetConfig() {
  if (!uninitialised_) return;
  {
    QWTools::CReadWriteMutexLock lock(&configLock_);
    config_.volumeCount = 0;
    config_.volumes.clear();
    config_.maxRecordNumber = 0;
    config_.recoverMethod = 0;
    config_.reservedSpace = 0;
    config_.reservedvolumeSpace = 0;
    std::copy(std::begin(kVolumeTypeWeights), std::end(kVolumeTypeWeights), weights_);
  }
  SetRecordEventCallBack(nullptr, 0);
  uninitialised_ = false;
}

void CKVRData::Release() {
  if (uninitialised_) return;
  if (proactor_) {
    proactor_->Stop();
    proactor_.reset();
  }
  {
    QWTools::CReadWriteMutexLock lock(&configLock_);
    config_.volumes.clear();
    config_.volumeCount = 0;
  }
  {
    QWTools::CReadWriteMutexLock lock(&taskLock_);
    tasks_.clear();
    taskCount_ = 0;
    lastStatus_.reset();
  }
  {
    QWTools::CReadWriteMutexLock lock(&sourceLock_);
    rtspSources_.clear();
  }
  uninitialised_ = true;
}

// ---- Configuration

int CKVRData::GetConfig(CGetKVRCngParamsAck* reply, int cngType) {
  if (reply == nullptr) return 0;
  QWTools::CReadWriteMutexLock lock(&configLock_);
  reply->cngType = cngType;
  const bool all = cngType == 0;
  if (all || cngType == 2) reply->maxRecordNumber = static_cast<int32_t>(config_.maxRecordNumber);
  if (all || cngType == 4) reply->recoverMethod = static_cast<int32_t>(config_.recoverMethod);
  if (all || cngType == 5) reply->reservedSpace = BytesToMegabytes(config_.reservedSpace);
  if (all || cngType == 6) {
    reply->reservedvolumeSpace = BytesToMegabytes(config_.reservedvolumeSpace);
  }
  if (all || cngType == 3) {
    for (const STORE_VOLUME_INFO& v : config_.volumes) {
      reply->AddVolume(v.volumeName, v.volumePath, v.volumeType,
                       static_cast<uint32_t>(v.freeBytes >> 20), v.useCount);
    }
  }
  if (cngType == 1) {
    for (const StoreVolumeItem& drive : kvr::store::DiscoverDrives(platform::ReadStorageMounts())) {
      reply->AddVolume(drive);
    }
  }
  return 0;
}

int CKVRData::SetConfig(CSetKVRCngParams* request) {
  if (request == nullptr) return 0;
  QWTools::CReadWriteMutexLock lock(&configLock_);
  config_.maxRecordNumber = static_cast<uint32_t>(request->maxRecordNumber);
  config_.recoverMethod = static_cast<uint32_t>(request->recoverMethod);
  config_.reservedSpace = MegabytesToBytes(request->reservedSpace);
  config_.reservedvolumeSpace = MegabytesToBytes(request->reservedvolumeSpace);

  bool refused = false;
  StoreVolumeItem member;
  for (bool first = true; request->NextVolume(&member, first) == 0; first = false) {
    if (member.volumeName[0] == '\0' || member.volumePath[0] == '\0') break;
    auto& volumes = config_.volumes;
    auto known = std::find_if(volumes.begin(), volumes.end(), [&](const STORE_VOLUME_INFO& v) {
      return SameText(v.volumeName, member.volumeName);
    });
    // A volume outside the roots is refused whether it is new or moved.
    if (member.volumeType != -1 && !PathAllowed(access_.get(), member.volumePath)) {
      platform::DebugPrintf("KVR: volume %s at %s is outside every volume root: refused",
                            member.volumeName, member.volumePath);
      refused = true;
      continue;
    }
    if (known != volumes.end()) {
      if (member.volumeType == -1) {
        volumes.erase(known);
        --config_.volumeCount;
      } else {
        CopyText(known->volumePath, member.volumePath);
        known->volumeType = member.volumeType;
      }
      continue;
    }
    if (member.volumeType == -1) continue;
    // The folder must exist before a record can be made in it; a volume
    // whose folder cannot be made ends the list.
    std::string probe;
    if (!kvr::media::MakeRecordPath(member.volumePath, "a.dav", &probe) ||
        kvr::media::EnsureDirectories(probe.c_str()) != 0) {
      break;
    }
    STORE_VOLUME_INFO added;
    CopyText(added.volumeName, member.volumeName);
    CopyText(added.volumePath, member.volumePath);
    added.reservedBytes = config_.reservedvolumeSpace;
    added.useCount = 0;
    added.volumeType = member.volumeType;
    const bool typed = member.volumeType >= 0 && member.volumeType < kVolumeTypes;
    added.weight = typed ? weights_[member.volumeType] : 0;
    volumes.push_back(added);
    ++config_.volumeCount;
  }
  return refused ? kVolumeOutsideRoots : 0;
}

int CKVRData::SelectVolume(STORE_VOLUME_INFO* volume) {
  if (volume == nullptr) return -1;
  QWTools::CReadWriteMutexLock lock(&configLock_);
  const auto& volumes = config_.volumes;
  if (volumes.empty()) return -1;
  if (volume->volumeName[0] == '\0') {
    // Each volume's share once, under the lock (a lambda would hide it from
    // the thread-safety analysis).
    const STORE_VOLUME_INFO* chosen = nullptr;
    uint64_t best = 0;
    for (const STORE_VOLUME_INFO& v : volumes) {
      const auto it = useCounts_.find(v.volumePath);
      const uint64_t uses = it != useCounts_.end() ? it->second : v.useCount;
      const uint64_t share = v.weight / (uses + 1);
      if (chosen == nullptr || share > best) {
        chosen = &v;
        best = share;
      }
    }
    *volume = *chosen;
    return 0;
  }
  const STORE_VOLUME_INFO* named = nullptr;
  for (const STORE_VOLUME_INFO& v : volumes) {
    if (SameText(v.volumeName, volume->volumeName)) named = &v;
  }
  if (named == nullptr) return 1;
  *volume = *named;
  return 0;
}

STORE_VOLUME_INFO* CKVRData::FindVolumeByPath(const char* volumePath) {
  for (STORE_VOLUME_INFO& v : config_.volumes) {
    if (SameText(v.volumePath, volumePath)) return &v;
  }
  return nullptr;
}

int CKVRData::IncreaseUseCount(const char* volumePath) {
  QWTools::CReadWriteMutexLock lock(&configLock_);
  STORE_VOLUME_INFO* v = FindVolumeByPath(volumePath);
  if (v == nullptr) return 0;
  const uint32_t uses = ++useCounts_[v->volumePath];
  v->useCount = static_cast<uint8_t>(std::min<uint32_t>(uses, kShownUseCountMax));
  return 0;
}

int CKVRData::DecreaseUseCount(const char* volumePath) {
  QWTools::CReadWriteMutexLock lock(&configLock_);
  STORE_VOLUME_INFO* v = FindVolumeByPath(volumePath);
  if (v == nullptr) return 0;
  uint32_t& uses = useCounts_[v->volumePath];
  if (uses > 0) --uses;
  v->useCount = static_cast<uint8_t>(std::min<uint32_t>(uses, kShownUseCountMax));
  return 0;
}

bool CKVRData::IsTaskTableFull() {
  // Lock order: tasks before configuration, as in AddTask.
  const uint32_t tasks = GetTaskCount();
  QWTools::CReadWriteMutexLock lock(&configLock_);
  return tasks >= config_.maxRecordNumber;
}

void CKVRData::CopyConfig(STORE_CONFIG_INFO* out) {
  if (out == nullptr) return;
  QWTools::CReadWriteMutexLock lock(&configLock_);
  *out = config_;
}

void CKVRData::RefreshVolumeSpace() {
  // A network mount may answer slowly, so the file system is asked without
  // the lock and the figures go to the volumes that still have that path.
  std::vector<std::pair<std::string, platform::DiskSpace>> spaces;
  {
    QWTools::CReadWriteMutexLock lock(&configLock_);
    for (const STORE_VOLUME_INFO& v : config_.volumes)
      spaces.emplace_back(v.volumePath, platform::DiskSpace{});
  }
  for (auto& [path, space] : spaces)
    platform::GetDiskSpace(kvr::store::VolumeFolder(path.c_str()), &space);
  QWTools::CReadWriteMutexLock lock(&configLock_);
  for (STORE_VOLUME_INFO& v : config_.volumes) {
    for (const auto& [path, space] : spaces) {
      if (path == v.volumePath) {
        v.totalBytes = space.total_bytes;
        v.freeBytes = space.free_bytes;
        break;
      }
    }
  }
}

// ---- Users

int CKVRData::AddUser(const char* name, const char* password) {
  QWTools::CReadWriteMutexLock lock(&userLock_);
  users_.emplace(CSecureString(name), CSecureString(password));
  return 0;
}

int CKVRData::DelUser(const char* name, const char* password) {
  QWTools::CReadWriteMutexLock lock(&userLock_);
  auto it = users_.find(CSecureString(name));
  if (it != users_.end() && it->second == password) users_.erase(it);
  return 0;
}

int CKVRData::CheckUser(const char* name, const char* password) {
  QWTools::CReadWriteMutexLock lock(&userLock_);
  auto it = users_.find(CSecureString(name));
  return it != users_.end() && it->second == password ? 0 : -1;
}

// ---- The host's callbacks

void CKVRData::SetRecordEventCallBack(RecordEventCallBack callback, unsigned int user) {
  platform::MutexLock lock(callbackMu_);
  recordEventCallBack_ = callback;
  recordEventUser_ = user;
}

void CKVRData::SetDvConMsgCallBack(DvConMsgCallBack callback, unsigned int user) {
  platform::MutexLock lock(callbackMu_);
  dvConMsgCallBack_ = callback;
  dvConMsgUser_ = user;
}

bool CKVRData::NotifyRecordEvent(const char* url, int recordEvent) {
  RecordEventCallBack callback;
  unsigned int user;
  {
    platform::MutexLock lock(callbackMu_);
    callback = recordEventCallBack_;
    user = recordEventUser_;
  }
  if (callback == nullptr) return false;
  t_inHostCallback = true;
  callback(url, recordEvent, user);
  t_inHostCallback = false;
  return true;
}

bool CKVRData::InsideHostCallback() { return t_inHostCallback; }

bool CKVRData::NotifyDvConMsg(int message, char* readFileUrl, char* recordFilePath,
                              unsigned int mediaHandle) {
  DvConMsgCallBack callback;
  {
    platform::MutexLock lock(callbackMu_);
    callback = dvConMsgCallBack_;
  }
  if (callback == nullptr) return false;
  callback(message, readFileUrl, recordFilePath, mediaHandle);
  return true;
}

// ---- Record tasks

CKVRIOCommMdl* CKVRData::FindTask(const char* url) {
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  auto it = tasks_.find(CSecureString(url));
  return it != tasks_.end() ? it->second : nullptr;
}

uint32_t CKVRData::GetTaskCount() {
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  return taskCount_;
}

bool CKVRData::CollectStatus(const char* name, std::vector<RECORD_STATUS_INFO>* entries) {
  if (std::strcmp(name, "*") == 0) {
    entries->resize(tasks_.size());
    size_t i = 0;
    for (const auto& task : tasks_) FillStatus(task.second, &(*entries)[i++]);
    return true;
  }
  if (name[1] == '\0') return false;
  auto it = tasks_.find(CSecureString(name));
  if (it != tasks_.end()) {
    entries->resize(1);
    FillStatus(it->second, &entries->front());
  }
  return true;
}

int CKVRData::QueryRecordStatus(const char* name, RECORD_STATUS_INFO** records, uint32_t* count) {
  if (name == nullptr || name[0] == '\0') return -1;
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  lastStatus_.reset();
  std::vector<RECORD_STATUS_INFO> entries;
  if (!CollectStatus(name, &entries)) return 0;
  if (!entries.empty()) {
    lastStatus_ = std::make_unique<RECORD_STATUS_INFO[]>(entries.size());
    std::copy(entries.begin(), entries.end(), lastStatus_.get());
  }
  if (records != nullptr) *records = lastStatus_.get();
  if (count != nullptr) *count = static_cast<uint32_t>(entries.size());
  return 0;
}

int CKVRData::QueryRecordStatus(const char* name, std::vector<RECORD_STATUS_INFO>* entries) {
  entries->clear();
  if (name == nullptr || name[0] == '\0') return -1;
  QWTools::CReadWriteMutexLock lock(&taskLock_);
  CollectStatus(name, entries);
  return 0;
}

// ---- Media sources

bool CKVRData::SetRtspSource(const char* url, CKVRRTSPCommMdl* source) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  rtspSources_[CSecureString(url)] = source;
  return true;
}

bool CKVRData::SetPushSource(const char* url, CKVRDvConCommMdl* source) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  pushSources_[CSecureString(url)] = source;
  return true;
}

CKVRRTSPCommMdl* CKVRData::FindRtspSource(const char* url) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  auto it = rtspSources_.find(CSecureString(url));
  return it != rtspSources_.end() ? it->second : nullptr;
}

CKVRDvConCommMdl* CKVRData::FindPushSource(const char* url) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  auto it = pushSources_.find(CSecureString(url));
  return it != pushSources_.end() ? it->second : nullptr;
}

bool CKVRData::RemoveRtspSource(const char* url) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  return rtspSources_.erase(CSecureString(url)) > 0;
}

bool CKVRData::RemovePushSource(const char* url) {
  QWTools::CReadWriteMutexLock lock(&sourceLock_);
  return pushSources_.erase(CSecureString(url)) > 0;
}

void CKVRData::SetAccess(std::shared_ptr<const SvrFrame::CAccessSettings> access) {
  if (!access) access = std::make_shared<const SvrFrame::CAccessSettings>();
  QWTools::CReadWriteMutexLock lock(&configLock_);
  access_ = std::move(access);
}

std::shared_ptr<const SvrFrame::CAccessSettings> CKVRData::GetAccess() {
  QWTools::CReadWriteMutexLock lock(&configLock_);
  if (!access_) access_ = std::make_shared<const SvrFrame::CAccessSettings>();
  return access_;
}

bool CKVRData::VolumeAllowed(const char* path) {
  QWTools::CReadWriteMutexLock lock(&configLock_);
  return path != nullptr && PathAllowed(access_.get(), path);
}

std::string CKVRData::FirstVolumeOutsideRoots() {
  QWTools::CReadWriteMutexLock lock(&configLock_);
  for (const STORE_VOLUME_INFO& volume : config_.volumes) {
    if (!PathAllowed(access_.get(), volume.volumePath)) return volume.volumePath;
  }
  return "";
}
