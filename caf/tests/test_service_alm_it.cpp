/*
 * test_service_alm_it.cpp - process management between two processes on
 * 127.0.0.1: this program as master launches itself again as a managed
 * client (VQX_ALM_CHILD set, inherited through the launch library's
 * environment), follows it through states 1, 3 and 4, and destroys it
 * gracefully (5, the client's OnMgmtShutdown(1), exit 0, 7) or at once (6).
 */
#include <unistd.h>

#include "comm_test_support.h"
#include "vqcafservicealmmgmt.h"

namespace {

TEST(AlmChild, ManagedClient) {
  const char* pszExpect = getenv("VQX_ALM_CHILD");
  if (pszExpect == nullptr) GTEST_SKIP() << "run by the master test below";
  OpenFramework("almchild", static_cast<u16>(atoi(getenv("VQX_ALM_CHILD_PORT"))),
                static_cast<u16>(atoi(getenv("VQX_ALM_PORT"))));
  CAlmEvents Client;
  ASSERT_EQ(CVQCAFServiceAlmMgmt::Init(0, 30, nullptr, nullptr), VQX_RESULT_OK);
  CVQCAFServiceAlmMgmt::GetInstance()->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
  EXPECT_TRUE(WaitFor([&] { return Client.Has(200) || Client.Has(201); }));
  EXPECT_TRUE(Client.Has(200u + static_cast<u32>(atoi(pszExpect)))) << "graceful flag as expected";
  EXPECT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK);
  CloseFramework();
}

TEST(AlmMaster, LaunchFollowAndDestroy) {
  if (getenv("VQX_ALM_CHILD") != nullptr) GTEST_SKIP();
  const u16 un16Port = FreePort(), un16ChildPort = FreePort();
  setenv("VQX_ALM_PORT", std::to_string(un16Port).c_str(), 1);
  setenv("VQX_ALM_CHILD_PORT", std::to_string(un16ChildPort).c_str(), 1);
  OpenFramework("almmaster", un16Port, un16ChildPort);
  CAlmEvents Master;
  ASSERT_EQ(CVQCAFServiceAlmMgmt::Init(1, 4, &Master, nullptr), VQX_RESULT_OK);
  CVQCAFServiceAlmMgmt* p = CVQCAFServiceAlmMgmt::GetInstance();
  ASSERT_EQ(p->SetParams(8000, 3000, 8000), VQX_RESULT_OK);
  char szExe[512] = {};
  ASSERT_GT(readlink("/proc/self/exe", szExe, sizeof(szExe) - 1), 0);
  for (u32 fGraceful : {1u, 0u}) {
    setenv("VQX_ALM_CHILD", fGraceful ? "1" : "0", 1);
    CAlmEvents App;
    Master.ma.clear();
    u32 un32Id = 0;
    ASSERT_EQ(p->CreateApplication(szExe, "--gtest_filter=AlmChild.*", nullptr, &un32Id, &App, 0), VQX_RESULT_OK);
    unsetenv("VQX_ALM_CHILD");
    EXPECT_EQ(Master.Get(), std::vector<u32>{1}) << "state 1 to the master interface";
    ASSERT_TRUE(WaitFor([&] { return App.Has(4); })) << fGraceful;
    EXPECT_EQ(App.Get(), (std::vector<u32>{3, 4}));
    CVQCAFString strName;
    EXPECT_EQ(p->GetApplicationName(un32Id, strName), VQX_RESULT_OK);
    EXPECT_STREQ(strName.c_str(), "almchild");
    ASSERT_EQ(p->DestroyApplication(un32Id, fGraceful), VQX_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return Master.Has(107); })) << fGraceful;
    EXPECT_EQ(App.Get(), (std::vector<u32>{3, 4, fGraceful ? 105u : 106u})) << "first shutdown report, then removed";
    EXPECT_EQ(Master.mExit, (std::pair<u32, u32>{1, 0})) << "exited, status 0 (the child's own checks)";
  }
  EXPECT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK);
  CloseFramework();
}

}  // namespace
