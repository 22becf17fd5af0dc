/*
 * test_service_alm.cpp - process management in one process: the client role
 * linked to a master service announced from this host (services protocol),
 * heartbeat and shutdown operations in, the notifications' bytes out (read
 * by a filter of the test), a failure or a warning of the application (both
 * roles together run in test_service_alm_it), short payloads, the
 * singleton, the master operations without a launch library and the master
 * role's times.
 */
#include <fstream>

#include "comm_test_support.h"
#include "vqcafservicealmmgmt.h"
#include "vqcafservicedetector.h"

namespace {

std::string Le32(u32 v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class AlmTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    ASSERT_EQ(CVQCAFServiceDetector::Init(), VQX_RESULT_OK);
    _VQX_FILTER_PARAMS aF[2] = {{1, VQX_FILTER_MASK_MSG_ID, 0, 0, VQX_LAUNCH_MSG_ID_NOTIF_READY, 0, 0, 0, 0, 0},
                                {1, VQX_FILTER_MASK_MSG_ID, 0, 0, VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN, 0, 0, 0, 0, 0}};
    ASSERT_EQ(VQXCreateMsgFilterEx(mhLib, 2, aF, &mhFilter), VQX_RESULT_API_OK);
  }
  void TearDown() override {
    EXPECT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK);
    VQXDestroyMsgFilterEx(mhLib, &mhFilter);
    EXPECT_EQ(CVQCAFServiceDetector::Uninit(), VQX_RESULT_OK);
    CommTest::TearDown();
  }
  /* This host announces a master service (or withdraws it). */
  void AnnounceMaster(bool fUp) { Announce(fUp, VQCAF_SERVICE_ID_ALM_MASTER, VQCAF_SERVICE_ID_ALM_CLIENT); }
  /* A management operation: version 1, the word at 12, padded to un32Size. */
  void Operation(u32 un32Id, u32 un32Word, u32 un32Size) {
    std::string s = std::string(8, '\0') + Le32(1) + Le32(un32Word);
    s.resize(un32Size, '\0');
    Send(un32Id, s);
  }
  /* The next notification the client sent ("" when none came within un32Ms). */
  std::string Answer(u32 un32Ms = 2000) {
    VQX_MSG_HANDLE h = nullptr;
    if (VQX_RESULT_FAILED(VQXReceiveMsg(mhLib, mhFilter, un32Ms, &h)) || h == nullptr) return "";
    std::string s = Le32(h->un32MsgId) + std::string(reinterpret_cast<char*>(VQXMsgPayload(h)), h->un32PayloadLength);
    VQXReleaseMsgEx(mhLib, &h);
    return s;
  }
  std::string Expected(u32 un32Id, u32 un32Word, u8 byWatch) {
    std::string s = Le32(un32Id) + std::string(8, '\0') + Le32(1) + Le32(un32Word) + std::string(1, char(byWatch));
    return s + std::string(31, '\0');
  }
  CVQCAFServiceAlmMgmt* StartClient() {
    EXPECT_EQ(CVQCAFServiceAlmMgmt::Init(0, 30, nullptr, nullptr), VQX_RESULT_OK);
    AnnounceMaster(true);
    EXPECT_TRUE(WaitFor([&] { return Logged("ALM master connected") == 1; }));
    return CVQCAFServiceAlmMgmt::GetInstance();
  }
  /* The payload (after the id) checked by the independent decoder of testing/golden/launchlib. */
  static void Golden(const char* pszName, const std::string& s) {
    std::ofstream(::testing::TempDir() + "/" + pszName, std::ios::binary) << s.substr(4);
    EXPECT_EQ(system(("python3 " + std::string(getenv("VQX_SOURCE_DIR")) + "/testing/golden/launchlib/launch_golden.py "
                      "check " + ::testing::TempDir() + " " + pszName).c_str()), 0) << pszName;
  }
  VQX_FILTER_HANDLE mhFilter = nullptr;
};

TEST_F(AlmTest, HeartbeatsAreAnsweredAndReadyIsToldOnce) {
  CVQCAFServiceAlmMgmt* p = StartClient();
  ASSERT_NE(p, nullptr);
  CAlmEvents Master;
  p->Register(static_cast<IVQCAFServiceAlmMgmt*>(&Master));
  Operation(VQX_LAUNCH_MSG_ID_OP_HEARTBEAT, 7, 64);
  const std::string sReady = Answer();
  EXPECT_EQ(sReady, Expected(VQX_LAUNCH_MSG_ID_NOTIF_READY, 7, 1));
  Golden("notif_ready.bin", sReady);
  ASSERT_TRUE(WaitFor([&] { return Master.Has(4); }));

  /* Registered after the first answer: never told ready. A result with either top bit set withholds the
   * answer, a warning (bit 30 alone) too; called through the service, a warning counts as success. */
  CAlmEvents Client;
  p->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
  struct Row { u32 un32Nb, un32Result, un32Direct; };
  const Row aRows[] = {{8, 0x42000000u, VQX_RESULT_OK}, {9, 0x82000001u, 0x82000001u}, {11, 0xC2000003u, 0xC2000003u}};
  for (const Row& R : aRows) {
    Client.mHbResult = R.un32Result;
    Operation(VQX_LAUNCH_MSG_ID_OP_HEARTBEAT, R.un32Nb, 56);
    char szLine[64];
    snprintf(szLine, sizeof(szLine), "Heartbeat nb=%u returned error code 0x%08X!", R.un32Nb, R.un32Result);
    EXPECT_TRUE(WaitFor([&] { return Logged(szLine) == 1; })) << szLine;
    EXPECT_EQ(p->OnMgmtHeartBeat(), R.un32Direct) << szLine;
  }
  EXPECT_EQ(Logged("OnMgmtHeartBeat: Heartbeat returned error"), 2u) << "the two failures, not the warning";
  /* A short operation is dropped, never echoed. */
  Client.mHbResult = VQX_RESULT_OK;
  Operation(VQX_LAUNCH_MSG_ID_OP_HEARTBEAT, 10, 20);
  Operation(VQX_LAUNCH_MSG_ID_OP_SHUTDOWN, 5, 12);
  EXPECT_TRUE(WaitFor([&] { return Logged("Short management operation dropped") == 2; }));
  EXPECT_EQ(Answer(100), "") << "no failure, warning or short operation answered";
  EXPECT_EQ(Client.Get(), std::vector<u32>()) << "never told ready";
  EXPECT_EQ(Master.Get(), std::vector<u32>{4});
}

/* A service to the outside only: it logs through the services' sub-module like its base. */
static_assert(!std::is_convertible_v<CVQCAFServiceAlmMgmt*, IVQCAFServiceAlmMgmt*>);
TEST_F(AlmTest, LogsThroughTheServicesSubModule) {
  CVQCAFServiceAlmMgmt* p = StartClient();
  CAlmEvents Client;
  p->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
  p->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
  std::vector<std::string> aSubMods;
  for (const CapturedLine& L : mLog.Take())
    if (L.strText.find("Someone is already registered") != std::string::npos)
      aSubMods.push_back(GetSubModName(L.un32SubMod));
  EXPECT_EQ(aSubMods, std::vector<std::string>{"SER "});
}

TEST_F(AlmTest, ShutdownIsAcknowledgedThenTold) {
  CVQCAFServiceAlmMgmt* p = StartClient();
  CAlmEvents Client;
  p->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
  p->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(&Client));
  EXPECT_EQ(Logged("CVQCAFServiceAlmMgmt::Register: Someone is already registered"), 1u);
  const std::pair<u32, u32> aRows[] = {{5, 1}, {6, 0}, {9, 0}};
  for (size_t i = 0; i < 3; i++) {
    const auto& [un32State, fGraceful] = aRows[i];
    Operation(VQX_LAUNCH_MSG_ID_OP_SHUTDOWN, un32State, 48);
    const std::string sAck = Answer();
    EXPECT_EQ(sAck, Expected(VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN, un32State, 0)) << un32State;
    if (un32State == 5) Golden("notif_shutdown.bin", sAck);
    ASSERT_TRUE(WaitFor([&] { return Client.Get().size() == i + 1; })) << un32State;
    EXPECT_EQ(Client.Get().back(), 200 + fGraceful) << un32State;
  }
  EXPECT_EQ(Logged("Shutdown request (Unknown            )"), 1u) << "state 9 past the name table";
  /* The master leaves: the next one is accepted. */
  AnnounceMaster(false);
  EXPECT_TRUE(WaitFor([&] { return Logged("AlmMgmt: OnServiceDisconnected") >= 1; }));
  AnnounceMaster(true);
  EXPECT_TRUE(WaitFor([&] { return Logged("OnServiceConnected master detected") == 2; }));
}

TEST_F(AlmTest, SingletonAndMasterOperationsInTheClientRole) {
  EXPECT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK) << "no instance";
  ASSERT_EQ(CVQCAFServiceAlmMgmt::Init(0, 30, nullptr, nullptr), VQX_RESULT_OK);
  CVQCAFServiceAlmMgmt* p = CVQCAFServiceAlmMgmt::GetInstance();
  EXPECT_EQ(CVQCAFServiceAlmMgmt::Init(0, 30, nullptr, nullptr), 0x82000011u);
  EXPECT_EQ(CVQCAFServiceAlmMgmt::GetInstance(), p);
  EXPECT_EQ(p->SetParams(0, 0, 0), 0x8200000Fu);
  EXPECT_EQ(Logged("API reserved for master mode"), 1u);
  u32 un32Id = 5;
  _VQX_LAUNCH_LIB_PROCESS_INFO Info;
  CVQCAFString strName("x");
  EXPECT_EQ(p->CreateApplication("/bin/true", "", nullptr, &un32Id, nullptr, 0), 0x8200000Cu);
  EXPECT_EQ(un32Id, 0u);
  ExpectSteps({{"Destroy", p->DestroyApplication(1, 1), 0x8200000Cu},
               {"Lock", p->LockApplication(1, 1), 0x8200000Cu},
               {"GetApplicationInfo", p->GetApplicationInfo(1, &Info), 0x8200000Cu},
               {"GetApplicationName", p->GetApplicationName(1, strName), 0x8200000Cu}});
  EXPECT_STREQ(strName.c_str(), "NotAvailable");
  ASSERT_EQ(CVQCAFServiceAlmMgmt::Uninit(), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFServiceAlmMgmt::Init(1, 0, nullptr, nullptr), 0x8200000Au) << "a master of no application";
  EXPECT_EQ(Logged("CVQCAFServiceAlmMgmt::Init: Failed to open launch library. (0x00000000) 0x8200000A"), 1u);
  EXPECT_EQ(CVQCAFServiceAlmMgmt::GetInstance(), nullptr);
  /* The master role's times go to the launch library as given: three zeros are stored. */
  ASSERT_EQ(CVQCAFServiceAlmMgmt::Init(1, 2, nullptr, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(CVQCAFServiceAlmMgmt::GetInstance()->SetParams(0, 0, 0), VQX_RESULT_OK);
  _VQX_LAUNCH_LIB_PARAMS P{};
  ASSERT_EQ(VQXLaunchLibGetParams(CLaunchOf::Get(), &P), VQX_RESULT_OK);
  EXPECT_EQ(std::make_tuple(P.un32StartingTimeMs, P.un32HeartbeatTimeMs, P.un32MgmtShutdownTimeMs),
            std::make_tuple(0u, 0u, 0u));
}

}  // namespace
