/*
 * The call/media control client singleton: the parameter file, the life
 * cycle in sequence (also through the framework shell), the registries,
 * events posted to a core-library leg, the default and log callbacks, and
 * the error objects' texts against tests/data/cmc_error_texts.txt.
 */
#include "comm_test_support.h"
#include "vqcaf.h"
#include "vqcmc_error.h"
#include "vqcmc_lib_internal.h"
#include "vqcmc_leg.h"
#include "vqcmc_libuser.h"
#include "vqcmc_mixer.h"
#include "vqcmclib.h"
#include "vqx_msg_element.h"

namespace {

using vqtest::ExpectSteps;

/* The bridge with no transport (CommTest) and an instance on it, removed at the end. */
class CmcLibTest : public vqtest::CommTest {
 protected:
  void TearDown() override {
    CVQCMCLib::Uninit();
    vqtest::CommTest::TearDown();
  }
  /* An instance with the core library open (nThreads job threads). */
  CVQCMCLib* Attached(u32 un32Threads = 2) {
    CVQCMCLibParams P;
    P.mun32NbThreads = un32Threads;
    EXPECT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
    EXPECT_EQ(CVQCMCLib::Attach(nullptr), VQX_RESULT_OK);
    return CVQCMCLib::GetInstance();
  }
  u64 HeldMsgs() {
    _VQX_LIB_STATS Stats{};
    Stats.un32StructVersion = 1;
    VQXLibGetStats(mhLib, &Stats);
    return Stats.CurrentAllocated;
  }
  /* Words at payload offsets, and elements as (size, the bytes put at 15 and 16; the second also at 70). */
  using WordList = std::initializer_list<std::pair<u32, u32>>;
  using ElementList = std::initializer_list<std::pair<u16, std::pair<u8, u8>>>;
  /* A server notification of that id: the fixed part of un32Fixed bytes with the words, then the elements
   * in the set at un32Set. */
  VQX_MSG_HANDLE Notification(u32 un32Msg, u32 un32Fixed, WordList aWords, u32 un32Set, ElementList aElements) {
    VQX_MSG_HANDLE h = vqtest::HostMsg(mhLib, un32Msg, std::string(4096, '\0'));
    h->MsgType = 4;
    EXPECT_EQ(VQXMsgElementInit(h, un32Fixed), VQX_RESULT_OK);
    u8* pby = reinterpret_cast<u8*>(h) + VQX_MSG_OFFSET_PAYLOAD;
    for (auto [off, v] : aWords) memcpy(pby + off, &v, 4);
    for (auto [un16Size, Bytes] : aElements) {
      void* pv = nullptr;
      EXPECT_EQ(VQXMsgElementAlloc(h, pby + un32Set, un16Size, &pv), VQX_RESULT_OK);
      u8* pbyElement = static_cast<u8*>(pv);
      if (un16Size > 16) pbyElement[15] = Bytes.first, pbyElement[16] = Bytes.second;
      if (un16Size > 70) pbyElement[70] = Bytes.second;
    }
    return h;
  }
};

/* ------------------------------------------------------------------ parameter file */

/* The text of a row of cmc_lib_cfg_rows.txt: C escapes and the two long-line tokens expanded. */
std::string RowText(const std::string& strRow) {
  std::string str;
  for (size_t i = 0; i < strRow.size(); i++) {
    if (strRow.compare(i, 6, "{LONG}") == 0) str += std::string(1022, 'x'), i += 5;
    else if (strRow.compare(i, 7, "{BLANK}") == 0) str += std::string(1100, ' '), i += 6;
    else if (strRow[i] == '\\' && i + 1 < strRow.size()) str += "\n\t\v\f\r"[std::string("ntvfr").find(strRow[++i])];
    else str += strRow[i];
  }
  return str;
}

TEST(CmcLibParams, LoadFromCfgFileRows) {
  vqtest::CTempDir Dir;
  std::ifstream Rows(std::string(getenv("VQX_TEST_DATA")) + "/cmc_lib_cfg_rows.txt");
  u32 un32Rows = 0;
  for (std::string strLine; std::getline(Rows, strLine);) {
    if (strLine[0] == '#') continue;
    std::vector<std::string> a;
    for (size_t n = 0, m; a.size() < 4; n = m + 1) a.push_back(strLine.substr(n, (m = strLine.find('|', n)) - n));
    const std::string strPath = Dir.Path(a[1] == "-" ? "missing.cfg" : "cmc.cfg");
    if (a[1] != "-") std::ofstream(strPath) << RowText(a[1]);
    CVQCMCLibParams P;
    P.mun32NbThreads = 5;
    char szError[256] = "stale";
    EXPECT_EQ(P.LoadFromCfgFile(strPath.c_str(), szError), std::stoul(a[2], nullptr, 16)) << a[0];
    EXPECT_EQ(P.mun32NbThreads, std::stoul(a[3])) << a[0];
    EXPECT_EQ(szError, strLine.substr(strLine.rfind('|') + 1)) << a[0];
    un32Rows++;
  }
  EXPECT_EQ(un32Rows, 19u);
}

/* ------------------------------------------------------------------ life cycle */

TEST_F(CmcLibTest, LifeCycleSequence) {
  CVQCMCLibParams P;
  SetGlobals(nullptr);
  ExpectSteps({{"Init before GlobalInit", CVQCMCLib::Init(P), VQX_RESULT_NOT_READY},
               {"Attach without instance", CVQCMCLib::Attach(nullptr), VQX_RESULT_INVALID_OPERATION},
               {"Uninit without instance", CVQCMCLib::Uninit(), VQX_RESULT_OK}});
  EXPECT_EQ(Logged("CVQCMCLib::Init: Please call VQCAF::GlobalInit() first (0x00000000) 0x82000016"), 1u);
  SetGlobals(vqtest::FakeGlobals());
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  u32 un32Count = 7;
  _VQCMC_LIB_CMCSERVER_INFO aServers[2];
  ExpectSteps({{"second Init", CVQCMCLib::Init(P), VQX_RESULT_INVALID_OPERATION},
               {"the live instance stays", CVQCMCLib::GetInstance() == pLib, true},
               {"SetParam before Attach", pLib->SetParam(P), VQX_RESULT_INVALID_OPERATION},
               {"UpdateTraceLevel before Attach", pLib->UpdateTraceLevel(), VQX_RESULT_INVALID_OPERATION},
               {"server list before Attach", pLib->GetCMCServerList(&un32Count, aServers), VQX_RESULT_NOT_READY},
               {"its count", un32Count, 0},
               {"SendEvent before Attach", pLib->SendEvent(5, nullptr, 0), VQX_RESULT_INVALID_OPERATION},
               {"CancelEvent before Attach", pLib->CancelEvent(5, nullptr), VQX_RESULT_INVALID_OPERATION},
               {"Attach", CVQCMCLib::Attach(nullptr), VQX_RESULT_OK},
               {"dummies made", CVQCMCLib::mpDummyAttr != nullptr && CVQCMCLib::mpDummyMediaProfile != nullptr, true}});
  EXPECT_EQ(Logged("CVQCMCLib::Init: Cannot init twice (0x00000000) 0x82000011 vqcmclib.cpp:"), 1u);
  // SetParam and UpdateTraceLevel log their refusal, CancelEvent too, SendEvent does not.
  EXPECT_EQ(Logged("Must attach first"), 3u);
  VQCMC_LIB_HANDLE hCmc = pLib->GetCmcLibHandle();
  ASSERT_NE(hCmc, nullptr);

  CVQCMCLibParams New;
  New.mun32MaxLegs = 30;
  New.mun32NbThreads = 3;
  New.maun8Flags[1] = 0;
  CVQCMCLibParams Bad;
  Bad.mun32NbThreads = 0;
  _VQCMC_LIB_PARAMS Core{};
  SetSubModTraceLevel(VQCAF_SUBMODULE_CMC, 2);
  un32Count = 2;
  ExpectSteps({{"second Attach", CVQCMCLib::Attach(nullptr), VQX_RESULT_INVALID_OPERATION},
               {"the first core library stays", pLib->GetCmcLibHandle() == hCmc, true},
               {"SetParam", pLib->SetParam(New), VQX_RESULT_OK},
               {"threads and flags taken", pLib->GetParams()->mun32NbThreads == 3 && pLib->GetParams()->maun8Flags[1] == 0, true},
               {"the open number of legs stays", pLib->GetParams()->mun32MaxLegs, VQCMC_LIB_DEFAULT_MAX_LEGS},
               {"SetParam refused by the core library", pLib->SetParam(Bad), VQX_RESULT_INVALID_PARAM},
               {"threads kept", pLib->GetParams()->mun32NbThreads, 3},
               {"UpdateTraceLevel", pLib->UpdateTraceLevel(), VQX_RESULT_OK},
               {"core parameters", VQCmcLibGetParam(hCmc, &Core), VQX_RESULT_OK},
               {"core trace level", Core.un32TraceLevel, 2},
               {"server list", pLib->GetCMCServerList(&un32Count, aServers), VQX_RESULT_OK},
               {"no server", un32Count, 0},
               {"Detach", CVQCMCLib::Detach(), VQX_RESULT_OK},
               {"Uninit", CVQCMCLib::Uninit(), VQX_RESULT_OK},
               {"gone", CVQCMCLib::GetInstance() == nullptr, true},
               {"dummies gone", CVQCMCLib::mpDummyAttr == nullptr && CVQCMCLib::mpDummyMediaProfile == nullptr, true},
               {"a new Init", CVQCMCLib::Init(P), VQX_RESULT_OK}});
  SetSubModTraceLevel(VQCAF_SUBMODULE_CMC, 0);
  EXPECT_EQ(Logged("CVQCMCLib::Attach: Already attached."), 1u);
  EXPECT_EQ(Logged("CVQCMCLib::Init: VQCmcLibModify Failed. (0x00000000) 0x8200000A"), 1u);
  u32 un32Quit = 1;
  CVQCMCLib::GetInstance()->Run(&un32Quit);  // returns at once: the word is set
}

TEST(CmcLibInit, NoBridgeInstallsNothing) {
  SetGlobals(vqtest::FakeGlobals());
  CVQCMCLibParams P;
  EXPECT_EQ(CVQCMCLib::Init(P), VQX_RESULT_INVALID_PARAM);
  EXPECT_EQ(CVQCMCLib::GetInstance(), nullptr);
  SetGlobals(nullptr);
}

TEST_F(CmcLibTest, ThroughTheShell) {
  SetGlobals(nullptr);
  ASSERT_EQ(GlobalInit(), VQX_RESULT_OK);
  CVQCMCLibParams P;
  CVQCAFGlobalsParams G;
  G.mpCmcParams = &P;
  EXPECT_EQ(GlobalSetParam(&G), VQX_RESULT_OK);
  EXPECT_NE(CVQCMCLib::GetInstance(), nullptr);
  EXPECT_EQ(GlobalSetParam(&G), VQX_RESULT_INVALID_OPERATION);  // SetParam: not attached
  EXPECT_EQ(GlobalPoll(), VQX_RESULT_OK);
  G.mpCmcParams = nullptr;
  EXPECT_EQ(GlobalSetParam(&G), VQX_RESULT_OK);
  EXPECT_EQ(CVQCMCLib::GetInstance(), nullptr);
  EXPECT_EQ(GlobalUninit(), VQX_RESULT_OK);
  SetGlobals(vqtest::FakeGlobals());
  EXPECT_EQ(Logged("CVQCMCLib initialized.") * 10 + Logged("CVQCMCLib un-initialized."), 11u);
}

/* ------------------------------------------------------------------ registries and events */

TEST_F(CmcLibTest, Registries) {
  CVQCMCLib* pLib = Attached();
  CVQCMCLeg* pA = reinterpret_cast<CVQCMCLeg*>(0x1000);
  CVQCMCLeg* pB = reinterpret_cast<CVQCMCLeg*>(0x2000);
  ExpectSteps({{"add", pLib->LegIdAdd(7, pA), VQX_RESULT_OK},
               {"add again", pLib->LegIdAdd(7, pB), VQX_RESULT_ACCESS_DENIED},
               {"the first stays", pLib->LegIdFind(7) == pA, true},
               {"all-ones object", pLib->LegIdAdd(8, reinterpret_cast<CVQCMCLeg*>(~uintptr_t(0))), VQX_RESULT_INVALID_PARAM},
               {"null object", pLib->LegIdAdd(8, nullptr), VQX_RESULT_INVALID_PARAM},
               {"unknown id", pLib->LegIdFind(9) == nullptr, true},
               {"remove unknown", pLib->LegIdRemove(9), VQX_RESULT_NOT_FOUND},
               {"remove", pLib->LegIdRemove(7), VQX_RESULT_OK}});
  u32 un32Added = 0;
  for (u32 i = 1; i <= VQCMC_LIB_DEFAULT_MAX_LEGS / 3; i++) {
    un32Added += pLib->MixerIdAdd(i, reinterpret_cast<CVQCMCMixer*>(uintptr_t(i) * 8)) == VQX_RESULT_OK;
  }
  EXPECT_EQ(un32Added, 27306u);
  EXPECT_EQ(pLib->MixerIdAdd(27307, reinterpret_cast<CVQCMCMixer*>(8)), VQX_RESULT_OUT_OF_RESOURCE);
  EXPECT_EQ(pLib->MixerIdFind(27306), reinterpret_cast<CVQCMCMixer*>(uintptr_t(27306) * 8));
}

class TypedEvent : public IVQCMCEvent {
 public:
  explicit TypedEvent(unsigned int un32Type) : mun32Type(un32Type) {}
  unsigned int GetType() override { return mun32Type; }
  unsigned int GetCause() override { return 0; }
  unsigned int mun32Type;
};

TEST_F(CmcLibTest, EventsReachTheLegOrAreCancelled) {
  CVQCMCLib* pLib = Attached();
  // A leg of the core library on a server record of the test's own, its event callback the test's.
  static _VQCMC_HOST_CTX s_Host;
  static std::mutex s_Mutex;
  static std::vector<std::pair<u64, u8>> s_aGot;  /* event key, cancelled byte */
  _VQCMC_HOST_CTX* pHost = &s_Host;
  _VQCMC_ENTITY_CTX* pLeg = nullptr;
  VQCMC_LIB_HANDLE hCmc = pLib->GetCmcLibHandle();
  VqxMutexGet(hCmc->hThreadSem);
  ASSERT_EQ(VqCmcLibEntityCreate(hCmc, &pHost, 5, 0, &pLeg), VQX_RESULT_OK);
  VqCmcEntitySetKind(hCmc, pLeg, VQCMC_ENTITY_TYPE_LEG);
  pLeg->Params.Callback.pFctEventCallback = [](VQCMC_LIB_HANDLE, void*, u64 un64Key, u8* pfCancelled) {
    std::lock_guard<std::mutex> Lock(s_Mutex);
    s_aGot.push_back({un64Key, *pfCancelled});
  };
  VqxMutexGive(hCmc->hThreadSem);
  TypedEvent Later(1), Plain(1), TypeTwo(2);
  ExpectSteps({{"post with a delay", pLib->SendLegEvent(5, &Later, 60000), VQX_RESULT_OK},
               {"cancel before delivery", pLib->CancelLegEvent(5, &Later), VQX_RESULT_OK},
               {"post", pLib->SendEvent(5, &Plain, 0), VQX_RESULT_OK},
               {"post a type-2 event", pLib->SendEvent(5, &TypeTwo, 0xFFFFFFFF), VQX_RESULT_OK},
               {"post to an unknown leg", pLib->SendEvent(6, &Plain, 0), VQX_RESULT_NOT_FOUND},
               {"cancel on an unknown leg", pLib->CancelEvent(6, &Plain), VQX_RESULT_NOT_FOUND}});
  ASSERT_TRUE(vqtest::WaitFor([] { std::lock_guard<std::mutex> Lock(s_Mutex); return s_aGot.size() >= 2; }));
  EXPECT_EQ(VQCmcLibLegDestroy(hCmc, 5), VQX_RESULT_OK);
  std::lock_guard<std::mutex> Lock(s_Mutex);  // the cancelled one never came; the type-2 one as any other
  EXPECT_EQ(s_aGot, (std::vector<std::pair<u64, u8>>{{VqCmcEventKey(&Plain), 0}, {VqCmcEventKey(&TypeTwo), 0}}));
}

/* ------------------------------------------------------------------ callbacks */

void LogThrough(void* pvContext, u32 un32Level, const char* pszFormat, ...) {
  va_list Args;
  va_start(Args, pszFormat);
  VQCmcLogTraceCb(pvContext, 0, un32Level, pszFormat, Args);
  va_end(Args);
}

TEST_F(CmcLibTest, DefaultAndLogCallbacks) {
  // Without an instance the message stays with the core library.
  VQX_MSG_HANDLE h = vqtest::HostMsg(mhLib, 0x0A020004, std::string(40, '\0'));
  VQCmcHandleDefaultCb(nullptr, nullptr, &h);
  ASSERT_NE(h, nullptr);
  VQXReleaseMsgEx(mhLib, &h);
  Attached(1);
  const u64 un64Held = HeldMsgs();
  // Ids no handler takes yet, and one addressed to a leg that reached the library.
  for (u32 un32Id : {0x0A010011u, 0x0A010016u, 0x0A020001u, 0x0A020002u, 0x0A020003u, 0x0A020005u, 0x0A020008u,
                     0x0A02000Cu, 0x0A020004u, 0x12345678u}) {
    h = vqtest::HostMsg(mhLib, un32Id, std::string(40, '\0'));
    VQCmcHandleDefaultCb(nullptr, nullptr, &h);
    EXPECT_EQ(h, nullptr) << std::hex << un32Id;
  }
  EXPECT_TRUE(vqtest::WaitFor([&] { return HeldMsgs() <= un64Held; })) << HeldMsgs() - un64Held << " held";
  EXPECT_EQ(Logged("CVQCMCLib::HandleMessage: Could not handle message (0x0A020004) 0x82000010"), 1u);
  EXPECT_EQ(Logged("CVQCMCLib::HandleMessage: Could not handle message (0x12345678) 0x82000010"), 1u);
  // The log callback: nothing without a context or below the sub-module's level.
  SetSubModTraceLevel(VQCAF_SUBMODULE_CMC, 3);
  LogThrough(nullptr, VQERR, "no context %d\n", 1);
  LogThrough(static_cast<CVQCAFLogTrace*>(CVQCMCLib::GetInstance()), 2, "below the level %d\n", 2);
  LogThrough(static_cast<CVQCAFLogTrace*>(CVQCMCLib::GetInstance()), 3, "at the level %d\n", 3);
  SetSubModTraceLevel(VQCAF_SUBMODULE_CMC, 0);
  EXPECT_EQ(Logged("no context") + Logged("below the level 2") * 10 + Logged("at the level 3") * 100, 100u);
}

/* ------------------------------------------------------------------ error texts */

TEST(CmcErrors, GoldenTexts) {
  std::ifstream File(std::string(getenv("VQX_TEST_DATA")) + "/cmc_error_texts.txt");
  File.ignore(1 << 10, '\n');  // the heading
  u32 un32Rows = 0;
  for (std::string strName, strWords, strExpected; std::getline(File, strName) && std::getline(File, strWords) &&
                                                   std::getline(File, strExpected);) {
    CVQCMCLegError E;
    CVQCMCMixerError M;  // rows named "mixer ...": its play and record texts, joined by "|"
    const bool fMixer = strName.rfind("mixer", 0) == 0;
    std::istringstream Words(strWords);
    for (u32 un32Offset, un32Value; Words >> un32Offset && Words.ignore(1) && Words >> std::hex >> un32Value >> std::dec;) {
      memcpy((fMixer ? M.mabyDetail : E.mabyDetail) + un32Offset, &un32Value, sizeof(un32Value));
    }
    const CVQCMCLegError CopyE(E);
    const CVQCMCMixerError CopyM(M);
    EXPECT_EQ(fMixer ? std::string(CopyM.GetPlayErrorsStr().c_str()) + "|" + CopyM.GetRecordErrorsStr().c_str()
                     : std::string(CopyE.GetDatapathErrorsStr().c_str()), strExpected) << strName;
    un32Rows++;
  }
  EXPECT_EQ(un32Rows, 10u);
}

TEST(CmcErrors, CodesCopiesAndEvents) {
  char szOk[127], szInvalid[127];
  VQXGetErrorString(VQX_RESULT_OK, sizeof(szOk), szOk);
  VQXGetErrorString(VQX_RESULT_INVALID_PARAM, sizeof(szInvalid), szInvalid);
  CVQCMCLegError Default;
  EXPECT_EQ(std::string(Default.which()) + "|" + Default.what() + "|" + Default.mpszFile, std::string(szOk) + "||not set");
  CVQCMCLegError E(VQX_RESULT_NOT_FOUND, "CVQCMCLeg::AcceptCall Failed", "leg.cpp", 12);
  const std::string strCode = E.which();
  E.mun32Code = VQX_RESULT_INVALID_PARAM;  // the text stays the one computed at construction
  E.mun32MsgId = 0x0A010018;
  E.mabyDetail[0] = 0x4;
  CVQCMCLegErrorEvent Event(&E);
  Event.mun32Cause = 9;
  CVQCMCLegErrorEvent Copy(Event);
  ExpectSteps({{"code text kept", strCode == E.which(), true},
               {"event type", Copy.GetType() == 3 && CVQCMCMixerErrorEvent(nullptr).GetType() == 3, true},
               {"event cause copied", Copy.GetCause(), 9},
               {"event without message id", Copy.mun32MsgId, 0},
               {"event without detail", Copy.IsDataPathErrors(), 0},
               {"event line, code, message", Copy.mun32Line == 12 && Copy.mun32Code == VQX_RESULT_INVALID_PARAM &&
                                                 std::string(Copy.what()) == "CVQCMCLeg::AcceptCall Failed", true},
               {"event code text recomputed", std::string(Copy.which()) == szInvalid, true}});
}

/* Access point statistics: the bytes each type keeps (a short element keeps
 * what it has), one list in set order whose objects outlive the callback,
 * no call for an empty set. Records are 0xA5 bytes with their type at 32. */
TEST_F(CmcLibTest, NapStatsExtents) {
  struct User : CVQCMCLibUser {
    void OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>> aStats) override {
      maKept = aStats;
      mun32Calls++;
    }
    std::vector<CVQCAFPtr<CVQCAFNapStats>> maKept;
    u32 mun32Calls = 0;
  } U;
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(&U), VQX_RESULT_OK);
  const struct {
    u32 un32Type, un32Size, un32Kept;
  } aRows[] = {{2, 216, 216}, {3, 216, 192}, {7, 216, 0}, {1, 240, 192}, {2, 100, 100}, {4, 30, 0}};
  VQX_MSG_HANDLE h = vqtest::HostMsg(mhLib, 0x0A020001, std::string(4096, '\0'));
  ASSERT_EQ(VQXMsgElementInit(h, 36), VQX_RESULT_OK);
  u32* pSet = reinterpret_cast<u32*>(reinterpret_cast<u8*>(h) + VQX_MSG_OFFSET_PAYLOAD + 32);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  EXPECT_EQ(pLib->HandleNapStats(pSet), VQX_RESULT_OK);
  EXPECT_EQ(U.mun32Calls, 0u) << "empty set";
  std::vector<std::string> aExpected;
  for (const auto& r : aRows) {
    std::string strRecord(r.un32Size, char(0xA5));
    if (r.un32Size >= 36) memcpy(&strRecord[32], &r.un32Type, 4);
    void* pv = nullptr;
    ASSERT_EQ(VQXMsgElementAlloc(h, pSet, r.un32Size, &pv), VQX_RESULT_OK);
    memcpy(pv, strRecord.data(), r.un32Size);
    aExpected.push_back(strRecord.substr(0, r.un32Kept) + std::string(216 - r.un32Kept, '\0'));
  }
  EXPECT_EQ(pLib->HandleNapStats(pSet), VQX_RESULT_OK);
  ASSERT_EQ(U.mun32Calls, 1u);
  ASSERT_EQ(U.maKept.size(), std::size(aRows));
  for (size_t i = 0; i < std::size(aRows); i++) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&U.maKept[i]->mNapStats), 216), aExpected[i]) << "row " << i;
  }
  VQXReleaseMsgEx(mhLib, &h);
  EXPECT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
}

/* Library notifications with a user that writes its callbacks down: ready
 * (statistics first), not ready, short ones refused, and a leg's
 * re-synchronisation: streams no longer reported end with reason 5, a
 * reported one keeps its paused flag, an index past the play streams or an
 * element too short for its bytes changes nothing, an unknown leg type asks
 * nothing. Sizes and words of the rows are the payloads' own. */
TEST_F(CmcLibTest, LibraryNotificationsAndLegSync) {
  struct Leg : CVQCMCLeg {
    Leg(std::string* pstrCalls)
        : CVQCMCLeg(0x77, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                    VQCMC_CALL_LEG_STATE_ANSWERED, 0, nullptr),
          mpstrCalls(pstrCalls) {}
    void OnStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
      *mpstrCalls += "PlayDone" + std::to_string(i) + "/" + std::to_string(r) + ";";
    }
    void OnStreamRecordingDone(_VQCMC_IVR_REASON_CODE r) override { *mpstrCalls += "RecDone" + std::to_string(r) + ";"; }
    std::string* mpstrCalls;
    using CVQCMCLeg::maun32StreamsInProgress;
    using CVQCMCLeg::maun8StreamPaused;
  };
  struct User : CVQCMCLibUser {
    void OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>> a) override { On("Nap" + std::to_string(a.size())); }
    void OnCmcLibReady() override { On("Ready"); }
    void OnCmcLibNotReady() override { On("NotReady"); }
    void OnCallLegSync(unsigned int un32Id, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON&) override { On("Sync" + std::to_string(un32Id)); }
    void OnCallLegFailure(unsigned int un32Id, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& a, _VQCMC_CALL_REASON& r,
                          CVQCMC_PROTOCOL_ATTRIBUTE&) override {
      On("Failure" + std::to_string(un32Id) + "/" + std::to_string(r.un32ReasonCode) + "/" +
         std::to_string(a.GetMappingId()) + "/" + std::to_string(a.GetAttrLegId()));
    }
    void On(const std::string& s) { mstrCalls += s + ";"; }
    std::string mstrCalls;
  } U;
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(&U), VQX_RESULT_OK);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  Leg L(&U.mstrCalls);
  const u32 un32Id = L.GetLegId();
  ASSERT_EQ(pLib->LegIdAdd(un32Id, &L), VQX_RESULT_OK) << "no server: the test registers the leg";
  auto Make = [this](u32 un32Msg, u32 un32Fixed, WordList aWords, u32 un32Set, ElementList aElements) {
    return Notification(un32Msg, un32Fixed, aWords, un32Set, aElements);
  };
  const std::string strOffered = "Sync" + std::to_string(un32Id + 2) + ";";
  /* A call-leg-terminated notice of a leg without object: mapping id at 8, reason at 40, the leg's
   * element (its id, its type 1) first in the set at 28; a whole leg slot is 704 bytes. */
  auto Terminated = [&](u16 un16Element) {
    VQX_MSG_HANDLE h = Make(0x0A010016, 56 + sizeof(_VQCMC_PROTOCOL_ATTRIBUTE), {{8, 0x4455}, {40, 17}}, 28,
                            {{un16Element, {0, 0}}});
    u8* pbyPayload = reinterpret_cast<u8*>(h) + VQX_MSG_OFFSET_PAYLOAD;
    u8* pbyLeg = static_cast<u8*>(VQXMsgElementGetNext(pbyPayload + 28, nullptr, nullptr));
    const u32 aun32Leg[] = {0x66, 1};
    memcpy(pbyLeg, aun32Leg, sizeof(aun32Leg));
    return h;
  };
  struct Row {
    const char* pszName;
    VQX_MSG_HANDLE h;
    VQX_RESULT Result;
    const char* pszCalls;
    const char* pszStreams;  /* the leg's "count/paused" per stream after it */
  } aRows[] = {
      {"ready: statistics first", Make(0x0A020001, 36, {}, 32, {{216, {0, 0}}}), VQX_RESULT_OK, "Nap1;Ready;", ""},
      {"ready short", vqtest::HostMsg(mhLib, 0x0A020001, std::string(35, '\0')), VQX_RESULT_INVALID_PARAM, "", ""},
      {"not ready", Make(0x0A020002, 32, {}, 0, {}), VQX_RESULT_OK, "NotReady;", ""},
      {"leg sync: streams 0 and record ended, 2 kept paused", 
       Make(0x0A020003, 744, {{32, un32Id}, {36, 1}}, 736, {{20, {2, 1}}, {20, {4, 0}}, {16, {1, 0}}}), VQX_RESULT_OK,
       "PlayDone0/5;PlayDone2/5;RecDone5;", "0/0 0/0 1/1 0/0 0/0 "},
      {"unknown leg of type 3", Make(0x0A020003, 744, {{32, un32Id + 1}, {36, 3}}, 736, {}), VQX_RESULT_OK, "", ""},
      {"unknown leg of type 1 offered", Make(0x0A020003, 744, {{32, un32Id + 2}, {36, 1}}, 736, {}), VQX_RESULT_OK,
       strOffered.c_str(), ""},
      {"terminated call leg without object", Terminated(704), VQX_RESULT_OK, "Failure102/17/17493/102;", ""},
      {"terminated, its leg element one byte short", Terminated(703), VQX_RESULT_OK, "", ""},
  };
  for (Row& r : aRows) {
    r.h->MsgType = 4;
    U.mstrCalls.clear();
    L.maun32StreamsInProgress[0] = 1, L.maun32StreamsInProgress[2] = 2, L.maun32StreamsInProgress[4] = 1;
    EXPECT_EQ(pLib->HandleMessage(&r.h), r.Result) << r.pszName;
    EXPECT_EQ(r.h, nullptr) << r.pszName;
    EXPECT_EQ(U.mstrCalls, r.pszCalls) << r.pszName;
    if (*r.pszStreams == 0) continue;
    std::string strStreams;
    for (u32 i = 0; i < VQCMC_LEG_NB_STREAMS; i++) {
      strStreams += std::to_string(L.maun32StreamsInProgress[i]) + "/" + std::to_string(L.maun8StreamPaused[i]) + " ";
    }
    EXPECT_EQ(strStreams, r.pszStreams) << r.pszName;
  }
  EXPECT_EQ(pLib->LegIdRemove(un32Id), VQX_RESULT_OK);
  EXPECT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
}

/* Mixer and mixer-link re-synchronisation: a known mixer's plays no longer reported end with
 * reason 5 (an index past the plays or a short element changes nothing); an unknown mixer is
 * offered and refused by the default (the core library does not know it: freed at once); a link
 * whose parties are known becomes a record (flags read from bytes 40/41 or 48/49) and is
 * offered, then refused by the default; an unknown party or a known record changes nothing. */
TEST_F(CmcLibTest, MixerAndMixerLinkSync) {
  struct Mixer : CVQCMCMixer {
    Mixer(u32 un32Id, std::string* pstrCalls)
        : CVQCMCMixer(un32Id, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, nullptr),
          mpstrCalls(pstrCalls) {
      mfValidMixerCtx = 1;  // as if adopted
    }
    void OnMixerStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
      *mpstrCalls += "PlayDone" + std::to_string(i) + "/" + std::to_string(r) + ";";
    }
    void OnMixerStreamRecordingDone(_VQCMC_IVR_REASON_CODE r) override { *mpstrCalls += "RecDone" + std::to_string(r) + ";"; }
    std::string* mpstrCalls;
    using CVQCMCMixer::maun32PlaysInProgress;
    using CVQCMCMixer::maun8PlayPaused;
    using CVQCMCMixer::mun32RecordsInProgress;
  };
  struct User : CVQCMCLibUser {
    void OnMixerSync(unsigned int un32Id, CVQCMC_MIXER_ATTRIBUTE& a) override {
      On("MixerSync" + std::to_string(un32Id) + "/" + std::to_string(a.IsReserveListenerSlot()) +
         std::to_string(a.IsReserveIvrSlot()) + std::to_string(a.GetNbReservedActiveSpeakerSlots()) + "/" +
         std::to_string(a.GetMappingId()));
      CVQCMCLibUser::OnMixerSync(un32Id, a);
    }
    void OnMixerLinkSync(unsigned int m, unsigned int p, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pL,
                         CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pM) override {
      On("Link" + std::to_string(m) + "-" + std::to_string(p) + "/" +
         (pL != nullptr ? "L" + std::to_string(pL->IsListener()) + std::to_string(pL->IsSpeaker()) : "") +
         (pM != nullptr ? "M" + std::to_string(pM->IsJoinedFrom1to2()) + std::to_string(pM->IsJoinedFrom2to1()) : ""));
      CVQCMCLibUser::OnMixerLinkSync(m, p, pL, pM);
    }
    void On(const std::string& s) { mstrCalls += s + ";"; }
    std::string mstrCalls;
  } U;
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(&U), VQX_RESULT_OK);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  Mixer M(0x55, &U.mstrCalls), M2(0x56, &U.mstrCalls);
  struct Leg : CVQCMCLeg {
    Leg(u32 un32Id, u32 fValid)
        : CVQCMCLeg(un32Id, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                    VQCMC_CALL_LEG_STATE_ANSWERED, 0, nullptr) {
      mfValidCallCtx = fValid;  // not valid: terminating
    }
  } L(0x77, 1), Ending(0x78, 0);
  ASSERT_EQ(pLib->MixerIdAdd(0x55, &M) + pLib->MixerIdAdd(0x56, &M2) + pLib->LegIdAdd(0x77, &L) +
                pLib->LegIdAdd(0x78, &Ending),
            4 * VQX_RESULT_OK)
      << "no server: the test registers the objects";
  /* The mixer sync's element set is at 120. */
  auto Make = [this](u32 un32Msg, u32 un32Fixed, WordList aWords, ElementList aElements) {
    return Notification(un32Msg, un32Fixed, aWords, 120, aElements);
  };
  struct Row {
    const char* pszName;
    VQX_MSG_HANDLE h;
    const char* pszCalls;
    const char* pszState;  /* mixer 0x55: "count/paused" per play, the record count; then its joins */
  } aRows[] = {
      {"known mixer: plays 0 and the record ended, 2 kept paused",
       Make(0x0A020008, 128, {{28, 0x55}}, {{20, {2, 1}}, {20, {4, 0}}, {16, {1, 0}}}),
       "PlayDone0/5;PlayDone2/5;RecDone5;", "0/0 0/0 1/1 0/0 0 L0 M0"},
      {"unknown mixer offered with its three settings, refused",
       Make(0x0A020008, 128, {{8, 0x99}, {28, 0x57}, {32, 0x0101}, {40, 6}}, {}), "MixerSync87/116/153;", ""},
      {"short mixer sync", vqtest::HostMsg(mhLib, 0x0A020008, std::string(127, '\0')), "", ""},
      {"leg link", Make(0x0A02000C, 56, {{32, 0x55}, {36, 0x77}, {40, 0x0100}, {48, 0x0101}}, {}), "Link85-119/L01;",
       "1/0 0/0 2/1 0/0 1 L1 M0"},
      {"leg link known", Make(0x0A02000C, 56, {{32, 0x55}, {36, 0x77}, {40, 0x0101}}, {}), "", ""},
      {"link of a terminating leg: unjoin pending, not offered", Make(0x0A02000C, 56, {{32, 0x55}, {36, 0x78}}, {}),
       "", "1/0 0/0 2/1 0/0 1 L2 M0"},
      {"mixer link", Make(0x0A02000C, 56, {{32, 0x55}, {36, 0x56}, {40, 0x0101}, {48, 0x0001}}, {}),
       "Link85-86/M10;", "1/0 0/0 2/1 0/0 1 L2 M1"},
      {"unknown mixer's link", Make(0x0A02000C, 56, {{32, 0x58}, {36, 0x77}}, {}), "", ""},
      {"link to an unknown peer", Make(0x0A02000C, 56, {{32, 0x55}, {36, 0x79}}, {}), "", "1/0 0/0 2/1 0/0 1 L2 M1"},
  };
  for (Row& r : aRows) {
    r.h->MsgType = 4;
    U.mstrCalls.clear();
    M.maun32PlaysInProgress[0] = 1, M.maun32PlaysInProgress[2] = 2, M.mun32RecordsInProgress = 1;
    const bool fShort = strstr(r.pszName, "short") != nullptr;
    EXPECT_EQ(pLib->HandleMessage(&r.h), fShort ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK) << r.pszName;
    EXPECT_EQ(r.h, nullptr) << r.pszName;
    EXPECT_EQ(U.mstrCalls, r.pszCalls) << r.pszName;
    if (*r.pszState == 0) continue;
    std::string strState;
    for (u32 i = 0; i < VQCMC_MIXER_NB_PLAYS; i++) {
      strState += std::to_string(M.maun32PlaysInProgress[i]) + "/" + std::to_string(M.maun8PlayPaused[i]) + " ";
    }
    strState += std::to_string(M.mun32RecordsInProgress) + " L" + std::to_string(M.GetJoinedLegs(nullptr)) + " M" +
                std::to_string(M.GetJoinedMixers(nullptr));
    EXPECT_EQ(strState, r.pszState) << r.pszName;
  }
  // The records made: listener and speaker as sent, directions seen from each mixer; the default
  // refusals could not send (no server): not unjoin pending.
  CVQCAFPtr<CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE> pLegJoin;
  unsigned int fJoin = 1, fUnjoin = 1;
  EXPECT_EQ(M.GetJoinedLegAttributes(0x77, &pLegJoin, &fJoin, &fUnjoin), &L);
  EXPECT_EQ((std::vector<unsigned int>{pLegJoin->IsListener(), pLegJoin->IsSpeaker(), fJoin, fUnjoin}),
            (std::vector<unsigned int>{0, 1, 0, 0}))
      << "listener, speaker, join pending, unjoin pending";
  EXPECT_EQ(M.GetJoinedLegAttributes(0x78, nullptr, &fJoin, &fUnjoin), &Ending);
  EXPECT_EQ(fJoin * 10 + fUnjoin, 1u);
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Seen;
  EXPECT_EQ(M2.GetJoinedMixerAttributes(0x55, &Seen, nullptr, nullptr), &M);
  EXPECT_EQ(Seen.IsJoinedFrom1to2() * 10 + Seen.IsJoinedFrom2to1(), 1u);
  EXPECT_EQ(pLib->MixerIdRemove(0x55) + pLib->MixerIdRemove(0x56) + pLib->LegIdRemove(0x77) + pLib->LegIdRemove(0x78),
            4 * VQX_RESULT_OK);
  EXPECT_EQ(CVQCMCLib::Detach(), VQX_RESULT_OK);
}

}  // namespace
