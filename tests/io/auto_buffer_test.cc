#include "io/auto_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/spare_memory.h"

// Freeing is checked by the sanitizer build: a block that is not freed is
// reported as a leak, one freed twice as a double free.
namespace {

TEST(AutoBufferTest, CopiesEndInAZeroAndBadSizesOrSourcesMakeNothing) {
  const char source[] = {'h', 'e', 'l', 'l', 'o', 'X'};
  CAutoBuffer buffer;
  char* data = buffer.MakeCopy(5, source);
  ASSERT_NE(data, nullptr);
  EXPECT_NE(data, source);
  EXPECT_STREQ(data, "hello");  // the zero is inside the block, or ASan objects
  for (int size : {0, -1}) {
    EXPECT_EQ(buffer.Make(size), nullptr) << size;
    EXPECT_EQ(buffer.MakeCopy(size, "xyz"), nullptr) << size;
  }
  EXPECT_STREQ(buffer.Data(), "hello") << "a refused size keeps what was there";
  EXPECT_EQ(buffer.Size(), 5);
  const char binary[] = {'\0', '\x01', '\0', '\xff'};
  ASSERT_NE(buffer.Make(4, const_cast<char*>(binary), true), nullptr);
  EXPECT_EQ(std::string(buffer.Data(), 5), std::string("\0\x01\0\xff\0", 5)) << "copied whole";
  EXPECT_EQ(buffer.MakeCopy(8, nullptr), nullptr);
  EXPECT_EQ(buffer.Data(), nullptr) << "a null copy source leaves no data";
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(AutoBufferTest, MakeZeroFillsOrAdoptsAndFreesTheOldDataInEitherForm) {
  CReferPtr<CAutoBuffer> buffer(new CAutoBuffer);
  char* zeroed = buffer->Make(64);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::string(zeroed, 64), std::string(64, '\0'));
  char* mine = new char[16];
  std::memcpy(mine, "payload", 8);
  EXPECT_EQ(buffer->Make(16, mine), mine);
  EXPECT_STREQ(buffer->Data(), "payload");
  EXPECT_EQ(buffer->Make(3, mine), mine) << "adopting its own block changes only the size";
  EXPECT_EQ(buffer->Size(), 3);
  buffer->MakeCopy(3, "xyz");
  EXPECT_STREQ(buffer->MakeCopy(2, buffer->Data()), "xy") << "its own bytes are read first";
  CReferPtr<CAutoBuffer> second = buffer;  // the last of both holders frees it
}

// Copies come from recycled memory of their size class. Kills: a class too
// small for its sizes (the sanitizer sees the copy or the zero overrun), memory
// given back to the wrong class, nothing reused at all.
TEST(AutoBufferTest, CopiesReuseTheMemoryOfTheirSizeClass) {
  // Each size with one of the next class.
  for (auto [size, next] :
       {std::pair{1, 4000}, {2047, 2048}, {2048, 5000}, {100000, 200000}, {262143, 262144}}) {
    const std::string bytes(static_cast<size_t>(size), 'm');
    char* first = nullptr;
    {
      CAutoBuffer buffer;
      first = buffer.MakeCopy(size, bytes.data());
      ASSERT_NE(first, nullptr);
    }
    {
      CAutoBuffer again;
      EXPECT_EQ(again.MakeCopy(size, bytes.data()), first) << size << ": the warmest is reused";
      EXPECT_EQ(std::string(again.Data()), bytes);
    }
    const std::string more(static_cast<size_t>(next), 'l');
    CAutoBuffer larger;
    EXPECT_NE(larger.MakeCopy(next, more.data()), first) << size << ": a block of a smaller class";
  }
}

// Memory given on one thread (the delivery thread) is taken on another (a
// host), in batches and from a stash the giver leaves behind when it ends.
// Kills: a block handed out twice, a stash lost with its thread.
TEST(AutoBufferTest, MemoryGivenOnOneThreadIsTakenOnAnotherOnceEach) {
  using kvr::io::SpareMemory;
  constexpr int kBlocks = 200;  // of 600 bytes: a class no other test here uses
  std::set<char*> given;
  std::thread giver([&] {
    std::vector<std::pair<char*, int>> blocks;
    for (int i = 0; i < kBlocks; ++i) {
      int token = 0;
      blocks.emplace_back(SpareMemory::Take(600, &token), token);
    }
    for (auto [memory, token] : blocks) {
      given.insert(memory);
      SpareMemory::Give(memory, token);
    }
  });
  giver.join();
  // A fresh thread, whose stash is empty: what it takes comes from the
  // shared class, where the giver's blocks are the newest.
  std::set<char*> taken;
  std::vector<std::pair<char*, int>> blocks;
  std::thread([&] {
    for (int i = 0; i < kBlocks; ++i) {
      int token = 0;
      char* memory = SpareMemory::Take(600, &token);
      taken.insert(memory);
      blocks.emplace_back(memory, token);
    }
  }).join();
  EXPECT_EQ(taken.size(), static_cast<size_t>(kBlocks)) << "a block was handed out twice";
  EXPECT_EQ(taken, given) << "what the giver held came back";
  for (auto [memory, token] : blocks) SpareMemory::Give(memory, token);
}

}  // namespace
