#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {
namespace {

static_assert(sizeof(sockaddr_in6) <= sizeof(SocketAddress::storage));
static_assert(sizeof(sockaddr_in) <= sizeof(SocketAddress::storage));

bool SetIntOption(SocketFd fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

const sockaddr* Raw(const SocketAddress& address) {
  return reinterpret_cast<const sockaddr*>(address.storage);
}

int Family(const SocketAddress& address) {
  return address.length >= sizeof(sa_family_t) ? Raw(address)->sa_family : AF_UNSPEC;
}

}  // namespace

bool SocketAddress::IsIPv6() const { return Family(*this) == AF_INET6; }

SocketFd OpenTcpSocketFor(const SocketAddress& address) {
  const int family = Family(address);
  if (family != AF_INET && family != AF_INET6) {
    errno = EAFNOSUPPORT;
    return kInvalidSocket;
  }
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return kInvalidSocket;
  if (family == AF_INET6 && !SetIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1)) {
    const int error = errno;
    close(fd);
    errno = error;
    return kInvalidSocket;
  }
  return fd;
}

bool BindTo(SocketFd fd, const SocketAddress& address) {
  return address.length > 0 && bind(fd, Raw(address), address.length) == 0;
}

SocketFd AcceptPeer(SocketFd listener, SocketAddress* peer) {
  sockaddr_storage from{};
  socklen_t length = sizeof(from);
  const int fd =
      accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
  if (peer != nullptr) {
    *peer = SocketAddress();
    const size_t kept = std::min<size_t>(length, sizeof(peer->storage));
    std::memcpy(peer->storage, &from, kept);
    peer->length = static_cast<uint32_t>(kept);
  }
  return fd;
}

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
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET6) return reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
  return reinterpret_cast<sockaddr_in*>(&address)->sin_port;
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

bool ParseAddress(const char* text, uint16_t port, SocketAddress* out) {
  if (text == nullptr || *text == '\0') return false;
  std::string literal(text);
  // An IPv6 address in brackets, as it is written beside a port.
  if (literal.front() == '[') {
    if (literal.size() < 3 || literal.back() != ']') return false;
    literal = literal.substr(1, literal.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(literal.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const bool fits = found->ai_addrlen <= sizeof(out->storage) &&
                    (found->ai_family == AF_INET || found->ai_family == AF_INET6);
  if (fits) {
    *out = SocketAddress();
    std::memcpy(out->storage, found->ai_addr, found->ai_addrlen);
    out->length = static_cast<uint32_t>(found->ai_addrlen);
    SetAddressPort(out, port);
  }
  freeaddrinfo(found);
  return fits;
}

std::string AddressText(const SocketAddress& address) {
  char text[INET6_ADDRSTRLEN + 1] = "";
  if (Family(address) == AF_INET && address.length >= sizeof(sockaddr_in)) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address.storage);
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text)) == nullptr) return "";
  } else if (Family(address) == AF_INET6 && address.length >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address.storage);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      if (inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof(text)) == nullptr) return "";
    } else if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text)) == nullptr) {
      return "";
    }
  }
  return text;
}

uint16_t AddressPort(const SocketAddress& address) {
  if (Family(address) == AF_INET && address.length >= sizeof(sockaddr_in)) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(address.storage)->sin_port);
  }
  if (Family(address) == AF_INET6 && address.length >= sizeof(sockaddr_in6)) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address.storage)->sin6_port);
  }
  return 0;
}

void SetAddressPort(SocketAddress* address, uint16_t port) {
  if (Family(*address) == AF_INET && address->length >= sizeof(sockaddr_in)) {
    reinterpret_cast<sockaddr_in*>(address->storage)->sin_port = htons(port);
  } else if (Family(*address) == AF_INET6 && address->length >= sizeof(sockaddr_in6)) {
    reinterpret_cast<sockaddr_in6*>(address->storage)->sin6_port = htons(port);
  }
}

std::string EndpointText(const std::string& address, uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

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
