#include "tools/kvrd/http_api.h"

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <sys/queue.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include "tools/json_text.h"
#include "tools/kvrd/exporter.h"
#include "tools/kvrd/log.h"
#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

namespace fs = std::filesystem;

// "to" when a listing gives none: far enough to take in an open segment.
constexpr int64_t kOpenEndMs = 86'400'000;

std::string Json(const std::string& text) { return kvr::JsonString(text); }

void Reply(evhttp_request* request, int code, const std::string& body,
           const char* type = "application/json") {
  evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", type);
  evbuffer* out = evbuffer_new();
  evbuffer_add(out, body.data(), body.size());
  const char* reason = code == 200   ? "OK"
                       : code == 400 ? "Bad Request"
                       : code == 404 ? "Not Found"
                       : code == 405 ? "Method Not Allowed"
                                     : "Internal Server Error";
  evhttp_send_reply(request, code, reason, out);
  evbuffer_free(out);
}

void Refuse(evhttp_request* request, int code, const std::string& reason) {
  Reply(request, code, "{\"error\": " + Json(reason) + "}\n");
}

}  // namespace

HttpApi::HttpApi(Catalog* catalog, CameraSet* cameras,
                 std::function<std::vector<VolumeSpace>()> volumes, std::string scratchFolder)
    : catalog_(catalog),
      cameras_(cameras),
      volumes_(std::move(volumes)),
      scratch_(std::move(scratchFolder)) {}

HttpApi::~HttpApi() { Stop(); }

bool HttpApi::Start(const std::string& address, unsigned port, std::string* error) {
  static const bool threads = evthread_use_pthreads() == 0;
  if (!threads) {
    *error = "libevent without thread support";
    return false;
  }
  base_ = event_base_new();
  http_ = base_ != nullptr ? evhttp_new(base_) : nullptr;
  if (http_ == nullptr) {
    *error = "cannot set up the HTTP server";
    return false;
  }
  evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_POST);
  evhttp_set_gencb(http_, &HttpApi::OnRequest, this);
  if (evhttp_bind_socket(http_, address.c_str(), static_cast<uint16_t>(port)) != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port);
    return false;
  }
  thread_ = std::thread([this] { event_base_dispatch(base_); });
  return true;
}

void HttpApi::Stop() {
  if (base_ != nullptr && thread_.joinable()) {
    event_base_loopbreak(base_);
    thread_.join();
  }
  if (http_ != nullptr) evhttp_free(http_);
  if (base_ != nullptr) event_base_free(base_);
  http_ = nullptr;
  base_ = nullptr;
}

void HttpApi::OnRequest(evhttp_request* request, void* self) {
  static_cast<HttpApi*>(self)->Handle(request);
}

bool HttpApi::KnownCamera(const std::string& name) {
  if (cameras_->Find(name)) return true;
  for (const std::string& known : catalog_->Cameras()) {
    if (known == name) return true;
  }
  return false;
}

void HttpApi::Handle(evhttp_request* request) {
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
  const char* rawPath = uri != nullptr ? evhttp_uri_get_path(uri) : nullptr;
  char* decoded = rawPath != nullptr ? evhttp_uridecode(rawPath, 0, nullptr) : nullptr;
  const std::string path = decoded != nullptr ? decoded : "";
  free(decoded);
  const bool post = evhttp_request_get_command(request) == EVHTTP_REQ_POST;

  if (path == "/cameras" || path == "/cameras/") {
    if (post) return Refuse(request, 405, "GET /cameras");
    return Cameras(request);
  }
  // /cameras/NAME/ACTION
  const std::string prefix = "/cameras/";
  const size_t slash = path.find('/', prefix.size());
  if (path.rfind(prefix, 0) != 0 || slash == std::string::npos) {
    return Refuse(request, 404,
                  "no such resource; try /cameras or /cameras/NAME/recordings|export|protect|"
                  "unprotect");
  }
  const std::string camera = path.substr(prefix.size(), slash - prefix.size());
  const std::string action = path.substr(slash + 1);
  const bool known =
      action == "recordings" || action == "export" || action == "protect" || action == "unprotect";
  if (!known) return Refuse(request, 404, "unknown action '" + action + "'");
  if (post != (action == "protect" || action == "unprotect")) {
    return Refuse(request, 405, std::string(post ? "GET" : "POST") + " " + path);
  }
  if (!KnownCamera(camera)) return Refuse(request, 404, "unknown camera '" + camera + "'");

  evkeyvalq query;
  TAILQ_INIT(&query);
  const char* rawQuery = uri != nullptr ? evhttp_uri_get_query(uri) : nullptr;
  if (rawQuery != nullptr && evhttp_parse_query_str(rawQuery, &query) != 0) {
    return Refuse(request, 400, "unreadable query");
  }
  auto param = [&](const char* key) -> std::optional<std::string> {
    const char* value = evhttp_find_header(&query, key);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto fromText = param("from"), toText = param("to");
  std::optional<int64_t> from = int64_t{0}, to = NowMs() + kOpenEndMs;
  if (fromText) from = ParseTime(*fromText);
  if (toText) to = ParseTime(*toText);
  const bool listing = action == "recordings";
  std::string problem;
  if (!from) {
    problem = "unreadable time '" + *fromText + "' (use 2026-12-06T05:10:00Z or epoch seconds)";
  } else if (!to) {
    problem = "unreadable time '" + *toText + "' (use 2026-12-06T05:10:00Z or epoch seconds)";
  } else if (!listing && (!fromText || !toText)) {
    problem = action + " needs both from and to";
  } else if (*to <= *from) {
    problem = "the range ends before it starts";
  }
  evhttp_clear_headers(&query);
  if (!problem.empty()) return Refuse(request, 400, problem);

  if (action == "recordings") return Recordings(request, camera, *from, *to);
  if (action == "export") return Export(request, camera, *from, *to);
  return Protect(request, camera, *from, *to, action == "protect");
}

void HttpApi::Cameras(evhttp_request* request) {
  std::string body = "[";
  bool first = true;
  std::map<std::string, bool> listed;
  for (const auto& camera : cameras_->All()) {
    const Camera::Status status = camera->GetStatus();
    body += std::string(first ? "" : ",") + "\n {\"name\": " + Json(camera->name()) +
            ", \"url\": " + Json(WithoutCredentials(camera->config().url)) +
            ", \"state\": " + Json(status.state) + ", \"since\": " + Json(IsoTime(status.sinceMs)) +
            ", \"segment_s\": " + std::to_string(camera->config().segmentMs / 1000) +
            ", \"retention_s\": " + std::to_string(camera->retentionMs() / 1000) +
            ", \"segments_closed\": " + std::to_string(status.segments) +
            ", \"last_cause\": " + Json(status.lastCause) +
            ", \"retries\": " + std::to_string(status.retries) + "}";
    first = false;
    listed[camera->name()] = true;
  }
  // Footage outlives a camera's removal from the configuration.
  for (const std::string& name : catalog_->Cameras()) {
    if (listed.count(name) != 0) continue;
    body += std::string(first ? "" : ",") + "\n {\"name\": " + Json(name) +
            ", \"state\": \"not configured\"}";
    first = false;
  }
  Reply(request, 200, body + "\n]\n");
}

void HttpApi::Recordings(evhttp_request* request, const std::string& camera, int64_t from,
                         int64_t to) {
  const int64_t now = NowMs();
  std::string body = "{\"camera\": " + Json(camera) + ",\n \"recordings\": [";
  bool first = true;
  for (const SegmentRow& row : catalog_->Segments(camera, from, to)) {
    const int64_t end = row.open ? now : row.endMs;
    body += std::string(first ? "" : ",") + "\n  {\"file\": " + Json(row.file) +
            ", \"volume\": " + Json(row.volume) + ", \"start\": " + Json(IsoTime(row.startMs)) +
            ", \"end\": " + Json(IsoTime(end)) + ", \"start_ms\": " + std::to_string(row.startMs) +
            ", \"end_ms\": " + std::to_string(end) + ", \"bytes\": " + std::to_string(row.bytes) +
            ", \"key_frames\": " + std::to_string(row.keyFrames) +
            ", \"open\": " + (row.open ? "true" : "false") + "}";
    first = false;
  }
  body += "],\n \"gaps\": [";
  first = true;
  for (const GapRow& gap : catalog_->Gaps(camera, from, to)) {
    body += std::string(first ? "" : ",") + "\n  {\"start\": " + Json(IsoTime(gap.startMs)) +
            ", \"end\": " + Json(IsoTime(gap.endMs)) +
            ", \"start_ms\": " + std::to_string(gap.startMs) +
            ", \"end_ms\": " + std::to_string(gap.endMs) + ", \"cause\": " + Json(gap.cause) + "}";
    first = false;
  }
  body += "],\n \"protections\": [";
  first = true;
  for (const ProtectionRow& p : catalog_->Protections(camera, from, to)) {
    body += std::string(first ? "" : ",") + "\n  {\"start\": " + Json(IsoTime(p.startMs)) +
            ", \"end\": " + Json(IsoTime(p.endMs)) + "}";
    first = false;
  }
  Reply(request, 200, body + "]}\n");
}

void HttpApi::Export(evhttp_request* request, const std::string& camera, int64_t from, int64_t to) {
  std::map<std::string, std::string> roots;
  for (const VolumeSpace& v : volumes_()) roots[v.name] = v.path;
  std::vector<ExportSource> sources;
  for (const SegmentRow& row : catalog_->Segments(camera, from, to)) {
    if (row.open) continue;  // still growing: its end is not known yet
    auto root = roots.find(row.volume);
    if (root != roots.end()) sources.push_back({row, (fs::path(root->second) / row.file).string()});
  }
  if (sources.empty()) return Refuse(request, 404, "no closed segment in the range");
  const std::string scratch =
      (fs::path(scratch_) / ("export-" + std::to_string(++exports_) + ".ts")).string();
  std::string error;
  if (!ExportRange(sources, from, to, scratch, &error)) {
    std::error_code ec;
    fs::remove(scratch, ec);
    return Refuse(request, 404, error);
  }
  const int fd = ::open(scratch.c_str(), O_RDONLY | O_CLOEXEC);
  ::unlink(scratch.c_str());  // gone with the descriptor once sent
  if (fd < 0) return Refuse(request, 500, "the export could not be read back");
  const off_t size = ::lseek(fd, 0, SEEK_END);
  evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", "video/mp2t");
  evbuffer* out = evbuffer_new();
  evbuffer_add_file(out, fd, 0, size);  // takes the descriptor
  evhttp_send_reply(request, 200, "OK", out);
  evbuffer_free(out);
  Log(LOG_INFO, "export of %s from %s to %s: %lld bytes", camera.c_str(), IsoTime(from).c_str(),
      IsoTime(to).c_str(), static_cast<long long>(size));
}

void HttpApi::Protect(evhttp_request* request, const std::string& camera, int64_t from, int64_t to,
                      bool on) {
  if (on) {
    if (catalog_->AddProtection({0, camera, from, to}) == 0) {
      return Refuse(request, 500, "the catalog did not take the protection");
    }
    Log(LOG_INFO, "camera %s: protected %s to %s", camera.c_str(), IsoTime(from).c_str(),
        IsoTime(to).c_str());
    return Reply(request, 200, "{\"protected\": 1}\n");
  }
  const int removed = catalog_->RemoveProtections(camera, from, to);
  Log(LOG_INFO, "camera %s: %d protection(s) within %s to %s removed", camera.c_str(), removed,
      IsoTime(from).c_str(), IsoTime(to).c_str());
  Reply(request, 200, "{\"unprotected\": " + std::to_string(removed) + "}\n");
}

}  // namespace kvrd
