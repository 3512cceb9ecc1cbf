#include "platform/file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

using platform::File;
using platform::OpenMode;

TEST(FileTest, CreateAlwaysTruncatesAndAppendKeeps) {
  kvr_test::ScratchDir dir;
  const std::string path = dir.File("a.ts");
  {
    File f;
    ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways));
    ASSERT_TRUE(f.Write("0123456789", 10));
    EXPECT_EQ(f.Size(), 10);
  }
  {
    File f;
    ASSERT_TRUE(f.Open(path, OpenMode::kWriteAppend));
    ASSERT_TRUE(f.Write("ab", 2));
  }
  EXPECT_EQ(platform::FileSize(path), 12);
  {
    File f;
    ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways));
  }
  EXPECT_EQ(platform::FileSize(path), 0);
}

TEST(FileTest, ReadSeekAndEnd) {
  kvr_test::ScratchDir dir;
  const std::string path = dir.File("r.bin");
  File w;
  ASSERT_TRUE(w.Open(path, OpenMode::kWriteCreateAlways));
  ASSERT_TRUE(w.Write("hello world", 11));
  ASSERT_TRUE(w.Close());

  File r;
  ASSERT_TRUE(r.Open(path, OpenMode::kReadExisting));
  EXPECT_EQ(r.Seek(6, 0), 6);
  char buf[16] = {};
  EXPECT_EQ(r.Read(buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(r.Read(buf, sizeof(buf)), 0);
  EXPECT_EQ(r.Seek(-5, 2), 6);
  EXPECT_EQ(r.Seek(0, 7), -1);
  EXPECT_EQ(r.error(), EINVAL);
}

TEST(FileTest, FailuresKeepTheirErrorNumber) {
  kvr_test::ScratchDir dir;
  File f;
  EXPECT_FALSE(f.Open(dir.File("missing"), OpenMode::kReadExisting));
  EXPECT_EQ(f.error(), ENOENT);
  EXPECT_FALSE(f.Write("x", 1));
  EXPECT_EQ(f.error(), EBADF);
  EXPECT_EQ(f.Read(nullptr, 0), -1);

  // Writing to a read-only descriptor fails cleanly instead of crashing.
  File w;
  ASSERT_TRUE(w.Open(dir.File("ro"), OpenMode::kWriteCreateAlways));
  ASSERT_TRUE(w.Close());
  File r;
  ASSERT_TRUE(r.Open(dir.File("ro"), OpenMode::kReadExisting));
  EXPECT_FALSE(r.Write("x", 1));
  EXPECT_EQ(r.error(), EBADF);
}

TEST(FileTest, WriteGatherKeepsOrderAcrossManyPieces) {
  kvr_test::ScratchDir dir;
  const std::string path = dir.File("g.bin");
  // More pieces than one system call takes, some of them empty.
  std::vector<std::string> pieces;
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    pieces.push_back(i % 7 == 3 ? std::string()
                                : std::string(1 + i % 13, static_cast<char>('a' + i % 26)));
    expected += pieces.back();
  }
  std::vector<platform::ConstSlice> slices;
  for (const std::string& p : pieces) slices.push_back({p.data(), p.size()});

  File f;
  ASSERT_TRUE(f.Open(path, OpenMode::kWriteCreateAlways));
  ASSERT_TRUE(f.WriteGather(slices.data(), slices.size()));
  ASSERT_TRUE(f.WriteGather(slices.data(), 0));
  ASSERT_TRUE(f.Close());

  std::ifstream in(path, std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, expected);
}

TEST(FileTest, WriteGatherReportsAFullDevice) {
  File f;
  ASSERT_TRUE(f.Open("/dev/full", OpenMode::kWriteCreateAlways));
  const char data[] = "some bytes";
  platform::ConstSlice slices[] = {{data, 4}, {data + 4, 6}};
  EXPECT_FALSE(f.WriteGather(slices, 2));
  EXPECT_EQ(f.error(), ENOSPC);

  File closed;
  EXPECT_FALSE(closed.WriteGather(slices, 2));
  EXPECT_EQ(closed.error(), EBADF);
}

TEST(FileTest, DirectoriesAndRemoval) {
  kvr_test::ScratchDir dir;
  const std::string sub = dir.File("cam1");
  EXPECT_EQ(platform::MakeDirectory(sub), 0);
  EXPECT_EQ(platform::MakeDirectory(sub), EEXIST);
  EXPECT_TRUE(platform::IsDirectory(sub));
  EXPECT_EQ(platform::MakeDirectory(dir.File("no/such/parent")), ENOENT);

  File f;
  ASSERT_TRUE(f.Open(sub + "/x", OpenMode::kWriteCreateAlways));
  f.Close();
  EXPECT_TRUE(platform::PathExists(sub + "/x"));
  EXPECT_FALSE(platform::IsDirectory(sub + "/x"));
  EXPECT_NE(platform::RemoveDirectory(sub), 0) << "a folder with a file is not removed";
  EXPECT_EQ(platform::RemoveFile(sub + "/x"), 0);
  EXPECT_EQ(platform::RemoveFile(sub + "/x"), ENOENT);
  EXPECT_EQ(platform::RemoveDirectory(sub), 0);
  EXPECT_FALSE(platform::ErrorText(ENOENT).empty());
}

}  // namespace
