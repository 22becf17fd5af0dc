/*
 * vqcmclib.cpp - CVQCMCLib's life cycle (Init, Attach, SetParam, Detach,
 * Uninit), its registration with the framework shell, and the log helpers
 * of the message classes. Routing and registries: vqcmclib_route.cpp.
 */
#include "vqcmclib.h"

#include <sys/select.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <new>

#include "vqcaf.h"
#include "vqcafcli.h"
#include "vqcafcomm.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqcafmutex.h"
#include "vqcmc_attributes.h"
#include "vqcmc_media_profile.h"
#include "vqcmc_msg_internal.h"
#include "vqx_msg_element.h"
#include "vqx_string.h"

namespace VQCAF {

std::atomic<CVQCMCLib*> CVQCMCLib::spInstance{nullptr};
CVQCMC_JOIN_ATTRIBUTE* CVQCMCLib::mpDummyAttr = nullptr;
CVQCMC_MEDIA_PROFILE* CVQCMCLib::mpDummyMediaProfile = nullptr;

namespace {

constexpr u32 kCmcLibId = 7777u;
constexpr u32 kMaxJoinPools = 4u;
/* Constant-initialised: join-record classes register from static initialisers. */
VQCMC_JOIN_POOL_HOOKS g_aJoinPools[kMaxJoinPools] = {};
u32 g_un32NbJoinPools = 0;

/* The life cycle's steps, registered with the framework shell when this file links. */
VQX_RESULT ShellInit(void* pvParams) { return CVQCMCLib::Init(*static_cast<CVQCMCLibParams*>(pvParams)); }
VQX_RESULT ShellSetParam(void* pvParams) {
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  return pLib == nullptr ? VQX_RESULT_INVALID_OPERATION : pLib->SetParam(*static_cast<CVQCMCLibParams*>(pvParams));
}
VQX_RESULT ShellUninit() { return CVQCMCLib::Uninit(); }
VQX_RESULT ShellPoll() {
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  if (pLib == nullptr) return VQX_RESULT_OK;
  static _VQCMC_LIB_CMCSERVER_INFO s_aServers[16];
  u32 un32Count = 16;
  return pLib->GetCMCServerList(&un32Count, s_aServers);
}
VQX_RESULT ShellTraceLevel() {
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  return pLib == nullptr ? VQX_RESULT_OK : pLib->UpdateTraceLevel();
}
const bool g_fShellHooks = [] {
  VqcafRegisterCmc(ShellInit, ShellSetParam, ShellUninit, ShellPoll);
  VqcafSetTraceLevelChangedHook(ShellTraceLevel);
  return true;
}();

}  // namespace

CVQCMCLib::CVQCMCLib(const CVQCMCLibParams& Params) : CVQCAFLogTrace(VQCAF_SUBMODULE_CMC), mParams(Params) {}

VQX_RESULT CVQCMCLib::Fail(const char* pszOperation, const char* pszText, u32 un32Detail, VQX_RESULT Result, int nLine) {
  LogTrace(VQERR, "%s: %s (0x%08X) 0x%08X %s:%d\n", pszOperation, pszText, un32Detail, Result,
           VqxFileNameFromPath(__FILE__), nLine);
  return Result;
}

VQX_RESULT CVQCMCLib::Construct(bool fHostLib) {
  static const char kOp[] = "CVQCMCLib::CVQCMC";
  try {
    mpMsgMutex = new CVQCAFMutex;
    mpIdMutex = new CVQCAFMutex;
  } catch (...) {
    return Fail(kOp, "Failed to create mutex.", 0, VQX_RESULT_OUT_OF_MEMORY, __LINE__);
  }
  if (fHostLib) {
    mhHostLib = CVQCAFComm::GetHostLibInstance();
    if (mhHostLib == nullptr) return Fail(kOp, "CVQCAFComm must be initialized first.", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
  }
  for (; mun32PoolsMade < g_un32NbJoinPools; mun32PoolsMade++) {
    const VQX_RESULT Result = g_aJoinPools[mun32PoolsMade].pfnInit(mParams);
    if (VQX_RESULT_FAILED(Result)) return Fail(kOp, "Failed to create join pool.", mun32PoolsMade, Result, __LINE__);
  }
  mhHashOfLegId = VQXHashCreateWithKeyInternal(mParams.mun32MaxLegs, "cmc legs by id", 0);
  if (mhHashOfLegId == nullptr) return Fail(kOp, "Out of memory to allocate mhHashOfLegId.", 0, VQX_RESULT_OUT_OF_MEMORY, __LINE__);
  mhHashOfMixerId = VQXHashCreateWithKeyInternal(mParams.mun32MaxLegs / 3, "cmc mixers by id", 0);
  if (mhHashOfMixerId == nullptr) {
    return Fail(kOp, "Out of memory to allocate mhHashOfMixerId.", 0, VQX_RESULT_OUT_OF_MEMORY, __LINE__);
  }
  return VQX_RESULT_OK;
}

CVQCMCLib::~CVQCMCLib() {
  delete mpDummyMediaProfile;
  mpDummyMediaProfile = nullptr;
  delete mpDummyAttr;
  mpDummyAttr = nullptr;
  if (mhCmcLib != nullptr && mfOwnsCmcLib) VQCmcLibClose(mhCmcLib);
  mhCmcLib = nullptr;
  if (mhHashOfMixerId != nullptr) VQXHashDestroy(mhHashOfMixerId);
  mhHashOfMixerId = nullptr;
  if (mhHashOfLegId != nullptr) VQXHashDestroy(mhHashOfLegId);
  mhHashOfLegId = nullptr;
  while (mun32PoolsMade > 0) g_aJoinPools[--mun32PoolsMade].pfnClear();
  delete mpIdMutex;
  mpIdMutex = nullptr;
  delete mpMsgMutex;
  mpMsgMutex = nullptr;
  if (mhHostLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
  mhHostLib = nullptr;
}

void CVQCMCLib::RegisterJoinPool(const VQCMC_JOIN_POOL_HOOKS& Hooks) {
  if (Hooks.pfnInit == nullptr || Hooks.pfnClear == nullptr) return;
  for (u32 i = 0; i < g_un32NbJoinPools; i++) {
    if (g_aJoinPools[i].pfnInit == Hooks.pfnInit) return;
  }
  if (g_un32NbJoinPools < kMaxJoinPools) g_aJoinPools[g_un32NbJoinPools++] = Hooks;
}

VQX_RESULT CVQCMCLib::Init(CVQCMCLibParams& Params) {
  static const char kOp[] = "CVQCMCLib::Init";
  CVQCMCLib* pLive = GetInstance();
  if (GetGlobals() == nullptr || pLive != nullptr) {
    const bool fNoGlobals = GetGlobals() == nullptr;
    const char* pszText = fNoGlobals ? "Please call VQCAF::GlobalInit() first" : "Cannot init twice";
    const VQX_RESULT Result = fNoGlobals ? VQX_RESULT_NOT_READY : VQX_RESULT_INVALID_OPERATION;
    // A refusal leaves a live instance as it is: legs and mixers still use it.
    if (pLive != nullptr) return pLive->Fail(kOp, pszText, 0, Result, __LINE__);
    VQCAF::LogTrace(VQERR, "%s: %s (0x%08X) 0x%08X %s:%d\n", kOp, pszText, 0u, Result, VqxFileNameFromPath(__FILE__),
                    __LINE__);
    return Result;
  }
  CVQCMCLib* pNew = new (std::nothrow) CVQCMCLib(Params);
  if (pNew == nullptr) return VQX_RESULT_OUT_OF_MEMORY;
  // An instance without host library or registries would fail later in every call: install none.
  const VQX_RESULT Result = pNew->Construct(true);
  if (VQX_RESULT_FAILED(Result)) {
    delete pNew;
    return Result;
  }
  spInstance.store(pNew, std::memory_order_release);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::Uninit() {
  delete spInstance.exchange(nullptr, std::memory_order_acq_rel);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::FillOpenParams(const CVQCMCLibParams& Params, u32 un32MaxLegs, _VQCMC_LIB_PARAMS* pOpen) {
  *pOpen = _VQCMC_LIB_PARAMS{};
  pOpen->hVqxLib = mhHostLib;
  pOpen->Callback.pFctCallback = VQCmcHandleDefaultCb;
  pOpen->Callback.pContext = nullptr;
  pOpen->Threads.un32NbThread = Params.mun32NbThreads;
  pOpen->Threads.Prio = 1;
  pOpen->Log.pFctLog = VQCmcLogTraceCb;
  pOpen->Log.pContext = static_cast<CVQCAFLogTrace*>(this);
  pOpen->un32TraceLevel = GetSubModTraceLevel(VQCAF_SUBMODULE_CMC);
  pOpen->un32LibId = kCmcLibId;
  pOpen->un32MaxLegs = un32MaxLegs;
  pOpen->un32JobsFifoMax = 0;
  memcpy(pOpen->aun8RegisterFlags, Params.maun8Flags, sizeof(pOpen->aun8RegisterFlags));
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::Attach(CVQCMCLibUser* pUser) {
  static const char kOp[] = "CVQCMCLib::Attach";
  CVQCMCLib* pLib = GetInstance();
  if (pLib == nullptr) return VQX_RESULT_INVALID_OPERATION;
  // A second open would replace the handle of the first and leave its context running.
  if (pLib->mhCmcLib != nullptr) return pLib->Fail(kOp, "Already attached.", 0, VQX_RESULT_INVALID_OPERATION, __LINE__);
  {
    CVQCAFMutexAutoGetGive Lock(pLib->mpMsgMutex);  // the handlers read the user under it
    pLib->mpUser = pUser;
  }
  _VQCMC_LIB_PARAMS Open;
  pLib->FillOpenParams(pLib->mParams, pLib->mParams.mun32MaxLegs, &Open);
  VQCMC_LIB_HANDLE hCmcLib = nullptr;
  const VQX_RESULT Result = VQCmcLibOpen(&Open, &hCmcLib);
  if (VQX_RESULT_FAILED(Result)) return pLib->Fail(kOp, "VQCmcLibOpen Failed.", 0, Result, __LINE__);
  pLib->mhCmcLib = hCmcLib;
  pLib->mfOwnsCmcLib = 1;
  if (mpDummyAttr == nullptr) mpDummyAttr = new CVQCMC_JOIN_ATTRIBUTE;
  if (mpDummyMediaProfile == nullptr) mpDummyMediaProfile = new CVQCMC_MEDIA_PROFILE;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::Detach() {
  CVQCMCLib* pLib = GetInstance();
  if (pLib == nullptr) return VQX_RESULT_INVALID_OPERATION;
  // Commands are refused first: one that passed the check now still meets the stopped core library.
  pLib->mfDetached.store(1, std::memory_order_release);
  if (pLib->mhCmcLib != nullptr) VQCmcLibStop(pLib->mhCmcLib);
  // A handler holds the message lock throughout: one running on another thread ends before the
  // user is cleared, and every later one finds none. Called from a handler, the lock is this
  // thread's already (recursive), so Detach never waits on itself; the handler reads the user
  // again before each call and makes no further one.
  CVQCAFMutexAutoGetGive Lock(pLib->mpMsgMutex);
  pLib->mpUser = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::CommandRefusal() {
  const CVQCMCLib* pLib = GetInstance();
  const bool fServing = pLib != nullptr && pLib->mhCmcLib != nullptr &&
                        pLib->mfDetached.load(std::memory_order_acquire) == 0;
  return fServing ? VQX_RESULT_OK : VQX_RESULT_NOT_INITIALIZED;
}

void CVQCMCLib::Run(u32* pun32Quit) {
  if (pun32Quit == nullptr) return;
  while (__atomic_load_n(pun32Quit, __ATOMIC_ACQUIRE) == 0) {
    timeval Wait = {0, 100000};
    select(0, nullptr, nullptr, nullptr, &Wait);
  }
}

VQX_RESULT CVQCMCLib::SetParam(CVQCMCLibParams& Params) {
  static const char kOp[] = "CVQCMCLib::Init";
  if (mhCmcLib == nullptr) return Fail(kOp, "Must attach first", 0, VQX_RESULT_INVALID_OPERATION, __LINE__);
  _VQCMC_LIB_PARAMS Modify;
  FillOpenParams(Params, 0, &Modify);
  const VQX_RESULT Result = VQCmcLibModify(mhCmcLib, &Modify);
  if (VQX_RESULT_FAILED(Result)) return Fail(kOp, "VQCmcLibModify Failed.", 0, Result, __LINE__);
  // The core library sized its tables when it opened: the open number of legs stays in force.
  const u32 un32MaxLegs = mParams.mun32MaxLegs;
  mParams = Params;
  mParams.mun32MaxLegs = un32MaxLegs;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::UpdateTraceLevel() {
  static const char kOp[] = "CVQCMCLib::UpdateTraceLevel";
  if (mhCmcLib == nullptr) return Fail(kOp, "Must attach first", 0, VQX_RESULT_INVALID_OPERATION, __LINE__);
  _VQCMC_LIB_PARAMS Params;
  VQX_RESULT Result = VQCmcLibGetParam(mhCmcLib, &Params);
  if (VQX_RESULT_FAILED(Result)) return Fail(kOp, "VQCmcLibGetParam Failed.", 0, Result, __LINE__);
  Params.un32TraceLevel = GetSubModTraceLevel(VQCAF_SUBMODULE_CMC);
  Result = VQCmcLibModify(mhCmcLib, &Params);
  if (VQX_RESULT_FAILED(Result)) return Fail(kOp, "VQCmcLibModify Failed.", 0, Result, __LINE__);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::GetCMCServerList(u32* pun32Count, _VQCMC_LIB_CMCSERVER_INFO* paList) {
  if (mhCmcLib == nullptr) {
    if (pun32Count != nullptr) *pun32Count = 0;
    return VQX_RESULT_NOT_READY;
  }
  const VQX_RESULT Result = VQCmcLibGetCmcServerList(mhCmcLib, pun32Count, paList);
  if (VQX_RESULT_FAILED(Result)) {
    return Fail("CVQCMCLib::GetCMCServerList", "Failed to Get CMC servers list", 0, Result, __LINE__);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::TestInstall(VQCMC_LIB_HANDLE hCmcLib) {
  if (GetInstance() != nullptr) return VQX_RESULT_INVALID_OPERATION;
  CVQCMCLib* pNew = new CVQCMCLib(CVQCMCLibParams());
  pNew->mhCmcLib = hCmcLib;
  pNew->mfOwnsCmcLib = 0;
  pNew->Construct(false);
  spInstance.store(pNew, std::memory_order_release);
  return VQX_RESULT_OK;
}

void CVQCMCLib::TestUninstall() { Uninit(); }

VQCMC_LIB_HANDLE VqCmcLiveLibHandle() {
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  return pLib == nullptr ? nullptr : pLib->GetCmcLibHandle();
}

void VqCmcLogLine(const char* pszFormat, ...) {
  char szLine[1024];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szLine, sizeof(szLine), pszFormat, args);
  va_end(args);
  if (CVQCMCLib* pLib = CVQCMCLib::GetInstance()) {
    pLib->LogTrace(VQERR, "%s", szLine);
  } else {
    SubModLogTrace(VQCAF_SUBMODULE_CMC, VQERR, "%s", szLine);
  }
}

void VqCmcLogFailure(const char* pszOperation, const char* pszText, VQX_RESULT Result, const char* pszFile,
                     int nLine) {
  VqCmcLogLine("%s: %s (%X) %s:%d\n", pszOperation, pszText, Result, VqxFileNameFromPath(pszFile), nLine);
}

[[gnu::noinline]] void VqCmcCopyBytes(void* pDst, const void* pSrc, size_t nBytes) { memcpy(pDst, pSrc, nBytes); }

}  // namespace VQCAF
