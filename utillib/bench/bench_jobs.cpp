// Throughput of the keyed job pool: trivial jobs spread over a few keys,
// started by one producer and run by the workers, until every done callback
// has run. Target: at least 1M jobs/s over 4 keys on 4 threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

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
    for (u32 i = 0; i < kBatch; ++i) {
      const VQX_MULTI_THREADED_JOB_START_PARAMS sp{0, i % un32Keys, TrivialHandler};
      if (VQXMultiThreadedJobStart(h, &records[i], &sp) != VQX_RESULT_OK) {
        state.SkipWithError("start failed");
        break;
      }
    }
    while (g_done.load(std::memory_order_relaxed) < kBatch) std::this_thread::yield();
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

BENCHMARK_MAIN();
