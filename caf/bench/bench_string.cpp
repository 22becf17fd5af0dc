// CVQCAFString::Format against snprintf into a caller's buffer, for a short
// log-sized line, a trace-record line and a long hex-dump-sized line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "vqcafstring.h"

namespace {

const std::string kLong(600, 'h');

void BM_Snprintf_Short(benchmark::State& State) {
  char ac[2048];
  u32 i = 0;
  for (auto _ : State) {
    snprintf(ac, sizeof(ac), "%s: %s (%X) %s:%d\n", "CVQTest::Op", "failed", 0x82000001u, "file.cpp", ++i);
    benchmark::DoNotOptimize(ac);
  }
}
void BM_Format_Short(benchmark::State& State) {
  VQCAF::CVQCAFString s;
  u32 i = 0;
  for (auto _ : State) {
    s.Format("%s: %s (%X) %s:%d\n", "CVQTest::Op", "failed", 0x82000001u, "file.cpp", ++i);
    benchmark::DoNotOptimize(s.c_str());
  }
}
void BM_Snprintf_Record(benchmark::State& State) {
  char ac[2048];
  u32 i = 0;
  for (auto _ : State) {
    snprintf(ac, sizeof(ac), "%02u:%02u:%02u.%03u %-16s %s len=%u 0x%08X %s\n", 12u, 34u, 56u, ++i % 1000, "ss7_trk_01",
             "RX", 44u, 0xDEADBEEFu, "MTP2 MSU SIO=0x85");
    benchmark::DoNotOptimize(ac);
  }
}
void BM_Format_Record(benchmark::State& State) {
  VQCAF::CVQCAFString s;
  u32 i = 0;
  for (auto _ : State) {
    s.Format("%02u:%02u:%02u.%03u %-16s %s len=%u 0x%08X %s\n", 12u, 34u, 56u, ++i % 1000, "ss7_trk_01", "RX", 44u,
             0xDEADBEEFu, "MTP2 MSU SIO=0x85");
    benchmark::DoNotOptimize(s.c_str());
  }
}
void BM_Snprintf_Long(benchmark::State& State) {
  char ac[2048];
  for (auto _ : State) {
    snprintf(ac, sizeof(ac), "dump %s end %u\n", kLong.c_str(), 7u);
    benchmark::DoNotOptimize(ac);
  }
}
void BM_Format_Long(benchmark::State& State) {
  VQCAF::CVQCAFString s;
  for (auto _ : State) {
    s.Format("dump %s end %u\n", kLong.c_str(), 7u);
    benchmark::DoNotOptimize(s.c_str());
  }
}

BENCHMARK(BM_Snprintf_Short);
BENCHMARK(BM_Format_Short);
BENCHMARK(BM_Snprintf_Record);
BENCHMARK(BM_Format_Record);
BENCHMARK(BM_Snprintf_Long);
BENCHMARK(BM_Format_Long);

// Prints Format/snprintf time ratios after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& Runs) override {
    ConsoleReporter::ReportRuns(Runs);
    for (const Run& r : Runs) {
      std::string strName = r.benchmark_name();
      double dTime = r.GetAdjustedCPUTime();
      size_t nPos = strName.rfind('_');
      std::string strCase = nPos == std::string::npos ? strName : strName.substr(nPos + 1);
      if (strName.find("Snprintf") != std::string::npos) mSnprintf[strCase] = dTime;
      else if (mSnprintf.count(strCase) != 0) {
        char ac[128];
        snprintf(ac, sizeof(ac), "ratio Format/snprintf %-8s %.2f\n", strCase.c_str(), dTime / mSnprintf[strCase]);
        GetOutputStream() << ac;
      }
    }
  }

 private:
  std::map<std::string, double> mSnprintf;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  benchmark::Shutdown();
  return 0;
}
