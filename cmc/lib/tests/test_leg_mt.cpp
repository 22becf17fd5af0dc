/* Legs on the worker pool (4 threads): commands from several threads while the server's notifications arrive. */
#include <atomic>
#include <cstring>
#include <thread>

#include "peers/wait_until.h"
#include "support/cmc_fixture.h"

namespace {

/* Fewer commands than the send queue holds: the fixture's host library has no transport to flush them to. */
constexpr u32 kLegs = 4, kCommands = 60, kBatches = 50;
std::atomic<u32> s_aun32Last[kLegs + 1], s_un32Delivered, s_un32OutOfOrder;

/* Each leg's notifications come numbered 1, 2, ...: one out of turn is counted. */
void OnMsg(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* phMsg) {
  u32 aun32[2] = {};
  memcpy(aun32, VQXMsgPayload(*phMsg) + 32, 8);
  s_un32OutOfOrder += aun32[1] != s_aun32Last[aun32[0] % (kLegs + 1)].exchange(aun32[1]) + 1;
  s_un32Delivered++;
}

using LegsMt = CmcTest;

TEST_F(LegsMt, CommandsOnSeveralThreadsWhileNotificationsArrive) {
  ASSERT_EQ(Open(4), VQX_RESULT_OK);
  Intake({AddServer(0x100, 0x100)});
  Host(0x100)->fReady = 1;
  std::atomic<u32> un32Failed{0};
  std::vector<std::thread> aThreads;
  for (u32 un32Leg = 1; un32Leg <= kLegs; un32Leg++) {
    _VQCMC_LIB_LEG_PARAMS params{};
    params.EntityId = un32Leg;
    params.Callback = {OnMsg, nullptr, this};
    EXPECT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
    aThreads.emplace_back([&, un32Leg] {
      for (u32 i = 0; i < kCommands; i++) {
        VQX_MSG_HANDLE h = nullptr;
        VQCmcLibMsgAlloc(mhCmc, 64, &h);
        h->un32MsgId = VQCMC_MSG_CMD_GET_STATS;
        h->un32PayloadLength = 40;
        un32Failed += VQCmcLibLegMsgProcess(mhCmc, un32Leg, i, &h) != VQX_RESULT_OK || h != nullptr;
      }
    });
  }
  for (u32 n = 1; n <= kBatches; n++) {
    std::vector<VQX_MSG_HANDLE> aMsgs;
    for (u32 aun32[2] = {1, n}; aun32[0] <= kLegs; aun32[0]++) {
      aMsgs.push_back(Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, 0x100, VQX_MSG_TYPE_EVENT, 40));
      memcpy(VQXMsgPayload(aMsgs.back()) + 32, aun32, 8);
    }
    Intake(aMsgs);
  }
  for (std::thread& t : aThreads) t.join();
  EXPECT_EQ(un32Failed.load(), 0u);
  EXPECT_TRUE(peerwait::WaitUntil([] { return s_un32Delivered == kLegs * kBatches; }, 20000)) << s_un32Delivered;
  EXPECT_EQ(s_un32OutOfOrder.load(), 0u);
}

}  // namespace
