#include "tools/kvrd/camera.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "KVRServer.h"
#include "tools/kvrd/log.h"
#include "tools/kvrd/segment_probe.h"
#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kBackoffBaseMs = 1'000;
constexpr int64_t kBackoffCapMs = 60'000;
// The library gives up an open after 5 s; a picture group on top.
constexpr int64_t kOpenWaitMs = 12'000;
constexpr int64_t kPollMs = 50;
// The library's own limit event is the roll-over signal; this only bounds
// how long a segment can run when that event is lost.
constexpr int64_t kRollSlackMs = 30'000;

constexpr int kEventDiskFull = 1, kEventTimeLimit = 2, kEventSizeLimit = 3;
constexpr int kStatusFailed = 0;
constexpr int kStatusGone = -100;  // no such record (a failed start's task is removed)

const char* Cause(int code) {
  switch (code) {
    case kEventDiskFull:
      return "disk full";
    case 4:
      return "write error";
    case 5:
      return "stream lost";
    default:
      return "record ended";
  }
}

// The status array the library hands out lives until the next query, from
// any thread: queries take turns.
platform::Mutex g_query_mu;

int RecordStatus(const std::string& url) {
  platform::MutexLock lock(g_query_mu);
  unsigned long records = 0;
  unsigned int count = 0;
  if (KVR_QueryRecRealMediaStatus(const_cast<char*>(url.c_str()), records, count) != 0 ||
      count == 0 || records == 0) {
    return kStatusGone;
  }
  return reinterpret_cast<const RECORD_STATUS_INFO*>(records)->status;
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

// Segment file names by start time: two cameras' names may share a
// millisecond, one camera's never.
platform::Mutex g_names_mu;
int64_t g_last_named GUARDED_BY(g_names_mu) = 0;

void SleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

Camera::Camera(const CameraConfig& config, Catalog* catalog, std::function<void()> closed)
    : config_(config),
      catalog_(catalog),
      closed_(std::move(closed)),
      backoff_(
          kBackoffBaseMs, kBackoffCapMs,
          static_cast<uint32_t>(std::hash<std::string>()(config.name + std::to_string(NowMs())))),
      retentionMs_(config.retentionMs) {
  status_.state = "stopped";
  status_.sinceMs = NowMs();
}

Camera::~Camera() { Stop(); }

void Camera::Start() {
  catalog_->AddCamera(config_.name);
  thread_ = std::thread([this] { Run(); });
}

void Camera::Stop() {
  {
    platform::MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Camera::OnRecordEvent(const std::string& recordUrl, int code) {
  {
    platform::MutexLock lock(mu_);
    events_[recordUrl].push_back(code);
  }
  wake_.notify_all();
}

void Camera::SetRetention(int64_t ms) {
  platform::MutexLock lock(mu_);
  retentionMs_ = ms;
}

int64_t Camera::retentionMs() const {
  platform::MutexLock lock(mu_);
  return retentionMs_;
}

Camera::Status Camera::GetStatus() const {
  platform::MutexLock lock(mu_);
  return status_;
}

void Camera::SetState(const std::string& state) {
  platform::MutexLock lock(mu_);
  if (status_.state == state) return;
  status_.state = state;
  status_.sinceMs = NowMs();
}

bool Camera::Sleep(int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  platform::MutexLock lock(mu_);
  while (!stopping_ && wake_.wait_until(mu_, until) != std::cv_status::timeout) {
  }
  return !stopping_;
}

int Camera::WaitEvent(const std::string& url, int64_t deadlineMs) {
  platform::MutexLock lock(mu_);
  for (;;) {
    if (stopping_) return 0;
    auto it = events_.find(url);
    if (it != events_.end() && !it->second.empty()) {
      const int code = it->second.front();
      it->second.erase(it->second.begin());
      return code;
    }
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return 0;
    wake_.wait_for(mu_, std::chrono::milliseconds(left));
  }
}

bool Camera::OpenSegment(Segment* segment, std::string* cause, const std::string& watched) {
  int64_t requested = NowMs();
  {
    platform::MutexLock lock(g_names_mu);
    requested = std::max(requested, g_last_named + 1);
    g_last_named = requested;
  }
  segment->url = config_.name + "/" + SegmentFileName(requested);
  const int64_t startedMs = NowMs();
  std::string volume = config_.volume;
  const int started = KVR_StartRecRealMedia(
      const_cast<char*>(config_.url.c_str()), const_cast<char*>(segment->url.c_str()),
      volume.empty() ? nullptr : volume.data(), 0, static_cast<int>(config_.segmentMs / 1000));
  if (started != 0) {
    *cause = "the service refused the record (" + std::to_string(started) + ")";
    return false;
  }
  STORE_CONFIG_INFO store;
  KVR_GetKVRConfig(store);
  std::string path;
  for (const int64_t until = NowMs() + kOpenWaitMs; NowMs() < until;) {
    if (path.empty()) {
      for (const STORE_VOLUME_INFO& v : store.volumes) {
        const std::string candidate = (fs::path(v.volumePath) / segment->url).string();
        if (FileSize(candidate) >= 0) {
          path = candidate;
          segment->volume = v.volumeName;
          segment->root = v.volumePath;
        }
      }
    }
    if (!path.empty() && FileSize(path) > 0) {
      segment->firstDataMs = NowMs();
      SegmentRow row;
      row.camera = config_.name;
      row.volume = segment->volume;
      row.file = segment->url;
      row.startMs = row.endMs = segment->firstDataMs;
      row.open = true;
      segment->id = catalog_->AddSegment(row);
      platform::MutexLock lock(mu_);
      status_.openSeconds.Observe((segment->firstDataMs - startedMs) / 1000.0);
      status_.currentFile = segment->url;
      status_.currentVolume = segment->volume;
      status_.currentPath = path;
      return true;
    }
    {
      platform::MutexLock lock(mu_);
      if (stopping_) {
        *cause = "stopping";
        break;
      }
      auto it = events_.find(segment->url);
      if (it != events_.end() && !it->second.empty()) {
        *cause = Cause(it->second.front());
        break;
      }
      // The segment being rolled over lost its camera: so has this one.
      auto old = events_.find(watched);
      if (!watched.empty() && old != events_.end() &&
          std::any_of(old->second.begin(), old->second.end(), [](int code) {
            return code != kEventTimeLimit && code != kEventSizeLimit;
          })) {
        *cause = Cause(5);
        break;
      }
    }
    // A record whose stream did not open is failed, or already gone.
    const int status = RecordStatus(segment->url);
    if (status == kStatusFailed || status == kStatusGone) {
      *cause = "cannot open the stream";
      break;
    }
    SleepMs(kPollMs);
  }
  if (cause->empty()) *cause = "no media within " + std::to_string(kOpenWaitMs / 1000) + " s";
  KVR_StopRecRealMedia(const_cast<char*>(segment->url.c_str()));
  std::error_code ec;
  if (!path.empty()) fs::remove(path, ec);
  platform::MutexLock lock(mu_);
  events_.erase(segment->url);
  return false;
}

std::optional<SegmentRow> Camera::CloseSegment(const Segment& segment, int64_t notAfterMs) {
  const int64_t stoppedMs = NowMs();
  KVR_StopRecRealMedia(const_cast<char*>(segment.url.c_str()));
  {
    platform::MutexLock lock(mu_);
    events_.erase(segment.url);
    if (status_.currentFile == segment.url) {
      status_.currentFile.clear();
      status_.currentVolume.clear();
      status_.currentPath.clear();
    }
  }
  const std::string path = (fs::path(segment.root) / segment.url).string();
  // The writer's last blocks land after the stop returns: read the file
  // once it stops growing, so this reading and a rebuild's agree.
  int64_t size = FileSize(path);
  for (int still = 0, waited = 0; still < 4 && waited < 60; ++waited) {
    SleepMs(kPollMs);
    const int64_t now = FileSize(path);
    still = now == size ? still + 1 : 0;
    size = now;
  }
  const SegmentFacts facts = ProbeSegment(path);
  std::error_code ec;
  if (facts.spanMs <= 0) {
    Log(LOG_WARNING, "camera %s: segment %s held no picture; removed", config_.name.c_str(),
        segment.url.c_str());
    fs::remove(path, ec);
    catalog_->RemoveSegment(segment.id);
    return std::nullopt;
  }
  // The first picture came no later than the first bytes on disk, and no
  // later than the stop less the span: the nearer bound. A segment that
  // follows another on from a roll-over starts no later than that one ended:
  // their media overlap, so a hole would only be the estimate's error.
  int64_t start = std::min(segment.firstDataMs, stoppedMs - facts.spanMs);
  if (notAfterMs > 0) start = std::min(start, notAfterMs);
  SegmentRow row;
  row.id = segment.id;
  row.camera = config_.name;
  row.volume = segment.volume;
  row.bytes = facts.bytes;
  row.keyFrames = facts.keyFrames;
  for (;; ++start) {
    row.file = config_.name + "/" + SegmentFileName(start);
    if (row.file == segment.url || !fs::exists(fs::path(segment.root) / row.file, ec)) break;
  }
  row.startMs = start;
  row.endMs = start + facts.spanMs;
  fs::rename(path, fs::path(segment.root) / row.file, ec);
  if (ec) {
    Log(LOG_ERR, "camera %s: cannot rename %s: %s", config_.name.c_str(), path.c_str(),
        ec.message().c_str());
    row.file = segment.url;
  }
  catalog_->UpdateSegment(row);
  Recheck();
  lastClosed_ = row;
  lastRoot_ = segment.root;
  {
    platform::MutexLock lock(mu_);
    ++status_.segments;
    status_.closedBytes += row.bytes;
    status_.closeSeconds.Observe((NowMs() - stoppedMs) / 1000.0);
  }
  if (closed_) closed_();
  return row;
}

void Camera::Recheck() {
  if (!lastClosed_) return;
  SegmentRow& row = *lastClosed_;
  const SegmentFacts facts = ProbeSegment((fs::path(lastRoot_) / row.file).string());
  if (!facts.readable || (facts.bytes == row.bytes && facts.keyFrames == row.keyFrames &&
                          row.startMs + facts.spanMs == row.endMs)) {
    return;
  }
  row.bytes = facts.bytes;
  row.keyFrames = facts.keyFrames;
  row.endMs = row.startMs + facts.spanMs;
  catalog_->UpdateSegment(row);
}

void Camera::Settle() {
  if (thread_.joinable()) return;  // still recording
  Recheck();
}

void Camera::Run() {
  struct Outage {
    int64_t startMs;
    std::string cause;
  };
  std::optional<Outage> outage;
  std::optional<Segment> current;
  int64_t lastEndMs = 0;    // end of the last closed segment
  int64_t gapToFix = 0;     // a gap whose end is the start of the open segment
  bool contiguous = false;  // the open segment followed the last one on
  auto close = [&](const Segment& segment) {
    const std::optional<SegmentRow> row = CloseSegment(segment, contiguous ? lastEndMs : 0);
    if (row) {
      // The outage ends where this segment's first picture was placed.
      if (gapToFix != 0) catalog_->SetGapEnd(gapToFix, row->startMs);
      lastEndMs = row->endMs;
    }
    gapToFix = 0;
  };
  auto lose = [&](const std::string& cause) {
    platform::MutexLock lock(mu_);
    status_.lastCause = cause;
    // One line per outage: a retry that fails shows only in the camera's status.
    if (outage) {
      ++status_.retries;
      return;
    }
    outage = Outage{lastEndMs > 0 ? lastEndMs : NowMs(), cause};
    status_.retries = 0;
    status_.outageSinceMs = outage->startMs;
    ++status_.outages[cause];
    Log(LOG_WARNING, "camera %s: %s; retrying with back-off (at most %lld s apart)",
        config_.name.c_str(), cause.c_str(), static_cast<long long>(kBackoffCapMs / 1000));
  };

  SetState("connecting");
  for (;;) {
    if (!current) {
      Segment next;
      std::string cause;
      if (OpenSegment(&next, &cause, "")) {
        backoff_.Reset();
        if (outage) {
          gapToFix =
              catalog_->AddGap({0, config_.name, outage->startMs, next.firstDataMs, outage->cause});
          const Status status = GetStatus();
          Log(LOG_NOTICE,
              "camera %s: recording again after %.1f s without footage (%lld failed "
              "retries, the last: %s)",
              config_.name.c_str(), (next.firstDataMs - outage->startMs) / 1000.0,
              static_cast<long long>(status.retries), status.lastCause.c_str());
          {
            platform::MutexLock lock(mu_);
            ++status_.reconnects;
            status_.gapMs += next.firstDataMs - outage->startMs;
            status_.outageSinceMs = 0;
          }
          outage.reset();
        }
        contiguous = false;
        current = next;
        SetState("recording");
        continue;
      }
      if (cause == "stopping") break;
      lose(cause);
      SetState("retrying");
      if (!Sleep(backoff_.Next())) break;
      SetState("connecting");
      continue;
    }
    const int code = WaitEvent(current->url, NowMs() + config_.segmentMs + kRollSlackMs);
    {
      platform::MutexLock lock(mu_);
      if (stopping_) break;
    }
    if (code == 0 || code == kEventTimeLimit || code == kEventSizeLimit) {
      Segment next;
      std::string cause;
      if (OpenSegment(&next, &cause, current->url)) {
        close(*current);
        contiguous = true;
        current = next;
        continue;
      }
      close(*current);
      current.reset();
      if (cause == "stopping") break;
      lose(cause);
    } else {
      close(*current);
      current.reset();
      lose(Cause(code));
    }
    SetState("retrying");
    if (!Sleep(backoff_.Next())) break;
    SetState("connecting");
  }
  if (current) close(*current);
  if (outage) {
    // Footage stops here whatever the camera does: the gap ends with the daemon.
    catalog_->AddGap({0, config_.name, outage->startMs, NowMs(), outage->cause});
  }
  SetState("stopped");
}

}  // namespace kvrd
