// The daemon's look-up API over HTTP (libevent's evhttp), on its own port,
// loopback unless configured otherwise:
//   GET  /cameras                               cameras with their state
//   GET  /cameras/NAME/recordings?from=T&to=T   segments, gaps, protections
//   GET  /cameras/NAME/export?from=T&to=T       the range as one MPEG-TS stream
//   POST /cameras/NAME/protect?from=T&to=T      keep a range from retention
//   POST /cameras/NAME/unprotect?from=T&to=T
// T is ISO 8601 UTC or seconds since the epoch. Bad input is a 4xx with the
// reason as JSON; a range without footage is an empty list.
//
// Owned by main. Its own thread runs the event loop and every handler; an
// export is cut into a scratch file in the state folder and sent from it.
#ifndef KVR_TOOLS_KVRD_HTTP_API_H_
#define KVR_TOOLS_KVRD_HTTP_API_H_

#include <string>
#include <thread>

#include "tools/kvrd/camera_set.h"
#include "tools/kvrd/catalog.h"
#include "tools/kvrd/retention.h"

struct event_base;
struct evhttp;
struct evhttp_request;

namespace kvrd {

class HttpApi {
 public:
  // `volumes` gives each volume's folder, to find segment files.
  HttpApi(Catalog* catalog, CameraSet* cameras, std::function<std::vector<VolumeSpace>()> volumes,
          std::string scratchFolder);
  ~HttpApi();  // Stop()

  // Binds and starts the thread; false with *error when the port is taken.
  bool Start(const std::string& address, unsigned port, std::string* error);
  void Stop();

 private:
  static void OnRequest(evhttp_request* request, void* self);
  void Handle(evhttp_request* request);
  void Cameras(evhttp_request* request);
  void Recordings(evhttp_request* request, const std::string& camera, int64_t from, int64_t to);
  void Export(evhttp_request* request, const std::string& camera, int64_t from, int64_t to);
  void Protect(evhttp_request* request, const std::string& camera, int64_t from, int64_t to,
               bool on);
  bool KnownCamera(const std::string& name);

  Catalog* const catalog_;
  CameraSet* const cameras_;
  const std::function<std::vector<VolumeSpace>()> volumes_;
  const std::string scratch_;
  event_base* base_ = nullptr;
  evhttp* http_ = nullptr;
  std::thread thread_;
  int exports_ = 0;  // event thread only: names scratch files
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_HTTP_API_H_
