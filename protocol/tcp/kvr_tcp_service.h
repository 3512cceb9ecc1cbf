// The control port of the service: the TCP server joined to the module
// framework.
//
// Every accepted client gets its own CKVRTcpCommMdl, registered with the
// command dealing module under the connection id; received bytes, written
// sends and the close of a connection are passed to that module. Without a
// command dealing module every client is refused, as nobody could answer it.
//
// Owned by the service manager, which gives it the command dealing module
// (SetCmdDealModule) before Listen, and stops it (Stop) before that module is
// destroyed. The storage function module's worker drives it: it calls
// PollFor(kQuietWaitMs) while the service runs, which returns as soon as there
// was something to do and sleeps otherwise. Listener
// callbacks run on that polling thread; Stop and the sends of the modules may
// come from any thread.
#ifndef KVR_PROTOCOL_TCP_KVR_TCP_SERVICE_H_
#define KVR_PROTOCOL_TCP_KVR_TCP_SERVICE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/mutex.h"
#include "protocol/tcp/control_counters.h"
#include "protocol/tcp/kvr_tcp_comm_mdl.h"
#include "protocol/tcp/tp_listener.h"
#include "protocol/tcp/tp_tcp_server.h"
#include "svrframe/cmd_deal_module.h"

class CKVRTcpService : public ITPListener, public TPTCPServer {
 public:
  static constexpr uint32_t kContext = 1;

  CKVRTcpService();
  // Stops, and refuses the sends of modules still waiting for their removal.
  ~CKVRTcpService() override;
  CKVRTcpService(const CKVRTcpService&) = delete;
  CKVRTcpService& operator=(const CKVRTcpService&) = delete;

  // Not owned; the connections' modules are registered with it.
  void SetCmdDealModule(SvrFrame::ICmdDealModule* cmdDeal) { cmdDeal_.store(cmdDeal); }
  // The access settings for connections made from now on (null: the design's).
  void SetAccess(std::shared_ptr<const SvrFrame::CAccessSettings> access);

  // Drops the connections whose modules asked for it (replies left unread
  // past the bound) and those silent for longer than the idle time-out.
  // Polling thread; does its walk at most once a second unless a drop waits.
  void Sweep();

  // Closes the listener and every connection and has the command dealing
  // module remove and release every connection's module.
  int Stop() override;

  int OnData(uint32_t context, int32_t connId, const char* data, int length) override;
  int OnClose(uint32_t context, int32_t connId) override;
  int OnConnect(uint32_t context, int32_t connId, const char* peerIp, uint16_t peerPort) override;
  int OnSent(uint32_t context, int32_t connId, int sequence) override;

  // Connections that have a module.
  size_t ModuleCount();
  // The control port's figures; its source may be set before the port opens.
  kvr::tcp::ControlCounters& Counters() { return *counters_; }

 private:
  const std::shared_ptr<kvr::tcp::CTcpSendLink> link_;
  const std::shared_ptr<kvr::tcp::ControlCounters> counters_;
  std::atomic<SvrFrame::ICmdDealModule*> cmdDeal_{nullptr};
  // Held while a module is called, so that Stop never releases one in use.
  platform::Mutex modulesMu_;
  std::map<int32_t, CKVRTcpCommMdl*> modules_ GUARDED_BY(modulesMu_);
  std::shared_ptr<const SvrFrame::CAccessSettings> access_ GUARDED_BY(modulesMu_);
  uint32_t lastSweep_ = 0;  // polling thread only
  bool capLogged_ GUARDED_BY(modulesMu_) = false;
};

#endif  // KVR_PROTOCOL_TCP_KVR_TCP_SERVICE_H_
