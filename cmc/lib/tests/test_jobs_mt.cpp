/* The job layer on the worker pool (4 threads): order per key, cancels, counters, the waits for local jobs. */
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "peers/wait_until.h"
#include "support/cmc_fixture.h"

namespace {

/* What the callbacks of every leg record; a gate holds the callbacks of one key. */
struct Record {
  std::mutex Mutex;
  std::condition_variable Cond;
  std::map<u32, std::vector<u32>> Seq;  /* per leg: the sequence numbers in arrival order */
  u32 un32Calls = 0;
  u32 un32Entered = 0;
  u32 un32GateKey = 0;
  bool fGateOpen = true;
  bool WaitCalls(u32 n, bool fEntered = false) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Cond.wait_for(lock, std::chrono::seconds(20), [&] { return (fEntered ? un32Entered : un32Calls) >= n; });
  }
  /* Holds the callbacks of that key (0: lets every callback run). */
  void Gate(u32 un32Key) {
    std::lock_guard<std::mutex> guard(Mutex);
    un32GateKey = un32Key;
    fGateOpen = un32Key == 0;
    Cond.notify_all();
  }
};

void OnMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
  Record* pRec = static_cast<Record*>(pv);
  u32 un32Leg = 0, un32Seq = 0;
  memcpy(&un32Leg, VQXMsgPayload(*phMsg) + 32, 4);
  memcpy(&un32Seq, VQXMsgPayload(*phMsg) + 36, 4);
  std::unique_lock<std::mutex> lock(pRec->Mutex);
  pRec->un32Entered++;
  pRec->Cond.notify_all();
  pRec->Cond.wait_for(lock, std::chrono::seconds(20), [&] { return pRec->fGateOpen || un32Leg != pRec->un32GateKey; });
  pRec->Seq[un32Leg].push_back(un32Seq);
  pRec->un32Calls++;
  pRec->Cond.notify_all();
}

class PoolJobs : public CmcTest {
 public:
  void SetUp() override {
    CmcTest::SetUp();
    ASSERT_EQ(Open(4), VQX_RESULT_OK);
  }
  void Post(_VQCMC_ENTITY_CTX* pLeg, u32 un32Seq) {
    VQX_MSG_HANDLE h = Msg(0x0A010101u, 0x100, VQX_MSG_TYPE_EVENT, 40);
    memcpy(VQXMsgPayload(h) + 32, &pLeg->Params.EntityId, 4);
    memcpy(VQXMsgPayload(h) + 36, &un32Seq, 4);
    EXPECT_EQ(Locked([&] { return VqCmcThreadJobPost(mhCmc, pLeg, 0, pLeg->Params.un32SerialisationId, &h); }), 0x02000000u);
  }
  /* Waits (bounded) until the pool holds no job. */
  bool Drained() {
    for (int i = 0; i < 2000; i++) {
      if (VQXMultiThreadedJobGetCount(mhCmc->hJobPool) == 0) return true;
      std::unique_lock<std::mutex> lock(mRec.Mutex);
      mRec.Cond.wait_for(lock, std::chrono::milliseconds(10));
    }
    return false;
  }
  Record mRec;
};

TEST_F(PoolJobs, OrderPerKeyAcrossLegsAndExactCounters) {
  std::vector<_VQCMC_ENTITY_CTX*> apLegs;
  for (u32 i = 0; i < 8; i++) apLegs.push_back(Leg(0x20 + i, 0x100, OnMsg, nullptr, &mRec));
  for (u32 un32Seq = 0; un32Seq < 200; un32Seq++) {
    for (_VQCMC_ENTITY_CTX* pLeg : apLegs) Post(pLeg, un32Seq);
  }
  ASSERT_TRUE(mRec.WaitCalls(1600));
  ASSERT_TRUE(Drained());
  for (auto& [un32Leg, seq] : mRec.Seq) {
    ASSERT_EQ(seq.size(), 200u) << un32Leg;
    for (u32 i = 0; i < 200; i++) ASSERT_EQ(seq[i], i) << un32Leg;
  }
  ExpectCounters(0, 0, 1600);
  for (_VQCMC_ENTITY_CTX* pLeg : apLegs) EXPECT_EQ(pLeg->un32NbPendingJobs, 0u);
}

TEST_F(PoolJobs, CancelledQueuedEventEndsOnceAndStopDropsTheRest) {
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x30, 0x100, OnMsg, nullptr, &mRec);
  mRec.Gate(0x30);
  Post(pLeg, 0);   /* holds key 0x30 on a worker */
  ASSERT_TRUE(mRec.WaitCalls(1, true));
  EXPECT_EQ(VQCmcLibLegEvent(mhCmc, 0x30, 99, 0), VQX_RESULT_OK);  /* delay 0: queued at once */
  EXPECT_EQ(VQCmcLibLegEventCancel(mhCmc, 0x30, 99), VQX_RESULT_OK);
  Post(pLeg, 1);
  EXPECT_EQ(VQCmcLibStop(mhCmc), VQX_RESULT_OK);
  mRec.Gate(0);
  ASSERT_TRUE(Drained());
  ExpectCounters(0, 0, 3);
  EXPECT_EQ(pLeg->un32NbPendingJobs, 0u);
  EXPECT_EQ(mRec.un32Calls, 1u);  /* the one already running; the one after Stop is dropped */
}

TEST_F(PoolJobs, CancellingOrDroppingTheLastQueuedJobFinishesADeferredDestroy) {
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x31, 0x100, OnMsg, nullptr, &mRec);
  mRec.Gate(0x31);
  Post(pLeg, 0);  /* runs, held */
  ASSERT_TRUE(mRec.WaitCalls(1, true));
  EXPECT_EQ(VQCmcLibLegEvent(mhCmc, 0x31, 98, 0) | VQCmcLibLegDestroy(mhCmc, 0x31), VQX_RESULT_OK);  /* deferred */
  EXPECT_EQ(VQCmcLibLegEventCancel(mhCmc, 0x31, 98), VQX_RESULT_OK);
  EXPECT_EQ(Stats().un32LegsDestroyed, 1u);
  /* The same when the last job is dropped after Stop. */
  _VQCMC_ENTITY_CTX* pLeg2 = Leg(0x32, 0x100, OnMsg, nullptr, &mRec, 0x31);
  Post(pLeg2, 0);  /* queued behind the held job's key */
  EXPECT_EQ(VQCmcLibLegDestroy(mhCmc, 0x32) | VQCmcLibStop(mhCmc), VQX_RESULT_OK);
  mRec.Gate(0);
  ASSERT_TRUE(Drained());
  EXPECT_EQ(Stats().un32LegsDestroyed, 2u);
}

/* The sync ends when the jobs queued before READY have run, though later traffic keeps the pool busy. */
TEST_F(PoolJobs, SyncWaitsOnlyForJobsQueuedBeforeReady) {
  _VQCMC_ENTITY_CTX* pOld = Leg(0x40, 0x100, OnMsg, nullptr, &mRec);
  _VQCMC_ENTITY_CTX* pNew = Leg(0x41, 0x100, OnMsg, nullptr, &mRec);
  Intake({Msg(VQCMC_SRV_SYNC_STARTING, 0x100, VQX_MSG_TYPE_EVENT, 64)});
  mRec.Gate(0x40);
  Post(pOld, 0);
  Intake({Msg(VQCMC_SRV_READY, 0x100, VQX_MSG_TYPE_EVENT, 64)});
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 1u);
  Post(pNew, 0);
  ASSERT_TRUE(mRec.WaitCalls(1));  /* the later job of the other leg ran past the held one */
  mRec.Gate(0x41);  /* now a later job holds the pool while the old one ends */
  Post(pNew, 1);
  ASSERT_TRUE(mRec.WaitCalls(2));
  /* The old job's done step follows its callback on the worker, and the pool forgets it just
   * after: a few intakes at most. */
  for (int i = 0; i < 2000 && (mhCmc->un32NbHostsResyncing != 0 || VQXMultiThreadedJobGetCount(mhCmc->hJobPool) != 1); i++) {
    Intake();
    std::unique_lock<std::mutex> lock(mRec.Mutex);
    mRec.Cond.wait_for(lock, std::chrono::milliseconds(5));
  }
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 0u);
  EXPECT_EQ(VQXMultiThreadedJobGetCount(mhCmc->hJobPool), 1u);  /* the later job still waits */
  EXPECT_EQ(LogCount("h100.cmc_server sync sequence complete."), 1u);
  mRec.Gate(0);
  ASSERT_TRUE(Drained());
}

TEST_F(PoolJobs, SyncAndRegistrationGiveUpWaitingAfter60000Ms) {
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x50, 0x100, OnMsg, nullptr, &mRec);
  Intake({Msg(VQCMC_SRV_SYNC_STARTING, 0x100, VQX_MSG_TYPE_EVENT, 64)});
  mRec.Gate(0x50);
  Post(pLeg, 0);
  Intake({AddServer(0x200, 0x200)});
  EXPECT_EQ(LogCount("Postponing register to secondary CMCServer, still 1 pending jobs") +
                LogCount("Postponing register to CMCServer, still 1 pending jobs"), 1u);
  Intake({Msg(VQCMC_SRV_READY, 0x100, VQX_MSG_TYPE_EVENT, 64)});
  Advance(59000);
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 1u);
  Advance(1001);
  Intake();
  EXPECT_EQ(mhCmc->un32NbHostsResyncing, 0u);
  EXPECT_EQ(LogCount("TIMEOUT waiting for local jobs to process (still "), 1u);
  EXPECT_FALSE(SentOf(VQCMC_SRV_LIB_REGISTER).empty());
  mRec.Gate(0);
  ASSERT_TRUE(Drained());
}

/* A job reads its entity's callbacks as it starts, under the job lock: a modify on another thread
 * does not race with it, and a destroy that frees the leg right after the job's start (its last
 * pending job) leaves the callback its context. Each round: a leg, two jobs, then a modify and a
 * destroy on two threads while the jobs run. */
TEST_F(PoolJobs, DestroyAndModifyWhileItsJobsStart) {
  Intake({AddServer(0x100, 0x100)});
  Host(0x100)->fReady = 1;
  constexpr u32 kRounds = 300;
  static std::atomic<u32> s_un32Calls{0}, s_un32Foreign{0};
  static u32 s_aun32Contexts[2];
  auto OnCount = [](VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE*) {
    s_un32Calls++;
    s_un32Foreign += pv != &s_aun32Contexts[0] && pv != &s_aun32Contexts[1];
  };
  std::atomic<u32> un32Unexpected{0};
  for (u32 i = 0; i < kRounds; i++) {
    _VQCMC_LIB_LEG_PARAMS params{};
    params.EntityId = 0x1000 + i;
    params.Callback = {OnCount, nullptr, &s_aun32Contexts[0]};
    ASSERT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
    _VQCMC_ENTITY_CTX* pLeg = nullptr;
    ASSERT_EQ(Locked([&] { return VqCmcLibEntityFind(mhCmc, params.EntityId, 0, &pLeg); }), VQX_RESULT_OK);
    Post(pLeg, 0);
    Post(pLeg, 1);
    params.Callback.pvLegUserContext = &s_aun32Contexts[1];
    std::thread Modifier([&] {
      const VQX_RESULT result = VQCmcLibLegModify(mhCmc, &params);
      un32Unexpected += result != VQX_RESULT_OK && result != VQX_RESULT_INVALID_PARAM;  /* gone already */
    });
    std::thread Destroyer([&] { un32Unexpected += VQCmcLibLegDestroy(mhCmc, params.EntityId) != VQX_RESULT_OK; });
    Modifier.join();
    Destroyer.join();
  }
  ASSERT_TRUE(Drained());
  Intake();
  EXPECT_EQ(un32Unexpected.load(), 0u);
  EXPECT_EQ(s_un32Foreign.load(), 0u);
  EXPECT_GT(s_un32Calls.load(), 0u);
  ExpectCounters(0, 0, 2 * kRounds);
  EXPECT_TRUE(Stats().un32LegsActive == 0 && Stats().un32LegsDestroyed == kRounds);
}

/*
 * A pool of 16 jobs at most, a leg whose callbacks are held: what the intake takes for it waits for room below the
 * limit (16 less its eighth) rather than meet the limit and be refused, and reaches the leg in order once the callbacks
 * go on. Rows: the gate opened, every message delivered; the library stopped during such a wait, which ends it.
 */
TEST_F(PoolJobs, IntakeWaitsForRoomBelowTheJobLimit) {
  Close();
  mun32FifoMax = 16;
  ASSERT_EQ(Open(2), VQX_RESULT_OK);
  Intake({AddServer(0x100, 0x100)});
  Host(0x100)->fReady = 1;
  constexpr u32 kLeg = 0x40, kSent = 40, kRoom = 16 - 2;
  _VQCMC_LIB_LEG_PARAMS params{};
  params.EntityId = kLeg;
  params.Callback = {OnMsg, nullptr, &mRec};
  ASSERT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
  for (const bool fStop : {false, true}) {
    SCOPED_TRACE(fStop ? "stopped" : "gate opened");
    mRec.Gate(kLeg);
    std::vector<VQX_MSG_HANDLE> aMsgs;
    for (u32 i = 0; i < kSent; i++) {
      aMsgs.push_back(Msg(0x0A010101u, 0x100, VQX_MSG_TYPE_EVENT, 40));
      memcpy(VQXMsgPayload(aMsgs.back()) + 32, &kLeg, 4);
      memcpy(VQXMsgPayload(aMsgs.back()) + 36, &i, 4);
    }
    mRec.Seq.clear();
    peerwait::BoundedThread intake([&] { Intake(aMsgs); });
    ASSERT_TRUE(peerwait::WaitUntil([&] { return VQXMultiThreadedJobGetCount(mhCmc->hJobPool) == kRoom; }, 20000));
    EXPECT_FALSE(intake.JoinWithin(50)) << "the intake waits at the pool's room";
    if (fStop) {
      EXPECT_EQ(VQCmcLibStop(mhCmc), VQX_RESULT_OK);
    }
    mRec.Gate(0);
    ASSERT_TRUE(intake.JoinWithin(20000));
    ASSERT_TRUE(Drained());
    std::lock_guard<std::mutex> guard(mRec.Mutex);
    if (!fStop) {
      EXPECT_EQ(mRec.Seq[kLeg].size(), kSent) << "none refused";
      EXPECT_EQ(LogCount("VQXMultiThreadedJobStart Failed"), 0u);
    }
    for (u32 i = 0; i < mRec.Seq[kLeg].size(); i++) EXPECT_EQ(mRec.Seq[kLeg][i], i) << "in order";
  }
}

}  // namespace
