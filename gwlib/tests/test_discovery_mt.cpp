/*
 * test_discovery_mt.cpp - the UDP side of a hosts' instance seen from a raw
 * socket on 127.0.0.1: answers to discovery, poll and specific discovery,
 * packets that are too short, a disabled instance; parameter changes; the
 * interface table and its seam.
 */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "gw_test_support.h"
#include "vqx_clock.h"
#include "gwlib_internal.h"
#include "vqx_gwlib_wire.h"

using namespace gwtest;
using namespace vqxgw;

namespace
{

constexpr u64 kId = 0x7F00000100000042ull;

struct Instance
{
    Recorder rec;
    u16 port = FreePort();
    VqxGwLibParams params{};
    VqxGwLibContext ctx = nullptr;
    int udp = -1;

    Instance()
    {
        UseLoopbackOnly();
        rec.fKeepTraces = true;
        params = HostParams(port, 0, kId, "quellan", rec, 2000, 4500, 10000, nullptr);
        EXPECT_EQ(VqxGwLibAllocate(&params, &ctx), VQX_RESULT_OK);
        EXPECT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
        udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001u);
        bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        timeval tv{0, 400000};
        setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~Instance()
    {
        close(udp);
        VqxGwLibDestroy(ctx);
    }
    /* Sends a packet to the instance's discovery port; returns the answers:
     * the first within 2 s (400 ms when none is expected), then any other
     * within 200 ms of it. */
    std::vector<std::vector<u8>> Ask(const std::vector<u8>& pkt, bool fExpectAnswer = true)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001u);
        a.sin_port = htons(port);
        sendto(udp, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        std::vector<std::vector<u8>> out;
        u8 buf[2048];
        timeval first{fExpectAnswer ? 2 : 0, fExpectAnswer ? 0 : 400000}, more{0, 200000};
        setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &first, sizeof(first));
        ssize_t n;
        while ((n = recv(udp, buf, sizeof(buf), 0)) > 0)
        {
            out.emplace_back(buf, buf + n);
            setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &more, sizeof(more));
        }
        return out;
    }
    /* Waits up to 2 s for a trace line holding the text. */
    bool WaitTraced(const std::string& part)
    {
        for (int i = 0; i < 100; i++)
        {
            if (Traced(part))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool Traced(const std::string& part)
    {
        std::lock_guard<std::mutex> g(rec.m);
        for (auto& t : rec.Traces)
            if (t.find(part) != std::string::npos)
                return true;
        return false;
    }
};

std::vector<u8> Word(u32 id, size_t len)
{
    std::vector<u8> v(len, 0);
    PutBe32(v.data(), id);
    return v;
}

} // namespace

TEST(GwDiscovery, AnswersEachQueryOnceByUnicastWithKind1)
{
    Instance in;
    u8 sd[kSpecificSize];
    EncodeSpecificDiscovery(0x484C4453, 0, "testhost", "quellan", sd);
    struct Row
    {
        const char* what;
        std::vector<u8> pkt;
        size_t answers;
    } const rows[] = {
        {"discovery", Word(0x484C4449, 4), 1},
        {"poll", Word(0x484C5049, 32), 1},
        {"short poll", Word(0x484C5049, 31), 0},
        {"specific, us", std::vector<u8>(sd, sd + sizeof(sd)), 1},
        {"short specific", std::vector<u8>(sd, sd + sizeof(sd) - 1), 0},
        {"unknown", Word(0x12345678, 64), 0},
    };
    for (const Row& r : rows)
    {
        auto answers = in.Ask(r.pkt, r.answers != 0);
        ASSERT_EQ(answers.size(), r.answers) << r.what;
        for (auto& a : answers)
        {
            VQX_GW_HOST_ADV adv;
            ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(a.data(), a.size()), adv)) << r.what;
            EXPECT_EQ(adv.un32Id, 0x484C5041u) << r.what;
            EXPECT_EQ(adv.un8Kind, 1u) << r.what;
            EXPECT_EQ(adv.Info.un64UniqueId, kId) << r.what;
            EXPECT_STREQ(adv.Info.szAppName, "quellan") << r.what;
            EXPECT_NE(adv.un32TcpPort, 0u) << r.what;
        }
    }
    EncodeSpecificDiscovery(0x484C4453, 0, "testhost", "otherapp", sd);
    EXPECT_TRUE(in.Ask(std::vector<u8>(sd, sd + sizeof(sd)), false).empty());
    EXPECT_TRUE(in.WaitTraced("Ignoring, this is not us."));
    EXPECT_TRUE(in.WaitTraced("Received unknown packet"));
}

TEST(GwDiscovery, HostAdvertisementsShortOrFromOurselfAreIgnored)
{
    Instance in;
    VQX_GW_HOST_ADV adv{};
    adv.un32Id = 0x484C5041;
    adv.un8Kind = 2;
    adv.un32TcpPort = 1;
    adv.Info.un64UniqueId = kId; /* our own id */
    adv.Info.un32BuildNumber = 0x02070B04;
    std::strcpy(adv.Info.szHostName, "other");
    u8 b[kHostAdvSize];
    EncodeHostAdv(adv, b);
    in.Ask(std::vector<u8>(b, b + kHostAdvSize - 1), false);
    EXPECT_TRUE(in.WaitTraced("Received unknown packet"));
    in.Ask(std::vector<u8>(b, b + kHostAdvSize), false);
    EXPECT_TRUE(in.WaitTraced("from ourself, ignoring"));
    /* a kind-1 advertisement on the broadcast socket is not taken either */
    adv.Info.un64UniqueId = kId + 1;
    adv.un8Kind = 1;
    EncodeHostAdv(adv, b);
    in.Ask(std::vector<u8>(b, b + kHostAdvSize), false);
    EXPECT_TRUE(in.WaitTraced("on private socket. Ignoring"));
    EXPECT_FALSE(in.Traced("Creating host"));
}

TEST(GwDiscovery, DisabledInstanceIsSilent)
{
    Instance in;
    ASSERT_EQ(VqxGwLibDisable(in.ctx), VQX_RESULT_OK);
    EXPECT_TRUE(in.Ask(Word(0x484C4449, 4), false).empty());
    ASSERT_EQ(VqxGwLibEnable(in.ctx), VQX_RESULT_OK);
    EXPECT_EQ(in.Ask(Word(0x484C4449, 4)).size(), 1u);
}

TEST(GwParams, FixedFieldsCannotChange)
{
    Instance in;
    struct Row
    {
        const char* text;
        void (*change)(VqxGwLibParams&);
    } const rows[] = {
        {"un32GwDiscoveryId cannot be modified", [](VqxGwLibParams& p) { p.un32GwDiscoveryId++; }},
        {"un32GwDiscoverySpecificId cannot be modified", [](VqxGwLibParams& p) { p.un32GwDiscoverySpecificId++; }},
        {"un32GwPollId cannot be modified", [](VqxGwLibParams& p) { p.un32GwPollId++; }},
        {"un32GwReplyId cannot be modified", [](VqxGwLibParams& p) { p.un32GwReplyId++; }},
        {"un64PollHostCtxId cannot be modified", [](VqxGwLibParams& p) { p.un64PollHostCtxId++; }},
        {"fUseSeparatePollSocket cannot be modified", [](VqxGwLibParams& p) { p.fUseSeparatePollSocket ^= 1; }},
        {"fUseTCPNagle cannot be modified", [](VqxGwLibParams& p) { p.fUseTCPNagle ^= 1; }},
        {"un8PeerHandlesBase cannot be modified", [](VqxGwLibParams& p) { p.un8PeerHandlesBase++; }},
        {"fIsGw0 cannot be modified", [](VqxGwLibParams& p) { p.fIsGw0 ^= 1; }},
        {"fIsGw1 cannot be modified", [](VqxGwLibParams& p) { p.fIsGw1 ^= 1; }},
        {"fWaitConnections cannot be modified", [](VqxGwLibParams& p) { p.fWaitConnections ^= 1; }},
        {"fDetectAdapters cannot be modified", [](VqxGwLibParams& p) { p.fDetectAdapters ^= 1; }},
        {"HostGwParms cannot be modified", [](VqxGwLibParams& p) { p.HostGwParms.szAppName[0] = 'X'; }},
        {"HostGwParms.szIpAddress0 cannot be modified",
         [](VqxGwLibParams& p) { std::strcpy(p.HostGwParms.szIpAddress0, "10.0.0.1"); }},
    };
    for (const Row& r : rows)
    {
        VqxGwLibParams p = in.params;
        r.change(p);
        EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_INVALID_PARAM) << r.text;
        EXPECT_TRUE(in.rec.HasError(r.text)) << r.text;
    }
    /* an empty gw1 address may be set, once */
    VqxGwLibParams p = in.params;
    std::strcpy(p.HostGwParms.szIpAddress1, "127.0.0.2");
    EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_OK);
    std::strcpy(p.HostGwParms.szIpAddress1, "127.0.0.3");
    EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_INVALID_PARAM);
    EXPECT_TRUE(in.rec.HasError("HostGwParms.szIpAddress1 cannot be modified"));
    /* ports and delays may change */
    p = in.params;
    std::strcpy(p.HostGwParms.szIpAddress1, "127.0.0.2");
    p.RedundancyParams.un32PollDelayMs = 1000;
    EXPECT_EQ(VqxGwLibSetParam(in.ctx, &p), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibPoll(in.ctx), VQX_RESULT_OK);
    EXPECT_EQ(VqxGwLibForceDiscover(in.ctx), VQX_RESULT_OK);
}

namespace
{
u32 FiveInterfaces(u32 max, u32* a, u32* b, u32* m)
{
    u32 n = max < 5 ? max : 5;
    for (u32 i = 0; i < n; i++)
    {
        a[i] = htonl(0x0A000001u + (i << 8));
        m[i] = htonl(0xFFFFFF00u);
        b[i] = htonl(0x0A0000FFu + (i << 8));
    }
    return n;
}
} // namespace

TEST(GwParams, AllocateRefusesWhatItCannotUse)
{
    Recorder rec;
    VqxGwLibParams p = HostParams(FreePort(), 0, kId, "app", rec, 2000, 4500, 10000, nullptr);
    VqxGwLibContext ctx = nullptr;
    EXPECT_EQ(VqxGwLibAllocate(nullptr, &ctx), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VqxGwLibAllocate(&p, nullptr), VQX_RESULT_NULL_PARAM);
    p.pFctErrorLog = nullptr;
    EXPECT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(VqxGwLibEnable(nullptr), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VqxGwLibDestroy(nullptr), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VqxGwLibCanSendMsg(nullptr, 1, nullptr), 0u);
}

TEST(GwInterfaces, CountsAndCopies)
{
    VQXGetIpInterfacesUninit();
    u32 n = 3;
    u32 a[5], b[5], m[5];
    EXPECT_EQ(VQXGetIpInterfaces(nullptr, a, b, m), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VQXGetIpInterfaces(&n, a, b, m), VQX_RESULT_INVALID_STATE);
    VqxGwLibSetInterfaceProvider(FiveInterfaces);
    ASSERT_EQ(VQXGetIpInterfacesInit(), VQX_RESULT_OK);
    n = 3;
    ASSERT_EQ(VQXGetIpInterfaces(&n, a, b, m), VQX_RESULT_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ntohl(a[2]), 0x0A000201u);
    EXPECT_EQ(ntohl(b[2]), 0x0A0002FFu);
    n = 0;
    ASSERT_EQ(VQXGetIpInterfaces(&n, nullptr, nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(n, 5u);
    /* the system table keeps no loopback and no class D/E entry */
    VqxGwLibSetInterfaceProvider(nullptr);
    ASSERT_EQ(VQXGetIpInterfacesRefresh(), VQX_RESULT_OK);
    n = 5;
    ASSERT_EQ(VQXGetIpInterfaces(&n, a, b, m), VQX_RESULT_OK);
    for (u32 i = 0; i < n; i++)
    {
        EXPECT_NE(ntohl(a[i]) >> 24, 127u);
        EXPECT_LE(ntohl(a[i]) >> 24, 223u);
    }
    UseLoopbackOnly();
}

TEST(GwInterfaces, AllowedSubnetWithoutInterfaceIsWarnedAbout)
{
    UseLoopbackOnly();
    Recorder rec;
    u32 subnets[2] = {htonl(0x7F000005u), htonl(0x0A090000u)};
    VqxGwLibParams p = HostParams(FreePort(), 0, kId, "app", rec, 2000, 4500, 10000, nullptr);
    p.un32NbAllowedSubnets = 2;
    p.paun32AllowedSubnetIps = subnets;
    VqxGwLibContext ctx = nullptr;
    ASSERT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
    EXPECT_TRUE(rec.HasError("Could not find local IP interface on the subnet of allowed IP '10.9.0.0'"));
    EXPECT_FALSE(rec.HasError("'127.0.0.5'"));
    EXPECT_EQ(VqxGwLibDestroy(ctx), VQX_RESULT_OK);
}

TEST(GwDiscovery, LostPathSearchSchedule)
{
    struct Row
    {
        u32 downMs;
        bool due;
    } const rows[] = {
        {0, true},          {3599999, true},    {3600000, true}, /* 60 min: first 2 s of a minute */
        {3601999, true},    {3602000, false},   {3659999, false},
        {3660000, true},    {3661000, true},    {3662000, false}, /* 61 min */
        {3600000 * 5 + 1999, true}, {3600000 * 5 + 2000, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(LostPathSearchDue(r.downMs), r.due) << r.downMs;
}

namespace
{
u32 TwoLoopbackNets(u32 max, u32* a, u32* b, u32* m)
{
    if (max < 2)
        return 0;
    a[0] = htonl(0x7F000001u);
    m[0] = htonl(0xFFFF0000u);
    b[0] = htonl(0x7F00FFFFu);
    a[1] = htonl(0x7F010001u);
    m[1] = htonl(0xFFFF0000u);
    b[1] = htonl(0x7F01FFFFu);
    return 2;
}

/* Traces of one forced discovery round of an instance without local
 * address, with the given subnet list. */
std::vector<std::string> RoundTraces(u32 subnet, u32 fExclude)
{
    VqxGwLibSetInterfaceProvider(TwoLoopbackNets);
    VqxGwLibSetBroadcastRedirect(0);
    Recorder rec;
    rec.fKeepTraces = true;
    VqxGwLibParams p = HostParams(FreePort(), 0, kId, "app", rec, 2000, 4500, 10000, nullptr);
    p.HostGwParms.szIpAddress0[0] = '\0';
    p.un32NbAllowedSubnets = 1;
    p.paun32AllowedSubnetIps = &subnet;
    p.fAllowedSubnetsExclude = fExclude;
    VqxGwLibContext ctx = nullptr;
    EXPECT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
    {
        std::lock_guard<std::mutex> g(rec.m);
        rec.Traces.clear();
    }
    EXPECT_EQ(VqxGwLibForceDiscover(ctx), VQX_RESULT_OK);
    VqxGwLibDestroy(ctx);
    UseLoopbackOnly();
    std::vector<std::string> out;
    for (auto& t : rec.Traces)
        if (t.find("Sending 'who is there'") != std::string::npos)
            out.push_back(t);
    return out;
}
} // namespace

TEST(GwDiscovery, AllowedSubnetsChooseTheBroadcastInterfaces)
{
    auto inc = RoundTraces(htonl(0x7F010000u), 0);
    ASSERT_EQ(inc.size(), 1u);
    EXPECT_NE(inc[0].find("0x7F01FFFF"), std::string::npos) << inc[0];
    auto exc = RoundTraces(htonl(0x7F010000u), 1);
    ASSERT_EQ(exc.size(), 1u);
    EXPECT_NE(exc[0].find("0x7F00FFFF"), std::string::npos) << exc[0];
}

TEST(GwDiscovery, SourceFilterWithAutoDiscoveryOffOrLoopbackOnly)
{
    for (u32 fOff = 0; fOff < 3; fOff++)
    {
        UseLoopbackOnly();
        Recorder rec;
        rec.fKeepTraces = true;
        u16 port = FreePort();
        VQX_GW_EXTRA_ADDR extra{};
        VqxGwLibParams p = HostParams(port, port, kId, "app", rec, 2000, 4500, 10000, &extra);
        p.fDisableAutoDiscovery = fOff == 1;
        p.fLocalLoopbackOnly = fOff == 2;
        VqxGwLibContext ctx = nullptr;
        ASSERT_EQ(VqxGwLibAllocate(&p, &ctx), VQX_RESULT_OK);
        ASSERT_EQ(VqxGwLibEnable(ctx), VQX_RESULT_OK);
        auto ask = [&](u32 from, bool fExpect) {
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(from);
            bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
            timeval tv{fExpect ? 2 : 0, fExpect ? 0 : 400000};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            a.sin_addr.s_addr = htonl(0x7F000001u);
            a.sin_port = htons(port);
            u8 d[4];
            EncodeDiscovery(0x484C4449, d);
            sendto(s, d, 4, 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
            u8 b[1500];
            ssize_t n = recv(s, b, sizeof(b), 0);
            close(s);
            return n;
        };
        /* 127.0.0.1 is in the extra list; 127.0.0.2 only on gw0's subnet */
        EXPECT_EQ(ask(0x7F000001u, true), ssize_t(kHostAdvSize)) << fOff;
        EXPECT_EQ(ask(0x7F000002u, fOff == 0), fOff ? -1 : ssize_t(kHostAdvSize)) << fOff;
        VqxGwLibDestroy(ctx);
        std::lock_guard<std::mutex> g(rec.m);
        bool dropped = false, subnet = false;
        for (auto& t : rec.Traces)
        {
            dropped |= t.find("0x7F000002 (Auto Discovery disabled)") != std::string::npos ||
                       t.find("Only local loopback are allowed") != std::string::npos;
            subnet |= t.find("Packet from 0x7F000002 match our gw0 subnet.") != std::string::npos;
        }
        EXPECT_EQ(dropped, fOff != 0);
        EXPECT_EQ(subnet, fOff == 0);
    }
}

namespace
{
std::atomic<u32> g_fakeNow{0};
u32 FakeClock()
{
    return g_fakeNow.load();
}
} // namespace

TEST(GwDiscovery, HostPeerNeverConnectedExpiresAfterTenSeconds)
{
    g_fakeNow = u32(VQXGetClock());
    VqxGwLibSetClock(FakeClock);
    {
        Instance in;
        VQX_GW_HOST_ADV adv{};
        adv.un32Id = 0x484C5041;
        adv.un8Kind = 2;
        adv.un32TcpPort = 1; /* nothing listens there: connecting fails */
        adv.Info.un64UniqueId = kId - 1;
        adv.Info.un32BuildNumber = 0x02070B04;
        std::strcpy(adv.Info.szHostName, "raw");
        std::strcpy(adv.Info.szAppName, "peer");
        std::strcpy(adv.Info.szIpAddress0, "127.0.0.1");
        u8 b[kHostAdvSize];
        EncodeHostAdv(adv, b);
        in.Ask(std::vector<u8>(b, b + sizeof(b)), false);
        EXPECT_TRUE(in.WaitTraced("Creating host raw.peer"));
        g_fakeNow += 9000;
        in.Ask(Word(0x12345678, 8), false); /* wakes the discover thread */
        EXPECT_FALSE(in.Traced("(raw.peer) destroyed"));
        g_fakeNow += 1001;
        for (int i = 0; i < 10 && !in.Traced("(raw.peer) destroyed"); i++)
            in.Ask(Word(0x12345678, 8), false);
        EXPECT_TRUE(in.WaitTraced("(raw.peer) destroyed"));
    }
    VqxGwLibSetClock(nullptr);
}
