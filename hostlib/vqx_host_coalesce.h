/*
 * vqx_host_coalesce.h - the coalescing send queue, for applications that
 * answer what they receive on a filter: sends are queued here and leave in
 * one multiple-send when the queue fills, when the owner kicks it, or (from a
 * receive callback) by being handed back to the library through the
 * callback's out array (VqxApiCoalescingRetrieveMsgsToSend).
 *
 * The queue has no lock of its own: its owner holds hMutex while it uses it.
 * Ownership: a message added belongs to the queue, also when the add fails
 * (it is then released). What a kick's send refuses goes back to the kicking
 * thread's record when it keeps one (VQXSetThreadSendRefusals), else it is
 * freed.
 */
#ifndef VQX_HOST_COALESCE_H
#define VQX_HOST_COALESCE_H

#include "vqx_host.h"
#include "vqx_thread.h"

typedef struct _VQX_COALESCING_QUEUE_PARAMS {
  u32 un32QueueSize;
  VQX_FILTER_HANDLE hFilter;    /* the owner receives on it */
  VQX_MUTEX_HANDLE hMutex;      /* held by the owner while it uses the queue; may be null */
} VQX_COALESCING_QUEUE_PARAMS;

typedef struct _VqxApiCoalescingQueue {
  VQX_COALESCING_QUEUE_PARAMS Params;
  u32 un32NbReceived;           /* by the last receive call */
  u32 un32NbQueued;
  VQX_MSG_HANDLE* pahTxPendingMessages;
} VqxApiCoalescingQueue;

VqxApiCoalescingQueue* VqxApiCoalescingQueueCreate(VQX_LIB_HANDLE hLib, const VQX_COALESCING_QUEUE_PARAMS* pParams);
VQX_RESULT VqxApiCoalescingAddMsgInternal(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, VQX_MSG_HANDLE hMsg,
                                          const char* pszFile, u32 un32Line);
VQX_RESULT VqxApiCoalescingKickInternal(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, const char* pszFile,
                                        u32 un32Line);
VQX_RESULT VqxApiCoalescingReceiveMsgInternal(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, u32 un32TimeoutMs,
                                              u32* pun32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile,
                                              u32 un32Line);
VQX_RESULT VqxApiCoalescingRetrieveMsgsToSend(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue, u32* pun32Count,
                                              VQX_MSG_HANDLE* pahMsg);
VQX_RESULT VqxApiCoalescingQueueDestroy(VQX_LIB_HANDLE hLib, VqxApiCoalescingQueue* pQueue);

#endif
