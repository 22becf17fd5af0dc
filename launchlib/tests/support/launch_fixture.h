/*
 * launch_fixture.h - what the launch library's tests share: a library opened
 * with recording callbacks (log lines, ready and shutdown reports), bounded
 * waits on those records, and short-lived shell children.
 */
#ifndef LAUNCH_FIXTURE_H
#define LAUNCH_FIXTURE_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "launchlib_internal.h"

struct LaunchEvent {
  bool fReady;
  _VQX_LAUNCH_LIB_PROCESS_INFO Info;
};

class LaunchTest : public ::testing::Test {
 public:
  void TearDown() override;
  /* Opens with the recording callbacks; fields of Tune may be changed first. */
  VQX_RESULT Open(const std::function<void(_VQX_LAUNCH_LIB_PARAMS&)>& Tune = {});
  /* /bin/sh -c Script as a managed process; its id (0 on failure). */
  u32 Spawn(const char* pszScript, u8 fKillSingle = 0);
  /* Waits (at most un32Ms) until a report of that id and state came. */
  bool WaitEvent(u32 un32Id, u32 un32State, bool fReady, u32 un32Ms = 5000);
  bool HasLog(const char* pszPart);
  LaunchEvent Last(u32 un32Id);
  /* Runs f under the library mutex, then makes the queued callbacks. */
  void Locked(const std::function<void()>& f);

  static void Print(void* pv, u32 Level, const char*, const char* pszFormat, va_list Args);
  template <bool fReady>
  static void On(void* pv, VQX_LAUNCH_LIB_HANDLE, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
    auto* t = static_cast<LaunchTest*>(pv);
    std::lock_guard<std::mutex> L(t->mMutex);
    t->mEvents.push_back({fReady, *pInfo});
    t->mCv.notify_all();
  }

  _VQX_LAUNCH_LIB_PARAMS mParams{};
  VQX_LAUNCH_LIB_HANDLE mh = nullptr;
  std::mutex mMutex;
  std::condition_variable mCv;
  std::vector<std::string> mLog;
  std::vector<LaunchEvent> mEvents;
};

/* Pids of the live (not zombie) processes of the tree under Root. */
std::vector<pid_t> LiveTree(pid_t Root);
bool IsLiveProcess(pid_t Pid);

#endif
