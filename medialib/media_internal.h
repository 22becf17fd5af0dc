/*
 * media_internal.h - what the files of the media description library share
 * and nobody else uses: the media type table, the byte readers, the bounded
 * view of a compact capability set or blob, and the (bytes, length) forms of
 * the operations that the public calls wrap and the fuzz targets drive.
 *
 * A compact form is opened once into a view: every count, size and offset is
 * checked there against the bytes given and the record's limits, so the walks
 * that follow index only what the view vouches for.
 */
#ifndef MEDIA_INTERNAL_H
#define MEDIA_INTERNAL_H

#include <cstring>
#include <string>

#include "vqx_media.h"

/* ---- media type table ---- */

enum VqxMediaClass : u8 { VQX_MEDIA_CLASS_NONE = 0, VQX_MEDIA_CLASS_AUDIO = 1, VQX_MEDIA_CLASS_VIDEO = 2 };

struct VqxMediaTypeRow {
  u32 un32Code;
  const char* pszName;  /* display name of the codec-choice text */
  VqxMediaClass eClass; /* class of the 70 / 71 searches */
  const char* pszMWord; /* media word of an m= line led by this type */
  u16 un16Size;         /* significant bytes; 119 and 768..770 add a length */
};

/* The row of a code; the "Unknown" row (size 24) for codes not in the table. */
const VqxMediaTypeRow& VqxMediaTypeLookup(u32 un32Code);
inline bool VqxMediaIsAudio(u32 un32Code) { return VqxMediaTypeLookup(un32Code).eClass == VQX_MEDIA_CLASS_AUDIO; }
inline bool VqxMediaIsVideo(u32 un32Code) { return VqxMediaTypeLookup(un32Code).eClass == VQX_MEDIA_CLASS_VIDEO; }
/* Whether a candidate of that code answers a search for un32Wanted (70 and 71
 * stand for their class). */
bool VqxMediaTypeMatches(u32 un32Wanted, u32 un32Code);
/* Whether a capability of that Direction is usable in the search mode. */
bool VqxMediaModeAccepts(u32 un32Mode, u32 un32Direction);

/* ---- byte access (any alignment) ---- */

inline u16 VqxLoad16(const void* p) { u16 v; std::memcpy(&v, p, 2); return v; }
inline u32 VqxLoad32(const void* p) { u32 v; std::memcpy(&v, p, 4); return v; }
inline u64 VqxLoad64(const void* p) { u64 v; std::memcpy(&v, p, 8); return v; }
inline void VqxStore16(void* p, u16 v) { std::memcpy(p, &v, 2); }
inline void VqxStore32(void* p, u32 v) { std::memcpy(p, &v, 4); }
inline void VqxStore64(void* p, u64 v) { std::memcpy(p, &v, 8); }
/* Reads in host order (fHost) or in the opposite order. */
inline u16 VqxLoad16Order(const void* p, bool fHost) { u16 v = VqxLoad16(p); return fHost ? v : __builtin_bswap16(v); }
inline u32 VqxLoad32Order(const void* p, bool fHost) { u32 v = VqxLoad32(p); return fHost ? v : __builtin_bswap32(v); }
inline u32 VqxRound4(u32 n) { return (n + 3u) & ~3u; }
inline u32 VqxRound8(u32 n) { return (n + 7u) & ~7u; }

/* Counts of an expanded record cut at the record's limits, so that walks over
 * a record from outside never leave its arrays. */
inline u32 VqxNbCaps(const _VQX_SDP_INFO* p) { return p->un8NbMediaCapabilities < VQX_MEDIA_MAX_CAPS ? p->un8NbMediaCapabilities : VQX_MEDIA_MAX_CAPS; }
inline u32 VqxNbGroups(const _VQX_SDP_INFO* p) { return p->un8NbCapabilityGroups < VQX_MEDIA_MAX_GROUPS ? p->un8NbCapabilityGroups : VQX_MEDIA_MAX_GROUPS; }
inline u32 VqxNbDescs(const _VQX_MEDIA_CAP_GROUP& g) { return g.un8NbSimultaneousCap < VQX_MEDIA_MAX_DESCS ? g.un8NbSimultaneousCap : VQX_MEDIA_MAX_DESCS; }
inline u32 VqxNbChoices(const _VQX_SIMULTANEOUS_CAP& d) { return d.un8NbChoices < VQX_MEDIA_MAX_CHOICES ? d.un8NbChoices : VQX_MEDIA_MAX_CHOICES; }
/* Whether two capabilities are equal byte for byte. Their first 16 bytes
 * (direction, transport type, payload type) settle most comparisons, which
 * the record's de-duplication makes once per stored capability. */
inline bool VqxSameCap(const _VQX_MEDIA_CAP& a, const _VQX_MEDIA_CAP& b) {
  const u8* pa = reinterpret_cast<const u8*>(&a);
  const u8* pb = reinterpret_cast<const u8*>(&b);
  return VqxLoad64(pa) == VqxLoad64(pb) && VqxLoad64(pa + 8) == VqxLoad64(pb + 8) &&
         std::memcmp(pa + 16, pb + 16, sizeof a - 16) == 0;
}

/* ---- compact layout ---- */

#define VQX_MEDIA_COMPACT_MAGIC "\xF0\xF1\xF2\x3F"
#define VQX_MEDIA_CSET_OFF_SIZE 4u
#define VQX_MEDIA_CSET_OFF_DEFAULT1 8u  /* u32 type, u8 direction, u8 payload type, u16 port */
#define VQX_MEDIA_CSET_OFF_DEFAULT2 16u
#define VQX_MEDIA_CSET_OFF_NBCAPS_COPY 24u
#define VQX_MEDIA_CSET_HEADER 28u       /* alignment inside the set counts from here */
#define VQX_MEDIA_CSET_DESC_ENTRY 8u    /* choices, conn, redundant conn, ports, u16 port, u16 setup */
#define VQX_MEDIA_CSET_DESC_OFF_PORT 4u
#define VQX_MEDIA_BLOB_OFF_IPV4_0 8u
#define VQX_MEDIA_BLOB_OFF_IPV4_1 12u
#define VQX_MEDIA_BLOB_OFF_SET 56u
#define VQX_MEDIA_BLOB_HEADER 84u       /* 56 + the set's 28-byte header */
#define VQX_MEDIA_BLOB_CONN_BLOCK 32u   /* spare, count, 6, u64 id at 8, u64 version at 16, 8 */
#define VQX_MEDIA_BLOB_CONN_SHORT 8u    /* u32 IPv4 as stored, addresses, ttl, type, 1 */
#define VQX_MEDIA_BLOB_CONN_TEXT 16u    /* u32 0, addresses, ttl, type, text at 7..15 */
#define VQX_MEDIA_BLOB_TEXT_MAX 8u

/* A compact capability set, checked. Offsets are from the set's first byte. */
struct VqxMediaCompactSet {
  const u8* pBytes;
  u32 un32Size;          /* the set's size field, within the bytes given */
  u32 un32NbCaps, un32NbGroups;
  u32 aun32NbDescs[VQX_MEDIA_MAX_GROUPS];
  u32 un32DescOffset;    /* first 8-byte description entry */
  u32 un32NbDescEntries;
  u32 un32ChoiceOffset;  /* first choice byte */
  u32 un32NbChoices;     /* all descriptions together (up to 512) */
  u32 aun32CapOffset[VQX_MEDIA_MAX_CAPS]; /* capability bytes (after the size word) */
  u32 aun32CapSize[VQX_MEDIA_MAX_CAPS];

  const u8* Desc(u32 un32Entry) const { return pBytes + un32DescOffset + un32Entry * VQX_MEDIA_CSET_DESC_ENTRY; }
  const u8* Cap(u32 i) const { return pBytes + aun32CapOffset[i]; }
  /* A capability word at un32Off, 0 past its stored size. */
  u32 CapWord(u32 i, u32 un32Off) const { return un32Off + 4 <= aun32CapSize[i] ? VqxLoad32(Cap(i) + un32Off) : 0; }
  /* Whether the stored capability carries its media type (a stored size
   * under 28 does not): such an entry answers no typed search. */
  bool CapTyped(u32 i) const { return aun32CapSize[i] >= 28; }
  /* A zero-filled 296-byte copy of capability i. */
  void CapCopy(u32 i, _VQX_MEDIA_CAP* pOut) const;
};

/*
 * Opens the set at pBytes, of which un64Length bytes may be read; fHost says
 * the multi-byte fields read as stored. 0x8200001A: shorter than the size
 * field or than its contents claim; 0x8200000A: counts or a capability size
 * beyond the record's limits.
 */
VQX_RESULT VqxMediaCompactSetOpen(VqxMediaCompactSet& set, const u8* pBytes, u64 un64Length, bool fHost);

struct VqxMediaCompactBlob {
  const u8* pBytes;
  u32 un32Size;
  VqxMediaCompactSet set; /* offsets from the set's start (blob offset 56) */
  u32 un32BlockOffset;    /* connection block, from the blob's start */
  u32 un32NbConnections;  /* the stored count cut at 8 */
  u32 aun32ConnOffset[VQX_MEDIA_MAX_CONNECTIONS];
};
VQX_RESULT VqxMediaCompactBlobOpen(VqxMediaCompactBlob& blob, const u8* pBytes, u64 un64Length, bool fHost);

/* The size field of a compact form given by a caller (who vouches for it). */
inline u32 VqxMediaCompactSize(const void* p, bool fHost = true) {
  return VqxLoad32Order(static_cast<const u8*>(p) + VQX_MEDIA_CSET_OFF_SIZE, fHost);
}

/* (bytes, length) forms of the public calls. */
VQX_RESULT VqxMediaCapabilitiesExpandBytes(const u8* pBytes, u64 un64Length, _VQX_SDP_INFO* pRecord);
VQX_RESULT VqxMediaSdpInfoExpandBytes(const u8* pBytes, u64 un64Length, _VQX_SDP_INFO* pRecord);
void VqxMediaExpandSet(const VqxMediaCompactSet& set, _VQX_SDP_INFO* pRecord);

/* The shape of a record's capability set in one line, for tests and
 * debugging: "caps 18 0; g0 {0 1} {0}; g1 {1}" (media types in table order,
 * then per group each description's choice indexes). Counts are cut at the
 * record's limits. */
std::string VqxMediaDumpSet(const _VQX_SDP_INFO& r);

/* Compares two capabilities of za and zb significant bytes (zero-filled
 * copies; the inputs are only read). */
u32 VqxMediaCapCompareBytes(const u8* pA, u32 za, const u8* pB, u32 zb);

/* Converts the capability at p (un32Length bytes held; fields beyond are left)
 * in place from the source order (fSrcHost) to the opposite one. */
VQX_RESULT VqxMediaCapSwapInPlace(u8* p, u32 un32Length, bool fSrcHost);

#endif
