// Millisecond clock: backward-step smoothing through an injected time source, and the system source.
#include <gtest/gtest.h>

#include "vqx_clock.h"

namespace {

u64 s_un64Fake = 0;
u64 FakeSource() { return s_un64Fake; }

TEST(Clock, StepRulesOnAnInjectedSource) {
  const struct { const char* pszName; u64 un64Source, un64Expected; } rows[] = {
      {"first reading taken as is", 50000, 50000},        {"forward", 50010, 50010},
      {"same", 50010, 50010},                             {"1 ms back holds", 50009, 50010},
      {"999 ms back holds", 49011, 50010},                {"forward again", 50500, 50500},
      {"1000 ms back is taken", 49500, 49500},            {"then small back from the new base holds", 49000, 49500},
      {"large forward step taken", 10000000, 10000000},   {"large backward step taken", 5, 5},
      {"from there forward", 6, 6},                       {"below 2^32", 0xFFFFFF00ull, 0xFFFFFF00ull},
      // Callers that keep 32-bit times truncate; the clock must not, or a reading past 2^32 would look like a step back.
      {"past 2^32", 0x100000001ull, 0x100000001ull},      {"small back across 2^32 holds", 0xFFFFFE0Dull, 0x100000001ull},
      {"back to 100000", 100000, 100000}};
  VqxClockSetSource(FakeSource);
  for (const auto& row : rows) EXPECT_EQ((s_un64Fake = row.un64Source, VQXGetClock()), row.un64Expected) << row.pszName;
  EXPECT_EQ((VqxClockSetSource(FakeSource), s_un64Fake = 99500, VQXGetClock()), 99500u)
      << "setting the source forgets the last reading: a small step back is taken as it is";
  VqxClockSetSource(nullptr);
  const u64 a = VQXGetClock(), sys = VqxClockReadSystem(), b = VQXGetClock();
  EXPECT_TRUE(0 < a && a <= b && a <= sys + 1 && sys <= b) << a << " " << sys << " " << b;
}

}  // namespace
