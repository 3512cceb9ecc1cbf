#include "platform/probe.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace platform {

bool CanCreateFileIn(const std::string& folder) {
  std::string pattern = folder;
  if (pattern.empty() || pattern.back() != '/') pattern += '/';
  pattern += ".kvr-probe-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp creates exclusively, so a name that exists is never touched.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return ::unlink(name.data()) == 0;
}

}  // namespace platform
