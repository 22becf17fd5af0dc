// Millisecond clock: backward-step smoothing through an injected time source.
#include <gtest/gtest.h>

#include "vqx_clock.h"

namespace {

u64 s_un64Fake = 0;
u64 FakeSource() { return s_un64Fake; }

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s_un64Fake = 0;
    VqxClockSetSource(FakeSource);
  }
  void TearDown() override { VqxClockSetSource(nullptr); }
};

TEST_F(ClockTest, StepRules) {
  struct Row {
    const char* pszName;
    u64 un64Source;
    u64 un64Expected;
  };
  const Row rows[] = {
      {"first reading taken as is", 50000, 50000},
      {"forward", 50010, 50010},
      {"same", 50010, 50010},
      {"1 ms back holds", 50009, 50010},
      {"999 ms back holds", 49011, 50010},
      {"forward again", 50500, 50500},
      {"1000 ms back is taken", 49500, 49500},
      {"then small back from the new base holds", 49000, 49500},
      {"large forward step taken", 10000000, 10000000},
      {"large backward step taken", 5, 5},
      {"from there forward", 6, 6},
  };
  for (const auto& row : rows) {
    s_un64Fake = row.un64Source;
    EXPECT_EQ(VQXGetClock(), row.un64Expected) << row.pszName;
  }
}

TEST_F(ClockTest, SetSourceForgetsPreviousReading) {
  s_un64Fake = 100000;
  EXPECT_EQ(VQXGetClock(), 100000u);
  VqxClockSetSource(FakeSource);
  s_un64Fake = 99500;  // would hold at 100000 without the reset
  EXPECT_EQ(VQXGetClock(), 99500u);
}

TEST_F(ClockTest, KeepsAll64BitsAcrossTheThirtyTwoBitWrap) {
  // Callers that keep 32-bit times truncate; the clock itself must not, or a
  // reading past 2^32 would look like a huge step back.
  s_un64Fake = 0xFFFFFF00ull;
  EXPECT_EQ(VQXGetClock(), 0xFFFFFF00ull);
  s_un64Fake = 0x100000001ull;
  EXPECT_EQ(VQXGetClock(), 0x100000001ull);
  s_un64Fake = 0x100000001ull - 500;  // small step back across the wrap: held
  EXPECT_EQ(VQXGetClock(), 0x100000001ull);
}

TEST(SystemClock, MonotonicAndMatchesSystemSource) {
  VqxClockSetSource(nullptr);
  const u64 a = VQXGetClock();
  const u64 sys = VqxClockReadSystem();
  const u64 b = VQXGetClock();
  EXPECT_LE(a, b);
  EXPECT_LE(a, sys + 1);
  EXPECT_LE(sys, b);
  EXPECT_GT(a, 0u);
}

} // namespace
