// The connection-holding base of the TCP server.
//
// ITPObject keeps what every socket object has: the listen sockets and their
// port, the connections by id, the send queues, the sequence
// counter of queued sends, the socket options applied to every socket and
// the read buffer. The operations a concrete object does not support answer
// kTPNotSupported. The owner makes and destroys it; see TPTCPServer for which
// threads may call what.
#ifndef KVR_PROTOCOL_TCP_TP_OBJECT_H_
#define KVR_PROTOCOL_TCP_TP_OBJECT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "platform/socket.h"
#include "protocol/tcp/tp_listener.h"
#include "svrframe/thread_mutex.h"

namespace kvr::tcp {

// Results of the socket objects besides their own.
inline constexpr int kTPNotSupported = -101;
inline constexpr int kTPNoConnection = -102;
inline constexpr int kTPSocketMode = -103;

// One accepted client.
struct TPConnection {
  platform::SocketAddress peer;
  platform::SocketFd socket = platform::kInvalidSocket;
  int32_t id = 0;
  int state = 0;  // 1 once accepted
};

// One queued send. The bytes belong to the caller until the item is reported
// sent or its connection is closed.
struct TPSendItem {
  int length = 0;
  int32_t connId = 0;
  platform::SocketFd socket = platform::kInvalidSocket;
  int sequence = 0;
  const char* data = nullptr;
  int written = 0;  // bytes already out, when the peer could not take all at once
  // The peer's buffer was full at the last try: the item waits until the
  // socket polls writable instead of being tried again on every pass.
  bool stalled = false;
};

// Holds a CThreadMutex for a scope.
class SCOPED_CAPABILITY TPLock {
 public:
  explicit TPLock(CThreadMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~TPLock() RELEASE() { mutex_.Unlock(); }
  TPLock(const TPLock&) = delete;
  TPLock& operator=(const TPLock&) = delete;

 private:
  CThreadMutex& mutex_;
};

}  // namespace kvr::tcp

class ITPObject {
 public:
  ITPObject(uint32_t context, ITPListener* listener);
  // Closes every socket and drops the queued sends (nothing is reported).
  virtual ~ITPObject();
  ITPObject(const ITPObject&) = delete;
  ITPObject& operator=(const ITPObject&) = delete;

  virtual int CloseConnection(int32_t connId) {
    (void)connId;
    return kvr::tcp::kTPNotSupported;
  }
  virtual int Listen(const char* ip, unsigned port) {
    (void)ip;
    (void)port;
    return kvr::tcp::kTPNotSupported;
  }
  // Outgoing connections are not made by this service.
  virtual int Connect(const char* ip, unsigned port, const char* localIp, unsigned localPort) {
    (void)ip, (void)port, (void)localIp, (void)localPort;
    return kvr::tcp::kTPNotSupported;
  }
  virtual int Connect(const char* ip, unsigned port) {
    (void)ip, (void)port;
    return kvr::tcp::kTPNotSupported;
  }
  virtual int QueueSend(int32_t connId, const char* data, int length) = 0;
  virtual int Stop() { return 0; }
  virtual int Poll() = 0;
  // Ends a wait of the polling thread early, so that a change it cannot see
  // in its sockets (a connection flagged for dropping) is acted on now.
  virtual void Wake() {}
  virtual int Send(int32_t connId, const char* data, int length) = 0;

  uint32_t GetContext() const { return context_; }

 protected:
  // Closes every client socket and the listen socket and drops every queued
  // send; returns the result of closing the listen sockets (0 without any).
  int CloseAll();
  // Closes the listen sockets only; the first failed close's result, or 0.
  int CloseListeners();

  CThreadMutex clientLock_;
  // One per listened address. The polling thread reads them under the
  // client lock, as another thread may stop the server meanwhile.
  std::vector<platform::SocketFd> listenSockets_ GUARDED_BY(clientLock_);
  std::atomic<bool> listening_{false};
  std::atomic<uint16_t> listenPort_{0};  // host order
  ITPListener* listener_;

  std::map<int32_t, kvr::tcp::TPConnection> clients_ GUARDED_BY(clientLock_);
  CThreadMutex queueLock_;
  std::map<int32_t, std::deque<kvr::tcp::TPSendItem>> sendQueues_
      GUARDED_BY(queueLock_);  // by connection

  const uint32_t context_;
  CThreadMutex sequenceLock_;
  uint16_t sequence_ GUARDED_BY(sequenceLock_) = 0;

  int receiveBufferSize_ = 65536;
  int sendBufferSize_ = 65536;
  int readBufferSize_ = 32768;
  bool readBufferOwned_ = true;
  int dontLinger_ = 0;
  int pollTimeoutMs_ = 0;
  char* readBuffer_ = nullptr;
};

#endif  // KVR_PROTOCOL_TCP_TP_OBJECT_H_
