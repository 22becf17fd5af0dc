/*
 * bench_gw.cpp - the gateway transport over 127.0.0.1.
 *
 * BM_RxThroughput: a C++ stand-in for the board links into a hosts'
 * instance and streams batches of 15 messages of 150 bytes; counted is what
 * reaches the receive callback through "gwlib_rx_read".
 * BM_PlainReadBaseline: the same bytes through a socket pair read by a plain
 * blocking read loop, in the same run, as the yardstick.
 * BM_RoundTrip: one message from one instance to another and its answer
 * back (sent from the receive callback); the median is reported.
 */
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "vqx_gwlib.h"
#include "vqx_gwlib_wire.h"
#include "peers/gw_raw_host.h"

using namespace vqxgw;

namespace
{

constexpr u32 kMsgSize = 150;
constexpr u32 kBatches = 2000; /* 30000 messages per stream pass */

using loopnet::FreeLoopbackPort;
using loopnet::UseLoopbackNets;

std::vector<u8> Stream()
{
    std::vector<u8> s;
    u32 sizes[15];
    std::fill(sizes, sizes + 15, kMsgSize);
    u8 h[kBatchHeaderSize];
    EncodeBatchHeader(15, sizes, h);
    for (u32 b = 0; b < kBatches; b++)
    {
        s.insert(s.end(), h, h + sizeof(h));
        s.insert(s.end(), 15 * kMsgSize, u8(b));
    }
    return s;
}

struct Counter
{
    std::atomic<u64> msgs{0};
    std::atomic<u32> up{0};
    std::atomic<u64> target{0}; /* wake the waiter only when reached */
    std::mutex m;
    std::condition_variable cv;
    VqxGwLibContext self = nullptr;
    u32 hPeer = 0;
    bool fEcho = false;
};

void Nop(void*, const char*, ...) {}
void OnUpDown(void* c, u32 h, const void*, u32 f0, u32, u32)
{
    Counter* k = static_cast<Counter*>(c);
    std::lock_guard<std::mutex> g(k->m);
    k->hPeer = h;
    k->up = f0;
    k->cv.notify_all();
}
/* The host library takes buffers from pools; a free list stands in for
 * them here (allocation and release both happen on the receive thread). */
thread_local std::vector<void*> t_free;
void AllocMany(void*, u32 n, const u32* sizes, void** bufs)
{
    for (u32 i = 0; i < n; i++)
    {
        if (sizes[i] <= kMsgSize && !t_free.empty())
        {
            bufs[i] = t_free.back();
            t_free.pop_back();
        }
        else
            bufs[i] = std::malloc(sizes[i] < kMsgSize ? kMsgSize : sizes[i]);
    }
}
void Release(void* p)
{
    if (t_free.size() < 4096)
        t_free.push_back(p);
    else
        std::free(p);
}
void FreeOne(void*, void** p)
{
    std::free(*p);
    *p = nullptr;
}
void FreeMany(void*, u32 n, void** bufs)
{
    for (u32 i = 0; i < n; i++)
        std::free(bufs[i]);
}
void OnRx(void* c, u32, u32, u32 n, void** bufs, const u32* sizes, u32*)
{
    Counter* k = static_cast<Counter*>(c);
    if (k->fEcho)
    {
        for (u32 i = 0; i < n; i++)
        {
            VqxGwLibSendRecord r{bufs[i], sizes[i], 1, 1};
            VqxGwLibSendMsgs(k->self, k->hPeer, 1, &r, 1);
        }
    }
    else
        for (u32 i = 0; i < n; i++)
            Release(bufs[i]);
    if ((k->msgs += n) >= k->target)
    {
        std::lock_guard<std::mutex> g(k->m);
        k->cv.notify_all();
    }
}

VqxGwLibParams Host(u16 port, u16 peerPort, u64 id, Counter& k, VQX_GW_EXTRA_ADDR* extra)
{
    VqxGwLibParams p{};
    p.aun16GwPorts[0] = port;
    std::memcpy(&p.un32GwDiscoveryId, "IDLH", 4);
    std::memcpy(&p.un32GwDiscoverySpecificId, "SDLH", 4);
    std::memcpy(&p.un32GwPollId, "IPLH", 4);
    std::memcpy(&p.un32GwReplyId, "APLH", 4);
    p.un64PollHostCtxId = id;
    p.fUseSeparatePollSocket = 1;
    p.fOpenPollSocketsAlways = 1;
    p.un8PeerHandlesBase = 0xCB;
    p.fIsGw0 = p.fIsGw1 = 1;
    p.fWaitConnections = 1;
    p.HostGwParms.un64UniqueId = id;
    std::strcpy(p.HostGwParms.szHostName, "bench");
    std::snprintf(p.HostGwParms.szAppName, 128, "app%llu", static_cast<unsigned long long>(id & 0xFF));
    std::strcpy(p.HostGwParms.szIpAddress0, "127.0.0.1");
    p.HostGwParms.un32BuildNumber = kHostBuildNumber;
    p.RedundancyParams = {1, 2000, 4500, 10000, 1, 1, 0};
    p.pFctRxMultiple = OnRx;
    p.pRxCtx = &k;
    p.pFctUpDown = OnUpDown;
    p.pUpDownCtx = &k;
    p.pFctAllocMsgMultiple = AllocMany;
    p.pFctFreeMsg = FreeOne;
    p.pFctFreeMsgMultiple = FreeMany;
    p.pFctErrorLog = Nop;
    if (extra != nullptr)
    {
        std::strcpy(extra->szIpAddress0, "127.0.0.1");
        extra->un16Port = peerPort;
        p.un32NbExtraGwAddr = 1;
        p.paExtraGwAddr = extra;
    }
    return p;
}

/* Links in as a host with a greater unique id (so the instance accepts),
 * with the link's socket sizes, which the TCP yardstick uses too. */
int LinkIn(u16 udpPort)
{
    gwpeer::RawHost me;
    me.fNoDelay = true;
    me.iSendBuffer = 65535;
    return gwpeer::LinkIn(udpPort, me);
}

void BM_RxThroughput(benchmark::State& state)
{
    UseLoopbackNets(1);
    Counter k;
    u16 port = FreeLoopbackPort();
    VqxGwLibParams p = Host(port, 0, 0x7F00000100000001ull, k, nullptr);
    VqxGwLibContext ctx = nullptr;
    if (VqxGwLibAllocate(&p, &ctx) != VQX_RESULT_OK || VqxGwLibEnable(ctx) != VQX_RESULT_OK)
    {
        state.SkipWithError("allocate");
        return;
    }
    int s = LinkIn(port);
    {
        std::unique_lock<std::mutex> g(k.m);
        if (s < 0 || !k.cv.wait_for(g, std::chrono::seconds(5), [&] { return k.up.load() != 0; }))
        {
            state.SkipWithError("link");
            VqxGwLibDestroy(ctx);
            return;
        }
    }
    const std::vector<u8> stream = Stream();
    const u64 perPass = u64(kBatches) * 15;
    u64 total = 0;
    double secs = 0;
    for (auto _ : state)
    {
        const u64 target = k.msgs + perPass;
        k.target = target;
        auto t0 = std::chrono::steady_clock::now();
        if (write(s, stream.data(), stream.size()) != ssize_t(stream.size()))
            state.SkipWithError("write");
        std::unique_lock<std::mutex> g(k.m);
        k.cv.wait_for(g, std::chrono::seconds(10), [&] { return k.msgs >= target; });
        secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        total += perPass;
    }
    state.counters["msgs_per_s"] = double(total) / secs;
    close(s);
    VqxGwLibDestroy(ctx);
}
BENCHMARK(BM_RxThroughput)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void BM_PlainReadBaseline(benchmark::State& state)
{
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    const std::vector<u8> stream = Stream();
    const u64 perPass = u64(kBatches) * 15;
    u64 total = 0;
    double secs = 0;
    std::vector<u8> buf(16384);
    for (auto _ : state)
    {
        auto t0 = std::chrono::steady_clock::now();
        std::thread w([&] {
            size_t off = 0;
            while (off < stream.size())
            {
                ssize_t n = write(sv[0], stream.data() + off, stream.size() - off);
                if (n <= 0)
                    break;
                off += size_t(n);
            }
        });
        size_t got = 0;
        while (got < stream.size())
        {
            ssize_t n = read(sv[1], buf.data(), buf.size());
            if (n <= 0)
                break;
            got += size_t(n);
        }
        w.join();
        secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        total += perPass;
    }
    state.counters["msgs_per_s"] = double(total) / secs;
    close(sv[0]);
    close(sv[1]);
}
BENCHMARK(BM_PlainReadBaseline)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

/* The same read loop over a TCP pair on 127.0.0.1 with the link's 65535-byte
 * socket buffers: the transport the library itself reads from. */
void BM_PlainReadTcpBaseline(benchmark::State& state)
{
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopnet::LoopbackAddress(0);
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(l, 1);
    a = loopnet::LoopbackAddress(loopnet::BoundPort(l));
    int w = socket(AF_INET, SOCK_STREAM, 0);
    int size = 65535, on = 1;
    setsockopt(w, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(w, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    connect(w, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    int r = accept(l, nullptr, nullptr);
    setsockopt(r, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    close(l);
    const std::vector<u8> stream = Stream();
    const u64 perPass = u64(kBatches) * 15;
    u64 total = 0;
    double secs = 0;
    std::vector<u8> buf(16384);
    for (auto _ : state)
    {
        auto t0 = std::chrono::steady_clock::now();
        std::thread wr([&] {
            if (write(w, stream.data(), stream.size()) != ssize_t(stream.size()))
                std::abort();
        });
        size_t got = 0;
        while (got < stream.size())
        {
            ssize_t n = read(r, buf.data(), buf.size());
            if (n <= 0)
                break;
            got += size_t(n);
        }
        wr.join();
        secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        total += perPass;
    }
    state.counters["msgs_per_s"] = double(total) / secs;
    close(w);
    close(r);
}
BENCHMARK(BM_PlainReadTcpBaseline)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void BM_RoundTrip(benchmark::State& state)
{
    UseLoopbackNets(1);
    Counter ka, kb;
    kb.fEcho = true;
    u16 pa = FreeLoopbackPort();
    u16 pb = FreeLoopbackPort();
    VQX_GW_EXTRA_ADDR ea{}, eb{};
    VqxGwLibParams prA = Host(pa, pb, 0x7F00000100000002ull, ka, &ea);
    VqxGwLibParams prB = Host(pb, pa, 0x7F00000100000001ull, kb, &eb);
    VqxGwLibContext a = nullptr, b = nullptr;
    VqxGwLibAllocate(&prA, &a);
    VqxGwLibAllocate(&prB, &b);
    ka.self = a;
    kb.self = b;
    VqxGwLibEnable(b);
    VqxGwLibEnable(a);
    for (Counter* k : {&ka, &kb})
    {
        std::unique_lock<std::mutex> g(k->m);
        if (!k->cv.wait_for(g, std::chrono::seconds(8), [&] { return k->up.load() != 0; }))
        {
            state.SkipWithError("link");
            VqxGwLibDestroy(a);
            VqxGwLibDestroy(b);
            return;
        }
    }
    std::vector<double> us;
    std::vector<u8> msg(150, 0x42);
    for (auto _ : state)
    {
        const u64 target = ka.msgs + 1;
        ka.target = target;
        auto t0 = std::chrono::steady_clock::now();
        void* m = std::malloc(msg.size());
        std::memcpy(m, msg.data(), msg.size());
        VqxGwLibSendRecord r{m, u32(msg.size()), 1, 1};
        VqxGwLibSendMsgs(a, ka.hPeer, 1, &r, 1);
        std::unique_lock<std::mutex> g(ka.m);
        ka.cv.wait_for(g, std::chrono::seconds(2), [&] { return ka.msgs >= target; });
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us.empty() ? 0 : us[us.size() / 2];
    state.counters["p99_us"] = us.empty() ? 0 : us[us.size() * 99 / 100];
    VqxGwLibDestroy(a);
    VqxGwLibDestroy(b);
}
BENCHMARK(BM_RoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
