/*
 * CVQCMCLeg: its attributes in outgoing payloads (leg description, common
 * record, update), its media profile, the data it sends once with the next
 * command (user-to-user information, SS7 raw data, five extra-number slots)
 * as generic headers, and the trace of a protocol attribute. Runs on the
 * threads of the commands and handlers that call it, under the leg's mutex.
 */
#include <cstring>
#include <span>

#include "vq500_ie_names.h"
#include "vqcmc_leg_internal.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* Extra-number slot (index 0..4) of number types 0..12: -1 refused. Types
 * above 12 are accepted and ignored. */
constexpr i8 kExtraNumberSlot[] = {0, 1, 2, -1, -1, 2, -1, -1, -1, -1, 3, -1, 4};
constexpr i32 kExtraNumberIgnored = -2;
/* Order in which InsertGenericHeader visits the slots (1, 2, 3, 5, 4). */
constexpr u32 kExtraNumberOrder[VQCMC_LEG_NB_EXTRA_NUMBERS] = {0, 1, 2, 4, 3};

/* SIP body types of a protocol attribute. */
constexpr u32 kSipBodySinglePart = 2u;
constexpr u32 kSipBodyMultiPart = 3u;

/* SS7 parameter head: u8 id, u8 name, big-endian u16 size. */
constexpr u32 kSs7ParamHead = 4u;
/* ITU-T Q.931 octets: bit 8 set marks a single-octet element; 1001 xnnn is a
 * shift (x = 1 non-locking) to codeset nnn. */
constexpr u8 kQ931SingleOctet = 0x80u;
constexpr u8 kQ931ShiftMask = 0xF0u;
constexpr u8 kQ931Shift = 0x90u;
constexpr u8 kQ931NonLocking = 0x08u;
constexpr u8 kQ931Codeset = 0x07u;
constexpr u8 kQ931FirstShiftCodeset = 5u;

/* A bounded view of one element's bytes: reads past its end are refused by Has. */
class ElementCursor {
 public:
  ElementCursor(const void* pvData, u16 un16Size) : mBytes(static_cast<const u8*>(pvData), pvData ? un16Size : 0) {}
  u32 Size() const { return static_cast<u32>(mBytes.size()); }
  bool Has(u32 un32Offset, u32 un32Count) const {
    return un32Offset <= mBytes.size() && un32Count <= mBytes.size() - un32Offset;
  }
  u8 U8(u32 un32Offset) const { return mBytes[un32Offset]; }
  u16 Be16(u32 un32Offset) const { return static_cast<u16>((mBytes[un32Offset] << 8) | mBytes[un32Offset + 1]); }
  u32 U32(u32 un32Offset) const {
    u32 un32Value;
    memcpy(&un32Value, mBytes.data() + un32Offset, sizeof(un32Value));
    return un32Value;
  }

 private:
  std::span<const u8> mBytes;
};

/* The shared profile of a leg with none of its own. */
CVQCMC_MEDIA_PROFILE& DummyProfile() {
  static CVQCMC_MEDIA_PROFILE s_Fallback;
  CVQCMC_MEDIA_PROFILE* pShared = CVQCMCLib::mpDummyMediaProfile;
  return pShared != nullptr ? *pShared : s_Fallback;
}

}  // namespace

u32 CVQCMCLeg::GetLegType() const {
  return mpAttributes.IsNull() ? VQCMC_LEG_TYPE_CALL : mpAttributes->GetLegType();
}

/* ------------------------------------------------------------ copies */

VQX_RESULT CVQCMCLeg::CopyLegCommon(VQX_MSG_HANDLE, _VQCMC_COMMON_LEG* pRecord) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mpAttributes.IsNull() || pRecord == nullptr) return VQX_RESULT_INVALID_PARAM;
  pRecord->un32LegId = mun32LegId;
  pRecord->un32LegType = mpAttributes->GetLegType();
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::CopyLeg(VQX_MSG_HANDLE hMsg, _VQCMC_LEG* pRecord) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mpAttributes.IsNull() || pRecord == nullptr) return VQX_RESULT_INVALID_PARAM;
  pRecord->un32LegId = mun32LegId;
  pRecord->un32LegType = mpAttributes->GetLegType();
  // The attribute copies' own failures are logged by them; the command goes on with what was written.
  if (pRecord->un32LegType == VQCMC_LEG_TYPE_CALL) {
    if (CVQCMC_CALL_LEG_ATTRIBUTE* pCall = mpAttributes->GetCallLegAttribute()) {
      pCall->CopyTo(hMsg, &pRecord->CallLeg);
      pCall->CopyTo(hMsg, &pRecord->CallLegUpdate);
    }
  } else if (pRecord->un32LegType == VQCMC_LEG_TYPE_MEDIA_ONLY) {
    if (CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pMedia = mpAttributes->GetMediaOnlyLegAttribute()) {
      pMedia->CopyTo(hMsg, &pRecord->MediaOnlyLeg);
    }
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::CopyLegUpdate(VQX_MSG_HANDLE hMsg, _VQCMC_CALL_LEG_UPDATE* pRecord) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mpAttributes.IsNull() || pRecord == nullptr) return VQX_RESULT_INVALID_PARAM;
  pRecord->un32LegId = mun32LegId;
  pRecord->un32LegType = mpAttributes->GetLegType();
  CVQCMC_CALL_LEG_ATTRIBUTE* pCall =
      pRecord->un32LegType == VQCMC_LEG_TYPE_CALL ? mpAttributes->GetCallLegAttribute() : nullptr;
  if (pCall != nullptr) pCall->CopyTo(hMsg, &pRecord->CallLegUpdate);
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ profile */

VQX_RESULT CVQCMCLeg::SetProfile(CVQCMC_MEDIA_PROFILE& Profile) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mpAttributes.IsNull()) return VQX_RESULT_INVALID_PARAM;
  const u32 un32Type = mpAttributes->GetLegType();
  if (un32Type == VQCMC_LEG_TYPE_CALL || un32Type == VQCMC_LEG_TYPE_MEDIA_ONLY) mpAttributes->GetProfile() = Profile;
  return VQX_RESULT_OK;
}

CVQCMC_MEDIA_PROFILE& CVQCMCLeg::GetProfile() {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  const u32 un32Type = mpAttributes.IsNull() ? 0u : mpAttributes->GetLegType();
  if (un32Type == VQCMC_LEG_TYPE_CALL || un32Type == VQCMC_LEG_TYPE_MEDIA_ONLY) return mpAttributes->GetProfile();
  return DummyProfile();
}

/* ------------------------------------------------------------ data to transmit */

VQX_RESULT CVQCMCLeg::SetUuiToTransmit(CVQCAFPtr<CVQCMCUserToUserInfo> pUui) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mpUuiToTransmit = pUui;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::SetUuiToTransmit(CVQCMCUserToUserInfo& Uui) {
  return SetUuiToTransmit(CVQCAFPtr<CVQCMCUserToUserInfo>(new CVQCMCUserToUserInfo(Uui)));
}

CVQCAFPtr<CVQCMCUserToUserInfo> CVQCMCLeg::GetUuiToTransmit() {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  return mpUuiToTransmit;
}

VQX_RESULT CVQCMCLeg::SetSs7RawDataToTransmit(CVQCAFPtr<CVQCMCSs7RawData> pData) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mpSs7RawDataToTransmit = pData;
  return VQX_RESULT_OK;
}

int CVQCMCLeg::ExtraNumberSlot(u32 un32NumberType) {
  if (un32NumberType >= sizeof(kExtraNumberSlot)) return kExtraNumberIgnored;
  return kExtraNumberSlot[un32NumberType];
}

VQX_RESULT CVQCMCLeg::SetExtraNbToTransmit(CVQCAFPtr<CVQCMCExtraNumber> pNumber) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pNumber.IsNull()) return VQX_RESULT_NULL_PARAM;
  const u32 un32Type = pNumber->GetNumberType();
  const int nSlot = ExtraNumberSlot(un32Type);
  if (nSlot == kExtraNumberIgnored) return VQX_RESULT_OK;
  if (nSlot < 0) {
    LogTrace(VQERR, "CVQCMCLeg::SetExtraNbToTransmit (nb type %u): %s (0x%08X) 0x%08X %s:%d\n", un32Type,
             "Transmit not implemented for specified number type", 0u, VQX_RESULT_NOT_SUPPORTED,
             VqxFileNameFromPath(__FILE__), __LINE__);
    return VQX_RESULT_NOT_SUPPORTED;
  }
  mapExtraNbToTransmit[nSlot] = pNumber;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::InsertGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol) {
  // Each item is sent once; its own insert logs what it cuts or cannot append.
  if (!mpUuiToTransmit.IsNull()) mpUuiToTransmit->InsertAsGenericHeader(hMsg, pProtocol);
  mpUuiToTransmit.Release();
  if (!mpSs7RawDataToTransmit.IsNull()) mpSs7RawDataToTransmit->InsertAsGenericHeader(hMsg, pProtocol);
  mpSs7RawDataToTransmit.Release();
  for (u32 un32Slot : kExtraNumberOrder) {
    CVQCAFPtr<CVQCMCExtraNumber>& pNumber = mapExtraNbToTransmit[un32Slot];
    if (!pNumber.IsNull()) pNumber->InsertAsGenericHeader(hMsg, pProtocol);
    pNumber.Release();
  }
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ protocol trace */

void CVQCMCLeg::PrintProtocolInfo(char const* pszLabel, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  const _VQCMC_PROTOCOL_ATTRIBUTE* pPayload = Attribute.GetPayload();
  if (pPayload == nullptr || pPayload->un8Present == 0) return;
  if (pszLabel == nullptr) pszLabel = "";
  const u32 un32Protocol = pPayload->un32ProtocolType;
  if (un32Protocol == VQCMC_PROTOCOL_SS7 || un32Protocol == VQCMC_PROTOCOL_ISDN) {
    u16 un16Size = 0;
    const void* pvElement = VQXMsgElementGetNext(&pPayload->setProtocolData, nullptr, &un16Size);
    const ElementCursor Element(pvElement, un16Size);
    if (un32Protocol == VQCMC_PROTOCOL_SS7) {
      LogTrace(VQLV0, "Protocol:SS7  size=%4u %s", Element.Size(), pszLabel);
      for (u32 un32Offset = 0; un32Offset < Element.Size();) {
        if (!Element.Has(un32Offset, kSs7ParamHead)) {
          LogTrace(VQLV0, "Truncated parameter at offset %u", un32Offset);
          break;
        }
        const u8 un8Id = Element.U8(un32Offset);
        const u8 un8Name = Element.U8(un32Offset + 1);
        const u16 un16ParamSize = Element.Be16(un32Offset + 2);
        LogTrace(VQLV0, "un8Id=%3u un8Name=%u size=%3u (0x%02X,%u)", un8Id, un8Name, un16ParamSize, un8Id, un8Name);
        if (un16ParamSize == 0) break;  // it would name itself again forever
        un32Offset += un16ParamSize;
      }
      return;
    }
    LogTrace(VQLV0, "Protocol:ISDN size=%4u %s", Element.Size(), pszLabel);
    u8 un8Locked = 0;
    i32 n32NextOnly = -1;  // codeset of the next element after a non-locking shift
    for (u32 un32Offset = 0; un32Offset < Element.Size();) {
      const u8 un8Id = Element.U8(un32Offset);
      const bool fSingle = (un8Id & kQ931SingleOctet) != 0;
      if (!fSingle && !Element.Has(un32Offset + 1, 1)) {
        LogTrace(VQLV0, "Truncated element at offset %u", un32Offset);
        break;
      }
      const u8 un8Length = fSingle ? 0 : Element.U8(un32Offset + 1);
      const u8 un8Codeset = n32NextOnly >= 0 ? static_cast<u8>(n32NextOnly) : un8Locked;
      LogTrace(VQLV0, "IeId=0x%02x IeLen=0x%02x codeset=0x%02x prev=0x%02x", un8Id, un8Length, un8Codeset,
               un8Locked);
      n32NextOnly = -1;
      const u8 un8Target = un8Id & kQ931Codeset;
      if ((un8Id & kQ931ShiftMask) == kQ931Shift && un8Target >= kQ931FirstShiftCodeset) {
        if ((un8Id & kQ931NonLocking) != 0) {
          n32NextOnly = un8Target;
        } else {
          un8Locked = un8Target;
        }
      }
      un32Offset += fSingle ? 1u : 2u + un8Length;
    }
    return;
  }
  if (un32Protocol != VQCMC_PROTOCOL_SIP) return;
  LogTrace(VQLV0, "Protocol:SIP %s", pszLabel);
  u16 un16Size = 0;
  for (const void* pvHeader = VQXMsgElementGetNext(&pPayload->setProtocolData, nullptr, &un16Size);
       pvHeader != nullptr; pvHeader = VQXMsgElementGetNext(&pPayload->setProtocolData, pvHeader, &un16Size)) {
    const ElementCursor Header(pvHeader, un16Size);
    if (!Header.Has(0, sizeof(u32))) continue;
    LogTrace(VQLV0, "Headers type=%s\n", VQ500_SIP_HEADER_TYPE_STRING(static_cast<i32>(Header.U32(0))));
  }
  if (pPayload->SipBody.eBodyType == kSipBodySinglePart) LogTrace(VQLV0, "Not printing single part body\n");
  if (pPayload->SipBody.eBodyType == kSipBodyMultiPart) LogTrace(VQLV0, "Not printing multipart body\n");
}

}  // namespace VQCAF
