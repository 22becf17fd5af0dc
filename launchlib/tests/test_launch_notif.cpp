/*
 * Launch library notifications and watchdog, driven by hand-made host
 * messages (the library has no host library here, so its operations are
 * not sent): host added and removed, ready and shutdown notifications,
 * length checks, attach, warnings and the kill line, locks.
 */
#include <signal.h>

#include <cstring>

#include "support/launch_fixture.h"

namespace {

struct Msg {
  VQX_MSG_HEADER Hdr{};
  u8 aPayload[512]{};
};

Msg HostAdded(u32 hHost, const char* pszHost, u32 un32Pid) {
  Msg M;
  M.Hdr.un32MsgId = VQX_MSG_ID_API_NOTIF_HOST_ADDED;
  _VQX_HOST_INFO I{};
  I.hAdapter = hHost;
  snprintf(I.szHostName, sizeof(I.szHostName), "%s", pszHost);
  I.un64UniqueHostId = (0x7F000001ull << 32) | un32Pid;
  memcpy(M.aPayload + VQX_NOTIF_OFFSET_INFO, &I, sizeof(I));
  return M;
}

Msg Notif(u32 un32Id, u32 hHost, u32 un32Word, u8 byWatch) {
  Msg M;
  M.Hdr.un32MsgId = un32Id;
  M.Hdr.hAdapter = hHost;
  memcpy(M.aPayload + VQX_LAUNCH_OFFSET_NUMBER, &un32Word, 4);
  M.aPayload[VQX_LAUNCH_OFFSET_WATCH] = byWatch;
  if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_REMOVED) memcpy(M.aPayload + VQX_NOTIF_OFFSET_HANDLE, &hHost, 4);
  return M;
}

class LaunchNotif : public LaunchTest {
 public:
  void Deliver(const Msg& M, u32 un32Len) {
    Locked([&] { VqxLaunchHandleMsg(mh, &M.Hdr, M.aPayload, un32Len); });
  }
  /* A sleeping child seen through its host library and ready. */
  u32 ReadyChild(u32 hHost, u8 byWatch) {
    const u32 un32Id = Spawn("sleep 30");
    const u32 un32Pid = static_cast<u32>(mh->Ctx[un32Id].Pid);
    Deliver(HostAdded(hHost, "localhost", un32Pid), 8 + sizeof(_VQX_HOST_INFO));
    EXPECT_TRUE(WaitEvent(un32Id, 3, true, 0));
    Deliver(Notif(VQX_LAUNCH_MSG_ID_NOTIF_READY, hHost, 1, byWatch), 48);
    EXPECT_TRUE(WaitEvent(un32Id, 4, true, 0));
    return un32Id;
  }
};

TEST_F(LaunchNotif, ShortAndUnknownMessagesAreDroppedWithALine) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  const u32 un32Id = Spawn("sleep 30");
  const u32 un32Pid = static_cast<u32>(mh->Ctx[un32Id].Pid);
  struct Row { const char* pszName; Msg M; u32 un32Len; const char* pszLine; };
  const Row aRows[] = {
      {"host added cut", HostAdded(0xCB000001, "localhost", un32Pid), 8 + 423, "short host notification (431 bytes)"},
      {"host removed cut", Notif(VQX_MSG_ID_API_NOTIF_HOST_REMOVED, 0xCB000001, 0, 0), 11, "(11 bytes)"},
      {"unknown id", Notif(0x08250099, 0xCB000001, 0, 0), 48, "LaunchLib thread: Invalid msg id=0x08250099"}};
  for (auto& R : aRows) {
    Deliver(R.M, R.un32Len);
    EXPECT_TRUE(HasLog(R.pszLine)) << R.pszName;
  }
  /* Another host's library, or a local one of another pid, is not ours. */
  Deliver(HostAdded(0xCB000002, "otherhost", un32Pid), 432);
  Deliver(HostAdded(0xCB000003, "localhost", un32Pid + 100000), 432);
  Deliver(HostAdded(0xCB000001, "localhost", un32Pid), 432);
  ASSERT_TRUE(WaitEvent(un32Id, 3, true, 0));
  EXPECT_EQ(mh->Ctx[un32Id].hHost, 0xCB000001u);
  const Row aShort[] = {
      {"ready cut", Notif(VQX_LAUNCH_MSG_ID_NOTIF_READY, 0xCB000001, 1, 1), 16, "short ready notification (16 bytes)"},
      {"shutdown cut", Notif(VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN, 0xCB000001, 5, 0), 15,
       "short shutdown notification (15 bytes)"}};
  for (auto& R : aShort) {
    Deliver(R.M, R.un32Len);
    EXPECT_TRUE(HasLog(R.pszLine)) << R.pszName;
  }
  EXPECT_EQ(mh->Ctx[un32Id].un32State, 3u) << "nothing taken from a short notification";
  EXPECT_EQ(VQXLaunchLibSendHeartbeat(mh, 0xCB000009), 0x82000017u);
  EXPECT_EQ(VQXLaunchLibSendHeartbeat(mh, 0xCB000001), VQX_RESULT_OK);
}

TEST_F(LaunchNotif, WatchdogWarnsTwiceThenKills) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  const u32 un32Id = ReadyChild(0xCB000001, 1);
  ASSERT_TRUE(WaitEvent(un32Id, 7, false, 3000));
  EXPECT_TRUE(HasLog("heart-beat silent for"));
  EXPECT_TRUE(HasLog("(1/2 of 400 ms)"));
  EXPECT_TRUE(HasLog("(3/4 of 400 ms)"));
  EXPECT_TRUE(HasLog("Error: Process tlaunch.sh heart-beat watchdog timeout expired ("));
  EXPECT_TRUE(HasLog("> 400 ms). Killing application NOW!\n"));
  EXPECT_EQ(Last(un32Id).Info.un32ExitStatus, 128u + SIGKILL);
}

TEST_F(LaunchNotif, UnwatchedAndLockedSurviveTheWatchdog) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  const u32 un32Unwatched = ReadyChild(0xCB000001, 0);
  const u32 un32Locked = ReadyChild(0xCB000002, 1);
  EXPECT_EQ(VQXLaunchLibLockApplication(mh, un32Locked, 1), VQX_RESULT_OK);
  const u32 un32Killed = ReadyChild(0xCB000003, 1);
  ASSERT_TRUE(WaitEvent(un32Killed, 7, false, 3000));
  EXPECT_EQ(mh->Ctx.count(un32Unwatched), 1u);
  EXPECT_EQ(mh->Ctx.count(un32Locked), 1u);
  EXPECT_FALSE(HasLog("tlaunch.sh heart-beat silent for 0"));
}

TEST_F(LaunchNotif, ShutdownAcknowledgedHostRemovedAndAttach) {
  ASSERT_EQ(Open([](auto& p) { p.fAttach = 1; }), VQX_RESULT_OK);
  const u32 un32Id = ReadyChild(0xCB000001, 0);
  /* A shutdown notification counts only while shutting down. */
  Deliver(Notif(VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN, 0xCB000001, 5, 0), 48);
  EXPECT_FALSE(WaitEvent(un32Id, 4, false, 0));
  EXPECT_EQ(VQXLaunchLibManagementShutdown(mh, un32Id), VQX_RESULT_OK);
  Deliver(Notif(VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN, 0xCB000001, 5, 0), 48);
  EXPECT_TRUE(WaitEvent(un32Id, 5, false, 0));
  Deliver(Notif(VQX_MSG_ID_API_NOTIF_HOST_REMOVED, 0xCB000001, 0, 0), 440);
  EXPECT_TRUE(WaitEvent(un32Id, 6, false, 0));
  EXPECT_EQ(mh->Ctx[un32Id].hHost, 0u) << "the host handle is forgotten";
  ASSERT_TRUE(WaitEvent(un32Id, 7, false)) << "killed after the heartbeat time in state 6";

  /* A local host library of a process not started here gets a context. */
  pid_t Pid = fork();
  if (Pid == 0) {
    pause();
    _exit(0);
  }
  Deliver(HostAdded(0xCB000005, "localhost", static_cast<u32>(Pid)), 432);
  u32 un32Attached = 0;
  for (auto& [k, C] : mh->Ctx)
    if (C.Pid == Pid) un32Attached = k;
  ASSERT_GT(un32Attached, un32Id) << "attached with a new id";
  EXPECT_TRUE(WaitEvent(un32Attached, 3, true, 0));
  Deliver(Notif(VQX_MSG_ID_API_NOTIF_HOST_REMOVED, 0xCB000005, 0, 0), 440);
  EXPECT_TRUE(WaitEvent(un32Attached, 6, false, 0));
  kill(Pid, SIGKILL);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  ASSERT_TRUE(WaitEvent(un32Attached, 7, false)) << "ends once its pid is gone";
}

}  // namespace
