/*
 * vqcafcfgcmdline.cpp - the framework command line: one table of options,
 * one walk over the arguments.
 */
#include "vqcafcfgcmdline.h"

#include <string.h>

#include <string_view>

#include "vqcafexception.h"
#include "vqcaflog.h"

namespace VQCAF {

namespace {

enum class OptKind { kFlag, kText, kPort, kAdapter, kHelp };
struct CmdLineOption {
  const char* pszName;
  OptKind Kind;
  u32 CVQCAFCfgCmdLine::*pun32;          /* kFlag, kPort */
  CVQCAFString CVQCAFCfgCmdLine::*pstr;  /* kText, kAdapter */
};
using C = CVQCAFCfgCmdLine;
const CmdLineOption kOptions[] = {
    {"-d", OptKind::kFlag, &C::mun32DaemonMode, nullptr},
    {"-db", OptKind::kFlag, &C::mun32DbMode, nullptr},
    {"-name", OptKind::kText, nullptr, &C::mAppName},
    {"-c", OptKind::kText, nullptr, &C::mCfgFile},
    {"-gw", OptKind::kPort, &C::mun32GwPort, nullptr},
    {"-gw_addr_0", OptKind::kText, nullptr, &C::mGwAddr0},
    {"-gw_addr_1", OptKind::kText, nullptr, &C::mGwAddr1},
    {"-port", OptKind::kPort, &C::mun32Port, nullptr},
    {"-pid", OptKind::kText, nullptr, &C::mPid},
    {"-adapter", OptKind::kAdapter, nullptr, &C::mAdapterName},
    {"-help", OptKind::kHelp, nullptr, nullptr},
    {"--help", OptKind::kHelp, nullptr, nullptr},
    {"/?", OptKind::kHelp, nullptr, nullptr},
    {"?", OptKind::kHelp, nullptr, nullptr},
};

constexpr const char* kHelpLines[] = {
    "Options available:",
    "   -d             Daemon mode",
    "   -name XYZ      Application name",
    "   -db            Database to use",
    "   -c XYZ         Configuration file to load",
    "   -gw XYZ        VQX gw port",
    "   -adapter VQXYZ Adapter name to connect",
};

/* Decimal 0..65535 only: no sign, no blank, no other base. */
bool ParsePort(const char* psz, u32* pun32) {
  const std::string_view sv(psz);
  if (sv.empty() || sv.size() > 5) return false;
  u32 v = 0;
  for (char c : sv) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<u32>(c - '0');
  }
  if (v > 65535) return false;
  *pun32 = v;
  return true;
}

VQX_RESULT Fail(const char* pszText, const char* pszOption) {
  CVQCAFString strText;
  strText.Format(pszText, pszOption);
  return VQCAF_REPORT_FAILURE("CVQCAFCfgCmdLine::ParseCmdLineArgs", strText.c_str(), VQX_RESULT_INVALID_PARAM);
}

}  // namespace

CVQCAFCfgCmdLine::CVQCAFCfgCmdLine() : mun32DaemonMode(0), mun32DbMode(0), mun32GwPort(0), mun32Port(0) {}

VQX_RESULT CVQCAFCfgCmdLine::ParseCmdLineArgs(int argc, char** argv) {
  if (argc < 2 || argv == nullptr) return Fail("No parameter to parse on the command line%s", "");
  for (int i = 1; i < argc; i++) {
    const char* pszArg = argv[i];
    if (pszArg == nullptr) continue;
    const CmdLineOption* pOpt = nullptr;
    for (const CmdLineOption& o : kOptions) {
      if (strcmp(o.pszName, pszArg) == 0) pOpt = &o;
    }
    if (pOpt == nullptr) continue;
    if (pOpt->Kind == OptKind::kHelp) {
      for (const char* psz : kHelpLines) LogTrace(VQMSG, "%s\n", psz);
      return VQX_RESULT_FAIL;
    }
    if (pOpt->Kind == OptKind::kFlag) {
      this->*(pOpt->pun32) = 1;
      if (pOpt->pun32 == &C::mun32DbMode && i == argc - 1) return VQX_RESULT_OK;
      continue;
    }
    if (i + 1 >= argc || argv[i + 1] == nullptr) return Fail("Missing argument for option '%s'", pOpt->pszName);
    const char* pszValue = argv[++i];
    switch (pOpt->Kind) {
      case OptKind::kPort:
        if (!ParsePort(pszValue, &(this->*(pOpt->pun32)))) return Fail("Invalid value for option '%s'", pOpt->pszName);
        break;
      case OptKind::kAdapter: {
        this->*(pOpt->pstr) = pszValue;
        mAdapterList.clear();
        std::string_view sv(pszValue);
        while (!sv.empty()) {
          const size_t comma = sv.find(',');
          const std::string_view svName = sv.substr(0, comma);
          if (!svName.empty()) mAdapterList.emplace_back(svName.data(), static_cast<u32>(svName.size()));
          if (comma == std::string_view::npos) break;
          sv.remove_prefix(comma + 1);
        }
        break;
      }
      default:
        this->*(pOpt->pstr) = pszValue;
        break;
    }
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
