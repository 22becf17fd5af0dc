// Throughput of the keyed job pool: trivial jobs spread over a few keys,
// started by one producer and run by the workers, until every done callback
// has run. Target: at least 1M jobs/s over 4 keys on 4 threads.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "vqx_jobs.h"
#include "vqx_thread.h"

namespace {

constexpr u32 kBatch = 100000;
std::atomic<u32> g_done{0};

VQX_RESULT TrivialHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv) {
  benchmark::DoNotOptimize(pv);
  return VQX_RESULT_OK;
}

void CountDone(VQX_MULTI_THREADED_JOBS_HANDLE, void*, VQX_RESULT) {
  g_done.fetch_add(1, std::memory_order_relaxed);
}

void BM_JobsThroughput(benchmark::State& state) {
  const u32 un32Threads = static_cast<u32>(state.range(0));
  const u32 un32Keys = static_cast<u32>(state.range(1));
  const VQX_MULTI_THREADED_JOBS_PARAMS params{un32Threads, kBatch, VQX_THREAD_PRIORITY_NORMAL, CountDone};
  VQX_MULTI_THREADED_JOBS_HANDLE h = nullptr;
  if (VQXMultiThreadedJobsOpenLib(&params, &h) != VQX_RESULT_OK) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<char> records(kBatch);  // one distinct job pointer per job
  for (auto _ : state) {
    g_done.store(0);
    u32 un32Started = 0;
    for (; un32Started < kBatch; ++un32Started) {
      const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, un32Started % un32Keys, TrivialHandler};
      if (VQXMultiThreadedJobStart(h, &records[un32Started], &sp) != VQX_RESULT_OK) {
        state.SkipWithError("start failed");
        break;
      }
    }
    /* Bounded: a lost done callback ends the run with an error, not a hang. */
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_done.load(std::memory_order_relaxed) < un32Started) {
      if (std::chrono::steady_clock::now() > until) {
        state.SkipWithError("jobs did not all end");
        break;
      }
      std::this_thread::yield();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
  VQXMultiThreadedJobsCloseLib(h);
}

}  // namespace

BENCHMARK(BM_JobsThroughput)
    ->ArgNames({"threads", "keys"})
    ->Args({4, 4})
    ->Args({1, 1})
    ->Args({4, 64})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv, {}, {{"BM_JobsThroughput/threads:4/keys:4/real_time", 1e6}});
}
