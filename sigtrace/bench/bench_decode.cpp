/*
 * bench_decode.cpp - decoded text per unit against `tshark -V` on the same
 * units, in the same run: a Q.931 SETUP on LAPD, an ISUP IAM and an SCCP
 * UDT on MTP2 (ITU, 14-bit point codes). tshark finds none of them
 * malformed (the UDT's subsystems, 254, have no dissector of their own).
 *
 * tshark's cost per unit is its processor time (user + system, read from
 * the children's usage) for a file of 1 + kun32Units units less that for a
 * file of one unit, over kun32Units: its start-up is left out, so the ratio is
 * per-unit work against per-unit work. Ours is the processor time of the
 * decode alone, and that of the whole text record path: the unit written by
 * a text group (prefix line, decode, its segment file with rotations), as the
 * server writes it, on the benchmark's thread. Processor time against
 * processor time, so that a loaded machine, which stretches wall time, leaves
 * the ratio as it is. Files go to a scratch directory under /tmp, removed
 * afterwards (closed segments between batches, untimed).
 */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <pcap/pcap.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "bench_ratio.h"
#include "bench_scratch.h"
#include "sigtrace_decode.h"
#include "sigtracegrp.h"

using namespace VQCAF;

namespace {

constexpr u32 kun32Units = 20000;
constexpr int kDltMtp2WithPhdr = 139;
constexpr int kDltLapd = 203; /* LAPD from the address field, no pseudo-header */

struct SUnit {
  const char* pszName;
  int nLinkType;
  std::vector<u8> vPseudo; /* in front of the unit in the capture file only */
  std::vector<u8> vUnit;
  bool fSs7;
};

const SUnit kSetup = {"Q931Setup", kDltLapd, {},
                      {0x00, 0x01, 0x02, 0x04, 0x08, 0x02, 0x00, 0x05, 0x05, 0xA1, 0x04, 0x03, 0x80, 0x90, 0xA3,
                       0x18, 0x03, 0xA9, 0x83, 0x81, 0x1E, 0x02, 0x81, 0x83, 0x6C, 0x06, 0x21, 0x81, 0x31, 0x32,
                       0x33, 0x34, 0x70, 0x05, 0x81, 0x35, 0x36, 0x2A, 0x37, 0x7D, 0x02, 0x91, 0x81},
                      false};
const SUnit kIam = {"IsupIam", kDltMtp2WithPhdr, {0, 0, 0, 1},
                    {0x10, 0x20, 0x3F, 0x85, 0x23, 0x41, 0x12, 0x50, 0x01, 0x00, 0x01, 0x00, 0x60, 0x01, 0x0A,
                     0x00, 0x02, 0x08, 0x06, 0x83, 0x90, 0x21, 0x43, 0x65, 0x07, 0x0A, 0x06, 0x03, 0x13, 0x21,
                     0x43, 0x65, 0x87, 0x00},
                    true};
const SUnit kUdt = {"SccpUdt", kDltMtp2WithPhdr, {0, 0, 0, 1},
                    {0x10, 0x20, 0x3F, 0x83, 0x23, 0x41, 0x12, 0x50, 0x09, 0x81, 0x03, 0x07, 0x0B, 0x04, 0x43,
                     0x01, 0x00, 0xFE, 0x04, 0x43, 0x02, 0x00, 0xFE, 0x03, 0xAA, 0xBB, 0xCC},
                    true};

void Decode(CVQSigTraceText& text, const SUnit& u) {
  const CVQSigTraceCursor cur(u.vUnit.data(), static_cast<u32>(u.vUnit.size()));
  if (u.fSs7) VqSigTraceDecodeSs7(text, 1, 2, 0, cur); /* ITU, 14-bit point codes */
  else VqSigTraceDecodeQ921(text, cur);
}

void BM_Decode(benchmark::State& state, const SUnit& u) {
  CVQSigTraceText text;
  for (auto _ : state) {
    text.Clear();
    Decode(text, u);
    benchmark::DoNotOptimize(text.Str().data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TextRecord(benchmark::State& state, const SUnit& u) {
  constexpr u32 kun32Batch = 4096;
  CSigTraceBenchScratch dir;
  {
    CVQSigTraceGrp g;
    g.mstrName = u.pszName;
    g.mun32Type = u.fSs7 ? VQ_SIGTRACE_TYPE_SS7 : VQ_SIGTRACE_TYPE_ISDN;
    CVQSigTraceEntityParams e;
    e.mstrName = "LINK_0";
    const u32 un32Size = static_cast<u32>(u.vUnit.size());
    u32 n = 0;
    for (auto _ : state) {
      if (u.fSs7) g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, un32Size, u.vUnit.data()); /* ITU, 14-bit point codes */
      else g.WriteIsdnPacketData(e, 0, 0, un32Size, u.vUnit.data());
      if (++n % kun32Batch == 0) {
        state.PauseTiming();
        CSigTraceBenchScratch::RemoveAllBut({g.mstrCurrentFile.c_str()});
        state.ResumeTiming();
      }
    }
    if (g.mun32LostCount != 0) state.SkipWithError("records lost");
  }
  state.SetItemsProcessed(state.iterations());
}

/* A capture file of un32Count copies of the unit. */
bool WriteCapture(const std::string& strPath, const SUnit& u, u32 un32Count) {
  pcap_t* pDead = pcap_open_dead(u.nLinkType, 65535);
  if (pDead == nullptr) return false;
  pcap_dumper_t* pDumper = pcap_dump_open(pDead, strPath.c_str());
  if (pDumper == nullptr) {
    pcap_close(pDead);
    return false;
  }
  std::vector<u8> vRecord(u.vPseudo);
  vRecord.insert(vRecord.end(), u.vUnit.begin(), u.vUnit.end());
  pcap_pkthdr hdr{};
  hdr.caplen = hdr.len = static_cast<bpf_u_int32>(vRecord.size());
  for (u32 i = 0; i < un32Count; ++i) {
    hdr.ts.tv_sec = static_cast<time_t>(i);
    pcap_dump(reinterpret_cast<u_char*>(pDumper), &hdr, vRecord.data());
  }
  pcap_dump_close(pDumper);
  pcap_close(pDead);
  return true;
}

double ChildrenCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* tshark's CPU seconds to print one file verbosely, or a negative value. */
double TsharkCpu(const std::string& strPath) {
  const double d0 = ChildrenCpuSeconds();
  const std::string strCmd = "tshark -n -V -r '" + strPath + "' > /dev/null 2>&1";
  if (system(strCmd.c_str()) != 0) return -1;
  return ChildrenCpuSeconds() - d0;
}

void BM_TsharkVerbose(benchmark::State& state, const SUnit& u) {
  if (system("which tshark > /dev/null 2>&1") != 0) {
    state.SkipWithError("tshark is not on the PATH");
    return;
  }
  char acDir[] = "/tmp/sigtrace_bench_decode_XXXXXX";
  if (mkdtemp(acDir) == nullptr) {
    state.SkipWithError("no scratch directory");
    return;
  }
  const std::string strOne = std::string(acDir) + "/one.cap", strMany = std::string(acDir) + "/many.cap";
  if (!WriteCapture(strOne, u, 1) || !WriteCapture(strMany, u, 1 + kun32Units)) {
    state.SkipWithError("capture file not written");
  } else {
    for (auto _ : state) {
      const double dOne = TsharkCpu(strOne), dMany = TsharkCpu(strMany);
      if (dOne < 0 || dMany < 0) {
        state.SkipWithError("tshark failed");
        break;
      }
      state.SetIterationTime((dMany - dOne) / kun32Units);
    }
    state.SetItemsProcessed(state.iterations());
  }
  std::error_code ec;
  std::filesystem::remove_all(acDir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<VqxBenchRatio> vRatios;
  std::vector<std::string> vNames; /* the ratio rows point into these */
  vNames.reserve(9);
  for (const SUnit* p : {&kSetup, &kIam, &kUdt}) {
    const std::string strDecode = std::string("BM_Decode") + p->pszName;
    const std::string strRecord = std::string("BM_TextRecord") + p->pszName;
    const std::string strTshark = std::string("BM_TsharkVerbose") + p->pszName;
    benchmark::RegisterBenchmark(strDecode.c_str(), BM_Decode, *p);
    benchmark::RegisterBenchmark(strRecord.c_str(), BM_TextRecord, *p);
    benchmark::RegisterBenchmark(strTshark.c_str(), BM_TsharkVerbose, *p)->Iterations(3)->UseManualTime();
    vNames.push_back(strTshark + "/iterations:3/manual_time");
    vNames.push_back(strDecode);
    vNames.push_back(strRecord);
    const char* pszTshark = vNames[vNames.size() - 3].c_str();
    vRatios.push_back({pszTshark, vNames[vNames.size() - 2].c_str(), 10.0, true});
    vRatios.push_back({pszTshark, vNames.back().c_str(), 10.0, true});
  }
  return VqxBenchRunWithRatios(argc, argv, vRatios);
}
