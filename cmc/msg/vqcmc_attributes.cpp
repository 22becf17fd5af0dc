/* The join, collected-digit and call transfer value classes (vqcmc_attributes.h). */
#include "vqcmc_attributes.h"

#include <algorithm>
#include <cstring>

#include "vqcmc_msg_internal.h"

namespace VQCAF {

VQX_RESULT CVQCMC_JOIN_ATTRIBUTE::CopyFrom(const _VQCMC_JOIN_ATTRIBUTE* pAttr) {
  if (pAttr == nullptr) return VQX_RESULT_NULL_PARAM;
  mfFullDuplex = pAttr->fFullDuplex;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMC_COLLECTED_DIGIT_ATTRIBUTE::CopyFrom(const _VQCMC_MSG_NOTIF_DIGIT_COLLECTED* pPayload,
                                                      u32 un32PayloadLength) {
  if (pPayload == nullptr) return VQX_RESULT_NULL_PARAM;
  if (un32PayloadLength < VQCMC_DIGIT_COLLECTED_OFFSET_DIGITS) {
    VQCMC_LOG_FAILURE("CVQCMC_COLLECTED_DIGIT_ATTRIBUTE::CopyFrom", "Payload too short", VQX_RESULT_INVALID_PARAM);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u8* pby = reinterpret_cast<const u8*>(pPayload);
  memcpy(&mfValid, pby + VQCMC_DIGIT_COLLECTED_OFFSET_VALID, sizeof(mfValid));
  memcpy(&mun32MatchingMap, pby + VQCMC_DIGIT_COLLECTED_OFFSET_MAP, sizeof(mun32MatchingMap));
  // The digits end at their NUL or at the end of what the server sent.
  const char* pszDigits = reinterpret_cast<const char*>(pby + VQCMC_DIGIT_COLLECTED_OFFSET_DIGITS);
  const size_t nRoom = un32PayloadLength - VQCMC_DIGIT_COLLECTED_OFFSET_DIGITS;
  mstrDigits = CVQCAFString(pszDigits, static_cast<u32>(strnlen(pszDigits, nRoom)));
  return VQX_RESULT_OK;
}

CVQCMC_CALL_TRANSFER::CVQCMC_CALL_TRANSFER() : mRecord{} {}

CVQCMC_CALL_TRANSFER::CVQCMC_CALL_TRANSFER(const _VQCMC_CALL_TRANSFER& Record) : mRecord{} { *this = Record; }

CVQCMC_CALL_TRANSFER& CVQCMC_CALL_TRANSFER::operator=(const _VQCMC_CALL_TRANSFER& Record) {
  memcpy(&mRecord, &Record, sizeof(mRecord));
  mRecord.szTransferNumber[VQCMC_TRANSFER_NUMBER_SIZE - 1] = '\0';
  return *this;
}

_VQCMC_CALL_TRANSFER_TYPE& CVQCMC_CALL_TRANSFER::GetType() { return mRecord.Type; }
void CVQCMC_CALL_TRANSFER::SetType(const _VQCMC_CALL_TRANSFER_TYPE& Type) { mRecord.Type = Type; }

const char* CVQCMC_CALL_TRANSFER::GetTransferNumber(CVQCAFString* pstrNumber) const {
  if (pstrNumber != nullptr) *pstrNumber = mRecord.szTransferNumber;
  return mRecord.szTransferNumber;
}

void CVQCMC_CALL_TRANSFER::SetTransferNumber(const CVQCAFString& strNumber) {
  // Copy by length: a shorter text is never read past its end.
  const u32 un32Length = std::min<u32>(strNumber.GetLength(), VQCMC_TRANSFER_NUMBER_SIZE - 1);
  memset(mRecord.szTransferNumber, 0, sizeof(mRecord.szTransferNumber));
  if (un32Length != 0) memcpy(mRecord.szTransferNumber, strNumber.c_str(), un32Length);
}

_VQCMC_CALL_NATURE_OF_ADDRESS& CVQCMC_CALL_TRANSFER::GetCallingNoa() { return mRecord.CallingNoa; }
void CVQCMC_CALL_TRANSFER::SetCallingNoa(const _VQCMC_CALL_NATURE_OF_ADDRESS& Noa) { mRecord.CallingNoa = Noa; }
_VQCMC_CALL_NUMBERING_PLAN& CVQCMC_CALL_TRANSFER::GetCallingNpi() { return mRecord.CallingNpi; }
void CVQCMC_CALL_TRANSFER::SetCallingNpi(const _VQCMC_CALL_NUMBERING_PLAN& Npi) { mRecord.CallingNpi = Npi; }

void CVQCMC_CALL_TRANSFER::CopyTo(_VQCMC_CALL_TRANSFER& Record) const { memcpy(&Record, &mRecord, sizeof(Record)); }

}  // namespace VQCAF
