#include "platform/disk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

TEST(DiskSpaceTest, RealFolderHasSpaceAndMissingPathFails) {
  kvr_test::ScratchDir dir;
  platform::DiskSpace space;
  ASSERT_TRUE(platform::GetDiskSpace(dir.path(), &space));
  EXPECT_TRUE(space.total_bytes > 0 && space.free_bytes <= space.total_bytes);

  platform::DiskSpace none{1, 1};
  EXPECT_FALSE(platform::GetDiskSpace(dir.File("missing/deeper"), &none) ||
               none.total_bytes + none.free_bytes != 0 ||
               platform::GetDiskSpace(dir.path(), nullptr));
}

TEST(MountTableTest, KeepsStorageInOrderDecodesAndSkipsPseudo) {
  const std::string table =
      "proc /proc proc rw,nosuid 0 0\n/dev/sda1 / ext4 rw,relatime 0 0\ntmpfs /run tmpfs rw 0 0\n"
      "/dev/sdb1 /mnt/video\\040disk xfs rw 0 0\n//nas/rec /mnt/nas cifs rw 0 0\n"
      "overlay /var/lib/x overlay rw 0 0\nsshfs#u@h: /mnt/remote fuse.sshfs rw 0 0\n"
      "/dev/sdc1 /mnt/win ntfs3 rw 0 0\n"
      "/dev/sda1 / ext4 rw,relatime 0 0\ngarbage-line\n";  // bind mounts repeat a point
  auto mounts = platform::ParseMountTable(table);
  std::vector<std::string> paths;
  for (const auto& mount : mounts) paths.push_back(mount.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/", "/mnt/video disk", "/mnt/nas", "/mnt/remote",
                                             "/mnt/win"}));
  EXPECT_EQ(mounts.back().type, "ntfs3");
}

}  // namespace
