/*
 * The mixer object: dispatch of received messages (one table of rows: short,
 * foreign and unknown ones included), error routing through the request
 * listeners and the handled word, the mixer-error text read within its
 * field, posted events, the free protocol, and an adoption the core library
 * refuses. The core library is the real one over a bridge with no
 * transport: it has no server, so mixers are not valid (id 0).
 */
#include <cstdarg>
#include <functional>

#include "cmc_test_support.h"
#include "vqcmc_mixer.h"

namespace {

struct MutexHolder {
  CVQCAFMutex mMutex;
};

/* A mixer that writes its callbacks and its trace lines down. */
class TestMixer : private MutexHolder, public CVQCMCMixer {
 public:
  explicit TestMixer(u32 un32Id = 0, IVQCMCFreeListener<CVQCMCMixer>* pFree = nullptr)
      : CVQCMCMixer(un32Id, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), pFree, 0, &mMutex) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    maTrace.emplace_back(sz);
  }
  void On(const std::string& s) { mstrCalls += s + ";"; }
  void OnMixerCreated() override { On("Created"); }
  void OnMixerEvent(IVQCMCEvent* p) override { On("Event" + std::to_string(p->GetType())); }
  void OnMixerError(CVQCMCMixerError& e) override { On(std::string("Error:") + e.what()), mLastError = e; }
  void OnMixerTerminated() override { On("Terminated"); }
  void OnMixerSyncDone() override { On("SyncDone"); }
  void OnMixerSyncLost() override { On("SyncLost"); }
  void OnMixerAttributeChanged() override { On("AttrChanged"); }
  void OnMixerCreateResponse(_VQCMC_MSG_CMD_MIXER_CREATE* p, unsigned int* pf) override {
    CVQCMCMixer::OnMixerCreateResponse(p, pf);
    On("CreateResponse");
  }
  void OnMixerStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
    On("PlayDone" + std::to_string(i) + "/" + std::to_string(r));
  }
  void OnMixerStreamRecordingDone(_VQCMC_IVR_REASON_CODE r) override { On("RecordDone" + std::to_string(r)); }
  using CVQCMCMixer::maun32PlaysInProgress;
  using CVQCMCMixer::maun8PlayPaused;
  using CVQCMCMixer::mun32RecordsInProgress;
  std::string mstrCalls;
  std::vector<std::string> maTrace;
  CVQCMCMixerError mLastError;
};

class CmcMixerTest : public CmcLibTest {
 protected:
  VQX_RESULT Deliver(CVQCMCMixer& Mixer, u32 un32Kind, u32 un32Id, u32 un32Size,
                     std::initializer_list<std::pair<u32, u32>> aWords, char cFill = '\0') {
    return CmcLibTest::Deliver(Mixer, Received(un32Kind, un32Id, un32Size, aWords, cFill));
  }
};

/* Every message is taken and released once (ASan sees a double release or a leak). */
TEST_F(CmcMixerTest, DispatchRows) {
  struct Row {
    const char* pszName;
    u32 un32Kind, un32Id, un32Size;
    std::initializer_list<std::pair<u32, u32>> aWords;
    VQX_RESULT Result;
    const char* pszCalls;
  } aRows[] = {
      {"command", 1, VQCMC_MSG_CMD_MIXER_CREATE, 152, {}, VQX_RESULT_INVALID_MESSAGE, ""},
      {"kind 3 dropped", 3, VQCMC_MSG_NOTIF_MIXER_CREATED, 40, {}, VQX_RESULT_OK, ""},
      {"unknown notification", 4, VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, 192, {}, VQX_RESULT_INVALID_MESSAGE, ""},
      {"created short", 4, VQCMC_MSG_NOTIF_MIXER_CREATED, 31, {}, VQX_RESULT_INVALID_PARAM, ""},
      {"created other mixer", 4, VQCMC_MSG_NOTIF_MIXER_CREATED, 40, {{28, 7}}, VQX_RESULT_INVALID_PARAM, ""},
      {"created", 4, VQCMC_MSG_NOTIF_MIXER_CREATED, 40, {}, VQX_RESULT_OK, "Created;"},
      {"attribute changed", 4, VQCMC_MSG_NOTIF_MIXER_ATTRIBUTE_CHANGED, 40, {}, VQX_RESULT_OK, "AttrChanged;"},
      {"terminated", 4, VQCMC_MSG_NOTIF_MIXER_TERMINATED, 40, {}, VQX_RESULT_OK, "Terminated;"},
      {"library terminated", 4, VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED, 40, {}, VQX_RESULT_OK, "Terminated;"},
      {"sync lost", 4, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, 40, {}, VQX_RESULT_OK, "SyncLost;"},
      {"sync done", 4, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_DONE, 40, {}, VQX_RESULT_OK, "SyncDone;"},
      {"error short", 4, VQCMC_MSG_NOTIF_MIXER_ERROR, 1363, {}, VQX_RESULT_INVALID_PARAM, ""},
      {"error other mixer", 4, VQCMC_MSG_NOTIF_MIXER_ERROR, 1364, {{28, 9}}, VQX_RESULT_INVALID_PARAM, ""},
      {"create response short", 2, VQCMC_MSG_CMD_MIXER_CREATE, 151, {}, VQX_RESULT_INVALID_PARAM, ""},
      {"create response failed", 2, VQCMC_MSG_CMD_MIXER_CREATE, 152, {{28, 0x80000001}}, VQX_RESULT_OK,
       "CreateResponse;Terminated;"},
      {"terminate response", 2, VQCMC_MSG_CMD_MIXER_TERMINATE, 64, {{28, 0x80000001}}, VQX_RESULT_OK, ""},
  };
  for (const Row& r : aRows) {
    TestMixer Mixer;
    EXPECT_EQ(Deliver(Mixer, r.un32Kind, r.un32Id, r.un32Size, r.aWords), r.Result) << r.pszName;
    EXPECT_EQ(Mixer.mstrCalls, r.pszCalls) << r.pszName;
    const bool fLogged = !Mixer.maTrace.empty() && Mixer.maTrace.back().find("CVQCMCMixer::HandleMessage: Could not "
                                                                             "handle message") == 0;
    EXPECT_EQ(fLogged, VQX_RESULT_FAILED(r.Result)) << r.pszName;
    EXPECT_EQ(Mixer.IsSynchronized(), strcmp(r.pszName, "sync lost") == 0 ? 0u : 1u) << r.pszName;
  }
}

/* The text is read within its 256 bytes; code from word 9, the 1068-byte detail from byte 296. */
TEST_F(CmcMixerTest, MixerErrorBounded) {
  TestMixer Mixer;
  EXPECT_EQ(Deliver(Mixer, 4, VQCMC_MSG_NOTIF_MIXER_ERROR, 1364, {{36, 0x8200000A}, {296, 8}}, 'x'),
            VQX_RESULT_INVALID_PARAM) << "word 7 made of fill bytes is another mixer";
  EXPECT_EQ(Deliver(Mixer, 4, VQCMC_MSG_NOTIF_MIXER_ERROR, 1364, {{0, 0}, {28, 0}, {36, 0x8200000A}, {296, 8}}, 'x'),
            VQX_RESULT_OK);
  EXPECT_EQ(std::string(Mixer.mLastError.what()), "Received Event from CMC Server: " + std::string(256, 'x'));
  EXPECT_EQ(Mixer.mLastError.mun32Code, 0x8200000Au);
  EXPECT_EQ(Mixer.mLastError.mun32MsgId, VQCMC_MSG_NOTIF_MIXER_ERROR);
  EXPECT_NE(Mixer.mLastError.IsRecordErrors(), 0u);
  EXPECT_EQ(Mixer.mLastError.mabyDetail[VQCMC_MIXER_ERROR_DETAIL_SIZE - 1], 'x');
}

/* Listener of the request, else the default; handled words; at most 20 pending. */
TEST_F(CmcMixerTest, ErrorRouting) {
  TestMixer Mixer;
  TestListener Default("D"), Other("O"), Handling("H", 1);
  std::vector<TestListener> aMany(20, TestListener("M"));
  _VQX_MSG_HEADER Msg{};
  Msg.un32MsgId = VQCMC_MSG_CMD_MIXER_TERMINATE;
  auto Request = [&](u32 un32Serial, IVQCMCErrorListener* p) {
    Msg.un32SerialNumber = un32Serial;
    return Mixer.HandleRequest(&Msg, p);
  };
  auto Response = [&](u32 un32Serial, u32 un32Result) {
    Msg.un32SerialNumber = un32Serial;
    return Mixer.HandleResponse(&Msg, 0, un32Result, "MixerTerminate() Request failed on CMC server");
  };
  EXPECT_EQ(Response(1, 0x80000001), VQX_RESULT_OK);
  EXPECT_EQ(Mixer.mstrCalls, "") << "no listener at all: nothing is called";
  for (auto [un32Serial, pListener] : {std::pair{2u, &Default}, {3u, &Other}, {4u, &Handling}}) {
    EXPECT_EQ(Request(un32Serial, pListener), VQX_RESULT_OK);
  }
  EXPECT_EQ(Mixer.GetPendingListenerCount(), 2u) << "the default is not held per request";
  for (u32 un32Serial : {3u, 2u, 4u, 3u}) EXPECT_EQ(Response(un32Serial, 0x80000001), VQX_RESULT_OK);
  EXPECT_EQ(Other.mstrSeen, "O:MixerTerminate() Request failed on CMC server;");
  EXPECT_EQ(Default.mstrSeen, "D:MixerTerminate() Request failed on CMC server;")
      << "an entry is removed by its response: a second answer to it tells no one";
  EXPECT_EQ(Handling.mstrSeen, "H:MixerTerminate() Request failed on CMC server;");
  EXPECT_EQ(Mixer.mstrCalls.size(), 2 * std::string("Error:MixerTerminate() Request failed on CMC server;").size())
      << "the handled one stops at its listener: " << Mixer.mstrCalls;
  for (u32 i = 0; i < 20; i++) EXPECT_EQ(Request(100 + i, &aMany[i]), VQX_RESULT_OK) << i;
  EXPECT_EQ(Request(200, &Other), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(Mixer.maTrace.back().find("CVQCMCMixer::HandleRequest: VQXHashInsert Failed."), 0u);
  EXPECT_EQ(Request(201, &Default), VQX_RESULT_OK) << "the default listener is never limited";
  // The synchronisation lost, the mixer terminated, its create refused: what waits then fails, oldest
  // first, to its own listener or the default one, before the callback that says so; the slots are free.
  const struct {
    u32 un32Kind, un32Id, un32Size, un32Result;
    VQX_RESULT Code;
    const char* pszLost;
    const char* pszCallback;
  } aLosses[] = {
      {4, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, 40, 0, 0x8201020Au, "synchronisation with the CMC server lost",
       "SyncLost;"},
      {4, VQCMC_MSG_NOTIF_MIXER_TERMINATED, 40, 0, VQX_RESULT_INVALID_STATE, "terminated before its response",
       "Terminated;"},
      {2, VQCMC_MSG_CMD_MIXER_CREATE, 152, 0x80000001, VQX_RESULT_INVALID_STATE, "terminated before its response",
       "Terminated;"},
  };
  for (const auto& Loss : aLosses) {
    const std::string strLost = std::string("Request lost: ") + Loss.pszLost + ";";
    Mixer.mstrCalls.clear(), Default.mstrSeen.clear(), aMany[19].mstrSeen.clear();
    EXPECT_EQ(Deliver(Mixer, Loss.un32Kind, Loss.un32Id, Loss.un32Size, {{28, Loss.un32Result}}), VQX_RESULT_OK)
        << Loss.pszLost;
    EXPECT_EQ(Mixer.GetPendingListenerCount(), 0u) << Loss.pszLost;
    EXPECT_EQ(aMany[19].mstrSeen, "M:" + strLost) << Loss.pszLost;
    EXPECT_TRUE(Default.mstrSeen.ends_with("D:" + strLost)) << Default.mstrSeen;
    EXPECT_EQ(Mixer.mLastError.mun32Code, Loss.Code) << Loss.pszLost;
    EXPECT_EQ(Mixer.mLastError.mun32MsgId, VQCMC_MSG_CMD_MIXER_TERMINATE) << Loss.pszLost;
    EXPECT_TRUE(Mixer.mstrCalls.ends_with("Error:" + strLost + Loss.pszCallback)) << Mixer.mstrCalls;
    for (u32 i = 0; i < 20; i++) EXPECT_EQ(Request(100 + i, &aMany[i]), VQX_RESULT_OK) << i;
    EXPECT_EQ(Request(201, &Default), VQX_RESULT_OK);
  }
}

/* Events (cancelled, error, the application's own), the free protocol, mapping id, a refused adoption. */
TEST_F(CmcMixerTest, EventsFreeAndAdoption) {
  struct Event : IVQCMCEvent {
    unsigned int GetType() override { return 2; }
    unsigned int GetCause() override { return 0; }
  } Own;
  bool fFreed = false;
  struct Freer : IVQCMCFreeListener<CVQCMCMixer> {
    explicit Freer(bool* p) : pf(p) {}
    bool* pf;
    VQX_RESULT Free(CVQCMCMixer* p) override { return *pf = true, delete p, VQX_RESULT_OK; }
  } Free(&fFreed);
  auto* pMixer = new TestMixer(0, nullptr);
  u8 fCancel = 1;
  CVQCMCMixerError Error(0x8200000F, "posted", "f.cpp", 1);
  EXPECT_EQ(pMixer->HandleMixerEvent(&Own, &fCancel), VQX_RESULT_OK);
  EXPECT_EQ(pMixer->HandleMixerEvent(&Own, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(pMixer->HandleMixerEvent(new CVQCMCMixerErrorEvent(&Error), nullptr), VQX_RESULT_OK);
  EXPECT_EQ(pMixer->mstrCalls, "Event2;Error:posted;");
  EXPECT_EQ(Deliver(*pMixer, 2, VQCMC_MSG_CMD_MIXER_TERMINATE, 64, {{8, 0x11}}), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(*pMixer, 2, VQCMC_MSG_CMD_MIXER_TERMINATE, 64, {{8, 0x12}}), VQX_RESULT_OK);
  EXPECT_EQ(pMixer->GetMixerAttributes()->GetMappingId(), 0x12u);
  EXPECT_EQ(pMixer->maTrace.back(),
            "CVQCMCMixer::HandleMessage: Error, mappingId appears to have changed from 0x00000011 to 0x00000012!\n");
  EXPECT_EQ(pMixer->FreeMixer(), VQX_RESULT_OK);
  EXPECT_EQ(pMixer->HandleMixerEvent(&Own, &fCancel), VQX_RESULT_OK);
  EXPECT_FALSE(fFreed) << "without a free listener the mixer stays";
  pMixer->SetFreeListener(&Free);
  EXPECT_EQ(pMixer->HandleMixerEvent(&Own, &fCancel), VQX_RESULT_OK);
  EXPECT_TRUE(fFreed) << "a cancelled event still runs the free check";
  // An id the core library does not hold: not adopted (traced by the base), nothing left in the registry.
  TestMixer Adopted(5);
  EXPECT_EQ(Adopted.IsValidMixerCtx(), 0u);
  EXPECT_EQ(Adopted.IsTerminating(), 1u);
  EXPECT_EQ(CVQCMCLib::GetInstance()->MixerIdFind(5), nullptr);
}

/* State refusals are silent; a failed hand-over reaches the listener, keeps no entry and raises no
 * count; a terminate not sent may be retried; a set attribute is replaced even when not sent. */
TEST_F(CmcMixerTest, CommandsPreconditionsAndFailedSends) {
  TestListener Default("D"), Other("O");
  CVQCMC_PLAY_ATTRIBUTE Play;
  CVQCMC_RECORD_ATTRIBUTE Record;
  using Command = std::function<VQX_RESULT(IVQCMCErrorListener*)>;
  auto Commands = [&](TestMixer& M) {
    return std::vector<Command>{
        [&](IVQCMCErrorListener* p) { return M.MixerSetAttribute(new CVQCMC_MIXER_ATTRIBUTE(), p); },
        [&](IVQCMCErrorListener* p) { return M.MixerPlayStream(Play, p); },
        [&](IVQCMCErrorListener* p) { return M.MixerRecordStream(Record, p); },
        [&](IVQCMCErrorListener* p) { return M.MixerPauseStream(1, 1, 9, p); },
        [&](IVQCMCErrorListener* p) { return M.MixerResumeStream(1, 0, 0, p); },
        [&](IVQCMCErrorListener* p) { return M.MixerStopStream(0, 1, 0, p); },
    };
  };
  TestMixer Mixer;
  const std::vector<Command> aCommands = Commands(Mixer);
  const char* apszNames[] = {"MixerSetAttribute", "MixerPlayStream", "MixerRecordStream", "MixerPauseStream",
                             "MixerResumeStream", "MixerStopStream"};
  CVQCMC_MIXER_ATTRIBUTE* pOld = Mixer.GetMixerAttributes().Get();
  EXPECT_EQ(Mixer.MixerCreate(&Default), VQX_RESULT_API_ADA_NOT_READY) << "no server was ready to make it";
  for (size_t i = 0; i < std::size(aCommands); i++) {
    EXPECT_TRUE(VQX_RESULT_FAILED(aCommands[i](&Other))) << apszNames[i];
    EXPECT_NE(Other.mstrSeen.find(std::string("O:CVQCMCMixer::") + apszNames[i] + " Failed;"), std::string::npos)
        << apszNames[i] << ": " << Other.mstrSeen;
  }
  EXPECT_EQ(Default.mstrSeen, "D:CVQCMCMixer::MixerCreate Failed;");
  EXPECT_EQ(Mixer.IsCreated(), 0u);
  EXPECT_EQ(Mixer.GetPendingListenerCount(), 0u) << "the failed sends' listeners are not kept";
  EXPECT_NE(Mixer.GetMixerAttributes().Get(), pOld) << "replaced though not sent";
  CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> pNew(new CVQCMC_MIXER_ATTRIBUTE());
  EXPECT_TRUE(VQX_RESULT_FAILED(Mixer.MixerSetAttribute(pNew, &Other)));
  EXPECT_EQ(Mixer.GetMixerAttributes().Get(), pNew.Get()) << "replaced first, kept whatever follows";
  EXPECT_EQ(Mixer.MixerSetAttribute(CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(), &Other), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Mixer.GetMixerAttributes().Get(), pNew.Get()) << "no attribute: the held one stays";
  EXPECT_EQ(Mixer.IsPlayingStream(0, nullptr) + Mixer.IsRecordingStream(nullptr), 0u);
  ASSERT_EQ(Play.SetFixedByte(15, 4), VQX_RESULT_OK);
  EXPECT_EQ(Mixer.MixerPlayStream(Play, &Other), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Mixer.maTrace.back().find("CVQCMCMixer::MixerPlayStream: un8PlayIndex out of range"), 0u);
  for (int i = 0; i < 2; i++) {
    EXPECT_TRUE(VQX_RESULT_FAILED(Mixer.MixerTerminate(&Other))) << i;
    EXPECT_EQ(Mixer.maTrace.back().find("CVQCMCMixer::MixerTerminate: ProcessMsg Failed"), 0u) << "tried again";
  }
  Mixer.FreeMixer();
  const std::string strSeen = Other.mstrSeen;
  for (auto& Command : aCommands) EXPECT_EQ(Command(&Other), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Other.mstrSeen, strSeen) << "a free requested refuses silently";
  TestMixer Terminating;
  EXPECT_EQ(Deliver(Terminating, 2, VQCMC_MSG_CMD_MIXER_CREATE, 152, {{28, 0x80000001}}), VQX_RESULT_OK);
  for (auto& Command : Commands(Terminating)) EXPECT_EQ(Command(&Other), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Terminating.maTrace.back(),
            "CVQCMCMixer::MixerStopStream: This function cannot be used on a mixer in the terminating state.\n");
  EXPECT_EQ(Terminating.MixerTerminate(&Other), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Terminating.maTrace.back(), "CVQCMCMixer::MixerTerminate: Terminate was already called before.\n");
  EXPECT_EQ(Deliver(Terminating, 4, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, 40, {}), VQX_RESULT_OK);
  EXPECT_EQ(Terminating.MixerTerminate(&Other), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Terminating.maTrace.back(),
            "CVQCMCMixer::MixerTerminate: Terminate was called when out of sync, ignoring...\n");
  EXPECT_EQ(Other.mstrSeen, strSeen) << "a terminating refusal is silent";
  // A refusal of a mixer the core library does not know frees it at once (ASan sees a leak).
  CVQCMC_MIXER_ATTRIBUTE Attr;
  CVQCMCMixer::RefuseMixer(5, Attr);
  EXPECT_EQ(CVQCMCLib::GetInstance()->MixerIdFind(5), nullptr);
}

/* A failed play or record response and a playing done lower their counts; index 4 and above touch nothing. */
TEST_F(CmcMixerTest, StreamCounts) {
  TestMixer Mixer;
  for (u32 i = 0; i < VQCMC_MIXER_NB_PLAYS; i++) Mixer.maun32PlaysInProgress[i] = 1, Mixer.maun8PlayPaused[i] = 1;
  Mixer.mun32RecordsInProgress = 2;
  u32 fPaused = 0;
  EXPECT_EQ(Mixer.IsPlayingStream(2, &fPaused), 1u);
  EXPECT_EQ(fPaused, 1u);
  const u32 un32Index7 = 0x07000000;  // byte 47: the play attribute's index
  EXPECT_EQ(Deliver(Mixer, 2, VQCMC_MSG_CMD_PLAY, 56, {{28, 0x80000001}, {44, un32Index7}}), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(Mixer, 2, VQCMC_MSG_CMD_PLAY, 56, {{28, 0x80000001}, {44, 0x02000000}}), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(Mixer, 2, VQCMC_MSG_CMD_PLAY, 56, {{28, 0x80000001}, {44, 0x02000000}}), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(Mixer, 2, VQCMC_MSG_CMD_RECORD, 112, {{28, 0x80000001}}), VQX_RESULT_OK);
  EXPECT_EQ(Mixer.IsPlayingStream(2, nullptr), 0u) << "lowered once, never below 0";
  EXPECT_EQ(Mixer.mun32RecordsInProgress, 1u);
  EXPECT_EQ(Deliver(Mixer, 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 44, {{32, 1}}), VQX_RESULT_INVALID_PARAM) << "short";
  EXPECT_EQ(Deliver(Mixer, 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 48, {{28, 3}, {32, 1}}), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(Deliver(Mixer, 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 48, {{32, 1}, {40, 6}, {44, 9}}), VQX_RESULT_OK);
  EXPECT_EQ(Deliver(Mixer, 4, VQCMC_MSG_NOTIF_PLAYING_DONE, 48, {{32, 1}, {36, 1}, {40, 5}, {44, 1}}), VQX_RESULT_OK);
  EXPECT_EQ(Mixer.mstrCalls, "PlayDone9/6;PlayDone1/5;RecordDone5;");
  const u32 aPlays[] = {1, 0, 0, 1};
  for (u32 i = 0; i < VQCMC_MIXER_NB_PLAYS; i++) EXPECT_EQ(Mixer.maun32PlaysInProgress[i], aPlays[i]) << i;
  EXPECT_EQ(Mixer.maun8PlayPaused[1] + Mixer.mun32RecordsInProgress, 0u);
  EXPECT_EQ(Mixer.IsPlayingStream(4, &fPaused), 0u);
}

}  // namespace
