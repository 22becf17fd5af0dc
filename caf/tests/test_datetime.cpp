// CVQCAFDateTime: texts for fixed times in chosen time zones (TZ), the zone
// offset form, the not-set text and bad arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "vqcafdatetime.h"

using namespace VQCAF;

namespace {

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* pszZone) {
    const char* p = getenv("TZ");
    mfHad = p != nullptr;
    if (mfHad) mstrOld = p;
    setenv("TZ", pszZone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (mfHad) setenv("TZ", mstrOld.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool mfHad;
  std::string mstrOld;
};

// Text shape: '9' a digit, 'S' a sign, anything else itself.
bool HasShape(const char* pszText, const char* pszShape) {
  size_t n = strlen(pszShape);
  if (strlen(pszText) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = pszText[i];
    if (pszShape[i] == '9' ? (c < '0' || c > '9') : pszShape[i] == 'S' ? (c != '+' && c != '-') : c != pszShape[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

TEST(DateTime, ToStringInZones) {
  struct Row {
    const char* pszZone;
    i64 n64Seconds;
    const char* pszFormat;
    const char* pszExpected;
  } aRows[] = {
      {"UTC0", 0, nullptr, "1970-01-01 00:00:00+0000"},
      {"EST5", 0, nullptr, "1969-12-31 19:00:00-0500"},
      {"IST-5:30", 1700000000, nullptr, "2023-11-15 03:43:20+0530"},
      {"UTC0", 1700000000, "%H:%M", "22:13"},
      {"UTC0", 1700000000, "", ""},
  };
  for (const Row& r : aRows) {
    ZoneGuard Zone(r.pszZone);
    CVQCAFDateTime t(r.n64Seconds, 0);
    EXPECT_STREQ(t.ToString(r.pszFormat).c_str(), r.pszExpected) << r.pszZone << " " << r.n64Seconds;
  }
  ZoneGuard Zone("IST-5:30");
  EXPECT_EQ(CVQCAFDateTime(0, 0).GetZoneOffset(), 19800);
}

TEST(DateTime, NotSetGivesFailureText) {
  struct Row {
    i64 n64Seconds;
    u32 un32Ms;
  } aRows[] = {{-1, 0}, {-100000, 5}, {0, 1000}};
  for (const Row& r : aRows) {
    CVQCAFDateTime t(r.n64Seconds, r.un32Ms);
    EXPECT_FALSE(t.IsSet());
    EXPECT_STREQ(t.ToString().c_str(), "Failed to convert time to string.");
  }
}

TEST(DateTime, DateAndTimeTexts) {
  struct Row {
    const char* pszZone;
    i64 n64Seconds;
    u32 un32Ms;
    const char* pszDate;
    const char* pszTime;
  } aRows[] = {
      {"UTC0", 0, 7, "1970-01-01", "00:00:00.007+0000"},
      {"IST-5:30", 0, 999, "1970-01-01", "05:30:00.999+0530"},
      {"NST3:30", 0, 0, "1969-12-31", "20:30:00.000-0330"},
      {"EST5", 86399, 120, "1970-01-01", "18:59:59.120-0500"},
      {"XST0:30", 0, 1, "1969-12-31", "23:30:00.001-0030"},  // sign kept under one hour
      {"YST-0:45", 0, 1, "1970-01-01", "00:45:00.001+0045"},
  };
  for (const Row& r : aRows) {
    ZoneGuard Zone(r.pszZone);
    char acDate[VQCAF_DATETIME_DATE_SIZE] = "unchanged";
    char acTime[VQCAF_DATETIME_TIME_SIZE] = {};
    EXPECT_EQ(CVQCAFDateTime::FormatDateTime(r.n64Seconds, r.un32Ms, acDate, acTime, 1), VQX_RESULT_OK);
    EXPECT_STREQ(acDate, r.pszDate) << r.pszZone;
    EXPECT_STREQ(acTime, r.pszTime) << r.pszZone;
    // Flag 0 leaves the date alone.
    strcpy(acDate, "unchanged");
    EXPECT_EQ(CVQCAFDateTime::FormatDateTime(r.n64Seconds, r.un32Ms, acDate, acTime, 0), VQX_RESULT_OK);
    EXPECT_STREQ(acDate, "unchanged");
  }
}

TEST(DateTime, CurrentTimeAndBadArguments) {
  char acDate[VQCAF_DATETIME_DATE_SIZE];
  char acTime[VQCAF_DATETIME_TIME_SIZE];
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(acDate, acTime, 1), VQX_RESULT_OK);
  EXPECT_TRUE(HasShape(acDate, "9999-99-99")) << acDate;
  EXPECT_TRUE(HasShape(acTime, "99:99:99.999S9999")) << acTime;
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(nullptr, acTime, 0), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(nullptr, acTime, 1), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(CVQCAFDateTime::GetStringDateTime(acDate, nullptr, 1), VQX_RESULT_NULL_PARAM);
  CVQCAFDateTime Now;
  EXPECT_TRUE(Now.IsSet());
  EXPECT_LT(Now.GetMilliseconds(), 1000u);
  EXPECT_LE(std::abs(Now.GetSeconds() - static_cast<i64>(time(nullptr))), 2);
  EXPECT_TRUE(HasShape(Now.ToString().c_str(), "9999-99-99 99:99:99S9999")) << Now.ToString().c_str();
  EXPECT_FALSE(HasShape("2023-1-15", "9999-99-99"));
}
