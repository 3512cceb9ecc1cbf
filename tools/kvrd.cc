// kvrd: the recording service as a daemon. A host program of libKVRServer
// like any other: it knows the service only through the public header and
// the exports. It reads one configuration file, applies it through the
// exports, starts the service, logs record events, and on SIGINT/SIGTERM
// stops every record and leaves with 0.
//
// Threads: the main thread reads the configuration, starts the service and
// then waits for a signal; the record event callback runs on one of the
// library's threads and only writes a log line.
#include <getopt.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "KVRServer.h"
#include "kvrd_access.h"

#ifndef KVR_ROUTING_DIR
#define KVR_ROUTING_DIR "/usr/local/share/kvr"
#endif
#ifndef KVRD_DEFAULT_CONFIG
#define KVRD_DEFAULT_CONFIG "/usr/local/etc/kvr/kvrd.conf"
#endif

namespace {

namespace fs = std::filesystem;

// Exit codes, stable for scripts and the service manager.
constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 1;  // the service did not start (port, routing file, set-up)
constexpr int kExitBadUsage = 2;     // bad command line or configuration

// The library loads its routing file by this name only (working directory
// first, then the installed data folder).
constexpr char kRoutingName[] = "Server_Config.xml";

// A record request's volume field is 32 bytes wide, so a longer name could be
// configured but never asked for.
constexpr size_t kMaxVolumeName = 31;
constexpr size_t kFieldWidth = sizeof(STORE_VOLUME_INFO::volumeName);

bool g_echo = false;    // also write log lines to stderr
bool g_perror = false;  // syslog already copies every line to stderr
// Until the service runs, errors go to stderr whatever g_echo says: whoever
// started kvrd must see why it did not come up.
std::atomic<bool> g_starting{true};  // read by the event callback's thread

void Log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(int priority, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  syslog(priority, "%s", line);
  // One write per line keeps lines from different threads whole.
  if (!g_perror && (g_echo || (g_starting && priority <= LOG_ERR)))
    std::fprintf(stderr, "kvrd: %s\n", line);
}

const char* EventName(int code) {
  switch (code) {
    case 1:
      return "disk full";
    case 2:
      return "time limit";
    case 3:
      return "size limit";
    case 4:
      return "write error";
    case 5:
      return "stream lost";
    default:
      return "unknown event";
  }
}

void KVR_CALL OnRecordEvent(const char* recordFileUrl, int recordEvent, unsigned int) {
  Log(recordEvent == 2 || recordEvent == 3 ? LOG_NOTICE : LOG_WARNING, "record %s: %s (%d)",
      recordFileUrl != nullptr ? recordFileUrl : "(null)", EventName(recordEvent), recordEvent);
}

struct Volume {
  std::string name, path;
  int type = 0;
};
struct User {
  std::string name, password;
};
struct Config {
  unsigned port = 5150;
  std::string routing;  // empty: the library's own search
  uint32_t maxRecords = 16;
  uint32_t recoverMethod = 0;
  uint64_t reservedSpace = 0;
  uint64_t volumeReservedSpace = 0;
  std::vector<Volume> volumes;
  std::vector<User> users;
  kvrd::Access access;
  int logLevel = LOG_INFO;  // the most detailed level logged without -v
};

// A path of the configuration file taken from the file's own folder.
std::string ResolveFrom(const std::string& path, const void* base) {
  const fs::path& folder = *static_cast<const fs::path*>(base);
  return fs::path(path).is_absolute() ? path : (folder / path).lexically_normal().string();
}

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

// Reads the configuration; on a fault, *error says where and what.
bool LoadConfig(const std::string& file, Config* config, std::string* error) {
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
      Volume volume{words[0], resolve(words[1]), 0};
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
      for (const Volume& other : config->volumes) {
        if (other.name == volume.name) return fail("volume '" + volume.name + "' given twice");
      }
      std::error_code ec;
      if (!fs::is_directory(volume.path, ec)) {
        return fail("volume folder " + volume.path + " does not exist");
      }
      config->volumes.push_back(volume);
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
    } else if (std::string accessError; kvrd::ParseAccessKey(key, value, &config->access,
                                                             &accessError, ResolveFrom, &base)) {
      if (!accessError.empty()) return fail(accessError);
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  if (in.bad()) {
    *error = file + ": read failed";
    return false;
  }
  return true;
}

// Hands the limits and volumes to the library (type -1 removes a volume).
bool ApplyVolumes(const Config& config) {
  STORE_CONFIG_INFO store;
  store.maxRecordNumber = config.maxRecords;
  store.recoverMethod = config.recoverMethod;
  store.reservedSpace = config.reservedSpace;
  store.reservedvolumeSpace = config.volumeReservedSpace;
  for (const Volume& volume : config.volumes) {
    STORE_VOLUME_INFO info;
    std::snprintf(info.volumeName, sizeof info.volumeName, "%s", volume.name.c_str());
    std::snprintf(info.volumePath, sizeof info.volumePath, "%s", volume.path.c_str());
    info.volumeType = volume.type;
    store.volumes.push_back(info);
  }
  return KVR_SetKVRConfig(store) == 0;
}

// Hands the configuration to the library. False when the library refused it.
bool ApplyConfig(const Config& config) {
  if (!ApplyVolumes(config)) return false;
  for (const User& user : config.users) {
    KVR_AddUser(const_cast<char*>(user.name.c_str()), const_cast<char*>(user.password.c_str()));
  }
  // The library makes a volume's folders silently or stops at the first it
  // cannot make; reading the configuration back tells which made it.
  STORE_CONFIG_INFO got;
  KVR_GetKVRConfig(got);
  if (got.volumes.size() != config.volumes.size()) {
    Log(LOG_ERR, "only %zu of %zu volumes were accepted", got.volumes.size(),
        config.volumes.size());
    return false;
  }
  for (const STORE_VOLUME_INFO& volume : got.volumes) {
    Log(LOG_INFO, "volume %s at %s: %llu MiB free", volume.volumeName, volume.volumePath,
        static_cast<unsigned long long>(volume.freeBytes >> 20));
  }
  return true;
}

// Takes the configuration file again: volumes (new ones added, changed ones
// moved, gone ones removed), users, limits and the log level; records go on.
// The access keys and the port are the listener's and wait for a restart.
void Reload(const std::string& file, Config* running) {
  Config fresh;
  std::string error;
  if (!LoadConfig(file, &fresh, &error)) {
    Log(LOG_ERR, "reload refused, the running configuration stays: %s", error.c_str());
    return;
  }
  const std::string exposed = kvrd::PasswordFileWarning(file, !fresh.users.empty());
  if (!exposed.empty()) Log(LOG_WARNING, "%s", exposed.c_str());
  Config apply = fresh;
  for (const Volume& old : running->volumes) {
    const bool kept = std::any_of(fresh.volumes.begin(), fresh.volumes.end(),
                                  [&](const Volume& v) { return v.name == old.name; });
    if (!kept) apply.volumes.push_back({old.name, old.path, -1});
  }
  if (!ApplyVolumes(apply)) {
    Log(LOG_ERR, "reload: the library refused the volumes");
  }
  for (const User& old : running->users) {
    const bool kept = std::any_of(fresh.users.begin(), fresh.users.end(), [&](const User& u) {
      return u.name == old.name && u.password == old.password;
    });
    if (!kept) {
      KVR_DelUser(const_cast<char*>(old.name.c_str()), const_cast<char*>(old.password.c_str()));
    }
  }
  for (const User& user : fresh.users) {
    KVR_AddUser(const_cast<char*>(user.name.c_str()), const_cast<char*>(user.password.c_str()));
  }
  if (fresh.port != running->port || fresh.access.listen != running->access.listen ||
      fresh.access.registeredOnly != running->access.registeredOnly ||
      fresh.access.remoteConfiguration != running->access.remoteConfiguration ||
      fresh.access.volumeRoots != running->access.volumeRoots) {
    Log(LOG_WARNING, "reload: port and access keys take effect at the next start");
  }
  setlogmask(LOG_UPTO(fresh.logLevel));
  fresh.port = running->port;
  fresh.access = running->access;
  *running = fresh;
  Log(LOG_INFO, "reloaded: %zu volume(s), %zu user(s), at most %u records", fresh.volumes.size(),
      fresh.users.size(), fresh.maxRecords);
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: kvrd [-c FILE] [-p PORT] [-f] [-v]\n"
               "\n"
               "Runs the recording service until SIGINT or SIGTERM.\n"
               "\n"
               "  -c, --config FILE  configuration (default %s)\n"
               "  -p, --port PORT    listen on PORT instead of the configured one\n"
               "  -f, --foreground   log to stderr as well as to syslog (the default\n"
               "                     when stderr is a terminal)\n"
               "  -v, --verbose      log the service's debug lines too, and copy every\n"
               "                     line to stderr\n"
               "  -h, --help         this text\n"
               "\n"
               "Configuration: 'key = value' lines, '#' starts a comment.\n"
               "  port = 5150\n"
               "  routing = /path/to/%s   (default: working directory, then %s)\n"
               "  max_records = 16\n"
               "  recover_method = 0\n"
               "  reserved_space = 1G               (bytes; K, M, G suffixes)\n"
               "  volume_reserved_space = 256M\n"
               "  volume = NAME PATH [TYPE]         (one line per volume; the folder must exist)\n"
               "  user = NAME PASSWORD              (one line per user)\n"
               "Relative paths are taken from the configuration file's folder.\n"
               "\n"
               "Exit status: 0 stopped by a signal, 1 the service did not start,\n"
               "2 bad command line or configuration.\n",
               KVRD_DEFAULT_CONFIG, kRoutingName, KVR_ROUTING_DIR);
}

}  // namespace

int main(int argc, char** argv) {
  std::string configFile = KVRD_DEFAULT_CONFIG;
  std::optional<unsigned> portOverride;
  bool foreground = false, verbose = false;
  static const option kOptions[] = {
      {"config", required_argument, nullptr, 'c'}, {"port", required_argument, nullptr, 'p'},
      {"foreground", no_argument, nullptr, 'f'},   {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "c:p:fvh", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        configFile = optarg;
        break;
      case 'p': {
        const auto port = Number(optarg, 1, 65535);
        if (!port) {
          std::fprintf(stderr, "kvrd: --port must be 1 to 65535, got '%s'\n", optarg);
          return kExitBadUsage;
        }
        portOverride = static_cast<unsigned>(*port);
        break;
      }
      case 'f':
        foreground = true;
        break;
      case 'v':
        verbose = true;
        break;
      case 'h':
        Usage(stdout);
        return kExitOk;
      default:
        Usage(stderr);
        return kExitBadUsage;
    }
  }
  if (optind != argc) {
    std::fprintf(stderr, "kvrd: unexpected argument '%s'\n", argv[optind]);
    Usage(stderr);
    return kExitBadUsage;
  }

  // The service writes about ten debug lines per control request: only -v
  // lets them through. In a terminal (or with -f) syslog copies every line
  // it logs to stderr, so record events and the service's audit lines show
  // there even without a log daemon.
  g_echo = foreground || isatty(STDERR_FILENO);
  g_perror = verbose || g_echo;
  openlog("kvrd", LOG_PID | (g_perror ? LOG_PERROR : 0), LOG_DAEMON);
  setlogmask(LOG_UPTO(verbose ? LOG_DEBUG : LOG_INFO));

  Config config;
  std::string error;
  if (!LoadConfig(configFile, &config, &error)) {
    Log(LOG_ERR, "%s", error.c_str());
    return kExitBadUsage;
  }
  if (!verbose) setlogmask(LOG_UPTO(config.logLevel));
  if (portOverride) config.port = *portOverride;
  const std::string exposed = kvrd::PasswordFileWarning(configFile, !config.users.empty());
  if (!exposed.empty()) Log(LOG_WARNING, "%s", exposed.c_str());
  std::string routing = config.routing;
  if (!routing.empty()) {
    std::error_code ec;
    if (!fs::is_regular_file(routing, ec)) {
      Log(LOG_ERR, "routing file %s does not exist", routing.c_str());
      return kExitStartFailed;
    }
  } else {
    std::error_code ec;
    routing = fs::is_regular_file(kRoutingName, ec)
                  ? fs::absolute(kRoutingName).string()
                  : std::string(KVR_ROUTING_DIR) + "/" + kRoutingName;
  }
  // The library reads the routing file from its working directory first:
  // kvrd gives it a copy that carries the access keys.
  std::vector<std::string> roots = config.access.volumeRoots;
  if (roots.empty()) {
    for (const Volume& volume : config.volumes) roots.push_back(volume.path);
  }
  const std::string routingFolder =
      kvrd::WriteRoutingWithAccess(routing, kvrd::AccessElement(config.access, roots), &error);
  if (routingFolder.empty()) {
    Log(LOG_ERR, "%s", error.c_str());
    return kExitStartFailed;
  }
  {
    std::error_code ec;
    fs::current_path(routingFolder, ec);
    if (ec) {
      Log(LOG_ERR, "cannot enter %s: %s", routingFolder.c_str(), ec.message().c_str());
      return kExitStartFailed;
    }
  }

  // Blocked before the library makes its first thread, so every thread
  // inherits the mask and the signals wait for sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // The copy of the routing file goes with kvrd, unless systemd owns its folder.
  struct RoutingCopy {
    std::string folder;
    ~RoutingCopy() {
      const char* runtime = std::getenv("RUNTIME_DIRECTORY");
      if (runtime != nullptr && folder.rfind(runtime, 0) == 0) return;
      std::error_code ec;
      fs::remove_all(folder, ec);
    }
  } routingCopy{routingFolder};

  KVR_SetRecordEventCallBack(OnRecordEvent, 0);
  if (!ApplyConfig(config)) return kExitStartFailed;

  const int started = KVR_StartService(static_cast<unsigned short>(config.port));
  if (started != 0) {
    std::string cwd = fs::current_path().string();
    switch (started) {
      case -1:
        Log(LOG_ERR, "cannot listen on port %u: is another program using it?", config.port);
        break;
      case -5:
        Log(LOG_ERR, "routing file %s did not load (looked in %s, then %s)", kRoutingName,
            cwd.c_str(), KVR_ROUTING_DIR);
        break;
      case -6:
        Log(LOG_ERR, "the access keys were refused, or a volume lies outside every volume_root");
        break;
      default:
        Log(LOG_ERR, "the service did not start (%d)", started);
    }
    return kExitStartFailed;
  }
  g_starting = false;
  Log(LOG_INFO, "listening on port %u, %zu volume(s), at most %u records", config.port,
      config.volumes.size(), config.maxRecords);

  kvrd::NotifyServiceManager("READY=1");

  int signal = 0;
  for (;;) {
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    if (signal != SIGHUP) break;
    kvrd::NotifyServiceManager("RELOADING=1");
    Reload(configFile, &config);
    kvrd::NotifyServiceManager("READY=1");
  }
  kvrd::NotifyServiceManager("STOPPING=1");
  Log(LOG_INFO, "%s: stopping", strsignal(signal));
  const int stopped = KVR_StopService();
  KVR_Clean();
  if (stopped != 0) {
    Log(LOG_ERR, "the service did not stop cleanly (%d)", stopped);
    return kExitStartFailed;
  }
  Log(LOG_INFO, "stopped");
  return kExitOk;
}
