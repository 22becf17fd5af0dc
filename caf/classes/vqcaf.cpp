/*
 * vqcaf.cpp - the framework life cycle: the globals object, the start order
 * and the stop order of the framework's modules.
 */
#include "vqcaf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "vqcafcomm.h"
#include "vqcafdebuginfo.h"
#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqcafglobals.h"
#include "vqcafservicedetector.h"

namespace VQCAF {

/* What runs, and the console. */
class CVQCAFGlobals {
 public:
  CVQCAFCli Cli;
  bool fLog = false, fComm = false, fDetector = false, fCli = false, fCmc = false;
};

namespace {

VQX_RESULT RealLogInit(const CVQCAFLogParams& P) { return InitLog(P); }
VQX_RESULT RealLogSetParam(const CVQCAFLogParams& P) {
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++)
    SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), P.maun32SubModTraceLevel[i]);
  return VQX_RESULT_OK;
}
VQX_RESULT RealLogUninit() { return UninitLog(); }
VQX_RESULT RealCommInit(CVQCAFCommParams& P) { return CVQCAFComm::Init(P); }
VQX_RESULT RealCommSetParam(CVQCAFCommParams& P) { return CVQCAFComm::SetParam(P); }
VQX_RESULT RealCommStart(u32 fAdapters, u32 fHosts) { return CVQCAFComm::Start(fAdapters, fHosts); }
VQX_RESULT RealCommUninit() { return CVQCAFComm::Uninit(); }
VQX_RESULT RealDetectorInit() { return CVQCAFServiceDetector::Init(); }
VQX_RESULT RealDetectorUninit() { return CVQCAFServiceDetector::Uninit(); }
/* Checks that the detector's lock can be had. */
VQX_RESULT RealDetectorPoll() {
  if (CVQCAFServiceDetector* p = CVQCAFServiceDetector::GetInstance()) p->ReleaseInstance();
  return VQX_RESULT_OK;
}
VQX_RESULT RealCliOpen(CVQCAFCli& Cli, const _VQX_CLI_TOOLS_INIT_PARAMS& P, volatile u32* pfQuit) {
  return Cli.Open(P, pfQuit);
}
VQX_RESULT RealCliClose(CVQCAFCli& Cli) {
  Cli.Close();
  return VQX_RESULT_OK;
}

/* Constant-initialised, so that the life cycle may run from static initialisers. */
constexpr VQCAF_LIFE_CYCLE_STEPS kRealSteps = {
    RealLogInit,      RealLogSetParam,    RealLogUninit,    RealCommInit, RealCommSetParam, RealCommStart,
    RealCommUninit,   RealDetectorInit,   RealDetectorUninit, RealDetectorPoll, RealCliOpen, RealCliClose,
    nullptr,          nullptr,            nullptr,          nullptr};
VQCAF_LIFE_CYCLE_STEPS g_Registered = kRealSteps;
VQCAF_LIFE_CYCLE_STEPS g_Steps = kRealSteps;
CVQCAFGlobals* g_pGlobals = nullptr;

/* Logs a failed step once and hands its code back. fToldBelow: the step's own failure line named the cause (the
 * communication bridge's, and the host library's below it), so that this one is a message of where the start
 * stopped, not a second error. */
VQX_RESULT Step(const char* pszText, VQX_RESULT r, bool fToldBelow = false) {
  if (!VQX_RESULT_FAILED(r)) return r;
  if (!fToldBelow) return VQCAF_REPORT_FAILURE("VQCAF::GlobalSetParam", pszText, r);
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_MESSAGE, "%s",
                  VqcafFormatFailureLine("VQCAF::GlobalSetParam", pszText, r, __FILE__, __LINE__).c_str());
  return r;
}

/* The stop order; each module whose parameters are absent (all, with null). */
void StopAbsent(CVQCAFGlobals& G, const CVQCAFGlobalsParams* p) {
  /* The modules' closes wait for the threads inside them: a thread whose send waits for room is let out first. */
  if (G.fComm && (p == nullptr || p->mpCommParams == nullptr)) CVQCAFComm::EndSendWaits();
  if (G.fCli && (p == nullptr || p->mpCliParams == nullptr)) {
    g_Steps.pfnCliClose(G.Cli);
    G.fCli = false;
  }
  if (G.fCmc && (p == nullptr || p->mpCmcParams == nullptr)) {
    G.fCmc = false;
    const VQX_RESULT r = g_Steps.pfnCmcUninit ? g_Steps.pfnCmcUninit() : VQX_RESULT_OK;
    if (VQX_RESULT_FAILED(r)) Step("CVQCMCLib::Uninit Failed.", r);
    else LogTrace(VQMSG, "CVQCMCLib un-initialized.\n");
  }
  if (G.fDetector && (p == nullptr || p->mpCommParams == nullptr)) {
    G.fDetector = false;
    if (g_Steps.pfnDetectorUninit) Step("CVQCAFServiceDetector::Uninit failed.", g_Steps.pfnDetectorUninit());
  }
  if (G.fComm && (p == nullptr || p->mpCommParams == nullptr)) {
    G.fComm = false;
    Step("CVQCAFComm::Uninit failed.", g_Steps.pfnCommUninit());
  }
  if (G.fLog && (p == nullptr || p->mpLogParams == nullptr)) {
    G.fLog = false;
    g_Steps.pfnLogUninit();
  }
}

}  // namespace

VQX_RESULT GlobalInit() {
  if (g_pGlobals != nullptr) return VQX_RESULT_INVALID_STATE;
  GetGlobalMutex();  // made before any other thread can race for it
  srand(static_cast<unsigned>(time(nullptr)));
  try {
    g_pGlobals = new CVQCAFGlobals;
  } catch (...) {
    return VQCAF_CURRENT_FAILURE("VQCAF::GlobalInit").un32Result;
  }
  SetGlobals(g_pGlobals);
  return VQX_RESULT_OK;
}

VQX_RESULT GlobalSetParam(CVQCAFGlobalsParams* p) {
  if (g_pGlobals == nullptr)
    return VQCAF_REPORT_FAILURE("VQCAF::GlobalSetParam", "Please call VQCAF::GlobalInit() first", VQX_RESULT_NOT_INITIALIZED);
  CVQCAFGlobals& G = *g_pGlobals;
  StopAbsent(G, p);
  if (p == nullptr) return VQX_RESULT_OK;
  VQX_RESULT r;
  if (p->mpLogParams != nullptr) {
    r = G.fLog ? g_Steps.pfnLogSetParam(*p->mpLogParams) : g_Steps.pfnLogInit(*p->mpLogParams);
    if (VQX_RESULT_FAILED(r)) return Step("InitLog failed.", r);
    G.fLog = true;
  }
  if (p->mpCommParams != nullptr) {
    r = G.fComm ? g_Steps.pfnCommSetParam(*p->mpCommParams) : g_Steps.pfnCommInit(*p->mpCommParams);
    if (VQX_RESULT_FAILED(r)) return Step(G.fComm ? "CVQCAFComm::SetParam failed." : "CVQCAFComm::Init failed.", r, true);
    G.fComm = true;
    if (!G.fDetector && g_Steps.pfnDetectorInit != nullptr) {
      r = g_Steps.pfnDetectorInit();
      if (VQX_RESULT_FAILED(r)) return Step("CVQCAFServiceDetector::Init failed.", r);
      G.fDetector = true;
    }
  }
  if (p->mpCliParams != nullptr && !G.fCli) {
    r = g_Steps.pfnCliOpen(G.Cli, *p->mpCliParams, p->mpfQuit);
    if (VQX_RESULT_FAILED(r)) return Step("CVQCAFCli::Open failed.", r);
    G.fCli = true;
  }
  if (p->mpCmcParams != nullptr && g_Steps.pfnCmcInit != nullptr) {
    if (!G.fCmc) {
      r = g_Steps.pfnCmcInit(p->mpCmcParams);
      if (VQX_RESULT_FAILED(r)) return Step("CVQCMCLib::Init Failed.", r);
      G.fCmc = true;
      LogTrace(VQMSG, "CVQCMCLib initialized.\n");
    } else if (g_Steps.pfnCmcSetParam != nullptr) {
      r = g_Steps.pfnCmcSetParam(p->mpCmcParams);
      if (VQX_RESULT_FAILED(r)) return Step("CVQCMCLib::SetParam Failed.", r);
    }
  }
  if (p->mpCommParams != nullptr) {
    r = g_Steps.pfnCommStart(p->mfAdaptersOn, p->mfHostsOn);
    if (VQX_RESULT_FAILED(r)) return Step("CVQCAFComm::Start failed.", r, true);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT GlobalPoll() {
  if (g_pGlobals == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (g_pGlobals->fDetector && g_Steps.pfnDetectorPoll != nullptr) g_Steps.pfnDetectorPoll();
  if (g_pGlobals->fCmc && g_Steps.pfnCmcPoll != nullptr) g_Steps.pfnCmcPoll();
  return VQX_RESULT_OK;
}

bool VqcafWaitsForReturn(u32 un32Leaks, VQX_RESULT un32AppResult, bool fStdinIsTerminal) {
  if (un32Leaks == 0 && !VQX_RESULT_FAILED(un32AppResult)) return false;
  for (const char* psz : {"VQX_STARTED_BY_LAUNCH_LIB", "VQX_BACKGROUND_LAUNCH", "VQX_SERVICE_MODE"}) {
    if (getenv(psz) != nullptr) return false;
  }
  return fStdinIsTerminal;  // nobody to press RETURN otherwise (daemon, pipe)
}

VQX_RESULT GlobalUninit(VQX_RESULT un32AppResult) {
  if (g_pGlobals == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  StopAbsent(*g_pGlobals, nullptr);
  SetGlobals(nullptr);
  delete g_pGlobals;
  g_pGlobals = nullptr;
  const u32 un32Leaks = VqcafReportGuardedLeaks();
  if (VqcafWaitsForReturn(un32Leaks, un32AppResult, isatty(STDIN_FILENO) != 0)) {
    printf("Done. Press RETURN to quit...");
    fflush(stdout);
    char sz[64];
    while (fgets(sz, sizeof(sz), stdin) != nullptr && strchr(sz, '\n') == nullptr) {
    }
  }
  return VQX_RESULT_OK;
}

CVQCAFCli* GetCli() { return g_pGlobals != nullptr && g_pGlobals->fCli ? &g_pGlobals->Cli : nullptr; }

void VqcafRegisterCmc(VQX_RESULT (*pfnInit)(void*), VQX_RESULT (*pfnSetParam)(void*), VQX_RESULT (*pfnUninit)(),
                      VQX_RESULT (*pfnPoll)()) {
  g_Registered.pfnCmcInit = g_Steps.pfnCmcInit = pfnInit;
  g_Registered.pfnCmcSetParam = g_Steps.pfnCmcSetParam = pfnSetParam;
  g_Registered.pfnCmcUninit = g_Steps.pfnCmcUninit = pfnUninit;
  g_Registered.pfnCmcPoll = g_Steps.pfnCmcPoll = pfnPoll;
}

void VqcafSetLifeCycleSteps(const VQCAF_LIFE_CYCLE_STEPS* pSteps) { g_Steps = pSteps != nullptr ? *pSteps : g_Registered; }

}  // namespace VQCAF
