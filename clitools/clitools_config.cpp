/*
 * clitools_config.cpp - one line of the line-oriented configuration file
 * into the network record or the console/log record, and the network record
 * into host-library parameters. Called by whoever reads the file
 * (CVQCAFCommParams::LoadFromCfgFile, the console shell), one thread at a time
 * per pair of records.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "vqx_clitools.h"
#include "vqx_string.h"

namespace {

struct SectionName {
  std::string_view svName;
  u32 un32Section;
};
constexpr SectionName kSections[] = {
    {".NETWORK", VQX_CLI_TOOLS_SECTION_NETWORK},
    {".CLI_CONFIG", VQX_CLI_TOOLS_SECTION_CLI},
    {".LOG_FILE_CONFIG", VQX_CLI_TOOLS_SECTION_LOG},
    {".END", VQX_CLI_TOOLS_SECTION_NONE},
};

enum class KeyKind { kName, kAddress0, kAddress1, kPort, kRemoteAddr, kPoll, kNetworkDown, kAdapterDown, kFlow };
struct NetworkKey {
  std::string_view svKey;
  KeyKind Kind;
};
/* The keys of ".NETWORK": those of the XML host section and its environment. */
constexpr NetworkKey kNetworkKeys[] = {
    {"applicationName", KeyKind::kName},      {"VQX_GW_ADDRESS_0", KeyKind::kAddress0},
    {"VQX_GW_ADDRESS_1", KeyKind::kAddress1}, {"VQX_GW_PORT", KeyKind::kPort},
    {"VQX_GW_REMOTE_ADDR", KeyKind::kRemoteAddr}, {"pollDelay", KeyKind::kPoll},
    {"networkDownDelay", KeyKind::kNetworkDown}, {"adapterDownDelay", KeyKind::kAdapterDown},
    {"flowControl", KeyKind::kFlow},
};

VQX_RESULT Refuse(char* pszError, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
VQX_RESULT Refuse(char* pszError, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(pszError, VQX_CLI_TOOLS_ERROR_TEXT_SIZE, pszFormat, args);
  va_end(args);
  return VQX_RESULT_INVALID_CONFIG;
}

std::string_view Trim(std::string_view sv) {
  constexpr std::string_view kBlank = " \t\f\v\r\n";
  const size_t b = sv.find_first_not_of(kBlank);
  if (b == std::string_view::npos) return {};
  return sv.substr(b, sv.find_last_not_of(kBlank) - b + 1);
}

/* A decimal number within [min, max]; false for anything else. */
bool ParseNumber(std::string_view sv, u32 un32Min, u32 un32Max, u32* pun32Out) {
  if (sv.empty() || sv.size() > 10) return false;
  u64 v = 0;
  for (char c : sv) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<u64>(c - '0');
  }
  if (v < un32Min || v > un32Max) return false;
  *pun32Out = static_cast<u32>(v);
  return true;
}

/* Copies a value into a text field; refuses one that does not fit. */
bool CopyText(std::string_view sv, char* pszField, size_t size) {
  if (sv.size() >= size) return false;
  if (!sv.empty()) memcpy(pszField, sv.data(), sv.size());  // an empty view may have no data pointer
  pszField[sv.size()] = '\0';
  return true;
}

VQX_RESULT ParseNetworkLine(std::string_view svLine, _VQX_CLI_TOOLS_NETWORK_CONFIG* pNet, char* pszError) {
  const size_t eq = svLine.find('=');
  if (eq == std::string_view::npos) return Refuse(pszError, "Missing '=' in .NETWORK line");
  const std::string_view svKey = Trim(svLine.substr(0, eq));
  const std::string_view svValue = Trim(svLine.substr(eq + 1));
  const NetworkKey* pKey = nullptr;
  for (const NetworkKey& k : kNetworkKeys) {
    if (k.svKey == svKey) pKey = &k;
  }
  if (pKey == nullptr) {
    return Refuse(pszError, "Unknown .NETWORK key '%.*s'", static_cast<int>(svKey.size() > 64 ? 64 : svKey.size()),
                  svKey.data());
  }
  u32 un32 = 0;
  switch (pKey->Kind) {
    case KeyKind::kName:
      if (!CopyText(svValue, pNet->szApplicationName, sizeof(pNet->szApplicationName)))
        return Refuse(pszError, "applicationName longer than 127 characters");
      return VQX_RESULT_OK;
    case KeyKind::kAddress0:
    case KeyKind::kAddress1: {
      char* psz = pKey->Kind == KeyKind::kAddress0 ? pNet->szGwAddress0 : pNet->szGwAddress1;
      if (!CopyText(svValue, psz, sizeof(pNet->szGwAddress0)))
        return Refuse(pszError, "%.*s longer than 63 characters", static_cast<int>(svKey.size()), svKey.data());
      return VQX_RESULT_OK;
    }
    case KeyKind::kPort:
      if (!ParseNumber(svValue, 1, 65535, &un32)) return Refuse(pszError, "VQX_GW_PORT must be 1 to 65535");
      if (pNet->un16GwPort == 0) {
        pNet->un16GwPort = static_cast<u16>(un32);
      } else if (pNet->un32NbExtraGwPorts >= VQX_CLI_TOOLS_MAX_EXTRA_GW_PORTS) {
        return Refuse(pszError, "More than %u further VQX_GW_PORT lines", VQX_CLI_TOOLS_MAX_EXTRA_GW_PORTS);
      } else {
        pNet->aun16ExtraGwPorts[pNet->un32NbExtraGwPorts++] = static_cast<u16>(un32);
      }
      return VQX_RESULT_OK;
    case KeyKind::kRemoteAddr: {
      /* Counted first, so that a list that does not fit changes nothing. */
      char szText[VQX_CLI_TOOLS_MAX_LINE + 1];
      CopyText(svValue, szText, sizeof(szText));
      char szParseError[256] = "";
      u32 un32Count = 0;
      VQX_RESULT r = VQXParseExtraGwAddr(szText, &un32Count, nullptr, szParseError);
      if (VQX_RESULT_FAILED(r)) return Refuse(pszError, "%s", szParseError);
      if (un32Count > VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR - pNet->un32NbExtraGwAddr)
        return Refuse(pszError, "More than %u VQX_GW_REMOTE_ADDR addresses", VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR);
      r = VQXParseExtraGwAddr(szText, &un32Count, &pNet->aExtraGwAddr[pNet->un32NbExtraGwAddr], szParseError);
      if (VQX_RESULT_FAILED(r)) return Refuse(pszError, "%s", szParseError);
      pNet->un32NbExtraGwAddr += un32Count;
      return VQX_RESULT_OK;
    }
    case KeyKind::kPoll:
    case KeyKind::kNetworkDown:
    case KeyKind::kAdapterDown:
      if (!ParseNumber(svValue, 0, 0xFFFFFFFFu, &un32))
        return Refuse(pszError, "%.*s must be a number of milliseconds", static_cast<int>(svKey.size()), svKey.data());
      (pKey->Kind == KeyKind::kPoll          ? pNet->un32PollDelayMs
       : pKey->Kind == KeyKind::kNetworkDown ? pNet->un32NetworkDownDelayMs
                                             : pNet->un32AdapterDownDelayMs) = un32;
      return VQX_RESULT_OK;
    case KeyKind::kFlow:
      if (!ParseNumber(svValue, 0, 255, &un32)) return Refuse(pszError, "flowControl must be 0 to 255");
      pNet->FlowControlMode = static_cast<i32>(un32);
      return VQX_RESULT_OK;
  }
  return Refuse(pszError, "Unhandled .NETWORK key");
}

}  // namespace

VQX_RESULT VqxCliToolsAnyConfigParseLine(const char* pszLine, _VQX_CLI_TOOLS_NETWORK_CONFIG* pNetwork,
                                         _VQX_CLI_TOOLS_ANY_CONFIG* pAny, char* pszError) {
  if (pszLine == nullptr || pNetwork == nullptr || pAny == nullptr || pszError == nullptr)
    return VQX_RESULT_NULL_PARAM;
  const std::string_view svLine(pszLine, strnlen(pszLine, VQX_CLI_TOOLS_MAX_LINE + 1));
  if (svLine.size() > VQX_CLI_TOOLS_MAX_LINE)
    return Refuse(pszError, "Line longer than %u characters", VQX_CLI_TOOLS_MAX_LINE);
  if (svLine.empty() || svLine[0] == '#' || svLine[0] == ';') return VQX_RESULT_OK;
  if (svLine[0] == '.') {
    for (const SectionName& s : kSections) {
      if (s.svName == svLine) {
        pAny->un32Section = s.un32Section;
        return VQX_RESULT_OK;
      }
    }
    return Refuse(pszError, "Unknown section '%.*s'", static_cast<int>(svLine.size() > 64 ? 64 : svLine.size()),
                  svLine.data());
  }
  switch (pAny->un32Section) {
    case VQX_CLI_TOOLS_SECTION_NETWORK:
      return ParseNetworkLine(svLine, pNetwork, pszError);
    case VQX_CLI_TOOLS_SECTION_CLI:
    case VQX_CLI_TOOLS_SECTION_LOG: {
      const bool fCli = pAny->un32Section == VQX_CLI_TOOLS_SECTION_CLI;
      u32& un32Nb = fCli ? pAny->un32NbCliLines : pAny->un32NbLogLines;
      const u32 un32Max = fCli ? VQX_CLI_TOOLS_MAX_CLI_LINES : VQX_CLI_TOOLS_MAX_LOG_LINES;
      if (un32Nb >= un32Max) return Refuse(pszError, "More than %u lines in the section", un32Max);
      if (svLine.size() >= VQX_CLI_TOOLS_SECTION_LINE_SIZE)
        return Refuse(pszError, "Line longer than %u characters in the section", VQX_CLI_TOOLS_SECTION_LINE_SIZE - 1);
      CopyText(svLine, fCli ? pAny->aszCliLines[un32Nb] : pAny->aszLogLines[un32Nb], VQX_CLI_TOOLS_SECTION_LINE_SIZE);
      un32Nb++;
      return VQX_RESULT_OK;
    }
    default:
      return Refuse(pszError, "Line outside a section");
  }
}

VQX_RESULT VqxCliToolsNetworkConfigCopyToVqxLibParams(_VQX_CLI_TOOLS_NETWORK_CONFIG* pNetwork,
                                                      _VQX_LIB_PARAMS* pParams) {
  if (pNetwork == nullptr || pParams == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pNetwork->szApplicationName[0] == '\0') {
    snprintf(pNetwork->szApplicationName, sizeof(pNetwork->szApplicationName), "UnnamedApp_0x%08X",
             static_cast<u32>(getpid()));
  }
  if (pNetwork->un32PollDelayMs == 0) {
    pNetwork->un32PollDelayMs = VQX_CLI_TOOLS_DEFAULT_POLL_DELAY_MS;
    pNetwork->un32NetworkDownDelayMs = VQX_CLI_TOOLS_DEFAULT_NETWORK_DOWN_DELAY_MS;
    pNetwork->un32AdapterDownDelayMs = VQX_CLI_TOOLS_DEFAULT_ADAPTER_DOWN_DELAY_MS;
  }
  static_assert(sizeof(pParams->szApplicationName) == sizeof(pNetwork->szApplicationName));
  static_assert(sizeof(pParams->szGw0Address) == sizeof(pNetwork->szGwAddress0));
  static_assert(sizeof(pParams->abyGwBlock) == sizeof(pNetwork->aun16ExtraGwPorts));
  memcpy(pParams->szApplicationName, pNetwork->szApplicationName, sizeof(pParams->szApplicationName));
  pParams->szApplicationName[sizeof(pParams->szApplicationName) - 1] = '\0';
  memcpy(pParams->szGw0Address, pNetwork->szGwAddress0, sizeof(pParams->szGw0Address));
  pParams->szGw0Address[sizeof(pParams->szGw0Address) - 1] = '\0';
  memcpy(pParams->szGw1Address, pNetwork->szGwAddress1, sizeof(pParams->szGw1Address));
  pParams->szGw1Address[sizeof(pParams->szGw1Address) - 1] = '\0';
  pParams->un16GwPort = pNetwork->un16GwPort;
  memcpy(pParams->abyGwBlock, pNetwork->aun16ExtraGwPorts, sizeof(pParams->abyGwBlock));
  pParams->un32NbExtraGwAddr = pNetwork->un32NbExtraGwAddr > VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR
                                   ? VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR
                                   : pNetwork->un32NbExtraGwAddr;
  pParams->paExtraGwAddr = pParams->un32NbExtraGwAddr != 0 ? pNetwork->aExtraGwAddr : nullptr;
  _VQX_NETWORK_REDUNDANCY_PARAMETERS& nr = pParams->NetworkRedundancy;
  nr.fValid = 1;
  nr.un32PollDelayMs = pNetwork->un32PollDelayMs;
  nr.un32NetworkDownDelayMs = pNetwork->un32NetworkDownDelayMs;
  nr.un32AdapterDownDelayMs = pNetwork->un32AdapterDownDelayMs;
  nr.fUseGw0 = 1;
  nr.fUseGw1 = 1;
  nr.un32PreferredGateway = 0;
  nr.FlowControlMode = pNetwork->FlowControlMode;
  return VQX_RESULT_OK;
}
