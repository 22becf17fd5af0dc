/*
 * bench_resync.cpp - resynchronising legs against delivering them plain
 * notifications, in the same run: 10000 call legs of a ready server. One
 * iteration of the resync case re-claims all of them as a server that comes
 * back does (the unsync sweep with its SYNC_LOST, one NotifLegSync per leg
 * through the intake with its SetLegOwnership and LEG_SYNC, the sync-done
 * sweep); one iteration of the plain case hands each leg one notification
 * keyed by word 8 through the intake. Batches of 200 messages, single-thread
 * jobs run at the end of each intake call, callbacks that release. Items are
 * legs. Target: a leg's resynchronisation costs at most 4 times its plain
 * notification.
 */
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_cmc_common.h"
#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_payloads.h"

namespace {

constexpr u32 kLegs = 10000;
constexpr u32 kBatch = 200;
constexpr u32 kServer = 0x100;

struct Bench {
  VQX_LIB_HANDLE hVqx = cmcbench::OpenHostLib();
  VQCMC_LIB_HANDLE hCmc = cmcbench::OpenCmc(hVqx, 1, [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}, nullptr);
  _VQCMC_HOST_CTX* pHost = nullptr;
  std::vector<VQX_MSG_HANDLE> aBatch = std::vector<VQX_MSG_HANDLE>(VQCMC_COALESCING_SLOTS, nullptr);

  Bench() {
    cmcbench::AddReadyServer(hVqx, hCmc, kServer);
    VqxMutexGet(hCmc->hThreadSem);
    pHost = VqCmcHostFirst(hCmc);
    for (u32 un32Id = 1; un32Id <= kLegs; un32Id++) {
      _VQCMC_ENTITY_CTX* pLeg = nullptr;
      VqCmcLibLegCreate(hCmc, pHost, un32Id, 0x10000 + un32Id, &pLeg);
    }
    VqxMutexGive(hCmc->hThreadSem);
  }
  ~Bench() {
    VQCmcLibClose(hCmc);
    VQXCloseLibEx(&hVqx);
  }
  /* One intake call with n messages of the batch; what the library sends is released. */
  void Intake(u32 un32Count) {
    VqCmcMsgReceived(hCmc, hVqx, hCmc->hFilter, &un32Count, aBatch.data());
    for (u32 i = 0; i < un32Count; i++) VQXReleaseMsgEx(hVqx, &aBatch[i]);
  }
  /* Every leg gets one message of that id (size, element area when sets follow), in batches. */
  void Feed(u32 un32Id, u32 un32Size, bool fElements) {
    for (u32 un32Leg = 1; un32Leg <= kLegs; un32Leg += kBatch) {
      for (u32 i = 0; i < kBatch; i++) {
        VQX_MSG_HANDLE& h = aBatch[i];
        VQXGetMsg(hVqx, un32Size + 8, &h);
        memset(VQXMsgPayload(h), 0, un32Size);
        h->un32PayloadLength = un32Size;
        if (fElements) VQXMsgElementInit(h, un32Size);
        h->un32MsgId = un32Id;
        h->MsgType = VQX_MSG_TYPE_EVENT;
        h->hAdapter = kServer;
        const u32 aWords[] = {0x10000 + un32Leg + i, un32Leg + i};
        memcpy(VQXMsgPayload(h) + 8, &aWords[0], 4);
        memcpy(VQXMsgPayload(h) + 32, &aWords[1], 4);
      }
      Intake(kBatch);
    }
  }
  /* A sweep over the server's legs under the lock, then its jobs. */
  void Sweep(VQX_RESULT (*pFct)(VQCMC_LIB_CTX*, _VQCMC_HOST_CTX*)) {
    VqxMutexGet(hCmc->hThreadSem);
    pFct(hCmc, pHost);
    pHost->fReady = 1;  /* the unsync sweep clears it; the server stays ready here */
    VqxMutexGive(hCmc->hThreadSem);
    Intake(0);
  }
};

void BM_ResyncLegs(benchmark::State& state) {
  Bench bench;
  for (auto _ : state) {
    bench.Sweep(VqCmcLegUnSyncAll);
    bench.Feed(VQCMC_SRV_NOTIF_LEG_SYNC, sizeof(_VQCMC_SRV_NOTIF_LEG_SYNC), true);
    bench.Sweep(VqCmcLegAllSyncDone);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLegs);
}

void BM_PlainLegNotifications(benchmark::State& state) {
  Bench bench;
  for (auto _ : state) bench.Feed(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, sizeof(_VQCMC_SRV_NOTIF), false);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLegs);
}

BENCHMARK(BM_ResyncLegs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainLegNotifications)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
