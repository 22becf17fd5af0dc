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

TEST(GwWire, DecodersRoundTripAndRefuseShortPackets)
{
    u8 h[kHostAdvSize];
    const VQX_GW_HOST_ADV hin = SampleHostAdv();
    EncodeHostAdv(hin, h);
    VQX_GW_HOST_ADV hout;
    ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(h, sizeof(h)), hout));
    EXPECT_EQ(0, std::memcmp(&hin, &hout, sizeof(hin)));
    u8 a[kAdapterAdvSize];
    const VQX_GW_ADAPTER_ADV ain = SampleAdapterAdv();
    EncodeAdapterAdv(ain, a);
    VQX_GW_ADAPTER_ADV aout;
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, false));
    EXPECT_EQ(0, std::memcmp(&ain, &aout, sizeof(ain)));
    u8 bh[kBatchHeaderSize];
    const u32 sizes[2] = {5, 9};
    EncodeBatchHeader(2, sizes, bh);
    /* each row: a decoder given exactly len bytes of a packet in a buffer of
     * that size (AddressSanitizer sees any read past them) */
    struct Row
    {
        const char* what;
        const u8* pkt;
        size_t len;
        bool (*decode)(const std::vector<u8>&);
        bool ok;
    } const rows[] = {
        {"host adv 439", h, kHostAdvSize - 1, [](auto& b) { VQX_GW_HOST_ADV o; return DecodeHostAdv(VqxGwCursor(b.data(), b.size()), o); }, false},
        {"host adv 440", h, kHostAdvSize, [](auto& b) { VQX_GW_HOST_ADV o; return DecodeHostAdv(VqxGwCursor(b.data(), b.size()), o); }, true},
        {"adapter adv 419", a, kAdapterAdvMinSize - 1, [](auto& b) { VQX_GW_ADAPTER_ADV o; return DecodeAdapterAdv(VqxGwCursor(b.data(), b.size()), o, false); }, false},
        /* 420 bytes carry every field up to the gw1 flag; the rest reads as 0 */
        {"adapter adv 420", a, kAdapterAdvMinSize, [](auto& b) { VQX_GW_ADAPTER_ADV o; return DecodeAdapterAdv(VqxGwCursor(b.data(), b.size()), o, false) && o.Info.un32BuildNumber == 0 && std::string(o.Info.szSerialNumber) == "1A2B0C9D"; }, true},
        {"specific 263", h, kSpecificSize - 1, [](auto& b) { SpecificDiscovery o; return DecodeSpecificDiscovery(VqxGwCursor(b.data(), b.size()), o); }, false},
        {"specific 264", h, kSpecificSize, [](auto& b) { SpecificDiscovery o; return DecodeSpecificDiscovery(VqxGwCursor(b.data(), b.size()), o); }, true},
        {"poll 31", h, kPollSize - 1, [](auto& b) { PollFields o; return DecodeUdpPoll(VqxGwCursor(b.data(), b.size()), o); }, false},
        {"poll 32", h, kPollSize, [](auto& b) { PollFields o; return DecodeUdpPoll(VqxGwCursor(b.data(), b.size()), o); }, true},
        {"adapter poll 91", h, kAdapterPollSize - 1, [](auto& b) { PollFields o; return DecodeAdapterPoll(VqxGwCursor(b.data(), b.size()), o); }, false},
        {"batch header 11", bh, 11, [](auto& b) { BatchHeader o; return DecodeBatchHeader(VqxGwCursor(b.data(), b.size()), o); }, false},
        {"batch header 12", bh, 12, [](auto& b) { BatchHeader o; return DecodeBatchHeader(VqxGwCursor(b.data(), b.size()), o) && o.aun32Sizes[1] == 9; }, true},
    };
    for (const Row& r : rows)
    {
        std::vector<u8> buf(r.pkt, r.pkt + r.len);
        buf.shrink_to_fit();
        EXPECT_EQ(r.decode(buf), r.ok) << r.what;
    }
    /* a host name filling its whole field is cut at its last byte */
    std::memset(h + kHostAdvOffInfo + kHostInfoOffHostName, 'x', kNameLen);
    ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(h, sizeof(h)), hout));
    EXPECT_EQ(std::strlen(hout.Info.szHostName), kNameLen - 1);
    /* an empty adapter name takes the gw0 address, except over a link */
    std::memset(a + kAdapterAdvOffInfo + kAdapterInfoOffName, 0, kNameLen);
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, false));
    EXPECT_STREQ(aout.Info.szAdapterName, "127.0.0.1");
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, true));
    EXPECT_STREQ(aout.Info.szAdapterName, "");
    EXPECT_EQ(aout.Info.un32Info280, __builtin_bswap32(0x280u)); /* raw over a link */
}

TEST(GwWire, HandlesFromNames)
{
    struct Row
    {
        const char* name;
        bool fSerial;
        u32 handle;
    } const rows[] = {
        {"12345678", true, 0xCA345678},
        {"1A2B0C9D", true, 0xCA200090}, /* characters other than 1..9 count as 0 */
        {"12", true, 0xCA000000},
        {"", true, 0xCA000000},
        {"99999999ABC", true, 0xCA999999},
        {"VQ500_1234", true, 1234},
        {"VQ500_0x0C000010", true, 0x0C000010},
        {"VQ500_017", true, 15},
        /* numbers in the local, group or broadcast ranges stay in our own */
        {"VQ500_0xDA000010", true, 0xCA000010},
        {"VQ500_0xDA00FFFF", true, 0xCA00FFFF},
        {"VQ500_0xEA123456", true, 0xCA123456},
        {"VQ500_0xFFFFFFFF", true, 0xCAFFFFFF},
        {"VQ500_0", true, 0xCA000000},
        {"VQ500_0xDA010000", true, 0xDA010000}, /* just past the local range */
        /* a host name is never a number: its handle stays in the base */
        {"VQ500_0xCB345678", false, 0xCA500000},
        {"VQ500_12", false, 0xCA500012},
    };
    for (const Row& r : rows)
    {
        EXPECT_EQ(HandleFromName(0xCA, r.name, r.fSerial), r.handle) << r.name;
        EXPECT_FALSE(HandleIsReserved(HandleFromName(0xCA, r.name, r.fSerial))) << r.name;
    }
}
