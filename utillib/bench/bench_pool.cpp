// Record pool: alloc and free of 1024 records of 64 bytes, against
// operator new / delete of the same size doing the same work in the same run.
#include <new>
#include <vector>

#include "bench_ratio.h"
#include "vqx_pool.h"

namespace {

constexpr u32 kRecords = 1024;
constexpr u32 kSize = 64;

u64 FirstWord(void*, const void* p) { return *static_cast<const u32*>(p); }

// One round: kRecords allocations, then their release in the same order.
template <typename TAlloc, typename TFree>
void RunAllocFree(benchmark::State& state, TAlloc alloc, TFree release) {
  std::vector<void*> v(kRecords);
  for (auto _ : state) {
    for (u32 i = 0; i < kRecords; ++i) {
      v[i] = alloc(i);
      benchmark::DoNotOptimize(v[i]);
    }
    for (u32 i = 0; i < kRecords; ++i) release(v[i]);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_NewDelete(benchmark::State& state) {
  RunAllocFree(state, [](u32) { return ::operator new(kSize); }, [](void* p) { ::operator delete(p); });
}

// Plain pool without key index, records in one block: the target case.
void BM_PoolAllocFree(benchmark::State& state) {
  HVQXPOOLOFBUFFERS h = VQXPoolOfBuffersCreate(kRecords, kSize, nullptr, nullptr, 0);
  RunAllocFree(state, [h](u32 i) { return VQXPoolOfBuffersAlloc(h, i); }, [h](void* p) { VQXPoolOfBuffersFree(h, p); });
  VQXPoolOfBuffersDestroy(h);
}

// Keyed and heap-mode pools, for information (no target).
void BM_PoolKeyedAllocFree(benchmark::State& state) {
  HVQXPOOLOFBUFFERS64 h = VQXPoolOfBuffers64Create(kRecords, kSize, FirstWord, nullptr, 0);
  RunAllocFree(state, [h](u32 i) { return VQXPoolOfBuffers64Alloc(h, i); },
               [h](void* p) { VQXPoolOfBuffers64Free(h, p); });
  VQXPoolOfBuffers64Destroy(h);
}

void BM_PoolHeapModeAllocFree(benchmark::State& state) {
  HVQXPOOLOFBUFFERS h = VQXPoolOfBuffersCreate(kRecords, kSize, nullptr, nullptr, 1);
  RunAllocFree(state, [h](u32 i) { return VQXPoolOfBuffersAlloc(h, i); }, [h](void* p) { VQXPoolOfBuffersFree(h, p); });
  VQXPoolOfBuffersDestroy(h);
}

BENCHMARK(BM_NewDelete);
BENCHMARK(BM_PoolAllocFree);
BENCHMARK(BM_PoolKeyedAllocFree);
BENCHMARK(BM_PoolHeapModeAllocFree);

}  // namespace

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv, {{"BM_NewDelete", "BM_PoolAllocFree", 2.0}});
}
