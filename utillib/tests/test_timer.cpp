// Timing wheel: argument checks, exact codes, rounding to the resolution,
// the u32 millisecond wrap, two-step polling, the usage flag, growth to the
// limit, and a randomised run against a simple model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "vqx_timer.h"
#include "vqx_timer_internal.h"

namespace {

struct TimerDeleter {
  void operator()(VQX_TIMER* t) const { EXPECT_EQ(VQXTimerDestroy(t), VQX_RESULT_OK); }
};
using TimerPtr = std::unique_ptr<VQX_TIMER, TimerDeleter>;

struct Rec {
  u32 un32Id;
  u8 byPad[3];
  u8 fArmed;  // the wheel's usage flag (offset 7)
  u64 un64Due;
  u64 un64OrderKey;
};
constexpr u32 kFlagOffset = 7;
static_assert(offsetof(Rec, fArmed) == kFlagOffset, "usage flag offset used by the tests");

// Polls once: count first, then all of them.
std::vector<Rec*> PollAll(VQX_TIMER* t, u32 un32Now) {
  u32 un32Count = 0;
  EXPECT_EQ(VQXTimerPoll(t, un32Now, &un32Count, nullptr), VQX_RESULT_OK);
  std::vector<void*> v(un32Count + 1);
  u32 un32Got = un32Count;
  EXPECT_EQ(VQXTimerPoll(t, un32Now, &un32Got, v.data()), VQX_RESULT_OK);
  EXPECT_EQ(un32Got, un32Count);
  std::vector<Rec*> out;
  for (u32 i = 0; i < un32Got; ++i) out.push_back(static_cast<Rec*>(v[i]));
  return out;
}

TEST(TimerCreate, ArgumentTable) {
  struct Row {
    const char* pszName;
    u32 cap, res;
    i32 maxDelay;
    bool fCreated;
    u32 un32Capacity;
  };
  const Row aRows[] = {
      {"growable", 0, 1, 1000, true, 64},
      {"fixed", 10, 1, 1000, true, 10},
      {"at the capacity limit", 0x100000, 5, 0x7FFFFFFF, true, 0x100000},
      {"above the capacity limit", 0x100001, 1, 1000, false, 0},
      {"zero resolution", 0, 0, 1000, false, 0},
      {"zero maximum delay", 0, 1, 0, false, 0},
      {"negative maximum delay", 0, 1, -5, false, 0},
  };
  for (const Row& r : aRows) {
    TimerPtr t(VQXTimerCreate(r.cap, r.res, r.maxDelay, 123));
    EXPECT_EQ(t != nullptr, r.fCreated) << r.pszName;
    if (!t) continue;
    VQX_TIMER_STATS s{};
    ASSERT_EQ(VqxTimerGetStats(t.get(), &s), VQX_RESULT_OK);
    EXPECT_EQ(s.un32Capacity, r.un32Capacity) << r.pszName;
    EXPECT_EQ(s.un64NowMs, 123u) << r.pszName;
  }
}

TEST(TimerCodes, ExactResults) {
  TimerPtr t(VQXTimerCreate(0, 1, 1000, 0));
  ASSERT_TRUE(t);
  Rec a{}, b{};
  u32 un32Count = 0;
  EXPECT_EQ(VQXTimerInsert(nullptr, 5, &a), 0x82000009u);
  EXPECT_EQ(VQXTimerInsert(t.get(), 5, nullptr), 0x82000009u);
  EXPECT_EQ(VQXTimerInsertNormalized(t.get(), 5, &a, 1), 0x8200000Au) << "flag is reserved";
  EXPECT_EQ(VQXTimerInsert(t.get(), 1001, &a), 0x8200000Au) << "beyond the maximum delay";
  EXPECT_EQ(VQXTimerInsert(t.get(), 1000, &a), VQX_RESULT_OK) << "at the maximum delay";
  EXPECT_EQ(VQXTimerInsert(t.get(), 7, &a), 0x82000005u) << "armed twice";
  EXPECT_EQ(VQXTimerRemove(t.get(), &b), 0x82000015u) << "never armed";
  EXPECT_EQ(VQXTimerRemove(t.get(), &a), VQX_RESULT_OK);
  EXPECT_EQ(VQXTimerRemove(t.get(), &a), 0x82000015u) << "removed twice";
  EXPECT_EQ(VQXTimerRemove(nullptr, &a), 0x82000009u);
  EXPECT_EQ(VQXTimerRemove(t.get(), nullptr), 0x82000009u);
  EXPECT_EQ(VQXTimerPoll(nullptr, 1, &un32Count, nullptr), 0x82000009u);
  EXPECT_EQ(VQXTimerPoll(t.get(), 1, nullptr, nullptr), 0x82000009u);
  EXPECT_EQ(VQXTimerSetUsageFlagOffset(nullptr, 0), 0x82000009u);
  EXPECT_EQ(VQXTimerDestroy(nullptr), 0x82000009u);
  EXPECT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
}

TEST(TimerExpiry, RoundedUpToTheResolutionNeverEarly) {
  struct Row {
    const char* pszName;
    u32 res, start, dueOffset;
    u32 un32FirstFiringOffset;  // first poll offset (polling every ms) that returns it
  };
  const Row aRows[] = {
      {"1 ms resolution, exact", 1, 1000, 37, 37},
      {"due on a tick", 10, 1000, 20, 20},
      {"due between ticks waits for the next", 10, 1000, 15, 20},
      {"start off the tick grid", 10, 1003, 5, 7},
      {"due now fires at the next poll", 10, 1000, 0, 0},
      {"coarse resolution, far", 100, 5, 1234, 1295},
      {"across the u32 wrap", 10, 0xFFFFFFF0u, 0x25, 0x28},
  };
  for (const Row& r : aRows) {
    TimerPtr t(VQXTimerCreate(0, r.res, 100000, r.start));
    ASSERT_TRUE(t) << r.pszName;
    Rec a{};
    ASSERT_EQ(VQXTimerInsert(t.get(), r.start + r.dueOffset, &a), VQX_RESULT_OK) << r.pszName;
    u32 un32Fired = 0xFFFFFFFFu;
    for (u32 dt = 0; dt <= r.dueOffset + 2 * r.res + 1 && un32Fired == 0xFFFFFFFFu; ++dt) {
      const std::vector<Rec*> v = PollAll(t.get(), r.start + dt);
      if (!v.empty()) {
        EXPECT_EQ(v.size(), 1u) << r.pszName;
        EXPECT_EQ(v[0], &a) << r.pszName;
        un32Fired = dt;
      }
    }
    EXPECT_EQ(un32Fired, r.un32FirstFiringOffset) << r.pszName;
    EXPECT_GE(un32Fired, r.dueOffset) << r.pszName << ": never early";
  }
}

TEST(TimerExpiry, OrderOfDueTimesAcrossLevels) {
  TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, 0));
  ASSERT_TRUE(t);
  // Delays that land on every level, inserted out of order.
  const u32 aDelays[] = {70000, 3, 300, 16777300, 255, 256, 65536, 65535, 1, 100000000, 257};
  std::vector<Rec> aRec(std::size(aDelays));
  for (size_t i = 0; i < aRec.size(); ++i) {
    aRec[i].un64Due = aDelays[i];
    ASSERT_EQ(VQXTimerInsert(t.get(), aDelays[i], &aRec[i]), VQX_RESULT_OK);
  }
  ASSERT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
  // One big step hands everything out, in due order.
  std::vector<Rec*> v = PollAll(t.get(), 100000000);
  ASSERT_EQ(v.size(), aRec.size());
  for (size_t i = 1; i < v.size(); ++i) EXPECT_LE(v[i - 1]->un64Due, v[i]->un64Due) << i;
  EXPECT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
}

TEST(TimerWrap, DueTimesAcrossTwoToThe32) {
  struct Row {
    u32 start;
    u32 delay;
  };
  const Row aRows[] = {{0xFFFFFF00u, 0x110}, {0xFFFFFFFFu, 1}, {0xFFFFFFFFu, 0x7FFFFFFF}, {0x7FFFFFFFu, 0x80000001u - 2},
                       {0x80000000u, 0x7FFFFFFF}, {0xFFFF0000u, 0x10000}, {0, 0x7FFFFFFF}};
  for (const Row& r : aRows) {
    TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, r.start));
    ASSERT_TRUE(t);
    Rec a{};
    const u32 un32Due = r.start + r.delay;  // wraps in u32
    ASSERT_EQ(VQXTimerInsert(t.get(), un32Due, &a), VQX_RESULT_OK) << std::hex << r.start;
    // Approach in steps below 2^31, then the millisecond before, then the due time.
    u32 un32Now = r.start;
    while (un32Due - un32Now > 0x40000000u) {
      un32Now += 0x40000000u;
      EXPECT_TRUE(PollAll(t.get(), un32Now).empty()) << std::hex << r.start;
    }
    EXPECT_TRUE(PollAll(t.get(), un32Due - 1).empty()) << std::hex << r.start;
    const std::vector<Rec*> v = PollAll(t.get(), un32Due);
    ASSERT_EQ(v.size(), 1u) << std::hex << r.start;
    EXPECT_EQ(v[0], &a);
    EXPECT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
  }
}

TEST(TimerWrap, PeriodicTimerKeepsItsPeriodThroughSeveralWraps) {
  // A 0x30000000 ms period re-armed at each expiry crosses 2^32 several times.
  TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, 0xF0000000u));
  ASSERT_TRUE(t);
  constexpr u32 kPeriod = 0x30000000u;
  Rec a{};
  u32 un32Due = 0xF0000000u + kPeriod;
  ASSERT_EQ(VQXTimerInsert(t.get(), un32Due, &a), VQX_RESULT_OK);
  for (int n = 0; n < 20; ++n) {
    EXPECT_TRUE(PollAll(t.get(), un32Due - 1).empty()) << n;
    ASSERT_EQ(PollAll(t.get(), un32Due).size(), 1u) << n;
    un32Due += kPeriod;
    ASSERT_EQ(VQXTimerInsert(t.get(), un32Due, &a), VQX_RESULT_OK);
  }
  EXPECT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
}

TEST(TimerPoll, TimeGoingBackwardsDoesNotMoveTheWheel) {
  TimerPtr t(VQXTimerCreate(0, 1, 100000, 5000));
  ASSERT_TRUE(t);
  Rec a{};
  ASSERT_EQ(VQXTimerInsert(t.get(), 5100, &a), VQX_RESULT_OK);
  EXPECT_TRUE(PollAll(t.get(), 4000).empty());
  VQX_TIMER_STATS s{};
  ASSERT_EQ(VqxTimerGetStats(t.get(), &s), VQX_RESULT_OK);
  EXPECT_EQ(s.un64NowMs, 5000u);
  EXPECT_EQ(PollAll(t.get(), 5100).size(), 1u);
}

TEST(TimerPoll, CountModeLeavesRecordsArmedFillModeHandsThemOut) {
  TimerPtr t(VQXTimerCreate(0, 1, 100000, 0));
  ASSERT_TRUE(t);
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), VQX_RESULT_OK);
  std::vector<Rec> r(6);
  for (u32 i = 0; i < 6; ++i) {
    r[i].un32Id = i;
    ASSERT_EQ(VQXTimerInsert(t.get(), 10 + i, &r[i]), VQX_RESULT_OK);
    EXPECT_EQ(r[i].fArmed, 1) << "flag set when armed";
  }
  u32 un32Count = 0;
  ASSERT_EQ(VQXTimerPoll(t.get(), 14, &un32Count, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 5u);
  ASSERT_EQ(VQXTimerPoll(t.get(), 14, &un32Count, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 5u) << "counting consumes nothing";
  EXPECT_EQ(r[2].fArmed, 1) << "expired, not handed out: still armed";
  EXPECT_EQ(VQXTimerRemove(t.get(), &r[2]), VQX_RESULT_OK) << "an expired record can still be removed";
  EXPECT_EQ(r[2].fArmed, 0);

  void* ap[8] = {};
  un32Count = 2;
  ASSERT_EQ(VQXTimerPoll(t.get(), 14, &un32Count, ap), VQX_RESULT_OK);
  ASSERT_EQ(un32Count, 2u);
  EXPECT_EQ(ap[0], &r[0]);
  EXPECT_EQ(ap[1], &r[1]);
  EXPECT_EQ(ap[2], nullptr) << "nothing written beyond the count";
  EXPECT_EQ(r[0].fArmed, 0) << "handed out: disarmed";
  EXPECT_EQ(VQXTimerRemove(t.get(), &r[0]), 0x82000015u);
  ASSERT_EQ(VQXTimerPoll(t.get(), 14, &un32Count, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 2u);
  un32Count = 8;
  ASSERT_EQ(VQXTimerPoll(t.get(), 14, &un32Count, ap), VQX_RESULT_OK);
  ASSERT_EQ(un32Count, 2u);
  EXPECT_EQ(ap[0], &r[3]);
  EXPECT_EQ(ap[1], &r[4]);
  un32Count = 8;
  ASSERT_EQ(VQXTimerPoll(t.get(), 14, &un32Count, ap), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 0u);
  EXPECT_EQ(r[5].fArmed, 1) << "not yet due";
  un32Count = 0;
  ASSERT_EQ(VQXTimerPoll(t.get(), 15, &un32Count, ap), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 0u) << "fill mode with room for none writes none";
  EXPECT_EQ(r[5].fArmed, 1);
  EXPECT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
  // A record handed out can be armed again at once.
  EXPECT_EQ(VQXTimerInsert(t.get(), 20, &r[0]), VQX_RESULT_OK);
}

TEST(TimerPoll, PartialDrainsKeepOrderThroughRemovalsAndCompaction) {
  // 5000 records expire at once; the caller takes 7 at a time, removes every
  // 5th expired record before it is handed out, and arms new ones meanwhile.
  TimerPtr t(VQXTimerCreate(0, 1, 100000, 0));
  ASSERT_TRUE(t);
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), VQX_RESULT_OK);
  constexpr u32 kNb = 5000;
  std::vector<Rec> r(kNb + 2000);
  for (u32 i = 0; i < kNb; ++i) {
    r[i].un32Id = i;
    ASSERT_EQ(VQXTimerInsert(t.get(), 1 + i % 50, &r[i]), VQX_RESULT_OK);
  }
  for (u32 i = 0; i < kNb; i += 5) {
    if (i % 10 == 0) continue;  // removed later, after some polls
    ASSERT_EQ(VQXTimerRemove(t.get(), &r[i]), VQX_RESULT_OK);
  }
  u32 un32Count = 0;
  ASSERT_EQ(VQXTimerPoll(t.get(), 100, &un32Count, nullptr), VQX_RESULT_OK);
  ASSERT_EQ(un32Count, kNb - kNb / 10);
  std::vector<u32> got;
  u32 un32Extra = kNb;
  for (int n = 0; n < 10000 && got.size() < kNb - kNb / 5 + 1000; ++n) {
    void* ap[7];
    u32 c = 7;
    ASSERT_EQ(VQXTimerPoll(t.get(), 100 + n / 100, &c, ap), VQX_RESULT_OK);
    for (u32 k = 0; k < c; ++k) {
      got.push_back(static_cast<Rec*>(ap[k])->un32Id);
      ASSERT_EQ(static_cast<Rec*>(ap[k])->fArmed, 0);
    }
    if (n == 20) {
      for (u32 i = 0; i < kNb; i += 10) {
        const VQX_RESULT res = VQXTimerRemove(t.get(), &r[i]);
        const bool fHandedOut = std::find(got.begin(), got.end(), i) != got.end();
        ASSERT_EQ(res, fHandedOut ? 0x82000015u : VQX_RESULT_OK) << i;
      }
    }
    if (n % 3 == 0 && un32Extra < r.size()) {
      r[un32Extra].un32Id = un32Extra;
      ASSERT_EQ(VQXTimerInsert(t.get(), 0, &r[un32Extra]), VQX_RESULT_OK) << "already due";
      ++un32Extra;
    }
    if (n % 200 == 0) {
      ASSERT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK) << n;
    }
  }
  // The first 5000 come out in id order (they expired in that order within
  // each tick and ticks 1..50 in order), minus the removed ones.
  std::vector<u32> original, extra;
  for (u32 id : got) (id < kNb ? original : extra).push_back(id);
  std::vector<u32> expected;
  for (u32 tick = 1; tick <= 50; ++tick)
    for (u32 i = tick - 1; i < kNb; i += 50)
      if (i % 5 != 0 || std::find(original.begin(), original.end(), i) != original.end()) expected.push_back(i);
  EXPECT_EQ(original, expected);
  for (u32 i = 0; i < kNb; i += 10) {
    EXPECT_EQ(r[i].fArmed, 0);
  }
  EXPECT_EQ(extra.size(), un32Extra - kNb) << "every record armed later handed out once";
  EXPECT_TRUE(std::is_sorted(extra.begin(), extra.end()));
  VQX_TIMER_STATS s{};
  ASSERT_EQ(VqxTimerGetStats(t.get(), &s), VQX_RESULT_OK);
  EXPECT_EQ(s.un32NbArmed, 0u);
  EXPECT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
}

TEST(TimerCapacity, FixedWheelRefusesWhenFull) {
  TimerPtr t(VQXTimerCreate(10, 1, 1000, 0));
  ASSERT_TRUE(t);
  std::vector<Rec> r(11);
  for (u32 i = 0; i < 10; ++i) ASSERT_EQ(VQXTimerInsert(t.get(), 100, &r[i]), VQX_RESULT_OK);
  EXPECT_EQ(VQXTimerInsert(t.get(), 100, &r[10]), 0x82000008u);
  ASSERT_EQ(VQXTimerRemove(t.get(), &r[4]), VQX_RESULT_OK);
  EXPECT_EQ(VQXTimerInsert(t.get(), 100, &r[10]), VQX_RESULT_OK);
  EXPECT_EQ(PollAll(t.get(), 100).size(), 10u);
}

TEST(TimerCapacity, GrowableWheelDoublesToTheLimitThenRefuses) {
  TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, 0));
  ASSERT_TRUE(t);
  std::vector<Rec> r(VQX_TIMER_MAX_CAPACITY + 1);
  std::vector<u32> aCapacities;
  VQX_TIMER_STATS s{};
  for (u32 i = 0; i < VQX_TIMER_MAX_CAPACITY; ++i) {
    ASSERT_EQ(VQXTimerInsert(t.get(), 1 + (i * 7919u) % 5000000u, &r[i]), VQX_RESULT_OK) << i;
    ASSERT_EQ(VqxTimerGetStats(t.get(), &s), VQX_RESULT_OK);
    if (aCapacities.empty() || aCapacities.back() != s.un32Capacity) aCapacities.push_back(s.un32Capacity);
  }
  ASSERT_EQ(aCapacities.size(), 15u);  // 64 .. 0x100000
  for (size_t i = 0; i < aCapacities.size(); ++i) EXPECT_EQ(aCapacities[i], 64u << i);
  EXPECT_EQ(VQXTimerInsert(t.get(), 5, &r[VQX_TIMER_MAX_CAPACITY]), 0x82000008u) << "beyond 0x100000";
  ASSERT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK);
  u32 un32Count = 0;
  ASSERT_EQ(VQXTimerPoll(t.get(), 5000000, &un32Count, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, VQX_TIMER_MAX_CAPACITY);
}

TEST(TimerRandomised, AgreesWithAModel) {
  // Records are armed at random due times (some already past), removed at
  // random and polled at random steps from small to 2^30 ms, across the wrap.
  constexpr u32 kRecords = 3000;
  constexpr u64 kStart = 0xFFF00000ull;
  TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, static_cast<u32>(kStart)));
  ASSERT_TRUE(t);
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), VQX_RESULT_OK);
  std::vector<Rec> r(kRecords);
  std::vector<bool> armed(kRecords, false);
  std::mt19937_64 rng(42);
  u64 un64Now = kStart;  // model time, never wraps
  for (int n = 0; n < 60000; ++n) {
    const u32 op = rng() % 10;
    Rec& x = r[rng() % kRecords];
    const u32 id = static_cast<u32>(&x - r.data());
    if (op < 6) {
      const u64 scale = 1ull << (rng() % 31);
      const i64 delta = static_cast<i64>(rng() % scale) - static_cast<i64>(rng() % 50);
      const VQX_RESULT res = VQXTimerInsert(t.get(), static_cast<u32>(un64Now + delta), &x);
      if (armed[id]) {
        ASSERT_EQ(res, 0x82000005u) << "op " << n;
      } else {
        ASSERT_EQ(res, VQX_RESULT_OK) << "op " << n;
        armed[id] = true;
        x.un64Due = un64Now + delta;
        x.un64OrderKey = std::max<u64>(x.un64Due, un64Now);
      }
    } else if (op < 8) {
      ASSERT_EQ(VQXTimerRemove(t.get(), &x), armed[id] ? VQX_RESULT_OK : 0x82000015u) << "op " << n;
      armed[id] = false;
    } else {
      const u64 step = (rng() % 20 == 0) ? rng() % (1ull << 30) : rng() % 3000;
      un64Now += step;
      std::vector<Rec*> v = PollAll(t.get(), static_cast<u32>(un64Now));
      std::vector<u32> got, expected;
      for (size_t i = 0; i < v.size(); ++i) {
        got.push_back(v[i]->un32Id = static_cast<u32>(v[i] - r.data()));
        ASSERT_EQ(v[i]->fArmed, 0) << "op " << n;
        if (i > 0) {
          ASSERT_LE(v[i - 1]->un64OrderKey, v[i]->un64OrderKey) << "op " << n << ": expiry order";
        }
      }
      for (u32 i = 0; i < kRecords; ++i)
        if (armed[i] && r[i].un64Due <= un64Now) {
          expected.push_back(i);
          armed[i] = false;
        }
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, expected) << "op " << n << " at " << un64Now;
    }
    if (n % 5000 == 0) {
      ASSERT_EQ(VqxTimerCheck(t.get()), VQX_RESULT_OK) << "op " << n;
      for (u32 i = 0; i < kRecords; ++i) ASSERT_EQ(r[i].fArmed, armed[i] ? 1 : 0) << "record " << i;
    }
  }
  EXPECT_GT(un64Now, 0x100000000ull) << "the run crossed the wrap";
}

}  // namespace
