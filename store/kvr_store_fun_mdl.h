// The storage function module ("qw.kvr.func"): where every storage request
// is decided.
//
// Requests reach it in two ways that end in the same handlers: from remote
// clients through the framework (OnMessage on the command dealing module's
// delivery threads), and from the host, whose exports call the handlers
// directly on the host's thread with a unit whose commOrigin is empty. It runs
// the life cycle of record tasks: a start makes the record's writer and media
// source, registers them, enters them in the storage data and forwards the
// request to them; a stop forwards the request and then removes and releases
// them. It answers configuration, record and session requests and hands
// record events to the host.
//
// The service manager owns it, registers it with the command dealing module
// and gives it the storage data, which must outlive it. Its worker thread
// runs Loop, which polls the TCP server while the service runs; the thread
// has ended before the module's memory is released. Record starts are
// serialised by the module lock; everything else relies on the storage
// data's locks, so handlers may run on several threads at once.
//
// Handlers take the unit by pointer; the caller holds a reference to it for
// the call (the module may keep its own).
#ifndef KVR_STORE_KVR_STORE_FUN_MDL_H_
#define KVR_STORE_KVR_STORE_FUN_MDL_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "include/KVRServer.h"
#include "platform/mutex.h"
#include "svrframe/read_write_mutex.h"
#include "svrframe/svr_fun_mdl.h"

class CKVRData;
class IZETAPDU;
class CRecordMedia;
class CRecordMediaControl;
class CDelRecordMedia;
class CQueryRecordStatus;
class CSetKVRCngParams;
class CGetKVRCngParams;
class CRegister;
class CKeepAlive;
class CRecordEvent;

namespace kvr::store {

// What the module's worker polls while the service runs: the TCP server.
class IKVRServicePoller {
 public:
  virtual ~IKVRServicePoller() = default;
  // One pass over the server's sockets; 1 when nothing happened.
  virtual int Poll() = 0;
};

}  // namespace kvr::store

class CKVRStoreFunMdl : public SvrFrame::CSvrFunMdl {
 public:
  static constexpr char kName[] = "qw.kvr.func";
  // Requester of a record started without a communication module behind it.
  static constexpr char kLocalRequester[] = "FunMdl";
  // Replies to a status query carry at most this many entries each.
  static constexpr int kStatusPerReply = 5;
  // Statuses of the handlers besides 0.
  static constexpr int kNoTask = -2;         // control: no task for the URL
  static constexpr int kTaskExists = -3;     // start, delete: the task is there
  static constexpr int kDeleteFailed = -4;   // delete: the file stayed
  static constexpr int kNotRegistered = -5;  // start: the writer was refused
  static constexpr int kNoRecordFile = -5;   // delete: no such file
  static constexpr int kBadFileName = -6;    // start: forbidden name, or the file exists
  static constexpr int kTaskTableFull = -7;  // start
  static constexpr int kNoVolume = -8;       // start: no volume can be chosen

  explicit CKVRStoreFunMdl(CKVRData* data);
  // Stops the worker and waits until it has left Loop.
  ~CKVRStoreFunMdl() override;

  // The owner destroys the module; the framework's Destroy leaves it alone.
  int Destroy() override { return 0; }
  // Requests go to DispatchRequest, media data is passed on, the rest is ignored. 0.
  int OnMessage(const SvrFrame::MessageRef& message) override;
  // The worker: polls the TCP server while running (15 ms rest after an idle
  // pass), rests 1000 ms per pass otherwise, until the module goes.
  int Loop() override;

  // Handles a request by its command name; other commands are ignored. The
  // handler's status, or 0.
  int DispatchRequest(const SvrFrame::MessageRef& message);

  // The handlers. Each answers its requester (the request's commOrigin) and
  // returns the status a direct caller gets.
  int HandleRecRealMedia(CRecordMedia* request);
  int HandleRecRealMediaControl(CRecordMediaControl* request);
  int HandleDeleteRecRealMedia(CDelRecordMedia* request);
  int HandleQueryRecStatus(CQueryRecordStatus* request);
  // A set or a get of the configuration; a request without commOrigin gets no reply.
  int HandleStoreConfig(CSetKVRCngParams* request);
  int HandleStoreConfig(CGetKVRCngParams* request);
  int HandleRegister(CRegister* request);
  int HandleKeepAlive(CKeepAlive* request);
  int HandleRecordEvent(CRecordEvent* event);

  // Refreshes the space figures of the configured volumes and copies the
  // configuration into `config` (when not null). 0.
  int RefreshVolumeSpace(STORE_CONFIG_INFO* config);
  // The exports' status query: the storage data's kept array.
  int QueryRecordStatus(const char* name, RECORD_STATUS_INFO** records, uint32_t* count);

  // 0 when the record URL may be used as a new record file on every volume,
  // else the first non-zero answer: a forbidden character's code, a name with
  // a control character, a path that leaves the volume or does not fit, or -1
  // when the file exists on a volume.
  int RecordFileExists(const char* url);
  // The path of the record's file on the first volume that has it, and that
  // volume's folder ending in '/' (when `root` is given). 0, or -1 (both
  // empty) when no volume has it or the name is refused.
  int FindRecordFile(const char* url, std::string* path, std::string* root = nullptr);

  // Set by the service manager: whether the service runs, and what to poll.
  void SetRunning(bool running);
  bool IsRunning() const { return running_.load(); }
  // The poller must outlive the module: the worker may be inside Poll until the module goes.
  void SetPoller(kvr::store::IKVRServicePoller* poller) { poller_.store(poller); }

 private:
  // Answers of the volume scan besides 0, -1 and the forbidden characters' codes.
  static constexpr int kOutsideVolume = -10;
  static constexpr int kPathTooLong = -11;
  static constexpr int kControlCharacter = -12;

  // Checks `url` against every volume in order: the first refusal (a
  // forbidden character's code, kOutsideVolume, kControlCharacter,
  // kPathTooLong), or -1 with the path in `found` (when given) for the first
  // volume that has the file (its folder in `foundRoot`), or 0.
  int ScanVolumes(const char* url, std::string* found, std::string* foundRoot);
  // Gives `reply` the request's sequence number, addresses it to the
  // requester and sends it.
  void SendReply(IZETAPDU* reply, const IZETAPDU* request, const CSecureString& requester,
                 int messageClass);

  CKVRData* const data_;
  QWTools::CReadWriteMutex startLock_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<kvr::store::IKVRServicePoller*> poller_{nullptr};
  platform::Signal wake_;  // ends the worker's rest early
};

#endif  // KVR_STORE_KVR_STORE_FUN_MDL_H_
