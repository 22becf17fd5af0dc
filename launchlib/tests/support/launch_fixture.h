/*
 * launch_fixture.h - what the launch library's tests share: a library opened
 * with recording callbacks (log lines, ready and shutdown reports), bounded
 * waits on those records, and short-lived shell children.
 */
#ifndef LAUNCH_FIXTURE_H
#define LAUNCH_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>

#include "launchlib_internal.h"

struct LaunchEvent { bool fReady; _VQX_LAUNCH_LIB_PROCESS_INFO Info; };

class LaunchTest : public ::testing::Test {
 public:
  /* Kills and reaps the children still managed, then closes. */
  void TearDown() override;
  /* Opens with the recording callbacks; fields of Tune may be changed first. */
  VQX_RESULT Open(const std::function<void(_VQX_LAUNCH_LIB_PARAMS&)>& Tune = {});
  /* /bin/sh -c Script as a managed process; its id (0 on failure). */
  u32 Spawn(const char* pszScript, u8 fKillSingle = 0);
  /* Waits (at most un32Ms) until a report of that id and state came. */
  bool WaitEvent(u32 un32Id, u32 un32State, bool fReady, u32 un32Ms = 5000);
  bool HasLog(const char* pszPart);
  /* Exit status in the last report of that id. */
  u32 LastExit(u32 un32Id);

  _VQX_LAUNCH_LIB_PARAMS mParams{};
  VQX_LAUNCH_LIB_HANDLE mh = nullptr;
  std::mutex mMutex;
  std::condition_variable mCv;
  std::vector<std::string> mLog;
  std::vector<LaunchEvent> mEvents;
};

#endif
