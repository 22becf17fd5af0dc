/*
 * The commands a leg or mixer has in flight: the request table against a
 * plain model (a list in sending order) through a long run of sends,
 * answers in any order and failed sends, across the small array and the
 * hash, with the failures of those left taken oldest first; and the object's
 * side: a second answer, or one to a command never sent, reaches no callback
 * and no listener, with one line a second (the clock injected) that counts
 * those left out.
 */
#include <algorithm>
#include <cstdarg>
#include <list>
#include <random>

#include "cmc_test_support.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"
#include "vqcmc_request_table.h"
#include "vqx_clock.h"

namespace {

struct Sent {
  u32 un32Serial, un32MsgId;
  IVQCMCErrorListener* pListener;
};

_VQX_MSG_HEADER Header(u32 un32Serial, u32 un32MsgId = VQCMC_MSG_CMD_CALL_LEG_ALERT) {
  _VQX_MSG_HEADER Msg{};
  Msg.un32SerialNumber = un32Serial;
  Msg.un32MsgId = un32MsgId;
  return Msg;
}

/* 20,000 steps of sends, answers of any command in flight and failed sends, with up to 300 in flight
 * (most steps with a few, the small array's case), against the model; every 500 steps the table fails
 * all that is left, which must come out oldest first with each one's listener. */
TEST(CmcRequestTable, KeepsSendingOrderWhateverTheAnswers) {
  TestListener Default("D"), Own("O");
  CVQCMCRequestTable Table(1000);
  std::list<Sent> Model;
  std::mt19937 Random(70);
  u32 un32Serial = 0;
  const char* pszStep = "";
  ASSERT_EQ(Table.Remember(nullptr, &Default, &pszStep), VQX_RESULT_OK);  // the default listener
  for (u32 un32Step = 1; un32Step <= 20000; un32Step++) {
    const bool fMany = un32Step % 4000 >= 2000;  // a few in flight, then many
    const u32 un32Roll = Random() % 10;
    if (Model.empty() || (Model.size() < (fMany ? 300u : 3u) && un32Roll < (fMany ? 7u : 5u))) {
      IVQCMCErrorListener* pListener = Random() % 3 == 0 ? &Own : nullptr;
      un32Serial++;
      _VQX_MSG_HEADER Msg = Header(un32Serial, 0x0A010000u + un32Serial % 0x100);
      ASSERT_EQ(Table.Remember(&Msg, pListener, &pszStep), VQX_RESULT_OK) << un32Step;
      Model.push_back({un32Serial, Msg.un32MsgId, pListener});
    } else {
      auto it = std::next(Model.begin(), static_cast<long>(Random() % Model.size()));
      _VQX_MSG_HEADER Msg = Header(it->un32Serial);
      ASSERT_TRUE(Table.Awaits(&Msg)) << un32Step;
      if (un32Roll == 9) {
        Table.Forget(it->un32Serial);
      } else {
        EXPECT_EQ(Table.Take(&Msg), it->pListener != nullptr ? it->pListener : &Default) << un32Step;
      }
      Model.erase(it);
      EXPECT_FALSE(Table.Awaits(&Msg)) << un32Step;
      EXPECT_EQ(Table.Take(&Msg), &Default) << "answered already: the default listener, nothing taken";
    }
    ASSERT_EQ(Table.GetWaiting(), Model.size()) << un32Step;
    ASSERT_EQ(Table.GetCount(), static_cast<u32>(std::count_if(Model.begin(), Model.end(),
                                                               [](const Sent& s) { return s.pListener != nullptr; })));
    if (un32Step % 500 != 0) continue;
    std::vector<std::pair<u32, IVQCMCErrorListener*>> aWant, aGot;
    for (const Sent& s : Model) aWant.emplace_back(s.un32MsgId, s.pListener != nullptr ? s.pListener : &Default);
    Table.TakeAll([&](u32 un32MsgId, IVQCMCErrorListener* pListener) { aGot.emplace_back(un32MsgId, pListener); });
    ASSERT_EQ(aGot, aWant) << "oldest first, at step " << un32Step;
    ASSERT_EQ(Table.GetWaiting() + Table.GetCount(), 0u);
    Model.clear();
  }
}

/* A leg (or mixer) that writes down its trace lines and the errors and responses it gets. */
class Recorder {
 public:
  void Line(const char* pszFormat, _VQX_VA_LIST& args) {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    maTrace.emplace_back(sz);
  }
  size_t Count(const std::string& strLine) const { return std::count(maTrace.begin(), maTrace.end(), strLine); }
  std::vector<std::string> maTrace;
  std::string mstrCalls;
};

struct RecLeg : Recorder, CVQCMCLeg {
  RecLeg()
      : CVQCMCLeg(0x51, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                  VQCMC_CALL_LEG_STATE_INCOMING, 0, nullptr) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    Line(pszFormat, args);
  }
  void OnAcceptCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ACCEPT*, unsigned int*) override { mstrCalls += "Accept;"; }
  void OnLegError(CVQCMCLegError& e) override { mstrCalls += std::string("LegError:") + e.what() + ";"; }
};

struct RecMixer : Recorder, CVQCMCMixer {
  RecMixer()
      : CVQCMCMixer(0x61, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, nullptr) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    Line(pszFormat, args);
  }
  void OnMixerTerminateResponse(_VQCMC_MSG_CMD_MIXER_TERMINATE*, unsigned int*) override { mstrCalls += "Terminate;"; }
};

u64 g_un64Now = 500000;
u64 Now() { return g_un64Now; }

class CmcRequestsTest : public CmcLibTest {
 protected:
  void SetUp() override {
    CmcLibTest::SetUp();
    VqxClockSetSource(Now);
  }
  void TearDown() override {
    VqxClockSetSource(nullptr);
    CmcLibTest::TearDown();
  }
  /* An answer with that serial and result, to the object whether it asked or not. */
  template <class T>
  VQX_RESULT Answer(T& Object, u32 un32Id, u32 un32Size, u32 un32Serial, u32 un32Result) {
    VQX_MSG_HANDLE h = Received(VQCMC_MSG_KIND_RESPONSE, un32Id, un32Size, {{28, un32Result}});
    h->un32SerialNumber = un32Serial;
    return DeliverUnasked(Object, h);
  }
  static std::string Dropped(const char* pszClass, u32 un32Id, u32 un32Serial, const std::string& strLeftOut = "") {
    char sz[160];
    snprintf(sz, sizeof(sz), "%s::HandleMessage: Response 0x%08X (serial %u) answers no command in flight: dropped",
             pszClass, un32Id, un32Serial);
    return sz + strLeftOut + "\n";
  }
};

/* Each command's answer is heard once, by its own listener or the default one; a second answer, or
 * one to a command never sent, by no one: a line, one a second, that counts those left out. */
TEST_F(CmcRequestsTest, AnAnswerIsHeardOnce) {
  constexpr u32 kAccept = VQCMC_MSG_CMD_CALL_LEG_ACCEPT, kFailed = 0x82000005;
  RecLeg Leg;
  TestListener Default("D", 1), Own("O", 1);
  for (auto [un32Serial, pListener] : {std::pair<u32, IVQCMCErrorListener*>{1, &Default}, {2, &Own}, {3, nullptr}}) {
    _VQX_MSG_HEADER Msg = Header(un32Serial, kAccept);
    ASSERT_EQ(Leg.HandleRequest(&Msg, pListener), VQX_RESULT_OK);
  }
  const std::string strFailed = "AcceptCall() Request failed on CMC server(" + std::to_string(kAccept) + ");";
  for (u32 un32Serial : {2u, 2u, 1u, 1u, 3u, 3u, 99u}) {
    EXPECT_EQ(Answer(Leg, kAccept, 192, un32Serial, kFailed), VQX_RESULT_OK) << un32Serial;
  }
  EXPECT_EQ(Own.mstrSeen, "O:" + strFailed);
  EXPECT_EQ(Default.mstrSeen, "D:" + strFailed + "D:" + strFailed) << "serials 1 and 3, once each";
  EXPECT_EQ(Leg.mstrCalls, "Accept;Accept;Accept;") << "the listeners handle the errors: no OnLegError";
  EXPECT_EQ(Leg.Count(Dropped("CVQCMCLeg", kAccept, 2)), 1u) << "the first line of the second";
  EXPECT_EQ(Leg.maTrace.size(), 1u) << "the others within the second are counted";
  g_un64Now += 1000;
  EXPECT_EQ(Answer(Leg, kAccept, 192, 100, 0), VQX_RESULT_OK);
  EXPECT_EQ(Answer(Leg, kAccept, 192, 101, 0), VQX_RESULT_OK);
  EXPECT_EQ(Leg.maTrace.back(), Dropped("CVQCMCLeg", kAccept, 100, " (3 similar line(s) left out)"));
  // Once the second is over, the next answer taken says how many were left out since.
  g_un64Now += 1000;
  _VQX_MSG_HEADER Msg = Header(4, kAccept);
  ASSERT_EQ(Leg.HandleRequest(&Msg, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(Answer(Leg, kAccept, 192, 4, 0), VQX_RESULT_OK);
  EXPECT_EQ(Leg.maTrace.back(),
            "CVQCMCLeg::HandleMessage: Responses to no command in flight dropped: 1 similar line(s) left out\n");
  EXPECT_EQ(Leg.maTrace.size(), 3u);
  EXPECT_EQ(Leg.mstrCalls, "Accept;Accept;Accept;Accept;");
  // A mixer likewise.
  RecMixer Mixer;
  Msg = Header(7, VQCMC_MSG_CMD_MIXER_TERMINATE);
  ASSERT_EQ(Mixer.HandleRequest(&Msg, &Own), VQX_RESULT_OK);
  for (int i = 0; i < 2; i++) EXPECT_EQ(Answer(Mixer, VQCMC_MSG_CMD_MIXER_TERMINATE, 64, 7, kFailed), VQX_RESULT_OK);
  EXPECT_EQ(Mixer.mstrCalls, "Terminate;");
  EXPECT_EQ(Own.mstrSeen, "O:" + strFailed + "O:MixerTerminate() Request failed on CMC server;");
  EXPECT_EQ(Mixer.maTrace, std::vector<std::string>{Dropped("CVQCMCMixer", VQCMC_MSG_CMD_MIXER_TERMINATE, 7)});
}

/* The commands a leg's end leaves unanswered fail oldest first, each to its listener. */
TEST_F(CmcRequestsTest, LeftUnansweredFailOldestFirst) {
  RecLeg Leg;
  std::string strOrder;
  struct Ordered : IVQCMCErrorListener {
    Ordered(std::string& s, const char* psz) : mstr(s), mpsz(psz) {}
    void OnCmcLegError(unsigned int* pf, CVQCMCLegError& e) override {
      mstr += std::string(mpsz) + std::to_string(e.mun32MsgId & 0xFF) + ";", *pf = 1;
    }
    void OnCmcMixerError(unsigned int*, CVQCMCMixerError&) override {}
    std::string& mstr;
    const char* mpsz;
  } D(strOrder, "D"), O(strOrder, "O");
  const u32 aIds[] = {VQCMC_MSG_CMD_CALL_LEG_ALERT, VQCMC_MSG_CMD_CALL_LEG_ACCEPT, VQCMC_MSG_CMD_CALL_LEG_ANSWER,
                      VQCMC_MSG_CMD_GET_STATS,      VQCMC_MSG_CMD_DIGIT_PLAY,     VQCMC_MSG_CMD_PLAY};
  std::string strWant;
  for (u32 i = 0; i < std::size(aIds); i++) {
    _VQX_MSG_HEADER Msg = Header(10 + i, aIds[i]);
    ASSERT_EQ(Leg.HandleRequest(&Msg, i % 2 == 0 ? &D : &O), VQX_RESULT_OK);
    strWant += (i % 2 == 0 ? "D" : "O") + std::to_string(aIds[i] & 0xFF) + ";";
  }
  EXPECT_EQ(Deliver(Leg, Received(4, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, 40, {})), VQX_RESULT_OK);
  EXPECT_EQ(strOrder, strWant);
}

}  // namespace
