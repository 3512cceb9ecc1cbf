// kvrd.conf: the daemon's one configuration file, read at start, by `kvrd -t`
// and again on SIGHUP. A Config is a plain value: whoever loaded it owns it.
#ifndef KVR_TOOLS_KVRD_CONFIG_H_
#define KVR_TOOLS_KVRD_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/kvrd/access.h"

namespace kvrd {

struct VolumeConfig {
  std::string name, path;
  int type = 0;
};

struct UserConfig {
  std::string name, password;
};

// A camera that records itself into segment files under NAME/ on a volume.
struct CameraConfig {
  std::string name;
  std::string url;  // rtsp://[user:password@]host[:port]/path
  int64_t segmentMs = 10 * 60'000;
  int64_t retentionMs = 0;  // 0: kept until space runs short
  std::string volume;       // empty: any volume the service chooses
  int line = 0;             // where it was configured, for messages

  // Recording the camera differently needs a new segment; a retention change does not.
  bool SameRecording(const CameraConfig& other) const {
    return url == other.url && segmentMs == other.segmentMs && volume == other.volume;
  }
};

struct Config {
  unsigned port = 5150;
  std::string routing;  // empty: the library's own search
  uint32_t maxRecords = 16;
  uint32_t recoverMethod = 0;
  uint64_t reservedSpace = 0;
  uint64_t volumeReservedSpace = 0;
  std::vector<VolumeConfig> volumes;
  std::vector<UserConfig> users;
  Access access;
  int logLevel = 6;  // syslog's LOG_INFO: the most detailed level logged without -v

  std::vector<CameraConfig> cameras;
  std::string state;  // the catalog's folder; empty: no cameras allowed
  std::string apiAddress = "127.0.0.1";
  unsigned apiPort = 5151;
  // Free space kept above a volume's reserved space: deleting starts below
  // reserved + freeLow and goes on until reserved + freeHigh is free.
  uint64_t freeLow = 1ull << 30;
  uint64_t freeHigh = 2ull << 30;
  int64_t retentionCheckMs = 10'000;
};

// Reads `file`; false with "file:line: what" in *error on the first fault.
bool LoadConfig(const std::string& file, Config* config, std::string* error);

// A whole decimal number within [low, high].
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t low, uint64_t high);

// The URL as logs and the API may show it: never its password.
std::string WithoutCredentials(const std::string& url);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_CONFIG_H_
