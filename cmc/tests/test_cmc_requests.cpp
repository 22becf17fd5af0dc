/*
 * The commands a leg or mixer has in flight: the request table against a
 * list in sending order through sends, answers in any order and failed
 * sends, across its small array and its hash, the failures of those left
 * taken oldest first; and a second answer, or one to a command never sent,
 * heard by no callback and no listener, with one line a second (the clock
 * injected) that counts those left out; a refused create, which closes the
 * leg in the core library, still ends the object.
 */
#include <algorithm>
#include <list>
#include <random>

#include "cmc_test_support.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"
#include "vqx_clock.h"

namespace {

_VQX_MSG_HEADER Header(u32 un32Serial, u32 un32MsgId) {
  _VQX_MSG_HEADER Msg{};
  Msg.un32SerialNumber = un32Serial;
  Msg.un32MsgId = un32MsgId;
  return Msg;
}

/* 20,000 steps, a few in flight then up to 300; every 500 steps the table fails what is left. */
TEST(CmcRequestTable, KeepsSendingOrderWhateverTheAnswers) {
  struct Sent {
    u32 un32Serial;
    IVQCMCErrorListener* pListener;
  };
  TestListener Default("D"), Own("O");
  CVQCMCRequestTable Table(1000);
  std::list<Sent> Model;
  std::mt19937 Random(70);
  const char* pszStep = "";
  ASSERT_EQ(Table.Remember(nullptr, &Default, &pszStep), VQX_RESULT_OK);  // the default listener
  for (u32 un32Step = 1, un32Serial = 1; un32Step <= 20000; un32Step++) {
    const bool fMany = un32Step % 4000 >= 2000;
    const u32 un32Roll = Random() % 10;
    if (Model.empty() || (Model.size() < (fMany ? 300u : 3u) && un32Roll < (fMany ? 7u : 5u))) {
      IVQCMCErrorListener* pListener = Random() % 3 == 0 ? &Own : nullptr;
      _VQX_MSG_HEADER Msg = Header(un32Serial, un32Serial);  // the id tells the commands apart
      ASSERT_EQ(Table.Remember(&Msg, pListener, &pszStep), VQX_RESULT_OK) << un32Step;
      Model.push_back({un32Serial++, pListener});
    } else {
      auto it = std::next(Model.begin(), static_cast<long>(Random() % Model.size()));
      _VQX_MSG_HEADER Msg = Header(it->un32Serial, 0);
      ASSERT_TRUE(Table.Awaits(&Msg)) << un32Step;
      if (un32Roll == 9) {
        Table.Forget(it->un32Serial);
      } else {
        EXPECT_EQ(Table.Take(&Msg), it->pListener != nullptr ? it->pListener : &Default) << un32Step;
      }
      Model.erase(it);
      EXPECT_FALSE(Table.Awaits(&Msg)) << un32Step;
      EXPECT_EQ(Table.Take(&Msg), nullptr) << "answered already: no one is told again";
    }
    ASSERT_EQ(Table.GetWaiting(), Model.size()) << un32Step;
    ASSERT_EQ(Table.GetCount(), std::count_if(Model.begin(), Model.end(), [](const Sent& s) { return s.pListener; }));
    if (un32Step % 500 != 0) continue;
    std::vector<std::pair<u32, IVQCMCErrorListener*>> aWant, aGot;
    for (const Sent& s : Model) aWant.emplace_back(s.un32Serial, s.pListener != nullptr ? s.pListener : &Default);
    Table.TakeAll([&](u32 un32MsgId, IVQCMCErrorListener* pListener) { aGot.emplace_back(un32MsgId, pListener); });
    ASSERT_EQ(aGot, aWant) << "oldest first, at step " << un32Step;
    ASSERT_EQ(Table.GetWaiting() + Table.GetCount(), 0u);
    Model.clear();
  }
}

/* A leg or mixer that writes down its trace lines and its calls. */
template <class T>
struct Rec : T {
  using T::T;
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    maTrace.emplace_back(sz);
  }
  void OnAcceptCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ACCEPT*, unsigned int*) { mstrCalls += "Accept;"; }
  void OnMixerTerminateResponse(_VQCMC_MSG_CMD_MIXER_TERMINATE*, unsigned int*) { mstrCalls += "Terminate;"; }
  void OnCallTerminated(_VQCMC_CALL_REASON&, CVQCMC_PROTOCOL_ATTRIBUTE&) { mstrCalls += "Terminated;"; }
  std::vector<std::string> maTrace;
  std::string mstrCalls;
};

u64 g_un64Now = 500000;

/* Each command's answer is heard once, by its own listener or the default one; a second answer, or
 * one to a command never sent, by no one: a line, one a second, that counts those left out. */
TEST_F(CmcLibTest, AnAnswerIsHeardOnce) {
  constexpr u32 kAccept = VQCMC_MSG_CMD_CALL_LEG_ACCEPT, kTerminate = VQCMC_MSG_CMD_MIXER_TERMINATE;
  VqxClockSetSource([] { return g_un64Now; });
  const struct Restore {
    ~Restore() { VqxClockSetSource(nullptr); }
  } SystemClockAfter;
  Rec<CVQCMCLeg> Leg(0x51, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                     VQCMC_CALL_LEG_STATE_INCOMING, 0, nullptr);
  Rec<CVQCMCMixer> Mixer(0x61, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, nullptr);
  TestListener Default("D", 1), Own("O", 1);
  auto Send = [&](auto& Object, u32 un32Serial, u32 un32Id, IVQCMCErrorListener* p) {
    _VQX_MSG_HEADER Msg = Header(un32Serial, un32Id);
    ASSERT_EQ(Object.HandleRequest(&Msg, p), VQX_RESULT_OK);
  };
  auto Answer = [&](auto& Object, u32 un32Id, u32 un32Size, u32 un32Serial) {
    VQX_MSG_HANDLE h = Received(VQCMC_MSG_KIND_RESPONSE, un32Id, un32Size, {{28, 0x82000005}});
    h->un32SerialNumber = un32Serial;
    EXPECT_EQ(DeliverUnasked(Object, h), VQX_RESULT_OK);
  };
  auto Dropped = [](const char* pszClass, u32 un32Id, u32 un32Serial, const char* pszLeftOut) {
    char sz[160];
    snprintf(sz, sizeof(sz), "%s::HandleMessage: Response 0x%08X (serial %u) answers no command in flight: dropped%s\n",
             pszClass, un32Id, un32Serial, pszLeftOut);
    return std::string(sz);
  };
  Send(Leg, 1, kAccept, &Default), Send(Leg, 2, kAccept, &Own), Send(Leg, 3, kAccept, nullptr);
  for (u32 un32Serial : {2u, 2u, 1u, 1u, 3u, 3u, 99u}) Answer(Leg, kAccept, 192, un32Serial);
  const std::string strFailed = "AcceptCall() Request failed on CMC server(" + std::to_string(kAccept) + ");";
  EXPECT_EQ(Own.mstrSeen + Default.mstrSeen, "O:" + strFailed + "D:" + strFailed + "D:" + strFailed);
  EXPECT_EQ(Leg.mstrCalls, "Accept;Accept;Accept;");
  EXPECT_EQ(Leg.maTrace, std::vector<std::string>{Dropped("CVQCMCLeg", kAccept, 2, "")}) << "the others counted";
  g_un64Now += 1000;
  Answer(Leg, kAccept, 192, 100), Answer(Leg, kAccept, 192, 101);
  EXPECT_EQ(Leg.maTrace.back(), Dropped("CVQCMCLeg", kAccept, 100, " (3 similar line(s) left out)"));
  // Once the second is over, the next answer taken says how many were left out since.
  g_un64Now += 1000;
  Send(Leg, 4, kAccept, nullptr), Answer(Leg, kAccept, 192, 4);
  EXPECT_EQ(Leg.maTrace.back(),
            "CVQCMCLeg::HandleMessage: Responses to no command in flight dropped: 1 similar line(s) left out\n");
  EXPECT_EQ(Leg.maTrace.size(), 3u);
  EXPECT_EQ(Leg.mstrCalls, "Accept;Accept;Accept;Accept;");
  // A refused create ends the leg in the core library, asked for or not: it ends the object too.
  const std::string strSeen = Default.mstrSeen;
  Answer(Leg, VQCMC_MSG_CMD_CALL_LEG_CREATE, sizeof(_VQCMC_MSG_CMD_CALL_LEG_CREATE), 5);
  EXPECT_EQ(Leg.mstrCalls, "Accept;Accept;Accept;Accept;Terminated;");
  EXPECT_EQ(Leg.maTrace.size(), 3u);
  EXPECT_EQ(Default.mstrSeen, strSeen) << "no command of it in flight: no one told";
  Send(Mixer, 7, kTerminate, &Own), Answer(Mixer, kTerminate, 64, 7), Answer(Mixer, kTerminate, 64, 7);
  EXPECT_EQ(Mixer.mstrCalls, "Terminate;");
  EXPECT_EQ(Own.mstrSeen, "O:" + strFailed + "O:MixerTerminate() Request failed on CMC server;");
  EXPECT_EQ(Mixer.maTrace, std::vector<std::string>{Dropped("CVQCMCMixer", kTerminate, 7, "")});
}

}  // namespace
