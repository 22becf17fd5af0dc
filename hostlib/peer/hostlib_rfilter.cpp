/*
 * hostlib_rfilter.cpp - remote filters. This library tells every peer it is
 * connected to which messages its ordinary filters want (clear, one create
 * per filter, done), and keeps it told as filters change. Other hosts do
 * the same towards us: their filters are kept per host record and decide
 * which broadcast events go to them. The same family carries the flow-
 * control level and message delay given to adapters, the peer value and the
 * adapter's list of hosts. Under the library lock; requests go out through
 * the normal send path.
 */
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "peer/vqx_host_peer_internal.h"
#include "vqx_hash.h"

struct VQX_REMOTE_FILTER {
  VQX_REMOTE_FILTER* pNext; /* newest first */
  u32 un32FilterNumber;
  u32 un32NbParams;
  _VQX_FILTER_PARAMS aParams[1];
};

namespace {

constexpr u32 kVersion = 5;
constexpr u32 kOffsetVersion = 8;
constexpr u32 kOffsetWord12 = 12;
constexpr u32 kOffsetHostName = 16;
constexpr u32 kOffsetAppName = 144;
constexpr u32 kOffsetGw0 = 272;
constexpr u32 kOffsetGw1 = 336;
constexpr u32 kOffsetReleaseTag = 400;
constexpr u32 kClearPayload = 528;
constexpr u32 kOffsetFilterNumber = 16;
constexpr u32 kOffsetCount = 20;
constexpr u32 kOffsetSets = 24;
constexpr u32 kShortPayload = 16;
constexpr u32 kDelayPayload = 24;
constexpr u32 kOffsetDelay = 16;
constexpr u32 kMaxDelayMs = 250;
constexpr u32 kMaxSets = VQX_FILTER_MAX_PARAMS;
constexpr u32 kBuildFiltersCompleteMax = 0x02021500u;
static_assert(kOffsetReleaseTag + VQX_HOSTLIB_RELEASE_TAG_SIZE == kClearPayload);
static_assert(kOffsetSets + sizeof(_VQX_FILTER_PARAMS) == 72);

/* Adapter host list: 8 version, 12 total hosts, 16 active hosts, 20 halve-limits byte, entries of 512 bytes from 24. */
constexpr u32 kHostListOffsetTotal = 12;
constexpr u32 kHostListOffsetActive = 16;
constexpr u32 kHostListOffsetHalve = 20;
constexpr u32 kHostListOffsetEntries = 24;
constexpr u32 kHostListEntrySize = 512;
constexpr u32 kHostListEntryHost = 0, kHostListEntryApp = 128, kHostListEntryGw0 = 256, kHostListEntryGw1 = 320,
              kHostListEntryBuild = 384, kHostListEntryBuildSize = 32;

u32 Get32(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  u32 v;
  memcpy(&v, VQXMsgPayload(hMsg) + un32Offset, sizeof(v));
  return v;
}
void Put32(VQX_MSG_HANDLE hMsg, u32 un32Offset, u32 un32Value) {
  memcpy(VQXMsgPayload(hMsg) + un32Offset, &un32Value, sizeof(un32Value));
}
void PutText(VQX_MSG_HANDLE hMsg, u32 un32Offset, const char* pszText, size_t size) {
  memcpy(VQXMsgPayload(hMsg) + un32Offset, pszText, strnlen(pszText, size - 1));
}

/* A request of this family to the peer; null (logged by the allocator) without memory. */
VQX_MSG_HANDLE NewRequest(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer, u32 un32MsgId, u32 un32Payload) {
  VQX_MSG_HANDLE hMsg = VqxPeerNewLibMsg(hLib, pPeer->hAdapter, un32MsgId, VQX_MSG_TYPE_REQUEST, un32Payload);
  if (hMsg != nullptr) Put32(hMsg, kOffsetVersion, kVersion);
  return hMsg;
}

bool OldPeer(const VQX_PEER* pPeer) { return pPeer->un32BuildNumber < VQX_PEER_BUILD_REMOTE_FILTERS; }

bool GroupForwardedToHosts(u32 un32Group) {
  return (un32Group >= 0x0600 && un32Group <= 0x0BFF) || un32Group == 0x0215 || un32Group == 0x0301 ||
         un32Group == 0x0222;
}

/* Type, id, group and user-context conditions of a set, with their NOT forms; handle and serial ignored. */
bool RemoteSetPasses(const _VQX_FILTER_PARAMS& set, const _VQX_MSG_HEADER* pMsg) {
  constexpr u32 kUsed = VQX_FILTER_MASK_MSG_TYPE | VQX_FILTER_MASK_MSG_ID | VQX_FILTER_MASK_MSG_GROUP |
                        VQX_FILTER_MASK_USER_CONTEXT1 | VQX_FILTER_MASK_USER_CONTEXT2;
  const u32 un32Equal = ((pMsg->MsgType & set.MsgTypeMask) != 0 ? VQX_FILTER_MASK_MSG_TYPE : 0u) |
                        (pMsg->un32MsgId == set.MsgId ? VQX_FILTER_MASK_MSG_ID : 0u) |
                        ((pMsg->un32MsgId >> 16) == set.MsgGroup ? VQX_FILTER_MASK_MSG_GROUP : 0u) |
                        (pMsg->un64UserContext1 == set.un64UserContext1 ? VQX_FILTER_MASK_USER_CONTEXT1 : 0u) |
                        (pMsg->un64UserContext2 == set.un64UserContext2 ? VQX_FILTER_MASK_USER_CONTEXT2 : 0u);
  const u32 un32Match = set.un32Mask & kUsed;
  const u32 un32Not = (set.un32Mask >> VQX_FILTER_MASK_NOT_SHIFT) & kUsed;
  return (un32Match & ~un32Equal) == 0 && (un32Not & un32Equal) == 0;
}

HVQXHASH RemoteHash(const VQX_PEER* pPeer) { return static_cast<HVQXHASH>(pPeer->hRemoteFilterHash); }

/* Unlinks and frees the remote filter with that number; false when there is none. */
bool RemoveRemoteFilter(VQX_PEER* pPeer, u32 un32Number) {
  VQX_REMOTE_FILTER** ppLink = &pPeer->pRemoteFilters;
  while (*ppLink != nullptr && (*ppLink)->un32FilterNumber != un32Number) ppLink = &(*ppLink)->pNext;
  if (*ppLink == nullptr) return false;
  VQX_REMOTE_FILTER* pGone = *ppLink;
  *ppLink = pGone->pNext;
  if (RemoteHash(pPeer) != nullptr) VQXHashRemove(RemoteHash(pPeer), un32Number, nullptr);
  pPeer->un32NbRemoteFilters--;
  free(pGone);
  return true;
}

/* Turns a handled request into its answer and sends it back. */
void Answer(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, VQX_RESULT Result) {
  hMsg->MsgType = VQX_MSG_TYPE_RESPONSE;
  Put32(hMsg, kOffsetVersion, kVersion);
  Put32(hMsg, kOffsetWord12, Result);
  if (VQX_RESULT_FAILED(VqxRemoteHostFiltersMsgSwap(hLib, hMsg))) {
    VqxMsgReleaseInternal(hLib, hMsg);
    return;
  }
  VqxMsgSend(hLib, hMsg, nullptr);
}

/*
 * Requests of this family are for hosts only. One from an adapter is refused
 * without an answer: the answer would be a response, which an adapter is never
 * sent, so the send path would refuse it with an error line of its own.
 */
bool RefuseFromAdapter(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg, const char* pszPrefix) {
  if (pPeer->fAdapter == 0) return false;
  VQX_LOG_V(hLib, 0, "%s: %s\n", pszPrefix, "Error: Not supposed to recevie this msg from an adapter");
  VqxMsgReleaseInternal(hLib, hMsg);
  return true;
}

void HandleClear(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  if (RefuseFromAdapter(hLib, pPeer, hMsg, "VqxRemoteHostFiltersClear")) return;
  pPeer->un32SendHookState = hMsg->un32FixedTwo;
  pPeer->fFiltersComplete = pPeer->un32BuildNumber <= kBuildFiltersCompleteMax ? 1 : 0;
  VqxRemoteHostFiltersFreeAll(hLib, pPeer);
  Answer(hLib, hMsg, VQX_RESULT_API_OK);
}

void HandleCreate(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  constexpr const char* kPrefix = "VqxRemoteHostFilterCreate";
  if (RefuseFromAdapter(hLib, pPeer, hMsg, kPrefix)) return;
  const u32 un32Count = hMsg->un32PayloadLength >= kOffsetSets ? Get32(hMsg, kOffsetCount) : 0;
  if (un32Count == 0) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPrefix, "Received invalid filter parameters (un32FilterCount==0)\n");
    Answer(hLib, hMsg, VQX_RESULT_API_INVALID_PARAM);
    return;
  }
  if (un32Count > kMaxSets) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPrefix, "Received invalid filter parameters (un32FilterCount too big)\n");
    Answer(hLib, hMsg, VQX_RESULT_API_INVALID_PARAM);
    return;
  }
  /* The count comes from the wire: the sets it announces must be in the payload. */
  if (hMsg->un32PayloadLength < kOffsetSets + un32Count * sizeof(_VQX_FILTER_PARAMS)) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPrefix, "Received invalid filter parameters (message too short for its count)\n");
    Answer(hLib, hMsg, VQX_RESULT_API_INVALID_PARAM);
    return;
  }
  const u32 un32Number = Get32(hMsg, kOffsetFilterNumber);
  const size_t size = offsetof(VQX_REMOTE_FILTER, aParams) + un32Count * sizeof(_VQX_FILTER_PARAMS);
  VQX_REMOTE_FILTER* pNew = static_cast<VQX_REMOTE_FILTER*>(malloc(size));
  if (pNew == nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPrefix, "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
    Answer(hLib, hMsg, VQX_RESULT_API_NOT_ENOUGH_MEMORY);
    return;
  }
  pNew->un32FilterNumber = un32Number;
  pNew->un32NbParams = un32Count;
  memcpy(pNew->aParams, VQXMsgPayload(hMsg) + kOffsetSets, un32Count * sizeof(_VQX_FILTER_PARAMS));
  RemoveRemoteFilter(pPeer, un32Number);
  pNew->pNext = pPeer->pRemoteFilters;
  pPeer->pRemoteFilters = pNew;
  pPeer->un32NbRemoteFilters++;
  if (RemoteHash(pPeer) == nullptr ||
      VQX_RESULT_FAILED(VQXHashInsert(RemoteHash(pPeer), un32Number, reinterpret_cast<u64>(pNew)))) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPrefix, "Failed to insert into hash table");
  }
  Answer(hLib, hMsg, VQX_RESULT_API_OK);
}

void HandleDestroy(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  if (RefuseFromAdapter(hLib, pPeer, hMsg, "VqxRemoteHostFilterDestroy")) return;
  RemoveRemoteFilter(pPeer, Get32(hMsg, kOffsetWord12));
  Answer(hLib, hMsg, VQX_RESULT_API_OK);
}

void HandleDone(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  if (RefuseFromAdapter(hLib, pPeer, hMsg, "VqxRemoteHostFiltersDone")) return;
  pPeer->fFiltersComplete = 1;
  pPeer->fFilterDone = 1;
  /* Once per presence: a second DONE (filters sent again) announces nothing more. */
  if (pPeer->fAddedNotified == 0 && pPeer->fPresent != 0) VqxHostSendAdapterAddedEvent(hLib, pPeer, nullptr);
  Answer(hLib, hMsg, VQX_RESULT_API_OK);
}

struct ResponseLogRow {
  u32 un32MsgId;
  const char* pszFormat;
};
constexpr ResponseLogRow kResponseLogs[] = {
    {VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR,
     "VqxSendRemoteFilterClear: Failed to clear remote adapter/host filters (result 0x%08X)\n"},
    {VQX_MSG_ID_GW_OP_HOST_FILTER_CREATE,
     "VqxSendRemoteFilterCreate: Failed to create remote adapter/host filters (result 0x%08X)\n"},
    {VQX_MSG_ID_GW_OP_HOST_FILTER_DESTROY,
     "VqxSendRemoteFilterDestroy: Failed to destroy remote adapter/host filters (result 0x%08X)\n"},
    {VQX_MSG_ID_GW_OP_FLOW_CONTROL_LEVEL,
     "VqxSendRemoteFlowControlLevel: Failed to tell flow control level to adapter (result 0x%08X)\n"},
    {VQX_MSG_ID_GW_OP_HOST_FILTER_DONE, "VqxSendRemoteFilterDone: Failed (result 0x%08X)\n"},
};

/* Text field of a received entry, cut at its end. */
void EntryText(const u8* pbyEntry, u32 un32Offset, u32 un32Size, char* pszOut) {
  memcpy(pszOut, pbyEntry + un32Offset, un32Size);
  pszOut[un32Size - 1] = '\0';
}

void HandleHostList(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  if (hMsg->un32PayloadLength < kHostListOffsetEntries) {
    VqxMsgReleaseInternal(hLib, hMsg);
    return;
  }
  const u32 un32Total = Get32(hMsg, kHostListOffsetTotal);
  const u32 un32Active = Get32(hMsg, kHostListOffsetActive);
  VQX_LOG_V(hLib, 3, "List of hosts connected to adapter %s (%u total, %u active):\n", pPeer->szName, un32Total,
            un32Active);
  if (Get32(hMsg, kOffsetVersion) == 1) {
    /* Only the entries really present in the payload, whatever the total says. */
    const u32 un32Room = (hMsg->un32PayloadLength - kHostListOffsetEntries) / kHostListEntrySize;
    for (u32 i = 0; i < un32Total && i < un32Room; i++) {
      const u8* pbyEntry = VQXMsgPayload(hMsg) + kHostListOffsetEntries + i * kHostListEntrySize;
      char szHost[128], szApp[128], szGw0[64], szGw1[64], szBuild[kHostListEntryBuildSize];
      EntryText(pbyEntry, kHostListEntryHost, sizeof(szHost), szHost);
      EntryText(pbyEntry, kHostListEntryApp, sizeof(szApp), szApp);
      EntryText(pbyEntry, kHostListEntryGw0, sizeof(szGw0), szGw0);
      EntryText(pbyEntry, kHostListEntryGw1, sizeof(szGw1), szGw1);
      EntryText(pbyEntry, kHostListEntryBuild, sizeof(szBuild), szBuild);
      VQX_LOG_V(hLib, 3, "    %s.%s, %s/%s, build %s\n", szHost, szApp, szGw0, szGw1, szBuild);
    }
  }
  pPeer->fHalveLimits = VQXMsgPayload(hMsg)[kHostListOffsetHalve];
  if (pPeer->un32FlowLevelApi == VQX_PEER_FLOW_LEVEL_NONE || pPeer->un32FlowLevelApi == 0) {
    const u32 un32Level = un32Active < 1 ? 1 : un32Active > VQX_PEER_FLOW_LEVEL_MAX ? VQX_PEER_FLOW_LEVEL_MAX : un32Active;
    pPeer->un32FlowLevelEffective = un32Level;
    VQX_LOG_V(hLib, 3, "Adapter %s: Effective flow-control level set now %u\n", pPeer->szName, un32Level);
  }
  VqxHostAdapterSetFlowControlLimit(pPeer, VQX_PEER_DEFAULT_BYTE_LIMIT, VQX_PEER_DEFAULT_MSG_LIMIT);
  VqxMsgReleaseInternal(hLib, hMsg);
}

/* Sends a built request; the send path owns it from here. */
VQX_RESULT SendRequest(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) { return VqxMsgSend(hLib, hMsg, nullptr); }

}  // namespace

/* ------------------------------------------------------- per-host state */

VQX_RESULT VqxRemoteHostFiltersInit(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  /* The utility hash takes a maximum entry count, not a bucket count: no limit. */
  pPeer->hRemoteFilterHash = VQXHashCreateWithKeyInternal(0, "hRemoteFilters", 0);
  if (pPeer->hRemoteFilterHash == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxRemoteHostFiltersInit: %s\n", "Failed to allocate hash table");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  pPeer->pRemoteFilters = nullptr;
  pPeer->un32NbRemoteFilters = 0;
  return VQX_RESULT_API_OK;
}

void VqxRemoteHostFiltersFreeAll(VQX_LIB_HANDLE, VQX_PEER* pPeer) {
  while (pPeer->pRemoteFilters != nullptr) RemoveRemoteFilter(pPeer, pPeer->pRemoteFilters->un32FilterNumber);
}

void VqxRemoteHostFiltersUninit(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VqxRemoteHostFiltersFreeAll(hLib, pPeer);
  if (pPeer->hRemoteFilterHash != nullptr) VQXHashDestroy(RemoteHash(pPeer));
  pPeer->hRemoteFilterHash = nullptr;
}

/* ------------------------------------------------------------- matching */

u32 VqxAdapterFilterTestMatch(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter,
                              _VQX_FILTER_PARAMS* paOut) {
  const u32 fAllGroups = VqxLib(hLib)->Params.fForwardAllGroupsToHosts;
  u32 un32Kept = 0;
  for (u32 i = 0; i < pFilter->un32NbParams; i++) {
    const _VQX_FILTER_PARAMS& set = pFilter->aParams[i];
    const u32 m = set.un32Mask;
    if ((m & VQX_FILTER_MASK_NEGATIVE) != 0) {
      if ((m & VQX_FILTER_MASK_ADAPTER) != 0) continue;
      if ((m & VQX_FILTER_MASK_NOT_ADAPTER) != 0) {
        if (set.hAdapter != pPeer->hAdapter) return 0;
        continue;
      }
    } else {
      if ((m & VQX_FILTER_MASK_ADAPTER) != 0 && set.hAdapter != pPeer->hAdapter) continue;
      if ((m & VQX_FILTER_MASK_NOT_ADAPTER) != 0 && set.hAdapter == pPeer->hAdapter) continue;
    }
    if ((m & VQX_FILTER_MASK_MSG_TYPE) != 0 && (set.MsgTypeMask & VQX_MSG_TYPE_EVENT) == 0) continue;
    if ((m & VQX_FILTER_MASK_NOT_MSG_TYPE) != 0 && (set.MsgTypeMask & VQX_MSG_TYPE_EVENT) != 0) continue;
    const bool fGroup = (m & VQX_FILTER_MASK_MSG_GROUP) != 0;
    if (fGroup && set.MsgGroup == 0x0201) continue;
    if (pPeer->fAdapter != 0) {
      if (fGroup && set.MsgGroup >= 0x0600 && set.MsgGroup <= 0x0BFF) continue;
    } else if (fAllGroups == 0 && fGroup && !GroupForwardedToHosts(set.MsgGroup)) {
      continue;
    }
    if (paOut == nullptr) return 1;
    paOut[un32Kept++] = set;
  }
  return un32Kept;
}

bool VqxRemoteHostFiltersTest(VQX_LIB_HANDLE, const VQX_PEER* pPeer, const _VQX_MSG_HEADER* pMsg) {
  for (const VQX_REMOTE_FILTER* pRf = pPeer->pRemoteFilters; pRf != nullptr; pRf = pRf->pNext) {
    for (u32 i = 0; i < pRf->un32NbParams; i++) {
      if (RemoteSetPasses(pRf->aParams[i], pMsg)) return (pRf->aParams[i].un32Mask & VQX_FILTER_MASK_NEGATIVE) == 0;
    }
  }
  return false;
}

/* ---------------------------------------------------------------- sending */

VQX_RESULT VqxSendRemoteFilterClear(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  if (OldPeer(pPeer)) return VQX_RESULT_API_OK;
  VQX_MSG_HANDLE hMsg = NewRequest(hLib, pPeer, VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR, kClearPayload);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  const VQX_LIB* pLib = VqxLib(hLib);
  Put32(hMsg, kOffsetWord12, pPeer->un32PeerValue);
  PutText(hMsg, kOffsetHostName, pLib->Params.szHostName, 128);
  PutText(hMsg, kOffsetAppName, pLib->Params.szApplicationName, 128);
  PutText(hMsg, kOffsetGw0, pLib->szLocalGw0Address, 64);
  PutText(hMsg, kOffsetGw1, pLib->szLocalGw1Address, 64);
  PutText(hMsg, kOffsetReleaseTag, VQX_HOSTLIB_RELEASE_TAG, VQX_HOSTLIB_RELEASE_TAG_SIZE);
  return SendRequest(hLib, hMsg);
}

VQX_RESULT VqxSendRemoteFilterCreate(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter) {
  if (OldPeer(pPeer) || pFilter->un32NbParams == 0) return VQX_RESULT_API_OK;
  const u32 un32Payload = kOffsetSets + pFilter->un32NbParams * static_cast<u32>(sizeof(_VQX_FILTER_PARAMS));
  VQX_MSG_HANDLE hMsg = NewRequest(hLib, pPeer, VQX_MSG_ID_GW_OP_HOST_FILTER_CREATE, un32Payload);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  auto* paSets = reinterpret_cast<_VQX_FILTER_PARAMS*>(VQXMsgPayload(hMsg) + kOffsetSets);
  const u32 un32Kept = VqxAdapterFilterTestMatch(hLib, pPeer, pFilter, paSets);
  if (un32Kept == 0) {
    VqxMsgReleaseInternal(hLib, hMsg);
    return VQX_RESULT_API_OK;
  }
  Put32(hMsg, kOffsetFilterNumber, pFilter->un32FilterNumber);
  Put32(hMsg, kOffsetCount, un32Kept);
  return SendRequest(hLib, hMsg);
}

VQX_RESULT VqxSendRemoteFilterDestroyNumber(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32FilterNumber) {
  if (OldPeer(pPeer)) return VQX_RESULT_API_OK;
  VQX_MSG_HANDLE hMsg = NewRequest(hLib, pPeer, VQX_MSG_ID_GW_OP_HOST_FILTER_DESTROY, kShortPayload);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  Put32(hMsg, kOffsetWord12, un32FilterNumber);
  return SendRequest(hLib, hMsg);
}

VQX_RESULT VqxSendRemoteFilterDestroy(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter) {
  if (OldPeer(pPeer) || VqxAdapterFilterTestMatch(hLib, pPeer, pFilter, nullptr) == 0) return VQX_RESULT_API_OK;
  return VqxSendRemoteFilterDestroyNumber(hLib, pPeer, pFilter->un32FilterNumber);
}

VQX_RESULT VqxSendRemoteFilterModify(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_FILTER_CONTEXT* pFilter) {
  if (OldPeer(pPeer)) return VQX_RESULT_API_OK;
  if (pPeer->un32BuildNumber < VQX_PEER_BUILD_FILTER_REPLACE) {
    const u32 hAdapter = pPeer->hAdapter;
    const VQX_RESULT result = VqxSendRemoteFilterDestroyNumber(hLib, pPeer, pFilter->un32FilterNumber);
    if (VQX_RESULT_FAILED(result)) return result;
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return VQX_RESULT_API_INVALID_ADA_HANDLE;
  }
  return VqxSendRemoteFilterCreate(hLib, pPeer, pFilter);
}

VQX_RESULT VqxSendRemoteFilterDone(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  if (OldPeer(pPeer)) return VQX_RESULT_API_OK;
  VQX_MSG_HANDLE hMsg = NewRequest(hLib, pPeer, VQX_MSG_ID_GW_OP_HOST_FILTER_DONE, kShortPayload);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  return SendRequest(hLib, hMsg);
}

VQX_RESULT VqxSendRemoteFlowControlLevel(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  if (pPeer->fAdapter == 0 || pPeer->un32BuildNumber <= VQX_PEER_BUILD_FLOW_LEVEL) return VQX_RESULT_API_OK;
  VQX_MSG_HANDLE hMsg = NewRequest(hLib, pPeer, VQX_MSG_ID_GW_OP_FLOW_CONTROL_LEVEL, kShortPayload);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  Put32(hMsg, kOffsetWord12, pPeer->un32FlowLevelApi);
  return SendRequest(hLib, hMsg);
}

VQX_RESULT VqxSendAdapterMsgDelay(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32DelayMs) {
  VQX_MSG_HANDLE hMsg = NewRequest(hLib, pPeer, VQX_MSG_ID_GW_OP_ADAPTER_MSG_DELAY, kDelayPayload);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  Put32(hMsg, kOffsetDelay, un32DelayMs > kMaxDelayMs ? kMaxDelayMs : un32DelayMs);
  return SendRequest(hLib, hMsg);
}

void VqxRemoteFiltersConnect(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  const u32 hAdapter = pPeer->hAdapter;
  VqxSendRemoteFilterClear(hLib, pPeer);
  if (VqxLib(hLib)->pvFilters != nullptr) {
    /*
     * One CREATE per active filter in list order. Every send may release the
     * lock: the order is taken first, and each filter and the peer are looked
     * up again before their turn (a filter gone meanwhile is skipped).
     */
    std::vector<u32> numbers;
    for (VQX_FILTER* pF = VqxFilterLib(hLib)->pActiveFirst; pF != nullptr; pF = pF->pNext) {
      numbers.push_back(pF->un32FilterNumber);
    }
    for (const u32 un32Number : numbers) {
      pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
      if (pPeer == nullptr) return;
      VQX_FILTER* pFilter = VqxFilterLib(hLib)->pActiveFirst;
      while (pFilter != nullptr && pFilter->un32FilterNumber != un32Number) pFilter = pFilter->pNext;
      if (pFilter != nullptr) VqxSendRemoteFilterCreate(hLib, pPeer, pFilter);
    }
  }
  pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (pPeer != nullptr && pPeer->fAdapter == 0 && pPeer->un32BuildNumber >= VQX_PEER_BUILD_FILTER_DONE) {
    VqxSendRemoteFilterDone(hLib, pPeer);
  }
}

/* ---------------------------------------------------------------- receiving */

bool VqxPeerHandleGwOpMsg(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, VQX_MSG_HANDLE hMsg) {
  const u32 id = hMsg->un32MsgId;
  if (id < VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR || id > VQX_MSG_ID_GW_OP_HOST_FILTER_DONE) return false;
  if (id == VQX_MSG_ID_GW_OP_PEER_VALUE) {
    if (hMsg->un32PayloadLength >= kShortPayload) pPeer->un32PeerValue = Get32(hMsg, kOffsetWord12);
    VqxMsgReleaseInternal(hLib, hMsg);
    return true;
  }
  if (id == VQX_MSG_ID_GW_OP_HOST_LIST) {
    HandleHostList(hLib, pPeer, hMsg);
    return true;
  }
  if (id == VQX_MSG_ID_GW_OP_ADAPTER_MSG_DELAY || VQX_RESULT_FAILED(VqxRemoteHostFiltersMsgSwap(hLib, hMsg))) {
    VqxMsgReleaseInternal(hLib, hMsg);
    return true;
  }
  if (hMsg->MsgType != VQX_MSG_TYPE_REQUEST) {
    const VQX_RESULT result = hMsg->un32PayloadLength >= kShortPayload ? Get32(hMsg, kOffsetWord12) : 0;
    if (VQX_RESULT_FAILED(result)) {
      for (const ResponseLogRow& row : kResponseLogs) {
        if (row.un32MsgId == id) VQX_LOG_V(hLib, 0, row.pszFormat, result);
      }
    }
    VqxMsgReleaseInternal(hLib, hMsg);
    return true;
  }
  switch (id) {
    case VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR:
      HandleClear(hLib, pPeer, hMsg);
      break;
    case VQX_MSG_ID_GW_OP_HOST_FILTER_CREATE:
      HandleCreate(hLib, pPeer, hMsg);
      break;
    case VQX_MSG_ID_GW_OP_HOST_FILTER_DESTROY:
      HandleDestroy(hLib, pPeer, hMsg);
      break;
    case VQX_MSG_ID_GW_OP_HOST_FILTER_DONE:
      HandleDone(hLib, pPeer, hMsg);
      break;
    default: /* a flow-control level request is the adapters' business */
      VqxMsgReleaseInternal(hLib, hMsg);
      break;
  }
  return true;
}
