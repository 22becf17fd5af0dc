/*
 * vq500_ie_copy_internal.h - what the generated record copies share with the
 * copy core (inside the library only).
 *
 * Every record has one generated copy function (generated/vq500_sip_ie_cpy.cpp,
 * generated/vq500_sdp_ie_cpy.cpp) that reads its discriminant first, copies
 * its scalars inline and calls the core (vq500_ie_cpy_core.cpp) for strings,
 * lists and the log line. A walk (IeWalk) carries the caller's read-only
 * context and its own bounds: set nesting depth and element visits left.
 */
#ifndef VQ500_IE_COPY_INTERNAL_H
#define VQ500_IE_COPY_INTERNAL_H

#include "vq500_ie_copy.h"

#include <cstring>

/* Size of the destination of a four-argument call: not known, not checked. */
#define VQX_IE_SIZE_UNKNOWN 0xFFFFFFFFu

struct IeWalk {
    const IeCopyContext* pContext;
    u32 un32Swap;
    u32 un32Depth;
    u32 un32VisitsLeft;
    /* Every set of the copy goes through it: both messages' preludes are
     * checked once per copy, the source's only when the context names it. */
    VqxMsgElementCopier* pCopier;
};

/* A family's source file: the base name goes into its log lines. */
struct IeFamily {
    const char* szFile;
};

/* A record copy: walk, source record, destination message, destination
 * record, bytes available at the destination (VQX_IE_SIZE_UNKNOWN: not
 * checked). */
typedef i32 (*PFN_IE_RECORD_COPY)(IeWalk* pWalk, const u8* pbySrc, void* pDstMsg, u8* pbyDst, u32 un32Avail);

struct IeRecordDesc {
    const IeFamily* pFamily;
    const char* szCopy;  /* operation name */
    const char* szLabel; /* label of its log lines */
    PFN_IE_RECORD_COPY pfnCopy;
    u8 fValueLog;        /* its log lines carry the value field */
};

struct IeListDesc {
    const char* szName;
    const char* szLabel;
    const char* szText; /* "VQXMsgElementDupSet for ... Failed" */
    const IeRecordDesc* pRec;
    u32 un32Line;       /* line of the list copy in its generated file */
};

extern const IeFamily g_kIeFamilySip;
extern const IeFamily g_kIeFamilySdp;

inline void VqxIeCopy16(u32 un32Swap, const u8* pbySrc, u8* pbyDst)
{
    u16 un16Value;
    memcpy(&un16Value, pbySrc, sizeof un16Value);
    if (un32Swap != 0) {
        un16Value = __builtin_bswap16(un16Value);
    }
    memcpy(pbyDst, &un16Value, sizeof un16Value);
}

inline void VqxIeCopy32(u32 un32Swap, const u8* pbySrc, u8* pbyDst)
{
    u32 un32Value;
    memcpy(&un32Value, pbySrc, sizeof un32Value);
    if (un32Swap != 0) {
        un32Value = __builtin_bswap32(un32Value);
    }
    memcpy(pbyDst, &un32Value, sizeof un32Value);
}

/* Bytes left at an embedded record's offset. */
inline u32 VqxIeSub(u32 un32Avail, u32 un32Offset)
{
    return un32Avail == VQX_IE_SIZE_UNKNOWN ? un32Avail : un32Avail - un32Offset;
}

/* SIP rule: a discriminant is as stored only when the source order is 2. */
inline u32 VqxIeSipDiscriminant(const IeWalk* pWalk, const u8* pbyWord)
{
    u32 un32Value;
    memcpy(&un32Value, pbyWord, sizeof un32Value);
    return pWalk->pContext->un32SrcOrder == 2 ? un32Value : __builtin_bswap32(un32Value);
}

/* SDP rule: as stored unless swapping a source of another order. */
inline u32 VqxIeSdpDiscriminant(const IeWalk* pWalk, const u8* pbyWord)
{
    u32 un32Value;
    memcpy(&un32Value, pbyWord, sizeof un32Value);
    if (pWalk->un32Swap == 0 || pWalk->pContext->un32SrcOrder == 2) {
        return un32Value;
    }
    return __builtin_bswap32(un32Value);
}

/* Logs one line for a failing member of pRec and returns n32Code. */
[[gnu::cold]] i32 VqxIeFail(IeWalk* pWalk, const IeRecordDesc* pRec, const char* szText, i32 n32Code, u32 un32Value,
                            int nLine);

/* A set of records through its list copy, logging the list's line on
 * failure (null sets give 0x82000009). */
i32 VqxIeCopyListSet(IeWalk* pWalk, const IeListDesc* pList, const u8* pbySrcSet, u8* pbyDstSet);

/* A member set: an empty source empties the destination and is done here,
 * in the record copy (most sets of a tree are empty). Members are never
 * null; a set converted in place goes to the walk. */
inline bool VqxIeEmptied(const u8* pbySrcSet, u8* pbyDstSet)
{
    u32 un32Word;
    memcpy(&un32Word, pbySrcSet, sizeof un32Word);
    if (un32Word != 0 || pbySrcSet == pbyDstSet) {
        return false;
    }
    memcpy(pbyDstSet, &un32Word, sizeof un32Word);
    return true;
}

/* A string or u8 set: its elements duplicated byte for byte. */
inline i32 VqxIeCopyString(IeWalk* pWalk, const u8* pbySrcSet, void*, u8* pbyDstSet)
{
    if (VqxIeEmptied(pbySrcSet, pbyDstSet)) {
        return static_cast<i32>(VQX_RESULT_OK);
    }
    return static_cast<i32>(VqxMsgElementCopierDupSet(pWalk->pCopier, pbySrcSet, pbyDstSet, nullptr, nullptr));
}

inline i32 VqxIeCopyList(IeWalk* pWalk, const IeListDesc* pList, const u8* pbySrcSet, void*, u8* pbyDstSet)
{
    return VqxIeEmptied(pbySrcSet, pbyDstSet) ? static_cast<i32>(VQX_RESULT_OK)
                                                : VqxIeCopyListSet(pWalk, pList, pbySrcSet, pbyDstSet);
}

/* Public entries of a record copy and a list copy; un32Avail is the element
 * size of the five-argument form, VQX_IE_SIZE_UNKNOWN otherwise. */
i32 VqxIeCopyEntry(const IeCopyContext* pContext, const IeRecordDesc* pRec, const void* pvSrc, void* pDstMsg,
                   void* pvDst, u32 un32Avail);
i32 VqxIeListEntry(const IeCopyContext* pContext, const IeListDesc* pList, const void* pSrcSet, void* pDstMsg,
                   void* pDstSet, u32 un32Avail);

/* Base name of a source path (log lines): the part after the last slash or
 * backslash that is followed by a further character, within the first 256
 * characters. */
const char* VqxIeBaseName(const char* szPath);

#endif
