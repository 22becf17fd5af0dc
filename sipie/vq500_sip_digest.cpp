/*
 * vq500_sip_digest.cpp - digest credentials (model in vq500_sip_digest.h).
 * The only state of the library: the nonce counter (atomic, shared by every
 * thread) and the test hook of the random source.
 */
#include "vq500_sip_digest.h"

#include "vq500_ie_names.h"
#include "vq500_sip_compose.h"
#include "vq500_sip_find.h"
#include "vq500_sip_ops_internal.h"
#include "vq500_sip_text.h"

#include <md5.h>
#include <sys/random.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

std::atomic<u32> s_nNounceCount{1};
std::atomic<PFN_VQX_SIP_RANDOM> s_pfnRandom{nullptr};

void Random(u8* pby, size_t n)
{
    if (PFN_VQX_SIP_RANDOM pfn = s_pfnRandom.load()) {
        pfn(pby, n);
        return;
    }
    size_t nDone = 0;
    for (int nTries = 0; nDone < n && nTries < 16; ++nTries) {
        const ssize_t got = getrandom(pby + nDone, n - nDone, 0);
        if (got > 0) {
            nDone += static_cast<size_t>(got);
        }
    }
}

class Md5 {
public:
    Md5() { MD5Init(&m_ctx); }
    Md5& operator<<(std::string_view s)
    {
        MD5Update(&m_ctx, reinterpret_cast<const uint8_t*>(s.data()), s.size());
        return *this;
    }
    void Hex(HASHHEX out)
    {
        u8 aby[MD5_DIGEST_LENGTH];
        MD5Final(aby, &m_ctx);
        CvtHex(aby, out);
    }

private:
    MD5_CTX m_ctx;
};

std::string_view Text(const char* sz)
{
    return sz != nullptr ? std::string_view(sz) : std::string_view();
}

/* Value of the challenge parameter called szName (case-blind); data null
 * when absent. */
std::string_view ChallengeParam(const SipAuthSchemeIe* pChallenge, const char* szName)
{
    const u16 un16Count = VQXMsgElementCount(&pChallenge->msParameter);
    for (u16 i = 0; i < un16Count; ++i) {
        u16 un16Size = 0;
        const auto* p = static_cast<const SipParameterIe*>(VQXMsgElementGet(&pChallenge->msParameter, i, &un16Size));
        const char* szParam = p != nullptr && un16Size >= sizeof(SipParameterIe) ? VQ500SipStringGet(&p->msText)
                                                                                 : nullptr;
        if (szParam != nullptr && VqxSipIEq(szParam, szName)) {
            return VqxSipValueView(&p->stValue);
        }
    }
    return {};
}

/* Does the comma-separated list hold "auth" (spaces trimmed)? */
bool OffersAuth(std::string_view list)
{
    while (!list.empty()) {
        const size_t n = list.find(',');
        std::string_view opt = list.substr(0, n);
        while (!opt.empty() && (opt.front() == ' ' || opt.front() == '\t')) {
            opt.remove_prefix(1);
        }
        while (!opt.empty() && (opt.back() == ' ' || opt.back() == '\t')) {
            opt.remove_suffix(1);
        }
        if (VqxSipIEq(opt, "auth")) {
            return true;
        }
        list = n == std::string_view::npos ? std::string_view() : list.substr(n + 1);
    }
    return false;
}

VQX_RESULT AddAuth(void* pMsg, void* pSet, u32 un32Type, const SipAuthSchemeIe* pChallenge,
                   const SipRequestLineIe* pRequestLine, const char* szUser, const char* szPassword)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    VqxSipAdd add(pMsg, pSet);
    void* p = nullptr;
    VQX_RESULT r = add.Alloc(sizeof(SipHeaderAuthorizationIe), &p);
    auto* pHeader = static_cast<SipHeaderAuthorizationIe*>(p);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VQ500SipHeaderFill_Auth(pMsg, pChallenge, &pHeader->stAuthScheme, pRequestLine, szUser, szPassword);
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        pHeader->eHeaderType = un32Type;
    }
    return add.Done(r);
}

} // namespace

void CvtHex(const u8 abyBin[16], HASHHEX out)
{
    VqxSipHex(abyBin, 16, out);
}

void DigestCalcHA1(const char* szAlg, const char* szUser, const char* szRealm, const char* szPassword,
                   const char* szNonce, const char* szCNonce, HASHHEX out)
{
    Md5 h;
    h << Text(szUser) << ":" << Text(szRealm) << ":" << Text(szPassword);
    h.Hex(out);
    if (VqxSipIEq(Text(szAlg), "md5-sess")) {
        // RFC 7616 3.4.2: the session key hashes the hex text of H(A1).
        Md5 s;
        s << std::string_view(out, 32) << ":" << Text(szNonce) << ":" << Text(szCNonce);
        s.Hex(out);
    }
}

void DigestCalcResponse(const HASHHEX ha1, const char* szNonce, const char* szNc, const char* szCNonce,
                        const char* szQop, const char* szMethod, const char* szUri, const HASHHEX hEntity,
                        HASHHEX out)
{
    HASHHEX ha2;
    Md5 a2;
    a2 << Text(szMethod) << ":" << Text(szUri);
    if (VqxSipIEq(Text(szQop), "auth-int")) {
        a2 << ":" << std::string_view(hEntity != nullptr ? hEntity : "", hEntity != nullptr ? 32 : 0);
    }
    a2.Hex(ha2);
    Md5 r;
    r << std::string_view(ha1, 32) << ":" << Text(szNonce) << ":";
    if (!Text(szQop).empty()) {
        r << Text(szNc) << ":" << Text(szCNonce) << ":" << Text(szQop) << ":";
    }
    r << std::string_view(ha2, 32);
    r.Hex(out);
}

VQX_RESULT VQ500SipHeaderFill_Auth(void* pMsg, const SipAuthSchemeIe* pChallenge, SipAuthSchemeIe* pCredentials,
                                   const SipRequestLineIe* pRequestLine, const char* szUser, const char* szPassword)
{
    if (pMsg == nullptr || pChallenge == nullptr || pCredentials == nullptr || pRequestLine == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const char* szScheme = VQ500SipStringGet(&pChallenge->msText);
    const std::string_view realm = ChallengeParam(pChallenge, "realm");
    const std::string_view nonce = ChallengeParam(pChallenge, "nonce");
    const std::string_view alg = ChallengeParam(pChallenge, "algorithm");
    const std::string_view qopList = ChallengeParam(pChallenge, "qop");
    const std::string_view opaque = ChallengeParam(pChallenge, "opaque");
    if (szScheme == nullptr || realm.data() == nullptr || nonce.data() == nullptr) {
        return VQX_RESULT_MISMATCH;
    }
    if (alg.data() != nullptr && !VqxSipIEq(alg, "MD5") && !VqxSipIEq(alg, "MD5-sess")) {
        return VQX_RESULT_NOT_SUPPORTED;
    }
    const bool fQop = qopList.data() != nullptr;
    if (fQop && !OffersAuth(qopList)) {
        return VQX_RESULT_NOT_SUPPORTED;
    }
    std::string uri;
    VQX_RESULT r = VqxSipAddrspecText(&pRequestLine->stAddrspec, uri);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    const u32 un32Method = pRequestLine->stMethod.eMethodType;
    const char* szMethod = un32Method == kSipMethodExtn ? VQ500SipStringGet(&pRequestLine->stMethod.msText)
                                                        : VQ500_SIP_METHOD_TYPE_STRING(static_cast<i32>(un32Method));
    char szNc[9] = "";
    char szCNonce[17] = "";
    if (fQop) {
        std::snprintf(szNc, sizeof szNc, "%08x", s_nNounceCount.fetch_add(1));
        u8 aby[8] = {};
        Random(aby, sizeof aby);
        VqxSipHex(aby, sizeof aby, szCNonce);
    }
    const std::string sRealm(realm), sNonce(nonce), sAlg(alg.data() ? alg : ""), sOpaque(opaque.data() ? opaque : "");
    HASHHEX ha1, response;
    DigestCalcHA1(sAlg.c_str(), szUser, sRealm.c_str(), szPassword, sNonce.c_str(), szCNonce, ha1);
    DigestCalcResponse(ha1, sNonce.c_str(), szNc, szCNonce, fQop ? "auth" : "", szMethod, uri.c_str(), nullptr,
                       response);

    struct Param {
        const char* szName;
        bool fQuoted;
        const char* szValue;
        bool fWritten;
    };
    const Param aParams[] = {
        {"username", true, szUser, szUser != nullptr},
        {"algorithm", false, sAlg.c_str(), alg.data() != nullptr},
        {"realm", true, sRealm.c_str(), true},
        {"nonce", true, sNonce.c_str(), true},
        {"cnonce", true, szCNonce, fQop},
        {"nc", false, szNc, fQop},
        {"qop", false, "auth", fQop},
        {"uri", true, uri.c_str(), true},
        {"response", true, response, true},
        {"opaque", true, sOpaque.c_str(), opaque.data() != nullptr},
    };
    VqxSipAdd add(pMsg, {&pCredentials->msText, &pCredentials->msParameter});
    r = VQ500SipStringAdd(pMsg, &pCredentials->msText, szScheme);
    for (const Param& p : aParams) {
        if (VQX_RESULT_SUCCEEDED(r) && p.fWritten) {
            r = (p.fQuoted ? VQ500SipParamaterAdd_QStr : VQ500SipParamaterAdd_Tok)(pMsg, &pCredentials->msParameter,
                                                                                    p.szName, p.szValue);
        }
    }
    return add.Done(r);
}

VQX_RESULT VQ500SipHeaderAdd_Authorization(void* pMsg, void* pSet, const SipAuthSchemeIe* pChallenge,
                                           const SipRequestLineIe* pRequestLine, const char* szUser,
                                           const char* szPassword)
{
    return AddAuth(pMsg, pSet, 6, pChallenge, pRequestLine, szUser, szPassword);
}

VQX_RESULT VQ500SipHeaderAdd_ProxyAuthorization(void* pMsg, void* pSet, const SipAuthSchemeIe* pChallenge,
                                                const SipRequestLineIe* pRequestLine, const char* szUser,
                                                const char* szPassword)
{
    return AddAuth(pMsg, pSet, 36, pChallenge, pRequestLine, szUser, szPassword);
}

void VqxSipDigestSetRandom(PFN_VQX_SIP_RANDOM pfn)
{
    s_pfnRandom.store(pfn);
}

void VqxSipDigestSetNonceCount(u32 un32Next)
{
    s_nNounceCount.store(un32Next);
}
