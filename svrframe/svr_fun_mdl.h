// Base of the modules that do the service's work (the storage function
// module). A function module is registered under its own name, which is the
// "funcName" of the routing file; the messages it sends carry that name as
// their function origin, by which the reply routes are chosen. Threads: as
// CMdlBase.
#ifndef KVR_SVRFRAME_SVR_FUN_MDL_H_
#define KVR_SVRFRAME_SVR_FUN_MDL_H_

#include "svrframe/mdl_base.h"

namespace SvrFrame {

// The worker thread of a function module.
class CSvrFunMdlThread : public CMdlWorkerThread {
 public:
  explicit CSvrFunMdlThread(CMdlBase* owner) : CMdlWorkerThread(owner) {}
};

class CSvrFunMdl : public CMdlBase {
 public:
  explicit CSvrFunMdl(bool hasThread) : CMdlBase("SvrFunMdl", hasThread, Origin::kFunction) {}

 protected:
  CMdlWorkerThread* MakeWorker() override { return new CSvrFunMdlThread(this); }
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_SVR_FUN_MDL_H_
