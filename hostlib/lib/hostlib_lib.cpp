/*
 * hostlib_lib.cpp - the library instance: opening with full rollback,
 * changing parameters, closing, information queries and polling.
 *
 * One instance per process in practice (the framework opens it once and lends
 * the handle). The parts of the library that sit on top (peers, filters, the
 * receive thread, the gateway transport glue) register themselves through
 * VqxHostLibSetPart / VqxHostLibSetGatewayGlue; until they do, the instance
 * runs without them and both transport instances stay off.
 */
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "vqx_clock.h"
#include "gw/hostlib_gwglue_internal.h"
#include "core/vqx_host_internal.h"
#include "vqx_msg_element.h"
#include "vqx_pool.h"
#include "vqx_string.h"

/* ------------------------------------------------------------ registration */

namespace {

std::mutex s_RegistryMutex;
bool s_fGlueSet = false;
VQX_HOSTLIB_GATEWAY_GLUE s_Glue;
VQX_HOSTLIB_PART s_aParts[VQX_HOSTLIB_NB_PARTS];
PFCT_VQX_SEND_MULTIPLE s_pFctSendMultiple = nullptr;
PFCT_VQX_RECEIVE_MULTIPLE s_pFctReceiveMultiple = nullptr;
/* Library instances open in this process (under s_RegistryMutex). */
u32 s_un32OpenLibs = 0;

VQX_HOSTLIB_PART VqxPart(u32 un32Part) {
  std::lock_guard<std::mutex> guard(s_RegistryMutex);
  return s_aParts[un32Part];
}

}  // namespace

void VqxHostLibSetGatewayGlue(const VQX_HOSTLIB_GATEWAY_GLUE* pGlue) {
  std::lock_guard<std::mutex> guard(s_RegistryMutex);
  s_fGlueSet = pGlue != nullptr;
  s_Glue = pGlue != nullptr ? *pGlue : VQX_HOSTLIB_GATEWAY_GLUE{};
}

const VQX_HOSTLIB_GATEWAY_GLUE* VqxHostLibGatewayGlue() {
  std::lock_guard<std::mutex> guard(s_RegistryMutex);
  return s_fGlueSet ? &s_Glue : nullptr;
}

void VqxHostLibSetPart(u32 un32Part, const VQX_HOSTLIB_PART* pPart) {
  if (un32Part >= VQX_HOSTLIB_NB_PARTS) return;
  std::lock_guard<std::mutex> guard(s_RegistryMutex);
  s_aParts[un32Part] = pPart != nullptr ? *pPart : VQX_HOSTLIB_PART{};
}

void VqxHostLibSetSendReceive(PFCT_VQX_SEND_MULTIPLE pFctSend, PFCT_VQX_RECEIVE_MULTIPLE pFctReceive) {
  std::lock_guard<std::mutex> guard(s_RegistryMutex);
  s_pFctSendMultiple = pFctSend;
  s_pFctReceiveMultiple = pFctReceive;
}

/* ------------------------------------------------------------ letting out */

void VqxHostLibLetCallsOut(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  pLib->fClosing.store(1);
  VqxHostLibCriticalSectionEnter(hLib);
  /* A reader blocked on a filter wakes to leave: it sees the close before it would block again. */
  for (u32 un32Part = 0; un32Part < VQX_HOSTLIB_NB_PARTS; un32Part++) {
    const VQX_HOSTLIB_PART part = VqxPart(un32Part);
    if (pLib->afPartInitialised[un32Part] != 0 && part.pFctWakeWaiters != nullptr) part.pFctWakeWaiters(hLib);
  }
  /* Senders waiting for room see the close as they take the lock again (within 10 ms), readers as they come back;
     each leaves with a failure. The calls are let out before anything they use goes. */
  for (u32 i = 0; i < VQX_LIB_SEND_WAIT_CLOSE_MS &&
                  (pLib->un32SendCallsInside.load() != 0 || pLib->un32ReceiveCallsInside.load() != 0);
       i++) {
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
  VqxHostLibCriticalSectionLeave(hLib);
}

/* ------------------------------------------------------------------ helpers */

namespace {

constexpr const char* VQX_OPEN = "VQXOpenLib";
/* Level of a failed step's line when the step named its cause itself (a transport's refusal): a trace, the error
 * told once. */
constexpr u32 VQX_LOG_LEVEL_TOLD = 1;

void VqxPrintResultNoLib(const char* pszOperation, const char* pszText) {
  fprintf(stderr, "%s: %s\n", pszOperation, pszText);
}

int VQXHostLibPoolOfBuffersErrorvPrintf(void* pvContext, const char* pszFormat, va_list vaArgs) {
  VqxHostLibLogV(static_cast<VQX_LIB_HANDLE>(pvContext), 0, pszFormat, vaArgs);
  return 0;
}

/* Message allocator lent to the message-element sets. */
VQX_RESULT VqxElementMsgAlloc(void* hLib, u32 un32PayloadSize, void** ppMsg) {
  return VQXGetMsg(static_cast<VQX_LIB_HANDLE>(hLib), un32PayloadSize, reinterpret_cast<VQX_MSG_HANDLE*>(ppMsg));
}
VQX_RESULT VqxElementMsgRelease(void* hLib, void** ppMsg) {
  return VQXReleaseMsgEx(static_cast<VQX_LIB_HANDLE>(hLib), reinterpret_cast<VQX_MSG_HANDLE*>(ppMsg));
}

/*
 * Unique host id without the gateway glue: the first non-loopback IPv4
 * interface address as the interface list holds it, shifted up 32 bits, plus
 * the process id; a random address when there is none.
 */
u64 VqxUniqueHostIdFallback() {
  u32 un32Address = 0;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) == 0) {
    for (ifaddrs* p = pList; p != nullptr && un32Address == 0; p = p->ifa_next) {
      if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
      const u32 un32Candidate = reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
      if ((ntohl(un32Candidate) >> 24) != 127) un32Address = un32Candidate;
    }
    freeifaddrs(pList);
  }
  if (un32Address == 0) {
    drand48_data rand{};
    srand48_r(static_cast<long>(VQXGetClock() + static_cast<u64>(time(nullptr))), &rand);
    long lValue = 0;
    mrand48_r(&rand, &lValue);
    un32Address = static_cast<u32>(lValue);
  }
  return (u64{un32Address} << 32) | static_cast<u32>(getpid());
}

/* Copies the caller's extra gateway addresses into the instance. */
VQX_RESULT VqxCopyExtraGwAddr(VQX_LIB* pLib, u32 un32Count, const _VQX_EXTRA_GW_ADDR* paAddr) {
  _VQX_EXTRA_GW_ADDR* paCopy = nullptr;
  if (un32Count != 0 && paAddr != nullptr) {
    paCopy = static_cast<_VQX_EXTRA_GW_ADDR*>(malloc(sizeof(_VQX_EXTRA_GW_ADDR) * un32Count));
    if (paCopy == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    memcpy(paCopy, paAddr, sizeof(_VQX_EXTRA_GW_ADDR) * un32Count);
  } else {
    un32Count = 0;
  }
  free(pLib->paExtraGwAddr);
  pLib->paExtraGwAddr = paCopy;
  pLib->un32NbExtraGwAddr = un32Count;
  pLib->Params.paExtraGwAddr = paCopy;
  pLib->Params.un32NbExtraGwAddr = un32Count;
  return VQX_RESULT_OK;
}

VQX_RESULT VqxCreateLock(VQX_MUTEX_HANDLE* phMutex) {
  const VQX_RESULT result = VqxMutexCreate(phMutex);
  return result == VQX_RESULT_NOT_ENOUGH_MEMORY ? VQX_RESULT_NOT_ENOUGH_MEMORY
         : VQX_RESULT_FAILED(result)             ? VQX_RESULT_FAIL
                                                 : result;
}

/* Takes down whatever an open built; safe on a partly built instance. */
void VqxLibTearDown(VQX_LIB* pLib) {
  VQX_LIB_HANDLE hLib = reinterpret_cast<VQX_LIB_HANDLE>(pLib);
  const bool fLocked = pLib->hCriticalSection != nullptr;
  pLib->fClosing.store(1);
  if (fLocked) {
    VqxHostLibLetCallsOut(hLib);
    VqxHostLibCriticalSectionEnter(hLib);
  }
  /* Receive thread first, under the lock. */
  if (pLib->afPartInitialised[VQX_HOSTLIB_PART_RX_THREAD] != 0) {
    const VQX_HOSTLIB_PART part = VqxPart(VQX_HOSTLIB_PART_RX_THREAD);
    if (part.pFctUninit != nullptr) part.pFctUninit(hLib);
    pLib->afPartInitialised[VQX_HOSTLIB_PART_RX_THREAD] = 0;
  }
  /* The transport's threads call back under the library lock: destroy it without. */
  const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
  if (pLib->fGwInitCalled != 0 && pGlue != nullptr && pGlue->pFctUninit != nullptr) {
    const u32 un32Levels = fLocked ? VqxHostLibLockReleaseAll(hLib) : 0;
    pGlue->pFctUninit(hLib);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
  for (u32 un32Part : {u32{VQX_HOSTLIB_PART_FILTERS}, u32{VQX_HOSTLIB_PART_PEERS}}) {
    if (pLib->afPartInitialised[un32Part] == 0) continue;
    const VQX_HOSTLIB_PART part = VqxPart(un32Part);
    if (part.pFctUninit != nullptr) part.pFctUninit(hLib);
    pLib->afPartInitialised[un32Part] = 0;
  }
  free(pLib->paExtraGwAddr);
  pLib->paExtraGwAddr = nullptr;
  free(pLib->paEnvExtraGwAddr);
  pLib->paEnvExtraGwAddr = nullptr;

  if (g_pFctVqxPoolOfBuffersvPrintf == VQXHostLibPoolOfBuffersErrorvPrintf && g_pVqxPoolOfBuffersvPrintfContext == pLib) {
    g_pFctVqxPoolOfBuffersvPrintf = nullptr;
    g_pVqxPoolOfBuffersvPrintfContext = nullptr;
  }
  if (pLib->pLogEvent != nullptr || pLib->pLogExitEvent != nullptr) VqxHostLibLogThreadStop(hLib);
  if (pLib->hTraceQueueCriticalSection != nullptr) VqxHostLibLogQueueFree(hLib);
  if (pLib->pLiveBuffers != nullptr) VqxHostLibFlushReleases(hLib);
  if (fLocked) VqxHostLibLockReleaseAll(hLib);
  if (pLib->hOutputCriticalSection != nullptr) VqxMutexDestroy(pLib->hOutputCriticalSection);
  pLib->hOutputCriticalSection = nullptr;
  for (VQX_MUTEX_HANDLE hMutex : {pLib->hTraceQueueCriticalSection, pLib->hCriticalSection,
                                  pLib->hEventsToSetCriticalSection}) {
    if (hMutex != nullptr) VqxMutexDestroy(hMutex);
  }
  /* Buffers never given back are freed with the instance. */
  VqxBufLayerDestroy(hLib);
  pLib->un32Magic = 0;
  delete pLib;
  /*
   * The process-wide local interface list is read by the library instances
   * and by their transport instances, destroyed above; no other user remains
   * once no instance is open, so the last one out releases the list.
   */
  std::lock_guard<std::mutex> guard(s_RegistryMutex);
  if (s_un32OpenLibs == 0) VQXGetIpInterfacesUninit();
}

/* Log line of a failed open step (an error, or a trace of un32Level when the step named its cause), then rollback.
 * A null text: no line (the step named its cause before the log thread runs, where a trace would reach standard
 * error). */
VQX_RESULT VqxOpenFail(VQX_LIB* pLib, VQX_LIB_HANDLE* phLib, const char* pszText, VQX_RESULT Result,
                       u32 un32Level = 0) {
  if (pszText != nullptr) VQX_LOG_V(reinterpret_cast<VQX_LIB_HANDLE>(pLib), un32Level, "%s: %s\n", VQX_OPEN, pszText);
  VqxLibTearDown(pLib);
  *phLib = nullptr;
  return Result;
}

VQX_RESULT VqxInitPart(VQX_LIB* pLib, u32 un32Part) {
  const VQX_HOSTLIB_PART part = VqxPart(un32Part);
  if (part.pFctInit == nullptr) return VQX_RESULT_OK;
  const VQX_RESULT result = part.pFctInit(reinterpret_cast<VQX_LIB_HANDLE>(pLib));
  if (VQX_RESULT_SUCCEEDED(result)) pLib->afPartInitialised[un32Part] = 1;
  return result;
}

const char* VqxPartFailureText(u32 un32Part, const char* pszDefault) {
  const VQX_HOSTLIB_PART part = VqxPart(un32Part);
  return part.pszInitFailureText != nullptr ? part.pszInitFailureText : pszDefault;
}

}  // namespace

/* -------------------------------------------------------------------- open */

VQX_RESULT VQXOpenLib(_VQX_LIB_PARAMS* pParams, VQX_LIB_HANDLE* phLib) {
  if (pParams == nullptr || phLib == nullptr) {
    VqxPrintResultNoLib(VQX_OPEN, "VQX_RESULT_API_NULL_PARAM");
    if (phLib != nullptr) *phLib = nullptr;
    return VQX_RESULT_API_NULL_PARAM;
  }
  *phLib = nullptr;
  /* The texts are read as C texts from here on (logs, the transport, the host's records): one that
   * fills its field ends at the field's last byte instead of running into the next field. */
  pParams->szHostName[sizeof(pParams->szHostName) - 1] = '\0';
  pParams->szApplicationName[sizeof(pParams->szApplicationName) - 1] = '\0';
  pParams->szGw0Address[sizeof(pParams->szGw0Address) - 1] = '\0';
  pParams->szGw1Address[sizeof(pParams->szGw1Address) - 1] = '\0';
  pParams->un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
  Snprintf(pParams->szReleaseTag, sizeof(pParams->szReleaseTag), "%s", VQX_HOSTLIB_RELEASE_TAG);

  VQX_RESULT result = VQXValidateLibParams(nullptr, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VqxPrintResultNoLib(VQX_OPEN, "VQXValidateLibParams failed");
    return result;
  }

  VQX_LIB* pLib = new (std::nothrow) VQX_LIB{};
  if (pLib == nullptr) {
    VqxPrintResultNoLib(VQX_OPEN, "VQX_RESULT_API_NOT_ENOUGH_MEMORY");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  VQX_LIB_HANDLE hLib = reinterpret_cast<VQX_LIB_HANDLE>(pLib);
  {
    std::lock_guard<std::mutex> guard(s_RegistryMutex);
    pLib->pFctSendMultiple = s_pFctSendMultiple;
    pLib->pFctReceiveMultiple = s_pFctReceiveMultiple;
  }
  pLib->un32WallClockAtOpen = static_cast<u32>(time(nullptr));
  pLib->un64ClockAtOpen = VQXGetClock();
  VqxHostLibRefreshNow(hLib);

  if (g_pFctVqxPoolOfBuffersvPrintf == nullptr) {
    g_pFctVqxPoolOfBuffersvPrintf = VQXHostLibPoolOfBuffersErrorvPrintf;
    g_pVqxPoolOfBuffersvPrintfContext = pLib;
  }

  struct LockStep {
    VQX_MUTEX_HANDLE* phMutex;
    const char* pszText;
  } const aLocks[] = {
      {&pLib->hCriticalSection, "Could not create hCriticalSection"},
      {&pLib->hEventsToSetCriticalSection, "Could not create hEventsToSetCriticalSection"},
      {&pLib->hTraceQueueCriticalSection, "Could not create hTraceQueueCriticalSection"},
  };
  for (const LockStep& step : aLocks) {
    result = VqxCreateLock(step.phMutex);
    if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, step.pszText, result);
  }
  VqxHostLibCriticalSectionEnter(hLib);

  pLib->Params = *pParams;
  pLib->Params.paExtraGwAddr = nullptr;
  pLib->Params.un32NbExtraGwAddr = 0;
  result = VqxBufLayerInit(hLib);
  if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, "Could not create critical section", result);
  result = VQXUpdatePreAllocPoolsList(hLib);
  if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, "Could not allocate pre-allocated buffer pools", result);
  /* The classes in use (defaults when none were given) go back into the caller's record. */
  pParams->un32NbPreAllocBufferPools = pLib->Params.un32NbPreAllocBufferPools;
  memcpy(pParams->aPreAllocBufferPools, pLib->Params.aPreAllocBufferPools, sizeof(pParams->aPreAllocBufferPools));

  pLib->pErrorFile = pParams->pErrorFile;
  result = VqxCreateLock(&pLib->hOutputCriticalSection);
  if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, "Could not create critical section", result);

  const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
  if (pGlue != nullptr && pGlue->pFctIpAddressesPrepare != nullptr) {
    result = pGlue->pFctIpAddressesPrepare(hLib, pParams);
    if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, nullptr, result); /* its cause told */
  } else {
    pLib->un16EnvGwPort = VqxGwPortFromEnv(hLib);
    if (pParams->un16GwPort == 0) pParams->un16GwPort = pLib->un16EnvGwPort;
    pLib->fGw0Settled = pLib->fGw1Settled = 1;
  }

  if (pParams->szHostName[0] == '\0') {
    char szHost[sizeof(pParams->szHostName)] = "";
    if (gethostname(szHost, sizeof(szHost) - 1) != 0) szHost[0] = '\0';
    Snprintf(pParams->szHostName, sizeof(pParams->szHostName), "%s", szHost[0] != '\0' ? szHost : pParams->szGw0Address);
  }
  if (pParams->szApplicationName[0] == '\0') {
    Snprintf(pParams->szApplicationName, sizeof(pParams->szApplicationName), "Unnamed_app_%08X",
             static_cast<u32>(VQXGetClock()));
  }
  pLib->Params = *pParams;
  pLib->Params.un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
  pLib->un32TraceLevel.store(pParams->un32TraceLevel);
  Snprintf(pLib->szLocalGw0Address, sizeof(pLib->szLocalGw0Address), "%s", pParams->szGw0Address);
  Snprintf(pLib->szLocalGw1Address, sizeof(pLib->szLocalGw1Address), "%s", pParams->szGw1Address);

  result = VqxCopyExtraGwAddr(pLib, pParams->un32NbExtraGwAddr, pParams->paExtraGwAddr);
  if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, "Could not allocate paExtraGwAddr", result);

  result = VqxHostLibLogThreadStart(hLib);
  if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, "Could not start the log thread", result);

  result = VqxInitPart(pLib, VQX_HOSTLIB_PART_PEERS);
  if (VQX_RESULT_FAILED(result)) {
    return VqxOpenFail(pLib, phLib, VqxPartFailureText(VQX_HOSTLIB_PART_PEERS, "Adapter init failed"), result);
  }
  if (pGlue != nullptr && pGlue->pFctInit != nullptr) {
    pLib->fGwInitCalled = 1;
    result = pGlue->pFctInit(hLib);
    if (VQX_RESULT_FAILED(result)) return VqxOpenFail(pLib, phLib, "Gateway Library Init failed", result);
  } else {
    pLib->un64UniqueHostId = VqxUniqueHostIdFallback();
  }
  result = VqxInitPart(pLib, VQX_HOSTLIB_PART_FILTERS);
  if (VQX_RESULT_FAILED(result)) {
    return VqxOpenFail(pLib, phLib, VqxPartFailureText(VQX_HOSTLIB_PART_FILTERS, "Filter init failed"), result);
  }
  result = VqxInitPart(pLib, VQX_HOSTLIB_PART_RX_THREAD);
  if (VQX_RESULT_FAILED(result)) {
    return VqxOpenFail(pLib, phLib, VqxPartFailureText(VQX_HOSTLIB_PART_RX_THREAD, "Rx thread init failed"), result);
  }
  if (pGlue != nullptr && pGlue->pFctEnable != nullptr) {
    if (pLib->Params.fAdaptersGwOff == 0) {
      result = pGlue->pFctEnable(hLib, 0, 1);
      if (VQX_RESULT_FAILED(result))
        return VqxOpenFail(pLib, phLib, "Adapters Gateway Library enable failed", result, VQX_LOG_LEVEL_TOLD);
      pLib->afGwEnabled[0] = 1;
    }
    if (pLib->Params.fHostsGwOn != 0) {
      result = pGlue->pFctEnable(hLib, 1, 1);
      if (VQX_RESULT_FAILED(result))
        return VqxOpenFail(pLib, phLib, "Host Gateway Library enable failed", result, VQX_LOG_LEVEL_TOLD);
      pLib->afGwEnabled[1] = 1;
    }
  }
  for (u32 i = 0; i < pLib->un32NbExtraGwAddr; i++) {
    if (pLib->paExtraGwAddr[i].un16Port == 0) {
      VQX_LOG_V(hLib, 0, "Removing %s/%s from GW remote address (not on VQX_GW_PORT=%u)\n",
                pLib->paExtraGwAddr[i].szIpAddress0, pLib->paExtraGwAddr[i].szIpAddress1,
                static_cast<u32>(pLib->Params.un16GwPort));
    }
  }
  VqxMsgElementSetAllocator(VqxElementMsgAlloc, VqxElementMsgRelease);

  pParams->un32BuildNumber = static_cast<u32>(pLib->un64UniqueHostId);
  pLib->un32Magic = VQX_LIB_MAGIC_OPEN;
  {
    std::lock_guard<std::mutex> guard(s_RegistryMutex);
    s_un32OpenLibs++;
  }
  VqxHostLibCriticalSectionLeave(hLib);
  *phLib = hLib;
  return VQX_RESULT_API_OK;
}

/* ------------------------------------------------------------------- close */

VQX_RESULT VQXCloseLibEx(VQX_LIB_HANDLE* phLib) {
  if (phLib == nullptr || *phLib == nullptr) {
    VqxPrintResultNoLib("VQXCloseLib", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LIB* pLib = VqxLib(*phLib);
  *phLib = nullptr;
  {
    std::lock_guard<std::mutex> guard(s_RegistryMutex);
    s_un32OpenLibs--;
  }
  VqxMsgElementSetAllocator(nullptr, nullptr);
  VqxLibTearDown(pLib);
  return VQX_RESULT_API_OK;
}

/* ---------------------------------------------------------------- modify */

namespace {

VQX_RESULT VqxModifFail(VQX_LIB_HANDLE hLib, const char* pszText, VQX_RESULT Result, u32 un32Level = 0) {
  VQX_LOG_V(hLib, un32Level, "VQXModifLibParams: %s\n", pszText);
  VqxHostLibCriticalSectionLeave(hLib);
  return Result;
}

/* Switches one transport instance on or off through the glue (recorded when there is none). */
VQX_RESULT VqxSwitchGateway(VQX_LIB* pLib, u32 fHosts, u32 fOn) {
  const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
  if (pGlue != nullptr && pGlue->pFctEnable != nullptr) {
    const VQX_RESULT result = pGlue->pFctEnable(reinterpret_cast<VQX_LIB_HANDLE>(pLib), fHosts, fOn);
    if (VQX_RESULT_FAILED(result)) return result;
    pLib->afGwEnabled[fHosts] = fOn;
  }
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VQXModifLibParams(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams) {
  if (hLib == nullptr) {
    VqxPrintResultNoLib("VQXModifLibParams", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (pParams == nullptr) {
    VQX_LOG_V(hLib, 0, "VQXModifLibParams: %s\n", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  VQX_RESULT result = VQXValidateLibParams(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQX_LOG_V(hLib, 0, "VQXModifLibParams: %s\n", "VQXValidateLibParams failed");
    return result;
  }
  VQX_LIB* pLib = VqxLib(hLib);
  _VQX_LIB_PARAMS& cur = pLib->Params;
  const _VQX_LIB_PARAMS& req = *pParams;
  VqxHostLibCriticalSectionEnter(hLib);
  bool fChanged = false;

  VqxMutexGet(pLib->hOutputCriticalSection);
  /* As at open: without an error stream the error callback prints (standard error without one either). */
  pLib->pErrorFile = req.pErrorFile;
  cur.pErrorFile = req.pErrorFile;
  cur.pTraceFile = req.pTraceFile;
  cur.pFctErrorCallback = req.pFctErrorCallback;
  cur.pvErrorContext = req.pvErrorContext;
  const bool fTraceBefore = cur.pFctTraceCallback != nullptr || cur.pTraceFile != nullptr;
  cur.pFctTraceCallback = req.pFctTraceCallback;
  cur.pvTraceContext = req.pvTraceContext;
  cur.un32TraceLevel = req.un32TraceLevel;
  pLib->un32TraceLevel.store(req.un32TraceLevel);
  VqxMutexGive(pLib->hOutputCriticalSection);
  const bool fTraceAfter = cur.pFctTraceCallback != nullptr || cur.pTraceFile != nullptr;
  fChanged |= fTraceBefore != fTraceAfter;

  cur.pFctStatusCallback = req.pFctStatusCallback;
  cur.pvStatusContext = req.pvStatusContext;
  cur.pFctSendHook = req.pFctSendHook;
  cur.pvSendHookContext = req.pvSendHookContext;
  cur.fSendHookAlways = req.fSendHookAlways;

  if ((req.fHostsGwOn != 0) != (cur.fHostsGwOn != 0)) {
    result = VqxSwitchGateway(pLib, 1, req.fHostsGwOn != 0);
    if (VQX_RESULT_FAILED(result)) {
      return VqxModifFail(hLib, req.fHostsGwOn != 0 ? "Host Gateway Library enable failed"
                                                   : "Host Gateway Library disable failed", result, VQX_LOG_LEVEL_TOLD);
    }
    cur.fHostsGwOn = req.fHostsGwOn;
  }
  if ((req.fAdaptersGwOff != 0) != (cur.fAdaptersGwOff != 0)) {
    result = VqxSwitchGateway(pLib, 0, req.fAdaptersGwOff == 0);
    if (VQX_RESULT_FAILED(result)) {
      return VqxModifFail(hLib, req.fAdaptersGwOff != 0 ? "Adapter Gateway Library disable failed"
                                                       : "Adapter Gateway Library enable failed", result,
                          VQX_LOG_LEVEL_TOLD);
    }
    cur.fAdaptersGwOff = req.fAdaptersGwOff;
  }
  if (req.un32GwOption != cur.un32GwOption) {
    cur.un32GwOption = req.un32GwOption;
    fChanged = true;
  }
  const u16 un16Port = req.un16GwPort != 0 ? req.un16GwPort : cur.un16GwPort;
  if (un16Port != cur.un16GwPort || memcmp(req.abyGwBlock, cur.abyGwBlock, sizeof(cur.abyGwBlock)) != 0) {
    cur.un16GwPort = un16Port;
    memcpy(cur.abyGwBlock, req.abyGwBlock, sizeof(cur.abyGwBlock));
    fChanged = true;
  }
  u32 un32NbExtra = req.un32NbExtraGwAddr;
  const _VQX_EXTRA_GW_ADDR* paExtra = req.paExtraGwAddr;
  if (un32NbExtra == 0 || paExtra == nullptr) {
    un32NbExtra = pLib->un32NbEnvExtraGwAddr;
    paExtra = pLib->paEnvExtraGwAddr;
  }
  if (un32NbExtra != pLib->un32NbExtraGwAddr ||
      (un32NbExtra != 0 && memcmp(paExtra, pLib->paExtraGwAddr, sizeof(_VQX_EXTRA_GW_ADDR) * un32NbExtra) != 0)) {
    result = VqxCopyExtraGwAddr(pLib, un32NbExtra, paExtra);
    if (VQX_RESULT_FAILED(result)) return VqxModifFail(hLib, "Could not allocate paExtraGwAddr", result);
    fChanged = true;
  }
  cur.NetworkRedundancy = req.NetworkRedundancy;

  const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
  if (fChanged && pGlue != nullptr && pGlue->pFctApplyParams != nullptr) {
    if (pLib->pvAdaptersGw != nullptr) {
      result = pGlue->pFctApplyParams(hLib, 0);
      if (VQX_RESULT_FAILED(result)) {
        return VqxModifFail(hLib, "Failed to apply new gw parameters to Adapter Gateway Library", result);
      }
    }
    if (pLib->pvHostsGw != nullptr) {
      result = pGlue->pFctApplyParams(hLib, 1);
      if (VQX_RESULT_FAILED(result)) {
        return VqxModifFail(hLib, "Failed to apply new gw parameters to Host Gateway Library", result);
      }
    }
  }

  cur.un32NbPreAllocBufferPools = req.un32NbPreAllocBufferPools;
  memcpy(cur.aPreAllocBufferPools, req.aPreAllocBufferPools, sizeof(cur.aPreAllocBufferPools));
  result = VQXUpdatePreAllocPoolsList(hLib);
  if (VQX_RESULT_FAILED(result)) return VqxModifFail(hLib, "Failed to update pre-allocated buffer pools", result);

  VqxHostLibCriticalSectionLeave(hLib);
  return VQX_RESULT_API_OK;
}

/* ------------------------------------------------------------ queries */

VQX_RESULT VQXGetLibParams(VQX_LIB_HANDLE hLib, _VQX_LIB_PARAMS* pParams) {
  if (hLib == nullptr) {
    VqxPrintResultNoLib("VQXModifLibParams", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (pParams == nullptr) {
    VQX_LOG_V(hLib, 0, "VQXModifLibParams: %s\n", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  VqxHostLibCriticalSectionEnter(hLib);
  *pParams = VqxLib(hLib)->Params;
  VqxHostLibCriticalSectionLeave(hLib);
  if (pParams->szGw0Address[0] == '\0' && pParams->szGw1Address[0] == '\0') {
    Snprintf(pParams->szGw0Address, sizeof(pParams->szGw0Address), "ANY");
    Snprintf(pParams->szGw1Address, sizeof(pParams->szGw1Address), "ANY");
  }
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXGetLibInfo(VQX_LIB_HANDLE hLib, _VQX_LIB_INFO* pInfo) {
  if (pInfo == nullptr) {
    if (hLib != nullptr) {
      VQX_LOG_V(hLib, 0, "VQXGetLibInfo: %s\n", "VQX_RESULT_API_NULL_PARAM");
    } else {
      VqxPrintResultNoLib("VQXGetLibInfo", "VQX_RESULT_API_NULL_PARAM");
    }
    return VQX_RESULT_API_NULL_PARAM;
  }
  memset(pInfo, 0, sizeof(*pInfo));
  pInfo->un32StructVersion = 1;
  pInfo->un32BuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
  pInfo->un32BuildNumber2 = VQX_HOSTLIB_BUILD_NUMBER;
  Snprintf(pInfo->szReleaseTag, sizeof(pInfo->szReleaseTag), "%s", VQX_HOSTLIB_RELEASE_TAG);
  pInfo->un32LibBuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
  Snprintf(pInfo->szLibReleaseTag, sizeof(pInfo->szLibReleaseTag), "%s", VQX_HOSTLIB_RELEASE_TAG);
  pInfo->un32LocalHandleVersion = 1;
  pInfo->hLocalHandleBase = VQX_HOSTLIB_ADAPTER_HANDLE;
  pInfo->un32HostBuildNumber = VQX_HOSTLIB_BUILD_NUMBER;
  if (hLib == nullptr) return VQX_RESULT_API_OK;

  VQX_LIB* pLib = VqxLib(hLib);
  VqxHostLibCriticalSectionEnter(hLib);
  pInfo->LibParams = pLib->Params;
  pInfo->un64UniqueHostId = pLib->un64UniqueHostId;
  pInfo->un64HostUniqueId = pLib->un64UniqueHostId;
  pInfo->aun64HostContext[0] = pLib->Params.aun64HostContext[0];
  pInfo->aun64HostContext[1] = pLib->Params.aun64HostContext[1];
  memcpy(pInfo->szLocalGw0Address, pLib->szLocalGw0Address, sizeof(pInfo->szLocalGw0Address));
  memcpy(pInfo->szLocalGw1Address, pLib->szLocalGw1Address, sizeof(pInfo->szLocalGw1Address));
  memcpy(pInfo->szHostName, pLib->Params.szHostName, sizeof(pInfo->szHostName));
  memcpy(pInfo->szApplicationName, pLib->Params.szApplicationName, sizeof(pInfo->szApplicationName));
  VqxHostLibCriticalSectionLeave(hLib);
  return VQX_RESULT_API_OK;
}

/* --------------------------------------------------------------- polling */

namespace {

typedef VQX_RESULT (*PFCT_VQX_GLUE_STEP)(VQX_LIB_HANDLE);

/* Runs one glue operation under the library lock; its failure is logged under the polling name. */
VQX_RESULT VqxRunGlueStep(VQX_LIB_HANDLE hLib, PFCT_VQX_GLUE_STEP VQX_HOSTLIB_GATEWAY_GLUE::*pStep) {
  VQX_RESULT result = VQX_RESULT_API_OK;
  VqxHostLibCriticalSectionEnter(hLib);
  const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
  if (pGlue != nullptr && pGlue->*pStep != nullptr) {
    const VQX_RESULT stepResult = (pGlue->*pStep)(hLib);
    if (VQX_RESULT_FAILED(stepResult)) {
      char szName[128];
      VQX_LOG_V(hLib, 0, "VQXPollAdapters: %s\n", VqxResultName(stepResult, szName, sizeof(szName)));
      result = stepResult;
    }
  }
  VqxHostLibCriticalSectionLeave(hLib);
  return result;
}

}  // namespace

VQX_RESULT VQXPollLibrary(VQX_LIB_HANDLE hLib) {
  if (hLib == nullptr) {
    VqxPrintResultNoLib("VQXPollAdapters", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LIB* pLib = VqxLib(hLib);
  /* Pass once through every lock: a stuck holder shows up here. */
  VqxMutexGet(pLib->hOutputCriticalSection);
  VqxMutexGive(pLib->hOutputCriticalSection);
  pLib->BufMutex.lock(); /* buffer-allocation and release-list lock */
  pLib->BufMutex.unlock();
  return VqxRunGlueStep(hLib, &VQX_HOSTLIB_GATEWAY_GLUE::pFctPoll);
}

VQX_RESULT VQXPollAdapters(VQX_LIB_HANDLE hLib) {
  if (hLib == nullptr) {
    VqxPrintResultNoLib("VQXPollAdapters", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  return VqxRunGlueStep(hLib, &VQX_HOSTLIB_GATEWAY_GLUE::pFctForceDiscover);
}

namespace {

/* One gateway transport instance closed, the library staying open (fHosts 0 adapters, 1 hosts). */
VQX_RESULT VqxCloseGw(VQX_LIB_HANDLE hLib, u32 fHosts, const char* pszOperation) {
  if (hLib == nullptr) {
    VqxPrintResultNoLib(pszOperation, "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LIB* pLib = VqxLib(hLib);
  std::atomic<u32>& fClosingGw = fHosts ? pLib->fHostsClosing : pLib->fAdaptersClosing;
  /* Off in the parameters first: a later VQXModifLibParams that turns it on opens a new instance. */
  VqxHostLibCriticalSectionEnter(hLib);
  if (fHosts) {
    pLib->Params.fHostsGwOn = 0;
  } else {
    pLib->Params.fAdaptersGwOff = 1;
  }
  pLib->afGwEnabled[fHosts] = 0;
  fClosingGw.store(1);
  VqxHostLibCriticalSectionLeave(hLib);
  const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
  if (pGlue != nullptr && pGlue->pFctDestroy != nullptr) pGlue->pFctDestroy(hLib, fHosts);
  fClosingGw.store(0);
  return VQX_RESULT_API_OK;
}

}  // namespace

VQX_RESULT VQXCloseAdaptersGw(VQX_LIB_HANDLE hLib) { return VqxCloseGw(hLib, 0, "VQXCloseAdaptersGw"); }

VQX_RESULT VQXCloseHostsGw(VQX_LIB_HANDLE hLib) { return VqxCloseGw(hLib, 1, "VQXCloseHostsGw"); }

namespace {

VQX_RESULT VqxNotSupported(VQX_LIB_HANDLE hLib, const char* pszOperation) {
  if (hLib == nullptr) {
    VqxPrintResultNoLib(pszOperation, "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LOG_V(hLib, 0, "%s: %s\n", pszOperation, "VQX_RESULT_API_NOT_SUPPORTED");
  return VQX_RESULT_API_NOT_SUPPORTED;
}

}  // namespace

VQX_RESULT VQXCreateAssociation(VQX_LIB_HANDLE hLib) { return VqxNotSupported(hLib, "VQXCreateAssociation"); }
VQX_RESULT VQXDestroyAssociation(VQX_LIB_HANDLE hLib) { return VqxNotSupported(hLib, "VQXDestroyAssociation"); }
