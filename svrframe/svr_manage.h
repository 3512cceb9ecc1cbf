// The module manager: the base of the service manager, which owns the
// command dealing module and the function modules of the service.
//
// CSvrManage only names itself ("SvrManage") and remembers the registered
// command dealing module (not owned). The pointer is guarded by a lock; the
// rest is set up by the constructor. The service manager derives from it and
// gives Start and Clean their meaning.
#ifndef KVR_SVRFRAME_SVR_MANAGE_H_
#define KVR_SVRFRAME_SVR_MANAGE_H_

#include <memory>

#include "svrframe/read_write_mutex.h"
#include "svrframe/runtime_mdl_info.h"

namespace SvrFrame {

class ICmdDealModule;

class ISvrManage {
 public:
  virtual ~ISvrManage() = default;
  virtual int Start() = 0;
  virtual int Clean() = 0;
  // A manager-defined operation with one argument.
  virtual int Execute(void* argument) = 0;
  virtual CRuntimeMdlInfo* GetRuntimeInfo() = 0;
};

class CSvrManage : public ISvrManage {
 public:
  CSvrManage();
  ~CSvrManage() override;
  CSvrManage(const CSvrManage&) = delete;
  CSvrManage& operator=(const CSvrManage&) = delete;

  int Start() override { return 0; }
  int Clean() override { return 0; }
  int Execute(void* argument) override {
    (void)argument;
    return 0;
  }
  CRuntimeMdlInfo* GetRuntimeInfo() override { return runtimeInfo_.get(); }

  // Remembers the command dealing module (replacing an earlier one); false for null.
  bool RegisterCmdDealModule(ICmdDealModule* module);
  ICmdDealModule* GetCmdDealModule();

 protected:
  // Forgets the command dealing module once; later calls do nothing.
  void ReleaseCmdDealModule();

 private:
  std::unique_ptr<CRuntimeMdlInfo> runtimeInfo_;
  QWTools::CReadWriteMutex lock_;
  ICmdDealModule* cmdDealModule_ = nullptr;  // guarded by lock_; not owned
  bool closed_ = false;                      // guarded by lock_
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_SVR_MANAGE_H_
