/*
 * An outgoing call against the stand-in server (testing/cmcsim) on
 * 127.0.0.1 through every call-control command and call notification: each
 * command's fields are checked by the stand-in at their offsets, each
 * notification comes in its full layout and reaches its callback with what
 * it carried, in order; the call ends terminated and freed. Also: commands
 * the state refuses, answers the server refuses (to the request's listener),
 * a refused create ending the leg, a leg error with its detail block, a
 * media-only leg created without protocol attribute and ended through the
 * static terminate, and a
 * server restart after which one leg is synchronised again (sync lost, a
 * terminate refused while out of sync, sync done) and the other, not
 * reported, is dropped with reason 205 and freed: the digit plays the
 * restart left unanswered fail to their listeners at sync lost, and a leg
 * made while no server is ready fails its create with the not-ready code.
 * After Detach, and with the instance gone, every command fails at once.
 */
#include "cmc_it_leg.h"
#include "cmc_test_support.h"

namespace {

using cmcit::CItLeg;
using cmcit::CItListener;
using cmcit::CJournal;

std::mutex g_Guard;
bool g_fReady = false;

void OnLibMessage(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* ph) {
  std::lock_guard Lock(g_Guard);
  g_fReady = g_fReady || (*ph)->un32MsgId == VQCMC_APP_MSG_NOTIF_READY;
}

class CmcCallIt : public testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard Lock(g_Guard);
      g_fReady = false;  // each test's own server says ready
    }
    Run.Open("cmc_call_it", OnLibMessage, [] { return std::lock_guard(g_Guard), g_fReady; });
  }
  void TearDown() override {
    EXPECT_EQ(Run.Server.Violations(), 0) << Run.Server.Command("stats");
    Run.Close();
  }
  /* A control line the stand-in must take. */
  std::function<void()> Line(const std::string& strLine) {
    return [this, strLine] { EXPECT_EQ(Run.Server.Command(strLine), "ok") << strLine; };
  }
  /* A notification of id naming leg un32Leg, with fields. */
  std::function<void()> Notify(u32 un32Id, u32 un32Leg, const std::string& strFields = "") {
    return Line("notify " + cmcpeer::CmcServerProcess::Hex(un32Id) + " " + cmcpeer::CmcServerProcess::Hex(un32Leg) +
                " " + strFields);
  }
  /* The fields of the last command of that name hold each text. */
  void ExpectFields(const std::string& strName, std::initializer_list<const char*> aTexts) {
    const std::string s = Run.Server.Command("fields " + strName);
    for (const char* psz : aTexts) EXPECT_NE(s.find(psz), std::string::npos) << psz << " in " << s;
  }
  CmcServerRun Run;
};

TEST_F(CmcCallIt, OutgoingCallThroughEveryCommandAndNotification) {
  CJournal J;
  CItListener L(J, "L");
  auto* A = new CItLeg(J, "A");
  A->mfFreeOnEnd = true;
  const u32 un32Leg = A->GetLegId();
  ASSERT_EQ(A->IsValidCallCtx(), 1u);
  auto Ok = [](VQX_RESULT r) { EXPECT_EQ(r, VQX_RESULT_OK); };
  CVQCMC_CALL_TRANSFER Transfer;
  Transfer.SetTransferNumber("5550199");
  _VQCMC_CALL_REASON Busy{486, {}}, Normal{16, {}};
  const std::function<void()> fnNone = [] {};
  const struct {
    const char* pszStep;
    std::function<void()> fnAct;
    std::string strAdd;
    std::function<void()> fnAfter;  /* checks once the step is seen */
  } aSteps[] = {
      {"create", [&] { Ok(A->CreateCall(nullptr, &L)); }, "A:Create ok;", [&] {
         ExpectFields("CALL_LEG_CREATE", {"\"leg_type\": 1,", "\"5551000\""});
         // Refused by the state: nothing is sent, no listener hears it.
         EXPECT_EQ(A->AcceptCall(nullptr, &L), VQX_RESULT_INVALID_STATE);
       }},
      {"accepted", Notify(VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, un32Leg, "protocol=183"), "A:Accepted 183;", fnNone},
      {"alerting", Notify(VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, un32Leg, "protocol=180"), "A:Alerting 180;", fnNone},
      {"answered", Notify(VQCMC_MSG_NOTIF_CALL_LEG_ANSWERED, un32Leg, "protocol=200"), "A:Answered 200;",
       [&] { EXPECT_EQ(A->GetState(), VQCMC_CALL_LEG_STATE_ANSWERED); }},
      {"supp info", [&] { Ok(A->SendCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE(5), nullptr, &L)); }, "A:SuppInfo ok;",
       [&] { ExpectFields("CALL_SUPP_INFO", {"\"type\": 5,"}); }},
      {"progress: SIP 183", [&] { Ok(A->ProgressCall(nullptr, &L)); }, "A:SuppInfo ok;",
       [&] { ExpectFields("CALL_SUPP_INFO", {"\"type\": 1,", "\"status\": 183"}); }},
      {"supp info notified", Notify(VQCMC_MSG_NOTIF_CALL_SUPP_INFO, un32Leg, "type=2 protocol=200"),
       "A:SuppInfo 2 200;", fnNone},
      {"transfer request", [&] { Ok(A->CallTransferRequest(Transfer, nullptr, &L)); }, "A:TransferRequest ok;",
       [&] { ExpectFields("CALL_TRANSFER_REQUEST", {"\"number\": \"5550199\""}); }},
      {"transfer progress", [&] { Ok(A->CallTransferProgress(nullptr, &L)); }, "A:TransferProgress ok;", fnNone},
      {"transfer response", [&] { Ok(A->CallTransferResponse(Busy, nullptr, &L)); }, "A:TransferResponse ok;",
       [&] { ExpectFields("CALL_TRANSFER_RESPONSE", {"\"reason\": 486"}); }},
      {"transfer requested", Notify(VQCMC_MSG_NOTIF_CALL_TRANSFER_REQUEST, un32Leg, "number=5550123 protocol=302"),
       "A:TransferRequest 5550123 302;", fnNone},
      {"transfer progressing", Notify(VQCMC_MSG_NOTIF_CALL_TRANSFER_PROGRESS, un32Leg, "protocol=180"),
       "A:TransferProgress 180;", fnNone},
      {"transfer answered", Notify(VQCMC_MSG_NOTIF_CALL_TRANSFER_RESPONSE, un32Leg, "reason=486"),
       "A:TransferResponse 486 0;", fnNone},
      {"statistics", [&] { Ok(A->GetStats(&L)); }, "A:GetStats ok;", fnNone},
      {"statistics updated", Notify(VQCMC_MSG_NOTIF_STATS_UPDATED, un32Leg, "reason=2 stats=1"),
       "A:Stats 2 4030201 807F7E7D;", fnNone},
      {"profile change", [&] { Ok(A->ChangeProfile(&L, 0x101)); }, "A:ChangeProfile ok;",
       [&] { ExpectFields("MEDIA_PROFILE_CHANGE", {"\"flag\": 1}"}); }},
      {"profile change refused", [&] {
         ASSERT_TRUE(Run.Server.Answer("0x0A010042", "0x82000005"));
         Ok(A->ChangeProfile(&L, 1));
       }, "A:ChangeProfile 82000005;L:ChangeProfile() Request failed on CMC server classes/cmc/CVQCMCLeg:6353;", fnNone},
      {"profile changed", Notify(VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED, un32Leg,
                                 "profile=p-new media_reason=3 call_reason=16"), "A:ProfileChanged p-new 3 16 p-new;",
       fnNone},
      {"leg error", Notify(VQCMC_MSG_NOTIF_LEG_ERROR, un32Leg, "code=0x8200000F text=Disk_full detail=15"),
       "A:LegError Received Event from CMC Server: Disk full 8200000F A010091 F 7A797877;", fnNone},
      {"terminating", Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION, un32Leg, "reason=17"),
       "A:Terminating 17 0;", fnNone},
      {"terminate", [&] { Ok(A->TerminateCall(Normal, nullptr, &L)); }, "A:SendTerminate 16;A:Terminate ok;", [&] {
         ExpectFields("CALL_LEG_TERMINATE", {"\"reason\": 16,"});
         EXPECT_EQ(A->TerminateCall(Normal, nullptr, &L), VQX_RESULT_INVALID_STATE);  // sent once
       }},
      {"terminated", Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, un32Leg, "reason=16 protocol=200"),
       "A:Terminated 16 200;A:Freed;", fnNone},
  };
  for (const auto& s : aSteps) {
    ASSERT_TRUE(J.Step(s.fnAct, s.strAdd)) << s.pszStep << ": " << J.Get();
    s.fnAfter();
  }
  EXPECT_EQ(Run.Server.Stat("0x0a010018"), -1);  // the refused accept never left
  // A create the server refuses: the listener hears it, then the leg ends with the server's reason.
  ASSERT_TRUE(Run.Server.Answer("0x0A010017", "0x82000015"));
  auto* B = new CItLeg(J, "B");
  B->mfFreeOnEnd = true;
  EXPECT_TRUE(J.Step([&] { Ok(B->CreateCall(nullptr, &L)); },
                     "B:Create 82000015;L:CreateCall() Request failed on CMC server;B:Terminated 47 0;B:Freed;"))
      << J.Get();
  // A media-only leg: created without the caller's protocol attribute, ended through the static terminate.
  ASSERT_TRUE(Run.Server.Answer("0x0A010017", "0x02000000", "auto"));
  auto* E = new CItLeg(J, "E", new CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE());
  E->mfFreeOnEnd = true;
  CVQCMC_PROTOCOL_ATTRIBUTE Sip180;
  ASSERT_EQ(Sip180.SetSipStatusCode(180, 0), VQX_RESULT_OK);
  ASSERT_TRUE(J.Step([&] { Ok(E->CreateCall(&Sip180, &L)); }, "E:Create ok;")) << J.Get();
  ExpectFields("CALL_LEG_CREATE", {"\"leg_type\": 2,", "\"present\": 0,"});
  EXPECT_TRUE(VQX_RESULT_FAILED(CVQCMCLeg::TerminateCall(0x7FFFFFF0u, Normal, nullptr, &L)));  // no such leg
  ASSERT_TRUE(J.Step([&] { Ok(CVQCMCLeg::TerminateCall(E->GetLegId(), Normal, &Sip180, &L)); },
                     "E:SendTerminate 16;E:Terminate ok;"));
  ExpectFields("CALL_LEG_TERMINATE", {"\"leg_type\": 2, \"reason\": 16, \"protocol_present\": 0}"});
  EXPECT_TRUE(J.Step(Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, E->GetLegId()), "E:Terminated 16 0;E:Freed;"))
      << J.Get();
}

TEST_F(CmcCallIt, RestartSynchronisesOneLegAndDropsTheOther) {
  CJournal JC, JD, JE;
  CItListener LC0(JC, "LC0"), LC(JC, "LC"), LD(JD, "LD"), LE(JE, "LE");
  auto* C = new CItLeg(JC, "C");
  auto* D = new CItLeg(JD, "D");
  C->mfFreeOnEnd = D->mfFreeOnEnd = true;
  ASSERT_TRUE(JC.Step([&] { EXPECT_EQ(C->CreateCall(nullptr, &LC0), VQX_RESULT_OK); }, "C:Create ok;"));
  ASSERT_TRUE(JD.Step([&] { EXPECT_EQ(D->CreateCall(nullptr, nullptr), VQX_RESULT_OK); }, "D:Create ok;"));
  const u32 un32C = C->GetLegId();
  // A digit play in flight on each when the server restarts (it answers none): C's with a listener of
  // its own, which holds one of C's slots, D's with its first listener, its default one.
  ASSERT_TRUE(Run.Server.Answer("0x0A010061", "silent"));
  EXPECT_EQ(C->PlayDigit("1", &LC), VQX_RESULT_OK);
  EXPECT_EQ(D->PlayDigit("2", &LD), VQX_RESULT_OK);
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Run.Server.Stat("0x0a010061") == 2; }, 20000));
  EXPECT_EQ(C->GetPendingListenerCount(), 1u);
  // The server comes back and reports C only; it is the library that registers again first. The
  // plays' answers are lost with the synchronisation: each fails to its listener, before SyncLost.
  const std::string strLost = "Request lost: synchronisation with the CMC server lost;";
  const long nRegistered = Run.Server.Stat("LibRegister");
  ASSERT_EQ(Run.Server.Command("restart"), "ok");
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Run.Server.Stat("LibRegister") > nRegistered; }, 20000));
  ASSERT_TRUE(peerwait::WaitUntil([&] { return JC.Get() == "C:Create ok;LC:" + strLost + "C:SyncLost;"; }, 20000))
      << JC.Get();
  EXPECT_EQ(C->GetPendingListenerCount(), 0u);
  // Out of synchronisation: a terminate is refused and changes nothing.
  _VQCMC_CALL_REASON Normal{16, {}};
  EXPECT_EQ(C->TerminateCall(Normal, nullptr, nullptr), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(C->IsSynchronized() * 10 + C->IsTerminating(), 0u);
  // No server is ready (none until the resynchronisation ends): a leg made now gets no core-library
  // leg, and its create fails with the not-ready code, to its listener.
  {
    CItLeg E(JE, "E");
    EXPECT_EQ(E.IsValidCallCtx(), 0u);
    EXPECT_EQ(E.CreateCall(nullptr, &LE), VQX_RESULT_API_ADA_NOT_READY);
  }
  EXPECT_EQ(JE.Get(), "LE:CVQCMCLeg::CreateCallSignalingMedia Failed;E:Freed;");
  auto hex = cmcpeer::CmcServerProcess::Hex;
  ASSERT_TRUE(Run.Server.Resync({"leg " + hex(un32C) + " " + hex(C->mun32Mapping)}));
  EXPECT_TRUE(peerwait::WaitUntil([&] { return JC.Get() == "C:Create ok;LC:" + strLost + "C:SyncLost;C:SyncDone;"; },
                                  20000))
      << JC.Get();
  EXPECT_TRUE(peerwait::WaitUntil(
      [&] { return JD.Get() == "D:Create ok;LD:" + strLost + "D:SyncLost;D:Terminated 205 0;D:Freed;"; }, 20000))
      << JD.Get();
  EXPECT_EQ(Run.Server.ClaimCounts(), (cmcpeer::CmcServerProcess::Claims{1, 0, 0}));
  EXPECT_EQ(C->GetState() * 10 + C->IsSynchronized(), VQCMC_CALL_LEG_STATE_ANSWERED * 10 + 1u);
  // All 20 slots are C's again (the 21st request is refused); plays still unanswered when the call
  // ends fail to their listeners before the leg hears its end.
  std::vector<CItListener> aOwn(20, CItListener(JC, "Own"));
  for (CItListener& Own : aOwn) EXPECT_EQ(C->PlayDigit("9", &Own), VQX_RESULT_OK);
  EXPECT_EQ(C->PlayDigit("9", &LC), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_TRUE(JC.Step([&] { EXPECT_EQ(C->TerminateCall(Normal, nullptr, nullptr), VQX_RESULT_OK); },
                      "C:SendTerminate 16;C:Terminate ok;"));
  std::string strEnded;
  for (size_t i = 0; i < aOwn.size(); i++) strEnded += "Own:Request lost: terminated before its response;";
  EXPECT_TRUE(JC.Step(Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, un32C), strEnded + "C:Terminated 16 0;C:Freed;"))
      << JC.Get();
}

/* After Detach every command of a leg or mixer fails at once with 0x82000014: no listener, no
 * callback (OnSendTerminateCall included), no state changed; the same once the instance
 * is gone too. */
TEST_F(CmcCallIt, CommandsAfterDetachFailAtOnce) {
  CJournal J;
  CItListener L(J, "L");
  auto* A = new CItLeg(J, "A");
  auto* B = new CItLeg(J, "B");
  auto* M = new cmcit::CItMixer(J, "M");
  ASSERT_TRUE(J.Step([&] { EXPECT_EQ(A->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "A:Create ok;"));
  ASSERT_TRUE(J.Step([&] { EXPECT_EQ(M->MixerCreate(&L), VQX_RESULT_OK); }, "M:Create ok;"));
  ASSERT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
  auto* C = new CItLeg(J, "C");  // made after the detach
  auto* N = new cmcit::CItMixer(J, "N");
  const std::string strBefore = J.Get();
  CVQCMC_PLAY_ATTRIBUTE Play;
  CVQCMC_RECORD_ATTRIBUTE Record;
  CVQCMC_EVENT_ATTRIBUTE Tones;
  CVQCMC_CALL_TRANSFER Transfer;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listen;
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Both;
  _VQCMC_CALL_REASON Normal{16, {}};
  const std::pair<const char*, std::function<VQX_RESULT()>> aCommands[] = {
      {"create of a leg made after", [&] { return C->CreateCall(nullptr, &L); }},
      {"create, signalling and media", [&] { return C->CreateCallSignalingMedia(nullptr, &L); }},
      {"create, media only", [&] { return C->CreateCallMediaOnly(&L); }},
      {"accept", [&] { return A->AcceptCall(nullptr, &L); }},
      {"alert", [&] { return A->AlertCall(nullptr, &L); }},
      {"answer", [&] { return A->AnswerCall(nullptr, &L); }},
      {"progress", [&] { return A->ProgressCall(nullptr, &L); }},
      {"supplementary information", [&] { return A->SendCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE(5), nullptr, &L); }},
      {"transfer request", [&] { return A->CallTransferRequest(Transfer, nullptr, &L); }},
      {"transfer progress", [&] { return A->CallTransferProgress(nullptr, &L); }},
      {"transfer response", [&] { return A->CallTransferResponse(Normal, nullptr, &L); }},
      {"profile change", [&] { return A->ChangeProfile(&L, 0); }},
      {"statistics", [&] { return A->GetStats(&L); }},
      {"play", [&] { return A->PlayStream(Play, &L); }},
      {"record", [&] { return A->RecordStream(Record, &L); }},
      {"pause", [&] { return A->PauseStream(1, 0, 0, &L); }},
      {"resume", [&] { return A->ResumeStream(1, 0, 0, &L); }},
      {"stop", [&] { return A->StopStream(1, 0, 0, &L); }},
      {"play digits", [&] { return A->PlayDigit("12", &L); }},
      {"digit collection", [&] { return A->StartDigitCollection("#", &L, 0, 0); }},
      {"digit collection stop", [&] { return A->StopDigitCollection(&L); }},
      {"play tones", [&] { return A->PlayEvent(Tones, &L); }},
      {"cancel tones", [&] { return A->CancelEvent(&L); }},
      {"tone collection", [&] { return A->StartEventCollection(Tones, &L, 0); }},
      {"tone collection stop", [&] { return A->StopEventCollection(&L); }},
      {"join", [&] { return A->Join(B, &L, 0, nullptr); }},
      {"unjoin", [&] { return A->Unjoin(B, &L); }},
      {"terminate", [&] { return A->TerminateCall(Normal, nullptr, &L); }},
      {"terminate, signalling and media", [&] { return A->TerminateCallSignalingMedia(Normal, nullptr, &L); }},
      {"terminate, media only", [&] { return A->TerminateCallMediaOnly(Normal, &L); }},
      {"terminate by id", [&] { return CVQCMCLeg::TerminateCall(A->GetLegId(), Normal, nullptr, &L); }},
      {"mixer create", [&] { return N->MixerCreate(&L); }},
      {"mixer attribute", [&] { return M->MixerSetAttribute(new CVQCMC_MIXER_ATTRIBUTE(), &L); }},
      {"mixer play", [&] { return M->MixerPlayStream(Play, &L); }},
      {"mixer record", [&] { return M->MixerRecordStream(Record, &L); }},
      {"mixer pause", [&] { return M->MixerPauseStream(1, 0, 0, &L); }},
      {"mixer resume", [&] { return M->MixerResumeStream(1, 0, 0, &L); }},
      {"mixer stop", [&] { return M->MixerStopStream(1, 0, 0, &L); }},
      {"mixer join, leg", [&] { return M->MixerJoin(A, &Listen, &L); }},
      {"mixer join, mixer", [&] { return M->MixerJoin(N, &Both, &L); }},
      {"mixer unjoin, leg", [&] { return M->MixerUnjoin(A, &L); }},
      {"mixer unjoin, mixer", [&] { return M->MixerUnjoin(N, &L); }},
      {"mixer terminate", [&] { return M->MixerTerminate(&L); }},
      {"mixer terminate by id", [&] { return CVQCMCMixer::MixerTerminate(M->GetMixerId(), &L); }},
  };
  for (const char* pszWhen : {"detached", "instance gone"}) {
    for (const auto& [pszName, fnCommand] : aCommands) {
      EXPECT_EQ(fnCommand(), VQX_RESULT_NOT_INITIALIZED) << pszName << ", " << pszWhen;
    }
    EXPECT_EQ(J.Get(), strBefore) << pszWhen;
    EXPECT_EQ(A->GetState() * 10 + A->IsTerminating(), VQCMC_CALL_LEG_STATE_OUTGOING * 10u) << pszWhen;
    if (CVQCMCLib* pLib = CVQCMCLib::GetInstance()) {
      EXPECT_EQ(pLib->SendEvent(A->GetLegId(), nullptr, 0), VQX_RESULT_NOT_INITIALIZED) << "nothing would deliver it";
      CVQCMCLib::TestUninstall();
    }
  }
  delete A;
  delete B;
  delete C;
  delete M;
  delete N;
}

}  // namespace
