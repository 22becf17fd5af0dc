/*
 * vqcmc_lib_util.h - deep copies of the call/media control attribute
 * records between messages, and the two media-profile alterations.
 *
 * Model. An attribute record is a fixed structure followed by message
 * elements in the same message; its set words name them by relative
 * distance. A copy writes the fixed part into the destination record and
 * rebuilds every set in the destination message, element by element. Set
 * words that a copy does not rebuild are cleared, so that a destination
 * never names bytes of another message. Sources and destinations must not
 * overlap unless they are the same record (0x8200000A); a record copied onto
 * itself is left as it is.
 *
 * Source checks. hSrcMsg is the message holding the source record: given
 * (a message received from outside), the record must lie in its used
 * payload and every set is checked with VqxMsgElementCheckSet before it is
 * read, nested sets included; a profile element's inner length must fit its
 * element and 16 bits. A refusal is logged and returned with nothing more
 * written. Null: the source is a record this process built (not checked).
 *
 * Failures are logged once per function through the library's log
 * callback ("%s: %s (%X) %s:%d"); what was written before stays. No lock:
 * the caller owns both messages. Results: 0x02000000, 0x82000009 null
 * argument, 0x82000004 source record outside its message, the element
 * library's codes, or the codes named below.
 */
#ifndef VQCMC_LIB_UTIL_H
#define VQCMC_LIB_UTIL_H

#include "vq500_ie_copy.h"
#include "vqcmc_lib.h"
#include "vqcmc_payloads.h"
#include "vqx_media.h"

/* Byte order value of an element-copy context: discriminants as stored here. */
#define VQCMC_COPY_ORDER_HOST 2u
/* CAS information element: u32 type 1 or 2, 28 bytes in all. */
#define VQCMC_CAS_IE_SIZE 28u
/* Profile name element: u32 type 2, u32 value, 8 bytes 0, char[64] NUL-ended. */
#define VQCMC_PROFILE_NAME_ELEMENT_SIZE 80u
/* Compaction room of VQCmcLibMsgAlterMediaProfileBySDP. */
#define VQCMC_PROFILE_SDP_SCRATCH 2048u

/*
 * 0x02000000 when un32Size bytes at pvRecord lie inside hMsg's used payload
 * (itself within the message's capacity); 0x82000009 null message or
 * record; 0x82000004 otherwise.
 */
VQX_RESULT VQCmcLibMsgCheckRecord(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size);

/*
 * Element copies for VQXMsgElementDupSet (context: IeCopyContext; its
 * pSrcMsg, when set, is the source message, in which inner sets are
 * checked). The type is read in the context's source order; with the swap
 * flag the numeric fields of the destination are byte-swapped.
 * Generic header (types 0-3 of vqcmc_attr_records.h): the first word, then
 * by type the user-to-user set at 4, the 48-byte extra number with its digit
 * set at 28, the two charge-number bytes, or the 20-byte SS7 raw data with
 * its set at 4. 0x8200000A another type; 0x82000010 an element too short
 * for its type.
 * CAS element: type 1 or 2 of exactly 28 bytes (else 0x82000010), copied
 * whole with the type word as stored; the u32 at 4 and 8 (type 2: and 12)
 * swapped with the flag. 0x8200000A another type.
 */
i32 VQCmcLibMsgSwapCopyGenericHeader(void* pvContext, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size);
i32 VQCmcLibMsgSwapCopyCasIE(void* pvContext, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size);

/* The tone, record-path and play-file records: all their bytes and their set at offset 0. The play copy's
 * un32Size (the caller's record size) is not used. */
VQX_RESULT VQCmcLibMsgCopyEventAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_EVENT_ATTRIBUTE* pSrc,
                                         VQX_MSG_HANDLE hDstMsg, _VQCMC_EVENT_ATTRIBUTE* pDst, VQX_MSG_HANDLE hSrcMsg);
VQX_RESULT VQCmcLibMsgCopyRecordAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_RECORD_ATTRIBUTE* pSrc,
                                          VQX_MSG_HANDLE hDstMsg, _VQCMC_RECORD_ATTRIBUTE* pDst,
                                          VQX_MSG_HANDLE hSrcMsg);
VQX_RESULT VQCmcLibMsgCopyPlayAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_PLAY_ATTRIBUTE* pSrc,
                                        VQX_MSG_HANDLE hDstMsg, _VQCMC_PLAY_ATTRIBUTE* pDst, u32 un32Size,
                                        VQX_MSG_HANDLE hSrcMsg);

/*
 * Protocol attribute: the 128 bytes and the generic headers; when the
 * present byte and fProtocol are both non-zero, the protocol part by type
 * (SS7 and ISDN element as stored, CAS through the CAS copy, SIP body of
 * type 1-3 and SIP headers through the SIP copies). The SIP body area is
 * cleared after its type word when it is not rebuilt.
 */
VQX_RESULT VQCmcLibMsgCopyProtocolAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_PROTOCOL_ATTRIBUTE* pSrc,
                                            VQX_MSG_HANDLE hDstMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pDst, u32 fProtocol,
                                            VQX_MSG_HANDLE hSrcMsg);

/*
 * Media profile: bytes 0-63 and each profile element (name 80 bytes; peer
 * SDP and type 1: 8 + u16 at 12; local SDP: 16 + u16 at 20) appended to the
 * destination's set, which starts empty. 0x8200000A another type or a size
 * above 65535; 0x82000010 a size past its element.
 */
VQX_RESULT VQCmcLibMsgCopyMediaProfile(VQCMC_LIB_HANDLE hLib, const _VQCMC_MEDIA_PROFILE* pSrc,
                                       VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pDst, VQX_MSG_HANDLE hSrcMsg);

/*
 * Leg attributes: the fixed fields, then the media profile from pProfile
 * (null: the source's own; given, it lies in hSrcMsg when that is given).
 * The profile is skipped when it is the destination's own.
 */
VQX_RESULT VQCmcLibMsgCopyMediaOnlyLegAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pSrc,
                                                VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pDst,
                                                const _VQCMC_MEDIA_PROFILE* pProfile, VQX_MSG_HANDLE hSrcMsg);
VQX_RESULT VQCmcLibMsgCopyCallLegAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_CALL_LEG_ATTRIBUTE* pSrc,
                                           VQX_MSG_HANDLE hDstMsg, _VQCMC_CALL_LEG_ATTRIBUTE* pDst,
                                           const _VQCMC_MEDIA_PROFILE* pProfile, VQX_MSG_HANDLE hSrcMsg);
VQX_RESULT VQCmcLibMsgCopyCallLegAttributeUpdate(VQCMC_LIB_HANDLE hLib, const _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pSrc,
                                                 VQX_MSG_HANDLE hDstMsg, _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pDst,
                                                 VQX_MSG_HANDLE hSrcMsg);

/* Leg description: id and type, then the call-leg attribute and its update (type 1) or the media-only
 * attribute (type 2); other types nothing more. */
VQX_RESULT VQCmcLibMsgCopyLeg(VQCMC_LIB_HANDLE hLib, const _VQCMC_LEG* pSrc, VQX_MSG_HANDLE hDstMsg,
                              _VQCMC_LEG* pDst, VQX_MSG_HANDLE hSrcMsg);

/* Mixer description: the reserve-listener byte (0), the reserve-IVR byte (1) and the
 * reserved active-speaker slots (u32 at 8), the fields a mixer sync is read for; the
 * destination's other bytes are cleared. Source and destination may be the same. */
VQX_RESULT VQCmcLibMsgCopyMixer(VQCMC_LIB_HANDLE hLib, const _VQCMC_MIXER* pSrc, VQX_MSG_HANDLE hDstMsg,
                                _VQCMC_MIXER* pDst, VQX_MSG_HANDLE hSrcMsg);

/*
 * Profile alterations, appending to pProfile's element set in hDstMsg:
 * BySDP: the record compacted (2048 bytes of room), element type 3, the
 * state, the blob from offset 16. Name: an 80-byte element, type 2, the
 * value, the name by length, at most 63 characters and a NUL.
 */
VQX_RESULT VQCmcLibMsgAlterMediaProfileBySDP(VQCMC_LIB_HANDLE hLib, const _VQX_SDP_INFO* pSdp, u32 un32State,
                                             VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pProfile);
VQX_RESULT VQCmcLibMsgAlterMediaProfile(VQCMC_LIB_HANDLE hLib, const char* pszName, u32 un32Value,
                                        VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pProfile);

#endif
