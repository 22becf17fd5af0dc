/*
 * vqcafdatetime.h - a point in time with the local time-zone offset, and the
 * date and time texts of log lines and trace records.
 */
#ifndef VQCAFDATETIME_H
#define VQCAFDATETIME_H

#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* Sizes the GetStringDateTime buffers must have (terminator included):
 * "YYYY-MM-DD" and "HH:MM:SS.mmm+hhmm" with room for wide years/offsets. */
constexpr u32 VQCAF_DATETIME_DATE_SIZE = 32u;
constexpr u32 VQCAF_DATETIME_TIME_SIZE = 32u;

/* The default ToString format. */
constexpr const char* VQCAF_DATETIME_DEFAULT_FORMAT = "%Y-%m-%d %H:%M:%S%z";

class CVQCAFDateTime {
 public:
  /* The current time and the current local time-zone offset. */
  CVQCAFDateTime();
  /* A given time: seconds since 1970 (UTC) and milliseconds; a negative
   * n64Seconds leaves the date-time not set. */
  CVQCAFDateTime(i64 n64Seconds, u32 un32Milliseconds);

  bool IsSet() const { return mfSet != 0; }
  i64 GetSeconds() const { return mn64Seconds; }
  u32 GetMilliseconds() const { return mun32Milliseconds; }
  /* Offset of local time from UTC, in seconds east, at the held time. */
  i32 GetZoneOffset() const { return mn32ZoneOffset; }

  /*
   * strftime of the held time in local time with pszFormat (null:
   * "%Y-%m-%d %H:%M:%S%z"); "Failed to convert time to string." when the
   * time is not set or cannot be converted.
   */
  CVQCAFString ToString(const char* pszFormat = nullptr) const;

  /*
   * Reads the current time and local zone. With un32Flag 1 writes the date
   * "%Y-%m-%d" into pszDate; always writes "HH:MM:SS.mmm+hhmm" ("%H:%M:%S",
   * the milliseconds "%03u", the offset "%+02.2d%02.2d": signed hours, then
   * absolute minutes) into pszTime. Each buffer must hold
   * VQCAF_DATETIME_..._SIZE bytes; nothing longer is written. Returns
   * 0x02000000; 0x82000009 for a null pszTime (or null pszDate with flag 1);
   * 0x82000001 when the clock or the zone cannot be read.
   */
  static VQX_RESULT GetStringDateTime(char* pszDate, char* pszTime, u32 un32Flag);

  /* As GetStringDateTime, for a given time (seconds since 1970, ms). */
  static VQX_RESULT FormatDateTime(i64 n64Seconds, u32 un32Milliseconds, char* pszDate, char* pszTime,
                                   u32 un32Flag);

 private:
  i64 mn64Seconds;
  u32 mun32Milliseconds;
  i32 mn32ZoneOffset;
  u32 mfSet;
};

}  // namespace VQCAF

#endif
