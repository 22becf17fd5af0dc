/*
 * hostlib_msgpool.cpp - pools of messages that an application reserves in
 * advance, and the taking of a message from such a pool.
 *
 * A pool holds up to 8 classes of messages of one payload size each, in
 * ascending size. Taking the last message of a class refills the class at
 * once. The pool has its own recursive mutex, taken before the library lock.
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "msg/hostlib_msg_internal.h"

struct _VQX_POOL_OF_MESSAGES {
  VQX_MUTEX_HANDLE hMutex;
  _VQX_POOL_OF_MESSAGES_PARAMS Params;  /* classes sorted by payload size */
  const char* pszFile;
  u32 un32Line;
  VQX_MSG_HANDLE* apahMessages[VQX_API_MAX_PREALLOC_BUF_POOLS];
  u32 aun32NbFilled[VQX_API_MAX_PREALLOC_BUF_POOLS];
};

namespace {

constexpr const char* VQX_POOL_ALLOC = "VQXPoolOfMessagesAlloc";

VQX_RESULT VqxPoolFail(VQX_LIB_HANDLE hLib, const char* pszOperation, const char* pszText, VQX_RESULT Result) {
  if (hLib != nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOperation, pszText);
  } else {
    fprintf(stderr, "%s: %s\n", pszOperation, pszText);
  }
  return Result;
}

/* Fills a class up to its count; the caller holds the pool mutex and the library lock. */
VQX_RESULT VqxPoolFillClass(VQX_LIB_HANDLE hLib, _VQX_POOL_OF_MESSAGES* pPool, u32 un32Class) {
  const _VQX_PREALLOC_BUF_POOL& cls = pPool->Params.aPreAllocBufferPools[un32Class];
  while (pPool->aun32NbFilled[un32Class] < cls.un32NbBuf) {
    VQX_MSG_HANDLE hMsg = nullptr;
    const VQX_RESULT result = VqxMsgAllocateInternal(hLib, cls.un32BufSize, &hMsg, 1, pPool->pszFile, pPool->un32Line);
    if (VQX_RESULT_FAILED(result)) return result;
    pPool->apahMessages[un32Class][pPool->aun32NbFilled[un32Class]++] = hMsg;
  }
  return VQX_RESULT_OK;
}

/* Refills a class under the library lock (pool mutex held: pool first, then library). */
VQX_RESULT VqxPoolRefillClass(VQX_LIB_HANDLE hLib, _VQX_POOL_OF_MESSAGES* pPool, u32 un32Class) {
  VqxHostLibCriticalSectionEnter(hLib);
  const VQX_RESULT result = VqxPoolFillClass(hLib, pPool, un32Class);
  VqxHostLibCriticalSectionLeave(hLib);
  return result;
}

/* Frees every message and the pool; the caller holds the library lock. */
void VqxPoolFree(VQX_LIB_HANDLE hLib, _VQX_POOL_OF_MESSAGES* pPool) {
  for (u32 i = 0; i < VQX_API_MAX_PREALLOC_BUF_POOLS; i++) {
    for (u32 j = 0; j < pPool->aun32NbFilled[i]; j++) VqxBufFree(hLib, pPool->apahMessages[i][j]);
    free(pPool->apahMessages[i]);
  }
  if (pPool->hMutex != nullptr) VqxMutexDestroy(pPool->hMutex);
  delete pPool;
}

}  // namespace

VQX_RESULT VQXPoolOfMessagesAllocDbg(VQX_LIB_HANDLE hLib, const _VQX_POOL_OF_MESSAGES_PARAMS* pParams,
                                     VQX_POOL_OF_MESSAGES_HANDLE* phPool, const char* pszFile, u32 un32Line) {
  if (hLib == nullptr) {
    return VqxPoolFail(nullptr, VQX_POOL_ALLOC, "VQX_RESULT_API_INVALID_LIB_HANDLE", VQX_RESULT_API_INVALID_LIB_HANDLE);
  }
  if (pParams == nullptr || phPool == nullptr) {
    return VqxPoolFail(hLib, VQX_POOL_ALLOC, "VQX_RESULT_API_NULL_PARAM", VQX_RESULT_API_NULL_PARAM);
  }
  *phPool = nullptr;
  if (pParams->un32NbPreAllocBufferPools == 0) {
    return VqxPoolFail(hLib, VQX_POOL_ALLOC, "aun32PreAllocBufferPools can't be 0", VQX_RESULT_API_INVALID_PARAM);
  }
  if (pParams->un32NbPreAllocBufferPools > VQX_API_MAX_PREALLOC_BUF_POOLS) {
    return VqxPoolFail(hLib, VQX_POOL_ALLOC, "VQX_RESULT_API_INVALID_NB_PREALLOC_BUF_POOLS",
                       VQX_RESULT_API_INVALID_NB_PREALLOC_BUF_POOLS);
  }
  for (u32 i = 0; i < pParams->un32NbPreAllocBufferPools; i++) {
    if (pParams->aPreAllocBufferPools[i].un32BufSize == 0) {
      return VqxPoolFail(hLib, VQX_POOL_ALLOC, "un32BufSize can't be 0", VQX_RESULT_API_INVALID_PARAM);
    }
    if (pParams->aPreAllocBufferPools[i].un32NbBuf == 0) {
      return VqxPoolFail(hLib, VQX_POOL_ALLOC, "un32NbBuf can't be 0", VQX_RESULT_API_INVALID_PARAM);
    }
  }
  _VQX_POOL_OF_MESSAGES* pPool = new (std::nothrow) _VQX_POOL_OF_MESSAGES{};
  if (pPool == nullptr) {
    return VqxPoolFail(hLib, VQX_POOL_ALLOC, "Failed to allocate pPoolOfMessagesContext", VQX_RESULT_API_NOT_ENOUGH_MEMORY);
  }
  if (VQX_RESULT_FAILED(VqxMutexCreate(&pPool->hMutex))) {
    delete pPool;
    return VqxPoolFail(hLib, VQX_POOL_ALLOC, "Failed to allocate pPoolOfMessagesContext", VQX_RESULT_API_NOT_ENOUGH_MEMORY);
  }
  pPool->Params = *pParams;
  std::sort(pPool->Params.aPreAllocBufferPools, pPool->Params.aPreAllocBufferPools + pParams->un32NbPreAllocBufferPools,
            [](const _VQX_PREALLOC_BUF_POOL& a, const _VQX_PREALLOC_BUF_POOL& b) { return a.un32BufSize < b.un32BufSize; });
  pPool->pszFile = pszFile;
  pPool->un32Line = un32Line;

  VQX_RESULT result = VQX_RESULT_API_OK;
  const char* pszFailure = nullptr;
  VqxHostLibCriticalSectionEnter(hLib);
  for (u32 i = 0; i < pPool->Params.un32NbPreAllocBufferPools && pszFailure == nullptr; i++) {
    pPool->apahMessages[i] =
        static_cast<VQX_MSG_HANDLE*>(calloc(pPool->Params.aPreAllocBufferPools[i].un32NbBuf, sizeof(VQX_MSG_HANDLE)));
    if (pPool->apahMessages[i] == nullptr) {
      pszFailure = "Failed to allocate pPool->apMessages";
      result = VQX_RESULT_API_NOT_ENOUGH_MEMORY;
      break;
    }
    result = VqxPoolFillClass(hLib, pPool, i);
    if (VQX_RESULT_FAILED(result)) pszFailure = "Failed to allocate message to store in pool";
  }
  if (pszFailure != nullptr) {
    VqxPoolFree(hLib, pPool);
    VqxHostLibCriticalSectionLeave(hLib);
    return VqxPoolFail(hLib, VQX_POOL_ALLOC, pszFailure, result);
  }
  VqxHostLibCriticalSectionLeave(hLib);
  *phPool = pPool;
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXPoolOfMessagesDestroy(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool) {
  if (hLib == nullptr) {
    return VqxPoolFail(nullptr, "VQXPoolOfMessagesDestroy", "VQX_RESULT_API_INVALID_LIB_HANDLE",
                       VQX_RESULT_API_INVALID_LIB_HANDLE);
  }
  if (hPool == nullptr) {
    return VqxPoolFail(hLib, "VQXPoolOfMessagesDestroy", "VQX_RESULT_API_NULL_PARAM", VQX_RESULT_API_NULL_PARAM);
  }
  VqxMutexGet(hPool->hMutex);
  VqxHostLibCriticalSectionEnter(hLib);
  VQX_MUTEX_HANDLE hMutex = hPool->hMutex;
  hPool->hMutex = nullptr;
  VqxPoolFree(hLib, hPool);
  VqxHostLibCriticalSectionLeave(hLib);
  VqxMutexGive(hMutex);
  VqxMutexDestroy(hMutex);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxPoolOfMessagesTake(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool, u32 un32PayloadSize,
                                 VQX_MSG_HANDLE* phMsg, u32* pfFallBack) {
  *pfFallBack = 1;
  if (hPool == nullptr || hPool->Params.un32NbPreAllocBufferPools == 0) return VQX_RESULT_OK;
  VqxMutexGet(hPool->hMutex);
  u32 un32Class = 0;
  while (un32Class < hPool->Params.un32NbPreAllocBufferPools &&
         hPool->Params.aPreAllocBufferPools[un32Class].un32BufSize < un32PayloadSize) {
    un32Class++;
  }
  if (un32Class == hPool->Params.un32NbPreAllocBufferPools) {
    VqxMutexGive(hPool->hMutex);
    return VQX_RESULT_OK;
  }
  if (hPool->aun32NbFilled[un32Class] == 0) {
    /* Left empty by a refill that ran out of memory: try again before falling back. */
    const VQX_RESULT result = VqxPoolRefillClass(hLib, hPool, un32Class);
    if (VQX_RESULT_FAILED(result) && hPool->aun32NbFilled[un32Class] == 0) {
      VqxMutexGive(hPool->hMutex);
      VQX_LOG_V(hLib, 0, "VQXGetMsgFromPool: %s\n", "Failed to allocate message to store in pool");
      return result;
    }
  }
  if (hPool->aun32NbFilled[un32Class] == 0) {
    VqxMutexGive(hPool->hMutex);
    VQX_LOG_V(hLib, 0, "VQXGetMsgFromPool: %s\n", "BUG: Pool with 0 message in it!");
    return VQX_RESULT_FAIL;
  }
  *pfFallBack = 0;
  *phMsg = hPool->apahMessages[un32Class][--hPool->aun32NbFilled[un32Class]];
  if (hPool->aun32NbFilled[un32Class] == 0) {
    const VQX_RESULT result = VqxPoolRefillClass(hLib, hPool, un32Class);
    /*
     * The caller still gets the message it asked for, with success: a
     * failure result beside a valid message would leak it in any caller
     * that tests the result. A class left empty falls back to plain
     * allocation at the next take.
     */
    if (VQX_RESULT_FAILED(result)) {
      VQX_LOG_V(hLib, 0, "VQXGetMsgFromPool: %s\n", "Failed to allocate message to store in pool");
    }
  }
  VqxMutexGive(hPool->hMutex);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXGetMsgFromPool(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool, u32 un32PayloadSize,
                             VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr) {
    return VqxPoolFail(nullptr, "VQXGetMsgFromPool", "VQX_RESULT_API_INVALID_LIB_HANDLE",
                       VQX_RESULT_API_INVALID_LIB_HANDLE);
  }
  if (phMsg == nullptr) return VqxPoolFail(hLib, "VQXGetMsgFromPool", "VQX_RESULT_API_NULL_PARAM", VQX_RESULT_API_NULL_PARAM);
  *phMsg = nullptr;
  u32 fFallBack = 1;
  const VQX_RESULT result = VqxPoolOfMessagesTake(hLib, hPool, un32PayloadSize, phMsg, &fFallBack);
  if (fFallBack != 0) return VQXGetMsg(hLib, un32PayloadSize, phMsg);
  return result;
}
