// The library's exports: each fetches the service manager and hands the call
// on. Record requests become the same data units a remote client sends and
// go straight to the storage function module's handlers on the host's thread.
// Nothing may escape to the host, so each export turns an exception into its
// failure code.
#include <cstdint>
#include <limits>

#include "api/kvr_svr_manage.h"
#include "include/KVRServer.h"
#include "media/kvr_dvcon_comm_mdl.h"
#include "protocol/message/store_pdus.h"
#include "svrframe/referable.h"
#include "svrframe/text_field.h"

namespace {

using kvr::pdu::StoreVolumeItem;

using kvr::CopyField;
using kvr::api::CKVRSvrManage;

constexpr int kPause = 1;
constexpr int kResume = 2;

CKVRSvrManage* Manager() { return CKVRSvrManage::GetInstance(); }

// Bytes to the whole megabytes a unit carries; false when they do not fit.
bool ToMegabytes(uint64_t bytes, int32_t* megabytes) {
  const uint64_t mb = bytes >> 20;
  if (mb > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;
  *megabytes = static_cast<int32_t>(mb);
  return true;
}

// Runs `body`; `failure` when it throws.
template <class Body>
int Guarded(int failure, Body body) {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

int StartRecord(CRecordMedia* request) {
  CKVRStoreFunMdl* funMdl = Manager()->GetStoreFunMdl();
  if (funMdl == nullptr) return -1;
  return funMdl->HandleRecRealMedia(request);
}

}  // namespace

int KVR_CALL KVR_StartService(unsigned short port) {
  return Guarded(-1, [&] {
    CKVRSvrManage* manager = Manager();
    manager->GetData()->SetListenPort(port);
    return manager->Start();
  });
}

int KVR_CALL KVR_StopService() {
  return Guarded(-1, [] { return Manager()->Stop(); });
}

void KVR_CALL KVR_Clean() {
  Guarded(0, [] { return Manager()->Clean(); });
}

int KVR_CALL KVR_SetKVRConfig(STORE_CONFIG_INFO& config) {
  return Guarded(-1, [&] {
    CReferPtr<CSetKVRCngParams> request(CSetKVRCngParams::Create());
    request->maxRecordNumber = static_cast<int32_t>(config.maxRecordNumber);
    request->recoverMethod = static_cast<int32_t>(config.recoverMethod);
    if (!ToMegabytes(config.reservedSpace, &request->reservedSpace) ||
        !ToMegabytes(config.reservedvolumeSpace, &request->reservedvolumeSpace)) {
      return -1;
    }
    for (const STORE_VOLUME_INFO& volume : config.volumes) {
      StoreVolumeItem item;
      if (!CopyField(item.volumeName, volume.volumeName) ||
          !CopyField(item.volumePath, volume.volumePath)) {
        return -1;
      }
      item.volumeType = volume.volumeType;
      request->AddVolume(item);
    }
    // Before the first start there is no module yet; the storage data takes
    // the set the same way.
    int status = 0;
    if (CKVRStoreFunMdl* funMdl = Manager()->GetStoreFunMdl()) {
      status = funMdl->HandleStoreConfig(request.get());
    } else {
      status = Manager()->GetData()->SetConfig(request.get());
      Manager()->GetData()->RefreshVolumeSpace();
    }
    // The rest of the set is kept; the host hears that a volume was not.
    return status == CKVRData::kVolumeOutsideRoots ? -1 : 0;
  });
}

int KVR_CALL KVR_GetKVRConfig(STORE_CONFIG_INFO& config) {
  return Guarded(0, [&] {
    if (CKVRStoreFunMdl* funMdl = Manager()->GetStoreFunMdl()) {
      funMdl->RefreshVolumeSpace(&config);
    } else {
      Manager()->GetData()->RefreshVolumeSpace();
      Manager()->GetData()->CopyConfig(&config);
    }
    return 0;
  });
}

int KVR_CALL KVR_StartRecRealMedia(char* readFileUrl, char* writeFileUrl, char* volume,
                                   int limitSize, int limitTime) {
  return Guarded(-1, [&] {
    CKVRSvrManage* manager = Manager();
    // Held until the module has answered: two starts by URL never overlap.
    QWTools::CReadWriteMutexLock lock(manager->RecordStartLock());
    if (!manager->IsStarted()) return -1;
    CReferPtr<CRecordMedia> request(CRecordMedia::Create());
    if (!CopyField(request->readFileUrl, readFileUrl) ||
        !CopyField(request->writeFileUrl, writeFileUrl) ||
        (volume != nullptr && !CopyField(request->volumn, volume))) {
      return -1;
    }
    request->limitSize = limitSize;
    request->limitTime = limitTime;
    return StartRecord(request.get());
  });
}

int KVR_CALL KVR_StartRecRealMedia(char* readFileUrl, char* writeFileUrl, int limitSize,
                                   int limitTime) {
  return KVR_StartRecRealMedia(readFileUrl, writeFileUrl, nullptr, limitSize, limitTime);
}

int KVR_CALL KVR_StartRecRealMedia(char* vsDestIp, int vsDestPort, int puChannel, char* puIp,
                                   int puPort, char* writeFileUrl, int limitSize, int limitTime) {
  return Guarded(-1, [&] {
    if (!Manager()->IsStarted()) return -1;
    CReferPtr<CRecordMedia> request(CRecordMedia::Create());
    if (!CopyField(request->vsDestIp, vsDestIp) || !CopyField(request->puIp, puIp) ||
        !CopyField(request->writeFileUrl, writeFileUrl)) {
      return -1;
    }
    request->vsDestPort = vsDestPort;
    request->puChannel = puChannel;
    request->puPort = puPort;
    request->limitSize = limitSize;
    request->limitTime = limitTime;
    return StartRecord(request.get());
  });
}

int KVR_CALL KVR_StopRecRealMedia(char* recordFileUrl) {
  return Guarded(
      -1, [&] { return Manager()->ControlRecord(recordFileUrl, CKVRSvrManage::kControlStop); });
}

int KVR_CALL KVR_ControlRecRealMedia(char* recordFileUrl, int ctrlInfo) {
  if (ctrlInfo != kPause && ctrlInfo != kResume) return -1;
  return Guarded(-1, [&] { return Manager()->ControlRecord(recordFileUrl, ctrlInfo); });
}

int KVR_CALL KVR_DelRecMediaFile(char* recordFileUrl) {
  return Guarded(-2, [&] {
    CKVRStoreFunMdl* funMdl = Manager()->GetStoreFunMdl();
    if (!Manager()->IsStarted() || funMdl == nullptr) return -1;
    CReferPtr<CDelRecordMedia> request(CDelRecordMedia::Create());
    if (!CopyField(request->recordFileUrl, recordFileUrl)) return -2;
    return funMdl->HandleDeleteRecRealMedia(request.get());
  });
}

int KVR_CALL KVR_QueryRecRealMediaStatus(char* recordFileUrl, unsigned long& records,
                                         unsigned int& count) {
  return Guarded(-1, [&] {
    CKVRStoreFunMdl* funMdl = Manager()->GetStoreFunMdl();
    if (!Manager()->IsStarted() || funMdl == nullptr) {
      records = 0;
      count = 0;
      return 0;
    }
    // Some answers leave the outputs as they were, so they start out as the caller's.
    auto* array = reinterpret_cast<RECORD_STATUS_INFO*>(records);
    uint32_t entries = count;
    const int result =
        funMdl->QueryRecordStatus(recordFileUrl != nullptr ? recordFileUrl : "", &array, &entries);
    records = reinterpret_cast<unsigned long>(array);
    count = entries;
    return result;
  });
}

int KVR_CALL KVR_SetDvConMediaData(char* data, int length, unsigned long mediaHandle) {
  if (data == nullptr || length < 1) return -1;
  // Handles are 32-bit: a wider value names no record, and must not be cut
  // down to one that does.
  if (mediaHandle > std::numeric_limits<uint32_t>::max()) return 0;
  return Guarded(-1, [&] {
    CKVRDvConCommMdl::PushMedia(data, length, static_cast<uint32_t>(mediaHandle));
    return 0;
  });
}

int KVR_CALL KVR_SetRecordEventCallBack(RecordEventCallBack callback, unsigned int user) {
  if (callback == nullptr) return -1;
  return Guarded(-1, [&] {
    Manager()->GetData()->SetRecordEventCallBack(callback, user);
    return 0;
  });
}

int KVR_CALL KVR_SetDvConMsgCallBack(DvConMsgCallBack callback, unsigned int user) {
  if (callback == nullptr) return -1;
  return Guarded(-1, [&] {
    Manager()->GetData()->SetDvConMsgCallBack(callback, user);
    return 0;
  });
}

int KVR_CALL KVR_AddUser(char* name, char* password) {
  if (name == nullptr || password == nullptr) return 0;
  return Guarded(0, [&] {
    Manager()->GetData()->AddUser(name, password);
    return 0;
  });
}

int KVR_CALL KVR_DelUser(char* name, char* password) {
  if (name == nullptr || password == nullptr) return 0;
  return Guarded(0, [&] {
    Manager()->GetData()->DelUser(name, password);
    return 0;
  });
}
