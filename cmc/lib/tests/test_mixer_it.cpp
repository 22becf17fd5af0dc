/* Mixers against the stand-in server over a real host library on 127.0.0.1: create, a command and its
 * answer back by context (the server's mapping id bound), a play answer that passes the legs (an id
 * both kinds use), a notification keyed by word 8. */
#include "support/cmc_servers.h"
#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"

namespace {

/* The library's own layers, with the leg router ahead of the mixers' in the chain. */
const _VQCMC_ENTITY_HOOKS kHooks = [] {
  _VQCMC_ENTITY_HOOKS hooks = g_VqCmcEntityHooks;
  hooks.pFctLegMsgHandle = VqCmcLegMsgHandle;
  return hooks;
}();

using MixerIt = CmcServersTest;

TEST_F(MixerIt, CommandAnswerAndNotification) {
  Start({{}}, &kHooks);
  ASSERT_TRUE(Await("Successfully registered to CMCServer cmcsim1.cmc_server"));
  EXPECT_EQ(mServers[0]->Command("ready"), "ok");
  ASSERT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY}));
  _VQCMC_LIB_MIXER_PARAMS params{}; /* the mixer's messages to the default callback's records too */
  params.Callback = {mhCmc->Params.Callback.pFctCallback, nullptr, mhCmc->Params.Callback.pContext};
  ASSERT_EQ(VQCmcLibMixerCreate(mhCmc, &params), VQX_RESULT_OK);
  for (const auto& [un32MsgId, un32Size] : {std::pair{VQCMC_MSG_CMD_MIXER_CREATE, 152u}, {VQCMC_MSG_CMD_PLAY, 56u}}) {
    VQX_MSG_HANDLE h = nullptr;
    ASSERT_EQ(VQCmcLibMsgAlloc(mhCmc, un32Size + 64, &h), VQX_RESULT_OK);
    VQXMsgElementInit(h, un32Size);
    h->un32MsgId = un32MsgId;
    h->MsgType = VQX_MSG_TYPE_REQUEST;
    EXPECT_EQ(VQCmcLibMixerMsgProcess(mhCmc, params.EntityId, 0x66, &h), VQX_RESULT_OK);
  }
  ASSERT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_MSG_CMD_MIXER_CREATE, VQCMC_MSG_CMD_PLAY}));
  EXPECT_EQ(mServers[0]->Last("MIXER_CREATE").un64Ctx1, (0x66ull << 32) | params.EntityId);
  EXPECT_TRUE(mServers[0]->Notify(VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, params.EntityId));
  EXPECT_TRUE(AwaitNotifs({VQCMC_APP_MSG_NOTIF_READY, VQCMC_MSG_CMD_MIXER_CREATE, VQCMC_MSG_CMD_PLAY,
                           VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE}));
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  EXPECT_EQ(Locked([&] { return VqCmcLibMixerFind(mhCmc, params.EntityId, 0, &pMixer); }), VQX_RESULT_OK);
  EXPECT_NE(pMixer->MappingId, 0u);
  EXPECT_EQ(mServers[0]->Violations(), 0);
}

}  // namespace
