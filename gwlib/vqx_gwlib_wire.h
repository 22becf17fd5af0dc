/*
 * vqx_gwlib_wire.h - byte layouts of the gateway wire protocol and their
 * encoders and decoders (C++, used inside the library and by its tests).
 *
 * UDP: discovery (4 bytes), specific discovery (264), poll (32), host
 * advertisement (440) and adapter advertisement (560). TCP: the 4-byte
 * handshake length, the 64-byte batch header (sixteen big-endian words),
 * the 64-byte host poll and poll reply, and the 92-byte adapter poll block.
 *
 * Every read of received bytes goes through VqxGwCursor, which refuses to
 * read past what arrived; a decoder returns false when the packet is short.
 */
#ifndef VQX_GWLIB_WIRE_H
#define VQX_GWLIB_WIRE_H

#include <cstddef>
#include <cstring>

#include "vqx_gwlib.h"

namespace vqxgw
{

/* ---- Sizes and offsets --------------------------------------------------- */

constexpr u32 kUdpMaxPacket = 1464;
constexpr u32 kDiscoverySize = 4;
constexpr u32 kSpecificSize = 264;
constexpr u32 kSpecificOffRequest = 4;
constexpr u32 kSpecificOffHost = 8;
constexpr u32 kSpecificOffApp = 136;
constexpr u32 kNameLen = 128;

constexpr u32 kPollSize = 32;
constexpr u32 kPollOffHostCtx = 8;
constexpr u32 kPollOffNetDown = 16;
constexpr u32 kPollOffAdaDown = 20;
constexpr u32 kPollOffPollDelay = 24;
constexpr u32 kPollOffPreferred = 28;

constexpr u32 kHostAdvSize = 440;
constexpr u32 kHostAdvOffKind = 4;
constexpr u32 kHostAdvOffHostType = 5;
constexpr u32 kHostAdvOffNewInfo = 7;
constexpr u32 kHostAdvOffPort = 8;
constexpr u32 kHostAdvOffInfo = 16;
constexpr u32 kHostInfoOffUniqueId = 0;
constexpr u32 kHostInfoOffReserved = 8;
constexpr u32 kHostInfoOffVersion = 12;
constexpr u32 kHostInfoOffHostName = 16;
constexpr u32 kHostInfoOffAppName = 144;
constexpr u32 kHostInfoOffCtx1 = 272;
constexpr u32 kHostInfoOffCtx2 = 280;
constexpr u32 kHostInfoOffIp0 = 288;
constexpr u32 kHostInfoOffIp1 = 352;
constexpr u32 kHostInfoOffBuild = 416;
constexpr u32 kHostInfoOffTwo = 420;
constexpr u32 kHostInfoSize = 424;
constexpr u8 kAdvKindBroadcast = 2;
constexpr u8 kAdvKindAnswer = 1;

constexpr u32 kAdapterAdvSize = 560;
constexpr u32 kAdapterAdvMinSize = 420;
constexpr u32 kAdapterAdvOffNewInfo = 7;
constexpr u32 kAdapterAdvOffPort = 8;
constexpr u32 kAdapterAdvOffInfo = 12;
constexpr u32 kAdapterInfoOffName = 12;
constexpr u32 kAdapterInfoOffSerial = 140;
constexpr u32 kAdapterInfoOff280 = 268;
constexpr u32 kAdapterInfoOffIp0 = 272;
constexpr u32 kAdapterInfoOffIp1 = 336;
constexpr u32 kAdapterInfoOffGw0 = 400;
constexpr u32 kAdapterInfoOffGw1 = 404;
constexpr u32 kAdapterInfoOffBuild = 408;
constexpr u32 kAdapterInfoOff424 = 412;
constexpr u32 kAdapterInfoOff428 = 416;
constexpr u32 kAdapterInfoOffRemainder = 420;
constexpr u32 kAdapterInfoSize = 548;

constexpr u32 kHandshakeLenSize = 4;
constexpr u32 kHandshakeMaxLen = kUdpMaxPacket;
constexpr u32 kBoardHandshakeSize = 4;

constexpr u32 kBatchHeaderSize = 64;
constexpr u32 kBatchWords = 16;
constexpr u32 kBatchCountPoll = 0;
constexpr u32 kBatchCountPollReply = 0xFFFFFFFFu;

constexpr u32 kAdapterPollSize = 92;
constexpr u32 kAdapterPollOffLength = 56;
constexpr u32 kAdapterPollOffMsgId = 60;
constexpr u32 kAdapterPollOffHostCtx = 68;
constexpr u32 kAdapterPollOffNetDown = 76;
constexpr u32 kAdapterPollOffAdaDown = 80;
constexpr u32 kAdapterPollOffPollDelay = 84;
constexpr u32 kAdapterPollOffPreferred = 88;
constexpr u32 kAdapterPollLengthValue = 32;
constexpr u32 kAdapterPollMsgId = 0x020D0006u; /* written little-endian */

constexpr u32 kAdaptersDiscoveryId = 0x47574449u; /* "GWDI" on the wire */
constexpr u32 kAdaptersReplyId = 0x47575041u;
constexpr u32 kHostBuildNumber = 0x02070B04u;
constexpr u32 kPureAckMsgIdWire = 0x020D0012u; /* first word, big-endian */

/* Layouts of the in-memory records that mirror wire blocks. */
static_assert(sizeof(VQX_GW_HOST_INFO) == kHostInfoSize);
static_assert(offsetof(VQX_GW_HOST_INFO, un64UniqueId) == kHostInfoOffUniqueId);
static_assert(offsetof(VQX_GW_HOST_INFO, un32Reserved0) == kHostInfoOffReserved);
static_assert(offsetof(VQX_GW_HOST_INFO, un32InfoVersion) == kHostInfoOffVersion);
static_assert(offsetof(VQX_GW_HOST_INFO, szHostName) == kHostInfoOffHostName);
static_assert(offsetof(VQX_GW_HOST_INFO, szAppName) == kHostInfoOffAppName);
static_assert(offsetof(VQX_GW_HOST_INFO, un64HostCtx1) == kHostInfoOffCtx1);
static_assert(offsetof(VQX_GW_HOST_INFO, un64HostCtx2) == kHostInfoOffCtx2);
static_assert(offsetof(VQX_GW_HOST_INFO, szIpAddress0) == kHostInfoOffIp0);
static_assert(offsetof(VQX_GW_HOST_INFO, szIpAddress1) == kHostInfoOffIp1);
static_assert(offsetof(VQX_GW_HOST_INFO, un32BuildNumber) == kHostInfoOffBuild);
static_assert(offsetof(VQX_GW_HOST_INFO, un8Two) == kHostInfoOffTwo);
static_assert(sizeof(VQX_GW_ADAPTER_INFO) == kAdapterInfoSize);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, szAdapterName) == kAdapterInfoOffName);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, szSerialNumber) == kAdapterInfoOffSerial);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, un32Info280) == kAdapterInfoOff280);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, szIpAddress0) == kAdapterInfoOffIp0);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, szIpAddress1) == kAdapterInfoOffIp1);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, aun8Gw0Info) == kAdapterInfoOffGw0);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, aun8Gw1Info) == kAdapterInfoOffGw1);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, un32BuildNumber) == kAdapterInfoOffBuild);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, un32Info424) == kAdapterInfoOff424);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, un32Info428) == kAdapterInfoOff428);
static_assert(offsetof(VQX_GW_ADAPTER_INFO, aun8Remainder) == kAdapterInfoOffRemainder);
static_assert(sizeof(VQX_GW_ADAPTER_ADV) == kAdapterAdvSize);
static_assert(offsetof(VQX_GW_ADAPTER_ADV, un8NewInfo) == kAdapterAdvOffNewInfo);
static_assert(offsetof(VQX_GW_ADAPTER_ADV, un32TcpPort) == kAdapterAdvOffPort);
static_assert(offsetof(VQX_GW_ADAPTER_ADV, Info) == kAdapterAdvOffInfo);
static_assert(sizeof(VQX_GW_HOST_ADV) == kHostAdvSize);
static_assert(offsetof(VQX_GW_HOST_ADV, un8Kind) == kHostAdvOffKind);
static_assert(offsetof(VQX_GW_HOST_ADV, un8HostType) == kHostAdvOffHostType);
static_assert(offsetof(VQX_GW_HOST_ADV, un8NewInfo) == kHostAdvOffNewInfo);
static_assert(offsetof(VQX_GW_HOST_ADV, un32TcpPort) == kHostAdvOffPort);
static_assert(offsetof(VQX_GW_HOST_ADV, Info) == kHostAdvOffInfo);
static_assert(sizeof(VQX_GW_EXTRA_ADDR) == 140);
static_assert(offsetof(VQX_GW_EXTRA_ADDR, un32IpAddress0) == 128);
static_assert(offsetof(VQX_GW_EXTRA_ADDR, un16Port) == 136);
static_assert(sizeof(VqxGwLibRedundancyParams) == 28);

/* ---- Bounded reader over received bytes ----------------------------------- */

class VqxGwCursor
{
public:
    VqxGwCursor(const void* pData, size_t uSize) : m_p(static_cast<const u8*>(pData)), m_uSize(uSize) {}

    size_t Remaining() const { return m_fOk ? m_uSize - m_uPos : 0; }
    size_t Pos() const { return m_uPos; }
    bool Ok() const { return m_fOk; }
    /* A cursor over the next n bytes; fails this one when fewer remain. */
    VqxGwCursor Sub(size_t n)
    {
        if (!Need(n))
            return VqxGwCursor(nullptr, 0).Failed();
        VqxGwCursor c(m_p + m_uPos, n);
        m_uPos += n;
        return c;
    }
    bool Seek(size_t uPos)
    {
        if (!m_fOk || uPos > m_uSize)
            return m_fOk = false;
        m_uPos = uPos;
        return true;
    }
    u8 U8()
    {
        if (!Need(1))
            return 0;
        return m_p[m_uPos++];
    }
    u32 Be32()
    {
        if (!Need(4))
            return 0;
        const u8* p = m_p + m_uPos;
        m_uPos += 4;
        return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]);
    }
    u64 Be64()
    {
        u64 hi = Be32();
        return (hi << 32) | Be32();
    }
    /* Raw bytes in wire order. */
    bool Bytes(void* pOut, size_t n)
    {
        if (!Need(n))
        {
            std::memset(pOut, 0, n);
            return false;
        }
        std::memcpy(pOut, m_p + m_uPos, n);
        m_uPos += n;
        return true;
    }
    /* A text field of n bytes, always terminated at its last byte. */
    bool Text(char* pOut, size_t n)
    {
        bool f = Bytes(pOut, n);
        pOut[n - 1] = '\0';
        return f;
    }

private:
    bool Need(size_t n)
    {
        if (!m_fOk || m_uSize - m_uPos < n)
            return m_fOk = false;
        return true;
    }
    VqxGwCursor& Failed()
    {
        m_fOk = false;
        return *this;
    }
    const u8* m_p;
    size_t m_uSize;
    size_t m_uPos = 0;
    bool m_fOk = true;
};

/* Big-endian writers into a buffer the caller sized. */
inline void PutBe32(u8* p, u32 v)
{
    p[0] = u8(v >> 24);
    p[1] = u8(v >> 16);
    p[2] = u8(v >> 8);
    p[3] = u8(v);
}
inline void PutBe64(u8* p, u64 v)
{
    PutBe32(p, u32(v >> 32));
    PutBe32(p + 4, u32(v));
}
inline u32 GetBe32(const u8* p)
{
    return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]);
}
/* Copies a text into a fixed field, truncated and NUL-padded. */
void PutText(u8* p, size_t n, const char* psz);

/* ---- UDP packets ----------------------------------------------------------- */

void EncodeDiscovery(u32 un32Id, u8 (&out)[kDiscoverySize]);
void EncodeSpecificDiscovery(u32 un32Id, u32 un32Request, const char* pszHost, const char* pszApp,
                             u8 (&out)[kSpecificSize]);
struct SpecificDiscovery
{
    u32 un32Request;
    char szHost[kNameLen];
    char szApp[kNameLen];
};
bool DecodeSpecificDiscovery(VqxGwCursor c, SpecificDiscovery& out);

struct PollFields
{
    u64 un64HostCtx;
    u32 un32NetDownMs;
    u32 un32AdaDownMs;
    u32 un32PollDelayMs;
    u32 un32PreferredGw;
};
void EncodeUdpPoll(u32 un32Id, const PollFields& f, u8 (&out)[kPollSize]);
bool DecodeUdpPoll(VqxGwCursor c, PollFields& out);

void EncodeHostAdv(const VQX_GW_HOST_ADV& adv, u8 (&out)[kHostAdvSize]);
/* Needs 440 bytes; texts are terminated at their last byte. */
bool DecodeHostAdv(VqxGwCursor c, VQX_GW_HOST_ADV& out);
void EncodeAdapterAdv(const VQX_GW_ADAPTER_ADV& adv, u8 (&out)[kAdapterAdvSize]);
/* Needs 420 bytes; the remainder is read when present (else zero). With
 * fFromLink (a handshake block) the words at 280 and 428 stay in network
 * order and an empty adapter name is kept. */
bool DecodeAdapterAdv(VqxGwCursor c, VQX_GW_ADAPTER_ADV& out, bool fFromLink);

/* ---- TCP blocks ------------------------------------------------------------ */

struct BatchHeader
{
    u32 un32Count;
    u32 aun32Sizes[VQX_GW_MAX_BATCH_MSGS];
};
void EncodeBatchHeader(u32 un32Count, const u32* paun32Sizes, u8 (&out)[kBatchHeaderSize]);
bool DecodeBatchHeader(VqxGwCursor c, BatchHeader& out);
void EncodeHostPoll(u8 (&out)[kBatchHeaderSize]);
void EncodeHostPollReply(u8 (&out)[kBatchHeaderSize]);
void EncodeAdapterPoll(const PollFields& f, u8 (&out)[kAdapterPollSize]);
bool DecodeAdapterPoll(VqxGwCursor c, PollFields& out);

/* Peer handle from a name: eight characters read as hex digits where 1..9
 * stand for themselves and anything else for 0, in the instance's own base.
 * Only an adapter's serial number (fSerialNumber) that begins with "VQ500_"
 * is read as a number; a host name never is, so that no host takes a handle
 * outside its instance's base. Handles that would fall in the local
 * (0xDA000000..0xDA00FFFF), group (0xEA......) or broadcast (0xFFFFFFFF)
 * ranges, or be 0, are kept inside the instance's own base instead. */
u32 HandleFromName(u8 un8Base, const char* pszName, bool fSerialNumber);
bool HandleIsReserved(u32 h);

} // namespace vqxgw

#endif
