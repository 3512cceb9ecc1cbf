#include "platform/disk.h"

#include <sys/statvfs.h>

#include <fstream>
#include <sstream>

namespace platform {

bool GetDiskSpace(const std::string& path, DiskSpace* space) {
  struct statvfs st {};
  if (space == nullptr) return false;
  *space = DiskSpace{};
  if (::statvfs(path.c_str(), &st) != 0) return false;
  space->total_bytes = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  space->free_bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

bool IsStorageFilesystem(const std::string& type) {
  static const char* const kExact[] = {"ext2", "ext3", "ext4",  "xfs",  "btrfs", "zfs",
                                       "f2fs", "vfat", "exfat", "cifs", "smb3"};
  for (const char* t : kExact) {
    if (type == t) return true;
  }
  auto starts = [&](const char* prefix) { return type.rfind(prefix, 0) == 0; };
  return starts("ntfs") || starts("nfs") || starts("fuse.");
}

namespace {

// /proc/mounts writes blanks, tabs, newlines and backslashes as \ooo.
std::string DecodeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

}  // namespace

std::vector<MountPoint> ParseMountTable(const std::string& text) {
  std::vector<MountPoint> mounts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string device, path, type;
    if (!(fields >> device >> path >> type)) continue;
    if (!IsStorageFilesystem(type)) continue;
    MountPoint m{DecodeMountField(path), type};
    bool seen = false;
    for (const MountPoint& old : mounts) seen = seen || old.path == m.path;
    if (!seen) mounts.push_back(std::move(m));
  }
  return mounts;
}

std::vector<MountPoint> ReadStorageMounts() {
  std::ifstream in("/proc/self/mounts");
  std::stringstream text;
  text << in.rdbuf();
  return ParseMountTable(text.str());
}

}  // namespace platform
