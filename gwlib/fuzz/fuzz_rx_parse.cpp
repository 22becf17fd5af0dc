/*
 * fuzz_rx_parse.cpp - feeds arbitrary stream bytes to the receive parser of
 * one path twice: once whole, once cut at lengths read from the input (runs
 * of 1-byte chunks among them, so that every header and message boundary can
 * fall inside a read). Both feeds must give the same batches, polls, replies
 * and errors; every buffer the parser allocates must come back through
 * Deliver or Free, and a delivered message must have its announced size.
 *
 * Input: byte 0 = number n of split entries, then n big-endian 16-bit
 * entries, then the stream. An entry with its top bit set is a run of
 * (entry & 0x7FFF) 1-byte chunks, any other one chunk of entry + 1 bytes;
 * the entries are used in turn, again from the first, until the stream ends.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gwlib_rxparse.h"

using namespace vqxgw;

namespace
{

/* Records what the parser does, one line per event; buffers are capped at
 * 1 MiB so that an input cannot make the target allocate 15 x 4 MiB. */
struct Sink : RxSink
{
    long live = 0;
    std::string log;

    void Alloc(u32 n, const u32* sizes, void** bufs) override
    {
        for (u32 i = 0; i < n; i++)
        {
            bufs[i] = sizes[i] <= (1u << 20) ? std::malloc(sizes[i]) : nullptr;
            live += bufs[i] != nullptr;
        }
    }
    void Deliver(u32 n, void** bufs, const u32* sizes) override
    {
        if (n == 0 || n > VQX_GW_MAX_BATCH_MSGS)
            std::abort();
        log += "batch " + std::to_string(n) + "\n";
        for (u32 i = 0; i < n; i++)
        {
            if (bufs[i] == nullptr || sizes[i] == 0 || sizes[i] > VQX_GW_MAX_MSG_SIZE)
                std::abort();
            /* FNV-1a of the message: the same bytes whatever the cuts */
            u32 h = 2166136261u;
            const u8* p = static_cast<const u8*>(bufs[i]);
            for (u32 k = 0; k < sizes[i]; k++)
                h = (h ^ p[k]) * 16777619u;
            log += " " + std::to_string(sizes[i]) + ":" + std::to_string(h) + "\n";
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
    void Poll() override { log += "poll\n"; }
    void PollReply() override { log += "reply\n"; }
    void Error(RxError e, u32 v) override { log += "error " + std::to_string(e) + " " + std::to_string(v) + "\n"; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t nEntries = data[0];
    if (size < 1 + 2 * nEntries)
        return 0;
    std::vector<u32> entries;
    for (size_t i = 0; i < nEntries; i++)
        entries.push_back(u32(data[1 + 2 * i]) << 8 | data[2 + 2 * i]);
    const u8* stream = data + 1 + 2 * nEntries;
    const size_t len = size - 1 - 2 * nEntries;

    Sink whole;
    RxParser p;
    RxError eWhole = p.Feed(stream, len, whole);
    p.Reset(whole);

    Sink cut;
    RxParser q;
    RxError eCut = kRxOk;
    size_t pos = 0, entry = 0;
    u32 ones = 0; /* 1-byte chunks left in the current run */
    while (pos < len)
    {
        size_t n;
        if (ones > 0)
        {
            n = 1;
            ones--;
        }
        else if (entries.empty())
            n = len - pos;
        else
        {
            const u32 e = entries[entry++ % entries.size()];
            if (e & 0x8000u)
            {
                ones = (e & 0x7FFFu) != 0 ? e & 0x7FFFu : 1; /* never a run of nothing */
                continue;
            }
            n = e + 1;
        }
        if (n > len - pos)
            n = len - pos;
        RxError e = q.Feed(stream + pos, n, cut);
        if (e != kRxOk)
            eCut = e;
        pos += n;
    }
    q.Reset(cut);

    if (whole.live != 0 || cut.live != 0 || eWhole != eCut || whole.log != cut.log)
        std::abort();
    return 0;
}
