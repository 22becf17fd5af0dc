// fuzz_sipie_find.cpp - searches, unquoting and the digest fill over random
// header sets. A random payload is first deep-copied with the message given
// in the copy context (as every message from outside is), so the searches
// see a checked tree; then every header type is walked with a cursor, the
// parameters of Event, Authorization-like and Contact headers are looked
// up and unquoted, Refer-To URI headers walked, headers duplicated, and a
// digest answered to every challenge. Reads never write: the copied tree
// is compared before and after. Every walk must end.
//
// Input: the payload's bytes (a header set word at offset 0) up to its end
// marker, which the target appends.
#include "vq500_sip_ie.h"
#include "vqx_msg_layout.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr u32 kCapacity = 0x10000;
constexpr u8 kMarker32[8] = {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE};

std::vector<u8> NewMsg(u32 un32Used)
{
    std::vector<u8> msg(VQX_MSG_HEADER_SIZE + kCapacity);
    const u32 un32Length = VQX_MSG_HEADER_SIZE + kCapacity, un32Cap = kCapacity;
    memcpy(msg.data() + VQX_MSG_OFFSET_LENGTH, &un32Length, 4);
    memcpy(msg.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, &un32Used, 4);
    memcpy(msg.data() + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, &un32Cap, 4);
    return msg;
}

u32 Used(const std::vector<u8>& msg)
{
    u32 un32Used;
    memcpy(&un32Used, msg.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, 4);
    return un32Used;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > kCapacity / 2) {
        nSize = kCapacity / 2;
    }
    const u32 un32Body = static_cast<u32>(((nSize < 8 ? 8 : nSize) + 7) & ~size_t{7});
    std::vector<u8> src = NewMsg(un32Body + 8);
    u8* pSrc = src.data() + VQX_MSG_HEADER_SIZE;
    memcpy(pSrc, pData, nSize);
    memcpy(pSrc + un32Body, kMarker32, 8);

    // Destination: header set at 0, request line at 8 (for the digest).
    std::vector<u8> dst = NewMsg(0);
    VQXMsgElementInit(dst.data(), 8 + sizeof(SipRequestLineIe));
    u8* pDst = dst.data() + VQX_MSG_HEADER_SIZE;
    const IeCopyContext ctx{0, 2, nullptr, src.data()};
    if (VQX_RESULT_FAILED(VQ500SipHeaderMsgsetCopy(&ctx, pSrc, dst.data(), pDst))) {
        return 0;
    }
    auto* pLine = reinterpret_cast<SipRequestLineIe*>(pDst + 8);
    if (VQX_RESULT_FAILED(VQ500SipRequestLineFill(dst.data(), pLine, 1, "sip", "bob", nullptr, "biloxi.com", 0))) {
        return 0;
    }
    const std::vector<u8> before(dst.begin(), dst.begin() + VQX_MSG_HEADER_SIZE + Used(dst));
    const u16 un16Count = VQXMsgElementCount(pDst);

    static const char* const s_aszNames[] = {"id", "realm", "nonce", "qop", "algorithm", "opaque", "x", ""};
    for (u32 un32Type = 0; un32Type <= 93; ++un32Type) {
        u16 cur = 0;
        int nSteps = 0;
        while (void* p = VQ500SipHeaderFind(pDst, un32Type, &cur, nullptr)) {
            if (++nSteps > un16Count) {
                abort();  // a walk that does not end
            }
            const u8* pb = static_cast<const u8*>(p);
            const void* pParams = nullptr;
            if (un32Type == 60) {
                pParams = pb + offsetof(SipHeaderEventIe, msParameter);
            } else if (un32Type == 6 || un32Type == 35 || un32Type == 36 || un32Type == 59) {
                pParams = pb + 4 + offsetof(SipAuthSchemeIe, msParameter);
            }
            for (const char* szName : s_aszNames) {
                u16 c = 0;
                for (int i = 0; i <= un16Count + 1; ++i) {
                    u16 un16Length = 0;
                    const char* v = VQ500SipParameterFind(pParams, szName, &c, nullptr, &un16Length);
                    if (v == nullptr) {
                        break;
                    }
                    if (strlen(v) != un16Length) {
                        abort();  // the text read as a C text is not the value
                    }
                }
            }
            if (un32Type == 64) {
                const auto* a = &static_cast<const SipHeaderReferToIe*>(p)->stNameAddr.u.alt1.stAddrspec;
                for (const char* szName : s_aszNames) {
                    u16 c = 0;
                    for (int i = 0; i <= 0x10000 && VQ500SipUriHeaderFind(a, "sip", szName, &c, nullptr); ++i) {
                        if (i == 0x10000) {
                            abort();
                        }
                    }
                }
                std::string text;
                VqxSipAddrspecText(a, text);
            }
            if (un32Type == 59 || un32Type == 35) {
                std::vector<u8> out = dst;
                VQ500SipHeaderAdd_Authorization(out.data(), out.data() + VQX_MSG_HEADER_SIZE + 4,
                                                reinterpret_cast<const SipAuthSchemeIe*>(
                                                    out.data() + (pb + 4 - dst.data())),
                                                reinterpret_cast<const SipRequestLineIe*>(
                                                    out.data() + (reinterpret_cast<u8*>(pLine) - dst.data())),
                                                "u", "p");
            }
        }
    }
    std::vector<u8> out = NewMsg(0);
    VQXMsgElementInit(out.data(), 8);
    for (u16 cur = 0, i = 0; i <= un16Count && VQ500SipHeaderDup(54, &cur, pDst, out.data(),
                                                                  out.data() + VQX_MSG_HEADER_SIZE) == VQX_RESULT_OK;
         ++i) {
    }
    if (memcmp(before.data(), dst.data(), before.size()) != 0) {
        abort();  // a reader wrote
    }
    return 0;
}
