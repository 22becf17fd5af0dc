/*
 * bench_msg.cpp - cost of taking and giving back a host message.
 *
 * One iteration is VQXGetMsg of a 256-byte payload followed by
 * VQXReleaseMsgEx; the release is freed in the batch of the next allocation's
 * leave of the library lock, so the pair measures the whole round. Target:
 * under 100 ns per pair.
 */
#include <benchmark/benchmark.h>
#include <string.h>

#include "vqx_host.h"

namespace {

VQX_LIB_HANDLE OpenQuietLibrary() {
  _VQX_LIB_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  VQX_LIB_HANDLE hLib = nullptr;
  return VQXOpenLib(&params, &hLib) == VQX_RESULT_API_OK ? hLib : nullptr;
}

void BM_GetReleaseMsg(benchmark::State& state) {
  VQX_LIB_HANDLE hLib = OpenQuietLibrary();
  if (hLib == nullptr) {
    state.SkipWithError("VQXOpenLib failed");
    return;
  }
  const u32 un32Payload = static_cast<u32>(state.range(0));
  for (auto _ : state) {
    VQX_MSG_HANDLE hMsg = nullptr;
    VQXGetMsg(hLib, un32Payload, &hMsg);
    benchmark::DoNotOptimize(hMsg);
    VQXReleaseMsgEx(hLib, &hMsg);
  }
  VQXCloseLibEx(&hLib);
}
BENCHMARK(BM_GetReleaseMsg)->Arg(256)->Arg(4000)->Arg(100000);

/* Several messages held at once, as a receiver draining a batch does. */
void BM_GetReleaseBatch(benchmark::State& state) {
  VQX_LIB_HANDLE hLib = OpenQuietLibrary();
  if (hLib == nullptr) {
    state.SkipWithError("VQXOpenLib failed");
    return;
  }
  VQX_MSG_HANDLE ahMsg[64];
  for (auto _ : state) {
    for (VQX_MSG_HANDLE& hMsg : ahMsg) VQXGetMsg(hLib, 256, &hMsg);
    for (VQX_MSG_HANDLE& hMsg : ahMsg) VQXReleaseMsgEx(hLib, &hMsg);
  }
  state.SetItemsProcessed(state.iterations() * 64);
  VQXCloseLibEx(&hLib);
}
BENCHMARK(BM_GetReleaseBatch);

}  // namespace

BENCHMARK_MAIN();
