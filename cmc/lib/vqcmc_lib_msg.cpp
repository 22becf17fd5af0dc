/*
 * vqcmc_lib_msg.cpp - the messages the library makes itself: private ones
 * to itself, to-server ones of the control protocol, notifications for the
 * application; and the posting of notifications to the default callback,
 * with the rule that the application hears "ready" when the first server
 * becomes ready and "not ready" when the last one stops being ready.
 * All from the library's message pool, with hThreadSem held.
 */
#include <algorithm>
#include <cstring>

#include "vqcmc_lib_internal.h"
#include "vqx_msg_element.h"

namespace {

struct SizeRow {
  u32 un32Id;
  u32 un32Size;
};
constexpr SizeRow s_aServerSizes[] = {
    {VQCMC_SRV_LIB_REGISTER, 72},         {VQCMC_SRV_HOST_STATES_GET, 104},
    {VQCMC_SRV_SYNC_COMPLETED, 64},       {VQCMC_SRV_SET_LEG_OWNERSHIP, 96},
    {VQCMC_SRV_SET_LINK_OWNERSHIP, 88},   {VQCMC_SRV_SET_MIXER_OWNERSHIP, 80},
    {VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP, 88},
};

u32 ServerPayloadSize(u32 un32Id) {
  for (const SizeRow& row : s_aServerSizes) {
    if (row.un32Id == un32Id) return row.un32Size;
  }
  return 0;
}

VQX_RESULT PoolAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Size, VQX_MSG_HANDLE* phMsg, const char* pszOp) {
  const VQX_RESULT result = VQXGetMsgFromPoolDbg(pCtx->hVqxLib, pCtx->hMsgPool, un32Size, phMsg, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED_OR_WARNING(result) || *phMsg == nullptr) {
    *phMsg = nullptr;
    VQCMC_ERR(pCtx, pszOp, result, "VQXGetMsgFromPool Failed");
    return VQX_RESULT_FAILED(result) ? result : VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  if (pCtx->un32PayloadOffset == 0) {
    pCtx->un32PayloadOffset = static_cast<u32>(VQXMsgPayload(*phMsg) - reinterpret_cast<u8*>(*phMsg));
  }
  return VQX_RESULT_OK;
}

void SetHeader(VQX_MSG_HANDLE hMsg, u32 un32Id, u32 un32Type, u32 un32Length, u64 un64Uc1, u64 un64Uc2) {
  hMsg->un32MsgId = un32Id;
  hMsg->MsgType = static_cast<decltype(hMsg->MsgType)>(un32Type);
  hMsg->un32PayloadLength = std::min(un32Length, hMsg->un32PayloadMaxLength);
  hMsg->hAdapter = VQCMC_LOCAL_DELIVERY;
  hMsg->un64UserContext1 = un64Uc1;
  hMsg->un64UserContext2 = un64Uc2;
}

void PutU32(u8* pPayload, u32 un32Offset, u32 un32Value) { memcpy(pPayload + un32Offset, &un32Value, 4); }

}  // namespace

bool VqCmcMsgReadU32(VQX_MSG_HANDLE hMsg, u32 un32Offset, u32* pun32Value) {
  if (hMsg == nullptr || hMsg->un32PayloadLength < un32Offset + 4u) return false;
  memcpy(pun32Value, VQXMsgPayload(hMsg) + un32Offset, 4);
  return true;
}

VQX_MSG_HANDLE VqCmcMsgFromPayload(VQCMC_LIB_CTX* pCtx, u8* pPayload) {
  return pPayload != nullptr ? reinterpret_cast<VQX_MSG_HANDLE>(pPayload - pCtx->un32PayloadOffset) : nullptr;
}

VQX_RESULT VqCmcMsgPrivateAllocHandle(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, VQX_MSG_HANDLE* phMsg) {
  const VQX_RESULT result = PoolAlloc(pCtx, VQCMC_PRIV_PAYLOAD_SIZE, phMsg, "VqCmcMsgPrivateAllocHandle");
  if (VQX_RESULT_FAILED(result)) return result;
  memset(VQXMsgPayload(*phMsg), 0, VQCMC_PRIV_PAYLOAD_SIZE);
  SetHeader(*phMsg, un32Id, VQX_MSG_TYPE_EVENT, VQCMC_PRIV_PAYLOAD_SIZE, un64Uc1, 0);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMsgPrivateAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Id, u8** ppPayload) {
  VQX_MSG_HANDLE hMsg = nullptr;
  *ppPayload = nullptr;
  const VQX_RESULT result = PoolAlloc(pCtx, VQCMC_PRIV_PAYLOAD_SIZE, &hMsg, "VqCmcMsgPrivateAlloc");
  if (VQX_RESULT_FAILED(result)) return result;
  memset(VQXMsgPayload(hMsg), 0, VQCMC_PRIV_PAYLOAD_SIZE);
  hMsg->un32MsgId = un32Id;
  *ppPayload = VQXMsgPayload(hMsg);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMsgPrivateSend(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, u64 un64Uc2, u8** ppPayload) {
  static const char* kOp = "VqCmcMsgPrivateSend";
  u8* pPayload = nullptr;
  if (ppPayload == nullptr) {
    const VQX_RESULT result = VqCmcMsgPrivateAlloc(pCtx, un32Id, &pPayload);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPrivateAlloc Failed");
      return result;
    }
  } else {
    pPayload = *ppPayload;
    *ppPayload = nullptr;
    if (pPayload == nullptr) {
      VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "pMsg is Null!");
      return VQX_RESULT_INVALID_PARAM;
    }
  }
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, pPayload);
  SetHeader(hMsg, un32Id, VQX_MSG_TYPE_EVENT, VQCMC_PRIV_PAYLOAD_SIZE, un64Uc1, un64Uc2);
  const VQX_RESULT result = VqCmcSendMsg(pCtx, hMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcSendMsg Failed");
  return result;
}

VQX_RESULT VqCmcMsgProtectedAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Id, u8** ppPayload) {
  *ppPayload = nullptr;
  const u32 un32Size = ServerPayloadSize(un32Id);
  if (un32Size == 0) {
    VQCMC_ERR(pCtx, "VqCmcMsgProtectedAlloc", VQX_RESULT_NOT_SUPPORTED, "Please add to this switch case!");
    return VQX_RESULT_NOT_SUPPORTED;
  }
  VQX_MSG_HANDLE hMsg = nullptr;
  const VQX_RESULT result = PoolAlloc(pCtx, un32Size, &hMsg, "VqCmcMsgProtectedAlloc");
  if (VQX_RESULT_FAILED(result)) return result;
  memset(VQXMsgPayload(hMsg), 0, un32Size);
  SetHeader(hMsg, un32Id, VQX_MSG_TYPE_REQUEST, un32Size, 0, 0);
  *ppPayload = VQXMsgPayload(hMsg);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMsgPublicAlloc(VQCMC_LIB_CTX* pCtx, u32 un32Id, u8** ppPayload) {
  *ppPayload = nullptr;
  const _VQCMC_CATALOGUE_ROW* pRow = VqCmcCatalogueFind(un32Id);
  if (pRow == nullptr || pRow->Direction != VqCmcDirection::LibToApp) {
    VQCMC_ERR(pCtx, "VqCmcMsgPublicAlloc", VQX_RESULT_NOT_SUPPORTED, "Please add to this switch case!");
    return VQX_RESULT_NOT_SUPPORTED;
  }
  const bool fElements = pRow->Room == VqCmcElementRoom::Elements;
  const u32 un32Requested = pRow->un16Size + (fElements ? VQCMC_MSG_ELEMENT_ROOM : 0u);
  VQX_MSG_HANDLE hMsg = nullptr;
  const VQX_RESULT result = PoolAlloc(pCtx, un32Requested, &hMsg, "VqCmcMsgPublicAlloc");
  if (VQX_RESULT_FAILED(result)) return result;
  SetHeader(hMsg, un32Id, VQX_MSG_TYPE_EVENT, pRow->un16Size, 0, 0);
  if (fElements) {
    VQXMsgElementInit(hMsg, pRow->un16Size);
  } else {
    memset(VQXMsgPayload(hMsg), 0, pRow->un16Size);
  }
  *ppPayload = VQXMsgPayload(hMsg);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcMsgEntryTake(VQCMC_LIB_CTX* pCtx, u32 un32Id, u64 un64Uc1, VQX_MSG_HANDLE* phMsg) {
  if (pCtx->un32EntryFree == 0) return VqCmcMsgPrivateAllocHandle(pCtx, un32Id, un64Uc1, phMsg);
  *phMsg = pCtx->ahEntryFree[--pCtx->un32EntryFree];
  memset(VQXMsgPayload(*phMsg), 0, VQCMC_PRIV_PAYLOAD_SIZE);
  SetHeader(*phMsg, un32Id, VQX_MSG_TYPE_EVENT, VQCMC_PRIV_PAYLOAD_SIZE, un64Uc1, 0);
  return VQX_RESULT_OK;
}

void VqCmcMsgEntryGiveBack(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE hLent, VQX_MSG_HANDLE hLeft, VQX_MSG_HANDLE hOuter) {
  /* Nested entries restore what they found, so a null here means the handler freed hLent. */
  const bool fFreed = pCtx->hEntryLent.load(std::memory_order_relaxed) == nullptr;
  pCtx->hEntryLent.store(hOuter, std::memory_order_relaxed);
  /* Neither freed nor left: the handler passed it on, and it is no longer the library's to keep. */
  if (!fFreed && hLeft != hLent) return;
  if (pCtx->un32EntryFree < VQCMC_ENTRY_MSGS_KEPT) {
    pCtx->ahEntryFree[pCtx->un32EntryFree++] = hLent;
  } else {
    VqCmcMsgFreeHandle(pCtx, &hLent);
  }
}

void VqCmcMsgEntryUninit(VQCMC_LIB_CTX* pCtx) {
  while (pCtx->un32EntryFree > 0) VqCmcMsgFreeHandle(pCtx, &pCtx->ahEntryFree[--pCtx->un32EntryFree]);
}

VQX_RESULT VqCmcMsgFreeHandle(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  /* The entry message lent to a handler goes back to the state change that lent it. */
  if (*phMsg != nullptr && *phMsg == pCtx->hEntryLent.load(std::memory_order_relaxed)) {
    pCtx->hEntryLent.store(nullptr, std::memory_order_relaxed);
    *phMsg = nullptr;
    return VQX_RESULT_OK;
  }
  const VQX_RESULT result = VQXReleaseMsgDbg(pCtx->hVqxLib, phMsg, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcMsgFreeHandle", result, "VQXReleaseMsg Failed");
  return result;
}

VQX_RESULT VqCmcLibMsgPost(VQCMC_LIB_CTX* pCtx, u8** ppPayload) {
  VQX_MSG_HANDLE hMsg = VqCmcMsgFromPayload(pCtx, *ppPayload);
  *ppPayload = nullptr;
  const VQX_RESULT result = VqCmcThreadJobPost(pCtx, nullptr, 0, VQCMC_LIB_JOB_KEY, &hMsg);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VqCmcLibMsgPost", result, "VqCmcThreadJobPost Failed");
  return result;
}

VQX_RESULT VqCmcLibMsgPostNotifReady(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phHeldReady) {
  static const char* kOp = "VqCmcLibMsgPostNotifReady";
  u32 un32Records = 0;
  if (VqCmcHostCountReady(pCtx, &un32Records) != 1 || un32Records == 0) return VQX_RESULT_OK;
  u8* pPayload = nullptr;
  VQX_MSG_HANDLE hHeld = phHeldReady != nullptr ? *phHeldReady : nullptr;
  /* The server's READY goes on as it is when it holds the whole ready record; a short one is
   * replaced by a notification the library builds, so the application never reads past it. */
  if (hHeld != nullptr && hHeld->un32PayloadLength >= sizeof(_VQCMC_APP_MSG_NOTIF_READY)) {
    *phHeldReady = nullptr;
    hHeld->un32MsgId = VQCMC_APP_MSG_NOTIF_READY;
    hHeld->hAdapter = VQCMC_LOCAL_DELIVERY;
    pPayload = VQXMsgPayload(hHeld);
  } else {
    VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, VQCMC_APP_MSG_NOTIF_READY, &pPayload);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPublicAlloc Failed");
      return result;
    }
    PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT, VQCMC_PAYLOAD_LIB_BUILT_MARK);
  }
  const VQX_RESULT result = VqCmcLibMsgPost(pCtx, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLibMsgPost Failed");
  return result;
}

VQX_RESULT VqCmcLibMsgPostNotifNotReady(VQCMC_LIB_CTX* pCtx) {
  static const char* kOp = "VqCmcLibMsgPostNotifNotReady";
  if (VqCmcHostCountReady(pCtx, nullptr) != 0) return VQX_RESULT_OK;
  u8* pPayload = nullptr;
  VQX_RESULT result = VqCmcMsgPublicAlloc(pCtx, VQCMC_LIB_MSG_NOTIF_NOT_READY, &pPayload);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VqCmcMsgPublicAlloc Failed");
    return result;
  }
  PutU32(pPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT, VQCMC_PAYLOAD_LIB_BUILT_MARK);
  result = VqCmcLibMsgPost(pCtx, &pPayload);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcLibMsgPost Failed");
  return result;
}
