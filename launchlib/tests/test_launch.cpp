/*
 * Launch library without a host library: checks and texts of the
 * operations, the /proc stat and net/tcp parsers, the holder of a link's
 * other end, command-line split and environment,
 * process life (states 1, 2, 7), shutdowns and locks. The tree kill and
 * the watchdog run end to end in caf's two-process test (test_service_alm_it).
 */
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <tuple>

#include "peers/child_process.h"
#include "peers/loopback.h"
#include "support/launch_fixture.h"
#include "vqx_clock.h"

namespace {

void NullPrint(void*, u32, const char*, const char*, va_list) {}

TEST(LaunchChecks, OpenRefusesBadRecordsAndNullHandles) {
  _VQX_LAUNCH_LIB_PARAMS P{};
  VQX_LAUNCH_LIB_HANDLE h = reinterpret_cast<VQX_LAUNCH_LIB_HANDLE>(1);
  EXPECT_EQ(VQXLaunchLibOpen(nullptr, &h), 0x82000009u);
  EXPECT_EQ(h, nullptr) << "the output is cleared first";
  P.un32MaxApplication = 1;
  EXPECT_EQ(VQXLaunchLibOpen(&P, &h), 0x82000009u) << "no print callback";
  P.pFctPrint = NullPrint;
  EXPECT_EQ(VQXLaunchLibOpen(&P, nullptr), 0x82000009u);
  P.un32MaxApplication = 0;
  EXPECT_EQ(VQXLaunchLibOpen(&P, &h), 0x8200000Au);
  _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
  u32 un32Id = 5;
  for (VQX_RESULT r : {VQXLaunchLibCreateProcess(nullptr, &C, &un32Id), VQXLaunchLibClose(nullptr),
                       VQXLaunchLibGetParams(nullptr, &P), VQXLaunchLibSetParams(nullptr, &P),
                       VQXLaunchLibForceShutdown(nullptr, 1), VQXLaunchLibSendHeartbeat(nullptr, 1)})
    EXPECT_EQ(r, 0x8200000Cu);
}

TEST_F(LaunchTest, SetParamsRefusesFixedFieldsAndStoresZeroTimes) {
  ASSERT_EQ(Open([](auto& p) { p.un32StartingTimeMs = p.un32HeartbeatTimeMs = p.un32MgmtShutdownTimeMs = 0; }),
            VQX_RESULT_OK);
  auto Times = [&] {
    _VQX_LAUNCH_LIB_PARAMS Got{};
    EXPECT_EQ(VQXLaunchLibGetParams(mh, &Got), VQX_RESULT_OK);
    return std::vector<u32>({Got.un32StartingTimeMs, Got.un32HeartbeatTimeMs, Got.un32MgmtShutdownTimeMs});
  };
  EXPECT_EQ(Times(), std::vector<u32>({5000, 5000, 600000}));
  struct Row { const char* pszText; std::function<void(_VQX_LAUNCH_LIB_PARAMS&)> f; };
  const Row aRows[] = {
      {"un32MaxApplication cannot be changed.", [](auto& p) { p.un32MaxApplication++; }},
      {"pFctLaunchProcessReady cannot be changed.", [](auto& p) { p.pFctLaunchProcessReady = nullptr; }},
      {"pFctLaunchProcessShutdown cannot be changed.", [](auto& p) { p.pFctLaunchProcessShutdown = nullptr; }},
      {"fAppManager cannot be changed.", [](auto& p) { p.fAppManager = 0; }}};
  for (auto& R : aRows) {
    _VQX_LAUNCH_LIB_PARAMS P = mParams;
    R.f(P);
    EXPECT_EQ(VQXLaunchLibSetParams(mh, &P), 0x82000013u) << R.pszText;
    EXPECT_TRUE(HasLog((std::string("VQXLaunchLibSetParams: ") + R.pszText + ", result 0x82000013").c_str()))
        << R.pszText;
  }
  _VQX_LAUNCH_LIB_PARAMS P = mParams;
  P.un32StartingTimeMs = 7, P.un32HeartbeatTimeMs = 0, P.un32MgmtShutdownTimeMs = 1234;
  ASSERT_EQ(VQXLaunchLibSetParams(mh, &P), VQX_RESULT_OK);
  EXPECT_EQ(Times(), std::vector<u32>({7, 0, 1234}));
  P.un32StartingTimeMs = P.un32MgmtShutdownTimeMs = 0;
  ASSERT_EQ(VQXLaunchLibSetParams(mh, &P), VQX_RESULT_OK);
  EXPECT_EQ(Times(), std::vector<u32>({0, 0, 0})) << "no defaults after open";
  EXPECT_EQ(VqxLaunchTaskPeriod(mh->Params), 10u) << "the thread does not spin on a heartbeat time of 0";
  /* Stored zeros are worked with: a child that never joins leaves state 1 at once and, shut down, is killed
   * at once. */
  const u32 un32Id = Spawn("sleep 30");
  ASSERT_TRUE(WaitEvent(un32Id, 2, true, 2000));
  EXPECT_EQ(VQXLaunchLibForceShutdown(mh, un32Id), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEvent(un32Id, 7, false, 2000));
  EXPECT_EQ(LastExit(un32Id), 128u + SIGKILL);
}

TEST(LaunchProc, StatParserCommandLineAndEnvironment) {
  /* The stat fields are read after the last parenthesis. */
  struct Row { const char* pszText; bool fOk; u32 un32Ppid; u64 un64Start; };
  const Row aRows[] = {
      {"12 (sh) S 7 12 12 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0 98765 1 2\n", true, 7, 98765},
      {"13 (a) b) (c) R 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 42 0", true, 1, 42},
      {"14 (x y) S 3 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 18446744073709551615", true, 3, 18446744073709551615ull},
      {"15 (sh) S 7 12 12 0 -1 4194560 1 2 3 4 5 6 7 8 20 0 1 0", false, 0, 0},  /* cut before start time */
      {"17 sh S 7 12 12 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5", false, 0, 0},        /* no ')' */
      {"18 (sh) S 4294967296 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5", false, 0, 0}, /* parent above 32 bits */
      {"19 (sh) S 7 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 18446744073709551616", false, 0, 0}}; /* start overflows */
  for (auto& R : aRows) {
    u32 un32Ppid = 0;
    u64 un64Start = 0;
    const bool fOk = VqxLaunchParseStat(R.pszText, strlen(R.pszText), &un32Ppid, &un64Start);
    EXPECT_EQ(std::make_tuple(fOk, un32Ppid, un64Start), std::make_tuple(R.fOk, R.un32Ppid, R.un64Start)) << R.pszText;
  }

  /* /proc/net/tcp lines: each address is the network-order word printed as a number, ports in host order. */
  struct Tcp { const char* pszLine; bool fOk; VqxLaunchTcpEntry E; };
  const Tcp aTcp[] = {
      {"   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 4242 1 "
       "0000000000000000 100 0 0 10 0\n", true, {htonl(0x7F000001u), 0, 0x1F90, 0, 4242}},
      {"  12: 0100007F:9C40 0101007F:D431 01 00000000:00000000 02:00000A1B 00000000     0        0 18446744073709551615 2 "
       "0\n", true, {htonl(0x7F000001u), htonl(0x7F000101u), 0x9C40, 0xD431, 18446744073709551615ull}},
      {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n", false, {}},
      {"   3: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0", false, {}},
      {"   4: 0100007F 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 7 1", false, {}}};
  for (auto& R : aTcp) {
    VqxLaunchTcpEntry E{};
    const bool fOk = VqxLaunchParseTcpLine(R.pszLine, &E);
    EXPECT_EQ(std::make_tuple(fOk, E.un32LocalAddr, E.un16LocalPort, E.un32RemoteAddr, E.un16RemotePort, E.un64Inode),
              std::make_tuple(R.fOk, R.E.un32LocalAddr, R.E.un16LocalPort, R.E.un32RemoteAddr, R.E.un16RemotePort,
                              R.E.un64Inode)) << R.pszLine;
  }

  struct Split { const char* pszIn; std::vector<std::string> a; };
  const Split aSplit[] = {{nullptr, {}}, {"  a  b\tc ", {"a", "b", "c"}}, {"\"\" x", {"", "x"}},
                          {"-c \"echo x y\" z", {"-c", "echo x y", "z"}}, {"a\"b c\"d", {"ab cd"}}};
  for (auto& R : aSplit) EXPECT_EQ(VqxLaunchSplitCmdLine(R.pszIn), R.a) << (R.pszIn ? R.pszIn : "null");

  _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
  C.pszPath = "sh", C.pszParams = "-c true", C.pszLibPath = "/opt/lib", C.un32NbEnv = 3;
  C.apszEnvName[0] = "PATH", C.apszEnvName[1] = "LD_LIBRARY_PATH", C.apszEnvName[2] = "VQX_TEST_VAR";
  C.apszEnvValue[0] = "/nowhere", C.apszEnvValue[1] = "/bad", C.apszEnvValue[2] = "v 1";
  setenv("LD_LIBRARY_PATH", "/usr/lib/x", 1);
  VqxLaunchSpawn S;
  std::string sError;
  ASSERT_TRUE(VqxLaunchPrepare(C, &S, &sError)) << sError;
  EXPECT_EQ(S.sPath.substr(S.sPath.size() - 3), "/sh");
  EXPECT_EQ(S.asArgv, (std::vector<std::string>{"sh", "-c", "true"}));
  for (const std::string& s : {std::string("VQX_STARTED_BY_LAUNCH_LIB=TRUE"), std::string("VQX_TEST_VAR=v 1"),
                               std::string("LD_LIBRARY_PATH=/opt/lib:/usr/lib/x"), "PATH=" + std::string(getenv("PATH"))})
    EXPECT_NE(std::find(S.asEnv.begin(), S.asEnv.end(), s), S.asEnv.end()) << s;
  C.pszPath = "/tmp";  /* not a regular file */
  EXPECT_FALSE(VqxLaunchPrepare(C, &S, &sError));
  EXPECT_EQ(sError, "File not found /tmp");
}

/* Who holds the other end of a link: a loopback connection of this process (both ends here, neither
 * inherited by a child), described as our host library would describe it from either end. */
TEST(LaunchProc, PeerEndOfALinkIsFoundAmongTheHoldersDescriptors) {
  const int Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = loopnet::LoopbackAddress(0);
  socklen_t l = sizeof(A);
  ASSERT_EQ(bind(Listen, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
  ASSERT_EQ(listen(Listen, 1), 0);
  ASSERT_EQ(getsockname(Listen, reinterpret_cast<sockaddr*>(&A), &l), 0);
  const int Ours = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(Ours, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
  const int Theirs = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(Theirs, 0);
  auto LinkOf = [](int s) {
    sockaddr_in L{}, R{};
    socklen_t n = sizeof(L), m = sizeof(R);
    getsockname(s, reinterpret_cast<sockaddr*>(&L), &n);
    getpeername(s, reinterpret_cast<sockaddr*>(&R), &m);
    return _VQX_PEER_LINK{L.sin_addr.s_addr, R.sin_addr.s_addr, ntohs(L.sin_port), ntohs(R.sin_port)};
  };
  peerproc::CChild Other({"sleep", "30"}, false);
  ASSERT_GT(Other.mPid, 0);
  ASSERT_TRUE(Other.WaitExec()) << "until its exec the child holds copies of this process's descriptors";
  _VQX_PEER_LINK Unknown = LinkOf(Ours);
  Unknown.un16RemotePort ^= 1;
  struct Row { const char* pszName; _VQX_PEER_LINK Link; u32 un32Count; pid_t Pid; bool fHolds; };
  const Row aRows[] = {{"connected end, held here", LinkOf(Ours), 1, getpid(), true},
                       {"accepted end, held here", LinkOf(Theirs), 1, getpid(), true},
                       {"held by another process", LinkOf(Ours), 1, Other.mPid, false},
                       {"no such link", Unknown, 1, getpid(), false},
                       {"no link at all", LinkOf(Ours), 0, getpid(), false},
                       {"no such process", LinkOf(Ours), 1, 0x7FFFFFF0, false}};
  for (const Row& R : aRows) EXPECT_EQ(VqxLaunchHoldsPeerEnd(R.Pid, &R.Link, R.un32Count), R.fHolds) << R.pszName;
  if (Other.mPid > 0) kill(Other.mPid, SIGKILL);
  for (int s : {Listen, Ours, Theirs}) close(s);
}

/* The clocks of the periodic task, each at its boundary, on a clock stepped
 * by hand: the watchdog kills a ready, watched process silent for more than
 * the heartbeat time; a management shutdown is killed past its own limit, a
 * shutdown past the heartbeat time (a locked one is sent the operation
 * again); a heartbeat goes every min(2000, heartbeat time / 3) ms; stored
 * times of 0. No library thread runs (no application manager), so the task
 * runs only here. */
std::atomic<u64> s_un64FakeNow{0};
u64 FakeNow() { return s_un64FakeNow.load(); }

TEST_F(LaunchTest, PeriodicClocksAtTheirBoundaries) {
  _VQX_LIB_PARAMS Lp{};
  Lp.un32StructVersion = Lp.un32TransportType = Lp.fAdaptersGwOff = 1;
  Lp.un32TraceLevel = 0x7FFFFFFF;
  Lp.pFctErrorCallback = [](void*, VQX_LIB_HANDLE, const char*) {};
  VQX_LIB_HANDLE hHost = nullptr;
  ASSERT_EQ(VQXOpenLib(&Lp, &hHost), VQX_RESULT_API_OK);
  ASSERT_EQ(Open([&](auto& p) { p.fAppManager = 0, p.hLib = hHost, p.un32MgmtShutdownTimeMs = 1000; }), VQX_RESULT_OK);
  struct Row {
    const char* pszName;
    u32 un32State, un32HeartbeatMs;
    bool fWatch, fLocked;
    u64 un64Elapsed; /* since the state began, the last ready and the last heartbeat */
    bool fKilled;
    u32 un32Heartbeats;
    bool fResent; /* locked: the shutdown operation sent again (its state time restarts) */
  };
  const Row aRows[] = {
      {"watchdog at its time", VQX_LAUNCH_STATE_READY, 400, true, false, 400, false, 1, false},
      {"watchdog past its time", VQX_LAUNCH_STATE_READY, 400, true, false, 401, true, 1, false},
      {"management shutdown at its limit", VQX_LAUNCH_STATE_MGMT_SHUTDOWN, 400, false, false, 1000, false, 0, false},
      {"management shutdown past its limit", VQX_LAUNCH_STATE_MGMT_SHUTDOWN, 400, false, false, 1001, true, 0, false},
      {"shutdown at the heartbeat time", VQX_LAUNCH_STATE_SHUTDOWN, 400, false, false, 400, false, 0, false},
      {"shutdown past the heartbeat time", VQX_LAUNCH_STATE_SHUTDOWN, 400, false, false, 401, true, 0, false},
      {"locked shutdown past the heartbeat time", VQX_LAUNCH_STATE_SHUTDOWN, 400, false, true, 401, false, 0, true},
      {"heartbeat before a third", VQX_LAUNCH_STATE_READY, 3000, false, false, 999, false, 0, false},
      {"heartbeat at a third", VQX_LAUNCH_STATE_READY, 3000, false, false, 1000, false, 1, false},
      {"heartbeat before the 2000 ms cap", VQX_LAUNCH_STATE_READY, 9000, false, false, 1999, false, 0, false},
      {"heartbeat at the 2000 ms cap", VQX_LAUNCH_STATE_READY, 9000, false, false, 2000, false, 1, false},
      /* A stored 0: no grace, but nothing sent on every run of the task. */
      {"time 0: watchdog at the first silence", VQX_LAUNCH_STATE_READY, 0, true, false, 1, true, 0, false},
      {"time 0: heartbeat not before 2000 ms", VQX_LAUNCH_STATE_READY, 0, false, false, 1999, false, 0, false},
      {"time 0: heartbeat at 2000 ms", VQX_LAUNCH_STATE_READY, 0, false, false, 2000, false, 1, false},
      {"time 0: shutdown killed at once", VQX_LAUNCH_STATE_SHUTDOWN, 0, false, false, 1, true, 0, false},
      {"time 0: locked, not sent again at once", VQX_LAUNCH_STATE_SHUTDOWN, 0, false, true, 1999, false, 0, false},
      {"time 0: locked, sent again after 2000 ms", VQX_LAUNCH_STATE_SHUTDOWN, 0, false, true, 2000, false, 0, true},
  };
  VqxClockSetSource(FakeNow);
  u64 T0 = 1000000;
  for (const Row& R : aRows) {
    T0 += 100000;  // forward only: the clock holds still on a small step back
    const pid_t Child = fork();
    if (Child == 0) {
      pause();
      _exit(0);
    }
    ASSERT_GT(Child, 0);
    bool fKilled, fResent;
    u32 un32Heartbeats;
    {
      std::lock_guard<std::recursive_mutex> L(mh->Mutex);
      mh->Params.un32HeartbeatTimeMs = R.un32HeartbeatMs;
      VqxLaunchCtx C;
      C.un32Id = 1, C.un32State = R.un32State, C.Pid = Child, C.hHost = VQX_HOSTLIB_ADAPTER_HANDLE;
      C.fWatch = R.fWatch, C.fLocked = R.fLocked, C.sName = R.pszName;
      C.un64StateMs = C.un64LastReadyMs = C.un64LastHbMs = T0;
      mh->Ctx[1] = C;
      s_un64FakeNow = T0 + R.un64Elapsed;
      VqxLaunchPeriodic(mh);
      fKilled = mh->Ctx[1].fKilled;
      un32Heartbeats = mh->Ctx[1].un32HbCounter;
      fResent = mh->Ctx[1].un64StateMs != T0;
      mh->Ctx.clear();
      mh->aPending.clear();
    }
    EXPECT_EQ(fKilled, R.fKilled) << R.pszName;
    EXPECT_EQ(un32Heartbeats, R.un32Heartbeats) << R.pszName;
    EXPECT_EQ(fResent, R.fResent) << R.pszName;
    int Status = 0;
    if (!fKilled) kill(Child, SIGKILL);
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGKILL) << R.pszName;
  }
  VqxClockSetSource(nullptr);
  EXPECT_TRUE(HasLog("heart-beat watchdog timeout expired (401 > 400 ms)"));
  EXPECT_TRUE(HasLog("still shutting down after 1000 ms: killed"));
  EXPECT_EQ(VQXLaunchLibClose(std::exchange(mh, nullptr)), VQX_RESULT_OK);
  EXPECT_EQ(VQXCloseLibEx(&hHost), VQX_RESULT_API_OK);
}

TEST_F(LaunchTest, ChildLifeStartingNotUsingAlmAndExit) {
  ASSERT_EQ(Open([](auto& p) { p.un32MaxApplication = 2; }), VQX_RESULT_OK);
  const u32 un32Exit = Spawn("exit 3");
  EXPECT_TRUE(WaitEvent(un32Exit, 1, true, 0)) << "state 1 is reported before CreateProcess returns";
  ASSERT_TRUE(WaitEvent(un32Exit, 7, false));
  EXPECT_EQ(LastExit(un32Exit), 3u);
  EXPECT_EQ(VQXLaunchLibLockApplication(mh, un32Exit, 1), 0x8200000Cu) << "the ended context's id is gone";

  const u32 un32Silent = Spawn("sleep 30");
  const u32 un32Second = Spawn("sleep 30");
  EXPECT_GT(un32Silent, un32Exit) << "ids are never reused";
  _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
  C.pszPath = "/bin/true";
  u32 un32Id = 9;
  EXPECT_EQ(VQXLaunchLibCreateProcess(mh, &C, &un32Id), 0x82000008u);
  EXPECT_EQ(un32Id, 0u);
  ASSERT_TRUE(WaitEvent(un32Silent, 2, true));
  /* A process that is not ready is terminated by either shutdown, unless it is locked. */
  EXPECT_EQ(VQXLaunchLibLockApplication(mh, un32Second, 1), VQX_RESULT_OK);
  EXPECT_EQ(VQXLaunchLibForceShutdown(mh, un32Silent), VQX_RESULT_OK);
  EXPECT_EQ(VQXLaunchLibManagementShutdown(mh, un32Second), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEvent(un32Silent, 7, false));
  EXPECT_FALSE(WaitEvent(un32Second, 7, false, 800)) << "locked: never killed, past its 400 ms shutdown time";
  EXPECT_EQ(VQXLaunchLibLockApplication(mh, un32Second, 0), VQX_RESULT_OK);
  ASSERT_TRUE(WaitEvent(un32Second, 7, false));
  EXPECT_EQ(LastExit(un32Silent), 128u + SIGKILL);
  C.pszPath = "/no/such";
  EXPECT_EQ(VQXLaunchLibCreateProcess(mh, &C, &un32Id), 0x82000015u) << "missing file";
}

}  // namespace
