/* The job layer in single-thread mode (FIFO run at the end of each intake) and the timers. */
#include <cstring>

#include "support/cmc_fixture.h"

namespace {

struct Seen {
  std::vector<u32> Ids;
  std::vector<std::pair<u64, u8>> Events;  /* key, cancelled flag as the callback saw it */
};

void OnLegMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) { static_cast<Seen*>(pv)->Ids.push_back((*phMsg)->un32MsgId); }
void OnLegEvent(VQCMC_LIB_HANDLE, void* pv, u64 un64Key, u8* pfCancelled) {
  static_cast<Seen*>(pv)->Events.emplace_back(un64Key, *pfCancelled);
}

class FifoJobs : public CmcTest {
 public:
  /* Opens the library and makes leg 0x11 on server 0x100, its callbacks recording into mSeen. */
  _VQCMC_ENTITY_CTX* OpenLeg() {
    EXPECT_EQ(Open(), VQX_RESULT_OK);
    return Leg(0x11, 0x100, OnLegMsg, OnLegEvent, &mSeen);
  }
  VQX_RESULT Post(_VQCMC_ENTITY_CTX* pLeg, u32 un32Id, i32 n32Result = 0) {
    return PostMsg(pLeg, Whole(un32Id, 0x100, n32Result));
  }
  VQX_RESULT PostMsg(_VQCMC_ENTITY_CTX* pLeg, VQX_MSG_HANDLE h) {
    const VQX_RESULT result = Locked([&] { return VqCmcThreadJobPost(mhCmc, pLeg, 0, pLeg->Params.un32SerialisationId, &h); });
    EXPECT_EQ(h, nullptr);
    return result;
  }
  VQX_RESULT Event(_VQCMC_ENTITY_CTX* pLeg, u64 un64Key, bool fCancel = false) {
    return Locked([&] {
      return fCancel ? VqCmcThreadJobEventCancel(mhCmc, pLeg, un64Key)
                     : VqCmcThreadJobEventPostInternal(mhCmc, pLeg, un64Key, __FILE__, __LINE__);
    });
  }
  Seen mSeen;
};

TEST_F(FifoJobs, OrderTerminateRefusalAndExactCounters) {
  _VQCMC_ENTITY_CTX* pLeg = OpenLeg();
  _VQCMC_ENTITY_CTX* pLeg2 = Leg(0x12, 0x100, OnLegMsg, OnLegEvent, &mSeen);
  for (u32 i = 1; i <= 5; i++) EXPECT_EQ(Post(pLeg, 0x0A010100u + i), VQX_RESULT_OK);
  EXPECT_EQ(Post(pLeg, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED), VQX_RESULT_OK);
  EXPECT_EQ(Post(pLeg, 0x0A010199u), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Event(pLeg, 77), VQX_RESULT_INVALID_STATE);
  /* A failed creation closes the leg too; a successful one does not. */
  EXPECT_EQ(Post(pLeg2, VQCMC_MSG_CMD_CALL_LEG_CREATE, 0), VQX_RESULT_OK);
  EXPECT_EQ(Post(pLeg2, VQCMC_MSG_CMD_CALL_LEG_CREATE, -5), VQX_RESULT_OK);
  EXPECT_EQ(Post(pLeg2, 0x0A010199u), VQX_RESULT_INVALID_STATE);
  ExpectCounters(8, 0, 0);
  EXPECT_EQ(pLeg->un32NbPendingJobs, 6u);
  Intake();
  EXPECT_EQ(mSeen.Ids, (std::vector<u32>{0x0A010101u, 0x0A010102u, 0x0A010103u, 0x0A010104u, 0x0A010105u,
                                        VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, VQCMC_MSG_CMD_CALL_LEG_CREATE,
                                        VQCMC_MSG_CMD_CALL_LEG_CREATE}));
  ExpectCounters(0, 0, 8);
  EXPECT_EQ(pLeg->un32NbPendingJobs, 0u);
  EXPECT_EQ(LogCount("Ignoring MsgId=0x0A010199 for EntityId=0x00000011, which 'terminate' has already been posted"), 1u);
}

/* An end closes its entity only in the form the application's objects take it (the kind, as long as
 * what they read): one cut short or of another kind is delivered as any message, and the entity hears
 * what follows, its proper end included. */
TEST_F(FifoJobs, OnlyAWholeEndClosesItsEntity) {
  constexpr u32 kEvent = VQX_MSG_TYPE_EVENT, kResponse = VQX_MSG_TYPE_RESPONSE, kRequest = VQX_MSG_TYPE_REQUEST;
  constexpr u32 kEnd = VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, kCreate = VQCMC_MSG_CMD_CALL_LEG_CREATE;
  constexpr u32 kMixerCreate = VQCMC_MSG_CMD_MIXER_CREATE, kMixerEnd = VQCMC_MSG_NOTIF_MIXER_TERMINATED;
  const struct {
    const char* pszName;
    u32 un32Id, un32Type, un32Size;
    i32 n32Result;
    bool fEnds;
  } aRows[] = {
      {"call end", kEnd, kEvent, 184, 0, true},
      {"call end a byte short", kEnd, kEvent, 183, 0, false},
      {"call end cut to 40 bytes", kEnd, kEvent, 40, 0, false},
      {"call end as a response", kEnd, kResponse, 184, 0, false},
      {"call end as a request", kEnd, kRequest, 184, 0, false},
      {"refused create", kCreate, kResponse, 872, -5, true},
      {"refused create a byte short", kCreate, kResponse, 871, -5, false},
      {"refused create as an event", kCreate, kEvent, 872, -5, false},
      {"accepted create", kCreate, kResponse, 872, 0, false},
      {"refused mixer create", kMixerCreate, kResponse, 152, -5, true},
      {"refused mixer create a byte short", kMixerCreate, kResponse, 151, -5, false},
      {"mixer end", kMixerEnd, kEvent, 40, 0, true},
      {"mixer end as a response", kMixerEnd, kResponse, 40, 0, false},
      {"the library's leg end", VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, kEvent, 40, 0, true},
  };
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  u32 un32Id = 0x20;
  for (const auto& Row : aRows) {
    _VQCMC_ENTITY_CTX* pLeg = Leg(++un32Id, 0x100, OnLegMsg, OnLegEvent, &mSeen);
    mSeen.Ids.clear();
    EXPECT_EQ(PostMsg(pLeg, Msg(Row.un32Id, 0x100, Row.un32Type, Row.un32Size, Row.n32Result)), VQX_RESULT_OK)
        << Row.pszName;
    EXPECT_EQ(Post(pLeg, 0x0A010199u), Row.fEnds ? VQX_RESULT_INVALID_STATE : VQX_RESULT_OK) << Row.pszName;
    EXPECT_EQ(Post(pLeg, kEnd), Row.fEnds ? VQX_RESULT_INVALID_STATE : VQX_RESULT_OK) << Row.pszName;
    EXPECT_EQ(Post(pLeg, 0x0A010198u), VQX_RESULT_INVALID_STATE) << Row.pszName << ": the whole end closes it";
    Intake();
    const std::vector<u32> aDelivered = Row.fEnds ? std::vector<u32>{Row.un32Id}
                                                  : std::vector<u32>{Row.un32Id, 0x0A010199u, kEnd};
    EXPECT_EQ(mSeen.Ids, aDelivered) << Row.pszName;
  }
}

TEST_F(FifoJobs, FullFifoRefusesAndReleases) {
  mun32FifoMax = 3;
  _VQCMC_ENTITY_CTX* pLeg = OpenLeg();
  for (u32 i = 0; i < 3; i++) EXPECT_EQ(Post(pLeg, 0x0A010101u), VQX_RESULT_OK);
  EXPECT_EQ(Post(pLeg, 0x0A010101u), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(LogCount("un32JobsFifoMax reached"), 1u);
  ExpectCounters(3, 0, 0);
  EXPECT_EQ(pLeg->un32NbPendingJobs, 3u);
  Intake();
  EXPECT_EQ(mSeen.Ids.size(), 3u);
}

/* A cancelled event stays queued and counted until it runs (its callback sees the flag), and
 * frees its key at once: a newer event of the key is posted, runs, and is not unhooked. */
TEST_F(FifoJobs, CancelledEventKeepsItsCountsAndLeavesANewerEventAlone) {
  _VQCMC_ENTITY_CTX* pLeg = OpenLeg();
  EXPECT_EQ(Event(pLeg, 42), VQX_RESULT_OK);
  EXPECT_EQ(Event(pLeg, 42), VQX_RESULT_ACCESS_DENIED);  /* the key is pending */
  EXPECT_EQ(Event(pLeg, 42, true), VQX_RESULT_OK);
  ExpectCounters(1, 0, 0);
  EXPECT_EQ(pLeg->un32NbPendingJobs, 1u);
  EXPECT_EQ(Event(pLeg, 42), VQX_RESULT_OK);
  EXPECT_EQ(Event(pLeg, 43, true), VQX_RESULT_NOT_FOUND);
  Intake();
  EXPECT_EQ(mSeen.Events, (std::vector<std::pair<u64, u8>>{{42, 1}, {42, 0}}));
  ExpectCounters(0, 0, 2);
  /* A leg destroyed with a job queued is destroyed by that job, which calls nothing. */
  EXPECT_EQ(Event(pLeg, 44), VQX_RESULT_OK);
  VqxMutexGet(mhCmc->hThreadSem);
  EXPECT_EQ(VqCmcLibEntityDestroy(mhCmc, pLeg->Params.EntityId), VQX_RESULT_OK);
  VqxMutexGive(mhCmc->hThreadSem);
  EXPECT_EQ(Stats().un32LegsActive, 1u);
  Intake();
  EXPECT_EQ(mSeen.Events.size(), 2u);
  EXPECT_EQ(Stats().un32LegsDestroyed, 1u);
}

TEST_F(FifoJobs, StopDropsQueuedJobsWithTheirMessages) {
  _VQCMC_ENTITY_CTX* pLeg = OpenLeg();
  for (u32 i = 0; i < 4; i++) Post(pLeg, 0x0A010101u);
  EXPECT_EQ(VQCmcLibStop(mhCmc), VQX_RESULT_OK);
  Intake();
  EXPECT_TRUE(mSeen.Ids.empty());
  ExpectCounters(0, 0, 4);
  EXPECT_EQ(pLeg->un32NbPendingJobs, 0u);
}

TEST_F(FifoJobs, TimersRearmAllBeforeSignallingAndRetryAFailedSignal) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  _VQCMC_TIMER aTimers[4]{};
  VqxMutexGet(mhCmc->hThreadSem);
  for (u32 i = 0; i < 4; i++) {
    aTimers[i].un32MsgId = VQCMC_PRIV_LEG_TIMEOUT;
    aTimers[i].un64Key = i;
    EXPECT_EQ(VqCmcStateSetTimeout(mhCmc, &aTimers[i], 9, i == 3 ? VQCMC_TIMER_DISARMED : 500), VQX_RESULT_OK);
  }
  EXPECT_EQ(VqCmcStateSetTimeout(mhCmc, &aTimers[0], 9, 5000), VQX_RESULT_OK);  /* re-armed: later */
  VqxMutexGive(mhCmc->hThreadSem);
  mhCmc->Seams.un32FailNextSends = 1;
  Advance(501);
  EXPECT_EQ(LogCount("VqCmcStatePollTimeout: VqCmcMsgPrivateSend Failed"), 1u);
  /* Both expired timers are armed again; the one whose signal failed fires at the next poll. */
  EXPECT_EQ(aTimers[1].fInUse, 1u);
  EXPECT_EQ(aTimers[2].fInUse, 1u);
  EXPECT_EQ(aTimers[3].fInUse, 0u);
  ASSERT_EQ(mLoopBack.size(), 1u);
  const u64 un64Signalled = mLoopBack[0]->un64UserContext1;
  Advance(50);   /* within 100 ms of the last poll: no poll */
  EXPECT_EQ(mLoopBack.size(), 0u);
  Advance(60);
  ASSERT_EQ(mLoopBack.size(), 1u);
  EXPECT_EQ(mLoopBack[0]->un64UserContext1, 3u - un64Signalled);  /* the other of timers 1 and 2 */
  EXPECT_EQ(mLoopBack[0]->un64UserContext2, 9u);
  VqxMutexGet(mhCmc->hThreadSem);
  for (_VQCMC_TIMER& t : aTimers) VqCmcStateSetTimeout(mhCmc, &t, 0, VQCMC_TIMER_DISARMED);
  VqxMutexGive(mhCmc->hThreadSem);
}

TEST_F(FifoJobs, ClockStepsBackLessThanASecondAreIgnored) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  /* {raw reading, library time}: 1..999 ms back keeps the previous reading; 1000 and more is taken. */
  const std::pair<u32, u32> aRows[] = {{100000, 100000}, {99001, 100000}, {100500, 100500}, {99501, 100500},
                                       {99500, 99500}, {0xFFFFFFF0u, 0xFFFFFFF0u}, {5, 5}};
  for (const auto& [un32Raw, un32Expected] : aRows) {
    mun32Now = un32Raw;
    EXPECT_EQ(VqCmcClockRead(mhCmc), un32Expected) << un32Raw;
  }
}

}  // namespace
