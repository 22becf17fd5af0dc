/*
 * Benchmarks of the SDP parser and generator against two public SDP
 * libraries, in one process so that the ratios are measured on the same
 * machine at the same time, over the corpus of tests/data/sdp (the files all
 * three parse):
 *  - parse, allocation and release included (our record on the heap, left
 *    as the allocator gives it since the parse clears it; a sofia-sip home
 *    and parser; a GstSDPMessage): target at least 2x the rate of the
 *    faster of the two;
 *  - text generation from parsed descriptions (sdp_print,
 *    gst_sdp_message_as_text): target at least the rate of the faster.
 * The ratios are printed after the table ("met" / "NOT MET").
 */
#include <benchmark/benchmark.h>
#include <gst/sdp/sdp.h>
#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vqx_media_parse.h"

namespace {

std::vector<std::string> Corpus() {
  std::vector<std::string> v;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(VQX_SDP_CORPUS))
    if (e.path().extension() == ".sdp") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& p : files) {
    std::ifstream f(p, std::ios::binary);
    std::string s{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    /* Only texts all three parse, so that the three do the same work. */
    _VQX_SDP_INFO r;
    su_home_t* home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
    sdp_parser_t* sp = sdp_parse(home, s.data(), s.size(), sdp_f_anynet | sdp_f_c_missing);
    const bool fSofia = sdp_session(sp) != nullptr;
    sdp_parser_free(sp);
    su_home_unref(home);
    GstSDPMessage* m = nullptr;
    gst_sdp_message_new(&m);
    const bool fGst = gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(s.data()), s.size(), m) == GST_SDP_OK;
    gst_sdp_message_free(m);
    const bool fOurs = VQXMediaLibSdpParse(s.c_str(), &r, 0, nullptr) == VQX_RESULT_OK;
    if (fOurs && fSofia && fGst) v.push_back(s);
    else std::printf("corpus: %s left out (ours, sofia-sip, GstSDP: %d %d %d)\n", p.filename().c_str(), fOurs, fSofia, fGst);
  }
  return v;
}
const std::vector<std::string>& Texts() {
  static const std::vector<std::string> s_v = Corpus();
  return s_v;
}

void BM_ParseOurs(benchmark::State& st) {
  for (auto _ : st)
    for (const std::string& s : Texts()) {
      std::unique_ptr<_VQX_SDP_INFO> r(new _VQX_SDP_INFO);
      benchmark::DoNotOptimize(VQXMediaLibSdpParse(s.c_str(), r.get(), 0, nullptr));
    }
}
void BM_ParseSofia(benchmark::State& st) {
  for (auto _ : st)
    for (const std::string& s : Texts()) {
      su_home_t* home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
      sdp_parser_t* p = sdp_parse(home, s.data(), s.size(), sdp_f_anynet | sdp_f_c_missing);
      benchmark::DoNotOptimize(sdp_session(p));
      sdp_parser_free(p);
      su_home_unref(home);
    }
}
void BM_ParseGst(benchmark::State& st) {
  for (auto _ : st)
    for (const std::string& s : Texts()) {
      GstSDPMessage* m = nullptr;
      gst_sdp_message_new(&m);
      benchmark::DoNotOptimize(gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(s.data()), s.size(), m));
      gst_sdp_message_free(m);
    }
}

void BM_GenerateOurs(benchmark::State& st) {
  std::vector<std::unique_ptr<_VQX_SDP_INFO>> records;
  for (const std::string& s : Texts()) {
    records.push_back(std::make_unique<_VQX_SDP_INFO>());
    VQXMediaLibSdpParse(s.c_str(), records.back().get(), 0, nullptr);
  }
  static char buf[0x10000];
  for (auto _ : st)
    for (const auto& r : records) {
      u16 len = sizeof buf - 1;
      benchmark::DoNotOptimize(VQXMediaLibSdpExpandedGenerate(r.get(), buf, &len, 0));
    }
}
void BM_GenerateSofia(benchmark::State& st) {
  su_home_t* home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
  std::vector<sdp_parser_t*> parsers;
  for (const std::string& s : Texts()) parsers.push_back(sdp_parse(home, s.data(), s.size(), sdp_f_anynet | sdp_f_c_missing));
  static char buf[0x10000];
  for (auto _ : st)
    for (sdp_parser_t* p : parsers) {
      sdp_printer_t* pr = sdp_print(home, sdp_session(p), buf, sizeof buf, 0);
      benchmark::DoNotOptimize(sdp_message(pr));
      sdp_printer_free(pr);
    }
  for (sdp_parser_t* p : parsers) sdp_parser_free(p);
  su_home_unref(home);
}
void BM_GenerateGst(benchmark::State& st) {
  std::vector<GstSDPMessage*> msgs;
  for (const std::string& s : Texts()) {
    msgs.push_back(nullptr);
    gst_sdp_message_new(&msgs.back());
    gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(s.data()), s.size(), msgs.back());
  }
  for (auto _ : st)
    for (GstSDPMessage* m : msgs) {
      gchar* t = gst_sdp_message_as_text(m);
      benchmark::DoNotOptimize(t);
      g_free(t);
    }
  for (GstSDPMessage* m : msgs) gst_sdp_message_free(m);
}

BENCHMARK(BM_ParseOurs);
BENCHMARK(BM_ParseSofia);
BENCHMARK(BM_ParseGst);
BENCHMARK(BM_GenerateOurs);
BENCHMARK(BM_GenerateSofia);
BENCHMARK(BM_GenerateGst);

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  gst_init(nullptr, nullptr);
  benchmark::Initialize(&argc, argv);
  Collector c;
  std::printf("corpus: %zu texts\n", Texts().size());
  benchmark::RunSpecifiedBenchmarks(&c);
  /* {faster of the two peers, ours, required peer time / our time} */
  const struct { const char *peer1, *peer2, *ours; double target; } ratios[] = {
      {"BM_ParseSofia", "BM_ParseGst", "BM_ParseOurs", 2.0},
      {"BM_GenerateSofia", "BM_GenerateGst", "BM_GenerateOurs", 1.0},
  };
  for (const auto& r : ratios) {
    if (!c.times.count(r.peer1) || !c.times.count(r.peer2) || !c.times.count(r.ours)) continue;
    const double x = std::min(c.times[r.peer1], c.times[r.peer2]) / c.times[r.ours];
    std::printf("ratio faster of %s, %s / %s = %.2fx (target >= %.2fx): %s\n", r.peer1, r.peer2, r.ours, x, r.target,
                x >= r.target ? "met" : "NOT MET");
  }
  benchmark::Shutdown();
  return 0;
}
