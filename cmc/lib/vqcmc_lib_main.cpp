/*
 * vqcmc_lib_main.cpp - the library's public life cycle: open, modify, the
 * getters, stop and close; the log routines every file uses.
 *
 * Open builds in a fixed order and, on failure, takes down what it built in
 * the reverse order, so that a failed open leaves no thread, filter or
 * message behind. Close is refused from inside a library callback: the
 * context would be freed under the running intake or job.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "vqcmc_lib_internal.h"
#include "vqx_clitools_time.h"
#include "vqx_clock.h"
#include "vqx_string.h"

namespace {

_VQCMC_LIB_SEAMS s_Seams{};

thread_local const VQCMC_LIB_CTX* t_pCallbackCtx = nullptr;
thread_local u32 t_un32CallbackDepth = 0;

/* Guard of hThreadSem for a public call. */
class CThreadSem {
 public:
  explicit CThreadSem(VQCMC_LIB_CTX* pCtx) : mhSem(pCtx->hThreadSem) { VqxMutexGet(mhSem); }
  ~CThreadSem() { VqxMutexGive(mhSem); }
  CThreadSem(const CThreadSem&) = delete;
  CThreadSem& operator=(const CThreadSem&) = delete;

 private:
  VQX_MUTEX_HANDLE mhSem;
};

const char* BaseName(const char* pszPath) {
  const char* pszBase = pszPath;
  for (u32 i = 0; i < 256 && pszPath[i] != '\0'; i++) {
    if (pszPath[i] == '/' || pszPath[i] == '\\') pszBase = pszPath + i + 1;
  }
  return pszBase;
}

void LogPrint(VQCMC_LIB_CTX* pCtx, u32 un32Level, const char* pszFormat, ...) {
  if (pCtx->Params.Log.pFctLog == nullptr) return;
  va_list args;
  va_start(args, pszFormat);
  pCtx->Params.Log.pFctLog(pCtx->Params.Log.pContext, 0, un32Level, pszFormat, args);
  va_end(args);
}

VQX_RESULT ParamValidate(VQCMC_LIB_CTX* pCtx, const _VQCMC_LIB_PARAMS* pParams) {
  static const char* kOp = "VqCmcLibParamValidate";
  if (pParams->Threads.un32NbThread < 1 || pParams->Threads.un32NbThread > VQCMC_LIB_MAX_THREADS) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "Invalid Threads.un32NbThread=0x%X", pParams->Threads.un32NbThread);
    return VQX_RESULT_INVALID_PARAM;
  }
  if (pParams->Threads.Prio >= 5 || pParams->Threads.Prio == 2) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "Invalid Threads.Prio=0x%X", pParams->Threads.Prio);
    return VQX_RESULT_INVALID_PARAM;
  }
  if (pParams->Callback.pFctCallback == nullptr) {
    VQCMC_ERR(pCtx, kOp, VQX_RESULT_INVALID_PARAM, "Invalid Callback.pFctCallback=0x%X", 0u);
    return VQX_RESULT_INVALID_PARAM;
  }
  const VQX_RESULT result = VQXGetLibParams(pParams->hVqxLib, &pCtx->VqxLibParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, kOp, result, "Invalid hVqxLib=0x%X", static_cast<u32>(reinterpret_cast<uintptr_t>(pParams->hVqxLib)));
    return result;
  }
  return VQX_RESULT_OK;
}

/* Takes down whatever open or close built; each handle is cleared. */
void TearDown(VQCMC_LIB_CTX* pCtx, bool fLogFailures) {
  if (pCtx->hTimer != nullptr && VQX_RESULT_FAILED(VQXTimerDestroy(pCtx->hTimer)) && fLogFailures) {
    VQCMC_RED(pCtx, "VQCmcLibClose", "Failed to Destroy timer lib");
  }
  pCtx->hTimer = nullptr;
  if (pCtx->pCoalescingQueue != nullptr) VqxApiCoalescingQueueDestroy(pCtx->hVqxLib, pCtx->pCoalescingQueue);
  pCtx->pCoalescingQueue = nullptr;
  VqCmcRefusalsFree(pCtx);
  if (pCtx->hFilter != nullptr) {
    VQXFlushMsgsDbg(pCtx->hVqxLib, pCtx->hFilter, nullptr, __FILE__, __LINE__);
    if (VQX_RESULT_FAILED(VQXDestroyMsgFilterDbg(pCtx->hVqxLib, &pCtx->hFilter, __FILE__, __LINE__)) && fLogFailures) {
      VQCMC_RED(pCtx, "VQCmcLibClose", "VQXDestroyMsgFilter Failed");
    }
  }
  pCtx->hFilter = nullptr;
  VqCmcMsgEntryUninit(pCtx);
  if (pCtx->hMsgPool != nullptr) VQXPoolOfMessagesDestroy(pCtx->hVqxLib, pCtx->hMsgPool);
  pCtx->hMsgPool = nullptr;
  if (pCtx->hThreadSem != nullptr) VqxMutexDestroy(pCtx->hThreadSem);
  pCtx->hThreadSem = nullptr;
  if (pCtx->hLogMutex != nullptr) VqxMutexDestroy(pCtx->hLogMutex);
  pCtx->hLogMutex = nullptr;
}

bool FailStep(const VQCMC_LIB_CTX* pCtx, u32 un32Step) { return pCtx->Seams.un32FailOpenStep == un32Step; }

VQX_RESULT ComInit(VQCMC_LIB_CTX* pCtx) {
  _VQX_FILTER_PARAMS aSets[3]{};
  aSets[0].un32Version = 1;
  aSets[0].un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  aSets[0].MsgGroup = 0x0201u;
  aSets[1].un32Version = 1;
  aSets[1].un32Mask = VQX_FILTER_MASK_MSG_GROUP | 0x800000u;
  aSets[1].MsgGroup = VQCMC_MSG_GROUP_LIB;
  aSets[2] = aSets[1];
  aSets[2].MsgGroup = VQCMC_MSG_GROUP_PUBLIC;
  VQX_RESULT result = FailStep(pCtx, 8) ? VQX_RESULT_FAIL
                                        : VQXCreateMsgFilterDbg(pCtx->hVqxLib, 3, aSets, &pCtx->hFilter, __FILE__,
                                                                __LINE__);
  if (VQX_RESULT_FAILED(result)) {
    pCtx->hFilter = nullptr;
    VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "VQXCreateMsgFilter Failed");
    return result;
  }
  VQX_COALESCING_QUEUE_PARAMS qp{VQCMC_COALESCING_SLOTS, pCtx->hFilter, pCtx->hThreadSem};
  pCtx->pCoalescingQueue = FailStep(pCtx, 9) ? nullptr : VqxApiCoalescingQueueCreate(pCtx->hVqxLib, &qp);
  if (pCtx->pCoalescingQueue == nullptr) {
    VQCMC_ERR(pCtx, "VQCmcLibOpen", VQX_RESULT_FAIL, "Failed to create coalescing queue");
    return VQX_RESULT_FAIL;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT MainInit(VQCMC_LIB_CTX* pCtx) {
  const u32 un32Now = VqCmcClockRead(pCtx);
  pCtx->hTimer = FailStep(pCtx, 6) ? nullptr : VQXTimerCreate(0, 1, 0x7FFFFFFF, un32Now);
  if (pCtx->hTimer == nullptr) {
    VQCMC_ERR(pCtx, "VQCmcLibOpen", VQX_RESULT_OUT_OF_MEMORY, "Failed to allocate timer lib");
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  VQXTimerSetUsageFlagOffset(pCtx->hTimer, VQCMC_TIMER_OFFSET_IN_USE);
  pCtx->un32CurrTimeMs = un32Now;
  pCtx->un32LastPollMs = un32Now;
  VQX_RESULT result = FailStep(pCtx, 7) ? VQX_RESULT_NOT_ENOUGH_MEMORY : VqxMutexCreate(&pCtx->hThreadSem);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "VQX_SEM_CREATE hThreadSem Failed");
    return result;
  }
  result = ComInit(pCtx);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "VqCmcComInit Failed");
  return result;
}

/* Step 10 under hThreadSem: each layer; a failure undoes the layers before it. */
VQX_RESULT LayersInit(VQCMC_LIB_CTX* pCtx) {
  struct Layer {
    VQX_RESULT (*pFctInit)(VQCMC_LIB_CTX*);
    const char* pszFailed;
  };
  static const Layer aLayers[] = {
      {VqCmcHostInit, "VqCmcHostInit Failed"},
      {VqCmcEntityInit, "VqCmcEntityInit Failed"},
      {VqCmcEntityEventInit, "VqCmcLegEventInit Failed"},
      {VqCmcThreadInit, "VqCmcThreadInit Failed"},
      {VqCmcStateMachineLaunch, "VqCmcStateMachineThreadLaunch Failed"},
  };
  u32 un32Done = 0;
  VQX_RESULT result = VQX_RESULT_OK;
  for (const Layer& layer : aLayers) {
    result = (pCtx->Seams.un32FailOpenStep == 10 && un32Done == 4) ? VQX_RESULT_FAIL : layer.pFctInit(pCtx);
    if (VQX_RESULT_FAILED(result)) {
      VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "%s", layer.pszFailed);
      break;
    }
    un32Done++;
  }
  if (VQX_RESULT_SUCCEEDED(result)) return result;
  /* Undo in reverse order; the intake was not attached (it is the last layer). */
  VqxMutexGive(pCtx->hThreadSem);
  if (un32Done >= 4) VqCmcThreadUninit(pCtx);
  VqxMutexGet(pCtx->hThreadSem);
  if (un32Done >= 3) VqCmcEntityEventUninit(pCtx);
  if (un32Done >= 2) VqCmcEntityUninit(pCtx);
  if (un32Done >= 1) VqCmcHostUninit(pCtx);
  return result;
}

}  // namespace

/* ------------------------------------------------------------ log */

void VqCmcLogError(VQCMC_LIB_CTX* pCtx, const char* pszOp, VQX_RESULT result, const char* pszFile, int nLine,
                   const char* pszFormat, ...) {
  if (pCtx == nullptr || pCtx->Params.Log.pFctLog == nullptr || pCtx->hLogMutex == nullptr) return;
  VqxMutexGet(pCtx->hLogMutex);
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(pCtx->szLogBuf, sizeof(pCtx->szLogBuf), pszFormat, args);
  va_end(args);
  LogPrint(pCtx, VQCMC_LOG_LEVEL_ERROR, "%s: %s (%X) %s:%d\n", pszOp, pCtx->szLogBuf, result, BaseName(pszFile),
           nLine);
  VqxMutexGive(pCtx->hLogMutex);
}

void VqCmcLogTrace(VQCMC_LIB_CTX* pCtx, u32 un32Level, const char* pszPrefix, const char* pszOp,
                   const char* pszFile, int nLine, const char* pszFormat, ...) {
  if (pCtx == nullptr || pCtx->Params.Log.pFctLog == nullptr || pCtx->hLogMutex == nullptr) return;
  if (un32Level < pCtx->Params.un32TraceLevel) return;
  VqxMutexGet(pCtx->hLogMutex);
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(pCtx->szLogBuf, sizeof(pCtx->szLogBuf), pszFormat, args);
  va_end(args);
  LogPrint(pCtx, un32Level, "%s%s: %s %s:%d\n", pszPrefix, pszOp, pCtx->szLogBuf, BaseName(pszFile), nLine);
  VqxMutexGive(pCtx->hLogMutex);
}

void VqCmcTraceUnhandled(VQCMC_LIB_CTX* pCtx, const char* pszOp, const char* pszFile, int nLine,
                         const char* pszFormat, ...) {
  u32 un32LeftOut = 0;
  if (!pCtx->UnhandledLines.Allow(pCtx->un32CurrTimeMs, un32LeftOut)) return;
  char szText[160], szLeftOut[64];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof(szText), pszFormat, args);
  va_end(args);
  VqCmcLogTrace(pCtx, 0, "", pszOp, pszFile, nLine, "%s%s", szText,
                VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
}

void VqCmcCallbackEnter(VQCMC_LIB_CTX* pCtx) {
  t_pCallbackCtx = pCtx;
  t_un32CallbackDepth++;
}
void VqCmcCallbackLeave(void) {
  if (t_un32CallbackDepth > 0 && --t_un32CallbackDepth == 0) t_pCallbackCtx = nullptr;
}
bool VqCmcInCallbackOf(const VQCMC_LIB_CTX* pCtx) { return t_un32CallbackDepth > 0 && t_pCallbackCtx == pCtx; }

void VqCmcLibSetSeams(const _VQCMC_LIB_SEAMS* pSeams) {
  s_Seams = pSeams != nullptr ? *pSeams : _VQCMC_LIB_SEAMS{};
}

u32 VqCmcClockRead(VQCMC_LIB_CTX* pCtx) {
  const u32 un32Raw = pCtx->Seams.pFctClockMs != nullptr ? pCtx->Seams.pFctClockMs(pCtx->Seams.pClockContext)
                                                         : static_cast<u32>(VQXGetClock());
  /* A step back of less than a second is jitter between clock sources: keep the previous reading. */
  const u32 un32Back = pCtx->un32LastClockMs - un32Raw;
  if (pCtx->fClockRead && un32Back >= 1 && un32Back <= 999) return pCtx->un32LastClockMs;
  pCtx->un32LastClockMs = un32Raw;
  pCtx->fClockRead = 1;
  return un32Raw;
}

/* ------------------------------------------------------------ public calls */

VQX_RESULT VQCmcLibOpen(const _VQCMC_LIB_PARAMS* pParams, VQCMC_LIB_HANDLE* phLib) {
  if (phLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  *phLib = nullptr;
  VQCMC_LIB_CTX* pCtx = new (std::nothrow) VQCMC_LIB_CTX{};
  if (pCtx == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  VQX_RESULT result = VqxMutexCreate(&pCtx->hLogMutex);
  if (VQX_RESULT_FAILED(result)) {
    delete pCtx;
    return result;
  }
  pCtx->Params = *pParams;
  pCtx->hVqxLib = pParams->hVqxLib;
  VqCmcRefusalsInit(pCtx);
  pCtx->Seams = s_Seams;
  pCtx->pHooks = s_Seams.pEntityHooks != nullptr ? s_Seams.pEntityHooks : &g_VqCmcEntityHooks;
  const u32 un32Stamp = static_cast<u32>(VqxCliToolsGetTimestampMs() >> 1);
  pCtx->un32NextLinkId = un32Stamp;
  pCtx->NextEntityId = un32Stamp & 0x7FFFFFFFu;

  result = ParamValidate(pCtx, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "VqCmcLibParamValidate Failed");
    TearDown(pCtx, false);
    delete pCtx;
    return result;
  }
  _VQX_POOL_OF_MESSAGES_PARAMS poolParams{};
  static const _VQX_PREALLOC_BUF_POOL kClasses[] = {{32, 64}, {128, 32}, {512, 16}, {1024, 16}, {5000, 8}};
  poolParams.un32NbPreAllocBufferPools = 5;
  for (u32 i = 0; i < 5; i++) poolParams.aPreAllocBufferPools[i] = kClasses[i];
  result = FailStep(pCtx, 5) ? VQX_RESULT_FAIL
                             : VQXPoolOfMessagesAllocDbg(pCtx->hVqxLib, &poolParams, &pCtx->hMsgPool, __FILE__,
                                                         __LINE__);
  if (VQX_RESULT_FAILED(result)) {
    pCtx->hMsgPool = nullptr;
    VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "Failed to initialize pool of pre-allocated messages.");
  } else {
    result = MainInit(pCtx);
    if (VQX_RESULT_FAILED(result)) VQCMC_ERR(pCtx, "VQCmcLibOpen", result, "VqCmcMainInit Failed");
  }
  if (VQX_RESULT_SUCCEEDED(result)) {
    VqxMutexGet(pCtx->hThreadSem);
    result = LayersInit(pCtx);
    VqxMutexGive(pCtx->hThreadSem);
  }
  if (VQX_RESULT_FAILED(result)) {
    TearDown(pCtx, false);
    delete pCtx;
    return result;
  }
  *phLib = pCtx;
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibModify(VQCMC_LIB_HANDLE hLib, const _VQCMC_LIB_PARAMS* pParams) {
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  CThreadSem lock(hLib);
  VQCMC_TRACE(hLib, 0, "VQCmcLibModify", "Enter");
  const VQX_RESULT result = ParamValidate(hLib, pParams);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, "VQCmcLibModify", result, "VqCmcLibParamValidate Failed");
    return result;
  }
  const u8* pOld = hLib->Params.aun8RegisterFlags;
  const u8* pNew = pParams->aun8RegisterFlags;
  const bool fChanged = pOld[0] != pNew[0] || pOld[1] != pNew[1] || pOld[3] != pNew[3];
  hLib->Params = *pParams;
  if (fChanged) {
    for (_VQCMC_HOST_CTX* pHost = VqCmcHostFirst(hLib); pHost != nullptr; pHost = VqCmcHostNext(hLib, pHost)) {
      if (pHost->HostInfo.hAdapter != 0 && pHost->fRegistered) VqCmcHostSendLibRegister(hLib, pHost);
    }
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibGetParam(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_PARAMS* pParams) {
  if (hLib == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  CThreadSem lock(hLib);
  VQCMC_TRACE(hLib, 0, "VQCmcLibGetParam", "Enter");
  *pParams = hLib->Params;
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibGetStats(VQCMC_LIB_HANDLE hLib, _VQCMC_LIB_STATS* pStats) {
  if (hLib == nullptr || pStats == nullptr) return VQX_RESULT_NULL_PARAM;
  CThreadSem lock(hLib);
  VQCMC_TRACE(hLib, 0, "VQCmcLibGetStats", "Enter");
  VqCmcThreadDrainEnded(hLib);
  std::lock_guard<std::mutex> guard(hLib->JobLock);
  *pStats = hLib->Stats;
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibGetCmcServerList(VQCMC_LIB_HANDLE hLib, u32* pun32Count, _VQCMC_LIB_CMCSERVER_INFO* paInfo) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pun32Count == nullptr) {
    CThreadSem lock(hLib);
    VQCMC_ERR(hLib, "VQCmcLibGetCmcServerList", VQX_RESULT_NULL_PARAM, "NULL parameter");
    return VQX_RESULT_NULL_PARAM;
  }
  const u32 un32Capacity = *pun32Count;
  *pun32Count = 0;
  CThreadSem lock(hLib);
  if (paInfo == nullptr) {
    VQCMC_ERR(hLib, "VQCmcLibGetCmcServerList", VQX_RESULT_NULL_PARAM, "NULL parameter");
    return VQX_RESULT_NULL_PARAM;
  }
  u32 un32Filled = 0;
  for (_VQCMC_HOST_CTX* pHost = VqCmcHostFirst(hLib); pHost != nullptr && un32Filled < un32Capacity;
       pHost = VqCmcHostNext(hLib, pHost)) {
    _VQCMC_LIB_CMCSERVER_INFO& info = paInfo[un32Filled++];
    memset(&info, 0, sizeof(info));
    info.HostInfo = pHost->HostInfo;
    if (pHost->HostInfo.hAdapter != 0) {
      if (hLib->Seams.pFctGetRedundancy != nullptr) {
        hLib->Seams.pFctGetRedundancy(hLib->hVqxLib, pHost->HostInfo.hAdapter, &info.un32Gw0State, &info.un32Gw1State);
      } else {
        VQXGetNetworkRedundancyState(hLib->hVqxLib, pHost->HostInfo.hAdapter, nullptr, &info.un32Gw0State,
                                     &info.un32Gw1State);
      }
    }
    info.fReady = pHost->fReady;
    info.un32NbLegs = pHost->un32NbLegs;
    info.un32NbMixers = pHost->un32NbMixers;
  }
  *pun32Count = un32Filled;
  return VQX_RESULT_OK;
}

u32 VQCmcLibGetActiveCmcServerBuildNumber(VQCMC_LIB_HANDLE hLib) {
  if (hLib == nullptr) return 0;
  CThreadSem lock(hLib);
  for (_VQCMC_HOST_CTX* pHost = VqCmcHostFirst(hLib); pHost != nullptr; pHost = VqCmcHostNext(hLib, pHost)) {
    if (pHost->fReady) return pHost->HostInfo.un32BuildNumber;
  }
  return 0;
}

VQX_RESULT VQCmcLibStop(VQCMC_LIB_HANDLE hLib) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  VqCmcStateMachineStop(hLib);
  CThreadSem lock(hLib);
  std::lock_guard<std::mutex> guard(hLib->JobLock);
  hLib->fStopped = 1;
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibClose(VQCMC_LIB_HANDLE hLib) {
  if (hLib == nullptr) return VQX_RESULT_NULL_PARAM;
  if (VqCmcInCallbackOf(hLib)) {
    VQCMC_ERR(hLib, "VQCmcLibClose", VQX_RESULT_INVALID_STATE, "Called from a library callback");
    return VQX_RESULT_INVALID_STATE;
  }
  VqCmcStateMachineStop(hLib);
  /* What the close sends (the end of its filter told to the servers) waits for no room either: a server that
     stopped reading would hold it for good. */
  const volatile u32* pfBefore = VQXSetThreadSendWaitEnd(&hLib->fSendWaitsEnd);
  VqxMutexGet(hLib->hThreadSem);
  VqxMutexGive(hLib->hThreadSem);
  if (VQX_RESULT_FAILED(VqCmcThreadUninit(hLib))) VQCMC_RED(hLib, "VQCmcLibClose", "VqCmcThreadUninit Failed");
  VqxMutexGet(hLib->hThreadSem);
  VQX_RESULT result = VqCmcEntityEventUninit(hLib);
  if (VQX_RESULT_FAILED(result)) {
    VQCMC_ERR(hLib, "VQCmcLibClose", result, "VqCmcLegEventUninit Failed");
    VqxMutexGive(hLib->hThreadSem);
    VQXSetThreadSendWaitEnd(pfBefore);
    return result;
  }
  if (VQX_RESULT_FAILED(VqCmcEntityUninit(hLib))) VQCMC_RED(hLib, "VQCmcLibClose", "VqCmcEntityUninit Failed");
  if (VQX_RESULT_FAILED(VqCmcHostUninit(hLib))) VQCMC_RED(hLib, "VQCmcLibClose", "VqCmcHostUninit Failed");
  VqxMutexGive(hLib->hThreadSem);
  TearDown(hLib, true);
  VQXSetThreadSendWaitEnd(pfBefore);
  delete hLib;
  return VQX_RESULT_OK;
}

VQX_RESULT VQCmcLibMsgAlloc(VQCMC_LIB_HANDLE hLib, u32 un32Size, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr || phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  const VQX_RESULT result = VQXGetMsgFromPoolDbg(hLib->hVqxLib, hLib->hMsgPool, un32Size, phMsg, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(hLib, "VQCmcLibMsgAlloc", result, "VQXGetMsgFromPool Failed");
  return result;
}

VQX_RESULT VQCmcLibMsgRelease(VQCMC_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr || phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  const VQX_RESULT result = VQXReleaseMsgDbg(hLib->hVqxLib, phMsg, __FILE__, __LINE__);
  *phMsg = nullptr;
  if (VQX_RESULT_FAILED(result)) VQCMC_ERR(hLib, "VQCmcLibMsgRelease", result, "VQXReleaseMsg Failed");
  return result;
}
