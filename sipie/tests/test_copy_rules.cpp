/*
 * test_copy_rules.cpp - the rules every record copy follows: choice values
 * that copy, copy nothing more or fail; both discriminant rules; scalar swap
 * and in-place conversion; the exact log lines (labels, overrides, value
 * field, innermost first); base names; null records.
 */
#include "support/sipie_fixture.h"
#include "vq500_ie_copy_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using CopyFn = i32 (*)(const IeCopyContext*, const void*, void*, void*);

constexpr u32 kOk = VQX_RESULT_OK;
constexpr u32 kUnk = VQX_RESULT_INVALID_PARAM;
constexpr u32 kSwapped = 1; // context: swap 1, source order 0
constexpr u32 kHost = 0;    // context: swap 0, source order 2
constexpr u32 kPlain = 2;   // context: swap 0, source order 0

struct ChoiceRow {
    const char* szName;
    CopyFn pfnCopy;
    u32 un32Size;
    std::vector<std::pair<u32, u32>> writes; // u32 words stored at offsets of the source record
    u32 un32Context;
    u32 un32Result;
    std::vector<std::string> log; // masked; empty: not checked
};

IeCopyContext RowContext(u32 un32Kind)
{
    IeCopyContext ctx = un32Kind == kSwapped ? SwapContext(0) : HostContext();
    if (un32Kind == kPlain) {
        ctx.un32SrcOrder = 0;
    }
    return ctx;
}

const std::string kSip = " vq500_sip_ie_cpy.cpp:N";
const std::string kSdp = " vq500_sdp_ie_cpy.cpp:N";

TEST(CopyRules, ChoiceValuesAndDiscriminantRules)
{
    const ChoiceRow rows[] = {
        {"contact wildcard", VQ500SipHeaderContactCopy, 80, {{0, 12}, {4, 1}}, kHost, kOk, {}},
        {"contact type 3", VQ500SipHeaderContactCopy, 80, {{0, 12}, {4, 3}}, kHost, kUnk,
         {"VQ500SipHeaderContactCopy: Unk Enum value (8200000A) value=0x00000003" + kSip}},
        {"body none", VQ500SipBodyCopy, 88, {{0, 1}}, kHost, kOk, {}},
        {"body 0", VQ500SipBodyCopy, 88, {{0, 0}}, kHost, kUnk, {}},
        {"body 4", VQ500SipBodyCopy, 88, {{0, 4}}, kHost, kUnk, {}},
        {"uri param lr", VQ500SipUriParamCopy, 12, {{0, 6}}, kHost, kOk, {}},
        {"tel param npdi", VQ500SipTelParamCopy, 16, {{0, 6}}, kHost, kOk, {}},
        {"tel param 9", VQ500SipTelParamCopy, 16, {{0, 9}}, kHost, kUnk, {}},
        {"accept-contact explicit", VQ500SipAcParamCopy, 16, {{0, 1}}, kHost, kOk, {}},
        {"accept-contact require", VQ500SipAcParamCopy, 16, {{0, 2}}, kHost, kOk, {}},
        {"accept-contact feature", VQ500SipAcParamCopy, 16, {{0, 3}}, kHost, kOk, {}},
        {"replaces early-only", VQ500SipReplacesParamCopy, 16, {{0, 3}}, kHost, kOk, {}},
        {"npt now", VQ500SdpNptTimeCodeCopy, 16, {{0, 1}}, kHost, kOk, {}},
        {"npt 4", VQ500SdpNptTimeCodeCopy, 16, {{0, 4}}, kHost, kUnk, {}},
        {"rpi other 4", VQ500SipRpiOtherValueCopy, 16, {{0, 4}}, kHost, kUnk, {}},
        {"header 93", VQ500SipHeaderCopy, 80, {{0, 93}}, kHost, kUnk,
         {"VQ500SipHeaderCopy: Unk Enum value (8200000A) value=0x0000005d" + kSip}},
        {"header 0", VQ500SipHeaderCopy, 80, {{0, 0}}, kHost, kUnk, {}},
        {"header call-id compact", VQ500SipHeaderCopy, 8, {{0, 10}}, kHost, kOk, {}},
        {"media protocol udp", VQ500SdpMediaProtocolCopy, 12, {{0, 1}}, kHost, kOk, {}},
        {"media param udp", VQ500SdpMediaParamCopy, 16, {{0, 1}}, kHost, kUnk,
         {"VQ500SdpMediaParamCopy: Unk Enum value (8200000A)" + kSdp}},
        {"media param tcp", VQ500SdpMediaParamCopy, 16, {{0, 10}}, kHost, kUnk, {}},
        {"aal sub type 3", VQ500SpdMediaProtoAalSubTypeCopy, 8, {{0, 3}}, kHost, kOk, {}},
        {"channel 0", VQ500SdpChannelCopy, 24, {{0, 0}}, kHost, kUnk,
         {"VQ500SdpVcidCopy: Unk Enum value (8200000A)" + kSdp}},
        {"channel 10", VQ500SdpChannelCopy, 24, {{0, 10}}, kHost, kUnk, {}},
        {"channel vpi port", VQ500SdpChannelCopy, 24, {{0, 8}}, kHost, kOk, {}},
        {"channel rtp port", VQ500SdpChannelCopy, 24, {{0, 6}}, kHost, kOk, {}},
        {"address 21", VQ500SdpAddressCopy, 20, {{4, 21}}, kHost, kUnk, {}},
        {"address 22", VQ500SdpAddressCopy, 20, {{4, 22}}, kHost, kOk, {}},
        {"connection 21", VQ500SdpConnectionCopy, 20, {{4, 21}}, kHost, kOk, {}},
        {"attribute 74", VQ500SdpAttributeCopy, 64, {{0, 74}}, kHost, kUnk,
         {"VQ500SdpAttributeCopy: Unk Enum value (8200000A)" + kSdp}},
        {"attribute recvonly", VQ500SdpAttributeCopy, 4, {{0, 5}}, kHost, kOk, {}},
        {"attribute cpar", VQ500SdpAttributeCopy, 12, {{0, 73}, {4, 1}}, kHost, kOk, {}},
        {"t38 13", VQ500SdpAttributeT38FaxCopy, 16, {{4, 13}}, kHost, kUnk, {}},
        {"t38 extension", VQ500SdpAttributeT38FaxCopy, 20, {{4, 12}}, kHost, kOk, {}},
        // SIP rule: the discriminant as stored only with source order 2.
        {"sip host order 0", VQ500SipHostCopy, 8, {{0, 1}}, kPlain, kUnk,
         {"VQ500SipHostCopy: Unk Enum value (8200000A) value=0x01000000" + kSip}},
        {"sip host order 2", VQ500SipHostCopy, 8, {{0, 1}}, kHost, kOk, {}},
        {"sip host swapped", VQ500SipHostCopy, 8, {{0, 0x01000000}}, kSwapped, kOk, {}},
        // SDP rule: as stored unless swapping from another order.
        {"sdp address order 0", VQ500SdpAddressCopy, 20, {{4, 22}}, kPlain, kOk, {}},
        {"sdp address swapped", VQ500SdpAddressCopy, 20, {{4, 22}}, kSwapped, kUnk, {}},
        {"sdp address reversed", VQ500SdpAddressCopy, 20, {{4, 0x16000000}}, kSwapped, kOk, {}},
        {"sdp ipv4 reversed", VQ500SdpAddressCopy, 20, {{4, 0x05000000}, {8, 0x01000000}}, kSwapped, kOk, {}},
        // A failure two levels down: one line per level, innermost first.
        {"from with bad address", VQ500SipHeaderFromCopy, 72, {{0, 27}, {4, 1}, {16, 7}}, kHost, kUnk,
         {"VQ500SipAddrspecCopy: Unk Enum value (8200000A) value=0x00000007" + kSip,
          "VQ500SipNameAddrCopy: VQ500SipAddrspecCopy Failed (8200000A)" + kSip,
          "VQ500SipHeaderFromCopy: VQ500SipNameAddrCopy Failed (8200000A)" + kSip}},
        {"media with bad channel", VQ500SdpMediaCopy, 52, {{8, 2}}, kHost, kUnk,
         {"VQ500SdpVcidCopy: Unk Enum value (8200000A)" + kSdp,
          "VQ500SdpMediaCopy: VQ500SdpVcidCopy Failed (8200000A)" + kSdp}},
        {"anycast with atm address 5", VQ500SdpAttributeAnycastCopy, 20, {{0, 55}, {4, 5}}, kHost, kUnk,
         {"VQ500SdpAtmAddressCopy: Unk Enum value (8200000A)" + kSdp,
          "VQ500SdpAttributeAnycastCopy: VQ500SdpAtmAddressCopy Failed (8200000A)" + kSdp}},
        {"rpi token party", VQ500SipRpiTokenCopy, 20, {{0, 2}}, kHost, kOk, {}},
    };
    for (const ChoiceRow& row : rows) {
        TestMsg src(row.un32Size);
        TestMsg dst(row.un32Size);
        for (const auto& [off, value] : row.writes) {
            PutU32(src.At(off), value);
        }
        LogCapture::Lines().clear();
        const IeCopyContext ctx = RowContext(row.un32Context);
        EXPECT_EQ(static_cast<u32>(row.pfnCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())), row.un32Result)
            << row.szName;
        if (!row.log.empty()) {
            EXPECT_EQ(LogCapture::Masked(), row.log) << row.szName;
        }
        if (row.un32Result == kOk) {
            EXPECT_TRUE(LogCapture::Lines().empty()) << row.szName;
        }
    }
}

// Members before a failing choice stay copied; the union keeps what it held.
TEST(CopyRules, FailureKeepsWhatWasCopied)
{
    TestMsg src(80);
    TestMsg dst(80);
    PutU32(src.At(0), 12);
    PutU32(src.At(4), 3);
    memset(dst.At(8), 0xAB, 72);
    const IeCopyContext ctx = SwapContext(2);
    EXPECT_EQ(static_cast<u32>(VQ500SipHeaderContactCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())), kUnk);
    EXPECT_EQ(GetU32(dst.At(0)), 0x0C000000u);
    EXPECT_EQ(GetU32(dst.At(4)), 0x03000000u);
    EXPECT_EQ(std::vector<u8>(dst.At(8), dst.At(80)), std::vector<u8>(72, 0xAB));
}

// Scalars: the one-byte present flag as it is, the value reversed, the byte
// between them never written; the four-byte flag of SipUint32Ie reversed.
TEST(CopyRules, ScalarSwap)
{
    const u8 uint16[4] = {0x01, 0x77, 0x12, 0x34};
    u8 out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    IeCopyContext ctx = SwapContext(0);
    EXPECT_EQ(static_cast<u32>(VQ500SipUint16Copy(&ctx, uint16, nullptr, out)), kOk);
    EXPECT_EQ(std::vector<u8>(out, out + 4), (std::vector<u8>{0x01, 0xEE, 0x34, 0x12}));
    const u8 uint32[8] = {1, 0, 0, 0, 0x11, 0x22, 0x33, 0x44};
    u8 out32[8] = {};
    EXPECT_EQ(static_cast<u32>(VQ500SipUint32Copy(&ctx, uint32, nullptr, out32)), kOk);
    EXPECT_EQ(std::vector<u8>(out32, out32 + 8), (std::vector<u8>{0, 0, 0, 1, 0x44, 0x33, 0x22, 0x11}));
    const u8 sdp32[8] = {1, 0x55, 0x55, 0x55, 0x11, 0x22, 0x33, 0x44};
    u8 outSdp[8] = {};
    EXPECT_EQ(static_cast<u32>(VQ500SdpUint32Copy(&ctx, sdp32, nullptr, outSdp)), kOk);
    EXPECT_EQ(std::vector<u8>(outSdp, outSdp + 8), (std::vector<u8>{1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}));
    ctx.un32Swap = 0;
    EXPECT_EQ(static_cast<u32>(VQ500SipUint16Copy(&ctx, uint16, nullptr, out)), kOk);
    EXPECT_EQ(std::vector<u8>(out, out + 4), (std::vector<u8>{0x01, 0xEE, 0x12, 0x34}));
}

// In place with swap 1: every u16 and u32 reversed once, strings unchanged,
// no element appended.
TEST(CopyRules, InPlaceConversion)
{
    TestMsg msg(28);
    u8* pRec = msg.Payload();
    PutU32(pRec, 56);                 // RAck
    PutU32(pRec + 4, 1);              // SipUint32Ie flag
    PutU32(pRec + 8, 0x11223344);     // response number
    PutU32(pRec + 12, 1);
    PutU32(pRec + 16, 7);             // CSeq number
    PutU32(pRec + 20, 1);             // method INVITE
    msg.AddString(pRec + 24, "INVITE");
    const std::vector<u8> before = msg.Bytes();
    const IeCopyContext ctx = SwapContext(2);
    EXPECT_EQ(static_cast<u32>(VQ500SipHeaderRackCopy(&ctx, pRec, msg.Msg(), pRec)), kOk);
    const std::vector<u8> after = msg.Bytes();
    ASSERT_EQ(after.size(), before.size());
    for (u32 off = 0; off < 24; off += 4) {
        EXPECT_EQ(GetU32(&after[off]), __builtin_bswap32(GetU32(&before[off]))) << off;
    }
    EXPECT_TRUE(std::equal(after.begin() + 24, after.end(), before.begin() + 24));
}

// Null records: 0x82000009 with the first member's text, SDP copies too.
TEST(CopyRules, NullRecords)
{
    struct NullRow {
        const char* szName;
        CopyFn pfnCopy;
        std::string line;
    };
    const NullRow rows[] = {
        {"sip uint16", VQ500SipUint16Copy, "VQ500SipUint16Copy: VQXBooleanCopy Failed (82000009)" + kSip},
        {"supported", VQ500SipHeaderSupportedCopy, "VQ500SipHeaderSupportedCopy: VQ500SipHeaderTypeCopy Failed (82000009)" + kSip},
        {"sip host", VQ500SipHostCopy, "VQ500SipHostCopy: VQ500SipHostTypeCopy Failed (82000009) value=0x00000000" + kSip},
        {"sdp port", VQ500SdpPortCopy, "VQ500SdpPortintCopy: VQXUint16Copy Failed (82000009)" + kSdp},
        {"sdp vpi port", VQ500SdpVpiPortCopy, "VQ500SdpPortidCopy: VQ500SdpStringCopy Failed (82000009)" + kSdp},
        {"sdp origin", VQ500SdpOriginCopy, "VQ500SdpOriginCopy: VQ500SdpStringCopy Failed (82000009)" + kSdp},
        {"header", VQ500SipHeaderCopy, "VQ500SipHeaderCopy: VQ500SipHeaderTypeCopy Failed (82000009) value=0x00000000" + kSip},
        {"attribute", VQ500SdpAttributeCopy, "VQ500SdpAttributeCopy: VQ500SdpAttributeTypeCopy Failed (82000009)" + kSdp},
    };
    u8 record[96] = {};
    const IeCopyContext ctx = HostContext();
    for (const NullRow& row : rows) {
        for (int side = 0; side < 2; ++side) {
            LogCapture::Lines().clear();
            const i32 r = side == 0 ? row.pfnCopy(&ctx, nullptr, nullptr, record) : row.pfnCopy(&ctx, record, nullptr, nullptr);
            EXPECT_EQ(static_cast<u32>(r), VQX_RESULT_NULL_PARAM) << row.szName;
            EXPECT_EQ(LogCapture::Masked(), std::vector<std::string>{row.line}) << row.szName;
        }
    }
    EXPECT_EQ(static_cast<u32>(VQ500SipHostCopy(nullptr, record, nullptr, record)), VQX_RESULT_NULL_PARAM);
    // A list entry given a null set, source or destination (the source empty or not): refused and logged.
    TestMsg msg(8);
    msg.AddString(msg.At(4), "x");
    for (const auto& [pSrc, pDst] : {std::pair<u8*, u8*>{nullptr, msg.At(0)}, {msg.At(0), nullptr}, {msg.At(4), nullptr}}) {
        LogCapture::Lines().clear();
        EXPECT_EQ(static_cast<u32>(VQ500SipHeaderMsgsetCopy(&ctx, pSrc, msg.Msg(), pDst)), VQX_RESULT_NULL_PARAM);
        EXPECT_EQ(LogCapture::Masked(),
                  std::vector<std::string>{"VQ500SipHeaderMsgsetCopy: VQXMsgElementDupSet for VQ500SipHeaderCopy Failed (82000009)" + kSip});
    }
}

// A string or set word pointing outside the source message fails the copy
// at that member: what came before is copied, what follows is not touched,
// and each level logs its line with the text the record gives the member.
TEST(CopyRules, MemberFailureStopsTheCopy)
{
    struct StopRow {
        const char* szName;
        CopyFn pfnCopy;
        u32 un32Size;
        std::vector<std::pair<u32, u32>> writes;
        u32 un32Bad;       // offset of the word pointing outside the message
        u32 un32Untouched; // destination bytes from here on keep what they held
        std::vector<std::string> log;
    };
    const u32 kBadWord = 0x01FF0180u; // big-endian 0x8001FF01: one element far past the end
    const StopRow rows[] = {
        {"session e-mail set", VQ500SdpSessionDescriptionCopy, 80, {{16, 2}, {20, 9}}, 48, 52,
         {"VQ500SdpEmailMsgsetCopy: VQXMsgElementDupSet for VQ500SdpEmailMsgsetCopy Failed (82000004)" + kSdp,
          "VQ500SdpSessionDescriptionCopy: VQ500SdpEmailMsgsetCopy Failed (82000004)" + kSdp}},
        {"timestamp string", VQ500SipHeaderTimestampCopy, 32, {{0, 49}}, 4, 8,
         {"VQ500SipHeaderTimestampCopy: VQ500SipStringCopy Failed (82000004)" + kSip}},
        {"opaque body bytes", VQ500SipBodySinglePartCopy, 84, {{0, 2}}, 4, 8,
         {"VQ500SipBodySinglePartCopy: VQ500SipBytesCopy Failed (82000004) value=0x00000000" + kSip}},
        {"media parameter", VQ500SdpMediaCopy, 52, {{8, 9}, {32, 15}}, 44, 48,
         {"VQ500SdpMediaParamCopy: VQ500SdpStringCopy Failed (82000004)" + kSdp,
          "VQ500SdpMediaCopy: VQ500SdpMediaParamMsgsetCopy Failed (82000004)" + kSdp}},
        {"t38 extension", VQ500SdpAttributeT38FaxCopy, 20, {{0, 76}, {4, 12}}, 12, 16,
         {"VQ500SdpAttributeExtnCopy: VQ500SdpStringCopy Failed (82000004)" + kSdp,
          "VQ500SdpAttributeT38FaxCopy: VQ500SdpStringCopy Failed (82000004)" + kSdp}},
        {"rpi id type", VQ500SipRpiTokenCopy, 20, {{0, 3}}, 8, 12,
         {"VQ500SipRpiIdValueCopy: VQ500SipStringCopy Failed (82000004)" + kSip,
          "VQ500SipRpiTokenCopy: VQ500SipIdValueCopy Failed (82000004) value=0x00000000" + kSip}},
    };
    for (const StopRow& row : rows) {
        TestMsg src(row.un32Size);
        TestMsg dst(row.un32Size);
        for (const auto& [off, value] : row.writes) {
            PutU32(src.At(off), value);
        }
        PutU32(src.At(row.un32Bad), kBadWord);
        memset(dst.Payload(), 0xAB, row.un32Size);
        LogCapture::Lines().clear();
        const IeCopyContext ctx = HostContext(src.Msg());
        EXPECT_EQ(static_cast<u32>(row.pfnCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())), VQX_RESULT_MISMATCH)
            << row.szName;
        EXPECT_EQ(LogCapture::Masked(), row.log) << row.szName;
        EXPECT_EQ(std::vector<u8>(dst.At(0), dst.At(2)), std::vector<u8>(src.At(0), src.At(2))) << row.szName;
        EXPECT_EQ(std::vector<u8>(dst.At(row.un32Untouched), dst.At(row.un32Size)),
                  std::vector<u8>(row.un32Size - row.un32Untouched, 0xAB))
            << row.szName;
    }
}

TEST(CopyRules, BaseNames)
{
    const std::pair<const char*, const char*> rows[] = {
        {"vq500_sip_ie_cpy.cpp", "vq500_sip_ie_cpy.cpp"},
        {"/a/b/file.cpp", "file.cpp"},
        {"a/b\\file.cpp", "file.cpp"},
        {"a\\b/file.cpp", "file.cpp"},
        {"c:\\src\\x/y\\z.c", "z.c"},
        {"/a/b/", "b/"},
        {"dir\\", "dir\\"},
        {"/", "/"},
        {"", ""},
    };
    for (const auto& [path, base] : rows) {
        EXPECT_STREQ(VqxIeBaseName(path), base) << path;
    }
    // A separator past the 256th character is not seen.
    const std::string longPath = "x/" + std::string(300, 'a') + "/tail.c";
    EXPECT_EQ(std::string(VqxIeBaseName(longPath.c_str())), longPath.substr(2));
}

// A list copy that fails logs its own line under its label, then its
// container logs the list's name.
TEST(CopyRules, ListCopyLines)
{
    TestMsg src(12);
    TestMsg dst(12);
    u8* pToken = src.Alloc(src.At(4), 20);
    PutU32(pToken, 9); // RPI token type 9: no alternative
    LogCapture::Lines().clear();
    const IeCopyContext ctx = HostContext();
    EXPECT_EQ(static_cast<u32>(VQ500SipHeaderRpidPrivCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())), kUnk);
    EXPECT_EQ(LogCapture::Masked(),
              (std::vector<std::string>{
                  "VQ500SipRpiTokenCopy: Unk Enum value (8200000A) value=0x00000009" + kSip,
                  "VQ500RpiTokenMsgsetCopy: VQXMsgElementDupSet for VQ500SipRpiTokenCopy Failed (8200000A)" + kSip,
                  "VQ500SipRpidPrivCopy: VQ500RpiTokenMsgsetCopy Failed (8200000A)" + kSip,
                  "VQ500SipHeaderRpidPrivCopy: VQ500SipRpidPrivCopy Failed (8200000A)" + kSip}));
    // The label of the RPI privacy list is not its name.
    TestMsg src2(4);
    TestMsg dst2(4);
    PutU32(src2.Alloc(src2.At(0), 20), 0);
    u8* pVal = static_cast<u8*>(VQXMsgElementGet(src2.At(0), 0, nullptr));
    PutU32(pVal, 1);
    PutU32(pVal + 8, 0);
    LogCapture::Lines().clear();
    EXPECT_EQ(static_cast<u32>(VQ500SipRpiPrivacyValueMsgsetCopy(&ctx, src2.Payload(), dst2.Msg(), dst2.Payload())), kOk);
    TestMsg src3(4);
    TestMsg dst3(4);
    PutU32(src3.Alloc(src3.At(0), 16), 0);
    EXPECT_EQ(static_cast<u32>(VQ500SdpEmailMsgsetCopy(&ctx, src3.Payload(), dst3.Msg(), dst3.Payload())), kUnk);
    EXPECT_EQ(LogCapture::Masked().at(1),
              "VQ500SdpEmailMsgsetCopy: VQXMsgElementDupSet for VQ500SdpEmailMsgsetCopy Failed (8200000A)" + kSdp);
}

} // namespace
