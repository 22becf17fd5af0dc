/*
 * vq500_sip_find.h - the read side of a SIP element tree: finding headers,
 * parameters and URI headers in element sets, reading texts and values, and
 * duplicating a found header into another message.
 *
 * Every list of the tree is a message-element set (vqx_msg_element.h) and
 * every text a one-element set holding the text and its NUL. Readers never
 * write into the message: a text is handed back as a pointer into its
 * element, a quoted parameter value without its quotes as a copy in a
 * buffer of the calling thread (VQ500SipValueGet). An element too short for
 * the words a search reads, or a text element without its NUL inside it,
 * never matches. No locks; readers of one message may run on several
 * threads while nobody writes into it.
 *
 * Cursor: an optional u16 of the caller. On entry the index the search
 * starts at (0 without a cursor), on return the index the next search goes
 * on from: match index + 1, or, without a match, the count + 1 after a scan
 * (start + 1 when the start was already at or past the count), never past
 * 0xFFFF. Walk all matches by starting at 0 until null comes back. The size
 * out-argument (optional) gets the size of the last element examined.
 */
#ifndef VQ500_SIP_FIND_H
#define VQ500_SIP_FIND_H

#include "vq500_sip_ie_records.h"

/* First element at or after the cursor whose first u32 equals un32Type:
 * headers, contact parameters, subscription-state parameters, Remote-Party-ID
 * tokens and address parameters. Null when none. */
void* VQ500SipHeaderFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size);
void* VQ500SipContactParamsFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size);
void* VQ500SipSubScParamFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size);
void* VQ500SipRpiTokenFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size);
void* VQ500SipAddrParamFind(const void* pSet, u32 un32Type, u16* pun16Cursor, u16* pun16Size);

/* A contact parameter of kind 1 (standard) whose standard kind is
 * un32StdType; returns its standard part (the element less its first word). */
SipContactParamStdIe* VQ500SipContactParamsFind_StandardParam(const void* pSet, u32 un32StdType, u16* pun16Cursor,
                                                              u16* pun16Size);

/* Text of a string field: element 0 of the set, null when the set is empty,
 * the element has no NUL inside it, or the field is null. */
const char* VQ500SipStringGet(const void* pStringField);

/* Value of a value record as a NUL-terminated text; *pun16Length
 * (optional) gets its length. The message is never written, and callers
 * must not write through the result either.
 * - A token (type 1), or any value that needs no unquoting (a quoted string
 *   shorter than three characters or not between double quotes), is its
 *   text in the element: valid as long as the message is.
 * - A quoted string (type 2) of three characters or more between double
 *   quotes comes back as the text inside them, copied into a buffer of the
 *   calling thread (64 KiB, enough for the largest value an element of
 *   0xFFFF bytes holds). The buffer never moves and is freed only when the
 *   thread ends; copies go one after another round it, so a copy stays as
 *   read at least until the thread's next copy, and for as long as the
 *   copies that thread makes after it come, with it, to 32 KiB or less
 *   (each counted with its NUL). Threads never share it.
 * Null when there is no text (length 0), or when a thread's buffer cannot
 * be had for want of memory (length the value's own). */
char* VQ500SipValueGet(const SipValueIe* pValue, u16* pun16Length = nullptr);

/* VQ500SipValueGet of the first generic parameter at or after the cursor
 * whose name equals szName exactly (same texts, same buffer, pun16Length
 * likewise); null with length 0 when none. */
char* VQ500SipParameterFind(const void* pSet, const char* szName, u16* pun16Cursor, u16* pun16Size,
                            u16* pun16Length = nullptr);

/* Value text of the URI header called szName (exact) in the address spec.
 * szScheme says whether the address has URI headers: exactly "sip", "sips"
 * or "im" (case-sensitive); any other scheme, or an address spec of another
 * kind than SIP, SIPS or IM (1, 2, 4: no URI headers to read), finds
 * nothing and leaves the cursor untouched. Position 0 is the pair held
 * directly, positions 1..n the further pairs; the cursor counts positions.
 * Null when none. */
char* VQ500SipUriHeaderFind(const SipAddrspecIe* pAddrspec, const char* szScheme, const char* szName,
                            u16* pun16Cursor, u16* pun16Size);

/* Appends to pDstSet of pDstMsg a deep copy of the header of type un32Type
 * found in pSrcSet (cursor as VQ500SipHeaderFind). Returns 0x02000000;
 * 0x82000009 null set or message; 0x82000015 no such header; the code of the
 * allocation or the copy, the destination element then being removed again. */
VQX_RESULT VQ500SipHeaderDup(u32 un32Type, u16* pun16Cursor, const void* pSrcSet, void* pDstMsg, void* pDstSet);

#endif
