/*
 * vq500_sip_find.cpp - searches over element sets, text and value reads,
 * header duplication. Callers: the call/media control layers and the
 * composers of this library. Readers never write into a message (a quoted
 * value is copied, without its quotes, into a buffer of the calling
 * thread); see vq500_sip_find.h for the cursor contract.
 */
#include "vq500_sip_find.h"

#include <cstring>
#include <memory>
#include <new>

#include "vq500_sip_ops_internal.h"

namespace {

/* The calling thread's buffer of unquoted values: an element is at most
 * 0xFFFF bytes, so a value less its two quotes, with its NUL, fits. */
constexpr size_t kValueCopies = 0x10000;
static_assert(0xFFFF - 2 <= kValueCopies);

/* One search: walks [start, count) and keeps the cursor contract. */
template <class Match>
void* Scan(const void* pSet, u16* pun16Cursor, u16* pun16Size, Match match)
{
    if (pun16Size != nullptr) {
        *pun16Size = 0;
    }
    const u32 un32Start = pun16Cursor != nullptr ? *pun16Cursor : 0;
    const u32 un32Count = VQXMsgElementCount(pSet);
    u32 un32Next = un32Start < un32Count ? un32Count + 1 : un32Start + 1;
    void* pFound = nullptr;
    for (u32 i = un32Start; i < un32Count; ++i) {
        u16 un16Size = 0;
        void* pElement = VQXMsgElementGet(pSet, static_cast<u16>(i), &un16Size);
        if (pun16Size != nullptr) {
            *pun16Size = un16Size;
        }
        if (pElement != nullptr && match(static_cast<const u8*>(pElement), un16Size)) {
            pFound = pElement;
            un32Next = i + 1;
            break;
        }
    }
    if (pun16Cursor != nullptr) {
        *pun16Cursor = static_cast<u16>(un32Next > 0xFFFFu ? 0xFFFFu : un32Next);
    }
    return pFound;
}

void* FindTyped(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size)
{
    return Scan(pSet, pun16Cursor, pun16Size, [un32Type](const u8* p, u16 un16Size) {
        return un16Size >= sizeof(u32) && VqxSipGet32(p) == un32Type;
    });
}

/* Does the string field at pField hold exactly szName? */
bool NameIs(const void* pField, const char* szName)
{
    const char* szText = VQ500SipStringGet(pField);
    return szText != nullptr && std::strcmp(szText, szName) == 0;
}

/* Schemes whose URIs carry headers; matched exactly. */
bool HasUriHeaders(const char* szScheme)
{
    return szScheme != nullptr &&
           (std::strcmp(szScheme, "sip") == 0 || std::strcmp(szScheme, "sips") == 0 || std::strcmp(szScheme, "im") == 0);
}

} // namespace

void* VQ500SipHeaderFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size)
{
    return FindTyped(pSet, un32Type, pun16Cursor, pun16Size);
}

void* VQ500SipContactParamsFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size)
{
    return FindTyped(pSet, un32Type, pun16Cursor, pun16Size);
}

void* VQ500SipSubScParamFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size)
{
    return FindTyped(pSet, un32Type, pun16Cursor, pun16Size);
}

void* VQ500SipRpiTokenFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size)
{
    return FindTyped(pSet, un32Type, pun16Cursor, pun16Size);
}

void* VQ500SipAddrParamFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size)
{
    return FindTyped(pSet, un32Type, pun16Cursor, pun16Size);
}

SipContactParamStdIe* VQ500SipContactParamsFind_StandardParam(const void* pSet, u32 un32StdType, u16* pun16Cursor,
                                                              u16* pun16Size)
{
    u8* p = static_cast<u8*>(Scan(pSet, pun16Cursor, pun16Size, [un32StdType](const u8* pb, u16 un16Size) {
        return un16Size >= 2 * sizeof(u32) && VqxSipGet32(pb) == 1 && VqxSipGet32(pb + 4) == un32StdType;
    }));
    return p != nullptr ? reinterpret_cast<SipContactParamStdIe*>(p + sizeof(u32)) : nullptr;
}

const char* VQ500SipStringGet(const void* pStringField)
{
    if (pStringField == nullptr) {
        return nullptr;
    }
    u16 un16Size = 0;
    const char* sz = static_cast<const char*>(VQXMsgElementGet(pStringField, 0, &un16Size));
    if (sz == nullptr || std::memchr(sz, '\0', un16Size) == nullptr) {
        return nullptr;
    }
    return sz;
}

std::string_view VqxSipValueView(const SipValueIe* pValue)
{
    const char* sz = pValue != nullptr ? VQ500SipStringGet(&pValue->msText) : nullptr;
    if (sz == nullptr) {
        return {};
    }
    const std::string_view text(sz);
    if (VqxSipGet32(&pValue->eValueType) == kSipValueQuoted && text.size() >= 3 && text.front() == '"' &&
        text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

char* VQ500SipValueGet(const SipValueIe* pValue, u16* pun16Length)
{
    const std::string_view text = VqxSipValueView(pValue);
    if (pun16Length != nullptr) {
        *pun16Length = static_cast<u16>(text.size());
    }
    if (text.data() == nullptr) {
        return nullptr;
    }
    // A text that ends at its NUL in the element is handed back as it lies
    // there; only a text without its quotes, which ends at the closing
    // quote, is copied, so that the message is never written.
    if (text.data()[text.size()] == '\0') {
        return const_cast<char*>(text.data());
    }
    // The copies go one after another round a buffer of the thread that
    // never moves nor grows, so a copy stays as read while the copies after
    // it come, with it, to half the buffer.
    thread_local std::unique_ptr<char[]> s_pCopies;
    thread_local size_t s_nNext = 0;
    if (s_pCopies == nullptr) {
        s_pCopies.reset(new (std::nothrow) char[kValueCopies]);
        if (s_pCopies == nullptr) {
            return nullptr;
        }
    }
    if (s_nNext + text.size() + 1 > kValueCopies) {
        s_nNext = 0;
    }
    char* p = s_pCopies.get() + s_nNext;
    std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    s_nNext += text.size() + 1;
    return p;
}

char* VQ500SipParameterFind(const void* pSet, const char* szName, u16* pun16Cursor, u16* pun16Size,
                            u16* pun16Length)
{
    const void* p = nullptr;
    if (szName != nullptr) {
        p = Scan(pSet, pun16Cursor, pun16Size, [szName](const u8* pb, u16 un16Size) {
            return un16Size >= sizeof(SipParameterIe) && NameIs(pb, szName);
        });
    }
    return VQ500SipValueGet(p != nullptr ? &static_cast<const SipParameterIe*>(p)->stValue : nullptr, pun16Length);
}

char* VQ500SipUriHeaderFind(const SipAddrspecIe* pAddrspec, const char* szScheme, const char* szName,
                            u16* pun16Cursor, u16* pun16Size)
{
    if (pun16Size != nullptr) {
        *pun16Size = 0;
    }
    // The scheme says whether there are URI headers; the element's kind says
    // whether its union holds a URI to read them from.
    if (pAddrspec == nullptr || szName == nullptr || !HasUriHeaders(szScheme) ||
        !VqxSipIsUriKind(VqxSipGet32(&pAddrspec->eAddrspecType))) {
        return nullptr;
    }
    const SipUriHeadersIe& headers = pAddrspec->u.alt1.stUri.stUriHeaders;
    const u32 un32Start = pun16Cursor != nullptr ? *pun16Cursor : 0;
    if (un32Start == 0 && NameIs(&headers.stNameval.msTextAt0, szName)) {
        if (pun16Cursor != nullptr) {
            *pun16Cursor = 1;
        }
        return const_cast<char*>(VQ500SipStringGet(&headers.stNameval.msTextAt4));
    }
    // Positions 1..n are the further pairs 0..n-1.
    u16 un16Inner = static_cast<u16>(un32Start > 0 ? un32Start - 1 : 0);
    const void* p = Scan(&headers.msNameval, &un16Inner, pun16Size, [szName](const u8* pb, u16 un16Size) {
        return un16Size >= sizeof(SipNamevalIe) && NameIs(pb, szName);
    });
    if (pun16Cursor != nullptr) {
        *pun16Cursor = static_cast<u16>(un16Inner == 0xFFFFu ? 0xFFFFu : un16Inner + 1);
    }
    return p != nullptr ? const_cast<char*>(VQ500SipStringGet(&static_cast<const SipNamevalIe*>(p)->msTextAt4))
                        : nullptr;
}

VQX_RESULT VQ500SipHeaderDup(u32 un32Type, u16* pun16Cursor, const void* pSrcSet, void* pDstMsg, void* pDstSet)
{
    if (pSrcSet == nullptr || pDstMsg == nullptr || pDstSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    u16 un16Size = 0;
    const void* pHeader = VQ500SipHeaderFind(pSrcSet, un32Type, pun16Cursor, &un16Size);
    if (pHeader == nullptr) {
        return VQX_RESULT_NOT_FOUND;
    }
    VqxSipAdd add(pDstMsg, pDstSet);
    void* pDst = nullptr;
    VQX_RESULT r = add.Alloc(un16Size, &pDst);
    if (VQX_RESULT_SUCCEEDED(r)) {
        IeCopyContext ctx{0, 2, nullptr, nullptr};
        r = static_cast<VQX_RESULT>(VQ500SipHeaderCopy(&ctx, pHeader, pDstMsg, pDst, un16Size));
    }
    return add.Done(r);
}
