/* Wall-clock milliseconds for the console tools' callers. */
#include "vqx_clitools_time.h"

#include <sys/time.h>

u64 VqxCliToolsGetTimestampMs(void) {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  return static_cast<u64>(tv.tv_sec) * 1000u + static_cast<u64>(tv.tv_usec) / 1000u;
}
