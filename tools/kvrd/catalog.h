// What the daemon knows of its footage: cameras, segment files, gaps and the
// time ranges an operator protected. One small interface, so that a database
// shared by several machines could take the embedded one's place.
//
// Times are wall-clock milliseconds since the epoch (UTC). A range query
// returns rows that overlap [from, to). Implementations are safe to call from
// any thread; the caller owns the catalog and keeps it alive while the
// cameras, the retention sweeper and the API use it.
#ifndef KVR_TOOLS_KVRD_CATALOG_H_
#define KVR_TOOLS_KVRD_CATALOG_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kvrd {

struct SegmentRow {
  int64_t id = 0;
  std::string camera, volume;
  std::string file;  // relative to the volume: NAME/20261206T051000.250Z.ts
  int64_t startMs = 0, endMs = 0;
  int64_t bytes = 0;
  int64_t keyFrames = 0;
  bool open = false;  // still being written: never deleted
};

struct GapRow {
  int64_t id = 0;
  std::string camera;
  int64_t startMs = 0, endMs = 0;
  std::string cause;
};

struct ProtectionRow {
  int64_t id = 0;
  std::string camera;
  int64_t startMs = 0, endMs = 0;
};

class Catalog {
 public:
  virtual ~Catalog() = default;

  // The store answers a query: false with the reason when it does not.
  virtual bool Check(std::string* why) = 0;

  // Every call answers false / 0 / empty when the store fails; it logs why.
  virtual bool AddCamera(const std::string& name) = 0;
  virtual std::vector<std::string> Cameras() = 0;

  virtual int64_t AddSegment(const SegmentRow& row) = 0;  // its id, 0 on failure
  virtual bool UpdateSegment(const SegmentRow& row) = 0;  // by id
  virtual bool RemoveSegment(int64_t id) = 0;
  virtual std::vector<SegmentRow> Segments(const std::string& camera, int64_t fromMs,
                                           int64_t toMs) = 0;
  virtual std::vector<SegmentRow> AllSegments() = 0;
  // Closed, unprotected segments of `camera` that ended before `beforeMs`.
  virtual std::vector<SegmentRow> Expired(const std::string& camera, int64_t beforeMs) = 0;
  // The `limit` oldest closed, unprotected segments on `volume`, any camera.
  virtual std::vector<SegmentRow> Oldest(const std::string& volume, int limit) = 0;

  virtual int64_t AddGap(const GapRow& row) = 0;
  virtual bool SetGapEnd(int64_t id, int64_t endMs) = 0;
  virtual std::vector<GapRow> Gaps(const std::string& camera, int64_t fromMs, int64_t toMs) = 0;

  virtual int64_t AddProtection(const ProtectionRow& row) = 0;
  // Removes protections of `camera` lying within [from, to); how many.
  virtual int RemoveProtections(const std::string& camera, int64_t fromMs, int64_t toMs) = 0;
  virtual std::vector<ProtectionRow> Protections(const std::string& camera, int64_t fromMs,
                                                 int64_t toMs) = 0;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_CATALOG_H_
