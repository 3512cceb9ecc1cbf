// Rules for the record URLs that may name a new record file.
//
// A record is known by its record URL, the write file URL of its start
// request exactly as received; the record file lies at that URL under the
// root of a storage volume (media/record_path.h joins the two). Clients write
// either separator, so both '\' and '/' split a URL or a volume path. A URL
// must stay inside its volume: an absolute one or one with a ".." component
// is refused like a forbidden character. Pure functions, safe from any thread.
#ifndef KVR_STORE_RECORD_NAME_H_
#define KVR_STORE_RECORD_NAME_H_

#include <string>

namespace kvr::store {

// The most negative code among the forbidden characters of `name` (colon -1,
// asterisk -2, question mark -3, double quote -4, less-than -5, greater-than
// -6, vertical bar -7); 0 when none occurs. Separators are allowed: a URL may
// name sub-folders of the volume root.
int CheckRecordFileName(const char* name);

// False for a URL that could leave the volume: an absolute one (leading
// separator) or one with a ".." component.
bool StaysInsideVolume(const char* name);

// False for a URL holding a control character (1 to 31). Windows volumes
// cannot hold such a name, and one that names a record here would play
// tricks on every terminal that lists the volume.
bool HasNoControlCharacter(const char* name);

// The volume path as the file system is asked about it: every '\' turned into '/'.
std::string VolumeFolder(const char* volumePath);

}  // namespace kvr::store

#endif  // KVR_STORE_RECORD_NAME_H_
