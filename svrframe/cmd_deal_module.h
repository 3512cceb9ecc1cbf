// The interface of the command dealing module, the switchboard every module
// registers with. Function modules are known by their names, communication
// modules by unique names given at registration. Removals are carried out
// later on the module's own thread; see CCmdDealMdl for the exact contract.
#ifndef KVR_SVRFRAME_CMD_DEAL_MODULE_H_
#define KVR_SVRFRAME_CMD_DEAL_MODULE_H_

#include <cstdint>

#include "svrframe/module.h"

namespace SvrFrame {

class ICmdDealModule : public IModule {
 public:
  // Registers a function module under its current name; false for an empty name.
  virtual bool RegisterFunModule(IModule* module) = 0;
  // Removes a function module; with `destroy` set the framework destroys it.
  virtual bool RemoveFunModule(IModule* module, bool destroy) = 0;
  // Renames a communication module to a unique name made from its name, the
  // key (0: a handle of the framework's own) and the tick count, and registers it.
  virtual bool RegisterCommModule(IModule* module, int32_t key) = 0;
  // Removes a communication module; with `destroy` set the framework destroys
  // it after the grace period.
  virtual bool RemoveCommModule(IModule* module, bool destroy) = 0;
  // Delivers a function module's message to its reply-to modules behind every
  // data message that communication modules have queued so far, and behind
  // the function modules' data sent so far: a stop then reaches a writer
  // after the media that was sent before it. Never refused for a full queue.
  // 0, or -2 for a null message.
  virtual int RelayBehindData(const MessageRef& message) = 0;
};

}  // namespace SvrFrame

#endif  // KVR_SVRFRAME_CMD_DEAL_MODULE_H_
