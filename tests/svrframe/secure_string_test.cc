#include "svrframe/secure_string.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

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
}

TEST(SecureStringTest, AppendInsertErase) {
  CSecureString s("cam");
  s.Append("era").Append('1').Append('\0').Append(static_cast<const char*>(nullptr));
  EXPECT_EQ(s, "camera1");
  s.Insert(0, "/");
  s.Insert(100, "/x");  // past the end appends
  s.Insert(-3, "r");    // negative inserts at the front
  EXPECT_EQ(s, "r/camera1/x");
  s.Insert(2, s.c_str());  // text from its own buffer
  EXPECT_EQ(s, "r/r/camera1/xcamera1/x");

  // Erase from "abcdef" in turn: position, count, the result, the text after.
  CSecureString e("abcdef");
  const std::tuple<int, int, int, const char*> erases[] = {
      {1, 2, 4, "adef"}, {2, 1000, 2, "ad"}, {3, 1, -1, "ad"},  // up to count; past the end
      {-1, 1, -1, "ad"}, {0, -4, 2, "ad"},   {2, 1, 2, "ad"}};  // at the end: nothing to remove
  for (const auto& [at, count, result, after] : erases) {
    EXPECT_EQ(e.Erase(at, count), result) << at << "," << count;
    EXPECT_EQ(e, after) << at << "," << count;
  }
}

TEST(SecureStringTest, FindSubstringAtAndCompareStayInsideTheBuffer) {
  CSecureString s("abcabc"), abc("abc");
  const char* const kNull = nullptr;
  // clang-format off
  const std::pair<int, int> found[] = {
      {s.Find('c'), 2}, {s.Find('c', 3), 5}, {s.Find("bc", 2), 4}, {s.Find("c", 50), -1},
      {s.Find('a', -1), -1}, {s.Find("x"), -1}, {s.Find(kNull), -1}, {abc.Find("c", 5), -1},
      {abc.Compare("abd"), -1}, {abc.Compare("abc"), 0}, {abc.Compare("ab"), 1},
      {abc.Compare(kNull), 1}, {CSecureString("").Compare(kNull), 0}};
  // clang-format on
  for (size_t i = 0; i < std::size(found); ++i) EXPECT_EQ(found[i].first, found[i].second) << i;
  // The last: no overflow in position + count.
  for (auto [at, count, sub] :
       {std::tuple{2, 5, ""}, {1, 2, "bc"}, {0, 0, ""}, {-1, 2, ""}, {1, 0x7fffffff, ""}}) {
    EXPECT_EQ(*abc.Substring(at, count), sub) << at << "," << count;
  }
  EXPECT_EQ(*abc.At(1), 'b');
  const char* past = abc.At(3);
  EXPECT_STREQ(past, "");
  EXPECT_EQ(past, abc.At(-7)) << "out-of-range indexes share one empty text";
  EXPECT_NE(past, abc.c_str() + 3);
  // Bytes compare unsigned: 0xE4 sorts after 'z'.
  EXPECT_LT(CSecureString("z"), CSecureString("\xE4"));
  EXPECT_TRUE(abc < "b" && abc >= "abc" && abc != "abcd");
  EXPECT_TRUE(abc > CSecureString("ab") && abc <= CSecureString("abc"));
}

TEST(SecureStringTest, ComparingWithAHeapTemporaryConsumesIt) {
  CSecureString path("D:\\rec\\cam1.ts");
  // The temporaries come from Substring and are deleted by the comparison;
  // LeakSanitizer catches a comparison that forgets to.
  EXPECT_TRUE(CSecureString("D:") == path.Substring(0, 2));
  EXPECT_TRUE(path == path.Substring(0, path.Length()));
  EXPECT_FALSE(path == std::make_unique<CSecureString>("x"));
  EXPECT_EQ(path.Compare(path.Substring(3, 3)), -1);
  EXPECT_TRUE(CSecureString("rec") == path.Substring(3, 3));
  EXPECT_TRUE(path > std::make_unique<CSecureString>("A"));
  EXPECT_TRUE(path < std::make_unique<CSecureString>("E"));
  EXPECT_EQ(CSecureString().Compare(std::unique_ptr<CSecureString>()), 0);
}

TEST(SecureStringTest, GuardDeletesWhatItHolds) {
  CStringGruad guard(new CSecureString("one"));
  EXPECT_EQ(*guard.Get(), "one");
  guard = new CSecureString("two");  // the first is deleted (LeakSanitizer checks)
  guard.Reset(guard.Get());          // giving it the same string keeps it
  EXPECT_EQ(*guard.Get(), "two");
  EXPECT_EQ(guard->Length(), 3);
}

}  // namespace
