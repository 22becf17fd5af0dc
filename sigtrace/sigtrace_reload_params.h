/*
 * sigtrace_reload_params.h - what a configuration reload does with the
 * framework's <params> (docs/xml-common-params.md) while the framework runs.
 *
 * A running framework takes the trace levels and the redundancy delays at
 * once (log@level, log:module@level, host@pollDelay, host@networkDownDelay,
 * host@adapterDownDelay). Everything else is read at start only: the log
 * file (it is open), the application name and the gateway addresses and
 * ports (the network knows the process by them), the console's texts and
 * sizes (it is drawn). The reload names each parameter that changed in its
 * line, as applied or as read at start only, and never runs with a value it
 * did not apply.
 *
 * Called by CVQSigTrace::ReloadConfig under the application mutex.
 */
#ifndef SIGTRACE_RELOAD_PARAMS_H
#define SIGTRACE_RELOAD_PARAMS_H

#include <string>

#include "vqcafcommparams.h"
#include "vqcaflog.h"
#include "vqx_clitools_cli.h"

namespace VQCAF {

/* The three parameter sets of the framework that the XML file gives. */
struct VQ_SIGTRACE_FRAMEWORK_PARAMS {
  CVQCAFLogParams* pLog;
  CVQCAFCommParams* pComm;
  _VQX_CLI_TOOLS_INIT_PARAMS* pCli;
};

/*
 * Compares New (as read from the file) with Running (what the framework runs
 * with). Each parameter that differs is named in strApplied when a running
 * framework takes it, else in strStartOnly, where New also gets the running
 * value back: New then holds what the framework will run with once the
 * applied ones are handed to it. Names are separated by ", "; both texts are
 * emptied first.
 */
void VqSigTraceSplitReloadedParams(const VQ_SIGTRACE_FRAMEWORK_PARAMS& Running, const VQ_SIGTRACE_FRAMEWORK_PARAMS& New,
                                   std::string& strApplied, std::string& strStartOnly);

}  // namespace VQCAF

#endif
