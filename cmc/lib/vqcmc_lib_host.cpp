/*
 * vqcmc_lib_host.cpp - the server records: detection among the peers the
 * host library adds, the routing of every received message to its server's
 * machine, and removal. A record is keyed by the peer's host key (kept
 * across a restart of the server's adapter) and, while the peer is present,
 * found by its peer handle in a hash. Private messages find their record by
 * its pool index in the upper half of user context 1.
 */
#include <cstring>
#include <strings.h>

#include "vqcmc_lib_internal.h"

namespace {

u64 HostGetKey(void*, const void* pRecord) {
  return static_cast<const _VQCMC_HOST_CTX*>(pRecord)->HostInfo.un64UniqueHostId;
}

VQX_RESULT GetRemoteHostInfo(VQCMC_LIB_CTX* pCtx, u32 hHost, _VQX_HOST_INFO* pInfo) {
  return pCtx->Seams.pFctGetRemoteHostInfo != nullptr ? pCtx->Seams.pFctGetRemoteHostInfo(pCtx->hVqxLib, hHost, pInfo)
                                                      : VQXGetRemoteHostInfo(pCtx->hVqxLib, hHost, pInfo);
}

bool IsServer(const _VQX_HOST_INFO& info) {
  char szName[sizeof(info.szApplicationName) + 1]{};
  memcpy(szName, info.szApplicationName, sizeof(info.szApplicationName));
  return strcasecmp(szName, VQCMC_SERVER_APP_NAME) == 0 || info.aun64HostContext[0] == VQCMC_SERVER_UNIQUE_ID;
}

_VQCMC_HOST_CTX* FindByHandle(VQCMC_LIB_CTX* pCtx, u32 hHost) {
  u64 un64Value = 0;
  if (VQX_RESULT_FAILED(VQXHashFind(pCtx->pHostHash, hHost, &un64Value))) return nullptr;
  return reinterpret_cast<_VQCMC_HOST_CTX*>(un64Value);
}

_VQCMC_HOST_CTX* FindByIndex(VQCMC_LIB_CTX* pCtx, u64 un64Uc1) {
  return static_cast<_VQCMC_HOST_CTX*>(
      VQXPoolOfBuffers64FindBufferByIndex(pCtx->pHostPool, static_cast<u32>(un64Uc1 >> 32)));
}

void Release(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  if (*phMsg != nullptr) VqCmcMsgFreeHandle(pCtx, phMsg);
}

VQX_RESULT HostAdd(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  static const char* kOp = "VqCmcLibHostAdd";
  u32 hHost = 0;
  u32 aun32Key[2]{};
  if (!VqCmcMsgReadU32(*phMsg, VQCMC_HL_ADDED_OFFSET_HANDLE, &hHost) ||
      !VqCmcMsgReadU32(*phMsg, VQCMC_HL_ADDED_OFFSET_HOST_KEY, &aun32Key[0]) ||
      !VqCmcMsgReadU32(*phMsg, VQCMC_HL_ADDED_OFFSET_HOST_KEY + 4, &aun32Key[1])) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_MESSAGE, "Short adapter-added message (%u bytes)",
              (*phMsg)->un32PayloadLength);
    Release(pCtx, phMsg);
    return VQX_RESULT_OK;
  }
  u64 un64Key = 0;
  memcpy(&un64Key, aun32Key, sizeof(un64Key));
  _VQCMC_HOST_CTX* pHost = static_cast<_VQCMC_HOST_CTX*>(VQXPoolOfBuffers64Find(pCtx->pHostPool, un64Key));
  _VQX_HOST_INFO info{};
  VQX_RESULT result = GetRemoteHostInfo(pCtx, hHost, &info);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "VQXGetRemoteHostInfo Failed");
  } else if (IsServer(info)) {
    bool fNew = false;
    if (pHost == nullptr) {
      pHost = static_cast<_VQCMC_HOST_CTX*>(VQXPoolOfBuffers64Alloc(pCtx->pHostPool, info.un64UniqueHostId));
      if (pHost == nullptr) {
        VQCMC_ERR(pCtx, kOp, VQX_RESULT_NOT_ENOUGH_MEMORY, "VQXPoolOfBuffersAlloc Failed");
      } else {
        fNew = true;
      }
    }
    if (pHost != nullptr) {
      result = VQXHashInsert(pCtx->pHostHash, info.hAdapter, reinterpret_cast<u64>(pHost));
      if (VQX_RESULT_FAILED(result)) {
        VQCMC_ERR(pCtx, kOp, result, "Failed to insert into hash of hosts. Result is 0x%08X", result);
      }
      if (fNew) {
        memset(pHost, 0, sizeof(*pHost));
        pHost->StateTimer.un32PeriodMs = VQCMC_TIMER_DISARMED;
        pHost->PollTimer.un32PeriodMs = VQCMC_TIMER_DISARMED;
        VQXPoolOfBuffers64GetBufferIndex(pCtx->pHostPool, pHost, &pHost->un32PoolIndex);
      }
      pHost->hHost = info.hAdapter;
      pHost->HostInfo = info;
      /* A refreshed record keeps its other fields. A sync under way keeps its postponed messages
       * and goes on postponing, so that all of them are replayed in order once the server is
       * ready; a record without a buffer has nothing held: its sync ends (and leaves the count of
       * servers in sync) and its server's messages pass. */
      if (fNew) {
        pHost->fSyncDone = 1;
      } else if (pHost->pahPendingMsgs == nullptr) {
        VqCmcStateHostFreePendingMsgs(pCtx, pHost);
      }
      VqCmcLogTrace(pCtx, VQCMC_LOG_LEVEL_NOTICE, "", kOp, __FILE__, __LINE__,
                    VQCMC_COLOUR_GREEN "ADDED CMCapp 0x%08X %s-%s %s", info.hAdapter, info.szHostName,
                    info.szApplicationName, info.szIpAddress0);
      result = VqCmcHostStateChange(pCtx, pHost, VQCMC_LIB_STATE_INIT);
      if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VqCmcHostStateChange Failed");
    }
  }
  if (pHost != nullptr) {
    VqCmcHostStateMsgHandle(pCtx, pHost, phMsg);
  } else {
    Release(pCtx, phMsg);
  }
  return VQX_RESULT_OK;
}

void HostRemoved(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  u32 hHost = 0;
  if (!VqCmcMsgReadU32(*phMsg, VQCMC_HL_REMOVED_OFFSET_HANDLE, &hHost)) {
    VQCMC_ERR(pCtx, "VqCmcHostMsgHandle", VQX_RESULT_INVALID_MESSAGE, "Short adapter-removed message (%u bytes)",
              (*phMsg)->un32PayloadLength);
    Release(pCtx, phMsg);
    return;
  }
  _VQCMC_HOST_CTX* pHost = hHost != 0 ? FindByHandle(pCtx, hHost) : nullptr;
  if (pHost != nullptr) {
    const VQX_RESULT result = VQXHashRemove(pCtx->pHostHash, hHost, nullptr);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, "VqCmcHostMsgHandle", result, "Failed to remove hash of hosts. Result is 0x%08X", result);
    }
    pHost->HostInfo.hAdapter = 0;
    pHost->fRegistered = 0;
    VqCmcHostStateMsgHandle(pCtx, pHost, phMsg);
    return;
  }
  /* Some other peer went: every server still registering retries at once. */
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(pCtx); p != nullptr; p = VqCmcHostNext(pCtx, p)) {
    if (p->CurrState != VQCMC_LIB_STATE_INIT) continue;
    p->StateTimer.un32MsgId = VQCMC_PRIV_HOST_TIMEOUT;
    p->StateTimer.un64Key = static_cast<u64>(p->un32PoolIndex) << 32;
    if (VQX_RESULT_FAILED(VqCmcStateSetTimeout(pCtx, &p->StateTimer, VQCMC_LIB_STATE_INIT, 0))) {
      VQCMC_ERR(pCtx, "VqCmcHostMsgHandle", VQX_RESULT_FAIL, "VqCmcStateSetTimeout Failed");
    }
  }
}

}  // namespace

bool VqCmcPeerKnown(VQCMC_LIB_CTX* pCtx, u32 hHost) {
  _VQX_HOST_INFO info{};
  return hHost != 0 && VQX_RESULT_SUCCEEDED(GetRemoteHostInfo(pCtx, hHost, &info));
}

VQX_RESULT VqCmcHostInit(VQCMC_LIB_CTX* pCtx) {
  pCtx->pHostPool = VQXPoolOfBuffers64Create(VQCMC_MAX_HOSTS, sizeof(_VQCMC_HOST_CTX), HostGetKey, pCtx, 0);
  if (pCtx->pHostPool == nullptr) {
    VQCMC_ERR(pCtx, "VqCmcHostInit", VQX_RESULT_NOT_ENOUGH_MEMORY, "Failed To alloc pool of hosts");
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  pCtx->pHostHash = VQXHashCreateWithKeyInternal(VQCMC_MAX_HOSTS, "cmc hosts", 0);
  if (pCtx->pHostHash == nullptr) {
    VQCMC_ERR(pCtx, "VqCmcHostInit", VQX_RESULT_NOT_ENOUGH_MEMORY, "Failed To alloc hash of hosts");
    VQXPoolOfBuffers64Destroy(pCtx->pHostPool);
    pCtx->pHostPool = nullptr;
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcHostUninit(VQCMC_LIB_CTX* pCtx) {
  if (pCtx->pHostPool != nullptr) {
    _VQCMC_HOST_CTX* pHost = VqCmcHostFirst(pCtx);
    while (pHost != nullptr) {
      _VQCMC_HOST_CTX* pNext = VqCmcHostNext(pCtx, pHost);
      /* At close the entities are gone already; their counts no longer hold a record back. */
      pHost->un32NbLegs = 0;
      pHost->un32NbMixers = 0;
      VqCmcLibHostRemove(pCtx, pHost);
      pHost = pNext;
    }
  }
  if (pCtx->pHostHash != nullptr && VQX_RESULT_FAILED(VQXHashDestroy(pCtx->pHostHash))) {
    VQCMC_ERR(pCtx, "VqCmcHostUninit", VQX_RESULT_FAIL, "Failed To destroy hash of hosts");
  }
  pCtx->pHostHash = nullptr;
  if (pCtx->pHostPool != nullptr && VQX_RESULT_FAILED(VQXPoolOfBuffers64Destroy(pCtx->pHostPool))) {
    VQCMC_ERR(pCtx, "VqCmcHostUninit", VQX_RESULT_FAIL, "Failed To destroy pool of hosts");
  }
  pCtx->pHostPool = nullptr;
  return VQX_RESULT_OK;
}

_VQCMC_HOST_CTX* VqCmcHostFirst(VQCMC_LIB_CTX* pCtx) {
  return pCtx->pHostPool != nullptr ? static_cast<_VQCMC_HOST_CTX*>(VQXPoolOfBuffers64First(pCtx->pHostPool))
                                    : nullptr;
}

_VQCMC_HOST_CTX* VqCmcHostNext(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  return static_cast<_VQCMC_HOST_CTX*>(VQXPoolOfBuffers64Next(pCtx->pHostPool, pHost));
}

u32 VqCmcHostCountReady(VQCMC_LIB_CTX* pCtx, u32* pun32NbRecords) {
  u32 un32Ready = 0, un32Records = 0;
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(pCtx); p != nullptr; p = VqCmcHostNext(pCtx, p)) {
    un32Records++;
    if (p->fReady) un32Ready++;
  }
  if (pun32NbRecords != nullptr) *pun32NbRecords = un32Records;
  return un32Ready;
}

VQX_RESULT VqCmcHostMsgHandle(VQCMC_LIB_CTX* pCtx, VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = *phMsg;
  const u32 un32Id = hMsg->un32MsgId;
  switch (un32Id) {
    case VQCMC_HL_ADAPTER_ADDED:
      return HostAdd(pCtx, phMsg);
    case VQCMC_HL_ADAPTER_REMOVED:
      HostRemoved(pCtx, phMsg);
      return VQX_RESULT_OK;
    case VQCMC_HL_GW_UP:
    case VQCMC_HL_GW_DOWN:
      Release(pCtx, phMsg);
      return VQX_RESULT_OK;
    case VQCMC_PRIV_HOST_TIMEOUT: {
      _VQCMC_HOST_CTX* pHost = FindByIndex(pCtx, hMsg->un64UserContext1);
      /* A time-out armed in an earlier state, or for a freed record, is dropped. */
      if (pHost != nullptr && static_cast<u32>(hMsg->un64UserContext2) == pHost->CurrState) {
        VqCmcHostStateMsgHandle(pCtx, pHost, phMsg);
      } else {
        Release(pCtx, phMsg);
      }
      return VQX_RESULT_OK;
    }
    case VQCMC_PRIV_HOST_STATE_ENTER:
    case VQCMC_PRIV_LEG_TIMEOUT:
    case VQCMC_PRIV_LEG_STATE_ENTER:
    case VQCMC_PRIV_MIXER_TIMEOUT:
    case VQCMC_PRIV_MIXER_STATE_ENTER: {
      _VQCMC_HOST_CTX* pHost = FindByIndex(pCtx, hMsg->un64UserContext1);
      if (pHost != nullptr) VqCmcHostStateMsgHandle(pCtx, pHost, phMsg);
      return VQX_RESULT_OK;
    }
    default:
      break;
  }
  if (hMsg->hAdapter == 0) return VQX_RESULT_OK;
  _VQCMC_HOST_CTX* pHost = FindByHandle(pCtx, hMsg->hAdapter);
  if (pHost == nullptr) {
    VQCMC_ERR(pCtx, "VqCmcHostMsgHandle", VQX_RESULT_NOT_FOUND, "VqCmcLibHostFindByHandle Failed");
    return VQX_RESULT_OK;
  }
  VqCmcHostStateMsgHandle(pCtx, pHost, phMsg);
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcLibHostGetAvailable(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX** ppHost) {
  for (_VQCMC_HOST_CTX* p = VqCmcHostFirst(pCtx); p != nullptr; p = VqCmcHostNext(pCtx, p)) {
    if (p->fReady) {
      *ppHost = p;
      return VQX_RESULT_OK;
    }
  }
  *ppHost = nullptr;
  return VQX_RESULT_NOT_FOUND;
}

VQX_RESULT VqCmcLibHostRemove(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  static const char* kOp = "VqCmcLibHostRemove";
  if (pHost->un32NbLegs + pHost->un32NbMixers != 0) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_OPERATION, "A host must not have any legs or mixers to be removed");
    return VQX_RESULT_INVALID_OPERATION;
  }
  VqCmcLogTrace(pCtx, VQCMC_LOG_LEVEL_NOTICE, "", kOp, __FILE__, __LINE__, VQCMC_COLOUR_YELLOW "REMOVED CMCapp 0x%08X %s-%s %s",
                pHost->hHost, pHost->HostInfo.szHostName, pHost->HostInfo.szApplicationName,
                pHost->HostInfo.szIpAddress0);
  if (pHost->HostInfo.hAdapter != 0) {
    const VQX_RESULT result = VQXHashRemove(pCtx->pHostHash, pHost->HostInfo.hAdapter, nullptr);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, kOp, result, "Failed to remove hash of hosts. Result is 0x%08X", result);
    }
    pHost->HostInfo.hAdapter = 0;
  }
  VQXTimerRemove(pCtx->hTimer, &pHost->StateTimer);
  VQXTimerRemove(pCtx->hTimer, &pHost->PollTimer);
  if (pHost->pReadyMsg != nullptr) VqCmcMsgFreeHandle(pCtx, &pHost->pReadyMsg);
  VqCmcStateHostFreePendingMsgs(pCtx, pHost);
  const VQX_RESULT result = VQXPoolOfBuffers64Free(pCtx->pHostPool, pHost);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, kOp, result, "VQXPoolOfBuffersFree Failed");
  return result;
}

VQX_RESULT VqCmcStateHostFreePendingMsgs(VQCMC_LIB_CTX* pCtx, _VQCMC_HOST_CTX* pHost) {
  while (pHost->un32NbPendingMsgs > 0) {
    pHost->un32NbPendingMsgs--;
    if (pHost->pahPendingMsgs != nullptr) Release(pCtx, &pHost->pahPendingMsgs[pHost->un32NbPendingMsgs]);
  }
  delete[] pHost->pahPendingMsgs;
  pHost->pahPendingMsgs = nullptr;
  /* The count follows the servers whose sync has not ended, buffer or none. */
  if (!pHost->fSyncDone && pCtx->un32NbHostsResyncing > 0) pCtx->un32NbHostsResyncing--;
  pHost->fSyncDone = 1;
  return VQX_RESULT_OK;
}
