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
 * reported, is dropped with reason 205 and freed.
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
  CJournal JC, JD;
  auto* C = new CItLeg(JC, "C");
  auto* D = new CItLeg(JD, "D");
  C->mfFreeOnEnd = D->mfFreeOnEnd = true;
  ASSERT_TRUE(JC.Step([&] { EXPECT_EQ(C->CreateCall(nullptr, nullptr), VQX_RESULT_OK); }, "C:Create ok;"));
  ASSERT_TRUE(JD.Step([&] { EXPECT_EQ(D->CreateCall(nullptr, nullptr), VQX_RESULT_OK); }, "D:Create ok;"));
  const u32 un32C = C->GetLegId();
  // The server comes back and reports C only; it is the library that registers again first.
  const long nRegistered = Run.Server.Stat("LibRegister");
  ASSERT_EQ(Run.Server.Command("restart"), "ok");
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Run.Server.Stat("LibRegister") > nRegistered; }, 20000));
  ASSERT_TRUE(peerwait::WaitUntil([&] { return JC.Get() == "C:Create ok;C:SyncLost;"; }, 20000)) << JC.Get();
  // Out of synchronisation: a terminate is refused and changes nothing.
  _VQCMC_CALL_REASON Normal{16, {}};
  EXPECT_EQ(C->TerminateCall(Normal, nullptr, nullptr), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(C->IsSynchronized() * 10 + C->IsTerminating(), 0u);
  auto hex = cmcpeer::CmcServerProcess::Hex;
  ASSERT_TRUE(Run.Server.Resync({"leg " + hex(un32C) + " " + hex(C->mun32Mapping)}));
  EXPECT_TRUE(peerwait::WaitUntil([&] { return JC.Get() == "C:Create ok;C:SyncLost;C:SyncDone;"; }, 20000)) << JC.Get();
  EXPECT_TRUE(peerwait::WaitUntil([&] { return JD.Get() == "D:Create ok;D:SyncLost;D:Terminated 205 0;D:Freed;"; },
                                  20000))
      << JD.Get();
  EXPECT_EQ(Run.Server.ClaimCounts(), (cmcpeer::CmcServerProcess::Claims{1, 0, 0}));
  EXPECT_EQ(C->GetState() * 10 + C->IsSynchronized(), VQCMC_CALL_LEG_STATE_ANSWERED * 10 + 1u);
  EXPECT_TRUE(JC.Step([&] { EXPECT_EQ(C->TerminateCall(Normal, nullptr, nullptr), VQX_RESULT_OK); },
                      "C:SendTerminate 16;C:Terminate ok;"));
  EXPECT_TRUE(JC.Step(Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, un32C), "C:Terminated 16 0;C:Freed;")) << JC.Get();
}

}  // namespace
