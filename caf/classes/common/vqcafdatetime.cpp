/*
 * vqcafdatetime.cpp - current time with the local zone, and its texts.
 */
#include "vqcafdatetime.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace VQCAF {

namespace {

constexpr const char* NOT_CONVERTED_TEXT = "Failed to convert time to string.";
constexpr u32 STRFTIME_MAX = 4096u;

bool LocalTime(i64 n64Seconds, struct tm* pTm) {
  time_t t = static_cast<time_t>(n64Seconds);
  return localtime_r(&t, pTm) != nullptr;
}

}  // namespace

CVQCAFDateTime::CVQCAFDateTime() : mn64Seconds(0), mun32Milliseconds(0), mn32ZoneOffset(0), mfSet(0) {
  struct timespec Now;
  struct tm Tm;
  if (clock_gettime(CLOCK_REALTIME, &Now) != 0 || !LocalTime(Now.tv_sec, &Tm)) return;
  mn64Seconds = Now.tv_sec;
  mun32Milliseconds = static_cast<u32>(Now.tv_nsec / 1000000);
  mn32ZoneOffset = static_cast<i32>(Tm.tm_gmtoff);
  mfSet = 1;
}

CVQCAFDateTime::CVQCAFDateTime(i64 n64Seconds, u32 un32Milliseconds)
    : mn64Seconds(0), mun32Milliseconds(0), mn32ZoneOffset(0), mfSet(0) {
  struct tm Tm;
  if (n64Seconds < 0 || un32Milliseconds > 999 || !LocalTime(n64Seconds, &Tm)) return;
  mn64Seconds = n64Seconds;
  mun32Milliseconds = un32Milliseconds;
  mn32ZoneOffset = static_cast<i32>(Tm.tm_gmtoff);
  mfSet = 1;
}

CVQCAFString CVQCAFDateTime::ToString(const char* pszFormat) const {
  if (pszFormat == nullptr) pszFormat = VQCAF_DATETIME_DEFAULT_FORMAT;
  struct tm Tm;
  if (mfSet == 0 || !LocalTime(mn64Seconds, &Tm)) return CVQCAFString(NOT_CONVERTED_TEXT);
  if (pszFormat[0] == '\0') return CVQCAFString();
  /* strftime answers 0 both for "did not fit" and for an empty result: grow
   * the buffer a few times before calling it a failure. */
  for (u32 un32Size = 256; un32Size <= STRFTIME_MAX; un32Size *= 4) {
    char* p = static_cast<char*>(malloc(un32Size));
    if (p == nullptr) break;
    size_t n = strftime(p, un32Size, pszFormat, &Tm);
    if (n != 0) {
      CVQCAFString strResult(p, static_cast<u32>(n));
      free(p);
      return strResult;
    }
    free(p);
  }
  return CVQCAFString(NOT_CONVERTED_TEXT);
}

VQX_RESULT CVQCAFDateTime::GetStringDateTime(char* pszDate, char* pszTime, u32 un32Flag) {
  struct timespec Now;
  if (clock_gettime(CLOCK_REALTIME, &Now) != 0) return VQX_RESULT_FAIL;
  return FormatDateTime(Now.tv_sec, static_cast<u32>(Now.tv_nsec / 1000000), pszDate, pszTime, un32Flag);
}

VQX_RESULT CVQCAFDateTime::FormatDateTime(i64 n64Seconds, u32 un32Milliseconds, char* pszDate, char* pszTime,
                                          u32 un32Flag) {
  if (pszTime == nullptr || (un32Flag == 1 && pszDate == nullptr)) return VQX_RESULT_NULL_PARAM;
  struct tm Tm;
  if (!LocalTime(n64Seconds, &Tm)) return VQX_RESULT_FAIL;
  if (un32Flag == 1 && strftime(pszDate, VQCAF_DATETIME_DATE_SIZE, "%Y-%m-%d", &Tm) == 0) {
    pszDate[0] = '\0';
    return VQX_RESULT_FAIL;
  }
  char acHms[12];
  char acMs[8];
  char acZone[12];
  if (strftime(acHms, sizeof(acHms), "%H:%M:%S", &Tm) == 0) return VQX_RESULT_FAIL;
  snprintf(acMs, sizeof(acMs), "%03u", un32Milliseconds % 1000u);
  long nOffset = Tm.tm_gmtoff;
  int nHours = static_cast<int>(nOffset / 3600);
  int nMinutes = static_cast<int>(labs(nOffset % 3600) / 60);
  /* "%+02.2d%02.2d" (signed hours, absolute minutes): the width is within the
   * precision, so this is the same text as "%+.2d%.2d". Hours alone lose the
   * sign of an offset between -1 h and 0 (-00:30 would read "+0030"): the
   * sign is written from the offset itself then. */
  if (nOffset < 0 && nHours == 0) {
    snprintf(acZone, sizeof(acZone), "-00%.2d", nMinutes % 100);
  } else {
    snprintf(acZone, sizeof(acZone), "%+.2d%.2d", nHours, nMinutes % 100);
  }
  snprintf(pszTime, VQCAF_DATETIME_TIME_SIZE, "%s.%s%s", acHms, acMs, acZone);
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
