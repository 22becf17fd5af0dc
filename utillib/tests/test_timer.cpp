// Timing wheel: argument checks, exact codes, rounding to the resolution, the u32 millisecond wrap, two-step polling,
// the usage flag, growth to the limit, and a randomised run against a simple model. Every wheel is checked whole
// when it is freed.
#include "support/vqx_test_support.h"
#include "vqx_timer.h"
#include "vqx_timer_internal.h"

namespace {

constexpr VQX_RESULT kOk = VQX_RESULT_OK, kExists = 0x82000005u, kFull = 0x82000008u, kNull = 0x82000009u,
                     kInvalid = 0x8200000Au, kAbsent = 0x82000015u;

struct TimerDeleter {
  void operator()(VQX_TIMER* t) const { EXPECT_EQ((Results{VqxTimerCheck(t), VQXTimerDestroy(t)}), Results(2, kOk)); }
};
using TimerPtr = std::unique_ptr<VQX_TIMER, TimerDeleter>;

struct Rec { u32 un32Id; u8 byPad[3], fArmed /* the wheel's usage flag */; u64 un64Due, un64OrderKey; };
constexpr u32 kFlagOffset = offsetof(Rec, fArmed);

VQX_TIMER_STATS Stats(VQX_TIMER* t) {
  VQX_TIMER_STATS s{};
  EXPECT_EQ(VqxTimerGetStats(t, &s), kOk);
  return s;
}

// Polls once in both steps: the count, then up to max records (nothing written past the ones handed out).
std::vector<Rec*> Poll(VQX_TIMER* t, u32 un32Now, u32 un32Max = ~0u, u32* pun32Count = nullptr) {
  u32 un32Count = 0;
  EXPECT_EQ(VQXTimerPoll(t, un32Now, &un32Count, nullptr), kOk);
  if (pun32Count != nullptr) *pun32Count = un32Count;
  std::vector<void*> v(std::min(un32Count, un32Max) + 1, nullptr);
  u32 un32Got = v.size() - 1;
  EXPECT_EQ(VQXTimerPoll(t, un32Now, &un32Got, v.data()), kOk);
  EXPECT_EQ(un32Got, v.size() - 1);
  EXPECT_EQ(v.back(), nullptr) << "written past the count";
  return std::vector<Rec*>(reinterpret_cast<Rec**>(v.data()), reinterpret_cast<Rec**>(v.data()) + un32Got);
}

TEST(Timer, CreateArgumentsAndResultCodes) {
  const struct { const char* pszName; u32 cap, res; i32 maxDelay; u32 un32Capacity; } rows[] = {  // capacity 0: refused
              {"growable", 0, 1, 1000, 64},
              {"fixed", 10, 1, 1000, 10},
              {"at the capacity limit", 0x100000, 5, 0x7FFFFFFF, 0x100000},
              {"above the capacity limit", 0x100001, 1, 1000, 0},
              {"zero resolution", 0, 0, 1000, 0},
              {"zero maximum delay", 0, 1, 0, 0},
              {"negative maximum delay", 0, 1, -5, 0}};
  for (const auto& r : rows) {
    TimerPtr t(VQXTimerCreate(r.cap, r.res, r.maxDelay, 123));
    EXPECT_EQ(t != nullptr, r.un32Capacity != 0) << r.pszName;
    if (!t) continue;
    EXPECT_EQ(Stats(t.get()).un32Capacity, r.un32Capacity) << r.pszName;
    EXPECT_EQ(Stats(t.get()).un64NowMs, 123u) << r.pszName;
  }
  TimerPtr t(VQXTimerCreate(0, 1, 1000, 0));
  Rec a{}, b{};
  u32 un32Count = 0;
  const struct { const char* pszName; VQX_RESULT result, expected; } codes[] = {
      {"null wheel", VQXTimerInsert(nullptr, 5, &a), kNull},
      {"null record", VQXTimerInsert(t.get(), 5, nullptr), kNull},
      {"flag is reserved", VQXTimerInsertNormalized(t.get(), 5, &a, 1), kInvalid},
      {"beyond the maximum delay", VQXTimerInsert(t.get(), 1001, &a), kInvalid},
      {"at the maximum delay", VQXTimerInsert(t.get(), 1000, &a), kOk},
      {"armed twice", VQXTimerInsert(t.get(), 7, &a), kExists},
      {"remove never armed", VQXTimerRemove(t.get(), &b), kAbsent},
      {"remove", VQXTimerRemove(t.get(), &a), kOk},
      {"removed twice", VQXTimerRemove(t.get(), &a), kAbsent},
      {"remove, null wheel", VQXTimerRemove(nullptr, &a), kNull},
      {"remove, null record", VQXTimerRemove(t.get(), nullptr), kNull},
      {"poll, null wheel", VQXTimerPoll(nullptr, 1, &un32Count, nullptr), kNull},
      {"poll, null count", VQXTimerPoll(t.get(), 1, nullptr, nullptr), kNull},
      {"usage flag, null wheel", VQXTimerSetUsageFlagOffset(nullptr, 0), kNull},
      {"destroy, null wheel", VQXTimerDestroy(nullptr), kNull},
  };
  for (const auto& c : codes) EXPECT_EQ(c.result, c.expected) << c.pszName;
}

TEST(Timer, ExpiryRoundedUpToTheResolutionNeverEarly) {
  // firstFiring: offset of the first poll (every ms) that returns the record
  const struct { const char* pszName; u32 res, start, dueOffset, firstFiring; } rows[] = {{"1 ms resolution, exact", 1, 1000, 37, 37},
              {"due on a tick", 10, 1000, 20, 20},
              {"due between ticks waits for the next", 10, 1000, 15, 20},
              {"start off the tick grid", 10, 1003, 5, 7},
              {"due now fires at the next poll", 10, 1000, 0, 0},
              {"coarse resolution, far", 100, 5, 1234, 1295},
              {"across the u32 wrap", 10, 0xFFFFFFF0u, 0x25, 0x28}};
  for (const auto& r : rows) {
    TimerPtr t(VQXTimerCreate(0, r.res, 100000, r.start));
    Rec a{};
    ASSERT_EQ(VQXTimerInsert(t.get(), r.start + r.dueOffset, &a), kOk) << r.pszName;
    u32 dt = 0;
    while (dt <= r.dueOffset + 2 * r.res && Poll(t.get(), r.start + dt).empty()) ++dt;
    EXPECT_EQ(dt, r.firstFiring) << r.pszName;
  }
  // Time going backwards does not move the wheel.
  TimerPtr t(VQXTimerCreate(0, 1, 100000, 5000));
  Rec a{};
  ASSERT_EQ(VQXTimerInsert(t.get(), 5100, &a), kOk);
  EXPECT_TRUE(Poll(t.get(), 4000).empty());
  EXPECT_EQ(Stats(t.get()).un64NowMs, 5000u);
  EXPECT_EQ(Poll(t.get(), 5100), std::vector<Rec*>{&a});
}

TEST(Timer, DueTimesAcrossTwoToThe32) {
  const u32 rows[][2] = {{0xFFFFFF00u, 0x110},      {0xFFFFFFFFu, 1},          {0xFFFFFFFFu, 0x7FFFFFFF},
                         {0x7FFFFFFFu, 0x7FFFFFFF}, {0x80000000u, 0x7FFFFFFF}, {0xFFFF0000u, 0x10000},
                         {0, 0x7FFFFFFF}};  // {start, delay}
  for (const auto& [start, delay] : rows) {
    TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, start));
    Rec a{};
    const u32 un32Due = start + delay;  // wraps in u32
    ASSERT_EQ(VQXTimerInsert(t.get(), un32Due, &a), kOk) << std::hex << start;
    // Approach in steps below 2^31, then the millisecond before, then the due time.
    for (u32 now = start; un32Due - now > 0x40000000u;) EXPECT_TRUE(Poll(t.get(), now += 0x40000000u).empty());
    EXPECT_TRUE(Poll(t.get(), un32Due - 1).empty()) << std::hex << start;
    EXPECT_EQ(Poll(t.get(), un32Due), std::vector<Rec*>{&a}) << std::hex << start;
  }
}

TEST(Timer, CountModeFillModeAndTheUsageFlag) {
  TimerPtr t(VQXTimerCreate(0, 1, 100000, 0));
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), kOk);
  Rec r[6]{};
  for (u32 i = 0; i < 6; ++i) ASSERT_EQ(VQXTimerInsert(t.get(), 10 + i, &r[i]), kOk);
  EXPECT_EQ(r[5].fArmed, 1) << "flag set when armed";
  u32 un32Count = 0;
  EXPECT_TRUE(Poll(t.get(), 14, 0, &un32Count).empty()) << "fill mode with room for none writes none";
  EXPECT_EQ(un32Count, 5u);
  EXPECT_TRUE(Poll(t.get(), 14, 0, &un32Count).empty());
  EXPECT_EQ(un32Count, 5u) << "counting consumes nothing";
  EXPECT_EQ(r[2].fArmed, 1) << "expired, not handed out: still armed";
  EXPECT_EQ(VQXTimerRemove(t.get(), &r[2]), kOk) << "an expired record can still be removed";
  EXPECT_EQ(r[2].fArmed, 0);
  EXPECT_EQ(Poll(t.get(), 14, 2), (std::vector<Rec*>{&r[0], &r[1]}));
  EXPECT_EQ(r[0].fArmed, 0) << "handed out: disarmed";
  EXPECT_EQ(VQXTimerRemove(t.get(), &r[0]), kAbsent);
  EXPECT_EQ(Poll(t.get(), 14, 8, &un32Count), (std::vector<Rec*>{&r[3], &r[4]}));
  EXPECT_EQ(un32Count, 2u);
  EXPECT_TRUE(Poll(t.get(), 14).empty());
  EXPECT_EQ(r[5].fArmed, 1) << "not yet due";
  EXPECT_EQ(VQXTimerInsert(t.get(), 20, &r[0]), kOk) << "a record handed out can be armed again at once";
}

TEST(Timer, PartialDrainsKeepOrderThroughRemovalsAndCompaction) {
  // 5000 records expire at once; the caller takes 7 at a time, removes expired records before they are handed out,
  // and arms new, already due ones meanwhile.
  TimerPtr t(VQXTimerCreate(0, 1, 100000, 0));
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), kOk);
  constexpr u32 kNb = 5000;
  std::vector<Rec> r(kNb + 2000);
  for (u32 i = 0; i < r.size(); ++i) r[i].un32Id = i;
  for (u32 i = 0; i < kNb; ++i) ASSERT_EQ(VQXTimerInsert(t.get(), 1 + i % 50, &r[i]), kOk);
  for (u32 i = 5; i < kNb; i += 10) ASSERT_EQ(VQXTimerRemove(t.get(), &r[i]), kOk);  // half the 5th, before expiry
  u32 un32Count = 0;
  ASSERT_EQ(VQXTimerPoll(t.get(), 100, &un32Count, nullptr), kOk);
  ASSERT_EQ(un32Count, kNb - kNb / 10);
  std::vector<u32> got;
  u32 un32Extra = kNb;
  for (int n = 0; n < 10000 && got.size() < kNb - kNb / 5 + 1000; ++n) {
    for (Rec* p : Poll(t.get(), 100 + n / 100, 7)) {
      ASSERT_EQ(p->fArmed, 0);
      got.push_back(p->un32Id);
    }
    for (u32 i = 0; n == 20 && i < kNb; i += 10) {  // the other half of the 5th, some already handed out
      const bool fHandedOut = std::find(got.begin(), got.end(), i) != got.end();
      ASSERT_EQ(VQXTimerRemove(t.get(), &r[i]), fHandedOut ? kAbsent : kOk) << i;
    }
    ASSERT_TRUE(n % 3 != 0 || un32Extra == r.size() || VQXTimerInsert(t.get(), 0, &r[un32Extra++]) == kOk);
    ASSERT_TRUE(n % 200 != 0 || VqxTimerCheck(t.get()) == kOk) << n;
  }
  // The first 5000 come out tick by tick, in arming order within a tick, minus the removed ones; the later ones
  // each once, in arming order.
  std::vector<u32> original, extra, expected;
  for (u32 id : got) (id < kNb ? original : extra).push_back(id);
  for (u32 tick = 1; tick <= 50; ++tick)
    for (u32 i = tick - 1; i < kNb; i += 50)
      if (i % 5 != 0 || std::find(original.begin(), original.end(), i) != original.end()) expected.push_back(i);
  EXPECT_EQ(original, expected);
  expected.clear();
  for (u32 i = kNb; i < un32Extra; ++i) expected.push_back(i);
  EXPECT_EQ(extra, expected);
  for (u32 i = 0; i < kNb; i += 5) EXPECT_EQ(r[i].fArmed, 0) << i;
  EXPECT_EQ(Stats(t.get()).un32NbArmed, 0u);
}

TEST(Timer, CapacityFixedAndGrowableToTheLimit) {
  TimerPtr fixed(VQXTimerCreate(10, 1, 1000, 0));
  std::vector<Rec> r(VQX_TIMER_MAX_CAPACITY + 1);
  for (u32 i = 0; i < 10; ++i) ASSERT_EQ(VQXTimerInsert(fixed.get(), 100, &r[i]), kOk);
  EXPECT_EQ(VQXTimerInsert(fixed.get(), 100, &r[10]), kFull);
  ASSERT_EQ(VQXTimerRemove(fixed.get(), &r[4]), kOk);
  EXPECT_EQ(VQXTimerInsert(fixed.get(), 100, &r[10]), kOk);
  EXPECT_EQ(Poll(fixed.get(), 100).size(), 10u);
  TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, 0));
  std::vector<u32> aCapacities{64};
  for (u32 i = 0; i < VQX_TIMER_MAX_CAPACITY; ++i) {
    ASSERT_EQ(VQXTimerInsert(t.get(), 1 + (i * 7919u) % 5000000u, &r[i]), kOk) << i;
    if (const u32 c = Stats(t.get()).un32Capacity; c != aCapacities.back()) aCapacities.push_back(c);
  }
  for (size_t i = 0; i < aCapacities.size(); ++i) EXPECT_EQ(aCapacities[i], 64u << i);
  EXPECT_EQ(aCapacities.back(), VQX_TIMER_MAX_CAPACITY);
  EXPECT_EQ(VQXTimerInsert(t.get(), 5, &r[VQX_TIMER_MAX_CAPACITY]), kFull) << "beyond 0x100000";
  u32 un32Count = 0;
  ASSERT_EQ(VQXTimerPoll(t.get(), 5000000, &un32Count, nullptr), kOk);
  EXPECT_EQ(un32Count, VQX_TIMER_MAX_CAPACITY);
}

TEST(Timer, RandomisedAgainstAModel) {
  // Records are armed at random due times (some already past), removed at random and polled at random steps from
  // small to 2^30 ms, across the wrap; what a poll hands out comes in expiry order.
  constexpr u32 kRecords = 3000;
  constexpr u64 kStart = 0xFFF00000ull;
  TimerPtr t(VQXTimerCreate(0, 1, 0x7FFFFFFF, u32(kStart)));
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), kOk);
  std::vector<Rec> r(kRecords);
  std::vector<bool> armed(kRecords, false);
  std::mt19937_64 rng(42);
  u64 un64Now = kStart;  // model time, never wraps
  for (int n = 0; n < 60000; ++n) {
    const u32 op = rng() % 10, id = rng() % kRecords;
    if (op < 6) {
      const i64 delta = i64(rng() % (1ull << (rng() % 31))) - i64(rng() % 50);
      ASSERT_EQ(VQXTimerInsert(t.get(), u32(un64Now + delta), &r[id]), armed[id] ? kExists : kOk) << "op " << n;
      if (!armed[id]) r[id].un64Due = un64Now + delta, r[id].un64OrderKey = std::max<u64>(un64Now + delta, un64Now);
      armed[id] = true;
    } else if (op < 8) {
      ASSERT_EQ(VQXTimerRemove(t.get(), &r[id]), armed[id] ? kOk : kAbsent) << "op " << n;
      armed[id] = false;
    } else {
      un64Now += (rng() % 20 == 0) ? rng() % (1ull << 30) : rng() % 3000;
      std::vector<u32> got, expected;
      for (Rec* p : Poll(t.get(), u32(un64Now))) {
        ASSERT_TRUE(got.empty() || r[got.back()].un64OrderKey <= p->un64OrderKey) << "op " << n << ": expiry order";
        ASSERT_EQ(p->fArmed, 0) << "op " << n;
        got.push_back(u32(p - r.data()));
      }
      for (u32 i = 0; i < kRecords; ++i)
        if (armed[i] && r[i].un64Due <= un64Now) expected.push_back(i), armed[i] = false;
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, expected) << "op " << n << " at " << un64Now;
    }
    if (n % 5000 == 0) {
      ASSERT_EQ(VqxTimerCheck(t.get()), kOk) << "op " << n;
      for (u32 i = 0; i < kRecords; ++i) ASSERT_EQ(r[i].fArmed, armed[i] ? 1 : 0) << "record " << i;
    }
  }
  EXPECT_GT(un64Now, 0x100000000ull) << "the run crossed the wrap";
}

}  // namespace
