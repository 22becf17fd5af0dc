/*
 * sigtrace_clock.h - where the trace groups take the time of their records.
 *
 * The wall clock is the default; tests hand a group a fixed clock so that
 * time stamps, prefix lines and file headers are reproducible. The time is
 * UTC seconds and microseconds plus the local zone offset at that time, so
 * that local dates are formatted without depending on the process's zone.
 */
#ifndef SIGTRACE_CLOCK_H
#define SIGTRACE_CLOCK_H

#include <string_view>

#include "vqx_types.h"

namespace VQCAF {

struct SVQSigTraceTime {
  i64 n64Seconds = 0;        /* since 1970, UTC */
  u32 un32Microseconds = 0;
  i32 n32ZoneOffset = 0;     /* seconds east of UTC */
};

class IVQSigTraceClock {
 public:
  virtual ~IVQSigTraceClock() = default;
  virtual SVQSigTraceTime Now() const = 0;
};

/* The wall clock (gettimeofday and the local zone). */
const IVQSigTraceClock& VqSigTraceWallClock();

/* A clock that always answers the time it holds. */
class CVQSigTraceFixedClock : public IVQSigTraceClock {
 public:
  explicit CVQSigTraceFixedClock(SVQSigTraceTime t) : mTime(t) {}
  SVQSigTraceTime Now() const override { return mTime; }
  void Set(SVQSigTraceTime t) { mTime = t; }

 private:
  SVQSigTraceTime mTime;
};

/* Local date "%Y-%m-%d", time of day "%H:%M:%S.mmm+hhmm", and the file
 * header's "%Y-%m-%d %H:%M:%S%z" of a time, into buffers of this size. */
constexpr u32 kun32TimeTextSize = 64;
void VqSigTraceFormatDate(const SVQSigTraceTime& t, char* pszOut);
void VqSigTraceFormatTimeOfDay(const SVQSigTraceTime& t, char* pszOut);
void VqSigTraceFormatCreation(const SVQSigTraceTime& t, char* pszOut);

/* The stamp of a text record, "<date>_<time of day>" as the two functions
 * above write them. Records of a burst share their second: the text is
 * formatted once per second and zone offset, and per record only the three
 * digits of the milliseconds are put in place. One per writer, not shared
 * between threads. */
class CVQSigTraceStampText {
 public:
  /* The stamp of t, valid until the next call. */
  std::string_view Stamp(const SVQSigTraceTime& t);
  /* Its time of day alone. */
  std::string_view TimeOfDay(const SVQSigTraceTime& t) { return Stamp(t).substr(mun32DateLength + 1); }

 private:
  i64 mn64Second = 0;
  i32 mn32ZoneOffset = 0;
  bool mfValid = false;
  u32 mun32DateLength = 0;
  u32 mun32Length = 0;
  char macText[2 * kun32TimeTextSize];
};

}  // namespace VQCAF

#endif
