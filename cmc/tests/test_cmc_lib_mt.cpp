/*
 * The client singleton's registries under threads: legs and mixers added,
 * found and removed from four threads at once, one id contended by all of
 * them, finds held under LegIdLock; attributes destroyed on one thread while
 * the singleton closes the core library on another. Run under
 * ThreadSanitizer too.
 */
#include <latch>
#include <thread>

#include "comm_test_support.h"
#include "support/vqcaf_test_support.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_protocol_attribute.h"
#include "vqcmclib.h"

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

}  // namespace
