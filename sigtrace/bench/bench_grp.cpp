/*
 * bench_grp.cpp - records per second of the trace groups on one thread,
 * each against its baseline in the same run:
 *   - pcap SS7 records of 20 to 280 bytes into segment files (with their
 *     10 MiB rotation) vs fwrite of the same bytes vs libpcap's pcap_dump;
 *   - decoded text records of a Q.931 SETUP and an ISUP IAM, written to a
 *     text segment and decoded only.
 * Files go to a scratch directory under /tmp, removed afterwards.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <pcap/pcap.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "sigtrace_decode.h"
#include "sigtracegrp.h"

using namespace VQCAF;

namespace {

class CScratch {
 public:
  CScratch() {
    char ac[] = "/tmp/sigtrace_bench_XXXXXX";
    mstr = mkdtemp(ac);
    char acOld[4096];
    mstrOld = getcwd(acOld, sizeof(acOld));
    if (chdir(mstr.c_str()) != 0) abort();
  }
  ~CScratch() {
    if (chdir(mstrOld.c_str()) != 0) return;
    std::error_code ec;
    std::filesystem::remove_all(mstr, ec);
  }

 private:
  std::string mstr, mstrOld;
};

/* MTP2 frames of 20 to 280 bytes, cycled. */
std::vector<std::vector<u8>> Frames() {
  std::vector<std::vector<u8>> v;
  for (u32 n = 20; n <= 280; n += 20) {
    std::vector<u8> f(n);
    for (u32 i = 0; i < n; ++i) f[i] = static_cast<u8>(i * 7);
    f[2] = 0x3F;
    v.push_back(f);
  }
  return v;
}

void BM_GroupPcapSs7(benchmark::State& state) {
  CScratch dir;
  const auto vFrames = Frames();
  u64 un64Bytes = 0;
  {
    CVQSigTraceGrp g;
    g.mstrName = "bench";
    g.mun32Type = VQ_SIGTRACE_TYPE_SS7;
    g.mfPcap = 1;
    CVQSigTraceEntityParams e;
    size_t i = 0;
    for (auto _ : state) {
      const auto& f = vFrames[i++ % vFrames.size()];
      g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, static_cast<u32>(f.size()), f.data());
      un64Bytes += 20 + f.size();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(un64Bytes));
}
BENCHMARK(BM_GroupPcapSs7);

void BM_FwriteSameBytes(benchmark::State& state) {
  CScratch dir;
  const auto vFrames = Frames();
  FILE* pFile = fopen("fwrite.cap", "wb");
  u8 aun8Header[24] = {0xA1, 0xB2, 0xC3, 0xD4};
  fwrite(aun8Header, 1, sizeof(aun8Header), pFile);
  u64 un64Bytes = 0;
  size_t i = 0;
  for (auto _ : state) {
    const auto& f = vFrames[i++ % vFrames.size()];
    u8 aun8Record[20] = {};
    aun8Record[11] = static_cast<u8>(f.size() + 4);
    aun8Record[15] = static_cast<u8>(f.size() + 4);
    fwrite(aun8Record, 1, sizeof(aun8Record), pFile);
    fwrite(f.data(), 1, f.size(), pFile);
    un64Bytes += 20 + f.size();
  }
  fclose(pFile);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(un64Bytes));
}
BENCHMARK(BM_FwriteSameBytes);

void BM_LibpcapDump(benchmark::State& state) {
  CScratch dir;
  const auto vFrames = Frames();
  pcap_t* pDead = pcap_open_dead(DLT_MTP2_WITH_PHDR, 65535);
  pcap_dumper_t* pDumper = pcap_dump_open(pDead, "libpcap.cap");
  std::vector<u8> vBuf(300);
  u64 un64Bytes = 0;
  size_t i = 0;
  for (auto _ : state) {
    const auto& f = vFrames[i++ % vFrames.size()];
    pcap_pkthdr hdr{};
    gettimeofday(&hdr.ts, nullptr);
    hdr.caplen = hdr.len = static_cast<bpf_u_int32>(f.size() + 4);
    vBuf[0] = 0;
    vBuf[1] = 0;
    vBuf[2] = 0;
    vBuf[3] = 1;
    memcpy(vBuf.data() + 4, f.data(), f.size());
    pcap_dump(reinterpret_cast<u_char*>(pDumper), &hdr, vBuf.data());
    un64Bytes += 20 + f.size();
  }
  pcap_dump_close(pDumper);
  pcap_close(pDead);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(un64Bytes));
}
BENCHMARK(BM_LibpcapDump);

const std::vector<u8> kSetup = {0x00, 0x01, 0x02, 0x04, 0x08, 0x02, 0x00, 0x05, 0x05, 0xA1, 0x04, 0x03, 0x80, 0x90, 0xA3,
                                0x18, 0x03, 0xA9, 0x83, 0x81, 0x1E, 0x02, 0x81, 0x83, 0x6C, 0x06, 0x21, 0x81, 0x31, 0x32,
                                0x33, 0x34, 0x70, 0x05, 0x81, 0x35, 0x36, 0x2A, 0x37, 0x7D, 0x02, 0x91, 0x81};
const std::vector<u8> kIam = {0x10, 0x20, 0x3F, 0x85, 0x23, 0x41, 0x12, 0x50, 0x01, 0x00, 0x01, 0x00, 0x60, 0x01, 0x0A,
                              0x00, 0x02, 0x08, 0x06, 0x83, 0x90, 0x21, 0x43, 0x65, 0x07, 0x0A, 0x06, 0x03, 0x13, 0x21,
                              0x43, 0x65, 0x87, 0x00};

void BM_TextQ931SetupRecord(benchmark::State& state) {
  CScratch dir;
  {
    CVQSigTraceGrp g;
    g.mstrName = "q931";
    g.mun32Type = VQ_SIGTRACE_TYPE_ISDN;
    CVQSigTraceEntityParams e;
    e.mstrName = "E1_0:D";
    for (auto _ : state) g.WriteIsdnPacketData(e, 0, 0, static_cast<u32>(kSetup.size()), kSetup.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextQ931SetupRecord);

void BM_TextIsupIamRecord(benchmark::State& state) {
  CScratch dir;
  {
    CVQSigTraceGrp g;
    g.mstrName = "isup";
    g.mun32Type = VQ_SIGTRACE_TYPE_SS7;
    CVQSigTraceEntityParams e;
    e.mstrName = "LINK_0";
    for (auto _ : state) g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, static_cast<u32>(kIam.size()), kIam.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextIsupIamRecord);

void BM_DecodeOnlyQ931Setup(benchmark::State& state) {
  CVQSigTraceText text;
  for (auto _ : state) {
    text.Clear();
    VqSigTraceDecodeQ921(text, CVQSigTraceCursor(kSetup.data(), static_cast<u32>(kSetup.size())));
    benchmark::DoNotOptimize(text.Str().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeOnlyQ931Setup);

void BM_DecodeOnlyIsupIam(benchmark::State& state) {
  CVQSigTraceText text;
  for (auto _ : state) {
    text.Clear();
    VqSigTraceDecodeSs7(text, 1, 2, 0, CVQSigTraceCursor(kIam.data(), static_cast<u32>(kIam.size())));
    benchmark::DoNotOptimize(text.Str().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeOnlyIsupIam);

}  // namespace

BENCHMARK_MAIN();
