/*
 * vqx_filter_apply.cpp - the checks made on a message received from a peer
 * before it is dispatched to the filters: sizes that cannot be right, an
 * older peer's shorter header widened to 88 bytes, the receive trace line.
 * A stream of bad headers logs each kind of fault once a second, with the
 * count of those left out.
 * Checks that need the peer record (connection count, sequence, fragments,
 * awaited responses, the library's own gateway messages) belong to the peer
 * layer, which calls this after them.
 */
#include <string.h>

#include "filter/vqx_filter_internal.h"

namespace {

/* fLogged: the reason's line was logged (a stream of bad headers logs each kind once a second); the
   drop line goes with it. */
VQX_RESULT VqxApplyDrop(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, bool fLogged) {
  if (fLogged) {
    VQX_LOG_V(hLib, 0, "VqxFilterApply: %s\n", "Invalid message (sent by adapter running more recent build?), dropping.");
  }
  VqxMsgReleaseInternal(hLib, *phMsg);
  *phMsg = nullptr;
  return VQX_RESULT_API_UNSUPPORTED_VERSION;
}

}  // namespace

VQX_RESULT VqxFilterApply(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_BATCH_CONTEXT* pBatch, u64 un64Held) {
  VQX_MSG_HANDLE hMsg = *phMsg;
  const u32 un32Max = VQX_MSG_MAX_BUFFER_SIZE;
  if (hMsg->un32PayloadMaxLength > un32Max) {
    return VqxApplyDrop(hLib, phMsg,
                        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_APPLY_MAX,
                                             "Received corrupted message (un32PayloadMaxLength = %u, > %u)\n",
                                             hMsg->un32PayloadMaxLength, un32Max));
  }
  if (hMsg->un32Length > un32Max) {
    return VqxApplyDrop(hLib, phMsg,
                        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_APPLY_LENGTH,
                                             "Received corrupted message (un32Length = %u, > %u)\n", hMsg->un32Length,
                                             un32Max));
  }
  if (hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) {
    return VqxApplyDrop(hLib, phMsg,
                        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_APPLY_PAYLOAD,
                                             "Received corrupted message (un32PayloadLength(%u) > "
                                             "un32PayloadMaxLength(%u))\n",
                                             hMsg->un32PayloadLength, hMsg->un32PayloadMaxLength));
  }
  if (hMsg->un32PayloadStart > hMsg->un32Length) {
    return VqxApplyDrop(hLib, phMsg,
                        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_APPLY_START,
                                             "Received corrupted message (un32PayloadStart(%u) > un32Length(%u))\n",
                                             hMsg->un32PayloadStart, hMsg->un32Length));
  }
  /* The header's length must lie within the bytes really received, or every later read runs past them. */
  /* Marked as received in the same trip through the buffer mutex (a widened copy below is marked anew). */
  if (un64Held == 0) un64Held = VqxBufMarkReceivedUsableSize(hLib, hMsg);
  bool fMarked = true;
  if (hMsg->un32Length > un64Held || u64{hMsg->un32PayloadStart} + hMsg->un32PayloadLength > hMsg->un32Length) {
    return VqxApplyDrop(hLib, phMsg,
                        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_APPLY_HELD,
                                             "Received corrupted message (un32Length = %u, > %u)\n", hMsg->un32Length,
                                             static_cast<u32>(un64Held)));
  }
  if (hMsg->un32PayloadStart > VQX_MSG_HEADER_SIZE) {
    return VqxApplyDrop(hLib, phMsg,
                        VqxHostLibLogLimited(hLib, VQX_LOG_LIMITED_APPLY_NEWER,
                                             "Message received has unsupported payload start! (%d > %d)\n",
                                             static_cast<int>(hMsg->un32PayloadStart),
                                             static_cast<int>(VQX_MSG_HEADER_SIZE)));
  }
  if (hMsg->un32PayloadStart == VQX_MSG_HEADER_SIZE) {
    /* The capacity handed on is the one the length gives: a peer's smaller word (the checks above keep the
       payload inside both) would make the delivered message fail every later header check (copy, forward,
       VQXTestMsgEx). */
    hMsg->un32PayloadMaxLength = hMsg->un32Length - VQX_MSG_HEADER_SIZE;
  }
  if (hMsg->un32PayloadStart < VQX_MSG_HEADER_SIZE) {
    /* An older peer's shorter header (the receive path widens it before it reads the header's later words). */
    const VQX_RESULT result = VqxMsgWidenReceived(hLib, phMsg);
    if (VQX_RESULT_FAILED(result)) return result;
    hMsg = *phMsg;
    fMarked = false;
  }
  VqxTraceMsg(hLib, 1, hMsg);
  const bool fTaken =
      fMarked ? VqxMsgDispatchLocalMarked(hLib, hMsg, 0, pBatch) : VqxMsgDispatchLocal(hLib, hMsg, 0, pBatch);
  if (!fTaken) {
    VqxMsgReleaseInternal(hLib, hMsg);
    *phMsg = nullptr;
    return VQX_RESULT_API_NOT_FOUND;
  }
  *phMsg = nullptr;
  return VQX_RESULT_API_OK;
}
