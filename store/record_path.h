// Rules for the names of record files and for the paths made from them.
//
// A record is known by its record URL, the write file URL of its start
// request exactly as received; the record file lies at that URL under the
// root of a storage volume. Clients write either separator, so both '\' and
// '/' split a URL or a volume path, and the file path is joined with '/'.
// A URL must stay inside its volume: an absolute one or one with a ".."
// component is refused. Pure functions, safe from any thread; only
// EnsureDirectories touches the file system.
#ifndef KVR_STORE_RECORD_PATH_H_
#define KVR_STORE_RECORD_PATH_H_

#include <string>

// The record URL of a start request without a write file URL.
inline constexpr char kDefaultRecordUrl[] = "QWRecRealMediaDeal.dav";
// Longest file path a writer takes, without its NUL.
inline constexpr size_t kMaxRecordPath = 259;

// The most negative code among the forbidden characters of `name` (colon -1,
// asterisk -2, question mark -3, double quote -4, less-than -5, greater-than
// -6, vertical bar -7); 0 when none occurs. Separators are allowed: a URL may
// name sub-folders of the volume root.
int CheckRecordFileName(const char* name);

// False for a URL that could leave the volume: an absolute one (leading
// separator) or one with a ".." component.
bool StaysInsideVolume(const char* name);

// `root` and `name` joined by one '/', every '\' turned into '/' and the
// root's trailing separators dropped. False (and `path` unchanged) when the
// result would be longer than kMaxRecordPath.
bool MakeRecordFilePath(const char* root, const char* name, std::string* path);

// The volume path as the file system is asked about it: every '\' turned into '/'.
std::string VolumeFolder(const char* volumePath);

// Creates every missing folder of `filePath` (not the file itself). 0, or the
// system's error number of the folder that could not be made.
int EnsureDirectories(const std::string& filePath);

#endif  // KVR_STORE_RECORD_PATH_H_
