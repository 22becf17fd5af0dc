// bench_ratio.h - runs the registered benchmarks and prints, for each pair
// {baseline, candidate}, how many times faster the candidate is, measured in
// the same run, and for each throughput target the measured rate over the
// target. Shared by the benchmark programs (the build puts this folder on every
// benchmark's include path).
//
// Paired ratios (VqxBenchPaired): on a loaded machine two benchmarks run one
// after the other see different loads, and their ratio drifts from run to run.
// A paired benchmark times a batch of the candidate and a batch of the
// baseline back to back in every iteration (which goes first alternates), so
// that both see the same load; it reports the median of the per-batch time
// ratios, and with repetitions the report takes the median of those.
#ifndef VQX_BENCH_RATIO_H
#define VQX_BENCH_RATIO_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct VqxBenchRatio {
  const char* pszBaseline;   // benchmark name of the reference implementation
  const char* pszCandidate;  // benchmark name of ours
  double dTarget;            // required baseline time / candidate time
  // Compare processor time rather than wall time: each side's CPU time, or,
  // for a benchmark on manual time, the time it set (which must then be
  // processor time, as a child's measured through getrusage). A baseline
  // run in another process is timed so; a loaded machine stretches wall time.
  bool fProcessorTime = false;
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
      m_cpu[r.run_name.str()] = r.run_name.time_type == "manual_time" ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime();
      auto rate = r.counters.find("items_per_second");
      if (rate != r.counters.end()) m_rates[r.run_name.str()] = rate->second.value;
      if (fMean) m_means[r.run_name.str()] = true;
    }
    for (const Run& r : runs) {
      // A paired ratio: the median over repetitions, else the one run's.
      auto ratio = r.counters.find("ratio");
      if (r.error_occurred || ratio == r.counters.end()) continue;
      const bool fMedian = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      const std::string strName = r.run_name.function_name;
      if (fMedian || (r.run_type == Run::RT_Iteration && m_paired_medians.count(strName) == 0)) {
        m_paired[strName] = ratio->second.value;
      }
      if (fMedian) m_paired_medians[strName] = true;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> m_times;
  std::map<std::string, double> m_cpu; /* processor time; a benchmark on manual time: the time it set */
  std::map<std::string, double> m_rates; /* items per second, where counted */
  std::map<std::string, bool> m_means;
  std::map<std::string, double> m_paired; /* candidate time / baseline time of a paired benchmark */
  std::map<std::string, bool> m_paired_medians;
};

// Times nBatch calls fnCandidate(i) and nBatch calls fnBaseline(i), i = 0 ..
// nBatch - 1, in every iteration (alternating which batch goes first), each
// batch after an untimed fnSetUp() (inputs a batch consumes), and sets the
// counters ratio (median of candidate time / baseline time over the
// iterations), candidate_ns and baseline_ns (medians per call).
template <class C, class B, class S>
void VqxBenchPaired(benchmark::State& State, int nBatch, C&& fnCandidate, B&& fnBaseline, S&& fnSetUp) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> aCandidate, aBaseline, aRatio;
  const auto TimeBatch = [&](auto& fn) {
    State.PauseTiming();
    fnSetUp();
    State.ResumeTiming();
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < nBatch; i++) fn(i);
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / nBatch;
  };
  bool fCandidateFirst = true;
  for (auto _ : State) {
    double dCandidate, dBaseline;
    if (fCandidateFirst) {
      dCandidate = TimeBatch(fnCandidate);
      dBaseline = TimeBatch(fnBaseline);
    } else {
      dBaseline = TimeBatch(fnBaseline);
      dCandidate = TimeBatch(fnCandidate);
    }
    fCandidateFirst = !fCandidateFirst;
    aCandidate.push_back(dCandidate);
    aBaseline.push_back(dBaseline);
    aRatio.push_back(dBaseline > 0 ? dCandidate / dBaseline : 0);
  }
  const auto Median = [](std::vector<double>& a) {
    if (a.empty()) return 0.0;
    std::nth_element(a.begin(), a.begin() + a.size() / 2, a.end());
    return a[a.size() / 2];
  };
  State.counters["ratio"] = Median(aRatio);
  State.counters["candidate_ns"] = Median(aCandidate);
  State.counters["baseline_ns"] = Median(aBaseline);
}

template <class C, class B>
void VqxBenchPaired(benchmark::State& State, int nBatch, C&& fnCandidate, B&& fnBaseline) {
  VqxBenchPaired(State, nBatch, fnCandidate, fnBaseline, [] {});
}

// A paired benchmark's target: candidate time / baseline time at most dMax.
struct VqxBenchPairedTarget {
  const char* pszName;
  double dMax;
};

// A throughput target: benchmark name and the items per second it must reach.
struct VqxBenchRate {
  const char* pszName;
  double dTargetPerSecond;
};

inline int VqxBenchRunWithRatios(int argc, char** argv, const std::vector<VqxBenchRatio>& ratios,
                                 const std::vector<VqxBenchRate>& rates = {},
                                 const std::vector<VqxBenchPairedTarget>& paired = {}) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  VqxBenchCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  for (const VqxBenchRatio& r : ratios) {
    const std::map<std::string, double>& times = r.fProcessorTime ? collector.m_cpu : collector.m_times;
    auto b = times.find(r.pszBaseline), c = times.find(r.pszCandidate);
    if (b == times.end() || c == times.end() || c->second <= 0) continue;
    const double dRatio = b->second / c->second;
    std::printf("ratio %s / %s = %.2fx (%starget >= %.2fx): %s\n", r.pszBaseline, r.pszCandidate, dRatio,
                r.fProcessorTime ? "processor time, " : "", r.dTarget, dRatio >= r.dTarget ? "met" : "NOT MET");
  }
  for (const VqxBenchRate& r : rates) {
    auto it = collector.m_rates.find(r.pszName);
    if (it == collector.m_rates.end()) continue;
    const double dRatio = it->second / r.dTargetPerSecond;
    std::printf("ratio %s = %.3g items/s / target %.3g items/s = %.2fx (target >= 1.00x): %s\n", r.pszName,
                it->second, r.dTargetPerSecond, dRatio, dRatio >= 1.0 ? "met" : "NOT MET");
  }
  for (const VqxBenchPairedTarget& r : paired) {
    auto it = collector.m_paired.find(r.pszName);
    if (it == collector.m_paired.end()) continue;
    std::printf("paired %s: candidate / baseline time = %.2fx (%s, target <= %.2fx): %s\n", r.pszName, it->second,
                collector.m_paired_medians.count(r.pszName) != 0 ? "median of repetitions" : "one run", r.dMax,
                it->second <= r.dMax ? "met" : "NOT MET");
  }
  benchmark::Shutdown();
  return 0;  // a missed target is reported, not turned into a crash of the run
}

#endif
