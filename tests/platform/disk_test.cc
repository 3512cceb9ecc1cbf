#include "platform/disk.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(DiskSpaceTest, RealFolderHasSpaceAndMissingPathFails) {
  kvr_test::ScratchDir dir;
  platform::DiskSpace space;
  ASSERT_TRUE(platform::GetDiskSpace(dir.path(), &space));
  EXPECT_GT(space.total_bytes, 0u);
  EXPECT_LE(space.free_bytes, space.total_bytes);

  platform::DiskSpace none{1, 1};
  EXPECT_FALSE(platform::GetDiskSpace(dir.File("missing/deeper"), &none));
  EXPECT_EQ(none.total_bytes, 0u);
  EXPECT_EQ(none.free_bytes, 0u);
  EXPECT_FALSE(platform::GetDiskSpace(dir.path(), nullptr));
}

TEST(MountTableTest, KeepsStorageInOrderDecodesAndSkipsPseudo) {
  const std::string table =
      "proc /proc proc rw,nosuid 0 0\n"
      "/dev/sda1 / ext4 rw,relatime 0 0\n"
      "tmpfs /run tmpfs rw 0 0\n"
      "/dev/sdb1 /mnt/video\\040disk xfs rw 0 0\n"
      "//nas/rec /mnt/nas cifs rw 0 0\n"
      "overlay /var/lib/x overlay rw 0 0\n"
      "sshfs#u@h: /mnt/remote fuse.sshfs rw 0 0\n"
      "/dev/sdc1 /mnt/win ntfs3 rw 0 0\n"
      "/dev/sda1 / ext4 rw,relatime 0 0\n"  // bind mounts repeat a point
      "garbage-line\n";
  auto mounts = platform::ParseMountTable(table);
  ASSERT_EQ(mounts.size(), 5u);
  EXPECT_EQ(mounts[0].path, "/");
  EXPECT_EQ(mounts[1].path, "/mnt/video disk");
  EXPECT_EQ(mounts[2].path, "/mnt/nas");
  EXPECT_EQ(mounts[3].path, "/mnt/remote");
  EXPECT_EQ(mounts[4].path, "/mnt/win");
  EXPECT_EQ(mounts[4].type, "ntfs3");
}

}  // namespace
