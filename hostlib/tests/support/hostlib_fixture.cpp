/*
 * hostlib_fixture.cpp - shared helpers of the host library's tests.
 */
#include "support/hostlib_fixture.h"

#include <dirent.h>
#include <string.h>

#include <chrono>
#include <thread>

void CapturedLog::OnLine(void* pvContext, VQX_LIB_HANDLE, const char* pszLine) {
  CapturedLog* pLog = static_cast<CapturedLog*>(pvContext);
  std::lock_guard<std::mutex> guard(pLog->mMutex);
  pLog->mLines.emplace_back(pszLine);
}

std::vector<std::string> CapturedLog::Lines() {
  std::lock_guard<std::mutex> guard(mMutex);
  return mLines;
}

size_t CapturedLog::Count(const char* pszText) {
  std::lock_guard<std::mutex> guard(mMutex);
  size_t n = 0;
  for (const std::string& line : mLines) n += line.find(pszText) != std::string::npos;
  return n;
}

bool CapturedLog::WaitFor(const char* pszText, unsigned uTimeoutMs, size_t nLines) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(uTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Count(pszText) >= nLines) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Count(pszText) >= nLines;
}

void CapturedLog::Clear() {
  std::lock_guard<std::mutex> guard(mMutex);
  mLines.clear();
}

_VQX_LIB_PARAMS HostLibTestParams(CapturedLog* pLog) {
  _VQX_LIB_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.un32StructVersion = 1;
  params.un32TransportType = 1;
  params.fAdaptersGwOff = 1;
  params.un32TraceLevel = 0;
  if (pLog != nullptr) {
    params.pFctErrorCallback = CapturedLog::OnLine;
    params.pvErrorContext = pLog;
    params.pFctTraceCallback = CapturedLog::OnLine;
    params.pvTraceContext = pLog;
  }
  return params;
}

static size_t CountDirEntries(const char* pszPath) {
  size_t n = 0;
  DIR* pDir = opendir(pszPath);
  if (pDir == nullptr) return 0;
  while (dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] != '.') n++;
  }
  closedir(pDir);
  return n;
}

size_t ProcessThreadCount() { return CountDirEntries("/proc/self/task"); }
/* The directory stream itself holds one descriptor while it is read. */
size_t ProcessFdCount() { return CountDirEntries("/proc/self/fd") - 1; }

void HostLibTest::SetUp() {
  mParams = HostLibTestParams(&mLog);
  ASSERT_EQ(VQXOpenLib(&mParams, &mhLib), VQX_RESULT_API_OK);
  ASSERT_NE(mhLib, nullptr);
}

void HostLibTest::TearDown() {
  if (mhLib != nullptr) {
    EXPECT_EQ(VQXCloseLibEx(&mhLib), VQX_RESULT_API_OK);
  }
}

