/*
 * vqcaf.h - the framework life cycle: GlobalInit, GlobalSetParam, GlobalPoll,
 * GlobalUninit, and CVQCAFGlobalsParams.
 *
 * Model. main calls GlobalInit once (globals object, the global mutex,
 * random seed), fills a CVQCAFGlobalsParams and calls GlobalSetParam, which
 * brings the framework up in this order: log; communication (Init the first
 * time, with the gateway transports off; SetParam later); service detector;
 * console; call/media control; last communication Start (transports on). A
 * failing step is logged and returned at once; nothing is rolled back: the
 * caller's clean-up (GlobalSetParam with empty parameters, or GlobalUninit)
 * stops what runs. A parameter pointer left null stops its module: console,
 * call/media control, detector (with communication), communication, log, in
 * that order. GlobalUninit stops whatever still runs and reports leaks.
 *
 * The call/media control stack lives above this library and registers its
 * steps here (VqcafRegisterCmc); without it that step is skipped. Tests
 * replace every step with VqcafSetLifeCycleSteps.
 *
 * Threads: the life-cycle calls come from the main thread, one at a time.
 */
#ifndef VQCAF_H
#define VQCAF_H

#include "vqcafcli.h"
#include "vqcafcommparams.h"
#include "vqcaflog.h"
#include "vqx_clitools_cli.h"

namespace VQCAF {

class CVQCAFGlobalsParams {
 public:
  u32 mfAdaptersOn = 1;  /* communication Start: adapters' gateway transport on */
  u32 mfHostsOn = 1;     /* communication Start: hosts' gateway transport on */
  CVQCAFLogParams* mpLogParams = nullptr;
  CVQCAFCommParams* mpCommParams = nullptr;
  _VQX_CLI_TOOLS_INIT_PARAMS* mpCliParams = nullptr;
  volatile u32* mpfQuit = nullptr; /* set to 1 by the console's confirmed quit */
  void* mpCmcParams = nullptr;     /* call/media control parameters, for its registered steps */
};

/* The steps GlobalSetParam, GlobalPoll and GlobalUninit run. */
struct VQCAF_LIFE_CYCLE_STEPS {
  VQX_RESULT (*pfnLogInit)(const CVQCAFLogParams& Params);
  VQX_RESULT (*pfnLogSetParam)(const CVQCAFLogParams& Params);
  VQX_RESULT (*pfnLogUninit)();
  VQX_RESULT (*pfnCommInit)(CVQCAFCommParams& Params);
  VQX_RESULT (*pfnCommSetParam)(CVQCAFCommParams& Params);
  VQX_RESULT (*pfnCommStart)(u32 fAdaptersOn, u32 fHostsOn);
  VQX_RESULT (*pfnCommUninit)();
  VQX_RESULT (*pfnDetectorInit)();
  VQX_RESULT (*pfnDetectorUninit)();
  VQX_RESULT (*pfnDetectorPoll)();
  VQX_RESULT (*pfnCliOpen)(CVQCAFCli& Cli, const _VQX_CLI_TOOLS_INIT_PARAMS& Params, volatile u32* pfQuit);
  VQX_RESULT (*pfnCliClose)(CVQCAFCli& Cli);
  VQX_RESULT (*pfnCmcInit)(void* pParams);
  VQX_RESULT (*pfnCmcSetParam)(void* pParams);
  VQX_RESULT (*pfnCmcUninit)();
  VQX_RESULT (*pfnCmcPoll)();
};

/* 0x02000000; 0x8200000F when already done. */
VQX_RESULT GlobalInit();
/* See the model above. 0x82000014 before GlobalInit; a step's code. */
VQX_RESULT GlobalSetParam(CVQCAFGlobalsParams* pParams);
/* Checks that the detector's lock can be had and polls call/media control. */
VQX_RESULT GlobalPoll();
/*
 * Stops what runs, reports guarded leaks, frees the globals. When leaks were
 * found or un32AppResult is a failure, standard input is a terminal and none
 * of VQX_STARTED_BY_LAUNCH_LIB, VQX_BACKGROUND_LAUNCH, VQX_SERVICE_MODE is
 * set, prints "Done. Press RETURN to quit..." and waits for a line.
 */
VQX_RESULT GlobalUninit(VQX_RESULT un32AppResult = VQX_RESULT_OK);
/* The console, or null when none runs (valid until GlobalSetParam stops it). */
CVQCAFCli* GetCli();

/* Whether GlobalUninit waits: the rule above, the terminal given as a flag. */
bool VqcafWaitsForReturn(u32 un32Leaks, VQX_RESULT un32AppResult, bool fStdinIsTerminal);

/* Registration by the call/media control stack (null functions: skipped). */
void VqcafRegisterCmc(VQX_RESULT (*pfnInit)(void*), VQX_RESULT (*pfnSetParam)(void*), VQX_RESULT (*pfnUninit)(),
                      VQX_RESULT (*pfnPoll)());
/* Replaces every step (tests); null restores the real ones and the registered. */
void VqcafSetLifeCycleSteps(const VQCAF_LIFE_CYCLE_STEPS* pSteps);

}  // namespace VQCAF

#endif
