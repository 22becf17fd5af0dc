/*
 * The call leg object: dispatch of received messages to their handlers (one
 * table of rows, short and unknown ones included), error routing through
 * the request listeners, the default listener and the handled word, the
 * commands' preconditions and failed sends, events, the free protocol, and
 * the protocol trace against its golden text (tests/data/cmc_leg_trace.txt).
 * The core library is the real one opened over a bridge with no transport:
 * it has no server, so the legs are not valid and every send fails.
 */
#include <cstdarg>
#include <cstring>
#include <fstream>

#include "cmc_test_support.h"
#include "vqcmc_generic_headers.h"
#include "vqcmc_leg.h"
#include "vqx_msg_element.h"

namespace {

/* The leg's mutex outlives the leg (a base built before it). */
struct MutexHolder {
  CVQCAFMutex mMutex;
};

/* A leg that writes its callbacks and its trace lines down. */
class TestLeg : private MutexHolder, public CVQCMCLeg {
 public:
  TestLeg(u32 un32State, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON* pAttr, u32 un32Id = 0x51)
      : CVQCMCLeg(un32Id, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(pAttr), nullptr,
                  static_cast<_VQCMC_MSG_CALL_LEG_STATE>(un32State), 0, &mMutex) {}
  ~TestLeg() override {
    if (mpfDeleted != nullptr) *mpfDeleted = true;
  }
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    std::string s(sz);
    for (size_t n; (n = s.find('\n')) != std::string::npos;) s.replace(n, 1, "\\n");
    maTrace.push_back(s);
  }
  void On(const std::string& s) { mstrCalls += s + ";"; }
  void OnLegEvent(IVQCMCEvent* p) override { On("Event" + std::to_string(p->GetType())); }
  void OnLegError(CVQCMCLegError& e) override { On(std::string("LegError:") + e.what()); }
  void OnCallTerminated(_VQCMC_CALL_REASON& r, CVQCMC_PROTOCOL_ATTRIBUTE&) override {
    On("Terminated" + std::to_string(r.un32ReasonCode));
  }
  void OnSendTerminateCall(_VQCMC_CALL_REASON&) override { On("SendTerminate"); }
  void OnSyncDone() override { On("SyncDone"); }
  void OnSyncLost() override { On("SyncLost"); }
  void OnStatsUpdated(_VQCMC_LEG_STATS& s, _VQCMC_GET_STATS_REASON_CODE c) override {
    On("Stats" + std::to_string(c) + "/" + std::to_string(s.aun32Counters[0]));
  }
  void OnProfileChanged(CVQCMC_MEDIA_PROFILE&, _VQCMC_MEDIA_REASON_CODE m, _VQCMC_CALL_REASON_CODE c) override {
    On("Profile" + std::to_string(m) + "/" + std::to_string(c));
  }
  void OnCallAlerting(CVQCMC_PROTOCOL_ATTRIBUTE&) override { On("Alerting"); }
  void OnCallAnswered(CVQCMC_PROTOCOL_ATTRIBUTE&) override { On("Answered@" + std::to_string(GetState())); }
  void OnCallTerminatingIndication(_VQCMC_CALL_REASON& r, CVQCMC_PROTOCOL_ATTRIBUTE&) override {
    On("Terminating" + std::to_string(r.un32ReasonCode));
  }
  void OnCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE t, CVQCMC_PROTOCOL_ATTRIBUTE&) override {
    On("SuppInfo" + std::to_string(t));
  }
  void OnCallTransferRequest(_VQCMC_CALL_TRANSFER& t, CVQCMC_PROTOCOL_ATTRIBUTE&) override {
    On(std::string("TransferRequest:") + t.szTransferNumber);
  }
  void OnCallTransferProgress(CVQCMC_PROTOCOL_ATTRIBUTE&) override { On("TransferProgress"); }
  void OnCallTransferResponse(_VQCMC_CALL_REASON& r, CVQCMC_PROTOCOL_ATTRIBUTE&) override {
    On("TransferResponse" + std::to_string(r.un32ReasonCode));
  }
  void OnAcceptCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ACCEPT*, unsigned int* p) override {
    On("AcceptResponse");
    *p = mfHandle;
  }
  void OnStreamPlayingStarted(unsigned char i, unsigned char k, VQCMCMediaFileInfo const& f) override {
    On("PlayStarted" + std::to_string(i) + "/" + std::to_string(k) + ":" + f.strPath.c_str());
  }
  void OnStreamRecordingStarted(VQCMCMediaFileInfo const& f) override { On(std::string("RecStarted:") + f.strPath.c_str()); }
  void OnStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
    On("PlayDone" + std::to_string(i) + "/" + std::to_string(r));
  }
  void OnStreamRecordingDone(_VQCMC_IVR_REASON_CODE r) override { On("RecDone" + std::to_string(r)); }
  void OnDigitPlayingDone() override { On("DigitDone"); }
  void OnEventPlayingDone() override { On("EventDone"); }
  void OnDigitCollected(CVQCMC_COLLECTED_DIGIT_ATTRIBUTE& d) override {
    On("Digits" + std::to_string(d.GetMatchingMap()) + ":" + d.GetCollectedDigits().c_str());
  }
  void OnEventCollected(CVQCAFString const& s) override { On(std::string("Events:") + s.c_str()); }
  /* Stream entries "active/paused" 0-4, then digit and event plays. */
  std::string Counters() const {
    std::string s;
    for (u32 i = 0; i < VQCMC_LEG_NB_STREAMS; i++) {
      s += std::to_string(maun32StreamsInProgress[i]) + "/" + std::to_string(maun8StreamPaused[i]) + " ";
    }
    return s + "d" + std::to_string(mun32DigitPlays) + " e" + std::to_string(mun32EventPlays);
  }
  void SetAllCounters(u32 n) {
    for (u32 i = 0; i < VQCMC_LEG_NB_STREAMS; i++) maun32StreamsInProgress[i] = n, maun8StreamPaused[i] = 1;
    mun32DigitPlays = mun32EventPlays = n;
  }
  using CVQCMCLeg::mfRefused;
  using CVQCMCLeg::mState;
  std::string mstrCalls;
  std::vector<std::string> maTrace;
  u32 mfHandle = 0;
  bool* mpfDeleted = nullptr;
};

using CmcLegTest = CmcLibTest;

/* Every message is taken and released once (ASan sees a double release or a leak). */
TEST_F(CmcLegTest, DispatchRows) {
  struct Row {
    const char* pszName;
    u32 un32Kind, un32Id, un32Size;
    std::initializer_list<std::pair<u32, u32>> aWords;
    VQX_RESULT Result;
    const char* pszCalls;
  } aRows[] = {
      {"command", 1, VQCMC_MSG_CMD_CALL_LEG_ACCEPT, 192, {}, VQX_RESULT_INVALID_MESSAGE, ""},
      {"kind 3 dropped", 3, VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, 192, {}, VQX_RESULT_OK, ""},
      {"unknown response", 2, 0x0A0100EEu, 56, {}, VQX_RESULT_INVALID_MESSAGE, ""},
      {"alerting short", 4, VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, 191, {}, VQX_RESULT_INVALID_PARAM, ""},
      {"alerting", 4, VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, 192, {}, VQX_RESULT_OK, "Alerting;"},
      {"answered", 4, VQCMC_MSG_NOTIF_CALL_LEG_ANSWERED, 192, {}, VQX_RESULT_OK, "Answered@1;"},
      {"terminating", 4, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION, 184, {{40, 17}}, VQX_RESULT_OK,
       "Terminating17;"},
      {"terminated", 4, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 184, {{40, 16}}, VQX_RESULT_OK, "Terminated16;"},
      {"supp info", 4, VQCMC_MSG_NOTIF_CALL_SUPP_INFO, 192, {{28, 101}}, VQX_RESULT_OK, "SuppInfo101;"},
      {"stats short", 4, VQCMC_MSG_NOTIF_STATS_UPDATED, 167, {}, VQX_RESULT_INVALID_PARAM, ""},
      {"stats", 4, VQCMC_MSG_NOTIF_STATS_UPDATED, 168, {{36, 3}, {40, 9}}, VQX_RESULT_OK, "Stats3/9;"},
      {"profile", 4, VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED, 112, {{32, 16}, {36, 2}}, VQX_RESULT_OK, "Profile2/16;"},
      {"transfer request", 4, VQCMC_MSG_NOTIF_CALL_TRANSFER_REQUEST, 256, {{172, 0x333231}}, VQX_RESULT_OK,
       "TransferRequest:123;"},
      {"transfer progress", 4, VQCMC_MSG_NOTIF_CALL_TRANSFER_PROGRESS, 168, {}, VQX_RESULT_OK, "TransferProgress;"},
      {"transfer response", 4, VQCMC_MSG_NOTIF_CALL_TRANSFER_RESPONSE, 184, {{168, 486}}, VQX_RESULT_OK,
       "TransferResponse486;"},
      {"leg error empty text", 4, VQCMC_MSG_NOTIF_LEG_ERROR, 404, {{36, 5}}, VQX_RESULT_OK,
       "LegError:Received Event from CMC Server: ;"},
      {"sync lost", 4, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, 40, {}, VQX_RESULT_OK, "SyncLost;"},
      {"sync done", 4, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE, 40, {}, VQX_RESULT_OK, "SyncDone;"},
      {"leg terminated", 4, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, 40, {}, VQX_RESULT_OK, "Terminated205;"},
      {"accept response failed", 2, VQCMC_MSG_CMD_CALL_LEG_ACCEPT, 192, {{28, 0x80000001}}, VQX_RESULT_OK,
       "AcceptResponse;"},
  };
  for (const Row& r : aRows) {
    TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
    EXPECT_EQ(Deliver(Leg, Received(r.un32Kind, r.un32Id, r.un32Size, r.aWords)), r.Result) << r.pszName;
    EXPECT_EQ(Leg.mstrCalls, r.pszCalls) << r.pszName;
    const bool fLogged = !Leg.maTrace.empty() && Leg.maTrace.back().find("CVQCMCLeg::HandleMessage: Could not handle "
                                                                         "message") == 0;
    EXPECT_EQ(fLogged, VQX_RESULT_FAILED(r.Result)) << r.pszName;
  }
}

/* The server's text is read within its 256 bytes; a leg error carries its code, id and detail. */
TEST_F(CmcLegTest, LegErrorTextBounded) {
  struct Seen : TestLeg {
    using TestLeg::TestLeg;
    void OnLegError(CVQCMCLegError& e) override {
      mstrText = e.what(), mun32Code = e.mun32Code, mun32Id = e.mun32MsgId, mfPlay = e.IsPlayErrors();
    }
    std::string mstrText;
    u32 mun32Code = 0, mun32Id = 0, mfPlay = 0;
  } Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  VQX_MSG_HANDLE h = Received(4, VQCMC_MSG_NOTIF_LEG_ERROR, 404, {{36, 0x8200000A}, {296, 4}});
  memset(reinterpret_cast<u8*>(VQXMsgPayload(h)) + 40, 'x', 256);
  EXPECT_EQ(Deliver(Leg, h), VQX_RESULT_OK);
  EXPECT_EQ(Leg.mstrText, "Received Event from CMC Server: " + std::string(256, 'x'));
  EXPECT_EQ(Leg.mun32Code, 0x8200000Au);
  EXPECT_EQ(Leg.mun32Id, VQCMC_MSG_NOTIF_LEG_ERROR);
  EXPECT_NE(Leg.mfPlay, 0u);
}

/* Listener of the request, else the default; handled words; at most 20 pending. */
TEST_F(CmcLegTest, ErrorRouting) {
  TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  TestListener Default("D"), Other("O"), Handling("H", 1);
  std::vector<TestListener> aMany(20, TestListener("M"));
  auto Request = [&](u32 un32Serial, IVQCMCErrorListener* p) {
    _VQX_MSG_HEADER Msg{};
    Msg.un32SerialNumber = un32Serial;
    Msg.un32MsgId = VQCMC_MSG_CMD_CALL_LEG_ALERT;
    return Leg.HandleRequest(&Msg, p);
  };
  auto Response = [&](u32 un32Serial, u32 un32Result) {
    _VQX_MSG_HEADER Msg{};
    Msg.un32SerialNumber = un32Serial;
    Msg.un32MsgId = VQCMC_MSG_CMD_CALL_LEG_ALERT;
    return Leg.HandleResponse(&Msg, 0, un32Result, "AlertCall() Request failed on CMC server");
  };
  const std::string strText = "AlertCall() Request failed on CMC server(" +
                              std::to_string(VQCMC_MSG_CMD_CALL_LEG_ALERT) + ");";
  EXPECT_EQ(Request(1, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(Response(1, 0x80000001), VQX_RESULT_OK);
  EXPECT_EQ(Leg.mstrCalls, "") << "no listener at all: nothing is called";
  EXPECT_EQ(Request(2, &Default), VQX_RESULT_OK);
  EXPECT_EQ(Request(3, &Other), VQX_RESULT_OK);
  EXPECT_EQ(Request(4, &Handling), VQX_RESULT_OK);
  EXPECT_EQ(Leg.GetPendingListenerCount(), 2u) << "the default is not held per request";
  EXPECT_EQ(Response(3, 0x80000001), VQX_RESULT_OK);
  EXPECT_EQ(Response(2, 0x80000001), VQX_RESULT_OK);
  EXPECT_EQ(Response(4, 0x80000001), VQX_RESULT_OK);
  EXPECT_EQ(Response(3, 0x02000000), VQX_RESULT_OK);
  EXPECT_EQ(Other.mstrSeen, "O:" + strText);
  EXPECT_EQ(Default.mstrSeen, "D:" + strText);
  EXPECT_EQ(Handling.mstrSeen, "H:" + strText);
  EXPECT_EQ(Leg.mstrCalls, "LegError:AlertCall() Request failed on CMC server;LegError:AlertCall() Request failed "
                           "on CMC server;") << "the handled one stops at its listener";
  for (u32 i = 0; i < 20; i++) EXPECT_EQ(Request(100 + i, &aMany[i]), VQX_RESULT_OK) << i;
  EXPECT_EQ(Request(200, &Other), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(Request(201, &Default), VQX_RESULT_OK) << "the default listener is never limited";
  EXPECT_EQ(Response(100, 0x80000002), VQX_RESULT_OK);
  EXPECT_EQ(Request(200, &Other), VQX_RESULT_OK) << "a response frees its entry";
  // The server forgets the leg: no response will come, the table empties and each request still
  // waiting fails, oldest first, to its own listener or the default one, before the leg's end.
  Leg.mstrCalls.clear();
  Default.mstrSeen.clear();
  const std::string strLost = "Request lost: terminated before its response(" +
                              std::to_string(VQCMC_MSG_CMD_CALL_LEG_ALERT) + ");";
  EXPECT_EQ(Deliver(Leg, Received(4, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, 40, {})), VQX_RESULT_OK);
  EXPECT_EQ(Leg.GetPendingListenerCount(), 0u);
  EXPECT_EQ(aMany[0].mstrSeen, "M:" + strText) << "answered";
  for (u32 i = 1; i < 20; i++) EXPECT_EQ(aMany[i].mstrSeen, "M:" + strLost) << i;
  EXPECT_EQ(Other.mstrSeen, "O:" + strText + "O:" + strLost);
  EXPECT_EQ(Default.mstrSeen, "D:" + strLost) << "request 201";
  std::string strLeg;
  for (u32 i = 0; i < 21; i++) strLeg += "LegError:Request lost: terminated before its response;";
  EXPECT_EQ(Leg.mstrCalls, strLeg + "Terminated205;") << "the listeners did not handle them";
  // So do the server's end of the call and a refused create, which close the leg to later answers too.
  const struct {
    u32 un32Kind, un32Id, un32Size;
    std::initializer_list<std::pair<u32, u32>> aWords;
    const char* pszEnd;
  } aEnds[] = {
      {4, VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, 184, {{40, 16}}, "Terminated16;"},
      {2, VQCMC_MSG_CMD_CALL_LEG_CREATE, sizeof(_VQCMC_MSG_CMD_CALL_LEG_CREATE), {{28, 0x80000001}, {36, 47}},
       "Terminated47;"},
  };
  for (const auto& End : aEnds) {
    for (u32 i = 0; i < 20; i++) EXPECT_EQ(Request(100 + i, &aMany[i]), VQX_RESULT_OK) << i;
    EXPECT_EQ(Request(201, &Default), VQX_RESULT_OK);
    Leg.mstrCalls.clear(), Default.mstrSeen.clear(), aMany[19].mstrSeen.clear();
    EXPECT_EQ(Deliver(Leg, Received(End.un32Kind, End.un32Id, End.un32Size, End.aWords)), VQX_RESULT_OK) << End.pszEnd;
    EXPECT_EQ(Leg.GetPendingListenerCount(), 0u) << End.pszEnd;
    EXPECT_EQ(aMany[19].mstrSeen, "M:" + strLost) << End.pszEnd;
    EXPECT_TRUE(Default.mstrSeen.ends_with("D:" + strLost)) << Default.mstrSeen;
    EXPECT_TRUE(Leg.mstrCalls.ends_with(strLeg + End.pszEnd)) << Leg.mstrCalls;
  }
}

/* Preconditions refuse with 0x8200000F and their trace; a failed send reaches the listener and
 * leaves no pending entry; a terminate that was not sent may be tried again. */
TEST_F(CmcLegTest, CommandsPreconditionsAndFailedSends) {
  TestListener Default("D"), Other("O");
  TestLeg Out(VQCMC_CALL_LEG_STATE_OUTGOING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  EXPECT_EQ(Out.AcceptCall(nullptr, &Default), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Out.maTrace.back(), "CVQCMCLeg::AcceptCall: This function can only be used on a call in the incoming state.\\n");
  EXPECT_EQ(Out.AnswerCall(nullptr, &Default), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Out.IsAnswered(), 0u);
  EXPECT_EQ(Default.mstrSeen, "") << "a refused precondition makes no error";
  TestLeg In(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  EXPECT_EQ(In.CreateCallSignalingMedia(nullptr, nullptr), VQX_RESULT_INVALID_STATE);
  EXPECT_TRUE(VQX_RESULT_FAILED(In.AlertCall(nullptr, &Default)));
  EXPECT_TRUE(VQX_RESULT_FAILED(In.AcceptCall(nullptr, &Other)));
  EXPECT_EQ(Other.mstrSeen, "O:CVQCMCLeg::AcceptCall Failed(0);");
  EXPECT_EQ(In.GetPendingListenerCount(), 0u) << "the failed send's listener is not kept";
  EXPECT_EQ(In.IsAccepted(), 1u);
  _VQCMC_CALL_REASON Reason{16, {}};
  EXPECT_TRUE(VQX_RESULT_FAILED(In.TerminateCall(Reason, nullptr, &Other)));
  EXPECT_EQ(In.GetState(), VQCMC_CALL_LEG_STATE_INCOMING) << "not sent: the terminate may be retried";
  EXPECT_TRUE(VQX_RESULT_FAILED(In.TerminateCall(Reason, nullptr, &Other)));
  EXPECT_NE(In.mstrCalls.find("SendTerminate;LegError:CVQCMCLeg::TerminateCallSignalingMedia Failed;SendTerminate;"),
            std::string::npos) << "the second one was tried again: " << In.mstrCalls;
  EXPECT_EQ(Deliver(In, Received(4, VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, 40, {})), VQX_RESULT_OK);
  EXPECT_EQ(In.TerminateCall(Reason, nullptr, &Other), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(In.maTrace.back(), "CVQCMCLeg::TerminateCall: Terminate was called when out of sync, ignoring...\\n");
  EXPECT_EQ(In.ProgressCall(nullptr, &Other), VQX_RESULT_NOT_SUPPORTED) << "protocol 0";
  // No server is ready to make a new leg: its create fails with the not-ready code, to its listener.
  struct NewLeg : MutexHolder, CVQCMCLeg {
    NewLeg() : CVQCMCLeg(0, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr, 0,
                         &mMutex) {}
  } Made;
  Other.mstrSeen.clear();
  EXPECT_EQ(Made.IsValidCallCtx(), 0u);
  EXPECT_EQ(Made.CreateCall(nullptr, &Other), VQX_RESULT_API_ADA_NOT_READY);
  EXPECT_EQ(Other.mstrSeen, "O:CVQCMCLeg::CreateCallSignalingMedia Failed(0);");
}

/* A leg without attributes refuses what needs them instead of reading through null. */
TEST_F(CmcLegTest, NoAttributesRefused) {
  TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, nullptr);
  _VQCMC_CALL_REASON Reason{16, {}};
  CVQCMC_MEDIA_PROFILE Profile;
  _VQCMC_LEG Record{};
  EXPECT_EQ(Leg.TerminateCall(Reason, nullptr, nullptr), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Leg.ProgressCall(nullptr, nullptr), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Leg.SetProfile(Profile), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Leg.CopyLeg(nullptr, &Record), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Leg.CreateCall(nullptr, nullptr), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Deliver(Leg, Received(2, VQCMC_MSG_CMD_CALL_LEG_ALERT, 192, {{8, 7}})), VQX_RESULT_OK);
}

/* Events: cancelled ones are not delivered, type 2 like any other, an error event once and deleted. */
TEST_F(CmcLegTest, Events) {
  struct Plain : IVQCMCEvent {
    explicit Plain(u32 t) : mun32Type(t) {}
    unsigned int GetType() override { return mun32Type; }
    unsigned int GetCause() override { return 0; }
    u32 mun32Type;
  } Two(2), Seven(7);
  TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  u8 fCancelled = 1;
  CVQCMCLegError Error(0x82000001, "posted", __FILE__, __LINE__);
  EXPECT_EQ(Leg.HandleLegEvent(&Two, &fCancelled), VQX_RESULT_OK);
  EXPECT_EQ(Leg.HandleLegEvent(&Two, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(Leg.HandleLegEvent(&Seven, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(Leg.HandleLegEvent(new CVQCMCLegErrorEvent(&Error), nullptr), VQX_RESULT_OK);
  EXPECT_EQ(Leg.mstrCalls, "Event2;Event7;LegError:posted;");
  EXPECT_TRUE(VQX_RESULT_FAILED(Leg.LegError(&Error, nullptr))) << "not a leg of the core library";
  EXPECT_EQ(Leg.FreeLeg(), VQX_RESULT_OK);
  EXPECT_EQ(Leg.LegError(&Error, nullptr), VQX_RESULT_INVALID_STATE);
}

/* Adopting an id that another object represents fails and leaves that entry alone. */
TEST_F(CmcLegTest, AdoptingARepresentedIdFails) {
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  TestLeg Other(VQCMC_CALL_LEG_STATE_INCOMING, nullptr, 0x99);
  ASSERT_EQ(pLib->LegIdAdd(0x77, &Other), VQX_RESULT_OK);
  {
    TestLeg Second(VQCMC_CALL_LEG_STATE_INCOMING, nullptr, 0x77);
    EXPECT_EQ(Second.IsValidCallCtx(), 0u);
    EXPECT_EQ(Second.GetStats(nullptr), 0x82000005u) << "nothing sent for the leg the other object holds";
  }
  EXPECT_EQ(pLib->LegIdFind(0x77), &Other) << "the destructor removed only what it registered";
  EXPECT_EQ(pLib->LegIdRemove(0x77), VQX_RESULT_OK);
}

/* A refused leg is freed: at once when its terminate cannot be sent, after leg-terminated otherwise. */
TEST_F(CmcLegTest, RefusedLegsAreFreed) {
  bool fDeleted = false;
  TestLeg* pLeg = new TestLeg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  pLeg->mpfDeleted = &fDeleted;
  pLeg->RefuseLeg(static_cast<_VQCMC_CALL_REASON_CODE>(21), nullptr);
  EXPECT_TRUE(fDeleted);
  fDeleted = false;
  pLeg = new TestLeg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  pLeg->mpfDeleted = &fDeleted;
  pLeg->mfRefused = 1;
  pLeg->SetFreeListener(pLeg);
  EXPECT_EQ(Deliver(*pLeg, Received(4, VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, 40, {})), VQX_RESULT_OK);
  EXPECT_TRUE(fDeleted);
  // Refused from its own callback: deleted after the message, not under the handler.
  struct Refusing : TestLeg {
    using TestLeg::TestLeg;
    void OnCallAlerting(CVQCMC_PROTOCOL_ATTRIBUTE&) override {
      RefuseLeg(static_cast<_VQCMC_CALL_REASON_CODE>(21), nullptr);
    }
  };
  fDeleted = false;
  pLeg = new Refusing(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  pLeg->mpfDeleted = &fDeleted;
  EXPECT_EQ(Deliver(*pLeg, Received(4, VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, 192, {})), VQX_RESULT_OK);
  EXPECT_TRUE(fDeleted);
}

/* The protocol trace of SS7, ISDN and SIP attributes against its golden text. */
TEST_F(CmcLegTest, ProtocolTraceGolden) {
  std::ifstream f(std::string(getenv("VQX_TEST_DATA")) + "/cmc_leg_trace.txt");
  std::string strLine, strName, strProtocol, strHex;
  std::vector<std::pair<std::string, std::vector<std::string>>> aCases;
  while (std::getline(f, strLine)) {
    if (strLine.empty() || strLine[0] == '#') continue;
    if (strLine[0] == '>') {
      aCases.back().second.push_back(strLine.substr(1));
    } else {
      aCases.push_back({strLine, {}});
    }
  }
  ASSERT_EQ(aCases.size(), 8u);
  for (auto& [strCase, aExpected] : aCases) {
    std::istringstream In(strCase);
    In >> strName >> strProtocol >> strHex;
    std::string strBytes;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2) strBytes += char(std::stoi(strHex.substr(i, 2), nullptr, 16));
    CVQCMC_PROTOCOL_ATTRIBUTE Attr;
    const u8* pby = reinterpret_cast<const u8*>(strBytes.data());
    if (strProtocol == "ss7") {
      ASSERT_EQ(Attr.SetSS7Ie(strBytes.size(), pby), VQX_RESULT_OK) << strName;
    } else if (strProtocol == "isdn") {
      ASSERT_EQ(Attr.SetIsdnIe(strBytes.size(), pby), VQX_RESULT_OK) << strName;
    }
    if (strProtocol == "sip") {
      VQX_MSG_HANDLE hMsg = nullptr;
      VQXMsgElementSet* pSet = nullptr;
      ASSERT_EQ(Attr.InitSipHeaders(&hMsg, &pSet), VQX_RESULT_OK);
      for (u8 un8Type : strBytes) {
        void* pv = nullptr;
        ASSERT_EQ(VQXMsgElementAlloc(hMsg, pSet, 8, &pv), VQX_RESULT_OK);
        *static_cast<u32*>(pv) = un8Type;
      }
      ASSERT_EQ(Attr.SetSinglePartSipBody("v=0"), VQX_RESULT_OK);
    }
    TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, nullptr);
    Leg.PrintProtocolInfo("L", Attr);
    EXPECT_EQ(Leg.maTrace, aExpected) << strName;
  }
}

/* Stream, digit and event counters through responses and notifications; every
 * row starts from 1 play (paused) on each stream, 1 digit and 1 event play.
 * A play index past the play streams touches nothing; the callbacks still run. */
TEST_F(CmcLegTest, MediaCounterRows) {
  constexpr u32 kNeg = 0x80000001;
  struct Row {
    const char* pszName;
    u32 un32Kind, un32Id, un32Size;
    std::initializer_list<std::pair<u32, u32>> aWords;
    VQX_RESULT Result;
    const char* pszCounters;
    const char* pszCalls;
  } aRows[] = {
      {"play refused v2 index 2", 2, VQCMC_MSG_CMD_PLAY, 56, {{24, 2}, {28, kNeg}, {44, 2u << 24}}, VQX_RESULT_OK,
       "1/1 1/1 0/1 1/1 1/1 d1 e1", ""},
      {"play refused v1 is index 0", 2, VQCMC_MSG_CMD_PLAY, 56, {{24, 1}, {28, kNeg}, {44, 2u << 24}}, VQX_RESULT_OK,
       "0/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"play refused index 4", 2, VQCMC_MSG_CMD_PLAY, 56, {{24, 2}, {28, kNeg}, {44, 4u << 24}}, VQX_RESULT_OK,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"play accepted", 2, VQCMC_MSG_CMD_PLAY, 56, {{24, 2}, {44, 2u << 24}}, VQX_RESULT_OK,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"play short", 2, VQCMC_MSG_CMD_PLAY, 55, {}, VQX_RESULT_INVALID_PARAM, "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"record refused", 2, VQCMC_MSG_CMD_RECORD, 112, {{28, kNeg}}, VQX_RESULT_OK, "1/1 1/1 1/1 1/1 0/1 d1 e1", ""},
      {"pause refused", 2, VQCMC_MSG_CMD_PAUSE, 48, {{28, kNeg}, {32, 1}, {36, 1}}, VQX_RESULT_OK,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"digit play refused", 2, VQCMC_MSG_CMD_DIGIT_PLAY, 96, {{28, kNeg}}, VQX_RESULT_OK,
       "1/1 1/1 1/1 1/1 1/1 d0 e1", ""},
      {"event play refused", 2, VQCMC_MSG_CMD_EVENT_PLAY, 40, {{28, kNeg}}, VQX_RESULT_OK,
       "1/1 1/1 1/1 1/1 1/1 d1 e0", ""},
      {"cancel refused", 2, VQCMC_MSG_CMD_EVENT_CANCEL, 32, {{28, kNeg}}, VQX_RESULT_OK, "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"playing done v2 index 3", 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 48, {{24, 2}, {32, 1}, {40, 7}, {44, 3}},
       VQX_RESULT_OK, "1/1 1/1 1/1 0/0 1/1 d1 e1", "PlayDone3/7;"},
      {"playing done index 4", 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 48, {{24, 2}, {32, 1}, {40, 7}, {44, 4}},
       VQX_RESULT_OK, "1/1 1/1 1/1 1/1 1/1 d1 e1", "PlayDone4/7;"},
      {"playing and recording done v1", 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 44, {{24, 1}, {32, 1}, {36, 1}, {40, 9}},
       VQX_RESULT_OK, "0/0 1/1 1/1 1/1 0/0 d1 e1", "PlayDone0/9;RecDone9;"},
      {"playing done v2 short", 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 44, {{24, 2}, {32, 1}}, VQX_RESULT_INVALID_PARAM,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"playing done v1 short", 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 43, {{24, 1}, {32, 1}}, VQX_RESULT_INVALID_PARAM,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"started v1", 4, VQCMC_MSG_NOTIF_PLAYING_STARTED, 40, {{24, 1}, {32, 0x03010002}}, VQX_RESULT_OK,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", "PlayStarted0/2:;RecStarted:;"},
      {"started v2 short", 4, VQCMC_MSG_NOTIF_PLAYING_STARTED, 47, {{24, 2}, {32, 0x03000001}},
       VQX_RESULT_INVALID_PARAM, "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
      {"digit done", 4, VQCMC_MSG_NOTIF_DIGIT_PLAYING_DONE, 40, {}, VQX_RESULT_OK, "1/1 1/1 1/1 1/1 1/1 d0 e1",
       "DigitDone;"},
      {"event done", 4, VQCMC_MSG_NOTIF_EVENT_PLAYING_DONE, 40, {}, VQX_RESULT_OK, "1/1 1/1 1/1 1/1 1/1 d1 e0",
       "EventDone;"},
      {"digits to the end of the payload", 4, VQCMC_MSG_NOTIF_DIGIT_COLLECTED, 44, {{36, 5}, {40, 0x34333231}},
       VQX_RESULT_OK, "1/1 1/1 1/1 1/1 1/1 d1 e1", "Digits5:1234;"},
      {"events to the end of the payload", 4, VQCMC_MSG_NOTIF_EVENT_COLLECTED, 40, {{32, 0x44434241}, {36, 0x48474645}},
       VQX_RESULT_OK, "1/1 1/1 1/1 1/1 1/1 d1 e1", "Events:ABCDEFGH;"},
      {"events short", 4, VQCMC_MSG_NOTIF_EVENT_COLLECTED, 39, {}, VQX_RESULT_INVALID_PARAM,
       "1/1 1/1 1/1 1/1 1/1 d1 e1", ""},
  };
  for (const Row& r : aRows) {
    TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
    Leg.SetAllCounters(1);
    EXPECT_EQ(Deliver(Leg, Received(r.un32Kind, r.un32Id, r.un32Size, r.aWords)), r.Result) << r.pszName;
    EXPECT_EQ(Leg.Counters(), r.pszCounters) << r.pszName;
    EXPECT_EQ(Leg.mstrCalls, r.pszCalls) << r.pszName;
  }
  TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  EXPECT_EQ(Deliver(Leg, Received(4, VQCMC_MSG_NOTIF_DIGIT_PLAYING_DONE, 40, {})), VQX_RESULT_OK);
  EXPECT_EQ(Leg.Counters(), "0/0 0/0 0/0 0/0 0/0 d0 e0") << "never below 0";
  unsigned int fPaused = 7;
  EXPECT_EQ(Leg.IsPlayingStream(5, &fPaused), 0u);
  EXPECT_EQ(fPaused, 1u);
}

/* A playing-started path is the first element of its set, read within the element. */
TEST_F(CmcLegTest, PlayingStartedPath) {
  for (const char* pszPath : {"media/a.wav", "abcd"}) {
    VQX_MSG_HANDLE h = HostMsg(mhLib, VQCMC_MSG_NOTIF_PLAYING_STARTED, std::string(256, '\0'));
    h->MsgType = 4;
    ASSERT_EQ(VQXMsgElementInit(h, 48), VQX_RESULT_OK);
    u8* pby = reinterpret_cast<u8*>(h) + VQX_MSG_OFFSET_PAYLOAD;
    const u32 aWords[][2] = {{24, 2}, {32, 0x02000001}};
    for (auto& w : aWords) memcpy(pby + w[0], &w[1], 4);
    void* pv = nullptr;
    const u16 un16Size = strcmp(pszPath, "abcd") == 0 ? 4 : strlen(pszPath) + 1;  // "abcd" without its NUL
    ASSERT_EQ(VQXMsgElementAlloc(h, pby + 36, un16Size, &pv), VQX_RESULT_OK);
    memcpy(pv, pszPath, un16Size);
    TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
    EXPECT_EQ(Deliver(Leg, h), VQX_RESULT_OK);
    EXPECT_EQ(Leg.mstrCalls, std::string("PlayStarted2/1:") + pszPath + ";");
  }
}

/* Media commands: state refusals without an error, the play index checked
 * before building, and a send the core library refuses counts nothing. */
TEST_F(CmcLegTest, MediaCommands) {
  TestListener L("L", 1);
  TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  CVQCMC_PLAY_ATTRIBUTE Play;
  ASSERT_EQ(Play.SetFixedByte(15, 4), VQX_RESULT_OK);
  EXPECT_EQ(Leg.PlayStream(Play, &L), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(L.mstrSeen, "L:CVQCMCLeg::PlayStream Failed(0);");
  EXPECT_EQ(Leg.maTrace.back().rfind("CVQCMCLeg::PlayStream: un8PlayIndex out of range (0x00000000) 0x8200000A", 0),
            0u);
  ASSERT_EQ(Play.SetFixedByte(15, 3), VQX_RESULT_OK);
  CVQCMC_RECORD_ATTRIBUTE Record;
  CVQCMC_EVENT_ATTRIBUTE Event;
  const std::pair<const char*, std::function<VQX_RESULT()>> aCommands[] = {
      {"PlayStream", [&] { return Leg.PlayStream(Play, &L); }},
      {"RecordStream", [&] { return Leg.RecordStream(Record, &L); }},
      {"PauseStream", [&] { return Leg.PauseStream(1, 1, 0, &L); }},
      {"ResumeStream", [&] { return Leg.ResumeStream(1, 1, 0, &L); }},
      {"StopStream", [&] { return Leg.StopStream(1, 1, 0, &L); }},
      {"PlayDigit", [&] { return Leg.PlayDigit(nullptr, &L); }},
      {"PlayDigit", [&] { return Leg.PlayDigit(CVQCAFString("12"), &L); }},
      {"StartDigitCollection", [&] { return Leg.StartDigitCollection(CVQCAFString(""), &L, 1, 2); }},
      {"StartDigitCollection", [&] { return Leg.StartDigitCollection("12#", &L, 1, 2); }},
      {"StopDigitCollection", [&] { return Leg.StopDigitCollection(&L); }},
      {"PlayEvent", [&] { return Leg.PlayEvent(Event, &L); }},
      {"CancelEvent", [&] { return Leg.CancelEvent(&L); }},
      {"StartEventCollection", [&] { return Leg.StartEventCollection(Event, &L, 1); }},
      {"StopEventCollection", [&] { return Leg.StopEventCollection(&L); }},
  };
  for (const auto& [pszName, fnCommand] : aCommands) {
    L.mstrSeen.clear();
    EXPECT_TRUE(VQX_RESULT_FAILED(fnCommand())) << pszName << ": no server";
    EXPECT_EQ(L.mstrSeen, std::string("L:CVQCMCLeg::") + pszName + " Failed(0);") << pszName;
    EXPECT_NE(Leg.maTrace.back().find("ProcessMsg Failed"), std::string::npos) << pszName;
  }
  EXPECT_EQ(Leg.Counters(), "0/0 0/0 0/0 0/0 0/0 d0 e0");
  L.mstrSeen.clear();
  EXPECT_EQ(Leg.StartDigitCollection(nullptr, &L, 1, 2), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Leg.maTrace.back().rfind("CVQCMCLeg::StartDigitCollection: VQXMsgElementStringAdd Failed.", 0), 0u);
  L.mstrSeen.clear();
  Leg.mState = VQCMC_CALL_LEG_STATE_TERMINATED;
  for (const auto& [pszName, fnCommand] : aCommands) {
    EXPECT_EQ(fnCommand(), VQX_RESULT_INVALID_STATE) << pszName;
    EXPECT_EQ(Leg.maTrace.back(),
              std::string("CVQCMCLeg::") + pszName + ": This function cannot be used on a call in the terminating state.\\n");
  }
  EXPECT_EQ(L.mstrSeen, "") << "refusals by state make no error";
}

/* The data to transmit goes out once, as generic headers in the order UUI, SS7 raw data, extra numbers of
 * types 0, 1, 2 (or 5, one slot: the last set), 12, 10; types 13 and above are accepted and never sent,
 * 3 refused. The next command carries none of it, sent or not. */
TEST_F(CmcLegTest, DataToTransmitOnceInOrder) {
  TestLeg Leg(VQCMC_CALL_LEG_STATE_INCOMING, new CVQCMC_CALL_LEG_ATTRIBUTE());
  auto Number = [](u32 un32Type, const char* pszDigits) {
    CVQCAFPtr<CVQCMCExtraNumber> p(new CVQCMCExtraNumber());
    p->GetNumberType() = static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(un32Type);
    p->GetNumber() = pszDigits;
    return p;
  };
  auto SetAll = [&] {
    CVQCMCUserToUserInfo Uui;
    Uui.SetUuiData(CVQCAFString("U"));
    CVQCAFPtr<CVQCMCSs7RawData> pSs7(new CVQCMCSs7RawData());
    EXPECT_EQ(pSs7->SetSs7RawDataHex(static_cast<_VQCMC_SS7_ISUP_PROTOCOL_VARIANT>(2), CVQCAFString("5354")),
              VQX_RESULT_OK);
    EXPECT_EQ(Leg.SetUuiToTransmit(Uui), VQX_RESULT_OK);
    EXPECT_EQ(Leg.SetSs7RawDataToTransmit(pSs7), VQX_RESULT_OK);
    for (auto [un32Type, pszDigits] : std::initializer_list<std::pair<u32, const char*>>{
             {10, "n10"}, {12, "n12"}, {5, "n5"}, {2, "n2"}, {1, "n1"}, {0, "n0"}, {13, "n13"}}) {
      EXPECT_EQ(Leg.SetExtraNbToTransmit(Number(un32Type, pszDigits)), VQX_RESULT_OK) << un32Type;
    }
    EXPECT_EQ(Leg.SetExtraNbToTransmit(Number(3, "n3")), VQX_RESULT_NOT_SUPPORTED);
  };
  // The generic headers a command's protocol attribute receives, as text.
  auto Inserted = [&] {
    CVQCMC_PROTOCOL_ATTRIBUTE Protocol;
    const VQX_MSG_HANDLE h = Protocol.GetMsg();
    EXPECT_EQ(Leg.InsertGenericHeader(h, Protocol.GetPayload()), VQX_RESULT_OK);
    std::string str;
    u16 un16Size = 0;
    for (void* pv = nullptr; (pv = VQXMsgElementGetNext(&Protocol.GetPayload()->setGenericHeaders, pv, &un16Size));) {
      CVQCAFString strText;
      _VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant{};
      switch (*static_cast<u32*>(pv)) {
        case 0:
          CVQCMCUserToUserInfo(h, *static_cast<_VQCMC_PROTOCOL_UUI_DATA*>(pv)).GetUuiData(strText);
          str += std::string("uui:") + strText.c_str() + ";";
          break;
        case 3:
          CVQCMCSs7RawData(h, *static_cast<_VQCMC_PROTOCOL_SS7_RAW_DATA*>(pv)).GetSs7RawDataHex(Variant, strText);
          str += "ss7:" + std::to_string(Variant) + ":" + strText.c_str() + ";";
          break;
        default:
          str += std::string(CVQCMCExtraNumber(h, *static_cast<_VQCMC_PROTOCOL_EXTRA_NUMBER*>(pv)).GetNumber().c_str()) +
                 ";";
      }
    }
    return str;
  };
  SetAll();
  EXPECT_EQ(Inserted(), "uui:U;ss7:2:5354;n0;n1;n2;n12;n10;");
  EXPECT_EQ(Inserted(), "") << "sent once";
  SetAll();
  EXPECT_TRUE(VQX_RESULT_FAILED(Leg.AcceptCall(nullptr, nullptr))) << "no server: built, not sent";
  EXPECT_EQ(Inserted(), "") << "the command took them";
  EXPECT_TRUE(Leg.GetUuiToTransmit().IsNull());
}

}  // namespace
