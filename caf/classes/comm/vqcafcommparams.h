/*
 * vqcafcommparams.h - CVQCAFCommParams, what the communication bridge needs
 * to open the host library and to change its parameters later.
 *
 * Filled by the framework's XML reader, the command line or LoadFromCfgFile
 * (".NETWORK" section of the line-oriented file, docs/console-config-file.md);
 * converts itself to and from the host library's _VQX_LIB_PARAMS. A value
 * class: one thread at a time.
 */
#ifndef VQCAFCOMMPARAMS_H
#define VQCAFCOMMPARAMS_H

#include "vqcafstring.h"
#include "vqx_clitools.h"
#include "vqx_host.h"

namespace VQCAF {

constexpr u32 VQCAF_COMM_MAX_EXTRA_GW_ADDR = 16u;

class CVQCAFCommParams {
 public:
  /* Defaults: redundancy 2000 / 4500 / 10000 ms, both paths, fifos 32768 and
   * 16384, receive priority 1, posting count 1, trace level 10. */
  CVQCAFCommParams();
  virtual ~CVQCAFCommParams() = default;

  /* Copies these parameters into L (the trace level is not copied).
   * L.paExtraGwAddr points at maExtraGwAddr when there are any. */
  void CVQCAFCliCopyParamsToHostLibParams(_VQX_LIB_PARAMS& L);
  /* Copies L back (the name only when L has one; extra addresses from
   * L.paExtraGwAddr, at most 16). */
  void CVQCAFCliCopyParamsFromHostLibParams(_VQX_LIB_PARAMS& L);
  /*
   * Reads the ".NETWORK" section of a line-oriented file and applies it.
   * pszError: at least VQX_CLI_TOOLS_ERROR_TEXT_SIZE bytes, emptied first.
   * 0x02000000 (also when the file cannot be opened: logged, nothing changes);
   * 0x8200000E when a line is refused ("Line %u: <reason>" in pszError; what
   * earlier lines set is applied); 0x82000009 for a null argument.
   */
  VQX_RESULT LoadFromCfgFile(const char* pszFileName, char* pszError);

  CVQCAFString mApplicationName;
  char mszGwAddress0[64];
  char mszGwAddress1[64];
  u16 mun16GwPort;
  u16 maun16ExtraGwPorts[16];
  u32 mun32NbExtraGwAddr;
  _VQX_EXTRA_GW_ADDR maExtraGwAddr[VQCAF_COMM_MAX_EXTRA_GW_ADDR];
  u32 mfRemoteAddrOnGwPortOnly;
  _VQX_NETWORK_REDUNDANCY_PARAMETERS mNetworkRedundancyParams;
  u64 mun64HostInfoValue1;
  u64 mun64HostInfoValue2;
  u32 mun32RxThreadPriority;
  u32 mun32ReceiveFifoSize;
  u32 mun32SendFifoSize;
  u32 mun32LibOption;
  u32 mun32HostLibTraceLevel;
  _VQX_CLI_TOOLS_NETWORK_CONFIG mNetworkConfig; /* zeroed here; LoadFromCfgFile's only */
};

}  // namespace VQCAF

#endif
