/*
 * media_text.cpp - the human-readable texts of a record: the codec choices of
 * its descriptions ("( PCMU or G729AB ) / ( IFP )") and the event lists of a
 * telephone-event or NSE capability ("0-15,32"). Every write is bounded by the
 * caller's buffer.
 */
#include <cstdio>

#include "media_internal.h"
#include "vqx_string.h"

VQX_RESULT VQXMediaLibCapabilitiesFormatCodecChoicesExpanded(const _VQX_SDP_INFO* r, char* pszText, u16* pun16Length) {
  if (pszText == nullptr || pun16Length == nullptr) return VQX_RESULT_NULL_PARAM;
  const size_t size = *pun16Length;
  if (size == 0) return VQX_RESULT_INVALID_PARAM;
  pszText[0] = '\0';
  size_t off = 0;
  if (r != nullptr && r->un8NbCapabilityGroups != 0) {
    const _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[0];
    bool fWritten = false;
    for (u32 d = 0; d < VqxNbDescs(grp); ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      bool fFirst = true;
      for (u32 c = 0; c < VqxNbChoices(desc); ++c) {
        const u32 i = desc.aMediaCapChoices[c].un8CapIdx;
        if (i >= VqxNbCaps(r) || r->aMediaCap[i].Encoding.MediaType == VQX_MEDIA_TYPE_INVALID) continue;
        const char* pszName = VqxMediaTypeLookup(r->aMediaCap[i].Encoding.MediaType).pszName;
        /* " / " separates a description from the previous one written. */
        const char* pszFormat = !fFirst ? " or %s" : (fWritten ? " / ( %s" : "( %s");
        off += Snprintf(pszText + off, size - off, pszFormat, pszName);
        fFirst = false;
      }
      if (!fFirst) off += Snprintf(pszText + off, size - off, " )");
      fWritten = fWritten || !fFirst;
    }
  }
  *pun16Length = static_cast<u16>(off);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaLibCapabilitiesFormatCodecChoices(const void* pSet, char* pszText, u16* pun16Length) {
  if (!VQXMediaLibIsCapabilitiesCompact(pSet))
    return VQXMediaLibCapabilitiesFormatCodecChoicesExpanded(static_cast<const _VQX_SDP_INFO*>(pSet), pszText,
                                                             pun16Length);
  _VQX_SDP_INFO local;
  std::memset(&local, 0, sizeof local);
  const VQX_RESULT res = VQXMediaLibCapabilitiesExpand(static_cast<const _VQX_MEDIA_CAPABILITIES_COMPACT*>(pSet), &local);
  if (VQX_RESULT_FAILED(res)) return res;
  return VQXMediaLibCapabilitiesFormatCodecChoicesExpanded(&local, pszText, pun16Length);
}

namespace {

VQX_RESULT VqxFormatEventList(const u32* pun32Bitmap, u32 un32Size, char* pszText) {
  if (pun32Bitmap == nullptr || pszText == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un32Size == 0) return VQX_RESULT_INVALID_PARAM;
  constexpr u32 kEvents = 256;
  auto set = [pun32Bitmap](u32 e) { return ((pun32Bitmap[e / 32] >> (e % 32)) & 1u) != 0; };
  pszText[0] = '\0';
  u32 off = 0;
  for (u32 e = 0; e < kEvents; ++e) {
    if (!set(e)) continue;
    u32 last = e;
    while (last + 1 < kEvents && set(last + 1)) ++last;
    char szItem[16];
    const char* pszComma = off == 0 ? "" : ",";
    const int n = last > e ? std::snprintf(szItem, sizeof szItem, "%s%u-%u", pszComma, e, last)
                           : std::snprintf(szItem, sizeof szItem, "%s%u", pszComma, e);
    if (static_cast<u32>(n) + 1 > un32Size - off) return VQX_RESULT_FAIL;
    std::memcpy(pszText + off, szItem, static_cast<u32>(n) + 1);
    off += static_cast<u32>(n);
    e = last;
  }
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VQXMediaLibSdpFormatNseEventList(const u32* pun32Bitmap, u32 un32Size, char* pszText) {
  return VqxFormatEventList(pun32Bitmap, un32Size, pszText);
}

VQX_RESULT VQXMediaLibSdpFormatRFC2833EventList(const u32* pun32Bitmap, u32 un32Size, char* pszText) {
  return VqxFormatEventList(pun32Bitmap, un32Size, pszText);
}

std::string VqxMediaDumpSet(const _VQX_SDP_INFO& r) {
  std::string s = "caps";
  for (u32 i = 0; i < VqxNbCaps(&r); ++i) s.append(" ").append(std::to_string(r.aMediaCap[i].Encoding.MediaType));
  for (u32 g = 0; g < VqxNbGroups(&r); ++g) {
    s.append("; g").append(std::to_string(g));
    for (u32 d = 0; d < VqxNbDescs(r.aCapGroups[g]); ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = r.aCapGroups[g].aSimultaneousCap[d];
      s.append(" {");
      for (u32 c = 0; c < VqxNbChoices(desc); ++c)
        s.append(c ? " " : "").append(std::to_string(desc.aMediaCapChoices[c].un8CapIdx));
      s.append("}");
    }
  }
  return s;
}
