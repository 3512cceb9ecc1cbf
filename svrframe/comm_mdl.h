// Base of the modules that face the outside world: a client connection, a
// media source, a record file.
//
// A communication module is registered with the command dealing module under
// a unique name (its class name plus a key and a tick count), and the messages
// it sends carry that name as their communication origin, so that replies can
// find their way back. It is removed with RemoveCommModule and, when removed
// for deletion, destroyed by the command dealing module about five seconds
// later. Threads: as CMdlBase.
#ifndef KVR_SVRFRAME_COMM_MDL_H_
#define KVR_SVRFRAME_COMM_MDL_H_

#include "svrframe/mdl_base.h"

namespace SvrFrame {

// The worker thread of a communication module.
class CCommMdlThread : public CMdlWorkerThread {
 public:
  explicit CCommMdlThread(CMdlBase* owner) : CMdlWorkerThread(owner) {}
};

class CCommMdl : public CMdlBase {
 public:
  explicit CCommMdl(bool hasThread) : CMdlBase("CommMdl", hasThread, Origin::kCommunication) {}

  // Messages are accepted and dropped unless a concrete module wants them.
  int OnMessage(const MessageRef& message) override {
    (void)message;
    return 0;
  }

 protected:
  CMdlWorkerThread* MakeWorker() override { return new CCommMdlThread(this); }
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_COMM_MDL_H_
