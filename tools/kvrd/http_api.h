// The daemon's look-up API over HTTP (libevent's evhttp), on its own port,
// loopback unless configured otherwise:
//   GET  /cameras                               cameras with their state
//   GET  /cameras/NAME/recordings?from=T&to=T   segments, gaps, protections
//   GET  /cameras/NAME/export?from=T&to=T       the range as one MPEG-TS stream
//   POST /cameras/NAME/protect?from=T&to=T      keep a range from retention
//   POST /cameras/NAME/unprotect?from=T&to=T
//   GET  /cameras/NAME/play?from=T[&to=T]       the range as fragmented MP4 for
//                                               a browser, gaps skipped and
//                                               named in X-Kvr-Gaps
//   GET  /volumes                               space and time until full
//   GET  /metrics                               Prometheus' text format
//   GET  /healthz, /readyz                      the process answers; it is
//                                               ready (503 naming what is not)
//   GET  /                                      the web console
// T is ISO 8601 UTC or seconds since the epoch. Bad input is a 4xx with the
// reason as JSON; a range without footage is an empty list. With users
// configured and an address beyond loopback, everything but the health
// checks asks for HTTP Basic credentials.
//
// Owned by main. Its own thread runs the event loop and every handler; an
// export is cut into a scratch file in the state folder and sent from it, a
// playback is produced on a worker thread of its own (playback_stream.h).
#ifndef KVR_TOOLS_KVRD_HTTP_API_H_
#define KVR_TOOLS_KVRD_HTTP_API_H_

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "tools/kvrd/camera_set.h"
#include "tools/kvrd/catalog.h"
#include "tools/kvrd/config.h"
#include "tools/kvrd/exporter.h"
#include "tools/kvrd/retention.h"

struct event_base;
struct evhttp;
struct evhttp_request;

namespace kvrd {

class HttpApi {
 public:
  struct Options {
    std::string scratchFolder;                 // exports are cut here
    std::string controlAddress = "127.0.0.1";  // /readyz checks the control
    unsigned controlPort = 0;                  // port listens there
    std::vector<UserConfig> users;
    bool askCredentials = false;  // the users are asked for
  };
  // `volumes` gives each volume's folder, to find segment files.
  HttpApi(Catalog* catalog, CameraSet* cameras, std::function<std::vector<VolumeSpace>()> volumes,
          Options options);
  ~HttpApi();  // Stop()

  // Binds and starts the thread; false with *error when the port is taken.
  bool Start(const std::string& address, unsigned port, std::string* error);
  void Stop();
  // A reload's users; any thread.
  void SetUsers(std::vector<UserConfig> users);

 private:
  static void OnRequest(evhttp_request* request, void* self);
  void Handle(evhttp_request* request);
  void Cameras(evhttp_request* request);
  void Recordings(evhttp_request* request, const std::string& camera, int64_t from, int64_t to);
  void Export(evhttp_request* request, const std::string& camera, int64_t from, int64_t to);
  void Protect(evhttp_request* request, const std::string& camera, int64_t from, int64_t to,
               bool on);
  void Play(evhttp_request* request, const std::string& camera, int64_t from, int64_t to);
  void Volumes(evhttp_request* request);
  void Metrics(evhttp_request* request);
  void Ready(evhttp_request* request);
  bool Authorized(evhttp_request* request);
  bool KnownCamera(const std::string& name);
  // The segment files of `camera` over [from, to), closed ones only unless `open`.
  std::vector<ExportSource> Sources(const std::string& camera, int64_t from, int64_t to, bool open);
  // Bytes per second written to each volume lately.
  std::map<std::string, double> WriteRates();

  Catalog* const catalog_;
  CameraSet* const cameras_;
  const std::function<std::vector<VolumeSpace>()> volumes_;
  const Options options_;
  platform::Mutex usersMu_;
  std::vector<UserConfig> users_ GUARDED_BY(usersMu_);
  event_base* base_ = nullptr;
  evhttp* http_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> loopEnded_{false};
  int exports_ = 0;  // event thread only: names scratch files
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_HTTP_API_H_
