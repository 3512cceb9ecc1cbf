// Only what the service uses of the string: building, assigning, appending
// and the ordering of the tables keyed by it.
#include "svrframe/secure_string.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(SecureStringTest, ConstructionAndAssignmentNeverHoldNull) {
  CSecureString empty, from_null(static_cast<const char*>(nullptr));
  ASSERT_TRUE(empty.c_str() != nullptr && from_null.c_str() != nullptr);
  EXPECT_TRUE(from_null.IsEmpty());

  CSecureString s("abc");
  s = static_cast<const char*>(nullptr);  // null text leaves the string alone
  EXPECT_EQ(s, "abc");
  s = s.c_str() + 1;  // assigning from its own buffer
  EXPECT_EQ(s, "bc");
  CSecureString copy = s, moved = std::move(copy);
  EXPECT_EQ(moved, "bc");
  EXPECT_TRUE(copy.c_str() != nullptr && copy.IsEmpty());
  EXPECT_EQ(CSecureString("abcdef", 3), "abc");
  EXPECT_EQ(CSecureString("ab\0cd", 5), "ab");
  moved.Append("-").Append('1').Append('\0').Append(static_cast<const char*>(nullptr));
  EXPECT_TRUE(moved == "bc-1" && moved.Length() == 4);
}

TEST(SecureStringTest, OrderIsByUnsignedBytes) {
  CSecureString abc("abc");
  EXPECT_LT(CSecureString("z"), CSecureString("\xE4"));  // 0xE4 sorts after 'z'
  EXPECT_TRUE(abc < "b" && abc >= "abc" && abc != "abcd");
  EXPECT_TRUE(abc > CSecureString("ab") && abc <= CSecureString("abc"));
}

}  // namespace
