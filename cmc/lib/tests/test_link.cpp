/* Links: the link-id generator and the re-claim of a server's links (NotifLinkSync). */
#include <cstring>

#include "support/cmc_fixture.h"

namespace {

using Links = CmcTest;

TEST_F(Links, IdGeneratorAndNotifLinkSync) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  /* {counter, id given, id returned, counter after} */
  const u32 aIds[][4] = {{0xFFFFFFFFu, 0, 1, 1}, {0x200, 0, 0x201, 0x201}, {0x200, 0x300, 0x300, 0x300},
                         {0x200, 0x100, 0x100, 0x200}, {0xFF000001u, 0x10, 0x10, 0x10}, {0xFF000000u, 0x10, 0x10, 0xFF000000u},
                         {0xFF000001u, 0x100000, 0x100000, 0xFF000001u}, {5, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& row : aIds) {
    u32 un32Id = row[1];
    mhCmc->un32NextLinkId = row[0];
    EXPECT_EQ(VqCmcLibLegGenerateNewLinkid(mhCmc, &un32Id), VQX_RESULT_OK);
    EXPECT_TRUE(un32Id == row[2] && mhCmc->un32NextLinkId == row[3]) << std::hex << row[0] << " " << row[1];
  }
  Intake({AddServer(0x100, 1)});
  _VQCMC_HOST_CTX* pHost = Host(0x100);
  _VQCMC_ENTITY_CTX* ap[4] = {};
  for (u32 i = 1; i <= 3; i++) ASSERT_EQ(VqCmcLibEntityCreate(mhCmc, &pHost, 0x30 + i, 0x500 + i, &ap[i]), VQX_RESULT_OK);
  ap[3]->Type = VQCMC_ENTITY_TYPE_MIXER;
  /* {source mapping id, destination mapping id, payload size, linked destination (0 none)}; a mixer
   * with the mapping id is taken too */
  const u32 aRows[][4] = {{0x599, 0x502, 56, 0}, {0x501, 0x599, 56, 0}, {0x501, 0x502, 55, 0}, {0x501, 0x502, 56, 2},
                          {0x501, 0x503, 56, 3}};
  for (const auto& [un32Src, un32Dst, un32Size, un32Linked] : aRows) {
    mSent.clear();
    mNotifPayloads.clear();
    VQX_MSG_HANDLE h = Msg(VQCMC_SRV_NOTIF_LINK_SYNC, 0x100, VQX_MSG_TYPE_EVENT, un32Size);
    const u32 aWords[] = {0x31, 0x32, un32Src, un32Dst, 0x04030201u, 0x08070605u};
    memcpy(VQXMsgPayload(h) + 32, aWords, un32Size - 32);
    EXPECT_EQ(Locked([&] { return VqCmcLinkMsgHandleNotifLinkSync(mhCmc, pHost, &h); }), VQX_RESULT_OK);
    VQXReleaseMsgEx(mhVqx, &h);
    Intake();
    _VQCMC_ENTITY_CTX* pDst = ap[un32Linked != 0 ? un32Linked : 2];
    EXPECT_EQ(pDst->Params.un32SerialisationId, un32Linked != 0 ? 0x31u : 0x32u) << un32Src << "/" << un32Dst;
    const auto aOwnership = SentOf(VQCMC_SRV_SET_LINK_OWNERSHIP);
    ASSERT_TRUE(aOwnership.size() == (un32Linked != 0 ? 1u : 0u) && mNotifPayloads.size() == aOwnership.size());
    if (un32Linked == 0) continue;
    const u32 aNotif[] = {1, 0, 0x31, pDst->Params.EntityId, 0x04030201u, 0x08070605u};
    EXPECT_EQ(CmcHex(aOwnership[0].Payload.data() + 32, 8), CmcHex(aNotif + 2, 8)) << un32Dst;
    EXPECT_EQ(CmcHex(mNotifPayloads[0].data() + 24, 24), CmcHex(aNotif, 24)) << un32Dst;
    pDst->Params.un32SerialisationId = pDst->Params.EntityId;
  }
  EXPECT_EQ(LogCount("(SrcMapId=0x00000599)") + LogCount("(DstMapId=0x00000599)") + LogCount("refused (55 bytes)"), 3u);
}

}  // namespace
