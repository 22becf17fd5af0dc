/*
 * test_service_it.cpp - the sig-trace service between two processes on
 * 127.0.0.1, the provider being the test provider program
 * (testing/sigtrace_provider): mutual detection, typed messages both ways, a
 * broadcast, and connect / messages / the unregister message / disconnect
 * in order when the provider leaves; then a provider killed with SIGKILL is disconnected and a new
 * one registers again.
 */
#include <signal.h>

#include "comm_test_support.h"
#include "vqcafservicesigtraceserver.h"

namespace {

std::string ProviderPath() {
  return peerproc::BuildProgram("VQX_SIGTRACE_PROVIDER", "testing/sigtrace_provider/vqx_sigtrace_provider");
}

class ServiceTwoProcesses : public ::testing::Test {
 protected:
  std::unique_ptr<CChild> Provider(const char* pszApp, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {ProviderPath(), "--port", std::to_string(mun16ChildPort), "--peer-port",
                                     std::to_string(mun16Port), "--app", pszApp, "--broadcast-last"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<CChild>(args, false);
  }
  u16 mun16Port = FreePort(), mun16ChildPort = FreePort();
};

TEST_F(ServiceTwoProcesses, ProviderRegistersSendsAndLeavesInOrder) {
  OpenFramework("tracer", mun16Port, mun16ChildPort);
  {
    CRecordingService Server("server", VQCAF_SERVICE_ID_SIGTRACE_SERVER, VQCAF_SERVICE_ID_SIGTRACE_PROVIDER);
    ASSERT_EQ(Server.Start(nullptr), VQX_RESULT_OK);
    auto p1 = Provider("provider1", {"--unregister"});
    ASSERT_TRUE(WaitFor([&] { return Server.Side(0) != nullptr && Server.Side(0)->Ids().size() >= 2; }));
    CVQCAFMsgSigtraceCapture Capture;
    Capture.mInfo.un32Capture = 1;
    EXPECT_EQ(Server.Side(0)->SendMsg(Capture, 0), VQX_RESULT_OK);
    EXPECT_EQ(p1->Wait(), 0) << "linked, capture request, every send";
    ASSERT_TRUE(WaitFor([&] { return Server.HandedBack() == 1; }));
    EXPECT_EQ(Server.Side(0)->Ids(),
              std::vector<u32>({VQCAF_MSG_SERVICE_CONNECTED, VQCAF_MSG_SIGTRACE_REGISTER, VQCAF_MSG_SIGTRACE_DATA,
                                VQCAF_MSG_SIGTRACE_DATA, VQCAF_MSG_SIGTRACE_DATA, VQCAF_MSG_SIGTRACE_UNREGISTER,
                                VQCAF_MSG_SERVICE_DISCONNECTED}));
    EXPECT_EQ(Server.Side(0)->maData, std::vector<u8>({1, 2, 3}));

    auto pKilled = Provider("provider2", {"--stay"});
    ASSERT_TRUE(WaitFor([&] { return Server.Side(1) != nullptr && Server.Side(1)->Ids().size() >= 2; }));
    EXPECT_EQ(Server.Side(1)->SendMsg(Capture, 0), VQX_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return Server.Side(1)->Ids().size() >= 5; }));
    kill(pKilled->mPid, SIGKILL);
    EXPECT_EQ(pKilled->Wait(), -1);
    EXPECT_TRUE(WaitFor([&] { return Server.HandedBack() == 2; })) << "a killed provider goes";
    auto pAgain = Provider("provider2");
    ASSERT_TRUE(WaitFor([&] { return Server.Side(2) != nullptr && Server.Side(2)->Ids().size() >= 2; }));
    EXPECT_EQ(Server.Side(2)->SendMsg(Capture, 0), VQX_RESULT_OK);
    EXPECT_EQ(pAgain->Wait(), 0);
  }
  CloseFramework();
}

}  // namespace
