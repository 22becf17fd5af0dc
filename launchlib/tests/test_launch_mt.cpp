/*
 * test_launch_mt.cpp - the launch library from four threads at once (run
 * under ThreadSanitizer too): eight children created, each locked and
 * unlocked by every thread while its owner destroys it (gracefully or at
 * once) and the library's thread reaps them; ids stay distinct. Each
 * destroy holds a caller's lock that the shutdown callback takes too, as
 * the framework's service does: a callback made under the library's mutex
 * would be reported as a lock-order inversion.
 */
#include <mutex>
#include <barrier>
#include <set>
#include <thread>

#include "support/launch_fixture.h"

namespace {

std::recursive_mutex s_Caller;

void OnShutdown(void* pv, VQX_LAUNCH_LIB_HANDLE, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
  std::lock_guard<std::recursive_mutex> C(s_Caller);
  auto* t = static_cast<LaunchTest*>(pv);
  std::lock_guard<std::mutex> L(t->mMutex);
  t->mEvents.push_back({false, *pInfo});
  t->mCv.notify_all();
}

TEST_F(LaunchTest, FourThreadsCreateLockAndDestroyEightChildren) {
  /* 8 contexts; a child locked while destroyed is killed 400 ms after its unlock */
  ASSERT_EQ(Open([](auto& p) { p.pFctLaunchProcessShutdown = OnShutdown; }), VQX_RESULT_OK);
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
          std::lock_guard<std::recursive_mutex> C(s_Caller);
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
