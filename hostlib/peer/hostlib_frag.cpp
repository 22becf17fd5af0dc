/*
 * hostlib_frag.cpp - reassembly of fragmented messages received from a peer.
 *
 * A peer may send one large message as several fragments that share its
 * serial number; the last carries negative fragment information (as a signed
 * 16-bit value). Per peer, one context per serial number queues the
 * fragments (chained through the first 8 payload bytes, which belong to the
 * library) until the last arrives; then one message is built: the last
 * fragment's header and first 8 payload bytes, followed by each fragment's
 * payload less its first 8 bytes, in arrival order. Runs on the receive path
 * under the library lock.
 */
#include <string.h>

#include <new>

#include "vqx_clock.h"
#include "vqx_hash.h"
#include "peer/vqx_host_peer_internal.h"

struct VQX_FRAG_CONTEXT {
  VQX_FRAG_CONTEXT* pNext;  /* peer's list, oldest first */
  VQX_FRAG_CONTEXT* pPrev;
  VQX_MSG_HANDLE hFirst;    /* fragments in arrival order */
  VQX_MSG_HANDLE hLast;
  u64 un64BytesToCopy;      /* sum of the queued fragments' payload lengths */
  u64 un64StartMs;          /* clock when the first fragment came */
  u32 un32Count;
  u32 un32Serial;           /* the key */
  u32 un32BytesHeld;        /* buffer bytes of the queued fragments (the peer's bound) */
  u16 un16FragInfo;         /* of the last fragment received */
};

namespace {

constexpr u32 VQX_FRAG_CONTEXT_BUFFER_SIZE = 64u;
constexpr u32 VQX_FRAG_LINK_SIZE = 8u;  /* payload bytes the library chains through */
static_assert(sizeof(VQX_FRAG_CONTEXT) <= VQX_FRAG_CONTEXT_BUFFER_SIZE);

/* Queue link inside a fragment's first 8 payload bytes. */
VQX_MSG_HANDLE VqxFragNext(VQX_MSG_HANDLE hMsg) {
  VQX_MSG_HANDLE hNext;
  memcpy(&hNext, VQXMsgPayload(hMsg), sizeof(hNext));
  return hNext;
}
void VqxFragSetNext(VQX_MSG_HANDLE hMsg, VQX_MSG_HANDLE hNext) { memcpy(VQXMsgPayload(hMsg), &hNext, sizeof(hNext)); }

u64 VqxFragKey(void*, u64 un64Value) { return reinterpret_cast<VQX_FRAG_CONTEXT*>(un64Value)->un32Serial; }

HVQXHASH VqxFragHash(VQX_FRAG_STATE* pState) { return static_cast<HVQXHASH>(pState->hHash); }

VQX_RESULT VqxFragFail(VQX_LIB_HANDLE hLib, const char* pszText, VQX_RESULT Result) {
  VQX_LOG_V(hLib, 0, "VqxFragReassemble: %s\n", pszText);
  return Result;
}

VQX_RESULT VqxFragReassemblyDestroy(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState, VQX_FRAG_CONTEXT* pContext) {
  VQX_RESULT result = VQX_RESULT_OK;
  if (VQX_RESULT_FAILED(VQXHashRemove(VqxFragHash(pState), pContext->un32Serial, nullptr))) {
    VQX_LOG_V(hLib, 0, "%s\n", "VqxFragReassemblyDestroy: Could not remove reassemble element to hash table");
    result = VQX_RESULT_API_FAIL;
  }
  (pContext->pPrev != nullptr ? pContext->pPrev->pNext : pState->pFirst) = pContext->pNext;
  (pContext->pNext != nullptr ? pContext->pNext->pPrev : pState->pLast) = pContext->pPrev;
  pState->un32NbContexts--;
  pState->un64BytesHeld -= pContext->un32BytesHeld < pState->un64BytesHeld ? pContext->un32BytesHeld : pState->un64BytesHeld;
  for (VQX_MSG_HANDLE hMsg = pContext->hFirst; hMsg != nullptr;) {
    VQX_MSG_HANDLE hNext = VqxFragNext(hMsg);
    VqxMsgReleaseInternal(hLib, hMsg);
    hMsg = hNext;
  }
  if (VQX_RESULT_FAILED(VqxBufFree(hLib, pContext))) {
    VQX_LOG_V(hLib, 0, "%s\n", "VqxFragReassemblyDestroy: VqxBufFree Failed");
    result = VQX_RESULT_API_FAIL;
  }
  return result;
}

VQX_RESULT VqxFragReassemblyCreate(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState, u32 un32Serial,
                                   VQX_FRAG_CONTEXT** ppContext) {
  *ppContext = nullptr;
  void* pBuf = VqxBufMalloc(hLib, VQX_FRAG_CONTEXT_BUFFER_SIZE, 0, __FILE__, __LINE__);
  if (pBuf == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxFragReassemblyCreate: %s\n", "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  VQX_FRAG_CONTEXT* pContext = new (pBuf) VQX_FRAG_CONTEXT{};
  pContext->un32Serial = un32Serial;
  pContext->un64StartMs = VQXGetClock();
  if (VQX_RESULT_FAILED(VQXHashInsert(VqxFragHash(pState), un32Serial, reinterpret_cast<u64>(pContext)))) {
    VqxBufFree(hLib, pBuf);
    VQX_LOG_V(hLib, 0, "VqxFragReassemblyCreate: %s\n", "Could add reassemble element to hash table");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  pContext->pPrev = pState->pLast;
  (pState->pLast != nullptr ? pState->pLast->pNext : pState->pFirst) = pContext;
  pState->pLast = pContext;
  pState->un32NbContexts++;
  *ppContext = pContext;
  return VQX_RESULT_OK;
}

/* Builds the whole message from the queued fragments; the context is left for the caller to destroy. */
VQX_RESULT VqxFragBuild(VQX_LIB_HANDLE hLib, VQX_FRAG_CONTEXT* pContext, VQX_MSG_HANDLE* phWhole) {
  *phWhole = nullptr;
  if (pContext->un64BytesToCopy > VQX_MSG_MAX_PAYLOAD_SIZE) {
    return VqxFragFail(hLib, "This message size is not supported", VQX_RESULT_API_MSGSZ_NOT_SUPPORTED);
  }
  VQX_MSG_HANDLE hWhole = nullptr;
  if (VQX_RESULT_FAILED(VqxMsgAllocateInternal(hLib, static_cast<u32>(pContext->un64BytesToCopy), &hWhole, 0,
                                               __FILE__, __LINE__))) {
    return VqxFragFail(hLib, "Could allocate reassmbly message", VQX_RESULT_API_NOT_ENOUGH_MEMORY);
  }
  const u32 un32Length = hWhole->un32Length;
  memcpy(hWhole, pContext->hLast, VQX_MSG_HEADER_SIZE + VQX_FRAG_LINK_SIZE);
  hWhole->un16FragInfo = 0;
  hWhole->un32Length = un32Length;
  hWhole->un32PayloadLength = un32Length - VQX_MSG_HEADER_SIZE;
  hWhole->un32PayloadMaxLength = un32Length - VQX_MSG_HEADER_SIZE;
  hWhole->un32PayloadStart = VQX_MSG_HEADER_SIZE;

  u8* pbyOut = VQXMsgPayload(hWhole);
  u64 un64Offset = VQX_FRAG_LINK_SIZE;
  while (pContext->un64BytesToCopy != 0) {
    VQX_MSG_HANDLE hFragment = pContext->hFirst;
    if (hFragment == nullptr) {
      VqxMsgReleaseInternal(hLib, hWhole);
      return VqxFragFail(hLib, "Fifo Error during reassembly", VQX_RESULT_API_INVALID_STATE);
    }
    pContext->hFirst = VqxFragNext(hFragment);
    if (pContext->hFirst == nullptr) pContext->hLast = nullptr;
    pContext->un32Count--;
    const u32 un32FragmentLength = hFragment->un32PayloadLength;
    const u32 un32Copy = un32FragmentLength > VQX_FRAG_LINK_SIZE ? un32FragmentLength - VQX_FRAG_LINK_SIZE : 0;
    memcpy(pbyOut + un64Offset, VQXMsgPayload(hFragment) + VQX_FRAG_LINK_SIZE, un32Copy);
    un64Offset += un32Copy;
    pContext->un64BytesToCopy -= un32FragmentLength;
    VqxMsgReleaseInternal(hLib, hFragment);
  }
  /* The payload length counts each fragment's first 8 bytes too: leave no stale heap bytes there. */
  memset(pbyOut + un64Offset, 0, hWhole->un32PayloadMaxLength - un64Offset);
  *phWhole = hWhole;
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VqxFragInit(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState) {
  *pState = VQX_FRAG_STATE{};
  /* The table's first argument caps its entries: no cap, it grows with the contexts. */
  pState->hHash = VQXHashCreateInternal(0, VqxFragKey, nullptr, nullptr, nullptr, "frag", 0);
  if (pState->hHash == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxFragInit: %s\n", "Failed to allocate hash table");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqxFragPendingFree(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState) {
  VQX_RESULT result = VQX_RESULT_OK;
  while (pState->pFirst != nullptr) {
    if (VQX_RESULT_FAILED(VqxFragReassemblyDestroy(hLib, pState, pState->pFirst))) {
      VQX_LOG_V(hLib, 0, "%s\n", "VqxFragPendingFree: VqxFragReassemblyDestroy Failed");
      result = VQX_RESULT_API_FAIL;
    }
  }
  return result;
}

void VqxFragUninit(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState) {
  if (pState->hHash == nullptr) return;
  VqxFragPendingFree(hLib, pState);
  VQXHashDestroy(VqxFragHash(pState));
  pState->hHash = nullptr;
}

u32 VqxFragExpire(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState, u64 un64NowMs) {
  u32 un32Expired = 0;
  /* Contexts are listed oldest first. */
  while (pState->pFirst != nullptr && un64NowMs > pState->pFirst->un64StartMs &&
         un64NowMs - pState->pFirst->un64StartMs > VQX_FRAG_MAX_AGE_MS) {
    VQX_LOG_V(hLib, 0, "VqxFragReassemble: Fragments of message %u incomplete after %u ms, dropped\n",
              pState->pFirst->un32Serial, static_cast<u32>(un64NowMs - pState->pFirst->un64StartMs));
    VqxFragReassemblyDestroy(hLib, pState, pState->pFirst);
    un32Expired++;
  }
  return un32Expired;
}

VQX_RESULT VqxFragReassemble(VQX_LIB_HANDLE hLib, VQX_FRAG_STATE* pState, VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hFragment = *phMsg;
  *phMsg = nullptr;
  VqxFragExpire(hLib, pState, VQXGetClock());
  /* The header must fit the buffer before any of its lengths is used. */
  VQX_RESULT result = VqxMsgCheckHeader(hLib, hFragment);
  /* Queued fragments are chained through their first 8 payload bytes: they must exist. */
  if (VQX_RESULT_SUCCEEDED(result) && VqxBufUsableSize(hLib, hFragment) < VQX_MSG_HEADER_SIZE + VQX_FRAG_LINK_SIZE) {
    result = VQX_RESULT_API_MSGSZ_INVALID;
  }
  if (VQX_RESULT_FAILED(result)) {
    VqxMsgReleaseInternal(hLib, hFragment);
    return VqxFragFail(hLib, "Invalid fragment header", result);
  }
  u64 un64Value = 0;
  VQX_FRAG_CONTEXT* pContext = nullptr;
  if (VQXHashFind(VqxFragHash(pState), hFragment->un32SerialNumber, &un64Value) == VQX_RESULT_OK) {
    pContext = reinterpret_cast<VQX_FRAG_CONTEXT*>(un64Value);
  } else {
    result = VqxFragReassemblyCreate(hLib, pState, hFragment->un32SerialNumber, &pContext);
    if (VQX_RESULT_FAILED(result)) {
      VqxMsgReleaseInternal(hLib, hFragment);
      return VqxFragFail(hLib, "Could not create reassemble element", result);
    }
  }
  if (pContext->un32Count >= VQX_FRAG_MAX_FRAGMENTS) {
    VqxMsgReleaseInternal(hLib, hFragment);
    VqxFragReassemblyDestroy(hLib, pState, pContext);
    return VqxFragFail(hLib, "Too many fragments", VQX_RESULT_API_OUT_OF_RESOURCE);
  }
  /* Bounds: a message that could never be built, and what one peer may keep waiting. */
  if (pContext->un64BytesToCopy + hFragment->un32PayloadLength > VQX_MSG_MAX_PAYLOAD_SIZE) {
    VqxMsgReleaseInternal(hLib, hFragment);
    VqxFragReassemblyDestroy(hLib, pState, pContext);
    return VqxFragFail(hLib, "This message size is not supported", VQX_RESULT_API_MSGSZ_NOT_SUPPORTED);
  }
  const u32 un32Held = hFragment->un32Length;
  while (pState->un64BytesHeld + un32Held > VQX_FRAG_MAX_BYTES_PER_PEER && pState->pFirst != pContext) {
    VQX_LOG_V(hLib, 0, "VqxFragReassemble: Too many fragment bytes waiting, message %u dropped\n",
              pState->pFirst->un32Serial);
    VqxFragReassemblyDestroy(hLib, pState, pState->pFirst);
  }
  if (pState->un64BytesHeld + un32Held > VQX_FRAG_MAX_BYTES_PER_PEER) {
    VqxMsgReleaseInternal(hLib, hFragment);
    VqxFragReassemblyDestroy(hLib, pState, pContext);
    return VqxFragFail(hLib, "Too many fragment bytes waiting", VQX_RESULT_API_OUT_OF_RESOURCE);
  }
  pContext->un32BytesHeld += un32Held;
  pState->un64BytesHeld += un32Held;
  pContext->un64BytesToCopy += hFragment->un32PayloadLength;
  pContext->un16FragInfo = hFragment->un16FragInfo;
  VqxFragSetNext(hFragment, nullptr);
  if (pContext->hLast != nullptr) {
    VqxFragSetNext(pContext->hLast, hFragment);
  } else {
    pContext->hFirst = hFragment;
  }
  pContext->hLast = hFragment;
  pContext->un32Count++;

  if (static_cast<i16>(pContext->un16FragInfo) >= 0) return VQX_RESULT_OK;
  VQX_MSG_HANDLE hWhole = nullptr;
  result = VqxFragBuild(hLib, pContext, &hWhole);
  VqxFragReassemblyDestroy(hLib, pState, pContext);
  if (VQX_RESULT_FAILED(result)) return result;
  *phMsg = hWhole;
  return VQX_RESULT_OK;
}
