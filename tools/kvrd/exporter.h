// Cuts a time range of a camera's segments into one MPEG-TS file: it begins
// at the last key frame at or before the range start, takes each following
// segment from its first key frame on (where the overlap ends), and ends with
// the last frame before the range end. Time stamps run on from segment to
// segment. Stateless; any thread.
#ifndef KVR_TOOLS_KVRD_EXPORTER_H_
#define KVR_TOOLS_KVRD_EXPORTER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kvrd/catalog.h"

namespace kvrd {

struct ExportSource {
  SegmentRow row;
  std::string path;  // the file on disk
};

// `sources` in start order. False with *error when nothing could be written.
bool ExportRange(const std::vector<ExportSource>& sources, int64_t fromMs, int64_t toMs,
                 const std::string& outPath, std::string* error);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_EXPORTER_H_
