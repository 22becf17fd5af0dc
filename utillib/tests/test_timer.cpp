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

struct Rec { u32 un32Id; u8 byPad[3], fArmed /* the wheel's usage flag */; u64 un64OrderKey; };
constexpr u32 kFlagOffset = offsetof(Rec, fArmed);

// Polls once in both steps: the count, then up to max records (nothing written past the ones handed out).
std::vector<Rec*> Poll(VQX_TIMER* t, u32 un32Now, u32 un32Max = ~0u, u32* pun32Count = nullptr) {
  u32 un32Count = 0;
  EXPECT_EQ(VQXTimerPoll(t, un32Now, &un32Count, nullptr), kOk);
  std::vector<Rec*> v(std::min(un32Count, un32Max) + 1, nullptr);
  u32 un32Got = v.size() - 1;
  EXPECT_TRUE(VQXTimerPoll(t, un32Now, &un32Got, reinterpret_cast<void**>(v.data())) == kOk && un32Got == v.size() - 1 && !v.back())
      << "a count other than asked, or written past it";
  return *(pun32Count ? pun32Count : &un32Got) = un32Count, v.pop_back(), v;
}

TEST(Timer, CreateArgumentsAndResultCodes) {
  const struct { u32 cap, res; i32 maxDelay; bool fCreated; } rows[] = {  // capacity, resolution, maximum delay
      {0x100000, 5, 0x7FFFFFFF, true}, {0x100001, 1, 1000, false}, {0, 0, 1000, false}, {0, 1, 0, false}, {0, 1, -5, false}};
  for (const auto& r : rows) EXPECT_EQ(TimerPtr(VQXTimerCreate(r.cap, r.res, r.maxDelay, 0)) != nullptr, r.fCreated) << r.cap;
  TimerPtr t(VQXTimerCreate(0, 1, 1000, 0));
  Rec a{}, b{};
  u32 un32Count = 0;
  EXPECT_EQ((Results{VQXTimerInsertNormalized(t.get(), 5, &a, 1), VQXTimerInsert(t.get(), 1001, &a), VQXTimerInsert(t.get(), 1000, &a),
                     VQXTimerInsert(t.get(), 7, &a), VQXTimerRemove(t.get(), &b), VQXTimerRemove(t.get(), &a), VQXTimerRemove(t.get(), &a)}),
            (Results{kInvalid, kInvalid, kOk, kExists, kAbsent, kOk, kAbsent}))
      << "flag reserved, beyond the maximum delay, at it, armed twice; remove never armed, remove, removed twice";
  EXPECT_EQ((Results{VQXTimerInsert(nullptr, 5, &a), VQXTimerInsert(t.get(), 5, nullptr), VQXTimerRemove(nullptr, &a),
                     VQXTimerRemove(t.get(), nullptr), VQXTimerPoll(nullptr, 1, &un32Count, nullptr),
                     VQXTimerPoll(t.get(), 1, nullptr, nullptr), VQXTimerSetUsageFlagOffset(nullptr, 0), VQXTimerDestroy(nullptr)}),
            Results(8, kNull));
}

TEST(Timer, CapacityFixedAndGrowableToTheLimit) {
  std::vector<Rec> r(VQX_TIMER_MAX_CAPACITY + 1);
  TimerPtr fixed(VQXTimerCreate(10, 1, 1000, 0)), t(VQXTimerCreate(0, 1, 0x7FFFFFFF, 0));
  for (u32 i = 0; i < 10; ++i) ASSERT_EQ(VQXTimerInsert(fixed.get(), 100, &r[i]), kOk);
  EXPECT_EQ((Results{VQXTimerInsert(fixed.get(), 100, &r[10]), VQXTimerRemove(fixed.get(), &r[4]), VQXTimerInsert(fixed.get(), 100, &r[10])}),
            (Results{kFull, kOk, kOk}));
  EXPECT_EQ(Poll(fixed.get(), 100).size(), 10u);
  for (u32 i = 0; i < VQX_TIMER_MAX_CAPACITY; ++i) ASSERT_EQ(VQXTimerInsert(t.get(), 1 + (i * 7919u) % 5000000u, &r[i]), kOk) << i;
  EXPECT_EQ(VQXTimerInsert(t.get(), 5, &r[VQX_TIMER_MAX_CAPACITY]), kFull) << "a growable wheel holds 0x100000 records, no more";
  EXPECT_EQ(Poll(t.get(), 5000000).size(), VQX_TIMER_MAX_CAPACITY);
}

TEST(Timer, RandomisedAgainstAModel) {
  // Records are armed at random due times (some already past), removed at random (expired ones too, before they are
  // handed out) and polled at random steps from small to 2^30 ms, across the wrap; due times reach the maximum delay,
  // so that records pass through every level of the wheel. Polls count first (which consumes
  // nothing), then mostly hand out a few records at a time: the others stay armed in the expired backlog, which the
  // wheel compacts while it drains it, and come out later, all in expiry order. A record handed out or removed is
  // disarmed (its usage flag cleared) and can be armed again at once.
  // The resolution is 10 ms: a record due in the future expires at the first poll at or after its due time rounded
  // up to a tick (never early), one due now or before at the next poll.
  constexpr u32 kRecords = 3000, kRes = 10;
  constexpr u64 kStart = 0xFFF00003ull;  // off the tick grid
  TimerPtr t(VQXTimerCreate(0, kRes, 0x7FFFFFFF, u32(kStart)));
  ASSERT_EQ(VQXTimerSetUsageFlagOffset(t.get(), kFlagOffset), kOk);
  std::vector<Rec> r(kRecords);
  std::vector<bool> armed(kRecords, false);
  std::mt19937_64 rng(42);
  u64 un64Now = kStart, un64LastOut = 0;  // model time (never wraps); expiry of the last record handed out
  const auto arm = [&](u32 id, u64 due) {  // in the wheel and, unless armed already, in the model
    const VQX_RESULT res = VQXTimerInsert(t.get(), u32(due), &r[id]);
    if (!armed[id]) r[id].un64OrderKey = due <= un64Now ? un64Now : (due + kRes - 1) / kRes * kRes, armed[id] = true;
    return res;
  };
  for (int n = 0; n < 60000; ++n) {
    const u32 op = rng() % 10, id = rng() % kRecords;
    if (n % 10000 == 5000) {  // a burst: every idle record due within 50 ms, so that thousands expire together
      for (u32 i = 0; i < kRecords; ++i) ASSERT_TRUE(armed[i] || arm(i, un64Now + i % 50) == kOk) << i;
    } else if (op < 6) {
      const i64 delta = i64(rng() % (1ull << (rng() % 32))) - i64(rng() % 50);  // up to the maximum delay, 2^31 - 1
      const VQX_RESULT expected = armed[id] ? kExists : kOk;
      ASSERT_EQ(arm(id, un64Now + delta), expected) << "op " << n;
    } else if (op < 8) {
      ASSERT_EQ(VQXTimerRemove(t.get(), &r[id]), armed[id] ? kOk : kAbsent) << "op " << n;
      armed[id] = false;
    } else {
      // Time going backwards leaves the wheel where it is.
      const u64 step = (rng() % 20 == 0) ? rng() % (1ull << 30) : rng() % 3000, fBack = rng() % 16 == 0;
      un64Now += fBack ? 0 : step;
      u32 un32Count = 0, un32Expired = 0;
      const u32 un32Max = rng() % 256 == 0 ? ~0u : u32(rng() % 32);  // 0 included: room for none writes none
      const std::vector<Rec*> out = Poll(t.get(), u32(un64Now - (fBack ? step : 0)), un32Max, &un32Count);
      for (u32 i = 0; i < kRecords; ++i) un32Expired += armed[i] && r[i].un64OrderKey <= un64Now;
      ASSERT_EQ(un32Count, un32Expired) << "op " << n << " at " << un64Now;
      for (Rec* p : out) {
        ASSERT_TRUE(armed[p - r.data()] && p->un64OrderKey <= un64Now && p->fArmed == 0) << "op " << n;
        ASSERT_LE(un64LastOut, p->un64OrderKey) << "op " << n << ": expiry order";
        un64LastOut = p->un64OrderKey, armed[p - r.data()] = false;
      }
    }
    if (n % 5000 == 0) {
      ASSERT_EQ(VqxTimerCheck(t.get()), kOk) << "op " << n;
      for (u32 i = 0; i < kRecords; ++i) ASSERT_EQ(r[i].fArmed, armed[i] ? 1 : 0) << "record " << i;
    }
  }
  EXPECT_GT(un64Now, 0x100000000ull) << "the run crossed the wrap";
}

}  // namespace
