// kvrctl's camera commands: they talk to kvrd's look-up API over HTTP
// (kvrd's "api" port), not to the control protocol. Single-threaded, like
// the rest of kvrctl.
#ifndef KVR_TOOLS_KVRCTL_CAMERAS_H_
#define KVR_TOOLS_KVRCTL_CAMERAS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvrctl {

struct ApiOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 5151;
  bool json = false;
  int timeoutMs = 5000;
};

// Runs `command` (cameras, recordings, export, protect, unprotect) with its
// words; the exit status, or nothing when `command` is not one of them.
// A bad command line throws the message as std::invalid_argument.
std::optional<int> RunCameraCommand(const std::string& command,
                                    const std::vector<std::string>& words,
                                    const ApiOptions& options);

}  // namespace kvrctl

#endif  // KVR_TOOLS_KVRCTL_CAMERAS_H_
