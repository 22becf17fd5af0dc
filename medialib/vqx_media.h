/*
 * vqx_media.h - the media description library: build, pack, search, compare,
 * validate and byte-swap session descriptions (records of vqx_media_sdp.h).
 *
 * Plain functions, no threads, no locks, no global state: callers own every
 * record and buffer they pass. Results are the system's 32-bit result words
 * (vqx_result.h): 0x02000000 success, bit 31 set on failure. Functions that
 * accept "either form" tell a compact set or blob (first bytes F0 F1 F2 3F)
 * from an expanded record by VQXMediaLibIsCapabilitiesCompact.
 *
 * Compact forms are trusted only as far as their own size field (offset 4):
 * a caller hands a buffer holding at least that many bytes. Within it every
 * count and size is checked against the record's limits before use.
 *
 * The SDP text parser and generator build on this library and live in
 * parser/ (VQXMediaLibSdpParse2 and VQXMediaLibSdpParse are declared there).
 */
#ifndef VQX_MEDIA_H
#define VQX_MEDIA_H

#include "vqx_media_sdp.h"
#include "vqx_result.h"

/* Byte-order argument of the conversions: the values are readable as stored
 * on this host; any other value means the opposite order. */
#define VQX_MEDIA_ORDER_HOST 2u

/* Search direction modes: 0 and 6 any Direction; 1 usable for receiving
 * (any but send only); 2 usable for sending (any but receive only). */
#define VQX_MEDIA_MODE_ANY 0u
#define VQX_MEDIA_MODE_RECV 1u
#define VQX_MEDIA_MODE_SEND 2u
#define VQX_MEDIA_MODE_ANY2 6u

/* Rates of a capability: bit rate in bit/s (0 when unknown) and frame size
 * in bytes (0 when not fixed). */
struct _VQX_MEDIA_RATES {
  u32 un32NbRates;
  u32 un32Reserved;
  struct {
    u32 un32BitRate;
    u32 un32FrameSize;
  } aRates[4];
};

/* ---- Record (media_types.cpp) ---- */

/* Significant bytes of a capability, header included, from its media type:
 * 119: 40 + configuration length (byte 33); 768..770: 29 + text length;
 * unknown codes 24. Never above 296. */
u32 VQXMediaLibGetCapabilityStructSize(const _VQX_MEDIA_CAP* pCap);

/* ---- Compact forms (media_compact.cpp) ---- */

/* 1 when p starts with F0 F1 F2 3F, else 0 (also for null). */
u32 VQXMediaLibIsCapabilitiesCompact(const void* p);

/*
 * Packs the capability set of pRecord into pDst (un32Size bytes, 4-byte
 * aligned). On return the size field (offset 4, written only when un32Size is
 * at least 8) holds the set's size on success and 28 on failure.
 * 0x82000009 null argument; 0x8200000A misaligned or under 28 bytes, or
 * counts beyond the record's limits; 0x8200001A too small.
 */
VQX_RESULT VQXMediaLibCapabilitiesCompact(const _VQX_SDP_INFO* pRecord, u32 un32Size,
                                          _VQX_MEDIA_CAPABILITIES_COMPACT* pDst);
/*
 * Unpacks a compact set into the capability part of pRecord; fields the set
 * does not carry keep their contents. Nothing is written on failure:
 * 0x82000009 null argument; 0x8200001A the set is shorter than its contents;
 * 0x8200000A counts or a capability size beyond the record's limits.
 */
VQX_RESULT VQXMediaLibCapabilitiesExpand(const _VQX_MEDIA_CAPABILITIES_COMPACT* pSrc, _VQX_SDP_INFO* pRecord);

/* Packs a whole record (size field 84 on failure; 0x8200000A under 84 bytes,
 * misaligned, counts beyond the limits, connections included, or a connection
 * whose text travels as text - address types 1 and 2, a numeric entry that is
 * no dotted IPv4 address - longer than the 8 characters its entry holds, such
 * as the parser's "dns_off:" offset of a host name or IPv6 address). */
VQX_RESULT VQXMediaLibSdpInfoCompact(const _VQX_SDP_INFO* pRecord, u32 un32Size, _VQX_SDP_INFO_COMPACT* pDst);
/* Unpacks a whole blob; the capability set's failure is returned and then
 * nothing is written. Results as VQXMediaLibCapabilitiesExpand. */
VQX_RESULT VQXMediaLibSdpInfoExpand(const _VQX_SDP_INFO_COMPACT* pSrc, _VQX_SDP_INFO* pRecord);

/* ---- Descriptions, connections, capabilities (media_desc.cpp) ---- */

/* Next description slot of the last group (group count 0 becomes 1), cleared.
 * 0x82000009 null record; 0x82000008 the group holds 8 already; 0x8200000A
 * a group count above 2. *ppDesc (when given) receives the slot. */
VQX_RESULT VQXMediaLibMediaDescCreate(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP** ppDesc);
/* Walks the descriptions of pGroup (null: group 0, nothing without groups).
 * *ppCursor null gives the first slot (also of an empty group), else the next
 * one within the group's count; a cursor or group not of this record gives
 * null. Always 0x02000000 (0x82000009 for a null record or cursor pointer). */
VQX_RESULT VQXMediaLibMediaDescGetNext(_VQX_SDP_INFO* pRecord, _VQX_MEDIA_CAP_GROUP* pGroup,
                                       _VQX_SIMULTANEOUS_CAP** ppCursor);
/* Choice *pun32Counter of pDesc (then counter + 1); null at the end, and
 * 0x8200000A when the counter is past the choice count. A choice whose index
 * is not below the capability count ends the walk. */
VQX_RESULT VQXMediaLibMediaDescCapabilityGetNext2(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP* pDesc,
                                                  u32* pun32Counter, _VQX_MEDIA_CAP** ppCap);
/* The capability of the choice after the one holding *ppCap (null: choice 0);
 * 0x8200000A for a cursor that is not a capability of the table. */
VQX_RESULT VQXMediaLibMediaDescCapabilityGetNext(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP* pDesc,
                                                 _VQX_MEDIA_CAP** ppCap);
VQX_RESULT VQXMediaLibMediaDescConnectionGet(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP* pDesc,
                                             _VQX_SDP_CONNECTION** ppConn);
VQX_RESULT VQXMediaLibSdpSessionConnectionGet(_VQX_SDP_INFO* pRecord, _VQX_SDP_CONNECTION** ppConn);
/* Copies pConn into slot 0 and counts one more connection (callers add the
 * session connection first); 0x82000008 with 8 connections already. */
VQX_RESULT VQXMediaLibSdpSessionConnectionAdd(_VQX_SDP_INFO* pRecord, const _VQX_SDP_CONNECTION* pConn);
/* Appends pConn and points pDesc at it; 0x82000008 with 8 already. */
VQX_RESULT VQXMediaLibMediaDescConnectionAdd(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP* pDesc,
                                             const _VQX_SDP_CONNECTION* pConn);
/* Gives description 0 of group 0 a new all-zero connection (a full table is
 * not reported) and returns it; counts are not changed. */
VQX_RESULT VQXMediaLibMediaDescCreateDefault(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP** ppDesc);
/*
 * Adds pCap as the last choice of pDesc, reusing a capability equal in all 296
 * bytes. 0x8200000E it is already a choice; 0x82000008 the description has 32
 * choices or the table 32 capabilities (nothing changed); 0x8200000A pDesc is
 * not a description of the record.
 */
VQX_RESULT VQXMediaLibMediaDescCapabilityAdd(_VQX_SDP_INFO* pRecord, _VQX_SIMULTANEOUS_CAP* pDesc,
                                             const _VQX_MEDIA_CAP* pCap);
/* Merges the capabilities of pRecord into every description of pOther whose
 * main capability is of the same class (audio or video); new ones are copied
 * with Direction 4. 0x82000001 for a missing argument or pOther without groups. */
VQX_RESULT VQXMediaLibMediaDescCapabilityAddAfter(const _VQX_SDP_INFO* pRecord, _VQX_SDP_INFO* pOther);
/* When every capability is receive only (1), all become 4. */
void VQXMediaLibSdpDuplicateRxAsTx(_VQX_SDP_INFO* pRecord);
/* Receive only and send only swap places; other directions stay. */
void VQXMediaLibInverseCapabilitiesDirection(_VQX_SDP_INFO* pRecord);
/* Gives RTP capabilities from index un32NbFixed (8 bits) on without a valid
 * payload type one of 96..127 (101 and 100 kept for telephone-event and NSE).
 * 0x82000001 for a null record. */
VQX_RESULT VQXMediaLibAssignDynamicPayloadTypes(_VQX_SDP_INFO* pRecord, u32 un32NbFixed);

/* ---- Text (media_text.cpp) ---- */

/* "( PCMU or G729AB ) / ( IFP )": the choices of each description of group 0.
 * *pun16Length: buffer size in, text length out. 0x82000009 missing text or
 * length. The first form accepts a compact set too. */
VQX_RESULT VQXMediaLibCapabilitiesFormatCodecChoices(const void* pSet, char* pszText, u16* pun16Length);
VQX_RESULT VQXMediaLibCapabilitiesFormatCodecChoicesExpanded(const _VQX_SDP_INFO* pRecord, char* pszText,
                                                             u16* pun16Length);
/* "0-15,32": the set events of an 8-word bitmap into un32Size bytes;
 * 0x82000001 when an item does not fit (the items before it stay). */
VQX_RESULT VQXMediaLibSdpFormatNseEventList(const u32* pun32Bitmap, u32 un32Size, char* pszText);
VQX_RESULT VQXMediaLibSdpFormatRFC2833EventList(const u32* pun32Bitmap, u32 un32Size, char* pszText);

/* ---- Search (media_search.cpp) ---- */

/* Searches walk groups, descriptions and choices in order; a position is the
 * choice's 0-based rank in that walk. Found: 0x02000000; none: 0x82000015
 * with the outputs null and position 0xFFFFFFFF; 0x82000009 null set. Type
 * 70 / 71 stand for the audio / video class. Pointers returned for a compact
 * set point into it. */
VQX_RESULT VQXMediaFindFirstCap(const _VQX_SDP_INFO* pRecord, u32 un32Type, u32 un32Mode,
                                const _VQX_MEDIA_CAP** ppCap, const _VQX_SIMULTANEOUS_CAP** ppDesc,
                                u32* pun32Position);
/* Either form; *ppPort points at the description's port, followed by its
 * setup direction. On a compact set type 0xFFFFFFFF means any type. */
VQX_RESULT VQXMediaFindFirstCap2(const void* pSet, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP** ppCap,
                                 const u16** ppPort, u32* pun32Position);
u32 VQXMediaCapabilityExist(const void* pSet, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP** ppCap);
/* Exact type; with a template and a non-zero length, the bytes from 24 where
 * the mask (296 bytes, capability layout) is non-zero must equal the
 * template's (a whole 296-byte capability). Without a mask the type's default mask and length are used. */
VQX_RESULT VQXMediaFindCapWithParams(const void* pSet, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP* pTemplate,
                                     const void* pMask, u32 un32Length, const _VQX_MEDIA_CAP** ppCap,
                                     const u16** ppPort, u32* pun32Position);
VQX_RESULT VQXMediaFindCapWithParamsExpanded(const void* pSet, u32 un32Type, u32 un32Mode,
                                             const _VQX_MEDIA_CAP* pTemplate, const void* pMask, u32 un32Length,
                                             const _VQX_MEDIA_CAP** ppCap, const u16** ppPort, u32* pun32Position);
VQX_RESULT VQXMediaFindCapWithParamsCompact(const void* pSet, u32 un32Type, u32 un32Mode,
                                            const _VQX_MEDIA_CAP* pTemplate, const void* pMask, u32 un32Length,
                                            const _VQX_MEDIA_CAP** ppCap, const u16** ppPort, u32* pun32Position);
/* First RTP capability in table order with that payload type. */
VQX_RESULT VQXMediaFindCapByPayloadType(const void* pSet, u32 un32PayloadType, const _VQX_MEDIA_CAP** ppCap);
/* Stored capability number un32Index (8 bits) of a compact set, or null. */
VQX_RESULT VQXMediaFindCapByIndex(const void* pCompactSet, u32 un32Index, const _VQX_MEDIA_CAP** ppCap);
/* Number of the stored capability starting at pCap; 255 when none. */
VQX_RESULT VQXMediaGetCapIndex(const void* pCompactSet, const _VQX_MEDIA_CAP* pCap, u8* pun8Index);
/* The capability after pCurrent in table order (null: the first); null at the
 * end or for a pCurrent that is not a capability of the set. */
const _VQX_MEDIA_CAP* VQXMediaGetNextCapability(const void* pSet, const _VQX_MEDIA_CAP* pCurrent);

/* ---- Comparison and set difference (media_compare.cpp, media_not.cpp) ---- */

/* 1 when equal (padding ignored; Direction must be 1..4), else 0. Works on
 * cleared copies: the inputs are never written. */
u32 VQXMediaCapabilityCompare(const _VQX_MEDIA_CAP* pA, const _VQX_MEDIA_CAP* pB);
u32 VQXMediaCapabilitiesCompare(const void* pA, const void* pB);
u32 VQXMediaCapabilitiesCompareCompact(const void* pA, const void* pB);
/* Two whole descriptions, either forms (session id and version ignored). */
u32 VQXSDPInfoCompare(const void* pA, const void* pB);
/* Bit rates of a capability. Maximum bit rates of H.263 (34, 121), MPEG-4
 * (119) and H.264 (122) are stored in units of 100 bit/s and given here in
 * bit/s; their 0xFFFF ("none") gives 0. 0x82000009 for a null argument. */
VQX_RESULT VQXMediaGetRatesFromCapability(const _VQX_MEDIA_CAP* pCap, _VQX_MEDIA_RATES* pRates);
/* pOut (may be pA) = pA without the capabilities whose media type occurs in
 * pB; emptied descriptions and groups are removed. The first form accepts
 * compact sets for pA and pB. */
VQX_RESULT VQXMediaCapabilitiesNot(const void* pA, const void* pB, _VQX_SDP_INFO* pOut);
VQX_RESULT VQXMediaCapabilitiesNotExpanded(const _VQX_SDP_INFO* pA, const _VQX_SDP_INFO* pB, _VQX_SDP_INFO* pOut);
VQX_RESULT VQXMediaCapabilitiesRemoveEmptyGroups(_VQX_SDP_INFO* pRecord);

/* ---- Validation, repair, byte order, data points (media_validate.cpp,
 *      media_swap.cpp, media_datapoint.cpp) ---- */

#define VQX_MEDIA_VALIDATE_TEXT_SIZE 256u
/* 0x02000000; 0x82000006 structure fault; 0x8200000A capability fault.
 * pszText (VQX_MEDIA_VALIDATE_TEXT_SIZE bytes, may be null) explains the
 * first fault; a type other than T.38 over UDPTL has no explanation (and its
 * capability none of a further fault, such as an invalid type). pSdpInfo (or
 * null) gives the connections to check against. */
VQX_RESULT VQXMediaValidateCapabilitiesExpanded(const _VQX_SDP_INFO* pRecord, const _VQX_SDP_INFO* pSdpInfo,
                                                char* pszText);
VQX_RESULT VQXMediaValidateCapabilities(const void* pSet, const void* pSdpInfo, char* pszText);
/* Removes capabilities of type 0xFFFFFFFF, then validates; a compact set is
 * repaired on a copy and itself left unchanged. */
VQX_RESULT VQXMediaRepairCapabilities(void* pSet, char* pszText);

/* Conversions (source, destination, source order, destination order); the
 * destination may be the source. Fields and widths: docs/medialib-byte-order.md. */
VQX_RESULT VQXMediaCapabilitySwap(const _VQX_MEDIA_CAP* pSrc, _VQX_MEDIA_CAP* pDst, u32 un32SrcOrder,
                                  u32 un32DstOrder);
VQX_RESULT VQXMediaCapabilitiesExpandedSwap(const _VQX_SDP_INFO* pSrc, _VQX_SDP_INFO* pDst, u32 un32SrcOrder,
                                            u32 un32DstOrder);
VQX_RESULT VQXMediaCapabilitiesCompactSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder);
VQX_RESULT VQXMediaSDPInfoCompactSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder);
/* Either form; 0x82000013 and nothing written when the two buffers are not
 * of the same form (a compact destination must already carry the magic). */
VQX_RESULT VQXMediaSDPInfoSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder);
VQX_RESULT VQXMediaCapabilitiesSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder);

/* Media server data points (224 bytes; docs/media-data-point.md): the bytes,
 * then the element sets they name duplicated into pMsg. The output copy
 * refuses a set count at 28 above 8 (0x8200000A, nothing written). */
#define VQX_MEDIA_DATA_POINT_SIZE 224u
VQX_RESULT VQXMediaServerCopyInputDataPoint(void* pvContext, const void* pSrc, void* pMsg, void* pDst);
VQX_RESULT VQXMediaServerCopyOutputDataPoint(void* pvContext, const void* pSrc, void* pMsg, void* pDst);

#endif
