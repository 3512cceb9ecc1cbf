// Whether a folder takes new files: the check that decides which mounts of
// the machine are offered as storage volumes. Safe from any thread.
#ifndef KVR_PLATFORM_PROBE_H_
#define KVR_PLATFORM_PROBE_H_

#include <string>

namespace platform {

// Creates a new file of a name no other file has in `folder` and deletes it
// again. True when both worked. An existing file is never opened, so the
// probe cannot damage what the folder holds.
bool CanCreateFileIn(const std::string& folder);

}  // namespace platform

#endif  // KVR_PLATFORM_PROBE_H_
