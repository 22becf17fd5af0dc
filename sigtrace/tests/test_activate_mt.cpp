// Activation while the adapter's other threads run: the main thread restarts
// discovery rounds and activates in a loop, the console thread draws the
// adapter's page, the adapter thread refills the table. Every activation
// message names an entity of the board, whole.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "sigtrace_cfg_cmdline.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_support.h"
#include "vqcaf.h"

namespace {

TEST(ActivateThreads, ActivationDuringRoundsWhileThePageIsDrawn) {
  sigtest::CBoardBench B(sigtest::ReadFile(sigtest::DataPath("activate_profile.json")));
  ASSERT_TRUE(B.AddAdapter());
  std::atomic<bool> fStop{false};
  std::thread Console([&] {
    for (int i = 0; i < 100000 && !fStop; i++) VqxCliToolsRefresh(VQCAF::GetCli()->GetHandle());
  });
  const std::set<std::string> Known{"12345678_SIP1", "AAAAAAAAAAAA", "D1", "LAPD_A", "LINK_A", "R2A", "[Undefined]"};
  VQCAF::CVQSigTraceCfgCmdLine C;
  u32 un32Messages = 0;
  for (int i = 0; i < 40; i++) {
    if (i % 4 == 0) B.pAdapter->Synchronize();
    EXPECT_EQ(B.pAdapter->ActivateAllTraces(C), VQX_RESULT_OK);
    for (sigtest::SAppMsg M = B.Next(20); M.un32Id != 0; M = B.Next(20)) {
      if (M.un32Id != VQCAF::QUELLAN_NOTIF_ACTIVATE_MONITORING) continue;
      un32Messages++;
      const char* psz = reinterpret_cast<const char*>(M.Payload.data() + VQCAF::VQ_SIGTRACE_NOTIF_OFFSET_ENTITY);
      EXPECT_EQ(Known.count(std::string(psz, strnlen(psz, 128))), 1u) << psz;
    }
  }
  fStop = true;
  Console.join();
  EXPECT_GT(un32Messages, 0u);
}

}  // namespace
