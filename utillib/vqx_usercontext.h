/*
 * vqx_usercontext.h - base-38 names packed into 64-bit user contexts.
 *
 * A user context word carries up to 12 characters of a name, in base 38:
 *   digit 0..25 'A'..'Z', 26..35 '0'..'9', 36 '_', 37 end of text.
 * Digit order: the most significant digit first. A word always holds exactly
 * 12 digit positions, d1 (the first character, weight 38^11) down to d12
 * (weight 1):  value = d1*38^11 + d2*38^10 + ... + d12.
 * A name shorter than 12 characters is followed by end-of-text digits (37) up
 * to the 12th position; decoding stops at the first end-of-text digit.
 * So "" is 38^12 - 1 (all digits 37) and the value 0 reads "AAAAAAAAAAAA".
 *
 * Byte order: the u64 arguments are numeric values in the host's order. On the
 * wire a context is "stored big-endian": its 8 bytes hold the value most
 * significant byte first, so the first character sits in the leading bytes.
 * A caller holding the raw 8 wire bytes converts them first (be64toh);
 * a caller holding a header field that the host library already put in host
 * order passes it as it is.
 *
 * Out-of-range words: a value of 38^12 or more (a 13th digit) cannot come from
 * the encoder; the digits above the 12th are ignored (the value is read modulo
 * 38^12), so such a word still decodes to at most 12 valid characters and
 * nothing can overflow.
 *
 * Two words name up to 24 characters: the first word gives the first 12; the
 * second word is read only when the first holds 12 characters (no end-of-text
 * digit). Both words zero mean "no name" and read "[Undefined]".
 * See docs/user-context-names.md.
 */
#ifndef VQX_USERCONTEXT_H
#define VQX_USERCONTEXT_H

#include "vqx_result.h"
#include "vqx_types.h"

#define VQX_USER_CONTEXT_BASE 38u
#define VQX_USER_CONTEXT_DIGITS 12u    /* characters per word */
#define VQX_USER_CONTEXT_END_DIGIT 37u /* end of text */
#define VQX_USER_CONTEXT_UNDEFINED_TEXT "[Undefined]"

/*
 * Decodes one word into text (at most 12 characters, cut to size - 1 when the
 * buffer is smaller, always NUL-terminated). Returns 0x02000000; 0x82000009
 * for a null text, 0x8200000A for size 0 (nothing written in both cases).
 */
VQX_RESULT HaManagerExtractOneUserContext(u64 un64Word, char* pszText, u32 un32Size);

/*
 * Decodes two words into text (at most 24 characters, cut to size - 1,
 * always NUL-terminated); "[Undefined]" when both words are 0. Returns as
 * HaManagerExtractOneUserContext.
 */
VQX_RESULT HaManagerExtractUserContexts(u64 un64Word1, u64 un64Word2, char* pszText,
                                        u32 un32Size);

/*
 * Encodes a name of at most 12 characters from the alphabet 'A'-'Z', '0'-'9',
 * '_' into one word. Returns 0x02000000; 0x82000009 for null arguments;
 * 0x8200000A for a longer name or another character (*pun64Word unchanged).
 */
VQX_RESULT HaManagerPackUserContext(const char* pszName, u64* pun64Word);

/*
 * Encodes a name of at most 24 characters into two words: the first 12
 * characters in the first word, the rest (possibly none) in the second.
 * Returns as HaManagerPackUserContext; the one name whose words are both 0
 * (24 times 'A') is refused with 0x8200000A, since it would read as
 * "[Undefined]".
 */
VQX_RESULT HaManagerPackUserContexts(const char* pszName, u64* pun64Word1, u64* pun64Word2);

#endif
