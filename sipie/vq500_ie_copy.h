/*
 * vq500_ie_copy.h - deep copy of SIP and SDP information elements.
 *
 * A decoded SIP message or SDP description travels inside a host message as
 * a tree of fixed records whose texts and repeated members are
 * message-element sets of the same message (vqx_msg_element.h). Each record
 * type has a copy operation (vq500_sip_ie_records.h, vq500_sdp_ie_records.h)
 * that copies it into a record of another message, or converts it in place
 * (source and destination the same record), optionally byte-reversing every
 * u16 and u32 member; strings and sets are duplicated into the destination
 * message, never swapped. The copies keep no state and run on the caller's
 * thread; writes into one destination message need the caller's
 * serialisation.
 *
 * Results: 0x02000000 success; 0x82000009 a null record or context;
 * 0x8200000A a choice value that selects nothing and is not allowed to;
 * 0x82000010 an element smaller than its record, more than
 * VQ500_IE_MAX_SET_DEPTH nested sets, or more element visits than the
 * source payload can hold (sets named twice); any other failure comes from
 * the set duplication unchanged. The first failure stops the copy; what was
 * copied before stays.
 *
 * Log: when pfnLog is set, each failing copy level writes one line,
 * innermost first: pfnLog(format, text, code, [value,] file, line), the
 * format being the operation's label and ": %s (%X) %s:%d\n", or, in SIP
 * records whose choice can fail, ": %s (%X) value=0x%08x %s:%d\n" where the
 * value is the discriminant that selected nothing (0 for other failures).
 */
#ifndef VQ500_IE_COPY_H
#define VQ500_IE_COPY_H

#include "vqx_msg_element.h"
#include "vqx_result.h"
#include "vqx_types.h"

/* printf-style diagnostic sink; printf itself fits. */
typedef int (*PFN_VQ500_IE_LOG)(const char* szFormat, ...);

/* Copy context, only read by the copies. */
typedef struct IeCopyContext {
    /* Non-zero: every u16 and u32 member is byte-reversed on its way. */
    u32 un32Swap;
    /* 2: choice discriminants are stored in the reading host's order. SIP
     * records read them byte-reversed for any other value; SDP records read
     * them byte-reversed only when un32Swap is also set. */
    u32 un32SrcOrder;
    /* Diagnostics, one line per failing level; null for none. */
    PFN_VQ500_IE_LOG pfnLog;
    /* Optional: the host message holding the source tree. When set, every
     * source set is checked within it (VqxMsgElementCheckSet) before it is
     * read, and the element-visit budget is that payload's; give it for any
     * message that came from outside. */
    const void* pSrcMsg;
} IeCopyContext;

/* Most sets a copy may nest (a set inside an element of a set ...). */
#define VQ500_IE_MAX_SET_DEPTH 64u

#ifdef __cplusplus
extern "C" {
#endif

/* Copy one u8, u16 or u32 from pvSrc to pvDst; the u16 and u32 forms
 * byte-reverse it when un32Swap is non-zero. Return 0x02000000; no test. */
i32 VQXSwapOrCopy8(u32 un32Swap, const void* pvSrc, void* pvDst);
i32 VQXSwapOrCopy16(u32 un32Swap, const void* pvSrc, void* pvDst);
i32 VQXSwapOrCopy32(u32 un32Swap, const void* pvSrc, void* pvDst);

#ifdef __cplusplus
}
#endif

#endif
