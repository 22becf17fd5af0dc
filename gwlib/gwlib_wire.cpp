/*
 * gwlib_wire.cpp - encoders and decoders of the gateway wire packets
 * (layouts in vqx_gwlib_wire.h). Pure functions, no state; used by the
 * discover, accept, connect and receive code and by the tests.
 */
#include "vqx_gwlib_wire.h"

#include <cctype>
#include <cstdlib>

namespace vqxgw
{

void PutText(u8* p, size_t n, const char* psz)
{
    std::memset(p, 0, n);
    if (psz == nullptr)
        return;
    size_t l = strnlen(psz, n - 1);
    std::memcpy(p, psz, l);
}

namespace
{
/* The poll fields stand contiguous in both the UDP poll and the board's
 * TCP poll block: host context, three delays, preferred path. */
void PutPollFields(u8* p, const PollFields& f)
{
    PutBe64(p, f.un64HostCtx);
    PutBe32(p + 8, f.un32NetDownMs);
    PutBe32(p + 12, f.un32AdaDownMs);
    PutBe32(p + 16, f.un32PollDelayMs);
    PutBe32(p + 20, f.un32PreferredGw);
}
bool GetPollFields(VqxGwCursor& c, PollFields& out)
{
    out.un64HostCtx = c.Be64();
    out.un32NetDownMs = c.Be32();
    out.un32AdaDownMs = c.Be32();
    out.un32PollDelayMs = c.Be32();
    out.un32PreferredGw = c.Be32();
    return c.Ok();
}
static_assert(kPollOffPreferred - kPollOffHostCtx == 20 && kAdapterPollOffPreferred - kAdapterPollOffHostCtx == 20);
} // namespace

void EncodeDiscovery(u32 un32Id, u8 (&out)[kDiscoverySize])
{
    PutBe32(out, un32Id);
}

void EncodeSpecificDiscovery(u32 un32Id, u32 un32Request, const char* pszHost, const char* pszApp,
                             u8 (&out)[kSpecificSize])
{
    std::memset(out, 0, sizeof(out));
    PutBe32(out, un32Id);
    PutBe32(out + kSpecificOffRequest, un32Request);
    PutText(out + kSpecificOffHost, kNameLen, pszHost);
    PutText(out + kSpecificOffApp, kNameLen, pszApp);
}

bool DecodeSpecificDiscovery(VqxGwCursor c, SpecificDiscovery& out)
{
    c.Seek(kSpecificOffRequest);
    out.un32Request = c.Be32();
    c.Text(out.szHost, kNameLen);
    c.Text(out.szApp, kNameLen);
    return c.Ok();
}

void EncodeUdpPoll(u32 un32Id, const PollFields& f, u8 (&out)[kPollSize])
{
    std::memset(out, 0, sizeof(out));
    PutBe32(out, un32Id);
    PutPollFields(out + kPollOffHostCtx, f);
}

bool DecodeUdpPoll(VqxGwCursor c, PollFields& out)
{
    c.Seek(kPollOffHostCtx);
    return GetPollFields(c, out);
}

void EncodeHostAdv(const VQX_GW_HOST_ADV& adv, u8 (&out)[kHostAdvSize])
{
    std::memset(out, 0, sizeof(out));
    PutBe32(out, adv.un32Id);
    out[kHostAdvOffKind] = adv.un8Kind;
    out[kHostAdvOffHostType] = adv.un8HostType;
    out[kHostAdvOffNewInfo] = adv.un8NewInfo;
    PutBe32(out + kHostAdvOffPort, adv.un32TcpPort);
    u8* p = out + kHostAdvOffInfo;
    const VQX_GW_HOST_INFO& h = adv.Info;
    PutBe64(p + kHostInfoOffUniqueId, h.un64UniqueId);
    std::memcpy(p + kHostInfoOffReserved, &h.un32Reserved0, 4); /* carried as is */
    PutBe32(p + kHostInfoOffVersion, h.un32InfoVersion);
    PutText(p + kHostInfoOffHostName, kNameLen, h.szHostName);
    PutText(p + kHostInfoOffAppName, kNameLen, h.szAppName);
    PutBe64(p + kHostInfoOffCtx1, h.un64HostCtx1);
    PutBe64(p + kHostInfoOffCtx2, h.un64HostCtx2);
    PutText(p + kHostInfoOffIp0, 64, h.szIpAddress0);
    PutText(p + kHostInfoOffIp1, 64, h.szIpAddress1);
    PutBe32(p + kHostInfoOffBuild, h.un32BuildNumber);
    p[kHostInfoOffTwo] = h.un8Two;
}

bool DecodeHostAdv(VqxGwCursor c, VQX_GW_HOST_ADV& out)
{
    std::memset(&out, 0, sizeof(out));
    if (c.Remaining() < kHostAdvSize)
        return false;
    out.un32Id = c.Be32();
    out.un8Kind = c.U8();
    out.un8HostType = c.U8();
    out.un8Zero = c.U8();
    out.un8NewInfo = c.U8();
    out.un32TcpPort = c.Be32();
    out.un32Zero = c.Be32();
    VQX_GW_HOST_INFO& h = out.Info;
    h.un64UniqueId = c.Be64();
    c.Bytes(&h.un32Reserved0, 4);
    h.un32InfoVersion = c.Be32();
    c.Text(h.szHostName, sizeof(h.szHostName));
    c.Text(h.szAppName, sizeof(h.szAppName));
    h.un64HostCtx1 = c.Be64();
    h.un64HostCtx2 = c.Be64();
    c.Text(h.szIpAddress0, sizeof(h.szIpAddress0));
    c.Text(h.szIpAddress1, sizeof(h.szIpAddress1));
    h.un32BuildNumber = c.Be32();
    h.un8Two = c.U8();
    c.Bytes(h.aun8Pad, sizeof(h.aun8Pad));
    return c.Ok();
}

void EncodeAdapterAdv(const VQX_GW_ADAPTER_ADV& adv, u8 (&out)[kAdapterAdvSize])
{
    std::memset(out, 0, sizeof(out));
    PutBe32(out, adv.un32Id);
    std::memcpy(out + 4, adv.aun8Head, 3);
    out[kAdapterAdvOffNewInfo] = adv.un8NewInfo;
    PutBe32(out + kAdapterAdvOffPort, adv.un32TcpPort);
    u8* p = out + kAdapterAdvOffInfo;
    const VQX_GW_ADAPTER_INFO& a = adv.Info;
    for (int i = 0; i < 3; i++)
        PutBe32(p + 4 * i, a.aun32Info[i]);
    PutText(p + kAdapterInfoOffName, kNameLen, a.szAdapterName);
    PutText(p + kAdapterInfoOffSerial, kNameLen, a.szSerialNumber);
    PutBe32(p + kAdapterInfoOff280, a.un32Info280);
    PutText(p + kAdapterInfoOffIp0, 64, a.szIpAddress0);
    PutText(p + kAdapterInfoOffIp1, 64, a.szIpAddress1);
    std::memcpy(p + kAdapterInfoOffGw0, a.aun8Gw0Info, 4);
    std::memcpy(p + kAdapterInfoOffGw1, a.aun8Gw1Info, 4);
    PutBe32(p + kAdapterInfoOffBuild, a.un32BuildNumber);
    PutBe32(p + kAdapterInfoOff424, a.un32Info424);
    PutBe32(p + kAdapterInfoOff428, a.un32Info428);
    std::memcpy(p + kAdapterInfoOffRemainder, a.aun8Remainder, sizeof(a.aun8Remainder));
}

bool DecodeAdapterAdv(VqxGwCursor c, VQX_GW_ADAPTER_ADV& out, bool fFromLink)
{
    std::memset(&out, 0, sizeof(out));
    if (c.Remaining() < kAdapterAdvMinSize)
        return false;
    out.un32Id = c.Be32();
    c.Bytes(out.aun8Head, 3);
    out.un8NewInfo = c.U8();
    out.un32TcpPort = c.Be32();
    VQX_GW_ADAPTER_INFO& a = out.Info;
    for (int i = 0; i < 3; i++)
        a.aun32Info[i] = c.Be32();
    c.Text(a.szAdapterName, sizeof(a.szAdapterName));
    c.Text(a.szSerialNumber, sizeof(a.szSerialNumber));
    if (fFromLink)
        c.Bytes(&a.un32Info280, 4);
    else
        a.un32Info280 = c.Be32();
    c.Text(a.szIpAddress0, sizeof(a.szIpAddress0));
    c.Text(a.szIpAddress1, sizeof(a.szIpAddress1));
    c.Bytes(a.aun8Gw0Info, 4);
    c.Bytes(a.aun8Gw1Info, 4);
    if (!c.Ok())
        return false;
    /* 420 bytes are enough: the fields past the gw1 flag are optional. */
    VqxGwCursor rest = c;
    if (rest.Remaining() >= 4)
        a.un32BuildNumber = rest.Be32();
    if (rest.Remaining() >= 4)
        a.un32Info424 = rest.Be32();
    if (rest.Remaining() >= 4)
    {
        if (fFromLink)
            rest.Bytes(&a.un32Info428, 4);
        else
            a.un32Info428 = rest.Be32();
    }
    size_t n = rest.Remaining() < sizeof(a.aun8Remainder) ? rest.Remaining() : sizeof(a.aun8Remainder);
    rest.Bytes(a.aun8Remainder, n);
    if (!fFromLink && a.szAdapterName[0] == '\0')
        std::memcpy(a.szAdapterName, a.szIpAddress0, sizeof(a.szIpAddress0));
    return true;
}

void EncodeBatchHeader(u32 un32Count, const u32* paun32Sizes, u8 (&out)[kBatchHeaderSize])
{
    std::memset(out, 0, sizeof(out));
    PutBe32(out, un32Count);
    for (u32 i = 0; i < un32Count && i < VQX_GW_MAX_BATCH_MSGS; i++)
        PutBe32(out + 4 + 4 * i, paun32Sizes[i]);
}

bool DecodeBatchHeader(VqxGwCursor c, BatchHeader& out)
{
    std::memset(&out, 0, sizeof(out));
    out.un32Count = c.Be32();
    u32 n = (out.un32Count >= 1 && out.un32Count <= VQX_GW_MAX_BATCH_MSGS) ? out.un32Count : 0;
    for (u32 i = 0; i < n; i++)
        out.aun32Sizes[i] = c.Be32();
    return c.Ok();
}

void EncodeHostPoll(u8 (&out)[kBatchHeaderSize])
{
    std::memset(out, 0, sizeof(out));
}

void EncodeHostPollReply(u8 (&out)[kBatchHeaderSize])
{
    std::memset(out, 0xFF, sizeof(out));
}

void EncodeAdapterPoll(const PollFields& f, u8 (&out)[kAdapterPollSize])
{
    std::memset(out, 0, sizeof(out));
    PutBe32(out + kAdapterPollOffLength, kAdapterPollLengthValue);
    /* The message id travels little-endian here: 06 00 0D 02. */
    out[kAdapterPollOffMsgId + 0] = u8(kAdapterPollMsgId);
    out[kAdapterPollOffMsgId + 1] = u8(kAdapterPollMsgId >> 8);
    out[kAdapterPollOffMsgId + 2] = u8(kAdapterPollMsgId >> 16);
    out[kAdapterPollOffMsgId + 3] = u8(kAdapterPollMsgId >> 24);
    PutPollFields(out + kAdapterPollOffHostCtx, f);
}

bool DecodeAdapterPoll(VqxGwCursor c, PollFields& out)
{
    c.Seek(kAdapterPollOffHostCtx);
    return GetPollFields(c, out);
}

bool HandleIsReserved(u32 h)
{
    return h == 0 || (h >= 0xDA000000u && h <= 0xDA00FFFFu) || (h >> 24) == 0xEAu || h == 0xFFFFFFFFu;
}

u32 HandleFromName(u8 un8Base, const char* pszName, bool fSerialNumber)
{
    static const char kVq500[] = "VQ500_";
    if (fSerialNumber && std::strncmp(pszName, kVq500, sizeof(kVq500) - 1) == 0)
    {
        /* The number starts at the first digit after the prefix. */
        const char* p = pszName + sizeof(kVq500) - 1;
        while (*p != '\0' && !std::isdigit(static_cast<unsigned char>(*p)))
            p++;
        u32 h = u32(std::strtoul(p, nullptr, 0));
        if (!HandleIsReserved(h))
            return h;
        /* A number in a reserved range would be taken for local, group or
         * broadcast traffic: keep it inside this instance's own range. */
        return (u32(un8Base) << 24) | (h & 0xFFFFFFu);
    }
    u32 v = 0;
    for (int i = 0; i < 8; i++)
    {
        char ch = pszName[i];
        if (ch == '\0')
        {
            /* A short name fills the low digits with 0; an empty one is 0
             * (a shift by 32 would be undefined). */
            v = i == 0 ? 0 : v << (4 * (8 - i));
            break;
        }
        v = (v << 4) | ((ch >= '1' && ch <= '9') ? u32(ch - '0') : 0u);
    }
    return (u32(un8Base) << 24) | (v & 0xFFFFFFu);
}

} // namespace vqxgw
