// The TCP server of the control port: a listen socket per address (IPv4 or
// IPv6), many clients, no thread of its own.
//
// One outside thread drives the server by calling Poll (or PollFor) again and
// again; each pass accepts at most one client per listen socket, reads from the ready clients
// and writes at most one queued item per client (also one queued while the
// pass waited or read), and all listener callbacks happen inside it. The
// server knows nothing of what the bytes mean.
//
// Threads: Poll, PollFor and the setters belong to the polling thread (the
// setters may also be used before polling starts). QueueSend, Send,
// CloseConnection and Stop are safe from any thread. Three locks: the client
// lock (connections), the queue lock (send queues) and the sequence lock;
// they are recursive, and the only place two are held together is the
// polling thread (a listener's OnData queueing a send). The read walk holds
// the client lock for one connection at a time, OnData included.
//
// A connection id names a live connection only: ids are never 0 or
// negative, never reused while their connection lives, and an id that names
// nothing is refused.
#ifndef KVR_PROTOCOL_TCP_TP_TCP_SERVER_H_
#define KVR_PROTOCOL_TCP_TP_TCP_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "protocol/tcp/tp_object.h"

class TPTCPServer : public ITPObject {
 public:
  // Most sockets polled for reading, and most for writing, in one pass. A
  // pass that cannot take them all starts further along the next time, so
  // every client is served.
  static constexpr size_t kMaxPollSockets = 2000;
  // The idle wait of a polling loop: a pass that found nothing to do may
  // wait this long for a socket to become ready.
  static constexpr int kIdleWaitMs = 15;
  // The wait of a polling loop with nothing to do at all. Whatever the
  // sockets do not show wakes the wait (a send queued, Wake, the server
  // stopped), and a pass that could not poll every socket, or whose accepting
  // is paused, waits kIdleWaitMs or until the pause ends at most: this is only
  // how often housekeeping such as the idle time-out looks.
  static constexpr int kQuietWaitMs = 1000;

  // `listener` may be null: then every client is refused.
  TPTCPServer(uint32_t context, ITPListener* listener);
  ~TPTCPServer() override;

  // Listens on `ip` (an IPv4 or IPv6 address; null = every interface) and
  // `port`; port 0 takes a free one (see GetListenPort). Returns a listen
  // socket, -1 (everything closed) or kTPSocketMode.
  int Listen(const char* ip, unsigned port) override;
  // The same on each of `addresses` at one port (the free one the first
  // found, for port 0). None: every interface, IPv4's and IPv6's (the
  // latter left out on a system without IPv6). An address that does not
  // parse or bind fails the whole call.
  int ListenOn(const std::vector<std::string>& addresses, unsigned port);
  // One pass with the configured wait (none by default): 1 when nothing was
  // ready, 0 after handling events, -1 when not listening or polling failed.
  int Poll() override;
  // One pass that waits up to `waitMs` for a socket to become ready or a send
  // to be queued. A failing pass waits out the time before it returns -1, so
  // a loop that simply polls again does not spin.
  int PollFor(int waitMs);
  // Safe from any thread.
  void Wake() override { waker_.Notify(); }
  // Writes all bytes now, waiting for a slow peer (with the client lock held)
  // until it takes nothing for 5 s. `length` when done (a send error is only logged);
  // 0 for no data; -1 for an unknown connection; kTPNoConnection when the
  // connection has no socket (the connection is then closed).
  int Send(int32_t connId, const char* data, int length) override;
  // Queues the bytes (which must stay valid until OnSent or the connection's
  // close). Returns the sequence number (0 to 65534), kTPNoConnection for
  // an unknown connection, -1 for negative length or missing bytes.
  int QueueSend(int32_t connId, const char* data, int length) override;
  // 0, or -1 for an unknown connection. Queued items are dropped unreported.
  int CloseConnection(int32_t connId) override;
  // Closes every connection and the listen socket and drops every queued item.
  int Stop() override;

  // kind 1 = SO_SNDBUF, 2 = SO_RCVBUF; -2 for a size above 65535, -1 for another kind.
  int SetBufferSize(int kind, int size);
  // 1 to 1048575 bytes, else -1; -2 when no memory.
  int SetReadBufferSize(int size);
  // Reads into `buffer` (of `size` bytes, at least 2) from now on; the caller keeps it.
  int SetReadBuffer(char* buffer, int size);
  void SetListener(ITPListener* listener) { listener_ = listener; }
  // The wait of Poll(); 0 = none.
  void SetPollTimeout(int ms) { pollTimeoutMs_ = ms; }
  // Connections to accept waiting in the system, at most.
  void SetBacklog(int backlog) { backlog_ = backlog; }

  bool IsListening() const { return listening_.load(); }
  // The port listened on, host order; 0 when not listening.
  unsigned GetListenPort() const { return listening_.load() ? listenPort_.load() : 0; }
  size_t ConnectionCount();
  // Items waiting for the connection (the one being written included).
  size_t QueuedCount(int32_t connId);

 private:
  int Pass(int waitMs);
  void BuildPollSet();
  void AcceptOne(platform::SocketFd listenFd);
  void ApplyBufferOptions(platform::SocketFd fd);
  void ReadReady();
  void WriteReady();
  // Writes what the socket takes now; true when the item is out (or failed).
  bool WriteSome(kvr::tcp::TPSendItem& item);
  int NextSequence();
  int32_t NewConnectionId() REQUIRES(clientLock_);

  struct PollEntry {
    size_t index;    // in pollSet_
    int32_t connId;  // 0 for the waker
  };
  struct ListenEntry {
    size_t index;  // in pollSet_
    platform::SocketFd fd;
  };

  // How long the listener rests after accept failed for want of descriptors.
  static constexpr int kAcceptBackoffMs = 100;

  int backlog_;
  bool acceptPaused_ = false;  // polling thread only, like the three below
  uint32_t acceptPausedUntil_ = 0;
  bool acceptFailureLogged_ = false;
  platform::PollSet pollSet_;  // polling thread only
  std::vector<PollEntry> readEntries_;
  std::vector<PollEntry> writeEntries_;
  std::vector<ListenEntry> listenEntries_;
  size_t wakeIndex_ = 0;
  bool wakePolled_ = false;
  size_t readStart_ = 0;  // rotation of the clients beyond kMaxPollSockets
  size_t writeStart_ = 0;
  platform::PollWaker waker_;
  std::atomic<bool> pollerWaiting_{false};
  bool partialPollSet_ = false;      // polling thread: some sockets wait their turn
  std::atomic<uint64_t> queued_{0};  // sends queued so far
};

#endif  // KVR_PROTOCOL_TCP_TP_TCP_SERVER_H_
