/*
 * media_compact.cpp - packing a record into the compact set and blob that
 * messages carry, and unpacking them.
 *
 * Layout of the set (offsets from its start; alignment counted from 28):
 *   0 magic F0 F1 F2 3F | 4 u32 size S | 8 default 1 {u32 type, u8 dir,
 *   u8 payload type, u16 port} | 16 default 2 | 24 u8 capability count |
 *   28 u8 N, u8 G, 2 | 32 G group bytes, to a multiple of 4 | 8 bytes per
 *   description | the choice bytes, to a multiple of 4 | to a multiple of 8 |
 *   per capability: u32 z, z bytes.
 * The blob: magic, u32 total, two IPv4 words, 40 bytes, the set at 56, a
 * 32-byte connection block, the connection entries, to a multiple of 8 from 84.
 *
 * Reading goes through VqxMediaCompactSetOpen / VqxMediaCompactBlobOpen only:
 * a set is checked whole before one byte of the record is written.
 */
#include <arpa/inet.h>

#include "media_internal.h"

namespace {

/* Writer over the destination: every piece is checked against the room. */
class VqxMediaWriter {
 public:
  VqxMediaWriter(u8* p, u32 un32Size) : mp(p), mun32Size(un32Size) {}
  bool Fits(u32 un32Off, u32 un32Count) const { return un32Off <= mun32Size && un32Count <= mun32Size - un32Off; }
  u8* At(u32 un32Off) const { return mp + un32Off; }

 private:
  u8* mp;
  u32 mun32Size;
};

/* Default capability slot: choice 0 of description un32Desc of group 0. */
void VqxWriteDefaultSlot(const _VQX_SDP_INFO* r, u32 un32Desc, u8* pSlot) {
  const _VQX_MEDIA_CAP_GROUP& g = r->aCapGroups[0];
  if (g.un8NbSimultaneousCap > un32Desc) {
    const _VQX_SIMULTANEOUS_CAP& d = g.aSimultaneousCap[un32Desc];
    const u32 i = d.aMediaCapChoices[0].un8CapIdx;
    if (i < r->un8NbMediaCapabilities) {
      const _VQX_MEDIA_CAP& c = r->aMediaCap[i];
      VqxStore32(pSlot, c.Encoding.MediaType);
      pSlot[4] = static_cast<u8>(c.Direction);
      pSlot[5] = static_cast<u8>(c.Transport.Rtp.un32PayloadType);
      VqxStore16(pSlot + 6, d.un16Port);
      return;
    }
  }
  VqxStore32(pSlot, VQX_MEDIA_TYPE_INVALID);
  std::memset(pSlot + 4, 0, 4);
}

/* Counts that would make the packer read past the record. */
bool VqxRecordCountsFit(const _VQX_SDP_INFO* r) {
  if (r->un8NbCapabilityGroups > VQX_MEDIA_MAX_GROUPS || r->un8NbMediaCapabilities > VQX_MEDIA_MAX_CAPS) return false;
  for (u32 g = 0; g < r->un8NbCapabilityGroups; ++g) {
    const _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    if (grp.un8NbSimultaneousCap > VQX_MEDIA_MAX_DESCS) return false;
    for (u32 d = 0; d < grp.un8NbSimultaneousCap; ++d)
      if (grp.aSimultaneousCap[d].un8NbChoices > VQX_MEDIA_MAX_CHOICES) return false;
  }
  return true;
}

/* Stored size of a capability: its significant bytes, but never fewer than
 * the 28 that hold its media type (types whose size is 24 would otherwise
 * arrive with whatever type the receiver's record held), to a multiple of 8. */
u32 VqxStoredCapSize(const _VQX_MEDIA_CAP& c) {
  const u32 un32Size = VQXMediaLibGetCapabilityStructSize(&c);
  return VqxRound8(un32Size < 28 ? 28 : un32Size);
}

VQX_RESULT VqxPackSet(const _VQX_SDP_INFO* r, u32 un32Size, u8* pDst) {
  if (un32Size < VQX_MEDIA_CSET_HEADER || !VqxRecordCountsFit(r)) return VQX_RESULT_INVALID_PARAM;
  std::memcpy(pDst, VQX_MEDIA_COMPACT_MAGIC, 4);
  VqxStore32(pDst + VQX_MEDIA_CSET_OFF_SIZE, 0);
  VqxWriteDefaultSlot(r, 0, pDst + VQX_MEDIA_CSET_OFF_DEFAULT1);
  VqxWriteDefaultSlot(r, 1, pDst + VQX_MEDIA_CSET_OFF_DEFAULT2);
  pDst[VQX_MEDIA_CSET_OFF_NBCAPS_COPY] = r->un8NbMediaCapabilities;

  /* From here offsets count from 28. */
  const VqxMediaWriter w(pDst + VQX_MEDIA_CSET_HEADER, un32Size - VQX_MEDIA_CSET_HEADER);
  const u32 G = r->un8NbCapabilityGroups;
  u32 off = 0;
  if (!w.Fits(off, 4 + VqxRound4(G))) return VQX_RESULT_BUFFER_TOO_SMALL;
  w.At(0)[0] = r->un8NbMediaCapabilities;
  w.At(0)[1] = static_cast<u8>(G);
  for (u32 g = 0; g < G; ++g) w.At(4)[g] = r->aCapGroups[g].un8NbSimultaneousCap;
  off = 4 + VqxRound4(G);

  u32 un32Choices = 0;
  for (u32 g = 0; g < G; ++g) {
    const _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    for (u32 d = 0; d < grp.un8NbSimultaneousCap; ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      if (!w.Fits(off, VQX_MEDIA_CSET_DESC_ENTRY)) return VQX_RESULT_BUFFER_TOO_SMALL;
      u8* e = w.At(off);
      e[0] = desc.un8NbChoices;
      e[1] = desc.un8ConnectionIdx;
      e[2] = desc.un8RedundantConnectionIdx;
      e[3] = desc.un8NbPorts;
      VqxStore16(e + 4, desc.un16Port);
      VqxStore16(e + 6, desc.un16SetupDirection);
      off += VQX_MEDIA_CSET_DESC_ENTRY;
      un32Choices += desc.un8NbChoices;
    }
  }
  if (!w.Fits(off, VqxRound4(un32Choices))) return VQX_RESULT_BUFFER_TOO_SMALL;
  for (u32 g = 0; g < G; ++g) {
    const _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    for (u32 d = 0; d < grp.un8NbSimultaneousCap; ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      for (u32 c = 0; c < desc.un8NbChoices; ++c) w.At(off)[c] = desc.aMediaCapChoices[c].un8CapIdx;
      off += desc.un8NbChoices;
    }
  }
  off = VqxRound8(VqxRound4(off));
  if (!w.Fits(0, off)) return VQX_RESULT_BUFFER_TOO_SMALL;

  for (u32 i = 0; i < r->un8NbMediaCapabilities; ++i) {
    const _VQX_MEDIA_CAP& c = r->aMediaCap[i];
    const u32 z = VqxStoredCapSize(c);
    if (!w.Fits(off, 4) || !w.Fits(off + 4, z)) return VQX_RESULT_BUFFER_TOO_SMALL;
    VqxStore32(w.At(off), z);
    std::memcpy(w.At(off + 4), &c, z);
    off += 4 + z;
  }
  VqxStore32(pDst + VQX_MEDIA_CSET_OFF_SIZE, VQX_MEDIA_CSET_HEADER + off);
  return VQX_RESULT_OK;
}

/* A bounded copy of a connection's address text. */
void VqxAddressText(const _VQX_SDP_CONNECTION& c, char (&sz)[sizeof c.szAddress + 1]) {
  std::memcpy(sz, c.szAddress, sizeof c.szAddress);
  sz[sizeof c.szAddress] = '\0';
}

/* Network-order IPv4 word of a dotted address; false for any other text. */
bool VqxDottedIpv4(const char* psz, u32& un32Addr) {
  in_addr a{};
  if (inet_pton(AF_INET, psz, &a) != 1) return false;
  un32Addr = a.s_addr;
  return true;
}

/* "a.b.c.d" of four address bytes, the text "%u.%u.%u.%u" gives (at most
 * 15 characters and the NUL), without the cost of a formatted print. */
void VqxFormatDotted(const u8* pbyAddr, char* psz) {
  for (u32 i = 0; i < 4; ++i) {
    u32 v = pbyAddr[i];
    if (v >= 100) {
      *psz++ = static_cast<char>('0' + v / 100);
      v %= 100;
      *psz++ = static_cast<char>('0' + v / 10);
    } else if (v >= 10) {
      *psz++ = static_cast<char>('0' + v / 10);
    }
    *psz++ = static_cast<char>('0' + v % 10);
    *psz++ = i < 3 ? '.' : '\0';
  }
}

}  // namespace

void VqxMediaCompactSet::CapCopy(u32 i, _VQX_MEDIA_CAP* pOut) const {
  std::memset(pOut, 0, sizeof *pOut);
  std::memcpy(pOut, Cap(i), aun32CapSize[i]);
}

VQX_RESULT VqxMediaCompactSetOpen(VqxMediaCompactSet& s, const u8* p, u64 un64Length, bool fHost) {
  /* Only the counts need clearing: the arrays are read below the counts. */
  s.pBytes = p;
  s.un32Size = s.un32NbCaps = s.un32NbGroups = s.un32NbDescEntries = s.un32NbChoices = 0;
  s.un32DescOffset = s.un32ChoiceOffset = 0;
  if (p == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un64Length < VQX_MEDIA_CSET_OFF_SIZE + 4) return VQX_RESULT_BUFFER_TOO_SMALL;
  s.un32Size = VqxLoad32Order(p + VQX_MEDIA_CSET_OFF_SIZE, fHost);
  if (s.un32Size > un64Length || s.un32Size < VQX_MEDIA_CSET_HEADER + 4) return VQX_RESULT_BUFFER_TOO_SMALL;
  const u32 room = s.un32Size - VQX_MEDIA_CSET_HEADER;
  const u8* b = p + VQX_MEDIA_CSET_HEADER; /* offsets below count from 28 */
  auto fits = [room](u32 off, u32 n) { return off <= room && n <= room - off; };

  s.un32NbCaps = b[0];
  s.un32NbGroups = b[1];
  if (s.un32NbCaps > VQX_MEDIA_MAX_CAPS || s.un32NbGroups > VQX_MEDIA_MAX_GROUPS) return VQX_RESULT_INVALID_PARAM;
  u32 off = 4 + VqxRound4(s.un32NbGroups);
  if (!fits(0, off)) return VQX_RESULT_BUFFER_TOO_SMALL;
  for (u32 g = 0; g < s.un32NbGroups; ++g) {
    s.aun32NbDescs[g] = b[4 + g];
    if (s.aun32NbDescs[g] > VQX_MEDIA_MAX_DESCS) return VQX_RESULT_INVALID_PARAM;
    s.un32NbDescEntries += s.aun32NbDescs[g];
  }
  s.un32DescOffset = VQX_MEDIA_CSET_HEADER + off;
  if (!fits(off, s.un32NbDescEntries * VQX_MEDIA_CSET_DESC_ENTRY)) return VQX_RESULT_BUFFER_TOO_SMALL;
  for (u32 e = 0; e < s.un32NbDescEntries; ++e) {
    const u32 n = b[off + e * VQX_MEDIA_CSET_DESC_ENTRY];
    if (n > VQX_MEDIA_MAX_CHOICES) return VQX_RESULT_INVALID_PARAM;
    s.un32NbChoices += n;
  }
  off += s.un32NbDescEntries * VQX_MEDIA_CSET_DESC_ENTRY;
  s.un32ChoiceOffset = VQX_MEDIA_CSET_HEADER + off;
  if (!fits(off, VqxRound4(s.un32NbChoices))) return VQX_RESULT_BUFFER_TOO_SMALL;
  off = VqxRound8(off + VqxRound4(s.un32NbChoices));
  if (!fits(0, off)) return VQX_RESULT_BUFFER_TOO_SMALL;
  for (u32 i = 0; i < s.un32NbCaps; ++i) {
    if (!fits(off, 4)) return VQX_RESULT_BUFFER_TOO_SMALL;
    const u32 z = VqxLoad32Order(b + off, fHost);
    if (z > sizeof(_VQX_MEDIA_CAP)) return VQX_RESULT_INVALID_PARAM;
    if (!fits(off + 4, VqxRound4(z))) return VQX_RESULT_BUFFER_TOO_SMALL;
    s.aun32CapOffset[i] = VQX_MEDIA_CSET_HEADER + off + 4;
    s.aun32CapSize[i] = z;
    off += 4 + VqxRound4(z);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMediaCompactBlobOpen(VqxMediaCompactBlob& blob, const u8* p, u64 un64Length, bool fHost) {
  blob.pBytes = p;
  blob.un32Size = blob.un32BlockOffset = blob.un32NbConnections = 0;
  if (p == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un64Length < VQX_MEDIA_CSET_OFF_SIZE + 4) return VQX_RESULT_BUFFER_TOO_SMALL;
  blob.un32Size = VqxLoad32Order(p + VQX_MEDIA_CSET_OFF_SIZE, fHost);
  if (blob.un32Size > un64Length || blob.un32Size < VQX_MEDIA_BLOB_HEADER) return VQX_RESULT_BUFFER_TOO_SMALL;
  const VQX_RESULT r = VqxMediaCompactSetOpen(blob.set, p + VQX_MEDIA_BLOB_OFF_SET,
                                              blob.un32Size - VQX_MEDIA_BLOB_OFF_SET, fHost);
  if (VQX_RESULT_FAILED(r)) return r;
  u32 off = VQX_MEDIA_BLOB_OFF_SET + blob.set.un32Size;
  if (blob.un32Size - off < VQX_MEDIA_BLOB_CONN_BLOCK) return VQX_RESULT_BUFFER_TOO_SMALL;
  blob.un32BlockOffset = off;
  const u32 n = p[off + 1];
  blob.un32NbConnections = n < VQX_MEDIA_MAX_CONNECTIONS ? n : VQX_MEDIA_MAX_CONNECTIONS;
  off += VQX_MEDIA_BLOB_CONN_BLOCK;
  for (u32 i = 0; i < blob.un32NbConnections; ++i) {
    if (blob.un32Size - off < VQX_MEDIA_BLOB_CONN_SHORT) return VQX_RESULT_BUFFER_TOO_SMALL;
    const u8 un8Type = p[off + 6];
    const u32 un32Len = (un8Type == 1 || un8Type == 2) ? VQX_MEDIA_BLOB_CONN_TEXT : VQX_MEDIA_BLOB_CONN_SHORT;
    if (blob.un32Size - off < un32Len) return VQX_RESULT_BUFFER_TOO_SMALL;
    blob.aun32ConnOffset[i] = off;
    off += un32Len;
  }
  return VQX_RESULT_OK;
}

void VqxMediaExpandSet(const VqxMediaCompactSet& s, _VQX_SDP_INFO* r) {
  r->un8NbMediaCapabilities = static_cast<u8>(s.un32NbCaps);
  r->un8NbCapabilityGroups = static_cast<u8>(s.un32NbGroups);
  u32 e = 0;
  const u8* pChoice = s.pBytes + s.un32ChoiceOffset;
  for (u32 g = 0; g < s.un32NbGroups; ++g) {
    r->aCapGroups[g].un8NbSimultaneousCap = static_cast<u8>(s.aun32NbDescs[g]);
    for (u32 d = 0; d < s.aun32NbDescs[g]; ++d, ++e) {
      _VQX_SIMULTANEOUS_CAP& desc = r->aCapGroups[g].aSimultaneousCap[d];
      const u8* pEntry = s.Desc(e);
      desc.un8NbChoices = pEntry[0];
      desc.un8ConnectionIdx = pEntry[1];
      desc.un8RedundantConnectionIdx = pEntry[2];
      desc.un8NbPorts = pEntry[3];
      desc.un16Port = VqxLoad16(pEntry + 4);
      desc.un16SetupDirection = VqxLoad16(pEntry + 6);
      for (u32 c = 0; c < desc.un8NbChoices; ++c) desc.aMediaCapChoices[c].un8CapIdx = *pChoice++;
    }
  }
  for (u32 i = 0; i < s.un32NbCaps; ++i) std::memcpy(&r->aMediaCap[i], s.Cap(i), s.aun32CapSize[i]);
}

VQX_RESULT VqxMediaCapabilitiesExpandBytes(const u8* p, u64 un64Length, _VQX_SDP_INFO* r) {
  if (p == nullptr || r == nullptr) return VQX_RESULT_NULL_PARAM;
  VqxMediaCompactSet s;
  const VQX_RESULT res = VqxMediaCompactSetOpen(s, p, un64Length, true);
  if (VQX_RESULT_FAILED(res)) return res;
  VqxMediaExpandSet(s, r);
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMediaSdpInfoExpandBytes(const u8* p, u64 un64Length, _VQX_SDP_INFO* r) {
  if (p == nullptr || r == nullptr) return VQX_RESULT_NULL_PARAM;
  VqxMediaCompactBlob blob;
  const VQX_RESULT res = VqxMediaCompactBlobOpen(blob, p, un64Length, true);
  if (VQX_RESULT_FAILED(res)) return res;
  VqxMediaExpandSet(blob.set, r);
  const u8* pBlock = p + blob.un32BlockOffset;
  r->un8ConnectionSpare = pBlock[0];
  r->un8NbConnections = static_cast<u8>(blob.un32NbConnections);
  r->un64SessionId = VqxLoad64(pBlock + 8);
  r->un64SessionVersion = VqxLoad64(pBlock + 16);
  for (u32 i = 0; i < blob.un32NbConnections; ++i) {
    const u8* e = p + blob.aun32ConnOffset[i];
    _VQX_SDP_CONNECTION& c = r->aConnections[i];
    if (e[6] == 1 || e[6] == 2) {
      const u32 un32Max = VQX_MEDIA_BLOB_CONN_TEXT - 7; /* bytes 7..15 */
      u32 n = 0;
      while (n < un32Max && e[7 + n] != 0) ++n;
      std::memcpy(c.szAddress, e + 7, n);
      c.szAddress[n] = '\0';
    } else {
      VqxFormatDotted(e, c.szAddress);
    }
    c.un32NbAddresses = e[4];
    c.un8Ttl = e[5];
    c.un8AddressType = e[6];
  }
  return VQX_RESULT_OK;
}

u32 VQXMediaLibIsCapabilitiesCompact(const void* p) {
  return (p != nullptr && std::memcmp(p, VQX_MEDIA_COMPACT_MAGIC, 4) == 0) ? 1 : 0;
}

VQX_RESULT VQXMediaLibCapabilitiesCompact(const _VQX_SDP_INFO* r, u32 un32Size, _VQX_MEDIA_CAPABILITIES_COMPACT* pDst) {
  if (r == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  u8* p = reinterpret_cast<u8*>(pDst);
  VQX_RESULT res = VQX_RESULT_INVALID_PARAM;
  if ((reinterpret_cast<uintptr_t>(p) & 3u) == 0) res = VqxPackSet(r, un32Size, p);
  if (VQX_RESULT_FAILED(res) && un32Size >= VQX_MEDIA_CSET_OFF_SIZE + 4)
    VqxStore32(p + VQX_MEDIA_CSET_OFF_SIZE, VQX_MEDIA_CSET_HEADER);
  return res;
}

VQX_RESULT VQXMediaLibCapabilitiesExpand(const _VQX_MEDIA_CAPABILITIES_COMPACT* pSrc, _VQX_SDP_INFO* r) {
  if (pSrc == nullptr || r == nullptr) return VQX_RESULT_NULL_PARAM;
  return VqxMediaCapabilitiesExpandBytes(reinterpret_cast<const u8*>(pSrc), VqxMediaCompactSize(pSrc), r);
}

namespace {

VQX_RESULT VqxPackBlob(const _VQX_SDP_INFO* r, u32 un32Size, u8* p) {
  if (un32Size < VQX_MEDIA_BLOB_HEADER || r->un8NbConnections > VQX_MEDIA_MAX_CONNECTIONS)
    return VQX_RESULT_INVALID_PARAM;
  std::memcpy(p, VQX_MEDIA_COMPACT_MAGIC, 4);
  /* The first two connections' texts, read once for the header words (0 for
   * an empty text or one that is no dotted IPv4 address: a broadcast address
   * would be a lie) and again for their entries below. */
  bool afDotted[2] = {false, false};
  u32 aun32Addr[2] = {0, 0};
  for (u32 i = 0; i < 2 && i < r->un8NbConnections; ++i) {
    char sz[sizeof r->aConnections[i].szAddress + 1];
    VqxAddressText(r->aConnections[i], sz);
    afDotted[i] = VqxDottedIpv4(sz, aun32Addr[i]);
    if (!afDotted[i]) aun32Addr[i] = 0;
  }
  VqxStore32(p + VQX_MEDIA_BLOB_OFF_IPV4_0, aun32Addr[0]);
  VqxStore32(p + VQX_MEDIA_BLOB_OFF_IPV4_1, aun32Addr[1]);
  const VQX_RESULT res = VqxPackSet(r, un32Size - VQX_MEDIA_BLOB_OFF_SET, p + VQX_MEDIA_BLOB_OFF_SET);
  if (VQX_RESULT_FAILED(res)) {
    VqxStore32(p + VQX_MEDIA_BLOB_OFF_SET + VQX_MEDIA_CSET_OFF_SIZE, VQX_MEDIA_CSET_HEADER);
    return res;
  }
  /* From here offsets count from 84. */
  const VqxMediaWriter w(p + VQX_MEDIA_BLOB_HEADER, un32Size - VQX_MEDIA_BLOB_HEADER);
  u32 off = VqxLoad32(p + VQX_MEDIA_BLOB_OFF_SET + VQX_MEDIA_CSET_OFF_SIZE) - VQX_MEDIA_CSET_HEADER;
  if (!w.Fits(off, VQX_MEDIA_BLOB_CONN_BLOCK)) return VQX_RESULT_BUFFER_TOO_SMALL;
  u8* pBlock = w.At(off);
  pBlock[0] = r->un8ConnectionSpare;
  pBlock[1] = r->un8NbConnections;
  VqxStore64(pBlock + 8, r->un64SessionId);
  VqxStore64(pBlock + 16, r->un64SessionVersion);
  off += VQX_MEDIA_BLOB_CONN_BLOCK;
  for (u32 i = 0; i < r->un8NbConnections; ++i) {
    const _VQX_SDP_CONNECTION& c = r->aConnections[i];
    char sz[sizeof c.szAddress + 1];
    VqxAddressText(c, sz);
    u32 un32Addr = 0;
    u8 un8Type = c.un8AddressType;
    /* A numeric entry whose text is no IPv4 address travels as text. */
    if (un8Type != 1 && un8Type != 2 && sz[0] != '\0') {
      const bool fDotted = i < 2 ? afDotted[i] : VqxDottedIpv4(sz, un32Addr);
      if (i < 2) un32Addr = aun32Addr[i];
      if (!fDotted) un8Type = 1;
    }
    const u32 un32Len = (un8Type == 1 || un8Type == 2) ? VQX_MEDIA_BLOB_CONN_TEXT : VQX_MEDIA_BLOB_CONN_SHORT;
    /* A text entry holds 8 characters: a longer text (a host name or IPv6
     * address kept by its offset, "dns_off:" and six places) would arrive
     * cut, so the record is refused instead. */
    const size_t n = un32Len == VQX_MEDIA_BLOB_CONN_TEXT ? strnlen(sz, VQX_MEDIA_BLOB_TEXT_MAX + 1) : 0;
    if (n > VQX_MEDIA_BLOB_TEXT_MAX) return VQX_RESULT_INVALID_PARAM;
    if (!w.Fits(off, un32Len)) return VQX_RESULT_BUFFER_TOO_SMALL;
    u8* e = w.At(off);
    VqxStore32(e, un32Len == VQX_MEDIA_BLOB_CONN_TEXT ? 0 : un32Addr);
    e[4] = static_cast<u8>(c.un32NbAddresses);
    e[5] = c.un8Ttl;
    e[6] = un8Type;
    if (un32Len == VQX_MEDIA_BLOB_CONN_TEXT) {
      std::memcpy(e + 7, sz, n);
      std::memset(e + 7 + n, 0, VQX_MEDIA_BLOB_CONN_TEXT - 7 - n);
    }
    off += un32Len;
  }
  off = VqxRound8(off);
  if (!w.Fits(0, off)) return VQX_RESULT_BUFFER_TOO_SMALL;
  VqxStore32(p + VQX_MEDIA_CSET_OFF_SIZE, VQX_MEDIA_BLOB_HEADER + off);
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VQXMediaLibSdpInfoCompact(const _VQX_SDP_INFO* r, u32 un32Size, _VQX_SDP_INFO_COMPACT* pDst) {
  if (r == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  u8* p = reinterpret_cast<u8*>(pDst);
  VQX_RESULT res = VQX_RESULT_INVALID_PARAM;
  if ((reinterpret_cast<uintptr_t>(p) & 3u) == 0) res = VqxPackBlob(r, un32Size, p);
  if (VQX_RESULT_FAILED(res) && un32Size >= VQX_MEDIA_CSET_OFF_SIZE + 4)
    VqxStore32(p + VQX_MEDIA_CSET_OFF_SIZE, VQX_MEDIA_BLOB_HEADER);
  return res;
}

VQX_RESULT VQXMediaLibSdpInfoExpand(const _VQX_SDP_INFO_COMPACT* pSrc, _VQX_SDP_INFO* r) {
  if (pSrc == nullptr || r == nullptr) return VQX_RESULT_NULL_PARAM;
  return VqxMediaSdpInfoExpandBytes(reinterpret_cast<const u8*>(pSrc), VqxMediaCompactSize(pSrc), r);
}
