/*
 * Element-set costs: appending (each append walks its set to the tail),
 * reading by index and by GetNext, and duplicating a whole set (which keeps
 * its own tail, so it stays linear).
 */
#include "vqx_msg_element.h"
#include "vqx_msg_layout.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

struct BenchMsg {
    explicit BenchMsg(u32 un32Cap) : storage((VQX_MSG_HEADER_SIZE + un32Cap + 7) / 8, 0)
    {
        std::memcpy(reinterpret_cast<u8*>(storage.data()) + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, &un32Cap, 4);
    }
    void* Ptr() { return storage.data(); }
    u32* Set(u32 off) { return reinterpret_cast<u32*>(reinterpret_cast<u8*>(storage.data()) + VQX_MSG_HEADER_SIZE + off); }
    std::vector<u64> storage;
};

constexpr u32 kCap = 0x40000;

void Fill(BenchMsg& msg, u32 n)
{
    VQXMsgElementInit(msg.Ptr(), 16);
    for (u32 i = 0; i < n; ++i) {
        void* p = nullptr;
        VQXMsgElementAlloc(msg.Ptr(), msg.Set(0), 24, &p);
    }
}

void BM_AppendSet(benchmark::State& state)
{
    const u32 n = static_cast<u32>(state.range(0));
    BenchMsg msg(kCap);
    for (auto _ : state) {
        Fill(msg, n);
        benchmark::DoNotOptimize(msg.Set(0));
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AppendSet)->Arg(8)->Arg(64)->Arg(512)->Arg(4096);

void BM_GetByIndex(benchmark::State& state)
{
    const u32 n = static_cast<u32>(state.range(0));
    BenchMsg msg(kCap);
    Fill(msg, n);
    for (auto _ : state) {
        for (u32 i = 0; i < n; ++i) {
            benchmark::DoNotOptimize(VQXMsgElementGet(msg.Set(0), static_cast<u16>(i), nullptr));
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GetByIndex)->Arg(8)->Arg(64)->Arg(512);

void BM_GetNextWalk(benchmark::State& state)
{
    const u32 n = static_cast<u32>(state.range(0));
    BenchMsg msg(kCap);
    Fill(msg, n);
    for (auto _ : state) {
        for (void* p = VQXMsgElementGetNext(msg.Set(0), nullptr, nullptr); p != nullptr;
             p = VQXMsgElementGetNext(msg.Set(0), p, nullptr)) {
            benchmark::DoNotOptimize(p);
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GetNextWalk)->Arg(8)->Arg(64)->Arg(512)->Arg(4096);

void BM_DupSet(benchmark::State& state)
{
    const u32 n = static_cast<u32>(state.range(0));
    BenchMsg src(kCap);
    Fill(src, n);
    BenchMsg dst(kCap);
    for (auto _ : state) {
        VQXMsgElementInit(dst.Ptr(), 16);
        benchmark::DoNotOptimize(VQXMsgElementDupSet(src.Set(0), dst.Ptr(), dst.Set(0), nullptr, nullptr));
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DupSet)->Arg(8)->Arg(64)->Arg(512)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
