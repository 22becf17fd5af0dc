/*
 * sigtrace_reload_params.cpp - the <params> of a reload split into those a
 * running framework takes and those read at start only: one row per
 * parameter, its name as the file spells it and one function that tells
 * whether it changed and puts the running value back when asked.
 */
#include "sigtrace_reload_params.h"

#include <string.h>

namespace VQCAF {

namespace {

using Fw = VQ_SIGTRACE_FRAMEWORK_PARAMS;

template <class T>
bool Same(const T& a, const T& b) {
  return a == b;
}
template <class T, size_t N>
bool Same(const T (&a)[N], const T (&b)[N]) {
  return memcmp(a, b, sizeof(a)) == 0;
}
/* A text field: what follows its end does not count. */
template <size_t N>
bool Same(const char (&a)[N], const char (&b)[N]) {
  return strncmp(a, b, N) == 0;
}
template <class T>
void Keep(T& a, const T& b) {
  a = b;
}
template <class T, size_t N>
void Keep(T (&a)[N], const T (&b)[N]) {
  memcpy(a, b, sizeof(a));
}

struct SParamRow {
  const char* pszName;
  bool fWhileRunning;
  /* Whether New differs from Running; with fKeep, New takes Running's value. */
  bool (*pfnDiffers)(const Fw& Running, const Fw& New, bool fKeep);
};

/* A row of one member of one of the three sets. */
#define VQ_PARAM_ROW(pszName, fWhileRunning, pSet, Member)                     \
  {pszName, fWhileRunning, [](const Fw& Run, const Fw& New, bool fKeep) {       \
     if (Same(New.pSet->Member, Run.pSet->Member)) return false;               \
     if (fKeep) Keep(New.pSet->Member, Run.pSet->Member);                       \
     return true;                                                               \
   }}

const SParamRow kParams[] = {
    VQ_PARAM_ROW("log@level, log:module@level", true, pLog, maun32SubModTraceLevel),
    VQ_PARAM_ROW("host@pollDelay", true, pComm, mNetworkRedundancyParams.un32PollDelayMs),
    VQ_PARAM_ROW("host@networkDownDelay", true, pComm, mNetworkRedundancyParams.un32NetworkDownDelayMs),
    VQ_PARAM_ROW("host@adapterDownDelay", true, pComm, mNetworkRedundancyParams.un32AdapterDownDelayMs),
    VQ_PARAM_ROW("log@baseName", false, pLog, mstrBaseName),
    VQ_PARAM_ROW("log@extension", false, pLog, mstrExtension),
    VQ_PARAM_ROW("log@queueSize", false, pLog, mun32QueueSize),
    VQ_PARAM_ROW("host@applicationName", false, pComm, mApplicationName),
    VQ_PARAM_ROW("host:env@VQX_GW_ADDRESS_0", false, pComm, mszGwAddress0),
    VQ_PARAM_ROW("host:env@VQX_GW_ADDRESS_1", false, pComm, mszGwAddress1),
    VQ_PARAM_ROW("host:env@VQX_GW_PORT", false, pComm, mun16GwPort),
    VQ_PARAM_ROW("host:env@VQX_GW_PORT", false, pComm, maun16ExtraGwPorts),
    VQ_PARAM_ROW("host:env@VQX_GW_REMOTE_ADDR", false, pComm, mun32NbExtraGwAddr),
    VQ_PARAM_ROW("host:env@VQX_GW_REMOTE_ADDR", false, pComm, maExtraGwAddr),
    VQ_PARAM_ROW("cli@title", false, pCli, szTitle),
    VQ_PARAM_ROW("cli@promptTitle", false, pCli, szPromptTitle),
    VQ_PARAM_ROW("cli@promptInvalid", false, pCli, szPromptInvalid),
    VQ_PARAM_ROW("cli@promptHint", false, pCli, szPromptHint),
    VQ_PARAM_ROW("cli@minRefreshMs", false, pCli, un32MinRefreshMs),
    VQ_PARAM_ROW("cli@maxRefreshMs", false, pCli, un32MaxRefreshMs),
    VQ_PARAM_ROW("cli@logLines", false, pCli, un32LogLines),
    VQ_PARAM_ROW("cli@logViewLines", false, pCli, un32LogViewLines),
    VQ_PARAM_ROW("cli@promptFields", false, pCli, un32MaxPromptFields),
};

#undef VQ_PARAM_ROW

/* Appends pszName unless the list ends with it already (a parameter of two rows). */
void Name(std::string& strList, const char* pszName) {
  const size_t n = strlen(pszName);
  if (strList.size() >= n && strList.compare(strList.size() - n, n, pszName) == 0) return;
  if (!strList.empty()) strList += ", ";
  strList += pszName;
}

}  // namespace

void VqSigTraceSplitReloadedParams(const VQ_SIGTRACE_FRAMEWORK_PARAMS& Running, const VQ_SIGTRACE_FRAMEWORK_PARAMS& New,
                                   std::string& strApplied, std::string& strStartOnly) {
  strApplied.clear();
  strStartOnly.clear();
  for (const SParamRow& Row : kParams)
    if (Row.pfnDiffers(Running, New, !Row.fWhileRunning)) Name(Row.fWhileRunning ? strApplied : strStartOnly, Row.pszName);
}

}  // namespace VQCAF
