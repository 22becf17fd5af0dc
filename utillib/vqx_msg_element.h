/*
 * vqx_msg_element.h - message-element sets: typed elements stored inside the
 * payload of a host message.
 *
 * A payload that carries sets starts with a fixed structure (the caller's
 * record) and ends with an 8-byte end marker; in between, elements are
 * appended one after the other, always at the end of the used payload, so an
 * element once handed out never moves. A set is named by one 32-bit word
 * (VQXMsgElementSet) stored anywhere in the payload before its elements: in
 * the fixed structure, or inside an element of another set. The word is 0 for
 * an empty set; otherwise it holds the count and the forward distance to the
 * first element. Elements of one set are chained by forward distances, so a
 * whole message can be copied to another buffer and stays valid.
 *
 * Two layouts exist, chosen by the message's end marker when elements are
 * appended and recorded in each set word for the readers: the 32-bit layout
 * (8-byte element header, element data 8-byte aligned; what
 * VQXMsgElementInit writes) and the compact 16-bit layout (4-byte element
 * header, data 4-byte aligned). The byte layout is in docs/msg-element-sets.md.
 *
 * Threading: no locks; a message belongs to one thread at a time. Only the
 * allocator hook (VqxMsgElementSetAllocator) is shared and guarded.
 *
 * Message pointers are the host message buffer (header at offset 0, see
 * vqx_msg_layout.h); header fields are read in host byte order.
 */
#ifndef VQX_MSG_ELEMENT_H
#define VQX_MSG_ELEMENT_H

#include "vqx_result.h"
#include "vqx_types.h"

/* The u32 member of a record that names a set in the same message; 0 = empty. */
typedef u32 VQXMsgElementSet;

/* Largest used payload a message with element sets may have. */
#define VQX_MSG_ELEMENT_MAX_PAYLOAD 0x40000u

/* Layouts, for VqxMsgElementInitLayout. */
#define VQX_MSG_ELEMENT_LAYOUT_16 16u
#define VQX_MSG_ELEMENT_LAYOUT_32 32u

/*
 * Element copy given to VQXMsgElementDupSet: called once per element as
 * (context, source element, destination message, destination element, size).
 * The destination element already has the source's size and is zero-filled
 * (or is the source element itself when duplicating a set into itself).
 * A result with bit 31 set stops the duplication and is returned.
 */
typedef i32 (*PFN_VQX_MSG_ELEMENT_COPY)(void* pvContext, const void* pvSrcElement, void* pDstMsg,
                                        void* pvDstElement, u16 un16Size);

/*
 * Message allocator of the host library, registered when it opens so that
 * VQXMsgElementDupMsgResize can take a new message without this library
 * calling upward. Alloc: (library handle, payload capacity, out message).
 * Release: (library handle, in/out message; cleared).
 */
typedef VQX_RESULT (*PFN_VQX_MSG_ELEMENT_MSG_ALLOC)(void* hLib, u32 un32PayloadSize, void** ppMsg);
typedef VQX_RESULT (*PFN_VQX_MSG_ELEMENT_MSG_RELEASE)(void* hLib, void** ppMsg);

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Payload capacity a message needs for a fixed structure of that size
 * followed by an empty set: the size rounded up to 8, plus the 8-byte end
 * marker. The two further arguments are reserved (pass 0) and ignored.
 */
u32 VQXMsgComputeSize(u32 un32FixedPayloadSize, u32 un32Reserved1, u32 un32Reserved2);

/* Room one element of that data size takes in a set, header and padding
 * included (the 32-bit layout, which is never smaller than the 16-bit one). */
u32 VQXMsgElementComputeSize(u32 un32ElementSize);

/*
 * Prepares the payload for element sets after a fixed structure of
 * un32StructSize bytes: when round8(size) + 8 fits in the payload capacity,
 * zeroes the rounded structure area, writes the end marker of the 32-bit
 * layout right after it and sets the payload length to round8(size) + 8.
 * Returns 0x02000000; 0x8200001A (the whole payload capacity is then zeroed,
 * the payload length left as it was); 0x82000009 for a null message.
 */
VQX_RESULT VQXMsgElementInit(void* pMsg, u32 un32StructSize);

/* VQXMsgElementInit with a chosen layout (VQX_MSG_ELEMENT_LAYOUT_16 or _32);
 * 0x8200000A for any other value. Used by stand-ins of peers that produce the
 * compact layout, and by tests. */
VQX_RESULT VqxMsgElementInitLayout(void* pMsg, u32 un32StructSize, u32 un32Layout);

/*
 * Appends a zero-filled element of un16Size data bytes to the set whose word
 * is at pSet (inside the used payload of pMsg, 4-byte aligned from the
 * payload start) and stores its data address in *ppElement (null on any
 * failure; nothing is changed then). The layout is the message's.
 * Returns 0x02000000, or:
 *  0x82000009 null message, set or out pointer;
 *  0x8200000A size 0, or a set word not 4-byte aligned in the payload;
 *  0x82000004 used payload above 0x40000 or above the capacity, the set word
 *             outside the used payload, or one of its elements outside it;
 *  0x82000010 used payload not a multiple of 8, or a broken set (chain
 *             inconsistent with its count, layout unlike the message's);
 *  0x82000014 end marker missing;
 *  0x8200001A no room (capacity, 0x40000, or 32767 elements in one set).
 * A caller holding the size in a wider integer passes it as it is: only its
 * low 16 bits count (so 0x10000 is a size of 0, refused with 0x8200000A).
 */
VQX_RESULT VQXMsgElementAlloc(void* pMsg, void* pSet, u16 un16Size, void** ppElement);

/* Appends szText and its NUL as one element. 0x8200000A for a null text or a
 * text of 65535 bytes or more; otherwise the result of VQXMsgElementAlloc. */
VQX_RESULT VQXMsgElementStringAdd(void* pMsg, void* pSet, const char* szText);

/*
 * Undo of appends, for composers that build one element in several appends
 * and must not leave a half-built element behind when a later step fails.
 * VqxMsgElementMark gives the used payload length (0 for a null message).
 * VqxMsgElementUndo(pMsg, mark, sets, n) drops, from each of the n sets
 * (each word lying before the mark), the elements appended at or after the
 * mark, relinks the last kept element (or empties the word), then cuts the
 * used payload back to the mark: the freed bytes are zeroed and the end
 * marker is written at mark - 8. Sets inside the dropped elements go with
 * them; every other set that got an element since the mark must be named.
 * Returns 0x02000000; 0x82000009 null message or null set list with n > 0;
 * 0x8200000A a mark above the used payload, below 8 or not a multiple of 8;
 * the codes of VqxMsgElementCheckSet for a set, or 0x82000004 for a set word
 * at or after the mark. Nothing is written before every set has been checked.
 */
u32 VqxMsgElementMark(const void* pMsg);
VQX_RESULT VqxMsgElementUndo(void* pMsg, u32 un32Mark, void* const* apSets, u32 un32Sets);

/*
 * Readers. They see the set word only, not the message, so they cannot know
 * where the buffer ends: they check the chain's shape (forward links, count)
 * but trust its distances. Run VqxMsgElementCheckSet on every set of a
 * message from outside before reading it with these.
 */

/* Number of elements; 0 for a null pointer or an empty set. */
u16 VQXMsgElementCount(const void* pSet);

/* Data address of element un16Index (from 0), or null when the set is empty,
 * the index is out of range or the chain is broken. *pun16Size (when given)
 * gets its size, 0 when there is none. */
void* VQXMsgElementGet(const void* pSet, u16 un16Index, u16* pun16Size);

/* The element after pvPrev (the first one when pvPrev is null), or null at the
 * end; *pun16Size (when given) gets its size, 0 at the end. pvPrev must be an
 * element of this set. Callers that walk without sizes pass 0 as pun16Size. */
void* VQXMsgElementGetNext(const void* pSet, const void* pvPrev, u16* pun16Size);

/*
 * Duplicates the elements of the set at pSrcSet into the set at pDstSet of
 * pDstMsg. Unless both are the same word, the destination word is first set
 * to 0 (after the message and the word's place are checked). An empty source
 * gives 0x02000000 at once. For each source element in order: append one of
 * the same size to the destination (the destination message's layout) and
 * copy its bytes, or, with pfnCopy, call pfnCopy on it; with the same word
 * each element is handed to pfnCopy in place (without pfnCopy nothing is
 * done). Returns 0x02000000, the first failure of an append or of pfnCopy, or
 * 0x82000010 for a broken source chain; elements duplicated before a failure
 * stay. When the source set lies in pDstMsg, it is checked within that
 * message first (then 0x82000004 / 0x82000010 as for VqxMsgElementCheckSet).
 * 0x82000009 for a null source, message or destination.
 */
VQX_RESULT VQXMsgElementDupSet(const void* pSrcSet, void* pDstMsg, void* pDstSet,
                               PFN_VQX_MSG_ELEMENT_COPY pfnCopy, void* pvContext);

/*
 * A copy of pMsg in a new message of un32NewSize payload capacity, taken
 * through the registered allocator: id, type, payload length, peer handle,
 * both user contexts and the used payload are copied (sets stay valid, their
 * links being relative). *ppNewMsg is null on failure; pMsg stays the
 * caller's either way. Returns 0x02000000; 0x82000009 null message or out
 * pointer; 0x82000004 used payload above the old capacity; 0x8200001A used
 * payload above un32NewSize; 0x82000012 no allocator registered, the
 * allocation failed, or it gave less than asked.
 */
VQX_RESULT VQXMsgElementDupMsgResize(void* hLib, const void* pMsg, void** ppNewMsg, u32 un32NewSize);

/* Registers the host library's message allocator (both null: unregisters).
 * 0x82000009 when only one of the two is given (nothing changes). */
VQX_RESULT VqxMsgElementSetAllocator(PFN_VQX_MSG_ELEMENT_MSG_ALLOC pfnAlloc, PFN_VQX_MSG_ELEMENT_MSG_RELEASE pfnRelease);

/*
 * Checks, within pMsg's used payload, the message prelude (as for
 * VQXMsgElementAlloc) and the whole chain of the set at pSet: every element
 * header and data inside the used payload before the end marker, links
 * strictly forward, exactly the count, the message's layout. Returns
 * 0x02000000 or the code VQXMsgElementAlloc would give for the same fault.
 */
VQX_RESULT VqxMsgElementCheckSet(const void* pMsg, const void* pSet);

/*
 * The prelude of a message checked once, for checking many of its sets while
 * the message does not change (the source of a copy into another message).
 * VqxMsgElementCheckerOpen fills it and returns the prelude's code (a null
 * message 0x82000009); VqxMsgElementCheckSetIn then returns what
 * VqxMsgElementCheckSet returns for the message as it was when opened.
 */
typedef struct VqxMsgElementChecker {
    const u8* pbyPayload;
    u32 un32Used;
    u32 un32Cap;
    const void* pLayout;
    VQX_RESULT rOpen;
} VqxMsgElementChecker;

VQX_RESULT VqxMsgElementCheckerOpen(const void* pMsg, VqxMsgElementChecker* pChecker);
VQX_RESULT VqxMsgElementCheckSetIn(const VqxMsgElementChecker* pChecker, const void* pSet);

/*
 * Many set duplications from one message into another (the deep copy of a
 * record tree), with each message's prelude checked once rather than once
 * per set and per element. VqxMsgElementCopierOpen records both messages
 * and their preludes (pSrcMsg null: the source sets are trusted, as by
 * VQXMsgElementDupSet; pSrcMsg equal to pDstMsg: the source grows with the
 * copy and is checked in full each time); it writes nothing and returns
 * 0x02000000, or 0x82000009 for a null copier. VqxMsgElementCopierDupSet
 * then returns, and leaves in the destination, exactly what
 *   VqxMsgElementCheckSet(pSrcMsg, pSrcSet)   (only when pSrcMsg is given)
 * followed, when that passes, by
 *   VQXMsgElementDupSet(pSrcSet, pDstMsg, pDstSet, pfnCopy, pvContext)
 * would: a refused source set leaves the destination untouched. The
 * destination's prelude is re-read in full whenever its payload length,
 * capacity or end marker is not what the copier last saw, so appends made
 * by other calls meanwhile are safe. pfnCopy may call back into the same
 * copier for nested sets. One thread at a time, like the messages.
 */
typedef struct VqxMsgElementCopier {
    const void* pSrcMsg;
    void* pDstMsg;
    VqxMsgElementChecker src; /* pSrcMsg's prelude (pSrcMsg given, not pDstMsg) */
    VqxMsgElementChecker dst; /* pDstMsg's prelude as last seen */
} VqxMsgElementCopier;

VQX_RESULT VqxMsgElementCopierOpen(const void* pSrcMsg, void* pDstMsg, VqxMsgElementCopier* pCopier);
VQX_RESULT VqxMsgElementCopierDupSet(VqxMsgElementCopier* pCopier, const void* pSrcSet, void* pDstSet,
                                     PFN_VQX_MSG_ELEMENT_COPY pfnCopy, void* pvContext);

#ifdef __cplusplus
}
#endif

#endif
