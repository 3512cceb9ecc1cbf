// Cuts a time range of a camera's segments into one stream without decoding:
// it begins at the last key frame at or before the range start, takes each
// following segment from its first key frame on (where the overlap ends), and
// ends with the last frame before the range end. Time stamps run on from
// segment to segment. The export is one MPEG-TS file on the wall clock (a
// gap stays a jump in its time stamps); playback is fragmented MP4 handed out
// as it is produced, its gaps taken out of the clock so a player runs on.
// Stateless; any thread.
#ifndef KVR_TOOLS_KVRD_EXPORTER_H_
#define KVR_TOOLS_KVRD_EXPORTER_H_

#include <cstdint>
#include <functional>
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

struct RemuxSink {
  // Before the first byte: the wall time of the key frame the stream starts on.
  std::function<void(int64_t startWallMs)> begin;
  // The next bytes, in order; false stops the remux (the reader went away).
  std::function<bool(const uint8_t* data, int size)> write;
};

// A hole of more than this between segments is a gap: skipped, not waited through.
constexpr int64_t kGapToleranceMs = 1'000;

// The range as fragmented MP4 (H.264 and AAC as recorded) through `sink`.
// False with *error when nothing could be produced or the sink stopped.
bool PlayRange(const std::vector<ExportSource>& sources, int64_t fromMs, int64_t toMs,
               const RemuxSink& sink, std::string* error);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_EXPORTER_H_
