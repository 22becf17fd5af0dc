/*
 * sigtrace_test_support.cpp - see sigtrace_test_support.h.
 */
#include "support/sigtrace_test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace sigtest {

CScratchDir::CScratchDir() {
  char acTemplate[] = "/tmp/sigtrace_test_XXXXXX";
  const char* psz = mkdtemp(acTemplate);
  mstrPath = psz ? psz : "/tmp";
  char acOld[4096];
  mstrOld = getcwd(acOld, sizeof(acOld)) ? acOld : "/tmp";
  if (chdir(mstrPath.c_str()) != 0) abort();
}

CScratchDir::~CScratchDir() {
  if (chdir(mstrOld.c_str()) != 0) return;
  std::error_code ec;
  std::filesystem::remove_all(mstrPath, ec);
}

std::string ReadFile(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& strPath) { return std::filesystem::exists(strPath); }

std::vector<u8> FromHex(const char* pszHex) {
  std::vector<u8> v;
  int nHigh = -1;
  for (const char* p = pszHex; *p; ++p) {
    int n;
    if (*p >= '0' && *p <= '9') n = *p - '0';
    else if (*p >= 'a' && *p <= 'f') n = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F') n = *p - 'A' + 10;
    else continue;
    if (nHigh < 0) {
      nHigh = n;
    } else {
      v.push_back(static_cast<u8>(nHigh * 16 + n));
      nHigh = -1;
    }
  }
  return v;
}

std::string DataPath(const std::string& strName) {
  const char* pszDir = getenv("VQX_TEST_DATA");
  return std::string(pszDir ? pszDir : "tests/data") + "/" + strName;
}

std::string CompareGolden(const std::string& strName, const std::string& strActual) {
  const std::string strPath = DataPath(strName);
  const char* pszUpdate = getenv("VQX_UPDATE_GOLDEN");
  if (pszUpdate && strcmp(pszUpdate, "1") == 0) {
    std::ofstream(strPath, std::ios::binary) << strActual;
    return "";
  }
  if (!FileExists(strPath)) return "missing golden file " + strPath;
  const std::string strExpected = ReadFile(strPath);
  if (strExpected == strActual) return "";
  size_t i = 0;
  while (i < strExpected.size() && i < strActual.size() && strExpected[i] == strActual[i]) ++i;
  std::ostringstream ss;
  ss << strName << ": first difference at byte " << i << "\n--- expected from there:\n"
     << strExpected.substr(i, 120) << "\n--- actual from there:\n" << strActual.substr(i, 120);
  return ss.str();
}

VQCAF::SVQSigTraceTime FixedTime() {
  VQCAF::SVQSigTraceTime t;
  t.n64Seconds = 1772600767; /* 2026-03-04 05:06:07 UTC */
  t.un32Microseconds = 89123;
  t.n32ZoneOffset = 3600;
  return t;
}

}  // namespace sigtest
