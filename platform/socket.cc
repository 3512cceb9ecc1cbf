#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {
namespace {

bool SetIntOption(SocketFd fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

}  // namespace

SocketFd OpenTcpSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd >= 0 ? fd : kInvalidSocket;
}

int CloseSocket(SocketFd fd) {
  if (fd < 0) return EBADF;
  // After a close interrupted by a signal the descriptor is gone all the same
  // on this system, so it is never closed twice.
  return close(fd) == 0 || errno == EINTR ? 0 : errno;
}

bool SetNonBlocking(SocketFd fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetReuseAddress(SocketFd fd) { return SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1); }

bool SetNoDelay(SocketFd fd) { return SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

bool SetBufferSize(SocketFd fd, bool send, int bytes) {
  return SetIntOption(fd, SOL_SOCKET, send ? SO_SNDBUF : SO_RCVBUF, bytes);
}

bool SetAbortiveClose(SocketFd fd) {
  linger value{};
  value.l_onoff = 1;
  value.l_linger = 0;
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value)) == 0;
}

bool BindIPv4(SocketFd fd, uint32_t addressNet, uint16_t portNet) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNet;
  address.sin_port = portNet;
  return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool ListenOn(SocketFd fd, int backlog) { return listen(fd, backlog) == 0; }

bool ConnectIPv4(SocketFd fd, uint32_t addressNet, uint16_t portNet) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNet;
  address.sin_port = portNet;
  return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

uint16_t LocalPort(SocketFd fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return address.sin_port;
}

SocketFd AcceptClient(SocketFd listener, uint32_t* addressNet, uint16_t* portNet) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
  if (addressNet != nullptr) *addressNet = address.sin_addr.s_addr;
  if (portNet != nullptr) *portNet = address.sin_port;
  return fd;
}

long Receive(SocketFd fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = recv(fd, buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kSocketWouldBlock : kSocketError;
  }
}

long SendSome(SocketFd fd, const void* data, size_t size) {
  for (;;) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kSocketWouldBlock : kSocketError;
  }
}

bool WaitWritable(SocketFd fd, int ms) {
  pollfd entry{fd, POLLOUT, 0};
  const int n = poll(&entry, 1, ms);
  return n == 1 && (entry.revents & POLLOUT) != 0;
}

int LastSocketError() { return errno; }

bool ParseIPv4(const char* text, uint32_t* addressNet) {
  in_addr address{};
  if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) return false;
  *addressNet = address.s_addr;
  return true;
}

void FormatIPv4(uint32_t addressNet, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  in_addr address{};
  address.s_addr = addressNet;
  if (inet_ntop(AF_INET, &address, out, static_cast<socklen_t>(size)) == nullptr) out[0] = '\0';
}

uint16_t HostToNet16(uint16_t value) { return htons(value); }
uint16_t NetToHost16(uint16_t value) { return ntohs(value); }

struct PollSet::Entries {
  std::vector<pollfd> fds;
};

PollSet::PollSet() : entries_(std::make_unique<Entries>()) {}
PollSet::~PollSet() = default;

void PollSet::Clear() { entries_->fds.clear(); }

size_t PollSet::Add(int fd, bool read, bool write) {
  short events = 0;
  if (read) events |= POLLIN;
  if (write) events |= POLLOUT;
  entries_->fds.push_back(pollfd{fd, events, 0});
  return entries_->fds.size() - 1;
}

size_t PollSet::Size() const { return entries_->fds.size(); }

int PollSet::Wait(int ms) {
  const int n = poll(entries_->fds.data(), entries_->fds.size(), ms);
  if (n >= 0) return n;
  return errno == EINTR ? 0 : -1;
}

bool PollSet::Readable(size_t index) const {
  const pollfd& entry = entries_->fds[index];
  return (entry.events & POLLIN) != 0 &&
         (entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool PollSet::Writable(size_t index) const {
  const pollfd& entry = entries_->fds[index];
  return (entry.events & POLLOUT) != 0 &&
         (entry.revents & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

PollWaker::PollWaker() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PollWaker::~PollWaker() {
  if (fd_ >= 0) close(fd_);
}

void PollWaker::Notify() {
  if (fd_ < 0) return;
  const uint64_t one = 1;
  // A full counter already wakes the poller; nothing else can go wrong here.
  [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof(one));
}

void PollWaker::Drain() {
  if (fd_ < 0) return;
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = read(fd_, &count, sizeof(count));
}

}  // namespace platform
