#include "protocol/tcp/tp_tcp_server.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <utility>

#include "platform/debug_log.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace {

using kvr::tcp::kTPNoConnection;
using kvr::tcp::kTPSocketMode;
using kvr::tcp::TPConnection;
using kvr::tcp::TPLock;
using kvr::tcp::TPSendItem;

// The system keeps this many connections waiting for accept. A burst of
// clients beyond it would have their connects dropped and retried a second
// later, and a pass accepts only one client.
constexpr int kDefaultBacklog = 1024;
// Longest wait of a synchronous Send for a peer that takes no bytes.
constexpr int kSendStallMs = 5000;

// Connection ids of all servers in the process come from one counter.
std::atomic<uint32_t> g_lastConnectionId{0};

}  // namespace

TPTCPServer::TPTCPServer(uint32_t context, ITPListener* listener)
    : ITPObject(context, listener), backlog_(kDefaultBacklog) {}

TPTCPServer::~TPTCPServer() { CloseAll(); }

int TPTCPServer::Listen(const char* ip, unsigned port) {
  std::vector<std::string> addresses;
  if (ip != nullptr) addresses.emplace_back(ip);
  return ListenOn(addresses, port);
}

int TPTCPServer::ListenOn(const std::vector<std::string>& addresses, unsigned port) {
  CloseListeners();
  const bool everywhere = addresses.empty();
  const std::vector<std::string> wanted =
      everywhere ? std::vector<std::string>{"0.0.0.0", "::"} : addresses;
  std::vector<platform::SocketFd> opened;
  const auto fail = [&](int result) {
    for (const platform::SocketFd fd : opened) platform::CloseSocket(fd);
    CloseAll();
    return result;
  };
  if (port > 65535) return fail(-1);
  auto bound = static_cast<uint16_t>(port);
  for (const std::string& text : wanted) {
    platform::SocketAddress address;
    if (!platform::ParseAddress(text.c_str(), bound, &address)) return fail(-1);
    const platform::SocketFd fd = platform::OpenTcpSocketFor(address);
    // A system without IPv6 still has every IPv4 interface.
    const auto noIPv6 = [&] {
      const int error = platform::LastSocketError();
      return everywhere && address.IsIPv6() && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL);
    };
    if (fd == platform::kInvalidSocket) {
      if (noIPv6()) continue;
      return fail(-1);
    }
    if (!platform::SetReuseAddress(fd)) {
      platform::CloseSocket(fd);
      return fail(-1);
    }
    opened.push_back(fd);
    if (!platform::SetNonBlocking(fd)) return fail(kTPSocketMode);
    if (!platform::BindTo(fd, address)) {
      if (!noIPv6()) return fail(-1);
      opened.pop_back();
      platform::CloseSocket(fd);
      continue;
    }
    if (!platform::ListenOn(fd, backlog_)) return fail(-1);
    ApplyBufferOptions(fd);
    if (bound == 0) bound = platform::NetToHost16(platform::LocalPort(fd));
  }
  if (opened.empty()) return fail(-1);
  {
    TPLock guard(clientLock_);
    listenSockets_ = opened;
    listenPort_.store(bound);
    listening_.store(true);
  }
  return opened.front();
}

void TPTCPServer::ApplyBufferOptions(platform::SocketFd fd) {
  if (receiveBufferSize_ > 0) platform::SetBufferSize(fd, false, receiveBufferSize_);
  if (sendBufferSize_ > 0) platform::SetBufferSize(fd, true, sendBufferSize_);
  if (dontLinger_ == 0) platform::SetAbortiveClose(fd);
}

int TPTCPServer::Poll() { return Pass(pollTimeoutMs_); }

int TPTCPServer::PollFor(int waitMs) {
  const int result = Pass(waitMs);
  // Not listening (stopped, or not yet): the caller's loop looks again soon.
  if (result < 0 && waitMs > 0)
    platform::SleepMs(static_cast<uint32_t>(std::min(waitMs, kIdleWaitMs)));
  return result;
}

int TPTCPServer::Pass(int waitMs) {
  if (!listening_.load()) return -1;
  const uint64_t queuedBefore = queued_.load();
  BuildPollSet();
  if (partialPollSet_) waitMs = std::min(waitMs, kIdleWaitMs);
  if (acceptPaused_) {
    const auto left = static_cast<int32_t>(acceptPausedUntil_ - platform::TickCount());
    waitMs = std::min(waitMs, std::max<int32_t>(left, 0) + 1);
  }
  int ready = 0;
  bool queuedMeanwhile = false;
  if (waitMs > 0 && wakePolled_) {
    pollerWaiting_.store(true);
    // A send queued after the set was built has no socket in it: do not sleep on it.
    queuedMeanwhile = queued_.load() != queuedBefore;
    ready = pollSet_.Wait(queuedMeanwhile ? 0 : waitMs);
    pollerWaiting_.store(false);
  } else {
    ready = pollSet_.Wait(std::max(waitMs, 0));
  }
  if (ready < 0) {
    platform::DebugOutput("TPTCPServer^_^select error\n");
    return -1;
  }
  if (ready == 0 && !queuedMeanwhile) return 1;
  // A send queued since the set was built is written below, in this pass:
  // a fresh item needs no poll to be tried.
  if (wakePolled_ && pollSet_.Readable(wakeIndex_)) waker_.Drain();
  for (const ListenEntry& entry : listenEntries_) {
    if (pollSet_.Readable(entry.index)) AcceptOne(entry.fd);
  }
  ReadReady();
  WriteReady();
  return 0;
}

void TPTCPServer::BuildPollSet() {
  pollSet_.Clear();
  readEntries_.clear();
  writeEntries_.clear();
  listenEntries_.clear();
  // The tick wraps: the pause is over once the difference turns non-negative.
  if (acceptPaused_ && static_cast<int32_t>(platform::TickCount() - acceptPausedUntil_) >= 0) {
    acceptPaused_ = false;
  }
  wakePolled_ = waker_.Fd() >= 0;
  if (wakePolled_) wakeIndex_ = pollSet_.Add(waker_.Fd(), true, false);

  {
    TPLock guard(clientLock_);
    if (!acceptPaused_) {
      for (const platform::SocketFd fd : listenSockets_) {
        listenEntries_.push_back({pollSet_.Add(fd, true, false), fd});
      }
    }
    // The listen sockets take places of the read set.
    const size_t readRoom = kMaxPollSockets - std::min(listenSockets_.size(), kMaxPollSockets - 1);
    const size_t count = clients_.size();
    const size_t take = std::min(count, readRoom);
    if (count > 0) {
      readStart_ %= count;
      auto it = std::next(clients_.begin(), static_cast<std::ptrdiff_t>(readStart_));
      for (size_t i = 0; i < take; ++i, ++it) {
        if (it == clients_.end()) it = clients_.begin();
        readEntries_.push_back({pollSet_.Add(it->second.socket, true, false), it->first});
      }
      readStart_ = count > take ? readStart_ + take : 0;
    }
    partialPollSet_ = count > take;
  }
  {
    TPLock guard(queueLock_);
    const size_t count = sendQueues_.size();
    const size_t take = std::min(count, kMaxPollSockets);
    if (count > 0) {
      writeStart_ %= count;
      auto it = std::next(sendQueues_.begin(), static_cast<std::ptrdiff_t>(writeStart_));
      for (size_t i = 0; i < take; ++i, ++it) {
        if (it == sendQueues_.end()) it = sendQueues_.begin();
        if (it->second.empty()) continue;
        writeEntries_.push_back({pollSet_.Add(it->second.front().socket, false, true), it->first});
      }
      writeStart_ = count > take ? writeStart_ + take : 0;
    }
    partialPollSet_ = partialPollSet_ || count > take;
  }
}

int32_t TPTCPServer::NewConnectionId() {
  // 1 to INT32_MAX, skipping ids still in use after the counter went round.
  for (;;) {
    const uint32_t n = g_lastConnectionId.fetch_add(1) % static_cast<uint32_t>(INT32_MAX);
    const auto id = static_cast<int32_t>(n + 1);
    if (clients_.count(id) == 0) return id;
  }
}

void TPTCPServer::AcceptOne(platform::SocketFd listenFd) {
  platform::SocketAddress peer;
  platform::SocketFd fd = platform::kInvalidSocket;
  int32_t id = 0;
  {
    TPLock guard(clientLock_);
    // Stopped since the set was built: the number may name another socket now.
    if (std::find(listenSockets_.begin(), listenSockets_.end(), listenFd) == listenSockets_.end()) {
      return;
    }
    fd = platform::AcceptPeer(listenFd, &peer);
    if (fd == platform::kInvalidSocket) {
      const int error = platform::LastSocketError();
      if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR) {
        return;
      }
      // Out of descriptors (or memory) the waiting client stays queued and
      // the listener stays readable: polling it again at once would spin.
      // The connections that exist go on being served meanwhile.
      acceptPausedUntil_ = platform::TickCount() + kAcceptBackoffMs;
      acceptPaused_ = true;
      if (!acceptFailureLogged_) {
        acceptFailureLogged_ = true;
        platform::AuditPrintf(
            "accepting clients failed (%s): new clients wait, retried every %d ms",
            platform::ErrorText(error).c_str(), kAcceptBackoffMs);
      }
      return;
    }
    acceptFailureLogged_ = false;
    id = NewConnectionId();
  }
  const std::string ip = platform::AddressText(peer);
  ITPListener* listener = listener_;
  if (listener == nullptr ||
      listener->OnConnect(context_, id, ip.c_str(), platform::AddressPort(peer)) != 0) {
    platform::DebugOutput("client error, refuse it!\n");
    platform::CloseSocket(fd);
    return;
  }
  if (!platform::SetNoDelay(fd)) platform::DebugOutput("error setsockopt nodelay");
  ApplyBufferOptions(fd);
  TPLock guard(clientLock_);
  clients_[id] = TPConnection{peer, fd, id, 1};
}

void TPTCPServer::ReadReady() {
  int32_t closed = 0;
  for (const PollEntry& entry : readEntries_) {
    if (!pollSet_.Readable(entry.index)) continue;
    // The lock is taken per connection, not for the whole walk: replies
    // queued from other threads (QueueSend takes it too) get in between the
    // parses of one pass instead of waiting for all of them.
    TPLock guard(clientLock_);
    // A connection closed by another thread since the set was built is
    // gone from the map; its descriptor may already name something else.
    auto it = clients_.find(entry.connId);
    if (it == clients_.end()) continue;
    const long n =
        platform::Receive(it->second.socket, readBuffer_, static_cast<size_t>(readBufferSize_ - 1));
    if (n > 0) {
      readBuffer_[n] = '\0';
      if (listener_ != nullptr) {
        listener_->OnData(context_, entry.connId, readBuffer_, static_cast<int>(n));
      }
    } else if (n == 0 || n == platform::kSocketError) {
      // One closed connection per pass; the other ready ones are served next time.
      closed = entry.connId;
      break;
    }
  }
  if (closed != 0) {
    if (listener_ != nullptr) listener_->OnClose(context_, closed);
    CloseConnection(closed);
  }
}

bool TPTCPServer::WriteSome(TPSendItem& item) {
  while (item.written < item.length) {
    const long n = platform::SendSome(item.socket, item.data + item.written,
                                      static_cast<size_t>(item.length - item.written));
    if (n == platform::kSocketWouldBlock) return false;  // the rest when the peer takes it
    if (n < 0) {
      platform::DebugOutput("[TCP Server ]sendto Error!\n");
      return true;
    }
    item.written += static_cast<int>(n);
  }
  return true;
}

void TPTCPServer::WriteReady() {
  std::vector<TPSendItem> done;
  {
    TPLock guard(queueLock_);
    for (const PollEntry& entry : writeEntries_) {
      if (!pollSet_.Writable(entry.index)) continue;
      auto it = sendQueues_.find(entry.connId);
      if (it != sendQueues_.end() && !it->second.empty()) it->second.front().stalled = false;
    }
    // Every queue's first item is tried unless its peer was full last time;
    // items queued while this pass waited or read go out now rather than
    // one more poll later.
    for (auto it = sendQueues_.begin(); it != sendQueues_.end();) {
      if (it->second.empty()) {
        it = sendQueues_.erase(it);
        continue;
      }
      TPSendItem& item = it->second.front();
      // A peer that does not read keeps its item here, part-written, and
      // holds up nobody else.
      if (item.stalled || !WriteSome(item)) {
        item.stalled = true;
        ++it;
        continue;
      }
      done.push_back(item);
      it->second.pop_front();
      it = it->second.empty() ? sendQueues_.erase(it) : std::next(it);
    }
  }
  ITPListener* listener = listener_;
  if (listener == nullptr) return;
  for (const TPSendItem& item : done) listener->OnSent(context_, item.connId, item.sequence);
}

int TPTCPServer::Send(int32_t connId, const char* data, int length) {
  if (data == nullptr || length <= 0) return 0;
  clientLock_.Lock();
  auto it = clients_.find(connId);
  if (it == clients_.end()) {
    clientLock_.Unlock();
    return -1;
  }
  const platform::SocketFd fd = it->second.socket;
  if (fd == platform::kInvalidSocket) {
    platform::DebugOutput("TPTCPServer^_^socket invalid\n");
    clientLock_.Unlock();
    CloseConnection(connId);
    return kTPNoConnection;
  }
  int written = 0;
  while (written < length) {
    const long n = platform::SendSome(fd, data + written, static_cast<size_t>(length - written));
    if (n == platform::kSocketWouldBlock) {
      if (platform::WaitWritable(fd, kSendStallMs)) continue;
    } else if (n >= 0) {
      written += static_cast<int>(n);
      continue;
    }
    platform::DebugOutput("[TCP Server ]sendto Error!\n");
    break;
  }
  clientLock_.Unlock();
  return length;
}

int TPTCPServer::NextSequence() {
  TPLock guard(sequenceLock_);
  sequence_ = sequence_ == 65534 ? 0 : static_cast<uint16_t>(sequence_ + 1);
  return sequence_;
}

int TPTCPServer::QueueSend(int32_t connId, const char* data, int length) {
  if (length < 0 || (data == nullptr && length > 0)) return -1;
  int sequence = 0;
  {
    // The queue lock is taken inside the client lock, so that a connection
    // closed on another thread cannot be given a queue after its close.
    TPLock clientGuard(clientLock_);
    auto it = clients_.find(connId);
    if (it == clients_.end()) return kTPNoConnection;
    sequence = NextSequence();
    TPLock queueGuard(queueLock_);
    sendQueues_[connId].push_back(TPSendItem{length, connId, it->second.socket, sequence, data, 0});
  }
  queued_.fetch_add(1);
  if (pollerWaiting_.load()) waker_.Notify();
  return sequence;
}

int TPTCPServer::CloseConnection(int32_t connId) {
  platform::SocketFd fd = platform::kInvalidSocket;
  {
    TPLock clientGuard(clientLock_);
    auto it = clients_.find(connId);
    if (it == clients_.end()) return -1;
    fd = it->second.socket;
    clients_.erase(it);
    // The queued items go unreported: their bytes die with the connection.
    TPLock queueGuard(queueLock_);
    sendQueues_.erase(connId);
  }
  platform::CloseSocket(fd);
  return 0;
}

int TPTCPServer::Stop() {
  const int result = CloseAll();
  // A poll on sockets closed under it would sleep out its wait.
  waker_.Notify();
  return result;
}

int TPTCPServer::SetBufferSize(int kind, int size) {
  if (kind != 1 && kind != 2) return -1;
  if (size > 65535) return -2;
  (kind == 1 ? sendBufferSize_ : receiveBufferSize_) = size;
  return 0;
}

int TPTCPServer::SetReadBufferSize(int size) {
  // One byte is kept for the NUL written after the data, so a read needs two.
  if (size < 2 || size > 1048575) return -1;
  char* buffer = new (std::nothrow) char[size];
  if (buffer == nullptr) return -2;
  if (readBufferOwned_) delete[] readBuffer_;
  readBuffer_ = buffer;
  readBufferSize_ = size;
  readBufferOwned_ = true;
  return 0;
}

int TPTCPServer::SetReadBuffer(char* buffer, int size) {
  if (buffer == nullptr || size < 2) return -1;
  if (readBufferOwned_) delete[] readBuffer_;
  readBuffer_ = buffer;
  readBufferSize_ = size;
  readBufferOwned_ = false;
  return 0;
}

size_t TPTCPServer::ConnectionCount() {
  TPLock guard(clientLock_);
  return clients_.size();
}

size_t TPTCPServer::QueuedCount(int32_t connId) {
  TPLock guard(queueLock_);
  auto it = sendQueues_.find(connId);
  return it == sendQueues_.end() ? 0 : it->second.size();
}
