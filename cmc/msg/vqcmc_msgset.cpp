/*
 * CVQCMCMsgset<T> (vqcmc_msgset.h): allocation through the core library,
 * adoption, release and the fixed-byte accessor. Instantiated below for
 * each record type.
 */
#include "vqcmc_msgset.h"

#include <algorithm>
#include <cstring>

#include "vqcafcomm.h"
#include "vqcmc_attr_records.h"
#include "vqcmc_msg_internal.h"
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
CVQCMCMsgset<T>::CVQCMCMsgset(VQX_MSG_HANDLE hMsg, T* pPayload) : mpMsg(hMsg), mpPayload(pPayload) {}

template <class T>
void CVQCMCMsgset<T>::Allocate(u32 un32ElementRoom) {
  const u32 un32Size = (VQXMsgComputeSize(sizeof(T), 0, 0) + un32ElementRoom + 7u) & ~7u;
  const VQX_RESULT Result = VQCmcLibMsgAlloc(VqCmcLiveLibHandle(), un32Size, &mpMsg);
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

/*
 * The message goes back through the bridge's host library, pinned, not through the core library: a
 * holder may outlive the core library (a local still alive when the client singleton closes it,
 * possibly on another thread), and a message taken from the core library's pool is the host
 * library's like any other. Without a bridge there is nothing to release it through: it is kept.
 */
template <class T>
CVQCMCMsgset<T>::~CVQCMCMsgset() {
  if (mfOwned == 0 || mpPayload == nullptr) return;
  const CVQCAFHostLibPin Pin;
  const VQX_RESULT Result =
      Pin.Get() == nullptr ? VQX_RESULT_INVALID_STATE : VQXReleaseMsgDbg(Pin.Get(), &mpMsg, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(Result)) VqCmcLogLine("CVQCMCMsgset: Failed to free message\n");
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

template class CVQCMCMsgset<_VQCMC_PLAY_ATTRIBUTE>;
template class CVQCMCMsgset<_VQCMC_RECORD_ATTRIBUTE>;
template class CVQCMCMsgset<_VQCMC_EVENT_ATTRIBUTE>;
template class CVQCMCMsgset<_VQCMC_MEDIA_PROFILE>;
template class CVQCMCMsgset<_VQCMC_PROTOCOL_ATTRIBUTE>;

}  // namespace VQCAF
