/*
 * vq500_sip_rpi.h - the Remote-Party-ID header (type 80): a name-addr and
 * typed tokens screen (1: "yes" 1, "no" 2), party (2: "calling" 1,
 * "called" 2, else 3 with the text), id-type (3: "subscriber" 1, "user" 2,
 * "term" 3, else 4 with the text) and privacy (4: a 20-byte privacy element
 * in the token's set: "full" 1, "name" 2, "uri" 3, "off" 4, else 5 with the
 * text); names and values compared exactly. Token search is
 * VQ500SipRpiTokenFind (vq500_sip_find.h).
 *
 * Results: 0x02000000; 0x82000019 a token type or parameter name outside
 * the four; 0x8200000A a screen value other than yes and no; 0x82000009
 * null argument; allocation codes. Every value is checked before anything
 * is added, and a later failure takes the header (or token) away again.
 */
#ifndef VQ500_SIP_RPI_H
#define VQ500_SIP_RPI_H

#include "vq500_sip_ie_records.h"

/* Parameter text: name=value pairs split at ';' as VQ500SipParameterFillStr
 * splits them, leading spaces dropped, names "screen", "party", "id-type",
 * "privacy"; null for a header without tokens. */
VQX_RESULT VQ500SipHeaderAdd_RemotePartyId(void* pMsg, void* pSet, const char* szDisplay, const char* szScheme,
                                           const char* szUser, const char* szPassword, const char* szHost,
                                           u32 un32Port, const char* szParameters);
/* A 20-byte token; *ppOut (when given) the new token, null on failure. */
VQX_RESULT VQ500SipRpiTokenAdd(void* pMsg, void* pTokenSet, u32 un32TokenType, const char* szText,
                               SipRpiTokenIe** ppOut);
VQX_RESULT VQ500SipRpiTokenFill(void* pMsg, SipRpiTokenIe* pToken, u32 un32TokenType, const char* szText);

#endif
