/*
 * hostlib_peer.cpp - the records of adapters and remote hosts: made when a
 * path first comes up, updated on each path change reported by the gateway
 * transport glue, reset (adapters) or freed (hosts) when the last path goes.
 * Also the flow-control limits, the release of a peer's send fifo and the
 * list of peers with queued messages. Everything runs under the library lock
 * (the transport callbacks and the public entry points take it).
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "peer/vqx_host_peer_internal.h"
#include "vqx_clock.h"
#include "vqx_gwlib.h"
#include "vqx_hash.h"

namespace {

constexpr const char* kPathAdd = "VqxHostAdapterPathAdd";

VQX_PEER_HOOKS s_Hooks{};

HVQXHASH PeerHash(VQX_LIB_HANDLE hLib) { return static_cast<HVQXHASH>(VqxPeerLib(hLib)->hHashByHandle); }

/* Copies a text into a fixed field, always terminated. */
void CopyText(char* pszDst, size_t dstSize, const char* pszSrc) {
  size_t n = strnlen(pszSrc, dstSize - 1);
  memcpy(pszDst, pszSrc, n);
  memset(pszDst + n, 0, dstSize - n);
}

/* A text field of outside origin, cut at its last byte. */
template <size_t N>
void CopyField(char (&aDst)[N], const char (&aSrc)[N]) {
  memcpy(aDst, aSrc, N);
  aDst[N - 1] = '\0';
}

/* Record name: adapters by serial number (the board's key), hosts by host, application and unique id. */
void PeerName(const VQX_GW_ADAPTER_ADV* pAdapter, const VQX_GW_HOST_ADV* pHost, char* pszName, size_t size) {
  if (pAdapter != nullptr) {
    char szSerial[128];
    char szName[128];
    CopyField(szSerial, pAdapter->Info.szSerialNumber);
    CopyField(szName, pAdapter->Info.szAdapterName);
    CopyText(pszName, size, szSerial[0] != '\0' ? szSerial : szName);
    return;
  }
  char szHost[128];
  char szApp[128];
  CopyField(szHost, pHost->Info.szHostName);
  CopyField(szApp, pHost->Info.szAppName);
  snprintf(pszName, size, "%s-%s-%08X%08X", szHost, szApp, static_cast<u32>(pHost->Info.un64UniqueId >> 32),
           static_cast<u32>(pHost->Info.un64UniqueId));
}

/* The record of that name and kind. */
VQX_PEER* PeerByName(VQX_LIB_HANDLE hLib, const char* pszName, u32 fAdapter) {
  for (VQX_PEER* pPeer : VqxPeerLib(hLib)->apSlots) {
    if (pPeer != nullptr && pPeer->fAdapter == fAdapter && strcmp(pPeer->szName, pszName) == 0) return pPeer;
  }
  return nullptr;
}

/* Adapter information records from a board's advertisement. */
void FillAdapterInfo(VQX_PEER* pPeer, const VQX_GW_ADAPTER_INFO& info) {
  VQX_ADAPTER_INFO& a = pPeer->AdapterInfo;
  memset(&a, 0, sizeof(a));
  a.un32StructVersion = 1;
  a.hAdapter = pPeer->hAdapter;
  a.aun32Discovery[0] = info.aun32Info[0];
  a.aun32Discovery[1] = info.aun32Info[1];
  a.aun32Discovery[2] = info.aun32Info[2];
  a.aun32Discovery[3] = info.un32Info280;
  CopyField(a.szIpAddress0, info.szIpAddress0);
  CopyField(a.szIpAddress1, info.szIpAddress1);
  CopyField(a.szName, info.szAdapterName);
  CopyField(a.szName2, info.szSerialNumber);
  a.un32BuildNumber = info.un32BuildNumber;
  VQX_ADAPTER_INFO_MORE& m = pPeer->AdapterInfoMore;
  memset(&m, 0, sizeof(m));
  m.un32StructVersion = 1;
  memcpy(m.szName, info.aun8Remainder, sizeof(m.szName) - 1);
}

/* Host information record from a host's advertisement. */
void FillHostInfo(VQX_PEER* pPeer, const VQX_GW_HOST_ADV& adv) {
  _VQX_HOST_INFO& h = pPeer->HostInfo;
  memset(&h, 0, sizeof(h));
  h.un32StructVersion = 1;
  h.hAdapter = pPeer->hAdapter;
  h.aun64HostContext[0] = adv.Info.un64HostCtx1;
  h.aun64HostContext[1] = adv.Info.un64HostCtx2;
  CopyField(h.szIpAddress0, adv.Info.szIpAddress0);
  CopyField(h.szIpAddress1, adv.Info.szIpAddress1);
  CopyField(h.szHostName, adv.Info.szHostName);
  CopyField(h.szApplicationName, adv.Info.szAppName);
  h.un32BuildNumber = adv.Info.un32BuildNumber;
  h.un64UniqueHostId = adv.Info.un64UniqueId;
  pPeer->fLocalMachine = strcmp(h.szIpAddress0, VQX_PEER_LOCAL_ADDRESS) == 0 ? 1 : 0;
  /* A host of a non-zero host type also describes itself as an adapter. */
  pPeer->fHostAdapterInfo = adv.un8HostType != 0 ? 1 : 0;
  if (pPeer->fHostAdapterInfo != 0) {
    VQX_ADAPTER_INFO& a = pPeer->AdapterInfo;
    memset(&a, 0, sizeof(a));
    a.un32StructVersion = 1;
    a.hAdapter = pPeer->hAdapter;
    a.aun32Discovery[0] = adv.un8HostType;
    memcpy(a.szIpAddress0, h.szIpAddress0, sizeof(a.szIpAddress0));
    memcpy(a.szIpAddress1, h.szIpAddress1, sizeof(a.szIpAddress1));
    memcpy(a.szName, h.szApplicationName, sizeof(a.szName));
    memcpy(a.szName2, h.szHostName, sizeof(a.szName2));
    a.un32BuildNumber = h.un32BuildNumber;
    pPeer->AdapterInfoMore.un32StructVersion = 1;
    memcpy(pPeer->AdapterInfoMore.szName, h.szHostName, sizeof(pPeer->AdapterInfoMore.szName));
  }
}

/* The advertised addresses changed while the path stayed up. */
bool RefreshAddresses(VQX_PEER* pPeer, const VQX_GW_ADAPTER_ADV* pAdapter, const VQX_GW_HOST_ADV* pHost) {
  char szGw0[64];
  char szGw1[64];
  if (pAdapter != nullptr) {
    CopyField(szGw0, pAdapter->Info.szIpAddress0);
    CopyField(szGw1, pAdapter->Info.szIpAddress1);
  } else {
    CopyField(szGw0, pHost->Info.szIpAddress0);
    CopyField(szGw1, pHost->Info.szIpAddress1);
  }
  char* pszGw0 = pPeer->fAdapter != 0 ? pPeer->AdapterInfo.szIpAddress0 : pPeer->HostInfo.szIpAddress0;
  char* pszGw1 = pPeer->fAdapter != 0 ? pPeer->AdapterInfo.szIpAddress1 : pPeer->HostInfo.szIpAddress1;
  if (strcmp(pszGw0, szGw0) == 0 && strcmp(pszGw1, szGw1) == 0) return false;
  memcpy(pszGw0, szGw0, sizeof(szGw0));
  memcpy(pszGw1, szGw1, sizeof(szGw1));
  return true;
}

/* Pending-acknowledgement flag from the unacknowledged count, with the library-wide count. */
void EvaluatePendingAck(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  const u8 fPending = pPeer->un32RxUnacked > 16383u ? 1 : 0;
  if (fPending == pPeer->fPendingAck) return;
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (fPending != 0) {
    pPl->un32NbPendingAck++;
  } else if (pPl->un32NbPendingAck > 0) {
    pPl->un32NbPendingAck--;
  }
  pPeer->fPendingAck = fPending;
}

void ResetReceiveState(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  pPeer->un32RxSeq = 0;
  pPeer->un32TxAckSeq = 0;
  pPeer->un32RxUnacked = 0;
  pPeer->un32RxBytesSinceAck = 0;
  pPeer->un32PeerAckSeq = 0;
  pPeer->un16RxConnectionCount = 0;
  EvaluatePendingAck(hLib, pPeer);
}

/* The peer's links closed by this library: its own close, or VQXCloseAdaptersGw's or VQXCloseHostsGw's of them. */
bool ClosedByThisLibrary(const VQX_LIB* pLib, const VQX_PEER* pPeer) {
  return pLib->fClosing.load() != 0 ||
         (pPeer->fAdapter != 0 ? pLib->fAdaptersClosing.load() : pLib->fHostsClosing.load()) != 0;
}

VqxGwLibContext PeerGw(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  return static_cast<VqxGwLibContext>(pPeer->fAdapter != 0 ? VqxLib(hLib)->pvAdaptersGw : VqxLib(hLib)->pvHostsGw);
}

/* Frees a record made or kept here: everything it owns, its hash entry and its slot. */
void FreeRecord(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  /* Its messages still in filters are no longer counted as its own: nor in the hosts' total. */
  if (pPeer->fAdapter == 0) {
    pPl->un32HostsMsgsInFilters -= std::min(pPeer->un32MsgsInFilters, pPl->un32HostsMsgsInFilters);
    pPl->un64HostsBytesInFilters -= std::min(pPeer->un64BytesInFilters, pPl->un64HostsBytesInFilters);
  }
  if (pPeer->fInSendList != 0) VqxPeerSendListUnlink(hLib, pPeer);
  if (pPeer->fPendingAck != 0 && pPl->un32NbPendingAck > 0) pPl->un32NbPendingAck--;
  VqxPeerHeldRelease(hLib, pPeer, 0);
  for (u32 p = 0; p < 2; p++) free(pPeer->ahHeldMsg[p]);
  free(pPeer->pahSendFifo);
  free(pPeer->pahTxPending);
  if (pPeer->pvAwait != nullptr && s_Hooks.pFctAwaitUninit != nullptr) s_Hooks.pFctAwaitUninit(hLib, pPeer);
  if (pPeer->fAdapter == 0) VqxRemoteHostFiltersUninit(hLib, pPeer);
  if (pPeer->Frag.hHash != nullptr) VqxFragUninit(hLib, &pPeer->Frag);
  u64 un64Value = 0;
  if (VQXHashFind(PeerHash(hLib), pPeer->hAdapter, &un64Value) == VQX_RESULT_OK &&
      un64Value == reinterpret_cast<u64>(pPeer)) {
    VQXHashRemove(PeerHash(hLib), pPeer->hAdapter, nullptr);
  }
  if (pPl->apSlots[pPeer->un32Slot] == pPeer) {
    pPl->apSlots[pPeer->un32Slot] = nullptr;
    pPl->un32NbRecords--;
  }
  free(pPeer);
}

/* A new record in the first free slot (step 2 of a path-up). Null after logging the reason. */
VQX_PEER* MakeRecord(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 fAdapter, const char* pszName) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  u32 un32Slot = 0, un32Adapters = 0;
  while (un32Slot < VQX_PEER_MAX && pPl->apSlots[un32Slot] != nullptr) un32Slot++;
  for (const VQX_PEER* p : pPl->apSlots) un32Adapters += p != nullptr && p->fAdapter != 0 ? 1 : 0;
  /* Every slot taken, or a board's when the boards hold as many records as the adapters' transport: the record
     kept for the board absent the longest gives its place (its handle and name are kept for a return only while
     there is room). */
  const bool fGive = un32Slot == VQX_PEER_MAX || (fAdapter != 0 && un32Adapters >= VQX_GW_MAX_ADAPTER_PEERS);
  VQX_PEER* pAbsent = nullptr;
  for (u32 i = 0; fGive && i < VQX_PEER_MAX; i++) {
    VQX_PEER* p = pPl->apSlots[i];
    if (p != nullptr && p->fAdapter != 0 && p->fPresent == 0 &&
        (pAbsent == nullptr || p->un64RemovalNumber < pAbsent->un64RemovalNumber))
      pAbsent = p;
  }
  if (pAbsent != nullptr) {
    un32Slot = pAbsent->un32Slot;
    FreeRecord(hLib, pAbsent);
  }
  if (un32Slot == VQX_PEER_MAX) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "Can't alloc adapter from hPoolOfAdapters");
    return nullptr;
  }
  VQX_PEER* pPeer = static_cast<VQX_PEER*>(calloc(1, sizeof(VQX_PEER)));
  if (pPeer == nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "Can't alloc adapter from hPoolOfAdapters");
    return nullptr;
  }
  pPeer->un32Slot = un32Slot;
  pPeer->fAdapter = fAdapter;
  pPeer->hAdapter = hAdapter;
  pPeer->hGwPeer = hAdapter;
  pPl->apSlots[un32Slot] = pPeer;
  pPl->un32NbRecords++;
  if (VQX_RESULT_FAILED(VQXHashInsert(PeerHash(hLib), hAdapter, reinterpret_cast<u64>(pPeer)))) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "Failed to insert adapter into hash of adapter handles");
    FreeRecord(hLib, pPeer);
    return nullptr;
  }
  CopyText(pPeer->szName, sizeof(pPeer->szName), pszName);
  const char* pszFailure = nullptr;
  if (VQX_RESULT_FAILED(VqxFragInit(hLib, &pPeer->Frag))) {
    pszFailure = "Failed to allocate hash table";
  } else if (fAdapter != 0 && s_Hooks.pFctAwaitInit != nullptr && VQX_RESULT_FAILED(s_Hooks.pFctAwaitInit(hLib, pPeer))) {
    pszFailure = "Failed to allocate pool of awaited responses";
  } else if (fAdapter == 0 && VQX_RESULT_FAILED(VqxRemoteHostFiltersInit(hLib, pPeer))) {
    pszFailure = "Failed to allocate hash table";
  }
  if (pszFailure != nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, pszFailure);
    FreeRecord(hLib, pPeer);
    return nullptr;
  }
  const _VQX_LIB_PARAMS& params = VqxLib(hLib)->Params;
  pPeer->fRedundancyOn = 1;
  pPeer->un32PollDelayMs = params.NetworkRedundancy.un32PollDelayMs;
  pPeer->un32AdapterDownDelayMs = params.NetworkRedundancy.un32AdapterDownDelayMs;
  pPeer->un32ByteLimit = VQX_PEER_DEFAULT_BYTE_LIMIT;
  pPeer->un32MsgLimit = VQX_PEER_DEFAULT_MSG_LIMIT;
  pPeer->un32PeerValue = pPl->un32DefaultPeerValue;
  pPeer->un32FlowLevelApi = VQX_PEER_FLOW_LEVEL_NONE;
  pPeer->un32FlowLevelEffective = VQX_PEER_FLOW_LEVEL_MAX;
  return pPeer;
}

/* Both rings are sized from the send fifo size, so neither can overflow whatever that size is. */
VQX_RESULT AllocateRings(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  const u32 un32Size = std::max<u32>(VqxLib(hLib)->Params.un32SendFifoSize, 2u);
  if (pPeer->pahTxPending == nullptr) {
    pPeer->pahTxPending = static_cast<VQX_MSG_HANDLE*>(calloc(un32Size, sizeof(VQX_MSG_HANDLE)));
    if (pPeer->pahTxPending == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    pPeer->un32TxPendingCapacity = un32Size;
  }
  if (pPeer->pahSendFifo == nullptr) {
    pPeer->pahSendFifo = static_cast<VQX_MSG_HANDLE*>(calloc(un32Size, sizeof(VQX_MSG_HANDLE)));
    if (pPeer->pahSendFifo == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    pPeer->un32SendFifoCapacity = un32Size;
  }
  return VQX_RESULT_OK;
}

/* Statistics printout: one block per present peer, labelled by adapter name or host.application. */
void StatsPeers(VQX_LIB_HANDLE hLib, void (*pFctPiece)(VQX_LIB_HANDLE, const char*, ...)) {
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    if (pPeer->fAdapter != 0) {
      pFctPiece(hLib, "    %s:\n", pPeer->AdapterInfo.szName);
    } else {
      pFctPiece(hLib, "    %s.%s:\n", pPeer->HostInfo.szHostName, pPeer->HostInfo.szApplicationName);
    }
    const struct {
      const char* pszName;
      u64 un64Value;
    } rows[] = {{"TxMsg", pPeer->un64TxMsg},
                {"TxMsgRedundant", pPeer->un64TxMsgRedundant},
                {"TxMsgQueued", pPeer->un64TxMsgQueued},
                {"TxPureAck", pPeer->un64TxPureAck},
                {"TxMsgDropped", pPeer->un64TxMsgDropped},
                {"TxRetransmit", pPeer->un64TxRetransmit},
                {"RxMsg", pPeer->un64RxMsg},
                {"RxMsgRedundant", pPeer->un64RxMsgRedundant},
                {"RxPureAck", pPeer->un64RxPureAck},
                {"RxSeq", pPeer->un32RxSeq},
                {"TxSeq", pPeer->un32TxSeq},
                {"RxAckSeq", pPeer->un32PeerAckSeq}};
    for (const auto& row : rows) {
      pFctPiece(hLib, "      %-17s= %llu\n", row.pszName, static_cast<unsigned long long>(row.un64Value));
    }
    pFctPiece(hLib, "      TxAckSeq         = %u (to retransmit) %u (to free)\n", pPeer->un32TxRetransmitStart,
              pPeer->un32TxPendingToFree);
  }
}

/* VqxHostAdapterDown, with the other path read first or not (path down below). */
void AdapterDown(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 fIsGw0, u32 un32Cause, bool fReadOther);

}  // namespace

/* ------------------------------------------------------------- hooks */

void VqxPeerSetHooks(const VQX_PEER_HOOKS* pHooks) { s_Hooks = pHooks != nullptr ? *pHooks : VQX_PEER_HOOKS{}; }
const VQX_PEER_HOOKS* VqxPeerHooks() { return &s_Hooks; }

/* ---------------------------------------------------------- life cycle */

VQX_RESULT VqxHostAdapterInit(VQX_LIB_HANDLE hLib) {
  VQX_PEER_LIB* pPl = new (std::nothrow) VQX_PEER_LIB{};
  if (pPl == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxHostAdapterInit: %s\n", "Can't alloc hPoolOfAdapters");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  /* The utility hash takes a maximum entry count: one entry per record. */
  pPl->hHashByHandle = VQXHashCreateWithKeyInternal(VQX_PEER_MAX, "hHashOfAdaptersHandle", 0);
  if (pPl->hHashByHandle == nullptr) {
    VQX_LOG_V(hLib, 0, "VqxHostAdapterInit: %s\n", "Can't alloc hHashOfAdaptersHandle");
    delete pPl;
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  const i32 level = VqxLib(hLib)->Params.NetworkRedundancy.FlowControlMode;
  pPl->un32DefaultFlowLevel = level == 0 ? VQX_PEER_FLOW_LEVEL_NONE : static_cast<u32>(level);
  VqxLib(hLib)->pvPeers = pPl;
  VqxLib(hLib)->pFctStatsPeers = StatsPeers;
  return VQX_RESULT_OK;
}

void VqxHostAdapterUninit(VQX_LIB_HANDLE hLib) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr) return;
  for (u32 i = 0; i < VQX_PEER_MAX; i++) {
    VQX_PEER* pPeer = pPl->apSlots[i];
    if (pPeer == nullptr) continue;
    /* No notification: the filters are gone by now. */
    pPeer->fAddedNotified = 0;
    VqxHostAdapterRemove(hLib, pPeer, 1);
  }
  if (VQX_RESULT_FAILED(VQXHashDestroy(static_cast<HVQXHASH>(pPl->hHashByHandle)))) {
    VQX_LOG_V(hLib, 0, "VqxHostAdapterUninit: %s\n", "Can't Destroy hHashOfAdaptersHandle");
  }
  if (pPl->pWaitSentEvent != nullptr) VqxHostLibEventDestroy(hLib, pPl->pWaitSentEvent);
  VqxLib(hLib)->pFctStatsPeers = nullptr;
  VqxLib(hLib)->pvPeers = nullptr;
  delete pPl;
}

/* ------------------------------------------------------------- lookups */

VQX_PEER* VqxHostAdapterOrHostByHandle(VQX_LIB_HANDLE hLib, u32 hAdapter) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr) return nullptr;
  u64 un64Value = 0;
  if (VQXHashFind(static_cast<HVQXHASH>(pPl->hHashByHandle), hAdapter, &un64Value) != VQX_RESULT_OK) return nullptr;
  return reinterpret_cast<VQX_PEER*>(un64Value);
}

VQX_PEER* VqxHostAdapterByHandle(VQX_LIB_HANDLE hLib, u32 hAdapter) {
  VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  return pPeer != nullptr && pPeer->fAdapter != 0 ? pPeer : nullptr;
}

VQX_PEER* VqxHostRemoteHostByHandle(VQX_LIB_HANDLE hLib, u32 hAdapter) {
  VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  return pPeer != nullptr && pPeer->fAdapter == 0 ? pPeer : nullptr;
}

VQX_PEER* VqxHostAdapterByPath(VQX_LIB_HANDLE hLib, const char* pszName) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr) return nullptr;
  for (VQX_PEER* pPeer : pPl->apSlots) {
    if (pPeer != nullptr && strcmp(pPeer->szName, pszName) == 0) return pPeer;
  }
  return nullptr;
}

VQX_PEER* VqxPeerFirst(VQX_LIB_HANDLE hLib) { return VqxPeerNext(hLib, nullptr); }

VQX_PEER* VqxPeerNext(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPl == nullptr) return nullptr;
  for (u32 i = pPeer == nullptr ? 0 : pPeer->un32Slot + 1; i < VQX_PEER_MAX; i++) {
    if (pPl->apSlots[i] != nullptr && pPl->apSlots[i]->fPresent != 0) return pPl->apSlots[i];
  }
  return nullptr;
}

/* ------------------------------------------------------ acknowledgement */

bool VqxPeerAwaitingAck(const VQX_PEER* pPeer) {
  if (pPeer->un32TxPendingCount == 0) return false;
  /* The ring also keeps what the peer acknowledged but the transport still holds: that awaits nothing. */
  return static_cast<i32>(pPeer->un32TxSeq - pPeer->un32PeerAckSeq) > 0;
}

/* ------------------------------------------------------ flow control */

void VqxHostAdapterSetFlowControlLimit(VQX_PEER* pPeer, u32 un32ByteLimit, u32 un32MsgLimit) {
  pPeer->un32ByteLimit = un32ByteLimit;
  pPeer->un32MsgLimit = un32MsgLimit;
  const u32 un32Level = pPeer->un32FlowLevelEffective;
  if (un32Level == 0) return;
  pPeer->un32ByteLimit /= un32Level;
  pPeer->un32MsgLimit /= un32Level;
  if (pPeer->fHalveLimits != 0) {
    pPeer->un32ByteLimit /= 2;
    pPeer->un32MsgLimit /= 2;
  }
  pPeer->un32ByteLimit = std::max<u32>(pPeer->un32ByteLimit, 1);
  pPeer->un32MsgLimit = std::max<u32>(pPeer->un32MsgLimit, 1);
}

void VqxPeerApplyFlowLevel(VQX_PEER* pPeer, u32 un32Level) {
  if (un32Level == VQX_PEER_FLOW_LEVEL_NONE) {
    pPeer->un32FlowLevelApi = un32Level;
    pPeer->un32FlowLevelEffective = VQX_PEER_FLOW_LEVEL_MAX;
  } else if (un32Level > VQX_PEER_FLOW_LEVEL_MAX) {
    pPeer->un32FlowLevelApi = VQX_PEER_FLOW_LEVEL_MAX;
    pPeer->un32FlowLevelEffective = VQX_PEER_FLOW_LEVEL_MAX;
  } else {
    pPeer->un32FlowLevelApi = un32Level;
    if (un32Level != 0) pPeer->un32FlowLevelEffective = un32Level;
  }
}

/* ---------------------------------------------------------- path up */

VQX_RESULT VqxHostAdapterPathAdd(VQX_LIB_HANDLE hLib, u32 hAdapter, const void* pvAdapterAdv, const void* pvHostAdv,
                                 u32 fIsGw0) {
  VQX_LIB* pLib = VqxLib(hLib);
  const auto* pAdapter = static_cast<const VQX_GW_ADAPTER_ADV*>(pvAdapterAdv);
  const auto* pHost = static_cast<const VQX_GW_HOST_ADV*>(pvHostAdv);
  if ((pAdapter == nullptr) == (pHost == nullptr) || VqxPeerLib(hLib) == nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  /* 1. Name and build. */
  char szName[VQX_PEER_NAME_SIZE];
  PeerName(pAdapter, pHost, szName, sizeof(szName));
  const u32 un32Build = pAdapter != nullptr ? pAdapter->Info.un32BuildNumber : pHost->Info.un32BuildNumber;
  const u32 un32Path = VqxPeerPathIndex(fIsGw0);
  {
    char szGw0[64];
    char szGw1[64];
    CopyField(szGw0, pAdapter != nullptr ? pAdapter->Info.szIpAddress0 : pHost->Info.szIpAddress0);
    CopyField(szGw1, pAdapter != nullptr ? pAdapter->Info.szIpAddress1 : pHost->Info.szIpAddress1);
    VqxHostGuessLocalIPs(hLib, szGw0, szGw1);
  }

  /* 2. Find or make the record (a board and a host are never one record, whatever their names). */
  const u32 fAdapter = pAdapter != nullptr ? 1u : 0u;
  VQX_PEER* pPeer = PeerByName(hLib, szName, fAdapter);
  if (pPeer != nullptr && pPeer->hAdapter != hAdapter && VqxPeerActive(pPeer)) {
    /*
     * The same board or host under a new handle while still present under its old one: the old
     * handle's paths go down first (Reconnected), so that applications hear it removed before the
     * new handle comes up, and no notification names the record under two handles.
     */
    const u32 hOld = pPeer->hAdapter;
    AdapterDown(hLib, hOld, 1, VQX_PEER_CAUSE_RECONNECTED, false);
    AdapterDown(hLib, hOld, 0, VQX_PEER_CAUSE_RECONNECTED, false);
    pPeer = PeerByName(hLib, szName, fAdapter); /* a host's record went with its last path */
  }
  /* The transport gives handles: one kept for a board of another name that left is given up. */
  VQX_PEER* pHolder = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (pHolder != nullptr && pHolder != pPeer && !VqxPeerActive(pHolder)) VqxHostAdapterRemove(hLib, pHolder, 1);
  bool fNew = false;
  if (pPeer != nullptr && pPeer->hAdapter != hAdapter) {
    /* The same board or host under a new handle: move its hash entry. */
    VQXHashRemove(PeerHash(hLib), pPeer->hAdapter, nullptr);
    if (VQX_RESULT_FAILED(VQXHashInsert(PeerHash(hLib), hAdapter, reinterpret_cast<u64>(pPeer)))) {
      VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "Failed to insert adapter into hash of adapter handles");
      /* Out of the hash now: freed here, since a removal finds records by handle. */
      FreeRecord(hLib, pPeer);
      pPeer = nullptr;
    } else {
      pPeer->hAdapter = pPeer->hGwPeer = hAdapter;
    }
  }
  if (pPeer == nullptr) {
    pPeer = MakeRecord(hLib, hAdapter, fAdapter, szName);
    fNew = true;
  }
  if (pPeer == nullptr || (fNew && VQX_RESULT_FAILED(AllocateRings(hLib, pPeer)))) {
    if (pPeer != nullptr) {
      VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
      FreeRecord(hLib, pPeer);
    }
    /* A link without a record would stay up and deaf: close it. */
    VqxGwLibContext hGw = static_cast<VqxGwLibContext>(pAdapter != nullptr ? pLib->pvAdaptersGw : pLib->pvHostsGw);
    if (hGw != nullptr) VqxGwLibForceDisconnect(hGw, hAdapter, 1, 1);
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }

  /* 3. Build and path state. */
  pPeer->un32BuildNumber = un32Build;
  pPeer->un32ProtocolVersion = pAdapter != nullptr ? pAdapter->un8NewInfo : pHost->un8NewInfo;
  if (pPeer->afPathUp[un32Path] != 0) {
    RefreshAddresses(pPeer, pAdapter, pHost);
    return VQX_RESULT_API_OK;
  }
  const bool fFirst = pPeer->afPathUp[0] == 0 && pPeer->afPathUp[1] == 0;
  pPeer->afPathUp[un32Path] = 1;
  pPeer->aun32RxCutLost[un32Path] = 0;
  pPeer->afDownWaiting[un32Path] = 0;
  VqxHostLibRefreshNow(hLib);
  pPeer->aun64PathUpTime[un32Path] = pLib->un64Now;

  /* 4. First path: the peer becomes present. */
  if (fFirst) {
    pPeer->fPresent = 1;
    pPeer->fAddedNotified = 0;
    pPeer->fFilterDone = 0;
    ResetReceiveState(hLib, pPeer);
    pPeer->un16ConnectionCount = pPeer->un16ConnectionCount >= VQX_PEER_CONNECTION_COUNT_MAX
                                     ? 1
                                     : static_cast<u16>(pPeer->un16ConnectionCount + 1);
    if (pAdapter != nullptr) {
      FillAdapterInfo(pPeer, pAdapter->Info);
    } else {
      FillHostInfo(pPeer, *pHost);
    }
    if (un32Build > VQX_HOSTLIB_BUILD_NUMBER) {
      VQX_LOG_V(hLib, 0, "**** WARNING: '%s' runs build number 0x%0X more recent than current host (0x%0X)\n",
                pPeer->szName, un32Build, VQX_HOSTLIB_BUILD_NUMBER);
    }
    if (VQX_RESULT_FAILED(AllocateRings(hLib, pPeer))) {
      VQX_LOG_V(hLib, 0, "%s: %s\n", kPathAdd, "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
      pPeer->afPathUp[un32Path] = 0;
      pPeer->fPresent = 0;
      VqxGwLibContext hGw = PeerGw(hLib, pPeer);
      if (hGw != nullptr) VqxGwLibForceDisconnect(hGw, hAdapter, 1, 1);
      return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    }
    if (pPeer->fAdapter != 0 || un32Build < VQX_PEER_BUILD_FILTER_DONE) {
      /* Announced at once: nothing more is awaited from it before its messages count. */
      pPeer->fFilterDone = 1;
      if (pPeer->fAdapter == 0) pPeer->fFiltersComplete = 1;
      VqxHostSendAdapterAddedEvent(hLib, pPeer, nullptr);
    }
    if (fNew) pPeer->un32FlowLevelApi = VqxPeerLib(hLib)->un32DefaultFlowLevel;
    pLib->Counters.AdapterAdd++;
    VqxRemoteFiltersConnect(hLib, pPeer);
    /* The connection sequence sends: look the record up again in case a send released the lock. */
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return VQX_RESULT_API_OK;
    VqxPeerApplyFlowLevel(pPeer, pPeer->un32FlowLevelApi);
    VqxHostAdapterSetFlowControlLimit(pPeer, VQX_PEER_DEFAULT_BYTE_LIMIT, VQX_PEER_DEFAULT_MSG_LIMIT);
    if (pPeer->fAdapter != 0) VqxSendRemoteFlowControlLevel(hLib, pPeer);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return VQX_RESULT_API_OK;
  } else {
    pLib->Counters.AdapterHAAdd++;
  }

  /* 5. Path-up notification; redundancy not established while messages await acknowledgement. */
  VqxHostSendGwUpEvent(hLib, pPeer, un32Path, nullptr);
  /* Both paths up with nothing owed: redundancy stands (whatever the transport still keeps). */
  pPeer->fSinglePath = VqxPeerAwaitingAck(pPeer) ? 1 : 0;
  /*
   * A path made again lets the transport choose its path in use anew; the path it leaves drops
   * what it had not written yet. Everything the peer has not acknowledged goes again, after
   * whatever is already queued (the peer drops what it already has).
   */
  if (pPeer->fSinglePath != 0 && pPeer->afPathUp[1 - un32Path] != 0) {
    pPeer->fTxRetransmitting = 1;
    const bool fAckAhead = static_cast<i32>(pPeer->un32PeerAckSeq - pPeer->un32TxPendingToFree) > 0;
    const u32 un32From = fAckAhead ? pPeer->un32PeerAckSeq : pPeer->un32TxPendingToFree;
    pPeer->un32TxRetransmitStart = un32From + 1 == 0 ? 1u : un32From + 1;
  }
  EvaluatePendingAck(hLib, pPeer);
  return VQX_RESULT_API_OK;
}

/* -------------------------------------------------------- path down */

namespace {

/* fReadOther: a path that goes along with this one is read by the transport before it is closed (see
   VqxHostAdapterDown); else it is dropped at once (the same board under a new handle: the old one's links). */
void AdapterDown(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 fIsGw0, u32 un32Cause, bool fReadOther) {
  VQX_PEER* pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  const u32 un32Path = VqxPeerPathIndex(fIsGw0);
  if (pPeer == nullptr || pPeer->fPresent == 0 || pPeer->afPathUp[un32Path] == 0) return;
  /* Its loss waits for the other path's (a report of the other repeats its state): told already. */
  if (pPeer->afDownWaiting[un32Path] != 0) return;
  VQX_LIB* pLib = VqxLib(hLib);

  /* 2. Which paths go, with which cause. */
  u32 afDown[2] = {0, 0};
  u32 aun32Cause[2] = {0, 0};
  afDown[un32Path] = 1;
  aun32Cause[un32Path] = un32Cause;
  const u32 un32Other = 1 - un32Path;
  VqxGwLibContext hGw = PeerGw(hLib, pPeer);
  if (pPeer->afDownWaiting[un32Other] != 0) {
    /* The path taken along, read and closed now: both go, each with its cause, as if at once. */
    pPeer->afDownWaiting[un32Other] = 0;
    afDown[un32Other] = 1;
    aun32Cause[un32Other] = pPeer->aun32DownWaitingCause[un32Other];
    aun32Cause[un32Path] = VQX_PEER_CAUSE_REDUNDANCY_NOT_ESTABLISHED;
  } else if (pPeer->fSinglePath != 0 && pPeer->afPathUp[un32Other] != 0) {
    /*
     * The other path goes along. What its link's TCP took from the peer is delivered first, as the peer counts it
     * sent: the transport reads the link before it closes it and reports it down, and both paths go then. Until
     * that report the record stays as it is; the transport's close is bounded (what its socket holds).
     */
    if (fReadOther && hGw != nullptr &&
        VQX_RESULT_SUCCEEDED(VqxGwLibForceDisconnectRead(hGw, hAdapter, un32Other == VQX_PEER_PATH_GW0 ? 1 : 0,
                                                         un32Other == VQX_PEER_PATH_GW1 ? 1 : 0))) {
      pPeer->afDownWaiting[un32Path] = 1;
      pPeer->aun32DownWaitingCause[un32Path] = un32Cause;
      return;
    }
    afDown[un32Other] = 1;
    aun32Cause[un32Other] = VQX_PEER_CAUSE_REDUNDANCY_NOT_ESTABLISHED;
  }
  /* What the closing of each link cut is lost, unless a path that stays up brings it again: a peer that keeps
     what it sent until acknowledged sends it again there. */
  u32 aun32Lost[2] = {0, 0};
  for (u32 p = 0; p < 2; p++) {
    if (afDown[p] == 0) continue;
    aun32Lost[p] = pPeer->aun32RxCutLost[p];
    pPeer->aun32RxCutLost[p] = 0;
    const u32 q = 1 - p;
    if (aun32Lost[p] != 0 && afDown[q] == 0 && pPeer->afPathUp[q] != 0 &&
        pPeer->un32BuildNumber >= VQX_PEER_BUILD_RETRANSMIT) {
      VQX_LOG_V(hLib, 3, "%s: gw%u closed within a batch, its %u message(s) to come again on gw%u\n", pPeer->szName, p,
                aun32Lost[p], q);
      aun32Lost[p] = 0;
    }
  }
  /* 3. Take them down and have the transport drop them. */
  for (u32 p = 0; p < 2; p++) {
    if (afDown[p] == 0) continue;
    pPeer->afPathUp[p] = 0;
    if (hGw != nullptr) VqxGwLibForceDisconnect(hGw, hAdapter, p == VQX_PEER_PATH_GW0 ? 1 : 0, p == VQX_PEER_PATH_GW1 ? 1 : 0);
  }
  /* No path left to bring what is missing: what the peer holds is delivered before it is reported gone. A
     path that stays up may still bring it (or the hold times out). */
  if (pPeer->afPathUp[0] == 0 && pPeer->afPathUp[1] == 0) {
    VqxPeerHeldRelease(hLib, pPeer, 1);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return;
  }
  /* 4. Notifications, gw0 first. */
  for (u32 p = 0; p < 2; p++) {
    if (afDown[p] == 0) continue;
    const u32 un32Reported = ClosedByThisLibrary(pLib, pPeer) ? u32{VQX_PEER_CAUSE_CLOSING} : aun32Cause[p];
    pPeer->un32LastCause = un32Reported;
    VqxHostSendGwDownEvent(hLib, pPeer, p, un32Reported, aun32Lost[p], nullptr);
  }
  /* 5. Redundancy and acknowledgement bookkeeping. */
  if (VqxPeerAwaitingAck(pPeer)) {
    pPeer->fSinglePath = 1;
    /* What the lost path carried and the peer did not acknowledge goes again on the other path. */
    pPeer->fTxRetransmitting = 1;
    pPeer->un32TxRetransmitStart = pPeer->un32TxPendingToFree + 1;
  }
  pPeer->un32RxUnacked = 0;
  pPeer->un32RxBytesSinceAck = 0;
  EvaluatePendingAck(hLib, pPeer);

  /* 6. Last path gone. */
  if (pPeer->afPathUp[0] != 0 || pPeer->afPathUp[1] != 0) return;
  pPeer->fPresent = 0;
  if (pPeer->fAdapter != 0) {
    if (s_Hooks.pFctAwaitDiscardAll != nullptr) s_Hooks.pFctAwaitDiscardAll(hLib, pPeer);
    pPeer->un64AwaitBytesSent = 0;
    pPeer->un64AwaitBytesReceived = 0;
    pPeer->un32AwaitCount = 0;
  }
  VqxHostSendAdapterRemovedEvent(hLib, pPeer, nullptr);
  VqxHostAdapterRemove(hLib, pPeer, pPeer->fAdapter == 0 ? 1 : 0);
}

}  // namespace

void VqxHostAdapterDown(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 fIsGw0, u32 un32Cause) {
  AdapterDown(hLib, hAdapter, fIsGw0, un32Cause, true);
}

/* ------------------------------------------------------------- remove */

namespace {

/* What a peer takes with it as it is removed: its send fifo, never handed to the transport (lost), and what it had not
   acknowledged of what was: counted (VQXGetTxAccount), and said at the error level when something may have been lost
   with its links; not when this library closed them, which its user asked for after its own wait (the framework's
   close says what its wait left). Only the peer can say it took everything: by acknowledging it (a closing library
   acknowledges all it received before it closes its links). A link its peer closed is no such word: a killed
   process's socket closes as cleanly once it had read all it was sent, and what it read is gone with it. */
void TellSentLoss(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  const u32 un32Queued = pPeer->pahSendFifo != nullptr ? pPeer->un32SendFifoCount : 0;
  const u32 un32Unacked = VqxPeerUnacked(pPeer);
  if (un32Queued == 0 && un32Unacked == 0) return;
  pLib->Counters.TxMsgDropped += un32Queued;
  pPeer->un64TxMsgDropped += un32Queued;
  pPl->un64TxDropped += un32Queued;
  pPl->un64TxUnackedFreed += un32Unacked;
  if (ClosedByThisLibrary(pLib, pPeer)) return;
  /* Only this library's own remote-filter messages unacknowledged (the answer to a filter the peer destroyed just
     before it closed, say): nothing its user sent is missing. */
  if (un32Queued == 0 && VqxPeerUnackedOwn(pPeer) >= un32Unacked) {
    VQX_LOG_V(hLib, 3, "%s removed with only %u remote-filter message(s) of this library not acknowledged\n",
              pPeer->szName, un32Unacked);
    return;
  }
  VQX_LOG_V(hLib, 0, "%s removed with %u sent message(s) not taken, dropped, and %u not acknowledged\n", pPeer->szName,
            un32Queued, un32Unacked);
}

}  // namespace

void VqxHostAdapterRemove(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 fFree) {
  VQX_LIB* pLib = VqxLib(hLib);
  const u32 hAdapter = pPeer->hAdapter;
  pLib->Counters.AdapterRem++;
  pPeer->un64RemovalNumber = ++VqxPeerLib(hLib)->un64Removals;
  pPeer->fPresent = 0;
  pPeer->fFiltersComplete = 0;
  pPeer->fFilterDone = 0;
  pPeer->afPathUp[0] = pPeer->afPathUp[1] = 0;
  TellSentLoss(hLib, pPeer); /* before its numbering is reset */
  pPeer->afDownWaiting[0] = pPeer->afDownWaiting[1] = 0;
  pPeer->fSinglePath = 0;
  pPeer->fTxRetransmitting = 0;
  pPeer->un32TxSeq = 0;
  pPeer->un32TxPendingToFree = 0;
  pPeer->un16ConnectionCount = 0;
  VqxPeerHeldRelease(hLib, pPeer, 0);
  ResetReceiveState(hLib, pPeer);
  VqxHostFreeAdapterSendFifo(hLib, pPeer);
  /* The status callback may have released the lock: the record can be gone. */
  pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
  if (pPeer == nullptr) return;
  if (pPeer->Frag.hHash != nullptr) VqxFragPendingFree(hLib, &pPeer->Frag);
  if (pLib->pvFilters != nullptr) VqxHostAwakeImplictitFilters(hLib, hAdapter);
  if (fFree != 0) FreeRecord(hLib, pPeer);
}

/* ---------------------------------------------------------- send fifo */

void VqxPeerSendListLink(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPeer->fInSendList != 0) return;
  pPeer->pSendNext = nullptr;
  pPeer->pSendPrev = pPl->pSendLast;
  if (pPl->pSendLast != nullptr) {
    pPl->pSendLast->pSendNext = pPeer;
  } else {
    pPl->pSendFirst = pPeer;
  }
  pPl->pSendLast = pPeer;
  pPl->un32NbInSendList++;
  pPeer->fInSendList = 1;
}

void VqxPeerSendListUnlink(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  if (pPeer->fInSendList == 0) return;
  if (pPeer->pSendPrev != nullptr) {
    pPeer->pSendPrev->pSendNext = pPeer->pSendNext;
  } else {
    pPl->pSendFirst = pPeer->pSendNext;
  }
  if (pPeer->pSendNext != nullptr) {
    pPeer->pSendNext->pSendPrev = pPeer->pSendPrev;
  } else {
    pPl->pSendLast = pPeer->pSendPrev;
  }
  pPeer->pSendNext = pPeer->pSendPrev = nullptr;
  pPeer->fInSendList = 0;
  pPl->un32NbInSendList--;
  if (pPl->un32NbInSendList == 0 && pPl->pWaitSentEvent != nullptr) VqxHostLibEventSet(hLib, pPl->pWaitSentEvent);
}

void VqxHostFreeAdapterSendFifo(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  /* Acknowledgement ring first, oldest first. */
  while (pPeer->un32TxPendingCount > 0 && pPeer->pahTxPending != nullptr) {
    VQX_MSG_HANDLE& hSlot = pPeer->pahTxPending[pPeer->un32TxPendingHead];
    if (hSlot != nullptr) VqxMsgReleaseInternal(hLib, hSlot);
    hSlot = nullptr;
    pPeer->un32TxPendingHead = (pPeer->un32TxPendingHead + 1) % pPeer->un32TxPendingCapacity;
    pPeer->un32TxPendingCount--;
  }
  pPeer->un32TxPendingCount = 0;
  pPeer->un32TxPendingHead = 0;
  pPeer->un64TxPendingBytes = 0;
  const u32 un32Half = pLib->Params.un32SendFifoSize / 2;
  while (pPeer->un32SendFifoCount > 0 && pPeer->pahSendFifo != nullptr) {
    VQX_MSG_HANDLE& hSlot = pPeer->pahSendFifo[pPeer->un32SendFifoHead];
    if (hSlot != nullptr) VqxMsgReleaseInternal(hLib, hSlot);
    hSlot = nullptr;
    pPeer->un32SendFifoHead = (pPeer->un32SendFifoHead + 1) % pPeer->un32SendFifoCapacity;
    pPeer->un32SendFifoCount--;
    if (pPl->un64TxPending > 0) pPl->un64TxPending--;
    if (pPeer->un32SendFifoCount == un32Half && pPeer->fHighWatermarkWarned != 0) {
      VQX_LOG_V(hLib, 0, "NOTE: High watermark warning cleared for %s (now down to %u Tx in send fifo filters)\n",
                pPeer->szName, pPeer->un32SendFifoCount);
      pPeer->fHighWatermarkWarned = 0;
    }
  }
  pPeer->un32SendFifoCount = 0;
  pPeer->un32SendFifoHead = 0;
  VqxPeerSendListUnlink(hLib, pPeer);
  if (pLib->Params.pFctStatusCallback != nullptr && pPeer->fWatermarkReported != pPeer->fHighWatermarkWarned) {
    pPeer->fWatermarkReported = pPeer->fHighWatermarkWarned;
    _VQX_LIB_ERROR_INFO info{VQX_LIB_STATUS_TX_WATERMARK, pPeer->un32SendFifoCount, pPeer->fHighWatermarkWarned, 0};
    _VQX_LIB_ERROR_ACTION action{0};
    const PFCT_VQX_LIB_STATUS pFct = pLib->Params.pFctStatusCallback;
    void* pvContext = pLib->Params.pvStatusContext;
    const u32 hAdapter = pPeer->hAdapter;
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    pFct(pvContext, hLib, hAdapter, &info, &action);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
}

/* ------------------------------------------------- filter layer hooks */

void VqxPeerFilterActivated(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter) {
  if (VqxPeerLib(hLib) == nullptr || pFilter->fImplicit != 0) return;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    if (pPeer->fAdapter == 0 && pPeer->fFiltersComplete == 0) continue;
    VqxHostSendAdapterAddedEvent(hLib, pPeer, pFilter);
    VqxHostSendGwUpEvent(hLib, pPeer, VQX_PEER_PATH_GW0, pFilter);
    VqxHostSendGwUpEvent(hLib, pPeer, VQX_PEER_PATH_GW1, pFilter);
  }
}

void VqxPeerFilterCreated(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter) {
  if (VqxPeerLib(hLib) == nullptr) return;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    const u32 hAdapter = pPeer->hAdapter;
    VqxSendRemoteFilterCreate(hLib, pPeer, pFilter);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return; /* went away while a send waited: the others are told on their next path-up */
  }
}

void VqxPeerFilterDestroyed(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter) {
  if (VqxPeerLib(hLib) == nullptr) return;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    const u32 hAdapter = pPeer->hAdapter;
    VqxSendRemoteFilterDestroy(hLib, pPeer, pFilter);
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return;
  }
}

void VqxPeerFilterModifyBegin(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter, u8* pafConcerned) {
  memset(pafConcerned, 0, VQX_PEER_MAX);
  if (VqxPeerLib(hLib) == nullptr) return;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    pafConcerned[pPeer->un32Slot] = VqxAdapterFilterTestMatch(hLib, pPeer, pFilter, nullptr) != 0 ? 1 : 0;
  }
}

void VqxPeerFilterModifyEnd(VQX_LIB_HANDLE hLib, _VQX_FILTER_CONTEXT* pFilter, const u8* pafConcerned) {
  if (VqxPeerLib(hLib) == nullptr) return;
  for (VQX_PEER* pPeer = VqxPeerFirst(hLib); pPeer != nullptr; pPeer = VqxPeerNext(hLib, pPeer)) {
    const u32 hAdapter = pPeer->hAdapter;
    const bool fBefore = pafConcerned[pPeer->un32Slot] != 0;
    const bool fNow = VqxAdapterFilterTestMatch(hLib, pPeer, pFilter, nullptr) != 0;
    if (!fBefore && fNow) {
      VqxSendRemoteFilterCreate(hLib, pPeer, pFilter);
    } else if (fBefore && fNow) {
      VqxSendRemoteFilterModify(hLib, pPeer, pFilter);
    } else if (fBefore && !fNow) {
      /* The destroy of a filter that no longer concerns the peer must still go: send it unconditionally. */
      VqxSendRemoteFilterDestroyNumber(hLib, pPeer, pFilter->un32FilterNumber);
    }
    pPeer = VqxHostAdapterOrHostByHandle(hLib, hAdapter);
    if (pPeer == nullptr) return;
  }
}

/* ------------------------------------------------------- registration */

namespace {

struct VqxPeerRegistrar {
  VqxPeerRegistrar() {
    const VQX_HOSTLIB_PART peers = {"Adapter init failed", VqxHostAdapterInit, VqxHostAdapterUninit, nullptr};
    VqxHostLibSetPart(VQX_HOSTLIB_PART_PEERS, &peers);
  }
};
const VqxPeerRegistrar s_Registrar;

}  // namespace

/* The source counts the filter layer keeps through its hooks (filter/vqx_filter_internal.h). */

VQX_PEER* VqxMsgSource(VQX_LIB_HANDLE hLib, const _VQX_MSG_HEADER* pMsg) {
  if (VqxLib(hLib)->pvPeers == nullptr) return nullptr;
  if ((pMsg->hAdapter & 0xFFFF0000u) == VQX_HOSTLIB_ADAPTER_HANDLE) return nullptr;
  return VqxHostAdapterOrHostByHandle(hLib, pMsg->hAdapter);
}

/* Receive watermark: (2 x L + 4) / 3 messages waiting in filters, L their bound (a source's: the receive fifo size). */
namespace {
u32 VqxRxHighWatermark(u32 un32Max) { return (2u * un32Max + 4u) / 3u; }
}  // namespace

u32 VqxHostsRxMsgsMax(VQX_LIB_HANDLE hLib) {
  return std::min(VqxLib(hLib)->Params.un32ReceiveFifoSize, VQX_HOSTS_RX_MSGS_MAX);
}

bool VqxHostsRxFull(VQX_LIB_HANDLE hLib) {
  const VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  return pPl != nullptr && (pPl->un32HostsMsgsInFilters >= VqxHostsRxMsgsMax(hLib) ||
                            pPl->un64HostsBytesInFilters >= VQX_HOSTS_RX_BYTES_MAX);
}

bool VqxHostsRxCleared(VQX_LIB_HANDLE hLib) {
  const VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  return pPl == nullptr || (pPl->un32HostsMsgsInFilters <= VqxHostsRxMsgsMax(hLib) / 2 &&
                            pPl->un64HostsBytesInFilters <= VQX_HOSTS_RX_BYTES_MAX / 2);
}

void VqxSourceCountPosted(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_MSG_HEADER* pMsg) {
  const u32 un32Watermark = VqxRxHighWatermark(VqxLib(hLib)->Params.un32ReceiveFifoSize);
  if (pPeer->un32MsgsInFilters == un32Watermark && pPeer->un32FlowLevelRequested == 0) {
    pPeer->un32FlowLevelRequested = 1;
    VQX_LOG_V(hLib, 0, "WARNING: High watermark passed for %s (%u Rx msg pending in filters, max is %u)\n",
              pPeer->szName, un32Watermark, VqxLib(hLib)->Params.un32ReceiveFifoSize);
  }
  pPeer->un32MsgsInFilters++;
  if (pPeer->fAdapter != 0) return;
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  const u32 un32HostsMax = VqxHostsRxMsgsMax(hLib);
  if (pPl->fHostsWatermarkWarned == 0 && (pPl->un32HostsMsgsInFilters >= VqxRxHighWatermark(un32HostsMax) ||
                                          pPl->un64HostsBytesInFilters >= 2u * u64{VQX_HOSTS_RX_BYTES_MAX} / 3u)) {
    pPl->fHostsWatermarkWarned = 1;
    const u64 un64Now = VQXGetClock();
    pPl->fHostsWatermarkTold = pPl->un64HostsWatermarkToldMs == 0 || un64Now < pPl->un64HostsWatermarkToldMs ||
                               un64Now - pPl->un64HostsWatermarkToldMs >= 1000u;
    if (pPl->fHostsWatermarkTold != 0) {
      pPl->un64HostsWatermarkToldMs = un64Now;
      VQX_LOG_V(hLib, 0, "WARNING: High watermark passed for remote hosts (%u Rx msg pending in filters, max is %u)\n",
                pPl->un32HostsMsgsInFilters, un32HostsMax);
    }
  }
  pPeer->un64BytesInFilters += pMsg->un32Length;
  pPl->un32HostsMsgsInFilters++;
  pPl->un64HostsBytesInFilters += pMsg->un32Length;
}

void VqxSourceCountPopped(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, const _VQX_MSG_HEADER* pMsg) {
  const bool fCounted = pPeer->un32MsgsInFilters != 0;
  if (fCounted) pPeer->un32MsgsInFilters--;
  const u32 un32Half = VqxLib(hLib)->Params.un32ReceiveFifoSize / 2;
  if (pPeer->un32MsgsInFilters == un32Half && pPeer->un32FlowLevelRequested != 0) {
    pPeer->un32FlowLevelRequested = 0;
    VQX_LOG_V(hLib, 0, "NOTE: High watermark warning cleared for %s (now down to %u Rx msg pending in filters)\n",
              pPeer->szName, pPeer->un32MsgsInFilters);
  }
  if (pPeer->fAdapter != 0 || !fCounted) return;
  VQX_PEER_LIB* pPl = VqxPeerLib(hLib);
  const u64 un64Bytes = std::min<u64>(pMsg->un32Length, pPeer->un64BytesInFilters);
  pPeer->un64BytesInFilters -= un64Bytes;
  pPl->un64HostsBytesInFilters -= std::min(un64Bytes, pPl->un64HostsBytesInFilters);
  if (pPl->un32HostsMsgsInFilters != 0) pPl->un32HostsMsgsInFilters--;
  if (pPl->fHostsWatermarkWarned != 0 && VqxHostsRxCleared(hLib)) {
    pPl->fHostsWatermarkWarned = 0;
    if (pPl->fHostsWatermarkTold != 0) {
      VQX_LOG_V(hLib, 0,
                "NOTE: High watermark warning cleared for remote hosts (now down to %u Rx msg pending in filters)\n",
                pPl->un32HostsMsgsInFilters);
    }
  }
}

bool VqxSourceIsAdapter(const VQX_PEER* pPeer) { return pPeer->fAdapter != 0; }
