#include "store/drive_discovery.h"

#include <cstdio>

#include "platform/probe.h"

namespace {
using kvr::pdu::StoreVolumeItem;
}  // namespace

namespace kvr::store {

std::vector<StoreVolumeItem> DiscoverDrives(const std::vector<platform::MountPoint>& mounts) {
  std::vector<StoreVolumeItem> drives;
  for (const platform::MountPoint& mount : mounts) {
    // A mount point that would not fit the volume record could not be
    // configured either, so it is not offered.
    if (mount.path.size() >= sizeof(StoreVolumeItem::volumeName)) continue;
    if (!platform::CanCreateFileIn(mount.path)) continue;
    platform::DiskSpace space;
    platform::GetDiskSpace(mount.path, &space);  // zeros when it fails
    StoreVolumeItem item;
    std::snprintf(item.volumeName, sizeof(item.volumeName), "%s", mount.path.c_str());
    std::snprintf(item.volumePath, sizeof(item.volumePath), "%s", mount.path.c_str());
    item.volumeType = 0;
    item.volumeRest = static_cast<uint32_t>(space.free_bytes >> 20);
    item.useCount = 0;
    drives.push_back(item);
  }
  return drives;
}

}  // namespace kvr::store
