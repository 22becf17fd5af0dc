/*
 * sigtrace_cfg_cmdline.cpp - the trace options: one table of options and one
 * walk over lowered copies of the arguments, after the framework's parse.
 */
#include "sigtrace_cfg_cmdline.h"

#include <ctype.h>
#include <string.h>

#include <string>
#include <string_view>

#include "vqcafexception.h"
#include "vqcaflog.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

constexpr const char* kOperation = "CVQSigTraceCfgCmdLine::ParseCmdLineArgs";
/* The source name that failure lines carry. */
constexpr const char* kSource = "CVQSigTraceCfgCmdLine";

enum class OptKind { kProtocol, kSet, kOld, kRunTime, kHelp };
using C = CVQSigTraceCfgCmdLine;
struct TraceOption {
  const char* pszName;
  OptKind Kind;
  u32 C::*pfField; /* flag set (kProtocol, kSet); null for "-c" */
  u32 un32Value;
};
const TraceOption kOptions[] = {
    {"-ss7", OptKind::kProtocol, &C::mfSs7, 1},
    {"-isdn", OptKind::kProtocol, &C::mfIsdn, 1},
    {"-lapd", OptKind::kProtocol, &C::mfIsdn, 1},
    {"-casr2", OptKind::kProtocol, &C::mfCasr2, 1},
    {"-sip", OptKind::kProtocol, &C::mfIp, 1},
    {"-ip", OptKind::kProtocol, &C::mfIp, 1},
    {"-cap", OptKind::kSet, &C::mfCapFormat, 1},
    {"-format", OptKind::kSet, &C::mfCapFormat, 0},
    {"-stdout", OptKind::kSet, &C::mfStdout, 1},
    {"-old", OptKind::kOld, nullptr, 0},
    {"-regroup", OptKind::kSet, &C::mfRegroup, 1},
    {"-single", OptKind::kSet, &C::mfRegroup, 0},
    {"-e", OptKind::kRunTime, nullptr, 0},
    {"-x", OptKind::kSet, &C::mfCasr2Extended, 1},
    {"-c", OptKind::kProtocol, nullptr, 0},
    {"-h248", OptKind::kProtocol, &C::mfH248, 1},
    {"-help", OptKind::kHelp, nullptr, 0},
    {"--help", OptKind::kHelp, nullptr, 0},
    {"-h", OptKind::kHelp, nullptr, 0},
    {"-?", OptKind::kHelp, nullptr, 0},
    {"/h", OptKind::kHelp, nullptr, 0},
    {"/?", OptKind::kHelp, nullptr, 0},
    {"?", OptKind::kHelp, nullptr, 0},
};

u32 C::*const kProtocolFlags[] = {&C::mfSs7, &C::mfIsdn, &C::mfCasr2, &C::mfIp, &C::mfH248};

constexpr const char* kHelpLines[] = {
    "   -ss7           Default ss7 trace activation",
    "   -isdn          Default isdn trace activation",
    "   -lapd          Default lapd trace activation",
    "   -casr2         Default casr2 trace activation",
    "   -ip            Default ip trace activation (sip and sigtran)",
    "   -cap           CAP format enabled",
    "   -format        Text format enabled (no cap file)",
    "   -old           Old ISDN CAP format enabled",
    "   -regroup       Regroup entity of same type",
    "   -single        Individual file for each entity",
    "   -e XXXX        Execution time in milliseconds",
    "   -x             Casr2 format eXtended (with call state)",
    "   -h248          Default h248 trace activation",
    "   -stdout        Output traces to standard output\n"
    "                  Examples:\n"
    "                  ssh root@gateway \"quellan -ss7 -stdout\" | wireshark -k -i -\n",
};

/* A whole unsigned 32-bit number: "0x" hexadecimal, leading "0" octal, else
 * decimal; no sign, no blank, no trailing character, no overflow. */
bool ParseWholeU32(const char* psz, u32* pun32) {
  std::string_view sv(psz);
  u32 un32Base = 10;
  if (sv.size() > 2 && sv[0] == '0' && sv[1] == 'x') {
    un32Base = 16;
    sv.remove_prefix(2);
  } else if (sv.size() > 1 && sv[0] == '0') {
    un32Base = 8;
    sv.remove_prefix(1);
  }
  if (sv.empty()) return false;
  u64 un64 = 0;
  for (char c : sv) {
    u32 d;
    if (c >= '0' && c <= '9') d = static_cast<u32>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<u32>(c - 'a' + 10);
    else return false;
    if (d >= un32Base) return false;
    un64 = un64 * un32Base + d;
    if (un64 > 0xFFFFFFFFull) return false;
  }
  *pun32 = static_cast<u32>(un64);
  return true;
}

/* One entry of a selection list against a name, case-blind. */
bool EntryMatches(std::string_view svEntry, const char* pszName) {
  const std::string strEntry(svEntry);
  return Stricmp(strEntry.c_str(), "ALL") == 0 || Stricmp(strEntry.c_str(), pszName) == 0;
}

}  // namespace

CVQSigTraceCfgCmdLine::CVQSigTraceCfgCmdLine() = default;

VQX_RESULT CVQSigTraceCfgCmdLine::ParseCmdLineArgs(int argc, char** argv) {
  try {
    if (argc < 2 || argv == nullptr)
      return VqcafReportFailure(kOperation, "No parameter to parse on the command line", VQX_RESULT_INVALID_PARAM,
                                kSource, __LINE__);
    (void)CVQCAFCfgCmdLine::ParseCmdLineArgs(argc, argv);

    bool fProtocolSeen = false;
    for (int i = 1; i < argc; i++) {
      if (argv[i] == nullptr) continue;
      std::string strArg(argv[i]);
      for (char& c : strArg) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      const TraceOption* pOpt = nullptr;
      for (const TraceOption& o : kOptions) {
        if (strArg == o.pszName) {
          pOpt = &o;
          break;
        }
      }
      if (pOpt == nullptr) continue;
      switch (pOpt->Kind) {
        case OptKind::kProtocol:
          if (!fProtocolSeen) {
            for (u32 C::*pf : kProtocolFlags) this->*pf = 0;
            fProtocolSeen = true;
          }
          if (pOpt->pfField != nullptr) this->*(pOpt->pfField) = pOpt->un32Value;
          break;
        case OptKind::kSet:
          this->*(pOpt->pfField) = pOpt->un32Value;
          break;
        case OptKind::kOld:
          mfCapFormat = 1;
          mfOldIsdnCap = 1;
          break;
        case OptKind::kRunTime:
          if (i + 1 >= argc || argv[i + 1] == nullptr) break;
          {
            std::string strValue(argv[i + 1]);
            for (char& c : strValue) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            if (!ParseWholeU32(strValue.c_str(), &mun32ExecTimeMs))
              return VqcafReportFailure(kOperation, "Invalid value for option '-e'", VQX_RESULT_INVALID_PARAM, kSource,
                                        __LINE__);
          }
          i++;
          break;
        case OptKind::kHelp:
          for (const char* psz : kHelpLines) LogTrace(VQMSG, psz[strlen(psz) - 1] == '\n' ? "%s" : "%s\n", psz);
          return VQX_RESULT_FAIL;
      }
    }

    mAdapterName.vqx_toupper(true);
    if (mfStdout == 0) return VQX_RESULT_OK;
    u32 un32Protocols = 0;
    for (u32 C::*pf : kProtocolFlags) un32Protocols += (this->*pf != 0);
    if (un32Protocols > 1)
      return VqcafReportFailure(kOperation,
                                  "Only one (1) protocol is allowed at a time when \"stdout\" mode is being used",
                                  VQX_RESULT_INVALID_PARAM, kSource, __LINE__);
    mfRegroup = 1;
    return VQX_RESULT_OK;
  }
  catch (...) {
    return VqcafReportCurrentException(kOperation, kSource, __LINE__);
  }
}

bool CVQSigTraceCfgCmdLine::IsAdapterSelected(const char* pszAdapterName) const {
  if (pszAdapterName == nullptr) return false;
  if (mAdapterList.empty()) return IsAdapterSelected(mAdapterName.c_str(), pszAdapterName);
  for (const CVQCAFString& str : mAdapterList) {
    if (EntryMatches(std::string_view(str.c_str(), str.GetLength()), pszAdapterName)) return true;
  }
  return false;
}

bool CVQSigTraceCfgCmdLine::IsAdapterSelected(const char* pszSelection, const char* pszAdapterName) {
  if (pszSelection == nullptr || pszAdapterName == nullptr) return false;
  std::string_view sv(pszSelection);
  while (true) {
    const size_t comma = sv.find(',');
    const std::string_view svEntry = sv.substr(0, comma);
    if (!svEntry.empty() && EntryMatches(svEntry, pszAdapterName)) return true;
    if (comma == std::string_view::npos) return false;
    sv.remove_prefix(comma + 1);
  }
}

}  // namespace VQCAF
