/*
 * media_desc.cpp - building and walking a record: descriptions, connections,
 * capabilities and their choices, directions, merging one set into another
 * and dynamic RTP payload types. The SDP parser builds records through these
 * calls (session connection, then per m= line a description, its connection
 * and its capabilities in format order); applications call them afterwards.
 *
 * Every array write is bounded by the record's limits: a ninth description,
 * a 33rd choice or a ninth connection is refused with 0x82000008.
 */
#include "media_internal.h"

namespace {

/* Index of pDesc among the record's description slots, or -1. */
int VqxDescSlot(const _VQX_SDP_INFO* r, const _VQX_SIMULTANEOUS_CAP* pDesc, u32* pun32Group = nullptr) {
  for (u32 g = 0; g < VQX_MEDIA_MAX_GROUPS; ++g) {
    const _VQX_SIMULTANEOUS_CAP* p0 = r->aCapGroups[g].aSimultaneousCap;
    if (pDesc >= p0 && pDesc < p0 + VQX_MEDIA_MAX_DESCS) {
      if (pun32Group != nullptr) *pun32Group = g;
      return static_cast<int>(pDesc - p0);
    }
  }
  return -1;
}

/* Index of a capability pointer in the table, or -1 when it is not the start
 * of an entry. */
int VqxCapSlot(const _VQX_SDP_INFO* r, const _VQX_MEDIA_CAP* pCap) {
  const uintptr_t b = reinterpret_cast<uintptr_t>(r->aMediaCap), p = reinterpret_cast<uintptr_t>(pCap);
  if (p < b || p >= b + sizeof r->aMediaCap || (p - b) % sizeof(_VQX_MEDIA_CAP) != 0) return -1;
  return static_cast<int>((p - b) / sizeof(_VQX_MEDIA_CAP));
}

bool VqxHasChoice(const _VQX_SIMULTANEOUS_CAP& d, u32 un32Idx) {
  for (u32 c = 0; c < VqxNbChoices(d); ++c)
    if (d.aMediaCapChoices[c].un8CapIdx == un32Idx) return true;
  return false;
}

}  // namespace

VQX_RESULT VQXMediaLibMediaDescCreate(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP** ppDesc) {
  if (ppDesc != nullptr) *ppDesc = nullptr;
  if (r == nullptr) return VQX_RESULT_NULL_PARAM;
  if (r->un8NbCapabilityGroups > VQX_MEDIA_MAX_GROUPS) return VQX_RESULT_INVALID_PARAM;
  const u32 g = r->un8NbCapabilityGroups == 0 ? 0 : r->un8NbCapabilityGroups - 1u;
  _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
  if (grp.un8NbSimultaneousCap >= VQX_MEDIA_MAX_DESCS) return VQX_RESULT_OUT_OF_RESOURCE;
  if (r->un8NbCapabilityGroups == 0) r->un8NbCapabilityGroups = 1;
  /* A reused slot would carry the choices of an earlier description. */
  _VQX_SIMULTANEOUS_CAP* pDesc = &grp.aSimultaneousCap[grp.un8NbSimultaneousCap++];
  std::memset(pDesc, 0, sizeof *pDesc);
  if (ppDesc != nullptr) *ppDesc = pDesc;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescGetNext(_VQX_SDP_INFO* r, _VQX_MEDIA_CAP_GROUP* pGroup,
                                       _VQX_SIMULTANEOUS_CAP** ppCursor) {
  if (r == nullptr || ppCursor == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_SIMULTANEOUS_CAP* pCur = *ppCursor;
  *ppCursor = nullptr;
  if (pGroup == nullptr) {
    if (r->un8NbCapabilityGroups == 0) return VQX_RESULT_OK;
    pGroup = &r->aCapGroups[0];
  }
  if (pGroup != &r->aCapGroups[0] && pGroup != &r->aCapGroups[1]) return VQX_RESULT_OK;
  if (pCur == nullptr) {
    *ppCursor = &pGroup->aSimultaneousCap[0];
    return VQX_RESULT_OK;
  }
  if (pCur < pGroup->aSimultaneousCap || pCur >= pGroup->aSimultaneousCap + VQX_MEDIA_MAX_DESCS) return VQX_RESULT_OK;
  const u32 un32Next = static_cast<u32>(pCur - pGroup->aSimultaneousCap) + 1;
  if (un32Next < VqxNbDescs(*pGroup)) *ppCursor = &pGroup->aSimultaneousCap[un32Next];
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescCapabilityGetNext2(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP* pDesc, u32* pun32Counter,
                                                  _VQX_MEDIA_CAP** ppCap) {
  if (ppCap != nullptr) *ppCap = nullptr;
  if (r == nullptr || pun32Counter == nullptr || ppCap == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pDesc == nullptr) return VQX_RESULT_OK;
  const u32 n = *pun32Counter, un32Count = VqxNbChoices(*pDesc);
  if (n > un32Count) return VQX_RESULT_INVALID_PARAM;
  if (n == un32Count) return VQX_RESULT_OK;
  const u32 i = pDesc->aMediaCapChoices[n].un8CapIdx;
  if (i >= VqxNbCaps(r)) return VQX_RESULT_OK;
  *ppCap = &r->aMediaCap[i];
  *pun32Counter = n + 1;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescCapabilityGetNext(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP* pDesc,
                                                 _VQX_MEDIA_CAP** ppCap) {
  if (r == nullptr || ppCap == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_MEDIA_CAP* pCur = *ppCap;
  *ppCap = nullptr;
  if (pDesc == nullptr) return VQX_RESULT_OK;
  const u32 un32Count = VqxNbChoices(*pDesc);
  u32 c = 0;
  if (pCur != nullptr) {
    const int i = VqxCapSlot(r, pCur);
    if (i < 0) return VQX_RESULT_INVALID_PARAM;
    if (static_cast<u32>(i) >= VqxNbCaps(r)) return VQX_RESULT_OK;
    while (c < un32Count && pDesc->aMediaCapChoices[c].un8CapIdx != i) ++c;
    ++c; /* the choice after the first one holding the cursor */
  }
  if (c >= un32Count) return VQX_RESULT_OK;
  const u32 un32Idx = pDesc->aMediaCapChoices[c].un8CapIdx;
  if (un32Idx < VqxNbCaps(r)) *ppCap = &r->aMediaCap[un32Idx];
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescConnectionGet(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP* pDesc,
                                             _VQX_SDP_CONNECTION** ppConn) {
  if (ppConn != nullptr) *ppConn = nullptr;
  if (r == nullptr || pDesc == nullptr || ppConn == nullptr) return VQX_RESULT_NULL_PARAM;
  const u32 i = pDesc->un8ConnectionIdx;
  if (i < r->un8NbConnections && i < VQX_MEDIA_MAX_CONNECTIONS) *ppConn = &r->aConnections[i];
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibSdpSessionConnectionGet(_VQX_SDP_INFO* r, _VQX_SDP_CONNECTION** ppConn) {
  if (ppConn != nullptr) *ppConn = nullptr;
  if (r == nullptr || ppConn == nullptr) return VQX_RESULT_NULL_PARAM;
  if (r->un8NbConnections > 0) *ppConn = &r->aConnections[0];
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibSdpSessionConnectionAdd(_VQX_SDP_INFO* r, const _VQX_SDP_CONNECTION* pConn) {
  if (r == nullptr || pConn == nullptr) return VQX_RESULT_NULL_PARAM;
  if (r->un8NbConnections >= VQX_MEDIA_MAX_CONNECTIONS) return VQX_RESULT_OUT_OF_RESOURCE;
  std::memmove(&r->aConnections[0], pConn, sizeof *pConn);
  ++r->un8NbConnections;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescConnectionAdd(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP* pDesc,
                                             const _VQX_SDP_CONNECTION* pConn) {
  if (r == nullptr || pDesc == nullptr || pConn == nullptr) return VQX_RESULT_NULL_PARAM;
  if (r->un8NbConnections >= VQX_MEDIA_MAX_CONNECTIONS) return VQX_RESULT_OUT_OF_RESOURCE;
  std::memmove(&r->aConnections[r->un8NbConnections], pConn, sizeof *pConn);
  pDesc->un8ConnectionIdx = r->un8NbConnections++;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescCreateDefault(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP** ppDesc) {
  if (ppDesc != nullptr) *ppDesc = nullptr;
  if (r == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_SIMULTANEOUS_CAP* pDesc = &r->aCapGroups[0].aSimultaneousCap[0];
  const _VQX_SDP_CONNECTION zero{};
  (void)VQXMediaLibMediaDescConnectionAdd(r, pDesc, &zero);
  if (ppDesc != nullptr) *ppDesc = pDesc;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescCapabilityAdd(_VQX_SDP_INFO* r, _VQX_SIMULTANEOUS_CAP* pDesc,
                                             const _VQX_MEDIA_CAP* pCap) {
  if (r == nullptr || pDesc == nullptr || pCap == nullptr) return VQX_RESULT_NULL_PARAM;
  if (VqxDescSlot(r, pDesc) < 0) return VQX_RESULT_INVALID_PARAM;
  const u32 N = VqxNbCaps(r);
  u32 i = 0;
  while (i < N && !VqxSameCap(r->aMediaCap[i], *pCap)) ++i;
  if (i < N && VqxHasChoice(*pDesc, i)) return VQX_RESULT_INVALID_CONFIG;
  if (pDesc->un8NbChoices >= VQX_MEDIA_MAX_CHOICES) return VQX_RESULT_OUT_OF_RESOURCE;
  if (i == N) {
    if (N >= VQX_MEDIA_MAX_CAPS) return VQX_RESULT_OUT_OF_RESOURCE;
    std::memmove(&r->aMediaCap[N], pCap, sizeof *pCap);
    r->un8NbMediaCapabilities = static_cast<u8>(N + 1);
  }
  pDesc->aMediaCapChoices[pDesc->un8NbChoices++].un8CapIdx = static_cast<u8>(i);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibMediaDescCapabilityAddAfter(const _VQX_SDP_INFO* r, _VQX_SDP_INFO* o) {
  if (r == nullptr || o == nullptr || o->un8NbCapabilityGroups == 0) return VQX_RESULT_FAIL;
  const u32 un32NbRecord = VqxNbCaps(r);
  for (u32 g = 0; g < VqxNbGroups(o); ++g) {
    _VQX_MEDIA_CAP_GROUP& grp = o->aCapGroups[g];
    for (u32 d = 0; d < VqxNbDescs(grp); ++d) {
      _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      const u32 un32Main = desc.aMediaCapChoices[0].un8CapIdx;
      if (un32Main >= VQX_MEDIA_MAX_CAPS || un32NbRecord == 0) continue;
      const u32 un32MainType = o->aMediaCap[un32Main].Encoding.MediaType;
      const bool fAudio = VqxMediaIsAudio(un32MainType), fVideo = VqxMediaIsVideo(un32MainType);
      for (u32 i = 0; i < un32NbRecord; ++i) {
        const _VQX_MEDIA_CAP& cap = r->aMediaCap[i];
        const u32 t = cap.Encoding.MediaType;
        if (!((fAudio && VqxMediaIsAudio(t)) || (fVideo && VqxMediaIsVideo(t)))) continue;
        const _VQX_MEDIA_CAP* pFound = nullptr;
        (void)VQXMediaFindCapWithParams(o, t, VQX_MEDIA_MODE_ANY, &cap, nullptr, 0, &pFound, nullptr, nullptr);
        int idx = pFound != nullptr ? VqxCapSlot(o, pFound) : -1;
        if (idx < 0) {
          if (o->un8NbMediaCapabilities >= VQX_MEDIA_MAX_CAPS || desc.un8NbChoices >= VQX_MEDIA_MAX_CHOICES) continue;
          idx = o->un8NbMediaCapabilities++;
          o->aMediaCap[idx] = cap;
          o->aMediaCap[idx].Direction = VQX_MEDIA_DIR_SEND_RECV_COPY;
        }
        if (!VqxHasChoice(desc, static_cast<u32>(idx)) && desc.un8NbChoices < VQX_MEDIA_MAX_CHOICES)
          desc.aMediaCapChoices[desc.un8NbChoices++].un8CapIdx = static_cast<u8>(idx);
      }
    }
  }
  return VQX_RESULT_OK;
}

void VQXMediaLibSdpDuplicateRxAsTx(_VQX_SDP_INFO* r) {
  if (r == nullptr) return;
  const u32 N = VqxNbCaps(r);
  for (u32 i = 0; i < N; ++i)
    if (r->aMediaCap[i].Direction != VQX_MEDIA_DIR_RECV_ONLY) return;
  for (u32 i = 0; i < N; ++i) r->aMediaCap[i].Direction = VQX_MEDIA_DIR_SEND_RECV_COPY;
}

void VQXMediaLibInverseCapabilitiesDirection(_VQX_SDP_INFO* r) {
  if (r == nullptr) return;
  for (u32 i = 0; i < VqxNbCaps(r); ++i) {
    u32& dir = r->aMediaCap[i].Direction;
    if (dir == VQX_MEDIA_DIR_RECV_ONLY)
      dir = VQX_MEDIA_DIR_SEND_ONLY;
    else if (dir == VQX_MEDIA_DIR_SEND_ONLY)
      dir = VQX_MEDIA_DIR_RECV_ONLY;
  }
}

VQX_RESULT VQXMediaLibAssignDynamicPayloadTypes(_VQX_SDP_INFO* r, u32 un32NbFixed) {
  if (r == nullptr) return VQX_RESULT_FAIL;
  constexpr u32 kFirst = 96, kEnd = 128;
  u32 un32Used = 0; /* bit v - 96 */
  auto used = [&un32Used](u32 v) { return (un32Used >> (v - kFirst)) & 1u; };
  auto mark = [&un32Used](u32 v) { un32Used |= 1u << (v - kFirst); };
  const u32 N = VqxNbCaps(r);
  const u32 un32Fixed = (un32NbFixed & 0xFFu) < N ? (un32NbFixed & 0xFFu) : N;
  for (u32 i = 0; i < un32Fixed; ++i) {
    const _VQX_MEDIA_CAP& c = r->aMediaCap[i];
    const int p = static_cast<i8>(c.Transport.Rtp.un32PayloadType & 0xFFu);
    if (c.Transport.Type == VQX_MEDIA_TRANSPORT_RTP && p >= 96 && p <= 127) mark(static_cast<u32>(p));
  }
  u32 un32FirstInvalid = N;
  for (u32 i = un32Fixed; i < N; ++i) {
    _VQX_MEDIA_CAP& c = r->aMediaCap[i];
    if (c.Transport.Type != VQX_MEDIA_TRANSPORT_RTP) continue;
    const u32 p = c.Transport.Rtp.un32PayloadType & 0xFFu;
    const bool fInvalid = p >= kEnd || (p < kFirst && c.Encoding.MediaType >= kFirst) || (p >= kFirst && used(p));
    if (fInvalid) {
      c.Transport.Rtp.un32PayloadType = VQX_MEDIA_PAYLOAD_TYPE_NONE;
      if (un32FirstInvalid == N) un32FirstInvalid = i;
    } else if (p >= kFirst) {
      mark(p);
    }
  }
  u32 next = kFirst;
  for (u32 i = un32FirstInvalid; i < N && next < kEnd; ++i) {
    _VQX_MEDIA_CAP& c = r->aMediaCap[i];
    if (c.Transport.Type != VQX_MEDIA_TRANSPORT_RTP || c.Transport.Rtp.un32PayloadType != VQX_MEDIA_PAYLOAD_TYPE_NONE)
      continue;
    const u32 t = c.Encoding.MediaType;
    if ((t == VQX_MEDIA_TYPE_TELEPHONE_EVENT || t == VQX_MEDIA_TYPE_NSE) && !used(t)) {
      c.Transport.Rtp.un32PayloadType = t;
      mark(t);
      continue;
    }
    while (next < kEnd && (next == VQX_MEDIA_TYPE_NSE || next == VQX_MEDIA_TYPE_TELEPHONE_EVENT || used(next))) ++next;
    if (next >= kEnd) break;
    c.Transport.Rtp.un32PayloadType = next;
    mark(next);
    ++next;
  }
  return VQX_RESULT_OK;
}
