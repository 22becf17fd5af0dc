/*
 * An application of the call/media control client objects from start to
 * end, against the stand-in server (testing/cmcsim) on 127.0.0.1, through
 * the framework life cycle and the objects' public interfaces only:
 * GlobalInit, GlobalSetParam with the client parameters, Attach, ready with
 * access point statistics; an outgoing call; an incoming call adopted in
 * OnCallLegPresent, alerted, accepted, answered; a mixer with both legs
 * joined (listener, speaker); files played on the mixer and a leg, the leg
 * recorded, digits played and collected; unjoin, terminate, free; then a
 * server restart whose resynchronisation brings back what the application
 * holds (plays no longer reported end with reason 5) and refuses the rest
 * (a leg with reason 41, a mixer, a leg link, a mixer link); everything
 * terminated and freed, the framework stopped, no guarded allocation left.
 * Each object's callbacks are checked in the order they ran; the stand-in
 * checks every command at its offsets.
 */
#include <gtest/gtest.h>

#include <atomic>

#include "cmc_it_leg.h"
#include "comm_test_support.h"
#include "peers/cmcsim_process.h"
#include "peers/loopback.h"
#include "vqcaf.h"
#include "vqcafdebuginfo.h"
#include "vqcmc_libuser.h"
#include "vqcmclib.h"

namespace {

using namespace cmcit;
using Hex32 = std::string (*)(u32);
const Hex32 H = cmcpeer::CmcServerProcess::Hex;

/* The application's user: its callbacks into its journal, an offered call adopted as leg B, and
 * the default refusals for what a resynchronisation offers. */
class CUser : public CVQCMCLibUser {
 public:
  CUser(CJournal& J, CJournal& JB) : mJ(J), mJB(JB) {}
  void OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>> aStats) override {
    std::string s = "NapStats";
    for (auto& p : aStats) {
      const u8* pby = reinterpret_cast<const u8*>(&p->mNapStats);
      s += " " + std::to_string(p->mNapStats.un32StatsType) + ":" + std::to_string(pby[191]) + "," +
           std::to_string(pby[215]);
    }
    mJ.Add(s);
  }
  void OnCmcLibReady() override { mJ.Add("Ready"); }
  void OnCmcLibNotReady() override { mJ.Add("NotReady"); }
  void OnCallLegPresent(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attr,
                        CVQCMC_PROTOCOL_ATTRIBUTE&) override {
    // The leg is published before its line: the test reads mpB once it sees the line.
    const std::string strLine = std::string("CallLegPresent ") + Attr.GetCallingNumber(0).c_str();
    mpB = new CItLeg(mJB, "B", un32LegId, Attr, VQCMC_CALL_LEG_STATE_INCOMING);
    mJ.Add(strLine);
  }
  void OnCallLegSync(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attr) override {
    mJ.Add("CallLegSync " + H(un32LegId));
    CVQCMCLibUser::OnCallLegSync(un32LegId, Attr);
  }
  void OnLinkSync(unsigned int un32Leg, unsigned int un32First, unsigned int un32Second,
                  CVQCMC_JOIN_ATTRIBUTE& Attr) override {
    mJ.Add("LinkSync " + H(un32Leg) + " " + H(un32First) + " " + H(un32Second));
    CVQCMCLibUser::OnLinkSync(un32Leg, un32First, un32Second, Attr);
  }
  void OnMixerSync(unsigned int un32MixerId, CVQCMC_MIXER_ATTRIBUTE& Attr) override {
    mJ.Add("MixerSync " + H(un32MixerId));
    CVQCMCLibUser::OnMixerSync(un32MixerId, Attr);
  }
  void OnMixerLinkSync(unsigned int un32MixerId, unsigned int un32PeerId, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pLegJoin,
                       CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pMixerJoin) override {
    mJ.Add("MixerLinkSync " + H(un32MixerId) + " " + H(un32PeerId));
    CVQCMCLibUser::OnMixerLinkSync(un32MixerId, un32PeerId, pLegJoin, pMixerJoin);
  }
  CJournal& mJ;
  CJournal& mJB;
  std::atomic<CItLeg*> mpB{nullptr};
};

/* The stand-in, the journals and the user outlive the framework, which TearDown stops when a step failed. */
class CmcExampleIt : public testing::Test {
 protected:
  void TearDown() override {
    if (CVQCMCLib::GetInstance() != nullptr) CVQCMCLib::Detach();
    CVQCAFGlobalsParams Empty;
    GlobalSetParam(&Empty);
    GlobalUninit();
    loopnet::UseLoopbackNets(0);
  }
  const u16 mun16Host = loopnet::FreeLoopbackPort();
  cmcpeer::CmcServerProcess Server{0, mun16Host, {"--host-name", "cmcsim1"}};
  const u16 mun16Server = Server.UdpPort();
  CJournal JU, JA, JB, JC, JD, JM;
  CItListener L{JU, "L"};
  CUser User{JU, JB};
};

TEST_F(CmcExampleIt, CallsMixerMediaAndAServerRestart) {
  const u32 un32GuardedBefore = VqcafGetGuardedAllocationCount();
  ASSERT_TRUE(Server.Ready());
  auto Line = [&](const std::string& s) { return [this, s] { EXPECT_EQ(Server.Command(s), "ok") << s; }; };
  auto Fields = [&](const std::string& strName) { return Server.Command("fields " + strName); };

  // The framework: communication on the hosts' transport (loopback), then the client stack.
  loopnet::UseLoopbackNets(1);
  ASSERT_EQ(GlobalInit(), VQX_RESULT_OK);
  CVQCAFCommParams Comm;
  vqtest::LoopbackCommParams(Comm, "cmc_example_it", mun16Host, mun16Server);
  CVQCMCLibParams CmcParams;
  CmcParams.mun32NbThreads = 2;
  CVQCAFGlobalsParams G;
  G.mfAdaptersOn = 0;
  G.mpCommParams = &Comm;
  G.mpCmcParams = &CmcParams;
  ASSERT_EQ(GlobalSetParam(&G), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(&User), VQX_RESULT_OK);
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Server.Stat("LibRegister") > 0; }, 20000));
  ASSERT_TRUE(JU.Step(Line("ready stats=2,3,7"), "NapStats 2:223,247 3:239,0 0:0,0;Ready;")) << JU.Get();
  EXPECT_EQ(CVQCMCLib::GetInstance()->GetActiveCMCServerBuildNumber(), 0x02070B04u);  // the stand-in's
  EXPECT_EQ(GlobalPoll(), VQX_RESULT_OK);

  // An outgoing call, and two more legs kept for the restart.
  auto* A = new CItLeg(JA, "A");
  auto* C = new CItLeg(JC, "C");
  auto* D = new CItLeg(JD, "D");
  A->mfFreeOnEnd = C->mfFreeOnEnd = D->mfFreeOnEnd = true;
  ASSERT_TRUE(JA.Step([&] { EXPECT_EQ(A->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "A:Create ok;"));
  ASSERT_TRUE(JA.Step(Line("notify 0x0A010014 " + H(A->GetLegId()) + " protocol=200"), "A:Answered 200;"));
  ASSERT_TRUE(JC.Step([&] { EXPECT_EQ(C->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "C:Create ok;"));
  ASSERT_TRUE(JD.Step([&] { EXPECT_EQ(D->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "D:Create ok;"));
  CVQCMC_JOIN_ATTRIBUTE Half;
  Half.IsFullDuplex() = 0;
  ASSERT_TRUE(JC.Step([&] { EXPECT_EQ(C->Join(D, &L, 0, &Half), VQX_RESULT_OK); }, "C:Join ok;"));
  ASSERT_TRUE(JD.Step(Line("notify 0x0A010004 " + H(C->GetLegId()) + " other=" + H(D->GetLegId())), "D:JoinDone;"));
  EXPECT_TRUE(peerwait::WaitUntil([&] { return JC.Get() == "C:Create ok;C:Join ok;C:JoinDone;"; }, 20000)) << JC.Get();

  // An incoming call, adopted by the user, alerted, accepted, answered.
  ASSERT_TRUE(JU.Step(Line("offer 0 0x4444 calling=5550100 stats=2"), "NapStats 2:223,247;CallLegPresent 5550100;"))
      << JU.Get();
  CItLeg* B = User.mpB;
  ASSERT_NE(B, nullptr);
  B->mfFreeOnEnd = true;
  ASSERT_TRUE(JB.Step([&] { EXPECT_EQ(B->AlertCall(nullptr, &L), VQX_RESULT_OK); }, "B:Alert ok;"));
  ASSERT_TRUE(JB.Step([&] { EXPECT_EQ(B->AcceptCall(nullptr, &L), VQX_RESULT_OK); }, "B:Accept ok;"));
  ASSERT_TRUE(JB.Step([&] { EXPECT_EQ(B->AnswerCall(nullptr, &L), VQX_RESULT_OK); }, "B:Answer ok;"));
  EXPECT_EQ(B->GetState(), VQCMC_CALL_LEG_STATE_ANSWERED);

  // A mixer: A joined as listener, B as speaker.
  auto* M = new CItMixer(JM, "M");
  M->mfFreeOnEnd = true;
  ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerCreate(&L), VQX_RESULT_OK); }, "M:Create ok;"));
  ASSERT_TRUE(JM.Step(Line("notify 0x0A010030 " + H(M->GetMixerId())), "M:Created;"));
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener, Speaker;
  Listener.SetListener(1);
  Speaker.SetSpeaker(1);
  const std::string strM = H(M->GetMixerId());
  ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerJoin(A, &Listener, &L), VQX_RESULT_OK); }, "M:Join ok;"));
  EXPECT_NE(Fields("MIXER_LEG_JOIN").find("\"listener\": 1, \"speaker\": 0"), std::string::npos);
  ASSERT_TRUE(JM.Step(Line("notify 0x0A010035 " + strM + " other=" + H(A->GetLegId())), "M:JoinDone A;"));
  ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerJoin(B, &Speaker, &L), VQX_RESULT_OK); }, "M:Join ok;"));
  ASSERT_TRUE(JM.Step(Line("notify 0x0A010035 " + strM + " other=" + H(B->GetLegId())), "M:JoinDone B;"));
  std::vector<CVQCMCMixer*> aSpeakers;
  EXPECT_EQ(A->GetListenerMixer(nullptr), M);
  B->GetSpeakerMixers(&aSpeakers);
  EXPECT_EQ(aSpeakers, std::vector<CVQCMCMixer*>{M});

  // Media: a file on the mixer and on A, A recorded, digits played and collected.
  const std::string strA = H(A->GetLegId());
  {
    CVQCMC_PLAY_ATTRIBUTE MixerPlay, LegPlay;
    CVQCMC_RECORD_ATTRIBUTE Record;
    ASSERT_EQ(MixerPlay.AddPlayFilePath("/m/conference.wav", 1, 0, 0) | LegPlay.AddPlayFilePath("/m/hello.wav", 1, 0, 0) |
                  Record.AddRecFilePath("/rec/a.wav"),
              VQX_RESULT_OK);
    ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerPlayStream(MixerPlay, &L), VQX_RESULT_OK); }, "M:Play ok;"));
    ASSERT_TRUE(JM.Step(Line("notify 0x0A010057 " + strM + " path=file:///m/conference.wav"),
                        "M:PlayingStarted 0 1 file:///m/conference.wav;"));
    ASSERT_TRUE(JA.Step([&] { EXPECT_EQ(A->PlayStream(LegPlay, &L), VQX_RESULT_OK); }, "A:Play ok;"));
    EXPECT_EQ(Fields("PLAY"), "{\"index\": 0, \"paused\": 0, \"files\": [[1, 0, 0, \"file:///m/hello.wav\"]]}");
    ASSERT_TRUE(JA.Step(Line("notify 0x0A010057 " + strA + " path=/m/hello.wav"), "A:PlayingStarted 0 1 /m/hello.wav;"));
    ASSERT_TRUE(JA.Step([&] { EXPECT_EQ(A->RecordStream(Record, &L), VQX_RESULT_OK); }, "A:Record ok;"));
    ASSERT_TRUE(JA.Step(Line("notify 0x0A010057 " + strA + " play=0 record=1 path=/rec/a.wav"),
                        "A:RecordingStarted /rec/a.wav;"));
    // The field holds 63 digits and its NUL: the longest goes whole, one more is cut to it.
    const std::string strLongest(63, '9');
    for (const auto& [strPlayed, strSent] : {std::pair<std::string, std::string>{"123#", "123#"},
                                             {strLongest, strLongest}, {strLongest + "8", strLongest}}) {
      ASSERT_TRUE(JA.Step([&] { EXPECT_EQ(A->PlayDigit(strPlayed.c_str(), &L), VQX_RESULT_OK); }, "A:PlayDigit ok;"));
      EXPECT_NE(Fields("DIGIT_PLAY").find("\"digits\": \"" + strSent + "\""), std::string::npos) << strPlayed;
      ASSERT_TRUE(JA.Step(Line("notify 0x0A010065 " + strA), "A:DigitPlayingDone;"));
    }
    ASSERT_TRUE(JA.Step([&] { EXPECT_EQ(A->StartDigitCollection(CVQCAFString("#"), &L, 1, 2), VQX_RESULT_OK); },
                        "A:StartDigits ok;"));
    EXPECT_NE(Fields("DIGIT_COLLECT_START").find("\"first\": 1, \"second\": 2"), std::string::npos)
        << Fields("DIGIT_COLLECT_START");
    ASSERT_TRUE(JA.Step(Line("notify 0x0A010064 " + strA + " digits=4567"), "A:DigitCollected 4567;"));
  }
  u32 fPaused = 9;
  EXPECT_EQ(A->IsPlayingStream(0, &fPaused) + A->IsRecordingStream(nullptr), 2u);
  EXPECT_EQ(fPaused, 0u);

  // B leaves: unjoined, terminated, freed.
  const std::string strB = H(B->GetLegId());
  ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerUnjoin(B, &L), VQX_RESULT_OK); }, "M:Unjoin ok;"));
  ASSERT_TRUE(JM.Step(Line("notify 0x0A010037 " + strM + " other=" + strB), "M:UnjoinDone B;"));
  _VQCMC_CALL_REASON Normal{16, {}};
  ASSERT_TRUE(JB.Step([&] { EXPECT_EQ(B->TerminateCall(Normal, nullptr, &L), VQX_RESULT_OK); },
                      "B:SendTerminate 16;B:Terminate ok;"));
  ASSERT_TRUE(JB.Step(Line("notify 0x0A010016 " + strB), "B:Terminated 16 0;B:Freed;"));

  // The server restarts: what the application holds comes back, the rest is refused.
  const std::string strC = H(C->GetLegId()), strD = H(D->GetLegId());
  const std::string strMapA = H(A->mun32Mapping), strMapC = H(C->mun32Mapping), strMapM = H(M->mun32Mapping);
  const long nRegistered = Server.Stat("LibRegister");
  const std::string strUser = JU.Get();
  ASSERT_EQ(Server.Command("restart"), "ok");
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Server.Stat("LibRegister") > nRegistered; }, 20000));
  const std::vector<std::string> aScript = {
      "leg " + strA + " " + strMapA, "leg " + strC + " " + strMapC, "leg " + strD + " " + H(D->mun32Mapping),
      "leg 0x7777 0x5777", "link " + strC + " " + strD + " " + strMapC + " " + H(D->mun32Mapping),
      "link " + strA + " " + strC + " " + strMapA + " " + strMapC, "mixer " + strM + " " + strMapM,
      "mixer 0x6666 0x6777", "mixerlink " + strM + " " + strA + " " + strMapM + " " + strMapA,
      "mixerlink " + strM + " " + strC + " " + strMapM + " " + strMapC};
  ASSERT_TRUE(Server.Resync(aScript));
  EXPECT_TRUE(peerwait::WaitUntil(
      [&] {
        return JU.Get() == strUser + "NotReady;CallLegSync 0x7777;LinkSync " + strC + " " + strA + " " + strC +
                               ";MixerSync 0x6666;MixerLinkSync " + strM + " " + strC + ";Ready;";
      },
      20000))
      << JU.Get();
  const std::string strAHead = "A:Create ok;A:Answered 200;A:Play ok;A:PlayingStarted 0 1 "
                               "/m/hello.wav;A:Record ok;A:RecordingStarted /rec/a.wav;A:PlayDigit ok;"
                               "A:DigitPlayingDone;A:PlayDigit ok;A:DigitPlayingDone;A:PlayDigit ok;"
                               "A:DigitPlayingDone;A:StartDigits ok;A:DigitCollected 4567;";
  const std::pair<CJournal*, std::string> aAfterSync[] = {
      {&JA, strAHead + "A:SyncLost;A:PlayingDone 0 5;A:SyncDone;A:Unjoin ok;"},
      {&JC, "C:Create ok;C:Join ok;C:JoinDone;C:SyncLost;C:SyncDone;"},
      {&JD, "D:Create ok;D:JoinDone;D:SyncLost;D:SyncDone;"},
      {&JM, "M:Create ok;M:Created;M:Join ok;M:JoinDone A;M:Join ok;M:JoinDone B;M:Play ok;M:PlayingStarted 0 1 "
            "file:///m/conference.wav;M:Unjoin ok;M:UnjoinDone B;M:SyncLost;M:PlayingDone 0 5;M:SyncDone;M:Unjoin ok;"}};
  for (const auto& [pJ, strWant] : aAfterSync)
    EXPECT_TRUE(peerwait::WaitUntil([&] { return pJ->Get() == strWant; }, 20000)) << pJ->Get();
  EXPECT_EQ(A->IsPlayingStream(0, nullptr) * 10 + A->IsPlayingStream(1, nullptr), 1u);  // as the server reports
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Server.ClaimCounts().nMissing == 0; }, 20000));
  EXPECT_EQ(Server.ClaimCounts(), (cmcpeer::CmcServerProcess::Claims{10, 0, 0}));
  // The refusals as the server saw them: leg 0x7777 terminated with reason 41, mixer 0x6666 terminated,
  // the link A-C and the mixer link M-C unjoined.
  EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Fields("CALL_LEG_TERMINATE").find("\"entity\": 30583,") != std::string::npos; },
                                 20000));
  EXPECT_NE(Fields("CALL_LEG_TERMINATE").find("\"reason\": 41,"), std::string::npos);
  EXPECT_EQ(Server.Last("MIXER_TERMINATE").un64Ctx1 & 0xFFFFFFFFu, 0x6666u);
  EXPECT_EQ(Fields("UNJOIN"), "{\"version\": 1, \"entity\": " + std::to_string(A->GetLegId()) +
                                  ", \"second\": " + std::to_string(C->GetLegId()) + "}");
  EXPECT_EQ(Fields("MIXER_LEG_UNJOIN"), "{\"version\": 1, \"entity\": " + std::to_string(M->GetMixerId()) +
                                            ", \"second\": " + std::to_string(C->GetLegId()) + "}");
  ASSERT_TRUE(JA.Step(Line("notify 0x0A010005 " + strA + " other=" + strC), "A:UnjoinDone;"));
  EXPECT_TRUE(peerwait::WaitUntil([&] { return JC.Get().ends_with("C:SyncDone;C:UnjoinDone;"); }, 20000)) << JC.Get();
  ASSERT_TRUE(JM.Step(Line("notify 0x0A010037 " + strM + " other=" + strC), "M:UnjoinDone C;"));
  // The refused leg and mixer free themselves once the server ends them.
  EXPECT_EQ(Server.Command("notify 0x0A010016 0x7777"), "ok");
  EXPECT_EQ(Server.Command("notify 0x0A010032 0x6666"), "ok");
  EXPECT_TRUE(cmcpeer::WaitUntil(
      [&] {
        return CVQCMCLib::GetInstance()->LegIdFind(0x7777) == nullptr &&
               CVQCMCLib::GetInstance()->MixerIdFind(0x6666) == nullptr;
      },
      20000));

  // Everything ends: each object terminated by the application and freed once the server says so.
  for (auto [pLeg, pJ] : {std::pair{A, &JA}, std::pair{C, &JC}, std::pair{D, &JD}}) {
    const std::string strName = pLeg->mpszName, strId = H(pLeg->GetLegId());
    ASSERT_TRUE(pJ->Step([&] { EXPECT_EQ(pLeg->TerminateCall(Normal, nullptr, &L), VQX_RESULT_OK); },
                         strName + ":SendTerminate 16;" + strName + ":Terminate ok;"));
    ASSERT_TRUE(pJ->Step(Line("notify 0x0A010016 " + strId), strName + ":Terminated 16 0;" + strName + ":Freed;"))
        << pJ->Get();
  }
  ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerTerminate(&L), VQX_RESULT_OK); }, "M:Terminate ok;"));
  ASSERT_TRUE(JM.Step(Line("notify 0x0A010032 " + strM), "M:Terminated;M:Freed;"));
  EXPECT_EQ(JU.Get().find("L:"), std::string::npos) << JU.Get();  // no request failed
  EXPECT_EQ(Server.Violations(), 0) << Server.Command("stats");

  EXPECT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
  CVQCAFGlobalsParams Empty;
  EXPECT_EQ(GlobalSetParam(&Empty), VQX_RESULT_OK);
  EXPECT_EQ(CVQCMCLib::GetInstance(), nullptr);
  EXPECT_EQ(GlobalUninit(), VQX_RESULT_OK);
  loopnet::UseLoopbackNets(0);
  EXPECT_EQ(VqcafGetGuardedAllocationCount(), un32GuardedBefore);  // the leak report is empty
}

}  // namespace
