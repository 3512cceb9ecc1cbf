// One configured camera recording itself into segment files, through the
// library's exports: a record per segment, named NAME/<start>.ts on a volume.
//
// Rolling over, the next segment's record is started when the library says
// the current one reached its time limit (it keeps writing through its grace
// period) and the current one is stopped only once the next has media on
// disk, so segments overlap by the open time and at most a picture group and
// never leave a hole. A closed segment is renamed to the wall time of its
// first picture and entered in the catalog. A lost or unopenable camera is
// retried with back-off; the outage becomes one gap in the catalog and one
// warning in the log.
//
// Owned by the CameraSet. Its own thread does all the recording; the record
// event callback (a library thread) and the API thread only queue events and
// read the status, under mu_.
#ifndef KVR_TOOLS_KVRD_CAMERA_H_
#define KVR_TOOLS_KVRD_CAMERA_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "tools/kvrd/backoff.h"
#include "tools/kvrd/catalog.h"
#include "tools/kvrd/config.h"
#include "tools/kvrd/metrics.h"

namespace kvrd {

class Camera {
 public:
  struct Status {
    std::string state;  // connecting, recording, retrying, stopped
    int64_t sinceMs = 0;
    std::string lastCause;  // why the last outage began, then why its last retry failed
    int64_t retries = 0;    // failed attempts in the current outage
    int64_t segments = 0;   // closed since the daemon started
    // What the operator's dashboards count, all since the daemon started.
    int64_t closedBytes = 0;                 // bytes of the segments closed
    int64_t reconnects = 0;                  // outages that ended in recording again
    int64_t gapMs = 0;                       // footage missed in outages that ended
    int64_t outageSinceMs = 0;               // start of the outage going on, 0: none
    std::map<std::string, int64_t> outages;  // by cause
    Histogram openSeconds;                   // record start to its first media on disk
    Histogram closeSeconds;                  // record stop to its row in the catalog
    // The segment being written, empty between segments.
    std::string currentFile, currentVolume, currentPath;
  };

  // `closed` runs on the camera's thread after each segment closes.
  Camera(const CameraConfig& config, Catalog* catalog, std::function<void()> closed);
  ~Camera();  // Stop()
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  void Start();
  // Closes the open segment and joins the thread.
  void Stop();
  // After the service has stopped (every file written out): reads the last
  // closed segment again and corrects its row if late writes grew it.
  void Settle();

  // A library event for one of this camera's records; any thread.
  void OnRecordEvent(const std::string& recordUrl, int code);

  const std::string& name() const { return config_.name; }
  const CameraConfig& config() const { return config_; }
  void SetRetention(int64_t ms);
  int64_t retentionMs() const;
  Status GetStatus() const;

 private:
  struct Segment {
    int64_t id = 0;      // catalog row
    std::string url;     // record name: NAME/<requested>.ts
    std::string volume;  // name of the volume the library chose
    std::string root;    // that volume's folder
    int64_t firstDataMs = 0;
  };

  void Run();
  // Starts a segment's record and waits for its first media on disk; false
  // (with the cause) when it does not come, or when the record `watched`
  // (the one rolled over, or empty) loses its stream meanwhile. The record
  // is stopped again then.
  bool OpenSegment(Segment* segment, std::string* cause, const std::string& watched);
  // Stops the record, reads the file, renames it after its first picture
  // and closes its catalog row, starting no later than `notAfterMs` when
  // that is set; gives the row, nothing when the file held no picture.
  std::optional<SegmentRow> CloseSegment(const Segment& segment, int64_t notAfterMs);
  // Reads the last closed segment's file again: the writer may have added its
  // last blocks after the file looked settled.
  void Recheck();
  // The next event for `url`, or 0 at `deadline` or a stop.
  int WaitEvent(const std::string& url, int64_t deadlineMs);
  // Sleeps `ms` unless stopped; false when stopped.
  bool Sleep(int64_t ms);
  void SetState(const std::string& state);

  const CameraConfig config_;
  Catalog* const catalog_;
  const std::function<void()> closed_;
  Backoff backoff_;

  mutable platform::Mutex mu_;
  std::condition_variable_any wake_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::map<std::string, std::vector<int>> events_ GUARDED_BY(mu_);  // per record
  Status status_ GUARDED_BY(mu_);
  int64_t retentionMs_ GUARDED_BY(mu_);
  std::thread thread_;
  // The camera's thread, then (once joined) Settle's.
  std::optional<SegmentRow> lastClosed_;
  std::string lastRoot_;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_CAMERA_H_
