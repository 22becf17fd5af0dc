/* The leg attributes (vqcmc_leg_attributes.h). */
#include "vqcmc_leg_attributes.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "vq500_sip_text.h"
#include "vqcmc_msg_internal.h"

namespace VQCAF {

namespace {

struct LegTypeName {
  u32 un32Type;
  const char* pszName;
};
constexpr LegTypeName kLegTypeNames[] = {
    {VQCMC_LEG_TYPE_UNSPECIFIED, "Unspecified"},
    {VQCMC_LEG_TYPE_CALL, "CALL"},
    {VQCMC_LEG_TYPE_MEDIA_ONLY, "MediaOnly"},
};

/* Image bytes copied between payload and attribute: 0-83, 84-519, 520-591. */
constexpr size_t kImageBytes = offsetof(_VQCMC_CALL_LEG_ATTRIBUTE, MediaProfile);

/* The image bytes between its text fields. A received attribute takes only these into the image:
 * its texts go to the strings, and CopyTo writes the strings back over every text field of the
 * image before the image leaves, so the image's own text bytes are never read. */
template <size_t nFrom, size_t nTo>
void CopySpan(_VQCMC_CALL_LEG_ATTRIBUTE& Dst, const _VQCMC_CALL_LEG_ATTRIBUTE& Src) {
  static_assert(nFrom < nTo && nTo <= kImageBytes);
  memcpy(reinterpret_cast<u8*>(&Dst) + nFrom, reinterpret_cast<const u8*>(&Src) + nFrom, nTo - nFrom);
}
void CopyBetweenTexts(_VQCMC_CALL_LEG_ATTRIBUTE& Dst, const _VQCMC_CALL_LEG_ATTRIBUTE& Src) {
  using T = _VQCMC_CALL_LEG_ATTRIBUTE;
  CopySpan<offsetof(T, un32CalledNoa), offsetof(T, szCallingNumber)>(Dst, Src);
  CopySpan<offsetof(T, un32CallingDisplayType), offsetof(T, szCallingDisplay)>(Dst, Src);
  CopySpan<offsetof(T, abyCarried1), offsetof(T, szPrivateDisplay)>(Dst, Src);
  CopySpan<offsetof(T, abyCarried2), offsetof(T, szPrivateAddress)>(Dst, Src);
  CopySpan<offsetof(T, un8OliPresent), offsetof(T, szNetworkAccessPoint)>(Dst, Src);
  CopySpan<offsetof(T, abyCarried4), kImageBytes>(Dst, Src);
  static_assert(offsetof(T, szCalledNumber) == 0 && offsetof(T, un32CalledNoa) == sizeof(T::szCalledNumber) &&
                offsetof(T, un32CallingDisplayType) == offsetof(T, szCallingNumber) + sizeof(T::szCallingNumber) &&
                offsetof(T, abyCarried1) == offsetof(T, szCallingDisplay) + sizeof(T::szCallingDisplay) &&
                offsetof(T, abyCarried2) == offsetof(T, szPrivateDisplay) + sizeof(T::szPrivateDisplay) &&
                offsetof(T, un8OliPresent) == offsetof(T, szPrivateAddress) + sizeof(T::szPrivateAddress) &&
                offsetof(T, abyCarried4) == offsetof(T, szNetworkAccessPoint) + sizeof(T::szNetworkAccessPoint),
                "the spans and the six text fields cover the image");
}

/* The media-description word a leg copy takes over. */
constexpr u32 kMediaDescriptionWord = 8u;

/* A received text field, up to its NUL or its end, into str (in its own buffer when it fits). An
 * empty field leaves an empty string as it is: most fields of a leg are empty. */
template <size_t N>
[[gnu::always_inline]] inline void AssignText(CVQCAFString& str, const char (&szField)[N]) {
  const u32 un32Length = VqCmcFieldLength(szField, N);
  if (un32Length == 0 && str.IsEmpty()) return;
  str.PreAllocateBuffer(un32Length, __FILE__, __LINE__, 0);
  str.AppendData(szField, un32Length);
}

/* At most N-1 characters and a NUL; the rest of the field zero. */
template <size_t N>
void PutText(char (&szField)[N], const CVQCAFString& str) {
  const size_t nLength = std::min<size_t>(str.GetLength(), N - 1);
  memcpy(szField, str.c_str(), nLength);
  memset(szField + nLength, 0, N - nLength);
}

/* The profile's wire form, with its elements, into pDst in hDstMsg. */
VQX_RESULT ProfileTo(const CVQCMC_MEDIA_PROFILE& Profile, VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_PROFILE* pDst) {
  const VQX_RESULT Result = Profile.WriteTo(hDstMsg, pDst);
  return VQX_RESULT_FAILED(Result) ? VQX_RESULT_FAIL : Result;
}

}  // namespace

const char* VqCmcLegTypeName(u32 un32LegType) {
  for (const LegTypeName& Row : kLegTypeNames) {
    if (Row.un32Type == un32LegType) return Row.pszName;
  }
  return "Unknown";
}

/* ---------------------------------------------------------------- common */

CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::operator=(const CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Other) {
  if (this == &Other) return *this;
  mappingId = Other.mappingId;
  legType = Other.legType;
  calledNumber = Other.calledNumber;
  callingNumber = Other.callingNumber;
  callingDisplay = Other.callingDisplay;
  privateDisplay = Other.privateDisplay;
  privateAddress = Other.privateAddress;
  networkAccessPoint = Other.networkAccessPoint;
  profile = Other.profile;
  attrLegId = Other.attrLegId;
  return *this;
}

CVQCAFString& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingNumber(unsigned int fFromPrivateAddress) {
  if (fFromPrivateAddress == 0 || privateAddress.GetLength() == 0) return callingNumber;
  std::string strCopy(privateAddress.c_str(), privateAddress.GetLength());
  char *pszScheme = nullptr, *pszUser = nullptr, *pszPassword = nullptr, *pszHost = nullptr, *pszParams = nullptr;
  u32 un32Port = 0;
  VQ500SipAddrspecStrParseString(strCopy.data(), &pszScheme, &pszUser, &pszPassword, &pszHost, &pszParams, &un32Port);
  parsedCallingNumber = pszUser != nullptr && *pszUser != '\0' ? CVQCAFString(pszUser) : privateAddress;
  return parsedCallingNumber;
}

/* The kind-specific values: zero statics of their own, one per getter. */
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetProtocolType() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingNoa() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCalledNoa() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingNpi() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCalledNpi() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetChargeIndicator() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingDisplayType() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingPresentation() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingScreening() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallingCategory() { static u32 s_un32; return s_un32; }
u32& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetPrivateDisplayType() { static u32 s_un32; return s_un32; }
u8& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetEarlyMedia() { static u8 s_un8; return s_un8; }
u8& CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetEchoCanceller() { static u8 s_un8; return s_un8; }

unsigned char CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetOriginatingLineInformation(unsigned int* pfPresent) {
  if (pfPresent != nullptr) *pfPresent = 0;
  return 0;
}

VQX_RESULT CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::CopyLegAttributeFrom(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON&) {
  const u32 un32Type = GetLegType();
  VqCmcLogLine("CopyLegAttributeFrom: Child class type=%u (%s) is not implemented", un32Type, VqCmcLegTypeName(un32Type));
  return VQX_RESULT_FAIL;
}

CVQCMC_CALL_LEG_ATTRIBUTE* CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetCallLegAttribute() {
  return legType == VQCMC_LEG_TYPE_CALL ? static_cast<CVQCMC_CALL_LEG_ATTRIBUTE*>(this) : nullptr;
}

CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::GetMediaOnlyLegAttribute() {
  return legType == VQCMC_LEG_TYPE_MEDIA_ONLY ? static_cast<CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE*>(this) : nullptr;
}

/* -------------------------------------------------------------- call leg */

CVQCMC_CALL_LEG_ATTRIBUTE::CVQCMC_CALL_LEG_ATTRIBUTE() { legType = VQCMC_LEG_TYPE_CALL; }

CVQCMC_CALL_LEG_ATTRIBUTE::CVQCMC_CALL_LEG_ATTRIBUTE(const CVQCMC_CALL_LEG_ATTRIBUTE& Other)
    : CVQCMC_CALL_LEG_ATTRIBUTE_COMMON(Other) {
  *this = Other;
}

CVQCMC_CALL_LEG_ATTRIBUTE& CVQCMC_CALL_LEG_ATTRIBUTE::operator=(const CVQCMC_CALL_LEG_ATTRIBUTE& Other) {
  if (this == &Other) return *this;
  CVQCMC_CALL_LEG_ATTRIBUTE_COMMON::operator=(Other);
  mImage = Other.mImage;
  chargeIndicator = Other.chargeIndicator;
  earlyMedia = Other.earlyMedia;
  echoCanceller = Other.echoCanceller;
  return *this;
}

unsigned char CVQCMC_CALL_LEG_ATTRIBUTE::GetOriginatingLineInformation(unsigned int* pfPresent) {
  if (pfPresent != nullptr) *pfPresent = mImage.un8OliPresent;
  return mImage.un8OliPresent != 0 ? mImage.un8Oli : 0;
}

void CVQCMC_CALL_LEG_ATTRIBUTE::SetOriginatingLineInformation(unsigned char un8Value) {
  mImage.un8Oli = un8Value;
  mImage.un8OliPresent = 1;
}

VQX_RESULT CVQCMC_CALL_LEG_ATTRIBUTE::CopyLegAttributeFrom(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Src) {
  CVQCMC_CALL_LEG_ATTRIBUTE* pSrc = Src.GetLegType() == VQCMC_LEG_TYPE_CALL ? Src.GetCallLegAttribute() : nullptr;
  if (pSrc == nullptr || pSrc == this) return VQX_RESULT_OK;
  VqCmcCopyBytes(&mImage, &pSrc->mImage, kImageBytes);
  chargeIndicator = pSrc->chargeIndicator;
  mImage.un32ProtocolType = pSrc->mImage.un32ProtocolType;
  earlyMedia = pSrc->earlyMedia;
  echoCanceller = pSrc->echoCanceller;
  memcpy(profile.GetMediaDescription() + kMediaDescriptionWord,
         pSrc->profile.GetMediaDescription() + kMediaDescriptionWord, sizeof(u32));
  calledNumber = pSrc->calledNumber;
  callingNumber = pSrc->callingNumber;
  callingDisplay = pSrc->callingDisplay;
  privateDisplay = pSrc->privateDisplay;
  privateAddress = pSrc->privateAddress;
  mappingId = 0;
  attrLegId = 0;
  mImage.un32ProtocolType = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_CALL_LEG_ATTRIBUTE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_CALL_LEG_ATTRIBUTE* pSrc) {
  CVQCAFMutexAutoGetGive Lock(&mutex);
  // The profile goes first: its checks refuse a bad set before anything here changes.
  VQX_RESULT Result = VqCmcCheckRecord(hSrcMsg, pSrc, sizeof(*pSrc));
  if (VQX_RESULT_SUCCEEDED(Result)) Result = profile.ReplaceFrom(hSrcMsg, &pSrc->MediaProfile);
  if (VQX_RESULT_FAILED(Result)) {
    VQCMC_LOG_FAILURE("CVQCMC_CALL_LEG_ATTRIBUTE::CopyFrom", "Malformed attribute refused", Result);
    return Result;
  }
  CopyBetweenTexts(mImage, *pSrc);
  mImage.un32ProtocolType = pSrc->un32ProtocolType;
  AssignText(calledNumber, pSrc->szCalledNumber);
  AssignText(callingNumber, pSrc->szCallingNumber);
  AssignText(callingDisplay, pSrc->szCallingDisplay);
  AssignText(privateDisplay, pSrc->szPrivateDisplay);
  AssignText(privateAddress, pSrc->szPrivateAddress);
  AssignText(networkAccessPoint, pSrc->szNetworkAccessPoint);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_CALL_LEG_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_CALL_LEG_ATTRIBUTE* pDst) {
  if (hDstMsg == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mutex);
  PutText(mImage.szCalledNumber, calledNumber);
  PutText(mImage.szCallingNumber, callingNumber);
  PutText(mImage.szNetworkAccessPoint, networkAccessPoint);
  PutText(mImage.szCallingDisplay, callingDisplay);
  PutText(mImage.szPrivateDisplay, privateDisplay);
  PutText(mImage.szPrivateAddress, privateAddress);
  VqCmcCopyBytes(pDst, &mImage, kImageBytes);
  pDst->un32ProtocolType = mImage.un32ProtocolType;
  return ProfileTo(profile, hDstMsg, &pDst->MediaProfile);
}

VQX_RESULT CVQCMC_CALL_LEG_ATTRIBUTE::UpdateFrom(const _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pUpdate) {
  if (pUpdate == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mutex);
  chargeIndicator = pUpdate->un32ChargeIndicator;
  earlyMedia = pUpdate->un8EarlyMedia;
  echoCanceller = pUpdate->un8EchoCanceller;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_CALL_LEG_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE, _VQCMC_CALL_LEG_ATTRIBUTE_UPDATE* pUpdate) {
  if (pUpdate == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mutex);
  pUpdate->un32ProtocolType = mImage.un32ProtocolType;
  pUpdate->un32ChargeIndicator = chargeIndicator;
  pUpdate->un8EarlyMedia = earlyMedia;
  pUpdate->un8EchoCanceller = echoCanceller;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ media only */

CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE::CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE() { legType = VQCMC_LEG_TYPE_MEDIA_ONLY; }

CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE::CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE(const CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE& Other)
    : CVQCMC_CALL_LEG_ATTRIBUTE_COMMON(Other) {}

VQX_RESULT CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE::BuildFrom(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON&) { return VQX_RESULT_OK; }

VQX_RESULT CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pSrc) {
  CVQCAFMutexAutoGetGive Lock(&mutex);
  VQX_RESULT Result = VqCmcCheckRecord(hSrcMsg, pSrc, sizeof(*pSrc));
  if (VQX_RESULT_SUCCEEDED(Result)) Result = profile.ReplaceFrom(hSrcMsg, &pSrc->MediaProfile);
  if (VQX_RESULT_FAILED(Result)) {
    VQCMC_LOG_FAILURE("CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE::CopyFrom", "Malformed attribute refused", Result);
    return Result;
  }
  AssignText(networkAccessPoint, pSrc->szNetworkAccessPoint);
  return Result;
}

VQX_RESULT CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE* pDst) {
  if (hDstMsg == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mutex);
  PutText(pDst->szNetworkAccessPoint, networkAccessPoint);
  return ProfileTo(profile, hDstMsg, &pDst->MediaProfile);
}

}  // namespace VQCAF
