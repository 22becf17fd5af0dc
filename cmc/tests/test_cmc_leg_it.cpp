/*
 * A call leg against the stand-in server (testing/cmcsim) over the framework's
 * bridge on 127.0.0.1: a new leg is created in the core library, its create,
 * supplementary-information and terminate commands reach the server with the
 * leg's context and their sizes as the server checks them, the answers come
 * back to the leg's response callbacks and a refused one to the request's
 * listener; a terminate is sent once.
 */
#include <mutex>

#include "cmc_test_support.h"
#include "vqcmc_leg.h"

namespace {

struct LegMutex {
  CVQCAFMutex mMutex;
};

/* Records the responses it gets; callbacks run on the core library's job threads. */
class ItLeg : private LegMutex, public CVQCMCLeg {
 public:
  explicit ItLeg(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON* pAttr)
      : CVQCMCLeg(0, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(pAttr), nullptr, 0, &mMutex) {}
  /* Adopts an offered leg. */
  explicit ItLeg(u32 un32LegId)
      : CVQCMCLeg(un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                  VQCMC_CALL_LEG_STATE_INCOMING, 0, &mMutex) {}
  void OnCreateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_CREATE* p, unsigned int* pf) override {
    CVQCMCLeg::OnCreateCallResponse(p, pf);
    Add("Create");
  }
  void OnAcceptCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ACCEPT*, unsigned int*) override { Add("Accept"); }
  void OnAnswerCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ANSWER*, unsigned int*) override { Add("Answer"); }
  void OnSendCallSuppInfoResponse(_VQCMC_MSG_CMD_CALL_SUPP_INFO*, unsigned int*) override { Add("SuppInfo"); }
  void OnTerminateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_TERMINATE*, unsigned int*) override { Add("Terminate"); }
  void OnLegError(CVQCMCLegError& e) override { Add(std::string("Error:") + e.what()); }
  void Add(const std::string& s) {
    std::lock_guard Lock(mGuard);
    mstrSeen += s + ";";
  }
  bool Saw(const std::string& s) {
    return cmcpeer::WaitUntil(
        [&] {
          std::lock_guard Lock(mGuard);
          return mstrSeen.find(s) != std::string::npos;
        },
        20000);
  }
  std::string Seen() {
    std::lock_guard Lock(mGuard);
    return mstrSeen;
  }
  std::mutex mGuard;
  std::string mstrSeen;
};

class Listener : public IVQCMCErrorListener {
 public:
  void OnCmcLegError(unsigned int* pfHandled, CVQCMCLegError& e) override {
    std::lock_guard Lock(mGuard);
    mstrSeen += std::string(e.what()) + ";";
    *pfHandled = 1;
  }
  void OnCmcMixerError(unsigned int*, CVQCMCMixerError&) override {}
  std::string Seen() {
    std::lock_guard Lock(mGuard);
    return mstrSeen;
  }
  std::mutex mGuard;
  std::string mstrSeen;
};

TEST(CmcLegIt, OutgoingCallCommandsAndAnswers) {
  CmcServerRun Run;
  static std::mutex s_Guard;
  static std::vector<u32> s_aNotifs;
  static u32 s_un32Offered = 0;
  Run.Open("cmc_leg_it", [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* ph) {
    std::lock_guard Lock(s_Guard);
    s_aNotifs.push_back((*ph)->un32MsgId);
    if ((*ph)->un32MsgId == VQCMC_MSG_NOTIF_CALL_LEG_PRESENT) memcpy(&s_un32Offered, VQXMsgPayload(*ph) + 32, 4);
  }, [] {
    std::lock_guard Lock(s_Guard);
    return std::find(s_aNotifs.begin(), s_aNotifs.end(), VQCMC_APP_MSG_NOTIF_READY) != s_aNotifs.end();
  });
  Listener Refusals;
  {
    CVQCAFMutex Other;  // outlives the leg
    ItLeg Leg(new CVQCMC_CALL_LEG_ATTRIBUTE());
    ASSERT_EQ(Leg.IsValidCallCtx(), 1u);
    ASSERT_NE(Leg.GetLegId(), 0u);
    EXPECT_EQ(CVQCMCLib::GetInstance()->LegIdFind(Leg.GetLegId()), &Leg);
    // Moved to another serialisation (and mutex) before its first command.
    _VQCMC_LIB_LEG_PARAMS Params{};
    EXPECT_EQ(Leg.ReSerialize(&Other, 0x7000), VQX_RESULT_OK);
    EXPECT_EQ(VQCmcLibLegFind(Run.mhCmc, Leg.GetLegId(), &Params), VQX_RESULT_OK);
    EXPECT_EQ(Params.un32SerialisationId, 0x7000u);
    EXPECT_EQ(Params.pvUserContext, static_cast<void*>(&Leg));
    EXPECT_EQ(Leg.CreateCall(nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_TRUE(Leg.Saw("Create;"));
    const auto Create = Run.Server.Last("CALL_LEG_CREATE");
    EXPECT_TRUE(Create.fSeen);
    EXPECT_EQ(Create.un64Ctx1 & 0xFFFFFFFFu, Leg.GetLegId());
    EXPECT_EQ(Create.nKind, 1);
    // The server refuses supplementary information: the request's listener hears it, and handles it.
    ASSERT_TRUE(Run.Server.Answer("0x0A01001D", "0x82000005"));
    EXPECT_EQ(Leg.SendCallSuppInfo(VQCMC_SUPP_INFO_SIP_CALL_PROGRESS, nullptr, &Refusals), VQX_RESULT_OK);
    EXPECT_TRUE(Leg.Saw("SuppInfo;"));
    // The listener hears the refusal after the response callback has run: wait for it too.
    EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Refusals.Seen() == "SendCallSuppInfo() Request failed on CMC server;"; },
                                   20000))
        << Refusals.Seen();
    _VQCMC_CALL_REASON Reason{16, {}};
    EXPECT_EQ(Leg.TerminateCall(Reason, nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(Leg.TerminateCall(Reason, nullptr, nullptr), VQX_RESULT_INVALID_STATE);
    EXPECT_TRUE(Leg.Saw("Terminate;"));
    EXPECT_EQ(Run.Server.Last("CALL_LEG_TERMINATE").nPayloadLength >= 184, true);
    EXPECT_EQ(Leg.Seen().find("Error:"), std::string::npos) << Leg.Seen();
  }
  // An incoming call: the offered leg adopted, accepted and answered.
  ASSERT_TRUE(Run.Server.Offer(0, 0x4444));
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return std::lock_guard(s_Guard), s_un32Offered != 0; }, 20000));
  {
    ItLeg In(s_un32Offered);
    ASSERT_EQ(In.IsValidCallCtx(), 1u);
    EXPECT_EQ(In.AcceptCall(nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(In.AnswerCall(nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(In.GetState(), VQCMC_CALL_LEG_STATE_ANSWERED);
    EXPECT_TRUE(In.Saw("Accept;") && In.Saw("Answer;"));
  }
  EXPECT_EQ(Run.Server.Violations(), 0);
  Run.Close();
}

}  // namespace
