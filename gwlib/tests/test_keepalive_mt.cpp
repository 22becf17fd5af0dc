/*
 * test_keepalive_mt.cpp - TCP keep-alive towards a host peer, played by a
 * raw socket on 127.0.0.1 that links into a hosts' instance: a peer that
 * keeps sending data is never polled, one that answers polls stays up, a
 * silent one is polled every poll delay and closed with reason 9. Also the
 * separate-sockets mode of older peers; against a board played by raw
 * sockets, a board on a local interface linked through 127.0.0.1 and a
 * destruction that stops a pending handshake read.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gw_test_support.h"
#include "vqx_gwlib_wire.h"
#include "peers/gw_raw_host.h"

using namespace gwtest;
using namespace vqxgw;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr u32 kOldBuild = 0x02030000; /* TCP polls, combined sockets, no 127.0.0.1 exemption */

struct RawPeer
{
    Recorder rec;
    u16 port = FreePort();
    VqxGwLibContext ctx = nullptr;
    int s = -1;

    u64 un64PeerId;

    RawPeer(u32 pollMs, u32 downMs, u64 peerId = 0x7F000001000000FFull, bool fExpectUp = true) : un64PeerId(peerId)
    {
        UseLoopbackOnly();
        rec.fKeepTraces = true;
        VqxGwLibParams p = HostParams(port, 0, 0x7F00000100000001ull, "inst", rec, pollMs, downMs, downMs, nullptr);
        EXPECT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
        EXPECT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
        s = LinkIn();
        EXPECT_GE(s, 0);
        if (fExpectUp)
        {
            EXPECT_TRUE(rec.WaitFor(5000, [&] { return !rec.UpDowns.empty(); }));
        }
    }
    ~RawPeer()
    {
        if (s >= 0)
            close(s);
        if (ctx != nullptr)
            VqxGwLibDestroy(ctx);
    }
    int LinkIn()
    {
        gwpeer::RawHost me;
        me.un64UniqueId = un64PeerId;
        me.un32BuildNumber = kOldBuild;
        me.un8NewInfo = 0;
        me.pszHostName = "raw";
        me.pszAppName = "peer";
        return gwpeer::LinkIn(port, me);
    }
    /* Reads for ms; counts 64-byte zero polls (nothing else is sent). */
    int CountPolls(u32 ms, bool fAnswer, bool fSendData)
    {
        int polls = 0;
        std::vector<u8> pending;
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end)
        {
            if (fSendData)
            {
                u8 b[kBatchHeaderSize + 10] = {};
                const u32 size = 10;
                u8 h[kBatchHeaderSize];
                EncodeBatchHeader(1, &size, h);
                std::memcpy(b, h, sizeof(h));
                if (send(s, b, sizeof(b), MSG_NOSIGNAL) != ssize_t(sizeof(b)))
                    break;
            }
            pollfd pf{s, POLLIN, 0};
            if (poll(&pf, 1, 50) <= 0)
                continue;
            u8 b[4096];
            ssize_t n = recv(s, b, sizeof(b), 0);
            if (n <= 0)
                break;
            pending.insert(pending.end(), b, b + n);
            while (pending.size() >= kBatchHeaderSize)
            {
                bool zero = std::all_of(pending.begin(), pending.begin() + kBatchHeaderSize, [](u8 x) { return x == 0; });
                EXPECT_TRUE(zero);
                pending.erase(pending.begin(), pending.begin() + kBatchHeaderSize);
                polls++;
                if (fAnswer)
                {
                    u8 r[kBatchHeaderSize];
                    EncodeHostPollReply(r);
                    send(s, r, sizeof(r), MSG_NOSIGNAL);
                }
            }
        }
        return polls;
    }
};

} // namespace

TEST(GwKeepAlive, PeerSendingDataIsNeverPolled)
{
    RawPeer r(500, 2000); /* data every 50 ms, polls due after 500 ms of silence */
    r.CountPolls(300, false, true); /* a link starts with one poll */
    EXPECT_EQ(r.CountPolls(1500, false, true), 0);
    std::lock_guard<std::mutex> g(r.rec.m);
    EXPECT_EQ(r.rec.UpDowns.size(), 1u);
    EXPECT_GT(r.rec.Messages.size(), 10u);
}

TEST(GwKeepAlive, AnsweredPollsKeepTheLinkUp)
{
    RawPeer r(200, 800);
    int polls = r.CountPolls(2000, true, false);
    EXPECT_GE(polls, 4); /* about 10 expected; fewer on a loaded machine */
    EXPECT_LE(polls, 12);
    std::lock_guard<std::mutex> g(r.rec.m);
    EXPECT_EQ(r.rec.UpDowns.size(), 1u);
}

TEST(GwKeepAlive, SilentPeerIsPolledThenClosedWithReason9)
{
    RawPeer r(200, 800);
    auto t0 = Clock::now();
    int polls = r.CountPolls(800, false, false);
    EXPECT_GE(polls, 3);
    ASSERT_TRUE(r.rec.WaitFor(4000, [&] { return r.rec.UpDowns.size() >= 2; }));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_LE(took, 800 + 200 + 2000 + 800); /* slack for a loaded machine */
    std::lock_guard<std::mutex> g(r.rec.m);
    EXPECT_EQ(r.rec.UpDowns[1].fGw0Up, 0u);
    EXPECT_EQ(r.rec.UpDowns[1].un32Reason, 9u);
}

TEST(GwKeepAlive, OlderPeersLinkWithSeparateSockets)
{
    UseLoopbackOnly();
    Recorder ra, rb;
    u16 pa = FreePort(), pb = FreePort();
    VQX_GW_EXTRA_ADDR ea{}, eb{};
    VqxGwLibParams prA = HostParams(pa, pb, 0x7F00000100000002ull, "A", ra, 0, 2000, 2000, &ea);
    VqxGwLibParams prB = HostParams(pb, pa, 0x7F00000100000001ull, "B", rb, 0, 2000, 2000, &eb);
    prA.HostGwParms.un32BuildNumber = prB.HostGwParms.un32BuildNumber = 0x00530000; /* below 0x540002 */
    ra.fKeepTraces = rb.fKeepTraces = true;
    VqxGwLibContext a = nullptr, b = nullptr;
    ASSERT_EQ(VqxGwLibAllocate(&prA, &a), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibAllocate(&prB, &b), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibEnable(a), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibEnable(b), VQX_RESULT_OK);
    EXPECT_TRUE(ra.WaitFor(8000, [&] { return !ra.UpDowns.empty(); }));
    EXPECT_TRUE(rb.WaitFor(8000, [&] { return !rb.UpDowns.empty(); }));
    u32 hB = 0, hA = 0;
    {
        std::lock_guard<std::mutex> g(ra.m);
        if (!ra.UpDowns.empty())
            hB = ra.UpDowns[0].hPeer;
    }
    {
        std::lock_guard<std::mutex> g(rb.m);
        if (!rb.UpDowns.empty())
            hA = rb.UpDowns[0].hPeer;
    }
    std::vector<u8> m(50, 1);
    VqxGwLibSendRecord rec{m.data(), 50, 1, 0};
    EXPECT_EQ(VqxGwLibSendMsgs(a, hB, 1, &rec, 1), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibSendMsgs(b, hA, 1, &rec, 1), VQX_RESULT_OK);
    EXPECT_TRUE(rb.WaitFor(3000, [&] { return !rb.Messages.empty(); }));
    EXPECT_TRUE(ra.WaitFor(3000, [&] { return !ra.Messages.empty(); }));
    auto traced = [](Recorder& r, const char* part) {
        std::lock_guard<std::mutex> g(r.m);
        for (auto& t : r.Traces)
            if (t.find(part) != std::string::npos)
                return true;
        return false;
    };
    /* each side connected its own transmit link and accepted a receive one */
    EXPECT_TRUE(traced(ra, "DOES NOT supports combined sockets mode"));
    EXPECT_TRUE(traced(ra, "Connected to gw0"));
    EXPECT_TRUE(traced(rb, "Connected to gw0"));
    EXPECT_TRUE(traced(ra, "gw0-Rx)."));
    EXPECT_TRUE(traced(rb, "gw0-Rx)."));
    if (::testing::Test::HasFailure())
    {
        std::lock_guard<std::mutex> g(ra.m);
        for (auto& t : ra.Traces)
            printf("A: %s\n", t.c_str());
        for (auto& u : ra.UpDowns)
            printf("A: updown %x %u %u %u\n", u.hPeer, u.fGw0Up, u.fGw1Up, u.un32Reason);
        for (auto& t : rb.Traces)
            printf("B: %s\n", t.c_str());
    }
    VqxGwLibDestroy(a);
    VqxGwLibDestroy(b);
}

TEST(GwKeepAlive, WritingToALinkClosedByTheRemoteRaisesNoSignal)
{
    RawPeer r(0, 800);
    u32 h;
    {
        std::lock_guard<std::mutex> g(r.rec.m);
        h = r.rec.UpDowns[0].hPeer;
    }
    linger lg{1, 0}; /* close with a reset */
    setsockopt(r.s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(r.s);
    r.s = -1;
    std::vector<u8> m(1000, 3);
    for (int i = 0; i < 200; i++)
    {
        VqxGwLibSendRecord rec{m.data(), 1000, u32(i), 0};
        if (VqxGwLibSendMsgs(r.ctx, h, 1, &rec, 1) == VQX_RESULT_NOT_ACCESSIBLE)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(r.rec.WaitFor(3000, [&] { return r.rec.UpDowns.size() >= 2; }));
    std::lock_guard<std::mutex> g(r.rec.m);
    EXPECT_EQ(r.rec.UpDowns[1].fGw0Up, 0u);
    const u32 reason = r.rec.UpDowns[1].un32Reason;
    EXPECT_TRUE(reason == 3 || reason == 4 || reason == 5) << reason;
}

TEST(GwKeepAlive, SmallerPeerConnectingInIsRefused)
{
    /* the instance's id is the greater one: it connects, it does not accept */
    RawPeer r(0, 800, 0x7F00000100000000ull, false);
    pollfd pf{r.s, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 3000), 1);
    u8 b;
    EXPECT_LE(recv(r.s, &b, 1, 0), 0); /* closed without a byte */
    std::lock_guard<std::mutex> g(r.rec.m);
    EXPECT_TRUE(r.rec.UpDowns.empty());
    bool refused = false;
    for (auto& t : r.rec.Traces)
        refused |= t == "VqxGwLibAcceptPeer: Refusing connection from raw.peer because ConnectionMode is 'OUT only'";
    EXPECT_TRUE(refused);
}

TEST(GwKeepAlive, PartlyReceivedBatchIsFreedWhenTheLinkOrTheInstanceGoes)
{
    for (int fDestroy = 0; fDestroy < 2; fDestroy++)
    {
        RawPeer r(0, 800);
        const u32 sizes[2] = {1000, 1000};
        u8 h[kBatchHeaderSize];
        EncodeBatchHeader(2, sizes, h);
        std::vector<u8> out(h, h + sizeof(h));
        out.resize(out.size() + 1500, 0x77); /* the first message and half the second */
        ASSERT_EQ(send(r.s, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (fDestroy)
        {
            VqxGwLibDestroy(r.ctx);
            r.ctx = nullptr;
        }
        else
        {
            close(r.s);
            r.s = -1;
            EXPECT_TRUE(r.rec.WaitFor(3000, [&] { return r.rec.UpDowns.size() >= 2; }));
        }
        std::lock_guard<std::mutex> g(r.rec.m);
        EXPECT_EQ(r.rec.nFreed, 2) << fDestroy;
        EXPECT_TRUE(r.rec.Messages.empty()) << fDestroy;
    }
}

TEST(GwKeepAlive, OldHostPeerWithoutAnswersToUdpPollsClosesWithReason7)
{
    UseLoopbackOnly();
    Recorder ra, rb;
    u16 pa = FreePort(), pb = FreePort();
    VQX_GW_EXTRA_ADDR ea{}, eb{};
    VqxGwLibParams prA = HostParams(pa, pb, 0x7F00000100000002ull, "A", ra, 200, 800, 800, &ea);
    /* B, which stops answering, would itself time out A only much later */
    VqxGwLibParams prB = HostParams(pb, pa, 0x7F00000100000001ull, "B", rb, 200, 8000, 8000, &eb);
    prA.HostGwParms.un32BuildNumber = prB.HostGwParms.un32BuildNumber = 700; /* UDP keep-alive only */
    VqxGwLibContext a = nullptr, b = nullptr;
    ASSERT_EQ(VqxGwLibAllocate(&prA, &a), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibAllocate(&prB, &b), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibEnable(a), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibEnable(b), VQX_RESULT_OK);
    EXPECT_TRUE(ra.WaitFor(8000, [&] { return !ra.UpDowns.empty(); }));
    /* answered UDP polls keep the link */
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    {
        std::lock_guard<std::mutex> g(ra.m);
        EXPECT_EQ(ra.UpDowns.size(), 1u);
    }
    ASSERT_EQ(VqxGwLibDisable(b), VQX_RESULT_OK); /* B stops answering */
    EXPECT_TRUE(ra.WaitFor(5000, [&] { return ra.UpDowns.size() >= 2; }));
    {
        std::lock_guard<std::mutex> g(ra.m);
        if (ra.UpDowns.size() >= 2)
        {
            EXPECT_EQ(ra.UpDowns[1].fGw0Up, 0u);
            EXPECT_EQ(ra.UpDowns[1].un32Reason, 7u);
        }
    }
    VqxGwLibDestroy(a);
    VqxGwLibDestroy(b);
}

namespace
{
/* A board played by raw sockets on 127.0.0.1: a TCP listener and its
 * advertisement, sent unasked to an adapters' instance on udpPort. */
struct FakeBoard
{
    int lst = -1, u = -1;
    u16 tcpPort = 0;
    FakeBoard()
    {
        lst = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001u);
        bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(lst, 4);
        socklen_t l = sizeof(a);
        getsockname(lst, reinterpret_cast<sockaddr*>(&a), &l);
        tcpPort = ntohs(a.sin_port);
        u = socket(AF_INET, SOCK_DGRAM, 0);
    }
    ~FakeBoard()
    {
        close(u);
        close(lst);
    }
    /* Advertises itself until the instance links in; the accepted socket
     * or -1. */
    int AdvertiseUntilLinked(u16 udpPort, u32 replyId, const char* ip0, const char* ip1)
    {
        VQX_GW_ADAPTER_ADV adv{};
        adv.un32Id = replyId;
        adv.un8NewInfo = 1;
        adv.un32TcpPort = tcpPort;
        std::strcpy(adv.Info.szAdapterName, "fake");
        std::strcpy(adv.Info.szSerialNumber, "87654321");
        std::strcpy(adv.Info.szIpAddress0, ip0);
        std::strcpy(adv.Info.szIpAddress1, ip1);
        adv.Info.aun8Gw0Info[3] = adv.Info.aun8Gw1Info[3] = 1;
        adv.Info.un32BuildNumber = 0x02070B04;
        u8 pkt[kAdapterAdvSize];
        EncodeAdapterAdv(adv, pkt);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(0x7F000001u);
        to.sin_port = htons(udpPort);
        for (int i = 0; i < 30; i++)
        {
            sendto(u, pkt, sizeof(pkt), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
            pollfd pf{lst, POLLIN, 0};
            if (poll(&pf, 1, 100) == 1)
                return accept(lst, nullptr, nullptr);
        }
        return -1;
    }
};

/* Records the address texts of the block each up report carries. */
struct BlockTexts
{
    std::mutex m;
    std::vector<std::pair<std::string, std::string>> ups;
    static void On(void* ctx, u32, const void* pInfo, u32 fGw0Up, u32 fGw1Up, u32)
    {
        BlockTexts* t = static_cast<BlockTexts*>(ctx);
        const VQX_GW_ADAPTER_ADV* a = static_cast<const VQX_GW_ADAPTER_ADV*>(pInfo);
        if (fGw0Up || fGw1Up)
        {
            std::lock_guard<std::mutex> g(t->m);
            t->ups.emplace_back(a->Info.szIpAddress0, a->Info.szIpAddress1);
        }
    }
};

u32 InterfaceIs127002(u32 max, u32* a, u32* b, u32* m)
{
    if (max == 0)
        return 0;
    a[0] = htonl(0x7F000002u);
    b[0] = htonl(0x7FFFFFFFu);
    m[0] = htonl(0xFF000000u);
    return 1;
}
} // namespace

TEST(GwKeepAlive, BoardOnALocalInterfaceIsLinkedThrough127001OnGw0Only)
{
    UseLoopbackOnly();
    VqxGwLibSetInterfaceProvider(InterfaceIs127002);
    VQXGetIpInterfacesRefresh();
    Recorder rec;
    BlockTexts texts;
    const u16 udp = FreePort();
    FakeBoard board;
    VqxGwLibParams p = AdapterParams(udp, rec, 200, 2000, 2000);
    std::memset(p.AdapterGwParams.szIpAddress0, 0, sizeof(p.AdapterGwParams.szIpAddress0));
    p.pFctUpDown = BlockTexts::On;
    p.pUpDownCtx = &texts;
    VqxGwLibContext ctx = nullptr;
    ASSERT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
    /* gw0 127.0.0.2 is this host's interface: the link goes to 127.0.0.1,
     * where the fake listens, and gw1 is dropped */
    int s = board.AdvertiseUntilLinked(udp, p.un32GwReplyId, "127.0.0.2", "127.0.0.3");
    ASSERT_GE(s, 0);
    const u8 pid[4] = {0, 0, 0, 7};
    ASSERT_EQ(send(s, pid, sizeof(pid), MSG_NOSIGNAL), 4);
    bool fUp = false;
    for (int i = 0; i < 300 && !fUp; i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> g(texts.m);
        fUp = !texts.ups.empty();
    }
    ASSERT_TRUE(fUp);
    {
        std::lock_guard<std::mutex> g(texts.m);
        EXPECT_EQ(texts.ups[0].first, "127.0.0.1");
        EXPECT_EQ(texts.ups[0].second, "");
    }
    EXPECT_EQ(VqxGwLibDestroy(ctx), VQX_RESULT_OK);
    close(s);
    UseLoopbackOnly();
}

TEST(GwKeepAlive, DestroyStopsAHandshakeReadAtOnce)
{
    /* A board that accepts the link but never sends its 4-byte handshake:
     * the destruction ends the connect thread's read without waiting for
     * the read's 1000 ms limit. */
    UseLoopbackOnly();
    Recorder rec;
    const u16 udp = FreePort();
    FakeBoard board;
    VqxGwLibParams p = AdapterParams(udp, rec, 200, 2000, 2000);
    VqxGwLibContext ctx = nullptr;
    ASSERT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
    ASSERT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
    int s = board.AdvertiseUntilLinked(udp, p.un32GwReplyId, "127.0.0.1", "");
    ASSERT_GE(s, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); /* inside the read */
    const auto t0 = Clock::now();
    EXPECT_EQ(VqxGwLibDestroy(ctx), VQX_RESULT_OK);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_LT(took, 700); /* the read stopped on the destruction, not on its limit */
    close(s);
}
