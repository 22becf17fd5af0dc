/*
 * media_compare.cpp - equality of capabilities, capability sets and whole
 * descriptions in either form, and the bit rates of a capability.
 *
 * Comparison ignores padding: it clears the padding of zero-filled copies and
 * compares those, so its inputs (often a blob inside a received message, or
 * read-only memory) are never written.
 */
#include "media_internal.h"

namespace {

/* Padding bytes of a media type's parameters, cleared before comparing:
 * {type, first byte, last byte}; a type may have several rows. */
struct VqxPadRange {
  u32 un32Type;
  u8 un8First, un8Last;
};
constexpr VqxPadRange s_aPadding[] = {
    {0, 30, 31},   {8, 30, 31},   {101, 30, 31}, {10, 29, 31},  {18, 29, 31},  {12, 36, 39},
    {125, 36, 39}, {34, 31, 31},  {34, 39, 39},  {34, 55, 55},  {121, 31, 31}, {121, 39, 39},
    {121, 55, 55}, {103, 33, 39}, {110, 33, 39}, {104, 39, 39}, {111, 38, 39}, {119, 34, 39},
    {126, 41, 44},
};

u32 VqxCapCompareCopies(_VQX_MEDIA_CAP& a, _VQX_MEDIA_CAP& b) {
  u8* pa = reinterpret_cast<u8*>(&a);
  u8* pb = reinterpret_cast<u8*>(&b);
  a.un32Padding = b.un32Padding = 0;
  if (a.Transport.Type != b.Transport.Type) return 0;
  if (a.Transport.Type >= VQX_MEDIA_TRANSPORT_RTP && a.Transport.Type <= VQX_MEDIA_TRANSPORT_OTHER)
    a.Transport.un32Padding = b.Transport.un32Padding = 0;
  if (std::memcmp(pa, pb, 24) != 0) return 0;
  const u32 t = a.Encoding.MediaType;
  if (t != b.Encoding.MediaType) return 0;
  for (const VqxPadRange& p : s_aPadding) {
    if (p.un32Type != t) continue;
    std::memset(pa + p.un8First, 0, p.un8Last - p.un8First + 1u);
    std::memset(pb + p.un8First, 0, p.un8Last - p.un8First + 1u);
  }
  const u32 un32Size = VQXMediaLibGetCapabilityStructSize(&a);
  if (un32Size > 24 && std::memcmp(pa + 24, pb + 24, un32Size - 24) != 0) return 0;
  return (a.Direction >= VQX_MEDIA_DIR_RECV_ONLY && a.Direction <= VQX_MEDIA_DIR_SEND_RECV_COPY) ? 1 : 0;
}

u32 VqxSetsEqual(const _VQX_SDP_INFO* a, const _VQX_SDP_INFO* b) {
  if (a->un8NbMediaCapabilities != b->un8NbMediaCapabilities || a->un8NbCapabilityGroups != b->un8NbCapabilityGroups)
    return 0;
  for (u32 g = 0; g < VqxNbGroups(a); ++g) {
    const _VQX_MEDIA_CAP_GROUP &ga = a->aCapGroups[g], &gb = b->aCapGroups[g];
    if (ga.un8NbSimultaneousCap != gb.un8NbSimultaneousCap) return 0;
    for (u32 d = 0; d < VqxNbDescs(ga); ++d) {
      const _VQX_SIMULTANEOUS_CAP &da = ga.aSimultaneousCap[d], &db = gb.aSimultaneousCap[d];
      if (da.un8NbChoices != db.un8NbChoices || da.un8ConnectionIdx != db.un8ConnectionIdx ||
          da.un8RedundantConnectionIdx != db.un8RedundantConnectionIdx || da.un8NbPorts != db.un8NbPorts ||
          da.un16Port != db.un16Port)
        return 0;
      for (u32 c = 0; c < VqxNbChoices(da); ++c)
        if (da.aMediaCapChoices[c].un8CapIdx != db.aMediaCapChoices[c].un8CapIdx) return 0;
    }
  }
  for (u32 i = 0; i < VqxNbCaps(a); ++i)
    if (!VQXMediaCapabilityCompare(&a->aMediaCap[i], &b->aMediaCap[i])) return 0;
  return 1;
}

u32 VqxCompactSetsEqual(const VqxMediaCompactSet& a, const VqxMediaCompactSet& b) {
  if (a.un32Size != b.un32Size || a.un32NbCaps != b.un32NbCaps || a.un32NbGroups != b.un32NbGroups) return 0;
  /* Both default slots and the count copy at 24, then the counts and group bytes. */
  if (std::memcmp(a.pBytes + 8, b.pBytes + 8, 17) != 0) return 0;
  if (std::memcmp(a.pBytes + VQX_MEDIA_CSET_HEADER + 4, b.pBytes + VQX_MEDIA_CSET_HEADER + 4, a.un32NbGroups) != 0)
    return 0; /* the counts are equal already; bytes 30, 31 are not written */
  for (u32 e = 0; e < a.un32NbDescEntries; ++e)
    if (std::memcmp(a.Desc(e), b.Desc(e), 6) != 0) return 0;
  if (std::memcmp(a.pBytes + a.un32ChoiceOffset, b.pBytes + b.un32ChoiceOffset, a.un32NbChoices) != 0) return 0;
  for (u32 i = 0; i < a.un32NbCaps; ++i)
    if (!VqxMediaCapCompareBytes(a.Cap(i), a.aun32CapSize[i], b.Cap(i), b.aun32CapSize[i])) return 0;
  return 1;
}

/* Unpacks a compact form (set, or blob when fBlob) into a cleared record. */
bool VqxExpandLocal(const void* p, bool fBlob, _VQX_SDP_INFO* r) {
  std::memset(r, 0, sizeof *r);
  const VQX_RESULT res = fBlob ? VQXMediaLibSdpInfoExpand(static_cast<const _VQX_SDP_INFO_COMPACT*>(p), r)
                               : VQXMediaLibCapabilitiesExpand(static_cast<const _VQX_MEDIA_CAPABILITIES_COMPACT*>(p), r);
  return VQX_RESULT_SUCCEEDED(res);
}

}  // namespace

u32 VqxMediaCapCompareBytes(const u8* pA, u32 za, const u8* pB, u32 zb) {
  /* Identical stored bytes stay identical once padding is cleared; only the
   * Direction rule is left to decide. */
  if (za == zb && za >= 4 && std::memcmp(pA, pB, za) == 0) {
    const u32 un32Dir = VqxLoad32(pA);
    return (un32Dir >= VQX_MEDIA_DIR_RECV_ONLY && un32Dir <= VQX_MEDIA_DIR_SEND_RECV_COPY) ? 1 : 0;
  }
  _VQX_MEDIA_CAP a{}, b{};
  std::memcpy(&a, pA, za < sizeof a ? za : sizeof a);
  std::memcpy(&b, pB, zb < sizeof b ? zb : sizeof b);
  return VqxCapCompareCopies(a, b);
}

u32 VQXMediaCapabilityCompare(const _VQX_MEDIA_CAP* pA, const _VQX_MEDIA_CAP* pB) {
  if (pA == nullptr || pB == nullptr) return 0;
  _VQX_MEDIA_CAP a = *pA, b = *pB;
  return VqxCapCompareCopies(a, b);
}

u32 VQXMediaCapabilitiesCompareCompact(const void* pA, const void* pB) {
  if (pA == nullptr || pB == nullptr) return 0;
  VqxMediaCompactSet a, b;
  if (VQX_RESULT_FAILED(VqxMediaCompactSetOpen(a, static_cast<const u8*>(pA), VqxMediaCompactSize(pA), true)) ||
      VQX_RESULT_FAILED(VqxMediaCompactSetOpen(b, static_cast<const u8*>(pB), VqxMediaCompactSize(pB), true)))
    return 0;
  return VqxCompactSetsEqual(a, b);
}

u32 VQXMediaCapabilitiesCompare(const void* pA, const void* pB) {
  if (pA == nullptr || pB == nullptr) return 0;
  const bool fA = VQXMediaLibIsCapabilitiesCompact(pA), fB = VQXMediaLibIsCapabilitiesCompact(pB);
  if (fA && fB) return VQXMediaCapabilitiesCompareCompact(pA, pB);
  if (!fA && !fB) return VqxSetsEqual(static_cast<const _VQX_SDP_INFO*>(pA), static_cast<const _VQX_SDP_INFO*>(pB));
  _VQX_SDP_INFO local;
  if (!VqxExpandLocal(fA ? pA : pB, false, &local)) return 0;
  return VqxSetsEqual(&local, static_cast<const _VQX_SDP_INFO*>(fA ? pB : pA));
}

u32 VQXSDPInfoCompare(const void* pA, const void* pB) {
  if (pA == nullptr || pB == nullptr) return 0;
  const bool fA = VQXMediaLibIsCapabilitiesCompact(pA), fB = VQXMediaLibIsCapabilitiesCompact(pB);
  if (fA && fB) {
    VqxMediaCompactBlob a, b;
    if (VQX_RESULT_FAILED(VqxMediaCompactBlobOpen(a, static_cast<const u8*>(pA), VqxMediaCompactSize(pA), true)) ||
        VQX_RESULT_FAILED(VqxMediaCompactBlobOpen(b, static_cast<const u8*>(pB), VqxMediaCompactSize(pB), true)))
      return 0;
    /* Total size and both IPv4 words, then the sets. */
    if (std::memcmp(a.pBytes + 4, b.pBytes + 4, 12) != 0) return 0;
    if (std::memcmp(a.pBytes, b.pBytes, a.un32Size) == 0) {
      /* Identical blobs: equal unless a capability's Direction rules it out. */
      for (u32 i = 0; i < a.set.un32NbCaps; ++i)
        if (!VqxMediaCapCompareBytes(a.set.Cap(i), a.set.aun32CapSize[i], a.set.Cap(i), a.set.aun32CapSize[i])) return 0;
      return 1;
    }
    return VqxCompactSetsEqual(a.set, b.set);
  }
  _VQX_SDP_INFO la, lb;
  const _VQX_SDP_INFO* ra = static_cast<const _VQX_SDP_INFO*>(pA);
  const _VQX_SDP_INFO* rb = static_cast<const _VQX_SDP_INFO*>(pB);
  if (fA && !VqxExpandLocal(pA, true, &(la))) return 0;
  if (fB && !VqxExpandLocal(pB, true, &(lb))) return 0;
  if (fA) ra = &la;
  if (fB) rb = &lb;
  if (ra->un8NbConnections != rb->un8NbConnections || ra->un8ConnectionSpare != rb->un8ConnectionSpare) return 0;
  const u32 n = ra->un8NbConnections < VQX_MEDIA_MAX_CONNECTIONS ? ra->un8NbConnections : VQX_MEDIA_MAX_CONNECTIONS;
  for (u32 i = 0; i < n; ++i) {
    const _VQX_SDP_CONNECTION &ca = ra->aConnections[i], &cb = rb->aConnections[i];
    if (strncmp(ca.szAddress, cb.szAddress, sizeof ca.szAddress) != 0 || ca.un32NbAddresses != cb.un32NbAddresses ||
        ca.un8Ttl != cb.un8Ttl || ca.un8AddressType != cb.un8AddressType)
      return 0;
  }
  return VqxSetsEqual(ra, rb);
}

VQX_RESULT VQXMediaGetRatesFromCapability(const _VQX_MEDIA_CAP* pCap, _VQX_MEDIA_RATES* pRates) {
  if (pCap == nullptr || pRates == nullptr) return VQX_RESULT_NULL_PARAM;
  std::memset(pRates, 0, sizeof *pRates);
  auto add = [pRates](u32 un32Rate, u32 un32Frame) {
    pRates->aRates[pRates->un32NbRates].un32BitRate = un32Rate;
    pRates->aRates[pRates->un32NbRates++].un32FrameSize = un32Frame;
  };
  /* Video maximum bit rates are kept in units of 100 bit/s; 0xFFFF is none. */
  auto video = [&add](u16 un16Max) { add(un16Max == 0xFFFFu ? 0 : un16Max * 100u, 0); };
  switch (pCap->Encoding.MediaType) {
    case VQX_MEDIA_TYPE_G723_1:
      add(5333, 20);
      add(6400, 24);
      if (pCap->Encoding.aun8Params[2] != 0) add(200, 6); /* annex A */
      break;
    case VQX_MEDIA_TYPE_AMR:
      add(5200, 13);
      add(6400, 16);
      add(8400, 21);
      add(12400, 31);
      break;
    case VQX_MEDIA_TYPE_H263:
    case VQX_MEDIA_TYPE_H263_PLUS:
      video(pCap->Encoding.H263.un16MaxBitRate);
      break;
    case VQX_MEDIA_TYPE_MPEG4:
      video(pCap->Encoding.Mpeg4.un16MaxBitRate);
      break;
    case VQX_MEDIA_TYPE_H264:
      video(pCap->Encoding.H264.un16MaxBitRate);
      break;
    default:
      add(0, 0);
  }
  return VQX_RESULT_OK;
}
