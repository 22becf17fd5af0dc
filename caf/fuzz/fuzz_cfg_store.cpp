/*
 * fuzz_cfg_store.cpp - random documents and paths through the XML store.
 * Input: a document, then after a line "%%" one path per line. Checks: a
 * text is never cut (read whole or refused with the buffer empty), counts
 * agree with the line numbers found, a number is read exactly when strtoull
 * takes the whole text (blanks around it aside) and it fits 32 bits.
 */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "vqcafcfgfile.h"

using namespace VQCAF;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t size) {
  const std::string s(reinterpret_cast<const char*>(pbyData), size);
  const size_t sep = s.find("\n%%\n");
  const std::string strFile = "/tmp/fuzz_cfg_store_" + std::to_string(getpid()) + ".xml";
  std::ofstream(strFile, std::ios::binary) << s.substr(0, sep);
  CVQCAFCfgFileXml Store(strFile.c_str());
  if (Store.Open() != VQX_RESULT_OK) return 0;
  std::string strPaths = sep == std::string::npos ? ":a\nq:[0]:b" : s.substr(sep + 4);
  for (size_t b = 0, n = 0; b <= strPaths.size() && n < 16; n++) {
    size_t e = strPaths.find('\n', b);
    if (e == std::string::npos) e = strPaths.size();
    const std::string strPath = strPaths.substr(b, e - b);
    b = e + 1;
    const size_t c = strPath.find(' ');  // "path field"
    const std::string strNode = strPath.substr(0, c);
    char* pszField = const_cast<char*>(c == std::string::npos ? "a" : strPath.c_str() + c + 1);
    u32 un32Count = 0, un32Line = 0;
    if (Store.GetCount(strNode.c_str(), &un32Count) != VQX_RESULT_OK) abort();
    for (u32 i = 0; i <= un32Count && i < 4; i++) {
      const VQX_RESULT r = Store.GetLineNumber(strNode.c_str(), i, nullptr, &un32Line);
      if ((i < un32Count) != (r == VQX_RESULT_OK) || (r == VQX_RESULT_OK && un32Line == 0)) abort();
      char szSmall[8], szBig[VQCAF_CFG_VALUE_SIZE];
      const VQX_RESULT rSmall = Store.Get(strNode.c_str(), i, pszField, sizeof(szSmall), szSmall);
      const VQX_RESULT rBig = Store.Get(strNode.c_str(), i, pszField, sizeof(szBig), szBig);
      if (rSmall == VQX_RESULT_OK && (rBig != VQX_RESULT_OK || strcmp(szSmall, szBig) != 0)) abort();
      if (rSmall != VQX_RESULT_OK && szSmall[0] != '\0') abort();
      if (rSmall == VQX_RESULT_BUFFER_TOO_SMALL && rBig == VQX_RESULT_OK && strlen(szBig) < sizeof(szSmall)) abort();
      u32 un32 = 7;
      const VQX_RESULT rNum = Store.Get(strNode.c_str(), i, pszField, &un32);
      const auto IsBlank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; };
      const char* p = szBig;
      while (IsBlank(*p)) p++;
      if (rBig == VQX_RESULT_OK && *p >= '0' && *p <= '9') {
        char* pEnd = nullptr;
        const unsigned long long v = strtoull(p, &pEnd, 0);
        while (IsBlank(*pEnd)) pEnd++;
        const bool fNumber = *pEnd == '\0' && v <= 0xFFFFFFFFull;
        if ((rNum == VQX_RESULT_OK) != fNumber || (rNum == VQX_RESULT_OK && un32 != v)) abort();
      } else if (rBig == VQX_RESULT_OK && rNum == VQX_RESULT_OK) {
        abort(); /* a text that does not begin with a digit is no number */
      }
      u8 by = 7;
      Store.Get(strNode.c_str(), i, pszField, &by);
      if (by > 1) abort();
    }
  }
  unlink(strFile.c_str());
  return 0;
}
