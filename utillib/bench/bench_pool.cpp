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

void BM_NewDelete(benchmark::State& state) {
  std::vector<void*> v(kRecords);
  for (auto _ : state) {
    for (u32 i = 0; i < kRecords; ++i) {
      v[i] = ::operator new(kSize);
      benchmark::DoNotOptimize(v[i]);
    }
    for (u32 i = 0; i < kRecords; ++i) ::operator delete(v[i]);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_PoolAllocFree(benchmark::State& state) {
  HVQXPOOLOFBUFFERS h = VQXPoolOfBuffersCreate(kRecords, kSize, nullptr, nullptr, 0);
  std::vector<void*> v(kRecords);
  for (auto _ : state) {
    for (u32 i = 0; i < kRecords; ++i) {
      v[i] = VQXPoolOfBuffersAlloc(h, i);
      benchmark::DoNotOptimize(v[i]);
    }
    for (u32 i = 0; i < kRecords; ++i) VQXPoolOfBuffersFree(h, v[i]);
  }
  VQXPoolOfBuffersDestroy(h);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

// Keyed and heap-mode pools, for information (no target).
void BM_PoolKeyedAllocFree(benchmark::State& state) {
  HVQXPOOLOFBUFFERS64 h = VQXPoolOfBuffers64Create(kRecords, kSize, FirstWord, nullptr, 0);
  std::vector<void*> v(kRecords);
  for (auto _ : state) {
    for (u32 i = 0; i < kRecords; ++i) {
      v[i] = VQXPoolOfBuffers64Alloc(h, i);
      benchmark::DoNotOptimize(v[i]);
    }
    for (u32 i = 0; i < kRecords; ++i) VQXPoolOfBuffers64Free(h, v[i]);
  }
  VQXPoolOfBuffers64Destroy(h);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_PoolHeapModeAllocFree(benchmark::State& state) {
  HVQXPOOLOFBUFFERS h = VQXPoolOfBuffersCreate(kRecords, kSize, nullptr, nullptr, 1);
  std::vector<void*> v(kRecords);
  for (auto _ : state) {
    for (u32 i = 0; i < kRecords; ++i) {
      v[i] = VQXPoolOfBuffersAlloc(h, i);
      benchmark::DoNotOptimize(v[i]);
    }
    for (u32 i = 0; i < kRecords; ++i) VQXPoolOfBuffersFree(h, v[i]);
  }
  VQXPoolOfBuffersDestroy(h);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

BENCHMARK(BM_NewDelete);
BENCHMARK(BM_PoolAllocFree);
BENCHMARK(BM_PoolKeyedAllocFree);
BENCHMARK(BM_PoolHeapModeAllocFree);

}  // namespace

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv, {{"BM_NewDelete", "BM_PoolAllocFree", 2.0}});
}
