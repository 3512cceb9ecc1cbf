#include "io/io_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Joined(const CIoBlock& block) {
  std::string out;
  for (const platform::ConstSlice& s : block.Slices()) {
    out.append(static_cast<const char*>(s.data), s.size);
  }
  return out;
}

std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return s;
}

TEST(IoBlockTest, OwnedBlockGrowsPastItsStartRoomAndKeepsOrder) {
  const int64_t live = CIoBlock::LiveBlocks();
  CIoBlock block;
  EXPECT_EQ(CIoBlock::LiveBlocks(), live + 1);
  EXPECT_TRUE(block.Slices().empty());

  std::string expected;
  for (int i = 0; i < 5; ++i) {
    std::string piece = Pattern(50000 + i * 977, i);
    ASSERT_TRUE(block.Append(piece.data(), piece.size()));
    expected += piece;
  }
  EXPECT_TRUE(block.Append(nullptr, 0)) << "nothing to add is not a failure";
  EXPECT_FALSE(block.Append(nullptr, 3));
  ASSERT_EQ(block.size(), expected.size());
  EXPECT_EQ(Joined(block), expected);

  block.Drain(12345);
  EXPECT_EQ(Joined(block), expected.substr(12345));
  block.Drain(expected.size());
  EXPECT_EQ(block.size(), 0u);
}

TEST(IoBlockTest, BlockOverCallerMemoryFillsThatMemoryAndNeverGrows) {
  char memory[8] = {};
  CIoBlock block(memory, sizeof(memory));
  EXPECT_FALSE(block.owns());

  size_t reserved = 0;
  char* into = static_cast<char*>(block.Reserve(100, &reserved));
  ASSERT_EQ(into, memory) << "the bytes land in the caller's memory";
  ASSERT_EQ(reserved, 8u);
  std::memcpy(into, "abcdef", 6);
  ASSERT_TRUE(block.Commit(6));
  EXPECT_EQ(std::string(memory, 6), "abcdef");
  EXPECT_EQ(Joined(block), "abcdef");

  EXPECT_FALSE(block.Append("xyz", 3)) << "only 2 bytes of room are left";
  EXPECT_EQ(block.size(), 6u);
  EXPECT_TRUE(block.Append("gh", 2));
  EXPECT_FALSE(block.Commit(1));
  EXPECT_EQ(block.Reserve(1, &reserved), nullptr);
  EXPECT_EQ(reserved, 0u);
  EXPECT_EQ(std::string(memory, 8), "abcdefgh");
}

TEST(IoBlockTest, NullDestinationMakesAnOwnedBlock) {
  CIoBlock block(nullptr, 4096);
  EXPECT_FALSE(block.Commit(1)) << "nothing was reserved";

  size_t reserved = 0;
  char* into = static_cast<char*>(block.Reserve(4096, &reserved));
  ASSERT_NE(into, nullptr);
  ASSERT_EQ(reserved, 4096u);
  EXPECT_FALSE(block.Append("x", 1)) << "appending while space is reserved would move it";
  std::memcpy(into, "0123456789", 10);
  ASSERT_TRUE(block.Commit(10));
  EXPECT_EQ(Joined(block), "0123456789");
  EXPECT_TRUE(block.Append("ab", 2));
  EXPECT_EQ(Joined(block), "0123456789ab");
}

TEST(IoBlockTest, PiecesOfMemoryComeBackForTheNextBlock) {
  const std::string bytes = Pattern(CIoBlock::kPieceSize * 3 / 2, 9);
  {
    CIoBlock first;
    ASSERT_TRUE(first.Append(bytes.data(), bytes.size()));
  }
  const size_t spare = CIoBlock::SparePieces();
  ASSERT_GE(spare, 2u) << "both pieces of the first block were kept";
  {
    CIoBlock second;
    ASSERT_TRUE(second.Append(bytes.data(), 100));
    ASSERT_TRUE(second.Append(bytes.data() + 100, bytes.size() - 100));
    EXPECT_EQ(CIoBlock::SparePieces(), spare - 2) << "the second block reused them";
    // Draining into the unsealed last piece keeps the order of what is left.
    second.Drain(CIoBlock::kPieceSize + 10);
    EXPECT_EQ(Joined(second), bytes.substr(CIoBlock::kPieceSize + 10));
    std::string out(50, '\0');
    EXPECT_EQ(second.CopyOut(out.data(), 50), 50u);
    EXPECT_EQ(out, bytes.substr(CIoBlock::kPieceSize + 10, 50));
  }
  EXPECT_EQ(CIoBlock::SparePieces(), spare);
}

}  // namespace
