/*
 * Benchmarks of the compact blob, run in one process so that the ratios are
 * measured on the same machine at the same time:
 *  - packing and unpacking a realistic description (audio PCMU, PCMA, G.729
 *    and telephone-event, video H.264, two connections) against carrying the
 *    expanded record instead (two copies of 10416 bytes, into a message and
 *    out): target at least half its rate;
 *  - VQXSDPInfoCompare of two equal blobs against a public SDP library's
 *    session comparison of the same description parsed: target at least as
 *    fast.
 * The ratios are printed after the table ("met" / "NOT MET").
 */
#include <benchmark/benchmark.h>
#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "vqx_media.h"

namespace {

const char kSdp[] =
    "v=0\r\no=- 1122334455 2 IN IP4 192.0.2.10\r\ns=-\r\nc=IN IP4 192.0.2.10\r\nt=0 0\r\n"
    "m=audio 49170 RTP/AVP 0 8 18 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=yes\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n"
    "a=ptime:20\r\na=sendrecv\r\n"
    "m=video 49172 RTP/AVP 96\r\nc=IN IP4 192.0.2.11\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 profile-level-id=42e01f\r\na=sendrecv\r\n";

/* The same description as a record, built through the library's calls. */
_VQX_SDP_INFO* MakeRecord() {
  auto* r = new _VQX_SDP_INFO;
  std::memset(r, 0, sizeof *r);
  _VQX_SDP_CONNECTION session{"192.0.2.10", 1, 0, 0, {}}, video{"192.0.2.11", 1, 0, 0, {}};
  VQXMediaLibSdpSessionConnectionAdd(r, &session);
  auto cap = [](u32 type, u32 pt) {
    _VQX_MEDIA_CAP c{};
    c.Direction = VQX_MEDIA_DIR_SEND_RECV;
    c.Transport.Type = VQX_MEDIA_TRANSPORT_RTP;
    c.Transport.Rtp = {pt, 1, 20};
    c.Encoding.MediaType = type;
    return c;
  };
  _VQX_SIMULTANEOUS_CAP* d = nullptr;
  VQXMediaLibMediaDescCreate(r, &d);
  d->un16Port = 49170;
  _VQX_MEDIA_CAP g729 = cap(VQX_MEDIA_TYPE_G729AB, 18), te = cap(VQX_MEDIA_TYPE_TELEPHONE_EVENT, 101);
  g729.Encoding.aun8Params[0] = 1;
  te.Encoding.Events.un16ClockRate = 8000;
  te.Encoding.Events.aun32Events[0] = 0xFFFF;
  for (const _VQX_MEDIA_CAP& c : {cap(VQX_MEDIA_TYPE_PCMU, 0), cap(VQX_MEDIA_TYPE_PCMA, 8), g729, te})
    VQXMediaLibMediaDescCapabilityAdd(r, d, &c);
  VQXMediaLibMediaDescCreate(r, &d);
  d->un16Port = 49172;
  _VQX_MEDIA_CAP h264 = cap(VQX_MEDIA_TYPE_H264, 96);
  h264.Encoding.H264 = {0xFFFF, 0xe0, 0x1f};
  VQXMediaLibMediaDescCapabilityAdd(r, d, &h264);
  VQXMediaLibMediaDescConnectionAdd(r, d, &video);
  return r;
}

void BM_CarryExpanded(benchmark::State& state) {
  _VQX_SDP_INFO *r = MakeRecord(), *out = new _VQX_SDP_INFO;
  std::vector<u64> message(sizeof *r / 8 + 11);
  for (auto _ : state) {
    std::memcpy(message.data() + 11, r, sizeof *r); /* after an 88-byte header */
    benchmark::ClobberMemory();
    std::memcpy(out, message.data() + 11, sizeof *out);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
  delete r;
  delete out;
}

void BM_PackUnpack(benchmark::State& state) {
  _VQX_SDP_INFO *r = MakeRecord(), *out = new _VQX_SDP_INFO;
  std::vector<u32> blob(512);
  auto* p = reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(blob.data());
  for (auto _ : state) {
    if (VQXMediaLibSdpInfoCompact(r, 2048, p) != VQX_RESULT_OK || VQXMediaLibSdpInfoExpand(p, out) != VQX_RESULT_OK)
      state.SkipWithError("pack or unpack failed");
    benchmark::DoNotOptimize(out);
  }
  state.counters["blob_bytes"] = p->un32Size;
  state.SetItemsProcessed(state.iterations());
  delete r;
  delete out;
}

/* range(0) 1: the buffers held different bytes before packing, so the blobs
 * differ in their unwritten bytes and the comparison walks them field by field. */
void BM_CompareBlobs(benchmark::State& state) {
  _VQX_SDP_INFO* r = MakeRecord();
  std::vector<u32> a(512, 0), b(512, state.range(0) ? 0xFFFFFFFFu : 0);
  VQXMediaLibSdpInfoCompact(r, 2048, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(a.data()));
  VQXMediaLibSdpInfoCompact(r, 2048, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(b.data()));
  for (auto _ : state)
    if (!VQXSDPInfoCompare(a.data(), b.data())) state.SkipWithError("blobs differ");
  state.SetItemsProcessed(state.iterations());
  delete r;
}

void BM_SofiaSessionCmp(benchmark::State& state) {
  su_home_t* home = static_cast<su_home_t*>(su_home_new(sizeof(su_home_t)));
  sdp_parser_t *pa = sdp_parse(home, kSdp, sizeof kSdp - 1, 0), *pb = sdp_parse(home, kSdp, sizeof kSdp - 1, 0);
  sdp_session_t *a = sdp_session(pa), *b = sdp_session(pb);
  if (a == nullptr || b == nullptr) state.SkipWithError("parse failed");
  for (auto _ : state)
    if (sdp_session_cmp(a, b) != 0) state.SkipWithError("sessions differ");
  state.SetItemsProcessed(state.iterations());
  sdp_parser_free(pa);
  sdp_parser_free(pb);
  su_home_unref(home);
}

BENCHMARK(BM_CarryExpanded);
BENCHMARK(BM_PackUnpack);
BENCHMARK(BM_CompareBlobs)->Arg(0)->Arg(1);
BENCHMARK(BM_SofiaSessionCmp);

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
  benchmark::Initialize(&argc, argv);
  Collector c;
  benchmark::RunSpecifiedBenchmarks(&c);
  /* {baseline, candidate, required baseline time / candidate time} */
  const struct { const char *base, *cand; double target; } ratios[] = {
      {"BM_CarryExpanded", "BM_PackUnpack", 0.5},
      {"BM_SofiaSessionCmp", "BM_CompareBlobs/0", 1.0},
      {"BM_SofiaSessionCmp", "BM_CompareBlobs/1", 1.0},
  };
  for (const auto& r : ratios) {
    if (!c.times.count(r.base) || !c.times.count(r.cand)) continue;
    const double x = c.times[r.base] / c.times[r.cand];
    std::printf("ratio %s / %s = %.2fx (target >= %.2fx): %s\n", r.base, r.cand, x, r.target,
                x >= r.target ? "met" : "NOT MET");
  }
  benchmark::Shutdown();
  return 0;
}
