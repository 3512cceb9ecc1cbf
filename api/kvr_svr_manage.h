// The service manager: the one object that owns the running service.
//
// It embeds the storage data and the TCP service of the control port and
// owns the command dealing module and the storage function module, whose
// worker polls that port. The modules are set up on the first start (and
// again on a start after Clean); a failed set-up is retried by the next start.
//
// A process-wide singleton, made by the first export call and never
// destroyed, so that the framework's threads never outlive what they use.
// Start, Stop and Clean come from the host one at a time (they take no lock
// of their own); the exports reach the members from any host thread, and
// only the record starts by URL are serialised, by RecordStartLock.
#ifndef KVR_API_KVR_SVR_MANAGE_H_
#define KVR_API_KVR_SVR_MANAGE_H_

#include <atomic>
#include <string>

#include "protocol/tcp/kvr_tcp_service.h"
#include "store/kvr_data.h"
#include "store/kvr_store_fun_mdl.h"
#include "svrframe/read_write_mutex.h"
#include "svrframe/svr_manage.h"

class CKVRCmdDealMdl;

namespace kvr::api {

class CKVRSvrManage : public SvrFrame::CSvrManage {
 public:
  // Start's failures besides those of the set-up.
  static constexpr int kListenFailed = -1;
  static constexpr int kAlreadyStarted = -2;
  // The set-up's failures.
  static constexpr int kCmdDealRefused = -3;
  static constexpr int kFunModuleRefused = -4;
  static constexpr int kRoutingNotLoaded = -5;
  // The routing file's access settings are malformed, or a configured volume
  // lies outside their volume roots.
  static constexpr int kAccessRefused = -6;
  static constexpr int kControlStop = 3;
  static constexpr char kRoutingFile[] = "Server_Config.xml";
  // What Stop waits after the port has closed, so that a pass of the
  // poller that began before has ended.
  static constexpr uint32_t kStopSettleMs = 1000;
  // How much longer Stop waits, at most, for the stopped records' files to
  // take their last bytes and close: a host that leaves right after Stop
  // (a daemon on SIGTERM) must not lose what a slow disk still had queued.
  static constexpr uint32_t kFileCloseWaitMs = 10000;
  // Longest wait of a host's stop for its record's writer to take the stop
  // (last media written, file closed) and the task to leave the tables.
  static constexpr uint32_t kStopTakenWaitMs = 2000;

  static CKVRSvrManage* GetInstance();

  // Sets up the modules when needed, then listens on the storage data's
  // port. 0, kListenFailed, kAlreadyStarted, or the set-up's failure.
  int Start() override;
  // Stops every record, closes the port and all connections, and returns
  // once every record file is closed (or kFileCloseWaitMs has passed). 0
  // (also when not started), -1 when the port did not close, or the record
  // query's code.
  int Stop();
  // Drops the storage function module; the next Start makes a new one. 0;
  // -1 (nothing done) while started or from inside the record event callback.
  int Clean() override;

  // Pause (1), resume (2) or stop (3) a record through the storage function
  // module, as the exports do. Its status; -1 when not started or the name
  // is missing or too long. A stop (0 or 3) returns once the record has left
  // the task table (or kStopTakenWaitMs has passed): on the host's thread,
  // so that a delete or a new start of the name right after it finds no task.
  int ControlRecord(const char* recordFileUrl, int ctrlInfo);

  bool IsStarted() const { return started_.load(); }
  CKVRData* GetData() { return &data_; }
  CKVRTcpService* GetTcpService() { return &tcp_; }
  CKVRCmdDealMdl* GetCmdDealMdl() const { return cmdDeal_.load(); }
  // Null before the first start and after Clean.
  CKVRStoreFunMdl* GetStoreFunMdl() const { return funMdl_.load(); }
  QWTools::CReadWriteMutex* RecordStartLock() { return &recordStartLock_; }

  // Where a relative routing file name is looked for: the working directory,
  // then the installed data folder. The name unchanged when neither has it.
  static std::string ResolveRoutingFile(const std::string& name);

 private:
  // The records' losses by cause, for the control port's GET /metrics.
  void AppendRecordLosses(std::string* text);
  void WaitForRecordFiles();

  // The TCP service as the storage function module's worker sees it.
  class TcpPoller : public kvr::store::IKVRServicePoller {
   public:
    explicit TcpPoller(CKVRTcpService* service) : service_(service) {}
    // PollFor has already rested when nothing was ready, so the worker must
    // not rest again: never 1.
    int Poll() override {
      service_->PollFor(TPTCPServer::kQuietWaitMs);
      service_->Sweep();
      return 0;
    }

   private:
    CKVRTcpService* const service_;
  };

  CKVRSvrManage();
  ~CKVRSvrManage() override = default;

  int Init();
  // Stops one record the way KVR_StopRecRealMedia does.
  void StopRecord(const char* recordFileUrl);

  std::atomic<bool> started_{false};
  QWTools::CReadWriteMutex recordStartLock_;
  bool initialised_ = false;
  CKVRData data_;
  CKVRTcpService tcp_;
  TcpPoller poller_{&tcp_};
  // Owned; destroyed only through Destroy. Kept across Clean, so that the
  // record and connection modules registered with it stay served.
  std::atomic<CKVRCmdDealMdl*> cmdDeal_{nullptr};
  std::atomic<CKVRStoreFunMdl*> funMdl_{nullptr};  // owned
};

}  // namespace kvr::api

#endif  // KVR_API_KVR_SVR_MANAGE_H_
