// What a segment file holds, read with FFmpeg's demuxer: the span of its
// pictures from the first time stamp to the end of the last frame, and its key
// frames. The same reading serves a segment that just closed and a catalog
// rebuilt from the files, so both give the same rows. Any thread.
#ifndef KVR_TOOLS_KVRD_SEGMENT_PROBE_H_
#define KVR_TOOLS_KVRD_SEGMENT_PROBE_H_

#include <cstdint>
#include <string>

namespace kvrd {

struct SegmentFacts {
  bool readable = false;  // the demuxer opened it
  int64_t spanMs = 0;     // 0: no frame at all
  int64_t keyFrames = 0;
  int64_t bytes = 0;
};

SegmentFacts ProbeSegment(const std::string& path);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_SEGMENT_PROBE_H_
