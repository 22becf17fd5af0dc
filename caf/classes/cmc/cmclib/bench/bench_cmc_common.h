/*
 * bench_cmc_common.h - what the core library's benchmarks share: a host
 * library with no transport, and the core library opened over it with the
 * intake driven by the benchmark and an injected clock.
 */
#ifndef BENCH_CMC_COMMON_H
#define BENCH_CMC_COMMON_H

#include <cstring>

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

inline VQCMC_LIB_HANDLE OpenCmc(VQX_LIB_HANDLE hVqx, u32 un32Threads, PFCT_VQCMC_LIB_CALLBACK pFct, void* pv) {
  _VQCMC_LIB_SEAMS seams{Clock, nullptr, HostInfo, nullptr, 1, 0, 0, nullptr};
  VqCmcLibSetSeams(&seams);
  _VQCMC_LIB_PARAMS p{};
  p.hVqxLib = hVqx;
  p.Callback.pFctCallback = pFct;
  p.Callback.pContext = pv;
  p.Threads.un32NbThread = un32Threads;
  VQCMC_LIB_HANDLE h = nullptr;
  VQCmcLibOpen(&p, &h);
  VqCmcLibSetSeams(nullptr);
  return h;
}

}  // namespace cmcbench

#endif
