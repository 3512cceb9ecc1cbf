#include "tools/kvrd/config.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

namespace fs = std::filesystem;

// The library loads its routing file by this name only.
constexpr char kRoutingName[] = "Server_Config.xml";
// A record request's volume field is 32 bytes wide, so a longer name could be
// configured but never asked for.
constexpr size_t kMaxVolumeName = 31;
constexpr size_t kFieldWidth = 260;
// A camera's name is a folder name and part of every record name (255 at most
// with the segment file's 23): kept short and plain.
constexpr size_t kMaxCameraName = 64;
constexpr char kCameraNameChars[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
constexpr size_t kMaxUrl = 255;  // the record request's read URL field
constexpr int64_t kShortestSegmentMs = 2'000;
constexpr int64_t kLongestSegmentMs = 86'400'000;

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A whole decimal number within [low, high].
std::optional<uint64_t> Number(const std::string& text, uint64_t low, uint64_t high) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// Bytes, with an optional K, M or G (powers of 1024).
std::optional<uint64_t> Size(std::string text) {
  unsigned shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k':
        shift = 10;
        break;
      case 'M':
      case 'm':
        shift = 20;
        break;
      case 'G':
      case 'g':
        shift = 30;
        break;
    }
    if (shift != 0) text.pop_back();
  }
  const auto value = Number(text, 0, UINT64_MAX >> shift);
  if (!value) return std::nullopt;
  return *value << shift;
}

}  // namespace

// Reads the configuration; on a fault, *error says where and what.
bool LoadConfig(const std::string& file, Config* config, std::string* error) {
  *config = Config();
  std::ifstream in(file);
  if (!in) {
    *error = file + ": cannot open: " + std::strerror(errno);
    return false;
  }
  // Relative paths in the file are taken from the file's own folder, so the
  // daemon's working directory does not matter.
  const fs::path base = fs::absolute(file).parent_path();
  auto resolve = [&](const std::string& path) {
    return fs::path(path).is_absolute() ? path : (base / path).lexically_normal().string();
  };
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    auto fail = [&](const std::string& what) {
      *error = file + ":" + std::to_string(number) + ": " + what;
      return false;
    };
    // A comment starts at a '#' that begins a word, so passwords may hold one.
    for (size_t at = line.find('#'); at != std::string::npos; at = line.find('#', at + 1)) {
      if (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t') {
        line.resize(at);
        break;
      }
    }
    line = Trim(line);
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected 'key = value', got '" + line + "'");
    const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (value.empty()) return fail("'" + key + "' has no value");
    const std::vector<std::string> words = Words(value);

    if (key == "port") {
      const auto port = Number(value, 1, 65535);
      if (!port) return fail("port must be a number from 1 to 65535, got '" + value + "'");
      config->port = static_cast<unsigned>(*port);
    } else if (key == "routing") {
      config->routing = resolve(value);
      if (fs::path(config->routing).filename() != kRoutingName) {
        return fail(std::string("the routing file must be named ") + kRoutingName);
      }
    } else if (key == "max_records") {
      const auto count = Number(value, 0, UINT32_MAX);
      if (!count) return fail("max_records must be a whole number, got '" + value + "'");
      config->maxRecords = static_cast<uint32_t>(*count);
    } else if (key == "recover_method") {
      const auto method = Number(value, 0, UINT32_MAX);
      if (!method) return fail("recover_method must be a whole number, got '" + value + "'");
      config->recoverMethod = static_cast<uint32_t>(*method);
    } else if (key == "reserved_space" || key == "volume_reserved_space") {
      const auto bytes = Size(value);
      if (!bytes)
        return fail(key + " must be bytes with an optional K, M or G, got '" + value + "'");
      (key == "reserved_space" ? config->reservedSpace : config->volumeReservedSpace) = *bytes;
    } else if (key == "volume") {
      if (words.size() < 2 || words.size() > 3) return fail("expected 'volume = NAME PATH [TYPE]'");
      VolumeConfig volume{words[0], resolve(words[1]), 0};
      if (volume.name.size() > kMaxVolumeName) {
        return fail("volume name longer than " + std::to_string(kMaxVolumeName) + " characters");
      }
      if (volume.path.size() >= kFieldWidth) {
        return fail("volume path longer than " + std::to_string(kFieldWidth - 1) + " characters");
      }
      if (words.size() == 3) {
        const auto type = Number(words[2], 0, 10);
        if (!type) return fail("volume type must be 0 to 10, got '" + words[2] + "'");
        volume.type = static_cast<int>(*type);
      }
      for (const VolumeConfig& other : config->volumes) {
        if (other.name == volume.name) return fail("volume '" + volume.name + "' given twice");
      }
      std::error_code ec;
      if (!fs::is_directory(volume.path, ec)) {
        return fail("volume folder " + volume.path + " does not exist");
      }
      config->volumes.push_back(volume);
    } else if (key == "camera") {
      if (words.size() < 2) {
        return fail("expected 'camera = NAME URL [segment=10m] [retention=7d] [volume=NAME|any]'");
      }
      CameraConfig camera;
      camera.name = words[0];
      camera.url = words[1];
      camera.line = number;
      if (camera.name.empty() || camera.name.size() > kMaxCameraName ||
          camera.name.find_first_not_of(kCameraNameChars) != std::string::npos) {
        return fail("camera name '" + camera.name + "' must be 1 to " +
                    std::to_string(kMaxCameraName) + " letters, digits, '-' or '_'");
      }
      if (camera.url.rfind("rtsp://", 0) != 0 && camera.url.rfind("rtsps://", 0) != 0) {
        return fail("camera " + camera.name + ": URL must start with rtsp:// or rtsps://");
      }
      if (camera.url.size() > kMaxUrl) {
        return fail("camera " + camera.name + ": URL longer than " + std::to_string(kMaxUrl) +
                    " characters");
      }
      for (size_t i = 2; i < words.size(); ++i) {
        const size_t sep = words[i].find('=');
        const std::string option = words[i].substr(0, sep);
        const std::string setting = sep == std::string::npos ? "" : words[i].substr(sep + 1);
        if (option == "segment" || option == "retention") {
          const auto ms = ParseDuration(setting);
          if (!ms) return fail(option + " must be a duration like 90s, 10m, 12h or 7d");
          (option == "segment" ? camera.segmentMs : camera.retentionMs) = *ms;
        } else if (option == "volume" && !setting.empty()) {
          camera.volume = setting == "any" ? "" : setting;
        } else {
          return fail("camera " + camera.name + ": unknown option '" + words[i] + "'");
        }
      }
      if (camera.segmentMs < kShortestSegmentMs || camera.segmentMs > kLongestSegmentMs) {
        return fail("segment must be 2s to 24h");
      }
      for (const CameraConfig& other : config->cameras) {
        if (other.name == camera.name) {
          return fail("camera '" + camera.name + "' given twice (first on line " +
                      std::to_string(other.line) + ")");
        }
      }
      config->cameras.push_back(camera);
    } else if (key == "state") {
      config->state = resolve(value);
    } else if (key == "api") {
      // [ADDRESS:]PORT; the address is loopback unless given.
      const size_t colon = value.rfind(':');
      const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
      const auto number = Number(port, 1, 65535);
      if (!number) return fail("api must be [ADDRESS:]PORT, got '" + value + "'");
      config->apiPort = static_cast<unsigned>(*number);
      if (colon != std::string::npos) config->apiAddress = value.substr(0, colon);
    } else if (key == "free_low" || key == "free_high") {
      const auto bytes = Size(value);
      if (!bytes) return fail(key + " must be bytes with an optional K, M or G");
      (key == "free_low" ? config->freeLow : config->freeHigh) = *bytes;
    } else if (key == "retention_check") {
      const auto ms = ParseDuration(value);
      if (!ms) return fail("retention_check must be a duration like 10s");
      config->retentionCheckMs = *ms;
    } else if (key == "user") {
      if (words.size() != 2) return fail("expected 'user = NAME PASSWORD'");
      config->users.push_back({words[0], words[1]});
    } else if (key == "log_level") {
      static const std::pair<const char*, int> kLevels[] = {{"debug", LOG_DEBUG},
                                                            {"info", LOG_INFO},
                                                            {"notice", LOG_NOTICE},
                                                            {"warning", LOG_WARNING}};
      const auto* level = std::find_if(std::begin(kLevels), std::end(kLevels),
                                       [&](const auto& l) { return value == l.first; });
      if (level == std::end(kLevels)) {
        return fail("log_level must be debug, info, notice or warning, got '" + value + "'");
      }
      config->logLevel = level->second;
    } else if (std::string accessError;
               ParseAccessKey(key, value, &config->access, &accessError, resolve)) {
      if (!accessError.empty()) return fail(accessError);
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  if (in.bad()) {
    *error = file + ": read failed";
    return false;
  }
  // Checks that need the whole file: a camera may come before its volume.
  for (const CameraConfig& camera : config->cameras) {
    auto where = [&](const std::string& what) {
      *error = file + ":" + std::to_string(camera.line) + ": " + what;
      return false;
    };
    if (config->state.empty()) return where("cameras need a 'state = FOLDER' line for the catalog");
    if (camera.volume.empty()) continue;
    bool known = false;
    for (const VolumeConfig& volume : config->volumes) known |= volume.name == camera.volume;
    if (!known) return where("camera " + camera.name + ": unknown volume '" + camera.volume + "'");
  }
  if (config->freeHigh < config->freeLow) {
    *error = file + ": free_high must not be below free_low";
    return false;
  }
  return true;
}

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t low, uint64_t high) {
  return Number(text, low, high);
}

std::string WithoutCredentials(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t host = scheme + 3;
  const size_t path = url.find('/', host);
  const size_t at = url.rfind('@', path == std::string::npos ? url.size() : path);
  if (at == std::string::npos || at < host) return url;
  return url.substr(0, host) + "***@" + url.substr(at + 1);
}

}  // namespace kvrd
