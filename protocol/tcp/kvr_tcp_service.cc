#include "protocol/tcp/kvr_tcp_service.h"

#include <utility>

CKVRTcpService::CKVRTcpService()
    : TPTCPServer(kContext, this), link_(std::make_shared<CTcpSendLink>(this)) {}

CKVRTcpService::~CKVRTcpService() {
  Stop();
  link_->Detach();
}

int CKVRTcpService::Stop() {
  const int result = TPTCPServer::Stop();
  std::map<int32_t, CKVRTcpCommMdl*> modules;
  {
    platform::MutexLock lock(modulesMu_);
    modules.swap(modules_);
  }
  SvrFrame::ICmdDealModule* cmdDeal = cmdDeal_.load();
  for (const auto& [id, module] : modules) {
    if (cmdDeal != nullptr) cmdDeal->RemoveCommModule(module, true);
  }
  return result;
}

int CKVRTcpService::OnConnect(uint32_t context, int32_t connId, const char* peerIp,
                              uint16_t peerPort) {
  SvrFrame::ICmdDealModule* cmdDeal = cmdDeal_.load();
  if (cmdDeal == nullptr) return -1;
  auto* module = new CKVRTcpCommMdl(link_, context, connId, peerIp, peerPort);
  module->Init(CSecureString(""));
  if (!cmdDeal->RegisterCommModule(module, connId)) {
    module->Destroy();
    return -1;
  }
  platform::MutexLock lock(modulesMu_);
  modules_[connId] = module;
  return 0;
}

int CKVRTcpService::OnData(uint32_t, int32_t connId, const char* data, int length) {
  platform::MutexLock lock(modulesMu_);
  auto it = modules_.find(connId);
  if (it != modules_.end()) it->second->OnData(data, length);
  return 0;
}

int CKVRTcpService::OnClose(uint32_t, int32_t connId) {
  CKVRTcpCommMdl* module = nullptr;
  {
    platform::MutexLock lock(modulesMu_);
    auto it = modules_.find(connId);
    if (it == modules_.end()) return 0;
    module = it->second;
    modules_.erase(it);
  }
  // Replies may still be on their way to it: the framework keeps it a while.
  SvrFrame::ICmdDealModule* cmdDeal = cmdDeal_.load();
  if (cmdDeal != nullptr) cmdDeal->RemoveCommModule(module, true);
  return 0;
}

int CKVRTcpService::OnSent(uint32_t, int32_t connId, int sequence) {
  platform::MutexLock lock(modulesMu_);
  auto it = modules_.find(connId);
  if (it != modules_.end()) it->second->OnSent(sequence);
  return 0;
}

size_t CKVRTcpService::ModuleCount() {
  platform::MutexLock lock(modulesMu_);
  return modules_.size();
}
