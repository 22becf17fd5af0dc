/*
 * sigtrace_test_support.h - helpers shared by the trace group tests: a fresh
 * working directory per test, whole-file reads, golden-file comparison, and
 * a fixed clock.
 */
#ifndef SIGTRACE_TEST_SUPPORT_H
#define SIGTRACE_TEST_SUPPORT_H

#include <string>
#include <vector>

#include "sigtrace_clock.h"
#include "vqx_types.h"

namespace sigtest {

/* Makes a new empty directory under /tmp and enters it; leaves and removes
 * it (with its files) when destroyed. */
class CScratchDir {
 public:
  CScratchDir();
  ~CScratchDir();
  const std::string& Path() const { return mstrPath; }

 private:
  std::string mstrPath;
  std::string mstrOld;
};

std::string ReadFile(const std::string& strPath);
bool FileExists(const std::string& strPath);
std::vector<u8> FromHex(const char* pszHex);
std::string DataPath(const std::string& strName);
/* Compares strActual with the golden file; with VQX_UPDATE_GOLDEN=1 in the
 * environment, writes it instead (for review before committing). Returns an
 * empty string when equal, else a description of the first difference. */
std::string CompareGolden(const std::string& strName, const std::string& strActual);

/* 2026-03-04 05:06:07.089123 UTC, local zone +01:00. */
VQCAF::SVQSigTraceTime FixedTime();

}  // namespace sigtest

#endif
