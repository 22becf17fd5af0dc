/*
 * vqcafparamsdaoxml.h - reads the framework's common parameters from the
 * ":params" element under the configuration's root (docs/xml-common-params.md):
 * "host" and "host:env" into CVQCAFCommParams, "log" and "log:module" into
 * CVQCAFLogParams, "cli" into the console parameters.
 *
 * Absent elements and attributes leave the caller's values as they were; a
 * present but bad value stops the read with its code and one failure line
 * (what was read before stays). One thread at a time per set of records.
 */
#ifndef VQCAFPARAMSDAOXML_H
#define VQCAFPARAMSDAOXML_H

#include "vqcafcfgfile.h"
#include "vqcafcommparams.h"
#include "vqcaflog.h"
#include "vqx_clitools_cli.h"

namespace VQCAF {

class CVQCAFParamsDaoXml {
 public:
  /* Each reader: 0x02000000, or the store's code for a bad value (0x8200000A
   * text that is not a number, number past 32 bits or out of its range,
   * unknown sub-module name or bad remote address list; 0x8200001A text
   * longer than its field). A bad number or text is logged with the
   * attribute, the value as written (a number) and the file and line. */
  static VQX_RESULT ReadCommParams(IVQCAFCfgFile& Cfg, CVQCAFCommParams& Comm);
  static VQX_RESULT ReadLogParams(IVQCAFCfgFile& Cfg, CVQCAFLogParams& Log);
  static VQX_RESULT ReadCliParams(IVQCAFCfgFile& Cfg, _VQX_CLI_TOOLS_INIT_PARAMS& Cli);
  /* The three in that order; stops at the first failure. */
  static VQX_RESULT ReadCommonParams(IVQCAFCfgFile& Cfg, CVQCAFLogParams& Log, CVQCAFCommParams& Comm,
                                     _VQX_CLI_TOOLS_INIT_PARAMS& Cli);
};

}  // namespace VQCAF

#endif
