/*
 * CVQCMCMsgset<T> (vqcmc_msgset.h): allocation through the core library,
 * adoption, release, the fixed-byte accessor and the record copies shared
 * by the attribute holders. Instantiated below for each record type.
 */
#include "vqcmc_msgset.h"

#include <algorithm>
#include <cstring>

#include "vqcmc_attr_records.h"
#include "vqcmc_msg_internal.h"
#include "vqcmclib.h"
#include "vqx_msg_element.h"

namespace VQCAF {

template <class T>
CVQCMCMsgset<T>::CVQCMCMsgset() {
  Allocate(VQCMC_MSGSET_ELEMENT_ROOM);
}

template <class T>
CVQCMCMsgset<T>::CVQCMCMsgset(u32 un32ElementRoom) {
  Allocate(un32ElementRoom);
}

template <class T>
CVQCMCMsgset<T>::CVQCMCMsgset(VQX_MSG_HANDLE hMsg, T* pPayload) : mpMsg(hMsg), mpPayload(pPayload) {
  if (CVQCMCLib* pLib = CVQCMCLib::GetInstance()) mhCmcLib = pLib->GetCmcLibHandle();
}

template <class T>
void CVQCMCMsgset<T>::Allocate(u32 un32ElementRoom) {
  if (CVQCMCLib* pLib = CVQCMCLib::GetInstance()) mhCmcLib = pLib->GetCmcLibHandle();
  const u32 un32Size = (VQXMsgComputeSize(sizeof(T), 0, 0) + un32ElementRoom + 7u) & ~7u;
  const VQX_RESULT Result = VQCmcLibMsgAlloc(mhCmcLib, un32Size, &mpMsg);
  if (VQX_RESULT_FAILED_OR_WARNING(Result) || mpMsg == nullptr) {
    VqCmcLogLine("CVQCMCMsgset: Failed to alloc message\n");
    mpMsg = nullptr;
    return;
  }
  mpPayload = reinterpret_cast<T*>(reinterpret_cast<u8*>(mpMsg) + mpMsg->un32PayloadStart);
  mpMsg->un32MsgId = 0;
  mpMsg->MsgType = VQX_MSG_TYPE_REQUEST;
  mpMsg->un32PayloadLength = std::min<u32>(mpMsg->un32PayloadMaxLength, sizeof(T));
  mpMsg->hAdapter = VQX_HOSTLIB_ADAPTER_HANDLE;
  mpMsg->un64UserContext1 = 0;
  mpMsg->un64UserContext2 = 0;
  if (un32ElementRoom != 0) {
    VQXMsgElementInit(mpMsg, sizeof(T));
  } else {
    memset(mpPayload, 0, std::min<u32>(mpMsg->un32PayloadMaxLength, sizeof(T)));
  }
}

template <class T>
CVQCMCMsgset<T>::~CVQCMCMsgset() {
  if (mfOwned == 0 || mpPayload == nullptr) return;
  if (VQX_RESULT_FAILED(VQCmcLibMsgRelease(mhCmcLib, &mpMsg))) VqCmcLogLine("CVQCMCMsgset: Failed to free message\n");
}

template <class T>
VQX_RESULT CVQCMCMsgset<T>::SetFixedByte(u32 un32Offset, u8 un8Value) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (un32Offset < VQCMC_MEDIA_ATTR_OFFSET_CARRIED || un32Offset >= sizeof(T)) return VQX_RESULT_INVALID_PARAM;
  reinterpret_cast<u8*>(mpPayload)[un32Offset] = un8Value;
  return VQX_RESULT_OK;
}

template <class T>
VQX_RESULT CVQCMCMsgset<T>::GetFixedByte(u32 un32Offset, u8* pun8Value) const {
  if (pun8Value == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (un32Offset < VQCMC_MEDIA_ATTR_OFFSET_CARRIED || un32Offset >= sizeof(T)) return VQX_RESULT_INVALID_PARAM;
  *pun8Value = reinterpret_cast<const u8*>(mpPayload)[un32Offset];
  return VQX_RESULT_OK;
}

template <class T>
VQX_RESULT CVQCMCMsgset<T>::CopyRecordTo(VQX_MSG_HANDLE hDstMsg, T* pDst, u32 un32SetOffset,
                                         const char* pszOperation) const {
  if (hDstMsg == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  memcpy(pDst, mpPayload, sizeof(T));
  const u8* pbySrcSet = reinterpret_cast<const u8*>(mpPayload) + un32SetOffset;
  u8* pbyDstSet = reinterpret_cast<u8*>(pDst) + un32SetOffset;
  memset(pbyDstSet, 0, sizeof(VQXMsgElementSet));
  const VQX_RESULT Result = VQXMsgElementDupSet(pbySrcSet, hDstMsg, pbyDstSet, nullptr, nullptr);
  if (VQX_RESULT_FAILED(Result)) VQCMC_LOG_FAILURE(pszOperation, "VQXMsgElementDupSet Failed", Result);
  return Result;
}

template <class T>
VQX_RESULT CVQCMCMsgset<T>::CopyRecordFrom(VQX_MSG_HANDLE hSrcMsg, const T* pSrc, u32 un32SetOffset,
                                           const char* pszOperation) {
  if (hSrcMsg == nullptr || pSrc == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  const u8* pbySrcSet = reinterpret_cast<const u8*>(pSrc) + un32SetOffset;
  VQX_RESULT Result = VqCmcCheckRecordSet(hSrcMsg, pSrc, sizeof(T), pbySrcSet);
  if (VQX_RESULT_FAILED(Result)) {
    VQCMC_LOG_FAILURE(pszOperation, "Malformed attribute refused", Result);
    return Result;
  }
  if (pSrc == mpPayload) return VQX_RESULT_OK;
  memmove(mpPayload, pSrc, sizeof(T));
  u8* pbyDstSet = reinterpret_cast<u8*>(mpPayload) + un32SetOffset;
  memset(pbyDstSet, 0, sizeof(VQXMsgElementSet));
  Result = VQXMsgElementDupSet(pbySrcSet, mpMsg, pbyDstSet, nullptr, nullptr);
  if (VQX_RESULT_FAILED(Result)) VQCMC_LOG_FAILURE(pszOperation, "VQXMsgElementDupSet Failed", Result);
  return Result;
}

template class CVQCMCMsgset<_VQCMC_PLAY_ATTRIBUTE>;
template class CVQCMCMsgset<_VQCMC_RECORD_ATTRIBUTE>;
template class CVQCMCMsgset<_VQCMC_EVENT_ATTRIBUTE>;
template class CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>;
template class CVQCMCMsgset<_VQCMC_PROTOCOL_ATTRIBUTE>;

}  // namespace VQCAF
