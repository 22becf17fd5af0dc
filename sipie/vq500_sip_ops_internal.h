/*
 * vq500_sip_ops_internal.h - what the search, compose, text, digest and
 * Remote-Party-ID files share (inside the library only): host-order word
 * access to element records, the kinds they test, and the add guard that
 * takes a half-built element away again when a step after its allocation
 * fails, so no element of type 0 is ever left in a set.
 */
#ifndef VQ500_SIP_OPS_INTERNAL_H
#define VQ500_SIP_OPS_INTERNAL_H

#include "vq500_sip_ie_records.h"
#include "vqx_msg_element.h"

#include <cctype>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

constexpr u32 kSipValueToken = 1;
constexpr u32 kSipValueQuoted = 2;
constexpr u32 kSipMethodExtn = 15;

inline u32 VqxSipGet32(const void* p)
{
    u32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/* Equal texts, letters compared without case (names, schemes, parameters). */
inline bool VqxSipIEq(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

/* n bytes as 2n lower-case hex digits and a NUL: out holds 2n + 1 characters. */
inline void VqxSipHex(const u8* pby, size_t n, char* out)
{
    static const char s_szHex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = s_szHex[pby[i] >> 4];
        out[2 * i + 1] = s_szHex[pby[i] & 0xF];
    }
    out[2 * n] = '\0';
}

/* Address kinds whose record is a URI: SIP, SIPS, IM. */
inline bool VqxSipIsUriKind(u32 un32Kind)
{
    return un32Kind == 1 || un32Kind == 2 || un32Kind == 4;
}

/* Value of a value record, unquoted as VQ500SipValueGet gives it, as a view
 * into the element (data null when there is no text). */
std::string_view VqxSipValueView(const SipValueIe* pValue);

/* Calls onPair(name, value) for each name=value pair of a parameter text
 * (VQ500SipParameterFillStr's rule); returns the first failure. */
template <class F>
VQX_RESULT VqxSipSplitPairs(const char* szText, F onPair)
{
    std::string work(szText);
    size_t pos = 0;
    auto piece = [&](char cDelim, std::string& out) {
        while (pos < work.size() && work[pos] == cDelim) {
            ++pos;
        }
        if (pos >= work.size()) {
            return false;
        }
        const size_t end = work.find(cDelim, pos);
        out = work.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? work.size() : end + 1;
        return true;
    };
    std::string name, value;
    while (piece('=', name) && piece(';', value)) {
        const size_t n = name.find_first_not_of(' '), v = value.find_first_not_of(' ');
        const VQX_RESULT r = onPair(name.c_str() + (n == std::string::npos ? name.size() : n),
                                    value.c_str() + (v == std::string::npos ? value.size() : v));
        if (VQX_RESULT_FAILED(r)) {
            return r;
        }
    }
    return VQX_RESULT_OK;
}

/*
 * Guard of one composition: marks the message, and on a failed Done()
 * removes everything appended since into the named sets (and so every
 * element nested in what was appended). Sets that lie inside the new
 * element need not be named.
 */
class VqxSipAdd {
public:
    VqxSipAdd(void* pMsg, std::initializer_list<void*> sets) : m_pMsg(pMsg), m_un32Mark(VqxMsgElementMark(pMsg))
    {
        for (void* p : sets) {
            if (m_un32Sets < kMax && p != nullptr) {
                m_apSets[m_un32Sets++] = p;
            }
        }
    }
    VqxSipAdd(void* pMsg, void* pSet) : VqxSipAdd(pMsg, {pSet}) {}

    VQX_RESULT Alloc(u16 un16Size, void** ppElement)
    {
        return m_un32Sets == 0 ? VQX_RESULT_NULL_PARAM : VQXMsgElementAlloc(m_pMsg, m_apSets[0], un16Size, ppElement);
    }

    /* Returns r; a failure undoes the appends since the mark. */
    VQX_RESULT Done(VQX_RESULT r)
    {
        if (VQX_RESULT_FAILED(r) && m_pMsg != nullptr && VqxMsgElementMark(m_pMsg) != m_un32Mark) {
            (void)VqxMsgElementUndo(m_pMsg, m_un32Mark, m_apSets, m_un32Sets);
        }
        return r;
    }

private:
    static constexpr u32 kMax = 8;
    void* m_pMsg;
    u32 m_un32Mark;
    void* m_apSets[kMax] = {};
    u32 m_un32Sets = 0;
};

#endif
