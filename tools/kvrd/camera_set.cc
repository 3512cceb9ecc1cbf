#include "tools/kvrd/camera_set.h"

#include <cstring>

#include "tools/kvrd/log.h"

namespace kvrd {

void CameraSet::Apply(const std::vector<CameraConfig>& cameras) {
  std::map<std::string, const CameraConfig*> wanted;
  for (const CameraConfig& camera : cameras) wanted[camera.name] = &camera;
  std::vector<std::shared_ptr<Camera>> retired;
  std::vector<std::shared_ptr<Camera>> fresh;
  {
    platform::MutexLock lock(mu_);
    for (auto it = cameras_.begin(); it != cameras_.end();) {
      auto want = wanted.find(it->first);
      if (want == wanted.end() || !want->second->SameRecording(it->second->config())) {
        retired.push_back(it->second);
        it = cameras_.erase(it);
      } else {
        if (it->second->retentionMs() != want->second->retentionMs) {
          it->second->SetRetention(want->second->retentionMs);
          Log(LOG_INFO, "camera %s: retention changed", it->first.c_str());
        }
        ++it;
      }
    }
  }
  // Stopped outside the lock: a stop closes a segment, which takes a while.
  for (const auto& camera : retired) {
    camera->Stop();
    Log(LOG_INFO, "camera %s: %s", camera->name().c_str(),
        wanted.count(camera->name()) != 0 ? "changed, restarting" : "removed");
  }
  for (const CameraConfig& config : cameras) {
    platform::MutexLock lock(mu_);
    if (cameras_.count(config.name) != 0) continue;
    auto camera = std::make_shared<Camera>(config, catalog_, segmentClosed_);
    cameras_[config.name] = camera;
    fresh.push_back(camera);
  }
  for (const auto& camera : fresh) {
    Log(LOG_INFO, "camera %s: recording %s into %s segments of %lld s", camera->name().c_str(),
        WithoutCredentials(camera->config().url).c_str(),
        camera->config().volume.empty() ? "any volume's" : camera->config().volume.c_str(),
        static_cast<long long>(camera->config().segmentMs / 1000));
    camera->Start();
  }
}

void CameraSet::StopAll() {
  std::map<std::string, std::shared_ptr<Camera>> cameras;
  {
    platform::MutexLock lock(mu_);
    cameras.swap(cameras_);
  }
  // Each stop waits for its segment's file to settle: stopped side by side.
  std::vector<std::thread> stops;
  for (auto& [name, camera] : cameras) stops.emplace_back([c = camera] { c->Stop(); });
  for (std::thread& stop : stops) stop.join();
}

bool CameraSet::Dispatch(const char* recordUrl, int code) {
  if (recordUrl == nullptr) return false;
  const char* slash = std::strchr(recordUrl, '/');
  if (slash == nullptr) return false;
  auto camera = Find(std::string(recordUrl, slash));
  if (!camera) return false;
  camera->OnRecordEvent(recordUrl, code);
  return true;
}

std::shared_ptr<Camera> CameraSet::Find(const std::string& name) const {
  platform::MutexLock lock(mu_);
  auto it = cameras_.find(name);
  return it != cameras_.end() ? it->second : nullptr;
}

std::vector<std::shared_ptr<Camera>> CameraSet::All() const {
  platform::MutexLock lock(mu_);
  std::vector<std::shared_ptr<Camera>> all;
  for (const auto& [name, camera] : cameras_) all.push_back(camera);
  return all;
}

}  // namespace kvrd
