/* Legs: the router's table, the state machine, the 10000 ms rule, server input, the public leg calls. */
#include <cstring>
#include <functional>

#include "support/cmc_fixture.h"
#include "vqcmc_lib_leg_internal.h"
#include "vqcmc_lib_mixer_internal.h"

namespace {

constexpr u32 kSrv = 0x100, kLeg = 0x41;

class Legs : public CmcTest {
 protected:
  void SetUp() override {
    CmcTest::SetUp();
    ASSERT_EQ(Open(), VQX_RESULT_OK);
    Intake({AddServer(kSrv, kSrv)});
    Host(kSrv)->fReady = 1;
  }
  static void OnLegMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
    Legs* pTest = static_cast<Legs*>(pv);
    pTest->mLegMsgs.push_back((*phMsg)->un32MsgId);
    if ((*phMsg)->MsgType != VQX_MSG_TYPE_RESPONSE || (*phMsg)->un32PayloadLength < 44) return;
    u32 aun32Words[2];  /* the result at word 7, and the number a test put at 40 */
    memcpy(&aun32Words[0], VQXMsgPayload(*phMsg) + 28, 4);
    memcpy(&aun32Words[1], VQXMsgPayload(*phMsg) + 40, 4);
    pTest->mAnswers.emplace_back(aun32Words[0], aun32Words[1]);
  }
  static void OnLegEvent(VQCMC_LIB_HANDLE, void* pv, u64 un64Key, u8*) {
    static_cast<Legs*>(pv)->mLegMsgs.push_back(static_cast<u32>(un64Key));
  }
  /* A leg of the application, created through the public call. */
  _VQCMC_ENTITY_CTX* NewLeg(u32 un32Id) {
    _VQCMC_LIB_LEG_PARAMS params{};
    params.EntityId = un32Id;
    params.Callback = {OnLegMsg, OnLegEvent, this};
    EXPECT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
    _VQCMC_ENTITY_CTX* pLeg = nullptr;
    VqCmcLibLegFind(mhCmc, params.EntityId, 0, &pLeg);
    return pLeg;
  }
  /* Runs the router on the message (lock held); true when it was consumed. */
  bool Route(VQX_MSG_HANDLE h) {
    Locked([&] { return VqCmcLegMsgHandle(mhCmc, Host(kSrv), &h); });
    const bool fConsumed = h == nullptr;
    if (h != nullptr) VQXReleaseMsgEx(mhVqx, &h);
    Intake();
    return fConsumed;
  }
  /* A NotifLegSync with its element area (a short one without). */
  VQX_MSG_HANDLE LegSync(u32 un32LegId, u32 un32MapId, u32 un32Size = sizeof(_VQCMC_SRV_NOTIF_LEG_SYNC)) {
    VQX_MSG_HANDLE h = Msg(VQCMC_SRV_NOTIF_LEG_SYNC, kSrv, VQX_MSG_TYPE_EVENT, un32Size + 512);
    h->un32PayloadLength = un32Size;
    if (un32Size == sizeof(_VQCMC_SRV_NOTIF_LEG_SYNC)) VQXMsgElementInit(h, un32Size);
    if (un32Size >= 36) memcpy(VQXMsgPayload(h) + 32, &un32LegId, 4);
    memcpy(VQXMsgPayload(h) + 8, &un32MapId, 4);
    return h;
  }
  std::vector<u32> mLegMsgs;
  std::vector<std::pair<u32, u32>> mAnswers; /* responses delivered: result, number */
};

/* Every row of the router: the leg found where the id says, and what an unknown leg does. */
TEST_F(Legs, RoutingTable) {
  _VQCMC_ENTITY_CTX* pLeg = NewLeg(kLeg);
  /* Rows "id: where the leg id is (ctx, w7, w8, p8), delivered or consumed, quiet". */
  const std::map<std::string, std::string> rows = CmcGolden("leg_routes.txt");
  ASSERT_EQ(rows.size(), 27u);
  for (const auto& [id, row] : rows) {
    const u32 un32Id = std::stoul(id, nullptr, 16);
    for (const u32 un32LegId : {kLeg, 0x99u}) {
      pLeg->un8Flags = 0; /* a call-terminated row ends the leg's deliveries */
      mLegMsgs.clear();
      mNotifs.clear();
      VQX_MSG_HANDLE h = Msg(un32Id, kSrv, VQX_MSG_TYPE_EVENT, 40);
      h->un64UserContext1 = row.starts_with("ctx") ? 0x700000000ull | un32LegId : 0;
      const u32 un32Offset = row.starts_with("w8") ? 32 : row.starts_with("w7") ? 28 : row.starts_with("p8") ? 8 : 0;
      if (un32Offset != 0) memcpy(VQXMsgPayload(h) + un32Offset, &un32LegId, 4);
      if (un32Offset == 8) memcpy(VQXMsgPayload(h) + 16, &un32Id, 4); /* the event key the leg gets */
      const bool fConsumed = Route(h);
      const bool fQuiet = row.ends_with("quiet"), fDelivered = row.find("delivered") != std::string::npos;
      if (un32LegId == kLeg) {
        EXPECT_TRUE(fConsumed) << id;
        EXPECT_EQ(mLegMsgs, fDelivered ? std::vector<u32>{un32Id} : std::vector<u32>{}) << id;
      } else {
        EXPECT_EQ(fConsumed, !fQuiet) << id;
        EXPECT_EQ(mNotifs.size(), un32Id == VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED ? 1u : 0u) << id;
      }
    }
  }
  EXPECT_EQ(LogCount("VqCmcLibLegFind Failed (LegId=0x00000099 msg=0x0a010012)"), 1u);
  EXPECT_FALSE(Route(Msg(0x0A010030u, kSrv, VQX_MSG_TYPE_EVENT, 40))); /* not a leg message */
}

/* The leg's states through every transition; each row: what happens, the state, what the application got, and
 * what a command on the leg then gets: one the library ended (the server gone, or a server that did not claim it)
 * is refused with nothing sent, as no answer would reach it. */
TEST_F(Legs, StateMachineTransitions) {
  _VQCMC_ENTITY_CTX* pLeg = NewLeg(kLeg);
  EXPECT_EQ(LogCount("0x00000041 StateChange (Init -> Init)") + LogCount("0x00000041 StateChange (Init -> Ready)"), 2u);
  _VQCMC_HOST_CTX* pHost = Host(kSrv);
  const u32 un32SyncLost = VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, un32Term = VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED;
  constexpr VQX_RESULT kOk = VQX_RESULT_OK, kEnded = VQX_RESULT_INVALID_STATE;
  /* {step, what it does, state, what the leg's callback and the default callback received, a command's result} */
  const std::tuple<const char*, std::function<void()>, u32, std::vector<u32>, std::vector<u32>, VQX_RESULT> aSteps[] = {
      {"created", [] {}, 1, {}, {}, kOk},
      {"server lost", [&] { Locked([&] { return VqCmcLegUnSyncAll(mhCmc, pHost); }); }, 5, {un32SyncLost}, {}, kOk},
      {"claimed again", [&] { Route(LegSync(kLeg, 0x777)); }, 1, {}, {VQCMC_LIB_MSG_NOTIF_LEG_SYNC}, kOk},
      {"claimed while ready", [&] { Route(LegSync(kLeg, 0x777)); }, 1, {}, {VQCMC_LIB_MSG_NOTIF_LEG_SYNC}, kOk},
      {"lost again", [&] { Locked([&] { return VqCmcLegUnSyncAll(mhCmc, pHost); }); }, 5, {un32SyncLost}, {}, kOk},
      {"a server ready", [&] { Locked([&] { return VqCmcLegTerminateUnSynced(mhCmc, pHost); }); }, 6, {un32Term}, {},
       kEnded},
      {"lost once terminated", [&] { Locked([&] { return VqCmcLegUnSyncAll(mhCmc, pHost); }); }, 5, {}, {}, kOk},
      {"server dead", [&] { Locked([&] { return VqCmcLegTerminateOwned(mhCmc, pHost), VQX_RESULT_OK; }); }, 6, {}, {},
       kEnded},
      {"unknown state 3", [&] { Locked([&] { return VqCmcLegStateChange(mhCmc, pHost, pLeg, 3); }); }, 3, {}, {}, kOk},
  };
  for (const auto& [pszStep, Do, un32State, aLeg, aDefault, command] : aSteps) {
    mLegMsgs.clear();
    mNotifs.clear();
    Do();
    Intake();
    EXPECT_TRUE(pLeg->CurrState == un32State && mLegMsgs == aLeg && mNotifs == aDefault) << pszStep;
    const size_t nSent = SentOf(VQCMC_MSG_CMD_DIGIT_PLAY).size();
    VQX_MSG_HANDLE h = Msg(VQCMC_MSG_CMD_DIGIT_PLAY, 0, VQX_MSG_TYPE_REQUEST, 96);
    EXPECT_EQ(VQCmcLibLegMsgProcess(mhCmc, kLeg, 1, &h), command) << pszStep;
    Intake();
    EXPECT_TRUE(h == nullptr && SentOf(VQCMC_MSG_CMD_DIGIT_PLAY).size() == nSent + (command == kOk)) << pszStep;
  }
  EXPECT_EQ(LogCount("VQCmcLibLegMsgProcess: LegId=0x00000041 terminated by the library (8200000F)"), 2u);
  EXPECT_EQ(LogCount("Unk New State 0x3"), 1u);
  EXPECT_EQ(SentOf(VQCMC_SRV_SET_LEG_OWNERSHIP).size(), 2u);
  EXPECT_EQ(LogCount("flushed because VQCMC_LIB_STATE_CLEG_UNSYNCED") + LogCount("HostDead: Terminating leg"), 2u);
}

/* A full coalescing queue (256 commands) goes to the host library as the 257th comes, and is refused there (here: no
 * such peer). Each of the 256 is answered by the library with that refusal at the next intake, reaching the leg in
 * order as its server's answer would; the 257th fails at once; none is sent, and the refusal has its line. */
TEST_F(Legs, BatchRefusedByTheHostLibraryAnswersEachCommand) {
  NewLeg(kLeg);
  Intake();
  mLegMsgs.clear();
  constexpr VQX_RESULT kRefused = VQX_RESULT_API_INVALID_ADA_HANDLE;
  for (u32 i = 0; i <= VQCMC_COALESCING_SLOTS; i++) {
    VQX_MSG_HANDLE h = Msg(VQCMC_MSG_CMD_DIGIT_PLAY, 0, VQX_MSG_TYPE_REQUEST, 96);
    memcpy(VQXMsgPayload(h) + 40, &i, 4);
    EXPECT_EQ(VQCmcLibLegMsgProcess(mhCmc, kLeg, 1, &h), i < VQCMC_COALESCING_SLOTS ? VQX_RESULT_OK : kRefused) << i;
  }
  EXPECT_TRUE(mLegMsgs.empty()) << "answered by the next intake, not inside the call";
  Intake();
  std::vector<std::pair<u32, u32>> aExpected;
  for (u32 i = 0; i < VQCMC_COALESCING_SLOTS; i++) aExpected.emplace_back(kRefused, i);
  EXPECT_EQ(mAnswers, aExpected);
  EXPECT_EQ(mLegMsgs, std::vector<u32>(VQCMC_COALESCING_SLOTS, VQCMC_MSG_CMD_DIGIT_PLAY));
  EXPECT_TRUE(SentOf(VQCMC_MSG_CMD_DIGIT_PLAY).empty());
  EXPECT_EQ(LogCount("256 message(s) refused by the host library, 256 of them commands, each answered with its "
                     "refusal (82010209)"),
            1u);
}

/* A flood of messages on a leg the library ended, each left unhandled by the leg, its server and the intake (three
 * "Unhandle Message" lines): such a line is written once a second, with the count of those left out on the next one,
 * or on a line of its own at the first intake past the second.
 * Rows: {ms after the last row, messages, lines of each kind written by then}. */
TEST_F(Legs, UnhandledMessagesFloodIsWrittenOnceASecond) {
  _VQCMC_ENTITY_CTX* pLeg = NewLeg(kLeg);
  Locked([&] { return VqCmcLegStateChange(mhCmc, Host(kSrv), pLeg, VQCMC_LIB_STATE_CLEG_TERMINATED); });
  Intake();
  const std::string strLine = "Unhandle Message MsgId:0xA010012 on LegId:0x00000041";
  const struct {
    u32 un32AfterMs, un32Count;
    size_t nPlain, nWithCount, nCountAlone;
  } aRows[] = {{0, 1000, 1, 0, 0}, {1000, 1, 1, 1, 0}, {200, 3, 1, 1, 0}, {800, 0, 1, 1, 1}, {5000, 2, 2, 1, 1}};
  for (const auto& r : aRows) {
    mun32Now += r.un32AfterMs;
    std::vector<VQX_MSG_HANDLE> aMsgs;
    for (u32 i = 0; i < r.un32Count; i++) {
      aMsgs.push_back(Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, kSrv, VQX_MSG_TYPE_EVENT, 40));
      memcpy(VQXMsgPayload(aMsgs.back()) + 32, &kLeg, 4);
    }
    Intake(aMsgs);
    const std::string strRow = std::to_string(r.un32AfterMs) + " ms, " + std::to_string(r.un32Count);
    EXPECT_EQ(LogCount(strLine + " vqcmc"), r.nPlain) << strRow;
    EXPECT_EQ(LogCount(strLine + " (2999 similar line(s) left out)"), r.nWithCount) << strRow;
    EXPECT_EQ(LogCount("Unhandle Message: 11 similar line(s) left out"), r.nCountAlone) << strRow;
  }
}

/* An unsynchronised leg is terminated at 10000 ms, not before, unless claimed; pending requests hold the check. */
TEST_F(Legs, TenSecondRule) {
  /* {claimed at (ms, 0: never), requests pending, state at 9999 ms, state at 10000 ms} */
  const u32 aRows[][4] = {{0, 0, 5, 6}, {5000, 0, 1, 1}, {5000, 1, 5, 1}, {0, 1, 5, 6}};
  u32 un32Id = 0x50;
  for (const auto& [un32SyncAt, un32Pending, un32Before, un32After] : aRows) {
    _VQCMC_ENTITY_CTX* pLeg = NewLeg(++un32Id);
    Locked([&] { return VqCmcLegStateChange(mhCmc, Host(kSrv), pLeg, VQCMC_LIB_STATE_CLEG_UNSYNCED); });
    u8* pPayload = nullptr; /* a request sent for the leg: pending until its state changes */
    if (un32Pending != 0) Locked([&] { return VqCmcMsgProtectedAlloc(mhCmc, VQCMC_SRV_SYNC_COMPLETED, &pPayload); });
    if (un32Pending != 0) Locked([&] { return VqCmcLegHostMsgSend(mhCmc, Host(kSrv), pLeg, &pPayload); });
    Advance(un32SyncAt);
    if (un32SyncAt != 0) Route(LegSync(un32Id, 0x800 + un32Id));
    Advance(9999 - un32SyncAt);
    EXPECT_EQ(pLeg->CurrState, un32Before) << "row " << un32Id;
    Advance(101); /* the next timer poll (polls are over 100 ms apart) */
    Intake();
    EXPECT_EQ(pLeg->CurrState, un32After) << "row " << un32Id;
  }
  EXPECT_EQ(SentOf(VQCMC_SRV_SYNC_COMPLETED).size(), 2u);
}

/* Legs a server creates: a call offer or a NotifLegSync with id 0 gets the library's id written back; bad input
 * refused. */
TEST_F(Legs, ServerCreatedLegsAndBadInput) {
  NewLeg(kLeg);
  /* A call offer with id 0: the default callback reads the new id at 32. One for an existing leg reaches it. */
  VQX_MSG_HANDLE hOffer = Msg(VQCMC_MSG_NOTIF_CALL_LEG_PRESENT, kSrv, VQX_MSG_TYPE_EVENT, 40);
  VQX_MSG_HANDLE hAgain = Msg(VQCMC_MSG_NOTIF_CALL_LEG_PRESENT, kSrv, VQX_MSG_TYPE_EVENT, 40);
  memcpy(VQXMsgPayload(hOffer) + 8, "\x34\x12\0\0", 4);
  memcpy(VQXMsgPayload(hAgain) + 32, &kLeg, 4);
  mhCmc->NextEntityId = 0x60;
  EXPECT_TRUE(Route(hOffer) && Route(hAgain));
  EXPECT_EQ(CmcHex(mNotifPayloads.at(0).data() + 32, 4), "61000000");
  _VQCMC_ENTITY_CTX* pOffered = nullptr;
  EXPECT_EQ(VqCmcLibLegFind(mhCmc, 0, 0x1234, &pOffered), VQX_RESULT_OK);
  EXPECT_TRUE(pOffered != nullptr && pOffered->Params.EntityId == 0x61u && pOffered->CurrState == 1u);
  EXPECT_EQ(mLegMsgs, std::vector<u32>{VQCMC_MSG_NOTIF_CALL_LEG_PRESENT});
  /* A NotifLegSync with id 0 for a leg unknown: created, claimed, LEG_SYNC with the new id and a copy of
   * its play set (one play attribute naming one file). */
  VQX_MSG_HANDLE hSync = LegSync(0, 0x4321);
  void* pvPlay = nullptr;
  VQXMsgElementAlloc(hSync, VQXMsgPayload(hSync) + 744, sizeof(_VQCMC_PLAY_ATTRIBUTE), &pvPlay);
  ASSERT_EQ(VQXMsgElementStringAdd(hSync, pvPlay, "hold.wav"), VQX_RESULT_OK);
  EXPECT_TRUE(Route(hSync));
  EXPECT_EQ(CmcHex(mNotifPayloads.at(1).data() + 8, 28), "21430000000000000000000000000000010000000000000062000000");
  const void* pvCopy = VQXMsgElementGet(mNotifPayloads.at(1).data() + 736, 0, nullptr);
  EXPECT_STREQ(pvCopy != nullptr ? static_cast<const char*>(VQXMsgElementGet(pvCopy, 0, nullptr)) : "", "hold.wav");
  /* Bad input, each row refused with its line and nothing created: {message, line} */
  VQX_MSG_HANDLE hBadSet = LegSync(0x70, 0x70);
  const u32 un32Broken = 0x00010100u; /* one element, 256 bytes ahead: past the payload */
  memcpy(VQXMsgPayload(hBadSet) + 744, &un32Broken, 4);
  const std::pair<VQX_MSG_HANDLE, const char*> aBad[] = {
      {LegSync(0x71, 0x71, 751), "NotifLegSync refused: short record (751 bytes)"},
      {hBadSet, "NotifLegSync refused: broken element set (760 bytes)"},
      {Msg(VQCMC_MSG_NOTIF_CALL_LEG_PRESENT, kSrv, VQX_MSG_TYPE_EVENT, 32), "CALL_LEG_PRESENT refused (32 bytes)"},
      {Msg(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, kSrv, VQX_MSG_TYPE_EVENT, 35), "Message 0x0a010012 refused (35 bytes)"},
      {Msg(VQCMC_MSG_NOTIF_LEG_ERROR, kSrv, VQX_MSG_TYPE_EVENT, 30), "Message 0x0a010091 refused (30 bytes)"}};
  for (const auto& [h, pszLine] : aBad) EXPECT_TRUE(Route(h) && LogCount(pszLine) == 1u) << pszLine;
  EXPECT_EQ(Stats().un32LegsActive, 3u); /* kLeg and the two above */
  /* A NotifLegSync naming a mixer claims nothing: no SetLegOwnership, no LEG_SYNC, the message freed. */
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  ASSERT_EQ(Locked([&] { return VqCmcLibMixerCreate(mhCmc, Host(kSrv), 0x72, 0, &pMixer); }), VQX_RESULT_OK);
  const size_t nSent = mSent.size(), nNotifs = mNotifs.size();
  EXPECT_TRUE(Route(LegSync(0x72, 0x72)));
  EXPECT_EQ(LogCount("NOTIF_LEG_SYNC: VqCmcLegMsgHandleNotifLegSync Failed"), 1u);
  EXPECT_EQ(LogCount("VqCmcLibLegFind Failed (LegId=0x00000072 msg=0x0a020411)"), 1u);
  EXPECT_TRUE(mSent.size() == nSent && mNotifs.size() == nNotifs);
  /* A short quiet message is left to the mixers. */
  EXPECT_FALSE(Route(Msg(VQCMC_MSG_NOTIF_PLAYING_DONE, kSrv, VQX_MSG_TYPE_EVENT, 20)));
}

/* A leg left unsynchronised by a server that went dead still times out to Cleg terminated; its destroy frees the
 * record. */
TEST_F(Legs, DeadServerLegTimesOut) {
  _VQCMC_ENTITY_CTX* pLeg = NewLeg(kLeg);
  Intake({AddServer(0x200, 0x200)});
  Host(0x200)->fReady = 1; /* another server is ready: the dead one's legs are not killed wholesale */
  ASSERT_EQ(pLeg->pHostCtx, Host(kSrv));
  Intake({Removed(kSrv)});
  EXPECT_EQ(pLeg->CurrState, 5u);
  Advance(10001); /* the server's and the leg's timeouts, in that order */
  Intake();
  EXPECT_EQ(Host(kSrv)->CurrState, VQCMC_LIB_STATE_HOST_DEAD);
  EXPECT_EQ(pLeg->CurrState, 6u);
  EXPECT_EQ(mLegMsgs.back(), VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED);
  EXPECT_EQ(VQCmcLibLegDestroy(mhCmc, kLeg), VQX_RESULT_OK);
  Advance(1001);
  Intake();
  EXPECT_EQ(Host(kSrv), nullptr);
}

/* State entries run on a few messages the library keeps: nested entries (Init then Ready), resync
 * cycles, an entry no handler takes; nothing more is held once the library is closed. */
TEST_F(Legs, StateEntriesRunOnKeptMessages) {
  Close();
  const std::vector<u64> held = HeldBy();
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Intake({AddServer(kSrv, kSrv)});
  _VQCMC_HOST_CTX* pHost = Host(kSrv);
  pHost->fReady = 1;
  _VQCMC_ENTITY_CTX* pLeg = NewLeg(kLeg);
  const u32 un32Kept = mhCmc->un32EntryFree;
  for (u32 i = 0; i < 20; i++) {
    Locked([&] { return VqCmcLegUnSyncAll(mhCmc, pHost); });
    pHost->fReady = 1;
    Route(LegSync(kLeg, 0x777));
  }
  EXPECT_EQ(pLeg->CurrState, VQCMC_LIB_STATE_READY);
  EXPECT_EQ(mLegMsgs, std::vector<u32>(20, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST));
  EXPECT_TRUE(un32Kept >= 1 && un32Kept <= VQCMC_ENTRY_MSGS_KEPT && mhCmc->un32EntryFree == un32Kept);
  Locked([&] { return VqCmcHostStateChange(mhCmc, pHost, 7); }); /* "Invalid state": left in the handle */
  EXPECT_EQ(LogCount("Invalid state for 0x00000100"), 1u);
  EXPECT_TRUE(mhCmc->un32EntryFree == un32Kept && mhCmc->hEntryLent.load() == nullptr);
  Close();
  EXPECT_EQ(HeldBy(), held);
}

/* The public leg calls: create with id 0, modify, find, get-parameters, their refusals. */
TEST_F(Legs, PublicCalls) {
  _VQCMC_LIB_LEG_PARAMS params{}, got{};
  params.Callback = {OnLegMsg, OnLegEvent, this};
  params.LegType = VQCMC_LEG_TYPE_MEDIA_ONLY;
  mhCmc->NextEntityId = 0x80;
  ASSERT_EQ(VQCmcLibLegCreate(mhCmc, &params), VQX_RESULT_OK);
  EXPECT_EQ(VQCmcLibLegGetParam(mhCmc, 0x81, &got), VQX_RESULT_OK);
  EXPECT_TRUE(params.EntityId == 0x81u && got.un32SerialisationId == 0x81u && got.LegType == 2u);
  EXPECT_EQ(params.un32SerialisationId, 0u); /* only the stored copy stands the id for 0 */
  EXPECT_EQ(VQCmcLibLegModify(mhCmc, &params), VQX_RESULT_OK); /* a serialisation id of 0 is stored as 0 */
  EXPECT_EQ(VQCmcLibLegFind(mhCmc, 0x81, &got), VQX_RESULT_OK);
  EXPECT_EQ(CmcHex(&got, sizeof(got)), CmcHex(&params, sizeof(params)));
  memset(&got, 0xAB, sizeof(got));
  EXPECT_EQ(VQCmcLibLegGetParam(mhCmc, 0x99, &got), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(CmcHex(&got, sizeof(got)), std::string(2 * sizeof(got), '0'));
  /* {record change, call, result, line} */
  const std::tuple<std::function<void(_VQCMC_LIB_LEG_PARAMS&)>, bool, VQX_RESULT, const char*> aRows[] = {
      {[](auto& p) { p.LegType = 3; }, true, VQX_RESULT_INVALID_PARAM, "Invalid LegType=0x3"},
      {[](auto& p) { p.EntityId = 0x81; }, true, VQX_RESULT_INVALID_HANDLE, "VqCmcLibLegCreate Failed"},
      {[](auto& p) { p.EntityId = 0x99; }, false, VQX_RESULT_INVALID_PARAM, "VqCmcLibLegFind Failed LegId=0x00000099"},
      {[](auto& p) { p.EntityId = 0x81, p.LegType = 7; }, false, VQX_RESULT_INVALID_PARAM, "Invalid LegType=0x7"}};
  for (const auto& [change, fCreate, expected, pszLine] : aRows) {
    _VQCMC_LIB_LEG_PARAMS p{};
    p.Callback = {OnLegMsg, OnLegEvent, this};
    change(p);
    EXPECT_EQ(fCreate ? VQCmcLibLegCreate(mhCmc, &p) : VQCmcLibLegModify(mhCmc, &p), expected) << pszLine;
    EXPECT_EQ(LogCount(pszLine), 1u) << pszLine;
  }
  EXPECT_EQ(Stats().un32LegsCreated, 1u);
  EXPECT_EQ(VQCmcLibLegDestroy(mhCmc, 0x81), VQX_RESULT_OK);
  EXPECT_EQ(Stats().un32LegsActive, 0u);
}

}  // namespace
