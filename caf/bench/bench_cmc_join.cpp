// Leg join records and the leg's message callback.
// JoinRecords: Alloc + Find + Destroy of one leg-leg join record while the pool holds 80,200 others,
// beside the same three steps on a std::unordered_map of std::shared_ptr under a std::mutex holding as
// many: the target is at least half the map's rate.
// MixerJoins/N: MixerSetJoined + MixerSetUnjoined of one leg on a mixer that has N other legs joined
// (100 and 10,000): the target is at most 1.5 times the time at 100 per join at 10,000, and at least
// half the rate of JoinRecords.
// LegCallback: VQCmcHandleLegCb with an accept-call response (dispatch, callback, listener routing,
// release), beside the floor of allocating the same host buffer, reading its result word and releasing
// it: the target is at most twice the floor's time.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcafmutex.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"

using namespace VQCAF;

namespace {

constexpr u32 kLegs = 401;  // every pair joined: 80,200 records
constexpr u32 kFirstId = 0x1000;

struct BenchLeg : CVQCMCLeg {
  explicit BenchLeg(u32 un32Id)
      : CVQCMCLeg(un32Id, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                  VQCMC_CALL_LEG_STATE_INCOMING, 0, nullptr) {}
};

struct Setup {
  VQX_LIB_HANDLE hLib = nullptr;
  VQCMC_LIB_HANDLE hCmc = nullptr;
  std::vector<BenchLeg*> apLegs;
  BenchLeg* pX = nullptr;
  BenchLeg* pY = nullptr;
};

Setup& Prepared() {
  static Setup s = [] {
    Setup S;
    alignas(16) static char acGlobals[16];
    SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
    SetSubModTraceLevel(VQCAF_SUBMODULE_COMM, VQDIS);
    SetSubModTraceLevel(VQCAF_SUBMODULE_CALL, VQDIS);
    CVQCAFCommParams Params;
    Params.mun32HostLibTraceLevel = 0x7FFFFFFF;
    CVQCAFComm::Init(Params);
    S.hLib = CVQCAFComm::GetHostLibInstance();
    _VQCMC_LIB_PARAMS p{};
    p.hVqxLib = S.hLib;
    p.Callback.pFctCallback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
    p.Threads.un32NbThread = 1;
    p.un32LibId = 7778;
    VQCmcLibOpen(&p, &S.hCmc);
    CVQCMCLib::TestInstall(S.hCmc);  // makes the join pools (81,920 leg-leg records)
    for (u32 i = 0; i < kLegs; i++) S.apLegs.push_back(new BenchLeg(kFirstId + i));
    for (u32 i = 0; i < kLegs; i++) {
      for (u32 j = i + 1; j < kLegs; j++) CVQCMCLegJoinedLeg::Alloc(S.apLegs[i], S.apLegs[j], nullptr);
    }
    S.pX = new BenchLeg(0x9000);
    S.pY = new BenchLeg(0x9001);
    return S;
  }();
  return s;
}

void JoinRecords(benchmark::State& State) {
  Setup& S = Prepared();
  if (CVQCMCLegJoinedLeg::GetCount() != kLegs * (kLegs - 1) / 2) State.SkipWithError("pool not filled");
  for (auto _ : State) {
    CVQCAFPtr<CVQCMCLegJoinedLeg> p = CVQCMCLegJoinedLeg::Alloc(S.pX, S.pY, nullptr);
    CVQCAFPtr<CVQCMCLegJoinedLeg> q = CVQCMCLegJoinedLeg::Find(0x9001, 0x9000);
    benchmark::DoNotOptimize(q.Get());
    p.Release();
    q.Release();
    CVQCMCLegJoinedLeg::Destroy(0x9000, 0x9001);
  }
}
BENCHMARK(JoinRecords);

struct BenchMixer : CVQCMCMixer {
  explicit BenchMixer(u32 un32Id)
      : CVQCMCMixer(un32Id, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, nullptr) {}
};

/* Mixer 0x8000 + N with N legs joined as speakers (legs made once, shared by the mixers). */
BenchMixer& MixerWith(u32 un32Legs) {
  static std::vector<BenchLeg*> s_apLegs;
  static std::unordered_map<u32, BenchMixer*> s_Mixers;
  Prepared();
  while (s_apLegs.size() < un32Legs) s_apLegs.push_back(new BenchLeg(0x20000 + static_cast<u32>(s_apLegs.size())));
  BenchMixer*& pMixer = s_Mixers[un32Legs];
  if (pMixer == nullptr) {
    pMixer = new BenchMixer(0x8000 + un32Legs);
    CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a;
    a.SetSpeaker(1);
    for (u32 i = 0; i < un32Legs; i++) pMixer->MixerSetJoined(s_apLegs[i], &a, 0);
  }
  return *pMixer;
}

void MixerJoins(benchmark::State& State) {
  const u32 un32Legs = static_cast<u32>(State.range(0));
  BenchMixer& M = MixerWith(un32Legs);
  if (M.GetJoinedLegs(nullptr) != un32Legs) State.SkipWithError("mixer not filled");
  BenchLeg& X = *Prepared().pX;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a;
  a.SetListener(1);
  for (auto _ : State) {
    M.MixerSetJoined(&X, &a, 1);
    M.MixerSetUnjoined(&X);
  }
}
BENCHMARK(MixerJoins)->Arg(100)->Arg(10000);

struct MapRecord {
  void* pLeg1 = nullptr;
  void* pLeg2 = nullptr;
  u8 af[4] = {};
};

void JoinRecordsMap(benchmark::State& State) {
  std::mutex Guard;
  std::unordered_map<u64, std::shared_ptr<MapRecord>> Map;
  Map.reserve(kLegs * kLegs / 2 + 1);
  for (u32 i = 0; i < kLegs; i++) {
    for (u32 j = i + 1; j < kLegs; j++) Map.emplace(CVQCMCLegJoinedLegKey(i, j), std::make_shared<MapRecord>());
  }
  const u64 un64Key = CVQCMCLegJoinedLegKey(0x9000, 0x9001);
  for (auto _ : State) {
    std::shared_ptr<MapRecord> p = std::make_shared<MapRecord>();
    {
      std::lock_guard Lock(Guard);
      Map.emplace(un64Key, p);
    }
    std::shared_ptr<MapRecord> q;
    {
      std::lock_guard Lock(Guard);
      auto it = Map.find(un64Key);
      if (it != Map.end()) q = it->second;
    }
    benchmark::DoNotOptimize(q.get());
    p.reset();
    q.reset();
    std::lock_guard Lock(Guard);
    Map.erase(un64Key);
  }
}
BENCHMARK(JoinRecordsMap);

/* An accept-call response of 192 bytes with result 0. */
VQX_MSG_HANDLE Response(VQX_LIB_HANDLE hLib) {
  VQX_MSG_HANDLE h = nullptr;
  VQXGetMsgDbg(hLib, 192, &h, __FILE__, __LINE__);
  h->un32MsgId = VQCMC_MSG_CMD_CALL_LEG_ACCEPT;
  h->MsgType = VQCMC_MSG_KIND_RESPONSE;
  h->un32PayloadLength = 192;
  return h;
}

void LegCallback(benchmark::State& State) {
  Setup& S = Prepared();
  for (auto _ : State) {
    VQX_MSG_HANDLE h = Response(S.hLib);
    VQCmcHandleLegCb(S.hCmc, S.pX, &h);
  }
}
BENCHMARK(LegCallback);

void LegCallbackFloor(benchmark::State& State) {
  Setup& S = Prepared();
  for (auto _ : State) {
    VQX_MSG_HANDLE h = Response(S.hLib);
    benchmark::DoNotOptimize(*reinterpret_cast<volatile u32*>(VQXMsgPayload(h) + 28));
    VQXReleaseMsgDbg(S.hLib, &h, __FILE__, __LINE__);
  }
}
BENCHMARK(LegCallbackFloor);

}  // namespace

BENCHMARK_MAIN();
