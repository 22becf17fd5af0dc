/*
 * vq500_sip_ie_cpy.cpp - the copy core of every SIP and SDP record, and the
 * SIP discriminant rule.
 *
 * Each record copy is one walk over the record's generated descriptor
 * (vq500_ie_copy_internal.h): the members before a choice in order, then the
 * alternative that the discriminant selects. The discriminant is read from
 * the source before anything is written, so a record converted in place
 * (source = destination) still sees it as stored. Scalars are read, swapped
 * and written through memcpy (records may sit at any 4-byte boundary of a
 * payload); strings and sets go through VQXMsgElementDupSet, sets with this
 * file's element callback, which walks the element's record in turn.
 *
 * A walk carries its own state (nesting depth, element visits left) beside
 * the caller's read-only context, so the five-argument element form, the
 * list copies and the record copies all start a fresh bound when called
 * from outside. Runs on the caller's thread; no shared state.
 */
#include "vq500_ie_copy_internal.h"
#include "vqx_msg_layout.h"

#include <cstring>

namespace {

struct IeWalk {
    const IeCopyContext* pContext;
    u32 un32Depth;
    u32 un32VisitsLeft;
};

/* What the element callback of one set copy needs. */
struct IeSetJob {
    IeWalk* pWalk;
    const IeRecordDesc* pRec;
};

i32 CopyRecord(IeWalk* pWalk, const IeRecordDesc* pRec, const u8* pbySrc, void* pDstMsg, u8* pbyDst, u32 un32Avail);

/* One log line; kept out of line so that the walk's frames stay small (the
 * deepest copies nest 64 sets). */
[[gnu::noinline, gnu::cold]] void Log(const IeWalk* pWalk, const char* szLabel, const IeFamily* pFamily, bool fValue,
                                      const char* szText, u32 un32Code, u32 un32Value, int nLine)
{
    const PFN_VQ500_IE_LOG pfnLog = pWalk->pContext->pfnLog;
    if (pfnLog == nullptr) {
        return;
    }
    static const char s_szPlain[] = ": %s (%X) %s:%d\n";
    static const char s_szValue[] = ": %s (%X) value=0x%08x %s:%d\n";
    char szFormat[128 + sizeof(s_szValue)];
    const size_t nLabel = strnlen(szLabel, 128);
    memcpy(szFormat, szLabel, nLabel);
    memcpy(szFormat + nLabel, fValue ? s_szValue : s_szPlain, fValue ? sizeof(s_szValue) : sizeof(s_szPlain));
    const char* szFile = VqxIeBaseName(pFamily->szFile);
    if (fValue) {
        pfnLog(szFormat, szText, un32Code, un32Value, szFile, nLine);
    } else {
        pfnLog(szFormat, szText, un32Code, szFile, nLine);
    }
}

void LogRecord(const IeWalk* pWalk, const IeRecordDesc* pRec, const char* szText, u32 un32Code, u32 un32Value,
               int nLine)
{
    Log(pWalk, pRec->szLabel, pRec->pFamily, pRec->fValueLog != 0, szText, un32Code, un32Value, nLine);
}

/* Duplicates one set; a source from outside is checked within its message
 * first, since the set readers trust the distances they find. */
i32 DupSet(IeWalk* pWalk, const u8* pbySrcSet, void* pDstMsg, u8* pbyDstSet, PFN_VQX_MSG_ELEMENT_COPY pfnCopy,
           void* pvJob)
{
    // An empty source set empties the destination and is done: most sets of
    // a tree are empty, and this spares the duplication's message checks.
    u32 un32Word;
    memcpy(&un32Word, pbySrcSet, sizeof un32Word);
    if (un32Word == 0 && pbySrcSet != pbyDstSet) {
        memcpy(pbyDstSet, &un32Word, sizeof un32Word);
        return static_cast<i32>(VQX_RESULT_OK);
    }
    const void* pSrcMsg = pWalk->pContext->pSrcMsg;
    if (pSrcMsg != nullptr) {
        const VQX_RESULT r = VqxMsgElementCheckSet(pSrcMsg, pbySrcSet);
        if (VQX_RESULT_FAILED(r)) {
            return static_cast<i32>(r);
        }
    }
    return static_cast<i32>(VQXMsgElementDupSet(pbySrcSet, pDstMsg, pbyDstSet, pfnCopy, pvJob));
}

i32 CopyElement(void* pvJob, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size)
{
    const IeSetJob* pJob = static_cast<const IeSetJob*>(pvJob);
    IeWalk* pWalk = pJob->pWalk;
    // Set words in several elements may name the same elements: the work
    // would multiply. No tree holds more elements than its payload has room.
    if (pWalk->un32VisitsLeft == 0) {
        return static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
    }
    --pWalk->un32VisitsLeft;
    return CopyRecord(pWalk, pJob->pRec, static_cast<const u8*>(pvSrc), pDstMsg, static_cast<u8*>(pvDst), un16Size);
}

i32 CopyList(IeWalk* pWalk, const IeListDesc* pList, const u8* pbySrcSet, void* pDstMsg, u8* pbyDstSet)
{
    i32 r;
    u32 un32Word = 0;
    if (pbySrcSet != nullptr) {
        memcpy(&un32Word, pbySrcSet, sizeof un32Word);
    }
    // An empty set nests nothing.
    if (un32Word != 0 && pWalk->un32Depth >= VQ500_IE_MAX_SET_DEPTH) {
        r = static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
    } else {
        ++pWalk->un32Depth;
        IeSetJob job{pWalk, pList->pRec};
        r = DupSet(pWalk, pbySrcSet, pDstMsg, pbyDstSet, CopyElement, &job);
        --pWalk->un32Depth;
    }
    if (VQX_RESULT_FAILED(r)) {
        Log(pWalk, pList->szLabel, pList->pRec->pFamily, false, pList->szText, static_cast<u32>(r), 0, __LINE__);
    }
    return r;
}

i32 CopyMember(IeWalk* pWalk, const IeMemberDesc* pMember, const u8* pbySrc, void* pDstMsg, u8* pbyDst, u32 un32Avail)
{
    const u32 un32Swap = pWalk->pContext->un32Swap;
    const u8* pbyFrom = pbySrc + pMember->un16Offset;
    u8* pbyTo = pbyDst + pMember->un16Offset;
    switch (pMember->byKind) {
    case IE_KIND_U8:
        return VQXSwapOrCopy8(un32Swap, pbyFrom, pbyTo);
    case IE_KIND_U16:
        return VQXSwapOrCopy16(un32Swap, pbyFrom, pbyTo);
    case IE_KIND_U32:
        return VQXSwapOrCopy32(un32Swap, pbyFrom, pbyTo);
    case IE_KIND_STRING:
        return DupSet(pWalk, pbyFrom, pDstMsg, pbyTo, nullptr, nullptr);
    case IE_KIND_SET:
        return CopyList(pWalk, pMember->pList, pbyFrom, pDstMsg, pbyTo);
    default:
        return CopyRecord(pWalk, pMember->pRec, pbyFrom, pDstMsg, pbyTo,
                          un32Avail == VQX_IE_SIZE_UNKNOWN ? un32Avail : un32Avail - pMember->un16Offset);
    }
}

/* The alternative of un32Value, or null. */
const IeAltDesc* FindAlt(const IeRecordDesc* pRec, u32 un32Value)
{
    const IeAltDesc* pLow = pRec->pAlts;
    size_t nCount = pRec->un16AltCount;
    while (nCount > 0) {
        const size_t nHalf = nCount / 2;
        const IeAltDesc* pMid = pLow + nHalf;
        if (pMid->un32High < un32Value) {
            pLow = pMid + 1;
            nCount -= nHalf + 1;
        } else {
            nCount = nHalf;
        }
    }
    if (pLow != pRec->pAlts + pRec->un16AltCount && pLow->un32Low <= un32Value) {
        return pLow;
    }
    return nullptr;
}

i32 CopyMembers(IeWalk* pWalk, const IeRecordDesc* pRec, u32 un32First, u32 un32Count, const u8* pbySrc,
                void* pDstMsg, u8* pbyDst, u32 un32Avail)
{
    for (u32 i = un32First; i < un32First + un32Count; ++i) {
        const i32 r = CopyMember(pWalk, &pRec->pMembers[i], pbySrc, pDstMsg, pbyDst, un32Avail);
        if (VQX_RESULT_FAILED(r)) {
            LogRecord(pWalk, pRec, pRec->pMembers[i].szText, static_cast<u32>(r), 0, __LINE__);
            return r;
        }
    }
    return static_cast<i32>(VQX_RESULT_OK);
}

i32 CopyRecord(IeWalk* pWalk, const IeRecordDesc* pRec, const u8* pbySrc, void* pDstMsg, u8* pbyDst, u32 un32Avail)
{
    if (pbySrc == nullptr || pbyDst == nullptr) {
        LogRecord(pWalk, pRec, pRec->szNullText, VQX_RESULT_NULL_PARAM, 0, __LINE__);
        return static_cast<i32>(VQX_RESULT_NULL_PARAM);
    }
    // An element smaller than its record would be read and written past
    // its end.
    if (un32Avail < pRec->un16Size) {
        LogRecord(pWalk, pRec, pRec->szSelfText, VQX_RESULT_INVALID_MESSAGE, 0, __LINE__);
        return static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
    }
    u32 un32Value = 0;
    if (pRec->fChoice) {
        un32Value = pRec->pFamily->pfnDiscriminant(pWalk->pContext, pbySrc + pRec->un16Disc);
    }
    i32 r = CopyMembers(pWalk, pRec, 0, pRec->un16PreCount, pbySrc, pDstMsg, pbyDst, un32Avail);
    if (VQX_RESULT_FAILED(r) || !pRec->fChoice) {
        return r;
    }
    const IeAltDesc* pAlt = FindAlt(pRec, un32Value);
    if (pAlt == nullptr) {
        if (pRec->byOthers == IE_OTHERS_NOTHING) {
            return static_cast<i32>(VQX_RESULT_OK);
        }
        if (pRec->byOthers == IE_OTHERS_FAIL) {
            LogRecord(pWalk, pRec, "Unk Enum value", VQX_RESULT_INVALID_PARAM, un32Value, __LINE__);
            return static_cast<i32>(VQX_RESULT_INVALID_PARAM);
        }
        pAlt = &pRec->pAlts[pRec->n16DefaultAlt];
    }
    return CopyMembers(pWalk, pRec, pAlt->un16First, pAlt->un16Count, pbySrc, pDstMsg, pbyDst, un32Avail);
}

/* Element visits a copy may make: one per element the source payload can
 * hold (the smallest element takes 8 bytes). */
u32 VisitBudget(const IeCopyContext* pContext)
{
    u32 un32Payload = VQX_MSG_ELEMENT_MAX_PAYLOAD;
    if (pContext->pSrcMsg != nullptr) {
        u32 un32Used = 0;
        memcpy(&un32Used, static_cast<const u8*>(pContext->pSrcMsg) + VQX_MSG_OFFSET_PAYLOAD_LENGTH, sizeof un32Used);
        if (un32Used < un32Payload) {
            un32Payload = un32Used;
        }
    }
    return un32Payload / 8;
}

u32 SipDiscriminant(const IeCopyContext* pContext, const void* pvWord)
{
    u32 un32Value;
    memcpy(&un32Value, pvWord, sizeof un32Value);
    return pContext->un32SrcOrder == 2 ? un32Value : __builtin_bswap32(un32Value);
}

} // namespace

const IeFamily g_kIeFamilySip = {SipDiscriminant, __FILE__};

i32 VqxIeCopyEntry(const IeCopyContext* pContext, const IeRecordDesc* pRec, const void* pvSrc, void* pDstMsg,
                   void* pvDst, u32 un32Avail)
{
    if (pContext == nullptr) {
        return static_cast<i32>(VQX_RESULT_NULL_PARAM);
    }
    IeWalk walk{pContext, 0, VisitBudget(pContext)};
    return CopyRecord(&walk, pRec, static_cast<const u8*>(pvSrc), pDstMsg, static_cast<u8*>(pvDst), un32Avail);
}

i32 VqxIeListEntry(const IeCopyContext* pContext, const IeListDesc* pList, const void* pSrcSet, void* pDstMsg,
                   void* pDstSet, u32 un32Avail)
{
    if (pContext == nullptr) {
        return static_cast<i32>(VQX_RESULT_NULL_PARAM);
    }
    IeWalk walk{pContext, 0, VisitBudget(pContext)};
    if (un32Avail < sizeof(VQXMsgElementSet)) {
        Log(&walk, pList->szLabel, pList->pRec->pFamily, false, pList->szText, VQX_RESULT_INVALID_MESSAGE, 0,
            __LINE__);
        return static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
    }
    return CopyList(&walk, pList, static_cast<const u8*>(pSrcSet), pDstMsg, static_cast<u8*>(pDstSet));
}

const char* VqxIeBaseName(const char* szPath)
{
    if (szPath == nullptr) {
        return "";
    }
    const char* szAfterSlash = nullptr;
    const char* szAfterBackslash = nullptr;
    for (size_t i = 0; i < 256 && szPath[i] != '\0'; ++i) {
        if (szPath[i + 1] == '\0') {
            break;
        }
        if (szPath[i] == '/') {
            szAfterSlash = szPath + i + 1;
        } else if (szPath[i] == '\\') {
            szAfterBackslash = szPath + i + 1;
        }
    }
    const char* szBase = szAfterSlash > szAfterBackslash ? szAfterSlash : szAfterBackslash;
    return szBase != nullptr ? szBase : szPath;
}
