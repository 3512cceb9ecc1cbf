// kvrd: the recording service as a daemon, and the cameras it records by
// itself. A host program of libKVRServer like any other: it knows the service
// only through the public header and the exports. It reads one configuration
// file, applies it through the exports, starts the service, records each
// configured camera into segment files, keeps a catalog of them, deletes by
// age and by free space, and answers look-ups on a small HTTP API.
//
// Threads: the main thread starts everything and then waits for signals
// (SIGHUP reloads the cameras, SIGINT/SIGTERM stop); each camera has its own
// thread (camera.h), retention one (retention.h), the API one (http_api.h);
// the record event callback runs on one of the library's threads and only
// logs and hands the event to its camera.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "KVRServer.h"
#include "tools/kvrd/access.h"
#include "tools/kvrd/camera_set.h"
#include "tools/kvrd/catalog_rebuild.h"
#include "tools/kvrd/config.h"
#include "tools/kvrd/http_api.h"
#include "tools/kvrd/log.h"
#include "tools/kvrd/retention.h"
#include "tools/kvrd/sqlite_catalog.h"
#include "tools/kvrd/wall_time.h"

#ifndef KVR_ROUTING_DIR
#define KVR_ROUTING_DIR "/usr/local/share/kvr"
#endif
#ifndef KVRD_DEFAULT_CONFIG
#define KVRD_DEFAULT_CONFIG "/usr/local/etc/kvr/kvrd.conf"
#endif

namespace {

using namespace kvrd;
namespace fs = std::filesystem;

// Exit codes, stable for scripts and the service manager.
constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 1;  // the service did not start (port, routing file, set-up)
constexpr int kExitBadUsage = 2;     // bad command line or configuration

constexpr char kRoutingName[] = "Server_Config.xml";

// Set before the service starts and cleared after it stopped: the event
// callback may run on a library thread meanwhile.
std::atomic<CameraSet*> g_cameras{nullptr};
std::atomic<Retention*> g_retention{nullptr};

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
  CameraSet* cameras = g_cameras.load();
  const bool camera = cameras != nullptr && cameras->Dispatch(recordFileUrl, recordEvent);
  // A camera's roll-over every few minutes is routine; anything else is news.
  const bool routine = camera && recordEvent == 2;
  Log(routine                                ? LOG_DEBUG
      : recordEvent == 2 || recordEvent == 3 ? LOG_NOTICE
                                             : LOG_WARNING,
      "record %s: %s (%d)", recordFileUrl != nullptr ? recordFileUrl : "(null)",
      EventName(recordEvent), recordEvent);
  if (recordEvent == 1) {
    if (Retention* retention = g_retention.load()) retention->Wake();
  }
}

// The volumes with their space as of now, through the library.
std::vector<VolumeSpace> Volumes() {
  STORE_CONFIG_INFO store;
  KVR_GetKVRConfig(store);
  std::vector<VolumeSpace> volumes;
  for (const STORE_VOLUME_INFO& v : store.volumes) {
    volumes.push_back({v.volumeName, v.volumePath, v.freeBytes, v.reservedBytes, v.totalBytes});
  }
  return volumes;
}

bool IsLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost";
}

// Where the daemon reaches its own control port: a loopback address it
// listens on (the library answers its figures only there), else the first.
std::string ControlAddress(const std::string& listen) {
  if (listen == "any") return "127.0.0.1";
  std::istringstream words(listen);
  std::string first, word;
  while (words >> word) {
    if (IsLoopback(word)) return word;
    if (first.empty()) first = word;
  }
  return first;
}

Retention::Settings RetentionSettings(const Config& config) {
  return {config.freeLow, config.freeHigh, config.retentionCheckMs};
}

// What a reload cannot change while the service runs: the listener's and the
// API's settings and the catalog's folder.
void NoteFixedSettings(const Config& was, const Config& now) {
  const Access& a = was.access;
  const Access& b = now.access;
  if (was.port != now.port || was.apiPort != now.apiPort || was.apiAddress != now.apiAddress ||
      was.state != now.state || a.listen != b.listen || a.registeredOnly != b.registeredOnly ||
      a.remoteConfiguration != b.remoteConfiguration || a.volumeRoots != b.volumeRoots ||
      a.maxConnections != b.maxConnections || a.idleTimeoutSec != b.idleTimeoutSec ||
      a.maxQueuedReplies != b.maxQueuedReplies) {
    Log(LOG_NOTICE,
        "reload: ports, access keys and the state folder stay as they were until a restart");
  }
}

// Hands the limits and volumes to the library (type -1 removes a volume).
bool ApplyVolumes(const Config& config) {
  STORE_CONFIG_INFO store;
  store.maxRecordNumber = config.maxRecords;
  store.recoverMethod = config.recoverMethod;
  store.reservedSpace = config.reservedSpace;
  store.reservedvolumeSpace = config.volumeReservedSpace;
  for (const VolumeConfig& volume : config.volumes) {
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
  for (const UserConfig& user : config.users) {
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

// Gives the library the reloaded volumes (new ones added, changed ones moved,
// gone ones removed), users, limits and log level; records go on.
void ReloadLibrary(const Config& running, const Config& fresh) {
  Config apply = fresh;
  for (const VolumeConfig& old : running.volumes) {
    const bool kept = std::any_of(fresh.volumes.begin(), fresh.volumes.end(),
                                  [&](const VolumeConfig& v) { return v.name == old.name; });
    if (!kept) apply.volumes.push_back({old.name, old.path, -1});
  }
  if (!ApplyVolumes(apply)) Log(LOG_ERR, "reload: the library refused the volumes");
  for (const UserConfig& old : running.users) {
    const bool kept = std::any_of(fresh.users.begin(), fresh.users.end(), [&](const UserConfig& u) {
      return u.name == old.name && u.password == old.password;
    });
    if (!kept) {
      KVR_DelUser(const_cast<char*>(old.name.c_str()), const_cast<char*>(old.password.c_str()));
    }
  }
  for (const UserConfig& user : fresh.users) {
    KVR_AddUser(const_cast<char*>(user.name.c_str()), const_cast<char*>(user.password.c_str()));
  }
}

void Usage(FILE* out) {
  std::fprintf(
      out,
      "usage: kvrd [-c FILE] [-p PORT] [-f] [-v] [-t]\n"
      "\n"
      "Runs the recording service and records the configured cameras until\n"
      "SIGINT or SIGTERM; SIGHUP reads the configuration again (cameras, volumes,\n"
      "users, limits and the log level; records go on).\n"
      "\n"
      "  -c, --config FILE  configuration (default %s)\n"
      "  -p, --port PORT    listen on PORT instead of the configured one\n"
      "  -f, --foreground   log to stderr as well as to syslog (the default\n"
      "                     when stderr is a terminal)\n"
      "  -v, --verbose      log the service's debug lines too, and copy every\n"
      "                     line to stderr\n"
      "  -t, --test         check the configuration and exit (0 good, 2 not)\n"
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
      "  listen = 127.0.0.1 [::1 ...]|any  (the control port's IPv4/IPv6 addresses)\n"
      "  registered_only = yes             (commands only after Register)\n"
      "  remote_configuration = no         (clients may not set the storage)\n"
      "  volume_root = FOLDER              (volumes must lie beneath; default: each volume)\n"
      "  max_connections = 64, idle_timeout = 600, max_queued_replies = 4096\n"
      "  log_level = info                  (debug, info, notice or warning)\n"
      "  state = FOLDER                    (the catalog; needed for cameras)\n"
      "  api = [ADDRESS:]PORT              (look-up API, web console at /, /metrics,\n"
      "                                    /healthz, /readyz; default 127.0.0.1:5151;\n"
      "                                    beyond loopback it asks for a user)\n"
      "  camera = NAME rtsp://[USER:PASSWORD@]HOST/PATH [segment=10m]\n"
      "           [retention=7d] [volume=NAME|any]\n"
      "  free_low = 1G, free_high = 2G     (kept free above a volume's reserve)\n"
      "  retention_check = 10s\n"
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
  bool foreground = false, verbose = false, checkOnly = false;
  static const option kOptions[] = {{"config", required_argument, nullptr, 'c'},
                                    {"port", required_argument, nullptr, 'p'},
                                    {"foreground", no_argument, nullptr, 'f'},
                                    {"verbose", no_argument, nullptr, 'v'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"test", no_argument, nullptr, 't'},
                                    {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "c:p:fvht", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        configFile = optarg;
        break;
      case 'p': {
        const auto port = ParseNumber(optarg, 1, 65535);
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
      case 't':
        checkOnly = true;
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
  // lets them through. In a terminal (or with -f) syslog copies every line it
  // logs to stderr, so record events and the service's audit lines show there
  // even without a log daemon.
  const bool echo = foreground || isatty(STDERR_FILENO);
  openlog("kvrd", LOG_PID | (verbose || echo ? LOG_PERROR : 0), LOG_DAEMON);
  setlogmask(LOG_UPTO(verbose ? LOG_DEBUG : LOG_INFO));
  SetLogEcho(echo, verbose || echo);

  Config config;
  std::string error;
  if (!LoadConfig(configFile, &config, &error)) {
    Log(LOG_ERR, "%s", error.c_str());
    return kExitBadUsage;
  }
  if (checkOnly) {
    std::printf("%s: good (%zu volume(s), %zu camera(s))\n", configFile.c_str(),
                config.volumes.size(), config.cameras.size());
    return kExitOk;
  }
  if (!verbose) setlogmask(LOG_UPTO(config.logLevel));
  if (portOverride) config.port = *portOverride;
  const std::string exposed = PasswordFileWarning(configFile, !config.users.empty());
  if (!exposed.empty()) Log(LOG_WARNING, "%s", exposed.c_str());
  std::string routing = config.routing;
  {
    std::error_code ec;
    if (routing.empty()) {
      routing = fs::is_regular_file(kRoutingName, ec)
                    ? fs::absolute(kRoutingName).string()
                    : std::string(KVR_ROUTING_DIR) + "/" + kRoutingName;
    } else if (!fs::is_regular_file(routing, ec)) {
      Log(LOG_ERR, "routing file %s does not exist", routing.c_str());
      return kExitStartFailed;
    }
  }
  // The library reads the routing file from its working directory first:
  // kvrd gives it a copy that carries the access keys.
  std::vector<std::string> roots = config.access.volumeRoots;
  if (roots.empty()) {
    for (const VolumeConfig& volume : config.volumes) roots.push_back(volume.path);
  }
  const std::string routingFolder =
      WriteRoutingWithAccess(routing, AccessElement(config.access, roots), &error);
  if (routingFolder.empty()) {
    Log(LOG_ERR, "%s", error.c_str());
    return kExitStartFailed;
  }
  // The copy goes with kvrd, unless systemd owns its folder.
  struct RoutingCopy {
    std::string folder;
    ~RoutingCopy() {
      const char* runtime = std::getenv("RUNTIME_DIRECTORY");
      if (runtime != nullptr && folder.rfind(runtime, 0) == 0) return;
      std::error_code ec;
      fs::remove_all(folder, ec);
    }
  } routingCopy{routingFolder};
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
  // A browser that leaves mid-stream is a failed write, not the daemon's end.
  ::signal(SIGPIPE, SIG_IGN);

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
  // The catalog is brought up to the files before any camera writes.
  std::unique_ptr<SqliteCatalog> catalog;
  if (!config.state.empty()) {
    catalog = SqliteCatalog::Open(config.state, &error);
    if (!catalog) {
      Log(LOG_ERR, "%s", error.c_str());
      KVR_StopService();
      KVR_Clean();
      return kExitStartFailed;
    }
    ReconcileCatalog(catalog.get(), Volumes(), catalog->Fresh());
  }
  std::unique_ptr<CameraSet> cameras;
  std::unique_ptr<Retention> retention;
  std::unique_ptr<HttpApi> api;
  if (catalog) {
    cameras = std::make_unique<CameraSet>(catalog.get(), [] {
      if (Retention* r = g_retention.load()) r->Wake();
    });
    retention = std::make_unique<Retention>(
        catalog.get(),
        [&cameras] {
          std::map<std::string, int64_t> retentions;
          for (const auto& camera : cameras->All()) {
            retentions[camera->name()] = camera->retentionMs();
          }
          return retentions;
        },
        &Volumes);
    retention->SetSettings(RetentionSettings(config));
    HttpApi::Options options;
    options.scratchFolder = config.state;
    options.controlPort = config.port;
    options.controlAddress = ControlAddress(config.access.listen);
    options.users = config.users;
    // On loopback only this machine's users reach the API; beyond it, the
    // configured users are asked for.
    const std::string& at = config.apiAddress;
    options.askCredentials = !IsLoopback(at);
    api = std::make_unique<HttpApi>(catalog.get(), cameras.get(), &Volumes, options);
    if (!api->Start(config.apiAddress, config.apiPort, &error)) {
      Log(LOG_ERR, "API: %s", error.c_str());
      KVR_StopService();
      KVR_Clean();
      return kExitStartFailed;
    }
    g_cameras = cameras.get();
    g_retention = retention.get();
    cameras->Apply(config.cameras);
    retention->Start();
  }
  SetStarting(false);
  Log(LOG_INFO, "listening on port %u (%s), %zu volume(s), at most %u records", config.port,
      config.access.listen == "any" ? "every interface" : config.access.listen.c_str(),
      config.volumes.size(), config.maxRecords);
  if (api) {
    Log(LOG_INFO, "API on %s:%u, %zu camera(s), catalog in %s", config.apiAddress.c_str(),
        config.apiPort, config.cameras.size(), config.state.c_str());
  }
  NotifyServiceManager("READY=1");

  int signal = 0;
  for (;;) {
    if (sigwait(&stopSignals, &signal) != 0) continue;
    if (signal != SIGHUP) break;
    Config next;
    if (!LoadConfig(configFile, &next, &error)) {
      Log(LOG_ERR, "reload refused, the running configuration stays: %s", error.c_str());
      continue;
    }
    if (portOverride) next.port = *portOverride;
    if (!catalog && !next.cameras.empty()) {
      Log(LOG_ERR, "reload refused: cameras need a state folder from the start");
      continue;
    }
    NotifyServiceManager("RELOADING=1");
    const std::string stillExposed = PasswordFileWarning(configFile, !next.users.empty());
    if (!stillExposed.empty()) Log(LOG_WARNING, "%s", stillExposed.c_str());
    NoteFixedSettings(config, next);
    ReloadLibrary(config, next);
    if (!verbose) setlogmask(LOG_UPTO(next.logLevel));
    Log(LOG_INFO, "reload: %zu volume(s), %zu user(s), at most %u records, %zu camera(s)",
        next.volumes.size(), next.users.size(), next.maxRecords, next.cameras.size());
    if (cameras) cameras->Apply(next.cameras);
    if (retention) retention->SetSettings(RetentionSettings(next));
    if (api) api->SetUsers(next.users);
    for (const CameraConfig& camera : next.cameras) {
      // Footage may be looked up by the camera's name from now on.
      if (catalog) catalog->AddCamera(camera.name);
    }
    next.port = config.port;
    next.access = config.access;
    config = next;
    NotifyServiceManager("READY=1");
  }
  NotifyServiceManager("STOPPING=1");
  Log(LOG_INFO, "%s: stopping", strsignal(signal));
  // Cameras close their segments while the service still runs; once it has
  // stopped, every file is written out and their last rows are read again.
  const std::vector<std::shared_ptr<Camera>> stopping =
      cameras ? cameras->All() : std::vector<std::shared_ptr<Camera>>();
  if (cameras) cameras->StopAll();
  if (retention) retention->Stop();
  if (api) api->Stop();
  const int stopped = KVR_StopService();
  for (const auto& camera : stopping) camera->Settle();
  KVR_Clean();
  g_cameras = nullptr;
  g_retention = nullptr;
  if (stopped != 0) {
    Log(LOG_ERR, "the service did not stop cleanly (%d)", stopped);
    return kExitStartFailed;
  }
  Log(LOG_INFO, "stopped");
  return kExitOk;
}
