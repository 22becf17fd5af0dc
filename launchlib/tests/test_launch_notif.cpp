/*
 * Launch library notifications and watchdog, driven by hand-made host
 * messages (the library has no host library here, so its operations are
 * not sent): host added and removed, ready and shutdown notifications,
 * length checks, the watch byte; the bytes of the records and operations.
 */
#include <signal.h>

#include <cstring>
#include <fstream>

#include "support/launch_fixture.h"
#include "vqx_host_filter.h"

namespace {

struct Msg {
  VQX_MSG_HEADER Hdr{};
  u8 aPayload[512]{};
};

/* A notification from hHost: the word at 12 and the watch byte, or for the
 * host notifications the handle and (added) a host record naming the pid. */
Msg Notif(u32 un32Id, u32 hHost, u32 un32Word, u8 byWatch = 0, const char* pszHost = "localhost") {
  Msg M;
  M.Hdr.un32MsgId = un32Id, M.Hdr.hAdapter = hHost;
  memcpy(M.aPayload + VQX_LAUNCH_OFFSET_NUMBER, &un32Word, 4);
  M.aPayload[VQX_LAUNCH_OFFSET_WATCH] = byWatch;
  _VQX_HOST_INFO I{};
  I.hAdapter = hHost, I.un64UniqueHostId = (0x7F000001ull << 32) | un32Word;
  snprintf(I.szHostName, sizeof(I.szHostName), "%s", pszHost);
  if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_ADDED) memcpy(M.aPayload + VQX_NOTIF_OFFSET_INFO, &I, sizeof(I));
  if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_REMOVED) memcpy(M.aPayload + VQX_NOTIF_OFFSET_HANDLE, &hHost, 4);
  return M;
}
constexpr u32 kAdded = VQX_MSG_ID_API_NOTIF_HOST_ADDED, kRemoved = VQX_MSG_ID_API_NOTIF_HOST_REMOVED;
constexpr u32 kReady = VQX_LAUNCH_MSG_ID_NOTIF_READY, kDown = VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN;

class LaunchNotif : public LaunchTest {
 public:
  void SetUp() override { ASSERT_EQ(Open(), VQX_RESULT_OK); }
  /* Handled under the library mutex, then the queued callbacks are made. */
  void Deliver(const Msg& M, u32 un32Len) {
    std::unique_lock<std::recursive_mutex> L(mh->Mutex);
    VqxLaunchHandleMsg(mh, &M.Hdr, M.aPayload, un32Len);
    VqxLaunchFlush(mh, L);
  }
  /* A sleeping child seen through its host library and ready. */
  u32 ReadyChild(u32 hHost, u8 byWatch) {
    const u32 un32Id = Spawn("sleep 30");
    const u32 un32Pid = static_cast<u32>(mh->Ctx[un32Id].Pid);
    Deliver(Notif(kAdded, hHost, un32Pid), 8 + sizeof(_VQX_HOST_INFO));
    EXPECT_TRUE(WaitEvent(un32Id, 3, true, 0));
    Deliver(Notif(kReady, hHost, 1, byWatch), 48);
    EXPECT_TRUE(WaitEvent(un32Id, 4, true, 0));
    return un32Id;
  }
};

TEST_F(LaunchNotif, ShortAndUnknownMessagesAreDroppedWithALine) {
  const u32 un32Id = Spawn("sleep 30");
  const u32 un32Pid = static_cast<u32>(mh->Ctx[un32Id].Pid);
  /* Rows without a line are not refused: another host's library or a local one
   * of another pid is not ours, the last host added is. */
  struct Row { const char* pszName; Msg M; u32 un32Len; const char* pszLine; };
  const Row aRows[] = {
      {"host added cut", Notif(kAdded, 0xCB000001, un32Pid), 8 + 423, "short host notification (431 bytes)"},
      {"host removed cut", Notif(kRemoved, 0xCB000001, 0), 11, "(11 bytes)"},
      {"unknown id", Notif(0x08250099, 0xCB000001, 0), 48, "LaunchLib thread: Invalid msg id=0x08250099"},
      {"other host", Notif(kAdded, 0xCB000002, un32Pid, 0, "otherhost"), 432, nullptr},
      {"other pid", Notif(kAdded, 0xCB000003, un32Pid + 100000), 432, nullptr},
      {"ours", Notif(kAdded, 0xCB000001, un32Pid), 432, nullptr},
      {"ready cut", Notif(kReady, 0xCB000001, 1, 1), 16, "short ready notification (16 bytes)"},
      {"shutdown cut", Notif(kDown, 0xCB000001, 5, 0), 15, "short shutdown notification (15 bytes)"}};
  for (auto& R : aRows) {
    Deliver(R.M, R.un32Len);
    EXPECT_TRUE(R.pszLine == nullptr || HasLog(R.pszLine)) << R.pszName;
  }
  EXPECT_EQ(mh->Ctx[un32Id].hHost, 0xCB000001u);
  EXPECT_EQ(mh->Ctx[un32Id].un32State, 3u) << "nothing taken from a short notification";
  EXPECT_EQ(VQXLaunchLibSendHeartbeat(mh, 0xCB000009), 0x82000017u);
}

/* The warnings, the kill line and a locked process: end to end in caf's test_service_alm_it. */
TEST_F(LaunchNotif, WatchdogKillsOnlyAWatchedProcess) {
  const u32 un32Unwatched = ReadyChild(0xCB000001, 0);
  const u32 un32Id = ReadyChild(0xCB000003, 1);
  ASSERT_TRUE(WaitEvent(un32Id, 7, false, 3000));
  EXPECT_TRUE(HasLog("Error: Process tlaunch.sh heart-beat watchdog timeout expired ("));
  EXPECT_EQ(LastExit(un32Id), 128u + SIGKILL);
  EXPECT_EQ(mh->Ctx.count(un32Unwatched), 1u) << "without the watch byte it is never killed";
}

TEST_F(LaunchNotif, ShutdownAcknowledgedThenHostRemoved) {
  const u32 un32Id = ReadyChild(0xCB000001, 0);
  /* A shutdown notification counts only while shutting down. */
  Deliver(Notif(kDown, 0xCB000001, 5, 0), 48);
  EXPECT_FALSE(WaitEvent(un32Id, 4, false, 0));
  EXPECT_EQ(VQXLaunchLibManagementShutdown(mh, un32Id), VQX_RESULT_OK);
  Deliver(Notif(kDown, 0xCB000001, 5, 0), 48);
  EXPECT_TRUE(WaitEvent(un32Id, 5, false, 0));
  Deliver(Notif(kRemoved, 0xCB000001, 0), 440);
  EXPECT_TRUE(WaitEvent(un32Id, 6, false, 0));
  EXPECT_EQ(mh->Ctx[un32Id].hHost, 0u) << "the host handle is forgotten";
  ASSERT_TRUE(WaitEvent(un32Id, 7, false)) << "killed after the heartbeat time in state 6";
}

/* Records and operations as bytes, checked by testing/golden/launchlib/launch_golden.py;
 * the operations go to this process's own host library and are read back. */
TEST_F(LaunchTest, RecordsAndOperationsMatchTheIndependentDecoder) {
  const std::string sDir = ::testing::TempDir();
  auto Save = [&](const char* pszName, const void* pv, size_t n) {
    std::ofstream(sDir + "/" + pszName, std::ios::binary).write(static_cast<const char*>(pv), static_cast<long>(n));
  };
  _VQX_LIB_PARAMS Lp{};
  Lp.un32StructVersion = 1, Lp.un32TransportType = 1, Lp.fAdaptersGwOff = 1;
  VQX_LIB_HANDLE hLib = nullptr;
  ASSERT_EQ(VQXOpenLib(&Lp, &hLib), VQX_RESULT_API_OK);
  _VQX_FILTER_PARAMS F{1, VQX_FILTER_MASK_MSG_GROUP, 0, 0, 0, 0x0825, 0, 0, 0, 0};
  VQX_FILTER_HANDLE hFilter = nullptr;
  ASSERT_EQ(VQXCreateMsgFilterEx(hLib, 1, &F, &hFilter), VQX_RESULT_API_OK);
  ASSERT_EQ(Open([&](auto& p) { p.hLib = hLib, p.fAppManager = 0; }), VQX_RESULT_OK);
  VqxLaunchCtx C;
  C.hHost = VQX_HOSTLIB_ADAPTER_HANDLE, C.un32State = VQX_LAUNCH_STATE_MGMT_SHUTDOWN, mh->Ctx[9] = C;
  EXPECT_EQ(VqxLaunchSendOp(mh, C, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT), VQX_RESULT_INVALID_STATE) << "shutting down";
  EXPECT_EQ(VQXLaunchLibSendHeartbeat(mh, C.hHost), VQX_RESULT_OK);
  EXPECT_EQ(mh->Ctx[9].un32HbCounter + C.un32HbCounter, 0u) << "no heartbeat sent while shutting down";
  mh->Ctx.erase(9);
  const std::pair<const char*, const char*> aOps[] = {{"hb_plain.bin", ""}, {"hb_params.bin", "-a \"b c\""},
                                                      {"op_shutdown.bin", nullptr}};
  for (auto& [pszFile, pszParams] : aOps) {
    C.sParams = pszParams != nullptr ? pszParams : "";
    C.un32State = pszParams != nullptr ? VQX_LAUNCH_STATE_READY : VQX_LAUNCH_STATE_SHUTDOWN;
    const u32 un32Id = pszParams != nullptr ? VQX_LAUNCH_MSG_ID_OP_HEARTBEAT : VQX_LAUNCH_MSG_ID_OP_SHUTDOWN;
    ASSERT_FALSE(VQX_RESULT_FAILED(VqxLaunchSendOp(mh, C, un32Id))) << pszFile;
    VQX_MSG_HANDLE h = nullptr;
    ASSERT_FALSE(VQX_RESULT_FAILED(VQXReceiveMsg(hLib, hFilter, 2000, &h))) << pszFile;
    EXPECT_EQ(std::make_pair(h->un32MsgId, h->MsgType), std::make_pair(un32Id, static_cast<u32>(VQX_MSG_TYPE_EVENT)));
    Save(pszFile, VQXMsgPayload(h), h->un32PayloadLength);
    VQXReleaseMsgEx(hLib, &h);
  }
  _VQX_LAUNCH_LIB_PARAMS P{};
  snprintf(P.szName, sizeof(P.szName), "golden");
  P.un32MinLevel = 0x11111111, P.un32MaxApplication = 0x22222222, P.fAppManager = 0x33, P.fAttach = 0x44;
  P.un32StartingTimeMs = 0x55555555, P.un32MgmtShutdownTimeMs = 0x66666666, P.un32HeartbeatTimeMs = 0x77777777;
  _VQX_LAUNCH_LIB_PROCESS_INFO I{1, 2, 3, 4, 5, {}, 6};
  Save("params.bin", &P, sizeof(P));
  Save("info.bin", &I, sizeof(I));
  const std::string sTool = std::string(getenv("VQX_SOURCE_DIR")) + "/testing/golden/launchlib/launch_golden.py";
  const std::string sFiles = " hb_plain.bin hb_params.bin op_shutdown.bin params.bin info.bin";
  EXPECT_EQ(system(("python3 " + sTool + " check " + sDir + sFiles).c_str()), 0);
  VQXLaunchLibClose(mh);
  mh = nullptr;
  VQXDestroyMsgFilterEx(hLib, &hFilter);
  VQXCloseLibEx(&hLib);
}

}  // namespace
