// Record file paths: a volume root joined with a record URL.
//
// Record URLs and volume paths arrive with either `\` or `/` as separator;
// the file path always uses `/`, with repeated separators folded into one.
// The record URL itself stays the task's key exactly as received. Paths live
// in fixed 260-byte fields, so a path that does not fit is refused rather than
// cut (a cut path would name another file). Safe from any thread.
#ifndef KVR_MEDIA_RECORD_PATH_H_
#define KVR_MEDIA_RECORD_PATH_H_

#include <cstddef>
#include <string>

namespace kvr::media {

// Width of every record path field, terminating NUL included.
inline constexpr size_t kRecordPathWidth = 260;

// True for either separator a record URL or volume path may use.
constexpr bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// `root` + "/" + `url`, separators normalised. False (and `out` empty) for a
// null argument or when the result would not fit in kRecordPathWidth - 1 bytes.
bool MakeRecordPath(const char* root, const char* url, std::string* out);

// Creates the directories leading to the file `path` (never the file itself),
// each with mode 0750, skipping those that exist. 0, or -1 when `path` has no
// separator or a directory cannot be made.
int EnsureDirectories(const char* path);

}  // namespace kvr::media

#endif  // KVR_MEDIA_RECORD_PATH_H_
