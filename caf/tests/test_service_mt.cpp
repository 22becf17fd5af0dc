/*
 * test_service_mt.cpp - the service detector under churn (run under
 * ThreadSanitizer): a remote provider comes and goes and messages arrive
 * while the instances send back and another thread stops and starts the
 * service (each stop unregisters it). Every instance handed out is handed
 * back once, after a connect first and a disconnect last.
 */
#include <atomic>
#include <thread>

#include "comm_test_support.h"
#include "vqcafservicedetector.h"

namespace {

constexpr u32 kServer = 0x0B0D0100, kProvider = 0x0B0D0200, kData = 0x0B0D0400;

TEST_F(CommTest, ServiceChurnOfConnectsMessagesAndUnregistersFromThreeThreads) {
  ASSERT_EQ(CVQCAFServiceDetector::Init(), VQX_RESULT_OK);
  CRecordingService Srv("srv", kServer, kProvider);
  ASSERT_EQ(Srv.Start(nullptr), VQX_RESULT_OK);
  std::atomic<bool> fDone{false};
  std::thread Sender([&] {
    CWordsMsg Msg(0x0B0D0300, 1);
    for (u32 i = 0; i < 2000 && !fDone; i++) {
      for (size_t n = 0; Srv.Side(n) != nullptr; n++) Srv.Side(n)->SendMsg(Msg, 0);
    }
  });
  std::thread Restarter([&] {
    for (u32 i = 0; i < 10 && !fDone; i++) {
      EXPECT_EQ(Srv.Stop(), VQX_RESULT_OK);
      EXPECT_EQ(Srv.Start(nullptr), VQX_RESULT_OK);
    }
  });
  for (u32 un32Round = 0; un32Round < 20; un32Round++) {
    Announce(true, kProvider, kServer, un32Round + 1);
    for (u32 i = 0; i < 5; i++) Send(kData, "x");
    Announce(false, kProvider, kServer);
  }
  Restarter.join();
  fDone = true;
  Sender.join();
  ASSERT_EQ(Srv.Stop(), VQX_RESULT_OK);
  const size_t nOwned = Srv.maOwned.size();
  ASSERT_TRUE(WaitFor([&] { return Srv.HandedBack() == nOwned; })) << nOwned << " handed out";
  for (auto& p : Srv.maOwned) {
    const std::vector<u32> Ids = p->Ids();
    ASSERT_FALSE(Ids.empty());
    EXPECT_EQ(Ids.front(), VQCAF_MSG_SERVICE_CONNECTED);
    EXPECT_EQ(Ids.back(), VQCAF_MSG_SERVICE_DISCONNECTED);
    EXPECT_EQ(std::count(Ids.begin(), Ids.end(), VQCAF_MSG_SERVICE_DISCONNECTED), 1);
  }
  EXPECT_EQ(CVQCAFServiceDetector::Uninit(), VQX_RESULT_OK);
}

}  // namespace
