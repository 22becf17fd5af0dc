// Thread start-up through the common entry point (name, stack, class, result, stop flag), and the recursive mutex
// (nesting, other threads, time-outs, exclusion under contention).
#include <pthread.h>
#include <sched.h>

#include "peers/stall_probe.h"
#include "support/vqx_test_support.h"
#include "vqx_thread.h"

namespace {

struct Row { const char *pszName, *pszSeenName; u32 un32Stack, un32Class; size_t minStack; int nRtPriority; };

struct Probe { const Row* pRow; VQX_THREAD_RECORD rec; };

u32 ProbeThread(void* pv) {  // runs as the thread of one row, checks what the thread got and waits to be stopped
  Probe& probe = *static_cast<Probe*>(pv);
  const Row& row = *probe.pRow;
  // The creator names the thread just after it starts: wait for the awaited name. (A read that races the rename can
  // see a mix of the old and the new name, so "different from before" is not enough.)
  char szName[32];
  EXPECT_TRUE(VqxTestWaitUntil([&] {
    return pthread_getname_np(pthread_self(), szName, sizeof(szName)) == 0 && strcmp(szName, row.pszSeenName) == 0;
  })) << szName;
  pthread_attr_t attr;
  size_t stackSize = 0;
  EXPECT_TRUE(pthread_getattr_np(pthread_self(), &attr) == 0 && pthread_attr_getstacksize(&attr, &stackSize) == 0);
  EXPECT_GE(stackSize, row.minStack) << row.pszName;
  pthread_attr_destroy(&attr);
  // Real-time classes are applied when the process may use them, else the default class is kept silently.
  int policy = -1;
  sched_param param{};
  EXPECT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
  EXPECT_TRUE(policy == SCHED_OTHER || (policy == SCHED_RR && param.sched_priority == row.nRtPriority)) << row.pszName;
  return VqxTestWaitUntil([&] { return VqxThreadStopRequested(&probe.rec) != 0; }) ? 0xC0FFEE01u : 0u;
}

u32 StoreArgument(void* pv) { return *static_cast<int*>(pv) = 42, 0xFFFFFFFFu; }

TEST(VqxThread, CreateNamesSizesClassesStopsAndJoins) {
  const int nMin = sched_get_priority_min(SCHED_RR), nMax = sched_get_priority_max(SCHED_RR);
  const Row rows[] = {{"gwlib_discover", "gwlib_discover", 0, VQX_THREAD_PRIORITY_NORMAL, VQX_THREAD_DEFAULT_STACK_SIZE, -1},
                      {"exactly15chars_", "exactly15chars_", 0x300000, VQX_THREAD_PRIORITY_NORMAL, 0x300000, -1},
                      {"a_name_longer_than_fifteen", "a_name_longer_t", 0, 0, VQX_THREAD_DEFAULT_STACK_SIZE, -1},
                      {"rt_low", "rt_low", 0, VQX_THREAD_PRIORITY_RT_LOW, 0, nMin},
                      {"rt_mid", "rt_mid", 0, VQX_THREAD_PRIORITY_RT_MID, 0, nMin + (nMax - nMin) / 2},
                      {"rt_high", "rt_high", 0, VQX_THREAD_PRIORITY_RT_HIGH, 0, nMax - 1}};
  for (const auto& row : rows) {
    Probe probe{&row, {}};
    const VQX_THREAD_PARAMS params{row.pszName, row.un32Stack, row.un32Class};
    u32 result = 0;
    ASSERT_EQ(VqxThreadCreate(&probe.rec, ProbeThread, &probe, &params), VQX_RESULT_OK) << row.pszName;
    EXPECT_EQ(VqxThreadStopRequested(&probe.rec), 0u);
    VqxThreadRequestStop(&probe.rec);
    EXPECT_EQ((Results{VqxThreadJoin(&probe.rec, &result), VqxThreadJoin(&probe.rec, nullptr), result}),
              (Results{VQX_RESULT_OK, VQX_RESULT_INVALID_STATE, 0xC0FFEE01u}))
        << row.pszName << ": the function's result once it saw the stop request, then joined twice";
  }
  VQX_THREAD_RECORD rec;
  const VQX_THREAD_PARAMS badClass{"x", 0, 5}, smallStack{"x", 1024, 1};
  EXPECT_EQ((Results{VqxThreadCreate(&rec, ProbeThread, nullptr, &badClass), VqxThreadCreate(&rec, ProbeThread, nullptr, &smallStack),
                     VqxThreadCreate(nullptr, ProbeThread, nullptr, nullptr), VqxThreadCreate(&rec, nullptr, nullptr, nullptr),
                     VqxThreadJoin(nullptr, nullptr)}),
            (Results{VQX_RESULT_INVALID_PARAM, VQX_RESULT_INVALID_PARAM, VQX_RESULT_NULL_PARAM, VQX_RESULT_NULL_PARAM,
                     VQX_RESULT_NULL_PARAM}));
  int n = 0;  // the common entry point hands back the u32 result unextended
  rec.pFctThread = StoreArgument, rec.pvArg = &n;
  EXPECT_TRUE(reinterpret_cast<uintptr_t>(VqxThreadCreateEntryPoint(&rec)) == 0xFFFFFFFFu && n == 42);
}

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VqxMutexCreate(&h_), VQX_RESULT_OK); }
  void TearDown() override { EXPECT_EQ(VqxMutexDestroy(h_), VQX_RESULT_OK); }
  template <class F>
  static VQX_RESULT OnOtherThread(F f) {  // runs f on another thread and returns its result
    VQX_RESULT r = 0;
    std::thread([&] { r = f(); }).join();
    return r;
  }
  VQX_MUTEX_HANDLE h_ = nullptr;
};

TEST_F(MutexTest, RecursiveOwnerAndOtherThreads) {
  ASSERT_EQ((Results{VqxMutexHeldCount(h_), VqxMutexGet(h_), VqxMutexTryGet(h_), VqxMutexTimedGet(h_, 0), VqxMutexHeldCount(h_)}),
            (Results{0, VQX_RESULT_OK, VQX_RESULT_OK, VQX_RESULT_OK, 3}));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ((Results{OnOtherThread([&] { return VQX_RESULT(VqxMutexHeldCount(h_)); }),
                     OnOtherThread([&] { return VqxMutexTryGet(h_); }), OnOtherThread([&] { return VqxMutexTimedGet(h_, 0); }),
                     OnOtherThread([&] { return VqxMutexTimedGet(h_, 30); }), OnOtherThread([&] { return VqxMutexGive(h_); }),
                     OnOtherThread([&] { return VqxMutexDestroy(h_); }), VqxMutexDestroy(h_)}),
            (Results{0, VQX_RESULT_NOT_READY, VQX_RESULT_TIMEOUT, VQX_RESULT_TIMEOUT, VQX_RESULT_INVALID_STATE,
                     VQX_RESULT_INVALID_STATE, VQX_RESULT_INVALID_STATE}))
      << "held elsewhere: try, time-outs; only the owner gives; nobody destroys a held mutex";
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25)) << "the 30 ms time-out waited";
  // Held here, a wait elsewhere times out after about the time asked (the upper bound is for a loaded machine);
  // 999 ms added to a now of many nanoseconds must carry into the seconds, or the deadline is refused at once.
  for (const u32 un32Ms : {1u, 999u, 1000u}) {
    const auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, un32Ms); }), VQX_RESULT_TIMEOUT) << un32Ms;
    const auto waited = std::chrono::steady_clock::now() - t;
    EXPECT_GE(waited, std::chrono::microseconds(un32Ms * 900)) << un32Ms;
    EXPECT_LT(waited, std::chrono::milliseconds(un32Ms + 3000)) << un32Ms;
  }
  EXPECT_EQ((Results{VqxMutexGive(h_), VqxMutexGive(h_), VqxMutexHeldCount(h_), VqxMutexGive(h_), VqxMutexGive(h_)}),
            (Results{VQX_RESULT_OK, VQX_RESULT_OK, 1, VQX_RESULT_OK, VQX_RESULT_INVALID_STATE}));
  // Taken at once, not at the end of the time-out: what the machine held the threads meanwhile is allowed on top.
  const peerwait::StallProbe Stall;
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(OnOtherThread([&] { return VqxMutexTimedGet(h_, 1000) == VQX_RESULT_OK ? VqxMutexGive(h_) : 0u; }), VQX_RESULT_OK);
  const auto t2 = std::chrono::steady_clock::now();
  EXPECT_LT(t2 - t1, std::chrono::milliseconds(900 + Stall.WorstMs(t1, t2))) << "a free mutex is taken at once, " << Stall.Seen();
  EXPECT_EQ((Results{VqxMutexCreate(nullptr), VqxMutexDestroy(nullptr), VqxMutexGet(nullptr), VqxMutexTryGet(nullptr),
                     VqxMutexTimedGet(nullptr, 1), VqxMutexGive(nullptr)}),
            Results(6, VQX_RESULT_NULL_PARAM));
  EXPECT_EQ(VqxMutexHeldCount(nullptr), 0u);
}

TEST_F(MutexTest, MutualExclusionUnderContention) {
  long counter = 0;  // plain: only safe under the mutex, taken twice (nested) by each of 4 threads
  std::vector<std::thread> threads(4);
  for (auto& t : threads)
    t = std::thread([&] { for (int i = 0; i < 20000; ++i) VqxMutexGet(h_), VqxMutexGet(h_), ++counter, VqxMutexGive(h_), VqxMutexGive(h_); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
