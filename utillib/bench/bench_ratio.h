// bench_ratio.h - runs the registered benchmarks and prints, for each pair
// {baseline, candidate}, how many times faster the candidate is, measured in
// the same run, and for each throughput target the measured rate over the
// target. Shared by the utility library's benchmark programs.
#ifndef VQX_BENCH_RATIO_H
#define VQX_BENCH_RATIO_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct VqxBenchRatio {
  const char* pszBaseline;   // benchmark name of the reference implementation
  const char* pszCandidate;  // benchmark name of ours
  double dTarget;            // required baseline time / candidate time
};

class VqxBenchCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the mean stands for the benchmark.
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool fMean = r.run_type == Run::RT_Aggregate && r.aggregate_name == "mean";
      if (!fMean && (r.run_type != Run::RT_Iteration || m_means.count(r.run_name.str()) != 0)) continue;
      m_times[r.run_name.str()] = r.GetAdjustedRealTime();
      auto rate = r.counters.find("items_per_second");
      if (rate != r.counters.end()) m_rates[r.run_name.str()] = rate->second.value;
      if (fMean) m_means[r.run_name.str()] = true;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> m_times;
  std::map<std::string, double> m_rates; /* items per second, where counted */
  std::map<std::string, bool> m_means;
};

// A throughput target: benchmark name and the items per second it must reach.
struct VqxBenchRate {
  const char* pszName;
  double dTargetPerSecond;
};

inline int VqxBenchRunWithRatios(int argc, char** argv, const std::vector<VqxBenchRatio>& ratios,
                                 const std::vector<VqxBenchRate>& rates = {}) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  VqxBenchCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  for (const VqxBenchRatio& r : ratios) {
    auto b = collector.m_times.find(r.pszBaseline), c = collector.m_times.find(r.pszCandidate);
    if (b == collector.m_times.end() || c == collector.m_times.end() || c->second <= 0) continue;
    const double dRatio = b->second / c->second;
    std::printf("ratio %s / %s = %.2fx (target >= %.2fx): %s\n", r.pszBaseline, r.pszCandidate, dRatio, r.dTarget,
                dRatio >= r.dTarget ? "met" : "NOT MET");
  }
  for (const VqxBenchRate& r : rates) {
    auto it = collector.m_rates.find(r.pszName);
    if (it == collector.m_rates.end()) continue;
    const double dRatio = it->second / r.dTargetPerSecond;
    std::printf("ratio %s = %.3g items/s / target %.3g items/s = %.2fx (target >= 1.00x): %s\n", r.pszName,
                it->second, r.dTargetPerSecond, dRatio, dRatio >= 1.0 ? "met" : "NOT MET");
  }
  benchmark::Shutdown();
  return 0;  // a missed target is reported, not turned into a crash of the run
}

#endif
