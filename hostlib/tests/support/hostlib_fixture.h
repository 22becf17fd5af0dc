/*
 * hostlib_fixture.h - what the host library's tests share: default open
 * parameters, a captured error/trace log, and counts of this process's
 * threads and descriptors.
 */
#ifndef HOSTLIB_FIXTURE_H
#define HOSTLIB_FIXTURE_H

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "vqx_host.h"

/* Lines printed by a library through its error and trace callbacks. */
class CapturedLog {
 public:
  static void OnLine(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszLine);
  std::vector<std::string> Lines();
  /* Waits (bounded) until nLines lines containing pszText have been printed. */
  bool WaitFor(const char* pszText, unsigned uTimeoutMs = 3000, size_t nLines = 1);
  size_t Count(const char* pszText);
  void Clear();

 private:
  std::mutex mMutex;
  std::vector<std::string> mLines;
};

/* Parameters that open the library with no transport and every line captured. */
_VQX_LIB_PARAMS HostLibTestParams(CapturedLog* pLog);

/* Threads (/proc/self/task) and open descriptors (/proc/self/fd) of this process. */
size_t ProcessThreadCount();
size_t ProcessFdCount();

/* Opens a library in SetUp and closes it in TearDown. */
class HostLibTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  CapturedLog mLog;
  _VQX_LIB_PARAMS mParams{};
  VQX_LIB_HANDLE mhLib = nullptr;
};

#endif
