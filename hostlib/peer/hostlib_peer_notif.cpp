/*
 * hostlib_peer_notif.cpp - the eight notification messages that tell local
 * filters about adapters and remote hosts: added, removed, path up, path
 * down. Built as events from the record, then dispatched either to one
 * filter (replay to a newly activated filter) or to every active ordinary
 * filter; released when nobody took them. Under the library lock.
 */
#include <string.h>
#include <time.h>

#include "peer/vqx_host_peer_internal.h"

namespace {

/* Payload sizes of the notifications. */
constexpr u32 kAdapterAddedPayload = 424;
constexpr u32 kAdapterRemovedPayload = 424;
constexpr u32 kHostAddedPayload = 432;
constexpr u32 kHostRemovedPayload = 440;
constexpr u32 kGwUpPayload = 152;
constexpr u32 kGwDownPayload = 160;
constexpr u32 kHostRemovedInfoOffset = 16;
constexpr u32 kAdapterRemovedInfoOffset = 12;
static_assert(VQX_NOTIF_OFFSET_INFO + sizeof(VQX_ADAPTER_INFO) + 4 == kAdapterAddedPayload);
static_assert(kAdapterRemovedInfoOffset + sizeof(VQX_ADAPTER_INFO) == kAdapterRemovedPayload);
static_assert(VQX_NOTIF_OFFSET_INFO + sizeof(_VQX_HOST_INFO) == kHostAddedPayload);
static_assert(kHostRemovedInfoOffset + sizeof(_VQX_HOST_INFO) == kHostRemovedPayload);
static_assert(VQX_NOTIF_OFFSET_GW1_ADDRESS + 64 + 4 == kGwUpPayload);
static_assert(VQX_NOTIF_OFFSET_CAUSE + 4 == VQX_NOTIF_OFFSET_LOST && VQX_NOTIF_OFFSET_LOST + 4 + 4 == kGwDownPayload);

struct CauseRow {
  u32 un32Cause;
  const char* pszText;
};
constexpr CauseRow kCauses[] = {
    {VQX_PEER_CAUSE_UNKNOWN, "Unknown cause"},
    {VQX_PEER_CAUSE_PROTOCOL_ERROR, "Protocol error"},
    {VQX_PEER_CAUSE_DISABLED, "Disabled"},
    {VQX_PEER_CAUSE_CLOSED, "Socket closed in a clean manner"},
    {VQX_PEER_CAUSE_RX_ERROR, "Rx error"},
    {VQX_PEER_CAUSE_TX_ERROR, "Tx error"},
    {VQX_PEER_CAUSE_TX_TIMEOUT, "Tx timeout"},
    {VQX_PEER_CAUSE_POLL_TIMEOUT, "Poll timeout"},
    {VQX_PEER_CAUSE_RECONNECTED, "Reconnected"},
    {VQX_PEER_CAUSE_TCP_POLL_TIMEOUT, "TCP Poll timeout"},
    {VQX_PEER_CAUSE_REDUNDANCY_NOT_ESTABLISHED, "Network redundancy not established yet"},
    {VQX_PEER_CAUSE_CLOSING, "Hostlib Closing"},
};

/* A peer taken down because this library is closing is the expected end of a
 * clean shutdown, not a fault: it is traced, not printed as an error. The
 * links closed by VQXCloseAdaptersGw or VQXCloseHostsGw, the library staying open, are
 * presence news printed as the others are (added, up, down), which the
 * application tells from errors by their text. */
constexpr u32 kClosingLevel = 3;
u32 PresenceLevel(VQX_LIB_HANDLE hLib, u32 un32Cause) {
  const VQX_LIB* pLib = VqxLib(hLib);
  const bool fGwClosing = pLib->fAdaptersClosing.load() != 0 || pLib->fHostsClosing.load() != 0;
  return un32Cause == VQX_PEER_CAUSE_CLOSING && !fGwClosing ? kClosingLevel : 0;
}

/* Local time as "%m/%d/%Y %H:%M:%S". */
void NowText(char* pszBuf, size_t size) {
  time_t now = time(nullptr);
  struct tm tmNow {};
  localtime_r(&now, &tmNow);
  strftime(pszBuf, size, "%m/%d/%Y %H:%M:%S", &tmNow);
}

/* An event of the library's own group addressed from the peer. Null (after the log line) without memory. */
VQX_MSG_HANDLE NewNotification(VQX_LIB_HANDLE hLib, const VQX_PEER* pPeer, u32 un32MsgId, u32 un32Payload,
                               const char* pszOp) {
  VQX_MSG_HANDLE hMsg = VqxPeerNewLibMsg(hLib, pPeer->hAdapter, un32MsgId, VQX_MSG_TYPE_EVENT, un32Payload);
  if (hMsg == nullptr) VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
  return hMsg;
}

void Put32(VQX_MSG_HANDLE hMsg, u32 un32Offset, u32 un32Value) {
  memcpy(VQXMsgPayload(hMsg) + un32Offset, &un32Value, sizeof(un32Value));
}

/* To one filter, or to the active ordinary filters; released when nobody took it. */
void Deliver(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, _VQX_FILTER_CONTEXT* pFilter) {
  bool fTaken = false;
  if (VqxLib(hLib)->pvFilters != nullptr) {
    VQX_FILTER* pFirst = pFilter != nullptr ? pFilter : VqxFilterLib(hLib)->pActiveFirst;
    if (pFirst != nullptr) fTaken = VqxMsgDispatchToFilters(hLib, pFirst, pFilter != nullptr ? 1 : 0, hMsg, nullptr);
  }
  if (!fTaken) VqxMsgReleaseInternal(hLib, hMsg);
}

void PathPayload(VQX_MSG_HANDLE hMsg, const VQX_PEER* pPeer) {
  Put32(hMsg, VQX_NOTIF_OFFSET_HANDLE, pPeer->hAdapter);
  Put32(hMsg, VQX_NOTIF_OFFSET_GW0_UP, pPeer->afPathUp[VQX_PEER_PATH_GW0]);
  Put32(hMsg, VQX_NOTIF_OFFSET_GW1_UP, pPeer->afPathUp[VQX_PEER_PATH_GW1]);
  const char* pszGw0 = pPeer->fAdapter != 0 ? pPeer->AdapterInfo.szIpAddress0 : pPeer->HostInfo.szIpAddress0;
  const char* pszGw1 = pPeer->fAdapter != 0 ? pPeer->AdapterInfo.szIpAddress1 : pPeer->HostInfo.szIpAddress1;
  memcpy(VQXMsgPayload(hMsg) + VQX_NOTIF_OFFSET_GW0_ADDRESS, pszGw0, 64);
  memcpy(VQXMsgPayload(hMsg) + VQX_NOTIF_OFFSET_GW1_ADDRESS, pszGw1, 64);
}

const char* PathAddress(const VQX_PEER* pPeer, u32 un32Path) {
  if (pPeer->fAdapter != 0) {
    return un32Path == VQX_PEER_PATH_GW0 ? pPeer->AdapterInfo.szIpAddress0 : pPeer->AdapterInfo.szIpAddress1;
  }
  return un32Path == VQX_PEER_PATH_GW0 ? pPeer->HostInfo.szIpAddress0 : pPeer->HostInfo.szIpAddress1;
}

}  // namespace

VQX_MSG_HANDLE VqxPeerNewLibMsg(VQX_LIB_HANDLE hLib, u32 hAdapter, u32 un32MsgId, u32 MsgType, u32 un32Payload) {
  VQX_MSG_HANDLE hMsg = nullptr;
  if (VQX_RESULT_FAILED(VqxMsgAllocateInternal(hLib, un32Payload, &hMsg, 0, __FILE__, __LINE__)) || hMsg == nullptr) {
    return nullptr;
  }
  memset(hMsg, 0, VQX_MSG_HEADER_SIZE + un32Payload);
  hMsg->un32MsgId = un32MsgId;
  hMsg->MsgType = MsgType;
  hMsg->un32Length = VQX_MSG_HEADER_SIZE + un32Payload;
  hMsg->un32PayloadLength = un32Payload;
  hMsg->un32PayloadMaxLength = un32Payload;
  hMsg->un32PayloadStart = VQX_MSG_HEADER_SIZE;
  hMsg->hAdapter = hAdapter;
  hMsg->un32TrackMagic = VQX_MSG_TRACK_MAGIC_DEFAULT;
  hMsg->un32FixedTwo = VQX_MSG_FIXED_TWO;
  return hMsg;
}

const char* VqxPeerCauseText(u32 un32Cause) {
  for (const CauseRow& row : kCauses) {
    if (row.un32Cause == un32Cause) return row.pszText;
  }
  return "Unknown cause (case missing in switch statement)";
}

VQX_RESULT VqxHostSendAdapterAddedEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, _VQX_FILTER_CONTEXT* pFilter) {
  constexpr const char* kOp = "VqxHostSendAdapterAddedEvent";
  if (pFilter == nullptr) {
    char szNow[64];
    NowText(szNow, sizeof(szNow));
    VQX_LOG_V(hLib, 0, " VqxHostSendAdapterAddedEvent: %s: %s added\n", szNow, pPeer->szName);
  }
  const bool fAdapter = pPeer->fAdapter != 0;
  VQX_MSG_HANDLE hMsg =
      NewNotification(hLib, pPeer, fAdapter ? VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED : VQX_MSG_ID_API_NOTIF_HOST_ADDED,
                      fAdapter ? kAdapterAddedPayload : kHostAddedPayload, kOp);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  if (fAdapter) {
    memcpy(VQXMsgPayload(hMsg) + VQX_NOTIF_OFFSET_INFO, &pPeer->AdapterInfo, sizeof(pPeer->AdapterInfo));
  } else {
    memcpy(VQXMsgPayload(hMsg) + VQX_NOTIF_OFFSET_INFO, &pPeer->HostInfo, sizeof(pPeer->HostInfo));
  }
  if (pFilter == nullptr) pPeer->fAddedNotified = 1;
  Deliver(hLib, hMsg, pFilter);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxHostSendAdapterRemovedEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, _VQX_FILTER_CONTEXT* pFilter) {
  constexpr const char* kOp = "VqxHostSendAdapterRemovedEvent";
  if (pPeer->fAddedNotified == 0) return VQX_RESULT_API_OK;
  if (pFilter == nullptr) {
    char szNow[64];
    NowText(szNow, sizeof(szNow));
    VQX_LOG_V(hLib, PresenceLevel(hLib, pPeer->un32LastCause), "%s: %s removed (cause: %s)\n", szNow, pPeer->szName,
              VqxPeerCauseText(pPeer->un32LastCause));
  }
  const bool fAdapter = pPeer->fAdapter != 0;
  VQX_MSG_HANDLE hMsg =
      NewNotification(hLib, pPeer, fAdapter ? VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED : VQX_MSG_ID_API_NOTIF_HOST_REMOVED,
                      fAdapter ? kAdapterRemovedPayload : kHostRemovedPayload, kOp);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  Put32(hMsg, VQX_NOTIF_OFFSET_HANDLE, pPeer->hAdapter);
  if (fAdapter) {
    memcpy(VQXMsgPayload(hMsg) + kAdapterRemovedInfoOffset, &pPeer->AdapterInfo, sizeof(pPeer->AdapterInfo));
  } else {
    memcpy(VQXMsgPayload(hMsg) + kHostRemovedInfoOffset, &pPeer->HostInfo, sizeof(pPeer->HostInfo));
  }
  pPeer->fAddedNotified = 0;
  Deliver(hLib, hMsg, pFilter);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxHostSendGwUpEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path, _VQX_FILTER_CONTEXT* pFilter) {
  constexpr const char* kOp = "VqxHostSendGwUpEvent";
  if (pFilter == nullptr) {
    char szNow[64];
    NowText(szNow, sizeof(szNow));
    VQX_LOG_V(hLib, 0, "%s: %s:%s gw%d UP\n", szNow, pPeer->szName, PathAddress(pPeer, un32Path),
              static_cast<int>(un32Path));
  }
  VQX_MSG_HANDLE hMsg = NewNotification(
      hLib, pPeer, pPeer->fAdapter != 0 ? VQX_MSG_ID_API_NOTIF_ADAPTER_GW_UP : VQX_MSG_ID_API_NOTIF_HOST_GW_UP,
      kGwUpPayload, kOp);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  PathPayload(hMsg, pPeer);
  Deliver(hLib, hMsg, pFilter);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VqxHostSendGwDownEvent(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer, u32 un32Path, u32 un32Cause, u32 un32Lost,
                                  _VQX_FILTER_CONTEXT* pFilter) {
  constexpr const char* kOp = "VqxHostSendGwDownEvent";
  if (pFilter == nullptr) {
    char szNow[64];
    NowText(szNow, sizeof(szNow));
    VQX_LOG_V(hLib, PresenceLevel(hLib, un32Cause), "%s: %s:%s gw%d DOWN (%s)\n", szNow, pPeer->szName,
              PathAddress(pPeer, un32Path),
              static_cast<int>(un32Path), VqxPeerCauseText(un32Cause));
  }
  VQX_MSG_HANDLE hMsg = NewNotification(
      hLib, pPeer, pPeer->fAdapter != 0 ? VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN : VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN,
      kGwDownPayload, kOp);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  PathPayload(hMsg, pPeer);
  Put32(hMsg, VQX_NOTIF_OFFSET_CAUSE, un32Cause);
  Put32(hMsg, VQX_NOTIF_OFFSET_LOST, un32Lost);
  Deliver(hLib, hMsg, pFilter);
  return VQX_RESULT_API_OK;
}

void VqxPeerAnnounceIfNeeded(VQX_LIB_HANDLE hLib, VQX_PEER* pPeer) {
  if (pPeer->fFilterDone != 0) return;
  /* Once per presence, whatever the number of messages the peer sends before its filters are done. */
  pPeer->fFilterDone = 1;
  if (pPeer->fAdapter == 0) pPeer->fFiltersComplete = 1;
  if (pPeer->fAddedNotified == 0 && pPeer->fPresent != 0) VqxHostSendAdapterAddedEvent(hLib, pPeer, nullptr);
}
