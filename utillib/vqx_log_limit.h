/*
 * vqx_log_limit.h - one repeated log line kept to once a period: a stream of
 * bad message headers, a peer refused at each of its advertisements, a full
 * disk. A line that comes within the period of the last one logged is counted
 * instead; the count goes with the next line logged (VqxLogLimitLeftOutText),
 * or on its own once the period is over (TakeDue, from the owner's periodic
 * pass), so that a flood of bad input neither floods the log nor goes unsaid.
 * The owner keeps one limit per kind of line.
 *
 * Times are the owner's clock in milliseconds (VQXGetClock, injectable in
 * tests). Not thread-safe: the owner's lock serialises all calls.
 */
#ifndef VQX_LOG_LIMIT_H
#define VQX_LOG_LIMIT_H

#include "vqx_string.h"
#include "vqx_types.h"

class CVqxLogLimit {
 public:
  static constexpr u64 kun64PeriodMs = 1000;

  /* True when the line may be logged now, un32LeftOut then holding the
   * lines counted since the last one logged; false when it is counted. */
  bool Allow(u64 un64NowMs, u32& un32LeftOut) {
    if (mfLogged && !Over(un64NowMs)) {
      ++mun32LeftOut;
      return false;
    }
    un32LeftOut = mun32LeftOut;
    mun32LeftOut = 0;
    mfLogged = true;
    mun64LastMs = un64NowMs;
    return true;
  }
  /* Lines counted whose period is over: their number, logged by the caller
   * as one line now (which starts a new period); 0 otherwise. */
  u32 TakeDue(u64 un64NowMs) {
    if (mun32LeftOut == 0 || !Over(un64NowMs)) return 0;
    u32 un32LeftOut = 0;
    Allow(un64NowMs, un32LeftOut);
    return un32LeftOut;
  }
  u32 LeftOut() const { return mun32LeftOut; }

 private:
  /* A clock set back counts as a period over. */
  bool Over(u64 un64NowMs) const { return un64NowMs < mun64LastMs || un64NowMs - mun64LastMs >= kun64PeriodMs; }

  u64 mun64LastMs = 0;
  bool mfLogged = false;
  u32 mun32LeftOut = 0;
};

/* The end of a line that carries a count: " (N similar line(s) left out)",
 * or "" for 0; in pszDest of size bytes, which it returns. */
inline const char* VqxLogLimitLeftOutText(u32 un32LeftOut, char* pszDest, size_t size) {
  if (un32LeftOut == 0) {
    if (size != 0) pszDest[0] = '\0';
    return pszDest;
  }
  Snprintf(pszDest, size, " (%u similar line(s) left out)", un32LeftOut);
  return pszDest;
}

#endif
