/*
 * vqcafcommparams.cpp - the bridge's parameter block: defaults, the two
 * copies to and from the host library's record, and the configuration file.
 */
#include "vqcafcommparams.h"

#include <stdio.h>
#include <string.h>

#include "vqcaflog.h"

namespace VQCAF {

namespace {
void CopyText(char* pszDest, size_t size, const char* pszSource) {
  const size_t n = strnlen(pszSource, size - 1);
  memcpy(pszDest, pszSource, n);
  pszDest[n] = '\0';
}
}  // namespace

CVQCAFCommParams::CVQCAFCommParams()
    : mszGwAddress0(),
      mszGwAddress1(),
      mun16GwPort(0),
      maun16ExtraGwPorts(),
      mun32NbExtraGwAddr(0),
      maExtraGwAddr(),
      mfRemoteAddrOnGwPortOnly(1),
      mNetworkRedundancyParams{1, 2000, 4500, 10000, 1, 1, 0, 0},
      mun64HostInfoValue1(0),
      mun64HostInfoValue2(0),
      mun32RxThreadPriority(1),
      mun32ReceiveFifoSize(32768),
      mun32SendFifoSize(16384),
      mun32LibOption(1),
      mun32HostLibTraceLevel(10),
      mNetworkConfig() {}

void CVQCAFCommParams::CVQCAFCliCopyParamsToHostLibParams(_VQX_LIB_PARAMS& L) {
  CopyText(L.szApplicationName, sizeof(L.szApplicationName), mApplicationName.c_str());
  CopyText(L.szGw0Address, sizeof(L.szGw0Address), mszGwAddress0);
  CopyText(L.szGw1Address, sizeof(L.szGw1Address), mszGwAddress1);
  L.un16GwPort = mun16GwPort;
  static_assert(sizeof(L.abyGwBlock) == sizeof(maun16ExtraGwPorts));
  memcpy(L.abyGwBlock, maun16ExtraGwPorts, sizeof(L.abyGwBlock));
  L.un32NbExtraGwAddr = mun32NbExtraGwAddr > VQCAF_COMM_MAX_EXTRA_GW_ADDR ? VQCAF_COMM_MAX_EXTRA_GW_ADDR
                                                                          : mun32NbExtraGwAddr;
  L.paExtraGwAddr = L.un32NbExtraGwAddr != 0 ? maExtraGwAddr : nullptr;
  L.fGwPortOnly = mfRemoteAddrOnGwPortOnly;
  L.NetworkRedundancy = mNetworkRedundancyParams;
  L.aun64HostContext[0] = mun64HostInfoValue1;
  L.aun64HostContext[1] = mun64HostInfoValue2;
  L.un32RxThreadPriority = mun32RxThreadPriority;
  L.un32ReceiveFifoSize = mun32ReceiveFifoSize;
  L.un32SendFifoSize = mun32SendFifoSize;
  L.un32PostingCount = mun32LibOption;
}

void CVQCAFCommParams::CVQCAFCliCopyParamsFromHostLibParams(_VQX_LIB_PARAMS& L) {
  if (L.szApplicationName[0] != '\0') {
    mApplicationName = CVQCAFString(L.szApplicationName, static_cast<u32>(strnlen(L.szApplicationName, 127)));
  }
  CopyText(mszGwAddress0, sizeof(mszGwAddress0), L.szGw0Address);
  CopyText(mszGwAddress1, sizeof(mszGwAddress1), L.szGw1Address);
  mun16GwPort = L.un16GwPort;
  memcpy(maun16ExtraGwPorts, L.abyGwBlock, sizeof(maun16ExtraGwPorts));
  /* The entries come from the record itself: L may point anywhere, and the
   * network record of a file read is only one possible source. */
  mun32NbExtraGwAddr = L.paExtraGwAddr == nullptr                         ? 0
                       : L.un32NbExtraGwAddr > VQCAF_COMM_MAX_EXTRA_GW_ADDR ? VQCAF_COMM_MAX_EXTRA_GW_ADDR
                                                                          : L.un32NbExtraGwAddr;
  if (mun32NbExtraGwAddr != 0 && L.paExtraGwAddr != maExtraGwAddr) {
    memmove(maExtraGwAddr, L.paExtraGwAddr, mun32NbExtraGwAddr * sizeof(_VQX_EXTRA_GW_ADDR));
  }
  if (mun32NbExtraGwAddr != 0) mfRemoteAddrOnGwPortOnly = 0;
  mNetworkRedundancyParams = L.NetworkRedundancy;
  mun64HostInfoValue1 = L.aun64HostContext[0];
  mun64HostInfoValue2 = L.aun64HostContext[1];
  mun32RxThreadPriority = L.un32RxThreadPriority;
  mun32ReceiveFifoSize = L.un32ReceiveFifoSize;
  mun32SendFifoSize = L.un32SendFifoSize;
  mun32LibOption = L.un32PostingCount;
}

VQX_RESULT CVQCAFCommParams::LoadFromCfgFile(const char* pszFileName, char* pszError) {
  if (pszFileName == nullptr || pszError == nullptr) return VQX_RESULT_NULL_PARAM;
  pszError[0] = '\0';
  mNetworkConfig = _VQX_CLI_TOOLS_NETWORK_CONFIG{};
  _VQX_CLI_TOOLS_ANY_CONFIG* pAny = new _VQX_CLI_TOOLS_ANY_CONFIG();  // 24 KiB: not on the stack
  FILE* pFile = fopen(pszFileName, "r");
  if (pFile == nullptr) {
    delete pAny;
    LogTrace(VQERR, "CVQCAFCommParams::LoadFromCfgFile: Failed to open configuration file '%s'. Will use default values\n",
             pszFileName);
    return VQX_RESULT_OK;
  }
  VQX_RESULT Result = VQX_RESULT_OK;
  char szLine[VQX_CLI_TOOLS_MAX_LINE + 2];
  for (u32 un32Line = 1; fgets(szLine, sizeof(szLine), pFile) != nullptr; un32Line++) {
    size_t n = strlen(szLine);
    const bool fComplete = n > 0 && szLine[n - 1] == '\n';
    if (!fComplete && !feof(pFile)) {
      /* Longer than the buffer: refused whole rather than parsed in pieces. */
      snprintf(pszError, VQX_CLI_TOOLS_ERROR_TEXT_SIZE, "Line %u: Line longer than %u characters", un32Line,
               VQX_CLI_TOOLS_MAX_LINE);
      Result = VQX_RESULT_INVALID_CONFIG;
      break;
    }
    while (n > 0 && strchr(" \f\t\v\r\n", szLine[n - 1]) != nullptr) szLine[--n] = '\0';
    const char* psz = szLine;
    while (*psz != '\0' && strchr(" \f\t\v\r\n", *psz) != nullptr) psz++;
    char szReason[VQX_CLI_TOOLS_ERROR_TEXT_SIZE] = "";
    /* The parser writes a reason exactly when it refuses a line; either one stops the reading. */
    if (VqxCliToolsAnyConfigParseLine(psz, &mNetworkConfig, pAny, szReason) != VQX_RESULT_OK || szReason[0] != '\0') {
      snprintf(pszError, VQX_CLI_TOOLS_ERROR_TEXT_SIZE, "Line %u: %.200s", un32Line,
               szReason[0] != '\0' ? szReason : "Invalid line");
      Result = VQX_RESULT_INVALID_CONFIG;
      break;
    }
  }
  if (Result == VQX_RESULT_OK && ferror(pFile)) {
    snprintf(pszError, VQX_CLI_TOOLS_ERROR_TEXT_SIZE, "Failed to read configuration file '%.180s'", pszFileName);
    Result = VQX_RESULT_INVALID_CONFIG;
  }
  fclose(pFile);
  delete pAny;

  _VQX_LIB_PARAMS L{};
  if (mNetworkConfig.szApplicationName[0] == '\0') {
    CopyText(mNetworkConfig.szApplicationName, sizeof(mNetworkConfig.szApplicationName), mApplicationName.c_str());
  }
  CVQCAFCliCopyParamsToHostLibParams(L);
  VqxCliToolsNetworkConfigCopyToVqxLibParams(&mNetworkConfig, &L);
  CVQCAFCliCopyParamsFromHostLibParams(L);
  return Result;
}

}  // namespace VQCAF
