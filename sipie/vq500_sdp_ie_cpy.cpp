/*
 * vq500_sdp_ie_cpy.cpp - the scalar copies of every record and the SDP
 * discriminant rule.
 *
 * SDP records read a choice discriminant as stored unless the swap flag is
 * set and the source order is not 2 (the SIP records ignore the swap flag;
 * see vq500_sip_ie_cpy.cpp). The walk itself is shared with the SIP records.
 */
#include "vq500_ie_copy_internal.h"

#include <cstring>

namespace {

u32 SdpDiscriminant(const IeCopyContext* pContext, const void* pvWord)
{
    u32 un32Value;
    memcpy(&un32Value, pvWord, sizeof un32Value);
    if (pContext->un32Swap == 0 || pContext->un32SrcOrder == 2) {
        return un32Value;
    }
    return __builtin_bswap32(un32Value);
}

} // namespace

const IeFamily g_kIeFamilySdp = {SdpDiscriminant, __FILE__};

i32 VQXSwapOrCopy8(u32, const void* pvSrc, void* pvDst)
{
    memcpy(pvDst, pvSrc, 1);
    return static_cast<i32>(VQX_RESULT_OK);
}

i32 VQXSwapOrCopy16(u32 un32Swap, const void* pvSrc, void* pvDst)
{
    u16 un16Value;
    memcpy(&un16Value, pvSrc, sizeof un16Value);
    if (un32Swap != 0) {
        un16Value = __builtin_bswap16(un16Value);
    }
    memcpy(pvDst, &un16Value, sizeof un16Value);
    return static_cast<i32>(VQX_RESULT_OK);
}

i32 VQXSwapOrCopy32(u32 un32Swap, const void* pvSrc, void* pvDst)
{
    u32 un32Value;
    memcpy(&un32Value, pvSrc, sizeof un32Value);
    if (un32Swap != 0) {
        un32Value = __builtin_bswap32(un32Value);
    }
    memcpy(pvDst, &un32Value, sizeof un32Value);
    return static_cast<i32>(VQX_RESULT_OK);
}
