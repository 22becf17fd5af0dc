/*
 * bench_grp.cpp - records per second of the trace groups on one thread,
 * each against its baseline in the same run:
 *   - pcap SS7 records of 20 to 280 bytes into segment files (with their
 *     10 MiB rotation) vs fwrite of the same bytes vs libpcap's pcap_dump,
 *     and paired in the same iterations against the real limit: fwrite
 *     through a 64 KiB buffer of the same records with the same time
 *     stamps, one clock read per record, rotated at the same size;
 *   - decoded text records of a Q.931 SETUP, an ISUP IAM and the stand-in
 *     boards' 16-octet SS7 units, written to a text segment, the first two
 *     also decoded only, and the SETUP's records paired against their
 *     floor: the same decode and bytes through a 64 KiB fwrite;
 *   - one SS7 unit through the application's dispatch to its entity's group,
 *     with 32 boards of 128 links each attached and the unit for the last
 *     link of the last board, paired against the same unit with one board of
 *     one link: what finding the entity costs as the links grow.
 * Files go to a scratch directory under /tmp, removed afterwards.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <pcap/pcap.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "bench_ratio.h"
#include "bench_scratch.h"
#include "sigtrace_app.h"
#include "sigtrace_decode.h"
#include "sigtracegrp.h"
#include "vqcaflog.h"

using namespace VQCAF;

namespace {

using CScratch = CSigTraceBenchScratch;

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

/* The floor of a group's records: the same bytes through stdio with a
 * 64 KiB buffer, in segments ("fwrite64k_NNN.<ext>", each opening with the
 * file header given) rotated past the group's size. */
class CFwritePeer {
 public:
  CFwritePeer(const char* pszExt, std::string_view header) : mpszExt(pszExt), mstrHeader(header) { Open(); }
  ~CFwritePeer() {
    if (mpFile) fclose(mpFile);
  }
  const std::string& CurrentPath() const { return mstrPath; }
  /* One record of these two parts. */
  void Write(const void* pv1, size_t un64Size1, const void* pv2, size_t un64Size2) {
    if (mun64Size > CVQSigTraceGrp::kun64RotationSize) Open();
    fwrite(pv1, 1, un64Size1, mpFile);
    fwrite(pv2, 1, un64Size2, mpFile);
    mun64Size += un64Size1 + un64Size2;
  }

 private:
  void Open() {
    if (mpFile) fclose(mpFile);
    char ac[64];
    snprintf(ac, sizeof(ac), "fwrite64k_%03u.%s", mun32Segment++, mpszExt);
    mstrPath = ac;
    mpFile = fopen(ac, "wb");
    if (mpFile == nullptr || setvbuf(mpFile, nullptr, _IOFBF, 64 * 1024) != 0) abort();
    fwrite(mstrHeader.data(), 1, mstrHeader.size(), mpFile);
    mun64Size = mstrHeader.size();
  }
  const char* mpszExt;
  std::string mstrHeader;
  FILE* mpFile = nullptr;
  std::string mstrPath;
  u64 mun64Size = 0;
  u32 mun32Segment = 0;
};

void PutBe32(u8* p, u32 x) {
  p[0] = static_cast<u8>(x >> 24);
  p[1] = static_cast<u8>(x >> 16);
  p[2] = static_cast<u8>(x >> 8);
  p[3] = static_cast<u8>(x);
}

/* The pcap peer's record: big-endian record header with a time stamp read
 * per record, MTP2 pseudo-header, frame. */
void WritePcapPeer(CFwritePeer& peer, const std::vector<u8>& f) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  u8 aun8Record[20];
  PutBe32(aun8Record + 0, static_cast<u32>(tv.tv_sec));
  PutBe32(aun8Record + 4, static_cast<u32>(tv.tv_usec));
  PutBe32(aun8Record + 8, static_cast<u32>(f.size() + 4));
  PutBe32(aun8Record + 12, static_cast<u32>(f.size() + 4));
  aun8Record[16] = 0;
  aun8Record[17] = 0;
  aun8Record[18] = 0;
  aun8Record[19] = 1;
  peer.Write(aun8Record, sizeof(aun8Record), f.data(), f.size());
}

constexpr u8 kaun8PcapMtp2Header[24] = {0xA1, 0xB2, 0xC3, 0xD4, 0, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 139};

void BM_PairedGroupPcapVsFwrite64K(benchmark::State& state) {
  CScratch dir;
  const auto vFrames = Frames();
  {
    CVQSigTraceGrp g;
    g.mstrName = "paired";
    g.mun32Type = VQ_SIGTRACE_TYPE_SS7;
    g.mfPcap = 1;
    CVQSigTraceEntityParams e;
    CFwritePeer peer("cap", std::string_view(reinterpret_cast<const char*>(kaun8PcapMtp2Header), sizeof(kaun8PcapMtp2Header)));
    size_t iGroup = 0, iPeer = 0;
    VqxBenchPaired(
        state, 4096,
        [&](int) {
          const auto& f = vFrames[iGroup++ % vFrames.size()];
          g.WriteSs7PacketData(e, 1, 0, 1, 2, 0, static_cast<u32>(f.size()), f.data());
        },
        [&](int) { WritePcapPeer(peer, vFrames[iPeer++ % vFrames.size()]); },
        /* Closed segments of both sides go between batches, untimed. */
        [&] { CScratch::RemoveAllBut({peer.CurrentPath(), g.mstrCurrentFile.c_str()}); });
  }
  state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_PairedGroupPcapVsFwrite64K);

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

/* A text group of this type and the entity its records name. */
struct STextGroup {
  CVQSigTraceGrp g;
  CVQSigTraceEntityParams e;
  STextGroup(const char* pszName, u32 un32Type, const char* pszEntity) {
    g.mstrName = pszName;
    g.mun32Type = un32Type;
    e.mstrName = pszEntity;
  }
};

void BM_TextQ931SetupRecord(benchmark::State& state) {
  CScratch dir;
  {
    STextGroup t("q931", VQ_SIGTRACE_TYPE_ISDN, "E1_0:D");
    for (auto _ : state) t.g.WriteIsdnPacketData(t.e, 0, 0, static_cast<u32>(kSetup.size()), kSetup.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextQ931SetupRecord);

void BM_TextIsupIamRecord(benchmark::State& state) {
  CScratch dir;
  {
    STextGroup t("isup", VQ_SIGTRACE_TYPE_SS7, "LINK_0");
    for (auto _ : state) t.g.WriteSs7PacketData(t.e, 1, 0, 1, 2, 0, static_cast<u32>(kIam.size()), kIam.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextIsupIamRecord);

/* Text records of the stand-in boards' SS7 units (16 octets, octet i of
 * unit n is n + i, the boards' 14-bit point codes as the application hands
 * them to the group): the text group's share of the end-to-end text run,
 * per unit. */
void BM_TextSs7BoardUnits(benchmark::State& state) {
  CScratch dir;
  std::vector<std::vector<u8>> vUnits(256, std::vector<u8>(16));
  for (u32 n = 0; n < vUnits.size(); ++n) {
    for (u32 i = 0; i < 16; ++i) vUnits[n][i] = static_cast<u8>(n + i);
  }
  {
    STextGroup t("board", VQ_SIGTRACE_TYPE_SS7, "LINK");
    u32 n = 0;
    for (auto _ : state) {
      const std::vector<u8>& v = vUnits[n++ % vUnits.size()];
      t.g.WriteSs7PacketData(t.e, 1, 0, 1, VQ_SS7_PC_LENGTH_14, 0, static_cast<u32>(v.size()), v.data());
      if (n % 65536 == 0) {
        state.PauseTiming();
        CScratch::RemoveAllBut({t.g.mstrCurrentFile.c_str()});
        state.ResumeTiming();
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextSs7BoardUnits);

/* The text path against its floor, paired in the same iterations: Q.931
 * SETUP records written by a text group, and the same unit decoded into a
 * reused text and written with a prefix line of the group's length (the
 * clock read per record) through a 64 KiB stdio buffer. */
void BM_PairedGroupTextVsFwrite64K(benchmark::State& state) {
  CScratch dir;
  {
    STextGroup t("paired", VQ_SIGTRACE_TYPE_ISDN, "E1_0:D");
    CFwritePeer peer("log", "// Creation date: 2026-03-04 06:06:07+0100\n// Group name: paired, type: ISDN\n\n\n\n");
    const std::string strPrefix = "2026-03-04_06:06:07.089+0100  // " + std::string(34, ' ') + "E1_0:D <-----  length=" +
                                  std::to_string(kSetup.size()) + "\n";
    CVQSigTraceText text;
    const CVQSigTraceCursor unit(kSetup.data(), static_cast<u32>(kSetup.size()));
    VqxBenchPaired(
        state, 1024, [&](int) { t.g.WriteIsdnPacketData(t.e, 0, 0, static_cast<u32>(kSetup.size()), kSetup.data()); },
        [&](int) {
          timeval tv{};
          gettimeofday(&tv, nullptr);
          benchmark::DoNotOptimize(tv);
          text.Clear();
          VqSigTraceDecodeQ921(text, unit);
          peer.Write(strPrefix.data(), strPrefix.size(), text.Str().data(), text.Str().size());
        },
        [&] { CScratch::RemoveAllBut({peer.CurrentPath(), t.g.mstrCurrentFile.c_str()}); });
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PairedGroupTextVsFwrite64K);

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

/* An application without a framework, un32Boards boards (handles 1, 2, ...)
 * of un32Links SS7 links each (trunk l / 32, timeslot l % 32), each board's
 * links in a group of its own, and one SS7 unit (16 data bytes) from the
 * last board for its last link. */
class CUnitRouting {
 public:
  CUnitRouting(const char* pszPrefix, u32 un32Boards, u32 un32Links) : mApp(mCmdLine) {
    for (u32 b = 1; b <= un32Boards; b++) {
      char szBoard[32], szGroup[48];
      snprintf(szBoard, sizeof(szBoard), "%s%02u", pszPrefix, b);
      snprintf(szGroup, sizeof(szGroup), "%s_SS7", szBoard);
      std::vector<u8> vAdded(424);
      memcpy(&vAdded[VQ_SIGTRACE_NOTIF_OFFSET_NAME], szBoard, strlen(szBoard));
      memcpy(&vAdded[VQ_SIGTRACE_NOTIF_OFFSET_HANDLE], &b, 4);
      mApp.DispatchMsg(Msg(VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, vAdded, 0).data()); /* no framework: the board's thread stays off */
      CVQSigTraceAdapter* pAdapter = mApp.mAdapters.Find(CVQCAFHashKeyString(szBoard));
      for (u32 l = 0; l < un32Links && pAdapter != nullptr; l++) {
        CVQSigTraceEntityParams E;
        E.mun32Type = VQ_SIGTRACE_TYPE_SS7, E.mstrGroupName = szGroup, E.mfCapFile = 1;
        E.mun32Trunk = l / 32, E.mun32TimeslotMask = 1u << (l % 32);
        E.mstrName.Format("link_%u", l);
        if (VQX_RESULT_FAILED(mApp.AttachEntityToGroup(*pAdapter, E))) abort();
      }
      mpLastGroup = mApp.mGroups.Find(CVQCAFHashKeyString(szGroup));
    }
    const u32 un32Last = un32Links - 1;
    const u32 aun32Words[] = {0, 0, 1, 1, 1, 16, un32Last / 32, 1u << (un32Last % 32), 0xFF, 0, 1, 14};
    std::vector<u8> vUnit(0x30 + 16);
    memcpy(vUnit.data(), aun32Words, sizeof(aun32Words));
    for (u32 i = 0; i < 16; i++) vUnit[0x30 + i] = static_cast<u8>(0x80 + i);
    mvUnit = Msg(0x04210031u, vUnit, un32Boards);
  }
  /* 0x02000000 when the unit was written by the last board's group. */
  u32 Dispatch() { return mApp.DispatchMsg(mvUnit.data()); }
  const char* CurrentFile() const { return mpLastGroup != nullptr ? mpLastGroup->mstrCurrentFile.c_str() : ""; }

 private:
  /* The message as the main loop receives it: header, then payload. */
  static std::vector<u32> Msg(u32 un32Id, const std::vector<u8>& vPayload, u32 hAdapter) {
    std::vector<u32> v((VQX_MSG_HEADER_SIZE + vPayload.size()) / 4 + 1);
    auto* h = reinterpret_cast<VQX_MSG_HEADER*>(v.data());
    h->un32MsgId = un32Id, h->un32PayloadStart = VQX_MSG_HEADER_SIZE, h->hAdapter = hAdapter;
    h->un32PayloadLength = static_cast<u32>(vPayload.size());
    h->un32Length = VQX_MSG_HEADER_SIZE + h->un32PayloadLength;
    memcpy(reinterpret_cast<u8*>(v.data()) + VQX_MSG_HEADER_SIZE, vPayload.data(), vPayload.size());
    return v;
  }
  CVQSigTraceCfgCmdLine mCmdLine;
  CVQSigTrace mApp;
  CVQSigTraceGrp* mpLastGroup = nullptr;
  std::vector<u32> mvUnit;
};

void BM_PairedUnitManyLinksVsOneLink(benchmark::State& state) {
  CScratch dir;
  /* The set-up's lines (4096 entities, boards without a framework) are not the point. */
  u32 aun32Levels[VQCAF_SUBMODULE_COUNT];
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) {
    aun32Levels[i] = GetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i));
    SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), 0xFFFFFFFFu);
  }
  {
    CUnitRouting Many("M", 32, 128), One("O", 1, 1);
    if (Many.Dispatch() != VQX_RESULT_OK || One.Dispatch() != VQX_RESULT_OK) state.SkipWithError("unit not written");
    VqxBenchPaired(
        state, 4096, [&](int) { Many.Dispatch(); }, [&](int) { One.Dispatch(); },
        [&] { CScratch::RemoveAllBut({Many.CurrentFile(), One.CurrentFile()}); });
  }
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), aun32Levels[i]);
  state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_PairedUnitManyLinksVsOneLink);

}  // namespace

int main(int argc, char** argv) {
  /* The group's pcap and text records cost at most 1/0.9 of the 64 KiB fwrite
   * floor; a unit among 4096 links costs what it costs with one link (within 20%). */
  return VqxBenchRunWithRatios(argc, argv, {}, {},
                               {{"BM_PairedGroupPcapVsFwrite64K", 1.0 / 0.9},
                                {"BM_PairedGroupTextVsFwrite64K", 1.0 / 0.9},
                                {"BM_PairedUnitManyLinksVsOneLink", 1.2}});
}
