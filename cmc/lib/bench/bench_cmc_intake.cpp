/*
 * bench_intake.cpp - server responses (HostStatesGet answers of a ready
 * server, 104 bytes) in batches of 256 through VqCmcMsgReceived, against a
 * receive callback that only releases them. Both allocate their batch the
 * same way. Target: the intake keeps at least half the bare rate.
 */
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_cmc_common.h"

namespace {

constexpr u32 kBatch = 256;
constexpr u32 kServer = 0x100;

void Fill(VQX_LIB_HANDLE hVqx, std::vector<VQX_MSG_HANDLE>& aMsgs) {
  for (u32 i = 0; i < kBatch; i++) {
    VQXGetMsg(hVqx, 104, &aMsgs[i]);
    aMsgs[i]->un32MsgId = VQCMC_SRV_HOST_STATES_GET;
    aMsgs[i]->MsgType = VQX_MSG_TYPE_RESPONSE;
    aMsgs[i]->hAdapter = kServer;
    aMsgs[i]->un32PayloadLength = 104;
    memset(VQXMsgPayload(aMsgs[i]), 0, 104);
  }
}

void ReleaseOnly(void* pvLib, VQX_LIB_HANDLE, VQX_FILTER_HANDLE, u32* pun32Count, VQX_MSG_HANDLE* pahMsg) {
  VQX_LIB_HANDLE hVqx = static_cast<VQX_LIB_HANDLE>(pvLib);
  for (u32 i = 0; i < *pun32Count; i++) VQXReleaseMsgEx(hVqx, &pahMsg[i]);
  *pun32Count = 0;
}

void BM_IntakeResponses(benchmark::State& state) {
  VQX_LIB_HANDLE hVqx = cmcbench::OpenHostLib();
  VQCMC_LIB_HANDLE hCmc = cmcbench::OpenCmc(hVqx, 1, [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}, nullptr);
  std::vector<VQX_MSG_HANDLE> aMsgs(kBatch, nullptr);
  cmcbench::AddReadyServer(hVqx, hCmc, kServer);
  for (auto _ : state) {
    Fill(hVqx, aMsgs);
    cmcbench::s_un32Now += 1;
    u32 un32Count = kBatch;
    VqCmcMsgReceived(hCmc, hVqx, hCmc->hFilter, &un32Count, aMsgs.data());
    for (u32 i = 0; i < un32Count; i++) VQXReleaseMsgEx(hVqx, &aMsgs[i]);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
  VQCmcLibClose(hCmc);
  VQXCloseLibEx(&hVqx);
}

void BM_ReleaseOnlyCallback(benchmark::State& state) {
  VQX_LIB_HANDLE hVqx = cmcbench::OpenHostLib();
  std::vector<VQX_MSG_HANDLE> aMsgs(kBatch, nullptr);
  for (auto _ : state) {
    Fill(hVqx, aMsgs);
    u32 un32Count = kBatch;
    ReleaseOnly(hVqx, hVqx, nullptr, &un32Count, aMsgs.data());
    benchmark::DoNotOptimize(un32Count);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
  VQXCloseLibEx(&hVqx);
}

BENCHMARK(BM_IntakeResponses);
BENCHMARK(BM_ReleaseOnlyCallback);

}  // namespace

BENCHMARK_MAIN();
