// Disks of the platform: space of a volume and the storage mounts of the machine.
// Safe from any thread.
#ifndef KVR_PLATFORM_DISK_H_
#define KVR_PLATFORM_DISK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct DiskSpace {
  uint64_t total_bytes = 0;
  uint64_t free_bytes = 0;  // what an unprivileged writer may still use
};

// Space of the filesystem holding `path`; false (and zeros) when it cannot be read.
bool GetDiskSpace(const std::string& path, DiskSpace* space);

struct MountPoint {
  std::string path;  // mount point, escapes (\040 etc.) decoded
  std::string type;  // filesystem type
};

// True for filesystems that hold data on a real disk or a network share;
// false for pseudo filesystems (proc, tmpfs, cgroup, overlay ...).
bool IsStorageFilesystem(const std::string& type);

// Parses text in the format of /proc/self/mounts; keeps only storage
// filesystems, in table order, each mount point once.
std::vector<MountPoint> ParseMountTable(const std::string& text);

// The storage mounts of this machine, from /proc/self/mounts.
std::vector<MountPoint> ReadStorageMounts();

}  // namespace platform

#endif  // KVR_PLATFORM_DISK_H_
