/* Mixers: the public calls, the router, the state machine and its sweeps, the re-claim of mixers
 * and mixer links, and server input refused before it is read. */
#include <cstdio>
#include <cstring>

#include "support/cmc_fixture.h"
#include "vqcmc_lib_mixer_internal.h"
#include "vqcmc_payloads.h"

namespace {

void OnMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
  static_cast<std::vector<u32>*>(pv)->push_back((*phMsg)->un32MsgId);
}

class Mixers : public CmcTest {
 public:
  void Ready(u32 hHost) {
    Intake({AddServer(hHost, hHost)});
    Intake({Msg(VQCMC_SRV_READY, hHost, VQX_MSG_TYPE_EVENT, 64)});
  }
  _VQCMC_ENTITY_CTX* Create(u32 un32Id, u32 hHost = 0x100) {
    _VQCMC_ENTITY_CTX* p = nullptr;
    EXPECT_EQ(Locked([&] { return VqCmcLibMixerCreate(mhCmc, Host(hHost), un32Id, 0, &p); }), VQX_RESULT_OK);
    p->Params.Callback = {OnMsg, nullptr, &mCalls};
    return p;
  }
  /* Runs fct under the lock, then the jobs. */
  void Run(const std::function<VQX_RESULT()>& fct) { Locked(fct), Intake(); }
  /* Runs the router on the message, then the jobs; true when the message was left to the chain. */
  bool Route(VQX_MSG_HANDLE h) {
    Run([&] { return VqCmcMixerMsgHandle(mhCmc, Host(0x100), &h); });
    return h != nullptr && (VQXReleaseMsgEx(mhVqx, &h), true);
  }
  VQX_MSG_HANDLE Keyed(u32 un32Id, u32 un32Offset, u32 un32Value, u32 un32Size = 40) {
    VQX_MSG_HANDLE h = Msg(un32Id, 0x100, VQX_MSG_TYPE_EVENT, un32Size);
    u8* p = un32Offset == 0 ? reinterpret_cast<u8*>(&h->un64UserContext1) : VQXMsgPayload(h) + un32Offset;
    return memcpy(p, &un32Value, 4), h;
  }
  std::vector<u32> mCalls;
};

TEST_F(Mixers, PublicCallsAndRouting) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  _VQCMC_LIB_MIXER_PARAMS params{3, 0, 0, nullptr, {OnMsg, nullptr, &mCalls}, {1, 2, 3}}, out{};
  EXPECT_EQ(VQCmcLibMixerCreate(mhCmc, &params), VQX_RESULT_NOT_FOUND); /* no ready server */
  Ready(0x100);
  params.EntityId = 0;
  ASSERT_EQ(VQCmcLibMixerCreate(mhCmc, &params), VQX_RESULT_OK);
  const u32 un32Id = params.EntityId;
  EXPECT_EQ(VQCmcLibMixerCreate(mhCmc, &params), VQX_RESULT_INVALID_HANDLE);
  /* As a leg's: only the stored copy stands the id for a serialisation key of 0. */
  EXPECT_TRUE(VQCmcLibMixerFind(mhCmc, un32Id, &out) == VQX_RESULT_OK && out.un32SerialisationId == un32Id &&
              params.un32SerialisationId == 0);
  out.un32SerialisationId = 0;
  EXPECT_EQ(CmcHex(&out, sizeof(out)), CmcHex(&params, sizeof(params)));
  params.un32SerialisationId = 0, params.Callback.pvLegUserContext = nullptr;
  EXPECT_EQ(VQCmcLibMixerModify(mhCmc, &params), VQX_RESULT_INVALID_PARAM);
  params.Callback.pvLegUserContext = &mCalls;
  EXPECT_TRUE((VQCmcLibMixerModify(mhCmc, &params) | VQCmcLibMixerGetParam(mhCmc, un32Id, &out)) == VQX_RESULT_OK &&
              out.un32SerialisationId == 0);
  memset(&out, 0xAB, sizeof(out));
  EXPECT_EQ(VQCmcLibMixerGetParam(mhCmc, 0x7777, &out), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(CmcHex(&out, sizeof(out)), std::string(2 * sizeof(out), '0'));
  EXPECT_TRUE(Stats().un32MixersActive == 1 && Stats().un32MixersCreated == 1 && Host(0x100)->un32NbMixers == 1);
  _VQCMC_ENTITY_CTX* pMixer = static_cast<_VQCMC_ENTITY_CTX*>(VQXPoolOfBuffersFind(mhCmc->hEntityPool, un32Id));
  EXPECT_TRUE(pMixer->CurrState == VQCMC_LIB_STATE_READY && mCalls.empty() && mNotifs.size() == 1); /* READY only */
  const auto routes = CmcGolden("mixer_routes.txt");
  ASSERT_EQ(routes.size(), 10u);
  for (const auto& [name, row] : routes) {
    u32 un32MsgId = 0, un32Offset = 0, un32Value = 0, un32Size = 0, fDelivered = 0, fLeft = 0;
    ASSERT_EQ(
        sscanf(row.c_str(), "%x %u %x %u %u %u", &un32MsgId, &un32Offset, &un32Value, &un32Size, &fDelivered, &fLeft),
        6)
        << name;
    VQX_MSG_HANDLE h = Keyed(un32MsgId, un32Offset, un32Value != 0 ? un32Value : un32Id, un32Size);
    if (un32MsgId == VQCMC_MSG_CMD_MIXER_CREATE) memcpy(VQXMsgPayload(h) + 8, "\x44\x33\x22\x11", 4);
    mCalls.clear();
    EXPECT_TRUE(Route(h) == (fLeft != 0) && mCalls == (fDelivered ? std::vector<u32>{un32MsgId} : std::vector<u32>{}))
        << name;
  }
  EXPECT_TRUE(pMixer->MappingId == 0x11223344u && mNotifs.back() == VQCMC_MSG_NOTIF_MIXER_TERMINATED);
  EXPECT_EQ(LogCount("VqCmcLibMixerFind Failed (MixerId=0x00000999 msg=0x0a010034)"), 1u);
  EXPECT_EQ(VQCmcLibMixerDestroy(mhCmc, un32Id) | VQCmcLibMixerFind(mhCmc, un32Id, nullptr), VQX_RESULT_INVALID_PARAM);
  /* The unknown mixer's line is a trace of level 3. */
  mhCmc->Params.un32TraceLevel = 4;
  Route(Keyed(0x0A010034u, 28, 0x998));
  mhCmc->Params.un32TraceLevel = 3;
  Route(Keyed(0x0A010034u, 28, 0x997));
  EXPECT_EQ(LogCount("(MixerId=0x00000998 ") * 10 + LogCount("VqCmcLibMixerFind Failed (MixerId=0x00000997 "), 1u);
}

TEST_F(Mixers, StatesSweepsAndTheTenSecondRule) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Ready(0x100);
  Intake({AddServer(0x200, 0x200)});
  _VQCMC_ENTITY_CTX* pMixer = Create(0x31);
  _VQCMC_ENTITY_CTX* pOther = Create(0x32, 0x200);
  auto Change = [&](_VQCMC_ENTITY_CTX* p, u32 un32State) {
    Run([&] { return VqCmcMixerStateChange(mhCmc, p->pHostCtx, p, un32State); });
  };
  /* The sweep clears fReady, which the server machine keeps for a server still ready. */
  auto UnSync = [&](u32 h) { Run([&] { return VqCmcMixerUnSyncAll(mhCmc, Host(h)); }), Host(0x100)->fReady = 1; };
  auto Tick = [&](u32 un32Ms) { Advance(un32Ms), Intake(); }; /* the timeout loops back once */
  auto Timeout = [&] { Route(Keyed(VQCMC_PRIV_MIXER_TIMEOUT, 0, 0x31)); };
  auto SyncDone = [&] { pMixer->un8Flags = 0, Run([&] { return VqCmcMixerAllSyncDone(mhCmc, Host(0x100)); }); };
  const u32 kLost = VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, kTerm = VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED;
  /* {step, action, state after, the mixer callback's messages}; polls are 100 ms apart at least */
  const std::tuple<const char*, std::function<void()>, u32, std::vector<u32>> aSteps[] = {
      {"unsync", [&] { UnSync(0x100); }, 8, {kLost}},
      {"9899 ms", [&] { Tick(9899); }, 8, {}},
      {"10000 ms", [&] { Tick(101); }, 9, {kTerm}},
      {"unsync a terminated one", [&] { UnSync(0x100); }, 8, {}},
      {"sync done only in Ready", [&] { SyncDone(); }, 8, {}},
      {"state 3", [&] { Change(pMixer, 3); }, 3, {}},
      {"timeout in Not ready", [&] { Timeout(); }, 3, {}},
      {"ready", [&] { Change(pMixer, 1); }, 1, {}},
      {"a late timeout in Ready", [&] { Timeout(); }, 1, {}},
      {"sync done", [&] { SyncDone(); }, 1, {VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_DONE}},
  };
  for (const auto& [pszStep, action, un32State, aCalls] : aSteps) {
    mCalls.clear(), action();
    EXPECT_TRUE(pMixer->CurrState == un32State && mCalls == aCalls) << pszStep;
  }
  EXPECT_EQ(LogCount("Unk New State 0x3"), 1u);
  /* Another server entering Ready ends the unsynchronised mixers of every server. */
  UnSync(0x200);
  Intake({Msg(VQCMC_SRV_READY, 0x200, VQX_MSG_TYPE_EVENT, 64)});
  EXPECT_EQ(pOther->CurrState, 9u);
  /* So ended, a command on it is refused with nothing sent, its server ready or not: no answer would reach it. */
  VQX_MSG_HANDLE h = Msg(VQCMC_MSG_CMD_MIXER_TERMINATE, 0, VQX_MSG_TYPE_REQUEST, 48);
  EXPECT_EQ(VQCmcLibMixerMsgProcess(mhCmc, 0x32, 1, &h), VQX_RESULT_INVALID_STATE);
  Intake();
  EXPECT_TRUE(h == nullptr && SentOf(VQCMC_MSG_CMD_MIXER_TERMINATE).empty());
  EXPECT_EQ(LogCount("MixerId=0x00000032 terminated by the library (8200000F)"), 1u);
  /* A dead server's unsynchronised mixer still times out while another server is ready. */
  Change(pOther, 1);
  Intake({Removed(0x200)});
  EXPECT_EQ(pOther->CurrState, 8u);
  Run([&] { return VqCmcHostStateChange(mhCmc, Host(0x200), VQCMC_LIB_STATE_HOST_DEAD); });
  Advance(9000), Tick(1000);
  EXPECT_EQ(pOther->CurrState, 9u);
}

TEST_F(Mixers, ResynchronisationAndRefusedInput) {
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Ready(0x100);
  /* NotifMixerSync: {mixer id, mapping id, size, fault (1 play set past the payload, 2 play element
   * shorter than its record), mixer id reached (0 refused)} */
  const u32 aRows[][5] = {{0x41, 0x6001, 136, 0, 0x41},
                          {0, 0x6001, 136, 0, 0x41},
                          {0x42, 0x6002, 135, 0, 0},
                          {0x42, 0x6002, 136, 1, 0},
                          {0x42, 0x6002, 136, 2, 0}};
  for (const auto& row : aRows) {
    mNotifPayloads.clear(), mSent.clear();
    VQX_MSG_HANDLE h = Msg(VQCMC_SRV_NOTIF_MIXER_SYNC, 0x100, VQX_MSG_TYPE_EVENT, 512);
    ASSERT_EQ(VQXMsgElementInit(h, 136), VQX_RESULT_OK);
    u8* pPayload = VQXMsgPayload(h);
    for (u32 i = 8; i < 76; i++) pPayload[i] = static_cast<u8>(i);
    memcpy(pPayload + 8, &row[1], 4);
    memcpy(pPayload + 28, &row[0], 4);
    void* pPlay = nullptr;
    ASSERT_EQ(VQXMsgElementAlloc(h, pPayload + 128, row[3] == 2 ? 8 : 20, &pPlay), VQX_RESULT_OK);
    memset(static_cast<u8*>(pPlay) + 4, 0x5A, row[3] == 2 ? 4 : 16);
    ASSERT_EQ(row[3] == 2 ? 0x02000000u : VQXMsgElementStringAdd(h, pPlay, "prompt.wav"), VQX_RESULT_OK);
    h->un32PayloadLength = row[3] == 1 ? 144 : row[2] == 135 ? 135 : h->un32PayloadLength;
    EXPECT_FALSE(Route(h)) << row[0];
    const bool fFound = VQXPoolOfBuffersFind(mhCmc->hEntityPool, row[0] != 0 ? row[0] : 0x41) != nullptr;
    ASSERT_TRUE(fFound == (row[4] != 0) && mNotifPayloads.size() == (row[4] != 0 ? 1u : 0u)) << row[0] << " " << row[3];
    if (row[4] == 0) continue;
    const u8* pNotif = mNotifPayloads[0].data();
    const u32 aHead[] = {row[1], 0x0F0E0D0Cu, 0x13121110u, 0x17161514u, 1, row[4]};
    /* The mixer copy carries the listener and IVR bytes and the speaker slots, nothing else. */
    u8 abyMixer[44] = {pPayload[32], pPayload[33]};
    memcpy(abyMixer + 8, pPayload + 40, 4);
    EXPECT_EQ(CmcHex(pNotif + 8, 68), CmcHex(aHead, 24) + CmcHex(abyMixer, 44)) << row[0];
    u16 un16Size = 0;
    const u8* pElement = static_cast<const u8*>(VQXMsgElementGet(pNotif + 120, 0, &un16Size));
    ASSERT_TRUE(pElement != nullptr && un16Size == 20 && pElement[19] == 0x5A);
    EXPECT_STREQ(static_cast<const char*>(VQXMsgElementGet(pElement, 0, nullptr)), "prompt.wav");
    const auto aClaims = SentOf(VQCMC_SRV_SET_MIXER_OWNERSHIP);
    EXPECT_TRUE(aClaims.size() == 1 && CmcHex(aClaims[0].Payload.data() + 28, 4) == CmcHex(&row[4], 4));
  }
  EXPECT_EQ(LogCount("MsgId 0x0A020415 refused"), 3u);
  /* A NotifMixerSync naming a leg of another server (by id, or by mapping id with id 0) claims
   * nothing: the leg, its server and both servers' counts stay as they were. */
  Intake({AddServer(0x200, 0x200)});
  _VQCMC_ENTITY_CTX* pSyncedLeg = Leg(0x61, 0x200, OnMsg, nullptr, &mCalls);
  Locked([&] { return VqCmcLibEntityInsertMapId(mhCmc, 0x7061, pSyncedLeg); });
  pSyncedLeg->MappingId = 0x7061;
  for (const auto& [un32Id, un32MapId] : {std::pair{0x61u, 0u}, std::pair{0u, 0x7061u}}) {
    mNotifPayloads.clear(), mSent.clear();
    VQX_MSG_HANDLE h = Keyed(VQCMC_SRV_NOTIF_MIXER_SYNC, 28, un32Id, 136);
    memcpy(VQXMsgPayload(h) + 8, &un32MapId, 4);
    EXPECT_EQ(Route(h), un32Id == 0); /* with no mixer id it is left to the chain */
    EXPECT_TRUE(pSyncedLeg->Type == VQCMC_ENTITY_TYPE_LEG && pSyncedLeg->pHostCtx == Host(0x200)) << un32MapId;
    EXPECT_EQ(std::vector<u32>({Host(0x200)->un32NbLegs, Host(0x200)->un32NbMixers, Host(0x100)->un32NbLegs}),
              std::vector<u32>({1, 0, 0})) << un32MapId;
    EXPECT_TRUE(SentOf(VQCMC_SRV_SET_MIXER_OWNERSHIP).empty() && mNotifPayloads.empty()) << un32MapId;
  }
  EXPECT_EQ(LogCount("NOTIF_MIXER_SYNC: VqCmcMixerMsgHandleNotifMixerSync Failed (8200000A)"), 2u);
  /* A mixer in Cmixer unsynced is claimed back to Ready in the same turn. */
  auto* pMixer = static_cast<_VQCMC_ENTITY_CTX*>(VQXPoolOfBuffersFind(mhCmc->hEntityPool, 0x41));
  Locked([&] { return VqCmcMixerStateChange(mhCmc, Host(0x100), pMixer, VQCMC_LIB_STATE_CMIXER_UNSYNCED); });
  Route(Keyed(VQCMC_SRV_NOTIF_MIXER_SYNC, 28, 0x41, 136));
  EXPECT_EQ(pMixer->CurrState, 1u);
  /* NotifMixerLinkSync: {mixer mapping id, entity mapping id, size, join offset in the notification (0 none)} */
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x51, 0x100, OnMsg, nullptr, &mCalls);
  Locked([&] {
    return VqCmcLibEntityInsertMapId(mhCmc, 0x7001, pLeg) | VqCmcLibEntityInsertMapId(mhCmc, 0x6003, Create(0x44));
  });
  const u32 aLinks[][4] = {
      {0x6001, 0x7001, 64, 40}, {0x6001, 0x6003, 64, 48}, {0x6009, 0x7001, 64, 0}, {0x6001, 0x7001, 60, 0}};
  for (const auto& [un32MixerMap, un32EntityMap, un32Size, un32JoinAt] : aLinks) {
    mNotifPayloads.clear(), mSent.clear();
    VQX_MSG_HANDLE hLink = Msg(VQCMC_SRV_NOTIF_MIXER_LINK_SYNC, 0x100, VQX_MSG_TYPE_EVENT, 64);
    const u32 aWords[] = {0x41, 0x51, un32MixerMap, un32EntityMap, 0x04030201u, 0x08070605u, 0x0C0B0A09u, 0x100F0E0Du};
    memcpy(VQXMsgPayload(hLink) + 32, aWords, sizeof(aWords));
    hLink->un32PayloadLength = un32Size;
    EXPECT_FALSE(Route(hLink));
    ASSERT_EQ(mNotifPayloads.size(), un32JoinAt != 0 ? 1u : 0u) << std::hex << un32EntityMap << " " << un32Size;
    if (un32JoinAt == 0) continue;
    const u8* pNotif = mNotifPayloads[0].data();
    const u32 un32Joined = un32JoinAt == 40 ? 0x51 : 0x44;
    const std::string join = CmcHex(aWords + (un32JoinAt == 40 ? 4 : 6), 8), zero(16, '0');
    EXPECT_EQ(CmcHex(pNotif + 32, 24),
              CmcHex(aWords, 4) + CmcHex(&un32Joined, 4) + (un32JoinAt == 40 ? join + zero : zero + join));
    EXPECT_EQ(SentOf(VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP).size(), 1u);
  }
  EXPECT_TRUE(pLeg->Params.un32SerialisationId == 0x41u &&
              LogCount("(MixerMapId=0x00006009)") + LogCount("refused (60 bytes") == 2);
}

}  // namespace
