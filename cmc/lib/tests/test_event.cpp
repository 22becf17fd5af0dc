/* Entity events on the injected clock (single-thread job mode): due times, keys, cancel, termination. */
#include "support/cmc_fixture.h"

namespace {

enum Action { kNone, kDuplicate, kCancel, kCancelRunning, kTerminated, kDestroyDeferred };
/* {name, delay, scheduling result, then, its result, the cancelled flag each delivery showed} */
struct Row { const char* pszName; u32 un32Delay; VQX_RESULT scheduled; Action action; VQX_RESULT acted; std::vector<u8> aDelivered; };

class EntityEvents : public CmcTest {
 public:
  static void OnMsg(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}
  static void OnEvent(VQCMC_LIB_HANDLE, void* pv, u64 un64Key, u8* pfCancelled) {
    auto* pTest = static_cast<EntityEvents*>(pv);
    pTest->mEvents.push_back(*pfCancelled);
    if (pTest->mpCancelRunning) {
      pTest->mCancelRunning = pTest->Locked([&] { return VqCmcLibEntityEventCancel(pTest->mhCmc, pTest->mpCancelRunning, un64Key); });
    }
  }
  std::vector<u8> mEvents;
  _VQCMC_ENTITY_CTX* mpCancelRunning = nullptr;
  VQX_RESULT mCancelRunning = 0;
};

TEST_F(EntityEvents, DueTimesKeysCancelAndTermination) {
  const VQX_RESULT kOk = VQX_RESULT_OK;
  const Row aRows[] = {
      {"delay 0 posts now", 0, kOk, kNone, kOk, {0}},
      {"delay all ones posts now", 0xFFFFFFFFu, kOk, kNone, kOk, {0}},
      {"12 ms", 12, kOk, kNone, kOk, {0}},
      {"150 ms", 150, kOk, kNone, kOk, {0}},
      {"5000 ms", 5000, kOk, kNone, kOk, {0}},
      /* The wheel would take a due time half the clock away as past and fire it at once. */
      {"0x80000000 ms refused", 0x80000000u, VQX_RESULT_INVALID_PARAM, kNone, kOk, {}},
      {"duplicate key keeps the first", 500, kOk, kDuplicate, VQX_RESULT_ACCESS_DENIED, {0}},
      {"cancel while timed", 500, kOk, kCancel, kOk, {}},
      {"cancel while queued", 0, kOk, kCancel, kOk, {1}},
      {"cancel while running", 0, kOk, kCancelRunning, kOk, {0}},
      {"refused after termination, not kept", 500, kOk, kTerminated, kOk, {}},
      {"deferred destroy drops its events", 500, kOk, kDestroyDeferred, kOk, {}},
  };
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  u32 un32Id = 0x40;
  for (const Row& row : aRows) {
    _VQCMC_ENTITY_CTX* pLeg = Leg(++un32Id, 0x100, OnMsg, OnEvent, this);
    const u64 un64Key = 0xABCD000000000000ull | un32Id;
    mEvents.clear(), mpCancelRunning = row.action == kCancelRunning ? pLeg : nullptr;
    const u32 un32Destroyed = Stats().un32LegsDestroyed;
    Advance(VQCMC_TIMER_POLL_MIN_MS + 1);
    mun32Now += 90;  /* due times count from here, not from the last poll */
    ASSERT_EQ(Locked([&] { return VqCmcLibEntityEvent(mhCmc, pLeg, un64Key, row.un32Delay); }), row.scheduled)
        << row.pszName;
    VQX_MSG_HANDLE h = Whole(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 0x100);
    const VQX_RESULT acted = Locked([&] {
      switch (row.action) {
        case kDuplicate: return VqCmcLibEntityEvent(mhCmc, pLeg, un64Key, 100);
        case kCancel: return VqCmcLibEntityEventCancel(mhCmc, pLeg, un64Key);
        case kTerminated: return VqCmcThreadJobPost(mhCmc, pLeg, 0, un32Id, &h);
        case kDestroyDeferred:  /* the pending job defers the destroy; the timer is dropped */
          return VqCmcThreadJobPost(mhCmc, pLeg, 0, un32Id, &h) | VqCmcLibEntityDestroy(mhCmc, un32Id);
        default: return VQX_RESULT_OK;
      }
    });
    if (h != nullptr) VQXReleaseMsgEx(mhVqx, &h);
    EXPECT_EQ(acted, row.acted) << row.pszName;
    const bool fTimed = row.un32Delay != 0 && row.un32Delay != 0xFFFFFFFFu && row.scheduled == VQX_RESULT_OK;
    if (fTimed) Advance(row.un32Delay - 1);  /* a poll 1 ms before the due time delivers nothing */
    EXPECT_TRUE(!fTimed || mEvents.empty()) << row.pszName;
    Advance(VQCMC_TIMER_POLL_MIN_MS + 1);
    EXPECT_TRUE(mEvents == row.aDelivered && (row.action != kCancelRunning || mCancelRunning == kOk)) << row.pszName;
    EXPECT_TRUE(VQX_RESULT_FAILED(VQXHashFind(mhCmc->hHashOfTimers, un64Key, nullptr)) &&  /* no record kept */
                (row.action == kDestroyDeferred || (pLeg->un32NbPendingTimers == 0 && pLeg->pEventHead == nullptr &&
                                                    Locked([&] { return VqCmcLibEntityDestroy(mhCmc, un32Id); }) == kOk)))
        << row.pszName;
    EXPECT_EQ(Stats().un32LegsDestroyed, un32Destroyed + 1) << row.pszName << ": freed at once";
  }
  EXPECT_EQ(LogCount("VqCmcLibEntityEventInsertTimer Failed Delay=0x80000000"), 1u);
  EXPECT_EQ(LogCount("Ignoring Entity Event for EntityId=0x0000004B"), 1u);
  /* Left pending at close: freed with the table (the sanitizer build sees a leak). */
  ASSERT_EQ(Locked([&] { return VqCmcLibEntityEvent(mhCmc, Leg(0x70, 0x100, OnMsg, OnEvent, this), 1, 1000); }), 0x02000000u);
}

}  // namespace
