/*
 * media_validate.cpp - checking a capability set against the record's limits
 * and the rules of each transport and media type, with a one-line reason for
 * the first fault, and the repair that drops capabilities of the invalid type.
 */
#include <algorithm>
#include <iterator>

#include "media_internal.h"
#include "vqx_string.h"

namespace {

/* Media types a valid capability may hold (514 and 768..770 have a further
 * condition on their parameters). */
constexpr u32 s_aValidTypes[] = {0,   3,   4,   5,   7,   8,   9,   10,  12,  13,  14,  15,  18,  25,  26,
                                 28,  31,  32,  33,  34,  70,  71,  98,  99,  100, 101, 102, 103, 104, 105,
                                 106, 107, 108, 109, 110, 111, 115, 119, 120, 121, 122, 123, 124, 125, 126,
                                 512, 513, 514, 768, 769, 770};

/* First fault's text and code; later ones are not written. */
class VqxVerdict {
 public:
  explicit VqxVerdict(char* psz) : mpsz(psz) {
    if (mpsz != nullptr) mpsz[0] = '\0';
  }
  template <class... T>
  VQX_RESULT Fail(VQX_RESULT r, const char* pszFormat, T... args) {
    if (mpsz != nullptr && !mfText) {
      if constexpr (sizeof...(T) == 0)
        Snprintf(mpsz, VQX_MEDIA_VALIDATE_TEXT_SIZE, "%s", pszFormat);
      else
        Snprintf(mpsz, VQX_MEDIA_VALIDATE_TEXT_SIZE, pszFormat, args...);
    }
    mfText = true;
    return r;
  }
  bool Text() const { return mfText; }
  void NewCapability() { mfText = false; }

 private:
  char* mpsz;
  bool mfText = false;
};

constexpr VQX_RESULT kStruct = VQX_RESULT_OUT_OF_RANGE;
constexpr VQX_RESULT kCap = VQX_RESULT_INVALID_PARAM;

VQX_RESULT VqxValidateCapability(const _VQX_MEDIA_CAP& c, u32 i, VqxVerdict& v) {
  v.NewCapability();
  VQX_RESULT res = VQX_RESULT_OK;
  const u32 t = c.Encoding.MediaType;
  if (c.Direction < VQX_MEDIA_DIR_RECV_ONLY || c.Direction > VQX_MEDIA_DIR_INACTIVE)
    res = v.Fail(kCap, "aMediaCap[%u].Direction is invalid (%u)", i, c.Direction);
  const bool fAudio = VqxMediaIsAudio(t);
  switch (c.Transport.Type) {
    case VQX_MEDIA_TRANSPORT_RTP: {
      if (t == VQX_MEDIA_TYPE_T38 || !fAudio) break;
      const u32 n = c.Transport.Rtp.un16MaxAudioFramesPerPacket;
      const u32 un32Max = (t == VQX_MEDIA_TYPE_PCMU || t == VQX_MEDIA_TYPE_PCMA) ? 1500 : 255;
      if (n == 0) res = v.Fail(kCap, "aMediaCap[%u].Transport.Rtp.un16MaxAudioFramesPerPacket is invalid (%u)", i, 0u);
      else if (n > un32Max)
        res = v.Fail(kCap, "aMediaCap[%u].Transport.Rtp.un16MaxAudioFramesPerPacket is too big (%u)", i, n);
      break;
    }
    case VQX_MEDIA_TRANSPORT_H223: {
      if (t == VQX_MEDIA_TYPE_T38 || !fAudio) break;
      const u32 n = c.Transport.H223.un16MaxAudioFramesPerALSdu;
      if (n == 0) res = v.Fail(kCap, "aMediaCap[%u].Transport.H223.un16MaxAudioFramesPerALSdu is invalid (%u)", i, 0u);
      else if (n >= 256)
        res = v.Fail(kCap, "aMediaCap[%u].Transport.H223.un16MaxAudioFramesPerALSdu is too big (%u)", i, n);
      break;
    }
    case VQX_MEDIA_TRANSPORT_UDPTL:
      /* Only T.38 travels over UDPTL: refused without a text, and that ends
       * the capability's texts (a type that is also invalid adds none). */
      if (t != VQX_MEDIA_TYPE_T38) res = v.Fail(kCap, "");
      break;
    case VQX_MEDIA_TRANSPORT_OTHER:
      break;
    default:
      res = v.Fail(kCap, "aMediaCap[%u].Transport.Type is invalid (%u)", i, c.Transport.Type);
  }
  bool fType = std::binary_search(std::begin(s_aValidTypes), std::end(s_aValidTypes), t);
  if (t == VQX_MEDIA_TYPE_USER_INDICATION && c.Encoding.UserIndication.un32Flags == 0 &&
      c.Encoding.UserIndication.un16Flags == 0) {
    return v.Text() ? res : v.Fail(kCap, "aMediaCap[%u].Encoding.UserIndication has no flag set", i);
  }
  if (t >= VQX_MEDIA_TYPE_AUDIO_NOT_PARSED && t <= VQX_MEDIA_TYPE_NOT_PARSED && c.Encoding.szNotParsed[0] == '\0')
    fType = false;
  if (!fType && !v.Text()) res = v.Fail(kCap, "aMediaCap[%u].Encoding.MediaType is invalid (%u)", i, t);
  else if (!fType) res = kCap;
  return res;
}

}  // namespace

VQX_RESULT VQXMediaValidateCapabilitiesExpanded(const _VQX_SDP_INFO* r, const _VQX_SDP_INFO* pSdp, char* pszText) {
  VqxVerdict v(pszText);
  if (r == nullptr) return VQX_RESULT_NULL_PARAM;
  const u32 N = r->un8NbMediaCapabilities, G = r->un8NbCapabilityGroups;
  if (N == 0) return v.Fail(kStruct, "un8NbMediaCapabilities is 0");
  if (N > VQX_MEDIA_MAX_CAPS)
    return v.Fail(kStruct, "un8NbMediaCapabilities out of range (%u, max %u)", N, VQX_MEDIA_MAX_CAPS);
  if (G == 0) return v.Fail(kStruct, "un8NbCapabilityGroups is 0");
  if (G > VQX_MEDIA_MAX_GROUPS)
    return v.Fail(kStruct, "un8NbCapabilityGroups out of range (%u, max %u)", G, VQX_MEDIA_MAX_GROUPS);
  const u32 un32NbConn = pSdp != nullptr ? pSdp->un8NbConnections : 0;
  if (pSdp != nullptr && un32NbConn > VQX_MEDIA_MAX_CONNECTIONS)
    return v.Fail(kStruct, "un8NbConnections out of range (%u, max %u)", un32NbConn, VQX_MEDIA_MAX_CONNECTIONS);
  for (u32 g = 0; g < G; ++g) {
    const _VQX_MEDIA_CAP_GROUP& grp = r->aCapGroups[g];
    const u32 D = grp.un8NbSimultaneousCap;
    if (D == 0) return v.Fail(kStruct, "aCapGroups[%u].un8NbSimultaneousCap is 0", g);
    if (D > VQX_MEDIA_MAX_DESCS)
      return v.Fail(kStruct, "aCapGroups[%u].un8NbSimultaneousCap out of range (%u, max %u)", g, D, VQX_MEDIA_MAX_DESCS);
    for (u32 d = 0; d < D; ++d) {
      const _VQX_SIMULTANEOUS_CAP& desc = grp.aSimultaneousCap[d];
      const u32 C = desc.un8NbChoices;
      if (C == 0) return v.Fail(kStruct, "aCapGroups[%u].aSimultaneousCap[%u].un8NbChoices is 0", g, d);
      if (C > VQX_MEDIA_MAX_CHOICES)
        return v.Fail(kStruct, "aCapGroups[%u].aSimultaneousCap[%u].un8NbChoices out of range (%u, max %u)", g, d, C,
                      VQX_MEDIA_MAX_CHOICES);
      if (pSdp != nullptr && desc.un8ConnectionIdx >= un32NbConn)
        return v.Fail(kStruct, "aCapGroups[%u].aSimultaneousCap[%u].un8ConnectionIdx out of range (%u, max %u)", g, d,
                      static_cast<u32>(desc.un8ConnectionIdx), un32NbConn);
      if (pSdp != nullptr && desc.un8RedundantConnectionIdx >= un32NbConn)
        return v.Fail(kStruct,
                      "aCapGroups[%u].aSimultaneousCap[%u].un8RedundantConnectionIdx out of range (%u, max %u)", g, d,
                      static_cast<u32>(desc.un8RedundantConnectionIdx), un32NbConn);
      for (u32 c = 0; c < C; ++c) {
        const u32 i = desc.aMediaCapChoices[c].un8CapIdx;
        if (i >= N)
          return v.Fail(kStruct,
                        "aCapGroups[%u].aSimultaneousCap[%u].aMediaCapChoices[%u].un8CapIdx out of range (%u, max %u)",
                        g, d, c, i, N);
      }
    }
  }
  for (u32 i = 0; i < N; ++i) {
    const VQX_RESULT res = VqxValidateCapability(r->aMediaCap[i], i, v);
    if (VQX_RESULT_FAILED(res)) return res;
  }
  if (pszText != nullptr) pszText[0] = '\0';
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaValidateCapabilities(const void* pSet, const void* pSdpInfo, char* pszText) {
  if (pszText != nullptr) pszText[0] = '\0';
  if (pSet == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_SDP_INFO set, sdp;
  if (VQXMediaLibIsCapabilitiesCompact(pSet)) {
    std::memset(&set, 0, sizeof set);
    const VQX_RESULT res = VQXMediaLibCapabilitiesExpand(static_cast<const _VQX_MEDIA_CAPABILITIES_COMPACT*>(pSet), &set);
    if (VQX_RESULT_FAILED(res)) return res;
    pSet = &set;
  }
  if (pSdpInfo != nullptr && VQXMediaLibIsCapabilitiesCompact(pSdpInfo)) {
    std::memset(&sdp, 0, sizeof sdp);
    const VQX_RESULT res = VQXMediaLibSdpInfoExpand(static_cast<const _VQX_SDP_INFO_COMPACT*>(pSdpInfo), &sdp);
    if (VQX_RESULT_FAILED(res)) return res;
    pSdpInfo = &sdp;
  }
  return VQXMediaValidateCapabilitiesExpanded(static_cast<const _VQX_SDP_INFO*>(pSet),
                                              static_cast<const _VQX_SDP_INFO*>(pSdpInfo), pszText);
}

VQX_RESULT VQXMediaRepairCapabilities(void* pSet, char* pszText) {
  if (pszText != nullptr) pszText[0] = '\0';
  if (pSet == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_SDP_INFO invalid;
  std::memset(&invalid, 0, sizeof invalid);
  invalid.un8NbMediaCapabilities = 1;
  invalid.aMediaCap[0].Encoding.MediaType = VQX_MEDIA_TYPE_INVALID;
  _VQX_SDP_INFO local;
  _VQX_SDP_INFO* r = static_cast<_VQX_SDP_INFO*>(pSet);
  if (VQXMediaLibIsCapabilitiesCompact(pSet)) {
    std::memset(&local, 0, sizeof local);
    const VQX_RESULT res = VQXMediaLibCapabilitiesExpand(static_cast<const _VQX_MEDIA_CAPABILITIES_COMPACT*>(pSet), &local);
    if (VQX_RESULT_FAILED(res)) return res;
    r = &local;
  }
  (void)VQXMediaCapabilitiesNotExpanded(r, &invalid, r);
  return VQXMediaValidateCapabilitiesExpanded(r, nullptr, pszText);
}
