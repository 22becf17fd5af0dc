/*
 * vqx_clock.cpp - the process-wide millisecond clock (see vqx_clock.h).
 *
 * The previous result lives in one atomic; each reading is folded into it with
 * a compare-and-swap so that concurrent callers never see the clock step back
 * by less than the tolerance. A previous result of 0 means none yet: any
 * reading is at or after it and is taken as it is.
 */
#include "vqx_clock.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace {

std::atomic<PFN_VQX_CLOCK_SOURCE> s_pFctSource{nullptr};
std::atomic<u64> s_un64Previous{0};

u64 VqxTimespecToMs(const timespec& ts) {
  return static_cast<u64>(ts.tv_sec) * 1000u + static_cast<u64>(ts.tv_nsec) / 1000000u;
}

} // namespace

u64 VqxClockReadSystem(void) {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) return VqxTimespecToMs(ts);
  if (clock_gettime(CLOCK_REALTIME, &ts) == 0) return VqxTimespecToMs(ts);
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<u64>(tv.tv_sec) * 1000u + static_cast<u64>(tv.tv_usec) / 1000u;
}

u64 VQXGetClock(void) {
  const PFN_VQX_CLOCK_SOURCE pFct = s_pFctSource.load(std::memory_order_acquire);
  const u64 un64Now = pFct != nullptr ? pFct() : VqxClockReadSystem();

  u64 un64Prev = s_un64Previous.load(std::memory_order_acquire);
  for (;;) {
    if (un64Now < un64Prev && un64Prev - un64Now < VQX_CLOCK_BACKSTEP_TOLERANCE_MS) {
      return un64Prev; /* small step back: hold the clock still */
    }
    if (s_un64Previous.compare_exchange_weak(un64Prev, un64Now, std::memory_order_acq_rel)) {
      return un64Now;
    }
  }
}

void VqxClockSetSource(PFN_VQX_CLOCK_SOURCE pFctSource) {
  s_pFctSource.store(pFctSource, std::memory_order_release);
  s_un64Previous.store(0, std::memory_order_release);
}
