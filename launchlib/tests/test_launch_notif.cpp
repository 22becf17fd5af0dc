/*
 * Launch library notifications and watchdog, driven by hand-made host
 * messages (the library has no host library here, so its operations are
 * not sent): host added and removed, ready and shutdown notifications,
 * length checks, the watch byte; the bytes of the records and operations.
 */
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "peers/child_process.h"
#include "support/launch_fixture.h"
#include "vqx_clock.h"
#include "vqx_host_filter.h"

namespace {

struct Msg {
  VQX_MSG_HEADER Hdr{};
  u8 aPayload[512]{};
};

/* A notification from hHost: the word at 12 and the watch byte, or for the
 * host notifications the handle and (added) a host record naming the pid. */
Msg Notif(u32 un32Id, u32 hHost, u32 un32Word, u8 byWatch = 0, const char* pszHost = "localhost",
          const char* pszAddr = "127.0.0.1") {
  Msg M;
  M.Hdr.un32MsgId = un32Id, M.Hdr.hAdapter = hHost;
  memcpy(M.aPayload + VQX_LAUNCH_OFFSET_NUMBER, &un32Word, 4);
  M.aPayload[VQX_LAUNCH_OFFSET_WATCH] = byWatch;
  _VQX_HOST_INFO I{};
  I.hAdapter = hHost, I.un64UniqueHostId = (0x7F000001ull << 32) | un32Word;
  snprintf(I.szHostName, sizeof(I.szHostName), "%s", pszHost);
  snprintf(I.szIpAddress0, sizeof(I.szIpAddress0), "%s", pszAddr);
  if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_ADDED) memcpy(M.aPayload + VQX_NOTIF_OFFSET_INFO, &I, sizeof(I));
  if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_REMOVED) memcpy(M.aPayload + VQX_NOTIF_OFFSET_HANDLE, &hHost, 4);
  return M;
}
constexpr u32 kAdded = VQX_MSG_ID_API_NOTIF_HOST_ADDED, kRemoved = VQX_MSG_ID_API_NOTIF_HOST_REMOVED;
constexpr u32 kReady = VQX_LAUNCH_MSG_ID_NOTIF_READY, kDown = VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN;

/* No host library here, so no links: a claimed pid is taken as the one holding them (the check itself runs
 * in test_launch_attach_it against a stand-in peer). */
bool HoldsAnyLink(_VQX_LAUNCH_LIB*, u32, pid_t) { return true; }

class LaunchNotif : public LaunchTest {
 public:
  void SetUp() override {
    ASSERT_EQ(Open(), VQX_RESULT_OK);
    mh->pfnHoldsHostLink = HoldsAnyLink;
  }
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

/* Attach on: a host that names us is attached only from this machine and only
 * for a live process that is not pid 1, this process or one of its parents. */
class LaunchAttach : public LaunchNotif {
 public:
  void SetUp() override {
    ASSERT_EQ(Open([](auto& p) { p.fAttach = 1; }), VQX_RESULT_OK);
    mh->pfnHoldsHostLink = HoldsAnyLink;
  }
  /* Still running (reaped, and forgotten, once it has ended). */
  static bool Alive(peerproc::CChild& Child) {
    if (Child.mPid > 0 && waitpid(Child.mPid, nullptr, WNOHANG) == Child.mPid) Child.mPid = -1;
    return Child.mPid > 0;
  }
};

TEST_F(LaunchAttach, OnlyALocalLiveStrangerIsAttachedAndKilledWhileItIsThatProcess) {
  peerproc::CChild Stranger({"sleep", "30"}, false);
  const u32 un32Stranger = static_cast<u32>(Stranger.mPid);
  u32 un32OurThread = 0; /* the library's own thread: its id names this whole process to kill() */
  for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/task"))
    if (const u32 un32Tid = static_cast<u32>(std::stoul(Entry.path().filename().string())); un32Tid != u32(getpid()))
      un32OurThread = un32Tid;
  ASSERT_NE(un32OurThread, 0u);
  struct Row { const char* pszName; const char* pszAddr; u32 un32Pid; const char* pszLine; };
  const Row aRows[] = {
      {"address not ours", "198.51.100.7", un32Stranger, "(pid %u) at 198.51.100.7/ is not on this machine: ignored"},
      {"no address", "", un32Stranger, "(pid %u) at / is not on this machine: ignored"},
      {"pid 1", "127.0.0.1", 1, "pid %u not attached: pid 1"},
      {"this process", "127.0.0.1", static_cast<u32>(getpid()), "pid %u not attached: this process"},
      {"our thread", "127.0.0.1", un32OurThread, "pid %u not attached: a thread of this process"},
      {"no such pid", "127.0.0.1", 0x7FFFFFF0, "pid %u not attached: no such process"},
      {"negative pid", "127.0.0.1", 0xFFFFFFFF, "pid %u not attached: no such process"}};
  u32 hHost = 0xCB000010;
  for (const Row& R : aRows) {
    Deliver(Notif(kAdded, ++hHost, R.un32Pid, 0, "localhost", R.pszAddr), 432);
    char szLine[160];
    snprintf(szLine, sizeof(szLine), R.pszLine, R.un32Pid);
    EXPECT_TRUE(HasLog(szLine)) << R.pszName;
    {
      /* A context wrongly made is dropped before its host leaves: only a leaving host's process is killed, and
       * these rows name processes this test did not make (pid 1, this one). */
      std::lock_guard<std::recursive_mutex> L(mh->Mutex);
      EXPECT_TRUE(mh->Ctx.empty()) << R.pszName;
      mh->Ctx.clear();
    }
    Deliver(Notif(kRemoved, hHost, 0), 440);
  }
  /* Past the heartbeat time nothing was killed. */
  EXPECT_FALSE(WaitEvent(1, 7, false, 600));
  EXPECT_TRUE(Alive(Stranger));

  /* Attached from loopback and watched; then its pid names another process (its start time
   * differs): the watchdog kills nothing, says why and ends the context. */
  Deliver(Notif(kAdded, 0xCB000020, un32Stranger), 432);
  ASSERT_TRUE(WaitEvent(1, 3, true, 0));
  /* A full table (room for one here) refuses another live stranger and keeps its size. */
  peerproc::CChild Other({"sleep", "30"}, false);
  {
    std::lock_guard<std::recursive_mutex> L(mh->Mutex);
    mh->Params.un32MaxApplication = 1;
  }
  Deliver(Notif(kAdded, 0xCB000022, static_cast<u32>(Other.mPid)), 432);
  EXPECT_TRUE(HasLog("No more context available"));
  {
    std::lock_guard<std::recursive_mutex> L(mh->Mutex);
    EXPECT_EQ(mh->Ctx.size(), 1u) << "a full table overrun";
    mh->Params.un32MaxApplication = 8;
  }
  Deliver(Notif(kReady, 0xCB000020, 1, 1), 48);
  {
    std::lock_guard<std::recursive_mutex> L(mh->Mutex);
    ASSERT_EQ(mh->Ctx.count(1), 1u);
    EXPECT_NE(mh->Ctx[1].un64Start, 0u);
    mh->Ctx[1].un64Start += 1;
  }
  EXPECT_TRUE(WaitEvent(1, 7, false, 3000));
  EXPECT_TRUE(HasLog("(AppId=1) not killed: the attached process has ended (pid free or reused)"));
  EXPECT_TRUE(Alive(Stranger));

  /* The same process attached again is still killed with its tree once its host is gone. */
  Deliver(Notif(kAdded, 0xCB000021, un32Stranger), 432);
  ASSERT_TRUE(WaitEvent(2, 3, true, 0));
  Deliver(Notif(kRemoved, 0xCB000021, 0), 440);
  EXPECT_TRUE(peerwait::WaitUntil([&] { return !Alive(Stranger); }, 3000));
  EXPECT_TRUE(WaitEvent(2, 7, false, 3000)) << "its end seen once its parent (this test) reaped it";
  if (Stranger.mPid > 0) kill(Stranger.mPid, SIGKILL);
}

/* The refusal of an ancestor, run where a broken check can harm only what the test made: two throwaway
 * processes (their own process group), the lower one's child running a launch library of its own (no thread,
 * a hand-stepped clock) that is told a local host names its ancestor nUp levels up, which then leaves; past the
 * heartbeat time the task runs, which would kill an attached ancestor with its tree. The child writes its log
 * lines to a pipe. Returns them, and whether both throwaway processes ended by themselves. */
std::atomic<u64> s_un64AncestorNow{0};
std::pair<std::string, bool> AttachAncestorInThrowawayChain(int nUp) {
  int aFd[2];
  if (pipe2(aFd, O_CLOEXEC) != 0) return {"no pipe", false};
  const pid_t Top = fork();
  if (Top == 0) {
    setpgid(0, 0);
    const pid_t TopPid = getpid();
    const pid_t Middle = fork();
    if (Middle == 0) {
      const pid_t Runner = fork();
      if (Runner == 0) {
        close(aFd[0]);
        const pid_t Named = nUp == 1 ? getppid() : TopPid;
        _VQX_LAUNCH_LIB_PARAMS P{};
        P.pFctPrint = [](void* pv, u32, const char*, const char* pszFormat, va_list Args) {
          char sz[512];
          const int n = vsnprintf(sz, sizeof(sz), pszFormat, Args);
          if (n > 0) (void)!write(*static_cast<int*>(pv), sz, std::min<size_t>(size_t(n), sizeof(sz) - 1));
        };
        P.pvPrintContext = &aFd[1];
        P.un32MaxApplication = 2, P.fAttach = 1;
        P.un32StartingTimeMs = P.un32HeartbeatTimeMs = P.un32MgmtShutdownTimeMs = 400;
        VQX_LAUNCH_LIB_HANDLE h = nullptr;
        if (VQXLaunchLibOpen(&P, &h) != VQX_RESULT_OK) _exit(2);
        h->pfnHoldsHostLink = HoldsAnyLink;
        VqxClockSetSource([] { return s_un64AncestorNow.load(); });
        s_un64AncestorNow = 1000000;
        {
          std::unique_lock<std::recursive_mutex> L(h->Mutex);
          const Msg Added = Notif(kAdded, 0xCB000030, static_cast<u32>(Named)), Gone = Notif(kRemoved, 0xCB000030, 0);
          VqxLaunchHandleMsg(h, &Added.Hdr, Added.aPayload, 432);
          VqxLaunchHandleMsg(h, &Gone.Hdr, Gone.aPayload, 440);
          s_un64AncestorNow += 1000;
          VqxLaunchPeriodic(h);
          VqxLaunchFlush(h, L);
        }
        VQXLaunchLibClose(h);
        _exit(0);
      }
      int nStatus = 0;
      _exit(waitpid(Runner, &nStatus, 0) == Runner && WIFEXITED(nStatus) ? 0 : 3);
    }
    int nStatus = 0;
    _exit(waitpid(Middle, &nStatus, 0) == Middle && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? 0 : 3);
  }
  close(aFd[1]);
  if (Top < 0) {
    close(aFd[0]);
    return {"no fork", false};
  }
  setpgid(Top, Top);  /* as the child does itself: the group exists whichever runs first */
  std::string sLog;
  char ach[512];
  pollfd Poll{aFd[0], POLLIN, 0};
  for (int nRound = 0; nRound < 100 && poll(&Poll, 1, 100) >= 0;) {  /* 10 s at most without output */
    if (Poll.revents == 0) {
      ++nRound;
      continue;
    }
    const ssize_t n = read(aFd[0], ach, sizeof(ach));
    if (n <= 0) break;
    sLog.append(ach, static_cast<size_t>(n));
  }
  close(aFd[0]);
  int nStatus = 0;
  if (!peerwait::WaitUntil([&] { return waitpid(Top, &nStatus, WNOHANG) == Top; }, 5000)) {
    kill(-Top, SIGKILL);  /* the chain's own group: nothing else */
    waitpid(Top, &nStatus, 0);
  }
  return {sLog, WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0};
}

TEST(LaunchAttachAncestor, RefusedAndNeverKilled) {
  for (int nUp : {1, 2}) {
    const auto [sLog, fEndedByThemselves] = AttachAncestorInThrowawayChain(nUp);
    EXPECT_NE(sLog.find("not attached: an ancestor of this process"), std::string::npos) << nUp << ": " << sLog;
    EXPECT_TRUE(fEndedByThemselves) << nUp << " levels up: a throwaway ancestor was killed";
  }
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
