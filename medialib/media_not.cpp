/*
 * media_not.cpp - set difference (a without the media types of b) and the
 * removal of emptied descriptions and groups.
 *
 * The difference reads everything it needs from a before it writes out, so
 * out may be a itself: kept capabilities are numbered at their first kept
 * reference in scan order (a capability shared by several descriptions keeps
 * one number) and moved through a copy, never overwritten before they move.
 */
#include "media_internal.h"

namespace {

constexpr u8 kNoNumber = 255;

bool VqxTypeIn(u32 un32Type, const _VQX_SDP_INFO* b) {
  for (u32 i = 0; i < VqxNbCaps(b); ++i)
    if (b->aMediaCap[i].Encoding.MediaType == un32Type) return true;
  return false;
}

}  // namespace

VQX_RESULT VQXMediaCapabilitiesNotExpanded(const _VQX_SDP_INFO* a, const _VQX_SDP_INFO* b, _VQX_SDP_INFO* out) {
  if (a == nullptr || b == nullptr || out == nullptr) return VQX_RESULT_NULL_PARAM;
  u8 aun8New[VQX_MEDIA_MAX_CAPS];
  std::memset(aun8New, kNoNumber, sizeof aun8New);
  u32 k = 0;
  const u32 N = VqxNbCaps(a), G = VqxNbGroups(a);
  for (u32 g = 0; g < G; ++g)
    for (u32 d = 0; d < VqxNbDescs(a->aCapGroups[g]); ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = a->aCapGroups[g].aSimultaneousCap[d];
      for (u32 c = 0; c < VqxNbChoices(desc); ++c) {
        const u32 i = desc.aMediaCapChoices[c].un8CapIdx;
        if (i >= N || aun8New[i] != kNoNumber || VqxTypeIn(a->aMediaCap[i].Encoding.MediaType, b)) continue;
        aun8New[i] = static_cast<u8>(k++);
      }
    }

  /* Everything out receives, taken from a before out is written. */
  static_assert(sizeof(_VQX_MEDIA_CAP) * VQX_MEDIA_MAX_CAPS < 16384, "kept on the stack");
  _VQX_MEDIA_CAP aKept[VQX_MEDIA_MAX_CAPS];
  for (u32 i = 0; i < N; ++i)
    if (aun8New[i] != kNoNumber) aKept[aun8New[i]] = a->aMediaCap[i];
  u8 aun8Choices[VQX_MEDIA_MAX_GROUPS][VQX_MEDIA_MAX_DESCS][VQX_MEDIA_MAX_CHOICES];
  u8 aun8NbKept[VQX_MEDIA_MAX_GROUPS][VQX_MEDIA_MAX_DESCS] = {};
  u8 aun8NbDescs[VQX_MEDIA_MAX_GROUPS] = {};
  for (u32 g = 0; g < G; ++g) {
    aun8NbDescs[g] = static_cast<u8>(VqxNbDescs(a->aCapGroups[g]));
    for (u32 d = 0; d < aun8NbDescs[g]; ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = a->aCapGroups[g].aSimultaneousCap[d];
      for (u32 c = 0; c < VqxNbChoices(desc); ++c) {
        const u32 i = desc.aMediaCapChoices[c].un8CapIdx;
        if (i < N && aun8New[i] != kNoNumber) aun8Choices[g][d][aun8NbKept[g][d]++] = aun8New[i];
      }
    }
  }

  for (u32 n = 0; n < k; ++n) out->aMediaCap[n] = aKept[n];
  for (u32 g = 0; g < G; ++g) {
    out->aCapGroups[g].un8NbSimultaneousCap = aun8NbDescs[g];
    for (u32 d = 0; d < aun8NbDescs[g]; ++d) {
      _VQX_SIMULTANEOUS_CAP& desc = out->aCapGroups[g].aSimultaneousCap[d];
      desc.un8NbChoices = aun8NbKept[g][d];
      for (u32 c = 0; c < aun8NbKept[g][d]; ++c) desc.aMediaCapChoices[c].un8CapIdx = aun8Choices[g][d][c];
    }
  }
  out->un8NbMediaCapabilities = static_cast<u8>(k);
  out->un8NbCapabilityGroups = static_cast<u8>(G);
  return VQXMediaCapabilitiesRemoveEmptyGroups(out);
}

VQX_RESULT VQXMediaCapabilitiesNot(const void* pA, const void* pB, _VQX_SDP_INFO* out) {
  if (pA == nullptr || pB == nullptr || out == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_SDP_INFO la, lb;
  const void* p[2] = {pA, pB};
  _VQX_SDP_INFO* pLocal[2] = {&la, &lb};
  for (int i = 0; i < 2; ++i) {
    if (!VQXMediaLibIsCapabilitiesCompact(p[i])) continue;
    std::memset(pLocal[i], 0, sizeof la);
    const VQX_RESULT res =
        VQXMediaLibCapabilitiesExpand(static_cast<const _VQX_MEDIA_CAPABILITIES_COMPACT*>(p[i]), pLocal[i]);
    if (VQX_RESULT_FAILED(res)) return res;
    p[i] = pLocal[i];
  }
  return VQXMediaCapabilitiesNotExpanded(static_cast<const _VQX_SDP_INFO*>(p[0]), static_cast<const _VQX_SDP_INFO*>(p[1]),
                                         out);
}

VQX_RESULT VQXMediaCapabilitiesRemoveEmptyGroups(_VQX_SDP_INFO* r) {
  if (r == nullptr) return VQX_RESULT_NULL_PARAM;
  const u32 G = VqxNbGroups(r);
  u32 un32KeptGroups = 0;
  for (u32 g = 0; g < G; ++g) {
    _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    u32 un32Kept = 0;
    for (u32 d = 0; d < VqxNbDescs(grp); ++d) {
      if (grp.aSimultaneousCap[d].un8NbChoices == 0) continue;
      if (un32Kept != d) grp.aSimultaneousCap[un32Kept] = grp.aSimultaneousCap[d];
      ++un32Kept;
    }
    grp.un8NbSimultaneousCap = static_cast<u8>(un32Kept);
    if (un32Kept == 0) continue;
    if (un32KeptGroups != g) r->aCapGroups[un32KeptGroups] = grp;
    ++un32KeptGroups;
  }
  r->un8NbCapabilityGroups = static_cast<u8>(un32KeptGroups);
  return VQX_RESULT_OK;
}
