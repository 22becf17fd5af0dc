/*
 * test_launch_mt.cpp - the launch library from four threads at once (run
 * under ThreadSanitizer too): eight children created, each locked and
 * unlocked by every thread while its owner destroys it (gracefully or at
 * once) and the library's thread reaps them; ids stay distinct.
 */
#include <barrier>
#include <set>
#include <thread>

#include "support/launch_fixture.h"

namespace {

TEST_F(LaunchTest, FourThreadsCreateLockAndDestroyEightChildren) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);  /* 8 contexts; a locked, then unlocked, child is killed 400 ms later */
  std::atomic<u32> aun32Id[8] = {};
  std::barrier Created(4);
  std::vector<std::thread> aThreads;
  for (u32 t = 0; t < 4; ++t)
    aThreads.emplace_back([&, t] {
      for (u32 i = 2 * t; i < 2 * t + 2; ++i) aun32Id[i] = Spawn("sleep 30");
      Created.arrive_and_wait();
      for (u32 n = 0; n < 8; ++n) {
        const u32 un32Other = aun32Id[(2 * t + n) % 8];
        VQXLaunchLibLockApplication(mh, un32Other, 1);  /* the child may be gone already (0x8200000C) */
        if (n < 2) {  /* its own two: one graceful, one immediate */
          EXPECT_EQ(n ? VQXLaunchLibForceShutdown(mh, un32Other) : VQXLaunchLibManagementShutdown(mh, un32Other), 0x02000000u);
        }
        VQXLaunchLibLockApplication(mh, un32Other, 0);
      }
    });
  for (std::thread& T : aThreads) T.join();
  std::set<u32> Ids;
  for (auto& Id : aun32Id) {
    Ids.insert(Id);
    EXPECT_TRUE(WaitEvent(Id, 7, false)) << Id;
  }
  EXPECT_EQ(Ids.size(), 8u) << "ids never shared";
}

}  // namespace
