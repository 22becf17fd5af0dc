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

_VQX_FILTER_PARAMS FilterSet(u32 un32Mask, u32 un32Id, u32 hAdapter) {
  _VQX_FILTER_PARAMS set{};
  set.un32Version = 1;
  set.un32Mask = un32Mask;
  set.MsgId = un32Id;
  set.MsgGroup = un32Id >> 16;
  set.hAdapter = hAdapter;
  return set;
}

VQX_MSG_HANDLE HostLibTest::NewMsg(u32 un32Id, u32 hDest, u32 un32Payload, u32 MsgType) {
  VQX_MSG_HANDLE hMsg = nullptr;
  EXPECT_EQ(VQXGetMsg(mhLib, un32Payload, &hMsg), VQX_RESULT_API_OK);
  if (hMsg == nullptr) return nullptr;
  hMsg->un32MsgId = un32Id;
  hMsg->MsgType = MsgType;
  hMsg->hAdapter = hDest;
  hMsg->un32PayloadLength = un32Payload;
  return hMsg;
}

VQX_RESULT HostLibTest::Send(u32 un32Id, u32 hDest, u32 un32Payload, u32 MsgType, u64 un64Uc1) {
  VQX_MSG_HANDLE hMsg = NewMsg(un32Id, hDest, un32Payload, MsgType);
  if (hMsg == nullptr) return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  hMsg->un64UserContext1 = un64Uc1;
  const VQX_RESULT result = VQXSendMsgEx(mhLib, &hMsg, nullptr);
  EXPECT_EQ(hMsg, nullptr) << "the library owns a sent message";
  return result;
}

VQX_FILTER_HANDLE HostLibTest::Filter(std::initializer_list<_VQX_FILTER_PARAMS> sets) {
  std::vector<_VQX_FILTER_PARAMS> v(sets);
  VQX_FILTER_HANDLE h = nullptr;
  EXPECT_EQ(VQXCreateMsgFilterEx(mhLib, static_cast<u32>(v.size()), v.data(), &h), VQX_RESULT_API_OK);
  return h;
}

u32 HostLibTest::Drain(VQX_FILTER_HANDLE hFilter) {
  u32 n = 0;
  VQX_MSG_HANDLE hMsg = nullptr;
  while (n < 100000 && VQXReceiveMsg(mhLib, hFilter, 0, &hMsg) == VQX_RESULT_API_OK) {
    EXPECT_EQ(VQXReleaseMsgEx(mhLib, &hMsg), VQX_RESULT_OK);
    n++;
  }
  return n;
}
