/*
 * test_service_it.cpp - the sig-trace service between two processes on
 * 127.0.0.1 (this program run again as the trace provider, with
 * VQX_SVC_CHILD set): mutual detection, typed messages both ways, a
 * broadcast, and connect / messages / disconnect in order when the provider
 * unregisters; then a provider killed with SIGKILL is disconnected and a new
 * one registers again.
 */
#include <signal.h>
#include <sys/wait.h>

#include "comm_test_support.h"
#include "vqcafservicesigtraceserver.h"

namespace {

u16 EnvPort(const char* psz) { return static_cast<u16>(strtoul(getenv(psz), nullptr, 0)); }

TEST(ServiceChild, TraceProvider) {
  if (getenv("VQX_SVC_CHILD") == nullptr) GTEST_SKIP() << "run by the test below as the provider";
  OpenFramework(getenv("VQX_SVC_CHILD"), EnvPort("VQX_SVC_PORT"), EnvPort("VQX_SVC_PARENT_PORT"));
  {
    CRecordingService Provider("provider", VQCAF_SERVICE_ID_SIGTRACE_PROVIDER, VQCAF_SERVICE_ID_SIGTRACE_SERVER);
    Provider.mfProvider = true;
    ASSERT_EQ(Provider.Start(nullptr), VQX_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] {
      CRecorder* p = Provider.Side(0);
      return p != nullptr && p->Ids().size() >= 2;  // connected, capture request
    }));
    EXPECT_EQ(Provider.Side(0)->Ids()[1], VQCAF_MSG_SIGTRACE_CAPTURE);
    EXPECT_EQ(Provider.Side(0)->mResult, 0u);
    if (getenv("VQX_SVC_STAY") != nullptr) pause();  // killed by the parent
    EXPECT_EQ(Provider.Stop(), VQX_RESULT_OK);
  }
  CloseFramework();
}

class ServiceTwoProcesses : public ::testing::Test {
 protected:
  pid_t Child(const char* pszName, bool fStay) {
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("VQX_SVC_CHILD", pszName, 1);
      setenv("VQX_SVC_PORT", std::to_string(mun16ChildPort).c_str(), 1);
      setenv("VQX_SVC_PARENT_PORT", std::to_string(mun16Port).c_str(), 1);
      if (fStay) setenv("VQX_SVC_STAY", "1", 1);
      execl("/proc/self/exe", "child", "--gtest_filter=ServiceChild.*", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = -1;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  u16 mun16Port = FreePort(), mun16ChildPort = FreePort();
};

TEST_F(ServiceTwoProcesses, ProviderRegistersSendsAndLeavesInOrder) {
  if (getenv("VQX_SVC_CHILD") != nullptr) GTEST_SKIP();
  OpenFramework("tracer", mun16Port, mun16ChildPort);
  {
    CRecordingService Server("server", VQCAF_SERVICE_ID_SIGTRACE_SERVER, VQCAF_SERVICE_ID_SIGTRACE_PROVIDER);
    ASSERT_EQ(Server.Start(nullptr), VQX_RESULT_OK);
    const pid_t pid = Child("provider1", false);
    ASSERT_TRUE(WaitFor([&] { return Server.Side(0) != nullptr && Server.Side(0)->Ids().size() >= 2; }));
    CVQCAFMsgSigtraceCapture Capture;
    Capture.mInfo.un32Capture = 1;
    EXPECT_EQ(Server.Side(0)->SendMsg(Capture, 0), VQX_RESULT_OK);
    EXPECT_EQ(Wait(pid), 0) << "the provider's own checks";
    ASSERT_TRUE(WaitFor([&] { return Server.HandedBack() == 1; }));
    EXPECT_EQ(Server.Side(0)->Ids(),
              std::vector<u32>({VQCAF_MSG_SERVICE_CONNECTED, VQCAF_MSG_SIGTRACE_REGISTER, VQCAF_MSG_SIGTRACE_DATA,
                                VQCAF_MSG_SIGTRACE_DATA, VQCAF_MSG_SIGTRACE_DATA, VQCAF_MSG_SERVICE_DISCONNECTED}));
    EXPECT_EQ(Server.Side(0)->maData, std::vector<u8>({1, 2, 3}));

    const pid_t pidKilled = Child("provider2", true);
    ASSERT_TRUE(WaitFor([&] { return Server.Side(1) != nullptr && Server.Side(1)->Ids().size() >= 2; }));
    EXPECT_EQ(Server.Side(1)->SendMsg(Capture, 0), VQX_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return Server.Side(1)->Ids().size() >= 5; }));
    kill(pidKilled, SIGKILL);
    waitpid(pidKilled, nullptr, 0);
    EXPECT_TRUE(WaitFor([&] { return Server.HandedBack() == 2; })) << "a killed provider goes";
    const pid_t pidAgain = Child("provider2", false);
    ASSERT_TRUE(WaitFor([&] { return Server.Side(2) != nullptr && Server.Side(2)->Ids().size() >= 2; }));
    EXPECT_EQ(Server.Side(2)->SendMsg(Capture, 0), VQX_RESULT_OK);
    EXPECT_EQ(Wait(pidAgain), 0);
  }
  CloseFramework();
}

}  // namespace
