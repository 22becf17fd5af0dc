/*
 * vqcafparamsdaoxml.cpp - the ":params" readers: one table of attributes per
 * element, each row a name, a kind, a range and where the value goes.
 */
#include "vqcafparamsdaoxml.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "vqcafexception.h"

namespace VQCAF {

namespace {

constexpr const char* kOp = "CVQCAFParamsDaoXml";

/* One failure line naming the attribute, what is wrong with it and where it
 * stands: "<path>@<field><what> (<file>:<line>)". */
VQX_RESULT Refuse(IVQCAFCfgFile& Cfg, const char* pszPath, u32 un32Index, const char* pszField, const char* pszWhat,
                  VQX_RESULT r) {
  u32 un32Line = 0;
  Cfg.GetLineNumber(pszPath, un32Index, const_cast<char*>(pszField), &un32Line);
  const char* pszFile = Cfg.GetDbName() != nullptr ? Cfg.GetDbName() : "";
  CVQCAFString strText;
  strText.Format("%s@%s%s (%s:%u)", pszPath, pszField, pszWhat, pszFile, un32Line);
  return VQCAF_REPORT_FAILURE(kOp, strText.c_str(), r);
}

/* The attribute's text as written, for a failure line. */
void Written(IVQCAFCfgFile& Cfg, const char* pszPath, u32 un32Index, const char* pszField, char (&szText)[VQCAF_CFG_VALUE_SIZE]) {
  if (VQX_RESULT_FAILED(Cfg.Get(pszPath, un32Index, const_cast<char*>(pszField), sizeof(szText), szText)))
    snprintf(szText, sizeof(szText), "(%u characters or more)", VQCAF_CFG_VALUE_SIZE);
}

/* Reads an optional number into *pun32 within [min, max]. */
VQX_RESULT ReadNumber(IVQCAFCfgFile& Cfg, const char* pszPath, u32 un32Index, const char* pszField, u32 un32Min,
                      u32 un32Max, u32* pun32) {
  u32 v = 0;
  const VQX_RESULT r = Cfg.Get(pszPath, un32Index, const_cast<char*>(pszField), &v);
  if (r == VQX_RESULT_NOT_FOUND) return VQX_RESULT_OK;
  const bool fNumber = r != VQX_RESULT_INVALID_PARAM;
  if (fNumber && VQX_RESULT_FAILED(r)) return r;
  if (!fNumber || v < un32Min || v > un32Max) {
    /* Quote the text as written and where it stands. */
    char szText[VQCAF_CFG_VALUE_SIZE];
    Written(Cfg, pszPath, un32Index, pszField, szText);
    CVQCAFString strWhat;
    if (fNumber) strWhat.Format(" = \"%s\" is outside %u..%u", szText, un32Min, un32Max);
    else strWhat.Format(" = \"%s\" is not an unsigned 32-bit number", szText);
    return Refuse(Cfg, pszPath, un32Index, pszField, strWhat.c_str(), VQX_RESULT_INVALID_PARAM);
  }
  *pun32 = v;
  return VQX_RESULT_OK;
}

/* Reads an optional text into szOut (size un32Size); absent: 0x82000015 kept for the caller. */
VQX_RESULT ReadText(IVQCAFCfgFile& Cfg, const char* pszPath, u32 un32Index, const char* pszField, char* pszOut,
                    u32 un32Size) {
  char sz[VQCAF_CFG_VALUE_SIZE];
  const VQX_RESULT r = Cfg.Get(pszPath, un32Index, const_cast<char*>(pszField), sizeof(sz), sz);
  if (r != VQX_RESULT_BUFFER_TOO_SMALL && VQX_RESULT_FAILED(r)) return r;
  if (r == VQX_RESULT_BUFFER_TOO_SMALL || strlen(sz) >= un32Size) {
    char szWhat[64];
    snprintf(szWhat, sizeof(szWhat), " is longer than %u characters", un32Size - 1);
    return Refuse(Cfg, pszPath, un32Index, pszField, szWhat, VQX_RESULT_BUFFER_TOO_SMALL);
  }
  memcpy(pszOut, sz, strlen(sz) + 1);
  return VQX_RESULT_OK;
}

#define VQCAF_TRY(expr)                         \
  do {                                          \
    const VQX_RESULT r_ = (expr);               \
    if (VQX_RESULT_FAILED(r_)) return r_;       \
  } while (0)

/* A text that may be absent. */
VQX_RESULT OptText(IVQCAFCfgFile& Cfg, const char* pszPath, u32 i, const char* pszField, char* pszOut, u32 un32Size) {
  const VQX_RESULT r = ReadText(Cfg, pszPath, i, pszField, pszOut, un32Size);
  return r == VQX_RESULT_NOT_FOUND ? VQX_RESULT_OK : r;
}

}  // namespace

VQX_RESULT CVQCAFParamsDaoXml::ReadCommParams(IVQCAFCfgFile& Cfg, CVQCAFCommParams& Comm) {
  const char* pszHost = ":params:host";
  char szName[128];
  VQX_RESULT r = ReadText(Cfg, pszHost, 0, "applicationName", szName, sizeof(szName));
  if (r == VQX_RESULT_OK) Comm.mApplicationName = szName;
  else if (r != VQX_RESULT_NOT_FOUND) return r;
  _VQX_NETWORK_REDUNDANCY_PARAMETERS& Nr = Comm.mNetworkRedundancyParams;
  VQCAF_TRY(ReadNumber(Cfg, pszHost, 0, "pollDelay", 1, 3600000, &Nr.un32PollDelayMs));
  VQCAF_TRY(ReadNumber(Cfg, pszHost, 0, "networkDownDelay", 1, 3600000, &Nr.un32NetworkDownDelayMs));
  VQCAF_TRY(ReadNumber(Cfg, pszHost, 0, "adapterDownDelay", 1, 3600000, &Nr.un32AdapterDownDelayMs));
  /* Several env elements may each carry some of the four names; a second and
   * later VQX_GW_PORT fills the further ports in order. */
  const char* pszEnv = ":params:host:env";
  u32 un32Env = 0, un32Extra = 0;
  Cfg.GetCount(pszEnv, &un32Env);
  bool fFirstPort = true;
  for (u32 i = 0; i < un32Env; i++) {
    VQCAF_TRY(OptText(Cfg, pszEnv, i, "VQX_GW_ADDRESS_0", Comm.mszGwAddress0, sizeof(Comm.mszGwAddress0)));
    VQCAF_TRY(OptText(Cfg, pszEnv, i, "VQX_GW_ADDRESS_1", Comm.mszGwAddress1, sizeof(Comm.mszGwAddress1)));
    u32 un32Port = 0xFFFFFFFFu;
    VQCAF_TRY(ReadNumber(Cfg, pszEnv, i, "VQX_GW_PORT", 1, 65535, &un32Port));
    if (un32Port != 0xFFFFFFFFu) {
      if (fFirstPort) {
        Comm.mun16GwPort = static_cast<u16>(un32Port);
        fFirstPort = false;
      } else if (un32Extra < 16) {
        Comm.maun16ExtraGwPorts[un32Extra++] = static_cast<u16>(un32Port);
      } else {
        return VQCAF_REPORT_FAILURE(kOp, "More than 16 further VQX_GW_PORT values", VQX_RESULT_INVALID_PARAM);
      }
    }
    char szList[VQCAF_CFG_VALUE_SIZE];
    r = ReadText(Cfg, pszEnv, i, "VQX_GW_REMOTE_ADDR", szList, sizeof(szList));
    if (r == VQX_RESULT_NOT_FOUND) continue;
    if (VQX_RESULT_FAILED(r)) return r;
    char szError[256] = "";
    u32 un32Room = VQCAF_COMM_MAX_EXTRA_GW_ADDR - Comm.mun32NbExtraGwAddr;
    u32 un32Count = 0;
    r = VQXParseExtraGwAddr(szList, &un32Count, nullptr, szError);
    /* The parser's text ends its own line: the failure line goes on after it. */
    szError[strcspn(szError, "\n")] = '\0';
    if (VQX_RESULT_FAILED(r)) return VQCAF_REPORT_FAILURE(kOp, szError, VQX_RESULT_INVALID_PARAM);
    if (un32Count > un32Room) return VQCAF_REPORT_FAILURE(kOp, "More than 16 VQX_GW_REMOTE_ADDR addresses", VQX_RESULT_INVALID_PARAM);
    r = VQXParseExtraGwAddr(szList, &un32Room, &Comm.maExtraGwAddr[Comm.mun32NbExtraGwAddr], szError);
    szError[strcspn(szError, "\n")] = '\0';
    if (VQX_RESULT_FAILED(r)) return VQCAF_REPORT_FAILURE(kOp, szError, VQX_RESULT_INVALID_PARAM);
    Comm.mun32NbExtraGwAddr += un32Count;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFParamsDaoXml::ReadLogParams(IVQCAFCfgFile& Cfg, CVQCAFLogParams& Log) {
  const char* pszLog = ":params:log";
  char sz[VQCAF_CFG_VALUE_SIZE];
  VQX_RESULT r = ReadText(Cfg, pszLog, 0, "baseName", sz, sizeof(sz));
  if (r == VQX_RESULT_OK) Log.mstrBaseName = sz;
  else if (r != VQX_RESULT_NOT_FOUND) return r;
  r = ReadText(Cfg, pszLog, 0, "extension", sz, sizeof(sz));
  if (r == VQX_RESULT_OK) Log.mstrExtension = sz;
  else if (r != VQX_RESULT_NOT_FOUND) return r;
  VQCAF_TRY(ReadNumber(Cfg, pszLog, 0, "queueSize", 0, 0x40000000u, &Log.mun32QueueSize));
  u32 un32All = 0xFFFFFFFFu;
  VQCAF_TRY(ReadNumber(Cfg, pszLog, 0, "level", 0, 0x7FFFFFFFu, &un32All));
  if (un32All != 0xFFFFFFFFu) {
    for (u32& un32Level : Log.maun32SubModTraceLevel) un32Level = un32All;
  }
  const char* pszModule = ":params:log:module";
  u32 un32Count = 0;
  Cfg.GetCount(pszModule, &un32Count);
  for (u32 i = 0; i < un32Count; i++) {
    char szName[16];
    VQCAF_TRY(ReadText(Cfg, pszModule, i, "name", szName, sizeof(szName)));
    u32 un32SubMod = VQCAF_SUBMODULE_COUNT;
    for (u32 m = 0; m < VQCAF_SUBMODULE_COUNT && un32SubMod == VQCAF_SUBMODULE_COUNT; m++) {
      char szKnown[8];
      snprintf(szKnown, sizeof(szKnown), "%s", GetSubModName(m));
      for (size_t n = strlen(szKnown); n > 0 && szKnown[n - 1] == ' '; n--) szKnown[n - 1] = '\0';
      if (szKnown[0] != '\0' && strcmp(szKnown, "????") != 0 && strcasecmp(szKnown, szName) == 0) un32SubMod = m;
    }
    if (un32SubMod == VQCAF_SUBMODULE_COUNT) {
      char szText[64];
      snprintf(szText, sizeof(szText), "Unknown sub-module '%s'", szName);
      return VQCAF_REPORT_FAILURE(kOp, szText, VQX_RESULT_INVALID_PARAM);
    }
    u32 un32Level = 0xFFFFFFFFu;
    VQCAF_TRY(ReadNumber(Cfg, pszModule, i, "level", 0, 0x7FFFFFFFu, &un32Level));
    if (un32Level == 0xFFFFFFFFu) return VQCAF_REPORT_FAILURE(kOp, "log:module without a level", VQX_RESULT_NOT_FOUND);
    Log.maun32SubModTraceLevel[un32SubMod] = un32Level;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFParamsDaoXml::ReadCliParams(IVQCAFCfgFile& Cfg, _VQX_CLI_TOOLS_INIT_PARAMS& Cli) {
  const char* pszCli = ":params:cli";
  VQCAF_TRY(OptText(Cfg, pszCli, 0, "title", Cli.szTitle, sizeof(Cli.szTitle)));
  VQCAF_TRY(OptText(Cfg, pszCli, 0, "promptTitle", Cli.szPromptTitle, sizeof(Cli.szPromptTitle)));
  VQCAF_TRY(OptText(Cfg, pszCli, 0, "promptInvalid", Cli.szPromptInvalid, sizeof(Cli.szPromptInvalid)));
  VQCAF_TRY(OptText(Cfg, pszCli, 0, "promptHint", Cli.szPromptHint, sizeof(Cli.szPromptHint)));
  VQCAF_TRY(ReadNumber(Cfg, pszCli, 0, "minRefreshMs", 10, 60000, &Cli.un32MinRefreshMs));
  VQCAF_TRY(ReadNumber(Cfg, pszCli, 0, "maxRefreshMs", 10, 60000, &Cli.un32MaxRefreshMs));
  VQCAF_TRY(ReadNumber(Cfg, pszCli, 0, "logLines", 16, 4096, &Cli.un32LogLines));
  VQCAF_TRY(ReadNumber(Cfg, pszCli, 0, "logViewLines", 0, 50, &Cli.un32LogViewLines));
  VQCAF_TRY(ReadNumber(Cfg, pszCli, 0, "promptFields", VQX_CLI_TOOLS_MIN_PROMPT_FIELDS, VQX_CLI_TOOLS_MAX_CMD_FIELDS,
                       &Cli.un32MaxPromptFields));
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFParamsDaoXml::ReadCommonParams(IVQCAFCfgFile& Cfg, CVQCAFLogParams& Log, CVQCAFCommParams& Comm,
                                                _VQX_CLI_TOOLS_INIT_PARAMS& Cli) {
  VQCAF_TRY(ReadLogParams(Cfg, Log));
  VQCAF_TRY(ReadCommParams(Cfg, Comm));
  return ReadCliParams(Cfg, Cli);
}

}  // namespace VQCAF
