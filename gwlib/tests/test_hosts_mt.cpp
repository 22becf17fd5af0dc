/*
 * test_hosts_mt.cpp - two hosts' instances in one process link to each
 * other over 127.0.0.1 (the one with the greater unique id connects), carry
 * batches both ways, refuse what the peer's framing would reject, refuse a
 * too short handshake, and leave no thread or descriptor behind. Run under
 * ThreadSanitizer too.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <atomic>
#include <functional>

#include "gw_test_support.h"

using namespace gwtest;

namespace
{

constexpr u64 kSmallId = 0x7F00000100000001ull;
constexpr u64 kGreatId = 0x7F00000100000002ull;

struct Pair
{
    Recorder recA, recB; /* A has the greater id */
    u16 portA = FreePort(), portB = FreePort();
    VQX_GW_EXTRA_ADDR extraA{}, extraB{};
    VqxGwLibContext a = nullptr, b = nullptr;

    explicit Pair(u32 pollMs = 300, const char* appA = "appA",
                  const std::function<void(VqxGwLibParams& pa, VqxGwLibParams& pb)>& adjust = nullptr)
    {
        UseLoopbackOnly();
        recA.fKeepTraces = recB.fKeepTraces = true;
        VqxGwLibParams pa = HostParams(portA, portB, kGreatId, appA, recA, pollMs, 2000, 2000, &extraA);
        VqxGwLibParams pb = HostParams(portB, portA, kSmallId, "appB", recB, pollMs, 2000, 2000, &extraB);
        if (adjust)
            adjust(pa, pb);
        EXPECT_EQ(VqxGwLibAllocate(&pa, &a), VQX_RESULT_OK);
        EXPECT_EQ(VqxGwLibAllocate(&pb, &b), VQX_RESULT_OK);
    }
    void Enable()
    {
        EXPECT_EQ(VqxGwLibEnable(b), VQX_RESULT_OK);
        EXPECT_EQ(VqxGwLibEnable(a), VQX_RESULT_OK);
    }
    ~Pair()
    {
        if (a != nullptr)
            VqxGwLibDestroy(a);
        if (b != nullptr)
            VqxGwLibDestroy(b);
    }
    bool BothUp(u32 ms)
    {
        auto up = [](Recorder& r) {
            for (auto& u : r.UpDowns)
                if (u.fGw0Up)
                    return true;
            return false;
        };
        return recA.WaitFor(ms, [&] { return up(recA); }) && recB.WaitFor(ms, [&] { return up(recB); });
    }
    u32 PeerOf(Recorder& r)
    {
        std::lock_guard<std::mutex> g(r.m);
        return r.UpDowns.empty() ? 0 : r.UpDowns[0].hPeer;
    }
};

bool HasTrace(Recorder& r, const std::string& part)
{
    std::lock_guard<std::mutex> g(r.m);
    for (auto& t : r.Traces)
        if (t.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(GwHosts, GreaterUniqueIdConnectsAndBothSeeThePathUp)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    EXPECT_TRUE(HasTrace(p.recA, "CnxMode is OUT"));
    EXPECT_TRUE(HasTrace(p.recB, "CnxMode is IN"));
    EXPECT_TRUE(HasTrace(p.recB, "VqxGwLibAcceptPeer: Done."));
    EXPECT_FALSE(HasTrace(p.recA, "VqxGwLibAcceptPeer: Done."));
    EXPECT_EQ(p.PeerOf(p.recA) >> 24, 0xCBu);
    std::lock_guard<std::mutex> g(p.recA.m);
    EXPECT_EQ(p.recA.UpDowns[0].un32InfoId, 0x484C5041u); /* a host block */
}

TEST(GwHosts, TwentyMessagesLeaveAsFifteenAndFive)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    const u32 hB = p.PeerOf(p.recA);
    std::vector<std::vector<u8>> msgs;
    std::vector<VqxGwLibSendRecord> recs;
    for (u32 i = 0; i < 20; i++)
        msgs.push_back(std::vector<u8>(100 + i, u8(i)));
    for (u32 i = 0; i < 20; i++)
        recs.push_back({msgs[i].data(), u32(msgs[i].size()), i + 1, 0});
    EXPECT_GE(VqxGwLibCanSendMsg(p.a, hB, nullptr), 20u);
    ASSERT_EQ(VqxGwLibSendMsgs(p.a, hB, 20, recs.data(), 1), VQX_RESULT_OK);
    ASSERT_TRUE(p.recB.WaitFor(3000, [&] { return p.recB.Messages.size() >= 20; }));
    EXPECT_TRUE(HasTrace(p.recB, "VqxGwLibRxProcessPeerDataReady testhost.appA:gw0 : Reading for MultiMsg header"));
    EXPECT_TRUE(HasTrace(p.recB, "VqxGwLibRxMultiHeaderParse testhost.appA:gw0 : Receiving payload for 15 messages"));
    EXPECT_TRUE(HasTrace(p.recA, "testhost.appB : Finished sending MultiMsgHeader to gw0"));
    std::lock_guard<std::mutex> g(p.recB.m);
    EXPECT_EQ(p.recB.BatchCounts, (std::vector<u32>{15, 5}));
    for (u32 i = 0; i < 20; i++)
        EXPECT_EQ(p.recB.Messages[i], msgs[i]) << i;
}

TEST(GwHosts, BothDirectionsAndFreeAfterSend)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    const u32 hA = p.PeerOf(p.recB);
    for (u32 i = 0; i < 300; i++)
    {
        u8* m = static_cast<u8*>(std::malloc(64));
        std::memset(m, int(i), 64);
        VqxGwLibSendRecord r{m, 64, i, 1};
        VQX_RESULT res;
        for (int t = 0; t < 500 && (res = VqxGwLibSendMsgs(p.b, hA, 1, &r, 0)) == VQX_RESULT_OUT_OF_RESOURCE; t++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(res, VQX_RESULT_OK);
    }
    ASSERT_TRUE(p.recA.WaitFor(5000, [&] { return p.recA.Messages.size() >= 300; }));
    ASSERT_TRUE(p.recB.WaitFor(3000, [&] { return p.recB.nFreed >= 300; }));
    std::lock_guard<std::mutex> g(p.recA.m);
    for (u32 i = 0; i < 300; i++)
        EXPECT_EQ(p.recA.Messages[i][0], u8(i));
}

TEST(GwHosts, MessagesPastTheFramingLimitAreRefusedAtSendTime)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    const u32 hB = p.PeerOf(p.recA);
    std::vector<u8> big(VQX_GW_MAX_MSG_SIZE + 1, 0x5A);
    struct Row
    {
        u32 size;
        VQX_RESULT expect;
    } const rows[] = {
        {VQX_GW_MAX_MSG_SIZE + 1, VQX_RESULT_INVALID_PARAM},
        {0, VQX_RESULT_INVALID_PARAM},
        {VQX_GW_MAX_MSG_SIZE, VQX_RESULT_OK},
    };
    for (const Row& r : rows)
    {
        VqxGwLibSendRecord rec[2] = {{big.data(), 10, 1, 0}, {big.data(), r.size, 2, 0}};
        EXPECT_EQ(VqxGwLibSendMsgs(p.a, hB, 2, rec, 1), r.expect) << r.size;
    }
    /* only the accepted call reached the peer, and the link stayed up */
    ASSERT_TRUE(p.recB.WaitFor(5000, [&] { return p.recB.Messages.size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> g(p.recB.m);
    ASSERT_EQ(p.recB.Messages.size(), 2u);
    EXPECT_EQ(p.recB.Messages[1].size(), size_t(VQX_GW_MAX_MSG_SIZE));
    EXPECT_EQ(p.recB.UpDowns.size(), 1u);
    EXPECT_EQ(VqxGwLibSendMsgs(p.a, 0xCB00ABCD, 1, nullptr, 1), VQX_RESULT_NULL_PARAM);
    VqxGwLibSendRecord one{big.data(), 10, 1, 0};
    EXPECT_EQ(VqxGwLibSendMsgs(p.a, 0xCB00ABCD, 1, &one, 1), VQX_RESULT_NOT_ACCESSIBLE);
}

TEST(GwHosts, ForceDisconnectReportsReason2)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    const u32 hB = p.PeerOf(p.recA);
    EXPECT_EQ(VqxGwLibForceDisconnect(p.a, 0xCB00ABCD, 1, 1), VQX_RESULT_INVALID_HANDLE);
    ASSERT_EQ(VqxGwLibForceDisconnect(p.a, hB, 1, 0), VQX_RESULT_OK);
    ASSERT_TRUE(p.recA.WaitFor(3000, [&] { return p.recA.UpDowns.size() >= 2; }));
    std::lock_guard<std::mutex> g(p.recA.m);
    EXPECT_EQ(p.recA.UpDowns[1].fGw0Up, 0u);
    EXPECT_EQ(p.recA.UpDowns[1].un32Reason, 2u);
}

TEST(GwHosts, ShortOrOversizedHandshakeIsRefused)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    u32 portB;
    {
        std::lock_guard<std::mutex> g(p.recA.m);
        portB = p.recA.UpDowns[0].un32TcpPort;
    }
    ASSERT_NE(portB, 0u);
    struct Row
    {
        u32 len;
        u32 sent;
    } const rows[] = {{100, 100}, {439, 439}, {1465, 64}, {0xFFFFFFFF, 64}};
    for (const Row& r : rows)
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001u);
        a.sin_port = htons(u16(portB));
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        std::vector<u8> out(4 + r.sent, 0x41);
        PutBe32Raw(out.data(), r.len);
        ASSERT_EQ(send(s, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
        timeval tv{3, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        u8 b;
        EXPECT_LE(recv(s, &b, 1, 0), 0) << r.len; /* closed, nothing sent back */
        close(s);
    }
    EXPECT_TRUE(p.recB.HasError("bad length"));
    std::lock_guard<std::mutex> g(p.recB.m);
    EXPECT_EQ(p.recB.UpDowns.size(), 1u); /* no new peer came up */
}

TEST(GwHosts, DestroyLeavesNoThreadNorDescriptor)
{
    const int threads0 = ThreadCount(), fds0 = FdCount();
    {
        Pair p;
        EXPECT_EQ(ThreadCount(), threads0);
        p.Enable();
        EXPECT_EQ(ThreadCount(), threads0 + 8); /* four per instance */
        ASSERT_TRUE(p.BothUp(8000));
        EXPECT_GT(FdCount(), fds0);
        /* a second enable after a disable starts no thread */
        EXPECT_EQ(VqxGwLibDisable(p.a), VQX_RESULT_OK);
        EXPECT_EQ(VqxGwLibEnable(p.a), VQX_RESULT_OK);
        EXPECT_EQ(ThreadCount(), threads0 + 8);
    }
    for (int i = 0; i < 50 && ThreadCount() != threads0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ThreadCount(), threads0);
    EXPECT_EQ(FdCount(), fds0);
}

namespace
{
/* A receive callback that holds the first batch for longer than the
 * destruction's wait for the transmit links. */
struct SlowRx
{
    std::atomic<int> nCalls{0};
    std::atomic<u32> nMsgs{0};
    std::atomic<bool> fInside{false};
    static void On(void* ctx, u32, u32, u32 n, void** bufs, const u32*, u32*)
    {
        SlowRx* s = static_cast<SlowRx*>(ctx);
        if (s->nCalls++ == 0)
        {
            s->fInside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(7500));
        }
        for (u32 i = 0; i < n; i++)
            std::free(bufs[i]);
        s->nMsgs += n;
    }
};
} // namespace

TEST(GwHosts, DestroyWaitsForTheReceiveCallbackInProgress)
{
    SlowRx slow;
    /* A's name is longer than the inline string buffer: B's record of A
     * keeps it on the heap, where a use after the record's release is
     * caught. */
    Pair p(300, "an-application-with-a-long-name", [&](VqxGwLibParams&, VqxGwLibParams& pb) {
        pb.pFctRxMultiple = SlowRx::On;
        pb.pRxCtx = &slow;
    });
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    const u32 hB = p.PeerOf(p.recA);
    /* 16 messages leave in one write (a batch of 15 and a batch of 1), so
     * the second batch is parsed after the first callback returns. */
    std::vector<u8> msg(100, 0x33);
    VqxGwLibSendRecord recs[16];
    for (u32 i = 0; i < 16; i++)
        recs[i] = {msg.data(), u32(msg.size()), i, 0};
    ASSERT_EQ(VqxGwLibSendMsgs(p.a, hB, 16, recs, 1), VQX_RESULT_OK);
    for (int i = 0; i < 500 && !slow.fInside; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(slow.fInside.load());
    EXPECT_EQ(VqxGwLibDestroy(p.b), VQX_RESULT_OK);
    p.b = nullptr;
    EXPECT_EQ(slow.nCalls.load(), 2);
    EXPECT_EQ(slow.nMsgs.load(), 16u);
    EXPECT_TRUE(p.recB.HasError("still in use"));
}

namespace
{
/* An up/down callback that keeps reading the block it was given for a
 * while, as a host library copying it would, and notes any change. */
struct BlockReader
{
    std::atomic<int> nUp{0};
    std::atomic<bool> fInside{false}, fChanged{false};
    static void On(void* ctx, u32, const void* pInfo, u32 fGw0Up, u32, u32)
    {
        BlockReader* r = static_cast<BlockReader*>(ctx);
        if (!fGw0Up || r->nUp++ != 0)
            return;
        u8 first[kHostAdvSizeForTest];
        std::memcpy(first, pInfo, sizeof(first));
        r->fInside = true;
        for (int i = 0; i < 100; i++)
        {
            u8 now[kHostAdvSizeForTest];
            std::memcpy(now, pInfo, sizeof(now));
            if (std::memcmp(first, now, sizeof(now)) != 0)
                r->fChanged = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        r->fInside = false;
    }
    static constexpr size_t kHostAdvSizeForTest = 440;
};
} // namespace

TEST(GwHosts, UpDownBlockStaysStillWhileAdvertisementsArrive)
{
    /* Advertisements update the peer's record while its up report is being
     * made without the lock: the callback must get a block nobody writes. */
    BlockReader reader;
    Pair p(300, "appA", [&](VqxGwLibParams& pa, VqxGwLibParams&) {
        pa.pFctUpDown = BlockReader::On;
        pa.pUpDownCtx = &reader;
    });
    p.Enable();
    for (int i = 0; i < 800 && !reader.fInside; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(reader.fInside.load());
    /* each round of B sends A its advertisement (kind 2) */
    for (int i = 0; i < 8 && reader.fInside; i++)
    {
        EXPECT_EQ(VqxGwLibForceDiscover(p.b), VQX_RESULT_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    for (int i = 0; i < 200 && reader.fInside; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(reader.fChanged.load());
}

namespace
{
/* A host-library style re-entrant lock that defers events to its
 * outermost leave. */
struct ExtLock
{
    std::recursive_mutex m;
    std::atomic<std::thread::id> owner{};
    int depth = 0;
    std::vector<void*> pending;
    std::atomic<int> deferred{0};

    static void Enter(void* c)
    {
        ExtLock* l = static_cast<ExtLock*>(c);
        l->m.lock();
        l->owner = std::this_thread::get_id();
        l->depth++;
    }
    static void Leave(void* c)
    {
        ExtLock* l = static_cast<ExtLock*>(c);
        if (--l->depth > 0)
        {
            l->m.unlock();
            return;
        }
        std::vector<void*> ev;
        ev.swap(l->pending);
        l->owner = std::thread::id();
        l->m.unlock();
        for (void* e : ev)
            VqxGwLibEventSetNow(e);
    }
    static void Set(void* c, void* e)
    {
        ExtLock* l = static_cast<ExtLock*>(c);
        if (l->owner.load() == std::this_thread::get_id())
        {
            l->pending.push_back(e);
            l->deferred++;
        }
        else
            VqxGwLibEventSetNow(e);
    }
    static void Destroy(void* c, void* e)
    {
        ExtLock* l = static_cast<ExtLock*>(c);
        std::lock_guard<std::recursive_mutex> g(l->m);
        for (size_t i = 0; i < l->pending.size(); i++)
            if (l->pending[i] == e)
                l->pending.erase(l->pending.begin() + long(i--));
    }
    void Install(VqxGwLibParams& p)
    {
        p.pFctLockEnter = Enter;
        p.pFctLockLeave = Leave;
        p.pFctEventSet = Set;
        p.pFctEventDestroy = Destroy;
        p.pLockCtx = this;
    }
};
} // namespace

TEST(GwHosts, ExternalLockWithDeferredEvents)
{
    UseLoopbackOnly();
    const int threads0 = ThreadCount(), fds0 = FdCount();
    {
        Recorder ra, rb;
        ExtLock la, lb;
        u16 pa = FreePort(), pb = FreePort();
        VQX_GW_EXTRA_ADDR ea{}, eb{};
        VqxGwLibParams prA = HostParams(pa, pb, kGreatId, "appA", ra, 300, 2000, 2000, &ea);
        VqxGwLibParams prB = HostParams(pb, pa, kSmallId, "appB", rb, 300, 2000, 2000, &eb);
        la.Install(prA);
        lb.Install(prB);
        VqxGwLibContext a = nullptr, b = nullptr;
        ASSERT_EQ(VqxGwLibAllocate(&prA, &a), VQX_RESULT_OK);
        ASSERT_EQ(VqxGwLibAllocate(&prB, &b), VQX_RESULT_OK);
        ASSERT_EQ(VqxGwLibEnable(b), VQX_RESULT_OK);
        ASSERT_EQ(VqxGwLibEnable(a), VQX_RESULT_OK);
        ASSERT_TRUE(ra.WaitFor(8000, [&] { return !ra.UpDowns.empty(); }));
        ASSERT_TRUE(rb.WaitFor(8000, [&] { return !rb.UpDowns.empty(); }));
        u32 hB;
        {
            std::lock_guard<std::mutex> g(ra.m);
            hB = ra.UpDowns[0].hPeer;
        }
        std::vector<u8> m(80, 7);
        std::vector<VqxGwLibSendRecord> recs(20, VqxGwLibSendRecord{m.data(), 80, 1, 0});
        ASSERT_EQ(VqxGwLibSendMsgs(a, hB, 20, recs.data(), 1), VQX_RESULT_OK);
        EXPECT_TRUE(rb.WaitFor(3000, [&] { return rb.Messages.size() >= 20; }));
        EXPECT_GT(la.deferred.load() + lb.deferred.load(), 0); /* events went through the user's lock */
        EXPECT_EQ(VqxGwLibDestroy(a), VQX_RESULT_OK);
        EXPECT_EQ(VqxGwLibDestroy(b), VQX_RESULT_OK);
    }
    EXPECT_EQ(ThreadCount(), threads0);
    EXPECT_EQ(FdCount(), fds0);
}

TEST(GwHosts, RedundancyParamsPerPeer)
{
    Pair p;
    p.Enable();
    ASSERT_TRUE(p.BothUp(8000));
    const u32 hB = p.PeerOf(p.recA);
    VqxGwLibRedundancyParams r{};
    EXPECT_EQ(VqxGwLibGetRedundancyParams(p.a, 0xCB00ABCD, &r), VQX_RESULT_INVALID_HANDLE);
    ASSERT_EQ(VqxGwLibGetRedundancyParams(p.a, hB, &r), VQX_RESULT_OK);
    EXPECT_EQ(r.un32PollDelayMs, 300u);
    EXPECT_EQ(r.un32NetworkDownDelayMs, 2000u);
    EXPECT_EQ(r.fUseGw0, 1u);
    /* switching gw0 off closes it with reason 2 */
    r.fUseGw0 = 0;
    ASSERT_EQ(VqxGwLibSetRedundancyParams(p.a, hB, &r), VQX_RESULT_OK);
    ASSERT_TRUE(p.recA.WaitFor(3000, [&] { return p.recA.UpDowns.size() >= 2; }));
    {
        std::lock_guard<std::mutex> g(p.recA.m);
        EXPECT_EQ(p.recA.UpDowns[1].fGw0Up, 0u);
        EXPECT_EQ(p.recA.UpDowns[1].un32Reason, 2u);
    }
    VqxGwLibRedundancyParams back{};
    if (VqxGwLibGetRedundancyParams(p.a, hB, &back) == VQX_RESULT_OK)
    {
        EXPECT_EQ(back.fUseGw0, 0u); /* unless the peer already expired */
    }
    EXPECT_EQ(VqxGwLibSetRedundancyParams(p.a, 0xCB00ABCD, &r), VQX_RESULT_INVALID_HANDLE);
}
