/*
 * vq500_ie_names.cpp - the one lookup behind every name function, and the
 * two that format an unlisted number (status codes, SIP message ids).
 *
 * The tables are generated (generated/vq500_ie_names_gen.cpp). The two
 * formatting functions write into a buffer of the calling thread, so
 * concurrent callers never see each other's text.
 */
#include "vq500_ie_names.h"
#include "vq500_ie_names_internal.h"

#include <cstdio>

namespace {

const char s_szUnknown[] = "Unknown";

const char* FormatUnlisted(char* szBuffer, size_t nSize, u32 un32Value)
{
    snprintf(szBuffer, nSize, "Unk 0x%x", un32Value);
    return szBuffer;
}

} // namespace

const char* VqxIeNameFind(const IeNameRow* pRows, size_t nRows, i64 n64Value)
{
    size_t nLow = 0;
    size_t nHigh = nRows;
    while (nLow < nHigh) {
        const size_t nMid = nLow + (nHigh - nLow) / 2;
        if (pRows[nMid].n64Value < n64Value) {
            nLow = nMid + 1;
        } else {
            nHigh = nMid;
        }
    }
    return nLow < nRows && pRows[nLow].n64Value == n64Value ? pRows[nLow].szText : nullptr;
}

const char* VqxIeName(const IeNameRow* pRows, size_t nRows, i32 n32Value)
{
    const char* szText = VqxIeNameFind(pRows, nRows, n32Value);
    return szText != nullptr ? szText : s_szUnknown;
}

const char* SIP_STATUS_STRING(u32 un32Code)
{
    const char* szText = VqxIeNameFind(g_kaSipStatusRows, g_kSipStatusRowCount, un32Code);
    if (szText != nullptr) {
        return szText;
    }
    thread_local char s_szUnk[64];
    return FormatUnlisted(s_szUnk, sizeof s_szUnk, un32Code);
}

const char* VQ500_MSG_ID_SIP_STRING(u32 un32Id)
{
    const char* szText = VqxIeNameFind(g_kaSipMsgIdRows, g_kSipMsgIdRowCount, un32Id);
    if (szText != nullptr) {
        return szText;
    }
    thread_local char s_szUnk[64];
    return FormatUnlisted(s_szUnk, sizeof s_szUnk, un32Id);
}
