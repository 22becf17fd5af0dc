// CVQCAFString (contents across the inline/heap and scratch boundaries, the
// length limit, bad input), CVQCAFVariant's text and the
// CVQCAFDateTime texts in chosen time zones (TZ).
#include "support/vqcaf_test_support.h"

namespace {

std::string Str(const CVQCAFString& s) { return std::string(s.c_str(), s.GetLength()); }

TEST(String, NullInputsAndExactComparison) {
  CVQCAFString s("xyz");
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  ExpectRows("string_equality.txt", 3, [](std::vector<std::string>& a) {
    const bool fText = CVQCAFString(a[0].c_str()) == a[1].c_str();
    const bool fString = CVQCAFString(a[0].c_str()) == CVQCAFString(a[1].c_str());
    a[2] = fText && fString ? "equal" : !fText && !fString ? "different" : "text and string disagree";
  });
  s = "ab";
  s.AppendData("\0c", 2);  // an embedded NUL makes it differ from its prefix
  EXPECT_FALSE(s == "ab");
}

TEST(String, AppendAndConcatenateAcrossTheInlineBoundary) {
  CVQCAFString s;
  std::string ref;
  for (u32 i = 0; i < 200; ++i) {
    const char c[2] = {static_cast<char>('a' + i % 26), 0};
    s += c;
    ref += c;
    ASSERT_EQ(Str(s), ref) << i;
    ASSERT_TRUE(s.CheckInvariant()) << i;
  }
  EXPECT_EQ(Str("-" + s) + Str(s + "!"), "-" + ref + ref + "!");
  s += s.c_str() + 10;  // a part of itself
  EXPECT_EQ(Str(s), ref + ref.substr(10));
}

TEST(String, FormatReplacesContentsAtEverySize) {
  CVQCAFString s("old contents");
  EXPECT_EQ(s.Format("%d-%s-%08X", -5, "x", 0xBEEFu), 13u);
  EXPECT_EQ(Str(s), "-5-x-0000BEEF");
  /* inline, scratch buffer, past it; 2045 to 2047 produce 2047 to 2049 characters around its 2048 bytes */
  for (size_t n : {10, 47, 48, 2045, 2046, 2047, 2048, 5000}) {
    EXPECT_EQ(s.Format("[%s]", std::string(n, 'q').c_str()), n + 2) << n;
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
  ExpectRows("string_insert.txt", 5, [](std::vector<std::string>& a) {
    CVQCAFString s(a[0].c_str());
    const u32 un32Pos = static_cast<u32>(std::stoul(a[2]));
    s.Insert(a[1] == "(null)" ? nullptr : a[1].c_str(), un32Pos, static_cast<u32>(std::stoul(a[3])));
    a[4] = Str(s);
  });
  CVQCAFString s("abc");
  EXPECT_THROW(s.Insert("X", 4, 1), std::out_of_range);
  EXPECT_EQ(Str(s), "abc");
}

TEST(String, CaseChangesAsciiLettersOnlyAndInPlaceOnlyWhenAsked) {
  /* Each letter's neighbours: '@' 'A' 'Z' '[' and '`' 'a' 'z' '{'; other bytes travel unchanged. */
  const std::string strIn = "@AZ[`az{\xe9\xc9";
  const struct {
    bool fUpper, fInPlace;
    const char* pszOut;
  } rows[] = {{true, false, "@AZ[`AZ{\xe9\xc9"}, {false, false, "@az[`az{\xe9\xc9"},
              {true, true, "@AZ[`AZ{\xe9\xc9"},  {false, true, "@az[`az{\xe9\xc9"}};
  for (const auto& row : rows) {
    CVQCAFString s(strIn.c_str());
    const CVQCAFString Out = row.fUpper ? s.vqx_toupper(row.fInPlace) : s.vqx_tolower(row.fInPlace);
    EXPECT_EQ(Str(Out), row.pszOut) << row.fUpper << row.fInPlace;
    EXPECT_EQ(Str(s), row.fInPlace ? row.pszOut : strIn) << row.fUpper << row.fInPlace;
  }
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
  EXPECT_THROW(f.AppendData(nullptr, 4), std::invalid_argument);
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
  ExpectRows("datetime_texts.txt", 6, [](std::vector<std::string>& a) {
    SetZone(a[0].c_str());
    const i64 n64Seconds = std::stoll(a[1]);
    const u32 un32Ms = static_cast<u32>(std::stoul(a[2]));
    CVQCAFDateTime t(n64Seconds, un32Ms);
    a[4] = t.ToString(a[3] == "(null)" ? nullptr : a[3].c_str()).c_str();
    char acDate[VQCAF_DATETIME_DATE_SIZE] = "unchanged";
    char acTime[VQCAF_DATETIME_TIME_SIZE] = {};
    const VQX_RESULT un32Result = CVQCAFDateTime::FormatDateTime(n64Seconds, un32Ms, acDate, acTime, 0);
    EXPECT_STREQ(acDate, "unchanged") << a[0] << a[1];  // flag 0 leaves the date alone
    EXPECT_EQ(un32Result, CVQCAFDateTime::FormatDateTime(n64Seconds, un32Ms, acDate, acTime, 1)) << a[0] << a[1];
    a[5] = t.IsSet() && un32Result == VQX_RESULT_OK ? std::string(acDate) + " " + acTime : "-";
  });
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
