#include "io/auto_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(AutoBufferTest, SizeBelowOneMakesNothingAndKeepsWhatWasThere) {
  CAutoBuffer buffer;
  EXPECT_EQ(buffer.Make(0), nullptr);
  EXPECT_EQ(buffer.Make(-1), nullptr);
  EXPECT_EQ(buffer.MakeCopy(0, "abc"), nullptr);
  EXPECT_EQ(buffer.MakeCopy(-1, "abc"), nullptr);
  EXPECT_EQ(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Size(), 0);

  ASSERT_NE(buffer.MakeCopy(3, "abc"), nullptr);
  EXPECT_EQ(buffer.Make(0), nullptr);
  EXPECT_STREQ(buffer.Data(), "abc");
  EXPECT_EQ(buffer.Size(), 3);
}

TEST(AutoBufferTest, CopyAddsATerminatingZeroAfterTheBytes) {
  const char source[] = {'h', 'e', 'l', 'l', 'o', 'X', 'Y'};
  CAutoBuffer buffer;
  char* data = buffer.MakeCopy(5, source);
  ASSERT_NE(data, nullptr);
  EXPECT_NE(data, source);
  EXPECT_EQ(buffer.Size(), 5);
  EXPECT_EQ(std::memcmp(data, "hello", 5), 0);
  EXPECT_EQ(data[5], '\0');  // the sixth byte is inside the block (ASan would object otherwise)
  EXPECT_STREQ(data, "hello");

  // Bytes with NULs inside are copied whole.
  const char binary[] = {'\0', '\x01', '\0', '\xff'};
  ASSERT_NE(buffer.Make(4, const_cast<char*>(binary), true), nullptr);
  EXPECT_EQ(std::memcmp(buffer.Data(), binary, 4), 0);
  EXPECT_EQ(buffer.Data()[4], '\0');
}

TEST(AutoBufferTest, CopyOfNullLeavesNoData) {
  CAutoBuffer buffer;
  buffer.MakeCopy(2, "ab");
  EXPECT_EQ(buffer.MakeCopy(8, nullptr), nullptr);
  EXPECT_EQ(buffer.Data(), nullptr);
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(AutoBufferTest, AdoptNullGivesZeroFilledBlock) {
  CAutoBuffer buffer;
  char* data = buffer.Make(64);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(buffer.Size(), 64);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(data[i], 0) << i;
}

TEST(AutoBufferTest, AdoptedMemoryIsTakenOverAndFreedByTheLastHolder) {
  char* mine = new char[16];
  std::memcpy(mine, "payload", 8);
  auto* buffer = new CAutoBuffer;
  EXPECT_EQ(buffer->Make(16, mine), mine);
  EXPECT_EQ(buffer->Data(), mine);
  EXPECT_STREQ(buffer->Data(), "payload");
  EXPECT_EQ(buffer->Size(), 16);
  {
    CReferPtr<CAutoBuffer> first(buffer);
    CReferPtr<CAutoBuffer> second = first;
    EXPECT_EQ(buffer->ReferenceCount(), 2);
  }
  // Both holders are gone: the buffer and `mine` were freed (the sanitizer
  // build reports a leak otherwise).
}

TEST(AutoBufferTest, RemakeFreesTheOldDataInEitherForm) {
  CReferPtr<CAutoBuffer> buffer(new CAutoBuffer);
  buffer->MakeCopy(4, "one!");
  buffer->Make(10, new char[10]);
  buffer->MakeCopy(3, "two");
  buffer->Make(5);
  EXPECT_EQ(buffer->Size(), 5);
  // Adopting the block it already owns changes only the size.
  char* own = buffer->Data();
  EXPECT_EQ(buffer->Make(3, own), own);
  EXPECT_EQ(buffer->Size(), 3);
  // Copying from its own bytes reads them before they are freed.
  buffer->MakeCopy(3, "xyz");
  EXPECT_STREQ(buffer->MakeCopy(2, buffer->Data()), "xy");
  // Every block made above but the last one was freed (a leak fails the sanitizer build).
}

TEST(AutoBufferTest, SharedAcrossThreadsTheLastReleaseDestroysOnce) {
  static std::atomic<int> destroyed{0};
  struct Counted : CAutoBuffer {
    ~Counted() override { destroyed++; }
  };
  destroyed = 0;
  for (int round = 0; round < 50; ++round) {
    CReferPtr<CAutoBuffer> shared(new Counted);
    shared->MakeCopy(5, "media");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = shared]() mutable {
        for (int i = 0; i < 200; ++i) {
          CReferPtr<CAutoBuffer> more = copy;
          ASSERT_EQ(more->Size(), 5);
        }
      });
    }
    shared.Reset();
    for (auto& th : threads) th.join();
  }
  EXPECT_EQ(destroyed, 50);
}

}  // namespace
