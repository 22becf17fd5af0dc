// Timing wheel: arm 1M timers due within one minute, then poll every 10 ms
// until all have expired; against std::priority_queue doing the same work
// (push all, pop everything due at each poll) in the same run.
#include <functional>
#include <queue>
#include <random>
#include <utility>
#include <vector>

#include "bench_ratio.h"
#include "vqx_timer.h"

namespace {

constexpr u32 kTimers = 1000000;
constexpr u32 kSpanMs = 60000;
constexpr u32 kPollMs = 10;
constexpr u32 kStart = 0xFFFF0000u;  // the run crosses the u32 wrap

struct TimerRec {
  u64 un64Payload;
};

const std::vector<u32>& Dues() {
  static const std::vector<u32> v = [] {
    std::mt19937 rng(3);
    std::vector<u32> d(kTimers);
    for (auto& x : d) x = kStart + 1 + rng() % kSpanMs;
    return d;
  }();
  return v;
}

void BM_PriorityQueue(benchmark::State& state) {
  std::vector<TimerRec> recs(kTimers);
  std::vector<void*> out(kTimers);
  for (auto _ : state) {
    using Entry = std::pair<u64, void*>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> q;
    for (u32 i = 0; i < kTimers; ++i) q.emplace(static_cast<u64>(Dues()[i] - kStart), &recs[i]);
    u64 un64Expired = 0;
    for (u32 t = 0; t <= kSpanMs + kPollMs; t += kPollMs) {
      u32 n = 0;
      while (!q.empty() && q.top().first <= t) {
        out[n++] = q.top().second;
        q.pop();
      }
      un64Expired += n;
    }
    if (un64Expired != kTimers) state.SkipWithError("lost timers");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kTimers);
}

void BM_TimerWheel(benchmark::State& state) {
  std::vector<TimerRec> recs(kTimers);
  std::vector<void*> out(kTimers);
  for (auto _ : state) {
    HVQXTIMER w = VQXTimerCreate(VQX_TIMER_MAX_CAPACITY, 1, 0x7FFFFFFF, kStart);
    for (u32 i = 0; i < kTimers; ++i) VQXTimerInsert(w, Dues()[i], &recs[i]);
    u64 un64Expired = 0;
    for (u32 t = 0; t <= kSpanMs + kPollMs; t += kPollMs) {
      u32 n = kTimers;
      VQXTimerPoll(w, kStart + t, &n, out.data());
      un64Expired += n;
    }
    if (un64Expired != kTimers) state.SkipWithError("lost timers");
    benchmark::DoNotOptimize(out.data());
    state.PauseTiming();
    VQXTimerDestroy(w);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kTimers);
}

BENCHMARK(BM_PriorityQueue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimerWheel)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv, {{"BM_PriorityQueue", "BM_TimerWheel", 1.0}});
}
