// The configured cameras. Apply() brings the running set in line with a
// configuration: cameras added are started, removed ones stopped, changed
// ones restarted, and the others not touched at all (a retention change is
// taken without a restart).
//
// Owned by main. Apply and StopAll run on the main thread; Dispatch runs on
// the library's event thread; the API and retention threads read. The map is
// guarded by mu_; a camera is shared so a reader may finish with it while
// Apply stops it.
#ifndef KVR_TOOLS_KVRD_CAMERA_SET_H_
#define KVR_TOOLS_KVRD_CAMERA_SET_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "tools/kvrd/camera.h"
#include "tools/kvrd/catalog.h"
#include "tools/kvrd/config.h"

namespace kvrd {

class CameraSet {
 public:
  CameraSet(Catalog* catalog, std::function<void()> segmentClosed)
      : catalog_(catalog), segmentClosed_(std::move(segmentClosed)) {}
  ~CameraSet() { StopAll(); }

  void Apply(const std::vector<CameraConfig>& cameras);
  void StopAll();

  // Routes a library record event to the camera whose records are named
  // "NAME/...". False when no camera owns the record.
  bool Dispatch(const char* recordUrl, int code);

  std::shared_ptr<Camera> Find(const std::string& name) const;
  std::vector<std::shared_ptr<Camera>> All() const;

 private:
  Catalog* const catalog_;
  const std::function<void()> segmentClosed_;
  mutable platform::Mutex mu_;
  std::map<std::string, std::shared_ptr<Camera>> cameras_ GUARDED_BY(mu_);
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_CAMERA_SET_H_
