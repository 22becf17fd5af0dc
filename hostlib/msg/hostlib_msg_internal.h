/*
 * msg/hostlib_msg_internal.h - inside the host library: the buffer layer's
 * calls, messages (allocation, copies, checks, byte order, release), the
 * coalescing queue and the pools of messages. Above core/ only.
 */
#ifndef HOSTLIB_MSG_INTERNAL_H
#define HOSTLIB_MSG_INTERNAL_H

#include "core/vqx_host_internal.h"

/* -------------------------------------------------------- buffer layer */

/*
 * Buffers (prefix hidden; the returned pointer is the message). All take the
 * buffer mutex; the Internal forms expect it held. A buffer's liveness and
 * state are kept in a table beside the buffers, so that a second release of
 * the same pointer is refused without reading freed memory.
 *  VqxBufMalloc: size in bytes (64-bit: no wrap); fExact: only a class of that
 *    exact rounded size, no heap fallback. Null when nothing can be had.
 *  VqxBufFree: 0x02000000; 0x82010207 not a live buffer (never allocated or
 *    already released); 0x82010001 prefix overwritten (nothing released).
 */
void* VqxBufMalloc(VQX_LIB_HANDLE hLib, u64 un64Size, u32 fExact, const char* pszFile, u32 un32Line);
void* VqxBufMallocInternal(VQX_LIB_HANDLE hLib, u64 un64Size, u32 fExact, const char* pszFile, u32 un32Line);
/* VqxBufMalloc of each size (a null entry where one failed). */
void VqxBufMallocMultiple(VQX_LIB_HANDLE hLib, u32 un32Count, const u32* paun32Sizes, void** papBuf,
                          const char* pszFile, u32 un32Line);
VQX_RESULT VqxBufFree(VQX_LIB_HANDLE hLib, void* pBuf);
VQX_RESULT VqxBufFreeInternal(VQX_LIB_HANDLE hLib, void* pBuf);
VQX_RESULT VqxBufFreeMultiple(VQX_LIB_HANDLE hLib, u32 un32Count, void* const* papBuf);
/*
 * Deferred release: the buffer must be live, not already released, and held
 * by its owner (allocated or received; sent only with fAllowSent); it is then
 * appended to the list of messages to release, or freed at once when the
 * application releases it (fAllowSent clear) without holding the library
 * lock. 0x02000000 when listed or freed;
 * 0x82010207 (or 0x82010001 when corrupted) refused; 0x82010008 when the list
 * is full (nothing changed: the caller frees it at once).
 */
VQX_RESULT VqxBufReleaseDeferred(VQX_LIB_HANDLE hLib, void* pBuf, u32 fAllowSent);
/* Brings the live-buffer record of a buffer about to be handed to the
 * application into the cache, so that its release does not wait for it. */
void VqxBufPrefetchRelease(VQX_LIB_HANDLE hLib, const void* pBuf);
/* Frees every buffer of the list of messages to release. */
void VqxBufFlushDeferred(VQX_LIB_HANDLE hLib);
VQX_RESULT VqxBufMarkReceived(VQX_LIB_HANDLE hLib, void* pBuf);
/* 0x02000000; 0x82010001 already sent ("Trying to free already sent buffer") or corrupted. */
VQX_RESULT VqxBufMarkSent(VQX_LIB_HANDLE hLib, void* pBuf);
/*
 * Live-buffer check: 0x02000000 live and intact; 0x82010207 unknown or released; 0x82010001 corrupted.
 * When live and intact, *pun64Usable (if given) receives the bytes asked for the buffer.
 */
VQX_RESULT VqxBufCheck(VQX_LIB_HANDLE hLib, const void* pBuf, u64* pun64Usable = nullptr);
/* Bytes usable at pBuf (the size asked for at allocation); 0 when not live. */
u64 VqxBufUsableSize(VQX_LIB_HANDLE hLib, const void* pBuf);
VQX_RESULT VqxBufTest(VQX_LIB_HANDLE hLib, const void* pBuf);
void VqxBufChangeFile(VQX_LIB_HANDLE hLib, void* pBuf, const char* pszFile, u32 un32Line);
/* Creation site recorded for a live buffer (leak reports); false when not live. */
bool VqxBufGetFileLine(VQX_LIB_HANDLE hLib, const void* pBuf, const char** ppszFile, u32* pun32Line);
u32 VqxBufLiveCount(VQX_LIB_HANDLE hLib);
/* Freed heap blocks kept for later fallback allocations: their bytes and their count. */
u64 VqxBufHeapCacheBytes(VQX_LIB_HANDLE hLib, u64* pun64Blocks);
/* The most bytes ever kept for later fallback allocations. */
u64 VqxBufHeapCacheBound();
/* Refuses the next n buffer allocations of this library as if memory had run out (out-of-memory tests). */
void VqxBufRefuseNextAllocations(VQX_LIB_HANDLE hLib, u32 un32Count);
/* Creates the live-buffer table (0x82010012 without memory). */
VQX_RESULT VqxBufLayerInit(VQX_LIB_HANDLE hLib);
/* At close: frees every buffer still live (the instance goes away with them) and the class table. */
void VqxBufLayerDestroy(VQX_LIB_HANDLE hLib);
/* Class table from the library parameters (defaults when they name none). */
VQX_RESULT VQXUpdatePreAllocPoolsList(VQX_LIB_HANDLE hLib);
void VQXUpdatePreFreePoolsList(VQX_LIB_HANDLE hLib, VQX_BUF_CLASS_TABLE* pTable);
/* Default class table for a receive fifo size (count of pairs written). */
u32 VqxBufDefaultClasses(u32 un32ReceiveFifoSize, _VQX_PREALLOC_BUF_POOL* paOut);
/*
 * VqxBufMarkReceived and VqxBufUsableSize in one trip through the buffer
 * mutex: the bytes asked for the buffer (0 when it is not live, then left
 * unmarked).
 */
u64 VqxBufMarkReceivedUsableSize(VQX_LIB_HANDLE hLib, void* pBuf);

/* ------------------------------------------------------------- messages */

/*
 * The allocator behind every message: payload size in 32 bits, sums done in
 * 64 bits. fOversize lets the pools exceed 10485760 bytes. Caller holds the
 * library lock (the serial counter). Results as VQXGetMsg.
 */
VQX_RESULT VqxMsgAllocateInternal(VQX_LIB_HANDLE hLib, u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg,
                                  u32 fOversize, const char* pszFile, u32 un32Line);
/* A copy with a new serial number (RxMsgCopy counted); null when no memory. */
VQX_MSG_HANDLE VqxMsgCopyCreate(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/*
 * Header sanity against the buffer really held: payload start 88, payload
 * maximum = length - 88, payload length <= maximum, length within the buffer.
 * 0x02000000; 0x8201020E when a field does not fit; VqxBufCheck's failures.
 */
VQX_RESULT VqxMsgCheckHeader(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/*
 * The smallest received message whose sizes can be read: the words up to the
 * payload start. An older peer's header is shorter than 88 bytes (its payload
 * start says how long), so a received message may be shorter than 88 bytes.
 */
#define VQX_MSG_RECEIVED_MIN_SIZE (VQX_MSG_OFFSET_PAYLOAD_START + 4u)
/* Received header check against the number of bytes received (host order); payload start at least 24. */
VQX_RESULT VqxMsgCheckReceivedHeader(const _VQX_MSG_HEADER* pHeader, u64 un64BufSize);
/* Wire preparation (local word 0, unique id, big-endian fields). */
VQX_RESULT VQXHostSwapMsgToSend(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/*
 * Receive side: message id to host order, then every other swapped field of
 * the un32Size bytes received that lies within the sender's header (its
 * payload start, at most 88): the payload behind an older peer's shorter
 * header is never swapped.
 */
void VqxHostSwapMsgIdReceived(VQX_MSG_HANDLE hMsg);
void VqxHostSwapMsgReceived(VQX_MSG_HANDLE hMsg, u32 un32Size = VQX_MSG_HEADER_SIZE);
/*
 * An older peer's header (payload start below 88, sizes checked, host order)
 * widened to 88 bytes: a new message with the missing header words zero and
 * the payload behind them; the received one is released. Nothing is done for
 * payload start 88. 0x02010000, or the allocation's failure (the message is
 * then released and *phMsg null).
 */
VQX_RESULT VqxMsgWidenReceived(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg);
/*
 * Release for the library's own code: like VQXReleaseMsgEx (deferred) but
 * also accepts a message already handed to the send path.
 */
VQX_RESULT VqxMsgReleaseInternal(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
/*
 * A message a send refused once it took it: handed back to the record of the calling thread's sends
 * (VQXSetThreadSendRefusals) with the send's result while it has room, else released as VqxMsgReleaseInternal.
 */
void VqxMsgRefused(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, VQX_RESULT result);

/* --------------------------------------------------- coalescing queue */

/* Public: vqx_host_coalesce.h. */
#include "vqx_host_coalesce.h"

/* ---------------------------------------------------- pools of messages */

/* The pool's creation site (file, line) is used when it refills a class. */
VQX_RESULT VqxPoolOfMessagesTake(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool, u32 un32PayloadSize,
                                 VQX_MSG_HANDLE* phMsg, u32* pfFallBack);

#endif
