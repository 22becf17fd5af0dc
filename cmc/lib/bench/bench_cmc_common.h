/*
 * bench_cmc_common.h - what the core library's benchmarks share: a host
 * library with no transport, and the core library opened over it with the
 * intake driven by the benchmark and an injected clock.
 */
#ifndef BENCH_CMC_COMMON_H
#define BENCH_CMC_COMMON_H

#include <algorithm>
#include <cstring>
#include <vector>

#include "vqcmc_lib_internal.h"

namespace cmcbench {

inline u32 s_un32Now = 1000;
inline u32 Clock(void*) { return s_un32Now; }
inline VQX_RESULT HostInfo(VQX_LIB_HANDLE, u32 hHost, _VQX_HOST_INFO* pInfo) {
  memset(pInfo, 0, sizeof(*pInfo));
  pInfo->hAdapter = hHost;
  pInfo->un64UniqueHostId = hHost;
  strcpy(pInfo->szApplicationName, "cmc_server");
  return VQX_RESULT_API_OK;
}

inline VQX_LIB_HANDLE OpenHostLib() {
  _VQX_LIB_PARAMS params{};
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.un32TraceLevel = 0x7FFFFFFF;
  VQX_LIB_HANDLE h = nullptr;
  VQXOpenLib(&params, &h);
  return h;
}

/* The library over the host library with the harness's clock and peers; null on failure. A job
 * FIFO and entity table of 0 take the library's defaults. */
inline VQCMC_LIB_HANDLE OpenCmc(VQX_LIB_HANDLE hVqx, u32 un32Threads, PFCT_VQCMC_LIB_CALLBACK pFct, void* pv,
                                u32 un32FifoMax = 0, u32 un32MaxLegs = 0) {
  _VQCMC_LIB_SEAMS seams{Clock, nullptr, HostInfo, nullptr, 1, 0, 0, nullptr};
  VqCmcLibSetSeams(&seams);
  _VQCMC_LIB_PARAMS p{};
  p.hVqxLib = hVqx;
  p.Callback.pFctCallback = pFct;
  p.Callback.pContext = pv;
  p.Threads.un32NbThread = un32Threads;
  p.un32JobsFifoMax = un32FifoMax;
  p.un32MaxLegs = un32MaxLegs;
  VQCMC_LIB_HANDLE h = nullptr;
  VQCmcLibOpen(&p, &h);
  VqCmcLibSetSeams(nullptr);
  return h;
}

/* A server peer added and READY (its sync done), so that its messages reach the entities. */
inline void AddReadyServer(VQX_LIB_HANDLE hVqx, VQCMC_LIB_HANDLE hCmc, u32 hHost) {
  VQX_MSG_HANDLE aMsgs[VQCMC_COALESCING_SLOTS] = {};
  VQXGetMsg(hVqx, VQCMC_HL_ADDED_OFFSET_HOST_KEY + 8, &aMsgs[0]);
  aMsgs[0]->un32MsgId = VQCMC_HL_ADAPTER_ADDED;
  aMsgs[0]->un32PayloadLength = VQCMC_HL_ADDED_OFFSET_HOST_KEY + 8;
  const u64 un64Key = hHost;
  memcpy(VQXMsgPayload(aMsgs[0]) + VQCMC_HL_ADDED_OFFSET_HANDLE, &hHost, 4);
  memcpy(VQXMsgPayload(aMsgs[0]) + VQCMC_HL_ADDED_OFFSET_HOST_KEY, &un64Key, 8);
  VQXGetMsg(hVqx, 64, &aMsgs[1]);
  aMsgs[1]->un32MsgId = VQCMC_SRV_READY;
  aMsgs[1]->hAdapter = hHost;
  aMsgs[1]->un32PayloadLength = 64;
  for (u32 i = 0; i < 2; i++) {
    VQX_MSG_HANDLE aBatch[VQCMC_COALESCING_SLOTS] = {aMsgs[i]};
    u32 un32Count = 1;
    VqCmcMsgReceived(hCmc, hVqx, hCmc->hFilter, &un32Count, aBatch);
    for (u32 j = 0; j < un32Count; j++) VQXReleaseMsgEx(hVqx, &aBatch[j]);
  }
}

/* One intake call with these messages (the looped-back ones first); what the library sends to
 * itself is kept for the next call (64 at most), the rest released. */
inline void IntakeLoop(VQCMC_LIB_HANDLE hCmc, VQX_LIB_HANDLE hVqx, std::vector<VQX_MSG_HANDLE>& aLoop,
                       std::vector<VQX_MSG_HANDLE> aMsgs) {
  aMsgs.insert(aMsgs.begin(), aLoop.begin(), aLoop.end());
  aLoop.clear();
  u32 un32Count = static_cast<u32>(std::min<size_t>(aMsgs.size(), 200));
  aMsgs.resize(std::max<size_t>(aMsgs.size(), VQCMC_COALESCING_SLOTS), nullptr);
  VqCmcMsgReceived(hCmc, hVqx, hCmc->hFilter, &un32Count, aMsgs.data());
  for (u32 i = 0; i < un32Count; i++) {
    if (aMsgs[i]->hAdapter == VQCMC_LOCAL_DELIVERY && aLoop.size() < 64) {
      aLoop.push_back(aMsgs[i]);
    } else {
      VQXReleaseMsgEx(hVqx, &aMsgs[i]);
    }
  }
}

}  // namespace cmcbench

#endif
