#include "support/launch_fixture.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

namespace {

void Print(void* pv, u32, const char*, const char* pszFormat, va_list Args) {
  auto* t = static_cast<LaunchTest*>(pv);
  char sz[512];
  vsnprintf(sz, sizeof(sz), pszFormat, Args);
  std::lock_guard<std::mutex> L(t->mMutex);
  t->mLog.push_back(sz);
}

template <bool fReady>
void On(void* pv, VQX_LAUNCH_LIB_HANDLE, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
  auto* t = static_cast<LaunchTest*>(pv);
  std::lock_guard<std::mutex> L(t->mMutex);
  t->mEvents.push_back({fReady, *pInfo});
  t->mCv.notify_all();
}

}  // namespace

void LaunchTest::TearDown() {
  if (mh == nullptr) return;
  std::vector<pid_t> aLeft;
  {
    std::lock_guard<std::recursive_mutex> L(mh->Mutex);
    for (auto& [k, C] : mh->Ctx)
      if (!C.fAttached && !C.fExited && C.Pid > 0) VqxLaunchKillTree(C.Pid, false), aLeft.push_back(C.Pid);
  }
  EXPECT_EQ(VQXLaunchLibClose(mh), VQX_RESULT_OK);
  for (pid_t Pid : aLeft) waitpid(Pid, nullptr, 0);
  mh = nullptr;
}

VQX_RESULT LaunchTest::Open(const std::function<void(_VQX_LAUNCH_LIB_PARAMS&)>& Tune) {
  mParams = {};
  snprintf(mParams.szName, sizeof(mParams.szName), "tlaunch");
  mParams.pFctPrint = Print, mParams.pFctLaunchProcessReady = On<true>, mParams.pFctLaunchProcessShutdown = On<false>;
  mParams.pvReadyContext = mParams.pvShutdownContext = mParams.pvPrintContext = this;
  mParams.un32MaxApplication = 8, mParams.fAppManager = 1;
  mParams.un32StartingTimeMs = mParams.un32HeartbeatTimeMs = mParams.un32MgmtShutdownTimeMs = 400;
  if (Tune) Tune(mParams);
  return VQXLaunchLibOpen(&mParams, &mh);
}

u32 LaunchTest::Spawn(const char* pszScript, u8 fKillSingle) {
  const std::string sParams = std::string("-c \"") + pszScript + "\"";
  _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
  C.pszPath = "/bin/sh", C.pszParams = sParams.c_str(), C.fKillSingleProcess = fKillSingle;
  u32 un32Id = 0;
  EXPECT_EQ(VQXLaunchLibCreateProcess(mh, &C, &un32Id), VQX_RESULT_OK) << pszScript;
  return un32Id;
}

bool LaunchTest::WaitEvent(u32 un32Id, u32 un32State, bool fReady, u32 un32Ms) {
  std::unique_lock<std::mutex> L(mMutex);
  return mCv.wait_for(L, std::chrono::milliseconds(un32Ms), [&] {
    for (auto& E : mEvents)
      if (E.Info.un32AppId == un32Id && E.Info.un32State == un32State && E.fReady == fReady) return true;
    return false;
  });
}

bool LaunchTest::HasLog(const char* pszPart) {
  std::lock_guard<std::mutex> L(mMutex);
  return std::any_of(mLog.begin(), mLog.end(),
                     [&](const std::string& s) { return s.find(pszPart) != std::string::npos; });
}

u32 LaunchTest::LastExit(u32 un32Id) {
  std::lock_guard<std::mutex> L(mMutex);
  for (auto It = mEvents.rbegin(); It != mEvents.rend(); ++It)
    if (It->Info.un32AppId == un32Id) return It->Info.un32ExitStatus;
  return ~0u;
}
