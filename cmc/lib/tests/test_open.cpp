/* Open, validation, modify, the getters and close. */
#include "support/cmc_fixture.h"

namespace {

using OpenTest = CmcTest;

TEST_F(OpenTest, ValidationTable) {
  struct Row {
    const char* pszName;
    u32 un32Threads, Prio;
    bool fCallback, fVqx;
    VQX_RESULT Expected;
    const char* pszLine;
  };
  const Row aRows[] = {
      {"0 threads", 0, 0, true, true, VQX_RESULT_INVALID_PARAM, "Invalid Threads.un32NbThread=0x0"},
      {"201 threads", 201, 0, true, true, VQX_RESULT_INVALID_PARAM, "Invalid Threads.un32NbThread=0xC9"},
      {"prio 2", 1, 2, true, true, VQX_RESULT_INVALID_PARAM, "Invalid Threads.Prio=0x2"},
      {"prio 5", 1, 5, true, true, VQX_RESULT_INVALID_PARAM, "Invalid Threads.Prio=0x5"},
      {"no callback", 1, 0, false, true, VQX_RESULT_INVALID_PARAM, "Invalid Callback.pFctCallback=0x0"},
      {"no host library", 1, 0, true, false, 0x82010206u, "Invalid hVqxLib=0x0"},
      {"1 thread prio 1", 1, 1, true, true, VQX_RESULT_OK, nullptr},
      {"200 threads prio 4", 200, 4, true, true, VQX_RESULT_OK, nullptr},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.pszName);
    mLog.clear();
    mTweak = [&](_VQCMC_LIB_PARAMS& p) {
      p.hVqxLib = row.fVqx ? mhVqx : nullptr;
      p.Callback.pFctCallback = row.fCallback ? p.Callback.pFctCallback : nullptr;
      p.Threads.un32NbThread = row.un32Threads;
      p.Threads.Prio = row.Prio;
    };
    const VQX_RESULT result = Open();
    if (row.Expected == VQX_RESULT_OK && row.Prio >= 3 && VQX_RESULT_FAILED(result)) {
      GTEST_SKIP() << "no real-time scheduling here";
    }
    EXPECT_EQ(result, row.Expected);
    if (row.pszLine != nullptr) {
      EXPECT_EQ(mhCmc, nullptr);
      EXPECT_EQ(LogCount(std::string("VqCmcLibParamValidate: ") + row.pszLine), 1u);
      EXPECT_EQ(LogCount("VQCmcLibOpen: VqCmcLibParamValidate Failed"), 1u);
    }
    Close();
  }
}

TEST_F(OpenTest, EachFailingStepLeavesNothingBehind) {
  for (u32 un32Threads : {1u, 4u}) {
    const std::vector<u64> before = HeldBy();
    for (u32 un32Step = 5; un32Step <= VQCMC_OPEN_STEP_ENTITY_HASH; un32Step++) {
      SCOPED_TRACE(testing::Message() << "threads " << un32Threads << " step " << un32Step);
      EXPECT_TRUE(VQX_RESULT_FAILED(Open(un32Threads, un32Step)));
      EXPECT_EQ(mhCmc, nullptr);
      EXPECT_EQ(HeldBy(), before);
    }
    ASSERT_EQ(Open(un32Threads), VQX_RESULT_OK);
    Intake({AddServer(0x100, 1)});
    Close();
    EXPECT_EQ(HeldBy(), before);
  }
  EXPECT_EQ(LogCount("Failed to allocate timer lib"), 2u);
  EXPECT_EQ(LogCount("VqCmcComInit Failed"), 4u);
  EXPECT_EQ(LogCount("VqCmcStateMachineThreadLaunch Failed"), 2u);
  EXPECT_EQ(LogCount("VqCmcEntityInit: Failed To alloc pool of Entities (82000012)"), 2u);
  EXPECT_EQ(LogCount("VqCmcEntityInit: Failed To alloc hash of Entities (82000012)"), 2u);
  EXPECT_EQ(LogCount("VQCmcLibOpen: VqCmcEntityInit Failed (82000012)"), 4u);
}

TEST_F(OpenTest, ModifyReRegistersOnlyForFlagBytes013) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Intake({AddServer(0x100, 1), Msg(VQCMC_SRV_LIB_REGISTER, 0x100, VQX_MSG_TYPE_RESPONSE, 32, 0x02000000)});
  Intake({AddServer(0x200, 2)});  /* not registered: never re-registered */
  _VQCMC_LIB_PARAMS p{};
  ASSERT_EQ(VQCmcLibGetParam(mhCmc, &p), VQX_RESULT_OK);
  struct Row {
    const char* pszName;
    void (*Change)(_VQCMC_LIB_PARAMS&);
    size_t nSent;
  };
  const Row aRows[] = {
      {"byte 2", [](_VQCMC_LIB_PARAMS& q) { q.aun8RegisterFlags[2] ^= 1; }, 0},
      {"trace level", [](_VQCMC_LIB_PARAMS& q) { q.un32TraceLevel = 3; }, 0},
      {"byte 0", [](_VQCMC_LIB_PARAMS& q) { q.aun8RegisterFlags[0] ^= 1; }, 1},
      {"byte 3", [](_VQCMC_LIB_PARAMS& q) { q.aun8RegisterFlags[3] ^= 1; }, 1},
      {"invalid prio", [](_VQCMC_LIB_PARAMS& q) { q.Threads.Prio = 2; q.aun8RegisterFlags[1] ^= 1; }, 0},
      {"byte 1, library stopped", [](_VQCMC_LIB_PARAMS& q) { q.aun8RegisterFlags[1] ^= 1; }, 0},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.pszName);
    /* Stopped: nothing is queued that no intake would ever hand over. */
    if (std::string(row.pszName).ends_with("stopped")) {
      EXPECT_EQ(VQCmcLibStop(mhCmc), VQX_RESULT_OK);
    }
    mSent.clear();
    _VQCMC_LIB_PARAMS q = p;
    row.Change(q);
    EXPECT_EQ(VQCmcLibModify(mhCmc, &q), q.Threads.Prio == 2 ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK);
    Intake();
    ASSERT_EQ(SentOf(VQCMC_SRV_LIB_REGISTER).size(), row.nSent);
    EXPECT_TRUE(row.nSent == 0 || SentOf(VQCMC_SRV_LIB_REGISTER)[0].hDest == 0x100u) << "to the registered server";
    ASSERT_EQ(VQCmcLibGetParam(mhCmc, &p), VQX_RESULT_OK);
  }
  EXPECT_EQ(p.Threads.Prio, 0u);  /* the refused change kept the old parameters */
}

TEST_F(OpenTest, ServerListBuildNumberAndCloseFromACallback) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  EXPECT_EQ(VQCmcLibGetActiveCmcServerBuildNumber(mhCmc), 0u);
  /* Close from inside a library callback is refused: the callback runs under the intake. */
  VQX_RESULT inCallback = VQX_RESULT_OK;
  mOnNotif = [&](VQX_MSG_HANDLE*) { inCallback = VQCmcLibClose(mhCmc); };
  Intake({AddServer(0x100, 1), AddServer(0x200, 2), AddServer(0x300, 3)});
  Intake({Msg(VQCMC_SRV_READY, 0x200, VQX_MSG_TYPE_EVENT, 64)});
  EXPECT_EQ(inCallback, VQX_RESULT_INVALID_STATE);
  _VQCMC_LIB_CMCSERVER_INFO aInfo[4]{};
  u32 un32Count = 2;
  EXPECT_EQ(VQCmcLibGetCmcServerList(mhCmc, &un32Count, aInfo), VQX_RESULT_OK);
  EXPECT_EQ(un32Count, 2u);
  un32Count = 4;
  EXPECT_EQ(VQCmcLibGetCmcServerList(mhCmc, &un32Count, aInfo), VQX_RESULT_OK);
  ASSERT_EQ(un32Count, 3u);
  /* The handles of the ready servers add up to 0x200 only when 0x200 alone is ready. */
  u32 un32Ready = 0;
  for (u32 i = 0; i < 3; i++) un32Ready += aInfo[i].fReady ? aInfo[i].HostInfo.hAdapter : 0;
  EXPECT_EQ(un32Ready, 0x200u);
  EXPECT_EQ(VQCmcLibGetActiveCmcServerBuildNumber(mhCmc), 0x201u);
  un32Count = 4;
  EXPECT_EQ(VQCmcLibGetCmcServerList(mhCmc, &un32Count, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(un32Count, 0u);
  EXPECT_EQ(VQCmcLibGetCmcServerList(mhCmc, nullptr, aInfo), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(LogCount("VQCmcLibGetCmcServerList: NULL parameter (82000009)"), 2u);
}

}  // namespace
