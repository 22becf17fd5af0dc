// CVQCAFPtr: counts, the allocator kinds, the unknown kind, and copies and
// releases on several threads at once (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/vqcaf_diag_capture.h"
#include "vqcafdebuginfo.h"
#include "vqcafptr.h"

using namespace VQCAF;

namespace {

std::atomic<int> g_nDestroyed{0};

struct CObject {
  virtual ~CObject() { ++g_nDestroyed; }
  int n = 0;
};
struct CDerivedObject : CObject {
  ~CDerivedObject() override { ++g_nDestroyed; }
};
struct CPlain {
  int a;
  int b;
};

}  // namespace

TEST(Ptr, CountsFollowCopiesAndReleases) {
  g_nDestroyed = 0;
  CVQCAFPtr<CObject> a(new CObject);
  EXPECT_EQ(a.GetRefCount(), 1u);
  EXPECT_EQ(a.GetAllocType(), VQCAF_PTR_ALLOC_NEW);
  {
    CVQCAFPtr<CObject> b = a;
    CVQCAFPtr<CObject> c;
    c = b;
    EXPECT_EQ(a.GetRefCount(), 3u);
    EXPECT_EQ(c.Get(), a.Get());
    CVQCAFPtr<CObject> d(std::move(c));
    EXPECT_TRUE(c.IsNull());
    EXPECT_EQ(a.GetRefCount(), 3u);
  }
  EXPECT_EQ(a.GetRefCount(), 1u);
  EXPECT_EQ(g_nDestroyed, 0);
  a = new CObject;  // drops the first object
  EXPECT_EQ(g_nDestroyed, 1);
  EXPECT_EQ(a.GetRefCount(), 1u);
  a.Release();
  EXPECT_EQ(g_nDestroyed, 2);
  EXPECT_TRUE(a.IsNull());
  EXPECT_EQ(a.GetRefCount(), 0u);
  a.Release();  // empty: nothing
  CVQCAFPtr<CObject> e = a;
  EXPECT_EQ(e.GetRefCount(), 0u);
}

TEST(Ptr, BaseSharesDerivedAndFreesByVirtualDestructor) {
  g_nDestroyed = 0;
  CVQCAFPtr<CDerivedObject> d(new CDerivedObject);
  CVQCAFPtr<CObject> b(d);
  EXPECT_EQ(d.GetRefCount(), 2u);
  d.Release();
  EXPECT_EQ(g_nDestroyed, 0);
  b.Release();
  EXPECT_EQ(g_nDestroyed, 2);  // derived and base destructors
}

TEST(Ptr, AllocatorKinds) {
  CDiagCapture Capture;
  g_nDestroyed = 0;
  {
    CPlain* p = static_cast<CPlain*>(malloc(sizeof(CPlain)));
    CVQCAFPtr<CPlain> m(p, VQCAF_PTR_ALLOC_MALLOC);  // freed with free (ASan checks the pairing)
  }
  u32 un32Live = VqcafGetGuardedAllocationCount();
  {
    CVQCAFPtr<CObject> g(VQCAF_NEW(CObject), VQCAF_PTR_ALLOC_VQCAF_NEW);
    EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Live + 1);
  }
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32Live);
  EXPECT_EQ(g_nDestroyed, 1);
  EXPECT_TRUE(Capture.Lines().empty());
  CObject Local;
  {
    CVQCAFPtr<CObject> u(&Local, VQCAF_PTR_ALLOC_UNKNOWN);  // must not free a stack object
    CVQCAFPtr<CObject> v(&Local, 7u);
  }
  ASSERT_EQ(Capture.Lines().size(), 2u);
  EXPECT_EQ(Capture.Lines()[0], "CVQCAFPtr: Unknown allocator type, can't free!");
  EXPECT_EQ(g_nDestroyed, 1);
  // A guarded kind given an object that was not made by VQCAF_NEW: refused and reported, not freed.
  CObject* pForeign = new CObject;
  {
    CVQCAFPtr<CObject> f(pForeign, VQCAF_PTR_ALLOC_VQCAF_NEW);
  }
  ASSERT_EQ(Capture.Lines().size(), 3u);
  EXPECT_NE(Capture.Lines()[2].find("Corrupted buffer"), std::string::npos);
  delete pForeign;
}

/* Looks, while being destroyed, at the global mutex and at a pointer it holds. */
struct CInspector {
  explicit CInspector(u32* pun32Held) : pun32GlobalHeld(pun32Held) {}
  ~CInspector() {
    *pun32GlobalHeld = GetGlobalMutex()->GetHeldCount();
    // Another thread must be able to change counts meanwhile.
    std::thread([this] { CVQCAFPtr<CObject> Copy = Inner; }).join();
    Inner.Release();  // the last reference of the inner object, from inside
  }
  CVQCAFPtr<CObject> Inner;
  u32* pun32GlobalHeld;
};

TEST(Ptr, LastReleaseFreesWithTheGlobalMutexGivenBack) {
  g_nDestroyed = 0;
  u32 un32Held = 0xFFFFFFFFu;
  {
    CVQCAFPtr<CInspector> Outer(new CInspector(&un32Held));
    Outer->Inner = new CObject;
    CVQCAFPtr<CInspector> Second = Outer;
    Outer.Release();
    EXPECT_EQ(un32Held, 0xFFFFFFFFu);  // one reference left: not destroyed
  }
  EXPECT_EQ(un32Held, 0u);     // the global mutex was not held during the deletion
  EXPECT_EQ(g_nDestroyed, 1);  // the inner object, released from the destructor
  EXPECT_EQ(GetGlobalMutex()->GetHeldCount(), 0u);
}

TEST(Ptr, ConcurrentCopiesAndReleases) {
  g_nDestroyed = 0;
  CVQCAFPtr<CObject> Shared(new CObject);
  std::vector<std::thread> Threads;
  for (int t = 0; t < 8; ++t) {
    // Each thread gets its own reference (taken here, on this thread).
    CVQCAFPtr<CObject> Mine = Shared;
    Threads.emplace_back([Mine]() mutable {
      for (int i = 0; i < 5000; ++i) {
        CVQCAFPtr<CObject> Copy = Mine;
        CVQCAFPtr<CObject> Second;
        Second = Copy;
        Copy.Release();
      }
      Mine.Release();
    });
  }
  for (auto& t : Threads) t.join();
  EXPECT_EQ(Shared.GetRefCount(), 1u);
  EXPECT_EQ(g_nDestroyed, 0);
  Shared.Release();
  EXPECT_EQ(g_nDestroyed, 1);
}

TEST(Ptr, LastReleaseOnAnyThreadFreesOnce) {
  for (int nRound = 0; nRound < 50; ++nRound) {
    g_nDestroyed = 0;
    std::vector<std::thread> Threads;
    {
      CVQCAFPtr<CObject> Shared(new CObject);
      for (int t = 0; t < 4; ++t) {
        CVQCAFPtr<CObject> Mine = Shared;
        Threads.emplace_back([Mine]() mutable { Mine.Release(); });
      }
    }
    for (auto& t : Threads) t.join();
    ASSERT_EQ(g_nDestroyed, 1) << nRound;
  }
}
