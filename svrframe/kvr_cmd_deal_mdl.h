// The service's command dealing module: the framework's switchboard under
// the service's own name. Owned by the service manager; threads as CCmdDealMdl.
#ifndef KVR_SVRFRAME_KVR_CMD_DEAL_MDL_H_
#define KVR_SVRFRAME_KVR_CMD_DEAL_MDL_H_

#include "svrframe/cmd_deal_mdl.h"

class CKVRCmdDealMdl : public SvrFrame::CCmdDealMdl {
 public:
  static constexpr const char kName[] = "KVRCmdDealMDl";

  explicit CKVRCmdDealMdl(bool useEventThreads = true) : CCmdDealMdl(useEventThreads) {
    GetRuntimeInfo()->SetName(kName);
  }
};

#endif  // KVR_SVRFRAME_KVR_CMD_DEAL_MDL_H_
