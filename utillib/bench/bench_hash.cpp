// Hash table: insert and find of 1M random u64 keys, against
// std::unordered_map doing the same work in the same run.
#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "bench_ratio.h"
#include "vqx_hash.h"

namespace {

constexpr size_t kKeys = 1000000;

const std::vector<u64>& Keys() {
  static const std::vector<u64> v = [] {
    std::mt19937_64 rng(1);
    std::vector<u64> k(kKeys);
    for (auto& x : k) x = rng();
    return k;
  }();
  return v;
}

// The same keys in another order, so that finds do not follow insertion order.
const std::vector<u64>& Shuffled() {
  static const std::vector<u64> v = [] {
    std::vector<u64> k = Keys();
    std::shuffle(k.begin(), k.end(), std::mt19937_64(2));
    return k;
  }();
  return v;
}

void BM_VqxHashInsert(benchmark::State& state) {
  const auto& keys = Keys();
  for (auto _ : state) {
    HVQXHASH h = VQXHashCreateWithKeyInternal(0, "bench", 0);
    for (size_t i = 0; i < keys.size(); ++i) VQXHashInsert(h, keys[i], i);
    benchmark::ClobberMemory();
    state.PauseTiming();
    VQXHashDestroy(h);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_UnorderedMapInsert(benchmark::State& state) {
  const auto& keys = Keys();
  for (auto _ : state) {
    auto* m = new std::unordered_map<u64, u64>;
    for (size_t i = 0; i < keys.size(); ++i) m->emplace(keys[i], i);
    benchmark::ClobberMemory();
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_VqxHashFind(benchmark::State& state) {
  const auto& keys = Keys();
  HVQXHASH h = VQXHashCreateWithKeyInternal(0, "bench", 0);
  for (size_t i = 0; i < keys.size(); ++i) VQXHashInsert(h, keys[i], i);
  for (auto _ : state) {
    u64 sum = 0, v = 0;
    for (u64 k : Shuffled()) {
      VQXHashFind(h, k, &v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  VQXHashDestroy(h);
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_UnorderedMapFind(benchmark::State& state) {
  const auto& keys = Keys();
  std::unordered_map<u64, u64> m;
  for (size_t i = 0; i < keys.size(); ++i) m.emplace(keys[i], i);
  for (auto _ : state) {
    u64 sum = 0;
    for (u64 k : Shuffled()) {
      auto it = m.find(k);
      sum += it != m.end() ? it->second : 0;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

BENCHMARK(BM_UnorderedMapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VqxHashInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VqxHashFind)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return VqxBenchRunWithRatios(argc, argv,
                               {{"BM_UnorderedMapInsert", "BM_VqxHashInsert", 1.0},
                                {"BM_UnorderedMapFind", "BM_VqxHashFind", 1.5}});
}
