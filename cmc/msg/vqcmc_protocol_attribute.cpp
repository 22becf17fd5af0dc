/*
 * CVQCMC_PROTOCOL_ATTRIBUTE (vqcmc_protocol_attribute.h): the SIP gate,
 * bodies, header copies, the one protocol element, the generic headers and
 * the whole-attribute copy.
 */
#include "vqcmc_protocol_attribute.h"

#include <algorithm>
#include <cstring>

#include "vq500_sip_find.h"
#include "vq500_sip_text.h"
#include "vqcmc_lib_util.h"
#include "vqcmc_msg_internal.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

constexpr u32 kMaxElement = 0xFFFFu;
constexpr u32 kSipBodySinglePart = 2u, kSipBodyMultiPart = 3u;
constexpr u32 kSipBodyPartRaw = 2u;
constexpr u16 kSipStatusInit = 200u;
constexpr u32 kSipTransIdInit = 0xC0000001u;
constexpr u32 kHeaderContentType = 20u;
constexpr u32 kMediaTypeMultipart = 7u, kMediaSubtypeMixed = 1u;
constexpr u32 kContentTypeOffsetType = 4u, kContentTypeOffsetSubtype = 12u;

const char* const kSipGateText = "AddSipBody: Structure is not initialized for SIP attributes\n";

u32 GetU32(const void* pv, u32 un32Offset) {
  u32 un32;
  memcpy(&un32, static_cast<const u8*>(pv) + un32Offset, 4);
  return un32;
}

/* The bytes a holder's message uses past its record (never below 0): the room of an exact copy. */
u32 ElementBytes(VQX_MSG_HANDLE hMsg) {
  return hMsg->un32PayloadLength - std::min<u32>(hMsg->un32PayloadLength, sizeof(_VQCMC_PROTOCOL_ATTRIBUTE));
}

/* The bytes a copy of a holder appends to another message: its elements, without the record and the end
 * marker that every holder's message has already (never below 0). */
u32 AppendedBytes(VQX_MSG_HANDLE hMsg) {
  const u32 un32Base = VQXMsgComputeSize(sizeof(_VQCMC_PROTOCOL_ATTRIBUTE), 0, 0);
  return hMsg->un32PayloadLength - std::min(hMsg->un32PayloadLength, un32Base);
}

}  // namespace

CVQCMC_PROTOCOL_ATTRIBUTE::CVQCMC_PROTOCOL_ATTRIBUTE(const CVQCMC_PROTOCOL_ATTRIBUTE& Src, unsigned int fExactRoom)
    : CVQCMCMsgset(fExactRoom == 0 || Src.mpMsg == nullptr
                       ? VQCMC_MSGSET_ELEMENT_ROOM
                       : ElementBytes(Src.mpMsg)) {
  *this = Src;
}

CVQCMC_PROTOCOL_ATTRIBUTE& CVQCMC_PROTOCOL_ATTRIBUTE::operator=(const CVQCMC_PROTOCOL_ATTRIBUTE& Src) {
  if (this == &Src) return *this;
  const char* pszFailure = nullptr;
  VQX_RESULT Result = VQX_RESULT_NOT_INITIALIZED;
  if (mpPayload == nullptr) {
    pszFailure = "No message to copy into";
  } else if (Src.mpPayload == nullptr) {
    pszFailure = "No message to copy from: the attribute is kept";
  } else if (mpMsg->un32PayloadMaxLength - mpMsg->un32PayloadLength < AppendedBytes(Src.mpMsg)) {
    // The record is copied before the elements: one that would not fit is refused before anything changes.
    pszFailure = "Not enough room for the source's elements: the attribute is kept";
    Result = VQX_RESULT_NOT_ENOUGH_MEMORY;
  } else {
    // A copy that fails on the way has written the record and some elements: both are put back.
    const _VQCMC_PROTOCOL_ATTRIBUTE Kept = *mpPayload;
    const u32 un32Mark = VqxMsgElementMark(mpMsg);
    Result = VQCmcLibMsgCopyProtocolAttribute(VqCmcLiveLibHandle(), Src.mpPayload, mpMsg, mpPayload,
                                              Src.mfElementAdded, nullptr);
    if (VQX_RESULT_SUCCEEDED(Result)) {
      mfElementAdded = Src.mfElementAdded;
    } else {
      *mpPayload = Kept;
      VqxMsgElementUndo(mpMsg, un32Mark, nullptr, 0);
      pszFailure = "Copy failed: the attribute is kept";
    }
  }
  if (pszFailure != nullptr) VQCMC_LOG_FAILURE("CVQCMC_PROTOCOL_ATTRIBUTE::operator=", pszFailure, Result);
  return *this;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pDst) const {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  return VQCmcLibMsgCopyProtocolAttribute(VqCmcLiveLibHandle(), mpPayload, hDstMsg, pDst, mfElementAdded, nullptr);
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_PROTOCOL_ATTRIBUTE* pSrc) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (mfElementAdded != 0) {
    VqCmcLogLine("CopyFrom: Cannot add several protocol element in the same structure\n");
    return VQX_RESULT_NOT_SUPPORTED;
  }
  if (hSrcMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  const VQX_RESULT Result = VQCmcLibMsgCopyProtocolAttribute(VqCmcLiveLibHandle(), pSrc, mpMsg, mpPayload, 1, hSrcMsg);
  if (VQX_RESULT_SUCCEEDED(Result)) mfElementAdded = 1;
  return Result;
}

bool CVQCMC_PROTOCOL_ATTRIBUTE::SipGate(const char* pszText) {
  if (mfElementAdded != 0 && mpPayload->un32ProtocolType != VQCMC_PROTOCOL_SIP) {
    VqCmcLogLine("%s", pszText);
    return false;
  }
  return true;
}

void CVQCMC_PROTOCOL_ATTRIBUTE::MarkSip() {
  mfElementAdded = 1;
  mpPayload->un8Present = 1;
  mpPayload->un32ProtocolType = VQCMC_PROTOCOL_SIP;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::InitSipHeaders(VQX_MSG_HANDLE* phMsg, VQXMsgElementSet** ppSet) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (!SipGate("AddSipHeader: Structure is not initialized for SIP attributes\n")) return VQX_RESULT_MISMATCH;
  if (mfElementAdded == 0) {
    mpPayload->un16SipStatusCode = kSipStatusInit;
    mpPayload->un8SipStatusArg = 0;
    mpPayload->un32SipSuppInfoTransId = kSipTransIdInit;
  }
  MarkSip();
  if (phMsg != nullptr) *phMsg = mpMsg;
  if (ppSet != nullptr) *ppSet = &mpPayload->setProtocolData;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetSipStatusCode(unsigned short un16Code, unsigned char un8Arg) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (!SipGate(kSipGateText)) return VQX_RESULT_MISMATCH;
  MarkSip();
  mpPayload->un16SipStatusCode = un16Code;
  mpPayload->un8SipStatusArg = un8Arg;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetSipSuppInfoTransId(unsigned int un32TransId) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (!SipGate(kSipGateText)) return VQX_RESULT_MISMATCH;
  MarkSip();
  mpPayload->un32SipSuppInfoTransId = un32TransId;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetSinglePartSipRawBody(const unsigned char* pbyData, unsigned int un32Length,
                                                              SipBodyIe* pBody) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (pbyData == nullptr && un32Length != 0) return VQX_RESULT_NULL_PARAM;
  if (!SipGate("SetSinglePartSipBody: Structure is not initialized for SIP attributes\n")) return VQX_RESULT_MISMATCH;
  // A body a 16-bit element size cannot hold is refused whole rather than cut.
  if (un32Length > kMaxElement) {
    VQCMC_LOG_FAILURE("SetSinglePartSipBody", "Element too large", VQX_RESULT_INVALID_PARAM);
    return VQX_RESULT_INVALID_PARAM;
  }
  if (mfElementAdded == 0) {
    mpPayload->un16SipStatusCode = 0;
    mpPayload->un8SipStatusArg = 0;
  }
  SipBodyIe* pTarget = pBody != nullptr ? pBody : &mpPayload->SipBody;
  if (pTarget->eBodyType == kSipBodySinglePart) {
    VqCmcLogLine("SetSinglePartSipBody: Cannot add several single part SIP body in the same structure\n");
    return VQX_RESULT_NOT_SUPPORTED;
  }
  MarkSip();
  pTarget->eBodyType = kSipBodySinglePart;
  pTarget->u.alt2.stBodySinglePart.eBodyPartType = kSipBodyPartRaw;
  void* pv = nullptr;
  const VQX_RESULT Result =
      VQXMsgElementAlloc(mpMsg, &pTarget->u.alt2.stBodySinglePart.u.alt2.msText, static_cast<u16>(un32Length), &pv);
  if (pv == nullptr) {
    VqCmcLogLine("SetSinglePartSipBody: not enough memory to add %u bytes\n", un32Length);
  } else {
    memcpy(pv, pbyData, un32Length);
  }
  return Result;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetSinglePartSipBody(const char* pszText, SipBodyIe* pBody) {
  if (pszText == nullptr) return VQX_RESULT_NULL_PARAM;
  const size_t nLength = strlen(pszText);
  return SetSinglePartSipRawBody(reinterpret_cast<const u8*>(pszText),
                                 nLength > kMaxElement ? kMaxElement + 1 : static_cast<u32>(nLength), pBody);
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::AddMultiPartSipBody(VQX_MSG_HANDLE* phMsg, SipBodyMultiPartIe** ppPart,
                                                          SipBodyIe* pBody) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (!SipGate("AddMultiPartSipBody: Structure is not initialized for SIP attributes\n")) return VQX_RESULT_MISMATCH;
  if (pBody == nullptr) {
    u16 un16Size = 0;
    const void* pHeader = VQ500SipHeaderFind(&mpPayload->setProtocolData, kHeaderContentType, nullptr, &un16Size);
    if (pHeader == nullptr || un16Size < sizeof(SipHeaderContenttypeIe)) {
      VqCmcLogLine("AddMultiPartSipBody: You must add a content-type header to add a sip body.\n");
      return VQX_RESULT_NOT_SUPPORTED;
    }
    if (GetU32(pHeader, kContentTypeOffsetType) != kMediaTypeMultipart ||
        GetU32(pHeader, kContentTypeOffsetSubtype) != kMediaSubtypeMixed) {
      VqCmcLogLine("AddMultiPartSipBody: Content-type header must be multipart/mixed.\n");
      return VQX_RESULT_NOT_SUPPORTED;
    }
    const auto* pContentType = static_cast<const SipHeaderContenttypeIe*>(pHeader);
    if (VQ500SipParameterFind(&pContentType->msParameter, "boundary", nullptr, nullptr) == nullptr) {
      VqCmcLogLine("AddMultiPartSipBody: You must add a unique boundary paramter to the content-type header.\n");
      return VQX_RESULT_NOT_SUPPORTED;
    }
  }
  SipBodyIe* pTarget = pBody != nullptr ? pBody : &mpPayload->SipBody;
  if (pTarget->eBodyType == kSipBodySinglePart) {
    VqCmcLogLine("AddMultiPartSipBody: Cannot add a multipart body to a sigle part body\n");
    return VQX_RESULT_NOT_SUPPORTED;
  }
  MarkSip();
  pTarget->eBodyType = kSipBodyMultiPart;
  void* pv = nullptr;
  const VQX_RESULT Result =
      VQXMsgElementAlloc(mpMsg, &pTarget->u.alt3.msBodyMultiPart, sizeof(SipBodyMultiPartIe), &pv);
  if (pv == nullptr) {
    VqCmcLogLine("AddMultiPartSipBody: not enough memory to add %u bytes\n", static_cast<u32>(sizeof(SipBodyMultiPartIe)));
  }
  if (phMsg != nullptr) *phMsg = mpMsg;
  if (ppPart != nullptr) *ppPart = static_cast<SipBodyMultiPartIe*>(pv);
  return Result;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::AddMultiPartSipAutomaticSDP(VQX_MSG_HANDLE* phMsg, SipBodyMultiPartIe** ppPart,
                                                                  SipBodyIe* pBody) {
  SipBodyMultiPartIe* pPart = nullptr;
  VQX_RESULT Result = AddMultiPartSipBody(phMsg, &pPart, pBody);
  if (ppPart != nullptr) *ppPart = pPart;
  if (VQX_RESULT_FAILED(Result) || pPart == nullptr) {
    VqCmcLogLine("AddMultiPartSipAutomaticSDP: can't create MultiPart body for SDP\n");
    return VQX_RESULT_FAILED(Result) ? Result : VQX_RESULT_FAIL;
  }
  pPart->stBody.eBodyType = kSipBodySinglePart;
  pPart->stBody.u.alt2.stBodySinglePart.eBodyPartType = kSipBodyPartRaw;
  Result = VQ500SipHeaderAddStr_ContentType(mpMsg, &pPart->msHeader, "application/sdp");
  if (VQX_RESULT_FAILED(Result)) VqCmcLogLine("Can't set SipHeader content-type");
  return Result;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopySipHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src, u32 un32Type, u16 un16Size,
                                                    i32 (*pfnCopy)(const IeCopyContext*, const void*, void*, void*)) {
  if (mpPayload == nullptr || Src.mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (mpPayload->un32ProtocolType != VQCMC_PROTOCOL_SIP || Src.mpPayload->un32ProtocolType != VQCMC_PROTOCOL_SIP) {
    return VQX_RESULT_MISMATCH;
  }
  u16 un16Found = 0;
  const void* pSrcHeader = VQ500SipHeaderFind(&Src.mpPayload->setProtocolData, un32Type, nullptr, &un16Found);
  if (pSrcHeader == nullptr) return VQX_RESULT_NOT_FOUND;
  if (un16Found < un16Size) return VQX_RESULT_INVALID_MESSAGE;  // shorter than its record: never read past it
  if (VQ500SipHeaderFind(&mpPayload->setProtocolData, un32Type, nullptr, nullptr) != nullptr) {
    return VQX_RESULT_INVALID_OPERATION;
  }
  void* pv = nullptr;
  const VQX_RESULT Result = VQXMsgElementAlloc(mpMsg, &mpPayload->setProtocolData, un16Size, &pv);
  if (VQX_RESULT_FAILED(Result) || pv == nullptr) return Result;
  const IeCopyContext Context{0, VQCMC_COPY_ORDER_HOST, nullptr, Src.mpMsg};
  return static_cast<VQX_RESULT>(pfnCopy(&Context, pSrcHeader, mpMsg, pv));
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopySipPrivacyHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src) {
  return CopySipHeader(Src, 87, 16, VQ500SipHeaderPrivacyCopy);
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopySipPPreferredIdHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src) {
  return CopySipHeader(Src, 89, 72, VQ500SipHeaderPPreferredIdCopy);
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopySipPAssertedIdHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src) {
  return CopySipHeader(Src, 88, 72, VQ500SipHeaderPAssertedIdCopy);
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopySipRPIDPrivacyHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src) {
  return CopySipHeader(Src, 79, 12, VQ500SipHeaderRpidPrivCopy);
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::CopySipRemotePartyIdHeader(CVQCMC_PROTOCOL_ATTRIBUTE& Src) {
  return CopySipHeader(Src, 80, 76, VQ500SipHeaderRemPartyCopy);
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetProtocolIe(u32 un32Type, u32 un32Length, const u8* pbyData, const char* pszName) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (mfElementAdded != 0) {
    VqCmcLogLine("%s: Cannot add several protocol element in the same structure\n", pszName);
    return VQX_RESULT_NOT_SUPPORTED;
  }
  // Refused before anything changes: a 16-bit element size cannot hold it.
  if (un32Length > kMaxElement) {
    VQCMC_LOG_FAILURE(pszName, "Element too large", VQX_RESULT_INVALID_PARAM);
    return VQX_RESULT_INVALID_PARAM;
  }
  if (pbyData == nullptr) return VQX_RESULT_NULL_PARAM;
  mfElementAdded = 1;
  mpPayload->un8Present = 1;
  mpPayload->un32ProtocolType = un32Type;
  void* pv = nullptr;
  const VQX_RESULT Result = VQXMsgElementAlloc(mpMsg, &mpPayload->setProtocolData, static_cast<u16>(un32Length), &pv);
  if (pv == nullptr) {
    VqCmcLogLine("%s: not enough memory to add %u bytes\n", pszName, un32Length);
  } else {
    memcpy(pv, pbyData, un32Length);
  }
  return Result;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetIsdnIe(unsigned int un32Length, const unsigned char* pbyData) {
  return SetProtocolIe(VQCMC_PROTOCOL_ISDN, un32Length, pbyData, "SetIsdnIe");
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetSS7Ie(unsigned int un32Length, const unsigned char* pbyData) {
  return SetProtocolIe(VQCMC_PROTOCOL_SS7, un32Length, pbyData, "SetSS7Ie");
}

u8* CVQCMC_PROTOCOL_ATTRIBUTE::FindGenericHeader(u32 un32Type, u32 un32MinSize, const u32* pun32NumberType) {
  if (mpPayload == nullptr) return nullptr;
  u16 un16Size = 0;
  for (void* pv = nullptr; (pv = VQXMsgElementGetNext(&mpPayload->setGenericHeaders, pv, &un16Size)) != nullptr;) {
    if (un16Size < un32MinSize || GetU32(pv, 0) != un32Type) continue;
    if (pun32NumberType != nullptr && GetU32(pv, offsetof(_VQCMC_PROTOCOL_EXTRA_NUMBER, NumberType)) != *pun32NumberType) {
      continue;
    }
    return static_cast<u8*>(pv);
  }
  return nullptr;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetChargeNumber(unsigned char un8Value1, unsigned char un8Value2) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  auto* pCharge = reinterpret_cast<_VQCMC_PROTOCOL_CHARGE_NUMBER*>(
      FindGenericHeader(VQCMC_GENERIC_HEADER_CHARGE_NUMBER, sizeof(_VQCMC_PROTOCOL_CHARGE_NUMBER)));
  if (pCharge == nullptr) {
    void* pv = nullptr;
    const VQX_RESULT Result =
        VQXMsgElementAlloc(mpMsg, &mpPayload->setGenericHeaders, sizeof(_VQCMC_PROTOCOL_CHARGE_NUMBER), &pv);
    if (pv == nullptr) return Result;
    pCharge = static_cast<_VQCMC_PROTOCOL_CHARGE_NUMBER*>(pv);
    pCharge->Type = VQCMC_GENERIC_HEADER_CHARGE_NUMBER;
  }
  pCharge->un8Value1 = un8Value1;
  pCharge->un8Value2 = un8Value2;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetChargeNumber(unsigned char& un8Value1, unsigned char& un8Value2) {
  const auto* pCharge = reinterpret_cast<const _VQCMC_PROTOCOL_CHARGE_NUMBER*>(
      FindGenericHeader(VQCMC_GENERIC_HEADER_CHARGE_NUMBER, sizeof(_VQCMC_PROTOCOL_CHARGE_NUMBER)));
  un8Value1 = pCharge == nullptr ? 0 : pCharge->un8Value1;
  un8Value2 = pCharge == nullptr ? 0 : pCharge->un8Value2;
  return pCharge == nullptr ? VQX_RESULT_NOT_FOUND : VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetUui(CVQCMCUserToUserInfo& Uui) {
  return mpPayload == nullptr ? VQX_RESULT_NOT_INITIALIZED : Uui.InsertAsGenericHeader(mpMsg, mpPayload);
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetExtraNumber(CVQCMCExtraNumber& Number) {
  return mpPayload == nullptr ? VQX_RESULT_NOT_INITIALIZED : Number.InsertAsGenericHeader(mpMsg, mpPayload);
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::SetSs7RawData(CVQCMCSs7RawData& Data) {
  return mpPayload == nullptr ? VQX_RESULT_NOT_INITIALIZED : Data.InsertAsGenericHeader(mpMsg, mpPayload);
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetUui(CVQCMCUserToUserInfo& Uui) {
  const u8* pby = FindGenericHeader(VQCMC_GENERIC_HEADER_UUI, sizeof(_VQCMC_PROTOCOL_UUI_DATA));
  if (pby == nullptr) {
    Uui.Clear();
    return VQX_RESULT_NOT_FOUND;
  }
  return Uui.Assign(mpMsg, *reinterpret_cast<const _VQCMC_PROTOCOL_UUI_DATA*>(pby));
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetSs7RawData(CVQCMCSs7RawData& Data) {
  const u8* pby = FindGenericHeader(VQCMC_GENERIC_HEADER_SS7_RAW_DATA, sizeof(_VQCMC_PROTOCOL_SS7_RAW_DATA));
  if (pby == nullptr) {
    Data.Clear();
    return VQX_RESULT_NOT_FOUND;
  }
  return Data.Assign(mpMsg, *reinterpret_cast<const _VQCMC_PROTOCOL_SS7_RAW_DATA*>(pby));
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetExtraNumber(_VQCMC_PROTOCOL_NUMBER_TYPE Type, CVQCMCExtraNumber& Number) {
  const u32 un32Type = Type;
  const u8* pby = FindGenericHeader(VQCMC_GENERIC_HEADER_EXTRA_NUMBER, sizeof(_VQCMC_PROTOCOL_EXTRA_NUMBER), &un32Type);
  if (pby == nullptr) {
    Number.Clear();
    return VQX_RESULT_NOT_FOUND;
  }
  return Number.Assign(mpMsg, *reinterpret_cast<const _VQCMC_PROTOCOL_EXTRA_NUMBER*>(pby));
}

VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetUui(CVQCAFPtr<CVQCMCUserToUserInfo>* ppUui) {
  const u8* pby = FindGenericHeader(VQCMC_GENERIC_HEADER_UUI, sizeof(_VQCMC_PROTOCOL_UUI_DATA));
  if (ppUui != nullptr) {
    *ppUui = pby == nullptr ? nullptr
                            : new CVQCMCUserToUserInfo(mpMsg, *reinterpret_cast<const _VQCMC_PROTOCOL_UUI_DATA*>(pby));
  }
  return pby == nullptr ? VQX_RESULT_NOT_FOUND : VQX_RESULT_OK;
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetSs7RawData(CVQCAFPtr<CVQCMCSs7RawData>* ppData) {
  const u8* pby = FindGenericHeader(VQCMC_GENERIC_HEADER_SS7_RAW_DATA, sizeof(_VQCMC_PROTOCOL_SS7_RAW_DATA));
  if (ppData != nullptr) {
    *ppData = pby == nullptr ? nullptr
                             : new CVQCMCSs7RawData(mpMsg, *reinterpret_cast<const _VQCMC_PROTOCOL_SS7_RAW_DATA*>(pby));
  }
  return pby == nullptr ? VQX_RESULT_NOT_FOUND : VQX_RESULT_OK;
}
VQX_RESULT CVQCMC_PROTOCOL_ATTRIBUTE::GetExtraNumber(_VQCMC_PROTOCOL_NUMBER_TYPE Type,
                                                     CVQCAFPtr<CVQCMCExtraNumber>* ppNumber) {
  const u32 un32Type = Type;
  const u8* pby = FindGenericHeader(VQCMC_GENERIC_HEADER_EXTRA_NUMBER, sizeof(_VQCMC_PROTOCOL_EXTRA_NUMBER), &un32Type);
  if (ppNumber != nullptr) {
    *ppNumber = pby == nullptr ? nullptr
                               : new CVQCMCExtraNumber(mpMsg, *reinterpret_cast<const _VQCMC_PROTOCOL_EXTRA_NUMBER*>(pby));
  }
  return pby == nullptr ? VQX_RESULT_NOT_FOUND : VQX_RESULT_OK;
}

}  // namespace VQCAF
