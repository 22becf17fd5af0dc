// The client objects' costs, each measured against its floor in the same run (paired: a batch of one and a
// batch of the other back to back in every iteration, so that both see the same machine load; the median of
// the per-batch ratios over repetitions is reported, see bench_ratio.h).
// JoinRecords: Alloc + Find + Destroy of one leg-leg join record while the pool holds 80,200 others, against
// the same three steps on a std::unordered_map of std::shared_ptr under a std::mutex holding as many: at least
// half the map's rate (time ratio at most 2).
// MixerJoins/N: MixerSetJoined + MixerSetUnjoined of one leg on a mixer that has N other legs joined
// (100 and 10,000): the target is at most 1.5 times the time at 100 per join at 10,000, and at least
// half the rate of JoinRecords.
// LegCallback: VQCmcHandleLegCb with an accept-call response (dispatch, callback, listener routing, release),
// the command it answers remembered first, against allocating the same host buffer, reading its result word
// and releasing it: at most twice the floor.
// LegAnswers/N/order: a burst of N commands on a leg, then their N answers through VQCmcHandleLegCb in the
// order sent (0) or the last first (1): the cost per answer (its command remembered, the answer dispatched
// and its command found and taken out) stays flat from 10 to 100,000 in flight. LegAnswersFlat: answers
// the last first with 100,000 in flight against bursts of 10, paired: at most 1.5 times.
// LegSync: leg-sync notifications for 10,000 legs with objects through CVQCMCLib::HandleMessage (each with one
// play and one record element), against wrapping the same buffers in their received-message wrapper and
// releasing them: at most twice the floor.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "bench_ratio.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcafmutex.h"
#include "vqcmc_leg.h"
#include "vqcmc_leg_join.h"
#include "vqcmc_mixer.h"
#include "vqx_msg_element.h"

using namespace VQCAF;

namespace {

constexpr u32 kLegs = 401;  // every pair joined: 80,200 records
constexpr u32 kFirstId = 0x1000;
constexpr u32 kSyncLegs = 10000;
constexpr u32 kFirstSyncId = 0x100000;
constexpr int kRepetitions = 5;

struct BenchLeg : CVQCMCLeg {
  explicit BenchLeg(u32 un32Id, CVQCAFMutex* pMutex = nullptr)
      : CVQCMCLeg(un32Id, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                  VQCMC_CALL_LEG_STATE_INCOMING, 0, pMutex) {}
};

struct MapRecord {
  void* pLeg1 = nullptr;
  void* pLeg2 = nullptr;
  u8 af[4] = {};
};

struct Setup {
  VQX_LIB_HANDLE hLib = nullptr;
  VQCMC_LIB_HANDLE hCmc = nullptr;
  std::vector<BenchLeg*> apLegs;
  BenchLeg* pX = nullptr;
  BenchLeg* pY = nullptr;
  std::mutex MapGuard;
  std::unordered_map<u64, std::shared_ptr<MapRecord>> Map;
  CVQCAFMutex* pSyncMutex = nullptr;  // the serialisation mutex the synchronised legs share
  std::vector<BenchLeg*> apSyncLegs;
};

Setup& Prepared() {
  static Setup* s = [] {
    auto* S = new Setup;
    alignas(16) static char acGlobals[16];
    SetGlobals(reinterpret_cast<CVQCAFGlobals*>(acGlobals));
    SetSubModTraceLevel(VQCAF_SUBMODULE_COMM, VQDIS);
    SetSubModTraceLevel(VQCAF_SUBMODULE_CALL, VQDIS);
    SetSubModTraceLevel(VQCAF_SUBMODULE_CMC, VQDIS);
    CVQCAFCommParams Params;
    Params.mun32HostLibTraceLevel = 0x7FFFFFFF;
    CVQCAFComm::Init(Params);
    S->hLib = CVQCAFComm::GetHostLibInstance();
    _VQCMC_LIB_PARAMS p{};
    p.hVqxLib = S->hLib;
    p.Callback.pFctCallback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
    p.Threads.un32NbThread = 1;
    p.un32LibId = 7778;
    VQCmcLibOpen(&p, &S->hCmc);
    CVQCMCLib::TestInstall(S->hCmc);  // makes the registries and the join pools (81,920 leg-leg records)
    for (u32 i = 0; i < kLegs; i++) S->apLegs.push_back(new BenchLeg(kFirstId + i));
    for (u32 i = 0; i < kLegs; i++) {
      for (u32 j = i + 1; j < kLegs; j++) CVQCMCLegJoinedLeg::Alloc(S->apLegs[i], S->apLegs[j], nullptr);
    }
    S->pX = new BenchLeg(0x9000);
    S->pY = new BenchLeg(0x9001);
    S->Map.reserve(kLegs * kLegs / 2 + 1);
    for (u32 i = 0; i < kLegs; i++) {
      for (u32 j = i + 1; j < kLegs; j++) S->Map.emplace(CVQCMCLegJoinedLegKey(i, j), std::make_shared<MapRecord>());
    }
    // No server holds these legs, so the objects are entered in the registry by hand.
    S->pSyncMutex = new CVQCAFMutex;
    for (u32 i = 0; i < kSyncLegs; i++) {
      S->apSyncLegs.push_back(new BenchLeg(kFirstSyncId + i, S->pSyncMutex));
      CVQCMCLib::GetInstance()->LegIdAdd(kFirstSyncId + i, S->apSyncLegs.back());
    }
    return S;
  }();
  return *s;
}

void JoinRecords(benchmark::State& State) {
  Setup& S = Prepared();
  if (CVQCMCLegJoinedLeg::GetCount() != kLegs * (kLegs - 1) / 2) State.SkipWithError("pool not filled");
  const u64 un64Key = CVQCMCLegJoinedLegKey(0x9000, 0x9001);
  VqxBenchPaired(
      State, 1000,
      [&](int) {
        CVQCAFPtr<CVQCMCLegJoinedLeg> p = CVQCMCLegJoinedLeg::Alloc(S.pX, S.pY, nullptr);
        CVQCAFPtr<CVQCMCLegJoinedLeg> q = CVQCMCLegJoinedLeg::Find(0x9001, 0x9000);
        benchmark::DoNotOptimize(q.Get());
        p.Release();
        q.Release();
        CVQCMCLegJoinedLeg::Destroy(0x9000, 0x9001);
      },
      [&](int) {
        std::shared_ptr<MapRecord> p = std::make_shared<MapRecord>();
        {
          std::lock_guard Lock(S.MapGuard);
          S.Map.emplace(un64Key, p);
        }
        std::shared_ptr<MapRecord> q;
        {
          std::lock_guard Lock(S.MapGuard);
          auto it = S.Map.find(un64Key);
          if (it != S.Map.end()) q = it->second;
        }
        benchmark::DoNotOptimize(q.get());
        p.reset();
        q.reset();
        std::lock_guard Lock(S.MapGuard);
        S.Map.erase(un64Key);
      });
}
BENCHMARK(JoinRecords)->Iterations(300)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

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
  VqxBenchPaired(
      State, 1000,
      [&](int) {
        VQX_MSG_HANDLE h = Response(S.hLib);
        S.pX->HandleRequest(h, nullptr);  // the command it answers, in flight (one with another serial is dropped)
        VQCmcHandleLegCb(S.hCmc, S.pX, &h);
      },
      [&](int) {
        VQX_MSG_HANDLE h = Response(S.hLib);
        benchmark::DoNotOptimize(*reinterpret_cast<volatile u32*>(VQXMsgPayload(h) + 28));
        VQXReleaseMsgDbg(S.hLib, &h, __FILE__, __LINE__);
      });
}
BENCHMARK(LegCallback)->Iterations(300)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

/* A leg that sends bursts of commands and takes their answers through its callback, in any order. */
class Bursts {
 public:
  explicit Bursts(u32 un32LegId) : mLeg(un32LegId) {}
  /* Sends un32Count commands: the next burst. */
  void Send(u32 un32Count) {
    mun32First = mun32Next;
    for (u32 i = 0; i < un32Count; i++) {
      _VQX_MSG_HEADER Command{};
      Command.un32MsgId = VQCMC_MSG_CMD_CALL_LEG_ACCEPT;
      Command.un32SerialNumber = mun32Next++;
      mLeg.HandleRequest(&Command, nullptr);
    }
  }
  /* The answer to the command un32Index of the burst (0: the first sent). */
  void Answer(VQX_LIB_HANDLE hLib, VQCMC_LIB_HANDLE hCmc, u32 un32Index) {
    VQX_MSG_HANDLE h = Response(hLib);
    h->un32SerialNumber = mun32First + un32Index;
    VQCmcHandleLegCb(hCmc, &mLeg, &h);
  }
  u32 Waiting() const { return static_cast<u32>(mLeg.mRequests.GetWaiting()); }

 private:
  struct Leg : BenchLeg {
    using BenchLeg::BenchLeg;
    using CVQCMCLeg::mRequests;
  };
  Leg mLeg;
  u32 mun32Next = 1;
  u32 mun32First = 1;
};

Bursts& BurstsOf(u32 un32InFlight) {
  static std::unordered_map<u32, Bursts*> s_Legs;
  Prepared();
  Bursts*& p = s_Legs[un32InFlight];
  if (p == nullptr) p = new Bursts(0xA000 + static_cast<u32>(s_Legs.size()));
  return *p;
}

void LegAnswers(benchmark::State& State) {
  Setup& S = Prepared();
  const u32 un32InFlight = static_cast<u32>(State.range(0));
  const bool fLastFirst = State.range(1) != 0;
  Bursts& Leg = BurstsOf(un32InFlight);
  for (auto _ : State) {
    Leg.Send(un32InFlight);
    for (u32 i = 0; i < un32InFlight; i++) Leg.Answer(S.hLib, S.hCmc, fLastFirst ? un32InFlight - 1 - i : i);
  }
  if (Leg.Waiting() != 0) State.SkipWithError("an answer missed its command");
  State.SetItemsProcessed(State.iterations() * un32InFlight);
}
BENCHMARK(LegAnswers)->ArgsProduct({{10, 1000, 100000}, {0, 1}});

void LegAnswersFlat(benchmark::State& State) {
  constexpr u32 kMany = 100000, kFew = 10;
  Setup& S = Prepared();
  Bursts& Many = BurstsOf(kMany);
  Bursts& Few = BurstsOf(kFew);
  VqxBenchPaired(
      State, kMany,
      [&](int i) {
        if (i == 0) Many.Send(kMany);
        Many.Answer(S.hLib, S.hCmc, kMany - 1 - i);
      },
      [&](int i) {
        if (i % kFew == 0) Few.Send(kFew);
        Few.Answer(S.hLib, S.hCmc, kFew - 1 - i % kFew);
      });
  if (Many.Waiting() != 0 || Few.Waiting() != 0) State.SkipWithError("an answer missed its command");
}
BENCHMARK(LegAnswersFlat)->Iterations(5)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

/* A leg-sync notification for a call leg playing on stream 1 and recording: the leg description at 32, one
 * play attribute (stream 1, not paused) in the set at 736, one record attribute in the set at 740. */
VQX_MSG_HANDLE LegSync(VQX_LIB_HANDLE hLib, u32 un32LegId) {
  VQX_MSG_HANDLE h = nullptr;
  VQXGetMsgDbg(hLib, 1024, &h, __FILE__, __LINE__);
  h->un32MsgId = VQCMC_LIB_MSG_NOTIF_LEG_SYNC;
  h->MsgType = VQCMC_MSG_KIND_NOTIFICATION;
  VQXMsgElementInit(h, sizeof(_VQCMC_NOTIF_LEG_SYNC));
  auto* pSync = reinterpret_cast<_VQCMC_NOTIF_LEG_SYNC*>(VQXMsgPayload(h));
  pSync->Leg.un32LegId = un32LegId;
  pSync->Leg.un32LegType = VQCMC_LEG_TYPE_CALL;
  void* pv = nullptr;
  VQXMsgElementAlloc(h, &pSync->setPlayAttributes, sizeof(_VQCMC_PLAY_ATTRIBUTE), &pv);
  static_cast<u8*>(pv)[15] = 1;
  VQXMsgElementAlloc(h, &pSync->setRecordAttributes, sizeof(_VQCMC_RECORD_ATTRIBUTE), &pv);
  return h;
}

void LegSyncAll(benchmark::State& State) {
  Setup& S = Prepared();
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  std::vector<VQX_MSG_HANDLE> ah(kSyncLegs);
  VqxBenchPaired(
      State, kSyncLegs, [&](int i) { pLib->HandleMessage(&ah[i]); },
      [&](int i) {
        CVQCMCMessage<_VQCMC_LIB_MSG_NOTIF_LEG_SYNC, VQCMC_LIB_MSG_NOTIF_LEG_SYNC> Msg(ah[i]);
        benchmark::DoNotOptimize(Msg.GetPayload());
      },
      [&] {
        for (u32 i = 0; i < kSyncLegs; i++) ah[i] = LegSync(S.hLib, kFirstSyncId + i);
      });
  for (BenchLeg* pLeg : S.apSyncLegs) {
    if (pLeg->IsPlayingStream(1, nullptr) != 1 || pLeg->IsRecordingStream(nullptr) != 1) {
      State.SkipWithError("a leg's streams were not synchronised");
      break;
    }
  }
}
BENCHMARK(LegSyncAll)->Iterations(20)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv, {}, {},
                               {{"JoinRecords", 2.0}, {"LegCallback", 2.0}, {"LegAnswersFlat", 1.5},
                                {"LegSyncAll", 2.0}});
}
