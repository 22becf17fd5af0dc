/*
 * hostlib_gwglue.cpp - the host library's two gateway transport instances:
 * the adapters' (discovers boards) and the hosts' (advertises this
 * application and accepts other hosts' links). Builds the unique host id,
 * fills each instance's parameter record from the library parameters and
 * the local addresses, and gives the transport its callbacks: path up and
 * down, the messages a link's closing cut, buffers, error and trace lines
 * (receiving is in hostlib_rx.cpp).
 *
 * The transport runs with its own lock and calls back with it released; the
 * callbacks take the library lock. Instances are destroyed without the
 * library lock, since their threads may be waiting for it in a callback.
 */
#include <arpa/inet.h>
#include <netdb.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "gw/hostlib_gwglue_internal.h"

static_assert(sizeof(_VQX_EXTRA_GW_ADDR) == sizeof(VQX_GW_EXTRA_ADDR), "extra address records share one layout");
static_assert(offsetof(_VQX_EXTRA_GW_ADDR, un16Port) == offsetof(VQX_GW_EXTRA_ADDR, un16Port));
static_assert(sizeof(((_VQX_LIB_PARAMS*)nullptr)->abyGwBlock) == sizeof(u16) * (VQX_GW_NB_PORTS - 1),
              "the gateway block fills the port table after the gateway port");

namespace {

#define VQX_GW_ADAPTER_REPLY_ID 0x47575041u /* "APWG" as the transport hands it in host order */
#define VQX_GW_HOST_INFO_VERSION 2u
#define VQX_GW_LOOPBACK_AS_LISTED 0x0100007Fu

/* The discovery ids: 16 bytes as four words, stored as the bytes shown. */
const char kAdapterIds[] = "IDWGSDWGIPWGAPWG";
const char kHostIds[] = "IDLHSDLHIPLHAPLH";

VQX_LIB_HANDLE VqxCtxLib(void* pCtx) { return static_cast<VQX_LIB_HANDLE>(pCtx); }

VqxGwLibContext& VqxGwSlot(VQX_LIB* pLib, u32 fHosts) {
  return reinterpret_cast<VqxGwLibContext&>(fHosts ? pLib->pvHostsGw : pLib->pvAdaptersGw);
}

/* ------------------------------------------------------------ callbacks */

void VqxHostGwLibUpDownHandler(void* pCtx, u32 hPeer, const void* pInfo, u32 fGw0Up, u32 fGw1Up, u32 un32Reason) {
  VQX_LIB_HANDLE hLib = VqxCtxLib(pCtx);
  const VqxTransportThreadScope transport;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  if (VqxPeerLib(hLib) == nullptr) {
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    return;
  }
  u32 un32Id = 0;
  if (pInfo != nullptr) memcpy(&un32Id, pInfo, sizeof(un32Id));
  const bool fAdapter = un32Id == VQX_GW_ADAPTER_REPLY_ID;
  const u32 afUp[2] = {fGw0Up, fGw1Up};
  /*
   * A report changes one path; the other's flag repeats what the transport reported before. Both are
   * compared with the record as the report found it: a path this report's down takes along (redundancy not
   * established), which the transport is asked to close, is not brought up again by its repeated flag.
   */
  bool afWasUp[2];
  const VQX_PEER* pFound = VqxHostAdapterOrHostByHandle(hLib, hPeer);
  for (u32 path = VQX_PEER_PATH_GW0; path <= VQX_PEER_PATH_GW1; path++)
    afWasUp[path] = pFound != nullptr && pFound->fPresent && pFound->afPathUp[path] != 0;
  for (u32 path = VQX_PEER_PATH_GW0; path <= VQX_PEER_PATH_GW1; path++) {
    const u32 fIsGw0 = path == VQX_PEER_PATH_GW0 ? 1u : 0u;
    if (afUp[path] != 0 && !afWasUp[path]) {
      if (pInfo == nullptr) continue;
      const VQX_RESULT result =
          VqxHostAdapterPathAdd(hLib, hPeer, fAdapter ? pInfo : nullptr, fAdapter ? nullptr : pInfo, fIsGw0);
      if (VQX_RESULT_FAILED(result)) {
        /* A peer without a record would be connected but deaf: close that path instead. */
        VqxGwLibContext hGw = VqxGwOfPeer(hLib, hPeer);
        if (hGw != nullptr) VqxGwLibForceDisconnect(hGw, hPeer, fIsGw0, !fIsGw0);
      }
    } else if (afUp[path] == 0 && afWasUp[path]) {
      VqxHostAdapterDown(hLib, hPeer, fIsGw0, un32Reason);
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
}

/* A link closed within a batch: the messages it cut, told with the path's down notification. */
void VqxHostGwLibRxLostHandler(void* pCtx, u32 hPeer, u32 fIsGw0, u32 un32Lost) {
  VQX_LIB_HANDLE hLib = VqxCtxLib(pCtx);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_PEER* pPeer = VqxPeerLib(hLib) != nullptr ? VqxHostAdapterOrHostByHandle(hLib, hPeer) : nullptr;
  if (pPeer != nullptr) {
    u32& un32Count = pPeer->aun32RxCutLost[VqxPeerPathIndex(fIsGw0)];
    un32Count = un32Count > 0xFFFFFFFFu - un32Lost ? 0xFFFFFFFFu : un32Count + un32Lost;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
}

VQX_RESULT VqxHostGwLibGetEthAvailabilityHandler(void*, u32* pun32Availability) {
  if (pun32Availability != nullptr) *pun32Availability = 1;
  return VQX_RESULT_OK;
}

void* VqxHostGwLibAllocMsg(void* pCtx, u32 un32Size) {
  return VqxBufMalloc(VqxCtxLib(pCtx), un32Size, 0, __FILE__, __LINE__);
}

void VqxHostGwLibAllocMsgMultiple(void* pCtx, u32 un32Count, const u32* aun32Sizes, void** apMsgs) {
  VqxBufMallocMultiple(VqxCtxLib(pCtx), un32Count, aun32Sizes, apMsgs, __FILE__, __LINE__);
}

void VqxHostGwLibFreeMsg(void* pCtx, void** ppMsg) {
  if (ppMsg == nullptr || *ppMsg == nullptr) return;
  VqxBufFree(VqxCtxLib(pCtx), *ppMsg);
  *ppMsg = nullptr;
}

void VqxHostGwLibFreeMsgMultiple(void* pCtx, u32 un32Count, void** apMsgs) {
  VqxBufFreeMultiple(VqxCtxLib(pCtx), un32Count, apMsgs);
  for (u32 i = 0; i < un32Count; i++) apMsgs[i] = nullptr;
}

void VqxHostGwLibErrorLog(void* pCtx, const char* pszFormat, ...) {
  char szLine[VQX_LIB_LOG_LINE_SIZE];
  va_list va;
  va_start(va, pszFormat);
  vsnprintf(szLine, sizeof(szLine), pszFormat, va);
  va_end(va);
  const size_t n = strlen(szLine);
  VQX_LOG_V(VqxCtxLib(pCtx), 0, "%s%s", szLine, n != 0 && szLine[n - 1] == '\n' ? "" : "\n");
}

void VqxHostGwLibTraceLog(void* pCtx, u32 un32Level, const char* pszFormat, ...) {
  /* Level 0 is the library's error level: a transport trace never becomes an error line. */
  const u32 un32Lvl = un32Level == 0 ? 1u : un32Level;
  if (!VqxHostLibLogKeeps(VqxCtxLib(pCtx), un32Lvl)) return; /* dropped: not formatted either */
  char szLine[VQX_LIB_LOG_LINE_SIZE];
  va_list va;
  va_start(va, pszFormat);
  vsnprintf(szLine, sizeof(szLine), pszFormat, va);
  va_end(va);
  VQX_LOG_V(VqxCtxLib(pCtx), un32Lvl, "%s\n", szLine);
}

/* ------------------------------------------------------- unique host id */

u64 VqxUniqueHostId(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  u32 aAddr[VQX_GW_MAX_LOCAL_IFACES], aMask[VQX_GW_MAX_LOCAL_IFACES];
  const u32 un32Count = VqxLocalInterfaces(aAddr, aMask);
  u32 un32Address = un32Count > 0 ? aAddr[0] : 0;
  u32 un32Gw0 = 0, un32Gw1 = 0;
  const bool fGw0 = VqxParseIpv4(pLib->szLocalGw0Address, &un32Gw0);
  const bool fGw1 = VqxParseIpv4(pLib->szLocalGw1Address, &un32Gw1);
  bool fFound = false;
  for (u32 k = 0; k < un32Count && fGw0; k++) {
    if (aAddr[k] == un32Gw0) un32Address = un32Gw0, fFound = true;
  }
  for (u32 k = 0; k < un32Count && fGw1 && !fFound; k++) {
    if (aAddr[k] == un32Gw1) un32Address = un32Gw1;
  }
  if (un32Address == 0) {
    char szHost[128] = "";
    if (gethostname(szHost, sizeof(szHost) - 1) != 0) {
      VQX_LOG_V(hLib, 0, "VqxGatewayLibInit: Failed to get local IP address (gethostname failed)!\n");
    } else {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      addrinfo* pList = nullptr;
      if (getaddrinfo(szHost, nullptr, &hints, &pList) != 0 || pList == nullptr) {
        VQX_LOG_V(hLib, 0, "VqxGatewayLibInit: Failed to get local IP address - gethostbyname(\"%s\") returned NULL!\n",
                  szHost);
      } else {
        un32Address = ntohl(reinterpret_cast<sockaddr_in*>(pList->ai_addr)->sin_addr.s_addr);
      }
      if (pList != nullptr) freeaddrinfo(pList);
    }
  }
  /* A loopback address in either byte order says nothing about this host. */
  if (un32Address == 0 || un32Address == VQX_GW_LOOPBACK_AS_LISTED || un32Address == htonl(VQX_GW_LOOPBACK_AS_LISTED)) {
    /* Confined to loopback on purpose, the random part is expected: no error then. */
    if (!VqxGwLibLoopbackOnly())
      VQX_LOG_V(hLib, 0, "VqxGatewayLibInit: Failed to get local IP, can't generate unique host id!!!\n");
    un32Address = VQX_RAND();
  }
  return (u64{un32Address} << 32) | static_cast<u32>(getpid());
}

/* -------------------------------------------------------- instances */

VQX_RESULT VqxGwCreate(VQX_LIB_HANDLE hLib, u32 fHosts) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxGwLibContext& hGw = VqxGwSlot(pLib, fHosts);
  if (hGw != nullptr) return VQX_RESULT_OK;
  VqxGwLibParams params;
  u32* paSubnets = nullptr;
  VqxGwFillParams(hLib, fHosts, &params, &paSubnets);
  VqxGwLibContext hNew = nullptr;
  const VQX_RESULT result = VqxGwLibAllocate(&params, &hNew);
  free(paSubnets);
  if (VQX_RESULT_FAILED(result)) {
    /* The transport named its cause: a trace of where it stopped, not a second error. */
    VQX_LOG_V(hLib, 1, "%s\n",
              fHosts ? "Hosts Gateway Library Allocate failed" : "Adapters Gateway Library Allocate failed");
    return result;
  }
  hGw = hNew;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxGwGlueInit(VQX_LIB_HANDLE hLib) { return VqxGatewayLibInit(hLib); }

VQX_RESULT VqxGwGlueEnable(VQX_LIB_HANDLE hLib, u32 fHosts, u32 fOn) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (fOn) {
    VQX_RESULT result = VqxGwCreate(hLib, fHosts);
    if (VQX_RESULT_FAILED(result)) return result;
    return VqxGwLibEnable(VqxGwSlot(pLib, fHosts));
  }
  VqxGwLibContext hGw = VqxGwSlot(pLib, fHosts);
  if (hGw == nullptr) return VQX_RESULT_OK;
  /* Disabling joins the transport's threads, which may wait for the library lock. */
  const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
  const VQX_RESULT result = VqxGwLibDisable(hGw);
  VqxHostLibLockRetake(hLib, un32Levels);
  return result;
}

VQX_RESULT VqxGwGlueApplyParams(VQX_LIB_HANDLE hLib, u32 fHosts) {
  VqxGwLibContext hGw = VqxGwSlot(VqxLib(hLib), fHosts);
  if (hGw == nullptr) return VQX_RESULT_OK;
  VqxGwLibParams params;
  u32* paSubnets = nullptr;
  VqxGwFillParams(hLib, fHosts, &params, &paSubnets);
  const VQX_RESULT result = VqxGwLibSetParam(hGw, &params);
  free(paSubnets);
  return result;
}

VQX_RESULT VqxGwGluePoll(VQX_LIB_HANDLE hLib) {
  VQX_RESULT result = VQX_RESULT_OK;
  for (u32 fHosts = 0; fHosts < 2; fHosts++) {
    VqxGwLibContext hGw = VqxGwSlot(VqxLib(hLib), fHosts);
    if (hGw != nullptr) {
      const VQX_RESULT one = VqxGwLibPoll(hGw);
      if (VQX_RESULT_FAILED(one)) result = one;
    }
  }
  return result;
}

VQX_RESULT VqxGwGlueForceDiscover(VQX_LIB_HANDLE hLib) {
  VQX_RESULT result = VQX_RESULT_OK;
  for (u32 fHosts = 0; fHosts < 2; fHosts++) {
    VqxGwLibContext hGw = VqxGwSlot(VqxLib(hLib), fHosts);
    if (hGw != nullptr) {
      const VQX_RESULT one = VqxGwLibForceDiscover(hGw);
      if (VQX_RESULT_FAILED(one)) result = one;
    }
  }
  return result;
}

struct VqxGlueRegistration {
  VqxGlueRegistration() {
    static const VQX_HOSTLIB_GATEWAY_GLUE glue = {VqxIpAddressesPrepare, VqxIpAddressesUpdate,  VqxGwGlueInit,
                                                  VqxGatewayLibUninit,   VqxGwGlueEnable,       VqxGwGlueApplyParams,
                                                  VqxGwGluePoll,         VqxGwGlueForceDiscover, VqxGwDestroy};
    VqxHostLibSetGatewayGlue(&glue);
  }
} s_GlueRegistration;

}  // namespace

void VqxGwFillParams(VQX_LIB_HANDLE hLib, u32 fHosts, VqxGwLibParams* p, u32** ppaun32Subnets) {
  VQX_LIB* pLib = VqxLib(hLib);
  const _VQX_LIB_PARAMS& lp = pLib->Params;
  memset(p, 0, sizeof(*p));
  p->aun16GwPorts[0] = lp.un16GwPort;
  memcpy(&p->aun16GwPorts[1], lp.abyGwBlock, sizeof(lp.abyGwBlock));
  const char* pszSubnets = getenv("VQX_GW_SUBNETS");
  *ppaun32Subnets = VqxHostParseGwSubnets(pszSubnets, &p->un32NbAllowedSubnets, &p->fAllowedSubnetsExclude);
  p->paun32AllowedSubnetIps = *ppaun32Subnets;
  const char* pszIds = fHosts ? kHostIds : kAdapterIds;
  memcpy(&p->un32GwDiscoveryId, pszIds, 4);
  memcpy(&p->un32GwDiscoverySpecificId, pszIds + 4, 4);
  memcpy(&p->un32GwPollId, pszIds + 8, 4);
  memcpy(&p->un32GwReplyId, pszIds + 12, 4);
  p->un32NbExtraGwAddr = pLib->un32NbExtraGwAddr;
  p->paExtraGwAddr = reinterpret_cast<VQX_GW_EXTRA_ADDR*>(pLib->paExtraGwAddr);
  p->fDisableAutoDiscovery = lp.un32GwOption;
  p->fUseSeparatePollSocket = 1;
  p->fUseTCPNagle = 0;
  p->un8PeerHandlesBase = fHosts ? 0xCB : 0xCA;
  p->fRealTimeRxThread = lp.un32RxThreadPriority == 1;
  p->fIsGw0 = 1;
  p->fIsGw1 = 1;
  p->fWaitConnections = fHosts ? 1 : 0;
  p->fDetectAdapters = fHosts ? 0 : 1;
  p->un32HostType = fHosts ? lp.HostType : 0;
  p->un64PollHostCtxId = pLib->un64UniqueHostId;
  p->fOpenPollSocketsAlways = pLib->fNoLocalAddress;
  const _VQX_NETWORK_REDUNDANCY_PARAMETERS& r = lp.NetworkRedundancy;
  p->RedundancyParams =
      VqxGwLibRedundancyParams{r.fValid,  r.un32PollDelayMs, r.un32NetworkDownDelayMs, r.un32AdapterDownDelayMs,
                               r.fUseGw0, r.fUseGw1,         r.un32PreferredGateway};
  if (!fHosts) {
    memcpy(p->AdapterGwParams.szIpAddress0, pLib->szLocalGw0Address, sizeof(p->AdapterGwParams.szIpAddress0));
    memcpy(p->AdapterGwParams.szIpAddress1, pLib->szLocalGw1Address, sizeof(p->AdapterGwParams.szIpAddress1));
  } else {
    VQX_GW_HOST_INFO& h = p->HostGwParms;
    h.un64UniqueId = pLib->un64UniqueHostId;
    h.un32InfoVersion = VQX_GW_HOST_INFO_VERSION;
    memcpy(h.szHostName, lp.szHostName, sizeof(h.szHostName));
    memcpy(h.szAppName, lp.szApplicationName, sizeof(h.szAppName));
    h.un64HostCtx1 = lp.aun64HostContext[0];
    h.un64HostCtx2 = lp.aun64HostContext[1];
    memcpy(h.szIpAddress0, pLib->szLocalGw0Address, sizeof(h.szIpAddress0));
    memcpy(h.szIpAddress1, pLib->szLocalGw1Address, sizeof(h.szIpAddress1));
    h.un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
    h.un8Two = 2;
  }
  p->pFctRx = VqxHostGwLibRxHandler;
  p->pFctRxMultiple = VqxHostGwLibRxHandlerMultiple;
  p->pFctRxLost = VqxHostGwLibRxLostHandler;
  p->pRxCtx = hLib;
  p->pFctUpDown = VqxHostGwLibUpDownHandler;
  p->pUpDownCtx = hLib;
  p->pFctGetEthAvailability = VqxHostGwLibGetEthAvailabilityHandler;
  p->pEthAvailabilityCtx = hLib;
  p->pFctAllocMsg = VqxHostGwLibAllocMsg;
  p->pFctAllocMsgMultiple = VqxHostGwLibAllocMsgMultiple;
  p->pFctFreeMsg = VqxHostGwLibFreeMsg;
  p->pFctFreeMsgMultiple = VqxHostGwLibFreeMsgMultiple;
  p->pBufferCtx = hLib;
  if (!fHosts) {
    p->pFctCanConnectTo = VqxHostGwLibCanConnectTo;
    p->pCanConnectToCtx = hLib;
  }
  p->pFctErrorLog = VqxHostGwLibErrorLog;
  p->pErrorCtx = hLib;
  if (lp.pTraceFile != nullptr || lp.pFctTraceCallback != nullptr) {
    p->pFctTraceLog = VqxHostGwLibTraceLog;
    p->pTraceCtx = hLib;
  }
  p->pLockCtx = hLib;
}

VqxGwLibContext VqxGwOfPeer(VQX_LIB_HANDLE hLib, u32 hPeer) {
  VQX_LIB* pLib = VqxLib(hLib);
  return static_cast<VqxGwLibContext>((hPeer >> 24) == 0xCA ? pLib->pvAdaptersGw : pLib->pvHostsGw);
}

VQX_RESULT VqxGatewayLibInit(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (pLib->un64UniqueHostId == 0) pLib->un64UniqueHostId = VqxUniqueHostId(hLib);
  /* Extra addresses without a port take the gateway port; with the port-only switch, others are dropped. */
  for (u32 i = 0; i < pLib->un32NbExtraGwAddr; i++) {
    _VQX_EXTRA_GW_ADDR& a = pLib->paExtraGwAddr[i];
    if (a.un16Port == 0) {
      a.un16Port = pLib->Params.un16GwPort;
    } else if (pLib->Params.fGwPortOnly && a.un16Port != pLib->Params.un16GwPort) {
      a.un16Port = 0;
    }
  }
  VQX_RESULT result = VQX_RESULT_OK;
  if (!pLib->Params.fAdaptersGwOff) result = VqxGwCreate(hLib, 0);
  if (VQX_RESULT_SUCCEEDED(result) && pLib->Params.fHostsGwOn) result = VqxGwCreate(hLib, 1);
  if (VQX_RESULT_FAILED(result)) {
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    VqxGatewayLibUninit(hLib);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
  return result;
}

void VqxGatewayLibUninit(VQX_LIB_HANDLE hLib) {
  for (u32 fHosts = 0; fHosts < 2; fHosts++) VqxGwDestroy(hLib, fHosts);
}

void VqxGwDestroy(VQX_LIB_HANDLE hLib, u32 fHosts) {
  /* Called without the library lock: the instance is taken out under it and destroyed without it. An instance
     closed while the library stays open (VQXCloseAdaptersGw, VQXCloseHostsGw) first closes its links reading what their TCP
     acknowledged, which reaches the filters (or the count of messages no filter took) like the rest. */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  /* The peers hear that this end took all they sent, before the links go: their removal then names no loss. */
  if (VqxGwSlot(VqxLib(hLib), fHosts) != nullptr) VqxPeersAckAll(hLib, fHosts);
  VqxGwLibContext hGw = VqxGwSlot(VqxLib(hLib), fHosts);
  VqxGwSlot(VqxLib(hLib), fHosts) = nullptr;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (hGw == nullptr) return;
  if (VqxLib(hLib)->fClosing.load() == 0) VqxGwLibCloseLinks(hGw);
  VqxGwLibDestroy(hGw);
}
