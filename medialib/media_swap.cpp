/*
 * media_swap.cpp - converting capabilities, sets and whole descriptions, in
 * either form, between this host's byte order and the opposite one, for
 * hosts of the other order. Every multi-byte field is reversed by its width
 * and every byte and text copied, so converting twice restores the input
 * (docs/medialib-byte-order.md lists the fields).
 *
 * Each conversion copies the source to the destination first (unless they
 * are the same buffer) and then reverses the fields of the destination in
 * place, reading the discriminants (transport, media type, sizes) in the
 * source's order before reversing them. Compact forms are opened (checked)
 * before anything is written.
 */
#include <initializer_list>

#include "media_internal.h"

namespace {

inline void VqxRev16(u8* p) { VqxStore16(p, __builtin_bswap16(VqxLoad16(p))); }
inline void VqxRev32(u8* p) { VqxStore32(p, __builtin_bswap32(VqxLoad32(p))); }
inline void VqxRev64(u8* p) { VqxStore64(p, __builtin_bswap64(VqxLoad64(p))); }

/* Multi-byte parameter fields of a media type: {offset, width}; every other
 * significant byte is copied as it is. */
struct VqxField {
  u8 un8Offset, un8Width;
};
struct VqxTypeFields {
  u32 un32Type;
  VqxField aFields[10];
};
constexpr VqxTypeFields s_aFields[] = {
    {VQX_MEDIA_TYPE_DVI4, {{28, 4}}},
    {VQX_MEDIA_TYPE_QCELP, {{32, 4}}},
    {VQX_MEDIA_TYPE_H263, {{32, 2}, {40, 4}, {44, 2}, {46, 2}, {48, 2}, {50, 2}}},
    {VQX_MEDIA_TYPE_H263_PLUS, {{32, 2}, {40, 4}, {44, 2}, {46, 2}, {48, 2}, {50, 2}}},
    {VQX_MEDIA_TYPE_T38, {{28, 4}, {32, 4}, {36, 4}, {40, 4}, {44, 4}, {48, 4}, {52, 4}, {56, 4}, {60, 4}}},
    {VQX_MEDIA_TYPE_NSE, {{28, 2}, {32, 4}, {36, 4}, {40, 4}, {44, 4}, {48, 4}, {52, 4}, {56, 4}, {60, 4}}},
    {VQX_MEDIA_TYPE_TELEPHONE_EVENT, {{28, 2}, {32, 4}, {36, 4}, {40, 4}, {44, 4}, {48, 4}, {52, 4}, {56, 4}, {60, 4}}},
    {VQX_MEDIA_TYPE_G729E, {{28, 4}}},
    {VQX_MEDIA_TYPE_AMR, {{28, 4}}},
    {VQX_MEDIA_TYPE_H223, {{28, 4}}},
    {VQX_MEDIA_TYPE_MPEG4, {{28, 2}}},
    {VQX_MEDIA_TYPE_RED, {{28, 4}, {32, 4}}},
    {VQX_MEDIA_TYPE_H264, {{28, 2}}},
    {VQX_MEDIA_TYPE_ILBC, {{28, 4}}},
    {VQX_MEDIA_TYPE_G726, {{32, 4}}},
    {VQX_MEDIA_TYPE_AMR_WB, {{28, 4}, {36, 2}, {38, 2}}},
    {VQX_MEDIA_TYPE_APP_DATA, {{28, 4}}},
    {VQX_MEDIA_TYPE_USER_INDICATION, {{28, 4}, {32, 2}}},
};

bool VqxFitsIn(u32 un32Length, u32 un32Off, u32 un32Width) { return un32Off + un32Width <= un32Length; }

VQX_RESULT VqxSwapExpandedSetInPlace(_VQX_SDP_INFO* d, bool fSrcHost) {
  for (u32 g = 0; g < d->un8NbCapabilityGroups; ++g) {
    _VQX_MEDIA_CAP_GROUP& grp = d->aCapGroups[g];
    for (u32 i = 0; i < grp.un8NbSimultaneousCap; ++i) {
      _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[i];
      desc.un16Port = __builtin_bswap16(desc.un16Port);
      desc.un16SetupDirection = __builtin_bswap16(desc.un16SetupDirection);
    }
  }
  for (u32 i = 0; i < d->un8NbMediaCapabilities; ++i) {
    const VQX_RESULT res = VqxMediaCapSwapInPlace(reinterpret_cast<u8*>(&d->aMediaCap[i]), sizeof(_VQX_MEDIA_CAP), fSrcHost);
    if (VQX_RESULT_FAILED(res)) return res;
  }
  return VQX_RESULT_OK;
}

/* Limits an expanded set must keep before it is converted. */
bool VqxExpandedStructureOk(const _VQX_SDP_INFO* r) {
  if (r->un8NbMediaCapabilities > VQX_MEDIA_MAX_CAPS || r->un8NbCapabilityGroups > VQX_MEDIA_MAX_GROUPS) return false;
  for (u32 g = 0; g < r->un8NbCapabilityGroups; ++g) {
    const _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    if (grp.un8NbSimultaneousCap > VQX_MEDIA_MAX_DESCS) return false;
    for (u32 d = 0; d < grp.un8NbSimultaneousCap; ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      if (desc.un8NbChoices > VQX_MEDIA_MAX_CHOICES) return false;
      for (u32 c = 0; c < desc.un8NbChoices; ++c)
        if (desc.aMediaCapChoices[c].un8CapIdx >= r->un8NbMediaCapabilities) return false;
    }
  }
  return true;
}

/* Converts the compact set opened as s (whose bytes are now those of d). */
VQX_RESULT VqxSwapCompactSetInPlace(const VqxMediaCompactSet& s, u8* d, bool fSrcHost) {
  VqxRev32(d + VQX_MEDIA_CSET_OFF_SIZE);
  VqxRev32(d + VQX_MEDIA_CSET_OFF_DEFAULT1);
  VqxRev16(d + VQX_MEDIA_CSET_OFF_DEFAULT1 + 6);
  VqxRev32(d + VQX_MEDIA_CSET_OFF_DEFAULT2);
  VqxRev16(d + VQX_MEDIA_CSET_OFF_DEFAULT2 + 6);
  for (u32 e = 0; e < s.un32NbDescEntries; ++e) {
    u8* pEntry = d + s.un32DescOffset + e * VQX_MEDIA_CSET_DESC_ENTRY;
    VqxRev16(pEntry + 4); /* port */
    VqxRev16(pEntry + 6); /* setup direction */
  }
  for (u32 i = 0; i < s.un32NbCaps; ++i) {
    u8* pCap = d + s.aun32CapOffset[i];
    VqxRev32(pCap - 4); /* size word */
    const VQX_RESULT res = VqxMediaCapSwapInPlace(pCap, s.aun32CapSize[i], fSrcHost);
    if (VQX_RESULT_FAILED(res)) return res;
  }
  return VQX_RESULT_OK;
}

bool VqxSameOrder(u32 un32Src, u32 un32Dst) { return (un32Src == VQX_MEDIA_ORDER_HOST) == (un32Dst == VQX_MEDIA_ORDER_HOST); }

void VqxCopy(const void* pSrc, void* pDst, size_t n) {
  if (pSrc != pDst) std::memmove(pDst, pSrc, n);
}

}  // namespace

VQX_RESULT VqxMediaCapSwapInPlace(u8* p, u32 un32Length, bool fSrcHost) {
  if (un32Length < 28) {
    /* A stored capability without its media type: header words only. */
    for (u32 off : {0u, 8u})
      if (VqxFitsIn(un32Length, off, 4)) VqxRev32(p + off);
    return VQX_RESULT_OK;
  }
  const u32 un32Transport = VqxLoad32Order(p + 8, fSrcHost);
  const u32 un32Type = VqxLoad32Order(p + 24, fSrcHost);
  VqxRev32(p + 0);
  VqxRev32(p + 8);
  VqxRev32(p + 24);
  switch (un32Transport) {
    case VQX_MEDIA_TRANSPORT_RTP:
      VqxRev32(p + 12);
      VqxRev16(p + 16);
      VqxRev16(p + 18); /* packet time */
      break;
    case VQX_MEDIA_TRANSPORT_H223:
      VqxRev16(p + 12);
      break;
    case VQX_MEDIA_TRANSPORT_OTHER:
      VqxRev32(p + 12);
      VqxRev32(p + 16);
      break;
    default:
      break;
  }
  if (un32Type == VQX_MEDIA_TYPE_AUDIO_ANY || un32Type == VQX_MEDIA_TYPE_VIDEO_ANY || un32Type == VQX_MEDIA_TYPE_APP_ANY)
    return VQX_RESULT_INVALID_PARAM;
  if (un32Type == VQX_MEDIA_TYPE_INVALID) return VQX_RESULT_NOT_SUPPORTED;
  for (const VqxTypeFields& t : s_aFields) {
    if (t.un32Type != un32Type) continue;
    for (const VqxField& f : t.aFields) {
      if (f.un8Width == 0 || !VqxFitsIn(un32Length, f.un8Offset, f.un8Width)) continue;
      if (f.un8Width == 2)
        VqxRev16(p + f.un8Offset);
      else
        VqxRev32(p + f.un8Offset);
    }
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaCapabilitySwap(const _VQX_MEDIA_CAP* pSrc, _VQX_MEDIA_CAP* pDst, u32 un32SrcOrder, u32 un32DstOrder) {
  if (pSrc == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  VqxCopy(pSrc, pDst, sizeof *pSrc);
  if (VqxSameOrder(un32SrcOrder, un32DstOrder)) return VQX_RESULT_OK;
  return VqxMediaCapSwapInPlace(reinterpret_cast<u8*>(pDst), sizeof *pDst, un32SrcOrder == VQX_MEDIA_ORDER_HOST);
}

VQX_RESULT VQXMediaCapabilitiesExpandedSwap(const _VQX_SDP_INFO* pSrc, _VQX_SDP_INFO* pDst, u32 un32SrcOrder,
                                            u32 un32DstOrder) {
  if (pSrc == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  if (VqxSameOrder(un32SrcOrder, un32DstOrder)) {
    VqxCopy(pSrc, pDst, VQX_MEDIA_CAPABILITIES_SIZE);
    return VQX_RESULT_OK;
  }
  if (!VqxExpandedStructureOk(pSrc)) return VQX_RESULT_INVALID_MESSAGE;
  VqxCopy(pSrc, pDst, VQX_MEDIA_CAPABILITIES_SIZE);
  return VqxSwapExpandedSetInPlace(pDst, un32SrcOrder == VQX_MEDIA_ORDER_HOST);
}

VQX_RESULT VQXMediaCapabilitiesCompactSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder) {
  if (pSrc == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  const bool fSrcHost = un32SrcOrder == VQX_MEDIA_ORDER_HOST;
  const u32 un32Size = VqxMediaCompactSize(pSrc, fSrcHost);
  if (VqxSameOrder(un32SrcOrder, un32DstOrder)) {
    VqxCopy(pSrc, pDst, un32Size);
    return VQX_RESULT_OK;
  }
  VqxMediaCompactSet s;
  const VQX_RESULT res = VqxMediaCompactSetOpen(s, static_cast<const u8*>(pSrc), un32Size, fSrcHost);
  if (VQX_RESULT_FAILED(res)) return res;
  VqxCopy(pSrc, pDst, un32Size);
  return VqxSwapCompactSetInPlace(s, static_cast<u8*>(pDst), fSrcHost);
}

VQX_RESULT VQXMediaSDPInfoCompactSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder) {
  if (pSrc == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  const bool fSrcHost = un32SrcOrder == VQX_MEDIA_ORDER_HOST;
  const u32 un32Size = VqxMediaCompactSize(pSrc, fSrcHost);
  if (VqxSameOrder(un32SrcOrder, un32DstOrder)) {
    VqxCopy(pSrc, pDst, un32Size);
    return VQX_RESULT_OK;
  }
  VqxMediaCompactBlob blob;
  const VQX_RESULT res = VqxMediaCompactBlobOpen(blob, static_cast<const u8*>(pSrc), un32Size, fSrcHost);
  if (VQX_RESULT_FAILED(res)) return res;
  u8* d = static_cast<u8*>(pDst);
  VqxCopy(pSrc, d, un32Size);
  VqxRev32(d + VQX_MEDIA_CSET_OFF_SIZE);
  /* The IPv4 words (here and in the entries) stay in network order. */
  VqxRev64(d + blob.un32BlockOffset + 8);  /* session id */
  VqxRev64(d + blob.un32BlockOffset + 16); /* session version */
  return VqxSwapCompactSetInPlace(blob.set, d + VQX_MEDIA_BLOB_OFF_SET, fSrcHost);
}

namespace {

/* Form check of the dispatchers: both compact, both expanded, or refused. */
VQX_RESULT VqxForms(const void* pSrc, const void* pDst, bool& fCompact) {
  if (pSrc == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  fCompact = VQXMediaLibIsCapabilitiesCompact(pSrc);
  return fCompact == (VQXMediaLibIsCapabilitiesCompact(pDst) != 0) ? VQX_RESULT_OK : VQX_RESULT_NOT_SUPPORTED;
}

}  // namespace

VQX_RESULT VQXMediaSDPInfoSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder) {
  bool fCompact = false;
  const VQX_RESULT res = VqxForms(pSrc, pDst, fCompact);
  if (VQX_RESULT_FAILED(res)) return res;
  if (fCompact) return VQXMediaSDPInfoCompactSwap(pSrc, pDst, un32SrcOrder, un32DstOrder);
  const auto* s = static_cast<const _VQX_SDP_INFO*>(pSrc);
  auto* d = static_cast<_VQX_SDP_INFO*>(pDst);
  if (VqxSameOrder(un32SrcOrder, un32DstOrder)) {
    VqxCopy(s, d, sizeof *s);
    return VQX_RESULT_OK;
  }
  if (!VqxExpandedStructureOk(s)) return VQX_RESULT_INVALID_MESSAGE;
  VqxCopy(s, d, sizeof *s);
  const VQX_RESULT r2 = VqxSwapExpandedSetInPlace(d, un32SrcOrder == VQX_MEDIA_ORDER_HOST);
  if (VQX_RESULT_FAILED(r2)) return r2;
  if (d->un8NbConnections > VQX_MEDIA_MAX_CONNECTIONS) d->un8NbConnections = VQX_MEDIA_MAX_CONNECTIONS;
  d->un64SessionId = __builtin_bswap64(d->un64SessionId);
  d->un64SessionVersion = __builtin_bswap64(d->un64SessionVersion);
  for (u32 i = 0; i < d->un8NbConnections; ++i)
    d->aConnections[i].un32NbAddresses = __builtin_bswap32(d->aConnections[i].un32NbAddresses);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaCapabilitiesSwap(const void* pSrc, void* pDst, u32 un32SrcOrder, u32 un32DstOrder) {
  bool fCompact = false;
  const VQX_RESULT res = VqxForms(pSrc, pDst, fCompact);
  if (VQX_RESULT_FAILED(res)) return res;
  if (fCompact) return VQXMediaCapabilitiesCompactSwap(pSrc, pDst, un32SrcOrder, un32DstOrder);
  return VQXMediaCapabilitiesExpandedSwap(static_cast<const _VQX_SDP_INFO*>(pSrc), static_cast<_VQX_SDP_INFO*>(pDst),
                                          un32SrcOrder, un32DstOrder);
}
