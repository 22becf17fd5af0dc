/*
 * vq500_sip_rpi.cpp - Remote-Party-ID composition (model in vq500_sip_rpi.h).
 * Token values are table rows; the text of an unlisted value goes into the
 * record's extension text.
 */
#include "vq500_sip_rpi.h"

#include "vq500_sip_compose.h"
#include "vq500_sip_ops_internal.h"

#include <cstring>
#include <vector>

namespace {

struct ValueRow {
    const char* szText;
    u32 un32Value;
};

struct TokenKind {
    u32 un32Type;
    const char* szName;            /* parameter name */
    std::vector<ValueRow> values;  /* listed values */
    u32 un32Extn;                  /* value of any other text; 0: refused */
};

const TokenKind s_aKinds[] = {
    {1, "screen", {{"yes", 1}, {"no", 2}}, 0},
    {2, "party", {{"calling", 1}, {"called", 2}}, 3},
    {3, "id-type", {{"subscriber", 1}, {"user", 2}, {"term", 3}}, 4},
    {4, "privacy", {{"full", 1}, {"name", 2}, {"uri", 3}, {"off", 4}}, 5},
};

const TokenKind* KindByType(u32 un32Type)
{
    for (const TokenKind& k : s_aKinds) {
        if (k.un32Type == un32Type) {
            return &k;
        }
    }
    return nullptr;
}

const TokenKind* KindByName(const char* szName)
{
    for (const TokenKind& k : s_aKinds) {
        if (std::strcmp(k.szName, szName) == 0) {
            return &k;
        }
    }
    return nullptr;
}

/* Value of a text: listed, the extension value (0 when refused). */
u32 ValueOf(const TokenKind& k, const char* szText)
{
    for (const ValueRow& row : k.values) {
        if (szText != nullptr && std::strcmp(row.szText, szText) == 0) {
            return row.un32Value;
        }
    }
    return k.un32Extn;
}

VQX_RESULT Check(u32 un32Type, const char* szText)
{
    const TokenKind* k = KindByType(un32Type);
    if (k == nullptr) {
        return VQX_RESULT_NOT_IMPLEMENTED;
    }
    return ValueOf(*k, szText) == 0 ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK;
}

} // namespace

VQX_RESULT VQ500SipRpiTokenFill(void* pMsg, SipRpiTokenIe* pToken, u32 un32TokenType, const char* szText)
{
    if (pMsg == nullptr || pToken == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_RESULT r = Check(un32TokenType, szText);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    const TokenKind& k = *KindByType(un32TokenType);
    const u32 un32Value = ValueOf(k, szText);
    const bool fExtn = un32Value == k.un32Extn;
    if (un32TokenType == 1) {
        pToken->u.alt1.eEnum = un32Value;
    } else if (un32TokenType == 4) {
        // The privacy value lives in its own element of the token's set.
        VqxSipAdd add(pMsg, &pToken->u.alt4.msRpiPrivacyVal);
        void* p = nullptr;
        r = add.Alloc(sizeof(SipRpiPrivacyValIe), &p);
        auto* pPriv = static_cast<SipRpiPrivacyValIe*>(p);
        if (VQX_RESULT_SUCCEEDED(r) && fExtn) {
            r = VQ500SipStringAdd(pMsg, &pPriv->stRpiPrivElem.msText, szText);
        }
        if (VQX_RESULT_SUCCEEDED(r)) {
            pPriv->stRpiPrivElem.eEnum = un32Value;
        }
        r = add.Done(r);
    } else {
        // Party and id-type share one layout: value word, extension text.
        SipRpiIdValueIe& v = pToken->u.alt3.stRpiIdValue;
        if (fExtn) {
            VqxSipAdd add(pMsg, &v.msText);
            r = add.Done(VQ500SipStringAdd(pMsg, &v.msText, szText));
        }
        if (VQX_RESULT_SUCCEEDED(r)) {
            v.eEnum = un32Value;
        }
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        pToken->eEnum = un32TokenType;
    }
    return r;
}

VQX_RESULT VQ500SipRpiTokenAdd(void* pMsg, void* pTokenSet, u32 un32TokenType, const char* szText,
                               SipRpiTokenIe** ppOut)
{
    if (ppOut != nullptr) {
        *ppOut = nullptr;
    }
    if (pMsg == nullptr || pTokenSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VQX_RESULT r = Check(un32TokenType, szText);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    VqxSipAdd add(pMsg, pTokenSet);
    void* p = nullptr;
    r = add.Alloc(sizeof(SipRpiTokenIe), &p);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VQ500SipRpiTokenFill(pMsg, static_cast<SipRpiTokenIe*>(p), un32TokenType, szText);
    }
    r = add.Done(r);
    if (VQX_RESULT_SUCCEEDED(r) && ppOut != nullptr) {
        *ppOut = static_cast<SipRpiTokenIe*>(p);
    }
    return r;
}

VQX_RESULT VQ500SipHeaderAdd_RemotePartyId(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                           const char* szUser, const char* szPassword, const char* szHost,
                                           u32 un32Port, const char* szParameters)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    // Every pair is checked before the header is allocated.
    if (szParameters != nullptr) {
        VQX_RESULT r = VqxSipSplitPairs(szParameters, [](const char* szName, const char* szValue) {
            const TokenKind* k = KindByName(szName);
            return k == nullptr ? VQX_RESULT_NOT_IMPLEMENTED : Check(k->un32Type, szValue);
        });
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    VqxSipAdd add(pMsg, pSet);
    void* p = nullptr;
    VQX_RESULT r = add.Alloc(sizeof(SipHeaderRemPartyIe), &p);
    auto* pHeader = static_cast<SipHeaderRemPartyIe*>(p);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VQ500SipNameAddrFill(pMsg, &pHeader->stRpid.stNameAddr, szDisplay, szScheme, szUser, szPassword, szHost,
                                 un32Port);
    }
    if (VQX_RESULT_SUCCEEDED(r) && szParameters != nullptr) {
        r = VqxSipSplitPairs(szParameters, [&](const char* szName, const char* szValue) {
            return VQ500SipRpiTokenAdd(pMsg, &pHeader->stRpid.msRpiToken, KindByName(szName)->un32Type, szValue,
                                       nullptr);
        });
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        pHeader->eHeaderType = 80;
    }
    return add.Done(r);
}
