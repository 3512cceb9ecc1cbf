#include "platform/host_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool ResolveAddress(const char* host, uint16_t port, SocketAddress* address, std::string* error) {
  if (host == nullptr || *host == '\0') {
    if (error != nullptr) *error = "no host name";
    return false;
  }
  if (ParseAddress(host, port, address)) return true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(host, nullptr, &hints, &found);
  if (result != 0 || found == nullptr) {
    if (error != nullptr) *error = gai_strerror(result);
    return false;
  }
  const bool fits = found->ai_addrlen <= sizeof(address->storage);
  if (fits) {
    *address = SocketAddress();
    std::memcpy(address->storage, found->ai_addr, found->ai_addrlen);
    address->length = static_cast<uint32_t>(found->ai_addrlen);
    SetAddressPort(address, port);
  } else if (error != nullptr) {
    *error = "an address of an unknown kind";
  }
  freeaddrinfo(found);
  return fits;
}

namespace {

// Connects and waits for the outcome within `ms`.
int ConnectRaw(SocketFd fd, const sockaddr* address, socklen_t length, int ms) {
  if (!SetNonBlocking(fd)) return errno;
  if (connect(fd, address, length) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  pollfd entry{fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&entry, 1, ms);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return ETIMEDOUT;
  if (ready < 0) return errno;
  int error = 0;
  socklen_t size = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

}  // namespace

int ConnectWithin(SocketFd fd, const SocketAddress& address, int ms) {
  if (address.length == 0) return EAFNOSUPPORT;
  return ConnectRaw(fd, reinterpret_cast<const sockaddr*>(address.storage), address.length, ms);
}

int ConnectIPv4Within(SocketFd fd, uint32_t addressNet, uint16_t portNet, int ms) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNet;
  address.sin_port = portNet;
  return ConnectRaw(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address), ms);
}

}  // namespace platform
