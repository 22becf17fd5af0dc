/* The entity table: ids, create and find, mapping-id binding, destroy and re-homing. */
#include "support/cmc_fixture.h"

namespace {

class EntityTable : public CmcTest {
 protected:
  void SetUp() override {
    CmcTest::SetUp();
    ASSERT_EQ(Open(), VQX_RESULT_OK);
    Intake({AddServer(0x100, 1), AddServer(0x200, 2)});
    VqxMutexGet(mhCmc->hThreadSem);
  }
  void TearDown() override {
    if (mhCmc != nullptr) VqxMutexGive(mhCmc->hThreadSem);
    CmcTest::TearDown();
  }
  /* A leg on server hHost (no state machine yet), returned with its create result. */
  VQX_RESULT Create(u32 un32Id, u32 un32MapId, _VQCMC_ENTITY_CTX** pp, u32 hHost = 0x100, u32 un32Type = 1) {
    _VQCMC_HOST_CTX* pHost = Host(hHost);
    const VQX_RESULT result = VqCmcLibEntityCreate(mhCmc, &pHost, un32Id, un32MapId, pp);
    if (result == VQX_RESULT_OK && un32Type != 0) VqCmcEntitySetKind(mhCmc, *pp, un32Type);
    return result;
  }
  _VQCMC_ENTITY_CTX* ByMap(u32 un32MapId) {
    _VQCMC_ENTITY_CTX* p = nullptr;
    VqCmcLibEntityFind(mhCmc, 0, un32MapId, &p);
    return p;
  }
};

TEST_F(EntityTable, IdsRunFrom1To0x7FFFFFFFSkippingThoseInUse) {
  _VQCMC_ENTITY_CTX* p = nullptr;
  for (u32 un32Id : {1u, 6u, 7u}) ASSERT_EQ(Create(un32Id, 0, &p), VQX_RESULT_OK);
  /* {NextEntityId before, id handed out} */
  const std::pair<u32, u32> aRows[] = {{0x7FFFFFFEu, 0x7FFFFFFFu}, {0x7FFFFFFFu, 2}, {0xFFFFFFF0u, 2}, {5, 8}, {0, 2}};
  for (const auto& [un32Next, un32Expected] : aRows) {
    mhCmc->NextEntityId = un32Next;
    u32 un32Id = 0;
    EXPECT_EQ(VqCmcLibGenerateNewEntityId(mhCmc, &un32Id), VQX_RESULT_OK);
    EXPECT_EQ(un32Id, un32Expected) << "after " << un32Next;
    EXPECT_EQ(mhCmc->NextEntityId, un32Expected);
  }
}

TEST_F(EntityTable, CreateFindsExistingRecordsAndTheNewestMappingWins) {
  _VQCMC_ENTITY_CTX *pA = nullptr, *p = nullptr;
  ASSERT_EQ(Create(0x10, 0x5001, &pA), VQX_RESULT_OK);
  EXPECT_EQ(ByMap(0x5001), pA);
  EXPECT_EQ(Create(0x10, 0x9999, &p), VQX_RESULT_INVALID_HANDLE);  /* same id, whatever the mapping */
  EXPECT_EQ(p, pA);
  EXPECT_EQ(Create(0, 0x5001, &p), VQX_RESULT_INVALID_HANDLE);     /* id 0: by mapping id */
  EXPECT_EQ(p, pA);
  mhCmc->NextEntityId = 0x40;
  ASSERT_EQ(Create(0, 0x5002, &p), VQX_RESULT_OK);
  EXPECT_TRUE(p->Params.EntityId == 0x41u && ByMap(0x5002) == p);
  ASSERT_EQ(Create(0x11, 0x5001, &p), VQX_RESULT_OK);  /* takes 0x5001 from A */
  EXPECT_TRUE(ByMap(0x5001) == p && pA->MappingId == 0u);
  EXPECT_EQ(VqCmcLibEntityFind(mhCmc, 0x12, 0x5001, &p), VQX_RESULT_NOT_FOUND);  /* an id is no fall-back */
  EXPECT_EQ(p, nullptr);
  _VQCMC_HOST_CTX* pNone = nullptr;  /* no server ready */
  EXPECT_EQ(VqCmcLibEntityCreate(mhCmc, &pNone, 0x13, 0, &p), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(LogCount("No Engine available to create an entity"), 1u);
  EXPECT_EQ(Host(0x100)->un32NbLegs, 3u);
  EXPECT_EQ(Stats().un32LegsCreated, 3u);
}

TEST_F(EntityTable, DestroyNowDeferredOrRefused) {
  _VQCMC_ENTITY_CTX *pLeg = nullptr, *pRaw = nullptr, *p = nullptr;
  ASSERT_EQ(Create(0x20, 0x6001, &pLeg), VQX_RESULT_OK);
  ASSERT_EQ(Create(0x21, 0x6002, &pRaw, 0x100, 0), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcLibEntityDestroy(mhCmc, 0x21), VQX_RESULT_INVALID_CONTEXT);  /* kind 0: left as it is */
  EXPECT_EQ(ByMap(0x6002), pRaw);
  EXPECT_EQ(VqCmcLibEntityDestroy(mhCmc, 0x99), VQX_RESULT_NOT_FOUND);
  pLeg->un32NbPendingJobs = 1;
  EXPECT_EQ(VqCmcLibEntityDestroy(mhCmc, 0x20), VQX_RESULT_OK);
  EXPECT_EQ(LogCount("Attempting to free EntityId 0x00000020, while 1 jobs 0 timers are pending"), 1u);
  EXPECT_NE(pLeg->un8Flags & VQCMC_ENTITY_FLAG_DESTROY_DEFERRED, 0u);
  EXPECT_EQ(ByMap(0x6001), pLeg);
  pLeg->un32NbPendingJobs = 0;
  EXPECT_EQ(VqCmcLibEntityDestroy(mhCmc, 0x20), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcLibEntityFind(mhCmc, 0x20, 0, &p), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(ByMap(0x6001), nullptr);
  EXPECT_EQ(Host(0x100)->un32NbLegs, 0u);
  EXPECT_EQ(Stats().un32LegsDestroyed, 1u);
}

TEST_F(EntityTable, ReadyServerTakesOverOnlyRecordsOfRemovedOrDeadServers) {
  Intake({AddServer(0x300, 3)});
  _VQCMC_ENTITY_CTX *pRemoved = nullptr, *pDead = nullptr, *pNotReady = nullptr, *pMixer = nullptr;
  ASSERT_EQ(Create(0x30, 0, &pRemoved, 0x100), VQX_RESULT_OK);
  ASSERT_EQ(Create(0x31, 0, &pMixer, 0x100, VQCMC_ENTITY_TYPE_MIXER), VQX_RESULT_OK);
  ASSERT_EQ(Create(0x32, 0, &pDead, 0x200), VQX_RESULT_OK);
  ASSERT_EQ(Create(0x33, 0, &pNotReady, 0x300), VQX_RESULT_OK);
  Host(0x100)->CurrState = VQCMC_LIB_STATE_HOST_REMOVED;
  Host(0x200)->CurrState = VQCMC_LIB_STATE_HOST_DEAD;
  Host(0x300)->CurrState = VQCMC_LIB_STATE_NOT_READY;
  mhCmc->Params.un32TraceLevel = 2;  /* hides the check lines, of level 1 */
  Intake({AddServer(0x400, 4), Msg(VQCMC_SRV_READY, 0x400, VQX_MSG_TYPE_EVENT, 64)});
  EXPECT_EQ(LogCount("RecoverOrphanedEntitiesOwnership checking"), 0u);
  mhCmc->Params.un32TraceLevel = 1;
  VqCmcLibRecoverOrphanedEntitiesOwnership(mhCmc, Host(0x300));  /* owned by a ready server: nothing moves */
  EXPECT_EQ(LogCount("RecoverOrphanedEntitiesOwnership checking EntityId=0x00000032 "
                     "pEntityCtx->Entity.pHostCtx->CurrState=1"), 1u);
  _VQCMC_HOST_CTX* pNew = Host(0x400);
  for (_VQCMC_ENTITY_CTX* p : {pRemoved, pMixer, pDead}) EXPECT_EQ(p->pHostCtx, pNew) << p->Params.EntityId;
  EXPECT_EQ(pNotReady->pHostCtx, Host(0x300));
  EXPECT_EQ(pNew->un32NbLegs, 2u);
  EXPECT_EQ(pNew->un32NbMixers, 1u);
  EXPECT_EQ(Host(0x100)->un32NbLegs + Host(0x100)->un32NbMixers + Host(0x200)->un32NbLegs, 0u);
  EXPECT_EQ(Host(0x300)->un32NbLegs, 1u);
}

TEST_F(EntityTable, ValidationTable) {
  auto pFct = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
  int nContext = 0;
  const std::pair<_VQCMC_LIB_ENTITY_PARAMS, const char*> aRows[] = {
      {{0, 0, 0, nullptr, {pFct, nullptr, &nContext}, {}}, "Invalid EntityId=0x00000000"},
      {{0, 7, 0, nullptr, {nullptr, nullptr, &nContext}, {}}, "Invalid Callback.pFctCallback=0x0"},
      {{0, 7, 0, nullptr, {pFct, nullptr, nullptr}, {}}, "Callback.pvLegUserContext Is NULL"},
      {{0, 7, 0, nullptr, {pFct, nullptr, &nContext}, {}}, nullptr},
  };
  for (const auto& [params, pszLine] : aRows) {
    EXPECT_EQ(VqCmcEntityParamValidate(mhCmc, &params), pszLine != nullptr ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK);
    EXPECT_EQ(LogCount(pszLine != nullptr ? pszLine : "VqCmcEntityParamValidate"), pszLine != nullptr ? 1u : 3u);
  }
}

}  // namespace
