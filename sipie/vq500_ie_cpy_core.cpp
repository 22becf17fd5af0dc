/*
 * vq500_ie_cpy_core.cpp - the copy core under the generated record copies:
 * string and list duplication over the element copier, the bounds of a
 * walk, the log line, the base-name scan and the public scalar copies.
 *
 * Strings and sets go through the walk's element copier
 * (VqxMsgElementCopier: the set duplication with both messages' preludes
 * checked once per walk); a set of records with this file's element
 * callback, which calls the element's record copy. A source from outside
 * (the context names its message) is checked within that message before it
 * is read, since the set readers trust the distances they find. A walk carries its own state (nesting depth, element
 * visits left), so every entry called from outside, the five-argument
 * element form included, starts a fresh bound. Runs on the caller's thread;
 * no shared state.
 */
#include "vq500_ie_copy_internal.h"
#include "vqx_msg_layout.h"

#include <cstring>

namespace {

/* What the element callback of one set copy needs. */
struct IeSetJob {
    IeWalk* pWalk;
    const IeRecordDesc* pRec;
};

/* One log line; out of line so that the walk's frames stay small (the
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
    return pJob->pRec->pfnCopy(pWalk, static_cast<const u8*>(pvSrc), pDstMsg, static_cast<u8*>(pvDst), un16Size);
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

/* A walk over a copier of the two messages. */
IeWalk StartWalk(const IeCopyContext* pContext, void* pDstMsg, VqxMsgElementCopier* pCopier)
{
    (void)VqxMsgElementCopierOpen(pContext->pSrcMsg, pDstMsg, pCopier);
    return IeWalk{pContext, pContext->un32Swap, 0, VisitBudget(pContext), pCopier};
}

} // namespace

i32 VqxIeFail(IeWalk* pWalk, const IeRecordDesc* pRec, const char* szText, i32 n32Code, u32 un32Value, int nLine)
{
    Log(pWalk, pRec->szLabel, pRec->pFamily, pRec->fValueLog != 0, szText, static_cast<u32>(n32Code), un32Value, nLine);
    return n32Code;
}

i32 VqxIeCopyListSet(IeWalk* pWalk, const IeListDesc* pList, const u8* pbySrcSet, u8* pbyDstSet)
{
    i32 r;
    u32 un32Word = 0;
    if (pbySrcSet != nullptr) {
        memcpy(&un32Word, pbySrcSet, sizeof un32Word);
    }
    // An empty set nests nothing: it empties the destination and is done.
    if (pbySrcSet != nullptr && pbyDstSet != nullptr && VqxIeEmptied(pbySrcSet, pbyDstSet)) {
        return static_cast<i32>(VQX_RESULT_OK);
    }
    if (un32Word != 0 && pWalk->un32Depth >= VQ500_IE_MAX_SET_DEPTH) {
        r = static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
    } else {
        ++pWalk->un32Depth;
        IeSetJob job{pWalk, pList->pRec};
        // A null set (a list entry called with one) is the copier's 0x82000009.
        r = static_cast<i32>(VqxMsgElementCopierDupSet(pWalk->pCopier, pbySrcSet, pbyDstSet, CopyElement, &job));
        --pWalk->un32Depth;
    }
    if (VQX_RESULT_FAILED(r)) {
        Log(pWalk, pList->szLabel, pList->pRec->pFamily, false, pList->szText, static_cast<u32>(r), 0,
            static_cast<int>(pList->un32Line));
    }
    return r;
}

i32 VqxIeCopyEntry(const IeCopyContext* pContext, const IeRecordDesc* pRec, const void* pvSrc, void* pDstMsg,
                   void* pvDst, u32 un32Avail)
{
    if (pContext == nullptr) {
        return static_cast<i32>(VQX_RESULT_NULL_PARAM);
    }
    VqxMsgElementCopier copier;
    IeWalk walk = StartWalk(pContext, pDstMsg, &copier);
    return pRec->pfnCopy(&walk, static_cast<const u8*>(pvSrc), pDstMsg, static_cast<u8*>(pvDst), un32Avail);
}

i32 VqxIeListEntry(const IeCopyContext* pContext, const IeListDesc* pList, const void* pSrcSet, void* pDstMsg,
                   void* pDstSet, u32 un32Avail)
{
    if (pContext == nullptr) {
        return static_cast<i32>(VQX_RESULT_NULL_PARAM);
    }
    VqxMsgElementCopier copier;
    IeWalk walk = StartWalk(pContext, pDstMsg, &copier);
    if (un32Avail < sizeof(VQXMsgElementSet)) {
        Log(&walk, pList->szLabel, pList->pRec->pFamily, false, pList->szText, VQX_RESULT_INVALID_MESSAGE, 0,
            static_cast<int>(pList->un32Line));
        return static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
    }
    return VqxIeCopyListSet(&walk, pList, static_cast<const u8*>(pSrcSet), static_cast<u8*>(pDstSet));
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

i32 VQXSwapOrCopy8(u32, const void* pvSrc, void* pvDst)
{
    memcpy(pvDst, pvSrc, 1);
    return static_cast<i32>(VQX_RESULT_OK);
}

i32 VQXSwapOrCopy16(u32 un32Swap, const void* pvSrc, void* pvDst)
{
    VqxIeCopy16(un32Swap, static_cast<const u8*>(pvSrc), static_cast<u8*>(pvDst));
    return static_cast<i32>(VQX_RESULT_OK);
}

i32 VQXSwapOrCopy32(u32 un32Swap, const void* pvSrc, void* pvDst)
{
    VqxIeCopy32(un32Swap, static_cast<const u8*>(pvSrc), static_cast<u8*>(pvDst));
    return static_cast<i32>(VQX_RESULT_OK);
}
