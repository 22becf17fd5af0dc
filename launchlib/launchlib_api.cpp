/*
 * launchlib_api.cpp - the launch library's operations on process contexts:
 * create, parameters, information, lock, shutdowns and the immediate
 * heartbeat. Each takes the library mutex and makes its callbacks after it.
 */
#include <cstring>

#include "launchlib_internal.h"

namespace {

using Guard = std::unique_lock<std::recursive_mutex>;

const char* BaseName(const char* psz) {
  const char* pSlash = strrchr(psz, '/');
  return pSlash != nullptr ? pSlash + 1 : psz;
}

VQX_RESULT Shutdown(VQX_LAUNCH_LIB_HANDLE p, u32 un32AppId, u32 un32State) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  Guard Lock(p->Mutex);
  VqxLaunchCtx* C = VqxLaunchFind(p, un32AppId);
  if (C == nullptr || C->fGone) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Process handle not found\n");
    return VQX_RESULT_INVALID_HANDLE;
  }
  const bool fWasReady = C->un32State == VQX_LAUNCH_STATE_READY;
  C->un32State = un32State;
  C->un64StateMs = VqxLaunchNowMs();
  if (fWasReady)
    VqxLaunchSendOp(p, *C, VQX_LAUNCH_MSG_ID_OP_SHUTDOWN);
  else
    VqxLaunchKill(p, *C);
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VQXLaunchLibCreateProcess(VQX_LAUNCH_LIB_HANDLE p, const _VQX_LAUNCH_LIB_CREATE_PROCESS* pCreate,
                                     u32* pun32AppId) {
  if (pun32AppId != nullptr) *pun32AppId = 0;
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pCreate == nullptr || pun32AppId == nullptr || pCreate->pszPath == nullptr) return VQX_RESULT_NULL_PARAM;
  Guard Lock(p->Mutex);
  if (p->Ctx.size() >= p->Params.un32MaxApplication) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "No more context available\n");
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  VqxLaunchSpawn Spawn;
  std::string sError;
  if (!VqxLaunchPrepare(*pCreate, &Spawn, &sError)) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "%s\n", sError.c_str());
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Can't create process (0x%08X)\n", VQX_RESULT_NOT_FOUND);
    return VQX_RESULT_NOT_FOUND;
  }
  const pid_t Pid = VqxLaunchFork(Spawn);
  if (Pid < 0) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Can't create process (0x%08X)\n", VQX_RESULT_OUT_OF_RESOURCE);
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  VqxLaunchCtx C;
  C.un32Id = p->un32NextId++;
  C.Pid = Pid;
  C.sName = BaseName(pCreate->pszPath);
  C.sParams = pCreate->pszParams != nullptr ? pCreate->pszParams : "";
  C.fQuiet = pCreate->fQuiet != 0;
  C.fKillSingle = pCreate->fKillSingleProcess;
  C.un64StateMs = VqxLaunchNowMs();
  VqxLaunchCtx& Ref = p->Ctx.emplace(C.un32Id, C).first->second;
  VqxLaunchLog(p, C.fQuiet ? 1u : VQX_LAUNCH_LEVEL_MSG, "Process %s.%s started, pid %d (AppId=%u)\n",
               p->Params.szName, C.sName.c_str(), static_cast<int>(Pid), C.un32Id);
  *pun32AppId = C.un32Id;
  VqxLaunchQueue(p, Ref, true);
  VqxLaunchFlush(p, Lock);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibGetParams(VQX_LAUNCH_LIB_HANDLE p, _VQX_LAUNCH_LIB_PARAMS* pOut) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pOut == nullptr) return VQX_RESULT_NULL_PARAM;
  Guard Lock(p->Mutex);
  *pOut = p->Params;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibSetParams(VQX_LAUNCH_LIB_HANDLE p, const _VQX_LAUNCH_LIB_PARAMS* pParams) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  Guard Lock(p->Mutex);
  const char* pszWhy = nullptr;
  if (pParams->un32MaxApplication != p->Params.un32MaxApplication)
    pszWhy = "un32MaxApplication cannot be changed.";
  else if (pParams->pFctLaunchProcessReady != p->Params.pFctLaunchProcessReady)
    pszWhy = "pFctLaunchProcessReady cannot be changed.";
  else if (pParams->pFctLaunchProcessShutdown != p->Params.pFctLaunchProcessShutdown)
    pszWhy = "pFctLaunchProcessShutdown cannot be changed.";
  else if (pParams->fAppManager != p->Params.fAppManager)
    pszWhy = "fAppManager cannot be changed.";
  if (pszWhy != nullptr) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "VQXLaunchLibSetParams: %s, result 0x%08X\n", pszWhy,
                 VQX_RESULT_NOT_SUPPORTED);
    return VQX_RESULT_NOT_SUPPORTED;
  }
  if (pParams->pFctPrint == nullptr) return VQX_RESULT_NULL_PARAM;
  _VQX_LAUNCH_LIB_PARAMS N = *pParams;
  N.hLib = p->Params.hLib;  /* the filter and thread stay on the opening library */
  N.szName[sizeof(N.szName) - 1] = '\0';
  /* Times are stored as given, 0 included: the periodic task gives a 0 its meaning. */
  p->Params = N;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibGetProcessInfo(VQX_LAUNCH_LIB_HANDLE p, u32 un32AppId, _VQX_HOST_INFO* pHostInfo,
                                      _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
  if (pHostInfo != nullptr) {
    memset(pHostInfo, 0, sizeof(*pHostInfo));
    snprintf(pHostInfo->szApplicationName, sizeof(pHostInfo->szApplicationName), "NotAvailable");
  }
  if (pInfo != nullptr) memset(pInfo, 0, sizeof(*pInfo));
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pHostInfo == nullptr || pInfo == nullptr) return VQX_RESULT_NULL_PARAM;
  Guard Lock(p->Mutex);
  VqxLaunchCtx* C = VqxLaunchFind(p, un32AppId);
  if (C == nullptr || C->fGone) return VQX_RESULT_INVALID_HANDLE;
  if (p->Params.hLib == nullptr) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Cannot return host info when not initialized with hostlib\n");
    return VQX_RESULT_INVALID_STATE;
  }
  *pInfo = VqxLaunchInfo(*C);
  if (C->hHost == 0) return VQX_RESULT_NOT_FOUND;
  VQX_RESULT r = VQXGetRemoteHostInfo(p->Params.hLib, C->hHost, pHostInfo);
  if (VQX_RESULT_FAILED(r)) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Failed to get remote host info. Ignoring (0x%08X)\n", r);
    memset(pHostInfo, 0, sizeof(*pHostInfo));
    snprintf(pHostInfo->szApplicationName, sizeof(pHostInfo->szApplicationName), "NotAvailable");
    return r;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibLockApplication(VQX_LAUNCH_LIB_HANDLE p, u32 un32AppId, u32 fLock) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  Guard Lock(p->Mutex);
  VqxLaunchCtx* C = VqxLaunchFind(p, un32AppId);
  if (C == nullptr || C->fGone) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Process handle not found\n");
    return VQX_RESULT_INVALID_HANDLE;
  }
  C->fLocked = fLock != 0;
  if (!C->fLocked) C->un64LastReadyMs = VqxLaunchNowMs();  /* the watchdog restarts after a lock */
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibManagementShutdown(VQX_LAUNCH_LIB_HANDLE p, u32 un32AppId) {
  return Shutdown(p, un32AppId, VQX_LAUNCH_STATE_MGMT_SHUTDOWN);
}

VQX_RESULT VQXLaunchLibForceShutdown(VQX_LAUNCH_LIB_HANDLE p, u32 un32AppId) {
  return Shutdown(p, un32AppId, VQX_LAUNCH_STATE_SHUTDOWN);
}

VQX_RESULT VQXLaunchLibSendHeartbeat(VQX_LAUNCH_LIB_HANDLE p, u32 hHost) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  Guard Lock(p->Mutex);
  VqxLaunchCtx* C = VqxLaunchFindHost(p, hHost);
  if (C == nullptr) return VQX_RESULT_NOT_ACCESSIBLE;
  VqxLaunchSendOp(p, *C, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT);
  return VQX_RESULT_OK;
}
