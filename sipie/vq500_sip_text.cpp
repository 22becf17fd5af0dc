/*
 * vq500_sip_text.cpp - URI, Content-Type, Diversion, User-to-User and status
 * texts (rules in vq500_sip_text.h). Splits write NULs into the caller's
 * text and return pointers into it; compositions build the whole text and
 * cut it once to the caller's size. Name tables are data with one lookup.
 */
#include "vq500_sip_text.h"

#include "vq500_ie_names.h"
#include "vq500_sip_compose.h"
#include "vq500_sip_find.h"
#include "vq500_sip_ops_internal.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

/* Index + 1 of the first name equal to text (case-blind), 0 when none;
 * fShortened: text may also be the start of the name ("app" for
 * "application"). */
template <size_t N>
u32 Lookup(const char* const (&names)[N], std::string_view text, bool fShortened = false)
{
    for (size_t i = 0; i < N; ++i) {
        const std::string_view name(names[i]);
        if (VqxSipIEq(fShortened ? name.substr(0, text.size()) : name, text)) {
            return static_cast<u32>(i + 1);
        }
    }
    return 0;
}

const char* const s_aszSchemes[] = {"sip", "sips", "mailto", "im", "tel"};
const char* const s_aszMediaTypes[] = {"text", "image", "audio", "video", "application", "message", "multipart"};
const char* const s_aszMediaSubTypes[] = {"mixed", "sdp", "isup", "qsig", "sipfrag", "sms"};
constexpr u32 kMediaTypeExtn = 8;
constexpr u32 kMediaSubTypeExtn = 7;

/* 1-65535 from decimal digits only; 0 otherwise. */
u32 ReadPort(const char* sz)
{
    u32 un32 = 0;
    if (*sz == '\0') {
        return 0;
    }
    for (; *sz != '\0'; ++sz) {
        if (!std::isdigit(static_cast<unsigned char>(*sz))) {
            return 0;
        }
        un32 = un32 * 10 + static_cast<u32>(*sz - '0');
        if (un32 > 65535) {
            return 0;
        }
    }
    return un32;
}

/* First ':' outside "[...]" in [p, end). */
char* ColonOutsideBrackets(char* p, const char* pEnd)
{
    bool fIn = false;
    for (; p < pEnd && *p != '\0'; ++p) {
        if (*p == '[') {
            fIn = true;
        } else if (*p == ']') {
            fIn = false;
        } else if (*p == ':' && !fIn) {
            return p;
        }
    }
    return nullptr;
}

void Cut(const std::string& text, u32 un32Size, char* szOut)
{
    if (szOut == nullptr || un32Size == 0) {
        return;
    }
    const size_t n = text.size() < un32Size - 1 ? text.size() : un32Size - 1;
    std::memcpy(szOut, text.data(), n);
    szOut[n] = '\0';
}

bool NonEmpty(const char* sz)
{
    return sz != nullptr && sz[0] != '\0';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && s.front() == ' ') {
        s.remove_prefix(1);
    }
    while (!s.empty() && s.back() == ' ') {
        s.remove_suffix(1);
    }
    return s;
}

/* Line split shared by Diversion and User-to-User: the whole name
 * (case-blind), then ':' with spaces around it; *ppRest gets what follows. */
bool StartsWithName(char* szText, const char* szName, char** ppRest)
{
    const size_t n = std::strlen(szName);
    if (strnlen(szText, n) < n || !VqxSipIEq(std::string_view(szText, n), szName)) {
        return false;
    }
    char* p = szText + n;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p != ':') {
        return false;
    }
    ++p;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    *ppRest = p;
    return true;
}

/* Parameters after the first part: split once at ';', names matched at
 * their starts (case-blind) against "name=" texts. */
template <size_t N>
void SplitParams(char* p, const char* const (&names)[N], char** (&outs)[N])
{
    while (p != nullptr && *p != '\0') {
        char* pNext = std::strchr(p, ';');
        if (pNext != nullptr) {
            *pNext++ = '\0';
        }
        while (*p == ' ') {
            ++p;
        }
        for (size_t i = 0; i < N; ++i) {
            const size_t n = std::strlen(names[i]);
            if (VqxSipIEq(std::string_view(p, strnlen(p, n)), names[i]) && outs[i] != nullptr && p[n] != '\0') {
                *outs[i] = p + n;
            }
        }
        p = pNext;
    }
}

} // namespace

void VQ500SipAddrspecStrParseString(char* szText, char** pszScheme, char** pszUser, char** pszPassword,
                                    char** pszHost, char** pszParams, u32* pun32Port)
{
    *pszScheme = *pszUser = *pszPassword = *pszHost = *pszParams = nullptr;
    *pun32Port = 0;
    if (szText == nullptr) {
        return;
    }
    char* pEnd = szText + std::strlen(szText);
    // '@' appears unescaped only after the user info (RFC 3261 25.1), while
    // the user may hold '?' and ';'.
    char* pAt = std::strchr(szText, '@');
    char* pSep = pAt != nullptr ? pAt : ColonOutsideBrackets(szText, pEnd);
    if (pSep == nullptr) {
        return;
    }
    // The ':' that may end a scheme or a user lies before the separator.
    char* pColon = static_cast<char*>(std::memchr(szText, ':', static_cast<size_t>(pSep - szText) + 1));
    if (pAt == nullptr && Lookup(s_aszSchemes, std::string_view(szText, static_cast<size_t>(pSep - szText))) == 0) {
        pSep = nullptr;  // host[:port] without scheme or user
        pColon = nullptr;
    }
    char* pHost = pSep != nullptr ? pSep + 1 : szText;
    // URI parameters come before the headers: the headers stay in the
    // parameter text behind them. Without parameters, '?' ends the host
    // part and the headers are dropped (a ';' behind it is theirs).
    char* pSemi = std::strchr(pHost, ';');
    char* pQuery = std::strchr(pHost, '?');
    if (pQuery != nullptr && (pSemi == nullptr || pQuery < pSemi)) {
        *pQuery = '\0';
    } else if (pSemi != nullptr) {
        *pSemi = '\0';
        *pszParams = pSemi + 1;
    }
    char* pPortColon = nullptr;
    if (pHost[0] == '[') {
        char* pClose = std::strchr(pHost, ']');
        pPortColon = pClose != nullptr && pClose[1] == ':' ? pClose + 1 : nullptr;
    } else {
        pPortColon = std::strchr(pHost, ':');
    }
    if (pPortColon != nullptr) {
        *pPortColon = '\0';
        *pun32Port = ReadPort(pPortColon + 1);
    }
    *pszHost = pHost;
    if (pSep == nullptr) {
        return;
    }
    if (pColon == nullptr) {
        *pSep = '\0';
        *pszUser = szText;
        return;
    }
    *pColon = '\0';
    if (Lookup(s_aszSchemes, szText) == 0) {
        *pszUser = szText;
        *pszPassword = pColon + 1;
        *pSep = '\0';
        return;
    }
    *pszScheme = szText;
    if (pAt != nullptr) {
        *pAt = '\0';
        *pszUser = pColon + 1;
        if (char* pPw = std::strchr(*pszUser, ':')) {
            *pPw = '\0';
            *pszPassword = pPw + 1;
        }
    } else if (VqxSipIEq(szText, "tel")) {
        *pszUser = pHost;
        *pszHost = nullptr;
    }
}

namespace {
std::string ComposeUri(const char* szScheme, const char* szUser, const char* szPassword, const char* szHost,
                       const char* szParams, u32 un32Port)
{
    std::string s;
    if (NonEmpty(szScheme)) {
        s.append(szScheme).append(":");
    }
    if (NonEmpty(szUser)) {
        s.append(szUser);
    }
    if (NonEmpty(szPassword)) {
        s.append(":").append(szPassword);
    }
    if (NonEmpty(szHost)) {
        if (NonEmpty(szUser) || NonEmpty(szPassword)) {
            s.append("@");
        }
        const bool fBracket = std::strchr(szHost, ':') != nullptr && szHost[0] != '[';
        s.append(fBracket ? "[" : "").append(szHost).append(fBracket ? "]" : "");
        if (un32Port >= 1 && un32Port <= 65535) {
            s.append(":").append(std::to_string(un32Port));
        }
    }
    if (NonEmpty(szParams)) {
        s.append(";").append(szParams);
    }
    return s;
}
} // namespace

void VQ500SipAddrspecStrCreateString(const char* szScheme, const char* szUser, const char* szPassword,
                                     const char* szHost, const char* szParams, u32 un32Port, u16 un16Size,
                                     char* szOut)
{
    Cut(ComposeUri(szScheme, szUser, szPassword, szHost, szParams, un32Port), un16Size, szOut);
}

VQX_RESULT VqxSipAddrspecText(const SipAddrspecIe* p, std::string& text)
{
    text.clear();
    if (p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const char* szScheme = nullptr;
    const char* szUser = nullptr;
    const char* szPassword = nullptr;
    const char* szHost = nullptr;
    std::string number;
    u32 un32Port = 0;
    const u32 un32Kind = p->eAddrspecType;
    if (VqxSipIsUriKind(un32Kind)) {
        static const char* const s_aszUriSchemes[] = {"", "sip", "sips", "", "im"};
        const SipUriIe& uri = p->u.alt1.stUri;
        szScheme = s_aszUriSchemes[un32Kind];
        if (uri.stUserInfo.fValue != 0) {
            szUser = VQ500SipStringGet(&uri.stUserInfo.msTextAt8);
            szPassword = VQ500SipStringGet(&uri.stUserInfo.msTextAt12);
        }
        const u32 un32HostType = uri.stHostPort.stHost.eHostType;
        if (un32HostType >= 1 && un32HostType <= 3) {
            szHost = VQ500SipStringGet(&uri.stHostPort.stHost.u.alt1.msText);
        }
        un32Port = uri.stHostPort.stUint32.fPresent != 0 ? uri.stHostPort.stUint32.un32Value : 0;
    } else if (un32Kind == 3) {
        const char* szNumber = VQ500SipStringGet(&p->u.alt3.stTelUri.msText);
        if (NonEmpty(szNumber)) {
            if (p->u.alt3.stTelUri.eTelNumType == 2) {
                number.push_back('+');
            }
            number.append(szNumber);
            szHost = number.c_str();
        }
        szScheme = "tel";
    } else if (un32Kind == 5) {
        szScheme = VQ500SipStringGet(&p->u.alt5.stAbsoluteUri.msTextAt0);
        szHost = VQ500SipStringGet(&p->u.alt5.stAbsoluteUri.msTextAt4);
    }
    if (!NonEmpty(szHost)) {
        return VQX_RESULT_INVALID_PARAM;
    }
    if (un32Kind == 3 || un32Kind == 5) {
        // A number or the rest of an absolute URI is no host: neither
        // brackets nor '@' apply.
        text.assign(NonEmpty(szScheme) ? szScheme : "").append(NonEmpty(szScheme) ? ":" : "").append(szHost);
        return VQX_RESULT_OK;
    }
    text = ComposeUri(szScheme, szUser, szPassword, szHost, nullptr, un32Port);
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipAddrspecCreateString(const SipAddrspecIe* pAddrspec, u16 un16Size, char* szOut)
{
    if (szOut == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    std::string text;
    const VQX_RESULT r = VqxSipAddrspecText(pAddrspec, text);
    Cut(VQX_RESULT_SUCCEEDED(r) ? text : std::string(), un16Size, szOut);
    return r;
}

VQX_RESULT VQ500SipAddrspecCreateUserAddr(const SipAddrspecIe* p, VQ500_SIP_USER_ADDR* pOut)
{
    if (p == nullptr || pOut == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    std::memset(pOut, 0, sizeof *pOut);
    auto copy = [](char* szField, size_t nWidth, const char* sz) {
        if (sz != nullptr) {
            Cut(sz, static_cast<u32>(nWidth), szField);
        }
    };
    const u32 un32Kind = p->eAddrspecType;
    if (un32Kind == 1 || un32Kind == 2) {
        const SipUriIe& uri = p->u.alt1.stUri;
        copy(pOut->szScheme, sizeof pOut->szScheme, un32Kind == 1 ? "sip" : "sips");
        copy(pOut->szUser, sizeof pOut->szUser, VQ500SipStringGet(&uri.stUserInfo.msTextAt8));
        copy(pOut->szPassword, sizeof pOut->szPassword, VQ500SipStringGet(&uri.stUserInfo.msTextAt12));
        copy(pOut->szHost, sizeof pOut->szHost, VQ500SipStringGet(&uri.stHostPort.stHost.u.alt1.msText));
        pOut->un32Port = uri.stHostPort.stUint32.un32Value;
        return VQX_RESULT_OK;
    }
    if (un32Kind == 3) {
        copy(pOut->szScheme, sizeof pOut->szScheme, "tel");
        copy(pOut->szUser, sizeof pOut->szUser, VQ500SipStringGet(&p->u.alt3.stTelUri.msText));
        return VQX_RESULT_OK;
    }
    return VQX_RESULT_INVALID_OPERATION;
}

namespace {
struct ContentTypeParts {
    u32 un32Type = 0;
    u32 un32SubType = 0;
    std::string type, subType;
    const char* szParams = nullptr;
};

VQX_RESULT ParseContentType(const char* szText, ContentTypeParts& parts)
{
    if (szText == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const std::string_view all(szText);
    const size_t nSlash = all.find('/');
    if (nSlash == std::string_view::npos) {
        return VQX_RESULT_INVALID_PARAM;
    }
    const size_t nSemi = all.find(';', nSlash);
    const std::string_view type = Trim(all.substr(0, nSlash));
    const std::string_view sub = Trim(all.substr(nSlash + 1, nSemi == std::string_view::npos ? std::string_view::npos
                                                                                              : nSemi - nSlash - 1));
    if (type.empty() || sub.empty() || type.find_first_of(" \t") != std::string_view::npos ||
        sub.find_first_of(" \t") != std::string_view::npos) {
        return VQX_RESULT_INVALID_PARAM;
    }
    // A media type may be given shortened; a subtype is named whole, since
    // registered ones start listed names (message/sip is not sipfrag).
    parts.un32Type = Lookup(s_aszMediaTypes, type, true);
    parts.un32SubType = Lookup(s_aszMediaSubTypes, sub);
    if (parts.un32Type == 0) {
        parts.un32Type = kMediaTypeExtn;
        parts.type = type;
    }
    if (parts.un32SubType == 0) {
        parts.un32SubType = kMediaSubTypeExtn;
        parts.subType = sub;
    }
    parts.szParams = nSemi == std::string_view::npos ? nullptr : szText + nSemi + 1;
    return VQX_RESULT_OK;
}

VQX_RESULT FillContentType(void* pMsg, SipHeaderContenttypeIe* p, const ContentTypeParts& parts)
{
    if (!parts.type.empty()) {
        VQX_RESULT r = VQ500SipStringAdd(pMsg, &p->stMediatype.msText, parts.type.c_str());
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    if (!parts.subType.empty()) {
        VQX_RESULT r = VQ500SipStringAdd(pMsg, &p->stMediasubtype.msText, parts.subType.c_str());
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    if (parts.szParams != nullptr) {
        VQX_RESULT r = VQ500SipParameterFillStr(pMsg, &p->msParameter, parts.szParams);
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    p->stMediatype.eMediaType = parts.un32Type;
    p->stMediasubtype.eMediaSubType = parts.un32SubType;
    return VQX_RESULT_OK;
}
} // namespace

VQX_RESULT VQ500SipHeaderFillStr_ContentType(void* pMsg, SipHeaderContenttypeIe* p, const char* szText)
{
    if (pMsg == nullptr || p == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    ContentTypeParts parts;
    VQX_RESULT r = ParseContentType(szText, parts);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    VqxSipAdd add(pMsg, {&p->stMediatype.msText, &p->stMediasubtype.msText, &p->msParameter});
    return add.Done(FillContentType(pMsg, p, parts));
}

VQX_RESULT VQ500SipHeaderAddStr_ContentType(void* pMsg, void* pSet, const char* szText)
{
    if (pMsg == nullptr || pSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    ContentTypeParts parts;
    VQX_RESULT r = ParseContentType(szText, parts);
    if (VQX_RESULT_FAILED(r)) {
        return r;
    }
    VqxSipAdd add(pMsg, pSet);
    void* pv = nullptr;
    r = add.Alloc(sizeof(SipHeaderContenttypeIe), &pv);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = FillContentType(pMsg, static_cast<SipHeaderContenttypeIe*>(pv), parts);
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        static_cast<SipHeaderContenttypeIe*>(pv)->eHeaderType = 20;
    }
    return add.Done(r);
}

VQX_RESULT VQ500SipHeaderCreateString_ContentType(const SipHeaderContenttypeIe* p, u16 un16Size, char* szOut)
{
    if (p == nullptr || szOut == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    const u32 un32Type = p->stMediatype.eMediaType;
    const u32 un32Sub = p->stMediasubtype.eMediaSubType;
    if (un32Type == 0 || un32Type > kMediaTypeExtn || un32Sub == 0 || un32Sub > kMediaSubTypeExtn) {
        return VQX_RESULT_INVALID_MESSAGE;
    }
    const char* szType =
        un32Type == kMediaTypeExtn ? VQ500SipStringGet(&p->stMediatype.msText) : s_aszMediaTypes[un32Type - 1];
    const char* szSub = un32Sub == kMediaSubTypeExtn ? VQ500SipStringGet(&p->stMediasubtype.msText)
                                                     : s_aszMediaSubTypes[un32Sub - 1];
    Cut(szType != nullptr && szSub != nullptr ? std::string(szType) + "/" + szSub : std::string(), un16Size, szOut);
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipHeaderGetStr_Diversion(char* szText, char** pszAddress, char** pszReason, char** pszCounter,
                                          char** pszLimit, char** pszPrivacy, char** pszScreen)
{
    char** apOuts[] = {pszAddress, pszReason, pszCounter, pszLimit, pszPrivacy, pszScreen};
    for (char** pp : apOuts) {
        if (pp != nullptr) {
            *pp = nullptr;
        }
    }
    if (szText == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    char* p = nullptr;
    if (!StartsWithName(szText, "Diversion", &p)) {
        return VQX_RESULT_NOT_FOUND;
    }
    char* pAddress = p;
    char* pRest = nullptr;
    if (*p == '<') {
        pAddress = p + 1;
        char* pClose = std::strchr(pAddress, '>');
        if (pClose != nullptr) {
            *pClose = '\0';
            pRest = std::strchr(pClose + 1, ';');
        }
    } else if ((pRest = std::strchr(p, ';')) != nullptr) {
        *pRest = '\0';
    }
    if (pszAddress != nullptr && *pAddress != '\0') {
        *pszAddress = pAddress;
    }
    static const char* const s_aszNames[] = {"reason=", "counter=", "limit=", "privacy=", "screen="};
    char** apParams[] = {pszReason, pszCounter, pszLimit, pszPrivacy, pszScreen};
    SplitParams(pRest != nullptr ? pRest + (*pRest == ';') : nullptr, s_aszNames, apParams);
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipHeaderGetStr_UUI(char* szText, char** pszData, char** pszEncoding, char** pszPurpose,
                                    char** pszContent)
{
    char** apOuts[] = {pszData, pszEncoding, pszPurpose, pszContent};
    for (char** pp : apOuts) {
        if (pp != nullptr) {
            *pp = nullptr;
        }
    }
    if (szText == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    char* p = nullptr;
    if (!StartsWithName(szText, "User-to-User", &p)) {
        return VQX_RESULT_NOT_FOUND;
    }
    char* pRest = std::strchr(p, ';');
    if (pRest != nullptr) {
        *pRest++ = '\0';
    }
    if (pszData != nullptr && *p != '\0') {
        *pszData = p;
    }
    static const char* const s_aszNames[] = {"encoding=", "purpose=", "content="};
    char** apParams[] = {pszEncoding, pszPurpose, pszContent};
    SplitParams(pRest, s_aszNames, apParams);
    return VQX_RESULT_OK;
}

namespace {
VQX_RESULT AddLine(void* pMsg, void* pSet, const char* szName, std::string value, const char* const* apszNames,
                   const char* const* apszValues, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (NonEmpty(apszValues[i])) {
            value.append(";").append(apszNames[i]).append(apszValues[i]);
        }
    }
    const VQX_RESULT r = VQ500SipHeaderAdd_Extension(pMsg, pSet, szName, value.c_str());
    return VQX_RESULT_FAILED(r) ? VQX_RESULT_INVALID_PARAM : r;
}
} // namespace

VQX_RESULT VQ500SipHeaderAddStr_Diversion(void* pMsg, void* pSet, const char* szAddress, const char* szReason,
                                          const char* szCounter, const char* szLimit, const char* szPrivacy,
                                          const char* szScreen)
{
    if (szAddress == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    static const char* const s_aszNames[] = {"reason=", "counter=", "limit=", "privacy=", "screen="};
    const char* apszValues[] = {szReason, szCounter, szLimit, szPrivacy, szScreen};
    std::string value("<");
    value.append(szAddress).append(">");
    return AddLine(pMsg, pSet, "Diversion", value, s_aszNames, apszValues, 5);
}

VQX_RESULT VQ500SipHeaderAddStr_UUI(void* pMsg, void* pSet, const char* szData, const char* szEncoding,
                                    const char* szPurpose, const char* szContent)
{
    if (szData == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    static const char* const s_aszNames[] = {"encoding=", "purpose=", "content="};
    const char* apszValues[] = {szEncoding, szPurpose, szContent};
    return AddLine(pMsg, pSet, "User-to-User", szData, s_aszNames, apszValues, 3);
}

VQX_RESULT VQ500FormatStatusCodeBody(u16 un16Code, char* szOut, u32 un32Size)
{
    char szCode[8];
    std::snprintf(szCode, sizeof szCode, "%3u", static_cast<unsigned>(un16Code));
    Cut(std::string("SIP/2.0 ") + szCode + " " + SIP_STATUS_STRING(un16Code), un32Size, szOut);
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500GetStatusCodeBody(const char* szText, u16* pun16Code)
{
    if (pun16Code != nullptr) {
        *pun16Code = 0;
    }
    static const char s_szPrefix[] = "SIP/2.0 ";
    if (szText == nullptr || std::strncmp(szText, s_szPrefix, sizeof s_szPrefix - 1) != 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    // As "SIP/2.0 %3u" reads it: any run of blanks, then at most three
    // digits (the blanks do not count into the width). A sign is refused.
    const char* p = szText + sizeof s_szPrefix - 1;
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    u32 un32Code = 0;
    int nDigits = 0;
    for (; nDigits < 3 && std::isdigit(static_cast<unsigned char>(*p)); ++p, ++nDigits) {
        un32Code = un32Code * 10 + static_cast<u32>(*p - '0');
    }
    if (nDigits == 0) {
        return VQX_RESULT_INVALID_PARAM;
    }
    if (pun16Code != nullptr) {
        *pun16Code = static_cast<u16>(un32Code);
    }
    return VQX_RESULT_OK;
}

VQX_RESULT VQ500SipBodyFill_SinglePart_NotifyEventMsg(void* pMsg, SipBodyIe* pBody, void* pHeaderSet, u16 un16Code,
                                                      const char* szExtra)
{
    if (pMsg == nullptr || pBody == nullptr || pHeaderSet == nullptr) {
        return VQX_RESULT_NULL_PARAM;
    }
    char szStatus[128];
    VQ500FormatStatusCodeBody(un16Code, szStatus, sizeof szStatus);
    std::string text = szStatus;
    if (szExtra != nullptr) {
        text.append(" ").append(szExtra);
    }
    if (text.size() > 127) {
        return VQX_RESULT_INVALID_PARAM;
    }
    SipBodySinglePartIe& part = pBody->u.alt2.stBodySinglePart;
    VqxSipAdd add(pMsg, {pHeaderSet, &part.u.alt2.msText});
    VQX_RESULT r = VQ500SipHeaderAdd_ContentType(pMsg, pHeaderSet, 6, 5);
    if (VQX_RESULT_SUCCEEDED(r)) {
        r = VQ500SipBytesAdd(pMsg, &part.u.alt2.msText, text.c_str(), static_cast<u16>(text.size() + 1));
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
        part.eBodyPartType = 2;
        pBody->eBodyType = 2;
    }
    return add.Done(r);
}
