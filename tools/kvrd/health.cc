#include "tools/kvrd/health.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

bool PortListening(const std::string& address, unsigned port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  // A local address answers a connect at once, accepted or refused.
  const bool ok = ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) == 1 &&
                  ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
  ::close(fd);
  return ok;
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
