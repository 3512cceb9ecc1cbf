#include "tools/kvrd/http_api.h"

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <sys/queue.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include "tools/json_text.h"
#include "tools/kvrd/console_files.h"
#include "tools/kvrd/exporter.h"
#include "tools/kvrd/health.h"
#include "tools/kvrd/log.h"
#include "tools/kvrd/metrics.h"
#include "tools/kvrd/playback_stream.h"
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
                       : code == 401 ? "Unauthorized"
                       : code == 404 ? "Not Found"
                       : code == 405 ? "Method Not Allowed"
                       : code == 503 ? "Service Unavailable"
                                     : "Internal Server Error";
  evhttp_send_reply(request, code, reason, out);
  evbuffer_free(out);
}

void Refuse(evhttp_request* request, int code, const std::string& reason) {
  Reply(request, code, "{\"error\": " + Json(reason) + "}\n");
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=') {
      break;
    } else {
      return "";
    }
    bits = bits << 6 | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

const char* ContentType(const std::string& path) {
  if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".html") == 0) {
    return "text/html; charset=utf-8";
  }
  if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".css") == 0) {
    return "text/css; charset=utf-8";
  }
  if (path.size() >= 3 && path.compare(path.size() - 3, 3, ".js") == 0) {
    return "text/javascript; charset=utf-8";
  }
  return "application/octet-stream";
}

// JSON has no infinity: a volume nothing is written to is never full.
std::string JsonSeconds(double seconds) {
  return std::isinf(seconds) ? "null" : std::to_string(static_cast<int64_t>(seconds));
}

}  // namespace

HttpApi::HttpApi(Catalog* catalog, CameraSet* cameras,
                 std::function<std::vector<VolumeSpace>()> volumes, Options options)
    : catalog_(catalog),
      cameras_(cameras),
      volumes_(std::move(volumes)),
      options_(std::move(options)),
      users_(options_.users) {}

void HttpApi::SetUsers(std::vector<UserConfig> users) {
  platform::MutexLock lock(usersMu_);
  users_ = std::move(users);
}

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
  thread_ = std::thread([this] {
    while (!stopping_.load()) event_base_dispatch(base_);
    loopEnded_.store(true);
  });
  return true;
}

void HttpApi::Stop() {
  if (base_ != nullptr && thread_.joinable()) {
    stopping_.store(true);
    // A loop that begins clears a break asked for before it: a stop right
    // after the start would wait for ever. The break is asked again until
    // the loop has ended.
    while (!loopEnded_.load()) {
      event_base_loopbreak(base_);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread_.join();
  }
  PlaybackStream::StopAll();
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

  // Probes of the process itself answer anyone who reaches the port.
  if (path == "/healthz") return Reply(request, 200, "ok\n", "text/plain; charset=utf-8");
  if (path == "/readyz") return Ready(request);
  if (!Authorized(request)) return;
  if (path == "/metrics") return Metrics(request);
  if (path == "/volumes") return Volumes(request);
  for (const ConsoleFile& file : ConsoleFiles()) {
    if (path == file.path || (path == "/" && std::string(file.path) == "/index.html")) {
      if (post) return Refuse(request, 405, "GET " + path);
      return Reply(request, 200, std::string(file.data, file.size), ContentType(file.path));
    }
  }
  if (path == "/cameras" || path == "/cameras/") {
    if (post) return Refuse(request, 405, "GET /cameras");
    return Cameras(request);
  }
  // /cameras/NAME/ACTION
  const std::string prefix = "/cameras/";
  const size_t slash = path.find('/', prefix.size());
  if (path.rfind(prefix, 0) != 0 || slash == std::string::npos) {
    return Refuse(request, 404,
                  "no such resource; try /, /cameras, /volumes, /metrics or "
                  "/cameras/NAME/recordings|export|play|protect|unprotect");
  }
  const std::string camera = path.substr(prefix.size(), slash - prefix.size());
  const std::string action = path.substr(slash + 1);
  const bool known = action == "recordings" || action == "export" || action == "play" ||
                     action == "protect" || action == "unprotect";
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
  // Playback runs to now unless told where to stop.
  if (action == "play" && !toText) to = NowMs();
  const bool listing = action == "recordings";
  std::string problem;
  if (!from) {
    problem = "unreadable time '" + *fromText + "' (use 2026-12-06T05:10:00Z or epoch seconds)";
  } else if (!to) {
    problem = "unreadable time '" + *toText + "' (use 2026-12-06T05:10:00Z or epoch seconds)";
  } else if (action == "play" && !fromText) {
    problem = "play needs from";
  } else if (!listing && action != "play" && (!fromText || !toText)) {
    problem = action + " needs both from and to";
  } else if (*to <= *from) {
    problem = "the range ends before it starts";
  }
  evhttp_clear_headers(&query);
  if (!problem.empty()) return Refuse(request, 400, problem);

  if (action == "recordings") return Recordings(request, camera, *from, *to);
  if (action == "export") return Export(request, camera, *from, *to);
  if (action == "play") return Play(request, camera, *from, *to);
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
            ", \"retries\": " + std::to_string(status.retries) +
            ", \"current_segment\": " + Json(status.currentFile) +
            ", \"current_volume\": " + Json(status.currentVolume) +
            ", \"reconnects\": " + std::to_string(status.reconnects) + "}";
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
  const std::vector<ExportSource> sources = Sources(camera, from, to, false);
  if (sources.empty()) return Refuse(request, 404, "no closed segment in the range");
  const std::string scratch =
      (fs::path(options_.scratchFolder) / ("export-" + std::to_string(++exports_) + ".ts"))
          .string();
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

namespace kvrd {

std::vector<ExportSource> HttpApi::Sources(const std::string& camera, int64_t from, int64_t to,
                                           bool open) {
  std::map<std::string, std::string> roots;
  for (const VolumeSpace& v : volumes_()) roots[v.name] = v.path;
  std::vector<ExportSource> sources;
  const int64_t now = NowMs();
  for (SegmentRow row : catalog_->Segments(camera, from, to)) {
    // An open segment's end is not known yet: an export waits for it to
    // close, playback reads what is on disk so far.
    if (row.open && !open) continue;
    if (row.open) row.endMs = std::max(row.endMs, now);
    auto root = roots.find(row.volume);
    if (root != roots.end()) sources.push_back({row, (fs::path(root->second) / row.file).string()});
  }
  return sources;
}

void HttpApi::Play(evhttp_request* request, const std::string& camera, int64_t from, int64_t to) {
  std::vector<ExportSource> sources = Sources(camera, from, to, true);
  if (sources.empty()) return Refuse(request, 404, "no footage in the range");
  // What the stream skips: the holes between its segments.
  std::string gaps;
  for (size_t i = 1; i < sources.size(); ++i) {
    const int64_t start = sources[i - 1].row.endMs, end = sources[i].row.startMs;
    if (end - start > kGapToleranceMs) {
      gaps += (gaps.empty() ? "" : ",") + IsoTime(start) + "/" + IsoTime(end);
    }
  }
  PlaybackStream::Start(base_, request, std::move(sources), from, to, std::move(gaps));
}

std::map<std::string, double> HttpApi::WriteRates() {
  std::map<std::string, double> rates;
  const int64_t now = NowMs();
  for (const std::string& camera : catalog_->Cameras()) {
    std::map<std::string, std::vector<SegmentRow>> byVolume;
    for (const SegmentRow& row : catalog_->Segments(camera, now - kRateWindowMs, now)) {
      if (!row.open) byVolume[row.volume].push_back(row);
    }
    for (const auto& [volume, rows] : byVolume) rates[volume] += WriteRate(rows);
  }
  return rates;
}

void HttpApi::Volumes(evhttp_request* request) {
  std::map<std::string, double> rates = WriteRates();
  std::string body = "[";
  bool first = true;
  for (const VolumeSpace& v : volumes_()) {
    const double rate = rates[v.name];
    body += std::string(first ? "" : ",") + "\n {\"name\": " + Json(v.name) +
            ", \"path\": " + Json(v.path) + ", \"total_bytes\": " + std::to_string(v.totalBytes) +
            ", \"free_bytes\": " + std::to_string(v.freeBytes) +
            ", \"reserved_bytes\": " + std::to_string(v.reservedBytes) +
            ", \"write_bytes_per_s\": " + std::to_string(static_cast<int64_t>(rate)) +
            ", \"seconds_until_full\": " +
            JsonSeconds(SecondsUntilFull(v.freeBytes, v.reservedBytes, rate)) + "}";
    first = false;
  }
  Reply(request, 200, body + "\n]\n");
}

void HttpApi::Metrics(evhttp_request* request) {
  MetricsText m;
  const int64_t now = NowMs();
  struct Row {
    std::string name;
    Camera::Status status;
    int64_t openBytes;
  };
  std::vector<Row> rows;
  for (const auto& camera : cameras_->All()) {
    Camera::Status status = camera->GetStatus();
    std::error_code ec;
    const auto size = status.currentPath.empty() ? 0 : fs::file_size(status.currentPath, ec);
    rows.push_back({camera->name(), std::move(status), ec ? 0 : static_cast<int64_t>(size)});
  }
  auto each = [&](const std::string& name, const char* type, const std::string& help, auto value) {
    m.Family(name, type, help);
    for (const Row& row : rows) m.Sample(name, {{"camera", row.name}}, value(row));
  };
  each("kvrd_camera_recording", "gauge", "1 while the camera's footage is being written.",
       [](const Row& r) { return r.status.state == "recording" ? 1.0 : 0.0; });
  each("kvrd_camera_written_bytes_total", "counter",
       "Bytes of footage written: the closed segments and the open one so far.",
       [](const Row& r) { return static_cast<double>(r.status.closedBytes + r.openBytes); });
  each("kvrd_camera_segments_total", "counter", "Segments closed.",
       [](const Row& r) { return static_cast<double>(r.status.segments); });
  each("kvrd_camera_reconnects_total", "counter", "Outages that ended in recording again.",
       [](const Row& r) { return static_cast<double>(r.status.reconnects); });
  each("kvrd_camera_gap_seconds_total", "counter",
       "Seconds without footage in outages, the one going on included.", [&](const Row& r) {
         const int64_t ongoing = r.status.outageSinceMs > 0 ? now - r.status.outageSinceMs : 0;
         return (r.status.gapMs + ongoing) / 1000.0;
       });
  m.Family("kvrd_camera_outages_total", "counter", "Outages by the cause they began with.");
  for (const Row& row : rows) {
    for (const auto& [cause, count] : row.status.outages) {
      m.Sample("kvrd_camera_outages_total", {{"camera", row.name}, {"cause", cause}},
               static_cast<double>(count));
    }
  }
  m.Family("kvrd_record_bytes", "gauge", "Bytes on disk of each record (segment) being written.");
  for (const Row& row : rows) {
    if (row.status.currentFile.empty()) continue;
    m.Sample("kvrd_record_bytes", {{"camera", row.name}, {"record", row.status.currentFile}},
             static_cast<double>(row.openBytes));
  }
  m.Family("kvrd_segment_open_seconds", "histogram",
           "From a segment's record start to its first media on disk.");
  for (const Row& row : rows) {
    m.Histo("kvrd_segment_open_seconds", {{"camera", row.name}}, row.status.openSeconds);
  }
  m.Family("kvrd_segment_close_seconds", "histogram",
           "From a segment's record stop to its file settled and its row in the catalog.");
  for (const Row& row : rows) {
    m.Histo("kvrd_segment_close_seconds", {{"camera", row.name}}, row.status.closeSeconds);
  }

  const std::vector<VolumeSpace> volumes = volumes_();
  std::map<std::string, double> rates = WriteRates();
  auto perVolume = [&](const std::string& name, const std::string& help, auto value) {
    m.Family(name, "gauge", help);
    for (const VolumeSpace& v : volumes) m.Sample(name, {{"volume", v.name}}, value(v));
  };
  perVolume("kvrd_volume_free_bytes", "Free bytes on the volume's filesystem.",
            [](const VolumeSpace& v) { return static_cast<double>(v.freeBytes); });
  perVolume(
      "kvrd_volume_used_bytes", "Used bytes on the volume's filesystem.", [](const VolumeSpace& v) {
        return static_cast<double>(v.totalBytes > v.freeBytes ? v.totalBytes - v.freeBytes : 0);
      });
  perVolume("kvrd_volume_reserved_bytes", "Bytes the service keeps free on the volume.",
            [](const VolumeSpace& v) { return static_cast<double>(v.reservedBytes); });
  perVolume("kvrd_volume_write_bytes_per_second",
            "Footage written to the volume, over the segments closed in the last 10 minutes.",
            [&](const VolumeSpace& v) { return rates[v.name]; });
  perVolume("kvrd_volume_seconds_until_full",
            "Seconds until the free space above the reserve is gone at the current rate, "
            "before retention deletes anything (+Inf: nothing is written).",
            [&](const VolumeSpace& v) {
              return SecondsUntilFull(v.freeBytes, v.reservedBytes, rates[v.name]);
            });
  m.Family("kvrd_control_port_listening", "gauge", "1 while the control port takes connections.");
  m.Sample("kvrd_control_port_listening", {},
           options_.controlPort != 0 && PortListening(options_.controlAddress, options_.controlPort)
               ? 1
               : 0);
  m.Family("kvrd_playback_streams", "gauge", "Playback replies being streamed.");
  m.Sample("kvrd_playback_streams", {}, PlaybackStream::Active());
  // The library's own figures: its control port and what each record lost.
  const std::string library =
      options_.controlPort != 0 ? ControlPortMetrics(options_.controlAddress, options_.controlPort)
                                : "";
  Reply(request, 200, m.text() + library, "text/plain; version=0.0.4; charset=utf-8");
}

void HttpApi::Ready(evhttp_request* request) {
  std::string failing;
  std::string why;
  if (!catalog_->Check(&why)) failing += "catalog: " + why + "\n";
  for (const VolumeSpace& v : volumes_()) {
    why = VolumeWritable(v.path);
    if (!why.empty()) failing += "volume " + v.name + " (" + v.path + "): " + why + "\n";
  }
  if (options_.controlPort != 0 && !PortListening(options_.controlAddress, options_.controlPort)) {
    failing += "control port " + std::to_string(options_.controlPort) + ": not listening\n";
  }
  if (failing.empty()) return Reply(request, 200, "ready\n", "text/plain; charset=utf-8");
  Reply(request, 503, "not ready:\n" + failing, "text/plain; charset=utf-8");
}

bool HttpApi::Authorized(evhttp_request* request) {
  std::vector<UserConfig> users;
  {
    platform::MutexLock lock(usersMu_);
    users = users_;
  }
  if (!options_.askCredentials || users.empty()) return true;
  const char* header =
      evhttp_find_header(evhttp_request_get_input_headers(request), "Authorization");
  const std::string given = header != nullptr ? header : "";
  if (given.rfind("Basic ", 0) == 0) {
    const std::string pair = Base64Decode(given.substr(6));
    for (const UserConfig& user : users) {
      if (pair == user.name + ":" + user.password) return true;
    }
    Log(LOG_WARNING, "API: refused credentials for '%s'", pair.substr(0, pair.find(':')).c_str());
  }
  evhttp_add_header(evhttp_request_get_output_headers(request), "WWW-Authenticate",
                    "Basic realm=\"kvrd\", charset=\"UTF-8\"");
  Refuse(request, 401, "credentials needed");
  return false;
}

}  // namespace kvrd
