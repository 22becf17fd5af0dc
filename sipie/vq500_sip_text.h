/*
 * vq500_sip_text.h - SIP fragments held as text: URI text split and
 * composition, Content-Type values, Diversion and User-to-User lines, the
 * status text of message/sipfrag bodies.
 *
 * URI split, in place (the caller keeps a copy when it needs the text): the
 * host part follows the first '@' (never unescaped elsewhere), or, without one,
 * the scheme's ':'; "[...]" IPv6 references stay whole; ';' starts the
 * parameters, whose text keeps the URI headers behind them ("x=1?h=v");
 * without parameters '?' ends host and port and the URI headers are
 * dropped; a port is 1-65535 decimal, anything else reads as 0. Known
 * schemes (case-blind): sip, sips, mailto, im, tel; "tel:number" gives the
 * number as user; a text with ':' but no '@' whose first part is no known
 * scheme is host and port.
 * Composition: "scheme:", user, ":password", "@" (only before a host), host
 * (an IPv6 host inside brackets), ":port" (1-65535), ";params"; cut to
 * size - 1 characters, always terminated.
 */
#ifndef VQ500_SIP_TEXT_H
#define VQ500_SIP_TEXT_H

#include "vq500_sip_ie_records.h"

#include <string>

void VQ500SipAddrspecStrParseString(char* szText, char** pszScheme, char** pszUser, char** pszPassword,
                                    char** pszHost, char** pszParams, u32* pun32Port);
void VQ500SipAddrspecStrCreateString(const char* szScheme, const char* szUser, const char* szPassword,
                                     const char* szHost, const char* szParams, u32 un32Port, u16 un16Size,
                                     char* szOut);

/* URI text of an address spec (no URI parameters or headers); a global tel
 * number gets its '+' back. 0x02000000; 0x8200000A no host, number or rest,
 * or another kind; 0x82000009 null argument. The string form is not cut. */
VQX_RESULT VQ500SipAddrspecCreateString(const SipAddrspecIe* pAddrspec, u16 un16Size, char* szOut);
VQX_RESULT VqxSipAddrspecText(const SipAddrspecIe* pAddrspec, std::string& text);

/* User address record: each field NUL-terminated within its width. */
struct VQ500_SIP_USER_ADDR {
    char szScheme[16];
    char szUser[128];
    char szPassword[128];
    char szHost[256];
    u32 un32Port;
};
static_assert(sizeof(VQ500_SIP_USER_ADDR) == 532);

/* Kinds 1, 2 (user, password, host, port) and 3 (number as user);
 * 0x82000011 for others. */
VQX_RESULT VQ500SipAddrspecCreateUserAddr(const SipAddrspecIe* pAddrspec, VQ500_SIP_USER_ADDR* pOut);

/* "type/subtype[;name=value...]": spaces around the tokens skipped, names
 * compared case-blind, the type over the length of the given text (the
 * first of text, image, audio, video, application, message, multipart that
 * it starts: "app" is application), the subtype whole; unknown names are
 * stored as extension texts.
 * 0x8200000A for a text without '/' or with an empty token (nothing
 * written). The add appends a 24-byte element of header type 20. */
VQX_RESULT VQ500SipHeaderFillStr_ContentType(void* pMsg, SipHeaderContenttypeIe* p, const char* szText);
VQX_RESULT VQ500SipHeaderAddStr_ContentType(void* pMsg, void* pSet, const char* szText);
/* "type/subtype"; 0x82000010 for a value outside the names. */
VQX_RESULT VQ500SipHeaderCreateString_ContentType(const SipHeaderContenttypeIe* p, u16 un16Size, char* szOut);

/* Split a header line in place: the name (case-blind) at the start, then
 * ':' (spaces around it skipped), the address ("<...>" or up to ';') or data, then parameters
 * split at ';' whose names are matched case-blind at their starts. Out
 * arguments are optional and set only for non-empty parts. 0x82000015 when
 * the line does not start with the name; 0x82000009 null text. */
VQX_RESULT VQ500SipHeaderGetStr_Diversion(char* szText, char** pszAddress, char** pszReason, char** pszCounter,
                                          char** pszLimit, char** pszPrivacy, char** pszScreen);
VQX_RESULT VQ500SipHeaderGetStr_UUI(char* szText, char** pszData, char** pszEncoding, char** pszPurpose,
                                    char** pszContent);
/* Compose and add as an extension header; address or data required
 * (0x82000009); any failure of the add is 0x8200000A. */
VQX_RESULT VQ500SipHeaderAddStr_Diversion(void* pMsg, void* pSet, const char* szAddress, const char* szReason,
                                          const char* szCounter, const char* szLimit, const char* szPrivacy,
                                          const char* szScreen);
VQX_RESULT VQ500SipHeaderAddStr_UUI(void* pMsg, void* pSet, const char* szData, const char* szEncoding,
                                    const char* szPurpose, const char* szContent);

/* "SIP/2.0 %3u reason"; always 0x02000000 (cut to size - 1). */
VQX_RESULT VQ500FormatStatusCodeBody(u16 un16Code, char* szOut, u32 un32Size);
/* "SIP/2.0 " then any blanks and up to three digits (the blanks do not
 * count into the three); 0x8200000A otherwise, the code then 0. */
VQX_RESULT VQ500GetStatusCodeBody(const char* szText, u16* pun16Code);
/* message/sipfrag NOTIFY body: Content-Type 6/5 into the header set, the
 * status text (and " extra") with its NUL as the opaque single part. A text
 * over 127 characters: 0x8200000A before anything is added; a later failure
 * takes both away again. */
VQX_RESULT VQ500SipBodyFill_SinglePart_NotifyEventMsg(void* pMsg, SipBodyIe* pBody, void* pHeaderSet, u16 un16Code,
                                                      const char* szExtra);

#endif
