// fuzz_sipie_copy.cpp - random payloads through the header-set, body,
// session-description and whole-request copies, with any swap flag and
// source order, into another message or in place. The source message is
// given in the context, as for any message from outside: whatever the
// bytes, a copy ends in a result and never reads or writes outside the
// two messages; and a tree copied as it is equals the same tree copied
// byte-reversed and converted back in place.
//
// Input: one control byte (bits 0-1 entry, bit 2 swap, bit 3 source order
// 2, bit 4 in place, bit 5 compact 16-bit layout), then the payload's bytes
// up to its end marker, which the target appends.
#include "vq500_sip_ie.h"
#include "vqx_msg_layout.h"

#include <cstring>
#include <vector>

namespace {

constexpr u32 kCapacity = 0x10000;
constexpr u8 kMarker32[8] = {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE};
constexpr u8 kMarker16[8] = {0xED, 0xDA, 0x16, 0x43, 0x34, 0x16, 0xAD, 0xDE};

void SetSizes(std::vector<u8>& msg, u32 un32Used)
{
    const u32 un32Capacity = kCapacity;
    const u32 un32Length = VQX_MSG_HEADER_SIZE + kCapacity;
    memcpy(msg.data() + VQX_MSG_OFFSET_LENGTH, &un32Length, 4);
    memcpy(msg.data() + VQX_MSG_OFFSET_PAYLOAD_LENGTH, &un32Used, 4);
    memcpy(msg.data() + VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH, &un32Capacity, 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1) {
        return 0;
    }
    const u8 byControl = pData[0];
    ++pData;
    --nSize;
    static const u32 s_aun32Fixed[4] = {4, 88, 80, 160};
    const u32 un32Entry = byControl & 3;
    const u32 un32Fixed = s_aun32Fixed[un32Entry];
    const bool f16 = (byControl & 0x20) != 0;
    if (nSize > kCapacity - 16) {
        nSize = kCapacity - 16;
    }
    u32 un32Body = static_cast<u32>((nSize + 7) & ~size_t{7});
    if (un32Body < ((un32Fixed + 7) & ~7u)) {
        un32Body = (un32Fixed + 7) & ~7u;
    }
    std::vector<u8> src(VQX_MSG_HEADER_SIZE + kCapacity);
    u8* pSrc = src.data() + VQX_MSG_HEADER_SIZE;
    memcpy(pSrc, pData, nSize);
    memcpy(pSrc + un32Body, f16 ? kMarker16 : kMarker32, 8);
    SetSizes(src, un32Body + 8);

    const bool fInPlace = (byControl & 0x10) != 0;
    std::vector<u8> dst;
    void* pDstMsg = src.data();
    u8* pDst = pSrc;
    if (!fInPlace) {
        dst.assign(VQX_MSG_HEADER_SIZE + kCapacity, 0);
        SetSizes(dst, 0);
        VqxMsgElementInitLayout(dst.data(), un32Fixed, f16 ? VQX_MSG_ELEMENT_LAYOUT_16 : VQX_MSG_ELEMENT_LAYOUT_32);
        pDstMsg = dst.data();
        pDst = dst.data() + VQX_MSG_HEADER_SIZE;
    }
    static i32 (*const s_apfnCopy[4])(const IeCopyContext*, const void*, void*, void*) = {
        VQ500SipHeaderMsgsetCopy, VQ500SipBodyCopy, VQ500SdpSessionDescriptionCopy, VQ500SipMessageRequestCopy};
    const auto Copy = s_apfnCopy[un32Entry];
    const IeCopyContext ctx{(byControl >> 2) & 1u, (byControl & 8) != 0 ? 2u : 0u, nullptr, src.data()};
    const i32 r = Copy(&ctx, pSrc, pDstMsg, pDst);
    // A tree copied as it is equals the tree copied byte-reversed and then
    // converted back in place: the record copies' unswapped moves and their
    // swaps must agree byte for byte.
    if (!fInPlace && ctx.un32Swap == 0 && ctx.un32SrcOrder == 2 && VQX_RESULT_SUCCEEDED(r)) {
        std::vector<u8> other(VQX_MSG_HEADER_SIZE + kCapacity, 0);
        SetSizes(other, 0);
        VqxMsgElementInitLayout(other.data(), un32Fixed, f16 ? VQX_MSG_ELEMENT_LAYOUT_16 : VQX_MSG_ELEMENT_LAYOUT_32);
        u8* pOther = other.data() + VQX_MSG_HEADER_SIZE;
        const IeCopyContext there{1, 2, nullptr, src.data()};
        const IeCopyContext back{1, 0, nullptr, other.data()};
        if (VQX_RESULT_SUCCEEDED(Copy(&there, pSrc, other.data(), pOther)) &&
            VQX_RESULT_SUCCEEDED(Copy(&back, pOther, other.data(), pOther)) && other != dst) {
            __builtin_trap();
        }
    }
    return 0;
}
