/*
 * test_leg_it.cpp - legs against the stand-in server over a real host library
 * on 127.0.0.1: create with id 0, modify, commands carrying (tag << 32) | id to
 * the leg's server (sent while it registers again, refused once it is gone),
 * answers back to the leg by context, notifications by word 7 and word 8, a
 * call-terminated for an unknown leg at the default callback, a call offer
 * with id 0.
 */
#include <algorithm>
#include <cstring>

#include "support/cmc_servers.h"
#include "vqcmc_lib_leg_internal.h"

namespace {

class LegIt : public CmcServersTest {
 protected:
  static void OnLegMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
    LegIt* pTest = static_cast<LegIt*>(pv);
    std::lock_guard guard(pTest->mMutex);
    pTest->mLegMsgs.push_back((*phMsg)->un32MsgId);
  }
  bool AwaitLeg(u32 un32Id) {
    const auto seen = [&] {
      std::lock_guard guard(mMutex);
      return std::ranges::count(mLegMsgs, un32Id) > 0;
    };
    return cmcpeer::WaitUntil(seen, 20000);
  }
  /* A command of the catalogue's size with its element area, through the public call. */
  VQX_RESULT Command(u32 un32MsgId, u32 un32Size, u32 un32LegId, u32 un32Tag) {
    VQX_MSG_HANDLE h = nullptr;
    EXPECT_EQ(VQCmcLibMsgAlloc(mhCmc, un32Size + 64, &h), VQX_RESULT_OK);
    VQXMsgElementInit(h, un32Size);
    h->un32MsgId = un32MsgId;
    h->MsgType = VQX_MSG_TYPE_REQUEST;
    return VQCmcLibLegMsgProcess(mhCmc, un32LegId, un32Tag, &h);
  }
  std::vector<u32> mLegMsgs;
};

TEST_F(LegIt, CommandsAnswersNotificationsAndOffers) {
  Start({{}});
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server"));
  EXPECT_EQ(mServers[0]->Command("ready"), "ok");
  ASSERT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY}));
  _VQCMC_LIB_LEG_PARAMS params{};
  params.Callback = {OnLegMsg, nullptr, this};
  params.LegType = VQCMC_LEG_TYPE_CALL;
  ASSERT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
  const u32 un32Leg = params.EntityId;
  ASSERT_NE(un32Leg, 0u);
  params.un32SerialisationId = 0x7000; /* its jobs re-keyed (pool mode) */
  EXPECT_EQ(VQCmcLibLegModify(mhCmc, &params), VQX_RESULT_OK);
  /* A command and its answer: the stand-in sees the destination and the context, the answer
   * comes back to the leg, which takes the server's mapping id from it. */
  EXPECT_EQ(Command(VQCMC_MSG_CMD_CALL_LEG_CREATE, 872, un32Leg, 0x77), VQX_RESULT_OK);
  ASSERT_TRUE(AwaitLeg(VQCMC_MSG_CMD_CALL_LEG_CREATE));
  const cmcpeer::CmcServerProcess::Seen seen = mServers[0]->Last("CALL_LEG_CREATE");
  EXPECT_EQ(seen.un64Ctx1, (0x77ull << 32) | un32Leg);
  EXPECT_EQ(seen.un64Dest, Servers().at(0).HostInfo.hAdapter);
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  EXPECT_TRUE(Locked([&] { return VqCmcLibLegFind(mhCmc, un32Leg, 0, &pLeg); }) == VQX_RESULT_OK && pLeg->MappingId);
  /* Notifications by word 7 and word 8; a call-terminated for a leg nobody knows goes to the default callback. */
  EXPECT_TRUE(mServers[0]->Notify(VQCMC_MSG_NOTIF_STATS_UPDATED, un32Leg) &&
              mServers[0]->Notify(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, un32Leg) &&
              mServers[0]->Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 0x7FFF0000u));
  EXPECT_TRUE(AwaitLeg(VQCMC_MSG_NOTIF_STATS_UPDATED) && AwaitLeg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED));
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED}));
  /* A call offer with id 0: the default callback reads the id the library chose. */
  EXPECT_TRUE(mServers[0]->Offer(0, 0x4444));
  ASSERT_TRUE(
      AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, VQCMC_MSG_NOTIF_CALL_LEG_PRESENT}));
  u32 un32Offered = 0;
  {
    std::lock_guard guard(mMutex);
    memcpy(&un32Offered, mNotifPayloads.back().data() + 32, 4);
  }
  EXPECT_EQ(VQCmcLibLegFind(mhCmc, un32Offered, nullptr), VQX_RESULT_OK) << un32Offered;
  /* Not ready: the server registers again, and a command still goes to it. */
  EXPECT_EQ(mServers[0]->Command("notready"), "ok");
  ASSERT_TRUE(Await("StateChange (Not ready -> Init)"));
  EXPECT_EQ(Command(VQCMC_MSG_CMD_CALL_LEG_ANSWER, 192, un32Leg, 0x78), VQX_RESULT_OK);
  EXPECT_TRUE(cmcpeer::WaitUntil(
      [&] { return mServers[0]->Last("CALL_LEG_ANSWER").un64Ctx1 == ((0x78ull << 32) | un32Leg); }, 20000));
  /* Gone: refused, and the message released (the pool counts it back). */
  mServers[0]->Command("quit"); /* it leaves without answering */
  ASSERT_TRUE(Await("StateChange (Init -> Host removed)"));
  EXPECT_TRUE(Command(VQCMC_MSG_CMD_CALL_LEG_ANSWER, 192, un32Leg, 0x79) == 0x8201020Au &&
              LogCount("VQCmcLibLegMsgProcess: Host Not Ready (8201020A)") == 1u);
  Close();
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return HeldBy()[2] == 0; }, 20000));
}

}  // namespace
