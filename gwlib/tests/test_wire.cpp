/*
 * test_wire.cpp - packet layouts byte for byte: every UDP kind, the batch
 * header and the TCP polls are compared with golden images made by an
 * independent Python struct encoder (tests/data, check_wire.py), which also
 * decodes what this side encodes. Decoders refuse short input; handles.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gw_test_support.h"
#include "vqx_gwlib_wire.h"

using namespace vqxgw;

namespace
{

VQX_GW_HOST_ADV SampleHostAdv()
{
    VQX_GW_HOST_ADV a{};
    a.un32Id = 0x484C5041;
    a.un8Kind = 2;
    a.un8HostType = 3;
    a.un8NewInfo = 1;
    a.un32TcpPort = 40000;
    a.Info.un64UniqueId = 0x7F00000100000ABCull;
    a.Info.un32InfoVersion = 2;
    std::strcpy(a.Info.szHostName, "testhost");
    std::strcpy(a.Info.szAppName, "quellan");
    a.Info.un64HostCtx1 = 0x1111222233334444ull;
    a.Info.un64HostCtx2 = 0x5555666677778888ull;
    std::strcpy(a.Info.szIpAddress0, "10.1.2.3");
    std::strcpy(a.Info.szIpAddress1, "10.1.3.3");
    a.Info.un32BuildNumber = 0x02070B04;
    a.Info.un8Two = 2;
    return a;
}

VQX_GW_ADAPTER_ADV SampleAdapterAdv()
{
    VQX_GW_ADAPTER_ADV a{};
    a.un32Id = 0x47575041;
    a.un8NewInfo = 1;
    a.un32TcpPort = 5000;
    a.Info.aun32Info[0] = 1;
    a.Info.aun32Info[1] = 2;
    a.Info.aun32Info[2] = 3;
    std::strcpy(a.Info.szAdapterName, "board-1");
    std::strcpy(a.Info.szSerialNumber, "1A2B0C9D");
    a.Info.un32Info280 = 0x280;
    std::strcpy(a.Info.szIpAddress0, "127.0.0.1");
    a.Info.aun8Gw0Info[3] = 1;
    a.Info.aun8Gw1Info[3] = 1;
    a.Info.un32BuildNumber = 0x02070B04;
    a.Info.un32Info424 = 0x424;
    a.Info.un32Info428 = 0x428;
    return a;
}

const PollFields kPoll = {0x0102030405060708ull, 4500, 10000, 2000, 1};

std::vector<u8> ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), {});
}

struct Image
{
    const char* kind;
    std::vector<u8> bytes;
};

std::vector<Image> EncodeAll()
{
    std::vector<Image> v;
    u8 d[kDiscoverySize];
    EncodeDiscovery(kAdaptersDiscoveryId, d);
    v.push_back({"discovery", {d, d + sizeof(d)}});
    u8 s[kSpecificSize];
    EncodeSpecificDiscovery(0x484C4453, 1, "hostA", "appB", s);
    v.push_back({"specific", {s, s + sizeof(s)}});
    u8 p[kPollSize];
    EncodeUdpPoll(0x484C5049, kPoll, p);
    v.push_back({"udp_poll", {p, p + sizeof(p)}});
    u8 h[kHostAdvSize];
    EncodeHostAdv(SampleHostAdv(), h);
    v.push_back({"host_adv", {h, h + sizeof(h)}});
    u8 a[kAdapterAdvSize];
    EncodeAdapterAdv(SampleAdapterAdv(), a);
    v.push_back({"adapter_adv", {a, a + sizeof(a)}});
    u8 b[kBatchHeaderSize];
    const u32 sizes[3] = {100, 200, 0x400000};
    EncodeBatchHeader(3, sizes, b);
    v.push_back({"batch_header", {b, b + sizeof(b)}});
    EncodeHostPoll(b);
    v.push_back({"host_poll", {b, b + sizeof(b)}});
    EncodeHostPollReply(b);
    v.push_back({"host_poll_reply", {b, b + sizeof(b)}});
    u8 ap[kAdapterPollSize];
    EncodeAdapterPoll(kPoll, ap);
    v.push_back({"adapter_poll", {ap, ap + sizeof(ap)}});
    return v;
}

} // namespace

TEST(GwWire, EveryImageMatchesItsGoldenFile)
{
    const char* dir = std::getenv("VQX_TEST_DATA");
    ASSERT_NE(dir, nullptr);
    for (const Image& im : EncodeAll())
    {
        std::vector<u8> golden = ReadFile(std::string(dir) + "/" + im.kind + ".bin");
        EXPECT_EQ(im.bytes, golden) << im.kind;
    }
}

TEST(GwWire, IndependentPythonDecoderAgrees)
{
    char tmpl[] = "/tmp/gwwireXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    for (const Image& im : EncodeAll())
    {
        FILE* f = fopen((dir + "/" + im.kind + ".bin").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(im.bytes.data(), 1, im.bytes.size(), f);
        fclose(f);
    }
    std::string cmd = "python3 " + gwtest::SourcePath("gwlib/tests/check_wire.py") + " " + dir + " > " + dir +
                      "/out.txt 2>&1";
    int rc = std::system(cmd.c_str());
    std::vector<u8> out = ReadFile(dir + "/out.txt");
    EXPECT_EQ(rc, 0) << std::string(out.begin(), out.end());
    std::system(("rm -rf " + dir).c_str());
}

TEST(GwWire, DecodersRoundTripAndTerminateTexts)
{
    u8 h[kHostAdvSize];
    VQX_GW_HOST_ADV in = SampleHostAdv();
    EncodeHostAdv(in, h);
    VQX_GW_HOST_ADV out;
    ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(h, sizeof(h)), out));
    EXPECT_EQ(0, std::memcmp(&in, &out, sizeof(in)));
    /* A host name filling its whole field is cut at its last byte. */
    std::memset(h + kHostAdvOffInfo + kHostInfoOffHostName, 'x', kNameLen);
    ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(h, sizeof(h)), out));
    EXPECT_EQ(std::strlen(out.Info.szHostName), kNameLen - 1);

    u8 a[kAdapterAdvSize];
    VQX_GW_ADAPTER_ADV ain = SampleAdapterAdv();
    EncodeAdapterAdv(ain, a);
    VQX_GW_ADAPTER_ADV aout;
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, false));
    EXPECT_EQ(0, std::memcmp(&ain, &aout, sizeof(ain)));
    /* 420 bytes carry every field up to the gw1 flag; the rest reads as 0. */
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, kAdapterAdvMinSize), aout, false));
    EXPECT_STREQ(aout.Info.szSerialNumber, "1A2B0C9D");
    EXPECT_EQ(aout.Info.un32BuildNumber, 0u);
    /* An empty adapter name takes the gw0 address, except over a link. */
    std::memset(a + kAdapterAdvOffInfo + kAdapterInfoOffName, 0, kNameLen);
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, false));
    EXPECT_STREQ(aout.Info.szAdapterName, "127.0.0.1");
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, true));
    EXPECT_STREQ(aout.Info.szAdapterName, "");

    PollFields pf{};
    u8 p[kPollSize];
    EncodeUdpPoll(1, kPoll, p);
    ASSERT_TRUE(DecodeUdpPoll(VqxGwCursor(p, sizeof(p)), pf));
    EXPECT_EQ(pf.un64HostCtx, kPoll.un64HostCtx);
    EXPECT_EQ(pf.un32PreferredGw, 1u);
    u8 ap[kAdapterPollSize];
    EncodeAdapterPoll(kPoll, ap);
    ASSERT_TRUE(DecodeAdapterPoll(VqxGwCursor(ap, sizeof(ap)), pf));
    EXPECT_EQ(pf.un32AdaDownMs, 10000u);
}

TEST(GwWire, ShortPacketsAreRefusedWithoutReadingPastThem)
{
    struct Row
    {
        const char* what;
        size_t len;
        bool ok;
    } const rows[] = {
        {"host adv 439", kHostAdvSize - 1, false},  {"host adv 440", kHostAdvSize, true},
        {"adapter adv 419", kAdapterAdvMinSize - 1, false}, {"adapter adv 420", kAdapterAdvMinSize, true},
        {"specific 263", kSpecificSize - 1, false}, {"specific 264", kSpecificSize, true},
        {"poll 31", kPollSize - 1, false},          {"poll 32", kPollSize, true},
    };
    for (const Row& r : rows)
    {
        /* The decoder gets exactly len bytes in a buffer of that size, so
         * AddressSanitizer catches any read past them. */
        std::vector<u8> buf(kAdapterAdvSize, 0x31);
        buf.resize(r.len);
        buf.shrink_to_fit();
        bool ok;
        if (std::string(r.what).rfind("host", 0) == 0)
        {
            VQX_GW_HOST_ADV h;
            ok = DecodeHostAdv(VqxGwCursor(buf.data(), buf.size()), h);
        }
        else if (std::string(r.what).rfind("adapter", 0) == 0)
        {
            VQX_GW_ADAPTER_ADV a;
            ok = DecodeAdapterAdv(VqxGwCursor(buf.data(), buf.size()), a, false);
        }
        else if (std::string(r.what).rfind("specific", 0) == 0)
        {
            SpecificDiscovery s;
            ok = DecodeSpecificDiscovery(VqxGwCursor(buf.data(), buf.size()), s);
        }
        else
        {
            PollFields f;
            ok = DecodeUdpPoll(VqxGwCursor(buf.data(), buf.size()), f);
        }
        EXPECT_EQ(ok, r.ok) << r.what;
    }
}

TEST(GwWire, CursorStopsAtTheEnd)
{
    const u8 b[6] = {1, 2, 3, 4, 5, 6};
    VqxGwCursor c(b, sizeof(b));
    EXPECT_EQ(c.Be32(), 0x01020304u);
    EXPECT_EQ(c.Remaining(), 2u);
    EXPECT_EQ(c.Be32(), 0u);
    EXPECT_FALSE(c.Ok());
    EXPECT_EQ(c.Remaining(), 0u);
    EXPECT_EQ(c.U8(), 0u);
    VqxGwCursor d(b, sizeof(b));
    VqxGwCursor sub = d.Sub(4);
    EXPECT_TRUE(d.Ok());
    EXPECT_EQ(sub.Remaining(), 4u);
    d.Sub(3);
    EXPECT_FALSE(d.Ok());
}

TEST(GwWire, HandlesFromNames)
{
    struct Row
    {
        const char* name;
        u32 handle;
    } const rows[] = {
        {"12345678", 0xCA345678},
        {"1A2B0C9D", 0xCA200090}, /* characters other than 1..9 count as 0 */
        {"12", 0xCA000000},
        {"99999999ABC", 0xCA999999},
        {"VQ500_1234", 1234},
        {"VQ500_0x0C000010", 0x0C000010},
        {"VQ500_017", 15},
        /* numbers in the local, group or broadcast ranges stay in our own */
        {"VQ500_0xDA000010", 0xCA000010},
        {"VQ500_0xDA00FFFF", 0xCA00FFFF},
        {"VQ500_0xEA123456", 0xCA123456},
        {"VQ500_0xFFFFFFFF", 0xCAFFFFFF},
        {"VQ500_0", 0xCA000000},
        {"VQ500_0xDA010000", 0xDA010000}, /* just past the local range */
    };
    for (const Row& r : rows)
        EXPECT_EQ(HandleFromName(0xCA, r.name), r.handle) << r.name;
    for (const Row& r : rows)
        EXPECT_FALSE(HandleIsReserved(HandleFromName(0xCA, r.name))) << r.name;
}
