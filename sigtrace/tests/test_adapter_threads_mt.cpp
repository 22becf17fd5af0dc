// The adapter's three threads at once: its discovery thread filling the
// table, the console thread drawing the adapter's page, and the main thread
// restarting rounds and finally clearing and freeing the adapter in the
// middle of one: thread ended, filter gone, no ready message.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/sigtrace_test_board.h"
#include "vqcaf.h"

namespace {

using namespace sigtest;

TEST(AdapterThreads, OverlappingRoundsAndClearMidRoundWhileThePageIsDrawn) {
  std::string strTucl;
  for (int i = 1; i <= 40; i++) strTucl += (i > 1 ? ", " : "") + ("{\"id\": " + std::to_string(i) + ", \"name\": \"T" + std::to_string(i) + "\"}");
  CBoardBench b(R"({"mtp2": [{"id": 1, "links": [{"id": 11, "trunk": 1}, {"id": 12, "trunk": 2}]}],
                    "tucl": [)" + strTucl + "]}");
  const u64 un64Filters = b.LiveFilters();
  ASSERT_TRUE(b.AddAdapter());
  std::atomic<bool> fStop{false};
  std::thread Console([&] {
    for (int i = 0; i < 100000 && !fStop; i++) {
      VqxCliToolsRefresh(VQCAF::GetCli()->GetHandle());
      b.pAdapter->IsAdapterReady();
    }
  });
  ASSERT_TRUE(b.WaitReady());
  /* Five rounds started while their answers are held: only the last completes. */
  ASSERT_EQ(b.pBoard->Command("hold"), "ok");
  for (int i = 0; i < 5; i++) b.pAdapter->Synchronize();
  ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04090001") == 6; }));
  EXPECT_EQ(b.pBoard->Command("release"), "ok 5");
  ASSERT_TRUE(b.WaitReady());
  {
    VQCAF::CVQCAFMutexAutoGetGive Lock(&b.pAdapter->GetMutex());
    EXPECT_EQ(b.pAdapter->GetEntityTable().GetCount(), 42u) << "one entity per link and instance, none twice";
  }
  /* Cleared (as on the adapter-removed event) while the next round's answer is held. */
  ASSERT_EQ(b.pBoard->Command("hold"), "ok");
  b.pAdapter->Synchronize();
  ASSERT_TRUE(Within(3000, [&] { return b.Asked("0x04090001") == 7; }));
  EXPECT_EQ(b.pAdapter->Clear(), VQX_RESULT_OK);
  fStop = true;
  Console.join();
  EXPECT_EQ(b.pAdapter->IsRunning(), 0u) << "thread ended";
  EXPECT_EQ(b.pAdapter->GetEntityTable().GetCount(), 0u);
  EXPECT_EQ(b.pAdapter->Clear(), VQX_RESULT_OK) << "a second Clear does nothing";
  b.pAdapter.reset();
  EXPECT_EQ(b.LiveFilters(), un64Filters) << "the adapter's filter destroyed";
  EXPECT_EQ(b.pBoard->Command("release"), "ok 1");
  EXPECT_EQ(b.Next(300).un32Id, 0u) << "no ready message";
  EXPECT_EQ(b.un32Readies, 2u);
}

}  // namespace
