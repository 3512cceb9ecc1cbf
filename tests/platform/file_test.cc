#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/test_util.h"

namespace {

using platform::File;
using platform::OpenMode;

TEST(FileTest, OpenModesReadSeekAndGatheredWrites) {
  kvr_test::ScratchDir dir;
  const std::string path = dir.File("a.ts");
  File f;
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways) && f.Write("hello ", 6));
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteAppend) && f.Write("world", 5));
  EXPECT_EQ(f.Size(), 11) << "append keeps what was there";

  File r;
  ASSERT_TRUE(r.Open(path, OpenMode::kReadExisting));
  char buf[16] = {};
  EXPECT_TRUE(r.Seek(-5, 2) == 6 && r.Read(buf, sizeof(buf)) == 5 && std::string(buf) == "world");
  EXPECT_EQ(r.Read(buf, sizeof(buf)), 0);
  EXPECT_TRUE(r.Seek(0, 7) == -1 && r.error() == EINVAL);
  EXPECT_TRUE(!r.Write("x", 1) && r.error() == EBADF) << "read-only";

  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways));
  EXPECT_EQ(platform::FileSize(path), 0) << "create-always truncates";
  EXPECT_TRUE(!f.Open(dir.File("missing"), OpenMode::kReadExisting) && f.error() == ENOENT &&
              !f.Write("x", 1) && f.error() == EBADF && f.Read(nullptr, 0) == -1);

  // Gathered writes: more pieces than one system call takes, some of them empty.
  std::vector<std::string> pieces;
  for (int i = 0; i < 3000; ++i) pieces.emplace_back(i % 7 == 3 ? 0 : 1 + i % 13, 'a' + i % 26);
  std::vector<platform::ConstSlice> slices;
  for (const std::string& p : pieces) slices.push_back({p.data(), p.size()});
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways) &&
              f.WriteGather(slices.data(), slices.size()) && f.WriteGather(slices.data(), 0) &&
              f.Close());
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            std::accumulate(pieces.begin(), pieces.end(), std::string()));

  EXPECT_TRUE(!f.WriteGather(slices.data(), 2) && f.error() == EBADF) << "closed";
  ASSERT_TRUE(f.Open("/dev/full", OpenMode::kWriteCreateAlways));
  EXPECT_TRUE(!f.WriteGather(slices.data(), 2) && f.error() == ENOSPC);
}

TEST(FileTest, DirectoriesRemovalAndDiskSpace) {
  kvr_test::ScratchDir dir;
  platform::DiskSpace space, none{1, 1};
  ASSERT_TRUE(platform::GetDiskSpace(dir.path(), &space));
  EXPECT_TRUE(space.total_bytes > 0 && space.free_bytes <= space.total_bytes);
  EXPECT_FALSE(platform::GetDiskSpace(dir.File("missing/deeper"), &none) ||
               none.total_bytes + none.free_bytes != 0 ||
               platform::GetDiskSpace(dir.path(), nullptr));
  const std::string sub = dir.File("cam1");
  EXPECT_TRUE(platform::MakeDirectory(sub) == 0 && platform::MakeDirectory(sub) == EEXIST &&
              platform::IsDirectory(sub) &&
              platform::MakeDirectory(dir.File("no/such/parent")) == ENOENT);

  std::ofstream(sub + "/x") << "x";
  EXPECT_TRUE(platform::PathExists(sub + "/x") && !platform::IsDirectory(sub + "/x"));
  EXPECT_NE(platform::RemoveDirectory(sub), 0) << "a folder with a file is not removed";
  EXPECT_TRUE(platform::RemoveFile(sub + "/x") == 0 && platform::RemoveFile(sub + "/x") == ENOENT &&
              platform::RemoveDirectory(sub) == 0 && !platform::ErrorText(ENOENT).empty());
}

TEST(MountTableTest, KeepsStorageInOrderDecodesAndSkipsPseudo) {
  const std::string table =
      "proc /proc proc rw,nosuid 0 0\n/dev/sda1 / ext4 rw,relatime 0 0\ntmpfs /run tmpfs rw 0 0\n"
      "/dev/sdb1 /mnt/video\\040disk xfs rw 0 0\n//nas/rec /mnt/nas cifs rw 0 0\n"
      "overlay /var/lib/x overlay rw 0 0\nsshfs#u@h: /mnt/remote fuse.sshfs rw 0 0\n"
      "/dev/sdc1 /mnt/win ntfs3 rw 0 0\n"
      "/dev/sda1 / ext4 rw,relatime 0 0\ngarbage-line\n";  // bind mounts repeat a point
  std::string paths;
  for (const auto& mount : platform::ParseMountTable(table))
    paths += mount.path + "|" + mount.type + " ";
  EXPECT_EQ(paths,
            "/|ext4 /mnt/video disk|xfs /mnt/nas|cifs /mnt/remote|fuse.sshfs /mnt/win|ntfs3 ");
}

}  // namespace
