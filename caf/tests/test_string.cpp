// CVQCAFString: contents after each operation, the inline/heap boundary,
// the length limit and bad input.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "vqcafstring.h"
#include "vqcafvariant.h"

using VQCAF::CVQCAFString;
using VQCAF::VQCAF_STRING_INLINE_CAPACITY;
using VQCAF::VQCAF_STRING_MAX_LENGTH;

namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST(String, ConstructionAndAssignment) {
  CVQCAFString s;
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.GetLength(), 0u);
  EXPECT_TRUE(s.IsEmpty());
  CVQCAFString t("abc");
  CVQCAFString u(t);
  EXPECT_TRUE(u == "abc");
  s = "xyz";
  EXPECT_EQ(s.GetLength(), 3u);
  s = t;
  EXPECT_TRUE(s == t);
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s == "");
  EXPECT_TRUE(s == nullptr);
  CVQCAFString n(nullptr);
  EXPECT_TRUE(n.IsEmpty());
  EXPECT_TRUE(n.CheckInvariant());
}

TEST(String, ComparisonIsExact) {
  struct Row {
    const char* pszValue;
    const char* pszOther;
    bool fEqual;
  } aRows[] = {
      {"abc", "abc", true}, {"abc", "ABC", false}, {"abc", "ab", false}, {"ab", "abc", false}, {"", "", true},
      {"", "a", false},
  };
  for (const Row& r : aRows) {
    CVQCAFString s(r.pszValue);
    EXPECT_EQ(s == r.pszOther, r.fEqual) << r.pszValue << " vs " << r.pszOther;
    EXPECT_EQ(s == CVQCAFString(r.pszOther), r.fEqual) << r.pszValue << " vs " << r.pszOther;
  }
  // An embedded NUL makes the string differ from its prefix text.
  CVQCAFString e("ab");
  e.AppendData("\0c", 2);
  EXPECT_EQ(e.GetLength(), 4u);
  EXPECT_FALSE(e == "ab");
}

TEST(String, AppendAcrossInlineBoundary) {
  CVQCAFString s;
  std::string ref;
  for (u32 i = 0; i < 200; ++i) {
    char c[2] = {static_cast<char>('a' + i % 26), 0};
    s += c;
    ref += c;
    ASSERT_EQ(s.GetLength(), ref.size());
    ASSERT_STREQ(s.c_str(), ref.c_str());
    ASSERT_TRUE(s.CheckInvariant()) << i;
  }
  CVQCAFString t("-");
  t += s;
  EXPECT_EQ(t.GetLength(), 201u);
  s += s;  // self-append
  EXPECT_EQ(std::string(s.c_str()), ref + ref);
  s += s.c_str() + 10;  // append a part of itself
  EXPECT_EQ(std::string(s.c_str()), ref + ref + (ref + ref).substr(10));
  EXPECT_TRUE(s.CheckInvariant());
}

TEST(String, Concatenation) {
  CVQCAFString s("world");
  CVQCAFString r = "hello " + s;
  EXPECT_STREQ(r.c_str(), "hello world");
  EXPECT_STREQ((s + "!").c_str(), "world!");
  EXPECT_STREQ((s + s).c_str(), "worldworld");
  EXPECT_STREQ(s.c_str(), "world");
}

TEST(String, FormatReplacesContents) {
  CVQCAFString s("old contents");
  EXPECT_EQ(s.Format("%d-%s-%08X", -5, "x", 0xBEEFu), 13u);
  EXPECT_STREQ(s.c_str(), "-5-x-0000BEEF");
  // Long results (inline, scratch, past the scratch buffer).
  for (size_t n : {size_t(10), size_t(47), size_t(48), size_t(2047), size_t(2048), size_t(5000)}) {
    std::string big = Repeat('q', n);
    s.Format("[%s]", big.c_str());
    EXPECT_EQ(s.GetLength(), n + 2) << n;
    EXPECT_EQ(std::string(s.c_str()), "[" + big + "]") << n;
    EXPECT_TRUE(s.CheckInvariant());
  }
  // An argument taken from the string itself.
  s = "abc";
  s.Format("%s%s", s.c_str(), s.c_str());
  EXPECT_STREQ(s.c_str(), "abcabc");
  std::string longer = Repeat('z', 3000);
  s = longer.c_str();
  s.Format("%s+%s", s.c_str(), s.c_str());
  EXPECT_EQ(std::string(s.c_str()), longer + "+" + longer);
  s.Format(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}

TEST(String, FormatTheLibraryCannotApplyLeavesTheString) {
  // A wide character with no form in the C locale: an encoding error.
  CVQCAFString s("kept");
  const wchar_t awcText[] = {static_cast<wchar_t>(0x20AC), 0};
  EXPECT_THROW(s.Format("%ls", awcText), std::invalid_argument);
  EXPECT_STREQ(s.c_str(), "kept");
  EXPECT_TRUE(s.CheckInvariant());
}

TEST(String, InsertTable) {
  struct Row {
    const char* pszStart;
    const char* pszText;
    u32 un32Pos;
    u32 un32Len;
    const char* pszExpected;
  } aRows[] = {
      {"]", "Play errors[", 0, 12, "Play errors[]"},
      {"abc", "XY", 0, 2, "XYabc"},
      {"abc", "XY", 3, 2, "abcXY"},
      {"abc", "XY", 1, 1, "aXbc"},
      {"abc", "XY", 1, 100, "aXYbc"},  // the text ends before the count
      {"abc", "", 1, 5, "abc"},
      {"abc", nullptr, 1, 5, "abc"},
      {"", "XY", 0, 2, "XY"},
  };
  for (const Row& r : aRows) {
    CVQCAFString s(r.pszStart);
    s.Insert(r.pszText, r.un32Pos, r.un32Len);
    EXPECT_STREQ(s.c_str(), r.pszExpected) << r.pszStart << " @" << r.un32Pos;
  }
  CVQCAFString s("abc");
  EXPECT_THROW(s.Insert("X", 4, 1), std::out_of_range);
  EXPECT_STREQ(s.c_str(), "abc");
  std::string big = Repeat('b', 100);
  s.Insert(big.c_str(), 1, 100);
  EXPECT_EQ(std::string(s.c_str()), "a" + big + "bc");
}

TEST(String, AppendDataClearPreAllocate) {
  CVQCAFString s;
  s.AppendData("hello", 3);
  EXPECT_STREQ(s.c_str(), "hel");
  s.AppendData(nullptr, 0);
  EXPECT_THROW(s.AppendData(nullptr, 4), std::invalid_argument);
  EXPECT_STREQ(s.c_str(), "hel");
  s.PreAllocateBuffer(1000, __FILE__, __LINE__, 1);
  EXPECT_GE(s.GetCapacity(), 1000u);
  EXPECT_STREQ(s.c_str(), "hel");
  const char* pBefore = s.c_str();
  for (int i = 0; i < 99; ++i) s += "0123456789";
  EXPECT_EQ(s.c_str(), pBefore);  // no reallocation within the reserved size
  s.PreAllocateBuffer(10, __FILE__, __LINE__, 0);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_THROW(s.PreAllocateBuffer(VQCAF_STRING_MAX_LENGTH + 1, __FILE__, __LINE__, 1), std::length_error);
  s = "x";
  s.Clear();
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(s.GetCapacity(), VQCAF_STRING_INLINE_CAPACITY);
  EXPECT_TRUE(s.CheckInvariant());
}

TEST(String, CaseConversionModes) {
  CVQCAFString s("Trunk_01-aZ");
  CVQCAFString up = s.vqx_toupper(false);
  EXPECT_STREQ(up.c_str(), "TRUNK_01-AZ");
  EXPECT_STREQ(s.c_str(), "Trunk_01-aZ");
  CVQCAFString low = s.vqx_tolower(true);
  EXPECT_STREQ(low.c_str(), "trunk_01-az");
  EXPECT_STREQ(s.c_str(), "trunk_01-az");
  s.vqx_toupper(true);
  EXPECT_STREQ(s.c_str(), "TRUNK_01-AZ");
  // Bytes outside ASCII letters are left alone.
  CVQCAFString b("\xE9t\xC9");
  EXPECT_STREQ(b.vqx_toupper(false).c_str(), "\xE9T\xC9");
}

TEST(String, LengthLimitLeavesStringUnchanged) {
  std::string almost = Repeat('m', VQCAF_STRING_MAX_LENGTH - 1);
  CVQCAFString s(almost.c_str());
  EXPECT_EQ(s.GetLength(), VQCAF_STRING_MAX_LENGTH - 1);
  s += "x";  // exactly at the limit
  EXPECT_EQ(s.GetLength(), VQCAF_STRING_MAX_LENGTH);
  EXPECT_THROW(s += "y", std::length_error);
  EXPECT_EQ(s.GetLength(), VQCAF_STRING_MAX_LENGTH);
  EXPECT_TRUE(s.CheckInvariant());
  EXPECT_THROW(s.Insert("y", 0, 1), std::length_error);
  EXPECT_EQ(s.GetLength(), VQCAF_STRING_MAX_LENGTH);
  CVQCAFString f("keep");
  EXPECT_THROW(f.Format("%s%s", s.c_str(), "z"), std::length_error);
  EXPECT_STREQ(f.c_str(), "keep");
  std::string over = Repeat('o', VQCAF_STRING_MAX_LENGTH + 1);
  EXPECT_THROW(CVQCAFString o(over.c_str()), std::length_error);
  EXPECT_THROW(f = over.c_str(), std::length_error);
  EXPECT_STREQ(f.c_str(), "keep");
}

TEST(String, MoveLeavesSourceEmpty) {
  std::string big = Repeat('h', 100);
  CVQCAFString a(big.c_str());
  CVQCAFString b(std::move(a));
  EXPECT_EQ(std::string(b.c_str()), big);
  EXPECT_TRUE(a.IsEmpty());  // NOLINT: moved-from state is specified
  EXPECT_TRUE(a.CheckInvariant());
  CVQCAFString c("short");
  CVQCAFString d;
  d = std::move(c);
  EXPECT_STREQ(d.c_str(), "short");
  EXPECT_TRUE(c.IsEmpty());
}

TEST(Variant, UnsignedToStringIsSignedDecimal) {
  struct Row {
    u32 un32Value;
    const char* pszText;
  } aRows[] = {{0u, "0"}, {7u, "7"}, {2147483647u, "2147483647"}, {2147483648u, "-2147483648"}, {0xFFFFFFFFu, "-1"}};
  for (const Row& r : aRows) {
    EXPECT_STREQ(VQCAF::CVQCAFVariant(r.un32Value).ToString().c_str(), r.pszText) << r.un32Value;
  }
}
