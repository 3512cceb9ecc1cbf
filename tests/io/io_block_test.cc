#include "io/io_block.h"

#include "io/auto_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using kvr::io::CIoBlock;

std::string Joined(const CIoBlock& block) {
  std::string out;
  for (const platform::ConstSlice& s : block.Slices()) {
    out.append(static_cast<const char*>(s.data), s.size);
  }
  return out;
}

TEST(IoBlockTest, OwnedBlockGrowsInPiecesThatComeBackForTheNextBlock) {
  const int64_t live = CIoBlock::LiveBlocks();
  std::string bytes(CIoBlock::kPieceSize * 5 / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131) % 251);
  {
    CIoBlock first;
    EXPECT_EQ(CIoBlock::LiveBlocks(), live + 1);
    for (size_t at = 0; at < bytes.size(); at += 50000) {
      ASSERT_TRUE(first.Append(bytes.data() + at, std::min<size_t>(50000, bytes.size() - at)));
    }
    EXPECT_FALSE(first.Append(nullptr, 3));
    EXPECT_TRUE(Joined(first) == bytes) << "the pieces keep the order of the bytes";
  }
  const size_t spare = CIoBlock::SparePieces();
  ASSERT_GE(spare, 3u) << "the three pieces of the first block were kept";
  {
    CIoBlock second;
    ASSERT_TRUE(second.Append(bytes.data(), bytes.size()));
    EXPECT_EQ(CIoBlock::SparePieces(), spare - 3) << "the second block reused them";
    std::string out(50, '\0');
    EXPECT_EQ(second.CopyOut(out.data(), 50), 50u);
    EXPECT_EQ(out, bytes.substr(0, 50));
  }
  EXPECT_EQ(CIoBlock::SparePieces(), spare);
  EXPECT_EQ(CIoBlock::LiveBlocks(), live);
}

// A payload's own buffer is held, not copied, until the block is gone, and
// the small copies around it keep filling one piece rather than a piece each.
TEST(IoBlockTest, SharedBytesStayInTheirBufferWhileTheBlockLives) {
  const std::string big(100000, 'B');
  CReferPtr<CAutoBuffer> owner(new CAutoBuffer());
  ASSERT_NE(owner->MakeByteCopy(static_cast<int>(big.size()), big.data()), nullptr);
  const int32_t holders = owner->ReferenceCount();
  size_t during = 0;
  {
    CIoBlock block;
    std::string expected;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(block.Append("ab", 2));
      ASSERT_TRUE(block.AppendShared(owner.get(), owner->Data() + i, big.size() - i));
      expected += "ab" + big.substr(i);
    }
    EXPECT_EQ(owner->ReferenceCount(), holders + 3);
    EXPECT_EQ(block.size(), expected.size());
    EXPECT_TRUE(Joined(block) == expected);
    EXPECT_EQ(block.Slices()[1].data, owner->Data()) << "shared bytes are not copied";
    during = CIoBlock::SparePieces();
  }
  EXPECT_EQ(owner->ReferenceCount(), holders) << "every reference is dropped with the block";
  EXPECT_EQ(CIoBlock::SparePieces(), during + 1) << "one piece held all the copies";
  CIoBlock plain;
  ASSERT_TRUE(plain.AppendShared(nullptr, "xy", 2)) << "no owner: a plain copy";
  EXPECT_EQ(Joined(plain), "xy");
}

TEST(IoBlockTest, ReadsLandInCallerMemoryWithinItsRoomOrInAnOwnedBlock) {
  char memory[8] = {};
  CIoBlock view(memory, sizeof(memory));
  EXPECT_FALSE(view.owns());
  size_t reserved = 0;
  ASSERT_EQ(view.Reserve(100, &reserved), memory) << "the bytes land in the caller's memory";
  ASSERT_EQ(reserved, 8u);
  std::memcpy(memory, "abcdef", 6);
  ASSERT_TRUE(view.Commit(6));
  EXPECT_FALSE(view.Append("xyz", 3)) << "only 2 bytes of room are left";
  EXPECT_TRUE(view.Append("gh", 2));
  EXPECT_FALSE(view.Commit(1));
  EXPECT_EQ(view.Reserve(1, &reserved), nullptr);
  EXPECT_EQ(Joined(view), "abcdefgh");

  CIoBlock owned(nullptr, 4096);
  EXPECT_TRUE(owned.owns());
  EXPECT_FALSE(owned.Commit(1)) << "nothing was reserved";
  ASSERT_TRUE(owned.Append("<>", 2));  // still in an open piece: the reserve must seal it first
  char* into = static_cast<char*>(owned.Reserve(4096, &reserved));
  ASSERT_NE(into, nullptr);
  ASSERT_EQ(reserved, 4096u);
  EXPECT_FALSE(owned.Append("x", 1)) << "appending while space is reserved would move it";
  std::memcpy(into, "0123456789", 10);
  ASSERT_TRUE(owned.Commit(10));
  EXPECT_TRUE(owned.Append("ab", 2));
  EXPECT_EQ(Joined(owned), "<>0123456789ab");
}

}  // namespace
