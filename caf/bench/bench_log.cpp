/*
 * bench_log.cpp - cost of the framework log.
 *
 * - A line hidden by its sub-module's level (target: under 20 ns), through
 *   the free LogTrace and through a CVQCAFLogTrace object.
 * - Lines written to the log file on one thread (target: at least 1M
 *   lines/s), each batch timed up to the moment FlushLog has them in the
 *   file, against fprintf of the same line to a stdio file in the same run.
 *   The ratio of the two rates is printed at the end.
 */
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "vqcaflog.h"
#include "vqcaflogtrace.h"

using namespace VQCAF;

namespace {

constexpr int kBatch = 100000;  // lines per timed iteration of the file benchmarks

std::atomic<double> g_LogRate{0}, g_FprintfRate{0};

std::string TempBase(const char* pszName) {
  char acDir[] = "/tmp/bench_log_XXXXXX";
  const char* pszDir = mkdtemp(acDir);
  return std::string(pszDir != nullptr ? pszDir : "/tmp") + "/" + pszName;
}

void RemoveSegments(const std::string& strBase) {
  const std::string strCommand = "rm -rf '" + strBase.substr(0, strBase.rfind('/')) + "'";
  if (system(strCommand.c_str()) != 0) fprintf(stderr, "could not remove %s\n", strCommand.c_str());
}

void BM_LogTraceFilteredOut(benchmark::State& state) {
  const std::string strBase = TempBase("filtered");
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  if (InitLog(Params) != VQX_RESULT_OK) state.SkipWithError("InitLog failed");
  u32 i = 0;
  for (auto _ : state) {
    LogTrace(VQLV0, "hidden %u %s", i++, "text");
  }
  UninitLog();
  RemoveSegments(strBase);
}
BENCHMARK(BM_LogTraceFilteredOut);

void BM_ObjectLogTraceFilteredOut(benchmark::State& state) {
  const std::string strBase = TempBase("filtered_obj");
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  if (InitLog(Params) != VQX_RESULT_OK) state.SkipWithError("InitLog failed");
  CVQCAFLogTrace Object(VQCAF_SUBMODULE_CALL);
  CVQCAFLogTrace* pObject = &Object;
  benchmark::DoNotOptimize(pObject);
  u32 i = 0;
  for (auto _ : state) {
    pObject->LogTrace(VQLV2, "hidden %u %s", i++, "text");
  }
  UninitLog();
  RemoveSegments(strBase);
}
BENCHMARK(BM_ObjectLogTraceFilteredOut);

void BM_LogTraceToFile(benchmark::State& state) {
  const std::string strBase = TempBase("written");
  CVQCAFLogParams Params;
  Params.mstrBaseName = strBase.c_str();
  if (InitLog(Params) != VQX_RESULT_OK) state.SkipWithError("InitLog failed");
  const u64 un64DroppedBefore = GetLogDroppedCount();
  for (auto _ : state) {
    const auto Start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; i++) LogTrace(VQERR, "call %d: state changed from %s to %s", i, "IDLE", "ALERTING");
    if (FlushLog(60000) != VQX_RESULT_OK) state.SkipWithError("FlushLog failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["dropped"] = static_cast<double>(GetLogDroppedCount() - un64DroppedBefore);
  state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                     benchmark::Counter::kIsRate);
  UninitLog();
  RemoveSegments(strBase);
}
BENCHMARK(BM_LogTraceToFile)->UseManualTime()->Unit(benchmark::kMillisecond);

/* The same line through stdio, with the same kind of header text. */
void BM_FprintfToFile(benchmark::State& state) {
  const std::string strBase = TempBase("fprintf");
  FILE* pFile = fopen((strBase + ".log").c_str(), "w");
  if (pFile == nullptr) state.SkipWithError("fopen failed");
  for (auto _ : state) {
    const auto Start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch && pFile != nullptr; i++) {
      fprintf(pFile, "%s VQERR BASE call %d: state changed from %s to %s\n", "2026-12-06 17:20:49.123", i, "IDLE",
              "ALERTING");
    }
    if (pFile != nullptr) fflush(pFile);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                     benchmark::Counter::kIsRate);
  if (pFile != nullptr) fclose(pFile);
  RemoveSegments(strBase);
}
BENCHMARK(BM_FprintfToFile)->UseManualTime()->Unit(benchmark::kMillisecond);

/* Keeps the line rates of the two file benchmarks to print their ratio. */
class CRateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& R : aRuns) {
      const auto It = R.counters.find("lines_per_s");
      if (It == R.counters.end() || R.run_type != Run::RT_Iteration) continue;
      // Counters are reported already divided by the run's time.
      const double dRate = It->second.value;
      if (R.benchmark_name().find("BM_LogTraceToFile") == 0) g_LogRate = dRate;
      if (R.benchmark_name().find("BM_FprintfToFile") == 0) g_FprintfRate = dRate;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CRateReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  benchmark::Shutdown();
  if (g_LogRate > 0 && g_FprintfRate > 0) {
    printf("LogTrace to file: %.0f lines/s; fprintf to file: %.0f lines/s; ratio LogTrace/fprintf = %.2f\n",
           g_LogRate.load(), g_FprintfRate.load(), g_LogRate.load() / g_FprintfRate.load());
  }
  return 0;
}
