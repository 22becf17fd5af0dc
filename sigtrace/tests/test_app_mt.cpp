/*
 * The application in this process against the simulated board: units flow
 * into the groups while the configuration is reloaded (every adapter
 * resynchronised) from another thread, then the run ends and nothing of it
 * is left running (ThreadSanitizer runs this too); many rounds of units
 * leave as many of the library's messages alive as before. And, without a
 * framework, units dispatched under the application mutex while the console's
 * thread attaches and detaches an entity: each unit is written or counted
 * lost, never both, never routed to a detached entity. Two reloads at once
 * take effect in the order asked: the second waits for the first.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "peers/process_counts.h"
#include "sigtrace_app.h"
#include "support/sigtrace_test_app.h"
#include "support/sigtrace_test_board.h"
#include "support/sigtrace_test_server.h"
#include "support/sigtrace_test_support.h"
#include "vqcaf.h"

namespace {

using namespace VQCAF;

/* The application of this process, its main loop on a thread of its own,
 * in the bench's run directory, every entity of the board traced. */
struct SRunningApp {
  sigtest::CServerBench B;
  std::filesystem::path Cwd = std::filesystem::current_path();
  std::unique_ptr<CVQSigTrace> pApp;
  std::thread Loop;
  bool Start() {
    std::filesystem::current_path(B.mstrDir);
    if (GlobalInit() != VQX_RESULT_OK) return false;
    CVQSigTraceCfgCmdLine CmdLine;
    CmdLine.mCfgFile = "quellan.xml", CmdLine.mAdapterName = "ALL", CmdLine.mfH248 = 0;
    pApp = std::make_unique<CVQSigTrace>(CmdLine);
    if (pApp->Init() != VQX_RESULT_OK) return false;
    Loop = std::thread([this] { pApp->MainLoop(); });
    return B.WaitTracesOn(7);
  }
  /* The run ended as by a management shutdown, the framework stopped. */
  void Stop() {
    if (pApp) pApp->OnMgmtShutdown(1); /* sets the quit flag under the application mutex */
    if (Loop.joinable()) Loop.join();
    pApp.reset();
    GlobalUninit();
    std::filesystem::current_path(Cwd);
  }
  ~SRunningApp() { Stop(); }
  /* Messages of the host library alive now. */
  u32 Allocated() {
    _VQX_LIB_STATS Stats{};
    Stats.un32StructVersion = 1;
    return VQXLibGetStats(pApp->mhHostLib, &Stats) == VQX_RESULT_API_OK ? Stats.CurrentAllocated : 0xFFFFFFFFu;
  }
};

TEST(SigTraceAppThreads, TrafficWhileReloadingThenNothingLeft) {
  std::thread([] {}).join();  /* a sanitizer's own thread, started with the first one, is not ours */
  SRunningApp R;
  const size_t nThreads = proccount::ProcessThreadCount(); /* the bench's own (its stall probe) counted */
  ASSERT_TRUE(R.Start());
  for (int i = 0; i < 5; i++) {
    EXPECT_GT(R.B.SendUnits(1), 0);
    EXPECT_EQ(R.pApp->ReloadConfig(0), VQX_RESULT_OK);
  }
  EXPECT_TRUE(R.B.Drained());
  R.pApp->OnMgmtShutdown(1);
  R.Loop.join();
  EXPECT_GE(R.pApp->mun32PacketCount, 5u * 7u);
  R.Stop();
  EXPECT_TRUE(peerwait::WaitUntil([&] { return proccount::ProcessThreadCount() == nThreads; }, 5000))
      << proccount::ProcessThreadCount() << " threads, " << nThreads << " before";
}

/* The main loop gives every message of every batch back to the library: after many rounds of units of every
 * family (batches of one to many messages), once all are handled, as many messages are alive as before. */
TEST(SigTraceAppThreads, MainLoopGivesEveryMessageBack) {
  SRunningApp R;
  ASSERT_TRUE(R.Start());
  ASSERT_TRUE(R.B.Drained());
  const u32 un32Before = R.Allocated();
  ASSERT_NE(un32Before, 0xFFFFFFFFu) << "the library's statistics could not be read";
  long nSent = 0;
  for (u32 i = 0; i < 40; i++) nSent += R.B.SendUnits(1 + i % 7);
  EXPECT_EQ(nSent, 7 * (40 / 7 * 28 + 1 + 2 + 3 + 4 + 5));
  ASSERT_TRUE(R.B.Drained());
  EXPECT_TRUE(peerwait::WaitUntil([&] { return R.Allocated() == un32Before; }, 5000)) << R.Allocated() << " alive, " << un32Before << " before";
}

TEST(SigTraceAppThreads, UnitsWhileTheConsoleAttachesAndDetaches) {
  sigtest::CScratchDir Dir;
  CVQSigTraceCfgCmdLine CmdLine;
  CVQSigTrace App(CmdLine);
  CVQSigTraceAdapter* pAdapter = App.mAdapters.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString("B1"));
  CVQSigTraceEntityParams Stays, Toggled;
  for (auto [p, un32Mask, pszName] : {std::tuple{&Stays, 0x10000u, "L1"}, {&Toggled, 0x2u, "L2"}}) {
    p->mun32Type = VQ_SIGTRACE_TYPE_SS7, p->mstrGroupName = "SS7", p->mstrName = pszName, p->mfCapFile = 1;
    p->mun32Trunk = 5, p->mun32TimeslotMask = un32Mask;
  }
  ASSERT_EQ(App.AttachEntityToGroup(*pAdapter, Stays), VQX_RESULT_OK);
  constexpr u32 kTurns = 400, kUnits = 4000;
  std::thread Console([&] {
    for (u32 i = 0; i < kTurns; i++) {
      CVQSigTraceEntityParams E(Toggled);
      EXPECT_EQ(App.AttachEntityToGroup(*pAdapter, E), VQX_RESULT_OK);
      CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
      EXPECT_EQ(App.DetachEntity(*App.mGroups.Find(CVQCAFHashKeyString("SS7")), E), VQX_RESULT_OK);
    }
  });
  const std::vector<u8> Seed = sigtest::DispatchSeed("ss7_ok");
  u32 un32Written = 0, un32NotFound = 0;
  for (u32 i = 0; i < kUnits; i++) {
    std::vector<u32> Msg = sigtest::ReceivedMsg(0x04210031, sigtest::Patched(Seed, 0x1C, i % 2 == 0 ? 0x10000u : 0x2u));
    CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
    const u32 r = App.DispatchMsg(Msg.data());
    un32Written += r == VQX_RESULT_OK;
    un32NotFound += r == VQX_RESULT_NOT_FOUND;
    EXPECT_TRUE(r == VQX_RESULT_OK || (r == VQX_RESULT_NOT_FOUND && i % 2 == 1)) << i << ": 0x" << std::hex << r;
  }
  Console.join();
  CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
  CVQSigTraceGrp* pGroup = App.mGroups.Find(CVQCAFHashKeyString("SS7"));
  ASSERT_EQ(pGroup->mvEntities.size(), 1u);
  EXPECT_EQ(un32Written + un32NotFound, kUnits);
  EXPECT_EQ(App.mun32LostUnits, un32NotFound);
  EXPECT_EQ(pGroup->mun32RxCount + pGroup->mun32TxCount + pGroup->mun32ExtCount, un32Written);
  EXPECT_EQ(pGroup->mvEntities[0].mun32RxCount + pGroup->mvEntities[0].mun32TxCount, kUnits / 2) << "every unit of L1";
}

/* The first reload held before its read (the application mutex taken here) when the second is asked: the second
 * waits for the first, whose file is read and applied first; the second's, asked last, is the one in use, and each
 * result is its own. */
TEST(SigTraceAppThreads, TwoReloadsTakeEffectInTheOrderAsked) {
  sigtest::CScratchDir Dir;
  sigtest::CLogLines Log;
  const auto Write = [](const char* pszFile, u32 un32Trunks) {
    std::ofstream f(pszFile);
    f << "<quellan><signaling>\n<ss7 adapter=\"B1\" grpname=\"G\" capfile=\"1\">\n";
    for (u32 i = 1; i <= un32Trunks; i++) f << "<trunk idx=\"" << i << "\" timeslot=\"1\" mask=\"255\"/>\n";
    f << "</ss7></signaling></quellan>\n";
  };
  Write("first.xml", 3), Write("second.xml", 1);
  CVQSigTraceCfgCmdLine CmdLine;
  CVQSigTrace App(CmdLine);
  u32 r1 = 0, r2 = 0;
  std::thread First, Second;
  std::vector<std::string> Lines;
  {
    CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
    First = std::thread([&] { r1 = App.ReloadConfig(0, "first.xml"); });
    EXPECT_TRUE(peerwait::WaitUntil([&] {
      std::lock_guard<std::mutex> Turns(App.mReloadOrder.Mutex);
      return App.mReloadOrder.un64Asked == 1;
    }, 10000)) << "the first asked";
    Second = std::thread([&] { r2 = App.ReloadConfig(0, "second.xml"); });
    EXPECT_TRUE(peerwait::WaitUntil([&] {
      for (std::string& s : Log.Take()) Lines.push_back(std::move(s));
      return sigtest::Seen(Lines, "Reload of 'second.xml' waits for the one asked before it") == 1;
    }, 10000));
  }
  First.join(), Second.join();
  for (std::string& s : Log.Take()) Lines.push_back(std::move(s));
  EXPECT_EQ(std::make_pair(r1, r2), std::make_pair(VQX_RESULT_OK, VQX_RESULT_OK));
  const auto At = [&](const char* psz) {
    return std::find_if(Lines.begin(), Lines.end(), [&](const std::string& s) { return s.find(psz) != std::string::npos; }) - Lines.begin();
  };
  EXPECT_LT(At("Configuration: 3 entities"), At("Configuration: 1 entities")) << "applied in the order asked";
  EXPECT_LT(At("Configuration: 1 entities"), static_cast<long>(Lines.size()));
  CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
  EXPECT_STREQ(App.GetConfigFilePath().c_str(), "second.xml");
  EXPECT_EQ(App.mSigTraceParams.Count(), 1u);
}

}  // namespace
