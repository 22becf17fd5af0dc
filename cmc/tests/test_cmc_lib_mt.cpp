/*
 * The client singleton's registries under threads: legs and mixers added,
 * found and removed from four threads at once, one id contended by all of
 * them, finds held under LegIdLock; attributes destroyed on one thread while
 * the singleton closes the core library on another; Detach while
 * notifications reach the user or a leg's commands run, and from inside a
 * handler. Run under ThreadSanitizer too.
 */
#include <chrono>
#include <latch>
#include <thread>

#include "comm_test_support.h"
#include "support/vqcaf_test_support.h"
#include "vqcmc_leg.h"
#include "vqcmc_libuser.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_protocol_attribute.h"
#include "vqcmclib.h"
#include "vqx_msg_element.h"

namespace {

TEST(CmcLibRegistriesMt, ChurnOnThreads) {
  ASSERT_EQ(CVQCMCLib::TestInstall(nullptr), VQX_RESULT_OK);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  constexpr u32 kThreads = 4, kRounds = 2000, kShared = 0x7FFFFFFF;
  std::atomic<u32> un32SharedWins{0}, un32Faults{0};
  std::vector<std::thread> aThreads;
  for (u32 t = 0; t < kThreads; t++) {
    aThreads.emplace_back([&, t] {
      CVQCMCLeg* pMine = reinterpret_cast<CVQCMCLeg*>(uintptr_t(t + 1) * 16);
      for (u32 i = 0; i < kRounds; i++) {
        const u32 un32Id = t * kRounds + i + 1;
        // Its own ids: every step must succeed and find what it added.
        if (pLib->LegIdAdd(un32Id, pMine) != VQX_RESULT_OK || pLib->LegIdFind(un32Id) != pMine ||
            pLib->MixerIdAdd(un32Id, reinterpret_cast<CVQCMCMixer*>(pMine)) != VQX_RESULT_OK) {
          un32Faults++;
        }
        // The shared id: whoever holds it under the lock sees its own object until it removes it.
        if (pLib->LegIdAdd(kShared, pMine) == VQX_RESULT_OK) {
          pLib->LegIdLock();
          if (pLib->LegIdFind(kShared) != pMine || pLib->LegIdRemove(kShared) != VQX_RESULT_OK) un32Faults++;
          pLib->LegIdUnlock();
          un32SharedWins++;
        }
        if (pLib->LegIdRemove(un32Id) != VQX_RESULT_OK || pLib->MixerIdRemove(un32Id) != VQX_RESULT_OK) un32Faults++;
      }
    });
  }
  for (std::thread& T : aThreads) T.join();
  EXPECT_EQ(un32Faults.load(), 0u);
  EXPECT_GT(un32SharedWins.load(), 0u);
  EXPECT_EQ(pLib->LegIdFind(kShared), nullptr);
  EXPECT_EQ(pLib->LegIdRemove(1), VQX_RESULT_NOT_FOUND);  // every id went away again
  CVQCMCLib::TestUninstall();
}

/* The bridge with no transport; the singleton opens the core library itself and closes it in Uninit. */
class CmcHoldersMt : public vqtest::CommTest {};

TEST_F(CmcHoldersMt, DestroyedWhileTheLibraryCloses) {
  const u32 un32Before = Allocated();
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(nullptr), VQX_RESULT_OK);
  constexpr u32 kPairs = 64;
  std::vector<std::unique_ptr<CVQCMC_RECORD_ATTRIBUTE>> aRecords;
  std::vector<std::unique_ptr<CVQCMC_PROTOCOL_ATTRIBUTE>> aProtocols;
  for (u32 i = 0; i < kPairs; i++) {
    aRecords.push_back(std::make_unique<CVQCMC_RECORD_ATTRIBUTE>());
    aProtocols.push_back(std::make_unique<CVQCMC_PROTOCOL_ATTRIBUTE>());
    ASSERT_TRUE(aRecords.back()->GetMsg() != nullptr && aProtocols.back()->GetMsg() != nullptr);
  }
  // The first half goes while the library closes, the second once it is closed.
  std::latch Start(2), Closed(1);
  std::thread Destroyer([&] {
    Start.arrive_and_wait();
    for (u32 i = 0; i < kPairs; i++) {
      if (i == kPairs / 2) Closed.wait();
      aRecords[i].reset(), aProtocols[i].reset();
    }
  });
  Start.arrive_and_wait();
  EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);
  Closed.count_down();
  Destroyer.join();
  EXPECT_EQ(Allocated(), un32Before) << "every buffer given back";
  EXPECT_EQ(Logged("Failed to free message"), 0u);
}

/* A ready notification whose statistics set holds one record, as a server's would. */
VQX_MSG_HANDLE ReadyNotification(VQX_LIB_HANDLE hLib) {
  VQX_MSG_HANDLE h = vqtest::HostMsg(hLib, VQCMC_APP_MSG_NOTIF_READY, std::string(1024, '\0'));
  h->MsgType = 4;
  void* pv = nullptr;
  EXPECT_EQ(VQXMsgElementInit(h, 36), VQX_RESULT_OK);
  EXPECT_EQ(VQXMsgElementAlloc(h, reinterpret_cast<u8*>(h) + VQX_MSG_OFFSET_PAYLOAD + 32, 216, &pv), VQX_RESULT_OK);
  return h;
}

/* Counts its callbacks; the statistics callback may detach the user. */
struct CountingUser : CVQCMCLibUser {
  void OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>>) override {
    mun32Calls++;
    if (mfDetachInStats) mDetachResult = CVQCMCLib::Detach();
  }
  void OnCmcLibReady() override { mun32Calls++; }
  std::atomic<u32> mun32Calls{0};
  bool mfDetachInStats = false;
  VQX_RESULT mDetachResult = 0;
};

/* Detach on one thread while ready notifications reach the user on another: the handler in flight
 * ends first, none calls the user after Detach returned, and nothing reads a cleared user. */
TEST_F(CmcHoldersMt, DetachWhileNotificationsArrive) {
  constexpr u32 kRounds = 20, kNotifs = 40;
  CountingUser U;
  for (u32 r = 0; r < kRounds; r++) {
    CVQCMCLibParams P;
    ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
    ASSERT_EQ(CVQCMCLib::Attach(&U), VQX_RESULT_OK);
    CVQCMCLib* pLib = CVQCMCLib::GetInstance();
    std::latch Start(2);
    std::atomic<u32> un32Failed{0};
    std::thread Feeder([&] {
      Start.arrive_and_wait();
      for (u32 i = 0; i < kNotifs; i++) {
        VQX_MSG_HANDLE h = ReadyNotification(mhLib);
        un32Failed += pLib->HandleMessage(&h) != VQX_RESULT_OK || h != nullptr;
      }
    });
    Start.arrive_and_wait();
    EXPECT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
    const u32 un32AtDetach = U.mun32Calls.load();
    Feeder.join();
    EXPECT_EQ(U.mun32Calls.load(), un32AtDetach) << "round " << r;
    EXPECT_EQ(un32Failed.load(), 0u);
    EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);
  }
}

/* Commands on one thread while Detach runs on another: each fails as before (no server made the leg:
 * the not-ready code) or is refused (0x82000014), and refused once Detach has returned. */
TEST_F(CmcHoldersMt, CommandsWhileDetaching) {
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(nullptr), VQX_RESULT_OK);
  {
    CVQCAFMutex Mutex;
    CVQCMCLeg Leg(0, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr, 0, &Mutex);
    std::atomic<bool> fDetached{false};
    std::atomic<u32> un32Wrong{0}, un32Refused{0};
    std::latch Start(2);
    std::thread Caller([&] {
      Start.arrive_and_wait();
      // Bounded in time, not in calls: a loaded machine may run many before Detach begins.
      const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (un32Refused.load() < 50 && std::chrono::steady_clock::now() < Deadline) {
        const bool fAfter = fDetached.load();
        const VQX_RESULT Result = Leg.PlayDigit("1", nullptr);
        if (Result == VQX_RESULT_NOT_INITIALIZED) {
          un32Refused++;
        } else if (fAfter || Result != VQX_RESULT_API_ADA_NOT_READY) {
          un32Wrong++;
        }
      }
    });
    Start.arrive_and_wait();
    EXPECT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
    fDetached = true;
    Caller.join();
    EXPECT_EQ(un32Wrong.load(), 0u);
    EXPECT_EQ(un32Refused.load(), 50u);
  }
  EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);
}

/* Detach from inside a handler's user callback: no wait on itself, and the handler calls the user
 * no more (ready follows the statistics in the same handler). */
TEST_F(CmcHoldersMt, DetachFromInsideAHandler) {
  CountingUser U;
  U.mfDetachInStats = true;
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(&U), VQX_RESULT_OK);
  VQX_MSG_HANDLE h = ReadyNotification(mhLib);
  EXPECT_EQ(CVQCMCLib::GetInstance()->HandleMessage(&h), VQX_RESULT_OK);
  EXPECT_EQ(U.mDetachResult, VQX_RESULT_OK);
  EXPECT_EQ(U.mun32Calls.load(), 1u) << "statistics only";
  EXPECT_EQ(CVQCMCLib::GetInstance()->GetUser(), nullptr);
  h = ReadyNotification(mhLib);
  EXPECT_EQ(CVQCMCLib::GetInstance()->HandleMessage(&h), VQX_RESULT_OK);
  EXPECT_EQ(U.mun32Calls.load(), 1u);
  EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);
}

}  // namespace
