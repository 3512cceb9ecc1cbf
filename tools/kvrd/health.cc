#include "tools/kvrd/health.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

namespace kvrd {

std::string VolumeWritable(const std::string& folder) {
  const std::string path = (std::filesystem::path(folder) / ".kvrd-ready").string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return std::strerror(errno);
  const bool wrote = ::write(fd, "ok\n", 3) == 3;
  const std::string why = wrote ? "" : std::strerror(errno);
  ::close(fd);
  ::unlink(path.c_str());
  return wrote ? "" : why;
}

namespace {

// A connected TCP socket to the numeric `address` (IPv4 or IPv6), or -1.
// Local addresses answer a connect at once, accepted or refused.
int ConnectTo(const std::string& address, unsigned port) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace

bool PortListening(const std::string& address, unsigned port) {
  const int fd = ConnectTo(address, port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string ControlPortMetrics(const std::string& address, unsigned port) {
  const int fd = ConnectTo(address, port);
  if (fd < 0) return "";
  // The library answers from its polling thread; a second is ample, and a
  // scrape must not hang on a service that is stuck.
  timeval limit{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: kvr\r\n\r\n";
  std::string reply;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char chunk[16384];
    for (;;) {
      const size_t head = reply.find("\r\n\r\n");
      if (head != std::string::npos) {
        const size_t at = reply.find("Content-Length: ");
        if (at == std::string::npos || at > head) break;
        const size_t length = std::strtoul(reply.c_str() + at + 16, nullptr, 10);
        if (reply.size() >= head + 4 + length) {
          reply = reply.rfind("HTTP/1.1 200", 0) == 0 ? reply.substr(head + 4, length) : "";
          ::close(fd);
          return reply;
        }
      }
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      reply.append(chunk, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return "";
}

double WriteRate(const std::vector<SegmentRow>& closed) {
  if (closed.empty()) return 0;
  int64_t bytes = 0, first = closed.front().startMs, last = closed.front().endMs;
  for (const SegmentRow& row : closed) {
    bytes += row.bytes;
    first = std::min(first, row.startMs);
    last = std::max(last, row.endMs);
  }
  return last - first < 1000 ? 0 : bytes * 1000.0 / static_cast<double>(last - first);
}

double SecondsUntilFull(uint64_t freeBytes, uint64_t reservedBytes, double bytesPerSecond) {
  if (freeBytes <= reservedBytes) return 0;
  if (bytesPerSecond <= 0) return std::numeric_limits<double>::infinity();
  return static_cast<double>(freeBytes - reservedBytes) / bytesPerSecond;
}

}  // namespace kvrd
