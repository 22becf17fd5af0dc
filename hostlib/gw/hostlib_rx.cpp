/*
 * hostlib_rx.cpp - what the gateway transport hands the host library: each
 * message read from an adapter or a remote host is checked against the
 * bytes received, its header restored to host order, its acknowledgement,
 * connection count and sequence number consumed, fragments reassembled,
 * awaited responses completed, and then dispatched to the filters. Also the
 * transport's question whether it may reconnect to an adapter.
 *
 * Called on the transport's "gwlib_rx_read" thread (one for both paths of
 * every peer of an instance): nothing here sleeps, since that thread is the
 * only one that could deliver what a sleeper would wait for. So an older
 * peer's message that overtook its predecessor on the other path is not
 * waited for here: it is held with the messages that follow it on its path
 * (peer/hostlib_peer_held.cpp), as they would have waited unread behind it,
 * and delivered once the missing one arrives, or counted lost when it does
 * not come in time. A batch is handled in one hold of the library lock; the
 * filters' events are set once when it is left.
 */
#include <string.h>
#include <time.h>

#include <algorithm>

#include "gw/hostlib_gwglue_internal.h"
#include "vqx_clock.h"

namespace {

#define VQX_PURE_ACK_MSG_ID 0x020D0012u
#define VQX_GROUP_GW_OP 0x020Du
#define VQX_ACK_NOW_MSGS 16u
#define VQX_ACK_NOW_BYTES 16384u
#define VQX_ACK_PENDING_MSGS 16383u
#define VQX_RECONNECT_WAIT_MS 60000u
#define VQX_RX_PAUSE_MS 100u
#define VQX_RX_PAUSE_STEP_MS 2u         /* a remote host's pause looks at the hosts' backlog this often */
#define VQX_RX_PAUSE_ADAPTER_STEP_MS 10u /* a board's, at the senders waiting for room on it */
/* Answers of the status callback to a receive overflow. */
#define VQX_RX_ACTION_NONE 0u
#define VQX_RX_ACTION_DISCONNECT 1u
#define VQX_RX_ACTION_FLUSH_DISCONNECT 2u
#define VQX_RX_ACTION_PAUSE 3u

inline i32 VqxSeqDiff(u32 a, u32 b) { return static_cast<i32>(a - b); }

/* Messages of a peer still waiting in the filters' queues. */
u32 VqxMsgsInFilters(VQX_LIB_HANDLE hLib, u32 hAdapter) {
  VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
  if (pFl == nullptr) return 0;
  u32 n = 0;
  for (VQX_FILTER* apLists[2] = {pFl->pActiveFirst, pFl->pImplicitFirst}; VQX_FILTER * pFirst : apLists) {
    for (VQX_FILTER* pFilter = pFirst; pFilter != nullptr; pFilter = pFilter->pNext) {
      VQX_MSG_HANDLE hMsg = pFilter->hFirst;
      for (u32 i = 0; i < pFilter->un32Count && hMsg != nullptr; i++, hMsg = *VqxMsgQueueLink(hMsg)) {
        n += hMsg->hAdapter == hAdapter;
      }
    }
  }
  return n;
}

/* What the sequence check makes of a message. */
enum VQX_RX_VERDICT { VQX_RX_DELIVER, VQX_RX_HELD, VQX_RX_HELD_FULL, VQX_RX_DROPPED, VQX_RX_RELEASE_HELD_FIRST };

inline u32 VqxSeqNext(u32 un32Seq) { return un32Seq + 1 == 0 ? 1u : un32Seq + 1; }
inline u32 VqxSeqPrev(u32 un32Seq) { return un32Seq == 1 ? 0xFFFFFFFFu : un32Seq - 1; }
/* Sequence numbers missing from un32Expected up to un32Seq (0 is no number). */
inline u32 VqxSeqGap(u32 un32Expected, u32 un32Seq) {
  return un32Seq - un32Expected - (un32Expected > un32Seq ? 1u : 0u);
}

/* The next message of the peer's sequence taken: numbering and acknowledgement bookkeeping. */
void VqxRxAccept(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  pPeer->un32RxSeq = hMsg->un32TxSeq;
  pPeer->un32RxUnacked++;
  pPeer->un32RxBytesSinceAck += hMsg->un32PayloadLength;
  /* Pending as the send side counts it: more than 16383 unacknowledged (else the 400 ms rule acknowledges). */
  if (pPeer->un32RxUnacked > VQX_ACK_PENDING_MSGS && !pPeer->fPendingAck) {
    pPeer->fPendingAck = 1;
    VqxPeerLib(hLib)->un32NbPendingAck++;
  }
  if (pPeer->un32RxUnacked >= VQX_ACK_NOW_MSGS || pPeer->un32RxBytesSinceAck >= VQX_ACK_NOW_BYTES) {
    VQXHostPostReadyMessagesToGwLib(hLib, pPeer, 0);
  }
}

/* The missing messages up to un32Seq counted lost: numbering carries on from there rather than refuse all that follows. */
void VqxRxResynchronise(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Seq) {
  const u32 un32Expected = VqxSeqNext(pPeer->un32RxSeq);
  const u32 un32Lost = VqxSeqGap(un32Expected, un32Seq);
  pPeer->un64SeqLost += un32Lost;
  VQX_LOG_V(hLib, 0, "WARNING: %s: %u message(s) lost (expected sequence %u, received %u), resynchronising\n",
            pPeer->szName, un32Lost, un32Expected, un32Seq);
  pPeer->un32RxSeq = VqxSeqPrev(un32Seq);
}

/*
 * An older peer's message ahead of its sequence on path un32Path: held after
 * what the path already holds when it follows it; a path that skips while it
 * holds is a fault of the sender ("BUG!"): what it holds and the message go.
 */
VQX_RX_VERDICT VqxRxHold(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, u32 un32Path) {
  VQX_MSG_HANDLE hLast = VqxPeerHeldLast(pPeer, un32Path);
  if (hLast != nullptr && hMsg->un32TxSeq != VqxSeqNext(hLast->un32TxSeq)) {
    VQX_LOG_V(hLib, 0, "BUG! Double reception of message in the future from gw%u!\n", un32Path);
    VqxPeerHeldDrop(hLib, pPeer, un32Path);
    pPeer->un64SeqLost++;
    VqxLib(hLib)->Counters.RxMsgNotQueued++;
    VqxMsgReleaseInternal(hLib, hMsg);
    return VQX_RX_DROPPED;
  }
  if (!VqxPeerHeldPush(hLib, pPeer, un32Path, hMsg)) {
    /* No room to hold it (out of memory): not waited for, so not lost. What
       is held goes first; then it is delivered past its gap, which is counted. */
    if (pPeer->aun32HeldCount[0] != 0 || pPeer->aun32HeldCount[1] != 0) return VQX_RX_RELEASE_HELD_FIRST;
    VqxRxResynchronise(hLib, pPeer, hMsg->un32TxSeq);
    VqxRxAccept(hLib, pPeer, hMsg);
    return VQX_RX_DELIVER;
  }
  return pPeer->aun32HeldCount[un32Path] >= VQX_PEER_HELD_MAX ? VQX_RX_HELD_FULL : VQX_RX_HELD;
}

/*
 * Connection count and sequence number of a message from the peer on path
 * un32Path. Only a message to deliver now has been accepted into the
 * sequence; a held one is the peer record's, a dropped one is released.
 */
VQX_RX_VERDICT VqxRxSequence(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, u32 un32Path) {
  VQX_LIB* pLib = VqxLib(hLib);
  const u32 un32Seq = hMsg->un32TxSeq;
  if (hMsg->un16ConnectionCount != 0 && pPeer->un32BuildNumber >= VQX_PEER_BUILD_CONNECTION_COUNT &&
      hMsg->un16ConnectionCount != pPeer->un16RxConnectionCount) {
    pPeer->un32RxSeq = VqxSeqPrev(un32Seq);
    if (pPeer->un16RxConnectionCount != 0) {
      VQX_LOG_V(hLib, 0, "WARNING: Adapter un16ConnectionCount changed %d -> %d. Reseting sequence numbering.\n",
                static_cast<int>(pPeer->un16RxConnectionCount), static_cast<int>(hMsg->un16ConnectionCount));
      /*
       * The stored count stays: until the dropped links come back (which clears it), every message
       * of the new count is discarded, not only the first with the rest delivered past its hole.
       */
      VqxGwLibContext hGw = VqxGwOfPeer(hLib, pPeer->hAdapter);
      if (hGw != nullptr) VqxGwLibForceDisconnect(hGw, pPeer->hGwPeer, 1, 1);
      pLib->Counters.RxMsgNotQueued++;
      VqxMsgReleaseInternal(hLib, hMsg);
      return VQX_RX_DROPPED;
    }
    pPeer->un16RxConnectionCount = hMsg->un16ConnectionCount;
  }
  if (un32Seq == 0) return VQX_RX_DELIVER;
  if (un32Seq != VqxSeqNext(pPeer->un32RxSeq)) {
    if (VqxSeqDiff(un32Seq, pPeer->un32RxSeq) <= 0) {
      /* Already delivered: the copy from the other path. */
      pLib->Counters.RxMsgRedundant++;
      pPeer->un64RxMsgRedundant++;
      VqxMsgReleaseInternal(hLib, hMsg);
      return VQX_RX_DROPPED;
    }
    /* An older peer (no retransmission) may send its next message on the other path: held for it. Not the
       first numbered message of a presence: such a peer does not restart its numbering, so nothing is missing. */
    if (pPeer->un32BuildNumber <= VQX_PEER_BUILD_HOLD_MAX && pPeer->un32RxSeq != 0 &&
        un32Seq - pPeer->un32RxSeq <= VQX_PEER_HOLD_AHEAD_MAX) {
      return VqxRxHold(hLib, pPeer, hMsg, un32Path);
    }
    /* What is held goes first, in its order, before numbering jumps past it. */
    if (pPeer->aun32HeldCount[0] != 0 || pPeer->aun32HeldCount[1] != 0) return VQX_RX_RELEASE_HELD_FIRST;
    /* Lost on both paths (or too far ahead to wait for): counted, and carried on from here. */
    VqxRxResynchronise(hLib, pPeer, un32Seq);
  }
  VqxRxAccept(hLib, pPeer, hMsg);
  return VQX_RX_DELIVER;
}

/*
 * A peer whose messages pile up unread in the filters: the status callback
 * hears of it (receive overflow, or a change of the flow-control request);
 * on overflow the transport's reading of this batch pauses 100 ms (the
 * default; VqxGwLibRxPause: what the peer sends meanwhile waits unread in
 * its socket, which the keep-alive takes for no silence), a remote host's
 * until the hosts' backlog is under its bound again if that comes sooner,
 * or the peer is disconnected (after its messages are flushed).
 * No pause while a thread waits for room in this peer's send fifo, nor past
 * the moment one begins to: that room comes from this reading (a board's
 * answers, a host that reads what we write only while we read what it
 * writes), and the waiting thread may be the reader of the backlog or hold
 * what its reader needs, so a pause would last for ever. The backlog then
 * grows by what the peer sends meanwhile, up to the bound a wait allows
 * (VqxRxWaitBacklogFull): there the waits on the peer end with a failure
 * and the pause holds again. A sender waiting on another peer changes
 * nothing here.
 */
void VqxRxBackPressure(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_BATCH_CONTEXT* pBatch) {
  VQX_LIB* pLib = VqxLib(hLib);
  u32 un32Event = 0, un32Action = 0, un32Value = 0;
  /* Remote hosts also all together (messages and bytes): each may stay under the bound while their sum fills the
     memory. */
  const bool fHost = pPeer->fAdapter == 0;
  const u32 un32HostsWaiting = fHost ? VqxPeerLib(hLib)->un32HostsMsgsInFilters : 0;
  if (pPeer->un32MsgsInFilters >= pLib->Params.un32ReceiveFifoSize || (fHost && VqxHostsRxFull(hLib))) {
    un32Event = VQX_LIB_STATUS_RX_OVERFLOW;
    un32Action = VQX_RX_ACTION_PAUSE;
    pLib->Counters.RxOverflow++;
  } else if (pPeer->un32FlowLevelRequested != pPeer->un32FlowLevelReported) {
    un32Event = VQX_LIB_STATUS_RX_FLOW_CONTROL;
    un32Value = pPeer->un32FlowLevelRequested;
    pPeer->un32FlowLevelReported = pPeer->un32FlowLevelRequested;
  } else {
    return;
  }
  const u32 hAdapter = pPeer->hAdapter;
  const u32 un32Count = std::max(pPeer->un32MsgsInFilters, un32HostsWaiting);
  /* Readers must be able to empty the queues while this thread waits: wake them now. */
  VqxBatchWake(hLib, pBatch);
  pBatch->un32NbToWake = 0;
  pBatch->fOverflow = 0;
  if (pLib->Params.pFctStatusCallback != nullptr) {
    _VQX_LIB_ERROR_INFO info = {un32Event, un32Count, un32Value, hAdapter};
    _VQX_LIB_ERROR_ACTION action = {un32Action};
    PFCT_VQX_LIB_STATUS pFct = pLib->Params.pFctStatusCallback;
    void* pvContext = pLib->Params.pvStatusContext;
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    pFct(pvContext, hLib, hAdapter, &info, &action);
    VqxHostLibLockRetake(hLib, un32Levels);
    un32Action = action.un32Action;
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) {
      VQX_LOG_V(hLib, 0, "VqxHostGwLibRxHandler: %s\n", "Peer disconnected while calling error handler!");
      return;
    }
  }
  if (un32Event != VQX_LIB_STATUS_RX_OVERFLOW) return;
  if (un32Action == VQX_RX_ACTION_PAUSE) {
    /* Through the transport: the pause ends at once when the transport is being destroyed. The hosts' reading
       resumes as soon as their backlog is under its bound again: a reader that empties it in a few ms (their
       bound is small) would otherwise wait out the rest of the pause with nothing to read. */
    VqxGwLibContext hGw = VqxGwOfPeer(hLib, hAdapter);
    const u32 un32Step = fHost ? VQX_RX_PAUSE_STEP_MS : VQX_RX_PAUSE_ADAPTER_STEP_MS;
    for (u32 un32Paused = 0; un32Paused < VQX_RX_PAUSE_MS && !VqxPeerReadOnForSenders(hLib, pPeer);
         un32Paused += un32Step) {
      const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
      if (hGw != nullptr) {
        VqxGwLibRxPause(hGw, un32Step);
      } else {
        struct timespec ts = {0, un32Step * 1000000L};
        nanosleep(&ts, nullptr);
      }
      VqxHostLibLockRetake(hLib, un32Levels);
      pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
      if (pPeer == nullptr || (fHost && !VqxHostsRxFull(hLib))) break;
    }
  } else if (un32Action == VQX_RX_ACTION_DISCONNECT || un32Action == VQX_RX_ACTION_FLUSH_DISCONNECT) {
    if (un32Action == VQX_RX_ACTION_FLUSH_DISCONNECT) {
      VQX_FILTER_LIB* pFl = VqxFilterLib(hLib);
      if (pFl != nullptr) {
        VqxFiltersFlushAdapter(hLib, hAdapter, pFl->pImplicitFirst);
        VqxFiltersFlushAdapter(hLib, hAdapter, pFl->pActiveFirst);
      }
    }
    VqxGwLibContext hGw = VqxGwOfPeer(hLib, hAdapter);
    if (hGw != nullptr) VqxGwLibForceDisconnect(hGw, hAdapter, 1, 1);
  }
}

/*
 * A message taken into the peer's sequence, on to the filters: fragments,
 * awaited responses, the library's own messages. True when a filter took it.
 * un64Held: the bytes the buffer holds when the transport's own, else 0.
 */
bool VqxRxDeliver(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, VQX_BATCH_CONTEXT* pBatch, u64 un64Held) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (hMsg->un16FragInfo != 0) {
    if (VQX_RESULT_FAILED(VqxFragReassemble(hLib, &pPeer->Frag, &hMsg)) || hMsg == nullptr) return false;
    hMsg->hAdapter = pPeer->hAdapter;
    un64Held = 0;
  }
  if (pPeer->fAdapter && hMsg->MsgType == VQX_MSG_TYPE_RESPONSE && hMsg->un32SerialNumber != 0) {
    VqxPopRspAwaited(hLib, pPeer, hMsg);
  }
  if (VQX_MSG_GROUP(hMsg->un32MsgId) == VQX_GROUP_GW_OP && VqxPeerHandleGwOpMsg(hLib, pPeer, hMsg)) return false;
  const u32 un32MsgId = hMsg->un32MsgId;
  pBatch->hSource = pPeer->hAdapter;
  pBatch->pSource = pPeer;
  const VQX_RESULT result = VqxFilterApply(hLib, &hMsg, pBatch, un64Held);
  pBatch->pSource = nullptr;
  if (result == VQX_RESULT_API_OK) {
    pLib->Counters.RxMsg++;
    pPeer->un64RxMsg++;
    return true;
  }
  if (result == VQX_RESULT_API_NOT_FOUND) {
    pLib->Counters.RxMsgMatchNoQ++;
    pLib->Counters.SignoMatchNoQ = un32MsgId;
  }
  return false;
}

/*
 * After the peer's sequence advanced: a held message that is now the next one
 * is delivered (and so on along its path), one already delivered from the
 * other path is freed as its copy. fTransport: on the transport's thread,
 * whose reading the receive fifo's back pressure may pause.
 */
void VqxRxDrainHeld(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_BATCH_CONTEXT* pBatch, bool fTransport) {
  /* Each round takes one held message: at most as many rounds as both paths can hold. */
  for (u32 un32Round = 0; un32Round < 2 * VQX_PEER_HELD_MAX; un32Round++) {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return;
    VQX_MSG_HANDLE hTaken = nullptr;
    for (u32 p = 0; p < 2 && hTaken == nullptr; p++) {
      VQX_MSG_HANDLE hFirst = VqxPeerHeldFirst(pPeer, p);
      if (hFirst == nullptr) continue;
      if (VqxSeqDiff(hFirst->un32TxSeq, pPeer->un32RxSeq) <= 0) {
        hTaken = VqxPeerHeldPop(hLib, pPeer, p);
        VqxLib(hLib)->Counters.RxMsgRedundant++;
        pPeer->un64RxMsgRedundant++;
        VqxMsgReleaseInternal(hLib, hTaken);
      } else if (hFirst->un32TxSeq == VqxSeqNext(pPeer->un32RxSeq)) {
        hTaken = VqxPeerHeldPop(hLib, pPeer, p);
        VqxRxAccept(hLib, pPeer, hTaken);
        if (VqxRxDeliver(hLib, pPeer, hTaken, pBatch, 0) && fTransport) VqxRxBackPressure(hLib, pPeer, pBatch);
      }
    }
    if (hTaken == nullptr) return;
  }
}

/*
 * What the peer holds delivered whether or not the missing messages came:
 * the nearest held message first, the missing ones before it counted lost.
 */
void VqxRxHeldGiveUp(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_BATCH_CONTEXT* pBatch, bool fTransport) {
  for (u32 un32Round = 0; un32Round < 2 * VQX_PEER_HELD_MAX; un32Round++) {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return;
    VQX_MSG_HANDLE hNearest = nullptr;
    for (u32 p = 0; p < 2; p++) {
      VQX_MSG_HANDLE hFirst = VqxPeerHeldFirst(pPeer, p);
      if (hFirst != nullptr && (hNearest == nullptr || VqxSeqDiff(hFirst->un32TxSeq, hNearest->un32TxSeq) < 0)) {
        hNearest = hFirst;
      }
    }
    if (hNearest == nullptr) return;
    if (VqxSeqDiff(hNearest->un32TxSeq, pPeer->un32RxSeq) > 0 && hNearest->un32TxSeq != VqxSeqNext(pPeer->un32RxSeq)) {
      VqxRxResynchronise(hLib, pPeer, hNearest->un32TxSeq);
    }
    VqxRxDrainHeld(hLib, hAdapter, pBatch, fTransport);
  }
}

/* The peer layer's release of what a peer holds (it goes, or held too long): off the transport's thread. */
void VqxRxHeldRelease(VQX_LIB_HANDLE hLib, u32 hAdapter) {
  VQX_BATCH_CONTEXT batch;
  batch.un32NbToWake = 0;
  batch.fOverflow = 0;
  VqxRxHeldGiveUp(hLib, hAdapter, &batch, false);
  VqxBatchWake(hLib, &batch);
}

struct VqxRxRegistration {
  VqxRxRegistration() { VqxPeerSetHeldRelease(VqxRxHeldRelease); }
} s_RxRegistration;

/* One message; consumed on every path. */
void VqxRxOne(VQX_LIB_HANDLE hLib, u32 hPeer, u32 un32Path, void* pvMsg, u32 un32Size, VQX_BATCH_CONTEXT* pBatch,
              u32* pfStop) {
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_MSG_HANDLE hMsg = static_cast<VQX_MSG_HANDLE>(pvMsg);
  VQX_PEER* pPeer = VqxPeerLib(hLib) != nullptr ? VqxHostAdapterOrHostByHandle(hLib, hPeer) : nullptr;
  if (pPeer == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxHostGwLibRxHandler: %s\n", "Unknown peer handle!");
    VqxBufFree(hLib, hMsg);
    return;
  }
  if (un32Size < VQX_MSG_RECEIVED_MIN_SIZE || (pfStop != nullptr && *pfStop != 0)) {
    if (un32Size < VQX_MSG_RECEIVED_MIN_SIZE) {
      VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_RX_SHORT,
                           "VqxHostGwLibRxHandler: %s: message of %u bytes is shorter than its header, dropped\n",
                           pPeer->szName, un32Size);
    } else {
      /* What follows a stop request in its batch is dropped: counted, since nothing else tells of it. */
      pLib->Counters.RxMsgNotQueued++;
    }
    VqxBufFree(hLib, hMsg);
    return;
  }
  VqxHostSwapMsgIdReceived(hMsg);
  const u32 un32Group = VQX_MSG_GROUP(hMsg->un32MsgId);
  if (un32Group != VQX_GROUP_GW_OP && !pPeer->fFilterDone) {
    if (pPeer->fAdapter) {
      /* Boards never send their filters: the first message is as good as them, once per presence. */
      pPeer->fFilterDone = 1;
    } else if (!pPeer->fAddedNotified) {
      VQX_LOG_V(hLib, 0,
                "VqxHostGwLibRxHandler: Warning: Received 0x%08X msg before VQX_MSG_ID_GW_OP_HOST_FILTER_DONE. Please "
                "recompile application %s\n",
                hMsg->un32MsgId, pPeer->szName);
      VQX_LOG_V(hLib, 0, "VqxHostGwLibRxHandler: Messages previously received: %llu\n",
                static_cast<unsigned long long>(pPeer->un64RxMsg));
    }
    VqxPeerAnnounceIfNeeded(hLib, pPeer);
  }
  /* Only the sender's header is converted: an older peer's is shorter, and payload follows it. */
  VqxHostSwapMsgReceived(hMsg, un32Size);
  /* Every size field is checked against the bytes really received before anything reads by it. */
  if (VQX_RESULT_FAILED(VqxMsgCheckReceivedHeader(hMsg, un32Size))) {
    VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_RX_SIZES,
                         "VqxHostGwLibRxHandler: %s: message 0x%08X with sizes beyond its %u bytes, dropped\n",
                         pPeer->szName, hMsg->un32MsgId, un32Size);
    VqxBufFree(hLib, hMsg);
    return;
  }
  /* The transport's buffer holds un32Size bytes, as it asked; a widened or reassembled message is looked up. */
  u64 un64Held = un32Size;
  if (hMsg->un32PayloadStart < VQX_MSG_HEADER_SIZE) {
    /* Widened before its sequence, acknowledgement and fragment words are read: they are zero, not payload. */
    if (VQX_RESULT_FAILED(VqxMsgWidenReceived(hLib, &hMsg))) return;
    un64Held = 0;
  }
  hMsg->un32TrackMark = 0;
  if (hMsg->un32PiggyAck != 0 && VqxSeqDiff(hMsg->un32PiggyAck, pPeer->un32PeerAckSeq) > 0) {
    pPeer->un32PeerAckSeq = hMsg->un32PiggyAck;
  }
  if (hMsg->un32MsgId == VQX_PURE_ACK_MSG_ID) {
    pLib->Counters.RxPureAck++;
    pPeer->un64RxPureAck++;
    VqxBufFree(hLib, hMsg);
    return;
  }
  hMsg->hAdapter = pPeer->hAdapter;
  const u32 hAdapter = pPeer->hAdapter;
  VQX_RX_VERDICT verdict = VqxRxSequence(hLib, pPeer, hMsg, un32Path);
  if (verdict == VQX_RX_RELEASE_HELD_FIRST) {
    VqxRxHeldGiveUp(hLib, hAdapter, pBatch, true);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) {
      VqxMsgReleaseInternal(hLib, hMsg);
      return;
    }
    /* Nothing held any more: the message is placed anew, without a second release. */
    verdict = VqxRxSequence(hLib, pPeer, hMsg, un32Path);
  }
  switch (verdict) {
    case VQX_RX_DROPPED:
    case VQX_RX_HELD:
      return;
    case VQX_RX_HELD_FULL:
      /* As long as the path may keep its messages back: the missing ones are given up. */
      VqxRxHeldGiveUp(hLib, hAdapter, pBatch, true);
      return;
    case VQX_RX_DELIVER:
      break;
    case VQX_RX_RELEASE_HELD_FIRST: /* cannot come twice; placed as too far ahead */
      VqxRxResynchronise(hLib, pPeer, hMsg->un32TxSeq);
      VqxRxAccept(hLib, pPeer, hMsg);
      break;
  }
  if (VqxRxDeliver(hLib, pPeer, hMsg, pBatch, un64Held)) VqxRxBackPressure(hLib, pPeer, pBatch);
  if (VqxPeerLib(hLib)->un32NbHeld != 0) VqxRxDrainHeld(hLib, hAdapter, pBatch, true);
}

void VqxRxBatch(void* pCtx, u32 hPeer, u32 fIsGw0, u32 un32Count, void** apMsgs, const u32* aun32Sizes, u32* pfStop) {
  VQX_LIB_HANDLE hLib = static_cast<VQX_LIB_HANDLE>(pCtx);
  VQX_BATCH_CONTEXT batch;
  batch.un32NbToWake = 0;
  batch.fOverflow = 0;
  const VqxTransportThreadScope transport;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  for (u32 i = 0; i < un32Count; i++) {
    if (apMsgs[i] == nullptr) continue;
    VqxRxOne(hLib, hPeer, VqxPeerPathIndex(fIsGw0), apMsgs[i], aun32Sizes[i], &batch, pfStop);
    apMsgs[i] = nullptr;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  VqxBatchWake(hLib, &batch);
}

}  // namespace

void VqxHostGwLibRxHandler(void* pCtx, u32 hPeer, u32 fIsGw0, void* pMsg, u32 un32Size, u32* pfStop) {
  void* apMsgs[1] = {pMsg};
  VqxRxBatch(pCtx, hPeer, fIsGw0, 1, apMsgs, &un32Size, pfStop);
}

void VqxHostGwLibRxHandlerMultiple(void* pCtx, u32 hPeer, u32 fIsGw0, u32 un32Count, void** apMsgs,
                                   const u32* aun32Sizes, u32* pfStop) {
  VqxRxBatch(pCtx, hPeer, fIsGw0, un32Count, apMsgs, aun32Sizes, pfStop);
}

u32 VqxHostGwLibCanConnectTo(void* pCtx, u32 hPeer) {
  VQX_LIB_HANDLE hLib = static_cast<VQX_LIB_HANDLE>(pCtx);
  u32 fYes = 1;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_PEER* pPeer = VqxPeerLib(hLib) != nullptr ? VqxHostAdapterByHandle(hLib, hPeer) : nullptr;
  const u32 un32Waiting = pPeer != nullptr && !VqxPeerActive(pPeer) ? VqxMsgsInFilters(hLib, hPeer) : 0;
  if (un32Waiting == 0) {
    if (pPeer != nullptr) pPeer->un64CanConnectTime = 0;
  } else {
    const u64 un64Now = VQXGetClock();
    if (pPeer->un64CanConnectTime == 0) {
      pPeer->un64CanConnectTime = un64Now;
      fYes = 0;
    } else if (un64Now - pPeer->un64CanConnectTime < VQX_RECONNECT_WAIT_MS) {
      fYes = 0;
    } else {
      VQX_LOG_V(hLib, 0,
                "ERROR: Timeout waiting for application to read all messages from adapter %s\n       (%ums elapsed, %u "
                "msg stillin filters).\n       Will allow reconnecting to adapter anyways.\n",
                pPeer->szName, static_cast<u32>(un64Now - pPeer->un64CanConnectTime), un32Waiting);
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return fYes;
}
