/*
 * sigtrace_clock.cpp - the wall clock of the trace groups and the date and
 * time texts of their records.
 */
#include "sigtrace_clock.h"

#include <cstdio>
#include <cstdlib>
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
  const int nHours = t.n32ZoneOffset / 3600;
  const int nMinutes = std::abs(t.n32ZoneOffset / 60) % 60;
  snprintf(pszOut, kun32TimeTextSize, "%02d:%02d:%02d.%03u%+.2d%.2d", p.tm_hour, p.tm_min, p.tm_sec, t.un32Microseconds / 1000u,
           nHours, nMinutes);
}

void VqSigTraceFormatCreation(const SVQSigTraceTime& t, char* pszOut) {
  const struct tm p = LocalParts(t);
  const int nOffset = t.n32ZoneOffset / 60;
  const int nAbs = std::abs(nOffset);
  snprintf(pszOut, kun32TimeTextSize, "%04d-%02d-%02d %02d:%02d:%02d%c%02d%02d", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday, p.tm_hour,
           p.tm_min, p.tm_sec, nOffset < 0 ? '-' : '+', nAbs / 60, nAbs % 60);
}

}  // namespace VQCAF
