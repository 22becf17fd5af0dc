/*
 * hostlib_send_peer.cpp - sending to adapters and remote hosts: the per-peer
 * send fifo with its high watermark, posting batches to the gateway
 * transport with sequence numbers and piggy-backed acknowledgements, pure
 * acknowledgements, the retransmission ring, flow control towards boards
 * that are slow to answer, awaited responses with their 60 s time-out, and
 * VQXWaitSentMsg.
 *
 * Callers: the send calls (any application thread), the receive thread's
 * periodic push and the transport's receive callback. Everything runs under
 * the library lock; a sender blocked on a full fifo and the status callback
 * run with it released, and look the peer up again afterwards. A sender
 * waiting for room keeps its peer's reading from pausing until the peer's
 * unread backlog reaches its bound (VqxPeerReadOnForSenders), and leaves with
 * a failure then, or once the library closes. A message refused goes back to
 * its sender when the sender keeps a record of refusals (VqxMsgRefused).
 */
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "peer/vqx_host_peer_internal.h"
#include "vqx_clock.h"

namespace {

#define VQX_BROADCAST_HANDLE 0xFFFFFFFFu
#define VQX_POST_MAX_PER_ROUND 256u
#define VQX_GW_QUEUE_IDLE_SLOTS 255u /* free slots of a peer's transport queue holding nothing */
#define VQX_ADAPTER_MAX_MSG_SIZE 64000u
#define VQX_PURE_ACK_MSG_ID 0x020D0012u
#define VQX_PURE_ACK2_MSG_ID 0x020D0015u
#define VQX_PURE_ACK2_FLAG_OFFSET 16u
#define VQX_GROUP_LIB 0x0201u
#define VQX_GROUP_GW_OP 0x020Du
#define VQX_ACK_AFTER_MSGS 15u
#define VQX_ACK_PENDING_MSGS 16383u
#define VQX_ACK_AFTER_MS 400u
#define VQX_AWAIT_TIMEOUT_MS 60000u
#define VQX_FIFO_FULL_SLEEP_MS 10u
#define VQX_FIFO_FULL_ANSWER_WAIT 16u
#define VQX_FLOW_ON_BYTES 131072u
#define VQX_FLOW_ON_MSGS 384u
#define VQX_FLOW_OFF_BYTES 262144u
#define VQX_FLOW_OFF_MSGS 768u

/* Awaited responses of one adapter: a ring, oldest first; answered entries are cleared in place. */
struct VQX_AWAIT_ENTRY {
  u32 un32Serial;
  u32 un32Size;
  u32 un32MsgId;
  u32 fUsed;
  u64 un64SentTime;
};
struct VQX_AWAIT_RING {
  VQX_AWAIT_ENTRY a[VQX_PEER_AWAIT_MAX];
  u32 un32Head;
  u32 un32Count; /* slots from the head, used or cleared */
  /* Serials of the requests the caller stopped waiting for (VQXAbandonAwaitedResponse), the oldest overwritten: an
     answer that still comes is taken quietly. */
  u32 aun32Abandoned[VQX_PEER_AWAIT_ABANDONED_MAX];
  u32 un32AbandonedNext;
};

VQX_AWAIT_RING* VqxAwait(VQX_PEER* pPeer) { return static_cast<VQX_AWAIT_RING*>(pPeer->pvAwait); }

std::atomic<const VQX_GW_SEND_STANDIN*> s_pSendStandIn{nullptr};

/* Signed 32-bit distance: positive when a is after b. */
inline i32 VqxSeqDiff(u32 a, u32 b) { return static_cast<i32>(a - b); }

u64 VqxNow(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  pLib->un64Now = VQXGetClock();
  return pLib->un64Now;
}

u32 VqxHighWatermark(u32 un32Size) { return (2 * un32Size + 4) / 3; }

/* Fifo limit: the configured size, or the ring the record holds when smaller (a ring made before a
   size change), so that a message is never written past the ring. */
u32 VqxFifoLimit(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  const u32 un32Size = VqxLib(hLib)->Params.un32SendFifoSize;
  return pPeer->un32SendFifoCapacity < un32Size ? pPeer->un32SendFifoCapacity : un32Size;
}

bool VqxPeerKeepsAcks(const VQX_PEER* pPeer) { return pPeer->un32BuildNumber >= VQX_PEER_BUILD_RETRANSMIT; }

/* Calls the status callback outside the lock; returns the action it leaves. */
u32 VqxStatusCallback(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32Cause, u32 un32Count, u32 un32Value, u32 un32Action) {
  VQX_LIB* pLib = VqxLib(hLib);
  PFCT_VQX_LIB_STATUS pFct = pLib->Params.pFctStatusCallback;
  if (pFct == nullptr) return un32Action;
  _VQX_LIB_ERROR_INFO info = {un32Cause, un32Count, un32Value, hAdapter};
  _VQX_LIB_ERROR_ACTION action = {un32Action};
  void* pvContext = pLib->Params.pvStatusContext;
  const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
  pFct(pvContext, hLib, hAdapter, &info, &action);
  VqxHostLibLockRetake(hLib, un32Levels);
  return action.un32Action;
}

/* Reports a changed watermark state (event 5); the peer may be gone afterwards. */
void VqxReportWatermark(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  if (VqxLib(hLib)->Params.pFctStatusCallback == nullptr) return;
  if (pPeer->fWatermarkReported == pPeer->fHighWatermarkWarned) return;
  pPeer->fWatermarkReported = pPeer->fHighWatermarkWarned;
  VqxStatusCallback(hLib, pPeer->hAdapter, VQX_LIB_STATUS_TX_WATERMARK, pPeer->un32SendFifoCount,
                    pPeer->fHighWatermarkWarned, 0);
}

/* ------------------------------------------------------ awaited responses */

VQX_RESULT VqxAwaitInit(VQX_LIB_HANDLE, VQX_PEER* pPeer) {
  if (pPeer->pvAwait != nullptr) return VQX_RESULT_OK;
  pPeer->pvAwait = new (std::nothrow) VQX_AWAIT_RING{};
  return pPeer->pvAwait != nullptr ? VQX_RESULT_OK : VQX_RESULT_API_NOT_ENOUGH_MEMORY;
}

void VqxAwaitUninit(VQX_LIB_HANDLE, VQX_PEER* pPeer) {
  delete VqxAwait(pPeer);
  pPeer->pvAwait = nullptr;
}

void VqxAwaitDiscardAll(VQX_LIB_HANDLE, VQX_PEER* pPeer) {
  VQX_AWAIT_RING* pRing = VqxAwait(pPeer);
  if (pRing != nullptr) {
    pRing->un32Head = 0;
    pRing->un32Count = 0;
  }
  pPeer->un32AwaitCount = 0;
  pPeer->un64AwaitBytesSent = 0;
  pPeer->un64AwaitBytesReceived = 0;
}

/* Drops cleared entries from the head. */
void VqxAwaitTrim(VQX_AWAIT_RING* pRing) {
  while (pRing->un32Count != 0 && !pRing->a[pRing->un32Head].fUsed) {
    pRing->un32Head = (pRing->un32Head + 1) % VQX_PEER_AWAIT_MAX;
    pRing->un32Count--;
  }
}

void VqxAwaitRecord(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, u64 un64Now) {
  VQX_AWAIT_RING* pRing = VqxAwait(pPeer);
  if (pRing == nullptr || pRing->un32Count >= VQX_PEER_AWAIT_MAX) {
    VQX_LOG_V(hLib, 0, "BUG: Out of pending requests contexts!\n");
    return;
  }
  VQX_AWAIT_ENTRY& e = pRing->a[(pRing->un32Head + pRing->un32Count) % VQX_PEER_AWAIT_MAX];
  e = VQX_AWAIT_ENTRY{hMsg->un32SerialNumber, hMsg->un32Length, hMsg->un32MsgId, 1, un64Now};
  pRing->un32Count++;
  pPeer->un32AwaitCount++;
  pPeer->un64AwaitBytesSent += hMsg->un32Length;
}

/* Counts an entry as answered (or, fAnswered false, no longer awaited) with un32Bytes received. */
void VqxAwaitAnswer(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_AWAIT_ENTRY& e, u32 un32Bytes, bool fAnswered = true) {
  e.fUsed = 0;
  if (pPeer->un32AwaitCount != 0) pPeer->un32AwaitCount--;
  if (fAnswered) pPeer->un32ResponsesReceived++;
  if (pPeer->un64AwaitBytesReceived + un32Bytes > pPeer->un64AwaitBytesSent) {
    VQX_LOG_V(hLib, 0, "BUG: Total rsp size received exceeds sent size! (%u + %u > %u)\n",
              static_cast<u32>(pPeer->un64AwaitBytesReceived), un32Bytes, static_cast<u32>(pPeer->un64AwaitBytesSent));
    pPeer->un64AwaitBytesReceived = pPeer->un64AwaitBytesSent;
  } else {
    pPeer->un64AwaitBytesReceived += un32Bytes;
  }
  /* Totals back at zero: start again from there, so that they cannot creep. */
  if (pPeer->un32AwaitCount == 0) pPeer->un64AwaitBytesSent = pPeer->un64AwaitBytesReceived = 0;
}

/* -------------------------------------------------------- flow control */

u64 VqxOutstandingBytes(const VQX_PEER* pPeer) { return pPeer->un64AwaitBytesSent - pPeer->un64AwaitBytesReceived; }

/* Re-evaluates flow control towards an adapter; true when it turned off. */
bool VqxFlowEvaluate(VQX_PEER* pPeer) {
  if (!pPeer->fAdapter || !VqxPeerKeepsAcks(pPeer)) return false;
  const bool fOver = VqxOutstandingBytes(pPeer) > pPeer->un32ByteLimit || pPeer->un32AwaitCount > pPeer->un32MsgLimit;
  if (!pPeer->fFlowBlocked && fOver) {
    pPeer->fFlowBlocked = 1;
    VqxHostAdapterSetFlowControlLimit(pPeer, VQX_FLOW_ON_BYTES, VQX_FLOW_ON_MSGS);
  } else if (pPeer->fFlowBlocked && !fOver) {
    pPeer->fFlowBlocked = 0;
    VqxHostAdapterSetFlowControlLimit(pPeer, VQX_FLOW_OFF_BYTES, VQX_FLOW_OFF_MSGS);
    return true;
  }
  return false;
}

/* --------------------------------------------------- acknowledgements */

bool VqxPureAckDue(const VQX_PEER* pPeer, u64 un64Now) {
  if (!VqxPeerKeepsAcks(pPeer)) return false;
  if (pPeer->un32RxUnacked > VQX_ACK_AFTER_MSGS) return true;
  if (static_cast<u32>(pPeer->un32RxSeq - pPeer->un32TxAckSeq) > VQX_ACK_PENDING_MSGS) return true;
  return pPeer->un32RxUnacked != 0 && un64Now - pPeer->un64LastAckTime >= VQX_ACK_AFTER_MS;
}

void VqxSetPendingAck(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, bool fPending) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (fPending && !pPeer->fPendingAck) {
    pPeer->fPendingAck = 1;
    pPl->un32NbPendingAck++;
  } else if (!fPending && pPeer->fPendingAck) {
    pPeer->fPendingAck = 0;
    if (pPl->un32NbPendingAck != 0) pPl->un32NbPendingAck--;
  }
}

/* Sequence, connection count and acknowledgement of one message about to go out. */
void VqxNumber(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, u64 un64Now) {
  u32 un32PureAck2Flag = 0;
  if (hMsg->un32MsgId == VQX_PURE_ACK2_MSG_ID && hMsg->un32PayloadLength >= VQX_PURE_ACK2_FLAG_OFFSET + 4) {
    memcpy(&un32PureAck2Flag, VQXMsgPayload(hMsg) + VQX_PURE_ACK2_FLAG_OFFSET, sizeof(un32PureAck2Flag));
  }
  if (hMsg->un32MsgId == VQX_PURE_ACK_MSG_ID || (hMsg->un32MsgId == VQX_PURE_ACK2_MSG_ID && un32PureAck2Flag != 0)) {
    hMsg->un32TxSeq = 0;
    hMsg->un16ConnectionCount = 0;
  } else {
    pPeer->un32TxSeq++;
    if (pPeer->un32TxSeq == 0) pPeer->un32TxSeq = 1;
    hMsg->un32TxSeq = pPeer->un32TxSeq;
    hMsg->un16ConnectionCount = pPeer->un16ConnectionCount;
  }
  hMsg->un32PiggyAck = pPeer->un32RxSeq;
  pPeer->un32TxAckSeq = pPeer->un32RxSeq;
  pPeer->un32RxUnacked = 0;
  pPeer->un32RxBytesSinceAck = 0;
  VqxSetPendingAck(hLib, pPeer, false);
  pPeer->un64LastAckTime = un64Now;
}

/* -------------------------------------------------- retransmission ring */

VQX_MSG_HANDLE VqxTxPendingAt(const VQX_PEER* pPeer, u32 un32Index) {
  return pPeer->pahTxPending[(pPeer->un32TxPendingHead + un32Index) % pPeer->un32TxPendingCapacity];
}

/* Frees, oldest first, every kept message the transport no longer holds. */
void VqxTxPendingFreeTo(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  while (pPeer->un32TxPendingCount != 0) {
    VQX_MSG_HANDLE hMsg = pPeer->pahTxPending[pPeer->un32TxPendingHead];
    const u32 un32Seq = be32toh(hMsg->un32TxSeq);
    if (VqxSeqDiff(un32Seq, pPeer->un32TxPendingToFree) > 0) break;
    pPeer->pahTxPending[pPeer->un32TxPendingHead] = nullptr;
    pPeer->un32TxPendingHead = (pPeer->un32TxPendingHead + 1) % pPeer->un32TxPendingCapacity;
    pPeer->un32TxPendingCount--;
    const u64 un64Length = be32toh(hMsg->un32Length);
    pPeer->un64TxPendingBytes -= std::min(pPeer->un64TxPendingBytes, un64Length);
    VqxMsgReleaseInternal(hLib, hMsg);
  }
  if (pPeer->un32TxPendingCount == 0) pPeer->fSinglePath = 0;
}

/* ------------------------------------------------------------- posting */

struct VQX_POST_BATCH {
  VqxGwLibSendRecord a[VQX_POST_MAX_PER_ROUND];
  u32 n;
};

/* Prepares one numbered message for the wire and adds it to the batch. */
void VqxPostAdd(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, bool fKeep, VQX_POST_BATCH* pBatch,
                u64 un64Now) {
  const u32 un32Length = hMsg->un32Length;
  const u32 un32Seq = hMsg->un32TxSeq;
  VQXHostSwapMsgToSend(hLib, hMsg);
  pBatch->a[pBatch->n++] = VqxGwLibSendRecord{hMsg, un32Length, un32Seq, static_cast<u8>(fKeep ? 0 : 1)};
  VqxLib(hLib)->Counters.TxMsg++;
  pPeer->un64TxMsg++;
  pPeer->un64LastTxTime = un64Now;
}

/*
 * What a posting round changes on the peer before the transport has taken its batch: restored
 * when the transport refuses the batch outright, so that the numbers the refused messages had go
 * to the next ones and the peer sees no gap; the acknowledgement they carried is owed again.
 */
struct VQX_POST_UNDO {
  u32 un32TxSeq, un32TxAckSeq, un32RxUnacked, un32RxBytesSinceAck, fPendingAck;
  u64 un64LastAckTime;
  u32 un32TxPendingCount, fTxRetransmitting, un32TxRetransmitStart;
  u64 un64TxPendingBytes;
  u32 un32AwaitRing, un32AwaitCount;
  u64 un64AwaitBytesSent, un64TxMsg, TxMsg, TxRetransmit, TxPureAck;
};

VQX_POST_UNDO VqxPostUndoSave(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  const VQX_LIB* pLib = VqxLib(hLib);
  const VQX_AWAIT_RING* pRing = static_cast<const VQX_AWAIT_RING*>(pPeer->pvAwait);
  return VQX_POST_UNDO{pPeer->un32TxSeq, pPeer->un32TxAckSeq, pPeer->un32RxUnacked, pPeer->un32RxBytesSinceAck,
                       pPeer->fPendingAck, pPeer->un64LastAckTime, pPeer->un32TxPendingCount,
                       pPeer->fTxRetransmitting, pPeer->un32TxRetransmitStart, pPeer->un64TxPendingBytes,
                       pRing != nullptr ? pRing->un32Count : 0, pPeer->un32AwaitCount, pPeer->un64AwaitBytesSent,
                       pPeer->un64TxMsg, pLib->Counters.TxMsg, pLib->Counters.TxRetransmit, pLib->Counters.TxPureAck};
}

/*
 * The transport took none of the batch: every message of it is released (those kept for
 * retransmission were added at the ring's tail this round), the fifo messages among them counted
 * as dropped, and the peer's numbering and acknowledgement state put back.
 */
void VqxPostUndo(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const VQX_POST_UNDO& u, const VQX_POST_BATCH& batch,
                 u32 un32FromFifo) {
  VQX_LIB* pLib = VqxLib(hLib);
  for (u32 i = 0; i < batch.n; i++) VqxBufFree(hLib, batch.a[i].pMsg);
  for (u32 i = u.un32TxPendingCount; i < pPeer->un32TxPendingCount; i++) {
    pPeer->pahTxPending[(pPeer->un32TxPendingHead + i) % pPeer->un32TxPendingCapacity] = nullptr;
  }
  pPeer->un32TxPendingCount = u.un32TxPendingCount;
  pPeer->un64TxPendingBytes = u.un64TxPendingBytes;
  pPeer->un32TxSeq = u.un32TxSeq;
  pPeer->un32TxAckSeq = u.un32TxAckSeq;
  pPeer->un32RxUnacked = u.un32RxUnacked;
  pPeer->un32RxBytesSinceAck = u.un32RxBytesSinceAck;
  pPeer->un64LastAckTime = u.un64LastAckTime;
  VqxSetPendingAck(hLib, pPeer, u.fPendingAck != 0);
  pPeer->fTxRetransmitting = u.fTxRetransmitting;
  pPeer->un32TxRetransmitStart = u.un32TxRetransmitStart;
  if (VQX_AWAIT_RING* pRing = VqxAwait(pPeer)) pRing->un32Count = u.un32AwaitRing;
  pPeer->un32AwaitCount = u.un32AwaitCount;
  pPeer->un64AwaitBytesSent = u.un64AwaitBytesSent;
  pPeer->un64TxMsg = u.un64TxMsg;
  pLib->Counters.TxMsg = u.TxMsg;
  pLib->Counters.TxRetransmit = u.TxRetransmit;
  pLib->Counters.TxPureAck = u.TxPureAck;
  pLib->Counters.TxMsgDropped += un32FromFifo;
  pPeer->un64TxMsgDropped += un32FromFifo;
  VqxPeerLib(hLib)->un64TxDropped += un32FromFifo;
  if (un32FromFifo != 0) {
    VQX_LOG_V(hLib, 0, "VqxGwLibSendMsgs: %s: %u sent message(s) not taken, dropped\n", pPeer->szName, un32FromFifo);
  }
}

VQX_MSG_HANDLE VqxPureAckCreate(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VQX_MSG_HANDLE hMsg = nullptr;
  if (VQX_RESULT_FAILED(VqxMsgAllocateInternal(hLib, 8, &hMsg, 0, __FILE__, __LINE__))) return nullptr;
  hMsg->un32MsgId = VQX_PURE_ACK_MSG_ID;
  hMsg->MsgType = VQX_MSG_TYPE_REQUEST;
  hMsg->un32PayloadLength = 8;
  hMsg->un32SerialNumber = 0;
  hMsg->hAdapter = pPeer->hAdapter;
  VqxBufMarkSent(hLib, hMsg);
  return hMsg;
}

}  // namespace

/*
 * Posts what is ready for one peer to its transport instance: frees the
 * kept messages the transport has let go, resends the retransmission ring
 * when asked, then numbers and hands over up to 256 messages of the fifo.
 */
void VQXHostPostReadyMessagesToGwLib(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 fWriteNow) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxGwLibContext hGw = VqxGwOfPeer(hLib, pPeer->hAdapter);
  const VQX_GW_SEND_STANDIN* pStandIn = hGw == nullptr ? s_pSendStandIn.load() : nullptr;
  if (hGw == nullptr && pStandIn == nullptr) return;
  const u64 un64Now = VqxNow(hLib);
  u32 un32Dropped = 0;
  u32 un32Slots = pStandIn != nullptr ? pStandIn->pFctCanSend(hLib, pPeer->hGwPeer, &un32Dropped)
                                      : VqxGwLibCanSendMsg(hGw, pPeer->hGwPeer, &un32Dropped);
  /*
   * Freed up to the transport's mark, not the peer's acknowledgement alone: kept buffers are
   * shared with the transport's ring, and an acknowledged one may still be queued on the other
   * path. Up to what the peer acknowledged once the transport's queue is idle.
   */
  u32 un32FreeTo = pPeer->un32TxPendingToFree;
  if (un32Dropped != 0 && VqxSeqDiff(un32Dropped, un32FreeTo) > 0) un32FreeTo = un32Dropped;
  if (un32Slots == VQX_GW_QUEUE_IDLE_SLOTS && pPeer->un32PeerAckSeq != 0 &&
      VqxSeqDiff(pPeer->un32PeerAckSeq, un32FreeTo) > 0) {
    un32FreeTo = pPeer->un32PeerAckSeq;
  }
  if (un32FreeTo != pPeer->un32TxPendingToFree || (pPeer->fSinglePath && pPeer->un32TxPendingCount == 0)) {
    pPeer->un32TxPendingToFree = un32FreeTo;
    VqxTxPendingFreeTo(hLib, pPeer);
  }
  if (un32Slots > VQX_POST_MAX_PER_ROUND) un32Slots = VQX_POST_MAX_PER_ROUND;
  if (un32Slots == 0) return;
  static thread_local VQX_POST_BATCH batch;
  batch.n = 0;
  const VQX_POST_UNDO undo = VqxPostUndoSave(hLib, pPeer);
  u32 un32FromFifo = 0;
  bool fFifoEmptied = false;
  u32 un32RetransmitIndex = 0;       /* ring position reached by the retransmission this round */
  while (batch.n < un32Slots) {
    VqxFlowEvaluate(pPeer);
    if (pPeer->fTxRetransmitting) {
      /*
       * Resent as a copy that the transport frees: the kept message may still sit in the
       * transport's ring from its first sending (one buffer cannot be queued twice), so it stays
       * in ours until the transport lets go.
       */
      while (un32RetransmitIndex < pPeer->un32TxPendingCount &&
             VqxSeqDiff(be32toh(VqxTxPendingAt(pPeer, un32RetransmitIndex)->un32TxSeq), pPeer->un32TxRetransmitStart) <
                 0) {
        un32RetransmitIndex++;
      }
      if (un32RetransmitIndex >= pPeer->un32TxPendingCount) {
        pPeer->fTxRetransmitting = 0;
        continue;
      }
      VQX_MSG_HANDLE hKept = VqxTxPendingAt(pPeer, un32RetransmitIndex);
      const u32 un32Length = be32toh(hKept->un32Length);
      const u32 un32Seq = be32toh(hKept->un32TxSeq);
      VQX_MSG_HANDLE hCopy = nullptr;
      if (un32Length < VQX_MSG_HEADER_SIZE ||
          VQX_RESULT_FAILED(
              VqxMsgAllocateInternal(hLib, un32Length - VQX_MSG_HEADER_SIZE, &hCopy, 0, __FILE__, __LINE__))) {
        VQX_LOG_V(hLib, 0, "VQXHostPostReadyMessagesToGwLib: %s: no memory to retransmit, retransmission stopped\n",
                  pPeer->szName);
        pPeer->fTxRetransmitting = 0;
        continue;
      }
      memcpy(hCopy, hKept, un32Length);
      VqxBufMarkSent(hLib, hCopy);
      hCopy->un32PiggyAck = 0;
      batch.a[batch.n++] = VqxGwLibSendRecord{hCopy, un32Length, un32Seq, 1};
      pLib->Counters.TxRetransmit++;
      pPeer->un32TxRetransmitStart = un32Seq + 1 == 0 ? 1u : un32Seq + 1;
      un32RetransmitIndex++;
      continue;
    }
    const bool fAckDue = VqxPureAckDue(pPeer, un64Now);
    if (pPeer->fFlowBlocked || pPeer->un32SendFifoCount == 0) {
      if (!fAckDue) break;
      VQX_MSG_HANDLE hAck = VqxPureAckCreate(hLib, pPeer);
      if (hAck == nullptr) break;
      VqxNumber(hLib, pPeer, hAck, un64Now);
      VqxPostAdd(hLib, pPeer, hAck, false, &batch, un64Now);
      pLib->Counters.TxPureAck++;
      break;
    }
    const u32 un32Before = pPeer->un32SendFifoCount;
    VQX_MSG_HANDLE hMsg = pPeer->pahSendFifo[pPeer->un32SendFifoHead];
    pPeer->pahSendFifo[pPeer->un32SendFifoHead] = nullptr;
    pPeer->un32SendFifoHead = (pPeer->un32SendFifoHead + 1) % pPeer->un32SendFifoCapacity;
    pPeer->un32SendFifoCount--;
    VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
    if (pPl->un64TxPending != 0) pPl->un64TxPending--;
    if (un32Before == pLib->Params.un32SendFifoSize / 2 && pPeer->fHighWatermarkWarned) {
      pPeer->fHighWatermarkWarned = 0;
      VQX_LOG_V(hLib, 0, "NOTE: High watermark warning cleared for %s (now down to %u Tx in send fifo filters)\n",
                pPeer->szName, pPeer->un32SendFifoCount);
    }
    if (pPeer->un32SendFifoCount == 0) fFifoEmptied = true;
    un32FromFifo++;
    /* Requests only: a board answers nothing else, so an event's context could only time out. */
    if (pPeer->fAdapter && hMsg->un32SerialNumber != 0 && hMsg->MsgType == VQX_MSG_TYPE_REQUEST) {
      VqxAwaitRecord(hLib, pPeer, hMsg, un64Now);
    }
    VqxNumber(hLib, pPeer, hMsg, un64Now);
    bool fKeep = false;
    if (hMsg->un32TxSeq != 0 && VqxPeerKeepsAcks(pPeer) && pPeer->pahTxPending != nullptr) {
      if (pPeer->un32TxPendingCount >= pPeer->un32TxPendingCapacity ||
          pPeer->un64TxPendingBytes + hMsg->un32Length > VQX_TX_PENDING_MAX_BYTES) {
        /* Full, in messages or in bytes: the oldest are kept, not freed, since the transport may still hold their
           buffers; the new one goes unkept (freed by the transport after sending). */
        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_TX_PENDING_FULL,
                             "ERROR: TxPending fifo full, network redundancy may not work properly\n");
      } else {
        pPeer->pahTxPending[(pPeer->un32TxPendingHead + pPeer->un32TxPendingCount) % pPeer->un32TxPendingCapacity] =
            hMsg;
        pPeer->un32TxPendingCount++;
        pPeer->un64TxPendingBytes += hMsg->un32Length;
        fKeep = true;
      }
    }
    VqxPostAdd(hLib, pPeer, hMsg, fKeep, &batch, un64Now);
  }
  if (fFifoEmptied && pPeer->fInSendList) VqxPeerSendListUnlink(hLib, pPeer);
  if (batch.n != 0) {
    const VQX_RESULT result = pStandIn != nullptr ? pStandIn->pFctSend(hLib, pPeer->hGwPeer, batch.n, batch.a)
                                                  : VqxGwLibSendMsgs(hGw, pPeer->hGwPeer, batch.n, batch.a, fWriteNow);
    if (VQX_RESULT_FAILED(result)) {
      VQX_LOG_V(hLib, 0, "VqxGwLibSendMsgs: %s: 0x%08X\n", pPeer->szName, result);
      /* Out of resource may have queued the first records (the transport owns those now); any other
         refusal queued none. */
      if (result != VQX_RESULT_OUT_OF_RESOURCE) VqxPostUndo(hLib, pPeer, undo, batch, un32FromFifo);
    }
  }
  VqxReportWatermark(hLib, pPeer);
}

void VqxGwSetSendStandIn(const VQX_GW_SEND_STANDIN* pStandIn) { s_pSendStandIn.store(pStandIn); }

void VqxPeersAckAll(VQX_LIB_HANDLE hLib, u32 fHosts) {
  if (VqxPeerLib(hLib) == nullptr) return;
  u32 ahPeers[VQX_PEER_MAX];
  u32 un32NbPeers = 0;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr && un32NbPeers < VQX_PEER_MAX;
       pPeer = VqxPeerNext(hLib, pPeer)) {
    if ((pPeer->fAdapter == 0) == (fHosts != 0) && VqxPeerActive(pPeer) && pPeer->un32RxUnacked != 0)
      ahPeers[un32NbPeers++] = pPeer->hAdapter;
  }
  for (u32 i = 0; i < un32NbPeers; i++) {
    /* Posting may release the lock (the status callback): each looked up again. */
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, ahPeers[i]);
    if (pPeer == nullptr) continue;
    pPeer->un64LastAckTime = 0; /* due now: a pure acknowledgement, or the next message carries it */
    VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 1);
  }
}

/* Pushes every peer (posting and awaited-response time-outs) or only those with queued messages. */
void VqxKickMsgSendToGwLib(VQX_LIB_HANDLE hLib, u32 fAll) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr) return;
  /*
   * Peers are named by handle first: posting may call the status callback with the lock
   * released, during which any peer may go away.
   */
  u32 ahPeers[VQX_PEER_MAX];
  u32 un32NbPeers = 0;
  if (!fAll) {
    for (VQX_PEER* pPeer = pPl->pSendFirst; pPeer != nullptr && un32NbPeers < VQX_PEER_MAX; pPeer = pPeer->pSendNext) {
      if (!pPeer->fFlowBlocked) ahPeers[un32NbPeers++] = pPeer->hAdapter;
    }
    for (u32 i = 0; i < un32NbPeers; i++) {
      VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, ahPeers[i]);
      if (pPeer != nullptr) VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 0);
    }
    return;
  }
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr && un32NbPeers < VQX_PEER_MAX;
       pPeer = VqxPeerNext(hLib, pPeer)) {
    if (VqxPeerActive(pPeer)) ahPeers[un32NbPeers++] = pPeer->hAdapter;
  }
  const u64 un64Now = VqxNow(hLib);
  for (u32 i = 0; i < un32NbPeers; i++) {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, ahPeers[i]);
    if (pPeer == nullptr) continue;
    VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 0);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, ahPeers[i]);
    if (pPeer == nullptr || !pPeer->fAdapter) continue;
    VQX_AWAIT_RING* pRing = VqxAwait(pPeer);
    if (pRing == nullptr) continue;
    bool fFreed = false;
    while (pRing->un32Count != 0) {
      VQX_AWAIT_ENTRY& e = pRing->a[pRing->un32Head];
      if (e.fUsed) {
        if (un64Now - e.un64SentTime < VQX_AWAIT_TIMEOUT_MS) break;
        VQX_LOG_V(hLib, 0,
                  "ERROR: Timeout waiting for adapter response: %s, MsgId 0x%X, size %u, serial nb %u, %ums elapsed\n",
                  pPeer->szName, e.un32MsgId, e.un32Size, e.un32Serial, static_cast<u32>(un64Now - e.un64SentTime));
        VqxAwaitAnswer(hLib, pPeer, e, e.un32Size);
        fFreed = true;
      }
      VqxAwaitTrim(pRing);
    }
    if (fFreed && VqxFlowEvaluate(pPeer)) VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 0);
  }
}

/* A response from an adapter: completes its awaited request. */
void VqxPopRspAwaited(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  VQX_AWAIT_RING* pRing = VqxAwait(pPeer);
  if (pRing == nullptr) return;
  for (u32 i = 0; i < pRing->un32Count; i++) {
    VQX_AWAIT_ENTRY& e = pRing->a[(pRing->un32Head + i) % VQX_PEER_AWAIT_MAX];
    if (!e.fUsed || e.un32Serial != hMsg->un32SerialNumber) continue;
    VqxAwaitAnswer(hLib, pPeer, e, e.un32Size);
    VqxAwaitTrim(pRing);
    if (VqxFlowEvaluate(pPeer)) VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 0);
    return;
  }
  for (u32& un32Serial : pRing->aun32Abandoned) {
    if (un32Serial == 0 || un32Serial != hMsg->un32SerialNumber) continue;
    un32Serial = 0; /* the answer to a request its caller gave up on: taken, nothing left to count */
    pPeer->un32ResponsesReceived++;
    return;
  }
  VQX_LOG_V(hLib, 0, "BUG: Received response with unexpected serial number %u!\n", hMsg->un32SerialNumber);
}

/*
 * The caller no longer waits for the answer to its request of that serial: counted as answered in the totals
 * that hold the flow control (what the 60 s time-out would do, without its line), the serial kept so that an
 * answer that still comes is taken quietly; the fifo held by the flow control goes on at once.
 */
static VQX_RESULT VqxAwaitAbandon(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Serial) {
  VQX_AWAIT_RING* pRing = VqxAwait(pPeer);
  if (pRing == nullptr || un32Serial == 0) return VQX_RESULT_API_NOT_FOUND;
  for (u32 i = 0; i < pRing->un32Count; i++) {
    VQX_AWAIT_ENTRY& e = pRing->a[(pRing->un32Head + i) % VQX_PEER_AWAIT_MAX];
    if (!e.fUsed || e.un32Serial != un32Serial) continue;
    VqxAwaitAnswer(hLib, pPeer, e, e.un32Size, false);
    VqxAwaitTrim(pRing);
    pRing->aun32Abandoned[pRing->un32AbandonedNext] = un32Serial;
    pRing->un32AbandonedNext = (pRing->un32AbandonedNext + 1) % VQX_PEER_AWAIT_ABANDONED_MAX;
    if (VqxFlowEvaluate(pPeer)) VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 0);
    return VQX_RESULT_API_OK;
  }
  return VQX_RESULT_API_NOT_FOUND;
}

namespace {

VQX_RESULT VqxSendToFail(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszText, VQX_RESULT Result) {
  VQX_LOG_V(hLib, 0, "VqxMsgSendTo: Msg=0x%08x %s\n", hMsg->un32MsgId, pszText);
  VqxMsgRefused(hLib, hMsg, Result);
  return Result;
}

/* Counts the calling thread among those waiting for room, on its peer and on the peer's transport instance, from
   Start to its end (under the library lock, which every return of the send holds). */
class VqxSendWaiter {
 public:
  VqxSendWaiter(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer)
      : mhLib(hLib), mhAdapter(pPeer->hAdapter), mfHosts(pPeer->fAdapter ? 0u : 1u) {}
  ~VqxSendWaiter() {
    if (!mfCounted) return;
    VqxPeerLib(mhLib)->aun32SendWaiters[mfHosts]--;
    /* A record gone meanwhile was seen gone before this wait ended, under the same hold of the lock. */
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(mhLib, mhAdapter);
    if (pPeer != nullptr && pPeer->un32SendWaiters != 0) pPeer->un32SendWaiters--;
  }
  VqxSendWaiter(const VqxSendWaiter&) = delete;
  VqxSendWaiter& operator=(const VqxSendWaiter&) = delete;
  void Start(VQX_PEER* pPeer) {
    if (mfCounted) return;
    mfCounted = true;
    VqxPeerLib(mhLib)->aun32SendWaiters[mfHosts]++;
    pPeer->un32SendWaiters++;
  }

 private:
  VQX_LIB_HANDLE mhLib;
  u32 mhAdapter;
  u32 mfHosts;
  bool mfCounted = false;
};

/* The calling thread's owner's stop flag (VQXSetThreadSendWaitEnd), null when none. */
thread_local const volatile u32* t_pfSendWaitEnd = nullptr;

bool VqxThreadSendWaitEnded() {
  return t_pfSendWaitEnd != nullptr && __atomic_load_n(t_pfSendWaitEnd, __ATOMIC_ACQUIRE) != 0;
}

/* A wait ended by its sender's owner stopping: the message dropped as for the close, with its own line. */
constexpr VQX_RESULT kSenderStopping = VQX_RESULT_API_TXMSG_DROPPED | 1u;
/* A wait ended by what the peer sent piling up unread (VqxRxWaitBacklogFull): dropped, its line limited. */
constexpr VQX_RESULT kRxBacklogFull = VQX_RESULT_API_TXMSG_DROPPED | 2u;

/*
 * What ends a wait for room once the lock is held again: the library or its process closing, the sender's owner
 * stopping (kSenderStopping; the message dropped either way), the peer gone, or, for an adapter whose record stays,
 * gone without its fifo; OK to go on waiting, *ppPeer looked up anew.
 */
VQX_RESULT VqxSendWaitFailure(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_PEER** ppPeer) {
  *ppPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (VqxLib(hLib)->fClosing.load() != 0 || VqxLib(hLib)->fSendWaitsEnded.load() != 0)
    return VQX_RESULT_API_TXMSG_DROPPED;
  if (VqxThreadSendWaitEnded()) return kSenderStopping;
  if (*ppPeer == nullptr) return VQX_RESULT_API_INVALID_ADA_HANDLE;
  if (!VqxPeerActive(*ppPeer) || (*ppPeer)->pahSendFifo == nullptr) return VQX_RESULT_API_ADA_NOT_READY;
  return VQX_RESULT_API_OK;
}

/* A wait for room ended by the library's or the process's close, its sender's stop or the peer's unread backlog (the
   message counted dropped), or by the peer's going: the message freed with its line. */
VQX_RESULT VqxSendWaitEnd(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, VQX_RESULT failure) {
  if (failure == kRxBacklogFull) {
    /* A flood of the peer's ends every wait on it at once: one line a second, the others counted. */
    VqxLib(hLib)->Counters.TxMsgDropped++;
    pPeer->un64TxMsgDropped++;
    VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_TX_WAIT_RX_FULL,
                         "VqxMsgSendTo: Msg=0x%08x to %s dropped: %u messages it sent wait unread, its reading "
                         "paused\n",
                         hMsg->un32MsgId, pPeer->szName, pPeer->un32MsgsInFilters);
    VqxMsgRefused(hLib, hMsg, VQX_RESULT_API_TXMSG_DROPPED);
    return VQX_RESULT_API_TXMSG_DROPPED;
  }
  if (failure == VQX_RESULT_API_TXMSG_DROPPED || failure == kSenderStopping) {
    VqxLib(hLib)->Counters.TxMsgDropped++;
    if (pPeer != nullptr) pPeer->un64TxMsgDropped++;
    return VqxSendToFail(hLib, hMsg,
                         failure == kSenderStopping ? "dropped: its sender is stopping" : "dropped: the library is closing",
                         VQX_RESULT_API_TXMSG_DROPPED);
  }
  return VqxSendToFail(hLib, hMsg,
                       failure == VQX_RESULT_API_INVALID_ADA_HANDLE ? "VQX_RESULT_API_INVALID_ADA_HANDLE"
                                                                    : "VQX_RESULT_API_ADA_NOT_READY",
                       failure);
}

/* Queues one message for one peer and posts it at once. */
VQX_RESULT VqxMsgSendTo(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, u32 fPush) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (!VqxPeerActive(pPeer))
    return VqxSendToFail(hLib, hMsg, "VQX_RESULT_API_ADA_NOT_READY", VQX_RESULT_API_ADA_NOT_READY);
  if (pPeer->fAdapter) {
    if (hMsg->un32Length > VQX_ADAPTER_MAX_MSG_SIZE) {
      return VqxSendToFail(hLib, hMsg, "VqxMsgSendTo: This message is too big to be sent to an adapter",
                           VQX_RESULT_API_MSGSZ_NOT_SUPPORTED);
    }
    if (hMsg->MsgType == VQX_MSG_TYPE_RESPONSE) {
      return VqxSendToFail(hLib, hMsg, "VQX_RESULT_API_INVALID_MESSAGE (can't send 'response' to adapter)",
                           VQX_RESULT_API_INVALID_MESSAGE);
    }
  } else if (hMsg->un32Length > VQX_GW_MAX_MSG_SIZE) {
    /* Past the hosts' transport framing: refused here, before it is numbered, not lost on the way. */
    return VqxSendToFail(hLib, hMsg, "VqxMsgSendTo: This message is too big to be sent to a remote host",
                         VQX_RESULT_API_MSGSZ_NOT_SUPPORTED);
  }
  if (pPeer->pahSendFifo == nullptr || pPeer->un32SendFifoCapacity == 0) {
    return VqxSendToFail(hLib, hMsg, "adapter not ready, can't send message", VQX_RESULT_API_ADA_NOT_READY);
  }
  const u32 un32Group = VQX_MSG_GROUP(hMsg->un32MsgId);
  const _VQX_LIB_PARAMS& params = pLib->Params;
  VqxHostLibRefreshNow(hLib);
  if (pPeer->fAdapter && !params.fSendHookAlways) {
    hMsg->un32TimeStamp = pLib->un32WallClockNow;
  } else {
    if (params.pFctSendHook != nullptr && un32Group != VQX_GROUP_LIB && un32Group != VQX_GROUP_GW_OP &&
        (pPeer->un32SendHookState != hMsg->un32FixedTwo || params.fSendHookAlways)) {
      params.pFctSendHook(params.pvSendHookContext, hLib, hMsg);
    }
    hMsg->un32TimeStamp =
        pPeer->fAdapter ? pLib->un32WallClockNow : static_cast<u32>(VQXGetClock() - pLib->un64ClockAtOpen);
  }
  const u32 hAdapter = pPeer->hAdapter;
  bool fWaitLogged = false;
  VqxSendWaiter waiter(hLib, pPeer);
  while (pPeer->un32SendFifoCount >= VqxFifoLimit(hLib, pPeer)) {
    if (VqxOnTransportThread()) {
      /* Never waited for here (an answer to a peer's request, a filter sent as a path comes up): this thread
         is the one that would read the acknowledgements making room, or the link's close. */
      pLib->Counters.TxMsgDropped++;
      pPeer->un64TxMsgDropped++;
      VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_TX_FULL_NO_WAIT,
                           "VqxMsgSendTo: Msg=0x%08x to %s dropped: send fifo full (max %u), and the receiving "
                           "thread does not wait for room\n",
                           hMsg->un32MsgId, pPeer->szName, VqxFifoLimit(hLib, pPeer));
      VqxMsgRefused(hLib, hMsg, VQX_RESULT_API_TXMSG_DROPPED);
      return VQX_RESULT_API_TXMSG_DROPPED;
    }
    waiter.Start(pPeer);
    u32 un32Answer = VQX_FIFO_FULL_ANSWER_WAIT;
    if (params.pFctStatusCallback != nullptr) {
      const u32 un32Elapsed = static_cast<u32>(VQXGetClock() - pPeer->un64LastTxTime);
      un32Answer = VqxStatusCallback(hLib, hAdapter, VQX_LIB_STATUS_TX_FIFO_FULL, pPeer->un32SendFifoCount, un32Elapsed,
                                     VQX_FIFO_FULL_ANSWER_WAIT);
    } else if (!fWaitLogged) {
      /* Once per send, and once a second at most over all of them: a thread sending one message after another
         into a full fifo would otherwise write the line every 10 ms. */
      fWaitLogged = true;
      VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_TX_FULL_WAIT,
                           "VqxMsgSendTo: Warning: too many messages in queue (max %d). Waiting...\n",
                           static_cast<int>(params.un32SendFifoSize));
    }
    VQX_RESULT failure = VqxSendWaitFailure(hLib, hAdapter, &pPeer);
    if (failure == VQX_RESULT_API_OK && un32Answer != VQX_FIFO_FULL_ANSWER_WAIT) {
      pLib->Counters.TxMsgDropped++;
      pPeer->un64TxMsgDropped++;
      VqxMsgRefused(hLib, hMsg, VQX_RESULT_API_TXMSG_DROPPED);
      return VQX_RESULT_API_TXMSG_DROPPED;
    }
    if (failure == VQX_RESULT_API_OK) {
      /* Let the transport take what it can, then wait without the lock. */
      VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 1);
      failure = VqxSendWaitFailure(hLib, hAdapter, &pPeer);
      if (failure == VQX_RESULT_API_OK && pPeer->un32SendFifoCount < VqxFifoLimit(hLib, pPeer)) break;
    }
    /* No room, and what the peer sent piles up unread past the bound a wait allows: this wait ends rather than
       keep the peer's reading going, so that the receive overflow pauses it again. */
    if (failure == VQX_RESULT_API_OK && VqxRxWaitBacklogFull(hLib, pPeer)) failure = kRxBacklogFull;
    if (failure == VQX_RESULT_API_OK) {
      const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
      struct timespec ts = {0, VQX_FIFO_FULL_SLEEP_MS * 1000000L};
      nanosleep(&ts, nullptr);
      VqxHostLibLockRetake(hLib, un32Levels);
      failure = VqxSendWaitFailure(hLib, hAdapter, &pPeer);
    }
    if (failure != VQX_RESULT_API_OK) return VqxSendWaitEnd(hLib, pPeer, hMsg, failure);
  }
  const u32 un32Before = pPeer->un32SendFifoCount;
  pPeer->pahSendFifo[(pPeer->un32SendFifoHead + un32Before) % pPeer->un32SendFifoCapacity] = hMsg;
  pPeer->un32SendFifoCount++;
  VqxPeerLib(hLib)->un64TxPending++;
  pLib->Counters.TxMsgQueued++;
  pPeer->un64TxMsgQueued++;
  if (un32Before == VqxHighWatermark(params.un32SendFifoSize) && !pPeer->fHighWatermarkWarned) {
    pPeer->fHighWatermarkWarned = 1;
    VQX_LOG_V(hLib, 0, "WARNING: High watermark passed for %s (%u Tx msg in send fifo, max is %u)\n", pPeer->szName,
              VqxHighWatermark(params.un32SendFifoSize), params.un32SendFifoSize);
  }
  if (!pPeer->fInSendList) VqxPeerSendListLink(hLib, pPeer);
  if (fPush) VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 1);
  pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (pPeer != nullptr) VqxReportWatermark(hLib, pPeer);
  return VQX_RESULT_API_OK;
}

}  // namespace

u32 VqxPeerUnacked(const VQX_PEER* pPeer) {
  if (!VqxPeerKeepsAcks(pPeer) || pPeer->un32PeerAckSeq == 0) return 0;
  const i32 n32Unacked = VqxSeqDiff(pPeer->un32TxSeq, pPeer->un32PeerAckSeq);
  return n32Unacked > 0 ? static_cast<u32>(n32Unacked) : 0;
}

u32 VqxPeerUnackedOwn(const VQX_PEER* pPeer) {
  if (VqxPeerUnacked(pPeer) == 0 || pPeer->pahTxPending == nullptr) return 0;
  u32 n = 0;
  for (u32 i = 0; i < pPeer->un32TxPendingCount; i++) {
    const VQX_MSG_HANDLE hMsg = VqxTxPendingAt(pPeer, i); /* kept as sent: header in network order */
    if (hMsg == nullptr) continue;
    const u32 un32Id = be32toh(hMsg->un32MsgId);
    if (VqxSeqDiff(be32toh(hMsg->un32TxSeq), pPeer->un32PeerAckSeq) > 0 && un32Id >= VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR &&
        un32Id <= VQX_MSG_ID_GW_OP_HOST_FILTER_DONE)
      n++;
  }
  return n;
}

bool VqxSendersWaiting(VQX_LIB_HANDLE hLib, u32 fHosts) {
  const VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  return pPl != nullptr && pPl->aun32SendWaiters[fHosts != 0 ? 1 : 0] != 0;
}

bool VqxRxWaitBacklogFull(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  const u32 un32Bound = pPeer->fAdapter ? VqxLib(hLib)->Params.un32ReceiveFifoSize : VqxHostsRxMsgsMax(hLib);
  if (pPeer->un32MsgsInFilters >= un32Bound + VQX_RX_WAIT_BACKLOG_EXTRA) return true;
  return !pPeer->fAdapter && VqxPeerLib(hLib)->un64HostsBytesInFilters >= 2u * u64{VQX_HOSTS_RX_BYTES_MAX};
}

bool VqxPeerReadOnForSenders(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  return pPeer->un32SendWaiters != 0 && !VqxRxWaitBacklogFull(hLib, pPeer);
}

VQX_RESULT VqxMsgSendToPeers(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  if (VqxPeerLib(hLib) == nullptr) {
    VqxMsgRefused(hLib, hMsg, VQX_RESULT_API_NOT_INITIALIZED);
    return VQX_RESULT_API_NOT_INITIALIZED;
  }
  if (hMsg->hAdapter != VQX_BROADCAST_HANDLE) {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hMsg->hAdapter);
    if (pPeer == nullptr) {
      VqxMsgRefused(hLib, hMsg, VQX_RESULT_API_INVALID_ADA_HANDLE);
      return VQX_RESULT_API_INVALID_ADA_HANDLE;
    }
    return VqxMsgSendTo(hLib, pPeer, hMsg, 1);
  }
  /* Broadcast: every active remote host whose remote filters want the event; the last gets the message itself. */
  u32 ahTargets[VQX_PEER_MAX];
  u32 un32Targets = 0;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    if (pPeer->fAdapter || !VqxPeerActive(pPeer)) continue;
    if (VqxRemoteHostFiltersTest(hLib, pPeer, hMsg)) ahTargets[un32Targets++] = pPeer->hAdapter;
  }
  VQX_RESULT result = VQX_RESULT_API_OK;
  for (u32 i = 0; i < un32Targets; i++) {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, ahTargets[i]);
    VQX_MSG_HANDLE hOne = i + 1 == un32Targets ? hMsg : VqxMsgCopyCreate(hLib, hMsg);
    if (hOne == nullptr) continue;
    if (hOne != hMsg) VqxBufMarkSent(hLib, hOne);
    if (pPeer == nullptr) {
      VqxMsgReleaseInternal(hLib, hOne);
      continue;
    }
    hOne->hAdapter = pPeer->hAdapter;
    const VQX_RESULT one = VqxMsgSendTo(hLib, pPeer, hOne, 1);
    if (VQX_RESULT_FAILED(one)) result = one;
  }
  if (un32Targets == 0) VqxMsgReleaseInternal(hLib, hMsg);
  return result;
}

const volatile u32* VQXSetThreadSendWaitEnd(const volatile u32* pfEnd) {
  const volatile u32* pfBefore = t_pfSendWaitEnd;
  t_pfSendWaitEnd = pfEnd;
  return pfBefore;
}

VQX_RESULT VQXEndSendWaits(VQX_LIB_HANDLE hLib) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VqxLib(hLib)->fSendWaitsEnded.store(1);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXWaitSentMsg(VQX_LIB_HANDLE hLib, u32 un32TimeoutMs) {
  if (hLib == nullptr) {
    fprintf(stderr, "VQXWaitSentMsg: %s\n", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  const VqxSendCallScope inside(hLib); /* its waits give up the lock: the close lets it out first */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr || pPl->pSendFirst == nullptr) {
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    return VQX_RESULT_API_OK;
  }
  if (pPl->pWaitSentEvent == nullptr && VQX_RESULT_FAILED(VqxEventCreate(&pPl->pWaitSentEvent))) {
    VQX_LOG_V(hLib, 0, "VQXWaitSentMsg: %s\n", "Failed to allocate hWaitSentMsgEvent!");
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    return VQX_RESULT_API_OUT_OF_RESOURCE;
  }
  VQX_EVENT* pEvent = pPl->pWaitSentEvent;
  pPl->un32WaitSentUseCount++;
  VqxEventClear(pEvent);
  const u64 un64Deadline = VQXGetClock() + un32TimeoutMs;
  /* The event is set when the last fifo empties; check again in slices in case it was set before the clear. */
  while (pPl->pSendFirst != nullptr && VqxLib(hLib)->fClosing.load() == 0) {
    VqxKickMsgSendToGwLib(hLib, 0);
    if (pPl->pSendFirst == nullptr) break;
    const u64 un64Now = VQXGetClock();
    if (un32TimeoutMs != VQX_TIMEOUT_INFINITE && un64Now >= un64Deadline) break;
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    VqxEventWait(pEvent, 10);
    VqxHostLibLockRetake(hLib, un32Levels);
    VqxEventClear(pEvent);
  }
  if (pPl->un32WaitSentUseCount == 0) {
    VQX_LOG_V(hLib, 0, "BUG! un32WaitSentMsgEventUseCount was decremented too many times!\n");
  } else if (--pPl->un32WaitSentUseCount == 0) {
    pPl->pWaitSentEvent = nullptr;
    VQX_HOSTLIB_EVENT_DESTROY(hLib, pEvent);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXGetTxAccount(VQX_LIB_HANDLE hLib, VQX_TX_ACCOUNT* pAccount) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (pAccount == nullptr) return VQX_RESULT_API_NULL_PARAM;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_TX_ACCOUNT a{};
  if (const VQX_PEER_LIB* pPl = VqxPeerLib(hLib)) {
    a = VQX_TX_ACCOUNT{pPl->un64TxPending, 0, pPl->un64TxDropped, pPl->un64TxUnackedFreed};
    /*
     * Handed to the transport is not taken: it may still sit in the transport's queue or in a socket.
     * What a peer that acknowledges has not acknowledged is not in its filters yet; a peer gone takes
     * nothing more (what it had not acknowledged is counted freed with it).
     */
    for (const VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
      if (VqxPeerActive(pPeer)) a.un64Unacked += VqxPeerUnacked(pPeer);
    }
  }
  *pAccount = a;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXAbandonAwaitedResponse(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32Serial) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  const VQX_RESULT result = pPeer == nullptr || pPeer->fAdapter == 0 ? VQX_RESULT_API_INVALID_HANDLE
                                                                     : VqxAwaitAbandon(hLib, pPeer, un32Serial);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetTxPendingCount(VQX_LIB_HANDLE hLib, u64* pun64Count) {
  if (pun64Count == nullptr) return hLib == nullptr ? VQX_RESULT_API_INVALID_LIB_HANDLE : VQX_RESULT_API_NULL_PARAM;
  VQX_TX_ACCOUNT a{};
  const VQX_RESULT result = VQXGetTxAccount(hLib, &a);
  *pun64Count = a.un64Queued + a.un64Unacked;
  return result;
}

/* ---------------------------------------------------------- registration */

namespace {

void VqxPushPeerHook(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) { VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 1); }

/* Receive thread's periodic work: push every peer each 10 ms, else the queued ones; its sleep cap. */
u32 VqxRxPeriodic(VQX_LIB_HANDLE hLib) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr) return 0;
  static thread_local u64 s_un64LastAll = 0;
  const u64 un64Now = VQXGetClock();
  if (un64Now - s_un64LastAll >= 10) {
    s_un64LastAll = un64Now;
    VqxKickMsgSendToGwLib(hLib, 1);
  } else {
    VqxKickMsgSendToGwLib(hLib, 0);
  }
  /* Held messages are looked at in 10 ms steps, those held too long released. */
  const bool fHeld = VqxPeerHeldExpire(hLib);
  return fHeld || pPl->un32NbPendingAck != 0 || pPl->pSendFirst != nullptr ? 10u : 0u;
}

struct VqxSendRegistration {
  VqxSendRegistration() {
    static const VQX_PEER_HOOKS hooks = {VqxAwaitInit, VqxAwaitUninit, VqxAwaitDiscardAll, VqxPushPeerHook};
    VqxPeerSetHooks(&hooks);
    VqxHostLibSetPeerSend(VqxMsgSendToPeers);
    VqxHostLibSetRxPeriodic(VqxRxPeriodic);
  }
} s_Registration;

}  // namespace
