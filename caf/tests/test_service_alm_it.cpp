/*
 * test_service_alm_it.cpp - process management between two processes on
 * 127.0.0.1: this program as master launches itself again as the child,
 * whose behaviour VQX_ALM_CHILD names (inherited through the launch
 * library's environment). One row of the scenario table per child: graceful
 * and immediate destroy of a managed client; a child that never joins (its
 * three-level tree killed whole, or only its root with the single-process
 * flag); the watchdog (a frozen child, a locked frozen one, a warning or a
 * failing result, which both withhold the answer); a bootstrap heartbeat
 * whose answer is lost. Short times; the master is the subreaper of every orphan, reaps them, and finds no
 * descendant in /proc at the end of a row.
 */
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "comm_test_support.h"

namespace {

constexpr u32 kHbMs = 1500, kKilled = 128 + SIGKILL;

/* Parent pid and state letter of a process from /proc ('\0' once it is gone). */
std::pair<pid_t, char> ProcStat(pid_t Pid) {
  std::ifstream f("/proc/" + std::to_string(Pid) + "/stat");
  std::string s;
  std::getline(f, s);  /* empty when the process went meanwhile */
  const size_t n = s.rfind(')');
  if (n == std::string::npos || n + 4 > s.size()) return std::make_pair(0, '\0');
  return std::make_pair(atoi(&s[n + 4]), s[n + 2]);
}
/* Root and its descendants, zombies included, parents first. */
std::vector<pid_t> Family(pid_t Root) {
  std::vector<pid_t> a{Root};
  for (size_t i = 0; i < a.size() && i < 64; ++i)
    for (const auto& E : std::filesystem::directory_iterator("/proc"))
      if (const pid_t Pid = atoi(E.path().filename().c_str()); Pid > 0 && ProcStat(Pid).first == a[i]) a.push_back(Pid);
  return a;
}
template <typename Pred>
bool WaitMs(u32 un32Ms, Pred pred) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(un32Ms);
  while (!pred() && std::chrono::steady_clock::now() < End) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pred();
}
u16 EnvPort(const char* pszName) { return static_cast<u16>(atoi(getenv(pszName))); }

/* A client that withholds its first answers, and whose heartbeat result changes once it was told ready. */
struct CAfterReady : CAlmEvents {
  using CAlmEvents::OnMgmtReady;
  void OnMgmtReady() override {
    CAlmEvents::OnMgmtReady();
    mHbResult = mAfterReady;
  }
  u32 OnMgmtHeartBeat() override {
    if (mun32Withheld == 0) return mHbResult;
    mun32Withheld--;
    return 0x82000001u;
  }
  u32 mAfterReady = VQX_RESULT_OK, mun32Withheld = 0;
};

/* The child: "1"/"0" expect a graceful/immediate shutdown, "warn"/"fail" answer every heartbeat after the
 * first with a warning/failure, "tree" never joins, "late" loses its first answer (as a client reached before it
 * linked the master does): only the master's repeated bootstrap heartbeat makes it ready. */
TEST(AlmChild, Behaviour) {
  const char* psz = getenv("VQX_ALM_CHILD");
  if (psz == nullptr) GTEST_SKIP() << "run by the master's rows below";
  const std::string sMode = psz;
  FILE* pTree = sMode == "tree" ? popen("sleep 60 & wait", "r") : nullptr;  /* a sh and its sleep below us */
  OpenFramework("almchild", EnvPort("VQX_ALM_CHILD_PORT"), EnvPort("VQX_ALM_PORT"));
  if (pTree != nullptr) pclose(pTree);  /* back when the master killed the tree (60 s at most) */
  CAfterReady Client;
  Client.mAfterReady = sMode == "fail" ? 0x82000001u : (sMode == "warn" ? 0x42000000u : VQX_RESULT_OK);
  Client.mun32Withheld = sMode == "late";
  if (pTree == nullptr) {
    ASSERT_EQ(CVQCAFServiceAlmMgmt::Init(0, 30, nullptr, nullptr), VQX_RESULT_OK);
    CVQCAFServiceAlmMgmt::GetInstance()->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
    EXPECT_TRUE(WaitFor([&] { return Client.Has(200) || Client.Has(201); }));
    EXPECT_TRUE(Client.Has(sMode == "0" ? 200u : 201u)) << "graceful flag as expected";
    EXPECT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK);
  }
  CloseFramework();
}

/* What the master does once the child reached its state. */
enum Act { kGraceful, kNow, kFreeze, kLockFreeze, kNothing };
/* Child behaviour, launched with the kill-single-process flag, state reached (4 ready, 2 not using ALM messages),
 * what the master does then, exit status, both watchdog warnings and the kill line logged. */
struct Row {
  const char* pszName;
  const char* pszChild;
  u8 fSingle;
  u32 un32Reached;
  Act Action;
  u32 un32Exit;
  bool fWatchdog;
};
const Row kRows[] = {
    {"GracefulDestroy", "1", 0, 4, kGraceful, 0, false},
    {"ImmediateDestroy", "0", 0, 4, kNow, 0, false},
    {"NeverJoinsTreeKilled", "tree", 0, 2, kNow, kKilled, false},
    {"NeverJoinsOnlyRootKilled", "tree", 1, 2, kNow, kKilled, false},
    {"FrozenChildKilledByWatchdog", "1", 0, 4, kFreeze, kKilled, true},
    /* Watched again from the unlock. */
    {"LockedFrozenChildSurvivesUntilUnlocked", "1", 0, 4, kLockFreeze, kKilled, true},
    /* A warning withholds the answer just as a failure does. */
    {"WarningResultGetsItKilled", "warn", 0, 4, kNothing, kKilled, true},
    {"FailingResultGetsItKilled", "fail", 0, 4, kNothing, kKilled, true},
    {"LostBootstrapHeartbeatStillReady", "late", 0, 4, kGraceful, 0, false}};
void PrintTo(const Row& R, std::ostream* pOs) { *pOs << R.pszName; }


class AlmScenario : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    if (getenv("VQX_ALM_CHILD") != nullptr) GTEST_SKIP();
    mfStarted = true;  /* from here on, TearDown undoes whatever SetUp got through */
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const char* psz : {"VQX_ALM_PORT", "VQX_ALM_CHILD_PORT"}) setenv(psz, std::to_string(FreePort()).c_str(), 1);
    setenv("VQX_ALM_CHILD", GetParam().pszChild, 1);
    AddLogTraceListener(&mLog);
    OpenFramework("almmaster", EnvPort("VQX_ALM_PORT"), EnvPort("VQX_ALM_CHILD_PORT"));
    ASSERT_EQ(CVQCAFServiceAlmMgmt::Init(1, 4, &mMaster, nullptr), VQX_RESULT_OK);
    mp = CVQCAFServiceAlmMgmt::GetInstance();
    ASSERT_EQ(mp->SetParams(2000, kHbMs, 5000), VQX_RESULT_OK);
  }
  void TearDown() override {
    if (!mfStarted) return;
    EXPECT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK);
    CloseFramework();
    RemoveLogTraceListener(&mLog);
    unsetenv("VQX_ALM_CHILD");
    const std::vector<pid_t> aLeft = Family(getpid());
    for (size_t i = 1; i < aLeft.size(); ++i) {
      ADD_FAILURE() << "left running or unreaped: " << aLeft[i];
      kill(aLeft[i], SIGKILL);
      waitpid(aLeft[i], nullptr, 0);
    }
  }
  bool Seen(u32 v) { return mMaster.Has(v) || mApp.Has(v); }
  bool Logged(const char* pszText) {
    const auto a = mLog.Peek();
    return std::any_of(a.begin(), a.end(), [&](auto& L) { return L.strText.find(pszText) != std::string::npos; });
  }
  CAlmEvents mMaster, mApp;
  CVQCAFServiceAlmMgmt* mp = nullptr;
  bool mfStarted = false;
  CCaptureListener mLog;
};

TEST_P(AlmScenario, Row) {
  const Row& R = GetParam();
  char szExe[512] = {};
  ASSERT_GT(readlink("/proc/self/exe", szExe, sizeof(szExe) - 1), 0);
  _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
  C.pszPath = szExe;
  C.pszParams = "--gtest_filter=AlmChild.*";
  C.fKillSingleProcess = R.fSingle;
  u32 un32Id = 0;
  ASSERT_EQ(R.fSingle ? VQXLaunchLibCreateProcess(CLaunchOf::Get(), &C, &un32Id)
                      : mp->CreateApplication(szExe, C.pszParams, nullptr, &un32Id, &mApp, 0), VQX_RESULT_OK);
  _VQX_LAUNCH_LIB_PROCESS_INFO Info{};
  mp->GetApplicationInfo(un32Id, &Info);  /* the pid is there before the host is seen (0x82000015) */
  const pid_t Pid = static_cast<pid_t>(Info.un32ProcessId);
  EXPECT_EQ(mMaster.Get().at(0), 1u) << "state 1 to the master interface";
  ASSERT_TRUE(WaitFor([&] { return Seen(R.un32Reached); }));
  std::vector<pid_t> aTree;  /* this program, its sh, the sh's sleep */
  if (R.un32Reached == 2) {
    ASSERT_TRUE(WaitFor([&] { return (aTree = Family(Pid)).size() == 3; }));
  }
  switch (R.Action) {
    case kLockFreeze:
      EXPECT_EQ(mp->LockApplication(un32Id, 1), VQX_RESULT_OK);
      EXPECT_EQ(kill(Pid, SIGSTOP), 0);
      EXPECT_FALSE(WaitMs(kHbMs * 3 / 2, [&] { return Seen(107); })) << "a locked child is never killed";
      EXPECT_EQ(mp->LockApplication(un32Id, 0), VQX_RESULT_OK);
      break;
    case kFreeze:
      EXPECT_EQ(kill(Pid, SIGSTOP), 0);
      break;
    case kNothing:
      break;
    case kGraceful:
    case kNow:
      EXPECT_EQ(R.fSingle ? VQXLaunchLibForceShutdown(CLaunchOf::Get(), un32Id)
                          : mp->DestroyApplication(un32Id, R.Action != kNow), VQX_RESULT_OK);
  }
  auto Exit = [&] { return (mApp.Has(107) ? mApp : mMaster).mExit; };  /* written just after the report */
  ASSERT_TRUE(WaitFor([&] { return Seen(107) && Exit().first != 9; }));
  EXPECT_EQ(Exit(), std::make_pair(1u, R.un32Exit)) << "exited, its status";
  if (R.un32Reached == 4 && R.Action <= kNow) {
    EXPECT_EQ(mApp.Get(), (std::vector<u32>{3, 4, R.Action == kNow ? 106u : 105u}))
        << "first shutdown report, then removed";
  }
  for (const char* psz : {"Warning: Process vqoam_2_7_11..caf_test_service_alm_it heart-beat silent for ",
                          " ms (1/2 of 1500 ms)", " ms (3/4 of 1500 ms)",
                          "Error: Process vqoam_2_7_11..caf_test_service_alm_it heart-beat watchdog timeout expired (",
                          " > 1500 ms). Killing application NOW!"}) {
    EXPECT_EQ(Logged(psz), R.fWatchdog) << psz;
  }
  if (!aTree.empty()) {  /* its sh and sleep, once killed: zombies of ours (their subreaper), or gone when the
                          * dying child's own wait reaped one */
    auto Alive = [&] {
      auto Running = [](pid_t p) { return ProcStat(p).second != 'Z' && ProcStat(p).second; };
      return std::count_if(aTree.begin() + 1, aTree.end(), Running);
    };
    WaitMs(R.fSingle ? 300 : 5000, [&] { return Alive() == 0; });
    std::string sStates;  /* pid and state letter of each ('-' gone) */
    for (pid_t p : aTree) sStates += std::to_string(p) + std::max(ProcStat(p).second, '-') + ' ';
    EXPECT_EQ(Alive(), R.fSingle ? 2 : 0) << "whole tree, or only its root: " << sStates;
    for (size_t i = 1; i < aTree.size(); ++i) {
      kill(aTree[i], SIGKILL);
      waitpid(aTree[i], nullptr, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, AlmScenario, ::testing::ValuesIn(kRows), [](const auto& I) { return I.param.pszName; });

}  // namespace
