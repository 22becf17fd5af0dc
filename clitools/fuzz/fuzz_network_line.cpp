/*
 * fuzz_network_line.cpp - lines of the configuration file, one input split
 * at newlines, through the parser and the copy into library parameters.
 * The records must stay terminated and within their counts.
 */
#include <string.h>

#include <cstdlib>
#include <string>

#include "vqx_clitools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  _VQX_CLI_TOOLS_NETWORK_CONFIG net{};
  _VQX_CLI_TOOLS_ANY_CONFIG any{};
  any.un32Section = VQX_CLI_TOOLS_SECTION_NETWORK;
  char szError[VQX_CLI_TOOLS_ERROR_TEXT_SIZE];
  std::string s(reinterpret_cast<const char*>(pbyData), size);
  size_t b = 0;
  while (b <= s.size()) {
    size_t e = s.find('\n', b);
    if (e == std::string::npos) e = s.size();
    const std::string line = s.substr(b, e - b);
    VqxCliToolsAnyConfigParseLine(line.c_str(), &net, &any, szError);
    b = e + 1;
  }
  if (net.un32NbExtraGwAddr > VQX_CLI_TOOLS_MAX_EXTRA_GW_ADDR || net.un32NbExtraGwPorts > 16 ||
      any.un32NbCliLines > VQX_CLI_TOOLS_MAX_CLI_LINES || any.un32NbLogLines > VQX_CLI_TOOLS_MAX_LOG_LINES ||
      memchr(net.szApplicationName, 0, sizeof(net.szApplicationName)) == nullptr ||
      memchr(net.szGwAddress0, 0, sizeof(net.szGwAddress0)) == nullptr)
    abort();
  _VQX_LIB_PARAMS lib{};
  VqxCliToolsNetworkConfigCopyToVqxLibParams(&net, &lib);
  return 0;
}
