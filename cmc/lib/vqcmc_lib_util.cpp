/*
 * Copies of the call/media control attribute records and the media-profile
 * alterations (vqcmc_lib_util.h). Called by the attribute classes and by
 * the library's own notifications on whatever thread owns the messages.
 */
#include "vqcmc_lib_util.h"

#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "vq500_sip_ie_records.h"
#include "vqcmc_lib_internal.h"
#include "vqx_msg_element.h"

namespace {

constexpr u32 kMaxElement = 0xFFFFu;
constexpr u32 kSipBodyNone = 1u, kSipBodyMultiPart = 3u;
constexpr u32 kCasType1 = 1u, kCasType2 = 2u;
/* Profile element types and where their inner sizes lie. */
constexpr u32 kProfileType1 = 1u;
constexpr u32 kPeerSizeAt = 12u, kPeerExtra = 8u;
constexpr u32 kLocalSizeAt = 20u, kLocalExtra = 16u;
constexpr u32 kProfileNameAt = 16u, kProfileNameField = 64u;
constexpr u32 kProfileMediaDescription = 64u;

u32 GetU32(const void* pv, u32 un32At = 0) {
  u32 un32;
  memcpy(&un32, static_cast<const u8*>(pv) + un32At, 4);
  return un32;
}
void PutU32(void* pv, u32 un32At, u32 un32) { memcpy(static_cast<u8*>(pv) + un32At, &un32, 4); }
u16 GetU16(const void* pv, u32 un32At) {
  u16 un16;
  memcpy(&un16, static_cast<const u8*>(pv) + un32At, 2);
  return un16;
}
void SwapU32(void* pv, u32 un32At) { PutU32(pv, un32At, __builtin_bswap32(GetU32(pv, un32At))); }

const IeCopyContext* Context(void* pvContext) { return static_cast<const IeCopyContext*>(pvContext); }

/* What an element copy starts with: its arguments, and its first word as stored and as read in the source order. */
VQX_RESULT ElementStart(const IeCopyContext* pCtx, const void* pvSrc, const void* pDstMsg, const void* pvDst,
                        u16 un16Size, u32* pun32Word, u32* pun32Type) {
  if (pCtx == nullptr || pvSrc == nullptr || pDstMsg == nullptr || pvDst == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un16Size < 4) return VQX_RESULT_INVALID_MESSAGE;
  *pun32Word = GetU32(pvSrc);
  *pun32Type = pCtx->un32SrcOrder == VQCMC_COPY_ORDER_HOST ? *pun32Word : __builtin_bswap32(*pun32Word);
  return VQX_RESULT_OK;
}

/* An inner set of an element: checked in the source message when the context names one, then duplicated
 * (nothing for the same word). */
i32 DupInner(const IeCopyContext* pCtx, const u8* pbySrcSet, void* pDstMsg, u8* pbyDstSet) {
  if (pbySrcSet == pbyDstSet) return static_cast<i32>(VQX_RESULT_OK);
  memset(pbyDstSet, 0, sizeof(VQXMsgElementSet));
  if (pCtx->pSrcMsg != nullptr) {
    const VQX_RESULT Result = VqxMsgElementCheckSet(pCtx->pSrcMsg, pbySrcSet);
    if (VQX_RESULT_FAILED(Result)) return static_cast<i32>(Result);
  }
  return static_cast<i32>(VQXMsgElementDupSet(pbySrcSet, pDstMsg, pbyDstSet, nullptr, nullptr));
}

/* Records that share bytes without being the same record cannot be copied: set words are relative. */
bool Overlap(const void* pvSrc, const void* pvDst, u32 un32Size) {
  const u8* pbySrc = static_cast<const u8*>(pvSrc);
  const u8* pbyDst = static_cast<const u8*>(pvDst);
  return pbySrc != pbyDst && pbyDst < pbySrc + un32Size && pbySrc < pbyDst + un32Size;
}

/* No set to check at this place. */
constexpr u32 kNoSet = 0xFFFFFFFFu;

/* The argument and source checks every record copy starts with (the record, then its sets at these offsets);
 * refusals logged under the copy's name. */
VQX_RESULT CheckSource(VQCMC_LIB_HANDLE hLib, const char* pszOp, VQX_MSG_HANDLE hSrcMsg, const void* pSrc,
                       VQX_MSG_HANDLE hDstMsg, const void* pDst, u32 un32Size, std::initializer_list<u32> Sets) {
  if (pSrc == nullptr || pDst == nullptr || hDstMsg == nullptr) {
    VQCMC_ERR(hLib, pszOp, VQX_RESULT_NULL_PARAM, "Null argument");
    return VQX_RESULT_NULL_PARAM;
  }
  if (Overlap(pSrc, pDst, un32Size)) {
    VQCMC_ERR(hLib, pszOp, VQX_RESULT_INVALID_PARAM, "Overlapping records");
    return VQX_RESULT_INVALID_PARAM;
  }
  if (hSrcMsg == nullptr) return VQX_RESULT_OK;
  VQX_RESULT Result = VQCmcLibMsgCheckRecord(hSrcMsg, pSrc, un32Size);
  for (auto it = Sets.begin(); it != Sets.end() && VQX_RESULT_SUCCEEDED(Result); ++it) {
    if (*it != kNoSet) Result = VqxMsgElementCheckSet(hSrcMsg, static_cast<const u8*>(pSrc) + *it);
  }
  if (VQX_RESULT_FAILED(Result)) VQCMC_ERR(hLib, pszOp, Result, "Malformed record refused");
  return Result;
}

/* A record whose only set, at offset 0, holds plain bytes (tones, record paths, play files). */
struct PlainRecord {
  const char* pszOp;
  const char* pszFailure;
  u32 un32Size;
};
constexpr PlainRecord kEvent{"VQCmcLibMsgCopyEventAttribute", "VqCmcLibMsgCopyStringSet setTones Failed",
                             sizeof(_VQCMC_EVENT_ATTRIBUTE)};
constexpr PlainRecord kRecord{"VQCmcLibMsgCopyRecordAttribute", "VqCmcLibMsgCopyStringSet setRecordFilePaths Failed",
                              sizeof(_VQCMC_RECORD_ATTRIBUTE)};
constexpr PlainRecord kPlay{"VQCmcLibMsgCopyPlayAttribute", "VQXMsgElementDupSet setPlayFileParams Failed",
                            sizeof(_VQCMC_PLAY_ATTRIBUTE)};

VQX_RESULT CopyPlain(VQCMC_LIB_HANDLE hLib, const PlainRecord& Rec, const void* pSrc, VQX_MSG_HANDLE hDstMsg,
                     void* pDst, VQX_MSG_HANDLE hSrcMsg) {
  VQX_RESULT Result = CheckSource(hLib, Rec.pszOp, hSrcMsg, pSrc, hDstMsg, pDst, Rec.un32Size, {0});
  if (VQX_RESULT_FAILED(Result) || pSrc == pDst) return Result;
  memcpy(pDst, pSrc, Rec.un32Size);
  PutU32(pDst, 0, 0);
  Result = VQXMsgElementDupSet(pSrc, hDstMsg, pDst, nullptr, nullptr);
  if (VQX_RESULT_FAILED(Result)) VQCMC_ERR(hLib, Rec.pszOp, Result, "%s", Rec.pszFailure);
  return Result;
}

/* Size a profile element of this type copies, or 0 with *pResult set (logged by the caller). */
u32 ProfileElementSize(const u8* pby, u16 un16Size, VQX_RESULT* pResult, const char** ppszText) {
  *pResult = VQX_RESULT_INVALID_MESSAGE;
  *ppszText = "Opaque media element shorter than its content";
  if (un16Size < 4) return 0;
  const u32 un32Type = GetU32(pby);
  u32 un32Need = 0;
  if (un32Type == VQCMC_MEDIA_ELEMENT_NAME) {
    un32Need = VQCMC_PROFILE_NAME_ELEMENT_SIZE;
  } else if (un32Type == kProfileType1 || un32Type == VQCMC_MEDIA_ELEMENT_PEER_SDP) {
    if (un16Size < kPeerSizeAt + 2) return 0;
    un32Need = kPeerExtra + GetU16(pby, kPeerSizeAt);
  } else if (un32Type == VQCMC_MEDIA_ELEMENT_LOCAL_SDP) {
    if (un16Size < kLocalSizeAt + 2) return 0;
    un32Need = kLocalExtra + GetU16(pby, kLocalSizeAt);
  } else {
    *pResult = VQX_RESULT_INVALID_PARAM;
    *ppszText = "Invalid opaque media type";
    return 0;
  }
  // A 16-bit element size would cut a larger one while the whole of it is copied.
  if (un32Need > kMaxElement) {
    *pResult = VQX_RESULT_INVALID_PARAM;
    *ppszText = "Opaque media element above 65535 bytes";
    return 0;
  }
  return un32Need <= un16Size ? un32Need : 0;
}

VQX_RESULT CopyProfileElements(VQCMC_LIB_HANDLE hLib, const char* pszOp, const _VQCMC_MEDIA_PROFILE* pSrc,
                               VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pDst) {
  memcpy(pDst->abyMediaDescription, pSrc->abyMediaDescription, kProfileMediaDescription);
  pDst->setProfileElements = 0;
  u16 un16Size = 0;
  for (void* pv = nullptr; (pv = VQXMsgElementGetNext(&pSrc->setProfileElements, pv, &un16Size)) != nullptr;) {
    VQX_RESULT Result = VQX_RESULT_OK;
    const char* pszText = nullptr;
    const u32 un32Need = ProfileElementSize(static_cast<const u8*>(pv), un16Size, &Result, &pszText);
    if (un32Need == 0) {
      VQCMC_ERR(hLib, pszOp, Result, "%s", pszText);
      return Result;
    }
    void* pvNew = nullptr;
    Result = VQXMsgElementAlloc(hDstMsg, &pDst->setProfileElements, static_cast<u16>(un32Need), &pvNew);
    if (VQX_RESULT_FAILED_OR_WARNING(Result)) {
      VQCMC_ERR(hLib, pszOp, Result, "VQXMsgElementAlloc Failed");
      return Result;
    }
    memcpy(pvNew, pv, un32Need);
  }
  return VQX_RESULT_OK;
}

/* The profile of a leg attribute: from pProfile (or the source's own) unless it is the destination's own. */
VQX_RESULT LegProfile(VQCMC_LIB_HANDLE hLib, const char* pszOp, const _VQCMC_MEDIA_PROFILE* pProfile,
                      VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pDst, VQX_MSG_HANDLE hSrcMsg) {
  if (pProfile == pDst) return VQX_RESULT_OK;
  const VQX_RESULT Result = VQCmcLibMsgCopyMediaProfile(hLib, pProfile, hDstMsg, pDst, hSrcMsg);
  if (VQX_RESULT_FAILED(Result)) VQCMC_ERR(hLib, pszOp, Result, "VQCmcLibMsgCopyMediaProfile Failed");
  return Result;
}

/* A leg attribute: its fixed fields (pfnFixed, not onto itself), then its profile (pProfile or its own). */
template <class T>
VQX_RESULT CopyLegRecord(VQCMC_LIB_HANDLE hLib, const char* pszOp, const T* pSrc, VQX_MSG_HANDLE hDstMsg, T* pDst,
                         const _VQCMC_MEDIA_PROFILE* pProfile, VQX_MSG_HANDLE hSrcMsg,
                         std::type_identity_t<void (*)(const T*, T*)> pfnFixed) {
  const VQX_RESULT Result = CheckSource(hLib, pszOp, hSrcMsg, pSrc, hDstMsg, pDst, sizeof(T), {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (pSrc != pDst) pfnFixed(pSrc, pDst);
  return LegProfile(hLib, pszOp, pProfile != nullptr ? pProfile : &pSrc->MediaProfile, hDstMsg, &pDst->MediaProfile,
                    hSrcMsg);
}

}  // namespace

VQX_RESULT VQCmcLibMsgCheckRecord(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size) {
  if (hMsg == nullptr || pvRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  if (hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) return VQX_RESULT_MISMATCH;
  const uintptr_t uStart = reinterpret_cast<uintptr_t>(VQXMsgPayload(hMsg));
  const uintptr_t uRecord = reinterpret_cast<uintptr_t>(pvRecord);
  if (uRecord < uStart || uRecord - uStart > hMsg->un32PayloadLength ||
      hMsg->un32PayloadLength - (uRecord - uStart) < un32Size) {
    return VQX_RESULT_MISMATCH;
  }
  return VQX_RESULT_OK;
}

i32 VQCmcLibMsgSwapCopyGenericHeader(void* pvContext, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size) {
  const IeCopyContext* pCtx = Context(pvContext);
  u32 un32Word = 0, un32Type = 0;
  const VQX_RESULT Start = ElementStart(pCtx, pvSrc, pDstMsg, pvDst, un16Size, &un32Word, &un32Type);
  if (VQX_RESULT_FAILED(Start)) return static_cast<i32>(Start);
  // Per type: the bytes it needs, its inner set (0: none) and its swapped words.
  static constexpr struct {
    u32 un32Need, un32Whole, un32Set;
    u32 aun32Swap[5];
  } kTypes[] = {
      {8, 0, 4, {}},                                                       // user-to-user information
      {sizeof(_VQCMC_PROTOCOL_EXTRA_NUMBER), sizeof(_VQCMC_PROTOCOL_EXTRA_NUMBER), 28, {4, 8, 12, 16, 20}},
      {6, 0, 0, {}},                                                       // charge number: bytes 4 and 5
      {sizeof(_VQCMC_PROTOCOL_SS7_RAW_DATA), sizeof(_VQCMC_PROTOCOL_SS7_RAW_DATA), 4, {8}},
  };
  if (un32Type >= sizeof(kTypes) / sizeof(kTypes[0])) return static_cast<i32>(VQX_RESULT_INVALID_PARAM);
  const auto& T = kTypes[un32Type];
  if (un16Size < T.un32Need) return static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
  const u8* pbySrc = static_cast<const u8*>(pvSrc);
  u8* pbyDst = static_cast<u8*>(pvDst);
  const bool fSame = pvSrc == pvDst;
  if (!fSame && T.un32Whole != 0) memcpy(pbyDst, pbySrc, T.un32Whole);
  if (!fSame && un32Type == VQCMC_GENERIC_HEADER_CHARGE_NUMBER) memcpy(pbyDst + 4, pbySrc + 4, 2);
  PutU32(pbyDst, 0, pCtx->un32Swap != 0 ? __builtin_bswap32(un32Word) : un32Word);
  if (T.un32Set != 0) {
    const i32 n32Result = DupInner(pCtx, pbySrc + T.un32Set, pDstMsg, pbyDst + T.un32Set);
    if (VQX_RESULT_FAILED(static_cast<VQX_RESULT>(n32Result))) return n32Result;
  }
  if (pCtx->un32Swap != 0) {
    for (u32 un32At : T.aun32Swap) {
      if (un32At != 0) SwapU32(pbyDst, un32At);
    }
  }
  return static_cast<i32>(VQX_RESULT_OK);
}

i32 VQCmcLibMsgSwapCopyCasIE(void* pvContext, const void* pvSrc, void* pDstMsg, void* pvDst, u16 un16Size) {
  const IeCopyContext* pCtx = Context(pvContext);
  u32 un32Word = 0, un32Type = 0;
  const VQX_RESULT Start = ElementStart(pCtx, pvSrc, pDstMsg, pvDst, un16Size, &un32Word, &un32Type);
  if (VQX_RESULT_FAILED(Start)) return static_cast<i32>(Start);
  if (un32Type != kCasType1 && un32Type != kCasType2) return static_cast<i32>(VQX_RESULT_INVALID_PARAM);
  if (un16Size != VQCMC_CAS_IE_SIZE) return static_cast<i32>(VQX_RESULT_INVALID_MESSAGE);
  if (pvSrc != pvDst) memcpy(pvDst, pvSrc, VQCMC_CAS_IE_SIZE);
  if (pCtx->un32Swap != 0) {
    SwapU32(pvDst, 4);
    SwapU32(pvDst, 8);
    if (un32Type == kCasType2) SwapU32(pvDst, 12);
  }
  return static_cast<i32>(VQX_RESULT_OK);
}

VQX_RESULT VQCmcLibMsgCopyEventAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_EVENT_ATTRIBUTE* pSrc,
                                         VQX_MSG_HANDLE hDstMsg, _VQCMC_EVENT_ATTRIBUTE* pDst, VQX_MSG_HANDLE hSrcMsg) {
  return CopyPlain(hLib, kEvent, pSrc, hDstMsg, pDst, hSrcMsg);
}

VQX_RESULT VQCmcLibMsgCopyRecordAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_RECORD_ATTRIBUTE* pSrc,
                                          VQX_MSG_HANDLE hDstMsg, _VQCMC_RECORD_ATTRIBUTE* pDst,
                                          VQX_MSG_HANDLE hSrcMsg) {
  return CopyPlain(hLib, kRecord, pSrc, hDstMsg, pDst, hSrcMsg);
}

VQX_RESULT VQCmcLibMsgCopyPlayAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_PLAY_ATTRIBUTE* pSrc,
                                        VQX_MSG_HANDLE hDstMsg, _VQCMC_PLAY_ATTRIBUTE* pDst, u32,
                                        VQX_MSG_HANDLE hSrcMsg) {
  return CopyPlain(hLib, kPlay, pSrc, hDstMsg, pDst, hSrcMsg);
}

VQX_RESULT VQCmcLibMsgCopyProtocolAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_PROTOCOL_ATTRIBUTE* pSrc,
                                            VQX_MSG_HANDLE hDstMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pDst, u32 fProtocol,
                                            VQX_MSG_HANDLE hSrcMsg) {
  static const char* const kOp = "VQCmcLibMsgCopyProtocolAttribute";
  VQX_RESULT Result = CheckSource(hLib, kOp, hSrcMsg, pSrc, hDstMsg, pDst, sizeof(*pSrc),
                                  {offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, setGenericHeaders)});
  if (VQX_RESULT_FAILED(Result)) return Result;
  // The protocol part is read only when copied: its set is checked then.
  const bool fCopyProtocol = pSrc->un8Present != 0 && fProtocol != 0;
  if (fCopyProtocol && hSrcMsg != nullptr) {
    Result = VqxMsgElementCheckSet(hSrcMsg, &pSrc->setProtocolData);
    if (VQX_RESULT_FAILED(Result)) {
      VQCMC_ERR(hLib, kOp, Result, "Malformed record refused");
      return Result;
    }
  }
  if (pSrc == pDst) return VQX_RESULT_OK;
  memcpy(pDst, pSrc, sizeof(*pDst));
  pDst->setGenericHeaders = 0;
  pDst->setProtocolData = 0;
  // The body's union is rebuilt only for a SIP body of type 1-3; otherwise nothing of it may name the source.
  const u32 un32BodyType = pSrc->SipBody.eBodyType;
  memset(reinterpret_cast<u8*>(&pDst->SipBody) + sizeof(u32), 0, sizeof(pDst->SipBody) - sizeof(u32));
  IeCopyContext Context{0, VQCMC_COPY_ORDER_HOST, nullptr, hSrcMsg};
  if (pSrc->setGenericHeaders != 0) {
    Result = VQXMsgElementDupSet(&pSrc->setGenericHeaders, hDstMsg, &pDst->setGenericHeaders,
                                 VQCmcLibMsgSwapCopyGenericHeader, &Context);
    if (VQX_RESULT_FAILED(Result)) {
      VQCMC_ERR(hLib, kOp, Result, "VQXMsgElementDupSet for generic headers failed");
      return Result;
    }
  }
  if (!fCopyProtocol) return VQX_RESULT_OK;
  PFN_VQX_MSG_ELEMENT_COPY pfnCopy = nullptr;
  switch (pSrc->un32ProtocolType) {
    case VQCMC_PROTOCOL_SS7:
    case VQCMC_PROTOCOL_ISDN:
      break;
    case VQCMC_PROTOCOL_CAS:
      pfnCopy = VQCmcLibMsgSwapCopyCasIE;
      break;
    case VQCMC_PROTOCOL_SIP:
      if (un32BodyType >= kSipBodyNone && un32BodyType <= kSipBodyMultiPart) {
        Result = static_cast<VQX_RESULT>(VQ500SipBodyCopy(&Context, &pSrc->SipBody, hDstMsg, &pDst->SipBody));
        if (VQX_RESULT_FAILED(Result)) {
          VQCMC_ERR(hLib, kOp, Result, "VQ500SipBodyCopy failed");
          return Result;
        }
      }
      if (pSrc->setProtocolData == 0) return VQX_RESULT_OK;
      Result = VQXMsgElementDupSet(&pSrc->setProtocolData, hDstMsg, &pDst->setProtocolData,
                                   static_cast<PFN_VQX_MSG_ELEMENT_COPY>(VQ500SipHeaderCopy), &Context);
      if (VQX_RESULT_FAILED(Result)) VQCMC_ERR(hLib, kOp, Result, "VQXMsgElementDupSet for SIP headers failed");
      return Result;
    default:
      return VQX_RESULT_OK;
  }
  Result = VQXMsgElementDupSet(&pSrc->setProtocolData, hDstMsg, &pDst->setProtocolData, pfnCopy, &Context);
  if (VQX_RESULT_FAILED(Result)) VQCMC_ERR(hLib, kOp, Result, "VQXMsgElementDupSet Failed");
  return Result;
}

VQX_RESULT VQCmcLibMsgCopyMediaProfile(VQCMC_LIB_HANDLE hLib, const _VQCMC_MEDIA_PROFILE* pSrc,
                                       VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pDst, VQX_MSG_HANDLE hSrcMsg) {
  static const char* const kOp = "VQCmcLibMsgCopyMediaProfile";
  const VQX_RESULT Result = CheckSource(hLib, kOp, hSrcMsg, pSrc, hDstMsg, pDst, sizeof(*pSrc),
                                        {offsetof(_VQCMC_MEDIA_PROFILE, setProfileElements)});
  // A profile copied onto itself would walk the elements it appends.
  if (VQX_RESULT_FAILED(Result) || pSrc == pDst) return Result;
  return CopyProfileElements(hLib, kOp, pSrc, hDstMsg, pDst);
}

VQX_RESULT VQCmcLibMsgCopyMediaOnlyLegAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pSrc,
                                                VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pDst,
                                                const _VQCMC_MEDIA_PROFILE* pProfile, VQX_MSG_HANDLE hSrcMsg) {
  return CopyLegRecord(hLib, "VQCmcLibMsgCopyMediaOnlyLegAttribute", pSrc, hDstMsg, pDst, pProfile, hSrcMsg,
                       [](const _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* p, _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* q) {
                         memcpy(q, p, offsetof(_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE, MediaProfile));
                       });
}

VQX_RESULT VQCmcLibMsgCopyCallLegAttribute(VQCMC_LIB_HANDLE hLib, const _VQCMC_CALL_LEG_ATTRIBUTE* pSrc,
                                           VQX_MSG_HANDLE hDstMsg, _VQCMC_CALL_LEG_ATTRIBUTE* pDst,
                                           const _VQCMC_MEDIA_PROFILE* pProfile, VQX_MSG_HANDLE hSrcMsg) {
  return CopyLegRecord(hLib, "VQCmcLibMsgCopyCallLegAttribute", pSrc, hDstMsg, pDst, pProfile, hSrcMsg,
                       [](const _VQCMC_CALL_LEG_ATTRIBUTE* p, _VQCMC_CALL_LEG_ATTRIBUTE* q) {
                         memcpy(q, p, offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, MediaProfile));
                         q->MediaProfile.un8Zero = p->MediaProfile.un8Zero;
                         memcpy(q->MediaProfile.abyReserved, p->MediaProfile.abyReserved,
                                sizeof(q->MediaProfile.abyReserved));
                         q->un32ProtocolType = p->un32ProtocolType;
                       });
}

VQX_RESULT VQCmcLibMsgCopyCallLegAttributeUpdate(VQCMC_LIB_HANDLE hLib, const _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pSrc,
                                                 VQX_MSG_HANDLE hDstMsg, _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pDst,
                                                 VQX_MSG_HANDLE hSrcMsg) {
  const VQX_RESULT Result = CheckSource(hLib, "VQCmcLibMsgCopyCallLegAttributeUpdate", hSrcMsg, pSrc, hDstMsg, pDst,
                                        sizeof(*pSrc), {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  pDst->un32ProtocolType = pSrc->un32ProtocolType;
  pDst->un32ChargeIndicator = pSrc->un32ChargeIndicator;
  pDst->un8EarlyMedia = pSrc->un8EarlyMedia;
  pDst->un8EchoCanceller = pSrc->un8EchoCanceller;
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibMsgCopyLeg(VQCMC_LIB_HANDLE hLib, const _VQCMC_LEG* pSrc, VQX_MSG_HANDLE hDstMsg,
                              _VQCMC_LEG* pDst, VQX_MSG_HANDLE hSrcMsg) {
  static const char* const kOp = "VQCmcLibMsgCopyLeg";
  VQX_RESULT Result = CheckSource(hLib, kOp, hSrcMsg, pSrc, hDstMsg, pDst, offsetof(_VQCMC_LEG, CallLeg), {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  const u32 un32Type = pSrc->un32LegType;
  pDst->un32LegId = pSrc->un32LegId;
  pDst->un32LegType = un32Type;
  if (un32Type == VQCMC_LEG_TYPE_CALL) {
    Result = VQCmcLibMsgCopyCallLegAttribute(hLib, &pSrc->CallLeg, hDstMsg, &pDst->CallLeg, nullptr, hSrcMsg);
    if (VQX_RESULT_FAILED(Result)) {
      VQCMC_ERR(hLib, kOp, Result, "VQCmcLibMsgCopyCallLegAttribute Failed");
      return Result;
    }
    return VQCmcLibMsgCopyCallLegAttributeUpdate(hLib, &pSrc->CallLegUpdate, hDstMsg, &pDst->CallLegUpdate, hSrcMsg);
  }
  if (un32Type == VQCMC_LEG_TYPE_MEDIA_ONLY) {
    Result = VQCmcLibMsgCopyMediaOnlyLegAttribute(hLib, &pSrc->MediaOnlyLeg, hDstMsg, &pDst->MediaOnlyLeg, nullptr,
                                                  hSrcMsg);
    if (VQX_RESULT_FAILED(Result)) VQCMC_ERR(hLib, kOp, Result, "VQCmcLibMsgCopyMediaOnlyLegAttribute Failed");
  }
  return Result;
}

VQX_RESULT VQCmcLibMsgCopyMixer(VQCMC_LIB_HANDLE hLib, const _VQCMC_MIXER* pSrc, VQX_MSG_HANDLE hDstMsg,
                                _VQCMC_MIXER* pDst, VQX_MSG_HANDLE hSrcMsg) {
  const VQX_RESULT Result = CheckSource(hLib, "VQCmcLibMsgCopyMixer", hSrcMsg, pSrc, hDstMsg, pDst, sizeof(*pSrc), {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  _VQCMC_MIXER Fixed{};
  Fixed.un8ReserveListenerSlot = pSrc->un8ReserveListenerSlot;
  Fixed.un8ReserveIvrSlot = pSrc->un8ReserveIvrSlot;
  Fixed.un32ReservedActiveSpeakerSlots = pSrc->un32ReservedActiveSpeakerSlots;
  *pDst = Fixed;
  return Result;
}

VQX_RESULT VQCmcLibMsgAlterMediaProfileBySDP(VQCMC_LIB_HANDLE hLib, const _VQX_SDP_INFO* pSdp, u32 un32State,
                                             VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pProfile) {
  static const char* const kOp = "VQCmcLibMsgAlterMediaProfileBySDP";
  if (pSdp == nullptr || hDstMsg == nullptr || pProfile == nullptr) return VQX_RESULT_NULL_PARAM;
  alignas(8) u8 abyScratch[VQCMC_PROFILE_SDP_SCRATCH];
  auto* pBlob = reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(abyScratch);
  VQX_RESULT Result = VQXMediaLibSdpInfoCompact(pSdp, sizeof(abyScratch), pBlob);
  if (VQX_RESULT_FAILED(Result)) {
    VQCMC_ERR(hLib, kOp, Result, "VQXMediaLibSdpInfoCompact Failed");
    return Result;
  }
  const u32 un32Blob = pBlob->un32Size;
  void* pv = nullptr;
  Result = VQXMsgElementAlloc(hDstMsg, &pProfile->setProfileElements, static_cast<u16>(un32Blob + kLocalExtra), &pv);
  if (VQX_RESULT_FAILED_OR_WARNING(Result)) {
    VQCMC_ERR(hLib, kOp, Result, "VQXMsgElementAlloc Failed");
    return Result;
  }
  PutU32(pv, 0, VQCMC_MEDIA_ELEMENT_LOCAL_SDP);
  PutU32(pv, 4, un32State);
  memcpy(static_cast<u8*>(pv) + kLocalExtra, pBlob, un32Blob);
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibMsgAlterMediaProfile(VQCMC_LIB_HANDLE hLib, const char* pszName, u32 un32Value,
                                        VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pProfile) {
  if (pszName == nullptr || hDstMsg == nullptr || pProfile == nullptr) return VQX_RESULT_NULL_PARAM;
  void* pv = nullptr;
  const VQX_RESULT Result =
      VQXMsgElementAlloc(hDstMsg, &pProfile->setProfileElements, VQCMC_PROFILE_NAME_ELEMENT_SIZE, &pv);
  if (VQX_RESULT_FAILED_OR_WARNING(Result)) {
    VQCMC_ERR(hLib, "VQCmcLibMsgAlterMediaProfile", Result, "VQXMsgElementAlloc Failed");
    return Result;
  }
  PutU32(pv, 0, VQCMC_MEDIA_ELEMENT_NAME);
  PutU32(pv, 4, un32Value);
  // By length: a shorter name is never read past its end; the element's last byte stays the NUL.
  memcpy(static_cast<u8*>(pv) + kProfileNameAt, pszName, strnlen(pszName, kProfileNameField - 1));
  return VQX_RESULT_OK;
}
