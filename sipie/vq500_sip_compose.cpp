/*
 * vq500_sip_compose.cpp - fills and adds of SIP elements (model and results
 * in vq500_sip_compose.h). Every add goes through AddRecord: arguments are
 * checked by the caller of AddRecord before it allocates, the fill runs,
 * the type word is written last, and a failure takes away everything
 * appended since the allocation.
 */
#include "vq500_sip_compose.h"

#include "vq500_sip_find.h"
#include "vq500_sip_ops_internal.h"

#include <cctype>
#include <string>

#define VQX_SIP_TRY(expr)                                                                                              \
    do {                                                                                                               \
        const VQX_RESULT r_ = (expr);                                                                                  \
        if (VQX_RESULT_FAILED(r_)) {                                                                                   \
            return r_;                                                                                                 \
        }                                                                                                              \
    } while (0)

namespace {

constexpr u32 kNoType = 0xFFFFFFFFu; /* an element without a type word */
constexpr size_t kMaxText = 0xFFFEu; /* text and NUL in one 16-bit element */
constexpr size_t kMaxExtension = 510;

template <class T, class F>
VQX_RESULT AddRecord(void* pMsg, void* pSet, u16 un16Size, u32 un32Type, void** ppOut, F fill)
{
    static_assert(alignof(T) <= 4);
    if (ppOut != nullptr) {
        *ppOut = nullptr;
    }
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VqxSipAdd add(pMsg, pSet);
    void* p = nullptr;
    VQX_RESULT r = add.Alloc(un16Size, &p);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = fill(static_cast<T*>(p));
    }
    if (VQX_RESULT_SUCCEEDED(r) && un32Type != kNoType) {
        std::memcpy(p, &un32Type, sizeof un32Type);
    }
    r = add.Done(r);
    if (VQX_RESULT_SUCCEEDED(r) && ppOut != nullptr) {
        *ppOut = p;
    }
    return r;
}

bool HostTypeOk(u32 un32HostType)
{
    return un32HostType >= 1 && un32HostType <= 3;
}

bool IEquals(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

/* Address kind of a scheme text for VQ500SipAddrspecFill; 0: refused. */
u32 SchemeKind(const char* szScheme)
{
    struct Row {
        const char* szName;
        u32 un32Kind;
    };
    static const Row s_aRows[] = {{"sip", 1}, {"sips", 2}, {"tel", 3}, {"im", 4}, {"mailto", 5}, {"http", 5}};
    if (szScheme == nullptr) {
        return 5;
    }
    for (const Row& row : s_aRows) {
        if (IEquals(szScheme, row.szName)) {
            return row.un32Kind;
        }
    }
    return 0;
}

/* 2 for four decimal numbers 0-255 joined by dots, 3 for an IPv6 text
 * (it holds ':'), else 1. */
u32 HostTypeOf(const char* szHost)
{
    if (szHost == nullptr) {
        return 1;
    }
    if (std::strchr(szHost, ':') != nullptr) {
        return 3;
    }
    const char* p = szHost;
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart > 0 && *p++ != '.') {
            return 1;
        }
        int nDigits = 0;
        u32 un32Value = 0;
        for (; std::isdigit(static_cast<unsigned char>(*p)) && nDigits < 4; ++p, ++nDigits) {
            un32Value = un32Value * 10 + static_cast<u32>(*p - '0');
        }
        if (nDigits == 0 || nDigits > 3 || un32Value > 255) {
            return 1;
        }
    }
    return *p == '\0' ? 2 : 1;
}

VQX_RESULT Put(void* pMsg, VQXMsgElementSet& field, const char* szText)
{
    return VQ500SipStringAdd(pMsg, &field, szText);
}

/* Record with a kind word and a text used only for one kind value. */
template <class T>
VQX_RESULT KindTextFill(void* pMsg, T* p, u32 un32Kind, u32 un32TextKind, const char* szText)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (un32Kind == un32TextKind) {
        VQX_SIP_TRY(Put(pMsg, p->msText, szText));
    }
    std::memcpy(p, &un32Kind, sizeof un32Kind);
    return VQX_RESULT_OK;
}

VQX_RESULT AddrspecByKind(void* pMsg, SipAddrspecIe* p, u32 un32Kind, const char* szScheme, const char* szUser,
                          const char* szPassword, const char* szHost, u32 un32Port)
{
    switch (un32Kind) {
    case 1:
        return VQ500SipAddrspecFill_Sip(pMsg, p, 1, szUser, szPassword, HostTypeOf(szHost), szHost, un32Port);
    case 2:
        return VQ500SipAddrspecFill_Sips(pMsg, p, 1, szUser, szPassword, HostTypeOf(szHost), szHost, un32Port);
    case 3: {
        const bool fGlobal = szUser != nullptr && szUser[0] == '+';
        return VQ500SipAddrspecFill_Tel(pMsg, p, fGlobal ? 2 : 1, szUser);
    }
    case 4:
        return VQ500SipAddrspecFill_Im(pMsg, p, szUser, szPassword, HostTypeOf(szHost), szHost, un32Port);
    case 5:
        return VQ500SipAddrspecFill_AbsoluteUri(pMsg, p, szScheme, szUser);
    default:
        return VQX_RESULT_INVALID_PARAM;
    }
}

VQX_RESULT ToFromAdd(void* pMsg, void* pSet, u32 un32Type, const char* szDisplay, const char* szScheme,
                     const char* szUser, const char* szPassword, const char* szHost, u32 un32Port)
{
    if (SchemeKind(szScheme) == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderToIe>(pMsg, pSet, 72, un32Type, nullptr, [&](SipHeaderToIe* h) {
        return VQ500SipNameAddrFill(pMsg, &h->stNameAddr, szDisplay, szScheme, szUser, szPassword, szHost, un32Port);
    });
}

/* An element of a kind and one text (URI, tel and address parameters). */
VQX_RESULT KindTextAdd(void* pMsg, void* pSet, u32 un32Kind, const char* szText, u16 un16Size = 8)
{
    return AddRecord<SipTelParamIe>(pMsg, pSet, un16Size, un32Kind, nullptr,
                                    [&](SipTelParamIe* e) { return Put(pMsg, e->u.alt1.msText, szText); });
}

/* An element of a kind and a host record. */
VQX_RESULT KindHostAdd(void* pMsg, void* pSet, u32 un32Kind, u32 un32HostType, const char* szHost)
{
    if (!HostTypeOk(un32HostType)) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipUriParamIe>(pMsg, pSet, 12, un32Kind, nullptr, [&](SipUriParamIe* e) {
        return VQ500SipHostFill(pMsg, &e->u.alt5.stHost, un32HostType, szHost);
    });
}

/* A kind word followed by a token parameter. */
VQX_RESULT KindTokenAdd(void* pMsg, void* pSet, u32 un32Kind, const char* szName, const char* szValue)
{
    return AddRecord<SipTelParamIe>(pMsg, pSet, 16, un32Kind, nullptr, [&](SipTelParamIe* e) {
        return VQ500SipParameterFill_Tok(pMsg, &e->u.alt8.stParameter, szName, szValue);
    });
}

/* A kind word followed by a kind-and-text record (text for one kind only). */
template <class R>
VQX_RESULT KindKindTextAdd(void* pMsg, void* pSet, u32 un32Kind, u32 un32Value, u32 un32TextKind, const char* szText)
{
    return AddRecord<SipUriParamIe>(pMsg, pSet, 12, un32Kind, nullptr, [&](SipUriParamIe* e) {
        return KindTextFill(pMsg, reinterpret_cast<R*>(reinterpret_cast<u8*>(e) + 4), un32Value, un32TextKind,
                            szText);
    });
}

} // namespace

/* ---- Text primitives ---- */

VQX_RESULT VQ500SipStringAdd(void* pMsg, void* pField, const char* szText)
{
    if (pMsg == nullptr || pField == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (szText == nullptr) {
        return VQX_RESULT_OK;
    }
    return VQXMsgElementStringAdd(pMsg, pField, szText);
}

VQX_RESULT VQ500SipStringAdd_QStr(void* pMsg, void* pField, const char* szText)
{
    if (pMsg == nullptr || pField == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (szText == nullptr) {
        return VQX_RESULT_OK;
    }
    // Quotes and NUL must fit the 16-bit size: checked before narrowing.
    const size_t n = strnlen(szText, kMaxText);
    if (n + 3 > kMaxText + 1) {
        return VQX_RESULT_INVALID_PARAM;
    }
    void* p = nullptr;
    VQX_SIP_TRY(VQXMsgElementAlloc(pMsg, pField, static_cast<u16>(n + 3), &p));
    char* sz = static_cast<char*>(p);
    sz[0] = '"';
    std::memcpy(sz + 1, szText, n);
    sz[n + 1] = '"';
    sz[n + 2] = '\0';
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipBytesAdd(void* pMsg, void* pSet, const void* pvBytes, u16 un16Length)
{
    if (pMsg == nullptr || pSet == nullptr || pvBytes == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    void* p = nullptr;
    VQX_SIP_TRY(VQXMsgElementAlloc(pMsg, pSet, un16Length, &p));
    std::memcpy(p, pvBytes, un16Length);
    return VQX_RESULT_OK;
}

/* ---- Fills ---- */

VQX_RESULT VQ500SipQvalueFill(void*, SipQvalueIe* p, u16 un16Int, u16 un16Frac)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    p->stUint16At0.un16Value = un16Int;
    p->stUint16At0.fPresent = 1;
    p->stUint16At4.un16Value = un16Frac;
    p->stUint16At4.fPresent = un16Frac != 0 ? 1 : 0;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipStatusLineFill(void* pMsg, SipStatusLineIe* p, u16 un16Code, const char* szReason)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->msSIPVersion, "2.0"));
    p->stUint16.un16Value = un16Code;
    p->stUint16.fPresent = 1;
    return Put(pMsg, p->msReasonPhrase, szReason);
}

VQX_RESULT VQ500SipMethodFill(void* pMsg, SipMethodIe* p, u32 un32Method, const char* szText)
{
    return KindTextFill(pMsg, p, un32Method, kSipMethodExtn, szText);
}

VQX_RESULT VQ500SipTransportParamFill(void* pMsg, SipTransportParamIe* p, u32 un32Transport, const char* szText)
{
    return KindTextFill(pMsg, p, un32Transport, 5, szText);
}

VQX_RESULT VQ500SipUserParamFill(void* pMsg, SipUserParamIe* p, u32 un32UserType, const char* szText)
{
    return KindTextFill(pMsg, p, un32UserType, 3, szText);
}

VQX_RESULT VQ500SipCompParamFill(void* pMsg, SipCompParamIe* p, u32 un32Comp, const char* szText)
{
    return KindTextFill(pMsg, p, un32Comp, 2, szText);
}

VQX_RESULT VQ500SipFeatureParamFill(void* pMsg, SipFeatureParamIe* p, u32 un32Feature, const char* szText)
{
    return KindTextFill(pMsg, p, un32Feature, un32Feature, szText);
}

VQX_RESULT VQ500SipHostFill(void* pMsg, SipHostIe* p, u32 un32HostType, const char* szHost)
{
    if (!HostTypeOk(un32HostType)) {
        return VQX_RESULT_INVALID_PARAM;
    }
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->u.alt1.msText, szHost));
    p->eHostType = un32HostType;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipHostPortFill(void* pMsg, SipHostPortIe* p, u32 un32HostType, const char* szHost, u32 un32Port)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(VQ500SipHostFill(pMsg, &p->stHost, un32HostType, szHost));
    p->stUint32.fPresent = un32Port != 0 ? 1 : 0;
    p->stUint32.un32Value = un32Port;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipUserInfoFill(void* pMsg, SipUserInfoIe* p, u32 un32Type, const char* szUser, const char* szPassword)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->msTextAt8, szUser));
    VQX_SIP_TRY(Put(pMsg, p->msTextAt12, szPassword));
    p->fValue = szUser != nullptr && szUser[0] != '\0' ? 1 : 0;
    p->eUserinfoType = un32Type;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipUriFill(void* pMsg, SipUriIe* p, u32 un32UserInfoType, const char* szUser, const char* szPassword,
                           u32 un32HostType, const char* szHost, u32 un32Port)
{
    if (!HostTypeOk(un32HostType)) {
        return VQX_RESULT_INVALID_PARAM;
    }
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(VQ500SipUserInfoFill(pMsg, &p->stUserInfo, un32UserInfoType, szUser, szPassword));
    return VQ500SipHostPortFill(pMsg, &p->stHostPort, un32HostType, szHost, un32Port);
}

namespace {
VQX_RESULT UriKindFill(void* pMsg, SipAddrspecIe* p, u32 un32Kind, u32 un32UserInfoType, const char* szUser,
                       const char* szPassword, u32 un32HostType, const char* szHost, u32 un32Port)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(VQ500SipUriFill(pMsg, &p->u.alt1.stUri, un32UserInfoType, szUser, szPassword, un32HostType, szHost,
                                un32Port));
    p->eAddrspecType = un32Kind;
    return VQX_RESULT_OK;
}
} // namespace

VQX_RESULT VQ500SipAddrspecFill_Sip(void* pMsg, SipAddrspecIe* p, u32 un32UserInfoType, const char* szUser,
                                    const char* szPassword, u32 un32HostType, const char* szHost, u32 un32Port)
{
    return UriKindFill(pMsg, p, 1, un32UserInfoType, szUser, szPassword, un32HostType, szHost, un32Port);
}

VQX_RESULT VQ500SipAddrspecFill_Sips(void* pMsg, SipAddrspecIe* p, u32 un32UserInfoType, const char* szUser,
                                     const char* szPassword, u32 un32HostType, const char* szHost, u32 un32Port)
{
    return UriKindFill(pMsg, p, 2, un32UserInfoType, szUser, szPassword, un32HostType, szHost, un32Port);
}

VQX_RESULT VQ500SipAddrspecFill_Im(void* pMsg, SipAddrspecIe* p, const char* szUser, const char* szPassword,
                                   u32 un32HostType, const char* szHost, u32 un32Port)
{
    return UriKindFill(pMsg, p, 4, 1, szUser, szPassword, un32HostType, szHost, un32Port);
}

VQX_RESULT VQ500SipTelUriFill(void* pMsg, SipTelUriIe* p, u32 un32NumType, const char* szNumber)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (szNumber != nullptr && szNumber[0] == '+') {
        ++szNumber;
    }
    VQX_SIP_TRY(Put(pMsg, p->msText, szNumber));
    p->eTelNumType = un32NumType;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipAddrspecFill_Tel(void* pMsg, SipAddrspecIe* p, u32 un32NumType, const char* szNumber)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (szNumber != nullptr) {
        VQX_SIP_TRY(VQ500SipTelUriFill(pMsg, &p->u.alt3.stTelUri, un32NumType, szNumber));
    }
    p->eAddrspecType = 3;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipAbsoluteUriFill(void* pMsg, SipAbsoluteUriIe* p, const char* szScheme, const char* szRest)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->msTextAt0, szScheme));
    return Put(pMsg, p->msTextAt4, szRest);
}

VQX_RESULT VQ500SipAddrspecFill_AbsoluteUri(void* pMsg, SipAddrspecIe* p, const char* szScheme, const char* szRest)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(VQ500SipAbsoluteUriFill(pMsg, &p->u.alt5.stAbsoluteUri, szScheme, szRest));
    p->eAddrspecType = 5;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipAddrspecFill(void* pMsg, SipAddrspecIe* p, const char* szScheme, const char* szUser,
                                const char* szPassword, const char* szHost, u32 un32Port)
{
    const u32 un32Kind = SchemeKind(szScheme);
    if (un32Kind == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddrspecByKind(pMsg, p, un32Kind, szScheme, szUser, szPassword, szHost, un32Port);
}

VQX_RESULT VQ500SipDisplayNameFill(void* pMsg, SipDisplayNameIe* p, const char* szText)
{
    return KindTextFill(pMsg, p, 1, 1, szText);
}

VQX_RESULT VQ500SipNameAddrFill(void* pMsg, SipNameAddrIe* p, const char* szDisplay, const char* szScheme,
                                const char* szUser, const char* szPassword, const char* szHost, u32 un32Port)
{
    if (SchemeKind(szScheme) == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (szDisplay != nullptr) {
        VQX_SIP_TRY(VQ500SipDisplayNameFill(pMsg, &p->u.alt1.stDisplayName, szDisplay));
    }
    p->eNameAddrType = szDisplay != nullptr ? 1 : 2;
    return VQ500SipAddrspecFill(pMsg, &p->u.alt1.stAddrspec, szScheme, szUser, szPassword, szHost, un32Port);
}

VQX_RESULT VQ500SipContactParamFill(void* pMsg, SipContactParamIe* p, const char* szDisplay, const char* szScheme,
                                    const char* szUser, const char* szPassword, const char* szHost, u32 un32Port)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    return VQ500SipNameAddrFill(pMsg, &p->stNameAddr, szDisplay, szScheme, szUser, szPassword, szHost, un32Port);
}

VQX_RESULT VQ500SipNamevalFill(void* pMsg, SipNamevalIe* p, const char* szName, const char* szValue)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->msTextAt0, szName));
    return Put(pMsg, p->msTextAt4, szValue);
}

VQX_RESULT VQ500SipUriHeadersFill_Header(void* pMsg, SipUriHeadersIe* p, const char* szName, const char* szValue)
{
    return p == nullptr ? VQX_RESULT_NULL_PARAM : VQ500SipNamevalFill(pMsg, &p->stNameval, szName, szValue);
}

namespace {
VQX_RESULT ParameterFill(void* pMsg, SipParameterIe* p, const char* szName, u32 un32ValueType, const char* szValue)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->msText, szName));
    VQX_SIP_TRY(un32ValueType == kSipValueQuoted ? VQ500SipStringAdd_QStr(pMsg, &p->stValue.msText, szValue)
                                                 : Put(pMsg, p->stValue.msText, szValue));
    p->stValue.eValueType = un32ValueType;
    return VQX_RESULT_OK;
}
} // namespace

VQX_RESULT VQ500SipParameterFill_Tok(void* pMsg, SipParameterIe* p, const char* szName, const char* szValue)
{
    return ParameterFill(pMsg, p, szName, kSipValueToken, szValue);
}

VQX_RESULT VQ500SipParameterFill_QStr(void* pMsg, SipParameterIe* p, const char* szName, const char* szValue)
{
    return ParameterFill(pMsg, p, szName, kSipValueQuoted, szValue);
}

VQX_RESULT VQ500SipAddrParamFill_strTagVal(void* pMsg, SipAddrParamIe* p, const char* szTag)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(Put(pMsg, p->u.alt1.msText, szTag));
    p->eAddrParamType = 1;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipAddrParamFill_GenericParam(void* pMsg, SipAddrParamIe* p, const char* szName, const char* szValue)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(VQ500SipParameterFill_Tok(pMsg, &p->u.alt2.stParameter, szName, szValue));
    p->eAddrParamType = 2;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipRequestLineFill(void* pMsg, SipRequestLineIe* p, u32 un32Method, const char* szScheme,
                                   const char* szUser, const char* szPassword, const char* szHost, u32 un32Port)
{
    if (SchemeKind(szScheme) == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_SIP_TRY(VQ500SipAddrspecFill(pMsg, &p->stAddrspec, szScheme, szUser, szPassword, szHost, un32Port));
    VQX_SIP_TRY(Put(pMsg, p->msSIPVersion, "2.0"));
    p->stMethod.eMethodType = un32Method;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipRequestLineFill_ReqUri(void* pMsg, SipRequestLineIe* p, u32 un32Method,
                                          const SipAddrspecIe* pReqUri)
{
    if (pMsg == nullptr || p == nullptr || pReqUri == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const IeCopyContext ctx{0, 2, nullptr, nullptr};
    VQX_SIP_TRY(static_cast<VQX_RESULT>(VQ500SipAddrspecCopy(&ctx, pReqUri, pMsg, &p->stAddrspec)));
    VQX_SIP_TRY(Put(pMsg, p->msSIPVersion, "2.0"));
    p->stMethod.eMethodType = un32Method;
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipBodyFill_SinglePart_sbyOpaqueMsg(void* pMsg, SipBodyIe* p, u32, const void* pvBytes,
                                                    u16 un16Length)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (pvBytes == nullptr) {
        p->eBodyType = 1;
        return VQX_RESULT_OK;
    }
    SipBodySinglePartIe& part = p->u.alt2.stBodySinglePart;
    VQX_SIP_TRY(VQ500SipBytesAdd(pMsg, &part.u.alt2.msText, pvBytes, un16Length));
    part.eBodyPartType = 2;
    p->eBodyType = 2;
    return VQX_RESULT_OK;
}

/* ---- Header adds ---- */

VQX_RESULT VQ500SipHeaderAdd_CallId(void* pMsg, void* pSet, const char* szText)
{
    return AddRecord<SipHeaderCallidIe>(pMsg, pSet, 8, 9, nullptr,
                                        [&](SipHeaderCallidIe* h) { return Put(pMsg, h->msText, szText); });
}

VQX_RESULT VQ500SipHeaderAdd_Organization(void* pMsg, void* pSet, const char* szText)
{
    return AddRecord<SipHeaderOrganizationIe>(pMsg, pSet, 8, 33, nullptr,
                                              [&](SipHeaderOrganizationIe* h) { return Put(pMsg, h->msText, szText); });
}

namespace {
VQX_RESULT Uint32HeaderAdd(void* pMsg, void* pSet, u32 un32Type, u32 un32Value)
{
    return AddRecord<SipHeaderExpiresIe>(pMsg, pSet, 12, un32Type, nullptr, [&](SipHeaderExpiresIe* h) {
        h->stUint32 = {1, un32Value};
        return VQX_RESULT_OK;
    });
}
} // namespace

VQX_RESULT VQ500SipHeaderAdd_MaxForwards(void* pMsg, void* pSet, u32 un32Value)
{
    return Uint32HeaderAdd(pMsg, pSet, 30, un32Value);
}

VQX_RESULT VQ500SipHeaderAdd_Expires(void* pMsg, void* pSet, u32 un32Seconds)
{
    return Uint32HeaderAdd(pMsg, pSet, 26, un32Seconds);
}

VQX_RESULT VQ500SipHeaderAdd_CSeq(void* pMsg, void* pSet, u32 un32Method, u32 un32Seq)
{
    return AddRecord<SipHeaderCseqIe>(pMsg, pSet, 20, 22, nullptr, [&](SipHeaderCseqIe* h) {
        h->stUint32 = {1, un32Seq};
        h->stMethod.eMethodType = un32Method;
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_ContentType(void* pMsg, void* pSet, u32 un32Type, u32 un32SubType)
{
    return AddRecord<SipHeaderContenttypeIe>(pMsg, pSet, 24, 20, nullptr, [&](SipHeaderContenttypeIe* h) {
        h->stMediatype.eMediaType = un32Type;
        h->stMediasubtype.eMediaSubType = un32SubType;
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_Contact_Star(void* pMsg, void* pSet)
{
    return AddRecord<SipHeaderContactIe>(pMsg, pSet, 80, 12, nullptr, [&](SipHeaderContactIe* h) {
        h->eContactType = 1;
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_Contact(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                     const char* szUser, const char* szPassword, const char* szHost, u32 un32Port,
                                     void** ppOut)
{
    if (SchemeKind(szScheme) == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderContactIe>(pMsg, pSet, 80, 12, ppOut, [&](SipHeaderContactIe* h) {
        VQX_SIP_TRY(VQ500SipContactParamFill(pMsg, &h->u.alt2.stContactParam, szDisplay, szScheme, szUser,
                                             szPassword, szHost, un32Port));
        h->eContactType = 2;
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_To(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                const char* szUser, const char* szPassword, const char* szHost, u32 un32Port)
{
    return ToFromAdd(pMsg, pSet, 50, szDisplay, szScheme, szUser, szPassword, szHost, un32Port);
}

VQX_RESULT VQ500SipHeaderAdd_From(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                  const char* szUser, const char* szPassword, const char* szHost, u32 un32Port)
{
    return ToFromAdd(pMsg, pSet, 27, szDisplay, szScheme, szUser, szPassword, szHost, un32Port);
}

VQX_RESULT VQ500SipHeaderAdd_ReferTo(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                     const char* szUser, const char* szPassword, const char* szHost, u32 un32Port,
                                     const char* szCallId, const char* szToTag, const char* szFromTag)
{
    if (SchemeKind(szScheme) == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderReferToIe>(pMsg, pSet, 72, 64, nullptr, [&](SipHeaderReferToIe* h) {
        SipAddrspecIe& a = h->stNameAddr.u.alt1.stAddrspec;
        VQX_SIP_TRY(VQ500SipNameAddrFill(pMsg, &h->stNameAddr, szDisplay, szScheme, szUser, szPassword, szHost,
                                         un32Port));
        if (szCallId == nullptr || szToTag == nullptr || szFromTag == nullptr || !VqxSipIsUriKind(a.eAddrspecType)) {
            return VQX_RESULT_OK;
        }
        SipUriHeadersIe& uh = a.u.alt1.stUri.stUriHeaders;
        VQX_SIP_TRY(VQ500SipUriHeadersFill_Header(pMsg, &uh, "Replaces", szCallId));
        VQX_SIP_TRY(VQ500SipUriHeadersAdd_HeaderExt(pMsg, &uh, "to-tag", szToTag));
        return VQ500SipUriHeadersAdd_HeaderExt(pMsg, &uh, "from-tag", szFromTag);
    });
}

VQX_RESULT VQ500SipHeaderAdd_Route(void* pMsg, void* pSet, i32 n32LooseRoute, const char* szScheme,
                                   const char* szHost, u32 un32Port, void** ppOut)
{
    const u32 un32Kind = SchemeKind(szScheme);
    if (un32Kind == 0 || (n32LooseRoute != 0 && un32Kind != 1 && un32Kind != 2)) {
        if (ppOut != nullptr) {
            *ppOut = nullptr;
        }
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderRouteIe>(pMsg, pSet, 76, 43, ppOut, [&](SipHeaderRouteIe* h) {
        VQX_SIP_TRY(
            VQ500SipNameAddrFill(pMsg, &h->stRoute.stNameAddr, nullptr, szScheme, nullptr, nullptr, szHost, un32Port));
        return n32LooseRoute != 0 ? VQ500SipAddrspecAdd_Lr(pMsg, &h->stRoute.stNameAddr.u.alt1.stAddrspec)
                                  : VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_RecordRoute(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                         const char* szUser, const char* szPassword, const char* szHost,
                                         u32 un32Port, const char* szParams)
{
    if (SchemeKind(szScheme) == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderRecordRouteIe>(pMsg, pSet, 76, 38, nullptr, [&](SipHeaderRecordRouteIe* h) {
        VQX_SIP_TRY(VQ500SipNameAddrFill(pMsg, &h->stRoute.stNameAddr, szDisplay, szScheme, szUser, szPassword,
                                         szHost, un32Port));
        return szParams != nullptr ? VQ500SipParameterFillStr(pMsg, &h->stRoute.msParameter, szParams)
                                   : VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_Via(void* pMsg, void* pSet, u32 un32Transport, u32 un32HostType, const char* szHost,
                                 u32 un32Port, void** ppOut)
{
    if (!HostTypeOk(un32HostType)) {
        if (ppOut != nullptr) {
            *ppOut = nullptr;
        }
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderViaIe>(pMsg, pSet, 52, 54, ppOut, [&](SipHeaderViaIe* h) {
        SipSentProtocolIe& sp = h->stViaParam.stSentProtocol;
        sp.stProtocolName.eProtocolNameType = 1;
        VQX_SIP_TRY(Put(pMsg, sp.msText, "2.0"));
        sp.stTransportParam.eTransportType = un32Transport;
        return VQ500SipHostPortFill(pMsg, &h->stViaParam.stHostPort, un32HostType, szHost, un32Port);
    });
}

VQX_RESULT VQ500SipHeaderAdd_Warning(void* pMsg, void* pSet, u16 un16Code, const char* szAgent, const char* szText)
{
    return AddRecord<SipHeaderWarningIe>(pMsg, pSet, 20, 58, nullptr, [&](SipHeaderWarningIe* h) {
        h->stWarningValue.stUint16.fPresent = 1;
        h->stWarningValue.stUint16.un16Value = un16Code;
        VQX_SIP_TRY(Put(pMsg, h->stWarningValue.msTextAt4, szAgent));
        return Put(pMsg, h->stWarningValue.msTextAt8, szText);
    });
}

VQX_RESULT VQ500SipHeaderAdd_Event(void* pMsg, void* pSet, const char* szPackage, const char* szId)
{
    return AddRecord<SipHeaderEventIe>(pMsg, pSet, 12, 60, nullptr, [&](SipHeaderEventIe* h) {
        VQX_SIP_TRY(Put(pMsg, h->msText, szPackage));
        return szId != nullptr ? VQ500SipParamaterAdd_Tok(pMsg, &h->msParameter, "id", szId) : VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_Replaces(void* pMsg, void* pSet, const char* szCallId, const char* szToTag,
                                      const char* szFromTag)
{
    return AddRecord<SipHeaderReplacesIe>(pMsg, pSet, 12, 68, nullptr, [&](SipHeaderReplacesIe* h) {
        VQX_SIP_TRY(Put(pMsg, h->msText, szCallId));
        VQX_SIP_TRY(KindTextAdd(pMsg, &h->msReplacesParam, 1, szToTag, sizeof(SipReplacesParamIe)));
        return KindTextAdd(pMsg, &h->msReplacesParam, 2, szFromTag, sizeof(SipReplacesParamIe));
    });
}

VQX_RESULT VQ500SipHeaderAdd_SubScState(void* pMsg, void* pSet, u32 un32State, u32 un32Expires, u32 un32Reason)
{
    return AddRecord<SipHeaderSubscStateIe>(pMsg, pSet, 16, 81, nullptr, [&](SipHeaderSubscStateIe* h) {
        h->stSubstateValue.eSubstateType = un32State;
        if (un32Expires != 0) {
            VQX_SIP_TRY(AddRecord<SipSubexpParamIe>(pMsg, &h->msSubexpParam, 16, 2, nullptr, [&](SipSubexpParamIe* e) {
                e->u.alt2.stUint32 = {1, un32Expires};
                return VQX_RESULT_OK;
            }));
        }
        if (un32Reason != 0) {
            return AddRecord<SipSubexpParamIe>(pMsg, &h->msSubexpParam, 16, 1, nullptr, [&](SipSubexpParamIe* e) {
                e->u.alt1.stEventReason.eEventReasonType = un32Reason;
                return VQX_RESULT_OK;
            });
        }
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipHeaderAdd_Accept(void* pMsg, void* pSet, const char* szType, const char* szSubType)
{
    return AddRecord<SipHeaderAcceptIe>(pMsg, pSet, 8, 1, nullptr, [&](SipHeaderAcceptIe* h) {
        return AddRecord<SipAcceptRangeIe>(pMsg, &h->msAcceptRange, 20, kNoType, nullptr, [&](SipAcceptRangeIe* e) {
            SipMediaRangeValIe& v = e->stMediaRange.stMediaRangeVal;
            VQX_SIP_TRY(Put(pMsg, v.msTextAt4, szType));
            VQX_SIP_TRY(Put(pMsg, v.msTextAt8, szSubType));
            v.eMediaRangeValType = 3;
            return VQX_RESULT_OK;
        });
    });
}

VQX_RESULT VQ500SipHeaderAdd_Extension(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    std::string text = szName != nullptr ? szName : "";
    text += ':';
    text += szValue != nullptr ? szValue : "";
    if (text.size() > kMaxExtension) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipHeaderExtnIe>(pMsg, pSet, 8, 92, nullptr,
                                      [&](SipHeaderExtnIe* h) { return Put(pMsg, h->msText, text.c_str()); });
}

VQX_RESULT VQ500SipAcceptLanguageAdd(void* pMsg, void* pSet, const char* szLanguage)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    auto* pHeader = static_cast<SipHeaderAcceptLanguageIe*>(VQ500SipHeaderFind(pSet, 3, nullptr, nullptr));
    // A new header and its language go or stay together.
    VqxSipAdd add(pMsg, {pSet, pHeader != nullptr ? &pHeader->msLanguage : nullptr});
    VQX_RESULT r = VQX_RESULT_OK;
    if (pHeader == nullptr) {
        void* p = nullptr;
        r = add.Alloc(8, &p);
        pHeader = static_cast<SipHeaderAcceptLanguageIe*>(p);
        if (VQX_RESULT_SUCCEEDED(r)) {
            pHeader->eHeaderType = 3;
        }
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = AddRecord<SipLanguageIe>(pMsg, &pHeader->msLanguage, 8, kNoType, nullptr,
                                     [&](SipLanguageIe* e) { return Put(pMsg, e->msText, szLanguage); });
    }
    return add.Done(r);
}

VQX_RESULT VQ500SipHeaderAdd_FromTag(void* pMsg, void* pSet, const char* szTag)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    u16 un16Size = 0;
    auto* pFrom = static_cast<SipHeaderFromIe*>(VQ500SipHeaderFind(pSet, 27, nullptr, &un16Size));
    if (pFrom == nullptr || un16Size < sizeof(SipHeaderFromIe)) {
        return VQX_RESULT_NOT_FOUND;
    }
    return VQ500SipAddrParamAdd_strTagVal(pMsg, &pFrom->msAddrParam, szTag);
}

/* ---- Parameter adds ---- */

VQX_RESULT VQ500SipContactParamsAdd_StandardParam_QValue(void* pMsg, void* pSet, u16 un16Int, u16 un16Frac)
{
    return AddRecord<SipContactParamsIe>(pMsg, pSet, 16, 1, nullptr, [&](SipContactParamsIe* e) {
        e->u.alt1.stContactParamStd.eContactParamStdType = 1;
        return VQ500SipQvalueFill(pMsg, &e->u.alt1.stContactParamStd.u.alt1.stQvalue, un16Int, un16Frac);
    });
}

VQX_RESULT VQ500SipContactParamsAdd_StandardParam_Action(void* pMsg, void* pSet, u32 un32Action)
{
    return AddRecord<SipContactParamsIe>(pMsg, pSet, 12, 1, nullptr, [&](SipContactParamsIe* e) {
        e->u.alt1.stContactParamStd.eContactParamStdType = 2;
        e->u.alt1.stContactParamStd.u.alt2.eActionType = un32Action;
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipContactParamsAdd_StandardParam_Expires(void* pMsg, void* pSet, u32 un32Seconds)
{
    return AddRecord<SipContactParamsIe>(pMsg, pSet, 16, 1, nullptr, [&](SipContactParamsIe* e) {
        e->u.alt1.stContactParamStd.eContactParamStdType = 3;
        e->u.alt1.stContactParamStd.u.alt3.stUint32 = {1, un32Seconds};
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipContactParamsAdd_FeatureParam(void* pMsg, void* pSet, u32 un32Feature, const char* szText)
{
    return KindKindTextAdd<SipFeatureParamIe>(pMsg, pSet, 2, un32Feature, un32Feature, szText);
}

VQX_RESULT VQ500SipContactParamsAdd_ContactExtn(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return KindTokenAdd(pMsg, pSet, 3, szName, szValue);
}

VQX_RESULT VQ500SipUriParamAdd_Transport(void* pMsg, void* pSet, u32 un32Transport, const char* szText)
{
    return KindKindTextAdd<SipTransportParamIe>(pMsg, pSet, 1, un32Transport, 5, szText);
}

VQX_RESULT VQ500SipUriParamAdd_UserParam(void* pMsg, void* pSet, u32 un32UserType, const char* szText)
{
    return KindKindTextAdd<SipUserParamIe>(pMsg, pSet, 2, un32UserType, 3, szText);
}

VQX_RESULT VQ500SipUriParamAdd_Method(void* pMsg, void* pSet, u32 un32Method, const char* szText)
{
    return KindKindTextAdd<SipMethodIe>(pMsg, pSet, 3, un32Method, kSipMethodExtn, szText);
}

VQX_RESULT VQ500SipUriParamAdd_Ttl(void* pMsg, void* pSet, u16 un16Ttl)
{
    return AddRecord<SipUriParamIe>(pMsg, pSet, 8, 4, nullptr, [&](SipUriParamIe* e) {
        e->u.alt4.stUint16.fPresent = 1;
        e->u.alt4.stUint16.un16Value = un16Ttl;
        return VQX_RESULT_OK;
    });
}

VQX_RESULT VQ500SipUriParamAdd_MAddr(void* pMsg, void* pSet, u32 un32HostType, const char* szHost)
{
    return KindHostAdd(pMsg, pSet, 5, un32HostType, szHost);
}

VQX_RESULT VQ500SipUriParamAdd_Lr(void* pMsg, void* pSet)
{
    return AddRecord<SipUriParamIe>(pMsg, pSet, 4, 6, nullptr, [](SipUriParamIe*) { return VQX_RESULT_OK; });
}

VQX_RESULT VQ500SipUriParamAdd_TspDomain(void* pMsg, void* pSet, u32 un32HostType, const char* szHost)
{
    return KindHostAdd(pMsg, pSet, 7, un32HostType, szHost);
}

VQX_RESULT VQ500SipUriParamAdd_strPhoneContext(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 8, szText);
}

VQX_RESULT VQ500SipUriParamAdd_strIsdnSubAddr(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 9, szText);
}

VQX_RESULT VQ500SipUriParamAdd_strPostd(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 10, szText);
}

VQX_RESULT VQ500SipUriParamAdd_Comp(void* pMsg, void* pSet, u32 un32Comp, const char* szText)
{
    return KindKindTextAdd<SipCompParamIe>(pMsg, pSet, 11, un32Comp, 2, szText);
}

VQX_RESULT VQ500SipUriParamAdd_OtherParam(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return AddRecord<SipUriParamIe>(pMsg, pSet, 12, 12, nullptr, [&](SipUriParamIe* e) {
        return VQ500SipNamevalFill(pMsg, &e->u.alt12.stNameval, szName, szValue);
    });
}

VQX_RESULT VQ500SipTelParamAdd_strIsdnSubAddr(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 1, szText);
}

VQX_RESULT VQ500SipTelParamAdd_strPostd(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 2, szText);
}

VQX_RESULT VQ500SipTelParamAdd_strphCntxt(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 3, szText);
}

VQX_RESULT VQ500SipTelParamAdd_TspDomain(void* pMsg, void* pSet, u32 un32HostType, const char* szHost)
{
    return KindHostAdd(pMsg, pSet, 4, un32HostType, szHost);
}

VQX_RESULT VQ500SipTelParamAdd_strRn(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 5, szText);
}

VQX_RESULT VQ500SipTelParamAdd_Npdi(void* pMsg, void* pSet)
{
    return AddRecord<SipTelParamIe>(pMsg, pSet, 4, 6, nullptr, [](SipTelParamIe*) { return VQX_RESULT_OK; });
}

VQX_RESULT VQ500SipTelParamAdd_strCic(void* pMsg, void* pSet, const char* szText)
{
    return KindTextAdd(pMsg, pSet, 7, szText);
}

VQX_RESULT VQ500SipTelParamAdd_ExtnParameter(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return KindTokenAdd(pMsg, pSet, 8, szName, szValue);
}

VQX_RESULT VQ500SipAddrParamAdd_strTagVal(void* pMsg, void* pSet, const char* szTag)
{
    return AddRecord<SipAddrParamIe>(pMsg, pSet, 8, kNoType, nullptr,
                                     [&](SipAddrParamIe* e) { return VQ500SipAddrParamFill_strTagVal(pMsg, e, szTag); });
}

VQX_RESULT VQ500SipAddrParamAdd_GenericParam(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return AddRecord<SipAddrParamIe>(pMsg, pSet, 16, kNoType, nullptr, [&](SipAddrParamIe* e) {
        return VQ500SipAddrParamFill_GenericParam(pMsg, e, szName, szValue);
    });
}

VQX_RESULT VQ500SipParamaterAdd_Tok(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return AddRecord<SipParameterIe>(pMsg, pSet, 12, kNoType, nullptr, [&](SipParameterIe* e) {
        return VQ500SipParameterFill_Tok(pMsg, e, szName, szValue);
    });
}

VQX_RESULT VQ500SipParamaterAdd_QStr(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return AddRecord<SipParameterIe>(pMsg, pSet, 12, kNoType, nullptr, [&](SipParameterIe* e) {
        return VQ500SipParameterFill_QStr(pMsg, e, szName, szValue);
    });
}

VQX_RESULT VQ500SipMethodAdd(void* pMsg, void* pSet, u32 un32Method, const char* szText)
{
    return AddRecord<SipMethodIe>(pMsg, pSet, 8, kNoType, nullptr,
                                  [&](SipMethodIe* e) { return VQ500SipMethodFill(pMsg, e, un32Method, szText); });
}

VQX_RESULT VQ500SipNamevalMsgsetAdd(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return AddRecord<SipNamevalIe>(pMsg, pSet, 8, kNoType, nullptr,
                                   [&](SipNamevalIe* e) { return VQ500SipNamevalFill(pMsg, e, szName, szValue); });
}

VQX_RESULT VQ500SipUriHeadersAdd_Header(void* pMsg, void* pSet, const char* szName, const char* szValue)
{
    return AddRecord<SipUriHeadersIe>(pMsg, pSet, 12, kNoType, nullptr, [&](SipUriHeadersIe* e) {
        return VQ500SipUriHeadersFill_Header(pMsg, e, szName, szValue);
    });
}

VQX_RESULT VQ500SipContactParamAdd(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                   const char* szUser, const char* szPassword, const char* szHost, u32 un32Port,
                                   void** ppOut)
{
    if (SchemeKind(szScheme) == 0) {
        if (ppOut != nullptr) {
            *ppOut = nullptr;
        }
        return VQX_RESULT_INVALID_PARAM;
    }
    return AddRecord<SipContactParamIe>(pMsg, pSet, 68, kNoType, ppOut, [&](SipContactParamIe* e) {
        return VQ500SipContactParamFill(pMsg, e, szDisplay, szScheme, szUser, szPassword, szHost, un32Port);
    });
}

VQX_RESULT VQ500SipParameterFillStr(void* pMsg, void* pSet, const char* szText)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (szText == nullptr) {
        return VQX_RESULT_OK;
    }
    VqxSipAdd add(pMsg, pSet);
    return add.Done(VqxSipSplitPairs(szText, [&](const char* szName, const char* szValue) {
        return VQ500SipParamaterAdd_Tok(pMsg, pSet, szName, szValue);
    }));
}

/* ---- On an existing address spec ---- */

VQX_RESULT VQ500SipAddrspecAdd_Lr(void* pMsg, SipAddrspecIe* p)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (p->eAddrspecType != 1 && p->eAddrspecType != 2) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return VQ500SipUriParamAdd_Lr(pMsg, &p->u.alt1.stUri.msUriParam);
}

VQX_RESULT VQ500SipAddrspecAdd_Transport(void* pMsg, SipAddrspecIe* p, u32 un32Transport, const char* szText)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (p->eAddrspecType != 1 && p->eAddrspecType != 2) {
        return VQX_RESULT_INVALID_PARAM;
    }
    return VQ500SipUriParamAdd_Transport(pMsg, &p->u.alt1.stUri.msUriParam, un32Transport, szText);
}

VQX_RESULT VQ500SipAddrSpecAdd_OtherParam(void* pMsg, SipAddrspecIe* p, const char* szName, const char* szValue)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    if (VqxSipIsUriKind(p->eAddrspecType)) {
        return VQ500SipUriParamAdd_OtherParam(pMsg, &p->u.alt1.stUri.msUriParam, szName, szValue);
    }
    if (p->eAddrspecType == 3) {
        // tel parameters have no "other" kind: an extension parameter carries it.
        return VQ500SipTelParamAdd_ExtnParameter(pMsg, &p->u.alt3.stTelUri.msTelParam, szName, szValue);
    }
    return VQX_RESULT_FAIL;
}

VQX_RESULT VQ500SipUriHeadersAdd_HeaderExt(void* pMsg, SipUriHeadersIe* p, const char* szName, const char* szValue)
{
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    return VQ500SipNamevalMsgsetAdd(pMsg, &p->msNameval, szName, szValue);
}
