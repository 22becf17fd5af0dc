/* The public calls on existing legs and mixers: commands, events by kind, destroy, id reservations. */
#include "support/cmc_fixture.h"

namespace {

using PublicCalls = CmcTest;

void OnMsg(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {}
void OnEvent(VQCMC_LIB_HANDLE, void* pv, u64 un64Key, u8*) { static_cast<std::vector<u64>*>(pv)->push_back(un64Key); }

TEST_F(PublicCalls, CommandsEventsAndDestroy) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  std::vector<u64> aEvents;
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x21, 0x100, OnMsg, OnEvent, &aEvents);
  _VQCMC_ENTITY_CTX* pMixer = Leg(0x22, 0x100, OnMsg, OnEvent, &aEvents);
  pMixer->Type = VQCMC_ENTITY_TYPE_MIXER;
  /* {leg call, id, server ready, server state, library stopped, result, sent}: a registering server
   * (state 0) gets it; a stopped library refuses before it looks at the server */
  const std::tuple<bool, u32, u8, u32, u32, VQX_RESULT, bool> aRows[] = {
      {true, 0x21, 1, 1, 0, VQX_RESULT_OK, true},  {false, 0x22, 1, 1, 0, VQX_RESULT_OK, true},
      {true, 0x22, 1, 1, 0, VQX_RESULT_INVALID_PARAM, false}, {false, 0x99, 1, 1, 0, VQX_RESULT_INVALID_PARAM, false},
      {true, 0x99, 1, 1, 0, VQX_RESULT_INVALID_PARAM, false}, {false, 0x21, 1, 1, 0, VQX_RESULT_INVALID_PARAM, false},
      {true, 0x21, 0, 0, 0, VQX_RESULT_OK, true},  {false, 0x22, 0, 2, 0, 0x8201020Au, false},
      {true, 0x21, 1, 1, 1, VQX_RESULT_NOT_INITIALIZED, false}, {false, 0x22, 0, 2, 1, VQX_RESULT_NOT_INITIALIZED, false}};
  for (const auto& [fLeg, un32Id, fReady, un32State, fStopped, expected, fSent] : aRows) {
    mSent.clear();
    Host(0x100)->fReady = fReady, Host(0x100)->CurrState = un32State;
    mhCmc->fStopped = fStopped;
    VQX_MSG_HANDLE h = nullptr;
    ASSERT_EQ(VQCmcLibMsgAlloc(mhCmc, 48, &h), VQX_RESULT_OK);
    h->un32MsgId = VQCMC_MSG_CMD_CALL_LEG_CREATE;
    h->un32PayloadLength = 48;
    EXPECT_EQ((fLeg ? VQCmcLibLegMsgProcess : VQCmcLibMixerMsgProcess)(mhCmc, un32Id, 0x77, &h), expected) << un32Id;
    EXPECT_EQ(h, nullptr);
    Intake();
    ASSERT_EQ(SentOf(VQCMC_MSG_CMD_CALL_LEG_CREATE).size(), fSent ? 1u : 0u) << un32Id << " state " << un32State;
    EXPECT_TRUE(!fSent || (mSent[0].hDest == 0x100u && mSent[0].un64Uc1 == (0x77ull << 32 | un32Id))) << un32Id;
  }
  mhCmc->fStopped = 0;
  EXPECT_EQ(LogCount("Message 0x0a010017 sent when host not Ready") + LogCount("MixerMsgProcess: Host Not Ready (8201020A)"), 2u);
  EXPECT_EQ(LogCount("MsgProcess: Library stopped (82000014)"), 2u);
  /* The kind-specific calls on an id of the other kind, or of no entity: 0x8200000A each, nothing changed. */
  for (const auto& [un32LegId, un32MixerId] : {std::pair{0x22u, 0x21u}, std::pair{0x99u, 0x99u}}) {
    _VQCMC_LIB_LEG_PARAMS leg{};
    _VQCMC_LIB_MIXER_PARAMS mixer{};
    const std::vector<VQX_RESULT> aGot = {
        VQCmcLibLegFind(mhCmc, un32LegId, &leg),       VQCmcLibLegGetParam(mhCmc, un32LegId, &leg),
        VQCmcLibLegEvent(mhCmc, un32LegId, 3, 0),      VQCmcLibLegEventCancel(mhCmc, un32LegId, 3),
        VQCmcLibLegDestroy(mhCmc, un32LegId),          VQCmcLibMixerFind(mhCmc, un32MixerId, &mixer),
        VQCmcLibMixerGetParam(mhCmc, un32MixerId, &mixer), VQCmcLibMixerEvent(mhCmc, un32MixerId, 3, 0),
        VQCmcLibMixerEventCancel(mhCmc, un32MixerId, 3), VQCmcLibMixerDestroy(mhCmc, un32MixerId)};
    EXPECT_EQ(aGot, std::vector<VQX_RESULT>(10, VQX_RESULT_INVALID_PARAM)) << std::hex << un32LegId;
  }
  EXPECT_EQ(LogCount("VqCmcLibLegFind Failed LegId=0x00000099 does not exist") +
                LogCount("VQCmcLibLegDestroy: VqCmcLibLegFind Failed LegId=0x00000099 (8200000A)"), 3u);
  EXPECT_EQ(VQCmcLibLegFind(mhCmc, 0x21, nullptr) | VQCmcLibMixerFind(mhCmc, 0x22, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(VQCmcLibEntityEvent(mhCmc, 0x21, 5, 0) | VQCmcLibEntityEvent(mhCmc, 0x22, 6, 200) |
                VQCmcLibEntityEventCancel(mhCmc, 0x22, 6), VQX_RESULT_OK);
  pLeg->un8Flags |= VQCMC_ENTITY_FLAG_TERMINATE_POSTED;
  EXPECT_EQ(VQCmcLibLegEvent(mhCmc, 0x21, 8, 100), VQX_RESULT_INVALID_STATE);
  pMixer->Type = 0;
  EXPECT_EQ(VQCmcLibEntityEvent(mhCmc, 0x22, 9, 0), VQX_RESULT_INVALID_STATE);
  Advance(500);
  EXPECT_EQ(aEvents, std::vector<u64>{5});
  EXPECT_EQ(LogCount("Ignoring Leg Event for LegId=0x00000021"), 1u);
  EXPECT_EQ(VQCmcLibMixerDestroy(mhCmc, 0x21), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(VQCmcLibLegDestroy(mhCmc, 0x21), VQX_RESULT_OK);
  mhCmc->NextEntityId = 0x20;  /* 0x21 is free again, 0x22 is not */
  EXPECT_EQ(VQCmcLibLegIdCreate(mhCmc), 0x21u);
  EXPECT_EQ(VQCmcLibLegIdCreate(mhCmc), 0x23u);
}

}  // namespace
