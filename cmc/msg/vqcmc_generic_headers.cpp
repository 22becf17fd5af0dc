/*
 * The generic headers (vqcmc_generic_headers.h). The two byte headers (user-
 * to-user information, SS7 raw data) share their element reading, their hex
 * forms and their insertion; each passes its own type, limit and log texts.
 */
#include "vqcmc_generic_headers.h"

#include <cstring>
#include <string>

#include "vqcaflog.h"
#include "vqcmc_msg_catalogue.h"
#include "vqcmc_msg_internal.h"
#include "vqx_msg_element.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* What distinguishes the two byte headers. */
struct ByteHeaderTexts {
  const char* pszExcessive;  /* (size, limit) */
  const char* pszShortHex;   /* (converted, expected, text) */
  const char* pszOddHex;     /* (digits, text) */
  u32 un32Limit;
  const char* pszOperation;
};

constexpr ByteHeaderTexts kUui = {
    "Error: Excessive UUI size (%u bytes). Will truncate to %u bytes.",
    "HexStringToByteArray did not convert correct number of bytes (%u, expecting %u, string was '%s')",
    "Incorrect UUI hex string. Contains odd number (%u) of hex characters (string was '%s')", VQCMC_UUI_MAX_SIZE,
    "CVQCMCUserToUserInfo"};
constexpr ByteHeaderTexts kSs7 = {
    "CVQCMCSs7RawData: Excessive size (%u bytes). Will truncate to %u bytes.",
    "SetSs7RawDataHex: did not convert correct number of bytes (%u, expecting %u, string was '%s')",
    "SetSs7RawDataHex: Incorrect hex string. Contains odd number (%u) of hex characters (string was '%s')",
    VQCMC_SS7_RAW_DATA_MAX_SIZE, "CVQCMCSs7RawData"};

static_assert(offsetof(_VQCMC_PROTOCOL_ATTRIBUTE, setGenericHeaders) == VQCMC_PROTOCOL_OFFSET_GENERIC_HEADERS);
VQXMsgElementSet* GenericHeaderSet(_VQCMC_PROTOCOL_ATTRIBUTE* pProtocol) { return &pProtocol->setGenericHeaders; }

/* Checks a received element of un32Size bytes and its set against hMsg; logs a refusal. */
VQX_RESULT CheckReceived(VQX_MSG_HANDLE hMsg, const void* pvElement, u32 un32Size, const VQXMsgElementSet* pSet,
                         const char* pszOperation) {
  const VQX_RESULT Result = VqCmcCheckRecordSet(hMsg, pvElement, un32Size, pSet);
  if (VQX_RESULT_FAILED(Result)) VQCMC_LOG_FAILURE(pszOperation, "Malformed generic header refused", Result);
  return Result;
}

/* The single non-empty element of a checked set, or null. */
const u8* OnlyElement(const VQXMsgElementSet* pSet, u16* pun16Size) {
  *pun16Size = 0;
  if (VQXMsgElementCount(pSet) != 1) return nullptr;
  const u8* p = static_cast<const u8*>(VQXMsgElementGet(pSet, 0, pun16Size));
  return *pun16Size != 0 ? p : nullptr;
}

VQX_RESULT GetHex(CVQCAFBuffer& Data, CVQCAFString& strHex) {
  strHex.Clear();
  const u64 un64Size = Data.GetSize();
  if (un64Size == 0) return VQX_RESULT_OK;
  std::string Text(2 * un64Size + 1, '\0');
  ByteArrayToHexString(Data.GetData(__FILE__, __LINE__), un64Size, Text.data());
  Data.ReleaseData(__FILE__, __LINE__);
  strHex = Text.c_str();
  return VQX_RESULT_OK;
}

VQX_RESULT SetHex(CVQCAFBuffer& Data, const CVQCAFString& strHex, const ByteHeaderTexts& Texts) {
  const u32 un32Expected = (strHex.GetLength() + 1) / 2;
  Data.SetSize(un32Expected, 0);
  u8* pby = Data.GetData(__FILE__, __LINE__);
  if (pby == nullptr) return VQX_RESULT_OUT_OF_MEMORY;
  u64 un64Count = un32Expected;
  const u64 un64Digits = HexStringToByteArray(strHex.c_str(), pby, &un64Count);
  Data.ReleaseData(__FILE__, __LINE__);
  if (un64Digits / 2 != un32Expected) {
    LogTrace(VQERR, Texts.pszShortHex, static_cast<u32>(un64Digits / 2), un32Expected, strHex.c_str());
  }
  if (un64Digits % 2 != 0) LogTrace(VQERR, Texts.pszOddHex, static_cast<u32>(un64Digits), strHex.c_str());
  return VQX_RESULT_OK;
}

/*
 * Inserts a byte header: a 20-byte element of the given type (variant at 8
 * for SS7) and one data element. A failed data element takes the header
 * element back out, so that no half-built header stays in the list.
 */
VQX_RESULT InsertBytes(CVQCAFBuffer& Data, const ByteHeaderTexts& Texts, _VQCMC_GENERIC_HEADER_TYPE Type,
                       u32 un32Variant, VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol) {
  if (hMsg == nullptr || pProtocol == nullptr) return VQX_RESULT_NULL_PARAM;
  u64 un64Size = Data.GetSize();
  if (un64Size == 0) return VQX_RESULT_OK;
  if (un64Size > Texts.un32Limit) {
    LogTrace(VQERR, Texts.pszExcessive, static_cast<u32>(un64Size), Texts.un32Limit);
    Data.SetSize(Texts.un32Limit, 1);
    un64Size = Texts.un32Limit;
  }
  VQXMsgElementSet* pSet = GenericHeaderSet(pProtocol);
  const u32 un32Mark = VqxMsgElementMark(hMsg);
  void* pvHeader = nullptr;
  VQX_RESULT Result = VQXMsgElementAlloc(hMsg, pSet, sizeof(_VQCMC_PROTOCOL_UUI_DATA), &pvHeader);
  if (VQX_RESULT_FAILED(Result)) return Result;
  static_assert(sizeof(_VQCMC_PROTOCOL_UUI_DATA) == sizeof(_VQCMC_PROTOCOL_SS7_RAW_DATA));
  auto* pHeader = static_cast<_VQCMC_PROTOCOL_SS7_RAW_DATA*>(pvHeader);
  pHeader->Type = Type;
  if (Type == VQCMC_GENERIC_HEADER_SS7_RAW_DATA) pHeader->Variant = static_cast<_VQCMC_SS7_ISUP_PROTOCOL_VARIANT>(un32Variant);
  void* pvData = nullptr;
  Result = VQXMsgElementAlloc(hMsg, &pHeader->setData, static_cast<u16>(un64Size), &pvData);
  if (VQX_RESULT_FAILED(Result)) {
    void* apSets[] = {pSet};
    VqxMsgElementUndo(hMsg, un32Mark, apSets, 1);
    return Result;
  }
  memcpy(pvData, Data.GetData(__FILE__, __LINE__), un64Size);
  Data.ReleaseData(__FILE__, __LINE__);
  return VQX_RESULT_OK;
}

}  // namespace

/* ------------------------------------------------------- user-to-user */

CVQCMCUserToUserInfo::CVQCMCUserToUserInfo(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_UUI_DATA& Element) {
  Assign(hMsg, Element);
}

VQX_RESULT CVQCMCUserToUserInfo::Assign(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_UUI_DATA& Element) {
  Clear();
  const VQX_RESULT Result = CheckReceived(hMsg, &Element, sizeof(Element), &Element.setData, kUui.pszOperation);
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (Element.Type != VQCMC_GENERIC_HEADER_UUI) return VQX_RESULT_OK;
  u16 un16Size = 0;
  if (const u8* pby = OnlyElement(&Element.setData, &un16Size)) mUuiData.Set(un16Size, pby);
  return VQX_RESULT_OK;
}

void CVQCMCUserToUserInfo::Clear() { mUuiData.Clear(); }

void CVQCMCUserToUserInfo::GetUuiData(CVQCAFString& strData) {
  strData.Clear();
  const u64 un64Size = mUuiData.GetSize();
  if (un64Size == 0) return;
  strData.AppendData(mUuiData.GetData(__FILE__, __LINE__), static_cast<u32>(un64Size));
  mUuiData.ReleaseData(__FILE__, __LINE__);
}

void CVQCMCUserToUserInfo::SetUuiData(CVQCAFBuffer* pData) {
  if (pData == nullptr) {
    Clear();
  } else if (pData != &mUuiData) {
    mUuiData = *pData;
  }
}

void CVQCMCUserToUserInfo::SetUuiData(const CVQCAFString& strData) { mUuiData.Set(strData.GetLength(), strData.c_str()); }

VQX_RESULT CVQCMCUserToUserInfo::GetUuiDataHex(CVQCAFString& strHex) { return GetHex(mUuiData, strHex); }

VQX_RESULT CVQCMCUserToUserInfo::SetUuiDataHex(const CVQCAFString& strHex) { return SetHex(mUuiData, strHex, kUui); }

VQX_RESULT CVQCMCUserToUserInfo::InsertAsGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol) {
  return InsertBytes(mUuiData, kUui, VQCMC_GENERIC_HEADER_UUI, 0, hMsg, pProtocol);
}

/* -------------------------------------------------------- SS7 raw data */

CVQCMCSs7RawData::CVQCMCSs7RawData(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_SS7_RAW_DATA& Element) {
  Assign(hMsg, Element);
}

VQX_RESULT CVQCMCSs7RawData::Assign(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_SS7_RAW_DATA& Element) {
  Clear();
  const VQX_RESULT Result = CheckReceived(hMsg, &Element, sizeof(Element), &Element.setData, kSs7.pszOperation);
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (Element.Type != VQCMC_GENERIC_HEADER_SS7_RAW_DATA) return VQX_RESULT_OK;
  u16 un16Size = 0;
  if (const u8* pby = OnlyElement(&Element.setData, &un16Size)) {
    mData.Set(un16Size, pby);
    mVariant = Element.Variant;
  }
  return VQX_RESULT_OK;
}

void CVQCMCSs7RawData::Clear() {
  mData.Clear();
  mVariant = VQCMC_SS7_ISUP_PROTOCOL_VARIANT_DEFAULT;
}

CVQCAFBuffer& CVQCMCSs7RawData::GetSs7RawDataBuf(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT& Variant) {
  Variant = mVariant;
  return mData;
}

void CVQCMCSs7RawData::SetSs7RawDataBuf(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant, CVQCAFBuffer* pData) {
  if (pData == nullptr) {
    mData.Clear();
    return;
  }
  mVariant = Variant;
  if (pData != &mData) mData = *pData;
}

VQX_RESULT CVQCMCSs7RawData::GetSs7RawDataHex(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT& Variant, CVQCAFString& strHex) {
  Variant = mVariant;
  return GetHex(mData, strHex);
}

VQX_RESULT CVQCMCSs7RawData::SetSs7RawDataHex(_VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant, const CVQCAFString& strHex) {
  const VQX_RESULT Result = SetHex(mData, strHex, kSs7);
  if (VQX_RESULT_SUCCEEDED(Result)) mVariant = Variant;
  return Result;
}

VQX_RESULT CVQCMCSs7RawData::InsertAsGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol) {
  return InsertBytes(mData, kSs7, VQCMC_GENERIC_HEADER_SS7_RAW_DATA, mVariant, hMsg, pProtocol);
}

/* -------------------------------------------------------- extra number */

CVQCMCExtraNumber::CVQCMCExtraNumber() : mImage{} {}

CVQCMCExtraNumber::CVQCMCExtraNumber(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_EXTRA_NUMBER& Element) : mImage{} {
  Assign(hMsg, Element);
}

VQX_RESULT CVQCMCExtraNumber::Assign(VQX_MSG_HANDLE hMsg, const _VQCMC_PROTOCOL_EXTRA_NUMBER& Element) {
  const VQX_RESULT Result = CheckReceived(hMsg, &Element, sizeof(Element), &Element.setDigits, "CVQCMCExtraNumber");
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (Element.Type != VQCMC_GENERIC_HEADER_EXTRA_NUMBER) return VQX_RESULT_OK;
  u16 un16Size = 0;
  const char* pszDigits = reinterpret_cast<const char*>(OnlyElement(&Element.setDigits, &un16Size));
  const bool fEmptyType10 =
      Element.NumberType == VQCMC_PROTOCOL_NUMBER_TYPE_INSERTED_EMPTY && Element.setDigits == 0;
  if (pszDigits == nullptr && !fEmptyType10) return VQX_RESULT_OK;
  memcpy(&mImage, &Element, sizeof(mImage));
  mImage.setDigits = 0;
  mun32Reason = mImage.un8Reason;
  // The digits end at their NUL or at the end of their element.
  mstrNumber = pszDigits != nullptr ? CVQCAFString(pszDigits, static_cast<u32>(strnlen(pszDigits, un16Size)))
                                    : CVQCAFString();
  return VQX_RESULT_OK;
}

void CVQCMCExtraNumber::Clear() {
  memset(&mImage, 0, sizeof(mImage));
  mun32Reason = 0;
  mstrNumber.Clear();
}

VQX_RESULT CVQCMCExtraNumber::InsertAsGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol) {
  if (hMsg == nullptr || pProtocol == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mImage.NumberType != VQCMC_PROTOCOL_NUMBER_TYPE_INSERTED_EMPTY && mstrNumber.IsEmpty()) return VQX_RESULT_OK;
  mImage.un8Reason = static_cast<u8>(mun32Reason);
  VQXMsgElementSet* pSet = GenericHeaderSet(pProtocol);
  const u32 un32Mark = VqxMsgElementMark(hMsg);
  void* pvElement = nullptr;
  VQX_RESULT Result = VQXMsgElementAlloc(hMsg, pSet, sizeof(_VQCMC_PROTOCOL_EXTRA_NUMBER), &pvElement);
  if (VQX_RESULT_FAILED(Result)) return Result;
  auto* pElement = static_cast<_VQCMC_PROTOCOL_EXTRA_NUMBER*>(pvElement);
  memcpy(pElement, &mImage, sizeof(*pElement));
  pElement->Type = VQCMC_GENERIC_HEADER_EXTRA_NUMBER;
  pElement->setDigits = 0;
  if (mstrNumber.IsEmpty()) return VQX_RESULT_OK;
  Result = VQXMsgElementStringAdd(hMsg, &pElement->setDigits, mstrNumber.c_str());
  if (VQX_RESULT_FAILED(Result)) {
    void* apSets[] = {pSet};
    VqxMsgElementUndo(hMsg, un32Mark, apSets, 1);
  }
  return Result;
}

}  // namespace VQCAF
