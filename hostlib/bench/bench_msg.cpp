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

#include <vector>

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

/*
 * A backlog of messages held at once, oldest released first, as in a burst
 * that the application drains behind the board: the size classes run out,
 * and the buffers past them come from the heap fallback. One iteration takes
 * a message and gives back the oldest.
 */
void BM_Backlog(benchmark::State& state) {
  VQX_LIB_HANDLE hLib = OpenQuietLibrary();
  if (hLib == nullptr) {
    state.SkipWithError("VQXOpenLib failed");
    return;
  }
  std::vector<VQX_MSG_HANDLE> ring(static_cast<size_t>(state.range(0)), nullptr);
  for (VQX_MSG_HANDLE& hMsg : ring) VQXGetMsg(hLib, 104, &hMsg);
  size_t next = 0;
  for (auto _ : state) {
    VQXReleaseMsgEx(hLib, &ring[next]);
    VQXGetMsg(hLib, 104, &ring[next]);
    benchmark::DoNotOptimize(ring[next]);
    next = next + 1 == ring.size() ? 0 : next + 1;
  }
  for (VQX_MSG_HANDLE& hMsg : ring) VQXReleaseMsgEx(hLib, &hMsg);
  state.SetItemsProcessed(state.iterations());
  VQXCloseLibEx(&hLib);
}
BENCHMARK(BM_Backlog)->Arg(200)->Arg(20000);

}  // namespace

BENCHMARK_MAIN();
