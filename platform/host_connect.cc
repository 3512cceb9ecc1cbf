#include "platform/host_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {

bool ResolveIPv4(const char* host, uint32_t* addressNet, std::string* error) {
  if (host == nullptr || *host == '\0') {
    if (error != nullptr) *error = "no host name";
    return false;
  }
  if (ParseIPv4(host, addressNet)) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(host, nullptr, &hints, &found);
  if (result != 0 || found == nullptr) {
    if (error != nullptr) *error = gai_strerror(result);
    return false;
  }
  *addressNet = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

int ConnectIPv4Within(SocketFd fd, uint32_t addressNet, uint16_t portNet, int ms) {
  if (!SetNonBlocking(fd)) return errno;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNet;
  address.sin_port = portNet;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return 0;
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

}  // namespace platform
