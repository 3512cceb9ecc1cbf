// The storage data of the service: the one object that the recording side
// shares between threads.
//
// It keeps the storage configuration (limits, reserved space, the volumes
// with their use counts), the user table of "Register", the record task table
// (record URL -> the record's writer) with its two companion tables of media
// sources, the host's callbacks and listening port, the proactor that every
// writer writes through, and the array handed out by the last status query.
// It decides which volume a new record goes to and builds record status
// entries from the running writers.
//
// The service manager owns it for the life of the process. Any thread may
// call in: the host's threads through the exports, the command dealing
// module's delivery threads through the storage function module, the media
// sources' threads. Four locks guard it: configuration (the configuration and
// the volumes' use counts), tasks (the task table and count), users, sources.
// Each operation takes one of them for its whole run; only AddTask and
// RemoveTask nest, taking the configuration lock inside the task lock, never
// the other way round. The tables do not own the modules they point to: the
// command dealing module does, and the storage function module removes an
// entry before it releases the module.
#ifndef KVR_STORE_KVR_DATA_H_
#define KVR_STORE_KVR_DATA_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "include/KVRServer.h"
#include "io/io_monitor.h"
#include "media/record_directory.h"
#include "platform/mutex.h"
#include "svrframe/access_settings.h"
#include "svrframe/read_write_mutex.h"
#include "svrframe/secure_string.h"

class CProactor;
class CGetKVRCngParamsAck;
class CSetKVRCngParams;
class CKVRIOCommMdl;
class CKVRRTSPCommMdl;
class CKVRDvConCommMdl;
namespace SvrFrame {
class ICmdDealModule;
}

class CKVRData : public kvr::media::IRecordDirectory {
 public:
  // File workers per volume: each volume has its own, so a hung one holds only these.
  static constexpr int kProactorThreads = 4;
  static constexpr int kVolumeTypes = 11;
  static constexpr uint64_t kBytesPerMegabyte = 1048576;
  // What the volume type weight table gives each type 0..10; other types weigh 0.
  static constexpr uint64_t kVolumeTypeWeights[kVolumeTypes] = {
      1048576, 1048576, 2097152, 1572864, 524288, 262144, 524288, 1048576, 262144, 524288, 104857};

  // Makes and starts the proactor, runs the first initialisation and
  // becomes the process's record directory (the one a lost stream asks).
  CKVRData();
  ~CKVRData() override;
  CKVRData(const CKVRData&) = delete;
  CKVRData& operator=(const CKVRData&) = delete;

  // The command dealing module that the record modules are registered with;
  // set by the service manager once it has made one. Without it no task can
  // be entered.
  void SetCmdDealModule(SvrFrame::ICmdDealModule* module) { cmdDeal_.store(module); }
  SvrFrame::ICmdDealModule* GetCmdDealModule() const { return cmdDeal_.load(); }
  // The writers' I/O runtime; null after Release.
  CProactor* GetProactor() const { return proactor_.get(); }

  // ---- Configuration (configuration lock)

  // Fills the part of `reply` that cngType asks for: 0 everything, 1 the
  // mounts that can take records, 2 maxRecordNumber, 3 the volumes, 4
  // recoverMethod, 5 reservedSpace, 6 reservedvolumeSpace (sizes in
  // megabytes); sets its "cngType". Returns 0.
  int GetConfig(CGetKVRCngParamsAck* reply, int cngType);
  // Replaces the four numbers (megabytes to bytes) and works through the
  // volume list: a known name gets the new path and type (its weight stays),
  // type -1 removes it, an unknown name is added when its folder can be made.
  // The first member without a name or path, or whose folder cannot be made,
  // ends the list. A volume outside every volume root of the access settings
  // is skipped (its folder never made). Returns 0, or kVolumeOutsideRoots
  // when a volume was skipped so.
  static constexpr int kVolumeOutsideRoots = -2;
  int SetConfig(CSetKVRCngParams* request);
  // `volume` holds the wanted name, empty for any. Any: the volume with the
  // greatest weight / (useCount + 1), the earlier one on a tie. A name: the
  // last volume of that name. The choice is copied into `volume`. 0 found, 1
  // no volume of that name, -1 no volumes at all.
  int SelectVolume(STORE_VOLUME_INFO* volume);
  // On the first volume whose path equals `volumePath`. The true count is
  // kept here and chooses volumes; the 8-bit field shows it capped at 255.
  // Return 0.
  int IncreaseUseCount(const char* volumePath);
  int DecreaseUseCount(const char* volumePath);
  // True when the task count has reached maxRecordNumber.
  bool IsTaskTableFull();
  // A copy of the whole configuration block, volumes included.
  void CopyConfig(STORE_CONFIG_INFO* out);
  // Asks the file system for the total and free bytes of every volume (both 0
  // when it cannot tell).
  void RefreshVolumeSpace();

  // ---- Users (user lock)

  // Adds the pair unless the name is known (the old password stays). 0.
  int AddUser(const char* name, const char* password);
  // Removes the user when the password matches. 0.
  int DelUser(const char* name, const char* password);
  // 0 when the name is known and the password matches, else -1.
  int CheckUser(const char* name, const char* password);

  // ---- Record tasks (task lock)

  // Enters `writer` under `url` (replacing an entry of that URL), gives it
  // the URL and counts it on its volume. 0, or -1 without a command dealing module.
  int AddTask(const char* url, CKVRIOCommMdl* writer);
  CKVRIOCommMdl* FindTask(const char* url);
  // Takes the entry out and uncounts it on its volume; the writer itself is
  // not touched. 0, or -1 when the URL is unknown.
  int RemoveTask(const char* url);
  uint32_t GetTaskCount();
  // Messages of the record `url` that a full framework queue refused; 0 for
  // a URL without a task.
  uint64_t GetRefusedMessages(const char* url);
  // What each record lost, by cause, for the service's figures.
  struct RecordLosses {
    std::string url;
    uint64_t refusedMessages = 0;  // a full framework queue refused them
    uint64_t whileOpening = 0;     // payloads past the waiting room of an opening file
    uint64_t diskBehind = 0;       // payloads past the memory bound of a disk that is behind
    uint64_t droppedBytes = 0;     // bytes of the payloads of both
  };
  std::vector<RecordLosses> GetRecordLosses();
  // Status of the record `name`, or of every record for "*". The array is
  // kept here and stays valid until the next query, which frees it. An empty
  // name: -1, outputs untouched. A one-character name other than "*": 0,
  // outputs untouched. Otherwise 0 with the array (null when nothing
  // matched) and its length.
  int QueryRecordStatus(const char* name, RECORD_STATUS_INFO** records, uint32_t* count);
  // The same answer as a private copy, for callers that use it after other
  // threads may have queried: leaves the kept array alone. `entries` is left
  // empty where the form above leaves its outputs untouched.
  int QueryRecordStatus(const char* name, std::vector<RECORD_STATUS_INFO>* entries);

  // ---- Media sources (source lock)

  bool SetRtspSource(const char* url, CKVRRTSPCommMdl* source);
  bool SetPushSource(const char* url, CKVRDvConCommMdl* source);
  CKVRRTSPCommMdl* FindRtspSource(const char* url);
  CKVRDvConCommMdl* FindPushSource(const char* url);
  // The first RTSP source in URL order whose stream handle is `handle`, or null.
  CKVRRTSPCommMdl* FindRtspSourceByHandle(uint32_t handle);
  // The same look-up for a stream the remote stream library lost.
  CKVRRTSPCommMdl* FindRtspSourceByStream(uint32_t stream) override {
    return FindRtspSourceByHandle(stream);
  }
  // Whether a task is entered under `url` (null: false).
  bool HasTask(const char* url) override { return url != nullptr && FindTask(url) != nullptr; }
  // Erases the first RTSP entry whose source has that stream handle. True.
  bool RemoveRtspSourceByHandle(uint32_t handle);
  // Erases the RTSP entry of the record; true when there was one.
  bool RemoveRtspSource(const char* url);
  // True when an entry was erased.
  bool RemovePushSource(const char* url);

  // ---- The host's callbacks and the listening port

  void SetRecordEventCallBack(RecordEventCallBack callback, unsigned int user);
  void SetDvConMsgCallBack(DvConMsgCallBack callback, unsigned int user);
  // Calls the host's record event callback with its user value; false when
  // the host has set none.
  bool NotifyRecordEvent(const char* url, int recordEvent);
  // True on a thread that is inside the host's record event callback.
  static bool InsideHostCallback();
  // Calls the host's device-connection callback (its user value is not
  // passed); false when the host has set none.
  bool NotifyDvConMsg(int message, char* readFileUrl, char* recordFilePath,
                      unsigned int mediaHandle);
  void SetListenPort(uint16_t port) { port_.store(port); }
  uint16_t GetListenPort() const { return port_.load(); }

  // ---- Access (configuration lock)

  // The settings read at start; never null.
  void SetAccess(std::shared_ptr<const SvrFrame::CAccessSettings> access);
  std::shared_ptr<const SvrFrame::CAccessSettings> GetAccess();
  // Whether a volume at `path` is allowed: anywhere without roots, else a
  // folder that is (or will be made) beneath one of them once every link
  // of its existing part is resolved.
  bool VolumeAllowed(const char* path);
  // The first configured volume that is not allowed, or "" when all are.
  std::string FirstVolumeOutsideRoots();

 protected:
  // The first initialisation: empty configuration, no record event callback,
  // the weight table. Runs only while uninitialised.
  void ResetConfig();
  // Stops and deletes the proactor, clears the volumes, tasks and RTSP
  // sources and the kept status array. Runs only once initialised.
  void Release();

 private:
  using ModuleTable = std::map<CSecureString, CKVRIOCommMdl*>;
  using RtspTable = std::map<CSecureString, CKVRRTSPCommMdl*>;
  using PushTable = std::map<CSecureString, CKVRDvConCommMdl*>;

  // The volume with that path, or null.
  STORE_VOLUME_INFO* FindVolumeByPath(const char* volumePath) REQUIRES(configLock_);
  // Needs the task lock. Fills `entry` from `writer`.
  static void FillStatus(CKVRIOCommMdl* writer, RECORD_STATUS_INFO* entry);
  // The matching entries; false where the query leaves its outputs untouched.
  bool CollectStatus(const char* name, std::vector<RECORD_STATUS_INFO>* entries)
      REQUIRES(taskLock_);

  static constexpr uint32_t kShownUseCountMax = 255;

  QWTools::CReadWriteMutex configLock_;
  STORE_CONFIG_INFO config_ GUARDED_BY(configLock_);
  // Records per volume path, beyond what the 8-bit field can show.
  std::map<std::string, uint32_t> useCounts_ GUARDED_BY(configLock_);
  uint64_t weights_[kVolumeTypes] = {};

  // The monitor is declared first so that it outlives the proactor it serves.
  CDefaultMonitor monitor_;
  std::unique_ptr<CProactor> proactor_;

  QWTools::CReadWriteMutex taskLock_;
  ModuleTable tasks_ GUARDED_BY(taskLock_);
  uint32_t taskCount_ GUARDED_BY(taskLock_) = 0;
  std::unique_ptr<RECORD_STATUS_INFO[]> lastStatus_ GUARDED_BY(taskLock_);

  QWTools::CReadWriteMutex userLock_;
  std::map<CSecureString, CSecureString> users_ GUARDED_BY(userLock_);

  QWTools::CReadWriteMutex sourceLock_;
  RtspTable rtspSources_ GUARDED_BY(sourceLock_);
  PushTable pushSources_ GUARDED_BY(sourceLock_);

  // The host sets a callback and its user value together, so they are read together.
  platform::Mutex callbackMu_;
  RecordEventCallBack recordEventCallBack_ GUARDED_BY(callbackMu_) = nullptr;
  unsigned int recordEventUser_ GUARDED_BY(callbackMu_) = 0;
  DvConMsgCallBack dvConMsgCallBack_ GUARDED_BY(callbackMu_) = nullptr;
  unsigned int dvConMsgUser_ GUARDED_BY(callbackMu_) = 0;

  std::atomic<uint16_t> port_{0};
  std::shared_ptr<const SvrFrame::CAccessSettings> access_ GUARDED_BY(configLock_);
  std::atomic<SvrFrame::ICmdDealModule*> cmdDeal_{nullptr};
  bool uninitialised_ = true;  // set and cleared only by construction and destruction
};

#endif  // KVR_STORE_KVR_DATA_H_
