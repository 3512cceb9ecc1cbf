#include "io/auto_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

// Freeing is checked by the sanitizer build: a block that is not freed is
// reported as a leak, one freed twice as a double free.
namespace {

TEST(AutoBufferTest, SizeBelowOneOrNullCopySourceMakesNothing) {
  CAutoBuffer buffer;
  ASSERT_NE(buffer.MakeCopy(3, "abc"), nullptr);
  for (int size : {0, -1}) {
    EXPECT_EQ(buffer.Make(size), nullptr) << size;
    EXPECT_EQ(buffer.MakeCopy(size, "xyz"), nullptr) << size;
  }
  EXPECT_STREQ(buffer.Data(), "abc") << "a refused size keeps what was there";
  EXPECT_EQ(buffer.Size(), 3);

  EXPECT_EQ(buffer.MakeCopy(8, nullptr), nullptr);
  EXPECT_EQ(buffer.Data(), nullptr) << "a null copy source leaves no data";
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(AutoBufferTest, CopyAddsATerminatingZeroAfterTheBytes) {
  const char source[] = {'h', 'e', 'l', 'l', 'o', 'X', 'Y'};
  CAutoBuffer buffer;
  char* data = buffer.MakeCopy(5, source);
  ASSERT_NE(data, nullptr);
  EXPECT_NE(data, source);
  EXPECT_EQ(buffer.Size(), 5);
  EXPECT_STREQ(data, "hello");  // the sixth byte is inside the block (ASan would object otherwise)

  // Bytes with NULs inside are copied whole.
  const char binary[] = {'\0', '\x01', '\0', '\xff'};
  ASSERT_NE(buffer.Make(4, const_cast<char*>(binary), true), nullptr);
  EXPECT_EQ(std::memcmp(buffer.Data(), binary, 4), 0);
  EXPECT_EQ(buffer.Data()[4], '\0');
}

TEST(AutoBufferTest, AdoptTakesMemoryOverOrMakesAZeroFilledBlock) {
  CAutoBuffer zeroed;
  char* data = zeroed.Make(64);
  ASSERT_NE(data, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(data[i], 0) << i;

  char* mine = new char[16];
  std::memcpy(mine, "payload", 8);
  CReferPtr<CAutoBuffer> first(new CAutoBuffer);
  EXPECT_EQ(first->Make(16, mine), mine);
  EXPECT_STREQ(first->Data(), "payload");
  EXPECT_EQ(first->Size(), 16);
  CReferPtr<CAutoBuffer> second = first;
  // When both holders are gone the buffer and `mine` are freed.
}

TEST(AutoBufferTest, RemakeFreesTheOldDataInEitherForm) {
  CReferPtr<CAutoBuffer> buffer(new CAutoBuffer);
  buffer->MakeCopy(4, "one!");
  buffer->Make(10, new char[10]);
  buffer->MakeCopy(3, "two");
  buffer->Make(5);
  // Adopting the block it already owns changes only the size.
  char* own = buffer->Data();
  EXPECT_EQ(buffer->Make(3, own), own);
  EXPECT_EQ(buffer->Size(), 3);
  // Copying from its own bytes reads them before they are freed.
  buffer->MakeCopy(3, "xyz");
  EXPECT_STREQ(buffer->MakeCopy(2, buffer->Data()), "xy");
}

}  // namespace
