/*
 * vq500_sip_digest.h - the answer to a 401/407 challenge: an Authorization
 * or Proxy-Authorization header whose digest follows RFC 2617 3.2.2 and
 * RFC 7616 3.4 (MD5 and MD5-sess only), MD5 from libmd.
 *
 * The challenge is the record after the type word of a WWW-Authenticate or
 * Proxy-Authenticate header (SipAuthSchemeIe: scheme text, generic
 * parameters, names matched case-blind); it is only read. Protection: "auth"
 * when the challenge offers it among its comma-separated qop options (spaces
 * trimmed); any qop list without it is refused (0x82000013, nothing added,
 * no nonce count used). With qop, every header takes the next value of one
 * process-wide atomic counter (s_nNounceCount, from 1; nc is 8 lower-case
 * hex digits) and a fresh client nonce of 16 lower-case hex digits from
 * getrandom. Credentials, in this order: username (quoted, when given),
 * algorithm (token, as the challenge gave it), realm, nonce, cnonce (quoted,
 * with qop), nc (token, with qop), qop (token, with qop), uri (quoted: the
 * Request-URI without parameters or headers, not cut), response (quoted),
 * opaque (quoted, when the challenge has one). A null username or password
 * is hashed as an empty text; an extension method is hashed under its own
 * text. Results: 0x02000000; 0x82000004 challenge without scheme, realm or
 * nonce; 0x82000013 no "auth" offered, or an algorithm other than MD5 and
 * MD5-sess; 0x82000009 null argument; the codes of the URI text and of the
 * adds. A failure leaves the credentials (or the set) as they were.
 */
#ifndef VQ500_SIP_DIGEST_H
#define VQ500_SIP_DIGEST_H

#include "vq500_sip_ie_records.h"

typedef char HASHHEX[33];

VQX_RESULT VQ500SipHeaderAdd_Authorization(void* pMsg, void* pSet, const SipAuthSchemeIe* pChallenge,
                                           const SipRequestLineIe* pRequestLine, const char* szUser,
                                           const char* szPassword); /* header type 6 */
VQX_RESULT VQ500SipHeaderAdd_ProxyAuthorization(void* pMsg, void* pSet, const SipAuthSchemeIe* pChallenge,
                                                const SipRequestLineIe* pRequestLine, const char* szUser,
                                                const char* szPassword); /* header type 36 */
VQX_RESULT VQ500SipHeaderFill_Auth(void* pMsg, const SipAuthSchemeIe* pChallenge, SipAuthSchemeIe* pCredentials,
                                   const SipRequestLineIe* pRequestLine, const char* szUser, const char* szPassword);

/* H(A1): MD5(user:realm:password); for "md5-sess" (case-blind)
 * MD5(hex of that ":" nonce ":" cnonce). Null texts hash as empty. */
void DigestCalcHA1(const char* szAlg, const char* szUser, const char* szRealm, const char* szPassword,
                   const char* szNonce, const char* szCNonce, HASHHEX out);
/* MD5(HA1:nonce:[nc:cnonce:qop:]HA2), HA2 = MD5(method:uri[:entity hash
 * when qop is auth-int]); the bracket only for a non-empty qop. */
void DigestCalcResponse(const HASHHEX ha1, const char* szNonce, const char* szNc, const char* szCNonce,
                        const char* szQop, const char* szMethod, const char* szUri, const HASHHEX hEntity,
                        HASHHEX out);
/* 16 bytes as 32 lower-case hex digits and a NUL. */
void CvtHex(const u8 abyBin[16], HASHHEX out);

/* Tests only: fills client-nonce bytes instead of getrandom (null: back to
 * getrandom), and sets the next nonce count. */
typedef void (*PFN_VQX_SIP_RANDOM)(u8* pby, size_t n);
void VqxSipDigestSetRandom(PFN_VQX_SIP_RANDOM pfn);
void VqxSipDigestSetNonceCount(u32 un32Next);

#endif
