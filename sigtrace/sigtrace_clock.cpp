/*
 * sigtrace_clock.cpp - the wall clock of the trace groups and the date and
 * time texts of their records.
 */
#include "sigtrace_clock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace VQCAF {
namespace {

class CWallClock : public IVQSigTraceClock {
 public:
  SVQSigTraceTime Now() const override {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    SVQSigTraceTime t;
    t.n64Seconds = tv.tv_sec;
    t.un32Microseconds = static_cast<u32>(tv.tv_usec);
    /* The zone offset changes at most a few times a year: look it up once
     * per second, not once per record. */
    thread_local i64 s_n64LastSecond = -1;
    thread_local i32 s_n32LastOffset = 0;
    if (tv.tv_sec != s_n64LastSecond) {
      struct tm local {};
      const time_t sec = tv.tv_sec;
      localtime_r(&sec, &local);
      s_n32LastOffset = static_cast<i32>(local.tm_gmtoff);
      s_n64LastSecond = tv.tv_sec;
    }
    t.n32ZoneOffset = s_n32LastOffset;
    return t;
  }
};

struct tm LocalParts(const SVQSigTraceTime& t) {
  struct tm parts {};
  const time_t sec = static_cast<time_t>(t.n64Seconds + t.n32ZoneOffset);
  gmtime_r(&sec, &parts);
  return parts;
}

}  // namespace

const IVQSigTraceClock& VqSigTraceWallClock() {
  static const CWallClock s_Clock;
  return s_Clock;
}

void VqSigTraceFormatDate(const SVQSigTraceTime& t, char* pszOut) {
  const struct tm p = LocalParts(t);
  snprintf(pszOut, kun32TimeTextSize, "%04d-%02d-%02d", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday);
}

void VqSigTraceFormatTimeOfDay(const SVQSigTraceTime& t, char* pszOut) {
  const struct tm p = LocalParts(t);
  /* The sign is the offset's own: a zone less than an hour west of UTC is
   * "-00mm", as in the file header. */
  const i64 n64Abs = std::abs(static_cast<i64>(t.n32ZoneOffset));
  snprintf(pszOut, kun32TimeTextSize, "%02d:%02d:%02d.%03u%c%02d%02d", p.tm_hour, p.tm_min, p.tm_sec, t.un32Microseconds / 1000u,
           t.n32ZoneOffset < 0 ? '-' : '+', static_cast<int>(n64Abs / 3600), static_cast<int>(n64Abs / 60 % 60));
}

void VqSigTraceFormatCreation(const SVQSigTraceTime& t, char* pszOut) {
  const struct tm p = LocalParts(t);
  const int nOffset = t.n32ZoneOffset / 60;
  const int nAbs = std::abs(nOffset);
  snprintf(pszOut, kun32TimeTextSize, "%04d-%02d-%02d %02d:%02d:%02d%c%02d%02d", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday, p.tm_hour,
           p.tm_min, p.tm_sec, nOffset < 0 ? '-' : '+', nAbs / 60, nAbs % 60);
}

std::string_view CVQSigTraceStampText::Stamp(const SVQSigTraceTime& t) {
  /* "HH:MM:SS." comes before the milliseconds in the time of day. */
  constexpr u32 kun32MillisecondsAt = 9;
  const u32 un32Ms = t.un32Microseconds / 1000u;
  const bool fSameSecond = mfValid && t.n64Seconds == mn64Second && t.n32ZoneOffset == mn32ZoneOffset;
  if (!fSameSecond || un32Ms > 999) {
    VqSigTraceFormatDate(t, macText);
    mun32DateLength = static_cast<u32>(strlen(macText));
    macText[mun32DateLength] = '_';
    VqSigTraceFormatTimeOfDay(t, macText + mun32DateLength + 1);
    mun32Length = mun32DateLength + 1 + static_cast<u32>(strlen(macText + mun32DateLength + 1));
    /* An out-of-range microsecond count (a test clock) prints as it is and is not kept. */
    mfValid = un32Ms <= 999;
    mn64Second = t.n64Seconds;
    mn32ZoneOffset = t.n32ZoneOffset;
    return {macText, mun32Length};
  }
  char* p = macText + mun32DateLength + 1 + kun32MillisecondsAt;
  p[0] = static_cast<char>('0' + un32Ms / 100);
  p[1] = static_cast<char>('0' + un32Ms / 10 % 10);
  p[2] = static_cast<char>('0' + un32Ms % 10);
  return {macText, mun32Length};
}

}  // namespace VQCAF
