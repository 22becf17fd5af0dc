/*
 * fuzz_cmdline.cpp - the trace command line over arbitrary argument lists:
 * the input split at NUL bytes into at most 64 arguments, each copied into a
 * block of exactly its size. Checks what any parse must leave: every flag 0
 * or 1, regrouping forced by "-stdout" when it succeeds, the adapter field
 * upper-cased, the caller's arguments unchanged.
 */
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sigtrace_cfg_cmdline.h"
#include "vqcafdiag.h"
#include "vqcaflog.h"

using namespace VQCAF;

namespace {
struct Quiet {
  Quiet() {
    VqcafSetDiagPrinter([](void*, u32, const char*) {}, nullptr);
    SetSubModTraceLevel(VQCAF_SUBMODULE_BASE, VQDIS);
  }
} s_Quiet;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t un64Size) {
  std::vector<std::string> aArgs{"quellan"};
  std::string strCur;
  for (size_t i = 0; i < un64Size && aArgs.size() < 64; i++) {
    if (pData[i] == 0) {
      aArgs.push_back(strCur);
      strCur.clear();
    } else {
      strCur.push_back(static_cast<char>(pData[i]));
    }
  }
  if (!strCur.empty() && aArgs.size() < 64) aArgs.push_back(strCur);
  std::vector<std::unique_ptr<char[]>> aBlocks;
  std::vector<char*> apsz;
  for (const std::string& s : aArgs) {
    aBlocks.emplace_back(new char[s.size() + 1]);
    memcpy(aBlocks.back().get(), s.c_str(), s.size() + 1);
    apsz.push_back(aBlocks.back().get());
  }
  CVQSigTraceCfgCmdLine C;
  C.mAdapterName = "ALL";
  const VQX_RESULT r = C.ParseCmdLineArgs(static_cast<int>(apsz.size()), apsz.data());
  const u32 aFlags[] = {C.mfSs7, C.mfIsdn, C.mfCasr2, C.mfIp, C.mfCapFormat, C.mfStdout,
                        C.mfOldIsdnCap, C.mfCasr2Extended, C.mfRegroup, C.mfH248};
  for (u32 f : aFlags)
    if (f > 1) abort();
  if (r == VQX_RESULT_OK && C.mfStdout && !C.mfRegroup) abort();
  if (r == VQX_RESULT_OK) {
    for (const char* p = C.mAdapterName.c_str(); *p; p++)
      if (islower(static_cast<unsigned char>(*p))) abort();
  }
  for (size_t i = 0; i < aArgs.size(); i++)
    if (aArgs[i] != apsz[i]) abort();
  (void)C.IsAdapterSelected(aArgs.back().c_str());
  (void)CVQSigTraceCfgCmdLine::IsAdapterSelected(aArgs.front().c_str(), aArgs.back().c_str());
  return 0;
}
