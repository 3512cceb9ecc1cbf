#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

using platform::File;
using platform::OpenMode;

TEST(FileTest, OpenModesReadAndSeek) {
  kvr_test::ScratchDir dir;
  const std::string path = dir.File("a.ts");
  File f;
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways) && f.Write("hello ", 6));
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteAppend) && f.Write("world", 5));
  EXPECT_EQ(f.Size(), 11) << "append keeps what was there";

  File r;
  ASSERT_TRUE(r.Open(path, OpenMode::kReadExisting));
  EXPECT_EQ(r.Seek(-5, 2), 6);
  char buf[16] = {};
  EXPECT_TRUE(r.Read(buf, sizeof(buf)) == 5 && std::string(buf) == "world");
  EXPECT_EQ(r.Read(buf, sizeof(buf)), 0);
  EXPECT_TRUE(r.Seek(0, 7) == -1 && r.error() == EINVAL);
  // Writing to a read-only descriptor fails cleanly instead of crashing.
  EXPECT_TRUE(!r.Write("x", 1) && r.error() == EBADF);

  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways));
  EXPECT_EQ(platform::FileSize(path), 0) << "create-always truncates";
  EXPECT_TRUE(!f.Open(dir.File("missing"), OpenMode::kReadExisting) && f.error() == ENOENT);
  EXPECT_TRUE(!f.Write("x", 1) && f.error() == EBADF);
  EXPECT_EQ(f.Read(nullptr, 0), -1);
}

TEST(FileTest, WriteGatherKeepsOrderAcrossManyPiecesAndReportsAFullDevice) {
  kvr_test::ScratchDir dir;
  const std::string path = dir.File("g.bin");
  // More pieces than one system call takes, some of them empty.
  std::vector<std::string> pieces;
  for (int i = 0; i < 3000; ++i) pieces.emplace_back(i % 7 == 3 ? 0 : 1 + i % 13, 'a' + i % 26);
  std::vector<platform::ConstSlice> slices;
  for (const std::string& p : pieces) slices.push_back({p.data(), p.size()});
  File f;
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways));
  ASSERT_TRUE(f.WriteGather(slices.data(), slices.size()) && f.WriteGather(slices.data(), 0));
  ASSERT_TRUE(f.Close());
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            std::accumulate(pieces.begin(), pieces.end(), std::string()));

  EXPECT_TRUE(!f.WriteGather(slices.data(), 2) && f.error() == EBADF) << "closed";
  ASSERT_TRUE(f.Open("/dev/full", OpenMode::kWriteCreateAlways));
  EXPECT_TRUE(!f.WriteGather(slices.data(), 2) && f.error() == ENOSPC);
}

TEST(FileTest, DirectoriesAndRemoval) {
  kvr_test::ScratchDir dir;
  const std::string sub = dir.File("cam1");
  EXPECT_EQ(platform::MakeDirectory(sub), 0);
  EXPECT_TRUE(platform::MakeDirectory(sub) == EEXIST && platform::IsDirectory(sub));
  EXPECT_EQ(platform::MakeDirectory(dir.File("no/such/parent")), ENOENT);

  std::ofstream(sub + "/x") << "x";
  EXPECT_TRUE(platform::PathExists(sub + "/x") && !platform::IsDirectory(sub + "/x"));
  EXPECT_NE(platform::RemoveDirectory(sub), 0) << "a folder with a file is not removed";
  EXPECT_TRUE(platform::RemoveFile(sub + "/x") == 0 && platform::RemoveFile(sub + "/x") == ENOENT);
  EXPECT_EQ(platform::RemoveDirectory(sub), 0);
  EXPECT_FALSE(platform::ErrorText(ENOENT).empty());
}

}  // namespace
