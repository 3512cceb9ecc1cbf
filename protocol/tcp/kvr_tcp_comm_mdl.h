// The communication module of one connected control client.
//
// Received bytes are gathered in a stream buffer and cut into whole HTTP
// messages; each becomes a data unit that the module sends into the
// framework, which routes it to the storage function module. Replies that
// the framework delivers here are printed and handed to the server one at a
// time, in the order they came, each when the one before has been written.
// The module answers nothing itself, except what the access settings refuse
// before it enters the framework: any command but Register and KeepAlive
// from a connection that has not registered (when only registered sessions
// may command), and StoreConfigSet when remote configuration is off. It
// writes the audit line of every command that changes something once its
// reply passes by (or at once when it refuses it), and asks the TCP service
// to drop the connection when more replies than allowed wait for a client
// that does not read them, or more requests than that wait for their replies.
//
// Made by the TCP service when a client connects and registered with the
// command dealing module under the connection id; the command dealing module
// destroys it after the connection closed. OnData and OnSent run on the
// server's polling thread (OnData with the server's client lock held);
// OnMessage may run on any delivery thread. The send lock serialises the
// send side; it is never held while calling the server.
#ifndef KVR_PROTOCOL_TCP_KVR_TCP_COMM_MDL_H_
#define KVR_PROTOCOL_TCP_KVR_TCP_COMM_MDL_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io/auto_buffer.h"
#include "platform/mutex.h"
#include "protocol/tcp/control_counters.h"
#include "protocol/tcp/tp_object.h"
#include "svrframe/access_settings.h"
#include "svrframe/comm_mdl.h"
#include "svrframe/read_write_mutex.h"

class IZETAPDU;

namespace kvr::tcp {

// The way from connection modules to the server holding their connections.
// The modules may outlive the server by the framework's grace period, so the
// server's owner detaches it before the server goes; a detached link
// refuses every send. Safe from any thread.
class CTcpSendLink {
 public:
  explicit CTcpSendLink(ITPObject* server) : server_(server) {}

  // The server's QueueSend, or kTPNoConnection once detached.
  int QueueSend(int32_t connId, const char* data, int length);
  // Waits for sends in progress, then refuses all later ones.
  void Detach();
  // The server's Wake, while attached.
  void Wake();

 private:
  platform::SharedMutex mu_;
  ITPObject* server_ GUARDED_BY(mu_);
};

}  // namespace kvr::tcp

class CKVRTcpCommMdl : public SvrFrame::CCommMdl {
 public:
  static constexpr char kName[] = "TcpCommMdl";
  // Received bytes held while no whole message is among them, at most.
  static constexpr int kStreamBufferSize = 102400;

  // Without `access` the design's settings hold.
  CKVRTcpCommMdl(std::shared_ptr<kvr::tcp::CTcpSendLink> link, uint32_t context, int32_t connId,
                 const char* peerIp, uint16_t peerPort,
                 std::shared_ptr<const SvrFrame::CAccessSettings> access = nullptr,
                 std::shared_ptr<kvr::tcp::ControlCounters> counters = nullptr);
  ~CKVRTcpCommMdl() override;

  int Destroy() override;
  // A unit for the client: printed and queued for sending. "MediaData" and
  // units of another protocol are ignored (0); -1 when it cannot be printed.
  int OnMessage(const SvrFrame::MessageRef& message) override;
  // The module runs no thread of its own.
  int Loop() override { return 0; }

  // Bytes received on the connection.
  void OnData(const char* data, int length);
  // The message handed to the server has been written; the next one goes.
  void OnSent(int sequence);

  int32_t GetConnectionId() const { return connId_; }
  uint32_t GetContext() const { return context_; }
  const std::string& GetPeerAddress() const { return peerAddress_; }
  uint16_t GetPeerPort() const { return peerPort_; }
  // Received bytes not yet part of a message (polling thread only).
  int HeldBytes() const { return streamCount_; }
  // Whether the connection should be dropped: its client left too many
  // replies unread or has too many requests unanswered. Any thread.
  bool WantsDrop() const { return wantsDrop_.load(); }
  // The tick (platform::TickCount) when the client last sent bytes.
  uint32_t LastActivityMs() const { return lastActivityMs_.load(); }
  bool IsRegistered() const { return registered_.load(); }

 private:
  // Hands on every whole message at the front of the stream buffer.
  void CutMessages();
  // The access settings' verdict on a request from this connection: 0 to
  // pass it on, else the result code of the refusal.
  int Refusal(IZETAPDU* unit) const;
  // Whether the service answers `unit` (the requests it ignores are not
  // counted in flight).
  static bool ExpectsReply(IZETAPDU* unit);
  // Prints `unit` and queues it for the client (or flags the connection for
  // dropping past the bound). False when it cannot be printed.
  bool Deliver(IZETAPDU* unit);
  // Queues bytes for the client, under the same bound.
  void DeliverBytes(CReferPtr<CAutoBuffer> buffer);
  // The bytes of an HTTP GET at the front of the held stream, when the
  // access settings answer them: how many make the request (0: not whole
  // yet, -1: not a GET), after queuing its answer.
  int TakeGet(const char* data, int length);
  // The audit text of a changing request ("" for one that changes nothing).
  std::string AuditText(IZETAPDU* unit) const;

  const std::string peerAddress_;
  const uint16_t peerPort_;
  const uint32_t context_;
  const int32_t connId_;
  const std::shared_ptr<kvr::tcp::CTcpSendLink> link_;

  // Grows with what is held, up to kStreamBufferSize and a NUL.
  std::vector<char> stream_;
  int streamCount_ = 0;

  const std::shared_ptr<const SvrFrame::CAccessSettings> access_;
  const std::shared_ptr<kvr::tcp::ControlCounters> counters_;
  std::atomic<bool> registered_{false};
  std::atomic<bool> wantsDrop_{false};
  // Requests passed on whose reply has not come back, about: a reply in
  // parts counts as one.
  std::atomic<int> inFlight_{0};
  std::atomic<uint32_t> lastActivityMs_;
  // Audit texts of changing requests whose replies have not passed yet, by
  // sequence; bounded like the reply queue.
  platform::Mutex auditMu_;
  std::map<std::string, std::string> pendingAudit_ GUARDED_BY(auditMu_);

  QWTools::CReadWriteMutex sendLock_;
  std::deque<CReferPtr<CAutoBuffer>> sendQueue_ GUARDED_BY(sendLock_);
  CReferPtr<CAutoBuffer> current_ GUARDED_BY(sendLock_);  // with the server
};

#endif  // KVR_PROTOCOL_TCP_KVR_TCP_COMM_MDL_H_
