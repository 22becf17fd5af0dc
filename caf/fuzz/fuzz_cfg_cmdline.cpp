/*
 * fuzz_cfg_cmdline.cpp - random argument vectors (split at NUL or newline)
 * through the framework command line. Checks: only the documented codes,
 * ports within 16 bits, adapter names without commas and never empty.
 */
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "vqcafcfgcmdline.h"

using namespace VQCAF;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  std::vector<std::string> aArgs{"app"};
  std::string strArg;
  for (size_t i = 0; i < size && aArgs.size() < 64; i++) {
    const char c = static_cast<char>(pbyData[i]);
    if (c == '\0' || c == '\n') {
      aArgs.push_back(strArg);
      strArg.clear();
    } else {
      strArg.push_back(c);
    }
  }
  if (!strArg.empty()) aArgs.push_back(strArg);
  std::vector<char*> argv;
  for (std::string& s : aArgs) argv.push_back(s.data());
  CVQCAFCfgCmdLine Cmd;
  const VQX_RESULT r = Cmd.ParseCmdLineArgs(static_cast<int>(argv.size()), argv.data());
  if (r != VQX_RESULT_OK && r != VQX_RESULT_FAIL && r != VQX_RESULT_INVALID_PARAM) abort();
  if (Cmd.mun32GwPort > 65535 || Cmd.mun32Port > 65535) abort();
  for (const CVQCAFString& a : Cmd.mAdapterList) {
    if (a.IsEmpty() || strchr(a.c_str(), ',') != nullptr) abort();
  }
  CVQCAFCfgCmdLine Copy;
  Copy = Cmd;
  if (!(Copy.mAppName == Cmd.mAppName) || Copy.mAdapterList.size() != Cmd.mAdapterList.size()) abort();
  return 0;
}
