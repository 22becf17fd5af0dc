/* Legs on the worker pool (4 threads): commands from several threads while the server's notifications arrive. */
#include <atomic>
#include <cstring>
#include <thread>

#include "peers/wait_until.h"
#include "support/cmc_fixture.h"
#include "vqcmc_lib_leg_internal.h"

namespace {

const _VQCMC_ENTITY_HOOKS kLegHooks = {VqCmcLegMsgHandle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr};
/* Fewer commands than the send queue holds: the fixture's host library has no transport to flush them to. */
constexpr u32 kLegs = 4, kCommands = 60, kBatches = 50;

struct Record {
  std::mutex Mutex;
  std::map<u32, std::vector<u32>> Seq;  /* per leg: the notification numbers in arrival order */
};

void OnMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
  u32 un32Leg = 0, un32Seq = 0;
  memcpy(&un32Leg, VQXMsgPayload(*phMsg) + 32, 4);
  memcpy(&un32Seq, VQXMsgPayload(*phMsg) + 36, 4);
  Record* pRec = static_cast<Record*>(pv);
  std::lock_guard guard(pRec->Mutex);
  pRec->Seq[un32Leg].push_back(un32Seq);
}

using LegsMt = CmcTest;

TEST_F(LegsMt, CommandsOnSeveralThreadsWhileNotificationsArrive) {
  mpHooks = &kLegHooks;
  ASSERT_EQ(Open(4), VQX_RESULT_OK);
  Intake({AddServer(0x100, 0x100)});
  Host(0x100)->fReady = 1;
  Record rec;
  for (u32 un32Leg = 1; un32Leg <= kLegs; un32Leg++) {
    _VQCMC_LIB_LEG_PARAMS params{};
    params.EntityId = un32Leg;
    params.Callback = {OnMsg, nullptr, &rec};
    ASSERT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
  }
  std::atomic<u32> un32Failed{0};
  std::vector<std::thread> aThreads;
  for (u32 t = 0; t < kLegs; t++) {
    aThreads.emplace_back([&, t] {
      for (u32 i = 0; i < kCommands; i++) {
        VQX_MSG_HANDLE h = nullptr;
        VQCmcLibMsgAlloc(mhCmc, 64, &h);
        h->un32MsgId = VQCMC_MSG_CMD_GET_STATS;
        h->un32PayloadLength = 40;
        un32Failed += VQCmcLibLegMsgProcess(mhCmc, 1 + (t + i) % kLegs, i, &h) != VQX_RESULT_OK || h != nullptr;
      }
    });
  }
  for (u32 n = 1; n <= kBatches; n++) {
    std::vector<VQX_MSG_HANDLE> aMsgs;
    for (u32 un32Leg = 1; un32Leg <= kLegs; un32Leg++) {
      aMsgs.push_back(Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, 0x100, VQX_MSG_TYPE_EVENT, 40));
      memcpy(VQXMsgPayload(aMsgs.back()) + 32, &un32Leg, 4);
      memcpy(VQXMsgPayload(aMsgs.back()) + 36, &n, 4);
    }
    Intake(aMsgs);
  }
  for (std::thread& t : aThreads) t.join();
  Intake();
  EXPECT_EQ(un32Failed.load(), 0u);
  std::vector<u32> aExpected(kBatches);
  for (u32 n = 0; n < kBatches; n++) aExpected[n] = n + 1;
  ASSERT_TRUE(peerwait::WaitUntil(
      [&] {
        std::lock_guard guard(rec.Mutex);
        size_t nDone = 0;
        for (const auto& [un32Leg, aSeq] : rec.Seq) nDone += aSeq.size();
        return nDone == kLegs * kBatches;
      },
      20000));
  std::lock_guard guard(rec.Mutex);
  for (u32 un32Leg = 1; un32Leg <= kLegs; un32Leg++) EXPECT_EQ(rec.Seq[un32Leg], aExpected) << "leg " << un32Leg;
}

}  // namespace
