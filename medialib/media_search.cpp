/*
 * media_search.cpp - finding capabilities in a set of either form: the first
 * of a type (or class) usable in a direction, one matching a template, by
 * payload type, by stored number, and the walk over all of them.
 *
 * One walk serves both forms: it visits the choices in scan order (groups,
 * descriptions, choices) with their position counted in 32 bits, so a compact
 * set of up to 512 choices is walked to its end like an expanded record.
 * A compact set is opened (checked) first; one that does not open holds
 * nothing. Candidates of a compact set are judged on an aligned, zero-filled
 * copy; the pointer handed back points into the set.
 */
#include "media_internal.h"

namespace {

struct VqxChoice {
  const _VQX_MEDIA_CAP* pCap;    /* for judging: aligned, at least 296 bytes */
  const _VQX_MEDIA_CAP* pResult; /* what the caller receives */
  const u16* pPort;              /* the description's port, setup direction after it */
  const _VQX_SIMULTANEOUS_CAP* pDesc; /* null for a compact set */
  u32 un32Position;
  bool fTyped;                   /* the stored bytes carry the media type */
};

/* A set of either form, opened. */
struct VqxEitherSet {
  const _VQX_SDP_INFO* pRecord = nullptr;
  VqxMediaCompactSet compact{};
  bool fCompact = false;
  bool fValid = false;

  explicit VqxEitherSet(const void* p) {
    if (p == nullptr) return;
    if (VQXMediaLibIsCapabilitiesCompact(p)) {
      fCompact = true;
      fValid = VQX_RESULT_SUCCEEDED(VqxMediaCompactSetOpen(compact, static_cast<const u8*>(p), VqxMediaCompactSize(p), true));
    } else {
      pRecord = static_cast<const _VQX_SDP_INFO*>(p);
      fValid = true;
    }
  }
  u32 NbCaps() const { return fCompact ? compact.un32NbCaps : VqxNbCaps(pRecord); }
};

/* Calls f(choice) for each choice with a valid index until f returns true;
 * true when it did. */
template <class F>
bool VqxWalkChoices(const VqxEitherSet& s, F&& f) {
  if (!s.fValid) return false;
  u32 un32Pos = 0;
  if (!s.fCompact) {
    const _VQX_SDP_INFO* r = s.pRecord;
    for (u32 g = 0; g < VqxNbGroups(r); ++g) {
      for (u32 d = 0; d < VqxNbDescs(r->aCapGroups[g]); ++d) {
        const _VQX_SIMULTANEOUS_CAP& desc = r->aCapGroups[g].aSimultaneousCap[d];
        for (u32 c = 0; c < VqxNbChoices(desc); ++c, ++un32Pos) {
          const u32 i = desc.aMediaCapChoices[c].un8CapIdx;
          if (i >= VqxNbCaps(r)) continue;
          if (f(VqxChoice{&r->aMediaCap[i], &r->aMediaCap[i], &desc.un16Port, &desc, un32Pos, true})) return true;
        }
      }
    }
    return false;
  }
  const VqxMediaCompactSet& cs = s.compact;
  const u8* pChoice = cs.pBytes + cs.un32ChoiceOffset;
  _VQX_MEDIA_CAP local;
  for (u32 e = 0; e < cs.un32NbDescEntries; ++e) {
    const u8* pEntry = cs.Desc(e);
    for (u32 c = 0; c < pEntry[0]; ++c, ++un32Pos) {
      const u32 i = *pChoice++;
      if (i >= cs.un32NbCaps) continue;
      cs.CapCopy(i, &local);
      const auto* pResult = reinterpret_cast<const _VQX_MEDIA_CAP*>(cs.Cap(i));
      const auto* pPort = reinterpret_cast<const u16*>(pEntry + VQX_MEDIA_CSET_DESC_OFF_PORT);
      if (f(VqxChoice{&local, pResult, pPort, nullptr, un32Pos, cs.CapTyped(i)})) return true;
    }
  }
  return false;
}

VQX_RESULT VqxReport(bool fFound, const VqxChoice& hit, const _VQX_MEDIA_CAP** ppCap, const u16** ppPort,
                     const _VQX_SIMULTANEOUS_CAP** ppDesc, u32* pun32Position) {
  if (ppCap != nullptr) *ppCap = fFound ? hit.pResult : nullptr;
  if (ppPort != nullptr) *ppPort = fFound ? hit.pPort : nullptr;
  if (ppDesc != nullptr) *ppDesc = fFound ? hit.pDesc : nullptr;
  if (pun32Position != nullptr) *pun32Position = fFound ? hit.un32Position : 0xFFFFFFFFu;
  return fFound ? VQX_RESULT_OK : VQX_RESULT_NOT_FOUND;
}

VQX_RESULT VqxFindFirst(const VqxEitherSet& s, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP** ppCap,
                        const u16** ppPort, const _VQX_SIMULTANEOUS_CAP** ppDesc, u32* pun32Position) {
  VqxChoice hit{};
  const bool fAnyType = s.fCompact && un32Type == VQX_MEDIA_TYPE_INVALID;
  const bool fFound = VqxWalkChoices(s, [&](const VqxChoice& c) {
    const bool fType = fAnyType || (c.fTyped && VqxMediaTypeMatches(un32Type, c.pCap->Encoding.MediaType));
    if (!fType || !VqxMediaModeAccepts(un32Mode, c.pCap->Direction)) return false;
    hit = c;
    return true;
  });
  return VqxReport(fFound, hit, ppCap, ppPort, ppDesc, pun32Position);
}

/* Default masks of a template given without one: {type, mask offset, mask
 * width, length compared from 24}. */
struct VqxDefaultMask {
  u32 un32Type;
  u8 un8Offset, un8Width, un8Length;
};
constexpr VqxDefaultMask s_aDefaultMasks[] = {
    {VQX_MEDIA_TYPE_DVI4, 28, 4, 8},  /* sample rate */
    {VQX_MEDIA_TYPE_L16, 28, 1, 5},   /* channels */
    {VQX_MEDIA_TYPE_ILBC, 28, 4, 8},  /* bit-rate class */
    {VQX_MEDIA_TYPE_G726, 32, 4, 12}, /* bit rate */
};

VQX_RESULT VqxFindWithParams(const void* pSet, bool fWantCompact, u32 un32Type, u32 un32Mode,
                             const _VQX_MEDIA_CAP* pTemplate, const void* pMask, u32 un32Length,
                             const _VQX_MEDIA_CAP** ppCap, const u16** ppPort, u32* pun32Position) {
  VqxChoice none{};
  if (pSet == nullptr) {
    VqxReport(false, none, ppCap, ppPort, nullptr, pun32Position);
    return VQX_RESULT_NULL_PARAM;
  }
  const VqxEitherSet s(pSet);
  if (s.fCompact != fWantCompact) return VqxReport(false, none, ppCap, ppPort, nullptr, pun32Position);
  const u8* pm = static_cast<const u8*>(pMask);
  const u8* pt = reinterpret_cast<const u8*>(pTemplate);
  VqxChoice hit{};
  const bool fFound = VqxWalkChoices(s, [&](const VqxChoice& c) {
    if (!c.fTyped || c.pCap->Encoding.MediaType != un32Type || !VqxMediaModeAccepts(un32Mode, c.pCap->Direction))
      return false;
    if (pt != nullptr && pm != nullptr && un32Length != 0) {
      const u32 un32Size = VQXMediaLibGetCapabilityStructSize(c.pCap);
      u32 n = un32Size > 24 ? un32Size - 24 : 0;
      if (un32Length < n) n = un32Length;
      const u8* pc = reinterpret_cast<const u8*>(c.pCap);
      for (u32 i = 0; i < n; ++i)
        if (pm[24 + i] != 0 && pc[24 + i] != pt[24 + i]) return false;
    }
    hit = c;
    return true;
  });
  return VqxReport(fFound, hit, ppCap, ppPort, nullptr, pun32Position);
}

}  // namespace

VQX_RESULT VQXMediaFindFirstCap(const _VQX_SDP_INFO* r, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP** ppCap,
                                const _VQX_SIMULTANEOUS_CAP** ppDesc, u32* pun32Position) {
  const VqxEitherSet s(VQXMediaLibIsCapabilitiesCompact(r) ? nullptr : r);
  const VQX_RESULT res = VqxFindFirst(s, un32Type, un32Mode, ppCap, nullptr, ppDesc, pun32Position);
  return r == nullptr ? VQX_RESULT_NULL_PARAM : res;
}

VQX_RESULT VQXMediaFindFirstCap2(const void* pSet, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP** ppCap,
                                 const u16** ppPort, u32* pun32Position) {
  const VqxEitherSet s(pSet);
  const VQX_RESULT res = VqxFindFirst(s, un32Type, un32Mode, ppCap, ppPort, nullptr, pun32Position);
  return pSet == nullptr ? VQX_RESULT_NULL_PARAM : res;
}

u32 VQXMediaCapabilityExist(const void* pSet, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP** ppCap) {
  return VQXMediaFindFirstCap2(pSet, un32Type, un32Mode, ppCap, nullptr, nullptr) == VQX_RESULT_OK ? 1 : 0;
}

VQX_RESULT VQXMediaFindCapWithParamsExpanded(const void* pSet, u32 un32Type, u32 un32Mode,
                                             const _VQX_MEDIA_CAP* pTemplate, const void* pMask, u32 un32Length,
                                             const _VQX_MEDIA_CAP** ppCap, const u16** ppPort, u32* pun32Position) {
  return VqxFindWithParams(pSet, false, un32Type, un32Mode, pTemplate, pMask, un32Length, ppCap, ppPort,
                           pun32Position);
}

VQX_RESULT VQXMediaFindCapWithParamsCompact(const void* pSet, u32 un32Type, u32 un32Mode,
                                            const _VQX_MEDIA_CAP* pTemplate, const void* pMask, u32 un32Length,
                                            const _VQX_MEDIA_CAP** ppCap, const u16** ppPort, u32* pun32Position) {
  return VqxFindWithParams(pSet, true, un32Type, un32Mode, pTemplate, pMask, un32Length, ppCap, ppPort,
                           pun32Position);
}

VQX_RESULT VQXMediaFindCapWithParams(const void* pSet, u32 un32Type, u32 un32Mode, const _VQX_MEDIA_CAP* pTemplate,
                                     const void* pMask, u32 un32Length, const _VQX_MEDIA_CAP** ppCap,
                                     const u16** ppPort, u32* pun32Position) {
  u8 aun8Mask[sizeof(_VQX_MEDIA_CAP)];
  if (pTemplate != nullptr && pMask == nullptr) {
    std::memset(aun8Mask, 0, sizeof aun8Mask);
    un32Length = 0;
    for (const VqxDefaultMask& m : s_aDefaultMasks) {
      if (m.un32Type != pTemplate->Encoding.MediaType) continue;
      std::memset(aun8Mask + m.un8Offset, 0xFF, m.un8Width);
      un32Length = m.un8Length;
    }
    pMask = aun8Mask;
  }
  if (VQXMediaLibIsCapabilitiesCompact(pSet))
    return VQXMediaFindCapWithParamsCompact(pSet, un32Type, un32Mode, pTemplate, pMask, un32Length, ppCap, ppPort,
                                            pun32Position);
  return VQXMediaFindCapWithParamsExpanded(pSet, un32Type, un32Mode, pTemplate, pMask, un32Length, ppCap, ppPort,
                                           pun32Position);
}

VQX_RESULT VQXMediaFindCapByPayloadType(const void* pSet, u32 un32PayloadType, const _VQX_MEDIA_CAP** ppCap) {
  if (ppCap != nullptr) *ppCap = nullptr;
  if (pSet == nullptr || ppCap == nullptr) return VQX_RESULT_NULL_PARAM;
  const VqxEitherSet s(pSet);
  if (!s.fValid) return VQX_RESULT_NOT_FOUND;
  for (u32 i = 0; i < s.NbCaps(); ++i) {
    const _VQX_MEDIA_CAP* p = s.fCompact ? reinterpret_cast<const _VQX_MEDIA_CAP*>(s.compact.Cap(i)) : &s.pRecord->aMediaCap[i];
    const u32 un32Transport = s.fCompact ? s.compact.CapWord(i, 8) : p->Transport.Type;
    const u32 un32Pt = s.fCompact ? s.compact.CapWord(i, 12) : p->Transport.Rtp.un32PayloadType;
    if (un32Transport == VQX_MEDIA_TRANSPORT_RTP && un32Pt == un32PayloadType) {
      *ppCap = p;
      return VQX_RESULT_OK;
    }
  }
  return VQX_RESULT_NOT_FOUND;
}

VQX_RESULT VQXMediaFindCapByIndex(const void* pCompactSet, u32 un32Index, const _VQX_MEDIA_CAP** ppCap) {
  if (ppCap != nullptr) *ppCap = nullptr;
  if (pCompactSet == nullptr || ppCap == nullptr) return VQX_RESULT_NULL_PARAM;
  const VqxEitherSet s(pCompactSet);
  const u32 i = un32Index & 0xFFu;
  if (!s.fCompact || !s.fValid || i >= s.compact.un32NbCaps) return VQX_RESULT_NOT_FOUND;
  *ppCap = reinterpret_cast<const _VQX_MEDIA_CAP*>(s.compact.Cap(i));
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaGetCapIndex(const void* pCompactSet, const _VQX_MEDIA_CAP* pCap, u8* pun8Index) {
  if (pun8Index != nullptr) *pun8Index = 255;
  if (pCompactSet == nullptr || pCap == nullptr || pun8Index == nullptr) return VQX_RESULT_NULL_PARAM;
  const VqxEitherSet s(pCompactSet);
  if (!s.fCompact || !s.fValid) return VQX_RESULT_NOT_FOUND;
  for (u32 i = 0; i < s.compact.un32NbCaps; ++i) {
    if (reinterpret_cast<const u8*>(pCap) == s.compact.Cap(i)) {
      *pun8Index = static_cast<u8>(i);
      return VQX_RESULT_OK;
    }
  }
  return VQX_RESULT_NOT_FOUND;
}

const _VQX_MEDIA_CAP* VQXMediaGetNextCapability(const void* pSet, const _VQX_MEDIA_CAP* pCurrent) {
  const VqxEitherSet s(pSet);
  if (!s.fValid) return nullptr;
  auto at = [&s](u32 i) {
    return s.fCompact ? reinterpret_cast<const _VQX_MEDIA_CAP*>(s.compact.Cap(i)) : &s.pRecord->aMediaCap[i];
  };
  const u32 N = s.NbCaps();
  if (pCurrent == nullptr) return N > 0 ? at(0) : nullptr;
  for (u32 i = 0; i < N; ++i)
    if (at(i) == pCurrent) return i + 1 < N ? at(i + 1) : nullptr;
  return nullptr;
}
