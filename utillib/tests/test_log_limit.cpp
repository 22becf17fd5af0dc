// Log limit: one line per kind a period, the lines left out counted for the next one or told on their own once
// the period is over, a clock set back; the left-out text.
#include <gtest/gtest.h>

#include "vqx_log_limit.h"

namespace {

TEST(LogLimit, OneLineAPeriodAndTheCountOfThoseLeftOut) {
  enum Op { kAllow, kTakeDue };
  const struct { const char* pszName; Op eOp; u64 un64Now; bool fAllowed; u32 un32Told, un32Held; } rows[] = {
      {"first line logged", kAllow, 5000, true, 0, 0},
      {"same ms: counted", kAllow, 5000, false, 0, 1},
      {"999 ms on: counted", kAllow, 5999, false, 0, 2},
      {"nothing due within the period", kTakeDue, 5999, false, 0, 2},
      {"1000 ms on: logged, 2 told", kAllow, 6000, true, 2, 0},
      {"counted", kAllow, 6500, false, 0, 1},
      {"due on its own once over", kTakeDue, 7000, true, 1, 0},
      {"a due count starts a period", kAllow, 7999, false, 0, 1},
      {"a clock set back ends the period", kAllow, 100, true, 1, 0},
      {"nothing held: nothing due", kTakeDue, 99999, false, 0, 0},
  };
  CVqxLogLimit limit;
  for (const auto& r : rows) {
    u32 un32Told = 0;
    const bool fAllowed = r.eOp == kAllow ? limit.Allow(r.un64Now, un32Told) : (un32Told = limit.TakeDue(r.un64Now)) != 0;
    EXPECT_EQ(fAllowed, r.fAllowed) << r.pszName;
    EXPECT_EQ(un32Told, r.un32Told) << r.pszName;
    EXPECT_EQ(limit.LeftOut(), r.un32Held) << r.pszName;
  }
  char sz[64];
  EXPECT_STREQ(VqxLogLimitLeftOutText(0, sz, sizeof(sz)), "");
  EXPECT_STREQ(VqxLogLimitLeftOutText(4294967295u, sz, sizeof(sz)), " (4294967295 similar line(s) left out)");
}

}  // namespace
