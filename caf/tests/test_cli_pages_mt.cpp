// The console across threads: Display takes the application mutex that a
// thread holds while it adds and removes pages (no deadlock), and a page
// removed while it is shown lives through the call and RemovePage waits it out.
#include <condition_variable>

#include "cli_test_support.h"
#include "support/vqcaf_test_support.h"

namespace {

TEST(CliPagesMt, PagesChangeUnderTheMutexDisplayTakes) {
  OffScreen C;
  CVQCAFMutex AppMutex;
  ASSERT_EQ(C.Cli.AddPage(CVQCAFPtr<IVQCAFCliPage>(new CDemoPage("first", &AppMutex))), VQX_RESULT_OK);
  std::atomic<bool> fDone{false};
  EndsInTime([&] {
    std::thread Console([&] {
      for (int i = 0; i < 3000 && !fDone; i++) {
        VqxCliToolsRefresh(C.Cli.GetHandle());
        VqxCliToolsInjectKey(C.Cli.GetHandle(), '\t');
      }
    });
    for (int i = 0; i < 300; i++) {
      CVQCAFMutexAutoGetGive Lock(&AppMutex);  // as an application adds and removes its pages
      CVQCAFPtr<IVQCAFCliPage> Page(new CDemoPage("churn", &AppMutex));
      EXPECT_EQ(C.Cli.AddPage(Page), VQX_RESULT_OK);
      EXPECT_EQ(C.Cli.RemovePage(Page, &AppMutex), VQX_RESULT_OK);
    }
    fDone = true;
    Console.join();
  });
}

/* Display blocks until released, so that the page is removed while shown. */
class CGatePage : public CDemoPage {
 public:
  CGatePage() : CDemoPage("gate") {}
  VQX_RESULT Display() override {
    std::unique_lock<std::mutex> Lock(mMutex);
    mfEntered = true;
    mCond.notify_all();
    mCond.wait(Lock, [this] { return mfRelease; });
    return CDemoPage::Display();  // the object must still be whole here
  }
  std::mutex mMutex;
  std::condition_variable mCond;
  bool mfEntered = false;
  bool mfRelease = false;
};

TEST(CliPagesMt, PageRemovedWhileShownSurvivesTheCall) {
  OffScreen C;
  auto* pGate = new CGatePage;
  CVQCAFPtr<IVQCAFCliPage> Page(pGate);
  ASSERT_EQ(C.Cli.AddPage(Page), VQX_RESULT_OK);
  std::thread Console([&] { VqxCliToolsRefresh(C.Cli.GetHandle()); });
  {
    std::unique_lock<std::mutex> Lock(pGate->mMutex);
    ASSERT_TRUE(pGate->mCond.wait_for(Lock, kBound, [&] { return pGate->mfEntered; }));
  }
  std::atomic<pid_t> nRemover{0};
  std::atomic<bool> fRemoved{false}, fDestroyedEarly{false};
  std::thread Remover = TrackedThread(nRemover, [&] {
    CVQCAFPtr<IVQCAFCliPage> Mine;
    Mine.Swap(Page);  // the owner's last share goes with the removal
    EXPECT_EQ(C.Cli.RemovePage(Mine), VQX_RESULT_OK);
    fRemoved = true;
    std::lock_guard<std::mutex> Lock(pGate->mMutex);  // still alive: this thread held a share until now
    fDestroyedEarly = !pGate->mfRelease;
  });
  EXPECT_TRUE(WaitBlocked(nRemover));  // RemovePage waits for the console to leave the page
  EXPECT_FALSE(fRemoved);
  {  // the page may go once released
    std::lock_guard<std::mutex> Lock(pGate->mMutex);
    pGate->mfRelease = true;
    pGate->mCond.notify_all();
  }
  Remover.join();
  Console.join();
  EXPECT_TRUE(fRemoved);
  EXPECT_FALSE(fDestroyedEarly);
}

}  // namespace
