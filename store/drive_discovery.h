// Which mounts of the machine can take records: the answer to a
// configuration get for the machine's drives. Safe from any thread.
#ifndef KVR_STORE_DRIVE_DISCOVERY_H_
#define KVR_STORE_DRIVE_DISCOVERY_H_

#include <vector>

#include "platform/disk.h"
#include "protocol/message/store_pdus.h"

namespace kvr::store {

// The mounts, in the given order, in which a file can be created and deleted,
// each as a volume named by its mount point, type 0, with its free space in
// megabytes (0 when the file system cannot tell) and use count 0.
std::vector<kvr::pdu::StoreVolumeItem> DiscoverDrives(
    const std::vector<platform::MountPoint>& mounts);

}  // namespace kvr::store
#endif  // KVR_STORE_DRIVE_DISCOVERY_H_
