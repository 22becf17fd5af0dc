/*
 * hostlib_peer_api.cpp - what applications ask about adapters and remote
 * hosts: lists, information records, search by name or unique id, the
 * per-peer network redundancy settings and state, and the adapter message
 * delay. Each public call checks its arguments, then answers under the
 * library lock.
 */
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "vqx_gwlib.h"
#include "peer/vqx_host_peer_internal.h"

namespace {

constexpr u32 kLocalFirst = VQX_HOSTLIB_ADAPTER_HANDLE;
constexpr u32 kLocalLast = VQX_HOSTLIB_ADAPTER_HANDLE | 0xFFFFu;
constexpr u64 kAddressListAgeMs = 5000;
constexpr u32 kMaxInterfaces = 16;
constexpr u32 kRedundancyWords = 7;

/* Argument checks shared by the public calls: 0 when the call may go on. */
VQX_RESULT CheckArgs(VQX_LIB_HANDLE hLib, const char* pszOp, const void* pOut) {
  if (hLib == nullptr) {
    fprintf(stderr, "%s: %s\n", pszOp, "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (pOut == nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  return 0;
}

/* "127.0.0.1" stands for the machine itself: show this library's address of that path when it has one. */
void ReplaceLoopback(VQX_LIB_HANDLE hLib, char* pszGw0, char* pszGw1) {
  const VQX_LIB* pLib = VqxLib(hLib);
  if (strcmp(pszGw0, VQX_PEER_LOCAL_ADDRESS) == 0 && pLib->szLocalGw0Address[0] != '\0') {
    memcpy(pszGw0, pLib->szLocalGw0Address, 64);
  }
  if (strcmp(pszGw1, VQX_PEER_LOCAL_ADDRESS) == 0 && pLib->szLocalGw1Address[0] != '\0') {
    memcpy(pszGw1, pLib->szLocalGw1Address, 64);
  }
}

VQX_RESULT AdapterInfo(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_ADAPTER_INFO* pInfo) {
  const VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (pPeer == nullptr || (pPeer->fAdapter == 0 && pPeer->fHostAdapterInfo == 0)) {
    VQX_LOG_V(hLib, 0, "VqxHostAdapterGetInfo: %s\n", "Invalid Handle");
    return VQX_RESULT_API_INVALID_HANDLE;
  }
  *pInfo = pPeer->AdapterInfo;
  ReplaceLoopback(hLib, pInfo->szIpAddress0, pInfo->szIpAddress1);
  return VQX_RESULT_API_OK;
}

VQX_RESULT RemoteHostInfo(VQX_LIB_HANDLE hLib, u32 hHost, _VQX_HOST_INFO* pInfo) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (hHost >= kLocalFirst && hHost <= kLocalLast) {
    memset(pInfo, 0, sizeof(*pInfo));
    pInfo->un32StructVersion = 1;
    pInfo->hAdapter = hHost;
    pInfo->aun64HostContext[0] = pLib->Params.aun64HostContext[0];
    pInfo->aun64HostContext[1] = pLib->Params.aun64HostContext[1];
    snprintf(pInfo->szIpAddress0, sizeof(pInfo->szIpAddress0), "%s", pLib->szLocalGw0Address);
    snprintf(pInfo->szIpAddress1, sizeof(pInfo->szIpAddress1), "%s", pLib->szLocalGw1Address);
    snprintf(pInfo->szHostName, sizeof(pInfo->szHostName), "%s", pLib->Params.szHostName);
    snprintf(pInfo->szApplicationName, sizeof(pInfo->szApplicationName), "%s", pLib->Params.szApplicationName);
    pInfo->un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
    pInfo->un64UniqueHostId = pLib->un64UniqueHostId;
    return VQX_RESULT_API_OK;
  }
  const VQX_PEER* pPeer = VqxHostRemoteHostByHandle(hLib, hHost);
  if (pPeer == nullptr) return VQX_RESULT_API_INVALID_HANDLE;
  *pInfo = pPeer->HostInfo;
  ReplaceLoopback(hLib, pInfo->szIpAddress0, pInfo->szIpAddress1);
  VqxHostLibRefreshNow(hLib);
  if (strcmp(pInfo->szIpAddress0, VQX_PEER_LOCAL_ADDRESS) == 0 &&
      pLib->un64Now - pLib->un64LastAddressRefresh >= kAddressListAgeMs) {
    u32 un32Count = kMaxInterfaces;
    u32 aun32Addr[kMaxInterfaces] = {};
    u32 aun32Bcast[kMaxInterfaces] = {};
    u32 aun32Mask[kMaxInterfaces] = {};
    if (VQX_RESULT_SUCCEEDED(VQXGetIpInterfaces(&un32Count, aun32Addr, aun32Bcast, aun32Mask)) && un32Count > 0) {
      const u8* pby = reinterpret_cast<const u8*>(&aun32Addr[0]); /* network order */
      snprintf(pInfo->szIpAddress0, sizeof(pInfo->szIpAddress0), "%u.%u.%u.%u", pby[0], pby[1], pby[2], pby[3]);
      memset(pInfo->szIpAddress1, 0, sizeof(pInfo->szIpAddress1));
    }
  }
  return VQX_RESULT_API_OK;
}

/* Handles of the present records of one kind, the first un32Max in pool order, sorted ascending. */
VQX_RESULT PeerList(VQX_LIB_HANDLE hLib, u32 fAdapters, u32 un32Max, u32* pun32Count, u32* pahOut) {
  u32 un32Kept = 0;
  bool fMore = false;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    if ((pPeer->fAdapter != 0) != (fAdapters != 0)) continue;
    if (un32Kept == un32Max) {
      fMore = true;
      break;
    }
    pahOut[un32Kept++] = pPeer->hAdapter;
  }
  std::sort(pahOut, pahOut + un32Kept);
  *pun32Count = un32Kept;
  VqxLib(hLib)->Counters.AdapterList++;
  return fMore ? VQX_RESULT_API_INCOMPLETE : VQX_RESULT_API_OK;
}

VqxGwLibContext PeerGw(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  return static_cast<VqxGwLibContext>(pPeer->fAdapter != 0 ? VqxLib(hLib)->pvAdaptersGw : VqxLib(hLib)->pvHostsGw);
}

/* One record's share of a redundancy configuration; the transport's result. */
VQX_RESULT ConfigureOne(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams) {
  VqxGwLibRedundancyParams gw{};
  VqxGwLibContext hGw = PeerGw(hLib, pPeer);
  VQX_RESULT result = VQX_RESULT_API_INVALID_HANDLE;
  if (hGw != nullptr) {
    VqxGwLibGetRedundancyParams(hGw, pPeer->hAdapter, &gw);
    static_assert(sizeof(VqxGwLibRedundancyParams) == kRedundancyWords * sizeof(u32));
    memcpy(&gw, pParams, sizeof(gw));
    result = VqxGwLibSetRedundancyParams(hGw, pPeer->hAdapter, &gw);
  }
  pPeer->fRedundancyOn = pParams->fUseGw0 != 0 && pParams->fUseGw1 != 0 ? 1 : 0;
  pPeer->un32PollDelayMs = pParams->un32PollDelayMs;
  pPeer->un32AdapterDownDelayMs = pParams->un32AdapterDownDelayMs;
  const u32 un32OldApi = pPeer->un32FlowLevelApi;
  VqxPeerApplyFlowLevel(pPeer, static_cast<u32>(pParams->FlowControlMode));
  VqxHostAdapterSetFlowControlLimit(pPeer, VQX_PEER_DEFAULT_BYTE_LIMIT, VQX_PEER_DEFAULT_MSG_LIMIT);
  if (pPeer->un32FlowLevelApi != un32OldApi) {
    VQX_LOG_V(hLib, 3, "Adapter %s: Flow-control level set to: API: %u, Effective: %u\n", pPeer->szName,
              pPeer->un32FlowLevelApi, pPeer->un32FlowLevelEffective);
    VqxSendRemoteFlowControlLevel(hLib, pPeer);
  }
  return result;
}

}  // namespace

/* ------------------------------------------------------------- internal */

VQX_RESULT VqxHostConfigureNetworkRedundancy(VQX_LIB_HANDLE hLib, u32 hAdapter,
                                             const _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams) {
  if (hAdapter != 0) {
    VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) {
      VQX_LOG_V(hLib, 0, "VqxHostConfigureNetworkRedundancy: %s\n", "Invalid Handle");
      return VQX_RESULT_API_INVALID_HANDLE;
    }
    return ConfigureOne(hLib, pPeer, pParams);
  }
  VQX_RESULT result = VQX_RESULT_API_OK;
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  /* By slot: a flow-level send may release the lock, so each slot is read again. */
  for (u32 i = 0; pPl != nullptr && i < VQX_PEER_MAX; i++) {
    if (pPl->apSlots[i] != nullptr) result = ConfigureOne(hLib, pPl->apSlots[i], pParams);
    pPl = VqxPeerLib(hLib);
  }
  return result;
}

/* --------------------------------------------------------------- public */

VQX_RESULT VQXGetAdaptersList(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahAdapters) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXGetAdaptersList", pun32Count != nullptr ? pahAdapters : nullptr);
  if (check != 0) return check;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = PeerList(hLib, 1, un32Capacity, pun32Count, pahAdapters);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetRemoteHostsList(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahHosts) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXGetRemoteHostsList", pun32Count != nullptr ? pahHosts : nullptr);
  if (check != 0) return check;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = PeerList(hLib, 0, un32Capacity, pun32Count, pahHosts);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetAdapterInfo(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_ADAPTER_INFO* pInfo) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXGetAdapterInfo", pInfo);
  if (check != 0) return check;
  if (hAdapter == 0) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = AdapterInfo(hLib, hAdapter, pInfo);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetPeerSendQueue(VQX_LIB_HANDLE hLib, u32 hPeer, VQX_PEER_SEND_QUEUE* pQueue) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXGetPeerSendQueue", pQueue);
  if (check != 0) return check;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hPeer);
  if (pPeer != nullptr) *pQueue = VQX_PEER_SEND_QUEUE{pPeer->un64TxMsgQueued, pPeer->un32SendFifoCount, 0};
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return pPeer != nullptr ? VQX_RESULT_API_OK : VQX_RESULT_API_INVALID_HANDLE;
}

VQX_RESULT VQXGetAdapterInfoMore(VQX_LIB_HANDLE hLib, u32 hAdapter, VQX_ADAPTER_INFO_MORE* pInfo) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXGetAdapterInfoMore", pInfo);
  if (check != 0) return check;
  if (hAdapter == 0) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_OK;
  const VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (pPeer == nullptr || (pPeer->fAdapter == 0 && pPeer->fHostAdapterInfo == 0)) {
    VQX_LOG_V(hLib, 0, "VqxHostAdapterGetInfoMore: %s\n", "Invalid Handle");
    result = VQX_RESULT_API_INVALID_HANDLE;
  } else {
    *pInfo = pPeer->AdapterInfoMore;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXFindAdapter(VQX_LIB_HANDLE hLib, const char* pszAdapter, VQX_ADAPTER_INFO* pInfo) {
  constexpr const char* kOp = "VQXFindAdapter";
  if (hLib == nullptr) return CheckArgs(hLib, kOp, pInfo);
  if (pszAdapter == nullptr || pszAdapter[0] == '\0') {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kOp, pszAdapter == nullptr ? "in_pszAdapter is NULL" : "in_pszAdapter is empty");
    return VQX_RESULT_API_NULL_PARAM;
  }
  const VQX_RESULT check = CheckArgs(hLib, kOp, pInfo);
  if (check != 0) return check;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_NOT_FOUND;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    if (pPeer->fAdapter == 0) continue;
    const VQX_ADAPTER_INFO& a = pPeer->AdapterInfo;
    if (strcmp(a.szName2, pszAdapter) != 0 && strcmp(a.szName, pszAdapter) != 0 &&
        strcmp(pPeer->AdapterInfoMore.szName, pszAdapter) != 0) {
      continue;
    }
    result = AdapterInfo(hLib, pPeer->hAdapter, pInfo);
    if (VQX_RESULT_FAILED(result)) VQX_LOG_V(hLib, 0, "VqxHostAdapterFind: %s\n", "Failed to get found adapter info!");
    break;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetRemoteHostInfo(VQX_LIB_HANDLE hLib, u32 hHost, _VQX_HOST_INFO* pInfo) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXGetRemoteHostInfo", pInfo);
  if (check != 0) return check;
  if (hHost == 0) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = RemoteHostInfo(hLib, hHost, pInfo);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetRemoteHostLinks(VQX_LIB_HANDLE hLib, u32 hHost, u32* pun32Count, _VQX_PEER_LINK* paLinks) {
  VQX_RESULT check = CheckArgs(hLib, "VQXGetRemoteHostLinks", pun32Count);
  if (check == 0) check = CheckArgs(hLib, "VQXGetRemoteHostLinks", paLinks);
  if (check != 0) return check;
  *pun32Count = 0;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_INVALID_HANDLE;
  const VQX_PEER* pPeer = VqxHostRemoteHostByHandle(hLib, hHost);
  VqxGwLibContext hGw = pPeer != nullptr ? PeerGw(hLib, pPeer) : nullptr;
  VqxGwLibLinkEnds aEnds[VQX_GW_MAX_PEER_LINKS];
  u32 un32Count = 0;
  static_assert(VQX_GW_MAX_PEER_LINKS == VQX_PEER_MAX_LINKS);
  if (hGw != nullptr && VQX_RESULT_SUCCEEDED(VqxGwLibGetPeerLinks(hGw, hHost, &un32Count, aEnds))) {
    for (u32 i = 0; i < un32Count; ++i)
      paLinks[i] = {aEnds[i].un32LocalAddr, aEnds[i].un32RemoteAddr, aEnds[i].un16LocalPort, aEnds[i].un16RemotePort};
    *pun32Count = un32Count;
    result = VQX_RESULT_API_OK;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetPeersWaitingForRecord(VQX_LIB_HANDLE hLib, u32 fHosts, u32 un32Capacity, u32* pun32Count,
                                       char (*paszNames)[VQX_PEER_WAITING_NAME_SIZE]) {
  static_assert(VQX_PEER_WAITING_NAME_SIZE == VQX_GW_WAITING_NAME_SIZE);
  VQX_RESULT check = CheckArgs(hLib, "VQXGetPeersWaitingForRecord", pun32Count);
  if (check == 0 && un32Capacity != 0) check = CheckArgs(hLib, "VQXGetPeersWaitingForRecord", paszNames);
  if (check != 0) return check;
  *pun32Count = 0;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VqxGwLibContext hGw = static_cast<VqxGwLibContext>(fHosts != 0 ? VqxLib(hLib)->pvHostsGw : VqxLib(hLib)->pvAdaptersGw);
  const VQX_RESULT result =
      hGw == nullptr || VQX_RESULT_SUCCEEDED(VqxGwLibGetWaitingPeers(hGw, un32Capacity, pun32Count, paszNames))
          ? VQX_RESULT_API_OK
          : VQX_RESULT_API_FAIL;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXFindRemoteHostById(VQX_LIB_HANDLE hLib, u64 un64UniqueId, _VQX_HOST_INFO* pInfo) {
  const VQX_RESULT check = CheckArgs(hLib, "VQXFindRemoteHostById", pInfo);
  if (check != 0) return check;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_NOT_FOUND;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    if (pPeer->fAdapter == 0 && pPeer->HostInfo.un64UniqueHostId == un64UniqueId) {
      result = RemoteHostInfo(hLib, pPeer->hAdapter, pInfo);
      break;
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXGetNetworkRedundancyState(VQX_LIB_HANDLE hLib, u32 hAdapter, _VQX_NETWORK_REDUNDANCY_STATE* pState,
                                        u32* pfGw0Up, u32* pfGw1Up) {
  constexpr const char* kOp = "VqxHostGetNetworkRedundancyState";
  /* The state record is optional: callers that want only the two path flags pass null for it. */
  const VQX_RESULT check =
      CheckArgs(hLib, "VQXGetNetworkRedundancyState", pfGw0Up != nullptr ? pfGw1Up : nullptr);
  if (check != 0) return check;
  if (hAdapter == 0) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (pState != nullptr) memset(pState, 0, sizeof(*pState));
  *pfGw0Up = *pfGw1Up = 0;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQX_RESULT_API_OK;
  const VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  VqxGwLibRedundancyParams gw{};
  if (pPeer == nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kOp, "VQX_RESULT_API_INVALID_HANDLE");
    result = VQX_RESULT_API_INVALID_HANDLE;
  } else if (PeerGw(hLib, pPeer) == nullptr ||
             VQX_RESULT_FAILED(VqxGwLibGetRedundancyParams(PeerGw(hLib, pPeer), hAdapter, &gw))) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kOp, "Failed to retrieve network redundancy parameters");
    result = VQX_RESULT_API_INVALID_HANDLE;
  } else {
    if (pState != nullptr) {
      memcpy(pState, &gw, sizeof(gw));
      pState->un32FlowControlLevel = pPeer->un32FlowLevelApi;
    }
    *pfGw0Up = pPeer->afPathUp[VQX_PEER_PATH_GW0];
    *pfGw1Up = pPeer->afPathUp[VQX_PEER_PATH_GW1];
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXConfigureNetworkRedundancy(VQX_LIB_HANDLE hLib, u32 hAdapter,
                                         _VQX_NETWORK_REDUNDANCY_PARAMETERS* pParams) {
  constexpr const char* kOp = "VQXConfigureNetworkRedundancy";
  const VQX_RESULT check = CheckArgs(hLib, kOp, pParams);
  if (check != 0) return check;
  VQX_RESULT result = VQXValidateNetworkRedundancyParams(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kOp, "Invalid network redundancy parameters");
    return result;
  }
  const VqxSendCallScope inside(hLib); /* a board's new flow-control level may wait for room */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  result = VqxHostConfigureNetworkRedundancy(hLib, hAdapter, pParams);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXAdapterMsgDelay(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32DelayMs) {
  if (hLib == nullptr) {
    fprintf(stderr, "%s: %s\n", "VQXAdapterMsgDelay", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  const VqxSendCallScope inside(hLib); /* the request may wait for room */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_PEER* pPeer = VqxHostAdapterByHandle(hLib, hAdapter);
  const VQX_RESULT result =
      pPeer == nullptr ? VQX_RESULT_API_INVALID_HANDLE : VqxSendAdapterMsgDelay(hLib, pPeer, un32DelayMs);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}
