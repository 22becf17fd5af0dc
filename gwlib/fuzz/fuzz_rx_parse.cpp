/*
 * fuzz_rx_parse.cpp - feeds arbitrary stream bytes, split at points taken
 * from the input, to the receive parser; every buffer it allocates must come
 * back through Deliver or Free, and messages must have their announced size.
 */
#include <cstdlib>
#include <cstring>

#include "gwlib_rxparse.h"

using namespace vqxgw;

namespace
{
struct Sink : RxSink
{
    long live = 0;
    void Alloc(u32 n, const u32* sizes, void** bufs) override
    {
        for (u32 i = 0; i < n; i++)
        {
            /* cap what a fuzz input may make us allocate */
            bufs[i] = sizes[i] <= (1u << 20) ? std::malloc(sizes[i]) : nullptr;
            live += bufs[i] != nullptr;
        }
    }
    void Deliver(u32 n, void** bufs, const u32* sizes) override
    {
        if (n == 0 || n > VQX_GW_MAX_BATCH_MSGS)
            std::abort();
        for (u32 i = 0; i < n; i++)
        {
            if (bufs[i] == nullptr || sizes[i] == 0 || sizes[i] > VQX_GW_MAX_MSG_SIZE)
                std::abort();
            std::free(bufs[i]);
            live--;
        }
    }
    void Free(u32 n, void** bufs) override
    {
        for (u32 i = 0; i < n; i++)
            if (bufs[i] != nullptr)
            {
                std::free(bufs[i]);
                live--;
            }
    }
    void Poll() override {}
    void PollReply() override {}
    void Error(RxError, u32) override {}
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    Sink s;
    RxParser p;
    size_t step = 1 + data[0] % 97;
    const u8* q = data + 1;
    size_t left = size - 1;
    while (left > 0)
    {
        size_t n = step < left ? step : left;
        p.Feed(q, n, s);
        q += n;
        left -= n;
        step = 1 + (step * 31 + 7) % 4096;
    }
    p.Reset(s);
    if (s.live != 0)
        std::abort();
    return 0;
}
