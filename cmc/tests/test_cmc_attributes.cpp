/*
 * The call/media control attributes: play, record and event holders and the
 * generic headers against golden payloads (testing/golden/cmc), growth,
 * copies and elements at exactly their room and a byte past it, refusals of
 * elements and of malformed received payloads, the value classes' defaults
 * and texts.
 */
#include <dlfcn.h>

#include <functional>
#include <map>
#include <sstream>

#include "comm_test_support.h"
#include "peers/log_lines.h"
#include "vqcmc_attributes.h"
#include "vqcmc_generic_headers.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_message.h"
#include "vqcmc_protocol_attribute.h"
#include "vqcmc_media_profile.h"
#include "vqcmc_leg_attributes.h"
#include "vqcmc_lib_util.h"
#include <osipparser2/osip_uri.h>
#include "vq500_sip_text.h"
#include "vqcmclib.h"
#include "vqx_msg_element.h"

/* Set by a test to make the next realloc of its own thread fail, as it does when memory runs out. */
static thread_local bool t_fFailNextRealloc = false;

extern "C" void* realloc(void* pv, size_t nSize) noexcept {
  using PFN_REALLOC = void* (*)(void*, size_t);
  static const PFN_REALLOC s_pfnNext = reinterpret_cast<PFN_REALLOC>(dlsym(RTLD_NEXT, "realloc"));
  if (t_fFailNextRealloc) {
    t_fFailNextRealloc = false;
    return nullptr;
  }
  return s_pfnNext(pv, nSize);
}

/*
 * Set by a test to refuse element allocations made outside the element library (the attribute classes, the
 * core library's copies, the SIP elements), through the link's --wrap: after un32Pass more calls, the next
 * un32Refuse get Result; with fAppend the element is appended first and handed out with it.
 */
struct ElementRefusal {
  u32 un32Pass = 0, un32Refuse = 0;
  VQX_RESULT Result = VQX_RESULT_OK;
  bool fAppend = false;
};
static thread_local ElementRefusal t_Refusal;

extern "C" VQX_RESULT __real_VQXMsgElementAlloc(void* pMsg, void* pSet, u16 un16Size, void** ppElement);
extern "C" VQX_RESULT __wrap_VQXMsgElementAlloc(void* pMsg, void* pSet, u16 un16Size, void** ppElement) {
  ElementRefusal& r = t_Refusal;
  if (r.un32Refuse == 0) return __real_VQXMsgElementAlloc(pMsg, pSet, un16Size, ppElement);
  if (r.un32Pass > 0) {
    r.un32Pass--;
    return __real_VQXMsgElementAlloc(pMsg, pSet, un16Size, ppElement);
  }
  r.un32Refuse--;
  if (r.fAppend) {
    __real_VQXMsgElementAlloc(pMsg, pSet, un16Size, ppElement);
  } else if (ppElement != nullptr) {
    *ppElement = nullptr;
  }
  return r.Result;
}

namespace {

/* The message allocator the element sets borrow from the host library, refusing while s_fRefuseMessages is set. */
bool s_fRefuseMessages = false;
VQX_RESULT RefusingMsgAlloc(void* hLib, u32 un32Size, void** ppMsg) {
  if (s_fRefuseMessages) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  return VQXGetMsg(static_cast<VQX_LIB_HANDLE>(hLib), un32Size, reinterpret_cast<VQX_MSG_HANDLE*>(ppMsg));
}
VQX_RESULT ForwardingMsgRelease(void* hLib, void** ppMsg) {
  return VQXReleaseMsgEx(static_cast<VQX_LIB_HANDLE>(hLib), reinterpret_cast<VQX_MSG_HANDLE*>(ppMsg));
}

std::string Used(VQX_MSG_HANDLE h) {
  return std::string(reinterpret_cast<char*>(VQXMsgPayload(h)), h->un32PayloadLength);
}
std::string Hex(const std::string& s) {
  std::string r;
  for (unsigned char c : s) r += "0123456789abcdef"[c >> 4], r += "0123456789abcdef"[c & 15];
  return r;
}
std::string Bytes(const std::string& strHex) {
  std::string r;
  for (size_t i = 0; i + 1 < strHex.size(); i += 2) r += char(std::stoi(strHex.substr(i, 2), nullptr, 16));
  return r;
}
std::string BufferBytes(CVQCAFBuffer& b) {
  std::string s(reinterpret_cast<char*>(b.GetData(__FILE__, __LINE__)), b.GetSize());
  b.ReleaseData(__FILE__, __LINE__);
  return s;
}

/* A bridge with no transport, the core library over it and the client singleton on that library. */
class CmcAttrTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    _VQCMC_LIB_PARAMS p{};
    p.hVqxLib = mhLib;
    p.Callback.pFctCallback = [](VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE*) {};
    p.Threads.un32NbThread = 1;
    p.un32LibId = 7777;
    p.Log.pContext = &mCmcLog;
    p.Log.pFctLog = [](void* pContext, u32, u32, const char* pszFormat, va_list Args) {
      static_cast<peerlog::LineLog*>(pContext)->AddV(pszFormat, Args);
    };
    ASSERT_EQ(VQCmcLibOpen(&p, &mhCmc), VQX_RESULT_OK);
    ASSERT_EQ(CVQCMCLib::TestInstall(mhCmc), VQX_RESULT_OK);
    std::ifstream f(std::string(getenv("VQX_TEST_DATA")) + "/cmc_attr_payloads.txt");
    for (std::string strName, strHex; f >> strName >> strHex;) mGolden[strName] = Bytes(strHex);
    ASSERT_EQ(mGolden.size(), 22u);
  }
  void TearDown() override {
    for (VQX_MSG_HANDLE& h : maMsgs) VQXReleaseMsgEx(mhLib, &h);
    CVQCMCLib::TestUninstall();
    EXPECT_TRUE(mhCmc == nullptr || VQCmcLibClose(mhCmc) == VQX_RESULT_OK);
    CommTest::TearDown();
  }
  /* A received message holding these payload bytes (room for 4096 more). */
  VQX_MSG_HANDLE Received(const std::string& strPayload) {
    VQX_MSG_HANDLE h = HostMsg(mhLib, 0x0A010051, strPayload + std::string(4096, '\0'));
    h->un32PayloadLength = static_cast<u32>(strPayload.size());
    maMsgs.push_back(h);
    return h;
  }
  template <class T>
  T* Payload(VQX_MSG_HANDLE h) { return reinterpret_cast<T*>(VQXMsgPayload(h)); }
  /* A command message: an empty record of un32Record bytes, elements initialised, in a payload of un32Capacity
   * bytes (0: the record and 4096 more). */
  VQX_MSG_HANDLE Command(u32 un32Record, u32 un32Capacity = 0) {
    VQX_MSG_HANDLE h = nullptr;
    EXPECT_EQ(VQXGetMsg(mhLib, un32Capacity != 0 ? un32Capacity : VQXMsgComputeSize(un32Record, 0, 0) + 4096, &h),
              VQX_RESULT_API_OK);
    maMsgs.push_back(h);
    EXPECT_EQ(VQXMsgElementInit(h, un32Record), VQX_RESULT_OK);
    return h;
  }

  /* Runs the calls named by the rows of tests/data/pszFile (case|result|line logged once, if any) in the
   * file's order; a call that changes what Snapshot reads is marked as having written. */
  void ExpectCalls(const char* pszFile, const std::map<std::string, std::function<VQX_RESULT()>>& Calls,
                   const std::function<std::string()>& Snapshot) {
    ExpectRows(pszFile, 3, [&](std::vector<std::string>& a) {
      const auto it = Calls.find(a[0]);
      const std::string strBefore = Snapshot();
      a[1] = it == Calls.end() ? "no such call" : vqtest::Hex(it->second());
      if (Snapshot() != strBefore) {
        a[1] += " and wrote";
      }
      if (!a[2].empty() && Logged(a[2].c_str()) != 1) {
        a[2] += " (not logged once)";
      }
      mLog.Take(), maSeen.clear();
    });
  }

  VQCMC_LIB_HANDLE mhCmc = nullptr;
  peerlog::LineLog mCmcLog;  // the core library's log lines (its receive thread logs too)
  std::map<std::string, std::string> mGolden;
  std::vector<VQX_MSG_HANDLE> maMsgs;
};

/* Builds each holder as the golden encoder did; CopyFrom of the golden gives the same payload back. */
TEST_F(CmcAttrTest, HoldersEqualGoldenBothWays) {
  CVQCMC_PLAY_ATTRIBUTE Play;
  ASSERT_EQ(Play.AddPlayFilePath("/var/media/hello.wav", 1, 2, 3), VQX_RESULT_OK);
  ASSERT_EQ(Play.AddPlayFilePath(CVQCAFString("http://media.local/a://b.wav"), 7, 8, 0xFFFFFFFF), VQX_RESULT_OK);
  ASSERT_EQ(Play.SetFixedByte(VQCMC_PLAY_OFFSET_INDEX, 2), VQX_RESULT_OK);
  ASSERT_EQ(Play.SetFixedByte(VQCMC_PLAY_OFFSET_PAUSED, 1), VQX_RESULT_OK);
  CVQCMC_RECORD_ATTRIBUTE Record;
  for (const char* psz : {"rec/out.wav", "store/a://b.wav", "rtp://10.0.0.1:5004"})
    ASSERT_EQ(Record.AddRecFilePath(psz), VQX_RESULT_OK);
  ASSERT_EQ(Record.SetFixedByte(VQCMC_RECORD_OFFSET_PAUSED, 1), VQX_RESULT_OK);
  CVQCMC_EVENT_ATTRIBUTE Event;
  ASSERT_EQ(Event.AddToneString("123#"), VQX_RESULT_OK);
  ASSERT_EQ(Event.AddToneString("*9"), VQX_RESULT_OK);
  // Each built holder equals its golden; a holder read from the golden (CopyFrom) gives the same bytes back.
  auto BothWays = [&](const char* pszName, auto& Built, auto& In) {
    EXPECT_EQ(Hex(Used(Built.GetMsg())), Hex(mGolden[pszName])) << pszName;
    VQX_MSG_HANDLE h = Received(mGolden[pszName]);
    ASSERT_EQ(In.CopyFrom(h, Payload<std::remove_pointer_t<decltype(In.GetPayload())>>(h)), VQX_RESULT_OK) << pszName;
    EXPECT_EQ(Hex(Used(In.GetMsg())), Hex(mGolden[pszName])) << pszName;
  };
  CVQCMC_PLAY_ATTRIBUTE PlayIn;
  CVQCMC_RECORD_ATTRIBUTE RecordIn;
  CVQCMC_EVENT_ATTRIBUTE EventIn;
  BothWays("play", Play, PlayIn);
  BothWays("record", Record, RecordIn);
  BothWays("event", Event, EventIn);
  // CopyTo into a command message gives the same bytes after the command's own record.
  VQX_MSG_HANDLE hCmd = Received(std::string(8, '\0'));
  ASSERT_EQ(VQXMsgElementInit(hCmd, sizeof(_VQCMC_EVENT_ATTRIBUTE)), VQX_RESULT_OK);
  ASSERT_EQ(EventIn.CopyTo(hCmd, Payload<_VQCMC_EVENT_ATTRIBUTE>(hCmd)), VQX_RESULT_OK);
  EXPECT_EQ(Hex(Used(hCmd)), Hex(mGolden["event"]));
}

/* Inserts the four generic headers as the golden encoder did, then reads them back from the golden. */
TEST_F(CmcAttrTest, GenericHeadersEqualGoldenBothWays) {
  VQX_MSG_HANDLE h = Received(std::string(128, '\0'));
  ASSERT_EQ(VQXMsgElementInit(h, 128), VQX_RESULT_OK);
  auto* pProtocol = Payload<_VQCMC_PROTOCOL_ATTRIBUTE>(h);
  std::string strUui, strSs7;
  for (int i = 0; i < 3000; i++) strUui += char(i * 7 + 1);
  for (int i = 0; i < 301; i++) strSs7 += char(i * 3);
  CVQCMCUserToUserInfo Uui;
  Uui.SetUuiData(CVQCAFString(strUui.data(), 3000));
  ASSERT_EQ(Uui.InsertAsGenericHeader(h, pProtocol), VQX_RESULT_OK);
  EXPECT_EQ(Uui.GetUuiData().GetSize(), 2048u) << "the object keeps the cut data";
  EXPECT_EQ(Logged("Error: Excessive UUI size (3000 bytes). Will truncate to 2048 bytes."), 1u);
  CVQCMCSs7RawData Ss7;
  CVQCAFBuffer Raw;
  Raw.Set(301, strSs7.data());
  Ss7.SetSs7RawDataBuf(static_cast<_VQCMC_SS7_ISUP_PROTOCOL_VARIANT>(7), &Raw);
  ASSERT_EQ(Ss7.InsertAsGenericHeader(h, pProtocol), VQX_RESULT_OK);
  EXPECT_EQ(Logged("CVQCMCSs7RawData: Excessive size (301 bytes). Will truncate to 300 bytes."), 1u);
  CVQCMCExtraNumber Empty10, Number3, Empty3;
  Empty10.GetNumberType() = static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(10);
  Empty10.GetNoa() = 3;
  Empty10.GetNpi() = 1;
  Empty10.GetScreening() = 1;
  Empty10.GetNumberQualifierInd() = 5;
  Empty10.GetReason() = 6;
  Empty10.GetCounter() = 2;
  Number3.GetNumberType() = static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(3);
  Number3.GetNoa() = 4;
  Number3.GetNpi() = 1;
  Number3.GetPresentation() = 1;
  Number3.GetScreening() = 3;
  Number3.GetReason() = 0x109;
  Number3.GetCounter() = 1;
  Number3.GetNumber() = "5551234";
  Empty3.GetNumberType() = static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(3);
  for (CVQCMCExtraNumber* p : {&Empty10, &Empty3, &Number3})
    ASSERT_EQ(p->InsertAsGenericHeader(h, pProtocol), VQX_RESULT_OK);
  EXPECT_EQ(Hex(Used(h)), Hex(mGolden["generic_headers"])) << "type 3 without digits inserts nothing";

  // Read back: each element of the (checked) list by its type.
  h = Received(mGolden["generic_headers"]);
  const VQXMsgElementSet* pSet = &Payload<VQXMsgElementSet>(h)[VQCMC_PROTOCOL_OFFSET_GENERIC_HEADERS / 4];
  ASSERT_EQ(VqxMsgElementCheckSet(h, pSet), VQX_RESULT_OK);
  std::vector<void*> a;
  for (void* p = nullptr; (p = VQXMsgElementGetNext(pSet, p, nullptr)) != nullptr;) a.push_back(p);
  ASSERT_EQ(a.size(), 4u);
  CVQCMCUserToUserInfo UuiIn(h, *static_cast<_VQCMC_PROTOCOL_UUI_DATA*>(a[0]));
  EXPECT_EQ(BufferBytes(UuiIn.GetUuiData()), strUui.substr(0, 2048));
  CVQCMCSs7RawData Ss7In(h, *static_cast<_VQCMC_PROTOCOL_SS7_RAW_DATA*>(a[1]));
  _VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant{};
  EXPECT_EQ(BufferBytes(Ss7In.GetSs7RawDataBuf(Variant)), strSs7.substr(0, 300));
  EXPECT_EQ(Variant, 7u);
  CVQCMCExtraNumber In10(h, *static_cast<_VQCMC_PROTOCOL_EXTRA_NUMBER*>(a[2]));
  CVQCMCExtraNumber In3(h, *static_cast<_VQCMC_PROTOCOL_EXTRA_NUMBER*>(a[3]));
  EXPECT_EQ(std::vector<u32>({In10.GetNumberType(), In10.GetNoa(), In10.GetNpi(), In10.GetPresentation(),
                              In10.GetScreening(), In10.GetNumberQualifierInd(), In10.GetReason(), In10.GetCounter(),
                              In10.GetNumber().GetLength()}),
            std::vector<u32>({10, 3, 1, 0, 1, 5, 6, 2, 0}));
  EXPECT_EQ(std::vector<u32>({In3.GetNumberType(), In3.GetNoa(), In3.GetReason(), In3.GetCounter()}),
            std::vector<u32>({3, 4, 9, 1})) << "the reason travels as its low byte";
  EXPECT_STREQ(In3.GetNumber().c_str(), "5551234");
  // An element of another type leaves a user-to-user object empty, an extra number as it was.
  UuiIn.Assign(h, *static_cast<_VQCMC_PROTOCOL_UUI_DATA*>(a[1]));
  EXPECT_EQ(UuiIn.GetUuiData().GetSize(), 0u);
  EXPECT_EQ(In3.Assign(h, *static_cast<_VQCMC_PROTOCOL_EXTRA_NUMBER*>(a[0])), VQX_RESULT_OK);
  EXPECT_STREQ(In3.GetNumber().c_str(), "5551234");
}

/* The play attribute doubles its message while its room is full, up to 65536 bytes, then refuses. */
TEST_F(CmcAttrTest, PlayGrowsTo65536ThenRecordAndEventDoNotGrow) {
  CVQCMC_PLAY_ATTRIBUTE Play;
  const std::string strPath(1000, 'p');
  std::vector<u32> aCapacities;
  VQX_RESULT Result = VQX_RESULT_OK;
  for (int i = 0; i < 100 && Result == VQX_RESULT_OK; i++) {
    Result = Play.AddPlayFilePath(strPath.c_str(), i, 0, 0);
    if (aCapacities.empty() || aCapacities.back() != Play.GetMsg()->un32PayloadMaxLength) {
      aCapacities.push_back(Play.GetMsg()->un32PayloadMaxLength);
    }
  }
  EXPECT_EQ(Result, VQX_RESULT_OUT_OF_RANGE);
  ASSERT_GE(aCapacities.size(), 2u);
  for (size_t i = 1; i < aCapacities.size(); i++) {
    EXPECT_EQ(aCapacities[i], std::min(2 * aCapacities[i - 1], VQCMC_PLAY_MAX_MSG_SIZE)) << "step " << i;
  }
  EXPECT_EQ(aCapacities.back(), VQCMC_PLAY_MAX_MSG_SIZE);
  EXPECT_EQ(Logged("AddPlayFilePath: Maximum msgset size reached! (65536 bytes)"), 1u);
  EXPECT_EQ(VQXMsgElementCount(&Play.GetPayload()->setPlayFileParams), (65536u - 24 - 8) / 1032)
      << "1032-byte elements";

  CVQCMC_RECORD_ATTRIBUTE Record;
  CVQCMC_EVENT_ATTRIBUTE Event;
  const u32 un32Capacities[] = {Record.GetMsg()->un32PayloadMaxLength, Event.GetMsg()->un32PayloadMaxLength};
  VQX_RESULT aResults[] = {VQX_RESULT_OK, VQX_RESULT_OK};
  for (int i = 0; i < 100 && aResults[0] == VQX_RESULT_OK; i++) aResults[0] = Record.AddRecFilePath(strPath.c_str());
  for (int i = 0; i < 100 && aResults[1] == VQX_RESULT_OK; i++) aResults[1] = Event.AddToneString(strPath.c_str());
  EXPECT_EQ(aResults[0], VQX_RESULT_BUFFER_TOO_SMALL);
  EXPECT_EQ(aResults[1], VQX_RESULT_BUFFER_TOO_SMALL);
  EXPECT_EQ(Record.GetMsg()->un32PayloadMaxLength, un32Capacities[0]);
  EXPECT_EQ(Event.GetMsg()->un32PayloadMaxLength, un32Capacities[1]);
  EXPECT_EQ(Event.GetPayload()->un16InterToneTimeout, 60u);
}

/* A byte header or an extra number goes in as two elements: with exactly the room for both it goes in whole;
 * a byte less and its data element is refused, and the header element taken back: the message as it was. */
TEST_F(CmcAttrTest, GenericHeaderWithoutRoomForItsDataLeavesNothing) {
  CVQCMCUserToUserInfo Uui;
  Uui.SetUuiData(CVQCAFString("0123456789"));
  CVQCMCSs7RawData Ss7;
  ASSERT_EQ(Ss7.SetSs7RawDataHex(static_cast<_VQCMC_SS7_ISUP_PROTOCOL_VARIANT>(2), "a1b2c3"), VQX_RESULT_OK);
  CVQCMCExtraNumber Number;
  Number.GetNumberType() = static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(3);
  Number.GetNumber() = "5551234";
  const struct {
    const char* pszName;
    std::function<VQX_RESULT(VQX_MSG_HANDLE, _VQCMC_PROTOCOL_ATTRIBUTE*)> Insert;
    u32 un32Needed;  // the header's element and its data's
  } aRows[] = {
      {"user-to-user", [&](VQX_MSG_HANDLE h, auto* p) { return Uui.InsertAsGenericHeader(h, p); }, 32 + 24},
      {"SS7 raw data", [&](VQX_MSG_HANDLE h, auto* p) { return Ss7.InsertAsGenericHeader(h, p); }, 32 + 16},
      {"extra number", [&](VQX_MSG_HANDLE h, auto* p) { return Number.InsertAsGenericHeader(h, p); }, 56 + 16},
  };
  for (const auto& r : aRows) {
    for (u32 un32Short : {0u, 1u}) {
      VQX_MSG_HANDLE h = Command(128, VQXMsgComputeSize(128, 0, 0) + r.un32Needed - un32Short);
      auto* pProtocol = Payload<_VQCMC_PROTOCOL_ATTRIBUTE>(h);
      const std::string strBefore = Used(h);
      const VQX_RESULT Result = r.Insert(h, pProtocol);
      EXPECT_EQ(Result, un32Short == 0 ? VQX_RESULT_OK : VQX_RESULT_BUFFER_TOO_SMALL) << r.pszName << " " << un32Short;
      EXPECT_EQ(VQXMsgElementCount(&pProtocol->setGenericHeaders), un32Short == 0 ? 1u : 0u) << r.pszName;
      if (un32Short == 0) {
        EXPECT_EQ(h->un32PayloadLength, h->un32PayloadMaxLength) << r.pszName << ": the room taken whole";
      } else {
        EXPECT_EQ(Hex(Used(h)), Hex(strBefore)) << r.pszName << ": nothing half-built left";
      }
    }
  }
}

/* Any refused play element, a warning too, grows the message; every stop logs one line at VQERR with 65536
 * and leaves the list as it was. */
TEST_F(CmcAttrTest, PlayGrowsOnEveryRefusalAndLogsEveryStop) {
  auto List = [](CVQCMC_PLAY_ATTRIBUTE& Play) {
    std::string s;
    for (void* p = nullptr; (p = VQXMsgElementGetNext(&Play.GetPayload()->setPlayFileParams, p, nullptr)) != nullptr;) {
      const auto* pFile = static_cast<const _VQCMC_PLAY_FILE_PARAMS*>(p);
      s += std::string(pFile->szUrl) + " " + std::to_string(pFile->aun32Params[0]) + "," +
           std::to_string(pFile->aun32Params[2]) + ";";
    }
    return s;
  };
  const std::string strKept = "file:///a.wav 1,3;http://m/b.wav 4,6;";
  struct Row {
    const char* pszName;
    ElementRefusal Refusal;
    bool fNoMessages;
    VQX_RESULT Result;
    u32 un32Capacity;  // 0: as it was, 1: doubled
  } aRows[] = {
      {"a warning", {0, 1, VQX_RESULT_API_INCOMPLETE, false}, false, VQX_RESULT_OK, 1},
      {"a warning handed out with its element", {0, 1, VQX_RESULT_API_INCOMPLETE, true}, false, VQX_RESULT_OK, 1},
      {"a refusal other than no room", {0, 1, VQX_RESULT_INVALID_MESSAGE, false}, false, VQX_RESULT_OK, 1},
      {"refused at every size", {0, 9, VQX_RESULT_INVALID_MESSAGE, false}, false, VQX_RESULT_OUT_OF_RANGE, 65536},
      {"no larger message to be had", {0, 1, VQX_RESULT_BUFFER_TOO_SMALL, false}, true, VQX_RESULT_NOT_ENOUGH_MEMORY, 0},
  };
  ASSERT_EQ(VqxMsgElementSetAllocator(RefusingMsgAlloc, ForwardingMsgRelease), VQX_RESULT_OK);
  for (const Row& r : aRows) {
    CVQCMC_PLAY_ATTRIBUTE Play;
    ASSERT_EQ(Play.AddPlayFilePath("/a.wav", 1, 2, 3) | Play.AddPlayFilePath("http://m/b.wav", 4, 5, 6), VQX_RESULT_OK);
    const std::string strBefore = Used(Play.GetMsg());
    const u32 un32Before = Play.GetMsg()->un32PayloadMaxLength;
    mLog.Take();
    t_Refusal = r.Refusal;
    s_fRefuseMessages = r.fNoMessages;
    EXPECT_EQ(Play.AddPlayFilePath("c.wav", 7, 8, 9), r.Result) << r.pszName;
    s_fRefuseMessages = false;
    EXPECT_EQ(t_Refusal.un32Refuse, r.Result == VQX_RESULT_OUT_OF_RANGE ? 4u : 0u) << r.pszName << ": refusals used";
    t_Refusal = {};
    EXPECT_EQ(Play.GetMsg()->un32PayloadMaxLength, r.un32Capacity > 1 ? r.un32Capacity : un32Before << r.un32Capacity)
        << r.pszName;
    u32 un32Stops = 0, un32Other = 0;
    for (const CapturedLine& L : mLog.Take()) {
      if (L.strText.find("Maximum msgset size") == std::string::npos) continue;
      (L.un32Level == VQERR && L.strText == "AddPlayFilePath: Maximum msgset size reached! (65536 bytes)\n" ? un32Stops
                                                                                                          : un32Other)++;
    }
    EXPECT_EQ(un32Stops * 10 + un32Other, r.Result == VQX_RESULT_OK ? 0u : 10u) << r.pszName << ": stop lines";
    if (r.Result == VQX_RESULT_OK) {
      EXPECT_EQ(List(Play), strKept + "file://c.wav 7,9;") << r.pszName;
    } else {
      EXPECT_EQ(Hex(Used(Play.GetMsg())), Hex(strBefore)) << r.pszName << ": the list as it was";
    }
  }
}

/* Elements that a 16-bit size cannot hold are refused before anything is allocated. */
TEST_F(CmcAttrTest, OversizedElementsRefusedBeforeAllocation) {
  CVQCMC_PLAY_ATTRIBUTE Play;
  CVQCMC_RECORD_ATTRIBUTE Record;
  CVQCMC_EVENT_ATTRIBUTE Event;
  const std::map<std::string, std::function<VQX_RESULT()>> Calls = {
      {"play 65514 + file:// + 16 (wraps to 1)",
       [&] { return Play.AddPlayFilePath(std::string(65514, 'p').c_str(), 0, 0, 0); }},
      {"play with :// 65520 + 16",
       [&] { return Play.AddPlayFilePath(("a://" + std::string(65516, 'p')).c_str(), 0, 0, 0); }},
      {"record 65528 + file:// + 1", [&] { return Record.AddRecFilePath(std::string(65528, 'r').c_str()); }},
      {"record 65527 + file:// + 1 fits, no room",
       [&] { return Record.AddRecFilePath(std::string(65527, 'r').c_str()); }},
      {"tone 65535 + 1", [&] { return Event.AddToneString(std::string(65535, '1').c_str()); }},
      {"null tone", [&] { return Event.AddToneString(nullptr); }},
      {"null record path", [&] { return Record.AddRecFilePath(static_cast<const char*>(nullptr)); }},
      {"fixed byte 3", [&] { return Play.SetFixedByte(3, 1); }},
      {"fixed byte 20", [&] { return Play.SetFixedByte(20, 1); }},
  };
  ExpectCalls("cmc_attr_element_refusals.txt", Calls,
              [&] { return Used(Play.GetMsg()) + "|" + Used(Record.GetMsg()) + "|" + Used(Event.GetMsg()); });
}

/* Without the client singleton no message can be had: the holder stays empty, every writer refuses. */
TEST_F(CmcAttrTest, EmptyHolderRefusesEveryWrite) {
  CVQCMCLib::TestUninstall();
  {
    CVQCMC_PLAY_ATTRIBUTE Play;
    CVQCMC_EVENT_ATTRIBUTE Event;
    EXPECT_EQ(Logged("CVQCMCMsgset: Failed to alloc message"), 2u);
    EXPECT_TRUE(Play.GetMsg() == nullptr && Play.GetPayload() == nullptr);
    VQX_MSG_HANDLE h = Received(mGolden["event"]);
    u8 un8 = 0;
    EXPECT_EQ(
        std::vector<u32>({Play.AddPlayFilePath("a", 0, 0, 0), Play.SetFixedByte(15, 1), Play.GetFixedByte(15, &un8),
                          Event.AddToneString("1"), Event.CopyFrom(h, Payload<_VQCMC_EVENT_ATTRIBUTE>(h))}),
        std::vector<u32>(5, VQX_RESULT_NOT_INITIALIZED));
    EXPECT_EQ(Logged("AddPlayFilePath: Maximum msgset size reached! (65536 bytes)"), 1u) << "no message: a stop too";
    Event.SetInterToneTimeout(5);
  }
  EXPECT_EQ(Logged("CVQCMCMsgset: Failed to free message"), 0u) << "nothing to release";
  ASSERT_EQ(CVQCMCLib::TestInstall(mhCmc), VQX_RESULT_OK);
}

/* Received payloads that break their sets or lie outside their message are refused, logged, nothing copied. */
TEST_F(CmcAttrTest, MalformedReceivedPayloadsRefused) {
  ExpectRows("cmc_event_malformed.txt", 6, [&](std::vector<std::string>& a) {
    std::string strPayload = mGolden["event"];
    strPayload.replace(std::stoul(a[1]), 4, Be32(static_cast<u32>(std::stoul(a[2], nullptr, 16))));
    VQX_MSG_HANDLE h = Received(strPayload);
    CVQCMC_EVENT_ATTRIBUTE Event;
    const std::string strBefore = Used(Event.GetMsg());
    mCmcLog.Clear();
    auto* pRecord = reinterpret_cast<_VQCMC_EVENT_ATTRIBUTE*>(VQXMsgPayload(h) + std::stoi(a[3]));
    a[4] = vqtest::Hex(Event.CopyFrom(h, pRecord));
    a[5] = Used(Event.GetMsg()) == strBefore ? "nothing copied" : "copied";
    const std::vector<std::string> aLogged = mCmcLog.Own();
    a[5] += aLogged.size() == 1 && aLogged[0].find("Malformed record refused") != std::string::npos ? ", logged" : "";
    mLog.Take(), maSeen.clear();
  });
  // Generic headers: a broken data set leaves the object empty; digits without their NUL end with their element.
  std::string strPayload = mGolden["generic_headers"];
  VQX_MSG_HANDLE h = Received(strPayload);
  std::vector<u8*> a;
  for (void* p = nullptr; (p = VQXMsgElementGetNext(VQXMsgPayload(h) + 8, p, nullptr)) != nullptr;)
    a.push_back(static_cast<u8*>(p));
  const u32 un32Uui = static_cast<u32>(a[0] - VQXMsgPayload(h));
  const u32 un32Digits = static_cast<u32>(a[3] - VQXMsgPayload(h)) + 56;
  strPayload[un32Digits + 7] = '9';
  strPayload.replace(un32Uui + 4, 4, Be32(0x8001FFFF));
  h = Received(strPayload);
  CVQCMCUserToUserInfo Uui;
  Uui.SetUuiData(CVQCAFString("kept?"));
  EXPECT_EQ(Uui.Assign(h, *reinterpret_cast<_VQCMC_PROTOCOL_UUI_DATA*>(VQXMsgPayload(h) + un32Uui)),
            VQX_RESULT_MISMATCH);
  EXPECT_EQ(Uui.GetUuiData().GetSize(), 0u);
  CVQCMCExtraNumber Number(h, *reinterpret_cast<_VQCMC_PROTOCOL_EXTRA_NUMBER*>(VQXMsgPayload(h) + un32Digits - 56));
  EXPECT_STREQ(Number.GetNumber().c_str(), "55512349");
}

/* Defaults, texts and the collected digits read within the payload. */
TEST_F(CmcAttrTest, ValueClassesDefaultsTextsAndDigits) {
  CVQCMC_MIXER_ATTRIBUTE Mixer;
  EXPECT_EQ(std::vector<i64>({Mixer.GetMappingId(), Mixer.IsReserveIvrSlot(), Mixer.IsReserveListenerSlot(),
                              Mixer.GetNbReservedActiveSpeakerSlots(), Mixer.GetNbDominantSpeakers(),
                              Mixer.GetNoiseFloor(), Mixer.GetNoiseSuppressionLimit(), Mixer.GetTargetPower(),
                              Mixer.GetLossLimit(), Mixer.GetGainLimit(), Mixer.IsRecordPlayback()}),
            std::vector<i64>({0, 0, 0, 0, 3, -30, 30, -5, -10, 5, 0}));
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE MixerJoin;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE LegJoin;
  CVQCMC_JOIN_ATTRIBUTE Join;
  EXPECT_EQ(std::vector<u32>({MixerJoin.IsJoinedFrom1to2(), MixerJoin.IsJoinedFrom2to1(), LegJoin.IsListener(),
                              LegJoin.IsSpeaker(), Join.IsFullDuplex()}),
            std::vector<u32>({1, 1, 0, 0, 1}));

  CVQCMC_CALL_TRANSFER Transfer;
  Transfer.SetTransferNumber(CVQCAFString(std::string(70, '7').c_str()));
  EXPECT_EQ(std::string(Transfer.GetTransferNumber(nullptr)), std::string(63, '7'));
  Transfer.SetTransferNumber(CVQCAFString("12"));
  _VQCMC_CALL_TRANSFER Record;
  memset(&Record, 0xAB, sizeof(Record));
  Transfer.CopyTo(Record);
  EXPECT_EQ(std::string(Record.szTransferNumber, 64), "12" + std::string(62, '\0')) << "copied by length, rest zeroed";
  memset(Record.szTransferNumber, '5', 64);
  CVQCAFString strNumber;
  CVQCMC_CALL_TRANSFER(Record).GetTransferNumber(&strNumber);
  EXPECT_EQ(strNumber.GetLength(), 63u) << "a received number without NUL stays within its field";

  CVQCMCUserToUserInfo Uui;
  EXPECT_EQ(Uui.SetUuiDataHex(CVQCAFString("ABC")), VQX_RESULT_OK);
  EXPECT_EQ(BufferBytes(Uui.GetUuiData()), "\xAB\xC0");
  EXPECT_EQ(Logged("HexStringToByteArray did not convert correct number of bytes (1, expecting 2, string was 'ABC')"),
            1u);
  EXPECT_EQ(Logged("Incorrect UUI hex string. Contains odd number (3) of hex characters (string was 'ABC')"), 1u);
  CVQCAFString strHex;
  EXPECT_EQ(Uui.GetUuiDataHex(strHex), VQX_RESULT_OK);
  EXPECT_STREQ(strHex.c_str(), "abc0");
  EXPECT_EQ(CVQCMCUserToUserInfo().SetUuiDataHex(CVQCAFString("")), VQX_RESULT_OUT_OF_MEMORY) << "no byte at all";
  CVQCMCSs7RawData Ss7;
  _VQCMC_SS7_ISUP_PROTOCOL_VARIANT Variant{};
  EXPECT_EQ(Ss7.SetSs7RawDataHex(static_cast<_VQCMC_SS7_ISUP_PROTOCOL_VARIANT>(9), CVQCAFString("0a1")), VQX_RESULT_OK);
  EXPECT_EQ(BufferBytes(Ss7.GetSs7RawDataBuf(Variant)), std::string("\x0a\x10", 2));
  EXPECT_EQ(Variant, 9u);
  EXPECT_EQ(Logged("SetSs7RawDataHex: did not convert correct number of bytes (1, expecting 2, string was '0a1')"), 1u);
  EXPECT_EQ(
      Logged("SetSs7RawDataHex: Incorrect hex string. Contains odd number (3) of hex characters (string was '0a1')"),
      1u);
  Ss7.Clear();
  EXPECT_EQ(Ss7.GetSs7RawDataBuf(Variant).GetSize(), 0u);
  EXPECT_EQ(Variant, 5u);

  ExpectRows("cmc_collected_digits.txt", 4, [&](std::vector<std::string>& a) {
    CVQCMC_COLLECTED_DIGIT_ATTRIBUTE Digits;
    Digits.GetCollectedDigits() = "kept";
    const std::string strPayload = Bytes(a[1]);
    const std::string strRoom = strPayload + std::string(64, 'x');  // bytes past the payload are never read
    const auto* pRecord = reinterpret_cast<const _VQCMC_MSG_NOTIF_DIGIT_COLLECTED*>(strRoom.data());
    a[2] = vqtest::Hex(Digits.CopyFrom(pRecord, static_cast<u32>(strPayload.size())));
    a[3] = Digits.GetCollectedDigits().c_str();
  });
}

/* The typed wrappers: sizes and headers of the sending form, the receiving form's checks, release rules. */
TEST_F(CmcAttrTest, TypedWrappersAllocateCheckAndRelease) {
  const u32 un32Before = Allocated();
  using GetStats = CVQCMCMessage<_VQCMC_MSG_CMD_GET_STATS, VQCMC_MSG_CMD_GET_STATS>;
  using Create = CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_CREATE>;
  using Play = CVQCMCMessage<_VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_PLAY>;
  {
    GetStats Stats(4096);
    Create Bare(0);
    Play Play100(100u);
    const u8 abyMarker[] = {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE};
    struct Row {
      const char* pszName;
      VQX_MSG_HANDLE h;
      u32 un32Capacity, un32Used;
      std::string strUsed;
    } aRows[] = {
        {"GET_STATS extra 4096", Stats.GetMsg(), 4136, 48,
         std::string(40, '\0') + std::string((const char*)abyMarker, 8)},
        {"CALL_LEG_CREATE extra 0", Bare.GetMsg(), 872, 872, std::string(872, '\0')},
        {"PLAY with 100 element bytes", Play100.GetMsg(), 160, 64,
         std::string(56, '\0') + std::string((const char*)abyMarker, 8)},
    };
    for (const Row& r : aRows) {
      ASSERT_NE(r.h, nullptr) << r.pszName;
      EXPECT_EQ(std::vector<u64>({r.h->MsgType, r.h->un32PayloadMaxLength, r.h->un32PayloadLength, r.h->hAdapter,
                                  r.h->un64UserContext1, r.h->un64UserContext2}),
                std::vector<u64>({1, r.un32Capacity, r.un32Used, 0xDA000000u, 0, 0})) << r.pszName;
      EXPECT_EQ(Hex(Used(r.h)), Hex(r.strUsed)) << r.pszName;
    }
    EXPECT_EQ(Stats.GetMsg()->un32MsgId + Stats.IsProcessed(), VQCMC_MSG_CMD_GET_STATS);
    EXPECT_EQ(Allocated(), un32Before + 3);
    // Handed over (an unknown leg: the core library logs, refuses and releases it), then refused; a received one too.
    Play In(HostMsg(mhLib, VQCMC_MSG_CMD_PLAY, std::string(64, '\0')));
    EXPECT_EQ(std::vector<VQX_RESULT>({Stats.LegMsgProcess(9, 0), Stats.MixerMsgProcess(9, 0), In.LegMsgProcess(1, 0)}),
              std::vector<VQX_RESULT>({VQX_RESULT_INVALID_PARAM, VQX_RESULT_INVALID_STATE, VQX_RESULT_INVALID_STATE}));
    EXPECT_TRUE(Stats.GetMsg() == nullptr && Stats.GetPayload() == nullptr && Allocated() == un32Before + 3);
  }
  EXPECT_EQ(Allocated(), un32Before) << "owned buffers released";

  // Received: a foreign id, a short payload and a claimed length past the capacity show no payload.
  ExpectRows("cmc_received_wrappers.txt", 6, [&](std::vector<std::string>& a) {
    const u32 un32Size = static_cast<u32>(std::stoul(a[2]));
    const bool fOwned = a[4] == "owned";
    VQX_MSG_HANDLE h = HostMsg(mhLib, static_cast<u32>(std::stoul(a[1], nullptr, 16)), std::string(un32Size, '\x11'));
    h->un32PayloadLength = static_cast<u32>(std::stoul(a[3], nullptr, 0));
    {
      GetStats Rx(h, fOwned);
      a[5] = Rx.GetPayload() != nullptr ? "payload" : "none";
    }
    if (Allocated() != un32Before + (fOwned ? 0 : 1)) {
      a[5] += " (buffer not released as owned)";
    }
    if (!fOwned) VQXReleaseMsgEx(mhLib, &h);
  });
  EXPECT_EQ(Logged("CVQCAFBasicApiMsg"), 0u);

  // A failed allocation: no buffer, logged with the host library's result; destroying it does nothing.
  {
    Create Huge(0xFFFFFFF0u);
    EXPECT_TRUE(Huge.GetMsg() == nullptr && Huge.GetPayload() == nullptr);
    EXPECT_EQ(Logged("CVQCAFBasicApiMsg::CVQCAFBasicApiMsg: Failed to alloc message (8201"), 1u);
  }
  EXPECT_EQ(Allocated(), un32Before);

  // After the bridge is shut down a live wrapper cannot release its buffer: logged, nothing released.
  auto pOwner = std::make_unique<GetStats>(4096);
  ASSERT_NE(pOwner->GetPayload(), nullptr);
  CVQCMCLib::TestUninstall();
  EXPECT_EQ(GetStats(4096).LegMsgProcess(0x99, 0), VQX_RESULT_NULL_PARAM) << "no core library: kept and released";
  EXPECT_EQ(Allocated(), un32Before + 1);
  ASSERT_EQ(VQCmcLibClose(mhCmc), VQX_RESULT_OK);
  mhCmc = nullptr;
  for (VQX_MSG_HANDLE& h : maMsgs) VQXReleaseMsgEx(mhLib, &h);
  CVQCAFComm::ReleaseHostLibInstance();
  mhLib = nullptr;
  ASSERT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
  pOwner.reset();
  EXPECT_EQ(Logged("CVQCAFBasicApiMsg::~CVQCAFBasicApiMsg: CVQCAFComm::Init() must be called first! (8200000F) "
                   "CVQCAFBasicApiMsg:"),
            1u);
  GetStats NoBridge(4096);
  EXPECT_EQ(NoBridge.GetPayload(), nullptr);
  EXPECT_EQ(Logged("CVQCAFBasicApiMsg::CVQCAFBasicApiMsg: CVQCAFComm::Init() must be called first! (8200000F)"), 1u);
}

/* Holders and wrappers outliving the core library that the client singleton opened: destroyed after its
 * Uninit closed the library, each gives its buffer back (through the bridge) without touching the closed
 * library; destroyed after the bridge is gone too, a holder logs and keeps its buffer. */
TEST_F(CmcAttrTest, HoldersDestroyedAfterTheLibraryCloses) {
  CVQCMCLib::TestUninstall();  // the fixture's library makes way for one the singleton owns
  ASSERT_EQ(VQCmcLibClose(mhCmc), VQX_RESULT_OK);
  mhCmc = nullptr;
  const u32 un32Before = Allocated();
  CVQCMCLibParams P;
  auto Attach = [&] {
    const VQX_RESULT Result = CVQCMCLib::Init(P);
    return VQX_RESULT_FAILED(Result) ? Result : CVQCMCLib::Attach(nullptr);
  };
  ASSERT_EQ(Attach(), VQX_RESULT_OK);
  using Held = std::shared_ptr<void>;
  auto Owning = [](auto* p) { return p->GetMsg() != nullptr ? Held(p) : (delete p, Held()); };
  const std::string strLong(1000, 'p');
  CVQCMC_MEDIA_PROFILE Profile;
  ASSERT_EQ(Profile.SetByProfileName("p"), VQX_RESULT_OK);
  const std::vector<std::pair<const char*, std::function<Held()>>> aRows = {
      {"play grown past its room", [&] {
         auto* p = new CVQCMC_PLAY_ATTRIBUTE;
         for (u32 i = 0; i < 5; i++) p->AddPlayFilePath(strLong.c_str(), i, 0, 0);
         return p->GetMsg()->un32PayloadMaxLength > 8192 ? Owning(p) : (delete p, Held());
       }},
      {"record", [&] {
         auto* p = new CVQCMC_RECORD_ATTRIBUTE;
         p->AddRecFilePath("a.wav");
         return Owning(p);
       }},
      {"event", [&] { return Owning(new CVQCMC_EVENT_ATTRIBUTE); }},
      {"event adopting a received message", [&] {
         VQX_MSG_HANDLE h = HostMsg(mhLib, 0x0A010051, std::string(64, '\0'));
         return Owning(new CVQCMC_EVENT_ATTRIBUTE(h, Payload<_VQCMC_EVENT_ATTRIBUTE>(h)));
       }},
      {"protocol", [&] {
         auto* p = new CVQCMC_PROTOCOL_ATTRIBUTE;
         p->SetSinglePartSipBody("v=0");
         return Owning(p);
       }},
      {"protocol copied with its exact room",
       [&] { return Owning(new CVQCMC_PROTOCOL_ATTRIBUTE(CVQCMC_PROTOCOL_ATTRIBUTE(), 1)); }},
      {"media profile message", [&] { return Held(Profile.CreateMessage(), CVQCMC_MEDIA_PROFILE::DestroyMessage); }},
      {"typed wrapper", [&] {
         using GetStats = CVQCMCMessage<_VQCMC_MSG_CMD_GET_STATS, VQCMC_MSG_CMD_GET_STATS>;
         return Owning(new GetStats(4096));
       }},
  };
  std::vector<Held> aHeld;
  for (const auto& [pszRow, fnMake] : aRows) {
    aHeld.push_back(fnMake());
    EXPECT_NE(aHeld.back(), nullptr) << pszRow << ": not built";
  }
  EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);  // closes the core library and its pool
  EXPECT_EQ(Allocated(), un32Before + aRows.size()) << "each still holds its buffer";
  for (size_t i = 0; i < aRows.size(); i++) {
    aHeld[i].reset();
    EXPECT_EQ(Allocated(), un32Before + aRows.size() - 1 - i) << aRows[i].first << ": buffer not given back";
  }
  EXPECT_EQ(Logged("Failed to free message"), 0u);

  // The bridge gone as well: nothing left to release through, the holder says so and keeps its buffer.
  ASSERT_EQ(Attach(), VQX_RESULT_OK);
  auto pLate = std::make_unique<CVQCMC_RECORD_ATTRIBUTE>();
  ASSERT_NE(pLate->GetMsg(), nullptr);
  EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);
  CVQCAFComm::ReleaseHostLibInstance();
  mhLib = nullptr;
  ASSERT_EQ(CVQCAFComm::Uninit(), VQX_RESULT_OK);
  pLate.reset();
  EXPECT_EQ(Logged("CVQCMCMsgset: Failed to free message"), 1u);
}

/* Holders made while the singleton's core library was open copy in and out after it closed: a refused
 * copy logs through the library open at the time of the call, and with none its line is dropped (before,
 * it logged through the handle the holder kept, freed by the close). */
TEST_F(CmcAttrTest, CopiesLogThroughTheLibraryOpenNow) {
  CVQCMCLib::TestUninstall();  // the fixture's library makes way for one the singleton owns
  ASSERT_EQ(VQCmcLibClose(mhCmc), VQX_RESULT_OK);
  mhCmc = nullptr;
  CVQCMCLibParams P;
  ASSERT_EQ(CVQCMCLib::Init(P), VQX_RESULT_OK);
  ASSERT_EQ(CVQCMCLib::Attach(nullptr), VQX_RESULT_OK);
  CVQCMC_PLAY_ATTRIBUTE Play;
  CVQCMC_RECORD_ATTRIBUTE Record;
  CVQCMC_EVENT_ATTRIBUTE Event;
  CVQCMC_PROTOCOL_ATTRIBUTE Protocol;
  VQX_MSG_HANDLE h = Received(std::string(256, '\0'));
  const std::vector<std::function<VQX_RESULT()>> aCopies = {
      [&] { return Play.CopyTo(h, nullptr); },     [&] { return Play.CopyFrom(h, nullptr); },
      [&] { return Record.CopyTo(h, nullptr); },   [&] { return Record.CopyFrom(h, nullptr); },
      [&] { return Event.CopyTo(h, nullptr); },    [&] { return Event.CopyFrom(h, nullptr); },
      [&] { return Protocol.CopyTo(h, nullptr); }, [&] { return Protocol.CopyFrom(h, nullptr); },
  };
  for (int fOpen = 1; fOpen >= 0; fOpen--) {
    const size_t nBefore = Logged("Null argument");
    for (size_t i = 0; i < aCopies.size(); i++) EXPECT_EQ(aCopies[i](), VQX_RESULT_NULL_PARAM) << i << " open " << fOpen;
    EXPECT_EQ(Logged("Null argument"), nBefore + (fOpen ? aCopies.size() : 0u)) << "open " << fOpen;
    if (fOpen) {
      EXPECT_EQ(CVQCMCLib::Uninit(), VQX_RESULT_OK);  // closes the core library
    }
  }
}

/* Assignment of protocol attributes reports what it cannot do and keeps what the target held: an empty
 * holder on either side, elements that would not fit the target's room. */
TEST_F(CmcAttrTest, ProtocolAssignmentKeepsTheTargetOnFailure) {
  CVQCMC_PROTOCOL_ATTRIBUTE Sip, Big, Small(CVQCMC_PROTOCOL_ATTRIBUTE(), 1);
  ASSERT_EQ(Sip.SetSinglePartSipBody("v=0"), VQX_RESULT_OK);
  ASSERT_EQ(Big.SetSinglePartSipBody(std::string(1000, 'b').c_str()), VQX_RESULT_OK);
  CVQCMCLib::TestUninstall();  // no message can be had: an empty holder
  {
    CVQCMC_PROTOCOL_ATTRIBUTE Empty;
    ASSERT_EQ(Empty.GetMsg(), nullptr);
    const std::string strSip = Used(Sip.GetMsg());
    Sip = Empty;
    EXPECT_EQ(Hex(Used(Sip.GetMsg())), Hex(strSip)) << "an empty source leaves the target as it was";
    Empty = Sip;
    EXPECT_EQ(Empty.GetMsg(), nullptr);
    EXPECT_EQ(Logged("CVQCMC_PROTOCOL_ATTRIBUTE::operator=: No message to copy from: the attribute is kept"), 1u);
    EXPECT_EQ(Logged("CVQCMC_PROTOCOL_ATTRIBUTE::operator=: No message to copy into"), 1u);
  }
  ASSERT_EQ(CVQCMCLib::TestInstall(mhCmc), VQX_RESULT_OK);
  const std::string strSmall = Used(Small.GetMsg());
  Small = Big;
  EXPECT_EQ(Hex(Used(Small.GetMsg())), Hex(strSmall)) << "no room for the body: nothing copied";
  EXPECT_EQ(Logged("operator=: Not enough room for the source's elements: the attribute is kept (82000012)"), 1u);
  CVQCMC_PROTOCOL_ATTRIBUTE Copy;
  Copy = Big;
  EXPECT_EQ(Copy.GetPayload()->un8Present * 10 + Copy.GetPayload()->un32ProtocolType, 10u + VQCMC_PROTOCOL_SIP)
      << "a copy with room goes through";
  EXPECT_EQ(Used(Copy.GetMsg()).size(), Used(Big.GetMsg()).size());

  // What a holder holds, as its copy into a fresh command message.
  auto Content = [&](const CVQCMC_PROTOCOL_ATTRIBUTE& P) {
    VQX_MSG_HANDLE h = Command(128);
    EXPECT_EQ(P.CopyTo(h, Payload<_VQCMC_PROTOCOL_ATTRIBUTE>(h)), VQX_RESULT_OK);
    return Hex(Used(h));
  };
  // A target left exactly the room the source's elements take gets them; one step of room less (a holder's
  // room comes in steps of 8) is refused and the target keeps what it held.
  const u32 un32Needed = static_cast<u32>(Used(Big.GetMsg()).size()) - VQXMsgComputeSize(128, 0, 0);
  for (u32 un32Short : {0u, 8u}) {
    CVQCMC_PROTOCOL_ATTRIBUTE Target;
    const u32 un32Free = Target.GetMsg()->un32PayloadMaxLength - Target.GetMsg()->un32PayloadLength;
    ASSERT_EQ(Target.SetSinglePartSipBody(std::string(un32Free - un32Needed + un32Short - 8, 't').c_str()),
              VQX_RESULT_OK);
    ASSERT_EQ(Target.GetMsg()->un32PayloadMaxLength - Target.GetMsg()->un32PayloadLength, un32Needed - un32Short);
    const std::string strBefore = Used(Target.GetMsg());
    const size_t nRefused = Logged("Not enough room for the source's elements");
    Target = Big;
    if (un32Short == 0) {
      EXPECT_EQ(Content(Target), Content(Big)) << "the exact room";
    } else {
      EXPECT_EQ(Hex(Used(Target.GetMsg())), Hex(strBefore)) << un32Short << " bytes short";
    }
    EXPECT_EQ(Logged("Not enough room for the source's elements"), nRefused + (un32Short != 0)) << un32Short;
  }
  // A copy that fails past the room check (a generic header the copy does not know) leaves the target as it was.
  void* pv = nullptr;
  ASSERT_EQ(VQXMsgElementAlloc(Big.GetMsg(), &Big.GetPayload()->setGenericHeaders, 8, &pv), VQX_RESULT_OK);
  *static_cast<u32*>(pv) = 7;
  const std::string strKept = Used(Sip.GetMsg());
  Sip = Big;
  EXPECT_EQ(Hex(Used(Sip.GetMsg())), Hex(strKept)) << "nothing of the source left half in";
  EXPECT_EQ(Logged("CVQCMC_PROTOCOL_ATTRIBUTE::operator=: Copy failed: the attribute is kept (8200000A)"), 1u);
  EXPECT_EQ(Content(Sip), Content(CVQCMC_PROTOCOL_ATTRIBUTE(Sip, 1))) << "and it copies on as before";
}

/* Profiles and protocol attributes: built as the golden encoder did, read back (CopyFrom) and copied out (CopyTo). */
TEST_F(CmcAttrTest, ProfileAndProtocolEqualGoldenBothWays) {
  VQX_MSG_HANDLE h = Received(mGolden["profile"]);
  CVQCMC_MEDIA_PROFILE Profile;
  ASSERT_EQ(Profile.CopyFrom(h, Payload<_VQCMC_MEDIA_PROFILE>(h)), VQX_RESULT_OK);
  _VQX_SDP_INFO_COMPACT* pLocal = nullptr;
  ASSERT_EQ(Profile.GetLocalSDP(&pLocal), VQX_RESULT_OK);
  EXPECT_EQ(std::vector<u32>({Profile.GetLocalSdpState(), pLocal->un32Size, Profile.GetProfileName().GetLength()}),
            std::vector<u32>({1, 24, 63}));
  CVQCMC_MEDIA_PROFILE Copy(Profile);  // its name replaced by one of 70 characters, which travels as its first 63
  const std::string strAbc = "abcdefghijklmnopqrstuvwxyz";
  ASSERT_EQ(Copy.SetByProfileName((strAbc + strAbc + strAbc).substr(0, 70).c_str()), VQX_RESULT_OK);
  for (const char* pszRow : {"profile", "profile_local_withheld"}) {
    auto* pSet = Copy.CreateMessage();
    ASSERT_NE(pSet, nullptr) << pszRow;
    EXPECT_EQ(Hex(Used(pSet->GetMsg())), Hex(mGolden[pszRow])) << pszRow;
    CVQCMC_MEDIA_PROFILE::DestroyMessage(pSet);
    Copy.GetLocalSdpState() = VQCMC_SDP_STATE_WITHHELD;
  }

  std::string strBody300;
  for (int i = 0; i < 300; i++) strBody300 += char(i * 11 + 3);
  struct Row {
    const char* pszName;
    std::function<VQX_RESULT(CVQCMC_PROTOCOL_ATTRIBUTE&)> Build;
  } aRows[] = {
      {"protocol_sip_single", [&](CVQCMC_PROTOCOL_ATTRIBUTE& P) {
         return P.SetChargeNumber(3, 4) | P.SetSipStatusCode(180, 1) | P.SetSipSuppInfoTransId(0x1234) |
                P.SetSinglePartSipRawBody(reinterpret_cast<const u8*>(strBody300.data()), 300);
       }},
      {"protocol_sip_multipart", [&](CVQCMC_PROTOCOL_ATTRIBUTE& P) {
         VQX_RESULT r = P.SetSipStatusCode(200, 0);
         for (const char* psz : {"part one", "the second part"}) {
           SipBodyMultiPartIe* pPart = nullptr;
           r |= P.AddMultiPartSipBody(nullptr, &pPart, &P.GetPayload()->SipBody);
           r |= P.SetSinglePartSipBody(psz, &pPart->stBody);
         }
         return r;
       }},
      {"protocol_ss7", [](CVQCMC_PROTOCOL_ATTRIBUTE& P) { return P.SetSS7Ie(5, (const u8*)"\x01\x02\x03\x04\x05"); }},
      {"protocol_isdn", [](CVQCMC_PROTOCOL_ATTRIBUTE& P) { return P.SetIsdnIe(4, (const u8*)"\xa1\xb2\xc3\xd4"); }},
      {"protocol_cas", nullptr},  // no setter: received only
  };
  for (Row& r : aRows) {
    if (r.Build) {
      CVQCMC_PROTOCOL_ATTRIBUTE Built;
      ASSERT_EQ(r.Build(Built), VQX_RESULT_OK) << r.pszName;
      EXPECT_EQ(Hex(Used(Built.GetMsg())), Hex(mGolden[r.pszName])) << r.pszName;
    }
    h = Received(mGolden[r.pszName]);
    CVQCMC_PROTOCOL_ATTRIBUTE In;
    ASSERT_EQ(In.CopyFrom(h, Payload<_VQCMC_PROTOCOL_ATTRIBUTE>(h)), VQX_RESULT_OK) << r.pszName;
    EXPECT_EQ(Hex(Used(In.GetMsg())), Hex(mGolden[r.pszName])) << r.pszName;
    VQX_MSG_HANDLE hCmd = Received(std::string(128, '\0'));
    ASSERT_EQ(VQXMsgElementInit(hCmd, 128), VQX_RESULT_OK);
    ASSERT_EQ(In.CopyTo(hCmd, Payload<_VQCMC_PROTOCOL_ATTRIBUTE>(hCmd)), VQX_RESULT_OK) << r.pszName;
    EXPECT_EQ(Hex(Used(hCmd)), Hex(mGolden[r.pszName])) << r.pszName;
    CVQCMC_PROTOCOL_ATTRIBUTE Exact(In, 1);
    EXPECT_EQ(Hex(Used(Exact.GetMsg())), Hex(mGolden[r.pszName])) << r.pszName << " exact-room copy";
  }
  u8 un8A = 0, un8B = 0;
  CVQCMC_PROTOCOL_ATTRIBUTE Charge;
  EXPECT_EQ(Charge.GetChargeNumber(un8A, un8B), VQX_RESULT_NOT_FOUND);
  Charge.SetChargeNumber(1, 2), Charge.SetChargeNumber(7, 8);
  EXPECT_EQ(Charge.GetChargeNumber(un8A, un8B), VQX_RESULT_OK);
  EXPECT_EQ(std::vector<u32>({un8A, un8B, VQXMsgElementCount(&Charge.GetPayload()->setGenericHeaders)}),
            std::vector<u32>({7, 8, 1}));
  // Generic headers come through the protocol copy with their own sets; the getters find them by kind.
  h = Received(mGolden["generic_headers"]);
  CVQCMC_PROTOCOL_ATTRIBUTE Generic;
  ASSERT_EQ(Generic.CopyFrom(h, Payload<_VQCMC_PROTOCOL_ATTRIBUTE>(h)), VQX_RESULT_OK);
  EXPECT_EQ(Hex(Used(Generic.GetMsg())), Hex(mGolden["generic_headers"]));
  CVQCAFPtr<CVQCMCSs7RawData> pSs7;
  CVQCAFPtr<CVQCMCExtraNumber> pNumber(new CVQCMCExtraNumber);
  CVQCMCUserToUserInfo Uui;
  EXPECT_EQ(std::vector<u32>({Generic.GetUui(Uui), Generic.GetSs7RawData(&pSs7),
                              Generic.GetExtraNumber(static_cast<_VQCMC_PROTOCOL_NUMBER_TYPE>(4), &pNumber)}),
            std::vector<u32>({VQX_RESULT_OK, VQX_RESULT_OK, VQX_RESULT_NOT_FOUND}));
  EXPECT_EQ(std::vector<bool>({Uui.GetUuiData().GetSize() == 2048, pSs7.Get() != nullptr, pNumber.Get() == nullptr}),
            std::vector<bool>(3, true));
}

/* The protocol attribute's rules as one table: gate, second elements, bodies, header copies, sizes. */
TEST_F(CmcAttrTest, ProtocolAttributeRules) {
  CVQCMC_PROTOCOL_ATTRIBUTE Sip, Ss7, Other, Empty;
  VQX_MSG_HANDLE hMsg = nullptr;
  VQXMsgElementSet* pHeaders = nullptr;
  ASSERT_EQ(Sip.InitSipHeaders(&hMsg, &pHeaders), VQX_RESULT_OK);
  const u8 aby[4] = {1, 2, 3, 4};
  ASSERT_EQ(Ss7.SetSS7Ie(4, aby), VQX_RESULT_OK);
  auto ContentType = [&](CVQCMC_PROTOCOL_ATTRIBUTE& P, const char* psz) {
    VQX_MSG_HANDLE hP = nullptr;
    VQXMsgElementSet* pSet = nullptr;
    P.InitSipHeaders(&hP, &pSet);
    return VQ500SipHeaderAddStr_ContentType(hP, pSet, psz);
  };
  CVQCMC_PROTOCOL_ATTRIBUTE Plain, NoBoundary, Mixed, LongBoundary;
  ContentType(Plain, "text/plain");
  ContentType(NoBoundary, "multipart/mixed");
  ContentType(Mixed, "multipart/mixed; boundary=b1");
  ASSERT_EQ(ContentType(LongBoundary, ("multipart/mixed; boundary=" + std::string(1100, 'b')).c_str()), VQX_RESULT_OK);
  void* pv = nullptr;
  ASSERT_EQ(VQXMsgElementAlloc(hMsg, pHeaders, 16, &pv), VQX_RESULT_OK);
  *static_cast<u32*>(pv) = 87;  // a Privacy header in Sip
  CVQCMC_PROTOCOL_ATTRIBUTE Short;  // one a byte short of its record
  ASSERT_EQ(Short.InitSipHeaders(&hMsg, &pHeaders), VQX_RESULT_OK);
  ASSERT_EQ(VQXMsgElementAlloc(hMsg, pHeaders, 15, &pv), VQX_RESULT_OK);
  *static_cast<u32*>(pv) = 87;
  const std::string strBig(65536, 'b');
  const std::map<std::string, std::function<VQX_RESULT()>> Calls = {
      {"SIP setter after SS7", [&] { return Ss7.SetSipStatusCode(1, 1); }},
      {"headers after SS7", [&] { return Ss7.InitSipHeaders(nullptr, nullptr); }},
      {"SS7 after SIP", [&] { return Sip.SetSS7Ie(4, aby); }},
      {"ISDN after SS7", [&] { return Ss7.SetIsdnIe(4, aby); }},
      {"ISDN of 65536 bytes", [&] { return Other.SetIsdnIe(65536, aby); }},
      {"body of 65536 bytes", [&] { return Other.SetSinglePartSipBody(strBig.c_str()); }},
      {"multipart without Content-Type", [&] { return Other.AddMultiPartSipBody(nullptr, nullptr); }},
      {"multipart under text/plain", [&] { return Plain.AddMultiPartSipBody(nullptr, nullptr); }},
      {"multipart without boundary", [&] { return NoBoundary.AddMultiPartSipBody(nullptr, nullptr); }},
      {"multipart with a boundary of 1100 characters",
       [&] { return LongBoundary.AddMultiPartSipBody(nullptr, nullptr); }},
      {"first part", [&] { return Mixed.AddMultiPartSipAutomaticSDP(nullptr, nullptr); }},
      {"second part", [&] { return Mixed.AddMultiPartSipBody(nullptr, nullptr); }},
      {"single part", [&] { return Sip.SetSinglePartSipBody("v=0"); }},
      {"second single part", [&] { return Sip.SetSinglePartSipBody("v=0"); }},
      {"multipart onto a single part",
       [&] { return Sip.AddMultiPartSipBody(nullptr, nullptr, &Sip.GetPayload()->SipBody); }},
      {"header copy into SS7", [&] { return Ss7.CopySipPrivacyHeader(Sip); }},
      {"header missing in source", [&] { return Mixed.CopySipRPIDPrivacyHeader(Sip); }},
      {"header copy from one a byte short of its record", [&] { return Plain.CopySipPrivacyHeader(Short); }},
      {"header copy", [&] { return Mixed.CopySipPrivacyHeader(Sip); }},
      {"header already present", [&] { return Mixed.CopySipPrivacyHeader(Sip); }},
      {"CopyFrom once", [&] { return Empty.CopyFrom(Ss7.GetMsg(), Ss7.GetPayload()); }},
      {"CopyFrom twice", [&] { return Empty.CopyFrom(Sip.GetMsg(), Sip.GetPayload()); }},
  };
  ExpectCalls("cmc_protocol_rules.txt", Calls, [&] { return Used(Other.GetMsg()) + Used(Plain.GetMsg()); });
  EXPECT_EQ(std::vector<u32>({Sip.GetPayload()->un16SipStatusCode, Sip.GetPayload()->un32SipSuppInfoTransId,
                              VQXMsgElementCount(&Mixed.GetPayload()->SipBody.u.alt3.msBodyMultiPart),
                              Empty.GetPayload()->un32ProtocolType}),
            std::vector<u32>({200, 0xC0000001u, 2, VQCMC_PROTOCOL_SS7}));
  EXPECT_EQ(Other.SetIsdnIe(2, aby), VQX_RESULT_OK) << "a refused element left the attribute free";
  CVQCMC_PROTOCOL_ATTRIBUTE Fresh, FreshCopy(Fresh, 1);
  EXPECT_EQ(Hex(Used(FreshCopy.GetMsg())), Hex(Used(Fresh.GetMsg()))) << "an empty source gives an empty copy";
}

/* Leg attributes: text limits, image and profile against the golden records, both ways; leg-kind rules. */
TEST_F(CmcAttrTest, LegAttributesEqualGoldenBothWays) {
  CVQCMC_CALL_LEG_ATTRIBUTE Leg;
  Leg.GetCalledNumber() = std::string(70, '1').c_str();
  Leg.GetCalledNoa() = 3;
  Leg.GetCalledNpi() = 1;
  Leg.GetCallingNumber(0) = "5551234";
  Leg.GetCallingDisplayType() = 2;
  Leg.GetCallingDisplay() = std::string(130, 'D').c_str();
  Leg.GetCallingCategory() = 10;
  Leg.GetCallingNoa() = 4;
  Leg.GetCallingNpi() = 1;
  Leg.GetCallingPresentation() = 1;
  Leg.GetCallingScreening() = 3;
  Leg.GetPrivateDisplayType() = 1;
  Leg.GetPrivateDisplay() = std::string(128, 'P').c_str();
  Leg.GetPrivateAddress() = "sip:alice@example.com";
  Leg.GetNetworkAccessPoint() = ("nap-" + std::string(36, 'x')).c_str();
  Leg.SetOriginatingLineInformation(7), Leg.GetProtocolType() = 2;
  Leg.GetProfile().SetByProfileName("leg profile");
  const u32 un32Word = 0x11223344;
  memcpy(Leg.GetProfile().GetMediaDescription() + 8, &un32Word, 4);
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE MediaOnly;
  MediaOnly.GetNetworkAccessPoint() = ("media-" + std::string(34, 'y')).c_str();
  MediaOnly.GetProfile().SetByProfileName("mo");
  auto Command = [&](u32 un32Size) {
    VQX_MSG_HANDLE h = Received(std::string(un32Size, '\0'));
    EXPECT_EQ(VQXMsgElementInit(h, un32Size), VQX_RESULT_OK);
    return h;
  };
  VQX_MSG_HANDLE hLeg = Command(668), hMediaOnly = Command(144);
  ASSERT_EQ(Leg.CopyTo(hLeg, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(hLeg)), VQX_RESULT_OK);
  ASSERT_EQ(MediaOnly.CopyTo(hMediaOnly, Payload<_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE>(hMediaOnly)), VQX_RESULT_OK);
  EXPECT_EQ(Hex(Used(hLeg)), Hex(mGolden["call_leg"]));
  EXPECT_EQ(Hex(Used(hMediaOnly)), Hex(mGolden["media_only_leg"]));

  VQX_MSG_HANDLE h = Received(mGolden["call_leg"]);
  CVQCMC_CALL_LEG_ATTRIBUTE In;
  ASSERT_EQ(In.CopyFrom(h, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(h)), VQX_RESULT_OK);
  unsigned int fOli = 0;
  EXPECT_EQ(std::vector<u32>({In.GetCalledNumber().GetLength(), In.GetCallingDisplay().GetLength(),
                              In.GetPrivateDisplay().GetLength(), In.GetNetworkAccessPoint().GetLength(),
                              In.GetCallingCategory(), In.GetCallingScreening(),
                              In.GetOriginatingLineInformation(&fOli), fOli, In.GetProtocolType()}),
            std::vector<u32>({63, 127, 127, 31, 10, 3, 7, 1, 2}));
  EXPECT_STREQ(In.GetProfile().GetProfileName().c_str(), "leg profile");
  VQX_MSG_HANDLE hAgain = Command(668);
  ASSERT_EQ(In.CopyTo(hAgain, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(hAgain)), VQX_RESULT_OK);
  EXPECT_EQ(Hex(Used(hAgain)), Hex(mGolden["call_leg"]));
  h = Received(mGolden["media_only_leg"]);
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE MediaOnlyIn;
  ASSERT_EQ(MediaOnlyIn.CopyFrom(h, Payload<_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE>(h)), VQX_RESULT_OK);
  EXPECT_EQ(std::string(MediaOnlyIn.GetNetworkAccessPoint().c_str()) + "/" +
                MediaOnlyIn.GetProfile().GetProfileName().c_str(),
            "media-" + std::string(25, 'y') + "/mo");

  // Leg-kind rules: a media-only copy is refused and logged; a call leg ignores a media-only source; a call-leg
  // copy clears mapping id, leg id and protocol type.
  EXPECT_EQ(MediaOnly.CopyLegAttributeFrom(In), VQX_RESULT_FAIL);
  EXPECT_EQ(Logged("CopyLegAttributeFrom: Child class type=2 (MediaOnly) is not implemented"), 1u);
  CVQCMC_CALL_LEG_ATTRIBUTE Target;
  Target.GetMappingId() = 5;
  Target.GetAttrLegId() = 6;
  EXPECT_EQ(Target.CopyLegAttributeFrom(MediaOnly), VQX_RESULT_OK);
  EXPECT_EQ(Target.GetMappingId(), 5u);
  EXPECT_EQ(Target.CopyLegAttributeFrom(In), VQX_RESULT_OK);
  EXPECT_EQ(std::vector<u32>({Target.GetMappingId(), Target.GetAttrLegId(), Target.GetProtocolType(),
                              Target.GetCalledNumber().GetLength(), Target.GetNetworkAccessPoint().GetLength()}),
            std::vector<u32>({0, 0, 0, 63, 0}));

  // GetCallingNumber(1) gives the user part that libosip2's URI parser finds, or the whole address without one.
  for (const char* pszAddress : {"sip:alice@example.com", "sips:bob:secret@host.org:5061", "sip:host.only.org",
                                 "sip:12345@10.0.0.1;transport=udp", "sip:+15551234@gw.example.net?subject=x"}) {
    osip_uri_t* pUri = nullptr;
    ASSERT_EQ(osip_uri_init(&pUri), 0);
    ASSERT_EQ(osip_uri_parse(pUri, pszAddress), 0) << pszAddress;
    const std::string strExpected = pUri->username != nullptr ? pUri->username : pszAddress;
    osip_uri_free(pUri);
    In.GetPrivateAddress() = pszAddress;
    EXPECT_EQ(std::string(In.GetCallingNumber(1).c_str()), strExpected) << pszAddress;
  }
  In.GetPrivateAddress() = "";
  EXPECT_STREQ(In.GetCallingNumber(1).c_str(), "5551234");
}

/* A received leg's texts end at their NUL or at their field's end, on either side of a 16-byte block and
 * whatever bytes follow the field; one attribute reads the rows in turn, so a text follows an empty field and
 * an empty field a text. The bytes between the texts travel unchanged from CopyFrom through CopyTo. */
TEST_F(CmcAttrTest, LegTextsEndAtNulOrFieldEnd) {
  struct Row {
    u32 un32At, un32Field, un32Length;
    CVQCAFString& (*pfGet)(CVQCMC_CALL_LEG_ATTRIBUTE&);
  };
  auto Called = [](CVQCMC_CALL_LEG_ATTRIBUTE& a) -> CVQCAFString& { return a.GetCalledNumber(); };
  auto Display = [](CVQCMC_CALL_LEG_ATTRIBUTE& a) -> CVQCAFString& { return a.GetCallingDisplay(); };
  auto Address = [](CVQCMC_CALL_LEG_ATTRIBUTE& a) -> CVQCAFString& { return a.GetPrivateAddress(); };
  auto Nap = [](CVQCMC_CALL_LEG_ATTRIBUTE& a) -> CVQCAFString& { return a.GetNetworkAccessPoint(); };
  const Row aRows[] = {
      {0, 64, 15, Called},   {0, 64, 0, Called},     {0, 64, 16, Called},  {0, 64, 17, Called},
      {0, 64, 64, Called},   {152, 128, 31, Display}, {152, 128, 0, Display}, {152, 128, 128, Display},
      {440, 64, 48, Address}, {520, 32, 32, Nap},     {520, 32, 1, Nap},
  };
  /* Bytes 64-83, 148-151, 280-307, 436-439, 504-519 and 552-591 are no text: a pattern the round trip keeps. */
  std::string strBase = mGolden["call_leg"];
  for (const auto& [un32From, un32To] : {std::pair<u32, u32>{72, 84}, {280, 284}, {436, 440}, {506, 520}, {552, 592}}) {
    for (u32 i = un32From; i < un32To; i++) strBase[i] = static_cast<char>(0xA0 + i % 31);
  }
  CVQCMC_CALL_LEG_ATTRIBUTE In;
  for (const Row& r : aRows) {
    std::string strPayload = strBase;
    for (u32 i = 0; i < r.un32Field; i++) strPayload[r.un32At + i] = i < r.un32Length ? static_cast<char>('a' + i % 26) : '\0';
    VQX_MSG_HANDLE h = Received(strPayload);
    ASSERT_EQ(In.CopyFrom(h, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(h)), VQX_RESULT_OK) << r.un32At << "/" << r.un32Length;
    EXPECT_EQ(std::string(r.pfGet(In).c_str()), strPayload.substr(r.un32At, r.un32Length)) << r.un32At << "/" << r.un32Length;
    VQX_MSG_HANDLE hOut = Received(std::string(668, '\0'));
    ASSERT_EQ(VQXMsgElementInit(hOut, 668), VQX_RESULT_OK);
    ASSERT_EQ(In.CopyTo(hOut, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(hOut)), VQX_RESULT_OK);
    for (const auto& [un32From, un32To] : {std::pair<u32, u32>{64, 84}, {148, 152}, {280, 308}, {436, 440}, {504, 520}, {552, 592}}) {
      EXPECT_EQ(Hex(Used(hOut).substr(un32From, un32To - un32From)), Hex(strPayload.substr(un32From, un32To - un32From)))
          << "bytes " << un32From << "-" << un32To - 1 << " after row " << r.un32At << "/" << r.un32Length;
    }
  }
}

/* A received profile is read within its elements: a bad blob or name is skipped or bounded, a broken set refused. */
TEST_F(CmcAttrTest, MalformedProfilesBounded) {
  ExpectRows("cmc_profile_malformed.txt", 5, [&](std::vector<std::string>& a) {
    std::string strPayload = mGolden["profile"];
    const std::string strBytes = Bytes(a[2]);
    strPayload.replace(std::stoul(a[1]), strBytes.size(), strBytes);
    VQX_MSG_HANDLE h = Received(strPayload);
    CVQCMC_MEDIA_PROFILE Profile;
    a[3] = vqtest::Hex(Profile.CopyFrom(h, Payload<_VQCMC_MEDIA_PROFILE>(h)));
    a[4] = std::to_string(Profile.GetLocalSdpState());
    a[4] += " " + std::to_string(Profile.GetLocalSDP(nullptr) == VQX_RESULT_OK);
    a[4] += " " + std::to_string(Profile.GetPeerSDP(nullptr) == VQX_RESULT_OK);
    a[4] += " " + std::to_string(Profile.GetProfileName().GetLength());
  });
  EXPECT_EQ(Logged("Malformed SDP element skipped"), 4u);
  // A leg record that runs past its message is refused whole.
  VQX_MSG_HANDLE h = Received(mGolden["call_leg"].substr(0, 600));
  CVQCMC_CALL_LEG_ATTRIBUTE Leg;
  EXPECT_EQ(Leg.CopyFrom(h, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(h)), VQX_RESULT_MISMATCH);
  EXPECT_EQ(Leg.GetCalledNumber().GetLength(), 0u);
  // A leg whose profile set points past its message is refused whole too, the attribute left as it was.
  const std::string strBroken("\x00\x01\x01\x00", 4); /* one element, 1024 bytes ahead */
  std::string strLeg = mGolden["call_leg"], strMediaOnly = mGolden["media_only_leg"];
  strLeg.replace(592 + 68, 4, strBroken), strMediaOnly.replace(72 + 68, 4, strBroken);
  CVQCMC_MEDIA_ONLY_LEG_ATTRIBUTE MediaOnly;
  MediaOnly.GetNetworkAccessPoint() = "kept";
  Leg.GetCalledNumber() = "kept";
  const size_t nRefused = Logged("Malformed profile refused");
  h = Received(strLeg);
  VQX_MSG_HANDLE hMediaOnly = Received(strMediaOnly);
  EXPECT_TRUE(VQX_RESULT_FAILED(Leg.CopyFrom(h, Payload<_VQCMC_CALL_LEG_ATTRIBUTE>(h))));
  EXPECT_TRUE(VQX_RESULT_FAILED(MediaOnly.CopyFrom(hMediaOnly, Payload<_VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE>(hMediaOnly))));
  EXPECT_EQ(std::string(Leg.GetCalledNumber().c_str()) + MediaOnly.GetNetworkAccessPoint().c_str(), "keptkept");
  EXPECT_EQ(Logged("Malformed profile refused"), nRefused + 2u);
}

/* ReplaceFrom leaves a profile holding exactly what the payload carries, as a fresh profile's CopyFrom
 * would (states, blobs, name); a blob there is no memory for leaves the one held, and its state. */
TEST_F(CmcAttrTest, ProfileReplaceFromAndBlobWithoutMemory) {
  auto State = [](CVQCMC_MEDIA_PROFILE& Profile) {
    _VQX_SDP_INFO_COMPACT *pLocal = nullptr, *pPeer = nullptr;
    Profile.GetLocalSDP(&pLocal), Profile.GetPeerSDP(&pPeer);
    auto Blob = [](_VQX_SDP_INFO_COMPACT* p) { return p == nullptr ? "-" : Hex(std::string((char*)p, p->un32Size)); };
    return std::to_string(Profile.GetLocalSdpState()) + "/" + std::to_string(Profile.GetPeerSdpState()) + " " +
           Profile.GetProfileName().c_str() + " " + Blob(pLocal) + " " + Blob(pPeer);
  };
  VQX_MSG_HANDLE hGolden = Received(mGolden["profile"]);
  auto* pGolden = Payload<_VQCMC_MEDIA_PROFILE>(hGolden);
  CVQCMC_MEDIA_PROFILE Fresh, Blank, Profile;
  ASSERT_EQ(Fresh.CopyFrom(hGolden, pGolden), VQX_RESULT_OK);
  ASSERT_EQ(Profile.SetByProfileName("old"), VQX_RESULT_OK);
  Profile.GetLocalSdpState() = 4, Profile.GetPeerSdpState() = 7;
  EXPECT_EQ(Profile.ReplaceFrom(hGolden, pGolden), VQX_RESULT_OK);
  EXPECT_EQ(State(Profile), State(Fresh)) << "the name, the peer state and the states held are gone";
  ASSERT_EQ(Blank.SetByProfileName("n"), VQX_RESULT_OK);
  auto* pNameOnly = Blank.CreateMessage();
  ASSERT_NE(pNameOnly, nullptr);
  EXPECT_EQ(Profile.ReplaceFrom(pNameOnly->GetMsg(), pNameOnly->GetPayload()), VQX_RESULT_OK);
  EXPECT_EQ(State(Profile), "0/0 n - -") << "no SDP element: no blob, states 0";
  CVQCMC_MEDIA_PROFILE::DestroyMessage(pNameOnly);

  // A profile holding a 16-byte local blob reads the golden one (24 bytes): realloc finds no memory.
  std::string strSmall = mGolden["profile"];
  const size_t nLocal = strSmall.find(std::string("\xf0\xf1\xf2\x3f\x18\0\0\0", 8));
  ASSERT_NE(nLocal, std::string::npos);
  strSmall[nLocal + 4] = 16;
  VQX_MSG_HANDLE hSmall = Received(strSmall);
  CVQCMC_MEDIA_PROFILE Held;
  ASSERT_EQ(Held.CopyFrom(hSmall, Payload<_VQCMC_MEDIA_PROFILE>(hSmall)), VQX_RESULT_OK);
  Held.GetLocalSdpState() = 9;
  const std::string strHeld = State(Held);
  for (bool fReplace : {false, true}) {
    t_fFailNextRealloc = true;
    EXPECT_EQ(fReplace ? Held.ReplaceFrom(hGolden, pGolden) : Held.CopyFrom(hGolden, pGolden),
              VQX_RESULT_NOT_ENOUGH_MEMORY) << fReplace;
    EXPECT_FALSE(t_fFailNextRealloc) << fReplace << ": the blob asked for memory";
    EXPECT_EQ(State(Held), strHeld) << fReplace << ": the blob held and its state kept, the rest read";
  }
  EXPECT_EQ(Logged("CVQCMC_MEDIA_PROFILE::CopyFrom: No memory for the SDP blob: the one held is kept"), 2u);
  EXPECT_EQ(Held.CopyFrom(hGolden, pGolden), VQX_RESULT_OK) << "memory back";
  EXPECT_EQ(State(Held), State(Fresh));

  // A held blob as large as the one read takes it in place, no memory asked; one a byte smaller asks for it.
  // A held name a character shorter than the one read is replaced by a longer buffer, not overrun.
  for (const u8 un8Held : {24, 23}) {
    std::string strHeldBlob = mGolden["profile"];
    strHeldBlob[nLocal + 4] = static_cast<char>(un8Held);
    VQX_MSG_HANDLE h = Received(strHeldBlob);
    CVQCMC_MEDIA_PROFILE Exact;
    ASSERT_EQ(Exact.CopyFrom(h, Payload<_VQCMC_MEDIA_PROFILE>(h)), VQX_RESULT_OK);
    ASSERT_EQ(Exact.SetByProfileName(std::string(Fresh.GetProfileName().GetLength() - 1, 'n').c_str()), VQX_RESULT_OK);
    t_fFailNextRealloc = true;
    EXPECT_EQ(Exact.CopyFrom(hGolden, pGolden), un8Held == 24 ? VQX_RESULT_OK : VQX_RESULT_NOT_ENOUGH_MEMORY) << +un8Held;
    EXPECT_EQ(t_fFailNextRealloc, un8Held == 24) << +un8Held << ": whether memory was asked for";
    t_fFailNextRealloc = false;
    EXPECT_EQ(Exact.GetProfileName(), Fresh.GetProfileName());
  }
}

/* A profile's message is asked for with exactly the room its elements take: a local blob whose element ends a
 * byte past a multiple of 8, in a message above the core library's pool classes (so given as asked). */
TEST_F(CmcAttrTest, ProfileMessageTakesExactlyItsRoom) {
  const u32 un32Blob = 5001;
  VQX_MSG_HANDLE h = Command(72, 8192);
  auto* pPayload = Payload<_VQCMC_MEDIA_PROFILE>(h);
  u8* pby = nullptr;
  ASSERT_EQ(VQXMsgElementAlloc(h, &pPayload->setProfileElements, static_cast<u16>(un32Blob + 16),
                               reinterpret_cast<void**>(&pby)),
            VQX_RESULT_OK);
  const u32 aun32Head[] = {VQCMC_MEDIA_ELEMENT_LOCAL_SDP, 1, 0, 0, 0x3FF2F1F0u, un32Blob};
  memcpy(pby, aun32Head, sizeof(aun32Head));
  CVQCMC_MEDIA_PROFILE Profile;
  ASSERT_EQ(Profile.CopyFrom(h, pPayload), VQX_RESULT_OK);
  ASSERT_EQ(Profile.SetByProfileName("exact"), VQX_RESULT_OK);
  auto* pSet = Profile.CreateMessage();
  ASSERT_NE(pSet, nullptr) << "no room for the last element";
  EXPECT_EQ(pSet->GetMsg()->un32PayloadLength, pSet->GetMsg()->un32PayloadMaxLength) << "room to spare";
  EXPECT_EQ(VQXMsgElementCount(&pSet->GetPayload()->setProfileElements), 2u);
  CVQCMC_MEDIA_PROFILE::DestroyMessage(pSet);
}

/* The core library's record copies (and its generic-header element copy with the swap flag), as rows of
 * tests/data/cmc_copy_rows.txt: a golden payload (bytes replaced at an offset, if any) received and copied into a
 * fresh message (or onto itself), the result, the golden that the destination then equals, and whether a refusal
 * was logged. */
TEST_F(CmcAttrTest, RecordCopiesRebuildGoldenAndRefuseBadInput) {
  using Copy = std::function<VQX_RESULT(VQX_MSG_HANDLE, const u8*, VQX_MSG_HANDLE, u8*)>;
#define VQCMC_COPY_ROW(name, T, call) \
  {name, {sizeof(T), [&](VQX_MSG_HANDLE hS, const u8* pS, VQX_MSG_HANDLE hD, u8* pD) { \
            auto* pSrc = reinterpret_cast<const T*>(pS);                            \
            auto* pDst = reinterpret_cast<T*>(pD);                                  \
            return call;                                                            \
          }}}
  // The generic headers alone, duplicated with the swap flag set, from a source in this order (2) or the other.
  auto SwappedHeaders = [](u32 un32SrcOrder) -> std::pair<u32, Copy> {
    return {sizeof(_VQCMC_PROTOCOL_ATTRIBUTE), [=](VQX_MSG_HANDLE hS, const u8* pS, VQX_MSG_HANDLE hD, u8* pD) {
              IeCopyContext Context{1, un32SrcOrder, nullptr, hS};
              return VQXMsgElementDupSet(&reinterpret_cast<const _VQCMC_PROTOCOL_ATTRIBUTE*>(pS)->setGenericHeaders, hD,
                                         &reinterpret_cast<_VQCMC_PROTOCOL_ATTRIBUTE*>(pD)->setGenericHeaders,
                                         VQCmcLibMsgSwapCopyGenericHeader, &Context);
            }};
  };
  const std::map<std::string, std::pair<u32, Copy>> Copies = {
      {"generic headers swapped", SwappedHeaders(VQCMC_COPY_ORDER_HOST)},
      {"generic headers of the other order swapped", SwappedHeaders(1)},
      VQCMC_COPY_ROW("event", _VQCMC_EVENT_ATTRIBUTE, VQCmcLibMsgCopyEventAttribute(mhCmc, pSrc, hD, pDst, hS)),
      VQCMC_COPY_ROW("record", _VQCMC_RECORD_ATTRIBUTE, VQCmcLibMsgCopyRecordAttribute(mhCmc, pSrc, hD, pDst, hS)),
      VQCMC_COPY_ROW("play", _VQCMC_PLAY_ATTRIBUTE, VQCmcLibMsgCopyPlayAttribute(mhCmc, pSrc, hD, pDst, 20, hS)),
      VQCMC_COPY_ROW("protocol", _VQCMC_PROTOCOL_ATTRIBUTE,
                     VQCmcLibMsgCopyProtocolAttribute(mhCmc, pSrc, hD, pDst, 1, hS)),
      VQCMC_COPY_ROW("protocol without its part", _VQCMC_PROTOCOL_ATTRIBUTE,
                     VQCmcLibMsgCopyProtocolAttribute(mhCmc, pSrc, hD, pDst, 0, hS)),
      VQCMC_COPY_ROW("profile", _VQCMC_MEDIA_PROFILE, VQCmcLibMsgCopyMediaProfile(mhCmc, pSrc, hD, pDst, hS)),
      VQCMC_COPY_ROW("call leg", _VQCMC_CALL_LEG_ATTRIBUTE,
                     VQCmcLibMsgCopyCallLegAttribute(mhCmc, pSrc, hD, pDst, nullptr, hS)),
      VQCMC_COPY_ROW("media-only leg", _VQCMC_MEDIA_ONLY_LEG_ATTRIBUTE,
                     VQCmcLibMsgCopyMediaOnlyLegAttribute(mhCmc, pSrc, hD, pDst, nullptr, hS)),
      VQCMC_COPY_ROW("leg", _VQCMC_LEG, VQCmcLibMsgCopyLeg(mhCmc, pSrc, hD, pDst, hS)),
      VQCMC_COPY_ROW("mixer", _VQCMC_MIXER, VQCmcLibMsgCopyMixer(mhCmc, pSrc, hD, pDst, hS)),
  };
#undef VQCMC_COPY_ROW
  ExpectRows("cmc_copy_rows.txt", 7, [&](std::vector<std::string>& a) {
    std::string strSource = mGolden[a[1]];
    const std::string strBytes = Bytes(a[4]);
    if (!strBytes.empty()) strSource.replace(std::stoul(a[3]), strBytes.size(), strBytes);
    const bool fSelf = a[2].ends_with(" onto itself");
    const auto it = Copies.find(fSelf ? a[2].substr(0, a[2].size() - 12) : a[2]);
    ASSERT_NE(it, Copies.end()) << a[2];
    VQX_MSG_HANDLE hSrc = Received(strSource);
    VQX_MSG_HANDLE hDst = fSelf ? hSrc : Received(std::string(it->second.first, '\0'));
    if (!fSelf) {
      ASSERT_EQ(VQXMsgElementInit(hDst, it->second.first), VQX_RESULT_OK);
    }
    const std::string strFresh = Used(hDst);
    mCmcLog.Clear();
    a[5] = vqtest::Hex(it->second.second(hSrc, VQXMsgPayload(hSrc), hDst, VQXMsgPayload(hDst)));
    a[6] = Used(hDst) == strFresh ? (fSelf ? "source unchanged" : "nothing written") : "other bytes";
    for (const auto& [strName, strBytesOf] : mGolden) {
      if ((!fSelf || a[6] == "other bytes") && Used(hDst) == strBytesOf) a[6] = strName;
    }
    if (const size_t nLogged = mCmcLog.Own().size(); nLogged != 0) a[6] += ", logged " + std::to_string(nLogged);
    // A destination with exactly the room the copy took takes it alike; one byte less is refused.
    const std::string strCopied = Used(hDst);
    if (!fSelf && a[5] == "02000000" && strCopied.size() > strFresh.size()) {
      for (u32 un32Short : {0u, 1u}) {
        VQX_MSG_HANDLE hExact = Command(it->second.first, static_cast<u32>(strCopied.size()) - un32Short);
        const VQX_RESULT Result = it->second.second(hSrc, VQXMsgPayload(hSrc), hExact, VQXMsgPayload(hExact));
        if (un32Short == 0 && (Result != VQX_RESULT_OK || Used(hExact) != strCopied)) a[6] += ", not at its exact room";
        if (un32Short == 1 && Result != VQX_RESULT_BUFFER_TOO_SMALL) a[6] += ", taken a byte short";
      }
    }
  });
  // A name of 70 characters is stored as its first 63; a compacted SDP reads back with its state.
  VQX_MSG_HANDLE h = Received(std::string(72, '\0'));
  ASSERT_EQ(VQXMsgElementInit(h, 72), VQX_RESULT_OK);
  auto* pProfile = Payload<_VQCMC_MEDIA_PROFILE>(h);
  std::string strName70;
  for (int i = 0; i < 70; i++) strName70 += char('a' + i % 26);
  ASSERT_EQ(VQCmcLibMsgAlterMediaProfile(mhCmc, strName70.c_str(), 5, h, pProfile), VQX_RESULT_OK);
  EXPECT_EQ(Hex(Used(h)), Hex(mGolden["profile_name70"]));
  _VQX_SDP_INFO Sdp{};
  Sdp.un64SessionId = 77;
  ASSERT_EQ(VQCmcLibMsgAlterMediaProfileBySDP(mhCmc, &Sdp, 4, h, pProfile), VQX_RESULT_OK);
  CVQCMC_MEDIA_PROFILE Back;
  ASSERT_EQ(Back.CopyFrom(h, pProfile), VQX_RESULT_OK);
  _VQX_SDP_INFO Read{};
  ASSERT_EQ(Back.GetLocalSDP(Read), VQX_RESULT_OK);
  EXPECT_EQ(std::vector<u32>({Back.GetLocalSdpState(), static_cast<u32>(Read.un64SessionId), Back.GetProfileName().GetLength()}),
            std::vector<u32>({4, 77, 63}));
}

}  // namespace
