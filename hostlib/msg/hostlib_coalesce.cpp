/*
 * hostlib_coalesce.cpp - the coalescing send queue.
 *
 * An application that answers what it receives queues its sends here; they go
 * out in one multiple-send call when the queue fills or just before the
 * application blocks to receive again. The queue relies on its owner's mutex
 * (released while blocked in the receive); it has no lock of its own.
 */
#include <stdlib.h>
#include <string.h>

#include "msg/hostlib_msg_internal.h"

namespace {

VqxApiCoalescingQueue* VqxCoalescingCreateFail(VQX_LIB_HANDLE hLib, const char* pszText) {
  VQX_LOG_V(hLib, 0, "VqxApiCoalescingQueueCreate: %s\n", pszText);
  return nullptr;
}

}  // namespace

VqxApiCoalescingQueue* VqxApiCoalescingQueueCreate(VQX_LIB_HANDLE hLib, const VQX_COALESCING_QUEUE_PARAMS* pParams) {
  if (hLib == nullptr) return nullptr;
  if (pParams == nullptr) return VqxCoalescingCreateFail(hLib, "in_pCoalescingQueueParams cannot be NULL");
  if (pParams->un32QueueSize == 0) return VqxCoalescingCreateFail(hLib, "un32QueueSize cannot be 0");
  VqxApiCoalescingQueue* pQueue = static_cast<VqxApiCoalescingQueue*>(calloc(1, sizeof(VqxApiCoalescingQueue)));
  if (pQueue == nullptr) return VqxCoalescingCreateFail(hLib, "calloc failed to allocate coalescing queue");
  pQueue->pahTxPendingMessages = static_cast<VQX_MSG_HANDLE*>(calloc(pParams->un32QueueSize, sizeof(VQX_MSG_HANDLE)));
  if (pQueue->pahTxPendingMessages == nullptr) {
    free(pQueue);
    return VqxCoalescingCreateFail(hLib, "calloc failed to allocate pahTxPendingMessages");
  }
  pQueue->Params = *pParams;
  return pQueue;
}

VQX_RESULT VqxApiCoalescingKickInternal(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, const char*, u32) {
  if (pQueue->un32NbQueued == 0) return VQX_RESULT_OK;
  VQX_LIB* pLib = VqxLib(hLib);
  const u32 un32Count = pQueue->un32NbQueued;
  pQueue->un32NbQueued = 0;
  if (pLib->pFctSendMultiple == nullptr) {
    /* No send path connected: nothing can leave, and nothing may be lost silently. */
    VQX_LOG_V(hLib, 0, "VqxApiCoalescingKick: %s\n", "VQX_RESULT_API_NOT_IMPLEMENTED");
    for (u32 i = 0; i < un32Count; i++) {
      VqxMsgReleaseInternal(hLib, pQueue->pahTxPendingMessages[i]);
      pQueue->pahTxPendingMessages[i] = nullptr;
    }
    return VQX_RESULT_API_NOT_IMPLEMENTED;
  }
  /* The send takes every message, also on failure, and clears the entries. */
  return pLib->pFctSendMultiple(hLib, un32Count, pQueue->pahTxPendingMessages);
}

VQX_RESULT VqxApiCoalescingAddMsgInternal(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, VQX_MSG_HANDLE hMsg,
                                          const char* pszFile, u32 un32Line) {
  if (pQueue->un32NbQueued >= pQueue->Params.un32QueueSize) {
    const VQX_RESULT result = VqxApiCoalescingKickInternal(hLib, pQueue, pszFile, un32Line);
    if (VQX_RESULT_FAILED(result) || pQueue->un32NbQueued >= pQueue->Params.un32QueueSize) {
      VQX_LOG_V(hLib, 0, "VqxApiCoalescingAddMsg: %s\n",
                "VqxApiCoalescingKick failed, queue full, can't queue one more message!");
      VqxMsgReleaseInternal(hLib, hMsg);
      return VQX_RESULT_FAILED(result) ? result : VQX_RESULT_API_OUT_OF_RESOURCE;
    }
  }
  pQueue->pahTxPendingMessages[pQueue->un32NbQueued++] = hMsg;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxApiCoalescingReceiveMsgInternal(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, u32 un32TimeoutMs,
                                              u32* pun32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile,
                                              u32 un32Line) {
  VQX_LIB* pLib = VqxLib(hLib);
  pQueue->un32NbReceived = 0;
  VqxApiCoalescingKickInternal(hLib, pQueue, pszFile, un32Line);
  if (pLib->pFctReceiveMultiple == nullptr) {
    *pun32Count = 0;
    return VQX_RESULT_API_NOT_IMPLEMENTED;
  }
  const u32 un32Levels = pQueue->Params.hMutex != nullptr ? VqxMutexHeldCount(pQueue->Params.hMutex) : 0;
  for (u32 i = 0; i < un32Levels; i++) VqxMutexGive(pQueue->Params.hMutex);
  const VQX_RESULT result = pLib->pFctReceiveMultiple(hLib, pQueue->Params.hFilter, un32TimeoutMs, pun32Count, pahMsg);
  for (u32 i = 0; i < un32Levels; i++) VqxMutexGet(pQueue->Params.hMutex);
  if (VQX_RESULT_SUCCEEDED(result)) pQueue->un32NbReceived += *pun32Count;
  return result;
}

VQX_RESULT VqxApiCoalescingRetrieveMsgsToSend(VQX_LIB_HANDLE, VqxApiCoalescingQueue* pQueue, u32* pun32Count,
                                              VQX_MSG_HANDLE* pahMsg) {
  *pun32Count = pQueue->un32NbQueued;
  if (pahMsg == nullptr) return VQX_RESULT_OK;
  memcpy(pahMsg, pQueue->pahTxPendingMessages, sizeof(VQX_MSG_HANDLE) * pQueue->un32NbQueued);
  memset(pQueue->pahTxPendingMessages, 0, sizeof(VQX_MSG_HANDLE) * pQueue->un32NbQueued);
  pQueue->un32NbQueued = 0;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxApiCoalescingQueueDestroy(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue) {
  if (hLib == nullptr || pQueue == nullptr) {
    if (hLib != nullptr) VQX_LOG_V(hLib, 0, "VqxApiCoalescingQueueDestroy: %s\n", "in_hQueue cannot be NULL");
    return VQX_RESULT_API_NULL_PARAM;
  }
  for (u32 i = 0; i < pQueue->un32NbQueued; i++) VqxMsgReleaseInternal(hLib, pQueue->pahTxPendingMessages[i]);
  free(pQueue->pahTxPendingMessages);
  free(pQueue);
  return VQX_RESULT_OK;
}
