/*
 * bench_jobs.cpp - notifications for 64 legs through the job layer on 4
 * threads (post under the library lock, run, done step) against the job
 * pool alone with the same keys and a handler that only releases the
 * message. Target: the layer keeps at least half the pool's rate.
 */
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "bench_cmc_common.h"
#include "vqx_jobs.h"

namespace {

constexpr u32 kLegs = 64;
constexpr u32 kPerRound = 4096;

struct Counter {
  std::atomic<u32> un32Done{0};
};

void OnLeg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE*) { static_cast<Counter*>(pv)->un32Done.fetch_add(1); }

void WaitFor(Counter& c, u32 n) {
  while (c.un32Done.load() < n) {
  }
}

void BM_JobLayer4Threads(benchmark::State& state) {
  VQX_LIB_HANDLE hVqx = cmcbench::OpenHostLib();
  Counter counter;
  VQCMC_LIB_HANDLE hCmc = cmcbench::OpenCmc(hVqx, 4, [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}, nullptr);
  /* One server record owns the legs. */
  std::vector<VQX_MSG_HANDLE> aAdd(VQCMC_COALESCING_SLOTS, nullptr);
  VQX_MSG_HANDLE hAdd = nullptr;
  VQXGetMsg(hVqx, 432, &hAdd);
  hAdd->un32MsgId = VQCMC_HL_ADAPTER_ADDED;
  hAdd->un32PayloadLength = 432;
  u32 h = 0x100;
  u64 key = 0x100;
  memcpy(VQXMsgPayload(hAdd) + 12, &h, 4);
  memcpy(VQXMsgPayload(hAdd) + 424, &key, 8);
  aAdd[0] = hAdd;
  u32 un32Count = 1;
  VqCmcMsgReceived(hCmc, hVqx, hCmc->hFilter, &un32Count, aAdd.data());
  for (u32 i = 0; i < un32Count; i++) VQXReleaseMsgEx(hVqx, &aAdd[i]);
  _VQCMC_HOST_CTX* pHost = VqCmcHostFirst(hCmc);
  std::vector<_VQCMC_ENTITY_CTX*> apLegs;
  for (u32 i = 0; i < kLegs; i++) {
    _VQCMC_ENTITY_CTX* pLeg = nullptr;
    VqxMutexGet(hCmc->hThreadSem);
    VqCmcLibEntityCreate(hCmc, &pHost, 0x1000 + i, 0, &pLeg);
    VqCmcEntitySetKind(hCmc, pLeg, VQCMC_ENTITY_TYPE_LEG);
    pLeg->Params.Callback.pFctCallback = OnLeg;
    pLeg->Params.Callback.pvLegUserContext = &counter;
    VqxMutexGive(hCmc->hThreadSem);
    apLegs.push_back(pLeg);
  }
  u32 un32Target = 0;
  for (auto _ : state) {
    /* Posted as the intake posts them: a batch of 256 under one hold of the library lock. */
    for (u32 i = 0; i < kPerRound; i++) {
      VQX_MSG_HANDLE hMsg = nullptr;
      VQXGetMsgFromPool(hVqx, hCmc->hMsgPool, 40, &hMsg);
      hMsg->un32MsgId = 0x0A010012u;
      _VQCMC_ENTITY_CTX* pLeg = apLegs[i % kLegs];
      if (i % VQCMC_INTAKE_MAX_MSGS == 0) VqxMutexGet(hCmc->hThreadSem);
      VqCmcThreadJobPost(hCmc, pLeg, 0, pLeg->Params.un32SerialisationId, &hMsg);
      if (i % VQCMC_INTAKE_MAX_MSGS == VQCMC_INTAKE_MAX_MSGS - 1) VqxMutexGive(hCmc->hThreadSem);
    }
    un32Target += kPerRound;
    WaitFor(counter, un32Target);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPerRound);
  VQCmcLibStop(hCmc);
  VQCmcLibClose(hCmc);
  VQXCloseLibEx(&hVqx);
}

struct RawJob {
  VQX_LIB_HANDLE hVqx;
  VQX_MSG_HANDLE hMsg;
  Counter* pCounter;
};

VQX_RESULT RawHandler(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv) {
  RawJob* pJob = static_cast<RawJob*>(pv);
  VQXReleaseMsgEx(pJob->hVqx, &pJob->hMsg);
  return VQX_RESULT_OK;
}

void RawDone(VQX_MULTI_THREADED_JOBS_HANDLE, void* pv, VQX_RESULT) {
  RawJob* pJob = static_cast<RawJob*>(pv);
  pJob->pCounter->un32Done.fetch_add(1);
  delete pJob;
}

void BM_JobPoolAlone4Threads(benchmark::State& state) {
  VQX_LIB_HANDLE hVqx = cmcbench::OpenHostLib();
  VQX_POOL_OF_MESSAGES_HANDLE hPool = nullptr;
  _VQX_POOL_OF_MESSAGES_PARAMS pp{};
  pp.un32NbPreAllocBufferPools = 1;
  pp.aPreAllocBufferPools[0] = {128, 256};
  VQXPoolOfMessagesAlloc(hVqx, &pp, &hPool);
  Counter counter;
  VQX_MULTI_THREADED_JOBS_PARAMS params{4, 0x14000, VQX_THREAD_PRIORITY_NORMAL, RawDone};
  VQX_MULTI_THREADED_JOBS_HANDLE hJobs = nullptr;
  VQXMultiThreadedJobsOpenLib(&params, &hJobs);
  u32 un32Target = 0;
  for (auto _ : state) {
    for (u32 i = 0; i < kPerRound; i++) {
      RawJob* pJob = new RawJob{hVqx, nullptr, &counter};
      VQXGetMsgFromPool(hVqx, hPool, 40, &pJob->hMsg);
      VQX_MULTI_THREADED_JOB_START_PARAMS start{0, 0x1000 + i % kLegs, RawHandler};
      VQXMultiThreadedJobStart(hJobs, pJob, &start);
    }
    un32Target += kPerRound;
    WaitFor(counter, un32Target);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPerRound);
  VQXMultiThreadedJobsCloseLib(hJobs);
  VQXPoolOfMessagesDestroy(hVqx, hPool);
  VQXCloseLibEx(&hVqx);
}

BENCHMARK(BM_JobLayer4Threads)->UseRealTime();
BENCHMARK(BM_JobPoolAlone4Threads)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
