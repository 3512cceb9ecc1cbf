// Outgoing connections: host names to addresses, and a connect that gives up
// after a time-out instead of the system's minutes.
//
// Used by the control client (and through it by the command-line tool, tests
// and benchmarks); the service itself only listens. Safe from any thread.
#ifndef KVR_PLATFORM_HOST_CONNECT_H_
#define KVR_PLATFORM_HOST_CONNECT_H_

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace platform {

// A numeric IPv4 or IPv6 address (an IPv6 one bare or in brackets) or a
// host name to its first address of either family, with `port` (host
// order). False with a reason in `*error` (when given) when there is none.
bool ResolveAddress(const char* host, uint16_t port, SocketAddress* address,
                    std::string* error = nullptr);

// Connects `fd` (of the address's family) to the address within `ms`
// milliseconds; the results of ConnectIPv4Within.
int ConnectWithin(SocketFd fd, const SocketAddress& address, int ms);

// Connects `fd` to the address within `ms` milliseconds. Returns 0, or the
// system's error number of the failure (ETIMEDOUT when the time ran out).
// The socket is non-blocking afterwards either way.
int ConnectIPv4Within(SocketFd fd, uint32_t addressNet, uint16_t portNet, int ms);

}  // namespace platform

#endif  // KVR_PLATFORM_HOST_CONNECT_H_
