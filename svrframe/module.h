// The interface of every module, and the sink through which a module's
// messages leave it.
//
// A module never calls another module. It sends a message with Send, which
// hands it to the sink that the command dealing module installed when it
// registered the module; the command dealing module later calls OnMessage of
// the destination modules on its delivery threads. OnMessage of one module
// may run on several delivery threads at once, next to the module's own
// worker thread, so modules guard their own state.
#ifndef KVR_SVRFRAME_MODULE_H_
#define KVR_SVRFRAME_MODULE_H_

#include "svrframe/inner_protocol_stack.h"
#include "svrframe/runtime_mdl_info.h"
#include "svrframe/secure_string.h"

namespace SvrFrame {

// Takes (the message, the sink user, weight, message class); returns 0 when
// the message was queued, negative when its queue is full, -2 without a user.
// The sink copies the holder, so the sender may drop its own reference at once.
using ModuleSink = int (*)(const MessageRef* message, void* user, int weight, int messageClass);

class IModule {
 public:
  virtual ~IModule() = default;

  // Called once by the module's owner; starts the module's work.
  virtual int Init(const CSecureString& name) = 0;
  // Releases the module's resources and deletes the module.
  virtual int Destroy() = 0;
  // A message delivered to this module.
  virtual int OnMessage(const MessageRef& message) = 0;
  // Sends a message into the framework; the sink's result, or 0 without a sink.
  virtual int Send(const MessageRef& message, int weight, int messageClass) = 0;
  // Installs the sink and its user; returns the sink.
  virtual ModuleSink SetSink(ModuleSink sink, void* user) = 0;
  virtual CRuntimeMdlInfo* GetRuntimeInfo() = 0;
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_MODULE_H_
