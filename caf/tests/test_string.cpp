// CVQCAFString (contents after each operation, the inline/heap and scratch
// boundaries, the length limit, bad input), CVQCAFVariant's text and the
// CVQCAFDateTime texts in chosen time zones (TZ).
#include "support/vqcaf_test_support.h"

namespace {

std::string Str(const CVQCAFString& s) { return std::string(s.c_str(), s.GetLength()); }

TEST(String, NullInputsAndExactComparison) {
  CVQCAFString s("xyz");
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  struct Row {
    const char *pszValue, *pszOther;
    bool fEqual;
  };
  for (const Row& r : {Row{"abc", "abc", true}, Row{"abc", "ABC", false}, Row{"abc", "ab", false},
                       Row{"ab", "abc", false}, Row{"", "", true}, Row{"", "a", false}}) {
    EXPECT_EQ(CVQCAFString(r.pszValue) == r.pszOther, r.fEqual) << r.pszValue << " vs " << r.pszOther;
    EXPECT_EQ(CVQCAFString(r.pszValue) == CVQCAFString(r.pszOther), r.fEqual) << r.pszValue << " vs " << r.pszOther;
  }
  s = "ab";
  s.AppendData("\0c", 2);  // an embedded NUL makes it differ from its prefix
  EXPECT_FALSE(s == "ab");
}

TEST(String, AppendConcatenateAndCopyAcrossTheInlineBoundary) {
  CVQCAFString s;
  std::string ref;
  for (u32 i = 0; i < 200; ++i) {
    const char c[2] = {static_cast<char>('a' + i % 26), 0};
    s += c;
    ref += c;
    ASSERT_EQ(Str(s), ref) << i;
    ASSERT_TRUE(s.CheckInvariant()) << i;
  }
  EXPECT_EQ(Str("-" + s) + Str(s + "!") + Str(s + s), "-" + ref + ref + "!" + ref + ref);
  CVQCAFString Copy(s);
  CVQCAFString Assigned;
  Assigned = s;
  Assigned += "!";
  s += s;  // itself, then a part of itself
  s += s.c_str() + 10;
  EXPECT_EQ(Str(s), ref + ref + (ref + ref).substr(10));
  EXPECT_EQ(Str(Copy), ref);
  CVQCAFString Moved(std::move(Assigned));
  EXPECT_EQ(Str(Moved), ref + "!");
  EXPECT_TRUE(Assigned.IsEmpty() && Assigned.CheckInvariant());  // NOLINT: the moved-from state is specified
}

TEST(String, FormatReplacesContentsAtEverySize) {
  CVQCAFString s("old contents");
  EXPECT_EQ(s.Format("%d-%s-%08X", -5, "x", 0xBEEFu), 13u);
  EXPECT_EQ(Str(s), "-5-x-0000BEEF");
  for (size_t n : {10, 47, 48, 2047, 2048, 5000}) {  // inline, scratch buffer, past it
    s.Format("[%s]", std::string(n, 'q').c_str());
    EXPECT_EQ(Str(s), "[" + std::string(n, 'q') + "]") << n;
    EXPECT_TRUE(s.CheckInvariant()) << n;
  }
  for (size_t n : {3, 3000}) {  // arguments taken from the string itself
    s = std::string(n, 'z').c_str();
    s.Format("%s+%s", s.c_str(), s.c_str());
    EXPECT_EQ(Str(s), std::string(n, 'z') + "+" + std::string(n, 'z')) << n;
  }
  s = "kept";  // a wide character with no form in the C locale: an encoding error
  const wchar_t awcText[] = {static_cast<wchar_t>(0x20AC), 0};
  EXPECT_THROW(s.Format("%ls", awcText), std::invalid_argument);
  EXPECT_EQ(Str(s), "kept");
}

TEST(String, InsertTable) {
  struct Row {
    const char *pszStart, *pszText;
    u32 un32Pos, un32Len;
    const char* pszExpected;
  };
  const std::string strLong(49, 'L');  // onto the heap
  const std::string strLongInserted = "a" + strLong + "bc";
  for (const Row& r : {Row{"]", "Play errors[", 0, 12, "Play errors[]"}, Row{"abc", "XY", 3, 2, "abcXY"},
                       Row{"abc", "XY", 1, 1, "aXbc"}, Row{"abc", "XY", 1, 100, "aXYbc"},  // the text ends first
                       Row{"abc", nullptr, 1, 5, "abc"}, Row{"", "XY", 0, 2, "XY"},
                       Row{"abc", strLong.c_str(), 1, 49, strLongInserted.c_str()}}) {
    CVQCAFString s(r.pszStart);
    s.Insert(r.pszText, r.un32Pos, r.un32Len);
    EXPECT_STREQ(s.c_str(), r.pszExpected) << r.pszStart << " @" << r.un32Pos;
  }
  CVQCAFString s("abc");
  EXPECT_THROW(s.Insert("X", 4, 1), std::out_of_range);
  EXPECT_EQ(Str(s), "abc");
}

TEST(String, AppendDataPreAllocateAndCase) {
  CVQCAFString s;
  s.AppendData("hello", 3);
  EXPECT_THROW(s.AppendData(nullptr, 4), std::invalid_argument);
  s.PreAllocateBuffer(1000, __FILE__, __LINE__, 1);  // 1: kept
  s += "01";
  EXPECT_EQ(Str(s), "hel01");
  s = "Trunk_01-aZ\xE9";  // bytes outside ASCII letters are kept; false: a copy, true: in place
  EXPECT_EQ(Str(s.vqx_toupper(false)), "TRUNK_01-AZ\xE9");
  EXPECT_EQ(Str(s), "Trunk_01-aZ\xE9");
  EXPECT_EQ(Str(s.vqx_tolower(true)), "trunk_01-az\xE9");
  EXPECT_EQ(Str(s), "trunk_01-az\xE9");
}

TEST(String, LengthLimitLeavesStringUnchanged) {
  CVQCAFString s(std::string(VQCAF_STRING_MAX_LENGTH - 1, 'm').c_str());
  CVQCAFString f("keep");
  s += "x";  // exactly at the limit
  EXPECT_EQ(s.GetLength(), VQCAF_STRING_MAX_LENGTH);
  EXPECT_THROW(s += "y", std::length_error);
  EXPECT_THROW(s.Insert("y", 0, 1), std::length_error);
  EXPECT_EQ(s.GetLength(), VQCAF_STRING_MAX_LENGTH);
  EXPECT_THROW(f.Format("%s%s", s.c_str(), "z"), std::length_error);
  const std::string over(VQCAF_STRING_MAX_LENGTH + 1, 'o');
  EXPECT_THROW(f = over.c_str(), std::length_error);
  EXPECT_THROW(f.PreAllocateBuffer(VQCAF_STRING_MAX_LENGTH + 1, __FILE__, __LINE__, 1), std::length_error);
  EXPECT_EQ(Str(f), "keep");
}

TEST(Variant, UnsignedToStringIsSignedDecimal) {
  for (const auto& [un32Value, pszText] :
       {std::pair<u32, const char*>{2147483647u, "2147483647"}, {2147483648u, "-2147483648"}, {0xFFFFFFFFu, "-1"}}) {
    EXPECT_STREQ(CVQCAFVariant(un32Value).ToString().c_str(), pszText) << un32Value;
  }
}

void SetZone(const char* pszZone) {
  setenv("TZ", pszZone, 1);
  tzset();
}

TEST(DateTime, TextsInZones) {
  const char* kNotSet = "Failed to convert time to string.";
  struct Row {
    const char* pszZone;
    i64 n64Seconds;
    u32 un32Ms;
    const char *pszFormat, *pszText, *pszDate, *pszTime;
  };
  const Row aRows[] = {
      {"UTC0", 0, 7, nullptr, "1970-01-01 00:00:00+0000", "1970-01-01", "00:00:00.007+0000"},
      {"EST5", 0, 0, nullptr, "1969-12-31 19:00:00-0500", "1969-12-31", "19:00:00.000-0500"},
      {"IST-5:30", 0, 999, nullptr, "1970-01-01 05:30:00+0530", "1970-01-01", "05:30:00.999+0530"},
      {"XST0:30", 0, 1, nullptr, "1969-12-31 23:30:00-0030", "1969-12-31", "23:30:00.001-0030"},  // sign under 1 h
      {"YST-0:45", 0, 1, nullptr, "1970-01-01 00:45:00+0045", "1970-01-01", "00:45:00.001+0045"},
      {"UTC0", 1700000000, 0, "%H:%M", "22:13", "2023-11-14", "22:13:20.000+0000"},
      {"UTC0", 1700000000, 0, "", "", "2023-11-14", "22:13:20.000+0000"},
      {"UTC0", -1, 0, nullptr, kNotSet, nullptr, nullptr},  // not set
      {"UTC0", 0, 1000, nullptr, kNotSet, nullptr, nullptr}};
  for (const Row& r : aRows) {
    SetZone(r.pszZone);
    const std::string strRow =
        std::string(r.pszZone) + " " + std::to_string(r.n64Seconds) + "." + std::to_string(r.un32Ms);
    CVQCAFDateTime t(r.n64Seconds, r.un32Ms);
    EXPECT_STREQ(t.ToString(r.pszFormat).c_str(), r.pszText) << strRow;
    EXPECT_EQ(t.IsSet(), r.pszDate != nullptr) << strRow;
    if (r.pszDate == nullptr) continue;
    char acDate[VQCAF_DATETIME_DATE_SIZE] = "unchanged";
    char acTime[VQCAF_DATETIME_TIME_SIZE] = {};
    EXPECT_EQ(CVQCAFDateTime::FormatDateTime(r.n64Seconds, r.un32Ms, acDate, acTime, 0), VQX_RESULT_OK);
    EXPECT_STREQ(acDate, "unchanged") << strRow;  // flag 0 leaves the date alone
    EXPECT_EQ(CVQCAFDateTime::FormatDateTime(r.n64Seconds, r.un32Ms, acDate, acTime, 1), VQX_RESULT_OK);
    EXPECT_EQ(std::string(acDate) + " " + acTime, std::string(r.pszDate) + " " + r.pszTime) << strRow;
  }
  SetZone("IST-5:30");
  EXPECT_EQ(CVQCAFDateTime(0, 0).GetZoneOffset(), 19800);
  unsetenv("TZ");
  tzset();
  char acDate[VQCAF_DATETIME_DATE_SIZE], acTime[VQCAF_DATETIME_TIME_SIZE];
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(nullptr, acTime, 0), VQX_RESULT_OK);  // no date asked
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(nullptr, acTime, 1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(acDate, nullptr, 1), VQX_RESULT_NULL_PARAM);
}

}  // namespace
