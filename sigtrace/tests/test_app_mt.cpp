/*
 * The application in this process against the simulated board: units flow
 * into the groups while the configuration is reloaded (every adapter
 * resynchronised) from another thread, then the run ends and nothing of it
 * is left running (ThreadSanitizer runs this too).
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "peers/process_counts.h"
#include "sigtrace_app.h"
#include "support/sigtrace_test_server.h"
#include "vqcaf.h"

namespace {

using namespace VQCAF;

TEST(SigTraceAppThreads, TrafficWhileReloadingThenNothingLeft) {
  sigtest::CServerBench B;
  std::thread([] {}).join();  /* a sanitizer's own thread, started with the first one, is not ours */
  const size_t nThreads = proccount::ProcessThreadCount();
  const std::filesystem::path Cwd = std::filesystem::current_path();
  std::filesystem::current_path(B.mstrDir);
  ASSERT_EQ(GlobalInit(), VQX_RESULT_OK);
  CVQSigTraceCfgCmdLine CmdLine;
  CmdLine.mCfgFile = "quellan.xml", CmdLine.mAdapterName = "ALL", CmdLine.mfH248 = 0;
  auto pApp = std::make_unique<CVQSigTrace>(CmdLine);
  ASSERT_EQ(pApp->Init(), VQX_RESULT_OK);
  std::thread Loop([&] { pApp->MainLoop(); });
  EXPECT_TRUE(B.WaitTracesOn(7));
  for (int i = 0; i < 5; i++) {
    EXPECT_GT(B.SendUnits(1), 0);
    EXPECT_EQ(pApp->ReloadConfig(0), VQX_RESULT_OK);
  }
  EXPECT_TRUE(B.Drained());
  pApp->OnMgmtShutdown(1);  /* sets the quit flag under the application mutex */
  Loop.join();
  EXPECT_GE(pApp->mun32PacketCount, 5u * 7u);
  pApp.reset();
  GlobalUninit();
  std::filesystem::current_path(Cwd);
  EXPECT_TRUE(peerwait::WaitUntil([&] { return proccount::ProcessThreadCount() == nThreads; }, 5000))
      << proccount::ProcessThreadCount() << " threads, " << nThreads << " before";
}

}  // namespace
