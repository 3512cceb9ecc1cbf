// Wall-clock times as the daemon stores and shows them: milliseconds since
// the Unix epoch, written as UTC in ISO 8601 for people and the API, and in a
// compact sortable form for segment file names. Pure functions, any thread.
#ifndef KVR_TOOLS_KVRD_WALL_TIME_H_
#define KVR_TOOLS_KVRD_WALL_TIME_H_

#include <cstdint>
#include <optional>
#include <string>

namespace kvrd {

int64_t NowMs();

// "2026-12-06T05:10:00.250Z".
std::string IsoTime(int64_t ms);
// Accepts "YYYY-MM-DDTHH:MM:SS[.mmm]Z" (a space for the T, and no Z, too:
// always UTC) or whole seconds since the epoch. Nothing else.
std::optional<int64_t> ParseTime(const std::string& text);

// Segment file names: "20261206T051000.250Z.ts" sorts as it runs.
std::string SegmentFileName(int64_t ms);
// The start time a segment file name carries; nothing for any other name.
std::optional<int64_t> ParseSegmentFileName(const std::string& name);

// Durations in configuration files: a number with s, m, h or d (seconds when
// bare); 0 is refused. In milliseconds.
std::optional<int64_t> ParseDuration(const std::string& text);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_WALL_TIME_H_
