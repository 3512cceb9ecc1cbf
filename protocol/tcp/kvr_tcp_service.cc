#include "protocol/tcp/kvr_tcp_service.h"

#include <utility>
#include <vector>

#include "platform/debug_log.h"
#include "platform/socket.h"
#include "platform/time.h"

CKVRTcpService::CKVRTcpService()
    : TPTCPServer(kContext, this),
      link_(std::make_shared<kvr::tcp::CTcpSendLink>(this)),
      counters_(std::make_shared<kvr::tcp::ControlCounters>()) {}

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
    counters_->Closed();
    if (cmdDeal != nullptr) cmdDeal->RemoveCommModule(module, true);
  }
  return result;
}

int CKVRTcpService::OnConnect(uint32_t context, int32_t connId, const char* peerIp,
                              uint16_t peerPort) {
  SvrFrame::ICmdDealModule* cmdDeal = cmdDeal_.load();
  if (cmdDeal == nullptr) return -1;
  std::shared_ptr<const SvrFrame::CAccessSettings> access;
  {
    platform::MutexLock lock(modulesMu_);
    access = access_;
    if (access && access->maxConnections > 0 &&
        modules_.size() >= static_cast<size_t>(access->maxConnections)) {
      counters_->Dropped(kvr::tcp::ControlCounters::Drop::kCap);
      if (!capLogged_) {
        capLogged_ = true;
        platform::AuditPrintf(
            "peer %s refused: %d connections is the cap",
            platform::EndpointText(peerIp != nullptr ? peerIp : "?", peerPort).c_str(),
            access->maxConnections);
      }
      return -1;
    }
    capLogged_ = false;
  }
  auto* module = new CKVRTcpCommMdl(link_, context, connId, peerIp, peerPort, access, counters_);
  module->Init(CSecureString(""));
  if (!cmdDeal->RegisterCommModule(module, connId)) {
    module->Destroy();
    return -1;
  }
  counters_->Connected();
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
  counters_->Closed();
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

void CKVRTcpService::SetAccess(std::shared_ptr<const SvrFrame::CAccessSettings> access) {
  platform::MutexLock lock(modulesMu_);
  access_ = std::move(access);
}

void CKVRTcpService::Sweep() {
  const uint32_t now = platform::TickCount();
  std::vector<int32_t> drop;
  {
    platform::MutexLock lock(modulesMu_);
    const int idleSec = access_ ? access_->idleTimeoutSec : 0;
    const bool walkIdle = idleSec > 0 && platform::TicksElapsed(lastSweep_, now, 1000);
    if (walkIdle) lastSweep_ = now;
    for (const auto& [id, module] : modules_) {
      const bool idle = walkIdle && platform::TicksElapsed(module->LastActivityMs(), now,
                                                           static_cast<uint32_t>(idleSec) * 1000u);
      if (module->WantsDrop() || idle) {
        platform::AuditPrintf(
            "peer %s disconnected: %s",
            platform::EndpointText(module->GetPeerAddress(), module->GetPeerPort()).c_str(),
            idle ? "idle past the time-out" : "too many replies unread or requests unanswered");
        counters_->Dropped(idle ? kvr::tcp::ControlCounters::Drop::kIdle
                                : kvr::tcp::ControlCounters::Drop::kUnread);
        drop.push_back(id);
      }
    }
  }
  for (const int32_t id : drop) {
    OnClose(kContext, id);
    CloseConnection(id);
  }
}
